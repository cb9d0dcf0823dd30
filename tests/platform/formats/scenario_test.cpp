// Scenario files, locations, and scenarios played against a machine's description.
#include <gtest/gtest.h>

#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <string>

namespace {

using machine::EventKind;
using formats::parseScenario;

TEST(Location, PathsAndLabels)
{
    struct Case {
        const char* text;
        const char* label;           // expected label, "" for none
        int labelFunction;           // -1 for none
        const char* path;            // formatPath of the steps
        unsigned root = 0;           // the root bus the path starts at
    };
    const Case good[] = {
        {"02.0", "", -1, "02.0"},
        {"00:1e.0", "", -1, "1e.0"},
        {"1E.0/01", "", -1, "1e.0/01"},
        {"1e.0/00.0/1f.7", "", -1, "1e.0/00.0/1f.7"},
        {"8", "", -1, "08"},
        {"slot 1", "slot 1", -1, ""},
        {"slot 2.0/01.1", "slot 2", 0, "01.1"},
        {" riser.left ", "riser.left", -1, ""},
        // A peer host bridge's root bus; whether the machine has one is for the machine to say.
        {"80:02.0/00.0", "", -1, "02.0/00.0", 0x80},
        {"01:1e.0", "", -1, "1e.0", 0x01},
    };
    for (const Case& c : good) {
        std::string error;
        auto location = machine::parseLocation(c.text, error);
        ASSERT_TRUE(location) << c.text << ": " << error;
        EXPECT_EQ(location->label, c.label) << c.text;
        EXPECT_EQ(location->labelFunction ? static_cast<int>(*location->labelFunction) : -1,
                  c.labelFunction)
            << c.text;
        EXPECT_EQ(machine::formatPath(location->steps), c.path) << c.text;
        EXPECT_EQ(location->root, c.root) << c.text;
    }
    struct Bad {
        const char* text;
        const char* message;
    };
    const Bad bad[] = {
        {"", "empty location"},
        {"1e.0//01", "empty step"},
        {"20.0", "device 20 is out of range"},
        {"1e.9", "function 9 is out of range"},
        {"1e.10", "one digit"},
        {"1e/01.0", "needs its function"},
        {"1e.0/slot 1", "is not a device.function step"},
        {"riser.left/03.0", "needs its function ('riser.left.0/...')"},
        {".7", "a function number needs a device or a slot label"},
        {" .3 ", "a function number needs a device or a slot label"},
        {"00:.7/01.0", "a function number needs a device or a slot label"},
    };
    for (const Bad& c : bad) {
        std::string error;
        EXPECT_FALSE(machine::parseLocation(c.text, error)) << c.text;
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << ": " << error;
    }
    for (const char* label : {"slot 1", "front left", "riser.left", "slot-A"}) {
        EXPECT_TRUE(machine::isValidSlotLabel(label)) << label;
    }
    for (const char* label : {"", "1e", "1e.0", "a/b", "slot.1", " slot", "00:x"}) {
        EXPECT_FALSE(machine::isValidSlotLabel(label)) << label;
    }
}

struct Malformed {
    const char* name;
    const char* text;
    unsigned line;
    const char* message;
};

TEST(ScenarioFile, MalformedFilesAreRejectedWithTheirLine)
{
    const Malformed cases[] = {
        {"syntax", "[[event]]\nat = 100ms\n", 2, "parsing"},
        {"unknown top-level key", "name = \"x\"\nevents = []\n", 2, "unknown key 'events'"},
        {"no action", "[[event]]\nat = 5\n", 1, "needs one of insert"},
        {"two actions", "[[event]]\nremove = \"slot 1\"\nsleep = \"S3\"\n", 1,
         "has both 'remove' and 'sleep'"},
        {"unknown key", "[[event]]\nremove = \"slot 1\"\nwhen = 3\n", 3, "unknown key 'when'"},
        {"bad time", "[[event]]\nat = \"5 minutes\"\nwake = true\n", 2, "'at' is a time"},
        {"fraction of a millisecond", "[[event]]\nat = \"0.5ms\"\nwake = true\n", 2, "'at' is a time"},
        {"negative time", "[[event]]\nat = -1\nwake = true\n", 2, "'at' is a time"},
        {"time going back",
         "[[event]]\nat = \"1s\"\nsleep = \"S3\"\n[[event]]\nat = 500\nwake = true\n", 5,
         "comes before the one at line 1 (1000ms)"},
        {"device state", "[[event]]\npower = \"D4\"\ndevice = \"02.0\"\n", 2,
         "not a device power state"},
        {"sleep state", "[[event]]\nsleep = \"S5\"\n", 2, "not a sleep state"},
        {"wake false", "[[event]]\nwake = false\n", 2, "does nothing"},
        {"insert without slot", "[[event]]\ninsert = \"network card\"\n", 1,
         "an insert event needs 'slot'"},
        {"power without device", "[[event]]\npower = \"D3\"\n", 1, "a power event needs 'device'"},
        {"slot that names a function", "[[event]]\nremove = \"1e.0/01.0\"\n", 2,
         "names a function"},
        {"labelled slot with a function", "[[event]]\nsurprise_remove = \"slot 1.0\"\n", 2,
         "names a function"},
        {"slot with remove", "[[event]]\nremove = \"slot 1\"\nslot = \"slot 2\"\n", 3,
         "'slot' goes with insert"},
        {"device with insert",
         "[[event]]\ninsert = \"network card\"\nslot = \"slot 1\"\ndevice = \"02.0\"\n", 4,
         "'device' goes with power"},
        {"bad path", "[[event]]\npower = \"D3\"\ndevice = \"1e.0/zz.0\"\n", 3,
         "is not a device.function step"},
        {"card name not a string", "[[event]]\ninsert = 3\nslot = \"slot 1\"\n", 2,
         "must be a string"},
        {"event not a table", "event = [ 1 ]\n", 1, "must hold tables"},
        {"removal of a bare function", "[[event]]\nremove = \".7\"\n", 2,
         "needs a device or a slot label"},
        {"slot of a bare function", "[[event]]\ninsert = \"network card\"\nslot = \".3\"\n", 3,
         "needs a device or a slot label"},
        {"unknown fault", "[[event]]\nfail = \"disk\"\n", 2, "'disk' is not a fault; one of:"},
        {"nth zero", "[[event]]\nfail = \"pool\"\nnth = 0\n", 3, "nth"},
        {"offset out of range", "[[event]]\nfail = \"config-read\"\noffset = 256\n", 3,
         "offset"},
        {"offset with pool", "[[event]]\nfail = \"pool\"\noffset = 4\n", 3,
         "'offset' goes with config"},
        {"device with pool", "[[event]]\nfail = \"pool\"\ndevice = \"02.0\"\n", 3,
         "'pool' concerns no device"},
        {"once with insert",
         "[[event]]\ninsert = \"network card\"\nslot = \"slot 1\"\nonce = true\n", 4,
         "'once' goes with fail"},
    };
    for (const Malformed& c : cases) {
        auto parsed = parseScenario(c.text, "bad.toml");
        ASSERT_FALSE(parsed.ok()) << c.name;
        const std::string& first = parsed.errors().front();
        const std::string prefix = "bad.toml:" + std::to_string(c.line) + ": ";
        EXPECT_EQ(first.rfind(prefix, 0), 0u) << c.name << ": " << first;
        EXPECT_NE(first.find(c.message), std::string::npos) << c.name << ": " << first;
    }
}

TEST(ScenarioFile, EventsAndTimes)
{
    const char* text = R"(name = "all events"
[[event]]
insert = "network card"
slot = "1e.0/02"
[[event]]
at = "1.5s"
power = "D2"
device = "slot 2.0/01.1"
[[event]]
power = "D0"
device = "00:1e.0/02"
[[event]]
at = 2000
sleep = "S3"
[[event]]
at = "2001ms"
wake = true
[[event]]
at = "3s"
surprise_remove = "slot 1"
)";
    auto parsed = parseScenario(text, "s.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    const auto& events = parsed.value().events;
    ASSERT_EQ(events.size(), 6u);
    EXPECT_EQ(parsed.value().name, "all events");
    EXPECT_EQ(events[0].kind, EventKind::Insert);
    EXPECT_EQ(events[0].atMs, 0u);
    EXPECT_EQ(events[0].card, "network card");
    EXPECT_EQ(machine::formatPath(events[0].slot.steps), "1e.0/02");
    EXPECT_EQ(events[1].atMs, 1500u);
    EXPECT_EQ(events[1].deviceState, 2u);
    EXPECT_EQ(events[1].device.label, "slot 2");
    EXPECT_EQ(events[2].atMs, 1500u);  // no time: with the event before it
    EXPECT_EQ(events[2].deviceState, 0u);
    EXPECT_EQ(events[3].kind, EventKind::Sleep);
    EXPECT_EQ(events[3].systemState, 3u);
    EXPECT_EQ(events[4].kind, EventKind::Wake);
    EXPECT_EQ(events[4].atMs, 2001u);
    EXPECT_EQ(events[5].kind, EventKind::SurpriseRemove);
    EXPECT_EQ(events[5].slot.label, "slot 1");
    EXPECT_EQ(events[5].line, 18u);
}

TEST(ScenarioFile, FailEventsNameTheirFaultAndWhereItIsAimed)
{
    const char* text = R"([[event]]
fail = "config-read"
device = "slot 2"
offset = 0x0b
[[event]]
fail = "pool"
nth = 3
once = false
[[event]]
fail = "none"
)";
    auto parsed = parseScenario(text, "s.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    const auto& events = parsed.value().events;
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].kind, EventKind::Fail);
    EXPECT_EQ(events[0].fault, "config-read");
    EXPECT_EQ(events[0].device.label, "slot 2");
    EXPECT_EQ(events[0].offset, 0x0bu);
    EXPECT_EQ(events[0].nth, 1u);
    EXPECT_TRUE(events[0].once);
    EXPECT_EQ(events[1].fault, "pool");
    EXPECT_EQ(events[1].nth, 3u);
    EXPECT_FALSE(events[1].once);
    EXPECT_FALSE(events[1].offset.has_value());
    EXPECT_EQ(events[2].fault, "none");
    EXPECT_TRUE(checkScenario(parsed.value(), formats::defaultMachine()).empty());
}

TEST(ScenarioFile, BuiltInScenarioPlaysTheTypicalHotPlugEvent)
{
    const machine::MachineDesc m = formats::defaultMachine();
    const machine::ScenarioDesc s = formats::defaultScenario();
    EXPECT_TRUE(machine::checkScenario(s, m).empty());
    ASSERT_EQ(s.events.size(), 5u);
    EXPECT_EQ(s.events[0].kind, EventKind::Insert);
    EXPECT_EQ(s.events[0].card, "network card");
    EXPECT_EQ(s.events[1].kind, EventKind::Insert);
    EXPECT_EQ(s.events[1].card, "bridge card");
    EXPECT_NE(s.events[0].slot.text, s.events[1].slot.text);
    EXPECT_EQ(s.events[2].kind, EventKind::Power);
    EXPECT_EQ(s.events[2].deviceState, 3u);
    EXPECT_EQ(s.events[3].deviceState, 0u);
    EXPECT_EQ(s.events[4].kind, EventKind::Remove);
    EXPECT_EQ(s.events[4].slot.text, s.events[0].slot.text);
    for (size_t i = 1; i < s.events.size(); ++i) EXPECT_GT(s.events[i].atMs, s.events[i - 1].atMs);
}

// Scenarios that parse but cannot be played on the built-in machine.
TEST(ScenarioFile, CheckedAgainstTheMachine)
{
    const machine::MachineDesc m = formats::defaultMachine();
    const std::string insert1 = "[[event]]\ninsert = \"network card\"\nslot = \"slot 1\"\n";
    const std::string insertBridge = "[[event]]\ninsert = \"bridge card\"\nslot = \"slot 2\"\n";
    struct Unplayable {
        const char* name;
        std::string text;
        unsigned line;
        const char* message;
    };
    const Unplayable cases[] = {
        {"unknown card", "[[event]]\ninsert = \"sound card\"\nslot = \"slot 1\"\n", 1,
         "no card 'sound card'"},
        {"unknown label", "[[event]]\ninsert = \"network card\"\nslot = \"slot 9\"\n", 1,
         "no slot is labelled 'slot 9'"},
        {"not a hot-plug slot", "[[event]]\ninsert = \"network card\"\nslot = \"1e.0/03\"\n", 1,
         "(1e.0/03) is not a hot-plug slot"},
        {"storage is not a slot either", "[[event]]\nremove = \"1e.0/00\"\n", 1,
         "is not a hot-plug slot"},
        {"through a device that is not a bridge", "[[event]]\nremove = \"02.0/01\"\n", 1,
         "02.0 (network controller) is not a PCI-to-PCI bridge"},
        {"occupied slot", insert1 + insert1, 4, "already holds network card"},
        {"remove from an empty slot", "[[event]]\nremove = \"slot 2\"\n", 1, "is empty"},
        {"removed twice",
         insert1 + "[[event]]\nremove = \"slot 1\"\n[[event]]\nsurprise_remove = \"slot 1\"\n",
         6, "is empty"},
        {"power to an empty slot", "[[event]]\npower = \"D3\"\ndevice = \"slot 1\"\n", 1,
         "is not there"},
        {"power behind a card that is not there",
         "[[event]]\npower = \"D3\"\ndevice = \"slot 2.0/01.0\"\n", 1, "1e.0/02.0 is empty"},
        {"power to a function the card lacks",
         insertBridge + "[[event]]\npower = \"D3\"\ndevice = \"slot 2.0/00.2\"\n", 4,
         "(1e.0/02.0/00.2) is not there"},
        {"wake without sleep", "[[event]]\nwake = true\n", 1, "wake without a sleep"},
        {"event while asleep",
         "[[event]]\nsleep = \"S3\"\n[[event]]\nremove = \"slot 1\"\n[[event]]\nwake = true\n", 3,
         "while the machine sleeps (since line 1)"},
    };
    for (const Unplayable& c : cases) {
        auto parsed = parseScenario(c.text, "s.toml");
        ASSERT_TRUE(parsed.ok()) << c.name << ": " << parsed.errors().front();
        const auto errors = machine::checkScenario(parsed.value(), m);
        ASSERT_FALSE(errors.empty()) << c.name;
        const std::string prefix = "s.toml:" + std::to_string(c.line) + ": ";
        EXPECT_EQ(errors[0].rfind(prefix, 0), 0u) << c.name << ": " << errors[0];
        EXPECT_NE(errors[0].find(c.message), std::string::npos) << c.name << ": " << errors[0];
    }
    // What the cards bring is there once they are in, and gone once they are out.
    const std::string good = insertBridge +
                             "[[event]]\npower = \"D3\"\ndevice = \"slot 2.0/00.1\"\n"
                             "[[event]]\npower = \"D0\"\ndevice = \"1e.0/02.0/01.0\"\n"
                             "[[event]]\nsleep = \"S3\"\n[[event]]\nwake = true\n"
                             "[[event]]\nremove = \"slot 2\"\n" +
                             insert1 + "[[event]]\npower = \"D3\"\ndevice = \"00:1e.0/01\"\n";
    auto parsed = parseScenario(good, "good.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    const auto errors = machine::checkScenario(parsed.value(), m);
    EXPECT_TRUE(errors.empty()) << errors.front();

    // A labelled slot behind a bridge of a peer host bridge's root bus is found there.
    machine::MachineDesc peers = m;
    peers.peers.push_back(machine::PeerRootDesc{0x80, {}, {{m.root.functions.back()}, {}, {}}, 0});
    peers.peers[0].bus.functions[0].secondary.slots = {machine::SlotDesc{3, "far slot", 0}};
    auto far = parseScenario("[[event]]\ninsert = \"network card\"\nslot = \"far slot\"\n"
                             "[[event]]\npower = \"D3\"\ndevice = \"far slot\"\n", "far.toml");
    EXPECT_EQ(machine::checkScenario(far.value(), peers), std::vector<std::string>{});
}

}  // namespace
