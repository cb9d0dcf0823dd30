// Whole machines: a card with bridges goes into the first hot-plug slot of the built-in machine.
// With the driver the devices behind the card's bridges start; without it the large aperture
// does not fit the bridge's minimal windows. No scan may leave two bridges claiming one bus.
#include <machine_fixture.hpp>

#include <machine/machine.hpp>
#include <machine/machine_file.hpp>

#include <string>

namespace hotp::test {
namespace {

constexpr ULONG M = 0x100000;

// The built-in machine with one more card in its catalogue: a bridge with nothing behind it.
const std::string kWithEmptyBridgeCard = std::string(machine::defaultMachineText()) + R"(
[[card]]
name = "empty bridge card"
[[card.function]]
function = 0
kind = "bridge"
id   = "f1a0:6000"
)";

class CardFlow : public ::testing::Test {
protected:
    void insert(const std::string& card, bool withDriver = true,
                std::string_view text = machine::defaultMachineText())
    {
        auto parsed = machine::parseMachine(text, "machine.toml");
        ASSERT_TRUE(parsed.ok()) << describe(parsed.errors());
        machine::MachineOptions options;
        options.withDriver = withDriver;
        options.driverPath = HOTP_DRIVER_PATH;
        auto sink = [this](const machine::Output& out) {
            if (out.kind == machine::Output::Kind::Conflict) conflicts.push_back(out.text);
        };
        m = std::make_unique<machine::Machine>(parsed.value(), options, sink);
        m->boot();
        std::string error;
        machine::Event event;
        event.kind = machine::EventKind::Insert;
        event.card = card;
        event.slot = *machine::parseLocation("slot 1", error);
        ASSERT_TRUE(m->apply(event));
    }

    void TearDown() override
    {
        if (m) {
            auto problems = m->shutdown();
            EXPECT_TRUE(problems.empty()) << describe(problems);
        }
        EXPECT_TRUE(conflicts.empty()) << describe(conflicts);
    }

    // The node of the card's function f1a0:deviceId.
    const pnp::DeviceNode& node(uint16_t deviceId)
    {
        for (pnp::DeviceNode* n : m->pnpManager().nodes()) {
            const pcibus::FunctionNode* f = m->busDriver().function(n->pdo);
            if (f != nullptr && f->vendorId == 0xF1A0 && f->deviceId == deviceId) return *n;
        }
        throw std::runtime_error("no function f1a0:" + std::to_string(deviceId));
    }

    void expectStarted(std::initializer_list<uint16_t> deviceIds)
    {
        for (uint16_t id : deviceIds) {
            EXPECT_EQ(node(id).state, pnp::DeviceNode::State::Started)
                << std::hex << id << ": " << node(id).problem;
        }
    }

    // Descriptor lengths of a requirements list as the PnP manager kept it.
    static std::vector<ULONG> lengths(const std::vector<uint8_t>& bytes)
    {
        const auto& list = *reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(bytes.data());
        std::vector<ULONG> out;
        for (ULONG i = 0; i < list.List[0].Count; ++i) {
            out.push_back(list.List[0].Descriptors[i].u.Port.Length);
        }
        return out;
    }

    std::unique_ptr<machine::Machine> m;
    std::vector<std::string> conflicts;
};

// I/O, memory and prefetchable windows of the card's bridge: the 256 MB aperture behind it.
TEST_F(CardFlow, TheBridgeCardsApertureFitsWithTheDriver)
{
    ASSERT_NO_FATAL_FAILURE(insert("bridge card"));
    const pnp::DeviceNode& bridge = node(0x3000);
    EXPECT_EQ(lengths(bridge.requirementsBeforeFilter), (std::vector<ULONG>{0x1000, M, M}));
    EXPECT_EQ(lengths(bridge.requirements), (std::vector<ULONG>{0x1000, M, 256 * M}));
    expectStarted({0x3000, 0x3010, 0x3011, 0x3020});
}

TEST_F(CardFlow, WithoutTheDriverTheApertureDoesNotFit)
{
    ASSERT_NO_FATAL_FAILURE(insert("bridge card", false));
    EXPECT_EQ(node(0x3000).requirements, node(0x3000).requirementsBeforeFilter);
    EXPECT_EQ(node(0x3020).state, pnp::DeviceNode::State::NotStarted);
    EXPECT_FALSE(node(0x3020).problem.empty());
}

// The outer bridge's bus holds one bridge: two pages of I/O.
TEST_F(CardFlow, NestedBridgesAreScannedThrough)
{
    ASSERT_NO_FATAL_FAILURE(insert("nested bridge card"));
    EXPECT_EQ(lengths(node(0x4000).requirements), (std::vector<ULONG>{0x2000, M, M}));
    EXPECT_EQ(node(0x4001).requirements, node(0x4001).requirementsBeforeFilter);
    expectStarted({0x4000, 0x4001, 0x4010});
}

// Nothing behind: one page of I/O, which the minimal window already holds.
TEST_F(CardFlow, AnEmptyBridgeCardKeepsItsMinimalWindows)
{
    ASSERT_NO_FATAL_FAILURE(insert("empty bridge card", true, kWithEmptyBridgeCard));
    EXPECT_EQ(lengths(node(0x6000).requirements), (std::vector<ULONG>{0x1000, M, M}));
    expectStarted({0x6000});
}

}  // namespace
}  // namespace hotp::test
