// Remove locks, as Windows 2000 keeps them: a count of the acquisitions outstanding plus one for
// the lock itself, a flag that removal has begun, and an event removal waits on. A driver takes
// its device's lock for each request it works on and gives it back once the request is done; at
// removal it gives back its own acquisition and the lock's, and waits until every other one has
// been given back. From then on an acquisition fails with STATUS_DELETE_PENDING.
//
// Each lock is one object for happens-before: every release comes before the end of the wait at
// removal, and nothing else is ordered by it (two acquisitions of one lock are not). Acquiring
// and releasing are one interlocked step each with no preemption point of their own: the
// dispatch and completion routines around them are points already, and a point here would only
// multiply the schedules of every request through a function driver.
#include <nt/kernel.hpp>
#include <nt/sched.hpp>

#include <algorithm>
#include <string>

using nt::Kernel;

namespace {

// The stand-in knows the free build's layout; a caller built for the checked build's larger one
// would hand it memory it does not understand.
bool checkSize(Kernel& kernel, const char* routine, PIO_REMOVE_LOCK lock, ULONG size)
{
    if (size == sizeof(IO_REMOVE_LOCK)) return true;
    kernel.violation("remove lock of another size",
                     std::string(routine) + " of remove lock " + kernel.objectName(lock) +
                         " with size " + std::to_string(size) + ", not the free build's " +
                         std::to_string(sizeof(IO_REMOVE_LOCK)));
    return false;
}

// One acquisition given back; the last one, after removal has begun, wakes the removal.
void giveBack(Kernel& kernel, PIO_REMOVE_LOCK lock, const char* routine)
{
    kernel.sync(lock, true);
    const LONG left = --lock->Common.IoCount;
    if (left < 0 || (left == 0 && !lock->Common.Removed)) {
        kernel.violation("remove lock released more often than acquired",
                         std::string(routine) + " of remove lock " + kernel.objectName(lock));
        lock->Common.IoCount = std::max<LONG>(left, 1);
        return;
    }
    if (left == 0) lock->Common.RemoveEvent.Header.SignalState = 1;
}

}  // namespace

extern "C" {

VOID NTAPI NT_IMAGE_CALLABLE IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG, ULONG, ULONG,
                                                      ULONG RemlockSize)
{
    Kernel& kernel = Kernel::current();
    kernel.checkIrql("IoInitializeRemoveLock", PASSIVE_LEVEL);
    if (!checkSize(kernel, "IoInitializeRemoveLock", Lock, RemlockSize)) return;
    Lock->Common.Removed = FALSE;
    Lock->Common.Reserved[0] = Lock->Common.Reserved[1] = Lock->Common.Reserved[2] = 0;
    Lock->Common.IoCount = 1;
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
}

NTSTATUS NTAPI NT_IMAGE_CALLABLE IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, PCSTR, ULONG,
                                                       ULONG RemlockSize)
{
    Kernel& kernel = Kernel::current();
    kernel.checkIrql("IoAcquireRemoveLock", DISPATCH_LEVEL);
    if (!checkSize(kernel, "IoAcquireRemoveLock", RemoveLock, RemlockSize)) return STATUS_DELETE_PENDING;
    kernel.noteFirstTaker(RemoveLock);
    ++RemoveLock->Common.IoCount;
    if (!RemoveLock->Common.Removed) return STATUS_SUCCESS;
    // Removal has begun: the acquisition is given back at once.
    if (--RemoveLock->Common.IoCount == 0) RemoveLock->Common.RemoveEvent.Header.SignalState = 1;
    return STATUS_DELETE_PENDING;
}

VOID NTAPI NT_IMAGE_CALLABLE IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID, ULONG RemlockSize)
{
    Kernel& kernel = Kernel::current();
    kernel.checkIrql("IoReleaseRemoveLock", DISPATCH_LEVEL);
    if (!checkSize(kernel, "IoReleaseRemoveLock", RemoveLock, RemlockSize)) return;
    giveBack(kernel, RemoveLock, "IoReleaseRemoveLock");
}

// Without simulated processors nothing but pended work can give an acquisition back, and that
// runs here; with them, the thread blocks until the last one is given back.
VOID NTAPI NT_IMAGE_CALLABLE IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID,
                                                          ULONG RemlockSize)
{
    Kernel& kernel = Kernel::current();
    kernel.checkIrql("IoReleaseRemoveLockAndWait", PASSIVE_LEVEL);
    if (!checkSize(kernel, "IoReleaseRemoveLockAndWait", RemoveLock, RemlockSize)) return;
    if (RemoveLock->Common.Removed) {
        kernel.violation("remove lock released and waited for twice",
                         "IoReleaseRemoveLockAndWait of remove lock " + kernel.objectName(RemoveLock));
        return;
    }
    RemoveLock->Common.Removed = TRUE;
    // The lock's own count first, then the caller's acquisition.
    --RemoveLock->Common.IoCount;
    giveBack(kernel, RemoveLock, "IoReleaseRemoveLockAndWait");
    KEVENT& done = RemoveLock->Common.RemoveEvent;
    nt::Scheduler* scheduler = kernel.scheduler();
    if (scheduler != nullptr && scheduler->inThread() && !kernel.runningDeferredHere()) {
        scheduler->blockUntil([&done] { return done.Header.SignalState != 0; },
                              "waiting for remove lock " + kernel.objectName(RemoveLock));
    } else {
        while (done.Header.SignalState == 0 && kernel.runOneDeferred()) {
        }
    }
    if (done.Header.SignalState == 0) {
        kernel.violation("remove lock never released",
                         "IoReleaseRemoveLockAndWait of remove lock " + kernel.objectName(RemoveLock) +
                             ": " + std::to_string(RemoveLock->Common.IoCount) +
                             " acquisitions never given back");
        return;
    }
    done.Header.SignalState = 0;
    kernel.sync(RemoveLock, false);
}

}  // extern "C"
