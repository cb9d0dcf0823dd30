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

struct WindowCase {
    const char* name;
    std::function<void(pci::Bus&)> behind;
    std::vector<Descriptor> descriptors;
    std::vector<ULONG> lengths;  // afterwards
    std::vector<ULONG> alignments = {};  // afterwards, where any changed
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
    EXPECT_EQ(after.lengths(), c.lengths);
    if (!c.alignments.empty()) {
        EXPECT_EQ(after.alignments(), c.alignments);
    }

    // A replacement is the old list, one descriptor longer and zero-filled beyond the copy,
    // with only the raised lengths (and the alignments of raised windows) differing.
    std::vector<uint8_t> expected = before;
    auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(expected.data());
    bool raised = false;
    for (size_t i = 0; i < c.lengths.size(); ++i) {
        raised = raised || c.lengths[i] != c.descriptors[i].length;
        nt::descriptorAt(&list->List[0], i)->u.Port.Length = c.lengths[i];
        if (!c.alignments.empty()) nt::descriptorAt(&list->List[0], i)->u.Port.Alignment = c.alignments[i];
    }
    if (raised) {
        list->ListSize += sizeof(IO_RESOURCE_DESCRIPTOR);
        expected.resize(expected.size() + sizeof(IO_RESOURCE_DESCRIPTOR), 0);
    }
    EXPECT_EQ(after.replaced, raised);
    EXPECT_EQ(after.bytes, expected);
}

const Bar kIoPage{Bar::Kind::Io, 0x1000};
const Bar kHalfPage{Bar::Kind::Io, 0x800};
const Bar kMeg{Bar::Kind::Memory32, M};
const Bar kHalfMeg{Bar::Kind::Memory32, M / 2};
const Bar kAperture{Bar::Kind::Memory64, 256 * M, true};

INSTANTIATE_TEST_SUITE_P(
    Bridge, WindowRules,
    ::testing::Values(
        // Nothing behind: one page of I/O; memory windows stay.
        WindowCase{"EmptyBridgeNeedsOnePage", [](pci::Bus&) {},
                   {io(0x800), memory(M), memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE)},
                   {0x1000, M, M}},
        WindowCase{"OnePageOfIoCountsAsNone", devices({{kIoPage}}), {io(0x800)}, {0x1000}},
        // 4100 bytes, the first total past one page that BARs can add up to.
        WindowCase{"JustOverOnePageCountsAsTwo", devices({{kIoPage, {Bar::Kind::Io, 4}}}),
                   {io(0x800)}, {0x3000}},
        // 2 bridges + 2 pages + 1.
        WindowCase{"PageAndAHalfUnderTwoBridges", devices({{kIoPage}, {kHalfPage}}, true),
                   {io(0x1000)}, {0x5000}},
        WindowCase{"MemoryRoundedUpToTheLargestBar", devices({{kMeg, kHalfMeg}}), {memory(M)},
                   {2 * M}, {M}},
        WindowCase{"MemoryCoveringTheTotalStays", devices({{kMeg, kHalfMeg}}),
                   {memory(M + M / 2)}, {M + M / 2}},
        WindowCase{"RoundedTotalServesTheNextWindow", devices({{kMeg, kHalfMeg}}),
                   {memory(M), memory(M + M / 2)}, {2 * M, 2 * M}, {M, M}},
        WindowCase{"ReadOnlyMemoryIsNoWindow", devices({{{Bar::Kind::Memory32, 2 * M}, kAperture}}),
                   {memory(M, CM_RESOURCE_MEMORY_READ_ONLY),
                    memory(M, CM_RESOURCE_MEMORY_READ_ONLY | CM_RESOURCE_MEMORY_PREFETCHABLE)},
                   {M, 256 * M}, {0x1000, 256 * M}},
        // A raised window takes the alignment of the largest BAR of its kind behind it, so that
        // BAR has a place in it; the I/O window and a window left alone keep theirs.
        WindowCase{"RaisedWindowsTakeTheLargestBarsAlignment",
                   devices({{{Bar::Kind::Memory32, 64 * M, true}, kMeg, kHalfMeg}}),
                   {io(0x800), memory(M), memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE),
                    memory(4 * M)},
                   {0x1000, 2 * M, 64 * M, 4 * M}, {0x1000, M, 64 * M, 0x1000}},
        // 16K + 2K of I/O is five pages, six with the spare one; the 16K BAR sets the alignment.
        WindowCase{"ALargeIoBarAlignsTheIoWindow",
                   devices({{{Bar::Kind::Io, 0x4000}, kHalfPage}}), {io(0x800)}, {0x6000},
                   {0x4000}},
        WindowCase{"AGreaterAlignmentStays", devices({{kMeg, kHalfMeg}}),
                   {{CmResourceTypeMemory, 0, M, 0, 4 * M}}, {2 * M}, {4 * M}},
        WindowCase{"OnlyOptionZeroPortAndMemoryChange",
                   devices({{kIoPage, {Bar::Kind::Io, 4}, {Bar::Kind::Memory32, 2 * M},
                             kAperture}}),
                   {io(0x100, IO_RESOURCE_PREFERRED), memory(M, 0, IO_RESOURCE_ALTERNATIVE),
                    memory(M, CM_RESOURCE_MEMORY_PREFETCHABLE, IO_RESOURCE_DEFAULT),
                    {CmResourceTypeBusNumber, 0, 1}},
                   {0x100, M, M, 1}},
        // 2G + 2G + 1M does not fit: held at the top, not wrapped to 1M.
        WindowCase{"SaturatedTotalLeavesTheWindow",
                   devices({{{Bar::Kind::Memory32, 2 * G}, {Bar::Kind::Memory32, 2 * G}, kMeg}}),
                   {io(0x800), memory(M / 2)}, {0x1000, M / 2}},
        // 3.5G fits, but rounded up to a multiple of 2G it does not.
        WindowCase{"RoundingPast4GLeavesTheWindow",
                   devices({{{Bar::Kind::Memory32, 2 * G}, {Bar::Kind::Memory32, G},
                             {Bar::Kind::Memory32, G / 2}}}),
                   {io(0x800), memory(M)}, {0x1000, M}}),
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
