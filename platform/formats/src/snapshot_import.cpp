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
#include <array>
#include <cstdio>
#include <map>
#include <optional>
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
// Machine files hold addresses as signed 64-bit integers.
constexpr uint64_t kTopAddress = 0x7FFFFFFFFFFFFFFFull;

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
        // Domain 0000's root buses are the buses with functions that no bridge leads to. Bus 00
        // is the machine's first root; where the domain starts at another bus, bus 00 stays empty
        // and forwards nothing, and every root of the domain becomes a peer host bridge's.
        std::optional<unsigned> lowestRoot;
        for (const auto& [number, functions] : buses) {
            if (ledTo.count(number) == 0) {
                lowestRoot = number;
                break;
            }
        }
        if (!lowestRoot) {
            errors_.push_back(s_.source + ": nothing usable in PCI domain 0000" +
                              (buses.empty() ? std::string()
                                             : ": every bus with functions is behind a bridge"));
            return finish(result);
        }
        MachineDesc m;
        m.name = "imported from " + s_.source;
        m.asFound = true;
        std::set<unsigned> placed;
        RootClaims first;
        if (*lowestRoot == 0) {
            claims_ = &first;
            bus(0, buses, m.root, placed, 0, Enclosing{});
        } else {
            note("bus 00 has nothing on it: PCI domain 0000 starts at root bus " +
                 pci::hex(*lowestRoot, 2) + "; bus 00 forwards nothing");
        }
        std::vector<RootClaims> peerClaims;
        peerClaims.reserve(buses.size());
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
        std::vector<RootWindows*> windows{&m.windows};
        for (PeerRootDesc& peer : m.peers) windows.push_back(&peer.windows);
        const std::vector<bool> dropped = rootWindows(numbers, all, windows, *lowestRoot != 0);
        for (size_t i = m.peers.size(); i-- > 0;) {
            if (!dropped[i + 1]) continue;
            imported_ -= countFunctions(m.peers[i].bus);
            m.peers.erase(m.peers.begin() + static_cast<std::ptrdiff_t>(i));
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

    static unsigned countFunctions(const BusDesc& bus)
    {
        unsigned count = 0;
        for (const FunctionDesc& f : bus.functions) count += 1 + countFunctions(f.secondary);
        return count;
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
        std::set<unsigned> zeroImported;  // devices whose function 0 was imported
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
                if (zeroImported.count(f->device) == 0) {
                    note(bdf(*f) + ": left out: function 0 of its device was left out, so it "
                                   "would not answer");
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
            if (f->function == 0) zeroImported.insert(f->device);
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
            if (address == 0 && io && compatibilityIde(c, i)) {
                // A channel in compatibility mode answers the fixed legacy ports; its two BARs
                // decode nothing and are the command block (8 bytes) and the control block (4),
                // left unassigned, as lspci of that time printed them without a size.
                b.size = i % 2 == 0 ? 8 : 4;
                if (i % 2 == 0) {
                    note(bdf(f) + ": its " + (i == 0 ? "primary" : "secondary") +
                         " IDE channel is in compatibility mode (programming interface " +
                         pci::hex(c[reg::ProgIf], 2) + "): BARs " + std::to_string(i) + " and " +
                         std::to_string(i + 1) + ", unassigned, taken as its 8-byte command and " +
                         "4-byte control blocks");
                }
                d.bars[i] = b;
                return true;
            }
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
        // A 32-bit BAR's address bit 31 is writable; a machine file holds 64-bit BARs to 4E.
        const uint64_t largest = uint64_t{1} << (b.kind == pci::Bar::Kind::Memory64 ? 62 : 31);
        if (!io && b.size > largest) {
            error(f, "its memory BAR " + std::to_string(i) + " of " + pci::formatSize(b.size) +
                         " is above the " + pci::formatSize(largest) + " such a BAR takes");
            return false;
        }
        if (b.kind == pci::Bar::Kind::Memory64 && d.bars.size() < i + 2) {
            error(f, "its BAR " + std::to_string(i) + " is 64-bit but is the last register");
            return false;
        }
        const uint64_t last = address + b.size - 1;
        if (address != 0 && (last < address || last > kTopAddress)) {
            error(f, "its BAR " + std::to_string(i) + " at " + pci::hex(address, 8) + " of " +
                         pci::formatSize(b.size) + " reaches above " + pci::hex(kTopAddress) +
                         ", the highest address a machine file holds");
            return false;
        }
        if (io && address + b.size - 1 > 0xFFFF) {
            // I/O space of another architecture: Windows 2000's ends at ffff.
            note(bdf(f) + ": its I/O BAR " + std::to_string(i) + " at " + pci::hex(address, 8) +
                 " lies above ffff, where Windows 2000's I/O space ends; left out");
            return true;
        }
        d.bars[i] = b;
        const bool decodes = (c[reg::Command] & (io ? 0x1 : 0x2)) != 0;
        if (onRoot && address != 0 && decodes) {
            claim(io, {address, address + b.size - 1, b.prefetchable});
        }
        return true;
    }

    // An IDE controller (class 0101) whose channel behind BAR i (0 to 3) is in compatibility
    // mode: bit 0 of the programming interface for the primary channel, bit 2 for the secondary.
    static bool compatibilityIde(const std::vector<uint8_t>& c, unsigned i)
    {
        if (c[reg::BaseClass] != 0x01 || c[reg::SubClass] != 0x01 || i > 3) return false;
        return (c[reg::ProgIf] & (i < 2 ? 0x1 : 0x4)) == 0;
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
            if (w.open() && w.limit > 0xFFFF) {
                note(bdf(f) + ": its I/O window " + text(w) + " lies above ffff, where Windows " +
                     "2000's I/O space ends; its root's I/O window leaves it out");
            } else if (w.open()) {
                claim(true, {w.base, w.limit, false});
            }
        }
        if ((command & 0x2) != 0) {
            const Window m = memoryWindow(c);
            if (m.open()) claim(false, {m.base, m.limit, false});
            if (d.prefetchWindow) {
                const Window p = prefetchWindow(c);
                if (p.open() && p.limit > kTopAddress) {
                    note(bdf(f) + ": its prefetchable window " + text(p) + " reaches above " +
                         pci::hex(kTopAddress) + ", the highest address a machine file holds; " +
                         "its root's windows leave it out");
                } else if (p.open()) {
                    claim(false, {p.base, p.limit, true});
                }
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

    // The windows of every root bus. A root that copies of /proc/iomem and /proc/ioports list
    // takes its windows from them (the largest I/O range, the largest memory range below 4G and
    // above it). Otherwise each window starts at what firmware assigned on the root (memory
    // rounded down to 1 MB, but never below another root's assignment; bus 00's down to the
    // default base where no other root's assignment lies between) and reaches up to where the
    // next root's window starts, or else to a stated default. The windows of two roots never
    // overlap: each host bridge forwards ranges of its own.
    std::vector<bool> rootWindows(const std::vector<unsigned>& numbers,
                                  const std::vector<RootClaims*>& all,
                                  const std::vector<RootWindows*>& out, bool firstEmpty)
    {
        enum Space { Io, Low, High, Spaces };
        static constexpr const char* kNames[Spaces] = {"io", "memory", "memory64"};
        const RootWindows d = defaultRootWindows();
        // One memory window below 4G: prefetchable BARs share it, as they do behind a host
        // bridge that forwards one range.
        const Window fallbacks[Spaces] = {
            d.io, Window{std::min(d.memory.base, d.prefetchable.base), d.memory.limit}, Window{}};
        const uint64_t tops[Spaces] = {0xFFFF, d.memory.limit, (uint64_t{1} << 40) - 1};
        const uint64_t granularity[Spaces] = {0x4, 0x100000, 0x100000};
        const uint64_t ceiling[Spaces] = {0xFFFF, 0xFFFFFFFF, kTopAddress};
        const std::map<unsigned, ProcRanges> proc = procRanges();
        const size_t n = numbers.size();
        std::vector<bool> dropped(n, false);
        auto root = [&](size_t i) { return "root bus " + pci::hex(numbers[i], 2); };
        auto windowOf = [](RootWindows& w, int space) -> Window& {
            return space == Io ? w.io : space == Low ? w.memory : w.memory64;
        };

        // What each root occupies in each space: what firmware assigned there, or the window
        // iomem and ioports give.
        std::vector<bool> fixed(n, false);
        std::vector<std::array<std::vector<Claim>, Spaces>> occupied(n);
        for (size_t i = 0; i < n; ++i) {
            RootWindows& w = *out[i];
            w = RootWindows{Window{}, Window{}, Window{}, Window{}};
            for (const Claim& c : all[i]->memory) {
                if (c.base < Above4G && c.limit >= Above4G) {
                    errors_.push_back(s_.source + ": memory at " + pci::hex(c.base, 8) + "-" +
                                      pci::hex(c.limit, 8) + " on " + root(i) + " crosses 4G");
                    return dropped;
                }
            }
            auto procIt = proc.find(numbers[i]);
            if (procIt != proc.end() && !(i == 0 && firstEmpty)) {
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
                w.memory64 = largest(procIt->second.memory, Above4G, kTopAddress);
                note(root(i) + ": windows from iomem and ioports: io " + text(w.io) + ", memory " +
                     text(w.memory) +
                     (w.memory64.open() ? ", memory64 " + text(w.memory64) : ""));
                checkClaims(root(i), *all[i], w);
                fixed[i] = true;
                for (int space = 0; space < Spaces; ++space) {
                    const Window& x = windowOf(w, space);
                    if (x.open()) occupied[i][space].push_back(Claim{x.base, x.limit, false});
                }
                continue;
            }
            for (const Claim& c : all[i]->io) occupied[i][Io].push_back(c);
            for (const Claim& c : all[i]->memory) {
                occupied[i][c.base >= Above4G ? High : Low].push_back(c);
            }
        }

        // Two roots whose assignments interleave (a peer root's ranges among bus 00's, as behind
        // a bridge the snapshot lacks) cannot both forward one range of each kind: the later one
        // is left out.
        auto span = [](const std::vector<Claim>& claims) {
            Window w{};
            for (const Claim& c : claims) {
                w.base = w.open() ? std::min(w.base, c.base) : c.base;
                w.limit = w.open() ? std::max(w.limit, c.limit) : c.limit;
            }
            return w;
        };
        auto among = [&](const std::vector<Claim>& claims, const Window& w) {
            return std::any_of(claims.begin(), claims.end(), [&](const Claim& c) {
                return w.open() && c.base <= w.limit && c.limit >= w.base;
            });
        };
        for (size_t j = 1; j < n; ++j) {
            for (size_t i = 0; i < j && !dropped[j]; ++i) {
                for (int space = 0; space < Spaces && !dropped[i]; ++space) {
                    if (!among(occupied[j][space], span(occupied[i][space])) &&
                        !among(occupied[i][space], span(occupied[j][space]))) {
                        continue;
                    }
                    note(root(j) + " left out with everything on it: its " + kNames[space] +
                         " ranges lie among " + root(i) + "'s, and each host bridge forwards one "
                         "range of each kind");
                    dropped[j] = true;
                    fixed[j] = false;
                    *out[j] = RootWindows{Window{}, Window{}, Window{}, Window{}};
                    for (auto& claims : occupied[j]) claims.clear();
                    break;
                }
            }
        }

        // Where each root's window starts in each space.
        std::vector<std::array<Window, Spaces>> found(n);
        std::vector<std::array<std::optional<uint64_t>, Spaces>> start(n);
        for (size_t i = 0; i < n; ++i) {
            for (int space = 0; space < Spaces && !dropped[i]; ++space) {
                if (fixed[i]) {
                    const Window& x = windowOf(*out[i], space);
                    if (x.open()) start[i][space] = x.base;
                    continue;
                }
                Window& f = found[i][space];
                f = span(occupied[i][space]);
                const Window fallback = i == 0 && !firstEmpty ? fallbacks[space] : Window{};
                if (f.open()) {
                    uint64_t at = f.base & ~(granularity[space] - 1);
                    bool clearBelow = true;  // no other root's assignment between default and found
                    for (size_t j = 0; j < n; ++j) {
                        if (j == i) continue;
                        for (const Claim& c : occupied[j][space]) {
                            if (c.limit < f.base) at = std::max(at, c.limit + 1);
                            if (fallback.open() && c.limit >= fallback.base && c.base < f.base) {
                                clearBelow = false;
                            }
                        }
                    }
                    if (fallback.open() && fallback.base < at && clearBelow) at = fallback.base;
                    start[i][space] = at;
                } else if (fallback.open()) {
                    // The default window, above the whole span of every other root that reaches
                    // its base.
                    std::vector<Window> others;
                    for (size_t j = 0; j < n; ++j) {
                        const Window other = span(occupied[j][space]);
                        if (j != i && other.open()) others.push_back(other);
                    }
                    std::sort(others.begin(), others.end(),
                              [](const Window& a, const Window& b) { return a.base < b.base; });
                    uint64_t at = fallback.base;
                    for (const Window& o : others) {
                        if (o.base <= at && at <= o.limit) at = o.limit + 1;
                    }
                    if (at != 0 && at <= fallback.limit) start[i][space] = at;
                }
            }
        }

        // Each window reaches up to where the next root's starts, or to the default top.
        for (size_t i = 0; i < n; ++i) {
            if (fixed[i] || dropped[i] || (i == 0 && firstEmpty)) continue;
            std::vector<std::string> said;
            for (int space = 0; space < Spaces; ++space) {
                if (!start[i][space]) {
                    if (space != High) said.push_back(std::string(kNames[space]) + " none");
                    continue;
                }
                const uint64_t at = *start[i][space];
                std::optional<uint64_t> next;
                for (size_t j = 0; j < n; ++j) {
                    if (j == i || !start[j][space] || *start[j][space] <= at) continue;
                    if (!next || *start[j][space] < *next) next = *start[j][space];
                }
                const Window& f = found[i][space];
                const uint64_t highest = f.open() ? f.limit : fallbacks[space].limit;
                uint64_t limit = next ? *next - 1 : std::max(tops[space], highest);
                limit = std::min(limit, ceiling[space]);
                if (f.open() && limit < f.limit) {
                    errors_.push_back(s_.source + ": what " + root(i) + " decodes at " + text(f) +
                                      " reaches into another root's " + kNames[space] + " window");
                    return dropped;
                }
                windowOf(*out[i], space) = Window{at, limit};
                const char* why = next                      ? "up to the next root's range"
                                  : highest > tops[space]    ? "up to the highest address assigned there"
                                  : space == High            ? "up to 1T, the default top"
                                                             : "up to the default top";
                said.push_back(std::string(kNames[space]) + " " + text(Window{at, limit}) + " (" +
                               why + ")");
            }
            std::string joined;
            for (const std::string& part : said) joined += (joined.empty() ? "" : ", ") + part;
            note(root(i) + ": windows from what firmware assigned there: " + joined);
        }

        // However they were found, two roots' windows must not overlap.
        for (size_t i = 0; i < n; ++i) {
            for (size_t j = i + 1; j < n && !dropped[i]; ++j) {
                for (int x = 0; x < Spaces; ++x) {
                    for (int y = 0; y < Spaces; ++y) {
                        if ((x == Io) != (y == Io)) continue;
                        const Window& a = windowOf(*out[i], x);
                        const Window& b = windowOf(*out[j], y);
                        if (!a.open() || !b.open() || a.limit < b.base || b.limit < a.base) continue;
                        note(root(j) + " left out with everything on it: its " + kNames[y] +
                             " window " + text(b) + " overlaps " + root(i) + "'s " + kNames[x] +
                             " window " + text(a) + "; each host bridge forwards ranges of its own");
                        dropped[j] = true;
                        *out[j] = RootWindows{Window{}, Window{}, Window{}, Window{}};
                    }
                }
            }
        }
        return dropped;
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
