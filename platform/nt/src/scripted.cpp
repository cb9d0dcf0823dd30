#include <nt/scripted.hpp>

namespace nt {

namespace {
struct ScriptedExtension {
    ScriptedDriver* owner;
};
}  // namespace

ScriptedDriver::ScriptedDriver(Kernel& kernel, const std::u16string& name)
    : kernel_(kernel), driver_(kernel.createDriverObject(name))
{
    for (UCHAR major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) {
        driver_->MajorFunction[major] = dispatch;
    }
}

ScriptedDriver::~ScriptedDriver()
{
    // The platform's own teardown: whatever is still attached above is the test's leak and is
    // reported as such; the scripted devices themselves go quietly.
    for (PDEVICE_OBJECT device : devices_) kernel_.releasePlatformDevice(device);
}

PDEVICE_OBJECT ScriptedDriver::createDevice()
{
    PDEVICE_OBJECT device = kernel_.createDevice(driver_, sizeof(ScriptedExtension),
                                                 FILE_DEVICE_UNKNOWN, 0, false, false);
    static_cast<ScriptedExtension*>(device->DeviceExtension)->owner = this;
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    kernel_.deviceNode(device)->Flags = DNF_PROCESSED | DNF_ENUMERATED;
    devices_.push_back(device);
    return device;
}

void ScriptedDriver::script(UCHAR major, UCHAR minor, const ScriptedAction& action)
{
    script_[{major, minor}] = action;
}

bool ScriptedDriver::handlesByDefault(UCHAR minor)
{
    // The requests that change a device's PnP state, which every bus driver answers for the
    // devices it enumerates.
    switch (minor) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        return true;
    default:
        return false;
    }
}

NTSTATUS NTAPI ScriptedDriver::dispatch(PDEVICE_OBJECT device, PIRP irp)
{
    return static_cast<ScriptedExtension*>(device->DeviceExtension)->owner->handle(device, irp);
}

NTSTATUS ScriptedDriver::handle(PDEVICE_OBJECT device, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    received_.push_back(ReceivedRequest{device, irp, *stack, kernel_.irql()});
    ScriptedAction action = default_;
    auto it = script_.find({stack->MajorFunction, stack->MinorFunction});
    if (it != script_.end()) action = it->second;
    if (stack->MajorFunction == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    if (onRequest) onRequest(irp, stack);
    if (it == script_.end() && stack->MajorFunction == IRP_MJ_PNP &&
        !handlesByDefault(stack->MinorFunction)) {
        // As a bus driver does with a PnP request it does not handle: the status stays as the
        // request came (STATUS_NOT_SUPPORTED, unless a driver above handled it) or as the hook
        // answered it.
        action.status = irp->IoStatus.Status;
        action.information = 0;
    }
    if (action.pend) {
        IoMarkIrpPending(irp);
        kernel_.defer([this, irp, action] { complete(irp, action); });
        return STATUS_PENDING;
    }
    complete(irp, action);
    return action.status;
}

void ScriptedDriver::complete(PIRP irp, const ScriptedAction& action)
{
    irp->IoStatus.Status = action.status;
    if (action.information != 0) irp->IoStatus.Information = action.information;
    KIRQL saved = kernel_.irql();
    kernel_.setIrql(action.completionIrql);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    kernel_.setIrql(saved);
}

}  // namespace nt
