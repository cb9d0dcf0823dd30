// The bus driver's construction, its records of functions and buses, and its own configuration
// accesses. Dispatch of its device objects, enumeration and bus numbers, resources and start, and
// configuration access through the interfaces each have a file of their own.
#include "internal.hpp"

#include <cstdio>

namespace pcibus {

namespace detail {
thread_local PciBusDriver* t_current = nullptr;
}  // namespace detail

using detail::t_current;

std::string FunctionNode::location() const
{
    char text[32];
    std::snprintf(text, sizeof text, "%02x:%02x.%u", parent != nullptr ? parent->number : 0u,
                  device, function);
    return text;
}

PciBusDriver::PciBusDriver(nt::Kernel& kernel, pci::Hierarchy& hardware)
    : kernel_(kernel), hw_(hardware), driver_(kernel.createDriverObject(u"\\Driver\\pci"))
{
    for (auto& major : driver_->MajorFunction) major = dispatch;
    driver_->DriverExtension->AddDevice = dispatchAddDevice;
    rootInterface_.Size = sizeof(PCI_BUS_INTERFACE_STANDARD);
    rootInterface_.Version = 1;
    rootInterface_.ReadConfig = rootReadConfig;
    rootInterface_.WriteConfig = rootWriteConfig;
    t_current = this;
}

PciBusDriver::~PciBusDriver()
{
    // The platform's own teardown: the bus driver's devices go quietly, whatever is left above
    // them is reported by the kernel's leak check.
    for (auto& b : buses_) kernel_.releasePlatformDevice(b->fdo);
    for (auto& f : functions_) kernel_.releasePlatformDevice(f->pdo);
    if (t_current == this) t_current = nullptr;
}

FunctionNode* PciBusDriver::function(PDEVICE_OBJECT pdo) const
{
    auto it = byPdo_.find(pdo);
    return it != byPdo_.end() ? it->second : nullptr;
}

BusNode* PciBusDriver::bus(PDEVICE_OBJECT fdo) const
{
    auto it = byFdo_.find(fdo);
    return it != byFdo_.end() ? it->second : nullptr;
}

std::string PciBusDriver::problem(PDEVICE_OBJECT pdo) const
{
    const FunctionNode* f = function(pdo);
    return f != nullptr ? f->problem : std::string();
}

std::vector<std::string> PciBusDriver::leaks() const
{
    std::vector<std::string> out;
    for (const auto& f : functions_) {
        if (f->interfaceReferences != 0) {
            out.push_back("bus interface of " + f->location() + " still holds " +
                          std::to_string(f->interfaceReferences) + " reference(s)");
        }
    }
    return out;
}

uint32_t PciBusDriver::read(const FunctionNode& f, unsigned offset, unsigned length)
{
    return hw_.configRead(f.parent->number, f.device, f.function, offset, length);
}

void PciBusDriver::write(const FunctionNode& f, unsigned offset, unsigned length, uint32_t value)
{
    hw_.configWrite(f.parent->number, f.device, f.function, offset, length, value);
}

}  // namespace pcibus
