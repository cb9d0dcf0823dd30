// Raising and lowering the IRQL, spin locks, fast mutexes, critical regions and the interlocked
// routines, with their IRQL rules.
//
// The kernel keeps every lock that is held, with its holder, so that the verifier can tell a
// release by the holder from one by anybody else, and a wait that nobody can end from one that
// another thread will. On simulated processors a thread that finds a spin lock held spins on its
// processor at DISPATCH_LEVEL, which nobody else may take meanwhile; one that finds a fast mutex
// owned blocks and gives its processor back. Acquiring a lock orders the acquirer after its last
// release, and an interlocked routine orders its caller after every earlier one on the same
// address: the race detector hears of both through sync().
#include <nt/kernel.hpp>
#include <nt/sched.hpp>

namespace nt {

namespace {

const char* kindName(Kernel::LockKind kind)
{
    return kind == Kernel::LockKind::SpinLock ? "spin lock" : "fast mutex";
}

// What the lock's own memory says while it is held, as the kernel writes it: a spin lock is
// non-zero, a fast mutex's count drops from one to zero.
void markHeld(void* lock, Kernel::LockKind kind, bool held)
{
    if (kind == Kernel::LockKind::SpinLock) {
        *static_cast<PKSPIN_LOCK>(lock) = held ? 1 : 0;
    } else {
        static_cast<PFAST_MUTEX>(lock)->Count = held ? 0 : 1;
    }
}

}  // namespace

// A lock is named by what is the same in every run: its address in the kernel's arena (a pool
// block, a device extension), its place in a driver's image (a global), or else the routine that
// took it first (a lock on a stack).
std::string Kernel::lockName(const void* lock, LockKind kind) const
{
    return std::string(kindName(kind)) + " " + objectName(lock);
}

std::string Kernel::objectName(const void* object) const
{
    if (auto named = objectNames_.find(object); named != objectNames_.end()) return named->second;
    if (arena_.holds(object)) return formatAddress(object);
    if (nameAddress) {
        if (std::string where = nameAddress(object); !where.empty()) return where;
    }
    if (auto first = firstTakers_.find(object); first != firstTakers_.end()) {
        return "first taken in " + first->second;
    }
    return formatAddress(object);  // no driver's: its address is all there is
}

void Kernel::noteFirstTaker(const void* lock)
{
    if (arena_.holds(lock) || firstTakers_.count(lock) != 0) return;
    if (std::string routine = currentRoutineName(); !routine.empty()) firstTakers_.emplace(lock, routine);
}

std::string Kernel::currentRoutineName() const
{
    for (auto it = activations_.rbegin(); it != activations_.rend(); ++it) {
        if (it->routine == nullptr) continue;
        const std::string name = nameAddress ? nameAddress(it->routine) : std::string();
        if (!name.empty()) return name;
    }
    return {};
}

std::string Kernel::threadName(int thread) const
{
    if (scheduler_ == nullptr || thread < 0 || static_cast<size_t>(thread) >= scheduler_->threadCount()) {
        return "the kernel's one thread";
    }
    return scheduler_->name(thread);
}

// Waits until nobody holds `lock`. False when the wait can never end, which is reported: without
// simulated processors nobody else runs to release it. On them a thread waiting for a lock it
// holds itself waits for ever, and the scheduler reports the deadlock once nobody can go on.
bool Kernel::waitForLock(const void* lock, LockKind kind, const char* routine)
{
    auto released = [this, lock] { return locks_.count(lock) == 0; };
    if (released()) return true;
    // Nothing that owns memory lives across the wait: a thread that never wakes is abandoned
    // with its stack.
    auto waitingFor = [this, lock, kind] {
        return (kind == LockKind::SpinLock ? "spinning on " : "waiting for ") + lockName(lock, kind) +
               " held by " + threadName(locks_.at(lock).holder);
    };
    if (scheduler_ != nullptr && scheduler_->inThread()) {
        while (!released() && !scheduler_->stopping()) {
            scheduler_->blockUntil(released, waitingFor(), kind == LockKind::SpinLock);
        }
        if (released()) return true;
    }
    violation("deadlock", std::string(routine) + " of " + lockName(lock, kind) + " held by " +
                              threadName(locks_.at(lock).holder) +
                              ", which nobody can release while " + threadName(currentThread()) +
                              " waits");
    return false;
}

bool Kernel::acquireLock(void* lock, LockKind kind, const char* routine)
{
    noteFirstTaker(lock);
    if (!waitForLock(lock, kind, routine)) {
        ++locks_.at(lock).deadlocked;
        return false;
    }
    locks_.emplace(lock, LockRecord{kind, currentThread(), activations_.size()});
    sync(lock, false);
    markHeld(lock, kind, true);
    return true;
}

bool Kernel::releaseLock(void* lock, LockKind kind, const char* routine)
{
    auto it = locks_.find(lock);
    if (it == locks_.end()) {
        violation(std::string(kindName(kind)) + " released but not held",
                  std::string(routine) + " of " + lockName(lock, kind) + ", which nobody holds");
        return false;
    }
    LockRecord& record = it->second;
    if (record.deadlocked > 0) {
        --record.deadlocked;  // the acquisition that never got it: nothing to release
        return false;
    }
    if (record.holder != currentThread()) {
        violation(std::string(kindName(kind)) + " released by another thread",
                  std::string(routine) + " of " + lockName(lock, kind) + " by " +
                      threadName(currentThread()) + ", held by " + threadName(record.holder));
        return false;
    }
    markHeld(lock, kind, false);
    sync(lock, true);
    locks_.erase(it);
    return true;
}

void Kernel::checkLocksOnReturn(size_t depth, const char* routine, PDEVICE_OBJECT device)
{
    if (locks_.empty()) return;
    for (auto& [lock, record] : locks_) {
        if (record.kind != LockKind::SpinLock || record.holder != currentThread() ||
            record.depth <= depth || record.reported) {
            continue;
        }
        record.reported = true;
        violation("spin lock held on return",
                  std::string(routine) + " of " + formatAddress(device) + " returned holding " +
                      lockName(lock, record.kind));
    }
}

void Kernel::checkThreadEnd()
{
    const std::string name = threadName(currentThread());
    for (auto& [lock, record] : locks_) {
        if (record.holder != currentThread() || record.reported) continue;
        record.reported = true;
        violation("thread ended holding a lock", name + " ended holding " + lockName(lock, record.kind));
    }
    if (irql_ != PASSIVE_LEVEL) {
        violation("thread ended at raised IRQL", name + " ended at IRQL " + std::to_string(irql_));
    }
    if (criticalRegion_ != 0) {
        violation("thread ended in a critical region",
                  name + " entered " + std::to_string(criticalRegion_) + " more than it left");
    }
}

KIRQL Kernel::raiseIrql(KIRQL irql, const char* routine)
{
    const KIRQL old = irql_;
    if (irql < old) {
        violation(std::string(routine) + " to a lower IRQL",
                  std::string(routine) + " from " + std::to_string(old) + " to " + std::to_string(irql));
    }
    irql_ = irql;
    return old;
}

void Kernel::lowerIrql(KIRQL irql)
{
    if (irql > irql_) {
        violation("KeLowerIrql to a higher IRQL",
                  "KeLowerIrql from " + std::to_string(irql_) + " to " + std::to_string(irql));
    }
    if (irql < DISPATCH_LEVEL && irql_ >= DISPATCH_LEVEL) {
        for (const auto& [lock, record] : locks_) {
            if (record.kind != LockKind::SpinLock || record.holder != currentThread()) continue;
            violation("spin lock held below DISPATCH_LEVEL",
                      "KeLowerIrql to " + std::to_string(irql) + " holding " + lockName(lock, record.kind));
            break;
        }
    }
    irql_ = irql;
}

void Kernel::enterCriticalRegion()
{
    checkIrql("KeEnterCriticalRegion", APC_LEVEL);
    ++criticalRegion_;
}

void Kernel::leaveCriticalRegion()
{
    checkIrql("KeLeaveCriticalRegion", APC_LEVEL);
    if (criticalRegion_ == 0) {
        violation("critical region left but not entered", "KeLeaveCriticalRegion");
        return;
    }
    --criticalRegion_;
}

}  // namespace nt

// --- the routines drivers call ------------------------------------------------------------------

using nt::Kernel;

namespace {

// The unsafe fast-mutex routines leave the IRQL alone: the caller keeps APCs off itself, at
// APC_LEVEL or inside a critical region.
void checkUnsafeCaller(Kernel& kernel, const char* routine)
{
    kernel.checkIrql(routine, APC_LEVEL);
    if (kernel.irql() < APC_LEVEL && !kernel.inCriticalRegion()) {
        kernel.violation(std::string(routine) + " outside a critical region",
                         std::string(routine) + " at IRQL " + std::to_string(kernel.irql()) +
                             " outside a critical region");
    }
}

// A release runs at the IRQL its acquisition raised to, and nowhere else.
void checkReleaseAt(Kernel& kernel, const char* routine, KIRQL level, const char* levelName)
{
    if (kernel.irql() == level) return;
    kernel.violation(std::string(routine) + " not at " + levelName,
                     std::string(routine) + " at IRQL " + std::to_string(kernel.irql()));
}

// The AtDpcLevel pair leaves the IRQL alone: the caller is at DISPATCH_LEVEL already.
void checkAtDispatch(Kernel& kernel, const char* routine)
{
    if (kernel.irql() >= DISPATCH_LEVEL) return;
    kernel.violation(std::string(routine) + " below DISPATCH_LEVEL",
                     std::string(routine) + " at IRQL " + std::to_string(kernel.irql()));
}

// Every interlocked routine is one step for the scheduler: a preemption point at its entry, then
// the operation with nobody in between. It orders its caller after every earlier interlocked
// operation on the address, and every later one after it.
LONG wrappingSum(LONG a, LONG b)
{
    return static_cast<LONG>(static_cast<ULONG>(a) + static_cast<ULONG>(b));
}

template <typename Operation>
LONG interlocked(LONG volatile* target, Operation operation)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    kernel.sync(const_cast<LONG*>(target), false);
    const LONG result = operation(target);
    kernel.sync(const_cast<LONG*>(target), true);
    return result;
}

}  // namespace

extern "C" {

KIRQL FASTCALL NT_IMAGE_CALLABLE KfRaiseIrql(KIRQL NewIrql)
{
    Kernel::current().preempt();
    return Kernel::current().raiseIrql(NewIrql, "KeRaiseIrql");
}

KIRQL NTAPI NT_IMAGE_CALLABLE KeRaiseIrqlToDpcLevel(VOID)
{
    Kernel::current().preempt();
    return Kernel::current().raiseIrql(DISPATCH_LEVEL, "KeRaiseIrqlToDpcLevel");
}

VOID FASTCALL NT_IMAGE_CALLABLE KfLowerIrql(KIRQL NewIrql)
{
    Kernel::current().preempt();
    Kernel::current().lowerIrql(NewIrql);
}

VOID NTAPI NT_IMAGE_CALLABLE KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { *SpinLock = 0; }

KIRQL FASTCALL NT_IMAGE_CALLABLE KfAcquireSpinLock(PKSPIN_LOCK SpinLock)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    kernel.checkIrql("KeAcquireSpinLock", DISPATCH_LEVEL);
    const KIRQL old = kernel.irql();
    if (old < DISPATCH_LEVEL) kernel.setIrql(DISPATCH_LEVEL);
    kernel.acquireLock(SpinLock, Kernel::LockKind::SpinLock, "KeAcquireSpinLock");
    return old;
}

VOID FASTCALL NT_IMAGE_CALLABLE KfReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    checkReleaseAt(kernel, "KeReleaseSpinLock", DISPATCH_LEVEL, "DISPATCH_LEVEL");
    kernel.releaseLock(SpinLock, Kernel::LockKind::SpinLock, "KeReleaseSpinLock");
    kernel.setIrql(NewIrql);
}

VOID NTAPI NT_IMAGE_CALLABLE KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    checkAtDispatch(kernel, "KeAcquireSpinLockAtDpcLevel");
    kernel.acquireLock(SpinLock, Kernel::LockKind::SpinLock, "KeAcquireSpinLockAtDpcLevel");
}

VOID NTAPI NT_IMAGE_CALLABLE KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    checkAtDispatch(kernel, "KeReleaseSpinLockFromDpcLevel");
    kernel.releaseLock(SpinLock, Kernel::LockKind::SpinLock, "KeReleaseSpinLockFromDpcLevel");
}

VOID FASTCALL NT_IMAGE_CALLABLE ExAcquireFastMutex(PFAST_MUTEX FastMutex)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    kernel.checkIrql("ExAcquireFastMutex", APC_LEVEL);
    const KIRQL old = kernel.irql();
    if (old < APC_LEVEL) kernel.setIrql(APC_LEVEL);
    if (kernel.acquireLock(FastMutex, Kernel::LockKind::FastMutex, "ExAcquireFastMutex")) {
        FastMutex->OldIrql = old;
    }
}

VOID FASTCALL NT_IMAGE_CALLABLE ExReleaseFastMutex(PFAST_MUTEX FastMutex)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    checkReleaseAt(kernel, "ExReleaseFastMutex", APC_LEVEL, "APC_LEVEL");
    // The IRQL to return to is read before the release: the next owner overwrites it.
    const auto old = static_cast<KIRQL>(FastMutex->OldIrql);
    if (kernel.releaseLock(FastMutex, Kernel::LockKind::FastMutex, "ExReleaseFastMutex")) {
        kernel.setIrql(old);
    }
}

VOID FASTCALL NT_IMAGE_CALLABLE ExAcquireFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    checkUnsafeCaller(kernel, "ExAcquireFastMutexUnsafe");
    kernel.acquireLock(FastMutex, Kernel::LockKind::FastMutex, "ExAcquireFastMutexUnsafe");
}

VOID FASTCALL NT_IMAGE_CALLABLE ExReleaseFastMutexUnsafe(PFAST_MUTEX FastMutex)
{
    Kernel& kernel = Kernel::current();
    kernel.preempt();
    checkUnsafeCaller(kernel, "ExReleaseFastMutexUnsafe");
    kernel.releaseLock(FastMutex, Kernel::LockKind::FastMutex, "ExReleaseFastMutexUnsafe");
}

VOID NTAPI NT_IMAGE_CALLABLE KeEnterCriticalRegion(VOID)
{
    Kernel::current().preempt();
    Kernel::current().enterCriticalRegion();
}

VOID NTAPI NT_IMAGE_CALLABLE KeLeaveCriticalRegion(VOID)
{
    Kernel::current().preempt();
    Kernel::current().leaveCriticalRegion();
}

LONG FASTCALL NT_IMAGE_CALLABLE InterlockedIncrement(LONG volatile* Addend)
{
    return interlocked(Addend, [](LONG volatile* a) {
        const LONG now = wrappingSum(*a, 1);
        *a = now;
        return now;
    });
}

LONG FASTCALL NT_IMAGE_CALLABLE InterlockedDecrement(LONG volatile* Addend)
{
    return interlocked(Addend, [](LONG volatile* a) {
        const LONG now = wrappingSum(*a, -1);
        *a = now;
        return now;
    });
}

LONG FASTCALL NT_IMAGE_CALLABLE InterlockedExchange(LONG volatile* Target, LONG Value)
{
    return interlocked(Target, [Value](LONG volatile* t) {
        const LONG old = *t;
        *t = Value;
        return old;
    });
}

LONG FASTCALL NT_IMAGE_CALLABLE InterlockedExchangeAdd(LONG volatile* Addend, LONG Value)
{
    return interlocked(Addend, [Value](LONG volatile* a) {
        const LONG old = *a;
        *a = wrappingSum(old, Value);
        return old;
    });
}

LONG FASTCALL NT_IMAGE_CALLABLE InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange,
                                                           LONG Comparand)
{
    return interlocked(Destination, [Exchange, Comparand](LONG volatile* d) {
        const LONG old = *d;
        if (old == Comparand) *d = Exchange;
        return old;
    });
}

}  // extern "C"
