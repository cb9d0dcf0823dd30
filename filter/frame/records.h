// The two filter records. Every filter device object carries one of them as its device
// extension; both begin with the same two fields so that a dispatch routine can tell them apart
// and find the next lower device before it knows which kind it serves.
#pragma once

#include "../kernel.h"

constexpr ULONG HOTP_BUS_SIGNATURE = 0x42706748;    // "HgpB" in memory order
constexpr ULONG HOTP_CHILD_SIGNATURE = 0x43706748;  // "HgpC" in memory order

// Tag of every pool allocation the driver makes: "HOT " in memory order.
constexpr ULONG HOTP_POOL_TAG = 0x20544F48;

// Classification of a child device, stored in DeviceKind. A classified device holds exactly one
// of 1, 2, 6, 8 or 16, so the values can be compared whole or tested as bits.
constexpr ULONG HOTP_KIND_BOOT = 1;
constexpr ULONG HOTP_KIND_HOT_ADDED = 2;
constexpr ULONG HOTP_KIND_ENABLED = 4;
constexpr ULONG HOTP_KIND_PCI_PCI = 8;
constexpr ULONG HOTP_KIND_HOST_PCI = 16;

struct HOTP_CHILD_EXTENSION;

// The fields both records start with.
struct HOTP_COMMON_HEADER {
    ULONG Signature;
    PDEVICE_OBJECT LowerDeviceObject;
};

// Record of a bus filter: the filter on a device that owns a PCI bus.
struct HOTP_BUS_EXTENSION {
    ULONG Signature;
    PDEVICE_OBJECT LowerDeviceObject;
    HOTP_CHILD_EXTENSION* ChildListHead;  // first child record, in order of attachment
    LONG ChildDeviceCount;                // records in the child list
    PDEVICE_OBJECT Self;                  // the bus filter device object (I/O object of events)
    PDEVICE_OBJECT Pdo;                   // the physical device object whose stack was joined
};

// Record of a child filter: the filter on one PCI function of a filtered bus.
struct HOTP_CHILD_EXTENSION {
    ULONG Signature;
    PDEVICE_OBJECT LowerDeviceObject;
    BUS_INTERFACE_STANDARD BusInterface;  // referenced; released exactly once
    HOTP_BUS_EXTENSION* BusExtension;     // the bus record whose relations produced this child
    HOTP_CHILD_EXTENSION* NextChild;      // next record of the bus record's list, NULL at the tail
    PDEVICE_OBJECT Pdo;                   // the child's physical device object
    ULONG DeviceKind;                     // HOTP_KIND_* value, 0 until classified
    USHORT VendorId;
    USHORT DeviceId;
};

static_assert(__builtin_offsetof(HOTP_BUS_EXTENSION, Signature) ==
                  __builtin_offsetof(HOTP_COMMON_HEADER, Signature) &&
              __builtin_offsetof(HOTP_BUS_EXTENSION, LowerDeviceObject) ==
                  __builtin_offsetof(HOTP_COMMON_HEADER, LowerDeviceObject),
              "bus record must begin with the common header");
static_assert(__builtin_offsetof(HOTP_CHILD_EXTENSION, Signature) ==
                  __builtin_offsetof(HOTP_COMMON_HEADER, Signature) &&
              __builtin_offsetof(HOTP_CHILD_EXTENSION, LowerDeviceObject) ==
                  __builtin_offsetof(HOTP_COMMON_HEADER, LowerDeviceObject),
              "child record must begin with the common header");

// The common header of any of the driver's device objects.
inline HOTP_COMMON_HEADER* HotpCommonHeader(PDEVICE_OBJECT DeviceObject)
{
    return static_cast<HOTP_COMMON_HEADER*>(DeviceObject->DeviceExtension);
}

// A record is a bus record exactly when it carries the bus signature; everything else is served
// as a child record.
inline bool HotpIsBusRecord(const HOTP_COMMON_HEADER* Header)
{
    return Header->Signature == HOTP_BUS_SIGNATURE;
}

// Every routine that receives a record checks its kind on arrival, by the same test the routers
// use. In a checked build a record of the wrong kind stops the run where it arrived, instead of
// being read through the other record's layout; the image carries no check.
inline void HotpCheckRecord(const HOTP_BUS_EXTENSION* Record, const char* File = __builtin_FILE(),
                            ULONG Line = __builtin_LINE())
{
    if constexpr (HOTP_CHECKED) {
        if (Record->Signature != HOTP_BUS_SIGNATURE) {
            RtlAssert(const_cast<char*>("a bus record"), const_cast<char*>(File), Line, nullptr);
        }
    }
}

inline void HotpCheckRecord(const HOTP_CHILD_EXTENSION* Record, const char* File = __builtin_FILE(),
                            ULONG Line = __builtin_LINE())
{
    if constexpr (HOTP_CHECKED) {
        if (Record->Signature == HOTP_BUS_SIGNATURE) {
            RtlAssert(const_cast<char*>("a child record"), const_cast<char*>(File), Line, nullptr);
        }
    }
}

// A completion routine's context, checked as it arrives.
inline HOTP_BUS_EXTENSION* HotpBusContext(PVOID Context)
{
    auto* Record = static_cast<HOTP_BUS_EXTENSION*>(Context);
    HotpCheckRecord(Record);
    return Record;
}

inline HOTP_CHILD_EXTENSION* HotpChildContext(PVOID Context)
{
    auto* Record = static_cast<HOTP_CHILD_EXTENSION*>(Context);
    HotpCheckRecord(Record);
    return Record;
}
