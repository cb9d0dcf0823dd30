// The interlocked routines, and locks between two threads on two simulated processors. (The
// rules one thread can break are rows of the verifier's table.)
#include <nt/kernel.hpp>
#include <nt/sched.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(LockRoutines, InterlockedRoutinesReturnWhatTheKernelReturns)
{
    nt::Kernel kernel;
    LONG value = 6;
    EXPECT_EQ(InterlockedCompareExchange(&value, 9, 6), 6);
    EXPECT_EQ(InterlockedCompareExchange(&value, 0, 6), 9);
    EXPECT_EQ(InterlockedIncrement(&value), 10);
    EXPECT_EQ(InterlockedExchangeAdd(&value, -4), 10);
    EXPECT_EQ(InterlockedExchange(&value, 1), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 0);
}

KSPIN_LOCK g_first, g_second;

void spinBoth(PKSPIN_LOCK one, PKSPIN_LOCK other)
{
    const KIRQL old = KfAcquireSpinLock(one);
    KeAcquireSpinLockAtDpcLevel(other);
    KeReleaseSpinLockFromDpcLevel(other);
    KfReleaseSpinLock(one, old);
}

struct TwoThreads {
    const char* name;
    void (*a)();
    void (*b)();
    bool alternate;                    // the scheduler switches threads at every choice
    std::vector<std::string> rules;    // the verifier's findings, in order
    std::vector<std::string> blocked;  // the deadlock's report, thread by thread
};

const TwoThreads kTwoThreads[] = {
    {"EndsWithWhatAnotherReleases",
     [] { KeEnterCriticalRegion(), (void)KfAcquireSpinLock(&g_first); },
     [] { (void)KeRaiseIrqlToDpcLevel(), KfReleaseSpinLock(&g_first, PASSIVE_LEVEL); }, false,
     {"thread ended holding a lock", "thread ended at raised IRQL",
      "thread ended in a critical region", "spin lock released by another thread"},
     {}},
    {"SpinLockCycle", [] { spinBoth(&g_first, &g_second); }, [] { spinBoth(&g_second, &g_first); },
     true, {},
     {"a (spinning on spin lock " + nt::formatAddress(&g_second) + " held by b)",
      "b (spinning on spin lock " + nt::formatAddress(&g_first) + " held by a)"}},
};

class TwoProcessors : public ::testing::TestWithParam<TwoThreads> {};

TEST_P(TwoProcessors, LocksBetweenThreads)
{
    const TwoThreads& row = GetParam();
    nt::Kernel kernel;
    nt::Scheduler scheduler(kernel, 2, [&row](const nt::Choice& c) {
        return row.alternate ? (c.preferred + 1) % c.candidates.size() : c.preferred;
    });
    scheduler.spawn("a", row.a);
    scheduler.spawn("b", row.b);
    EXPECT_EQ(scheduler.run(), row.blocked.empty());
    EXPECT_EQ(scheduler.blocked(), row.blocked);
    std::vector<std::string> rules;
    for (const nt::Violation& v : kernel.takeViolations()) rules.push_back(v.rule);
    EXPECT_EQ(rules, row.rules);
}

INSTANTIATE_TEST_SUITE_P(Locks, TwoProcessors, ::testing::ValuesIn(kTwoThreads),
                         [](const auto& param) { return std::string(param.param.name); });

// A removal waits for the request another thread holds the lock for, and refuses the next one;
// the release comes before the end of the wait for happens-before, on this lock alone.
TEST(RemoveLock, RemovalWaitsForHoldersAndRefusesLaterAcquisitions)
{
    nt::Kernel kernel;
    IO_REMOVE_LOCK lock, other;
    IoInitializeRemoveLock(&lock, 0, 0, 0);
    IoInitializeRemoveLock(&other, 0, 0, 0);
    std::vector<std::string> seen;
    kernel.onSync = [&](const void* object, bool release) {
        seen.push_back(std::string(object == &lock ? "lock" : "other") + (release ? " released" : " acquired"));
    };
    bool released = false, waitedFor = false, removing = false;
    NTSTATUS late = STATUS_SUCCESS;
    nt::Scheduler scheduler(kernel, 2, [](const nt::Choice& c) { return c.preferred; });
    scheduler.spawn("power", [&] {
        EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
        scheduler.blockUntil([&] { return removing; });
        released = true;
        IoReleaseRemoveLock(&lock, nullptr);
    });
    scheduler.spawn("removal", [&] {
        EXPECT_EQ(IoAcquireRemoveLock(&lock, nullptr), STATUS_SUCCESS);
        waitedFor = lock.Common.IoCount == 3;  // the lock's own count, power's and this one
        removing = true;
        IoReleaseRemoveLockAndWait(&lock, nullptr);
        EXPECT_TRUE(released);
        late = IoAcquireRemoveLock(&lock, nullptr);
    });
    EXPECT_TRUE(scheduler.run());
    EXPECT_TRUE(waitedFor);
    EXPECT_EQ(late, STATUS_DELETE_PENDING);
    // Each give-back releases; the end of the wait acquires. The other lock orders nothing.
    EXPECT_EQ(seen, (std::vector<std::string>{"lock released", "lock released", "lock acquired"}));
    EXPECT_TRUE(kernel.takeViolations().empty());
}

}  // namespace
