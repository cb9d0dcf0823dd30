// Exploring the schedules of a scenario: random choices, probabilistic concurrency testing (PCT)
// or every schedule with at most K deviations from the one where no thread interferes. Each
// schedule is a fresh machine; each finding comes with a token that plays its schedule again,
// shrunk to the fewest deviations that still show it. Any exploration splits into shards that
// add up exactly to the whole.
#pragma once

#include <sched/run.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace sched {

// One decision taken otherwise than the scheduler would have without interference: at the
// `choice`th decision with more than one ready thread, thread `thread` makes the step.
struct Deviation {
    uint64_t choice = 0;
    int thread = 0;
    bool operator==(const Deviation&) const = default;
};

// A schedule, replayable on the same machine, scenario and options: "2w:15@3,40@1" is two
// processors, the Windows 2000 contract and two deviations.
struct Token {
    unsigned cpus = 2;
    Contract contract = Contract::W2k;
    std::vector<Deviation> deviations;
};
std::string encodeToken(const Token& token);
std::optional<Token> decodeToken(const std::string& text, std::string& error);

// Follows a token's deviations and otherwise lets the running thread go on.
nt::Scheduler::Chooser replayChooser(const Token& token);

enum class Strategy { Random, Pct, Bounded };

struct ExploreOptions {
    Strategy strategy = Strategy::Random;
    uint64_t schedules = 100;  // at most this many (bounded: stops early, incomplete)
    uint64_t seed = 1;
    unsigned preemptions = 2;  // bounded: deviations per schedule; PCT: priority change points
    unsigned shard = 1, shards = 1;
    unsigned cpus = 2;
    Contract contract = Contract::W2k;
    bool shrink = true;
    std::string stopAt;  // a detector: stop once it has found something ("any": any detector)
};

struct ExploreFinding {
    Finding finding;
    std::string token;          // shrunk
    uint64_t schedule = 0;      // the schedule that first showed it
    size_t deviations = 0;      // in the shrunk token
    std::vector<Deviation> shown;  // that schedule's deviations, unshrunk
};

struct ExploreReport {
    uint64_t schedules = 0;     // run by this shard
    bool complete = false;      // every schedule (bounded: within the bound) was run
    std::vector<ExploreFinding> findings;
};

// One schedule an exploration ran: its place in the exploration's order (random and PCT: the
// schedule's number, the same in every shard; bounded: this shard's count) and its deviations.
struct ScheduleRun {
    uint64_t index = 0;
    std::vector<Deviation> deviations;
};

// What makes two findings the same across schedules (the addresses of objects left out).
std::string findingKey(const Finding& finding);

// A fresh machine per schedule, with no output.
using MachineFactory = std::function<std::unique_ptr<machine::Machine>()>;

// The one-processor run's end state, then the schedules. `progress` hears of each finding.
ExploreReport explore(const MachineFactory& make, const std::vector<machine::Event>& armed,
                      const machine::ScenarioDesc& scenario, const ExploreOptions& options,
                      const std::function<void(const ExploreFinding&)>& progress = {},
                      const std::function<void(const ScheduleRun&)>& ran = {});

// The one-processor path (no scheduler), as hotpsim runs without --cpus, then its end state.
std::vector<std::string> playOneProcessor(machine::Machine& m, const std::vector<machine::Event>& armed,
                                          const machine::ScenarioDesc& scenario);

// What the run found, with the teardown's verifier findings and the end state compared.
std::vector<Finding> judge(machine::Machine& m, RunResult& result,
                           const std::vector<std::string>& reference);

}  // namespace sched
