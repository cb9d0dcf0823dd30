// What hotpsim shows of a machine: the readable story of a run and its JSON events, the final
// tree, the final state of every device and what the driver changed compared with a run without
// it, the device stacks and device tree as a kernel debugger shows them, and the replug
// comparison.
#pragma once

#include <formats/replug_plan.hpp>
#include <machine/machine.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hotpsim {

using machine::Machine;
using machine::Output;

// --- the story and the JSON events ----------------------------------------------------------------

// Who made a configuration cycle, as the story says it, from the event's "who" field.
const char* actorName(const std::string& key);

// Turns outputs into readable lines. Configuration writes say who made them and what each register
// held before and after; the BAR sizing of one function by one caller folds into one line.
class Story {
public:
    struct Options {
        bool configWrites = true;  // false: leave configuration writes out (bus numbers stay)
        bool reads = false;        // configuration reads too
    };
    explicit Story(Options options) : options_(options) {}

    // The lines to print now for one output (a folded sizing waits for the next output).
    std::vector<std::string> add(const Output& out);
    // What is still held back, at the end of the run.
    std::vector<std::string> finish();

private:
    std::vector<std::string> addUnmarked(const Output& out);
    struct Sizing {
        struct Bar {
            unsigned offset;
            uint32_t readback, original;
        };
        std::string who, bdf;
        std::vector<Bar> bars;
        std::optional<Bar> rom;  // the expansion ROM BAR, sized the same way
    };
    bool foldIntoSizing(const Output& out);
    std::vector<std::string> flushSizing();

    Options options_;
    std::optional<Sizing> sizing_;
};

// What a configuration write changed, as the registers it covers saw it ("COMMAND 0x0000 ->
// 0x0007"); empty for a write no function answered and for any other output.
std::string changeText(const Output& out);

// One --json line: {"kind": ..., then the output's fields}; a configuration write's "change"
// follows its "claimed".
nlohmann::ordered_json toJson(const Output& out);

// --- final state and what the driver changed --------------------------------------------------------

// A device at the end of a run, as far as a comparison of two runs cares.
struct DeviceState {
    std::string bdf;  // empty for the root bus device
    std::string name;
    bool bridge = false;
    std::string state;   // "started", "not started", "removed", "enumerated"
    std::string reason;  // why it is not started
    std::string resources;  // assigned ranges ("io 3000-3fff, mem f0100000-f01fffff")
    std::optional<unsigned> command, latencyTimer, cacheLineSize;
};

// How every device ends, read straight from the hardware and the device tree.
std::vector<DeviceState> finalStates(Machine& machine);

// One way in which a device ends differently with the driver than without it.
struct Difference {
    std::string bdf, name;
    std::string what;     // "state", "windows", "resources", "command", "latency timer",
                          // "cache line size", "presence"
    std::string with, without;
};

// Devices are matched by location; one present in only one run differs in presence.
std::vector<Difference> compareRuns(const std::vector<DeviceState>& with,
                                    const std::vector<DeviceState>& without);
// The summary's lines: each device that ends differently, then one line per difference.
std::vector<std::string> describeChanges(const std::vector<Difference>& changes);
// Plays the machine and the scenario once more without the driver, silently, and returns how every
// device ends.
std::vector<DeviceState> playWithoutDriver(const machine::MachineDesc& description,
                                           const machine::ScenarioDesc& scenario,
                                           machine::MachineOptions options);

// --- the tree and the debugger's views --------------------------------------------------------------------------------------------

// The PCI tree with each device's state, its resources and its stack of device objects.
std::vector<std::string> treeView(Machine& machine);
// Every device's stack as `!devstack <pdo>` shows it: top first, the PDO marked with '>', each
// object's driver and extension, then its device node's instance path and service.
std::vector<std::string> devstackView(Machine& machine);
// The device tree as `!devnode 0 1` shows it: each node with its PDO, instance path, service,
// state, flags and problem, children indented below.
std::vector<std::string> devnodeView(Machine& machine);
// The final tree as --json "device" events.
std::vector<nlohmann::ordered_json> deviceRecords(Machine& machine);

// --- the replug comparison ---------------------------------------------------------------------------

// After the plan's scenario has played: per bridge of the card, the captured windows beside the
// driver's filtered requirements and what was assigned, and whether what is behind it started.
std::vector<std::string> compareReplug(Machine& machine, const formats::ReplugPlan& plan);

}  // namespace hotpsim
