// A minimal function driver for ordinary PCI devices.
#include <pcibus/bus_driver.hpp>

namespace pcibus {

namespace {
struct GenericExtension {
    PDEVICE_OBJECT lower;
    // The remove lock: power requests in progress. Removal waits until none is, as a function
    // driver's IoReleaseRemoveLockAndWait does, so no request below outlives the device.
    LONG held;
};

NTSTATUS NTAPI powerDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    --static_cast<GenericExtension*>(context)->held;
    nt::Kernel::current().sync(context, true);
    return STATUS_SUCCESS;
}
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
    auto* extension = static_cast<GenericExtension*>(device->DeviceExtension);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        ++extension->held;
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, powerDone, extension, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(lower, irp);
    }
    const bool remove = stack->MajorFunction == IRP_MJ_PNP &&
                        stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    if (remove) {
        nt::Kernel::current().waitUntil([extension] { return extension->held == 0; });
        nt::Kernel::current().sync(extension, false);
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

}  // namespace pcibus
