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

// After the plan's scenario has played: each function of the card with its captured BARs beside
// what it was assigned, and per bridge of the card the captured windows beside the driver's
// filtered requirements and what was assigned, and whether what is behind it started. The text
// and the HTML page are both written from these records, so a field added here is shown by both.
struct ReplugFunctionRow {
    std::string where, now;  // as captured, and where it is now ("01:00.0")
    bool inTree = false;     // the replugged function has a device node
    std::string state;       // "started", or "not started: why"
    std::vector<std::string> captured;  // "mem f0000000-f0000fff", one per assigned BAR
    std::vector<pnp::Range> assigned;
};

struct ReplugBridgeRow {
    std::string where, now;
    machine::Window io, memory, prefetchable;  // as captured
    bool inTree = false;
    // What the filtered requirements ask for, by kind (the largest length of each); `asked` is
    // false when nothing was filtered.
    bool asked = false;
    uint64_t askedIo = 0, askedMemory = 0, askedPrefetchable = 0;
    // " (granted the alternative 288M)" where arbitration fell back to an alternative.
    std::string grantedIo, grantedMemory, grantedPrefetchable;
    std::vector<pnp::Range> assigned;
    unsigned behind = 0;            // devices behind the bridge, removed ones left out
    std::vector<std::string> down;  // "name: why" of those not started, the bridge itself first
};

// A CardBus bridge of the card: its socket windows as captured and as its registers hold them after.
struct ReplugCardBusRow {
    std::string where, now;
    std::string captured;
    bool inMachine = false;
    std::string after;
};

struct ReplugComparison {
    std::vector<ReplugFunctionRow> functions;
    std::vector<ReplugBridgeRow> bridges;
    std::vector<ReplugCardBusRow> cardBuses;
};

ReplugComparison replugComparison(Machine& machine, const formats::ReplugPlan& plan);
// The comparison's lines, as the story prints them.
std::vector<std::string> describeReplug(const ReplugComparison& comparison);
// Both at once.
std::vector<std::string> compareReplug(Machine& machine, const formats::ReplugPlan& plan);
// What a bridge's filtered requirements ask for, by kind, and where arbitration fell back to an
// alternative, what it granted instead: "io 4K, memory 1M, prefetchable 512M (granted the
// alternative 288M)".
std::string askedFor(const pnp::DeviceNode& node);
// "io 3000-3fff (4K), prefetchable ...", or "nothing": assigned ranges as the comparison says them.
std::string assignedText(const std::vector<pnp::Range>& ranges);

// --- the HTML page -----------------------------------------------------------------------------------

// One bus as its address map shows it: the windows it forwards (the root's address space, or what
// its bridge was assigned) and the ranges each device on it decodes.
struct BusMap {
    unsigned number = 0;  // the bus number
    std::string bridge;   // "00:1e.0" of the bridge that owns the bus; empty for a root bus
    std::string name;     // the bus device's name
    std::vector<pnp::Range> windows;
    struct Device {
        std::string bdf, name;
        bool bridge = false;  // its ranges are the windows of the bus behind it
        std::vector<pnp::Range> ranges;
    };
    std::vector<Device> devices;
};

// Every bus of the final machine, roots first, then depth first.
std::vector<BusMap> busMaps(Machine& machine);

// What a schedule of --explore found, with the outputs of its replay (each marked with its
// processor and thread), for its lanes.
struct HtmlFinding {
    std::string detector, text, token;
    std::vector<Output> outputs;
};

// One self-contained HTML page of a run (inline SVG and CSS, nothing fetched): the tree, an address
// map per bus, the replug comparison, the story as a timeline with each device's configuration
// writes folded under it, and for an exploration each finding with its schedule as one lane per
// thread. Fed as the run goes; written at its end.
class HtmlPage {
public:
    explicit HtmlPage(Story::Options options) : options_(options) {}

    void setHeader(std::vector<std::string> lines) { header_ = std::move(lines); }
    // The story, one output at a time.
    void add(const Output& out);
    // The final tree and the address maps, read before the machine shuts down.
    void setFinal(Machine& machine, std::string title = "final state");
    void setReplug(std::string bdf, ReplugComparison comparison)
    {
        replugBdf_ = std::move(bdf);
        replug_ = std::move(comparison);
    }
    void setVerdict(std::vector<std::string> problems) { verdict_ = std::move(problems); }
    void setChanges(std::vector<Difference> changes) { changes_ = std::move(changes); }
    void addFinding(HtmlFinding finding) { findings_.push_back(std::move(finding)); }
    size_t findings() const { return findings_.size(); }
    void setSummary(std::string summary) { summary_ = std::move(summary); }

    // The page; the story's held-back lines are let out first.
    std::string write();

private:
    // One event of the story: its heading, the lines that are not configuration cycles, and per
    // device the configuration cycles made while it played, folded as the story folds them.
    struct Step {
        std::string heading;
        std::vector<std::string> lines;
        struct Device {
            std::string bdf;
            Story story;
            std::vector<std::string> lines;
        };
        std::vector<Device> devices;
    };
    Step& current();
    void flushDevices(Step& step);

    Story::Options options_;
    std::vector<std::string> header_;
    std::vector<Step> steps_;
    std::optional<Story> events_;
    std::string finalTitle_;
    std::vector<nlohmann::ordered_json> tree_;
    std::vector<BusMap> maps_;
    std::string replugBdf_;
    std::optional<ReplugComparison> replug_;
    std::optional<std::vector<std::string>> verdict_;
    std::optional<std::vector<Difference>> changes_;
    std::vector<HtmlFinding> findings_;
    std::string summary_;
};

}  // namespace hotpsim
