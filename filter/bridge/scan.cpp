// The hierarchy scan: walks every bus behind the target bridge depth first through the root
// bus's configuration accessors, gives each bridge found temporary bus numbers so the bus behind
// it can be reached, sizes every BAR of every ordinary function, and totals what the hierarchy
// needs. Bus numbers of the found bridges are cleared again as their subtrees finish; the path's
// subordinate numbers are written back at the end.
#include "scan_record.h"

// Pageable: HotpFindNextBridge, HotpProbeDevice, HotpSizeFunctionBars, HotpAccumulateBar,
//   HotpBarSize, HotpInitLevel, HotpSetBridgeBuses, HotpRaiseSubordinate,
//   HotpClearBridgeBuses, HotpRestoreSubordinate, HotpReadWhole, HotpSubordinateHeld,
//   HotpSiblingForwards, HotpBusAnswers, HotpBusNumberInUse, HotpSizeBridge, HotpFoldWindows.

namespace {

// Adds into a 32-bit total, holding it at HOTP_TOTAL_OVERFLOW once it no longer fits.
void HotpAddTotal(ULONG& Total, ULONG Size)
{
    if (Total == HOTP_TOTAL_OVERFLOW || Size > HOTP_TOTAL_OVERFLOW - Total) {
        Total = HOTP_TOTAL_OVERFLOW;
    } else {
        Total += Size;
    }
}

constexpr ULONG HOTP_IO_GRANULE = 0x1000;         // a bridge's I/O window: 4 KB steps
constexpr ULONG HOTP_MEMORY_GRANULE = 0x100000;   // its memory and prefetchable windows: 1 MB
constexpr ULONG HOTP_CONFIG_PREFETCHABLE_WINDOW = 0x24;  // type 1: prefetchable base and limit
constexpr ULONG HOTP_PREFETCHABLE_PATTERN = 0xFFF0FFF0;

ULONG HotpGranule(ULONG Kind)
{
    return Kind == HOTP_WINDOW_IO ? HOTP_IO_GRANULE : HOTP_MEMORY_GRANULE;
}

// Rounds up to a multiple of a power of two, in 64 bits so that nothing wraps.
ULONGLONG HotpRoundUp(ULONGLONG Value, ULONG Multiple)
{
    return (Value + Multiple - 1) & ~ULONGLONG{Multiple - 1};
}

// Adds one item of a window kind into a fit: its size, already a multiple of its alignment.
void HotpAddFitItem(HOTP_SCAN_FIT& Fit, ULONG Kind, ULONGLONG Size, ULONG Alignment)
{
    const ULONGLONG Sum = ULONGLONG{Fit.Size[Kind]} + Size;
    Fit.Size[Kind] = Fit.Size[Kind] == HOTP_TOTAL_OVERFLOW || Sum >= HOTP_TOTAL_OVERFLOW
                         ? HOTP_TOTAL_OVERFLOW
                         : static_cast<ULONG>(Sum);
    if (Alignment > Fit.Alignment[Kind]) {
        Fit.Alignment[Kind] = Alignment;
    }
}

// Adds one BAR, as its readback gives it, into a fit.
void HotpAddFitBar(HOTP_SCAN_FIT& Fit, ULONG Value)
{
    if ((Value & ~ULONG{1}) == 0) {
        return;
    }
    const ULONG Size = HotpBarSize(Value);
    if ((Value & 0x1) != 0) {
        HotpAddFitItem(Fit, HOTP_WINDOW_IO, Size & ~ULONG{0x3}, Size);
    } else {
        HotpAddFitItem(Fit, (Value & 0x8) != 0 ? HOTP_WINDOW_PREFETCHABLE : HOTP_WINDOW_MEMORY,
                       Size & ~ULONG{0xF}, Size);
    }
}

void HotpWriteByte(UCHAR Bus, ULONG Slot, ULONG Offset, UCHAR Value)
{
    HotpRootWriteConfig(nullptr, Bus, Slot, &Value, Offset, 1);
}

// Reads Length bytes, and once more when they do not come back whole: a transfer cut short is
// no evidence of what the register holds. True when one of the two reads came back whole.
HOTP_PAGEABLE bool HotpReadWhole(UCHAR Bus, ULONG Slot, PVOID Buffer, ULONG Offset, ULONG Length)
{
    PAGED_CODE();
    return HotpRootReadConfig(nullptr, Bus, Slot, Buffer, Offset, Length) == Length ||
           HotpRootReadConfig(nullptr, Bus, Slot, Buffer, Offset, Length) == Length;
}

// What a path or target bridge holds of the subordinate number the scan last wrote to it. The
// scan owns none of them: the bus driver may write a path bridge's header meanwhile (it restores
// the header on the bridge's return to D0), which cuts the temporary buses off, so cycles to them
// find nothing. A read-back that comes back short twice tells nothing either way.
enum class HOTP_RAISE { Held, Changed, Unknown };

HOTP_PAGEABLE HOTP_RAISE HotpSubordinateHeld(const HOTP_SCAN_LEVEL& Level)
{
    PAGED_CODE();
    UCHAR Value = 0;
    if (!HotpReadWhole(Level.PrimaryBus, Level.Slot, &Value, HOTP_CONFIG_SUBORDINATE_BUS, 1)) {
        return HOTP_RAISE::Unknown;
    }
    return Value == Level.SubordinateBus ? HOTP_RAISE::Held : HOTP_RAISE::Changed;
}

// True when a bridge other than the path's own on bus Bus forwards Number. Reads each function's
// identifiers, then the header type, then a bridge's bus numbers: one cycle each. A function is
// absent only when its vendor ID came back whole as 0xFFFF; identifiers cut short are read once
// more, since one short transfer is common and the function is still there. Identifiers still
// short, a header type or bus numbers that cannot be read whole leave the number in doubt, and a
// number in doubt counts as taken, since the function that could not be read may be a bridge
// forwarding it to running hardware.
HOTP_PAGEABLE bool HotpSiblingForwards(UCHAR Bus, ULONG PathSlot, UCHAR Number)
{
    PAGED_CODE();
    for (ULONG Device = 0; Device <= 31; ++Device) {
        for (ULONG Function = 0; Function <= 7; ++Function) {
            const ULONG Slot = HotpSlot(Device, Function);
            UCHAR Ids[4] = {0xFF, 0xFF, 0xFF, 0xFF};
            if (!HotpReadWhole(Bus, Slot, Ids, HOTP_CONFIG_VENDOR_ID, sizeof(Ids))) {
                return true;
            }
            if (HotpHeaderWord(Ids, HOTP_CONFIG_VENDOR_ID) == 0xFFFF) {
                if (Function == 0) {
                    break;
                }
                continue;
            }
            UCHAR HeaderType = 0;
            if (HotpRootReadConfig(nullptr, Bus, Slot, &HeaderType, HOTP_CONFIG_HEADER_TYPE, 1) != 1) {
                return true;
            }
            if (Slot != PathSlot && HotpIsBridgeLayout(HeaderType)) {
                UCHAR Numbers[HOTP_CONFIG_BUS_NUMBER_BYTES] = {0, 0, 0};
                if (HotpRootReadConfig(nullptr, Bus, Slot, Numbers, HOTP_CONFIG_PRIMARY_BUS,
                                       sizeof(Numbers)) != sizeof(Numbers)) {
                    return true;
                }
                const UCHAR Secondary = Numbers[HOTP_CONFIG_SECONDARY_BUS - HOTP_CONFIG_PRIMARY_BUS];
                const UCHAR Subordinate = Numbers[HOTP_CONFIG_SUBORDINATE_BUS - HOTP_CONFIG_PRIMARY_BUS];
                if (Secondary != 0 && Secondary <= Number && Number <= Subordinate) {
                    return true;
                }
            }
            if (Function == 0 && (HeaderType & HOTP_HEADER_MULTI_FUNCTION) == 0) {
                break;
            }
        }
    }
    return false;
}

// True when something answers on bus Number itself: a peer host bridge's root bus is reached
// through no bridge of this hierarchy, so only a cycle to the number shows it is live. Reads the
// vendor ID of function 0 of each device, one cycle each; a read that does not come back whole
// leaves the number in doubt, and a number in doubt counts as taken.
HOTP_PAGEABLE bool HotpBusAnswers(UCHAR Number)
{
    PAGED_CODE();
    for (ULONG Device = 0; Device <= 31; ++Device) {
        UCHAR Vendor[2] = {0xFF, 0xFF};
        if (HotpRootReadConfig(nullptr, Number, HotpSlot(Device, 0), Vendor, HOTP_CONFIG_VENDOR_ID,
                               sizeof(Vendor)) != sizeof(Vendor) ||
            HotpHeaderWord(Vendor, 0) != 0xFFFF) {
            return true;
        }
    }
    return false;
}

// True when bus number Number is already in use: the root bus, a bus of the chain, or a bus that
// some bridge beside the path forwards. Every temporary number lies above the
// target's own range (numbers are handed out from its subordinate number upward), and raising the
// path bridges to it would make two bridges claim one bus: configuration cycles meant for the
// hierarchy behind the target would reach, and size, a device that is running. A live bus that
// the path does not lead to is forwarded by a bridge on one of the path's buses, or is the root bus
// of a peer host bridge, which answers on the number itself. A number that the path's bridge on
// the root bus forwarded before the scan is routed to this root already, so no peer root can own
// it and it is not probed; every number outside that range is.
HOTP_PAGEABLE bool HotpBusNumberInUse(HOTP_SCAN_CONTEXT* ScanContext, UCHAR Number)
{
    PAGED_CODE();
    if (Number == 0) {
        return true;
    }
    // The buses of the open chain, the target's and the scan's own included.
    for (ULONG Index = 0; Index <= ScanContext->CurrentLevel; ++Index) {
        if (ScanContext->Levels[Index].SecondaryBus == Number) {
            return true;
        }
    }
    for (ULONG Index = 0; Index <= ScanContext->TargetLevel; ++Index) {
        const HOTP_SCAN_LEVEL& Path = ScanContext->Levels[Index];
        if (HotpSiblingForwards(Path.PrimaryBus, Path.Slot, Number)) {
            return true;
        }
    }
    if (ScanContext->RoutedFirst != 0 && ScanContext->RoutedFirst <= Number &&
        Number <= ScanContext->RoutedLast) {
        return false;
    }
    return HotpBusAnswers(Number);
}

// Sizes a found bridge's own BARs (two for a PCI-to-PCI bridge, one for a CardBus bridge), which
// take room in the windows of the bus it sits on, and finds whether a PCI-to-PCI bridge has a
// prefetchable window, as configuration software does: the window is optional, and registers
// that do not keep a written pattern are not there. The bridge sits behind a target that decodes
// nothing, so neither disturbs anything; the window registers are written back as they were.
// Whatever cannot be read whole counts as today: no BAR, and a prefetchable window.
HOTP_PAGEABLE VOID HotpSizeBridge(HOTP_SCAN_CONTEXT* ScanContext, UCHAR Bus, ULONG Slot,
                                  const UCHAR* Header)
{
    PAGED_CODE();
    const bool CardBus = (Header[HOTP_CONFIG_HEADER_TYPE] & HOTP_HEADER_LAYOUT_MASK) ==
                         HOTP_HEADER_CARDBUS_BRIDGE;
    ULONG Values[2] = {0xFFFFFFFF, 0xFFFFFFFF};
    const ULONG Bytes = CardBus ? sizeof(ULONG) : sizeof(Values);
    HotpRootWriteConfig(nullptr, Bus, Slot, Values, HOTP_CONFIG_BARS, Bytes);
    RtlZeroMemory(Values, sizeof(Values));
    HotpRootReadConfig(nullptr, Bus, Slot, Values, HOTP_CONFIG_BARS, Bytes);
    HOTP_SCAN_FIT& Fit = ScanContext->Fits[ScanContext->CurrentLevel];
    HotpAddFitBar(Fit, Values[0]);
    if (!CardBus && ((Values[0] & 0x1) != 0 || (Values[0] & 0x4) == 0)) {
        HotpAddFitBar(Fit, Values[1]);
    }

    // A CardBus bridge's memory windows are not the prefetchable window of a PCI-to-PCI bridge.
    ScanContext->FoundNoPrefetchable = CardBus;
    ULONG Window = 0;
    RtlCopyMemory(&Window, Header + HOTP_CONFIG_PREFETCHABLE_WINDOW, sizeof(Window));
    if (CardBus || Window != 0) {
        return;
    }
    ULONG Pattern = HOTP_PREFETCHABLE_PATTERN;
    HotpRootWriteConfig(nullptr, Bus, Slot, &Pattern, HOTP_CONFIG_PREFETCHABLE_WINDOW,
                        sizeof(Pattern));
    ULONG Back = 0;
    const ULONG Read = HotpRootReadConfig(nullptr, Bus, Slot, &Back,
                                          HOTP_CONFIG_PREFETCHABLE_WINDOW, sizeof(Back));
    HotpRootWriteConfig(nullptr, Bus, Slot, &Window, HOTP_CONFIG_PREFETCHABLE_WINDOW,
                        sizeof(Window));
    ScanContext->FoundNoPrefetchable = Read == sizeof(Back) && Back == 0;
}

// Adds the windows of the found bridge at Entry, now that its bus is scanned, into the fit of
// the bus it sits on: each window is its contents rounded up to the window's granularity (one
// granule when empty) and aligned to the largest item inside; a bridge without a prefetchable
// window holds its prefetchable BARs in its memory window.
HOTP_PAGEABLE VOID HotpFoldWindows(HOTP_SCAN_CONTEXT* ScanContext, ULONG Entry)
{
    PAGED_CODE();
    HOTP_SCAN_FIT& Inner = ScanContext->Fits[Entry];
    HOTP_SCAN_FIT& Outer = ScanContext->Fits[Entry - 1];
    if (Inner.NoPrefetchable) {
        HotpAddFitItem(Inner, HOTP_WINDOW_MEMORY, Inner.Size[HOTP_WINDOW_PREFETCHABLE],
                       Inner.Alignment[HOTP_WINDOW_PREFETCHABLE]);
        Inner.Size[HOTP_WINDOW_PREFETCHABLE] = 0;
    }
    for (ULONG Kind = 0; Kind < HOTP_WINDOW_KINDS; ++Kind) {
        if (Kind == HOTP_WINDOW_PREFETCHABLE && Inner.NoPrefetchable) {
            continue;
        }
        // The bus driver asks for each window a bridge has, one granule at least even with
        // nothing behind it.
        const ULONG Granule = HotpGranule(Kind);
        const ULONG Alignment = Inner.Alignment[Kind] > Granule ? Inner.Alignment[Kind] : Granule;
        const ULONGLONG Window = Inner.Size[Kind] == HOTP_TOTAL_OVERFLOW
                                     ? HOTP_TOTAL_OVERFLOW
                                     : HotpRoundUp(HotpRoundUp(Inner.Size[Kind] == 0 ? 1 : Inner.Size[Kind],
                                                               Granule),
                                                   Alignment);
        HotpAddFitItem(Outer, Kind, Window, Alignment);
    }
}

}  // namespace

// Resident. Scans the secondary bus of entry LevelIndex, entering each bridge found with the
// first bus number above everything already numbered below the entry, provided that number is
// free.
extern "C" VOID NTAPI HotpScanBusLevel(HOTP_SCAN_CONTEXT* ScanContext, ULONG LevelIndex)
{
    HOTP_SCAN_LEVEL* Level = &ScanContext->Levels[LevelIndex];
    Level->MultiFunction = FALSE;
    ULONG Position = HotpSlot(0, 0);
    for (;;) {
        ULONG Found = 0;
        if (!HotpFindNextBridge(ScanContext, Level, Position, &Found)) {
            return;
        }
        // A bridge nested deeper than the record can describe, or whose bus would need a number
        // that live hardware already uses, is counted but not entered. Once a raised number is
        // found changed behind the scan, no more bridges are entered: the buses they would be
        // reached through may be the bus driver's now, and the scan is made again anyway.
        const UCHAR Next = static_cast<UCHAR>(Level->SubordinateBus + 1);
        if (!ScanContext->RaiseUndone && ScanContext->CurrentLevel + 1 < HOTP_MAX_SCAN_LEVELS &&
            !HotpBusNumberInUse(ScanContext, Next)) {
            ScanContext->CurrentLevel++;
            const ULONG Entry = ScanContext->CurrentLevel;
            HotpInitLevel(ScanContext, Level->SecondaryBus, Found);
            ScanContext->Fits[Entry].NoPrefetchable = ScanContext->FoundNoPrefetchable;
            HotpSetBridgeBuses(ScanContext, Entry, Level->SecondaryBus, Next, Next);
            // A bridge left unprogrammed (a raise above it was refused) is neither scanned nor
            // cleared: nothing was written to it.
            if (ScanContext->Levels[Entry].SecondaryBus != 0) {
                HotpScanBusLevel(ScanContext, Entry);
                HotpFoldWindows(ScanContext, Entry);
                HotpClearBridgeBuses(ScanContext, Entry);
            }
            ScanContext->CurrentLevel--;
        }
        const ULONG Device = HotpSlotDevice(Found);
        const ULONG Function = HotpSlotFunction(Found);
        if (Level->MultiFunction && Function < 7) {
            Position = HotpSlot(Device, Function + 1);
        } else if (Device < 31) {
            Position = HotpSlot(Device + 1, 0);
        } else {
            return;
        }
    }
}

// Searches the level's secondary bus from Position onward for the next bridge.
extern "C" HOTP_PAGEABLE BOOLEAN NTAPI HotpFindNextBridge(HOTP_SCAN_CONTEXT* ScanContext,
                                                         HOTP_SCAN_LEVEL* Level, ULONG Position,
                                                         PULONG BridgeSlot)
{
    PAGED_CODE();
    if (Level->SecondaryBus == 0) {
        return FALSE;
    }
    for (ULONG Device = HotpSlotDevice(Position); Device <= 31; ++Device) {
        const ULONG First = Device == HotpSlotDevice(Position) ? HotpSlotFunction(Position) : 0;
        if (HotpProbeDevice(ScanContext, Level, HotpSlot(Device, First), BridgeSlot)) {
            return TRUE;
        }
    }
    return FALSE;
}

// Probes the functions of one device from the slot's function onward: sizes ordinary functions,
// counts and reports the first bridge. A header that cannot be read whole counts as an absent
// function.
extern "C" HOTP_PAGEABLE BOOLEAN NTAPI HotpProbeDevice(HOTP_SCAN_CONTEXT* ScanContext,
                                                      HOTP_SCAN_LEVEL* Level, ULONG Slot,
                                                      PULONG BridgeSlot)
{
    PAGED_CODE();
    const UCHAR Bus = Level->SecondaryBus;
    const ULONG Device = HotpSlotDevice(Slot);
    for (ULONG Function = HotpSlotFunction(Slot); Function <= 7; ++Function) {
        const ULONG FunctionSlot = HotpSlot(Device, Function);
        UCHAR Header[HOTP_CONFIG_HEADER_SIZE];
        RtlZeroMemory(Header, sizeof(Header));
        const ULONG Read = HotpRootReadConfig(nullptr, Bus, FunctionSlot, Header, 0, sizeof(Header));
        const USHORT VendorId = HotpHeaderWord(Header, HOTP_CONFIG_VENDOR_ID);
        const USHORT DeviceId = HotpHeaderWord(Header, HOTP_CONFIG_DEVICE_ID);
        if (Read != sizeof(Header) || VendorId == 0xFFFF || DeviceId == 0xFFFF) {
            Level->MultiFunction = FALSE;
            return FALSE;
        }
        const UCHAR HeaderType = Header[HOTP_CONFIG_HEADER_TYPE];
        if (Function == 0 && (HeaderType & HOTP_HEADER_MULTI_FUNCTION) != 0) {
            Level->MultiFunction = TRUE;
        }
        if ((HeaderType & HOTP_HEADER_LAYOUT_MASK) == HOTP_HEADER_ORDINARY) {
            HotpSizeFunctionBars(ScanContext, Bus, FunctionSlot);
        } else if (HotpIsBridgeLayout(HeaderType)) {
            const UCHAR BaseClass = Header[HOTP_CONFIG_BASE_CLASS];
            const UCHAR SubClass = Header[HOTP_CONFIG_SUB_CLASS];
            if (BaseClass == HOTP_CLASS_BRIDGE &&
                (SubClass == HOTP_SUBCLASS_PCI_BRIDGE || SubClass == HOTP_SUBCLASS_CARDBUS_BRIDGE)) {
                Level->BridgeCount++;
                if (Level->BridgeCount > ScanContext->MaxBridgesPerBus) {
                    ScanContext->MaxBridgesPerBus = Level->BridgeCount;
                }
                HotpSizeBridge(ScanContext, Bus, FunctionSlot, Header);
                *BridgeSlot = FunctionSlot;
                return TRUE;
            }
        }
        if (Function == 0 && (HeaderType & HOTP_HEADER_MULTI_FUNCTION) == 0) {
            return FALSE;
        }
    }
    return FALSE;
}

// Sizes the six BARs of an ordinary function: all ones in, the masks read back. The BARs keep
// the readback; the function is not started and decodes nothing meanwhile.
extern "C" HOTP_PAGEABLE VOID NTAPI HotpSizeFunctionBars(HOTP_SCAN_CONTEXT* ScanContext, UCHAR Bus,
                                                        ULONG Slot)
{
    PAGED_CODE();
    ULONG Values[HOTP_CONFIG_BAR_BYTES / sizeof(ULONG)];
    for (ULONG& Value : Values) {
        Value = 0xFFFFFFFF;
    }
    HotpRootWriteConfig(nullptr, Bus, Slot, Values, HOTP_CONFIG_BARS, HOTP_CONFIG_BAR_BYTES);
    RtlZeroMemory(Values, sizeof(Values));
    HotpRootReadConfig(nullptr, Bus, Slot, Values, HOTP_CONFIG_BARS, HOTP_CONFIG_BAR_BYTES);
    for (ULONG Index = 0; Index < 6;) {
        const ULONG Value = Values[Index];
        HotpAccumulateBar(Value, ScanContext);
        // A 64-bit memory BAR takes the next register for its upper half.
        Index += ((Value & 0x1) == 0 && (Value & 0x4) != 0) ? 2 : 1;
    }
}

extern "C" HOTP_PAGEABLE VOID NTAPI HotpAccumulateBar(ULONG Value, HOTP_SCAN_CONTEXT* ScanContext)
{
    PAGED_CODE();
    if ((Value & ~ULONG{1}) == 0) {
        return;  // not implemented
    }
    const ULONG Size = HotpBarSize(Value);
    if ((Value & 0x1) != 0) {
        HotpAddTotal(ScanContext->IoTotal, Size & ~ULONG{0x3});
        if (Size > ScanContext->IoAlignment) {
            ScanContext->IoAlignment = Size;
        }
    } else if ((Value & 0x8) != 0) {
        HotpAddTotal(ScanContext->PrefetchableTotal, Size & ~ULONG{0xF});
        if (Size > ScanContext->PrefetchableAlignment) {
            ScanContext->PrefetchableAlignment = Size;
        }
    } else {
        HotpAddTotal(ScanContext->MemoryTotal, Size & ~ULONG{0xF});
        if (Size > ScanContext->MemoryAlignment) {
            ScanContext->MemoryAlignment = Size;
        }
    }
    HotpAddFitBar(ScanContext->Fits[ScanContext->CurrentLevel], Value);
}

// The size a BAR decodes, from its all-ones readback. A readback with holes (an I/O BAR whose
// upper half reads as zero) decodes the size of its lowest writable bit.
extern "C" HOTP_PAGEABLE ULONG NTAPI HotpBarSize(ULONG Value)
{
    PAGED_CODE();
    const ULONG Mask = (Value & 0x1) != 0 ? (Value & ~ULONG{0x3}) : (Value & ~ULONG{0xF});
    const ULONG Size = 0u - Mask;
    if ((Size & (Size - 1)) == 0) {
        return Size;
    }
    for (ULONG Bit = 4; Bit != 0; Bit <<= 1) {
        if ((Mask & Bit) != 0) {
            return Bit;
        }
    }
    return 0;
}

// Opens the entry at CurrentLevel for a bridge just found.
extern "C" HOTP_PAGEABLE VOID NTAPI HotpInitLevel(HOTP_SCAN_CONTEXT* ScanContext, UCHAR PrimaryBus,
                                                 ULONG Slot)
{
    PAGED_CODE();
    HOTP_SCAN_LEVEL& Level = ScanContext->Levels[ScanContext->CurrentLevel];
    RtlZeroMemory(&Level, sizeof(Level));
    RtlZeroMemory(&ScanContext->Fits[ScanContext->CurrentLevel], sizeof(HOTP_SCAN_FIT));
    Level.Kind = HOTP_LEVEL_FOUND;
    Level.Slot = Slot;
    Level.PrimaryBus = PrimaryBus;
}

// Raises the entries above so cycles to the new numbers are forwarded, then programs the entry's
// bridge with its three numbers in one write. When a raise above was refused the bridge is not
// programmed: its bus would not be forwarded, and the number may be another's by now.
extern "C" HOTP_PAGEABLE VOID NTAPI HotpSetBridgeBuses(HOTP_SCAN_CONTEXT* ScanContext,
                                                      ULONG LevelIndex, UCHAR PrimaryBus,
                                                      UCHAR SecondaryBus, UCHAR SubordinateBus)
{
    PAGED_CODE();
    const BOOLEAN UndoneBefore = ScanContext->RaiseUndone;
    HotpRaiseSubordinate(ScanContext, LevelIndex, SubordinateBus);
    if (ScanContext->RaiseUndone && !UndoneBefore) {
        return;
    }
    HOTP_SCAN_LEVEL& Level = ScanContext->Levels[LevelIndex];
    Level.PrimaryBus = PrimaryBus;
    Level.SecondaryBus = SecondaryBus;
    Level.SubordinateBus = SubordinateBus;
    UCHAR Numbers[HOTP_CONFIG_BUS_NUMBER_BYTES] = {PrimaryBus, SecondaryBus, SubordinateBus};
    HotpRootWriteConfig(nullptr, PrimaryBus, Level.Slot, Numbers, HOTP_CONFIG_PRIMARY_BUS,
                        sizeof(Numbers));
}

// Raises the subordinate number of every entry above LevelIndex that is below the new number,
// root side first, saving each one's number before its first raise. A path or target bridge
// raised before must still hold that raise: one that does not was written by someone else (the
// bus driver, which knows these bridges), so it is not written over, no entry below it is raised,
// and the scan is marked to be made again with the path as it then stands. A read-back that tells
// nothing is no evidence of another writer: the raise is written, and the scan made again. Found
// bridges are not read back: they sit behind a target the bus driver has not enumerated, so only
// the scan writes them.
extern "C" HOTP_PAGEABLE VOID NTAPI HotpRaiseSubordinate(HOTP_SCAN_CONTEXT* ScanContext,
                                                        ULONG LevelIndex, UCHAR SubordinateBus)
{
    PAGED_CODE();
    for (ULONG Index = 0; Index < LevelIndex && Index < HOTP_MAX_SCAN_LEVELS; ++Index) {
        HOTP_SCAN_LEVEL& Level = ScanContext->Levels[Index];
        if (Level.SubordinateBus >= SubordinateBus) {
            continue;
        }
        if (Level.SavedSubordinateBus == 0) {
            Level.SavedSubordinateBus = Level.SubordinateBus;
        } else if (Level.Kind != HOTP_LEVEL_FOUND) {
            const HOTP_RAISE Raise = HotpSubordinateHeld(Level);
            if (Raise != HOTP_RAISE::Held) {
                ScanContext->RaiseUndone = TRUE;
            }
            if (Raise == HOTP_RAISE::Changed) {
                return;
            }
        }
        Level.SubordinateBus = SubordinateBus;
        HotpWriteByte(Level.PrimaryBus, Level.Slot, HOTP_CONFIG_SUBORDINATE_BUS, SubordinateBus);
    }
}

extern "C" HOTP_PAGEABLE VOID NTAPI HotpClearBridgeBuses(HOTP_SCAN_CONTEXT* ScanContext,
                                                        ULONG LevelIndex)
{
    PAGED_CODE();
    HOTP_SCAN_LEVEL& Level = ScanContext->Levels[LevelIndex];
    UCHAR Zeros[HOTP_CONFIG_BUS_NUMBER_BYTES] = {0, 0, 0};
    HotpRootWriteConfig(nullptr, Level.PrimaryBus, Level.Slot, Zeros, HOTP_CONFIG_PRIMARY_BUS,
                        sizeof(Zeros));
    Level.PrimaryBus = 0;
    Level.SecondaryBus = 0;
    Level.SubordinateBus = 0;
}

// Writes back the subordinate numbers the path and target bridges had before the scan, each only
// while the bridge still holds the scan's raise: a number written meanwhile is the bus driver's,
// and writing the old one over it would cut off a bus it has just numbered. A read-back that tells
// nothing is no evidence of another writer: the saved number is written back, as it must be lest
// the bridge keep a temporary number. Either marks the scan's totals as in doubt.
extern "C" HOTP_PAGEABLE VOID NTAPI HotpRestoreSubordinate(HOTP_SCAN_CONTEXT* ScanContext)
{
    PAGED_CODE();
    for (ULONG Index = 0; Index < HOTP_MAX_SCAN_LEVELS; ++Index) {
        const HOTP_SCAN_LEVEL& Level = ScanContext->Levels[Index];
        if (Level.Kind != HOTP_LEVEL_PATH && Level.Kind != HOTP_LEVEL_TARGET) {
            return;
        }
        if (Level.SavedSubordinateBus == 0) {
            continue;
        }
        const HOTP_RAISE Raise = HotpSubordinateHeld(Level);
        if (Raise != HOTP_RAISE::Held) {
            ScanContext->RaiseUndone = TRUE;
        }
        if (Raise != HOTP_RAISE::Changed) {
            HotpWriteByte(Level.PrimaryBus, Level.Slot, HOTP_CONFIG_SUBORDINATE_BUS,
                          Level.SavedSubordinateBus);
        }
    }
}
