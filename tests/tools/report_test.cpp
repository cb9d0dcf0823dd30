// What hotpsim reports, piece by piece: writes by register name, BAR sizes from their readback, the
// story's folding of one function's BAR sizing, and the comparison of two runs.
#include <gtest/gtest.h>

#include <machine/report.hpp>

namespace {

TEST(Report, WritesAreToldByTheRegistersTheyCover)
{
    const struct {
        const char* name;
        uint8_t header;
        unsigned offset, length;
        uint32_t before, after;
        const char* expected;
    } cases[] = {
        {"command word", 0x00, 0x04, 2, 0x0000, 0x03FF, "COMMAND 0x0000 -> 0x03ff"},
        {"bus numbers in one write", 0x01, 0x18, 3, 0x000000, 0x020201,
         "PRIMARY 00 -> 01, SECONDARY 00 -> 02, SUBORDINATE 00 -> 02"},
        {"subordinate alone", 0x01, 0x1A, 1, 0x05, 0x07, "SUBORDINATE 05 -> 07"},
        {"multi-function bridge header", 0x81, 0x1A, 1, 0x05, 0x07, "SUBORDINATE 05 -> 07"},
        {"cache line and latency in one dword", 0x00, 0x0C, 2, 0x0000, 0x9008,
         "CACHE_LINE_SIZE 0x00 -> 0x08, LATENCY_TIMER 0x00 -> 0x90"},
        {"BAR of a device", 0x00, 0x18, 4, 0, 0xF0000000, "BAR2 0x00000000 -> 0xf0000000"},
        {"same offset on a bridge", 0x01, 0x20, 2, 0, 0xF010, "MEMORY_BASE 0x0000 -> 0xf010"},
        {"power control", 0x00, 0x44, 2, 3, 0, "PMCSR 0x0003 -> 0x0000"},
        {"byte inside a register", 0x00, 0x05, 1, 0x00, 0x01, "COMMAND+1 0x00 -> 0x01"},
        {"a byte no table names", 0x00, 0x90, 1, 0x00, 0x11, "REG_90 0x00 -> 0x11"},
        {"nobody answered", 0xFF, 0x04, 2, 0xFFFF, 0xFFFF, "COMMAND 0xffff -> 0xffff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(machine::describeWrite(c.header, c.offset, c.length, c.before, c.after), c.expected)
            << c.name;
    }
}

TEST(Report, BarSizesComeFromTheReadback)
{
    const struct {
        const char* name;
        uint32_t readback;
        std::optional<uint32_t> upper;
        std::optional<std::string> expected;
    } cases[] = {
        {"io 32", 0xFFFFFFE1, {}, "io 32"},
        {"io with its upper half wired to zero", 0x0000FF01, {}, "io 256"},
        {"memory 4K", 0xFFFFF000, {}, "mem32 4K"},
        {"prefetchable 16M", 0xFF000008, {}, "mem32 prefetchable 16M"},
        {"64-bit 256M", 0xF000000C, 0xFFFFFFFF, "mem64 prefetchable 256M"},
        {"64-bit 8G", 0x00000004, 0xFFFFFFFE, "mem64 8G"},
        {"not implemented", 0x00000000, {}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(machine::describeBarSize(c.readback, c.upper), c.expected) << c.name;
}

machine::Output write(const char* who, const char* bdf, unsigned offset, uint32_t value,
                      uint32_t before, uint32_t after)
{
    machine::Output out{machine::Output::Kind::Config, "write", {}};
    out.fields = {{"who", who},
                  {"bdf", bdf},
                  {"offset", offset},
                  {"width", offset == 0x04 ? 2 : 4},
                  {"old", before},
                  {"new", after},
                  {"value", value},
                  {"register", machine::registerName(0, offset)},
                  {"claimed", true},
                  {"change", machine::describeWrite(0, offset, offset == 0x04 ? 2 : 4, before, after)}};
    return out;
}

std::vector<std::string> tell(const std::vector<machine::Output>& outputs)
{
    machine::Story story({true, false});
    std::vector<std::string> lines;
    for (const auto& out : outputs) {
        for (auto& line : story.add(out)) lines.push_back(line);
    }
    for (auto& line : story.finish()) lines.push_back(line);
    return lines;
}

// Probe and restore of each BAR by one caller fold into one line; another caller or another
// function starts a line of its own; a write that is no restore stands on its own.
TEST(Report, SizingOfOneFunctionFoldsIntoOneLine)
{
    const std::string firmware = "  config    firmware                    ";
    const std::string bus = "  config    bus driver                  ";
    const std::vector<std::string> lines = tell({
        write("firmware", "00:02.0", 0x04, 0, 7, 0),
        write("firmware", "00:02.0", 0x10, 0xFFFFFFFF, 0x5001, 0xFFFFFFE1),
        write("firmware", "00:02.0", 0x10, 0x5001, 0xFFFFFFE1, 0x5001),
        write("firmware", "00:02.0", 0x14, 0xFFFFFFFF, 0, 0xFFFFF000),
        write("firmware", "00:02.0", 0x14, 0, 0xFFFFF000, 0),
        write("firmware", "00:02.0", 0x18, 0xFFFFFFFF, 0, 0),
        write("firmware", "00:02.0", 0x18, 0, 0, 0),
        write("bus-driver", "00:02.0", 0x10, 0xFFFFFFFF, 0x5001, 0xFFFFFFE1),
        write("bus-driver", "00:03.0", 0x10, 0xFFFFFFFF, 0, 0xFFFF0000),
        write("bus-driver", "00:03.0", 0x10, 0xF0000000, 0xFFFF0000, 0xF0000000),
    });
    const std::vector<std::string> expected = {
        firmware + "00:02.0  COMMAND 0x0007 -> 0x0000",
        firmware + "00:02.0  BAR0 sized: io 32, BAR1 sized: mem32 4K (BAR2 not implemented)",
        bus + "00:02.0  BAR0 sized: io 32",
        bus + "00:03.0  BAR0 sized: mem32 64K",
        bus + "00:03.0  BAR0 0xffff0000 -> 0xf0000000",
    };
    EXPECT_EQ(lines, expected);
}

machine::DeviceState device(const char* bdf, const char* state, const char* reason = "",
                            unsigned latency = 0x40, const char* resources = "none")
{
    machine::DeviceState s;
    s.bdf = bdf;
    s.name = std::string(bdf) + " device";
    s.state = state;
    s.reason = reason;
    s.resources = resources;
    s.command = 7;
    s.latencyTimer = latency;
    s.cacheLineSize = 8;
    return s;
}

TEST(Report, RunsDifferOnlyWhereADeviceEndsDifferently)
{
    using machine::Difference;
    const std::vector<machine::DeviceState> with = {
        device("00:02.0", "started", "", 0x90),
        device("01:00.0", "started", "", 0x40, "mem f0000000-f00fffff"),
        device("02:01.0", "started"),
        device("03:00.0", "started"),
    };
    std::vector<machine::DeviceState> without = {
        device("00:02.0", "started", "", 0x40),
        device("01:00.0", "started", "", 0x40, "mem f0100000-f01fffff"),
        device("02:01.0", "not started", "no room"),
        device("04:00.0", "started"),
    };
    const auto differences = machine::compareRuns(with, without);
    std::vector<std::tuple<std::string, std::string, std::string, std::string>> got;
    for (const Difference& d : differences) got.emplace_back(d.bdf, d.what, d.with, d.without);
    const decltype(got) expected = {
        {"00:02.0", "latency timer", "0x90", "0x40"},
        {"01:00.0", "resources", "mem f0000000-f00fffff", "mem f0100000-f01fffff"},
        {"02:01.0", "state", "started", "not started: no room"},
        {"03:00.0", "presence", "present", "absent"},
        {"04:00.0", "presence", "absent", "present"},
    };
    EXPECT_EQ(got, expected);
    EXPECT_TRUE(machine::compareRuns(with, with).empty());
}

}  // namespace
