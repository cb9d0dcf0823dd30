// Reading a snapshot: a copy of /sys/bus/pci/devices as a directory or a tar file, or lspci
// output. Only the files a function folder holds are read (`config`, `resource`), each with a
// size cap, and only from regular files, so a copy of sysfs itself (with its symbolic links back
// up the tree) or a device file cannot make the reader loop or hang.
#include <formats/snapshot.hpp>

#include <formats/files.hpp>
#include <pci/registers.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>
#include <tuple>

namespace formats {

using namespace machine;

namespace {

namespace fs = std::filesystem;

constexpr size_t MaxConfig = 4096;
constexpr size_t MaxResource = 64 * 1024;
constexpr size_t MaxSnapshot = 256u * 1024 * 1024;
constexpr size_t MaxEntries = 100000;

// "DDDD:BB:DD.F" as sysfs names a function folder.
bool parseSysfsName(std::string_view name, SnapshotFunction& f)
{
    const std::optional<Bdf> bdf = parseBdf(name);
    if (!bdf || !bdf->withDomain) return false;
    f.domain = bdf->domain;
    f.bus = bdf->bus;
    f.device = bdf->device;
    f.function = bdf->function;
    return true;
}

std::string functionName(const SnapshotFunction& f)
{
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04x:%02x:%02x.%u", f.domain, f.bus, f.device,
                  f.function);
    return buffer;
}

// What a function folder held, gathered from wherever the snapshot put it.
class Collector {
public:
    explicit Collector(std::string source) : source_(std::move(source)) {}

    // A file whose path ends in "<function>/config" or "<function>/resource"; others are
    // ignored. `where` names it in messages.
    void file(std::string_view path, std::string_view bytes, const std::string& where)
    {
        const size_t slash = path.find_last_of('/');
        if (slash == std::string_view::npos || slash == 0) return;
        const std::string_view leaf = path.substr(slash + 1);
        if (leaf != "config" && leaf != "resource") return;
        std::string_view folder = path.substr(0, slash);
        folder = folder.substr(folder.find_last_of('/') + 1);
        SnapshotFunction probe;
        if (!parseSysfsName(folder, probe)) return;
        const std::string key = functionName(probe);
        functions_.emplace(key, probe);
        Entry& e = entries_[key];
        // A file met twice (a tar with a folder repeated, two copies of one dump) must agree.
        auto keep = [&](std::optional<std::string>& slot, std::string& slotWhere, std::string text) {
            if (slot && *slot != text) {
                errors_.push_back(where + ": a second, different copy of " + key + "/" +
                                  std::string(leaf) + " (first at " + slotWhere + ")");
                return;
            }
            slot = std::move(text);
            slotWhere = where;
        };
        if (leaf == "config") {
            keep(e.config, e.configWhere, std::string(bytes));
        } else {
            // A tar of sysfs pads a file that shrank while it was read with zero bytes.
            std::string text(bytes);
            text.erase(std::find(text.begin(), text.end(), '\0'), text.end());
            keep(e.resource, e.resourceWhere, std::move(text));
        }
    }

    void error(std::string text) { errors_.push_back(std::move(text)); }

    SnapshotResult finish()
    {
        SnapshotResult result;
        Snapshot snapshot;
        snapshot.source = source_;
        for (auto& [key, f] : functions_) {
            Entry& e = entries_[key];
            if (!e.config) {
                errors_.push_back(source_ + ": " + key + " has a resource file but no config");
                continue;
            }
            if (!e.resource) {
                errors_.push_back(e.configWhere + ": " + key +
                                  " has no resource file beside its config, so its BAR sizes "
                                  "are unknown");
                continue;
            }
            // Linux shows users other than root the header alone (64 bytes, 128 for a CardBus
            // bridge); the import keeps it and takes the rest as zero, saying so.
            const size_t size = e.config->size();
            if (size != 64 && size != 128 && size != 256 && size != 4096) {
                errors_.push_back(e.configWhere + ": " + std::to_string(size) +
                                  " bytes; a function's config is 256 or 4096 bytes (64 or 128 "
                                  "when copied without root)");
                continue;
            }
            f.config.assign(e.config->begin(), e.config->end());
            f.resource = *e.resource;
            f.source = e.configWhere;
            snapshot.functions.push_back(std::move(f));
        }
        if (functions_.empty() && errors_.empty()) {
            errors_.push_back(source_ + ": no function folders (named like 0000:00:1f.0, each "
                                        "with config and resource files) were found");
        }
        if (!errors_.empty()) {
            result.errors = std::move(errors_);
            return result;
        }
        result.snapshot = std::move(snapshot);
        return result;
    }

private:
    struct Entry {
        std::optional<std::string> config, resource;
        std::string configWhere, resourceWhere;
    };
    std::string source_;
    std::map<std::string, SnapshotFunction> functions_;  // sorted by domain, bus, device, fn
    std::map<std::string, Entry> entries_;
    std::vector<std::string> errors_;
};

SnapshotResult readDirectory(const fs::path& root)
{
    Collector collector(root.string());
    std::error_code ec;
    size_t seen = 0;
    // Symbolic links are not followed while walking (sysfs links back up its own tree), but a
    // link named as a function folder, as /sys/bus/pci/devices holds them, is read through.
    auto readFolder = [&](const fs::path& folder) {
        for (const char* leaf : {"config", "resource"}) {
            const fs::path file = folder / leaf;
            if (!fs::exists(file, ec)) continue;
            std::string error;
            const bool config = std::string(leaf) == "config";
            auto bytes = readInputFile(file.string(), error,
                                               config ? MaxConfig : MaxResource,
                                               config ? "a function's config file"
                                                      : "a function's resource file");
            if (!bytes) {
                collector.error(error);
                continue;
            }
            const std::string rel = (folder.filename() / leaf).string();
            collector.file(rel, *bytes, file.string());
        }
    };
    fs::recursive_directory_iterator it(root, fs::directory_options::none, ec);
    if (ec) {
        collector.error(root.string() + ": cannot read the directory: " + ec.message());
        return collector.finish();
    }
    for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (ec) {
            collector.error(root.string() + ": " + ec.message());
            break;
        }
        if (++seen > MaxEntries || it.depth() > 16) {
            collector.error(root.string() + ": more than " + std::to_string(MaxEntries) +
                            " entries or 16 levels; point at the snapshot's folder itself");
            break;
        }
        SnapshotFunction probe;
        const fs::directory_entry& entry = *it;
        if (!parseSysfsName(entry.path().filename().string(), probe)) continue;
        if (entry.is_symlink(ec) || entry.is_directory(ec)) readFolder(entry.path());
        if (entry.is_symlink(ec)) continue;
    }
    return collector.finish();
}

// Tar: the POSIX ustar layout, with GNU long names and pax path records.
uint64_t octal(std::string_view field)
{
    uint64_t value = 0;
    for (char c : field) {
        if (c == '\0' || c == ' ') {
            if (value != 0) break;
            continue;
        }
        if (c < '0' || c > '7') return UINT64_MAX;
        if (value > (UINT64_MAX >> 3)) return UINT64_MAX;
        value = value * 8 + static_cast<uint64_t>(c - '0');
    }
    return value;
}

std::string cString(std::string_view field)
{
    return std::string(field.substr(0, std::min(field.size(), field.find('\0'))));
}

}  // namespace

std::optional<Bdf> parseBdf(std::string_view text)
{
    // Splits "[DDDD:]BB:DD.F" at its separators, each field all hexadecimal digits.
    auto field = [](std::string_view digits, size_t width, unsigned& out) {
        if (digits.size() != width) return false;
        out = 0;
        for (char c : digits) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
            out = out * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                       ? c - '0'
                                                       : std::tolower(c) - 'a' + 10);
        }
        return true;
    };
    Bdf b;
    b.withDomain = text.size() == 12;
    if (b.withDomain) {
        if (text[4] != ':' || !field(text.substr(0, 4), 4, b.domain)) return std::nullopt;
        text.remove_prefix(5);
    }
    if (text.size() != 7 || text[2] != ':' || text[5] != '.') return std::nullopt;
    if (!field(text.substr(0, 2), 2, b.bus) || !field(text.substr(3, 2), 2, b.device) ||
        text[6] < '0' || text[6] > '7' || b.device > 31) {
        return std::nullopt;
    }
    b.function = static_cast<unsigned>(text[6] - '0');
    return b;
}

SnapshotResult readSnapshotTar(std::string_view bytes, const std::string& name)
{
    Collector collector(name);
    size_t at = 0;
    std::string longName;
    size_t count = 0;
    while (at + 512 <= bytes.size()) {
        const std::string_view header = bytes.substr(at, 512);
        if (header.find_first_not_of('\0') == std::string_view::npos) break;  // end of archive
        if (++count > MaxEntries) {
            collector.error(name + ": more than " + std::to_string(MaxEntries) + " entries");
            break;
        }
        // The checksum covers the header with its own field read as spaces.
        uint64_t sum = 0;
        for (size_t i = 0; i < 512; ++i) {
            sum += (i >= 148 && i < 156) ? 0x20u : static_cast<uint8_t>(header[i]);
        }
        const uint64_t size = octal(header.substr(124, 12));
        if (octal(header.substr(148, 8)) != sum || size == UINT64_MAX) {
            collector.error(name + ": not a tar file, or damaged at byte " + std::to_string(at));
            break;
        }
        const size_t dataAt = at + 512;
        if (size > bytes.size() - dataAt) {
            collector.error(name + ": truncated: an entry of " + std::to_string(size) +
                            " bytes runs past the end of the file");
            break;
        }
        const std::string_view data = bytes.substr(dataAt, static_cast<size_t>(size));
        const char type = header[156];
        std::string path = cString(header.substr(0, 100));
        if (header.substr(257, 5) == "ustar") {
            const std::string prefix = cString(header.substr(345, 155));
            if (!prefix.empty()) path = prefix + "/" + path;
        }
        if (!longName.empty()) {
            path = longName;
            longName.clear();
        }
        if (type == 'L') {
            longName = cString(data);
        } else if (type == 'x') {
            // pax records: "<length> path=<value>\n"
            const std::string records(data);
            const size_t key = records.find(" path=");
            if (key != std::string::npos) {
                const size_t end = records.find('\n', key);
                longName = records.substr(key + 6, end == std::string::npos ? std::string::npos
                                                                            : end - key - 6);
            }
        } else if (type == '0' || type == '\0' || type == '7') {
            const bool isConfig = path.size() >= 7 && path.compare(path.size() - 7, 7, "/config") == 0;
            if (isConfig && size > MaxConfig) {
                collector.error(name + ": " + path + ": " + std::to_string(size) +
                                " bytes; a function's config is 256 or 4096 bytes");
            } else {
                collector.file(path, data, name + ": " + path);
            }
        }
        at = dataAt + static_cast<size_t>((size + 511) / 512 * 512);
    }
    return collector.finish();
}

namespace {

// "4K", "256", "16M", "8G" as lspci prints a region's size.
std::optional<uint64_t> lspciSize(std::string_view text)
{
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (value > (UINT64_MAX - 9) / 10) return std::nullopt;
        value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i == 0) return std::nullopt;
    unsigned shift = 0;
    if (i < text.size()) {
        switch (text[i]) {
        case 'K': shift = 10; break;
        case 'M': shift = 20; break;
        case 'G': shift = 30; break;
        case 'T': shift = 40; break;
        default: return std::nullopt;
        }
        ++i;
    }
    if (i != text.size() || (shift != 0 && value > (UINT64_MAX >> shift))) return std::nullopt;
    return value << shift;
}

// One decoded line of verbose lspci output, if it describes a BAR or the ROM:
//   "Region 0: Memory at f7eff000 (32-bit, non-prefetchable) [size=4K]"   (-vv)
//   "Memory at f7eff000 (32-bit, non-prefetchable) [size=4K]"             (-v)
//   "Region 4: I/O ports at eff0 [size=16]", "Region 1: Memory at <unassigned> ..."
//   "Expansion ROM at 28000000 [disabled] [size=64K]"
std::optional<SnapshotRegion> lspciRegion(std::string_view line)
{
    SnapshotRegion r;
    if (line.substr(0, 7) == "Region ") {
        const size_t colon = line.find(": ");
        if (colon != 8 || line[7] < '0' || line[7] > '5') return std::nullopt;
        r.index = line[7] - '0';
        line.remove_prefix(colon + 2);
    }
    if (line.substr(0, 10) == "Memory at ") {
        line.remove_prefix(10);
    } else if (line.substr(0, 13) == "I/O ports at ") {
        r.io = true;
        line.remove_prefix(13);
    } else if (r.index < 0 && line.substr(0, 17) == "Expansion ROM at ") {
        r.index = 6;
        line.remove_prefix(17);
    } else {
        return std::nullopt;
    }
    const std::string_view address = line.substr(0, line.find(' '));
    if (!address.empty() && address.front() != '<') {
        uint64_t value = 0;
        for (char c : address) {
            if (!std::isxdigit(static_cast<unsigned char>(c)) || value >> 60 != 0) return std::nullopt;
            const int digit = std::isdigit(static_cast<unsigned char>(c))
                                  ? c - '0'
                                  : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
            value = value << 4 | static_cast<uint64_t>(digit);
        }
        r.address = value;
    }
    r.disabled = line.find("[disabled]") != std::string_view::npos;
    r.isVirtual = line.find("[virtual]") != std::string_view::npos;
    const size_t size = line.find("[size=");
    if (size != std::string_view::npos) {
        const size_t close = line.find(']', size);
        if (close == std::string_view::npos) return std::nullopt;
        r.size = lspciSize(line.substr(size + 6, close - size - 6));
        if (!r.size) return std::nullopt;
    }
    return r;
}

// What is wrong with a function's rows of bytes when the next row starts at `found` after
// `have` bytes were read.
std::string rowGap(size_t have, unsigned found)
{
    if (have % 16 != 0) {
        return "its row of bytes at offset " + pci::hex(have & ~size_t{15}, 2) + " is short";
    }
    if (found > have) {
        return "its row of bytes at offset " + pci::hex(have, 2) +
               (found - have > 16 ? " and those up to " + pci::hex(found - 16, 2) + " are"
                                  : std::string(" is")) +
               " missing";
    }
    return "its row of bytes at offset " + pci::hex(found, 2) + " comes again after " +
           pci::hex(have - 16, 2);
}

}  // namespace

// lspci output with -x, -xxx or -xxxx, plain or verbose (-v to -vvv, with -nn, -k, -D): a function
// line, then, indented, what lspci decoded, then the rows of bytes. Of the decoded lines only the
// regions are kept; the rest is skipped. A line within a function's description that is neither
// (a long decoded line broken in two where the dump was published) is skipped too.
SnapshotResult readSnapshotLspci(std::string_view text, const std::string& name)
{
    SnapshotResult result;
    Snapshot snapshot;
    snapshot.source = name;
    std::istringstream in{std::string(text)};
    std::string line;
    unsigned lineNo = 0;
    SnapshotFunction* current = nullptr;
    auto fail = [&](const std::string& why) {
        result.errors.push_back(name + ":" + std::to_string(lineNo) + ": " + why);
    };
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.find_first_not_of(" \t") == std::string::npos) {
            current = nullptr;
            continue;
        }
        // lspci -M ends with its own list of the buses it found: nothing more to read.
        if (current == nullptr && line == "Summary of buses:") break;
        // A row of the dump: "xx: hh hh ..." ("xxx:" in the extended space), told apart from a
        // function line ("00:1f.0 ...") by the space after the colon.
        size_t digits = 0;
        while (digits < line.size() && digits < 4 &&
               std::isxdigit(static_cast<unsigned char>(line[digits]))) {
            ++digits;
        }
        if ((digits == 2 || digits == 3) && digits < line.size() && line[digits] == ':' &&
            (digits + 1 == line.size() || line[digits + 1] == ' ')) {
            const unsigned offset = static_cast<unsigned>(std::stoul(line.substr(0, digits), nullptr, 16));
            if (current == nullptr) {
                fail("a row of bytes with no function line (\"00:1f.0 ...\") before it");
                break;
            }
            // A row missing, short or out of order (a line lost where the dump was published)
            // leaves this function's bytes unknown: the import leaves it out, not the dump.
            if (!current->incomplete.empty()) continue;
            if (offset != current->config.size()) {
                current->incomplete = rowGap(current->config.size(), offset);
                continue;
            }
            std::istringstream row(line.substr(digits + 1));
            std::string byte;
            while (row >> byte) {
                if (byte.size() != 2 || !std::isxdigit(static_cast<unsigned char>(byte[0])) ||
                    !std::isxdigit(static_cast<unsigned char>(byte[1]))) {
                    fail("'" + byte + "' is not a hexadecimal byte");
                    break;
                }
                current->config.push_back(static_cast<uint8_t>(std::stoul(byte, nullptr, 16)));
            }
            if (!result.errors.empty()) break;
            if (current->config.size() > MaxConfig) {
                fail("more than 4096 bytes of configuration space");
                break;
            }
            continue;
        }
        // A decoded line (verbose output), indented: a region is kept, the rest skipped.
        if (line[0] == ' ' || line[0] == '\t') {
            if (current == nullptr) {
                fail("an indented line with no function line (\"00:1f.0 ...\") before it");
                break;
            }
            const size_t first = line.find_first_not_of(" \t");
            if (auto region = lspciRegion(std::string_view(line).substr(first))) {
                current->regions.push_back(*region);
            }
            continue;
        }
        // A function line: "[DDDD:]BB:DD.F description".
        SnapshotFunction f;
        const std::string first = line.substr(0, line.find(' '));
        const std::optional<Bdf> bdf = parseBdf(first);
        if (!bdf) {
            // The rest of a line broken in two, within a function's description.
            if (current != nullptr && current->config.empty()) continue;
            fail("expected a function line such as \"00:1f.0 ISA bridge: ...\" or a row of "
                 "bytes such as \"00: 86 80 ...\"");
            break;
        }
        const unsigned domain = bdf->domain, bus = bdf->bus, device = bdf->device, fn = bdf->function;
        f.domain = domain;
        f.bus = bus;
        f.device = device;
        f.function = fn;
        f.source = name + ":" + std::to_string(lineNo);
        snapshot.functions.push_back(std::move(f));
        current = &snapshot.functions.back();
        if (snapshot.functions.size() > 8192) {
            fail("more functions than a machine holds");
            break;
        }
    }
    for (SnapshotFunction& f : snapshot.functions) {
        if (f.incomplete.empty() && f.config.size() % 16 != 0) {
            f.incomplete = "its last row of bytes, at offset " +
                           pci::hex(f.config.size() & ~size_t{15}, 2) + ", is short";
        }
    }
    if (result.errors.empty()) {
        // Functions with fewer bytes are left out, or padded, by the import, which says so.
        const bool any = std::any_of(snapshot.functions.begin(), snapshot.functions.end(),
                                     [](const SnapshotFunction& f) { return f.config.size() >= 64; });
        if (snapshot.functions.empty()) {
            result.errors.push_back(name + ": no functions (expected lspci -xxx output)");
        } else if (!any) {
            result.errors.push_back(name + ": no function has its configuration bytes; run "
                                           "lspci -xxx as root (verbose output, -vvv, is welcome "
                                           "too: it gives the sizes of BARs)");
        }
    }
    if (!result.errors.empty()) return result;
    std::sort(snapshot.functions.begin(), snapshot.functions.end(),
              [](const SnapshotFunction& a, const SnapshotFunction& b) {
                  return std::tie(a.domain, a.bus, a.device, a.function) <
                         std::tie(b.domain, b.bus, b.device, b.function);
              });
    for (size_t i = 1; i < snapshot.functions.size(); ++i) {
        const auto& a = snapshot.functions[i - 1];
        const auto& b = snapshot.functions[i];
        if (std::tie(a.domain, a.bus, a.device, a.function) ==
            std::tie(b.domain, b.bus, b.device, b.function)) {
            result.errors.push_back(b.source + ": " + functionName(b) + " appears twice");
            return result;
        }
    }
    result.snapshot = std::move(snapshot);
    return result;
}

namespace {

SnapshotResult readSnapshotAt(const std::string& path);

// A copy of /proc/iomem or /proc/ioports beside the snapshot, if there is one.
std::optional<std::string> procCopy(const std::string& path, bool directory, const char* leaf)
{
    const fs::path snapshot(path);
    const fs::path candidates[] = {
        fs::path(path + "." + leaf),
        (directory ? snapshot : snapshot.parent_path()) / leaf,
    };
    for (const fs::path& candidate : candidates) {
        std::error_code ec;
        if (!fs::is_regular_file(candidate, ec)) continue;
        std::string error;
        if (auto bytes = readInputFile(candidate.string(), error, MaxResource * 16,
                                               "a copy of /proc/iomem or /proc/ioports")) {
            return bytes;
        }
    }
    return std::nullopt;
}

SnapshotResult withProcCopies(SnapshotResult result, const std::string& path, bool directory)
{
    if (result.snapshot) {
        result.snapshot->iomem = procCopy(path, directory, "iomem");
        result.snapshot->ioports = procCopy(path, directory, "ioports");
    }
    return result;
}

}  // namespace

SnapshotResult readSnapshot(const std::string& path)
{
    std::error_code ec;
    const bool directory = fs::is_directory(path, ec);
    return withProcCopies(readSnapshotAt(path), path, directory);
}

namespace {

SnapshotResult readSnapshotAt(const std::string& path)
{
    std::error_code ec;
    const fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status)) {
        return {std::nullopt, {path + ": no such file or directory"}};
    }
    if (fs::is_directory(status)) return readDirectory(path);
    if (!fs::is_regular_file(status)) {
        return {std::nullopt, {path + ": not a regular file, a tar file or a directory"}};
    }
    std::string error;
    auto bytes = readInputFile(path, error, MaxSnapshot, "a snapshot file");
    if (!bytes) return {std::nullopt, {error}};
    // A tar file has "ustar" at offset 257 of its first header; anything else is read as text.
    if (bytes->size() >= 512 && bytes->compare(257, 5, "ustar") == 0) {
        return readSnapshotTar(*bytes, path);
    }
    return readSnapshotLspci(*bytes, path);
}

}  // namespace

}  // namespace formats
