// lspci dumps: the text format, the bytes behind it, the walk through current bus numbers, and
// pciutils' own decoding of what we wrote.
#include <gtest/gtest.h>

#include <machine/firmware.hpp>
#include <formats/lspci_dump.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace {

namespace reg = pci::reg;

struct Dumped {
    unsigned bus, device, function;
    uint16_t vendor, deviceId, classCode;
    std::string title;
    std::array<uint8_t, 256> bytes{};
};

// Reads a dump back, strictly: any line out of place fails the test.
std::vector<Dumped> readDump(const std::string& text)
{
    static const std::regex title(
        R"(^([0-9a-f]{2}):([0-9a-f]{2})\.([0-7]) Class ([0-9a-f]{4}): Device ([0-9a-f]{4}):([0-9a-f]{4})( \(rev [0-9a-f]{2}\))?$)");
    static const std::regex row(R"(^([0-9a-f]{2}):((?: [0-9a-f]{2}){16})$)");
    std::vector<Dumped> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        std::smatch m;
        if (!std::regex_match(line, m, title)) {
            ADD_FAILURE() << "expected a function's title line, got '" << line << "'";
            return out;
        }
        Dumped d;
        d.title = line;
        d.bus = static_cast<unsigned>(std::stoul(m[1], nullptr, 16));
        d.device = static_cast<unsigned>(std::stoul(m[2], nullptr, 16));
        d.function = static_cast<unsigned>(std::stoul(m[3], nullptr, 16));
        d.classCode = static_cast<uint16_t>(std::stoul(m[4], nullptr, 16));
        d.vendor = static_cast<uint16_t>(std::stoul(m[5], nullptr, 16));
        d.deviceId = static_cast<uint16_t>(std::stoul(m[6], nullptr, 16));
        for (unsigned offset = 0; offset < 256; offset += 16) {
            if (!std::getline(in, line) || !std::regex_match(line, m, row) ||
                std::stoul(m[1], nullptr, 16) != offset) {
                ADD_FAILURE() << d.title << ": bad row " << offset << ": '" << line << "'";
                return out;
            }
            std::istringstream bytes(m[2]);
            for (unsigned i = 0; i < 16; ++i) {
                unsigned value;
                bytes >> std::hex >> value;
                d.bytes[offset + i] = static_cast<uint8_t>(value);
            }
        }
        if (!std::getline(in, line) || !line.empty()) {
            ADD_FAILURE() << d.title << ": no blank line after the function";
        }
        out.push_back(d);
    }
    return out;
}

struct Booted {
    machine::MachineDesc desc;
    pci::Hierarchy hw;
    machine::FirmwareReport report;

    explicit Booted(bool firmware = true, const char* slot2 = "bridge card")
    {
        desc = formats::defaultMachine();
        machine::populate(hw, desc);
        if (slot2 != nullptr) {
            hw.root().function(0x1E, 0)->secondary()->insert(2,
                                                             machine::buildCard(*desc.card(slot2)));
        }
        if (firmware) report = machine::runFirmware(hw, desc.windows);
    }
    std::string dump()
    {
        std::ostringstream out;
        formats::writeLspciDump(out, hw);
        return out.str();
    }
};

TEST(LspciDump, EveryReachableFunctionWithItsBytes)
{
    Booted b;
    const uint64_t before = b.hw.transactions();
    const auto dumped = readDump(b.dump());
    ASSERT_EQ(dumped.size(), b.report.functions.size());
    // Read as software reads: 64 dword reads per function at least.
    EXPECT_GE(b.hw.transactions() - before, 64u * dumped.size());
    for (const Dumped& d : dumped) {
        const pci::Function* f = b.hw.locate(d.bus, d.device, d.function);
        ASSERT_NE(f, nullptr) << d.title;
        for (unsigned offset = 0; offset < 256; ++offset) {
            ASSERT_EQ(d.bytes[offset], f->byte(offset)) << d.title << " offset " << offset;
        }
        EXPECT_EQ(d.vendor, f->word(reg::VendorId)) << d.title;
        EXPECT_EQ(d.deviceId, f->word(reg::DeviceId)) << d.title;
        EXPECT_EQ(d.classCode, f->word(reg::SubClass)) << d.title;
    }
    // Function 1 of the multi-function device behind the card's bridge is there.
    bool second = false;
    for (const Dumped& d : dumped) second = second || (d.bus == 2 && d.device == 0 && d.function == 1);
    EXPECT_TRUE(second);
}

TEST(LspciDump, FollowsTheBusNumbersSoftwareSees)
{
    // Before firmware no bridge has bus numbers: only bus 0 is reachable.
    Booted fresh(false);
    EXPECT_EQ(readDump(fresh.dump()).size(), 4u);
    // Renumbering the bridge moves its bus; the card's bridge behind it still names bus 2,
    // which is no longer below it, so the card's subtree drops out.
    Booted b;
    b.hw.configWrite(0, 0x1E, 0, reg::SecondaryBus, 2, 0x3030);
    auto dumped = readDump(b.dump());
    ASSERT_EQ(dumped.size(), 6u);
    EXPECT_EQ(dumped[4].title, "30:00.0 Class 0106: Device 7e57:0500");
    EXPECT_EQ(dumped[5].title, "30:02.0 Class 0604: Device f1a0:3000");
    // A subordinate number below the secondary claims nothing: the bus behind is hidden.
    b.hw.configWrite(0, 0x1E, 0, reg::SubordinateBus, 1, 0x2F);
    dumped = readDump(b.dump());
    EXPECT_EQ(dumped.size(), 4u);
    for (const Dumped& d : dumped) EXPECT_EQ(d.bus, 0u) << d.title;
}

TEST(LspciDump, RevisionInTheTitle)
{
    auto parsed = formats::parseMachine(
        "[[function]]\nat = \"07.0\"\nid = \"7e57:0042\"\nrevision = 0x1f\nclass = 0x0c0330\n",
        "r.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    pci::Hierarchy hw;
    machine::populate(hw, parsed.value());
    std::ostringstream out;
    formats::writeLspciDump(out, hw);
    const auto dumped = readDump(out.str());
    ASSERT_EQ(dumped.size(), 1u);
    EXPECT_EQ(dumped[0].title, "00:07.0 Class 0c03: Device 7e57:0042 (rev 1f)");
}

// A temporary file removed at the end of the test.
class TempFile {
public:
    TempFile()
    {
        char name[] = "/tmp/hotp-lspci-XXXXXX";
        const int fd = mkstemp(name);
        EXPECT_GE(fd, 0);
        if (fd >= 0) close(fd);
        path_ = name;
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

std::string readAll(const std::string& path)
{
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// lspci's output split into one block per function, by its "bb:dd.f" title.
std::map<std::string, std::string> blocks(const std::string& text)
{
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    std::string line, current;
    while (std::getline(in, line)) {
        if (line.size() > 8 && line[2] == ':' && line[5] == '.' && line[7] == ' ') {
            current = line.substr(0, 7);
        }
        if (!current.empty()) out[current] += line + "\n";
    }
    return out;
}

std::string format(const char* pattern, unsigned long long a, unsigned long long b = 0,
                   unsigned long long c = 0)
{
    char text[128];
    std::snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

TEST(LspciDump, LspciDecodesDevicesBusNumbersAndWindows)
{
    const std::string lspci = HOTP_LSPCI;
    ASSERT_EQ(lspci.find("NOTFOUND"), std::string::npos)
        << "lspci (pciutils) is missing; scripts/install-deps.sh installs it";
    Booted b;
    TempFile dump, errors;
    {
        std::ofstream out(dump.path());
        formats::writeLspciDump(out, b.hw);
    }
    const std::string command = lspci + " -F " + dump.path() + " -vv 2>" + errors.path();
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[4096];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) output.append(buffer, n);
    ASSERT_EQ(pclose(pipe), 0) << readAll(errors.path());
    EXPECT_EQ(readAll(errors.path()).find("dump:"), std::string::npos) << readAll(errors.path());

    const auto found = blocks(output);
    ASSERT_EQ(found.size(), b.report.functions.size()) << output;
    for (const machine::FunctionReport& f : b.report.functions) {
        const std::string where = format("%02llx:%02llx.%llu", f.bus, f.device, f.function);
        auto it = found.find(where);
        ASSERT_NE(it, found.end()) << where << " missing in\n" << output;
        const std::string& text = it->second;
        std::vector<std::string> expected = {format("Device %04llx:%04llx", f.vendor, f.deviceId)};
        const bool io = (f.command & pci::CommandIo) != 0;
        const bool memory = (f.command & pci::CommandMemory) != 0;
        const bool master = (f.command & pci::CommandMaster) != 0;
        expected.push_back(std::string("Control: I/O") + (io ? "+" : "-") + " Mem" +
                           (memory ? "+" : "-") + " BusMaster" + (master ? "+" : "-"));
        for (const machine::BarReport& bar : f.bars) {
            if (bar.bar.kind == pci::Bar::Kind::Io) {
                expected.push_back(format("Region %llu: I/O ports at %04llx", bar.index,
                                          bar.address));
            } else {
                expected.push_back(
                    format("Region %llu: Memory at %08llx (", bar.index, bar.address) +
                    (bar.bar.kind == pci::Bar::Kind::Memory64 ? "64-bit" : "32-bit") + ", " +
                    (bar.bar.prefetchable ? "prefetchable" : "non-prefetchable") + ")");
            }
        }
        if (f.bridge) {
            const machine::BridgeReport& br = *f.bridge;
            expected.push_back(format("Bus: primary=%02llx, secondary=%02llx, subordinate=%02llx",
                                      br.primary, br.secondary, br.subordinate));
        }
        if (f.bridge && f.header == pci::HeaderKind::Bridge) {
            const machine::BridgeReport& br = *f.bridge;
            expected.push_back(br.io.open() ? format("I/O behind bridge: %04llx-%04llx",
                                                     br.io.base, br.io.limit)
                                            : "I/O behind bridge: [disabled]");
            expected.push_back(br.memory.open()
                                   ? format("Memory behind bridge: %08llx-%08llx",
                                            br.memory.base, br.memory.limit)
                                   : "Memory behind bridge: [disabled]");
            expected.push_back(br.prefetchable.open()
                                   ? format("Prefetchable memory behind bridge: %016llx-%016llx",
                                            br.prefetchable.base, br.prefetchable.limit)
                                   : "Prefetchable memory behind bridge: [disabled]");
        }
        for (const std::string& e : expected) {
            EXPECT_NE(text.find(e), std::string::npos) << where << ": no '" << e << "' in\n"
                                                       << text;
        }
    }
    // The machine did exercise a 64-bit prefetchable window and a 64-bit BAR.
    EXPECT_NE(output.find("Prefetchable memory behind bridge: 00000000"), std::string::npos);
    EXPECT_NE(output.find("(64-bit, prefetchable)"), std::string::npos);
}

}  // namespace
