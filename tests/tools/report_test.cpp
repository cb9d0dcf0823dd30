// What hotpsim reports, piece by piece: the story's folding of one function's BAR sizing, the
// comparison of two runs and what the replug view says a bridge asked for.
#include <gtest/gtest.h>

#include <views/views.hpp>

#include <pci/registers.hpp>

#include <cstring>

namespace {

machine::Output write(const char* who, const char* bdf, unsigned offset, uint32_t value,
                      uint32_t before, uint32_t after)
{
    machine::Output out{machine::Output::Kind::Config, {}, {}};
    out.fields = {{"who", who},
                  {"bdf", bdf},
                  {"offset", offset},
                  {"width", offset == 0x04 ? 2 : 4},
                  {"old", before},
                  {"new", after},
                  {"value", value},
                  {"register", pci::registerName(0, offset)},
                  {"claimed", true}};
    out.cycle = pci::Transaction{true, 0, 0, 0, offset, offset == 0x04 ? 2u : 4u, value, true,
                                 pci::Actor::BusDriver, before, after, 0};
    return out;
}

std::vector<std::string> tell(const std::vector<machine::Output>& outputs)
{
    hotpsim::Story story({true, false});
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

hotpsim::DeviceState device(const char* bdf, const char* state, const char* reason = "",
                            unsigned latency = 0x40, const char* resources = "none")
{
    hotpsim::DeviceState s;
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
    using hotpsim::Difference;
    const std::vector<hotpsim::DeviceState> with = {
        device("00:02.0", "started", "", 0x90),
        device("01:00.0", "started", "", 0x40, "mem f0000000-f00fffff"),
        device("02:01.0", "started"),
        device("03:00.0", "started"),
    };
    std::vector<hotpsim::DeviceState> without = {
        device("00:02.0", "started", "", 0x40),
        device("01:00.0", "started", "", 0x40, "mem f0100000-f01fffff"),
        device("02:01.0", "not started", "no room"),
        device("04:00.0", "started"),
    };
    const auto differences = hotpsim::compareRuns(with, without);
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
    EXPECT_TRUE(hotpsim::compareRuns(with, with).empty());
}

// A bridge asked for a preferred prefetchable window and, as alternatives, what fits and the bus
// driver's own; the replug view names the preferred length and, only where arbitration fell
// back, the alternative granted.
TEST(Report, AskedForNamesTheAlternativeGranted)
{
    constexpr uint32_t M = 1u << 20;
    const uint32_t lengths[] = {512 * M, 288 * M, 256 * M};
    const size_t at =
        offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) + offsetof(IO_RESOURCE_LIST, Descriptors);
    pnp::DeviceNode node;
    node.requirements.resize(at + 3 * sizeof(IO_RESOURCE_DESCRIPTOR));
    reinterpret_cast<IO_RESOURCE_REQUIREMENTS_LIST*>(node.requirements.data())->List[0].Count = 3;
    for (size_t i = 0; i < 3; ++i) {
        IO_RESOURCE_DESCRIPTOR d{};
        d.Option = i == 0 ? IO_RESOURCE_PREFERRED : IO_RESOURCE_ALTERNATIVE;
        d.Type = CmResourceTypeMemory;
        d.Flags = CM_RESOURCE_MEMORY_PREFETCHABLE;
        d.u.Memory.Length = lengths[i];
        std::memcpy(node.requirements.data() + at + i * sizeof d, &d, sizeof d);
    }
    for (unsigned granted : {0u, 1u, 2u}) {
        node.assigned = {{CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE, 0, lengths[granted]}};
        node.grants = {{granted, 512 * M}};
        const std::string size = pci::formatSize(lengths[granted]);
        EXPECT_EQ(hotpsim::askedFor(node), "io none, memory none, prefetchable 512M" +
                                               (granted ? " (granted the alternative " + size + ")" : ""));
    }
}

}  // namespace
