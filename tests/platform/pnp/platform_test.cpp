// The platform beneath the filters, without the driver: the PCI bus driver under the PnP
// manager on a small hand-built machine.
#include <gtest/gtest.h>

#include "platform_fixture.hpp"

namespace {

using pci::Bar;
using pci::Function;
namespace reg = pci::reg;
using hotp::test::Platform;

TEST_F(Platform, DevicesAreEnumeratedAssignedAndStarted)
{
    hw.root().place(1, 0, Function::device(0x1AB0, 0x0001, 0x02, 0x00, 0,
                                           {{Bar::Kind::Io, 32}, {Bar::Kind::Memory32, 0x1000}}));
    hw.root().place(2, 0, Function::device(0x1AB0, 0x0002, 0x03, 0x00, 0,
                                           {{Bar::Kind::Memory64, 0x1000000, true}}));
    boot();
    ASSERT_EQ(manager->root()->children.size(), 2u);
    for (const auto& child : manager->root()->children) {
        EXPECT_EQ(child->state, pnp::DeviceNode::State::Started) << child->name << child->problem;
    }
    Function* nic = hw.root().function(1, 0);
    EXPECT_EQ(nic->word(reg::Command) & 0x7, 0x7);
    const uint32_t io = nic->dword(reg::Bar0) & ~3u;
    EXPECT_GE(io, 0x1000u);
    EXPECT_EQ(io % 32, 0u);
    const uint64_t display = (nic == nullptr) ? 0 : hw.root().function(2, 0)->dword(reg::Bar0) & ~0xFu;
    EXPECT_EQ(display % 0x1000000, 0u);
    EXPECT_GE(display, 0xC0000000u);  // the prefetchable BAR lands in the prefetchable window
}

// A BAR of 4 GB or more cannot be asked for: resource descriptors carry 32-bit lengths. Its
// function stays down and says so, with its size whole; the others start.
TEST_F(Platform, RangesOf4GBOrMoreAreNotRequested)
{
    hw.root().place(1, 0,
                    Function::device(0x1AB0, 0x0001, 0x02, 0x00, 0, {{Bar::Kind::Memory32, 0x1000}}));
    hw.root().place(2, 0, Function::device(0x1AB0, 0x0002, 0x03, 0x00, 0,
                                           {{Bar::Kind::Memory64, 8ull << 30, true}}));
    boot();
    ASSERT_EQ(manager->root()->children.size(), 2u);
    const auto& nic = manager->root()->children[0];
    const auto& gpu = manager->root()->children[1];
    EXPECT_EQ(nic->state, pnp::DeviceNode::State::Started) << nic->problem;
    EXPECT_EQ(gpu->state, pnp::DeviceNode::State::NotStarted);
    EXPECT_NE(gpu->problem.find("BAR 0 decodes 8 GB; resource descriptors carry 32-bit lengths"),
              std::string::npos)
        << gpu->problem;
    EXPECT_TRUE(gpu->requirements.empty()) << "nothing was asked for";
}

// The bus interface: answered referenced, transfers configuration bytes, released once.
TEST_F(Platform, BusInterfaceIsReferencedAndTransfersBytes)
{
    hw.root().place(3, 0, Function::device(0x1AB0, 0x0003, 0x02, 0x00, 0, {}));
    boot();
    pnp::DeviceNode* n = node("00:03.0");
    ASSERT_NE(n, nullptr);
    BUS_INTERFACE_STANDARD iface = busInterface(*n);
    ASSERT_NE(iface.GetBusData, nullptr);
    EXPECT_EQ(bus.function(n->pdo)->interfaceReferences, 1);

    uint16_t ids[2] = {};
    EXPECT_EQ(iface.GetBusData(iface.Context, PCI_WHICHSPACE_CONFIG, ids, 0, 4), 4u);
    EXPECT_EQ(ids[0], 0x1AB0);
    EXPECT_EQ(ids[1], 0x0003);
    uint8_t latency = 0x90;
    EXPECT_EQ(iface.SetBusData(iface.Context, PCI_WHICHSPACE_CONFIG, &latency, 0x0D, 1), 1u);
    EXPECT_EQ(hw.root().function(3, 0)->byte(reg::LatencyTimer), 0x90);
    uint8_t tail[8];
    EXPECT_EQ(iface.GetBusData(iface.Context, PCI_WHICHSPACE_CONFIG, tail, 252, 8), 4u);
    kernel.faults().failNth(nt::FaultPoint::ShortConfigTransfer, 1);
    EXPECT_EQ(iface.GetBusData(iface.Context, PCI_WHICHSPACE_CONFIG, ids, 0, 2), 1u);

    EXPECT_FALSE(bus.leaks().empty());
    iface.InterfaceDereference(iface.Context);
    EXPECT_TRUE(bus.leaks().empty());
}

// A bridge left unconfigured gets bus numbers from the bus driver and, with its decoding off,
// asks only for minimal windows, and only for those it implements; a device behind it that needs
// more does not fit and is not started, with its reason. Behind a bridge without a prefetchable
// window, prefetchable memory goes into the memory window.
class UnconfiguredBridge : public Platform, public ::testing::WithParamInterface<bool> {};

TEST_P(UnconfiguredBridge, GetsMinimalWindows)
{
    {
        const bool prefetchWindow = GetParam();
        auto bridge = Function::bridge(0x1AB0, 0x0100, false, false, prefetchWindow);
        bridge->secondary()->place(0, 0, Function::device(0x1AB0, 0x0004, 0x02, 0x00, 0,
                                                          {{Bar::Kind::Memory32, 0x1000}}));
        bridge->secondary()->place(1, 0, Function::device(0x1AB0, 0x0005, 0x03, 0x00, 0,
                                                          {{Bar::Kind::Memory64, 0x10000000, true}}));
        bridge->secondary()->place(2, 0, Function::device(0x1AB0, 0x0006, 0x03, 0x00, 0,
                                                          {{Bar::Kind::Memory32, 0x40000, true}}));
        hw.root().place(4, 0, std::move(bridge));
        boot();
        Function* b = hw.root().function(4, 0);
        EXPECT_EQ(b->byte(reg::SecondaryBus), 1);
        EXPECT_EQ(b->byte(reg::SubordinateBus), 1);
        pnp::DeviceNode* bridgeNode = node("00:04.0");
        ASSERT_NE(bridgeNode, nullptr);
        ASSERT_EQ(bridgeNode->state, pnp::DeviceNode::State::Started) << bridgeNode->problem;
        // The windows implemented, each as small as the bridge's granularity allows.
        ASSERT_EQ(bridgeNode->assigned.size(), prefetchWindow ? 3u : 2u);
        EXPECT_EQ(bridgeNode->assigned[0].length, 0x1000u);
        EXPECT_EQ(bridgeNode->assigned[1].length, 0x100000u);
        EXPECT_EQ(bridgeNode->assigned[1].flags, CM_RESOURCE_MEMORY_READ_WRITE);
        if (prefetchWindow) {
            EXPECT_EQ(bridgeNode->assigned[2].length, 0x100000u);
        }

        pnp::DeviceNode* small = node("01:00.0");
        pnp::DeviceNode* large = node("01:01.0");
        pnp::DeviceNode* prefetchable = node("01:02.0");
        ASSERT_NE(small, nullptr);
        ASSERT_NE(large, nullptr);
        ASSERT_NE(prefetchable, nullptr);
        EXPECT_EQ(small->state, pnp::DeviceNode::State::Started);
        EXPECT_EQ(prefetchable->state, pnp::DeviceNode::State::Started) << prefetchable->problem;
        const uint32_t placed = hw.locate(1, 2, 0)->dword(reg::Bar0) & ~0xFu;
        const pnp::Range& window = bridgeNode->assigned[prefetchWindow ? 2 : 1];
        EXPECT_GE(placed, window.start);
        EXPECT_LT(placed, window.end());
        EXPECT_EQ(large->state, pnp::DeviceNode::State::NotStarted);
        EXPECT_NE(large->problem.find("256 MB of prefetchable memory"), std::string::npos)
            << large->problem;
        EXPECT_EQ(large->problem.find("has no prefetchable window, so prefetchable memory must fit") !=
                      std::string::npos,
                  !prefetchWindow)
            << large->problem;
    }
}

INSTANTIATE_TEST_SUITE_P(Platform, UnconfiguredBridge, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? "WithPrefetchableWindow" : "WithoutPrefetchableWindow";
                         });

TEST_F(Platform, HotAddAndRemovalFollowTheSlot)
{
    auto bridge = Function::bridge(0x1AB0, 0x0100);
    bridge->secondary()->makeHotPlugSlot(2);
    pci::Bus* slotBus = bridge->secondary();
    hw.root().place(5, 0, std::move(bridge));
    boot();
    pnp::DeviceNode* bridgeNode = node("00:05.0");
    ASSERT_NE(bridgeNode, nullptr);
    EXPECT_TRUE(bridgeNode->children.empty());

    pci::Card card;
    card.functions[0] = Function::device(0x1AB0, 0x0006, 0x02, 0x00, 0, {{Bar::Kind::Io, 16}});
    ASSERT_TRUE(slotBus->insert(2, std::move(card)));
    manager->enumerate(*bridgeNode);
    pnp::DeviceNode* added = node("01:02.0");
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(added->state, pnp::DeviceNode::State::Started) << added->problem;
    PDEVICE_OBJECT pdo = added->pdo;

    // The same function is the same physical device object at every query.
    manager->enumerate(*bridgeNode);
    ASSERT_EQ(bridgeNode->children.size(), 1u);
    EXPECT_EQ(bridgeNode->children[0]->pdo, pdo);

    // Surprise removal: the card goes, the next enumeration removes its node and its PDO.
    slotBus->remove(2);
    manager->enumerate(*bridgeNode);
    EXPECT_TRUE(bridgeNode->children.empty());
    EXPECT_FALSE(kernel.isLiveDevice(pdo));
}

// A new device receives its requests in the PnP manager's order: boot configuration and
// requirements before any driver is added; the filtering of its requirements only once the
// function driver and its upper filters are on the stack, so that they take part; then start.
TEST_F(Platform, NewDeviceSequence)
{
    hw.root().place(7, 0, Function::device(0x1AB0, 0x0008, 0x02, 0x00, 0, {{Bar::Kind::Io, 16}}));
    recordOn = "00:07.0";
    boot();
    std::vector<std::string> forDevice;
    for (const auto& e : events) {
        if (e.find("-> 00:07.0") != std::string::npos) forDevice.push_back(e.substr(0, e.find(' ')));
    }
    EXPECT_EQ(forDevice, (std::vector<std::string>{"IRP_MN_QUERY_RESOURCES",
                                                   "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                                   "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                                   "IRP_MN_START_DEVICE"}));
    std::vector<std::string> seenByUpperFilter;
    for (const auto& seen : recorder.seen) {
        seenByUpperFilter.push_back(pnp::minorName(seen.major, seen.minor));
    }
    EXPECT_EQ(seenByUpperFilter, (std::vector<std::string>{"IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                                           "IRP_MN_START_DEVICE"}));
    pnp::DeviceNode* n = node("00:07.0");
    ASSERT_NE(n, nullptr);
    ASSERT_NE(n->pdo->AttachedDevice, nullptr);
    EXPECT_EQ(n->pdo->AttachedDevice->DriverObject, generic.driverObject());
    EXPECT_EQ(static_cast<PDEVICE_NODE>(n->pdo->DeviceObjectExtension->DeviceNode)->Flags & DNF_STARTED,
              DNF_STARTED);
}

TEST_F(Platform, ReturnToD0RestoresBarsAndCommandButNotLatency)
{
    hw.root().place(6, 0, Function::device(0x1AB0, 0x0007, 0x02, 0x00, 0,
                                           {{Bar::Kind::Memory32, 0x1000}}));
    boot();
    Function* f = hw.root().function(6, 0);
    const uint32_t bar = f->dword(reg::Bar0);
    const uint16_t command = f->word(reg::Command);
    f->write(reg::LatencyTimer, 1, 0x90);
    pnp::DeviceNode* n = node("00:06.0");
    EXPECT_EQ(manager->setDevicePower(*n, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(f->powerState(), 3u);
    EXPECT_EQ(manager->setDevicePower(*n, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(f->dword(reg::Bar0), bar);
    EXPECT_EQ(f->word(reg::Command), command);
    EXPECT_EQ(f->byte(reg::LatencyTimer), 0);
}

}  // namespace
