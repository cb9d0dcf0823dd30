// The boot firmware's PCI pass: configures what is present at power-on through configuration
// cycles alone, the way a PC's firmware does before the operating system starts.
//
// - Bus numbers, depth first: each bridge found gets the next number as its secondary bus, its
//   ancestors' subordinate numbers are raised so cycles reach it, and once its subtree is
//   numbered its subordinate number covers that subtree plus the spare numbers the platform
//   asks for behind a bridge with hot-plug slots.
// - BARs are sized by writing all ones and reading back, then assigned from the root's windows
//   with natural alignment; a bridge's windows (I/O on 4 KB, memory and prefetchable memory on
//   1 MB granularity) enclose everything behind it plus the platform's hot-plug reservation.
//   An empty window is programmed closed (base above limit). Prefetchable BARs go to the
//   prefetchable windows when the root has one, else to the memory windows.
// - Decoding on: I/O and memory space as the assigned BARs and windows need, bus master for
//   every function that decodes something. Cache line size (32 bytes) and latency timers (64)
//   are set as firmware sets them.
// What does not fit stays unassigned, with its decoding off, and is reported as a problem.
#pragma once

#include <machine/description.hpp>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace machine {

constexpr uint8_t FirmwareCacheLineSize = 0x08;  // in dwords
constexpr uint8_t FirmwareLatencyTimer = 0x40;

struct BarReport {
    unsigned index = 0;     // register number
    pci::Bar bar;           // as sizing found it
    bool assigned = false;
    uint64_t address = 0;
};

struct BridgeReport {
    unsigned primary = 0, secondary = 0, subordinate = 0;
    unsigned spareBuses = 0;  // reserved for hot plug, included in subordinate
    Window io, memory, prefetchable;  // as programmed; closed ones are closed
};

struct FunctionReport {
    unsigned bus = 0, device = 0, function = 0;
    pci::HeaderKind header = pci::HeaderKind::Device;
    uint16_t vendor = 0, deviceId = 0;
    uint32_t classCode = 0;  // base class, sub-class, programming interface
    std::vector<BarReport> bars;
    uint16_t command = 0;    // as left
    uint64_t romSize = 0;    // expansion ROM, 0 for none
    uint64_t romAddress = 0;
    std::optional<BridgeReport> bridge;  // PCI-to-PCI and CardBus bridges
};

struct FirmwareReport {
    std::vector<FunctionReport> functions;  // in the order found (depth first)
    std::vector<std::string> problems;      // what could not be configured
    unsigned lastBus = 0;                   // highest bus number handed out
    // With peer host bridges: each root bus and the highest number below it, by root.
    struct RootRange {
        unsigned first, last;
    };
    std::vector<RootRange> roots;

    // As hotpsim prints it: one line per function, its BARs and a bridge's buses and windows
    // indented below it, then the problems.
    std::vector<std::string> lines() const;
};

// With `asFound`, firmware assigns nothing and reports what the functions hold (bus numbers,
// BARs, windows, command registers), as on a machine captured after its firmware ran.
FirmwareReport runFirmware(pci::Hierarchy& hw, const RootWindows& windows, bool asFound = false);

// A machine with peer host bridges: each root's hierarchy in turn, by bus number, numbering the
// buses below it up to the next root's number and placing what it decodes in its own windows.
struct FirmwareRoot {
    unsigned number = 0;
    RootWindows windows;
};
FirmwareReport runFirmware(pci::Hierarchy& hw, const std::vector<FirmwareRoot>& roots,
                           bool asFound);

// The report's lines, each ended by a newline.
void printFirmwareReport(std::ostream& out, const FirmwareReport& report);

}  // namespace machine
