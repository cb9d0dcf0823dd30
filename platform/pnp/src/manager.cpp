#include <pnp/manager.hpp>

#include <nt/variable_length.hpp>
#include <pci/registers.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace pnp {

namespace {

std::string hex(uint64_t value) { return "0x" + pci::hex(value); }

std::string statusText(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(status));
    return status == STATUS_SUCCESS ? "success" : text;
}

std::string size(uint64_t bytes)
{
    if (bytes >= (1ull << 20) && bytes % (1ull << 20) == 0) return std::to_string(bytes >> 20) + " MB";
    if (bytes >= (1ull << 10) && bytes % (1ull << 10) == 0) return std::to_string(bytes >> 10) + " KB";
    return std::to_string(bytes) + " bytes";
}

std::string kindName(UCHAR type, USHORT flags)
{
    if (type == CmResourceTypePort) return "I/O";
    return (flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0 ? "prefetchable memory" : "memory";
}

bool overlaps(const Range& a, uint64_t start, uint64_t length)
{
    return a.type == CmResourceTypePort
               ? start <= a.end() && a.start <= start + length - 1
               : start <= a.end() && a.start <= start + length - 1;
}

// What a parent bus offered a descriptor that found no room: each window it could have gone
// into, and how much of it is already held, so a reason line shows why nothing fitted.
std::string offered(const std::vector<const Range*>& windows, const std::vector<Range>& taken,
                    UCHAR type, USHORT flags)
{
    if (windows.empty()) return "it has no " + kindName(type, flags) + " window";
    std::string text;
    for (const Range* w : windows) {
        uint64_t held = 0;
        for (const Range& t : taken) {
            if (t.type == w->type && overlaps(t, w->start, w->length)) {
                held += std::min(t.end(), w->end()) - std::max(t.start, w->start) + 1;
            }
        }
        char span[48];
        std::snprintf(span, sizeof span, "%llx-%llx", static_cast<unsigned long long>(w->start),
                      static_cast<unsigned long long>(w->end()));
        text += (text.empty() ? "" : "; ") + kindName(w->type, w->flags) + " window " + span +
                " (" + size(w->length) + "), " + (held == 0 ? "none" : size(held)) + " of it taken";
    }
    return text;
}

// The I/O and memory ranges of a resource list, every full descriptor in turn.
std::vector<Range> rangesOf(const CM_RESOURCE_LIST* list)
{
    std::vector<Range> out;
    const auto* base = reinterpret_cast<const unsigned char*>(list);
    size_t offset = offsetof(CM_RESOURCE_LIST, List);
    for (ULONG full = 0; full < list->Count; ++full) {
        const auto* partial = reinterpret_cast<const CM_PARTIAL_RESOURCE_LIST*>(
            base + offset + offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList));
        for (ULONG i = 0; i < partial->Count; ++i) {
            const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = *nt::partialAt(partial, i);
            if (d.Type != CmResourceTypePort && d.Type != CmResourceTypeMemory) continue;
            if (d.u.Generic.Length == 0) continue;
            const uint64_t start = d.u.Generic.Start[0] |
                                   (static_cast<uint64_t>(d.u.Generic.Start[1]) << 32);
            out.push_back(Range{d.Type, d.Flags, start, d.u.Generic.Length});
        }
        offset += offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                  offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                  partial->Count * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    }
    return out;
}

// The root enumerator: owns the physical device object of the root bus.
NTSTATUS NTAPI rootDispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
    } else if (stack->MajorFunction == IRP_MJ_PNP) {
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            irp->IoStatus.Status = STATUS_SUCCESS;
            break;
        default:
            break;
        }
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace

std::string minorName(UCHAR major, UCHAR minor)
{
    if (major == IRP_MJ_POWER) {
        switch (minor) {
        case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
        case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
        case IRP_MN_WAIT_WAKE: return "IRP_MN_WAIT_WAKE";
        default: return "power " + hex(minor);
        }
    }
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_CANCEL_REMOVE_DEVICE: return "IRP_MN_CANCEL_REMOVE_DEVICE";
    case IRP_MN_STOP_DEVICE: return "IRP_MN_STOP_DEVICE";
    case IRP_MN_QUERY_STOP_DEVICE: return "IRP_MN_QUERY_STOP_DEVICE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "IRP_MN_QUERY_DEVICE_RELATIONS";
    case IRP_MN_QUERY_INTERFACE: return "IRP_MN_QUERY_INTERFACE";
    case IRP_MN_QUERY_RESOURCES: return "IRP_MN_QUERY_RESOURCES";
    case IRP_MN_QUERY_RESOURCE_REQUIREMENTS: return "IRP_MN_QUERY_RESOURCE_REQUIREMENTS";
    case IRP_MN_FILTER_RESOURCE_REQUIREMENTS: return "IRP_MN_FILTER_RESOURCE_REQUIREMENTS";
    case IRP_MN_SURPRISE_REMOVAL: return "IRP_MN_SURPRISE_REMOVAL";
    default: return "PnP " + hex(minor);
    }
}

std::vector<Range> DeviceNode::windows() const { return assigned; }

std::vector<std::string> describeRequirements(const std::vector<uint8_t>& bytes)
{
    std::vector<std::string> lines;
    if (bytes.size() < offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List)) return {"(malformed list)"};
    const auto* list = reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(bytes.data());
    char text[160];
    std::snprintf(text, sizeof text, "list size %u, bus %u, slot %#x, %u alternative list(s)",
                  list->ListSize, list->BusNumber, list->SlotNumber, list->AlternativeLists);
    lines.push_back(text);
    size_t offset = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    for (ULONG a = 0; a < list->AlternativeLists; ++a) {
        if (offset + offsetof(IO_RESOURCE_LIST, Descriptors) > bytes.size()) break;
        const auto* alternative = reinterpret_cast<const IO_RESOURCE_LIST*>(bytes.data() + offset);
        for (ULONG i = 0; i < alternative->Count; ++i) {
            const size_t at = offset + offsetof(IO_RESOURCE_LIST, Descriptors) +
                              i * sizeof(IO_RESOURCE_DESCRIPTOR);
            if (at + sizeof(IO_RESOURCE_DESCRIPTOR) > bytes.size()) break;
            const auto* d = reinterpret_cast<const IO_RESOURCE_DESCRIPTOR*>(bytes.data() + at);
            std::snprintf(text, sizeof text,
                          "%s length %#x alignment %#x range %#llx-%#llx option %u flags %#x",
                          kindName(d->Type, d->Flags).c_str(), d->u.Memory.Length,
                          d->u.Memory.Alignment,
                          static_cast<unsigned long long>(d->u.Memory.MinimumAddress.QuadPart),
                          static_cast<unsigned long long>(d->u.Memory.MaximumAddress.QuadPart),
                          d->Option, d->Flags);
            lines.push_back(text);
        }
        offset += offsetof(IO_RESOURCE_LIST, Descriptors) +
                  alternative->Count * sizeof(IO_RESOURCE_DESCRIPTOR);
    }
    return lines;
}

Manager::Manager(nt::Kernel& kernel, DriverSetup setup)
    : kernel_(kernel), setup_(std::move(setup)),
      rootEnumerator_(kernel.createDriverObject(u"\\Driver\\root"))
{
    for (auto& major : rootEnumerator_->MajorFunction) major = rootDispatch;
}

Manager::~Manager()
{
    for (auto& node : roots_) letGo(*node);
    for (auto& node : graveyard_) letGo(*node);
}

// A device node holds a reference on its physical device object for as long as the node lives,
// as the PnP manager's device node does: the bus driver may delete the object once its device
// has gone, but its memory stays until the node lets it go.
void Manager::hold(DeviceNode& node)
{
    kernel_.referenceDevice(node.pdo);
    node.holdsPdo = true;
}

void Manager::letGo(DeviceNode& node)
{
    for (auto& child : node.children) letGo(*child);
    if (!node.holdsPdo) return;
    node.holdsPdo = false;
    kernel_.dereferenceDevice(node.pdo);
}

void Manager::note(Event::Kind kind, const std::string& text)
{
    Event event;
    event.kind = kind;
    event.text = text;
    note(std::move(event));
}

void Manager::note(Event event)
{
    if (onEvent) onEvent(event);
}

PDEVICE_OBJECT Manager::top(PDEVICE_OBJECT pdo) const
{
    while (pdo->AttachedDevice != nullptr) pdo = pdo->AttachedDevice;
    return pdo;
}

template <typename Fill>
Manager::Sent Manager::send(DeviceNode& node, UCHAR major, UCHAR minor, Fill fill)
{
    // On several processors another thread may have taken the device away meanwhile, and may
    // do so while this one waits for the stack: the node's reference keeps the physical device
    // object's memory, and whether it is still there is asked again once the stack is ours.
    if (!kernel_.isLiveDevice(node.pdo)) return Sent{STATUS_NO_SUCH_DEVICE, 0};
    if (major == IRP_MJ_PNP && (minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL)) {
        node.removing = true;
    }
    if (onRequest && !onRequest(node, major, minor, true)) return Sent{STATUS_UNSUCCESSFUL, 0};
    if (!kernel_.isLiveDevice(node.pdo)) {
        if (onRequest) onRequest(node, major, minor, false);
        return Sent{STATUS_NO_SUCH_DEVICE, 0};
    }
    // The top of the stack, referenced as IoGetAttachedDeviceReference does, so that the request
    // can reach it even if its driver deletes it meanwhile (its remove lock then refuses it).
    PDEVICE_OBJECT target = top(node.pdo);
    kernel_.referenceDevice(target);
    PIRP irp = kernel_.allocateIrp(target->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    fill(stack, irp);
    Event request;
    request.kind = Event::Kind::Request;
    request.text = minorName(major, minor) + " -> " + node.name;
    request.node = &node;
    request.major = major;
    request.minor = minor;
    if (major == IRP_MJ_POWER && (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER)) {
        request.powerType = stack->Parameters.Power.Type;
        request.powerState = stack->Parameters.Power.Type == DevicePowerState
                                 ? static_cast<ULONG>(stack->Parameters.Power.State.DeviceState)
                                 : static_cast<ULONG>(stack->Parameters.Power.State.SystemState);
    }
    note(request);
    // PnP requests arrive at passive level. Power requests do too only on a stack whose top
    // device object says its power handling is pageable (DO_POWER_PAGABLE); on any other stack
    // they may arrive at dispatch level, and are delivered there, completions included.
    const KIRQL saved = kernel_.irql();
    if (major == IRP_MJ_POWER && (target->Flags & DO_POWER_PAGABLE) == 0) {
        kernel_.setIrql(DISPATCH_LEVEL);
    }
    kernel_.sendToStack(target, irp);
    kernel_.waitForRequest(irp);
    kernel_.setIrql(saved);
    kernel_.dereferenceDevice(target);
    if (onRequest) onRequest(node, major, minor, false);
    Sent sent{irp->IoStatus.Status, irp->IoStatus.Information};
    if (!kernel_.isCompleted(irp)) {
        kernel_.violation("request never completed", minorName(major, minor) + " to " + node.name);
        sent.status = STATUS_UNSUCCESSFUL;
    } else {
        IoFreeIrp(irp);
    }
    return sent;
}

DeviceNode* Manager::find(PDEVICE_OBJECT pdo) const
{
    for (DeviceNode* n : nodes()) {
        if (n->pdo == pdo) return n;
    }
    return nullptr;
}

std::vector<DeviceNode*> Manager::nodes() const
{
    std::vector<DeviceNode*> out;
    std::function<void(DeviceNode*)> walk = [&](DeviceNode* n) {
        out.push_back(n);
        for (auto& c : n->children) walk(c.get());
    };
    for (const auto& root : roots_) walk(root.get());
    return out;
}

std::vector<DeviceNode*> Manager::roots() const
{
    std::vector<DeviceNode*> out;
    for (const auto& root : roots_) out.push_back(root.get());
    return out;
}

void Manager::boot(std::vector<Range> rootWindows)
{
    boot(std::vector<RootBus>{{"PCI root bus", 0, std::move(rootWindows)}});
}

void Manager::boot(std::vector<RootBus> roots)
{
    for (RootBus& bus : roots) {
        PDEVICE_OBJECT pdo = kernel_.createDevice(rootEnumerator_, 0, FILE_DEVICE_BUS_EXTENDER, 0,
                                                  false, false);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        auto node = std::make_unique<DeviceNode>();
        DeviceNode& root = *node;
        roots_.push_back(std::move(node));
        root.name = bus.name;
        root.pdo = pdo;
        hold(root);
        root.isBus = true;
        root.rootBus = bus.number;
        note(Event::Kind::Note, "root bus device " + root.name);

        if (PDRIVER_OBJECT function = setup_.functionDriver(root)) {
            function->DriverExtension->AddDevice(function, pdo);
        }
        for (PDRIVER_OBJECT filter : setup_.upperFilters(root)) {
            NTSTATUS status = filter->DriverExtension->AddDevice(filter, pdo);
            note(Event::Kind::Note, "upper filter AddDevice on " + root.name + ": " +
                                        statusText(status));
        }
        root.assigned = std::move(bus.windows);
        start(root);
        if (root.state == DeviceNode::State::Started) enumerate(root);
    }
}

void Manager::enumerate(DeviceNode& bus)
{
    Burial burial(*this);
    // The relations and the change they make to the bus's children are one step, as under the
    // PnP manager's lock on its device tree: no other thread's older answer can undo a newer
    // one. What follows (removal of what has gone, the sequence of what is new) runs outside it.
    if (onTreeLock) onTreeLock(bus, true);
    struct Unlock {
        Manager& manager;
        DeviceNode& bus;
        bool held = true;
        void operator()()
        {
            if (held && manager.onTreeLock) manager.onTreeLock(bus, false);
            held = false;
        }
        ~Unlock() { (*this)(); }
    } unlock{*this, bus};
    Sent sent = send(bus, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                     [](PIO_STACK_LOCATION s, PIRP) {
                         s->Parameters.QueryDeviceRelations.Type = BusRelations;
                     });
    if (!NT_SUCCESS(sent.status)) {
        unlock();
        // The bus keeps the devices it last reported; new ones stay unknown until it answers.
        bus.enumerationProblem = "bus relations failed (" + statusText(sent.status) +
                                 "): devices added to the bus are not reported";
        note(Event::Kind::Problem, bus.name + ": " + bus.enumerationProblem);
        return;
    }
    bus.enumerationProblem.clear();
    if (sent.information == 0) return;
    auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(sent.information);
    std::vector<PDEVICE_OBJECT> listed;
    for (ULONG i = 0; i < relations->Count; ++i) listed.push_back(*nt::objectAt(relations, i));
    ExFreePool(relations);
    // The list's references go once every new device has a node of its own.
    struct Release {
        nt::Kernel& kernel;
        const std::vector<PDEVICE_OBJECT>& objects;
        ~Release()
        {
            for (PDEVICE_OBJECT pdo : objects) kernel.dereferenceDevice(pdo);
        }
    } release{kernel_, listed};

    // Devices no longer listed have gone; every new one gets a node.
    std::vector<DeviceNode*> gone;
    for (auto& child : bus.children) {
        if (std::find(listed.begin(), listed.end(), child->pdo) == listed.end()) {
            gone.push_back(child.get());
        }
    }
    for (DeviceNode* node : gone) forget(*node);
    std::vector<DeviceNode*> fresh;
    for (PDEVICE_OBJECT pdo : listed) {
        auto known = std::find_if(bus.children.begin(), bus.children.end(),
                                  [&](const auto& c) { return c->pdo == pdo; });
        if (known != bus.children.end()) continue;
        // Listed, then removed by another thread before this one got here: it has gone.
        if (!kernel_.isLiveDevice(pdo)) continue;
        auto node = std::make_unique<DeviceNode>();
        node->pdo = pdo;
        hold(*node);
        node->parent = &bus;
        node->name = setup_.describe ? setup_.describe(pdo) : "device";
        kernel_.deviceNode(pdo)->Flags = DNF_PROCESSED | DNF_ENUMERATED;
        fresh.push_back(node.get());
        bus.children.push_back(std::move(node));
    }
    unlock();

    // Surprise removal for those of the gone still running.
    for (DeviceNode* node : gone) {
        note(Event::Kind::Note, node->name + " is no longer reported by its bus");
        removeTree(*node, node->state != DeviceNode::State::Removed);
    }
    // Every new device is interrogated before any of them gets drivers, so that the boot
    // configurations of all of them are known, and reserved, before the first is assigned
    // resources.
    std::vector<std::pair<DeviceNode*, PIO_RESOURCE_REQUIREMENTS_LIST>> added;
    for (DeviceNode* node : fresh) {
        note(Event::Kind::Note, "new device " + node->name);
        added.emplace_back(node, interrogate(*node));
    }
    for (auto& [node, list] : added) processNew(*node, list);
}

// What a new device is asked before it has drivers: its boot configuration, which stays
// reserved until it starts, and its resource requirements.
PIO_RESOURCE_REQUIREMENTS_LIST Manager::interrogate(DeviceNode& node)
{
    Sent boot = send(node, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, [](PIO_STACK_LOCATION, PIRP) {});
    if (NT_SUCCESS(boot.status) && boot.information != 0) {
        auto* resources = reinterpret_cast<PCM_RESOURCE_LIST>(boot.information);
        node.bootConfiguration = rangesOf(resources);
        ExFreePool(resources);
    }
    Sent asked = send(node, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCE_REQUIREMENTS,
                      [](PIO_STACK_LOCATION, PIRP) {});
    // A device whose requirements cannot be read is not started: starting it without resources
    // would leave it decoding whatever its registers hold.
    if (!NT_SUCCESS(asked.status) && asked.status != STATUS_NOT_SUPPORTED) {
        node.state = DeviceNode::State::NotStarted;
        node.problem = "the resource requirements query failed (" + statusText(asked.status) + ")";
        const std::string why = setup_.whyNotStarted ? setup_.whyNotStarted(node) : std::string();
        if (!why.empty()) node.problem += ": " + why;
    }
    return NT_SUCCESS(asked.status)
               ? reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(asked.information)
               : nullptr;
}

// The rest of a new device's sequence, in the PnP manager's order: add-device of its function
// driver and its upper filters, filtering of its requirements by the whole stack, arbitration,
// start, and for a bus its enumeration.
void Manager::processNew(DeviceNode& node, PIO_RESOURCE_REQUIREMENTS_LIST list)
{
    if (PDRIVER_OBJECT function = setup_.functionDriver(node)) {
        NTSTATUS status = function->DriverExtension->AddDevice(function, node.pdo);
        if (!NT_SUCCESS(status)) {
            node.state = DeviceNode::State::NotStarted;
            node.problem = "the function driver's add-device failed (" + statusText(status) + ")";
        }
    }
    for (PDRIVER_OBJECT filter : setup_.upperFilters(node)) {
        filter->DriverExtension->AddDevice(filter, node.pdo);
    }

    if (list != nullptr && node.state != DeviceNode::State::NotStarted) {
        auto* bytes = reinterpret_cast<const uint8_t*>(list);
        node.requirementsBeforeFilter.assign(bytes, bytes + list->ListSize);
        Sent filtered = send(node, IRP_MJ_PNP, IRP_MN_FILTER_RESOURCE_REQUIREMENTS,
                             [list](PIO_STACK_LOCATION s, PIRP irp) {
                                 s->Parameters.FilterResourceRequirements
                                     .IoResourceRequirementList = list;
                                 irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(list);
                             });
        if (NT_SUCCESS(filtered.status) && filtered.information != 0) {
            list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(filtered.information);
        }
        bytes = reinterpret_cast<const uint8_t*>(list);
        node.requirements.assign(bytes, bytes + list->ListSize);
        Event filteredList;
        filteredList.kind = Event::Kind::Requirements;
        filteredList.text = "requirements of " + node.name +
                            (node.requirements != node.requirementsBeforeFilter ? " changed by filtering"
                                                                                : " kept by filtering");
        filteredList.node = &node;
        note(std::move(filteredList));
    }

    if (node.state != DeviceNode::State::NotStarted) {
        bool fits = true;
        if (list != nullptr && list->AlternativeLists > 0) {
            fits = arbitrate(node, *nt::firstAlternative(list), node.assigned);
        }
        if (fits) start(node);
    }
    if (list != nullptr) ExFreePool(list);
    if (node.state != DeviceNode::State::Started) {
        note(Event::Kind::Problem, node.name + " not started: " + node.problem);
        return;
    }
    if (setup_.isBus && setup_.isBus(node)) {
        node.isBus = true;
        enumerate(node);
    }
}

// Places each requirement in the parent bus's windows, naturally aligned, clear of what the
// parent's other children hold: what a started one was assigned, and the boot configuration of
// one not started, which its hardware may still decode. A requirement is a descriptor (option 0,
// preferred or default) and the IO_RESOURCE_ALTERNATIVE descriptors that follow it; they are
// tried in order and the first that fits is granted. A device one of whose requirements fits in
// none of its descriptors is not started, and neither is one whose list holds an alternative
// descriptor that follows nothing it could stand in for.
bool Manager::arbitrate(DeviceNode& node, const IO_RESOURCE_LIST& list, std::vector<Range>& out)
{
    std::vector<Range> taken;
    for (const auto& sibling : node.parent->children) {
        if (sibling.get() == &node || sibling->state == DeviceNode::State::Removed) continue;
        const std::vector<Range>& held = sibling->state == DeviceNode::State::Started
                                             ? sibling->assigned
                                             : sibling->bootConfiguration;
        taken.insert(taken.end(), held.begin(), held.end());
    }
    const std::vector<Range> windows = node.parent->windows();
    out.clear();
    node.grants.clear();
    auto refuse = [&](const std::string& problem) {
        node.state = DeviceNode::State::NotStarted;
        node.problem = problem;
        kernel_.deviceNode(node.pdo)->Flags |= DNF_INSUFFICIENT_RESOURCES;
        out.clear();
        node.grants.clear();
        return false;
    };
    auto arbitrated = [](const IO_RESOURCE_DESCRIPTOR& d) {
        return d.Type == CmResourceTypePort || d.Type == CmResourceTypeMemory;
    };

    // The requirements: each descriptor that is not an alternative begins one. Device-private
    // data and resources nobody arbitrates take no alternatives.
    std::vector<std::vector<const IO_RESOURCE_DESCRIPTOR*>> requirements;
    for (ULONG i = 0; i < list.Count; ++i) {
        const IO_RESOURCE_DESCRIPTOR* d = nt::descriptorAt(&list, i);
        if ((d->Option & IO_RESOURCE_ALTERNATIVE) == 0) {
            requirements.push_back({d});
            continue;
        }
        const bool takesAlternatives =
            !requirements.empty() && requirements.back().front()->Type != CmResourceTypeNull &&
            (requirements.back().front()->Type & 0x80) == 0;  // CmResourceTypeNonArbitrated
        if (!takesAlternatives) {
            return refuse("its requirements list is not valid: descriptor " + std::to_string(i) +
                          " is an alternative to no preferred or default descriptor");
        }
        requirements.back().push_back(d);
    }

    // Where a descriptor fits: the start found, and the windows it was offered.
    auto place = [&](const IO_RESOURCE_DESCRIPTOR& d, std::vector<const Range*>& candidates)
        -> std::optional<uint64_t> {
        const uint64_t length = d.u.Memory.Length;
        const uint64_t alignment = d.u.Memory.Alignment == 0 ? 1 : d.u.Memory.Alignment;
        const uint64_t minimum = static_cast<uint64_t>(d.u.Memory.MinimumAddress.QuadPart);
        const uint64_t maximum = static_cast<uint64_t>(d.u.Memory.MaximumAddress.QuadPart);
        const bool prefetchable = (d.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;

        // Prefetchable memory prefers a prefetchable window; other memory never goes into one.
        candidates.clear();
        for (int pass = 0; pass < 2; ++pass) {
            for (const Range& w : windows) {
                if (w.type != d.Type) continue;
                const bool wPrefetch = (w.flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;
                if (d.Type == CmResourceTypeMemory) {
                    if (pass == 0 && wPrefetch != prefetchable) continue;
                    if (pass == 1 && (wPrefetch || !prefetchable)) continue;
                } else if (pass == 1) {
                    continue;
                }
                candidates.push_back(&w);
            }
        }
        // What the device itself decodes where firmware put it is not given to another of its
        // own ranges, which may come before it in the list.
        const bool fixed = maximum >= minimum && maximum - minimum + 1 == length;
        for (const Range* w : candidates) {
            uint64_t start = std::max(w->start, minimum);
            start = (start + alignment - 1) / alignment * alignment;
            while (length > 0 && start + length - 1 <= std::min(w->end(), maximum)) {
                auto clashes = [&](const Range& t) {
                    return t.type == d.Type && overlaps(t, start, length);
                };
                const Range* clash = nullptr;
                auto other = std::find_if(taken.begin(), taken.end(), clashes);
                if (other != taken.end()) clash = &*other;
                if (clash == nullptr && !fixed) {
                    auto own = std::find_if(node.bootConfiguration.begin(),
                                            node.bootConfiguration.end(), clashes);
                    if (own != node.bootConfiguration.end()) clash = &*own;
                }
                if (clash == nullptr) return start;
                start = (clash->end() + 1 + alignment - 1) / alignment * alignment;
            }
        }
        return std::nullopt;
    };

    for (const auto& choices : requirements) {
        const IO_RESOURCE_DESCRIPTOR& first = *choices.front();
        if (!arbitrated(first)) continue;
        std::vector<const Range*> offeredFirst, candidates;
        bool placed = false;
        for (size_t k = 0; k < choices.size() && !placed; ++k) {
            const IO_RESOURCE_DESCRIPTOR& d = *choices[k];
            if (!arbitrated(d)) continue;
            const std::optional<uint64_t> start = place(d, candidates);
            if (k == 0) offeredFirst = candidates;
            if (!start) continue;
            Range r{d.Type, d.Flags, *start, d.u.Memory.Length};
            out.push_back(r);
            taken.push_back(r);
            node.grants.push_back(Grant{static_cast<unsigned>(k), first.u.Memory.Length});
            placed = true;
        }
        if (placed) continue;

        const bool prefetchable = (first.Flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;
        std::string problem = "no room for " + size(first.u.Memory.Length) + " of " +
                              kindName(first.Type, first.Flags);
        std::string others;
        for (size_t k = 1; k < choices.size(); ++k) {
            const IO_RESOURCE_DESCRIPTOR& d = *choices[k];
            std::string text = size(d.u.Memory.Length);
            if (d.Type != first.Type || d.Flags != first.Flags) {
                text += " of " + kindName(d.Type, d.Flags);
            }
            others += (k == 1 ? "" : k + 1 == choices.size() ? " and " : ", ") + text;
        }
        if (!others.empty()) {
            problem += ", nor for its alternative" + std::string(choices.size() > 2 ? "s" : "") +
                       " of " + others + ",";
        }
        problem += " in the windows of " + node.parent->name + ": " +
                   offered(offeredFirst, taken, first.Type, first.Flags);
        // Prefetchable memory shares the memory window of a bus without a prefetchable
        // window, which was sized without it unless whoever sized it counted it there.
        const bool sharing =
            prefetchable && !offeredFirst.empty() &&
            std::none_of(offeredFirst.begin(), offeredFirst.end(), [](const Range* w) {
                return (w->flags & CM_RESOURCE_MEMORY_PREFETCHABLE) != 0;
            });
        if (sharing) {
            problem += "; " + node.parent->name +
                       " has no prefetchable window, so prefetchable memory must fit in its "
                       "memory window";
        }
        return refuse(problem);
    }

    // What an alternative rather than the preferred descriptor gave is told.
    for (size_t i = 0; i < out.size(); ++i) {
        if (node.grants[i].alternative == 0) continue;
        Event granted;
        granted.kind = Event::Kind::Granted;
        granted.node = &node;
        granted.range = out[i];
        granted.grant = node.grants[i];
        char span[48];
        std::snprintf(span, sizeof span, "%llx-%llx", static_cast<unsigned long long>(out[i].start),
                      static_cast<unsigned long long>(out[i].end()));
        granted.text = node.name + ": the alternative " + size(out[i].length) + " of " +
                       kindName(out[i].type, out[i].flags) + " at " + span + " (asked for " +
                       size(node.grants[i].asked) + ")";
        note(std::move(granted));
    }
    return true;
}

void Manager::start(DeviceNode& node)
{
    const size_t count = node.assigned.size();
    const size_t bytes = offsetof(CM_RESOURCE_LIST, List) +
                         offsetof(CM_FULL_RESOURCE_DESCRIPTOR, PartialResourceList) +
                         offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors) +
                         std::max<size_t>(count, 1) * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
    auto* resources = static_cast<PCM_RESOURCE_LIST>(
        kernel_.allocatePool(PagedPool, bytes, 0x20706E50 /* "PnP " */, false));
    std::memset(resources, 0, bytes);
    resources->Count = 1;
    resources->List[0].InterfaceType = PCIBus;
    CM_PARTIAL_RESOURCE_LIST* partial = nt::firstPartialList(resources);
    partial->Version = 1;
    partial->Revision = 1;
    partial->Count = static_cast<ULONG>(count);
    for (size_t i = 0; i < count; ++i) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR& d = *nt::partialAt(partial, i);
        d.Type = node.assigned[i].type;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.Flags = node.assigned[i].flags;
        d.u.Generic.Start[0] = static_cast<ULONG>(node.assigned[i].start);
        d.u.Generic.Start[1] = static_cast<ULONG>(node.assigned[i].start >> 32);
        d.u.Generic.Length = static_cast<ULONG>(node.assigned[i].length);
    }
    Sent sent = send(node, IRP_MJ_PNP, IRP_MN_START_DEVICE, [resources](PIO_STACK_LOCATION s, PIRP) {
        s->Parameters.StartDevice.AllocatedResources = resources;
        s->Parameters.StartDevice.AllocatedResourcesTranslated = resources;
    });
    ExFreePool(resources);
    PDEVICE_NODE flags = kernel_.deviceNode(node.pdo);
    flags->Flags |= DNF_ADDED | DNF_RESOURCE_ASSIGNED;
    if (NT_SUCCESS(sent.status)) {
        node.state = DeviceNode::State::Started;
        node.problem.clear();
        flags->Flags |= DNF_STARTED;
    } else {
        node.state = DeviceNode::State::NotStarted;
        node.problem = "start failed (" + statusText(sent.status) + ")";
        const std::string why = setup_.whyNotStarted ? setup_.whyNotStarted(node) : "";
        if (!why.empty()) node.problem += ": " + why;
        // A stack whose start failed is removed: its function driver and filters detach and
        // delete their device objects, while the bus driver keeps the physical device object of
        // a device still present. The resources assigned for the start are released; the node
        // keeps its problem.
        send(node, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION, PIRP) {});
        node.driversRemoved = true;
        node.assigned.clear();
        node.grants.clear();
        flags->Flags &= ~(DNF_ADDED | DNF_RESOURCE_ASSIGNED);
    }
}

// Orderly removal, in the order the PnP manager keeps: query-remove to every device of the
// subtree, children before their parent; then, when none refused, remove in the same order. A
// device that fails its query vetoes the whole removal: every device queried, the one that
// refused included, gets cancel-remove, parents before their children, and keeps running. A
// device whose drivers have already been removed (its start failed) is not asked, as nothing
// above its physical device object could refuse; it gets remove so its bus driver hears of it.
bool Manager::remove(DeviceNode& node)
{
    Burial burial(*this);
    std::vector<DeviceNode*> order;
    std::function<void(DeviceNode&)> collect = [&](DeviceNode& n) {
        if (n.state == DeviceNode::State::Removed) return;
        for (auto& child : n.children) collect(*child);
        order.push_back(&n);
    };
    collect(node);
    std::vector<DeviceNode*> queried;
    for (DeviceNode* n : order) {
        if (n->driversRemoved) continue;
        queried.push_back(n);
        Sent query = send(*n, IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, [](PIO_STACK_LOCATION, PIRP) {});
        if (NT_SUCCESS(query.status)) continue;
        note(Event::Kind::Problem, "removal of " + node.name + " vetoed: " + n->name +
                                       " failed IRP_MN_QUERY_REMOVE_DEVICE (" +
                                       statusText(query.status) + ")");
        for (auto it = queried.rbegin(); it != queried.rend(); ++it) {
            send(**it, IRP_MJ_PNP, IRP_MN_CANCEL_REMOVE_DEVICE, [](PIO_STACK_LOCATION, PIRP) {});
        }
        return false;
    }
    for (DeviceNode* n : order) {
        send(*n, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION, PIRP) {});
        n->state = DeviceNode::State::Removed;
        n->problem = "removed";
        bury(n->children);
    }
    return true;
}

// A device that has gone: its subtree first, then surprise removal for one still running and
// removal in every case, so the bus driver can delete its physical device object.
void Manager::removeTree(DeviceNode& node, bool surprise)
{
    std::vector<DeviceNode*> children;
    for (auto& child : node.children) children.push_back(child.get());
    for (DeviceNode* child : children) removeTree(*child, surprise && child->state != DeviceNode::State::Removed);
    bury(node.children);
    if (surprise && !node.driversRemoved) {
        send(node, IRP_MJ_PNP, IRP_MN_SURPRISE_REMOVAL, [](PIO_STACK_LOCATION, PIRP) {});
    }
    send(node, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION, PIRP) {});
    node.state = DeviceNode::State::Removed;
}

void Manager::forget(DeviceNode& node)
{
    auto& siblings = node.parent->children;
    auto gone = std::find_if(siblings.begin(), siblings.end(),
                             [&](const auto& c) { return c.get() == &node; });
    if (gone == siblings.end()) return;
    graveyard_.push_back(std::move(*gone));
    siblings.erase(gone);
}

// Nodes leave the tree but stay in memory while something may still hold one: the enumeration
// or removal that took them away, which walks its own lists of them to the end, and, on
// simulated processors, a power request on another processor (and the scheduler's bookkeeping,
// which knows nodes by address), so there they stay until the manager goes. On one processor
// each enumeration or removal runs to its end before anything else asks for a node, so the
// outermost one frees what it buried: a long run of hot add and removal keeps no node it took
// away.
void Manager::bury(std::vector<std::unique_ptr<DeviceNode>>& nodes)
{
    for (auto& node : nodes) graveyard_.push_back(std::move(node));
    nodes.clear();
}

Manager::Burial::~Burial()
{
    if (--m.depth_ != 0 || m.kernel_.scheduler() != nullptr) return;
    // Each node lets its physical device object go before it is freed.
    for (auto& node : m.graveyard_) m.letGo(*node);
    m.graveyard_.clear();
}

NTSTATUS Manager::setDevicePower(DeviceNode& node, DEVICE_POWER_STATE state)
{
    // The device's power policy owner, its function driver, asks for no more power requests
    // once the device's removal has begun; one already on its way meets the remove lock.
    if (node.removing) return STATUS_DELETE_PENDING;
    Sent sent = send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION s, PIRP) {
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = state;
    });
    if (NT_SUCCESS(sent.status)) node.power = state;
    return sent.status;
}

void Manager::sleep()
{
    std::vector<DeviceNode*> all = nodes();
    for (auto it = all.rbegin(); it != all.rend(); ++it) {
        DeviceNode& node = **it;
        if (node.state != DeviceNode::State::Started) continue;
        send(node, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION s, PIRP) {
            s->Parameters.Power.Type = SystemPowerState;
            s->Parameters.Power.State.SystemState = PowerSystemSleeping3;
        });
        setDevicePower(node, PowerDeviceD3);
    }
}

// Wake: each stack, parents before children, first hears that the system is working again (S0),
// and only then is its device taken back to D0, as its power policy owner asks on that news.
void Manager::wake()
{
    for (DeviceNode* node : nodes()) {
        if (node->state != DeviceNode::State::Started) continue;
        send(*node, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION s, PIRP) {
            s->Parameters.Power.Type = SystemPowerState;
            s->Parameters.Power.State.SystemState = PowerSystemWorking;
        });
        setDevicePower(*node, PowerDeviceD0);
    }
}

// The simulated machine is taken apart: each device below the root is removed in order. One
// whose removal is vetoed has been told it stays (cancel-remove), but the machine goes all the
// same, so its subtree is then treated as hardware that has disappeared: surprise removal and
// removal, after which every driver has deleted its device objects, as at a real surprise
// removal.
void Manager::shutdown()
{
    // Peer root buses go first, the first root bus last.
    while (!roots_.empty()) {
        DeviceNode& root = *roots_.back();
        for (auto& child : root.children) {
            if (!remove(*child)) removeTree(*child, true);
        }
        bury(root.children);
        if (!remove(root)) removeTree(root, true);
        if (kernel_.isLiveDevice(root.pdo)) {
            if (root.pdo->AttachedDevice == nullptr) kernel_.deleteDevice(root.pdo);
        }
        graveyard_.push_back(std::move(roots_.back()));
        roots_.pop_back();
    }
    // Every node has gone: their objects may go too, before what is left is counted.
    for (auto& node : graveyard_) letGo(*node);
}

}  // namespace pnp
