// Large machines made to measure: a tree of PCI-to-PCI bridges filling a given number of bus
// numbers, a given number of ordinary functions on every bus, and a hot-plug bridge on the root
// bus whose firmware reserve is deep enough for the deepest card the driver serves.
//
//   root bus     00.0 host bridge, the generated bridges and functions, 1f.0 hot-plug bridge
//   each bus     `width` ordinary functions (memory BAR of 4 KB each), packed eight to a
//                multi-function device, and as many bridges as the tree needs there
//   the tree     bridges handed out breadth first, nesting at most `depth` deep, with the
//                smallest fan-out that fits the bus count within that depth
//   hot plug     1f.0 has slots 01 ("slot 1") and 02 ("slot 2") and keeps 32 spare bus numbers,
//                so its bus and spares are the last 33 numbers firmware hands out
//
// The catalogue is the built-in machine's plus "bridge chain": 31 bridges, each behind the
// previous one, with a serial bus controller behind the innermost, the deepest hierarchy whose
// bridges all lie within the 31 bridges the driver's scan can follow from the root.
#pragma once

#include <formats/model.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace formats {

struct MachineShape {
    unsigned width = 4;    // ordinary functions per bus
    unsigned depth = 4;    // deepest nesting of generated bridges below the root bus
    unsigned buses = 64;   // bus numbers firmware hands out, 00 up to buses - 1
};

constexpr unsigned GeneratedSpareBuses = 32;
constexpr unsigned BridgeChainDepth = 31;
constexpr unsigned MaxGeneratedBuses = 255;  // bus numbers 00 to fe

// Reads "width=4,depth=3,buses=64" (any order, each key at most once, missing keys keep their
// defaults). On failure returns nothing and says why in `error`.
std::optional<MachineShape> parseShape(std::string_view text, std::string& error);

// The machine of that shape, or nothing (and why) when the shape cannot be built: too few or
// too many bus numbers, or bridges that do not fit within the depth and the 32 device numbers
// of each bus.
std::optional<MachineDesc> generateMachine(const MachineShape& shape, std::string& error);

// Ordinary functions the machine of that shape has (bridges and the host bridge not counted).
unsigned generatedFunctions(const MachineShape& shape);

}  // namespace formats
