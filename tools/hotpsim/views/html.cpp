// The HTML page of a run: one self-contained file (inline SVG and CSS, no script, nothing fetched)
// with the tree, an address map per bus, the replug comparison, the story as a timeline and, for an
// exploration, each finding's schedule as one lane per thread.
//
// Every rectangle of a map says what it is (data-kind), which addresses it stands for (data-start,
// data-end, inclusive, in hex) and the id of the rectangle it must lie in (data-parent): a device's
// range lies in its bus's window, and a bridge's bus's window is the bridge's range on the bus
// above. A range that falls outside its window is drawn clipped and still carries its true
// addresses, so a reader of the page (or a test) sees the fault.
#include "views.hpp"

#include <pci/registers.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

namespace hotpsim {

namespace {

// Sizes in one window differ by orders of magnitude past this ratio: the map turns logarithmic.
constexpr double kLogRatio = 64;
constexpr double kMapWidth = 960;
// The narrowest a piece of a map is drawn, so that a 4K BAR in a 4G window stays visible.
constexpr double kMinPiece = 3;
// Story lines of one event shown at once; more are folded.
constexpr size_t kOpenLines = 40;
// Devices of a tree, and buses, shown unfolded; past these a large machine's page folds the
// deeper levels and the later maps, which the browser then need not lay out to open the page.
constexpr size_t kOpenTree = 300;
constexpr size_t kOpenMaps = 24;

std::string escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string hexText(uint64_t value) { return pci::hex(value); }

std::string number(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string s = text;
    if (s.size() > 2 && s.compare(s.size() - 2, 2, ".0") == 0) s.resize(s.size() - 2);
    return s;
}

const char* kindOf(const pnp::Range& r)
{
    if (r.type == CmResourceTypePort) return "io";
    return (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "pref" : "mem";
}

std::string rangeText(uint64_t start, uint64_t end)
{
    return pci::hex(start, 8) + "-" + pci::hex(end, 8) + " (" + pci::formatSize(end - start + 1) + ")";
}

// A function's name without the location it begins with ("00:1e.0 PCI-to-PCI bridge").
std::string nameAfter(const std::string& bdf, const std::string& name)
{
    if (!bdf.empty() && name.size() > bdf.size() && name.rfind(bdf + " ", 0) == 0) {
        return name.substr(bdf.size() + 1);
    }
    return name;
}

std::string rangeText(const pnp::Range& r)
{
    return std::string(kindOf(r)) + " " + rangeText(r.start, r.end());
}

// A story line as the page shows it: the columns the text story pads to line up are closed up,
// and a function's own location is left out under its heading.
std::string tight(const std::string& line, const std::string& bdf = {})
{
    std::string out;
    out.reserve(line.size());
    size_t spaces = 0;
    for (char c : line) {
        if (c == ' ') {
            ++spaces;
            continue;
        }
        if (!out.empty()) out.append(std::min<size_t>(spaces, 2), ' ');
        spaces = 0;
        out += c;
    }
    if (!bdf.empty()) {
        const std::string inner = "  " + bdf + "  ";
        if (auto at = out.find(inner); at != std::string::npos) out.replace(at, inner.size(), ": ");
        if (auto at = out.find("config  "); at != std::string::npos && at < 24) out.erase(at, 8);
    }
    return out;
}

// --- address maps ----------------------------------------------------------------------------------

// Where each piece of one window lands across the bar: the window is cut where a range in it
// begins or ends, and the pieces are drawn linear while they are of like size, logarithmic once
// they differ by orders of magnitude, never narrower than kMinPiece. Addresses are inclusive, so
// that a window reaching the top of the address space needs no address past it.
struct Scale {
    uint64_t end = 0;
    std::vector<uint64_t> first;  // each piece's first address, sorted; the window's first first
    std::vector<double> x;        // where each piece begins, then the bar's end
    bool logarithmic = false;

    Scale(uint64_t start, uint64_t last, const std::vector<std::pair<uint64_t, uint64_t>>& ranges,
          double width)
        : end(last)
    {
        std::set<uint64_t> cuts{start};
        for (const auto& [s, e] : ranges) {
            if (s > start && s <= last) cuts.insert(s);
            if (e >= start && e < last) cuts.insert(e + 1);
        }
        first.assign(cuts.begin(), cuts.end());
        std::vector<double> lengths;
        for (size_t i = 0; i < first.size(); ++i) {
            lengths.push_back(static_cast<double>(lastOf(i) - first[i]) + 1);
        }
        const double smallest = *std::min_element(lengths.begin(), lengths.end());
        const double largest = *std::max_element(lengths.begin(), lengths.end());
        logarithmic = largest / smallest > kLogRatio;
        std::vector<double> weights;
        for (double l : lengths) weights.push_back(logarithmic ? 1 + std::log2(l / smallest) : l);
        double total = 0;
        for (double w : weights) total += w;
        const double spare = std::max(0.0, width - kMinPiece * static_cast<double>(weights.size()));
        x.push_back(0);
        for (double w : weights) x.push_back(x.back() + kMinPiece + spare * w / total);
        // The last boundary is the bar's end exactly, whatever rounding did.
        const double stretch = width / x.back();
        for (double& v : x) v *= stretch;
    }

    uint64_t lastOf(size_t piece) const { return piece + 1 < first.size() ? first[piece + 1] - 1 : end; }

    // Where the piece that begins at `address` (or the first after it) begins.
    double begins(uint64_t address) const
    {
        const auto it = std::lower_bound(first.begin(), first.end(), address);
        return it == first.end() ? x.back() : x[static_cast<size_t>(it - first.begin())];
    }
    // Where the piece that ends at `address` ends.
    double ends(uint64_t address) const { return address >= end ? x.back() : begins(address + 1); }
};

struct Rect {
    std::string id, kind, parent, device, cls, title, label;
    uint64_t start = 0, end = 0;
    double x = 0, y = 0, w = 0, h = 0;
};

void drawRect(std::ostream& out, const Rect& r)
{
    out << "<g><rect";
    if (!r.id.empty()) out << " id=\"" << r.id << '"';
    out << " class=\"" << r.kind << (r.cls.empty() ? "" : " " + r.cls) << "\" x=\"" << number(r.x)
        << "\" y=\"" << number(r.y) << "\" width=\"" << number(r.w) << "\" height=\"" << number(r.h)
        << "\" data-kind=\"" << r.kind << "\" data-start=\"" << hexText(r.start) << "\" data-end=\""
        << hexText(r.end) << '"';
    if (!r.parent.empty()) out << " data-parent=\"" << r.parent << '"';
    if (!r.device.empty()) out << " data-device=\"" << escape(r.device) << '"';
    out << "><title>" << escape(r.title) << "</title></rect>";
    // A label goes inside only where it fits (about 6.5 pixels a character at 11px).
    if (!r.label.empty() && r.w >= 6.5 * static_cast<double>(r.label.size()) + 4) {
        out << "<text x=\"" << number(r.x + 3) << "\" y=\"" << number(r.y + r.h / 2 + 4) << "\">"
            << escape(r.label) << "</text>";
    }
    out << "</g>";
}

// The rectangle that stands for a bridge's range on the bus above, by bridge and range: its bus's
// windows lie in it.
using RangeKey = std::tuple<std::string, UCHAR, uint64_t, uint64_t>;

struct MapContext {
    std::map<RangeKey, std::string> rangeIds;
    // Devices whose ranges end otherwise than without the driver, with what they had then.
    std::map<std::string, std::string> changedRanges;
    const ReplugComparison* replug = nullptr;
};

// The window of the bus that a device's range belongs in: the one of its kind that holds it, a
// prefetchable range preferring a prefetchable window; else the one of its kind it overlaps most
// (drawn clipped, its true addresses kept).
std::optional<size_t> windowFor(const std::vector<pnp::Range>& windows, const pnp::Range& r)
{
    std::optional<size_t> best;
    uint64_t bestOverlap = 0;
    bool bestHolds = false, bestSameKind = false;
    for (size_t i = 0; i < windows.size(); ++i) {
        const pnp::Range& w = windows[i];
        if (w.type != r.type || w.length == 0) continue;
        const bool holds = r.start >= w.start && r.end() <= w.end();
        const bool sameKind = std::string(kindOf(w)) == kindOf(r);
        const uint64_t lo = std::max(r.start, w.start), hi = std::min(r.end(), w.end());
        const uint64_t overlap = lo <= hi ? hi - lo + 1 : 0;
        const auto rank = std::make_tuple(holds, holds && sameKind, overlap);
        if (!best || rank > std::make_tuple(bestHolds, bestHolds && bestSameKind, bestOverlap)) {
            best = i;
            bestOverlap = overlap;
            bestHolds = holds;
            bestSameKind = sameKind;
        }
    }
    return best;
}

std::string busTitle(const BusMap& bus)
{
    const std::string number = "bus " + pci::hex(bus.number, 2);
    return bus.bridge.empty() ? number + " (root: " + bus.name + ")"
                              : number + " behind " + bus.bridge + " " + nameAfter(bus.bridge, bus.name);
}

std::string mapId(const BusMap& bus) { return "bus-" + pci::hex(bus.number, 2); }

const machine::Window* capturedWindow(const ReplugBridgeRow& row, const char* kind)
{
    if (std::string(kind) == "io") return &row.io;
    if (std::string(kind) == "pref") return &row.prefetchable;
    return &row.memory;
}

const ReplugBridgeRow* replugRowOf(const MapContext& context, const BusMap& bus)
{
    if (context.replug == nullptr || bus.bridge.empty()) return nullptr;
    for (const ReplugBridgeRow& row : context.replug->bridges) {
        if (row.inTree && row.now == bus.bridge) return &row;
    }
    return nullptr;
}

void writeMap(std::ostream& out, const BusMap& bus, MapContext& context, bool unfolded)
{
    const std::string id = mapId(bus);
    const ReplugBridgeRow* replugged = replugRowOf(context, bus);
    out << "<details class=\"map\" id=\"" << id << '"' << (unfolded ? " open" : "") << "><summary><h3>"
        << escape(busTitle(bus)) << "</h3></summary>\n";
    if (bus.windows.empty()) {
        out << "<p class=\"note\">no windows: nothing on this bus can be placed</p>";
    }

    // The windows in order of kind and address, each with the ranges placed in it.
    std::vector<size_t> order(bus.windows.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    auto kindRank = [](const pnp::Range& r) { return r.type == CmResourceTypePort ? 0 : 1; };
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        const pnp::Range &x = bus.windows[a], &y = bus.windows[b];
        return std::make_tuple(kindRank(x), x.start) < std::make_tuple(kindRank(y), y.start);
    });
    struct Placed {
        const BusMap::Device* device;
        pnp::Range range;
    };
    std::vector<std::vector<Placed>> inWindow(bus.windows.size());
    std::vector<Placed> nowhere;
    for (const BusMap::Device& d : bus.devices) {
        for (const pnp::Range& r : d.ranges) {
            if (auto w = windowFor(bus.windows, r)) {
                inWindow[*w].push_back({&d, r});
            } else {
                nowhere.push_back({&d, r});
            }
        }
    }

    std::ostringstream svg;
    std::ostringstream list;
    double y = 0;
    std::set<std::string> capturedShown;
    for (size_t wi : order) {
        const pnp::Range& window = bus.windows[wi];
        const std::string kind = kindOf(window);
        std::vector<Placed>& placed = inWindow[wi];
        std::sort(placed.begin(), placed.end(),
                  [](const Placed& a, const Placed& b) { return a.range.start < b.range.start; });
        std::vector<std::pair<uint64_t, uint64_t>> spans;
        for (const Placed& p : placed) spans.emplace_back(p.range.start, p.range.end());
        const Scale scale(window.start, window.end(), spans, kMapWidth);

        // Firmware's window of this kind beside the final one, for a replugged card's bridge,
        // both bars to one linear scale of size.
        double barWidth = kMapWidth;
        const machine::Window* before =
            replugged != nullptr ? capturedWindow(*replugged, kind.c_str()) : nullptr;
        if (before != nullptr && capturedShown.insert(kind).second) {
            const double largest = std::max<double>(static_cast<double>(before->size()),
                                                    static_cast<double>(window.length));
            const double capturedWidth =
                before->open()
                    ? std::max(kMinPiece, kMapWidth * static_cast<double>(before->size()) / largest)
                    : 0;
            barWidth = std::max(kMinPiece, kMapWidth * static_cast<double>(window.length) / largest);
            const std::string text = "captured " + kind + " window: " +
                                     (before->open() ? rangeText(before->base, before->limit) : "closed");
            svg << "<text x=\"0\" y=\"" << number(y + 12) << "\">" << escape(text) << "</text>";
            y += 16;
            if (before->open()) {
                Rect r;
                r.kind = "captured";
                r.cls = kind;
                r.start = before->base;
                r.end = before->limit;
                r.x = 0;
                r.y = y;
                r.w = capturedWidth;
                r.h = 14;
                r.title = text + " (as the captured machine had it)";
                drawRect(svg, r);
                y += 18;
            }
        }

        const std::string windowId = id + "-w" + std::to_string(wi);
        Rect bar;
        bar.id = windowId;
        bar.kind = "window";
        bar.cls = kind;
        bar.start = window.start;
        bar.end = window.end();
        bar.device = bus.bridge;
        bar.x = 0;
        bar.w = barWidth;
        bar.h = 36;
        if (!bus.bridge.empty()) {
            auto it = context.rangeIds.find({bus.bridge, window.type, window.start, window.end()});
            if (it != context.rangeIds.end()) bar.parent = it->second;
        }
        std::string label = "window " + rangeText(window);
        if (before != nullptr && before->size() != window.length) {
            label += "; captured " +
                     (before->open() ? pci::formatSize(before->size()) : std::string("closed")) +
                     ", changed on replug";
            bar.cls += " changed";
        }
        uint64_t used = 0;
        for (const Placed& p : placed) used += p.range.length;
        label += "  [" + std::string(scale.logarithmic ? "log" : "linear") + " scale, " +
                 std::to_string(placed.size()) + " range" + (placed.size() == 1 ? "" : "s") + ", " +
                 pci::formatSize(window.length - std::min(used, window.length)) + " free]";
        svg << "<text x=\"0\" y=\"" << number(y + 12) << "\">" << escape(label) << "</text>";
        y += 16;
        bar.y = y;
        bar.title = "window of " + bus.name +
                    ": " + rangeText(window);
        drawRect(svg, bar);

        const double stretch = barWidth / kMapWidth;
        // Free gaps: the boundaries between which no range lies.
        for (size_t i = 0; i < scale.first.size(); ++i) {
            const uint64_t lo = scale.first[i], hi = scale.lastOf(i);
            const bool covered = std::any_of(placed.begin(), placed.end(), [&](const Placed& p) {
                return p.range.start <= lo && p.range.end() >= hi;
            });
            if (covered) continue;
            Rect gap;
            gap.kind = "free";
            gap.parent = windowId;
            gap.start = lo;
            gap.end = hi;
            gap.x = scale.x[i] * stretch;
            gap.w = (scale.x[i + 1] - scale.x[i]) * stretch;
            gap.y = y + 4;
            gap.h = 28;
            gap.title = "free " + rangeText(gap.start, gap.end);
            drawRect(svg, gap);
        }
        for (size_t i = 0; i < placed.size(); ++i) {
            const Placed& p = placed[i];
            Rect r;
            r.id = id + "-r" + std::to_string(wi) + "-" + std::to_string(i);
            r.kind = p.device->bridge ? "bridge" : "range";
            r.cls = kindOf(p.range);
            r.parent = windowId;
            r.device = p.device->bdf;
            r.start = p.range.start;
            r.end = p.range.end();
            r.x = scale.begins(p.range.start) * stretch;
            r.w = std::max(0.0, scale.ends(p.range.end()) * stretch - r.x);
            r.y = y + 4;
            r.h = 28;
            r.label = p.device->bdf;
            r.title = p.device->bdf + " " + p.device->name + ": " + rangeText(p.range);
            // Changed: a range the device did not have in the run without the driver (that run's
            // ranges as the summary writes them, "mem f0100000-f01fffff").
            const auto changed = context.changedRanges.find(p.device->bdf);
            const std::string plain = std::string(kindOf(p.range)) + " " + pci::hex(p.range.start) +
                                      "-" + pci::hex(p.range.end());
            if (changed != context.changedRanges.end() &&
                (changed->second + ",").find(plain + ",") == std::string::npos) {
                r.cls += " changed";
                r.title += "\nwithout hotpflt: " + changed->second;
            }
            context.rangeIds[{p.device->bdf, p.range.type, p.range.start, p.range.end()}] = r.id;
            drawRect(svg, r);
            list << "<tr><td><a href=\"#dev-" << escape(p.device->bdf) << "\">" << escape(p.device->bdf)
                 << "</a></td><td>" << escape(nameAfter(p.device->bdf, p.device->name))
                 << "</td><td class=\"" << r.cls << "\">"
                 << escape(rangeText(p.range)) << "</td></tr>\n";
        }
        y += 44;
    }
    for (const Placed& p : nowhere) {
        list << "<tr class=\"changed\"><td>" << escape(p.device->bdf) << "</td><td>"
             << escape(p.device->name) << "</td><td>" << escape(rangeText(p.range))
             << ": in no window of this bus</td></tr>\n";
    }
    if (y > 0) {
        out << "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" << number(kMapWidth + 2)
            << "\" height=\"" << number(y) << "\" viewBox=\"-1 0 " << number(kMapWidth + 2) << ' '
            << number(y) << "\">" << svg.str() << "</svg>\n";
    }
    if (!list.str().empty()) {
        out << "<table class=\"ranges\"><tr><th>device</th><th>name</th><th>range</th></tr>\n"
            << list.str() << "</table>\n";
    }
    out << "</details>\n";
}

// --- the tree ------------------------------------------------------------------------------------

std::string jsonText(const nlohmann::ordered_json& j, const char* key)
{
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

// The device records in the order the tree walks them (parents first), nested by their parents.
void writeTree(std::ostream& out, const std::vector<nlohmann::ordered_json>& records,
               const std::map<std::string, std::vector<const Difference*>>& changes)
{
    // Each record's parent: the nearest record before it with the parent's location (or the root
    // bus device of its root, for a device on a root bus).
    std::vector<int> parent(records.size(), -1);
    std::vector<unsigned> depth(records.size(), 0);
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        const std::string wanted = jsonText(r, "parent");
        const bool isRoot = !r["bdf"].is_string();
        if (isRoot) continue;
        for (size_t j = i; j-- > 0;) {
            const auto& c = records[j];
            const bool match = wanted.empty() ? !c["bdf"].is_string() && c["root_bus"] == r["root_bus"]
                                              : jsonText(c, "bdf") == wanted;
            if (match) {
                parent[i] = static_cast<int>(j);
                depth[i] = depth[j] + 1;
                break;
            }
        }
    }
    out << "<ul class=\"tree\">\n";
    unsigned open = 0;
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        while (open > depth[i]) {
            out << "</ul></details></li>\n";
            --open;
        }
        const bool hasChildren = i + 1 < records.size() && parent[i + 1] == static_cast<int>(i);
        const std::string bdf = jsonText(r, "bdf");
        const std::string key = bdf.empty() ? jsonText(r, "name") : bdf;
        const std::string state = jsonText(r, "state");
        const std::string reason = jsonText(r, "reason");
        // Names of functions begin with their location already.
        const std::string name = nameAfter(bdf, jsonText(r, "name"));
        out << "<li id=\"dev-" << escape(key) << "\" data-device=\"" << escape(key)
            << "\" class=\"" << (state == "started" ? "started" : "down") << "\">";
        // A bus's devices fold under it; on a large machine only the first levels are open, so
        // that the browser lays out what is shown, not every device.
        if (hasChildren) {
            out << "<details" << (records.size() <= kOpenTree || depth[i] < 2 ? " open" : "")
                << "><summary>";
        }
        out << "<b>"
            << escape(bdf.empty() ? "root" : bdf) << "</b> " << escape(name)
            << " <span class=\"state\">[" << escape(state) << (reason.empty() ? "" : ": " + reason)
            << "]</span>";
        if (r.contains("enumeration_problem") && r["enumeration_problem"].is_string()) {
            out << " <span class=\"bad\">" << escape(r["enumeration_problem"].get<std::string>())
                << "</span>";
        }
        std::string ranges;
        for (const auto& res : r["resources"]) {
            const std::string kind = res["type"] == "io"                  ? "io"
                                     : res["prefetchable"].get<bool>() ? "pref"
                                                                       : "mem";
            ranges += (ranges.empty() ? "" : ", ") + kind + " " +
                      rangeText(res["start"].get<uint64_t>(), res["end"].get<uint64_t>());
        }
        if (!ranges.empty()) out << "<br><span class=\"res\">" << escape(ranges) << "</span>";
        std::string stack;
        // Top first, each driver by its service name; the role said where it is not the plain
        // function driver.
        for (const auto& o : r["stack"]) {
            std::string driver = jsonText(o, "driver");
            if (auto slash = driver.rfind('\\'); slash != std::string::npos) driver.erase(0, slash + 1);
            const std::string role = jsonText(o, "role");
            stack += (stack.empty() ? "" : " &gt; ") + escape(driver) +
                     (role == "function driver" ? std::string() : " <i>" + escape(role) + "</i>");
        }
        out << "<br><span class=\"stack\">stack: " << stack << "</span>";
        if (auto c = changes.find(key); c != changes.end()) {
            for (const Difference* d : c->second) {
                out << "<br><span class=\"changed\">" << escape(d->what) << ": " << escape(d->with)
                    << " (without hotpflt: " << escape(d->without) << ")</span>";
            }
        }
        if (hasChildren) {
            out << "</summary><ul>\n";
            ++open;
        } else {
            out << "</li>\n";
        }
    }
    while (open-- > 0) out << "</ul></details></li>\n";
    out << "</ul>\n";
}

// --- the replug table ------------------------------------------------------------------------------

std::string sizeOrNone(uint64_t v) { return v == 0 ? std::string("none") : pci::formatSize(v); }

std::string windowOrClosed(const machine::Window& w)
{
    return w.open() ? rangeText(w.base, w.limit) : std::string("closed");
}

// One column of the bridges' table: its heading and what a row shows in it. A field added to the
// comparison's records is one more line here.
struct Column {
    const char* heading;
    std::function<std::string(const ReplugBridgeRow&)> cell;
};

const std::vector<Column>& bridgeColumns()
{
    static const std::vector<Column> columns = {
        {"bridge (captured)", [](const ReplugBridgeRow& b) { return b.where; }},
        {"now", [](const ReplugBridgeRow& b) { return b.now; }},
        {"captured windows",
         [](const ReplugBridgeRow& b) {
             return "io " + windowOrClosed(b.io) + "\nmemory " + windowOrClosed(b.memory) +
                    "\nprefetchable " + windowOrClosed(b.prefetchable);
         }},
        {"asked for",
         [](const ReplugBridgeRow& b) {
             if (!b.inTree) return std::string("-");
             if (!b.asked) return std::string("nothing (no requirements were filtered)");
             return "io " + sizeOrNone(b.askedIo) + b.grantedIo + "\nmemory " +
                    sizeOrNone(b.askedMemory) + b.grantedMemory + "\nprefetchable " +
                    sizeOrNone(b.askedPrefetchable) + b.grantedPrefetchable;
         }},
        {"granted",
         [](const ReplugBridgeRow& b) {
             if (!b.inTree) return std::string("not in the device tree");
             std::string text = assignedText(b.assigned);
             std::replace(text.begin(), text.end(), ',', '\n');
             return text;
         }},
        {"behind it",
         [](const ReplugBridgeRow& b) {
             if (!b.inTree) return std::string("-");
             std::string text = std::to_string(b.behind) + " device(s), " +
                                (b.down.empty() ? std::string("all started")
                                                : std::to_string(b.down.size()) + " not started:");
             for (const std::string& d : b.down) text += "\n" + d;
             return text;
         }},
    };
    return columns;
}

void writeReplugTable(std::ostream& out, const ReplugComparison& c)
{
    out << "<table class=\"replug\"><tr><th>function (captured)</th><th>now</th><th>state</th>"
           "<th>captured BARs</th><th>granted</th></tr>\n";
    for (const ReplugFunctionRow& f : c.functions) {
        std::string captured;
        for (const std::string& s : f.captured) captured += (captured.empty() ? "" : "\n") + s;
        out << "<tr><td>" << escape(f.where) << "</td><td><a href=\"#dev-" << escape(f.now) << "\">"
            << escape(f.now) << "</a></td><td>"
            << escape(f.inTree ? f.state : "not in the device tree") << "</td><td>"
            << escape(captured.empty() ? "no BARs" : captured) << "</td><td>"
            << escape(f.inTree ? assignedText(f.assigned) : "-") << "</td></tr>\n";
    }
    out << "</table>\n";
    if (c.bridges.empty()) return;
    out << "<table class=\"replug\"><tr>";
    for (const Column& col : bridgeColumns()) out << "<th>" << col.heading << "</th>";
    out << "</tr>\n";
    for (const ReplugBridgeRow& b : c.bridges) {
        out << "<tr" << (b.down.empty() && b.inTree ? "" : " class=\"down\"") << ">";
        for (const Column& col : bridgeColumns()) out << "<td>" << escape(col.cell(b)) << "</td>";
        out << "</tr>\n";
    }
    out << "</table>\n";
}

// --- the schedule of a finding ---------------------------------------------------------------------

void writeLanes(std::ostream& out, const HtmlFinding& f, size_t index)
{
    std::vector<std::string> threads;
    struct Slice {
        size_t lane, first, last;
        int cpu;
        std::string firstText;
    };
    std::vector<Slice> slices;
    std::vector<std::pair<size_t, std::string>> steps;
    size_t n = 0;
    for (const Output& o : f.outputs) {
        const size_t at = n++;
        if (o.kind == Output::Kind::Step) steps.emplace_back(at, o.text);
        if (!o.fields.contains("thread")) continue;
        const std::string thread = o.fields["thread"].get<std::string>();
        auto it = std::find(threads.begin(), threads.end(), thread);
        const size_t lane = static_cast<size_t>(it - threads.begin());
        if (it == threads.end()) threads.push_back(thread);
        const int cpu = o.fields.value("cpu", 0);
        if (!slices.empty() && slices.back().lane == lane && slices.back().cpu == cpu) {
            slices.back().last = at;
            continue;
        }
        std::string text = o.text;
        if (text.empty() && o.cycle) {
            text = jsonText(o.fields, "bdf") + " " + changeText(o);
        }
        slices.push_back({lane, at, at, cpu, text});
    }
    if (threads.empty() || n == 0) {
        out << "<p class=\"note\">the replay ran no thread</p>";
        return;
    }
    constexpr double laneHeight = 22, labelWidth = 110;
    const double width = kMapWidth - labelWidth;
    const double height = laneHeight * static_cast<double>(threads.size()) + 20;
    auto xOf = [&](size_t at) {
        return labelWidth + width * static_cast<double>(at) / static_cast<double>(n);
    };
    out << "<svg xmlns=\"http://www.w3.org/2000/svg\" class=\"lanes\" width=\"" << number(kMapWidth)
        << "\" height=\"" << number(height) << "\">";
    for (size_t l = 0; l < threads.size(); ++l) {
        out << "<text x=\"0\" y=\"" << number(laneHeight * static_cast<double>(l) + 15) << "\">"
            << escape(threads[l]) << "</text><rect class=\"lane\" x=\"" << number(labelWidth) << "\" y=\""
            << number(laneHeight * static_cast<double>(l) + 2) << "\" width=\"" << number(width)
            << "\" height=\"" << number(laneHeight - 4) << "\"/>";
    }
    for (const auto& [at, text] : steps) {
        out << "<line class=\"step\" x1=\"" << number(xOf(at)) << "\" x2=\"" << number(xOf(at))
            << "\" y1=\"0\" y2=\"" << number(height - 20) << "\"><title>" << escape(text)
            << "</title></line>";
    }
    for (const Slice& s : slices) {
        const double x = xOf(s.first);
        const double w = std::max(1.5, xOf(s.last + 1) - x);
        out << "<rect class=\"slice cpu" << (s.cpu % 4) << "\" data-kind=\"slice\" data-thread=\""
            << escape(threads[s.lane]) << "\" data-first=\"" << s.first << "\" data-last=\"" << s.last
            << "\" x=\"" << number(x) << "\" y=\"" << number(laneHeight * static_cast<double>(s.lane) + 4)
            << "\" width=\"" << number(w) << "\" height=\"" << number(laneHeight - 8) << "\"><title>"
            << escape(threads[s.lane] + " on cpu" + std::to_string(s.cpu) + ", outputs " +
                      std::to_string(s.first) + "-" + std::to_string(s.last) + ": " + s.firstText)
            << "</title></rect>";
    }
    out << "<text x=\"" << number(labelWidth) << "\" y=\"" << number(height - 4) << "\">"
        << "finding " << index + 1 << ": " << n << " outputs of the replay, left to right; "
        << slices.size() << " turns; colour = processor</text></svg>\n";
}

const char* kStyle = R"(
body{font-family:sans-serif;font-size:14px;margin:1em 2em;color:#222;background:#fff}
h1{font-size:20px}h2{font-size:17px;border-bottom:1px solid #999;margin-top:1.6em}
h3{font-size:15px;margin:1em 0 .3em}
pre{font-size:12px;margin:.2em 0 .4em 1em;white-space:pre}
ul.tree,ul.tree ul{list-style:none;padding-left:1.4em;border-left:1px dotted #aaa}
ul.tree li{margin:.25em 0}.state{color:#060}li.down>.state{color:#b00;font-weight:bold}
.res,.stack{font-size:12px;color:#444}.changed{color:#b00}.bad{color:#b00}.note{color:#666}
table{border-collapse:collapse;margin:.4em 0;font-size:12px}
td,th{border:1px solid #bbb;padding:2px 6px;vertical-align:top;white-space:pre-line;text-align:left}
tr.down td{background:#fee}
svg text{font-size:11px;font-family:monospace;fill:#222}
rect.window{fill:#f4f4f4;stroke:#444}rect.free{fill:#fff;stroke:#999;stroke-dasharray:3 2}
rect.range,rect.bridge,rect.captured{stroke:#333}rect.io{fill:#9cd}rect.mem{fill:#9d9}rect.pref{fill:#eb8}
rect.bridge{stroke-width:2}rect.captured{fill-opacity:.6;stroke-dasharray:4 2}
svg rect.window{fill:#f4f4f4}rect.changed{stroke:#d00;stroke-width:2.5}
td.io{background:#def}td.mem{background:#dfd}td.pref{background:#fed}
rect.lane{fill:#f6f6f6;stroke:#ccc}rect.slice{stroke:#222;stroke-width:.5}
line.step{stroke:#888;stroke-dasharray:2 3}
rect.cpu0{fill:#47a}rect.cpu1{fill:#d83}rect.cpu2{fill:#5a5}rect.cpu3{fill:#a5a}
details{margin:.2em 0 .2em 1em}summary{cursor:pointer}summary h3{display:inline}
details.map{margin:.2em 0}ul.tree details{margin:0}ul.tree summary{list-style-position:outside}
ol.timeline>li{margin-bottom:.6em}
.legend span{display:inline-block;padding:0 .5em;margin-right:.5em;border:1px solid #555}
)";

}  // namespace

std::vector<BusMap> busMaps(Machine& m)
{
    std::vector<BusMap> maps;
    std::function<void(pnp::DeviceNode&)> visit = [&](pnp::DeviceNode& node) {
        BusMap bus;
        bus.name = node.name;
        if (node.parent == nullptr) {
            bus.number = node.rootBus.value_or(0);
        } else {
            pcibus::FunctionNode* f = m.busDriver().function(node.pdo);
            if (f == nullptr || f->secondary == nullptr) return;  // not a bus the bus driver runs
            bus.number = f->secondary->number;
            bus.bridge = m.locationOf(node);
        }
        if (node.state != pnp::DeviceNode::State::Removed) bus.windows = node.windows();
        for (auto& child : node.children) {
            if (child->state == pnp::DeviceNode::State::Removed || child->assigned.empty()) continue;
            BusMap::Device d;
            d.bdf = m.locationOf(*child);
            d.name = child->name;
            d.bridge = child->isBus;
            d.ranges = child->assigned;
            bus.devices.push_back(std::move(d));
        }
        maps.push_back(std::move(bus));
        for (auto& child : node.children) {
            if (child->isBus && child->state != pnp::DeviceNode::State::Removed) visit(*child);
        }
    };
    for (pnp::DeviceNode* root : m.pnpManager().roots()) visit(*root);
    return maps;
}

HtmlPage::Step& HtmlPage::current()
{
    if (steps_.empty()) steps_.push_back(Step{"before the first event", {}, {}});
    return steps_.back();
}

void HtmlPage::flushDevices(Step& step)
{
    for (Step::Device& d : step.devices) {
        for (std::string& line : d.story.finish()) d.lines.push_back(tight(line, d.bdf));
    }
    if (events_) {
        for (std::string& line : events_->finish()) step.lines.push_back(tight(line));
    }
}

void HtmlPage::add(const Output& out)
{
    if (out.kind == Output::Kind::Step) {
        if (!steps_.empty()) flushDevices(steps_.back());
        steps_.push_back(Step{out.text, {}, {}});
        return;
    }
    Step& step = current();
    if (out.kind == Output::Kind::Config || out.kind == Output::Kind::Read) {
        if (out.kind == Output::Kind::Config && !options_.configWrites) return;
        if (out.kind == Output::Kind::Read && !options_.reads) return;
        const std::string bdf = out.fields.value("bdf", std::string("?"));
        auto it = std::find_if(step.devices.begin(), step.devices.end(),
                               [&](const Step::Device& d) { return d.bdf == bdf; });
        if (it == step.devices.end()) {
            step.devices.push_back(Step::Device{bdf, Story(Story::Options{true, options_.reads}), {}});
            it = step.devices.end() - 1;
        }
        for (std::string& line : it->story.add(out)) it->lines.push_back(tight(line, bdf));
        return;
    }
    // Everything else reads as the story tells it; bus-number writes only where configuration
    // writes are left out, as in the story.
    if (!events_) events_.emplace(Story::Options{options_.configWrites, false});
    for (std::string& line : events_->add(out)) {
        if (!line.empty()) step.lines.push_back(tight(line));
    }
}

void HtmlPage::setFinal(Machine& machine, std::string title)
{
    finalTitle_ = std::move(title);
    tree_ = deviceRecords(machine);
    maps_ = busMaps(machine);
}

std::string HtmlPage::write()
{
    if (!steps_.empty()) flushDevices(steps_.back());
    std::ostringstream out;
    const std::string title = header_.empty() ? std::string("hotpsim") : "hotpsim: " + header_.front();
    out << "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\"><title>" << escape(title)
        << "</title><style>" << kStyle << "</style></head><body>\n<h1>" << escape(title) << "</h1>\n";
    for (size_t i = 1; i < header_.size(); ++i) out << "<div>" << escape(header_[i]) << "</div>\n";
    out << "<p><a href=\"#tree\">tree</a> · ";
    if (replug_) out << "<a href=\"#replug\">replug</a> · ";
    out << "<a href=\"#maps\">address maps</a> · ";
    if (!findings_.empty() || !summary_.empty()) out << "<a href=\"#findings\">findings</a> · ";
    out << "<a href=\"#story\">story</a></p>\n";

    if (verdict_) {
        out << "<h2 id=\"verdict\">verifier</h2>\n";
        if (verdict_->empty()) out << "<p>clean: no platform rule broken, nothing leaked</p>\n";
        for (const std::string& p : *verdict_) out << "<p class=\"bad\">" << escape(p) << "</p>\n";
    }

    if (!summary_.empty() || !findings_.empty()) {
        out << "<h2 id=\"findings\">findings</h2>\n<p>" << escape(summary_) << "</p>\n";
        for (size_t i = 0; i < findings_.size(); ++i) {
            const HtmlFinding& f = findings_[i];
            out << "<section class=\"finding\" data-token=\"" << escape(f.token) << "\"><h3>"
                << i + 1 << ". " << escape(f.detector) << "</h3><p>" << escape(f.text)
                << "</p><p>token <code>" << escape(f.token) << "</code> (<code>--replay "
                << escape(f.token) << "</code> plays it again)</p>\n";
            writeLanes(out, f, i);
            out << "</section>\n";
        }
    }

    std::map<std::string, std::vector<const Difference*>> changesByDevice;
    MapContext context;
    if (changes_) {
        for (const Difference& d : *changes_) {
            const std::string key = d.bdf.empty() ? d.name : d.bdf;
            changesByDevice[key].push_back(&d);
            if (d.what == "windows" || d.what == "resources") context.changedRanges[key] = d.without;
        }
    }
    // Maps are drawn in tree order (parents first) so that a bus's windows find their bridge's
    // ranges on the bus above; a replugged card's buses go beside its table, the rest below, and
    // each bus is drawn once.
    std::ostringstream card, rest;
    if (replug_) context.replug = &*replug_;
    for (size_t i = 0; i < maps_.size(); ++i) {
        const bool ofCard = replugRowOf(context, maps_[i]) != nullptr;
        writeMap(ofCard ? card : rest, maps_[i], context, ofCard || i < kOpenMaps);
    }

    // A replug is what its run is about: its table and its card's maps come first.
    if (replug_) {
        out << "<h2 id=\"replug\">replug " << escape(replugBdf_)
            << ": each bridge's captured windows beside the driver's</h2>\n";
        writeReplugTable(out, *replug_);
        if (!card.str().empty()) {
            out << "<h3>the card's buses: firmware's captured windows (dashed) beside the final "
                   "ones</h3>\n"
                << card.str();
        }
    }
    if (!tree_.empty()) {
        out << "<h2 id=\"tree\">the tree (" << escape(finalTitle_) << ")</h2>\n";
        writeTree(out, tree_, changesByDevice);
    }
    if (changes_) {
        out << "<h2 id=\"changes\">what hotpflt changed</h2>\n";
        std::set<std::string> devices;
        for (const Difference& d : *changes_) devices.insert(d.name);
        if (changes_->empty()) {
            out << "<p>nothing: every device ends the same with and without hotpflt</p>\n";
        } else if (changes_->size() > kOpenLines) {
            out << "<p>" << devices.size() << " devices end otherwise than without hotpflt, in "
                << changes_->size() << " ways: each is marked in red in the tree and the maps</p>\n";
        } else {
            out << "<table><tr><th>device</th><th>what</th><th>with hotpflt</th><th>without</th></tr>\n";
            for (const Difference& d : *changes_) {
                out << "<tr><td>" << escape(d.name) << "</td><td>"
                    << escape(d.what) << "</td><td>" << escape(d.with) << "</td><td>"
                    << escape(d.without) << "</td></tr>\n";
            }
            out << "</table>\n";
        }
    }
    if (!maps_.empty()) {
        out << "<h2 id=\"maps\">address maps, one per bus</h2>\n<p class=\"legend\"><span "
               "style=\"background:#9cd\">io</span><span style=\"background:#9d9\">memory</span><span "
               "style=\"background:#eb8\">prefetchable</span><span style=\"border-style:dashed\">free</span>"
               "<span style=\"border:2px solid #d00\">changed by hotpflt</span> thick outline: a bridge's "
               "windows. Hover for exact ranges.</p>\n"
            << rest.str();
    }

    if (!steps_.empty()) {
        out << "<h2 id=\"story\">the story</h2>\n<ol class=\"timeline\">\n";
        for (const Step& s : steps_) {
            size_t writes = 0;
            for (const Step::Device& d : s.devices) writes += d.lines.size();
            out << "<li><h3>" << escape(s.heading) << "</h3>";
            if (!s.lines.empty()) {
                std::string text;
                for (const std::string& l : s.lines) text += escape(l) + "\n";
                if (s.lines.size() > kOpenLines) {
                    out << "<details><summary>" << s.lines.size() << " events</summary><pre>" << text
                        << "</pre></details>";
                } else {
                    out << "<pre>" << text << "</pre>";
                }
            }
            if (!s.devices.empty()) {
                out << "<details><summary>configuration writes: " << writes << " line"
                    << (writes == 1 ? "" : "s") << " to " << s.devices.size() << " function"
                    << (s.devices.size() == 1 ? "" : "s") << "</summary>";
                for (const Step::Device& d : s.devices) {
                    out << "<details><summary>" << escape(d.bdf) << ": " << d.lines.size()
                        << "</summary><pre>";
                    for (const std::string& l : d.lines) out << escape(l) << '\n';
                    out << "</pre></details>";
                }
                out << "</details>";
            }
            out << "</li>\n";
        }
        out << "</ol>\n";
    }
    out << "</body></html>\n";
    return out.str();
}

}  // namespace hotpsim
