// Whole machines with the driver on their PCI root bus: boot, hot add behind the hot-plug bridge,
// device and system power, removal, and scenarios played event by event. Assertions are on what
// a user or the hardware sees: configuration transactions, device stacks, the driver's records,
// trace lines and events. Every test ends with the machine shut down clean.
#include <machine_fixture.hpp>
#include <machine_events.hpp>
#include <machine_text.hpp>
#include <scenarios.hpp>

#include <frame/records.h>
#include <machine/location.hpp>
#include <machine/machine.hpp>
#include <views/views.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <tuple>
#include <utility>

namespace hotp::test {
namespace {

using machine::EventKind;
using OutKind = machine::Output::Kind;

constexpr ULONG kEnabled = HOTP_KIND_HOT_ADDED | HOTP_KIND_ENABLED;

struct Expected {
    const char* where;
    ULONG kind;
};

class Flow : public MachineFlow {
protected:
    Flow() { logTransactions = true; }

    bool insert(const std::string& card, const std::string& slot)
    {
        return play(EventKind::Insert, slot, card);
    }

    void setPrintLevel(ULONG level)
    {
        ASSERT_TRUE(nt::Debugger(*m->driver()).set("HotpDebugPrintLevel", level));
    }

    // The PnP node of a function, by its path or slot label.
    pnp::DeviceNode* node(const std::string& where)
    {
        std::string error;
        auto location = machine::parseLocation(where, error);
        auto path = location ? machine::resolveLocation(m->description(), *location, error)
                             : std::nullopt;
        EXPECT_TRUE(path.has_value()) << where << ": " << error;
        if (!path) return nullptr;
        pnp::DeviceNode* at = m->pnpManager().root();
        for (const machine::Step& step : *path) {
            pnp::DeviceNode* next = nullptr;
            for (auto& c : at->children) {
                pcibus::FunctionNode* f = m->busDriver().function(c->pdo);
                if (f != nullptr && f->device == step.device && f->function == step.functionOrZero()) {
                    next = c.get();
                }
            }
            if (next == nullptr) return nullptr;
            at = next;
        }
        return at;
    }

    pcibus::FunctionNode* function(const std::string& where)
    {
        pnp::DeviceNode* n = node(where);
        return n != nullptr ? m->busDriver().function(n->pdo) : nullptr;
    }
    // The hardware behind a function, reached by the bus numbers software gave it.
    pci::Function& hardware(const std::string& where)
    {
        pcibus::FunctionNode* f = function(where);
        pci::Function* hw = f ? m->hardware().locate(f->parent->number, f->device, f->function) : nullptr;
        if (hw == nullptr) throw std::runtime_error("no function at " + where);
        return *hw;
    }
    uint8_t configByte(const std::string& where, unsigned offset)
    {
        return hardware(where).byte(offset);
    }
    uint16_t command(const std::string& where)
    {
        return static_cast<uint16_t>(configByte(where, 4) | configByte(where, 5) << 8);
    }

    // The driver's device objects with the given record signature in a stack, bottom up.
    std::vector<PDEVICE_OBJECT> ours(PDEVICE_OBJECT pdo, ULONG signature) const
    {
        std::vector<PDEVICE_OBJECT> found;
        for (PDEVICE_OBJECT d = pdo; d != nullptr; d = d->AttachedDevice) {
            if (m->driver() && d->DriverObject == m->driver()->object &&
                HotpCommonHeader(d)->Signature == signature) {
                found.push_back(d);
            }
        }
        return found;
    }

    HOTP_CHILD_EXTENSION* record(const std::string& where)
    {
        pnp::DeviceNode* n = node(where);
        auto filters = n ? ours(n->pdo, HOTP_CHILD_SIGNATURE) : std::vector<PDEVICE_OBJECT>{};
        EXPECT_EQ(filters.size(), 1u) << where;
        return filters.size() == 1 ? static_cast<HOTP_CHILD_EXTENSION*>(filters[0]->DeviceExtension)
                                   : nullptr;
    }
    ULONG kind(const std::string& where)
    {
        HOTP_CHILD_EXTENSION* r = record(where);
        return r ? r->DeviceKind : 0xFFFFFFFF;
    }

    HOTP_BUS_EXTENSION* busRecord(const pnp::DeviceNode& bus) const
    {
        auto filters = ours(bus.pdo, HOTP_BUS_SIGNATURE);
        EXPECT_EQ(filters.size(), 1u) << bus.name;
        return filters.size() == 1 ? static_cast<HOTP_BUS_EXTENSION*>(filters[0]->DeviceExtension)
                                   : nullptr;
    }

    static std::vector<HOTP_CHILD_EXTENSION*> listed(const HOTP_BUS_EXTENSION* bus)
    {
        std::vector<HOTP_CHILD_EXTENSION*> out;
        for (auto* c = bus->ChildListHead; c != nullptr && out.size() < 64; c = c->NextChild) {
            out.push_back(c);
        }
        return out;
    }

    // The child records of every function, in tree order.
    std::vector<HOTP_CHILD_EXTENSION*> allRecords() const
    {
        std::vector<HOTP_CHILD_EXTENSION*> out;
        for (pnp::DeviceNode* n : m->pnpManager().nodes()) {
            for (PDEVICE_OBJECT d : ours(n->pdo, HOTP_CHILD_SIGNATURE)) {
                out.push_back(static_cast<HOTP_CHILD_EXTENSION*>(d->DeviceExtension));
            }
        }
        return out;
    }

    // Every function has exactly one child filter, attached right on its physical device object
    // and holding one bus interface reference (and no function that has gone holds one); every
    // bus has one bus filter whose list holds the records of the bus's functions in the order
    // they were attached.
    void expectEveryFunctionFiltered()
    {
        const auto held = m->busDriver().leaks();
        EXPECT_EQ(held.size(), m->pnpManager().nodes().size() - 1) << describe(held);
        for (pnp::DeviceNode* bus : m->pnpManager().nodes()) {
            if (bus != m->pnpManager().root() && !bus->isBus) continue;
            HOTP_BUS_EXTENSION* b = busRecord(*bus);
            if (b == nullptr) continue;
            std::vector<PDEVICE_OBJECT> expected, got;
            for (auto& c : bus->children) expected.push_back(c->pdo);
            for (HOTP_CHILD_EXTENSION* r : listed(b)) {
                got.push_back(r->Pdo);
                EXPECT_EQ(r->BusExtension, b);
                EXPECT_EQ(r->LowerDeviceObject, r->Pdo) << "filter not right on the PDO";
            }
            EXPECT_EQ(got, expected) << bus->name;
            EXPECT_EQ(b->ChildDeviceCount, static_cast<LONG>(got.size())) << bus->name;
            for (auto& c : bus->children) {
                EXPECT_EQ(ours(c->pdo, HOTP_CHILD_SIGNATURE).size(), 1u) << c->name;
                EXPECT_EQ(m->busDriver().function(c->pdo)->interfaceReferences, 1) << c->name;
            }
        }
    }

    void expectKinds(const std::vector<Expected>& table)
    {
        for (const Expected& e : table) EXPECT_EQ(kind(e.where), e.kind) << e.where;
    }

    // The configuration writes made while one request was being handled, as the user sees them.
    std::vector<std::string> writesDuring(const std::string& request) const
    {
        std::vector<std::string> writes;
        auto it = std::find_if(outputs.begin(), outputs.end(), [&](const machine::Output& o) {
            return o.kind == OutKind::Request && o.text == request;
        });
        EXPECT_NE(it, outputs.end()) << request;
        if (it == outputs.end()) return writes;
        for (++it; it < outputs.end(); ++it) {
            if (it->kind == OutKind::Request || it->kind == OutKind::Step) break;
            if (it->kind == OutKind::Config) writes.push_back(hotp::test::textOf(*it));
        }
        return writes;
    }
    std::string request(const char* minor, const std::string& where)
    {
        pnp::DeviceNode* n = node(where);
        return std::string(minor) + " -> " + (n ? n->name : where);
    }
    std::string write(const std::string& where, unsigned offset, unsigned length, unsigned value)
    {
        char text[64];
        std::snprintf(text, sizeof text, "write %s offset 0x%02x (%u) = 0x%0*x",
                      function(where)->location().c_str(), offset, length,
                      static_cast<int>(2 * length), value);
        return text;
    }
    // The driver's two writes after every start and return to D0.
    std::vector<std::string> latencyAndCacheLine(const std::string& where)
    {
        return {write(where, 0x0D, 1, 0x90), write(where, 0x0C, 1, 0x08)};
    }
    static bool touchesLatencyOrCacheLine(const std::string& write)
    {
        return write.find(" offset 0x0c ") != std::string::npos ||
               write.find(" offset 0x0d ") != std::string::npos;
    }
};

const std::vector<Expected> kBootKinds = {
    {"00.0", HOTP_KIND_HOST_PCI}, {"01.0", HOTP_KIND_BOOT}, {"02.0", HOTP_KIND_BOOT},
    {"1e.0", HOTP_KIND_PCI_PCI},  {"1e.0/00.0", HOTP_KIND_BOOT},
};

// --- boot ---------------------------------------------------------------------------------------

TEST_F(Flow, BootFiltersEveryFunctionOnceWithItsKind)
{
    boot();
    expectEveryFunctionFiltered();
    expectKinds(kBootKinds);
    EXPECT_EQ(m->pnpManager().root()->children.size(), 4u);
    EXPECT_EQ(node("1e.0")->children.size(), 1u);
    // The bridge's own bus filter sits right above its child filter, beneath the bus driver.
    PDEVICE_OBJECT bridgeChild = ours(node("1e.0")->pdo, HOTP_CHILD_SIGNATURE)[0];
    HOTP_BUS_EXTENSION* bridgeBus = busRecord(*node("1e.0"));
    EXPECT_EQ(bridgeChild->AttachedDevice, bridgeBus->Self);
    EXPECT_EQ(bridgeBus->LowerDeviceObject, bridgeChild);
    EXPECT_EQ(bridgeBus->Self->AttachedDevice->DriverObject, m->busDriver().driverObject());
}

// Every relations query lists every function again; nothing is added, and each repeat says why
// it was ignored by the kind of the existing record.
TEST_F(Flow, RepeatedRelationsQueriesAddNothing)
{
    boot();
    const std::vector<HOTP_CHILD_EXTENSION*> before = allRecords();
    const size_t devices = m->kernel().liveDevices(m->driver()->object).size();
    setPrintLevel(4);

    struct Case {
        const char* bus;
        std::vector<std::string> ignored;
    } cases[] = {
        {"", {"Host/PCI PDO already filtered", "Boot time PDO", "Boot time PDO",
              "PCI/PCI PDO already filtered"}},
        {"1e.0", {"Boot time PDO"}},
    };
    for (const Case& c : cases) {
        outputs.clear();
        pnp::DeviceNode* bus = *c.bus ? node(c.bus) : m->pnpManager().root();
        m->pnpManager().enumerate(*bus);
        std::vector<std::string> expected, got;
        for (const auto& why : c.ignored) expected.push_back("HotpAttachDeviceRelations - " + why + " (ignore)");
        for (const auto& line : texts(OutKind::Trace)) {
            if (line.find("(ignore)") != std::string::npos) got.push_back(line);
        }
        EXPECT_EQ(got, expected) << c.bus;
        EXPECT_TRUE(texts(OutKind::EventLog).empty());
    }
    EXPECT_EQ(allRecords(), before);
    EXPECT_EQ(m->kernel().liveDevices(m->driver()->object).size(), devices);
    expectEveryFunctionFiltered();
}

// With or without the driver every boot device starts where firmware put it, inside its parent's
// windows, decoding what it was given; only the latency timer tells the two machines apart.
TEST_F(Flow, BootDevicesStartInsideTheirParentsWindowsWithAndWithoutTheDriver)
{
    std::vector<std::string> placement[2];
    for (bool withDriver : {true, false}) {
        SCOPED_TRACE(withDriver ? "with the driver" : "without the driver");
        boot({.withDriver = withDriver});
        for (pnp::DeviceNode* n : m->pnpManager().nodes()) {
            if (n == m->pnpManager().root()) continue;
            EXPECT_EQ(n->state, pnp::DeviceNode::State::Started) << n->name << ": " << n->problem;
            const std::vector<pnp::Range> windows = n->parent->windows();
            for (const pnp::Range& r : n->assigned) {
                const bool fits = std::any_of(windows.begin(), windows.end(), [&](const pnp::Range& w) {
                    const bool prefetchWindow = (w.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;
                    const bool prefetchable = (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;
                    return w.type == r.type && (prefetchable || !prefetchWindow) &&
                           r.start >= w.start && r.end() <= w.end();
                });
                EXPECT_TRUE(fits) << n->name << " at " << std::hex << r.start;
            }
            // Each BAR decodes what arbitration gave it.
            pcibus::FunctionNode* f = m->busDriver().function(n->pdo);
            pci::Function* hw = m->hardware().locate(f->parent->number, f->device, f->function);
            for (size_t k = 0; k < f->slots.size() && k < n->assigned.size(); ++k) {
                if (f->slots[k].kind != pcibus::ResourceSlot::Kind::Bar) continue;
                const uint32_t bar = hw->dword(pci::reg::Bar0 + 4 * f->slots[k].bar);
                EXPECT_EQ(bar & (n->assigned[k].type == CmResourceTypePort ? ~3u : ~0xFu),
                          static_cast<uint32_t>(n->assigned[k].start)) << n->name;
            }
            const bool filtered = !ours(n->pdo, HOTP_CHILD_SIGNATURE).empty();
            EXPECT_EQ(filtered, withDriver) << n->name;
        }
        EXPECT_EQ(configByte("02.0", pci::reg::LatencyTimer), withDriver ? 0x90 : 0x40);
        EXPECT_EQ(configByte("1e.0/00.0", pci::reg::LatencyTimer), withDriver ? 0x90 : 0x40);
        for (const std::string& line : hotpsim::treeView(*m)) {
            if (line.find("stack:") == std::string::npos) placement[withDriver].push_back(line);
        }
        finish();
    }
    EXPECT_EQ(placement[0], placement[1]);
}

// --- hot add ------------------------------------------------------------------------------------

// A card into slot 1: classified at its first resource query, switched on there if it is an
// ordinary hot-added device, and given latency timer and cache line size once started.
TEST_F(Flow, HotAddClassifiesEnablesAndProgramsAtStart)
{
    struct Case {
        const char* card;
        ULONG kind;
        bool enabled;     // command 0x03FF written at the resource query and read back
        bool programmed;  // latency timer and cache line size written at start
    } cases[] = {
        {"network card", kEnabled, true, true},
        {"display card", HOTP_KIND_HOT_ADDED, false, false},
        {"cardbus card", HOTP_KIND_HOT_ADDED, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        boot();
        ASSERT_TRUE(insert(c.card, "slot 1"));
        ASSERT_EQ(node("slot 1")->state, pnp::DeviceNode::State::Started) << node("slot 1")->problem;
        expectEveryFunctionFiltered();
        EXPECT_EQ(kind("slot 1"), c.kind);

        const auto atQuery = writesDuring(request("IRP_MN_QUERY_RESOURCES", "slot 1"));
        EXPECT_EQ(atQuery, c.enabled ? std::vector<std::string>{write("slot 1", 4, 2, 0x03FF)}
                                     : std::vector<std::string>{});
        if (c.enabled) {
            // The transaction right after the command write reads it back.
            const auto& log = m->hardware().log();
            auto w = std::find_if(log.begin(), log.end(), [](const pci::Transaction& t) {
                return t.write && t.bus == 1 && t.device == 1 && t.offset == 4 && t.value == 0x03FF;
            });
            ASSERT_NE(w, log.end());
            ASSERT_NE(w + 1, log.end());
            EXPECT_FALSE(w[1].write);
            EXPECT_EQ(std::make_tuple(w[1].bus, w[1].device, w[1].offset, w[1].length),
                      std::make_tuple(1u, 1u, 4u, 2u));
            // Of the bits 0x03FF sets, the network card implements I/O and memory enables,
            // bus master and the parity and SERR# responses; the others keep reading zero.
            EXPECT_EQ(w[1].value, 0x0147u);
            EXPECT_EQ(command("slot 1"), 0x0147);
        } else {
            EXPECT_EQ(command("slot 1") & ~0x0007, 0) << "the driver switched on more than decoding";
        }

        // At start the bus driver programs BARs and decoding first; the completion follows.
        const auto atStart = writesDuring(request("IRP_MN_START_DEVICE", "slot 1"));
        if (c.programmed) {
            ASSERT_GE(atStart.size(), 2u);
            EXPECT_EQ(std::vector<std::string>(atStart.end() - 2, atStart.end()),
                      latencyAndCacheLine("slot 1"));
        } else {
            EXPECT_TRUE(std::none_of(atStart.begin(), atStart.end(), touchesLatencyOrCacheLine));
        }
        EXPECT_EQ(configByte("slot 1", pci::reg::LatencyTimer), c.programmed ? 0x90 : 0);
        EXPECT_EQ(configByte("slot 1", pci::reg::CacheLineSize), c.programmed ? 8 : 0);
        finish();
    }
}

// A card carrying a PCI-to-PCI bridge: the bridge gets a bus filter above its child filter, and
// every function behind it a child filter of its own, nested bridges included.
TEST_F(Flow, HotAddedBridgesGetBusFiltersAndTheirDevicesChildFilters)
{
    struct Case {
        const char* card;
        std::vector<Expected> kinds;
        std::vector<const char*> bridges;
    } cases[] = {
        {"bridge card",
         {{"slot 2", HOTP_KIND_PCI_PCI},
          {"slot 2.0/00.0", kEnabled},
          {"slot 2.0/00.1", kEnabled},
          {"slot 2.0/01.0", kEnabled}},
         {"slot 2"}},
        {"nested bridge card",
         {{"slot 2", HOTP_KIND_PCI_PCI},
          {"slot 2.0/00.0", HOTP_KIND_PCI_PCI},
          {"slot 2.0/00.0/00.0", kEnabled}},
         {"slot 2", "slot 2.0/00.0"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.card);
        boot();
        ASSERT_TRUE(insert(c.card, "slot 2"));
        expectEveryFunctionFiltered();
        expectKinds(c.kinds);
        for (const Expected& e : c.kinds) {
            EXPECT_EQ(node(e.where)->state, pnp::DeviceNode::State::Started) << e.where;
            if (e.kind == kEnabled) {
                // Only what the function implements took: never VGA snoop on a device that
                // is no display controller, nor special cycles, MWI or fast back-to-back.
                EXPECT_EQ(command(e.where) & ~0x0147, 0) << e.where;
                EXPECT_NE(command(e.where) & pci::CommandMaster, 0) << e.where;
                EXPECT_EQ(configByte(e.where, pci::reg::LatencyTimer), 0x90) << e.where;
            }
        }
        for (const char* where : c.bridges) {
            PDEVICE_OBJECT child = ours(node(where)->pdo, HOTP_CHILD_SIGNATURE)[0];
            HOTP_BUS_EXTENSION* bus = busRecord(*node(where));
            ASSERT_NE(bus, nullptr);
            EXPECT_EQ(child->AttachedDevice, bus->Self) << where;
            EXPECT_EQ(bus->Pdo, node(where)->pdo) << where;
        }
        finish();
    }
}

// The child list keeps attachment order, not slot order.
TEST_F(Flow, ListsFollowAttachmentOrder)
{
    boot();
    ASSERT_TRUE(insert("bridge card", "slot 2"));
    ASSERT_TRUE(insert("network card", "slot 1"));
    std::vector<PDEVICE_OBJECT> pdos;
    for (HOTP_CHILD_EXTENSION* r : listed(busRecord(*node("1e.0")))) pdos.push_back(r->Pdo);
    EXPECT_EQ(pdos, (std::vector<PDEVICE_OBJECT>{node("1e.0/00.0")->pdo, node("slot 2")->pdo,
                                                 node("slot 1")->pdo}));
    expectEveryFunctionFiltered();
}

// --- power --------------------------------------------------------------------------------------

// Leaving D3hot resets a function; the bus driver puts back BARs and command, the driver the
// latency timer and cache line size of ordinary devices.
TEST_F(Flow, ReturnToD0WritesLatencyTimerAndCacheLineSizeAgain)
{
    struct Case {
        const char* where;
        bool programmed;
    } cases[] = {{"02.0", true}, {"slot 1", true}, {"01.0", false}, {"00.0", false}};
    boot();
    ASSERT_TRUE(insert("network card", "slot 1"));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.where);
        const uint32_t bar0 = hardware(c.where).dword(pci::reg::Bar0);
        const uint16_t commandBefore = command(c.where);
        ASSERT_TRUE(play(EventKind::Power, c.where, {}, 3));
        auto atD3 = writesDuring(request("IRP_MN_SET_POWER", c.where));
        EXPECT_TRUE(std::none_of(atD3.begin(), atD3.end(), touchesLatencyOrCacheLine));
        ASSERT_TRUE(play(EventKind::Power, c.where, {}, 0));
        auto atD0 = writesDuring(request("IRP_MN_SET_POWER", c.where));
        if (c.programmed) {
            ASSERT_GE(atD0.size(), 2u);
            EXPECT_EQ(std::vector<std::string>(atD0.end() - 2, atD0.end()), latencyAndCacheLine(c.where));
        } else {
            EXPECT_TRUE(std::none_of(atD0.begin(), atD0.end(), touchesLatencyOrCacheLine));
        }
        EXPECT_EQ(configByte(c.where, pci::reg::LatencyTimer), c.programmed ? 0x90 : 0);
        EXPECT_EQ(configByte(c.where, pci::reg::CacheLineSize), c.programmed ? 8 : 0);
        EXPECT_EQ(hardware(c.where).dword(pci::reg::Bar0), bar0);
        EXPECT_EQ(command(c.where), commandBefore);
    }

    // A write that fails on the way back to D0 does not fail the power request.
    ASSERT_TRUE(play(EventKind::Power, "slot 1", {}, 3));
    nt::FaultInjector& faults = m->kernel().faults();
    faults.failNth(nt::FaultPoint::ShortConfigTransfer, 2);  // the latency timer write
    EXPECT_TRUE(play(EventKind::Power, "slot 1", {}, 0));
    EXPECT_TRUE(faults.fired());
    faults.clear();
    EXPECT_EQ(node("slot 1")->power, PowerDeviceD0);
    EXPECT_EQ(configByte("slot 1", pci::reg::LatencyTimer), 0);
}

// A sleep takes every device to D3 and a wake back to D0: every ordinary device has its latency
// timer and cache line size written once more, nothing else does, and no record changes.
TEST_F(Flow, SleepAndWake)
{
    boot();
    ASSERT_TRUE(insert("network card", "slot 1"));
    ASSERT_TRUE(insert("bridge card", "slot 2"));
    const std::vector<HOTP_CHILD_EXTENSION*> before = allRecords();

    ASSERT_TRUE(play(EventKind::Sleep, ""));
    for (pnp::DeviceNode* n : m->pnpManager().nodes()) EXPECT_EQ(n->power, PowerDeviceD3) << n->name;
    auto asleep = texts(OutKind::Config);
    EXPECT_TRUE(std::none_of(asleep.begin(), asleep.end(), touchesLatencyOrCacheLine));

    ASSERT_TRUE(play(EventKind::Wake, ""));
    const struct {
        const char* where;
        uint8_t latency;  // 0x90: written again; 0: reset and left alone; 0x40: as firmware left it
    } after[] = {
        {"00.0", 0},          {"01.0", 0},          {"02.0", 0x90},         {"1e.0", 0x40},
        {"1e.0/00.0", 0x90},  {"slot 1", 0x90},     {"slot 2", 0},          {"slot 2.0/00.0", 0x90},
        {"slot 2.0/00.1", 0x90}, {"slot 2.0/01.0", 0x90},
    };
    const auto awake = texts(OutKind::Config);
    for (const auto& a : after) {
        EXPECT_EQ(node(a.where)->power, PowerDeviceD0) << a.where;
        EXPECT_EQ(configByte(a.where, pci::reg::LatencyTimer), a.latency) << a.where;
        const std::string latencyWrite = write(a.where, 0x0D, 1, 0x90);
        EXPECT_EQ(std::count(awake.begin(), awake.end(), latencyWrite), a.latency == 0x90 ? 1 : 0)
            << a.where;
    }
    EXPECT_EQ(allRecords(), before);
    expectEveryFunctionFiltered();
}

// --- removal ------------------------------------------------------------------------------------

// Orderly and surprise removal of a hot-added card, the middle record of its bus (the network
// card in slot 1) or the tail with a hierarchy behind it (a bridge card in slot 2): its filters
// are gone, its records unlinked, its interfaces released, and the slot takes the card again.
TEST_F(Flow, RemovalUnlinksReleasesAndDeletes)
{
    struct Case {
        EventKind how;
        const char* slot;
        const char* card;
        ULONG kind;
    } cases[] = {
        {EventKind::Remove, "slot 1", "network card", kEnabled},
        {EventKind::SurpriseRemove, "slot 1", "network card", kEnabled},
        {EventKind::Remove, "slot 2", "nested bridge card", HOTP_KIND_PCI_PCI},
        {EventKind::SurpriseRemove, "slot 2", "bridge card", HOTP_KIND_PCI_PCI},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(machine::eventName(c.how)) + " " + c.card);
        const bool inSlot1 = std::string(c.slot) == "slot 1";
        boot();
        ASSERT_TRUE(insert("network card", "slot 1"));
        ASSERT_TRUE(insert(inSlot1 ? "bridge card" : c.card, "slot 2"));
        const std::vector<PDEVICE_OBJECT> remaining = {node("1e.0/00.0")->pdo,
                                                       node(inSlot1 ? "slot 2" : "slot 1")->pdo};

        // Everything of ours in the card's subtree.
        std::vector<PDEVICE_OBJECT> gone;
        std::function<void(pnp::DeviceNode&)> collect = [&](pnp::DeviceNode& n) {
            for (ULONG signature : {HOTP_CHILD_SIGNATURE, HOTP_BUS_SIGNATURE}) {
                for (PDEVICE_OBJECT d : ours(n.pdo, signature)) gone.push_back(d);
            }
            for (auto& child : n.children) collect(*child);
        };
        collect(*node(c.slot));
        ASSERT_FALSE(gone.empty());

        ASSERT_TRUE(play(c.how, c.slot));
        EXPECT_EQ(node(c.slot), nullptr);
        for (PDEVICE_OBJECT d : gone) EXPECT_FALSE(m->kernel().isLiveDevice(d));
        std::vector<PDEVICE_OBJECT> pdos;
        for (HOTP_CHILD_EXTENSION* r : listed(busRecord(*node("1e.0")))) pdos.push_back(r->Pdo);
        EXPECT_EQ(pdos, remaining);
        expectEveryFunctionFiltered();

        ASSERT_TRUE(insert(c.card, c.slot));
        EXPECT_EQ(kind(c.slot), c.kind);
        expectEveryFunctionFiltered();
        finish();
    }
}

// A bus with nothing but hot-plug slots: removing the head record, then the last one, leaves the
// bus filter with an empty list, and the bus takes cards again.
TEST_F(Flow, RemovingTheHeadAndTheLastRecordOfABus)
{
    const std::string kMachine =
        "name = \"two empty slots\"\n" + placed("function", "00.0", "7e57:0100") +
        "class = 0x060000\n" +
        bridge("function", "1e.0", "7e57:0400",
               "slots = [ { device = 1, label = \"slot 1\" }, { device = 2, label = \"slot 2\" } ]\n"
               "spare_buses = 4\nreserve = { io = \"8K\", memory = \"64M\", prefetchable = \"512M\" }\n") +
        card("network card") +
        device("card.function", "0", "f1a0:1000", "0x020000",
               R"([ { type = "io", size = 64 }, { type = "mem32", size = "128K" } ])");
    ASSERT_NO_FATAL_FAILURE(bootFile(kMachine));
    HOTP_BUS_EXTENSION* bus = busRecord(*node("1e.0"));
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->ChildListHead, nullptr);
    ASSERT_TRUE(insert("network card", "slot 1"));
    ASSERT_TRUE(insert("network card", "slot 2"));
    HOTP_CHILD_EXTENSION* second = record("slot 2");
    ASSERT_TRUE(play(EventKind::Remove, "slot 1"));
    EXPECT_EQ(bus->ChildListHead, second);
    EXPECT_EQ(bus->ChildDeviceCount, 1);
    ASSERT_TRUE(play(EventKind::SurpriseRemove, "slot 2"));
    EXPECT_EQ(bus->ChildListHead, nullptr);
    EXPECT_EQ(bus->ChildDeviceCount, 0);
    expectEveryFunctionFiltered();
    ASSERT_TRUE(insert("network card", "slot 2"));
    EXPECT_EQ(kind("slot 2"), kEnabled);
    expectEveryFunctionFiltered();
}

// --- scenarios ----------------------------------------------------------------------------------

// A scenario file with every kind of event, played event by event: after each one every function
// present is filtered once, and once every card is gone again the boot records are untouched.
TEST_F(Flow, ScenarioFilePlayedEventByEvent)
{
    auto scenario = formats::parseScenario(kEveryEventScenario, "every-event.toml");
    ASSERT_TRUE(scenario.ok()) << describe(scenario.errors());
    boot({.traceLevel = 1});
    ASSERT_TRUE(machine::checkScenario(scenario.value(), m->description()).empty());
    const std::vector<HOTP_CHILD_EXTENSION*> bootRecords = allRecords();

    for (const machine::Event& event : scenario.value().events) {
        SCOPED_TRACE("line " + std::to_string(event.line));
        outputs.clear();
        ASSERT_TRUE(m->apply(event));
        EXPECT_TRUE(texts(OutKind::Problem).empty()) << describe(texts(OutKind::Problem));
        expectEveryFunctionFiltered();
    }
    EXPECT_EQ(allRecords(), bootRecords);
    expectKinds(kBootKinds);
    EXPECT_EQ(node("1e.0")->children.size(), 1u);
    // Boot devices had their events at boot; each card function one when it was attached.
    EXPECT_EQ(m->kernel().errorLog().size(), 5u + 3u + 1u + 1u);
}

// --- trace lines and events ---------------------------------------------------------------------

// A network card into slot 1, as the debugger shows it at print levels 0, 3 and 4: the entry
// lines at 3, everything at 4, and one attach event per new child while tracing is on.
TEST_F(Flow, HotAddTraceAndAttachEvent)
{
    for (ULONG level : {0u, 3u, 4u}) {
        SCOPED_TRACE("print level " + std::to_string(level));
        boot();
        setPrintLevel(level);
        pnp::DeviceNode* bridge = node("1e.0");
        const PDEVICE_OBJECT busFilter = busRecord(*bridge)->Self;
        const PDEVICE_OBJECT bridgeChild = ours(bridge->pdo, HOTP_CHILD_SIGNATURE)[0];
        HOTP_CHILD_EXTENSION* storage = record("1e.0/00.0");
        const ULONG bridgeFlags = m->kernel().deviceNode(bridge->pdo)->Flags;
        ASSERT_TRUE(insert("network card", "slot 1"));

        const PDEVICE_OBJECT pdo = node("slot 1")->pdo;
        HOTP_CHILD_EXTENSION* added = record("slot 1");
        const PDEVICE_OBJECT filter = ours(pdo, HOTP_CHILD_SIGNATURE)[0];
        auto entry = [&](PDEVICE_OBJECT d, unsigned minor) {
            char text[96];
            std::snprintf(text, sizeof text, "HotpChildDeviceDispatchPnp: DevObj 0x%s (013000) IRP 0x%x",
                          hex(d).c_str(), minor);
            return std::string(text);
        };
        auto flags = [](ULONG value) {
            char text[64];
            std::snprintf(text, sizeof text, "HotpChildDeviceDispatchPnp - PDO deviceNode flag  %x", value);
            return std::string(text);
        };
        const std::string newFlags = flags(DNF_PROCESSED | DNF_ENUMERATED);
        const std::string a = "HotpAttachDeviceRelations";
        const std::vector<std::pair<ULONG, std::string>> expected = {
            {3, "HotpBusDispatchPnp: DevObj 0x" + hex(busFilter) + " IRP 0x7"},
            {3, entry(bridgeChild, 7)},
            {4, flags(bridgeFlags)},
            {4, a + "() begins with DeviceObject = " + hex(busFilter, 8) + ", irp = *"},
            {4, a + " - Relations Count = 2 "},
            {4, a + " - Boot time PDO (ignore)"},
            {4, a + " - ChildDeviceFilter " + hex(filter) + " attached to PDO " + hex(pdo) +
                    " (Immediate " + hex(pdo) + ")"},
            {4, a + " - TrackExtension = " + hex(storage) + " (at the beginning) "},
            {4, a + " - TrackExtension = " + hex(storage) + " and its childdevice = " + hex(added)},
            {3, entry(filter, 0xa)},
            {4, newFlags},
            {4, "HotpProgramPCI - VendorId f1a0, DeviceId 1000"},
            {4, "HotpProgramPCI - hot added device"},
            {3, entry(filter, 0xb)},
            {4, newFlags},
            {3, entry(filter, 0xd)},
            {4, newFlags},
            {3, entry(filter, 0)},
            {4, newFlags},
            {4, "HotpPostProgramPCI - LatencyTimer(90) set for (VendorId f1a0, DeviceId 1000)"},
            {4, "HotpPostProgramPCI - CacheLineSize(8) set for (VendorId f1a0, DeviceId 1000)"},
        };
        std::vector<std::string> want;
        for (const auto& [at, text] : expected) {
            if (at <= level) want.push_back(text);
        }
        auto got = texts(OutKind::Trace);
        ASSERT_EQ(got.size(), want.size()) << describe(got);
        for (size_t i = 0; i < want.size(); ++i) {
            if (want[i].back() == '*') {
                EXPECT_EQ(got[i].rfind(want[i].substr(0, want[i].size() - 1), 0), 0u) << got[i];
                EXPECT_NE(got[i].find(" and Extension = " + hex(busRecord(*bridge), 8) + " "),
                          std::string::npos) << got[i];
            } else {
                EXPECT_EQ(got[i], want[i]);
            }
        }

        // The attach event: written through the bus filter that listed the card, rendered from
        // the message table with the PDO blank-padded to eight digits.
        auto events = texts(OutKind::EventLog);
        ASSERT_EQ(events.size(), level == 0 ? 0u : 1u);
        if (level != 0) {
            char padded[16];
            std::snprintf(padded, sizeof padded, "%8s", hex(pdo).c_str());
            EXPECT_EQ(events[0], std::string("hotpflt 40000403: Norvane PCI ホットプラグ・フィルターは"
                                             "アダプター PDO ") + padded + " にアタッチされました。");
            EXPECT_EQ(m->kernel().errorLog().back().ioObject, busFilter);
            EXPECT_EQ(m->kernel().renderEvent(m->kernel().errorLog().back()),
                      nt::widen(events[0].substr(18) + "\r\n"));
        }
        finish();
    }
}

// --- faults -------------------------------------------------------------------------------------

// Each platform call the driver makes while a bridge card is hot added fails once, at every use
// in turn: no stack ever holds two filters of a kind, and the next relations query of a filtered
// bus attaches whatever a fault left out. The machine shuts down with nothing leaked.
TEST_F(Flow, FaultsDuringAHotAddLeaveNothingBehind)
{
    const nt::FaultPoint points[] = {
        nt::FaultPoint::CreateDevice,          nt::FaultPoint::AttachDevice,
        nt::FaultPoint::BuildRequest,          nt::FaultPoint::QueryInterface,
        nt::FaultPoint::AllocateErrorLogEntry, nt::FaultPoint::AllocatePool,
        nt::FaultPoint::ShortConfigTransfer,
    };
    for (nt::FaultPoint point : points) {
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(std::string(nt::faultPointName(point)) + " #" + std::to_string(n));
            boot({.traceLevel = 1});
            nt::FaultInjector& faults = m->kernel().faults();
            faults.failNth(point, n);
            insert("bridge card", "slot 2");
            const bool fired = faults.fired();
            faults.clear();
            for (pnp::DeviceNode* bus : m->pnpManager().nodes()) {
                EXPECT_LE(ours(bus->pdo, HOTP_CHILD_SIGNATURE).size(), 1u) << bus->name;
                auto filters = ours(bus->pdo, HOTP_BUS_SIGNATURE);
                EXPECT_LE(filters.size(), 1u) << bus->name;
                if (filters.empty()) continue;
                m->pnpManager().enumerate(*bus);
                auto* b = static_cast<HOTP_BUS_EXTENSION*>(filters[0]->DeviceExtension);
                std::vector<PDEVICE_OBJECT> expected, got;
                for (auto& c : bus->children) expected.push_back(c->pdo);
                for (HOTP_CHILD_EXTENSION* r : listed(b)) got.push_back(r->Pdo);
                std::sort(expected.begin(), expected.end());
                std::sort(got.begin(), got.end());
                EXPECT_EQ(got, expected) << bus->name;
                EXPECT_EQ(b->ChildDeviceCount, static_cast<LONG>(got.size())) << bus->name;
            }
            finish();
            if (!fired || HasFailure()) break;
        }
    }
}

// A peer host bridge's root bus at bus 3, the number right above the hot-plug bridge's range
// (1 to 2): it carries a network controller and a hot-plug bridge of its own. Both roots boot with
// the bus filter on them; a bridge card with a bridge behind it, hot added behind the first root,
// would need bus 3 for its inner bridge: the scan finds bus 3 answering and does not take it, so
// no cycle of the scan reaches the peer's devices. A card hot added behind the peer's bridge starts.
TEST_F(Flow, PeerRootBusIsFilteredAndNeverSizedByTheScan)
{
    machine::MachineDesc desc = formats::defaultMachine();
    desc.windows.io = {0x1000, 0x7FFF};
    for (machine::FunctionDesc& f : desc.root.functions) {
        if (f.isBridge()) f.secondary.reserve.buses = 1;
    }
    machine::PeerRootDesc peer;
    peer.number = 3;
    peer.windows = machine::RootWindows{{0x8000, 0xFFFF}, {0x70000000, 0x7FFFFFFF}, {1, 0}, {1, 0}};
    machine::FunctionDesc nic = desc.card("network card")->functions.front();
    nic.device = 0;
    peer.bus.functions.push_back(nic);
    machine::FunctionDesc bridge = desc.root.functions.back();
    ASSERT_TRUE(bridge.isBridge());
    bridge.secondary.functions.clear();
    bridge.secondary.slots = {machine::SlotDesc{1, "", 0}};
    bridge.secondary.reserve = {};
    bridge.secondary.reserve.io = 0x1000;
    bridge.secondary.reserve.memory = 0x100000;
    peer.bus.functions.push_back(bridge);
    desc.peers.push_back(peer);
    boot({}, desc);

    ASSERT_EQ(m->pnpManager().roots().size(), 2u);
    for (pnp::DeviceNode* root : m->pnpManager().roots()) {
        EXPECT_EQ(root->state, pnp::DeviceNode::State::Started) << root->name;
        EXPECT_EQ(ours(root->pdo, HOTP_BUS_SIGNATURE).size(), 1u) << root->name;
    }
    pci::Function* peerNic = m->hardware().locate(3, 0, 0);
    ASSERT_NE(peerNic, nullptr);
    const uint32_t bar0 = peerNic->dword(pci::reg::Bar0), bar1 = peerNic->dword(pci::reg::Bar0 + 4);

    m->hardware().clearLog();
    ASSERT_TRUE(insert("nested bridge card", "slot 1"));
    unsigned rootCyclesToPeer = 0, vendorReads = 0;
    for (const pci::Transaction& t : m->hardware().log()) {
        if (t.who == pci::Actor::RootAccessors && t.bus == 3 &&
            !t.write && t.offset == 0 && t.length == 2) {
            ++vendorReads;
        } else if (t.who == pci::Actor::RootAccessors && t.bus == 3) {
            ++rootCyclesToPeer;
        }
    }
    EXPECT_EQ(vendorReads, 1u) << "device 0 of bus 3 answers the first read: the number is taken";
    EXPECT_EQ(rootCyclesToPeer, 0u) << "only the vendor IDs of bus 3 are read";
    EXPECT_EQ(peerNic->dword(pci::reg::Bar0), bar0);
    EXPECT_EQ(peerNic->dword(pci::reg::Bar0 + 4), bar1);
    EXPECT_EQ(node("slot 1")->state, pnp::DeviceNode::State::Started) << node("slot 1")->problem;

    ASSERT_TRUE(insert("network card", "03:1e.0/01"));
    bool started = false;
    for (pnp::DeviceNode* n : m->pnpManager().nodes()) {
        pcibus::FunctionNode* f = m->busDriver().function(n->pdo);
        if (f != nullptr && f->vendorId == 0xf1a0 && f->parent->number == 4) {
            started = n->state == pnp::DeviceNode::State::Started;
        }
    }
    EXPECT_TRUE(started) << "the card behind the peer root's bridge";
}

// --- texts --------------------------------------------------------------------------------------

// One entry of the golden table of texts: a trace point's format or an event's rendered text, as a
// pattern for the lines the machine shows (without the line end).
struct GoldenText {
    std::string entry;
    OutKind kind;
    std::regex pattern;
    bool seen = false;
};

std::vector<GoldenText> goldenTexts()
{
    const auto path = std::filesystem::path(__FILE__).parent_path().parent_path() / "texts.golden";
    std::ifstream in(path);
    EXPECT_TRUE(in) << path;
    std::vector<GoldenText> out;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        std::string kind, level;
        fields >> kind >> level;
        std::string text = line.substr(kind.size() + level.size() + 2);
        if (kind == "trace" && text.size() >= 2 && text.compare(text.size() - 2, 2, "\\n") == 0) {
            text.resize(text.size() - 2);
        }
        // Conversions and insertions match what they print; everything else is literal.
        std::string pattern = std::regex_replace(text, std::regex(R"([.^$|()\[\]{}*+?\\])"), "\\$&");
        pattern = std::regex_replace(pattern, std::regex("%08lx"), "[0-9a-f]{8}");
        pattern = std::regex_replace(pattern, std::regex("%l?x"), "[0-9a-f]+");
        pattern = std::regex_replace(pattern, std::regex("%2"), "[ 0-9a-f]{8}");
        if (kind == "event") pattern = "hotpflt " + level + ": " + pattern;
        out.push_back({line, kind == "event" ? OutKind::EventLog : OutKind::Trace, std::regex(pattern)});
    }
    return out;
}

// Every line the driver prints and every event it logs is one of the golden table's, byte for
// byte, and every entry of the table is produced by some flow: each card hot added, powered down
// and up and removed; each creation, attachment and short transfer failing in turn; and the two
// texts no sound machine reaches, a bus record handed to the configuration access and a removed
// child missing from its list.
TEST_F(Flow, EveryTextIsTheGoldenTablesAndEveryEntryIsProduced)
{
    std::vector<GoldenText> golden = goldenTexts();
    std::vector<std::string> unknown;
    auto collect = [&] {
        for (const machine::Output& o : outputs) {
            if (o.kind != OutKind::Trace && o.kind != OutKind::EventLog) continue;
            auto match = std::find_if(golden.begin(), golden.end(), [&](const GoldenText& g) {
                return g.kind == o.kind && std::regex_match(o.text, g.pattern);
            });
            if (match == golden.end()) {
                unknown.push_back(o.text);
            } else {
                match->seen = true;
            }
        }
        outputs.clear();
    };
    auto playAll = [&](std::initializer_list<std::function<void()>> steps) {
        for (const auto& step : steps) {
            step();
            collect();
        }
    };

    // Each card beside a network card on the hot-plug bus: both buses list again what they have
    // filtered, and the network card is found behind the storage controller and the card.
    for (const machine::CardDesc& card : formats::defaultMachine().cards) {
        SCOPED_TRACE(card.name);
        boot({.traceLevel = 4});
        playAll({[&] {}, [&] { insert(card.name, "slot 1"); },
                 [&] { insert("network card", "slot 2"); },
                 [&] { m->pnpManager().enumerate(*m->pnpManager().root()); },
                 [&] { play(EventKind::Power, "slot 1", {}, 3); },
                 [&] { play(EventKind::Power, "slot 1", {}, 0); },
                 [&] { play(EventKind::Remove, "slot 2"); },
                 [&] { play(EventKind::Remove, "slot 1"); }});
        finish();
    }
    for (nt::FaultPoint point : {nt::FaultPoint::CreateDevice, nt::FaultPoint::AttachDevice}) {
        for (uint64_t n = 1;; ++n) {
            SCOPED_TRACE(std::string(nt::faultPointName(point)) + " #" + std::to_string(n));
            boot({.traceLevel = 4});
            m->kernel().faults().failNth(point, n);
            insert("bridge card", "slot 2");
            collect();
            const bool fired = m->kernel().faults().fired();
            m->kernel().faults().clear();
            finish();
            if (!fired || HasFailure()) break;
        }
    }

    // Every read of a card's class comes back short.
    boot({.traceLevel = 4});
    const machine::Event fail = makeFail("config-read", "slot 2", 0x0B, false);
    playAll({[&] { m->apply(fail); }, [&] { insert("network card", "slot 2"); }});
    finish();

    // The read-back of the card's outer bridge, whose subordinate number the scan raised, comes
    // back short, and so does every read of the number after it: the scan is made again. Two
    // reads of its header cover the number first.
    boot({.traceLevel = 4});
    const machine::Event failReadBack = makeFail("config-read", "slot 1", 0x1A, false, 3);
    playAll({[&] { m->apply(failReadBack); }, [&] { insert("nested bridge card", "slot 1"); }});
    finish();

    boot({.traceLevel = 4});
    insert("network card", "slot 1");
    HOTP_CHILD_EXTENSION* child = record("slot 1");
    ASSERT_NE(child, nullptr);
    UCHAR untouched = 0x5A;
    // Only the host module can be called by name: the kernel image exports its trace levels alone.
    auto* access = m->driver()->image->get<decltype(HotpGetSetDeviceBusData)>("HotpGetSetDeviceBusData");
    if (access != nullptr) {
        EXPECT_EQ(access(reinterpret_cast<HOTP_COMMON_HEADER*>(child->BusExtension), TRUE, &untouched,
                         0, 1),
                  STATUS_SUCCESS);
        EXPECT_EQ(untouched, 0x5A);
    }
    // The PnP manager asks a device for its resources once, before any bus filter joins its
    // stack; asked again, the bridge's bus filter watches the request.
    PDEVICE_OBJECT top = node("1e.0")->pdo;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_PNP;
    next->MinorFunction = IRP_MN_QUERY_RESOURCES;
    EXPECT_EQ(IofCallDriver(top, irp), STATUS_SUCCESS);
    if (irp->IoStatus.Information != 0) ExFreePool(reinterpret_cast<PVOID>(irp->IoStatus.Information));
    IoFreeIrp(irp);
    collect();
    // The record leaves its bus's list behind the count's back, so its removal does not find it.
    HOTP_BUS_EXTENSION* bus = child->BusExtension;
    for (HOTP_CHILD_EXTENSION** link = &bus->ChildListHead; *link != nullptr; link = &(*link)->NextChild) {
        if (*link == child) {
            *link = child->NextChild;
            break;
        }
    }
    playAll({[&] { play(EventKind::Remove, "slot 1"); }});
    finish();

    EXPECT_TRUE(unknown.empty()) << "texts not in the golden table:\n" << describe(unknown);
    std::vector<std::string> unseen;
    for (const GoldenText& g : golden) {
        const bool byNameOnly = g.entry.find("HotpGetSetDeviceBusData") != std::string::npos;
        if (!g.seen && (access != nullptr || !byNameOnly)) unseen.push_back(g.entry);
    }
    EXPECT_TRUE(unseen.empty()) << "golden texts no flow produced:\n" << describe(unseen);
}

}  // namespace
}  // namespace hotp::test
