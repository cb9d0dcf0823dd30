// The scheduler of the simulated processors as explorations see it: tokens, a scenario played on
// two processors against the one-processor run, determinism and shards, and a deliberately racy
// driver caught within a small bound and played again from its token, and its locked build not.
#include <sched/explore.hpp>

#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

machine::ScenarioDesc scenario(const char* text)
{
    auto parsed = formats::parseScenario(text, "test.toml");
    EXPECT_TRUE(parsed) << (parsed ? "" : parsed.errors().front());
    return parsed.value();
}

sched::MachineFactory factory(std::string driver)
{
    return [driver] {
        machine::MachineOptions options;
        options.driverPath = driver;
        return std::make_unique<machine::Machine>(formats::defaultMachine(), options, nullptr);
    };
}

// Two power requests at the same time, on two devices of the root bus.
constexpr const char* kTwoPowerRequests = R"(
name = "two devices to D3 at once"
[[event]]
at = "100ms"
power = "D3"
device = "01.0"
[[event]]
at = "100ms"
power = "D3"
device = "02.0"
)";

TEST(Tokens, RoundTripAndRefusals)
{
    struct Row {
        const char* text;
        bool valid;
    };
    const Row rows[] = {
        {"2w:", true},          {"2d:15@3,40@1", true}, {"64w:0@0", true},
        {"1w:", false},         {"2x:", false},         {"2w:40@1,15@3", false},
        {"2w:15@", false},      {"", false},
    };
    for (const Row& row : rows) {
        std::string error;
        auto token = sched::decodeToken(row.text, error);
        EXPECT_EQ(token.has_value(), row.valid) << row.text;
        if (token) {
            EXPECT_EQ(sched::encodeToken(*token), row.text);
        } else {
            EXPECT_FALSE(error.empty()) << row.text;
        }
    }
}

// The built-in scenario on two processors with no thread interfering ends as it does on one,
// with nothing found.
TEST(Schedules, BuiltInScenarioOnTwoProcessorsMatchesOne)
{
    auto make = factory(HOTP_DRIVER_PATH);
    const machine::ScenarioDesc s = formats::defaultScenario();
    std::vector<std::string> reference;
    {
        auto one = make();
        reference = sched::playOneProcessor(*one, {}, s);
    }
    auto two = make();
    sched::RunResult result = sched::play(*two, {}, s, sched::RunConfig{});
    EXPECT_TRUE(result.allApplied);
    EXPECT_EQ(result.endState, reference);
    const auto findings = sched::judge(*two, result, reference);
    for (const auto& f : findings) ADD_FAILURE() << f.detector << ": " << f.text;
}

// Shards run the whole exploration's schedules, each in exactly one shard (random and PCT by
// number, bounded by deviations); no exploration runs a schedule twice.
TEST(Schedules, DeterministicForASeedAndShardsPartitionTheWhole)
{
    auto make = factory(HOTP_DRIVER_PATH);
    const machine::ScenarioDesc s = scenario(kTwoPowerRequests);
    for (sched::Strategy strategy : {sched::Strategy::Random, sched::Strategy::Pct, sched::Strategy::Bounded}) {
        SCOPED_TRACE(static_cast<int>(strategy));
        const bool bounded = strategy == sched::Strategy::Bounded;
        sched::ExploreOptions options;
        options.strategy = strategy;
        options.schedules = bounded ? UINT64_MAX : 30;
        options.preemptions = 1;
        options.seed = 3;
        using Key = std::pair<uint64_t, std::string>;
        auto keyOf = [&](const sched::ScheduleRun& run) {
            return bounded ? Key{0, sched::encodeToken({2, sched::Contract::W2k, run.deviations})}
                           : Key{run.index, ""};
        };
        std::vector<Key> whole;
        std::set<std::string> distinct;
        const sched::ExploreReport all = sched::explore(make, {}, s, options, {}, [&](const sched::ScheduleRun& run) {
            whole.push_back(keyOf(run));
            distinct.insert(sched::encodeToken({2, sched::Contract::W2k, run.deviations}));
        });
        EXPECT_EQ(distinct.size(), whole.size());
        const sched::ExploreReport again = sched::explore(make, {}, s, options);
        ASSERT_EQ(all.findings.size(), again.findings.size());
        for (size_t i = 0; i < all.findings.size(); ++i) {
            EXPECT_EQ(all.findings[i].token, again.findings[i].token);
        }
        if (bounded) {
            EXPECT_TRUE(all.complete);
            EXPECT_GT(all.schedules, 1u);
        }
        std::vector<Key> shards;
        for (unsigned k = 1; k <= 3; ++k) {
            options.shard = k;
            options.shards = 3;
            sched::explore(make, {}, s, options, {}, [&](const sched::ScheduleRun& run) {
                shards.push_back(keyOf(run));
            });
        }
        std::sort(whole.begin(), whole.end());
        std::sort(shards.begin(), shards.end());
        EXPECT_EQ(shards, whole);
    }
}

TEST(Schedules, RacyDriverCaughtWithinBoundTwoAndReplayedLockedOneNot)
{
    auto make = factory(HOTP_RACY_DRIVER_PATH);
    const machine::ScenarioDesc s = scenario(kTwoPowerRequests);
    sched::ExploreOptions options;
    options.strategy = sched::Strategy::Bounded;
    options.schedules = UINT64_MAX;
    options.preemptions = 2;
    const sched::ExploreReport report = sched::explore(make, {}, s, options);
    auto race = std::find_if(report.findings.begin(), report.findings.end(), [](const auto& f) {
        return f.finding.detector == "race" &&
               f.finding.text.find("RacyPowerRequests") != std::string::npos;
    });
    ASSERT_NE(race, report.findings.end());
    EXPECT_LE(race->deviations, 2u);

    // The token plays that schedule again, and the race is there again.
    std::string error;
    auto token = sched::decodeToken(race->token, error);
    ASSERT_TRUE(token) << error;
    auto m = make();
    sched::RunConfig config;
    config.chooser = sched::replayChooser(*token);
    sched::RunResult replayed = sched::play(*m, {}, s, config);
    const bool again = std::any_of(replayed.findings.begin(), replayed.findings.end(),
                                   [&](const auto& f) { return f.text == race->finding.text; });
    EXPECT_TRUE(again) << race->finding.text;
    m->shutdown();

    // The count under a spin lock, and another kept with an interlocked routine: nothing found.
    const auto locked = sched::explore(factory(HOTP_LOCKED_DRIVER_PATH), {}, s, options);
    for (const auto& f : locked.findings) ADD_FAILURE() << f.token << " " << f.finding.text;
}

}  // namespace
