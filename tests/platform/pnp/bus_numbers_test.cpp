// Bus numbers of bridges that firmware left unconfigured, on whole machines: cards with bridges
// hot added into machines with and without numbers to spare, and root bridges beyond the last
// number. No number may be forwarded by two bridges, none may wrap, and a bridge the bus driver
// cannot number does not start, with its reason.
#include "platform_fixture.hpp"
#include <machine_events.hpp>
#include <machine_text.hpp>

#include <machine/machine.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <map>
#include <string>

namespace hotp::test {
namespace {

// A bridge card whose bridge sits behind another bridge, with one controller at the end, and
// two such bridges side by side on one card, found in one enumeration.
std::string nestedBridges(const std::string& function, const std::string& outer,
                          const std::string& inner, const std::string& end)
{
    return bridge("card.function", function, outer) +
           bridge("card.function.behind", "00.0", inner) +
           device("card.function.behind.behind", "00.0", end, "0x0c0310", k4K);
}
const std::string kNestedCard =
    card("nested") + nestedBridges("0", "f1a0:7000", "f1a0:7001", "f1a0:7010");
const std::string kTwinCard = card("twin") +
                              nestedBridges("0", "f1a0:7100", "f1a0:7101", "f1a0:7110") +
                              nestedBridges("1", "f1a0:7200", "f1a0:7201", "f1a0:7210");

const std::string kWindows = R"(
[windows]
io           = { base = 0x1000, limit = 0xFFFF }
memory       = { base = 0xF0000000, limit = 0xFEBFFFFF }
prefetchable = { base = 0x80000000, limit = 0xEFFFFFFF }
)";

// A hot-plug bridge with `spare` numbers behind it and, unless `alone`, in the next root slot a
// bridge with a network controller that firmware numbers right after it.
std::string hotPlugMachine(unsigned spare, bool alone = false)
{
    std::string neighbour;
    if (!alone) {
        neighbour = bridge("function", "1f.0", "7e57:0410") +
                    device("function.behind", "00.0", "7e57:0300", "0x020000",
                           R"([ { type = "io", size = 32 }, { type = "mem32", size = "4K" } ])");
    }
    return "name = \"bus numbers\"\n" + kWindows +
           bridge("function", "1e.0", "7e57:0400",
                  "slots = [ { device = 1, label = \"slot 1\" } ]\nspare_buses = " +
                      std::to_string(spare) +
                      "\nreserve = { io = \"16K\", memory = \"64M\", prefetchable = \"64M\" }\n") +
           neighbour + kNestedCard + kTwinCard;
}

// Three root bridges that each want every number there is.
std::string greedy(const std::string& at, const std::string& id, const std::string& slot)
{
    return bridge("function", at, id, "slots = [ { device = 1, label = \"" + slot +
                                          "\" } ]\nspare_buses = 254\n");
}
const std::string kGreedyRootBridges = "name = \"greedy\"\n" + kWindows +
                                       greedy("1c.0", "7e57:0401", "slot a") +
                                       greedy("1d.0", "7e57:0402", "slot b") +
                                       greedy("1e.0", "7e57:0403", "slot c");

struct BusNumberCase {
    const char* name;
    std::string machine;
    const char* card;      // inserted into "slot 1", or nullptr
    bool withDriver;
    bool powerCycle;       // the hot-plug bridge goes to D3 and back to D0 after the insertion
    // Expected state by function id (vendor:device); a text the problem must contain, or ""
    // for started.
    std::map<std::string, std::string> expected;
};
void PrintTo(const BusNumberCase& c, std::ostream* os) { *os << c.name; }

constexpr const char* kStarted = "";
constexpr const char* kNoNumber = "no bus number left";

class BusNumbers : public MachineFlow, public ::testing::WithParamInterface<BusNumberCase> {
protected:
    // Every bridge's range nests inside its bus's range and is disjoint from its siblings'.
    void expectNested(const pci::Bus& bus, unsigned number, unsigned highest)
    {
        std::vector<std::pair<unsigned, unsigned>> ranges;
        for (unsigned d = 0; d < 32; ++d) {
            for (unsigned fn = 0; fn < 8; ++fn) {
                const pci::Function* f = bus.function(d, fn);
                if (f == nullptr || f->header() != pci::HeaderKind::Bridge) continue;
                const unsigned secondary = f->byte(pci::reg::SecondaryBus);
                const unsigned subordinate = f->byte(pci::reg::SubordinateBus);
                if (secondary == 0) continue;
                EXPECT_GT(secondary, number) << "bridge " << d << "." << fn << " on bus " << number;
                EXPECT_LE(secondary, subordinate);
                EXPECT_LE(subordinate, highest);
                for (const auto& [s, e] : ranges) {
                    EXPECT_TRUE(subordinate < s || secondary > e)
                        << secondary << ".." << subordinate << " overlaps " << s << ".." << e;
                }
                ranges.emplace_back(secondary, subordinate);
                expectNested(*f->secondary(), secondary, subordinate);
            }
        }
    }
};

TEST_P(BusNumbers, NeverSharedNeverWrapped)
{
    const BusNumberCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(
        bootFile(c.machine, {.withDriver = c.withDriver, .driverPath = HOTP_DRIVER_PATH}));

    // What the started network controller behind the neighbouring bridge decodes.
    pci::Function* neighbour = nullptr;
    if (pci::Function* f = m->hardware().root().function(0x1F, 0)) {
        neighbour = f->secondary()->function(0, 0);
    }
    const uint32_t bar0 = neighbour != nullptr ? neighbour->dword(pci::reg::Bar0) : 0;
    const uint32_t bar1 = neighbour != nullptr ? neighbour->dword(pci::reg::Bar0 + 4) : 0;

    if (c.card != nullptr) {
        ASSERT_TRUE(m->apply(makeEvent(machine::EventKind::Insert, "slot 1", c.card)));
    }
    for (unsigned state : {3u, 0u}) {
        if (!c.powerCycle) break;
        ASSERT_TRUE(m->apply(makeEvent(machine::EventKind::Power, "1e.0", {}, state)));
    }

    EXPECT_TRUE(m->conflicts().empty()) << describe(m->conflicts());
    expectNested(m->hardware().root(), 0, 255);
    if (neighbour != nullptr) {
        EXPECT_EQ(neighbour->dword(pci::reg::Bar0), bar0);
        EXPECT_EQ(neighbour->dword(pci::reg::Bar0 + 4), bar1);
    }
    std::map<std::string, std::string> states;
    for (pnp::DeviceNode* n : m->pnpManager().nodes()) {
        const pcibus::FunctionNode* f = m->busDriver().function(n->pdo);
        if (f == nullptr) continue;
        char id[16];
        std::snprintf(id, sizeof id, "%04x:%04x", f->vendorId, f->deviceId);
        if (c.expected.count(id) == 0) continue;
        states[id] = n->state == pnp::DeviceNode::State::Started ? "started" : n->problem;
    }
    for (const auto& [id, problem] : c.expected) {
        ASSERT_EQ(states.count(id), 1u) << id << " never enumerated";
        if (*problem.c_str() == '\0') {
            EXPECT_EQ(states[id], "started") << id;
        } else {
            EXPECT_NE(states[id].find(problem), std::string::npos) << id << ": " << states[id];
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Platform, BusNumbers,
    ::testing::Values(
        // Room behind the hot-plug bridge: the nested card's bridges get numbers of their own,
        // and the scan of the outer bridge finds the numbers after it free.
        BusNumberCase{"NestedCardWithSpareNumbers", hotPlugMachine(8), "nested", true, false,
                      {{"f1a0:7000", kStarted}, {"f1a0:7001", kStarted},
                       {"f1a0:7010", kStarted}, {"7e57:0300", kStarted}}},
        // Two nested bridges found in one enumeration: the first leaves room behind it for
        // its inner bridge instead of letting the second take that number.
        BusNumberCase{"TwinNestedBridges", hotPlugMachine(8), "twin", true, false,
                      {{"f1a0:7100", kStarted}, {"f1a0:7101", kStarted},
                       {"f1a0:7110", kStarted}, {"f1a0:7200", kStarted},
                       {"f1a0:7201", kStarted}, {"f1a0:7210", kStarted}}},
        // One number to spare, the next one forwarded by the neighbouring bridge: the inner
        // bridge is refused rather than given a number the neighbour forwards.
        BusNumberCase{"NoNumberToSpare", hotPlugMachine(1), "nested", false, false,
                      {{"f1a0:7000", kStarted}, {"f1a0:7001", kNoNumber},
                       {"7e57:0300", kStarted}}},
        // One number to spare and the next one free: the bus driver raises the hot-plug
        // bridge's subordinate number for the inner bridge, and the bridge's return to D0
        // restores the raised number, not the one it had at start.
        BusNumberCase{"RaisedNumberSurvivesReturnToD0", hotPlugMachine(1, true), "nested", false,
                      true, {{"f1a0:7000", kStarted}, {"f1a0:7001", kStarted},
                             {"f1a0:7010", kStarted}}},
        // The first root bridge holds every number: the others are refused, not numbered 0.
        BusNumberCase{"RootBridgesBeyondTheLastNumber", kGreedyRootBridges, nullptr, true, false,
                      {{"7e57:0401", kStarted}, {"7e57:0402", kNoNumber},
                       {"7e57:0403", kNoNumber}}}),
    hotp::test::ByName());

}  // namespace
}  // namespace hotp::test
