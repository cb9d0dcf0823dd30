// From a snapshot to a machine: the bus tree follows the bridges' bus-number registers as the
// snapshot holds them, BAR kinds and sizes come from Linux's `resource` lines (or, from lspci
// output alone, from the alignment of the assigned addresses), and the root's windows are
// chosen to enclose everything firmware assigned on the root bus.
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

// An address range something on the root bus decodes, to size the root's windows.
struct Claim {
    uint64_t base, limit;
    bool prefetchable;
};

class Importer {
public:
    explicit Importer(const Snapshot& s) : s_(s) {}

    ImportResult run()
    {
        ImportResult result;
        std::map<unsigned, std::vector<const SnapshotFunction*>> buses;
        for (const SnapshotFunction& f : s_.functions) {
            if (f.domain != 0) {
                error(f, "is in PCI domain " + pci::hex(f.domain, 4) +
                             "; a machine has one domain (0000)");
                continue;
            }
            if (f.config[0] == 0xFF && f.config[1] == 0xFF) {
                note(bdf(f) + ": left out: its vendor reads ffff (a virtual function, which "
                              "answers no configuration cycles of its own)");
                continue;
            }
            buses[f.bus].push_back(&f);
        }
        if (buses.count(0) == 0 && errors_.empty()) {
            errors_.push_back(s_.source + ": no functions on bus 00, the root bus");
        }
        if (!errors_.empty()) return finish(result);
        MachineDesc m;
        m.name = "imported from " + s_.source;
        m.asFound = true;
        std::set<unsigned> placed;
        bus(0, buses, m.root, placed, 0);
        for (const auto& [number, functions] : buses) {
            if (placed.count(number) == 0) {
                error(*functions.front(),
                      "is on bus " + pci::hex(number, 2) +
                          ", which no bridge in the snapshot leads to (a second root bus); "
                          "machines with several root buses are not supported");
            }
        }
        m.windows = rootWindows();
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

    void error(const SnapshotFunction& f, const std::string& what)
    {
        errors_.push_back(f.source + ": " + bdf(f) + " " + what);
    }
    void note(std::string text) { notes_.push_back(std::move(text)); }

    void bus(unsigned number,
             const std::map<unsigned, std::vector<const SnapshotFunction*>>& buses,
             BusDesc& out, std::set<unsigned>& placed, unsigned depth)
    {
        placed.insert(number);
        auto it = buses.find(number);
        if (it == buses.end()) return;
        std::set<unsigned> devices;
        for (const SnapshotFunction* f : it->second) devices.insert(f->device);
        for (const SnapshotFunction* f : it->second) {
            FunctionDesc d;
            if (!function(*f, d, number == 0)) continue;
            if (f->function != 0) {
                const bool hasZero = std::any_of(
                    it->second.begin(), it->second.end(), [&](const SnapshotFunction* g) {
                        return g->device == f->device && g->function == 0;
                    });
                if (!hasZero) {
                    error(*f, "has no function 0 beside it, so it would not answer");
                    continue;
                }
            }
            if (d.kind == FunctionKind::Bridge) {
                const unsigned secondary = f->config[reg::SecondaryBus];
                if (secondary != 0 && secondary <= number) {
                    error(*f, "forwards to bus " + pci::hex(secondary, 2) +
                                  ", which is not below its own bus " + pci::hex(number, 2));
                } else if (secondary != 0 && placed.count(secondary) != 0) {
                    error(*f, "forwards to bus " + pci::hex(secondary, 2) +
                                  ", which another bridge already leads to");
                } else if (secondary != 0 && depth < 64) {
                    bus(secondary, buses, d.secondary, placed, depth + 1);
                }
            } else if (d.kind == FunctionKind::CardBus) {
                const unsigned secondary = f->config[reg::CardBusBus];
                if (secondary != 0 && buses.count(secondary) != 0) {
                    error(*f, "has functions behind it on bus " + pci::hex(secondary, 2) +
                                  "; cards in CardBus sockets are not supported");
                }
                if (secondary != 0) placed.insert(secondary);
            }
            out.functions.push_back(std::move(d));
        }
        // Function 0 must say the device is multi-function for the others to answer.
        for (const FunctionDesc& d : out.functions) {
            if (d.function != 0) continue;
            const bool others = std::any_of(out.functions.begin(), out.functions.end(),
                                            [&](const FunctionDesc& g) {
                                                return g.device == d.device && g.function != 0;
                                            });
            if (others && (d.config[reg::HeaderType] & 0x80) == 0) {
                errors_.push_back(s_.source + ": " + pci::hex(number, 2) + ":" + pci::hex(d.device, 2) +
                                  ".0 has other functions beside it but its header does not "
                                  "say it is multi-function");
            }
        }
    }

    bool function(const SnapshotFunction& f, FunctionDesc& d, bool onRoot)
    {
        const size_t before = errors_.size();
        d.device = f.device;
        d.function = f.function;
        d.config.assign(f.config.begin(), f.config.begin() + 256);
        const unsigned type = f.config[reg::HeaderType] & 0x7F;
        if (type > 2) {
            error(f, "has header type " + std::to_string(type) + ", which no function has");
            return false;
        }
        d.kind = static_cast<FunctionKind>(type);
        d.vendor = static_cast<uint16_t>(f.config[0] | f.config[1] << 8);
        d.deviceId = static_cast<uint16_t>(f.config[2] | f.config[3] << 8);
        d.revision = f.config[reg::RevisionId];
        d.progIf = f.config[reg::ProgIf];
        d.subClass = f.config[reg::SubClass];
        d.baseClass = f.config[reg::BaseClass];
        d.name = className(d.baseClass, d.subClass);
        if (d.kind == FunctionKind::Bridge && (d.baseClass != 0x06 || d.subClass != 0x04)) {
            error(f, "has a bridge header but class " + pci::hex(d.baseClass, 2) + pci::hex(d.subClass, 2) +
                         "; only PCI-to-PCI bridges (0604) have one");
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
            if (!bar(f, i, lines, d, onRoot)) return false;
            if (d.bars[i].kind == pci::Bar::Kind::Memory64) ++i;
        }
        while (!d.bars.empty() && d.bars.back().kind == pci::Bar::Kind::None) d.bars.pop_back();
        if (d.kind != FunctionKind::CardBus) rom(f, lines, d);
        if (d.kind == FunctionKind::Bridge) bridgeWindows(f, lines, d, onRoot);
        return errors_.size() == before;
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
                errors_.push_back(f.source + ": " + bdf(f) + " resource line " + std::to_string(n) +
                                  " is not three hexadecimal numbers: '" + line + "'");
                return false;
            }
            out.push_back({a, b, c});
        }
        if (out.size() < 7) {
            errors_.push_back(f.source + ": " + bdf(f) + " resource has " +
                              std::to_string(out.size()) +
                              " lines; Linux lists at least the six BARs and the ROM");
            return false;
        }
        return true;
    }

    // One BAR: its kind and size from the resource line (or the address's alignment), checked
    // against what the register itself says.
    bool bar(const SnapshotFunction& f, unsigned i, const std::vector<ResourceLine>& lines,
             FunctionDesc& d, bool onRoot)
    {
        const unsigned at = reg::Bar0 + 4 * i;
        const uint32_t value = pci::configDword(f.config, at);
        const bool io = (value & 0x1) != 0;
        const bool is64 = !io && ((value >> 1) & 0x3) == 0x2;
        uint64_t address = io ? (value & ~0x3u) : (value & ~0xFu);
        if (is64 && i + 1 < (d.kind == FunctionKind::Bridge ? 2u : 6u)) {
            address |= uint64_t{pci::configDword(f.config, at + 4)} << 32;
        }
        pci::Bar b;
        b.kind = io ? pci::Bar::Kind::Io : is64 ? pci::Bar::Kind::Memory64 : pci::Bar::Kind::Memory32;
        b.prefetchable = !io && (value & 0x8) != 0;
        if (!lines.empty()) {
            const ResourceLine& r = lines[i];
            if (r.flags == 0 || r.size() == 0) {
                if (address != 0) {
                    error(f, "BAR " + std::to_string(i) + " holds " + pci::hex(address, 8) +
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
                error(f, "BAR " + std::to_string(i) + " reads " + pci::hex(value, 8) +
                             " but Linux lists it with flags " + pci::hex(r.flags, 8) +
                             "; the two disagree on its kind");
                return false;
            }
            if (!isPowerOfTwo(r.size())) {
                error(f, "BAR " + std::to_string(i) + " has size " + std::to_string(r.size()) +
                             ", not a power of two");
                return false;
            }
            b.size = r.size();
        } else {
            if (address == 0) {
                if ((value & 0xF) != 0) {
                    error(f, "BAR " + std::to_string(i) +
                                 " is implemented but unassigned; lspci output cannot tell its "
                                 "size: take a sysfs snapshot instead");
                    return false;
                }
                return true;  // reads zero: taken as not implemented
            }
            b.size = address & (~address + 1);
            if (io && b.size > 256) b.size = 256;
            note(bdf(f) + ": BAR " + std::to_string(i) + " size " + pci::formatSize(b.size) +
                 " guessed from the alignment of its address " + pci::hex(address, 8));
        }
        if (io && (b.size < 4 || b.size > 0x10000)) {
            error(f, "I/O BAR " + std::to_string(i) + " of " + pci::formatSize(b.size) +
                         " is outside 4 bytes to 64K");
            return false;
        }
        if (!io && b.size < 16) {
            error(f, "memory BAR " + std::to_string(i) + " of " + std::to_string(b.size) +
                         " bytes is below the 16 a memory BAR takes");
            return false;
        }
        if (b.kind == pci::Bar::Kind::Memory64 && d.bars.size() < i + 2) {
            error(f, "BAR " + std::to_string(i) + " is 64-bit but is the last register");
            return false;
        }
        d.bars[i] = b;
        const bool decodes = (f.config[reg::Command] & (io ? 0x1 : 0x2)) != 0;
        if (onRoot && address != 0 && decodes) {
            claim(io, {address, address + b.size - 1, b.prefetchable});
        }
        return true;
    }

    void rom(const SnapshotFunction& f, const std::vector<ResourceLine>& lines, FunctionDesc& d)
    {
        const unsigned at = d.kind == FunctionKind::Bridge ? reg::BridgeRomBar : reg::RomBar;
        const uint32_t value = pci::configDword(f.config, at);
        const uint64_t address = value & 0xFFFFF800u;
        uint64_t size = 0;
        if (!lines.empty()) {
            const ResourceLine& r = lines[6];
            if ((r.flags & ResourceRomShadow) != 0) {
                note(bdf(f) + ": its ROM is a shadow copy at " + pci::hex(r.start, 5) +
                     ", not a ROM BAR; left out");
            } else {
                size = r.size();
            }
        } else if (address != 0) {
            size = address & (~address + 1);
            note(bdf(f) + ": ROM size " + pci::formatSize(size) +
                 " guessed from the alignment of its address " + pci::hex(address, 8));
        }
        if (size == 0) return;
        if (!isPowerOfTwo(size) || size < 0x800 || size > 0x1000000) {
            note(bdf(f) + ": its ROM of " + std::to_string(size) +
                 " bytes is not a ROM BAR's size (2K to 16M, a power of two); left out");
            return;
        }
        d.romSize = size;
    }

    void bridgeWindows(const SnapshotFunction& f, const std::vector<ResourceLine>& lines,
                       FunctionDesc& d, bool onRoot)
    {
        const std::vector<uint8_t>& c = f.config;
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
        auto decode = [&](pci::WindowKind kind, bool wide) {
            return pci::decodeWindow(kind, pci::capturedWindow(kind, c), wide);
        };
        if (d.ioWindow && (command & pci::CommandIo) != 0) {
            const pci::DecodedWindow io = decode(pci::WindowKind::Io, d.io32);
            if (io.open()) claim(true, {io.base, io.limit, false});
        }
        if ((command & pci::CommandMemory) != 0) {
            const pci::DecodedWindow memory = decode(pci::WindowKind::Memory, false);
            if (memory.open()) claim(false, {memory.base, memory.limit, false});
            if (d.prefetchWindow) {
                const pci::DecodedWindow pref = decode(pci::WindowKind::Prefetchable, d.prefetch64);
                if (pref.open()) claim(false, {pref.base, pref.limit, true});
            }
        }
    }

    void claim(bool io, Claim c) { (io ? io_ : memory_).push_back(c); }

    // Windows that enclose every range decoded on the root bus: I/O from 0x1000 (or lower) to
    // the top, memory and prefetchable memory on 1 MB boundaries, apart when they do not
    // overlap, else one memory window for both.
    RootWindows rootWindows()
    {
        RootWindows w = defaultRootWindows();
        for (const Claim& c : io_) {
            if (c.limit > 0xFFFF) {
                errors_.push_back(s_.source + ": an I/O range above 64K (" + pci::hex(c.base, 8) +
                                  ") is on the root bus; a machine's I/O space ends at ffff");
                return w;
            }
            w.io.base = std::min(w.io.base, c.base & ~uint64_t{0x3});
        }
        Window memory{}, prefetch{}, high{};
        for (const Claim& c : memory_) {
            if (c.base <= 0xFFFFFFFFull && c.limit > 0xFFFFFFFFull) {
                errors_.push_back(s_.source + ": memory at " + pci::hex(c.base, 8) + "-" +
                                  pci::hex(c.limit, 8) + " crosses 4G");
                return w;
            }
            // Above 4G, prefetchable or not, everything shares one window.
            Window& into = c.base > 0xFFFFFFFFull ? high : c.prefetchable ? prefetch : memory;
            into.base = into.open() ? std::min(into.base, c.base) : c.base;
            into.limit = into.open() ? std::max(into.limit, c.limit) : c.limit;
        }
        auto round = [](Window& x) {
            if (!x.open()) return;
            x.base &= ~uint64_t{0xFFFFF};
            x.limit |= 0xFFFFF;
        };
        round(memory);
        round(prefetch);
        round(high);
        w.memory64 = high;
        // Room for cards to come: the defaults where they do not overlap what is found.
        const bool overlap = memory.open() && prefetch.open() && memory.base <= prefetch.limit &&
                             prefetch.base <= memory.limit;
        if (overlap) {
            memory.base = std::min(memory.base, prefetch.base);
            memory.limit = std::max(memory.limit, prefetch.limit);
            prefetch = Window{};
            note("the root's memory and prefetchable ranges interleave: one memory window holds "
                 "both, and prefetchable BARs share it");
        }
        if (!memory.open()) memory = w.memory;
        if (!prefetch.open() && !overlap) {
            const Window& d = w.prefetchable;
            const bool clash = d.base <= memory.limit && memory.base <= d.limit;
            prefetch = clash ? Window{} : d;
        }
        w.memory = memory;
        w.prefetchable = prefetch;
        return w;
    }

    const Snapshot& s_;
    std::vector<std::string> errors_, notes_;
    std::vector<Claim> io_, memory_;
};

}  // namespace

ImportResult importSnapshot(const Snapshot& snapshot) { return Importer(snapshot).run(); }

}  // namespace formats
