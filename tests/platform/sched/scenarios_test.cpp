// The control of every verdict in docs/concurrency.md: each of its scenarios, under both
// contracts, explored without the driver. Whatever an exploration finds there is the platform's
// own, never the driver's, so it must find nothing.
#include <sched/explore.hpp>

#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <gtest/gtest.h>

namespace {

struct Control {
    const char* name;
    const char* scenario;  // in docs/concurrency/, or nullptr for the built-in one
    const char* machine;   // in docs/concurrency/, or nullptr for the built-in one
    bool pendAll;
};

const Control kControls[] = {
    {"R1TwoScans", "r1-two-scans.toml", "machine.toml", false},
    {"R2RestoreDuringScan", "r2-restore-during-scan.toml", "machine-one-spare.toml", false},
    {"R3BusScanningDriver", "r3-bus-scanning-driver.toml", "machine.toml", false},
    {"R4RelationsDuringRemoval", "r4-relations-during-removal.toml", "machine.toml", false},
    {"R5PowerUpDuringRemoval", "r5-power-up-during-removal.toml", "machine.toml", false},
    {"R6PostProgrammingBesideRelations", "r6-post-programming-beside-relations.toml", "machine.toml", false},
    {"R8ReadModifyWrite", "r8-read-modify-write.toml", "machine.toml", false},
    {"R9PendAll", nullptr, nullptr, true},
};

void PrintTo(const Control& row, std::ostream* out) { *out << row.name; }

class WithoutDriver
    : public ::testing::TestWithParam<std::tuple<Control, sched::Contract>> {};

TEST_P(WithoutDriver, FindsNothing)
{
    const auto& [row, contract] = GetParam();
    const std::string docs = HOTP_DOCS_DIR "/concurrency/";
    auto machine = row.machine != nullptr ? formats::loadMachine(docs + row.machine)
                                          : formats::Parsed<machine::MachineDesc>(formats::defaultMachine());
    auto scenario = row.scenario != nullptr
                        ? formats::loadScenario(docs + row.scenario)
                        : formats::Parsed<machine::ScenarioDesc>(formats::defaultScenario());
    ASSERT_TRUE(machine && scenario);
    machine::MachineOptions options;
    options.withDriver = false;
    options.pendAll = row.pendAll;
    const machine::MachineDesc& desc = machine.value();
    sched::MachineFactory make = [&] { return std::make_unique<machine::Machine>(desc, options, nullptr); };
    // A few schedules of each randomised search: enough for what the platform used to get wrong
    // within its first schedules, few enough for every test run.
    for (auto [strategy, schedules] : {std::pair{sched::Strategy::Pct, 8u}, {sched::Strategy::Random, 4u}}) {
        sched::ExploreOptions explore;
        explore.strategy = strategy;
        explore.schedules = schedules;
        explore.preemptions = 2;
        explore.contract = contract;
        explore.shrink = false;
        for (const auto& f : sched::explore(make, {}, scenario.value(), explore).findings) {
            ADD_FAILURE() << f.token << " " << f.finding.detector << ": " << f.finding.text;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Docs, WithoutDriver,
    ::testing::Combine(::testing::ValuesIn(kControls),
                       ::testing::Values(sched::Contract::W2k, sched::Contract::Documented)),
    [](const auto& param) {
        return std::string(std::get<0>(param.param).name) +
               (std::get<1>(param.param) == sched::Contract::W2k ? "W2k" : "Documented");
    });

}  // namespace
