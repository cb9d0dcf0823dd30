// Dispatch of the bus driver's device objects: AddDevice for the bus device objects it owns as
// function driver of the root and of every PCI-to-PCI bridge, PnP and power requests of the
// physical device object of each function, and those of each bus device object.
#include "internal.hpp"

namespace pcibus {

using detail::get;
using detail::put;
using detail::t_current;

namespace {

// Where a request of a function's physical device object is, for aimed faults.
nt::FaultSite requestSite(const FunctionNode& f, PIO_STACK_LOCATION stack)
{
    nt::FaultSite site;
    if (f.parent != nullptr) site.bus = f.parent->number;
    site.device = f.device;
    site.function = f.function;
    site.major = stack->MajorFunction;
    site.minor = stack->MinorFunction;
    return site;
}

// Requests a bus driver may fail of its own accord: a start it cannot carry out, resource
// queries it cannot answer, a query-remove it vetoes. Removal, surprise removal, stop,
// cancellations and set-power requests must succeed; query-stop is left alone because the PnP
// manager here never stops a device to rebalance its resources.
bool mayFail(PIO_STACK_LOCATION stack)
{
    if (stack->MajorFunction != IRP_MJ_PNP) return false;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_RESOURCES:
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
    case IRP_MN_QUERY_REMOVE_DEVICE:
        return true;
    default:
        return false;
    }
}

}  // namespace

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
    unsigned rootNumber = 0;
    if (bridge == nullptr) {
        auto described = rootNumbers_.find(pdo);
        if (described != rootNumbers_.end()) rootNumber = described->second;
        if (roots_.count(rootNumber) != 0) return STATUS_INVALID_DEVICE_REQUEST;
    }
    PDEVICE_OBJECT fdo = kernel_.createDevice(driver_, layout::ExtensionSize,
                                              FILE_DEVICE_BUS_EXTENDER, 0, false, false);
    if (fdo == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    auto node = std::make_unique<BusNode>();
    IoInitializeRemoveLock(&node->removeLock, kPoolTag, 0, 0);
    kernel_.nameObject(&node->removeLock, "of bus device " + nt::formatAddress(fdo));
    node->fdo = fdo;
    node->pdo = pdo;
    node->bridge = bridge;
    node->number = bridge != nullptr ? read(*bridge, pci::reg::SecondaryBus, 1) : rootNumber;
    node->root = bridge != nullptr ? bridge->parent->root : node.get();
    if (bridge != nullptr) bridge->secondary = node.get();
    if (bridge == nullptr) roots_[rootNumber] = node.get();

    put<ULONG>(fdo, layout::TypeWord, layout::FdoTypeWord);
    put<void*>(fdo, layout::Owner, node.get());
    put<PDEVICE_OBJECT>(fdo, layout::FdoPdo, pdo);
    put<void*>(fdo, layout::FdoRoot, node->root->fdo->DeviceExtension);
    put<void*>(fdo, layout::FdoInterface, bridge == nullptr ? &rootInterface_ : nullptr);
    put<uint8_t>(fdo, layout::FdoBusNumber, static_cast<uint8_t>(node->number));

    node->lower = kernel_.attachDevice(fdo, pdo, false);
    if (node->lower == nullptr) {
        kernel_.deleteDevice(fdo);
        if (bridge != nullptr) bridge->secondary = nullptr;
        if (bridge == nullptr) roots_.erase(rootNumber);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    byFdo_[fdo] = node.get();
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
        if (!NT_SUCCESS(IoAcquireRemoveLock(&b->removeLock, irp))) {
            // The bus device is being removed: the request goes no further.
            if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_DELETE_PENDING;
            irp->IoStatus.Information = 0;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_DELETE_PENDING;
        }
        if (stack->MajorFunction == IRP_MJ_PNP) return t_current->fdoPnp(*b, irp, stack);
        if (stack->MajorFunction == IRP_MJ_POWER) return t_current->fdoPower(*b, irp);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(b->lower, irp);
        IoReleaseRemoveLock(&b->removeLock, irp);
        return status;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// --- physical device objects ------------------------------------------------------------------

NTSTATUS PciBusDriver::pdoPnp(FunctionNode& f, PIRP irp, PIO_STACK_LOCATION stack)
{
    bool deleteAfter = false;
    if (mayFail(stack) &&
        kernel_.faults().shouldFail(nt::FaultPoint::LowerFail, requestSite(f, stack))) {
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        return finish(f, irp, nullptr);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        // A function the bus driver could not configure (a bridge without bus numbers) is not
        // switched on: its cycles would reach another bus.
        if (!f.problem.empty()) {
            irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
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
        if (kernel_.faults().shouldFail(nt::FaultPoint::QueryInterface, requestSite(f, stack))) {
            irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
            break;
        }
        auto* bus = reinterpret_cast<PBUS_INTERFACE_STANDARD>(q.Interface);
        bus->Size = sizeof(BUS_INTERFACE_STANDARD);
        bus->Version = 1;
        bus->Context = &f;
        f.interfaceGiven = true;
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
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: {
        // A range of 4 GB or more has no requirement descriptor: their lengths are 32 bits. The
        // function is not offered with a shorter one; it stays down and says why.
        const std::string beyond = detail::undescribable(*this, f);
        if (!beyond.empty()) {
            f.problem = beyond;
            irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            break;
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(requirements(f));
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    }
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
    return finish(f, irp, deleteAfter ? &f : nullptr);
}

// Completes a request of a physical device object: at once, or, in pend-all mode or when a fault
// says so, later from the kernel's deferred work after returning STATUS_PENDING, as a bus driver
// waiting on hardware does.
NTSTATUS PciBusDriver::finish(const FunctionNode& f, PIRP irp, FunctionNode* deleteAfter)
{
    const bool pend = kernel_.faults().shouldFail(nt::FaultPoint::LowerPend,
                                                  requestSite(f, IoGetCurrentIrpStackLocation(irp)));
    if (!pendAll_ && !pend) {
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
        const unsigned pm = pci::findPowerCapability(
            [&](unsigned offset, unsigned length) { return read(f, offset, length); });
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
    return finish(f, irp, nullptr);
}

void PciBusDriver::deletePdo(FunctionNode& f)
{
    if (f.pdo == nullptr) return;
    byPdo_.erase(f.pdo);
    kernel_.deleteDevice(f.pdo);
    f.pdo = nullptr;
    retire(f);
}

// The record of a function that has gone, whose device object is deleted and whose bus interface
// no one holds, is freed: hot add and removal keep nothing of it but, when its interface was
// handed out, its location. A bridge's record stays: the record of its secondary bus refers to
// it. On simulated processors every record stays: a thread preempted inside a call through the
// interface may still be using it.
void PciBusDriver::retire(FunctionNode& f)
{
    if (kernel_.scheduler() != nullptr) return;
    if (f.present || f.isBridge() || f.secondary != nullptr || f.interfaceReferences != 0) return;
    if (f.interfaceGiven) retired_[&f] = f.location();
    std::erase_if(functions_, [&](const auto& node) { return node.get() == &f; });
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
            // A bus that cannot be enumerated fails the query; nothing is listed.
            nt::FaultSite site;
            if (b.bridge != nullptr) site = requestSite(*b.bridge, stack);
            if (kernel_.faults().shouldFail(nt::FaultPoint::LowerFail, site)) {
                irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
                irp->IoStatus.Information = 0;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                IoReleaseRemoveLock(&b.removeLock, irp);
                return STATUS_UNSUCCESSFUL;
            }
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(enumerate(b));
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        break;
    case IRP_MN_REMOVE_DEVICE: {
        // Every request still in progress on the bus device comes back first.
        IoReleaseRemoveLockAndWait(&b.removeLock, irp);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(b.lower, irp);
        IoDetachDevice(b.lower);
        byFdo_.erase(b.fdo);
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
    NTSTATUS status = IoCallDriver(b.lower, irp);
    IoReleaseRemoveLock(&b.removeLock, irp);
    return status;
}

namespace {

// A power request holds the bus device's remove lock until it has come back up.
NTSTATUS NTAPI fdoPowerDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    IoReleaseRemoveLock(&static_cast<BusNode*>(context)->removeLock, irp);
    return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS PciBusDriver::fdoPower(BusNode& b, PIRP irp)
{
    PoStartNextPowerIrp(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, fdoPowerDone, &b, TRUE, TRUE, TRUE);
    return PoCallDriver(b.lower, irp);
}

}  // namespace pcibus
