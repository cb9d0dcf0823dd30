// The routines drivers call for objects, requests, events and pool: each hands over to the part
// of the stand-in kernel that does the job.
#include <nt/kernel.hpp>
#include <nt/sched.hpp>

#include <cstring>
#include <cstdio>
#include <cstdlib>

// --- the routines drivers call ------------------------------------------------------------------

using nt::Kernel;

extern "C" {

NTSTATUS NTAPI NT_IMAGE_CALLABLE IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    Kernel::current().preempt();
    PDEVICE_OBJECT device = Kernel::current().createDevice(
        DriverObject, DeviceExtensionSize, DeviceType, DeviceCharacteristics, Exclusive != 0);
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI NT_IMAGE_CALLABLE IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    Kernel::current().preempt();
    return Kernel::current().attachDevice(SourceDevice, TargetDevice);
}

VOID NTAPI NT_IMAGE_CALLABLE IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    Kernel::current().preempt();
    Kernel::current().detachDevice(TargetDevice);
}

VOID NTAPI NT_IMAGE_CALLABLE IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    if (kernel.irql() > PASSIVE_LEVEL) {
        kernel.violation("IoDeleteDevice at raised IRQL", "IRQL " + std::to_string(kernel.irql()));
    }
    kernel.deleteDevice(DeviceObject);
}

NTSTATUS FASTCALL NT_IMAGE_CALLABLE IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return Kernel::current().callDriver(DeviceObject, Irp, false);
}

// A request completed happens before whatever its sender does once it sees it completed.
VOID FASTCALL NT_IMAGE_CALLABLE IofCompleteRequest(PIRP Irp, CCHAR)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    kernel.sync(Irp, true);
    kernel.completeRequest(Irp);
}

PIRP NTAPI NT_IMAGE_CALLABLE IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    Kernel::current().checkIrql("IoAllocateIrp", DISPATCH_LEVEL);
    return Kernel::current().allocateIrp(StackSize);
}

VOID NTAPI NT_IMAGE_CALLABLE IoFreeIrp(PIRP Irp)
{
    Kernel::current().checkIrql("IoFreeIrp", DISPATCH_LEVEL);
    Kernel::current().freeIrp(Irp);
}

PIRP NTAPI NT_IMAGE_CALLABLE IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    kernel.checkIrql("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL);
    if (kernel.usedAfterDelete(DeviceObject, "IoBuildSynchronousFsdRequest")) return nullptr;
    if (kernel.faults().shouldFail(nt::FaultPoint::BuildRequest)) return nullptr;
    PIRP irp = kernel.newIrp(DeviceObject->StackSize, true);
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Length));
        next->Parameters.Others.Argument3 = StartingOffset;
    }
    irp->UserBuffer = Buffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

VOID NTAPI NT_IMAGE_CALLABLE KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State;
}

LONG NTAPI NT_IMAGE_CALLABLE KeSetEvent(PRKEVENT Event, LONG, BOOLEAN)
{
    if (Kernel::hasCurrent()) {
        Kernel::current().checkIrql("KeSetEvent", DISPATCH_LEVEL);
        Kernel::current().sync(Event, true);
    }
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    return previous;
}

// Without simulated processors the stand-in runs one thread: a wait runs the deferred work
// (completions that lower drivers pended) until the object is signalled, as the other threads of
// a real machine would. With them, the waiting thread blocks until the DPC runner or another
// thread signals the object.
NTSTATUS NTAPI NT_IMAGE_CALLABLE KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout)
{
    Kernel& kernel = Kernel::current();
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && kernel.irql() > APC_LEVEL) {
        kernel.violation("wait at raised IRQL", "KeWaitForSingleObject at IRQL " +
                                                    std::to_string(kernel.irql()));
    }
    kernel.preempt();
    auto* event = static_cast<PKEVENT>(Object);
    // The DPC runner waiting inside pended work it runs has nobody else to run the rest: it runs
    // it itself, as the one-thread stand-in does.
    if (kernel.scheduler() != nullptr && kernel.scheduler()->inThread() && !kernel.runningDeferredHere()) {
        // Nobody left to signal it once no work is pending: that wait is never satisfied.
        if (!poll) kernel.scheduler()->blockUntil([event, &kernel] {
            return event->Header.SignalState != 0 || !kernel.workPending();
        });
    } else {
        while (event->Header.SignalState == 0 && !poll && kernel.runOneDeferred()) {
        }
    }
    if (event->Header.SignalState != 0) kernel.sync(event, false);
    if (event->Header.SignalState == 0) {
        if (Timeout == nullptr) {
            kernel.violation("wait never satisfied",
                             "KeWaitForSingleObject with no time-out on an event nobody sets");
        }
        return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

KIRQL NTAPI NT_IMAGE_CALLABLE KeGetCurrentIrql(VOID) { return Kernel::current().irql(); }

VOID NTAPI NT_IMAGE_CALLABLE PoStartNextPowerIrp(PIRP Irp)
{
    Kernel::current().preempt();
    Kernel::current().checkIrql("PoStartNextPowerIrp", DISPATCH_LEVEL);
    Kernel::current().startNextPowerIrp(Irp);
}

NTSTATUS NTAPI NT_IMAGE_CALLABLE PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    if (Kernel::IrpRecord* record = kernel.irpRecord(Irp)) {
        if (Kernel::Activation* caller = kernel.innermostActivation(Irp)) {
            Kernel::IrpRecord::PowerVisit& visit = record->powerVisit(caller->device);
            if (visit.startedNext != 1) {
                visit.reported = true;
                kernel.violation("PoCallDriver without PoStartNextPowerIrp",
                                 "a power request passed down without exactly one "
                                 "PoStartNextPowerIrp by the passing driver");
            }
        }
    }
    return kernel.callDriver(DeviceObject, Irp, true);
}

PVOID NTAPI NT_IMAGE_CALLABLE ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    Kernel::current().preempt();
    return Kernel::current().allocatePool(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI NT_IMAGE_CALLABLE ExFreePool(PVOID P)
{
    Kernel::current().preempt();
    Kernel::current().freePool(P);
}

PVOID NTAPI NT_IMAGE_CALLABLE IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    Kernel::current().preempt();
    return Kernel::current().allocateErrorLogEntry(IoObject, EntrySize);
}

VOID NTAPI NT_IMAGE_CALLABLE IoWriteErrorLogEntry(PVOID ElEntry)
{
    Kernel::current().preempt();
    Kernel::current().writeErrorLogEntry(ElEntry);
}

// The caller's return address is what a debugger's stack shows as the place of the break.
VOID NTAPI NT_IMAGE_CALLABLE DbgBreakPoint(VOID) { Kernel::current().breakpoint(__builtin_return_address(0)); }

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message)
{
    std::fprintf(stderr, "*** Assertion failed: %s%s%s\n***   Source File: %s, line %u\n",
                 static_cast<const char*>(FailedAssertion), Message != nullptr ? " " : "",
                 Message != nullptr ? Message : "", static_cast<const char*>(FileName),
                 static_cast<unsigned>(LineNumber));
    std::abort();
}

VOID NTAPI NT_IMAGE_CALLABLE NtStandInTouchIrp(PIRP Irp) { Kernel::current().touchIrp(Irp, "stack access"); }

VOID NTAPI NT_IMAGE_CALLABLE NtStandInPagedCode(PCSTR Routine)
{
    Kernel& kernel = Kernel::current();
    if (kernel.irql() > APC_LEVEL) {
        kernel.violation("pageable code at raised IRQL",
                         std::string(Routine) + " ran at IRQL " + std::to_string(kernel.irql()));
    }
}

}  // extern "C"
