// A configuration cycle a machine reported, as the one short line tests compare: the machine
// records the cycle's fields only, and the views write hotpsim's own text.
#pragma once

#include <machine/output.hpp>

#include <cstdio>
#include <string>

namespace hotp::test {

// "write 02:01.0 offset 0x10 (4) = 0x80000000", "read 02:01.0 offset 00000010",
// "02:01.0 primary/secondary/subordinate = 02/03/05"; any other output's own text.
inline std::string textOf(const machine::Output& o)
{
    if (!o.cycle) return o.text;
    const pci::Transaction& t = *o.cycle;
    char where[16], text[96];
    std::snprintf(where, sizeof where, "%02x:%02x.%u", t.bus & 0xFF, t.device & 0x1F, t.function & 7);
    if (o.kind == machine::Output::Kind::Read) {
        std::snprintf(text, sizeof text, "read %s offset %08x", where, t.offset);
    } else if (o.kind == machine::Output::Kind::BusNumbers && t.length == 1) {
        std::snprintf(text, sizeof text, "%s subordinate = %02x", where, t.value & 0xFF);
    } else if (o.kind == machine::Output::Kind::BusNumbers) {
        std::snprintf(text, sizeof text, "%s primary/secondary/subordinate = %02x/%02x/%02x", where,
                      t.value & 0xFF, (t.value >> 8) & 0xFF, (t.value >> 16) & 0xFF);
    } else {
        std::snprintf(text, sizeof text, "write %s offset 0x%02x (%u) = 0x%0*x%s", where, t.offset,
                      t.length, static_cast<int>(2 * t.length), t.value,
                      t.claimed ? "" : " (no function answered)");
    }
    return text;
}

}  // namespace hotp::test
