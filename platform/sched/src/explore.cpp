#include <sched/explore.hpp>

#include <algorithm>
#include <map>
#include <random>
#include <regex>
#include <set>

namespace sched {

std::string encodeToken(const Token& token)
{
    std::string text = std::to_string(token.cpus) + (token.contract == Contract::W2k ? "w" : "d") + ":";
    for (size_t i = 0; i < token.deviations.size(); ++i) {
        if (i > 0) text += ",";
        text += std::to_string(token.deviations[i].choice) + "@" +
                std::to_string(token.deviations[i].thread);
    }
    return text;
}

std::optional<Token> decodeToken(const std::string& text, std::string& error)
{
    static const std::regex shape("([0-9]{1,2})([wd]):((?:[0-9]{1,12}@[0-9]{1,6})(?:,[0-9]{1,12}@[0-9]{1,6})*)?");
    std::smatch match;
    if (!std::regex_match(text, match, shape)) {
        error = "'" + text + "' is not a schedule token (such as 2w:15@3,40@1)";
        return std::nullopt;
    }
    Token token;
    token.cpus = static_cast<unsigned>(std::stoul(match[1].str()));
    if (token.cpus < 2 || token.cpus > 64) {
        error = "a token's processors are 2 to 64";
        return std::nullopt;
    }
    token.contract = match[2].str() == "w" ? Contract::W2k : Contract::Documented;
    const std::string list = match[3].str();
    static const std::regex item("([0-9]+)@([0-9]+)");
    for (auto it = std::sregex_iterator(list.begin(), list.end(), item); it != std::sregex_iterator(); ++it) {
        Deviation d{std::stoull((*it)[1].str()), std::stoi((*it)[2].str())};
        if (!token.deviations.empty() && d.choice <= token.deviations.back().choice) {
            error = "a token's decisions come in increasing order";
            return std::nullopt;
        }
        token.deviations.push_back(d);
    }
    return token;
}

namespace {

// A chooser that records where it took another thread than the preferred one.
nt::Scheduler::Chooser recording(std::function<size_t(const nt::Choice&)> pick,
                                 std::vector<Deviation>& taken)
{
    return [pick = std::move(pick), &taken](const nt::Choice& c) {
        const size_t chosen = pick(c);
        if (chosen != c.preferred && chosen < c.candidates.size()) {
            taken.push_back({c.index, c.candidates[chosen]});
        }
        return chosen;
    };
}

// Findings compared across schedules without the addresses of objects, which follow the order
// in which threads allocated them. An address is eight hexadecimal digits standing alone; a
// value such as a register's is written with "0x" and stays.
std::string keyOf(const Finding& f)
{
    static const std::regex address("(^|[^0-9A-Za-z])[0-9a-f]{8}(?![0-9A-Za-z])");
    return f.detector + ": " + std::regex_replace(f.text, address, "$1-");
}

struct Outcome {
    std::vector<Finding> findings;
    std::vector<Deviation> taken;
    uint64_t choices = 0;
    // Bounded: each decision after the last deviation, with the threads that could have gone.
    std::vector<std::pair<uint64_t, std::vector<int>>> alternatives;
};

class Explorer {
public:
    Explorer(const MachineFactory& make, const std::vector<machine::Event>& armed,
             const machine::ScenarioDesc& scenario, const ExploreOptions& options)
        : make_(make), armed_(armed), scenario_(scenario), options_(options)
    {
        auto m = make_();
        reference_ = playOneProcessor(*m, armed_, scenario_);
    }

    Outcome runOne(std::function<size_t(const nt::Choice&)> pick, uint64_t recordAfter = UINT64_MAX)
    {
        Outcome out;
        auto m = make_();
        RunConfig config;
        config.cpus = options_.cpus;
        config.contract = options_.contract;
        config.chooser = recording(
            [&](const nt::Choice& c) {
                if (recordAfter != UINT64_MAX && (c.index >= recordAfter || recordAfter == 0)) {
                    std::vector<int> others;
                    for (size_t i = 0; i < c.candidates.size(); ++i) {
                        if (i != c.preferred) others.push_back(c.candidates[i]);
                    }
                    out.alternatives.emplace_back(c.index, std::move(others));
                }
                return pick(c);
            },
            out.taken);
        RunResult result = play(*m, armed_, scenario_, config);
        out.choices = result.choices;
        out.findings = judge(*m, result, reference_);
        return out;
    }

    Outcome replay(const std::vector<Deviation>& deviations)
    {
        Token token{options_.cpus, options_.contract, deviations};
        return runOne(replayChooser(token));
    }

    // The fewest deviations of `taken` that still show the finding: halves, then quarters and so
    // on are left out while the finding stays.
    std::vector<Deviation> shrink(std::vector<Deviation> taken, const std::string& key)
    {
        if (!options_.shrink) return taken;
        unsigned budget = 300;
        auto shows = [&](const std::vector<Deviation>& candidate) {
            if (budget == 0) return false;
            --budget;
            for (const Finding& f : replay(candidate).findings) {
                if (keyOf(f) == key) return true;
            }
            return false;
        };
        size_t chunk = std::max<size_t>(1, taken.size() / 2);
        while (!taken.empty() && budget > 0) {
            bool removed = false;
            for (size_t at = 0; at < taken.size() && budget > 0;) {
                std::vector<Deviation> candidate(taken.begin(), taken.begin() + static_cast<long>(at));
                const size_t end = std::min(taken.size(), at + chunk);
                candidate.insert(candidate.end(), taken.begin() + static_cast<long>(end), taken.end());
                if (shows(candidate)) {
                    taken = std::move(candidate);
                    removed = true;
                } else {
                    at = end;
                }
            }
            if (chunk == 1 && !removed) break;
            if (!removed) chunk = std::max<size_t>(1, chunk / 2);
        }
        return taken;
    }

    void note(const Outcome& outcome, uint64_t schedule, ExploreReport& report,
              const std::function<void(const ExploreFinding&)>& progress)
    {
        for (const Finding& f : outcome.findings) {
            const std::string key = keyOf(f);
            if (!seen_.insert(key).second) continue;
            ExploreFinding found;
            found.finding = f;
            found.schedule = schedule;
            std::vector<Deviation> shrunk = shrink(outcome.taken, key);
            // The finding as the shrunk schedule shows it, and the deviations that schedule
            // really took: what its token plays again.
            if (shrunk != outcome.taken) {
                const Outcome again = replay(shrunk);
                for (const Finding& g : again.findings) {
                    if (keyOf(g) != key) continue;
                    found.finding = g;
                    shrunk = again.taken;
                    break;
                }
            }
            found.deviations = shrunk.size();
            found.token = encodeToken(Token{options_.cpus, options_.contract, shrunk});
            report.findings.push_back(found);
            if (progress) progress(found);
        }
    }

    uint64_t referenceChoices()
    {
        if (!referenceChoices_) {
            referenceChoices_ = runOne([](const nt::Choice& c) { return c.preferred; }).choices;
        }
        return *referenceChoices_;
    }

private:
    const MachineFactory& make_;
    const std::vector<machine::Event>& armed_;
    const machine::ScenarioDesc& scenario_;
    const ExploreOptions& options_;
    std::vector<std::string> reference_;
    std::set<std::string> seen_;
    std::optional<uint64_t> referenceChoices_;
};

uint64_t mix(uint64_t seed, uint64_t index)
{
    uint64_t z = seed * 0x9E3779B97F4A7C15ull + index + 0x632BE59BD9B4E019ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

nt::Scheduler::Chooser replayChooser(const Token& token)
{
    return [deviations = token.deviations, next = size_t{0}](const nt::Choice& c) mutable {
        while (next < deviations.size() && deviations[next].choice < c.index) ++next;
        if (next < deviations.size() && deviations[next].choice == c.index) {
            const int wanted = deviations[next].thread;
            for (size_t i = 0; i < c.candidates.size(); ++i) {
                if (c.candidates[i] == wanted) return i;
            }
        }
        return c.preferred;
    };
}

std::vector<std::string> playOneProcessor(machine::Machine& m, const std::vector<machine::Event>& armed,
                                          const machine::ScenarioDesc& scenario)
{
    m.boot(armed);
    for (const auto& e : scenario.events) m.apply(e);
    return endState(m);
}

std::vector<Finding> judge(machine::Machine& m, RunResult& result, const std::vector<std::string>& reference)
{
    std::vector<Finding> findings = std::move(result.findings);
    if (auto differs = compareEndState(result.endState, reference)) findings.push_back(*differs);
    const size_t before = m.kernel().violations().size();
    for (const std::string& problem : m.shutdown()) {
        // Verifier findings made while the scenario played were reported already.
        if (problem.rfind("verifier: ", 0) == 0 && before > 0) continue;
        findings.push_back({"teardown", problem});
    }
    return findings;
}

ExploreReport explore(const MachineFactory& make, const std::vector<machine::Event>& armed,
                      const machine::ScenarioDesc& scenario, const ExploreOptions& options,
                      const std::function<void(const ExploreFinding&)>& progress)
{
    ExploreReport report;
    Explorer explorer(make, armed, scenario, options);
    const unsigned shards = std::max(1u, options.shards);
    const unsigned shard = std::clamp(options.shard, 1u, shards) - 1;

    if (options.strategy == Strategy::Random || options.strategy == Strategy::Pct) {
        const uint64_t horizon = options.strategy == Strategy::Pct ? std::max<uint64_t>(1, explorer.referenceChoices()) : 0;
        for (uint64_t i = 0; i < options.schedules; ++i) {
            if (i % shards != shard) continue;
            std::mt19937_64 rng(mix(options.seed, i));
            Outcome outcome;
            if (options.strategy == Strategy::Random) {
                outcome = explorer.runOne([&rng](const nt::Choice& c) {
                    return static_cast<size_t>(rng() % c.candidates.size());
                });
            } else {
                // Random priorities per thread, lowered for the running thread at a few random
                // decisions; the ready thread of highest priority always goes.
                std::map<int, uint64_t> priority;
                std::map<uint64_t, unsigned> changes;
                for (unsigned k = 0; k < options.preemptions; ++k) changes[rng() % horizon] = k + 1;
                outcome = explorer.runOne([&](const nt::Choice& c) {
                    if (auto it = changes.find(c.index); it != changes.end() && c.current >= 0) {
                        priority[c.current] = it->second;
                    }
                    size_t best = 0;
                    uint64_t bestPriority = 0;
                    for (size_t k = 0; k < c.candidates.size(); ++k) {
                        auto [at, fresh] = priority.try_emplace(c.candidates[k], 0);
                        if (fresh) at->second = 1000 + rng() % 1000000;
                        if (at->second > bestPriority) {
                            bestPriority = at->second;
                            best = k;
                        }
                    }
                    return best;
                });
            }
            ++report.schedules;
            explorer.note(outcome, i, report, progress);
        }
        report.complete = false;
        return report;
    }

    // Bounded: depth first over schedules with at most `preemptions` deviations, each deviation
    // at a later decision than the one before. The root's children are dealt to the shards in
    // turn; every shard runs the root to find them, and the first counts it.
    struct Pending {
        std::vector<Deviation> deviations;
    };
    std::vector<Pending> stack;
    uint64_t index = 0;
    auto expand = [&](const std::vector<Deviation>& base, const Outcome& outcome, bool deal) {
        if (base.size() >= options.preemptions) return;
        std::vector<Pending> children;
        size_t j = 0;
        for (const auto& [choice, others] : outcome.alternatives) {
            if (!base.empty() && choice <= base.back().choice) continue;
            for (int thread : others) {
                if (!deal || j++ % shards == shard) {
                    std::vector<Deviation> child = base;
                    child.push_back({choice, thread});
                    children.push_back({std::move(child)});
                }
            }
        }
        // Depth first, in order: the first child on top.
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(std::move(*it));
    };
    {
        Token root{options.cpus, options.contract, {}};
        Outcome outcome = explorer.runOne(replayChooser(root), 0);
        if (shard == 0) {
            ++report.schedules;
            explorer.note(outcome, index, report, progress);
        }
        ++index;
        expand({}, outcome, true);
    }
    while (!stack.empty()) {
        if (report.schedules >= options.schedules) return report;
        Pending next = std::move(stack.back());
        stack.pop_back();
        Token token{options.cpus, options.contract, next.deviations};
        Outcome outcome = explorer.runOne(replayChooser(token), next.deviations.back().choice + 1);
        ++report.schedules;
        explorer.note(outcome, index++, report, progress);
        expand(next.deviations, outcome, false);
    }
    report.complete = true;
    return report;
}

}  // namespace sched
