#include <pci/hardware.hpp>

#include <algorithm>
#include <stdexcept>

namespace pci {

namespace {
uint64_t g_routingGeneration = 0;

uint32_t allOnes(unsigned length)
{
    return length >= 4 ? 0xFFFFFFFFu : (1u << (8 * length)) - 1;
}
}  // namespace

uint64_t routingGeneration() { return g_routingGeneration; }

Function::Function(HeaderKind header) : header_(header) {}

Function::~Function() = default;

void Function::poke(unsigned offset, unsigned length, uint32_t value)
{
    if (header_ != HeaderKind::Device) ++g_routingGeneration;
    for (unsigned i = 0; i < length && offset + i < 256; ++i) {
        config_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        powerOn_[offset + i] = config_[offset + i];
    }
}

void Function::setWriteMask(unsigned offset, unsigned length, uint32_t writable)
{
    if (header_ != HeaderKind::Device) ++g_routingGeneration;
    for (unsigned i = 0; i < length && offset + i < 256; ++i) {
        const uint8_t mask = static_cast<uint8_t>(writable >> (8 * i));
        writeMask_[offset + i] = mask;
        // Bits that are no longer writable read as they do after reset.
        config_[offset + i] = static_cast<uint8_t>((config_[offset + i] & mask) |
                                                   (powerOn_[offset + i] & ~mask));
    }
}

void Function::setMask(unsigned offset, unsigned length, uint32_t writable, uint32_t clearable)
{
    for (unsigned i = 0; i < length; ++i) {
        writeMask_[offset + i] = static_cast<uint8_t>(writable >> (8 * i));
        clearMask_[offset + i] = static_cast<uint8_t>(clearable >> (8 * i));
    }
}

void Function::defineCommonMasks()
{
    setMask(reg::Command, 2, 0x07FF);
    setMask(reg::Status, 2, 0, 0xF900);
    setMask(reg::CacheLineSize, 1, 0xFF);
    setMask(reg::LatencyTimer, 1, 0xFF);
}

void Function::defineBars(unsigned count)
{
    bars_.resize(count);
    for (unsigned i = 0; i < count; ++i) {
        const Bar& bar = bars_[i];
        const unsigned offset = reg::Bar0 + 4 * i;
        switch (bar.kind) {
        case Bar::Kind::None:
            break;
        case Bar::Kind::Io: {
            uint32_t mask = ~static_cast<uint32_t>(bar.size - 1) & 0xFFFFFFFCu;
            if (bar.ioUpperZero) mask &= 0xFFFFu;
            setMask(offset, 4, mask);
            poke(offset, 4, 0x1);
            break;
        }
        case Bar::Kind::Memory32:
        case Bar::Kind::Memory64: {
            const uint64_t mask = ~(bar.size - 1);
            setMask(offset, 4, static_cast<uint32_t>(mask) & 0xFFFFFFF0u);
            uint32_t type = bar.prefetchable ? 0x8u : 0u;
            if (bar.kind == Bar::Kind::Memory64) {
                type |= 0x4;
                if (i + 1 < count) setMask(offset + 4, 4, static_cast<uint32_t>(mask >> 32));
            }
            poke(offset, 4, type);
            break;
        }
        }
    }
}

std::unique_ptr<Function> Function::device(uint16_t vendor, uint16_t deviceId, uint8_t baseClass,
                                           uint8_t subClass, uint8_t progIf, std::vector<Bar> bars)
{
    std::unique_ptr<Function> f(new Function(HeaderKind::Device));
    f->poke(reg::VendorId, 2, vendor);
    f->poke(reg::DeviceId, 2, deviceId);
    f->poke(reg::ProgIf, 1, progIf);
    f->poke(reg::SubClass, 1, subClass);
    f->poke(reg::BaseClass, 1, baseClass);
    f->poke(reg::HeaderType, 1, 0x00);
    f->poke(reg::InterruptPin, 1, 0x01);
    f->defineCommonMasks();
    f->setMask(reg::InterruptLine, 1, 0xFF);
    if (bars.size() > 6) throw std::invalid_argument("a device has at most six BARs");
    f->bars_ = std::move(bars);
    f->defineBars(6);
    // Power management capability: D3hot to D0 resets the function.
    f->poke(reg::Status, 2, 0x0010);
    f->poke(reg::CapabilitiesPointer, 1, PmCapability);
    f->poke(PmCapability, 4, 0x00030001);
    f->setMask(PmCapability + 4, 1, 0x03);
    f->pm_ = PmCapability;
    return f;
}

std::unique_ptr<Function> Function::bridge(uint16_t vendor, uint16_t deviceId, bool prefetch64,
                                           bool io32, bool prefetchWindow)
{
    std::unique_ptr<Function> f(new Function(HeaderKind::Bridge));
    f->poke(reg::VendorId, 2, vendor);
    f->poke(reg::DeviceId, 2, deviceId);
    f->poke(reg::SubClass, 1, 0x04);
    f->poke(reg::BaseClass, 1, 0x06);
    f->poke(reg::HeaderType, 1, 0x01);
    f->defineCommonMasks();
    f->defineBars(2);
    f->setMask(reg::PrimaryBus, 4, 0xFFFFFFFF);
    f->setMask(reg::SecondaryStatus, 2, 0, 0xF900);
    f->defineBridgeWindows(true, io32, prefetchWindow, prefetch64);
    f->setMask(reg::InterruptLine, 1, 0xFF);
    f->setMask(reg::BridgeControl, 2, 0x00FF);
    f->secondary_ = std::make_unique<Bus>();
    return f;
}

std::unique_ptr<Function> Function::cardBus(uint16_t vendor, uint16_t deviceId)
{
    std::unique_ptr<Function> f(new Function(HeaderKind::CardBus));
    f->poke(reg::VendorId, 2, vendor);
    f->poke(reg::DeviceId, 2, deviceId);
    f->poke(reg::SubClass, 1, 0x07);
    f->poke(reg::BaseClass, 1, 0x06);
    f->poke(reg::HeaderType, 1, 0x02);
    f->defineCommonMasks();
    f->defineCardBusRegisters();
    f->setMask(reg::InterruptLine, 1, 0xFF);
    f->secondary_ = std::make_unique<Bus>();
    return f;
}

void Function::defineCardBusRegisters()
{
    // The socket registers are one 4 KB memory BAR.
    bars_ = {Bar{Bar::Kind::Memory32, 0x1000}};
    defineBars(1);
    setMask(reg::PrimaryBus, 4, 0xFFFFFFFF);
    // Memory windows 0 and 1 decode on 4 KB, I/O windows 0 and 1 on 4 bytes. Bit 0 of an I/O
    // base or limit is read-only and says whether the window decodes 32-bit addresses; the bits
    // below the granularity read as zero, the limit's standing for ones.
    for (unsigned offset : {reg::CardBusMemoryBase0, reg::CardBusMemoryLimit0,
                            reg::CardBusMemoryBase1, reg::CardBusMemoryLimit1}) {
        setMask(offset, 4, 0xFFFFF000);
    }
    for (unsigned offset : {reg::CardBusIoBase0, reg::CardBusIoLimit0, reg::CardBusIoBase1,
                            reg::CardBusIoLimit1}) {
        setMask(offset, 4, 0xFFFFFFFC);
    }
    // Bits 8 and 9 make memory windows 0 and 1 prefetchable.
    setMask(reg::BridgeControl, 2, 0x07FF);
}

void Function::defineBridgeWindows(bool io, bool io32, bool prefetch, bool prefetch64)
{
    // I/O base and limit: the upper nibble holds address bits 15:12; the lower nibble says
    // whether 32-bit I/O addressing is implemented. A window that is not implemented reads as
    // zero and takes no writes.
    if (io) {
        setMask(reg::IoBase, 2, 0xF0F0);
        poke(reg::IoBase, 2, io32 ? 0x0101 : 0x0000);
        if (io32) setMask(reg::IoBaseUpper, 4, 0xFFFFFFFF);
    } else {
        poke(reg::IoBase, 2, 0);
        poke(reg::IoBaseUpper, 4, 0);
    }
    setMask(reg::MemoryBase, 4, 0xFFF0FFF0);
    if (prefetch) {
        setMask(reg::PrefetchBase, 4, 0xFFF0FFF0);
        poke(reg::PrefetchBase, 4, prefetch64 ? 0x00010001 : 0);
        if (prefetch64) {
            setMask(reg::PrefetchBaseUpper, 4, 0xFFFFFFFF);
            setMask(reg::PrefetchLimitUpper, 4, 0xFFFFFFFF);
        }
    } else {
        poke(reg::PrefetchBase, 4, 0);
        poke(reg::PrefetchBaseUpper, 4, 0);
        poke(reg::PrefetchLimitUpper, 4, 0);
    }
}

unsigned Function::romOffset() const
{
    switch (header_) {
    case HeaderKind::Device: return reg::RomBar;
    case HeaderKind::Bridge: return reg::BridgeRomBar;
    case HeaderKind::CardBus: break;
    }
    return 0;
}

void Function::defineRom(uint64_t size)
{
    romSize_ = size;
    // Address bits above the size are writable, and bit 0 enables decoding.
    if (size != 0 && romOffset() != 0) {
        setMask(romOffset(), 4, (~static_cast<uint32_t>(size - 1) & 0xFFFFF800u) | 0x1u);
    }
}

std::unique_ptr<Function> Function::fromBytes(const std::vector<uint8_t>& bytes,
                                              const Implementation& impl)
{
    if (bytes.size() < 64) throw std::invalid_argument("a configuration header is 64 bytes");
    const unsigned type = bytes[reg::HeaderType] & 0x7F;
    if (type > 2) throw std::invalid_argument("unknown header type");
    std::unique_ptr<Function> f(new Function(static_cast<HeaderKind>(type)));
    for (size_t i = 0; i < bytes.size() && i < 256; ++i) f->config_[i] = bytes[i];
    f->defineCommonMasks();
    f->setMask(reg::InterruptLine, 1, 0xFF);
    switch (f->header_) {
    case HeaderKind::Device:
        if (impl.bars.size() > 6) throw std::invalid_argument("a device has at most six BARs");
        f->bars_ = impl.bars;
        f->defineBars(6);
        break;
    case HeaderKind::Bridge: {
        if (impl.bars.size() > 2) throw std::invalid_argument("a bridge has at most two BARs");
        f->bars_ = impl.bars;
        f->defineBars(2);
        f->setMask(reg::PrimaryBus, 4, 0xFFFFFFFF);
        f->setMask(reg::SecondaryStatus, 2, 0, 0xF900);
        f->defineBridgeWindows(impl.ioWindow, (bytes[reg::IoBase] & 0xF) == 1,
                               impl.prefetchWindow, (bytes[reg::PrefetchBase] & 0xF) == 1);
        f->setMask(reg::BridgeControl, 2, 0x00FF);
        f->secondary_ = std::make_unique<Bus>();
        break;
    }
    case HeaderKind::CardBus:
        f->defineCardBusRegisters();
        f->secondary_ = std::make_unique<Bus>();
        break;
    }
    f->defineRom(impl.romSize);
    // The power-management capability, found through the capability list as software finds it.
    if (const unsigned at = findPowerCapability(f->config_); at != 0) {
        f->pm_ = at;
        f->setMask(at + 4, 1, 0x03);
    }
    // Power-on state: what the bytes hold in read-only bits, zero in every writable one.
    for (unsigned i = 0; i < 256; ++i) {
        f->powerOn_[i] = static_cast<uint8_t>(f->config_[i] & ~f->writeMask_[i] & ~f->clearMask_[i]);
    }
    if (f->pm_ != 0) f->powerOn_[f->pm_ + 4] &= 0xFC;  // D0
    f->config_ = f->powerOn_;
    return f;
}

void Function::holdAsFound(const std::vector<uint8_t>& bytes)
{
    if (header_ != HeaderKind::Device) ++g_routingGeneration;
    for (size_t i = 0; i < bytes.size() && i < 256; ++i) {
        // Read-only bits keep what the hardware holds; writable ones take the bytes.
        config_[i] = static_cast<uint8_t>((powerOn_[i] & ~writeMask_[i]) |
                                          (bytes[i] & writeMask_[i]));
        config_[i] = static_cast<uint8_t>(config_[i] | (bytes[i] & clearMask_[i]));
    }
}

uint32_t Function::read(unsigned offset, unsigned length) const
{
    uint32_t value = 0;
    for (unsigned i = 0; i < length && i < 4; ++i) {
        uint8_t b = offset + i < 256 ? config_[offset + i] : 0xFF;
        value |= static_cast<uint32_t>(b) << (8 * i);
    }
    return value;
}

void Function::write(unsigned offset, unsigned length, uint32_t value)
{
    const unsigned stateBefore = powerState();
    for (unsigned i = 0; i < length && i < 4 && offset + i < 256; ++i) {
        const unsigned o = offset + i;
        const auto v = static_cast<uint8_t>(value >> (8 * i));
        config_[o] = static_cast<uint8_t>((config_[o] & ~writeMask_[o]) | (v & writeMask_[o]));
        config_[o] = static_cast<uint8_t>(config_[o] & ~(v & clearMask_[o]));
    }
    if (header_ != HeaderKind::Device && offset <= reg::SubordinateBus &&
        offset + length > reg::SecondaryBus) {
        ++g_routingGeneration;
    }
    // A transition from D3hot to D0 is an internal reset of the function.
    if (pm_ != 0 && stateBefore == 3 && powerState() == 0) reset();
}

void Function::setMultiFunction(bool on)
{
    uint8_t header = config_[reg::HeaderType];
    header = on ? static_cast<uint8_t>(header | 0x80) : static_cast<uint8_t>(header & 0x7F);
    poke(reg::HeaderType, 1, header);
}

void Function::reset()
{
    config_ = powerOn_;
    if (secondary_) {
        ++g_routingGeneration;
        for (unsigned d = 0; d < 32; ++d) {
            for (unsigned fn = 0; fn < 8; ++fn) {
                if (Function* f = secondary_->function(d, fn)) f->reset();
            }
        }
    }
}

Function* Bus::function(unsigned device, unsigned fn) const
{
    if (device >= 32 || fn >= 8) return nullptr;
    return slots_[device][fn].get();
}

void Bus::place(unsigned device, unsigned fn, std::unique_ptr<Function> function)
{
    slots_.at(device).at(fn) = std::move(function);
    indexBridges(device);
}

void Bus::indexBridges(unsigned device)
{
    ++g_routingGeneration;
    // Drop the device's entries, then add its bridges back where device order puts them.
    std::erase_if(bridges_, [device](const BridgeAt& b) { return b.device == device; });
    auto at = std::find_if(bridges_.begin(), bridges_.end(),
                           [device](const BridgeAt& b) { return b.device > device; });
    std::vector<BridgeAt> found;
    for (unsigned fn = 0; fn < 8; ++fn) {
        Function* f = slots_[device][fn].get();
        if (f != nullptr && f->isBridge()) found.push_back({device, fn, f});
    }
    bridges_.insert(at, found.begin(), found.end());
}

void Bus::makeHotPlugSlot(unsigned device) { hotPlug_.at(device) = true; }

bool Bus::hasHotPlugSlots() const
{
    for (bool slot : hotPlug_) {
        if (slot) return true;
    }
    return false;
}

bool Bus::occupied(unsigned device) const
{
    for (const auto& f : slots_.at(device)) {
        if (f) return true;
    }
    return false;
}

bool Bus::insert(unsigned device, Card card)
{
    if (device >= 32 || !hotPlug_[device] || occupied(device)) return false;
    for (unsigned fn = 0; fn < 8; ++fn) {
        if (card.functions[fn]) {
            card.functions[fn]->reset();
            slots_[device][fn] = std::move(card.functions[fn]);
        }
    }
    indexBridges(device);
    return true;
}

Card Bus::remove(unsigned device)
{
    Card card;
    if (device >= 32) return card;
    for (unsigned fn = 0; fn < 8; ++fn) card.functions[fn] = std::move(slots_[device][fn]);
    indexBridges(device);
    return card;
}

unsigned findPowerCapability(const ConfigReader& read)
{
    constexpr unsigned PowerManagementId = 0x01, CapabilitiesListed = 0x10;
    if ((read(reg::Status, 2) & CapabilitiesListed) == 0) return 0;
    unsigned at = read(reg::CapabilitiesPointer, 1) & 0xFC;
    for (unsigned hops = 0; at >= 0x40 && at < 0xFC && hops < 48; ++hops) {
        const uint32_t header = read(at, 2);
        if ((header & 0xFF) == PowerManagementId) return at;
        at = (header >> 8) & 0xFC;
    }
    return 0;
}

unsigned findPowerCapability(const std::array<uint8_t, 256>& config)
{
    return findPowerCapability([&](unsigned offset, unsigned length) {
        uint32_t value = 0;
        for (unsigned i = 0; i < length && offset + i < config.size(); ++i) {
            value |= uint32_t{config[offset + i]} << (8 * i);
        }
        return value;
    });
}

namespace {

// The walk down the bridges below `from` to the first whose secondary bus `leadsTo` accepts.
template <typename Accept>
const Function* findBridge(const Bus& from, const Accept& leadsTo)
{
    for (unsigned d = 0; d < 32; ++d) {
        for (unsigned fn = 0; fn < 8; ++fn) {
            const Function* b = from.function(d, fn);
            if (b == nullptr || b->secondary() == nullptr) continue;
            if (leadsTo(*b->secondary())) return b;
            if (const Function* deeper = findBridge(*b->secondary(), leadsTo)) return deeper;
        }
    }
    return nullptr;
}

}  // namespace

const Function* bridgeAbove(const Bus& from, const Bus& bus)
{
    return findBridge(from, [&](const Bus& secondary) { return &secondary == &bus; });
}

const Function* bridgeAbove(const Bus& from, const Function& f)
{
    return findBridge(from, [&](const Bus& secondary) {
        for (unsigned d = 0; d < 32; ++d) {
            for (unsigned fn = 0; fn < 8; ++fn) {
                if (secondary.function(d, fn) == &f) return true;
            }
        }
        return false;
    });
}

const Route& Hierarchy::route(unsigned target)
{
    // Bus numbers are eight bits: nothing forwards a cycle for a larger one.
    static const Route nowhere;
    if (target >= routes_.size()) return nowhere;
    RememberedRoute& remembered = routes_[target];
    if (remembered.generation != g_routingGeneration) {
        remembered.route = walk(target);
        remembered.generation = g_routingGeneration;
    }
    return remembered.route;
}

Bus& Hierarchy::addRoot(unsigned number)
{
    auto& bus = peers_[number];
    if (!bus) bus = std::make_unique<Bus>();
    ++g_routingGeneration;
    return *bus;
}

std::vector<Hierarchy::RootAt> Hierarchy::roots()
{
    std::vector<RootAt> out{{0, &root_}};
    for (auto& [number, bus] : peers_) out.push_back({number, bus.get()});
    return out;
}

Route Hierarchy::walk(unsigned target)
{
    Route route;
    // The host bridge whose bus-number range holds the target: the root with the highest number
    // not above it.
    Bus* current = &root_;
    unsigned number = 0;
    for (auto& [first, bus] : peers_) {
        if (first > target) break;
        current = bus.get();
        number = first;
    }
    for (unsigned hops = 0; hops < 256; ++hops) {
        if (target == number) {
            route.bus = current;
            return route;
        }
        // Only bridges forward a cycle for another bus; each bus keeps the list of its own.
        Function* claimant = nullptr;
        for (const Bus::BridgeAt& b : current->bridges()) {
            const unsigned secondary = b.bridge->byte(reg::SecondaryBus);
            const unsigned subordinate = b.bridge->byte(reg::SubordinateBus);
            if (secondary > target || target > subordinate) continue;
            if (claimant != nullptr) {
                route.conflicts.push_back("bus " + std::to_string(number) + " device " +
                                          std::to_string(b.device) + " function " +
                                          std::to_string(b.function) + " also claims bus " +
                                          std::to_string(target));
                continue;
            }
            claimant = b.bridge;
        }
        if (claimant == nullptr || claimant->byte(reg::SecondaryBus) <= number) return route;
        number = claimant->byte(reg::SecondaryBus);
        current = claimant->secondary();
    }
    return route;
}

Function* Hierarchy::answering(const Route& route, unsigned device, unsigned fn)
{
    if (route.bus == nullptr) return nullptr;
    Function* f = route.bus->function(device, fn);
    // Functions other than 0 answer only on a multi-function device.
    if (f != nullptr && fn != 0) {
        Function* first = route.bus->function(device, 0);
        if (first == nullptr || (first->byte(reg::HeaderType) & 0x80) == 0) return nullptr;
    }
    return f;
}

Function* Hierarchy::locate(unsigned bus, unsigned device, unsigned fn)
{
    return answering(route(bus), device, fn);
}

Function* Hierarchy::reach(unsigned bus, unsigned device, unsigned fn)
{
    const Route& r = route(bus);
    for (const auto& c : r.conflicts) {
        if (onConflict) onConflict(c);
    }
    return answering(r, device, fn);
}

uint32_t Hierarchy::configRead(unsigned bus, unsigned device, unsigned fn, unsigned offset,
                               unsigned length)
{
    if (beforeCycle) beforeCycle();
    Function* f = reach(bus, device, fn);
    uint32_t value = f != nullptr ? f->read(offset, length) : allOnes(length);
    Transaction t{false, bus, device, fn, offset, length, value, f != nullptr, actor_};
    if (f != nullptr && (logging_ || onTransaction)) t.headerType = f->byte(reg::HeaderType);
    if (intended_ != nullptr && f != intended_ && onMisrouted) onMisrouted(t, intended_);
    record(t);
    return value;
}

void Hierarchy::configWrite(unsigned bus, unsigned device, unsigned fn, unsigned offset,
                            unsigned length, uint32_t value)
{
    if (beforeCycle) beforeCycle();
    Function* f = reach(bus, device, fn);
    Transaction t{true, bus, device, fn, offset, length, value, f != nullptr, actor_};
    if (intended_ != nullptr && f != intended_ && onMisrouted) onMisrouted(t, intended_);
    const bool listened = logging_ || onTransaction;
    if (f != nullptr && listened) {
        t.before = f->read(offset, length);
        t.headerType = f->byte(reg::HeaderType);
    }
    if (f != nullptr) f->write(offset, length, value);
    if (f != nullptr && f->isBridge() && offset <= reg::SubordinateBus &&
        offset + length > reg::SecondaryBus) {
        f->setNumberedBy(actor_);
    }
    if (f != nullptr && listened) t.after = f->read(offset, length);
    record(t);
}

void Hierarchy::record(const Transaction& t)
{
    ++transactions_;
    if (logging_) log_.push_back(t);
    if (onTransaction) onTransaction(t);
}

}  // namespace pci
