// Writing a machine as a machine file, and configuration bytes as machine files hold them.
// What is written parses back into the same machine (a test holds the writer to that).
#include <formats/machine_writer.hpp>

#include <formats/files.hpp>
#include <pci/registers.hpp>

#include <cctype>
#include <cstdio>
#include <sstream>

namespace formats {

using namespace machine;

namespace {

std::string size(uint64_t bytes)
{
    const char* units[] = {"", "K", "M", "G"};
    unsigned u = 0;
    while (u < 3 && bytes >= 1024 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++u;
    }
    return u == 0 ? std::to_string(bytes) : "\"" + std::to_string(bytes) + units[u] + "\"";
}

std::string quoted(const std::string& text)
{
    std::string out = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') out += '\\';
        if (static_cast<unsigned char>(c) < 0x20) continue;
        out += c;
    }
    return out + "\"";
}

std::string window(const Window& w)
{
    return "{ base = 0x" + pci::hex(w.base, 4) + ", limit = 0x" + pci::hex(w.limit, 4) + " }";
}

void bars(std::ostream& out, const std::vector<pci::Bar>& list)
{
    std::vector<std::string> items;
    for (size_t i = 0; i < list.size(); ++i) {
        const pci::Bar& b = list[i];
        const char* type = nullptr;
        switch (b.kind) {
        case pci::Bar::Kind::None: continue;
        case pci::Bar::Kind::Io: type = b.ioUpperZero ? "io16" : "io"; break;
        case pci::Bar::Kind::Memory32: type = "mem32"; break;
        case pci::Bar::Kind::Memory64: type = "mem64"; break;
        }
        std::string item = "{ index = " + std::to_string(i) + ", type = \"" + type +
                           "\", size = " + size(b.size);
        if (b.prefetchable) item += ", prefetchable = true";
        items.push_back(item + " }");
    }
    if (items.empty()) return;
    out << "bars  = [\n";
    for (const std::string& item : items) out << "    " << item << ",\n";
    out << "]\n";
}

void function(std::ostream& out, const FunctionDesc& f, const std::string& path)
{
    out << "\n[[" << path << "]]\n";
    out << "at    = \"" << pci::hex(f.device, 2) << "." << f.function << "\"\n";
    out << "name  = " << quoted(f.name) << "\n";
    if (f.kind == FunctionKind::Bridge) out << "kind  = \"bridge\"\n";
    if (f.kind == FunctionKind::CardBus) out << "kind  = \"cardbus\"\n";
    out << "id    = \"" << pci::hex(f.vendor, 4) << ":" << pci::hex(f.deviceId, 4) << "\"\n";
    if (f.kind != FunctionKind::CardBus) {
        out << "class = 0x" << pci::hex(uint64_t{f.baseClass} << 16 | uint64_t{f.subClass} << 8 | f.progIf, 6)
            << "\n";
    }
    if (f.kind != FunctionKind::CardBus) bars(out, f.bars);
    if (f.romSize != 0) out << "rom   = " << size(f.romSize) << "\n";
    if (f.kind == FunctionKind::Bridge) {
        if (!f.ioWindow) out << "io_window = false\n";
        if (!f.prefetchWindow) out << "prefetch_window = false\n";
        if (f.config.empty()) {
            out << "prefetch64 = " << (f.prefetch64 ? "true" : "false") << "\n";
            out << "io32 = " << (f.io32 ? "true" : "false") << "\n";
        }
    }
    if (!f.config.empty()) {
        out << "config = \"\"\"\n" << formatConfigBytes(f.config, "") << "\"\"\"\n";
    }
    if (f.kind == FunctionKind::Bridge) {
        for (const FunctionDesc& behind : f.secondary.functions) {
            function(out, behind, path + ".behind");
        }
    }
}

}  // namespace

std::string formatConfigBytes(const std::vector<uint8_t>& bytes, std::string_view indent)
{
    std::string out;
    char cell[24];
    for (size_t row = 0; row < bytes.size(); row += 16) {
        std::snprintf(cell, sizeof cell, "%02zx:", row);
        out += std::string(indent) + cell;
        for (size_t i = row; i < row + 16 && i < bytes.size(); ++i) {
            std::snprintf(cell, sizeof cell, " %02x", bytes[i]);
            out += cell;
        }
        out += "\n";
    }
    return out;
}

bool parseConfigBytes(std::string_view text, std::vector<uint8_t>& bytes, std::string& error)
{
    bytes.clear();
    std::istringstream in{std::string(text)};
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        bool first = true;
        while (words >> word) {
            // A row may start with its offset, as lspci -x prints it ("40: ...").
            if (first && word.size() >= 2 && word.back() == ':') {
                first = false;
                unsigned long offset = 0;
                const std::string digits = word.substr(0, word.size() - 1);
                if (digits.size() > 3 ||
                    digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
                    error = "'" + word + "' is not a row offset such as \"40:\"";
                    return false;
                }
                offset = std::stoul(digits, nullptr, 16);
                if (offset != bytes.size()) {
                    error = "the row at offset " + digits + " follows " +
                            std::to_string(bytes.size()) + " bytes";
                    return false;
                }
                continue;
            }
            first = false;
            if (word.size() != 2 || !std::isxdigit(static_cast<unsigned char>(word[0])) ||
                !std::isxdigit(static_cast<unsigned char>(word[1]))) {
                error = "'" + word + "' is not a hexadecimal byte such as \"8c\"";
                return false;
            }
            if (bytes.size() == 4096) {
                error = "more than 4096 bytes of configuration space";
                return false;
            }
            bytes.push_back(static_cast<uint8_t>(std::stoul(word, nullptr, 16)));
        }
    }
    if (bytes.size() < 64) {
        error = "the configuration bytes hold " + std::to_string(bytes.size()) +
                " bytes; give at least the 64-byte header";
        return false;
    }
    // The model holds the first 256; an extended space is kept by the snapshot, not the model.
    if (bytes.size() > 256) bytes.resize(256);
    return true;
}

std::string writeMachineFile(const MachineDesc& m, const std::vector<std::string>& notes)
{
    std::ostringstream out;
    for (const std::string& n : notes) out << "# " << n << "\n";
    if (!notes.empty()) out << "\n";
    out << "name = " << quoted(m.name) << "\n";
    if (m.asFound) out << "firmware = \"as-found\"\n";
    out << "\n[windows]\n";
    // An empty bus 00 may forward nothing (an empty table); every other first root has both.
    const bool forwardsNothing = m.root.functions.empty() && m.root.slots.empty() &&
                                 !m.windows.io.open() && !m.windows.memory.open() &&
                                 !m.windows.prefetchable.open() && !m.windows.memory64.open();
    if (!forwardsNothing) {
        out << "io           = " << window(m.windows.io) << "\n";
        out << "memory       = " << window(m.windows.memory) << "\n";
    }
    if (m.windows.prefetchable.open()) {
        out << "prefetchable = " << window(m.windows.prefetchable) << "\n";
    }
    if (m.windows.memory64.open()) out << "memory64     = " << window(m.windows.memory64) << "\n";
    for (const FunctionDesc& f : m.root.functions) function(out, f, "function");
    for (const PeerRootDesc& peer : m.peers) {
        out << "\n[[root]]                                      # a peer host bridge's root bus\n";
        out << "bus = 0x" << pci::hex(peer.number, 2) << "\n";
        const std::pair<const char*, const Window*> windows[] = {
            {"io          ", &peer.windows.io},
            {"memory      ", &peer.windows.memory},
            {"prefetchable", &peer.windows.prefetchable},
            {"memory64    ", &peer.windows.memory64},
        };
        bool any = false;
        for (const auto& [key, w] : windows) any = any || w->open();
        if (any) out << "[root.windows]\n";
        for (const auto& [key, w] : windows) {
            if (w->open()) out << key << " = " << window(*w) << "\n";
        }
        for (const FunctionDesc& f : peer.bus.functions) function(out, f, "root.function");
    }
    return out.str();
}

}  // namespace formats
