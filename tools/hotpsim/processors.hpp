// hotpsim on simulated processors: --cpus, --pnp-contract, --replay, and the exploration of a
// scenario's schedules (--explore, --schedules, --seed, --preemptions, --shard).
#pragma once

#include <machine/machine.hpp>
#include <sched/explore.hpp>

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace hotpsim {

struct ProcessorOptions {
    unsigned cpus = 1;
    std::string contract = "w2k";
    std::string explore;
    uint64_t schedules = 100;
    uint64_t seed = 1;
    unsigned preemptions = 2;
    std::string shard = "1/1";
    std::string replay;
    // Which of them were given, so that a value given and a default tell apart.
    CLI::Option* cpusGiven = nullptr;
    CLI::Option* contractGiven = nullptr;
    CLI::Option* schedulesGiven = nullptr;
    CLI::Option* seedGiven = nullptr;
    CLI::Option* preemptionsGiven = nullptr;
    CLI::Option* shardGiven = nullptr;

    // Set by check().
    sched::RunConfig run;
    sched::ExploreOptions exploration;
    // More than one processor: the scenario plays under the scheduler.
    bool scheduled() const { return cpus > 1 || !replay.empty(); }
};

void addProcessorOptions(CLI::App& app, ProcessorOptions& options);
// Checks the options together; a message for stderr when they do not fit.
std::optional<std::string> checkProcessorOptions(ProcessorOptions& options);

// Explores the scenario's schedules and prints what each finding is, with its token, and how many
// schedules were run. Exit status as hotpsim's: 0 nothing found, 1 findings. `report`, when
// given, receives what was found and the summary line.
// With `json`, one line of kind "exploration" instead (sched/verdict.hpp), which `hotpsim merge`
// reads back.
struct ExplorationReport {
    std::vector<sched::ExploreFinding> findings;
    std::string summary;
};
int runExploration(const ProcessorOptions& options, const machine::MachineDesc& machine,
                   const machine::ScenarioDesc& scenario, const std::vector<machine::Event>& armed,
                   const machine::MachineOptions& machineOptions, bool json = false,
                   ExplorationReport* report = nullptr);

// Plays the replay token's schedule once without output: nothing when every deviation it names
// was one the schedule could take, otherwise why it does not fit the scenario.
std::optional<std::string> checkReplay(const ProcessorOptions& options, const machine::MachineDesc& machine,
                                       const machine::ScenarioDesc& scenario,
                                       const std::vector<machine::Event>& armed,
                                       const machine::MachineOptions& machineOptions);

// The end state of the same machine and scenario on one processor, without output: what a
// scheduled run must end with.
std::vector<std::string> oneProcessorEndState(const machine::MachineDesc& machine,
                                              const machine::ScenarioDesc& scenario,
                                              const std::vector<machine::Event>& armed,
                                              const machine::MachineOptions& machineOptions);

// Where the simulator itself failed: the schedule being played when it did, for stderr. Exit
// status 3 says that the failure is hotpsim's, not a finding.
constexpr int kExitSimulatorFailed = 3;
void reportSimulatorFailure(const std::string& what);
// Reports a crash of the process (a fatal signal, a sanitizer's report) the same way.
void installCrashReport();

// `hotpsim merge FILE...`: the exploration lines of the shards of one exploration (`-`: standard
// input) merged into the whole exploration's verdict, printed as one exploration prints it. Exit
// status 0 nothing found, 1 findings, 2 lines that do not make one exploration; a verdict with a
// shard missing or not run to its end says it is incomplete.
int runMerge(const std::vector<std::string>& files, bool json);

// The findings of a scheduled run, as lines for the verifier's section.
std::vector<std::string> describeFindings(const std::vector<sched::Finding>& findings);

}  // namespace hotpsim
