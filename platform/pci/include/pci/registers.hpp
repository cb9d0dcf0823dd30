// What the configuration registers are called and how their values read: the register tables of
// the three header types, a write as the registers it covers saw it, what a BAR's sizing readback
// says, and how a PCI-to-PCI bridge encodes its three address windows. Hardware knowledge, written
// once for the bus driver, firmware, the file formats and hotpsim's views.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace pci {

// --- numbers as text -------------------------------------------------------------------------------

// Lower-case hexadecimal, zero-padded to `digits` (0: as few as the value needs), no prefix.
std::string hex(uint64_t value, int digits = 0);
// "16M", "64K", "32" (bytes): how messages and reports print a size.
std::string formatSize(uint64_t bytes);

// The little-endian dword at `at` of captured configuration bytes (which hold at least at + 4).
inline uint32_t configDword(const std::vector<uint8_t>& bytes, unsigned at)
{
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

// --- register names ----------------------------------------------------------------------------------

// The name of the register at `offset` of a header of `headerType` (bit 7 ignored; 0xFF when no
// function answered): "COMMAND", "BAR2", "SUBORDINATE", "PMCSR", or "+N" after the name for a
// byte inside a register.
std::string registerName(uint8_t headerType, unsigned offset);
// A write as the registers it covers saw it: "COMMAND 0x0000 -> 0x0007",
// "PRIMARY 00 -> 01, SECONDARY 00 -> 02, SUBORDINATE 00 -> 02"; with the value written where a
// register kept fewer of its bits: "COMMAND 0x0000 -> 0x0147 (wrote 0x03ff)". One configuration
// cycle carries at most a dword, so at most four bytes are described.
std::string describeWrite(uint8_t headerType, unsigned offset, unsigned length, uint32_t before,
                          uint32_t after, std::optional<uint32_t> written = std::nullopt);
// A BAR as its readback after all ones were written says: "io 32", "mem32 prefetchable 16M",
// "mem64 256M"; nullopt for an unimplemented BAR. `upper` is the next register's readback for a
// 64-bit BAR.
std::optional<std::string> describeBarSize(uint32_t readback, std::optional<uint32_t> upper);

// --- bridge windows ----------------------------------------------------------------------------------

// A PCI-to-PCI bridge's three windows. I/O decodes on 4 KB granularity (16 bits, or 32 with the
// upper registers), memory and prefetchable memory on 1 MB granularity (prefetchable 64 bits
// with its upper registers). A window whose base lies above its limit decodes nothing.
enum class WindowKind { Io, Memory, Prefetchable };

// A window's registers: the base and limit register (a byte each for I/O, a word each for
// memory) and their upper halves (I/O: a word each, prefetchable: a dword each, memory: none).
struct WindowRegisters {
    uint32_t base = 0, limit = 0;
    uint32_t baseUpper = 0, limitUpper = 0;
};

// The address range [base, limit] the registers decode; `wide` when the bridge implements the
// upper registers of that window (32-bit I/O, 64-bit prefetchable).
struct DecodedWindow {
    uint64_t base = 0, limit = 0;
    bool open() const { return base <= limit; }
};
DecodedWindow decodeWindow(WindowKind kind, const WindowRegisters& registers, bool wide);
// The registers that decode [base, limit] (base at most limit, on the window's granularity).
WindowRegisters encodeWindow(WindowKind kind, uint64_t base, uint64_t limit);
// The registers of a window that decodes nothing: base at its highest value, limit and upper
// halves 0.
WindowRegisters closedWindow(WindowKind kind);
// Whether a window's base register says the bridge implements the upper registers.
inline bool windowIsWide(uint32_t baseRegister) { return (baseRegister & 0xF) == 1; }

// Writes a window's registers as a bridge is programmed: base, then limit, then (when `wide`) the
// upper halves; `write(offset, length, value)` is one configuration write.
using ConfigWriter = std::function<void(unsigned offset, unsigned length, uint32_t value)>;
void writeWindow(WindowKind kind, const WindowRegisters& registers, bool wide, const ConfigWriter& write);

// The window registers of captured configuration bytes (at least 64), for a bridge.
WindowRegisters capturedWindow(WindowKind kind, const std::vector<uint8_t>& config);

// A CardBus bridge's four windows: memory 0 and 1 on 4 KB granularity, I/O 0 and 1 on 4 bytes,
// 32 bits wide where bit 0 of the I/O base says so and 16 otherwise. Bits 8 and 9 of the bridge
// control register make a memory window prefetchable.
enum class CardBusWindow { Memory0, Memory1, Io0, Io1 };
constexpr CardBusWindow kCardBusWindows[] = {CardBusWindow::Memory0, CardBusWindow::Memory1,
                                             CardBusWindow::Io0, CardBusWindow::Io1};
// "memory 0", "io 1".
const char* cardBusWindowName(CardBusWindow w);
// The offset of the window's base register; its limit register follows at +4.
unsigned cardBusWindowOffset(CardBusWindow w);
// The range a window's base and limit registers decode. A limit below the base decodes nothing;
// so, here, do a base and limit that both read zero, the state after reset, in which nothing was
// assigned.
DecodedWindow decodeCardBusWindow(CardBusWindow w, uint32_t base, uint32_t limit);
// The same from captured configuration bytes (at least 64), for a CardBus bridge.
DecodedWindow capturedCardBusWindow(CardBusWindow w, const std::vector<uint8_t>& config);
// Whether a memory window is prefetchable, from the bridge control register.
bool cardBusWindowPrefetchable(CardBusWindow w, uint16_t bridgeControl);

}  // namespace pci
