#include <formats/replug_plan.hpp>
#include <formats/snapshot.hpp>

#include <pci/registers.hpp>

#include <algorithm>

namespace formats {

using namespace machine;

namespace {

namespace reg = pci::reg;

// The windows a bridge's captured registers decode.
void capturedWindows(const FunctionDesc& f, ReplugBridge& b)
{
    const std::vector<uint8_t>& c = f.config;
    if (c.size() < 64) return;
    auto decode = [&](pci::WindowKind kind) {
        const pci::WindowRegisters r = pci::capturedWindow(kind, c);
        const pci::DecodedWindow w = pci::decodeWindow(kind, r, pci::windowIsWide(r.base));
        return Window{w.base, w.limit};
    };
    if (f.ioWindow) b.io = decode(pci::WindowKind::Io);
    b.memory = decode(pci::WindowKind::Memory);
    if (f.prefetchWindow) b.prefetchable = decode(pci::WindowKind::Prefetchable);
}

// The ranges a function's captured BARs decode.
std::vector<std::string> capturedBars(const FunctionDesc& f)
{
    std::vector<std::string> out;
    if (f.config.size() < 64) return out;
    // A CardBus bridge's one BAR is its socket registers, 4 KB of memory.
    if (f.kind == FunctionKind::CardBus) {
        const uint64_t address = pci::configDword(f.config, reg::Bar0) & ~0xFFFu;
        out.push_back("memory " + (address == 0 ? std::string("unassigned (4K)")
                                                : windowText(Window{address, address + 0xFFF})));
        return out;
    }
    for (size_t i = 0; i < f.bars.size(); ++i) {
        const pci::Bar& bar = f.bars[i];
        if (bar.kind == pci::Bar::Kind::None) continue;
        const uint32_t low = pci::configDword(f.config, reg::Bar0 + 4 * static_cast<unsigned>(i));
        uint64_t address = bar.kind == pci::Bar::Kind::Io ? (low & ~0x3u) : (low & ~0xFu);
        if (bar.kind == pci::Bar::Kind::Memory64 && i + 1 < 6) {
            address |= uint64_t{pci::configDword(f.config, reg::Bar0 + 4 * static_cast<unsigned>(i) + 4)} << 32;
        }
        const char* kind = bar.kind == pci::Bar::Kind::Io ? "io" : bar.prefetchable ? "prefetchable" : "memory";
        out.push_back(std::string(kind) + " " +
                      (address == 0 ? "unassigned (" + pci::formatSize(bar.size) + ")"
                                    : windowText(Window{address, address + bar.size - 1})));
    }
    return out;
}

void collectBridges(const FunctionDesc& f, std::vector<Step> path, unsigned bus, ReplugPlan& plan)
{
    const std::string where =
        pci::hex(bus, 2) + ":" + pci::hex(f.device, 2) + "." + std::to_string(f.function);
    if (f.kind == FunctionKind::CardBus && f.config.size() >= 64) {
        plan.cardBuses.push_back(ReplugCardBus{where, path, cardBusWindowsText(f.config)});
    }
    if (!f.isBridge()) return;
    ReplugBridge b;
    b.where = where;
    b.inCard = path;
    capturedWindows(f, b);
    plan.bridges.push_back(b);
    const unsigned secondary = f.config.size() >= 64 ? f.config[reg::SecondaryBus] : 0;
    for (const FunctionDesc& behind : f.secondary.functions) {
        std::vector<Step> deeper = path;
        deeper.push_back(Step{behind.device, behind.function});
        collectBridges(behind, deeper, secondary, plan);
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
            error = "the bridge at " + pci::hex(number, 2) + ":" + pci::hex(f.device, 2) + "." +
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

}  // namespace

std::string windowText(const Window& w)
{
    if (!w.open()) return "closed";
    return pci::hex(w.base, 8) + "-" + pci::hex(w.limit, 8) + " (" + pci::formatSize(w.size()) + ")";
}

std::string cardBusWindowsText(const std::vector<uint8_t>& config)
{
    std::string text;
    const auto control = static_cast<uint16_t>(config[reg::BridgeControl] |
                                               config[reg::BridgeControl + 1] << 8);
    for (const pci::CardBusWindow w : pci::kCardBusWindows) {
        const pci::DecodedWindow d = pci::capturedCardBusWindow(w, config);
        text += (text.empty() ? "" : ", ") + std::string(pci::cardBusWindowName(w)) + " " +
                windowText(Window{d.base, d.limit});
        if (d.open() && pci::cardBusWindowPrefetchable(w, control)) text += " prefetchable";
    }
    return text;
}

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
    // The bus is in the tree of the first root or of a peer host bridge's root.
    BusDesc* where = findBus(plan.machine.root, 0, bus, path, error);
    for (size_t i = 0; where == nullptr && error.empty() && i < plan.machine.peers.size(); ++i) {
        PeerRootDesc& peer = plan.machine.peers[i];
        if (bus < peer.number) continue;
        path.clear();
        where = findBus(peer.bus, peer.number, bus, path, error);
        plan.root = peer.number;
    }
    if (where == nullptr) {
        if (error.empty()) error = "no bridge in the machine leads to bus " + pci::hex(bus, 2);
        return std::nullopt;
    }
    CardDesc card;
    card.name = "card replugged at " + pci::hex(bus, 2) + ":" + pci::hex(device, 2);
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
            pci::hex(bus, 2) + ":" + pci::hex(device, 2) + "." + std::to_string(f.function), at,
            capturedBars(f)});
        collectBridges(f, at, bus, plan);
    }
    plan.machine.cards.push_back(card);

    Location slot;
    slot.steps = plan.slot;
    slot.root = plan.root;
    slot.text = (plan.root != 0 ? pci::hex(plan.root, 2) + ":" : std::string()) +
                formatPath(plan.slot);
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

}  // namespace formats
