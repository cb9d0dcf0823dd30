// The I/O manager of the stand-in: driver objects, device objects and their stacks, requests with
// real stack locations, IofCallDriver, the completion walk and the power manager's two calls.
// The verifier watches each of them as it runs.
#include <nt/kernel.hpp>
#include <nt/sched.hpp>
#include <nt/verifier.hpp>

#include "stack_locations.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace nt {

namespace {

using io::hex;
using io::kInvokeOnAny;
using io::kUnpreparedFill;
using io::location;
using io::locationNumber;

// Moves the request one location up without the verifier's touch check (the I/O manager's own
// moves).
void advance(PIRP irp)
{
    irp->CurrentLocation++;
    irp->Tail.Overlay.CurrentStackLocation++;
}

// What the I/O manager clears in a stack location once completion has passed it.
void clearLocation(PIO_STACK_LOCATION stack)
{
    stack->MinorFunction = 0;
    stack->Flags = 0;
    stack->Control = 0;
    std::memset(&stack->Parameters, 0, sizeof(stack->Parameters));
    stack->FileObject = nullptr;
}

// What the memory of a deleted device object is filled with once nothing can reach it.
constexpr uint8_t kDeletedFill = 0xDD;

// An error (not a warning): the I/O manager's test for leaving a caller's status block alone.
bool isError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}


}  // namespace

namespace io {

std::string statusText(NTSTATUS status)
{
    std::ostringstream out;
    out << std::hex << static_cast<ULONG>(status);
    return out.str();
}

bool isRemovalOrCancel(PIO_STACK_LOCATION stack)
{
    if (stack->MajorFunction != IRP_MJ_PNP) return false;
    switch (stack->MinorFunction) {
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
        return true;
    default:
        return false;
    }
}

}  // namespace io

// --- drivers ------------------------------------------------------------------------------------

PDRIVER_OBJECT Kernel::createDriverObject(const std::u16string& name)
{
    auto record = std::make_unique<DriverRecord>();
    record->name = name;
    auto* block = static_cast<uint8_t*>(arena_.allocate(sizeof(DRIVER_OBJECT) +
                                                        sizeof(DRIVER_EXTENSION)));
    std::memset(block, 0, sizeof(DRIVER_OBJECT) + sizeof(DRIVER_EXTENSION));
    record->object = reinterpret_cast<PDRIVER_OBJECT>(block);
    auto* extension = reinterpret_cast<PDRIVER_EXTENSION>(block + sizeof(DRIVER_OBJECT));
    DRIVER_OBJECT& object = *record->object;
    object.Type = IO_TYPE_DRIVER;
    object.Size = sizeof(DRIVER_OBJECT);
    object.DriverExtension = extension;
    extension->DriverObject = &object;
    object.DriverName.Buffer = record->name.data();
    object.DriverName.Length = static_cast<USHORT>(record->name.size() * sizeof(WCHAR));
    object.DriverName.MaximumLength = object.DriverName.Length;
    for (auto& major : object.MajorFunction) major = InvalidDeviceRequest;
    drivers_.push_back(std::move(record));
    return &object;
}

LoadedDriver Kernel::loadDriver(const std::string& path, const std::u16string& name)
{
    LoadedDriver loaded;
    loaded.image = DriverImage::open(path, *this);
    auto* entry = reinterpret_cast<PDRIVER_INITIALIZE>(loaded.image->entryPoint());
    if (entry == nullptr) throw std::runtime_error(path + ": no DriverEntry");
    loaded.object = createDriverObject(name);
    static std::u16string registryPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\hotpflt";
    UNICODE_STRING registry{static_cast<USHORT>(registryPath.size() * 2),
                            static_cast<USHORT>(registryPath.size() * 2), registryPath.data()};
    KIRQL saved = irql_;
    irql_ = PASSIVE_LEVEL;
    loaded.entryStatus = entry(loaded.object, &registry);
    irql_ = saved;
    loaded.image->entryReturned();
    return loaded;
}

// --- device objects -----------------------------------------------------------------------------

PDEVICE_OBJECT Kernel::createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type,
                                    ULONG characteristics, bool exclusive, bool faultable)
{
    if (irql_ > PASSIVE_LEVEL) {
        violation("IoCreateDevice at raised IRQL", "IRQL " + std::to_string(irql_));
    }
    if (faultable && faults_.shouldFail(FaultPoint::CreateDevice)) return nullptr;

    auto roundUp = [](size_t n) { return (n + 7) & ~size_t{7}; };
    size_t extensionOffset = roundUp(sizeof(DEVICE_OBJECT));
    size_t doeOffset = extensionOffset + roundUp(extensionSize);
    size_t total = doeOffset + sizeof(DEVOBJ_EXTENSION);
    auto* block = static_cast<uint8_t*>(arena_.allocate(total));
    std::memset(block, 0, total);

    auto* device = reinterpret_cast<PDEVICE_OBJECT>(block);
    auto* doe = reinterpret_cast<PDEVOBJ_EXTENSION>(block + doeOffset);
    device->Type = IO_TYPE_DEVICE;
    device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + extensionSize);
    device->DriverObject = driver;
    device->NextDevice = driver->DeviceObject;
    if (device->NextDevice != nullptr) devices_.at(device->NextDevice).previous = device;
    driver->DeviceObject = device;
    device->Flags = DO_DEVICE_INITIALIZING | (exclusive ? 0x8u : 0u);
    device->Characteristics = characteristics;
    device->DeviceExtension = extensionSize != 0 ? block + extensionOffset : nullptr;
    device->DeviceType = type;
    device->StackSize = 1;
    device->DeviceObjectExtension = doe;
    doe->Type = IO_TYPE_DEVICE_OBJECT_EXTENSION;
    doe->Size = sizeof(DEVOBJ_EXTENSION);
    doe->DeviceObject = device;
    DeviceRecord record;
    record.size = total;
    devices_.emplace(device, record);
    return device;
}

PDEVICE_NODE Kernel::deviceNode(PDEVICE_OBJECT pdo)
{
    PDEVICE_NODE& node = deviceNodes_[pdo];
    if (node == nullptr) {
        node = static_cast<PDEVICE_NODE>(arena_.allocate(sizeof(DEVICE_NODE)));
        std::memset(node, 0, sizeof(DEVICE_NODE));
        pdo->DeviceObjectExtension->DeviceNode = node;
    }
    return node;
}

bool Kernel::isLiveDevice(PDEVICE_OBJECT device) const
{
    auto it = devices_.find(device);
    return it != devices_.end() && !it->second.deleted;
}

std::vector<PDEVICE_OBJECT> Kernel::liveDevices(PDRIVER_OBJECT driver) const
{
    std::vector<PDEVICE_OBJECT> live;
    for (const auto& [device, record] : devices_) {
        if (!record.deleted && (driver == nullptr || device->DriverObject == driver)) {
            live.push_back(device);
        }
    }
    std::sort(live.begin(), live.end());  // in address order, the same in every run
    return live;
}

PDEVICE_OBJECT Kernel::attachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target, bool faultable)
{
    checkIrql("IoAttachDeviceToDeviceStack", PASSIVE_LEVEL);
    if (faultable && faults_.shouldFail(FaultPoint::AttachDevice)) return nullptr;
    if (isPoisonPointer(source) || isPoisonPointer(target)) {
        usedAfterDelete(isPoisonPointer(source) ? source : target, "IoAttachDeviceToDeviceStack");
        return nullptr;
    }
    // A target deleted by its driver while somebody still holds a reference (a physical device
    // object listed in bus relations, deleted meanwhile on another processor) takes no new
    // attachment, as the I/O manager refuses one to a device whose deletion is pending; a
    // deleted device attaching itself, or a target whose memory is gone, is a fault.
    if (isLiveDevice(source) && !isLiveDevice(target) && devices_.count(target) != 0 &&
        !isPoisoned(target)) {
        return nullptr;
    }
    if (!isLiveDevice(source) || !isLiveDevice(target)) {
        violation("attachment", "IoAttachDeviceToDeviceStack with a deleted device object");
        return nullptr;
    }
    PDEVICE_OBJECT top = target;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    // A device still being initialised by its own driver cannot take an attachment.
    if ((top->Flags & DO_DEVICE_INITIALIZING) != 0) return nullptr;
    top->AttachedDevice = source;
    source->StackSize = static_cast<CCHAR>(top->StackSize + 1);
    source->AlignmentRequirement = top->AlignmentRequirement;
    source->SectorSize = top->SectorSize;
    source->DeviceObjectExtension->AttachedTo = top;
    return top;
}

void Kernel::detachDevice(PDEVICE_OBJECT target)
{
    if (irql_ > PASSIVE_LEVEL) {
        violation("IoDetachDevice at raised IRQL", "IRQL " + std::to_string(irql_));
    }
    if (usedAfterDelete(target, "IoDetachDevice")) return;
    PDEVICE_OBJECT attached = target->AttachedDevice;
    if (attached == nullptr) {
        violation("detach", "IoDetachDevice on " + hex(target) + ", which has nothing attached");
        return;
    }
    attached->DeviceObjectExtension->AttachedTo = nullptr;
    target->AttachedDevice = nullptr;
    // The detach drops the last reference either side may have held.
    poisonIfUnreferenced(attached);
    poisonIfUnreferenced(target);
}

bool Kernel::isPoisonPointer(PVOID object)
{
    // A pointer read out of poisoned memory is made of the poison byte.
    uintptr_t poison = 0;
    std::memset(&poison, kDeletedFill, sizeof poison);
    return reinterpret_cast<uintptr_t>(object) == poison;
}

bool Kernel::isPoisoned(PVOID object) const
{
    if (isPoisonPointer(object)) return true;
    auto it = devices_.find(static_cast<PDEVICE_OBJECT>(object));
    return it != devices_.end() && it->second.poisoned;
}

bool Kernel::usedAfterDelete(PVOID object, const char* routine)
{
    if (!isPoisoned(object)) return false;
    violation("device object used after deletion",
              std::string(routine) + " given " + hex(object) +
                  ", a deleted device object or a pointer read from one");
    return true;
}

void Kernel::referenceDevice(PDEVICE_OBJECT device)
{
    auto it = devices_.find(device);
    if (it == devices_.end() || it->second.poisoned) {
        violation("device object used after deletion",
                  "ObReferenceObject given " + hex(device) + ", which is not a device object");
        return;
    }
    ++it->second.references;
}

void Kernel::dereferenceDevice(PDEVICE_OBJECT device)
{
    auto it = devices_.find(device);
    if (it == devices_.end() || it->second.references == 0) {
        violation("reference count below zero",
                  "ObDereferenceObject of " + hex(device) + ", which holds no reference");
        return;
    }
    if (--it->second.references == 0) poisonIfUnreferenced(device);
}

void Kernel::poisonIfUnreferenced(PDEVICE_OBJECT device)
{
    auto it = devices_.find(device);
    if (it == devices_.end() || !it->second.deleted || it->second.poisoned) return;
    if (it->second.references != 0) return;
    if (device->AttachedDevice != nullptr || device->DeviceObjectExtension->AttachedTo != nullptr) {
        return;
    }
    std::memset(device, kDeletedFill, it->second.size);
    it->second.poisoned = true;
    retireDevice(device);  // its quarantine starts now
}

void Kernel::checkDeletedDevice(PDEVICE_OBJECT device, DeviceRecord& record)
{
    if (!record.poisoned || record.writeReported) return;
    // Every quarantined device is looked at after each request the platform sends: compare
    // whole chunks with the poison first, and find the byte only when one differs.
    static const auto poison = [] {
        std::array<uint8_t, 256> bytes;
        bytes.fill(kDeletedFill);
        return bytes;
    }();
    const auto* bytes = reinterpret_cast<const uint8_t*>(device);
    size_t chunk = 0;
    while (chunk < record.size) {
        const size_t length = std::min(poison.size(), record.size - chunk);
        if (std::memcmp(bytes + chunk, poison.data(), length) != 0) break;
        chunk += length;
    }
    for (size_t i = chunk; i < record.size; ++i) {
        if (bytes[i] != kDeletedFill) {
            record.writeReported = true;
            violation("device object used after deletion",
                      "byte " + std::to_string(i) + " of deleted device object " + hex(device) +
                          " was written");
            return;
        }
    }
}

void Kernel::sweepDeletedDevices()
{
    for (PDEVICE_OBJECT device : deletedDevices_) checkDeletedDevice(device, devices_.at(device));
}

void Kernel::deleteDevice(PDEVICE_OBJECT device)
{
    auto it = devices_.find(device);
    if (it == devices_.end()) {
        violation("delete", "IoDeleteDevice of " + hex(device) + ", not a device object");
        return;
    }
    if (it->second.deleted) {
        violation("device deleted twice", "IoDeleteDevice of " + hex(device) + " again");
        return;
    }
    if (it->second.poisoned) return;
    // A device with others still attached above may go: the kernel keeps its memory until they
    // detach, as a bus driver deleting the physical device object of a vanished function needs.
    if (device->DeviceObjectExtension->AttachedTo != nullptr) {
        violation("device deleted while attached",
                  hex(device) + " is still attached to " +
                      hex(device->DeviceObjectExtension->AttachedTo));
    }
    // Out of the driver's list of devices, in constant time.
    PDEVICE_OBJECT previous = it->second.previous;
    PDEVICE_OBJECT next = device->NextDevice;
    if (previous != nullptr) {
        previous->NextDevice = next;
    } else {
        device->DriverObject->DeviceObject = next;
    }
    if (next != nullptr) devices_.at(next).previous = previous;
    device->NextDevice = nullptr;
    it->second.previous = nullptr;
    // The memory stays while another device still points at this one (a filter above, or the
    // device below this one's attachment); after that it is poisoned and kept in quarantine a
    // while, so that late use is seen.
    it->second.deleted = true;
    poisonIfUnreferenced(device);
}

void Kernel::releasePlatformDevice(PDEVICE_OBJECT device)
{
    if (device == nullptr || !isLiveDevice(device)) return;
    PDEVICE_OBJECT above = device->AttachedDevice;
    if (above != nullptr) {
        above->DeviceObjectExtension->AttachedTo = nullptr;
        device->AttachedDevice = nullptr;
    }
    // Out of the stack below too, so that no device keeps a link to memory that is reused.
    PDEVICE_OBJECT below = device->DeviceObjectExtension->AttachedTo;
    if (below != nullptr && below->AttachedDevice == device) below->AttachedDevice = nullptr;
    device->DeviceObjectExtension->AttachedTo = nullptr;
    deleteDevice(device);
    // A deleted device that only this one still linked to is unreferenced now.
    if (above != nullptr) poisonIfUnreferenced(above);
    if (below != nullptr) poisonIfUnreferenced(below);
}

// --- requests -----------------------------------------------------------------------------------

Kernel::IrpRecord* Kernel::irpRecord(PIRP irp)
{
    if (irp == lastIrp_ && irp != nullptr) return lastRecord_;
    auto it = irps_.find(irp);
    if (it == irps_.end()) return nullptr;
    lastIrp_ = irp;
    lastRecord_ = &it->second;
    return lastRecord_;
}

Kernel::Activation* Kernel::innermostActivation(PIRP irp)
{
    for (auto it = activations_.rbegin(); it != activations_.rend(); ++it) {
        if (it->irp == nullptr) break;  // deferred work: what lies below is another context's
        if (it->irp == irp) return &*it;
    }
    return nullptr;
}

PIRP Kernel::newIrp(CCHAR stackSize, bool threadRequest)
{
    size_t total = sizeof(IRP) + static_cast<size_t>(stackSize) * sizeof(IO_STACK_LOCATION);
    auto* irp = static_cast<PIRP>(arena_.allocate(total));
    std::memset(irp, 0, total);
    irp->Type = IO_TYPE_IRP;
    irp->Size = static_cast<USHORT>(total);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = location(irp, stackSize + 1);
    IrpRecord record;
    record.threadRequest = threadRequest;
    record.locations.resize(static_cast<size_t>(stackSize) + 2);
    IrpRecord& kept = irps_[irp];
    kept = std::move(record);
    lastIrp_ = irp;
    lastRecord_ = &kept;
    return irp;
}

PIRP Kernel::allocateIrp(CCHAR stackSize) { return newIrp(stackSize, false); }

void Kernel::freeIrp(PIRP irp)
{
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr || record->state == IrpState::Freed) {
        violation("request freed twice", "IoFreeIrp of " + hex(irp));
        return;
    }
    // The owner may free its request from its own completion routine, which runs once the walk
    // has left every stack location.
    const bool withOwner = irp->CurrentLocation > irp->StackCount;
    if (record->state == IrpState::InFlight ||
        (record->state == IrpState::Completing && !withOwner)) {
        violation("request freed in flight", "IoFreeIrp of " + hex(irp) + " before completion");
    }
    retireIrp(irp);
}

bool Kernel::isCompleted(PIRP irp) const
{
    auto it = irps_.find(irp);
    return it != irps_.end() &&
           (it->second.state == IrpState::Completed || it->second.state == IrpState::Freed);
}

void Kernel::onCompleted(PIRP irp, std::function<void(PIRP)> done)
{
    if (IrpRecord* record = irpRecord(irp)) record->done = std::move(done);
}

void Kernel::touchIrp(PIRP irp, const char* what)
{
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr) {
        violation("unknown request", std::string(what) + " on " + hex(irp));
        return;
    }
    if (record->state == IrpState::Freed) {
        violation("request touched after it was freed", std::string(what) + " on " + hex(irp));
        return;
    }
    Activation* activation = innermostActivation(irp);
    if (activation == nullptr) return;  // the request's owner
    if (record->state == IrpState::Completed) {
        violation("request touched after completion", std::string(what) + " on " + hex(irp));
    } else if (activation->passedOn) {
        violation("request touched after it was passed on",
                  std::string(what) + " on " + hex(irp) + " by " + hex(activation->device));
    }
}

NTSTATUS Kernel::sendToStack(PDEVICE_OBJECT device, PIRP irp)
{
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    bool power = location(irp, irp->CurrentLocation - 1)->MajorFunction == IRP_MJ_POWER;
    return callDriver(top, irp, power);
}

NTSTATUS Kernel::callDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver)
{
    touchIrp(irp, viaPoCallDriver ? "PoCallDriver" : "IofCallDriver");
    IoEvent call{*this, irp, device};
    call.viaPoCallDriver = viaPoCallDriver;
    Verifier::at(VerifierEvent::Call, call);
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr || record->state == IrpState::Freed) return STATUS_INVALID_PARAMETER;
    if (isPoisonPointer(device)) {
        usedAfterDelete(device, viaPoCallDriver ? "PoCallDriver" : "IofCallDriver");
        return STATUS_NO_SUCH_DEVICE;
    }

    // The routine passing the request on, if a routine of a driver does.
    const std::optional<size_t> callerIndex = [&]() -> std::optional<size_t> {
        Activation* caller = innermostActivation(irp);
        if (caller == nullptr) return std::nullopt;
        return static_cast<size_t>(caller - activations_.data());
    }();
    call.record = record;
    call.routine = callerIndex ? &activations_[*callerIndex] : nullptr;
    if (auto refused = Verifier::at(VerifierEvent::Send, call)) return *refused;

    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    const int n = irp->CurrentLocation;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    stack->DeviceObject = device;
    call.stack = stack;
    call.location = n;
    Verifier::at(VerifierEvent::Arrive, call);

    if (stack->MajorFunction == IRP_MJ_POWER) record->powerVisit(device).reached = true;
    const bool removal = stack->MajorFunction == IRP_MJ_PNP &&
                         stack->MinorFunction == IRP_MN_REMOVE_DEVICE &&
                         device->DeviceObjectExtension->AttachedTo != nullptr;
    record->sent = true;
    if (callerIndex) activations_[*callerIndex].passedOn = true;
    record->state = IrpState::InFlight;
    record->locations[n] = IrpLocation{};

    // The location below this routine's own holds nothing usable until the routine copies its
    // own location into it (or skips, and never looks at it).
    if (n > 1) std::memset(location(irp, n - 1), kUnpreparedFill, sizeof(IO_STACK_LOCATION));

    const NTSTATUS status = callDispatch(device, irp, removal);
    // What the routine returned, held against its stack location.
    IoEvent returned{*this, irp, device};
    returned.record = irpRecord(irp);
    if (returned.record == nullptr) return status;  // freed and out of quarantine meanwhile
    returned.status = status;
    returned.location = n;
    returned.stack = location(irp, n);
    Verifier::at(VerifierEvent::ReturnStatus, returned);
    if (callerIndex) rememberAfterPass(*callerIndex, irp);
    return status;
}

// Calls the dispatch routine of `device` for the request that has just reached its location.
NTSTATUS Kernel::callDispatch(PDEVICE_OBJECT device, PIRP irp, bool removal)
{
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
    const bool power = stack->MajorFunction == IRP_MJ_POWER;
    const bool pageable = (device->Flags & DO_POWER_PAGABLE) != 0;
    // Power requests reach a device that is not pageable at DISPATCH_LEVEL.
    const KIRQL callerIrql = irql_;
    if (power && !pageable && irql_ < DISPATCH_LEVEL) irql_ = DISPATCH_LEVEL;

    const size_t depth = activations_.size();
    Activation entry{irp, irp->CurrentLocation, device};
    entry.dispatch = true;
    entry.irql = irql_;
    entry.statusAtEntry = irp->IoStatus.Status;
    entry.callerRoutine = stack->CompletionRoutine;
    entry.callerContext = stack->Context;
    entry.callerInvoke = stack->Control & kInvokeOnAny;
    activations_.push_back(std::move(entry));
    PDRIVER_DISPATCH dispatch = device->DriverObject->MajorFunction[stack->MajorFunction];
    activations_.back().routine = reinterpret_cast<const void*>(dispatch);
    checkPageable(reinterpret_cast<const void*>(dispatch), "dispatch routine");
    preempt();
    const NTSTATUS status = dispatch(device, irp);
    preempt();
    checkLocksOnReturn(depth, "dispatch", device);
    checkAfterPass(activations_[depth]);
    IoEvent returned{*this, irp, device};
    returned.irqlAtCall = activations_[depth].irql;
    returned.removal = removal;
    activations_.resize(depth);
    Verifier::at(VerifierEvent::Return, returned);
    irql_ = callerIrql;
    if (depth == 0) sweepDeletedDevices();
    return status;
}

void Kernel::rememberAfterPass(size_t index, PIRP irp)
{
    if (index >= activations_.size()) return;
    Activation& a = activations_[index];
    const IrpRecord* record = irpRecord(irp);
    if (a.irp != irp || !a.passedOn || record == nullptr || record->state == IrpState::Freed) {
        return;
    }
    // Another thread's completion walk still going on (it paused at a routine of its own) goes
    // on writing the request: what it writes is not this routine's doing.
    if (record->state == IrpState::Completing && record->completer != currentThread()) return;
    a.completionsSeen = record->completions;
    if (snapshots_.size() <= index) snapshots_.resize(index + 1);
    const auto* bytes = reinterpret_cast<const uint8_t*>(irp);
    snapshots_[index].assign(bytes, bytes + irp->Size);
    a.snapshot = true;
}

void Kernel::checkAfterPass(Activation& a)
{
    if (!a.snapshot) return;
    a.snapshot = false;
    const std::vector<uint8_t>& before = snapshots_[static_cast<size_t>(&a - activations_.data())];
    const IrpRecord* record = irpRecord(a.irp);
    if (record == nullptr || record->state == IrpState::Freed || !a.passedOn) return;
    // On simulated processors another thread may have completed the request since: what the
    // completion wrote is not this routine's doing.
    if (record->completions != a.completionsSeen && record->completer != currentThread()) return;
    if (std::memcmp(before.data(), a.irp, before.size()) != 0) {
        violation("request written after it was passed on",
                  "a routine of " + hex(a.device) +
                      " changed the request after passing it down or completing it");
    }
}

void Kernel::checkAllAfterPass()
{
    for (Activation& a : activations_) checkAfterPass(a);
}

void Kernel::completeRequest(PIRP irp)
{
    IrpRecord* record = irpRecord(irp);
    // A second completion is reported as that alone, not also as a touch after the first.
    const bool completedBefore = record != nullptr && (record->state == IrpState::Completing ||
                                                       record->state == IrpState::Completed);
    if (!completedBefore) touchIrp(irp, "IoCompleteRequest");
    if (record == nullptr || record->state == IrpState::Freed) return;
    ++record->completions;
    record->completer = currentThread();
    Activation* completer = innermostActivation(irp);
    const std::optional<size_t> completerIndex =
        completer != nullptr ? std::optional<size_t>(static_cast<size_t>(
                                   completer - activations_.data()))
                             : std::nullopt;
    IoEvent complete{*this, irp};
    complete.record = record;
    complete.routine = completer;
    // A request completed again by its builder, past every stack location, has none to check.
    if (irp->CurrentLocation <= irp->StackCount) complete.stack = irp->Tail.Overlay.CurrentStackLocation;
    if (Verifier::at(VerifierEvent::Complete, complete)) return;
    if (completer != nullptr) completer->passedOn = true;
    record->state = IrpState::Completing;
    const KIRQL walkIrql = irql_;
    // Which major the walk completes, read before the walk clears the locations.
    const bool power = irp->CurrentLocation <= irp->StackCount &&
                       irp->Tail.Overlay.CurrentStackLocation->MajorFunction == IRP_MJ_POWER;

    // Walk up from the completing location; the walk ends with the request back at
    // StackCount + 1, where its owner built it.
    for (PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation;
         irp->CurrentLocation <= irp->StackCount; stack++) {
        advance(irp);
        const int n = locationNumber(irp, stack);
        record->locations[n].controlAtCompletion = stack->Control;
        IoEvent step{*this, irp};
        step.record = record;
        step.location = n;
        step.stack = stack;
        Verifier::at(VerifierEvent::WalkStep, step);
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        const bool success = NT_SUCCESS(irp->IoStatus.Status);
        const bool invoke = (success && (stack->Control & SL_INVOKE_ON_SUCCESS) != 0) ||
                            (!success && (stack->Control & SL_INVOKE_ON_ERROR) != 0) ||
                            (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL) != 0);
        if (invoke && stack->CompletionRoutine != nullptr) {
            if (callCompletionRoutine(irp, stack, walkIrql) == STATUS_MORE_PROCESSING_REQUIRED) {
                reclaim(irp);
                return;
            }
        } else {
            if (irp->CurrentLocation <= irp->StackCount && irp->PendingReturned) {
                irp->Tail.Overlay.CurrentStackLocation->Control |= SL_PENDING_RETURNED;
            }
            clearLocation(stack);
        }
    }

    record->state = IrpState::Completed;
    if (power) {
        // Every driver a power request reached starts the next one, once.
        IoEvent walked{*this, irp};
        walked.record = record;
        Verifier::at(VerifierEvent::WalkEnd, walked);
    }
    finishRequest(irp, *record);
    if (completerIndex) rememberAfterPass(*completerIndex, irp);
}

// Calls the completion routine held in `stack`, which the walk has just left, as the driver that
// owns the location above would be called.
NTSTATUS Kernel::callCompletionRoutine(PIRP irp, PIO_STACK_LOCATION stack, KIRQL walkIrql)
{
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    const UCHAR major = stack->MajorFunction;
    clearLocation(stack);
    PDEVICE_OBJECT owner = irp->CurrentLocation == irp->StackCount + 1
                               ? nullptr
                               : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
    const size_t depth = activations_.size();
    activations_.push_back(Activation{irp, irp->CurrentLocation, owner});
    activations_.back().irql = irql_;
    activations_.back().routine = reinterpret_cast<const void*>(routine);
    const NTSTATUS statusBefore = irp->IoStatus.Status;
    checkPageable(reinterpret_cast<const void*>(routine), "completion routine");
    preempt();
    NTSTATUS status = routine(owner, irp, context);
    preempt();
    checkLocksOnReturn(depth, "a completion routine", owner);
    activations_.resize(depth);
    IoEvent returned{*this, irp, owner};
    returned.irqlAtCall = walkIrql;
    returned.status = status;
    returned.statusBefore = statusBefore;
    returned.major = major;
    Verifier::at(VerifierEvent::CompletionReturn, returned);
    irql_ = walkIrql;
    return status;
}

// A completion routine returned STATUS_MORE_PROCESSING_REQUIRED and stopped the walk.
void Kernel::reclaim(PIRP irp)
{
    // The request belongs to the routine's driver again. Past the top location that is the
    // driver that built it with IoAllocateIrp, done with the stack and free to free it; a request
    // from IoBuildSynchronousFsdRequest is completed once more by its builder so that the I/O
    // manager finishes it.
    IrpRecord* record = irpRecord(irp);
    if (record != nullptr && record->state == IrpState::Completing) {
        const bool reclaimed = irp->CurrentLocation > irp->StackCount && !record->threadRequest;
        record->state = reclaimed ? IrpState::Completed : IrpState::InFlight;
    }
    for (Activation& a : activations_) {
        if (a.irp == irp && a.location == irp->CurrentLocation) a.passedOn = false;
    }
}

// The walk is done: the request goes back to whoever asked for it.
void Kernel::finishRequest(PIRP irp, IrpRecord& record)
{
    if (record.threadRequest) {
        // The I/O manager's part for a request built by IoBuildSynchronousFsdRequest. A request
        // that ends in an error without having been pended returns its status through
        // IoCallDriver alone: the status block and the event are left as they are. Otherwise
        // the status is copied out and the event signalled. Either way the request is freed.
        if (!isError(irp->IoStatus.Status) || irp->PendingReturned) {
            if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
            if (irp->UserEvent != nullptr) KeSetEvent(irp->UserEvent, 0, FALSE);
        }
        retireIrp(irp);
    } else if (record.done) {
        auto done = std::move(record.done);
        done(irp);
    }
}

void Kernel::startNextPowerIrp(PIRP irp)
{
    touchIrp(irp, "PoStartNextPowerIrp");
    IrpRecord* record = irpRecord(irp);
    if (record == nullptr) return;
    Activation* activation = innermostActivation(irp);
    PDEVICE_OBJECT device = activation != nullptr ? activation->device : nullptr;
    if (++record->powerVisit(device).startedNext > 1) {
        violation("PoStartNextPowerIrp called twice",
                  "by " + hex(device) + " for one power request");
    }
}

}  // namespace nt

// --- the routines drivers call ------------------------------------------------------------------

using nt::Kernel;

extern "C" {

NTSTATUS NTAPI NT_IMAGE_CALLABLE IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                              PUNICODE_STRING, DEVICE_TYPE DeviceType,
                              ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT* DeviceObject)
{
    Kernel::current().preempt();
    PDEVICE_OBJECT device = Kernel::current().createDevice(
        DriverObject, DeviceExtensionSize, DeviceType, DeviceCharacteristics, Exclusive != 0);
    if (device == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    *DeviceObject = device;
    return STATUS_SUCCESS;
}

PDEVICE_OBJECT NTAPI NT_IMAGE_CALLABLE IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                                 PDEVICE_OBJECT TargetDevice)
{
    Kernel::current().preempt();
    return Kernel::current().attachDevice(SourceDevice, TargetDevice);
}

VOID NTAPI NT_IMAGE_CALLABLE IoDetachDevice(PDEVICE_OBJECT TargetDevice)
{
    Kernel::current().preempt();
    Kernel::current().detachDevice(TargetDevice);
}

VOID NTAPI NT_IMAGE_CALLABLE IoDeleteDevice(PDEVICE_OBJECT DeviceObject)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    if (kernel.irql() > PASSIVE_LEVEL) {
        kernel.violation("IoDeleteDevice at raised IRQL", "IRQL " + std::to_string(kernel.irql()));
    }
    kernel.deleteDevice(DeviceObject);
}

NTSTATUS FASTCALL NT_IMAGE_CALLABLE IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return Kernel::current().callDriver(DeviceObject, Irp, false);
}

// A request completed happens before whatever its sender does once it sees it completed.
VOID FASTCALL NT_IMAGE_CALLABLE IofCompleteRequest(PIRP Irp, CCHAR)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    kernel.sync(Irp, true);
    kernel.completeRequest(Irp);
}

PIRP NTAPI NT_IMAGE_CALLABLE IoAllocateIrp(CCHAR StackSize, BOOLEAN)
{
    Kernel::current().checkIrql("IoAllocateIrp", DISPATCH_LEVEL);
    return Kernel::current().allocateIrp(StackSize);
}

VOID NTAPI NT_IMAGE_CALLABLE IoFreeIrp(PIRP Irp)
{
    Kernel::current().checkIrql("IoFreeIrp", DISPATCH_LEVEL);
    Kernel::current().freeIrp(Irp);
}

PIRP NTAPI NT_IMAGE_CALLABLE IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject,
                                        PVOID Buffer, ULONG Length,
                                        PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                        PIO_STATUS_BLOCK IoStatusBlock)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    kernel.checkIrql("IoBuildSynchronousFsdRequest", PASSIVE_LEVEL);
    if (kernel.usedAfterDelete(DeviceObject, "IoBuildSynchronousFsdRequest")) return nullptr;
    if (kernel.faults().shouldFail(nt::FaultPoint::BuildRequest)) return nullptr;
    PIRP irp = kernel.newIrp(DeviceObject->StackSize, true);
    PIO_STACK_LOCATION next = irp->Tail.Overlay.CurrentStackLocation - 1;
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Others.Argument1 = reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(Length));
        next->Parameters.Others.Argument3 = StartingOffset;
    }
    irp->UserBuffer = Buffer;
    irp->UserIosb = IoStatusBlock;
    irp->UserEvent = Event;
    return irp;
}

VOID NTAPI NT_IMAGE_CALLABLE KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State)
{
    std::memset(Event, 0, sizeof(*Event));
    Event->Header.Type = static_cast<UCHAR>(Type);
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.SignalState = State;
}

LONG NTAPI NT_IMAGE_CALLABLE KeSetEvent(PRKEVENT Event, LONG, BOOLEAN)
{
    if (Kernel::hasCurrent()) {
        Kernel::current().checkIrql("KeSetEvent", DISPATCH_LEVEL);
        Kernel::current().sync(Event, true);
    }
    LONG previous = Event->Header.SignalState;
    Event->Header.SignalState = 1;
    return previous;
}

// Without simulated processors the stand-in runs one thread: a wait runs the deferred work
// (completions that lower drivers pended) until the object is signalled, as the other threads of
// a real machine would. With them, the waiting thread blocks until the DPC runner or another
// thread signals the object.
NTSTATUS NTAPI NT_IMAGE_CALLABLE KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                                     PLARGE_INTEGER Timeout)
{
    Kernel& kernel = Kernel::current();
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    if (!poll && kernel.irql() > APC_LEVEL) {
        kernel.violation("wait at raised IRQL", "KeWaitForSingleObject at IRQL " +
                                                    std::to_string(kernel.irql()));
    }
    kernel.preempt();
    auto* event = static_cast<PKEVENT>(Object);
    // The DPC runner waiting inside pended work it runs has nobody else to run the rest: it runs
    // it itself, as the one-thread stand-in does.
    if (kernel.scheduler() != nullptr && kernel.scheduler()->inThread() && !kernel.runningDeferredHere()) {
        // Nobody left to signal it once no work is pending: that wait is never satisfied.
        if (!poll) kernel.scheduler()->blockUntil([event, &kernel] {
            return event->Header.SignalState != 0 || !kernel.workPending();
        });
    } else {
        while (event->Header.SignalState == 0 && !poll && kernel.runOneDeferred()) {
        }
    }
    if (event->Header.SignalState != 0) kernel.sync(event, false);
    if (event->Header.SignalState == 0) {
        if (Timeout == nullptr) {
            kernel.violation("wait never satisfied",
                             "KeWaitForSingleObject with no time-out on an event nobody sets");
        }
        return STATUS_TIMEOUT;
    }
    if (event->Header.Type == SynchronizationEvent) event->Header.SignalState = 0;
    return STATUS_SUCCESS;
}

KIRQL NTAPI NT_IMAGE_CALLABLE KeGetCurrentIrql(VOID) { return Kernel::current().irql(); }

VOID NTAPI NT_IMAGE_CALLABLE PoStartNextPowerIrp(PIRP Irp)
{
    Kernel::current().preempt();
    Kernel::current().checkIrql("PoStartNextPowerIrp", DISPATCH_LEVEL);
    Kernel::current().startNextPowerIrp(Irp);
}

NTSTATUS NTAPI NT_IMAGE_CALLABLE PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    if (Kernel::IrpRecord* record = kernel.irpRecord(Irp)) {
        if (Kernel::Activation* caller = kernel.innermostActivation(Irp)) {
            Kernel::IrpRecord::PowerVisit& visit = record->powerVisit(caller->device);
            if (visit.startedNext != 1) {
                visit.reported = true;
                kernel.violation("PoCallDriver without PoStartNextPowerIrp",
                                 "a power request passed down without exactly one "
                                 "PoStartNextPowerIrp by the passing driver");
            }
        }
    }
    return kernel.callDriver(DeviceObject, Irp, true);
}

PVOID NTAPI NT_IMAGE_CALLABLE ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag)
{
    Kernel::current().preempt();
    return Kernel::current().allocatePool(PoolType, NumberOfBytes, Tag);
}

VOID NTAPI NT_IMAGE_CALLABLE ExFreePool(PVOID P)
{
    Kernel::current().preempt();
    Kernel::current().freePool(P);
}

PVOID NTAPI NT_IMAGE_CALLABLE IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize)
{
    Kernel::current().preempt();
    return Kernel::current().allocateErrorLogEntry(IoObject, EntrySize);
}

VOID NTAPI NT_IMAGE_CALLABLE IoWriteErrorLogEntry(PVOID ElEntry)
{
    Kernel::current().preempt();
    Kernel::current().writeErrorLogEntry(ElEntry);
}

// The caller's return address is what a debugger's stack shows as the place of the break.
VOID NTAPI NT_IMAGE_CALLABLE DbgBreakPoint(VOID) { Kernel::current().breakpoint(__builtin_return_address(0)); }

VOID NTAPI RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PSTR Message)
{
    std::fprintf(stderr, "*** Assertion failed: %s%s%s\n***   Source File: %s, line %u\n",
                 static_cast<const char*>(FailedAssertion), Message != nullptr ? " " : "",
                 Message != nullptr ? Message : "", static_cast<const char*>(FileName),
                 static_cast<unsigned>(LineNumber));
    std::abort();
}

VOID NTAPI NT_IMAGE_CALLABLE NtStandInTouchIrp(PIRP Irp) { Kernel::current().touchIrp(Irp, "stack access"); }

VOID NTAPI NT_IMAGE_CALLABLE NtStandInPagedCode(PCSTR Routine)
{
    Kernel& kernel = Kernel::current();
    if (kernel.irql() > APC_LEVEL) {
        kernel.violation("pageable code at raised IRQL",
                         std::string(Routine) + " ran at IRQL " + std::to_string(kernel.irql()));
    }
}

}  // extern "C"
