// What the I/O manager and the verifier both read of a request: its stack locations by number,
// the fill of a location nobody prepared, and the status and request kinds the rules name.
#pragma once

#include <nt/kernel.hpp>

#include <string>

namespace nt::io {

inline std::string hex(const void* p) { return formatAddress(p); }

inline PIO_STACK_LOCATION location(PIRP irp, int n)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (n - 1);
}

inline int locationNumber(PIRP irp, PIO_STACK_LOCATION stack)
{
    return static_cast<int>(stack - reinterpret_cast<PIO_STACK_LOCATION>(irp + 1)) + 1;
}

// What the stack location below a routine's own holds until the routine prepares it.
constexpr uint8_t kUnpreparedFill = 0xEE;
constexpr UCHAR kUnpreparedMajor = kUnpreparedFill;

constexpr UCHAR kInvokeOnAny = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;

inline bool isPnpOrPower(UCHAR major) { return major == IRP_MJ_PNP || major == IRP_MJ_POWER; }

// A status in hexadecimal, as the verifier's messages print it.
std::string statusText(NTSTATUS status);

bool isRemovalOrCancel(PIO_STACK_LOCATION stack);

}  // namespace nt::io
