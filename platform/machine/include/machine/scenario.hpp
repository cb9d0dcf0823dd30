// A scenario: what happens to a machine after it boots, as timed events. Scenario files are
// parsed into these structures (see machine_file.hpp); checkScenario plays the events against
// a machine's description to find slots and devices that will not be there.
#pragma once

#include <machine/description.hpp>
#include <machine/location.hpp>

#include <nt/kernel.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace machine {

enum class EventKind {
    Insert,          // a card goes into a slot (the slot reports the change)
    Remove,          // orderly removal: the user asks for the slot to be ejected
    SurpriseRemove,  // the card is pulled without warning
    Power,           // a device goes to a device power state
    Sleep,           // the system goes to a sleep state
    Wake,            // the system returns to S0
    Fail,            // a call is made to fail from here on (fault injection), to replay a fault
};

struct Event {
    uint64_t atMs = 0;     // milliseconds after boot
    EventKind kind = EventKind::Insert;
    std::string card;      // Insert: the catalogue name
    Location slot;         // Insert, Remove, SurpriseRemove
    Location device;       // Power
    unsigned deviceState = 0;  // Power: 0 to 3 (D3 is D3hot)
    unsigned systemState = 0;  // Sleep: 1 to 4
    // Fail: the named fault ("pool", "config-read", ...; "none" disarms every fault), aimed at
    // `device` and, for configuration transfers, at the transfer covering `offset`. The nth use
    // that matches fails, and with `once` false every one after it too.
    std::string fault;
    uint64_t nth = 1;
    bool once = true;
    std::optional<unsigned> offset;
    unsigned line = 0;
};

struct ScenarioDesc {
    std::string name;
    std::string fileName;  // for messages about its lines
    std::vector<Event> events;  // in time order
};

const char* eventName(EventKind kind);

// The calls a fail event or `hotpsim --fail` can make fail, as users name them.
struct FaultName {
    const char* name;
    const char* what;  // one line for --help
    bool config;       // a configuration transfer: may be aimed at an offset
    bool aimable;      // concerns one function: may be aimed at a device
    nt::FaultPoint point;             // the stand-in's call that fails
    std::optional<bool> write = {};  // configuration transfers of one direction only
};
const std::vector<FaultName>& faultNames();
const FaultName* findFaultName(const std::string& name);

// Plays the events against the machine's description: every card must be in the catalogue,
// every slot a hot-plug slot, a slot empty when a card goes in and full when one comes out,
// every powered device present at that moment, sleep and wake alternating. Returns errors as
// "file:line: message".
std::vector<std::string> checkScenario(const ScenarioDesc& scenario, const MachineDesc& machine);

}  // namespace machine
