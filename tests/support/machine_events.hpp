// What tests that play whole machines share: scenario events built in code, as a scenario file
// gives them, and a fixture that boots a machine and shuts it down clean.
#pragma once

#include <cycle_text.hpp>
#include <machine_fixture.hpp>

#include <formats/machine_file.hpp>
#include <machine/location.hpp>
#include <machine/machine.hpp>
#include <machine/scenario.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace hotp::test {

// An event at a slot, or for a power event at a device; sleep goes to S3. A location that does
// not parse throws, which fails the test.
inline machine::Event makeEvent(machine::EventKind kind, const std::string& where = {},
                                const std::string& card = {}, unsigned deviceState = 0)
{
    machine::Event e;
    e.kind = kind;
    e.card = card;
    e.deviceState = deviceState;
    e.systemState = 3;
    if (!where.empty()) {
        std::string error;
        auto location = machine::parseLocation(where, error);
        if (!location) throw std::runtime_error(where + ": " + error);
        (kind == machine::EventKind::Power ? e.device : e.slot) = *location;
    }
    return e;
}

// A fault armed at a device (`where`, a location), as a scenario's fail event gives it.
inline machine::Event makeFail(const std::string& fault, const std::string& where,
                               std::optional<unsigned> offset, bool once = true, uint64_t nth = 1)
{
    machine::Event e = makeEvent(machine::EventKind::Fail);
    e.fault = fault;
    e.device = makeEvent(machine::EventKind::Power, where).device;
    e.offset = offset;
    e.once = once;
    e.nth = nth;
    return e;
}

// What a machine test may choose; the driver is the one this run loads unless `driverPath` names
// another.
struct BootOptions {
    bool withDriver = true;
    ULONG traceLevel = 0;
    ULONG breakLevel = 0;
    bool pendAll = false;
    std::string driverPath = {};
};

// A machine booted for a test: the built-in one unless the test gives its own, with the driver
// this run loads unless the options name another. Everything the machine shows is kept in
// `outputs` and handed to `sink` as it comes. finish() shuts the machine down and expects the
// verifier clean and nothing left behind (but for what `forgiven` accepts); teardown finishes a
// machine still running.
class MachineFlow : public ::testing::Test {
protected:
    void TearDown() override { finish(); }

    void boot(BootOptions chosen = {}, machine::MachineDesc desc = formats::defaultMachine())
    {
        machine::MachineOptions options;
        options.withDriver = chosen.withDriver;
        options.driverPath = chosen.driverPath.empty() ? driverPath() : chosen.driverPath;
        options.traceLevel = chosen.traceLevel;
        options.breakLevel = chosen.breakLevel;
        options.pendAll = chosen.pendAll;
        outputs.clear();
        m = std::make_unique<machine::Machine>(std::move(desc), options,
                                               [this](const machine::Output& o) {
                                                   outputs.push_back(o);
                                                   if (sink) sink(o);
                                               });
        if (logTransactions) m->hardware().setLogging(true);
        m->boot();
    }

    // The machine of a machine file's text.
    void bootFile(std::string_view text, BootOptions options = {})
    {
        auto parsed = formats::parseMachine(text, "machine.toml");
        ASSERT_TRUE(parsed.ok()) << describe(parsed.errors());
        boot(std::move(options), parsed.value());
    }

    void finish()
    {
        if (!m) return;
        auto problems = m->shutdown();
        if (forgiven) std::erase_if(problems, forgiven);
        EXPECT_TRUE(problems.empty()) << describe(problems);
        m.reset();
    }

    // Plays one event with `outputs` cleared first, so that they hold what the event did.
    bool play(machine::EventKind kind, const std::string& where = {}, const std::string& card = {},
              unsigned deviceState = 0)
    {
        outputs.clear();
        return m->apply(makeEvent(kind, where, card, deviceState));
    }

    std::vector<std::string> texts(machine::Output::Kind kind) const
    {
        std::vector<std::string> out;
        for (const auto& o : outputs) {
            if (o.kind == kind) out.push_back(textOf(o));
        }
        return out;
    }

    std::unique_ptr<machine::Machine> m;
    std::vector<machine::Output> outputs;
    std::function<void(const machine::Output&)> sink;
    std::function<bool(const std::string&)> forgiven;  // shutdown problems a test accepts
    bool logTransactions = false;                       // log configuration transactions from boot
};

}  // namespace hotp::test
