// The requirements filter: which window descriptors grow and to what, the replacement list that
// carries them, and every request that must go down untouched.
#include "bridge_fixture.hpp"
#include <nt/variable_length.hpp>

#include <functional>

namespace hotp::test {
namespace {

constexpr ULONG M = 0x100000;
constexpr ULONG G = 0x40000000;

Descriptor io(ULONG length, UCHAR option = 0)
{
    return {CmResourceTypePort, CM_RESOURCE_PORT_IO, length, option};
}
Descriptor memory(ULONG length, USHORT flags = 0, UCHAR option = 0)
{
    return {CmResourceTypeMemory, flags, length, option};
}

// One device per entry behind the target, or bridges with one device each behind them.
std::function<void(pci::Bus&)> devices(std::vector<std::vector<Bar>> each,
                                        bool behindBridges = false)
{
    return [each, behindBridges](pci::Bus& on) {
        for (unsigned d = 0; d < each.size(); ++d) {
            placeDevice(behindBridges ? *placeBridge(on, d)->secondary() : on,
                        behindBridges ? 0 : d, each[d]);
        }
    };
}

constexpr UCHAR P = IO_RESOURCE_PREFERRED;
constexpr UCHAR A = IO_RESOURCE_ALTERNATIVE;

// One descriptor of the list the request carries on: a copy of the descriptor at `from` in the
// list handed in, with this option, length and (where not 0) alignment.
struct Out {
    unsigned from;
    ULONG length;
    UCHAR option = 0;
    ULONG alignment = 0;
};

struct WindowCase {
    const char* name;
    std::function<void(pci::Bus&)> behind;
    std::vector<Descriptor> descriptors;
    std::vector<Out> out;
};
void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class WindowRules : public BridgeTest, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(WindowRules, RaiseWhatTheHierarchyNeeds)
{
    const WindowCase& c = GetParam();
    c.behind(*placeTarget()->secondary());
    ASSERT_NO_FATAL_FAILURE(attach());
    const std::vector<uint8_t> before = listBytes(c.descriptors);
    Filtered after = filterRequirements(before);

    // A replacement is the old list with the raised windows and their fall-backs, and room for
    // one more descriptor, zero-filled.
    std::vector<Descriptor> out;
    bool changed = c.out.size() != c.descriptors.size();
    for (size_t i = 0; i < c.out.size(); ++i) {
        Descriptor d = c.descriptors[c.out[i].from];
        changed = changed || c.out[i].from != i || d.length != c.out[i].length;
        d.length = c.out[i].length;
        d.option = c.out[i].option;
        if (c.out[i].alignment != 0) d.alignment = c.out[i].alignment;
        out.push_back(d);
    }
    std::vector<uint8_t> expected = listBytes(out);
    if (changed) {
        reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(expected.data())->ListSize +=
            sizeof(IO_RESOURCE_DESCRIPTOR);
        expected.resize(expected.size() + sizeof(IO_RESOURCE_DESCRIPTOR), 0);
    }
    EXPECT_EQ(after.replaced, changed);
    EXPECT_EQ(after.lengths(), [&] {
        std::vector<ULONG> lengths;
        for (const Out& o : c.out) lengths.push_back(o.length);
        return lengths;
    }());
    EXPECT_EQ(after.bytes, expected);
}

const Bar kIoPage{Bar::Kind::Io, 0x1000};
const Bar kHalfPage{Bar::Kind::Io, 0x800};
const Bar kMeg{Bar::Kind::Memory32, M};
const Bar kHalfMeg{Bar::Kind::Memory32, M / 2};
const Bar kAperture{Bar::Kind::Memory64, 256 * M, true};

// Bridges behind the target, each with one device of these BARs behind it; `prefetchWindow`
// false: the bridges have no prefetchable window.
std::function<void(pci::Bus&)> bridges(std::vector<std::vector<Bar>> each, bool prefetchWindow)
{
    return [each, prefetchWindow](pci::Bus& on) {
        for (unsigned d = 0; d < each.size(); ++d) {
            on.place(d, 0, pci::Function::bridge(0x1AB0, 0x0400, true, false, prefetchWindow));
            placeDevice(*on.function(d, 0)->secondary(), 0, each[d]);
        }
    };
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, WindowRules,
    ::testing::Values(
        // Nothing behind: one page of I/O, the bus driver's own window the fall-back; memory
        // windows stay.
        WindowCase{"EmptyBridgeNeedsOnePage", [](pci::Bus&) {},
                   {io(0x800), memory(M), memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE)},
                   {{0, 0x1000, P}, {0, 0x800, A}, {1, M}, {2, M}}},
        WindowCase{"OnePageOfIoCountsAsNone", devices({{kIoPage}}), {io(0x800)},
                   {{0, 0x1000, P}, {0, 0x800, A}}},
        // 4100 bytes, the first total past one page that BARs can add up to: three pages, or
        // the two that hold it, or the bus driver's own.
        WindowCase{"JustOverOnePageCountsAsTwo", devices({{kIoPage, {Bar::Kind::Io, 4}}}),
                   {io(0x800)}, {{0, 0x3000, P}, {0, 0x2000, A}, {0, 0x800, A}}},
        // 2 bridges + 2 pages + 1; two nested windows of a page each fit.
        WindowCase{"PageAndAHalfUnderTwoBridges", devices({{kIoPage}, {kHalfPage}}, true),
                   {io(0x1000)}, {{0, 0x5000, P}, {0, 0x2000, A}, {0, 0x1000, A}}},
        WindowCase{"MemoryRoundedUpToTheLargestBar", devices({{kMeg, kHalfMeg}}), {memory(M)},
                   {{0, 2 * M, P, M}, {0, M, A}}},
        // Covering the total is not enough where it is no whole number of megabytes: a bridge's
        // memory window cannot end there.
        WindowCase{"MemoryCoveringTheTotalIsAWholeWindow", devices({{kMeg, kHalfMeg}}),
                   {memory(M + M / 2)}, {{0, 2 * M, P, M}, {0, M + M / 2, A}}},
        WindowCase{"RoundedTotalServesTheNextWindow", devices({{kMeg, kHalfMeg}}),
                   {memory(M), memory(M + M / 2)},
                   {{0, 2 * M, P, M}, {0, M, A}, {1, 2 * M, P, M}, {1, M + M / 2, A}}},
        WindowCase{"ReadOnlyMemoryIsNoWindow", devices({{{Bar::Kind::Memory32, 2 * M}, kAperture}}),
                   {memory(M, CM_RESOURCE_MEMORY_READ_ONLY),
                    memory(M, CM_RESOURCE_MEMORY_READ_ONLY | CM_RESOURCE_MEMORY_PREFETCHABLE)},
                   {{0, M}, {1, 256 * M, P, 256 * M}, {1, M, A}}},
        // A raised window takes the alignment of the largest BAR of its kind behind it, so that
        // BAR has a place in it; the I/O window and a window left alone keep theirs.
        WindowCase{"RaisedWindowsTakeTheLargestBarsAlignment",
                   devices({{{Bar::Kind::Memory32, 64 * M, true}, kMeg, kHalfMeg}}),
                   {io(0x800), memory(M), memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE),
                    memory(4 * M)},
                   {{0, 0x1000, P}, {0, 0x800, A}, {1, 2 * M, P, M}, {1, M, A},
                    {2, 64 * M, P, 64 * M}, {2, M, A}, {3, 4 * M}}},
        // 16K + 2K of I/O is five pages, six with the spare one; what fits is the 20K that holds
        // it, aligned as the 16K BAR must be.
        WindowCase{"ALargeIoBarAlignsTheIoWindow",
                   devices({{{Bar::Kind::Io, 0x4000}, kHalfPage}}), {io(0x800)},
                   {{0, 0x6000, P, 0x4000}, {0, 0x5000, A, 0x4000}, {0, 0x800, A}}},
        WindowCase{"AGreaterAlignmentStays", devices({{kMeg, kHalfMeg}}),
                   {{CmResourceTypeMemory, 0, M, 0, 4 * M}}, {{0, 2 * M, P, 4 * M}, {0, M, A}}},
        WindowCase{"OnlyOptionZeroPortAndMemoryChange",
                   devices({{kIoPage, {Bar::Kind::Io, 4}, {Bar::Kind::Memory32, 2 * M},
                             kAperture}}),
                   {io(0x100, IO_RESOURCE_PREFERRED), memory(M, 0, IO_RESOURCE_ALTERNATIVE),
                    memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE, IO_RESOURCE_DEFAULT),
                    {CmResourceTypeBusNumber, 0, 1}},
                   {{0, 0x100, IO_RESOURCE_PREFERRED}, {1, M, IO_RESOURCE_ALTERNATIVE},
                    {2, M, IO_RESOURCE_DEFAULT}, {3, 1}}},
        // 2G + 2G + 1M does not fit: held at the top, not wrapped to 1M.
        WindowCase{"SaturatedTotalLeavesTheWindow",
                   devices({{{Bar::Kind::Memory32, 2 * G}, {Bar::Kind::Memory32, 2 * G}, kMeg}}),
                   {io(0x800), memory(M / 2)}, {{0, 0x1000, P}, {0, 0x800, A}, {1, M / 2}}},
        // 3.5G fits, but rounded up to a multiple of 2G it does not: what fits is asked for.
        WindowCase{"RoundingPast4GAsksForWhatFits",
                   devices({{{Bar::Kind::Memory32, 2 * G}, {Bar::Kind::Memory32, G},
                             {Bar::Kind::Memory32, G / 2}}}),
                   {memory(M)}, {{0, 3 * G + G / 2, P, 2 * G}, {0, M, A}}},
        // Two bridges with a 128K controller each: their windows are a megabyte each, and their
        // empty prefetchable windows a megabyte too.
        WindowCase{"NestedWindowsAreWholeMegabytes",
                   bridges({{{Bar::Kind::Memory32, 128 * 1024}}, {{Bar::Kind::Memory32, 128 * 1024}}},
                           true),
                   {memory(M), memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE)},
                   {{0, 2 * M, P, M}, {0, M, A}, {1, 2 * M, P, M}, {1, M, A}}},
        // The bridge's own 256K BAR comes before its windows and looks like one: what fits
        // behind the bridge goes to the windows only.
        WindowCase{"TheBridgesOwnBarIsNoWindow",
                   bridges({{{Bar::Kind::Memory32, 128 * 1024}}, {{Bar::Kind::Memory32, 128 * 1024}}},
                           true),
                   {memory(256 * 1024), memory(M), memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE)},
                   {{0, 256 * 1024}, {1, 2 * M, P, M}, {1, M, A}, {2, 2 * M, P, M}, {2, M, A}}},
        // No prefetchable descriptor: the memory window holds the 128M aperture as well, 256M by
        // the largest BAR's rounding, or the 129M that fits, or the bus driver's own.
        WindowCase{"NoPrefetchableDescriptor",
                   devices({{{Bar::Kind::Memory32, 128 * M, true}, kMeg}}), {memory(M)},
                   {{0, 256 * M, P, 128 * M}, {0, 129 * M, A, 128 * M}, {0, M, A}}},
        // A bridge behind the target without a prefetchable window holds its 64M aperture in its
        // memory window, so the target's memory window must hold it too.
        WindowCase{"NestedBridgeWithoutAPrefetchableWindow",
                   bridges({{{Bar::Kind::Memory32, 64 * M, true}}}, false),
                   {memory(M), memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE)},
                   {{0, 64 * M, P, 64 * M}, {0, M, A}, {1, 64 * M, P, 64 * M}, {1, M, A}}}),
    CaseName());

using Bytes = std::vector<uint8_t>;
constexpr size_t kHeader = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
constexpr size_t kInterfaceType = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, InterfaceType);
constexpr size_t kAlternatives = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, AlternativeLists);
constexpr size_t kCount = kHeader + offsetof(IO_RESOURCE_LIST, Count);

void setField(Bytes& bytes, size_t offset, ULONG value)
{
    std::memcpy(bytes.data() + offset, &value, sizeof value);
}
void truncate(Bytes& bytes, size_t size)
{
    bytes.resize(size);
    setField(bytes, 0, static_cast<ULONG>(size));
}

struct UntouchedCase {
    const char* name;
    std::function<void(Bytes&)> spoil;
    uint16_t command = 0;     // the target's command register
    bool headerRead = false;  // the target's header is read, and nothing else
};
void PrintTo(const UntouchedCase& c, std::ostream* os) { *os << c.name; }

class Untouched : public BridgeTest, public ::testing::WithParamInterface<UntouchedCase> {};

// A bridge sits behind the target, so any scan would write, and the list's I/O window is short.
// Malformed lists lie in pool of exactly their ListSize: a read beyond it is caught.
TEST_P(Untouched, TheRequestGoesDownAsItCame)
{
    const UntouchedCase& c = GetParam();
    pci::Function* target = placeTarget();
    placeBridge(*target->secondary(), 0);
    ASSERT_NO_FATAL_FAILURE(attach());
    target->write(0x04, 2, c.command);
    Bytes bytes = listBytes({io(0x800)});
    c.spoil(bytes);

    Filtered after = filterRequirements(bytes);
    EXPECT_FALSE(after.replaced);
    EXPECT_EQ(after.bytes, bytes);
    EXPECT_TRUE(writes().empty());
    for (const pci::Transaction& t : hw.log()) {
        EXPECT_TRUE(c.headerRead && t.bus == 0 && t.device == 1 && t.offset < 64) << t.offset;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Bridge, Untouched,
    ::testing::Values(
        UntouchedCase{"TwoAlternativeLists",
                      [](Bytes& b) {
                          const Bytes alternative(b.begin() + kHeader, b.end());
                          b.insert(b.end(), alternative.begin(), alternative.end());
                          setField(b, 0, static_cast<ULONG>(b.size()));
                          setField(b, kAlternatives, 2);
                      }},
        UntouchedCase{"BusMasterOnly", [](Bytes&) {}, 0x4, true},
        UntouchedCase{"NotOnThePciBus", [](Bytes& b) { setField(b, kInterfaceType, Isa); }},
        UntouchedCase{"NoAlternativeList", [](Bytes& b) { setField(b, kAlternatives, 0); }},
        UntouchedCase{"ListSizeShortOfTheHeader", [](Bytes& b) { truncate(b, kHeader - 1); }},
        UntouchedCase{"ListSizeShortOfTheDescriptor", [](Bytes& b) { truncate(b, b.size() - 1); }},
        UntouchedCase{"HugeCount", [](Bytes& b) { setField(b, kCount, 0xFFFFFFFF); }},
        // 32 bytes times this count is 0 in 32 bits.
        UntouchedCase{"CountWrappingIn32Bits", [](Bytes& b) { setField(b, kCount, 0x08000000); }},
        UntouchedCase{"SecondAlternativeListMissing",
                      [](Bytes& b) { setField(b, kAlternatives, 2); }},
        UntouchedCase{"HugeAlternativeLists",
                      [](Bytes& b) { setField(b, kAlternatives, 0xFFFFFFFF); }}),
    CaseName());

using Requirements = BridgeTest;

// The replacement list and the scan record can each fail to come; the bridge's header read by the
// filter, or the one read for the path, can come back short.
TEST_F(Requirements, AFailureOnTheWayLeavesTheRequestUntouched)
{
    placeBridge(*placeTarget()->secondary(), 0);
    ASSERT_NO_FATAL_FAILURE(attach());
    const std::vector<uint8_t> list = listBytes({io(0x800)});
    const std::pair<nt::FaultPoint, uint64_t> faults[] = {
        {nt::FaultPoint::AllocatePool, 1},
        {nt::FaultPoint::AllocatePool, 2},
        {nt::FaultPoint::ShortConfigTransfer, 1},
        {nt::FaultPoint::ShortConfigTransfer, 2},
    };
    for (const auto& [point, n] : faults) {
        SCOPED_TRACE(std::string(nt::faultPointName(point)) + " " + std::to_string(n));
        kernel.faults().failNth(point, n);
        Filtered after = filterRequirements(list);
        EXPECT_TRUE(kernel.faults().fired());
        EXPECT_FALSE(after.replaced);
        EXPECT_EQ(after.bytes, list);
        EXPECT_TRUE(writes().empty());
        kernel.faults().clear();
    }
    // Two allocations are all a request makes.
    kernel.faults().failNth(nt::FaultPoint::AllocatePool, 3);
    EXPECT_TRUE(filterRequirements(list).replaced);
    EXPECT_FALSE(kernel.faults().fired());
    EXPECT_FALSE(writes().empty());
}

}  // namespace
}  // namespace hotp::test
