// The verifier's rules, one row each, and the runner the I/O manager calls at each event.
#include <nt/verifier.hpp>

#include "stack_locations.hpp"

#include <cassert>
#include <cstdio>
#include <cstring>
#include <sstream>

namespace nt {

using io::hex;
using io::location;
using io::statusText;

namespace {

// A reported name matches a row's name, where each <placeholder> in the row (<routine>, <level>)
// stands for any non-empty text.
bool matches(std::string_view row, std::string_view name)
{
    const size_t open = row.find('<');
    const size_t close = open == std::string_view::npos ? open : row.find('>', open);
    if (close == std::string_view::npos) return row == name;
    if (name.substr(0, open) != row.substr(0, open)) return false;
    const std::string_view rest = row.substr(close + 1);
    for (size_t taken = open + 1; taken <= name.size(); ++taken) {
        if (matches(rest, name.substr(taken))) return true;
    }
    return false;
}

Verdict report(bool broken) { return broken ? Verdict::Report : Verdict::Pass; }

}  // namespace

namespace io {

std::string statusText(NTSTATUS status)
{
    std::ostringstream out;
    out << std::hex << static_cast<ULONG>(status);
    return out.str();
}

bool isRemovalOrCancel(PIO_STACK_LOCATION stack)
{
    if (stack->MajorFunction != IRP_MJ_PNP) return false;
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return true;
    default:
        return false;
    }
}

}  // namespace io

void Kernel::touchIrp(PIRP irp, const char* what)
{
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr) {
        violation("unknown request", std::string(what) + " on " + hex(irp));
        return;
    }
    if (record->state == IrpState::Freed) {
        violation("request touched after it was freed", std::string(what) + " on " + hex(irp));
        return;
    }
    Activation* activation = innermostActivation(irp);
    if (activation == nullptr) return;  // the request's owner
    if (record->state == IrpState::Completed) {
        violation("request touched after completion", std::string(what) + " on " + hex(irp));
    } else if (activation->passedOn) {
        violation("request touched after it was passed on",
                  std::string(what) + " on " + hex(irp) + " by " + hex(activation->device));
    }
}

void Kernel::rememberAfterPass(size_t index, PIRP irp)
{
    if (index >= activations_.size()) return;
    Activation& a = activations_[index];
    const IrpRecord* record = irpRecord(irp);
    if (a.irp != irp || !a.passedOn || record == nullptr || record->state == IrpState::Freed) {
        return;
    }
    // Another thread's completion walk still going on (it paused at a routine of its own) goes
    // on writing the request: what it writes is not this routine's doing.
    if (record->state == IrpState::Completing && record->completer != currentThread()) return;
    a.completionsSeen = record->completions;
    if (snapshots_.size() <= index) snapshots_.resize(index + 1);
    const auto* bytes = reinterpret_cast<const uint8_t*>(irp);
    snapshots_[index].assign(bytes, bytes + irp->Size);
    a.snapshot = true;
}

void Kernel::checkAfterPass(Activation& a)
{
    if (!a.snapshot) return;
    a.snapshot = false;
    const std::vector<uint8_t>& before = snapshots_[static_cast<size_t>(&a - activations_.data())];
    const IrpRecord* record = irpRecord(a.irp);
    if (record == nullptr || record->state == IrpState::Freed || !a.passedOn) return;
    // On simulated processors another thread may have completed the request since: what the
    // completion wrote is not this routine's doing.
    if (record->completions != a.completionsSeen && record->completer != currentThread()) return;
    if (std::memcmp(before.data(), a.irp, before.size()) != 0) {
        violation("request written after it was passed on",
                  "a routine of " + hex(a.device) +
                      " changed the request after passing it down or completing it");
    }
}

void Kernel::checkAllAfterPass()
{
    for (Activation& a : activations_) checkAfterPass(a);
}


void Kernel::checkIrql(const char* routine, KIRQL highest)
{
    if (irql_ <= highest) return;
    const char* limit = highest == PASSIVE_LEVEL ? " at raised IRQL"
                        : highest == APC_LEVEL   ? " above APC_LEVEL"
                                                 : " above DISPATCH_LEVEL";
    violation(std::string(routine) + limit,
              std::string(routine) + " at IRQL " + std::to_string(irql_));
}

std::vector<Violation> Kernel::takeViolations()
{
    sweepDeletedDevices();
    std::vector<Violation> taken;
    taken.swap(violations_);
    return taken;
}

void Kernel::addPageableCode(const void* begin, size_t size, std::string description)
{
    const auto start = reinterpret_cast<uintptr_t>(begin);
    pageableCode_.push_back(PageableCode{start, start + size, std::move(description)});
}

void Kernel::checkPageable(const void* code, const char* what)
{
    if (irql_ <= APC_LEVEL) return;
    const auto at = reinterpret_cast<uintptr_t>(code);
    for (const PageableCode& range : pageableCode_) {
        if (at < range.begin || at >= range.end) continue;
        char offset[16];
        std::snprintf(offset, sizeof offset, "+0x%lx", static_cast<unsigned long>(at - range.begin));
        violation("pageable code at raised IRQL", range.description + offset + " " +
                                                      std::string(what) + " at IRQL " +
                                                      std::to_string(irql_));
        return;
    }
}

using E = VerifierEvent;
using K = Kernel;

// The table is a member of Verifier so that its checks may read what the kernel keeps of its
// devices.
const VerifierRule Verifier::kRules[] = {
    // --- a routine calls IoCallDriver or PoCallDriver ----------------------------------
    {"IoCallDriver above DISPATCH_LEVEL", E::Call,
     "IoCallDriver called above DISPATCH_LEVEL.",
     [](const IoEvent& e, std::string& d) {
         if (e.viaPoCallDriver || e.kernel.irql() <= DISPATCH_LEVEL) return Verdict::Pass;
         d = "IoCallDriver at IRQL " + std::to_string(e.kernel.irql());
         return Verdict::Report;
     }},
    {"PoCallDriver above DISPATCH_LEVEL", E::Call,
     "PoCallDriver called above DISPATCH_LEVEL.",
     [](const IoEvent& e, std::string& d) {
         if (!e.viaPoCallDriver || e.kernel.irql() <= DISPATCH_LEVEL) return Verdict::Pass;
         d = "PoCallDriver at IRQL " + std::to_string(e.kernel.irql());
         return Verdict::Report;
     }},
    // --- the request is about to go down ----------------------------------------------
    {"request sent to a deleted device", E::Send,
     "A request sent to a device object that IoDeleteDevice has deleted; when nothing of "
     "the device can be read any more the call fails with STATUS_NO_SUCH_DEVICE.",
     [](const IoEvent& e, std::string& d) {
         if (e.kernel.isLiveDevice(e.device)) return Verdict::Pass;
         d = "IofCallDriver to " + hex(e.device);
         const bool gone = e.kernel.isPoisoned(e.device) || e.kernel.devices_.count(e.device) == 0;
         return gone ? Verdict::Refuse : Verdict::Report;
     },
     STATUS_NO_SUCH_DEVICE},
    {"too few stack locations", E::Send,
     "A request passed down with no stack location left for the device below; the call "
     "fails with STATUS_INVALID_PARAMETER.",
     [](const IoEvent& e, std::string& d) {
         if (e.irp->CurrentLocation > 1) return Verdict::Pass;
         d = "IofCallDriver to " + hex(e.device) + " with no stack location left";
         return Verdict::Refuse;
     },
     STATUS_INVALID_PARAMETER},
    {"next stack location not prepared", E::Send,
     "A dispatch routine that passes its request on without copying or skipping its stack "
     "location; the call fails with STATUS_INVALID_DEVICE_REQUEST.",
     [](const IoEvent& e, std::string& d) {
         const K::Activation* c = e.routine;
         if (c == nullptr || !c->dispatch || e.irp->CurrentLocation != c->location ||
             location(e.irp, c->location - 1)->MajorFunction != io::kUnpreparedMajor) {
             return Verdict::Pass;
         }
         d = "dispatch of " + hex(c->device) +
             " passed the request on without copying or skipping its stack location";
         return Verdict::Refuse;
     },
     STATUS_INVALID_DEVICE_REQUEST},
    {"completion routine set over the caller's", E::Send,
     "A dispatch routine that skips its stack location and then sets a completion routine, "
     "overwriting the one the driver above set there.",
     [](const IoEvent& e, std::string& d) {
         const K::Activation* c = e.routine;
         if (c == nullptr || !c->dispatch || e.irp->CurrentLocation != c->location + 1) {
             return Verdict::Pass;
         }
         PIO_STACK_LOCATION own = location(e.irp, c->location);
         if (own->CompletionRoutine == c->callerRoutine && own->Context == c->callerContext &&
             (own->Control & io::kInvokeOnAny) == c->callerInvoke) {
             return Verdict::Pass;
         }
         d = "dispatch of " + hex(c->device) +
             " skipped its stack location and then set a completion routine in it";
         return Verdict::Report;
     }},
    {"request failed and passed on", E::Send,
     "A dispatch routine that sets an error status on a PnP or power request and passes it "
     "down instead of completing it.",
     [](const IoEvent& e, std::string& d) {
         const K::Activation* c = e.routine;
         if (c == nullptr || !c->dispatch) return Verdict::Pass;
         const NTSTATUS status = e.irp->IoStatus.Status;
         if (!io::isPnpOrPower(location(e.irp, c->location)->MajorFunction) ||
             status == c->statusAtEntry || NT_SUCCESS(status)) {
             return Verdict::Pass;
         }
         d = "dispatch of " + hex(c->device) + " set status " + statusText(status) +
             " on a PnP or power request and passed it down instead of completing it";
         return Verdict::Report;
     }},
    // --- the request has reached the device -------------------------------------------
    {"power request passed with IofCallDriver", E::Arrive,
     "A power request passed down with IoCallDriver instead of PoCallDriver.",
     [](const IoEvent& e, std::string& d) {
         if (e.stack->MajorFunction != IRP_MJ_POWER || e.viaPoCallDriver) return Verdict::Pass;
         d = "to " + hex(e.device);
         return Verdict::Report;
     }},
    {"PnP request not initialised", E::Arrive,
     "A PnP request built with IoBuildSynchronousFsdRequest and sent without first setting "
     "its status to STATUS_NOT_SUPPORTED.",
     [](const IoEvent& e, std::string& d) {
         if (!e.record->threadRequest || e.record->sent ||
             e.stack->MajorFunction != IRP_MJ_PNP ||
             e.irp->IoStatus.Status == STATUS_NOT_SUPPORTED) {
             return Verdict::Pass;
         }
         d = "a built PnP request must start as STATUS_NOT_SUPPORTED";
         return Verdict::Report;
     }},
    {"DO_POWER_PAGABLE missing above a pageable device", E::Arrive,
     "A device that passes power requests to a pageable device without being pageable "
     "itself.",
     [](const IoEvent& e, std::string& d) {
         if (e.stack->MajorFunction != IRP_MJ_POWER || e.routine == nullptr ||
             (e.device->Flags & DO_POWER_PAGABLE) == 0) {
             return Verdict::Pass;
         }
         PDEVICE_OBJECT above = e.routine->device;
         if (above == nullptr || !e.kernel.isLiveDevice(above) ||
             (above->Flags & DO_POWER_PAGABLE) != 0) {
             return Verdict::Pass;
         }
         d = hex(above) + " of " + narrow(e.kernel.driverNameOf(above)) +
             " passes power requests to " + hex(e.device) + " of " +
             narrow(e.kernel.driverNameOf(e.device)) +
             ", which is pageable, without being pageable itself";
         return Verdict::Report;
     }},
    // --- the dispatch routine has returned --------------------------------------------
    {"IRQL changed by dispatch routine", E::Return,
     "A dispatch routine that returns at another IRQL than it was called at.",
     [](const IoEvent& e, std::string& d) {
         if (e.kernel.irql() == e.irqlAtCall) return Verdict::Pass;
         d = "dispatch of " + hex(e.device) + " was called at IRQL " +
             std::to_string(e.irqlAtCall) + " and returned at IRQL " +
             std::to_string(e.kernel.irql());
         return Verdict::Report;
     }},
    {"removal without detach and delete", E::Return,
     "A dispatch routine that returns from IRP_MN_REMOVE_DEVICE with its device object "
     "neither detached nor deleted.",
     [](const IoEvent& e, std::string& d) {
         if (!e.removal || !e.kernel.isLiveDevice(e.device)) return Verdict::Pass;
         d = "dispatch of " + hex(e.device) +
             " returned from IRP_MN_REMOVE_DEVICE with its device object still there";
         return Verdict::Report;
     }},
    {"pending not marked", E::ReturnStatus,
     "A dispatch routine that returns STATUS_PENDING without marking its stack location "
     "pending (itself, or through its completion routine).",
     [](const IoEvent& e, std::string& d) {
         K::IrpLocation& at = e.record->locations[static_cast<size_t>(e.location)];
         const bool walked = at.controlAtCompletion.has_value();
         const UCHAR control = walked ? *at.controlAtCompletion : e.stack->Control;
         if (e.status != STATUS_PENDING || (control & SL_PENDING_RETURNED) != 0) {
             return Verdict::Pass;
         }
         // Not completed yet: the completion walk must find the location marked.
         if (!walked) {
             at.pendingExpected = true;
             return Verdict::Pass;
         }
         d = "dispatch of " + hex(e.device) +
             " returned STATUS_PENDING without marking its stack location pending";
         return Verdict::Report;
     }},
    {"pending marked but not returned", E::ReturnStatus,
     "A dispatch routine that marks its stack location pending and returns anything but "
     "STATUS_PENDING.",
     [](const IoEvent& e, std::string& d) {
         const K::IrpLocation& at = e.record->locations[static_cast<size_t>(e.location)];
         const UCHAR control =
             at.controlAtCompletion ? *at.controlAtCompletion : e.stack->Control;
         if (e.status == STATUS_PENDING || (control & SL_PENDING_RETURNED) == 0) {
             return Verdict::Pass;
         }
         d = "dispatch of " + hex(e.device) + " marked the request pending and returned " +
             hex(reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<ULONG>(e.status))));
         return Verdict::Report;
     }},
    // --- a routine calls IoCompleteRequest --------------------------------------------
    {"request completed twice", E::Complete,
     "IoCompleteRequest of a request already completed; the second completion is ignored.",
     [](const IoEvent& e, std::string& d) {
         if (e.record->state == K::IrpState::InFlight) return Verdict::Pass;
         d = "IoCompleteRequest of " + hex(e.irp);
         return Verdict::Refuse;
     }},
    {"IoCompleteRequest above DISPATCH_LEVEL", E::Complete,
     "IoCompleteRequest called above DISPATCH_LEVEL.",
     [](const IoEvent& e, std::string& d) {
         if (e.kernel.irql() <= DISPATCH_LEVEL) return Verdict::Pass;
         d = "IoCompleteRequest at IRQL " + std::to_string(e.kernel.irql());
         return Verdict::Report;
     }},
    {"request completed with STATUS_PENDING", E::Complete,
     "A request completed with STATUS_PENDING as its status.",
     [](const IoEvent& e, std::string& d) {
         d = "IoCompleteRequest of " + hex(e.irp);
         return report(e.irp->IoStatus.Status == STATUS_PENDING);
     }},
    {"PnP request failed with STATUS_NOT_SUPPORTED", E::Complete,
     "A dispatch routine that completes a PnP request it found in another status with "
     "STATUS_NOT_SUPPORTED, which says that no driver handled it.",
     [](const IoEvent& e, std::string& d) {
         const K::Activation* c = e.routine;
         if (e.stack == nullptr || c == nullptr || !c->dispatch ||
             e.stack->MajorFunction != IRP_MJ_PNP ||
             e.irp->IoStatus.Status != STATUS_NOT_SUPPORTED ||
             c->statusAtEntry == STATUS_NOT_SUPPORTED) {
             return Verdict::Pass;
         }
         d = "dispatch of " + hex(c->device) +
             " completed a PnP request with STATUS_NOT_SUPPORTED";
         return Verdict::Report;
     }},
    {"set-power request failed", E::Complete,
     "IRP_MN_SET_POWER completed with an error other than STATUS_DELETE_PENDING (the one "
     "failure a device whose removal has begun may give through its remove lock).",
     [](const IoEvent& e, std::string& d) {
         const NTSTATUS status = e.irp->IoStatus.Status;
         if (e.stack == nullptr || e.stack->MajorFunction != IRP_MJ_POWER ||
             e.stack->MinorFunction != IRP_MN_SET_POWER || NT_SUCCESS(status) ||
             status == STATUS_DELETE_PENDING) {
             return Verdict::Pass;
         }
         d = "IRP_MN_SET_POWER completed with " + statusText(status);
         return Verdict::Report;
     }},
    {"removal or cancel failed", E::Complete,
     "IRP_MN_REMOVE_DEVICE, IRP_MN_SURPRISE_REMOVAL, IRP_MN_CANCEL_REMOVE_DEVICE or "
     "IRP_MN_CANCEL_STOP_DEVICE completed with an error: these may not fail.",
     [](const IoEvent& e, std::string& d) {
         if (e.stack == nullptr || !io::isRemovalOrCancel(e.stack) ||
             NT_SUCCESS(e.irp->IoStatus.Status)) {
             return Verdict::Pass;
         }
         d = "PnP minor " + std::to_string(e.stack->MinorFunction) + " completed with an error";
         return Verdict::Report;
     }},
    // --- the completion walk ----------------------------------------------------------
    {"pending flag dropped", E::WalkStep,
     "A completion routine that does not mark the request pending although the dispatch "
     "routine above returned STATUS_PENDING from below.",
     [](const IoEvent& e, std::string& d) {
         const K::IrpLocation& at = e.record->locations[static_cast<size_t>(e.location)];
         if (!at.pendingExpected || (e.stack->Control & SL_PENDING_RETURNED) != 0) {
             return Verdict::Pass;
         }
         d = "a completion routine did not mark the request pending although the dispatch "
             "routine above returned STATUS_PENDING from below";
         return Verdict::Report;
     }},
    {"IRQL changed by completion routine", E::CompletionReturn,
     "A completion routine that returns at another IRQL than it was called at.",
     [](const IoEvent& e, std::string& d) {
         if (e.kernel.irql() == e.irqlAtCall) return Verdict::Pass;
         d = "a completion routine of " + hex(e.device) + " was called at IRQL " +
             std::to_string(e.irqlAtCall) + " and returned at IRQL " +
             std::to_string(e.kernel.irql());
         return Verdict::Report;
     }},
    {"status changed by a completion routine", E::CompletionReturn,
     "A completion routine that changes the status of a PnP or power request and lets "
     "completion go on instead of returning STATUS_MORE_PROCESSING_REQUIRED.",
     [](const IoEvent& e, std::string& d) {
         const NTSTATUS now = e.irp->IoStatus.Status;
         if (e.status == STATUS_MORE_PROCESSING_REQUIRED || !io::isPnpOrPower(e.major) ||
             now == e.statusBefore) {
             return Verdict::Pass;
         }
         d = "a completion routine of " + hex(e.device) + " changed the status of a PnP or "
             "power request from " + statusText(e.statusBefore) + " to " + statusText(now) +
             " and let completion go on";
         return Verdict::Report;
     }},
    {"power request completed without PoStartNextPowerIrp", E::WalkEnd,
     "A driver that a power request reached and that did not call PoStartNextPowerIrp for "
     "it (reported once per driver and request).",
     [](const IoEvent& e, std::string& d) {
         for (K::IrpRecord::PowerVisit& visit : e.record->power) {
             if (!visit.reached || visit.reported || visit.startedNext != 0) continue;
             visit.reported = true;
             d = "by " + hex(visit.device);
             return Verdict::Report;
         }
         return Verdict::Pass;
     },
     STATUS_SUCCESS, true},
    // --- checked in place by the routine that watches the event ---------------------
    {"unknown request", E::InPlace,
     "A routine that touches a request the I/O manager never built."},
    {"request touched after it was freed", E::InPlace,
     "A routine that touches a request after IoFreeIrp freed it."},
    {"request touched after completion", E::InPlace,
     "A routine that touches a request after it was completed."},
    {"request touched after it was passed on", E::InPlace,
     "A routine that touches a request after passing it down, while the driver below owns it."},
    {"request written after it was passed on", E::InPlace,
     "A routine that changes any byte of a request after passing it down or completing it."},
    {"request freed twice", E::InPlace,
     "IoFreeIrp of a request already freed, or never built."},
    {"request freed in flight", E::InPlace,
     "IoFreeIrp of a request still travelling down or being completed."},
    {"request never completed", E::InPlace,
     "A request the PnP manager sent that no driver completed."},
    {"PoStartNextPowerIrp called twice", E::InPlace,
     "A driver that calls PoStartNextPowerIrp twice for one power request."},
    {"PoCallDriver without PoStartNextPowerIrp", E::InPlace,
     "A power request passed down without exactly one PoStartNextPowerIrp by the passing driver."},
    {"attachment", E::InPlace,
     "IoAttachDeviceToDeviceStack with a deleted device object."},
    {"detach", E::InPlace,
     "IoDetachDevice on a device with nothing attached."},
    {"delete", E::InPlace,
     "IoDeleteDevice of something that is not a device object."},
    {"device deleted twice", E::InPlace,
     "IoDeleteDevice of a device already deleted."},
    {"device deleted while attached", E::InPlace,
     "IoDeleteDevice of a device still attached to the one below."},
    {"device object used after deletion", E::InPlace,
     "A deleted device object read, written or passed to a routine once nothing could reach it."},
    {"reference count below zero", E::InPlace,
     "ObDereferenceObject of a device object with no reference left."},
    {"<routine> at raised IRQL", E::InPlace,
     "A routine that must run at PASSIVE_LEVEL called above it."},
    {"<routine> above APC_LEVEL", E::InPlace,
     "A routine that must run at or below APC_LEVEL called above it."},
    {"<routine> above DISPATCH_LEVEL", E::InPlace,
     "A routine that must run at or below DISPATCH_LEVEL called above it."},
    {"<routine> below DISPATCH_LEVEL", E::InPlace,
     "A routine for callers at DISPATCH_LEVEL (the AtDpcLevel spin lock pair) called below it."},
    {"<routine> to a lower IRQL", E::InPlace,
     "KeRaiseIrql (or a routine that raises) asked to raise to a lower IRQL."},
    {"KeLowerIrql to a higher IRQL", E::InPlace,
     "KeLowerIrql asked to lower to a higher IRQL."},
    {"<routine> not at <level>", E::InPlace,
     "A lock released at another IRQL than its acquisition raised to."},
    {"pageable code at raised IRQL", E::InPlace,
     "Pageable code (PAGED_CODE, or a routine in a pageable section of a kernel image) run above APC_LEVEL."},
    {"paged pool at raised IRQL", E::InPlace,
     "Paged pool allocated or freed above APC_LEVEL."},
    {"wait at raised IRQL", E::InPlace,
     "KeWaitForSingleObject with a time-out other than zero above APC_LEVEL."},
    {"wait never satisfied", E::InPlace,
     "KeWaitForSingleObject with no time-out on an event nobody sets."},
    {"spin lock released but not held", E::InPlace,
     "A spin lock released while nobody holds it."},
    {"fast mutex released but not held", E::InPlace,
     "A fast mutex released while nobody holds it."},
    {"spin lock released by another thread", E::InPlace,
     "A spin lock released by a thread other than its holder."},
    {"fast mutex released by another thread", E::InPlace,
     "A fast mutex released by a thread other than its holder."},
    {"spin lock held on return", E::InPlace,
     "A dispatch or completion routine that returns holding a spin lock it acquired."},
    {"spin lock held below DISPATCH_LEVEL", E::InPlace,
     "KeLowerIrql below DISPATCH_LEVEL while a spin lock is held."},
    {"deadlock", E::InPlace,
     "A thread that waits for a lock whose holder can never release it (the holder waits, directly or not, for this thread)."},
    {"<routine> outside a critical region", E::InPlace,
     "An unsafe fast-mutex routine called below APC_LEVEL outside a critical region."},
    {"critical region left but not entered", E::InPlace,
     "KeLeaveCriticalRegion without a matching KeEnterCriticalRegion."},
    {"thread ended holding a lock", E::InPlace,
     "A kernel thread that ends holding a lock."},
    {"thread ended at raised IRQL", E::InPlace,
     "A kernel thread that ends above PASSIVE_LEVEL."},
    {"thread ended in a critical region", E::InPlace,
     "A kernel thread that ends inside a critical region."},
    {"remove lock of another size", E::InPlace,
     "A remove lock used with another size than the free build's."},
    {"remove lock released more often than acquired", E::InPlace,
     "IoReleaseRemoveLock with no acquisition outstanding."},
    {"remove lock released and waited for twice", E::InPlace,
     "IoReleaseRemoveLockAndWait called twice on one remove lock."},
    {"remove lock never released", E::InPlace,
     "IoReleaseRemoveLockAndWait that finds acquisitions still outstanding, which it would wait for forever."},
    {"zero-size allocation", E::InPlace,
     "ExAllocatePoolWithTag of zero bytes."},
    {"untagged allocation", E::InPlace,
     "ExAllocatePoolWithTag with tag 0."},
    {"double free", E::InPlace,
     "ExFreePool of a block already freed."},
    {"foreign free", E::InPlace,
     "ExFreePool of memory that never came from the pool."},
    {"error-log entry", E::InPlace,
     "IoWriteErrorLogEntry of an entry never allocated, or already written."},
    {"bus interface used after it was dereferenced", E::InPlace,
     "A routine of the PCI bus interface called with no reference to the interface held."},
    {"interface released too often", E::InPlace,
     "InterfaceDereference of a bus interface with no reference held."},
};

std::span<const VerifierRule> Verifier::rules() { return kRules; }

const VerifierRule* Verifier::find(std::string_view name)
{
    for (const VerifierRule& rule : rules()) {
        if (matches(rule.name, name)) return &rule;
    }
    return nullptr;
}

const char* Verifier::eventName(VerifierEvent event)
{
    switch (event) {
    case VerifierEvent::Call: return "call";
    case VerifierEvent::Send: return "send";
    case VerifierEvent::Arrive: return "arrive";
    case VerifierEvent::Return: return "return";
    case VerifierEvent::ReturnStatus: return "return status";
    case VerifierEvent::Complete: return "complete";
    case VerifierEvent::WalkStep: return "walk step";
    case VerifierEvent::CompletionReturn: return "completion return";
    case VerifierEvent::WalkEnd: return "walk end";
    case VerifierEvent::InPlace: return "in place";
    }
    return "?";
}

void Kernel::violation(const std::string& rule, const std::string& detail)
{
    // Every rule reported has its row in the table (and so in the verifier's documentation).
    assert(Verifier::find(rule) != nullptr && "a verifier rule without a row");
    violations_.push_back(Violation{rule, detail});
}

std::optional<NTSTATUS> Verifier::at(VerifierEvent event, const IoEvent& what)
{
    std::string detail;
    for (const VerifierRule& rule : rules()) {
        if (rule.event != event || rule.check == nullptr) continue;
        // A rule may find more than one fault at one event (a power request reaches several
        // drivers): such a rule is asked again until it passes.
        for (Verdict verdict = rule.check(what, detail); verdict != Verdict::Pass;
             verdict = rule.repeats ? rule.check(what, detail) : Verdict::Pass) {
            what.kernel.violation(rule.name, detail);
            if (verdict == Verdict::Refuse) return rule.refusal;
        }
    }
    return std::nullopt;
}

}  // namespace nt
