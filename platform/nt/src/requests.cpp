// The I/O manager of the stand-in: requests with real stack locations, IofCallDriver, the
// completion walk and the power manager's PoStartNextPowerIrp. It tells the verifier of each
// event as it happens.
#include <nt/kernel.hpp>
#include <nt/sched.hpp>
#include <nt/verifier.hpp>

#include "stack_locations.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace nt {

namespace {

using io::hex;
using io::kInvokeOnAny;
using io::kUnpreparedFill;
using io::location;
using io::locationNumber;

// Moves the request one location up without the verifier's touch check (the I/O manager's own
// moves).
void advance(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

// What the I/O manager clears in a stack location once completion has passed it.
void clearLocation(PIO_STACK_LOCATION stack)
{
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    std::memset(&stack->Parameters, 0, sizeof(stack->Parameters));
    stack->FileObject = nullptr;
}

// An error (not a warning): the I/O manager's test for leaving a caller's status block alone.
bool isError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

}  // namespace

// --- requests -----------------------------------------------------------------------------------

Kernel::IrpRecord* Kernel::irpRecord(PIRP irp)
{
    if (irp == lastIrp_ && irp != nullptr) return lastRecord_;
    auto it = irps_.find(irp);
    if (it == irps_.end()) return nullptr;
    lastIrp_ = irp;
    lastRecord_ = &it->second;
    return lastRecord_;
}

Kernel::Activation* Kernel::innermostActivation(PIRP irp)
{
    for (auto it = activations_.rbegin(); it != activations_.rend(); ++it) {
        if (it->irp == nullptr) break;  // deferred work: what lies below is another context's
        if (it->irp == irp) return &*it;
    }
    return nullptr;
}

PIRP Kernel::newIrp(CCHAR stackSize, bool threadRequest)
{
    size_t total = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(arena_.allocate(total));
    std::memset(irp, 0, total);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(total);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = location(irp, stackSize + 1);
    IrpRecord record;
    record.threadRequest = threadRequest;
    record.locations.resize(static_cast<size_t>(stackSize) + 2);
    IrpRecord& kept = irps_[irp];
    kept = std::move(record);
    lastIrp_ = irp;
    lastRecord_ = &kept;
    return irp;
}

PIRP Kernel::allocateIrp(CCHAR stackSize) { return newIrp(stackSize, false); }

void Kernel::freeIrp(PIRP irp)
{
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr || record->state == IrpState::Freed) {
        violation("request freed twice", "IoFreeIrp of " + hex(irp));
        return;
    }
    // The owner may free its request from its own completion routine, which runs once the walk
    // has left every stack location.
    const bool withOwner = irp->CurrentLocation > irp->StackCount;
    if (record->state == IrpState::InFlight ||
        (record->state == IrpState::Completing && !withOwner)) {
        violation("request freed in flight", "IoFreeIrp of " + hex(irp) + " before completion");
    }
    retireIrp(irp);
}

bool Kernel::isCompleted(PIRP irp) const
{
    auto it = irps_.find(irp);
    return it != irps_.end() &&
           (it->second.state == IrpState::Completed || it->second.state == IrpState::Freed);
}

void Kernel::onCompleted(PIRP irp, std::function<void(PIRP)> done)
{
    if (IrpRecord* record = irpRecord(irp)) record->done = std::move(done);
}

NTSTATUS Kernel::sendToStack(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    bool power = location(irp, irp->CurrentLocation - 1)->MajorFunction == IRP_MJ_POWER;
    return callDriver(top, irp, power);
}

NTSTATUS Kernel::callDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver)
{
    touchIrp(irp, viaPoCallDriver ? "PoCallDriver" : "IofCallDriver");
    IoEvent call{*this, irp, device};
    call.viaPoCallDriver = viaPoCallDriver;
    Verifier::at(VerifierEvent::Call, call);
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr || record->state == IrpState::Freed) return STATUS_INVALID_PARAMETER;
    if (isPoisonPointer(device)) {
        usedAfterDelete(device, viaPoCallDriver ? "PoCallDriver" : "IofCallDriver");
        return STATUS_NO_SUCH_DEVICE;
    }

    // The routine passing the request on, if a routine of a driver does.
    const std::optional<size_t> callerIndex = [&]() -> std::optional<size_t> {
        Activation* caller = innermostActivation(irp);
        if (caller == nullptr) return std::nullopt;
        return static_cast<size_t>(caller - activations_.data());
    }();
    call.record = record;
    call.routine = callerIndex ? &activations_[*callerIndex] : nullptr;
    if (auto refused = Verifier::at(VerifierEvent::Send, call)) return *refused;

    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    const int n = irp->CurrentLocation;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    call.stack = stack;
    call.location = n;
    Verifier::at(VerifierEvent::Arrive, call);

    if (stack->MajorFunction == IRP_MJ_POWER) record->powerVisit(device).reached = true;
    const bool removal = stack->MajorFunction == IRP_MJ_PNP &&
                         stack->MinorFunction == IRP_MN_REMOVE_DEVICE &&
                         device->DeviceObjectExtension->AttachedTo != nullptr;
    record->sent = true;
    if (callerIndex) activations_[*callerIndex].passedOn = true;
    record->state = IrpState::InFlight;
    record->locations[n] = IrpLocation{};

    // The location below this routine's own holds nothing usable until the routine copies its
    // own location into it (or skips, and never looks at it).
    if (n > 1) std::memset(location(irp, n - 1), kUnpreparedFill, sizeof(IO_STACK_LOCATION));

    const NTSTATUS status = callDispatch(device, irp, removal);
    // What the routine returned, held against its stack location.
    IoEvent returned{*this, irp, device};
    returned.record = irpRecord(irp);
    if (returned.record == nullptr) return status;  // freed and out of quarantine meanwhile
    returned.status = status;
    returned.location = n;
    returned.stack = location(irp, n);
    Verifier::at(VerifierEvent::ReturnStatus, returned);
    if (callerIndex) rememberAfterPass(*callerIndex, irp);
    return status;
}

// Calls the dispatch routine of `device` for the request that has just reached its location.
NTSTATUS Kernel::callDispatch(PDEVICE_OBJECT device, PIRP irp, bool removal)
{
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    const bool power = stack->MajorFunction == IRP_MJ_POWER;
    const bool pageable = (device->Flags & DO_POWER_PAGABLE) != 0;
    // Power requests reach a device that is not pageable at DISPATCH_LEVEL.
    const KIRQL callerIrql = irql_;
    if (power && !pageable && irql_ < DISPATCH_LEVEL) irql_ = DISPATCH_LEVEL;

    const size_t depth = activations_.size();
    Activation entry{irp, irp->CurrentLocation, device};
    entry.dispatch = true;
    entry.irql = irql_;
    entry.statusAtEntry = irp->IoStatus.Status;
    entry.callerRoutine = stack->CompletionRoutine;
    entry.callerContext = stack->Context;
    entry.callerInvoke = stack->Control & kInvokeOnAny;
    activations_.push_back(std::move(entry));
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    activations_.back().routine = reinterpret_cast<const void*>(dispatch);
    checkPageable(reinterpret_cast<const void*>(dispatch), "dispatch routine");
    preempt();
    const NTSTATUS status = dispatch(device, irp);
    preempt();
    checkLocksOnReturn(depth, "dispatch", device);
    checkAfterPass(activations_[depth]);
    IoEvent returned{*this, irp, device};
    returned.irqlAtCall = activations_[depth].irql;
    returned.removal = removal;
    activations_.resize(depth);
    Verifier::at(VerifierEvent::Return, returned);
    irql_ = callerIrql;
    if (depth == 0) sweepDeletedDevices();
    return status;
}

void Kernel::completeRequest(PIRP irp)
{
    IrpRecord* record = irpRecord(irp);
    // A second completion is reported as that alone, not also as a touch after the first.
    const bool completedBefore = record != nullptr && (record->state == IrpState::Completing ||
                                                       record->state == IrpState::Completed);
    if (!completedBefore) touchIrp(irp, "IoCompleteRequest");
    if (record == nullptr || record->state == IrpState::Freed) return;
    ++record->completions;
    record->completer = currentThread();
    Activation* completer = innermostActivation(irp);
    const std::optional<size_t> completerIndex =
        completer != nullptr ? std::optional<size_t>(static_cast<size_t>(
                                   completer - activations_.data()))
                             : std::nullopt;
    IoEvent complete{*this, irp};
    complete.record = record;
    complete.routine = completer;
    // A request completed again by its builder, past every stack location, has none to check.
    if (irp->CurrentLocation <= irp->StackCount) complete.stack = irp->Tail.Overlay.CurrentStackLocation;
    if (Verifier::at(VerifierEvent::Complete, complete)) return;
    if (completer != nullptr) completer->passedOn = true;
    record->state = IrpState::Completing;
    const KIRQL walkIrql = irql_;
    // Which major the walk completes, read before the walk clears the locations.
    const bool power = irp->CurrentLocation <= irp->StackCount &&
                       irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER;

    // Walk up from the completing location; the walk ends with the request back at
    // StackCount + 1, where its owner built it.
    for (PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
         irp->CurrentLocation <= irp->StackCount; stack++) {
        advance(irp);
        const int n = locationNumber(irp, stack);
        record->locations[n].controlAtCompletion = stack->Control;
        IoEvent step{*this, irp};
        step.record = record;
        step.location = n;
        step.stack = stack;
        Verifier::at(VerifierEvent::WalkStep, step);
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const bool success = NT_SUCCESS(irp->IoStatus.Status);
        const bool invoke = (success && (stack->Control & SL_INVOKE_ON_SUCCESS) != 0) ||
                            (!success && (stack->Control & SL_INVOKE_ON_ERROR) != 0) ||
                            (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL) != 0);
        if (invoke && stack->CompletionRoutine != nullptr) {
            if (callCompletionRoutine(irp, stack, walkIrql) == STATUS_MORE_PROCESSING_REQUIRED) {
                reclaim(irp);
                return;
            }
        } else {
            if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
                irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
            }
            clearLocation(stack);
        }
    }

    record->state = IrpState::Completed;
    if (power) {
        // Every driver a power request reached starts the next one, once.
        IoEvent walked{*this, irp};
        walked.record = record;
        Verifier::at(VerifierEvent::WalkEnd, walked);
    }
    finishRequest(irp, *record);
    if (completerIndex) rememberAfterPass(*completerIndex, irp);
}

// Calls the completion routine held in `stack`, which the walk has just left, as the driver that
// owns the location above would be called.
NTSTATUS Kernel::callCompletionRoutine(PIRP irp, PIO_STACK_LOCATION stack, KIRQL walkIrql)
{
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    const UCHAR major = stack->MajorFunction;
    clearLocation(stack);
    PDEVICE_OBJECT owner = irp->CurrentLocation == irp->StackCount + 1
                               ? nullptr
                               : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    const size_t depth = activations_.size();
    activations_.push_back(Activation{irp, irp->CurrentLocation, owner});
    activations_.back().irql = irql_;
    activations_.back().routine = reinterpret_cast<const void*>(routine);
    const NTSTATUS statusBefore = irp->IoStatus.Status;
    checkPageable(reinterpret_cast<const void*>(routine), "completion routine");
    preempt();
    NTSTATUS status = routine(owner, irp, context);
    preempt();
    checkLocksOnReturn(depth, "a completion routine", owner);
    activations_.resize(depth);
    IoEvent returned{*this, irp, owner};
    returned.irqlAtCall = walkIrql;
    returned.status = status;
    returned.statusBefore = statusBefore;
    returned.major = major;
    Verifier::at(VerifierEvent::CompletionReturn, returned);
    irql_ = walkIrql;
    return status;
}

// A completion routine returned STATUS_MORE_PROCESSING_REQUIRED and stopped the walk.
void Kernel::reclaim(PIRP irp)
{
    // The request belongs to the routine's driver again. Past the top location that is the
    // driver that built it with IoAllocateIrp, done with the stack and free to free it; a request
    // from IoBuildSynchronousFsdRequest is completed once more by its builder so that the I/O
    // manager finishes it.
    IrpRecord* record = irpRecord(irp);
    if (record != nullptr && record->state == IrpState::Completing) {
        const bool reclaimed = irp->CurrentLocation > irp->StackCount && !record->threadRequest;
        record->state = reclaimed ? IrpState::Completed : IrpState::InFlight;
    }
    for (Activation& a : activations_) {
        if (a.irp == irp && a.location == irp->CurrentLocation) a.passedOn = false;
    }
}

// The walk is done: the request goes back to whoever asked for it.
void Kernel::finishRequest(PIRP irp, IrpRecord& record)
{
    if (record.threadRequest) {
        // The I/O manager's part for a request built by IoBuildSynchronousFsdRequest. A request
        // that ends in an error without having been pended returns its status through
        // IoCallDriver alone: the status block and the event are left as they are. Otherwise
        // the status is copied out and the event signalled. Either way the request is freed.
        if (!isError(irp->IoStatus.Status) || irp->PendingReturned) {
            if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
            if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, 0, FALSE);
        }
        retireIrp(irp);
    } else if (record.done) {
        auto done = std::move(record.done);
        done(irp);
    }
}

void Kernel::startNextPowerIrp(PIRP irp)
{
    touchIrp(irp, "PoStartNextPowerIrp");
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr) return;
    Activation* activation = innermostActivation(irp);
    PDEVICE_OBJECT device = activation != nullptr ? activation->device : nullptr;
    if (++record->powerVisit(device).startedNext > 1) {
        violation("PoStartNextPowerIrp called twice",
                  "by " + hex(device) + " for one power request");
    }
}

}  // namespace nt
