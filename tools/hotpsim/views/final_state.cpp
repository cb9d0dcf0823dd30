// The final state of a machine: the tree with each device's stack, what every device ended with,
// how that differs from the same run without the driver, and the device stacks and tree as a
// kernel debugger shows them.
#include "views.hpp"

#include <pci/registers.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace hotpsim {

using machine::MachineDesc;
using machine::MachineOptions;
using machine::ScenarioDesc;

namespace {

// An i386 kernel address or flags, as a debugger prints them.
std::string hex8(uint64_t value) { return pci::hex(value & 0xFFFFFFFFu, 8); }

std::string address(const void* p) { return hex8(reinterpret_cast<uintptr_t>(p)); }

std::string hexByte(unsigned value, int digits) { return "0x" + pci::hex(value, digits); }

std::string driverName(PDEVICE_OBJECT device)
{
    const UNICODE_STRING& name = device->DriverObject->DriverName;
    return nt::narrow(std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
}

std::string serviceOf(PDEVICE_OBJECT device)
{
    std::string name = driverName(device);
    if (auto slash = name.rfind('\\'); slash != std::string::npos) name.erase(0, slash + 1);
    return name;
}

const char* stateName(pnp::DeviceNode::State state)
{
    switch (state) {
    case pnp::DeviceNode::State::Started: return "started";
    case pnp::DeviceNode::State::NotStarted: return "not started";
    case pnp::DeviceNode::State::Removed: return "removed";
    case pnp::DeviceNode::State::Enumerated: return "enumerated";
    }
    return "?";
}

std::string rangeKind(const pnp::Range& r)
{
    if (r.type == CmResourceTypePort) return "io";
    return (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "pref" : "mem";
}

std::string rangesText(const std::vector<pnp::Range>& ranges)
{
    std::string text;
    for (const pnp::Range& r : ranges) {
        if (!text.empty()) text += ", ";
        text += rangeKind(r) + " " + pci::hex(r.start) + "-" + pci::hex(r.end());
    }
    return text.empty() ? "none" : text;
}

// Bottom (the PDO) first.
std::vector<PDEVICE_OBJECT> stackOf(PDEVICE_OBJECT pdo)
{
    std::vector<PDEVICE_OBJECT> stack;
    for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) stack.push_back(d);
    return stack;
}

// The driver that owns the device: the first object above the PDO that is no filter.
std::string serviceOfNode(Machine& m, const pnp::DeviceNode& node)
{
    for (PDEVICE_OBJECT d : stackOf(node.pdo)) {
        if (m.roleOf(d) == "function driver") return serviceOf(d);
    }
    return "";
}

uint32_t fnv1a(const std::string& text)
{
    uint32_t hash = 0x811C9DC5u;
    for (unsigned char c : text) hash = (hash ^ c) * 0x01000193u;
    return hash;
}

// The instance path the PnP manager gives a node: the root bus as the HAL reports it, a function
// by its IDs and a unique part from its parent's path and its device and function numbers.
std::string instancePath(Machine& m, const pnp::DeviceNode& node, unsigned depth)
{
    pcibus::FunctionNode* f = m.busDriver().function(node.pdo);
    if (f == nullptr || node.parent == nullptr) {
        // One instance of the root enumerator's host bridge device per root bus, in boot order.
        const auto roots = m.pnpManager().roots();
        const auto at = std::find(roots.begin(), roots.end(), &node);
        char text[32];
        std::snprintf(text, sizeof text, "Root\\PCI_HAL\\%04u",
                      static_cast<unsigned>(at != roots.end() ? at - roots.begin() : 0));
        return text;
    }
    uint32_t subsystem = 0;
    uint8_t revision = 0;
    if (pci::Function* hw = m.hardware().locate(f->parent->number, f->device, f->function)) {
        if (hw->header() == pci::HeaderKind::Device) subsystem = hw->dword(0x2C);
        revision = hw->byte(pci::reg::RevisionId);
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "PCI\\VEN_%04X&DEV_%04X&SUBSYS_%04X%04X&REV_%02X\\%u&%x&0&%02X", f->vendorId,
                  f->deviceId, subsystem >> 16, subsystem & 0xFFFF, revision, depth + 2,
                  fnv1a(instancePath(m, *node.parent, depth > 0 ? depth - 1 : 0)),
                  (f->device << 3) | f->function);
    return text;
}

std::string dnfFlags(ULONG flags)
{
    static const struct {
        ULONG bit;
        const char* name;
    } names[] = {
        {DNF_PROCESSED, "DNF_PROCESSED"},
        {DNF_STARTED, "DNF_STARTED"},
        {DNF_ENUMERATED, "DNF_ENUMERATED"},
        {DNF_ADDED, "DNF_ADDED"},
        {DNF_HAS_BOOT_CONFIG, "DNF_HAS_BOOT_CONFIG"},
        {DNF_RESOURCE_ASSIGNED, "DNF_RESOURCE_ASSIGNED"},
        {DNF_REMOVE_PENDING_CLOSES, "DNF_REMOVE_PENDING_CLOSES"},
        {DNF_INSUFFICIENT_RESOURCES, "DNF_INSUFFICIENT_RESOURCES"},
    };
    std::string text;
    for (const auto& n : names) {
        if ((flags & n.bit) != 0) text += (text.empty() ? "" : ", ") + std::string(n.name);
    }
    return text;
}

void walk(Machine& m, const std::function<void(pnp::DeviceNode&, unsigned)>& visit)
{
    std::function<void(pnp::DeviceNode&, unsigned)> step = [&](pnp::DeviceNode& node, unsigned depth) {
        visit(node, depth);
        for (auto& child : node.children) step(*child, depth + 1);
    };
    for (pnp::DeviceNode* root : m.pnpManager().roots()) step(*root, 0);
}

}  // namespace

std::vector<DeviceState> finalStates(Machine& m)
{
    std::vector<DeviceState> states;
    walk(m, [&](pnp::DeviceNode& node, unsigned) {
        DeviceState s;
        s.bdf = m.locationOf(node);
        s.name = node.name;
        s.state = stateName(node.state);
        if (node.state == pnp::DeviceNode::State::NotStarted) s.reason = node.problem;
        s.resources = rangesText(node.assigned);
        if (pcibus::FunctionNode* f = m.busDriver().function(node.pdo)) {
            s.bridge = f->isBridge() || f->isCardBus();
            // Read straight from the hardware: looking must not add configuration cycles.
            if (pci::Function* hw = m.hardware().locate(f->parent->number, f->device, f->function)) {
                s.command = hw->word(pci::reg::Command);
                s.latencyTimer = hw->byte(pci::reg::LatencyTimer);
                s.cacheLineSize = hw->byte(pci::reg::CacheLineSize);
            }
        }
        states.push_back(std::move(s));
    });
    return states;
}

std::vector<Difference> compareRuns(const std::vector<DeviceState>& with,
                                    const std::vector<DeviceState>& without)
{
    auto find = [](const std::vector<DeviceState>& in, const DeviceState& like) -> const DeviceState* {
        for (const DeviceState& s : in) {
            if (s.bdf == like.bdf && (!s.bdf.empty() || s.name == like.name)) return &s;
        }
        return nullptr;
    };
    auto stateText = [](const DeviceState& s) {
        return s.reason.empty() ? s.state : s.state + ": " + s.reason;
    };
    auto optional = [](const std::optional<unsigned>& v, int digits) {
        return v ? hexByte(*v, digits) : std::string("none");
    };
    std::vector<Difference> out;
    for (const DeviceState& a : with) {
        const DeviceState* b = find(without, a);
        if (b == nullptr) {
            out.push_back({a.bdf, a.name, "presence", "present", "absent"});
            continue;
        }
        auto differ = [&](const char* what, const std::string& x, const std::string& y) {
            if (x != y) out.push_back({a.bdf, a.name, what, x, y});
        };
        differ("state", stateText(a), stateText(*b));
        differ(a.bridge ? "windows" : "resources", a.resources, b->resources);
        differ("command", optional(a.command, 4), optional(b->command, 4));
        differ("latency timer", optional(a.latencyTimer, 2), optional(b->latencyTimer, 2));
        differ("cache line size", optional(a.cacheLineSize, 2), optional(b->cacheLineSize, 2));
    }
    for (const DeviceState& b : without) {
        if (find(with, b) == nullptr) out.push_back({b.bdf, b.name, "presence", "absent", "present"});
    }
    return out;
}

std::vector<std::string> describeChanges(const std::vector<Difference>& changes)
{
    std::vector<std::string> lines;
    std::string device;
    for (const auto& c : changes) {
        if (c.name != device) {
            device = c.name;
            lines.push_back(device);
        }
        lines.push_back("    " + c.what + ": " + c.with + "    without hotpflt: " + c.without);
    }
    if (lines.empty()) lines.push_back("nothing: every device ends the same with and without hotpflt");
    return lines;
}

std::vector<DeviceState> playWithoutDriver(const MachineDesc& description,
                                           const ScenarioDesc& scenario, MachineOptions options)
{
    options.withDriver = false;
    options.traceLevel = 0;
    options.breakLevel = 0;
    options.reportReads = false;
    Machine bare(description, options, {});
    bare.boot();
    for (const machine::Event& event : scenario.events) bare.apply(event);
    std::vector<DeviceState> states = finalStates(bare);
    bare.shutdown();
    return states;
}

std::vector<std::string> treeView(Machine& m)
{
    std::vector<std::string> lines;
    walk(m, [&](pnp::DeviceNode& node, unsigned depth) {
        const std::string indent(4 * depth, ' ');
        const std::string state = node.state == pnp::DeviceNode::State::NotStarted
                                      ? "not started: " + node.problem
                                      : stateName(node.state);
        lines.push_back(indent + node.name + "  [" + state + "]");
        if (!node.enumerationProblem.empty()) lines.push_back(indent + "  " + node.enumerationProblem);
        for (const pnp::Range& r : node.assigned) {
            const char* kind = r.type == CmResourceTypePort                         ? "io  "
                               : (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "pref"
                                                                                   : "mem ";
            lines.push_back(indent + "  " + kind + " " + pci::hex(r.start, 8) + "-" +
                            pci::hex(r.end(), 8));
        }
        std::string text = indent + "  stack:";
        const std::vector<PDEVICE_OBJECT> stack = stackOf(node.pdo);
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            const std::string role = m.roleOf(*it);
            const bool filter = role.find("filter") != std::string::npos;
            text += " " + driverName(*it) + "(" + address(*it) +
                    (filter ? ", " + role : std::string()) + ")";
        }
        lines.push_back(text);
    });
    return lines;
}

std::vector<std::string> devstackView(Machine& m)
{
    std::vector<std::string> lines;
    walk(m, [&](pnp::DeviceNode& node, unsigned depth) {
        if (!lines.empty()) lines.emplace_back();
        lines.push_back("kd> !devstack " + address(node.pdo) + "          $ " + node.name);
        lines.push_back("  !DevObj   !DrvObj            !DevExt   ObjectName");
        const std::vector<PDEVICE_OBJECT> stack = stackOf(node.pdo);
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            PDEVICE_OBJECT d = *it;
            std::string drv = driverName(d);
            if (drv.size() < 18) drv.resize(18, ' ');
            const std::string role = m.roleOf(d);
            const bool filter = role.find("filter") != std::string::npos;
            std::string text = std::string(d == node.pdo ? "> " : "  ") + address(d) + "  " + drv + " " +
                               address(d->DeviceExtension) + "  " + (filter ? "(" + role + ")" : "");
            while (!text.empty() && text.back() == ' ') text.pop_back();
            lines.push_back(text);
        }
        lines.push_back("!DevNode " + address(m.kernel().deviceNode(node.pdo)) + " :");
        lines.push_back("  DeviceInst is \"" + instancePath(m, node, depth) + "\"");
        const std::string service = serviceOfNode(m, node);
        if (!service.empty()) lines.push_back("  ServiceName is \"" + service + "\"");
    });
    return lines;
}

std::vector<std::string> devnodeView(Machine& m)
{
    std::vector<std::string> lines;
    walk(m, [&](pnp::DeviceNode& node, unsigned depth) {
        const std::string indent(2 * depth, ' ');
        PDEVICE_NODE devnode = m.kernel().deviceNode(node.pdo);
        if (lines.empty()) lines.push_back("kd> !devnode 0 1");
        lines.push_back(indent + "DevNode 0x" + address(devnode) + " for PDO 0x" + address(node.pdo) +
                        "          $ " + node.name);
        lines.push_back(indent + "  InstancePath is \"" + instancePath(m, node, depth) + "\"");
        const std::string service = serviceOfNode(m, node);
        if (!service.empty()) lines.push_back(indent + "  ServiceName is \"" + service + "\"");
        const char* state = "DeviceNodeInitialized (0x302)";
        if (node.state == pnp::DeviceNode::State::Started) state = "DeviceNodeStarted (0x308)";
        if (node.state == pnp::DeviceNode::State::Removed) state = "DeviceNodeRemoved (0x312)";
        lines.push_back(indent + "  State = " + state);
        lines.push_back(indent + "  Flags (0x" + hex8(devnode->Flags) + ")  " + dnfFlags(devnode->Flags));
        if (node.state == pnp::DeviceNode::State::NotStarted) {
            // A device that found no room in its parent's windows has a resource conflict.
            const bool noRoom = (devnode->Flags & DNF_INSUFFICIENT_RESOURCES) != 0;
            lines.push_back(indent + "  Problem = " +
                            (noRoom ? "CM_PROB_NORMAL_CONFLICT (0xc)" : "CM_PROB_FAILED_START (0xa)") +
                            "  " + node.problem);
        }
    });
    return lines;
}

std::vector<nlohmann::ordered_json> deviceRecords(Machine& m)
{
    std::vector<nlohmann::ordered_json> records;
    walk(m, [&](pnp::DeviceNode& node, unsigned depth) {
        nlohmann::ordered_json resources = nlohmann::ordered_json::array();
        for (const pnp::Range& r : node.assigned) {
            resources.push_back({{"type", r.type == CmResourceTypePort ? "io" : "memory"},
                                 {"prefetchable", (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0},
                                 {"start", r.start},
                                 {"end", r.end()},
                                 {"length", r.length}});
        }
        nlohmann::ordered_json stack = nlohmann::ordered_json::array();
        const std::vector<PDEVICE_OBJECT> objects = stackOf(node.pdo);
        for (auto it = objects.rbegin(); it != objects.rend(); ++it) {
            stack.push_back({{"address", address(*it)},
                             {"driver", driverName(*it)},
                             {"role", m.roleOf(*it)},
                             {"extension", address((*it)->DeviceExtension)}});
        }
        const std::string bdf = m.locationOf(node);
        const pnp::DeviceNode* root = &node;
        while (root->parent != nullptr) root = root->parent;
        records.push_back({{"kind", "device"},
                           {"bdf", bdf.empty() ? nlohmann::ordered_json() : nlohmann::ordered_json(bdf)},
                           {"root_bus", root->rootBus.value_or(0)},
                           {"name", node.name},
                           {"parent", node.parent != nullptr && !m.locationOf(*node.parent).empty()
                                          ? nlohmann::ordered_json(m.locationOf(*node.parent))
                                          : nlohmann::ordered_json()},
                           {"state", stateName(node.state)},
                           {"reason", node.state == pnp::DeviceNode::State::NotStarted
                                          ? nlohmann::ordered_json(node.problem)
                                          : nlohmann::ordered_json()},
                           // A bus whose last relations query failed: what was added to it
                           // since is not reported.
                           {"enumeration_problem",
                            node.enumerationProblem.empty()
                                ? nlohmann::ordered_json()
                                : nlohmann::ordered_json(node.enumerationProblem)},
                           {"instance", instancePath(m, node, depth)},
                           {"resources", resources},
                           {"stack", stack}});
    });
    return records;
}

}  // namespace hotpsim
