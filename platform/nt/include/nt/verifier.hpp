// The verifier as a table: each rule names the event it watches, the check it makes there and
// the message it reports. The I/O manager tells the verifier what happens (a request is sent, a
// dispatch routine returns, a request is completed, ...) and knows none of the rules; the
// verifier runs the rules of that event in the table's order.
#pragma once

#include <nt/kernel.hpp>

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace nt {

enum class VerifierEvent {
    Call,              // a routine calls IoCallDriver or PoCallDriver
    Send,              // the request is about to go down to the device
    Arrive,            // the request has reached the device's stack location
    Return,            // the device's dispatch routine has returned
    ReturnStatus,      // ... and what it returned is held against its stack location
    Complete,          // a routine calls IoCompleteRequest
    WalkStep,          // the completion walk reaches a stack location
    CompletionReturn,  // a completion routine has returned
    WalkEnd,           // the completion walk has finished
    // Rules checked in place by the routine that watches the event (pool, locks, objects, the
    // end of a thread or a run); their rows document them.
    InPlace,
};

// What happened, as far as the rules of one event read it.
struct IoEvent {
    Kernel& kernel;
    PIRP irp = nullptr;
    PDEVICE_OBJECT device = nullptr;              // the device the event concerns
    Kernel::IrpRecord* record = nullptr;
    const Kernel::Activation* routine = nullptr;  // the routine passing on or completing
    const char* call = nullptr;                   // the routine called (IoCallDriver, ...)
    bool viaPoCallDriver = false;
    NTSTATUS status = 0;                          // what the routine returned
    NTSTATUS statusBefore = 0;                    // the request's status as it found it
    KIRQL irqlAtCall = 0;                         // the IRQL the routine was called at
    bool removal = false;                         // an IRP_MN_REMOVE_DEVICE to an attached device
    UCHAR major = 0;
    int location = 0;                             // the stack location's number
    PIO_STACK_LOCATION stack = nullptr;
};

enum class Verdict { Pass, Report, Refuse };

struct VerifierRule {
    const char* name;     // the rule, as reported (<routine> stands for any routine's name)
    VerifierEvent event;
    const char* catches;  // what the rule catches, in a sentence
    // The check: Pass, or Report with the message's detail, or Refuse: report, and the I/O
    // manager gives up the call with `refusal` (later rules of the event are not run).
    Verdict (*check)(const IoEvent&, std::string& detail) = nullptr;
    NTSTATUS refusal = 0;
    bool repeats = false;  // may find several faults at one event: asked again until it passes
};

class Verifier {
public:
    static std::span<const VerifierRule> rules();
    // The row of a reported rule name, placeholders matched; null when no row has it.
    static const VerifierRule* find(std::string_view name);
    static const char* eventName(VerifierEvent event);
    // Runs the rules of `event` in order; the refusal of the first rule that refuses, if any.
    static std::optional<NTSTATUS> at(VerifierEvent event, const IoEvent& what);

private:
    static const VerifierRule kRules[];
};

}  // namespace nt
