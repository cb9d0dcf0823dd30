// The I/O manager's contract: stack locations as lower drivers see them, the completion walk,
// pending requests, synchronous requests and events, device objects and their stacks.
#include "nt_fixture.hpp"

#include <algorithm>

namespace nt_test {
namespace {

using nt::ScriptedAction;

NTSTATUS NTAPI CopyDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(ext(DeviceObject)->lower, Irp);
}

// Passes a copy down with Record as its completion routine, invoked as the test's flags say.
NTSTATUS NTAPI CopyDownRecording(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, Record, DeviceObject, (g.invoke & SL_INVOKE_ON_SUCCESS) != 0,
                           (g.invoke & SL_INVOKE_ON_ERROR) != 0,
                           (g.invoke & SL_INVOKE_ON_CANCEL) != 0);
    return IoCallDriver(ext(DeviceObject)->lower, Irp);
}

NTSTATUS NTAPI SignalAndKeep(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Forwards a request, waits for the lower driver to finish with it and completes it itself.
NTSTATUS NTAPI ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalAndKeep, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext(DeviceObject)->lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    // The request is this driver's again, back at its own stack location.
    EXPECT_EQ(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, DeviceObject);
    Irp->IoStatus.Information = 0x5A;
    const NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
}

const ScriptedAction kPends{STATUS_SUCCESS, 7, true};
const ScriptedAction kAtOnce{STATUS_SUCCESS, 7, false};

TEST_F(NtContract, LowerDriverSeesTheSkippedOrTheCopiedLocation)
{
    struct Case {
        const char* name;
        PDRIVER_DISPATCH pass;
        CHAR lowerLocation;
        bool seesOwnersRoutine;
    };
    for (const Case& c : {Case{"skip", PassDown, 2, true}, Case{"copy", CopyDown, 1, false}}) {
        SCOPED_TRACE(c.name);
        PDEVICE_OBJECT bottom = scripted->createDevice();
        PDEVICE_OBJECT top = filter(c.pass, bottom);
        scripted->script(IRP_MJ_PNP, IRP_MN_QUERY_ID, ScriptedAction{});
        CHAR location = 0;
        scripted->onRequest = [&](PIRP irp, PIO_STACK_LOCATION) { location = irp->CurrentLocation; };
        int owner = 0;
        send(top, IRP_MJ_PNP, IRP_MN_QUERY_ID, [&](PIRP irp) {
            IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument2 = &owner;
            IoGetNextIrpStackLocation(irp)->Flags = 0x3;
            IoSetCompletionRoutine(irp, Record, &owner, TRUE, FALSE, FALSE);
        });
        const IO_STACK_LOCATION& seen = scripted->received().back().stack;
        EXPECT_EQ(location, c.lowerLocation);
        EXPECT_EQ(seen.MajorFunction, IRP_MJ_PNP);
        EXPECT_EQ(seen.MinorFunction, IRP_MN_QUERY_ID);
        EXPECT_EQ(seen.Flags, 0x3);
        EXPECT_EQ(seen.Parameters.Others.Argument2, &owner);
        EXPECT_EQ(seen.DeviceObject, bottom);
        // A copy starts clean: no control flags, no routine or context of the location above
        // (what its routine fields hold is not the lower driver's business).
        EXPECT_EQ(seen.Control, c.seesOwnersRoutine ? SL_INVOKE_ON_SUCCESS : 0);
        EXPECT_EQ(seen.CompletionRoutine == Record, c.seesOwnersRoutine);
        EXPECT_EQ(seen.Context == &owner, c.seesOwnersRoutine);
        // Either way the owner's routine runs once, when the bottom completes.
        EXPECT_EQ(g.seen.size(), 1u);
        g.seen.clear();
    }
}

class CompletionWalk : public NtContract, public ::testing::WithParamInterface<bool> {};

TEST_P(CompletionWalk, RunsRoutinesUpwardWithTheirOwnDevice)
{
    const bool pends = GetParam();
    scripted->script(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, pends ? kPends : kAtOnce);
    PDEVICE_OBJECT lower = filter(CopyDownRecording, scripted->createDevice());
    PDEVICE_OBJECT upper = filter(CopyDownRecording, lower);
    int owner = 0;
    PIRP irp = send(upper, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](PIRP r) {
        IoSetCompletionRoutine(r, Record, &owner, TRUE, TRUE, TRUE);
    });
    EXPECT_EQ(returned, pends ? STATUS_PENDING : STATUS_SUCCESS);
    EXPECT_EQ(g.seen.empty(), pends);
    kernel.drain();

    // Each routine gets the device of the driver that set it; the owner's, at the top, none.
    ASSERT_EQ(g.seen.size(), 3u);
    const PVOID contexts[] = {lower, upper, &owner};
    const PDEVICE_OBJECT devices[] = {lower, upper, nullptr};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(g.seen[i].context, contexts[i]);
        EXPECT_EQ(g.seen[i].device, devices[i]);
        EXPECT_EQ(g.seen[i].pendingReturned, pends);
    }
    // A completed request is back where its owner built it.
    EXPECT_TRUE(kernel.isCompleted(irp));
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    EXPECT_EQ(irp->CurrentLocation, irp->StackCount + 1);
    EXPECT_EQ(irp->Tail.Overlay.CurrentStackLocation,
              reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + irp->StackCount);
}

TEST_P(CompletionWalk, MoreProcessingRequiredHandsTheRequestBack)
{
    const bool pends = GetParam();
    scripted->setDefault(pends ? kPends : kAtOnce);
    PDEVICE_OBJECT top = filter(ForwardAndWait, scripted->createDevice());
    int owner = 0;
    PIRP irp = send(top, IRP_MJ_PNP, IRP_MN_START_DEVICE, [&](PIRP r) {
        IoSetCompletionRoutine(r, Record, &owner, TRUE, TRUE, TRUE);
    });
    // The walk stopped at the filter's routine; the owner's ran once, after the filter completed
    // the request again, and saw no pending since the filter answered synchronously.
    EXPECT_EQ(returned, STATUS_SUCCESS);
    EXPECT_EQ(kernel.deferredCount(), 0u);
    ASSERT_EQ(g.seen.size(), 1u);
    EXPECT_EQ(g.seen[0].device, nullptr);
    EXPECT_FALSE(g.seen[0].pendingReturned);
    EXPECT_EQ(irp->IoStatus.Information, 0x5Au);
}

INSTANTIATE_TEST_SUITE_P(Lower, CompletionWalk, ::testing::Values(false, true),
                         [](const auto& param) { return param.param ? "Pends" : "AtOnce"; });

TEST_F(NtContract, CompletionRoutineRunsOnlyWhenItsInvokeFlagsSaySo)
{
    struct Case {
        NTSTATUS status;
        bool cancel;
        UCHAR invoke;
        bool runs;
    };
    const Case cases[] = {
        {STATUS_SUCCESS, false, SL_INVOKE_ON_SUCCESS, true},
        {STATUS_SUCCESS, false, SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL, false},
        {STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_ERROR, true},
        {STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_CANCEL, false},
        {STATUS_CANCELLED, true, SL_INVOKE_ON_CANCEL, true},
        {STATUS_CANCELLED, true, SL_INVOKE_ON_SUCCESS, false},
        {STATUS_SUCCESS, true, SL_INVOKE_ON_CANCEL, true},
    };
    PDEVICE_OBJECT top = filter(CopyDownRecording, scripted->createDevice());
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << std::hex << c.status << " cancel " << c.cancel
                                          << " flags " << int{c.invoke});
        g.invoke = c.invoke;
        g.seen.clear();
        scripted->setDefault(ScriptedAction{c.status});
        PIRP irp = send(top, IRP_MJ_DEVICE_CONTROL, 0, [&](PIRP r) { r->Cancel = c.cancel; });
        EXPECT_EQ(g.seen.size(), c.runs ? 1u : 0u);
        EXPECT_EQ(irp->IoStatus.Status, c.status);
    }
}

TEST_F(NtContract, PendingIsCarriedUpThroughLocationsWithoutRoutine)
{
    scripted->setDefault(kPends);
    PDEVICE_OBJECT middle = filter(PassDown, scripted->createDevice());
    PDEVICE_OBJECT top = filter(CopyDown, middle);
    int owner = 0;
    send(top, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
         [&](PIRP r) { IoSetCompletionRoutine(r, Record, &owner, TRUE, TRUE, TRUE); });
    EXPECT_EQ(returned, STATUS_PENDING);
    EXPECT_TRUE(g.seen.empty());
    kernel.drain();
    ASSERT_EQ(g.seen.size(), 1u);
    EXPECT_TRUE(g.seen[0].pendingReturned);
}

TEST_F(NtContract, SynchronousRequestIsAnsweredThroughEventAndStatusBlock)
{
    scripted->script(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                     ScriptedAction{STATUS_NOT_IMPLEMENTED, 0x77, true});
    PDEVICE_OBJECT top = filter(PassDown, scripted->createDevice());
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done, &status);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(irp->StackCount, top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;

    EXPECT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    EXPECT_EQ(done.Header.SignalState, 0);
    EXPECT_EQ(kernel.deferredCount(), 1u);
    // The wait lets the lower driver finish; the I/O manager fills the status block, signals
    // the event and frees the request (the leak check at teardown holds it to that).
    EXPECT_EQ(KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel.deferredCount(), 0u);
    EXPECT_EQ(status.Status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(status.Information, 0x77u);
}

// The I/O manager writes the caller's status block and signals its event unless the request
// ends in an error without having been pended: then IoCallDriver's status is the only answer,
// and a caller that waits regardless waits for ever.
TEST_F(NtContract, SynchronousRequestAnswersThroughTheBlockUnlessItFailsAtOnce)
{
    struct Case {
        const char* name;
        ScriptedAction answer;
        bool answered;  // status block written and event signalled
    };
    const NTSTATUS kBufferOverflow = static_cast<NTSTATUS>(0x80000005);  // a warning
    const Case cases[] = {
        {"success at once", {STATUS_SUCCESS, 5, false}, true},
        {"warning at once", {kBufferOverflow, 5, false}, true},
        {"error at once", {STATUS_NOT_IMPLEMENTED, 5, false}, false},
        {"error pended", {STATUS_NOT_IMPLEMENTED, 5, true}, true},
    };
    PDEVICE_OBJECT top = filter(PassDown, scripted->createDevice());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scripted->script(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, c.answer);
        KEVENT done;
        KeInitializeEvent(&done, NotificationEvent, FALSE);
        IO_STATUS_BLOCK block{static_cast<NTSTATUS>(0x12345678), 0x9};
        PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, top, nullptr, 0, nullptr, &done,
                                                &block);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        IoGetNextIrpStackLocation(irp)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        const NTSTATUS status = IoCallDriver(top, irp);
        EXPECT_EQ(status, c.answer.pend ? STATUS_PENDING : c.answer.status);
        kernel.drain();
        EXPECT_EQ(done.Header.SignalState, c.answered ? 1 : 0);
        EXPECT_EQ(block.Status, c.answered ? c.answer.status : 0x12345678);
        EXPECT_EQ(block.Information, c.answered ? 5u : 0x9u);
        EXPECT_TRUE(kernel.isCompleted(irp));  // freed by the I/O manager either way
    }
}

// The scripted bus driver answers the requests that change a device's state, and leaves every
// other PnP request as it came unless a test scripts it.
TEST_F(NtContract, UnscriptedPnpRequestsKeepTheirStatus)
{
    struct Case {
        const char* name;
        UCHAR minor;
        bool scripted;
        NTSTATUS sentWith;
        NTSTATUS expected;
    };
    const Case cases[] = {
        {"query id", IRP_MN_QUERY_ID, false, STATUS_NOT_SUPPORTED, STATUS_NOT_SUPPORTED},
        {"query id, answered above", IRP_MN_QUERY_ID, false, STATUS_SUCCESS, STATUS_SUCCESS},
        {"query id, scripted", IRP_MN_QUERY_ID, true, STATUS_NOT_SUPPORTED,
         STATUS_NOT_IMPLEMENTED},
        {"start", IRP_MN_START_DEVICE, false, STATUS_NOT_SUPPORTED, STATUS_SUCCESS},
        {"surprise removal", IRP_MN_SURPRISE_REMOVAL, false, STATUS_NOT_SUPPORTED,
         STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        nt::ScriptedDriver lower(kernel, u"\\Driver\\Bus");
        if (c.scripted) lower.script(IRP_MJ_PNP, c.minor, ScriptedAction{STATUS_NOT_IMPLEMENTED});
        PDEVICE_OBJECT pdo = lower.createDevice();
        PIRP irp = send(pdo, IRP_MJ_PNP, c.minor, [&](PIRP r) { r->IoStatus.Status = c.sentWith; });
        EXPECT_EQ(irp->IoStatus.Status, c.expected);
        EXPECT_EQ(returned, c.expected);
    }
}

TEST_F(NtContract, SynchronousRequestKeptByItsRoutineIsFinishedByCompletingItAgain)
{
    PDEVICE_OBJECT top = filter(PassDown, scripted->createDevice());
    KEVENT done, kept;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    KeInitializeEvent(&kept, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, top, nullptr, 0, nullptr, &done,
                                            &status);
    ASSERT_NE(irp, nullptr);
    IoSetCompletionRoutine(irp, SignalAndKeep, &kept, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    // The builder's routine kept the request: the I/O manager has not finished it yet.
    EXPECT_EQ(kept.Header.SignalState, 1);
    EXPECT_EQ(done.Header.SignalState, 0);
    EXPECT_FALSE(kernel.isCompleted(irp));
    irp->IoStatus.Information = 0x42;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    EXPECT_EQ(done.Header.SignalState, 1);
    EXPECT_EQ(status.Status, STATUS_SUCCESS);
    EXPECT_EQ(status.Information, 0x42u);
}

TEST_F(NtContract, EventsFollowTheirType)
{
    KEVENT synchronization, notification;
    KeInitializeEvent(&synchronization, SynchronizationEvent, TRUE);
    KeInitializeEvent(&notification, NotificationEvent, FALSE);
    LARGE_INTEGER poll{};
    auto wait = [](KEVENT& event, PLARGE_INTEGER timeout) {
        return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout);
    };
    // A satisfied wait resets a synchronization event, never a notification event.
    EXPECT_EQ(wait(synchronization, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(wait(synchronization, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&notification, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(wait(notification, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(wait(notification, &poll), STATUS_SUCCESS);
    // A poll returns at once; a real wait lets pended work run until the event is set.
    kernel.defer([&] { KeSetEvent(&synchronization, IO_NO_INCREMENT, FALSE); });
    EXPECT_EQ(wait(synchronization, &poll), STATUS_TIMEOUT);
    EXPECT_EQ(wait(synchronization, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(kernel.deferredCount(), 0u);
}

TEST_F(NtContract, CreatedDeviceIsInitialisingWithZeroedExtension)
{
    PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\Test");
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 100, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &first),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_SUCCESS);
    const auto* extension = static_cast<const UCHAR*>(first->DeviceExtension);
    EXPECT_TRUE(std::all_of(extension, extension + 100, [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(second->DeviceExtension, nullptr);
    EXPECT_NE(first->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(first->DeviceType, FILE_DEVICE_BUS_EXTENDER);
    EXPECT_EQ(first->DriverObject, driver);
    // The driver's device list is newest first and loses each device as it is deleted.
    EXPECT_EQ(driver->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    IoDeleteDevice(second);
    EXPECT_EQ(driver->DeviceObject, first);
    IoDeleteDevice(first);
    EXPECT_EQ(driver->DeviceObject, nullptr);
}

TEST_F(NtContract, AttachmentStacksOnTheTopAndRequestsEnterThere)
{
    PDEVICE_OBJECT pdo = scripted->createDevice();
    pdo->AlignmentRequirement = 3;
    PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\Test");
    driver->MajorFunction[IRP_MJ_PNP] = PassDown;  // every other major stays unset
    PDEVICE_OBJECT lower = nullptr, upper = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &lower), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver, sizeof(TestExtension), nullptr, FILE_DEVICE_UNKNOWN, 0,
                             FALSE, &upper), STATUS_SUCCESS);

    ext(lower)->lower = IoAttachDeviceToDeviceStack(lower, pdo);
    EXPECT_EQ(ext(lower)->lower, pdo);
    EXPECT_EQ(pdo->AttachedDevice, lower);
    EXPECT_EQ(lower->DeviceObjectExtension->AttachedTo, pdo);
    EXPECT_EQ(lower->StackSize, 2);
    EXPECT_EQ(lower->AlignmentRequirement, 3u);
    // Nothing attaches above a device its driver is still initialising.
    EXPECT_EQ(IoAttachDeviceToDeviceStack(upper, pdo), nullptr);
    EXPECT_EQ(lower->AttachedDevice, nullptr);
    lower->Flags &= ~DO_DEVICE_INITIALIZING;
    // Attaching to the bottom of a stack lands on its top.
    ext(upper)->lower = IoAttachDeviceToDeviceStack(upper, pdo);
    EXPECT_EQ(ext(upper)->lower, lower);
    EXPECT_EQ(upper->StackSize, 3);
    EXPECT_EQ(upper->AlignmentRequirement, 3u);

    // Requests enter at the top; an unset major meets the invalid-request handler there.
    PIRP control = send(pdo, IRP_MJ_DEVICE_CONTROL, 0);
    EXPECT_EQ(returned, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(control->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_TRUE(scripted->received().empty());
    send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID);
    ASSERT_EQ(scripted->received().size(), 1u);
    EXPECT_EQ(scripted->received()[0].device, pdo);

    // Detaching unhooks exactly the device above the one named.
    IoDetachDevice(lower);
    EXPECT_EQ(lower->AttachedDevice, nullptr);
    EXPECT_EQ(upper->DeviceObjectExtension->AttachedTo, nullptr);
    EXPECT_EQ(pdo->AttachedDevice, lower);
    IoDetachDevice(pdo);
    EXPECT_EQ(pdo->AttachedDevice, nullptr);
    IoDeleteDevice(upper);
    IoDeleteDevice(lower);
}

}  // namespace
}  // namespace nt_test
