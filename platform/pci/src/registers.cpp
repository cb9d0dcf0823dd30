// Register names and tables, write and BAR size descriptions, and the bridge-window codec.
#include <pci/hardware.hpp>
#include <pci/registers.hpp>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace pci {

namespace {

struct Register {
    unsigned offset, width;
    const char* name;
};

// The common start of every header, then what each header type puts after it.
constexpr Register kCommon[] = {
    {0x00, 2, "VENDOR_ID"},  {0x02, 2, "DEVICE_ID"},     {0x04, 2, "COMMAND"},
    {0x06, 2, "STATUS"},     {0x08, 1, "REVISION_ID"},   {0x09, 1, "PROG_IF"},
    {0x0A, 1, "SUBCLASS"},   {0x0B, 1, "BASE_CLASS"},    {0x0C, 1, "CACHE_LINE_SIZE"},
    {0x0D, 1, "LATENCY_TIMER"}, {0x0E, 1, "HEADER_TYPE"}, {0x0F, 1, "BIST"},
};
constexpr Register kDevice[] = {
    {0x10, 4, "BAR0"}, {0x14, 4, "BAR1"}, {0x18, 4, "BAR2"}, {0x1C, 4, "BAR3"},
    {0x20, 4, "BAR4"}, {0x24, 4, "BAR5"}, {0x28, 4, "CARDBUS_CIS"},
    {0x2C, 2, "SUBSYSTEM_VENDOR_ID"}, {0x2E, 2, "SUBSYSTEM_ID"}, {0x30, 4, "ROM_BASE"},
    {0x34, 1, "CAP_PTR"}, {0x3C, 1, "INTERRUPT_LINE"}, {0x3D, 1, "INTERRUPT_PIN"},
    {0x3E, 1, "MIN_GNT"}, {0x3F, 1, "MAX_LAT"},
    // The power-management capability every modelled device carries at 0x40.
    {0x40, 4, "PM_CAP"}, {0x44, 2, "PMCSR"},
};
constexpr Register kBridge[] = {
    {0x10, 4, "BAR0"},          {0x14, 4, "BAR1"},          {0x18, 1, "PRIMARY"},
    {0x19, 1, "SECONDARY"},     {0x1A, 1, "SUBORDINATE"},   {0x1B, 1, "SEC_LATENCY"},
    {0x1C, 1, "IO_BASE"},       {0x1D, 1, "IO_LIMIT"},      {0x1E, 2, "SEC_STATUS"},
    {0x20, 2, "MEMORY_BASE"},   {0x22, 2, "MEMORY_LIMIT"},  {0x24, 2, "PREF_BASE"},
    {0x26, 2, "PREF_LIMIT"},    {0x28, 4, "PREF_BASE_UPPER"}, {0x2C, 4, "PREF_LIMIT_UPPER"},
    {0x30, 2, "IO_BASE_UPPER"}, {0x32, 2, "IO_LIMIT_UPPER"}, {0x34, 1, "CAP_PTR"},
    {0x38, 4, "ROM_BASE"},      {0x3C, 1, "INTERRUPT_LINE"}, {0x3D, 1, "INTERRUPT_PIN"},
    {0x3E, 2, "BRIDGE_CONTROL"},
};
constexpr Register kCardBus[] = {
    {0x10, 4, "SOCKET_BASE"},   {0x14, 1, "CAP_PTR"},       {0x16, 2, "SEC_STATUS"},
    {0x18, 1, "PRIMARY"},       {0x19, 1, "SECONDARY"},     {0x1A, 1, "SUBORDINATE"},
    {0x1B, 1, "CARDBUS_LATENCY"}, {0x1C, 4, "MEMORY_BASE0"}, {0x20, 4, "MEMORY_LIMIT0"},
    {0x24, 4, "MEMORY_BASE1"},  {0x28, 4, "MEMORY_LIMIT1"}, {0x2C, 4, "IO_BASE0"},
    {0x30, 4, "IO_LIMIT0"},     {0x34, 4, "IO_BASE1"},      {0x38, 4, "IO_LIMIT1"},
    {0x3C, 1, "INTERRUPT_LINE"}, {0x3D, 1, "INTERRUPT_PIN"}, {0x3E, 2, "BRIDGE_CONTROL"},
};

template <size_t N>
const Register* findIn(const Register (&table)[N], unsigned offset)
{
    for (const Register& r : table) {
        if (offset >= r.offset && offset < r.offset + r.width) return &r;
    }
    return nullptr;
}

// The register holding `offset`; a byte no table names is a register of its own.
Register registerAt(uint8_t headerType, unsigned offset)
{
    if (const Register* r = findIn(kCommon, offset)) return *r;
    const Register* r = nullptr;
    switch (headerType == 0xFF ? 0 : headerType & 0x7F) {
    case 1: r = findIn(kBridge, offset); break;
    case 2: r = findIn(kCardBus, offset); break;
    default: r = findIn(kDevice, offset); break;
    }
    if (r != nullptr) return *r;
    return Register{offset, 1, nullptr};
}

bool isBusNumber(const Register& r)
{
    const std::string name = r.name != nullptr ? r.name : "";
    return name == "PRIMARY" || name == "SECONDARY" || name == "SUBORDINATE";
}

}  // namespace

std::string hex(uint64_t value, int digits)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%0*llx", digits, static_cast<unsigned long long>(value));
    return buffer;
}

std::string formatSize(uint64_t bytes)
{
    static const char* const units[] = {"", "K", "M", "G", "T"};
    unsigned u = 0;
    while (u < 4 && bytes >= 1024 && bytes % 1024 == 0) {
        bytes /= 1024;
        ++u;
    }
    return std::to_string(bytes) + units[u];
}

std::string registerName(uint8_t headerType, unsigned offset)
{
    const Register r = registerAt(headerType, offset);
    std::string name = r.name != nullptr ? r.name : "REG_" + hex(offset, 2);
    if (r.name != nullptr && offset != r.offset) name += "+" + std::to_string(offset - r.offset);
    return name;
}

std::string describeWrite(uint8_t headerType, unsigned offset, unsigned length, uint32_t before,
                          uint32_t after, std::optional<uint32_t> written)
{
    std::string text;
    length = std::min(length, 4u);  // one configuration cycle carries at most a dword
    unsigned at = offset;
    while (at < offset + length) {
        const Register r = registerAt(headerType, at);
        const unsigned end = std::min(r.offset + r.width, offset + length);
        const unsigned shift = 8 * (at - offset);
        const unsigned bytes = end - at;
        const uint32_t mask = bytes >= 4 ? 0xFFFFFFFFu : (1u << (8 * bytes)) - 1;
        const uint32_t was = (before >> shift) & mask, now = (after >> shift) & mask;
        char values[72];
        if (isBusNumber(r)) {
            std::snprintf(values, sizeof values, "%02x -> %02x", was, now);
        } else {
            std::snprintf(values, sizeof values, "0x%0*x -> 0x%0*x", 2 * bytes, was, 2 * bytes, now);
        }
        // A register that kept fewer of its bits than were written: what was written, too.
        const uint32_t wrote = written ? (*written >> shift) & mask : now;
        if ((wrote & ~now) != 0) {
            const size_t used = std::strlen(values);
            std::snprintf(values + used, sizeof values - used, " (wrote 0x%0*x)", 2 * bytes, wrote);
        }
        if (!text.empty()) text += ", ";
        text += registerName(headerType, at) + " " + values;
        at = end;
    }
    return text;
}

std::optional<std::string> describeBarSize(uint32_t readback, std::optional<uint32_t> upper)
{
    if ((readback & ~1u) == 0) return std::nullopt;
    if ((readback & 1) != 0) {
        uint32_t mask = readback & ~3u;
        if ((mask & 0xFFFF0000u) == 0) mask |= 0xFFFF0000u;  // upper half hard-wired to zero
        return "io " + formatSize(static_cast<uint32_t>(~mask + 1));
    }
    const bool wide = ((readback >> 1) & 3) == 2;
    const bool prefetchable = (readback & 8) != 0;
    uint64_t mask = readback & ~0xFull;
    mask |= wide ? static_cast<uint64_t>(upper.value_or(0xFFFFFFFFu)) << 32 : 0xFFFFFFFF00000000ull;
    return std::string(wide ? "mem64 " : "mem32 ") + (prefetchable ? "prefetchable " : "") +
           formatSize(~mask + 1);
}

// --- bridge windows ----------------------------------------------------------------------------------

DecodedWindow decodeWindow(WindowKind kind, const WindowRegisters& r, bool wide)
{
    if (kind == WindowKind::Io) {
        DecodedWindow w{uint64_t{r.base & 0xF0u} << 8, (uint64_t{r.limit & 0xF0u} << 8) | 0xFFF};
        if (wide) {
            w.base |= uint64_t{r.baseUpper & 0xFFFFu} << 16;
            w.limit |= uint64_t{r.limitUpper & 0xFFFFu} << 16;
        }
        return w;
    }
    DecodedWindow w{uint64_t{r.base & 0xFFF0u} << 16, (uint64_t{r.limit & 0xFFF0u} << 16) | 0xFFFFF};
    if (kind == WindowKind::Prefetchable && wide) {
        w.base |= uint64_t{r.baseUpper} << 32;
        w.limit |= uint64_t{r.limitUpper} << 32;
    }
    return w;
}

void writeWindow(WindowKind kind, const WindowRegisters& r, bool wide, const ConfigWriter& write)
{
    switch (kind) {
    case WindowKind::Io:
        write(reg::IoBase, 1, r.base);
        write(reg::IoLimit, 1, r.limit);
        if (wide) {
            write(reg::IoBaseUpper, 2, r.baseUpper);
            write(reg::IoLimitUpper, 2, r.limitUpper);
        }
        break;
    case WindowKind::Memory:
        write(reg::MemoryBase, 2, r.base);
        write(reg::MemoryLimit, 2, r.limit);
        break;
    case WindowKind::Prefetchable:
        write(reg::PrefetchBase, 2, r.base);
        write(reg::PrefetchLimit, 2, r.limit);
        if (wide) {
            write(reg::PrefetchBaseUpper, 4, r.baseUpper);
            write(reg::PrefetchLimitUpper, 4, r.limitUpper);
        }
        break;
    }
}

WindowRegisters closedWindow(WindowKind kind)
{
    return kind == WindowKind::Io ? WindowRegisters{0xF0, 0x00, 0, 0}
                                  : WindowRegisters{0xFFF0, 0x0000, 0, 0};
}

WindowRegisters encodeWindow(WindowKind kind, uint64_t base, uint64_t limit)
{
    if (kind == WindowKind::Io) {
        return WindowRegisters{static_cast<uint32_t>((base >> 8) & 0xF0),
                               static_cast<uint32_t>((limit >> 8) & 0xF0),
                               static_cast<uint32_t>((base >> 16) & 0xFFFF),
                               static_cast<uint32_t>((limit >> 16) & 0xFFFF)};
    }
    WindowRegisters r{static_cast<uint32_t>((base >> 16) & 0xFFF0),
                      static_cast<uint32_t>((limit >> 16) & 0xFFF0), 0, 0};
    if (kind == WindowKind::Prefetchable) {
        r.baseUpper = static_cast<uint32_t>(base >> 32);
        r.limitUpper = static_cast<uint32_t>(limit >> 32);
    }
    return r;
}

WindowRegisters capturedWindow(WindowKind kind, const std::vector<uint8_t>& c)
{
    switch (kind) {
    case WindowKind::Io: {
        const uint32_t upper = configDword(c, reg::IoBaseUpper);
        return WindowRegisters{c[reg::IoBase], c[reg::IoLimit], upper & 0xFFFF, upper >> 16};
    }
    case WindowKind::Memory: {
        const uint32_t both = configDword(c, reg::MemoryBase);
        return WindowRegisters{both & 0xFFFF, both >> 16, 0, 0};
    }
    case WindowKind::Prefetchable: break;
    }
    const uint32_t both = configDword(c, reg::PrefetchBase);
    return WindowRegisters{both & 0xFFFF, both >> 16, configDword(c, reg::PrefetchBaseUpper),
                           configDword(c, reg::PrefetchLimitUpper)};
}

const char* cardBusWindowName(CardBusWindow w)
{
    switch (w) {
    case CardBusWindow::Memory0: return "memory 0";
    case CardBusWindow::Memory1: return "memory 1";
    case CardBusWindow::Io0: return "io 0";
    case CardBusWindow::Io1: break;
    }
    return "io 1";
}

unsigned cardBusWindowOffset(CardBusWindow w)
{
    switch (w) {
    case CardBusWindow::Memory0: return reg::CardBusMemoryBase0;
    case CardBusWindow::Memory1: return reg::CardBusMemoryBase1;
    case CardBusWindow::Io0: return reg::CardBusIoBase0;
    case CardBusWindow::Io1: break;
    }
    return reg::CardBusIoBase1;
}

DecodedWindow decodeCardBusWindow(CardBusWindow w, uint32_t base, uint32_t limit)
{
    constexpr DecodedWindow closed{1, 0};
    if (base == 0 && limit == 0) return closed;
    DecodedWindow d;
    if (w == CardBusWindow::Memory0 || w == CardBusWindow::Memory1) {
        d = {base & 0xFFFFF000u, uint64_t{limit & 0xFFFFF000u} | 0xFFF};
    } else {
        const uint32_t width = (base & 1) != 0 ? 0xFFFFFFFCu : 0xFFFCu;
        d = {base & width, uint64_t{limit & width} | 0x3};
    }
    return d.open() ? d : closed;
}

DecodedWindow capturedCardBusWindow(CardBusWindow w, const std::vector<uint8_t>& c)
{
    const unsigned at = cardBusWindowOffset(w);
    return decodeCardBusWindow(w, configDword(c, at), configDword(c, at + 4));
}

bool cardBusWindowPrefetchable(CardBusWindow w, uint16_t bridgeControl)
{
    if (w == CardBusWindow::Memory0) return (bridgeControl & 0x100) != 0;
    if (w == CardBusWindow::Memory1) return (bridgeControl & 0x200) != 0;
    return false;
}

}  // namespace pci
