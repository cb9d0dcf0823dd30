// The driver's routines. They have C linkage and the kernel's calling convention, so that the
// kernel, the dispatch table and a debugger all find them by their plain names.
#pragma once

#include "records.h"

extern "C" {

// Entry, dispatch table and routers.
NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
NTSTATUS NTAPI HotpDispatchPassThrough(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI HotpDispatchDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI HotpDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI HotpDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS NTAPI HotpBusDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                    HOTP_BUS_EXTENSION* BusExtension);

// Bus filter.
NTSTATUS NTAPI HotpAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
NTSTATUS NTAPI HotpBusDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                  HOTP_BUS_EXTENSION* BusExtension);
NTSTATUS NTAPI HotpBusStartDevice(PIRP Irp, HOTP_BUS_EXTENSION* BusExtension);
NTSTATUS NTAPI HotpNullCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI HotpAttachDeviceRelations(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI HotpQueryBusInterface(PDEVICE_OBJECT Pdo, PBUS_INTERFACE_STANDARD BusInterface);

// Child filter.
NTSTATUS NTAPI HotpChildDeviceDispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                          HOTP_CHILD_EXTENSION* ChildExtension);
NTSTATUS NTAPI HotpChildDeviceDispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                                            HOTP_CHILD_EXTENSION* ChildExtension);
NTSTATUS NTAPI HotpChildStartCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI HotpQueryChildResources(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
NTSTATUS NTAPI HotpPowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);

// Configuration access and programming of a child device.
NTSTATUS NTAPI HotpGetSetDeviceBusData(HOTP_COMMON_HEADER* Extension, BOOLEAN Read, PVOID Buffer,
                                       ULONG Offset, ULONG Length);
NTSTATUS NTAPI HotpProgramPCI(HOTP_CHILD_EXTENSION* ChildExtension);
NTSTATUS NTAPI HotpPostProgramPCI(HOTP_CHILD_EXTENSION* ChildExtension);

}  // extern "C"

// Every completion routine lets completion continue; when a lower driver returned the request
// pending, the routine carries the mark up to its own stack location, as the I/O manager
// requires of a routine that does not stop completion.
inline void HotpPropagatePending(PIRP Irp)
{
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
}
