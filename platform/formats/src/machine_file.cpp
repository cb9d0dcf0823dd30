#include <formats/machine_file.hpp>
#include <formats/machine_writer.hpp>

#include "toml_reader.hpp"

#include <pci/registers.hpp>
#include <algorithm>
#include <array>
#include <cstdio>
#include <map>

namespace formats {

using namespace machine;

using detail::Reader;

namespace {
// A byte as two hexadecimal digits.
std::string byteHex(unsigned value) { return pci::hex(value & 0xFF, 2); }
}  // namespace

namespace {

// Where a function table sits: on a bus ("at" names device and function) or directly in a card
// ("function" names the function; the slot decides the device).
enum class Context { Bus, Card };

class MachineParser {
public:
    explicit MachineParser(std::string_view fileName) : r_(fileName) {}

    std::vector<std::string>& errors() { return r_.errors(); }

    void parse(const toml::table& top, MachineDesc& m)
    {
        r_.onlyKeys(top, {"name", "firmware", "windows", "function", "slots", "root", "card"},
                    "a machine file");
        if (auto name = r_.string(top, "name", "the machine")) m.name = *name;
        if (auto firmware = r_.string(top, "firmware", "the machine")) {
            if (*firmware == "as-found") {
                m.asFound = true;
            } else if (*firmware != "configure") {
                r_.error(Reader::keyLine(top, "firmware"),
                         "firmware is \"configure\" or \"as-found\", not '" + *firmware + "'");
            }
        }
        m.windows = defaultRootWindows();
        const toml::table* rootWindows = r_.table(top, "windows", "the machine");
        // A bus 00 with nothing on it (a machine whose first root bus has another number) may
        // forward nothing: an empty [windows] says so.
        const bool forwardsNothing = rootWindows != nullptr && rootWindows->empty() &&
                                     top.get("function") == nullptr && top.get("slots") == nullptr;
        if (rootWindows != nullptr) windows(*rootWindows, m.windows, /*required=*/!forwardsNothing);
        placed_.push_back(PlacedWindows{0, m.windows, {}, Reader::line(top)});
        if (rootWindows != nullptr) placed_.back().at(*rootWindows);
        // The root bus owns every bus number and the whole of the root windows, so its slots
        // need no reservation.
        bus(top, "function", m.root, "the root bus", /*inCard=*/false);
        peers(top, m);
        disjointRoots();
        std::map<std::string, unsigned> cardLines;
        for (const toml::table* t : r_.tables(top, "card", "the machine")) {
            CardDesc card;
            card.line = Reader::line(*t);
            r_.onlyKeys(*t, {"name", "function"}, "a card");
            auto name = r_.string(*t, "name", "a card", true);
            if (name) {
                card.name = *name;
                auto [it, fresh] = cardLines.emplace(*name, Reader::keyLine(*t, "name"));
                if (!fresh) {
                    r_.error(Reader::keyLine(*t, "name"),
                             "card '" + *name + "' is already in the catalogue (line " +
                                 std::to_string(it->second) + ")");
                }
            }
            const auto functions = r_.tables(*t, "function", "a card");
            if (functions.empty() && t->get("function") == nullptr) {
                r_.error(card.line, "card '" + card.name + "' has no [[card.function]]");
            }
            std::map<unsigned, unsigned> seen;  // function number -> line
            for (const toml::table* ft : functions) {
                FunctionDesc f;
                if (!function(*ft, f, Context::Card, true)) continue;
                auto [it, fresh] = seen.emplace(f.function, f.line);
                if (!fresh) {
                    r_.error(f.line, "function " + std::to_string(f.function) + " of card '" +
                                         card.name + "' is already described (line " +
                                         std::to_string(it->second) + ")");
                    continue;
                }
                card.functions.push_back(std::move(f));
            }
            if (!card.functions.empty() && seen.count(0) == 0) {
                r_.error(card.line, "card '" + card.name + "' has no function 0");
            }
            m.cards.push_back(std::move(card));
        }
        std::map<std::string, unsigned> labels;
        checkLabels(m.root, labels);
        for (const PeerRootDesc& peer : m.peers) checkLabels(peer.bus, labels);
    }

private:
    // Peer host bridges: each [[root]] is a root bus of its own, with its bus number, its
    // windows and what sits on it. Bus 0 is the machine's first root, described at the top.
    void peers(const toml::table& top, MachineDesc& m)
    {
        std::map<unsigned, unsigned> lines;  // bus number -> line
        for (const toml::table* t : r_.tables(top, "root", "the machine")) {
            PeerRootDesc peer;
            peer.line = Reader::line(*t);
            r_.onlyKeys(*t, {"bus", "windows", "function", "slots"}, "a root bus");
            auto number = r_.integer(*t, "bus", "a root bus", 1, 255, true);
            if (!number) continue;
            peer.number = static_cast<unsigned>(*number);
            auto [it, fresh] = lines.emplace(peer.number, peer.line);
            if (!fresh) {
                r_.error(Reader::keyLine(*t, "bus"),
                         "root bus " + pci::hex(peer.number, 2) + " is already described (line " +
                             std::to_string(it->second) + ")");
                continue;
            }
            peer.windows = RootWindows{{1, 0}, {1, 0}, {1, 0}, {1, 0}};
            const toml::table* w = r_.table(*t, "windows", "a root bus");
            if (w != nullptr) windows(*w, peer.windows, /*required=*/false);
            placed_.push_back(PlacedWindows{peer.number, peer.windows, {}, peer.line});
            if (w != nullptr) placed_.back().at(*w);
            bus(*t, "function", peer.bus, "root bus " + pci::hex(peer.number, 2), /*inCard=*/false);
            m.peers.push_back(std::move(peer));
        }
        std::sort(m.peers.begin(), m.peers.end(),
                  [](const PeerRootDesc& a, const PeerRootDesc& b) { return a.number < b.number; });
    }

    // Each host bridge forwards ranges of its own: a root's window may not overlap another
    // root's (I/O against I/O, any memory window against any memory window), or two bridges
    // would claim one address. Reported at the window of the root described later.
    void disjointRoots()
    {
        for (size_t j = 1; j < placed_.size(); ++j) {
            for (size_t i = 0; i < j; ++i) {
                const PlacedWindows& a = placed_[i];
                const PlacedWindows& b = placed_[j];
                for (unsigned x = 0; x < 4; ++x) {
                    for (unsigned y = 0; y < 4; ++y) {
                        const Window& wa = a.window(x);
                        const Window& wb = b.window(y);
                        if ((x == 0) != (y == 0) || !wa.open() || !wb.open() ||
                            wa.limit < wb.base || wb.limit < wa.base) {
                            continue;
                        }
                        r_.error(b.lines[y] != 0 ? b.lines[y] : b.line,
                                 b.describe(y) + " overlaps " + a.describe(x) +
                                     "; each host bridge forwards its own ranges");
                    }
                }
            }
        }
    }

    void window(const toml::table& parent, std::string_view key, Window& out, uint64_t maximum,
                bool required)
    {
        const std::string what = "the " + std::string(key) + " window";
        const toml::table* t = r_.table(parent, key, "[windows]", required);
        if (t == nullptr) {
            if (!required && parent.get(key) == nullptr) out = Window{};  // none
            return;
        }
        r_.onlyKeys(*t, {"base", "limit"}, what);
        const auto max = static_cast<int64_t>(maximum);
        auto base = r_.integer(*t, "base", what, 0, max, true);
        auto limit = r_.integer(*t, "limit", what, 0, max, true);
        if (!base || !limit) return;
        if (*base > *limit) {
            r_.error(*t, what + " has its base above its limit");
            return;
        }
        out = Window{static_cast<uint64_t>(*base), static_cast<uint64_t>(*limit)};
    }

    // The first root's windows need I/O and memory; a peer root's may be any of them.
    void windows(const toml::table& t, RootWindows& w, bool required = true)
    {
        r_.onlyKeys(t, {"io", "memory", "prefetchable", "memory64"}, "[windows]");
        window(t, "io", w.io, 0xFFFF, required);
        window(t, "memory", w.memory, 0xFFFFFFFF, required);
        window(t, "prefetchable", w.prefetchable, 0xFFFFFFFF, false);
        window(t, "memory64", w.memory64, INT64_MAX, false);
        if (w.memory64.open() && w.memory64.base <= 0xFFFFFFFF) {
            r_.error(Reader::keyLine(t, "memory64"), "the memory64 window lies above 4G");
        }
        if (w.memory.open() && w.prefetchable.open() &&
            w.memory.base <= w.prefetchable.limit && w.prefetchable.base <= w.memory.limit) {
            r_.error(Reader::keyLine(t, "prefetchable"),
                     "the prefetchable window overlaps the memory window");
        }
    }

    // The functions and slots of one bus, from the table that holds them (the top level for the
    // root bus, a bridge's table for the bus behind it).
    void bus(const toml::table& t, std::string_view key, BusDesc& out, std::string_view what,
             bool inCard)
    {
        for (const toml::table* st : r_.tables(t, "slots", what)) {
            SlotDesc slot;
            slot.line = Reader::line(*st);
            r_.onlyKeys(*st, {"device", "label"}, "a slot");
            auto device = r_.integer(*st, "device", "a slot", 0, 31, true);
            if (!device) continue;
            slot.device = static_cast<unsigned>(*device);
            if (auto label = r_.string(*st, "label", "a slot")) {
                if (inCard) {
                    r_.error(Reader::keyLine(*st, "label"),
                             "slot labels name the machine's own slots; a card's slots have none");
                } else if (!isValidSlotLabel(*label)) {
                    r_.error(Reader::keyLine(*st, "label"),
                             "slot label '" + *label +
                                 "' could be read as a path (it must not contain '/', look "
                                 "like a device number or end in '.' and a digit)");
                } else {
                    slot.label = *label;
                }
            }
            if (const SlotDesc* before = out.slot(slot.device)) {
                r_.error(slot.line, "device " + byteHex(slot.device) +
                                        " is already a hot-plug slot (line " +
                                        std::to_string(before->line) + ")");
                continue;
            }
            out.slots.push_back(std::move(slot));
        }
        std::map<std::pair<unsigned, unsigned>, unsigned> seen;  // device.function -> line
        for (const toml::table* ft : r_.tables(t, key, what)) {
            FunctionDesc f;
            if (!function(*ft, f, Context::Bus, inCard)) continue;
            auto [it, fresh] = seen.emplace(std::make_pair(f.device, f.function), f.line);
            if (!fresh) {
                r_.error(f.line, "function " + byteHex(f.device) + "." + std::to_string(f.function) +
                                     " is already described (line " + std::to_string(it->second) +
                                     ")");
                continue;
            }
            out.functions.push_back(std::move(f));
        }
        // A device answers only through its function 0.
        for (const FunctionDesc& f : out.functions) {
            if (f.function != 0 && seen.count({f.device, 0}) == 0) {
                r_.error(f.line, "device " + byteHex(f.device) + " has function " +
                                     std::to_string(f.function) +
                                     " but no function 0, so none of it would answer");
            }
        }
    }

    bool function(const toml::table& t, FunctionDesc& f, Context context, bool inCard)
    {
        f.line = Reader::line(t);
        const size_t errorsBefore = errors().size();
        if (!configBytes(t, f) || !kindOf(t, f)) return false;
        allowedKeys(t, f, context);
        placeOf(t, f, context);
        identity(t, f);
        switch (f.kind) {
        case FunctionKind::Device: device(t, f); break;
        case FunctionKind::Bridge: bridge(t, f, inCard); break;
        case FunctionKind::CardBus: f.name = className(0x06, 0x07); break;
        }
        if (auto name = r_.string(t, "name", "a function")) f.name = *name;
        return errors().size() == errorsBefore;
    }

    // Configuration bytes, when given, decide the kind through their header type.
    bool configBytes(const toml::table& t, FunctionDesc& f)
    {
        if (auto text = r_.string(t, "config", "a function")) {
            std::string error;
            if (!parseConfigBytes(*text, f.config, error)) {
                r_.error(Reader::keyLine(t, "config"), error);
                return false;
            }
            const unsigned type = f.config[pci::reg::HeaderType] & 0x7F;
            if (type > 2) {
                r_.error(Reader::keyLine(t, "config"),
                         "the configuration bytes have header type " + std::to_string(type) +
                             " (0 device, 1 PCI-to-PCI bridge, 2 CardBus bridge)");
                return false;
            }
            f.kind = static_cast<FunctionKind>(type);
            f.vendor = static_cast<uint16_t>(f.config[0] | f.config[1] << 8);
            f.deviceId = static_cast<uint16_t>(f.config[2] | f.config[3] << 8);
            f.revision = f.config[pci::reg::RevisionId];
            f.progIf = f.config[pci::reg::ProgIf];
            f.subClass = f.config[pci::reg::SubClass];
            f.baseClass = f.config[pci::reg::BaseClass];
        }
        return true;
    }

    bool kindOf(const toml::table& t, FunctionDesc& f)
    {
        const auto kind = r_.string(t, "kind", "a function");
        if (kind) {
            if (*kind == "device") {
                f.kind = FunctionKind::Device;
            } else if (*kind == "bridge") {
                f.kind = FunctionKind::Bridge;
            } else if (*kind == "cardbus") {
                f.kind = FunctionKind::CardBus;
            } else {
                r_.error(Reader::keyLine(t, "kind"), "unknown kind '" + *kind +
                                                         "' (expected device, bridge or cardbus)");
                return false;
            }
            if (!f.config.empty() &&
                static_cast<unsigned>(f.kind) != (f.config[pci::reg::HeaderType] & 0x7Fu)) {
                r_.error(Reader::keyLine(t, "kind"),
                         "kind '" + *kind + "' disagrees with the header type of the "
                                            "configuration bytes");
                return false;
            }
        }
        return true;
    }

    // The keys each kind of function takes.
    void allowedKeys(const toml::table& t, const FunctionDesc& f, Context context)
    {
        const char* const place = context == Context::Bus ? "at" : "function";
        switch (f.kind) {
        case FunctionKind::Device:
            r_.onlyKeys(t, {place, "kind", "name", "id", "revision", "class", "bars", "rom", "config",
                            "write_masks"},
                        "a device");
            break;
        case FunctionKind::Bridge:
            r_.onlyKeys(t, {place, "kind", "name", "id", "revision", "class", "bars", "rom",
                            "config", "write_masks", "prefetch64", "io32", "io_window",
                            "prefetch_window", "slots", "spare_buses", "reserve", "behind"},
                        "a bridge");
            break;
        case FunctionKind::CardBus:
            r_.onlyKeys(t, {place, "kind", "name", "id", "revision", "config", "write_masks"},
                        "a CardBus bridge");
            break;
        }
    }

    // Where the function is: "at" on a bus, "function" in a card.
    void placeOf(const toml::table& t, FunctionDesc& f, Context context)
    {
        if (context == Context::Bus) {
            if (auto at = r_.string(t, "at", "a function", true)) {
                std::string error;
                const auto location = parseLocation(*at, error);
                const Step* step = location && location->label.empty() &&
                                           location->steps.size() == 1 &&
                                           location->steps[0].function
                                       ? &location->steps[0]
                                       : nullptr;
                if (step == nullptr) {
                    if (location) error = "'" + *at + "' is not a device.function such as \"02.0\"";
                    r_.error(Reader::keyLine(t, "at"), error);
                } else {
                    f.device = step->device;
                    f.function = step->functionOrZero();
                }
            }
        } else if (auto fn = r_.integer(t, "function", "a card's function", 0, 7, true)) {
            f.function = static_cast<unsigned>(*fn);
        }
    }

    // Vendor and device, revision, expansion ROM and write masks.
    void identity(const toml::table& t, FunctionDesc& f)
    {
        const bool raw = !f.config.empty();
        const uint16_t rawVendor = f.vendor, rawDevice = f.deviceId;
        if (auto id = r_.string(t, "id", "a function", !raw)) {
            if (!detail::parseId(*id, f.vendor, f.deviceId)) {
                r_.error(Reader::keyLine(t, "id"),
                         "'" + *id + "' is not a vendor:device pair such as \"7e57:0300\"");
            } else if (f.vendor == 0xFFFF) {
                r_.error(Reader::keyLine(t, "id"),
                         "vendor ffff is what an absent function reads as");
            } else if (raw && (f.vendor != rawVendor || f.deviceId != rawDevice)) {
                r_.error(Reader::keyLine(t, "id"), "'" + *id +
                                                       "' disagrees with the configuration "
                                                       "bytes, which say " +
                                                       byteHex(rawVendor >> 8) + byteHex(rawVendor) +
                                                       ":" + byteHex(rawDevice >> 8) +
                                                       byteHex(rawDevice));
            }
        } else if (raw && rawVendor == 0xFFFF) {
            r_.error(Reader::keyLine(t, "config"),
                     "the configuration bytes have vendor ffff, what an absent function reads as");
        }
        if (auto revision = r_.integer(t, "revision", "a function", 0, 255)) {
            if (raw) {
                r_.error(Reader::keyLine(t, "revision"),
                         "the revision comes from the configuration bytes");
            }
            f.revision = static_cast<uint8_t>(*revision);
        }
        if (auto rom = r_.size(t, "rom", "a function")) {
            if (!detail::isPowerOfTwo(*rom) || *rom < 0x800 || *rom > 0x1000000) {
                r_.error(Reader::keyLine(t, "rom"),
                         "an expansion ROM is a power of two from 2K to 16M, not " +
                             pci::formatSize(*rom));
            } else {
                f.romSize = *rom;
            }
        }
        if (const toml::table* masks = r_.table(t, "write_masks", "a function")) {
            r_.onlyKeys(*masks, {"command", "cache_line_size", "latency_timer"}, "write_masks");
            if (auto v = r_.integer(*masks, "command", "write_masks", 0, 0xFFFF)) {
                f.commandMask = static_cast<uint16_t>(*v);
            }
            if (auto v = r_.integer(*masks, "cache_line_size", "write_masks", 0, 0xFF)) {
                f.cacheLineMask = static_cast<uint8_t>(*v);
            }
            if (auto v = r_.integer(*masks, "latency_timer", "write_masks", 0, 0xFF)) {
                f.latencyMask = static_cast<uint8_t>(*v);
            }
        }
    }

    // The class code, which configuration bytes, when given, already hold.
    std::optional<int64_t> classCode(const toml::table& t, const FunctionDesc& f, const char* what)
    {
        const bool raw = !f.config.empty();
        auto code = r_.integer(t, "class", what, 0, 0xFFFFFF, !raw && f.kind == FunctionKind::Device);
        if (code && raw &&
            static_cast<uint32_t>(*code) !=
                (uint32_t{f.baseClass} << 16 | uint32_t{f.subClass} << 8 | f.progIf)) {
            r_.error(Reader::keyLine(t, "class"),
                     "the class disagrees with the configuration bytes, which say " +
                         byteHex(f.baseClass) + byteHex(f.subClass) + byteHex(f.progIf));
            return std::nullopt;
        }
        return code;
    }

    void bars(const toml::table& t, FunctionDesc& f, unsigned registers)
    {
        if (const toml::node* list = t.get("bars")) {
            if (!list->is_array()) {
                r_.error(*list, "'bars' must be an array of BARs, not a " +
                                    std::string(list->is_table() ? "table" : "single value"));
            } else {
                barList(*list->as_array(), f.bars, registers);
            }
        }
    }

    void device(const toml::table& t, FunctionDesc& f)
    {
        if (auto code = classCode(t, f, "a device")) {
            f.baseClass = static_cast<uint8_t>(*code >> 16);
            f.subClass = static_cast<uint8_t>(*code >> 8);
            f.progIf = static_cast<uint8_t>(*code);
            if (f.baseClass == 0x06 && (f.subClass == 0x04 || f.subClass == 0x07)) {
                r_.error(Reader::keyLine(t, "class"),
                         "class " + pci::hex(f.baseClass, 2) + pci::hex(f.subClass, 2) +
                             " is a bridge; describe it with kind = \"" +
                             (f.subClass == 0x04 ? "bridge" : "cardbus") + "\"");
            }
        }
        bars(t, f, 6);
        f.name = className(f.baseClass, f.subClass);
    }

    void bridge(const toml::table& t, FunctionDesc& f, bool inCard)
    {
        const bool raw = !f.config.empty();
        if (auto code = classCode(t, f, "a bridge"); code && !raw) {
            if ((*code >> 8) != 0x0604) {
                r_.error(Reader::keyLine(t, "class"),
                         "a PCI-to-PCI bridge has class 0604xx (0x060401 decodes "
                         "subtractively), not " + byteHex(static_cast<unsigned>(*code >> 16)) +
                             byteHex(static_cast<unsigned>(*code >> 8)) +
                             byteHex(static_cast<unsigned>(*code)));
            }
            f.progIf = static_cast<uint8_t>(*code);
        }
        bars(t, f, 2);
        for (const char* key : {"prefetch64", "io32"}) {
            if (raw && t.get(key) != nullptr) {
                r_.error(Reader::keyLine(t, key),
                         std::string(key) + " comes from the configuration bytes");
            }
        }
        if (auto on = r_.boolean(t, "prefetch64", "a bridge")) f.prefetch64 = *on;
        if (auto on = r_.boolean(t, "io32", "a bridge")) f.io32 = *on;
        if (auto on = r_.boolean(t, "io_window", "a bridge")) f.ioWindow = *on;
        if (auto on = r_.boolean(t, "prefetch_window", "a bridge")) f.prefetchWindow = *on;
        if (raw) {
            f.io32 = pci::windowIsWide(f.config[pci::reg::IoBase]);
            f.prefetch64 = pci::windowIsWide(f.config[pci::reg::PrefetchBase]);
        }
        f.name = className(0x06, 0x04);
        bus(t, "behind", f.secondary, "a bridge", inCard);
        reserve(t, f.secondary);
    }

    void reserve(const toml::table& t, BusDesc& bus)
    {
        auto spare = r_.integer(t, "spare_buses", "a bridge", 0, 254);
        const toml::table* windows = r_.table(t, "reserve", "a bridge");
        if ((spare || windows) && bus.slots.empty()) {
            r_.error(Reader::keyLine(t, spare ? "spare_buses" : "reserve"),
                     "only a bridge with hot-plug slots behind it gets spare bus numbers or "
                     "reserved windows");
            return;
        }
        if (spare) bus.reserve.buses = static_cast<unsigned>(*spare);
        if (windows == nullptr) return;
        r_.onlyKeys(*windows, {"io", "memory", "prefetchable"}, "a reserve");
        struct Part {
            const char* key;
            uint64_t* out;
            uint64_t granularity;
        } parts[] = {{"io", &bus.reserve.io, 0x1000},
                     {"memory", &bus.reserve.memory, 0x100000},
                     {"prefetchable", &bus.reserve.prefetchable, 0x100000}};
        for (const Part& p : parts) {
            auto size = r_.size(*windows, p.key, "a reserve");
            if (!size || *size == 0) continue;
            if (!detail::isPowerOfTwo(*size) || *size < p.granularity) {
                r_.error(Reader::keyLine(*windows, p.key),
                         "reserved " + std::string(p.key) + " of " + pci::formatSize(*size) +
                             " must be a power of two of at least " +
                             pci::formatSize(p.granularity) + " (the window granularity)");
                continue;
            }
            *p.out = *size;
        }
    }

    void barList(const toml::array& list, std::vector<pci::Bar>& bars, unsigned registers)
    {
        // Which register each BAR occupies; a 64-bit BAR takes two.
        std::array<unsigned, 6> usedBy{};  // line of the BAR there, 0 when free
        bars.assign(registers, pci::Bar{});
        unsigned next = 0;
        for (const toml::node& element : list) {
            if (!element.is_table()) {
                r_.error(element, "a BAR is a table such as { type = \"mem32\", size = \"4K\" }");
                continue;
            }
            const toml::table& t = *element.as_table();
            const unsigned line = Reader::line(t);
            r_.onlyKeys(t, {"type", "size", "prefetchable", "index"}, "a BAR");
            auto type = r_.string(t, "type", "a BAR", true);
            auto size = r_.size(t, "size", "a BAR", true);
            auto prefetchable = r_.boolean(t, "prefetchable", "a BAR");
            auto index = r_.integer(t, "index", "a BAR", 0, 5);
            if (!type || !size) continue;
            pci::Bar bar;
            uint64_t minimum = 16, maximum = uint64_t{1} << 31;
            if (*type == "io" || *type == "io16") {
                bar.kind = pci::Bar::Kind::Io;
                bar.ioUpperZero = *type == "io16";
                // The whole x86 I/O space; devices rarely ask for more than 256 bytes.
                minimum = 4;
                maximum = 0x10000;
                if (prefetchable.value_or(false)) {
                    r_.error(Reader::keyLine(t, "prefetchable"), "an I/O BAR is not prefetchable");
                    continue;
                }
            } else if (*type == "mem32") {
                bar.kind = pci::Bar::Kind::Memory32;
            } else if (*type == "mem64") {
                bar.kind = pci::Bar::Kind::Memory64;
                maximum = uint64_t{1} << 62;
            } else {
                r_.error(Reader::keyLine(t, "type"),
                         "unknown BAR type '" + *type + "' (expected io, io16, mem32 or mem64)");
                continue;
            }
            bar.size = *size;
            bar.prefetchable = prefetchable.value_or(false);
            if (!detail::isPowerOfTwo(*size)) {
                r_.error(Reader::keyLine(t, "size"),
                         "BAR size " + std::to_string(*size) + " is not a power of two");
                continue;
            }
            if (*size < minimum || *size > maximum) {
                r_.error(Reader::keyLine(t, "size"),
                         "a BAR of type " + *type + " is " + pci::formatSize(minimum) + " to " +
                             pci::formatSize(maximum) + ", not " + pci::formatSize(*size));
                continue;
            }
            const unsigned at = index ? static_cast<unsigned>(*index) : next;
            const unsigned width = bar.kind == pci::Bar::Kind::Memory64 ? 2 : 1;
            if (at + width > registers) {
                r_.error(line, at >= registers
                                   ? (registers == 6 ? std::string("a device has six BAR registers; this "
                                                                   "BAR would be a seventh")
                                                     : std::string("a bridge has two BAR registers; "
                                                                   "this BAR would be a third"))
                                   : "a 64-bit BAR takes two registers; BAR " +
                                         std::to_string(at) + " is the last one");
                continue;
            }
            bool clash = false;
            for (unsigned i = at; i < at + width; ++i) {
                if (usedBy[i] != 0) {
                    r_.error(line, "BAR register " + std::to_string(i) +
                                       " is already taken by the BAR at line " +
                                       std::to_string(usedBy[i]));
                    clash = true;
                    break;
                }
            }
            if (clash) continue;
            for (unsigned i = at; i < at + width; ++i) usedBy[i] = line;
            bars[at] = bar;
            next = at + width;
        }
        while (!bars.empty() && bars.back().kind == pci::Bar::Kind::None) bars.pop_back();
    }

    // Labels are unique across the machine, so that a scenario can use one alone.
    void checkLabels(const BusDesc& b, std::map<std::string, unsigned>& labels)
    {
        for (const SlotDesc& s : b.slots) {
            if (s.label.empty()) continue;
            auto [it, fresh] = labels.emplace(s.label, s.line);
            if (!fresh) {
                r_.error(s.line, "slot label '" + s.label + "' is already used (line " +
                                     std::to_string(it->second) + ")");
            }
        }
        for (const FunctionDesc& f : b.functions) {
            if (f.isBridge()) checkLabels(f.secondary, labels);
        }
    }


    // A root bus's windows and the lines they were written at (0: not written).
    struct PlacedWindows {
        static constexpr const char* names[4] = {"io", "memory", "prefetchable", "memory64"};
        unsigned number;
        RootWindows windows;
        std::array<unsigned, 4> lines;
        unsigned line;  // of the root itself

        void at(const toml::table& t)
        {
            for (unsigned i = 0; i < 4; ++i) {
                if (t.get(names[i]) != nullptr) lines[i] = Reader::keyLine(t, names[i]);
            }
        }
        const Window& window(unsigned i) const
        {
            return i == 0 ? windows.io : i == 1 ? windows.memory : i == 2 ? windows.prefetchable
                                                                          : windows.memory64;
        }
        // "the memory window of root bus 80 (e8000000-f7ffffff)"
        std::string describe(unsigned i) const
        {
            return "the " + std::string(names[i]) + " window of root bus " + pci::hex(number, 2) +
                   " (" + pci::hex(window(i).base, 4) + "-" + pci::hex(window(i).limit, 4) + ")";
        }
    };

    Reader r_;
    std::vector<PlacedWindows> placed_;
};

}  // namespace


Parsed<MachineDesc> parseMachine(std::string_view text, std::string_view fileName)
{
    auto result = toml::parse(text, std::string_view(fileName));
    if (!result) return detail::parseFailure(result.error(), fileName);
    MachineParser parser(fileName);
    MachineDesc machine;
    parser.parse(result.table(), machine);
    if (!parser.errors().empty()) return std::move(parser.errors());
    return machine;
}

Parsed<MachineDesc> loadMachine(const std::string& path)
{
    std::string error;
    auto text = readInputFile(path, error, kMaxFileBytes, "a machine or scenario file");
    if (!text) return std::vector<std::string>{error};
    return parseMachine(*text, path);
}

}  // namespace formats
