// The requirements filter of a bus filter: when the PnP manager filters the resource
// requirements of a bridge whose decoding is still off, the hierarchy behind the bridge is
// scanned and the bridge's I/O, memory and prefetchable windows are enlarged so that everything
// found fits. A request is changed only by a complete replacement list; a list that is malformed,
// or that nothing needs to change, goes down untouched.
#include "scan_record.h"
#include "../frame/trace.h"

// Pageable: HotpFilterResourceRequirements, HotpAdjustRequirements, HotpScanBridge,
//   HotpListIsWhole, HotpApplyIoRule, HotpApplyMemoryRule, HotpKeepLargest, HotpWindowFit,
//   HotpInsertDescriptor.

namespace {

constexpr ULONG HOTP_IO_PAGE = 0x1000;
constexpr ULONG HOTP_MEMORY_GRANULE = 0x100000;  // a bridge's memory windows come in 1 MB steps
// Descriptors a replacement list has room for beyond its ListSize: two fall-backs after each of
// the three windows.
constexpr ULONG HOTP_ADDED_DESCRIPTORS = 6;
constexpr ULONG HOTP_SCAN_ATTEMPTS = 3;
constexpr ULONG HOTP_LIST_HEADER = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List);
constexpr ULONG HOTP_ALTERNATIVE_HEADER = FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors);
constexpr ULONGLONG HOTP_LIMIT_32 = 0xFFFFFFFFull;

// The bytes one alternative list takes: its header and its descriptors.
ULONGLONG HotpAlternativeBytes(ULONG Count)
{
    return HOTP_ALTERNATIVE_HEADER + ULONGLONG{Count} * sizeof(IO_RESOURCE_DESCRIPTOR);
}

// Requirement lists are variable-length: their alternative lists and descriptors are reached
// through addresses computed from the list's base, never through the one-element arrays the
// structures declare, which an optimising compiler is entitled to take at their word.
PIO_RESOURCE_LIST HotpAlternativeAt(PIO_RESOURCE_REQUIREMENTS_LIST List, ULONGLONG Offset)
{
    return reinterpret_cast<PIO_RESOURCE_LIST>(reinterpret_cast<UCHAR*>(List) + Offset);
}

PIO_RESOURCE_DESCRIPTOR HotpDescriptorAt(PIO_RESOURCE_LIST Alternative, ULONG Index)
{
    return reinterpret_cast<PIO_RESOURCE_DESCRIPTOR>(reinterpret_cast<UCHAR*>(Alternative) +
                                                     HOTP_ALTERNATIVE_HEADER +
                                                     SIZE_T{Index} * sizeof(IO_RESOURCE_DESCRIPTOR));
}

// True when ListSize covers the header and every alternative list with all its descriptors.
// Sizes are computed in 64 bits, and nothing past ListSize is read.
HOTP_PAGEABLE bool HotpListIsWhole(PIO_RESOURCE_REQUIREMENTS_LIST List)
{
    PAGED_CODE();
    const ULONGLONG Size = List->ListSize;
    if (Size < HOTP_LIST_HEADER || List->AlternativeLists == 0) {
        return false;
    }
    ULONGLONG Offset = HOTP_LIST_HEADER;
    for (ULONG Index = 0; Index < List->AlternativeLists; ++Index) {
        if (Offset + HOTP_ALTERNATIVE_HEADER > Size) {
            return false;
        }
        Offset += HotpAlternativeBytes(HotpAlternativeAt(List, Offset)->Count);
        if (Offset > Size) {
            return false;
        }
    }
    return true;
}

// The I/O window holds one page per bridge on the busiest bus, the pages the I/O BARs need
// (a total of up to one page counts as none), and one more. A raised window is also aligned to
// the largest I/O BAR behind it when that is more than the window's own alignment: an I/O BAR
// larger than a page decodes only at a multiple of its size.
HOTP_PAGEABLE bool HotpApplyIoRule(HOTP_SCAN_CONTEXT* Scan, IO_RESOURCE_DESCRIPTOR* Descriptor)
{
    PAGED_CODE();
    if (Scan->IoTotal == HOTP_TOTAL_OVERFLOW) {
        return false;
    }
    const ULONGLONG Pages =
        Scan->IoTotal <= HOTP_IO_PAGE ? 0 : (ULONGLONG{Scan->IoTotal} + HOTP_IO_PAGE - 1) / HOTP_IO_PAGE;
    const ULONGLONG Need = (ULONGLONG{Scan->MaxBridgesPerBus} + Pages + 1) * HOTP_IO_PAGE;
    if (Need > HOTP_LIMIT_32 || Descriptor->u.Port.Length >= Need) {
        return false;
    }
    Descriptor->u.Port.Length = static_cast<ULONG>(Need);
#ifdef HOTP_PLANT_RAISED_MAXIMUM  // planted fault, Wine check only: the raised window's limit lost
    Descriptor->u.Port.MaximumAddress.QuadPart = 0;
#endif
#ifdef HOTP_PLANT_SHARED_WINDOW  // planted fault, Wine check only: the raised window offered shared
    Descriptor->ShareDisposition = CmResourceShareShared;
#endif
    if (Descriptor->u.Port.Alignment < Scan->IoAlignment) {
        Descriptor->u.Port.Alignment = Scan->IoAlignment;
    }
    return true;
}

// A memory window is raised to the total behind it, rounded up to a multiple of the largest BAR
// (the rounded total is kept in the record). One already at least as long as the total is left
// alone, as is one whose total does not fit in 32 bits. A raised window is also aligned to at
// least the largest BAR behind it: a BAR decodes only at a multiple of its size, so a window
// placed at a lesser alignment may hold the total and still have no place for that BAR.
HOTP_PAGEABLE bool HotpApplyMemoryRule(ULONG& Total, ULONG Alignment,
                                       IO_RESOURCE_DESCRIPTOR* Descriptor)
{
    PAGED_CODE();
    if (Total == HOTP_TOTAL_OVERFLOW || Descriptor->u.Memory.Length >= Total) {
        return false;
    }
    if (Alignment != 0 && (Total & (Alignment - 1)) != 0) {
        const ULONGLONG Rounded = ULONGLONG{Total & ~(Alignment - 1)} + Alignment;
        if (Rounded > HOTP_LIMIT_32) {
            return false;
        }
        Total = static_cast<ULONG>(Rounded);
    }
    Descriptor->u.Memory.Length = Total;
    if (Descriptor->u.Memory.Alignment < Alignment) {
        Descriptor->u.Memory.Alignment = Alignment;
    }
    return true;
}

// The totals the window rules read, per window kind.
struct HOTP_SCAN_TOTALS {
    ULONG IoTotal, MemoryTotal, PrefetchableTotal;
    ULONG IoAlignment, MemoryAlignment, PrefetchableAlignment;
    ULONG MaxBridgesPerBus;
    HOTP_SCAN_FIT Fit;  // what the target's own windows must hold
};

// Keeps, per window kind, the largest total and alignment of the attempts so far.
HOTP_PAGEABLE void HotpKeepLargest(HOTP_SCAN_TOTALS& Best, const HOTP_SCAN_CONTEXT& Attempt)
{
    PAGED_CODE();
    auto Keep = [](ULONG& Kept, ULONG Value) {
        if (Value > Kept) {
            Kept = Value;
        }
    };
    Keep(Best.IoTotal, Attempt.IoTotal);
    Keep(Best.MemoryTotal, Attempt.MemoryTotal);
    Keep(Best.PrefetchableTotal, Attempt.PrefetchableTotal);
    Keep(Best.IoAlignment, Attempt.IoAlignment);
    Keep(Best.MemoryAlignment, Attempt.MemoryAlignment);
    Keep(Best.PrefetchableAlignment, Attempt.PrefetchableAlignment);
    Keep(Best.MaxBridgesPerBus, Attempt.MaxBridgesPerBus);
    const HOTP_SCAN_FIT& Fit = Attempt.Fits[Attempt.TargetLevel];
    for (ULONG Kind = 0; Kind < HOTP_WINDOW_KINDS; ++Kind) {
        Keep(Best.Fit.Size[Kind], Fit.Size[Kind]);
        Keep(Best.Fit.Alignment[Kind], Fit.Alignment[Kind]);
    }
}

// The least window of a kind that holds what was found behind the target: its fit rounded up to
// the window's granularity, and aligned to the largest item inside. Length 0 when nothing of the
// kind was found, or when it does not fit in 32 bits. Where the target has no prefetchable
// window, its memory window holds the prefetchable BARs too.
struct HOTP_WINDOW_FIT {
    ULONG Length;
    ULONG Alignment;
};

HOTP_PAGEABLE HOTP_WINDOW_FIT HotpWindowFit(const HOTP_SCAN_CONTEXT* Scan, ULONG Kind,
                                            bool WithPrefetchable)
{
    PAGED_CODE();
    const HOTP_SCAN_FIT& Fit = Scan->Fits[Scan->TargetLevel];
    ULONGLONG Size = Fit.Size[Kind];
    ULONG Alignment = Fit.Alignment[Kind];
    bool Overflow = Fit.Size[Kind] == HOTP_TOTAL_OVERFLOW;
    if (WithPrefetchable) {
        Size += Fit.Size[HOTP_WINDOW_PREFETCHABLE];
        Overflow = Overflow || Fit.Size[HOTP_WINDOW_PREFETCHABLE] == HOTP_TOTAL_OVERFLOW;
        if (Fit.Alignment[HOTP_WINDOW_PREFETCHABLE] > Alignment) {
            Alignment = Fit.Alignment[HOTP_WINDOW_PREFETCHABLE];
        }
    }
    const ULONG Granule = Kind == HOTP_WINDOW_IO ? HOTP_IO_PAGE : HOTP_MEMORY_GRANULE;
    const ULONGLONG Length = (Size + Granule - 1) & ~ULONGLONG{Granule - 1};
    if (Overflow || Size == 0 || Length > HOTP_LIMIT_32) {
        return {0, 0};
    }
    return {static_cast<ULONG>(Length), Alignment};
}

// Puts a descriptor into the only alternative list right after the one at Index. The caller has
// made sure the list's memory has room for it beyond ListSize.
HOTP_PAGEABLE void HotpInsertDescriptor(PIO_RESOURCE_REQUIREMENTS_LIST List, ULONG Index,
                                        const IO_RESOURCE_DESCRIPTOR& Descriptor)
{
    PAGED_CODE();
    PIO_RESOURCE_LIST Alternative = HotpAlternativeAt(List, HOTP_LIST_HEADER);
    // The descriptors after it move down one place, last first.
    for (ULONG Moved = Alternative->Count; Moved > Index + 1; --Moved) {
        RtlCopyMemory(HotpDescriptorAt(Alternative, Moved), HotpDescriptorAt(Alternative, Moved - 1),
                      sizeof(IO_RESOURCE_DESCRIPTOR));
    }
    RtlCopyMemory(HotpDescriptorAt(Alternative, Index + 1), &Descriptor, sizeof(Descriptor));
    Alternative->Count++;
    List->ListSize += sizeof(IO_RESOURCE_DESCRIPTOR);
}

}  // namespace

extern "C" HOTP_PAGEABLE NTSTATUS NTAPI HotpFilterResourceRequirements(
    PDEVICE_OBJECT DeviceObject, PIRP Irp, HOTP_BUS_EXTENSION* BusExtension)
{
    PAGED_CODE();
    HotpCheckRecord(BusExtension);
    (void)DeviceObject;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PIO_RESOURCE_REQUIREMENTS_LIST List = Stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
    if (List == nullptr || List->ListSize < HOTP_LIST_HEADER || List->InterfaceType != PCIBus) {
        return STATUS_SUCCESS;
    }
    if ((HotpRootReadConfig == nullptr || HotpRootWriteConfig == nullptr) &&
        !HotpGetRootBusInterface(BusExtension->Pdo)) {
        return STATUS_SUCCESS;
    }
    if (!HotpListIsWhole(List)) {
        return STATUS_SUCCESS;
    }
    // Room for one more descriptor per alternative list, as the list a bus driver builds leaves,
    // and beyond it room for the fall-backs the adjustment may put after raised windows.
    const ULONGLONG NewSize = ULONGLONG{List->ListSize} +
                              ULONGLONG{sizeof(IO_RESOURCE_DESCRIPTOR)} * List->AlternativeLists;
    const ULONGLONG Room = NewSize + ULONGLONG{sizeof(IO_RESOURCE_DESCRIPTOR)} * HOTP_ADDED_DESCRIPTORS;
    if (Room > HOTP_LIMIT_32) {
        return STATUS_SUCCESS;
    }
    auto* Replacement = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(
        ExAllocatePoolWithTag(PagedPool, static_cast<SIZE_T>(Room), HOTP_POOL_TAG));
    if (Replacement == nullptr) {
        return STATUS_SUCCESS;
    }
    // Zero first, so that nothing the pool held reaches the PnP manager.
    RtlZeroMemory(Replacement, static_cast<SIZE_T>(Room));
    Replacement->ListSize = static_cast<ULONG>(NewSize);
    Replacement->InterfaceType = List->InterfaceType;
    Replacement->BusNumber = List->BusNumber;
    Replacement->SlotNumber = List->SlotNumber;
    Replacement->AlternativeLists = List->AlternativeLists;
    SIZE_T Offset = HOTP_LIST_HEADER;
    for (ULONG Index = 0; Index < List->AlternativeLists; ++Index) {
        PIO_RESOURCE_LIST From = HotpAlternativeAt(List, Offset);
        const auto Bytes = static_cast<SIZE_T>(HotpAlternativeBytes(From->Count));
        RtlCopyMemory(HotpAlternativeAt(Replacement, Offset), From, Bytes);
        Offset += Bytes;
    }

    if (HotpAdjustRequirements(BusExtension, Replacement)) {
        Stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = Replacement;
        Irp->IoStatus.Status = STATUS_SUCCESS;
        Irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(Replacement);
        ExFreePool(List);
    } else {
        ExFreePool(Replacement);
    }
    return STATUS_SUCCESS;
}

// Scans the bridge the list describes and raises the window descriptors of its only
// alternative list. TRUE when any length was raised.
extern "C" HOTP_PAGEABLE BOOLEAN NTAPI HotpAdjustRequirements(HOTP_BUS_EXTENSION* BusExtension,
                                                             PIO_RESOURCE_REQUIREMENTS_LIST List)
{
    PAGED_CODE();
    HotpCheckRecord(BusExtension);
    if (List->AlternativeLists != 1) {
        return FALSE;
    }
    HOTP_SCAN_CONTEXT* Scan = nullptr;
    HotpScanBridge(BusExtension, static_cast<UCHAR>(List->BusNumber), List->SlotNumber, &Scan);
    if (Scan == nullptr) {
        return FALSE;
    }
    BOOLEAN Changed = FALSE;
    PIO_RESOURCE_LIST Alternative = HotpAlternativeAt(List, HOTP_LIST_HEADER);
    // Without a prefetchable window the bus driver places prefetchable BARs in the memory
    // window, which must then hold them too.
    bool HasPrefetchable = false;
    // The bus driver lists a bridge's own BARs before its windows, and a BAR's descriptor looks
    // like a window's: what fits behind the bridge is given to the last descriptor of each kind
    // only, the window, never to a BAR of the bridge itself. (Counted down, as descriptors added
    // after a raised one move those behind it.)
    ULONG LeftIo = 0, LeftMemory = 0, LeftPrefetchable = 0;
    for (ULONG Index = 0; Index < Alternative->Count; ++Index) {
        PIO_RESOURCE_DESCRIPTOR Descriptor = HotpDescriptorAt(Alternative, Index);
        if (Descriptor->Option != 0) {
            continue;
        }
        if (Descriptor->Type == CmResourceTypePort) {
            LeftIo++;
        } else if (Descriptor->Type == CmResourceTypeMemory) {
            if (Descriptor->Flags == CM_RESOURCE_MEMORY_READ_WRITE) {
                LeftMemory++;
            }
            if ((Descriptor->Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0) {
                LeftPrefetchable++;
                HasPrefetchable = true;
            }
        }
    }
    ULONG MemoryTotal = Scan->MemoryTotal;
    ULONG MemoryAlignment = Scan->MemoryAlignment;
    if (!HasPrefetchable) {
        const ULONGLONG Sum = ULONGLONG{MemoryTotal} + Scan->PrefetchableTotal;
        MemoryTotal = MemoryTotal == HOTP_TOTAL_OVERFLOW || Sum >= HOTP_TOTAL_OVERFLOW
                          ? HOTP_TOTAL_OVERFLOW
                          : static_cast<ULONG>(Sum);
        if (Scan->PrefetchableAlignment > MemoryAlignment) {
            MemoryAlignment = Scan->PrefetchableAlignment;
        }
    }
    ULONG Added = 0;
    for (ULONG Index = 0; Index < Alternative->Count; ++Index) {
        PIO_RESOURCE_DESCRIPTOR Descriptor = HotpDescriptorAt(Alternative, Index);
        if (Descriptor->Option != 0) {
            continue;
        }
        const IO_RESOURCE_DESCRIPTOR Own = *Descriptor;
        HOTP_WINDOW_FIT Fit = {0, 0};
        if (Descriptor->Type == CmResourceTypePort) {
            HotpApplyIoRule(Scan, Descriptor);
            if (--LeftIo == 0) {
                Fit = HotpWindowFit(Scan, HOTP_WINDOW_IO, false);
            }
        } else if (Descriptor->Type == CmResourceTypeMemory) {
            if (Descriptor->Flags == CM_RESOURCE_MEMORY_READ_WRITE) {
                HotpApplyMemoryRule(MemoryTotal, MemoryAlignment, Descriptor);
                if (--LeftMemory == 0) {
                    Fit = HotpWindowFit(Scan, HOTP_WINDOW_MEMORY, !HasPrefetchable);
                }
            }
            if ((Descriptor->Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0) {
                HotpApplyMemoryRule(Scan->PrefetchableTotal, Scan->PrefetchableAlignment,
                                    Descriptor);
                if (--LeftPrefetchable == 0) {
                    Fit = HotpWindowFit(Scan, HOTP_WINDOW_PREFETCHABLE, false);
                }
            }
        } else {
            continue;
        }
        // Never less than what fits. (The port and memory forms of a descriptor share their
        // layout: length, then alignment.)
        if (Fit.Length > Descriptor->u.Port.Length) {
            Descriptor->u.Port.Length = Fit.Length;
            if (Descriptor->u.Port.Alignment < Fit.Alignment) {
                Descriptor->u.Port.Alignment = Fit.Alignment;
            }
        }
        if (Descriptor->u.Port.Length <= Own.u.Port.Length) {
            continue;
        }
        Changed = TRUE;
        // Or else, rather than nothing: what fits, then the bus driver's own window, each where it
        // is smaller than the one before, for the arbiter to try in order.
        if (Added + 2 > HOTP_ADDED_DESCRIPTORS) {
            continue;
        }
        Descriptor->Option = IO_RESOURCE_PREFERRED;
        if (Fit.Length > Own.u.Port.Length && Fit.Length < Descriptor->u.Port.Length) {
            IO_RESOURCE_DESCRIPTOR Fitting = Own;
            Fitting.Option = IO_RESOURCE_ALTERNATIVE;
            Fitting.u.Port.Length = Fit.Length;
            if (Fitting.u.Port.Alignment < Fit.Alignment) {
                Fitting.u.Port.Alignment = Fit.Alignment;
            }
            HotpInsertDescriptor(List, Index, Fitting);
            ++Index;
            ++Added;
        }
        IO_RESOURCE_DESCRIPTOR Fallback = Own;
        Fallback.Option = IO_RESOURCE_ALTERNATIVE;
        HotpInsertDescriptor(List, Index, Fallback);
        ++Index;
        ++Added;
    }
    ExFreePool(Scan);
    return Changed;
}

// Scans the hierarchy behind a bridge whose decoding is still off; a bridge already decoding
// anything was configured by firmware and is left as it is.
extern "C" HOTP_PAGEABLE VOID NTAPI HotpScanBridge(HOTP_BUS_EXTENSION* BusExtension, UCHAR BusNumber,
                                                  ULONG SlotNumber, HOTP_SCAN_CONTEXT** ScanContext)
{
    PAGED_CODE();
    HotpCheckRecord(BusExtension);
    *ScanContext = nullptr;
    UCHAR Header[HOTP_CONFIG_HEADER_SIZE];
    RtlZeroMemory(Header, sizeof(Header));
    if (HotpRootReadConfig(nullptr, BusNumber, SlotNumber, Header, 0, sizeof(Header)) != sizeof(Header)) {
        return;
    }
    const USHORT Command = HotpHeaderWord(Header, HOTP_CONFIG_COMMAND);
    if ((Command & HOTP_COMMAND_ENABLED) != 0) {
        return;
    }
    auto* Scan = static_cast<HOTP_SCAN_CONTEXT*>(
        ExAllocatePoolWithTag(PagedPool, sizeof(HOTP_SCAN_CONTEXT), HOTP_POOL_TAG));
    if (Scan == nullptr) {
        return;
    }
    // A scan during which a raised number was changed behind it (a path bridge's header restored
    // on its return to D0) may have missed whatever lay behind the buses it cut off, so it is
    // made again, each time with the target's bus numbers as they then are (the same restore may
    // have reset the target's). An attempt can only fall short, never overshoot, so each window
    // kind keeps the largest total and alignment any attempt found.
    HOTP_SCAN_TOTALS Best = {};
    for (ULONG Attempt = 1;; ++Attempt) {
        RtlZeroMemory(Scan, sizeof(HOTP_SCAN_CONTEXT));
        if (!HotpBuildBridgePath(BusExtension, Scan, Header[HOTP_CONFIG_SECONDARY_BUS],
                                 Header[HOTP_CONFIG_SUBORDINATE_BUS])) {
            if (Attempt == 1) {
                ExFreePool(Scan);
                return;
            }
            break;
        }
        Scan->RoutedFirst = Scan->Levels[0].SecondaryBus;
        Scan->RoutedLast = Scan->Levels[0].SubordinateBus;
        HotpScanBusLevel(Scan, Scan->TargetLevel);
        HotpRestoreSubordinate(Scan);
        HotpKeepLargest(Best, *Scan);
        if (!Scan->RaiseUndone) {
            break;
        }
        HotpTrace(HOTP_TRACE_DETAIL,
                  "HotpScanBridge - bus numbers raised by scan %lx behind bridge %lx on bus %lx "
                  "were changed meanwhile\n",
                  Attempt, SlotNumber, ULONG{BusNumber});
        if (Attempt == HOTP_SCAN_ATTEMPTS ||
            HotpRootReadConfig(nullptr, BusNumber, SlotNumber, Header, 0, sizeof(Header)) !=
                sizeof(Header)) {
            break;
        }
    }
    Scan->IoTotal = Best.IoTotal;
    Scan->MemoryTotal = Best.MemoryTotal;
    Scan->PrefetchableTotal = Best.PrefetchableTotal;
    Scan->IoAlignment = Best.IoAlignment;
    Scan->MemoryAlignment = Best.MemoryAlignment;
    Scan->PrefetchableAlignment = Best.PrefetchableAlignment;
    Scan->MaxBridgesPerBus = Best.MaxBridgesPerBus;
    RtlCopyMemory(&Scan->Fits[Scan->TargetLevel], &Best.Fit, sizeof(Best.Fit));
    *ScanContext = Scan;
}
