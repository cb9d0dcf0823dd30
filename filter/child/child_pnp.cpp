// PnP and power dispatch of a child filter. A child filter passes its requests down unchanged;
// classification, programming and removal bookkeeping hook into these routines.
#include "../frame/routines.h"
#include "../frame/trace.h"

// Pageable: HotpChildDeviceDispatchPnp.

extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpChildDeviceDispatchPnp(
    PDEVICE_OBJECT DeviceObject, PIRP Irp, HOTP_CHILD_EXTENSION* ChildExtension)
{
    PAGED_CODE();
    (void)DeviceObject;
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ChildExtension->LowerDeviceObject, Irp);
}

// Resident: power requests may be sent at dispatch level.
extern "C" NTSTATUS NTAPI HotpChildDeviceDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                       HOTP_CHILD_EXTENSION* ChildExtension)
{
    (void)DeviceObject;
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ChildExtension->LowerDeviceObject, Irp);
}
