// Every rule the verifier checks, each broken by a deliberately wrong routine of a test driver,
// next to routines that do the same job correctly and must pass unremarked.
#include "nt_fixture.hpp"

#include <cstring>

namespace nt_test {
namespace {

using nt::ScriptedAction;

const ScriptedAction kPends{STATUS_SUCCESS, 0, true};
const ScriptedAction kAtDispatch{STATUS_SUCCESS, 0, false, DISPATCH_LEVEL};
constexpr KIRQL kDeviceIrql = 5;

// The routines of the table are written in the default calling convention, as lambdas are; the
// platform calls them through the NTAPI routines at the end of the table.
using Dispatch = NTSTATUS (*)(PDEVICE_OBJECT, PIRP);
using Completion = NTSTATUS (*)(PDEVICE_OBJECT, PIRP, PVOID);

// --- routines more than one row runs ----------------------------------------------------------

NTSTATUS NTAPI ForgetsPendingFlag(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS ForwardWithCompletion(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, g.completion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ext(Device)->lower, Irp);
}
NTSTATUS FailsRequest(PDEVICE_OBJECT, PIRP Irp) { return finish(Irp, STATUS_UNSUCCESSFUL); }
NTSTATUS PassesPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext(Device)->lower, Irp);
}
void PageableHelper() { PAGED_CODE(); }
NTSTATUS PassesPowerThroughPageableCode(PDEVICE_OBJECT Device, PIRP Irp)
{
    PageableHelper();
    return PassesPower(Device, Irp);
}
NTSTATUS RemovesCorrectly(PDEVICE_OBJECT Device, PIRP Irp)
{
    PDEVICE_OBJECT lower = ext(Device)->lower;
    NTSTATUS status = PassDown(Device, Irp);
    IoDetachDevice(lower);
    IoDeleteDevice(Device);
    return status;
}
// Answers as the driver that handles the request would, and passes it down.
NTSTATUS HandlesAndPassesDown(PDEVICE_OBJECT Device, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Device, Irp);
}
NTSTATUS WritesAfterPassingOn(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS status = PassDown(Device, Irp);
    Irp->IoStatus.Information = 0x99;
    return status;
}

// How a routine asking the device below gets it wrong. AlwaysWaits ignores IoCallDriver's
// status and waits for the event, which a request that fails at once never signals.
enum class Slip { None, NoInitialStatus, TouchAfterWait, FreeAfterWait, BuildAtDispatch, AlwaysWaits };

// Asks the device below with a synchronous request and answers with what it said.
NTSTATUS QueryBelow(PDEVICE_OBJECT Device, PIRP Irp, Slip slip)
{
    PDEVICE_OBJECT lower = ext(Device)->lower;
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IO_STATUS_BLOCK status{};
    PIRP query = nullptr;
    const KIRQL buildIrql = slip == Slip::BuildAtDispatch ? DISPATCH_LEVEL : PASSIVE_LEVEL;
    nt::Kernel::current().setIrql(buildIrql);
    query = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, lower, nullptr, 0, nullptr, &done, &status);
    nt::Kernel::current().setIrql(PASSIVE_LEVEL);
    if (slip != Slip::NoInitialStatus) query->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(query)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    if (IoCallDriver(lower, query) == STATUS_PENDING || slip == Slip::AlwaysWaits) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    if (slip == Slip::TouchAfterWait) (void)IoGetNextIrpStackLocation(query);
    if (slip == Slip::FreeAfterWait) IoFreeIrp(query);
    return finish(Irp, status.Status);
}
template <Slip slip>
NTSTATUS QueriesBelow(PDEVICE_OBJECT Device, PIRP Irp)
{
    return QueryBelow(Device, Irp, slip);
}

enum class Release { AfterWait, InRoutine, WithoutWaiting };

struct OwnRequest {
    KEVENT done;
    NTSTATUS status;
    Release release;
};

NTSTATUS NTAPI Reclaim(PDEVICE_OBJECT, PIRP Irp, PVOID Context)
{
    auto* own = static_cast<OwnRequest*>(Context);
    own->status = Irp->IoStatus.Status;
    if (own->release == Release::InRoutine) IoFreeIrp(Irp);
    KeSetEvent(&own->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Asks the device below with a request of its own, which it frees itself.
template <Release release>
NTSTATUS AsksWithOwnRequest(PDEVICE_OBJECT Device, PIRP Irp)
{
    PDEVICE_OBJECT lower = ext(Device)->lower;
    PIRP own = IoAllocateIrp(lower->StackSize, FALSE);
    own->IoStatus.Status = STATUS_NOT_SUPPORTED;
    IoGetNextIrpStackLocation(own)->MajorFunction = IRP_MJ_PNP;
    IoGetNextIrpStackLocation(own)->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    OwnRequest context{{}, STATUS_SUCCESS, release};
    KeInitializeEvent(&context.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(own, Reclaim, &context, TRUE, TRUE, TRUE);
    const NTSTATUS sent = IoCallDriver(lower, own);
    if (release == Release::WithoutWaiting) {
        IoFreeIrp(own);
        return finish(Irp, STATUS_SUCCESS);
    }
    if (sent == STATUS_PENDING) {
        KeWaitForSingleObject(&context.done, Executive, KernelMode, FALSE, nullptr);
    }
    if (release == Release::AfterWait) IoFreeIrp(own);
    return finish(Irp, context.status);
}

NTSTATUS NTAPI KeepOnTheWayUp(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Runs `work` at `irql` and comes back to where the routine was.
template <typename Work>
void atIrql(KIRQL irql, Work work)
{
    nt::Kernel& kernel = nt::Kernel::current();
    const KIRQL saved = kernel.irql();
    kernel.setIrql(irql);
    work();
    kernel.setIrql(saved);
}

// --- the table ------------------------------------------------------------------------------

struct Misdeed {
    const char* name;
    std::vector<std::string> rules;   // what the verifier must report, in order
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = 0;
    ScriptedAction below{};           // how the scripted driver below answers
    bool attached = true;
    const char* detail = nullptr;     // to be named in the first violation's detail
    ULONG topFlags = 0;               // device flags of the routine's own device
    ULONG bottomFlags = 0;            // and of the device below it
    Dispatch lowerRoutine = nullptr;  // a test driver below instead
    Dispatch routine = nullptr;       // dispatch routine of the filter the request is sent to
    Completion completion = nullptr;  // for ForwardWithCompletion
};

void PrintTo(const Misdeed& m, std::ostream* os) { *os << m.name; }

const Misdeed kMisdeeds[] = {
    // Correct routines: the verifier must stay quiet.
    {.name = "PassesPower", .rules = {}, .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER,
     .routine = PassesPower},
    {.name = "FailsQueryRemove", .rules = {}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_QUERY_REMOVE_DEVICE, .routine = FailsRequest},
    {.name = "QueriesBelow", .rules = {}, .below = kPends, .routine = QueriesBelow<Slip::None>},
    {.name = "AsksAndFreesAfterWait", .rules = {}, .below = kPends,
     .routine = AsksWithOwnRequest<Release::AfterWait>},
    {.name = "AsksAndFreesAfterWaitAtOnce", .rules = {},
     .routine = AsksWithOwnRequest<Release::AfterWait>},
    {.name = "AsksAndFreesInRoutine", .rules = {}, .below = kPends,
     .routine = AsksWithOwnRequest<Release::InRoutine>},
    {.name = "RemovesCorrectly", .rules = {}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE, .routine = RemovesCorrectly},
    // A bus driver deleting the device of a vanished function while its filters are still
    // attached; they detach as their own removal returns.
    {.name = "RemovesAboveDeletedDevice", .rules = {}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE,
     .lowerRoutine =
         [](PDEVICE_OBJECT Device, PIRP Irp) {
             finish(Irp, STATUS_SUCCESS);
             IoDeleteDevice(Device);
             return STATUS_SUCCESS;
         },
     .routine = RemovesCorrectly},
    // Non-paged pool and a zero time-out poll are what dispatch level allows.
    {.name = "KeepsToDispatchRules", .rules = {}, .below = kAtDispatch,
     .routine = ForwardWithCompletion, .completion = [](PDEVICE_OBJECT, PIRP, PVOID) {
         ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
         KEVENT ready;
         KeInitializeEvent(&ready, NotificationEvent, FALSE);
         LARGE_INTEGER poll{};
         KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &poll);
         return STATUS_SUCCESS;
     }},

    // Requests passed on and completed.
    {.name = "TouchesAfterPassingOn", .rules = {"request touched after it was passed on"},
     .below = kPends, .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         NTSTATUS status = PassDown(Device, Irp);
         (void)IoGetCurrentIrpStackLocation(Irp);
         return status;
     }},
    {.name = "TouchesAfterCompleting", .rules = {"request touched after completion"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         finish(Irp, STATUS_SUCCESS);
         (void)IoGetCurrentIrpStackLocation(Irp);
         return STATUS_SUCCESS;
     }},
    {.name = "CompletesTwice", .rules = {"request completed twice"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         finish(Irp, STATUS_SUCCESS);
         IoCompleteRequest(Irp, IO_NO_INCREMENT);
         return STATUS_SUCCESS;
     }},
    {.name = "CompletesWithPending", .rules = {"request completed with STATUS_PENDING"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         finish(Irp, STATUS_PENDING);
         return STATUS_SUCCESS;
     }},
    {.name = "ReturnsPendingUnmarked", .rules = {"pending not marked"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         finish(Irp, STATUS_SUCCESS);
         return STATUS_PENDING;
     }},
    {.name = "DropsPendingFlag", .rules = {"pending flag dropped"}, .below = kPends,
     .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }},
    {.name = "MarksPendingReturnsSuccess", .rules = {"pending marked but not returned"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         IoMarkIrpPending(Irp);
         return finish(Irp, STATUS_SUCCESS);
     }},
    // Its device never attached, so its stack size has no room for the device it forwards to.
    {.name = "ForwardsWithoutRoom", .rules = {"too few stack locations"}, .attached = false,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         return IoCallDriver(ext(Device)->lower, Irp);
     }},
    {.name = "SendsToDeletedDevice", .rules = {"request sent to a deleted device"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         IoCopyCurrentIrpStackLocationToNext(Irp);
         return IoCallDriver(ext(Device)->other, Irp);
     }},
    // Sends a request laid out by hand in pool instead of built by the I/O manager.
    {.name = "SendsUnknownRequest", .rules = {"unknown request"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         const SIZE_T size = sizeof(IRP) + 2 * sizeof(IO_STACK_LOCATION);
         auto* fake = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
         std::memset(fake, 0, size);
         IoCallDriver(ext(Device)->lower, fake);
         ExFreePool(fake);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "FailsRemove", .rules = {"removal or cancel failed", "removal without detach and delete"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE, .routine = FailsRequest},
    {.name = "FailsSurpriseRemoval", .rules = {"removal or cancel failed"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_SURPRISE_REMOVAL, .routine = FailsRequest},
    {.name = "FailsCancelRemove", .rules = {"removal or cancel failed"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_CANCEL_REMOVE_DEVICE, .routine = FailsRequest},
    {.name = "FailsCancelStop", .rules = {"removal or cancel failed"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_CANCEL_STOP_DEVICE, .routine = FailsRequest},

    // Power.
    {.name = "PassesPowerWithIoCallDriver", .rules = {"power request passed with IofCallDriver"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         PoStartNextPowerIrp(Irp);
         return PassDown(Device, Irp);
     }},
    {.name = "PassesPowerWithoutStartNext", .rules = {"PoCallDriver without PoStartNextPowerIrp"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         IoSkipCurrentIrpStackLocation(Irp);
         return PoCallDriver(ext(Device)->lower, Irp);
     }},
    {.name = "StartsNextPowerTwice", .rules = {"PoStartNextPowerIrp called twice"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_QUERY_POWER, .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         PoStartNextPowerIrp(Irp);
         PoStartNextPowerIrp(Irp);
         return finish(Irp, STATUS_SUCCESS);
     }},

    // Requests a driver builds, and waits.
    {.name = "BuildsPnpUninitialised", .rules = {"PnP request not initialised"}, .below = kPends,
     .routine = QueriesBelow<Slip::NoInitialStatus>},
    {.name = "TouchesBuiltRequestAfterWait", .rules = {"request touched after it was freed"},
     .below = kPends, .routine = QueriesBelow<Slip::TouchAfterWait>},
    {.name = "FreesBuiltRequest", .rules = {"request freed twice"}, .below = kPends,
     .routine = QueriesBelow<Slip::FreeAfterWait>},
    {.name = "FreesOwnRequestInFlight",
     .rules = {"request freed in flight", "request touched after it was freed"}, .below = kPends,
     .routine = AsksWithOwnRequest<Release::WithoutWaiting>},
    {.name = "WaitsForNobody", .rules = {"wait never satisfied"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         KEVENT never;
         KeInitializeEvent(&never, NotificationEvent, FALSE);
         KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "QueriesBelowFailingAtOnce", .rules = {}, .routine = QueriesBelow<Slip::None>},
    {.name = "WaitsAfterFailureAtOnce", .rules = {"wait never satisfied"},
     .routine = QueriesBelow<Slip::AlwaysWaits>},

    // Device objects.
    {.name = "DeletesWhileAttached", .rules = {"device deleted while attached"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         NTSTATUS status = PassDown(Device, Irp);
         IoDeleteDevice(Device);
         return status;
     }},
    {.name = "DeletesTwice", .rules = {"device deleted twice"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE, .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         NTSTATUS status = RemovesCorrectly(Device, Irp);
         IoDeleteDevice(Device);
         return status;
     }},
    {.name = "DetachesNothing", .rules = {"detach"}, .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         IoDetachDevice(Device);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "DeletesItsExtension", .rules = {"delete"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         IoDeleteDevice(static_cast<PDEVICE_OBJECT>(Device->DeviceExtension));
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "AttachesToDeletedDevice", .rules = {"attachment"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         EXPECT_EQ(IoAttachDeviceToDeviceStack(Device, ext(Device)->other), nullptr);
         return finish(Irp, STATUS_SUCCESS);
     }},

    // Pool and error log.
    {.name = "AllocatesUntagged", .rules = {"untagged allocation"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0));
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "AllocatesNothing", .rules = {"zero-size allocation"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, kTag));
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "FreesTwice", .rules = {"double free"}, .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
         ExFreePool(block);
         ExFreePool(block);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "FreesInsideBlock", .rules = {"foreign free"}, .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
         ExFreePool(block + 8);
         ExFreePool(block);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "WritesLogEntryTwice", .rules = {"error-log entry"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         PVOID entry = IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET));
         std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
         IoWriteErrorLogEntry(entry);
         IoWriteErrorLogEntry(entry);
         return finish(Irp, STATUS_SUCCESS);
     }},

    // Raised IRQL, in completion routines run at DISPATCH_LEVEL by the driver below.
    {.name = "CreatesDeviceAtDispatch", .rules = {"IoCreateDevice at raised IRQL"},
     .below = kAtDispatch, .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT Device, PIRP, PVOID) {
         IoCreateDevice(Device->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g.created);
         return STATUS_SUCCESS;
     }},
    {.name = "DetachesAtDispatch", .rules = {"IoDetachDevice at raised IRQL"},
     .below = kAtDispatch, .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT Device, PIRP, PVOID) {
         IoDetachDevice(ext(Device)->lower);
         return STATUS_SUCCESS;
     }},
    {.name = "DeletesAtDispatch", .rules = {"IoDeleteDevice at raised IRQL"},
     .below = kAtDispatch, .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT, PIRP, PVOID) {
         IoDeleteDevice(g.spare);
         return STATUS_SUCCESS;
     }},
    {.name = "RunsPageableCodeAtDispatch", .rules = {"pageable code at raised IRQL"},
     .below = kAtDispatch, .detail = "PageableHelper", .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT, PIRP, PVOID) {
         PageableHelper();
         return STATUS_SUCCESS;
     }},
    {.name = "AllocatesPagedAtDispatch", .rules = {"paged pool at raised IRQL"},
     .below = kAtDispatch, .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT, PIRP, PVOID) {
         g.extra = ExAllocatePoolWithTag(PagedPool, 16, kTag);
         return STATUS_SUCCESS;
     }},
    {.name = "FreesPagedAtDispatch", .rules = {"paged pool at raised IRQL"},
     .below = kAtDispatch, .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT, PIRP, PVOID) {
         ExFreePool(g.paged);
         g.paged = nullptr;
         return STATUS_SUCCESS;
     }},
    {.name = "WaitsAtDispatch", .rules = {"wait at raised IRQL"}, .below = kAtDispatch,
     .routine = ForwardWithCompletion, .completion = [](PDEVICE_OBJECT, PIRP, PVOID) {
         KEVENT ready;
         KeInitializeEvent(&ready, NotificationEvent, TRUE);
         KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
         return STATUS_SUCCESS;
     }},

    // Controls of the rules below.
    {.name = "HandlesAndPassesDown", .rules = {}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_QUERY_CAPABILITIES, .routine = HandlesAndPassesDown},
    // A function driver failing a start once the driver below has started: its own status.
    {.name = "FailsStartAfterWaiting", .rules = {}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_START_DEVICE, .below = kPends, .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         KEVENT done;
         KeInitializeEvent(&done, NotificationEvent, FALSE);
         IoCopyCurrentIrpStackLocationToNext(Irp);
         IoSetCompletionRoutine(Irp, KeepOnTheWayUp, &done, TRUE, TRUE, TRUE);
         if (IoCallDriver(ext(Device)->lower, Irp) == STATUS_PENDING) {
             KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
         }
         return finish(Irp, STATUS_UNSUCCESSFUL);
     }},
    {.name = "PassesPowerPageableOverPageable", .rules = {}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER, .topFlags = DO_POWER_PAGABLE, .bottomFlags = DO_POWER_PAGABLE,
     .routine = PassesPowerThroughPageableCode},
    {.name = "PassesPowerNonPageableOverNonPageable", .rules = {}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER, .routine = PassesPower},

    // Stack locations, and requests passed on.
    // Sends the request on without copying or skipping its stack location.
    {.name = "ForwardsUnprepared", .rules = {"next stack location not prepared"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         return IoCallDriver(ext(Device)->lower, Irp);
     }},
    // Skips its location, then sets a completion routine in it: over the routine of the caller.
    {.name = "SkipsAndSetsRoutine", .rules = {"completion routine set over the caller's"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         IoSkipCurrentIrpStackLocation(Irp);
         IoSetCompletionRoutine(Irp, ForgetsPendingFlag, nullptr, TRUE, TRUE, TRUE);
         return IoCallDriver(ext(Device)->lower, Irp);
     }},
    {.name = "WritesAfterPassingOn", .rules = {"request written after it was passed on"},
     .routine = WritesAfterPassingOn},
    {.name = "WritesAfterPassingOnPended", .rules = {"request written after it was passed on"},
     .below = kPends, .routine = WritesAfterPassingOn},
    {.name = "WritesAfterCompleting", .rules = {"request written after it was passed on"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         finish(Irp, STATUS_SUCCESS);
         Irp->IoStatus.Information = 0x99;
         return STATUS_SUCCESS;
     }},

    // PnP and power status.
    {.name = "FailsAndPassesDown", .rules = {"request failed and passed on"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_QUERY_CAPABILITIES, .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
         return PassDown(Device, Irp);
     }},
    {.name = "CompletesNotSupportedBelowHandler",
     .rules = {"PnP request failed with STATUS_NOT_SUPPORTED"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_QUERY_CAPABILITIES,
     .lowerRoutine = [](PDEVICE_OBJECT, PIRP Irp) { return finish(Irp, STATUS_NOT_SUPPORTED); },
     .routine = HandlesAndPassesDown},
    {.name = "FailsOnTheWayUp", .rules = {"status changed by a completion routine"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_START_DEVICE, .routine = ForwardWithCompletion,
     .completion = [](PDEVICE_OBJECT, PIRP Irp, PVOID) {
         Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
         return STATUS_SUCCESS;
     }},
    {.name = "FailsSetPower", .rules = {"set-power request failed"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER, .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         PoStartNextPowerIrp(Irp);
         return finish(Irp, STATUS_UNSUCCESSFUL);
     }},
    {.name = "CompletesPowerWithoutStartNext",
     .rules = {"power request completed without PoStartNextPowerIrp"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_QUERY_POWER,
     .routine = [](PDEVICE_OBJECT, PIRP Irp) { return finish(Irp, STATUS_SUCCESS); }},
    {.name = "NonPageableOverPageable", .rules = {"DO_POWER_PAGABLE missing above a pageable device"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER, .bottomFlags = DO_POWER_PAGABLE,
     .routine = PassesPower},
    {.name = "PageableCodeInNonPageablePowerPath", .rules = {"pageable code at raised IRQL"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER, .detail = "PageableHelper",
     .routine = PassesPowerThroughPageableCode},

    // Removal and deleted device objects.
    {.name = "KeepsDeviceOnRemove", .rules = {"removal without detach and delete"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) { return PassDown(Device, Irp); }},
    {.name = "DetachesButKeepsDevice", .rules = {"removal without detach and delete"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         PDEVICE_OBJECT lower = ext(Device)->lower;
         NTSTATUS status = PassDown(Device, Irp);
         IoDetachDevice(lower);
         return status;
     }},
    // The next three keep the extension pointer they took on entry, as dispatch routines do,
    // and use it after the device object (and with it the extension) is gone.
    {.name = "WritesExtensionAfterDelete", .rules = {"device object used after deletion"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         TestExtension* extension = ext(Device);
         NTSTATUS status = RemovesCorrectly(Device, Irp);
         extension->other = nullptr;
         return status;
     }},
    {.name = "ForwardsFromDeletedExtension", .rules = {"device object used after deletion"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         TestExtension* extension = ext(Device);
         IoDetachDevice(extension->lower);
         IoDeleteDevice(Device);
         IoSkipCurrentIrpStackLocation(Irp);
         return IoCallDriver(extension->lower, Irp);
     }},
    {.name = "LogsForDeletedDevice", .rules = {"device object used after deletion"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         NTSTATUS status = RemovesCorrectly(Device, Irp);
         EXPECT_EQ(IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
         return status;
     }},

    // IRQL limits of the routines, and the IRQL a routine returns at.
    {.name = "AttachesAtDispatch", .rules = {"IoAttachDeviceToDeviceStack at raised IRQL"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         PDEVICE_OBJECT below = nullptr;
         atIrql(DISPATCH_LEVEL, [&] { below = IoAttachDeviceToDeviceStack(g.spare, Device); });
         if (below != nullptr) IoDetachDevice(below);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "BuildsRequestAtDispatch", .rules = {"IoBuildSynchronousFsdRequest at raised IRQL"},
     .routine = QueriesBelow<Slip::BuildAtDispatch>},
    {.name = "LogsAboveDispatch", .rules = {"IoAllocateErrorLogEntry above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         PVOID entry = nullptr;
         atIrql(kDeviceIrql,
                [&] { entry = IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET)); });
         std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
         IoWriteErrorLogEntry(entry);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "WritesLogAboveDispatch", .rules = {"IoWriteErrorLogEntry above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         PVOID entry = IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET));
         std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
         atIrql(kDeviceIrql, [&] { IoWriteErrorLogEntry(entry); });
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "CallsDriverAboveDispatch", .rules = {"IoCallDriver above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         NTSTATUS status = STATUS_SUCCESS;
         atIrql(kDeviceIrql, [&] { status = PassDown(Device, Irp); });
         return status;
     }},
    {.name = "CompletesAboveDispatch", .rules = {"IoCompleteRequest above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         atIrql(kDeviceIrql, [&] { finish(Irp, STATUS_SUCCESS); });
         return STATUS_SUCCESS;
     }},
    {.name = "PassesPowerAboveDispatch",
     .rules = {"PoCallDriver above DISPATCH_LEVEL", "PoStartNextPowerIrp above DISPATCH_LEVEL"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER,
     .routine = [](PDEVICE_OBJECT Device, PIRP Irp) {
         PoStartNextPowerIrp(Irp);
         IoSkipCurrentIrpStackLocation(Irp);
         NTSTATUS status = STATUS_SUCCESS;
         atIrql(kDeviceIrql, [&] { status = PoCallDriver(ext(Device)->lower, Irp); });
         return status;
     }},
    {.name = "StartsNextPowerAboveDispatch", .rules = {"PoStartNextPowerIrp above DISPATCH_LEVEL"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_QUERY_POWER, .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         atIrql(kDeviceIrql, [&] { PoStartNextPowerIrp(Irp); });
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "AllocatesRequestAboveDispatch", .rules = {"IoAllocateIrp above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         PIRP own = nullptr;
         atIrql(kDeviceIrql, [&] { own = IoAllocateIrp(1, FALSE); });
         IoFreeIrp(own);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "FreesRequestAboveDispatch", .rules = {"IoFreeIrp above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         PIRP own = IoAllocateIrp(1, FALSE);
         atIrql(kDeviceIrql, [&] { IoFreeIrp(own); });
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "SetsEventAboveDispatch", .rules = {"KeSetEvent above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         KEVENT event;
         KeInitializeEvent(&event, NotificationEvent, FALSE);
         atIrql(kDeviceIrql, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "AllocatesPoolAboveDispatch", .rules = {"ExAllocatePoolWithTag above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         PVOID block = nullptr;
         atIrql(kDeviceIrql, [&] { block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag); });
         ExFreePool(block);
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "FreesPoolAboveDispatch", .rules = {"ExFreePool above DISPATCH_LEVEL"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
         atIrql(kDeviceIrql, [&] { ExFreePool(block); });
         return finish(Irp, STATUS_SUCCESS);
     }},
    {.name = "ReturnsAtDispatch", .rules = {"IRQL changed by dispatch routine"},
     .routine = [](PDEVICE_OBJECT, PIRP Irp) {
         finish(Irp, STATUS_SUCCESS);
         nt::Kernel::current().setIrql(DISPATCH_LEVEL);
         return STATUS_SUCCESS;
     }},
    {.name = "RaisesInCompletion", .rules = {"IRQL changed by completion routine"},
     .routine = ForwardWithCompletion, .completion = [](PDEVICE_OBJECT, PIRP, PVOID) {
         nt::Kernel::current().setIrql(kDeviceIrql);
         return STATUS_SUCCESS;
     }},
};

// The platform calls the routines of the row being played through these, in its own convention.
const Misdeed* playing = nullptr;
NTSTATUS NTAPI RowRoutine(PDEVICE_OBJECT Device, PIRP Irp) { return playing->routine(Device, Irp); }
NTSTATUS NTAPI RowLowerRoutine(PDEVICE_OBJECT Device, PIRP Irp)
{
    return playing->lowerRoutine(Device, Irp);
}
NTSTATUS NTAPI RowCompletion(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    return playing->completion(Device, Irp, Context);
}

class Verifier : public NtContract, public ::testing::WithParamInterface<Misdeed> {};

TEST_P(Verifier, CatchesTheWrongRoutine)
{
    const Misdeed& m = GetParam();
    playing = &m;
    // What the routines may reach for: a device already deleted, one to delete, paged pool.
    PDRIVER_OBJECT other = kernel.createDriverObject(u"\\Driver\\Other");
    PDEVICE_OBJECT deleted = kernel.createDevice(other, 0, FILE_DEVICE_UNKNOWN, 0, false);
    IoDeleteDevice(deleted);
    g.spare = kernel.createDevice(other, 0, FILE_DEVICE_UNKNOWN, 0, false);
    devices_.push_back(g.spare);
    g.paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    g.completion = m.completion != nullptr ? RowCompletion : nullptr;

    scripted->setDefault(m.below);
    PDEVICE_OBJECT bottom = m.lowerRoutine != nullptr ? filter(RowLowerRoutine, nullptr)
                                                      : scripted->createDevice();
    bottom->Flags |= m.bottomFlags;
    PDEVICE_OBJECT top = filter(RowRoutine, m.attached ? bottom : nullptr);
    top->Flags |= m.topFlags;
    ext(top)->lower = bottom;
    ext(top)->other = deleted;
    PIRP irp = send(top, m.major, m.minor);
    kernel.drain();
    expectRules(m.rules, m.detail);

    // A request the routine stranded is completed by the platform so that it can be freed.
    if (!kernel.isCompleted(irp)) IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (g.paged != nullptr) ExFreePool(g.paged);
    if (g.extra != nullptr) ExFreePool(g.extra);
    if (g.created != nullptr) devices_.push_back(g.created);
}

INSTANTIATE_TEST_SUITE_P(Rules, Verifier, ::testing::ValuesIn(kMisdeeds),
                         hotp::test::ByName());

// --- spin locks, fast mutexes and critical regions (between threads: locks_test.cpp) ----------

KSPIN_LOCK g_spinLock;
FAST_MUTEX g_fastMutex;

void SpinOnce()
{
    KIRQL old;
    KeAcquireSpinLock(&g_spinLock, &old);
    KeReleaseSpinLock(&g_spinLock, old);
}
NTSTATUS MovesIrqlWrongly(PDEVICE_OBJECT, PIRP Irp)
{
    atIrql(kDeviceIrql, SpinOnce);
    KeAcquireSpinLockAtDpcLevel(&g_spinLock);
    KeReleaseSpinLockFromDpcLevel(&g_spinLock);
    KIRQL old, ignored;
    KeAcquireSpinLock(&g_spinLock, &old);
    KeLowerIrql(PASSIVE_LEVEL);
    KeLowerIrql(APC_LEVEL);
    KeRaiseIrql(PASSIVE_LEVEL, &ignored);
    (void)KeRaiseIrqlToDpcLevel();
    KeReleaseSpinLock(&g_spinLock, old);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS ReleasesUnheldOrTakesTwice(PDEVICE_OBJECT, PIRP Irp)
{
    atIrql(DISPATCH_LEVEL, [] { KeReleaseSpinLock(&g_spinLock, DISPATCH_LEVEL); });
    atIrql(APC_LEVEL, [] { ExReleaseFastMutex(&g_fastMutex); });
    ExAcquireFastMutexUnsafe(&g_fastMutex);
    ExReleaseFastMutexUnsafe(&g_fastMutex);
    KeLeaveCriticalRegion();
    KIRQL old;
    KeAcquireSpinLock(&g_spinLock, &old);
    SpinOnce();
    KeReleaseSpinLock(&g_spinLock, old);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS LocksAtDispatch(PDEVICE_OBJECT, PIRP, PVOID)
{
    ExAcquireFastMutex(&g_fastMutex);
    ExReleaseFastMutex(&g_fastMutex);
    KeAcquireSpinLockAtDpcLevel(&g_spinLock);
    return STATUS_SUCCESS;
}

NTSTATUS MisusesRemoveLock(PDEVICE_OBJECT, PIRP Irp)
{
    IO_REMOVE_LOCK lock;
    atIrql(DISPATCH_LEVEL, [&lock] { IoInitializeRemoveLock(&lock, kTag, 0, 0); });
    IoReleaseRemoveLock(&lock, Irp);
    (void)IoAcquireRemoveLock(&lock, Irp);
    (void)IoAcquireRemoveLock(&lock, Irp);
    IoReleaseRemoveLockAndWait(&lock, Irp);  // the other acquisition is never given back
    IoReleaseRemoveLockAndWait(&lock, Irp);
    (void)IoAcquireRemoveLockEx(&lock, Irp, __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK) + 32);
    return finish(Irp, STATUS_SUCCESS);
}

const Misdeed kLockMisdeeds[] = {
    {.name = "MisusesRemoveLock",
     .rules = {"IoInitializeRemoveLock at raised IRQL", "remove lock released more often than acquired",
               "remove lock never released", "remove lock released and waited for twice",
               "remove lock of another size"},
     .routine = MisusesRemoveLock},
    {.name = "MovesIrqlWrongly",
     .rules = {"KeAcquireSpinLock above DISPATCH_LEVEL", "KeReleaseSpinLock not at DISPATCH_LEVEL",
               "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL",
               "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL",
               "spin lock held below DISPATCH_LEVEL", "KeLowerIrql to a higher IRQL",
               "KeRaiseIrql to a lower IRQL"},
     .routine = MovesIrqlWrongly},
    {.name = "ReleasesUnheldOrTakesTwice",
     .rules = {"spin lock released but not held", "fast mutex released but not held",
               "ExAcquireFastMutexUnsafe outside a critical region",
               "ExReleaseFastMutexUnsafe outside a critical region",
               "critical region left but not entered", "deadlock"},
     .routine = ReleasesUnheldOrTakesTwice},
    {.name = "LocksAtDispatchInCompletion",
     .rules = {"ExAcquireFastMutex above APC_LEVEL", "ExReleaseFastMutex not at APC_LEVEL",
               "spin lock held on return"},
     .below = kAtDispatch, .routine = ForwardWithCompletion, .completion = LocksAtDispatch},
};

INSTANTIATE_TEST_SUITE_P(LockRules, Verifier, ::testing::ValuesIn(kLockMisdeeds),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace nt_test
