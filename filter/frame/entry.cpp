// Driver entry, the dispatch table, the pass-through routines and the routers that send PnP and
// power requests to the bus or the child handlers by record kind.
#include "routines.h"
#include "trace.h"

extern "C" {
volatile ULONG HotpDebugPrintLevel = 0;
volatile ULONG HotpDebugBreakLevel = 0;
}

// Pageable: DriverEntry, HotpDispatchDeviceControl, HotpDispatchPnp.

// Called once when the image loads. Fills the dispatch table and names the add-device routine;
// reads nothing from the registry and cannot fail. No unload routine is set, so the driver stays
// loaded.
extern "C" HOTP_PAGEABLE NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject,
                                                    PUNICODE_STRING RegistryPath)
{
    PAGED_CODE();
    (void)RegistryPath;

    constexpr UCHAR PassThroughMajors[] = {
        IRP_MJ_CREATE,   IRP_MJ_CLOSE,    IRP_MJ_READ,
        IRP_MJ_WRITE,    IRP_MJ_FLUSH_BUFFERS, IRP_MJ_INTERNAL_DEVICE_CONTROL,
        IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP,  IRP_MJ_SYSTEM_CONTROL,
    };
    for (UCHAR Major : PassThroughMajors) {
        DriverObject->MajorFunction[Major] = HotpDispatchPassThrough;
    }
    DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = HotpDispatchDeviceControl;
    DriverObject->MajorFunction[IRP_MJ_POWER] = HotpDispatchPower;
    DriverObject->MajorFunction[IRP_MJ_PNP] = HotpDispatchPnp;
    DriverObject->DriverExtension->AddDevice = HotpAddDevice;
    return STATUS_SUCCESS;
}

// Device control is only ever seen at passive level, so its pass-through may be paged out.
extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject,
                                                                  PIRP Irp)
{
    PAGED_CODE();
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(HotpCommonHeader(DeviceObject)->LowerDeviceObject, Irp);
}

// PnP requests arrive at passive level in the PnP manager's thread.
extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    PAGED_CODE();
    HOTP_COMMON_HEADER* Header = HotpCommonHeader(DeviceObject);
    if (HotpIsBusRecord(Header)) {
        return HotpBusDispatchPnp(DeviceObject, Irp, reinterpret_cast<HOTP_BUS_EXTENSION*>(Header));
    }
    return HotpChildDeviceDispatchPnp(DeviceObject, Irp,
                                      reinterpret_cast<HOTP_CHILD_EXTENSION*>(Header));
}

// Resident: reads, writes and the other passed-through majors may come at dispatch level.
// Hands the request to the next lower device with the same stack contents.
extern "C" NTSTATUS NTAPI HotpDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(HotpCommonHeader(DeviceObject)->LowerDeviceObject, Irp);
}

// Resident: power requests may be sent at dispatch level.
extern "C" NTSTATUS NTAPI HotpDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    HOTP_COMMON_HEADER* Header = HotpCommonHeader(DeviceObject);
    if (HotpIsBusRecord(Header)) {
        return HotpBusDispatchPower(DeviceObject, Irp,
                                    reinterpret_cast<HOTP_BUS_EXTENSION*>(Header));
    }
    return HotpChildDeviceDispatchPower(DeviceObject, Irp,
                                        reinterpret_cast<HOTP_CHILD_EXTENSION*>(Header));
}

// Resident. A bus filter neither inspects nor completes power requests: it lets the power
// manager start the next one and passes this one down unchanged.
extern "C" NTSTATUS NTAPI HotpBusDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                               HOTP_BUS_EXTENSION* BusExtension)
{
    (void)DeviceObject;
    HotpCheckRecord(BusExtension);
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(BusExtension->LowerDeviceObject, Irp);
}
