// What hotpsim shows of a machine: configuration registers by name, the readable story of a run
// and its JSON events, the final state of every device, what the driver changed compared with a
// run without it, and the device stacks and device tree as a kernel debugger shows them.
#pragma once

#include <machine/machine.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace machine {

// --- configuration registers ---------------------------------------------------------------------

// The name of the register at `offset` of a header of `headerType` (bit 7 ignored; 0xFF when no
// function answered): "COMMAND", "BAR2", "SUBORDINATE", "PMCSR", or "+N" after the name for a
// byte inside a register.
std::string registerName(uint8_t headerType, unsigned offset);
// A write as the registers it covers saw it: "COMMAND 0x0000 -> 0x0007",
// "PRIMARY 00 -> 01, SECONDARY 00 -> 02, SUBORDINATE 00 -> 02"; with the value written where a
// register kept fewer of its bits: "COMMAND 0x0000 -> 0x0147 (wrote 0x03ff)".
std::string describeWrite(uint8_t headerType, unsigned offset, unsigned length, uint32_t before,
                          uint32_t after, std::optional<uint32_t> written = std::nullopt);
// A BAR as its readback after all ones were written says: "io 32", "mem32 prefetchable 16M",
// "mem64 256M"; nullopt for an unimplemented BAR. `upper` is the next register's readback for a
// 64-bit BAR.
std::optional<std::string> describeBarSize(uint32_t readback, std::optional<uint32_t> upper);

// Who made a configuration cycle, as --json writes it and as the story says it.
const char* actorKey(pci::Actor who, bool driverLoaded);
const char* actorName(const std::string& key);

// A requirements list as JSON descriptors: {"type", "flags", "length", "alignment", "minimum",
// "maximum", "option"}, every alternative list one after another (field "list").
nlohmann::ordered_json requirementsJson(const std::vector<uint8_t>& bytes);

// --- the story and the JSON events ----------------------------------------------------------------

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

// One --json line: {"kind": ..., then the output's fields}.
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

std::vector<DeviceState> snapshot(Machine& machine);

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
// Plays the machine and the scenario once more without the driver, silently, and returns how every
// device ends.
std::vector<DeviceState> playWithoutDriver(const MachineDesc& description,
                                           const ScenarioDesc& scenario, MachineOptions options);

// --- views --------------------------------------------------------------------------------------------

// Every device's stack as `!devstack <pdo>` shows it: top first, the PDO marked with '>', each
// object's driver and extension, then its device node's instance path and service.
std::vector<std::string> devstackView(Machine& machine);
// The device tree as `!devnode 0 1` shows it: each node with its PDO, instance path, service,
// state, flags and problem, children indented below.
std::vector<std::string> devnodeView(Machine& machine);
// The final tree as --json "device" events.
std::vector<nlohmann::ordered_json> deviceRecords(Machine& machine);

}  // namespace machine
