// Resources: what a function decodes and asks for, its boot configuration and requirement list,
// and start with the resources assigned; the header saved at start and restored on return to D0.
#include "internal.hpp"

#include <pci/registers.hpp>

#include <nt/variable_length.hpp>

#include <algorithm>
#include <iterator>
#include <string>

namespace pcibus {

using detail::Range;
using detail::ranges;

std::vector<Range> detail::ranges(PciBusDriver& driver, const FunctionNode& f)
{
    std::vector<Range> out;
    const bool decoding = f.bootConfigured;
    for (unsigned i = 0; i < f.bars.size(); ++i) {
        const pci::Bar& bar = f.bars[i];
        if (bar.kind == pci::Bar::Kind::None) continue;
        Range r{};
        r.slot = ResourceSlot{ResourceSlot::Kind::Bar, i};
        r.length = bar.size;
        if (bar.kind == pci::Bar::Kind::Io) {
            r.type = CmResourceTypePort;
            r.flags = CM_RESOURCE_PORT_IO;
            r.start = driver.read(f, pci::reg::Bar0 + 4 * i, 4) & 0xFFFFFFFCu;
        } else {
            r.type = CmResourceTypeMemory;
            r.flags = bar.prefetchable ? CM_RESOURCE_MEMORY_PREFETCHABLE
                                       : CM_RESOURCE_MEMORY_READ_WRITE;
            r.start = driver.read(f, pci::reg::Bar0 + 4 * i, 4) & 0xFFFFFFF0u;
            if (bar.kind == pci::Bar::Kind::Memory64) {
                r.start |= static_cast<uint64_t>(driver.read(f, pci::reg::Bar0 + 4 * i + 4, 4))
                           << 32;
            }
        }
        // A BAR that holds no address was left unassigned even where its function decodes (an
        // IDE controller in compatibility mode): it is asked for wherever it fits.
        r.pinned = decoding && r.start != 0;
        out.push_back(r);
    }
    if (!f.isBridge()) return out;

    // Only the windows the bridge implements are asked for: prefetchable memory behind a bridge
    // without a prefetchable window goes into its memory window.
    using K = ResourceSlot::Kind;
    if (!decoding) {
        if (f.ioWindow) {
            out.push_back({CmResourceTypePort, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_WINDOW_DECODE,
                           0, 0x1000, false, {K::IoWindow}});
        }
        out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_READ_WRITE, 0, 0x100000, false,
                       {K::MemoryWindow}});
        if (f.prefetchWindow) {
            out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE, 0, 0x100000,
                           false, {K::PrefetchWindow}});
        }
        return out;
    }
    // The windows as the bridge's registers decode them, read register by register.
    pci::WindowRegisters io{driver.read(f, pci::reg::IoBase, 1), driver.read(f, pci::reg::IoLimit, 1)};
    if (f.io32) {
        io.baseUpper = driver.read(f, pci::reg::IoBaseUpper, 2);
        io.limitUpper = driver.read(f, pci::reg::IoLimitUpper, 2);
    }
    const pci::DecodedWindow ioWindow = pci::decodeWindow(pci::WindowKind::Io, io, f.io32);
    if (f.ioWindow && ioWindow.open()) {
        out.push_back({CmResourceTypePort, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_WINDOW_DECODE,
                       ioWindow.base, ioWindow.limit - ioWindow.base + 1, true, {K::IoWindow}});
    }
    const pci::WindowRegisters memory{driver.read(f, pci::reg::MemoryBase, 2),
                                      driver.read(f, pci::reg::MemoryLimit, 2)};
    const pci::DecodedWindow memoryWindow = pci::decodeWindow(pci::WindowKind::Memory, memory, false);
    if (memoryWindow.open()) {
        out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_READ_WRITE, memoryWindow.base,
                       memoryWindow.limit - memoryWindow.base + 1, true, {K::MemoryWindow}});
    }
    pci::WindowRegisters pref{driver.read(f, pci::reg::PrefetchBase, 2),
                              driver.read(f, pci::reg::PrefetchLimit, 2)};
    if (f.prefetch64) {
        pref.baseUpper = driver.read(f, pci::reg::PrefetchBaseUpper, 4);
        pref.limitUpper = driver.read(f, pci::reg::PrefetchLimitUpper, 4);
    }
    const pci::DecodedWindow prefWindow =
        pci::decodeWindow(pci::WindowKind::Prefetchable, pref, f.prefetch64);
    if (f.prefetchWindow && prefWindow.open()) {
        out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE, prefWindow.base,
                       prefWindow.limit - prefWindow.base + 1, true, {K::PrefetchWindow}});
    }
    return out;
}

namespace {

constexpr uint64_t kLongestDescribable = 0xFFFFFFFFull;

std::string sizeText(uint64_t bytes)
{
    static const char* const units[] = {"bytes", "KB", "MB", "GB", "TB", "PB", "EB"};
    unsigned unit = 0;
    while (unit + 1 < std::size(units) && bytes >= 1024 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++unit;
    }
    return std::to_string(bytes) + " " + units[unit];
}

}  // namespace

std::string detail::undescribable(PciBusDriver& driver, const FunctionNode& f)
{
    for (const Range& r : ranges(driver, f)) {
        if (r.length <= kLongestDescribable) continue;
        std::string what;
        switch (r.slot.kind) {
        case ResourceSlot::Kind::Bar: what = "BAR " + std::to_string(r.slot.bar); break;
        case ResourceSlot::Kind::IoWindow: what = "its I/O window"; break;
        case ResourceSlot::Kind::MemoryWindow: what = "its memory window"; break;
        case ResourceSlot::Kind::PrefetchWindow: what = "its prefetchable window"; break;
        }
        return what + " decodes " + sizeText(r.length) +
               "; resource descriptors carry 32-bit lengths, so nothing of 4 GB or more can be "
               "requested";
    }
    return {};
}

PIO_RESOURCE_REQUIREMENTS_LIST PciBusDriver::requirements(FunctionNode& f)
{
    std::vector<Range> wanted = ranges(*this, f);
    f.slots.clear();
    const size_t bytes = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) +
                         offsetof(IO_RESOURCE_LIST, Descriptors) +
                         wanted.size() * sizeof(IO_RESOURCE_DESCRIPTOR);
    auto* list = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(
        kernel_.allocatePool(PagedPool, bytes, kPoolTag, false));
    std::memset(list, 0, bytes);
    list->ListSize = static_cast<ULONG>(bytes);
    list->InterfaceType = PCIBus;
    list->BusNumber = f.parent->number;
    list->SlotNumber = f.slotNumber();
    list->AlternativeLists = 1;
    IO_RESOURCE_LIST* alternative = nt::firstAlternative(list);
    alternative->Version = 1;
    alternative->Revision = 1;
    alternative->Count = static_cast<ULONG>(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) {
        const Range& r = wanted[i];
        IO_RESOURCE_DESCRIPTOR& d = *nt::descriptorAt(alternative, i);
        d.Option = 0;
        d.Type = r.type;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.Flags = r.flags;
        d.u.Memory.Length = static_cast<ULONG>(r.length);  // below 4 GB: see undescribable
        d.u.Memory.Alignment = r.pinned ? 1 : d.u.Memory.Length;
        if (r.pinned) {
            d.u.Memory.MinimumAddress.QuadPart = static_cast<LONGLONG>(r.start);
            d.u.Memory.MaximumAddress.QuadPart = static_cast<LONGLONG>(r.start + r.length - 1);
        } else {
            d.u.Memory.MinimumAddress.QuadPart = 0;
            d.u.Memory.MaximumAddress.QuadPart = r.type == CmResourceTypePort ? 0xFFFF : 0xFFFFFFFF;
        }
        f.slots.push_back(r.slot);
    }
    return list;
}

PCM_RESOURCE_LIST PciBusDriver::bootConfiguration(FunctionNode& f)
{
    if (!f.bootConfigured) return nullptr;
    std::vector<Range> decoded = ranges(*this, f);
    // What no descriptor can describe is not reported at all rather than reported short.
    std::erase_if(decoded,
                  [](const Range& r) { return r.length > kLongestDescribable || !r.pinned; });
    const size_t bytes = offsetof(CM_RESOURCE_LIST, List) +
                         offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                         offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                         std::max<size_t>(decoded.size(), 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    auto* list = static_cast<PCM_RESOURCE_LIST>(kernel_.allocatePool(PagedPool, bytes, kPoolTag, false));
    std::memset(list, 0, bytes);
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].BusNumber = f.parent->number;
    CM_PARTIAL_RESOURCE_LIST* partial = nt::firstPartialList(list);
    partial->Version = 1;
    partial->Revision = 1;
    partial->Count = static_cast<ULONG>(decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR& d = *nt::partialAt(partial, i);
        d.Type = decoded[i].type;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.Flags = decoded[i].flags;
        d.u.Generic.Start[0] = static_cast<ULONG>(decoded[i].start);
        d.u.Generic.Start[1] = static_cast<ULONG>(decoded[i].start >> 32);
        d.u.Generic.Length = static_cast<ULONG>(decoded[i].length);
    }
    return list;
}

// Programs what the PnP manager assigned, in the order of the last requirements list, closes the
// windows that got nothing, and switches decoding on.
void PciBusDriver::start(FunctionNode& f, PCM_RESOURCE_LIST resources)
{
    bool io = false, memory = false;
    bool ioWindow = false, memoryWindow = false, prefetchWindow = false;
    auto program = [&](pci::WindowKind kind, uint64_t base, uint64_t limit, bool wide) {
        pci::writeWindow(kind, pci::encodeWindow(kind, base, limit), wide,
                         [&](unsigned offset, unsigned length, uint32_t value) {
                             write(f, offset, length, value);
                         });
    };
    if (resources != nullptr && resources->Count > 0) {
        const CM_PARTIAL_RESOURCE_LIST* partial = nt::firstPartialList(resources);
        for (ULONG k = 0; k < partial->Count && k < f.slots.size(); ++k) {
            const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = *nt::partialAt(partial, k);
            const uint64_t base = d.u.Generic.Start[0] |
                                  (static_cast<uint64_t>(d.u.Generic.Start[1]) << 32);
            const uint64_t limit = base + d.u.Generic.Length - 1;
            const ResourceSlot& slot = f.slots[k];
            io = io || d.Type == CmResourceTypePort;
            memory = memory || d.Type == CmResourceTypeMemory;
            switch (slot.kind) {
            case ResourceSlot::Kind::Bar: {
                const unsigned offset = pci::reg::Bar0 + 4 * slot.bar;
                write(f, offset, 4, static_cast<uint32_t>(base));
                if (f.bars[slot.bar].kind == pci::Bar::Kind::Memory64) {
                    write(f, offset + 4, 4, static_cast<uint32_t>(base >> 32));
                }
                break;
            }
            case ResourceSlot::Kind::IoWindow: {
                program(pci::WindowKind::Io, base, limit, f.io32);
                ioWindow = true;
                break;
            }
            case ResourceSlot::Kind::MemoryWindow: {
                program(pci::WindowKind::Memory, base, limit, false);
                memoryWindow = true;
                break;
            }
            case ResourceSlot::Kind::PrefetchWindow: {
                program(pci::WindowKind::Prefetchable, base, limit, f.prefetch64);
                prefetchWindow = true;
                break;
            }
            }
        }
    }
    if (f.isBridge()) {
        // A window that was given nothing is closed: base above limit, both written in one
        // transfer.
        auto closed = [](pci::WindowKind kind) {
            const pci::WindowRegisters r = pci::closedWindow(kind);
            return r.base | r.limit << (kind == pci::WindowKind::Io ? 8 : 16);
        };
        if (!ioWindow && f.ioWindow) write(f, pci::reg::IoBase, 2, closed(pci::WindowKind::Io));
        if (!memoryWindow) write(f, pci::reg::MemoryBase, 4, closed(pci::WindowKind::Memory));
        if (!prefetchWindow && f.prefetchWindow) {
            write(f, pci::reg::PrefetchBase, 4, closed(pci::WindowKind::Prefetchable));
            if (f.prefetch64) write(f, pci::reg::PrefetchBaseUpper, 8, 0);
        }
    }
    uint32_t command = read(f, pci::reg::Command, 2);
    if (io || ioWindow) command |= pci::CommandIo;
    if (memory || memoryWindow || prefetchWindow) command |= pci::CommandMemory;
    command |= pci::CommandMaster;
    write(f, pci::reg::Command, 2, command);
    saveHeader(f);
    f.started = true;
}

void PciBusDriver::saveHeader(FunctionNode& f)
{
    for (unsigned offset = 0; offset < 64; offset += 4) {
        const uint32_t v = read(f, offset, 4);
        std::memcpy(&f.saved[offset], &v, 4);
    }
}

// What a bus driver puts back on return to D0: the BARs (and a bridge's bus numbers and windows),
// then the command register. Latency timer and cache line size are not its business.
void PciBusDriver::restoreHeader(FunctionNode& f)
{
    if (!f.started) return;
    auto dword = [&](unsigned offset) {
        uint32_t v;
        std::memcpy(&v, &f.saved[offset], 4);
        return v;
    };
    const unsigned end = f.isBridge() ? 0x34 : 0x28;
    for (unsigned offset = pci::reg::Bar0; offset < end; offset += 4) write(f, offset, 4, dword(offset));
    write(f, pci::reg::Command, 2, dword(pci::reg::Command) & 0xFFFF);
}

}  // namespace pcibus
