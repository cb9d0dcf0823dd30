// A whole machine: PCI hardware built from a description, firmware, the kernel stand-in with the
// PCI bus driver, a generic function driver and the PnP manager, and (unless left out) a fresh
// copy of hotpflt installed as a filter on the root bus device. Plays scenario events and reports
// everything that happens as a stream of outputs.
#pragma once

#include <machine/description.hpp>
#include <machine/location.hpp>
#include <machine/output.hpp>
#include <machine/scenario.hpp>

#include <nt/kernel.hpp>
#include <pci/hardware.hpp>
#include <pcibus/bus_driver.hpp>
#include <pnp/manager.hpp>

#include <array>
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
    bool pendAll = false;      // the bus driver pends every request it can
    bool allRequirements = false;  // report every filtered requirement list, kept ones too
    bool reportReads = false;  // configuration reads are reported too (Output::Kind::Read)
};

class Machine {
public:
    Machine(MachineDesc description, MachineOptions options,
            std::function<void(const Output&)> sink);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Firmware, then the PnP manager's boot of the root bus and everything below it.
    // `armed`: fail events armed once firmware has run and before the operating system starts,
    // so that a fault aimed at a device finds the bus numbers firmware gave it.
    void boot(const std::vector<Event>& armed = {});
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

    // The PnP node of a function, by its bus number and slot.
    pnp::DeviceNode* nodeAt(unsigned bus, unsigned device, unsigned function);
    // Bus, device and function numbers of a location as the bus numbers stand now.
    std::optional<std::array<unsigned, 3>> addressOf(const Location& where);
    std::string nameOf(PDEVICE_OBJECT pdo);
    // "bb:dd.f" of a node's function; empty for the root bus device.
    std::string locationOf(const pnp::DeviceNode& node);
    // What a device object is on its stack: "PDO", "function driver", "bus filter", "child
    // filter" or "filter"; the driver's objects are told apart by the record they carry.
    std::string roleOf(PDEVICE_OBJECT device);
    // "hotpflt!HotpAddDevice+0x4c", as a kernel debugger names a code address.
    std::string symbolize(const void* address);
    // An address within the driver (its code or its globals) by what is the same in every run:
    // "hotpflt!HotpAddDevice+0x4c" where the module names it, "hotpflt+0x2040" in a kernel image
    // or where it does not; empty for an address outside the driver.
    std::string stableName(const void* address);

    // On simulated processors: every output is marked with the processor and thread it came
    // from (fields "cpu" and "thread"); nullopt leaves outputs unmarked.
    void setMark(std::optional<std::pair<int, std::string>> mark) { mark_ = std::move(mark); }
    // Cycles made through a function's bus interface that reached another function (or none),
    // as "bb:dd.f offset 0xNN reached ..." lines.
    const std::vector<std::string>& misroutes() const { return misroutes_; }

private:
    // Where an event's location is now: the place in the hardware and its bus's number.
    struct Target {
        Place place;
        unsigned bus = 0;
    };

    void reportKernel();
    void reportHardware();
    void loadFilter();
    void startPnpManager();
    void onErrorLogEntry(const nt::ErrorLogEntry& entry);
    void onFaultFired(nt::FaultPoint point, const nt::FaultSite& site, bool persistent);

    // Each returns false after a Problem output saying why the event cannot be applied.
    bool refuse(const Event& event, const std::string& why);
    std::optional<Target> locate(const Event& event, const Location& where);
    bool armFault(const Event& event);
    bool insertCard(const Event& event, const Target& target);
    bool removeCard(const Event& event, const Target& target);
    bool setPower(const Event& event, const Target& target);

    void emit(Output::Kind kind, const std::string& text,
              nlohmann::ordered_json fields = nlohmann::ordered_json::object(),
              std::optional<pci::Transaction> cycle = std::nullopt);
    void onTransaction(const pci::Transaction& t);
    void onPnpEvent(const pnp::Event& e);
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
    std::optional<nlohmann::ordered_json> scanTotals_;  // of the requirements being filtered
    std::optional<std::pair<int, std::string>> mark_;
    std::vector<std::string> misroutes_;
};

}  // namespace machine
