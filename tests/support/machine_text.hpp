// Pieces of machine files, for tests that describe small machines: a card of the catalogue, and
// a bridge or a device as the table `table` ("function", "function.behind", "card.function",
// "card.function.behind", ...) at `place` (a card's function number, or a device.function).
// `more` adds keys of its own, one a line.
#pragma once

#include <string>

namespace hotp::test {

inline std::string card(const std::string& name) { return "\n[[card]]\nname = \"" + name + "\"\n"; }

inline std::string placed(const std::string& table, const std::string& place, const std::string& id)
{
    return "[[" + table + "]]\n" +
           (place.find('.') == std::string::npos ? "function = " + place : "at = \"" + place + "\"") +
           "\nid = \"" + id + "\"\n";
}

inline std::string bridge(const std::string& table, const std::string& place, const std::string& id,
                          const std::string& more = {})
{
    return placed(table, place, id) + "kind = \"bridge\"\n" + more;
}

inline std::string device(const std::string& table, const std::string& place, const std::string& id,
                          const std::string& classCode, const std::string& bars,
                          const std::string& more = {})
{
    return placed(table, place, id) + "class = " + classCode + "\nbars = " + bars + "\n" + more;
}

inline const std::string k4K = R"([ { type = "mem32", size = "4K" } ])";
inline const std::string k1M = R"([ { type = "mem32", size = "1M" } ])";

}  // namespace hotp::test
