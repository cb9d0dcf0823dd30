// A small lower driver whose answers a test chooses: each request is completed with a scripted
// status, at once or pended and completed later from the kernel's deferred work. For tests of
// request plumbing; the PCI bus driver stands beneath the filters everywhere else.
#pragma once

#include <nt/kernel.hpp>

namespace nt {

struct ScriptedAction {
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool pend = false;
    KIRQL completionIrql = PASSIVE_LEVEL;
};

struct ReceivedRequest {
    PDEVICE_OBJECT device;
    PIRP irp;
    IO_STACK_LOCATION stack;  // the stack location as the scripted driver found it
    KIRQL irql;
};

class ScriptedDriver {
public:
    explicit ScriptedDriver(Kernel& kernel, const std::u16string& name = u"\\Driver\\Scripted");
    ~ScriptedDriver();
    ScriptedDriver(const ScriptedDriver&) = delete;
    ScriptedDriver& operator=(const ScriptedDriver&) = delete;

    PDRIVER_OBJECT driverObject() const { return driver_; }
    // A physical device object of this driver, ready to take attachments.
    PDEVICE_OBJECT createDevice();

    // The answer to every request not scripted. A PnP request that changes no device state is
    // answered by the default only when scripted: otherwise it keeps the status it came with,
    // as a bus driver leaves the PnP requests it does not handle.
    void setDefault(const ScriptedAction& action) { default_ = action; }
    void script(UCHAR major, UCHAR minor, const ScriptedAction& action);
    // Called for each request before it is answered; may fill IoStatus.Information, and answers
    // an unscripted PnP request that changes no device state by setting IoStatus.Status.
    std::function<void(PIRP, PIO_STACK_LOCATION)> onRequest;

    const std::vector<ReceivedRequest>& received() const { return received_; }
    void clearReceived() { received_.clear(); }

private:
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp);
    static bool handlesByDefault(UCHAR minor);
    NTSTATUS handle(PDEVICE_OBJECT device, PIRP irp);
    void complete(PIRP irp, const ScriptedAction& action);

    Kernel& kernel_;
    PDRIVER_OBJECT driver_;
    std::vector<PDEVICE_OBJECT> devices_;
    ScriptedAction default_;
    std::map<std::pair<UCHAR, UCHAR>, ScriptedAction> script_;
    std::vector<ReceivedRequest> received_;
};

}  // namespace nt
