// The hierarchy scan and the bridge path: temporary bus numbers as the hardware saw them, what is
// probed and sized, and the chain of bridges read from the bus driver's records.
#include "bridge_fixture.hpp"

namespace hotp::test {
namespace {

using Scan = BridgeTest;

template <typename... Parts>
std::vector<ConfigWrite> sequence(Parts&&... parts)
{
    std::vector<ConfigWrite> out;
    auto add = [&](const auto& part) {
        if constexpr (std::is_same_v<std::decay_t<decltype(part)>, ConfigWrite>) {
            out.push_back(part);
        } else {
            out.insert(out.end(), part.begin(), part.end());
        }
    };
    (add(parts), ...);
    return out;
}

// Target 5/5; on bus 5 a bridge with a bridge (and a device) behind it, then another bridge.
TEST_F(Scan, BusNumbersAreHandedOutDepthFirstAndGivenBack)
{
    pci::Function* target = placeTarget(5, 5);
    pci::Function* first = placeBridge(*target->secondary(), 0);
    pci::Function* inner = placeBridge(*first->secondary(), 0);
    placeDevice(*inner->secondary(), 0, {{Bar::Kind::Io, 32}});
    pci::Function* next = placeBridge(*target->secondary(), 2);
    ASSERT_NO_FATAL_FAILURE(attach());

    // Two bridges on bus 5, 32 bytes of I/O: three pages; or the two that hold the bridges' two
    // windows; or the bus driver's own page.
    Filtered filtered = filterRequirements(listBytes({{CmResourceTypePort, 0, 0x1000}}));
    EXPECT_EQ(filtered.lengths(), (std::vector<ULONG>{0x3000, 0x2000, 0x1000}));

    // Each bridge found has its own two BARs sized (its prefetchable window, 64-bit capable,
    // shows itself without a probe).
    EXPECT_EQ(writes(), sequence(bridgeBars(5, 0), subordinate(0, 1, 6), busNumbers(5, 0, 5, 6, 6),
                                 bridgeBars(6, 0), subordinate(0, 1, 7), subordinate(5, 0, 7),
                                 busNumbers(6, 0, 6, 7, 7), barSizing(7, 0),
                                 busNumbers(6, 0, 0, 0, 0), busNumbers(5, 0, 0, 0, 0),
                                 bridgeBars(5, 2), subordinate(0, 1, 8), busNumbers(5, 2, 5, 8, 8),
                                 busNumbers(5, 2, 0, 0, 0), subordinate(0, 1, 5)));
    for (pci::Function* found : {first, inner, next}) EXPECT_EQ(found->read(0x18, 3), 0u);
    EXPECT_EQ(target->read(0x18, 3), 0x050500u);
}

// Root -> 00:02.0 (1..10, spare numbers) -> 01:05.0 (2..3) -> target 02:03.0 (3..3) -> a bridge.
TEST_F(Scan, PathBridgesAreRaisedOnlyWhereTheirRangeIsShort)
{
    pci::Function* spare = placeBridge(hw.root(), 2);
    spare->write(0x18, 3, 0x0A0100);
    pci::Function* middle = placeBridge(*spare->secondary(), 5);
    pci::Function* target = placeBridge(*middle->secondary(), 3);
    placeBridge(*target->secondary(), 0);
    ASSERT_NO_FATAL_FAILURE(attach({2, 5, 3}));
    ASSERT_EQ(target->read(0x18, 3), 0x030302u);

    ASSERT_TRUE(scan());
    EXPECT_EQ(writes(), sequence(bridgeBars(3, 0), subordinate(1, 5, 4), subordinate(2, 3, 4),
                                 busNumbers(3, 0, 3, 4, 4), busNumbers(3, 0, 0, 0, 0),
                                 subordinate(1, 5, 3), subordinate(2, 3, 3)));
    EXPECT_EQ(spare->read(0x18, 3), 0x0A0100u);
}

// Bus 1 holds: 00 a multi-function device whose function 1 is absent (function 2 is there but
// must not be probed); 01 a device of eight functions, the last a bridge; 02 a device;
// 03 a type 1 header of another bridge class; 04 a header layout above 2; 1f a bridge.
TEST_F(Scan, ProbingFollowsTheHeaders)
{
    pci::Bus& bus1 = *placeTarget()->secondary();
    placeDevice(bus1, 0, {{Bar::Kind::Io, 4}})->setMultiFunction(true);
    placeDevice(bus1, 0, {{Bar::Kind::Io, 0x100}}, 2);
    placeDevice(bus1, 1, {{Bar::Kind::Io, 8}})->setMultiFunction(true);
    for (unsigned fn = 1; fn < 7; ++fn) placeDevice(bus1, 1, {}, fn);
    placeDevice(*placeBridge(bus1, 1, 7)->secondary(), 0, {{Bar::Kind::Io, 16}});
    placeDevice(bus1, 2, {{Bar::Kind::Io, 32}});
    placeBridge(bus1, 3)->poke(0x0A, 1, 0x80);
    placeDevice(bus1, 4, {{Bar::Kind::Io, 0x80}})->poke(0x0E, 1, 0x03);
    placeDevice(*placeBridge(bus1, 31)->secondary(), 0, {{Bar::Kind::Io, 64}});
    ASSERT_NO_FATAL_FAILURE(attach());

    auto s = scan();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->IoTotal, 4u + 8 + 16 + 32 + 64);
    EXPECT_EQ(s->MaxBridgesPerBus, 2u);
    EXPECT_EQ(s->CurrentLevel, s->TargetLevel);
    for (unsigned fn = 2; fn < 8; ++fn) EXPECT_FALSE(touched(1, 0, fn)) << "function " << fn;
    std::vector<ConfigWrite> bridgeWrites;
    for (const ConfigWrite& w : writes()) {
        if (w.bus != 1) continue;
        EXPECT_FALSE(w.device == 3 || w.device == 4) << "wrote to 01:" << w.device;
        if (w.offset == 0x18 && w.length == 3) bridgeWrites.push_back(w);
    }
    EXPECT_EQ(bridgeWrites, (std::vector<ConfigWrite>{{1, 1, 7, 0x18, 3, 0x020201},
                                                      {1, 1, 7, 0x18, 3, 0},
                                                      {1, 31, 0, 0x18, 3, 0x030301},
                                                      {1, 31, 0, 0x18, 3, 0}}));
}

struct BarCase {
    const char* name;
    std::vector<Bar> bars;  // by register
    uint32_t io, memory, prefetchable, memoryAlignment, prefetchableAlignment;
    std::optional<uint32_t> hardWiredBar0;  // a BAR with no writable bits reads this
};
void PrintTo(const BarCase& c, std::ostream* os) { *os << c.name; }

class BarReadback : public BridgeTest, public ::testing::WithParamInterface<BarCase> {};

TEST_P(BarReadback, AddsIntoTheTotals)
{
    const BarCase& c = GetParam();
    pci::Function* device = placeDevice(*placeTarget()->secondary(), 0, c.bars);
    if (c.hardWiredBar0) device->poke(0x10, 4, *c.hardWiredBar0);
    ASSERT_NO_FATAL_FAILURE(attach());
    auto s = scan();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->IoTotal, c.io);
    EXPECT_EQ(s->MemoryTotal, c.memory);
    EXPECT_EQ(s->PrefetchableTotal, c.prefetchable);
    EXPECT_EQ(s->MemoryAlignment, c.memoryAlignment);
    EXPECT_EQ(s->PrefetchableAlignment, c.prefetchableAlignment);
    EXPECT_EQ(writes(), barSizing(1, 0));
}

constexpr uint64_t M = 0x100000;
constexpr Bar kNone{};

INSTANTIATE_TEST_SUITE_P(
    Bridge, BarReadback,
    ::testing::Values(
        // 0xFFFFFFFD: four bytes, and the register after it is still sized.
        BarCase{"IoOfFourBytes", {{Bar::Kind::Io, 4}, {Bar::Kind::Io, 32}}, 36, 0, 0, 0, 0, {}},
        // 0x0000FFE1: holes above bit 15, so the lowest set bit gives the size.
        BarCase{"IoUpperHalfZero", {{Bar::Kind::Io, 32, false, true}}, 32, 0, 0, 0, 0, {}},
        // A 64-bit BAR's upper half (all ones after sizing) would read as a 4-byte I/O BAR.
        BarCase{"Prefetchable64BitSkipsItsUpperHalf",
                {{Bar::Kind::Memory64, 256 * M, true}, kNone, {Bar::Kind::Memory32, 0x10000}},
                0, 0x10000, 256 * M, 0x10000, 256 * M, {}},
        BarCase{"Prefetchable64BitInTheSixthRegister",
                {kNone, kNone, kNone, kNone, kNone, {Bar::Kind::Memory64, 256 * M, true}},
                0, 0, 256 * M, 0, 256 * M, {}},
        BarCase{"TypeBitsOnlyHaveNoSize", {}, 0, 0, 0, 0, 0, 0x00000008},
        BarCase{"MemoryTotalSaturates",
                {{Bar::Kind::Memory32, 0x80000000}, {Bar::Kind::Memory32, 0x80000000},
                 {Bar::Kind::Memory32, M}},
                0, 0xFFFFFFFF, 0, 0x80000000, 0, {}}),
    CaseName());

// A running bridge beside the path already forwards the temporary number a found bridge would
// need: the found bridge is counted but not entered, nothing is raised for it, and the running
// device behind the other bridge is neither reached nor sized.
struct LiveCase {
    const char* name;
    enum class Where { BesideTheTarget, OnTheRootBus, CardBusOnTheRootBus, SecondNumber } where;
    std::vector<ConfigWrite> writes;  // bus numbers only: 01 is the target's bus
};
void PrintTo(const LiveCase& c, std::ostream* os) { *os << c.name; }

class LiveBusNumber : public BridgeTest, public ::testing::WithParamInterface<LiveCase> {};

TEST_P(LiveBusNumber, IsNotTaken)
{
    const LiveCase& c = GetParam();
    using Where = LiveCase::Where;
    pci::Function* live = nullptr;
    pci::Function* target = nullptr;
    std::vector<unsigned> path = {1};
    if (c.where == Where::BesideTheTarget) {
        // Root -> 00:02.0 (1..3) -> target 01:03.0 (2..2), and 01:04.0 (3..3) beside it: the
        // number is inside the upper path bridge's range, yet taken.
        pci::Function* upper = placeBridge(hw.root(), 2);
        upper->write(0x18, 3, 0x030100);
        target = placeBridge(*upper->secondary(), 3);
        target->write(0x18, 3, 0x020201);
        live = placeBridge(*upper->secondary(), 4);
        live->write(0x18, 3, 0x030301);
        path = {2, 3};
    } else {
        // Target 00:01.0 (1..1); a running bridge at 00:02.0 forwards 2, or 3 for the second.
        target = placeTarget(1, 1);
        const uint32_t number = c.where == Where::SecondNumber ? 3 : 2;
        if (c.where == Where::CardBusOnTheRootBus) {
            hw.root().place(2, 0, pci::Function::cardBus(0x1AB0, 0x0700));
            live = hw.root().function(2, 0);
        } else {
            live = placeBridge(hw.root(), 2);
        }
        live->write(0x18, 3, number << 16 | number << 8);
    }
    pci::Function* running = placeDevice(*live->secondary(), 0, {{Bar::Kind::Memory32, 0x20000}});
    running->write(0x10, 4, 0xF4000000);
    running->write(0x04, 2, 0x0006);
    pci::Function* found = placeBridge(*target->secondary(), 0);
    pci::Bus* behind = found->secondary();
    if (c.where == Where::SecondNumber) behind = placeBridge(*behind, 0)->secondary();
    placeDevice(*behind, 0, {{Bar::Kind::Io, 32}});
    ASSERT_NO_FATAL_FAILURE(attach(path));

    auto s = scan();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->IoTotal, 0u);
    EXPECT_EQ(s->MaxBridgesPerBus, 1u);
    EXPECT_EQ(s->CurrentLevel, s->TargetLevel);
    EXPECT_EQ(writes(), c.writes);
    EXPECT_EQ(running->read(0x10, 4), 0xF4000000u);
    EXPECT_EQ(found->read(0x18, 3), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, LiveBusNumber,
    // The found bridge's own BARs are sized, entered or not.
    ::testing::Values(LiveCase{"BesideTheTarget", LiveCase::Where::BesideTheTarget, bridgeBars(2, 0)},
                      LiveCase{"OnTheRootBus", LiveCase::Where::OnTheRootBus, bridgeBars(1, 0)},
                      LiveCase{"CardBusOnTheRootBus", LiveCase::Where::CardBusOnTheRootBus,
                               bridgeBars(1, 0)},
                      // The first found bridge gets 2; the one behind it would need 3.
                      LiveCase{"SecondNumber",
                               LiveCase::Where::SecondNumber,
                               sequence(bridgeBars(1, 0), subordinate(0, 1, 2),
                                        busNumbers(1, 0, 1, 2, 2), bridgeBars(2, 0),
                                        busNumbers(1, 0, 0, 0, 0), subordinate(0, 1, 1))}),
    CaseName());

// Target 00:01.0 (1..1) with a bridge behind it, and a bridge at 00:02.0 (5..5) that does not
// forward 2. When the identifiers or header type of a function on the path's bus, or the bus
// numbers of a bridge there, come back short, the number is in doubt and is not taken; without a
// fault it is.
TEST_F(Scan, ANumberInDoubtIsNotTaken)
{
    placeTarget(1, 1);
    placeBridge(hw.root(), 2)->write(0x18, 3, 0x050500);
    placeDevice(*placeBridge(*hw.root().function(1, 0)->secondary(), 0)->secondary(), 0,
                {{Bar::Kind::Io, 32}});
    ASSERT_NO_FATAL_FAILURE(attach());
    // Transfers: the target's header twice, the probe of 01:00.0, its BARs written and read
    // (5), then on bus 0 the identifiers of 00:00.0 (absent) and 00:01.0, its header type (8),
    // the identifiers and header type of 00:02.0 and its bus numbers (11). Identifiers cut short once are read again; the other
    // fields, and identifiers short twice, leave the number in doubt.
    struct Case {
        const char* what;
        unsigned failing;  // 0: none
        bool persistent;   // every transfer from then on comes back short
        bool entered;
    } cases[] = {{"no fault", 0, false, true},
                 {"identifiers of an absent function short once", 6, false, true},
                 {"identifiers of a present function short once", 7, false, true},
                 {"identifiers of an absent function short twice", 6, true, false},
                 {"identifiers of a present function short twice", 7, true, false},
                 {"header type short", 8, false, false},
                 {"bus numbers short", 11, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        hw.clearLog();
        kernel.faults().clear();
        if (c.failing != 0) {
            kernel.faults().failNth(nt::FaultPoint::ShortConfigTransfer, c.failing, c.persistent);
        }
        auto s = scan();
        ASSERT_TRUE(s);
        EXPECT_EQ(kernel.faults().fired(), c.failing != 0);
        EXPECT_EQ(s->IoTotal, c.entered ? 32u : 0u);
        const std::vector<ConfigWrite> written = writes();
        EXPECT_EQ(std::any_of(written.begin(), written.end(),
                              [](const ConfigWrite& w) { return w.offset == 0x18; }),
                  c.entered);
    }
    kernel.faults().clear();
}

// Root -> 00:02.0 (1..10) -> 01:05.0 (2..3) -> target 02:03.0 (3..3) -> 03:00.0, with a device
// of 32 bytes of I/O behind it, and in some rows a second bridge 03:01.0 that needs one more
// number. Another writer (the bus driver restoring 01:05.0's header on its return to D0) sets
// 01:05.0's subordinate number right after the scan has numbered 03:00.0 (or, in some rows, once
// it has sized what is behind it): bus 4 is cut off. The scan is made again with the path as it
// then is; a number the other writer left stays, the number saved before the scan is not written
// over it, and the best attempt's totals are kept. A read-back of 01:05.0 that comes back short
// is no evidence of another writer: the saved number is written back.
struct CutCase {
    const char* name;
    bool secondBridge = false;
    unsigned times = 0;           // cuts made, one per attempt
    uint32_t written = 3;         // what the other writer leaves in 01:05.0's subordinate number
    bool afterSizing = false;     // the cut comes as 03:00.0 is cleared, and resets the target
    bool readBackShort = false;   // 01:05.0's read-back of 0x1A comes back short
    bool alwaysShort = false;     // ... and so does every read of it after that
    unsigned programmed = 1;      // times 03:00.0 was given bus numbers: one per attempt
    ULONG ioTotal = 32;
    uint32_t targetAfter = 0x030302;
};
void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

class CutOffBus : public BridgeTest, public ::testing::WithParamInterface<CutCase> {};

TEST_P(CutOffBus, IsScannedAgain)
{
    const CutCase& c = GetParam();
    pci::Function* spare = placeBridge(hw.root(), 2);
    spare->write(0x18, 3, 0x0A0100);
    pci::Function* middle = placeBridge(*spare->secondary(), 5);
    pci::Function* target = placeBridge(*middle->secondary(), 3);
    placeDevice(*placeBridge(*target->secondary(), 0)->secondary(), 0, {{Bar::Kind::Io, 32}});
    if (c.secondBridge) placeBridge(*target->secondary(), 1);
    ASSERT_NO_FATAL_FAILURE(attach({2, 5, 3}));
    unsigned programmed = 0, cuts = 0;
    hw.onTransaction = [&](const pci::Transaction& t) {
        if (!t.write || t.bus != 3 || t.device != 0 || t.offset != 0x18) return;
        programmed += t.value != 0;
        if ((t.value == 0) == c.afterSizing && cuts++ < c.times) {
            middle->write(0x1A, 1, c.written);
            if (c.afterSizing) target->write(0x18, 3, 0);
        }
    };
    if (c.readBackShort) {
        // The first read covering 01:05.0's 0x1A is the path's header read; the second, the
        // read-back.
        nt::FaultAim aim;
        aim.bus = 1;
        aim.device = 5;
        aim.write = false;
        aim.offset = 0x1A;
        kernel.faults().failNth(nt::FaultPoint::ShortConfigTransfer, 2, c.alwaysShort, aim);
    }
    auto s = scan();
    hw.onTransaction = nullptr;
    ASSERT_TRUE(s);
    EXPECT_EQ(kernel.faults().fired(), c.readBackShort);
    kernel.faults().clear();
    EXPECT_EQ(programmed, c.programmed);
    EXPECT_EQ(s->IoTotal, c.ioTotal);
    EXPECT_EQ(middle->read(0x1A, 1), c.written);
    EXPECT_EQ(target->read(0x18, 3), c.targetAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, CutOffBus,
    ::testing::Values(CutCase{.name = "RestoredOnce", .times = 1, .programmed = 2},
                      CutCase{.name = "RaisedMeanwhileAndKept", .times = 1, .written = 9,
                              .programmed = 2},
                      // Three attempts, each cut off: nothing was found behind 03:00.0.
                      CutCase{.name = "RestoredAtEveryAttempt", .times = 9, .programmed = 3,
                              .ioTotal = 0},
                      // Seen when the path is raised again for the second bridge.
                      CutCase{.name = "RestoredBeforeARaiseForASecondBridge",
                              .secondBridge = true, .times = 1, .programmed = 2},
                      // 9 covers bus 4, so the first attempt sizes the device; the raise for the
                      // second bridge finds 9 and leaves it.
                      CutCase{.name = "RaisedBeforeARaiseForASecondBridgeAndKept",
                              .secondBridge = true, .times = 1, .written = 9, .programmed = 2},
                      // The reset takes the target's numbers too: the second attempt, reading
                      // them again, finds no bus to scan; the first one's totals stand.
                      CutCase{.name = "ResetAfterSizingKeepsTheFirstTotals", .times = 1,
                              .afterSizing = true, .targetAfter = 0},
                      CutCase{.name = "ReadBackShortOnceIsReadAgain", .readBackShort = true},
                      // The saved number is written back all the same; the next attempt cannot
                      // read the path, so the first one's totals stand.
                      CutCase{.name = "ReadBackAlwaysShortStillRestores", .readBackShort = true,
                              .alwaysShort = true}),
    CaseName());

// A probe read that comes back one byte short is an absent function: the bridge at 01:00.0 is
// neither counted nor entered, and the device after it is still sized.
TEST_F(Scan, AShortProbeReadIsAnAbsentFunction)
{
    pci::Bus& bus1 = *placeTarget()->secondary();
    placeDevice(*placeBridge(bus1, 0)->secondary(), 0, {{Bar::Kind::Io, 16}});
    placeDevice(bus1, 1, {{Bar::Kind::Io, 32}});
    ASSERT_NO_FATAL_FAILURE(attach());
    // Transfers: the filter's header read, the path's, then the probe of 01:00.0.
    kernel.faults().failNth(nt::FaultPoint::ShortConfigTransfer, 3);
    auto s = scan();
    ASSERT_TRUE(s);
    EXPECT_TRUE(kernel.faults().fired());
    EXPECT_EQ(s->IoTotal, 32u);
    EXPECT_EQ(s->MaxBridgesPerBus, 0u);
    EXPECT_EQ(writes(), barSizing(1, 1));
}

// A target 31 bridges below the root takes the last entry: a bridge behind it is counted but not
// entered, so it is never written and the bus behind it never numbered.
TEST_F(Scan, ABridgeBeyondTheLastEntryIsCountedButNotEntered)
{
    pci::Bus* end = nullptr;
    std::vector<unsigned> path = placeChain(31, end);
    pci::Bus& behind = *placeBridge(*end, 4)->secondary();
    path.push_back(4);
    placeDevice(*placeBridge(behind, 0)->secondary(), 0, {{Bar::Kind::Io, 16}});
    placeDevice(behind, 1, {{Bar::Kind::Io, 32}});
    ASSERT_NO_FATAL_FAILURE(attach(path));

    auto s = scan();
    ASSERT_TRUE(s);
    EXPECT_EQ(s->TargetLevel, 31u);
    EXPECT_EQ(s->MaxBridgesPerBus, 1u);
    EXPECT_EQ(s->IoTotal, 32u);
    EXPECT_EQ(writes(), sequence(bridgeBars(32, 0), barSizing(32, 1)));
}

class BridgePath : public BridgeTest, public ::testing::WithParamInterface<unsigned> {};

// Depth d: d bridges between the root bus and the target, numbered by the bus driver.
TEST_P(BridgePath, DescribesTheChainFromTheRootBus)
{
    const unsigned depth = GetParam();
    pci::Bus* end = nullptr;
    std::vector<unsigned> path = placeChain(depth, end);
    placeBridge(*end, 4);
    path.push_back(4);
    ASSERT_NO_FATAL_FAILURE(attach(path));
    ASSERT_TRUE(routine<decltype(HotpGetRootBusInterface)>("HotpGetRootBusInterface")(targetPdo));

    HOTP_SCAN_CONTEXT record{};
    const BOOLEAN built =
        routine<decltype(HotpBuildBridgePath)>("HotpBuildBridgePath")(bus, &record, 0x77, 0x88);
    EXPECT_TRUE(writes().empty());
    if (depth >= HOTP_MAX_SCAN_LEVELS) {
        EXPECT_FALSE(built);
        const HOTP_SCAN_CONTEXT untouched{};
        EXPECT_EQ(std::memcmp(&record, &untouched, sizeof record), 0);
        return;
    }
    ASSERT_TRUE(built);
    EXPECT_EQ(record.TargetLevel, depth);
    EXPECT_EQ(record.CurrentLevel, depth);
    for (unsigned k = 0; k <= depth; ++k) {
        const HOTP_SCAN_LEVEL& level = record.Levels[k];
        SCOPED_TRACE("entry " + std::to_string(k));
        EXPECT_EQ(level.Kind, k < depth ? HOTP_LEVEL_PATH : HOTP_LEVEL_TARGET);
        EXPECT_EQ(level.Slot, path[k]);
        EXPECT_EQ(level.PrimaryBus, k);
        // Path entries keep their headers' numbers; the target's come from the arguments.
        EXPECT_EQ(level.SecondaryBus, k < depth ? k + 1 : 0x77u);
        EXPECT_EQ(level.SubordinateBus, k < depth ? depth + 1 : 0x88u);
        EXPECT_EQ(level.SavedSubordinateBus, 0);
    }
    if (depth + 1 < HOTP_MAX_SCAN_LEVELS) {
        EXPECT_EQ(record.Levels[depth + 1].Kind, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Bridge, BridgePath, ::testing::Values(0u, 1u, 31u, 32u),
                         [](const ::testing::TestParamInfo<unsigned>& p) {
                             return "Depth" + std::to_string(p.param);
                         });

// Root -> 00:02.0 -> target 01:03.0, with one link of the bus driver's records broken at a time,
// or the path's header read coming back short: the path is refused.
TEST_F(Scan, APathWithABrokenLinkIsRefused)
{
    placeBridge(*placeBridge(hw.root(), 2)->secondary(), 3);
    ASSERT_NO_FATAL_FAILURE(attach({2, 3}));
    auto* lookup = routine<decltype(HotpGetRootBusInterface)>("HotpGetRootBusInterface");
    auto* build = routine<decltype(HotpBuildBridgePath)>("HotpBuildBridgePath");
    ASSERT_TRUE(lookup(targetPdo));

    auto pointerAt = [](void* record, size_t offset) {
        void* p;
        std::memcpy(&p, static_cast<uint8_t*>(record) + offset, sizeof p);
        return p;
    };
    void* targetRecord = targetPdo->DeviceExtension;
    void* busRecord = pointerAt(targetRecord, pcibus::layout::PdoParent);
    void* bridgeRecord = static_cast<PDEVICE_OBJECT>(pointerAt(busRecord, pcibus::layout::FdoPdo))
                             ->DeviceExtension;
    void* const null = nullptr;
    const ULONG pdoWord = pcibus::layout::PdoTypeWord, fdoWord = pcibus::layout::FdoTypeWord;
    struct Break {
        const char* what;
        void* record;
        size_t offset;
        const void* value;
        size_t size;
    } breaks[] = {
        {"target without parent bus", targetRecord, pcibus::layout::PdoParent, &null, sizeof null},
        {"bus without bridge beneath", busRecord, pcibus::layout::FdoPdo, &null, sizeof null},
        {"bus record of the wrong type", busRecord, pcibus::layout::TypeWord, &pdoWord, 4},
        {"bridge record of the wrong type", bridgeRecord, pcibus::layout::TypeWord, &fdoWord, 4},
        {"short header read", nullptr, 0, nullptr, 0},
    };
    for (const Break& b : breaks) {
        uint8_t saved[8] = {};
        if (b.record != nullptr) {
            std::memcpy(saved, static_cast<uint8_t*>(b.record) + b.offset, b.size);
            std::memcpy(static_cast<uint8_t*>(b.record) + b.offset, b.value, b.size);
        } else {
            kernel.faults().failNth(nt::FaultPoint::ShortConfigTransfer, 1);
        }
        HOTP_SCAN_CONTEXT record{};
        EXPECT_FALSE(build(bus, &record, 2, 2)) << b.what;
        if (b.record != nullptr) {
            std::memcpy(static_cast<uint8_t*>(b.record) + b.offset, saved, b.size);
        }
    }
    EXPECT_TRUE(kernel.faults().fired());
    HOTP_SCAN_CONTEXT record{};
    EXPECT_TRUE(build(bus, &record, 2, 2));
}

// Nothing is cached from a device of another bus driver; once cached, any argument will do.
TEST_F(Scan, RootAccessorsAreFoundOnceAndKept)
{
    placeTarget();
    ASSERT_NO_FATAL_FAILURE(attach());
    auto* lookup = routine<decltype(HotpGetRootBusInterface)>("HotpGetRootBusInterface");
    auto* cached = driver.image->get<PCI_READ_WRITE_CONFIG>("HotpRootReadConfig");
    ASSERT_NE(cached, nullptr);
    PDEVICE_OBJECT foreign = kernel.createDevice(enumerator->driverObject(),
                                                 pcibus::layout::ExtensionSize,
                                                 FILE_DEVICE_UNKNOWN, 0, false, false);
    EXPECT_FALSE(lookup(foreign));
    EXPECT_FALSE(lookup(nullptr));
    EXPECT_EQ(*cached, nullptr);
    EXPECT_TRUE(lookup(targetPdo));
    EXPECT_NE(*cached, nullptr);
    EXPECT_TRUE(lookup(nullptr));
    kernel.deleteDevice(foreign);
}

}  // namespace
}  // namespace hotp::test
