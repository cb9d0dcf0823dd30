// Enumeration: bus relations, discovery and BAR sizing of each function found, and bus numbers
// for bridges that firmware left unconfigured.
#include "internal.hpp"

#include <map>

namespace pcibus {

using detail::put;

namespace {
constexpr unsigned kCommandDecode = pci::CommandIo | pci::CommandMemory;
}  // namespace

// function at every query, new objects for new cards; functions gone are marked missing, and the
// PnP manager removes them.
PDEVICE_RELATIONS PciBusDriver::enumerate(BusNode& b)
{
    std::vector<PDEVICE_OBJECT> found;
    std::map<std::pair<unsigned, unsigned>, FunctionNode*> seen;
    for (unsigned d = 0; d < 32; ++d) {
        if ((hw_.configRead(b.number, d, 0, pci::reg::VendorId, 2) & 0xFFFF) == 0xFFFF) continue;
        const bool multi = (hw_.configRead(b.number, d, 0, pci::reg::HeaderType, 1) & 0x80) != 0;
        for (unsigned fn = 0; fn < (multi ? 8u : 1u); ++fn) {
            if (fn > 0 &&
                (hw_.configRead(b.number, d, fn, pci::reg::VendorId, 2) & 0xFFFF) == 0xFFFF) {
                continue;
            }
            if (FunctionNode* f = discover(b, d, fn)) {
                found.push_back(f->pdo);
                seen[{d, fn}] = f;
            }
        }
    }
    for (auto& [key, f] : b.children) {
        if (seen.count(key) == 0) f->present = false;
    }
    b.children = std::move(seen);

    const size_t bytes = offsetof(DEVICE_RELATIONS, Objects) +
                         std::max<size_t>(found.size(), 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(
        kernel_.allocatePool(PagedPool, bytes, kPoolTag, false));
    relations->Count = static_cast<ULONG>(found.size());
    for (size_t i = 0; i < found.size(); ++i) relations->Objects[i] = found[i];
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
    f.owner = this;
    f.parent = &b;
    f.device = device;
    f.function = fn;
    f.vendorId = static_cast<uint16_t>(ids);
    f.deviceId = static_cast<uint16_t>(ids >> 16);
    f.baseClass = static_cast<uint8_t>(classes >> 24);
    f.subClass = static_cast<uint8_t>(classes >> 16);
    f.headerType = header;
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
        f.io32 = (read(f, pci::reg::IoBase, 1) & 0xF) == 1;
        f.prefetch64 = (read(f, pci::reg::PrefetchBase, 2) & 0xF) == 1;
        if (read(f, pci::reg::SecondaryBus, 1) == 0) assignBusNumbers(b, f);
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
    functions_.push_back(std::move(node));
    return &f;
}

// A bridge that firmware left unconfigured (a hot-added one) gets the next bus number its parent
// has to spare; subordinate numbers up the chain are raised where the range is too small.
void PciBusDriver::assignBusNumbers(BusNode& b, FunctionNode& bridge)
{
    unsigned used = b.number;
    for (unsigned d = 0; d < 32; ++d) {
        for (unsigned fn = 0; fn < 8; ++fn) {
            if ((hw_.configRead(b.number, d, fn, pci::reg::VendorId, 2) & 0xFFFF) == 0xFFFF) {
                if (fn == 0) break;
                continue;
            }
            const uint32_t type = hw_.configRead(b.number, d, fn, pci::reg::HeaderType, 1) & 0x7F;
            if (type != 1 && type != 2) continue;
            const uint32_t numbers = hw_.configRead(b.number, d, fn, pci::reg::PrimaryBus, 4);
            if (((numbers >> 8) & 0xFF) != 0) used = std::max(used, (numbers >> 16) & 0xFFu);
        }
    }
    const unsigned next = used + 1;
    for (BusNode* up = &b; up != nullptr && up->bridge != nullptr; up = up->bridge->parent) {
        if (read(*up->bridge, pci::reg::SubordinateBus, 1) < next) {
            write(*up->bridge, pci::reg::SubordinateBus, 1, next);
        }
    }
    write(bridge, pci::reg::PrimaryBus, 3, b.number | (next << 8) | (next << 16));
}

}  // namespace pcibus
