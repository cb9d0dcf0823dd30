// The stream a machine reports what happens on: one output per thing that happened, its kind and
// its fields, as docs/hotpsim-events.md describes them.
#pragma once

#include <nt/kernel.hpp>
#include <pci/hardware.hpp>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace machine {

// One thing that happened. `text` is a short line; `fields` carry the event's data, one set of
// fields per kind, as docs/hotpsim-events.md describes them (hotpsim's --json prints them, its
// story is written from them). A configuration cycle (a write, a read, a bridge's bus numbers)
// has no text: `cycle` holds it as the hardware saw it, and the views write what it says.
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
        Granted,       // arbitration gave a range from an alternative descriptor, not the first
    } kind;
    std::string text;
    nlohmann::ordered_json fields = nlohmann::ordered_json::object();
    std::optional<pci::Transaction> cycle = std::nullopt;
};

// The kind's name as --json writes it.
const char* outputKindName(Output::Kind kind);

// Who made a configuration cycle, as an event's "who" field names it.
const char* actorKey(pci::Actor who, bool driverLoaded);

// A requirements list as JSON descriptors: {"type", "flags", "length", "alignment", "minimum",
// "maximum", "option"}, every alternative list one after another (field "list").
nlohmann::ordered_json requirementsJson(const std::vector<uint8_t>& bytes);

}  // namespace machine
