// Snapshots in, machines out. A machine configured by our firmware is shown as Linux shows it
// (a config file and a resource file per function folder, in a directory, in a tar file, and as
// lspci -xxx output); the machine imported from that snapshot must boot holding, byte for byte,
// the configuration space the original held, and its machine file must parse back.
#include <gtest/gtest.h>

#include <machine/firmware.hpp>
#include <formats/lspci_dump.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <formats/snapshot.hpp>
#include <formats/machine_writer.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace machine;
using namespace formats;

// A flat bus, a bridge with a device behind it, nested and sibling bridges, a multi-function
// device with a gap, an empty bridge, a 64-bit prefetchable BAR behind a bridge, a subtractive
// bridge without a prefetchable window but with a BAR and a ROM of its own, and a large I/O BAR.
constexpr const char* kMachine = R"(
name = "snapshot machine"
[[function]]
at = "00.0"
id = "7e57:0100"
class = 0x060000
[[function]]
at = "02.0"
id = "7e57:0300"
class = 0x020000
bars = [ { type = "io", size = "1K" }, { type = "mem32", size = "4K" } ]
rom = "64K"
[[function]]
at = "03.0"
id = "7e57:0310"
class = 0x040100
bars = [ { type = "mem32", size = "16K" } ]
[[function]]
at = "03.3"
id = "7e57:0311"
class = 0x0c0330
bars = [ { type = "mem64", size = "64K" } ]
[[function]]
at = "1c.0"
kind = "bridge"
id = "7e57:0400"
[[function.behind]]
at = "00.0"
kind = "bridge"
id = "7e57:0401"
[[function.behind.behind]]
at = "00.0"
id = "7e57:0500"
class = 0x030000
bars = [ { type = "mem64", size = "256M", prefetchable = true }, { index = 2, type = "mem32", size = "1M" } ]
[[function.behind]]
at = "01.0"
kind = "bridge"
id = "7e57:0402"
[[function]]
at = "1d.0"
kind = "bridge"
id = "7e57:0403"
class = 0x060401
prefetch_window = false
bars = [ { type = "mem32", size = "16K" } ]
rom = "32K"
[[function.behind]]
at = "05.0"
id = "7e57:0600"
class = 0x010601
bars = [ { index = 5, type = "mem32", size = "8K" } ]
)";

struct Booted {
    MachineDesc desc;
    pci::Hierarchy hw;
    FirmwareReport report;
};

std::unique_ptr<Booted> boot(const MachineDesc& desc)
{
    auto b = std::make_unique<Booted>();
    b->desc = desc;
    populate(b->hw, b->desc);
    b->report = runFirmware(b->hw, b->desc.windows, b->desc.asFound);
    return b;
}

std::vector<uint8_t> bytesOf(pci::Hierarchy& hw, unsigned bus, unsigned device, unsigned fn)
{
    std::vector<uint8_t> out(256);
    for (unsigned at = 0; at < 256; at += 4) {
        const uint32_t v = hw.configRead(bus, device, fn, at, 4);
        for (unsigned i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    return out;
}

std::string line(uint64_t start, uint64_t end, uint64_t flags)
{
    char text[80];
    std::snprintf(text, sizeof text, "0x%016llx 0x%016llx 0x%016llx\n",
                  static_cast<unsigned long long>(start), static_cast<unsigned long long>(end),
                  static_cast<unsigned long long>(flags));
    return text;
}

// What Linux's `resource` file says of a function firmware configured.
std::string resourceOf(const FunctionReport& f, const FunctionDesc* desc)
{
    std::vector<std::string> lines(f.bridge && f.header == pci::HeaderKind::Bridge ? 11 : 7,
                                   line(0, 0, 0));
    for (const BarReport& b : f.bars) {
        uint64_t flags = b.bar.kind == pci::Bar::Kind::Io ? 0x100 : 0x200;
        if (b.bar.prefetchable) flags |= 0x2000;
        if (b.bar.kind == pci::Bar::Kind::Memory64) flags |= 0x100000;
        lines[b.index] = line(b.address, b.address + b.bar.size - 1, flags);
    }
    if (f.romSize != 0) lines[6] = line(0, f.romSize - 1, 0x200 | 0x20000000);
    if (lines.size() == 11 && desc != nullptr) {
        const Window* w[] = {&f.bridge->io, &f.bridge->memory, &f.bridge->prefetchable};
        const bool present[] = {desc->ioWindow, true, desc->prefetchWindow};
        const uint64_t flags[] = {0x100, 0x200, 0x2200};
        for (unsigned i = 0; i < 3; ++i) {
            if (present[i]) {
                lines[7 + i] = w[i]->open() ? line(w[i]->base, w[i]->limit, flags[i])
                                            : line(0, 0, flags[i] | 0x20000000);
            }
        }
    }
    std::string text;
    for (const std::string& l : lines) text += l;
    return text;
}

const FunctionDesc* findDesc(const BusDesc& bus, unsigned device, unsigned fn)
{
    for (const FunctionDesc& f : bus.functions) {
        if (f.device == device && f.function == fn) return &f;
    }
    return nullptr;
}

class TempDir {
public:
    TempDir()
    {
        char name[] = "/tmp/hotp-snapshot-XXXXXX";
        path_ = ::mkdtemp(name);
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Writes the snapshot folders as /sys/bus/pci/devices holds them.
void writeSysfs(Booted& m, const fs::path& root, bool pcie)
{
    for (const FunctionReport& f : m.report.functions) {
        char name[32];
        std::snprintf(name, sizeof name, "0000:%02x:%02x.%u", f.bus, f.device, f.function);
        const fs::path folder = root / "sys/bus/pci/devices" / name;
        fs::create_directories(folder);
        std::vector<uint8_t> bytes = bytesOf(m.hw, f.bus, f.device, f.function);
        if (pcie) bytes.resize(4096, 0);
        std::ofstream(folder / "config", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
        // Only the root bus's descriptions are needed for the windows of bridges there.
        const FunctionDesc* desc = f.bus == 0 ? findDesc(m.desc.root, f.device, f.function) : nullptr;
        std::ofstream(folder / "resource") << resourceOf(f, desc);
    }
}

// One function as lspci -vx prints it: its line, the lines lspci decoded, then the rows of its
// header, which holds `header` from offset 0 and zero after it.
std::string lspciFunction(const std::string& line, const std::string& decoded,
                          std::vector<uint8_t> header)
{
    header.resize(64, 0);
    std::string text = line + "\n" + decoded;
    for (unsigned row = 0; row < 64; row += 16) {
        char bytes[64];
        int n = std::snprintf(bytes, sizeof bytes, "%02x:", row);
        for (unsigned i = 0; i < 16; ++i) {
            n += std::snprintf(bytes + n, sizeof bytes - static_cast<size_t>(n), " %02x",
                               header[row + i]);
        }
        text += std::string(bytes) + "\n";
    }
    return text + "\n";
}

MachineDesc imported(const SnapshotResult& read, std::vector<std::string>* notes = nullptr)
{
    EXPECT_TRUE(read.snapshot) << (read.errors.empty() ? "" : read.errors.front());
    if (!read.snapshot) return {};
    ImportResult result = importSnapshot(*read.snapshot);
    EXPECT_TRUE(result.machine) << (result.errors.empty() ? "" : result.errors.front());
    if (notes) *notes = result.notes;
    if (!result.machine) return {};
    // The machine file says the same machine.
    const std::string text = writeMachineFile(*result.machine, result.notes);
    auto parsed = parseMachine(text, "imported.toml");
    EXPECT_TRUE(parsed.ok()) << (parsed.errors().empty() ? "" : parsed.errors().front()) << "\n"
                             << text;
    return parsed.ok() ? parsed.value() : MachineDesc{};
}

void expectSameSpace(Booted& original, Booted& copy, bool sameReport = true)
{
    ASSERT_EQ(original.report.functions.size(), copy.report.functions.size());
    for (const FunctionReport& f : original.report.functions) {
        EXPECT_EQ(bytesOf(original.hw, f.bus, f.device, f.function),
                  bytesOf(copy.hw, f.bus, f.device, f.function))
            << "function " << f.bus << ":" << f.device << "." << f.function;
    }
    if (sameReport) {
        EXPECT_EQ(original.report.lines(), copy.report.lines());
    }
}

TEST(Snapshot, ImportedMachinesBootAsCaptured)
{
    auto parsed = parseMachine(kMachine, "machine.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    auto original = boot(parsed.value());
    ASSERT_TRUE(original->report.problems.empty());

    struct Case {
        const char* name;
        bool pcie;
        bool tar;
        bool proc = false;  // with copies of /proc/iomem and /proc/ioports beside it
    } cases[] = {{"directory", false, false}, {"tar file", false, true}, {"PCI Express", true, false},
                 {"root windows from iomem and ioports", false, false, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeSysfs(*original, dir.path(), c.pcie);
        if (c.proc) {  // the largest top-level range of bus 00 in each is its window
            std::ofstream(dir.path() / "iomem") << "80000000-febfffff : PCI Bus 0000:00\n"
                                                   "  f0000000-feafffff : PCI Bus 0000:01\n";
            std::ofstream(dir.path() / "ioports") << "0000-0cf7 : PCI Bus 0000:00\n0cf8-0cff : PCI "
                                                     "conf1\n0d00-ffff : PCI Bus 0000:00\n";
        }
        fs::path source = dir.path();
        if (c.tar) {
            source = dir.path() / "pci.tar";
            const std::string command = "cd '" + dir.path().string() +
                                        "' && tar cf pci.tar sys/bus/pci/devices/*/config "
                                        "sys/bus/pci/devices/*/resource";
            ASSERT_EQ(std::system(command.c_str()), 0);
        }
        std::vector<std::string> notes;
        MachineDesc desc = imported(readSnapshot(source.string()), &notes);
        EXPECT_EQ(std::count(notes.begin(), notes.end(), "root bus 00: windows from iomem and "
                             "ioports: io 0d00-ffff, memory 80000000-febfffff"), c.proc ? 1 : 0);
        auto copy = boot(desc);
        expectSameSpace(*original, *copy);
        const bool notedExpress = std::any_of(notes.begin(), notes.end(), [](const std::string& n) {
            return n.find("PCI Express") != std::string::npos;
        });
        EXPECT_EQ(notedExpress, c.pcie);
    }

    // From lspci -xxx alone, sizes are guessed from alignment and the notes say so.
    std::ostringstream dump;
    writeLspciDump(dump, original->hw);
    std::vector<std::string> notes;
    MachineDesc desc = imported(readSnapshotLspci(dump.str(), "lspci.txt"), &notes);
    auto copy = boot(desc);
    expectSameSpace(*original, *copy, /*sameReport=*/false);  // guessed sizes differ
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& n) {
        return n.find("guessed from the alignment") != std::string::npos;
    }));
}

TEST(Snapshot, MalformedSnapshotsNameTheFileAndTheFault)
{
    auto parsed = parseMachine(kMachine, "machine.toml");
    ASSERT_TRUE(parsed.ok());
    auto original = boot(parsed.value());
    const fs::path devices = "sys/bus/pci/devices";

    // A snapshot that cannot be read is refused; a function that cannot be imported is left out
    // with a note naming it, and the rest imports.
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> spoil;
        const char* message;
        bool refused = true;
        const char* file = nullptr;  // read instead of the folder
    } cases[] = {
        {"config copied without root",
         [&](const fs::path& root) { fs::resize_file(root / devices / "0000:00:02.0/config", 64); },
         "00:02.0: only the first 64 bytes of its configuration space were copied", false},
        {"config of a size Linux never shows",
         [&](const fs::path& root) { fs::resize_file(root / devices / "0000:00:02.0/config", 100); },
         "0000:00:02.0/config: 100 bytes"},
        {"a row of bytes missing from one function of an lspci dump",
         [&](const fs::path& root) {
             std::ostringstream dump;
             writeLspciDump(dump, original->hw);
             std::string text = dump.str();
             const size_t row = text.find("\n80: ", text.find("00:02.0 "));
             text.erase(row, text.find('\n', row + 1) - row);
             std::ofstream(root / "lspci.txt") << text;
         },
         "00:02.0: left out: its row of bytes at offset 80 is missing", false, "lspci.txt"},
        {"resource missing",
         [&](const fs::path& root) { fs::remove(root / devices / "0000:00:02.0/resource"); },
         "has no resource file beside its config"},
        {"resource line garbled",
         [&](const fs::path& root) {
             std::ofstream(root / devices / "0000:00:02.0/resource") << "0x0 0x0\n";
         },
         "00:02.0: left out: its resource line 1 is not three hexadecimal numbers", false},
        {"BAR without a resource",
         [&](const fs::path& root) {
             std::ofstream out(root / devices / "0000:00:02.0/resource");
             for (int i = 0; i < 7; ++i) out << line(0, 0, 0);
         },
         "00:02.0: left out: its BAR 0 holds", false},
        {"a bus no bridge leads to",
         [&](const fs::path& root) {
             fs::rename(root / devices / "0000:00:1d.0", root / "elsewhere");
         },
         ": no bridge leads to it: the root bus of a peer host bridge", false},
        {"empty snapshot",
         [&](const fs::path& root) { fs::remove_all(root / "sys"); },
         "no function folders"},
        {"an IDE controller in compatibility mode, its BARs 0-3 printed without a size",
         [&](const fs::path& root) {
             std::ofstream(root / "lspci.txt") << lspciFunction(
                 "0000:00:11.0 IDE interface: Standard Dual Channel PCI IDE Controller (prog-if 8a)",
                 "\tI/O ports at <unassigned>\n\tI/O ports at <unassigned>\n"
                 "\tI/O ports at <unassigned>\n\tI/O ports at <unassigned>\n"
                 "\tI/O ports at f400 [size=16]\n",
                 {0x02, 0x10, 0x76, 0x43, 0x05, 0x00, 0x30, 0x02, 0x00, 0x8a, 0x01, 0x01, 0, 0x40, 0, 0,
                  1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 0x01, 0xf4, 0, 0});
         },
         "00:11.0: its secondary IDE channel is in compatibility mode (programming interface 8a)",
         false, "lspci.txt"},
        {"an I/O BAR in another architecture's I/O space",
         [&](const fs::path& root) {
             std::ofstream(root / "lspci.txt") << lspciFunction(
                 "00:03.0 Ethernet controller: Device 7e57:0300",
                 "\tRegion 0: I/O ports at 800000 [size=256]\n",
                 {0x57, 0x7e, 0x00, 0x03, 0x01, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0x01, 0, 0x80, 0});
         },
         "00:03.0: its I/O BAR 0 at 00800000 lies above ffff", false, "lspci.txt"},
        {"a 64-bit BAR at 56T",
         [&](const fs::path& root) {
             std::ofstream(root / "lspci.txt") << lspciFunction(
                 "00:04.0 Ethernet controller: Device 7e57:0300",
                 "\tRegion 0: Memory at 380000000000 (64-bit, prefetchable) [size=1M]\n",
                 {0x57, 0x7e, 0x00, 0x03, 0x02, 0, 0, 0, 0, 0, 0, 0x02, 0, 0, 0, 0, 0x0c, 0, 0, 0,
                  0, 0x38, 0, 0});
         },
         "memory64 380000000000-3800000fffff (up to the highest address assigned there)", false,
         "lspci.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        writeSysfs(*original, dir.path(), false);
        c.spoil(dir.path());
        SnapshotResult read = readSnapshot((c.file ? dir.path() / c.file : dir.path()).string());
        std::vector<std::string> errors = read.errors, notes;
        if (read.snapshot) {
            ImportResult result = importSnapshot(*read.snapshot);
            errors = result.errors;
            notes = result.notes;
        }
        if (c.refused) {
            ASSERT_FALSE(errors.empty());
            EXPECT_NE(errors.front().find(c.message), std::string::npos) << errors.front();
            continue;
        }
        EXPECT_TRUE(errors.empty()) << errors.front();
        EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [&](const std::string& n) {
            return n.find(c.message) != std::string::npos;
        })) << c.message;
    }

    // Domain 0000 starting at bus 04, beside a second domain: bus 00 stays empty and forwards
    // nothing, bus 04 is a peer root, and the other domain is named as left out.
    const std::string device = lspciFunction("0000:04:00.0 Ethernet controller: Device 7e57:0300",
                                             "\tRegion 0: Memory at f0100000 [size=4K]\n",
                                             {0x57, 0x7e, 0x00, 0x03, 0x02, 0, 0, 0, 0, 0, 0, 0x02,
                                              0, 0, 0, 0, 0x00, 0x00, 0x10, 0xf0});
    std::string other = device;
    other.replace(0, 12, "0001:00:00.0");
    std::vector<std::string> notes;
    const MachineDesc desc = imported(readSnapshotLspci(device + other, "board.txt"), &notes);
    EXPECT_TRUE(desc.root.functions.empty());
    EXPECT_FALSE(desc.windows.io.open() || desc.windows.memory.open());
    ASSERT_EQ(desc.peers.size(), 1u);
    EXPECT_EQ(desc.peers[0].number, 4u);
    EXPECT_EQ(desc.peers[0].windows.memory.base, 0xF0100000u);
    EXPECT_EQ(std::count(notes.begin(), notes.end(),
                         "PCI domain 0001 left out: a machine has one PCI domain, 0000"), 1);

    // A damaged tar file is refused with its name.
    const std::string truncated = std::string(600, 'x');
    SnapshotResult tar = readSnapshotTar(truncated, "pci.tar");
    ASSERT_FALSE(tar.errors.empty());
    EXPECT_EQ(tar.errors.front().rfind("pci.tar: ", 0), 0u) << tar.errors.front();
}

}  // namespace
