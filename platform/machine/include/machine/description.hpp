// A machine described as plain data: what sits on the root bus, what sits behind each bridge,
// which device numbers are hot-plug slots, and a catalogue of cards that can be inserted into
// them. Machine files are parsed into these structures; the builders turn them into hardware.
#pragma once

#include <pci/hardware.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace machine {

// An address range [base, limit]; closed (decoding nothing) when base > limit.
struct Window {
    uint64_t base = 1;
    uint64_t limit = 0;

    bool open() const { return base <= limit; }
    uint64_t size() const { return open() ? limit - base + 1 : 0; }
    bool contains(uint64_t address, uint64_t length) const
    {
        return open() && length != 0 && address >= base && address - base <= limit - base &&
               length - 1 <= limit - address;
    }
};

// The ranges the host bridge forwards to the root bus. A closed prefetchable window means the
// root has none; prefetchable BARs then share the memory window.
struct RootWindows {
    Window io, memory, prefetchable;
    // Memory above 4G, where a captured machine's firmware may have put 64-bit BARs; closed
    // when there is none. Only devices found there at boot use it.
    Window memory64;
};

enum class FunctionKind { Device, Bridge, CardBus };

struct FunctionDesc;

// A device number on a bus whose card can be inserted and removed.
struct SlotDesc {
    unsigned device = 0;
    std::string label;  // how scenarios may name it ("slot 1"); may be empty
    unsigned line = 0;  // where it was described; 0 when built in code
};

// One bus segment: the functions on it, its hot-plug slots (functions placed at a slot's device
// number form a card that is present at boot) and what firmware sets aside for those slots.
struct BusDesc {
    std::vector<FunctionDesc> functions;
    std::vector<SlotDesc> slots;
    pci::HotPlugReserve reserve;

    const SlotDesc* slot(unsigned device) const;
};

struct FunctionDesc {
    unsigned device = 0;    // on its bus; not used for a card's functions (the slot decides)
    unsigned function = 0;  // 0 to 7
    FunctionKind kind = FunctionKind::Device;
    std::string name;       // shown to the user
    uint16_t vendor = 0;
    uint16_t deviceId = 0;
    uint8_t revision = 0;
    uint8_t baseClass = 0, subClass = 0, progIf = 0;  // bridges have their class fixed
    // By register number; a 64-bit BAR is followed by an unused entry (its upper half).
    std::vector<pci::Bar> bars;
    bool prefetch64 = true;  // bridges: 64-bit prefetchable window
    bool io32 = false;       // bridges: 32-bit I/O window
    bool ioWindow = true;        // bridges: an I/O window is implemented
    bool prefetchWindow = true;  // bridges: a prefetchable window is implemented
    uint64_t romSize = 0;        // expansion ROM BAR; 0 for none
    // The configuration bytes of a real function (64 to 256): identity, class, header type and
    // capabilities come from them, BAR kinds and sizes from `bars`. Empty when not given.
    std::vector<uint8_t> config;
    // Which bits of the command, cache line size and latency timer registers are writable;
    // unset, the defaults for the function's class (writeMasksFor).
    std::optional<uint16_t> commandMask;
    std::optional<uint8_t> cacheLineMask, latencyMask;
    BusDesc secondary;       // bridges: the bus behind
    unsigned line = 0;

    bool isBridge() const { return kind == FunctionKind::Bridge; }
};

struct CardDesc {
    std::string name;
    std::vector<FunctionDesc> functions;  // by FunctionDesc::function
    unsigned line = 0;
};

// The root bus of a peer host bridge: its bus number, the windows its host bridge forwards and
// what sits on it. Its bus-number range reaches up to the next root's number.
struct PeerRootDesc {
    unsigned number = 0;  // 1 to 255
    RootWindows windows;
    BusDesc bus;
    unsigned line = 0;
};

struct MachineDesc {
    std::string name;
    // Firmware leaves the machine as its functions' configuration bytes describe it (bus
    // numbers, BARs, windows, command registers), as on a machine whose state was captured
    // after boot; otherwise firmware configures everything present.
    bool asFound = false;
    RootWindows windows;
    BusDesc root;
    std::vector<PeerRootDesc> peers;  // by bus number
    std::vector<CardDesc> cards;

    const CardDesc* card(std::string_view cardName) const;
};

// The windows a machine gets when its file does not give them.
RootWindows defaultRootWindows();

// The writable bits of the command, cache line size and latency timer registers of a function
// as hardware of its kind usually implements them: I/O and memory enables only where there is
// something to decode, bus master, parity and SERR# responses and interrupt disable everywhere,
// VGA palette snoop only on display controllers and bridges, none of special cycles, memory
// write and invalidate or fast back-to-back; latency timers without their low three bits.
struct WriteMasks {
    uint16_t command;
    uint8_t cacheLine, latency;
};
WriteMasks writeMasksFor(const FunctionDesc& desc);

// A generic name for a class code ("network controller", "PCI-to-PCI bridge").
std::string className(uint8_t baseClass, uint8_t subClass);

// The function in its power-on state; for a bridge, with the whole bus behind it (its
// functions, multi-function headers, hot-plug slots and their reservation).
std::unique_ptr<pci::Function> buildFunction(const FunctionDesc& desc);
// A card ready for insertion; functions other than 0 make function 0 multi-function.
pci::Card buildCard(const CardDesc& desc);
// Places the machine's root bus contents into an empty hierarchy.
void populate(pci::Hierarchy& hw, const MachineDesc& desc);

}  // namespace machine
