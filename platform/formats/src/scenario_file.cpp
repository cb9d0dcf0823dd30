#include <formats/scenario_file.hpp>

#include "toml_reader.hpp"

#include <cctype>
#include <cstdint>

namespace formats {

using namespace machine;
using detail::Reader;

namespace {

// "250ms", "1.5s", "2s"; nothing when malformed.
std::optional<uint64_t> parseTime(std::string_view text)
{
    uint64_t whole = 0, fraction = 0, scale = 1;
    size_t i = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        if (whole > UINT64_MAX / 100000) return std::nullopt;
        whole = whole * 10 + static_cast<uint64_t>(text[i] - '0');
    }
    if (i == 0) return std::nullopt;
    if (i < text.size() && text[i] == '.') {
        const size_t start = ++i;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            if (scale >= 1000000) return std::nullopt;
            fraction = fraction * 10 + static_cast<uint64_t>(text[i] - '0');
            scale *= 10;
        }
        if (i == start) return std::nullopt;
    }
    const std::string_view unit = text.substr(i);
    if (unit == "ms") {
        if (scale != 1) return std::nullopt;  // no fractions of a millisecond
        return whole;
    }
    if (unit == "s") {
        const uint64_t ms = fraction * 1000;
        if (ms % scale != 0) return std::nullopt;
        return whole * 1000 + ms / scale;
    }
    return std::nullopt;
}

class ScenarioParser {
public:
    explicit ScenarioParser(std::string_view fileName) : r_(fileName) {}
    std::vector<std::string>& errors() { return r_.errors(); }

    void parse(const toml::table& top, ScenarioDesc& s)
    {
        r_.onlyKeys(top, {"name", "event"}, "a scenario file");
        if (auto name = r_.string(top, "name", "the scenario")) s.name = *name;
        uint64_t previous = 0;
        unsigned previousLine = 0;
        for (const toml::table* t : r_.tables(top, "event", "the scenario")) {
            Event e;
            if (!event(*t, e, previous)) continue;
            if (e.atMs < previous) {
                r_.error(Reader::keyLine(*t, "at"),
                         "this event at " + std::to_string(e.atMs) +
                             "ms comes before the one at line " + std::to_string(previousLine) +
                             " (" + std::to_string(previous) + "ms); list events in time order");
                continue;
            }
            previous = e.atMs;
            previousLine = e.line;
            s.events.push_back(std::move(e));
        }
    }

private:
    bool event(const toml::table& t, Event& e, uint64_t previous)
    {
        const size_t errorsBefore = errors().size();
        e.line = Reader::line(t);
        r_.onlyKeys(t, {"at", "insert", "slot", "remove", "surprise_remove", "power", "device",
                        "sleep", "wake", "fail", "nth", "once", "offset"},
                    "an event");
        e.atMs = previous;
        if (const toml::node* at = t.get("at")) {
            if (at->is_integer() && at->as_integer()->get() >= 0) {
                e.atMs = static_cast<uint64_t>(at->as_integer()->get());
            } else if (auto ms = at->is_string() ? parseTime(at->as_string()->get())
                                                 : std::nullopt) {
                e.atMs = *ms;
            } else {
                r_.error(*at, "'at' is a time after boot: milliseconds, or a string such as "
                              "\"250ms\" or \"1.5s\"");
            }
        }
        static constexpr std::string_view actions[] = {"insert", "remove", "surprise_remove",
                                                       "power", "sleep", "wake", "fail"};
        std::vector<std::string_view> given;
        for (std::string_view a : actions) {
            if (t.get(a) != nullptr) given.push_back(a);
        }
        if (given.size() != 1) {
            r_.error(e.line, given.empty()
                                 ? "an event needs one of insert, remove, surprise_remove, "
                                   "power, sleep, wake or fail"
                                 : "an event does one thing; this one has both '" +
                                       std::string(given[0]) + "' and '" +
                                       std::string(given[1]) + "'");
            return false;
        }
        const std::string_view action = given[0];
        if (action != "insert" && t.get("slot") != nullptr) {
            r_.error(Reader::keyLine(t, "slot"),
                     "'slot' goes with insert (remove names its slot itself)");
        }
        if (action != "power" && action != "fail" && t.get("device") != nullptr) {
            r_.error(Reader::keyLine(t, "device"), "'device' goes with power or fail");
        }
        for (std::string_view key : {"nth", "once", "offset"}) {
            if (action != "fail" && t.get(key) != nullptr) {
                r_.error(Reader::keyLine(t, key), "'" + std::string(key) + "' goes with fail");
            }
        }
        if (action == "insert") {
            e.kind = EventKind::Insert;
            if (auto card = r_.string(t, "insert", "an event")) e.card = *card;
            location(t, "slot", "an insert event", e.slot, true, true);
        } else if (action == "remove" || action == "surprise_remove") {
            e.kind = action == "remove" ? EventKind::Remove : EventKind::SurpriseRemove;
            location(t, action, "a remove event", e.slot, false, true);
        } else if (action == "power") {
            e.kind = EventKind::Power;
            if (auto state = r_.string(t, "power", "an event")) {
                if (state->size() == 2 && (*state)[0] == 'D' && (*state)[1] >= '0' &&
                    (*state)[1] <= '3') {
                    e.deviceState = static_cast<unsigned>((*state)[1] - '0');
                } else {
                    r_.error(Reader::keyLine(t, "power"),
                             "'" + *state + "' is not a device power state (D0, D1, D2 or D3)");
                }
            }
            location(t, "device", "a power event", e.device, true, false);
        } else if (action == "fail") {
            e.kind = EventKind::Fail;
            fault(t, e);
        } else if (action == "sleep") {
            e.kind = EventKind::Sleep;
            if (auto state = r_.string(t, "sleep", "an event")) {
                if (state->size() == 2 && (*state)[0] == 'S' && (*state)[1] >= '1' &&
                    (*state)[1] <= '4') {
                    e.systemState = static_cast<unsigned>((*state)[1] - '0');
                } else {
                    r_.error(Reader::keyLine(t, "sleep"),
                             "'" + *state + "' is not a sleep state (S1, S2, S3 or S4)");
                }
            }
        } else {
            e.kind = EventKind::Wake;
            auto wake = r_.boolean(t, "wake", "an event");
            if (wake && !*wake) {
                r_.error(Reader::keyLine(t, "wake"), "'wake = false' does nothing; leave it out");
            }
        }
        return errors().size() == errorsBefore;
    }

    // fail = "name", with device, offset, nth and once.
    void fault(const toml::table& t, Event& e)
    {
        if (auto name = r_.string(t, "fail", "an event")) {
            if (*name != "none" && findFaultName(*name) == nullptr) {
                std::string known;
                for (const FaultName& f : faultNames()) known += std::string(" ") + f.name;
                r_.error(Reader::keyLine(t, "fail"),
                         "'" + *name + "' is not a fault; one of:" + known + " or none");
            }
            e.fault = *name;
        }
        if (t.get("device") != nullptr) {
            const FaultName* named = findFaultName(e.fault);
            if (named != nullptr && !named->aimable) {
                r_.error(Reader::keyLine(t, "device"),
                         "'" + e.fault + "' concerns no device; 'device' goes with "
                         "query-interface, config, config-read, config-write, lower-fail and "
                         "lower-pend");
            } else {
                location(t, "device", "a fail event", e.device, false, false);
            }
        }
        if (auto nth = r_.integer(t, "nth", "a fail event", 1, INT64_MAX)) {
            e.nth = static_cast<uint64_t>(*nth);
        }
        if (auto once = r_.boolean(t, "once", "a fail event")) e.once = *once;
        if (auto offset = r_.integer(t, "offset", "a fail event", 0, 0xFF)) {
            const FaultName* named = findFaultName(e.fault);
            if (named != nullptr && !named->config) {
                r_.error(Reader::keyLine(t, "offset"),
                         "'offset' goes with config, config-read or config-write");
            } else {
                e.offset = static_cast<unsigned>(*offset);
            }
        }
    }

    void location(const toml::table& t, std::string_view key, std::string_view what,
                  Location& out, bool required, bool slot)
    {
        auto text = r_.string(t, key, what, required);
        if (!text) return;
        std::string error;
        auto parsed = parseLocation(*text, error);
        if (parsed && slot) {
            const bool hasFunction = parsed->label.empty()
                                         ? parsed->steps.back().function.has_value()
                                         : parsed->labelFunction || !parsed->steps.empty();
            if (hasFunction) {
                error = "'" + *text + "' names a function; a slot is a label or a device "
                        "number without a function, such as \"1e.0/01\"";
                parsed.reset();
            }
        }
        if (parsed) {
            out = std::move(*parsed);
        } else {
            r_.error(Reader::keyLine(t, key), error);
        }
    }

    Reader r_;
};

}  // namespace

Parsed<ScenarioDesc> parseScenario(std::string_view text, std::string_view fileName)
{
    auto result = toml::parse(text, std::string_view(fileName));
    if (!result) return detail::parseFailure(result.error(), fileName);
    ScenarioParser parser(fileName);
    ScenarioDesc scenario;
    scenario.fileName = std::string(fileName);
    parser.parse(result.table(), scenario);
    if (!parser.errors().empty()) return std::move(parser.errors());
    return scenario;
}

Parsed<ScenarioDesc> loadScenario(const std::string& path)
{
    std::string error;
    auto text = readInputFile(path, error, kMaxFileBytes, "a machine or scenario file");
    if (!text) return std::vector<std::string>{error};
    return parseScenario(*text, path);
}

}  // namespace formats
