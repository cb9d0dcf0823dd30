// A hot add replayed on a captured machine: the built-in machine with its bridge card hot added is
// captured as Linux would show it, imported, booted as found, and the bridge card is pulled out and
// inserted again. With the driver every device behind the card's bridge starts in windows at
// least as large as the captured ones; without it, the card's bridge asks for too little.
#include <gtest/gtest.h>
#include <machine_events.hpp>

#include <machine/machine.hpp>
#include <views/views.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <formats/replug_plan.hpp>
#include <formats/snapshot.hpp>
#include <formats/machine_writer.hpp>
#include <pnp/manager.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

std::string resourceLine(uint64_t start, uint64_t size, uint64_t flags)
{
    char text[80];
    std::snprintf(text, sizeof text, "0x%016llx 0x%016llx 0x%016llx\n",
                  static_cast<unsigned long long>(size ? start : 0),
                  static_cast<unsigned long long>(size ? start + size - 1 : 0),
                  static_cast<unsigned long long>(flags));
    return text;
}

// Every function of the running hardware, as Linux's sysfs shows it.
formats::Snapshot capture(pci::Hierarchy& hw)
{
    formats::Snapshot snapshot;
    snapshot.source = "captured";
    std::function<void(unsigned)> walk = [&](unsigned number) {
        for (unsigned d = 0; d < 32; ++d) {
            for (unsigned fn = 0; fn < 8; ++fn) {
                pci::Function* f = hw.locate(number, d, fn);
                if (f == nullptr) continue;
                formats::SnapshotFunction s;
                s.bus = number;
                s.device = d;
                s.function = fn;
                for (unsigned at = 0; at < 256; ++at) s.config.push_back(f->byte(at));
                std::string resource;
                const auto& bars = f->bars();
                for (unsigned i = 0; i < 6; ++i) {
                    const pci::Bar bar = i < bars.size() ? bars[i] : pci::Bar{};
                    if (bar.kind == pci::Bar::Kind::None) {
                        resource += resourceLine(0, 0, 0);
                        continue;
                    }
                    uint64_t flags = bar.kind == pci::Bar::Kind::Io ? 0x100 : 0x200;
                    if (bar.prefetchable) flags |= 0x2000;
                    if (bar.kind == pci::Bar::Kind::Memory64) flags |= 0x100000;
                    const uint32_t low = f->dword(pci::reg::Bar0 + 4 * i);
                    uint64_t address = low & (bar.kind == pci::Bar::Kind::Io ? ~0x3u : ~0xFu);
                    if (bar.kind == pci::Bar::Kind::Memory64) {
                        address |= uint64_t{f->dword(pci::reg::Bar0 + 4 * i + 4)} << 32;
                    }
                    resource += resourceLine(address, bar.size, flags);
                }
                resource += resourceLine(0, f->romSize(), f->romSize() ? 0x200 : 0);
                if (f->header() == pci::HeaderKind::Bridge) {
                    for (uint64_t flags : {0x100, 0x200, 0x2200, 0}) resource += resourceLine(0, 0, flags);
                }
                s.resource = resource;
                s.source = "captured";
                snapshot.functions.push_back(std::move(s));
                if (f->header() == pci::HeaderKind::Bridge && f->byte(pci::reg::SecondaryBus) > number) {
                    walk(f->byte(pci::reg::SecondaryBus));
                }
            }
        }
    };
    walk(0);
    std::sort(snapshot.functions.begin(), snapshot.functions.end(),
              [](const formats::SnapshotFunction& a, const formats::SnapshotFunction& b) {
                  return std::tie(a.bus, a.device, a.function) < std::tie(b.bus, b.device, b.function);
              });
    return snapshot;
}

machine::MachineDesc capturedWithBridgeCard()
{
    machine::MachineOptions options;
    options.driverPath = HOTP_DRIVER_PATH;
    machine::Machine m(formats::defaultMachine(), options, [](const machine::Output&) {});
    m.boot();
    EXPECT_TRUE(m.apply(hotp::test::makeEvent(machine::EventKind::Insert, "slot 2", "bridge card")));
    formats::ImportResult imported = formats::importSnapshot(capture(m.hardware()));
    EXPECT_TRUE(imported.machine) << (imported.errors.empty() ? "" : imported.errors.front());
    EXPECT_TRUE(m.shutdown().empty());
    return imported.machine ? *imported.machine : machine::MachineDesc{};
}

struct Played {
    std::vector<std::string> comparison, problems;
};

Played replug(const machine::MachineDesc& desc, const std::string& bdf, bool withDriver)
{
    std::string error;
    auto plan = formats::planReplug(desc, bdf, error);
    EXPECT_TRUE(plan) << error;
    if (!plan) return {};
    EXPECT_TRUE(machine::checkScenario(plan->scenario, plan->machine).empty());
    machine::MachineOptions options;
    options.withDriver = withDriver;
    options.driverPath = HOTP_DRIVER_PATH;
    machine::Machine m(plan->machine, options, [](const machine::Output&) {});
    m.boot();
    for (const machine::Event& e : plan->scenario.events) EXPECT_TRUE(m.apply(e));
    Played played;
    played.comparison = hotpsim::compareReplug(m, *plan);
    played.problems = m.shutdown();
    return played;
}

bool mentions(const std::vector<std::string>& lines, const std::string& text)
{
    return std::any_of(lines.begin(), lines.end(),
                       [&](const std::string& l) { return l.find(text) != std::string::npos; });
}

TEST(Replug, TheBridgeCardStartsAgainWithTheDriverAndNotWithout)
{
    const machine::MachineDesc captured = capturedWithBridgeCard();
    ASSERT_TRUE(captured.asFound);

    const Played with = replug(captured, "01:02.0", true);
    EXPECT_TRUE(with.problems.empty()) << with.problems.front();
    ASSERT_FALSE(with.comparison.empty());
    EXPECT_TRUE(mentions(with.comparison, "bridge 01:02.0"));
    EXPECT_TRUE(mentions(with.comparison, "captured:  io "));
    EXPECT_TRUE(mentions(with.comparison, "all started"));
    EXPECT_FALSE(mentions(with.comparison, "not started")) << with.comparison.back();

    const Played without = replug(captured, "01:02.0", false);
    EXPECT_TRUE(mentions(without.comparison, "not started"));

    // Malformed or impossible targets are refused with a reason.
    std::string error;
    EXPECT_FALSE(formats::planReplug(captured, "01:1f.0", error));
    EXPECT_NE(error.find("no function 01:1f.0"), std::string::npos) << error;
    EXPECT_FALSE(formats::planReplug(captured, "0x:02.0", error));
    EXPECT_FALSE(formats::planReplug(formats::defaultMachine(), "01:00.0", error));
    EXPECT_NE(error.find("no configuration bytes"), std::string::npos) << error;
}

// Published lspci dumps of real machines (tests/data/lspci, sources in its README): each imports,
// boots from its file alone with every device started but those whose BARs or windows of 4 GB or
// more no resource descriptor can describe, and a replug of each bridge on bus 00, and of a card on
// each peer root bus, plays with the verifier clean.
TEST(Replug, PublishedDumpsImportBootAndReplugEveryBridgeOnBus0)
{
    struct Dump {
        const char* file;
        unsigned functions;  // imported
        unsigned peers;      // peer root buses
        // What the replug shows of its CardBus bridge's windows as captured, if it has one.
        const char* cardBusCaptured = nullptr;
    };
    const Dump dumps[] = {
        {"thinkpad-760xd.txt", 2, 0},
        {"toshiba-satellite-1800.txt", 10, 0},
        {"asus-cuv266-dls.txt", 18, 0},
        {"compaq-proliant-dl360.txt", 9, 1},
        {"intel-scb2.txt", 12, 0},
        {"ibm-netfinity-7100.txt", 13, 1},
        {"arm-n1sdp.txt", 15, 0},
        {"toshiba-portege-7010ct.txt", 10, 0},
        {"compaq-proliant-cnb20he-3root.txt", 9, 2},
        {"ati-rs480-board.txt", 21, 0},
        {"hp-laptop-ali-pci1410.txt", 14, 0, "captured:  memory 0 30000000-31ffffff (32M) "
         "prefetchable, memory 1 32000000-33ffffff (32M), io 0 00001800-000018ff (256), io 1 "
         "00001c00-00001cff (256)"},
        {"asus-a8n-e.txt", 23, 0},
        {"amd-matisse-500-series.txt", 37, 0},
    };
    for (const Dump& d : dumps) {
        SCOPED_TRACE(d.file);
        const formats::SnapshotResult read =
            formats::readSnapshot(std::string(HOTP_LSPCI_DUMPS) + "/" + d.file);
        ASSERT_TRUE(read.snapshot) << read.errors.front();
        const formats::ImportResult imported = formats::importSnapshot(*read.snapshot);
        ASSERT_TRUE(imported.machine) << imported.errors.front();
        // The machine as a file, read back, is what boots.
        auto parsed = formats::parseMachine(formats::writeMachineFile(*imported.machine, imported.notes),
                                            d.file);
        ASSERT_TRUE(parsed) << parsed.errors().front();
        const machine::MachineDesc& desc = parsed.value();
        EXPECT_EQ(desc.peers.size(), d.peers);

        machine::MachineOptions options;
        options.driverPath = HOTP_DRIVER_PATH;
        machine::Machine m(desc, options, [](const machine::Output&) {});
        m.boot();
        unsigned functions = 0, started = 0;
        for (pnp::DeviceNode* node : m.pnpManager().nodes()) {
            if (node->rootBus) continue;
            ++functions;
            if (node->state == pnp::DeviceNode::State::Started) {
                ++started;
            } else {
                EXPECT_NE(node->problem.find("32-bit lengths"), std::string::npos)
                    << node->name << ": " << node->problem;
            }
        }
        EXPECT_EQ(functions, d.functions);
        std::printf("%-28s %u of %u functions started, %zu peer root bus(es)\n", d.file, started,
                    functions, desc.peers.size());
        const auto problems = m.shutdown();
        EXPECT_TRUE(problems.empty()) << problems.front();

        for (const machine::FunctionDesc& f : desc.root.functions) {
            if (f.kind == machine::FunctionKind::Device) continue;
            char bdf[16];
            std::snprintf(bdf, sizeof bdf, "00:%02x.%u", f.device, f.function);
            SCOPED_TRACE(bdf);
            const Played played = replug(desc, bdf, true);
            EXPECT_TRUE(played.problems.empty()) << played.problems.front();
            EXPECT_FALSE(played.comparison.empty());
            // A CardBus bridge's windows, as captured and as its registers hold them after.
            if (f.kind == machine::FunctionKind::CardBus) {
                EXPECT_TRUE(mentions(played.comparison, std::string("cardbus bridge ") + bdf));
                EXPECT_TRUE(mentions(played.comparison, "after:     memory 0 closed"));
                if (d.cardBusCaptured) {
                    EXPECT_TRUE(mentions(played.comparison, d.cardBusCaptured));
                }
            }
        }
        // A card on a peer host bridge's root bus is pulled and hot added on that root.
        for (const machine::PeerRootDesc& peer : desc.peers) {
            char bdf[16];
            std::snprintf(bdf, sizeof bdf, "%02x:%02x.0", peer.number, peer.bus.functions[0].device);
            const Played played = replug(desc, bdf, true);
            EXPECT_TRUE(played.problems.empty() && mentions(played.comparison, "): started")) << bdf;
        }
    }
}

}  // namespace
