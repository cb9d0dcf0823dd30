#include <sched/run.hpp>

#include "races.hpp"

#include <frame/records.h>


#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <memory>
#include <regex>
#include <set>

namespace sched {

const char* contractName(Contract contract)
{
    return contract == Contract::W2k ? "w2k" : "documented";
}

namespace {

std::string hex8(const void* p)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08lx",
                  static_cast<unsigned long>(reinterpret_cast<uintptr_t>(p) & 0xFFFFFFFFu));
    return text;
}

// Whether `f` lies behind `bus` on a path through a bridge whose bus numbers were last written
// through the root bus's accessors, which only the driver's hierarchy scan uses: a bus only the
// scan's temporary numbers make reachable. Numbers the bus driver or firmware gave are the
// machine's own, wherever the PnP manager has got to meanwhile.
std::optional<bool> temporaryPath(const pci::Bus& bus, const pci::Function* f, bool temporary)
{
    for (unsigned d = 0; d < 32; ++d) {
        for (unsigned fn = 0; fn < 8; ++fn) {
            const pci::Function* here = bus.function(d, fn);
            if (here == nullptr) continue;
            if (here == f) return temporary;
            if (here->secondary() == nullptr) continue;
            const bool scanned = temporary || here->numberedBy() == pci::Actor::RootAccessors;
            if (auto found = temporaryPath(*here->secondary(), f, scanned)) return found;
        }
    }
    return std::nullopt;
}

bool onTemporaryBus(machine::Machine& m, const pci::Function* f)
{
    return temporaryPath(m.hardware().root(), f, false).value_or(false);
}

// Every bus record's child list against its count, and one child filter per physical device
// object and bus; a record in a list that is not a live child filter's is a freed record.
std::vector<std::string> checkChildLists(machine::Machine& m)
{
    std::vector<std::string> problems;
    if (!m.driver()) return problems;
    std::map<const void*, PDEVICE_OBJECT> children;  // record -> its device object
    std::vector<std::pair<PDEVICE_OBJECT, const HOTP_BUS_EXTENSION*>> buses;
    for (PDEVICE_OBJECT device : m.kernel().liveDevices(m.driver()->object)) {
        const auto* header = static_cast<const HOTP_COMMON_HEADER*>(device->DeviceExtension);
        if (header == nullptr) continue;
        if (header->Signature == HOTP_CHILD_SIGNATURE) children[header] = device;
        if (header->Signature == HOTP_BUS_SIGNATURE) {
            buses.emplace_back(device, static_cast<const HOTP_BUS_EXTENSION*>(device->DeviceExtension));
        }
    }
    std::set<const void*> listed;
    for (const auto& [device, bus] : buses) {
        const std::string name = "bus filter " + hex8(device);
        size_t length = 0;
        std::set<PDEVICE_OBJECT> pdos;
        for (const HOTP_CHILD_EXTENSION* c = bus->ChildListHead; c != nullptr; c = c->NextChild) {
            if (++length > 4096) {
                problems.push_back(name + ": its child list does not end");
                break;
            }
            if (children.count(c) == 0) {
                problems.push_back(name + ": its child list holds " + hex8(c) +
                                   ", not the record of a live child filter");
                break;
            }
            listed.insert(c);
            if (!pdos.insert(c->Pdo).second) {
                problems.push_back(name + ": two child filters for the physical device object " +
                                   hex8(c->Pdo));
            }
        }
        if (static_cast<LONG>(length) != bus->ChildDeviceCount) {
            problems.push_back(name + ": " + std::to_string(length) + " records in its child list, "
                               "ChildDeviceCount " + std::to_string(bus->ChildDeviceCount));
        }
    }
    for (const auto& [record, device] : children) {
        const auto* c = static_cast<const HOTP_CHILD_EXTENSION*>(record);
        const bool busLive = std::any_of(buses.begin(), buses.end(), [&](const auto& b) {
            return b.second == c->BusExtension;
        });
        if (!busLive) {
            problems.push_back("child filter " + hex8(device) + " points at a bus record " +
                               hex8(c->BusExtension) + " that is gone");
        } else if (listed.count(record) == 0) {
            problems.push_back("child filter " + hex8(device) + " is attached but in no child list "
                               "(a lost child)");
        }
    }
    return problems;
}

// The schedule being played, kept as its token while it grows: a crash of the process reads it
// without allocating.
std::string g_inProgress;

nt::Scheduler::Chooser recordingInProgress(nt::Scheduler::Chooser chooser)
{
    return [chooser = std::move(chooser)](const nt::Choice& c) {
        const size_t pick = chooser ? chooser(c) : c.preferred;
        if (pick != c.preferred && pick < c.candidates.size()) {
            if (g_inProgress.back() != ':') g_inProgress += ',';
            g_inProgress += std::to_string(c.index) + "@" + std::to_string(c.candidates[pick]);
        }
        return pick;
    };
}

class Run {
public:
    Run(machine::Machine& m, const RunConfig& config)
        : m_(m), config_(config),
          scheduler_(m.kernel(), config.cpus, recordingInProgress(config.chooser))
    {
        g_inProgress = std::to_string(config.cpus) + (config.contract == Contract::W2k ? "w:" : "d:");
        g_inProgress.reserve(4096);
        scheduler_.onSwitch = [this](int from, int to) { switched(from, to); };
        m.pnpManager().onRequest = [this](pnp::DeviceNode& node, UCHAR major, UCHAR minor, bool begins) {
            return request(node, major, minor, begins);
        };
        m.pnpManager().onTreeLock = [this](pnp::DeviceNode& bus, bool begins) { treeLock(bus, begins); };
        m.hardware().beforeCycle = [this] { m_.kernel().preempt(); };
        if (config.watchMemory && m.driver()) {
            races_ = std::make_unique<detail::RaceDetector>(
                m.kernel(), m.driver()->object, m.driver()->image->writableData(),
                [this] { return routine(); },
                [this](int thread) { return thread < 0 ? std::string("the scheduler")
                                                       : scheduler_.name(thread); });
            m.kernel().onSync = [this](const void* object, bool release) {
                if (scheduler_.current() >= 0) races_->sync(scheduler_.current(), object, release);
            };
        }
    }

    ~Run()
    {
        // A run left by an exception keeps its token for the report of the failure.
        if (std::uncaught_exceptions() == 0) g_inProgress.clear();
        m_.hardware().beforeCycle = nullptr;
        m_.kernel().onSync = nullptr;
        m_.pnpManager().onRequest = nullptr;
        m_.pnpManager().onTreeLock = nullptr;
        m_.setMark(std::nullopt);
    }

    RunResult play(const std::vector<machine::Event>& armed, const machine::ScenarioDesc& scenario)
    {
        RunResult result;
        spawn("pnp", [this, &armed] { m_.boot(armed); });
        group(result);
        std::map<uint64_t, std::pair<std::vector<const machine::Event*>,
                                     std::vector<const machine::ClientDesc*>>> groups;
        for (const auto& e : scenario.events) groups[e.atMs].first.push_back(&e);
        for (const auto& c : scenario.clients) groups[c.atMs].second.push_back(&c);
        for (const auto& [at, work] : groups) {
            const auto& [events, clients] = work;
            // The PnP manager's thread first, then one thread per power event (and, under the
            // documented contract, per PnP event), then the configuration clients.
            std::vector<const machine::Event*> serial, own;
            for (const machine::Event* e : events) {
                const bool alone = e->kind == machine::EventKind::Power ||
                                   (config_.contract == Contract::Documented &&
                                    e->kind != machine::EventKind::Sleep &&
                                    e->kind != machine::EventKind::Wake &&
                                    e->kind != machine::EventKind::Fail);
                (alone ? own : serial).push_back(e);
            }
            unsigned power = 0, pnp = 0, client = 0;
            if (!serial.empty()) {
                spawn("pnp", [this, serial, &result] {
                    for (const machine::Event* e : serial) {
                        if (!m_.apply(*e)) result.allApplied = false;
                    }
                });
            }
            for (const machine::Event* e : own) {
                const bool isPower = e->kind == machine::EventKind::Power;
                spawn(isPower ? "power#" + std::to_string(++power) : "pnp#" + std::to_string(++pnp),
                      [this, e, &result] {
                          if (!m_.apply(*e)) result.allApplied = false;
                      });
            }
            for (const machine::ClientDesc* c : clients) {
                spawn((c->kind == machine::ClientDesc::Kind::Poll ? "poll#" : "scan#") +
                          std::to_string(++client),
                      [this, c] { runClient(*c); });
            }
            group(result);
        }
        result.choices = scheduler_.choices();
        result.endState = endState(m_);
        return result;
    }

private:
    void spawn(std::string name, std::function<void()> body)
    {
        const int id = scheduler_.spawn(std::move(name), std::move(body));
        group_.push_back(id);
        if (races_) races_->start(id);
    }

    // Runs the threads of one time together with a DPC runner, then looks at what they left.
    void group(RunResult& result)
    {
        const int dpc = scheduler_.spawn("dpc", [this] { m_.kernel().runDeferredWork(); }, true,
                                         [this] { return m_.kernel().workPending(); });
        group_.push_back(dpc);
        if (races_) races_->start(dpc);
        if (!scheduler_.run()) {
            std::string names;
            for (const auto& n : scheduler_.blocked()) names += (names.empty() ? "" : ", ") + n;
            result.findings.push_back({"deadlock", "every thread left is blocked: " + names});
        }
        if (races_) {
            for (int id : group_) races_->end(id);
            for (auto& text : races_->takeFindings()) result.findings.push_back({"race", text});
        }
        group_.clear();
        for (const auto& text : checkChildLists(m_)) result.findings.push_back({"child-list", text});
        for (; misroutes_ < m_.misroutes().size(); ++misroutes_) {
            result.findings.push_back({"misrouted", "a cycle through a function's bus interface "
                                                    "reached another function: " +
                                                        m_.misroutes()[misroutes_]});
        }
        for (; conflicts_ < m_.conflicts().size(); ++conflicts_) {
            result.findings.push_back({"conflict", "two bridges claimed one cycle: " + m_.conflicts()[conflicts_]});
        }
        for (; violations_ < m_.kernel().violations().size(); ++violations_) {
            const nt::Violation& v = m_.kernel().violations()[violations_];
            result.findings.push_back({"verifier", v.rule + ": " + v.detail});
        }
        for (auto& text : clientFindings_) {
            const bool undone = text.find("undid a write") != std::string::npos;
            result.findings.push_back({undone ? "lost-write" : "temporary-bus", text});
        }
        clientFindings_.clear();
    }

    void switched(int from, int to)
    {
        if (from >= 0) {
            callers_[from] = m_.hardware().caller();
            if (races_) races_->look(from);
        }
        m_.hardware().setCaller(to >= 0 ? callers_[to] : pci::Hierarchy::Caller{});
        if (to >= 0) {
            m_.setMark(std::make_pair(scheduler_.processorOf(to), scheduler_.name(to)));
        } else {
            m_.setMark(std::nullopt);
        }
    }

    // The documented contract: one PnP request at a time per device stack, as a lock per stack
    // that orders what its holders do. Power requests are not PnP requests: the remove locks of
    // the function drivers order them against removal.
    bool request(pnp::DeviceNode& node, UCHAR major, UCHAR, bool begins)
    {
        if (major == IRP_MJ_POWER || config_.contract != Contract::Documented) return true;
        if (begins) {
            if (scheduler_.inThread()) {
                scheduler_.blockUntil([this, &node] { return busy_.count(&node) == 0; },
                                      "waiting for the stack of " + node.name);
            }
            busy_.insert(&node);
            m_.kernel().sync(&node, false);
        } else {
            m_.kernel().sync(&node, true);
            busy_.erase(&node);
        }
        return true;
    }

    // The PnP manager's lock on a bus's part of its device tree: one thread at a time asks a
    // bus for its relations and changes its children. Only the documented contract has more
    // than one thread that enumerates.
    void treeLock(pnp::DeviceNode& bus, bool begins)
    {
        if (config_.contract != Contract::Documented) return;
        if (begins) {
            if (scheduler_.inThread()) {
                scheduler_.blockUntil([this, &bus] { return enumerating_.count(&bus) == 0; },
                                      "waiting for the device tree below " + bus.name);
            }
            enumerating_.insert(&bus);
            m_.kernel().sync(&bus.children, false);
        } else {
            m_.kernel().sync(&bus.children, true);
            enumerating_.erase(&bus);
        }
    }

    // The driver routine the running thread is inside, as a debugger names it.
    std::string routine()
    {
        const auto& activations = m_.kernel().activations();
        for (auto it = activations.rbegin(); it != activations.rend(); ++it) {
            if (it->device == nullptr || !m_.driver() ||
                it->device->DriverObject != m_.driver()->object || it->routine == nullptr) {
                continue;
            }
            return m_.stableName(it->routine);
        }
        return "a routine outside the driver";
    }

    void runClient(const machine::ClientDesc& c)
    {
        pci::Hierarchy& hw = m_.hardware();
        pci::Hierarchy::ActingAs other(hw, pci::Actor::OtherDriver);
        if (c.kind == machine::ClientDesc::Kind::Poll) {
            auto address = m_.addressOf(c.device);
            if (!address) return;
            const pci::Function* expected = hw.locate((*address)[0], (*address)[1], (*address)[2]);
            for (unsigned i = 0; i < c.reads; ++i) {
                const uint32_t value = hw.configRead((*address)[0], (*address)[1], (*address)[2], c.offset, 4);
                if (c.writeBack) {
                    // The write back is one cycle; whatever changed the register since the
                    // read is undone by it.
                    m_.kernel().preempt();
                    auto hook = std::move(hw.beforeCycle);
                    hw.beforeCycle = nullptr;
                    pci::Function* f = hw.locate((*address)[0], (*address)[1], (*address)[2]);
                    const uint32_t now = f != nullptr ? f->read(c.offset, 4) : value;
                    hw.configWrite((*address)[0], (*address)[1], (*address)[2], c.offset, 4, value);
                    const uint32_t after = f != nullptr ? f->read(c.offset, 4) : value;
                    hw.beforeCycle = std::move(hook);
                    if (now != value && after != now) {
                        char text[160];
                        std::snprintf(text, sizeof text,
                                      "a function driver's read-modify-write of %02x:%02x.%u offset "
                                      "0x%02x undid a write: 0x%08x back to 0x%08x",
                                      (*address)[0], (*address)[1], (*address)[2], c.offset, now, after);
                        clientFindings_.push_back(text);
                    }
                }
                const pci::Function* reached = hw.locate((*address)[0], (*address)[1], (*address)[2]);
                if (reached != expected) {
                    char text[128];
                    std::snprintf(text, sizeof text,
                                  "a function driver polling %02x:%02x.%u reached %s",
                                  (*address)[0], (*address)[1], (*address)[2],
                                  reached == nullptr ? "no function" : "another function");
                    clientFindings_.push_back(text);
                    return;
                }
            }
            return;
        }
        for (unsigned bus = 0; bus < c.buses; ++bus) {
            for (unsigned device = 0; device < 32; ++device) {
                const uint32_t ids = hw.configRead(bus, device, 0, 0, 4);
                if ((ids & 0xFFFF) == 0xFFFF) continue;
                if (!onTemporaryBus(m_, hw.locate(bus, device, 0))) continue;
                char text[160];
                std::snprintf(text, sizeof text,
                              "a driver scanning every bus number found %04x:%04x at %02x:%02x.0, "
                              "behind a bridge only the hierarchy scan has numbered",
                              ids & 0xFFFF, ids >> 16, bus, device);
                clientFindings_.push_back(text);
            }
        }
    }

    machine::Machine& m_;
    const RunConfig& config_;
    nt::Scheduler scheduler_;
    std::unique_ptr<detail::RaceDetector> races_;
    std::vector<int> group_;
    std::map<int, pci::Hierarchy::Caller> callers_;
    std::vector<std::string> clientFindings_;
    std::set<const pnp::DeviceNode*> busy_;
    std::set<const pnp::DeviceNode*> enumerating_;
    size_t misroutes_ = 0, conflicts_ = 0, violations_ = 0;
};

}  // namespace

// The state a schedule must not change: each device with its state, the sizes of what it was
// given and the roles on its stack, as a sorted list. Bus numbers, addresses and the order of
// siblings may follow the order in which the threads got there.
std::vector<std::string> endState(machine::Machine& m)
{
    static const std::regex location("^[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7] ");
    static const std::regex numbers("[0-9a-f]{2}:[0-9a-f]{2}\\.[0-7]|[0-9a-f]{8}-[0-9a-f]{8}");
    std::vector<std::string> lines;
    for (pnp::DeviceNode* node : m.pnpManager().nodes()) {
        std::string line = std::regex_replace(node->name, location, "");
        switch (node->state) {
        case pnp::DeviceNode::State::Started: line += " [started]"; break;
        case pnp::DeviceNode::State::NotStarted:
            line += " [not started: " + std::regex_replace(node->problem, numbers, "-") + "]";
            break;
        case pnp::DeviceNode::State::Removed: line += " [removed]"; break;
        case pnp::DeviceNode::State::Enumerated: line += " [enumerated]"; break;
        }
        for (const pnp::Range& r : node->assigned) {
            line += r.type == CmResourceTypePort                          ? " io "
                    : (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? " pref "
                                                                          : " mem ";
            line += std::to_string(r.length);
        }
        line += " stack:";
        for (PDEVICE_OBJECT d = node->pdo; d != nullptr; d = d->AttachedDevice) {
            if (!m.kernel().isLiveDevice(d)) {
                line += " (a deleted device object)";
                break;
            }
            line += " " + m.roleOf(d);
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::optional<Finding> compareEndState(const std::vector<std::string>& ended,
                                       const std::vector<std::string>& reference)
{
    if (reference.empty() || ended == reference) return std::nullopt;
    size_t i = 0;
    while (i < reference.size() && i < ended.size() && reference[i] == ended[i]) ++i;
    const std::string one = i < reference.size() ? reference[i] : "(nothing)";
    const std::string other = i < ended.size() ? ended[i] : "(nothing)";
    return Finding{"end-state", "the machine ends otherwise than on one processor: '" + other +
                                    "' where one processor ends with '" + one + "'"};
}

const std::string& scheduleInProgress() { return g_inProgress; }

RunResult play(machine::Machine& m, const std::vector<machine::Event>& armed,
               const machine::ScenarioDesc& scenario, const RunConfig& config)
{
    Run run(m, config);
    return run.play(armed, scenario);
}

}  // namespace sched
