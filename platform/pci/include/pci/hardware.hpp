// PCI hardware as software sees it through configuration cycles. Each function is 256 bytes of
// configuration space with a write mask and a write-one-to-clear mask per byte, so that BAR
// sizing, read-only identifiers and bridge registers follow from the masks. Configuration cycles
// enter at the root bus and are forwarded through bridges by their secondary and subordinate bus
// numbers, as bridges forward them, whatever their decoding state.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pci {

// Register offsets of the configuration header.
namespace reg {
constexpr unsigned VendorId = 0x00, DeviceId = 0x02, Command = 0x04, Status = 0x06;
constexpr unsigned RevisionId = 0x08, ProgIf = 0x09, SubClass = 0x0A, BaseClass = 0x0B;
constexpr unsigned CacheLineSize = 0x0C, LatencyTimer = 0x0D, HeaderType = 0x0E, Bist = 0x0F;
constexpr unsigned Bar0 = 0x10, RomBar = 0x30, CapabilitiesPointer = 0x34, InterruptLine = 0x3C;
constexpr unsigned InterruptPin = 0x3D;
// Type 1 (PCI-to-PCI bridge).
constexpr unsigned PrimaryBus = 0x18, SecondaryBus = 0x19, SubordinateBus = 0x1A;
constexpr unsigned SecondaryLatency = 0x1B, IoBase = 0x1C, IoLimit = 0x1D;
constexpr unsigned SecondaryStatus = 0x1E, MemoryBase = 0x20, MemoryLimit = 0x22;
constexpr unsigned PrefetchBase = 0x24, PrefetchLimit = 0x26, PrefetchBaseUpper = 0x28;
constexpr unsigned PrefetchLimitUpper = 0x2C, IoBaseUpper = 0x30, IoLimitUpper = 0x32;
constexpr unsigned BridgeRomBar = 0x38, BridgeControl = 0x3E;
// Type 2 (CardBus bridge): the socket registers' BAR, the bus numbers, and two memory and two
// I/O windows, each a base and a limit dword.
constexpr unsigned CardBusBus = 0x19, CardBusSubordinate = 0x1A, CardBusLatency = 0x1B;
constexpr unsigned CardBusMemoryBase0 = 0x1C, CardBusMemoryLimit0 = 0x20;
constexpr unsigned CardBusMemoryBase1 = 0x24, CardBusMemoryLimit1 = 0x28;
constexpr unsigned CardBusIoBase0 = 0x2C, CardBusIoLimit0 = 0x30;
constexpr unsigned CardBusIoBase1 = 0x34, CardBusIoLimit1 = 0x38;
}  // namespace reg

constexpr uint16_t CommandIo = 0x1, CommandMemory = 0x2, CommandMaster = 0x4;

// One base address register as the hardware implements it.
struct Bar {
    enum class Kind { None, Io, Memory32, Memory64 };
    Kind kind = Kind::None;
    uint64_t size = 0;          // a power of two
    bool prefetchable = false;
    bool ioUpperZero = false;   // an I/O BAR whose upper 16 bits are hard-wired to zero
};

class Bus;

// What a function implements beyond its header type, for a function built from the bytes of a
// real configuration space: the bytes say what the registers hold, not which bits are writable.
struct Implementation {
    std::vector<Bar> bars;       // by register; a 64-bit BAR is followed by an unused entry
    uint64_t romSize = 0;        // expansion ROM BAR, 0 for none
    bool ioWindow = true;        // bridges: the I/O window is implemented
    bool prefetchWindow = true;  // bridges: the prefetchable window is implemented
};

// Counts changes that can move a configuration cycle: a bridge's bus-number registers written,
// poked or reset, or a bridge placed on or taken off a bus. A hierarchy remembers each bus
// number's route until this moves on.
uint64_t routingGeneration();

// Header types.
enum class HeaderKind { Device = 0, Bridge = 1, CardBus = 2 };

enum class Actor : uint8_t;

class Function {
public:
    // An ordinary device (type 0 header).
    static std::unique_ptr<Function> device(uint16_t vendor, uint16_t deviceId, uint8_t baseClass,
                                            uint8_t subClass, uint8_t progIf,
                                            std::vector<Bar> bars);
    // A PCI-to-PCI bridge (type 1 header) with an empty bus behind it.
    static std::unique_ptr<Function> bridge(uint16_t vendor, uint16_t deviceId,
                                            bool prefetch64 = true, bool io32 = false,
                                            bool prefetchWindow = true);
    // A CardBus bridge (type 2 header) with an empty CardBus behind it.
    static std::unique_ptr<Function> cardBus(uint16_t vendor, uint16_t deviceId);
    // A function whose configuration space holds `bytes` (at least the 64-byte header; the rest
    // reads as zero), with the writable registers `impl` describes. Its power-on state is those
    // bytes with every writable bit cleared (command 0, BARs, bus numbers and windows 0), as
    // after a reset; `holdAsFound` makes the bytes themselves its current state, as firmware
    // left them. A power-management capability in the bytes' capability list resets the
    // function on a transition from D3hot to D0.
    static std::unique_ptr<Function> fromBytes(const std::vector<uint8_t>& bytes,
                                               const Implementation& impl);
    void holdAsFound(const std::vector<uint8_t>& bytes);

    ~Function();

    HeaderKind header() const { return header_; }
    bool isBridge() const { return header_ != HeaderKind::Device; }
    Bus* secondary() const { return secondary_.get(); }
    const std::vector<Bar>& bars() const { return bars_; }
    uint64_t romSize() const { return romSize_; }
    // The offset of the expansion ROM BAR for this header type (none for CardBus).
    unsigned romOffset() const;

    // Configuration access, byte by byte through the masks.
    uint32_t read(unsigned offset, unsigned length) const;
    void write(unsigned offset, unsigned length, uint32_t value);
    uint8_t byte(unsigned offset) const { return config_[offset]; }
    uint16_t word(unsigned offset) const { return static_cast<uint16_t>(read(offset, 2)); }
    uint32_t dword(unsigned offset) const { return read(offset, 4); }

    // Firmware and test access that ignores the masks (sets hard-wired values).
    void poke(unsigned offset, unsigned length, uint32_t value);
    // Which bits of a register software can change, as the function implements it; a value
    // written to the others is dropped and they keep what they hold.
    void setWriteMask(unsigned offset, unsigned length, uint32_t writable);

    // Marks the header as multi-function (bit 7 of the header type).
    void setMultiFunction(bool on);
    // Returns every register to its power-on value, and the hierarchy behind a bridge too.
    void reset();
    // Offset of the power-management capability, whose state field resets the function on a
    // transition from D3hot to D0.
    static constexpr unsigned PmCapability = 0x40;
    unsigned powerState() const { return pm_ != 0 ? config_[pm_ + 4] & 0x3 : 0; }
    // A bridge: who last wrote its secondary or subordinate bus number (firmware until anybody
    // configures it), so that a bus reached through numbers only the driver's scan gave is told
    // from one the bus driver numbered.
    Actor numberedBy() const { return numberedBy_; }
    void setNumberedBy(Actor who) { numberedBy_ = who; }

private:
    explicit Function(HeaderKind header);
    void setMask(unsigned offset, unsigned length, uint32_t writable, uint32_t clearable = 0);
    // The registers every header type shares: command, status (error bits write-one-to-clear),
    // cache line size and latency timer.
    void defineCommonMasks();
    void defineBars(unsigned count);
    void defineRom(uint64_t size);
    void defineBridgeWindows(bool io, bool io32, bool prefetch, bool prefetch64);
    void defineCardBusRegisters();

    HeaderKind header_;
    Actor numberedBy_{1};  // Actor::Firmware
    unsigned pm_ = 0;  // power-management capability, 0 when there is none
    uint64_t romSize_ = 0;
    std::array<uint8_t, 256> config_{};
    std::array<uint8_t, 256> powerOn_{};
    std::array<uint8_t, 256> writeMask_{};
    std::array<uint8_t, 256> clearMask_{};
    std::vector<Bar> bars_;
    std::unique_ptr<Bus> secondary_;
};

// What the platform asks firmware to set aside behind a bridge whose bus has hot-plug slots, as
// a board's firmware tables describe it: spare bus numbers and window space for cards inserted
// after boot. Sizes are powers of two (0 for none).
struct HotPlugReserve {
    unsigned buses = 0;
    uint64_t io = 0, memory = 0, prefetchable = 0;
};

// The functions of one card, by function number, as plugged into one device slot.
struct Card {
    std::string name;
    std::array<std::unique_ptr<Function>, 8> functions;
};

class Bus {
public:
    Function* function(unsigned device, unsigned fn) const;
    void place(unsigned device, unsigned fn, std::unique_ptr<Function> function);

    // Hot-plug slots: a device number whose card can be inserted and removed.
    void makeHotPlugSlot(unsigned device);
    bool isHotPlugSlot(unsigned device) const { return hotPlug_[device]; }
    bool hasHotPlugSlots() const;
    void setHotPlugReserve(const HotPlugReserve& reserve) { reserve_ = reserve; }
    const HotPlugReserve& hotPlugReserve() const { return reserve_; }
    bool occupied(unsigned device) const;
    // Inserts a card; it arrives in the reset state. False when the slot is not free.
    bool insert(unsigned device, Card card);
    // Takes the card out of a slot (empty when there was none).
    Card remove(unsigned device);

    // The bridges on this bus (PCI-to-PCI and CardBus), in device and function order: what a
    // configuration cycle for another bus number has to be offered to.
    struct BridgeAt {
        unsigned device, function;
        Function* bridge;
    };
    const std::vector<BridgeAt>& bridges() const { return bridges_; }

private:
    void indexBridges(unsigned device);

    std::array<std::array<std::unique_ptr<Function>, 8>, 32> slots_{};
    std::vector<BridgeAt> bridges_;
    std::array<bool, 32> hotPlug_{};
    HotPlugReserve reserve_;
};

// Reads `length` bytes (1, 2 or 4) of a function's configuration space at `offset`.
using ConfigReader = std::function<uint32_t(unsigned offset, unsigned length)>;
// The offset of the power-management capability, found as configuration software finds it: the
// status register says there is a list, the pointer at 0x34 starts it, each entry's second byte
// leads on (at most 48 entries, none below 0x40 or at 0xfc and above); 0 when there is none.
unsigned findPowerCapability(const ConfigReader& read);
// The same walk over a function's configuration bytes.
unsigned findPowerCapability(const std::array<uint8_t, 256>& config);

// The bridge, anywhere below `from` (depth first, in device and function order), whose secondary
// bus is `bus`; nullptr when none is.
const Function* bridgeAbove(const Bus& from, const Bus& bus);
// The bridge, anywhere below `from`, whose secondary bus holds `f`; nullptr when `f` is on `from`
// itself or nowhere below it.
const Function* bridgeAbove(const Bus& from, const Function& f);

// Who makes a configuration cycle. Cycles are the bus driver's unless the caller says otherwise
// (Hierarchy::ActingAs): firmware at boot, and the drivers above that reach configuration space
// through a function's bus interface or through the root bus's accessors.
enum class Actor : uint8_t { BusDriver, Firmware, BusInterface, RootAccessors, PnpManager, OtherDriver };
static_assert(static_cast<uint8_t>(Actor::Firmware) == 1, "a bridge is numbered by firmware until configured");

struct Transaction {
    bool write;
    unsigned bus, device, function, offset, length;
    uint32_t value;       // written, or read back
    bool claimed;         // some function answered
    Actor who = Actor::BusDriver;
    // Filled only while someone listens: for a write, what the addressed bytes held before it and
    // what they hold after it (the masks decide); the header type of the function that answered.
    uint32_t before = 0, after = 0;
    uint8_t headerType = 0xFF;
};

// Where a configuration cycle ends up: the bus segment it runs on as a type 0 cycle.
struct Route {
    Bus* bus = nullptr;
    std::vector<std::string> conflicts;  // bridges that claimed the same cycle
};

// The root complex: the root bus and the configuration mechanism that reaches every bus. A
// machine may have peer host bridges besides the first: each is a root bus of its own, reached
// for the bus numbers from its own up to the next root's, through bridges of its own.
class Hierarchy {
public:
    // The first root bus, bus 0.
    Bus& root() { return root_; }
    // Adds the root bus of a peer host bridge with the given number (1 to 255, not yet a root).
    Bus& addRoot(unsigned number);
    struct RootAt {
        unsigned number;
        Bus* bus;
    };
    // Every root bus, the first included, by bus number.
    std::vector<RootAt> roots();

    uint32_t configRead(unsigned bus, unsigned device, unsigned fn, unsigned offset,
                        unsigned length);
    void configWrite(unsigned bus, unsigned device, unsigned fn, unsigned offset,
                     unsigned length, uint32_t value);
    // The function a cycle to bus/device/function would reach, or nullptr.
    Function* locate(unsigned bus, unsigned device, unsigned fn);

    uint64_t transactions() const { return transactions_; }
    // Attributes every cycle made while it lives to `who`; scopes nest.
    class ActingAs {
    public:
        ActingAs(Hierarchy& hierarchy, Actor who) : hierarchy_(hierarchy), previous_(hierarchy.actor_)
        {
            hierarchy_.actor_ = who;
        }
        ~ActingAs() { hierarchy_.actor_ = previous_; }
        ActingAs(const ActingAs&) = delete;
        ActingAs& operator=(const ActingAs&) = delete;

    private:
        Hierarchy& hierarchy_;
        Actor previous_;
    };
    Actor actor() const { return actor_; }
    // Names the function the cycles made while it lives are meant for (a function's own bus
    // interface); a cycle that reaches another function, or none, is told to onMisrouted.
    class Intending {
    public:
        Intending(Hierarchy& hierarchy, const Function* intended)
            : hierarchy_(hierarchy), previous_(hierarchy.intended_)
        {
            hierarchy_.intended_ = intended;
        }
        ~Intending() { hierarchy_.intended_ = previous_; }
        Intending(const Intending&) = delete;
        Intending& operator=(const Intending&) = delete;

    private:
        Hierarchy& hierarchy_;
        const Function* previous_;
    };
    // Who is making cycles and for which function: state of the caller's thread, swapped by the
    // scheduler of the simulated processors as threads take turns.
    struct Caller {
        Actor who = Actor::BusDriver;
        const Function* intended = nullptr;
    };
    Caller caller() const { return Caller{actor_, intended_}; }
    void setCaller(Caller caller)
    {
        actor_ = caller.who;
        intended_ = caller.intended;
    }
    // Called before every cycle: one cycle is atomic, as under the HAL's lock, and this is where
    // another processor may get in first.
    std::function<void()> beforeCycle;
    std::function<void(const Transaction&, const Function* intended)> onMisrouted;
    void setLogging(bool on) { logging_ = on; }
    const std::vector<Transaction>& log() const { return log_; }
    void clearLog() { log_.clear(); }
    std::function<void(const Transaction&)> onTransaction;
    // Reported when two bridges on one bus both claim a cycle (overlapping bus-number ranges).
    std::function<void(const std::string&)> onConflict;

private:
    // Where a cycle for this bus number goes, remembered until the routing generation moves.
    const Route& route(unsigned bus);
    Route walk(unsigned bus);
    // The function a cycle reaches on the bus it was routed to.
    static Function* answering(const Route& route, unsigned device, unsigned fn);
    // Routes a cycle once, reports the bridges that claimed it together, and finds its function.
    Function* reach(unsigned bus, unsigned device, unsigned fn);
    void record(const Transaction& t);

    Bus root_;
    std::map<unsigned, std::unique_ptr<Bus>> peers_;
    struct RememberedRoute {
        uint64_t generation = ~uint64_t{0};
        Route route;
    };
    std::array<RememberedRoute, 256> routes_{};
    uint64_t transactions_ = 0;
    bool logging_ = false;
    Actor actor_ = Actor::BusDriver;
    const Function* intended_ = nullptr;
    std::vector<Transaction> log_;
};

}  // namespace pci
