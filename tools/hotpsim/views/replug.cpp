// The replug comparison: after a card was pulled out and hot added again, each of its functions
// and bridges as captured beside what the driver asked for and what was assigned.
#include "views.hpp"

#include <pci/registers.hpp>

#include <cstring>
#include <functional>

namespace hotpsim {

using namespace machine;

namespace {

namespace reg = pci::reg;
using formats::windowText;

// What a filtered requirements list asks for, by kind: the largest length of each.
struct Asked {
    uint64_t io = 0, memory = 0, prefetchable = 0;
    bool any = false;
};

Asked asked(const std::vector<uint8_t>& bytes)
{
    Asked a;
    constexpr size_t listAt = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    constexpr size_t descriptorsAt = offsetof(IO_RESOURCE_LIST, Descriptors);
    if (bytes.size() < listAt + descriptorsAt) return a;
    ULONG count = 0;
    std::memcpy(&count, bytes.data() + listAt + offsetof(IO_RESOURCE_LIST, Count), sizeof count);
    // The first alternative list, descriptor by descriptor from its base.
    for (ULONG i = 0; i < count; ++i) {
        const size_t at = listAt + descriptorsAt + i * sizeof(IO_RESOURCE_DESCRIPTOR);
        if (at + sizeof(IO_RESOURCE_DESCRIPTOR) > bytes.size()) break;
        IO_RESOURCE_DESCRIPTOR d;
        std::memcpy(&d, bytes.data() + at, sizeof d);
        if (d.Option & IO_RESOURCE_ALTERNATIVE) continue;
        uint64_t* into = nullptr;
        if (d.Type == CmResourceTypePort) {
            into = &a.io;
        } else if (d.Type == CmResourceTypeMemory) {
            into = (d.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) ? &a.prefetchable : &a.memory;
        }
        if (into == nullptr) continue;
        *into = std::max<uint64_t>(*into, d.u.Memory.Length);
        a.any = true;
    }
    return a;
}

// The PnP node at a path, following the bridges as the running system numbered them; `now`
// says where it is now ("01:00.0").
pnp::DeviceNode* nodeAtPath(Machine& m, unsigned root, const std::vector<Step>& path,
                            std::string& now, pci::Function** function = nullptr)
{
    pci::Bus* bus = nullptr;
    for (const pci::Hierarchy::RootAt& r : m.hardware().roots()) {
        if (r.number == root) bus = r.bus;
    }
    unsigned number = root;
    pci::Function* f = nullptr;
    for (size_t i = 0; i < path.size() && bus != nullptr; ++i) {
        f = bus->function(path[i].device, path[i].functionOrZero());
        if (f == nullptr) break;
        if (i + 1 < path.size()) {
            number = f->byte(reg::SecondaryBus);
            bus = f->secondary();
        }
    }
    const Step& last = path.back();
    now = pci::hex(number, 2) + ":" + pci::hex(last.device, 2) + "." + std::to_string(last.functionOrZero());
    if (function != nullptr) *function = f;
    return f != nullptr ? m.nodeAt(number, last.device, last.functionOrZero()) : nullptr;
}

std::string kindOf(const pnp::Range& r)
{
    return r.type == CmResourceTypePort                         ? "io"
           : (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "prefetchable"
                                                               : "memory";
}

// Where arbitration fell back to an alternative for a window of this kind, what it granted
// instead: " (granted the alternative 288M)"; nothing where the first descriptor was granted.
std::string grantedSuffix(const pnp::DeviceNode& node, const std::string& kind)
{
    for (size_t i = 0; i < node.assigned.size() && i < node.grants.size(); ++i) {
        const pnp::Range& r = node.assigned[i];
        if (node.grants[i].alternative != 0 && kindOf(r) == kind) {
            return " (granted the alternative " + pci::formatSize(r.length) + ")";
        }
    }
    return std::string();
}

std::string stateText(const pnp::DeviceNode& node)
{
    if (node.state == pnp::DeviceNode::State::Started) return "started";
    return "not started: " + (node.problem.empty() ? std::string("no reason given") : node.problem);
}

// What the node's filtered requirements ask for, and what arbitration granted instead.
void fillAsked(ReplugBridgeRow& row, const pnp::DeviceNode& node)
{
    const Asked a = asked(node.requirements);
    row.asked = a.any;
    row.askedIo = a.io;
    row.askedMemory = a.memory;
    row.askedPrefetchable = a.prefetchable;
    row.grantedIo = grantedSuffix(node, "io");
    row.grantedMemory = grantedSuffix(node, "memory");
    row.grantedPrefetchable = grantedSuffix(node, "prefetchable");
}

std::string askedText(const ReplugBridgeRow& b)
{
    if (!b.asked) return "nothing (no requirements were filtered)";
    auto size = [](uint64_t v) { return v == 0 ? std::string("none") : pci::formatSize(v); };
    return "io " + size(b.askedIo) + b.grantedIo + ", memory " + size(b.askedMemory) +
           b.grantedMemory + ", prefetchable " + size(b.askedPrefetchable) + b.grantedPrefetchable;
}

}  // namespace

std::string askedFor(const pnp::DeviceNode& node)
{
    ReplugBridgeRow row;
    fillAsked(row, node);
    return askedText(row);
}

std::string assignedText(const std::vector<pnp::Range>& ranges)
{
    if (ranges.empty()) return "nothing";
    std::string text;
    for (const pnp::Range& r : ranges) {
        const char* kind = r.type == CmResourceTypePort                         ? "io"
                           : (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "prefetchable"
                                                                               : "memory";
        text += (text.empty() ? "" : ", ") + std::string(kind) + " " +
                windowText(Window{r.start, r.end()});
    }
    return text;
}

ReplugComparison replugComparison(Machine& m, const formats::ReplugPlan& plan)
{
    ReplugComparison out;
    for (const formats::ReplugFunction& f : plan.functions) {
        ReplugFunctionRow row;
        row.where = f.where;
        row.captured = f.captured;
        pnp::DeviceNode* node = nodeAtPath(m, plan.root, f.path, row.now);
        if (node != nullptr) {
            row.inTree = true;
            row.state = stateText(*node);
            row.assigned = node->assigned;
        }
        out.functions.push_back(std::move(row));
    }
    for (const formats::ReplugBridge& b : plan.bridges) {
        ReplugBridgeRow row;
        row.where = b.where;
        row.io = b.io;
        row.memory = b.memory;
        row.prefetchable = b.prefetchable;
        pnp::DeviceNode* node = nodeAtPath(m, plan.root, b.inCard, row.now);
        if (node == nullptr) {
            out.bridges.push_back(std::move(row));
            continue;
        }
        row.inTree = true;
        fillAsked(row, *node);
        row.assigned = node->assigned;
        std::function<void(pnp::DeviceNode&)> walk = [&](pnp::DeviceNode& n) {
            for (auto& child : n.children) {
                if (child->state == pnp::DeviceNode::State::Removed) continue;
                ++row.behind;
                if (child->state != pnp::DeviceNode::State::Started) {
                    row.down.push_back(child->name + ": " +
                                       (child->problem.empty() ? "not started" : child->problem));
                }
                walk(*child);
            }
        };
        walk(*node);
        if (node->state != pnp::DeviceNode::State::Started) {
            row.down.insert(row.down.begin(),
                            "the bridge itself: " +
                                (node->problem.empty() ? "not started" : node->problem));
        }
        out.bridges.push_back(std::move(row));
    }
    // CardBus windows belong to the socket's driver: the captured ones beside what the
    // registers hold after the replug.
    for (const formats::ReplugCardBus& c : plan.cardBuses) {
        ReplugCardBusRow row;
        row.where = c.where;
        row.captured = c.captured;
        pci::Function* f = nullptr;
        nodeAtPath(m, plan.root, c.inCard, row.now, &f);
        if (f != nullptr) {
            std::vector<uint8_t> bytes(64);
            for (unsigned at = 0; at < bytes.size(); ++at) bytes[at] = f->byte(at);
            row.inMachine = true;
            row.after = formats::cardBusWindowsText(bytes);
        }
        out.cardBuses.push_back(std::move(row));
    }
    return out;
}

std::vector<std::string> describeReplug(const ReplugComparison& comparison)
{
    std::vector<std::string> lines;
    for (const ReplugFunctionRow& f : comparison.functions) {
        lines.push_back("function " + f.where + " (now " + f.now + "): " +
                        (f.inTree ? f.state : "not in the device tree"));
        std::string captured;
        for (const std::string& c : f.captured) captured += (captured.empty() ? "" : ", ") + c;
        lines.push_back("  captured:  " + (captured.empty() ? "no BARs" : captured));
        if (f.inTree) lines.push_back("  assigned:  " + assignedText(f.assigned));
    }
    for (const ReplugBridgeRow& b : comparison.bridges) {
        lines.push_back("bridge " + b.where + " (now " + b.now + ")");
        lines.push_back("  captured:  io " + windowText(b.io) + ", memory " +
                        windowText(b.memory) + ", prefetchable " + windowText(b.prefetchable));
        if (!b.inTree) {
            lines.push_back("  the replugged bridge is not in the device tree");
            continue;
        }
        lines.push_back("  asked for: " + askedText(b));
        lines.push_back("  assigned:  " + assignedText(b.assigned));
        if (b.down.empty()) {
            lines.push_back("  behind it: " + std::to_string(b.behind) + " device(s), all started");
        } else {
            lines.push_back("  behind it: " + std::to_string(b.behind) + " device(s), " +
                            std::to_string(b.down.size()) + " not started:");
            for (const std::string& d : b.down) lines.push_back("    " + d);
        }
    }
    for (const ReplugCardBusRow& c : comparison.cardBuses) {
        lines.push_back("cardbus bridge " + c.where + " (now " + c.now + ")");
        lines.push_back("  captured:  " + c.captured);
        lines.push_back(c.inMachine ? "  after:     " + c.after
                                    : std::string("  the replugged bridge is not in the machine"));
    }
    return lines;
}

std::vector<std::string> compareReplug(Machine& m, const formats::ReplugPlan& plan)
{
    return describeReplug(replugComparison(m, plan));
}

}  // namespace hotpsim
