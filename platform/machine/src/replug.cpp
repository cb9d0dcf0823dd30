#include <machine/replug.hpp>

#include "format.hpp"

#include <machine/machine.hpp>
#include <machine/snapshot.hpp>

#include <cstdio>
#include <cstring>
#include <functional>

namespace machine {

namespace {

namespace reg = pci::reg;

std::string windowText(const Window& w)
{
    if (!w.open()) return "closed";
    return detail::hex(w.base, 8) + "-" + detail::hex(w.limit, 8) + " (" + detail::formatSize(w.size()) + ")";
}

// The windows a bridge's captured registers decode.
void capturedWindows(const FunctionDesc& f, ReplugBridge& b)
{
    const std::vector<uint8_t>& c = f.config;
    if (c.size() < 64) return;
    if (f.ioWindow) {
        b.io = Window{uint64_t{c[reg::IoBase] & 0xF0u} << 8,
                      (uint64_t{c[reg::IoLimit] & 0xF0u} << 8) | 0xFFF};
        if ((c[reg::IoBase] & 0xF) == 1) {
            b.io.base |= uint64_t{detail::configDword(c, reg::IoBaseUpper) & 0xFFFF} << 16;
            b.io.limit |= uint64_t{detail::configDword(c, reg::IoBaseUpper) >> 16} << 16;
        }
    }
    const uint32_t memory = detail::configDword(c, reg::MemoryBase);
    b.memory = Window{uint64_t{memory & 0xFFF0} << 16, uint64_t{memory & 0xFFF00000u} | 0xFFFFF};
    if (f.prefetchWindow) {
        const uint32_t pref = detail::configDword(c, reg::PrefetchBase);
        b.prefetchable = Window{uint64_t{pref & 0xFFF0} << 16, uint64_t{pref & 0xFFF00000u} | 0xFFFFF};
        if ((pref & 0xF) == 1) {
            b.prefetchable.base |= uint64_t{detail::configDword(c, reg::PrefetchBaseUpper)} << 32;
            b.prefetchable.limit |= uint64_t{detail::configDword(c, reg::PrefetchLimitUpper)} << 32;
        }
    }
}

// The ranges a function's captured BARs decode.
std::vector<std::string> capturedBars(const FunctionDesc& f)
{
    std::vector<std::string> out;
    if (f.config.size() < 64) return out;
    for (size_t i = 0; i < f.bars.size(); ++i) {
        const pci::Bar& bar = f.bars[i];
        if (bar.kind == pci::Bar::Kind::None) continue;
        const uint32_t low = detail::configDword(f.config, reg::Bar0 + 4 * static_cast<unsigned>(i));
        uint64_t address = bar.kind == pci::Bar::Kind::Io ? (low & ~0x3u) : (low & ~0xFu);
        if (bar.kind == pci::Bar::Kind::Memory64 && i + 1 < 6) {
            address |= uint64_t{detail::configDword(f.config, reg::Bar0 + 4 * static_cast<unsigned>(i) + 4)} << 32;
        }
        const char* kind = bar.kind == pci::Bar::Kind::Io ? "io" : bar.prefetchable ? "prefetchable" : "memory";
        out.push_back(std::string(kind) + " " +
                      (address == 0 ? "unassigned (" + detail::formatSize(bar.size) + ")"
                                    : windowText(Window{address, address + bar.size - 1})));
    }
    return out;
}

void collectBridges(const FunctionDesc& f, std::vector<Step> path, unsigned bus,
                    std::vector<ReplugBridge>& out)
{
    if (!f.isBridge()) return;
    ReplugBridge b;
    b.where = detail::hex(bus, 2) + ":" + detail::hex(f.device, 2) + "." + std::to_string(f.function);
    b.inCard = path;
    capturedWindows(f, b);
    out.push_back(b);
    const unsigned secondary = f.config.size() >= 64 ? f.config[reg::SecondaryBus] : 0;
    for (const FunctionDesc& behind : f.secondary.functions) {
        std::vector<Step> deeper = path;
        deeper.push_back(Step{behind.device, behind.function});
        collectBridges(behind, deeper, secondary, out);
    }
}

// Finds the bus numbered `target` in the description, through the bridges' captured bus numbers.
BusDesc* findBus(BusDesc& bus, unsigned number, unsigned target, std::vector<Step>& path,
                 std::string& error)
{
    if (number == target) return &bus;
    for (FunctionDesc& f : bus.functions) {
        if (!f.isBridge()) continue;
        if (f.config.size() < 64) {
            error = "the bridge at " + detail::hex(number, 2) + ":" + detail::hex(f.device, 2) + "." +
                    std::to_string(f.function) +
                    " has no configuration bytes, so its bus numbers are not known before boot; "
                    "--replug plays on machines that boot as found (hotpsim import makes them)";
            return nullptr;
        }
        const unsigned secondary = f.config[reg::SecondaryBus];
        const unsigned subordinate = f.config[reg::SubordinateBus];
        if (secondary <= number || target < secondary || target > subordinate) continue;
        path.push_back(Step{f.device, f.function});
        if (BusDesc* found = findBus(f.secondary, secondary, target, path, error)) return found;
        if (!error.empty()) return nullptr;
        path.pop_back();
    }
    return nullptr;
}

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

}  // namespace

std::optional<ReplugPlan> planReplug(const MachineDesc& machine, std::string_view bdf,
                                     std::string& error)
{
    const std::string text(bdf);
    const std::optional<Bdf> target = parseBdf(text);
    if (!target || target->domain != 0) {
        error = "'" + text + "' is not a function such as 02:00.0 (bus:device.function)";
        return std::nullopt;
    }
    const unsigned bus = target->bus, device = target->device, fn = target->function;
    ReplugPlan plan;
    plan.machine = machine;
    std::vector<Step> path;
    BusDesc* where = findBus(plan.machine.root, 0, bus, path, error);
    if (where == nullptr) {
        if (error.empty()) error = "no bridge in the machine leads to bus " + detail::hex(bus, 2);
        return std::nullopt;
    }
    CardDesc card;
    card.name = "card replugged at " + detail::hex(bus, 2) + ":" + detail::hex(device, 2);
    for (const FunctionDesc& f : where->functions) {
        if (f.device == device) card.functions.push_back(f);
    }
    const bool present = std::any_of(card.functions.begin(), card.functions.end(),
                                     [&](const FunctionDesc& f) { return f.function == fn; });
    if (!present) {
        error = "the machine has no function " + text;
        return std::nullopt;
    }
    if (where->slot(device) == nullptr) where->slots.push_back(SlotDesc{device, "", 0});
    plan.slot = path;
    plan.slot.push_back(Step{device, std::nullopt});
    for (const FunctionDesc& f : card.functions) {
        std::vector<Step> at = path;
        at.push_back(Step{device, f.function});
        plan.functions.push_back(ReplugFunction{
            detail::hex(bus, 2) + ":" + detail::hex(device, 2) + "." + std::to_string(f.function), at,
            capturedBars(f)});
        collectBridges(f, at, bus, plan.bridges);
    }
    plan.machine.cards.push_back(card);

    Location slot;
    slot.steps = plan.slot;
    slot.text = formatPath(plan.slot);
    plan.scenario.name = "replug " + text;
    Event out;
    out.atMs = 100;
    out.kind = EventKind::SurpriseRemove;
    out.slot = slot;
    Event in;
    in.atMs = 200;
    in.kind = EventKind::Insert;
    in.card = card.name;
    in.slot = slot;
    plan.scenario.events = {out, in};
    return plan;
}

namespace {

// The PnP node at a path, following the bridges as the running system numbered them; `now`
// says where it is now ("01:00.0").
pnp::DeviceNode* nodeAtPath(Machine& m, const std::vector<Step>& path, std::string& now)
{
    pci::Bus* bus = &m.hardware().root();
    unsigned number = 0;
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
    now = detail::hex(number, 2) + ":" + detail::hex(last.device, 2) + "." + std::to_string(last.functionOrZero());
    return f != nullptr ? m.nodeAt(number, last.device, last.functionOrZero()) : nullptr;
}

std::string assignedText(const pnp::DeviceNode& node)
{
    if (node.assigned.empty()) return "nothing";
    std::string text;
    for (const pnp::Range& r : node.assigned) {
        const char* kind = r.type == CmResourceTypePort                         ? "io"
                           : (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "prefetchable"
                                                                               : "memory";
        text += (text.empty() ? "" : ", ") + std::string(kind) + " " +
                windowText(Window{r.start, r.end()});
    }
    return text;
}

std::string stateText(const pnp::DeviceNode& node)
{
    if (node.state == pnp::DeviceNode::State::Started) return "started";
    return "not started: " + (node.problem.empty() ? std::string("no reason given") : node.problem);
}

}  // namespace

std::vector<std::string> compareReplug(Machine& m, const ReplugPlan& plan)
{
    std::vector<std::string> lines;
    for (const ReplugFunction& f : plan.functions) {
        std::string now;
        pnp::DeviceNode* node = nodeAtPath(m, f.path, now);
        lines.push_back("function " + f.where + " (now " + now + "): " +
                        (node != nullptr ? stateText(*node) : "not in the device tree"));
        std::string captured;
        for (const std::string& c : f.captured) captured += (captured.empty() ? "" : ", ") + c;
        lines.push_back("  captured:  " + (captured.empty() ? "no BARs" : captured));
        if (node != nullptr) lines.push_back("  assigned:  " + assignedText(*node));
    }
    for (const ReplugBridge& b : plan.bridges) {
        std::string now;
        pnp::DeviceNode* node = nodeAtPath(m, b.inCard, now);
        lines.push_back("bridge " + b.where + " (now " + now + ")");
        lines.push_back("  captured:  io " + windowText(b.io) + ", memory " +
                        windowText(b.memory) + ", prefetchable " + windowText(b.prefetchable));
        if (node == nullptr) {
            lines.push_back("  the replugged bridge is not in the device tree");
            continue;
        }
        const Asked a = asked(node->requirements);
        auto size = [](uint64_t v) { return v == 0 ? std::string("none") : detail::formatSize(v); };
        lines.push_back(a.any ? "  asked for: io " + size(a.io) + ", memory " + size(a.memory) +
                                    ", prefetchable " + size(a.prefetchable)
                              : std::string("  asked for: nothing (no requirements were filtered)"));
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

}  // namespace machine
