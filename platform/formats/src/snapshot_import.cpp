// From a snapshot to a machine: the bus tree follows the bridges' bus-number registers as the
// snapshot holds them (a bus no bridge leads to is the root bus of a peer host bridge), BAR kinds
// and sizes come from Linux's `resource` lines, from verbose lspci's regions, or, from the bytes
// alone, from the alignment of the assigned addresses, never reaching past the next range
// captured. Each root's windows come from copies of /proc/iomem and /proc/ioports when the
// snapshot has them, else they reach from what firmware assigned on the root up to the next
// captured range or a stated default. A function that cannot be imported is left out with a
// note; only a snapshot with nothing usable is refused.
#include <formats/snapshot.hpp>

#include <formats/files.hpp>
#include <pci/registers.hpp>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>

namespace formats {

using namespace machine;

namespace {

namespace reg = pci::reg;

// Linux's resource flags, as sysfs prints them.
constexpr uint64_t ResourceIo = 0x100, ResourceMem = 0x200;
constexpr uint64_t ResourceMem64 = 0x100000, ResourceRomShadow = 0x2, ResourceFixed = 0x10;

struct ResourceLine {
    uint64_t start = 0, end = 0, flags = 0;
    uint64_t size() const { return flags != 0 && end > start ? end - start + 1 : 0; }
};

std::string bdf(const SnapshotFunction& f)
{
    return pci::hex(f.bus, 2) + ":" + pci::hex(f.device, 2) + "." + std::to_string(f.function);
}

bool isPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// An address range something on a root bus decodes, to size that root's windows.
struct Claim {
    uint64_t base, limit;
    bool prefetchable;
};

// What one root bus decodes, gathered while its tree is imported.
struct RootClaims {
    std::vector<Claim> io, memory;
};

// The ranges a bridge forwards to the bus behind it, to keep guesses inside them.
struct Enclosing {
    std::vector<Window> io, memory;  // closed windows are left out
};

constexpr uint64_t Above4G = 0x100000000ull;

class Importer {
public:
    explicit Importer(const Snapshot& s) : s_(s) {}

    ImportResult run()
    {
        ImportResult result;
        std::set<unsigned> otherDomains;
        std::map<unsigned, std::vector<const SnapshotFunction*>> buses;
        for (const SnapshotFunction& f : s_.functions) {
            if (f.domain != 0) {
                otherDomains.insert(f.domain);
                continue;
            }
            if (!f.incomplete.empty()) {
                note(bdf(f) + ": left out: " + f.incomplete +
                     ", so its configuration space is not known");
                continue;
            }
            if (f.config.size() < 64) {
                note(bdf(f) + ": left out: " +
                     (f.config.empty() ? std::string("no bytes of its configuration space were "
                                                     "printed")
                                       : "only " + std::to_string(f.config.size()) +
                                             " bytes of its configuration space were printed") +
                     " (lspci -xxx, as root, prints them)");
                continue;
            }
            if (f.config[0] == 0xFF && f.config[1] == 0xFF) {
                note(bdf(f) + ": left out: its configuration space reads all ones (absent or "
                              "powered off)");
                continue;
            }
            buses[f.bus].push_back(&f);
        }
        for (unsigned domain : otherDomains) {
            note("PCI domain " + pci::hex(domain, 4) +
                 " left out: a machine has one PCI domain, 0000");
        }
        gatherCaptured(buses);
        // Every bus number a bridge leads to; the buses that none leads to are root buses.
        std::set<unsigned> ledTo;
        for (const auto& [number, functions] : buses) {
            for (const SnapshotFunction* f : functions) {
                const unsigned type = f->config[reg::HeaderType] & 0x7F;
                if (type != 1 && type != 2) continue;
                const unsigned secondary = f->config[type == 1 ? reg::SecondaryBus : reg::CardBusBus];
                const unsigned subordinate = f->config[type == 1 ? reg::SubordinateBus : reg::CardBusBus + 1];
                if (secondary <= number) continue;
                for (unsigned b = secondary; b <= std::max(secondary, subordinate) && b < 256; ++b) {
                    ledTo.insert(b);
                }
            }
        }
        if (buses.count(0) == 0) {
            errors_.push_back(s_.source + ": nothing usable on bus 00, the root bus");
            return finish(result);
        }
        MachineDesc m;
        m.name = "imported from " + s_.source;
        m.asFound = true;
        std::set<unsigned> placed;
        RootClaims first;
        claims_ = &first;
        bus(0, buses, m.root, placed, 0, Enclosing{});
        std::vector<RootClaims> peerClaims;
        for (const auto& [number, functions] : buses) {
            if (placed.count(number) != 0 || number == 0) continue;
            if (ledTo.count(number) != 0) {
                // Behind a bridge that was left out, or one whose numbers do not nest.
                for (const SnapshotFunction* f : functions) {
                    note(bdf(*f) + ": left out: the bridge that leads to bus " +
                         pci::hex(number, 2) + " was not imported");
                }
                continue;
            }
            PeerRootDesc peer;
            peer.number = number;
            peerClaims.emplace_back();
            claims_ = &peerClaims.back();
            bus(number, buses, peer.bus, placed, 0, Enclosing{});
            note("bus " + pci::hex(number, 2) +
                 ": no bridge leads to it: the root bus of a peer host bridge");
            m.peers.push_back(std::move(peer));
        }
        claims_ = nullptr;
        // Each root's windows, from /proc/iomem and /proc/ioports when the snapshot has them.
        std::vector<unsigned> numbers{0};
        std::vector<RootClaims*> all{&first};
        for (size_t i = 0; i < m.peers.size(); ++i) {
            numbers.push_back(m.peers[i].number);
            all.push_back(&peerClaims[i]);
        }
        const std::map<unsigned, ProcRanges> proc = procRanges();
        for (size_t i = 0; i < numbers.size(); ++i) {
            RootWindows& w = i == 0 ? m.windows : m.peers[i - 1].windows;
            w = rootWindows(numbers[i], *all[i], all, proc);
        }
        if (imported_ == 0) {
            errors_.push_back(s_.source + ": nothing usable: no function could be imported");
        }
        if (!errors_.empty()) return finish(result);
        result.machine = std::move(m);
        return finish(result);
    }

private:
    ImportResult& finish(ImportResult& r)
    {
        r.errors = std::move(errors_);
        r.notes = std::move(notes_);
        if (!r.errors.empty()) r.machine.reset();
        return r;
    }

    // A function that cannot be imported as it is: left out, with the reason.
    void error(const SnapshotFunction&, const std::string& what)
    {
        if (leaving_.empty()) leaving_ = what;
    }
    void note(std::string text) { notes_.push_back(std::move(text)); }

    // Every range the snapshot shows assigned (BARs, ROMs, bridge windows): a guessed size never
    // reaches into the next one.
    void gatherCaptured(const std::map<unsigned, std::vector<const SnapshotFunction*>>& buses)
    {
        for (const auto& [number, functions] : buses) {
            for (const SnapshotFunction* f : functions) {
                const std::vector<uint8_t>& c = f->config;
                const unsigned type = c[reg::HeaderType] & 0x7F;
                const unsigned count = type == 0 ? 6 : type == 1 ? 2 : type == 2 ? 1 : 0;
                for (unsigned i = 0; i < count; ++i) {
                    const uint32_t v = pci::configDword(c, reg::Bar0 + 4 * i);
                    if ((v & 1) != 0) {
                        if ((v & ~3u) != 0) capturedIo_.insert(v & ~3u);
                        continue;
                    }
                    uint64_t a = v & ~0xFu;
                    if (((v >> 1) & 3) == 2 && i + 1 < count) {
                        a |= uint64_t{pci::configDword(c, reg::Bar0 + 4 * (i + 1))} << 32;
                        ++i;
                    }
                    if (a != 0) capturedMemory_.insert(a);
                }
                const unsigned romAt = type == 0 ? reg::RomBar : type == 1 ? reg::BridgeRomBar : 0;
                if (romAt != 0 && (pci::configDword(c, romAt) & 0xFFFFF800u) != 0) {
                    capturedMemory_.insert(pci::configDword(c, romAt) & 0xFFFFF800u);
                }
                if (type == 1) {
                    const Window w[3] = {ioWindow(c), memoryWindow(c), prefetchWindow(c)};
                    if (w[0].open()) capturedIo_.insert(w[0].base);
                    if (w[1].open()) capturedMemory_.insert(w[1].base);
                    if (w[2].open()) capturedMemory_.insert(w[2].base);
                }
            }
        }
    }

    // A bridge's window as its captured registers decode it (closed when it decodes nothing).
    static Window window(pci::WindowKind kind, const std::vector<uint8_t>& c)
    {
        const unsigned baseRegister = kind == pci::WindowKind::Io       ? reg::IoBase
                                      : kind == pci::WindowKind::Memory ? reg::MemoryBase
                                                                        : reg::PrefetchBase;
        const pci::DecodedWindow w = pci::decodeWindow(kind, pci::capturedWindow(kind, c),
                                                       pci::windowIsWide(c[baseRegister]));
        return w.open() ? Window{w.base, w.limit} : Window{};
    }
    static Window ioWindow(const std::vector<uint8_t>& c)
    {
        // Registers that read zero are a window that is not implemented.
        if (c[reg::IoBase] == 0 && c[reg::IoLimit] == 0) return Window{};
        return window(pci::WindowKind::Io, c);
    }
    static Window memoryWindow(const std::vector<uint8_t>& c)
    {
        return window(pci::WindowKind::Memory, c);
    }
    static Window prefetchWindow(const std::vector<uint8_t>& c)
    {
        if (pci::configDword(c, reg::PrefetchBase) == 0) return Window{};
        return window(pci::WindowKind::Prefetchable, c);
    }

    void bus(unsigned number,
             const std::map<unsigned, std::vector<const SnapshotFunction*>>& buses,
             BusDesc& out, std::set<unsigned>& placed, unsigned depth, const Enclosing& around)
    {
        placed.insert(number);
        auto it = buses.find(number);
        if (it == buses.end()) return;
        const bool onRoot = depth == 0;
        for (const SnapshotFunction* f : it->second) {
            FunctionDesc d;
            if (f->function != 0) {
                const SnapshotFunction* zero = nullptr;
                for (const SnapshotFunction* g : it->second) {
                    if (g->device == f->device && g->function == 0) zero = g;
                }
                if (zero == nullptr) {
                    note(bdf(*f) + ": left out: it has no function 0 beside it, so it would not "
                                   "answer");
                    continue;
                }
                if ((zero->config[reg::HeaderType] & 0x80) == 0) {
                    note(bdf(*f) + ": left out: function 0 of its device does not say it is "
                                   "multi-function, so it would not answer");
                    continue;
                }
            }
            leaving_.clear();
            const bool ok = function(*f, d, onRoot, around);
            if (!ok || !leaving_.empty()) {
                note(bdf(*f) + ": left out: " + leaving_);
                continue;
            }
            if (d.kind == FunctionKind::Bridge) {
                const unsigned secondary = f->config[reg::SecondaryBus];
                const unsigned subordinate = f->config[reg::SubordinateBus];
                if (secondary != 0 && secondary <= number) {
                    note(bdf(*f) + ": left out: it forwards to bus " + pci::hex(secondary, 2) +
                         ", which is not below its own bus " + pci::hex(number, 2));
                    continue;
                }
                if (secondary != 0 && placed.count(secondary) != 0) {
                    note(bdf(*f) + ": left out: it forwards to bus " + pci::hex(secondary, 2) +
                         ", which another bridge already leads to");
                    continue;
                }
                if (secondary != 0 && depth < 64) {
                    Enclosing inside;
                    const Window w[3] = {ioWindow(f->config), memoryWindow(f->config),
                                         prefetchWindow(f->config)};
                    if (w[0].open()) inside.io.push_back(w[0]);
                    if (w[1].open()) inside.memory.push_back(w[1]);
                    if (w[2].open()) inside.memory.push_back(w[2]);
                    bus(secondary, buses, d.secondary, placed, depth + 1, inside);
                    for (unsigned b = secondary + 1; b <= subordinate && b < 256; ++b) {
                        if (placed.count(b) == 0 && buses.count(b) == 0) placed.insert(b);
                    }
                }
            } else if (d.kind == FunctionKind::CardBus) {
                // Its socket registers: one 4 KB memory BAR, decoded where firmware put it.
                const uint32_t registers = pci::configDword(f->config, reg::Bar0) & ~0xFFFu;
                if (onRoot && registers != 0 && (f->config[reg::Command] & 0x2) != 0) {
                    claim(false, {registers, registers + 0xFFFu, false});
                }
                const unsigned secondary = f->config[reg::CardBusBus];
                if (secondary != 0 && buses.count(secondary) != 0) {
                    for (const SnapshotFunction* card : buses.at(secondary)) {
                        note(bdf(*card) + ": left out: it is a card in the CardBus socket of " +
                             bdf(*f) + "; cards in CardBus sockets are not modelled");
                    }
                }
                if (secondary != 0) placed.insert(secondary);
            }
            ++imported_;
            out.functions.push_back(std::move(d));
        }
    }

    bool function(const SnapshotFunction& f, FunctionDesc& d, bool onRoot, const Enclosing& around)
    {
        d.device = f.device;
        d.function = f.function;
        d.config.assign(f.config.begin(), f.config.begin() + std::min<size_t>(f.config.size(), 256));
        if (d.config.size() < 256) {
            note(bdf(f) + ": only the first " + std::to_string(d.config.size()) +
                 " bytes of its configuration space were " +
                 (f.resource ? "copied (Linux shows the rest to root alone)" : "printed") +
                 "; the rest are taken as zero");
            d.config.resize(256, 0);
        }
        const std::vector<uint8_t>& c = d.config;
        const unsigned type = c[reg::HeaderType] & 0x7F;
        if (type > 2) {
            error(f, "it has header type " + std::to_string(type) + ", which no function has");
            return false;
        }
        d.kind = static_cast<FunctionKind>(type);
        d.vendor = static_cast<uint16_t>(c[0] | c[1] << 8);
        d.deviceId = static_cast<uint16_t>(c[2] | c[3] << 8);
        d.revision = c[reg::RevisionId];
        d.progIf = c[reg::ProgIf];
        d.subClass = c[reg::SubClass];
        d.baseClass = c[reg::BaseClass];
        d.name = className(d.baseClass, d.subClass);
        if (d.kind == FunctionKind::Bridge && (d.baseClass != 0x06 || d.subClass != 0x04)) {
            error(f, "it has a bridge header but class " + pci::hex(d.baseClass, 2) +
                         pci::hex(d.subClass, 2) + "; only PCI-to-PCI bridges (0604) have one");
            return false;
        }
        if (f.config.size() == 4096) {
            note(bdf(f) + ": PCI Express (4096 bytes of configuration space); the first 256 "
                          "are kept");
        }
        std::vector<ResourceLine> lines;
        if (f.resource && !resourceLines(f, *f.resource, lines)) return false;
        const unsigned registers = d.kind == FunctionKind::Device   ? 6
                                   : d.kind == FunctionKind::Bridge ? 2
                                                                    : 0;
        d.bars.assign(registers, pci::Bar{});
        for (unsigned i = 0; i < registers; ++i) {
            if (!bar(f, c, i, lines, d, onRoot, around)) return false;
            if (d.bars[i].kind == pci::Bar::Kind::Memory64) ++i;
        }
        while (!d.bars.empty() && d.bars.back().kind == pci::Bar::Kind::None) d.bars.pop_back();
        if (d.kind != FunctionKind::CardBus) rom(f, c, lines, d, around);
        if (d.kind == FunctionKind::Bridge) bridgeWindows(f, c, lines, d, onRoot);
        return leaving_.empty();
    }

    bool resourceLines(const SnapshotFunction& f, const std::string& text,
                       std::vector<ResourceLine>& out)
    {
        std::istringstream in(text);
        std::string line;
        unsigned n = 0;
        while (std::getline(in, line)) {
            ++n;
            if (line.empty()) continue;
            unsigned long long a = 0, b = 0, c = 0;
            char tail = 0;
            if (std::sscanf(line.c_str(), "0x%llx 0x%llx 0x%llx %c", &a, &b, &c, &tail) != 3) {
                error(f, "its resource line " + std::to_string(n) +
                             " is not three hexadecimal numbers: '" + line + "'");
                return false;
            }
            out.push_back({a, b, c});
        }
        if (out.size() < 7) {
            error(f, "its resource has " + std::to_string(out.size()) +
                         " lines; Linux lists at least the six BARs and the ROM");
            return false;
        }
        return true;
    }

    // The region verbose lspci printed for BAR register i (6: the ROM): by its number, or, from
    // lspci -v, which names none, by its kind and address.
    static const SnapshotRegion* region(const SnapshotFunction& f, int i, bool io, uint64_t address)
    {
        for (const SnapshotRegion& r : f.regions) {
            if (r.index == i) return &r;
        }
        if (address == 0) return nullptr;
        for (const SnapshotRegion& r : f.regions) {
            if (r.index < 0 && r.io == io && r.address == address) return &r;
        }
        return nullptr;
    }

    // A size guessed from an address's alignment, never reaching the next captured range nor
    // past the window of the bridge above that holds it.
    uint64_t guess(bool io, uint64_t address, const Enclosing& around, uint64_t cap,
                   std::string& why)
    {
        uint64_t size = address & (~address + 1);
        if (size > cap) size = cap;
        uint64_t room = UINT64_MAX;
        std::string stop;
        const std::set<uint64_t>& captured = io ? capturedIo_ : capturedMemory_;
        auto next = captured.upper_bound(address);
        if (next != captured.end()) {
            room = *next - address;
            stop = "the next captured range, at " + pci::hex(*next, 8);
        }
        for (const Window& w : io ? around.io : around.memory) {
            if (w.contains(address, 1) && w.limit - address + 1 < room) {
                room = w.limit - address + 1;
                stop = "the end of the bridge window above it, " + pci::hex(w.limit, 8);
            }
        }
        why = "guessed from the alignment of its address " + pci::hex(address, 8);
        if (size > room) {
            while (size > room) size >>= 1;
            why += ", up to " + stop;
        }
        return size;
    }

    // One BAR: its kind and size from the resource line, verbose lspci's region or the address's
    // alignment, checked against what the register itself says.
    bool bar(const SnapshotFunction& f, const std::vector<uint8_t>& c, unsigned i,
             const std::vector<ResourceLine>& lines, FunctionDesc& d, bool onRoot,
             const Enclosing& around)
    {
        const unsigned at = reg::Bar0 + 4 * i;
        const uint32_t value = pci::configDword(c, at);
        const bool io = (value & 0x1) != 0;
        const bool is64 = !io && ((value >> 1) & 0x3) == 0x2;
        uint64_t address = io ? (value & ~0x3u) : (value & ~0xFu);
        if (is64 && i + 1 < (d.kind == FunctionKind::Bridge ? 2u : 6u)) {
            address |= uint64_t{pci::configDword(c, at + 4)} << 32;
        }
        pci::Bar b;
        b.kind = io ? pci::Bar::Kind::Io : is64 ? pci::Bar::Kind::Memory64 : pci::Bar::Kind::Memory32;
        b.prefetchable = !io && (value & 0x8) != 0;
        const SnapshotRegion* listed = lines.empty() ? region(f, static_cast<int>(i), io, address)
                                                     : nullptr;
        if (!lines.empty()) {
            const ResourceLine& r = lines[i];
            if (r.flags == 0 || r.size() == 0) {
                if (address != 0) {
                    error(f, "its BAR " + std::to_string(i) + " holds " + pci::hex(address, 8) +
                                 " but Linux lists no resource for it, so its size is unknown");
                    return false;
                }
                return true;  // not implemented
            }
            if ((r.flags & ResourceFixed) != 0 && address == 0) {
                note(bdf(f) + ": BAR " + std::to_string(i) + " is a fixed legacy range (" +
                     pci::hex(r.start, 4) + "-" + pci::hex(r.end, 4) + "), not a BAR; left out");
                return true;
            }
            const bool rio = (r.flags & ResourceIo) != 0;
            if (rio != io || (!rio && (r.flags & ResourceMem) == 0) ||
                (!rio && ((r.flags & ResourceMem64) != 0) != is64)) {
                error(f, "its BAR " + std::to_string(i) + " reads " + pci::hex(value, 8) +
                             " but Linux lists it with flags " + pci::hex(r.flags, 8) +
                             "; the two disagree on its kind");
                return false;
            }
            if (!isPowerOfTwo(r.size())) {
                error(f, "its BAR " + std::to_string(i) + " has size " + std::to_string(r.size()) +
                             ", not a power of two");
                return false;
            }
            b.size = r.size();
        } else if (listed != nullptr && listed->size) {
            if (listed->io != io) {
                error(f, "its BAR " + std::to_string(i) + " reads " + pci::hex(value, 8) +
                             " but lspci lists it as " + (listed->io ? "I/O ports" : "memory"));
                return false;
            }
            if (!isPowerOfTwo(*listed->size)) {
                error(f, "lspci gives its BAR " + std::to_string(i) + " a size of " +
                             std::to_string(*listed->size) + ", not a power of two");
                return false;
            }
            b.size = *listed->size;
        } else {
            if (address == 0) {
                if ((value & 0xF) != 0) {
                    error(f, "its BAR " + std::to_string(i) +
                                 " is implemented but unassigned, and nothing says its size "
                                 "(verbose lspci output, -vv, or a sysfs snapshot would)");
                    return false;
                }
                return true;  // reads zero: taken as not implemented
            }
            std::string why;
            b.size = guess(io, address, around, io ? 256 : UINT64_MAX, why);
            guessed(bdf(f) + ": BAR " + std::to_string(i) + " size " + pci::formatSize(b.size) +
                    " " + why);
        }
        if (io && (b.size < 4 || b.size > 0x10000)) {
            error(f, "its I/O BAR " + std::to_string(i) + " of " + pci::formatSize(b.size) +
                         " is outside 4 bytes to 64K");
            return false;
        }
        if (!io && b.size < 16) {
            error(f, "its memory BAR " + std::to_string(i) + " of " + std::to_string(b.size) +
                         " bytes is below the 16 a memory BAR takes");
            return false;
        }
        if (b.kind == pci::Bar::Kind::Memory64 && d.bars.size() < i + 2) {
            error(f, "its BAR " + std::to_string(i) + " is 64-bit but is the last register");
            return false;
        }
        d.bars[i] = b;
        const bool decodes = (c[reg::Command] & (io ? 0x1 : 0x2)) != 0;
        if (onRoot && address != 0 && decodes) {
            claim(io, {address, address + b.size - 1, b.prefetchable});
        }
        return true;
    }

    void guessed(std::string text)
    {
        ++guesses_;
        note(std::move(text));
    }

    void rom(const SnapshotFunction& f, const std::vector<uint8_t>& c,
             const std::vector<ResourceLine>& lines, FunctionDesc& d, const Enclosing& around)
    {
        const unsigned at = d.kind == FunctionKind::Bridge ? reg::BridgeRomBar : reg::RomBar;
        const uint32_t value = pci::configDword(c, at);
        const uint64_t address = value & 0xFFFFF800u;
        uint64_t size = 0;
        const SnapshotRegion* listed = region(f, 6, false, 0);
        if (!lines.empty()) {
            const ResourceLine& r = lines[6];
            if ((r.flags & ResourceRomShadow) != 0) {
                note(bdf(f) + ": its ROM is a shadow copy at " + pci::hex(r.start, 5) +
                     ", not a ROM BAR; left out");
            } else {
                size = r.size();
            }
        } else if (listed != nullptr && listed->size) {
            size = *listed->size;
        } else if (address != 0) {
            std::string why;
            size = guess(false, address, around, 0x1000000, why);
            guessed(bdf(f) + ": ROM size " + pci::formatSize(size) + " " + why);
        }
        if (size == 0) return;
        if (!isPowerOfTwo(size) || size < 0x800 || size > 0x1000000) {
            note(bdf(f) + ": its ROM of " + std::to_string(size) +
                 " bytes is not a ROM BAR's size (2K to 16M, a power of two); left out");
            return;
        }
        d.romSize = size;
    }

    void bridgeWindows(const SnapshotFunction& f, const std::vector<uint8_t>& c,
                       const std::vector<ResourceLine>& lines, FunctionDesc& d, bool onRoot)
    {
        // Linux lists a bridge's windows in its last four lines: I/O, memory, prefetchable.
        const bool listed = lines.size() >= 11;
        const size_t first = lines.size() >= 4 ? lines.size() - 4 : 0;
        const bool ioRegisters = c[reg::IoBase] != 0 || c[reg::IoLimit] != 0;
        const bool prefRegisters = pci::configDword(c, reg::PrefetchBase) != 0;
        d.ioWindow = ioRegisters || (listed && lines[first].flags != 0);
        d.prefetchWindow = prefRegisters || (listed && lines[first + 2].flags != 0);
        if (!d.ioWindow) {
            note(bdf(f) + ": I/O window taken as not implemented (its registers read zero" +
                 std::string(listed ? " and Linux lists none)" : ")"));
        }
        if (!d.prefetchWindow) {
            note(bdf(f) + ": prefetchable window taken as not implemented (its registers read "
                          "zero" + std::string(listed ? " and Linux lists none)" : ")"));
        }
        d.io32 = pci::windowIsWide(c[reg::IoBase]);
        d.prefetch64 = pci::windowIsWide(c[reg::PrefetchBase]);
        if (!onRoot) return;
        const uint16_t command = c[reg::Command];
        if (d.ioWindow && (command & 0x1) != 0) {
            const Window w = ioWindow(c);
            if (w.open()) claim(true, {w.base, w.limit, false});
        }
        if ((command & 0x2) != 0) {
            const Window m = memoryWindow(c);
            if (m.open()) claim(false, {m.base, m.limit, false});
            if (d.prefetchWindow) {
                const Window p = prefetchWindow(c);
                if (p.open()) claim(false, {p.base, p.limit, true});
            }
        }
    }

    void claim(bool io, Claim c) { (io ? claims_->io : claims_->memory).push_back(c); }

    // What /proc/iomem and /proc/ioports say each root bus forwards.
    struct ProcRanges {
        std::vector<Window> io, memory;
    };
    std::map<unsigned, ProcRanges> procRanges()
    {
        std::map<unsigned, ProcRanges> out;
        auto read = [&](const std::optional<std::string>& text, bool io) {
            if (!text) return;
            // Top-level "PCI Bus DDDD:BB" entries, and any not nested in another such entry: a
            // bridge's window appears below its root's.
            std::istringstream in(*text);
            std::string line;
            std::vector<std::pair<size_t, bool>> open;  // indentation, is a PCI bus
            bool zero = false;
            while (std::getline(in, line)) {
                const size_t indent = line.find_first_not_of(' ');
                if (indent == std::string::npos) continue;
                unsigned long long base = 0, limit = 0;
                char name[128] = {};
                if (std::sscanf(line.c_str() + indent, "%llx-%llx : %127[^\n]", &base, &limit,
                                name) != 3) {
                    continue;
                }
                while (!open.empty() && open.back().first >= indent) open.pop_back();
                const bool nested = std::any_of(open.begin(), open.end(),
                                                [](const auto& o) { return o.second; });
                unsigned domain = 0, number = 0;
                const bool isBus = std::sscanf(name, "PCI Bus %x:%x", &domain, &number) == 2;
                open.emplace_back(indent, isBus);
                if (!isBus || nested || domain != 0) continue;
                if (base == 0 && limit == 0) {
                    zero = true;
                    continue;
                }
                (io ? out[number].io : out[number].memory).push_back(Window{base, limit});
            }
            if (zero) {
                note(std::string(io ? "ioports" : "iomem") +
                     ": addresses read as zero (copied without root?); not used");
            }
        };
        read(s_.iomem, false);
        read(s_.ioports, true);
        return out;
    }

    // The windows of one root bus. From /proc/iomem and /proc/ioports when they list this root
    // (the largest I/O range, the largest memory range below 4G and above it); otherwise each
    // window holds what firmware assigned on the root and reaches up to the next range captured
    // at root level (another root's) or, where there is none, to the stated default.
    RootWindows rootWindows(unsigned number, const RootClaims& mine,
                            const std::vector<RootClaims*>& all,
                            const std::map<unsigned, ProcRanges>& proc)
    {
        const RootWindows d = defaultRootWindows();
        const std::string root = "root bus " + pci::hex(number, 2);
        RootWindows w;
        w.io = Window{};
        w.memory = Window{};
        w.prefetchable = Window{};
        w.memory64 = Window{};
        auto procIt = proc.find(number);
        if (procIt != proc.end()) {
            auto largest = [](const std::vector<Window>& ranges, uint64_t low, uint64_t high) {
                Window best{};
                for (const Window& r : ranges) {
                    if (r.base < low || r.limit > high) continue;
                    if (r.size() > best.size()) best = r;
                }
                return best;
            };
            w.io = largest(procIt->second.io, 0, 0xFFFF);
            w.memory = largest(procIt->second.memory, 0x100000, 0xFFFFFFFF);
            w.memory64 = largest(procIt->second.memory, Above4G, UINT64_MAX);
            note(root + ": windows from iomem and ioports: io " + text(w.io) + ", memory " +
                 text(w.memory) + (w.memory64.open() ? ", memory64 " + text(w.memory64) : ""));
            checkClaims(root, mine, w);
            return w;
        }
        // The lowest range another root claims above `from` in one space, or nothing.
        auto nextClaimed = [&](bool io, uint64_t from) {
            std::optional<uint64_t> next;
            for (const RootClaims* other : all) {
                if (other == &mine) continue;
                for (const Claim& c : io ? other->io : other->memory) {
                    if (c.base > from && (!next || c.base < *next)) next = c.base;
                }
            }
            return next;
        };
        auto span = [](const std::vector<Claim>& claims, bool high) {
            Window s{};
            for (const Claim& c : claims) {
                if ((c.base >= Above4G) != high) continue;
                s.base = s.open() ? std::min(s.base, c.base) : c.base;
                s.limit = s.open() ? std::max(s.limit, c.limit) : c.limit;
            }
            return s;
        };
        std::vector<std::string> said;
        auto reach = [&](bool io, Window found, const Window& fallback, uint64_t top,
                         const char* name) {
            Window out = found.open() ? found : fallback;
            if (found.open() && fallback.open() && fallback.base < found.base) {
                // Down to the default base, unless another root claims the numbers between.
                bool clear = true;
                for (const RootClaims* other : all) {
                    if (other == &mine) continue;
                    for (const Claim& c : io ? other->io : other->memory) {
                        clear = clear && !(c.limit >= fallback.base && c.base < found.base);
                    }
                }
                if (clear) out.base = fallback.base;
            }
            const auto next = nextClaimed(io, out.open() ? out.base : 0);
            const uint64_t limit = next ? *next - 1 : std::max(top, out.limit);
            if (out.open() && limit >= out.limit) out.limit = limit;
            said.push_back(std::string(name) + " " + text(out) + " (" +
                           (next ? "up to the next root's range" : "up to the default top") + ")");
            return out;
        };
        const Window io = span(mine.io, false), low = span(mine.memory, false),
                     high = span(mine.memory, true);
        for (const Claim& c : mine.memory) {
            if (c.base < Above4G && c.limit >= Above4G) {
                errors_.push_back(s_.source + ": memory at " + pci::hex(c.base, 8) + "-" +
                                  pci::hex(c.limit, 8) + " on " + root + " crosses 4G");
                return w;
            }
        }
        // The first root gets the defaults where it found nothing; a peer root only what it has.
        const bool first = number == 0;
        Window ioFound = io;
        if (ioFound.open()) ioFound.base &= ~uint64_t{0x3};
        w.io = reach(true, ioFound, first ? d.io : Window{}, 0xFFFF, "io");
        Window lowFound = low;
        if (lowFound.open()) {
            lowFound.base &= ~uint64_t{0xFFFFF};
            lowFound.limit |= 0xFFFFF;
        }
        // One memory window: prefetchable BARs share it, as they do behind a host bridge that
        // forwards one range.
        const Window memoryDefault{std::min(d.memory.base, d.prefetchable.base), d.memory.limit};
        w.memory = reach(false, lowFound, first ? memoryDefault : Window{}, d.memory.limit, "memory");
        if (high.open()) {
            Window h = high;
            h.base &= ~uint64_t{0xFFFFF};
            h.limit |= 0xFFFFF;
            const auto next = nextClaimed(false, h.base);
            h.limit = std::max(h.limit, next ? *next - 1 : (uint64_t{1} << 40) - 1);
            w.memory64 = h;
            said.push_back("memory64 " + text(h) + " (up to " +
                           std::string(next ? "the next root's range" : "1T, the default top") + ")");
        }
        std::string joined;
        for (const std::string& part : said) joined += (joined.empty() ? "" : ", ") + part;
        note(root + ": windows from what firmware assigned there: " + joined);
        return w;
    }

    static std::string text(const Window& w)
    {
        return w.open() ? pci::hex(w.base, 4) + "-" + pci::hex(w.limit, 4) : "none";
    }

    // Ranges found on the root that the windows iomem gives do not hold.
    void checkClaims(const std::string& root, const RootClaims& mine, const RootWindows& w)
    {
        for (const Claim& c : mine.io) {
            if (!w.io.contains(c.base, c.limit - c.base + 1)) {
                note(root + ": I/O " + text(Window{c.base, c.limit}) +
                     " lies outside its I/O window in ioports");
            }
        }
        for (const Claim& c : mine.memory) {
            const uint64_t length = c.limit - c.base + 1;
            if (!w.memory.contains(c.base, length) && !w.memory64.contains(c.base, length)) {
                note(root + ": memory " + text(Window{c.base, c.limit}) +
                     " lies outside its memory windows in iomem");
            }
        }
    }

    const Snapshot& s_;
    std::vector<std::string> errors_, notes_;
    std::string leaving_;  // why the function being imported is left out, or empty
    RootClaims* claims_ = nullptr;
    std::set<uint64_t> capturedIo_, capturedMemory_;
    unsigned imported_ = 0, guesses_ = 0;
};

}  // namespace

ImportResult importSnapshot(const Snapshot& snapshot) { return Importer(snapshot).run(); }

}  // namespace formats
