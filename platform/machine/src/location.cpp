#include <machine/location.hpp>

#include <cctype>
#include <cstdio>

namespace machine {

namespace {

int hexDigit(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string_view trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

// A trailing ".f" with f a single digit: the function part of a step.
bool splitFunction(std::string_view& text, std::optional<unsigned>& function)
{
    if (text.size() >= 2 && text[text.size() - 2] == '.' &&
        std::isdigit(static_cast<unsigned char>(text.back()))) {
        function = static_cast<unsigned>(text.back() - '0');
        text.remove_suffix(2);
        return true;
    }
    return false;
}

enum class StepParse { Ok, NotNumeric, Bad };

// "dd" or "dd.f": one or two hex digits, then optionally a function number.
StepParse parseStep(std::string_view text, Step& step, std::string& error)
{
    std::optional<unsigned> function;
    std::string_view device = text;
    if (device.find('.') != std::string_view::npos) {
        if (!splitFunction(device, function)) {
            const auto dot = device.find('.');
            bool hex = dot > 0 && dot <= 2;
            for (size_t i = 0; i < dot && hex; ++i) hex = hexDigit(device[i]) >= 0;
            if (!hex) return StepParse::NotNumeric;
            error = std::string("'").append(text) + "': a function number is one digit, 0 to 7";
            return StepParse::Bad;
        }
    }
    if (device.empty() || device.size() > 2) return StepParse::NotNumeric;
    unsigned value = 0;
    for (char c : device) {
        const int d = hexDigit(c);
        if (d < 0) return StepParse::NotNumeric;
        value = value * 16 + static_cast<unsigned>(d);
    }
    if (value > 31) {
        error = std::string("'").append(text) + "': device " + std::string(device) +
                " is out of range (00 to 1f)";
        return StepParse::Bad;
    }
    if (function && *function > 7) {
        error = std::string("'").append(text) + "': function " + std::to_string(*function) +
                " is out of range (0 to 7)";
        return StepParse::Bad;
    }
    step.device = value;
    step.function = function;
    return StepParse::Ok;
}

// Walks the machine's own tree (not the catalogue) for a labelled slot.
bool findLabel(const BusDesc& bus, std::string_view label, std::vector<Step>& path)
{
    for (const SlotDesc& slot : bus.slots) {
        if (slot.label == label) {
            path.push_back(Step{slot.device, std::nullopt});
            return true;
        }
    }
    for (const FunctionDesc& f : bus.functions) {
        if (!f.isBridge()) continue;
        path.push_back(Step{f.device, f.function});
        if (findLabel(f.secondary, label, path)) return true;
        path.pop_back();
    }
    return false;
}

}  // namespace

std::optional<Location> parseLocation(std::string_view text, std::string& error)
{
    Location location;
    location.text = std::string(text);
    std::string_view rest = trim(text);
    if (rest.empty()) {
        error = "an empty location";
        return std::nullopt;
    }
    bool first = true;
    while (true) {
        const auto slash = rest.find('/');
        std::string_view part = trim(rest.substr(0, slash));
        if (part.empty()) {
            error = "'" + location.text + "': an empty step";
            return std::nullopt;
        }
        // The root bus may be written out: "00:1e.0", or a peer host bridge's, "80:02.0".
        if (first && part.size() > 3 && part[2] == ':' && hexDigit(part[0]) >= 0 &&
            hexDigit(part[1]) >= 0) {
            location.root = static_cast<unsigned>(hexDigit(part[0]) * 16 + hexDigit(part[1]));
            part.remove_prefix(3);
        }
        Step step;
        switch (parseStep(part, step, error)) {
        case StepParse::Ok:
            location.steps.push_back(step);
            break;
        case StepParse::Bad:
            return std::nullopt;
        case StepParse::NotNumeric:
            if (!first) {
                error = "'" + location.text + "': '" + std::string(part) +
                        "' is not a device.function step";
                return std::nullopt;
            }
            splitFunction(part, location.labelFunction);
            if (location.labelFunction && *location.labelFunction > 7) {
                error = "'" + location.text + "': function " +
                        std::to_string(*location.labelFunction) + " is out of range (0 to 7)";
                return std::nullopt;
            }
            location.label = std::string(trim(part));
            if (location.label.empty()) {
                error = "'" + location.text + "': a function number needs a device or a slot "
                        "label before it";
                return std::nullopt;
            }
            break;
        }
        first = false;
        if (slash == std::string_view::npos) break;
        rest = rest.substr(slash + 1);
    }
    // Only the last step may leave out the function: every step before it is a bridge.
    for (size_t i = 0; i + 1 < location.steps.size(); ++i) {
        if (!location.steps[i].function) {
            error = "'" + location.text + "': a step through a bridge needs its function (dd.f)";
            return std::nullopt;
        }
    }
    if (!location.label.empty() && !location.steps.empty() && !location.labelFunction) {
        error = "'" + location.text + "': a step through the card in '" + location.label +
                "' needs its function ('" + location.label + ".0/...')";
        return std::nullopt;
    }
    return location;
}

bool isValidSlotLabel(std::string_view label)
{
    if (trim(label) != label || label.empty()) return false;
    if (label.find('/') != std::string_view::npos) return false;
    std::optional<unsigned> function;
    std::string_view base = label;
    if (splitFunction(base, function)) return false;  // "x.1" would read as function 1 of "x"
    Step step;
    std::string error;
    if (parseStep(label, step, error) != StepParse::NotNumeric) return false;
    return !(label.size() > 3 && label[2] == ':');
}

std::string formatPath(const std::vector<Step>& steps)
{
    std::string out;
    for (const Step& s : steps) {
        if (!out.empty()) out += '/';
        char buffer[8];
        if (s.function) {
            std::snprintf(buffer, sizeof buffer, "%02x.%u", s.device, *s.function);
        } else {
            std::snprintf(buffer, sizeof buffer, "%02x", s.device);
        }
        out += buffer;
    }
    return out;
}

std::optional<std::vector<Step>> resolveLocation(const MachineDesc& machine,
                                                 const Location& location, std::string& error,
                                                 unsigned* root)
{
    if (root != nullptr) *root = location.root;
    if (location.label.empty()) return location.steps;
    // Labels are unique in the machine: the slot may be behind any root bus.
    std::vector<Step> path;
    bool found = findLabel(machine.root, location.label, path);
    if (found && root != nullptr) *root = 0;
    for (size_t i = 0; !found && i < machine.peers.size(); ++i) {
        found = findLabel(machine.peers[i].bus, location.label, path);
        if (found && root != nullptr) *root = machine.peers[i].number;
    }
    if (!found) {
        error = "no slot is labelled '" + location.label + "'";
        return std::nullopt;
    }
    path.back().function = location.labelFunction;
    path.insert(path.end(), location.steps.begin(), location.steps.end());
    return path;
}

std::optional<Place> findPlace(pci::Hierarchy& hw, const std::vector<Step>& path,
                               std::string& error, unsigned root)
{
    if (path.empty()) {
        error = "an empty path";
        return std::nullopt;
    }
    pci::Bus* bus = nullptr;
    for (const pci::Hierarchy::RootAt& r : hw.roots()) {
        if (r.number == root) bus = r.bus;
    }
    if (bus == nullptr) {
        char text[96];
        std::snprintf(text, sizeof text,
                      "bus %02x is not a root bus (a path starts at bus 00 or at the root bus of "
                      "a peer host bridge)",
                      root);
        error = text;
        return std::nullopt;
    }
    for (size_t i = 0; i + 1 < path.size(); ++i) {
        const std::vector<Step> prefix(path.begin(), path.begin() + static_cast<long>(i) + 1);
        pci::Function* f = bus->function(path[i].device, path[i].functionOrZero());
        if (f == nullptr) {
            error = formatPath(prefix) + ": nothing is there";
            return std::nullopt;
        }
        if (f->header() != pci::HeaderKind::Bridge) {
            error = formatPath(prefix) + ": not a PCI-to-PCI bridge";
            return std::nullopt;
        }
        bus = f->secondary();
    }
    return Place{bus, path.back().device, path.back().function};
}

}  // namespace machine
