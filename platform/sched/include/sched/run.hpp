// A machine played on simulated processors: boot and each group of scenario events that start at
// the same time run as kernel threads (the PnP manager's thread, one thread per power event, the
// DPC runner for pended completions, the scenario's configuration clients) under one scheduler,
// with detectors watching what concurrency can break.
#pragma once

#include <machine/machine.hpp>
#include <machine/scenario.hpp>

#include <nt/sched.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sched {

// What the PnP manager promises about the requests it sends.
enum class Contract {
    W2k,         // Windows 2000: one PnP request at a time, in the PnP manager's one thread
    Documented,  // only what the documented contract promises: serialised per device stack
};
const char* contractName(Contract contract);

struct Finding {
    std::string detector;  // race, misrouted, temporary-bus, conflict, child-list, verifier,
                           // end-state, deadlock
    std::string text;
};

struct RunConfig {
    unsigned cpus = 2;
    Contract contract = Contract::W2k;
    nt::Scheduler::Chooser chooser;  // empty: every thread runs until it blocks or ends
    bool watchMemory = true;         // the happens-before race detector
};

struct RunResult {
    std::vector<Finding> findings;
    uint64_t choices = 0;  // decisions with more than one thread ready
    bool allApplied = true;
    std::vector<std::string> endState;  // what must not depend on the schedule
};

// Boots the machine and plays the scenario on simulated processors. Under the Windows 2000
// contract the PnP events of one time run one after another in the PnP manager's thread; under
// the documented one each gets a thread of its own. Each power event has its own thread.
RunResult play(machine::Machine& m, const std::vector<machine::Event>& armed,
               const machine::ScenarioDesc& scenario, const RunConfig& config);

// The state a schedule must not change: the device tree with its resources and stacks, object
// addresses left out.
std::vector<std::string> endState(machine::Machine& m);

// The end-state finding of a scheduled run against the one-processor run's end state (nothing
// when they agree, or when there is no reference).
std::optional<Finding> compareEndState(const std::vector<std::string>& ended,
                                       const std::vector<std::string>& reference);

// The token of the schedule being played ("2w:15@3": its processors, contract and the
// deviations taken so far), so that a failure of the simulator itself in the middle of it can
// say which schedule to play again; empty when no schedule is being played.
const std::string& scheduleInProgress();

}  // namespace sched
