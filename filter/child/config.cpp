// Configuration access through a child's bus interface, and the two programming steps built on
// it: classification (with enabling of a hot-added device) and the latency timer and cache line
// size of ordinary devices. All resident: they run in completion routines, possibly at dispatch
// level, use only stack buffers and allocate nothing.
// Pageable: none.

#include "../frame/pci_config.h"
#include "../frame/routines.h"
#include "../frame/trace.h"

namespace {

// Command bits 0 to 9: I/O and memory decoding, bus master, special cycles, memory write and
// invalidate, VGA palette snoop, parity error response, wait cycle control, SERR# and fast
// back-to-back.
constexpr USHORT HOTP_HOT_ADD_COMMAND = 0x03FF;
constexpr UCHAR HOTP_LATENCY_TIMER = 0x90;
constexpr UCHAR HOTP_CACHE_LINE_SIZE = 8;  // in 32-bit words

template <typename T>
NTSTATUS HotpReadField(HOTP_CHILD_EXTENSION* Child, ULONG Offset, T* Value)
{
    return HotpGetSetDeviceBusData(reinterpret_cast<HOTP_COMMON_HEADER*>(Child), TRUE, Value,
                                   Offset, sizeof(T));
}

template <typename T>
NTSTATUS HotpWriteField(HOTP_CHILD_EXTENSION* Child, ULONG Offset, T Value)
{
    return HotpGetSetDeviceBusData(reinterpret_cast<HOTP_COMMON_HEADER*>(Child), FALSE, &Value,
                                   Offset, sizeof(T));
}

}  // namespace

// Reads (Read nonzero) or writes configuration space of the device beneath a child filter. A bus
// record has no device of its own: it is answered with success and nothing is transferred.
extern "C" NTSTATUS NTAPI HotpGetSetDeviceBusData(HOTP_COMMON_HEADER* Extension, BOOLEAN Read,
                                                  PVOID Buffer, ULONG Offset, ULONG Length)
{
    if (HotpIsBusRecord(Extension)) {
        HotpTrace(HOTP_TRACE_DETAIL, "HotpGetSetDeviceBusData - we don't get/set bus data for Bus\n");
        return STATUS_SUCCESS;
    }
    auto* Child = reinterpret_cast<HOTP_CHILD_EXTENSION*>(Extension);
    BUS_INTERFACE_STANDARD& Bus = Child->BusInterface;
    ULONG Transferred = Read ? Bus.GetBusData(Bus.Context, PCI_WHICHSPACE_CONFIG, Buffer, Offset, Length)
                             : Bus.SetBusData(Bus.Context, PCI_WHICHSPACE_CONFIG, Buffer, Offset, Length);
    return Transferred == Length ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

namespace {

// A class byte is read once more when the first read comes back short: a device whose class is
// unknown gets no bus filter and no programming, so one lost transfer must not decide that.
NTSTATUS HotpReadClassField(HOTP_CHILD_EXTENSION* Child, ULONG Offset, UCHAR* Value)
{
    const NTSTATUS Status = HotpReadField(Child, Offset, Value);
    return NT_SUCCESS(Status) ? Status : HotpReadField(Child, Offset, Value);
}

// The classification steps. A failure returns its status with DeviceKind as it stands; the
// caller's one exit clears it.
NTSTATUS HotpClassifyDevice(HOTP_CHILD_EXTENSION* Child)
{
    USHORT Command = 0;
    NTSTATUS Status = HotpReadField(Child, HOTP_CONFIG_COMMAND, &Command);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }

    // The identifier reads are not checked (they are only recorded and printed); their buffers
    // start at zero so a failed read never leaves stack contents behind.
    USHORT VendorId = 0;
    USHORT DeviceId = 0;
    HotpReadField(Child, HOTP_CONFIG_VENDOR_ID, &VendorId);
    HotpReadField(Child, HOTP_CONFIG_DEVICE_ID, &DeviceId);
    Child->VendorId = VendorId;
    Child->DeviceId = DeviceId;
    HotpTrace(HOTP_TRACE_DETAIL, "HotpProgramPCI - VendorId %lx, DeviceId %lx\n",
              static_cast<ULONG>(VendorId), static_cast<ULONG>(DeviceId));

    // The class decides whether the command register is written and whether the device gets a
    // bus filter of its own, and the resource query that classifies comes only once per start.
    // A class that cannot be read even on the second try is not guessed at: the device stays
    // unclassified, and the trace says why a bridge then has no bus filter.
    UCHAR BaseClass = 0;
    UCHAR SubClass = 0;
    Status = HotpReadClassField(Child, HOTP_CONFIG_BASE_CLASS, &BaseClass);
    if (NT_SUCCESS(Status)) {
        Status = HotpReadClassField(Child, HOTP_CONFIG_SUB_CLASS, &SubClass);
    }
    if (!NT_SUCCESS(Status)) {
        HotpTrace(HOTP_TRACE_DETAIL,
                  "HotpProgramPCI - class code of PDO %08lx (VendorId %lx, DeviceId %lx) unreadable, "
                  "device left unclassified\n",
                  HotpTraceValue(Child->Pdo), static_cast<ULONG>(VendorId),
                  static_cast<ULONG>(DeviceId));
        return Status;
    }

    if (BaseClass == HOTP_CLASS_BRIDGE && SubClass == HOTP_SUBCLASS_PCI_BRIDGE) {
        HotpTrace(HOTP_TRACE_DETAIL, "HotpProgramPCI - PCI/PCI bridge\n");
        Child->DeviceKind = HOTP_KIND_PCI_PCI;
        return STATUS_SUCCESS;
    }
    if (BaseClass == HOTP_CLASS_BRIDGE && SubClass == HOTP_SUBCLASS_HOST_BRIDGE) {
        HotpTrace(HOTP_TRACE_DETAIL, "HotpProgramPCI - Host/PCI bridge\n");
        Child->DeviceKind = HOTP_KIND_HOST_PCI;
        return STATUS_SUCCESS;
    }
    if ((Command & HOTP_COMMAND_DECODE) != 0) {
        HotpTrace(HOTP_TRACE_DETAIL, "HotpProgramPCI - device present at boot\n");
        Child->DeviceKind = HOTP_KIND_BOOT;
        return STATUS_SUCCESS;
    }

    HotpTrace(HOTP_TRACE_DETAIL, "HotpProgramPCI - hot added device\n");
    Child->DeviceKind = HOTP_KIND_HOT_ADDED;
    if (BaseClass == HOTP_CLASS_DISPLAY || BaseClass == HOTP_CLASS_BRIDGE) {
        return STATUS_SUCCESS;
    }
    Status = HotpWriteField(Child, HOTP_CONFIG_COMMAND, HOTP_HOT_ADD_COMMAND);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    // Only the success of the read-back counts: the device may not implement every bit.
    USHORT ReadBack = 0;
    Status = HotpReadField(Child, HOTP_CONFIG_COMMAND, &ReadBack);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    Child->DeviceKind |= HOTP_KIND_ENABLED;
    return STATUS_SUCCESS;
}

}  // namespace

// Classifies the device from its header and switches on a hot-added one. Bridges are classified
// before the decoding test, so their command register is never written here; display controllers
// and other bridge-class devices found hot added are left for their own drivers to enable. Any
// failed access leaves the device unclassified (DeviceKind 0), even after a hot-added device was
// marked as such.
extern "C" NTSTATUS NTAPI HotpProgramPCI(HOTP_CHILD_EXTENSION* Child)
{
    HotpCheckRecord(Child);
    const NTSTATUS Status = HotpClassifyDevice(Child);
    if (!NT_SUCCESS(Status)) {
        Child->DeviceKind = 0;
    }
    return Status;
}

// Writes the latency timer, then the cache line size, of every device that is neither a bridge
// nor a display controller. Runs after every start and every return to D0, since a device
// coming out of D3 has lost both and its bus driver does not put them back.
extern "C" NTSTATUS NTAPI HotpPostProgramPCI(HOTP_CHILD_EXTENSION* Child)
{
    HotpCheckRecord(Child);
    if (Child->DeviceKind == HOTP_KIND_PCI_PCI || Child->DeviceKind == HOTP_KIND_HOST_PCI) {
        HotpTrace(HOTP_TRACE_DETAIL,
                  "HotpPostProgramPCI - Config space not modified for HOST/PCI or PCI/PCI\n");
        return STATUS_SUCCESS;
    }
    // Without its base class the device may be a bridge or a display controller: write nothing.
    UCHAR BaseClass = 0;
    NTSTATUS Status = HotpReadField(Child, HOTP_CONFIG_BASE_CLASS, &BaseClass);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    if (BaseClass == HOTP_CLASS_DISPLAY || BaseClass == HOTP_CLASS_BRIDGE) {
        HotpTrace(HOTP_TRACE_DETAIL, "HotpPostProgramPCI - Config space not modified for BaseClass %lx\n",
                  static_cast<ULONG>(BaseClass));
        return STATUS_SUCCESS;
    }
    Status = HotpWriteField(Child, HOTP_CONFIG_LATENCY_TIMER, HOTP_LATENCY_TIMER);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpPostProgramPCI - LatencyTimer(%lx) set for (VendorId %lx, DeviceId %lx)\n",
              static_cast<ULONG>(HOTP_LATENCY_TIMER), static_cast<ULONG>(Child->VendorId),
              static_cast<ULONG>(Child->DeviceId));
    Status = HotpWriteField(Child, HOTP_CONFIG_CACHE_LINE_SIZE, HOTP_CACHE_LINE_SIZE);
    if (!NT_SUCCESS(Status)) {
        return Status;
    }
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpPostProgramPCI - CacheLineSize(%lx) set for (VendorId %lx, DeviceId %lx)\n",
              static_cast<ULONG>(HOTP_CACHE_LINE_SIZE), static_cast<ULONG>(Child->VendorId),
              static_cast<ULONG>(Child->DeviceId));
    return STATUS_SUCCESS;
}
