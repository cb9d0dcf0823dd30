// What the parts of the bus driver share: the byte accessors of its device extensions, the bus
// driver of the running machine, and the ranges a function decodes or asks for.
#pragma once

#include <pcibus/bus_driver.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace pcibus::detail {

// The bus driver of the machine running on this thread: the root accessors and AddDevice carry
// no context of their own.
extern thread_local PciBusDriver* t_current;

template <typename T>
void put(PDEVICE_OBJECT device, size_t offset, T value)
{
    std::memcpy(static_cast<uint8_t*>(device->DeviceExtension) + offset, &value, sizeof value);
}

template <typename T>
T get(PDEVICE_OBJECT device, size_t offset)
{
    T value;
    std::memcpy(&value, static_cast<const uint8_t*>(device->DeviceExtension) + offset,
                sizeof value);
    return value;
}

// A range a function decodes, or asks for.
struct Range {
    UCHAR type;     // CmResourceTypePort or CmResourceTypeMemory
    USHORT flags;
    uint64_t start; // meaningful when pinned
    uint64_t length;
    bool pinned;    // decoding is on: the range stays where firmware put it
    ResourceSlot slot;
};

constexpr unsigned kCommandDecode = pci::CommandIo | pci::CommandMemory;

// What a function asks for: one range per implemented BAR and, for a bridge, its three windows.
// A function that already decodes keeps what firmware gave it; a bridge whose decoding is off asks
// for windows as small as its granularity allows.
std::vector<Range> ranges(PciBusDriver& driver, const FunctionNode& f);

// Why a function cannot ask for what it decodes: a BAR or window of 4 GB or more, which no
// resource descriptor of this system can describe; empty when every range fits.
std::string undescribable(PciBusDriver& driver, const FunctionNode& f);

}  // namespace pcibus::detail
