// Configuration access through the interfaces: the standard bus interface handed to each
// function's stack, and the root accessors of the root bus.
#include "internal.hpp"

#include <algorithm>
#include <cstring>

namespace pcibus {

using detail::t_current;

ULONG PciBusDriver::transfer(unsigned bus, unsigned device, unsigned fn, bool isWrite,
                             uint8_t* buffer, ULONG offset, ULONG length)
{
    if (offset >= 256) return 0;
    length = std::min<ULONG>(length, 256 - offset);
    nt::FaultSite site;
    site.bus = bus;
    site.device = device;
    site.function = fn;
    site.write = isWrite;
    site.offset = offset;
    site.length = length;
    if (kernel_.faults().shouldFail(nt::FaultPoint::ShortConfigTransfer, site) && length > 0) {
        --length;
    }
    ULONG done = 0;
    while (done < length) {
        const ULONG at = offset + done;
        const ULONG left = length - done;
        // One configuration cycle per dword touched, with the byte enables of the bytes asked.
        const ULONG chunk = std::min<ULONG>(left, 4 - at % 4);
        uint32_t value = 0;
        if (isWrite) {
            std::memcpy(&value, buffer + done, chunk);
            hw_.configWrite(bus, device, fn, at, chunk, value);
        } else {
            value = hw_.configRead(bus, device, fn, at, chunk);
            std::memcpy(buffer + done, &value, chunk);
        }
        done += chunk;
    }
    return done;
}

ULONG NTAPI NT_IMAGE_CALLABLE PciBusDriver::getBusData(PVOID context, ULONG type, PVOID buffer, ULONG offset,
                                     ULONG length)
{
    FunctionNode* f = held(context, "GetBusData");
    if (f == nullptr) return 0;
    f->owner->checkInterfaceHeld(*f, "GetBusData");
    if (type != PCI_WHICHSPACE_CONFIG || !f->present) return 0;
    pci::Hierarchy::ActingAs caller(f->owner->hw_, pci::Actor::BusInterface);
    pci::Hierarchy::Intending intended(f->owner->hw_, f->hardware);
    return f->owner->transfer(f->parent->number, f->device, f->function, false,
                              static_cast<uint8_t*>(buffer), offset, length);
}

ULONG NTAPI NT_IMAGE_CALLABLE PciBusDriver::setBusData(PVOID context, ULONG type, PVOID buffer, ULONG offset,
                                     ULONG length)
{
    FunctionNode* f = held(context, "SetBusData");
    if (f == nullptr) return 0;
    f->owner->checkInterfaceHeld(*f, "SetBusData");
    if (type != PCI_WHICHSPACE_CONFIG || !f->present) return 0;
    pci::Hierarchy::ActingAs caller(f->owner->hw_, pci::Actor::BusInterface);
    pci::Hierarchy::Intending intended(f->owner->hw_, f->hardware);
    return f->owner->transfer(f->parent->number, f->device, f->function, true,
                              static_cast<uint8_t*>(buffer), offset, length);
}

// A caller that has given back every reference it held may not call through the interface.
void PciBusDriver::checkInterfaceHeld(const FunctionNode& f, const char* routine)
{
    if (f.interfaceReferences > 0) return;
    kernel_.violation("bus interface used after it was dereferenced",
                      std::string(routine) + " on " + f.location() + " with no reference held");
}

// The record behind an interface's context, or nullptr (a verifier finding) when the function has
// gone and its record with it.
FunctionNode* PciBusDriver::held(PVOID context, const char* routine)
{
    if (t_current == nullptr) return static_cast<FunctionNode*>(context);
    auto gone = t_current->retired_.find(context);
    if (gone == t_current->retired_.end()) return static_cast<FunctionNode*>(context);
    const bool release = std::strcmp(routine, "InterfaceDereference") == 0;
    t_current->kernel_.violation(release ? "interface released too often"
                                         : "bus interface used after it was dereferenced",
                                 std::string(routine) + " on " + gone->second +
                                     ", which has gone, with no reference held");
    return nullptr;
}

VOID NTAPI NT_IMAGE_CALLABLE PciBusDriver::referenceInterface(PVOID context)
{
    FunctionNode* f = held(context, "InterfaceReference");
    if (f == nullptr) return;
    f->owner->kernel_.preempt();
    ++f->interfaceReferences;
}

VOID NTAPI NT_IMAGE_CALLABLE PciBusDriver::dereferenceInterface(PVOID context)
{
    FunctionNode* f = held(context, "InterfaceDereference");
    if (f == nullptr) return;
    f->owner->kernel_.preempt();
    if (f->interfaceReferences <= 0) {
        f->owner->kernel_.violation("interface released too often",
                                    "InterfaceDereference on " + f->location() +
                                        " with no reference held");
        return;
    }
    if (--f->interfaceReferences == 0 && f->pdo == nullptr) f->owner->retire(*f);
}

ULONG NTAPI NT_IMAGE_CALLABLE PciBusDriver::rootReadConfig(PVOID, ULONG bus, ULONG slot, PVOID buffer, ULONG offset,
                                         ULONG length)
{
    pci::Hierarchy::ActingAs caller(t_current->hw_, pci::Actor::RootAccessors);
    return t_current->transfer(bus & 0xFF, slot & 0x1F, (slot >> 5) & 7, false,
                               static_cast<uint8_t*>(buffer), offset, length);
}

ULONG NTAPI NT_IMAGE_CALLABLE PciBusDriver::rootWriteConfig(PVOID, ULONG bus, ULONG slot, PVOID buffer,
                                          ULONG offset, ULONG length)
{
    pci::Hierarchy::ActingAs caller(t_current->hw_, pci::Actor::RootAccessors);
    return t_current->transfer(bus & 0xFF, slot & 0x1F, (slot >> 5) & 7, true,
                               static_cast<uint8_t*>(buffer), offset, length);
}

}  // namespace pcibus
