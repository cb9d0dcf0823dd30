// Configuration registers by name, the readable story of a run and its JSON events.
#include <machine/report.hpp>

#include <pnp/manager.hpp>

#include <cstddef>
#include <cstring>
#include <cstdio>

namespace machine {

namespace detail {
std::string formatSize(uint64_t bytes);
}

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

std::string hex(uint64_t value, int digits = 0)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*llx", digits, static_cast<unsigned long long>(value));
    return text;
}

std::string pad(std::string text, size_t width)
{
    if (text.size() < width) text.resize(width, ' ');
    return text;
}

std::string line(const char* kind, const std::string& text) { return "  " + pad(kind, 10) + text; }

std::string str(const nlohmann::ordered_json& j, const char* key)
{
    auto it = j.find(key);
    return it != j.end() && it->is_string() ? it->get<std::string>() : std::string();
}

uint64_t num(const nlohmann::ordered_json& j, const char* key)
{
    auto it = j.find(key);
    return it != j.end() && it->is_number() ? it->get<uint64_t>() : 0;
}

bool isBarOffset(const std::string& registerName)
{
    return registerName.size() == 4 && registerName.rfind("BAR", 0) == 0;
}

bool isRomBase(const std::string& registerName) { return registerName == "ROM_BASE"; }

std::string descriptorText(const nlohmann::ordered_json& d)
{
    std::string kind = str(d, "type") == "io" ? "I/O" : str(d, "type") == "memory" ? "memory" : "other";
    if (kind == "memory" && (num(d, "flags") & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0) kind = "prefetchable memory";
    return kind + " length " + hex(num(d, "length")) + " (" + detail::formatSize(num(d, "length")) +
           ") alignment " + hex(num(d, "alignment")) + " range " + hex(num(d, "minimum")) + "-" +
           hex(num(d, "maximum")) + " option " + std::to_string(num(d, "option")) + " flags " +
           hex(num(d, "flags"));
}

}  // namespace

std::string registerName(uint8_t headerType, unsigned offset)
{
    const Register r = registerAt(headerType, offset);
    std::string name = r.name != nullptr ? r.name : "REG_" + hex(offset, 2).substr(2);
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
        // A register that kept fewer bits than were written: what was written, too.
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
        return "io " + detail::formatSize(static_cast<uint32_t>(~mask + 1));
    }
    const bool wide = ((readback >> 1) & 3) == 2;
    const bool prefetchable = (readback & 8) != 0;
    uint64_t mask = readback & ~0xFull;
    mask |= wide ? static_cast<uint64_t>(upper.value_or(0xFFFFFFFFu)) << 32 : 0xFFFFFFFF00000000ull;
    return std::string(wide ? "mem64 " : "mem32 ") + (prefetchable ? "prefetchable " : "") +
           detail::formatSize(~mask + 1);
}

const char* actorKey(pci::Actor who, bool driverLoaded)
{
    switch (who) {
    case pci::Actor::Firmware: return "firmware";
    case pci::Actor::BusInterface: return driverLoaded ? "hotpflt-bus-interface" : "bus-interface";
    case pci::Actor::RootAccessors: return driverLoaded ? "hotpflt-root-accessors" : "root-accessors";
    case pci::Actor::PnpManager: return "pnp-manager";
    case pci::Actor::BusDriver: break;
    }
    return "bus-driver";
}

const char* actorName(const std::string& key)
{
    if (key == "firmware") return "firmware";
    if (key == "hotpflt-bus-interface") return "hotpflt via bus interface";
    if (key == "hotpflt-root-accessors") return "hotpflt via root accessors";
    if (key == "bus-interface") return "bus interface";
    if (key == "root-accessors") return "root accessors";
    if (key == "pnp-manager") return "PnP manager";
    return "bus driver";
}

nlohmann::ordered_json requirementsJson(const std::vector<uint8_t>& bytes)
{
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    if (bytes.size() < offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List)) return out;
    IO_RESOURCE_REQUIREMENTS_LIST header;
    std::memcpy(&header, bytes.data(), offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List));
    size_t offset = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (ULONG a = 0; a < header.AlternativeLists; ++a) {
        if (offset + offsetof(IO_RESOURCE_LIST, Descriptors) > bytes.size()) break;
        IO_RESOURCE_LIST list;
        std::memcpy(&list, bytes.data() + offset, offsetof(IO_RESOURCE_LIST, Descriptors));
        for (ULONG i = 0; i < list.Count; ++i) {
            const size_t at = offset + offsetof(IO_RESOURCE_LIST, Descriptors) +
                              i * sizeof(IO_RESOURCE_DESCRIPTOR);
            if (at + sizeof(IO_RESOURCE_DESCRIPTOR) > bytes.size()) break;
            IO_RESOURCE_DESCRIPTOR d;
            std::memcpy(&d, bytes.data() + at, sizeof d);
            out.push_back({
                {"type", d.Type == CmResourceTypePort     ? "io"
                         : d.Type == CmResourceTypeMemory ? "memory"
                                                          : "other"},
                {"flags", d.Flags},
                {"length", d.u.Memory.Length},
                {"alignment", d.u.Memory.Alignment},
                {"minimum", static_cast<uint64_t>(d.u.Memory.MinimumAddress.QuadPart)},
                {"maximum", static_cast<uint64_t>(d.u.Memory.MaximumAddress.QuadPart)},
                {"option", d.Option},
                {"list", a},
            });
        }
        offset += offsetof(IO_RESOURCE_LIST, Descriptors) +
                  list.Count * sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    return out;
}

// --- story ----------------------------------------------------------------------------------------

// A write of all ones to a BAR starts (or continues) the sizing of one function by one caller; the
// write that puts a sized BAR back as it was belongs to it as well, and so do the reads of its
// BARs. Anything else ends it.
bool Story::foldIntoSizing(const Output& out)
{
    if (out.kind != Output::Kind::Config && out.kind != Output::Kind::Read) return false;
    const auto& f = out.fields;
    if (num(f, "width") != 4 || !f.value("claimed", false)) return false;
    const std::string who = str(f, "who"), bdf = str(f, "bdf");
    // The expansion ROM BAR, sized while a function's BARs are: all ones (but the enable bit)
    // in, its original put back.
    if (isRomBase(str(f, "register"))) {
        if (!sizing_ || sizing_->who != who || sizing_->bdf != bdf) return false;
        if (out.kind == Output::Kind::Read) return sizing_->rom.has_value();
        if (num(f, "value") == 0xFFFFF800u) {
            sizing_->rom = Sizing::Bar{static_cast<unsigned>(num(f, "offset")),
                                       static_cast<uint32_t>(num(f, "new")),
                                       static_cast<uint32_t>(num(f, "old"))};
            return true;
        }
        return sizing_->rom && num(f, "new") == sizing_->rom->original;
    }
    if (!isBarOffset(str(f, "register"))) return false;
    const auto offset = static_cast<unsigned>(num(f, "offset"));
    if (out.kind == Output::Kind::Config && num(f, "value") == 0xFFFFFFFFu) {
        if (!sizing_ || sizing_->who != who || sizing_->bdf != bdf) return false;
        sizing_->bars.push_back({offset, static_cast<uint32_t>(num(f, "new")),
                                 static_cast<uint32_t>(num(f, "old"))});
        return true;
    }
    if (!sizing_ || sizing_->who != who || sizing_->bdf != bdf) return false;
    for (const Sizing::Bar& bar : sizing_->bars) {
        if (bar.offset != offset) continue;
        if (out.kind == Output::Kind::Read) return true;
        if (num(f, "new") == bar.original) return true;
    }
    return false;
}

std::vector<std::string> Story::flushSizing()
{
    if (!sizing_) return {};
    Sizing s = std::move(*sizing_);
    sizing_.reset();
    if (!options_.configWrites) return {};
    std::string text;
    std::vector<unsigned> unimplemented;
    for (size_t i = 0; i < s.bars.size(); ++i) {
        const Sizing::Bar& bar = s.bars[i];
        const std::string name = "BAR" + std::to_string((bar.offset - 0x10) / 4);
        std::optional<uint32_t> upper;
        const bool wide = (bar.readback & 1) == 0 && ((bar.readback >> 1) & 3) == 2;
        if (wide && i + 1 < s.bars.size() && s.bars[i + 1].offset == bar.offset + 4) {
            upper = s.bars[i + 1].readback;
        }
        if (auto size = describeBarSize(bar.readback, upper)) {
            text += (text.empty() ? "" : ", ") + name + " sized: " + *size;
            if (upper) ++i;
        } else {
            unimplemented.push_back((bar.offset - 0x10) / 4);
        }
    }
    std::string rom;
    if (s.rom && (s.rom->readback & 0xFFFFF800u) != 0) {
        rom = ", ROM sized: " +
              detail::formatSize((uint64_t{~(s.rom->readback & 0xFFFFF800u)} + 1) & 0xFFFFFFFFu);
    }
    if (text.empty()) {
        return {line("config", pad(actorName(s.who), 28) + s.bdf + "  BARs sized: none implemented" + rom)};
    }
    if (!unimplemented.empty()) {
        // Consecutive registers as one range: "BAR2-5".
        std::string list;
        for (size_t i = 0; i < unimplemented.size();) {
            size_t j = i;
            while (j + 1 < unimplemented.size() && unimplemented[j + 1] == unimplemented[j] + 1) ++j;
            list += (list.empty() ? "BAR" : ", BAR") + std::to_string(unimplemented[i]) +
                    (j > i ? "-" + std::to_string(unimplemented[j]) : std::string());
            i = j + 1;
        }
        text += " (" + list + " not implemented)";
    }
    return {line("config", pad(actorName(s.who), 28) + s.bdf + "  " + text + rom)};
}

std::vector<std::string> Story::add(const Output& out)
{
    const auto& f = out.fields;
    if (out.kind == Output::Kind::Config || out.kind == Output::Kind::Read) {
        if (foldIntoSizing(out)) return {};
        // Firmware's command writes around sizing that change nothing say nothing.
        if (out.kind == Output::Kind::Config && str(f, "who") == "firmware" &&
            str(f, "register") == "COMMAND" && f.value("claimed", false) &&
            num(f, "old") == num(f, "new") && num(f, "value") == num(f, "new")) {
            if (sizing_ && sizing_->bdf != str(f, "bdf")) return flushSizing();
            return {};
        }
        if (out.kind == Output::Kind::Config && num(f, "value") == 0xFFFFFFFFu &&
            isBarOffset(str(f, "register")) && num(f, "width") == 4 && f.value("claimed", false)) {
            std::vector<std::string> lines = flushSizing();
            sizing_ = Sizing{str(f, "who"), str(f, "bdf"), {}, std::nullopt};
            foldIntoSizing(out);
            return lines;
        }
    }
    std::vector<std::string> lines = flushSizing();
    auto push = [&](std::string text) { lines.push_back(std::move(text)); };
    const std::string who = pad(actorName(str(f, "who")), 28);
    switch (out.kind) {
    case Output::Kind::Step:
        push("");
        push("== " + out.text);
        break;
    case Output::Kind::Config: {
        if (!options_.configWrites) break;
        std::string text = who + str(f, "bdf") + "  ";
        if (!f.value("claimed", false)) {
            text += registerName(0xFF, static_cast<unsigned>(num(f, "offset"))) + " = " +
                    hex(num(f, "value"), 2 * static_cast<int>(num(f, "width"))) +
                    " (no function answered)";
        } else {
            text += str(f, "change");
        }
        push(line("config", text));
        break;
    }
    case Output::Kind::Read:
        if (!options_.reads) break;
        push(line("read", who + str(f, "bdf") + "  " + str(f, "register") + " = " +
                              hex(num(f, "value"), 2 * static_cast<int>(num(f, "width"))) +
                              (f.value("claimed", false) ? "" : " (no function answered)")));
        break;
    case Output::Kind::BusNumbers:
        // Configuration writes name the bus-number registers themselves.
        if (!options_.configWrites) push(line("busnum", out.text + "  (" + actorName(str(f, "who")) + ")"));
        break;
    case Output::Kind::Request: {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02x", static_cast<unsigned>(num(f, "code")));
        std::string text = str(f, "minor") + " (" + code + ")";
        if (f.contains("state") && f["state"].is_string()) text += " " + f["state"].get<std::string>();
        push(line("request", text + " -> " + str(f, "name")));
        break;
    }
    case Output::Kind::Break:
        push(line("break", "Break instruction exception - code 80000003 (first chance) at " +
                               str(f, "where")));
        break;
    case Output::Kind::Requirements: {
        push(line("filter", str(f, "name") + ": requirements " +
                                (f.value("changed", false) ? "changed by filtering" : "kept by filtering")));
        if (f.value("changed", false)) {
            for (const auto& d : f["before"]) push(line("", "  before  " + descriptorText(d)));
            for (const auto& d : f["after"]) push(line("", "  after   " + descriptorText(d)));
        }
        if (f.contains("totals") && f["totals"].is_object()) {
            const auto& t = f["totals"];
            push(line("", "  scan totals: I/O " + hex(num(t, "io")) + ", memory " + hex(num(t, "memory")) +
                              " (largest " + hex(num(t, "memory_alignment")) + "), prefetchable " +
                              hex(num(t, "prefetchable")) + " (largest " +
                              hex(num(t, "prefetchable_alignment")) + "), bridges per bus " +
                              std::to_string(num(t, "bridges_per_bus"))));
        }
        break;
    }
    default:
        push(line(outputKindName(out.kind), out.text));
        break;
    }
    return lines;
}

std::vector<std::string> Story::finish() { return flushSizing(); }

nlohmann::ordered_json toJson(const Output& out)
{
    nlohmann::ordered_json line{{"kind", outputKindName(out.kind)}};
    for (auto it = out.fields.begin(); it != out.fields.end(); ++it) line[it.key()] = it.value();
    if (!line.contains("text") && out.fields.empty()) line["text"] = out.text;
    return line;
}

}  // namespace machine
