// An exploration's report as one JSON line, and the verdict of several shards read back from
// theirs: the shards of one exploration run anywhere, and their lines together say what the whole
// exploration found, complete only when every shard ran to its end.
#pragma once

#include <sched/explore.hpp>

#include <nlohmann/json.hpp>

#include <optional>
#include <string>
#include <vector>

namespace sched {

// What names the exploration besides its options, so that shards of different ones are not
// merged.
struct ExploreSubject {
    std::string machine;
    std::string scenario;
    bool withDriver = true;
};

nlohmann::ordered_json reportJson(const ExploreSubject& subject, const ExploreOptions& options,
                                  const ExploreReport& report);

struct MergedVerdict {
    ExploreSubject subject;
    ExploreOptions options;  // shard 1 of 1
    unsigned shards = 1;     // how many were merged
    ExploreReport report;
    std::vector<unsigned> missing;  // shards no line was given for
};

// The lines of kind "exploration" among `lines` (others are passed over): every shard of one
// exploration, each once. A finding several shards made is kept from the schedule the whole
// exploration would have run first, so that the verdict is the unsharded exploration's.
std::optional<MergedVerdict> mergeShards(const std::vector<nlohmann::json>& lines, std::string& error);

}  // namespace sched
