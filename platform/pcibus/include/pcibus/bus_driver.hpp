// The PCI bus driver beneath the filters. It owns a bus device object per PCI bus (the root, and
// the secondary side of every PCI-to-PCI bridge, for which it is the function driver) and a
// physical device object per function found. It answers bus relations, hands out the standard bus
// interface of each function, reports boot configurations and resource requirements, programs
// BARs, windows and decoding at start, and saves and restores configuration across device power
// transitions. Its private device extensions carry the type words, slot, parent, root, root
// interface and bus number at the byte offsets a filter may read.
#pragma once

#include <nt/kernel.hpp>
#include <pci/hardware.hpp>

#include <array>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace pcibus {

// Byte offsets in the bus driver's device extensions.
namespace layout {
constexpr size_t TypeWord = 0x04;
constexpr size_t Owner = 0x10;          // the bus driver's own record of the device
constexpr size_t PdoSlot = 0x50;        // PCI_SLOT_NUMBER of the function
constexpr size_t PdoParent = 0x58;      // extension of the bus device the function sits on
constexpr size_t FdoPdo = 0x50;         // physical device object beneath the bus device
constexpr size_t FdoRoot = 0x80;        // extension of the root bus device
constexpr size_t FdoInterface = 0x8C;   // root only: PCI_BUS_INTERFACE_STANDARD
constexpr size_t FdoBusNumber = 0x98;   // the bus number
constexpr size_t ExtensionSize = 0xC0;
constexpr ULONG PdoTypeWord = 0x69635030;  // "0Pci"
constexpr ULONG FdoTypeWord = 0x69635031;  // "1Pci"
}  // namespace layout

// One resource a function asks for, in the order of its requirement descriptors.
struct ResourceSlot {
    enum class Kind { Bar, IoWindow, MemoryWindow, PrefetchWindow } kind;
    unsigned bar = 0;  // BAR index for Kind::Bar
};

class PciBusDriver;
struct BusNode;

// The bus driver's record of one function.
struct FunctionNode {
    PciBusDriver* owner = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    BusNode* parent = nullptr;
    unsigned device = 0;
    unsigned function = 0;
    uint16_t vendorId = 0, deviceId = 0;
    uint8_t baseClass = 0, subClass = 0, headerType = 0;
    std::vector<pci::Bar> bars;  // as probed at first enumeration
    bool io32 = false, prefetch64 = false;  // bridge window capabilities
    bool ioWindow = true, prefetchWindow = true;  // bridge windows implemented
    // Firmware left the function decoding when it was first found: what it decodes then is its
    // boot configuration, kept where it is. Anything else is placed by arbitration, whatever a
    // driver writes to the command register afterwards.
    bool bootConfigured = false;
    bool present = true;
    bool started = false;
    // Why the bus driver will not start the function (a bridge it could give no bus number), or
    // empty.
    std::string problem;
    int interfaceReferences = 0;
    bool interfaceGiven = false;  // a bus interface has been handed out for it
    DEVICE_POWER_STATE power = PowerDeviceD0;
    std::vector<ResourceSlot> slots;     // order of the last requirements list
    std::array<uint8_t, 64> saved{};     // header as programmed at start, for power restore
    BusNode* secondary = nullptr;        // the bus device on the bridge's secondary side
    // The hardware function found at enumeration: what cycles through its interface must reach.
    const pci::Function* hardware = nullptr;

    bool isBridge() const { return (headerType & 0x7F) == 1; }
    bool isCardBus() const { return (headerType & 0x7F) == 2; }
    ULONG slotNumber() const { return (device & 0x1F) | ((function & 0x7) << 5); }
    std::string location() const;
};

// The bus driver's record of one bus device.
struct BusNode {
    PDEVICE_OBJECT fdo = nullptr;
    PDEVICE_OBJECT lower = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    FunctionNode* bridge = nullptr;  // nullptr for a root bus
    BusNode* root = nullptr;         // the root bus this bus is reached through (itself for a root)
    unsigned number = 0;
    bool started = false;
    std::map<std::pair<unsigned, unsigned>, FunctionNode*> children;
    // Bus numbers held back after a bridge the bus driver numbered on this bus, for the bridges
    // found behind it: the last number set aside, by device and function.
    std::map<std::pair<unsigned, unsigned>, unsigned> reservedTo;
    // Held for every request the bus device object works on; its removal waits for them.
    IO_REMOVE_LOCK removeLock{};
};

class PciBusDriver {
public:
    PciBusDriver(nt::Kernel& kernel, pci::Hierarchy& hardware);
    ~PciBusDriver();
    PciBusDriver(const PciBusDriver&) = delete;
    PciBusDriver& operator=(const PciBusDriver&) = delete;

    PDRIVER_OBJECT driverObject() const { return driver_; }
    pci::Hierarchy& hardware() { return hw_; }

    // The records of a live device object of the bus driver, or nullptr.
    FunctionNode* function(PDEVICE_OBJECT pdo) const;
    BusNode* bus(PDEVICE_OBJECT fdo) const;
    // Why the function of a physical device object does not start, or empty.
    std::string problem(PDEVICE_OBJECT pdo) const;
    // The first root bus (bus 0), and every root bus by number.
    BusNode* root() const { return roots_.empty() ? nullptr : roots_.begin()->second; }
    const std::map<unsigned, BusNode*>& roots() const { return roots_; }
    // The number of the root bus whose host bridge's physical device object this is, as firmware
    // describes the machine's host bridges; a root bus device added for a physical device object
    // never described is bus 0.
    void describeRoot(PDEVICE_OBJECT pdo, unsigned number) { rootNumbers_[pdo] = number; }
    // Pend every request of a physical device object and complete it later: shows what only
    // asynchronous completion reveals in the drivers above.
    void setPendAll(bool on) { pendAll_ = on; }
    // Interface references still held, one line per function.
    std::vector<std::string> leaks() const;

    // Configuration access as the bus driver makes it.
    uint32_t read(const FunctionNode& f, unsigned offset, unsigned length);
    bool implementsWindow(const FunctionNode& f, unsigned offset, unsigned length, uint32_t pattern);
    void write(const FunctionNode& f, unsigned offset, unsigned length, uint32_t value);

private:
    static NTSTATUS NTAPI dispatchAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS addDevice(PDEVICE_OBJECT pdo);
    NTSTATUS pdoPnp(FunctionNode& f, PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS pdoPower(FunctionNode& f, PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS fdoPnp(BusNode& b, PIRP irp, PIO_STACK_LOCATION stack);
    NTSTATUS fdoPower(BusNode& b, PIRP irp);

    PDEVICE_RELATIONS enumerate(BusNode& b);
    FunctionNode* discover(BusNode& b, unsigned device, unsigned fn);
    void assignBusNumbers(BusNode& b, FunctionNode& bridge);
    struct Forwarded {
        unsigned device, function, secondary, subordinate;
    };
    std::vector<Forwarded> bridgesOn(const BusNode& b);
    unsigned highestNumberOf(const BusNode& b);
    bool raiseToCover(BusNode& b, unsigned number);
    unsigned numberBridgesBehind(unsigned bus, unsigned next, unsigned limit);
    PIO_RESOURCE_REQUIREMENTS_LIST requirements(FunctionNode& f);
    PCM_RESOURCE_LIST bootConfiguration(FunctionNode& f);
    void start(FunctionNode& f, PCM_RESOURCE_LIST resources);
    void saveHeader(FunctionNode& f);
    void restoreHeader(FunctionNode& f);
    void deletePdo(FunctionNode& f);
    void retire(FunctionNode& f);
    static FunctionNode* held(PVOID context, const char* routine);
    NTSTATUS finish(const FunctionNode& f, PIRP irp, FunctionNode* deleteAfter);

    static ULONG NTAPI getBusData(PVOID context, ULONG type, PVOID buffer, ULONG offset,
                                  ULONG length);
    static ULONG NTAPI setBusData(PVOID context, ULONG type, PVOID buffer, ULONG offset,
                                  ULONG length);
    static VOID NTAPI referenceInterface(PVOID context);
    static VOID NTAPI dereferenceInterface(PVOID context);
    void checkInterfaceHeld(const FunctionNode& f, const char* routine);
    static ULONG NTAPI rootReadConfig(PVOID context, ULONG bus, ULONG slot, PVOID buffer,
                                      ULONG offset, ULONG length);
    static ULONG NTAPI rootWriteConfig(PVOID context, ULONG bus, ULONG slot, PVOID buffer,
                                       ULONG offset, ULONG length);
    ULONG transfer(unsigned bus, unsigned device, unsigned fn, bool write, uint8_t* buffer,
                   ULONG offset, ULONG length);

    nt::Kernel& kernel_;
    pci::Hierarchy& hw_;
    PDRIVER_OBJECT driver_;
    std::map<unsigned, BusNode*> roots_;
    std::map<PDEVICE_OBJECT, unsigned> rootNumbers_;
    bool pendAll_ = false;
    PCI_BUS_INTERFACE_STANDARD rootInterface_{};
    std::vector<std::unique_ptr<FunctionNode>> functions_;
    std::vector<std::unique_ptr<BusNode>> buses_;
    // Live device objects to their records: looked up on every request the platform routes.
    std::unordered_map<PDEVICE_OBJECT, FunctionNode*> byPdo_;
    std::unordered_map<PDEVICE_OBJECT, BusNode*> byFdo_;
    // The bus interfaces of functions whose records are gone, to their locations: a call
    // through one is a use after its last reference was given back. An address a new record
    // takes leaves the list.
    std::unordered_map<const void*, std::string> retired_;
};

// A minimal function driver for ordinary PCI devices: attaches, passes everything down and
// leaves with the device on removal.
class GenericFunctionDriver {
public:
    explicit GenericFunctionDriver(nt::Kernel& kernel);
    PDRIVER_OBJECT driverObject() const { return driver_; }

private:
    static NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp);
    PDRIVER_OBJECT driver_;
};

constexpr ULONG kPoolTag = 0x20696350;  // "Pci "

}  // namespace pcibus
