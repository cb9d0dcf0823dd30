// A whole machine: PCI hardware built from a description, firmware, the kernel stand-in with the
// PCI bus driver, a generic function driver and the PnP manager, and (unless left out) a fresh
// copy of hotpflt installed as a filter on the root bus device. Plays scenario events and reports
// everything that happens as a stream of outputs.
#pragma once

#include <machine/description.hpp>
#include <machine/scenario.hpp>

#include <nt/kernel.hpp>
#include <pci/hardware.hpp>
#include <pcibus/bus_driver.hpp>
#include <pnp/manager.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace machine {

struct MachineOptions {
    bool withDriver = true;
    std::string driverPath;
    ULONG traceLevel = 0;
    ULONG breakLevel = 0;
    bool pendAll = false;  // the bus driver pends every request it can
};

struct Output {
    enum class Kind {
        Step,        // a scenario event begins
        Firmware,    // what firmware configured
        Request,     // a request the PnP or power manager sent
        Trace,       // a line the driver printed
        Break,       // a breakpoint the driver hit (recorded, not stopped)
        EventLog,    // an event-log entry, rendered
        Config,      // a configuration write
        BusNumbers,  // a write of a bridge's bus numbers
        Conflict,    // two bridges claimed one configuration cycle
        Problem,     // a device not started, and why
        Note,        // anything else worth saying
    } kind;
    std::string text;
};

const char* outputKindName(Output::Kind kind);

class Machine {
public:
    Machine(MachineDesc description, MachineOptions options,
            std::function<void(const Output&)> sink);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Firmware, then the PnP manager's boot of the root bus and everything below it.
    void boot();
    // Plays one event; false (with a Problem output) when it cannot be applied.
    bool apply(const Event& event);
    // Removes every device, then reports and returns what the verifier found and what leaked.
    std::vector<std::string> shutdown();

    nt::Kernel& kernel() { return kernel_; }
    pci::Hierarchy& hardware() { return hw_; }
    pcibus::PciBusDriver& busDriver() { return bus_; }
    pnp::Manager& pnpManager() { return *pnp_; }
    const MachineDesc& description() const { return desc_; }
    const std::optional<nt::LoadedDriver>& driver() const { return driver_; }
    uint64_t configTransactions() const { return hw_.transactions(); }
    // Configuration cycles two bridges on one bus both claimed; a correct driver causes none.
    const std::vector<std::string>& conflicts() const { return conflicts_; }

    // The PCI tree with each device's state, and each device's stack of device objects.
    std::vector<std::string> describeTree();
    // The PnP node of a function, by its bus number and slot.
    pnp::DeviceNode* nodeAt(unsigned bus, unsigned device, unsigned function);
    std::string nameOf(PDEVICE_OBJECT pdo);

private:
    void emit(Output::Kind kind, const std::string& text);
    std::optional<unsigned> busNumberOf(const pci::Bus* bus);
    pnp::DeviceNode* busNode(unsigned number);

    MachineDesc desc_;
    MachineOptions options_;
    std::function<void(const Output&)> sink_;
    nt::Kernel kernel_;
    pci::Hierarchy hw_;
    pcibus::PciBusDriver bus_;
    pcibus::GenericFunctionDriver generic_;
    std::optional<nt::LoadedDriver> driver_;
    std::unique_ptr<pnp::Manager> pnp_;
    bool shutDown_ = false;
    std::vector<std::string> conflicts_;
};

}  // namespace machine
