#include <machine/firmware.hpp>
#include <machine/location.hpp>
#include <machine/machine.hpp>

#include <nt/messages.hpp>
#include <pci/registers.hpp>

// The driver's records, read through their declared layout as a debugger reads them.
#include <bridge/scan_record.h>
#include <frame/records.h>

#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <functional>

namespace machine {

namespace {

// An i386 kernel address or a 32-bit code, as a debugger prints it.
std::string hex32(uint64_t value) { return pci::hex(value & 0xFFFFFFFFu, 8); }

}  // namespace

Machine::Machine(MachineDesc description, MachineOptions options,
                 std::function<void(const Output&)> sink)
    : desc_(std::move(description)), options_(std::move(options)), sink_(std::move(sink)),
      bus_(kernel_, hw_), generic_(kernel_)
{
    populate(hw_, desc_);
    bus_.setPendAll(options_.pendAll);
    reportKernel();
    reportHardware();
    if (options_.withDriver) loadFilter();
    startPnpManager();
}

// What the kernel stand-in tells: the driver's trace lines and breakpoints, event-log entries,
// where an armed fault struck and the totals of each scan of the hierarchy.
void Machine::reportKernel()
{
    kernel_.onDebugPrint = [this](const std::string& line) {
        std::string text = line;
        while (!text.empty() && text.back() == '\n') text.pop_back();
        emit(Output::Kind::Trace, text, {{"text", text}});
    };
    kernel_.onBreakpoint = [this] {
        const void* caller = kernel_.breakpoints().empty() ? nullptr : kernel_.breakpoints().back().caller;
        const std::string where = symbolize(caller);
        emit(Output::Kind::Break, where,
             {{"where", where}, {"address", hex32(reinterpret_cast<uintptr_t>(caller))}});
    };
    // The event log renders entries through the driver image's own message table, as the event
    // viewer does for a registered event source.
    kernel_.registerEventSource(u"hotpflt", nt::MessageTable::load(HOTP_MESSAGE_FILE));
    kernel_.onErrorLogEntry = [this](const nt::ErrorLogEntry& entry) { onErrorLogEntry(entry); };
    kernel_.faults().onFired = [this](nt::FaultPoint point, const nt::FaultSite& site,
                                      bool persistent) { onFaultFired(point, site, persistent); };
    // The driver's scan record goes back to the pool at the end of each requirements filter;
    // its totals are what the bridge windows were sized from.
    kernel_.onPoolFree = [this](const void* block, SIZE_T size, ULONG tag) {
        if (!sink_ || tag != HOTP_POOL_TAG || size != sizeof(HOTP_SCAN_CONTEXT)) return;
        HOTP_SCAN_CONTEXT scan;
        std::memcpy(&scan, block, sizeof scan);
        scanTotals_ = nlohmann::ordered_json{
            {"io", scan.IoTotal},
            {"memory", scan.MemoryTotal},
            {"prefetchable", scan.PrefetchableTotal},
            {"memory_alignment", scan.MemoryAlignment},
            {"prefetchable_alignment", scan.PrefetchableAlignment},
            {"bridges_per_bus", scan.MaxBridgesPerBus},
        };
    };
}

void Machine::onErrorLogEntry(const nt::ErrorLogEntry& entry)
{
    std::string text;
    if (auto rendered = kernel_.renderEvent(entry)) text = nt::narrow(*rendered);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    uint32_t code = 0;
    if (entry.bytes.size() >= 16) {
        code = static_cast<uint32_t>(entry.bytes[12]) | (entry.bytes[13] << 8) |
               (entry.bytes[14] << 16) | (static_cast<uint32_t>(entry.bytes[15]) << 24);
    }
    const std::string source = nt::narrow(nt::eventSourceName(entry.driverName));
    emit(Output::Kind::EventLog, source + " " + hex32(code) + (text.empty() ? "" : ": " + text),
         {{"source", source}, {"code", hex32(code)}, {"text", text}});
}

// Where an armed fault strikes: the call, and the function, transfer or request it hit.
void Machine::onFaultFired(nt::FaultPoint point, const nt::FaultSite& site, bool persistent)
{
    std::string text = std::string("fault struck: ") + nt::faultPointName(point);
    if (site.bus) {
        text += ", at " + pci::hex(*site.bus, 2) + ":" + pci::hex(site.device.value_or(0), 2) +
                "." + std::to_string(site.function.value_or(0));
    }
    if (site.write) {
        char span[48];
        std::snprintf(span, sizeof span, ", %s of %u byte%s at offset 0x%02x",
                      *site.write ? "write" : "read", site.length, site.length == 1 ? "" : "s",
                      site.offset);
        text += span;
    }
    if (site.major) text += ", " + pnp::minorName(*site.major, site.minor.value_or(0));
    if (persistent) text += "; every matching use after it fails too";
    emit(Output::Kind::Note, text, {{"text", text}});
}

// Every configuration cycle, and two bridges claiming one.
void Machine::reportHardware()
{
    hw_.onTransaction = [this](const pci::Transaction& t) { onTransaction(t); };
    // A cycle through a function's own interface that another function answered: the bus
    // numbers on its path changed under it.
    hw_.onMisrouted = [this](const pci::Transaction& t, const pci::Function*) {
        char text[96];
        std::snprintf(text, sizeof text, "%s %02x:%02x.%u offset 0x%02x reached %s",
                      t.write ? "write" : "read", t.bus & 0xFF, t.device & 0x1F, t.function & 7,
                      t.offset, t.claimed ? "another function" : "no function");
        misroutes_.push_back(text);
    };
    hw_.onConflict = [this](const std::string& text) {
        conflicts_.push_back(text);
        emit(Output::Kind::Conflict, text, {{"text", text}});
    };
}

// A fresh copy of the driver, its trace levels set as a kernel debugger sets them.
void Machine::loadFilter()
{
    driver_.emplace(kernel_.loadDriver(options_.driverPath, u"\\Driver\\hotpflt"));
    // A kernel image carries its own message table, which its entries render through.
    if (auto table = driver_->image->resource(11, 1)) {
        kernel_.registerEventSource(u"hotpflt", nt::MessageTable::parse(*table));
    }
    kernel_.nameAddress = [this](const void* address) { return stableName(address); };
    nt::Debugger debugger(*driver_);
    debugger.set("HotpDebugPrintLevel", options_.traceLevel);
    debugger.set("HotpDebugBreakLevel", options_.breakLevel);
}

// The PnP manager, with the bus driver serving the root bus and bridges, the generic driver
// every other function and the filter (when loaded) above the root bus.
void Machine::startPnpManager()
{
    pnp::DriverSetup setup;
    setup.functionDriver = [this](pnp::DeviceNode& node) -> PDRIVER_OBJECT {
        if (node.rootBus) {
            bus_.describeRoot(node.pdo, *node.rootBus);
            return bus_.driverObject();
        }
        pcibus::FunctionNode* f = bus_.function(node.pdo);
        return f != nullptr && f->isBridge() ? bus_.driverObject() : generic_.driverObject();
    };
    setup.upperFilters = [this](pnp::DeviceNode& node) {
        std::vector<PDRIVER_OBJECT> filters;
        if (node.rootBus && driver_) filters.push_back(driver_->object);
        return filters;
    };
    setup.isBus = [this](pnp::DeviceNode& node) {
        pcibus::FunctionNode* f = bus_.function(node.pdo);
        return f != nullptr && f->isBridge();
    };
    setup.describe = [this](PDEVICE_OBJECT pdo) { return nameOf(pdo); };
    setup.whyNotStarted = [this](pnp::DeviceNode& node) { return bus_.problem(node.pdo); };
    pnp_ = std::make_unique<pnp::Manager>(kernel_, setup);
    pnp_->onEvent = [this](const pnp::Event& e) { onPnpEvent(e); };
}

Machine::~Machine()
{
    if (!shutDown_) shutdown();
}

void Machine::emit(Output::Kind kind, const std::string& text, nlohmann::ordered_json fields,
                   std::optional<pci::Transaction> cycle)
{
    if (!sink_ || shutDown_) return;
    if (mark_) {
        fields["cpu"] = mark_->first;
        fields["thread"] = mark_->second;
    }
    sink_(Output{kind, text, std::move(fields), cycle});
}

// Every configuration cycle: writes always, reads when asked for; a bridge's bus numbers and a
// function's reset on leaving D3hot are told separately as well. The cycle goes out as it is, with
// its fields; the views write what it says.
void Machine::onTransaction(const pci::Transaction& t)
{
    if (!sink_ || shutDown_) return;
    const std::string where = pci::hex(t.bus & 0xFF, 2) + ":" + pci::hex(t.device & 0x1F, 2) + "." +
                              std::to_string(t.function & 7);
    const bool driverAbove = driver_.has_value();
    if (!t.write) {
        if (!options_.reportReads) return;
        emit(Output::Kind::Read, {},
             {{"who", actorKey(t.who, driverAbove)},
              {"bdf", where},
              {"offset", t.offset},
              {"width", t.length},
              {"value", t.value},
              {"register", pci::registerName(t.headerType, t.offset)},
              {"claimed", t.claimed}},
             t);
        return;
    }
    const bool bridge = t.claimed && (t.headerType & 0x7F) != 0;
    if (bridge && ((t.offset == pci::reg::PrimaryBus && t.length >= 3) ||
                   (t.offset == pci::reg::SubordinateBus && t.length == 1))) {
        nlohmann::ordered_json fields{{"who", actorKey(t.who, driverAbove)}, {"bdf", where}};
        if (t.offset == pci::reg::PrimaryBus) {
            fields["primary"] = t.after & 0xFF;
            fields["secondary"] = (t.after >> 8) & 0xFF;
        } else {
            fields["primary"] = nullptr;
            fields["secondary"] = nullptr;
        }
        fields["subordinate"] = t.offset == pci::reg::PrimaryBus ? (t.after >> 16) & 0xFF : t.after & 0xFF;
        emit(Output::Kind::BusNumbers, {}, std::move(fields), t);
    }
    emit(Output::Kind::Config, {},
         {{"who", actorKey(t.who, driverAbove)},
          {"bdf", where},
          {"offset", t.offset},
          {"width", t.length},
          {"old", t.before},
          {"new", t.after},
          {"value", t.value},
          {"register", pci::registerName(t.headerType, t.offset)},
          {"claimed", t.claimed}},
         t);
    // Leaving D3hot for D0 is an internal reset: every register returns to its power-on value.
    constexpr unsigned kPowerControl = pci::Function::PmCapability + 4;
    if (t.claimed && (t.headerType & 0x7F) == 0 && t.offset == kPowerControl &&
        (t.before & 3) == 3 && (t.after & 3) == 0) {
        emit(Output::Kind::Reset,
             where + " reset: back from D3hot to D0, every register at its power-on value",
             {{"bdf", where}, {"from", "D3"}, {"to", "D0"}});
    }
}

void Machine::onPnpEvent(const pnp::Event& e)
{
    // Nobody listening (an exploration's machines): nothing to build.
    if (!sink_ || shutDown_) return;
    switch (e.kind) {
    case pnp::Event::Kind::Request: {
        nlohmann::ordered_json fields{
            {"target", e.node != nullptr && !locationOf(*e.node).empty()
                           ? nlohmann::ordered_json(locationOf(*e.node))
                           : nlohmann::ordered_json()},
            {"name", e.node != nullptr ? e.node->name : std::string()},
            {"major", e.major == IRP_MJ_POWER ? "IRP_MJ_POWER" : "IRP_MJ_PNP"},
            {"minor", pnp::minorName(e.major, e.minor)},
            {"code", e.minor},
            {"state", nullptr}};
        if (e.powerType) {
            // DEVICE_POWER_STATE and SYSTEM_POWER_STATE both count from an unspecified state.
            const char prefix = *e.powerType == DevicePowerState ? 'D' : 'S';
            fields["state"] = e.powerState == 0 ? std::string("unspecified")
                                                : prefix + std::to_string(e.powerState - 1);
        }
        emit(Output::Kind::Request, e.text, std::move(fields));
        return;
    }
    case pnp::Event::Kind::Requirements: {
        if (e.node == nullptr) return;
        const bool changed = e.node->requirements != e.node->requirementsBeforeFilter;
        // Only what filtering changed, or what a scan of the hierarchy found, is worth telling.
        if (!changed && !scanTotals_ && !options_.allRequirements) return;
        nlohmann::ordered_json fields{
            {"bdf", locationOf(*e.node)},
            {"name", e.node->name},
            {"changed", changed},
            {"before", requirementsJson(e.node->requirementsBeforeFilter)},
            {"after", requirementsJson(e.node->requirements)},
            {"totals", scanTotals_ ? *scanTotals_ : nlohmann::ordered_json()}};
        scanTotals_.reset();
        emit(Output::Kind::Requirements, e.text, std::move(fields));
        return;
    }
    case pnp::Event::Kind::Granted: {
        if (e.node == nullptr) return;
        nlohmann::ordered_json fields{
            {"bdf", locationOf(*e.node)},
            {"name", e.node->name},
            {"type", e.range.type == CmResourceTypePort ? "io" : "memory"},
            {"prefetchable", (e.range.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0},
            {"asked", e.grant.asked},
            {"length", e.range.length},
            {"alternative", e.grant.alternative},
            {"start", e.range.start},
            {"end", e.range.end()}};
        emit(Output::Kind::Granted, e.text, std::move(fields));
        return;
    }
    case pnp::Event::Kind::Problem:
        emit(Output::Kind::Problem, e.text, {{"text", e.text}});
        return;
    case pnp::Event::Kind::Note:
        emit(Output::Kind::Note, e.text, {{"text", e.text}});
        return;
    }
}

std::string Machine::locationOf(const pnp::DeviceNode& node)
{
    pcibus::FunctionNode* f = bus_.function(node.pdo);
    return f != nullptr ? f->location() : std::string();
}

std::string Machine::roleOf(PDEVICE_OBJECT device)
{
    if (device->DeviceObjectExtension == nullptr || device->DeviceObjectExtension->AttachedTo == nullptr) {
        return "PDO";
    }
    if (driver_ && device->DriverObject == driver_->object && device->DeviceExtension != nullptr) {
        const auto* header = static_cast<const HOTP_COMMON_HEADER*>(device->DeviceExtension);
        if (header->Signature == HOTP_BUS_SIGNATURE) return "bus filter";
        if (header->Signature == HOTP_CHILD_SIGNATURE) return "child filter";
        return "filter";
    }
    if (device->DriverObject == bus_.driverObject() || device->DriverObject == generic_.driverObject()) {
        return "function driver";
    }
    return "filter";
}

std::string Machine::symbolize(const void* address)
{
    if (address == nullptr) return "unknown";
    std::string module = "hotpflt";
    if (driver_) {
        const UNICODE_STRING& name = driver_->object->DriverName;
        module = nt::narrow(std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
        if (auto slash = module.rfind('\\'); slash != std::string::npos) module.erase(0, slash + 1);
    }
    Dl_info info{};
    char text[160];
    if (dladdr(address, &info) != 0 && info.dli_sname != nullptr && info.dli_saddr != nullptr) {
        std::snprintf(text, sizeof text, "%s!%s+%#lx", module.c_str(), info.dli_sname,
                      static_cast<unsigned long>(static_cast<const char*>(address) -
                                                 static_cast<const char*>(info.dli_saddr)));
        return text;
    }
    if (dladdr(address, &info) != 0 && info.dli_fbase != nullptr) {
        std::snprintf(text, sizeof text, "%s+%#lx", module.c_str(),
                      static_cast<unsigned long>(static_cast<const char*>(address) -
                                                 static_cast<const char*>(info.dli_fbase)));
        return text;
    }
    return hex32(reinterpret_cast<uintptr_t>(address));
}

std::string Machine::stableName(const void* address)
{
    if (!driver_ || address == nullptr) return {};
    std::string module = "hotpflt";
    const UNICODE_STRING& name = driver_->object->DriverName;
    module = nt::narrow(std::u16string(name.Buffer, name.Length / sizeof(WCHAR)));
    if (auto slash = module.rfind('\\'); slash != std::string::npos) module.erase(0, slash + 1);
    char text[160];
    if (auto offset = driver_->image->offsetOf(address)) {
        std::snprintf(text, sizeof text, "%s+%#zx", module.c_str(), *offset);
        return text;
    }
    // A host module: only addresses of the module the driver's entry lies in are the driver's.
    Dl_info info{}, entry{};
    if (dladdr(address, &info) == 0 || dladdr(driver_->image->entryPoint(), &entry) == 0 ||
        info.dli_fbase != entry.dli_fbase) {
        return {};
    }
    return symbolize(address);
}

std::string Machine::nameOf(PDEVICE_OBJECT pdo)
{
    pcibus::FunctionNode* f = bus_.function(pdo);
    if (f == nullptr) return "device " + hex32(reinterpret_cast<uintptr_t>(pdo));
    return f->location() + " " + className(f->baseClass, f->subClass);
}

void Machine::boot(const std::vector<Event>& armed)
{
    const std::string firmwareStep = desc_.asFound ? "boot: firmware left the machine as captured"
                                                   : "boot: firmware configures what is present";
    emit(Output::Kind::Step, firmwareStep, {{"text", firmwareStep}});
    FirmwareReport report;
    {
        pci::Hierarchy::ActingAs firmware(hw_, pci::Actor::Firmware);
        std::vector<FirmwareRoot> roots{{0, desc_.windows}};
        for (const PeerRootDesc& peer : desc_.peers) roots.push_back({peer.number, peer.windows});
        report = runFirmware(hw_, roots, desc_.asFound);
    }
    for (const std::string& line : report.lines()) emit(Output::Kind::Firmware, line, {{"text", line}});
    for (const Event& e : armed) apply(e);
    emit(Output::Kind::Step, "boot: the PnP manager starts the PCI root bus",
         {{"text", "boot: the PnP manager starts the PCI root bus"}});
    auto windowsOf = [](const RootWindows& root) {
        std::vector<pnp::Range> windows;
        auto add = [&](const Window& w, UCHAR type, USHORT flags) {
            if (w.open()) windows.push_back({type, flags, w.base, w.size()});
        };
        add(root.io, CmResourceTypePort, 0);
        add(root.memory, CmResourceTypeMemory, 0);
        add(root.prefetchable, CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE);
        add(root.memory64, CmResourceTypeMemory, 0);
        return windows;
    };
    std::vector<pnp::Manager::RootBus> roots{{"PCI root bus", 0, windowsOf(desc_.windows)}};
    for (const PeerRootDesc& peer : desc_.peers) {
        roots.push_back({"PCI root bus " + pci::hex(peer.number, 2), peer.number,
                         windowsOf(peer.windows)});
    }
    pnp_->boot(std::move(roots));
}

std::optional<unsigned> Machine::busNumberOf(const pci::Bus* bus)
{
    if (bus == nullptr) return std::nullopt;
    for (const pci::Hierarchy::RootAt& root : hw_.roots()) {
        if (bus == root.bus) return root.number;
        if (const pci::Function* bridge = pci::bridgeAbove(*root.bus, *bus)) {
            return bridge->byte(pci::reg::SecondaryBus);
        }
    }
    return std::nullopt;
}

pnp::DeviceNode* Machine::busNode(unsigned number)
{
    for (pnp::DeviceNode* root : pnp_->roots()) {
        if (root->rootBus == number) return root;
    }
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

std::optional<std::array<unsigned, 3>> Machine::addressOf(const Location& where)
{
    std::string error;
    unsigned root = 0;
    auto path = resolveLocation(desc_, where, error, &root);
    if (!path) return std::nullopt;
    auto place = findPlace(hw_, *path, error, root);
    if (!place) return std::nullopt;
    auto number = busNumberOf(place->bus);
    if (!number) return std::nullopt;
    return std::array<unsigned, 3>{*number, place->device, place->function.value_or(0)};
}

bool Machine::apply(const Event& event)
{
    const Location& where =
        event.kind == EventKind::Power || event.kind == EventKind::Fail ? event.device : event.slot;
    std::string step = std::string(eventName(event.kind)) +
                       (event.card.empty() ? "" : " " + event.card) +
                       (where.text.empty() ? "" : " " + where.text);
    if (event.kind == EventKind::Power) step += " to D" + std::to_string(event.deviceState);
    if (event.kind == EventKind::Fail) step = "fail " + event.fault + (where.text.empty() ? "" : " " + where.text);
    emit(Output::Kind::Step, step, {{"text", step}});

    switch (event.kind) {
    case EventKind::Sleep: pnp_->sleep(); return true;
    case EventKind::Wake: pnp_->wake(); return true;
    case EventKind::Fail: return armFault(event);
    default: break;
    }
    const std::optional<Target> target = locate(event, where);
    if (!target) return false;
    switch (event.kind) {
    case EventKind::Insert: return insertCard(event, *target);
    case EventKind::Remove:
    case EventKind::SurpriseRemove: return removeCard(event, *target);
    case EventKind::Power: return setPower(event, *target);
    default: return refuse(event, "not an event this machine plays");
    }
}

bool Machine::refuse(const Event& event, const std::string& why)
{
    const std::string text = std::string(eventName(event.kind)) + ": " + why;
    emit(Output::Kind::Problem, text, {{"text", text}});
    return false;
}

// Where an event's location is in the hardware now, and the number its bus has now.
std::optional<Machine::Target> Machine::locate(const Event& event, const Location& where)
{
    std::string error;
    unsigned root = 0;
    auto path = resolveLocation(desc_, where, error, &root);
    auto place = path ? findPlace(hw_, *path, error, root) : std::nullopt;
    if (!place) {
        refuse(event, error);
        return std::nullopt;
    }
    auto number = busNumberOf(place->bus);
    if (!number) {
        refuse(event, "the bus of " + where.text + " is not reachable");
        return std::nullopt;
    }
    return Target{*place, *number};
}

bool Machine::armFault(const Event& event)
{
    if (event.fault == "none") {
        kernel_.faults().clear();
        emit(Output::Kind::Note, "faults disarmed");
        return true;
    }
    const FaultName* named = findFaultName(event.fault);
    if (named == nullptr) return refuse(event, "no fault named " + event.fault);
    const Location& where = event.device;
    nt::FaultAim aim;
    aim.write = named->write;
    aim.offset = event.offset;
    if (!where.text.empty()) {
        const std::optional<Target> target = locate(event, where);
        if (!target) return false;
        aim.bus = target->bus;
        aim.device = target->place.device;
        aim.function = target->place.function;
    }
    kernel_.faults().failNth(named->point, event.nth, !event.once, aim);
    // Where the fault is aimed, as the user named it and as bus numbers give it now.
    std::string aimed;
    if (aim.bus) {
        aimed += ", uses for " + where.text + " (" + pci::hex(*aim.bus, 2) + ":" +
                 pci::hex(aim.device.value_or(0), 2) +
                 (aim.function ? "." + std::to_string(*aim.function) : "") + ")";
    }
    if (aim.offset) aimed += ", transfers covering offset 0x" + pci::hex(*aim.offset, 2);
    emit(Output::Kind::Note, std::string("armed: ") + named->what + ", use " +
                                 std::to_string(event.nth) + (event.once ? " only" : " and on") +
                                 aimed + " (" + nt::faultPointName(named->point) + ")");
    return true;
}

bool Machine::insertCard(const Event& event, const Target& target)
{
    const CardDesc* card = desc_.card(event.card);
    if (card == nullptr) return refuse(event, "no card named " + event.card);
    if (!target.place.bus->insert(target.place.device, buildCard(*card))) {
        return refuse(event, event.slot.text + " is not a free hot-plug slot");
    }
    pnp::DeviceNode* parent = busNode(target.bus);
    if (parent == nullptr) return refuse(event, "no bus device serves bus " + std::to_string(target.bus));
    pnp_->enumerate(*parent);
    return true;
}

bool Machine::removeCard(const Event& event, const Target& target)
{
    const Place& place = target.place;
    if (!place.bus->occupied(place.device)) return refuse(event, event.slot.text + " holds no card");
    if (event.kind == EventKind::Remove) {
        for (unsigned fn = 0; fn < 8; ++fn) {
            if (pnp::DeviceNode* node = nodeAt(target.bus, place.device, fn)) pnp_->remove(*node);
        }
    }
    place.bus->remove(place.device);
    if (pnp::DeviceNode* parent = busNode(target.bus)) pnp_->enumerate(*parent);
    return true;
}

bool Machine::setPower(const Event& event, const Target& target)
{
    pnp::DeviceNode* node = nodeAt(target.bus, target.place.device, target.place.function.value_or(0));
    if (node == nullptr) return refuse(event, "no device at " + event.device.text);
    const auto state = static_cast<DEVICE_POWER_STATE>(PowerDeviceD0 + event.deviceState);
    NTSTATUS status = pnp_->setDevicePower(*node, state);
    if (!NT_SUCCESS(status)) return refuse(event, "the device refused D" + std::to_string(event.deviceState));
    return true;
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
