// Where a slot or a function is, written the way a driver engineer reads lspci: a path of
// device.function steps from the root bus through bridges, independent of the bus numbers
// software happens to assign.
//
//   "02.0"            device 2, function 0 on the root bus ("00:02.0" says the same)
//   "80:02.0"         device 2, function 0 on the root bus of the peer host bridge at bus 80
//   "1e.0/00.0"       function 0 of device 0 on the bus behind the bridge at 1e.0
//   "1e.0/01"         device 1 behind that bridge: a slot, or function 0 of what is in it
//   "slot 1"          the slot the machine file labels "slot 1"; as a device, its function 0
//   "slot 2.0/01.1"   behind the bridge that is function 0 of the card in "slot 2"
//
// Device numbers are hexadecimal (00 to 1f), function numbers 0 to 7.
#pragma once

#include <machine/description.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace machine {

struct Step {
    unsigned device = 0;
    std::optional<unsigned> function;  // absent: a slot, or function 0 of a device

    unsigned functionOrZero() const { return function.value_or(0); }
};

struct Location {
    std::string label;                      // a labelled slot the path starts at, or empty
    std::optional<unsigned> labelFunction;  // the function of the card in that slot
    std::vector<Step> steps;                // further steps (all of them when unlabelled)
    unsigned root = 0;                      // the root bus an unlabelled path starts at
    std::string text;                       // as written
};

// Parses a location; on failure returns nothing and says why in `error`. A location parsed has
// a label or at least one step.
std::optional<Location> parseLocation(std::string_view text, std::string& error);
// False when a label could be mistaken for a path step or would cut a path in two.
bool isValidSlotLabel(std::string_view label);

// "1e.0/01.0"; a step without a function prints as its device alone.
std::string formatPath(const std::vector<Step>& steps);

// Replaces a label by the path of its slot in the machine's own tree. `root` receives the root
// bus the path starts at: the location's, or for a label the root bus whose tree has that slot.
std::optional<std::vector<Step>> resolveLocation(const MachineDesc& machine,
                                                 const Location& location, std::string& error,
                                                 unsigned* root = nullptr);

// Where a resolved path ends in the hardware as it is built now (cards inserted or not),
// found by walking bridges' secondary buses, not by bus numbers.
struct Place {
    pci::Bus* bus = nullptr;
    unsigned device = 0;
    std::optional<unsigned> function;

    pci::Function* target() const
    {
        return bus ? bus->function(device, function.value_or(0)) : nullptr;
    }
};
std::optional<Place> findPlace(pci::Hierarchy& hw, const std::vector<Step>& path,
                               std::string& error, unsigned root = 0);

}  // namespace machine
