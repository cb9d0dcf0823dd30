// Replaying a hot add on a machine that boots as found: the card at a function's device number
// is pulled out without warning and inserted again in its power-on state (command 0, BARs, bus
// numbers and windows as after reset), so the bus driver, the PnP manager and the driver treat it
// as a card hot added into that slot. Afterwards each bridge of the card is shown with the windows
// the captured machine had (its firmware's and the running system's choice) beside the windows
// the driver asked for, and whether everything behind it started.
#pragma once

#include <formats/model.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace formats {


struct ReplugBridge {
    std::string where;         // "01:00.0" as captured
    std::vector<Step> inCard;  // path from the slot to the bridge
    Window io, memory, prefetchable;  // as captured
};

// A CardBus bridge of the card, with its four windows as captured.
struct ReplugCardBus {
    std::string where;         // "00:0a.0" as captured
    std::vector<Step> inCard;  // path from the slot to the bridge
    std::string captured;      // as cardBusWindowsText prints them
};

// A function of the card, with the BARs as captured.
struct ReplugFunction {
    std::string where;  // "02:00.0" as captured
    std::vector<Step> path;
    std::vector<std::string> captured;  // "mem f0000000-f0000fff", one per assigned BAR
};

struct ReplugPlan {
    MachineDesc machine;     // the machine with the slot and the card in its catalogue
    ScenarioDesc scenario;   // surprise removal of the card, then its insertion
    unsigned root = 0;       // the root bus whose tree holds the slot
    std::vector<Step> slot;  // where the card sits, from that root
    std::vector<ReplugBridge> bridges;  // the card's bridges, depth first
    std::vector<ReplugCardBus> cardBuses;  // the card's CardBus bridges, depth first
    std::vector<ReplugFunction> functions;  // the card's own functions (those in the slot)
};

// `bdf` is "BB:DD.F" (or "DDDD:BB:DD.F") as the captured machine numbers it; the machine's
// bridges must carry their configuration bytes so that their bus numbers are known.
std::optional<ReplugPlan> planReplug(const MachineDesc& machine, std::string_view bdf,
                                     std::string& error);

// "f0000000-f00fffff (1M)", or "closed": a window as the replug plan and its comparison print it.
std::string windowText(const Window& w);

// A CardBus bridge's windows as its configuration bytes (at least 64) decode them: "memory 0
// 30000000-31ffffff (32M) prefetchable, memory 1 closed, io 0 ..., io 1 ...".
std::string cardBusWindowsText(const std::vector<uint8_t>& config);

}  // namespace formats
