// The faults the explorer must find: one row per detector, each a fault that no schedule without
// deviations shows (a filter of planted_driver.cpp, or another driver's read-modify-write). Each
// row names the modes that must find it within a number of schedules; the token of what they
// found plays it again, and has at most two deviations.
#include <sched/explore.hpp>

#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <gtest/gtest.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

#include <algorithm>
#include <string>
#include <vector>

namespace {

// A card inserted behind the hot-plug bridge (the PnP manager's thread, a long one, goes through
// the planted filter's phases) beside a power request for the display controller (a short one).
constexpr const char* kInsertBesidePower = R"(
name = "insert beside a power request"
[[event]]
at = "100ms"
insert = "network card"
slot = "slot 1"
[[event]]
at = "100ms"
power = "D3"
device = "01.0"
)";

// Two power requests and another driver's read-modify-write of the display controller's power
// state register: the client must read before the first request's write and write back after
// it, two deviations, the first of them to the third of three threads.
constexpr const char* kPowerBesideReadModifyWrite = R"(
name = "power requests beside a read-modify-write"
[[event]]
at = "100ms"
power = "D3"
device = "01.0"
[[event]]
at = "100ms"
power = "D3"
device = "02.0"
[[client]]
at = "100ms"
poll = "01.0"
offset = 0x44
reads = 1
write_back = true
)";

struct Mode {
    sched::Strategy strategy;
    unsigned preemptions;
    uint64_t within;  // schedules
};

struct Row {
    const char* name;
    const char* driver;  // planted_<driver>; nullptr: no filter
    const char* scenario;
    const char* detector;
    const char* needs;   // what the schedule needs, for the reader
    std::vector<Mode> modes;
};

constexpr auto kRandom = sched::Strategy::Random;
constexpr auto kPct = sched::Strategy::Pct;
constexpr auto kBounded = sched::Strategy::Bounded;

const Row kRows[] = {
    {"race", "race", kInsertBesidePower, "race", "the short thread late",
     {{kRandom, 2, 50}, {kPct, 2, 50}, {kBounded, 1, 200}}},
    {"deadlock", "deadlock", kInsertBesidePower, "deadlock", "a preemption at one exact step",
     {{kRandom, 2, 100}, {kPct, 1, 100}, {kBounded, 1, 200}}},
    {"verifier", "verifier", kInsertBesidePower, "verifier", "the short thread mid-way",
     {{kRandom, 2, 50}, {kPct, 2, 50}, {kBounded, 1, 200}}},
    {"teardown", "teardown", kInsertBesidePower, "teardown", "the short thread late",
     {{kRandom, 2, 50}, {kPct, 2, 50}, {kBounded, 1, 200}}},
    {"end-state", "end-state", kInsertBesidePower, "end-state", "the short thread late",
     {{kRandom, 2, 50}, {kPct, 2, 50}, {kBounded, 1, 200}}},
    {"child-list", "child-list", kInsertBesidePower, "child-list", "the short thread late",
     {{kRandom, 2, 50}, {kPct, 2, 50}, {kBounded, 1, 200}}},
    // Bounded to one deviation, complete in 46 schedules, finds nothing here.
    {"lost-write", nullptr, kPowerBesideReadModifyWrite, "lost-write",
     "two deviations, the first to the third thread",
     {{kRandom, 2, 200}, {kPct, 2, 100}, {kBounded, 2, 100}}},
};

sched::MachineFactory factory(const Row& row)
{
    return [driver = row.driver] {
        machine::MachineOptions options;
        options.withDriver = driver != nullptr;
        if (driver != nullptr) {
            options.driverPath = std::string(HOTP_PLANTED_DIR) + "/planted_" + driver + ".so";
        }
        return std::make_unique<machine::Machine>(formats::defaultMachine(), options, nullptr);
    };
}

const char* modeName(const Mode& mode)
{
    return mode.strategy == kRandom ? "random" : mode.strategy == kPct ? "pct" : "bounded";
}

class PlantedFaults : public testing::TestWithParam<Row> {};

TEST_P(PlantedFaults, FoundInTimeReplayedAndShrunk)
{
    const Row& row = GetParam();
    auto parsed = formats::parseScenario(row.scenario, "planted.toml");
    ASSERT_TRUE(parsed) << parsed.errors().front();
    const machine::ScenarioDesc scenario = parsed.value();
    const sched::MachineFactory make = factory(row);
    std::vector<std::string> reference;
    {
        auto one = make();
        reference = sched::playOneProcessor(*one, {}, scenario);
    }
    // The schedule without deviations shows nothing.
    {
        auto m = make();
        sched::RunResult result = sched::play(*m, {}, scenario, sched::RunConfig{});
        for (const auto& f : sched::judge(*m, result, reference)) {
            ADD_FAILURE() << "without deviations: " << f.detector << ": " << f.text;
        }
    }
    for (const Mode& mode : row.modes) {
        SCOPED_TRACE(std::string(modeName(mode)) + ", needs " + row.needs);
        sched::ExploreOptions options;
        options.strategy = mode.strategy;
        options.preemptions = mode.preemptions;
        options.schedules = mode.within;
        options.stopAt = row.detector;
        const sched::ExploreReport report = sched::explore(make, {}, scenario, options);
        auto found = std::find_if(report.findings.begin(), report.findings.end(),
                                  [&](const auto& f) { return f.finding.detector == row.detector; });
        if (found == report.findings.end()) {
            ADD_FAILURE() << "not found in " << report.schedules << " schedules";
            continue;
        }
        EXPECT_LE(found->deviations, 2u) << found->token;

        // The token plays the same finding again.
        std::string error;
        auto token = sched::decodeToken(found->token, error);
        if (!token) {
            ADD_FAILURE() << error;
            continue;
        }
        auto m = make();
        sched::RunConfig config;
        config.chooser = sched::replayChooser(*token);
        // A deadlocked replay abandons its threads, and what their stacks held with them.
        const bool abandons = std::string(row.detector) == "deadlock";
#if defined(__SANITIZE_ADDRESS__)
        if (abandons) __lsan_disable();
#endif
        sched::RunResult replayed = sched::play(*m, {}, scenario, config);
#if defined(__SANITIZE_ADDRESS__)
        if (abandons) __lsan_enable();
#endif
        (void)abandons;
        const auto again = sched::judge(*m, replayed, reference);
        // Object addresses apart: the replay's machine is a fresh one.
        const bool same = std::any_of(again.begin(), again.end(), [&](const auto& f) {
            return sched::findingKey(f) == sched::findingKey(found->finding);
        });
        EXPECT_TRUE(same) << found->token << ": " << found->finding.text;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, PlantedFaults, testing::ValuesIn(kRows),
                         [](const testing::TestParamInfo<Row>& row) {
                             std::string name = row.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

}  // namespace
