// The running machine refuses an event it cannot play, with a problem that says why, and goes on.
#include <gtest/gtest.h>

#include <formats/machine_file.hpp>
#include <machine/machine.hpp>
#include <machine_events.hpp>

#include <string>
#include <vector>

namespace {

using hotp::test::makeEvent;

TEST(Machine, RefusesAnEventItCannotPlay)
{
    using machine::EventKind;
    machine::Event noRelations;
    noRelations.kind = EventKind::Fail;
    noRelations.fault = "lower-fail";
    noRelations.once = false;
    const struct {
        const char* name;
        std::vector<machine::Event> armed, before;
        machine::Event refused;
        std::string problem;
    } cases[] = {
        {"occupied slot", {}, {makeEvent(EventKind::Insert, "slot 1", "network card")},
         makeEvent(EventKind::Insert, "slot 1", "network card"),
         "insert: slot 1 is not a free hot-plug slot"},
        {"empty slot", {}, {}, makeEvent(EventKind::Remove, "slot 2"), "remove: slot 2 holds no card"},
        {"no device at a location", {}, {}, makeEvent(EventKind::Power, "slot 2"),
         "power: no device at slot 2"},
        {"a bus no device serves", {noRelations}, {},
         makeEvent(EventKind::Insert, "slot 1", "network card"), "insert: no bus device serves bus 1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> problems;
        machine::MachineOptions options;
        options.withDriver = false;
        machine::Machine m(formats::defaultMachine(), options, [&](const machine::Output& out) {
            if (out.kind == machine::Output::Kind::Problem) problems.push_back(out.text);
        });
        m.boot(c.armed);
        for (const machine::Event& e : c.before) EXPECT_TRUE(m.apply(e));
        problems.clear();
        EXPECT_FALSE(m.apply(c.refused));
        EXPECT_EQ(problems, std::vector<std::string>{c.problem});
        m.shutdown();
    }
}

}  // namespace
