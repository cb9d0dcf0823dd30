#include <sched/explore.hpp>

#include "snapshot.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <stdexcept>

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

}  // namespace

// Findings compared across schedules without the addresses of objects, which follow the order
// in which threads allocated them. An address is eight hexadecimal digits standing alone; a
// value such as a register's is written with "0x" and stays.
std::string findingKey(const Finding& f)
{
    static const std::regex address("(^|[^0-9A-Za-z])[0-9a-f]{8}(?![0-9A-Za-z])");
    return f.detector + ": " + std::regex_replace(f.text, address, "$1-");
}

namespace {

std::string keyOf(const Finding& f) { return findingKey(f); }

struct Outcome {
    std::vector<Finding> findings;
    std::vector<Deviation> taken;
    uint64_t choices = 0;
    // Bounded: each decision after the last deviation, with the threads that could have gone.
    std::vector<std::pair<uint64_t, std::vector<int>>> alternatives;
    // Every decision: how many candidates, and which was taken (the schedule's path in the tree
    // of schedules); with `candidates` asked for, who they were.
    std::vector<std::pair<uint8_t, uint8_t>> path;
    std::vector<std::vector<int>> candidates;
};

// Every schedule an exploration has run, as the tree of its decisions: each decision is the
// index of the thread taken among the candidates. An edge is a choice at a node, then the choices
// of the one schedule that has gone that way so far (its tail), then the node where schedules
// parted, if any. A subtree is done once every schedule in it has run; a walk never enters a done
// subtree, so no schedule runs twice, and the exploration is complete when the root is done.
class ScheduleTree {
    struct Node;
    struct Edge {
        uint8_t pick = 0;
        std::vector<uint8_t> tail;
        std::unique_ptr<Node> child;  // none: the schedule ended after the tail
        bool ended = false;           // a schedule ended right after the tail
    };
    struct Node {
        uint8_t width = 0;
        bool done = false;
        std::vector<std::unique_ptr<Edge>> edges;
    };
    // Nothing left to run below the edge's last tail choice.
    static bool belowDone(const Edge& e) { return e.child ? e.child->done : e.ended; }
    static bool done(const Edge& e) { return e.tail.empty() && belowDone(e); }

public:
    // Follows one run. `order` is the candidates in the strategy's order of preference; the
    // first whose subtree is not done is taken.
    class Walk {
    public:
        explicit Walk(ScheduleTree& tree) : tree_(tree) { enter(&tree.root_); }

        size_t decide(size_t width, const std::vector<size_t>& order)
        {
            if (width > 255 || tree_.broken_) {
                tree_.broken_ = true;
                return order.front();
            }
            if (mode_ == Mode::Fresh) {
                edge_->tail.push_back(static_cast<uint8_t>(order.front()));
                return order.front();
            }
            if (mode_ == Mode::Tail) {
                const std::vector<uint8_t>& tail = edge_->tail;
                const uint8_t before = tail[at_];
                const bool last = at_ + 1 == tail.size();
                const bool beforeDone = last && belowDone(*edge_);
                size_t pick = order.front();
                for (size_t candidate : order) {
                    if (!(candidate == before && beforeDone)) {
                        pick = candidate;
                        break;
                    }
                }
                if (pick == before) {
                    ++at_;
                    if (last && !edge_->child) {
                        // An earlier run ended here and this one goes on: not the same machine.
                        tree_.broken_ = true;
                        return pick;
                    }
                    if (last) {
                        // Only a tail followed by a node can be followed to its end.
                        node_ = edge_->child.get();
                        mode_ = Mode::Node;
                    }
                    return pick;
                }
                // Leaves the path the tail kept: a node here, with the rest of the tail below it.
                auto node = std::make_unique<Node>();
                node->width = static_cast<uint8_t>(width);
                auto rest = std::make_unique<Edge>();
                rest->pick = before;
                rest->tail.assign(tail.begin() + static_cast<long>(at_) + 1, tail.end());
                rest->child = std::move(edge_->child);
                rest->ended = edge_->ended;
                node->edges.push_back(std::move(rest));
                edge_->tail.resize(at_);
                edge_->ended = false;
                edge_->child = std::move(node);
                return atNode(edge_->child.get(), width, order);
            }
            return atNode(node_, width, order);
        }

        // The run has ended: its path is done, and so is every node all of whose paths are.
        void finish()
        {
            if (tree_.broken_ || mode_ != Mode::Fresh) return;  // only fresh paths end
            edge_->ended = true;
            edge_->tail.shrink_to_fit();
            for (size_t i = path_.size(); i-- > 0;) {
                Node* node = path_[i].first;
                if (!done(*path_[i].second)) break;
                if (node->edges.size() < node->width) break;
                bool all = true;
                for (const auto& e : node->edges) all = all && done(*e);
                if (!all) break;
                node->done = true;
            }
        }

    private:
        enum class Mode { Fresh, Tail, Node };

        void enter(Edge* edge)
        {
            edge_ = edge;
            at_ = 0;
            if (!edge->tail.empty()) {
                mode_ = Mode::Tail;
            } else if (edge->child) {
                mode_ = Mode::Node;
                node_ = edge->child.get();
            } else {
                mode_ = Mode::Fresh;
            }
        }

        size_t atNode(Node* node, size_t width, const std::vector<size_t>& order)
        {
            if (node->width == 0) node->width = static_cast<uint8_t>(width);
            auto find = [&](size_t candidate) -> Edge* {
                for (auto& e : node->edges) {
                    if (e->pick == candidate) return e.get();
                }
                return nullptr;
            };
            size_t pick = order.front();
            for (size_t candidate : order) {
                Edge* e = find(candidate);
                if (e == nullptr || !done(*e)) {
                    pick = candidate;
                    break;
                }
            }
            Edge* e = find(pick);
            if (e == nullptr) {
                node->edges.push_back(std::make_unique<Edge>());
                e = node->edges.back().get();
                e->pick = static_cast<uint8_t>(pick);
            }
            path_.emplace_back(node, e);
            enter(e);
            return pick;
        }

        ScheduleTree& tree_;
        std::vector<std::pair<Node*, Edge*>> path_;
        Mode mode_ = Mode::Fresh;
        Edge* edge_ = nullptr;
        Node* node_ = nullptr;
        size_t at_ = 0;
    };

    bool complete() const { return done(root_) && !broken_; }

private:
    Edge root_;
    bool broken_ = false;  // a decision with more candidates than a byte holds: no record kept
};

class Explorer {
public:
    Explorer(const MachineFactory& make, const std::vector<machine::Event>& armed,
             const machine::ScenarioDesc& scenario, const ExploreOptions& options)
        : make_(make), armed_(armed), scenario_(scenario), options_(options)
    {
        {
            auto m = make_();
            reference_ = playOneProcessor(*m, armed_, scenario_);
        }
        RunConfig config;
        config.cpus = options_.cpus;
        config.contract = options_.contract;
        snapshot_ = std::make_unique<detail::Snapshot>(make_, armed_, scenario_, config, reference_);
    }

    Outcome runOne(std::function<size_t(const nt::Choice&)> pick, uint64_t recordAfter = UINT64_MAX,
                   bool withCandidates = false)
    {
        Outcome out;
        const nt::Scheduler::Chooser chooser = recording(
            [&](const nt::Choice& c) {
                if (recordAfter != UINT64_MAX && (c.index >= recordAfter || recordAfter == 0)) {
                    std::vector<int> others;
                    for (size_t i = 0; i < c.candidates.size(); ++i) {
                        if (i != c.preferred) others.push_back(c.candidates[i]);
                    }
                    out.alternatives.emplace_back(c.index, std::move(others));
                }
                if (withCandidates) out.candidates.push_back(c.candidates);
                const size_t chosen = pick(c);
                out.path.emplace_back(static_cast<uint8_t>(std::min<size_t>(c.candidates.size(), 255)),
                                      static_cast<uint8_t>(std::min<size_t>(chosen, 255)));
                return chosen;
            },
            out.taken);
        // The chooser runs in the copy of the machine; what it recorded comes back.
        auto save = [&out](std::string& report) {
            auto put = [&report](const auto& value) {
                report.append(reinterpret_cast<const char*>(&value), sizeof value);
            };
            put(static_cast<uint64_t>(out.taken.size()));
            for (const Deviation& d : out.taken) {
                put(d.choice);
                put(d.thread);
            }
            put(static_cast<uint64_t>(out.alternatives.size()));
            for (const auto& [choice, others] : out.alternatives) {
                put(choice);
                put(static_cast<uint64_t>(others.size()));
                for (int thread : others) put(thread);
            }
            put(static_cast<uint64_t>(out.path.size()));
            for (const auto& [width, taken] : out.path) {
                put(width);
                put(taken);
            }
            put(static_cast<uint64_t>(out.candidates.size()));
            for (const auto& threads : out.candidates) {
                put(static_cast<uint64_t>(threads.size()));
                for (int thread : threads) put(thread);
            }
        };
        auto load = [&out](const char*& at, const char* end) {
            auto take = [&]<typename T>(T& value) {
                if (static_cast<size_t>(end - at) < sizeof value) {
                    throw std::runtime_error("a schedule's record came back cut short");
                }
                std::memcpy(&value, at, sizeof value);
                at += sizeof value;
            };
            uint64_t count = 0;
            take(count);
            out.taken.resize(static_cast<size_t>(count));
            for (Deviation& d : out.taken) {
                take(d.choice);
                take(d.thread);
            }
            take(count);
            out.alternatives.resize(static_cast<size_t>(count));
            for (auto& [choice, others] : out.alternatives) {
                take(choice);
                uint64_t n = 0;
                take(n);
                others.resize(static_cast<size_t>(n));
                for (int& thread : others) take(thread);
            }
            take(count);
            out.path.resize(static_cast<size_t>(count));
            for (auto& [width, taken] : out.path) {
                take(width);
                take(taken);
            }
            take(count);
            out.candidates.resize(static_cast<size_t>(count));
            for (auto& threads : out.candidates) {
                uint64_t n = 0;
                take(n);
                threads.resize(static_cast<size_t>(n));
                for (int& thread : threads) take(thread);
            }
        };
        detail::Played played = snapshot_->play(chooser, save, load);
        out.choices = played.choices;
        out.findings = std::move(played.findings);
        return out;
    }

    Outcome replay(const std::vector<Deviation>& deviations)
    {
        Token token{options_.cpus, options_.contract, deviations};
        return runOne(replayChooser(token));
    }

    // The fewest deviations that still show the finding. Runs of deviations are left out, halves
    // first; then a deviation is dropped while a neighbour moves to where it was or next to it,
    // since a schedule that needs one thread at one exact step is often reached by several
    // deviations that each moved it a little.
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
        auto leaveOut = [&] {
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
        };
        leaveOut();
        for (bool moved = true; moved && taken.size() > 1 && budget > 0;) {
            moved = false;
            for (size_t drop = 0; drop < taken.size() && !moved && budget > 0; ++drop) {
                for (size_t keep : {drop + 1, drop - 1}) {
                    if (keep >= taken.size() || moved) continue;
                    const uint64_t from = taken[drop].choice, to = taken[keep].choice;
                    std::set<uint64_t> places;
                    for (int64_t delta : {0, 1, -1, 2, -2}) {
                        for (uint64_t around : {from, to}) {
                            if (static_cast<int64_t>(around) + delta >= 0) places.insert(around + delta);
                        }
                    }
                    places.insert((from + to) / 2);
                    places.erase(to);
                    for (uint64_t place : places) {
                        std::vector<Deviation> candidate;
                        for (size_t i = 0; i < taken.size(); ++i) {
                            if (i == drop) continue;
                            candidate.push_back(i == keep ? Deviation{place, taken[i].thread} : taken[i]);
                        }
                        const bool ordered = std::is_sorted(
                            candidate.begin(), candidate.end(),
                            [](const Deviation& a, const Deviation& b) { return a.choice <= b.choice; });
                        if (!ordered || !shows(candidate)) continue;
                        taken = std::move(candidate);
                        moved = true;
                        break;
                    }
                }
            }
            if (moved) leaveOut();
        }
        return taken;
    }

    // False when the exploration is to stop.
    bool note(const Outcome& outcome, uint64_t schedule, ExploreReport& report,
              const std::function<void(const ExploreFinding&)>& progress,
              const std::function<void(const ScheduleRun&)>& ran)
    {
        if (ran) ran(ScheduleRun{schedule, outcome.taken});
        bool stop = false;
        for (const Finding& f : outcome.findings) {
            stop = stop || options_.stopAt == "any" || options_.stopAt == f.detector;
            const std::string key = keyOf(f);
            if (!seen_.insert(key).second) continue;
            ExploreFinding found;
            found.finding = f;
            found.schedule = schedule;
            found.shown = outcome.taken;
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
        return !stop;
    }

    // The schedule without deviations: how many decisions it has, and over which of them each
    // thread was among the candidates.
    uint64_t referenceChoices()
    {
        if (!referenceChoices_) {
            const Outcome reference = runOne([](const nt::Choice& c) { return c.preferred; },
                                             UINT64_MAX, true);
            for (uint64_t index = 0; index < reference.candidates.size(); ++index) {
                for (int t : reference.candidates[static_cast<size_t>(index)]) {
                    auto [at, fresh] = spans_.try_emplace(t, index, index);
                    if (!fresh) at->second.second = index;
                }
            }
            referenceChoices_ = reference.choices;
        }
        return *referenceChoices_;
    }

    // The decisions over which a thread competed in the schedule without deviations.
    std::pair<uint64_t, uint64_t> span(int thread)
    {
        referenceChoices();
        auto it = spans_.find(thread);
        return it == spans_.end() ? std::pair<uint64_t, uint64_t>{0, 0} : it->second;
    }

private:
    const MachineFactory& make_;
    const std::vector<machine::Event>& armed_;
    const machine::ScenarioDesc& scenario_;
    const ExploreOptions& options_;
    std::vector<std::string> reference_;
    std::set<std::string> seen_;
    std::optional<uint64_t> referenceChoices_;
    std::map<int, std::pair<uint64_t, uint64_t>> spans_;
    std::unique_ptr<detail::Snapshot> snapshot_;
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
                      const std::function<void(const ExploreFinding&)>& progress,
                      const std::function<void(const ScheduleRun&)>& ran)
{
    ExploreReport report;
    Explorer explorer(make, armed, scenario, options);
    const unsigned shards = std::max(1u, options.shards);
    const unsigned shard = std::clamp(options.shard, 1u, shards) - 1;

    if (options.strategy == Strategy::Random || options.strategy == Strategy::Pct) {
        const uint64_t horizon = std::max<uint64_t>(1, explorer.referenceChoices());
        ScheduleTree tree;
        for (uint64_t i = 0; i < options.schedules; ++i) {
            if (i % shards != shard) continue;
            if (tree.complete()) {
                report.complete = true;
                break;
            }
            std::mt19937_64 rng(mix(options.seed, i));
            ScheduleTree::Walk walk(tree);
            std::vector<size_t> order;
            Outcome outcome;
            if (options.strategy == Strategy::Random) {
                // Each thread waits a random number of decisions within those it competed over
                // in the schedule without deviations before it may be chosen; from then on the
                // threads that may go are chosen alike. A short thread thus runs late as often as
                // early, where choosing alike from the first decision would all but always run it
                // first.
                std::map<int, uint64_t> from;
                outcome = explorer.runOne([&](const nt::Choice& c) {
                    std::vector<size_t> eligible;
                    for (size_t k = 0; k < c.candidates.size(); ++k) {
                        auto [at, fresh] = from.try_emplace(c.candidates[k], 0);
                        if (fresh) {
                            const auto [first, last] = explorer.span(c.candidates[k]);
                            at->second = first + rng() % (last - first + 1);
                        }
                        if (c.index >= at->second) eligible.push_back(k);
                    }
                    order.clear();
                    if (eligible.empty()) {
                        order.push_back(c.preferred);
                    } else {
                        order.push_back(eligible[static_cast<size_t>(rng() % eligible.size())]);
                    }
                    // Should that path be done, any other not done, in a random order.
                    std::vector<size_t> rest;
                    for (size_t k = 0; k < c.candidates.size(); ++k) {
                        if (k != order.front()) rest.push_back(k);
                    }
                    std::shuffle(rest.begin(), rest.end(), rng);
                    order.insert(order.end(), rest.begin(), rest.end());
                    return walk.decide(c.candidates.size(), order);
                });
            } else {
                // Random priorities per thread, lowered for the running thread at a few random
                // decisions; the ready thread of highest priority goes (of those whose paths are
                // not all run).
                std::map<int, uint64_t> priority;
                std::map<uint64_t, unsigned> changes;
                for (unsigned k = 0; k < options.preemptions; ++k) changes[rng() % horizon] = k + 1;
                outcome = explorer.runOne([&](const nt::Choice& c) {
                    if (auto it = changes.find(c.index); it != changes.end() && c.current >= 0) {
                        priority[c.current] = it->second;
                    }
                    order.clear();
                    for (size_t k = 0; k < c.candidates.size(); ++k) {
                        auto [at, fresh] = priority.try_emplace(c.candidates[k], 0);
                        if (fresh) at->second = 1000 + rng() % 1000000;
                        order.push_back(k);
                    }
                    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
                        return priority[c.candidates[a]] > priority[c.candidates[b]];
                    });
                    return walk.decide(c.candidates.size(), order);
                });
            }
            // The walk above ran in the copy of the machine; this process's tree follows the path
            // that came back.
            ScheduleTree::Walk record(tree);
            for (const auto& [width, taken] : outcome.path) record.decide(width, {taken});
            record.finish();
            ++report.schedules;
            if (!explorer.note(outcome, i, report, progress, ran)) return report;
        }
        if (tree.complete()) report.complete = true;
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
            if (!explorer.note(outcome, index, report, progress, ran)) return report;
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
        if (!explorer.note(outcome, index++, report, progress, ran)) return report;
        expand(next.deviations, outcome, false);
    }
    report.complete = true;
    return report;
}

}  // namespace sched
