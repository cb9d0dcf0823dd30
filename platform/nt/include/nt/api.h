// The kernel interface as a driver sees it on the host: NT types with NT widths, the records a
// driver reads and writes (laid out as on i386 when built with -m32), the kernel routines of the
// stand-in and the inline helpers the DDK provides. A driver compiled against this header and one
// compiled against the DDK see the same names, values and layouts.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(__i386__)
#define NTAPI __attribute__((stdcall))
#define FASTCALL __attribute__((fastcall))
#else
#define NTAPI
#define FASTCALL
#endif

#define IN
#define OUT
#define OPTIONAL

extern "C" {

// ---------------------------------------------------------------------------------------------
// Basic types
// ---------------------------------------------------------------------------------------------
typedef void VOID, *PVOID;
typedef char CHAR, CCHAR, *PCHAR;
typedef uint8_t UCHAR, *PUCHAR, BOOLEAN, *PBOOLEAN, KIRQL, *PKIRQL, KPROCESSOR_MODE;
typedef int16_t SHORT, CSHORT;
typedef uint16_t USHORT, *PUSHORT;
typedef int32_t LONG, *PLONG, NTSTATUS;
typedef uint32_t ULONG, *PULONG, DEVICE_TYPE;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR, *PULONG_PTR, KSPIN_LOCK, SIZE_T;
typedef KSPIN_LOCK* PKSPIN_LOCK;
typedef intptr_t LONG_PTR;
typedef char16_t WCHAR, *PWCHAR, *PWSTR;
typedef const WCHAR* PCWSTR;
typedef const char* PCSTR;
typedef char* PSTR;

#define TRUE 1
#define FALSE 0

// LARGE_INTEGER is 8-byte aligned in every NT structure, also on i386 where the Linux ABI would
// align a 64-bit member to 4 only.
typedef union alignas(8) _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER, PHYSICAL_ADDRESS;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;

// ---------------------------------------------------------------------------------------------
// Status codes and IRQLs
// ---------------------------------------------------------------------------------------------
constexpr NTSTATUS STATUS_SUCCESS = 0;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = static_cast<NTSTATUS>(0xC0000016);
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = static_cast<NTSTATUS>(0xC0000002);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = static_cast<NTSTATUS>(0xC000000E);
constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS STATUS_DEVICE_NOT_READY = static_cast<NTSTATUS>(0xC00000A3);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);
constexpr NTSTATUS STATUS_DEVICE_BUSY = static_cast<NTSTATUS>(0x80000011);
constexpr NTSTATUS STATUS_DELETE_PENDING = static_cast<NTSTATUS>(0xC0000056);

constexpr bool NT_SUCCESS(NTSTATUS Status) { return Status >= 0; }

constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;

// ---------------------------------------------------------------------------------------------
// Enumerations
// ---------------------------------------------------------------------------------------------
typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1 } POOL_TYPE;
typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _KWAIT_REASON { Executive = 0 } KWAIT_REASON;
constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;

typedef enum _DEVICE_RELATION_TYPE {
    BusRelations = 0,
    EjectionRelations = 1,
    PowerRelations = 2,
    RemovalRelations = 3,
    TargetDeviceRelation = 4,
    SingleBusRelations = 5
} DEVICE_RELATION_TYPE;

typedef enum _INTERFACE_TYPE {
    InterfaceTypeUndefined = -1,
    Internal = 0,
    Isa = 1,
    Eisa = 2,
    MicroChannel = 3,
    TurboChannel = 4,
    PCIBus = 5
} INTERFACE_TYPE;

typedef enum _SYSTEM_POWER_STATE {
    PowerSystemUnspecified = 0,
    PowerSystemWorking = 1,
    PowerSystemSleeping1 = 2,
    PowerSystemSleeping2 = 3,
    PowerSystemSleeping3 = 4,
    PowerSystemHibernate = 5,
    PowerSystemShutdown = 6
} SYSTEM_POWER_STATE;

typedef enum _DEVICE_POWER_STATE {
    PowerDeviceUnspecified = 0,
    PowerDeviceD0 = 1,
    PowerDeviceD1 = 2,
    PowerDeviceD2 = 3,
    PowerDeviceD3 = 4
} DEVICE_POWER_STATE;

typedef union _POWER_STATE {
    SYSTEM_POWER_STATE SystemState;
    DEVICE_POWER_STATE DeviceState;
} POWER_STATE;

typedef enum _POWER_STATE_TYPE { SystemPowerState = 0, DevicePowerState = 1 } POWER_STATE_TYPE;
typedef enum _POWER_ACTION { PowerActionNone = 0 } POWER_ACTION;

// ---------------------------------------------------------------------------------------------
// Major and minor function codes, flags
// ---------------------------------------------------------------------------------------------
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CREATE_NAMED_PIPE = 0x01;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_READ = 0x03;
constexpr UCHAR IRP_MJ_WRITE = 0x04;
constexpr UCHAR IRP_MJ_QUERY_INFORMATION = 0x05;
constexpr UCHAR IRP_MJ_SET_INFORMATION = 0x06;
constexpr UCHAR IRP_MJ_FLUSH_BUFFERS = 0x09;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0E;
constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0F;
constexpr UCHAR IRP_MJ_SHUTDOWN = 0x10;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr UCHAR IRP_MJ_POWER = 0x16;
constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
constexpr UCHAR IRP_MJ_PNP = 0x1B;
constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1B;

constexpr UCHAR IRP_MN_START_DEVICE = 0x00;
constexpr UCHAR IRP_MN_QUERY_REMOVE_DEVICE = 0x01;
constexpr UCHAR IRP_MN_REMOVE_DEVICE = 0x02;
constexpr UCHAR IRP_MN_CANCEL_REMOVE_DEVICE = 0x03;
constexpr UCHAR IRP_MN_STOP_DEVICE = 0x04;
constexpr UCHAR IRP_MN_QUERY_STOP_DEVICE = 0x05;
constexpr UCHAR IRP_MN_CANCEL_STOP_DEVICE = 0x06;
constexpr UCHAR IRP_MN_QUERY_DEVICE_RELATIONS = 0x07;
constexpr UCHAR IRP_MN_QUERY_INTERFACE = 0x08;
constexpr UCHAR IRP_MN_QUERY_CAPABILITIES = 0x09;
constexpr UCHAR IRP_MN_QUERY_RESOURCES = 0x0A;
constexpr UCHAR IRP_MN_QUERY_RESOURCE_REQUIREMENTS = 0x0B;
constexpr UCHAR IRP_MN_QUERY_DEVICE_TEXT = 0x0C;
constexpr UCHAR IRP_MN_FILTER_RESOURCE_REQUIREMENTS = 0x0D;
constexpr UCHAR IRP_MN_QUERY_ID = 0x13;
constexpr UCHAR IRP_MN_QUERY_PNP_DEVICE_STATE = 0x14;
constexpr UCHAR IRP_MN_QUERY_BUS_INFORMATION = 0x15;
constexpr UCHAR IRP_MN_SURPRISE_REMOVAL = 0x17;

constexpr UCHAR IRP_MN_WAIT_WAKE = 0x00;
constexpr UCHAR IRP_MN_POWER_SEQUENCE = 0x01;
constexpr UCHAR IRP_MN_SET_POWER = 0x02;
constexpr UCHAR IRP_MN_QUERY_POWER = 0x03;

constexpr UCHAR SL_PENDING_RETURNED = 0x01;
constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

constexpr ULONG DO_BUFFERED_IO = 0x00000004;
constexpr ULONG DO_DIRECT_IO = 0x00000010;
constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
constexpr ULONG DO_POWER_PAGABLE = 0x00002000;
constexpr ULONG DO_POWER_INRUSH = 0x00004000;

constexpr DEVICE_TYPE FILE_DEVICE_BUS_EXTENDER = 0x0000002A;
constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x00000022;
constexpr CSHORT IO_TYPE_DRIVER = 4;
constexpr CSHORT IO_TYPE_DEVICE = 3;
constexpr CSHORT IO_TYPE_IRP = 6;
constexpr CSHORT IO_TYPE_DEVICE_OBJECT_EXTENSION = 13;

constexpr ULONG PCI_WHICHSPACE_CONFIG = 0;
constexpr ULONG PCI_WHICHSPACE_ROM = 0x52696350;

// ---------------------------------------------------------------------------------------------
// Kernel objects
// ---------------------------------------------------------------------------------------------
typedef struct _DISPATCHER_HEADER {
    UCHAR Type;
    UCHAR Absolute;
    UCHAR Size;
    UCHAR Inserted;
    LONG SignalState;
    LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KTHREAD* PKTHREAD;

// A fast mutex as the DDK lays it out. The stand-in keeps Count (1 free, 0 owned) and the IRQL
// its owner came from, as the kernel does; who owns it the kernel keeps itself.
typedef struct _FAST_MUTEX {
    LONG Count;
    PKTHREAD Owner;
    ULONG Contention;
    KEVENT Event;
    ULONG OldIrql;
} FAST_MUTEX, *PFAST_MUTEX;

// A remove lock as a free build lays it out: whether removal has begun, the acquisitions
// outstanding plus one for the lock itself, and the event removal waits on.
typedef struct _IO_REMOVE_LOCK_COMMON_BLOCK {
    BOOLEAN Removed;
    BOOLEAN Reserved[3];
    LONG IoCount;
    KEVENT RemoveEvent;
} IO_REMOVE_LOCK_COMMON_BLOCK;

typedef struct _IO_REMOVE_LOCK {
    IO_REMOVE_LOCK_COMMON_BLOCK Common;
} IO_REMOVE_LOCK, *PIO_REMOVE_LOCK;

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _KDEVICE_QUEUE {
    CSHORT Type;
    CSHORT Size;
    LIST_ENTRY DeviceListHead;
    KSPIN_LOCK Lock;
    BOOLEAN Busy;
} KDEVICE_QUEUE;

typedef struct _KDPC {
    CSHORT Type;
    UCHAR Number;
    UCHAR Importance;
    LIST_ENTRY DpcListEntry;
    PVOID DeferredRoutine;
    PVOID DeferredContext;
    PVOID SystemArgument1;
    PVOID SystemArgument2;
    PULONG_PTR Lock;
} KDPC;

typedef struct _WAIT_CONTEXT_BLOCK {
    PVOID WaitQueueEntry[4];
    PVOID DeviceRoutine;
    PVOID DeviceContext;
    ULONG NumberOfMapRegisters;
    PVOID DeviceObject;
    PVOID CurrentIrp;
    PVOID BufferChainingDpc;
} WAIT_CONTEXT_BLOCK;

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
struct _IRP;

typedef NTSTATUS(NTAPI DRIVER_DISPATCH)(struct _DEVICE_OBJECT* DeviceObject, struct _IRP* Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS(NTAPI DRIVER_ADD_DEVICE)(struct _DRIVER_OBJECT* DriverObject,
                                          struct _DEVICE_OBJECT* PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef NTSTATUS(NTAPI DRIVER_INITIALIZE)(struct _DRIVER_OBJECT* DriverObject,
                                          PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef VOID(NTAPI DRIVER_UNLOAD)(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS(NTAPI IO_COMPLETION_ROUTINE)(struct _DEVICE_OBJECT* DeviceObject,
                                              struct _IRP* Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;

typedef struct _DEVOBJ_EXTENSION {
    CSHORT Type;
    USHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG PowerFlags;
    PVOID Dope;
    ULONG ExtensionFlags;
    PVOID DeviceNode;
    struct _DEVICE_OBJECT* AttachedTo;
} DEVOBJ_EXTENSION, *PDEVOBJ_EXTENSION;

// The PnP manager's record of a device, reached through DEVOBJ_EXTENSION::DeviceNode. Only the
// leading fields are laid out as the platform has them; the rest is the stand-in's own.
typedef struct _DEVICE_NODE {
    struct _DEVICE_NODE* Sibling;
    struct _DEVICE_NODE* Child;
    struct _DEVICE_NODE* Parent;
    struct _DEVICE_NODE* LastChild;
    ULONG Level;
    PVOID Notify;
    ULONG Flags;
} DEVICE_NODE, *PDEVICE_NODE;

// Device node flags the stand-in's PnP manager keeps.
constexpr ULONG DNF_PROCESSED = 0x00000001;
constexpr ULONG DNF_STARTED = 0x00000002;
constexpr ULONG DNF_ENUMERATED = 0x00000008;
constexpr ULONG DNF_ADDED = 0x00000010;
constexpr ULONG DNF_HAS_BOOT_CONFIG = 0x00000020;
constexpr ULONG DNF_RESOURCE_ASSIGNED = 0x00000100;
constexpr ULONG DNF_REMOVE_PENDING_CLOSES = 0x00004000;
constexpr ULONG DNF_INSUFFICIENT_RESOURCES = 0x00020000;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVOID Vpb;
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
    union {
        LIST_ENTRY ListEntry;
        WAIT_CONTEXT_BLOCK Wcb;
    } Queue;
    ULONG AlignmentRequirement;
    KDEVICE_QUEUE DeviceQueue;
    KDPC Dpc;
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    KEVENT DeviceLock;
    USHORT SectorSize;
    USHORT Spare1;
    PDEVOBJ_EXTENSION DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

typedef struct _DRIVER_EXTENSION {
    struct _DRIVER_OBJECT* DriverObject;
    PDRIVER_ADD_DEVICE AddDevice;
    ULONG Count;
    UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PDRIVER_EXTENSION DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT, *PDRIVER_OBJECT;

// ---------------------------------------------------------------------------------------------
// Plug and Play records
// ---------------------------------------------------------------------------------------------
typedef struct _DEVICE_RELATIONS {
    ULONG Count;
    PDEVICE_OBJECT Objects[1];
} DEVICE_RELATIONS, *PDEVICE_RELATIONS;

typedef VOID(NTAPI* PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID(NTAPI* PINTERFACE_DEREFERENCE)(PVOID Context);
typedef BOOLEAN(NTAPI* PTRANSLATE_BUS_ADDRESS)(PVOID Context, PHYSICAL_ADDRESS BusAddress,
                                               ULONG Length, PULONG AddressSpace,
                                               PHYSICAL_ADDRESS* TranslatedAddress);
typedef PVOID(NTAPI* PGET_DMA_ADAPTER)(PVOID Context, PVOID DeviceDescriptor,
                                       PULONG NumberOfMapRegisters);
typedef ULONG(NTAPI* PGET_SET_DEVICE_DATA)(PVOID Context, ULONG DataType, PVOID Buffer,
                                           ULONG Offset, ULONG Length);

typedef struct _INTERFACE {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
} INTERFACE, *PINTERFACE;

typedef struct _BUS_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PTRANSLATE_BUS_ADDRESS TranslateBusAddress;
    PGET_DMA_ADAPTER GetDmaAdapter;
    PGET_SET_DEVICE_DATA SetBusData;
    PGET_SET_DEVICE_DATA GetBusData;
} BUS_INTERFACE_STANDARD, *PBUS_INTERFACE_STANDARD;

// The bus number travels in a full stack word, as the cross toolchain's headers declare it; only
// its low 8 bits count.
typedef ULONG(NTAPI* PCI_READ_WRITE_CONFIG)(PVOID Context, ULONG BusOffset, ULONG Slot,
                                            PVOID Buffer, ULONG Offset, ULONG Length);
typedef VOID(NTAPI* PPCI_PIN_TO_LINE)(PVOID Context, PVOID PciData);
typedef VOID(NTAPI* PPCI_LINE_TO_PIN)(PVOID Context, PVOID PciNewData, PVOID PciOldData);

typedef struct _PCI_BUS_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PCI_READ_WRITE_CONFIG ReadConfig;
    PCI_READ_WRITE_CONFIG WriteConfig;
    PPCI_PIN_TO_LINE PinToLine;
    PPCI_LINE_TO_PIN LineToPin;
} PCI_BUS_INTERFACE_STANDARD, *PPCI_BUS_INTERFACE_STANDARD;

// Device number in bits 0 to 4, function number in bits 5 to 7.
typedef struct _PCI_SLOT_NUMBER {
    union {
        struct {
            ULONG DeviceNumber : 5;
            ULONG FunctionNumber : 3;
            ULONG Reserved : 24;
        } bits;
        ULONG AsULONG;
    } u;
} PCI_SLOT_NUMBER, *PPCI_SLOT_NUMBER;

// ---------------------------------------------------------------------------------------------
// Resource lists
// ---------------------------------------------------------------------------------------------
constexpr UCHAR CmResourceTypeNull = 0;
constexpr UCHAR CmResourceTypePort = 1;
constexpr UCHAR CmResourceTypeInterrupt = 2;
constexpr UCHAR CmResourceTypeMemory = 3;
constexpr UCHAR CmResourceTypeBusNumber = 6;
constexpr UCHAR CmResourceShareDeviceExclusive = 1;
constexpr USHORT CM_RESOURCE_PORT_MEMORY = 0x0000;
constexpr USHORT CM_RESOURCE_PORT_IO = 0x0001;
constexpr USHORT CM_RESOURCE_PORT_10_BIT_DECODE = 0x0004;
constexpr USHORT CM_RESOURCE_PORT_POSITIVE_DECODE = 0x0020;
constexpr USHORT CM_RESOURCE_PORT_WINDOW_DECODE = 0x0080;
constexpr USHORT CM_RESOURCE_MEMORY_READ_WRITE = 0x0000;
constexpr USHORT CM_RESOURCE_MEMORY_READ_ONLY = 0x0001;
constexpr USHORT CM_RESOURCE_MEMORY_WRITE_ONLY = 0x0002;
constexpr USHORT CM_RESOURCE_MEMORY_PREFETCHABLE = 0x0004;
constexpr UCHAR IO_RESOURCE_PREFERRED = 0x01;
constexpr UCHAR IO_RESOURCE_DEFAULT = 0x02;
constexpr UCHAR IO_RESOURCE_ALTERNATIVE = 0x08;

typedef struct _IO_RESOURCE_DESCRIPTOR {
    UCHAR Option;
    UCHAR Type;
    UCHAR ShareDisposition;
    UCHAR Spare1;
    USHORT Flags;
    USHORT Spare2;
    union {
        struct {
            ULONG Length;
            ULONG Alignment;
            PHYSICAL_ADDRESS MinimumAddress;
            PHYSICAL_ADDRESS MaximumAddress;
        } Port;
        struct {
            ULONG Length;
            ULONG Alignment;
            PHYSICAL_ADDRESS MinimumAddress;
            PHYSICAL_ADDRESS MaximumAddress;
        } Memory;
        struct {
            ULONG MinimumVector;
            ULONG MaximumVector;
        } Interrupt;
        struct {
            ULONG Length;
            ULONG MinBusNumber;
            ULONG MaxBusNumber;
            ULONG Reserved;
        } BusNumber;
    } u;
} IO_RESOURCE_DESCRIPTOR, *PIO_RESOURCE_DESCRIPTOR;

typedef struct _IO_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    IO_RESOURCE_DESCRIPTOR Descriptors[1];
} IO_RESOURCE_LIST, *PIO_RESOURCE_LIST;

typedef struct _IO_RESOURCE_REQUIREMENTS_LIST {
    ULONG ListSize;
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    ULONG SlotNumber;
    ULONG Reserved[3];
    ULONG AlternativeLists;
    IO_RESOURCE_LIST List[1];
} IO_RESOURCE_REQUIREMENTS_LIST, *PIO_RESOURCE_REQUIREMENTS_LIST;

static_assert(sizeof(IO_RESOURCE_DESCRIPTOR) == 32, "resource descriptor layout");
static_assert(offsetof(IO_RESOURCE_LIST, Descriptors) == 8, "resource list layout");
static_assert(offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) == 32, "requirements layout");

#pragma pack(push, 4)
typedef struct _CM_PARTIAL_RESOURCE_DESCRIPTOR {
    UCHAR Type;
    UCHAR ShareDisposition;
    USHORT Flags;
    union {
        struct {
            ULONG Start[2];  // PHYSICAL_ADDRESS, 4-byte packed in resource lists
            ULONG Length;
        } Generic;
        struct {
            ULONG Start[2];
            ULONG Length;
        } Port;
        struct {
            ULONG Start[2];
            ULONG Length;
        } Memory;
        struct {
            ULONG Start;
            ULONG Length;
            ULONG Reserved;
        } BusNumber;
    } u;
} CM_PARTIAL_RESOURCE_DESCRIPTOR, *PCM_PARTIAL_RESOURCE_DESCRIPTOR;

typedef struct _CM_PARTIAL_RESOURCE_LIST {
    USHORT Version;
    USHORT Revision;
    ULONG Count;
    CM_PARTIAL_RESOURCE_DESCRIPTOR PartialDescriptors[1];
} CM_PARTIAL_RESOURCE_LIST, *PCM_PARTIAL_RESOURCE_LIST;

typedef struct _CM_FULL_RESOURCE_DESCRIPTOR {
    INTERFACE_TYPE InterfaceType;
    ULONG BusNumber;
    CM_PARTIAL_RESOURCE_LIST PartialResourceList;
} CM_FULL_RESOURCE_DESCRIPTOR, *PCM_FULL_RESOURCE_DESCRIPTOR;

typedef struct _CM_RESOURCE_LIST {
    ULONG Count;
    CM_FULL_RESOURCE_DESCRIPTOR List[1];
} CM_RESOURCE_LIST, *PCM_RESOURCE_LIST;
#pragma pack(pop)

static_assert(sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR) == 16, "partial descriptor layout");

constexpr GUID GUID_BUS_INTERFACE_STANDARD = {
    0x496B8280, 0x6F25, 0x11D0, {0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
constexpr GUID GUID_PCI_BUS_INTERFACE_STANDARD = {
    0x496B8281, 0x6F25, 0x11D0, {0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};

inline bool IsEqualGUID(const GUID& a, const GUID& b)
{
    return __builtin_memcmp(&a, &b, sizeof(GUID)) == 0;
}

// ---------------------------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------------------------
// i386 packs stack locations to 4 bytes, so Parameters starts at offset 4 there.
#if defined(__i386__)
#pragma pack(push, 4)
#endif
typedef struct _IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        struct {
            ULONG OutputBufferLength;
            ULONG InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            DEVICE_RELATION_TYPE Type;
        } QueryDeviceRelations;
        struct {
            const GUID* InterfaceType;
            USHORT Size;
            USHORT Version;
            PINTERFACE Interface;
            PVOID InterfaceSpecificData;
        } QueryInterface;
        struct {
            PIO_RESOURCE_REQUIREMENTS_LIST IoResourceRequirementList;
        } FilterResourceRequirements;
        struct {
            PCM_RESOURCE_LIST AllocatedResources;
            PCM_RESOURCE_LIST AllocatedResourcesTranslated;
        } StartDevice;
        struct {
            ULONG SystemContext;
            POWER_STATE_TYPE Type;
            POWER_STATE State;
            POWER_ACTION ShutdownType;
        } Power;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PVOID FileObject;
    PIO_COMPLETION_ROUTINE CompletionRoutine;
    PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;
#if defined(__i386__)
#pragma pack(pop)
#endif

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PVOID MdlAddress;
    ULONG Flags;
    union {
        struct _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CCHAR ApcEnvironment;
    UCHAR AllocationFlags;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PVOID CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            PVOID DriverContext[4];
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            struct _IO_STACK_LOCATION* CurrentStackLocation;
            PVOID OriginalFileObject;
        } Overlay;
        UCHAR Apc[12 * sizeof(PVOID)];
        PVOID CompletionKey;
    } Tail;
} IRP, *PIRP;

// ---------------------------------------------------------------------------------------------
// Error log
// ---------------------------------------------------------------------------------------------
typedef struct _IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
} IO_ERROR_LOG_PACKET, *PIO_ERROR_LOG_PACKET;

constexpr ULONG ERROR_LOG_MAXIMUM_SIZE = 152;

#if defined(__i386__)
static_assert(sizeof(BUS_INTERFACE_STANDARD) == 32, "i386 bus interface layout");
static_assert(sizeof(IO_ERROR_LOG_PACKET) == 48, "i386 error log packet layout");
static_assert(offsetof(IO_ERROR_LOG_PACKET, DumpData) == 0x28, "i386 error log packet layout");
static_assert(offsetof(DEVICE_OBJECT, DeviceObjectExtension) == 0xB0, "i386 device layout");
static_assert(sizeof(DEVICE_OBJECT) == 0xB8, "i386 device layout");
static_assert(sizeof(IO_STACK_LOCATION) == 0x24, "i386 stack location layout");
static_assert(sizeof(IRP) == 0x70, "i386 request layout");
static_assert(offsetof(DEVOBJ_EXTENSION, DeviceNode) == 0x14, "i386 device extension layout");
static_assert(offsetof(DEVICE_NODE, Flags) == 0x18, "i386 device node layout");
static_assert(offsetof(DRIVER_OBJECT, MajorFunction) == 0x38, "i386 driver layout");
static_assert(sizeof(FAST_MUTEX) == 32, "i386 fast mutex layout");
static_assert(offsetof(FAST_MUTEX, OldIrql) == 0x1C, "i386 fast mutex layout");
static_assert(sizeof(IO_REMOVE_LOCK) == 24, "i386 free-build remove lock layout");
#endif

// ---------------------------------------------------------------------------------------------
// Kernel routines of the stand-in
// ---------------------------------------------------------------------------------------------
NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject);
PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice);
VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject);

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost);
PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID NTAPI IoFreeIrp(PIRP Irp);
PIRP NTAPI IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock);

VOID NTAPI KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG NTAPI KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait);
NTSTATUS NTAPI KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason,
                                     KPROCESSOR_MODE WaitMode, BOOLEAN Alertable,
                                     PLARGE_INTEGER Timeout);
KIRQL NTAPI KeGetCurrentIrql(VOID);

VOID NTAPI PoStartNextPowerIrp(PIRP Irp);
NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);

PVOID NTAPI ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
VOID NTAPI ExFreePool(PVOID P);

PVOID NTAPI IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize);
VOID NTAPI IoWriteErrorLogEntry(PVOID ElEntry);

// The processor's IRQL, raised and lowered by the HAL (KeRaiseIrql and KeLowerIrql below are
// the DDK's names for the Kf pair).
KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql);
VOID FASTCALL KfLowerIrql(KIRQL NewIrql);
KIRQL NTAPI KeRaiseIrqlToDpcLevel(VOID);

// Spin locks: the HAL's Kf routines raise to and return from DISPATCH_LEVEL (KeAcquireSpinLock
// and KeReleaseSpinLock below are the DDK's names for them); the AtDpcLevel pair is for callers
// already at DISPATCH_LEVEL.
VOID NTAPI KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
KIRQL FASTCALL KfAcquireSpinLock(PKSPIN_LOCK SpinLock);
VOID FASTCALL KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID NTAPI KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID NTAPI KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// Fast mutexes: the HAL's pair raises to APC_LEVEL; the unsafe pair leaves the IRQL alone and is
// for callers at APC_LEVEL or inside a critical region.
VOID FASTCALL ExAcquireFastMutex(PFAST_MUTEX FastMutex);
VOID FASTCALL ExReleaseFastMutex(PFAST_MUTEX FastMutex);
VOID FASTCALL ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex);
VOID FASTCALL ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex);
VOID NTAPI KeEnterCriticalRegion(VOID);
VOID NTAPI KeLeaveCriticalRegion(VOID);

// The interlocked routines, exported by the kernel on i386.
LONG FASTCALL InterlockedIncrement(LONG volatile* Addend);
LONG FASTCALL InterlockedDecrement(LONG volatile* Addend);
LONG FASTCALL InterlockedExchange(LONG volatile* Target, LONG Value);
LONG FASTCALL InterlockedExchangeAdd(LONG volatile* Addend, LONG Value);
LONG FASTCALL InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                         LONG Comparand);

// Remove locks, under the names Windows 2000 exports (IoAcquireRemoveLock and the others below
// are the DDK's macros over them): each acquisition of a device's lock is counted, and removal
// marks the lock removed and waits until every acquisition has been released; after that an
// acquisition fails with STATUS_DELETE_PENDING. `RemlockSize` says which build's layout the
// caller has.
VOID NTAPI IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                    ULONG HighWatermark, ULONG RemlockSize);
NTSTATUS NTAPI IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                     ULONG RemlockSize);
VOID NTAPI IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize);
VOID NTAPI IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize);

ULONG DbgPrint(PCSTR Format, ...);
VOID NTAPI DbgBreakPoint(VOID);
// A checked build's failed assertion: the stand-in, like a checked kernel with no debugger
// attached, reports it and stops the machine.
VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message);

// Stand-in hooks behind the inline helpers below: the verifier sees every touch of a request and
// every entry into pageable code.
VOID NTAPI NtStandInTouchIrp(PIRP Irp);
VOID NTAPI NtStandInPagedCode(PCSTR Routine);

}  // extern "C"

// The kernel's own wide-character swprintf (16-bit characters), distinct from the C library's.
int swprintf(WCHAR* Buffer, const WCHAR* Format, ...);

// ---------------------------------------------------------------------------------------------
// Inline helpers, as the DDK defines them
// ---------------------------------------------------------------------------------------------
#define PAGED_CODE() NtStandInPagedCode(__func__)

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP Irp)
{
    NtStandInTouchIrp(Irp);
    return Irp->Tail.Overlay.CurrentStackLocation;
}

inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP Irp)
{
    NtStandInTouchIrp(Irp);
    return Irp->Tail.Overlay.CurrentStackLocation - 1;
}

inline VOID IoSkipCurrentIrpStackLocation(PIRP Irp)
{
    NtStandInTouchIrp(Irp);
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
}

inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP Irp)
{
    PIO_STACK_LOCATION Current = IoGetCurrentIrpStackLocation(Irp);
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    __builtin_memcpy(Next, Current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
    Next->Control = 0;
}

inline VOID IoSetCompletionRoutine(PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                   PVOID Context, BOOLEAN InvokeOnSuccess,
                                   BOOLEAN InvokeOnError, BOOLEAN InvokeOnCancel)
{
    PIO_STACK_LOCATION Next = IoGetNextIrpStackLocation(Irp);
    Next->CompletionRoutine = CompletionRoutine;
    Next->Context = Context;
    Next->Control = 0;
    if (InvokeOnSuccess) Next->Control |= SL_INVOKE_ON_SUCCESS;
    if (InvokeOnError) Next->Control |= SL_INVOKE_ON_ERROR;
    if (InvokeOnCancel) Next->Control |= SL_INVOKE_ON_CANCEL;
}

inline VOID IoMarkIrpPending(PIRP Irp)
{
    IoGetCurrentIrpStackLocation(Irp)->Control |= SL_PENDING_RETURNED;
}

inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IofCallDriver(DeviceObject, Irp);
}

inline VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    IofCompleteRequest(Irp, PriorityBoost);
}

constexpr CCHAR IO_NO_INCREMENT = 0;

inline VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) { *OldIrql = KfRaiseIrql(NewIrql); }

inline VOID KeLowerIrql(KIRQL NewIrql) { KfLowerIrql(NewIrql); }

inline VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql)
{
    *OldIrql = KfAcquireSpinLock(SpinLock);
}

inline VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    KfReleaseSpinLock(SpinLock, NewIrql);
}

inline VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex)
{
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
}

#define IoInitializeRemoveLock(Lock, Tag, Maxmin, HighWater) \
    IoInitializeRemoveLockEx((Lock), (Tag), (Maxmin), (HighWater), sizeof(IO_REMOVE_LOCK))
#define IoAcquireRemoveLock(RemoveLock, Tag) \
    IoAcquireRemoveLockEx((RemoveLock), (Tag), __FILE__, __LINE__, sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLock(RemoveLock, Tag) \
    IoReleaseRemoveLockEx((RemoveLock), (Tag), sizeof(IO_REMOVE_LOCK))
#define IoReleaseRemoveLockAndWait(RemoveLock, Tag) \
    IoReleaseRemoveLockAndWaitEx((RemoveLock), (Tag), sizeof(IO_REMOVE_LOCK))

inline VOID RtlZeroMemory(PVOID Destination, SIZE_T Length)
{
    __builtin_memset(Destination, 0, Length);
}

inline VOID RtlCopyMemory(PVOID Destination, const VOID* Source, SIZE_T Length)
{
    __builtin_memcpy(Destination, Source, Length);
}

#define FIELD_OFFSET(type, field) offsetof(type, field)
