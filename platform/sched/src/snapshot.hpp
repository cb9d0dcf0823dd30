// Schedules played from a copy of one machine. The machine is built, its driver loaded, booted
// and played up to the scenario's first decision once; there the process forks for each
// schedule, and the copy plays its schedule from that decision to the end, judges it and reports
// back through shared memory. What comes before the first decision is the same in every schedule,
// so a copy made there is the fresh machine each schedule would otherwise build, load and boot.
#pragma once

#include <sched/explore.hpp>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace sched::detail {

struct Played {
    std::vector<Finding> findings;
    uint64_t choices = 0;
};

class Snapshot {
public:
    // `judgeAgainst`: the one-processor end state the copies' end states are compared with.
    Snapshot(const MachineFactory& make, const std::vector<machine::Event>& armed,
             const machine::ScenarioDesc& scenario, RunConfig config,
             std::vector<std::string> judgeAgainst);
    ~Snapshot();
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;

    // Plays one schedule with `chooser`. The chooser runs in the copy: what it records is sent
    // back by `save` (called in the copy once the schedule has ended, its output appended to the
    // report) and read back by `load` (in this process, from the same bytes).
    Played play(const nt::Scheduler::Chooser& chooser,
                const std::function<void(std::string&)>& save,
                const std::function<void(const char*&, const char*)>& load);

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace sched::detail
