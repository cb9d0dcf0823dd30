// PCI hardware model: what configuration software sees through configuration cycles.
#include <gtest/gtest.h>

#include <pci/hardware.hpp>

#include <functional>

namespace {

using pci::Bar;
using pci::Function;
namespace reg = pci::reg;

struct SizingCase {
    const char* name;
    Bar bar;
    uint32_t low;   // BAR read back after writing all ones
    uint32_t high;  // the next BAR, for 64-bit BARs
};

TEST(PciHardware, BarSizingFollowsTheWriteMasks)
{
    const SizingCase cases[] = {
        {"io 32 bytes", {Bar::Kind::Io, 32}, 0xFFFFFFE1, 0},
        {"io 256, upper half zero", {Bar::Kind::Io, 256, false, true}, 0x0000FF01, 0},
        {"memory 4 KB", {Bar::Kind::Memory32, 0x1000}, 0xFFFFF000, 0},
        {"memory 1 MB prefetchable", {Bar::Kind::Memory32, 0x100000, true}, 0xFFF00008, 0},
        {"64-bit 256 MB prefetchable", {Bar::Kind::Memory64, 0x10000000, true}, 0xF000000C,
         0xFFFFFFFF},
        {"64-bit 8 GB", {Bar::Kind::Memory64, 0x200000000ull}, 0x00000004, 0xFFFFFFFE},
        {"unimplemented", {}, 0, 0},
    };
    for (const auto& c : cases) {
        auto f = Function::device(0x1234, 0x5678, 0x02, 0x00, 0, {c.bar});
        f->write(reg::Bar0, 4, 0xFFFFFFFF);
        f->write(reg::Bar0 + 4, 4, 0xFFFFFFFF);
        EXPECT_EQ(f->dword(reg::Bar0), c.low) << c.name;
        EXPECT_EQ(f->dword(reg::Bar0 + 4), c.high) << c.name;
        // Writing an address keeps the type bits.
        f->write(reg::Bar0, 4, 0);
        EXPECT_EQ(f->dword(reg::Bar0), c.low & (c.bar.kind == Bar::Kind::Io ? 0x1u : 0xFu))
            << c.name;
    }
}

TEST(PciHardware, IdentifiersAreReadOnlyAndStatusBitsClearOnOne)
{
    auto f = Function::device(0x8086, 0x1229, 0x02, 0x00, 0, {});
    f->write(reg::VendorId, 4, 0);
    f->write(reg::BaseClass, 1, 0x99);
    EXPECT_EQ(f->dword(reg::VendorId), 0x12298086u);
    EXPECT_EQ(f->byte(reg::BaseClass), 0x02);
    f->poke(reg::Status, 2, 0x8010);
    f->write(reg::Status, 2, 0x0000);
    EXPECT_EQ(f->word(reg::Status), 0x8010);
    f->write(reg::Status, 2, 0x8000);
    EXPECT_EQ(f->word(reg::Status), 0x0010);  // the capability bit is read-only
    f->write(reg::Command, 2, 0xFFFF);
    EXPECT_EQ(f->word(reg::Command), 0x07FF);
}

// Bus 0: a bridge at device 2 (buses 1 to 3); behind it a bridge at device 0 (bus 2) with a
// network device at device 5.
class Routing : public ::testing::Test {
protected:
    void SetUp() override
    {
        auto outer = Function::bridge(0x1011, 0x0026);
        auto inner = Function::bridge(0x1011, 0x0026);
        inner->secondary()->place(5, 0, Function::device(0x8086, 0x1229, 0x02, 0, 0, {}));
        innerBridge = inner.get();
        outer->secondary()->place(0, 0, std::move(inner));
        outerBridge = outer.get();
        hw.root().place(2, 0, std::move(outer));
        hw.configWrite(0, 2, 0, reg::PrimaryBus, 3, 0x030100);
        hw.configWrite(1, 0, 0, reg::PrimaryBus, 3, 0x020201);
    }
    pci::Hierarchy hw;
    Function* outerBridge = nullptr;
    Function* innerBridge = nullptr;
};

TEST_F(Routing, CyclesFollowBusNumbersWhateverTheDecoding)
{
    EXPECT_EQ(outerBridge->word(reg::Command), 0);
    EXPECT_EQ(hw.configRead(2, 5, 0, reg::VendorId, 4), 0x12298086u);
    EXPECT_EQ(hw.configRead(2, 6, 0, reg::VendorId, 4), 0xFFFFFFFFu);  // nothing there
    EXPECT_EQ(hw.configRead(3, 0, 0, reg::VendorId, 2), 0xFFFFu);      // empty bus
    EXPECT_EQ(hw.configRead(4, 0, 0, reg::VendorId, 1), 0xFFu);        // no bridge claims it
    // Lowering the outer bridge's subordinate number hides bus 2 behind it.
    hw.configWrite(0, 2, 0, reg::SubordinateBus, 1, 1);
    EXPECT_EQ(hw.configRead(2, 5, 0, reg::VendorId, 4), 0xFFFFFFFFu);
    EXPECT_EQ(hw.transactions(), 8u);  // two in SetUp
}

TEST_F(Routing, TwoBridgesClaimingOneBusAreReported)
{
    auto other = Function::bridge(0x1011, 0x0026);
    hw.root().place(3, 0, std::move(other));
    hw.configWrite(0, 3, 0, reg::PrimaryBus, 3, 0x020200);
    std::vector<std::string> conflicts;
    hw.onConflict = [&](const std::string& text) { conflicts.push_back(text); };
    hw.configRead(2, 5, 0, reg::VendorId, 4);
    ASSERT_EQ(conflicts.size(), 1u);
    EXPECT_NE(conflicts[0].find("device 3"), std::string::npos) << conflicts[0];
}

TEST_F(Routing, TransactionsAreLogged)
{
    hw.setLogging(true);
    hw.configWrite(2, 5, 0, reg::Command, 2, 0x0006);
    hw.configRead(2, 5, 0, reg::Command, 2);
    ASSERT_EQ(hw.log().size(), 2u);
    EXPECT_TRUE(hw.log()[0].write);
    EXPECT_EQ(hw.log()[1].value, 0x0006u);
    EXPECT_TRUE(hw.log()[1].claimed);
}

// Routes are remembered per bus number; every way a bridge's bus numbers or a bus's bridges
// change must be seen by the next cycle.
TEST_F(Routing, EveryChangeOfBusNumbersReroutes)
{
    struct Case {
        const char* what;
        std::function<void()> change;
        uint32_t vendorDeviceOnBus2;  // what a cycle to 02:05.0 reads afterwards
    };
    const Case cases[] = {
        {"subordinate lowered by a cycle",
         [&] { hw.configWrite(0, 2, 0, reg::SubordinateBus, 1, 1); }, 0xFFFFFFFF},
        {"subordinate raised by a cycle",
         [&] { hw.configWrite(0, 2, 0, reg::SubordinateBus, 1, 3); }, 0x12298086},
        {"all three numbers written as a dword",
         [&] { hw.configWrite(1, 0, 0, reg::PrimaryBus - 2, 4, 0x03000000); }, 0xFFFFFFFF},
        {"written on the function itself", [&] { innerBridge->write(reg::SecondaryBus, 2, 0x0202); },
         0x12298086},
        {"poked", [&] { innerBridge->poke(reg::SecondaryBus, 1, 3); }, 0xFFFFFFFF},
        {"poked back", [&] { innerBridge->poke(reg::SecondaryBus, 1, 2); }, 0x12298086},
        {"bridge reset", [&] { outerBridge->reset(); }, 0xFFFFFFFF},
        {"numbers restored", [&] { hw.configWrite(0, 2, 0, reg::PrimaryBus, 3, 0x030100); },
         0xFFFFFFFF},  // the inner bridge was reset with it
        {"inner numbers restored", [&] { hw.configWrite(1, 0, 0, reg::PrimaryBus, 3, 0x020201); },
         0x12298086},
        {"bridge taken off its bus", [&] { hw.root().place(2, 0, nullptr); }, 0xFFFFFFFF},
    };
    for (const Case& c : cases) {
        ASSERT_NE(hw.configRead(2, 5, 0, reg::VendorId, 4), 0u);  // remembered before the change
        c.change();
        EXPECT_EQ(hw.configRead(2, 5, 0, reg::VendorId, 4), c.vendorDeviceOnBus2) << c.what;
    }
}

TEST_F(Routing, CardBridgesRouteWhileTheCardIsIn)
{
    // A hot-plug slot behind the inner bridge (bus 2) takes a card whose bridge opens bus 3.
    innerBridge->secondary()->makeHotPlugSlot(7);
    pci::Card card;
    card.functions[0] = Function::bridge(0x1011, 0x0026);
    card.functions[0]->secondary()->place(1, 0, Function::device(0x1000, 0x0002, 0x01, 0, 0, {}));
    ASSERT_TRUE(innerBridge->secondary()->insert(7, std::move(card)));
    hw.configWrite(0, 2, 0, reg::SubordinateBus, 1, 3);
    hw.configWrite(1, 0, 0, reg::SubordinateBus, 1, 3);
    hw.configWrite(2, 7, 0, reg::PrimaryBus, 3, 0x030302);
    EXPECT_EQ(hw.configRead(3, 1, 0, reg::VendorId, 4), 0x00021000u);
    pci::Card out = innerBridge->secondary()->remove(7);
    EXPECT_EQ(hw.configRead(3, 1, 0, reg::VendorId, 4), 0xFFFFFFFFu);
    ASSERT_TRUE(innerBridge->secondary()->insert(7, std::move(out)));
    // Back in the reset state: no bus numbers, so still nothing behind it answers.
    EXPECT_EQ(hw.configRead(3, 1, 0, reg::VendorId, 4), 0xFFFFFFFFu);
    hw.configWrite(2, 7, 0, reg::PrimaryBus, 3, 0x030302);
    EXPECT_EQ(hw.configRead(3, 1, 0, reg::VendorId, 4), 0x00021000u);
}

TEST(PciHardware, BusListsItsBridgesInSlotOrder)
{
    using Slots = std::vector<std::pair<unsigned, unsigned>>;
    pci::Bus bus;
    bus.makeHotPlugSlot(1);
    auto bridge = [] { return Function::bridge(0x1011, 0x0026); };
    auto device = [] { return Function::device(0x8086, 0x1229, 0x02, 0, 0, {}); };
    auto bridgeCard = [&] {
        pci::Card card;
        card.functions[0] = bridge();
        card.functions[2] = Function::cardBus(0x104C, 0xAC50);
        return card;
    };
    struct Step {
        const char* what;
        std::function<void()> act;
        Slots bridges;
    };
    const Step steps[] = {
        {"a bridge", [&] { bus.place(5, 0, bridge()); }, {{5, 0}}},
        {"an ordinary device", [&] { bus.place(3, 0, device()); }, {{5, 0}}},
        {"a bridge at a lower device", [&] { bus.place(3, 1, bridge()); }, {{3, 1}, {5, 0}}},
        {"a CardBus bridge", [&] { bus.place(5, 2, Function::cardBus(0x104C, 0xAC50)); },
         {{3, 1}, {5, 0}, {5, 2}}},
        {"a bridge replaced by a device", [&] { bus.place(5, 0, device()); }, {{3, 1}, {5, 2}}},
        {"a card inserted", [&] { ASSERT_TRUE(bus.insert(1, bridgeCard())); },
         {{1, 0}, {1, 2}, {3, 1}, {5, 2}}},
        {"the card removed", [&] { bus.remove(1); }, {{3, 1}, {5, 2}}},
        {"a slot emptied", [&] { bus.place(3, 1, nullptr); }, {{5, 2}}},
    };
    for (const Step& step : steps) {
        step.act();
        Slots seen;
        for (const auto& b : bus.bridges()) {
            seen.push_back({b.device, b.function});
            EXPECT_EQ(b.bridge, bus.function(b.device, b.function)) << step.what;
        }
        EXPECT_EQ(seen, step.bridges) << step.what;
    }
}

// Each logged write says who made it, what the bytes held before and what the masks let them hold
// after; scopes of ActingAs nest and restore the bus driver as the default.
TEST_F(Routing, WritesCarryTheirActorAndTheValueBeforeAndAfter)
{
    hw.setLogging(true);
    {
        pci::Hierarchy::ActingAs firmware(hw, pci::Actor::Firmware);
        hw.configWrite(2, 5, 0, reg::Command, 2, 0xFFFF);  // only bits 0-10 are writable
        pci::Hierarchy::ActingAs caller(hw, pci::Actor::RootAccessors);
        hw.configWrite(2, 5, 0, reg::LatencyTimer, 1, 0x90);
    }
    hw.configWrite(2, 5, 0, reg::Command, 2, 0x0000);
    hw.configWrite(2, 9, 0, reg::Command, 2, 0x0007);  // nobody answers
    const struct {
        pci::Actor who;
        uint32_t before, after;
        bool claimed;
    } expected[] = {
        {pci::Actor::Firmware, 0x0000, 0x07FF, true},
        {pci::Actor::RootAccessors, 0x00, 0x90, true},
        {pci::Actor::BusDriver, 0x07FF, 0x0000, true},
        {pci::Actor::BusDriver, 0, 0, false},
    };
    ASSERT_EQ(hw.log().size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        EXPECT_EQ(hw.log()[i].who, expected[i].who) << i;
        EXPECT_EQ(hw.log()[i].before, expected[i].before) << i;
        EXPECT_EQ(hw.log()[i].after, expected[i].after) << i;
        EXPECT_EQ(hw.log()[i].claimed, expected[i].claimed) << i;
    }
    EXPECT_EQ(hw.log()[0].headerType, 0x00);
}

TEST(PciHardware, OtherFunctionsAnswerOnlyOnMultiFunctionDevices)
{
    pci::Hierarchy hw;
    hw.root().place(4, 0, Function::device(0x10EC, 0x8139, 0x02, 0, 0, {}));
    hw.root().place(4, 3, Function::device(0x10EC, 0x8140, 0x01, 0x01, 0, {}));
    EXPECT_EQ(hw.configRead(0, 4, 3, reg::VendorId, 2), 0xFFFFu);
    hw.root().function(4, 0)->setMultiFunction(true);
    EXPECT_EQ(hw.configRead(0, 4, 3, reg::DeviceId, 2), 0x8140u);
    EXPECT_EQ(hw.configRead(0, 4, 1, reg::VendorId, 2), 0xFFFFu);
}

TEST(PciHardware, HotPlugCardsArriveInTheResetState)
{
    pci::Bus bus;
    bus.makeHotPlugSlot(1);
    pci::Card card;
    card.functions[0] = Function::bridge(0x1011, 0x0026);
    card.functions[0]->write(reg::PrimaryBus, 3, 0x050504);
    card.functions[0]->write(reg::Command, 2, 0x7);
    auto behind = Function::device(0x1000, 0x0001, 0x01, 0, 0, {{Bar::Kind::Io, 16}});
    behind->write(reg::Bar0, 4, 0xE000);
    card.functions[0]->secondary()->place(0, 0, std::move(behind));
    EXPECT_FALSE(bus.insert(2, pci::Card{}));  // not a hot-plug slot
    ASSERT_TRUE(bus.insert(1, std::move(card)));
    Function* bridge = bus.function(1, 0);
    EXPECT_EQ(bridge->dword(reg::PrimaryBus) & 0xFFFFFF, 0u);
    EXPECT_EQ(bridge->word(reg::Command), 0);
    EXPECT_EQ(bridge->secondary()->function(0, 0)->dword(reg::Bar0), 0x1u);
    pci::Card out = bus.remove(1);
    EXPECT_FALSE(bus.occupied(1));
    EXPECT_NE(out.functions[0], nullptr);
}

TEST(PciHardware, LeavingD3hotResetsTheFunction)
{
    auto f = Function::device(0x8086, 0x1229, 0x02, 0, 0, {{Bar::Kind::Memory32, 0x1000}});
    f->write(reg::Bar0, 4, 0xFEB00000);
    f->write(reg::Command, 2, 0x0006);
    f->write(reg::LatencyTimer, 1, 0x90);
    f->write(Function::PmCapability + 4, 1, 2);  // D2 and back keeps the configuration
    f->write(Function::PmCapability + 4, 1, 0);
    EXPECT_EQ(f->dword(reg::Bar0), 0xFEB00000u);
    f->write(Function::PmCapability + 4, 1, 3);
    EXPECT_EQ(f->powerState(), 3u);
    f->write(Function::PmCapability + 4, 1, 0);
    EXPECT_EQ(f->powerState(), 0u);
    EXPECT_EQ(f->dword(reg::Bar0), 0u);
    EXPECT_EQ(f->word(reg::Command), 0);
    EXPECT_EQ(f->byte(reg::LatencyTimer), 0);
}

}  // namespace
