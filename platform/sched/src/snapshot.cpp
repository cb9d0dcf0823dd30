#include "snapshot.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <optional>
#include <stdexcept>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#define SNAPSHOT_FIBER_ANNOTATIONS 1
#endif

namespace sched::detail {

namespace {

// The template machine's own stack: deep enough for the scheduler's loop with the sanitizers'
// frames (its threads have stacks of their own).
constexpr size_t kStackSize = size_t{8} << 20;
// What a copy sends back: findings and the chooser's record, bounded.
constexpr size_t kReportSize = size_t{64} << 20;

void put(std::string& out, const void* data, size_t size)
{
    out.append(static_cast<const char*>(data), size);
}

void putText(std::string& out, const std::string& text)
{
    const uint64_t size = text.size();
    put(out, &size, sizeof size);
    out += text;
}

template <typename T>
T take(const char*& at, const char* end)
{
    T value{};
    if (static_cast<size_t>(end - at) < sizeof value) throw std::runtime_error("a copy's report is cut short");
    std::memcpy(&value, at, sizeof value);
    at += sizeof value;
    return value;
}

std::string takeText(const char*& at, const char* end)
{
    const auto size = take<uint64_t>(at, end);
    if (static_cast<uint64_t>(end - at) < size) throw std::runtime_error("a copy's report is cut short");
    std::string text(at, static_cast<size_t>(size));
    at += static_cast<size_t>(size);
    return text;
}

}  // namespace

struct Snapshot::State {
    const MachineFactory& make;
    const std::vector<machine::Event>& armed;
    const machine::ScenarioDesc& scenario;
    RunConfig config;
    std::vector<std::string> reference;

    ucontext_t caller{};
    ucontext_t machine{};
    void* stack = nullptr;
    void* callerFake = nullptr;
    const void* callerBottom = nullptr;
    size_t callerSize = 0;
    void* machineFake = nullptr;

    char* shared = nullptr;
    bool started = false;
    bool suspended = false;  // at the first decision
    bool finished = false;   // the template's run has ended
    bool inCopy = false;
    std::optional<Played> withoutDecisions;  // the one schedule, when there is no decision
    std::exception_ptr failure;              // what the template's run threw

    const nt::Scheduler::Chooser* chooser = nullptr;
    const std::function<void(std::string&)>* save = nullptr;

    State(const MachineFactory& m, const std::vector<machine::Event>& a, const machine::ScenarioDesc& s,
          RunConfig c, std::vector<std::string> r)
        : make(m), armed(a), scenario(s), config(std::move(c)), reference(std::move(r))
    {
    }

    void toMachine()
    {
#if SNAPSHOT_FIBER_ANNOTATIONS
        __sanitizer_start_switch_fiber(&callerFake, stack, kStackSize);
#endif
        swapcontext(&caller, &machine);
#if SNAPSHOT_FIBER_ANNOTATIONS
        __sanitizer_finish_switch_fiber(callerFake, nullptr, nullptr);
#endif
    }

    void toCaller(bool last)
    {
#if SNAPSHOT_FIBER_ANNOTATIONS
        __sanitizer_start_switch_fiber(last ? nullptr : &machineFake, callerBottom, callerSize);
#endif
        swapcontext(&machine, &caller);
#if SNAPSHOT_FIBER_ANNOTATIONS
        __sanitizer_finish_switch_fiber(machineFake, nullptr, nullptr);
#endif
        (void)last;
    }

    static void entry(unsigned high, unsigned low)
    {
        auto* self = reinterpret_cast<State*>(
            static_cast<uintptr_t>((static_cast<uint64_t>(high) << 32) | low));
#if SNAPSHOT_FIBER_ANNOTATIONS
        __sanitizer_finish_switch_fiber(nullptr, &self->callerBottom, &self->callerSize);
#endif
        self->body();
    }

    // The template's run, on its own stack. In a copy it goes on from the first decision with
    // the copy's chooser, and ends the copy; in this process it ends once the template has run
    // to its end, and goes back to the caller for good.
    void body()
    {
        if (inCopyOrTemplate()) return;
        finished = true;
        toCaller(true);
    }

    // False in the template once its run has ended (everything on this stack destroyed).
    bool inCopyOrTemplate()
    {
        std::string report;
        try {
            auto m = make();
            RunConfig run = config;
            bool first = true;
            run.chooser = [this, &first](const nt::Choice& c) -> size_t {
                if (first) {
                    first = false;
                    suspended = true;
                    toCaller(false);
                    suspended = false;
                }
                return (*chooser)(c);
            };
            RunResult result = sched::play(*m, armed, scenario, run);
            Played played;
            played.choices = result.choices;
            played.findings = judge(*m, result, reference);
            if (!inCopy) {
                // No decision at all: the one schedule there is.
                if (first) withoutDecisions = played;
                return false;
            }
            const uint8_t ok = 1;
            put(report, &ok, 1);
            put(report, &played.choices, sizeof played.choices);
            const uint64_t count = played.findings.size();
            put(report, &count, sizeof count);
            for (const Finding& f : played.findings) {
                putText(report, f.detector);
                putText(report, f.text);
            }
            (*save)(report);
        } catch (const std::exception& e) {
            if (!inCopy) {
                failure = std::current_exception();
                return false;
            }
            report.clear();
            const uint8_t failed = 0;
            put(report, &failed, 1);
            putText(report, e.what());
        }
        if (report.size() + sizeof(uint64_t) > kReportSize) {
            report.clear();
            const uint8_t failed = 0;
            put(report, &failed, 1);
            putText(report, "a schedule's record is larger than a copy can send back");
        }
        const uint64_t size = report.size();
        std::memcpy(shared, &size, sizeof size);
        std::memcpy(shared + sizeof size, report.data(), report.size());
        _exit(0);
    }

    void start()
    {
        started = true;
        stack = mmap(nullptr, kStackSize, PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_STACK, -1, 0);
        void* report = mmap(nullptr, kReportSize, PROT_READ | PROT_WRITE,
                            MAP_SHARED | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (stack == MAP_FAILED || report == MAP_FAILED) {
            if (stack != MAP_FAILED) munmap(stack, kStackSize);
            if (report != MAP_FAILED) munmap(report, kReportSize);
            stack = nullptr;
            throw std::runtime_error("no memory for the template machine");
        }
        shared = static_cast<char*>(report);
        getcontext(&machine);
        machine.uc_stack.ss_sp = stack;
        machine.uc_stack.ss_size = kStackSize;
        machine.uc_link = nullptr;
        const auto address = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(this));
        makecontext(&machine, reinterpret_cast<void (*)()>(&State::entry), 2,
                    static_cast<unsigned>(address >> 32), static_cast<unsigned>(address & 0xFFFFFFFFu));
        toMachine();
    }
};

Snapshot::Snapshot(const MachineFactory& make, const std::vector<machine::Event>& armed,
                   const machine::ScenarioDesc& scenario, RunConfig config,
                   std::vector<std::string> judgeAgainst)
    : state_(std::make_unique<State>(make, armed, scenario, std::move(config), std::move(judgeAgainst)))
{
}

Snapshot::~Snapshot()
{
    State& s = *state_;
    if (s.suspended) {
        // The template runs on to its end without deviations and is torn down.
        const nt::Scheduler::Chooser preferred = [](const nt::Choice& c) { return c.preferred; };
        s.chooser = &preferred;
        s.toMachine();
    }
    if (s.stack != nullptr) munmap(s.stack, kStackSize);
    if (s.shared != nullptr) munmap(s.shared, kReportSize);
}

Played Snapshot::play(const nt::Scheduler::Chooser& chooser, const std::function<void(std::string&)>& save,
                      const std::function<void(const char*&, const char*)>& load)
{
    State& s = *state_;
    if (!s.started) s.start();
    if (s.failure) std::rethrow_exception(s.failure);
    if (s.withoutDecisions) return *s.withoutDecisions;
    if (!s.suspended) throw std::runtime_error("the template machine did not stop at its first decision");
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child < 0) throw std::runtime_error("fork failed: a schedule's copy of the machine");
    if (child == 0) {
        s.inCopy = true;
        s.chooser = &chooser;
        s.save = &save;
        s.toMachine();
        _exit(3);  // not reached: the copy ends in body()
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
    }
    if (WIFSIGNALED(status)) {
        throw std::runtime_error(std::string("a schedule's copy of the machine died of signal ") +
                                 std::to_string(WTERMSIG(status)) + " (" + strsignal(WTERMSIG(status)) + ")");
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("a schedule's copy of the machine ended with status " +
                                 std::to_string(WEXITSTATUS(status)));
    }
    uint64_t size = 0;
    std::memcpy(&size, s.shared, sizeof size);
    const char* at = s.shared + sizeof size;
    const char* end = at + std::min<uint64_t>(size, kReportSize - sizeof size);
    if (take<uint8_t>(at, end) == 0) throw std::runtime_error(takeText(at, end));
    Played played;
    played.choices = take<uint64_t>(at, end);
    const auto count = take<uint64_t>(at, end);
    for (uint64_t i = 0; i < count; ++i) {
        Finding f;
        f.detector = takeText(at, end);
        f.text = takeText(at, end);
        played.findings.push_back(std::move(f));
    }
    load(at, end);
    return played;
}

}  // namespace sched::detail
