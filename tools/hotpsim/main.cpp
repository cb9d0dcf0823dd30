// hotpsim: boots a simulated machine with the hotpflt driver on its PCI root bus, plays a scenario
// of hot-plug and power events, and shows what the driver did: the story of the run (or one JSON
// object per event), the final device tree, and what the driver changed compared with the same run
// without it.
#include "options.hpp"
#include "processors.hpp"
#include "views/views.hpp"

#include <formats/files.hpp>
#include <formats/generator.hpp>
#include <formats/lspci_dump.hpp>
#include <formats/machine_file.hpp>
#include <formats/machine_writer.hpp>
#include <formats/replug_plan.hpp>
#include <formats/scenario_file.hpp>
#include <formats/snapshot.hpp>
#include <machine/machine.hpp>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

// Exit status, as --help and the README document it.
constexpr int kExitSuccess = 0;
constexpr int kExitBroken = 1;    // the scenario played, but something broke
constexpr int kExitBadInput = 2;  // options or files

constexpr const char* kExitHelp =
    "Exit status:\n"
    "  0  success: the scenario played, the verifier is clean\n"
    "  1  the scenario played but something broke: a verifier violation or leak, a bus-number\n"
    "     conflict, or an event that could not be applied\n"
    "  2  bad input: an unknown or malformed option, a missing or malformed machine or scenario\n"
    "     file, a driver that cannot be loaded, options that do not fit together\n"
    "  3  the simulator itself failed (a crash or an internal error): a fault of hotpsim, not a\n"
    "     finding; stderr names the schedule being played, which --replay plays again";

constexpr const char* kImportExitHelp =
    "Exit status:\n"
    "  0  the machine file was written (what was guessed or left out is on standard error)\n"
    "  2  bad input: an unknown or malformed option, a snapshot that cannot be read or holds\n"
    "     nothing usable, an output file that cannot be written";

struct Options {
    std::string machineFile;
    std::string generate;
    std::string scenarioFile;
    std::string lspciDump;
    std::string driverPath = HOTP_DRIVER_PATH;
    std::string view = "story";
    ULONG traceLevel = 0;
    ULONG breakLevel = 0;
    bool noFilter = false;
    bool json = false;
    bool quietConfig = false;
    bool showReads = false;
    bool pendAll = false;
    bool allRequirements = false;
    std::string replug;  // BB:DD.F of a card to pull out and hot add again
    std::string html;    // the page to write beside the story
    std::vector<std::string> fails;
    hotpsim::ProcessorOptions processors;
};

void addOptions(CLI::App& app, Options& options)
{
    // The machine and scenario readers check their files themselves ("file: message").
    app.add_option("--machine", options.machineFile,
                   "machine file (TOML); default: the built-in machine");
    app.add_option("--generate", options.generate,
                   "a generated machine instead: width=N,depth=N,buses=N (functions per bus, "
                   "deepest bridge nesting, bus numbers used)")
        ->excludes("--machine");
    app.add_option("--scenario", options.scenarioFile,
                   "scenario file (TOML); default: the built-in scenario on the built-in or a "
                   "generated machine, boot only on a machine file");
    app.add_option("--trace-level", options.traceLevel,
                   "set HotpDebugPrintLevel as a kernel debugger would (0-4)");
    app.add_option("--break-level", options.breakLevel,
                   "set HotpDebugBreakLevel; each breakpoint is shown where it hit, not stopped at");
    app.add_flag("--no-filter", options.noFilter,
                 "run the same machine without the driver, alone (no comparison)");
    auto* json = app.add_flag("--json", options.json,
                              "one JSON object per event, for tools (docs/hotpsim-events.md)");
    app.add_flag("--pend-all", options.pendAll,
                 "the PCI bus driver pends every request and completes it later");
    app.add_flag("--all-requirements", options.allRequirements,
                 "report every requirement list after filtering, the kept ones too");
    app.add_flag("--no-config-writes", options.quietConfig,
                 "leave configuration writes out of the story (bus-number writes stay)");
    app.add_flag("--show-reads", options.showReads, "show configuration reads too");
    app.add_option("--view", options.view,
                   "what to show of the final machine: story (the run, the device tree and what "
                   "the driver changed), devstack (every stack as !devstack shows it) or devnode "
                   "(the device tree as !devnode 0 1 shows it)")
        ->check(CLI::IsMember({"story", "devstack", "devnode"}))
        ->excludes(json);
    app.add_option("--lspci-dump", options.lspciDump,
                   "write the final configuration space of every function as `lspci -xxx` "
                   "prints it (decode with `lspci -F FILE -vv`)");
    std::string faultNames;
    for (const machine::FaultName& f : machine::faultNames()) {
        faultNames += std::string("\n    ") + f.name + ": " + f.what;
    }
    app.add_option("--fail", options.fails,
                   "NAME[:N][+][@DEVICE][#OFFSET]: from boot on, the Nth use (default 1) of a "
                   "call fails, with + every use after it too; @DEVICE counts only uses for that "
                   "function or slot (a location as in scenario files), #OFFSET only "
                   "configuration transfers covering that byte; repeatable "
                   "(docs/machine-file.md). Names:" + faultNames);
    app.add_option("--driver", options.driverPath, "driver module to load")
        ->check(CLI::ExistingFile);
    app.add_option("--replug", options.replug,
                   "boot the machine, pull out the card at BB:DD.F (its bus numbers as the "
                   "machine file's configuration bytes give them) and hot add it again, then show "
                   "its bridges' captured windows beside the driver's");
    app.add_option("--html", options.html,
                   "also write one self-contained HTML page of the run: the tree, an address map "
                   "per bus, the replug comparison, the story as a timeline and, with --explore, "
                   "each finding's schedule as one lane per thread");
    hotpsim::addProcessorOptions(app, options.processors);
    app.footer(kExitHelp);
}

// "--fail NAME[:N][+][@DEVICE][#OFFSET]": the Nth use of the named call fails (the first when N
// is left out), and with "+" every use after it too; only uses for DEVICE count, and of
// configuration transfers only those covering OFFSET. Armed before boot.
std::optional<machine::Event> parseFail(const std::string& whole, const machine::MachineDesc& desc,
                                        std::string& error)
{
    machine::Event e;
    e.kind = machine::EventKind::Fail;
    std::string text = whole;
    // The offset last, then the device (a location holds ':' and '.', never '#' or '@').
    const size_t hash = text.find('#');
    std::optional<std::string> offset;
    if (hash != std::string::npos) {
        offset = text.substr(hash + 1);
        text.resize(hash);
    }
    const size_t at = text.find('@');
    std::optional<std::string> where;
    if (at != std::string::npos) {
        where = text.substr(at + 1);
        text.resize(at);
    }
    const size_t colon = text.find(':');
    e.fault = text.substr(0, colon);
    const machine::FaultName* fault = machine::findFaultName(e.fault);
    if (fault == nullptr && e.fault != "none") {
        error = "'" + e.fault + "' is not a fault";
        return std::nullopt;
    }
    if (where) {
        if (fault == nullptr || !fault->aimable) {
            error = "'" + whole + "': " + e.fault + " cannot be aimed at a device";
            return std::nullopt;
        }
        auto location = machine::parseLocation(*where, error);
        if (!location || !machine::resolveLocation(desc, *location, error)) {
            error = "'" + whole + "': device '" + *where + "': " + error;
            return std::nullopt;
        }
        e.device = *location;
    }
    if (offset) {
        if (fault == nullptr || !fault->config) {
            error = "'" + whole + "': only config, config-read and config-write take an offset";
            return std::nullopt;
        }
        const std::string digits = offset->rfind("0x", 0) == 0 ? offset->substr(2) : *offset;
        const int base = digits.size() == offset->size() ? 10 : 16;
        const char* allowed = base == 16 ? "0123456789abcdefABCDEF" : "0123456789";
        if (digits.empty() || digits.size() > 4 ||
            digits.find_first_not_of(allowed) != std::string::npos ||
            std::stoul(digits, nullptr, base) > 0xFF) {
            error = "'" + whole + "': the offset is a configuration byte, 0 to 0xff";
            return std::nullopt;
        }
        e.offset = static_cast<unsigned>(std::stoul(digits, nullptr, base));
    }
    if (colon == std::string::npos) return e;
    std::string count = text.substr(colon + 1);
    if (!count.empty() && count.back() == '+') {
        e.once = false;
        count.pop_back();
    }
    if (count.empty() || count.size() > 18 ||
        count.find_first_not_of("0123456789") != std::string::npos || std::stoull(count) == 0) {
        error = "'" + whole + "': the use to fail is a number from 1, as in pool:3 or pool:3+";
        return std::nullopt;
    }
    e.nth = std::stoull(count);
    return e;
}

// `hotpsim import SNAPSHOT [-o FILE]`: a snapshot of a Linux machine as a machine file.
int runImport(const std::string& snapshotPath, const std::string& outputPath)
{
    formats::SnapshotResult read = formats::readSnapshot(snapshotPath);
    if (!read.snapshot) {
        for (const auto& error : read.errors) std::cerr << error << '\n';
        return kExitBadInput;
    }
    formats::ImportResult result = formats::importSnapshot(*read.snapshot);
    // The notes say what was left out and why, which explains a snapshot with nothing usable too.
    for (const auto& note : result.notes) std::cerr << "hotpsim import: " << note << '\n';
    if (!result.machine) {
        for (const auto& error : result.errors) std::cerr << error << '\n';
        return kExitBadInput;
    }
    const std::string text = formats::writeMachineFile(*result.machine, result.notes);
    if (outputPath.empty()) {
        std::cout << text << std::flush;
        return std::cout ? kExitSuccess : kExitBadInput;
    }
    if (auto problem = formats::writeOutputFile(outputPath, [&](std::ostream& out) { out << text; })) {
        std::cerr << *problem << '\n';
        return kExitBadInput;
    }
    return kExitSuccess;
}

// Prints the stream of what happened: the story, or one JSON object per line.
class Printer {
public:
    explicit Printer(const Options& options)
        : options_(options),
          story_(hotpsim::Story::Options{!options.quietConfig, options.showReads})
    {
    }

    void operator()(const machine::Output& out)
    {
        if (options_.json) {
            if (out.kind == machine::Output::Kind::Config && options_.quietConfig) return;
            print(hotpsim::toJson(out));
            return;
        }
        if (options_.view != "story") return;
        for (const std::string& line : story_.add(out)) std::cout << line << '\n';
    }

    // A titled block of lines, indented as the story is; a debugger's view keeps its own layout.
    void section(const std::string& title, const std::vector<std::string>& lines,
                 bool indent = true)
    {
        for (const std::string& line : story_.finish()) std::cout << line << '\n';
        std::cout << "\n== " << title << '\n';
        for (const auto& line : lines) {
            std::cout << (line.empty() || !indent ? line : "  " + line) << '\n';
        }
    }

    static void print(const nlohmann::ordered_json& line)
    {
        std::cout << line.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << '\n';
    }

private:
    const Options& options_;
    hotpsim::Story story_;
};

struct Inputs {
    machine::MachineDesc machine;
    machine::ScenarioDesc scenario;
    std::optional<formats::ReplugPlan> replug;
    std::vector<machine::Event> fails;  // armed before boot
};

// Reads the machine and the scenario; every problem goes to stderr as "file:line: message".
std::optional<Inputs> loadInputs(const Options& options)
{
    auto machineDesc = options.machineFile.empty()
                           ? formats::Parsed<machine::MachineDesc>(formats::defaultMachine())
                           : formats::loadMachine(options.machineFile);
    if (!options.generate.empty()) {
        std::string error;
        auto shape = formats::parseShape(options.generate, error);
        auto generated = shape ? formats::generateMachine(*shape, error) : std::nullopt;
        if (!generated) {
            std::cerr << "hotpsim: --generate: " << error << '\n';
            return std::nullopt;
        }
        machineDesc = formats::Parsed<machine::MachineDesc>(std::move(*generated));
    }
    if (!machineDesc) {
        for (const auto& error : machineDesc.errors()) std::cerr << error << '\n';
        return std::nullopt;
    }
    // The built-in scenario belongs to the built-in machine (and to generated ones, which have
    // its slots); a machine file of one's own plays boot only unless a scenario is given.
    machine::ScenarioDesc bootOnly;
    bootOnly.name = "boot only (no --scenario for this machine file)";
    const bool ownMachine = !options.machineFile.empty() && options.generate.empty();
    auto scenario = !options.scenarioFile.empty()
                        ? formats::loadScenario(options.scenarioFile)
                        : formats::Parsed<machine::ScenarioDesc>(
                              ownMachine ? bootOnly : formats::defaultScenario());
    if (!scenario) {
        for (const auto& error : scenario.errors()) std::cerr << error << '\n';
        return std::nullopt;
    }
    std::optional<formats::ReplugPlan> replug;
    if (!options.replug.empty()) {
        if (!options.scenarioFile.empty()) {
            std::cerr << "hotpsim: --replug plays its own scenario; leave --scenario out\n";
            return std::nullopt;
        }
        std::string error;
        replug = formats::planReplug(machineDesc.value(), options.replug, error);
        if (!replug) {
            std::cerr << "hotpsim: --replug " << options.replug << ": " << error << '\n';
            return std::nullopt;
        }
        machineDesc = formats::Parsed<machine::MachineDesc>(replug->machine);
        scenario = formats::Parsed<machine::ScenarioDesc>(replug->scenario);
    }
    auto scenarioErrors = machine::checkScenario(scenario.value(), machineDesc.value());
    if (!scenarioErrors.empty()) {
        for (const auto& error : scenarioErrors) std::cerr << error << '\n';
        return std::nullopt;
    }
    std::vector<machine::Event> fails;
    for (const std::string& text : options.fails) {
        std::string error;
        auto e = parseFail(text, machineDesc.value(), error);
        if (!e) {
            std::cerr << "hotpsim: --fail " << error << '\n';
            return std::nullopt;
        }
        fails.push_back(*e);
    }
    return Inputs{machineDesc.value(), scenario.value(), replug, fails};
}

// Writes the page to the file --html names; a file that cannot be written is bad input.
int writePage(const Options& options, hotpsim::HtmlPage& page, int status)
{
    const std::string text = page.write();
    if (auto problem = formats::writeOutputFile(options.html, [&](std::ostream& out) { out << text; })) {
        std::cerr << *problem << '\n';
        return kExitBadInput;
    }
    return status;
}

// The page of an exploration: each finding with the lanes of its schedule played again, and the
// tree and maps as the first finding's schedule (or, with nothing found, one processor) leaves
// them.
int explorationPage(const Options& options, const Inputs& inputs,
                    const machine::MachineOptions& machineOptions,
                    const hotpsim::ExplorationReport& report, hotpsim::HtmlPage& page, int status)
{
    page.setSummary(report.summary);
    // Reads too: a thread that only reads (another driver scanning) has a lane of its own.
    machine::MachineOptions replayOptions = machineOptions;
    replayOptions.reportReads = true;
    for (const sched::ExploreFinding& f : report.findings) {
        std::string error;
        const std::optional<sched::Token> token = sched::decodeToken(f.token, error);
        if (!token) continue;  // tokens come from the exploration itself
        hotpsim::HtmlFinding finding{f.finding.detector, f.finding.text, f.token, {}};
        const bool first = page.findings() == 0;
        machine::Machine m(inputs.machine, replayOptions, [&](const machine::Output& out) {
            finding.outputs.push_back(out);
            if (first) page.add(out);
        });
        sched::RunConfig run;
        run.cpus = token->cpus;
        run.contract = token->contract;
        run.chooser = sched::replayChooser(*token);
        sched::play(m, inputs.fails, inputs.scenario, run);
        if (first) page.setFinal(m, "as the schedule of finding 1 leaves it");
        m.shutdown();
        page.addFinding(std::move(finding));
    }
    if (report.findings.empty()) {
        machine::Machine m(inputs.machine, machineOptions,
                           [&](const machine::Output& out) { page.add(out); });
        m.boot(inputs.fails);
        for (const auto& event : inputs.scenario.events) m.apply(event);
        page.setFinal(m, "as one processor leaves it");
        m.shutdown();
    }
    return writePage(options, page, status);
}

int play(const Options& options, const Inputs& inputs)
{
    if (!options.processors.replay.empty()) {
        // A token that does not fit the scenario is refused before anything is shown.
        machine::MachineOptions quiet;
        quiet.withDriver = !options.noFilter;
        quiet.driverPath = options.driverPath;
        quiet.pendAll = options.pendAll;
        if (auto problem = hotpsim::checkReplay(options.processors, inputs.machine, inputs.scenario,
                                                inputs.fails, quiet)) {
            std::cerr << *problem << '\n';
            return kExitBadInput;
        }
    }
    Printer printer(options);
    std::optional<hotpsim::HtmlPage> page;
    if (!options.html.empty()) page.emplace(hotpsim::Story::Options{!options.quietConfig, options.showReads});
    machine::MachineOptions machineOptions;
    machineOptions.withDriver = !options.noFilter;
    machineOptions.driverPath = options.driverPath;
    machineOptions.traceLevel = options.traceLevel;
    machineOptions.breakLevel = options.breakLevel;
    machineOptions.pendAll = options.pendAll;
    machineOptions.allRequirements = options.allRequirements;
    machineOptions.reportReads = options.showReads;

    const std::string driver = options.noFilter ? "none (--no-filter)"
                                                : "hotpflt, upper filter of the PCI root bus";
    if (options.json) {
        Printer::print({{"kind", "run"},
                        {"machine", inputs.machine.name},
                        {"scenario", inputs.scenario.name},
                        {"driver", options.noFilter ? nlohmann::ordered_json() : "hotpflt"}});
    } else {
        printer.section("hotpsim", {"machine: " + inputs.machine.name,
                                    "scenario: " + inputs.scenario.name, "driver: " + driver});
    }
    if (page) {
        page->setHeader({inputs.machine.name, "scenario: " + inputs.scenario.name, "driver: " + driver});
    }

    if (!options.processors.explore.empty()) {
        hotpsim::ExplorationReport report;
        const int status = hotpsim::runExploration(options.processors, inputs.machine, inputs.scenario,
                                                   inputs.fails, machineOptions, options.json, &report);
        return page ? explorationPage(options, inputs, machineOptions, report, *page, status) : status;
    }
    // What a scheduled run must end with, as exploration judges it: the one-processor run's end.
    std::vector<std::string> reference;
    if (options.processors.scheduled()) {
        machine::MachineOptions quiet = machineOptions;
        quiet.traceLevel = 0;
        quiet.breakLevel = 0;
        quiet.reportReads = false;
        reference = hotpsim::oneProcessorEndState(inputs.machine, inputs.scenario, inputs.fails, quiet);
    }

    std::vector<hotpsim::DeviceState> ended;
    std::vector<std::string> problems;
    std::vector<std::string> scheduleFindings;
    bool allApplied = true;
    {
        machine::Machine m(inputs.machine, machineOptions,
                           [&](const machine::Output& out) {
                               printer(out);
                               if (page) page->add(out);
                           });
        if (options.processors.scheduled()) {
            sched::RunResult run = sched::play(m, inputs.fails, inputs.scenario, options.processors.run);
            allApplied = run.allApplied;
            if (auto differs = sched::compareEndState(run.endState, reference)) {
                run.findings.push_back(*differs);
            }
            scheduleFindings = hotpsim::describeFindings(run.findings);
        } else {
            // Clients are other drivers' threads beside the events: one processor has no room
            // for them, and a run that leaves them out says so.
            if (const size_t clients = inputs.scenario.clients.size(); clients != 0) {
                std::cerr << "hotpsim: the scenario's " << clients << " configuration client"
                          << (clients == 1 ? " runs" : "s run")
                          << " only on two or more processors (--cpus 2): played without them\n";
            }
            m.boot(inputs.fails);
            for (const auto& event : inputs.scenario.events) allApplied = m.apply(event) && allApplied;
        }

        if (options.json) {
            for (const auto& record : hotpsim::deviceRecords(m)) Printer::print(record);
        } else if (options.view == "devstack") {
            printer.section("the device stack of every device", hotpsim::devstackView(m), false);
        } else if (options.view == "devnode") {
            printer.section("the device tree", hotpsim::devnodeView(m), false);
        } else {
            printer.section("final state: devices, resources and device stacks", hotpsim::treeView(m));
        }
        if (inputs.replug) {
            hotpsim::ReplugComparison comparison = hotpsim::replugComparison(m, *inputs.replug);
            if (!options.json) {
                printer.section("replug " + options.replug +
                                    ": each bridge's captured windows beside the driver's",
                                hotpsim::describeReplug(comparison));
            }
            if (page) page->setReplug(options.replug, std::move(comparison));
        }
        if (page) page->setFinal(m);
        if (!options.lspciDump.empty()) {
            auto problem = formats::writeOutputFile(options.lspciDump, [&](std::ostream& out) {
                formats::writeLspciDump(out, m.hardware());
            });
            if (problem) {
                std::cerr << *problem << '\n';
                return kExitBadInput;
            }
        }
        ended = hotpsim::finalStates(m);
        problems = m.shutdown();
    }
    if (!allApplied) problems.push_back("an event of the scenario could not be applied");
    // What the detectors of the simulated processors found, verifier findings apart (they are
    // among the problems already).
    for (const std::string& finding : scheduleFindings) {
        if (finding.rfind("verifier: ", 0) != 0) problems.push_back(finding);
    }
    const int status = problems.empty() ? kExitSuccess : kExitBroken;
    if (page) page->setVerdict(problems);
    if (options.json) {
        Printer::print({{"kind", "verdict"},
                        {"clean", problems.empty()},
                        {"problems", problems},
                        {"exit", status}});
    } else {
        printer.section("verifier", problems.empty()
                                        ? std::vector<std::string>{"clean: no platform rule broken, "
                                                                   "nothing leaked"}
                                        : problems);
    }

    // What the driver changed: the same machine and scenario once more without it.
    if (!options.noFilter && options.view == "story") {
        const auto bare = hotpsim::playWithoutDriver(inputs.machine, inputs.scenario, machineOptions);
        const auto changes = hotpsim::compareRuns(ended, bare);
        if (options.json) {
            for (const auto& c : changes) {
                Printer::print({{"kind", "change"},
                                {"bdf", c.bdf.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(c.bdf)},
                                {"name", c.name},
                                {"what", c.what},
                                {"with", c.with},
                                {"without", c.without}});
            }
        } else {
            printer.section("what hotpflt changed (the same machine and scenario played without it)",
                            hotpsim::describeChanges(changes));
        }
        if (page) page->setChanges(changes);
    }
    return page ? writePage(options, *page, status) : status;
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"hotpsim - boots a simulated PCI machine with the hotpflt hot-plug filter driver "
                 "loaded, plays a scenario of hot-plug and power events, and shows what the "
                 "driver did"};
    Options options;
    if (const char* fromEnvironment = std::getenv("HOTP_DRIVER")) options.driverPath = fromEnvironment;
    addOptions(app, options);
    std::string snapshotPath, importOutput;
    CLI::App* import = app.add_subcommand(
        "import", "turn a snapshot of a Linux machine's PCI devices (a copy of "
                  "/sys/bus/pci/devices, a tar of it, or lspci -xxx output) into a machine file");
    import->add_option("SNAPSHOT", snapshotPath, "directory, tar file or lspci -xxx output")
        ->required();
    import->add_option("-o,--output", importOutput, "machine file to write; default: standard output");
    import->footer(kImportExitHelp);
    std::vector<std::string> shardFiles;
    bool mergeJson = false;
    CLI::App* merge = app.add_subcommand(
        "merge", "merge the exploration lines (--explore ... --json) of the shards of one "
                 "exploration into its verdict, complete only when every shard is");
    merge->add_option("FILE", shardFiles, "files of exploration lines; - for standard input")
        ->required();
    merge->add_flag("--json", mergeJson, "the verdict as one exploration line");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        // Help prints and succeeds; every other parse problem is bad input.
        const int printed = app.exit(error);
        return printed == 0 ? kExitSuccess : kExitBadInput;
    }
    if (*import) return runImport(snapshotPath, importOutput);
    if (*merge) return hotpsim::runMerge(shardFiles, mergeJson);
    for (auto problem : {hotpsim::checkTraceLevel("--trace-level", options.traceLevel),
                         hotpsim::checkTraceLevel("--break-level", options.breakLevel)}) {
        if (problem) {
            std::cerr << *problem << '\n';
            return kExitBadInput;
        }
    }

    if (auto problem = hotpsim::checkProcessorOptions(options.processors)) {
        std::cerr << *problem << '\n';
        return kExitBadInput;
    }
    // An exploration runs many machines: there is no one final machine to show or dump.
    if (!options.processors.explore.empty()) {
        for (const char* single : {"--view", "--lspci-dump"}) {
            if (app.count(single) > 0) {
                std::cerr << "hotpsim: " << single << " shows the machine of one run; --explore runs "
                          << "many (play one with --replay TOKEN)\n";
                return kExitBadInput;
            }
        }
    }
    const std::optional<Inputs> inputs = loadInputs(options);
    if (!inputs) return kExitBadInput;
    hotpsim::installCrashReport();
    try {
        return play(options, *inputs);
    } catch (const std::exception& error) {
        // Thrown while a schedule was played, it is the simulator's own failure.
        if (!sched::scheduleInProgress().empty()) {
            hotpsim::reportSimulatorFailure(error.what());
            return hotpsim::kExitSimulatorFailed;
        }
        std::cerr << "hotpsim: " << error.what() << '\n';
        return kExitBadInput;
    }
}
