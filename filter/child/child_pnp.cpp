// PnP and power dispatch of a child filter. A child filter never completes, fails or changes a
// request; it watches four moments: a successful resource query while the device is still
// unclassified, a successful start, a successful return to D0, and removal.
#include "../frame/routines.h"
#include "../frame/trace.h"

// Pageable: HotpChildDeviceDispatchPnp, HotpChildWatch, HotpUnlinkChild, HotpChildRemoveDevice.

namespace {

// The flags word of the PnP manager's device node of a physical device object. Only read for a
// trace line.
// A physical device object the PnP manager has not made a device node for yet reads as 0 rather
// than faulting.
ULONG HotpDeviceNodeFlags(PDEVICE_OBJECT Pdo)
{
    const UCHAR* Extension = reinterpret_cast<const UCHAR*>(Pdo->DeviceObjectExtension);
    const UCHAR* Node = *reinterpret_cast<const UCHAR* const*>(Extension + HOTP_DOE_DEVICE_NODE_OFFSET);
    if (Node == nullptr) {
        return 0;
    }
    return *reinterpret_cast<const ULONG*>(Node + HOTP_DEVICE_NODE_FLAGS_OFFSET);
}

HOTP_PAGEABLE NTSTATUS HotpChildWatch(PIRP Irp, HOTP_CHILD_EXTENSION* Child,
                                      PIO_COMPLETION_ROUTINE Routine)
{
    PAGED_CODE();
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, Child, TRUE, FALSE, FALSE);
    return IoCallDriver(Child->LowerDeviceObject, Irp);
}

// Takes the record out of its bus record's list, keeping the order of the others.
HOTP_PAGEABLE void HotpUnlinkChild(HOTP_CHILD_EXTENSION* Child)
{
    PAGED_CODE();
    HOTP_BUS_EXTENSION* Bus = Child->BusExtension;
    if (Bus->ChildListHead == Child) {
        Bus->ChildListHead = Child->NextChild;
        HotpTrace(HOTP_TRACE_DETAIL,
                  "HotpChildDeviceDispatchPnp - (Head list) Extension-Bus-ChildDevice = %lx \n",
                  HotpTraceValue(Bus->ChildListHead));
        return;
    }
    HOTP_CHILD_EXTENSION* Cursor = Bus->ChildListHead;
    HotpTrace(HOTP_TRACE_DETAIL, "HotpChildDeviceDispatchPnp - TrackExtension is initliazed as = %lx \n",
              HotpTraceValue(Cursor));
    // A nonzero count always finds a non-empty list; the cursor test only guards a list that
    // was emptied behind the count's back.
    while (Cursor != nullptr && Cursor->NextChild != Child && Cursor->NextChild != nullptr) {
        Cursor = Cursor->NextChild;
        HotpTrace(HOTP_TRACE_DETAIL, "HotpChildDeviceDispatchPnp - TrackExtension (in a loop) as = %lx \n",
                  HotpTraceValue(Cursor));
    }
    if (Cursor != nullptr && Cursor->NextChild == Child) {
        Cursor->NextChild = Child->NextChild;
        HotpTrace(HOTP_TRACE_DETAIL, "HotpChildDeviceDispatchPnp - NextChildDevice (final) as = %lx \n",
                  HotpTraceValue(Cursor->NextChild));
        return;
    }
    HotpTrace(HOTP_TRACE_WARNING,
              "HotpChildDeviceDispatchPnp - device to be removed not found in list \n");
}

// Removal: the filter leaves its stack, its list and its bus interface before the request goes
// down. The lower device is taken first because the record goes away with the device object.
HOTP_PAGEABLE NTSTATUS HotpChildRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                             HOTP_CHILD_EXTENSION* Child)
{
    PAGED_CODE();
    PDEVICE_OBJECT LowerDeviceObject = Child->LowerDeviceObject;
    IoDetachDevice(LowerDeviceObject);
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpChildDeviceDispatchPnp - DeviceFilter %lx detached from PDO %lx (Immediate %lx)\n",
              HotpTraceValue(DeviceObject), HotpTraceValue(Child->Pdo),
              HotpTraceValue(LowerDeviceObject));
    HOTP_BUS_EXTENSION* Bus = Child->BusExtension;
    HotpTrace(HOTP_TRACE_DETAIL, "HotpChildDeviceDispatchPnp - ChildDeviceCount = %lx \n",
              static_cast<ULONG>(Bus->ChildDeviceCount));
    if (Bus->ChildDeviceCount != 0) {
        HotpUnlinkChild(Child);
        Bus->ChildDeviceCount--;
    }
#ifndef HOTP_PLANT_INTERFACE_KEPT  // planted fault, Wine check only: the reference is never released
    Child->BusInterface.InterfaceDereference(Child->BusInterface.Context);
#endif
    IoDeleteDevice(DeviceObject);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDeviceObject, Irp);
}

}  // namespace

extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpChildDeviceDispatchPnp(
    PDEVICE_OBJECT DeviceObject, PIRP Irp, HOTP_CHILD_EXTENSION* Child)
{
    PAGED_CODE();
    HotpCheckRecord(Child);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    HotpTrace(HOTP_TRACE_ENTRY, "HotpChildDeviceDispatchPnp: DevObj 0x%x (013000) IRP 0x%x\n",
              HotpTraceValue(DeviceObject), static_cast<ULONG>(Stack->MinorFunction));
    if (HotpDebugPrintLevel >= HOTP_TRACE_DETAIL) {
        HotpTrace(HOTP_TRACE_DETAIL, "HotpChildDeviceDispatchPnp - PDO deviceNode flag  %x\n",
                  HotpDeviceNodeFlags(Child->Pdo));
    } else if (HotpDebugBreakLevel >= HOTP_TRACE_DETAIL) {
        DbgBreakPoint();
    }

    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HotpChildWatch(Irp, Child, HotpChildStartCompletion);
    case IRP_MN_QUERY_RESOURCES:
        return HotpChildWatch(Irp, Child, HotpQueryChildResources);
    case IRP_MN_REMOVE_DEVICE:
        return HotpChildRemoveDevice(DeviceObject, Irp, Child);
    default:
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(Child->LowerDeviceObject, Irp);
    }
}

// Resident: power requests may be sent at dispatch level. Only a device set-power to D0 is
// watched, so the latency timer and cache line size lost in a low-power state are written again.
extern "C" NTSTATUS NTAPI HotpChildDeviceDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                       HOTP_CHILD_EXTENSION* Child)
{
    HotpCheckRecord(Child);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpChildDeviceDispatchPower - DevObj %lx MinorFunction %lx (Type %lx State %lx)\n",
              HotpTraceValue(DeviceObject), static_cast<ULONG>(Stack->MinorFunction),
              static_cast<ULONG>(Stack->Parameters.Power.Type),
              static_cast<ULONG>(Stack->Parameters.Power.State.DeviceState));
    if (Stack->MinorFunction == IRP_MN_SET_POWER && Stack->Parameters.Power.Type == DevicePowerState &&
        Stack->Parameters.Power.State.DeviceState == PowerDeviceD0) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
        IoSetCompletionRoutine(Irp, HotpPowerUpCompletion, Child, TRUE, FALSE, FALSE);
        PoStartNextPowerIrp(Irp);
        return PoCallDriver(Child->LowerDeviceObject, Irp);
    }
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Child->LowerDeviceObject, Irp);
}

// Resident completion of a successful start: program the device; the start keeps the lower
// driver's status whatever the programming did.
extern "C" NTSTATUS NTAPI HotpChildStartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                   PVOID Context)
{
    (void)DeviceObject;
    HotpPostProgramPCI(HotpChildContext(Context));
    HotpPropagatePending(Irp);
    return STATUS_SUCCESS;
}

// Resident completion of a successful set-power to D0. A failed programming never fails the
// power request.
extern "C" NTSTATUS NTAPI HotpPowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                PVOID Context)
{
    (void)DeviceObject;
    if (!NT_SUCCESS(HotpPostProgramPCI(HotpChildContext(Context)))) {
        Irp->IoStatus.Status = STATUS_SUCCESS;
    }
    HotpPropagatePending(Irp);
    return STATUS_SUCCESS;
}

// Resident completion of a successful resource query: the first one classifies the device and,
// for a PCI-to-PCI bridge, gives the bridge's stack a bus filter of its own. Relies on the bus
// driver completing resource queries at passive level, as PnP requests are.
extern "C" NTSTATUS NTAPI HotpQueryChildResources(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                  PVOID Context)
{
    HOTP_CHILD_EXTENSION* Child = HotpChildContext(Context);
    NTSTATUS Status = STATUS_SUCCESS;
    if (Child->DeviceKind == 0) {
        HotpProgramPCI(Child);
        if ((Child->DeviceKind & HOTP_KIND_PCI_PCI) != 0) {
            HotpTrace(HOTP_TRACE_DETAIL, "HotpQueryChildResources - AddDevice called for P2P\n");
            Status = HotpAddDevice(DeviceObject->DriverObject, Child->Pdo);
            if (!NT_SUCCESS(Status)) {
                HotpTrace(HOTP_TRACE_WARNING, "HotpQueryChildResources - AddDevice failed for P2P\n");
            }
        }
    }
    HotpPropagatePending(Irp);
    return Status;
}
