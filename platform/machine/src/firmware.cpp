#include <machine/firmware.hpp>

#include <pci/registers.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace machine {

namespace reg = pci::reg;

namespace {

enum Space { Io, Memory, Prefetch, SpaceCount };
constexpr uint64_t Granularity[SpaceCount] = {0x1000, 0x100000, 0x100000};
constexpr const char* SpaceName[SpaceCount] = {"I/O", "memory", "prefetchable"};

uint64_t alignUp(uint64_t value, uint64_t alignment)
{
    return (value + alignment - 1) & ~(alignment - 1);
}

std::string bdf(unsigned bus, unsigned device, unsigned function)
{
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%02x:%02x.%u", bus & 0xFF, device & 0x1F, function & 7);
    return buffer;
}

std::string range(uint64_t base, uint64_t size)
{
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%llx-%llx", static_cast<unsigned long long>(base),
                  static_cast<unsigned long long>(base + size - 1));
    return buffer;
}


struct BusNode;

// One function as firmware found it.
struct Node {
    FunctionReport report;
    std::vector<Space> barSpace;     // parallel to report.bars
    std::unique_ptr<BusNode> child;  // behind a PCI-to-PCI bridge
    uint64_t size[SpaceCount]{};     // a bridge's windows, as measured
    uint64_t align[SpaceCount]{};
    Window window[SpaceCount];       // as placed; closed when not

    std::string where() const { return bdf(report.bus, report.device, report.function); }
};

struct BusNode {
    unsigned number = 0;
    std::vector<std::unique_ptr<Node>> functions;
    pci::HotPlugReserve reserve;  // the platform's hot-plug reservation for this bus
};

// Something to place in a window: a BAR, a bridge's window or a hot-plug reservation.
struct Item {
    uint64_t size, align;
    Node* node;  // nullptr for a reservation
    int bar;     // index into node->report.bars, or -1 for the node's window
};

class Firmware {
public:
    // The hierarchy below one host bridge: its root bus `first`, bus numbers up to `last`.
    Firmware(pci::Hierarchy& hw, const RootWindows& windows, bool asFound, unsigned first = 0,
             unsigned last = 255)
        : hw_(hw), windows_(windows), asFound_(asFound), lastBus_(first), limit_(last)
    {
    }

    FirmwareReport run()
    {
        BusNode root;
        root.number = lastBus_;
        std::vector<Node*> chain;
        scan(root, chain);
        if (asFound_) {
            // Nothing is assigned: the report says what the functions hold.
            collect(root);
            report_.lastBus = lastBus_;
            return std::move(report_);
        }
        measure(root);
        const Window rootWindow[SpaceCount] = {windows_.io, windows_.memory,
                                               windows_.prefetchable};
        for (unsigned s = 0; s < SpaceCount; ++s) {
            place(root, static_cast<Space>(s), rootWindow[s], "the root's");
        }
        program(root);
        collect(root);
        report_.lastBus = lastBus_;
        return std::move(report_);
    }

private:
    uint32_t read(unsigned bus, unsigned device, unsigned fn, unsigned offset, unsigned length)
    {
        return hw_.configRead(bus, device, fn, offset, length);
    }
    uint32_t read(const Node& n, unsigned offset, unsigned length)
    {
        return read(n.report.bus, n.report.device, n.report.function, offset, length);
    }
    void write(const Node& n, unsigned offset, unsigned length, uint32_t value)
    {
        hw_.configWrite(n.report.bus, n.report.device, n.report.function, offset, length, value);
    }

    Space spaceOf(const pci::Bar& bar) const
    {
        if (bar.kind == pci::Bar::Kind::Io) return Io;
        return bar.prefetchable && windows_.prefetchable.open() ? Prefetch : Memory;
    }

    void problem(std::string text) { report_.problems.push_back(std::move(text)); }

    // Depth first: a bridge's subtree is numbered before the next device on its bus is looked at.
    void scan(BusNode& bus, std::vector<Node*>& chain)
    {
        for (unsigned device = 0; device < 32; ++device) {
            if (read(bus.number, device, 0, reg::VendorId, 2) == 0xFFFF) continue;
            const bool multi = (read(bus.number, device, 0, reg::HeaderType, 1) & 0x80) != 0;
            for (unsigned fn = 0; fn < (multi ? 8u : 1u); ++fn) {
                if (fn != 0 && read(bus.number, device, fn, reg::VendorId, 2) == 0xFFFF) continue;
                auto node = probe(bus.number, device, fn);
                if (node->report.header != pci::HeaderKind::Device) number(*node, chain);
                bus.functions.push_back(std::move(node));
            }
        }
    }

    std::unique_ptr<Node> probe(unsigned bus, unsigned device, unsigned fn)
    {
        auto node = std::make_unique<Node>();
        FunctionReport& r = node->report;
        r.bus = bus;
        r.device = device;
        r.function = fn;
        const uint32_t id = read(bus, device, fn, reg::VendorId, 4);
        r.vendor = static_cast<uint16_t>(id);
        r.deviceId = static_cast<uint16_t>(id >> 16);
        r.classCode = read(bus, device, fn, reg::RevisionId, 4) >> 8;
        const unsigned type = read(bus, device, fn, reg::HeaderType, 1) & 0x7F;
        unsigned barCount = 6;
        if (type == 1) {
            r.header = pci::HeaderKind::Bridge;
            barCount = 2;
        } else if (type == 2) {
            r.header = pci::HeaderKind::CardBus;
            barCount = 1;
        } else if (type != 0) {
            problem(node->where() + ": unknown header type " + std::to_string(type) +
                    "; left alone");
            return node;
        }
        sizeBars(*node, barCount);
        return node;
    }

    // Writes all ones to each BAR and reads back which address bits are writable.
    void sizeBars(Node& n, unsigned count)
    {
        const uint32_t command = read(n, reg::Command, 2);
        write(n, reg::Command, 2, command & ~uint32_t{pci::CommandIo | pci::CommandMemory});
        for (unsigned i = 0; i < count;) {
            const unsigned offset = reg::Bar0 + 4 * i;
            const uint32_t original = read(n, offset, 4);
            write(n, offset, 4, 0xFFFFFFFF);
            const uint32_t value = read(n, offset, 4);
            write(n, offset, 4, original);
            if (value == 0) {  // not implemented
                ++i;
                continue;
            }
            BarReport b;
            b.index = i;
            unsigned width = 1;
            if (value & 0x1) {
                uint32_t mask = value & ~0x3u;
                b.bar.kind = pci::Bar::Kind::Io;
                b.bar.ioUpperZero = (mask & 0xFFFF0000) == 0;
                if (b.bar.ioUpperZero) mask |= 0xFFFF0000;
                b.bar.size = static_cast<uint32_t>(~mask + 1);
            } else {
                uint64_t mask = value & ~0xFull;
                b.bar.prefetchable = (value & 0x8) != 0;
                if (((value >> 1) & 0x3) == 0x2 && i + 1 < count) {
                    const uint32_t upperOriginal = read(n, offset + 4, 4);
                    write(n, offset + 4, 4, 0xFFFFFFFF);
                    mask |= uint64_t{read(n, offset + 4, 4)} << 32;
                    write(n, offset + 4, 4, upperOriginal);
                    b.bar.kind = pci::Bar::Kind::Memory64;
                    width = 2;
                } else {
                    mask |= 0xFFFFFFFF00000000ull;
                    b.bar.kind = pci::Bar::Kind::Memory32;
                }
                b.bar.size = ~mask + 1;
            }
            i += width;
            if (b.bar.size == 0) continue;
            if (asFound_) {
                // The address the register held before sizing, as firmware left it.
                b.address = b.bar.kind == pci::Bar::Kind::Io ? (original & ~0x3u) : (original & ~0xFu);
                if (width == 2) b.address |= uint64_t{read(n, offset + 4, 4)} << 32;
                b.assigned = b.address != 0;
            }
            n.barSpace.push_back(spaceOf(b.bar));
            n.report.bars.push_back(b);
        }
        sizeRom(n);
        write(n, reg::Command, 2, command);
        n.report.command = static_cast<uint16_t>(command);
    }

    // The expansion ROM BAR: address bits above its size are writable. Firmware shows its size
    // and leaves it as it is (disabled unless a snapshot says otherwise).
    void sizeRom(Node& n)
    {
        const unsigned offset = n.report.header == pci::HeaderKind::Device   ? reg::RomBar
                                : n.report.header == pci::HeaderKind::Bridge ? reg::BridgeRomBar
                                                                             : 0;
        if (offset == 0) return;
        const uint32_t original = read(n, offset, 4);
        write(n, offset, 4, 0xFFFFF800);
        const uint32_t value = read(n, offset, 4) & 0xFFFFF800u;
        write(n, offset, 4, original);
        if (value == 0) return;
        n.report.romSize = (uint64_t{~value} + 1) & 0xFFFFFFFFu;
        n.report.romAddress = original & 0xFFFFF800u;
    }

    // Raises the subordinate numbers of the bridges above so cycles for `bus` reach it.
    void raise(std::vector<Node*>& chain, unsigned bus)
    {
        for (Node* above : chain) {
            if (above->report.bridge->subordinate >= bus) continue;
            above->report.bridge->subordinate = bus;
            write(*above, reg::SubordinateBus, 1, bus);
        }
    }

    // The platform's hot-plug reservation for the bus behind a bridge: what its firmware
    // tables say about the slots there.
    pci::HotPlugReserve reserveBehind(const Node& n)
    {
        pci::Function* f = hw_.locate(n.report.bus, n.report.device, n.report.function);
        if (f == nullptr || f->secondary() == nullptr || !f->secondary()->hasHotPlugSlots()) {
            return {};
        }
        return f->secondary()->hotPlugReserve();
    }

    // A bridge as firmware left it: its bus numbers and windows read, the bus behind scanned.
    void survey(Node& n, std::vector<Node*>& chain)
    {
        n.report.bridge.emplace();
        BridgeReport& b = *n.report.bridge;
        b.primary = read(n, reg::PrimaryBus, 1);
        b.secondary = read(n, reg::SecondaryBus, 1);
        b.subordinate = read(n, reg::SubordinateBus, 1);
        lastBus_ = std::max(lastBus_, b.subordinate);
        n.report.command = static_cast<uint16_t>(read(n, reg::Command, 2));
        if (n.report.header != pci::HeaderKind::Bridge) return;
        decodeWindows(n);
        // A bridge whose secondary number is not above its own bus forwards nothing below.
        if (b.secondary <= n.report.bus || chain.size() >= 255) return;
        n.child = std::make_unique<BusNode>();
        n.child->number = b.secondary;
        chain.push_back(&n);
        scan(*n.child, chain);
        chain.pop_back();
    }

    void number(Node& n, std::vector<Node*>& chain)
    {
        if (asFound_) {
            survey(n, chain);
            return;
        }
        n.report.bridge.emplace();
        BridgeReport& b = *n.report.bridge;
        b.primary = n.report.bus;
        if (lastBus_ >= limit_) {
            problem(n.where() + ": no bus number left for the bus behind this bridge");
            return;
        }
        b.secondary = b.subordinate = ++lastBus_;
        raise(chain, b.secondary);
        write(n, reg::PrimaryBus, 4,
              b.primary | b.secondary << 8 | b.subordinate << 16 |
                  uint32_t{FirmwareLatencyTimer} << 24);
        if (n.report.header == pci::HeaderKind::Bridge) {
            n.child = std::make_unique<BusNode>();
            n.child->number = b.secondary;
            chain.push_back(&n);
            scan(*n.child, chain);
            chain.pop_back();
        }
        const pci::HotPlugReserve reserve = reserveBehind(n);
        unsigned spare = reserve.buses;
        if (spare > limit_ - lastBus_) {
            spare = limit_ - lastBus_;
            problem(n.where() + ": only " + std::to_string(spare) + " of " +
                    std::to_string(reserve.buses) + " spare bus numbers left for its slots");
        }
        // The bridges above cover these numbers when their own subtrees are closed.
        lastBus_ += spare;
        b.spareBuses = spare;
        b.subordinate = lastBus_;
        write(n, reg::SubordinateBus, 1, b.subordinate);
        if (n.child) n.child->reserve = reserve;
    }

    // What goes into the windows of one bus, largest alignment first: placed in that order,
    // each item starts aligned with no gaps between items of equal alignment.
    std::vector<Item> items(BusNode& bus, Space space)
    {
        std::vector<Item> out;
        for (auto& node : bus.functions) {
            for (size_t k = 0; k < node->report.bars.size(); ++k) {
                if (node->barSpace[k] != space) continue;
                const uint64_t size = node->report.bars[k].bar.size;
                out.push_back(Item{size, size, node.get(), static_cast<int>(k)});
            }
            if (node->child && node->size[space] != 0) {
                out.push_back(Item{node->size[space], node->align[space], node.get(), -1});
            }
        }
        // Reserved space is free space, naturally aligned so that a card as large as the
        // reservation fits into it.
        auto reservation = [&](uint64_t size) {
            if (size != 0) out.push_back(Item{size, size, nullptr, -1});
        };
        if (space == Io) reservation(bus.reserve.io);
        if (space == Memory) reservation(bus.reserve.memory);
        if (space == spaceOf(pci::Bar{pci::Bar::Kind::Memory32, 0, true})) {
            reservation(bus.reserve.prefetchable);
        }
        std::stable_sort(out.begin(), out.end(),
                         [](const Item& a, const Item& b) { return a.align > b.align; });
        return out;
    }

    // Sizes every bridge's windows, innermost first.
    void measure(BusNode& bus)
    {
        for (auto& node : bus.functions) {
            if (!node->child) continue;
            measure(*node->child);
            for (unsigned s = 0; s < SpaceCount; ++s) {
                uint64_t end = 0, align = 0;
                for (const Item& item : items(*node->child, static_cast<Space>(s))) {
                    end = alignUp(end, item.align) + item.size;
                    align = std::max(align, item.align);
                }
                if (end == 0) continue;
                node->size[s] = alignUp(end, Granularity[s]);
                node->align[s] = std::max(align, Granularity[s]);
            }
        }
    }

    // Places the items of one bus in one of its windows, in turn from the window's base. Aligning
    // an item can leave a gap below it (a window whose base is not aligned to its largest item);
    // an item that no longer fits above the last one goes into the first such gap that holds it,
    // so that only a true shortage leaves something unassigned.
    void place(BusNode& bus, Space space, const Window& window, const std::string& owner)
    {
        uint64_t cursor = window.base;
        std::vector<Window> gaps;
        for (const Item& item : items(bus, space)) {
            uint64_t address = alignUp(cursor, item.align);
            bool fits = window.contains(address, item.size) && address >= cursor;
            if (fits) {
                if (address > cursor) gaps.push_back(Window{cursor, address - 1});
                cursor = address + item.size;
            } else {
                for (auto gap = gaps.begin(); gap != gaps.end() && !fits; ++gap) {
                    address = alignUp(gap->base, item.align);
                    if (address < gap->base || !gap->contains(address, item.size)) continue;
                    fits = true;
                    const Window whole = *gap;
                    gap = gaps.erase(gap);
                    if (address + item.size - 1 < whole.limit) {
                        gap = gaps.insert(gap, Window{address + item.size, whole.limit});
                    }
                    if (address > whole.base) gaps.insert(gap, Window{whole.base, address - 1});
                    break;
                }
            }
            if (!fits) {
                std::string what;
                if (item.node == nullptr) {
                    what = "the hot-plug reservation of " + pci::formatSize(item.size);
                } else if (item.bar >= 0) {
                    const BarReport& b = item.node->report.bars[static_cast<size_t>(item.bar)];
                    what = item.node->where() + " BAR" + std::to_string(b.index) + " (" +
                           pci::formatSize(item.size) + ")";
                } else {
                    what = item.node->where() + "'s " + SpaceName[space] + " window (" +
                           pci::formatSize(item.size) + ") and everything behind it";
                }
                problem(what + " does not fit in " + owner + " " + SpaceName[space] +
                        " window" + (window.open() ? std::string(" ").append(range(window.base, window.size()))
                                                   : std::string(" (there is none)")));
                continue;
            }
            if (item.node == nullptr) continue;
            if (item.bar >= 0) {
                BarReport& b = item.node->report.bars[static_cast<size_t>(item.bar)];
                b.assigned = true;
                b.address = address;
            } else {
                item.node->window[space] = Window{address, address + item.size - 1};
                place(*item.node->child, space, item.node->window[space],
                      item.node->where() + "'s");
            }
        }
    }

    void programBridgeWindows(Node& n)
    {
        auto program = [&](pci::WindowKind kind, const Window& w, bool wide) {
            pci::writeWindow(kind, encode(kind, w), wide,
                             [&](unsigned offset, unsigned length, uint32_t value) {
                                 write(n, offset, length, value);
                             });
        };
        program(pci::WindowKind::Io, n.window[Io], pci::windowIsWide(read(n, reg::IoBase, 1)));
        program(pci::WindowKind::Memory, n.window[Memory], false);
        program(pci::WindowKind::Prefetchable, n.window[Prefetch],
                pci::windowIsWide(read(n, reg::PrefetchBase, 1)));
        decodeWindows(n);
    }

    static pci::WindowRegisters encode(pci::WindowKind kind, const Window& w)
    {
        return w.open() ? pci::encodeWindow(kind, w.base, w.limit) : pci::closedWindow(kind);
    }

    // What a bridge's window registers decode, into its report.
    void decodeWindows(Node& n)
    {
        const bool io32 = pci::windowIsWide(read(n, reg::IoBase, 1));
        const bool pref64 = pci::windowIsWide(read(n, reg::PrefetchBase, 1));
        BridgeReport& b = *n.report.bridge;
        pci::WindowRegisters io{read(n, reg::IoBase, 1), read(n, reg::IoLimit, 1)};
        if (io32) {
            io.baseUpper = read(n, reg::IoBaseUpper, 2);
            io.limitUpper = read(n, reg::IoLimitUpper, 2);
        }
        const pci::WindowRegisters mem{read(n, reg::MemoryBase, 2), read(n, reg::MemoryLimit, 2)};
        pci::WindowRegisters pref{read(n, reg::PrefetchBase, 2), read(n, reg::PrefetchLimit, 2)};
        if (pref64) {
            pref.baseUpper = read(n, reg::PrefetchBaseUpper, 4);
            pref.limitUpper = read(n, reg::PrefetchLimitUpper, 4);
        }
        b.io = decoded(pci::decodeWindow(pci::WindowKind::Io, io, io32));
        b.memory = decoded(pci::decodeWindow(pci::WindowKind::Memory, mem, false));
        b.prefetchable = decoded(pci::decodeWindow(pci::WindowKind::Prefetchable, pref, pref64));
    }

    static Window decoded(const pci::DecodedWindow& w) { return Window{w.base, w.limit}; }

    // The CardBus socket's windows belong to the socket's own driver; firmware leaves them
    // closed.
    void closeCardBusWindows(Node& n)
    {
        for (unsigned i = 0; i < 2; ++i) {
            write(n, reg::CardBusMemoryBase0 + 8 * i, 4, 0xFFFFF000);
            write(n, reg::CardBusMemoryBase0 + 8 * i + 4, 4, 0);
            write(n, reg::CardBusIoBase0 + 8 * i, 4, 0xFFFFFFFC);
            write(n, reg::CardBusIoBase0 + 8 * i + 4, 4, 0);
        }
        n.report.bridge->io = Window{};
        n.report.bridge->memory = Window{};
        n.report.bridge->prefetchable = Window{};
    }

    void program(BusNode& bus)
    {
        for (auto& node : bus.functions) {
            Node& n = *node;
            bool ioNeeded = false, ioAssigned = true, memoryNeeded = false, memoryAssigned = true;
            for (const BarReport& b : n.report.bars) {
                const bool io = b.bar.kind == pci::Bar::Kind::Io;
                (io ? ioNeeded : memoryNeeded) = true;
                if (!b.assigned) {
                    (io ? ioAssigned : memoryAssigned) = false;
                    continue;
                }
                const unsigned offset = reg::Bar0 + 4 * b.index;
                write(n, offset, 4, static_cast<uint32_t>(b.address));
                if (b.bar.kind == pci::Bar::Kind::Memory64) {
                    write(n, offset + 4, 4, static_cast<uint32_t>(b.address >> 32));
                }
            }
            uint32_t command = 0;
            if (ioNeeded && ioAssigned) command |= pci::CommandIo;
            if (memoryNeeded && memoryAssigned) command |= pci::CommandMemory;
            if (n.report.header == pci::HeaderKind::Bridge && n.report.bridge) {
                programBridgeWindows(n);
                if (n.window[Io].open()) command |= pci::CommandIo;
                if (n.window[Memory].open() || n.window[Prefetch].open()) {
                    command |= pci::CommandMemory;
                }
            } else if (n.report.header == pci::HeaderKind::CardBus && n.report.bridge) {
                closeCardBusWindows(n);
            }
            if (command != 0) command |= pci::CommandMaster;
            write(n, reg::CacheLineSize, 1, FirmwareCacheLineSize);
            write(n, reg::LatencyTimer, 1, FirmwareLatencyTimer);
            write(n, reg::Command, 2, command);
            n.report.command = static_cast<uint16_t>(read(n, reg::Command, 2));
            if (n.child) program(*n.child);
        }
    }

    void collect(BusNode& bus)
    {
        for (auto& node : bus.functions) {
            report_.functions.push_back(node->report);
            if (node->child) collect(*node->child);
        }
    }

    pci::Hierarchy& hw_;
    RootWindows windows_;
    bool asFound_;
    FirmwareReport report_;
    unsigned lastBus_ = 0;
    unsigned limit_ = 255;
};

}  // namespace

FirmwareReport runFirmware(pci::Hierarchy& hw, const RootWindows& windows, bool asFound)
{
    return Firmware(hw, windows, asFound).run();
}

FirmwareReport runFirmware(pci::Hierarchy& hw, const std::vector<FirmwareRoot>& roots,
                           bool asFound)
{
    FirmwareReport all;
    for (size_t i = 0; i < roots.size(); ++i) {
        const unsigned last = i + 1 < roots.size() ? roots[i + 1].number - 1 : 255;
        FirmwareReport one = Firmware(hw, roots[i].windows, asFound, roots[i].number, last).run();
        all.functions.insert(all.functions.end(), one.functions.begin(), one.functions.end());
        all.problems.insert(all.problems.end(), one.problems.begin(), one.problems.end());
        all.roots.push_back({roots[i].number, one.lastBus});
        all.lastBus = one.lastBus;
    }
    return all;
}

std::vector<std::string> FirmwareReport::lines() const
{
    std::vector<std::string> out;
    char line[160];
    std::snprintf(line, sizeof line, "firmware: %zu functions, buses 00 to %02x", functions.size(),
                  roots.size() > 1 ? roots.front().last : lastBus);
    std::string first = line;
    // Peer host bridges: the bus numbers below each root bus.
    for (size_t i = 1; i < roots.size(); ++i) {
        std::snprintf(line, sizeof line, ", %02x to %02x", roots[i].first, roots[i].last);
        first += line;
    }
    out.push_back(first);
    for (const FunctionReport& f : functions) {
        const char* kind = f.header == pci::HeaderKind::Bridge    ? " PCI-to-PCI bridge"
                           : f.header == pci::HeaderKind::CardBus ? " CardBus bridge"
                                                                  : "";
        std::snprintf(line, sizeof line, "  %s %04x:%04x class %06x%s command %04x",
                      bdf(f.bus, f.device, f.function).c_str(), f.vendor, f.deviceId,
                      f.classCode, kind, f.command);
        out.emplace_back(line);
        for (const BarReport& b : f.bars) {
            const char* type = b.bar.kind == pci::Bar::Kind::Io         ? "io"
                               : b.bar.kind == pci::Bar::Kind::Memory64 ? "mem64"
                                                                        : "mem32";
            out.push_back("      BAR" + std::to_string(b.index) + " " + type +
                          (b.bar.prefetchable ? " prefetchable " : " ") + pci::formatSize(b.bar.size) +
                          " " + (b.assigned ? "at " + range(b.address, b.bar.size) : "unassigned"));
        }
        if (f.romSize != 0) {
            out.push_back("      ROM " + pci::formatSize(f.romSize) + " " +
                          (f.romAddress != 0 ? "at " + range(f.romAddress, f.romSize)
                                             : std::string("unassigned")));
        }
        if (!f.bridge) continue;
        const BridgeReport& b = *f.bridge;
        std::snprintf(line, sizeof line, "      buses %02x/%02x/%02x (primary/secondary/subordinate)",
                      b.primary, b.secondary, b.subordinate);
        out.push_back(line + (b.spareBuses != 0
                                  ? ", " + std::to_string(b.spareBuses) + " spare for hot plug"
                                  : std::string()));
        const Window* windows[] = {&b.io, &b.memory, &b.prefetchable};
        for (unsigned s = 0; s < SpaceCount; ++s) {
            const Window& w = *windows[s];
            out.push_back(std::string("      ") + SpaceName[s] + " window " +
                          (w.open() ? range(w.base, w.size()) + " (" + pci::formatSize(w.size()) + ")"
                                    : std::string("closed")));
        }
    }
    for (const std::string& p : problems) out.push_back("  problem: " + p);
    return out;
}

void printFirmwareReport(std::ostream& out, const FirmwareReport& report)
{
    for (const std::string& line : report.lines()) out << line << "\n";
}

}  // namespace machine
