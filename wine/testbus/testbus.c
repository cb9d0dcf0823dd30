/*
 * The test bus driver: stands for the PCI bus driver beneath hotpflt.sys when the image runs
 * under Wine's kernel. It serves the machine of machine_table.c: reports its PCI functions as
 * child devices, hands out their bus interface and the root bus's configuration accessors, keeps
 * the private records the bridge window sizing reads, and answers every configuration cycle from
 * each function's 256 bytes through its write masks, routed by the bridges' bus numbers. Every
 * cycle is logged, and the log is what `make wine-check` holds against hotpsim.
 *
 * Wine's PnP manager sends the bus relations, identifier, capability, start and removal requests;
 * what it never sends (resource queries, requirement filtering, the bus interface query, power
 * requests) this driver sends to the top of each stack, in the PnP and power managers' order.
 * Wine loads no filter drivers, so this driver loads hotpflt itself and calls its add-device
 * routine for the root bus, as the PnP manager does for an upper filter.
 *
 * Built against Wine's own DDK headers: the structures shared with the image (device objects,
 * requests, stack locations, relations, requirement lists) come from a second source. Wine's
 * headers do not carry the PCI bus interfaces; those are declared below from their public layout.
 */
#include <stdarg.h>
#include <ntstatus.h>
#define WIN32_NO_STATUS
#include <windef.h>
#include <winbase.h>
#include <winternl.h>
#include <winioctl.h>
#include <ddk/wdm.h>

#include "machine_table.h"

/* --- what Wine's headers lack: the bus interfaces of a PCI bus driver ------------------------ */

typedef ULONG (WINAPI *TB_GET_SET_BUS_DATA)(PVOID, ULONG, PVOID, ULONG, ULONG);
typedef VOID (WINAPI *TB_INTERFACE_REFERENCE)(PVOID);
typedef ULONG (WINAPI *TB_READ_WRITE_CONFIG)(PVOID, ULONG, ULONG, PVOID, ULONG, ULONG);

typedef struct {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    TB_INTERFACE_REFERENCE InterfaceReference;
    TB_INTERFACE_REFERENCE InterfaceDereference;
    PVOID TranslateBusAddress;
    PVOID GetDmaAdapter;
    TB_GET_SET_BUS_DATA SetBusData;
    TB_GET_SET_BUS_DATA GetBusData;
} TB_BUS_INTERFACE_STANDARD;

typedef struct {
    USHORT Size;
    USHORT Version;
    PVOID Context;
    TB_INTERFACE_REFERENCE InterfaceReference;
    TB_INTERFACE_REFERENCE InterfaceDereference;
    TB_READ_WRITE_CONFIG ReadConfig;
    TB_READ_WRITE_CONFIG WriteConfig;
    PVOID PinToLine;
    PVOID LineToPin;
} TB_PCI_BUS_INTERFACE_STANDARD;

C_ASSERT(sizeof(TB_BUS_INTERFACE_STANDARD) == 32);
C_ASSERT(FIELD_OFFSET(DEVICE_OBJECT, DeviceObjectExtension) == 0xB0);

static const GUID TbGuidBusInterfaceStandard = {
    0x496B8280, 0x6F25, 0x11D0, {0xBE, 0xAF, 0x08, 0x00, 0x2B, 0xE2, 0x09, 0x2F}};
#define TB_WHICHSPACE_CONFIG 0

/* Nor the resource descriptor values, nor ObReferenceObject: both as the platform defines them. */
#define TB_RESOURCE_PORT 1
#define TB_RESOURCE_MEMORY 3
#define TB_MEMORY_READ_WRITE 0x0000
#define TB_SHARE_DEVICE_EXCLUSIVE 1
#define TB_MEMORY_PREFETCHABLE 0x0004
#define TB_PORT_IO 0x0001
#define TB_PORT_WINDOW_DECODE 0x0080
#define TbReferenceObject(Object) ObfReferenceObject(Object)

/* --- the bus driver's records, at the byte offsets the bridge sizing reads ------------------- */

#define TB_EXTENSION_SIZE 0xC0
#define TB_ROLE 0x00          /* this driver's own: which kind of object */
#define TB_TYPE_WORD 0x04
#define TB_INDEX 0x08         /* this driver's own: the function (PDO) or bridge (FDO), -1 root */
#define TB_LOWER 0x0C         /* this driver's own: the device an FDO is attached to */
#define TB_PDO_SLOT 0x50
#define TB_PDO_PARENT 0x58
#define TB_FDO_PDO 0x50
#define TB_FDO_ROOT 0x80
#define TB_FDO_INTERFACE 0x8C
#define TB_FDO_BUS_NUMBER 0x98
#define TB_PDO_TYPE_WORD 0x69635030 /* "0Pci" */
#define TB_FDO_TYPE_WORD 0x69635031 /* "1Pci" */

enum { TB_ROLE_ROOT_PDO = 1, TB_ROLE_PDO, TB_ROLE_FDO };

/* The driver's print level while the flows play: every trace point prints. */
#define TB_TRACE_LEVEL 4

/* The device node flags of a physical device object the PnP manager has enumerated. */
#define TB_DNF_PROCESSED 0x1
#define TB_DNF_ENUMERATED 0x8
#define TB_DNF_STARTED 0x2
#define TB_DNF_ADDED 0x10
#define TB_DNF_RESOURCE_ASSIGNED 0x100

static void TbPut(PDEVICE_OBJECT Device, ULONG Offset, const void *Value, ULONG Bytes)
{
    RtlCopyMemory((UCHAR *)Device->DeviceExtension + Offset, Value, Bytes);
}
static ULONG TbGetUlong(PDEVICE_OBJECT Device, ULONG Offset)
{
    ULONG Value;
    RtlCopyMemory(&Value, (UCHAR *)Device->DeviceExtension + Offset, sizeof(Value));
    return Value;
}
static PVOID TbGetPointer(PDEVICE_OBJECT Device, ULONG Offset)
{
    PVOID Value;
    RtlCopyMemory(&Value, (UCHAR *)Device->DeviceExtension + Offset, sizeof(Value));
    return Value;
}

/* --- the hardware --------------------------------------------------------------------------- */

#define TB_MAX_FUNCTIONS 64

typedef struct {
    UCHAR Config[256];
    BOOLEAN Present;
    BOOLEAN Interrogated;
    BOOLEAN Pending;          /* reported and not yet started, or gone and not yet removed */
    BOOLEAN BootDecoding;     /* decoding when it was found: its ranges stay where they are */
    BOOLEAN HasReserve;
    UCHAR ReservedTo;         /* a numbered bridge: the last bus number set aside behind it */
    ULONG Power;              /* device power state, 0 to 3 */
    LONG InterfaceReferences;
    BOOLEAN Started;
    UCHAR Saved[64];          /* the header as it was at start, put back on return to D0 */
    LONG Handed, Released;    /* bus interface references handed out and released */
    PCM_RESOURCE_LIST Assigned;  /* a bridge: what its start carries */
    PDEVICE_OBJECT Pdo;
    PDEVICE_OBJECT Fdo;       /* a bridge: the bus device object of its secondary side */
    UCHAR Node[0x20];         /* the device node a PnP manager keeps, for the flags word */
    UCHAR NodeExtension[0x20];
} TB_FN;

static TB_FN Fns[TB_MAX_FUNCTIONS];
static KSPIN_LOCK TbLock;
static PDRIVER_OBJECT TbDriver;
static PDEVICE_OBJECT TbRootPdo, TbRootFdo;
static TB_PCI_BUS_INTERFACE_STANDARD TbRootInterface;
static volatile LONG TbPending;  /* invalidated buses not yet asked, devices not yet settled */
static LONG TbCount;       /* entries of TbFunctions in use */

enum { TB_WHO_BUS_DRIVER, TB_WHO_BUS_INTERFACE, TB_WHO_ROOT_ACCESSORS };
static const char *const TbWhoName[] = {"bus-driver", "hotpflt-bus-interface",
                                        "hotpflt-root-accessors"};

/* --- the log: one line per configuration cycle, kept in memory and appended to a file -------- */

static char TbLog[1 << 22];
static ULONG TbLogUsed, TbLogFlushed;
static ULONG TbLogLimit = sizeof(TbLog) - 128;  /* the rest is kept for the closing lines */
static BOOLEAN TbLogFull;

static void TbText(const char *Text)
{
    while (*Text != 0 && TbLogUsed < TbLogLimit) TbLog[TbLogUsed++] = *Text++;
    TbLogFull = TbLogFull || *Text != 0;
}
static void TbHex(ULONG Value, int Digits)
{
    static const char Hex[] = "0123456789abcdef";
    char Text[9];
    int Index;
    for (Index = 0; Index < Digits; ++Index) Text[Index] = Hex[(Value >> (4 * (Digits - 1 - Index))) & 0xF];
    Text[Digits] = 0;
    TbText(Text);
}
static void TbNote(const char *Text, ULONG Value)
{
    KIRQL Irql;
    KeAcquireSpinLock(&TbLock, &Irql);
    TbText("note ");
    TbText(Text);
    TbText(" ");
    TbHex(Value, 8);
    TbText("\n");
    KeReleaseSpinLock(&TbLock, Irql);
}

static void TbFlushLog(void)
{
    static const WCHAR Path[] = L"\\??\\C:\\hotptbus.log";
    UNICODE_STRING Name;
    OBJECT_ATTRIBUTES Attributes;
    IO_STATUS_BLOCK Io;
    HANDLE File;
    ULONG End = TbLogUsed;
    RtlInitUnicodeString(&Name, Path);
    InitializeObjectAttributes(&Attributes, &Name, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    if (ZwCreateFile(&File, FILE_APPEND_DATA | SYNCHRONIZE, &Attributes, &Io, NULL, FILE_ATTRIBUTE_NORMAL,
                     FILE_SHARE_READ, FILE_OPEN_IF, FILE_SYNCHRONOUS_IO_NONALERT, NULL, 0) != STATUS_SUCCESS) {
        return;
    }
    if (End > TbLogFlushed) {
        ZwWriteFile(File, NULL, NULL, NULL, &Io, TbLog + TbLogFlushed, End - TbLogFlushed, NULL, NULL);
        TbLogFlushed = End;
    }
    ZwClose(File);
}

/* --- configuration cycles ------------------------------------------------------------------- */

static ULONG TbByte(LONG Index, ULONG Offset) { return Fns[Index].Config[Offset]; }

static BOOLEAN TbIsBridgeHeader(LONG Index)
{
    ULONG Layout = TbByte(Index, 0x0E) & 0x7F;
    return Layout == 1 || Layout == 2;
}

/* The function present at device/function on the bus behind Bridge (-1: the root bus). */
static LONG TbAt(LONG Bridge, ULONG Device, ULONG Function)
{
    LONG Index;
    for (Index = 0; Index < TbCount; ++Index) {
        const TB_FUNCTION *Desc = &TbFunctions[Index];
        if (Fns[Index].Present && Desc->Parent == Bridge && Desc->Device == Device &&
            Desc->Function == Function) {
            return Index;
        }
    }
    return -1;
}

/* Where a cycle for bus number Target runs as a type 0 cycle: the bridge whose secondary bus it
 * is (-1: the root bus), or -2 when no bridge forwards it. Bridges forward by their secondary and
 * subordinate numbers whatever their decoding state; the first in device and function order
 * that claims a number takes it. */
static LONG TbRoute(ULONG Target)
{
    LONG Current = -1;
    ULONG Number = 0, Hops, Device, Function;
    for (Hops = 0; Hops < 256; ++Hops) {
        LONG Claimant = -2;
        if (Target == Number) return Current;
        for (Device = 0; Device < 32 && Claimant == -2; ++Device) {
            for (Function = 0; Function < 8 && Claimant == -2; ++Function) {
                LONG Index = TbAt(Current, Device, Function);
                if (Index >= 0 && TbIsBridgeHeader(Index) && TbByte(Index, 0x19) <= Target &&
                    Target <= TbByte(Index, 0x1A)) {
                    Claimant = Index;
                }
            }
        }
        if (Claimant == -2 || TbByte(Claimant, 0x19) <= Number) return -2;
        Number = TbByte(Claimant, 0x19);
        Current = Claimant;
    }
    return -2;
}

/* The function a cycle reaches; functions other than 0 answer only on a multi-function device. */
static LONG TbReach(ULONG Bus, ULONG Device, ULONG Function)
{
    LONG Route = TbRoute(Bus), Index, First;
    if (Route == -2) return -1;
    Index = TbAt(Route, Device, Function);
    if (Index >= 0 && Function != 0) {
        First = TbAt(Route, Device, 0);
        if (First < 0 || (TbByte(First, 0x0E) & 0x80) == 0) return -1;
    }
    return Index;
}

static ULONG TbRead(LONG Index, ULONG Offset, ULONG Length)
{
    ULONG Value = 0, Byte;
    for (Byte = 0; Byte < Length; ++Byte) Value |= (ULONG)Fns[Index].Config[Offset + Byte] << (8 * Byte);
    return Value;
}

/* A function and, behind a bridge, the whole hierarchy return to their power-on values. */
static void TbReset(LONG Index)
{
    LONG Other;
    RtlCopyMemory(Fns[Index].Config, TbFunctions[Index].PowerOn, 256);
    for (Other = 0; Other < TbCount; ++Other) {
        if (TbFunctions[Other].Parent == Index) TbReset(Other);
    }
}

/* A write through the masks: only writable bits change, ones clear write-one-to-clear bits, and a
 * transition from D3hot to D0 resets the function. */
static void TbWrite(LONG Index, ULONG Offset, ULONG Length, ULONG Value)
{
    const TB_FUNCTION *Desc = &TbFunctions[Index];
    UCHAR *Config = Fns[Index].Config;
    ULONG Before = Desc->Pm != 0 ? Config[Desc->Pm + 4] & 3 : 0, Byte;
    for (Byte = 0; Byte < Length; ++Byte) {
        ULONG At = Offset + Byte;
        UCHAR V = (UCHAR)(Value >> (8 * Byte));
        Config[At] = (UCHAR)((Config[At] & ~Desc->Writable[At]) | (V & Desc->Writable[At]));
        Config[At] = (UCHAR)(Config[At] & ~(V & Desc->Clearable[At]));
    }
    if (Desc->Pm != 0 && Before == 3 && (Config[Desc->Pm + 4] & 3) == 0) TbReset(Index);
}

/* One configuration cycle of up to four bytes within one dword, logged. */
static ULONG TbCycle(int Who, BOOLEAN IsWrite, ULONG Bus, ULONG Device, ULONG Function, ULONG Offset,
                     ULONG Length, ULONG Value)
{
    KIRQL Irql;
    LONG Index;
    ULONG Old = 0, New = 0;
    KeAcquireSpinLock(&TbLock, &Irql);
    Index = TbReach(Bus, Device, Function);
    if (IsWrite) {
        if (Index >= 0) {
            Old = TbRead(Index, Offset, Length);
            TbWrite(Index, Offset, Length, Value);
            New = TbRead(Index, Offset, Length);
        }
    } else {
        Value = Index >= 0 ? TbRead(Index, Offset, Length) : (Length == 4 ? 0xFFFFFFFF : (1u << (8 * Length)) - 1);
    }
    TbText(IsWrite ? "W " : "R ");
    TbText(TbWhoName[Who]);
    TbText(" ");
    TbHex(Bus, 2);
    TbText(":");
    TbHex(Device, 2);
    TbText(".");
    TbHex(Function, 1);
    TbText(" ");
    TbHex(Offset, 2);
    TbText(" ");
    TbHex(Length, 1);
    TbText(" ");
    TbHex(Value, 8);
    if (IsWrite) {
        TbText(" ");
        TbHex(Old, 8);
        TbText(" ");
        TbHex(New, 8);
    }
    TbText(Index >= 0 ? " claimed\n" : " unclaimed\n");
    KeReleaseSpinLock(&TbLock, Irql);
    return Value;
}

/* A transfer of any length, one cycle per dword touched with the byte enables of the bytes
 * asked; nothing past the 256 bytes of configuration space. Returns the bytes transferred. */
static ULONG TbTransfer(int Who, BOOLEAN IsWrite, ULONG Bus, ULONG Device, ULONG Function, UCHAR *Buffer,
                        ULONG Offset, ULONG Length)
{
    ULONG Done = 0;
    if (Offset >= 256) return 0;
    if (Length > 256 - Offset) Length = 256 - Offset;
    while (Done < Length) {
        ULONG At = Offset + Done, Chunk = 4 - At % 4, Value = 0;
        if (Chunk > Length - Done) Chunk = Length - Done;
        if (IsWrite) {
            RtlCopyMemory(&Value, Buffer + Done, Chunk);
            TbCycle(Who, TRUE, Bus, Device, Function, At, Chunk, Value);
        } else {
            Value = TbCycle(Who, FALSE, Bus, Device, Function, At, Chunk, 0);
            RtlCopyMemory(Buffer + Done, &Value, Chunk);
        }
        Done += Chunk;
    }
    return Done;
}

/* The bus number of the bus behind Bridge (-1: the root bus), as the bus driver knows it. */
static ULONG TbBusNumber(LONG Bridge)
{
    if (Bridge < 0) return 0;
    if (Fns[Bridge].Fdo != NULL) return TbGetUlong(Fns[Bridge].Fdo, TB_FDO_BUS_NUMBER) & 0xFF;
    return TbByte(Bridge, 0x19);
}

/* The bus driver's own access to a function it has found, by its bus's number. */
static ULONG TbBusRead(LONG Index, ULONG Offset, ULONG Length)
{
    const TB_FUNCTION *Desc = &TbFunctions[Index];
    return TbCycle(TB_WHO_BUS_DRIVER, FALSE, TbBusNumber(Desc->Parent), Desc->Device, Desc->Function,
                   Offset, Length, 0);
}
static void TbBusWrite(LONG Index, ULONG Offset, ULONG Length, ULONG Value)
{
    const TB_FUNCTION *Desc = &TbFunctions[Index];
    TbCycle(TB_WHO_BUS_DRIVER, TRUE, TbBusNumber(Desc->Parent), Desc->Device, Desc->Function, Offset,
            Length, Value);
}

/* --- the interfaces ---------------------------------------------------------------------------- */

static ULONG WINAPI TbGetBusData(PVOID Context, ULONG Space, PVOID Buffer, ULONG Offset, ULONG Length)
{
    LONG Index = (LONG)(ULONG_PTR)Context;
    const TB_FUNCTION *Desc = &TbFunctions[Index];
    if (Space != TB_WHICHSPACE_CONFIG || !Fns[Index].Present) return 0;
    if (Fns[Index].InterfaceReferences <= 0) TbNote("GetBusData without a reference on function", (ULONG)Index);
    return TbTransfer(TB_WHO_BUS_INTERFACE, FALSE, TbBusNumber(Desc->Parent), Desc->Device, Desc->Function,
                      Buffer, Offset, Length);
}
static ULONG WINAPI TbSetBusData(PVOID Context, ULONG Space, PVOID Buffer, ULONG Offset, ULONG Length)
{
    LONG Index = (LONG)(ULONG_PTR)Context;
    const TB_FUNCTION *Desc = &TbFunctions[Index];
    if (Space != TB_WHICHSPACE_CONFIG || !Fns[Index].Present) return 0;
    if (Fns[Index].InterfaceReferences <= 0) TbNote("SetBusData without a reference on function", (ULONG)Index);
    return TbTransfer(TB_WHO_BUS_INTERFACE, TRUE, TbBusNumber(Desc->Parent), Desc->Device, Desc->Function,
                      Buffer, Offset, Length);
}
static VOID WINAPI TbReference(PVOID Context)
{
    InterlockedIncrement(&Fns[(LONG)(ULONG_PTR)Context].Handed);
    InterlockedIncrement(&Fns[(LONG)(ULONG_PTR)Context].InterfaceReferences);
}
static VOID WINAPI TbDereference(PVOID Context)
{
    LONG Index = (LONG)(ULONG_PTR)Context;
    InterlockedIncrement(&Fns[Index].Released);
    if (InterlockedDecrement(&Fns[Index].InterfaceReferences) < 0) {
        TbNote("interface released too often on function", (ULONG)Index);
    }
}
static ULONG WINAPI TbRootReadConfig(PVOID Context, ULONG Bus, ULONG Slot, PVOID Buffer, ULONG Offset,
                                     ULONG Length)
{
    (void)Context;
    return TbTransfer(TB_WHO_ROOT_ACCESSORS, FALSE, Bus & 0xFF, Slot & 0x1F, (Slot >> 5) & 7, Buffer, Offset,
                      Length);
}
static ULONG WINAPI TbRootWriteConfig(PVOID Context, ULONG Bus, ULONG Slot, PVOID Buffer, ULONG Offset,
                                      ULONG Length)
{
    (void)Context;
    return TbTransfer(TB_WHO_ROOT_ACCESSORS, TRUE, Bus & 0xFF, Slot & 0x1F, (Slot >> 5) & 7, Buffer, Offset,
                      Length);
}

/* --- enumeration, and bus numbers for bridges firmware left unconfigured ---------------------- */

/* The functions on bus Number as configuration software probes them: function 0 of each device,
 * the others only on a multi-function device. Fills Found with (device << 3 | function). */
static ULONG TbProbeBus(ULONG Number, ULONG *Found)
{
    ULONG Count = 0, Device, Function;
    for (Device = 0; Device < 32; ++Device) {
        BOOLEAN Multi;
        if ((TbCycle(TB_WHO_BUS_DRIVER, FALSE, Number, Device, 0, 0x00, 2, 0) & 0xFFFF) == 0xFFFF) continue;
        Multi = (TbCycle(TB_WHO_BUS_DRIVER, FALSE, Number, Device, 0, 0x0E, 1, 0) & 0x80) != 0;
        for (Function = 0; Function < (Multi ? 8u : 1u); ++Function) {
            if (Function > 0 &&
                (TbCycle(TB_WHO_BUS_DRIVER, FALSE, Number, Device, Function, 0x00, 2, 0) & 0xFFFF) == 0xFFFF) {
                continue;
            }
            Found[Count++] = Device << 3 | Function;
        }
    }
    return Count;
}

static BOOLEAN TbIsUnnumberedBridge(ULONG Bus, ULONG Device, ULONG Function)
{
    return (TbCycle(TB_WHO_BUS_DRIVER, FALSE, Bus, Device, Function, 0x0E, 1, 0) & 0x7F) == 1 &&
           TbCycle(TB_WHO_BUS_DRIVER, FALSE, Bus, Device, Function, 0x19, 1, 0) == 0;
}

/* The highest bus number cycles reach on or below the bus behind Bridge. */
static ULONG TbHighest(LONG Bridge)
{
    return Bridge < 0 ? 255 : TbBusRead(Bridge, 0x1A, 1);
}

/* True when a bridge on the bus behind Bridge, other than Except, forwards or holds Number: its
 * bus numbers read from the hardware, and the numbers set aside behind a bridge numbered here. */
static BOOLEAN TbTaken(LONG Bridge, LONG Except, ULONG Number)
{
    ULONG Found[256], Count, Item, BusNumber = TbBusNumber(Bridge);
    Count = TbProbeBus(BusNumber, Found);
    for (Item = 0; Item < Count; ++Item) {
        ULONG Device = Found[Item] >> 3, Function = Found[Item] & 7, Numbers, Secondary, Last, Type;
        LONG Index = TbAt(Bridge, Device, Function);
        Type = TbCycle(TB_WHO_BUS_DRIVER, FALSE, BusNumber, Device, Function, 0x0E, 1, 0) & 0x7F;
        if (Type != 1 && Type != 2) continue;
        if (Index == Except) continue;
        Numbers = TbCycle(TB_WHO_BUS_DRIVER, FALSE, BusNumber, Device, Function, 0x18, 4, 0);
        Secondary = (Numbers >> 8) & 0xFF;
        Last = (Numbers >> 16) & 0xFF;
        if (Last < Secondary) Last = Secondary;
        if (Secondary == 0) continue;
        if (Index >= 0 && Fns[Index].HasReserve && Fns[Index].ReservedTo > Last) Last = Fns[Index].ReservedTo;
        if (Secondary <= Number && Number <= Last) return TRUE;
    }
    return FALSE;
}

/* Counts the bridges behind a new bridge by numbering them depth first from Next within Limit,
 * clearing each again once its subtree is counted; returns the first number left over. */
static ULONG TbNumberBridgesBehind(ULONG Bus, ULONG Next, ULONG Limit)
{
    ULONG Found[256], Count = TbProbeBus(Bus, Found), Item;
    for (Item = 0; Item < Count; ++Item) {
        ULONG Device = Found[Item] >> 3, Function = Found[Item] & 7, After;
        if (Next > Limit || !TbIsUnnumberedBridge(Bus, Device, Function)) continue;
        TbCycle(TB_WHO_BUS_DRIVER, TRUE, Bus, Device, Function, 0x18, 3, Bus | Next << 8 | Limit << 16);
        After = TbNumberBridgesBehind(Next, Next + 1, Limit);
        TbCycle(TB_WHO_BUS_DRIVER, TRUE, Bus, Device, Function, 0x18, 3, 0);
        Next = After;
    }
    return Next;
}

/* Raises the subordinate numbers of the bridges above the bus behind Bridge so that Number
 * reaches it, when no other bridge on the buses along the way forwards or holds that number;
 * nothing is written unless every raise is possible, and the raises go from the root down. */
static BOOLEAN TbRaiseToCover(LONG Bridge, ULONG Number)
{
    LONG Raise[32], Count = 0, Up;
    if (Number > 255) return FALSE;
    for (Up = Bridge; Up >= 0 && Count < 32; Up = TbFunctions[Up].Parent) {
        if (TbBusRead(Up, 0x1A, 1) >= Number) break;
        if (TbTaken(TbFunctions[Up].Parent, Up, Number)) return FALSE;
        Raise[Count++] = Up;
    }
    /* A started bridge's saved header keeps the raised number, or its return to D0 would cut the
     * new bus off again. */
    while (Count > 0) {
        TbBusWrite(Raise[--Count], 0x1A, 1, Number);
        Fns[Raise[Count]].Saved[0x1A] = (UCHAR)Number;
    }
    return TRUE;
}

/* A bridge that firmware left unconfigured gets the lowest bus number its bus has to spare; the
 * numbers after it are set aside for the bridges behind it, counted by numbering them for a
 * moment. Where the bus has none to spare, the bridges above are raised by one number. */
static void TbAssignBusNumbers(LONG Bus, LONG Bridge)
{
    ULONG Number = TbBusNumber(Bus), Highest = TbHighest(Bus), First = Number + 1, Last, Reserved;
    Fns[Bridge].HasReserve = FALSE;
    while (First <= Highest && TbTaken(Bus, Bridge, First)) ++First;
    if (First <= Highest) {
        BOOLEAN BridgesBehind = FALSE;
        ULONG Found[256], Count, Item;
        Last = First;
        while (Last < Highest && !TbTaken(Bus, Bridge, Last + 1)) ++Last;
        TbBusWrite(Bridge, 0x18, 3, Number | First << 8 | First << 16);
        Count = TbProbeBus(First, Found);
        for (Item = 0; Item < Count; ++Item) {
            BridgesBehind = BridgesBehind || TbIsUnnumberedBridge(First, Found[Item] >> 3, Found[Item] & 7);
        }
        Reserved = First;
        if (BridgesBehind && Last > First) {
            TbBusWrite(Bridge, 0x1A, 1, Last);
            Reserved = TbNumberBridgesBehind(First, First + 1, Last) - 1;
            TbBusWrite(Bridge, 0x1A, 1, First);
        }
        Fns[Bridge].HasReserve = TRUE;
        Fns[Bridge].ReservedTo = (UCHAR)Reserved;
        return;
    }
    if (Bus >= 0 && TbRaiseToCover(Bus, Highest + 1)) {
        TbBusWrite(Bridge, 0x18, 3, Number | (Highest + 1) << 8 | (Highest + 1) << 16);
        Fns[Bridge].HasReserve = TRUE;
        Fns[Bridge].ReservedTo = (UCHAR)(Highest + 1);
        return;
    }
    TbNote("no bus number left behind bridge", (ULONG)Bridge);
}

/* --- device objects ---------------------------------------------------------------------------- */

static PDEVICE_OBJECT TbCreate(ULONG Role, LONG Index, ULONG DeviceType)
{
    PDEVICE_OBJECT Device = NULL;
    if (IoCreateDevice(TbDriver, TB_EXTENSION_SIZE, NULL, DeviceType, 0, FALSE, &Device) != STATUS_SUCCESS) {
        return NULL;
    }
    RtlZeroMemory(Device->DeviceExtension, TB_EXTENSION_SIZE);
    TbPut(Device, TB_ROLE, &Role, sizeof(Role));
    TbPut(Device, TB_INDEX, &Index, sizeof(Index));
    return Device;
}

/* The physical device object of a function just found on the bus behind Bus. Wine keeps its own
 * device-object extension, or none: where there is none, the device node the PnP manager would
 * keep is supplied, with the flags of an enumerated device, so the driver's trace can read it. */
static PDEVICE_OBJECT TbCreatePdo(LONG Bus, LONG Index)
{
    ULONG Type = TB_PDO_TYPE_WORD, Slot = TbFunctions[Index].Device | TbFunctions[Index].Function << 5;
    PVOID Parent = (Bus < 0 ? TbRootFdo : Fns[Bus].Fdo)->DeviceExtension;
    PDEVICE_OBJECT Pdo = TbCreate(TB_ROLE_PDO, Index, FILE_DEVICE_UNKNOWN);
    if (Pdo == NULL) return NULL;
    TbPut(Pdo, TB_TYPE_WORD, &Type, sizeof(Type));
    TbPut(Pdo, TB_PDO_SLOT, &Slot, sizeof(Slot));
    TbPut(Pdo, TB_PDO_PARENT, &Parent, sizeof(Parent));
    if (Pdo->DeviceObjectExtension == NULL) {
        PVOID Node = Fns[Index].Node;
        ULONG Flags = TB_DNF_PROCESSED | TB_DNF_ENUMERATED;
        RtlZeroMemory(Fns[Index].Node, sizeof(Fns[Index].Node));
        RtlZeroMemory(Fns[Index].NodeExtension, sizeof(Fns[Index].NodeExtension));
        RtlCopyMemory(Fns[Index].NodeExtension + 0x14, &Node, sizeof(Node));
        RtlCopyMemory(Fns[Index].Node + 0x18, &Flags, sizeof(Flags));
        Pdo->DeviceObjectExtension = (void *)Fns[Index].NodeExtension;
        TbNote("device node supplied for function", (ULONG)Index);
    }
    Pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    Pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return Pdo;
}

/* The bus device object of a bridge's secondary side (Bridge -1: the root bus), on top of the
 * stack the bridge has at that moment, as the bus driver's add-device routine places it. */
static PDEVICE_OBJECT TbCreateFdo(LONG Bridge, PDEVICE_OBJECT Pdo)
{
    ULONG Type = TB_FDO_TYPE_WORD, Number = Bridge < 0 ? 0 : TbBusRead(Bridge, 0x19, 1);
    PVOID Root, Interface = Bridge < 0 ? &TbRootInterface : NULL;
    PDEVICE_OBJECT Lower, Fdo = TbCreate(TB_ROLE_FDO, Bridge, FILE_DEVICE_BUS_EXTENDER);
    if (Fdo == NULL) return NULL;
    Root = (Bridge < 0 ? Fdo : TbRootFdo)->DeviceExtension;
    TbPut(Fdo, TB_TYPE_WORD, &Type, sizeof(Type));
    TbPut(Fdo, TB_FDO_PDO, &Pdo, sizeof(Pdo));
    TbPut(Fdo, TB_FDO_ROOT, &Root, sizeof(Root));
    TbPut(Fdo, TB_FDO_INTERFACE, &Interface, sizeof(Interface));
    TbPut(Fdo, TB_FDO_BUS_NUMBER, &Number, 1);
    if (Bridge >= 0) Fns[Bridge].Fdo = Fdo;
    Lower = IoAttachDeviceToDeviceStack(Fdo, Pdo);
    TbPut(Fdo, TB_LOWER, &Lower, sizeof(Lower));
    Fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return Fdo;
}

/* Bus relations of the bus behind Bridge: every function present, the same object for the same
 * function at every query, new ones for new cards; each listed object carries a reference for the
 * PnP manager. A function that has gone is left out, and stays pending until it is removed. */
static PDEVICE_RELATIONS TbEnumerate(LONG Bridge)
{
    ULONG Found[256], Count, Item, Listed = 0, Number = TbBusNumber(Bridge);
    PDEVICE_RELATIONS Relations;
    LONG Index;
    Count = TbProbeBus(Number, Found);
    Relations = ExAllocatePool(PagedPool, FIELD_OFFSET(DEVICE_RELATIONS, Objects) +
                                              (Count + 1) * sizeof(PDEVICE_OBJECT));
    if (Relations == NULL) return NULL;
    for (Item = 0; Item < Count; ++Item) {
        Index = TbAt(Bridge, Found[Item] >> 3, Found[Item] & 7);
        if (Index < 0) continue;
        if (Fns[Index].Pdo == NULL) {
            Fns[Index].BootDecoding = (TbBusRead(Index, 0x04, 2) & 3) != 0;
            if (TbIsBridgeHeader(Index) && TbBusRead(Index, 0x19, 1) == 0) TbAssignBusNumbers(Bridge, Index);
            Fns[Index].Pdo = TbCreatePdo(Bridge, Index);
            if (Fns[Index].Pdo == NULL) continue;
            Fns[Index].Pending = TRUE;
            InterlockedIncrement(&TbPending);
        }
        TbReferenceObject(Fns[Index].Pdo);
        ((PDEVICE_OBJECT *)((UCHAR *)Relations + FIELD_OFFSET(DEVICE_RELATIONS, Objects)))[Listed++] =
            Fns[Index].Pdo;
    }
    for (Index = 0; Index < TbCount; ++Index) {
        if (TbFunctions[Index].Parent == Bridge && !Fns[Index].Present && Fns[Index].Pdo != NULL &&
            !Fns[Index].Pending) {
            Fns[Index].Pending = TRUE;
            InterlockedIncrement(&TbPending);
        }
    }
    Relations->Count = Listed;
    return Relations;
}

/* --- the stack pointer around every call into the image --------------------------------------- */

/* Wine calls the image's dispatch routines, and this driver's completions call its completion
 * routines; each goes through a guard here that calls the routine, as the kernel does, with its
 * arguments for it to remove (stdcall), and logs a routine that left the stack pointer elsewhere,
 * by its offset in the image (the check names it from the image's link map). The stack pointer is
 * put back, so the flows go on and every such routine is named. */
static UCHAR *TbImageStart;
static ULONG TbImageSize;
static PDRIVER_DISPATCH TbImageDispatch[IRP_MJ_MAXIMUM_FUNCTION + 1];

static BOOLEAN TbInImage(PVOID Address)
{
    return (UCHAR *)Address >= TbImageStart && (UCHAR *)Address < TbImageStart + TbImageSize;
}

/* Calls Routine with Count (2 or 3) arguments pushed right to left; Skew is how far the stack
 * pointer moved across the call (0 when the routine removed its arguments). */
static ULONG TbCallImage(PVOID Routine, ULONG Count, ULONG_PTR A, ULONG_PTR B, ULONG_PTR C, LONG *Skew)
{
    ULONG_PTR Args[3];
    ULONG Result;
    LONG Moved;
    Args[0] = A;
    Args[1] = B;
    Args[2] = C;
    __asm__ volatile("movl %%esp, %%esi\n\t"
                     "cmpl $3, %[count]\n\t"
                     "jne 1f\n\t"
                     "pushl 8(%[args])\n"
                     "1:\n\t"
                     "pushl 4(%[args])\n\t"
                     "pushl (%[args])\n\t"
                     "call *%[routine]\n\t"
                     "movl %%esp, %%edx\n\t"
                     "subl %%esi, %%edx\n\t"
                     "movl %%esi, %%esp"
                     : "=a"(Result), "=d"(Moved)
                     : [routine] "r"(Routine), [count] "r"(Count), [args] "r"(Args)
                     : "ecx", "esi", "memory", "cc");
    *Skew = Moved;
    return Result;
}

static void TbGuardNote(const char *What, PVOID Routine, LONG Skew)
{
    KIRQL Irql;
    KeAcquireSpinLock(&TbLock, &Irql);
    TbText("guard ");
    TbText(What);
    TbText(" ");
    TbHex((ULONG)((UCHAR *)Routine - TbImageStart), 8);
    TbText(" ");
    TbHex((ULONG)Skew, 8);
    TbText("\n");
    KeReleaseSpinLock(&TbLock, Irql);
}

static NTSTATUS WINAPI TbGuardedDispatch(PDEVICE_OBJECT Device, PIRP Irp)
{
    PVOID Routine = TbImageDispatch[IoGetCurrentIrpStackLocation(Irp)->MajorFunction];
    LONG Skew;
    NTSTATUS Status = (NTSTATUS)TbCallImage(Routine, 2, (ULONG_PTR)Device, (ULONG_PTR)Irp, 0, &Skew);
    if (Skew != 0) TbGuardNote("dispatch", Routine, Skew);
    return Status;
}

typedef struct {
    PVOID Routine;
    PVOID Context;
    LONG InUse;
} TB_GUARDED;
static TB_GUARDED TbGuarded[256];

static NTSTATUS WINAPI TbGuardedCompletion(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    TB_GUARDED *Guarded = Context;
    PVOID Routine = Guarded->Routine, Inner = Guarded->Context;
    LONG Skew;
    NTSTATUS Status;
    InterlockedExchange(&Guarded->InUse, 0);
    Status = (NTSTATUS)TbCallImage(Routine, 3, (ULONG_PTR)Device, (ULONG_PTR)Irp, (ULONG_PTR)Inner, &Skew);
    if (Skew != 0) TbGuardNote("completion", Routine, Skew);
    return Status;
}

/* Completes a request: each completion routine of the image in the stack locations above this
 * driver's is called through the guard. */
static void TbComplete(PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    CHAR Location;
    for (Location = Irp->CurrentLocation; Location <= Irp->StackCount; ++Location, ++Stack) {
        ULONG Slot;
        if (Stack->CompletionRoutine == NULL || !TbInImage((PVOID)Stack->CompletionRoutine)) continue;
        for (Slot = 0; Slot < sizeof(TbGuarded) / sizeof(TbGuarded[0]); ++Slot) {
            if (InterlockedCompareExchange(&TbGuarded[Slot].InUse, 1, 0) == 0) break;
        }
        if (Slot == sizeof(TbGuarded) / sizeof(TbGuarded[0])) {
            TbNote("cannot guard a completion routine: every guard in use", 0);
            continue;
        }
        TbGuarded[Slot].Routine = (PVOID)Stack->CompletionRoutine;
        TbGuarded[Slot].Context = Stack->Context;
        Stack->CompletionRoutine = TbGuardedCompletion;
        Stack->Context = &TbGuarded[Slot];
    }
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

/* --- faults a scenario arms in this driver's requests ------------------------------------------ */

static const TB_STEP *TbFault;  /* the armed fail step, or NULL */
static ULONG TbFaultUses;

/* True when a function sits in the slot a fail step names: a function of the device there, not
 * what lies behind a bridge there, as a fault aimed at a slot counts in hotpsim. */
static BOOLEAN TbInSlot(LONG Index, LONG Bridge, ULONG Device)
{
    return TbFunctions[Index].Parent == Bridge && TbFunctions[Index].Device == Device;
}

/* Whether a request of a function meets the armed fault Kind: the nth matching use fails, and
 * every one after it unless the fault strikes once. Lower-fail counts the requests the PCI bus
 * driver can fail (start, resource query, query-remove); lower-pend every request. */
static BOOLEAN TbStrikes(ULONG Kind, LONG Index, PIO_STACK_LOCATION Stack)
{
    const TB_STEP *F = TbFault;
    if (F == NULL || F->Fault != Kind || Index < 0 || !TbInSlot(Index, F->Target, F->Value)) return FALSE;
    if (Kind == TB_FAULT_LOWER_FAIL &&
        (Stack->MajorFunction != IRP_MJ_PNP ||
         (Stack->MinorFunction != IRP_MN_START_DEVICE && Stack->MinorFunction != IRP_MN_QUERY_RESOURCES &&
          Stack->MinorFunction != IRP_MN_QUERY_REMOVE_DEVICE))) {
        return FALSE;
    }
    if (++TbFaultUses < F->Nth) return FALSE;
    if (F->Once) TbFault = NULL;
    TbNote("fault struck on function", (ULONG)Index);
    return TRUE;
}

/* A request the bus driver pended: completed later from a worker thread, as a bus driver waiting
 * on hardware completes it; a removed function's device object goes after that. */
typedef struct {
    PIRP Irp;
    PDEVICE_OBJECT Delete;
    PIO_WORKITEM Item;
} TB_PENDED;

static VOID WINAPI TbCompletePended(PDEVICE_OBJECT Device, PVOID Context)
{
    TB_PENDED *Pended = Context;
    LARGE_INTEGER Delay;
    (void)Device;
    Delay.QuadPart = -10 * 10000;  /* 10 ms: the caller has seen STATUS_PENDING by then */
    KeDelayExecutionThread(KernelMode, FALSE, &Delay);
    TbComplete(Pended->Irp);
    if (Pended->Delete != NULL) IoDeleteDevice(Pended->Delete);
    IoFreeWorkItem(Pended->Item);
    ExFreePool(Pended);
}

/* Completes a request of a physical device object at once, or pends it when the armed fault says
 * so. Returns what the dispatch routine returns. Delete: a device object to delete once the
 * request is complete. */
static NTSTATUS TbFinish(LONG Index, PDEVICE_OBJECT Device, PIRP Irp, PDEVICE_OBJECT Delete)
{
    NTSTATUS Status = Irp->IoStatus.Status;
    TB_PENDED *Pended;
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    /* Wine's PnP manager never wakes from a start it sent that was pended: its completion finds
     * no event to set (Wine 8.0). A start is completed at once, in the thread that sent it. */
    BOOLEAN WineStart = Stack->MajorFunction == IRP_MJ_PNP && Stack->MinorFunction == IRP_MN_START_DEVICE;
    if (!WineStart && TbStrikes(TB_FAULT_LOWER_PEND, Index, Stack) &&
        (Pended = ExAllocatePool(NonPagedPool, sizeof(*Pended))) != NULL) {
        Pended->Irp = Irp;
        Pended->Delete = Delete;
        Pended->Item = IoAllocateWorkItem(Delete != NULL ? TbRootPdo : Device);
        if (Pended->Item != NULL) {
            IoMarkIrpPending(Irp);
            IoQueueWorkItem(Pended->Item, TbCompletePended, DelayedWorkQueue, Pended);
            return STATUS_PENDING;
        }
        ExFreePool(Pended);
    }
    TbComplete(Irp);
    if (Delete != NULL) IoDeleteDevice(Delete);
    return Status;
}

/* --- requests this driver sends as the PnP and power managers ---------------------------------- */

static NTSTATUS TbSendPnp(PDEVICE_OBJECT Pdo, UCHAR Minor, PVOID Argument, ULONG_PTR *Information)
{
    PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(Pdo);
    IO_STATUS_BLOCK Io;
    KEVENT Event;
    PIO_STACK_LOCATION Stack;
    NTSTATUS Status;
    PIRP Irp;
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    Irp = IoBuildSynchronousFsdRequest(IRP_MJ_PNP, Top, NULL, 0, NULL, &Event, &Io);
    if (Irp == NULL) {
        ObDereferenceObject(Top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MinorFunction = Minor;
    if (Minor == IRP_MN_FILTER_RESOURCE_REQUIREMENTS) {
        Stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = Argument;
        Irp->IoStatus.Information = (ULONG_PTR)Argument;
    }
    if (Minor == IRP_MN_START_DEVICE) {
        Stack->Parameters.StartDevice.AllocatedResources = Argument;
        Stack->Parameters.StartDevice.AllocatedResourcesTranslated = Argument;
    }
    Status = IoCallDriver(Top, Irp);
    if (Status == STATUS_PENDING) {
        KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
        Status = Io.Status;
    }
    ObDereferenceObject(Top);
    if (Information != NULL) *Information = NT_SUCCESS(Status) ? Io.Information : 0;
    return Status;
}

static NTSTATUS WINAPI TbPowerDone(PDEVICE_OBJECT Device, PIRP Irp, PVOID Context)
{
    (void)Device;
    (void)Irp;
    KeSetEvent(Context, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

/* A device set-power request to the top of the function's stack, as its power policy owner has
 * the power manager send it. Wine sends none. */
static NTSTATUS TbSendPower(PDEVICE_OBJECT Pdo, POWER_STATE_TYPE Type, ULONG State)
{
    PDEVICE_OBJECT Top = IoGetAttachedDeviceReference(Pdo);
    PIO_STACK_LOCATION Stack;
    NTSTATUS Status;
    KEVENT Event;
    PIRP Irp = IoAllocateIrp(Top->StackSize, FALSE);
    if (Irp == NULL) {
        ObDereferenceObject(Top);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    KeInitializeEvent(&Event, NotificationEvent, FALSE);
    Irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    Stack = IoGetNextIrpStackLocation(Irp);
    Stack->MajorFunction = IRP_MJ_POWER;
    Stack->MinorFunction = IRP_MN_SET_POWER;
    Stack->Parameters.Power.Type = Type;
    if (Type == DevicePowerState) Stack->Parameters.Power.State.DeviceState = (DEVICE_POWER_STATE)(PowerDeviceD0 + State);
    else Stack->Parameters.Power.State.SystemState = (SYSTEM_POWER_STATE)(PowerSystemWorking + State);
    IoSetCompletionRoutine(Irp, TbPowerDone, &Event, TRUE, TRUE, TRUE);
    /* The completion routine signals the event however the request went, pended or not. */
    PoCallDriver(Top, Irp);
    KeWaitForSingleObject(&Event, Executive, KernelMode, FALSE, NULL);
    Status = Irp->IoStatus.Status;
    IoFreeIrp(Irp);
    ObDereferenceObject(Top);
    return Status;
}

/* What the PnP manager asks a new device before it has drivers: its boot configuration (the
 * first resource query, which is when the driver classifies the device) and its requirements.
 * Every new device on a bus is asked before any of them gets drivers. */
static PIO_RESOURCE_REQUIREMENTS_LIST TbAsked[TB_MAX_FUNCTIONS];

static void TbInterrogate(LONG Bus)
{
    LONG Index;
    for (Index = 0; Index < TbCount; ++Index) {
        ULONG_PTR Information = 0;
        if (TbFunctions[Index].Parent != Bus || Fns[Index].Pdo == NULL || Fns[Index].Interrogated) continue;
        Fns[Index].Interrogated = TRUE;
        TbSendPnp(Fns[Index].Pdo, IRP_MN_QUERY_RESOURCES, NULL, &Information);
        if (Information != 0) ExFreePool((PVOID)Information);
        Information = 0;
        TbSendPnp(Fns[Index].Pdo, IRP_MN_QUERY_RESOURCE_REQUIREMENTS, NULL, &Information);
        TbAsked[Index] = (PIO_RESOURCE_REQUIREMENTS_LIST)Information;
    }
}

/* A requirements list as filtering left it, whole, as one line: every descriptor of every
 * alternative list with its list index, option, type, share disposition, flags, length,
 * alignment, minimum and maximum address. Nothing past ListSize is read. */
static void TbLogRequirements(LONG Index, PIO_RESOURCE_REQUIREMENTS_LIST List)
{
    ULONG Offset = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List), Alt, Item;
    KIRQL Irql;
    KeAcquireSpinLock(&TbLock, &Irql);
    TbText("requirements ");
    TbHex(TbBusNumber(TbFunctions[Index].Parent), 2);
    TbText(":");
    TbHex(TbFunctions[Index].Device, 2);
    TbText(".");
    TbHex(TbFunctions[Index].Function, 1);
    for (Alt = 0; Alt < List->AlternativeLists && Offset + FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors) <= List->ListSize;
         ++Alt) {
        const IO_RESOURCE_LIST *Alternative = (const IO_RESOURCE_LIST *)((UCHAR *)List + Offset);
        for (Item = 0; Item < Alternative->Count; ++Item) {
            ULONG At = Offset + FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors) + Item * sizeof(IO_RESOURCE_DESCRIPTOR);
            const IO_RESOURCE_DESCRIPTOR *D = (const IO_RESOURCE_DESCRIPTOR *)((UCHAR *)List + At);
            if (At + sizeof(IO_RESOURCE_DESCRIPTOR) > List->ListSize) break;
            TbText(" ");
            TbHex(Alt, 2);
            TbText(":");
            TbHex(D->Option, 2);
            TbText(":");
            TbHex(D->Type, 2);
            TbText(":");
            TbHex(D->ShareDisposition, 2);
            TbText(":");
            TbHex(D->Flags, 4);
            TbText(":");
            TbHex(D->u.Memory.Length, 8);
            TbText(":");
            TbHex(D->u.Memory.Alignment, 8);
            TbText(":");
            TbHex(D->u.Memory.MinimumAddress.HighPart, 8);
            TbHex(D->u.Memory.MinimumAddress.LowPart, 8);
            TbText(":");
            TbHex(D->u.Memory.MaximumAddress.HighPart, 8);
            TbHex(D->u.Memory.MaximumAddress.LowPart, 8);
        }
        Offset += FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors) + Alternative->Count * sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    TbText("\n");
    KeReleaseSpinLock(&TbLock, Irql);
}

/* What a bridge's start carries: each descriptor of its first alternative list at its lowest
 * address. Wine arbitrates nothing; no driver of a bridge's stack reads the addresses, only
 * whether resources came. NULL for no list: a start then carries an empty one. */
static PCM_RESOURCE_LIST TbStartResources(PIO_RESOURCE_REQUIREMENTS_LIST List)
{
    const IO_RESOURCE_LIST *Alternative = List != NULL ? (const IO_RESOURCE_LIST *)((UCHAR *)List +
                                          FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List)) : NULL;
    ULONG Count = Alternative != NULL ? Alternative->Count : 0, Item;
    ULONG Bytes = FIELD_OFFSET(CM_RESOURCE_LIST, List) + FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                  FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                  (Count > 0 ? Count : 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    PCM_RESOURCE_LIST Resources = ExAllocatePool(NonPagedPool, Bytes);
    CM_PARTIAL_RESOURCE_LIST *Partial;
    if (Resources == NULL) return NULL;
    RtlZeroMemory(Resources, Bytes);
    Resources->Count = 1;
    Resources->List[0].InterfaceType = PCIBus;
    Partial = (CM_PARTIAL_RESOURCE_LIST *)((UCHAR *)Resources + FIELD_OFFSET(CM_RESOURCE_LIST, List) +
                                           FIELD_OFFSET(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList));
    Partial->Version = 1;
    Partial->Revision = 1;
    Partial->Count = Count;
    for (Item = 0; Item < Count; ++Item) {
        const IO_RESOURCE_DESCRIPTOR *D = (const IO_RESOURCE_DESCRIPTOR *)((const UCHAR *)Alternative +
                                          FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors)) + Item;
        CM_PARTIAL_RESOURCE_DESCRIPTOR *P = (CM_PARTIAL_RESOURCE_DESCRIPTOR *)((UCHAR *)Partial +
                                            FIELD_OFFSET(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors)) + Item;
        P->Type = D->Type;
        P->ShareDisposition = TB_SHARE_DEVICE_EXCLUSIVE;
        P->Flags = D->Flags;
        P->u.Memory.Start = D->u.Memory.MinimumAddress;
        P->u.Memory.Length = D->u.Memory.Length;
    }
    return Resources;
}

/* The rest of a new device's sequence before its start: the bus driver's add-device for a bridge
 * (the bus driver is the function driver of every PCI-to-PCI bridge), then filtering of its
 * requirements by the whole stack. */
static void TbPrepare(LONG Index)
{
    PIO_RESOURCE_REQUIREMENTS_LIST List = TbAsked[Index];
    ULONG_PTR Information = 0;
    TbAsked[Index] = NULL;
    if ((TbByte(Index, 0x0E) & 0x7F) == 1 && Fns[Index].Fdo == NULL) TbCreateFdo(Index, Fns[Index].Pdo);
    if (List == NULL) return;
    TbSendPnp(Fns[Index].Pdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS, List, &Information);
    TbLogRequirements(Index, Information != 0 ? (PIO_RESOURCE_REQUIREMENTS_LIST)Information : List);
    if (Fns[Index].Fdo != NULL) {
        Fns[Index].Assigned = TbStartResources(Information != 0 ? (PIO_RESOURCE_REQUIREMENTS_LIST)Information : List);
    }
    ExFreePool(Information != 0 ? (PVOID)Information : List);
}

/* What a write of all ones to a dword of configuration space reads back: its writable bits set,
 * the others as they are. */
static ULONG TbSizingMask(LONG Index, ULONG Offset)
{
    ULONG Writable = 0, Byte;
    for (Byte = 0; Byte < 4; ++Byte) Writable |= (ULONG)TbFunctions[Index].Writable[Offset + Byte] << (8 * Byte);
    return (TbRead(Index, Offset, 4) & ~Writable) | Writable;
}

typedef struct {
    UCHAR Type;
    USHORT Flags;
    ULONGLONG Start, Length;
    BOOLEAN Pinned;
} TB_RANGE;

/* What a function decodes or asks for, as the PCI bus driver of platform/pcibus finds it: each
 * BAR sized by its mask, then a bridge's windows; a function decoding at its enumeration keeps
 * what its registers hold, one that does not asks for its BARs anywhere and a bridge for its
 * windows at their smallest. */
static ULONG TbRanges(LONG Index, TB_RANGE *Out)
{
    ULONG Layout = TbByte(Index, 0x0E) & 0x7F, Bars = Layout == 1 ? 2 : Layout == 2 ? 1 : 6, Bar, Count = 0;
    BOOLEAN Decoding = Fns[Index].BootDecoding;
    for (Bar = 0; Bar < Bars; ++Bar) {
        ULONG Offset = 0x10 + 4 * Bar, Mask = TbSizingMask(Index, Offset);
        TB_RANGE *R = &Out[Count];
        if (Mask == 0) continue;
        if (Mask & 1) {
            ULONG M = Mask & 0xFFFFFFFC;
            if ((M & 0xFFFF0000) == 0) M |= 0xFFFF0000;
            R->Type = TB_RESOURCE_PORT;
            R->Flags = TB_PORT_IO;
            R->Length = (ULONGLONG)(~M) + 1;
            R->Start = TbRead(Index, Offset, 4) & 0xFFFFFFFC;
        } else {
            ULONGLONG M = Mask & 0xFFFFFFF0;
            R->Type = TB_RESOURCE_MEMORY;
            R->Flags = (Mask & 8) ? TB_MEMORY_PREFETCHABLE : TB_MEMORY_READ_WRITE;
            R->Start = TbRead(Index, Offset, 4) & 0xFFFFFFF0;
            if (((Mask >> 1) & 3) == 2 && Bar + 1 < Bars) {
                M |= (ULONGLONG)TbSizingMask(Index, Offset + 4) << 32;
                R->Start |= (ULONGLONG)TbRead(Index, Offset + 4, 4) << 32;
                R->Length = ~M + 1;
                ++Bar;
            } else {
                R->Length = (ULONG)(~(ULONG)M) + 1;
            }
        }
        R->Pinned = Decoding && R->Start != 0;
        ++Count;
    }
    if (Layout != 1) return Count;
    {
        ULONG IoBase = TbRead(Index, 0x1C, 1), IoLimit = TbRead(Index, 0x1D, 1);
        ULONG MemBase = TbRead(Index, 0x20, 2), MemLimit = TbRead(Index, 0x22, 2);
        ULONG PfBase = TbRead(Index, 0x24, 2), PfLimit = TbRead(Index, 0x26, 2);
        BOOLEAN Io32 = (IoBase & 0xF) == 1, Pf64 = (PfBase & 0xF) == 1;
        ULONG IoWritable = TbFunctions[Index].Writable[0x1C] | TbFunctions[Index].Writable[0x1D];
        ULONG PfWritable = 0, Byte;
        ULONGLONG Base, Limit;
        for (Byte = 0; Byte < 4; ++Byte) PfWritable |= (ULONG)TbFunctions[Index].Writable[0x24 + Byte] << (8 * Byte);
        BOOLEAN HasIo = (IoWritable & 0xF0) != 0, HasPf = (PfWritable & 0xFFF0FFF0) != 0;
        if (!Decoding) {
            if (HasIo) {
                Out[Count++] = (TB_RANGE){TB_RESOURCE_PORT, TB_PORT_IO | TB_PORT_WINDOW_DECODE, 0, 0x1000, FALSE};
            }
            Out[Count++] = (TB_RANGE){TB_RESOURCE_MEMORY, TB_MEMORY_READ_WRITE, 0, 0x100000, FALSE};
            if (HasPf) Out[Count++] = (TB_RANGE){TB_RESOURCE_MEMORY, TB_MEMORY_PREFETCHABLE, 0, 0x100000, FALSE};
            return Count;
        }
        Base = (ULONGLONG)(IoBase & 0xF0) << 8;
        Limit = ((ULONGLONG)(IoLimit & 0xF0) << 8) | 0xFFF;
        if (Io32) {
            Base |= (ULONGLONG)(TbRead(Index, 0x30, 2) & 0xFFFF) << 16;
            Limit |= (ULONGLONG)(TbRead(Index, 0x32, 2) & 0xFFFF) << 16;
        }
        if (HasIo && Base <= Limit) {
            Out[Count++] = (TB_RANGE){TB_RESOURCE_PORT, TB_PORT_IO | TB_PORT_WINDOW_DECODE, Base, Limit - Base + 1, TRUE};
        }
        Base = (ULONGLONG)(MemBase & 0xFFF0) << 16;
        Limit = ((ULONGLONG)(MemLimit & 0xFFF0) << 16) | 0xFFFFF;
        if (Base <= Limit) Out[Count++] = (TB_RANGE){TB_RESOURCE_MEMORY, TB_MEMORY_READ_WRITE, Base, Limit - Base + 1, TRUE};
        Base = (ULONGLONG)(PfBase & 0xFFF0) << 16;
        Limit = ((ULONGLONG)(PfLimit & 0xFFF0) << 16) | 0xFFFFF;
        if (Pf64) {
            Base |= (ULONGLONG)TbRead(Index, 0x28, 4) << 32;
            Limit |= (ULONGLONG)TbRead(Index, 0x2C, 4) << 32;
        }
        if (HasPf && Base <= Limit) {
            Out[Count++] = (TB_RANGE){TB_RESOURCE_MEMORY, TB_MEMORY_PREFETCHABLE, Base, Limit - Base + 1, TRUE};
        }
    }
    return Count;
}

/* The requirements of a function, in one alternative list, built from its ranges as the bus
 * driver of platform/pcibus builds them. */
static PIO_RESOURCE_REQUIREMENTS_LIST TbRequirements(LONG Index)
{
    TB_RANGE Ranges[9];
    ULONG Count = TbRanges(Index, Ranges), Item;
    ULONG Bytes = FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List) + FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors) +
                  Count * sizeof(IO_RESOURCE_DESCRIPTOR);
    PIO_RESOURCE_REQUIREMENTS_LIST List = ExAllocatePool(PagedPool, Bytes);
    if (List == NULL) return NULL;
    RtlZeroMemory(List, Bytes);
    List->ListSize = Bytes;
    List->InterfaceType = PCIBus;
    List->BusNumber = TbBusNumber(TbFunctions[Index].Parent);
    List->SlotNumber = TbFunctions[Index].Device | TbFunctions[Index].Function << 5;
    List->AlternativeLists = 1;
    List->List[0].Version = 1;
    List->List[0].Revision = 1;
    List->List[0].Count = Count;
    for (Item = 0; Item < Count; ++Item) {
        IO_RESOURCE_DESCRIPTOR *D = (IO_RESOURCE_DESCRIPTOR *)((UCHAR *)List +
                                    FIELD_OFFSET(IO_RESOURCE_REQUIREMENTS_LIST, List) +
                                    FIELD_OFFSET(IO_RESOURCE_LIST, Descriptors)) + Item;
        const TB_RANGE *R = &Ranges[Item];
        D->Option = 0;
        D->Type = R->Type;
        D->ShareDisposition = TB_SHARE_DEVICE_EXCLUSIVE;
        D->Flags = R->Flags;
        D->u.Memory.Length = (ULONG)R->Length;
        D->u.Memory.Alignment = R->Pinned ? 1 : (ULONG)R->Length;
        D->u.Memory.MinimumAddress.QuadPart = R->Pinned ? (LONGLONG)R->Start : 0;
        D->u.Memory.MaximumAddress.QuadPart = R->Pinned ? (LONGLONG)(R->Start + R->Length - 1)
                                              : R->Type == TB_RESOURCE_PORT ? 0xFFFF : 0xFFFFFFFF;
    }
    return List;
}

/* --- dispatch ---------------------------------------------------------------------------------- */

/* A counted, NUL-separated list of identifiers in pool, as IRP_MN_QUERY_ID returns it. */
static WCHAR *TbId(const char *Prefix, ULONG First, int FirstDigits, const char *Middle, ULONG Second,
                   int SecondDigits, BOOLEAN Multi)
{
    static const char Hex[] = "0123456789ABCDEF";
    WCHAR *Id = ExAllocatePool(PagedPool, 64 * sizeof(WCHAR)), *At = Id;
    int Digit;
    if (Id == NULL) return NULL;
    while (*Prefix) *At++ = (WCHAR)*Prefix++;
    for (Digit = FirstDigits - 1; Digit >= 0; --Digit) *At++ = (WCHAR)Hex[(First >> (4 * Digit)) & 0xF];
    while (*Middle) *At++ = (WCHAR)*Middle++;
    for (Digit = SecondDigits - 1; Digit >= 0; --Digit) *At++ = (WCHAR)Hex[(Second >> (4 * Digit)) & 0xF];
    *At++ = 0;
    if (Multi) *At++ = 0;
    return Id;
}

static NTSTATUS TbQueryId(LONG Index, PIO_STACK_LOCATION Stack, PIRP Irp)
{
    ULONG Ids = Index >= 0 ? TbRead(Index, 0, 4) : 0, Class = Index >= 0 ? TbRead(Index, 8, 4) >> 8 : 0;
    WCHAR *Id = NULL;
    switch (Stack->Parameters.QueryId.IdType) {
    case BusQueryDeviceID:
        Id = Index < 0 ? TbId("HOTPTBUS\\ROOT", 0, 0, "", 0, 0, FALSE)
                       : TbId("PCI\\VEN_", Ids & 0xFFFF, 4, "&DEV_", Ids >> 16, 4, FALSE);
        break;
    case BusQueryHardwareIDs:
        Id = Index < 0 ? TbId("HOTPTBUS\\ROOT", 0, 0, "", 0, 0, TRUE)
                       : TbId("PCI\\VEN_", Ids & 0xFFFF, 4, "&DEV_", Ids >> 16, 4, TRUE);
        break;
    case BusQueryCompatibleIDs:
        Id = Index < 0 ? TbId("HOTPTBUS", 0, 0, "", 0, 0, TRUE) : TbId("PCI\\CC_", Class, 6, "", 0, 0, TRUE);
        break;
    case BusQueryInstanceID:
        Id = TbId("", (ULONG)(Index + 1), 2, "", 0, 0, FALSE);
        break;
    default:
        return Irp->IoStatus.Status;
    }
    if (Id == NULL) return STATUS_INSUFFICIENT_RESOURCES;
    Irp->IoStatus.Information = (ULONG_PTR)Id;
    return STATUS_SUCCESS;
}

/* A function's physical device object. Completes every request. */
static NTSTATUS TbPdoPnp(LONG Index, PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    NTSTATUS Status = Irp->IoStatus.Status;
    BOOLEAN Capabilities = FALSE, Remove = FALSE, Started = FALSE;
    switch (Stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        Status = TbQueryId(Index, Stack, Irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES Caps = Stack->Parameters.DeviceCapabilities.Capabilities;
        /* No function driver is installed for these devices: they run raw, as Wine starts only
         * a raw-capable device that has no driver. */
        Caps->RawDeviceOK = 1;
        Caps->SurpriseRemovalOK = 1;
        Caps->UniqueID = 1;
        if (Index >= 0) Caps->Address = TbFunctions[Index].Device << 16 | TbFunctions[Index].Function;
        Status = STATUS_SUCCESS;
        Capabilities = Index >= 0;
        break;
    }
    case IRP_MN_START_DEVICE:
        Status = STATUS_SUCCESS;
        Started = TRUE;
        break;
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_REMOVE_DEVICE:
        Status = STATUS_SUCCESS;
        Remove = Index >= 0 && !Fns[Index].Present;
        break;
    case IRP_MN_QUERY_INTERFACE: {
        TB_BUS_INTERFACE_STANDARD *Bus = (void *)Stack->Parameters.QueryInterface.Interface;
        if (Index < 0 || Stack->Parameters.QueryInterface.InterfaceType == NULL ||
            RtlCompareMemory(Stack->Parameters.QueryInterface.InterfaceType, &TbGuidBusInterfaceStandard,
                             sizeof(GUID)) != sizeof(GUID) ||
            Stack->Parameters.QueryInterface.Size < sizeof(*Bus) ||
            Stack->Parameters.QueryInterface.Version < 1 || Bus == NULL) {
            break;
        }
        Bus->Size = sizeof(*Bus);
        Bus->Version = 1;
        Bus->Context = (PVOID)(ULONG_PTR)Index;
        Bus->InterfaceReference = TbReference;
        Bus->InterfaceDereference = TbDereference;
        Bus->TranslateBusAddress = NULL;
        Bus->GetDmaAdapter = NULL;
        Bus->SetBusData = TbSetBusData;
        Bus->GetBusData = TbGetBusData;
        InterlockedIncrement(&Fns[Index].Handed);
        InterlockedIncrement(&Fns[Index].InterfaceReferences);
        Status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_RESOURCES:
        Irp->IoStatus.Information = 0;  /* no boot configuration is reported */
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
        Irp->IoStatus.Information = Index >= 0 ? (ULONG_PTR)TbRequirements(Index) : 0;
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
        Status = STATUS_SUCCESS;
        break;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
            PDEVICE_RELATIONS Relations = ExAllocatePool(PagedPool, sizeof(DEVICE_RELATIONS));
            if (Relations != NULL) {
                TbReferenceObject(Device);
                Relations->Count = 1;
                Relations->Objects[0] = Device;
                Irp->IoStatus.Information = (ULONG_PTR)Relations;
                Status = STATUS_SUCCESS;
            }
        }
        break;
    default:
        break;
    }
    if (TbStrikes(TB_FAULT_LOWER_FAIL, Index, Stack)) {
        Status = STATUS_UNSUCCESSFUL;
        Started = FALSE;
    }
    Irp->IoStatus.Status = Status;
    if (Started && Index >= 0) {
        /* The PnP manager's device node after a start, and the header the bus driver puts
         * back on return to D0. */
        ULONG Flags = TB_DNF_PROCESSED | TB_DNF_ENUMERATED | TB_DNF_ADDED | TB_DNF_RESOURCE_ASSIGNED | TB_DNF_STARTED;
        if (Device->DeviceObjectExtension == (void *)Fns[Index].NodeExtension) {
            RtlCopyMemory(Fns[Index].Node + 0x18, &Flags, sizeof(Flags));
        }
        RtlCopyMemory(Fns[Index].Saved, Fns[Index].Config, sizeof(Fns[Index].Saved));
        Fns[Index].Started = TRUE;
    }
    if (Remove) {
        /* Every bus interface reference handed out for the function is released by now, once. */
        if (Fns[Index].Handed != Fns[Index].Released) {
            TbNote("bus interface references not released at removal of function", (ULONG)Index);
            TbNote("  references handed out", (ULONG)Fns[Index].Handed);
            TbNote("  references released", (ULONG)Fns[Index].Released);
        }
        Fns[Index].Handed = Fns[Index].Released = Fns[Index].InterfaceReferences = 0;
        Fns[Index].Started = FALSE;
        Fns[Index].Pdo = NULL;
        Fns[Index].Interrogated = FALSE;
        if (Fns[Index].Assigned != NULL) ExFreePool(Fns[Index].Assigned);
        Fns[Index].Assigned = NULL;
        if (Fns[Index].Pending) {
            Fns[Index].Pending = FALSE;
            InterlockedDecrement(&TbPending);
        }
    }
    if (Started && Index >= 0 && Fns[Index].Pending) {
        Fns[Index].Pending = FALSE;
        InterlockedDecrement(&TbPending);
    }
    if (!Capabilities) {
        NTSTATUS Returned = TbFinish(Index, Device, Irp, Remove ? Device : NULL);
        return Returned == STATUS_PENDING ? Returned : Status;
    }
    /* Wine goes from here to the start: first what the PnP manager asks before that, once this
     * request is complete. */
    TbComplete(Irp);
    TbInterrogate(TbFunctions[Index].Parent);
    TbPrepare(Index);
    return Status;
}

/* A bus device object: the root bus or a bridge's secondary side. */
static NTSTATUS TbFdoPnp(LONG Bridge, PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    PDEVICE_OBJECT Lower = TbGetPointer(Device, TB_LOWER);
    NTSTATUS Status;
    switch (Stack->MinorFunction) {
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (Stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
            PDEVICE_RELATIONS Relations = TbEnumerate(Bridge);
            if (Relations == NULL) {
                Irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
                IoCompleteRequest(Irp, IO_NO_INCREMENT);
                return STATUS_INSUFFICIENT_RESOURCES;
            }
            Irp->IoStatus.Information = (ULONG_PTR)Relations;
            Irp->IoStatus.Status = STATUS_SUCCESS;
            InterlockedDecrement(&TbPending);
        }
        break;
    case IRP_MN_START_DEVICE:
        /* Wine's start carries no resources: a bridge's start gets what the PnP manager would
         * have assigned, for the drivers below. */
        if (Bridge >= 0 && Stack->Parameters.StartDevice.AllocatedResources == NULL && Fns[Bridge].Assigned != NULL) {
            Stack->Parameters.StartDevice.AllocatedResources = Fns[Bridge].Assigned;
            Stack->Parameters.StartDevice.AllocatedResourcesTranslated = Fns[Bridge].Assigned;
        }
        IoSkipCurrentIrpStackLocation(Irp);
        Status = IoCallDriver(Lower, Irp);
        /* A started bus is enumerated, as the PnP manager does after a bus starts. */
        if (NT_SUCCESS(Status)) {
            InterlockedIncrement(&TbPending);
            IoInvalidateDeviceRelations(TbGetPointer(Device, TB_FDO_PDO), BusRelations);
        }
        return Status;
    case IRP_MN_REMOVE_DEVICE:
        IoSkipCurrentIrpStackLocation(Irp);
        Status = IoCallDriver(Lower, Irp);
        IoDetachDevice(Lower);
        if (Bridge >= 0) Fns[Bridge].Fdo = NULL;
        IoDeleteDevice(Device);
        return Status;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(Lower, Irp);
}

static NTSTATUS WINAPI TbDispatchPnp(PDEVICE_OBJECT Device, PIRP Irp)
{
    ULONG Role = TbGetUlong(Device, TB_ROLE);
    LONG Index = (LONG)TbGetUlong(Device, TB_INDEX);
    if (Role == TB_ROLE_FDO) return TbFdoPnp(Index, Device, Irp);
    return TbPdoPnp(Role == TB_ROLE_ROOT_PDO ? -1 : Index, Device, Irp);
}

/* Power: a bus device passes requests down; a function's device object follows the device state
 * in its power-management registers, where leaving D3hot resets the function. */
static NTSTATUS WINAPI TbDispatchPower(PDEVICE_OBJECT Device, PIRP Irp)
{
    PIO_STACK_LOCATION Stack = IoGetCurrentIrpStackLocation(Irp);
    ULONG Role = TbGetUlong(Device, TB_ROLE);
    LONG Index = (LONG)TbGetUlong(Device, TB_INDEX);
    PoStartNextPowerIrp(Irp);
    if (Role == TB_ROLE_FDO) {
        IoSkipCurrentIrpStackLocation(Irp);
        return PoCallDriver(TbGetPointer(Device, TB_LOWER), Irp);
    }
    if (Role == TB_ROLE_PDO && Stack->MinorFunction == IRP_MN_SET_POWER &&
        Stack->Parameters.Power.Type == DevicePowerState && Fns[Index].Present) {
        ULONG State = Stack->Parameters.Power.State.DeviceState - PowerDeviceD0;
        ULONG Pm = TbFunctions[Index].Pm;
        if (State == 0 && Fns[Index].Power != 0) {
            if (Pm != 0) TbBusWrite(Index, Pm + 4, 2, 0);
            /* Leaving D3hot reset the function: the bus driver puts back the BARs (a bridge's
             * bus numbers and windows too) and then the command register, as it saved them at
             * start. */
            if (Fns[Index].Started) {
                ULONG End = TbIsBridgeHeader(Index) ? 0x34 : 0x28, Offset, Value;
                for (Offset = 0x10; Offset < End; Offset += 4) {
                    RtlCopyMemory(&Value, Fns[Index].Saved + Offset, 4);
                    TbBusWrite(Index, Offset, 4, Value);
                }
                RtlCopyMemory(&Value, Fns[Index].Saved + 4, 4);
                TbBusWrite(Index, 4, 2, Value & 0xFFFF);
            }
        } else if (State > 0 && Pm != 0) {
            TbBusWrite(Index, Pm + 4, 2, State);
        }
        Fns[Index].Power = State;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return TbFinish(Role == TB_ROLE_PDO ? Index : -1, Device, Irp, NULL);
}

static NTSTATUS WINAPI TbDispatchOther(PDEVICE_OBJECT Device, PIRP Irp)
{
    NTSTATUS Status = Irp->IoStatus.Status;
    if (TbGetUlong(Device, TB_ROLE) == TB_ROLE_FDO) {
        IoSkipCurrentIrpStackLocation(Irp);
        return IoCallDriver(TbGetPointer(Device, TB_LOWER), Irp);
    }
    TbComplete(Irp);
    return Status;
}

/* --- the flows --------------------------------------------------------------------------------- */

/* Waits until every invalidated bus has been asked for its relations and every new or gone device
 * has been started or removed, and nothing more is pending for half a second. */
static void TbWaitSettled(void)
{
    LARGE_INTEGER Delay;
    int Quiet = 0, Tick;
    Delay.QuadPart = -100 * 10000;  /* 100 ms */
    for (Tick = 0; Tick < 600; ++Tick) {
        KeDelayExecutionThread(KernelMode, FALSE, &Delay);
        Quiet = TbPending <= 0 ? Quiet + 1 : 0;
        if (Quiet >= 5) return;
    }
    TbNote("timed out with requests pending", (ULONG)TbPending);
}

static void TbStepLine(ULONG Step)
{
    KIRQL Irql;
    DbgPrint("hotptbus: step %02lx\n", Step);
    KeAcquireSpinLock(&TbLock, &Irql);
    TbText("step ");
    TbHex(Step, 2);
    TbText("\n");
    KeReleaseSpinLock(&TbLock, Irql);
}

static PDEVICE_OBJECT TbBusDevice(LONG Bridge) { return Bridge < 0 ? TbRootPdo : Fns[Bridge].Pdo; }

/* A variable the image exports by name, found through its export directory as a kernel debugger
 * finds it. */
static volatile ULONG *TbExport(PDRIVER_OBJECT Driver, const char *Name)
{
    UCHAR *Base = Driver->DriverStart;
    IMAGE_NT_HEADERS32 *Nt;
    IMAGE_EXPORT_DIRECTORY *Exports;
    ULONG Index;
    if (Base == NULL) return NULL;
    Nt = (IMAGE_NT_HEADERS32 *)(Base + ((IMAGE_DOS_HEADER *)Base)->e_lfanew);
    if (Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].Size == 0) return NULL;
    Exports = (IMAGE_EXPORT_DIRECTORY *)(Base + Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT].VirtualAddress);
    for (Index = 0; Index < Exports->NumberOfNames; ++Index) {
        const char *Export = (const char *)Base + ((ULONG *)(Base + Exports->AddressOfNames))[Index];
        const char *Wanted = Name;
        while (*Export != 0 && *Export == *Wanted) ++Export, ++Wanted;
        if (*Export == 0 && *Wanted == 0) {
            USHORT Ordinal = ((USHORT *)(Base + Exports->AddressOfNameOrdinals))[Index];
            return (volatile ULONG *)(Base + ((ULONG *)(Base + Exports->AddressOfFunctions))[Ordinal]);
        }
    }
    return NULL;
}

/* Boot: the filter is loaded and added above the root bus, as an upper filter of the root bus,
 * and the root bus is started and enumerated. */
static BOOLEAN TbBoot(void)
{
    static const WCHAR Service[] = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\hotpflt";
    static const WCHAR DriverName[] = L"\\Driver\\hotpflt";
    UNICODE_STRING Name;
    PDRIVER_OBJECT Filter = NULL;
    NTSTATUS Status;
    RtlInitUnicodeString(&Name, Service);
    Status = ZwLoadDriver(&Name);
    TbNote("ZwLoadDriver hotpflt", (ULONG)Status);
    RtlInitUnicodeString(&Name, DriverName);
    Status = ObReferenceObjectByName(&Name, OBJ_CASE_INSENSITIVE, NULL, 0, NULL, KernelMode, NULL, (void **)&Filter);
    if (Status != STATUS_SUCCESS || Filter == NULL || Filter->DriverExtension->AddDevice == NULL) {
        TbNote("cannot find the filter's driver object", (ULONG)Status);
        return FALSE;
    }
    /* Tracing on, as from a kernel debugger: the trace lines go through the kernel's DbgPrint,
     * and the attach event through its error log. */
    {
        volatile ULONG *PrintLevel = TbExport(Filter, "HotpDebugPrintLevel");
        TbNote("hotpflt image at", (ULONG)(ULONG_PTR)Filter->DriverStart);
        if (PrintLevel != NULL) *PrintLevel = TB_TRACE_LEVEL;
        else TbNote("HotpDebugPrintLevel not found", 0);
    }
    /* Every dispatch routine of the image is called through the guard. */
    {
        UCHAR *Base = Filter->DriverStart;
        IMAGE_NT_HEADERS32 *Nt = (IMAGE_NT_HEADERS32 *)(Base + ((IMAGE_DOS_HEADER *)Base)->e_lfanew);
        ULONG Major;
        TbImageStart = Base;
        TbImageSize = Nt->OptionalHeader.SizeOfImage;
        for (Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; ++Major) {
            if (!TbInImage((PVOID)Filter->MajorFunction[Major])) continue;
            TbImageDispatch[Major] = Filter->MajorFunction[Major];
            Filter->MajorFunction[Major] = TbGuardedDispatch;
        }
    }
    TbRootPdo = TbCreate(TB_ROLE_ROOT_PDO, -1, FILE_DEVICE_BUS_EXTENDER);
    if (TbRootPdo == NULL) return FALSE;
    TbRootPdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    TbRootPdo->Flags &= ~DO_DEVICE_INITIALIZING;
    TbRootFdo = TbCreateFdo(-1, TbRootPdo);
    if (TbRootFdo == NULL) return FALSE;
    {
        LONG Skew;
        PVOID AddDevice = (PVOID)Filter->DriverExtension->AddDevice;
        Status = (NTSTATUS)TbCallImage(AddDevice, 2, (ULONG_PTR)Filter, (ULONG_PTR)TbRootPdo, 0, &Skew);
        if (Skew != 0) TbGuardNote("add-device", AddDevice, Skew);
    }
    TbNote("hotpflt AddDevice on the root bus", (ULONG)Status);
    ObDereferenceObject(Filter);
    {
        PCM_RESOURCE_LIST Empty = TbStartResources(NULL);
        Status = TbSendPnp(TbRootPdo, IRP_MN_START_DEVICE, Empty, NULL);
        if (Empty != NULL) ExFreePool(Empty);
    }
    TbNote("root bus start", (ULONG)Status);
    return TRUE;
}

/* The started functions, parents before children (the root bus first, as -1). */
static ULONG TbStartedInOrder(LONG Bus, LONG *Out, ULONG Count)
{
    LONG Index;
    if (Bus == -1) Out[Count++] = -1;
    for (Index = 0; Index < TbCount; ++Index) {
        if (TbFunctions[Index].Parent != Bus || !Fns[Index].Present || Fns[Index].Pdo == NULL || !Fns[Index].Started) continue;
        Out[Count++] = Index;
        Count = TbStartedInOrder(Index, Out, Count);
    }
    return Count;
}

/* Sleep (State 1-4): every started device, children before parents, hears the system state
 * and goes to D3. Wake (State 0): parents first, each hears S0 and then returns to D0. */
static void TbSystemPower(ULONG State)
{
    LONG Order[TB_MAX_FUNCTIONS + 1];
    ULONG Count = TbStartedInOrder(-1, Order, 0), Item;
    for (Item = 0; Item < Count; ++Item) {
        LONG Index = Order[State != 0 ? Count - 1 - Item : Item];
        PDEVICE_OBJECT Pdo = Index < 0 ? TbRootPdo : Fns[Index].Pdo;
        TbSendPower(Pdo, SystemPowerState, State);
        TbSendPower(Pdo, DevicePowerState, State != 0 ? 3 : 0);
    }
}

/* The functions of a removal, children before their parent. */
static ULONG TbRemovalOrder(LONG Index, LONG *Out, ULONG Count)
{
    LONG Child;
    for (Child = 0; Child < TbCount; ++Child) {
        if (TbFunctions[Child].Parent == Index && Fns[Child].Pdo != NULL) Count = TbRemovalOrder(Child, Out, Count);
    }
    Out[Count++] = Index;
    return Count;
}

/* An orderly removal as far as Wine allows: query-remove to every device of the card, children
 * first; one that refuses vetoes it, and every device queried gets cancel-remove, parents first.
 * Wine removes a device only once it is gone, so a removal nobody vetoes is not played. The card
 * comes out all the same afterwards (TbFlows). */
static void TbQueryRemove(const TB_STEP *S)
{
    LONG Order[TB_MAX_FUNCTIONS], Top = TbAt(S->Target, S->Value, 0);
    ULONG Count, Item, Queried;
    if (Top < 0 || Fns[Top].Pdo == NULL) {
        TbNote("cannot remove: no device in the slot of bridge", (ULONG)S->Target);
        return;
    }
    Count = TbRemovalOrder(Top, Order, 0);
    for (Queried = 0; Queried < Count; ++Queried) {
        if (!NT_SUCCESS(TbSendPnp(Fns[Order[Queried]].Pdo, IRP_MN_QUERY_REMOVE_DEVICE, NULL, NULL))) break;
    }
    if (Queried == Count) {
        TbNote("cannot remove: nobody vetoed an orderly removal, which Wine cannot play", (ULONG)Top);
        return;
    }
    for (Item = Queried + 1; Item-- > 0;) TbSendPnp(Fns[Order[Item]].Pdo, IRP_MN_CANCEL_REMOVE_DEVICE, NULL, NULL);
}

static VOID WINAPI TbFlows(PVOID Context)
{
    ULONG Step;
    LONG Index;
    (void)Context;
    TbStepLine(0);
    if (TbBoot()) {
        TbWaitSettled();
        for (Step = 0; Step < TbStepCount; ++Step) {
            const TB_STEP *S = &TbSteps[Step];
            TbFlushLog();
            TbStepLine(Step + 1);
            switch (S->Kind) {
            case TB_STEP_REMOVE:
                TbQueryRemove(S);
                /* The card comes out all the same. */
                __attribute__((fallthrough));
            case TB_STEP_INSERT:
            case TB_STEP_SURPRISE_REMOVE:
                /* The card arrives reset, or is pulled; the slot reports the change. */
                for (Index = 0; Index < TbCount; ++Index) {
                    if (TbFunctions[Index].Card != S->Card) continue;
                    Fns[Index].Present = S->Kind == TB_STEP_INSERT;
                    if (S->Kind == TB_STEP_INSERT) RtlCopyMemory(Fns[Index].Config, TbFunctions[Index].Config, 256);
                }
                InterlockedIncrement(&TbPending);
                IoInvalidateDeviceRelations(TbBusDevice(S->Target), BusRelations);
                break;
            case TB_STEP_POWER:
                TbNote("set power", (ULONG)TbSendPower(Fns[S->Target].Pdo, DevicePowerState, S->Value));
                break;
            case TB_STEP_SLEEP:
            case TB_STEP_WAKE:
                TbSystemPower(S->Kind == TB_STEP_SLEEP ? S->Value : 0);
                break;
            case TB_STEP_FAIL:
                TbFault = S->Fault == TB_FAULT_NONE ? NULL : S;
                TbFaultUses = 0;
                break;
            }
            TbWaitSettled();
        }
    }
    TbLogLimit = sizeof(TbLog);
    if (TbLogFull) TbText("note log full: cycles lost 00000000\n");
    TbText("done\n");
    TbFlushLog();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS WINAPI DriverEntry(PDRIVER_OBJECT Driver, PUNICODE_STRING RegistryPath)
{
    HANDLE Thread;
    LONG Index;
    ULONG Major;
    (void)RegistryPath;
    if (TbFunctionCount > TB_MAX_FUNCTIONS) return STATUS_INSUFFICIENT_RESOURCES;
    TbDriver = Driver;
    TbCount = (LONG)TbFunctionCount;
    KeInitializeSpinLock(&TbLock);
    for (Index = 0; Index < TbCount; ++Index) {
        RtlCopyMemory(Fns[Index].Config, TbFunctions[Index].Config, 256);
        Fns[Index].Present = TbFunctions[Index].Card < 0;
    }
    TbRootInterface.Size = sizeof(TbRootInterface);
    TbRootInterface.Version = 1;
    TbRootInterface.ReadConfig = TbRootReadConfig;
    TbRootInterface.WriteConfig = TbRootWriteConfig;
    for (Major = 0; Major <= IRP_MJ_MAXIMUM_FUNCTION; ++Major) Driver->MajorFunction[Major] = TbDispatchOther;
    Driver->MajorFunction[IRP_MJ_PNP] = TbDispatchPnp;
    Driver->MajorFunction[IRP_MJ_POWER] = TbDispatchPower;
    if (PsCreateSystemThread(&Thread, THREAD_ALL_ACCESS, NULL, NULL, NULL, TbFlows, NULL) != STATUS_SUCCESS) {
        return STATUS_UNSUCCESSFUL;
    }
    ZwClose(Thread);
    return STATUS_SUCCESS;
}
