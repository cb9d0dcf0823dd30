#include "processors.hpp"

#include <sched/verdict.hpp>

#include <signal.h>
#include <unistd.h>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <limits>

namespace hotpsim {

void addProcessorOptions(CLI::App& app, ProcessorOptions& options)
{
    options.cpusGiven =
        app.add_option("--cpus", options.cpus,
                       "simulated processors (1 to 64); with 2 or more the scenario's events run as "
                       "kernel threads under a deterministic scheduler, each story line marked with "
                       "its processor and thread (docs/concurrency.md)")
            ->check(CLI::Range(1u, 64u));
    options.contractGiven =
        app.add_option("--pnp-contract", options.contract,
                       "w2k: Windows 2000's PnP manager sends one request at a time (default); "
                       "documented: only what the documented contract promises, one request at a "
                       "time per device stack")
            ->check(CLI::IsMember({"w2k", "documented"}));
    app.add_option("--explore", options.explore,
                   "explore the scenario's schedules: random, pct or bounded (every schedule with "
                   "at most --preemptions deviations); each finding prints a token")
        ->check(CLI::IsMember({"random", "pct", "bounded"}));
    options.schedulesGiven =
        app.add_option("--schedules", options.schedules,
                       "schedules to run (random, pct), or the most to run (bounded); default 100, "
                       "bounded: every schedule within the bound");
    options.seedGiven = app.add_option("--seed", options.seed, "seed of random and pct exploration; default 1");
    options.preemptionsGiven =
        app.add_option("--preemptions", options.preemptions,
                       "bounded: deviations per schedule; pct: priority change points; default 2");
    options.shardGiven = app.add_option("--shard", options.shard,
                                        "K/N: run the Kth of N parts of the exploration; the N parts "
                                        "add up exactly to the whole");
    app.add_option("--replay", options.replay,
                   "play the one schedule of a token (its processors and contract included) with "
                   "the usual story");
}

namespace {

bool given(const CLI::Option* option) { return option != nullptr && option->count() > 0; }

// "K/N" with 1 <= K <= N, both plain decimal numbers that fit.
bool parseShard(const std::string& text, unsigned& k, unsigned& n)
{
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return false;
    auto number = [](const std::string& digits, unsigned& out) {
        if (digits.empty() || digits.size() > 9 ||
            digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        out = static_cast<unsigned>(std::stoul(digits));
        return true;
    };
    return number(text.substr(0, slash), k) && number(text.substr(slash + 1), n) && n > 0 &&
           k > 0 && k <= n;
}

}  // namespace

std::optional<std::string> checkProcessorOptions(ProcessorOptions& options)
{
    const sched::Contract contract =
        options.contract == "documented" ? sched::Contract::Documented : sched::Contract::W2k;
    options.run.cpus = options.cpus;
    options.run.contract = contract;
    const bool exploring = !options.explore.empty();
    if (!options.replay.empty()) {
        if (exploring) return "hotpsim: --replay plays one schedule; leave --explore out";
        std::string error;
        auto token = sched::decodeToken(options.replay, error);
        if (!token) return "hotpsim: --replay: " + error;
        // A token carries its processors and contract: an option that says otherwise is refused.
        if (given(options.cpusGiven) && options.cpus != token->cpus) {
            return "hotpsim: --replay " + options.replay + " is a schedule on " +
                   std::to_string(token->cpus) + " processors; --cpus " +
                   std::to_string(options.cpus) + " says otherwise (leave --cpus out)";
        }
        if (given(options.contractGiven) && contract != token->contract) {
            return "hotpsim: --replay " + options.replay + " is a schedule under the " +
                   sched::contractName(token->contract) + " contract; --pnp-contract " +
                   options.contract + " says otherwise (leave --pnp-contract out)";
        }
        options.cpus = token->cpus;
        options.run.cpus = token->cpus;
        options.run.contract = token->contract;
        options.run.chooser = sched::replayChooser(*token);
    }
    unsigned k = 0, n = 0;
    if (!parseShard(options.shard, k, n)) {
        return "hotpsim: --shard " + options.shard + ": K/N with 1 <= K <= N, such as 2/8";
    }
    if (!exploring) {
        for (const auto& [option, name] : {std::pair{options.shardGiven, "--shard"},
                                           std::pair{options.schedulesGiven, "--schedules"},
                                           std::pair{options.seedGiven, "--seed"},
                                           std::pair{options.preemptionsGiven, "--preemptions"}}) {
            if (given(option)) {
                return std::string("hotpsim: ") + name + " belongs to an exploration; give --explore too";
            }
        }
        if (given(options.contractGiven) && options.cpus < 2 && options.replay.empty()) {
            return "hotpsim: --pnp-contract says how requests run beside each other; it needs "
                   "--cpus 2 or more";
        }
        return std::nullopt;
    }
    if (given(options.cpusGiven) && options.cpus < 2) {
        return "hotpsim: --explore searches how threads run beside each other; --cpus " +
               std::to_string(options.cpus) + " has no room for that (give 2 or more, or leave it out)";
    }
    if (options.cpus < 2) options.cpus = 2;
    auto& e = options.exploration;
    e.strategy = options.explore == "pct"       ? sched::Strategy::Pct
                 : options.explore == "bounded" ? sched::Strategy::Bounded
                                                : sched::Strategy::Random;
    e.schedules = options.schedules;
    e.seed = options.seed;
    e.preemptions = options.preemptions;
    e.shard = k;
    e.shards = n;
    e.cpus = options.cpus;
    e.contract = contract;
    // Bounded runs to the end unless told how many schedules at most.
    if (e.strategy == sched::Strategy::Bounded && !given(options.schedulesGiven)) {
        e.schedules = std::numeric_limits<uint64_t>::max();
    }
    return std::nullopt;
}

std::vector<std::string> describeFindings(const std::vector<sched::Finding>& findings)
{
    std::vector<std::string> lines;
    for (const auto& f : findings) lines.push_back(f.detector + ": " + f.text);
    return lines;
}

namespace {

void printFinding(const sched::ExploreFinding& f)
{
    std::cout << "  " << f.finding.detector << ": " << f.finding.text << '\n'
              << "    token " << f.token << "  (schedule " << f.schedule << ", " << f.deviations
              << " deviation" << (f.deviations == 1 ? "" : "s") << " after shrinking)" << std::endl;
}

std::string summaryText(const sched::ExploreOptions& e, const sched::ExploreReport& report)
{
    std::string summary = std::to_string(report.schedules) + " schedule" +
                          (report.schedules == 1 ? "" : "s") + " run";
    if (e.strategy == sched::Strategy::Bounded) {
        summary += report.complete ? "; complete: every schedule within the bound was run"
                                   : "; incomplete: stopped at --schedules";
    } else if (report.complete) {
        summary += "; complete: every schedule was run";
    }
    summary += "; " + std::to_string(report.findings.size()) + " finding" +
               (report.findings.size() == 1 ? "" : "s");
    return summary;
}

void printSummary(const sched::ExploreOptions& e, const sched::ExploreReport& report)
{
    std::cout << "\n== summary\n  " << summaryText(e, report) << '\n';
}

}  // namespace

int runExploration(const ProcessorOptions& options, const machine::MachineDesc& machine,
                   const machine::ScenarioDesc& scenario, const std::vector<machine::Event>& armed,
                   const machine::MachineOptions& machineOptions, bool json, ExplorationReport* out)
{
    const auto& e = options.exploration;
    if (!json) {
        std::cout << "\n== exploring schedules: " << options.explore;
        if (e.strategy == sched::Strategy::Bounded) std::cout << ", at most " << e.preemptions << " deviations";
        if (e.strategy == sched::Strategy::Pct) std::cout << ", " << e.preemptions << " change points";
        if (e.strategy != sched::Strategy::Bounded) std::cout << ", seed " << e.seed;
        std::cout << ", " << e.cpus << " processors, " << sched::contractName(e.contract)
                  << " contract, shard " << e.shard << "/" << e.shards << '\n';
    }
    sched::MachineFactory make = [&] {
        return std::make_unique<machine::Machine>(machine, machineOptions, nullptr);
    };
    const auto began = std::chrono::steady_clock::now();
    const sched::ExploreReport report =
        sched::explore(make, armed, scenario, e, [json](const sched::ExploreFinding& f) {
            if (!json) printFinding(f);
        });
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    if (json) {
        const sched::ExploreSubject subject{machine.name, scenario.name, machineOptions.withDriver};
        std::cout << sched::reportJson(subject, e, report).dump(-1, ' ', false,
                                                                nlohmann::ordered_json::error_handler_t::replace)
                  << std::endl;
    } else {
        printSummary(e, report);
    }
    if (out != nullptr) {
        out->findings = report.findings;
        out->summary = summaryText(e, report);
    }
    // The time goes to stderr, so that what an exploration prints depends on its options alone.
    std::fprintf(stderr, "hotpsim: %llu schedules in %.2f s (%.0f schedules/s)\n",
                 static_cast<unsigned long long>(report.schedules), seconds,
                 seconds > 0 ? static_cast<double>(report.schedules) / seconds : 0.0);
    return report.findings.empty() ? 0 : 1;
}

std::optional<std::string> checkReplay(const ProcessorOptions& options, const machine::MachineDesc& machine,
                                       const machine::ScenarioDesc& scenario,
                                       const std::vector<machine::Event>& armed,
                                       const machine::MachineOptions& machineOptions)
{
    std::string error;
    const std::optional<sched::Token> token = sched::decodeToken(options.replay, error);
    if (!token) return "hotpsim: --replay: " + error;
    // Each deviation: whether its decision came, and the threads that could go there.
    std::vector<std::optional<std::vector<int>>> met(token->deviations.size());
    sched::RunConfig config = options.run;
    config.chooser = [&, follow = sched::replayChooser(*token)](const nt::Choice& c) {
        for (size_t i = 0; i < token->deviations.size(); ++i) {
            if (token->deviations[i].choice == c.index) met[i] = c.candidates;
        }
        return follow(c);
    };
    uint64_t decisions = 0;
    {
        machine::Machine m(machine, machineOptions, nullptr);
        decisions = sched::play(m, armed, scenario, config).choices;
        m.shutdown();
    }
    for (size_t i = 0; i < token->deviations.size(); ++i) {
        const sched::Deviation& d = token->deviations[i];
        const std::string named = std::to_string(d.choice) + "@" + std::to_string(d.thread);
        if (!met[i]) {
            return "hotpsim: --replay " + options.replay + ": " + named + " is past the schedule's end: " +
                   (decisions == 0 ? std::string("it has no decisions (one thread at a time)")
                                   : "its decisions are 0 to " + std::to_string(decisions - 1));
        }
        const std::vector<int>& could = *met[i];
        if (std::find(could.begin(), could.end(), d.thread) == could.end()) {
            std::string threads;
            for (size_t t = 0; t < could.size(); ++t) {
                threads += (t == 0 ? "" : t + 1 == could.size() ? " and " : ", ") + std::to_string(could[t]);
            }
            return "hotpsim: --replay " + options.replay + ": " + named + ": thread " +
                   std::to_string(d.thread) + " cannot run at decision " + std::to_string(d.choice) +
                   "; threads " + threads + " can";
        }
    }
    return std::nullopt;
}

std::vector<std::string> oneProcessorEndState(const machine::MachineDesc& machine,
                                              const machine::ScenarioDesc& scenario,
                                              const std::vector<machine::Event>& armed,
                                              const machine::MachineOptions& machineOptions)
{
    machine::Machine m(machine, machineOptions, nullptr);
    std::vector<std::string> reference = sched::playOneProcessor(m, armed, scenario);
    m.shutdown();
    return reference;
}

// --- failures of the simulator itself -------------------------------------------------------------

namespace {

void writeAll(const char* text)
{
    size_t left = std::strlen(text);
    while (left > 0) {
        const ssize_t n = ::write(2, text, left);
        if (n <= 0) return;
        text += n;
        left -= static_cast<size_t>(n);
    }
}

// Async-signal-safe: plain writes of what is already in memory.
void writeFailure(const char* what)
{
    writeAll("hotpsim: the simulator itself failed (");
    writeAll(what);
    writeAll("): a fault of hotpsim, not a finding about the driver\n");
    const std::string& token = sched::scheduleInProgress();
    if (token.empty()) {
        writeAll("hotpsim: no schedule was being played\n");
    } else {
        writeAll("hotpsim: schedule being played: ");
        writeAll(token.c_str());
        writeAll(" (hotpsim --replay with it plays it again)\n");
    }
}

void onFatalSignal(int signal)
{
    std::cout.flush();
    writeFailure(strsignal(signal));
    ::_exit(kExitSimulatorFailed);
}

[[maybe_unused]] void onSanitizerDeath() { writeFailure("a sanitizer's report above"); }

}  // namespace

void reportSimulatorFailure(const std::string& what)
{
    std::cout.flush();
    writeFailure(what.c_str());
}

void installCrashReport()
{
    // Its own stack, so that a thread that ran out of its own still reports.
    static std::vector<char> stack(size_t{1} << 16);
    stack_t alternate{};
    alternate.ss_sp = stack.data();
    alternate.ss_size = stack.size();
    sigaltstack(&alternate, nullptr);
    struct sigaction action{};
    action.sa_handler = onFatalSignal;
    action.sa_flags = SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&action.sa_mask);
#if defined(__SANITIZE_ADDRESS__)
    // The address sanitizer reports bad accesses itself, then calls back here.
    __sanitizer_set_death_callback(onSanitizerDeath);
    for (int signal : {SIGILL, SIGABRT}) sigaction(signal, &action, nullptr);
#else
    for (int signal : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(signal, &action, nullptr);
#endif
}

int runMerge(const std::vector<std::string>& files, bool json)
{
    std::vector<nlohmann::json> lines;
    for (const std::string& file : files) {
        std::ifstream opened;
        if (file != "-") {
            opened.open(file);
            if (!opened) {
                std::cerr << "hotpsim merge: " << file << ": cannot be read\n";
                return 2;
            }
        }
        std::istream& in = file == "-" ? std::cin : opened;
        std::string text;
        for (unsigned number = 1; std::getline(in, text); ++number) {
            if (text.find_first_not_of(" \t\r") == std::string::npos) continue;
            auto line = nlohmann::json::parse(text, nullptr, false);
            if (line.is_discarded()) {
                std::cerr << "hotpsim merge: " << file << ":" << number << ": not a JSON line\n";
                return 2;
            }
            lines.push_back(std::move(line));
        }
    }
    std::string error;
    const auto merged = sched::mergeShards(lines, error);
    if (!merged) {
        std::cerr << "hotpsim merge: " << error << '\n';
        return 2;
    }
    const auto& e = merged->options;
    if (json) {
        std::cout << sched::reportJson(merged->subject, e, merged->report)
                         .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                  << std::endl;
    } else {
        std::cout << "== merged exploration: " << (e.strategy == sched::Strategy::Random ? "random"
                                                    : e.strategy == sched::Strategy::Pct ? "pct"
                                                                                          : "bounded")
                  << ", " << merged->shards << " shard" << (merged->shards == 1 ? "" : "s") << ", machine "
                  << merged->subject.machine << ", scenario " << merged->subject.scenario << '\n';
        for (const auto& f : merged->report.findings) printFinding(f);
        printSummary(e, merged->report);
    }
    if (!merged->missing.empty()) {
        std::string names;
        for (unsigned k : merged->missing) names += (names.empty() ? "" : ", ") + std::to_string(k);
        std::cerr << "hotpsim merge: incomplete: no line for shard" << (merged->missing.size() == 1 ? " " : "s ")
                  << names << " of " << merged->shards << '\n';
    }
    return merged->report.findings.empty() ? 0 : 1;
}

}  // namespace hotpsim

#if defined(__SANITIZE_ADDRESS__)
// A sanitizer's report is a failure of the simulator too: its own exit status, not "findings".
extern "C" const char* __asan_default_options() { return "exitcode=3"; }
extern "C" const char* __ubsan_default_options() { return "exitcode=3"; }
#endif
