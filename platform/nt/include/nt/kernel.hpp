// The kernel stand-in as the platform and tests see it: one Kernel per machine, owning driver
// objects, device objects, requests, pool, the error log and the debug port, with the verifier
// and fault injection built in. The routines a driver calls (nt/api.h) act on the current Kernel.
#pragma once

#include <nt/api.h>
#include <nt/arena.hpp>
#include <nt/messages.hpp>

#include <array>
#include <cstdarg>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

// The stand-in's routines that a kernel image calls, and the routines it reaches through the
// interfaces the platform hands it. Code built for the kernel keeps its stack 4-byte aligned;
// code built for the i386 host expects 16, so these realign it on entry.
#if defined(__i386__)
#define NT_IMAGE_CALLABLE __attribute__((force_align_arg_pointer))
#else
#define NT_IMAGE_CALLABLE
#endif

namespace nt {

// Calls of the stand-in that can be made to fail.
enum class FaultPoint {
    CreateDevice,
    AttachDevice,
    BuildRequest,
    AllocatePool,
    AllocateErrorLogEntry,
    QueryInterface,
    ShortConfigTransfer,  // a configuration read or write moves one byte less than asked
    LowerFail,            // the bus driver fails a request it may fail
    LowerPend,            // the bus driver pends a request and completes it later
};
constexpr size_t kFaultPointCount = 9;
const char* faultPointName(FaultPoint point);

// Where one use of a call happens: the function a configuration transfer or a request of the
// bus driver is for, and what it is. Calls that concern no function leave it empty.
struct FaultSite {
    std::optional<unsigned> bus, device, function;
    std::optional<bool> write;      // configuration transfers
    unsigned offset = 0, length = 0;
    std::optional<UCHAR> major, minor;  // requests
};

// Narrows a fault to the uses at one place; an empty field matches anything. Only the uses that
// match count towards the Nth.
struct FaultAim {
    std::optional<unsigned> bus, device, function;
    std::optional<bool> write;
    std::optional<unsigned> offset;  // a transfer that covers this byte
    std::optional<UCHAR> major, minor;
    bool matches(const FaultSite& site) const;
};

// Makes the Nth use of a call fail, once or from then on.
class FaultInjector {
public:
    void failNth(FaultPoint point, uint64_t n, bool persistent = false, FaultAim aim = {});
    void clear();
    // Counts one use of the call; true when this use must fail.
    bool shouldFail(FaultPoint point, const FaultSite& site = {});
    uint64_t uses(FaultPoint point) const { return slot(point).uses; }
    // True once any armed fault has fired.
    bool fired() const { return fired_; }
    // How many uses failed since the last clear.
    uint64_t failures() const { return failures_; }
    // Told of the first use an armed fault fails (with `persistent`, the ones after it follow
    // untold), so that a run can show where the fault struck.
    std::function<void(FaultPoint, const FaultSite&, bool persistent)> onFired;

private:
    struct Slot {
        uint64_t uses = 0;
        uint64_t aimedUses = 0;  // uses that matched the aim since it was armed
        uint64_t failAt = 0;     // 0: never
        bool persistent = false;
        FaultAim aim;
    };
    Slot& slot(FaultPoint p) { return slots_[static_cast<size_t>(p)]; }
    const Slot& slot(FaultPoint p) const { return slots_[static_cast<size_t>(p)]; }
    std::array<Slot, kFaultPointCount> slots_{};
    bool fired_ = false;
    uint64_t failures_ = 0;
};

struct Violation {
    std::string rule;    // short name of the platform rule broken
    std::string detail;  // what happened
};

struct ErrorLogEntry {
    PVOID ioObject = nullptr;
    std::u16string driverName;  // name of the driver that owns the I/O object
    std::vector<uint8_t> bytes; // the entry as written
};

struct Breakpoint {
    size_t afterLine;              // number of debug output lines printed before it
    const void* caller = nullptr;  // return address into the routine that broke in
};

class Kernel;

// A loaded copy of a driver image: each load maps a fresh copy, so no two machines share the
// driver's globals. A host module is opened by the dynamic linker; a kernel image (PE) by the
// image loader (nt/image_loader.hpp).
class DriverImage {
public:
    virtual ~DriverImage() = default;
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    // Opens a driver file of either kind; throws std::runtime_error naming what is wrong.
    static std::unique_ptr<DriverImage> open(const std::string& path, Kernel& kernel);

    // A routine or variable by name (a kernel image: by its export table); nullptr when absent.
    virtual void* symbol(const std::string& name) const = 0;
    template <typename T>
    T* get(const std::string& name) const { return reinterpret_cast<T*>(symbol(name)); }
    virtual void* entryPoint() const = 0;
    // A resource of the image's own resource section; a host module has none.
    virtual std::optional<std::vector<uint8_t>> resource(uint16_t, uint16_t) const
    {
        return std::nullopt;
    }
    // Called once the entry routine has returned: a kernel image drops its discardable sections.
    virtual void entryReturned() {}
    // Where the image's globals live: its writable data, as start and size.
    virtual std::vector<std::pair<uint8_t*, size_t>> writableData() const = 0;
    // How far into the image an address lies, for a kernel image mapped where the kernel chose
    // (a name that is the same in every run); nothing for an address outside it, or for a host
    // module, which the dynamic linker names.
    virtual std::optional<size_t> offsetOf(const void*) const { return std::nullopt; }

protected:
    DriverImage() = default;
};

class Kernel;
class Scheduler;

// A driver loaded into a kernel: its image, its driver object and the status of its entry.
struct LoadedDriver {
    std::unique_ptr<DriverImage> image;
    PDRIVER_OBJECT object = nullptr;
    NTSTATUS entryStatus = STATUS_SUCCESS;
};

// The kernel debugger's view of a loaded driver: globals set and read by symbol name.
class Debugger {
public:
    explicit Debugger(const LoadedDriver& driver) : driver_(driver) {}
    bool set(const std::string& symbol, ULONG value) const;
    std::optional<ULONG> get(const std::string& symbol) const;

private:
    const LoadedDriver& driver_;
};

class Verifier;

class Kernel {
    friend class Verifier;  // its rules read the device records

public:
    Kernel();
    ~Kernel();
    Kernel(const Kernel&) = delete;
    Kernel& operator=(const Kernel&) = delete;

    // The kernel that the driver-facing routines act on.
    static Kernel& current();
    static bool hasCurrent();

    // --- drivers -----------------------------------------------------------------------------
    // A driver object whose majors all hold the invalid-request handler.
    PDRIVER_OBJECT createDriverObject(const std::u16string& name);
    // Loads a fresh copy of a driver image and runs its entry routine at passive level.
    LoadedDriver loadDriver(const std::string& path, const std::u16string& name);

    // --- IRQL --------------------------------------------------------------------------------
    KIRQL irql() const { return irql_; }
    void setIrql(KIRQL irql) { irql_ = irql; }

    // --- simulated processors (nt/sched.hpp) --------------------------------------------------
    // While a scheduler runs, kernel threads are its fibers: waits block the fiber, pended work
    // is left to the DPC runner, and every preemption point lets the scheduler choose.
    Scheduler* scheduler() const { return scheduler_; }
    void setScheduler(Scheduler* scheduler) { scheduler_ = scheduler; }
    void preempt()
    {
        if (scheduler_ != nullptr) schedulerPoint();
    }
    // The PnP and power managers' wait for a request they sent: without a scheduler the pended
    // work runs here; with one, the thread blocks until the request is completed.
    void waitForRequest(PIRP irp);
    // Blocks the running thread until `ready` holds (a remove lock's wait); without a scheduler
    // there is no other thread to wait for.
    void waitUntil(std::function<bool()> ready);
    // The DPC runner's loop: pended work, one item at a time, at the IRQL it was pended at.
    void runDeferredWork();
    // Pended work waits or runs: a blocked wait may still be satisfied.
    bool workPending() const { return !deferred_.empty() || deferredRunning_; }
    // The running thread is the DPC runner, inside pended work.
    bool runningDeferredHere() const;
    // The scheduler's running thread, or -1.
    int currentThread() const;
    // Ordering between threads, for a happens-before race detector: a release on an object
    // happens before every later acquire of it.
    std::function<void(const void* object, bool release)> onSync;
    void sync(const void* object, bool release)
    {
        if (onSync) onSync(object, release);
    }

    // --- spin locks and fast mutexes (locks.cpp) ------------------------------------------------
    // The locks held, by address, with the thread holding each. A lock that is held is waited
    // for: a spin lock spins, keeping its processor; a fast mutex blocks. Where nobody can ever
    // release it (no other thread, or its holder is the waiter) the wait is a deadlock.
    enum class LockKind { SpinLock, FastMutex };
    // False when the wait for it was a deadlock (reported): the caller goes on without it.
    bool acquireLock(void* lock, LockKind kind, const char* routine);
    // True when the running thread held the lock and has released it.
    bool releaseLock(void* lock, LockKind kind, const char* routine);
    // Reports the spin locks the running thread took inside the routine of activation `depth`
    // and still holds as it returns.
    void checkLocksOnReturn(size_t depth, const char* routine, PDEVICE_OBJECT device);
    // Reports what a kernel thread must not end with: locks, a raised IRQL, a critical region.
    void checkThreadEnd();
    // The IRQL a driver raises or lowers itself: never down by a raise, never up by a lower, and
    // never below DISPATCH_LEVEL while the thread holds a spin lock.
    KIRQL raiseIrql(KIRQL irql, const char* routine);
    void lowerIrql(KIRQL irql);
    void enterCriticalRegion();
    void leaveCriticalRegion();
    bool inCriticalRegion() const { return criticalRegion_ > 0; }

    // --- requests ----------------------------------------------------------------------------
    // A request built by the platform; its owner frees it with IoFreeIrp after completion.
    PIRP allocateIrp(CCHAR stackSize);
    // Sends a request to the top of a device's stack, the way the PnP and power managers do:
    // fills the first stack location from `setup` and calls the top device.
    NTSTATUS sendToStack(PDEVICE_OBJECT device, PIRP irp);
    bool isCompleted(PIRP irp) const;
    // Called once when a platform request finishes its completion.
    void onCompleted(PIRP irp, std::function<void(PIRP)> done);

    // --- deferred work (completions a lower driver pended) -----------------------------------
    void defer(std::function<void()> work);
    bool runOneDeferred();
    void drain();
    size_t deferredCount() const { return deferred_.size(); }

    // Names code or data of a loaded driver as the same in every run ("hotpflt!HotpAddDevice+0x1c",
    // "hotpflt+0x2040"); empty for an address that is no driver's. Set by whoever loads drivers.
    std::function<std::string(const void*)> nameAddress;
    // A name for an object that lives outside the kernel's arena (a platform driver's lock in
    // its own records), used wherever the kernel names the object.
    void nameObject(const void* object, std::string name) { objectNames_[object] = std::move(name); }
    // An object by what is the same in every run: a name given to it, its address in the
    // kernel's arena, its place in a driver's image, or the first routine that took it as a lock.
    std::string objectName(const void* object) const;
    // Remembers the running routine as the first to take `lock`, for objectName.
    void noteFirstTaker(const void* lock);

    // --- debug port --------------------------------------------------------------------------
    const std::vector<std::string>& debugOutput() const { return debugOutput_; }
    const std::vector<Breakpoint>& breakpoints() const { return breakpoints_; }
    void clearDebugOutput();
    std::function<void(const std::string&)> onDebugPrint;
    std::function<void()> onBreakpoint;

    // --- error log ---------------------------------------------------------------------------
    const std::vector<ErrorLogEntry>& errorLog() const { return errorLog_; }
    std::function<void(const ErrorLogEntry&)> onErrorLogEntry;
    // Registers the message file of an event source (a driver's name without "\Driver\"), as
    // the driver's event-log registration does; that driver's entries render through it.
    void registerEventSource(const std::u16string& source, MessageTable messages);
    // An entry as the event viewer shows it; nullopt when its source has no message file or the
    // file has no message for its code.
    std::optional<std::u16string> renderEvent(const ErrorLogEntry& entry) const;

    // --- pageable code of loaded kernel images ------------------------------------------------
    // The image loader registers each pageable section; code there must not run above
    // APC_LEVEL. checkPageable reports `code` (a routine about to run, or the return address of
    // a call into the kernel) when it lies in such a section and the IRQL is raised.
    void addPageableCode(const void* begin, size_t size, std::string description);
    void checkPageable(const void* code, const char* what);

    // --- verifier and faults -----------------------------------------------------------------
    void violation(const std::string& rule, const std::string& detail);
    const std::vector<Violation>& violations() const { return violations_; }
    // Sweeps the deleted device objects for late writes first.
    std::vector<Violation> takeViolations();
    FaultInjector& faults() { return faults_; }

    // --- objects -----------------------------------------------------------------------------
    bool isLiveDevice(PDEVICE_OBJECT device) const;
    // The object manager's reference count of a device object, as ObReferenceObject and
    // ObDereferenceObject keep it: a deleted device keeps its memory while anybody holds a
    // reference (the PnP manager's device node its physical device object, a request on its way
    // the top of the stack it was sent to), and only then is freed.
    void referenceDevice(PDEVICE_OBJECT device);
    void dereferenceDevice(PDEVICE_OBJECT device);
    // The PnP manager's device node of a physical device object, made on first use and reached
    // by drivers through the device's DEVOBJ_EXTENSION.
    PDEVICE_NODE deviceNode(PDEVICE_OBJECT pdo);
    std::vector<PDEVICE_OBJECT> liveDevices(PDRIVER_OBJECT driver = nullptr) const;
    size_t outstandingPool(ULONG tag) const;
    // Called with a block's contents just before it goes back to the pool, as a debugger's
    // breakpoint on the free would see it.
    std::function<void(const void* block, SIZE_T size, ULONG tag)> onPoolFree;
    size_t outstandingPoolBlocks() const { return pool_.size(); }

    // What the kernel holds: its share of the arena and the records it keeps, the quarantined
    // ones included. Bounded for a machine that keeps adding and removing the same devices.
    struct MemoryUse {
        size_t arenaInUse = 0;     // bytes of live and quarantined objects
        size_t arenaFootprint = 0; // bytes of the arena carved so far
        size_t devices = 0;        // device object records, deleted ones in quarantine included
        size_t requests = 0;       // request records, freed ones in quarantine included
        size_t poolBlocks = 0;     // pool blocks allocated or in quarantine
        size_t logEntries = 0;     // error-log entries not yet written or in quarantine
    };
    MemoryUse memoryUse() const;
    // How many freed objects of each kind stay in quarantine: their memory is not reused, so a
    // late use is still seen as one (requests, devices) or caught by the address checker (pool).
    static constexpr size_t kQuarantinedDevices = 64;
    static constexpr size_t kQuarantinedRequests = 256;
    static constexpr size_t kQuarantinedPoolBlocks = 256;
    static constexpr size_t kQuarantinedLogEntries = 64;

    // What is still held at teardown: live device objects, pool by tag, unwritten error-log
    // entries, requests never freed, and entries changed after they were written. The platform
    // must have deleted its own objects first.
    std::vector<std::string> leaks() const;

    // --- internals shared by the routines of the stand-in ------------------------------------
    struct IrpLocation {
        std::optional<UCHAR> controlAtCompletion;  // Control as the completion walk found it
        bool pendingExpected = false;              // a dispatch here returned STATUS_PENDING
    };
    enum class IrpState { Idle, InFlight, Completing, Completed, Freed };
    struct IrpRecord {
        IrpState state = IrpState::Idle;
        bool threadRequest = false;  // built by IoBuildSynchronousFsdRequest
        bool sent = false;
        std::vector<IrpLocation> locations;  // index: location number 1..StackCount
        // Of a power request: each device it reached or that started the next one, in the
        // order first seen (a handful, searched in place).
        struct PowerVisit {
            PDEVICE_OBJECT device = nullptr;
            int startedNext = 0;    // PoStartNextPowerIrp calls by this device
            bool reached = false;   // the request was sent to this device
            bool reported = false;  // already reported for PoStartNextPowerIrp
        };
        std::vector<PowerVisit> power;
        PowerVisit& powerVisit(PDEVICE_OBJECT device)
        {
            for (PowerVisit& visit : power) {
                if (visit.device == device) return visit;
            }
            if (power.capacity() == 0) power.reserve(8);  // one allocation for a whole stack
            power.push_back(PowerVisit{device});
            return power.back();
        }
        std::function<void(PIRP)> done;
        // How often completion began, and on which thread of the simulated processors the last
        // one ran (-1: none, or no scheduler).
        uint32_t completions = 0;
        int completer = -1;
    };
    struct Activation {
        Activation() = default;
        Activation(PIRP request, CHAR at, PDEVICE_OBJECT by)
            : irp(request), location(at), device(by)
        {
        }
        PIRP irp = nullptr;  // null: the start of deferred work, which runs in another context
        CHAR location = 0;
        PDEVICE_OBJECT device = nullptr;
        bool passedOn = false;  // the request was passed down or completed from here
        bool dispatch = false;  // a dispatch routine (not a completion routine)
        KIRQL irql = PASSIVE_LEVEL;                 // the IRQL the routine was called at
        NTSTATUS statusAtEntry = STATUS_SUCCESS;    // IoStatus.Status as the routine found it
        // The completion routine of the driver above, held in this routine's own location.
        PIO_COMPLETION_ROUTINE callerRoutine = nullptr;
        PVOID callerContext = nullptr;
        UCHAR callerInvoke = 0;
        // The whole request was copied, as it stood when this routine passed it on or completed
        // it, into the snapshot of this activation's depth; any change the routine makes
        // afterwards is a write to a request it no longer owns.
        bool snapshot = false;
        const void* routine = nullptr;  // the dispatch or completion routine running
        uint32_t completionsSeen = 0;   // IrpRecord::completions when the snapshot was taken
    };

    // What belongs to the running kernel thread: the routines it is inside, the snapshots of
    // what they passed on, and its processor's IRQL. The scheduler swaps it at each switch.
    struct ThreadState {
        std::vector<Activation> activations;
        std::vector<std::vector<uint8_t>> snapshots;
        KIRQL irql = PASSIVE_LEVEL;
        int criticalRegion = 0;  // KeEnterCriticalRegion calls not yet left
    };
    void exchangeThreadState(ThreadState& state);
    // Pool blocks of one tag, for detectors that watch a driver's memory.
    std::vector<std::pair<void*, SIZE_T>> poolBlocks(ULONG tag) const;

    IrpRecord* irpRecord(PIRP irp);
    std::vector<Activation>& activations() { return activations_; }
    Activation* innermostActivation(PIRP irp);
    void touchIrp(PIRP irp, const char* what);
    PIRP newIrp(CCHAR stackSize, bool threadRequest);
    void freeIrp(PIRP irp);
    NTSTATUS callDriver(PDEVICE_OBJECT device, PIRP irp, bool viaPoCallDriver);
    void completeRequest(PIRP irp);
    void startNextPowerIrp(PIRP irp);
    // Reports a call made above the highest IRQL its routine allows.
    void checkIrql(const char* routine, KIRQL highest);
    // Reports a device object that is deleted and whose memory is gone (or a pointer read from
    // such memory) handed to a routine of the kernel; true when it was one.
    bool usedAfterDelete(PVOID object, const char* routine);
    // Compares the memory of every deleted device object with its poison and reports writes.
    void sweepDeletedDevices();
    // The record of a request as a routine left it when it passed it on or completed it, and
    // the check that the routine has not written it since.
    void rememberAfterPass(size_t activation, PIRP irp);
    void checkAfterPass(Activation& activation);
    void checkAllAfterPass();

    // The platform's own drivers pass faultable = false: injected faults are for the driver
    // under test.
    PDEVICE_OBJECT createDevice(PDRIVER_OBJECT driver, ULONG extensionSize, DEVICE_TYPE type,
                                ULONG characteristics, bool exclusive, bool faultable = true);
    PDEVICE_OBJECT attachDevice(PDEVICE_OBJECT source, PDEVICE_OBJECT target,
                                bool faultable = true);
    void detachDevice(PDEVICE_OBJECT target);
    void deleteDevice(PDEVICE_OBJECT device);
    // Machine teardown of a platform driver's own device: whatever is still attached above is cut
    // loose (the leak check reports it), and the device goes without a verifier finding.
    void releasePlatformDevice(PDEVICE_OBJECT device);

    PVOID allocatePool(POOL_TYPE type, SIZE_T size, ULONG tag, bool faultable = true);
    void freePool(PVOID p);
    PVOID allocateErrorLogEntry(PVOID ioObject, UCHAR size);
    void writeErrorLogEntry(PVOID entry);
    void debugPrint(std::string text);
    void breakpoint(const void* caller = nullptr);

private:
    struct DriverRecord {
        PDRIVER_OBJECT object = nullptr;  // with its DRIVER_EXTENSION behind it, in the arena
        std::u16string name;
    };
    struct DeviceRecord {
        size_t size = 0;            // of the whole block: object, extension and DEVOBJ_EXTENSION
        bool deleted = false;
        bool poisoned = false;      // deleted, unreferenced and filled with the poison byte
        bool writeReported = false;
        unsigned references = 0;    // ObReferenceObject's count, creation and attachment aside
        // The device whose NextDevice links to this one (null: the driver's first), so that
        // unlinking from the driver's list takes constant time.
        PDEVICE_OBJECT previous = nullptr;
    };
    // Once a deleted device has nothing attached above or below it, nobody may reach it any
    // more: its memory is poisoned as freed memory would be.
    void poisonIfUnreferenced(PDEVICE_OBJECT device);
    bool isPoisoned(PVOID object) const;
    static bool isPoisonPointer(PVOID object);
    struct PoolBlock {
        SIZE_T size;
        ULONG tag;
        POOL_TYPE type;
    };
    struct LogEntryRecord {
        uint8_t* memory;
        UCHAR size;
        PVOID ioObject;
        bool written = false;
        std::vector<uint8_t> asWritten;
        std::u16string driverName;  // of the I/O object, when the entry was allocated
    };
    std::u16string driverNameOf(PVOID ioObject) const;

    // Quarantine: a freed object's memory goes back to the arena only after this many newer
    // objects of its kind were freed.
    void retireDevice(PDEVICE_OBJECT device);
    void retireIrp(PIRP irp);
    void trimQuarantine();
    NTSTATUS callDispatch(PDEVICE_OBJECT device, PIRP irp, bool removal);
    // The parts of the completion walk.
    NTSTATUS callCompletionRoutine(PIRP irp, PIO_STACK_LOCATION stack, KIRQL walkIrql);
    void reclaim(PIRP irp);
    void finishRequest(PIRP irp, IrpRecord& record);
    void checkDeletedDevice(PDEVICE_OBJECT device, DeviceRecord& record);
    void destroyDevice(PDEVICE_OBJECT device);

    struct LockRecord {
        LockKind kind;
        int holder = -1;         // the scheduler's thread, -1 without one
        size_t depth = 0;        // activations of the holder when it took the lock
        unsigned deadlocked = 0; // acquisitions reported as deadlocks, released without checks
        bool reported = false;   // already reported as held where it must not be
    };
    std::string lockName(const void* lock, LockKind kind) const;
    // The driver routine the running thread is inside, by its stable name; empty outside drivers.
    std::string currentRoutineName() const;
    // The first routine that took each lock that lives outside the kernel's arena and the
    // driver's image (on a stack, in the host's heap): the name such a lock goes by.
    std::map<const void*, std::string> firstTakers_;
    std::map<const void*, std::string> objectNames_;
    std::string threadName(int thread) const;
    bool waitForLock(const void* lock, LockKind kind, const char* routine);

    // Declared first so that it goes last: every object below lives in it.
    Arena arena_;
    KIRQL irql_ = PASSIVE_LEVEL;
    int criticalRegion_ = 0;
    std::map<const void*, LockRecord> locks_;
    Scheduler* scheduler_ = nullptr;
    void schedulerPoint();
    struct DeferredWork {
        std::function<void()> work;
        KIRQL irql;
    };
    std::vector<std::unique_ptr<DriverRecord>> drivers_;
    std::unordered_map<PDEVICE_OBJECT, DeviceRecord> devices_;
    std::unordered_map<PDEVICE_OBJECT, PDEVICE_NODE> deviceNodes_;
    std::unordered_map<PIRP, IrpRecord> irps_;
    std::vector<Activation> activations_;
    // Snapshots of requests passed on, one per activation depth; reused, so that passing a
    // request on allocates nothing once the deepest stack has been seen.
    std::vector<std::vector<uint8_t>> snapshots_;
    // The request looked up last: a request is looked up many times in a row as it travels.
    PIRP lastIrp_ = nullptr;
    IrpRecord* lastRecord_ = nullptr;
    std::unordered_map<void*, PoolBlock> pool_;
    std::unordered_set<void*> freedPool_;  // freed and not handed out again
    std::unordered_map<void*, LogEntryRecord> logEntries_;
    std::deque<PDEVICE_OBJECT> deletedDevices_;
    std::deque<PIRP> freedIrps_;
    std::deque<void*> freedPoolBlocks_;
    std::deque<void*> writtenLogEntries_;
    std::vector<std::string> lateFindings_;  // found when a quarantined object left
    std::deque<DeferredWork> deferred_;
    bool deferredRunning_ = false;
    int deferredThread_ = -1;  // the scheduler's thread running pended work
    std::vector<std::string> debugOutput_;
    std::vector<Breakpoint> breakpoints_;
    std::vector<ErrorLogEntry> errorLog_;
    std::map<std::u16string, MessageTable> eventSources_;
    std::vector<Violation> violations_;
    struct PageableCode {
        uintptr_t begin, end;
        std::string description;
    };
    std::vector<PageableCode> pageableCode_;
    FaultInjector faults_;
    Kernel* previous_ = nullptr;
};

// Formats with the kernel's printf rules: "%lx" and "%x" are 32-bit, "%I64x" and "%llx" 64-bit,
// "%ws" and "%ls" 16-bit strings, "%hs" 8-bit ones, "%wZ" a UNICODE_STRING. A plain "%s" or "%c"
// takes the routine's own character width and "%S" or "%C" the other: 8-bit for DbgPrint, 16-bit
// for the kernel's swprintf (`wideRoutine`).
std::string formatNt(const char* format, va_list arguments, bool wideRoutine = false);
std::u16string widen(const std::string& utf8);
std::string narrow(const std::u16string& utf16);

}  // namespace nt
