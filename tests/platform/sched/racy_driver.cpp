// A deliberately racy filter for the scheduler's tests. Installed where hotpflt would be (an upper
// filter of the root bus), it puts a filter of its own on every device the root bus reports and
// counts the power requests those filters see in one global, read and written back around a
// kernel call without a lock: two power requests on two processors lose a count. The race
// detector must name it. Built a second time with RACY_LOCKED=1, the count is taken under a spin
// lock and a second count is kept with an interlocked routine: nothing for the detector to find.
#include <nt/api.h>

namespace {

constexpr ULONG kBusSignature = 0x52637942;    // "ByRc"
constexpr ULONG kChildSignature = 0x52637943;  // "CyRc"
constexpr ULONG kMaxChildren = 64;

struct RACY_EXTENSION {
    ULONG Signature;
    PDEVICE_OBJECT Lower;
    PDEVICE_OBJECT Pdo;
};

PDRIVER_OBJECT g_driver;
RACY_EXTENSION* g_children[kMaxChildren];
constexpr bool kLocked = RACY_LOCKED;
KSPIN_LOCK g_countLock;

}  // namespace

extern "C" {

// The racy count: no lock, no interlocked operation (unless RACY_LOCKED).
ULONG RacyPowerRequests;
LONG RacyPowerTotal;

NTSTATUS NTAPI RacyRelationsDone(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    if (Irp->PendingReturned) IoMarkIrpPending(Irp);
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    if (relations == nullptr) return STATUS_SUCCESS;
    for (ULONG i = 0; i < relations->Count; ++i) {
        PDEVICE_OBJECT pdo = *(&relations->Objects[0] + i);
        bool known = false;
        for (RACY_EXTENSION* c : g_children) known = known || (c != nullptr && c->Pdo == pdo);
        if (known) continue;
        PDEVICE_OBJECT device = nullptr;
        if (!NT_SUCCESS(IoCreateDevice(g_driver, sizeof(RACY_EXTENSION), nullptr,
                                       FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device))) {
            continue;
        }
        auto* ext = static_cast<RACY_EXTENSION*>(device->DeviceExtension);
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
        for (RACY_EXTENSION*& slot : g_children) {
            if (slot == nullptr) {
                slot = ext;
                break;
            }
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI RacyDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* ext = static_cast<RACY_EXTENSION*>(DeviceObject->DeviceExtension);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT lower = ext->Lower;
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        for (RACY_EXTENSION*& slot : g_children) {
            if (slot == ext) slot = nullptr;
        }
        IoDetachDevice(lower);
        IoDeleteDevice(DeviceObject);
        IoSkipCurrentIrpStackLocation(Irp);
        return IofCallDriver(lower, Irp);
    }
    if (ext->Signature == kBusSignature && stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
        stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, RacyRelationsDone, ext, TRUE, FALSE, FALSE);
        return IofCallDriver(lower, Irp);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(lower, Irp);
}

NTSTATUS NTAPI RacyDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* ext = static_cast<RACY_EXTENSION*>(DeviceObject->DeviceExtension);
    KIRQL old = PASSIVE_LEVEL;
    if constexpr (kLocked) {
        InterlockedIncrement(&RacyPowerTotal);
        KeAcquireSpinLock(&g_countLock, &old);
    }
    const ULONG seen = RacyPowerRequests;
    PoStartNextPowerIrp(Irp);
    RacyPowerRequests = seen + 1;
    if constexpr (kLocked) KeReleaseSpinLock(&g_countLock, old);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext->Lower, Irp);
}

NTSTATUS NTAPI RacyDispatchOther(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IofCallDriver(static_cast<RACY_EXTENSION*>(DeviceObject->DeviceExtension)->Lower, Irp);
}

NTSTATUS NTAPI RacyAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(DriverObject, sizeof(RACY_EXTENSION), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    auto* ext = static_cast<RACY_EXTENSION*>(device->DeviceExtension);
    ext->Signature = kBusSignature;
    ext->Pdo = Pdo;
    ext->Lower = IoAttachDeviceToDeviceStack(device, Pdo);
    if (ext->Lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    device->StackSize = static_cast<CCHAR>(ext->Lower->StackSize + 1);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING)
{
    g_driver = DriverObject;
    KeInitializeSpinLock(&g_countLock);
    for (ULONG i = 0; i <= IRP_MJ_MAXIMUM_FUNCTION; ++i) DriverObject->MajorFunction[i] = RacyDispatchOther;
    DriverObject->MajorFunction[IRP_MJ_PNP] = RacyDispatchPnp;
    DriverObject->MajorFunction[IRP_MJ_POWER] = RacyDispatchPower;
    DriverObject->DriverExtension->AddDevice = RacyAddDevice;
    return STATUS_SUCCESS;
}

}  // extern "C"
