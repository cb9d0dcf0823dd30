// Descriptions built into hardware: what configuration software finds on the built-in machine,
// cards with their subtrees, and paths followed through the hardware as built.
#include <gtest/gtest.h>

#include <machine/description.hpp>
#include <machine/location.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

namespace {

namespace reg = pci::reg;

class BuiltInMachine : public ::testing::Test {
protected:
    void SetUp() override
    {
        desc = formats::defaultMachine();
        machine::populate(hw, desc);
    }
    // Sets a bridge's bus numbers with a configuration write, as software would.
    void number(unsigned bus, unsigned device, unsigned primary, unsigned secondary,
                unsigned subordinate)
    {
        hw.configWrite(bus, device, 0, reg::PrimaryBus, 3,
                       primary | secondary << 8 | subordinate << 16);
    }
    uint32_t sized(unsigned bus, unsigned device, unsigned fn, unsigned offset)
    {
        hw.configWrite(bus, device, fn, offset, 4, 0xFFFFFFFF);
        return hw.configRead(bus, device, fn, offset, 4);
    }

    machine::MachineDesc desc;
    pci::Hierarchy hw;
};

TEST_F(BuiltInMachine, RootBusAnswersWithTheDescribedFunctions)
{
    struct Expected {
        unsigned device;
        uint32_t id;         // device << 16 | vendor
        uint32_t classRev;   // class code << 8 | revision
        uint8_t header;
    };
    const Expected expected[] = {
        {0x00, 0x01007E57, 0x06000000, 0x00},
        {0x01, 0x02007E57, 0x03000000, 0x00},
        {0x02, 0x03007E57, 0x02000000, 0x00},
        {0x1E, 0x04007E57, 0x06040000, 0x01},
    };
    unsigned present = 0;
    for (unsigned d = 0; d < 32; ++d) {
        if (hw.configRead(0, d, 0, reg::VendorId, 2) != 0xFFFF) ++present;
    }
    EXPECT_EQ(present, std::size(expected));
    for (const Expected& e : expected) {
        EXPECT_EQ(hw.configRead(0, e.device, 0, reg::VendorId, 4), e.id) << e.device;
        EXPECT_EQ(hw.configRead(0, e.device, 0, reg::RevisionId, 4), e.classRev) << e.device;
        EXPECT_EQ(hw.configRead(0, e.device, 0, reg::HeaderType, 1), e.header) << e.device;
    }
    // BAR sizing on the display controller: 16 MB prefetchable, then 64 KB.
    EXPECT_EQ(sized(0, 1, 0, reg::Bar0), 0xFF000008u);
    EXPECT_EQ(sized(0, 1, 0, reg::Bar0 + 4), 0xFFFF0000u);
    EXPECT_EQ(sized(0, 1, 0, reg::Bar0 + 8), 0u);
    // The network controller: 32 bytes of I/O, then 4 KB of memory.
    EXPECT_EQ(sized(0, 2, 0, reg::Bar0), 0xFFFFFFE1u);
    EXPECT_EQ(sized(0, 2, 0, reg::Bar0 + 4), 0xFFFFF000u);
}

TEST_F(BuiltInMachine, BehindTheBridgeOnceItHasBusNumbers)
{
    EXPECT_EQ(hw.configRead(1, 0, 0, reg::VendorId, 2), 0xFFFFu);  // not numbered yet
    number(0, 0x1E, 0, 1, 1);
    EXPECT_EQ(hw.configRead(1, 0, 0, reg::VendorId, 4), 0x05007E57u);
    EXPECT_EQ(hw.configRead(1, 0, 0, reg::RevisionId, 4) >> 8, 0x010601u);
    // Storage BARs at registers 4 and 5 only.
    EXPECT_EQ(sized(1, 0, 0, reg::Bar0), 0u);
    EXPECT_EQ(sized(1, 0, 0, reg::Bar0 + 16), 0xFFFFFFE1u);
    EXPECT_EQ(sized(1, 0, 0, reg::Bar0 + 20), 0xFFFFE000u);
    for (unsigned d = 1; d < 32; ++d) {
        EXPECT_EQ(hw.configRead(1, d, 0, reg::VendorId, 2), 0xFFFFu) << d;
    }
    const pci::Bus* behind = hw.root().function(0x1E, 0)->secondary();
    for (const auto& slot : desc.root.functions[3].secondary.slots) {
        EXPECT_TRUE(behind->isHotPlugSlot(slot.device));
        EXPECT_FALSE(behind->occupied(slot.device));
    }
    EXPECT_FALSE(behind->isHotPlugSlot(0));
    EXPECT_TRUE(behind->hasHotPlugSlots());
    EXPECT_FALSE(hw.root().hasHotPlugSlots());
    EXPECT_EQ(behind->hotPlugReserve().buses, desc.root.functions[3].secondary.reserve.buses);
    EXPECT_EQ(behind->hotPlugReserve().prefetchable, 512u << 20);
}

TEST_F(BuiltInMachine, BridgeCardBringsItsWholeSubtree)
{
    pci::Bus* behind = hw.root().function(0x1E, 0)->secondary();
    ASSERT_TRUE(behind->insert(2, machine::buildCard(*desc.card("bridge card"))));
    number(0, 0x1E, 0, 1, 3);
    EXPECT_EQ(hw.configRead(1, 2, 0, reg::HeaderType, 1), 0x01u);
    EXPECT_EQ(hw.configRead(1, 2, 0, reg::PrimaryBus, 4) & 0xFFFFFF, 0u);  // arrives reset
    number(1, 2, 1, 2, 2);
    // A two-function device: function 0 says so, and function 1 answers.
    EXPECT_EQ(hw.configRead(2, 0, 0, reg::HeaderType, 1), 0x80u);
    EXPECT_EQ(hw.configRead(2, 0, 1, reg::VendorId, 4), 0x3011F1A0u);
    EXPECT_EQ(hw.configRead(2, 0, 2, reg::VendorId, 2), 0xFFFFu);
    // The large BAR is 64-bit and prefetchable: both halves size together.
    EXPECT_EQ(hw.configRead(2, 1, 0, reg::HeaderType, 1), 0x00u);
    EXPECT_EQ(sized(2, 1, 0, reg::Bar0), 0xF000000Cu);
    EXPECT_EQ(sized(2, 1, 0, reg::Bar0 + 4), 0xFFFFFFFFu);
    EXPECT_EQ(sized(2, 1, 0, reg::Bar0 + 8), 0xFFFF0000u);
}

TEST_F(BuiltInMachine, CardsOfSeveralFunctionsAreMultiFunction)
{
    machine::CardDesc two;
    two.name = "two functions";
    machine::FunctionDesc f;
    f.vendor = 0xF1A0;
    f.baseClass = 0x02;
    two.functions.push_back(f);
    f.function = 3;
    f.deviceId = 3;
    two.functions.push_back(f);
    pci::Card card = machine::buildCard(two);
    ASSERT_NE(card.functions[0], nullptr);
    ASSERT_NE(card.functions[3], nullptr);
    EXPECT_EQ(card.functions[1], nullptr);
    EXPECT_EQ(card.functions[0]->byte(reg::HeaderType), 0x80);
    // The bit survives the reset a card goes through when it is inserted.
    pci::Bus* behind = hw.root().function(0x1E, 0)->secondary();
    ASSERT_TRUE(behind->insert(1, std::move(card)));
    number(0, 0x1E, 0, 1, 1);
    EXPECT_EQ(hw.configRead(1, 1, 3, reg::DeviceId, 2), 3u);

    const pci::Card single = machine::buildCard(*desc.card("network card"));
    EXPECT_EQ(single.functions[0]->byte(reg::HeaderType), 0x00);
    EXPECT_EQ(single.name, "network card");
}

TEST_F(BuiltInMachine, PathsLeadThroughTheHardwareAsBuilt)
{
    pci::Bus* behind = hw.root().function(0x1E, 0)->secondary();
    ASSERT_TRUE(behind->insert(2, machine::buildCard(*desc.card("nested bridge card"))));
    struct Case {
        const char* location;
        uint16_t deviceId;  // of the function reached, 0 when it is a place without one
        const char* error;  // expected failure, or nullptr
    };
    const Case cases[] = {
        {"02.0", 0x0300, nullptr},
        {"1e.0/00.0", 0x0500, nullptr},
        {"slot 2", 0x4000, nullptr},
        {"slot 2.0/00.0/00.0", 0x4010, nullptr},
        {"1e.0/02.0/00.0/00.0", 0x4010, nullptr},
        {"slot 1", 0, nullptr},  // an empty slot is a place, with nothing at it
        {"02.0/00.0", 0, "not a PCI-to-PCI bridge"},
        {"1e.0/01.0/00.0", 0, "nothing is there"},
        {"slot 7", 0, "no slot is labelled"},
        {"01:1e.0", 0, "bus 01 is not a root bus"},
    };
    for (const Case& c : cases) {
        std::string error;
        auto location = machine::parseLocation(c.location, error);
        ASSERT_TRUE(location) << c.location << ": " << error;
        auto path = machine::resolveLocation(desc, *location, error);
        std::optional<machine::Place> place;
        if (path) place = machine::findPlace(hw, *path, error, location->root);
        if (c.error != nullptr) {
            EXPECT_FALSE(place) << c.location;
            EXPECT_NE(error.find(c.error), std::string::npos) << c.location << ": " << error;
            continue;
        }
        ASSERT_TRUE(place) << c.location << ": " << error;
        pci::Function* f = place->target();
        if (c.deviceId == 0) {
            EXPECT_EQ(f, nullptr) << c.location;
        } else {
            ASSERT_NE(f, nullptr) << c.location;
            EXPECT_EQ(f->word(reg::DeviceId), c.deviceId) << c.location;
        }
    }
}

}  // namespace

namespace {

// A register takes only the bits its function implements; the rest keep what they hold.
TEST(WriteMasks, RegistersKeepWhatTheirFunctionDoesNotImplement)
{
    struct Case {
        const char* name;
        const char* keys;
        uint16_t command;  // what all ones written to the command register leaves
        uint8_t latency;   // what 0xff written to the latency timer leaves
    } cases[] = {
        {"serial controller", "class = 0x070002\nbars = [ { type = \"io\", size = 8 } ]\n", 0x0545, 0xF8},
        {"display controller", "class = 0x030000\nbars = [ { type = \"mem32\", size = \"1M\" } ]\n",
         0x0566, 0xF8},
        {"host bridge", "class = 0x060000\n", 0x0544, 0xF8},
        {"bridge", "kind = \"bridge\"\n", 0x0567, 0xF8},
        {"given masks", "class = 0x020000\nwrite_masks = { command = 0x0006, latency_timer = 0 }\n",
         0x0006, 0x00},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto parsed = formats::parseMachine(
            std::string("[[function]]\nat = \"02.0\"\nid = \"7e57:0300\"\n") + c.keys, "m.toml");
        ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
        pci::Hierarchy hw;
        machine::populate(hw, parsed.value());
        hw.configWrite(0, 2, 0, reg::Command, 2, 0xFFFF);
        hw.configWrite(0, 2, 0, reg::LatencyTimer, 1, 0xFF);
        EXPECT_EQ(hw.configRead(0, 2, 0, reg::Command, 2), c.command);
        EXPECT_EQ(hw.configRead(0, 2, 0, reg::LatencyTimer, 1), c.latency);
    }
}

}  // namespace
