// Register knowledge: writes told by the registers they cover, BAR sizes from their readback, and
// the bridge-window codec.
#include <gtest/gtest.h>

#include <pci/registers.hpp>

#include <optional>
#include <string>

namespace {

TEST(Registers, WritesAreToldByTheRegistersTheyCover)
{
    const struct {
        const char* name;
        uint8_t header;
        unsigned offset, length;
        uint32_t before, after;
        const char* expected;
    } cases[] = {
        {"command word", 0x00, 0x04, 2, 0x0000, 0x03FF, "COMMAND 0x0000 -> 0x03ff"},
        {"bus numbers in one write", 0x01, 0x18, 3, 0x000000, 0x020201,
         "PRIMARY 00 -> 01, SECONDARY 00 -> 02, SUBORDINATE 00 -> 02"},
        {"subordinate alone", 0x01, 0x1A, 1, 0x05, 0x07, "SUBORDINATE 05 -> 07"},
        {"multi-function bridge header", 0x81, 0x1A, 1, 0x05, 0x07, "SUBORDINATE 05 -> 07"},
        {"cache line and latency in one dword", 0x00, 0x0C, 2, 0x0000, 0x9008,
         "CACHE_LINE_SIZE 0x00 -> 0x08, LATENCY_TIMER 0x00 -> 0x90"},
        {"BAR of a device", 0x00, 0x18, 4, 0, 0xF0000000, "BAR2 0x00000000 -> 0xf0000000"},
        {"same offset on a bridge", 0x01, 0x20, 2, 0, 0xF010, "MEMORY_BASE 0x0000 -> 0xf010"},
        {"power control", 0x00, 0x44, 2, 3, 0, "PMCSR 0x0003 -> 0x0000"},
        {"byte inside a register", 0x00, 0x05, 1, 0x00, 0x01, "COMMAND+1 0x00 -> 0x01"},
        {"a byte no table names", 0x00, 0x90, 1, 0x00, 0x11, "REG_90 0x00 -> 0x11"},
        {"nobody answered", 0xFF, 0x04, 2, 0xFFFF, 0xFFFF, "COMMAND 0xffff -> 0xffff"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(pci::describeWrite(c.header, c.offset, c.length, c.before, c.after), c.expected)
            << c.name;
    }
}

TEST(Registers, BarSizesComeFromTheReadback)
{
    const struct {
        const char* name;
        uint32_t readback;
        std::optional<uint32_t> upper;
        std::optional<std::string> expected;
    } cases[] = {
        {"io 32", 0xFFFFFFE1, {}, "io 32"},
        {"io with its upper half wired to zero", 0x0000FF01, {}, "io 256"},
        {"memory 4K", 0xFFFFF000, {}, "mem32 4K"},
        {"prefetchable 16M", 0xFF000008, {}, "mem32 prefetchable 16M"},
        {"64-bit 256M", 0xF000000C, 0xFFFFFFFF, "mem64 prefetchable 256M"},
        {"64-bit 8G", 0x00000004, 0xFFFFFFFE, "mem64 8G"},
        {"not implemented", 0x00000000, {}, std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(pci::describeBarSize(c.readback, c.upper), c.expected) << c.name;
}

// Each window's registers decode to the range they were encoded from; a closed window decodes to
// base above limit.
TEST(Registers, BridgeWindowsRoundTripThroughTheirRegisters)
{
    using pci::WindowKind;
    const struct {
        const char* name;
        WindowKind kind;
        bool wide;
        uint64_t base, limit;
        pci::WindowRegisters registers;
    } cases[] = {
        {"16-bit I/O", WindowKind::Io, false, 0x2000, 0x3FFF, {0x20, 0x30, 0, 0}},
        {"32-bit I/O", WindowKind::Io, true, 0x12345000, 0x12345FFF, {0x50, 0x50, 0x1234, 0x1234}},
        {"memory", WindowKind::Memory, false, 0xF0000000, 0xF03FFFFF, {0xF000, 0xF030, 0, 0}},
        {"64-bit prefetchable", WindowKind::Prefetchable, true, 0x4000000000, 0x40FFFFFFFF,
         {0x0000, 0xFFF0, 0x40, 0x40}},
    };
    for (const auto& c : cases) {
        const pci::WindowRegisters r = pci::encodeWindow(c.kind, c.base, c.limit);
        EXPECT_EQ(r.base, c.registers.base) << c.name;
        EXPECT_EQ(r.limit, c.registers.limit) << c.name;
        EXPECT_EQ(r.baseUpper, c.registers.baseUpper) << c.name;
        EXPECT_EQ(r.limitUpper, c.registers.limitUpper) << c.name;
        const pci::DecodedWindow w = pci::decodeWindow(c.kind, r, c.wide);
        EXPECT_EQ(w.base, c.base) << c.name;
        EXPECT_EQ(w.limit, c.limit) << c.name;
        EXPECT_FALSE(pci::decodeWindow(c.kind, pci::closedWindow(c.kind), c.wide).open()) << c.name;
    }
}

// A CardBus bridge's windows as published dumps hold them: 4 KB memory windows, 16-bit and
// 32-bit I/O windows, and the closed ones of reset and of our firmware.
TEST(Registers, CardBusWindowsDecodeAsTheirRegistersSay)
{
    using pci::CardBusWindow;
    const struct {
        const char* name;
        CardBusWindow window;
        uint32_t base, limit;
        uint64_t from, to;  // to < from: closed
    } cases[] = {
        {"memory", CardBusWindow::Memory0, 0x10000000, 0x103FF000, 0x10000000, 0x103FFFFF},
        {"16-bit I/O", CardBusWindow::Io1, 0x12344400, 0x123444FC, 0x4400, 0x44FF},
        {"32-bit I/O", CardBusWindow::Io0, 0x00024001, 0x000240FD, 0x24000, 0x240FF},
        {"after reset", CardBusWindow::Memory1, 0, 0, 1, 0},
        {"closed by firmware", CardBusWindow::Io0, 0xFFFFFFFC, 0, 1, 0},
    };
    for (const auto& c : cases) {
        const pci::DecodedWindow w = pci::decodeCardBusWindow(c.window, c.base, c.limit);
        EXPECT_EQ(w.open(), c.from <= c.to) << c.name;
        if (c.from <= c.to) {
            EXPECT_EQ(w.base, c.from) << c.name;
            EXPECT_EQ(w.limit, c.to) << c.name;
        }
    }
}

}  // namespace
