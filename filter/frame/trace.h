// Debugger trace. Two levels, both 0 at load and changed only from a kernel debugger: a trace
// point prints when the print level is at least its own level and, independently, breaks into
// the debugger when the break level is at least its own level.
#pragma once

#include "../kernel.h"

extern "C" {
extern volatile ULONG HotpDebugPrintLevel;
extern volatile ULONG HotpDebugBreakLevel;
}

// Levels of the trace points: failures of device creation and attachment; a failed bus filter
// for a bridge or a removed child missing from its list; entry into the PnP dispatch routines;
// everything else.
constexpr ULONG HOTP_TRACE_FAILURE = 1;
constexpr ULONG HOTP_TRACE_WARNING = 2;
constexpr ULONG HOTP_TRACE_ENTRY = 3;
constexpr ULONG HOTP_TRACE_DETAIL = 4;

// Always inlined, as the optimised image has it: a breakpoint is reported inside the routine that
// placed the trace point.
template <typename... Arguments>
__attribute__((always_inline)) inline void HotpTrace(ULONG Level, const char* Format,
                                                     Arguments... Values)
{
    if (HotpDebugPrintLevel >= Level) {
        DbgPrint(Format, Values...);
    }
    if (HotpDebugBreakLevel >= Level) {
        DbgBreakPoint();
    }
}

// A pointer as the 32-bit value that "%lx" and "%08lx" print; on i386 this is the whole pointer.
inline ULONG HotpTraceValue(const void* Pointer)
{
    return static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(Pointer));
}
