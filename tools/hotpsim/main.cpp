// hotpsim: boots a simulated machine with the hotpflt driver on its PCI root bus, plays a scenario
// of hot-plug and power events, and shows what the driver did.
#include "inputs.hpp"

#include <machine/generator.hpp>
#include <machine/lspci_dump.hpp>
#include <machine/machine.hpp>
#include <machine/machine_file.hpp>
#include <machine/replug.hpp>
#include <machine/snapshot.hpp>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

namespace {

struct Options {
    std::string machineFile;
    std::string generate;
    std::string scenarioFile;
    std::string lspciDump;
    std::string driverPath = HOTP_DRIVER_PATH;
    ULONG traceLevel = 0;
    ULONG breakLevel = 0;
    bool noFilter = false;
    bool json = false;
    bool quietConfig = false;
    bool pendAll = false;
    std::string replug;  // BB:DD.F of a card to pull out and hot add again
    std::vector<std::string> fails;
};

// `hotpsim import SNAPSHOT [-o FILE]`: a snapshot of a Linux machine as a machine file.
int runImport(const std::string& snapshotPath, const std::string& outputPath)
{
    machine::SnapshotResult read = machine::readSnapshot(snapshotPath);
    if (!read.snapshot) {
        for (const auto& error : read.errors) std::cerr << error << '\n';
        return 2;
    }
    machine::ImportResult result = machine::importSnapshot(*read.snapshot);
    if (!result.machine) {
        for (const auto& error : result.errors) std::cerr << error << '\n';
        return 2;
    }
    for (const auto& note : result.notes) std::cerr << "hotpsim import: " << note << '\n';
    const std::string text = machine::writeMachineFile(*result.machine, result.notes);
    if (outputPath.empty()) {
        std::cout << text << std::flush;
        return std::cout ? 0 : 2;
    }
    if (auto problem = hotpsim::writeOutputFile(outputPath, [&](std::ostream& out) { out << text; })) {
        std::cerr << *problem << '\n';
        return 2;
    }
    return 0;
}

// "--fail NAME[:N][+]": the Nth use of the named call fails (the first when N is left out), and
// with "+" every use after it too. Armed before boot.
std::optional<machine::Event> parseFail(const std::string& text, std::string& error)
{
    machine::Event e;
    e.kind = machine::EventKind::Fail;
    const size_t colon = text.find(':');
    e.fault = text.substr(0, colon);
    if (machine::findFaultName(e.fault) == nullptr && e.fault != "none") {
        error = "'" + e.fault + "' is not a fault";
        return std::nullopt;
    }
    if (colon == std::string::npos) return e;
    std::string count = text.substr(colon + 1);
    if (!count.empty() && count.back() == '+') {
        e.once = false;
        count.pop_back();
    }
    if (count.empty() || count.size() > 18 ||
        count.find_first_not_of("0123456789") != std::string::npos || std::stoull(count) == 0) {
        error = "'" + text + "': the use to fail is a number from 1, as in pool:3 or pool:3+";
        return std::nullopt;
    }
    e.nth = std::stoull(count);
    return e;
}

// Prints the stream of what happened: readable lines, or one JSON object per event.
class Printer {
public:
    explicit Printer(const Options& options) : options_(options) {}

    void operator()(const machine::Output& out)
    {
        if (out.kind == machine::Output::Kind::Config && options_.quietConfig) return;
        if (options_.json) {
            nlohmann::json line{{"kind", machine::outputKindName(out.kind)}, {"text", out.text}};
            std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
            return;
        }
        if (out.kind == machine::Output::Kind::Step) {
            std::cout << "\n== " << out.text << '\n';
            return;
        }
        std::cout << "  " << pad(machine::outputKindName(out.kind)) << out.text << '\n';
    }

    void section(const std::string& title, const std::vector<std::string>& lines)
    {
        if (options_.json) {
            std::cout << nlohmann::json{{"kind", title}, {"lines", lines}}.dump(
                             -1, ' ', false, nlohmann::json::error_handler_t::replace)
                      << '\n';
            return;
        }
        std::cout << "\n== " << title << '\n';
        for (const auto& line : lines) std::cout << "  " << line << '\n';
    }

private:
    static std::string pad(const char* word)
    {
        std::string text = word;
        text.resize(10, ' ');
        return text;
    }
    const Options& options_;
};

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"hotpsim - boots a simulated PCI machine with the hotpflt hot-plug filter driver "
                 "loaded, plays a scenario of hot-plug and power events, and shows what the "
                 "driver did"};
    Options options;
    if (const char* fromEnvironment = std::getenv("HOTP_DRIVER")) options.driverPath = fromEnvironment;
    // The machine and scenario readers check their files themselves ("file: message").
    app.add_option("--machine", options.machineFile,
                   "machine file (TOML); default: the built-in machine");
    app.add_option("--generate", options.generate,
                   "a generated machine instead: width=N,depth=N,buses=N (functions per bus, "
                   "deepest bridge nesting, bus numbers used)")
        ->excludes("--machine");
    app.add_option("--scenario", options.scenarioFile,
                   "scenario file (TOML); default: the built-in scenario");
    app.add_option("--trace-level", options.traceLevel,
                   "set HotpDebugPrintLevel as a kernel debugger would (0-4)");
    app.add_option("--break-level", options.breakLevel,
                   "set HotpDebugBreakLevel; breakpoints are recorded, not stopped at");
    app.add_flag("--no-filter", options.noFilter,
                 "run the same machine without the driver, for comparison");
    app.add_flag("--json", options.json, "one JSON object per event, for tools");
    app.add_flag("--pend-all", options.pendAll,
                 "the PCI bus driver pends every request and completes it later");
    app.add_flag("--no-config-writes", options.quietConfig,
                 "leave configuration writes out of the output");
    app.add_option("--lspci-dump", options.lspciDump,
                   "write the final configuration space of every function as `lspci -xxx` "
                   "prints it (decode with `lspci -F FILE -vv`)");
    std::string faultNames;
    for (const machine::FaultName& f : machine::faultNames()) {
        faultNames += std::string("\n    ") + f.name + ": " + f.what;
    }
    app.add_option("--fail", options.fails,
                   "NAME[:N][+]: from boot on, the Nth use (default 1) of a call fails, with + "
                   "every use after it too; repeatable; scenario files aim faults at a device "
                   "(docs/machine-file.md). Names:" + faultNames);
    app.add_option("--driver", options.driverPath, "driver module to load")
        ->check(CLI::ExistingFile);
    app.add_option("--replug", options.replug,
                   "boot the machine, pull out the card at BB:DD.F (its bus numbers as the "
                   "machine file's configuration bytes give them) and hot add it again, then show "
                   "its bridges' captured windows beside the driver's");
    std::string snapshotPath, importOutput;
    CLI::App* import = app.add_subcommand(
        "import", "turn a snapshot of a Linux machine's PCI devices (a copy of "
                  "/sys/bus/pci/devices, a tar of it, or lspci -xxx output) into a machine file");
    import->add_option("SNAPSHOT", snapshotPath, "directory, tar file or lspci -xxx output")
        ->required();
    import->add_option("-o,--output", importOutput, "machine file to write; default: standard output");
    CLI11_PARSE(app, argc, argv);
    if (*import) return runImport(snapshotPath, importOutput);
    for (auto problem : {hotpsim::checkTraceLevel("--trace-level", options.traceLevel),
                         hotpsim::checkTraceLevel("--break-level", options.breakLevel)}) {
        if (problem) {
            std::cerr << *problem << '\n';
            return 2;
        }
    }

    auto machineDesc = options.machineFile.empty()
                           ? machine::Parsed<machine::MachineDesc>(machine::defaultMachine())
                           : machine::loadMachine(options.machineFile);
    if (!options.generate.empty()) {
        std::string error;
        auto shape = machine::parseShape(options.generate, error);
        auto generated = shape ? machine::generateMachine(*shape, error) : std::nullopt;
        if (!generated) {
            std::cerr << "hotpsim: --generate: " << error << '\n';
            return 2;
        }
        machineDesc = machine::Parsed<machine::MachineDesc>(std::move(*generated));
    }
    if (!machineDesc) {
        for (const auto& error : machineDesc.errors()) std::cerr << error << '\n';
        return 2;
    }
    auto scenario = options.scenarioFile.empty()
                        ? machine::Parsed<machine::ScenarioDesc>(machine::defaultScenario())
                        : machine::loadScenario(options.scenarioFile);
    if (!scenario) {
        for (const auto& error : scenario.errors()) std::cerr << error << '\n';
        return 2;
    }
    std::optional<machine::ReplugPlan> replug;
    if (!options.replug.empty()) {
        if (!options.scenarioFile.empty()) {
            std::cerr << "hotpsim: --replug plays its own scenario; leave --scenario out\n";
            return 2;
        }
        std::string error;
        replug = machine::planReplug(machineDesc.value(), options.replug, error);
        if (!replug) {
            std::cerr << "hotpsim: --replug " << options.replug << ": " << error << '\n';
            return 2;
        }
        machineDesc = machine::Parsed<machine::MachineDesc>(replug->machine);
        scenario = machine::Parsed<machine::ScenarioDesc>(replug->scenario);
    }
    auto scenarioErrors = machine::checkScenario(scenario.value(), machineDesc.value());
    if (!scenarioErrors.empty()) {
        for (const auto& error : scenarioErrors) std::cerr << error << '\n';
        return 2;
    }

    std::vector<machine::Event> fails;
    for (const std::string& text : options.fails) {
        std::string error;
        auto e = parseFail(text, error);
        if (!e) {
            std::cerr << "hotpsim: --fail " << error << '\n';
            return 2;
        }
        fails.push_back(*e);
    }

    Printer printer(options);
    machine::MachineOptions machineOptions;
    machineOptions.withDriver = !options.noFilter;
    machineOptions.driverPath = options.driverPath;
    machineOptions.traceLevel = options.traceLevel;
    machineOptions.breakLevel = options.breakLevel;
    machineOptions.pendAll = options.pendAll;
    try {
        machine::Machine m(machineDesc.value(), machineOptions,
                           [&](const machine::Output& out) { printer(out); });
        printer.section("hotpsim", {"machine: " + machineDesc.value().name,
                                    "scenario: " + scenario.value().name,
                                    options.noFilter ? "driver: none (--no-filter)"
                                                     : "driver: hotpflt, upper filter of the PCI root bus"});
        for (const auto& e : fails) m.apply(e);
        m.boot();
        bool allApplied = true;
        for (const auto& event : scenario.value().events) allApplied = m.apply(event) && allApplied;
        printer.section("final state: devices, resources and device stacks", m.describeTree());
        if (replug) {
            printer.section("replug " + options.replug +
                                ": each bridge's captured windows beside the driver's",
                            machine::compareReplug(m, *replug));
        }
        if (!options.lspciDump.empty()) {
            auto problem = hotpsim::writeOutputFile(options.lspciDump, [&](std::ostream& out) {
                machine::writeLspciDump(out, m.hardware());
            });
            if (problem) {
                std::cerr << *problem << '\n';
                return 2;
            }
        }
        std::vector<std::string> problems = m.shutdown();
        if (problems.empty()) problems.push_back("clean: no platform rule broken, nothing leaked");
        printer.section("verifier", problems);
        return problems.size() == 1 && problems[0].rfind("clean", 0) == 0 && allApplied ? 0 : 1;
    } catch (const std::exception& error) {
        std::cerr << "hotpsim: " << error.what() << '\n';
        return 2;
    }
}
