#include <formats/lspci_dump.hpp>

#include <array>
#include <cstdio>

namespace formats {

namespace reg = pci::reg;

namespace {

void dumpFunction(std::ostream& out, pci::Hierarchy& hw, unsigned bus, unsigned device,
                  unsigned fn, std::array<uint8_t, 256>& bytes)
{
    for (unsigned offset = 0; offset < 256; offset += 4) {
        const uint32_t value = hw.configRead(bus, device, fn, offset, 4);
        for (unsigned i = 0; i < 4; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
    }
    char line[80];
    std::snprintf(line, sizeof line, "%02x:%02x.%u Class %02x%02x: Device %02x%02x:%02x%02x",
                  bus, device, fn, bytes[reg::BaseClass], bytes[reg::SubClass], bytes[1], bytes[0],
                  bytes[3], bytes[2]);
    out << line;
    if (bytes[reg::RevisionId] != 0) {
        std::snprintf(line, sizeof line, " (rev %02x)", bytes[reg::RevisionId]);
        out << line;
    }
    out << "\n";
    for (unsigned row = 0; row < 256; row += 16) {
        int n = std::snprintf(line, sizeof line, "%02x:", row);
        for (unsigned i = 0; i < 16; ++i) {
            n += std::snprintf(line + n, sizeof line - static_cast<size_t>(n), " %02x",
                               bytes[row + i]);
        }
        out << line << "\n";
    }
    out << "\n";
}

void dumpBus(std::ostream& out, pci::Hierarchy& hw, unsigned bus, std::array<bool, 256>& seen)
{
    seen[bus] = true;
    std::array<uint8_t, 256> bytes{};
    for (unsigned device = 0; device < 32; ++device) {
        if (hw.configRead(bus, device, 0, reg::VendorId, 2) == 0xFFFF) continue;
        const bool multi = (hw.configRead(bus, device, 0, reg::HeaderType, 1) & 0x80) != 0;
        for (unsigned fn = 0; fn < (multi ? 8u : 1u); ++fn) {
            if (fn != 0 && hw.configRead(bus, device, fn, reg::VendorId, 2) == 0xFFFF) continue;
            dumpFunction(out, hw, bus, device, fn, bytes);
            // Follow a PCI-to-PCI or CardBus bridge to the bus it forwards to, once; a bus
            // number at or below this bus's is not behind this bridge.
            const unsigned header = bytes[reg::HeaderType] & 0x7F;
            const unsigned secondary = bytes[reg::SecondaryBus];
            if ((header == 1 || header == 2) && secondary > bus && !seen[secondary]) {
                dumpBus(out, hw, secondary, seen);
            }
        }
    }
}

}  // namespace

void writeLspciDump(std::ostream& out, pci::Hierarchy& hw)
{
    std::array<bool, 256> seen{};
    dumpBus(out, hw, 0, seen);
}

}  // namespace formats
