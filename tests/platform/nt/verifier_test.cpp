// Every rule the verifier checks, each broken by a deliberately wrong routine of a test driver,
// next to routines that do the same job correctly and must pass unremarked.
#include "nt_fixture.hpp"

#include <cstring>

namespace nt_test {
namespace {

using nt::ScriptedAction;

const ScriptedAction kPends{STATUS_SUCCESS, 0, true};
const ScriptedAction kAtDispatch{STATUS_SUCCESS, 0, false, DISPATCH_LEVEL};

// --- requests passed on and completed -------------------------------------------------------

NTSTATUS NTAPI TouchesAfterPassingOn(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS status = PassDown(Device, Irp);
    (void)IoGetCurrentIrpStackLocation(Irp);
    return status;
}
NTSTATUS NTAPI TouchesAfterCompleting(PDEVICE_OBJECT, PIRP Irp)
{
    finish(Irp, STATUS_SUCCESS);
    (void)IoGetCurrentIrpStackLocation(Irp);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI CompletesTwice(PDEVICE_OBJECT, PIRP Irp)
{
    finish(Irp, STATUS_SUCCESS);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI CompletesWithPending(PDEVICE_OBJECT, PIRP Irp)
{
    finish(Irp, STATUS_PENDING);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI ReturnsPendingUnmarked(PDEVICE_OBJECT, PIRP Irp)
{
    finish(Irp, STATUS_SUCCESS);
    return STATUS_PENDING;
}
NTSTATUS NTAPI MarksPendingReturnsSuccess(PDEVICE_OBJECT, PIRP Irp)
{
    IoMarkIrpPending(Irp);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI ForgetsPendingFlag(PDEVICE_OBJECT, PIRP, PVOID) { return STATUS_SUCCESS; }

NTSTATUS NTAPI ForwardWithCompletion(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, g.completion, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ext(Device)->lower, Irp);
}

// Its device never attached, so its stack size has no room for the device it forwards to.
NTSTATUS NTAPI ForwardsWithoutRoom(PDEVICE_OBJECT Device, PIRP Irp)
{
    return IoCallDriver(ext(Device)->lower, Irp);
}
NTSTATUS NTAPI SendsToDeletedDevice(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoCopyCurrentIrpStackLocationToNext(Irp);
    return IoCallDriver(ext(Device)->other, Irp);
}
// Sends a request laid out by hand in pool instead of built by the I/O manager.
NTSTATUS NTAPI SendsUnknownRequest(PDEVICE_OBJECT Device, PIRP Irp)
{
    const SIZE_T size = sizeof(IRP) + 2 * sizeof(IO_STACK_LOCATION);
    auto* fake = static_cast<PIRP>(ExAllocatePoolWithTag(NonPagedPool, size, kTag));
    std::memset(fake, 0, size);
    IoCallDriver(ext(Device)->lower, fake);
    ExFreePool(fake);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI FailsRequest(PDEVICE_OBJECT, PIRP Irp) { return finish(Irp, STATUS_UNSUCCESSFUL); }

// --- power ----------------------------------------------------------------------------------

NTSTATUS NTAPI PassesPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext(Device)->lower, Irp);
}
NTSTATUS NTAPI PassesPowerWithIoCallDriver(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    return PassDown(Device, Irp);
}
NTSTATUS NTAPI PassesPowerWithoutStartNext(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(ext(Device)->lower, Irp);
}
NTSTATUS NTAPI StartsNextPowerTwice(PDEVICE_OBJECT, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    PoStartNextPowerIrp(Irp);
    return finish(Irp, STATUS_SUCCESS);
}

// --- requests a driver builds, and waits ----------------------------------------------------

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
NTSTATUS NTAPI QueriesBelow(PDEVICE_OBJECT D, PIRP I) { return QueryBelow(D, I, Slip::None); }
NTSTATUS NTAPI BuildsPnpUninitialised(PDEVICE_OBJECT D, PIRP I)
{
    return QueryBelow(D, I, Slip::NoInitialStatus);
}
NTSTATUS NTAPI TouchesBuiltRequestAfterWait(PDEVICE_OBJECT D, PIRP I)
{
    return QueryBelow(D, I, Slip::TouchAfterWait);
}
NTSTATUS NTAPI FreesBuiltRequest(PDEVICE_OBJECT D, PIRP I)
{
    return QueryBelow(D, I, Slip::FreeAfterWait);
}
NTSTATUS NTAPI BuildsRequestAtDispatch(PDEVICE_OBJECT D, PIRP I)
{
    return QueryBelow(D, I, Slip::BuildAtDispatch);
}
NTSTATUS NTAPI WaitsAfterFailureAtOnce(PDEVICE_OBJECT D, PIRP I)
{
    return QueryBelow(D, I, Slip::AlwaysWaits);
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
NTSTATUS AskWithOwnRequest(PDEVICE_OBJECT Device, PIRP Irp, Release release)
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
NTSTATUS NTAPI AsksAndFreesAfterWait(PDEVICE_OBJECT D, PIRP I)
{
    return AskWithOwnRequest(D, I, Release::AfterWait);
}
NTSTATUS NTAPI AsksAndFreesInRoutine(PDEVICE_OBJECT D, PIRP I)
{
    return AskWithOwnRequest(D, I, Release::InRoutine);
}
NTSTATUS NTAPI FreesOwnRequestInFlight(PDEVICE_OBJECT D, PIRP I)
{
    return AskWithOwnRequest(D, I, Release::WithoutWaiting);
}

NTSTATUS NTAPI WaitsForNobody(PDEVICE_OBJECT, PIRP Irp)
{
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, nullptr);
    return finish(Irp, STATUS_SUCCESS);
}

// --- device objects -------------------------------------------------------------------------

NTSTATUS NTAPI RemovesCorrectly(PDEVICE_OBJECT Device, PIRP Irp)
{
    PDEVICE_OBJECT lower = ext(Device)->lower;
    NTSTATUS status = PassDown(Device, Irp);
    IoDetachDevice(lower);
    IoDeleteDevice(Device);
    return status;
}
NTSTATUS NTAPI DeletesWhileAttached(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS status = PassDown(Device, Irp);
    IoDeleteDevice(Device);
    return status;
}
NTSTATUS NTAPI DeletesTwice(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS status = RemovesCorrectly(Device, Irp);
    IoDeleteDevice(Device);
    return status;
}
// A bus driver deleting the device of a vanished function while its filters are still attached;
// they detach as their own removal returns.
NTSTATUS NTAPI DeletesItselfUnderFilter(PDEVICE_OBJECT Device, PIRP Irp)
{
    finish(Irp, STATUS_SUCCESS);
    IoDeleteDevice(Device);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI DetachesNothing(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoDetachDevice(Device);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI DeletesItsExtension(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoDeleteDevice(static_cast<PDEVICE_OBJECT>(Device->DeviceExtension));
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI AttachesToDeletedDevice(PDEVICE_OBJECT Device, PIRP Irp)
{
    EXPECT_EQ(IoAttachDeviceToDeviceStack(Device, ext(Device)->other), nullptr);
    return finish(Irp, STATUS_SUCCESS);
}

// --- pool and error log ---------------------------------------------------------------------

NTSTATUS NTAPI AllocatesUntagged(PDEVICE_OBJECT, PIRP Irp)
{
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 8, 0));
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI AllocatesNothing(PDEVICE_OBJECT, PIRP Irp)
{
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 0, kTag));
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI FreesTwice(PDEVICE_OBJECT, PIRP Irp)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    ExFreePool(block);
    ExFreePool(block);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI FreesInsideBlock(PDEVICE_OBJECT, PIRP Irp)
{
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    ExFreePool(block + 8);
    ExFreePool(block);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI WritesLogEntryTwice(PDEVICE_OBJECT Device, PIRP Irp)
{
    PVOID entry = IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET));
    std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
    IoWriteErrorLogEntry(entry);
    IoWriteErrorLogEntry(entry);
    return finish(Irp, STATUS_SUCCESS);
}

// --- completion routines, run at DISPATCH_LEVEL by the driver below -------------------------

void PageableHelper() { PAGED_CODE(); }

NTSTATUS NTAPI CreatesDevice(PDEVICE_OBJECT Device, PIRP, PVOID)
{
    IoCreateDevice(Device->DriverObject, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &g.created);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI Detaches(PDEVICE_OBJECT Device, PIRP, PVOID)
{
    IoDetachDevice(ext(Device)->lower);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI Deletes(PDEVICE_OBJECT, PIRP, PVOID)
{
    IoDeleteDevice(g.spare);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI CallsPageableCode(PDEVICE_OBJECT, PIRP, PVOID)
{
    PageableHelper();
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI AllocatesPaged(PDEVICE_OBJECT, PIRP, PVOID)
{
    g.extra = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI FreesPaged(PDEVICE_OBJECT, PIRP, PVOID)
{
    ExFreePool(g.paged);
    g.paged = nullptr;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI Waits(PDEVICE_OBJECT, PIRP, PVOID)
{
    KEVENT ready;
    KeInitializeEvent(&ready, NotificationEvent, TRUE);
    KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, nullptr);
    return STATUS_SUCCESS;
}
// Non-paged pool and a zero time-out poll are what dispatch level allows.
NTSTATUS NTAPI KeepsToDispatchRules(PDEVICE_OBJECT, PIRP, PVOID)
{
    ExFreePool(ExAllocatePoolWithTag(NonPagedPool, 16, kTag));
    KEVENT ready;
    KeInitializeEvent(&ready, NotificationEvent, FALSE);
    LARGE_INTEGER poll{};
    KeWaitForSingleObject(&ready, Executive, KernelMode, FALSE, &poll);
    return STATUS_SUCCESS;
}

// --- routines that pass requests on -------------------------------------------------------------

// Sends the request on without copying or skipping its stack location.
NTSTATUS NTAPI ForwardsUnprepared(PDEVICE_OBJECT Device, PIRP Irp)
{
    return IoCallDriver(ext(Device)->lower, Irp);
}
// Skips its location, then sets a completion routine in it: over the routine of the caller.
NTSTATUS NTAPI SkipsAndSetsRoutine(PDEVICE_OBJECT Device, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    IoSetCompletionRoutine(Irp, ForgetsPendingFlag, nullptr, TRUE, TRUE, TRUE);
    return IoCallDriver(ext(Device)->lower, Irp);
}
NTSTATUS NTAPI WritesAfterPassingOn(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS status = PassDown(Device, Irp);
    Irp->IoStatus.Information = 0x99;
    return status;
}
NTSTATUS NTAPI WritesAfterCompleting(PDEVICE_OBJECT, PIRP Irp)
{
    finish(Irp, STATUS_SUCCESS);
    Irp->IoStatus.Information = 0x99;
    return STATUS_SUCCESS;
}
// Answers as the driver that handles the request would, and passes it down.
NTSTATUS NTAPI HandlesAndPassesDown(PDEVICE_OBJECT Device, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(Device, Irp);
}
NTSTATUS NTAPI FailsAndPassesDown(PDEVICE_OBJECT Device, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    return PassDown(Device, Irp);
}
NTSTATUS NTAPI CompletesNotSupported(PDEVICE_OBJECT, PIRP Irp)
{
    return finish(Irp, STATUS_NOT_SUPPORTED);
}
NTSTATUS NTAPI FailsOnTheWayUp(PDEVICE_OBJECT, PIRP Irp, PVOID)
{
    Irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI KeepOnTheWayUp(PDEVICE_OBJECT, PIRP, PVOID Context)
{
    KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
// A function driver failing a start once the driver below has started: its own status.
NTSTATUS NTAPI FailsStartAfterWaiting(PDEVICE_OBJECT Device, PIRP Irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, KeepOnTheWayUp, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(ext(Device)->lower, Irp) == STATUS_PENDING) {
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    }
    return finish(Irp, STATUS_UNSUCCESSFUL);
}

// --- IRQL ---------------------------------------------------------------------------------------

constexpr KIRQL kDeviceIrql = 5;

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

NTSTATUS NTAPI AttachesAtDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    PDEVICE_OBJECT below = nullptr;
    atIrql(DISPATCH_LEVEL, [&] { below = IoAttachDeviceToDeviceStack(g.spare, Device); });
    if (below != nullptr) IoDetachDevice(below);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI LogsAboveDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    PVOID entry = nullptr;
    atIrql(kDeviceIrql,
           [&] { entry = IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET)); });
    std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
    IoWriteErrorLogEntry(entry);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI WritesLogAboveDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    PVOID entry = IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET));
    std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
    atIrql(kDeviceIrql, [&] { IoWriteErrorLogEntry(entry); });
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI CallsDriverAboveDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS status = STATUS_SUCCESS;
    atIrql(kDeviceIrql, [&] { status = PassDown(Device, Irp); });
    return status;
}
NTSTATUS NTAPI CompletesAboveDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    atIrql(kDeviceIrql, [&] { finish(Irp, STATUS_SUCCESS); });
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI PassesPowerAboveDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    NTSTATUS status = STATUS_SUCCESS;
    atIrql(kDeviceIrql, [&] { status = PoCallDriver(ext(Device)->lower, Irp); });
    return status;
}
NTSTATUS NTAPI StartsNextPowerAboveDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    atIrql(kDeviceIrql, [&] { PoStartNextPowerIrp(Irp); });
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI AllocatesRequestAboveDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PIRP own = nullptr;
    atIrql(kDeviceIrql, [&] { own = IoAllocateIrp(1, FALSE); });
    IoFreeIrp(own);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI FreesRequestAboveDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PIRP own = IoAllocateIrp(1, FALSE);
    atIrql(kDeviceIrql, [&] { IoFreeIrp(own); });
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI SetsEventAboveDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    atIrql(kDeviceIrql, [&] { KeSetEvent(&event, IO_NO_INCREMENT, FALSE); });
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI AllocatesPoolAboveDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PVOID block = nullptr;
    atIrql(kDeviceIrql, [&] { block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag); });
    ExFreePool(block);
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI FreesPoolAboveDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 16, kTag);
    atIrql(kDeviceIrql, [&] { ExFreePool(block); });
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI ReturnsAtDispatch(PDEVICE_OBJECT, PIRP Irp)
{
    finish(Irp, STATUS_SUCCESS);
    nt::Kernel::current().setIrql(DISPATCH_LEVEL);
    return STATUS_SUCCESS;
}
NTSTATUS NTAPI RaisesInCompletion(PDEVICE_OBJECT, PIRP, PVOID)
{
    nt::Kernel::current().setIrql(kDeviceIrql);
    return STATUS_SUCCESS;
}

// --- removal ------------------------------------------------------------------------------------

NTSTATUS NTAPI DetachesButKeepsDevice(PDEVICE_OBJECT Device, PIRP Irp)
{
    PDEVICE_OBJECT lower = ext(Device)->lower;
    NTSTATUS status = PassDown(Device, Irp);
    IoDetachDevice(lower);
    return status;
}
// Both keep the extension pointer they took on entry, as dispatch routines do, and use it after
// the device object (and with it the extension) is gone.
NTSTATUS NTAPI WritesExtensionAfterDelete(PDEVICE_OBJECT Device, PIRP Irp)
{
    TestExtension* extension = ext(Device);
    NTSTATUS status = RemovesCorrectly(Device, Irp);
    extension->other = nullptr;
    return status;
}
NTSTATUS NTAPI ForwardsFromDeletedExtension(PDEVICE_OBJECT Device, PIRP Irp)
{
    TestExtension* extension = ext(Device);
    IoDetachDevice(extension->lower);
    IoDeleteDevice(Device);
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(extension->lower, Irp);
}
NTSTATUS NTAPI LogsForDeletedDevice(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS status = RemovesCorrectly(Device, Irp);
    EXPECT_EQ(IoAllocateErrorLogEntry(Device, sizeof(IO_ERROR_LOG_PACKET)), nullptr);
    return status;
}

// --- power --------------------------------------------------------------------------------------

NTSTATUS NTAPI CompletesPowerWithoutStartNext(PDEVICE_OBJECT, PIRP Irp)
{
    return finish(Irp, STATUS_SUCCESS);
}
NTSTATUS NTAPI FailsSetPower(PDEVICE_OBJECT, PIRP Irp)
{
    PoStartNextPowerIrp(Irp);
    return finish(Irp, STATUS_UNSUCCESSFUL);
}
NTSTATUS NTAPI PassesPowerThroughPageableCode(PDEVICE_OBJECT Device, PIRP Irp)
{
    PageableHelper();
    return PassesPower(Device, Irp);
}

// --- the table ------------------------------------------------------------------------------

struct Misdeed {
    const char* name;
    PDRIVER_DISPATCH routine;         // dispatch routine of the filter the request is sent to
    std::vector<std::string> rules;   // what the verifier must report, in order
    UCHAR major = IRP_MJ_DEVICE_CONTROL;
    UCHAR minor = 0;
    ScriptedAction below{};           // how the scripted driver below answers
    PIO_COMPLETION_ROUTINE completion = nullptr;  // for ForwardWithCompletion
    PDRIVER_DISPATCH lowerRoutine = nullptr;      // a test driver below instead
    bool attached = true;
    const char* detail = nullptr;     // to be named in the first violation's detail
    ULONG topFlags = 0;               // device flags of the routine's own device
    ULONG bottomFlags = 0;            // and of the device below it
};

void PrintTo(const Misdeed& m, std::ostream* os) { *os << m.name; }

const Misdeed kMisdeeds[] = {
    // Correct routines: the verifier must stay quiet.
    {.name = "PassesPower", .routine = PassesPower, .rules = {}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER},
    {.name = "FailsQueryRemove", .routine = FailsRequest, .rules = {}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_QUERY_REMOVE_DEVICE},
    {.name = "QueriesBelow", .routine = QueriesBelow, .rules = {}, .below = kPends},
    {.name = "AsksAndFreesAfterWait", .routine = AsksAndFreesAfterWait, .rules = {},
     .below = kPends},
    {.name = "AsksAndFreesAfterWaitAtOnce", .routine = AsksAndFreesAfterWait, .rules = {}},
    {.name = "AsksAndFreesInRoutine", .routine = AsksAndFreesInRoutine, .rules = {},
     .below = kPends},
    {.name = "RemovesCorrectly", .routine = RemovesCorrectly, .rules = {}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "RemovesAboveDeletedDevice", .routine = RemovesCorrectly, .rules = {},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE,
     .lowerRoutine = DeletesItselfUnderFilter},
    {.name = "KeepsToDispatchRules", .routine = ForwardWithCompletion, .rules = {},
     .below = kAtDispatch, .completion = KeepsToDispatchRules},

    // Requests passed on and completed.
    {.name = "TouchesAfterPassingOn", .routine = TouchesAfterPassingOn,
     .rules = {"request touched after it was passed on"}, .below = kPends},
    {.name = "TouchesAfterCompleting", .routine = TouchesAfterCompleting,
     .rules = {"request touched after completion"}},
    {.name = "CompletesTwice", .routine = CompletesTwice, .rules = {"request completed twice"}},
    {.name = "CompletesWithPending", .routine = CompletesWithPending,
     .rules = {"request completed with STATUS_PENDING"}},
    {.name = "ReturnsPendingUnmarked", .routine = ReturnsPendingUnmarked,
     .rules = {"pending not marked"}},
    {.name = "DropsPendingFlag", .routine = ForwardWithCompletion,
     .rules = {"pending flag dropped"}, .below = kPends, .completion = ForgetsPendingFlag},
    {.name = "MarksPendingReturnsSuccess", .routine = MarksPendingReturnsSuccess,
     .rules = {"pending marked but not returned"}},
    {.name = "ForwardsWithoutRoom", .routine = ForwardsWithoutRoom,
     .rules = {"too few stack locations"}, .attached = false},
    {.name = "SendsToDeletedDevice", .routine = SendsToDeletedDevice,
     .rules = {"request sent to a deleted device"}},
    {.name = "SendsUnknownRequest", .routine = SendsUnknownRequest, .rules = {"unknown request"}},
    {.name = "FailsRemove", .routine = FailsRequest,
     .rules = {"removal or cancel failed", "removal without detach and delete"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "FailsSurpriseRemoval", .routine = FailsRequest,
     .rules = {"removal or cancel failed"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_SURPRISE_REMOVAL},
    {.name = "FailsCancelRemove", .routine = FailsRequest, .rules = {"removal or cancel failed"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_CANCEL_REMOVE_DEVICE},
    {.name = "FailsCancelStop", .routine = FailsRequest, .rules = {"removal or cancel failed"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_CANCEL_STOP_DEVICE},

    // Power.
    {.name = "PassesPowerWithIoCallDriver", .routine = PassesPowerWithIoCallDriver,
     .rules = {"power request passed with IofCallDriver"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER},
    {.name = "PassesPowerWithoutStartNext", .routine = PassesPowerWithoutStartNext,
     .rules = {"PoCallDriver without PoStartNextPowerIrp"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER},
    {.name = "StartsNextPowerTwice", .routine = StartsNextPowerTwice,
     .rules = {"PoStartNextPowerIrp called twice"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_QUERY_POWER},

    // Requests a driver builds, and waits.
    {.name = "BuildsPnpUninitialised", .routine = BuildsPnpUninitialised,
     .rules = {"PnP request not initialised"}, .below = kPends},
    {.name = "TouchesBuiltRequestAfterWait", .routine = TouchesBuiltRequestAfterWait,
     .rules = {"request touched after it was freed"}, .below = kPends},
    {.name = "FreesBuiltRequest", .routine = FreesBuiltRequest, .rules = {"request freed twice"},
     .below = kPends},
    {.name = "FreesOwnRequestInFlight", .routine = FreesOwnRequestInFlight,
     .rules = {"request freed in flight", "request touched after it was freed"},
     .below = kPends},
    {.name = "WaitsForNobody", .routine = WaitsForNobody, .rules = {"wait never satisfied"}},
    {.name = "QueriesBelowFailingAtOnce", .routine = QueriesBelow, .rules = {}},
    {.name = "WaitsAfterFailureAtOnce", .routine = WaitsAfterFailureAtOnce,
     .rules = {"wait never satisfied"}},

    // Device objects.
    {.name = "DeletesWhileAttached", .routine = DeletesWhileAttached,
     .rules = {"device deleted while attached"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "DeletesTwice", .routine = DeletesTwice, .rules = {"device deleted twice"},
     .major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "DetachesNothing", .routine = DetachesNothing, .rules = {"detach"}},
    {.name = "DeletesItsExtension", .routine = DeletesItsExtension, .rules = {"delete"}},
    {.name = "AttachesToDeletedDevice", .routine = AttachesToDeletedDevice,
     .rules = {"attachment"}},

    // Pool and error log.
    {.name = "AllocatesUntagged", .routine = AllocatesUntagged, .rules = {"untagged allocation"}},
    {.name = "AllocatesNothing", .routine = AllocatesNothing, .rules = {"zero-size allocation"}},
    {.name = "FreesTwice", .routine = FreesTwice, .rules = {"double free"}},
    {.name = "FreesInsideBlock", .routine = FreesInsideBlock, .rules = {"foreign free"}},
    {.name = "WritesLogEntryTwice", .routine = WritesLogEntryTwice, .rules = {"error-log entry"}},

    // Raised IRQL, in completion routines.
    {.name = "CreatesDeviceAtDispatch", .routine = ForwardWithCompletion,
     .rules = {"IoCreateDevice at raised IRQL"}, .below = kAtDispatch,
     .completion = CreatesDevice},
    {.name = "DetachesAtDispatch", .routine = ForwardWithCompletion,
     .rules = {"IoDetachDevice at raised IRQL"}, .below = kAtDispatch, .completion = Detaches},
    {.name = "DeletesAtDispatch", .routine = ForwardWithCompletion,
     .rules = {"IoDeleteDevice at raised IRQL"}, .below = kAtDispatch, .completion = Deletes},
    {.name = "RunsPageableCodeAtDispatch", .routine = ForwardWithCompletion,
     .rules = {"pageable code at raised IRQL"}, .below = kAtDispatch,
     .completion = CallsPageableCode, .detail = "PageableHelper"},
    {.name = "AllocatesPagedAtDispatch", .routine = ForwardWithCompletion,
     .rules = {"paged pool at raised IRQL"}, .below = kAtDispatch,
     .completion = AllocatesPaged},
    {.name = "FreesPagedAtDispatch", .routine = ForwardWithCompletion,
     .rules = {"paged pool at raised IRQL"}, .below = kAtDispatch, .completion = FreesPaged},
    {.name = "WaitsAtDispatch", .routine = ForwardWithCompletion,
     .rules = {"wait at raised IRQL"}, .below = kAtDispatch, .completion = Waits},

    // Controls of the rules below.
    {.name = "HandlesAndPassesDown", .routine = HandlesAndPassesDown, .rules = {},
     .major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_CAPABILITIES},
    {.name = "FailsStartAfterWaiting", .routine = FailsStartAfterWaiting, .rules = {},
     .major = IRP_MJ_PNP, .minor = IRP_MN_START_DEVICE, .below = kPends},
    {.name = "PassesPowerPageableOverPageable", .routine = PassesPowerThroughPageableCode,
     .rules = {}, .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER,
     .topFlags = DO_POWER_PAGABLE, .bottomFlags = DO_POWER_PAGABLE},
    {.name = "PassesPowerNonPageableOverNonPageable", .routine = PassesPower, .rules = {},
     .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER},

    // Stack locations, and requests passed on.
    {.name = "ForwardsUnprepared", .routine = ForwardsUnprepared,
     .rules = {"next stack location not prepared"}},
    {.name = "SkipsAndSetsRoutine", .routine = SkipsAndSetsRoutine,
     .rules = {"completion routine set over the caller's"}},
    {.name = "WritesAfterPassingOn", .routine = WritesAfterPassingOn,
     .rules = {"request written after it was passed on"}},
    {.name = "WritesAfterPassingOnPended", .routine = WritesAfterPassingOn,
     .rules = {"request written after it was passed on"}, .below = kPends},
    {.name = "WritesAfterCompleting", .routine = WritesAfterCompleting,
     .rules = {"request written after it was passed on"}},

    // PnP and power status.
    {.name = "FailsAndPassesDown", .routine = FailsAndPassesDown,
     .rules = {"request failed and passed on"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_QUERY_CAPABILITIES},
    {.name = "CompletesNotSupportedBelowHandler", .routine = HandlesAndPassesDown,
     .rules = {"PnP request failed with STATUS_NOT_SUPPORTED"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_QUERY_CAPABILITIES, .lowerRoutine = CompletesNotSupported},
    {.name = "FailsOnTheWayUp", .routine = ForwardWithCompletion,
     .rules = {"status changed by a completion routine"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_START_DEVICE, .completion = FailsOnTheWayUp},
    {.name = "FailsSetPower", .routine = FailsSetPower, .rules = {"set-power request failed"},
     .major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER},
    {.name = "CompletesPowerWithoutStartNext", .routine = CompletesPowerWithoutStartNext,
     .rules = {"power request completed without PoStartNextPowerIrp"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_QUERY_POWER},
    {.name = "NonPageableOverPageable", .routine = PassesPower,
     .rules = {"DO_POWER_PAGABLE missing above a pageable device"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER, .bottomFlags = DO_POWER_PAGABLE},
    {.name = "PageableCodeInNonPageablePowerPath", .routine = PassesPowerThroughPageableCode,
     .rules = {"pageable code at raised IRQL"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER, .detail = "PageableHelper"},

    // Removal and deleted device objects.
    {.name = "KeepsDeviceOnRemove", .routine = PassDown,
     .rules = {"removal without detach and delete"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "DetachesButKeepsDevice", .routine = DetachesButKeepsDevice,
     .rules = {"removal without detach and delete"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "WritesExtensionAfterDelete", .routine = WritesExtensionAfterDelete,
     .rules = {"device object used after deletion"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "ForwardsFromDeletedExtension", .routine = ForwardsFromDeletedExtension,
     .rules = {"device object used after deletion"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE},
    {.name = "LogsForDeletedDevice", .routine = LogsForDeletedDevice,
     .rules = {"device object used after deletion"}, .major = IRP_MJ_PNP,
     .minor = IRP_MN_REMOVE_DEVICE},

    // IRQL limits of the routines, and the IRQL a routine returns at.
    {.name = "AttachesAtDispatch", .routine = AttachesAtDispatch,
     .rules = {"IoAttachDeviceToDeviceStack at raised IRQL"}},
    {.name = "BuildsRequestAtDispatch", .routine = BuildsRequestAtDispatch,
     .rules = {"IoBuildSynchronousFsdRequest at raised IRQL"}},
    {.name = "LogsAboveDispatch", .routine = LogsAboveDispatch,
     .rules = {"IoAllocateErrorLogEntry above DISPATCH_LEVEL"}},
    {.name = "WritesLogAboveDispatch", .routine = WritesLogAboveDispatch,
     .rules = {"IoWriteErrorLogEntry above DISPATCH_LEVEL"}},
    {.name = "CallsDriverAboveDispatch", .routine = CallsDriverAboveDispatch,
     .rules = {"IoCallDriver above DISPATCH_LEVEL"}},
    {.name = "CompletesAboveDispatch", .routine = CompletesAboveDispatch,
     .rules = {"IoCompleteRequest above DISPATCH_LEVEL"}},
    {.name = "PassesPowerAboveDispatch", .routine = PassesPowerAboveDispatch,
     .rules = {"PoCallDriver above DISPATCH_LEVEL", "PoStartNextPowerIrp above DISPATCH_LEVEL"},
     .major = IRP_MJ_POWER,
     .minor = IRP_MN_SET_POWER},
    {.name = "StartsNextPowerAboveDispatch", .routine = StartsNextPowerAboveDispatch,
     .rules = {"PoStartNextPowerIrp above DISPATCH_LEVEL"}, .major = IRP_MJ_POWER,
     .minor = IRP_MN_QUERY_POWER},
    {.name = "AllocatesRequestAboveDispatch", .routine = AllocatesRequestAboveDispatch,
     .rules = {"IoAllocateIrp above DISPATCH_LEVEL"}},
    {.name = "FreesRequestAboveDispatch", .routine = FreesRequestAboveDispatch,
     .rules = {"IoFreeIrp above DISPATCH_LEVEL"}},
    {.name = "SetsEventAboveDispatch", .routine = SetsEventAboveDispatch,
     .rules = {"KeSetEvent above DISPATCH_LEVEL"}},
    {.name = "AllocatesPoolAboveDispatch", .routine = AllocatesPoolAboveDispatch,
     .rules = {"ExAllocatePoolWithTag above DISPATCH_LEVEL"}},
    {.name = "FreesPoolAboveDispatch", .routine = FreesPoolAboveDispatch,
     .rules = {"ExFreePool above DISPATCH_LEVEL"}},
    {.name = "ReturnsAtDispatch", .routine = ReturnsAtDispatch,
     .rules = {"IRQL changed by dispatch routine"}},
    {.name = "RaisesInCompletion", .routine = ForwardWithCompletion,
     .rules = {"IRQL changed by completion routine"}, .completion = RaisesInCompletion},
};

class Verifier : public NtContract, public ::testing::WithParamInterface<Misdeed> {};

TEST_P(Verifier, CatchesTheWrongRoutine)
{
    const Misdeed& m = GetParam();
    // What the routines may reach for: a device already deleted, one to delete, paged pool.
    PDRIVER_OBJECT other = kernel.createDriverObject(u"\\Driver\\Other");
    PDEVICE_OBJECT deleted = kernel.createDevice(other, 0, FILE_DEVICE_UNKNOWN, 0, false);
    IoDeleteDevice(deleted);
    g.spare = kernel.createDevice(other, 0, FILE_DEVICE_UNKNOWN, 0, false);
    devices_.push_back(g.spare);
    g.paged = ExAllocatePoolWithTag(PagedPool, 16, kTag);
    g.completion = m.completion;

    scripted->setDefault(m.below);
    PDEVICE_OBJECT bottom = m.lowerRoutine != nullptr ? filter(m.lowerRoutine, nullptr)
                                                      : scripted->createDevice();
    bottom->Flags |= m.bottomFlags;
    PDEVICE_OBJECT top = filter(m.routine, m.attached ? bottom : nullptr);
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
                         [](const auto& param) { return std::string(param.param.name); });

// --- spin locks, fast mutexes and critical regions (between threads: locks_test.cpp) ----------

KSPIN_LOCK g_spinLock;
FAST_MUTEX g_fastMutex;

void SpinOnce()
{
    KIRQL old;
    KeAcquireSpinLock(&g_spinLock, &old);
    KeReleaseSpinLock(&g_spinLock, old);
}
NTSTATUS NTAPI MovesIrqlWrongly(PDEVICE_OBJECT, PIRP Irp)
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
NTSTATUS NTAPI ReleasesUnheldOrTakesTwice(PDEVICE_OBJECT, PIRP Irp)
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
NTSTATUS NTAPI LocksAtDispatch(PDEVICE_OBJECT, PIRP, PVOID)
{
    ExAcquireFastMutex(&g_fastMutex);
    ExReleaseFastMutex(&g_fastMutex);
    KeAcquireSpinLockAtDpcLevel(&g_spinLock);
    return STATUS_SUCCESS;
}

const Misdeed kLockMisdeeds[] = {
    {.name = "MovesIrqlWrongly", .routine = MovesIrqlWrongly,
     .rules = {"KeAcquireSpinLock above DISPATCH_LEVEL", "KeReleaseSpinLock not at DISPATCH_LEVEL",
               "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL",
               "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL",
               "spin lock held below DISPATCH_LEVEL", "KeLowerIrql to a higher IRQL",
               "KeRaiseIrql to a lower IRQL"}},
    {.name = "ReleasesUnheldOrTakesTwice", .routine = ReleasesUnheldOrTakesTwice,
     .rules = {"spin lock released but not held", "fast mutex released but not held",
               "ExAcquireFastMutexUnsafe outside a critical region",
               "ExReleaseFastMutexUnsafe outside a critical region",
               "critical region left but not entered", "deadlock"}},
    {.name = "LocksAtDispatchInCompletion", .routine = ForwardWithCompletion,
     .rules = {"ExAcquireFastMutex above APC_LEVEL", "ExReleaseFastMutex not at APC_LEVEL",
               "spin lock held on return"},
     .below = kAtDispatch, .completion = LocksAtDispatch},
};

INSTANTIATE_TEST_SUITE_P(LockRules, Verifier, ::testing::ValuesIn(kLockMisdeeds),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace nt_test
