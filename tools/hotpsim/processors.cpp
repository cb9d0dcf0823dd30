#include "processors.hpp"

#include <sched/verdict.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

namespace hotpsim {

void addProcessorOptions(CLI::App& app, ProcessorOptions& options)
{
    app.add_option("--cpus", options.cpus,
                   "simulated processors (1 to 64); with 2 or more the scenario's events run as "
                   "kernel threads under a deterministic scheduler, each story line marked with "
                   "its processor and thread (docs/concurrency.md)")
        ->check(CLI::Range(1u, 64u));
    app.add_option("--pnp-contract", options.contract,
                   "w2k: Windows 2000's PnP manager sends one request at a time (default); "
                   "documented: only what the documented contract promises, one request at a "
                   "time per device stack")
        ->check(CLI::IsMember({"w2k", "documented"}));
    app.add_option("--explore", options.explore,
                   "explore the scenario's schedules: random, pct or bounded (every schedule with "
                   "at most --preemptions deviations); each finding prints a token")
        ->check(CLI::IsMember({"random", "pct", "bounded"}));
    app.add_option("--schedules", options.schedules,
                   "schedules to run (random, pct), or the most to run (bounded); default 100");
    app.add_option("--seed", options.seed, "seed of random and pct exploration; default 1");
    app.add_option("--preemptions", options.preemptions,
                   "bounded: deviations per schedule; pct: priority change points; default 2");
    app.add_option("--shard", options.shard,
                   "K/N: run the Kth of N parts of the exploration; the N parts add up exactly "
                   "to the whole");
    app.add_option("--replay", options.replay,
                   "play the one schedule of a token (its processors and contract included) with "
                   "the usual story");
}

std::optional<std::string> checkProcessorOptions(ProcessorOptions& options)
{
    const sched::Contract contract =
        options.contract == "documented" ? sched::Contract::Documented : sched::Contract::W2k;
    options.run.cpus = options.cpus;
    options.run.contract = contract;
    if (!options.replay.empty()) {
        if (!options.explore.empty()) return "hotpsim: --replay plays one schedule; leave --explore out";
        std::string error;
        auto token = sched::decodeToken(options.replay, error);
        if (!token) return "hotpsim: --replay: " + error;
        options.cpus = token->cpus;
        options.run.cpus = token->cpus;
        options.run.contract = token->contract;
        options.run.chooser = sched::replayChooser(*token);
    }
    unsigned k = 0, n = 0;
    char slash = 0;
    char extra = 0;
    if (std::sscanf(options.shard.c_str(), "%u%c%u%c", &k, &slash, &n, &extra) != 3 || slash != '/' ||
        n == 0 || k == 0 || k > n) {
        return "hotpsim: --shard is K/N with 1 <= K <= N, such as 2/8";
    }
    if (options.explore.empty()) return std::nullopt;
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
    if (e.strategy == sched::Strategy::Bounded && options.schedules == 100) {
        e.schedules = UINT64_MAX;  // bounded runs to the end unless told otherwise
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

void printSummary(const sched::ExploreOptions& e, const sched::ExploreReport& report)
{
    std::cout << "\n== summary\n  " << report.schedules << " schedule"
              << (report.schedules == 1 ? "" : "s") << " run";
    if (e.strategy == sched::Strategy::Bounded) {
        std::cout << (report.complete ? "; complete: every schedule within the bound was run"
                                      : "; incomplete: stopped at --schedules");
    } else if (report.complete) {
        std::cout << "; complete: every schedule was run";
    }
    std::cout << "; " << report.findings.size() << " finding"
              << (report.findings.size() == 1 ? "" : "s") << '\n';
}

}  // namespace

int runExploration(const ProcessorOptions& options, const machine::MachineDesc& machine,
                   const machine::ScenarioDesc& scenario, const std::vector<machine::Event>& armed,
                   const machine::MachineOptions& machineOptions, bool json)
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
    // The time goes to stderr, so that what an exploration prints depends on its options alone.
    std::fprintf(stderr, "hotpsim: %llu schedules in %.2f s (%.0f schedules/s)\n",
                 static_cast<unsigned long long>(report.schedules), seconds,
                 seconds > 0 ? static_cast<double>(report.schedules) / seconds : 0.0);
    return report.findings.empty() ? 0 : 1;
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
