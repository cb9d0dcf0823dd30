#include <formats/generator.hpp>
#include <formats/machine_file.hpp>

#include <charconv>
#include <algorithm>
#include <deque>

namespace formats {

using namespace machine;

namespace {

constexpr unsigned FunctionsPerDevice = 8;
constexpr unsigned HotPlugDevice = 0x1F;

unsigned devicesFor(unsigned functions)
{
    return (functions + FunctionsPerDevice - 1) / FunctionsPerDevice;
}

FunctionDesc ordinary(unsigned device, unsigned function, unsigned serial)
{
    FunctionDesc f;
    f.device = device;
    f.function = function;
    f.name = "generated controller " + std::to_string(serial);
    f.vendor = 0x6e6e;
    f.deviceId = 0x0100;
    f.baseClass = 0x02;  // network controller
    f.bars = {pci::Bar{pci::Bar::Kind::Memory32, 0x1000}};
    return f;
}

FunctionDesc bridge(unsigned device, unsigned serial)
{
    FunctionDesc f;
    f.device = device;
    f.kind = FunctionKind::Bridge;
    f.name = "generated bridge " + std::to_string(serial);
    f.vendor = 0x6e6e;
    f.deviceId = 0x0200;
    return f;
}

CardDesc bridgeChain()
{
    CardDesc card;
    card.name = "bridge chain";
    FunctionDesc top = bridge(0, 1);
    top.name = "chain bridge 1";
    FunctionDesc* inner = &top;
    for (unsigned level = 2; level <= BridgeChainDepth; ++level) {
        FunctionDesc next = bridge(0, level);
        next.name = "chain bridge " + std::to_string(level);
        inner->secondary.functions.push_back(std::move(next));
        inner = &inner->secondary.functions.back();
    }
    FunctionDesc leaf;
    leaf.name = "serial bus controller behind the chain";
    leaf.vendor = 0x6e6e;
    leaf.deviceId = 0x0300;
    leaf.baseClass = 0x0C;
    leaf.subClass = 0x03;
    leaf.progIf = 0x10;
    leaf.bars = {pci::Bar{pci::Bar::Kind::Memory32, 0x1000}};
    inner->secondary.functions.push_back(std::move(leaf));
    card.functions.push_back(std::move(top));
    return card;
}

// Bridges a tree of the given fan-out holds within the depth (capped at `enough`).
unsigned capacity(unsigned fanOut, unsigned depth, unsigned enough)
{
    unsigned total = 0, level = 1;
    for (unsigned d = 0; d < depth && total < enough; ++d) {
        level = level * fanOut > enough ? enough : level * fanOut;
        total += level;
    }
    return total;
}

}  // namespace

std::optional<MachineShape> parseShape(std::string_view text, std::string& error)
{
    MachineShape shape;
    bool seen[3] = {};
    while (!text.empty()) {
        const size_t comma = text.find(',');
        const std::string_view item = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view{} : text.substr(comma + 1);
        const size_t equals = item.find('=');
        const std::string_view key = item.substr(0, equals);
        int which = key == "width" ? 0 : key == "depth" ? 1 : key == "buses" ? 2 : -1;
        if (which < 0 || equals == std::string_view::npos) {
            error = std::string("'").append(item) + "': expected width=N, depth=N or buses=N";
            return std::nullopt;
        }
        if (seen[which]) {
            error = std::string("'").append(key) + "' is given twice";
            return std::nullopt;
        }
        seen[which] = true;
        const std::string_view number = item.substr(equals + 1);
        unsigned value = 0;
        const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), value);
        if (number.empty() || ec != std::errc{} || end != number.data() + number.size() ||
            value > 100000) {
            error = std::string("'").append(item) + "': not a number from 0 to 100000";
            return std::nullopt;
        }
        (which == 0 ? shape.width : which == 1 ? shape.depth : shape.buses) = value;
    }
    return shape;
}

unsigned generatedFunctions(const MachineShape& shape)
{
    // Every bus but the hot-plug bridge's carries `width` functions.
    return (shape.buses - GeneratedSpareBuses - 1) * shape.width;
}

std::optional<MachineDesc> generateMachine(const MachineShape& shape, std::string& error)
{
    constexpr unsigned MinBuses = GeneratedSpareBuses + 2;  // root, hot-plug bus and spares
    if (shape.buses < MinBuses || shape.buses > MaxGeneratedBuses) {
        error = "buses must be " + std::to_string(MinBuses) + " to " +
                std::to_string(MaxGeneratedBuses) + " (the root bus, the hot-plug bridge's bus " +
                "and its " + std::to_string(GeneratedSpareBuses) + " spare numbers included)";
        return std::nullopt;
    }
    const unsigned functionDevices = devicesFor(shape.width);
    // Device numbers left for bridges: the root bus also holds the host bridge and the
    // hot-plug bridge.
    if (functionDevices + 2 > 32) {
        error = "width " + std::to_string(shape.width) + " does not fit on the root bus";
        return std::nullopt;
    }
    const unsigned rootRoom = 30 - functionDevices;
    const unsigned busRoom = 32 - functionDevices;
    const unsigned bridges = shape.buses - MinBuses;
    unsigned fanOut = 1;
    if (bridges > 0) {
        if (shape.depth == 0) {
            error = "depth 0 leaves no room for " + std::to_string(bridges) + " bridges";
            return std::nullopt;
        }
        while (fanOut <= busRoom && capacity(fanOut, shape.depth, bridges) < bridges) ++fanOut;
    }
    const std::string noRoom = std::to_string(bridges) + " bridges do not fit within depth " +
                               std::to_string(shape.depth) + " with width " +
                               std::to_string(shape.width);
    if (fanOut > busRoom) {
        error = noRoom;
        return std::nullopt;
    }

    MachineDesc machine;
    machine.name = "generated machine (width " + std::to_string(shape.width) + ", depth " +
                   std::to_string(shape.depth) + ", buses " + std::to_string(shape.buses) + ")";
    machine.windows.io = {0x1000, 0xFFFF};
    machine.windows.memory = {0x40000000, 0x7FFFFFFF};
    machine.windows.prefetchable = {0x80000000, 0xEFFFFFFF};

    FunctionDesc host;
    host.name = "host bridge";
    host.vendor = 0x6e6e;
    host.baseClass = 0x06;
    machine.root.functions.push_back(host);

    // Breadth first: each bus takes up to fan-out bridges until they are all placed. Bus
    // contents are filled in a second pass, once no vector they sit in grows any more.
    struct Pending {
        BusDesc* bus;
        unsigned level;
        unsigned firstDevice;
    };
    unsigned placed = 0, functionSerial = 0;
    std::deque<Pending> queue{{&machine.root, 0, 1}};
    auto fill = [&](Pending p) {
        BusDesc& bus = *p.bus;
        const unsigned room = p.level == 0 ? rootRoom : busRoom;
        unsigned take = p.level < shape.depth ? std::min({fanOut, room, bridges - placed}) : 0;
        unsigned device = p.firstDevice;
        for (unsigned i = 0; i < shape.width; ++i) {
            bus.functions.push_back(ordinary(device + i / FunctionsPerDevice,
                                             i % FunctionsPerDevice, ++functionSerial));
        }
        device += functionDevices;
        const size_t firstBridge = bus.functions.size();
        for (unsigned i = 0; i < take; ++i) bus.functions.push_back(bridge(device + i, ++placed));
        for (size_t i = firstBridge; i < bus.functions.size(); ++i) {
            queue.push_back({&bus.functions[i].secondary, p.level + 1, 0});
        }
    };
    while (!queue.empty()) {
        Pending p = queue.front();
        queue.pop_front();
        fill(p);
    }

    if (placed < bridges) {  // the root bus had room for fewer than the fan-out
        error = noRoom;
        return std::nullopt;
    }

    FunctionDesc hotPlug = bridge(HotPlugDevice, 0);
    hotPlug.name = "hot-plug bridge";
    hotPlug.secondary.slots = {{1, "slot 1", 0}, {2, "slot 2", 0}};
    hotPlug.secondary.reserve = {GeneratedSpareBuses, 0x2000, 0x4000000, 0x20000000};
    machine.root.functions.push_back(std::move(hotPlug));

    machine.cards = defaultMachine().cards;
    machine.cards.push_back(bridgeChain());
    return machine;
}

}  // namespace formats
