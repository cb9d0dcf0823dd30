// What the parts of the stand-in share: the current kernel, fault injection, the error log, the
// quarantine of freed objects and the leak check at teardown. Pool (pool.cpp), devices
// (devices.cpp), requests (requests.cpp), threads (threads.cpp), the debug port
// (kernel_printf.cpp) and the verifier (verifier.cpp) each keep their own file.
#include <nt/kernel.hpp>
#include <nt/pool_census.hpp>
#include <nt/sched.hpp>

#include <map>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace nt {

namespace {
Kernel* g_current = nullptr;

std::string hex(const void* p) { return formatAddress(p); }

// What a fresh error-log entry holds before its driver writes it (as fresh pool does).
constexpr uint8_t kUninitialisedFill = 0xA5;

std::string tagText(ULONG tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

// Pool and error-log entries are handed out filled with this byte, as the kernel's pool is never
// zeroed: a driver that acts on bytes it did not write sees nonsense, not zeros.
}  // namespace

const char* faultPointName(FaultPoint point)
{
    switch (point) {
    case FaultPoint::CreateDevice: return "IoCreateDevice";
    case FaultPoint::AttachDevice: return "IoAttachDeviceToDeviceStack";
    case FaultPoint::BuildRequest: return "IoBuildSynchronousFsdRequest";
    case FaultPoint::AllocatePool: return "ExAllocatePoolWithTag";
    case FaultPoint::AllocateErrorLogEntry: return "IoAllocateErrorLogEntry";
    case FaultPoint::QueryInterface: return "IRP_MN_QUERY_INTERFACE";
    case FaultPoint::ShortConfigTransfer: return "configuration transfer";
    case FaultPoint::LowerFail: return "request failed below";
    case FaultPoint::LowerPend: return "request pended below";
    }
    return "?";
}

bool FaultAim::matches(const FaultSite& site) const
{
    auto same = [](const auto& want, const auto& got) { return !want || (got && *want == *got); };
    if (!same(bus, site.bus) || !same(device, site.device) || !same(function, site.function)) {
        return false;
    }
    if (!same(write, site.write) || !same(major, site.major) || !same(minor, site.minor)) {
        return false;
    }
    // An offset aims at the configuration transfers that cover that byte.
    if (offset && (!site.write.has_value() || *offset < site.offset ||
                   *offset >= site.offset + site.length)) {
        return false;
    }
    return true;
}

void FaultInjector::failNth(FaultPoint point, uint64_t n, bool persistent, FaultAim aim)
{
    Slot& s = slot(point);
    s.aimedUses = 0;
    s.failAt = n;
    s.persistent = persistent;
    s.aim = aim;
}

void FaultInjector::clear()
{
    for (Slot& s : slots_) {
        s.failAt = 0;
        s.persistent = false;
        s.aim = FaultAim{};
    }
    fired_ = false;
    failures_ = 0;
}

bool FaultInjector::shouldFail(FaultPoint point, const FaultSite& site)
{
    Slot& s = slot(point);
    ++s.uses;
    if (s.failAt == 0 || !s.aim.matches(site)) return false;
    ++s.aimedUses;
    bool fail = s.persistent ? s.aimedUses >= s.failAt : s.aimedUses == s.failAt;
    fired_ = fired_ || fail;
    if (fail) ++failures_;
    if (fail && s.aimedUses == s.failAt && onFired) onFired(point, site, s.persistent);
    return fail;
}

Kernel::Kernel() : previous_(g_current) { g_current = this; }

Kernel::~Kernel()
{
    forgetPoolCensus(*this);
    g_current = previous_;
}

Kernel& Kernel::current()
{
    if (g_current == nullptr) throw std::logic_error("no kernel is running");
    return *g_current;
}

bool Kernel::hasCurrent() { return g_current != nullptr; }

// --- error log ----------------------------------------------------------------------------------

// The I/O object of an error-log entry is a device or a driver object; either way its driver
// names the source. Taken when the entry is allocated, which holds the object until the entry
// is written: the device may be deleted in between.
std::u16string Kernel::driverNameOf(PVOID ioObject) const
{
    if (ioObject == nullptr) return {};
    auto* header = static_cast<CSHORT*>(ioObject);
    PDRIVER_OBJECT driver = nullptr;
    if (*header == IO_TYPE_DEVICE) {
        driver = static_cast<PDEVICE_OBJECT>(ioObject)->DriverObject;
    } else if (*header == IO_TYPE_DRIVER) {
        driver = static_cast<PDRIVER_OBJECT>(ioObject);
    }
    for (const auto& d : drivers_) {
        if (d->object == driver) return d->name;
    }
    return {};
}

PVOID Kernel::allocateErrorLogEntry(PVOID ioObject, UCHAR size)
{
    checkIrql("IoAllocateErrorLogEntry", DISPATCH_LEVEL);
    if (usedAfterDelete(ioObject, "IoAllocateErrorLogEntry")) return nullptr;
    if (faults_.shouldFail(FaultPoint::AllocateErrorLogEntry)) return nullptr;
    if (ioObject == nullptr || size > ERROR_LOG_MAXIMUM_SIZE) return nullptr;
    auto* memory = static_cast<uint8_t*>(arena_.allocate(size));
    std::memset(memory, kUninitialisedFill, size);
    logEntries_.emplace(memory, LogEntryRecord{memory, size, ioObject, false, {},
                                               driverNameOf(ioObject)});
    return memory;
}

void Kernel::writeErrorLogEntry(PVOID entry)
{
    checkIrql("IoWriteErrorLogEntry", DISPATCH_LEVEL);
    auto it = logEntries_.find(entry);
    if (it == logEntries_.end() || it->second.written) {
        violation("error-log entry", it == logEntries_.end()
                                         ? "IoWriteErrorLogEntry of an entry never allocated"
                                         : "IoWriteErrorLogEntry of an entry already written");
        return;
    }
    LogEntryRecord& record = it->second;
    record.written = true;
    record.asWritten.assign(record.memory, record.memory + record.size);
    writtenLogEntries_.push_back(entry);

    ErrorLogEntry logged;
    logged.ioObject = record.ioObject;
    logged.bytes = record.asWritten;
    logged.driverName = record.driverName;
    if (onErrorLogEntry) onErrorLogEntry(logged);
    errorLog_.push_back(std::move(logged));
    trimQuarantine();
}

// --- quarantine ---------------------------------------------------------------------------------

void Kernel::retireIrp(PIRP irp)
{
    irps_.at(irp).state = IrpState::Freed;
    freedIrps_.push_back(irp);
    trimQuarantine();
}

void Kernel::retireDevice(PDEVICE_OBJECT device)
{
    deletedDevices_.push_back(device);
    trimQuarantine();
}

void Kernel::destroyDevice(PDEVICE_OBJECT device)
{
    auto node = deviceNodes_.find(device);
    if (node != deviceNodes_.end()) {
        arena_.release(node->second);
        deviceNodes_.erase(node);
    }
    devices_.erase(device);
    arena_.release(device);
}

void Kernel::trimQuarantine()
{
    while (deletedDevices_.size() > kQuarantinedDevices) {
        // Only unreferenced devices are here (a deleted device still linked into a stack
        // enters when its last link goes); a last look for writes into it, then it goes.
        PDEVICE_OBJECT device = deletedDevices_.front();
        deletedDevices_.pop_front();
        checkDeletedDevice(device, devices_.at(device));
        destroyDevice(device);
    }
    while (freedIrps_.size() > kQuarantinedRequests) {
        PIRP irp = freedIrps_.front();
        freedIrps_.pop_front();
        if (irp == lastIrp_) lastIrp_ = nullptr, lastRecord_ = nullptr;
        irps_.erase(irp);
        arena_.release(irp);
    }
    while (freedPoolBlocks_.size() > kQuarantinedPoolBlocks) {
        void* p = freedPoolBlocks_.front();
        freedPoolBlocks_.pop_front();
        arena_.release(p);
    }
    while (writtenLogEntries_.size() > kQuarantinedLogEntries) {
        void* p = writtenLogEntries_.front();
        writtenLogEntries_.pop_front();
        auto it = logEntries_.find(p);
        if (std::memcmp(it->second.memory, it->second.asWritten.data(), it->second.size) != 0) {
            lateFindings_.push_back("error-log entry changed after it was written");
        }
        logEntries_.erase(it);
        arena_.release(p);
    }
}

Kernel::MemoryUse Kernel::memoryUse() const
{
    MemoryUse use;
    use.arenaInUse = arena_.bytesInUse();
    use.arenaFootprint = arena_.footprint();
    use.devices = devices_.size();
    use.requests = irps_.size();
    use.poolBlocks = pool_.size() + freedPoolBlocks_.size();
    use.logEntries = logEntries_.size();
    return use;
}

// --- teardown -----------------------------------------------------------------------------------

std::vector<std::string> Kernel::leaks() const
{
    std::vector<std::string> found;
    for (PDEVICE_OBJECT device : liveDevices()) {
        std::string driver = "?";
        for (const auto& d : drivers_) {
            if (d->object == device->DriverObject) driver = narrow(d->name);
        }
        found.push_back("device object " + hex(device) + " of " + driver + " never deleted");
    }
    std::map<ULONG, size_t> byTag;
    for (const auto& [p, block] : pool_) byTag[block.tag] += block.size;
    for (const auto& [tag, bytes] : byTag) {
        found.push_back("pool tag '" + tagText(tag) + "': " + std::to_string(bytes) +
                        " bytes never freed");
    }
    found.insert(found.end(), lateFindings_.begin(), lateFindings_.end());
    for (const auto& [p, entry] : logEntries_) {
        if (!entry.written) {
            found.push_back("error-log entry allocated and never written");
        } else if (std::memcmp(entry.memory, entry.asWritten.data(), entry.size) != 0) {
            found.push_back("error-log entry changed after it was written");
        }
    }
    std::vector<PIRP> unfreed;
    for (const auto& [irp, record] : irps_) {
        if (record.state != IrpState::Freed) unfreed.push_back(irp);
    }
    std::sort(unfreed.begin(), unfreed.end());
    for (PIRP irp : unfreed) found.push_back("request " + hex(irp) + " never freed");
    return found;
}

}  // namespace nt
