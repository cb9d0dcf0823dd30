// A minimal function driver for ordinary PCI devices.
#include <pcibus/bus_driver.hpp>

namespace pcibus {

namespace {

constexpr ULONG kRemoveLockTag = 0x76656447;  // "Gdev"

struct GenericExtension {
    PDEVICE_OBJECT lower;
    // Held for every request the driver works on; removal waits until none is, so that no
    // request below outlives the device, and refuses every request after it.
    IO_REMOVE_LOCK removeLock;
};

// A power request is held until it has come back up: the lock goes once the drivers below are
// done with it.
NTSTATUS NTAPI powerDone(PDEVICE_OBJECT, PIRP irp, PVOID context)
{
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    IoReleaseRemoveLock(&static_cast<GenericExtension*>(context)->removeLock, irp);
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
    IoInitializeRemoveLock(&extension->removeLock, kRemoveLockTag, 0, 0);
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
    auto* extension = static_cast<GenericExtension*>(device->DeviceExtension);
    PDEVICE_OBJECT lower = extension->lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const bool power = stack->MajorFunction == IRP_MJ_POWER;
    if (!NT_SUCCESS(IoAcquireRemoveLock(&extension->removeLock, irp))) {
        // The device is being removed: the request goes no further.
        if (power) PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_DELETE_PENDING;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_DELETE_PENDING;
    }
    if (power) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, powerDone, extension, TRUE, TRUE, TRUE);
        PoStartNextPowerIrp(irp);
        return PoCallDriver(lower, irp);
    }
    if (stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        // Every request still in progress comes back first.
        IoReleaseRemoveLockAndWait(&extension->removeLock, irp);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        IoDetachDevice(lower);
        IoDeleteDevice(device);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IoCallDriver(lower, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

}  // namespace pcibus
