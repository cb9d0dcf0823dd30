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
                            std::string& now)
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
    return f != nullptr ? m.nodeAt(number, last.device, last.functionOrZero()) : nullptr;
}

std::string kindOf(const pnp::Range& r)
{
    return r.type == CmResourceTypePort                         ? "io"
           : (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "prefetchable"
                                                               : "memory";
}

std::string assignedText(const pnp::DeviceNode& node)
{
    if (node.assigned.empty()) return "nothing";
    std::string text;
    for (const pnp::Range& r : node.assigned) {
        text += (text.empty() ? "" : ", ") + kindOf(r) + " " + windowText(Window{r.start, r.end()});
    }
    return text;
}

std::string stateText(const pnp::DeviceNode& node)
{
    if (node.state == pnp::DeviceNode::State::Started) return "started";
    return "not started: " + (node.problem.empty() ? std::string("no reason given") : node.problem);
}

}  // namespace

std::string askedFor(const pnp::DeviceNode& node)
{
    const Asked a = asked(node.requirements);
    if (!a.any) return "nothing (no requirements were filtered)";
    auto size = [](uint64_t v) { return v == 0 ? std::string("none") : pci::formatSize(v); };
    // Where arbitration fell back to an alternative, what it granted instead.
    auto granted = [&](const char* kind) {
        for (size_t i = 0; i < node.assigned.size() && i < node.grants.size(); ++i) {
            const pnp::Range& r = node.assigned[i];
            if (node.grants[i].alternative != 0 && kindOf(r) == kind) {
                return " (granted the alternative " + pci::formatSize(r.length) + ")";
            }
        }
        return std::string();
    };
    return "io " + size(a.io) + granted("io") + ", memory " + size(a.memory) + granted("memory") +
           ", prefetchable " + size(a.prefetchable) + granted("prefetchable");
}

std::vector<std::string> compareReplug(Machine& m, const formats::ReplugPlan& plan)
{
    std::vector<std::string> lines;
    for (const formats::ReplugFunction& f : plan.functions) {
        std::string now;
        pnp::DeviceNode* node = nodeAtPath(m, plan.root, f.path, now);
        lines.push_back("function " + f.where + " (now " + now + "): " +
                        (node != nullptr ? stateText(*node) : "not in the device tree"));
        std::string captured;
        for (const std::string& c : f.captured) captured += (captured.empty() ? "" : ", ") + c;
        lines.push_back("  captured:  " + (captured.empty() ? "no BARs" : captured));
        if (node != nullptr) lines.push_back("  assigned:  " + assignedText(*node));
    }
    for (const formats::ReplugBridge& b : plan.bridges) {
        std::string now;
        pnp::DeviceNode* node = nodeAtPath(m, plan.root, b.inCard, now);
        lines.push_back("bridge " + b.where + " (now " + now + ")");
        lines.push_back("  captured:  io " + windowText(b.io) + ", memory " +
                        windowText(b.memory) + ", prefetchable " + windowText(b.prefetchable));
        if (node == nullptr) {
            lines.push_back("  the replugged bridge is not in the device tree");
            continue;
        }
        lines.push_back("  asked for: " + askedFor(*node));
        lines.push_back("  assigned:  " + assignedText(*node));
        unsigned behind = 0;
        std::vector<std::string> down;
        std::function<void(pnp::DeviceNode&)> walk = [&](pnp::DeviceNode& n) {
            for (auto& child : n.children) {
                if (child->state == pnp::DeviceNode::State::Removed) continue;
                ++behind;
                if (child->state != pnp::DeviceNode::State::Started) {
                    down.push_back(child->name + ": " +
                                   (child->problem.empty() ? "not started" : child->problem));
                }
                walk(*child);
            }
        };
        walk(*node);
        if (node->state != pnp::DeviceNode::State::Started) {
            down.insert(down.begin(), "the bridge itself: " +
                                          (node->problem.empty() ? "not started" : node->problem));
        }
        if (down.empty()) {
            lines.push_back("  behind it: " + std::to_string(behind) + " device(s), all started");
        } else {
            lines.push_back("  behind it: " + std::to_string(behind) + " device(s), " +
                            std::to_string(down.size()) + " not started:");
            for (const std::string& d : down) lines.push_back("    " + d);
        }
    }
    return lines;
}

}  // namespace hotpsim
