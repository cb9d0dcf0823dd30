// A minimal function driver for ordinary PCI devices.
#include <pcibus/bus_driver.hpp>

namespace pcibus {

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
