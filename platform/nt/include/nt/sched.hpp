// Simulated processors: kernel threads run as fibers on the one host thread, and a scheduler
// decides at every preemption point which thread makes the next step. Which thread that is comes
// from a chooser, so that one schedule can be explored, recorded and played again exactly.
//
// A thread holds a processor while it runs; a thread at DISPATCH_LEVEL or above keeps it until it
// lowers its IRQL or ends. A blocked thread gives its processor back. Every thread carries its
// own share of the kernel's state (the routines it is inside, its IRQL), which the kernel swaps
// in as the thread resumes.
#pragma once

#include <nt/api.h>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace nt {

class Kernel;

// One decision of the scheduler: which of `candidates` (thread ids, in increasing order) makes
// the next step. `preferred` is the index of the thread that runs on when nobody interferes: the
// thread that reached the point, or, when it blocked or ended, the lowest ready one.
struct Choice {
    const std::vector<int>& candidates;
    size_t preferred;
    int current;         // the thread at the point; -1 when it blocked or ended
    uint64_t index;      // how many choices with more than one candidate came before this one
};

class Scheduler {
public:
    // Returns an index into Choice::candidates.
    using Chooser = std::function<size_t(const Choice&)>;

    Scheduler(Kernel& kernel, unsigned processors, Chooser chooser);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // A thread that runs `body` once started, and not before `startWhen` holds (if given); a
    // service thread (the DPC runner) does not keep run() going and is told to stop once the
    // others are done (stopping()).
    int spawn(std::string name, std::function<void()> body, bool service = false,
              std::function<bool()> startWhen = {});
    // Runs the threads spawned so far until every one that is not a service thread has ended.
    // False when the threads left are all blocked (a deadlock): they are abandoned.
    bool run();

    // A preemption point of the running thread; nothing happens outside a thread.
    void point();
    // Blocks the running thread until `ready` holds (checked at every decision). `what` says
    // what it waits for, for a deadlock's report. A spinning thread keeps its processor while it
    // waits, as a processor spinning on a lock at DISPATCH_LEVEL does.
    void blockUntil(std::function<bool()> ready, std::string what = {}, bool spin = false);
    bool stopping() const { return stopping_; }

    bool inThread() const { return current_ >= 0; }
    int current() const { return current_; }
    int processorOf(int thread) const;
    const std::string& name(int thread) const;
    size_t threadCount() const { return threads_.size(); }
    // Decisions that had more than one candidate so far.
    uint64_t choices() const { return choices_; }
    // Names of the threads still blocked when run() found a deadlock, each with what it waits
    // for when that is known.
    std::vector<std::string> blocked() const;

    // Told when a thread starts running after another (or after the scheduler itself, -1), so
    // that layers keeping per-thread state of their own can swap it.
    std::function<void(int from, int to)> onSwitch;
    // Told of a thread's start (parent -1: the scheduler) and end, for happens-before.
    std::function<void(int thread)> onStart;
    std::function<void(int thread)> onEnd;

private:
    struct Thread;
    struct Context;
    int decide();
    void switchTo(int next);
    void resume(int thread);
    void yieldToScheduler();
    static void trampoline(unsigned high, unsigned low);
    bool ready(Thread& t);
    bool mayLoseProcessor(int thread, int current) const;

    Kernel& kernel_;
    std::vector<int> processors_;  // the thread on each processor, or -1
    Chooser chooser_;
    std::vector<std::unique_ptr<Thread>> threads_;
    std::unique_ptr<Context> main_;
    int current_ = -1;
    int next_ = -1;
    bool stopping_ = false;
    uint64_t choices_ = 0;
    std::vector<int> candidates_;
    std::exception_ptr failure_;
};

}  // namespace nt
