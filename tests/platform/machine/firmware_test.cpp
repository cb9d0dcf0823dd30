// The firmware pass, checked from the outside: everything is read back through configuration
// cycles and judged against the rules of PCI configuration (bus numbers nested and unique, BARs
// naturally aligned inside their bridge's windows, nothing overlapping, decoding on).
#include <gtest/gtest.h>

#include <machine/firmware.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <machine_text.hpp>

#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

namespace {

using namespace hotp::test;
namespace reg = pci::reg;
using machine::Window;

struct Range {
    uint64_t base, size;
    bool io;
    std::string what;
    uint64_t last() const { return base + size - 1; }
};

struct Windows {
    Window io, memory, prefetchable;
};

std::string bdf(unsigned bus, unsigned device, unsigned fn)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02x:%02x.%u", bus, device, fn);
    return text;
}

bool inside(const Window& w, uint64_t base, uint64_t size)
{
    return w.open() && base >= w.base && base + size - 1 <= w.limit && size != 0;
}

// Walks the hierarchy from bus 0 through the bridges' bus numbers and records every rule that
// the configuration breaks.
class Checker {
public:
    Checker(pci::Hierarchy& hw, const machine::RootWindows& root) : hw_(hw)
    {
        walk(0, Windows{root.io, root.memory, root.prefetchable}, 255);
    }

    std::vector<std::string> failures;
    unsigned functions = 0;
    std::set<unsigned> buses{0};
    // Ranges in use on each bus, by bus number, for reservation checks.
    std::map<unsigned, std::vector<Range>> used;

private:
    uint32_t read(unsigned b, unsigned d, unsigned f, unsigned offset, unsigned length)
    {
        return hw_.configRead(b, d, f, offset, length);
    }
    void fail(const std::string& text) { failures.push_back(text); }

    void walk(unsigned bus, const Windows& parent, unsigned subordinateLimit)
    {
        std::vector<Range> ranges;
        std::vector<std::pair<unsigned, unsigned>> busRanges;
        for (unsigned d = 0; d < 32; ++d) {
            if (read(bus, d, 0, reg::VendorId, 2) == 0xFFFF) continue;
            const bool multi = (read(bus, d, 0, reg::HeaderType, 1) & 0x80) != 0;
            for (unsigned fn = 0; fn < (multi ? 8u : 1u); ++fn) {
                if (read(bus, d, fn, reg::VendorId, 2) == 0xFFFF) continue;
                ++functions;
                function(bus, d, fn, parent, subordinateLimit, ranges, busRanges);
            }
        }
        for (size_t i = 0; i < ranges.size(); ++i) {
            for (size_t j = i + 1; j < ranges.size(); ++j) {
                const Range& a = ranges[i];
                const Range& b = ranges[j];
                if (a.io == b.io && a.base <= b.last() && b.base <= a.last()) {
                    fail(a.what + " overlaps " + b.what);
                }
            }
        }
        for (size_t i = 0; i < busRanges.size(); ++i) {
            for (size_t j = i + 1; j < busRanges.size(); ++j) {
                if (busRanges[i].first <= busRanges[j].second &&
                    busRanges[j].first <= busRanges[i].second) {
                    fail("bus " + std::to_string(bus) + ": two bridges claim overlapping buses");
                }
            }
        }
        used[bus] = ranges;
    }

    void function(unsigned bus, unsigned d, unsigned fn, const Windows& parent,
                  unsigned subordinateLimit, std::vector<Range>& ranges,
                  std::vector<std::pair<unsigned, unsigned>>& busRanges)
    {
        const std::string where = bdf(bus, d, fn);
        const unsigned header = read(bus, d, fn, reg::HeaderType, 1) & 0x7F;
        const uint32_t command = read(bus, d, fn, reg::Command, 2);
        pci::Function* model = hw_.locate(bus, d, fn);
        bool resources = false;  // BARs or windows that need decoding
        const auto& bars = model->bars();
        for (unsigned i = 0; i < bars.size(); ++i) {
            const pci::Bar& bar = bars[i];
            if (bar.kind == pci::Bar::Kind::None) continue;
            const unsigned offset = reg::Bar0 + 4 * i;
            const uint32_t low = read(bus, d, fn, offset, 4);
            const std::string what = where + " BAR" + std::to_string(i);
            uint64_t address;
            const Window* window;
            const bool io = bar.kind == pci::Bar::Kind::Io;
            const bool on = (command & (io ? pci::CommandIo : pci::CommandMemory)) != 0;
            if (io) {
                address = low & ~0x3u;
                window = &parent.io;
                if (!on) fail(what + ": I/O decoding is off");
            } else {
                address = low & ~0xFu;
                if (bar.kind == pci::Bar::Kind::Memory64) {
                    address |= uint64_t{read(bus, d, fn, offset + 4, 4)} << 32;
                }
                window = bar.prefetchable && parent.prefetchable.open() ? &parent.prefetchable
                                                                        : &parent.memory;
                if ((command & pci::CommandMemory) == 0) fail(what + ": memory decoding is off");
            }
            resources = true;
            if (address % bar.size != 0) fail(what + " is not naturally aligned");
            if (!inside(*window, address, bar.size)) fail(what + " is outside its window");
            // A BAR whose decoding is off claims no addresses.
            if (on) ranges.push_back(Range{address, bar.size, io, what});
        }
        if (read(bus, d, fn, reg::LatencyTimer, 1) != machine::FirmwareLatencyTimer ||
            read(bus, d, fn, reg::CacheLineSize, 1) != machine::FirmwareCacheLineSize) {
            fail(where + ": latency timer or cache line size not set");
        }
        if (header == 1 || header == 2) {
            const unsigned primary = read(bus, d, fn, reg::PrimaryBus, 1);
            const unsigned secondary = read(bus, d, fn, reg::SecondaryBus, 1);
            const unsigned subordinate = read(bus, d, fn, reg::SubordinateBus, 1);
            if (primary != bus) fail(where + ": primary bus is not the bus it is on");
            if (secondary <= bus || secondary > subordinate || subordinate > subordinateLimit) {
                fail(where + ": bus numbers not nested inside its parent's");
            }
            if (!buses.insert(secondary).second) fail(where + ": secondary bus used twice");
            busRanges.emplace_back(secondary, subordinate);
            if (header == 1) {
                const Windows windows = bridgeWindows(bus, d, fn);
                const Window* mine[] = {&windows.io, &windows.memory, &windows.prefetchable};
                const Window* theirs[] = {&parent.io, &parent.memory,
                                          parent.prefetchable.open() ? &parent.prefetchable
                                                                     : &parent.memory};
                const uint64_t granularity[] = {0x1000, 0x100000, 0x100000};
                for (unsigned s = 0; s < 3; ++s) {
                    const Window& w = *mine[s];
                    if (!w.open()) continue;
                    const std::string what = where + " window " + std::to_string(s);
                    resources = true;
                    if (!inside(*theirs[s], w.base, w.size())) fail(what + " outside its parent's");
                    if (w.base % granularity[s] != 0 || w.size() % granularity[s] != 0) {
                        fail(what + " not on its granularity");
                    }
                    ranges.push_back(Range{w.base, w.size(), s == 0, what});
                }
                if (windows.io.open() && (command & pci::CommandIo) == 0) {
                    fail(where + ": I/O window open, I/O forwarding off");
                }
                if ((windows.memory.open() || windows.prefetchable.open()) &&
                    (command & pci::CommandMemory) == 0) {
                    fail(where + ": memory window open, memory forwarding off");
                }
                walk(secondary, windows, subordinate);
            }
        }
        if ((command & (pci::CommandIo | pci::CommandMemory)) != 0 &&
            (command & pci::CommandMaster) == 0) {
            fail(where + ": decodes, but bus master is off");
        }
        if (!resources && command != 0) fail(where + ": decoding on with nothing to decode");
    }

    Windows bridgeWindows(unsigned b, unsigned d, unsigned f)
    {
        Windows w;
        const uint32_t ioBase = read(b, d, f, reg::IoBase, 1);
        const uint32_t ioLimit = read(b, d, f, reg::IoLimit, 1);
        w.io = Window{uint64_t{ioBase & 0xF0} << 8, (uint64_t{ioLimit & 0xF0} << 8) | 0xFFF};
        if ((ioBase & 0xF) == 1) {
            w.io.base |= uint64_t{read(b, d, f, reg::IoBaseUpper, 2)} << 16;
            w.io.limit |= uint64_t{read(b, d, f, reg::IoLimitUpper, 2)} << 16;
        }
        w.memory = Window{uint64_t{read(b, d, f, reg::MemoryBase, 2) & 0xFFF0} << 16,
                          (uint64_t{read(b, d, f, reg::MemoryLimit, 2) & 0xFFF0} << 16) | 0xFFFFF};
        const uint32_t prefBase = read(b, d, f, reg::PrefetchBase, 2);
        w.prefetchable = Window{uint64_t{prefBase & 0xFFF0} << 16,
                                (uint64_t{read(b, d, f, reg::PrefetchLimit, 2) & 0xFFF0} << 16) |
                                    0xFFFFF};
        if ((prefBase & 0xF) == 1) {
            w.prefetchable.base |= uint64_t{read(b, d, f, reg::PrefetchBaseUpper, 4)} << 32;
            w.prefetchable.limit |= uint64_t{read(b, d, f, reg::PrefetchLimitUpper, 4)} << 32;
        }
        return w;
    }

    pci::Hierarchy& hw_;
};

// Is there a naturally aligned free block of `size` bytes in `window`, clear of `used`?
bool freeBlock(const Window& w, std::vector<Range> used, uint64_t size, bool io)
{
    std::erase_if(used, [io](const Range& r) { return r.io != io; });
    for (uint64_t base = (w.base + size - 1) / size * size; base + size - 1 <= w.limit;
         base += size) {
        bool clear = true;
        for (const Range& r : used) clear = clear && (r.last() < base || r.base > base + size - 1);
        if (clear) return true;
    }
    return false;
}

struct Booted {
    machine::MachineDesc desc;
    pci::Hierarchy hw;
    machine::FirmwareReport report;
};

// The built-in machine with some cards present at boot, then the firmware pass.
void boot(Booted& b, const std::vector<std::pair<unsigned, const char*>>& cards = {})
{
    b.desc = formats::defaultMachine();
    machine::populate(b.hw, b.desc);
    for (const auto& [slot, name] : cards) {
        ASSERT_TRUE(b.hw.root().function(0x1E, 0)->secondary()->insert(
            slot, machine::buildCard(*b.desc.card(name))));
    }
    b.report = machine::runFirmware(b.hw, b.desc.windows);
}

// The machine of a file, then the firmware pass.
void bootText(Booted& b, const std::string& text)
{
    auto parsed = formats::parseMachine(text, "machine.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    b.desc = parsed.value();
    machine::populate(b.hw, b.desc);
    b.report = machine::runFirmware(b.hw, b.desc.windows);
}

std::string joined(const std::vector<std::string>& lines)
{
    std::string out;
    for (const auto& l : lines) out += l + "\n";
    return out;
}

const machine::FunctionReport* find(const machine::FirmwareReport& r, unsigned bus,
                                    unsigned device, unsigned fn)
{
    for (const auto& f : r.functions) {
        if (f.bus == bus && f.device == device && f.function == fn) return &f;
    }
    return nullptr;
}

TEST(Firmware, BuiltInMachineIsConfiguredByTheRules)
{
    Booted b;
    boot(b);
    Checker check(b.hw, b.desc.windows);
    EXPECT_TRUE(check.failures.empty()) << joined(check.failures);
    EXPECT_EQ(check.functions, 5u);
    EXPECT_TRUE(b.report.problems.empty()) << joined(b.report.problems);
    // One bus behind the bridge, and the spare numbers its slots ask for.
    const uint32_t numbers = b.hw.configRead(0, 0x1E, 0, reg::PrimaryBus, 4);
    EXPECT_EQ(numbers & 0xFFFFFF, 0x090100u);
    EXPECT_EQ(numbers >> 24, machine::FirmwareLatencyTimer);  // secondary latency timer
    // The host bridge has nothing to decode.
    EXPECT_EQ(b.hw.configRead(0, 0, 0, reg::Command, 2), 0u);
    EXPECT_EQ(b.hw.configRead(0, 2, 0, reg::Command, 2),
              uint32_t{pci::CommandIo | pci::CommandMemory | pci::CommandMaster});
}

TEST(Firmware, HotPlugBridgeWindowsKeepTheReservationFree)
{
    Booted b;
    boot(b);
    Checker check(b.hw, b.desc.windows);
    const machine::FunctionReport* bridge = find(b.report, 0, 0x1E, 0);
    ASSERT_NE(bridge, nullptr);
    ASSERT_TRUE(bridge->bridge);
    const pci::HotPlugReserve& reserve = b.desc.root.functions[3].secondary.reserve;
    const auto& behind = check.used[1];
    EXPECT_TRUE(freeBlock(bridge->bridge->io, behind, reserve.io, true));
    EXPECT_TRUE(freeBlock(bridge->bridge->memory, behind, reserve.memory, false));
    EXPECT_TRUE(freeBlock(bridge->bridge->prefetchable, behind, reserve.prefetchable, false));
    // Nothing prefetchable is behind it at boot: the window is the reservation alone.
    EXPECT_EQ(bridge->bridge->prefetchable.size(), reserve.prefetchable);
}

TEST(Firmware, CardsPresentAtBootAreNumberedDepthFirst)
{
    Booted b;
    boot(b, {{1, "nested bridge card"}, {2, "bridge card"}});
    Checker check(b.hw, b.desc.windows);
    EXPECT_TRUE(check.failures.empty()) << joined(check.failures);
    EXPECT_TRUE(b.report.problems.empty()) << joined(b.report.problems);
    // 5 on the board, 3 of the nested card, 4 of the bridge card.
    EXPECT_EQ(check.functions, 12u);
    struct Numbers {
        unsigned bus, device, primary, secondary, subordinate;
    };
    const Numbers expected[] = {
        {0, 0x1E, 0, 1, 4 + 8},  // the deepest bus behind it, then the spare numbers
        {1, 0x01, 1, 2, 3},      // the nested card's outer bridge encloses its inner one
        {2, 0x00, 2, 3, 3},
        {1, 0x02, 1, 4, 4},      // numbered after the whole nested card
    };
    for (const Numbers& n : expected) {
        EXPECT_EQ(b.hw.configRead(n.bus, n.device, 0, reg::PrimaryBus, 4) & 0xFFFFFF,
                  n.primary | n.secondary << 8 | n.subordinate << 16)
            << bdf(n.bus, n.device, 0);
    }
    // The 256 MB BAR: 64-bit, prefetchable, 256 MB aligned.
    const machine::FunctionReport* large = find(b.report, 4, 1, 0);
    ASSERT_NE(large, nullptr);
    ASSERT_FALSE(large->bars.empty());
    EXPECT_EQ(large->bars[0].bar.kind, pci::Bar::Kind::Memory64);
    EXPECT_TRUE(large->bars[0].assigned);
    EXPECT_EQ(large->bars[0].address % (256u << 20), 0u);
    // Function 1 of the multi-function device was found and configured.
    const machine::FunctionReport* serial = find(b.report, 4, 0, 1);
    ASSERT_NE(serial, nullptr);
    EXPECT_TRUE(serial->bars.at(0).bar.ioUpperZero);
    EXPECT_NE(serial->command & pci::CommandIo, 0);
}

TEST(Firmware, EmptyWindowsAreClosedAndCardBusWindowsLeftToItsDriver)
{
    Booted b;
    boot(b, {{1, "cardbus card"}, {2, "nested bridge card"}});
    Checker check(b.hw, b.desc.windows);
    EXPECT_TRUE(check.failures.empty()) << joined(check.failures);
    // The nested card holds one memory BAR: its bridges forward memory only.
    for (const auto& [bus, device] : {std::pair{1u, 2u}, std::pair{3u, 0u}}) {
        const machine::FunctionReport* f = find(b.report, bus, device, 0);
        ASSERT_NE(f, nullptr);
        ASSERT_TRUE(f->bridge);
        EXPECT_GT(b.hw.configRead(bus, device, 0, reg::IoBase, 1) & 0xF0,
                  b.hw.configRead(bus, device, 0, reg::IoLimit, 1) & 0xF0);
        EXPECT_GT(b.hw.configRead(bus, device, 0, reg::PrefetchBase, 2) & 0xFFF0,
                  b.hw.configRead(bus, device, 0, reg::PrefetchLimit, 2) & 0xFFF0);
        EXPECT_FALSE(f->bridge->io.open());
        EXPECT_FALSE(f->bridge->prefetchable.open());
        EXPECT_EQ(f->bridge->memory.size(), 0x100000u);
        EXPECT_EQ(f->command, pci::CommandMemory | pci::CommandMaster);
    }
    // The CardBus bridge: a bus number, its socket registers, and closed windows.
    const machine::FunctionReport* cardbus = find(b.report, 1, 1, 0);
    ASSERT_NE(cardbus, nullptr);
    ASSERT_TRUE(cardbus->bridge);
    EXPECT_EQ(cardbus->bridge->secondary, 2u);
    EXPECT_TRUE(cardbus->bars.at(0).assigned);
    for (unsigned offset = 0x1C; offset < 0x3C; offset += 8) {
        EXPECT_GT(b.hw.configRead(1, 1, 0, offset, 4), b.hw.configRead(1, 1, 0, offset + 4, 4))
            << offset;
    }
}

TEST(Firmware, ReportSaysWhatTheHardwareHolds)
{
    Booted b;
    boot(b, {{2, "bridge card"}});
    ASSERT_EQ(b.report.functions.size(), 9u);
    EXPECT_EQ(b.report.lastBus, 2u + 8u);
    for (const auto& f : b.report.functions) {
        const std::string where = bdf(f.bus, f.device, f.function);
        EXPECT_EQ(b.hw.configRead(f.bus, f.device, f.function, reg::VendorId, 4),
                  uint32_t{f.vendor} | uint32_t{f.deviceId} << 16)
            << where;
        EXPECT_EQ(b.hw.configRead(f.bus, f.device, f.function, reg::Command, 2), f.command)
            << where;
        for (const auto& bar : f.bars) {
            const unsigned offset = reg::Bar0 + 4 * bar.index;
            const uint32_t low = b.hw.configRead(f.bus, f.device, f.function, offset, 4);
            uint64_t address = low & (bar.bar.kind == pci::Bar::Kind::Io ? ~0x3u : ~0xFu);
            if (bar.bar.kind == pci::Bar::Kind::Memory64) {
                address |= uint64_t{b.hw.configRead(f.bus, f.device, f.function, offset + 4, 4)}
                           << 32;
            }
            EXPECT_EQ(address, bar.address) << where << " BAR" << bar.index;
            EXPECT_EQ(bar.bar.size, b.hw.locate(f.bus, f.device, f.function)->bars()[bar.index].size)
                << where << " BAR" << bar.index;
        }
        if (f.bridge) {
            EXPECT_EQ(b.hw.configRead(f.bus, f.device, f.function, reg::PrimaryBus, 4) & 0xFFFFFF,
                      f.bridge->primary | f.bridge->secondary << 8 | f.bridge->subordinate << 16)
                << where;
        }
    }
    std::ostringstream text;
    machine::printFirmwareReport(text, b.report);
    EXPECT_NE(text.str().find("00:1e.0 7e57:0400 class 060400 PCI-to-PCI bridge"),
              std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("buses 00/01/0a (primary/secondary/subordinate), 8 spare"),
              std::string::npos)
        << text.str();
}

// A second pass (a warm restart) finds decoding on: BARs must be sized with it off, so that a
// BAR full of ones never decodes, and the result is the same configuration.
TEST(Firmware, SizesBarsWithDecodingOffAndRepeatsItself)
{
    Booted first;
    boot(first, {{2, "bridge card"}});
    std::vector<uint32_t> before;
    for (const auto& f : first.report.functions) {
        for (unsigned offset = 0; offset < 0x40; offset += 4) {
            before.push_back(first.hw.configRead(f.bus, f.device, f.function, offset, 4));
        }
    }
    std::map<std::tuple<unsigned, unsigned, unsigned>, uint32_t> command;
    std::vector<std::string> violations;
    first.hw.onTransaction = [&](const pci::Transaction& t) {
        const auto key = std::make_tuple(t.bus, t.device, t.function);
        if (!t.write || !t.claimed) return;
        if (t.offset == reg::Command) command[key] = t.value;
        const bool bar = t.offset >= reg::Bar0 && t.offset < reg::Bar0 + 24;
        if (bar && t.value == 0xFFFFFFFF && (command.count(key) == 0 || (command[key] & 3) != 0)) {
            violations.push_back(bdf(t.bus, t.device, t.function) + " offset " +
                                 std::to_string(t.offset));
        }
    };
    // What the first pass left on, as the second pass will find it.
    for (const auto& f : first.report.functions) {
        command[std::make_tuple(f.bus, f.device, f.function)] = f.command;
    }
    const auto again = machine::runFirmware(first.hw, first.desc.windows);
    first.hw.onTransaction = nullptr;
    EXPECT_TRUE(violations.empty()) << joined(violations);
    EXPECT_TRUE(again.problems.empty()) << joined(again.problems);
    size_t i = 0;
    for (const auto& f : first.report.functions) {
        for (unsigned offset = 0; offset < 0x40; offset += 4, ++i) {
            EXPECT_EQ(first.hw.configRead(f.bus, f.device, f.function, offset, 4), before[i])
                << bdf(f.bus, f.device, f.function) << " offset " << offset;
        }
    }
}

TEST(Firmware, SpareNumbersOfADeeperBridgeAreEnclosedAbove)
{
    Booted b;
    const std::string text = bridge("function", "01.0", "7e57:0400") +
                             bridge("function.behind", "00.0", "7e57:0401",
                                    "slots = [ { device = 2 } ]\nspare_buses = 4\n") +
                             bridge("function.behind", "01.0", "7e57:0402") +
                             bridge("function", "02.0", "7e57:0403");
    ASSERT_NO_FATAL_FAILURE(bootText(b, text));
    Checker check(b.hw, b.desc.windows);
    EXPECT_TRUE(check.failures.empty()) << joined(check.failures);
    EXPECT_EQ(b.hw.configRead(0, 1, 0, reg::PrimaryBus, 4) & 0xFFFFFF, 0x070100u);
    EXPECT_EQ(b.hw.configRead(1, 0, 0, reg::PrimaryBus, 4) & 0xFFFFFF, 0x060201u);
    EXPECT_EQ(b.hw.configRead(1, 1, 0, reg::PrimaryBus, 4) & 0xFFFFFF, 0x070701u);
    EXPECT_EQ(b.hw.configRead(0, 2, 0, reg::PrimaryBus, 4) & 0xFFFFFF, 0x080800u);
    EXPECT_EQ(b.report.lastBus, 8u);
}

// Machines where not everything fits, or the root has no prefetchable window, or bus numbers
// run out: what fits is configured by the rules, what does not is reported and left off.
struct Constrained {
    const char* name;
    const std::string& text;
    const char* problem;  // part of the one expected problem, or nullptr
    unsigned bus, device;
    uint32_t decoding;    // the function's I/O and memory enables afterwards
};

const std::string kSmallWindows = R"(
[windows]
io = { base = 0x1000, limit = 0x1FFF }
memory = { base = 0xF0000000, limit = 0xF01FFFFF }
)";

TEST(Firmware, WhatDoesNotFitIsReportedAndLeftOff)
{
    const std::string tooBig =
        kSmallWindows +
        device("function", "03.0", "7e57:0001", "0x020000", R"([ { type = "mem32", size = "4M" } ])") +
        device("function", "04.0", "7e57:0002", "0x020000",
               R"([ { type = "mem32", size = "1M" }, { type = "io", size = 64 } ])");
    const std::string bridgeTooBig =
        kSmallWindows + bridge("function", "05.0", "7e57:0400") +
        device("function.behind", "00.0", "7e57:0003", "0x010000",
               R"([ { type = "mem32", size = "2M" }, { type = "mem32", size = "1M" } ])") +
        device("function", "06.0", "7e57:0002", "0x020000", k1M);
    const std::string noPrefetchable =
        "[windows]\nio = { base = 0x1000, limit = 0xFFFF }\n"
        "memory = { base = 0xC0000000, limit = 0xFEBFFFFF }\n" +
        device("function", "01.0", "7e57:0200", "0x030000",
               R"([ { type = "mem32", size = "16M", prefetchable = true } ])") +
        bridge("function", "1e.0", "7e57:0400",
               "slots = [ { device = 1 } ]\nreserve = { prefetchable = \"256M\" }\n") +
        device("function.behind", "00.0", "7e57:0300", "0x020000",
               R"([ { type = "mem64", size = "32M", prefetchable = true } ])");
    const std::string spare200 = "slots = [ { device = 0 } ]\nspare_buses = 200\n";
    const std::string busesRunOut = bridge("function", "01.0", "7e57:0400", spare200) +
                                    bridge("function", "02.0", "7e57:0400", spare200);
    const std::string ioFull =
        kSmallWindows + bridge("function", "05.0", "7e57:0400") +
        device("function.behind", "00.0", "7e57:0003", "0x010000", R"([ { type = "io", size = 16 } ])") +
        device("function", "06.0", "7e57:0002", "0x020000",
               R"([ { type = "io", size = 256 }, { type = "mem32", size = "1M" } ])");
    const std::string prefetchableOnly =
        bridge("function", "05.0", "7e57:0400") +
        device("function.behind", "00.0", "7e57:0003", "0x030000",
               R"([ { type = "mem32", size = "8M", prefetchable = true } ])");
    // The 32K reservation is aligned to 32K, past the start of the root's I/O window: what
    // comes after it goes into the room left below it.
    const std::string ioReservedAbove =
        device("function", "02.0", "7e57:0002", "0x020000",
               R"([ { type = "io", size = 32 }, { type = "mem32", size = "4K" } ])") +
        bridge("function", "1d.0", "7e57:0400") +
        device("function.behind", "00.0", "7e57:0003", "0x070000", R"([ { type = "io", size = 8 } ])") +
        bridge("function", "1e.0", "7e57:0400", "slots = [ { device = 1 } ]\nreserve = { io = \"32K\" }\n");
    constexpr uint32_t Io = pci::CommandIo, Mem = pci::CommandMemory;
    const Constrained cases[] = {
        {"a neighbour of a 32K I/O reservation", ioReservedAbove, nullptr, 0, 0x1d, Io},
        {"a device beside a 32K I/O reservation", ioReservedAbove, nullptr, 0, 2, Io | Mem},
        {"BAR larger than the window", tooBig, "00:03.0 BAR0 (4M) does not fit", 0, 3, 0},
        {"others still fit", tooBig, "00:03.0 BAR0 (4M) does not fit", 0, 4, Io | Mem},
        {"bridge window larger than the window", bridgeTooBig,
         "00:05.0's memory window (3M) and everything behind it does not fit", 0, 5, 0},
        {"what is behind it stays off", bridgeTooBig, "00:05.0's memory window", 1, 0, 0},
        {"I/O does not fit, memory does", ioFull, "00:06.0 BAR0 (256) does not fit", 0, 6, Mem},
        {"the bridge took the I/O window", ioFull, "00:06.0 BAR0", 0, 5, Io},
        {"bridge forwarding prefetchable memory alone", prefetchableOnly, nullptr, 0, 5, Mem},
        {"no prefetchable window at the root", noPrefetchable, nullptr, 0, 1, Mem},
        {"prefetchable BAR behind a bridge without one", noPrefetchable, nullptr, 1, 0, Mem},
        {"bus numbers run out", busesRunOut, "00:02.0: only 53 of 200 spare bus numbers left", 0,
         2, 0},
    };
    for (const Constrained& c : cases) {
        SCOPED_TRACE(c.name);
        Booted b;
        ASSERT_NO_FATAL_FAILURE(bootText(b, c.text));
        if (c.problem == nullptr) {
            EXPECT_TRUE(b.report.problems.empty()) << joined(b.report.problems);
        } else {
            ASSERT_EQ(b.report.problems.size(), 1u) << joined(b.report.problems);
            EXPECT_NE(b.report.problems[0].find(c.problem), std::string::npos) << b.report.problems[0];
        }
        const uint32_t command = b.hw.configRead(c.bus, c.device, 0, reg::Command, 2);
        EXPECT_EQ(command & (pci::CommandIo | pci::CommandMemory), c.decoding);
        // Everything that was configured follows the rules; what was not stays unassigned.
        Checker check(b.hw, b.desc.windows);
        for (const std::string& failure : check.failures) {
            const bool expected = failure.find("decoding is off") != std::string::npos ||
                                  failure.find("outside its window") != std::string::npos;
            EXPECT_TRUE(expected) << failure;
        }
    }
    // The 16 MB prefetchable BAR went to the memory window, and the bridge forwards the 32 MB
    // one and the reservation through its memory window, its prefetchable one closed.
    Booted p;
    ASSERT_NO_FATAL_FAILURE(bootText(p, noPrefetchable));
    const machine::FunctionReport* bridge = find(p.report, 0, 0x1E, 0);
    ASSERT_NE(bridge, nullptr);
    EXPECT_FALSE(bridge->bridge->prefetchable.open());
    EXPECT_EQ(bridge->bridge->memory.size(), (256u + 32u) << 20);
    // Bus numbers ran out for the second bridge's spares: it ends at 255, nothing beyond.
    Booted n;
    ASSERT_NO_FATAL_FAILURE(bootText(n, busesRunOut));
    EXPECT_EQ(n.hw.configRead(0, 1, 0, reg::PrimaryBus, 4) & 0xFFFFFF, 0xC90100u);
    EXPECT_EQ(n.hw.configRead(0, 2, 0, reg::PrimaryBus, 4) & 0xFFFFFF, 0xFFCA00u);
    EXPECT_EQ(n.report.lastBus, 255u);
}

}  // namespace
