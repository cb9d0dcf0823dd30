// The event log's reading of message tables and its rendering of error-log entries, through the
// table compiled from the driver's hotpflt.mc and through small tables built here.
#include <gtest/gtest.h>

#include <nt/kernel.hpp>
#include <nt/messages.hpp>

#include <hotpflt_messages.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void put16(Bytes& out, uint32_t value)
{
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void put32(Bytes& out, uint32_t value)
{
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}

// A message table of consecutive-ID blocks, each text stored as UTF-16 or as single bytes.
struct Block {
    uint32_t low;
    std::vector<std::u16string> texts;
    bool unicode = true;
};

Bytes buildTable(const std::vector<Block>& blocks)
{
    Bytes header, entries;
    put32(header, static_cast<uint32_t>(blocks.size()));
    const size_t entriesStart = 4 + 12 * blocks.size();
    for (const Block& block : blocks) {
        put32(header, block.low);
        put32(header, block.low + static_cast<uint32_t>(block.texts.size()) - 1);
        put32(header, static_cast<uint32_t>(entriesStart + entries.size()));
        for (const auto& text : block.texts) {
            Bytes body;
            for (char16_t c : text) {
                if (block.unicode) put16(body, c);
                else body.push_back(static_cast<uint8_t>(c));
            }
            body.resize(body.size() + (block.unicode ? 2 : 1), 0);  // the terminating NUL
            body.resize((body.size() + 3) / 4 * 4, 0);
            put16(entries, static_cast<uint32_t>(4 + body.size()));
            put16(entries, block.unicode ? 1 : 0);
            entries.insert(entries.end(), body.begin(), body.end());
        }
    }
    header.insert(header.end(), entries.begin(), entries.end());
    return header;
}

// An IO_ERROR_LOG_PACKET as a driver fills one: header, then the insertion strings.
Bytes buildPacket(uint32_t errorCode, const std::vector<std::u16string>& strings)
{
    Bytes packet(sizeof(IO_ERROR_LOG_PACKET), 0);
    IO_ERROR_LOG_PACKET header{};
    header.ErrorCode = static_cast<NTSTATUS>(errorCode);
    header.NumberOfStrings = static_cast<USHORT>(strings.size());
    header.StringOffset = static_cast<USHORT>(sizeof(IO_ERROR_LOG_PACKET));
    std::memcpy(packet.data(), &header, sizeof header);
    for (const auto& s : strings) {
        for (char16_t c : s) put16(packet, c);
        put16(packet, 0);
    }
    return packet;
}

const std::u16string kAttachText =
    u"Norvane PCI ホットプラグ・フィルターはアダプター PDO %2 にアタッチされました。\r\n";

TEST(MessageTable, CompiledTableHoldsEveryCodeTheHeaderDefines)
{
    // The constants the driver writes and the table come from the same source: each names a
    // message of the table, and nothing else is in it.
    const nt::MessageTable table = nt::MessageTable::load(HOTP_MESSAGE_FILE);
    const std::vector<NTSTATUS> defined = {
        HOTP_MSG_ADAPTER_BUS_SPEED,  HOTP_MSG_FILTER_ATTACHED,         HOTP_MSG_FILTER_DETACHED,
        HOTP_MSG_ADAPTER_AT_BOOT,    HOTP_MSG_DEVICE_HOT_ADDED,        HOTP_MSG_DEVICE_HOT_REMOVED,
        HOTP_MSG_ADAPTER_FILTERED,   HOTP_MSG_ADAPTER_IN_SLOT,         HOTP_MSG_SLOT_POWER_FAULT,
        HOTP_MSG_SLOT_UNEXPECTED_REMOVAL, HOTP_MSG_SLOT_SPEED_LIMIT,   HOTP_MSG_SLOT_BUS_SPEED,
        HOTP_MSG_LOCATE_BUTTON,      HOTP_MSG_SLOT_UNKNOWN_ERROR,
    };
    EXPECT_EQ(table.messages().size(), defined.size());
    for (NTSTATUS code : defined) {
        EXPECT_TRUE(table.find(static_cast<uint32_t>(code)).has_value()) << std::hex << code;
    }
    EXPECT_EQ(static_cast<uint32_t>(HOTP_MSG_FILTER_ATTACHED), 0x40000403u);
    EXPECT_EQ(table.find(0x40000403), kAttachText);
}

TEST(MessageTable, ParsesBlocksOfBothTextKinds)
{
    const nt::MessageTable table = nt::MessageTable::parse(buildTable({
        {0xC0000001, {u"first\r\n", u"second\r\n"}},
        {0x40000010, {u"ascii %1\r\n"}, false},
    }));
    EXPECT_EQ(table.messages().size(), 3u);
    EXPECT_EQ(table.find(0xC0000001), u"first\r\n");
    EXPECT_EQ(table.find(0xC0000002), u"second\r\n");
    EXPECT_EQ(table.find(0x40000010), u"ascii %1\r\n");
    EXPECT_FALSE(table.find(0xC0000003).has_value());
}

TEST(MessageTable, RefusesMalformedTables)
{
    const Bytes good = buildTable({{0x100, {u"a\r\n", u"b\r\n"}}});
    auto patched = [&](size_t offset, uint32_t value, int width) {
        Bytes b = good;
        for (int i = 0; i < width; ++i) b[offset + i] = static_cast<uint8_t>(value >> (8 * i));
        return b;
    };
    const struct {
        const char* what;
        Bytes bytes;
    } cases[] = {
        {"empty", {}},
        {"more blocks than bytes", patched(0, 50, 4)},
        {"low ID above high ID", patched(4, 0x200, 4)},
        {"entries past the end", patched(12, 0x1000, 4)},
        {"zero-length entry", patched(16, 0, 2)},
        {"entry longer than the table", patched(16, 0x400, 2)},
        {"unknown flags", patched(18, 2, 2)},
        {"truncated", Bytes(good.begin(), good.end() - 4)},
    };
    for (const auto& c : cases) {
        EXPECT_THROW(nt::MessageTable::parse(c.bytes), std::runtime_error) << c.what;
    }
}

TEST(FormatMessage, ExpandsInsertsAndEscapes)
{
    const std::vector<std::u16string> args = {u"src", u"two", u"three", u"4", u"5",
                                              u"6",   u"7",   u"8",     u"9", u"ten",
                                              u"eleven", u"twelve"};
    const struct {
        std::u16string text;
        std::u16string expected;
    } cases[] = {
        {u"%1 and %2", u"src and two"},
        {u"%12%11", u"twelveeleven"},
        {u"%2!s! done", u"two done"},
        {u"%13 is missing", u"%13 is missing"},
        {u"%13!lx! too", u"%13!lx! too"},
        {u"100%% sure", u"100% sure"},
        {u"a%nb%rc%td", u"a\r\nb\rc\td"},
        {u"cut here%0 not shown", u"cut here"},
        {u"%. %!", u". !"},
        {u"trailing %", u"trailing "},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(nt::formatMessage(c.text, args), c.expected) << nt::narrow(c.text);
    }
}

TEST(InsertionStrings, ReadsWhatThePacketHolds)
{
    EXPECT_EQ(nt::insertionStrings(buildPacket(1, {})), std::vector<std::u16string>{});
    EXPECT_EQ(nt::insertionStrings(buildPacket(1, {u"one", u"", u"three"})),
              (std::vector<std::u16string>{u"one", u"", u"three"}));

    Bytes cut = buildPacket(1, {u"abcdef"});
    cut.resize(cut.size() - 6);  // the NUL and the last two characters fall off
    EXPECT_EQ(nt::insertionStrings(cut), std::vector<std::u16string>{u"abcd"});

    Bytes beyond = buildPacket(1, {u"x"});
    beyond[offsetof(IO_ERROR_LOG_PACKET, StringOffset)] = 0xF0;
    EXPECT_EQ(nt::insertionStrings(beyond), std::vector<std::u16string>{});
}

TEST(RenderEvent, AttachEventReadsAsTheJapaneseText)
{
    const nt::MessageTable table = nt::MessageTable::load(HOTP_MESSAGE_FILE);
    nt::ErrorLogEntry entry;
    entry.driverName = u"\\Driver\\hotpflt";
    entry.bytes = buildPacket(0x40000403, {u"  abc123"});
    EXPECT_EQ(nt::renderEvent(table, entry),
              u"Norvane PCI ホットプラグ・フィルターはアダプター PDO   abc123 にアタッチされました。\r\n");

    entry.bytes = buildPacket(0x40000402, {u"x"});  // the code exists only as an error
    EXPECT_FALSE(nt::renderEvent(table, entry).has_value());
}

TEST(RenderEvent, FirstInsertIsTheEventSource)
{
    const nt::MessageTable table =
        nt::MessageTable::parse(buildTable({{0x40000001, {u"%1: %2 of %3\r\n"}}}));
    nt::ErrorLogEntry entry;
    entry.driverName = u"\\Driver\\hotpflt";
    entry.bytes = buildPacket(0x40000001, {u"a", u"b"});
    EXPECT_EQ(nt::renderEvent(table, entry), u"hotpflt: a of b\r\n");
    EXPECT_EQ(nt::eventSourceName(u"\\FileSystem\\Ntfs"), u"\\FileSystem\\Ntfs");
}

TEST(RenderEvent, KernelRendersWrittenEntriesThroughTheRegisteredSource)
{
    nt::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\hotpflt");
    PDEVICE_OBJECT device = kernel.createDevice(driver, 0, FILE_DEVICE_BUS_EXTENDER, 0, false);
    ASSERT_NE(device, nullptr);

    const std::u16string pdo = u"0badf00d";
    const auto size = static_cast<UCHAR>(sizeof(IO_ERROR_LOG_PACKET) + 2 * (pdo.size() + 1));
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(device, size));
    ASSERT_NE(packet, nullptr);
    std::memset(packet, 0, size);
    packet->ErrorCode = HOTP_MSG_FILTER_ATTACHED;
    packet->NumberOfStrings = 1;
    packet->StringOffset = sizeof(IO_ERROR_LOG_PACKET);
    std::memcpy(reinterpret_cast<uint8_t*>(packet) + packet->StringOffset, pdo.c_str(),
                2 * (pdo.size() + 1));
    IoWriteErrorLogEntry(packet);

    ASSERT_EQ(kernel.errorLog().size(), 1u);
    const nt::ErrorLogEntry& written = kernel.errorLog().front();
    EXPECT_FALSE(kernel.renderEvent(written).has_value()) << "no message file registered yet";
    kernel.registerEventSource(u"hotpflt", nt::MessageTable::load(HOTP_MESSAGE_FILE));
    EXPECT_EQ(kernel.renderEvent(written),
              u"Norvane PCI ホットプラグ・フィルターはアダプター PDO 0badf00d にアタッチされました。\r\n");

    kernel.deleteDevice(device);
    EXPECT_TRUE(kernel.takeViolations().empty());
    EXPECT_TRUE(kernel.leaks().empty());
}

}  // namespace
