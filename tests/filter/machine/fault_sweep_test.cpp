// Every call that can fail, failed at its Nth use (once, and from then on), over every flow of the
// built-in machine, with the bus driver completing at once and pending everything: the machine
// must shut down with no verifier finding, nothing leaked and no bus-number conflict, and every
// device left unstarted must say why. ctest runs a strided sweep; HOTP_FAULT_SWEEP=full runs
// every N (make faults).
#include <machine_fixture.hpp>
#include <machine_events.hpp>

#include <machine/location.hpp>
#include <machine/machine.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace hotp::test {
namespace {

using machine::EventKind;

// A flow: events played before the fault is armed, then the events played with it armed. An
// empty `before` with `boot` set arms the fault before the machine boots.
struct FlowCase {
    std::string name;
    std::vector<machine::Event> before;
    std::vector<machine::Event> armed;
    bool armBeforeBoot = false;
};

void PrintTo(const FlowCase& flow, std::ostream* out) { *out << flow.name; }

std::vector<FlowCase> flows()
{
    std::vector<FlowCase> all;
    all.push_back({"boot", {}, {}, true});
    for (const machine::CardDesc& card : formats::defaultMachine().cards) {
        std::string name = "hot_add_" + card.name;
        for (char& c : name) {
            if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
        }
        all.push_back({name, {}, {makeEvent(EventKind::Insert, "slot 1", card.name)}});
    }
    all.push_back({"power_d3_d0",
                   {makeEvent(EventKind::Insert, "slot 1", "network card")},
                   {makeEvent(EventKind::Power, "slot 1", {}, 3), makeEvent(EventKind::Power, "slot 1", {}, 0),
                    makeEvent(EventKind::Power, "02.0", {}, 3), makeEvent(EventKind::Power, "02.0", {}, 0)}});
    all.push_back({"sleep_wake",
                   {makeEvent(EventKind::Insert, "slot 2", "bridge card")},
                   {makeEvent(EventKind::Sleep, {}), makeEvent(EventKind::Wake, {})}});
    all.push_back({"orderly_removal",
                   {makeEvent(EventKind::Insert, "slot 2", "bridge card")},
                   {makeEvent(EventKind::Remove, "slot 2")}});
    all.push_back({"surprise_removal",
                   {makeEvent(EventKind::Insert, "slot 2", "nested bridge card")},
                   {makeEvent(EventKind::SurpriseRemove, "slot 2")}});
    return all;
}

const nt::FaultPoint kPoints[] = {
    nt::FaultPoint::CreateDevice,          nt::FaultPoint::AttachDevice,
    nt::FaultPoint::BuildRequest,          nt::FaultPoint::AllocatePool,
    nt::FaultPoint::AllocateErrorLogEntry, nt::FaultPoint::QueryInterface,
    nt::FaultPoint::ShortConfigTransfer,   nt::FaultPoint::LowerFail,
    nt::FaultPoint::LowerPend,
};

// Devices left unstarted with no reason: a PnP node neither started nor removed with an empty
// problem, or a function present on a started bus that its bus never reported, while the bus's
// node says nothing about it.
std::vector<std::string> unexplained(machine::Machine& m)
{
    std::vector<std::string> found;
    for (pnp::DeviceNode* node : m.pnpManager().nodes()) {
        const bool settled = node->state == pnp::DeviceNode::State::Started ||
                             node->state == pnp::DeviceNode::State::Removed;
        if (!settled && node->problem.empty()) found.push_back(node->name + ": unstarted, no reason");
        if (node->state != pnp::DeviceNode::State::Started || !node->isBus) continue;
        unsigned number = 0;
        if (node != m.pnpManager().root()) {
            pcibus::FunctionNode* f = m.busDriver().function(node->pdo);
            if (f == nullptr || f->secondary == nullptr) continue;
            number = f->secondary->number;
        }
        for (unsigned d = 0; d < 32; ++d) {
            for (unsigned fn = 0; fn < 8; ++fn) {
                pci::Function* hw = m.hardware().locate(number, d, fn);
                if (hw == nullptr || m.nodeAt(number, d, fn) != nullptr) continue;
                if (!node->enumerationProblem.empty()) continue;
                found.push_back(node->name + ": " + std::to_string(number) + ":" +
                                std::to_string(d) + "." + std::to_string(fn) +
                                " never reported, no reason");
            }
        }
    }
    return found;
}

struct Totals {
    uint64_t runs = 0, fired = 0, pointsReached = 0, problems = 0;
};

class FaultSweep : public ::testing::TestWithParam<FlowCase> {
protected:
    std::unique_ptr<machine::Machine> make(bool pendAll)
    {
        machine::MachineOptions options;
        options.driverPath = HOTP_DRIVER_PATH;
        options.traceLevel = 1;  // the failure trace points and the attach event run too
        options.pendAll = pendAll;
        return std::make_unique<machine::Machine>(formats::defaultMachine(), options,
                                                  [](const machine::Output&) {});
    }

    // Plays the flow with a fault armed (n == 0: none); returns the uses of `point` while armed
    // and records what went wrong.
    uint64_t run(const FlowCase& flow, bool pendAll, nt::FaultPoint point, uint64_t n,
                 bool persistent, std::vector<std::string>& problems, bool& fired)
    {
        auto m = make(pendAll);
        nt::FaultInjector& faults = m->kernel().faults();
        if (!flow.armBeforeBoot) {
            m->boot();
            for (const machine::Event& e : flow.before) m->apply(e);
        }
        const uint64_t before = faults.uses(point);
        if (n != 0) faults.failNth(point, n, persistent);
        if (flow.armBeforeBoot) m->boot();
        for (const machine::Event& e : flow.armed) m->apply(e);
        const uint64_t used = faults.uses(point) - before;
        fired = faults.fired();
        faults.clear();
        for (const std::string& p : unexplained(*m)) problems.push_back(p);
        for (const std::string& p : m->shutdown()) problems.push_back(p);
        return used;
    }
};

TEST_P(FaultSweep, EveryFaultLeavesASoundMachine)
{
    const FlowCase& flow = GetParam();
    const char* mode = std::getenv("HOTP_FAULT_SWEEP");
    const bool full = mode != nullptr && std::string(mode) == "full";
    // The strided sweep tries at most this many N per fault, spread over all its uses.
    constexpr uint64_t kSampled = 6;
    Totals totals;
    for (bool pendAll : {false, true}) {
        for (nt::FaultPoint point : kPoints) {
            std::vector<std::string> problems;
            bool fired = false;
            const uint64_t uses = run(flow, pendAll, point, 0, false, problems, fired);
            ASSERT_TRUE(problems.empty()) << flow.name << " without faults:\n" << describe(problems);
            if (uses == 0) continue;
            ++totals.pointsReached;
            const uint64_t stride = full || uses <= kSampled ? 1 : (uses + kSampled - 1) / kSampled;
            for (uint64_t n = 1; n <= uses; n += stride) {
                for (bool persistent : {false, true}) {
                    SCOPED_TRACE(flow.name + (pendAll ? " pend-all " : " ") +
                                 nt::faultPointName(point) + " #" + std::to_string(n) +
                                 (persistent ? " and on" : " once"));
                    problems.clear();
                    run(flow, pendAll, point, n, persistent, problems, fired);
                    ++totals.runs;
                    if (fired) ++totals.fired;
                    totals.problems += problems.size();
                    EXPECT_TRUE(fired);
                    EXPECT_TRUE(problems.empty()) << describe(problems);
                }
            }
        }
    }
    std::printf("%s: %llu fault points reached, %llu runs, %llu with the fault hit, %llu problems\n",
                flow.name.c_str(), static_cast<unsigned long long>(totals.pointsReached),
                static_cast<unsigned long long>(totals.runs),
                static_cast<unsigned long long>(totals.fired),
                static_cast<unsigned long long>(totals.problems));
}

INSTANTIATE_TEST_SUITE_P(Flows, FaultSweep, ::testing::ValuesIn(flows()), ByName());

// A fault replayed from a scenario's fail event hits the use it is aimed at, and the device it
// leaves unstarted says why.
using FaultReplay = MachineFlow;

TEST_F(FaultReplay, AFailEventHitsTheAimedUseAndTheDeviceSaysWhy)
{
    struct Case {
        const char* name;
        const char* fault;
        const char* device;
        std::optional<unsigned> offset;
        uint64_t nth;
        const char* card;
        const char* slot;
        const char* problem;  // in a problem output of the insert; nullptr: every device started
        bool once = true;
    };
    const Case cases[] = {
        // One short read of the base class is read again: the card's bridge gets its bus filter
        // and its windows fit what sits behind it.
        {"one short read of the class", "config-read", "slot 2", 0x0b, 1, "bridge card", "slot 2",
         nullptr},
        // Every read of the base class short: the card's bridge stays unclassified, gets no bus
        // filter, and its windows stay too small for what sits behind it.
        {"every read of the class short", "config-read", "slot 2", 0x0b, 1, "bridge card",
         "slot 2", "02:01.0 processor not started: no room for 256 MB", false},
        {"requirements query failed", "lower-fail", "slot 1", std::nullopt, 2, "network card",
         "slot 1", "not started: the resource requirements query failed"},
        {"start failed", "lower-fail", "slot 1", std::nullopt, 3, "network card", "slot 1",
         "not started: start failed"},
        {"bus relations failed", "lower-fail", "1e.0", std::nullopt, 1, "network card", "slot 1",
         "00:1e.0 PCI-to-PCI bridge: bus relations failed"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        boot({.driverPath = HOTP_DRIVER_PATH});
        ASSERT_TRUE(m->apply(makeFail(c.fault, c.device, c.offset, c.once, c.nth)));
        ASSERT_TRUE(m->apply(makeEvent(EventKind::Insert, c.slot, c.card)));
        const auto problems = texts(machine::Output::Kind::Problem);
        if (c.once) {
            EXPECT_EQ(m->kernel().faults().failures(), 1u);
        } else {
            EXPECT_GE(m->kernel().faults().failures(), 2u);
        }
        bool found = false;
        for (const std::string& p : problems) {
            found = found || (c.problem != nullptr && p.find(c.problem) != std::string::npos);
        }
        EXPECT_EQ(found, c.problem != nullptr) << describe(problems);
        if (c.problem == nullptr) {
            EXPECT_TRUE(problems.empty()) << describe(problems);
        }
        EXPECT_TRUE(unexplained(*m).empty()) << describe(unexplained(*m));
        finish();
    }
}

}  // namespace
}  // namespace hotp::test
