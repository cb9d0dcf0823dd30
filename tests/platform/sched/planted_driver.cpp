// Filters with one planted concurrency fault each, for the table of faults the explorer must
// find. Installed where hotpflt would be, each puts a filter on every device the root bus reports.
// When a card is inserted behind the hot-plug bridge, the bridge's filter sees the bus relations
// query in the PnP manager's thread and steps through kPhases phases, one pool allocation (one
// preemption point) each. A power request that arrives while the phase is inside the fault's
// window springs the fault; the schedule without deviations runs the power request only after the
// query, when no phase is set, and shows nothing.
//
// PLANTED_FAULT selects the fault (one module per fault):
//   1 race        the power request writes the global the phases write, late in the phases
//   2 deadlock    at exactly one phase the phases hold mutex A and then take B; the power
//                 request takes B, then A
//   3 verifier    the power request releases the spin lock the phases hold over a few phases
//   4 teardown    the power request allocates a block it never frees
//   5 end-state   the power request makes the filter fail the relations query
//   6 child-list  the power request raises the bus record's ChildDeviceCount, late in the phases
#include <nt/api.h>

#include <frame/records.h>

namespace {

constexpr int kFault = PLANTED_FAULT;
constexpr ULONG kChildSignature = 0x43746C50;  // "PltC": not a record the child-list check reads
constexpr ULONG kPhases = 40;
constexpr ULONG kTag = 0x746E6C50;  // "Plnt"

// The phases during which a power request springs the fault.
constexpr ULONG kWindowLow = kFault == 2 ? 30 : kFault == 3 ? 12 : 30;
constexpr ULONG kWindowHigh = kFault == 2 ? 30 : kFault == 3 ? 16 : 36;

struct PLANTED_CHILD {
    ULONG Signature;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
};

PDRIVER_OBJECT g_driver;
HOTP_BUS_EXTENSION* g_bus;
PLANTED_CHILD* g_children[64];
KSPIN_LOCK g_lock;
FAST_MUTEX g_mutexA;
FAST_MUTEX g_mutexB;
volatile ULONG g_failRelations;

}  // namespace

extern "C" {

// The phase the PnP manager's thread is in (0: none), and what the phases and the fault write.
volatile ULONG PlantedPhase;
volatile ULONG PlantedShared;

NTSTATUS NTAPI PlantedRelationsDone(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    if (relations == nullptr) return STATUS_SUCCESS;
    for (ULONG i = 0; i < relations->Count; ++i) {
        PDEVICE_OBJECT pdo = *(&relations->Objects[0] + i);
        bool known = false;
        for (PLANTED_CHILD* c : g_children) known = known || (c != nullptr && c->Pdo == pdo);
        if (known) continue;
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(g_driver, sizeof(PLANTED_CHILD), nullptr,
                                       FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device))) {
            continue;
        }
        auto* ext = static_cast<PLANTED_CHILD*>(device->DeviceExtension);
        ext->Signature = kChildSignature;
        ext->Pdo = pdo;
        ext->Lower = IoAttachDeviceToDeviceStack(device, pdo);
        if (ext->Lower == nullptr) {
            IoDeleteDevice(device);
            continue;
        }
        device->StackSize = static_cast<CCHAR>(ext->Lower->StackSize + 1);
        device->Flags |= ext->Lower->Flags & DO_POWER_PAGABLE;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        for (PLANTED_CHILD*& slot : g_children) {
            if (slot == nullptr) {
                slot = ext;
                break;
            }
        }
    }
    return STATUS_SUCCESS;
}

// The phases, in the PnP manager's thread.
void PlantedPhases()
{
    PVOID blocks[kPhases] = {};
    KIRQL old = PASSIVE_LEVEL;
    for (ULONG i = 1; i <= kPhases; ++i) {
        if (kFault == 2 && i == kWindowLow) ExAcquireFastMutex(&g_mutexA);
        if (kFault == 3 && i == kWindowLow) KeAcquireSpinLock(&g_lock, &old);
        PlantedPhase = i;
        PlantedShared = i;
        blocks[i - 1] = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
        if (kFault == 2 && i == kWindowLow) {
            ExAcquireFastMutex(&g_mutexB);
            ExReleaseFastMutex(&g_mutexB);
            ExReleaseFastMutex(&g_mutexA);
        }
        if (kFault == 3 && i == kWindowHigh) KeReleaseSpinLock(&g_lock, old);
    }
    PlantedPhase = 0;
    for (PVOID block : blocks) {
        if (block != nullptr) ExFreePool(block);
    }
}

// The fault, in the power request's thread.
void PlantedSpring()
{
    const ULONG phase = PlantedPhase;
    if (phase < kWindowLow || phase > kWindowHigh) return;
    switch (kFault) {
    case 1: PlantedShared = 0xFFFFFFFF; break;
    case 2:
        ExAcquireFastMutex(&g_mutexB);
        ExAcquireFastMutex(&g_mutexA);
        ExReleaseFastMutex(&g_mutexA);
        ExReleaseFastMutex(&g_mutexB);
        break;
    case 3: KeReleaseSpinLock(&g_lock, PASSIVE_LEVEL); break;
    case 4: ExAllocatePoolWithTag(NonPagedPool, 16, kTag); break;
    case 5: g_failRelations = 1; break;
    case 6: g_bus->ChildDeviceCount += 1; break;
    default: break;
    }
}

NTSTATUS NTAPI PlantedDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    const bool bus = DeviceObject->DeviceExtension == g_bus;
    PDEVICE_OBJECT lower = bus ? g_bus->LowerDeviceObject
                               : static_cast<PLANTED_CHILD*>(DeviceObject->DeviceExtension)->Lower;
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        if (!bus) {
            for (PLANTED_CHILD*& slot : g_children) {
                if (slot == DeviceObject->DeviceExtension) slot = nullptr;
            }
        }
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(lower, Irp);
    }
    if (stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        if (bus) {
            IoCopyCurrentIrpStackLocationToNext(Irp);
            IoSetCompletionRoutine(Irp, PlantedRelationsDone, nullptr, TRUE, FALSE, FALSE);
            return IofCallDriver(lower, Irp);
        }
        PlantedPhases();
        if (g_failRelations != 0) {
            Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
            IofCompleteRequest(Irp, IO_NO_INCREMENT);
            return STATUS_UNSUCCESSFUL;
        }
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(lower, Irp);
}

NTSTATUS NTAPI PlantedDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT lower = DeviceObject->DeviceExtension == g_bus
                               ? g_bus->LowerDeviceObject
                               : static_cast<PLANTED_CHILD*>(DeviceObject->DeviceExtension)->Lower;
    if (DeviceObject->DeviceExtension != g_bus) PlantedSpring();
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(lower, Irp);
}

NTSTATUS NTAPI PlantedDispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PDEVICE_OBJECT lower = DeviceObject->DeviceExtension == g_bus
                               ? g_bus->LowerDeviceObject
                               : static_cast<PLANTED_CHILD*>(DeviceObject->DeviceExtension)->Lower;
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(lower, Irp);
}

// The root bus's filter keeps a bus record in hotpflt's layout, with an empty child list.
NTSTATUS NTAPI PlantedAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(HOTP_BUS_EXTENSION), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<HOTP_BUS_EXTENSION*>(device->DeviceExtension);
    ext->Signature = HOTP_BUS_SIGNATURE;
    ext->ChildListHead = nullptr;
    ext->ChildDeviceCount = 0;
    ext->Self = device;
    ext->Pdo = Pdo;
    ext->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, Pdo);
    if (ext->LowerDeviceObject == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    g_bus = ext;
    device->StackSize = static_cast<CCHAR>(ext->LowerDeviceObject->StackSize + 1);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    g_driver = DriverObject;
    KeInitializeSpinLock(&g_lock);
    ExInitializeFastMutex(&g_mutexA);
    ExInitializeFastMutex(&g_mutexB);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = PlantedDispatchOther;
    DriverObject->MajorFunction[IRP_MJ_PNP] = PlantedDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = PlantedDispatchPower;
    DriverObject->DriverExtension->AddDevice = PlantedAddDevice;
    return STATUS_SUCCESS;
}

}  // extern "C"
