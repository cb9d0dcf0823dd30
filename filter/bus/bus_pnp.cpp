// The bus filter: its creation by the add-device routine and its PnP dispatch. A bus filter never
// completes, fails or holds a PnP request; every request goes on to the next lower device and the
// dispatch routine returns that call's status.
#include "../frame/routines.h"
#include "../frame/trace.h"
#include "../bridge/scan_record.h"

// Pageable: HotpAddDevice, HotpBusDispatchPnp, HotpBusStartDevice, HotpBusRemoveDevice,
//   HotpBusPassDown, HotpBusWatch.

namespace {

HOTP_PAGEABLE NTSTATUS HotpBusRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                           HOTP_BUS_EXTENSION* BusExtension);
HOTP_PAGEABLE NTSTATUS HotpBusPassDown(PIRP Irp, HOTP_BUS_EXTENSION* BusExtension);
HOTP_PAGEABLE NTSTATUS HotpBusWatch(PIRP Irp, HOTP_BUS_EXTENSION* BusExtension,
                                    PIO_COMPLETION_ROUTINE Routine, PVOID Context);

}  // namespace

// Creates a bus filter and attaches it to the top of the physical device object's stack. Called
// by the PnP manager for every bus device that has the driver installed as a filter, and for
// every child classified as a PCI-to-PCI bridge so that nested buses are filtered too.
extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpAddDevice(PDRIVER_OBJECT DriverObject,
                                                      PDEVICE_OBJECT PhysicalDeviceObject)
{
    PAGED_CODE();
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpAddDevice() begins with DriverObject = %08lx and PDO = %08lx \n",
              HotpTraceValue(DriverObject), HotpTraceValue(PhysicalDeviceObject));

    PDEVICE_OBJECT DeviceObject = nullptr;
    NTSTATUS Status = IoCreateDevice(DriverObject, sizeof(HOTP_BUS_EXTENSION), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &DeviceObject);
    if (!NT_SUCCESS(Status)) {
        HotpTrace(HOTP_TRACE_FAILURE, "HotpAddDevice: IoCreateDevice failed %08lx\n",
                  static_cast<ULONG>(Status));
        return Status;
    }

    auto* BusExtension = static_cast<HOTP_BUS_EXTENSION*>(DeviceObject->DeviceExtension);
    BusExtension->Signature = HOTP_BUS_SIGNATURE;
    BusExtension->Self = DeviceObject;
    BusExtension->Pdo = PhysicalDeviceObject;
    BusExtension->ChildListHead = nullptr;
    BusExtension->ChildDeviceCount = 0;

    BusExtension->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject,
                                                                  PhysicalDeviceObject);
    if (BusExtension->LowerDeviceObject == nullptr) {
        HotpTrace(HOTP_TRACE_FAILURE,
                  "HotpAddDevice: IoAttachDeviceToDeviceStack from %08lx to %08lx failed\n",
                  HotpTraceValue(DeviceObject), HotpTraceValue(PhysicalDeviceObject));
        IoDeleteDevice(DeviceObject);
        return STATUS_INSUFFICIENT_RESOURCES;
    }

    HotpTrace(HOTP_TRACE_DETAIL, "HotpAddDevice - BusFilter %lx attached to PDO %lx (Immediate %lx)\n",
              HotpTraceValue(DeviceObject), HotpTraceValue(PhysicalDeviceObject),
              HotpTraceValue(BusExtension->LowerDeviceObject));

    // Nothing is copied from the lower device: the stack size and alignment stay as attachment
    // set them, and the power-pageable and I/O method flags stay clear.
    DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

// PnP dispatch of a bus filter. Runs at passive level in the PnP manager's thread.
extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpBusDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                           HOTP_BUS_EXTENSION* BusExtension)
{
    PAGED_CODE();
    HotpCheckRecord(BusExtension);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    HotpTrace(HOTP_TRACE_ENTRY, "HotpBusDispatchPnp: DevObj 0x%x IRP 0x%x\n",
              HotpTraceValue(DeviceObject), static_cast<ULONG>(Stack->MinorFunction));

    switch (Stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        return HotpBusStartDevice(Irp, BusExtension);

    case IRP_MN_REMOVE_DEVICE:
        return HotpBusRemoveDevice(DeviceObject, Irp, BusExtension);

    case IRP_MN_QUERY_DEVICE_RELATIONS:
        // Child filters are attached once the bus driver has completed the list of bus relations.
        if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            return HotpBusWatch(Irp, BusExtension, HotpAttachDeviceRelations, BusExtension);
        }
        return HotpBusPassDown(Irp, BusExtension);

    case IRP_MN_QUERY_RESOURCES:
        HotpTrace(HOTP_TRACE_DETAIL, "HotpBusDispatchPnp: IRP_MN_QUERY_RESOURCES to %08lx\n",
                  HotpTraceValue(DeviceObject));
        return HotpBusWatch(Irp, BusExtension, HotpNullCompletion, BusExtension);

    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        HotpTrace(HOTP_TRACE_DETAIL,
                  "HotpBusDispatchPnp: IRP_MN_FILTER_RESOURCE_REQUIREMENTS to %08lx\n",
                  HotpTraceValue(DeviceObject));
        // The requirements are filtered on their way down: the drivers below see the list as
        // the bridge window sizing left it.
        HotpFilterResourceRequirements(DeviceObject, Irp, BusExtension);
        return HotpBusPassDown(Irp, BusExtension);

    default:
        // Query-remove and query-stop among them: a bus filter never vetoes; the lower
        // drivers answer.
        return HotpBusPassDown(Irp, BusExtension);
    }
}

#ifdef HOTP_PLANT_CDECL_COMPLETION  // planted fault, Wine check only: leaves its arguments behind
extern "C" __attribute__((cdecl)) NTSTATUS HotpPlantedCdeclCompletion(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    HotpPropagatePending(Irp);
    return STATUS_SUCCESS;
}
#endif

// Start: with resources assigned, the request gets a completion routine that lets completion
// continue whatever the outcome; without, it goes down untouched.
extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpBusStartDevice(PIRP Irp,
                                                           HOTP_BUS_EXTENSION* BusExtension)
{
    PAGED_CODE();
    HotpCheckRecord(BusExtension);
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    if (Stack->Parameters.StartDevice.AllocatedResources != nullptr) {
        IoCopyCurrentIrpStackLocationToNext(Irp);
#ifdef HOTP_PLANT_CDECL_COMPLETION  // planted fault, Wine check only: a cdecl completion routine
        IoSetCompletionRoutine(Irp, reinterpret_cast<PIO_COMPLETION_ROUTINE>(HotpPlantedCdeclCompletion),
                               nullptr, TRUE, TRUE, TRUE);
#else
        IoSetCompletionRoutine(Irp, HotpNullCompletion, nullptr, TRUE, TRUE, TRUE);
#endif
    } else {
        IoSkipCurrentIrpStackLocation(Irp);
    }
    return IoCallDriver(BusExtension->LowerDeviceObject, Irp);
}

// Resident: runs in whatever context the lower driver completes the request. Lets completion go
// on with the lower driver's status; when a lower driver returned the request pending, the mark
// is carried up to this stack location as the I/O manager requires.
extern "C" NTSTATUS NTAPI HotpNullCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                             PVOID Context)
{
    (void)DeviceObject;
    (void)Context;
    HotpPropagatePending(Irp);
    return STATUS_SUCCESS;
}

namespace {

// Removal: a bus filter leaves the stack only while no child filter is listed under it, and it
// leaves before the request reaches the drivers below. The lower device is taken first because
// the record goes away with the device object.
HOTP_PAGEABLE NTSTATUS HotpBusRemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                           HOTP_BUS_EXTENSION* BusExtension)
{
    PAGED_CODE();
    PDEVICE_OBJECT LowerDeviceObject = BusExtension->LowerDeviceObject;
    if (BusExtension->ChildDeviceCount == 0) {
        IoDetachDevice(LowerDeviceObject);
        HotpTrace(HOTP_TRACE_DETAIL,
                  "HotpBusDispatchPnp - BusFilter %lx detached from PDO %lx (Immediate %lx)\n",
                  HotpTraceValue(DeviceObject), HotpTraceValue(BusExtension->Pdo),
                  HotpTraceValue(LowerDeviceObject));
        IoDeleteDevice(DeviceObject);
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(LowerDeviceObject, Irp);
}

HOTP_PAGEABLE NTSTATUS HotpBusPassDown(PIRP Irp, HOTP_BUS_EXTENSION* BusExtension)
{
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(BusExtension->LowerDeviceObject, Irp);
}

// Passes the request down with a completion routine invoked on success only.
HOTP_PAGEABLE NTSTATUS HotpBusWatch(PIRP Irp, HOTP_BUS_EXTENSION* BusExtension,
                                    PIO_COMPLETION_ROUTINE Routine, PVOID Context)
{
    PAGED_CODE();
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Routine, Context, TRUE, FALSE, FALSE);
    return IoCallDriver(BusExtension->LowerDeviceObject, Irp);
}

}  // namespace
