#include <machine/scenario.hpp>

#include <pci/registers.hpp>

#include <cstdio>
#include <map>

namespace machine {

const char* eventName(EventKind kind)
{
    switch (kind) {
    case EventKind::Insert: return "insert";
    case EventKind::Remove: return "remove";
    case EventKind::SurpriseRemove: return "surprise_remove";
    case EventKind::Power: return "power";
    case EventKind::Sleep: return "sleep";
    case EventKind::Wake: return "wake";
    case EventKind::Fail: return "fail";
    }
    return "?";
}

const std::vector<FaultName>& faultNames()
{
    static const std::vector<FaultName> names = {
        {"create-device", "IoCreateDevice returns no device", false, false,
         nt::FaultPoint::CreateDevice},
        {"attach-device", "IoAttachDeviceToDeviceStack attaches nothing", false, false,
         nt::FaultPoint::AttachDevice},
        {"build-request", "IoBuildSynchronousFsdRequest returns no request", false, false,
         nt::FaultPoint::BuildRequest},
        {"pool", "ExAllocatePoolWithTag returns nothing", false, false, nt::FaultPoint::AllocatePool},
        {"error-log", "IoAllocateErrorLogEntry returns no entry", false, false,
         nt::FaultPoint::AllocateErrorLogEntry},
        {"query-interface", "the bus driver refuses a bus interface query", false, true,
         nt::FaultPoint::QueryInterface},
        {"config", "a configuration read or write moves one byte less than asked", true, true,
         nt::FaultPoint::ShortConfigTransfer},
        {"config-read", "a configuration read returns one byte less than asked", true, true,
         nt::FaultPoint::ShortConfigTransfer, false},
        {"config-write", "a configuration write stores one byte less than asked", true, true,
         nt::FaultPoint::ShortConfigTransfer, true},
        {"lower-fail", "the bus driver fails a request it may fail (start, resource queries, "
                       "query-remove, bus relations)", false, true, nt::FaultPoint::LowerFail},
        {"lower-pend", "the bus driver pends a request and completes it later", false, true,
         nt::FaultPoint::LowerPend},
    };
    return names;
}

const FaultName* findFaultName(const std::string& name)
{
    for (const FaultName& f : faultNames()) {
        if (name == f.name) return &f;
    }
    return nullptr;
}

namespace {

// The machine's description with the scenario's cards in its slots, as far as the events so
// far have put them there.
class Replay {
public:
    explicit Replay(const MachineDesc& machine) : machine_(machine) {}

    // Where a path ends: the bus its last step is on, and what answers there now.
    struct Found {
        const BusDesc* bus = nullptr;
        std::string slotKey;  // the bus's path and the device number
        unsigned device = 0;
        std::vector<const FunctionDesc*> functions;  // at that device now
    };

    bool walk(const std::vector<Step>& path, Found& found, std::string& error,
              unsigned root = 0) const
    {
        const BusDesc* bus = root == 0 ? &machine_.root : nullptr;
        for (const PeerRootDesc& peer : machine_.peers) {
            if (peer.number == root) bus = &peer.bus;
        }
        if (bus == nullptr) {
            error = "bus " + pci::hex(root, 2) + " is not a root bus of the machine";
            return false;
        }
        std::string busKey = root == 0 ? std::string() : pci::hex(root, 2) + ":";
        for (size_t i = 0; i < path.size(); ++i) {
            const Step& step = path[i];
            found.bus = bus;
            found.device = step.device;
            found.slotKey = busKey + "/" + pci::hex(step.device & 0xFF, 2);
            found.functions = at(*bus, found.slotKey, step.device);
            if (i + 1 == path.size()) return true;
            const FunctionDesc* f = pick(found.functions, step.functionOrZero());
            const std::vector<Step> prefix(path.begin(), path.begin() + static_cast<long>(i) + 1);
            if (f == nullptr) {
                error = formatPath(prefix) + " is empty at that moment";
                return false;
            }
            if (!f->isBridge()) {
                error = formatPath(prefix) + " (" + f->name + ") is not a PCI-to-PCI bridge";
                return false;
            }
            busKey += '/';
            busKey += pci::hex(step.device & 0xFF, 2) + "." + std::to_string(step.functionOrZero());
            bus = &f->secondary;
        }
        error = "an empty path";
        return false;
    }

    static const FunctionDesc* pick(const std::vector<const FunctionDesc*>& functions,
                                    unsigned function)
    {
        for (const FunctionDesc* f : functions) {
            if (f->function == function) return f;
        }
        return nullptr;
    }

    void setSlot(const std::string& key, std::vector<const FunctionDesc*> functions)
    {
        slots_[key] = std::move(functions);
    }

private:
    std::vector<const FunctionDesc*> at(const BusDesc& bus, const std::string& key,
                                        unsigned device) const
    {
        if (bus.slot(device) != nullptr) {
            auto it = slots_.find(key);
            if (it != slots_.end()) return it->second;
        }
        std::vector<const FunctionDesc*> out;
        for (const FunctionDesc& f : bus.functions) {
            if (f.device == device) out.push_back(&f);
        }
        return out;
    }

    const MachineDesc& machine_;
    std::map<std::string, std::vector<const FunctionDesc*>> slots_;
};

}  // namespace

std::vector<std::string> checkScenario(const ScenarioDesc& scenario, const MachineDesc& machine)
{
    std::vector<std::string> errors;
    auto fail = [&](const Event& e, const std::string& message) {
        errors.push_back(scenario.fileName + ":" + std::to_string(e.line) + ": " + message);
    };
    Replay replay(machine);
    unsigned asleepSince = 0;  // line of the sleep event, 0 when awake
    for (const Event& e : scenario.events) {
        if (asleepSince != 0 && e.kind != EventKind::Wake && e.kind != EventKind::Fail) {
            fail(e, std::string(eventName(e.kind)) + " while the machine sleeps (since line " +
                        std::to_string(asleepSince) + ")");
            continue;
        }
        std::string error;
        switch (e.kind) {
        case EventKind::Insert:
        case EventKind::Remove:
        case EventKind::SurpriseRemove: {
            const CardDesc* card = nullptr;
            if (e.kind == EventKind::Insert) {
                card = machine.card(e.card);
                if (card == nullptr) {
                    fail(e, "no card '" + e.card + "' in the machine's catalogue");
                    continue;
                }
            }
            unsigned root = 0;
            auto path = resolveLocation(machine, e.slot, error, &root);
            Replay::Found found;
            if (!path || !replay.walk(*path, found, error, root)) {
                fail(e, "slot '" + e.slot.text + "': " + error);
                continue;
            }
            if (found.bus->slot(found.device) == nullptr) {
                fail(e, "'" + e.slot.text + "' (" + formatPath(*path) + ") is not a hot-plug slot");
                continue;
            }
            if (e.kind == EventKind::Insert) {
                if (!found.functions.empty()) {
                    fail(e, "slot '" + e.slot.text + "' already holds " +
                                found.functions.front()->name);
                    continue;
                }
                std::vector<const FunctionDesc*> functions;
                for (const FunctionDesc& f : card->functions) functions.push_back(&f);
                replay.setSlot(found.slotKey, std::move(functions));
            } else {
                if (found.functions.empty()) {
                    fail(e, "slot '" + e.slot.text + "' is empty at that moment");
                    continue;
                }
                replay.setSlot(found.slotKey, {});
            }
            break;
        }
        case EventKind::Power: {
            unsigned root = 0;
            auto path = resolveLocation(machine, e.device, error, &root);
            Replay::Found found;
            if (!path || !replay.walk(*path, found, error, root)) {
                fail(e, "device '" + e.device.text + "': " + error);
                continue;
            }
            if (Replay::pick(found.functions, path->back().functionOrZero()) == nullptr) {
                fail(e, "device '" + e.device.text + "' (" + formatPath(*path) +
                            ") is not there at that moment");
            }
            break;
        }
        case EventKind::Fail: {
            // The device may be a slot that is still empty: its card's uses are aimed at.
            if (e.device.text.empty()) break;
            unsigned root = 0;
            auto path = resolveLocation(machine, e.device, error, &root);
            Replay::Found found;
            if (!path || !replay.walk(*path, found, error, root)) {
                fail(e, "device '" + e.device.text + "': " + error);
            }
            break;
        }
        case EventKind::Sleep:
            asleepSince = e.line;
            break;
        case EventKind::Wake:
            if (asleepSince == 0) fail(e, "wake without a sleep before it");
            asleepSince = 0;
            break;
        }
    }
    return errors;
}

}  // namespace machine
