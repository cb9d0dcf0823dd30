// Access to the root bus's configuration accessors and the chain of bridges above a filtered
// bridge, found by following the PCI bus driver's private device extensions. Those records are
// read, never written, and always byte by byte: their fields need not be aligned for this
// processor.
#include "scan_record.h"

// Pageable: HotpGetRootBusInterface, HotpBuildBridgePath.

extern "C" {
PCI_READ_WRITE_CONFIG HotpRootReadConfig = nullptr;
PCI_READ_WRITE_CONFIG HotpRootWriteConfig = nullptr;
}

namespace {

// Type words and byte offsets of the bus driver's records.
constexpr ULONG HOTP_PCI_PDO_SIGNATURE = 0x69635030;  // "0Pci"
constexpr ULONG HOTP_PCI_FDO_SIGNATURE = 0x69635031;  // "1Pci"
constexpr ULONG HOTP_RECORD_TYPE = 0x04;
constexpr ULONG HOTP_PDO_SLOT = 0x50;
constexpr ULONG HOTP_PDO_PARENT = 0x58;
constexpr ULONG HOTP_FDO_PDO = 0x50;
constexpr ULONG HOTP_FDO_ROOT = 0x80;
constexpr ULONG HOTP_FDO_INTERFACE = 0x8C;
constexpr ULONG HOTP_FDO_BUS_NUMBER = 0x98;

template <typename T>
T HotpReadRecord(const void* Record, ULONG Offset)
{
    T Value;
    RtlCopyMemory(&Value, static_cast<const UCHAR*>(Record) + Offset, sizeof(T));
    return Value;
}

bool HotpIsRecord(const void* Record, ULONG Signature)
{
    return Record != nullptr && HotpReadRecord<ULONG>(Record, HOTP_RECORD_TYPE) == Signature;
}

// The parent bus record of a function's record, or nullptr when the link or its type is wrong.
const void* HotpParentBus(const void* PdoRecord)
{
    if (!HotpIsRecord(PdoRecord, HOTP_PCI_PDO_SIGNATURE)) {
        return nullptr;
    }
    const void* Parent = HotpReadRecord<const void*>(PdoRecord, HOTP_PDO_PARENT);
    return HotpIsRecord(Parent, HOTP_PCI_FDO_SIGNATURE) ? Parent : nullptr;
}

// The record of the bridge function beneath a bus record (the bridge whose secondary side it is).
const void* HotpBridgeBeneath(const void* FdoRecord)
{
    auto* Pdo = HotpReadRecord<PDEVICE_OBJECT>(FdoRecord, HOTP_FDO_PDO);
    return Pdo != nullptr ? Pdo->DeviceExtension : nullptr;
}

bool HotpIsRootBus(const void* FdoRecord)
{
    return HotpReadRecord<const void*>(FdoRecord, HOTP_FDO_ROOT) == FdoRecord;
}

}  // namespace

// Finds the root bus's configuration accessors through the bridge's physical device object and
// caches them for the life of the driver.
extern "C" HOTP_PAGEABLE BOOLEAN NTAPI HotpGetRootBusInterface(PDEVICE_OBJECT Pdo)
{
    PAGED_CODE();
    if (HotpRootReadConfig != nullptr && HotpRootWriteConfig != nullptr) {
        return TRUE;
    }
    if (Pdo == nullptr || Pdo->DeviceExtension == nullptr) {
        return FALSE;
    }
    const void* Parent = HotpParentBus(Pdo->DeviceExtension);
    if (Parent == nullptr) {
        return FALSE;
    }
    const void* Root = HotpReadRecord<const void*>(Parent, HOTP_FDO_ROOT);
    if (Root == nullptr) {
        return FALSE;
    }
    auto* Interface = HotpReadRecord<PPCI_BUS_INTERFACE_STANDARD>(Root, HOTP_FDO_INTERFACE);
    if (Interface == nullptr || Interface->ReadConfig == nullptr || Interface->WriteConfig == nullptr) {
        return FALSE;
    }
    HotpRootReadConfig = Interface->ReadConfig;
    HotpRootWriteConfig = Interface->WriteConfig;
    return TRUE;
}

// Describes the chain of bridges from the root bus down to the target: entry 0 is the bridge on
// the root bus, the entry at the target's depth the target itself. Every link of the bus
// driver's records is checked on the way, and a bridge header that cannot be read whole refuses
// the path: a scan on a wrong chain would number buses behind the wrong bridges.
extern "C" HOTP_PAGEABLE BOOLEAN NTAPI HotpBuildBridgePath(HOTP_BUS_EXTENSION* BusExtension,
                                                           HOTP_SCAN_CONTEXT* ScanContext,
                                                           UCHAR SecondaryBus, UCHAR SubordinateBus)
{
    PAGED_CODE();
    HotpCheckRecord(BusExtension);
    PDEVICE_OBJECT Pdo = BusExtension->Pdo;
    if (Pdo == nullptr) {
        return FALSE;
    }
    const void* Target = Pdo->DeviceExtension;
    const void* Bus = HotpParentBus(Target);
    if (Bus == nullptr) {
        return FALSE;
    }

    // Depth: the number of bridges between the root bus and the target.
    ULONG Depth = 0;
    for (const void* Walk = Bus; !HotpIsRootBus(Walk);) {
        Walk = HotpParentBus(HotpBridgeBeneath(Walk));
        if (Walk == nullptr) {
            return FALSE;
        }
        if (++Depth >= HOTP_MAX_SCAN_LEVELS) {
            return FALSE;
        }
    }
    ScanContext->CurrentLevel = Depth;

    const void* Bridge = Target;
    for (ULONG Index = Depth;; --Index) {
        const UCHAR Primary = HotpReadRecord<UCHAR>(Bus, HOTP_FDO_BUS_NUMBER);
        const ULONG Slot = HotpReadRecord<ULONG>(Bridge, HOTP_PDO_SLOT);
        UCHAR Header[HOTP_CONFIG_HEADER_SIZE];
        RtlZeroMemory(Header, sizeof(Header));
        if (HotpRootReadConfig(nullptr, Primary, Slot, Header, 0, sizeof(Header)) != sizeof(Header)) {
            return FALSE;
        }
        HOTP_SCAN_LEVEL& Level = ScanContext->Levels[Index];
        Level.Kind = HOTP_LEVEL_PATH;
        Level.Slot = Slot;
        Level.PrimaryBus = Primary;
        Level.SecondaryBus = Header[HOTP_CONFIG_SECONDARY_BUS];
        Level.SubordinateBus = Header[HOTP_CONFIG_SUBORDINATE_BUS];
        Level.SavedSubordinateBus = 0;
        if (HotpIsRootBus(Bus)) {
            break;
        }
        if (Index == 0) {
            return FALSE;  // the records changed between the two walks
        }
        Bridge = HotpBridgeBeneath(Bus);
        Bus = HotpParentBus(Bridge);
        if (Bus == nullptr) {
            return FALSE;
        }
    }

    ScanContext->TargetLevel = Depth;
    HOTP_SCAN_LEVEL& TargetLevel = ScanContext->Levels[Depth];
    TargetLevel.Kind = HOTP_LEVEL_TARGET;
    TargetLevel.SecondaryBus = SecondaryBus;
    TargetLevel.SubordinateBus = SubordinateBus;
    return TRUE;
}
