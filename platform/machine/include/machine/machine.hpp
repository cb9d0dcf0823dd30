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

#include <nlohmann/json.hpp>

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
    bool reportReads = false;  // configuration reads are reported too (Output::Kind::Read)
};

// One thing that happened. `text` is a short line that stays stable for tests; `fields` carry the
// event's data, one set of fields per kind, as docs/hotpsim-events.md describes them (hotpsim's
// --json prints them, its story is written from them).
struct Output {
    enum class Kind {
        Step,          // a scenario event begins
        Firmware,      // what firmware configured
        Request,       // a request the PnP or power manager sent
        Trace,         // a line the driver printed
        Break,         // a breakpoint the driver hit (recorded, not stopped)
        EventLog,      // an event-log entry, rendered
        Config,        // a configuration write
        Read,          // a configuration read (only with MachineOptions::reportReads)
        BusNumbers,    // a write of a bridge's bus numbers
        Conflict,      // two bridges claimed one configuration cycle
        Problem,       // a device not started, or an event that could not be applied, and why
        Note,          // anything else worth saying
        Requirements,  // a device's requirements as filtering found and left them
        Reset,         // a function reset by its return from D3hot to D0
    } kind;
    std::string text;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
};

// The kind's name as --json writes it.
const char* outputKindName(Output::Kind kind);

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

    // The PCI tree with each device's state, and each device's stack of device objects.
    std::vector<std::string> describeTree();
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

    // On simulated processors: every output is marked with the processor and thread it came
    // from (fields "cpu" and "thread"); nullopt leaves outputs unmarked.
    void setMark(std::optional<std::pair<int, std::string>> mark) { mark_ = std::move(mark); }
    // Cycles made through a function's bus interface that reached another function (or none),
    // as "bb:dd.f offset 0xNN reached ..." lines.
    const std::vector<std::string>& misroutes() const { return misroutes_; }

private:
    void emit(Output::Kind kind, const std::string& text,
              nlohmann::ordered_json fields = nlohmann::ordered_json::object());
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
