// Enumeration: bus relations, discovery and BAR sizing of each function found, and bus numbers
// for bridges that firmware left unconfigured.
#include "internal.hpp"

#include <pci/registers.hpp>

#include <nt/variable_length.hpp>

#include <algorithm>
#include <map>
#include <string>

namespace pcibus {

using detail::put;

namespace {

constexpr unsigned kCommandDecode = pci::CommandIo | pci::CommandMemory;

// Visits every function present on a bus the way configuration software probes it: function 0
// of each device, and the others only on a multi-function device.
template <typename Visit>
void forEachFunction(pci::Hierarchy& hw, unsigned bus, Visit visit)
{
    for (unsigned d = 0; d < 32; ++d) {
        if ((hw.configRead(bus, d, 0, pci::reg::VendorId, 2) & 0xFFFF) == 0xFFFF) continue;
        const bool multi = (hw.configRead(bus, d, 0, pci::reg::HeaderType, 1) & 0x80) != 0;
        for (unsigned fn = 0; fn < (multi ? 8u : 1u); ++fn) {
            if (fn > 0 && (hw.configRead(bus, d, fn, pci::reg::VendorId, 2) & 0xFFFF) == 0xFFFF) {
                continue;
            }
            visit(d, fn);
        }
    }
}

// A PCI-to-PCI bridge that forwards no bus numbers yet.
bool isUnnumberedBridge(pci::Hierarchy& hw, unsigned bus, unsigned d, unsigned fn)
{
    return (hw.configRead(bus, d, fn, pci::reg::HeaderType, 1) & 0x7F) == 1 &&
           hw.configRead(bus, d, fn, pci::reg::SecondaryBus, 1) == 0;
}

}  // namespace

// Lists one physical device object per function present on the bus: the same object for the same
// function at every query, new objects for new cards; functions gone are marked missing, and the
// PnP manager removes them.
PDEVICE_RELATIONS PciBusDriver::enumerate(BusNode& b)
{
    std::vector<PDEVICE_OBJECT> found;
    std::map<std::pair<unsigned, unsigned>, FunctionNode*> seen;
    // The bus of a bridge left without bus numbers has nothing to list: its cycles would reach
    // another bus.
    if (b.bridge == nullptr || b.bridge->problem.empty()) {
        forEachFunction(hw_, b.number, [&](unsigned d, unsigned fn) {
            if (FunctionNode* f = discover(b, d, fn)) {
                found.push_back(f->pdo);
                seen[{d, fn}] = f;
            }
        });
    }
    for (auto& [key, f] : b.children) {
        if (seen.count(key) == 0) f->present = false;
    }
    std::erase_if(b.reservedTo, [&](const auto& entry) { return seen.count(entry.first) == 0; });
    b.children = std::move(seen);

    const size_t bytes = offsetof(DEVICE_RELATIONS, Objects) +
                         std::max<size_t>(found.size(), 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        kernel_.allocatePool(PagedPool, bytes, kPoolTag, false));
    relations->Count = static_cast<ULONG>(found.size());
    // Each object listed carries a reference for whoever receives the list, which the PnP
    // manager drops once it has its own.
    for (size_t i = 0; i < found.size(); ++i) {
        kernel_.referenceDevice(found[i]);
        *nt::objectAt(relations, i) = found[i];
    }
    return relations;
}

FunctionNode* PciBusDriver::discover(BusNode& b, unsigned device, unsigned fn)
{
    const uint32_t ids = hw_.configRead(b.number, device, fn, pci::reg::VendorId, 4);
    const uint32_t classes = hw_.configRead(b.number, device, fn, pci::reg::RevisionId, 4);
    const uint8_t header = static_cast<uint8_t>(hw_.configRead(b.number, device, fn,
                                                               pci::reg::HeaderType, 1));
    auto existing = b.children.find({device, fn});
    if (existing != b.children.end()) {
        FunctionNode* f = existing->second;
        if (f->present && f->pdo != nullptr && f->vendorId == (ids & 0xFFFF) &&
            f->deviceId == (ids >> 16) && f->baseClass == (classes >> 24) &&
            f->subClass == ((classes >> 16) & 0xFF)) {
            return f;
        }
        f->present = false;
    }

    auto node = std::make_unique<FunctionNode>();
    FunctionNode& f = *node;
    retired_.erase(&f);
    f.owner = this;
    f.parent = &b;
    f.device = device;
    f.function = fn;
    f.vendorId = static_cast<uint16_t>(ids);
    f.deviceId = static_cast<uint16_t>(ids >> 16);
    f.baseClass = static_cast<uint8_t>(classes >> 24);
    f.subClass = static_cast<uint8_t>(classes >> 16);
    f.headerType = header;
    f.hardware = hw_.locate(b.number, device, fn);
    f.bootConfigured = (hw_.configRead(b.number, device, fn, pci::reg::Command, 2) & kCommandDecode) != 0;

    // Size the BARs the way configuration software does: write all ones, read the mask back,
    // put the original value back.
    const unsigned barCount = f.isBridge() ? 2 : f.isCardBus() ? 1 : 6;
    f.bars.assign(barCount, pci::Bar{});
    for (unsigned i = 0; i < barCount; ++i) {
        const unsigned offset = pci::reg::Bar0 + 4 * i;
        const uint32_t original = read(f, offset, 4);
        write(f, offset, 4, 0xFFFFFFFF);
        const uint32_t mask = read(f, offset, 4);
        write(f, offset, 4, original);
        if (mask == 0) continue;
        pci::Bar& bar = f.bars[i];
        if (mask & 1) {
            bar.kind = pci::Bar::Kind::Io;
            uint32_t m = mask & 0xFFFFFFFCu;
            if ((m & 0xFFFF0000u) == 0) {
                bar.ioUpperZero = true;
                m |= 0xFFFF0000u;
            }
            bar.size = static_cast<uint64_t>(~m) + 1;
        } else {
            bar.prefetchable = (mask & 0x8) != 0;
            uint64_t m = mask & 0xFFFFFFF0u;
            if (((mask >> 1) & 3) == 2 && i + 1 < barCount) {
                bar.kind = pci::Bar::Kind::Memory64;
                const uint32_t upper = read(f, offset + 4, 4);
                write(f, offset + 4, 4, 0xFFFFFFFF);
                m |= static_cast<uint64_t>(read(f, offset + 4, 4)) << 32;
                write(f, offset + 4, 4, upper);
                bar.size = ~m + 1;
                ++i;
            } else {
                bar.kind = pci::Bar::Kind::Memory32;
                bar.size = static_cast<uint64_t>(static_cast<uint32_t>(~m) + 1);
            }
        }
    }
    if (f.isBridge()) {
        f.io32 = pci::windowIsWide(read(f, pci::reg::IoBase, 1));
        f.prefetch64 = pci::windowIsWide(read(f, pci::reg::PrefetchBase, 2));
        f.ioWindow = implementsWindow(f, pci::reg::IoBase, 2, 0xF0F0);
        f.prefetchWindow = implementsWindow(f, pci::reg::PrefetchBase, 4, 0xFFF0FFF0);
        const unsigned secondary = read(f, pci::reg::SecondaryBus, 1);
        const unsigned subordinate = read(f, pci::reg::SubordinateBus, 1);
        if (secondary == 0) {
            assignBusNumbers(b, f);
        } else if (secondary <= b.number || subordinate < secondary ||
                   subordinate > highestNumberOf(b)) {
            // Numbers that do not nest inside the bus's own range would send the bus's cycles
            // elsewhere, or back to a bus above: the bridge is not entered.
            f.problem = "its bus numbers " + std::to_string(secondary) + ".." +
                        std::to_string(subordinate) + " lie outside the range of bus " +
                        std::to_string(b.number);
        }
    }

    PDEVICE_OBJECT pdo = kernel_.createDevice(driver_, layout::ExtensionSize, FILE_DEVICE_UNKNOWN,
                                              0, false, false);
    if (pdo == nullptr) return nullptr;
    put<ULONG>(pdo, layout::TypeWord, layout::PdoTypeWord);
    put<void*>(pdo, layout::Owner, &f);
    put<ULONG>(pdo, layout::PdoSlot, f.slotNumber());
    put<void*>(pdo, layout::PdoParent, b.fdo->DeviceExtension);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    f.pdo = pdo;
    byPdo_[pdo] = &f;
    functions_.push_back(std::move(node));
    return &f;
}

// The highest bus number that cycles reach on or below bus b: the subordinate number of the bridge
// above it; for a root bus, the last number before the next host bridge's root bus, or the last
// number there is.
unsigned PciBusDriver::highestNumberOf(const BusNode& b)
{
    if (b.bridge != nullptr) return read(*b.bridge, pci::reg::SubordinateBus, 1);
    unsigned highest = 255;
    for (const auto& [pdo, number] : rootNumbers_) {
        if (number > b.number) highest = std::min(highest, number - 1);
    }
    return highest;
}

// The bridges on a bus that forward a range of bus numbers, read from the hardware so that those
// the bus driver has not enumerated yet count too; a bridge the bus driver numbered holds the
// numbers set aside behind it as well.
std::vector<PciBusDriver::Forwarded> PciBusDriver::bridgesOn(const BusNode& b)
{
    std::vector<Forwarded> out;
    forEachFunction(hw_, b.number, [&](unsigned d, unsigned fn) {
        const uint32_t type = hw_.configRead(b.number, d, fn, pci::reg::HeaderType, 1) & 0x7F;
        if (type != 1 && type != 2) return;
        const uint32_t numbers = hw_.configRead(b.number, d, fn, pci::reg::PrimaryBus, 4);
        const unsigned secondary = (numbers >> 8) & 0xFF;
        unsigned last = std::max(secondary, (numbers >> 16) & 0xFFu);
        if (secondary == 0) return;
        auto reserved = b.reservedTo.find({d, fn});
        if (reserved != b.reservedTo.end()) last = std::max(last, reserved->second);
        out.push_back({d, fn, secondary, last});
    });
    return out;
}

// Whether a bridge implements a window: one that is not implemented reads as zero and keeps no
// write. A register that reads zero is tried with a pattern and put back, as configuration
// software does; one that reads anything else is implemented.
bool PciBusDriver::implementsWindow(const FunctionNode& f, unsigned offset, unsigned length,
                                    uint32_t pattern)
{
    if (read(f, offset, length) != 0) return true;
    write(f, offset, length, pattern);
    const bool kept = read(f, offset, length) != 0;
    write(f, offset, length, 0);
    return kept;
}

// A bridge that firmware left unconfigured (a hot-added one) gets a bus number that no other
// bridge forwards or holds: the lowest its bus has to spare. The numbers after it are set aside
// for the bridges behind it, counted by numbering them for a moment; those bridges are numbered
// from that reserve when their bus is enumerated, and a scan of the hierarchy finds it free.
// Where the bus has no number to spare, the bridges above are raised by one number, but only
// over a number no other bridge forwards or holds. A bridge that cannot be given a number keeps
// none and does not start: wrapping past the last number, or sharing one, would send cycles to
// another bus.
void PciBusDriver::assignBusNumbers(BusNode& b, FunctionNode& bridge)
{
    const std::pair<unsigned, unsigned> key{bridge.device, bridge.function};
    b.reservedTo.erase(key);
    const unsigned highest = highestNumberOf(b);
    const std::vector<Forwarded> taken = bridgesOn(b);
    auto isTaken = [&](unsigned n) {
        return std::any_of(taken.begin(), taken.end(), [n](const Forwarded& t) {
            return t.secondary <= n && n <= t.subordinate;
        });
    };
    unsigned first = b.number + 1;
    while (first <= highest && isTaken(first)) ++first;
    if (first <= highest) {
        unsigned last = first;
        while (last < highest && !isTaken(last + 1)) ++last;
        write(bridge, pci::reg::PrimaryBus, 3, b.number | (first << 8) | (first << 16));
        bool bridgesBehind = false;
        forEachFunction(hw_, first, [&](unsigned d, unsigned fn) {
            bridgesBehind = bridgesBehind || isUnnumberedBridge(hw_, first, d, fn);
        });
        unsigned reserved = first;
        if (bridgesBehind && last > first) {
            // Counted with the whole spare run forwarded, then the bridge forwards its own bus
            // again.
            write(bridge, pci::reg::SubordinateBus, 1, last);
            reserved = numberBridgesBehind(first, first + 1, last) - 1;
            write(bridge, pci::reg::SubordinateBus, 1, first);
        }
        b.reservedTo[key] = reserved;
        return;
    }
    const unsigned next = highest + 1;
    if (b.bridge != nullptr && raiseToCover(b, next)) {
        write(bridge, pci::reg::PrimaryBus, 3, b.number | (next << 8) | (next << 16));
        b.reservedTo[key] = next;
        return;
    }
    bridge.problem = "no bus number left for the bus behind this bridge";
}

// Raises the subordinate numbers of the bridges above bus b so that `number` reaches it, provided
// no other bridge on the buses along the way forwards or holds that number. Nothing is written
// unless every raise is possible; the bridges are raised from the root bus downward.
bool PciBusDriver::raiseToCover(BusNode& b, unsigned number)
{
    // Past its root's range the number is another host bridge's.
    if (number > 255 || number > highestNumberOf(*b.root)) return false;
    std::vector<FunctionNode*> raise;
    for (BusNode* up = &b; up->bridge != nullptr; up = up->bridge->parent) {
        FunctionNode& above = *up->bridge;
        if (read(above, pci::reg::SubordinateBus, 1) >= number) break;
        for (const Forwarded& other : bridgesOn(*above.parent)) {
            if (other.device == above.device && other.function == above.function) continue;
            if (other.secondary <= number && number <= other.subordinate) return false;
        }
        raise.push_back(&above);
    }
    // A started bridge's saved header is what its return to D0 writes back: it keeps the raised
    // number, or the restore would cut the new bus off again.
    for (auto it = raise.rbegin(); it != raise.rend(); ++it) {
        write(**it, pci::reg::SubordinateBus, 1, number);
        (*it)->saved[pci::reg::SubordinateBus] = static_cast<uint8_t>(number);
    }
    return true;
}

// Counts the bridges behind a new bridge by numbering them depth first from `next`, within
// `limit`, and clearing each again once its subtree is counted; returns the first number left
// over. The bridges keep no numbers: each gets its own when its bus is enumerated.
unsigned PciBusDriver::numberBridgesBehind(unsigned bus, unsigned next, unsigned limit)
{
    forEachFunction(hw_, bus, [&](unsigned d, unsigned fn) {
        if (next > limit || !isUnnumberedBridge(hw_, bus, d, fn)) return;
        hw_.configWrite(bus, d, fn, pci::reg::PrimaryBus, 3, bus | (next << 8) | (limit << 16));
        const unsigned after = numberBridgesBehind(next, next + 1, limit);
        hw_.configWrite(bus, d, fn, pci::reg::PrimaryBus, 3, 0);
        next = after;
    });
    return next;
}

}  // namespace pcibus
