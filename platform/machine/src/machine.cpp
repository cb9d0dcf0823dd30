#include <machine/firmware.hpp>
#include <machine/location.hpp>
#include <machine/machine.hpp>

#include <nt/messages.hpp>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>

namespace machine {

namespace {

std::string hex32(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%08llx", static_cast<unsigned long long>(value & 0xFFFFFFFFu));
    return text;
}

std::string driverName(PDEVICE_OBJECT device)
{
    const UNICODE_STRING& name = device->DriverObject->DriverName;
    return nt::narrow(std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
}

// Finds the bridge whose secondary bus is `target`, anywhere below `bus`.
const pci::Function* bridgeOf(const pci::Bus& bus, const pci::Bus* target)
{
    for (unsigned d = 0; d < 32; ++d) {
        for (unsigned fn = 0; fn < 8; ++fn) {
            const pci::Function* f = bus.function(d, fn);
            if (f == nullptr || f->secondary() == nullptr) continue;
            if (f->secondary() == target) return f;
            if (const pci::Function* deeper = bridgeOf(*f->secondary(), target)) return deeper;
        }
    }
    return nullptr;
}

}  // namespace

const char* outputKindName(Output::Kind kind)
{
    switch (kind) {
    case Output::Kind::Step: return "step";
    case Output::Kind::Firmware: return "firmware";
    case Output::Kind::Request: return "request";
    case Output::Kind::Trace: return "trace";
    case Output::Kind::Break: return "break";
    case Output::Kind::EventLog: return "event";
    case Output::Kind::Config: return "config";
    case Output::Kind::BusNumbers: return "busnum";
    case Output::Kind::Conflict: return "conflict";
    case Output::Kind::Problem: return "problem";
    case Output::Kind::Note: return "note";
    }
    return "?";
}

Machine::Machine(MachineDesc description, MachineOptions options,
                 std::function<void(const Output&)> sink)
    : desc_(std::move(description)), options_(std::move(options)), sink_(std::move(sink)),
      bus_(kernel_, hw_), generic_(kernel_)
{
    populate(hw_, desc_);
    bus_.setPendAll(options_.pendAll);
    kernel_.onDebugPrint = [this](const std::string& line) {
        std::string text = line;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        emit(Output::Kind::Trace, text);
    };
    kernel_.onBreakpoint = [this] { emit(Output::Kind::Break, "DbgBreakPoint"); };
    // The event log renders entries through the driver image's own message table, as the event
    // viewer does for a registered event source.
    kernel_.registerEventSource(u"hotpflt", nt::MessageTable::load(HOTP_MESSAGE_FILE));
    kernel_.onErrorLogEntry = [this](const nt::ErrorLogEntry& entry) {
        std::string text;
        if (auto rendered = kernel_.renderEvent(entry)) text = nt::narrow(*rendered);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        uint32_t code = 0;
        if (entry.bytes.size() >= 16) {
            code = static_cast<uint32_t>(entry.bytes[12]) | (entry.bytes[13] << 8) |
                   (entry.bytes[14] << 16) | (static_cast<uint32_t>(entry.bytes[15]) << 24);
        }
        emit(Output::Kind::EventLog, nt::narrow(nt::eventSourceName(entry.driverName)) + " " +
                                         hex32(code) + (text.empty() ? "" : ": " + text));
    };
    hw_.onTransaction = [this](const pci::Transaction& t) {
        if (!t.write || !sink_) return;  // formatted only for a listener
        if ((t.offset == pci::reg::PrimaryBus && t.length == 3) ||
            (t.offset == pci::reg::SubordinateBus && t.length == 1)) {
            char numbers[96];
            if (t.length == 3) {
                std::snprintf(numbers, sizeof numbers,
                              "%02x:%02x.%u primary/secondary/subordinate = %02x/%02x/%02x", t.bus,
                              t.device, t.function, t.value & 0xFF, (t.value >> 8) & 0xFF,
                              (t.value >> 16) & 0xFF);
            } else {
                std::snprintf(numbers, sizeof numbers, "%02x:%02x.%u subordinate = %02x", t.bus,
                              t.device, t.function, t.value & 0xFF);
            }
            emit(Output::Kind::BusNumbers, numbers);
        }
        char text[96];
        std::snprintf(text, sizeof text, "write %02x:%02x.%u offset 0x%02x (%u) = 0x%0*x%s", t.bus,
                      t.device, t.function, t.offset, t.length, static_cast<int>(2 * t.length),
                      t.value, t.claimed ? "" : " (no function answered)");
        emit(Output::Kind::Config, text);
    };
    hw_.onConflict = [this](const std::string& text) {
        conflicts_.push_back(text);
        emit(Output::Kind::Conflict, text);
    };
    // The driver's scan record goes back to the pool at the end of each requirements filter;
    // its totals are what the bridge windows were sized from.
    kernel_.onPoolFree = [this](const void* block, SIZE_T size, ULONG tag) {
        constexpr ULONG kDriverTag = 0x20544F48;  // "HOT "
        constexpr SIZE_T kScanRecordSize = 32 + 20 * 32;
        if (tag != kDriverTag || size != kScanRecordSize) return;
        ULONG totals[6];
        std::memcpy(totals, block, sizeof totals);
        char text[200];
        std::snprintf(text, sizeof text,
                      "scan totals: I/O %#x, memory %#x (largest %#x), prefetchable %#x "
                      "(largest %#x), bridges per bus %u",
                      totals[0], totals[1], totals[3], totals[2], totals[4], totals[5]);
        emit(Output::Kind::Note, text);
    };

    if (options_.withDriver) {
        driver_.emplace(kernel_.loadDriver(options_.driverPath, u"\\Driver\\hotpflt"));
        // A kernel image carries its own message table, which its entries render through.
        if (auto table = driver_->image->resource(11, 1)) {
            kernel_.registerEventSource(u"hotpflt", nt::MessageTable::parse(*table));
        }
        nt::Debugger debugger(*driver_);
        debugger.set("HotpDebugPrintLevel", options_.traceLevel);
        debugger.set("HotpDebugBreakLevel", options_.breakLevel);
    }

    pnp::DriverSetup setup;
    setup.functionDriver = [this](pnp::DeviceNode& node) -> PDRIVER_OBJECT {
        if (&node == pnp_->root()) return bus_.driverObject();
        pcibus::FunctionNode* f = bus_.function(node.pdo);
        return f != nullptr && f->isBridge() ? bus_.driverObject() : generic_.driverObject();
    };
    setup.upperFilters = [this](pnp::DeviceNode& node) {
        std::vector<PDRIVER_OBJECT> filters;
        if (&node == pnp_->root() && driver_) filters.push_back(driver_->object);
        return filters;
    };
    setup.isBus = [this](pnp::DeviceNode& node) {
        pcibus::FunctionNode* f = bus_.function(node.pdo);
        return f != nullptr && f->isBridge();
    };
    setup.describe = [this](PDEVICE_OBJECT pdo) { return nameOf(pdo); };
    setup.whyNotStarted = [this](pnp::DeviceNode& node) { return bus_.problem(node.pdo); };
    pnp_ = std::make_unique<pnp::Manager>(kernel_, setup);
    pnp_->onEvent = [this](const pnp::Event& e) {
        emit(e.kind == pnp::Event::Kind::Request   ? Output::Kind::Request
             : e.kind == pnp::Event::Kind::Problem ? Output::Kind::Problem
                                                   : Output::Kind::Note,
             e.text);
    };
}

Machine::~Machine()
{
    if (!shutDown_) shutdown();
}

void Machine::emit(Output::Kind kind, const std::string& text)
{
    if (sink_ && !shutDown_) sink_(Output{kind, text});
}

std::string Machine::nameOf(PDEVICE_OBJECT pdo)
{
    pcibus::FunctionNode* f = bus_.function(pdo);
    if (f == nullptr) return "device " + hex32(reinterpret_cast<uintptr_t>(pdo));
    return f->location() + " " + className(f->baseClass, f->subClass);
}

void Machine::boot()
{
    emit(Output::Kind::Step, desc_.asFound ? "boot: firmware left the machine as captured"
                                           : "boot: firmware configures what is present");
    FirmwareReport report = runFirmware(hw_, desc_.windows, desc_.asFound);
    for (const std::string& line : report.lines()) emit(Output::Kind::Firmware, line);
    emit(Output::Kind::Step, "boot: the PnP manager starts the PCI root bus");
    std::vector<pnp::Range> windows;
    auto add = [&](const Window& w, UCHAR type, USHORT flags) {
        if (w.open()) windows.push_back({type, flags, w.base, w.size()});
    };
    add(desc_.windows.io, CmResourceTypePort, 0);
    add(desc_.windows.memory, CmResourceTypeMemory, 0);
    add(desc_.windows.prefetchable, CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE);
    add(desc_.windows.memory64, CmResourceTypeMemory, 0);
    pnp_->boot(windows);
}

std::optional<unsigned> Machine::busNumberOf(const pci::Bus* bus)
{
    if (bus == &hw_.root()) return 0u;
    const pci::Function* bridge = bridgeOf(hw_.root(), bus);
    if (bridge == nullptr) return std::nullopt;
    return bridge->byte(pci::reg::SecondaryBus);
}

pnp::DeviceNode* Machine::busNode(unsigned number)
{
    if (number == 0) return pnp_->root();
    for (pnp::DeviceNode* node : pnp_->nodes()) {
        pcibus::FunctionNode* f = bus_.function(node->pdo);
        if (f != nullptr && f->secondary != nullptr && f->secondary->number == number) return node;
    }
    return nullptr;
}

pnp::DeviceNode* Machine::nodeAt(unsigned bus, unsigned device, unsigned function)
{
    for (pnp::DeviceNode* node : pnp_->nodes()) {
        pcibus::FunctionNode* f = bus_.function(node->pdo);
        if (f != nullptr && f->parent != nullptr && f->parent->number == bus &&
            f->device == device && f->function == function) {
            return node;
        }
    }
    return nullptr;
}

bool Machine::apply(const Event& event)
{
    std::string error;
    const Location& where =
        event.kind == EventKind::Power || event.kind == EventKind::Fail ? event.device : event.slot;
    std::string step = std::string(eventName(event.kind)) +
                       (event.card.empty() ? "" : " " + event.card) +
                       (where.text.empty() ? "" : " " + where.text);
    if (event.kind == EventKind::Power) step += " to D" + std::to_string(event.deviceState);
    if (event.kind == EventKind::Fail) step = "fail " + event.fault + (where.text.empty() ? "" : " " + where.text);
    emit(Output::Kind::Step, step);
    auto fail = [&](const std::string& why) {
        emit(Output::Kind::Problem, std::string(eventName(event.kind)) + ": " + why);
        return false;
    };

    if (event.kind == EventKind::Sleep) {
        pnp_->sleep();
        return true;
    }
    if (event.kind == EventKind::Wake) {
        pnp_->wake();
        return true;
    }
    if (event.kind == EventKind::Fail) {
        if (event.fault == "none") {
            kernel_.faults().clear();
            emit(Output::Kind::Note, "faults disarmed");
            return true;
        }
        const FaultName* named = findFaultName(event.fault);
        if (named == nullptr) return fail("no fault named " + event.fault);
        static const std::map<std::string, nt::FaultPoint> points = {
            {"create-device", nt::FaultPoint::CreateDevice},
            {"attach-device", nt::FaultPoint::AttachDevice},
            {"build-request", nt::FaultPoint::BuildRequest},
            {"pool", nt::FaultPoint::AllocatePool},
            {"error-log", nt::FaultPoint::AllocateErrorLogEntry},
            {"query-interface", nt::FaultPoint::QueryInterface},
            {"config", nt::FaultPoint::ShortConfigTransfer},
            {"config-read", nt::FaultPoint::ShortConfigTransfer},
            {"config-write", nt::FaultPoint::ShortConfigTransfer},
            {"lower-fail", nt::FaultPoint::LowerFail},
            {"lower-pend", nt::FaultPoint::LowerPend},
        };
        const nt::FaultPoint point = points.at(named->name);
        nt::FaultAim aim;
        if (event.fault == "config-read") aim.write = false;
        if (event.fault == "config-write") aim.write = true;
        aim.offset = event.offset;
        if (!where.text.empty()) {
            auto path = resolveLocation(desc_, where, error);
            if (!path) return fail(error);
            auto place = findPlace(hw_, *path, error);
            if (!place) return fail(error);
            auto number = busNumberOf(place->bus);
            if (!number) return fail("the bus of " + where.text + " is not reachable");
            aim.bus = *number;
            aim.device = place->device;
            aim.function = place->function;
        }
        kernel_.faults().failNth(point, event.nth, !event.once, aim);
        emit(Output::Kind::Note, std::string("armed: ") + named->what + ", use " +
                                     std::to_string(event.nth) + (event.once ? " only" : " and on") +
                                     " (" + nt::faultPointName(point) + ")");
        return true;
    }
    auto path = resolveLocation(desc_, where, error);
    if (!path) return fail(error);
    auto place = findPlace(hw_, *path, error);
    if (!place) return fail(error);
    auto number = busNumberOf(place->bus);
    if (!number) return fail("the bus of " + where.text + " is not reachable");

    switch (event.kind) {
    case EventKind::Insert: {
        const CardDesc* card = desc_.card(event.card);
        if (card == nullptr) return fail("no card named " + event.card);
        if (!place->bus->insert(place->device, buildCard(*card))) {
            return fail(where.text + " is not a free hot-plug slot");
        }
        pnp::DeviceNode* parent = busNode(*number);
        if (parent == nullptr) return fail("no bus device serves bus " + std::to_string(*number));
        pnp_->enumerate(*parent);
        return true;
    }
    case EventKind::Remove:
    case EventKind::SurpriseRemove: {
        if (!place->bus->occupied(place->device)) return fail(where.text + " holds no card");
        if (event.kind == EventKind::Remove) {
            for (unsigned fn = 0; fn < 8; ++fn) {
                if (pnp::DeviceNode* node = nodeAt(*number, place->device, fn)) pnp_->remove(*node);
            }
        }
        place->bus->remove(place->device);
        if (pnp::DeviceNode* parent = busNode(*number)) pnp_->enumerate(*parent);
        return true;
    }
    case EventKind::Power: {
        pnp::DeviceNode* node = nodeAt(*number, place->device, place->function.value_or(0));
        if (node == nullptr) return fail("no device at " + where.text);
        const auto state = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + event.deviceState);
        NTSTATUS status = pnp_->setDevicePower(*node, state);
        if (!NT_SUCCESS(status)) return fail("the device refused D" + std::to_string(event.deviceState));
        return true;
    }
    default:
        return fail("not an event this machine plays");
    }
}

std::vector<std::string> Machine::describeTree()
{
    std::vector<std::string> lines;
    std::function<void(pnp::DeviceNode&, const std::string&)> walk =
        [&](pnp::DeviceNode& node, const std::string& indent) {
            std::string state;
            switch (node.state) {
            case pnp::DeviceNode::State::Started: state = "started"; break;
            case pnp::DeviceNode::State::NotStarted: state = "not started: " + node.problem; break;
            case pnp::DeviceNode::State::Removed: state = "removed"; break;
            case pnp::DeviceNode::State::Enumerated: state = "enumerated"; break;
            }
            lines.push_back(indent + node.name + "  [" + state + "]");
            for (const pnp::Range& r : node.assigned) {
                char text[96];
                std::snprintf(text, sizeof text, "%s  %s %08llx-%08llx", indent.c_str(),
                              r.type == CmResourceTypePort ? "io  " :
                              (r.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) ? "pref" : "mem ",
                              static_cast<unsigned long long>(r.start),
                              static_cast<unsigned long long>(r.end()));
                lines.push_back(std::string(text));
            }
            std::vector<PDEVICE_OBJECT> stack;
            for (PDEVICE_OBJECT d = node.pdo; d != nullptr; d = d->AttachedDevice) stack.push_back(d);
            std::string text = indent + "  stack:";
            for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
                text += ' ';
                text += driverName(*it) + "(" + hex32(reinterpret_cast<uintptr_t>(*it)) + ")";
            }
            lines.push_back(text);
            for (auto& child : node.children) walk(*child, indent + "    ");
        };
    if (pnp_->root() != nullptr) walk(*pnp_->root(), "");
    return lines;
}

std::vector<std::string> Machine::shutdown()
{
    shutDown_ = true;
    pnp_->shutdown();
    std::vector<std::string> problems;
    for (const std::string& leak : bus_.leaks()) problems.push_back("leak: " + leak);
    for (const nt::Violation& v : kernel_.takeViolations()) {
        problems.push_back("verifier: " + v.rule + ": " + v.detail);
    }
    for (const std::string& leak : kernel_.leaks()) problems.push_back("leak: " + leak);
    for (const std::string& conflict : conflicts_) problems.push_back("bus-number conflict: " + conflict);
    return problems;
}

}  // namespace machine
