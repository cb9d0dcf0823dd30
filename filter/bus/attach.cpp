// Child filter attachment: when a filtered bus reports its relations, every listed physical
// device object that has no child filter under this bus yet gets one, holding the device's bus
// interface, linked at the tail of the bus record's child list.
#include "../frame/routines.h"
#include "../frame/trace.h"

#include <hotpflt_messages.h>

// Pageable: none. Everything here is resident: the relations completion runs in whatever
// context the bus driver completes the request, which for bus relations is the PnP manager's
// thread at passive level.

namespace {

// Size of the attach event: the fixed part of the packet (48 bytes on i386, its first DumpData
// word included) and 18 more bytes, so that the insertion string of 8 characters and its NUL
// follow the fixed part directly.
constexpr ULONG HOTP_ATTACH_EVENT_SIZE = 66;
constexpr ULONG HOTP_ATTACH_STRING_BYTES = 18;

// Writes the attach event through the bus filter's device object; a failed allocation only
// drops the event.
void HotpWriteAttachEvent(HOTP_BUS_EXTENSION* BusExtension, PDEVICE_OBJECT Pdo)
{
    static const WCHAR Format[] = {'%', '8', 'x', 0};
    WCHAR Text[16];
    swprintf(Text, Format, HotpTraceValue(Pdo));

    auto* Entry = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(BusExtension->Self, static_cast<UCHAR>(HOTP_ATTACH_EVENT_SIZE)));
    if (Entry == nullptr) {
        return;
    }
    RtlZeroMemory(Entry, HOTP_ATTACH_EVENT_SIZE);
    Entry->NumberOfStrings = 1;
    Entry->StringOffset = static_cast<USHORT>(FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData));
    Entry->ErrorCode = HOTP_MSG_FILTER_ATTACHED;
    Entry->FinalStatus = STATUS_SUCCESS;
    RtlCopyMemory(reinterpret_cast<UCHAR*>(Entry) + FIELD_OFFSET(IO_ERROR_LOG_PACKET, DumpData),
                  Text, HOTP_ATTACH_STRING_BYTES);
    IoWriteErrorLogEntry(Entry);
}

// Appends a record at the tail of the bus record's child list.
void HotpAppendChild(HOTP_BUS_EXTENSION* BusExtension, HOTP_CHILD_EXTENSION* Child)
{
    Child->NextChild = nullptr;
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpAttachDeviceRelations - TrackExtension = %lx (at the beginning) \n",
              HotpTraceValue(BusExtension->ChildListHead));
    if (BusExtension->ChildListHead == nullptr) {
        BusExtension->ChildListHead = Child;
        HotpTrace(HOTP_TRACE_DETAIL,
                  "HotpAttachDeviceRelations - TrackExtension's ChildDevice = %lx if it is the head \n",
                  HotpTraceValue(Child));
        return;
    }
    HOTP_CHILD_EXTENSION* Cursor = BusExtension->ChildListHead;
    while (Cursor->NextChild != nullptr) {
        Cursor = Cursor->NextChild;
        HotpTrace(HOTP_TRACE_DETAIL, "HotpAttachDeviceRelations - TrackExtension = %lx in next child \n",
                  HotpTraceValue(Cursor));
    }
    Cursor->NextChild = Child;
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpAttachDeviceRelations - TrackExtension = %lx and its childdevice = %lx\n",
              HotpTraceValue(Cursor), HotpTraceValue(Child));
}

// The record already listed for this physical device object, or nullptr.
HOTP_CHILD_EXTENSION* HotpFindChild(HOTP_BUS_EXTENSION* BusExtension, PDEVICE_OBJECT Pdo)
{
    for (HOTP_CHILD_EXTENSION* Child = BusExtension->ChildListHead; Child != nullptr;
         Child = Child->NextChild) {
        if (Child->Pdo == Pdo) {
            return Child;
        }
    }
    return nullptr;
}

// Puts a created child filter, holding its device's bus interface, on top of the device's stack
// and links its record. FALSE when the device already has its filter on this bus or the
// attachment fails; the caller then undoes the creation.
bool HotpJoinChildStack(HOTP_BUS_EXTENSION* BusExtension, PDEVICE_OBJECT Filter, PDEVICE_OBJECT Pdo)
{
    auto* Child = static_cast<HOTP_CHILD_EXTENSION*>(Filter->DeviceExtension);
    Child->DeviceKind = 0;
    Child->BusExtension = BusExtension;
    Child->Pdo = Pdo;

    // A bus reports every device at every relations query; one filter per device and bus.
    if (HOTP_CHILD_EXTENSION* Existing = HotpFindChild(BusExtension, Pdo)) {
        if (Existing->DeviceKind == HOTP_KIND_BOOT) {
            HotpTrace(HOTP_TRACE_DETAIL, "HotpAttachDeviceRelations - Boot time PDO (ignore)\n");
        }
        if ((Existing->DeviceKind & HOTP_KIND_HOT_ADDED) != 0) {
            HotpTrace(HOTP_TRACE_DETAIL,
                      "HotpAttachDeviceRelations - HotAdd PDO already filtered (ignore)\n");
        }
        if ((Existing->DeviceKind & HOTP_KIND_HOST_PCI) != 0) {
            HotpTrace(HOTP_TRACE_DETAIL,
                      "HotpAttachDeviceRelations - Host/PCI PDO already filtered (ignore)\n");
        }
        if ((Existing->DeviceKind & HOTP_KIND_PCI_PCI) != 0) {
            HotpTrace(HOTP_TRACE_DETAIL,
                      "HotpAttachDeviceRelations - PCI/PCI PDO already filtered (ignore)\n");
        }
        return false;
    }

    Child->LowerDeviceObject = IoAttachDeviceToDeviceStack(Filter, Pdo);
    if (Child->LowerDeviceObject == nullptr) {
        HotpTrace(HOTP_TRACE_FAILURE,
                  "HotpAttachDeviceRelations: IoAttachDeviceToDeviceStack from %08lx to %08lx failed\n",
                  HotpTraceValue(Filter), HotpTraceValue(Pdo));
        return false;
    }
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpAttachDeviceRelations - ChildDeviceFilter %lx attached to PDO %lx (Immediate %lx)\n",
              HotpTraceValue(Filter), HotpTraceValue(Pdo), HotpTraceValue(Child->LowerDeviceObject));
    if (HotpDebugPrintLevel != 0) {
        HotpWriteAttachEvent(BusExtension, Pdo);
    }

    PDEVICE_OBJECT Lower = Child->LowerDeviceObject;
    Filter->StackSize = static_cast<CCHAR>(Lower->StackSize + 1);
    Filter->AlignmentRequirement = Lower->AlignmentRequirement;
    if ((Lower->Flags & DO_POWER_PAGABLE) != 0) {
        Filter->Flags |= DO_POWER_PAGABLE;
    }
    Filter->Flags &= ~DO_DEVICE_INITIALIZING;
    BusExtension->ChildDeviceCount++;
    HotpAppendChild(BusExtension, Child);
    return true;
}

// Creates, attaches and links the child filter of one listed device. The bus interface is
// queried before the duplicate test, as the order of the device's requests requires; whatever
// does not come to an attached filter is undone in one place, in reverse order.
void HotpAttachChild(PDEVICE_OBJECT BusFilter, HOTP_BUS_EXTENSION* BusExtension, PDEVICE_OBJECT Pdo)
{
    PDEVICE_OBJECT Filter = nullptr;
    NTSTATUS Status = IoCreateDevice(BusFilter->DriverObject, sizeof(HOTP_CHILD_EXTENSION), nullptr,
                                     FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &Filter);
    if (!NT_SUCCESS(Status)) {
        HotpTrace(HOTP_TRACE_FAILURE, "HotpAttachDeviceRelations: IoCreateDevice failed %08lx\n",
                  static_cast<ULONG>(Status));
        return;
    }
    auto* Child = static_cast<HOTP_CHILD_EXTENSION*>(Filter->DeviceExtension);
    Child->Signature = HOTP_CHILD_SIGNATURE;

    if (NT_SUCCESS(HotpQueryBusInterface(Pdo, &Child->BusInterface))) {
        if (HotpJoinChildStack(BusExtension, Filter, Pdo)) {
            return;
        }
        Child->BusInterface.InterfaceDereference(Child->BusInterface.Context);
    }
    IoDeleteDevice(Filter);
}

}  // namespace

// Completion of a successful bus relations query on a bus filter: the list is complete, and each
// listed device gets its child filter on top of its stack as it stands now. The request keeps the
// status and list the lower drivers gave it.
extern "C" NTSTATUS NTAPI HotpAttachDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                                    PVOID Context)
{
    HOTP_BUS_EXTENSION* BusExtension = HotpBusContext(Context);
    HotpTrace(HOTP_TRACE_DETAIL,
              "HotpAttachDeviceRelations() begins with DeviceObject = %08lx, irp = %08lx and Extension = %08lx \n",
              HotpTraceValue(DeviceObject), HotpTraceValue(Irp), HotpTraceValue(Context));
    auto* Relations = reinterpret_cast<PDEVICE_RELATIONS>(Irp->IoStatus.Information);
    if (Relations != nullptr) {
        HotpTrace(HOTP_TRACE_DETAIL, "HotpAttachDeviceRelations - Relations Count = %lx \n",
                  Relations->Count);
        // The list is variable-length: its entries are reached from its base, not through the
        // one-element array the structure declares.
        auto* Objects = reinterpret_cast<PDEVICE_OBJECT*>(reinterpret_cast<UCHAR*>(Relations) +
                                                          FIELD_OFFSET(DEVICE_RELATIONS, Objects));
        for (ULONG Index = 0; Index < Relations->Count; ++Index) {
            HotpAttachChild(DeviceObject, BusExtension, Objects[Index]);
        }
    }
    HotpPropagatePending(Irp);
    return STATUS_SUCCESS;
}

// Asks the physical device object itself (not the top of its stack) for its standard bus
// interface, waiting if the bus driver pends the request. On success the interface holds one
// reference for the caller.
extern "C" NTSTATUS NTAPI HotpQueryBusInterface(PDEVICE_OBJECT Pdo,
                                                PBUS_INTERFACE_STANDARD BusInterface)
{
    KEVENT Event;
    IO_STATUS_BLOCK IoStatus;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    PIRP Irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Pdo, nullptr, 0, nullptr, &Event,
                                            &IoStatus);
    if (Irp == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->MajorFunction = IRP_MJ_PNP;
    Next->MinorFunction = IRP_MN_QUERY_INTERFACE;
    Next->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
    Next->Parameters.QueryInterface.Size = sizeof(BUS_INTERFACE_STANDARD);
    Next->Parameters.QueryInterface.Version = 1;
    Next->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(BusInterface);
    Next->Parameters.QueryInterface.InterfaceSpecificData = nullptr;

    NTSTATUS Status = IoCallDriver(Pdo, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, nullptr);
        Status = IoStatus.Status;
    }
    return Status;
}
