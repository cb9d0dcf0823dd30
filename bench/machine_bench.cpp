// Where a user waits: whole machines booted, cards hot added, requests passed through the
// driver's filters, and long runs of hot add and removal. Each benchmark builds its machines
// outside the timed part unless building them is what it measures.
//
// Besides the benchmarks, `--instructions=KIND` runs one kind of pass-through request 1,000
// times with callgrind's instrumentation on only around the loop (run it under
// `valgrind --tool=callgrind --instr-atstart=no`); KIND is pnp or power, then filtered or bare.
#include <formats/generator.hpp>
#include <machine/machine.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <sched/explore.hpp>

#include <benchmark/benchmark.h>
#include <valgrind/callgrind.h>

#include <malloc.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

namespace {

machine::MachineDesc generated(unsigned width, unsigned depth, unsigned buses)
{
    std::string error;
    auto desc = formats::generateMachine({width, depth, buses}, error);
    if (!desc) throw std::runtime_error("generator: " + error);
    return *desc;
}

// The maximal machine: every bus number from 00 to fe handed out.
const machine::MachineDesc& maximal()
{
    static const machine::MachineDesc desc = generated(8, 4, formats::MaxGeneratedBuses);
    return desc;
}

const machine::MachineDesc& builtIn()
{
    static const machine::MachineDesc desc = formats::defaultMachine();
    return desc;
}

std::unique_ptr<machine::Machine> make(const machine::MachineDesc& desc, bool withDriver = true)
{
    machine::MachineOptions options;
    options.withDriver = withDriver;
    options.driverPath = HOTP_DRIVER_PATH;
    // No listener: nothing is formatted for output, as in a run whose output nobody reads.
    return std::make_unique<machine::Machine>(desc, options, nullptr);
}

machine::Event event(machine::EventKind kind, const std::string& card, const std::string& slot)
{
    machine::Event e;
    e.kind = kind;
    e.card = card;
    std::string error;
    auto where = machine::parseLocation(slot, error);
    if (!where) throw std::runtime_error(error);
    e.slot = *where;
    e.device = *where;
    return e;
}

void apply(machine::Machine& m, const machine::Event& e)
{
    if (!m.apply(e)) throw std::runtime_error("an event did not apply");
}

// Tears a machine down and fails the benchmark when the verifier found anything.
void finish(benchmark::State& state, std::unique_ptr<machine::Machine>& m)
{
    auto problems = m->shutdown();
    m.reset();
    if (!problems.empty()) state.SkipWithError(("verifier: " + problems.front()).c_str());
}

void bootBuiltIn(benchmark::State& state)
{
    for (auto _ : state) {
        auto m = make(builtIn());
        m->boot();
        state.PauseTiming();
        finish(state, m);
        state.ResumeTiming();
    }
}
BENCHMARK(bootBuiltIn)->Name("boot/built-in")->Unit(benchmark::kMillisecond)->Iterations(20);

void bootMaximal(benchmark::State& state)
{
    for (auto _ : state) {
        auto m = make(maximal());
        m->boot();
        state.PauseTiming();
        finish(state, m);
        state.ResumeTiming();
    }
}
BENCHMARK(bootMaximal)->Name("boot/maximal")->Unit(benchmark::kMillisecond)->Iterations(5);

// Random schedules of the built-in scenario on two simulated processors, each a fresh machine
// with every detector on: the rate at which an exploration runs.
void randomSchedules(benchmark::State& state)
{
    const machine::ScenarioDesc scenario = formats::defaultScenario();
    sched::MachineFactory fresh = [] {
        machine::MachineOptions options;
        options.driverPath = HOTP_DRIVER_PATH;
        return std::make_unique<machine::Machine>(builtIn(), options, nullptr);
    };
    sched::ExploreOptions options;
    options.schedules = 50;
    uint64_t schedules = 0;
    for (auto _ : state) schedules += sched::explore(fresh, {}, scenario, options).schedules;
    state.counters["schedules"] = benchmark::Counter(static_cast<double>(schedules),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(randomSchedules)->Name("schedules/random, built-in scenario, 2 processors")
    ->Unit(benchmark::kMillisecond)->Iterations(2);

// The R2 scenario of docs/concurrency.md (a path bridge restored during a scan), every schedule
// with at most one deviation: a scenario whose threads compete, each schedule a copy of the
// machine made at its first decision. The rate says how long its bound-2 exploration takes.
void boundedR2(benchmark::State& state)
{
    const std::string folder = HOTP_SOURCE_DIR "/docs/concurrency/";
    auto machineFile = formats::loadMachine(folder + "machine-one-spare.toml");
    auto scenarioFile = formats::loadScenario(folder + "r2-restore-during-scan.toml");
    if (!machineFile || !scenarioFile) {
        state.SkipWithError("the R2 files do not load");
        return;
    }
    const machine::MachineDesc desc = machineFile.value();
    const machine::ScenarioDesc scenario = scenarioFile.value();
    sched::MachineFactory fresh = [&desc] {
        machine::MachineOptions options;
        options.driverPath = HOTP_DRIVER_PATH;
        return std::make_unique<machine::Machine>(desc, options, nullptr);
    };
    sched::ExploreOptions options;
    options.strategy = sched::Strategy::Bounded;
    options.preemptions = 1;
    options.schedules = UINT64_MAX;
    uint64_t schedules = 0;
    for (auto _ : state) {
        const sched::ExploreReport report = sched::explore(fresh, {}, scenario, options);
        if (!report.complete || !report.findings.empty()) state.SkipWithError("R2 bound 1 did not end clean");
        schedules += report.schedules;
    }
    state.counters["schedules"] = benchmark::Counter(static_cast<double>(schedules),
                                                     benchmark::Counter::kIsRate);
}
BENCHMARK(boundedR2)->Name("schedules/bounded 1, R2 scenario, 2 processors")
    ->Unit(benchmark::kMillisecond)->Iterations(1);

// Boot against the number of functions: 36 functions on every bus, 28 to 222 such buses.
void bootScaling(benchmark::State& state)
{
    const formats::MachineShape shape{36, 4, static_cast<unsigned>(state.range(0))};
    const machine::MachineDesc desc = generated(shape.width, shape.depth, shape.buses);
    for (auto _ : state) {
        auto m = make(desc);
        m->boot();
        state.PauseTiming();
        finish(state, m);
        state.ResumeTiming();
    }
    state.counters["functions"] = formats::generatedFunctions(shape);
}
BENCHMARK(bootScaling)
    ->Name("boot/functions")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Arg(61)
    ->Arg(89)
    ->Arg(145)
    ->Arg(255);

// One card hot added behind the hot-plug bridge of a booted machine.
void hotAdd(benchmark::State& state, const machine::MachineDesc* desc, const char* card)
{
    const machine::Event insert = event(machine::EventKind::Insert, card, "slot 1");
    for (auto _ : state) {
        state.PauseTiming();
        auto m = make(*desc);
        m->boot();
        state.ResumeTiming();
        apply(*m, insert);
        state.PauseTiming();
        finish(state, m);
        state.ResumeTiming();
    }
}
BENCHMARK_CAPTURE(hotAdd, network, &builtIn(), "network card")
    ->Name("hot add/network card, built-in machine")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK_CAPTURE(hotAdd, nested, &builtIn(), "nested bridge card")
    ->Name("hot add/nested bridge card, built-in machine")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(20);
BENCHMARK_CAPTURE(hotAdd, chain, &maximal(), "bridge chain")
    ->Name("hot add/31-deep bridge chain, maximal machine")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// What a user of hotpsim waits for: the maximal machine booted, the chain hot added, torn down.
void maximalRun(benchmark::State& state)
{
    const machine::Event insert = event(machine::EventKind::Insert, "bridge chain", "slot 1");
    for (auto _ : state) {
        auto m = make(maximal(), state.range(0) != 0);
        m->boot();
        apply(*m, insert);
        finish(state, m);
    }
}
BENCHMARK(maximalRun)
    ->Name("whole run/maximal machine with the chain hot added")
    ->ArgName("driver")
    ->Arg(1)
    ->Arg(0)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

// A request the driver's filters pass down without acting on it, sent to the top of the stack
// of the built-in machine's network controller, with the driver (filtered) and without (bare).
struct PassThrough {
    UCHAR major, minor;
};

class Requests {
public:
    explicit Requests(bool withDriver) : m_(make(builtIn(), withDriver))
    {
        m_->boot();
        node_ = m_->nodeAt(0, 2, 0);
        if (node_ == nullptr) throw std::runtime_error("no network controller at 00:02.0");
    }
    ~Requests() { m_->shutdown(); }

    void send(PassThrough kind)
    {
        nt::Kernel& kernel = m_->kernel();
        PDEVICE_OBJECT top = node_->pdo;
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
        PIRP irp = kernel.allocateIrp(top->StackSize);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
        stack->MajorFunction = kind.major;
        stack->MinorFunction = kind.minor;
        if (kind.major == IRP_MJ_POWER) {
            stack->Parameters.Power.Type = DevicePowerState;
            stack->Parameters.Power.State.DeviceState = PowerDeviceD0;
        }
        kernel.sendToStack(node_->pdo, irp);
        IoFreeIrp(irp);
    }

private:
    std::unique_ptr<machine::Machine> m_;
    pnp::DeviceNode* node_ = nullptr;
};

constexpr PassThrough PnpPassThrough{IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE};
constexpr PassThrough PowerPassThrough{IRP_MJ_POWER, IRP_MN_QUERY_POWER};

void passThrough(benchmark::State& state, PassThrough kind, bool withDriver)
{
    Requests requests(withDriver);
    for (auto _ : state) requests.send(kind);
}
BENCHMARK_CAPTURE(passThrough, pnp_filtered, PnpPassThrough, true)
    ->Name("pass-through/pnp, filtered");
BENCHMARK_CAPTURE(passThrough, pnp_bare, PnpPassThrough, false)->Name("pass-through/pnp, bare");
BENCHMARK_CAPTURE(passThrough, power_filtered, PowerPassThrough, true)
    ->Name("pass-through/power, filtered");
BENCHMARK_CAPTURE(passThrough, power_bare, PowerPassThrough, false)
    ->Name("pass-through/power, bare");

// 10,000 hot add and removal cycles of the network card; memory still held afterwards, per
// cycle, after a warm-up that lets every cache reach its size.
void hotPlugCycles(benchmark::State& state)
{
    constexpr int Cycles = 10000, WarmUp = 200;
    const machine::Event insert = event(machine::EventKind::Insert, "network card", "slot 1");
    const machine::Event remove = event(machine::EventKind::Remove, "", "slot 1");
    for (auto _ : state) {
        state.PauseTiming();
        auto m = make(builtIn());
        m->boot();
        for (int i = 0; i < WarmUp; ++i) {
            apply(*m, insert);
            apply(*m, remove);
        }
        malloc_trim(0);
        const size_t before = mallinfo2().uordblks;
        state.ResumeTiming();
        for (int i = 0; i < Cycles; ++i) {
            apply(*m, insert);
            apply(*m, remove);
        }
        state.PauseTiming();
        const size_t after = mallinfo2().uordblks;
        state.counters["bytes per cycle"] =
            (static_cast<double>(after) - static_cast<double>(before)) / Cycles;
        finish(state, m);
        state.ResumeTiming();
    }
}
BENCHMARK(hotPlugCycles)
    ->Name("hot add and removal/10,000 cycles, network card")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// Callgrind counts instructions only inside this loop.
int countInstructions(const std::string& kind)
{
    const bool power = kind.rfind("power", 0) == 0;
    const bool filtered = kind.find("filtered") != std::string::npos;
    if ((!power && kind.rfind("pnp", 0) != 0) ||
        (!filtered && kind.find("bare") == std::string::npos)) {
        std::fprintf(stderr, "--instructions: pnp or power, then filtered or bare\n");
        return 2;
    }
    Requests requests(filtered);
    const PassThrough what = power ? PowerPassThrough : PnpPassThrough;
    requests.send(what);  // first use: anything made once is made now
    CALLGRIND_START_INSTRUMENTATION;
    for (int i = 0; i < 1000; ++i) requests.send(what);
    CALLGRIND_STOP_INSTRUMENTATION;
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--instructions=", 15) == 0) return countInstructions(argv[i] + 15);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
