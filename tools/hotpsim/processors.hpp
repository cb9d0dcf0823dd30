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
// schedules were run. Exit status as hotpsim's: 0 nothing found, 1 findings.
// With `json`, one line of kind "exploration" instead (sched/verdict.hpp), which `hotpsim merge`
// reads back.
int runExploration(const ProcessorOptions& options, const machine::MachineDesc& machine,
                   const machine::ScenarioDesc& scenario, const std::vector<machine::Event>& armed,
                   const machine::MachineOptions& machineOptions, bool json = false);

// `hotpsim merge FILE...`: the exploration lines of the shards of one exploration (`-`: standard
// input) merged into the whole exploration's verdict, printed as one exploration prints it. Exit
// status 0 nothing found, 1 findings, 2 lines that do not make one exploration; a verdict with a
// shard missing or not run to its end says it is incomplete.
int runMerge(const std::vector<std::string>& files, bool json);

// The findings of a scheduled run, as lines for the verifier's section.
std::vector<std::string> describeFindings(const std::vector<sched::Finding>& findings);

}  // namespace hotpsim
