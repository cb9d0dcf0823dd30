// The PnP and power manager as Windows 2000 behaves: boot configurations reserved during
// arbitration, alternative descriptors tried in order after the preferred one, power requests at
// the IRQL a stack's DO_POWER_PAGABLE allows, the order of system and device power requests on
// wake, vetoed removals and the removal of a stack whose start failed.
#include "platform_fixture.hpp"

#include <algorithm>
#include <optional>

namespace {

using hotp::test::Platform;
using pci::Bar;
using pci::Function;
namespace reg = pci::reg;

struct ArbitrationCase {
    const char* name;
    Bar bar;
    std::optional<uint32_t> firmwareBase;  // where firmware left the device's BAR, decoding on
    // What a filter makes of the first descriptors of the device's list (one memory BAR each):
    // lengths and options, the first preferred and each after it an alternative.
    std::vector<std::pair<UCHAR, ULONG>> requirement;
    std::optional<unsigned> granted;       // the choice granted; none: the device does not start
    const char* problem = "";              // the device's problem when it does not start
};
void PrintTo(const ArbitrationCase& c, std::ostream* os) { *os << c.name; }

class Arbitration : public Platform, public ::testing::WithParamInterface<ArbitrationCase> {};

// An unconfigured bridge is found before a device. The device's boot configuration is reserved
// for it: the bridge's windows go around it. Each requirement tries its descriptors in order, the
// preferred one first, then each IO_RESOURCE_ALTERNATIVE after it, and is granted the first that
// fits; only an alternative granted is told. A device whose requirement fits in none of them, or
// whose alternative stands in for nothing, does not start, and its problem names the first.
TEST_P(Arbitration, GrantsTheFirstDescriptorThatFits)
{
    const ArbitrationCase& c = GetParam();
    hw.root().place(2, 0, Function::bridge(0x1AB0, 0x0100));
    std::vector<Bar> bars(std::max<size_t>(c.requirement.size(), 1), c.bar);
    hw.root().place(3, 0, Function::device(0x1AB0, 0x0009, 0x02, 0x00, 0, bars));
    Function* device = hw.root().function(3, 0);
    if (c.firmwareBase) {
        device->write(reg::Bar0, 4, *c.firmwareBase);
        device->write(reg::Command, 2,
                      c.bar.kind == Bar::Kind::Io ? pci::CommandIo : pci::CommandMemory);
    }
    const uint32_t bar = device->dword(reg::Bar0);
    recorder.requirements = c.requirement;
    recordOn = "00:03.0";
    boot();

    pnp::DeviceNode* bridge = node("00:02.0");
    pnp::DeviceNode* n = node("00:03.0");
    ASSERT_NE(bridge, nullptr);
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(bridge->state, pnp::DeviceNode::State::Started) << bridge->problem;
    const bool told = std::any_of(events.begin(), events.end(), [](const std::string& e) {
        return e.find("the alternative") != std::string::npos;
    });
    if (!c.granted) {
        EXPECT_EQ(n->state, pnp::DeviceNode::State::NotStarted);
        EXPECT_NE(n->problem.find(c.problem), std::string::npos) << n->problem;
        EXPECT_TRUE(n->assigned.empty());
        EXPECT_FALSE(told);
        return;
    }
    ASSERT_EQ(n->state, pnp::DeviceNode::State::Started) << n->problem;
    if (c.firmwareBase) {
        EXPECT_EQ(device->dword(reg::Bar0), bar);
        const uint64_t start = *c.firmwareBase, end = start + c.bar.size - 1;
        for (const pnp::Range& window : bridge->assigned) {
            EXPECT_TRUE(window.end() < start || window.start > end)
                << std::hex << window.start << "-" << window.end() << " covers the boot range";
        }
    }
    if (c.requirement.empty()) return;
    ASSERT_TRUE(n->assigned.size() == 1 && n->grants.size() == 1);
    EXPECT_EQ(n->grants[0].alternative, *c.granted);
    EXPECT_EQ(n->grants[0].asked, c.requirement.front().second);
    EXPECT_EQ(n->assigned[0].length, c.requirement[*c.granted].second);
    EXPECT_EQ(told, *c.granted != 0);
}

constexpr uint32_t MB = 1u << 20;
constexpr UCHAR Preferred = IO_RESOURCE_PREFERRED, Alternative = IO_RESOURCE_ALTERNATIVE;

// The root bus forwards 256 MB of memory; the bridge's minimal window takes some of it.
INSTANTIATE_TEST_SUITE_P(
    Platform, Arbitration,
    ::testing::Values(
        ArbitrationCase{"BootIoIsReserved", {Bar::Kind::Io, 32}, 0x1000, {}, 0},
        ArbitrationCase{"BootMemoryIsReserved", {Bar::Kind::Memory32, 0x1000}, 0xE0000000, {}, 0},
        ArbitrationCase{"PreferredFits", {Bar::Kind::Memory32, 0x1000}, std::nullopt,
                        {{Preferred, 128 * MB}, {Alternative, 64 * MB}, {Alternative, 0x1000}}, 0},
        ArbitrationCase{"FirstAlternativeWhenThePreferredDoesNotFit", {Bar::Kind::Memory32, 0x1000},
                        std::nullopt,
                        {{Preferred, 512 * MB}, {Alternative, 128 * MB}, {Alternative, 0x1000}}, 1},
        ArbitrationCase{"TheBusDriversOwnAsTheLastResort", {Bar::Kind::Memory32, 0x1000},
                        std::nullopt,
                        {{Preferred, 512 * MB}, {Alternative, 384 * MB}, {Alternative, 0x1000}}, 2},
        ArbitrationCase{"NoneFits", {Bar::Kind::Memory32, 512 * MB}, std::nullopt,
                        {{Preferred, 1024 * MB}, {Alternative, 768 * MB}, {Alternative, 512 * MB}},
                        std::nullopt,
                        "no room for 1024 MB of memory, nor for its alternatives of 768 MB and "
                        "512 MB, in the windows of PCI root bus: memory window e0000000-efffffff"},
        ArbitrationCase{"AnAlternativeToNothing", {Bar::Kind::Memory32, 0x1000}, std::nullopt,
                        {{Alternative, 0x1000}}, std::nullopt,
                        "its requirements list is not valid: descriptor 0 is an alternative to no "
                        "preferred or default descriptor"}),
    hotp::test::ByName());

struct PowerCase {
    const char* name;
    bool pageablePower;        // the filter sets DO_POWER_PAGABLE
    bool pageableCodeInPower;  // its power routine is pageable code
    KIRQL irql;                // the IRQL power requests arrive at
    const char* caught;        // the verifier's rule, or nullptr
};
void PrintTo(const PowerCase& c, std::ostream* os) { *os << c.name; }

class PowerIrql : public Platform, public ::testing::WithParamInterface<PowerCase> {};

// Power requests reach a stack whose top device object lacks DO_POWER_PAGABLE at dispatch level,
// so pageable code in its power path is caught; a stack that says it is pageable gets them at
// passive level. PnP requests always arrive at passive level.
TEST_P(PowerIrql, FollowsDoPowerPagable)
{
    const PowerCase& c = GetParam();
    hw.root().place(7, 0, Function::device(0x1AB0, 0x0008, 0x02, 0x00, 0, {{Bar::Kind::Io, 16}}));
    recordOn = "00:07.0";
    recorder.pageablePower = c.pageablePower;
    recorder.pageableCodeInPower = c.pageableCodeInPower;
    boot();
    pnp::DeviceNode* n = node("00:07.0");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(manager->setDevicePower(*n, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(manager->setDevicePower(*n, PowerDeviceD0), STATUS_SUCCESS);

    for (const auto& seen : recorder.seen) {
        EXPECT_EQ(seen.irql, seen.major == IRP_MJ_POWER ? c.irql : PASSIVE_LEVEL)
            << pnp::minorName(seen.major, seen.minor);
    }
    EXPECT_EQ(kernel.irql(), PASSIVE_LEVEL);
    auto violations = kernel.takeViolations();
    if (c.caught == nullptr) {
        EXPECT_TRUE(violations.empty()) << hotp::test::describe(violations);
    } else {
        ASSERT_FALSE(violations.empty());
        EXPECT_EQ(violations.front().rule, c.caught);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Platform, PowerIrql,
    ::testing::Values(
        PowerCase{"NotPageable", false, false, DISPATCH_LEVEL, nullptr},
        PowerCase{"Pageable", true, false, PASSIVE_LEVEL, nullptr},
        PowerCase{"PageableCodeWithoutTheFlag", false, true, DISPATCH_LEVEL,
                  "pageable code at raised IRQL"},
        PowerCase{"PageableCodeWithTheFlag", true, true, PASSIVE_LEVEL, nullptr}),
    hotp::test::ByName());

// On wake a stack first hears that the system works again, then its device returns to D0; going
// to sleep, the device leaves D0 after the system state has reached the stack.
TEST_F(Platform, SystemStateReachesAStackBeforeItsDevicePower)
{
    hw.root().place(7, 0, Function::device(0x1AB0, 0x0008, 0x02, 0x00, 0, {{Bar::Kind::Io, 16}}));
    recordOn = "00:07.0";
    boot();
    recorder.seen.clear();
    manager->sleep();
    manager->wake();
    std::vector<std::pair<POWER_STATE_TYPE, ULONG>> order;
    for (const auto& seen : recorder.seen) {
        if (seen.major == IRP_MJ_POWER) order.emplace_back(seen.powerType, seen.powerState);
    }
    EXPECT_EQ(order, (std::vector<std::pair<POWER_STATE_TYPE, ULONG>>{
                         {SystemPowerState, PowerSystemSleeping3},
                         {DevicePowerState, PowerDeviceD3},
                         {SystemPowerState, PowerSystemWorking},
                         {DevicePowerState, PowerDeviceD0}}));
}

}  // namespace

namespace {

// The PnP requests of the removal and start sequences a recorded stack saw.
std::vector<UCHAR> sequence(const std::vector<hotp::test::RecordingFilter::Seen>& seen)
{
    std::vector<UCHAR> out;
    for (const auto& s : seen) {
        if (s.major != IRP_MJ_PNP) continue;
        switch (s.minor) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            out.push_back(s.minor);
            break;
        default:
            break;
        }
    }
    return out;
}

nt::FaultAim aimAt(unsigned bus, unsigned device, UCHAR minor)
{
    nt::FaultAim aim;
    aim.bus = bus;
    aim.device = device;
    aim.function = 0;
    aim.major = IRP_MJ_PNP;
    aim.minor = minor;
    return aim;
}

struct VetoCase {
    const char* name;
    std::optional<unsigned> vetoBus, vetoDevice;  // the function whose bus driver refuses
    const char* recordOn;
    bool atShutdown;  // machine teardown instead of an orderly removal of the bridge
    std::vector<UCHAR> seen;
    bool removed;
};
void PrintTo(const VetoCase& c, std::ostream* os) { *os << c.name; }

class RemovalVeto : public Platform, public ::testing::WithParamInterface<VetoCase> {};

// A bridge with a device behind it is removed. A failed query-remove anywhere in the subtree
// vetoes the removal: every stack already queried, the refusing one included, gets cancel-remove
// and keeps running. At teardown a vetoed subtree is then taken away as hardware that has gone,
// and nothing is left behind.
TEST_P(RemovalVeto, CancelsEveryQueriedStack)
{
    const VetoCase& c = GetParam();
    auto bridge = Function::bridge(0x1AB0, 0x0100);
    bridge->secondary()->place(0, 0, Function::device(0x1AB0, 0x0004, 0x02, 0x00, 0,
                                                      {{Bar::Kind::Memory32, 0x1000}}));
    hw.root().place(4, 0, std::move(bridge));
    recordOn = c.recordOn;
    if (c.vetoBus) {
        kernel.faults().failNth(nt::FaultPoint::LowerFail, 1, c.atShutdown,
                                aimAt(*c.vetoBus, *c.vetoDevice, IRP_MN_QUERY_REMOVE_DEVICE));
    }
    boot();
    pnp::DeviceNode* bridgeNode = node("00:04.0");
    ASSERT_NE(bridgeNode, nullptr);
    ASSERT_NE(node("01:00.0"), nullptr);
    ASSERT_EQ(node("01:00.0")->state, pnp::DeviceNode::State::Started) << node("01:00.0")->problem;
    recorder.seen.clear();

    if (c.atShutdown) {
        manager->shutdown();
        auto leaks = kernel.leaks();
        EXPECT_TRUE(leaks.empty()) << hotp::test::describe(leaks);
    } else {
        EXPECT_EQ(manager->remove(*bridgeNode), c.removed);
        const auto expected = c.removed ? pnp::DeviceNode::State::Removed
                                        : pnp::DeviceNode::State::Started;
        EXPECT_EQ(bridgeNode->state, expected);
        if (!c.removed) {
            EXPECT_EQ(node("01:00.0")->state, expected);
        }
    }
    EXPECT_EQ(sequence(recorder.seen), c.seen);
}

INSTANTIATE_TEST_SUITE_P(
    Platform, RemovalVeto,
    ::testing::Values(
        VetoCase{"NoVeto", std::nullopt, std::nullopt, "01:00.0", false,
                 {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_REMOVE_DEVICE}, true},
        VetoCase{"ChildRefuses", 1, 0, "01:00.0", false,
                 {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, false},
        VetoCase{"ParentRefusesAfterItsChild", 0, 4, "01:00.0", false,
                 {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, false},
        VetoCase{"RefusingStackItself", 0, 4, "00:04.0", false,
                 {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE}, false},
        VetoCase{"TeardownAfterAVeto", 0, 4, "01:00.0", true,
                 {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                  IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE},
                 true}),
    hotp::test::ByName());

struct FailedStartCase {
    const char* name;
    bool bridge;
};
void PrintTo(const FailedStartCase& c, std::ostream* os) { *os << c.name; }

class FailedStart : public Platform, public ::testing::WithParamInterface<FailedStartCase> {};

// A stack whose start fails is removed: the drivers above the physical device object detach
// and delete, the bus driver keeps the object of the device still present, and the node keeps
// its problem. Nothing behind a bridge that did not start is enumerated, and teardown leaves
// nothing behind.
TEST_P(FailedStart, RemovesTheStackAndKeepsTheProblem)
{
    const FailedStartCase& c = GetParam();
    if (c.bridge) {
        auto bridge = Function::bridge(0x1AB0, 0x0100);
        bridge->secondary()->place(0, 0, Function::device(0x1AB0, 0x0004, 0x02, 0x00, 0,
                                                          {{Bar::Kind::Memory32, 0x1000}}));
        hw.root().place(4, 0, std::move(bridge));
    } else {
        hw.root().place(4, 0, Function::device(0x1AB0, 0x0008, 0x02, 0x00, 0,
                                               {{Bar::Kind::Io, 16}}));
    }
    recordOn = "00:04.0";
    kernel.faults().failNth(nt::FaultPoint::LowerFail, 1, false,
                            aimAt(0, 4, IRP_MN_START_DEVICE));
    boot();
    pnp::DeviceNode* n = node("00:04.0");
    ASSERT_NE(n, nullptr);
    EXPECT_EQ(n->state, pnp::DeviceNode::State::NotStarted);
    EXPECT_EQ(n->problem.rfind("start failed (", 0), 0u) << n->problem;
    EXPECT_TRUE(n->driversRemoved);
    EXPECT_EQ(sequence(recorder.seen),
              (std::vector<UCHAR>{IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE}));
    EXPECT_TRUE(kernel.isLiveDevice(n->pdo));
    EXPECT_EQ(n->pdo->AttachedDevice, nullptr);
    EXPECT_TRUE(n->children.empty());
    EXPECT_EQ(node("01:00.0"), nullptr);

    manager->shutdown();
    auto leaks = kernel.leaks();
    EXPECT_TRUE(leaks.empty()) << hotp::test::describe(leaks);
}

INSTANTIATE_TEST_SUITE_P(Platform, FailedStart,
                         ::testing::Values(FailedStartCase{"Device", false},
                                           FailedStartCase{"Bridge", true}),
                         hotp::test::ByName());

}  // namespace
