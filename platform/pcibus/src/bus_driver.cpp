#include <pcibus/bus_driver.hpp>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace pcibus {

namespace {

thread_local PciBusDriver* t_current = nullptr;

template <typename T>
void put(PDEVICE_OBJECT device, size_t offset, T value)
{
    std::memcpy(static_cast<uint8_t*>(device->DeviceExtension) + offset, &value, sizeof value);
}

template <typename T>
T get(PDEVICE_OBJECT device, size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(device->DeviceExtension) + offset,
                sizeof value);
    return value;
}

// A range a function decodes, or asks for.
struct Range {
    UCHAR type;     // CmResourceTypePort or CmResourceTypeMemory
    USHORT flags;
    uint64_t start; // meaningful when pinned
    uint64_t length;
    bool pinned;    // decoding is on: the range stays where firmware put it
    ResourceSlot slot;
};

constexpr unsigned kCommandDecode = pci::CommandIo | pci::CommandMemory;

// Offset of the power-management capability, or 0.
unsigned findPowerCapability(PciBusDriver& driver, const FunctionNode& f)
{
    if ((driver.read(f, pci::reg::Status, 2) & 0x10) == 0) return 0;
    unsigned offset = driver.read(f, pci::reg::CapabilitiesPointer, 1) & 0xFC;
    for (int guard = 0; offset >= 0x40 && guard < 48; ++guard) {
        uint32_t header = driver.read(f, offset, 2);
        if ((header & 0xFF) == 0x01) return offset;
        offset = (header >> 8) & 0xFC;
    }
    return 0;
}

// What a function asks for: one range per implemented BAR and, for a bridge, its three windows.
// A function that already decodes keeps what firmware gave it; a bridge whose decoding is off asks
// for windows as small as its granularity allows.
std::vector<Range> ranges(PciBusDriver& driver, const FunctionNode& f)
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
        r.pinned = decoding;
        out.push_back(r);
    }
    if (!f.isBridge()) return out;

    using K = ResourceSlot::Kind;
    if (!decoding) {
        out.push_back({CmResourceTypePort, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_WINDOW_DECODE, 0,
                       0x1000, false, {K::IoWindow}});
        out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_READ_WRITE, 0, 0x100000, false,
                       {K::MemoryWindow}});
        out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE, 0, 0x100000, false,
                       {K::PrefetchWindow}});
        return out;
    }
    uint64_t ioBase = (driver.read(f, pci::reg::IoBase, 1) & 0xF0u) << 8;
    uint64_t ioLimit = ((driver.read(f, pci::reg::IoLimit, 1) & 0xF0u) << 8) | 0xFFF;
    if (f.io32) {
        ioBase |= static_cast<uint64_t>(driver.read(f, pci::reg::IoBaseUpper, 2)) << 16;
        ioLimit |= static_cast<uint64_t>(driver.read(f, pci::reg::IoLimitUpper, 2)) << 16;
    }
    if (ioBase <= ioLimit) {
        out.push_back({CmResourceTypePort, CM_RESOURCE_PORT_IO | CM_RESOURCE_PORT_WINDOW_DECODE,
                       ioBase, ioLimit - ioBase + 1, true, {K::IoWindow}});
    }
    uint64_t memBase = (driver.read(f, pci::reg::MemoryBase, 2) & 0xFFF0u) << 16;
    uint64_t memLimit = ((driver.read(f, pci::reg::MemoryLimit, 2) & 0xFFF0u) << 16) | 0xFFFFF;
    if (memBase <= memLimit) {
        out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_READ_WRITE, memBase,
                       memLimit - memBase + 1, true, {K::MemoryWindow}});
    }
    uint64_t pfBase = (driver.read(f, pci::reg::PrefetchBase, 2) & 0xFFF0u) << 16;
    uint64_t pfLimit = ((driver.read(f, pci::reg::PrefetchLimit, 2) & 0xFFF0u) << 16) | 0xFFFFF;
    if (f.prefetch64) {
        pfBase |= static_cast<uint64_t>(driver.read(f, pci::reg::PrefetchBaseUpper, 4)) << 32;
        pfLimit |= static_cast<uint64_t>(driver.read(f, pci::reg::PrefetchLimitUpper, 4)) << 32;
    }
    if (pfBase <= pfLimit) {
        out.push_back({CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE, pfBase,
                       pfLimit - pfBase + 1, true, {K::PrefetchWindow}});
    }
    return out;
}

}  // namespace

std::string FunctionNode::location() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%02x:%02x.%u", parent != nullptr ? parent->number : 0u,
                  device, function);
    return text;
}

PciBusDriver::PciBusDriver(nt::Kernel& kernel, pci::Hierarchy& hardware)
    : kernel_(kernel), hw_(hardware), driver_(kernel.createDriverObject(u"\\Driver\\pci"))
{
    for (auto& major : driver_->MajorFunction) major = dispatch;
    driver_->DriverExtension->AddDevice = dispatchAddDevice;
    rootInterface_.Size = sizeof(PCI_BUS_INTERFACE_STANDARD);
    rootInterface_.Version = 1;
    rootInterface_.ReadConfig = rootReadConfig;
    rootInterface_.WriteConfig = rootWriteConfig;
    t_current = this;
}

PciBusDriver::~PciBusDriver()
{
    // The platform's own teardown: the bus driver's devices go quietly, whatever is left above
    // them is reported by the kernel's leak check.
    for (auto& b : buses_) kernel_.releasePlatformDevice(b->fdo);
    for (auto& f : functions_) kernel_.releasePlatformDevice(f->pdo);
    if (t_current == this) t_current = nullptr;
}

FunctionNode* PciBusDriver::function(PDEVICE_OBJECT pdo) const
{
    for (const auto& f : functions_) {
        if (f->pdo == pdo && pdo != nullptr) return f.get();
    }
    return nullptr;
}

BusNode* PciBusDriver::bus(PDEVICE_OBJECT fdo) const
{
    for (const auto& b : buses_) {
        if (b->fdo == fdo && fdo != nullptr) return b.get();
    }
    return nullptr;
}

std::vector<std::string> PciBusDriver::leaks() const
{
    std::vector<std::string> out;
    for (const auto& f : functions_) {
        if (f->interfaceReferences != 0) {
            out.push_back("bus interface of " + f->location() + " still holds " +
                          std::to_string(f->interfaceReferences) + " reference(s)");
        }
    }
    return out;
}

uint32_t PciBusDriver::read(const FunctionNode& f, unsigned offset, unsigned length)
{
    return hw_.configRead(f.parent->number, f.device, f.function, offset, length);
}

void PciBusDriver::write(const FunctionNode& f, unsigned offset, unsigned length, uint32_t value)
{
    hw_.configWrite(f.parent->number, f.device, f.function, offset, length, value);
}

// --- device objects -----------------------------------------------------------------------------

NTSTATUS NTAPI PciBusDriver::dispatchAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT pdo)
{
    return t_current->addDevice(pdo);
}

// The bus driver is the function driver of the root bus and of every PCI-to-PCI bridge: the bus
// device object of the bridge's secondary side joins the bridge's stack.
NTSTATUS PciBusDriver::addDevice(PDEVICE_OBJECT pdo)
{
    FunctionNode* bridge = function(pdo);
    if (bridge == nullptr && root_ != nullptr) return STATUS_INVALID_DEVICE_REQUEST;
    PDEVICE_OBJECT fdo = kernel_.createDevice(driver_, layout::ExtensionSize,
                                              FILE_DEVICE_BUS_EXTENDER, 0, false, false);
    if (fdo == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto node = std::make_unique<BusNode>();
    node->fdo = fdo;
    node->pdo = pdo;
    node->bridge = bridge;
    node->number = bridge != nullptr ? read(*bridge, pci::reg::SecondaryBus, 1) : 0;
    if (bridge != nullptr) bridge->secondary = node.get();
    if (bridge == nullptr) root_ = node.get();

    put<ULONG>(fdo, layout::TypeWord, layout::FdoTypeWord);
    put<void*>(fdo, layout::Owner, node.get());
    put<PDEVICE_OBJECT>(fdo, layout::FdoPdo, pdo);
    put<void*>(fdo, layout::FdoRoot, root_->fdo->DeviceExtension);
    put<void*>(fdo, layout::FdoInterface, bridge == nullptr ? &rootInterface_ : nullptr);
    put<uint8_t>(fdo, layout::FdoBusNumber, static_cast<uint8_t>(node->number));

    node->lower = kernel_.attachDevice(fdo, pdo, false);
    if (node->lower == nullptr) {
        kernel_.deleteDevice(fdo);
        if (bridge != nullptr) bridge->secondary = nullptr;
        if (bridge == nullptr) root_ = nullptr;
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    buses_.push_back(std::move(node));
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI PciBusDriver::dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const auto type = get<ULONG>(device, layout::TypeWord);
    void* owner = get<void*>(device, layout::Owner);
    if (type == layout::PdoTypeWord) {
        auto* f = static_cast<FunctionNode*>(owner);
        if (stack->MajorFunction == IRP_MJ_PNP) return f->owner->pdoPnp(*f, irp, stack);
        if (stack->MajorFunction == IRP_MJ_POWER) return f->owner->pdoPower(*f, irp, stack);
    } else {
        auto* b = static_cast<BusNode*>(owner);
        if (stack->MajorFunction == IRP_MJ_PNP) return t_current->fdoPnp(*b, irp, stack);
        if (stack->MajorFunction == IRP_MJ_POWER) return t_current->fdoPower(*b, irp);
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(b->lower, irp);
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// --- physical device objects ------------------------------------------------------------------

NTSTATUS PciBusDriver::pdoPnp(FunctionNode& f, PIRP irp, PIO_STACK_LOCATION stack)
{
    bool deleteAfter = false;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        start(f, stack->Parameters.StartDevice.AllocatedResources);
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_STOP_DEVICE:
        if (f.present) write(f, pci::reg::Command, 2, read(f, pci::reg::Command, 2) & ~7u);
        f.started = false;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        // A function still present keeps its physical device object, so it can be started
        // again; one that has gone is deleted.
        if (f.present) write(f, pci::reg::Command, 2, read(f, pci::reg::Command, 2) & ~7u);
        f.started = false;
        deleteAfter = !f.present;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_INTERFACE: {
        auto& q = stack->Parameters.QueryInterface;
        if (q.InterfaceType == nullptr || !IsEqualGUID(*q.InterfaceType, GUID_BUS_INTERFACE_STANDARD) ||
            q.Size < sizeof(BUS_INTERFACE_STANDARD) || q.Version < 1 || q.Interface == nullptr) {
            break;
        }
        if (kernel_.faults().shouldFail(nt::FaultPoint::QueryInterface)) {
            irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(q.Interface);
        bus->Size = sizeof(BUS_INTERFACE_STANDARD);
        bus->Version = 1;
        bus->Context = &f;
        bus->InterfaceReference = referenceInterface;
        bus->InterfaceDereference = dereferenceInterface;
        bus->TranslateBusAddress = nullptr;
        bus->GetDmaAdapter = nullptr;
        bus->SetBusData = setBusData;
        bus->GetBusData = getBusData;
        ++f.interfaceReferences;
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_RESOURCES:
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(bootConfiguration(f));
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(requirements(f));
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                kernel_.allocatePool(PagedPool, sizeof(DEVICE_RELATIONS), kPoolTag, false));
            relations->Count = 1;
            relations->Objects[0] = f.pdo;
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    default:
        break;
    }
    return finish(irp, deleteAfter ? &f : nullptr);
}

// Completes a request of a physical device object: at once, or, in pend-all mode, later from the
// kernel's deferred work after returning STATUS_PENDING, as a bus driver waiting on hardware does.
NTSTATUS PciBusDriver::finish(PIRP irp, FunctionNode* deleteAfter)
{
    if (!pendAll_) {
        NTSTATUS status = irp->IoStatus.Status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (deleteAfter != nullptr) deletePdo(*deleteAfter);
        return status;
    }
    IoMarkIrpPending(irp);
    kernel_.defer([this, irp, deleteAfter] {
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (deleteAfter != nullptr) deletePdo(*deleteAfter);
    });
    return STATUS_PENDING;
}

NTSTATUS PciBusDriver::pdoPower(FunctionNode& f, PIRP irp, PIO_STACK_LOCATION stack)
{
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER &&
        stack->Parameters.Power.Type == DevicePowerState && f.present) {
        const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        const unsigned pm = findPowerCapability(*this, f);
        if (state == PowerDeviceD0 && f.power != PowerDeviceD0) {
            if (pm != 0) write(f, pm + 4, 2, 0);
            // Leaving D3hot resets the function; the bus driver puts back what it programmed.
            restoreHeader(f);
        } else if (state > PowerDeviceD0 && pm != 0) {
            write(f, pm + 4, 2, static_cast<uint32_t>(state - PowerDeviceD0));
        }
        f.power = state;
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    return finish(irp, nullptr);
}

void PciBusDriver::deletePdo(FunctionNode& f)
{
    if (f.pdo == nullptr) return;
    kernel_.deleteDevice(f.pdo);
    f.pdo = nullptr;
}

// --- bus device objects -------------------------------------------------------------------------

NTSTATUS PciBusDriver::fdoPnp(BusNode& b, PIRP irp, PIO_STACK_LOCATION stack)
{
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        b.started = true;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(enumerate(b));
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(b.lower, irp);
        IoDetachDevice(b.lower);
        IoDeleteDevice(b.fdo);
        // With the bus gone, the functions on it are gone for the bus driver too; their
        // stacks have already been removed by the PnP manager.
        for (auto& [key, child] : b.children) {
            child->present = false;
            if (child->pdo != nullptr && child->pdo->AttachedDevice == nullptr) deletePdo(*child);
        }
        b.children.clear();
        if (b.bridge != nullptr) b.bridge->secondary = nullptr;
        b.fdo = nullptr;
        b.started = false;
        return status;
    }
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(b.lower, irp);
}

NTSTATUS PciBusDriver::fdoPower(BusNode& b, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(b.lower, irp);
}

// Lists one physical device object per function present on the bus: the same object for the same
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

// --- resources ----------------------------------------------------------------------------------

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
    list->List[0].Version = 1;
    list->List[0].Revision = 1;
    list->List[0].Count = static_cast<ULONG>(wanted.size());
    for (size_t i = 0; i < wanted.size(); ++i) {
        const Range& r = wanted[i];
        IO_RESOURCE_DESCRIPTOR& d = list->List[0].Descriptors[i];
        d.Option = 0;
        d.Type = r.type;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.Flags = r.flags;
        d.u.Memory.Length = static_cast<ULONG>(std::min<uint64_t>(r.length, 0xFFFFFFFFu));
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
    const size_t bytes = offsetof(CM_RESOURCE_LIST, List) +
                         offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                         offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                         std::max<size_t>(decoded.size(), 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    auto* list = static_cast<PCM_RESOURCE_LIST>(kernel_.allocatePool(PagedPool, bytes, kPoolTag, false));
    std::memset(list, 0, bytes);
    list->Count = 1;
    list->List[0].InterfaceType = PCIBus;
    list->List[0].BusNumber = f.parent->number;
    auto& partial = list->List[0].PartialResourceList;
    partial.Version = 1;
    partial.Revision = 1;
    partial.Count = static_cast<ULONG>(decoded.size());
    for (size_t i = 0; i < decoded.size(); ++i) {
        auto& d = partial.PartialDescriptors[i];
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
    if (resources != nullptr && resources->Count > 0) {
        const auto& partial = resources->List[0].PartialResourceList;
        for (ULONG k = 0; k < partial.Count && k < f.slots.size(); ++k) {
            const auto& d = partial.PartialDescriptors[k];
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
            case ResourceSlot::Kind::IoWindow:
                write(f, pci::reg::IoBase, 1, static_cast<uint32_t>((base >> 8) & 0xF0));
                write(f, pci::reg::IoLimit, 1, static_cast<uint32_t>((limit >> 8) & 0xF0));
                if (f.io32) {
                    write(f, pci::reg::IoBaseUpper, 2, static_cast<uint32_t>(base >> 16));
                    write(f, pci::reg::IoLimitUpper, 2, static_cast<uint32_t>(limit >> 16));
                }
                ioWindow = true;
                break;
            case ResourceSlot::Kind::MemoryWindow:
                write(f, pci::reg::MemoryBase, 2, static_cast<uint32_t>((base >> 16) & 0xFFF0));
                write(f, pci::reg::MemoryLimit, 2, static_cast<uint32_t>((limit >> 16) & 0xFFF0));
                memoryWindow = true;
                break;
            case ResourceSlot::Kind::PrefetchWindow:
                write(f, pci::reg::PrefetchBase, 2, static_cast<uint32_t>((base >> 16) & 0xFFF0));
                write(f, pci::reg::PrefetchLimit, 2, static_cast<uint32_t>((limit >> 16) & 0xFFF0));
                if (f.prefetch64) {
                    write(f, pci::reg::PrefetchBaseUpper, 4, static_cast<uint32_t>(base >> 32));
                    write(f, pci::reg::PrefetchLimitUpper, 4, static_cast<uint32_t>(limit >> 32));
                }
                prefetchWindow = true;
                break;
            }
        }
    }
    if (f.isBridge()) {
        // A window that was given nothing is closed: base above limit.
        if (!ioWindow) write(f, pci::reg::IoBase, 2, 0x00F0);
        if (!memoryWindow) write(f, pci::reg::MemoryBase, 4, 0x0000FFF0);
        if (!prefetchWindow) {
            write(f, pci::reg::PrefetchBase, 4, 0x0000FFF0);
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

// --- configuration access through the interfaces ------------------------------------------------

ULONG PciBusDriver::transfer(unsigned bus, unsigned device, unsigned fn, bool isWrite,
                             uint8_t* buffer, ULONG offset, ULONG length)
{
    if (offset >= 256) return 0;
    length = std::min<ULONG>(length, 256 - offset);
    if (kernel_.faults().shouldFail(nt::FaultPoint::ShortConfigTransfer) && length > 0) --length;
    ULONG done = 0;
    while (done < length) {
        const ULONG at = offset + done;
        const ULONG left = length - done;
        // One configuration cycle per dword touched, with the byte enables of the bytes asked.
        const ULONG chunk = std::min<ULONG>(left, 4 - at % 4);
        uint32_t value = 0;
        if (isWrite) {
            std::memcpy(&value, buffer + done, chunk);
            hw_.configWrite(bus, device, fn, at, chunk, value);
        } else {
            value = hw_.configRead(bus, device, fn, at, chunk);
            std::memcpy(buffer + done, &value, chunk);
        }
        done += chunk;
    }
    return done;
}

ULONG NTAPI PciBusDriver::getBusData(PVOID context, ULONG type, PVOID buffer, ULONG offset,
                                     ULONG length)
{
    auto* f = static_cast<FunctionNode*>(context);
    if (type != PCI_WHICHSPACE_CONFIG || !f->present) return 0;
    return f->owner->transfer(f->parent->number, f->device, f->function, false,
                              static_cast<uint8_t*>(buffer), offset, length);
}

ULONG NTAPI PciBusDriver::setBusData(PVOID context, ULONG type, PVOID buffer, ULONG offset,
                                     ULONG length)
{
    auto* f = static_cast<FunctionNode*>(context);
    if (type != PCI_WHICHSPACE_CONFIG || !f->present) return 0;
    return f->owner->transfer(f->parent->number, f->device, f->function, true,
                              static_cast<uint8_t*>(buffer), offset, length);
}

VOID NTAPI PciBusDriver::referenceInterface(PVOID context)
{
    ++static_cast<FunctionNode*>(context)->interfaceReferences;
}

VOID NTAPI PciBusDriver::dereferenceInterface(PVOID context)
{
    auto* f = static_cast<FunctionNode*>(context);
    if (f->interfaceReferences <= 0) {
        f->owner->kernel_.violation("interface released too often",
                                    "InterfaceDereference on " + f->location() +
                                        " with no reference held");
        return;
    }
    --f->interfaceReferences;
}

ULONG NTAPI PciBusDriver::rootReadConfig(PVOID, ULONG bus, ULONG slot, PVOID buffer, ULONG offset,
                                         ULONG length)
{
    return t_current->transfer(bus & 0xFF, slot & 0x1F, (slot >> 5) & 7, false,
                               static_cast<uint8_t*>(buffer), offset, length);
}

ULONG NTAPI PciBusDriver::rootWriteConfig(PVOID, ULONG bus, ULONG slot, PVOID buffer,
                                          ULONG offset, ULONG length)
{
    return t_current->transfer(bus & 0xFF, slot & 0x1F, (slot >> 5) & 7, true,
                               static_cast<uint8_t*>(buffer), offset, length);
}

// --- generic function driver --------------------------------------------------------------------

namespace {
struct GenericExtension {
    PDEVICE_OBJECT lower;
};
}  // namespace

GenericFunctionDriver::GenericFunctionDriver(nt::Kernel& kernel)
    : driver_(kernel.createDriverObject(u"\\Driver\\pcidev"))
{
    for (auto& major : driver_->MajorFunction) major = dispatch;
    driver_->DriverExtension->AddDevice = addDevice;
}

NTSTATUS NTAPI GenericFunctionDriver::addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
{
    nt::Kernel& kernel = nt::Kernel::current();
    PDEVICE_OBJECT fdo = kernel.createDevice(driver, sizeof(GenericExtension), FILE_DEVICE_UNKNOWN,
                                             0, false, false);
    auto* extension = static_cast<GenericExtension*>(fdo->DeviceExtension);
    extension->lower = kernel.attachDevice(fdo, pdo, false);
    if (extension->lower == nullptr) {
        IoDeleteDevice(fdo);
        return STATUS_NO_SUCH_DEVICE;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI GenericFunctionDriver::dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT lower = static_cast<GenericExtension*>(device->DeviceExtension)->lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    const bool remove = stack->MajorFunction == IRP_MJ_PNP &&
                        stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

}  // namespace pcibus
