#include <sched/verdict.hpp>

#include <algorithm>
#include <map>

namespace sched {

namespace {

const char* strategyName(Strategy s)
{
    return s == Strategy::Random ? "random" : s == Strategy::Pct ? "pct" : "bounded";
}

std::string deviationsText(const std::vector<Deviation>& deviations)
{
    std::string text;
    for (const Deviation& d : deviations) {
        if (!text.empty()) text += ",";
        text += std::to_string(d.choice) + "@" + std::to_string(d.thread);
    }
    return text;
}

// The order in which the whole exploration meets schedules: random and PCT by number, bounded
// depth first, which is the order of the deviation lists, a list before its extensions.
bool earlier(Strategy strategy, const ExploreFinding& a, const ExploreFinding& b)
{
    if (strategy != Strategy::Bounded) return a.schedule < b.schedule;
    return std::lexicographical_compare(
        a.shown.begin(), a.shown.end(), b.shown.begin(), b.shown.end(),
        [](const Deviation& x, const Deviation& y) {
            return x.choice != y.choice ? x.choice < y.choice : x.thread < y.thread;
        });
}

}  // namespace

nlohmann::ordered_json reportJson(const ExploreSubject& subject, const ExploreOptions& options,
                                  const ExploreReport& report)
{
    nlohmann::ordered_json findings = nlohmann::ordered_json::array();
    for (const ExploreFinding& f : report.findings) {
        findings.push_back({{"detector", f.finding.detector},
                            {"text", f.finding.text},
                            {"token", f.token},
                            {"deviations", f.deviations},
                            {"schedule", f.schedule},
                            {"shown", deviationsText(f.shown)}});
    }
    return {{"kind", "exploration"},
            {"machine", subject.machine},
            {"scenario", subject.scenario},
            {"driver", subject.withDriver},
            {"strategy", strategyName(options.strategy)},
            {"preemptions", options.preemptions},
            {"seed", options.seed},
            {"limit", options.schedules == UINT64_MAX ? nlohmann::ordered_json() : nlohmann::ordered_json(options.schedules)},
            {"cpus", options.cpus},
            {"contract", contractName(options.contract)},
            {"shard", options.shard},
            {"shards", options.shards},
            {"schedules", report.schedules},
            {"complete", report.complete},
            {"findings", findings}};
}

std::optional<MergedVerdict> mergeShards(const std::vector<nlohmann::json>& lines, std::string& error)
{
    MergedVerdict merged;
    std::optional<nlohmann::json> first;
    std::map<unsigned, bool> shards;  // shard -> complete
    std::vector<ExploreFinding> all;
    const char* same[] = {"machine", "scenario", "driver", "strategy", "preemptions",
                          "seed", "limit", "cpus", "contract", "shards"};
    try {
        for (const nlohmann::json& line : lines) {
            if (!line.is_object() || line.value("kind", "") != "exploration") continue;
            if (!first) {
                first = line;
                const std::string strategy = line.at("strategy").get<std::string>();
                merged.options.strategy = strategy == "random" ? Strategy::Random
                                          : strategy == "pct"  ? Strategy::Pct
                                                               : Strategy::Bounded;
                if (strategy != "random" && strategy != "pct" && strategy != "bounded") {
                    error = "an exploration line names strategy '" + strategy + "'";
                    return std::nullopt;
                }
                merged.options.preemptions = line.at("preemptions").get<unsigned>();
                merged.options.seed = line.at("seed").get<uint64_t>();
                merged.options.schedules =
                    line.at("limit").is_null() ? UINT64_MAX : line.at("limit").get<uint64_t>();
                merged.options.cpus = line.at("cpus").get<unsigned>();
                merged.options.contract = line.at("contract").get<std::string>() == "documented"
                                              ? Contract::Documented
                                              : Contract::W2k;
                merged.options.shards = line.at("shards").get<unsigned>();
                merged.subject.machine = line.at("machine").get<std::string>();
                merged.subject.scenario = line.at("scenario").get<std::string>();
                merged.subject.withDriver = line.at("driver").get<bool>();
                if (merged.options.shards == 0) {
                    error = "an exploration line says it is one of 0 shards";
                    return std::nullopt;
                }
            }
            for (const char* key : same) {
                if (line.at(key) != first->at(key)) {
                    error = std::string("the lines are of different explorations: their '") + key +
                            "' differs (" + first->at(key).dump() + ", " + line.at(key).dump() + ")";
                    return std::nullopt;
                }
            }
            const unsigned shard = line.at("shard").get<unsigned>();
            if (shard < 1 || shard > merged.options.shards) {
                error = "an exploration line says it is shard " + std::to_string(shard) + " of " +
                        std::to_string(merged.options.shards);
                return std::nullopt;
            }
            if (!shards.emplace(shard, line.at("complete").get<bool>()).second) {
                error = "shard " + std::to_string(shard) + " is given twice";
                return std::nullopt;
            }
            merged.report.schedules += line.at("schedules").get<uint64_t>();
            for (const auto& f : line.at("findings")) {
                ExploreFinding found;
                found.finding.detector = f.at("detector").get<std::string>();
                found.finding.text = f.at("text").get<std::string>();
                found.token = f.at("token").get<std::string>();
                found.deviations = f.at("deviations").get<size_t>();
                found.schedule = f.at("schedule").get<uint64_t>();
                std::string tokenError;
                const std::string shown = f.at("shown").get<std::string>();
                auto token = decodeToken("2w:" + shown, tokenError);
                if (!token) {
                    error = "a finding's schedule '" + shown + "' is not a list of deviations";
                    return std::nullopt;
                }
                found.shown = token->deviations;
                all.push_back(std::move(found));
            }
        }
    } catch (const nlohmann::json::exception& e) {
        error = std::string("an exploration line is not whole: ") + e.what();
        return std::nullopt;
    }
    if (!first) {
        error = "no exploration line (hotpsim --explore ... --json) was given";
        return std::nullopt;
    }
    bool complete = true;
    for (unsigned k = 1; k <= merged.options.shards; ++k) {
        auto it = shards.find(k);
        if (it == shards.end()) {
            merged.missing.push_back(k);
            complete = false;
        } else {
            complete = complete && it->second;
        }
    }
    merged.report.complete = complete;
    merged.shards = merged.options.shards;
    merged.options.shard = merged.options.shards = 1;
    std::stable_sort(all.begin(), all.end(), [&](const ExploreFinding& a, const ExploreFinding& b) {
        return earlier(merged.options.strategy, a, b);
    });
    std::map<std::string, bool> seen;
    for (ExploreFinding& f : all) {
        if (!seen.emplace(findingKey(f.finding), true).second) continue;
        merged.report.findings.push_back(std::move(f));
    }
    return merged;
}

}  // namespace sched
