// The object and device manager of the stand-in: driver objects, device objects and their stacks,
// references, and what is left of a deleted device object until nothing can reach it.
#include <nt/kernel.hpp>
#include <nt/sched.hpp>
#include <nt/verifier.hpp>

#include "stack_locations.hpp"

#include <algorithm>
#include <cstring>
#include <sstream>

namespace nt {

namespace {

using io::hex;

// What the memory of a deleted device object is filled with once nothing can reach it.
constexpr uint8_t kDeletedFill = 0xDD;

NTSTATUS NTAPI InvalidDeviceRequest(PDEVICE_OBJECT, PIRP Irp)
{
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
}

}  // namespace

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

}  // namespace nt
