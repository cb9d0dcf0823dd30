#include <machine/description.hpp>

#include <algorithm>

namespace machine {

namespace {

// The header of a bridge described by its keys alone: identity, class and which window
// widths it decodes; the rest as after reset.
std::vector<uint8_t> bridgeHeader(const FunctionDesc& desc)
{
    std::vector<uint8_t> h(64, 0);
    auto put16 = [&](unsigned at, uint16_t v) {
        h[at] = static_cast<uint8_t>(v);
        h[at + 1] = static_cast<uint8_t>(v >> 8);
    };
    put16(pci::reg::VendorId, desc.vendor);
    put16(pci::reg::DeviceId, desc.deviceId);
    h[pci::reg::ProgIf] = desc.progIf;
    h[pci::reg::SubClass] = 0x04;
    h[pci::reg::BaseClass] = 0x06;
    h[pci::reg::HeaderType] = 0x01;
    h[pci::reg::IoBase] = h[pci::reg::IoLimit] = desc.io32 ? 0x01 : 0x00;
    h[pci::reg::PrefetchBase] = h[pci::reg::PrefetchLimit] = desc.prefetch64 ? 0x01 : 0x00;
    return h;
}

std::unique_ptr<pci::Function> buildOne(const FunctionDesc& desc)
{
    if (!desc.config.empty()) {
        return pci::Function::fromBytes(
            desc.config, pci::Implementation{desc.bars, desc.romSize, desc.ioWindow,
                                             desc.prefetchWindow});
    }
    std::unique_ptr<pci::Function> f;
    switch (desc.kind) {
    case FunctionKind::Device:
        f = pci::Function::device(desc.vendor, desc.deviceId, desc.baseClass, desc.subClass,
                                  desc.progIf, desc.bars);
        break;
    case FunctionKind::Bridge:
        f = pci::Function::fromBytes(bridgeHeader(desc),
                                     pci::Implementation{desc.bars, desc.romSize, desc.ioWindow,
                                                         desc.prefetchWindow});
        break;
    case FunctionKind::CardBus:
        f = pci::Function::cardBus(desc.vendor, desc.deviceId);
        break;
    }
    if (desc.revision != 0) f->poke(pci::reg::RevisionId, 1, desc.revision);
    return f;
}

std::unique_ptr<pci::Function> buildMasked(const FunctionDesc& desc)
{
    std::unique_ptr<pci::Function> f = buildOne(desc);
    const WriteMasks masks = writeMasksFor(desc);
    f->setWriteMask(pci::reg::Command, 2, desc.commandMask.value_or(masks.command));
    f->setWriteMask(pci::reg::CacheLineSize, 1, desc.cacheLineMask.value_or(masks.cacheLine));
    f->setWriteMask(pci::reg::LatencyTimer, 1, desc.latencyMask.value_or(masks.latency));
    return f;
}

void populateBus(pci::Bus& bus, const BusDesc& desc, bool asFound)
{
    for (const FunctionDesc& f : desc.functions) {
        std::unique_ptr<pci::Function> function = buildMasked(f);
        if (asFound && !f.config.empty()) function->holdAsFound(f.config);
        if (f.isBridge() && function->secondary() != nullptr) {
            populateBus(*function->secondary(), f.secondary, asFound);
        }
        bus.place(f.device, f.function, std::move(function));
    }
    // A device answers on functions other than 0 only when function 0 says it is multi-function.
    for (const FunctionDesc& f : desc.functions) {
        if (f.function == 0) continue;
        if (pci::Function* first = bus.function(f.device, 0)) first->setMultiFunction(true);
    }
    for (const SlotDesc& slot : desc.slots) bus.makeHotPlugSlot(slot.device);
    bus.setHotPlugReserve(desc.reserve);
}

}  // namespace

const SlotDesc* BusDesc::slot(unsigned device) const
{
    for (const SlotDesc& s : slots) {
        if (s.device == device) return &s;
    }
    return nullptr;
}

const CardDesc* MachineDesc::card(std::string_view cardName) const
{
    for (const CardDesc& c : cards) {
        if (c.name == cardName) return &c;
    }
    return nullptr;
}

RootWindows defaultRootWindows()
{
    RootWindows w;
    w.io = {0x1000, 0xFFFF};
    w.memory = {0xF0000000, 0xFEBFFFFF};
    w.prefetchable = {0x80000000, 0xEFFFFFFF};
    return w;
}

WriteMasks writeMasksFor(const FunctionDesc& desc)
{
    constexpr uint16_t Parity = 0x0040, Serr = 0x0100, InterruptDisable = 0x0400;
    constexpr uint16_t VgaSnoop = 0x0020;
    uint16_t command = pci::CommandMaster | Parity | Serr | InterruptDisable;
    switch (desc.kind) {
    case FunctionKind::Device:
        for (const pci::Bar& bar : desc.bars) {
            if (bar.kind == pci::Bar::Kind::Io) command |= pci::CommandIo;
            if (bar.kind == pci::Bar::Kind::Memory32 || bar.kind == pci::Bar::Kind::Memory64) {
                command |= pci::CommandMemory;
            }
        }
        if (desc.romSize != 0) command |= pci::CommandMemory;
        if (desc.baseClass == 0x03) command |= VgaSnoop;
        break;
    case FunctionKind::Bridge:
    case FunctionKind::CardBus:
        command |= pci::CommandIo | pci::CommandMemory | VgaSnoop;
        break;
    }
    return WriteMasks{command, 0xFF, 0xF8};
}

std::string className(uint8_t baseClass, uint8_t subClass)
{
    switch (baseClass) {
    case 0x00: return "unclassified device";
    case 0x01: return "storage controller";
    case 0x02: return "network controller";
    case 0x03: return "display controller";
    case 0x04: return "multimedia controller";
    case 0x05: return "memory controller";
    case 0x06:
        switch (subClass) {
        case 0x00: return "host bridge";
        case 0x01: return "ISA bridge";
        case 0x04: return "PCI-to-PCI bridge";
        case 0x07: return "CardBus bridge";
        default: return "bridge";
        }
    case 0x07: return "communication controller";
    case 0x08: return "system peripheral";
    case 0x09: return "input device controller";
    case 0x0A: return "docking station";
    case 0x0B: return "processor";
    case 0x0C: return "serial bus controller";
    case 0x0D: return "wireless controller";
    case 0x0E: return "intelligent controller";
    case 0x0F: return "satellite communication controller";
    case 0x10: return "encryption controller";
    case 0x11: return "signal processing controller";
    case 0x12: return "processing accelerator";
    default: return "device";
    }
}

std::unique_ptr<pci::Function> buildFunction(const FunctionDesc& desc)
{
    std::unique_ptr<pci::Function> f = buildMasked(desc);
    if (f->secondary() != nullptr && desc.isBridge()) {
        populateBus(*f->secondary(), desc.secondary, false);
    }
    return f;
}

pci::Card buildCard(const CardDesc& desc)
{
    pci::Card card;
    card.name = desc.name;
    for (const FunctionDesc& f : desc.functions) card.functions.at(f.function) = buildFunction(f);
    const bool multi = std::any_of(desc.functions.begin(), desc.functions.end(),
                                   [](const FunctionDesc& f) { return f.function != 0; });
    if (multi && card.functions[0]) card.functions[0]->setMultiFunction(true);
    return card;
}

void populate(pci::Hierarchy& hw, const MachineDesc& desc)
{
    populateBus(hw.root(), desc.root, desc.asFound);
    for (const PeerRootDesc& peer : desc.peers) {
        populateBus(hw.addRoot(peer.number), peer.bus, desc.asFound);
    }
}

}  // namespace machine
