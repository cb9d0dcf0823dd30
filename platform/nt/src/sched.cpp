// The scheduler of the simulated processors. Every switch goes through the scheduler's own
// context: a thread that must give way returns there, and the scheduler resumes the next one, so
// that the kernel's per-thread state is swapped in one place. The address sanitizer is told of
// every change of stack, as it must be for fibers.
#include <nt/kernel.hpp>
#include <nt/sched.hpp>

#include <sys/mman.h>
#include <ucontext.h>

#include <algorithm>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#define NT_FIBER_ANNOTATIONS 1
#include <sanitizer/common_interface_defs.h>
#endif

namespace nt {

namespace {

// Deep enough for the PnP manager, the bus driver, the driver and the kernel's checks with the
// sanitizers' larger frames; pages are taken only as they are touched.
constexpr size_t kStackSize = size_t{2} << 20;

void startSwitch([[maybe_unused]] void** fakeStack, [[maybe_unused]] const void* bottom,
                 [[maybe_unused]] size_t size)
{
#if NT_FIBER_ANNOTATIONS
    __sanitizer_start_switch_fiber(fakeStack, bottom, size);
#endif
}

void finishSwitch([[maybe_unused]] void* fakeStack, [[maybe_unused]] const void** bottom,
                  [[maybe_unused]] size_t* size)
{
#if NT_FIBER_ANNOTATIONS
    __sanitizer_finish_switch_fiber(fakeStack, bottom, size);
#endif
}

}  // namespace

struct Scheduler::Context {
    ucontext_t context{};
    void* fakeStack = nullptr;
    const void* stackBottom = nullptr;
    size_t stackSize = 0;
};

struct Scheduler::Thread {
    std::string name;
    std::function<void()> body;
    bool service = false;
    bool started = false;
    bool ended = false;
    std::function<bool()> waitingFor;  // set while blocked
    std::string waitingWhat;           // what it is blocked on, when known
    bool spinning = false;             // blocked, keeping its processor
    Kernel::ThreadState state;
    Context context;
    void* stack = nullptr;
    Scheduler* owner = nullptr;
    int id = 0;
};

Scheduler::Scheduler(Kernel& kernel, unsigned processors, Chooser chooser)
    : kernel_(kernel), processors_(std::max(1u, processors), -1), chooser_(std::move(chooser)),
      main_(std::make_unique<Context>())
{
}

Scheduler::~Scheduler()
{
    for (auto& t : threads_) {
        if (t->stack != nullptr) munmap(t->stack, kStackSize);
    }
}

int Scheduler::spawn(std::string name, std::function<void()> body, bool service,
                     std::function<bool()> startWhen)
{
    auto t = std::make_unique<Thread>();
    t->waitingFor = std::move(startWhen);
    t->name = std::move(name);
    t->body = std::move(body);
    t->service = service;
    t->owner = this;
    t->id = static_cast<int>(threads_.size());
    threads_.push_back(std::move(t));
    return threads_.back()->id;
}

int Scheduler::processorOf(int thread) const
{
    for (size_t p = 0; p < processors_.size(); ++p) {
        if (processors_[p] == thread) return static_cast<int>(p);
    }
    return -1;
}

const std::string& Scheduler::name(int thread) const { return threads_.at(thread)->name; }

std::vector<std::string> Scheduler::blocked() const
{
    std::vector<std::string> names;
    for (const auto& t : threads_) {
        if (t->ended || !t->waitingFor) continue;
        names.push_back(t->waitingWhat.empty() ? t->name : t->name + " (" + t->waitingWhat + ")");
    }
    return names;
}

bool Scheduler::ready(Thread& t)
{
    if (t.ended) return false;
    if (t.waitingFor) {
        if (!stopping_ && !t.waitingFor()) return false;
    }
    return true;
}

// A processor's thread gives it up to another when it has ended, is blocked (not spinning) or
// runs below DISPATCH_LEVEL.
bool Scheduler::mayLoseProcessor(int thread, int current) const
{
    const Thread& t = *threads_[static_cast<size_t>(thread)];
    const KIRQL irql = thread == current ? kernel_.irql() : t.state.irql;
    return t.ended || (t.waitingFor && !t.spinning) || irql < DISPATCH_LEVEL;
}

// The threads that may make the next step: every ready thread on a processor, and every ready
// thread that could take one (a free processor, or one whose thread may be preempted).
int Scheduler::decide()
{
    candidates_.clear();
    const int cur = current_;
    bool processorFree = false;
    for (int on : processors_) {
        if (on < 0 || mayLoseProcessor(on, cur)) processorFree = true;
    }
    for (auto& t : threads_) {
        if (!ready(*t)) continue;
        if (processorOf(t->id) >= 0 || processorFree) candidates_.push_back(t->id);
    }
    if (candidates_.empty()) return -1;
    size_t preferred = 0;
    const bool curReady = cur >= 0 && !threads_[static_cast<size_t>(cur)]->waitingFor &&
                          !threads_[static_cast<size_t>(cur)]->ended;
    if (curReady) {
        preferred = static_cast<size_t>(
            std::find(candidates_.begin(), candidates_.end(), cur) - candidates_.begin());
    }
    size_t pick = preferred;
    if (candidates_.size() > 1) {
        pick = chooser_(Choice{candidates_, preferred, curReady ? cur : -1, choices_});
        ++choices_;
        if (pick >= candidates_.size()) pick = preferred;
    }
    const int next = candidates_[pick];
    // The chosen thread takes a processor: its own, a free one, or the first one whose thread
    // may be preempted.
    if (processorOf(next) < 0) {
        size_t at = processors_.size();
        for (size_t p = 0; p < processors_.size() && at == processors_.size(); ++p) {
            if (processors_[p] < 0) at = p;
        }
        for (size_t p = 0; p < processors_.size() && at == processors_.size(); ++p) {
            if (mayLoseProcessor(processors_[p], cur)) at = p;
        }
        processors_[at] = next;
    }
    Thread& chosen = *threads_[static_cast<size_t>(next)];
    if (chosen.waitingFor) chosen.waitingFor = nullptr;
    return next;
}

void Scheduler::point()
{
    if (current_ < 0) return;
    const int next = decide();
    if (next == current_) return;
    next_ = next;
    yieldToScheduler();
}

void Scheduler::blockUntil(std::function<bool()> ready, std::string what, bool spin)
{
    if (current_ < 0) {
        throw std::logic_error("a wait outside the scheduler's threads");
    }
    Thread& t = *threads_[static_cast<size_t>(current_)];
    if (ready()) return;
    t.waitingFor = std::move(ready);
    t.waitingWhat = std::move(what);
    t.spinning = spin;
    // A blocked thread gives its processor back; a spinning one keeps it.
    for (int& on : processors_) {
        if (on == current_ && !spin) on = -1;
    }
    next_ = decide();
    if (next_ == current_) return;
    yieldToScheduler();
}

void Scheduler::yieldToScheduler()
{
    Thread& t = *threads_[static_cast<size_t>(current_)];
    startSwitch(t.ended ? nullptr : &t.context.fakeStack, main_->stackBottom, main_->stackSize);
    swapcontext(&t.context.context, &main_->context);
    finishSwitch(t.context.fakeStack, nullptr, nullptr);
}

void Scheduler::trampoline(unsigned high, unsigned low)
{
    const uint64_t address = (static_cast<uint64_t>(high) << 32) | low;
    auto* t = reinterpret_cast<Thread*>(static_cast<uintptr_t>(address));
    Scheduler& s = *t->owner;
    finishSwitch(nullptr, &s.main_->stackBottom, &s.main_->stackSize);
    try {
        t->body();
        s.kernel_.checkThreadEnd();
    } catch (...) {
        if (!s.failure_) s.failure_ = std::current_exception();
    }
    t->ended = true;
    if (s.onEnd) s.onEnd(t->id);
    for (int& on : s.processors_) {
        if (on == t->id) on = -1;
    }
    s.next_ = s.decide();
    s.yieldToScheduler();
}

void Scheduler::resume(int id)
{
    Thread& t = *threads_[static_cast<size_t>(id)];
    if (!t.started) {
        t.started = true;
        t.stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        if (t.stack == MAP_FAILED) {
            t.stack = nullptr;
            throw std::runtime_error("no memory for a thread's stack");
        }
        getcontext(&t.context.context);
        t.context.context.uc_stack.ss_sp = t.stack;
        t.context.context.uc_stack.ss_size = kStackSize;
        t.context.context.uc_link = nullptr;
        const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(&t));
        makecontext(&t.context.context, reinterpret_cast<void (*)()>(&Scheduler::trampoline), 2,
                    static_cast<unsigned>(address >> 32), static_cast<unsigned>(address & 0xFFFFFFFFu));
        if (onStart) onStart(id);
    }
    const int previous = current_;
    current_ = id;
    kernel_.exchangeThreadState(t.state);
    if (onSwitch) onSwitch(previous, id);
    startSwitch(&main_->fakeStack, t.stack, kStackSize);
    swapcontext(&main_->context, &t.context.context);
    finishSwitch(main_->fakeStack, nullptr, nullptr);
    if (onSwitch) onSwitch(id, -1);
    kernel_.exchangeThreadState(t.state);
    current_ = -1;
}

bool Scheduler::run()
{
    Scheduler* previous = kernel_.scheduler();
    kernel_.setScheduler(this);
    struct Restore {
        Kernel& kernel;
        Scheduler* previous;
        ~Restore() { kernel.setScheduler(previous); }
    } restore{kernel_, previous};

    bool deadlock = false;
    stopping_ = false;
    int next = decide();
    for (;;) {
        if (next < 0) {
            const bool working = std::any_of(threads_.begin(), threads_.end(), [](const auto& t) {
                return !t->ended && !t->service;
            });
            if (working) {
                deadlock = true;
                break;
            }
            // A service thread that never had work to do ends unstarted.
            for (auto& t : threads_) {
                if (t->service && !t->started) t->ended = true;
            }
            const bool services = std::any_of(threads_.begin(), threads_.end(), [](const auto& t) {
                return !t->ended && t->started;
            });
            if (stopping_ || !services) break;
            // Only service threads are left: they are told to stop and run to their end.
            stopping_ = true;
            next = decide();
            continue;
        }
        next_ = -1;
        resume(next);
        if (failure_) std::rethrow_exception(failure_);
        next = next_;
        if (next < 0) next = decide();
    }
    return !deadlock;
}

}  // namespace nt
