// The record of one hierarchy scan: the chain of bridges from the root bus down to the bridge
// being filtered, extended downward while the hierarchy behind it is scanned, and the totals the
// scan gathers. One record per requirements request, allocated and freed within it.
#pragma once

#include "../frame/pci_config.h"
#include "../frame/records.h"

constexpr ULONG HOTP_MAX_SCAN_LEVELS = 32;

// Kind of a level entry.
constexpr ULONG HOTP_LEVEL_PATH = 1;    // a bridge above the target
constexpr ULONG HOTP_LEVEL_TARGET = 2;  // the bridge whose requirements are filtered
constexpr ULONG HOTP_LEVEL_FOUND = 3;   // a bridge found by the scan

struct HOTP_SCAN_LEVEL {
    ULONG Kind;                 // 0: never used
    ULONG Slot;                 // PCI_SLOT_NUMBER of the bridge on its primary bus
    UCHAR PrimaryBus;
    UCHAR SecondaryBus;         // the bus scanned for this level
    UCHAR SubordinateBus;       // as the scan last wrote or read it
    UCHAR SavedSubordinateBus;  // before the scan first raised it; 0: nothing saved
    ULONG BridgeCount;          // bridges found so far on this level's secondary bus
    BOOLEAN MultiFunction;      // the device being probed announced several functions
};

// The three kinds of bridge window, as the fit of a level counts them.
constexpr ULONG HOTP_WINDOW_IO = 0;
constexpr ULONG HOTP_WINDOW_MEMORY = 1;
constexpr ULONG HOTP_WINDOW_PREFETCHABLE = 2;
constexpr ULONG HOTP_WINDOW_KINDS = 3;

// What the bus of one level holds, per window kind, for the least windows that fit it: the BARs on
// the bus (the bridges' own among them) and the windows of the bridges on it, each item counted at
// a multiple of its alignment, so that placed largest alignment first they leave no gap.
struct HOTP_SCAN_FIT {
    ULONG Size[HOTP_WINDOW_KINDS];       // the items added up; HOTP_TOTAL_OVERFLOW when too large
    ULONG Alignment[HOTP_WINDOW_KINDS];  // the largest item's alignment; 0 while there is none
    BOOLEAN NoPrefetchable;              // the level's bridge has no prefetchable window
};

struct HOTP_SCAN_CONTEXT {
    ULONG IoTotal;                // I/O BAR sizes, low 2 bits cleared
    ULONG MemoryTotal;            // non-prefetchable memory BAR sizes, low 4 bits cleared
    ULONG PrefetchableTotal;      // prefetchable memory BAR sizes, low 4 bits cleared
    ULONG MemoryAlignment;        // largest non-prefetchable memory BAR
    ULONG PrefetchableAlignment;  // largest prefetchable memory BAR
    ULONG MaxBridgesPerBus;       // largest BridgeCount any level reached
    ULONG TargetLevel;            // index of the target bridge's entry
    ULONG CurrentLevel;           // index of the deepest open entry
    HOTP_SCAN_LEVEL Levels[HOTP_MAX_SCAN_LEVELS];
    ULONG IoAlignment;            // largest I/O BAR; after the levels, so the fields above keep
                                  // the offsets a debugger knows them by
    BOOLEAN RaiseUndone;          // a subordinate number the scan raised was changed behind it,
                                  // or could not be read back
    UCHAR RoutedFirst;            // the secondary and subordinate numbers of the path's bridge on
    UCHAR RoutedLast;             // the root bus before the scan: buses routed to this root
    BOOLEAN FoundNoPrefetchable;  // the bridge the probe last reported has no prefetchable window
    HOTP_SCAN_FIT Fits[HOTP_MAX_SCAN_LEVELS];  // per entry: what its bridge's windows must hold
};

static_assert(sizeof(HOTP_SCAN_LEVEL) == 20, "level entries are packed as the scan expects");
static_assert(sizeof(HOTP_SCAN_FIT) == 28, "fit entries are packed as the scan expects");
static_assert(sizeof(HOTP_SCAN_CONTEXT) == 32 + 20 * HOTP_MAX_SCAN_LEVELS + 8 + 28 * HOTP_MAX_SCAN_LEVELS,
              "scan record size");

// A total that no longer fits in 32 bits is held at this value, which no real total can reach
// (totals are multiples of 4), so the window rules can tell it from a real one.
constexpr ULONG HOTP_TOTAL_OVERFLOW = 0xFFFFFFFF;

// PCI_SLOT_NUMBER: device number in bits 0 to 4, function number in bits 5 to 7.
constexpr ULONG HotpSlot(ULONG Device, ULONG Function)
{
    return (Device & 0x1F) | ((Function & 0x7) << 5);
}
constexpr ULONG HotpSlotDevice(ULONG Slot) { return Slot & 0x1F; }
constexpr ULONG HotpSlotFunction(ULONG Slot) { return (Slot >> 5) & 0x7; }

// The cached configuration accessors of the root bus: set once, never cleared.
extern "C" {
extern PCI_READ_WRITE_CONFIG HotpRootReadConfig;
extern PCI_READ_WRITE_CONFIG HotpRootWriteConfig;

BOOLEAN NTAPI HotpGetRootBusInterface(PDEVICE_OBJECT Pdo);
BOOLEAN NTAPI HotpBuildBridgePath(HOTP_BUS_EXTENSION* BusExtension, HOTP_SCAN_CONTEXT* ScanContext,
                                  UCHAR SecondaryBus, UCHAR SubordinateBus);

VOID NTAPI HotpScanBusLevel(HOTP_SCAN_CONTEXT* ScanContext, ULONG LevelIndex);
BOOLEAN NTAPI HotpFindNextBridge(HOTP_SCAN_CONTEXT* ScanContext, HOTP_SCAN_LEVEL* Level,
                                 ULONG Position, PULONG BridgeSlot);
BOOLEAN NTAPI HotpProbeDevice(HOTP_SCAN_CONTEXT* ScanContext, HOTP_SCAN_LEVEL* Level, ULONG Slot,
                              PULONG BridgeSlot);
VOID NTAPI HotpSizeFunctionBars(HOTP_SCAN_CONTEXT* ScanContext, UCHAR Bus, ULONG Slot);
VOID NTAPI HotpAccumulateBar(ULONG Value, HOTP_SCAN_CONTEXT* ScanContext);
ULONG NTAPI HotpBarSize(ULONG Value);
VOID NTAPI HotpInitLevel(HOTP_SCAN_CONTEXT* ScanContext, UCHAR PrimaryBus, ULONG Slot);
VOID NTAPI HotpSetBridgeBuses(HOTP_SCAN_CONTEXT* ScanContext, ULONG LevelIndex, UCHAR PrimaryBus,
                              UCHAR SecondaryBus, UCHAR SubordinateBus);
VOID NTAPI HotpRaiseSubordinate(HOTP_SCAN_CONTEXT* ScanContext, ULONG LevelIndex,
                                UCHAR SubordinateBus);
VOID NTAPI HotpClearBridgeBuses(HOTP_SCAN_CONTEXT* ScanContext, ULONG LevelIndex);
VOID NTAPI HotpRestoreSubordinate(HOTP_SCAN_CONTEXT* ScanContext);

NTSTATUS NTAPI HotpFilterResourceRequirements(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                              HOTP_BUS_EXTENSION* BusExtension);
BOOLEAN NTAPI HotpAdjustRequirements(HOTP_BUS_EXTENSION* BusExtension,
                                     PIO_RESOURCE_REQUIREMENTS_LIST List);
VOID NTAPI HotpScanBridge(HOTP_BUS_EXTENSION* BusExtension, UCHAR BusNumber, ULONG SlotNumber,
                          HOTP_SCAN_CONTEXT** ScanContext);
}
