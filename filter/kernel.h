// The driver's one door to the platform. The kernel image is built against the DDK headers of the
// cross toolchain; the host builds are built against the platform stand-in. Nothing else in the
// driver knows which of the two it is compiled for.
#pragma once

#if defined(HOTP_TARGET_KERNEL)

// mingw-w64's DDK headers need two fix-ups under C++: one release tests a version macro that its
// own sdkddkver.h never defines, and wdm.h redefines two interlocked intrinsics that intrin.h
// already provides.
#ifndef NTDDI_WINVISTA
#define NTDDI_WINVISTA 0x06000000
#endif
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#include <ntddk.h>
#include <initguid.h>
#include <wdmguid.h>

// The kernel exports its own swprintf; declaring it here keeps the C runtime's out of the image.
extern "C" int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);

// Pageable routines are placed in the PAGE section, which the kernel may page out.
#define HOTP_PAGEABLE __attribute__((section("PAGE")))

// The image is a free build: the driver's own consistency checks are compiled out of it.
constexpr bool HOTP_CHECKED = false;

static_assert(sizeof(BUS_INTERFACE_STANDARD) == 32, "i386 bus interface layout");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "i386 error log packet layout");
static_assert(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData) == 0x28, "i386 error log layout");
static_assert(FIELD_OFFSET(DEVICE_OBJECT, DeviceObjectExtension) == 0xB0, "i386 device layout");

// The PnP manager's device node of a device object and its flags word, in the kernel's private
// i386 layout: DEVOBJ_EXTENSION::DeviceNode, then DEVICE_NODE::Flags.
constexpr ULONG HOTP_DOE_DEVICE_NODE_OFFSET = 0x14;
#ifdef HOTP_PLANT_DEVICE_NODE_OFFSET  // planted fault, Wine check only: the flags read one word off
constexpr ULONG HOTP_DEVICE_NODE_FLAGS_OFFSET = 0x1C;
#else
constexpr ULONG HOTP_DEVICE_NODE_FLAGS_OFFSET = 0x18;
#endif

#elif defined(HOTP_TARGET_HOST)

#include <nt/api.h>

// On the host, pageable routines announce themselves with PAGED_CODE(), which the stand-in
// checks against the current IRQL.
#define HOTP_PAGEABLE

// The host builds are checked builds: a consistency check that fails stops the run in RtlAssert.
constexpr bool HOTP_CHECKED = true;

// The stand-in's device node, laid out as the kernel's on i386 and by its own rules elsewhere.
constexpr ULONG HOTP_DOE_DEVICE_NODE_OFFSET = offsetof(DEVOBJ_EXTENSION, DeviceNode);
constexpr ULONG HOTP_DEVICE_NODE_FLAGS_OFFSET = offsetof(DEVICE_NODE, Flags);

#else
#error "unknown build variant: define HOTP_TARGET_KERNEL or HOTP_TARGET_HOST"
#endif
