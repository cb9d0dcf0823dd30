// Machine files: what parses into which description, and every malformed file rejected with
// the line of what is wrong.
#include <gtest/gtest.h>

#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <formats/machine_writer.hpp>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// A network controller's 64-byte header as configuration bytes: 8086:100e, class 020000.
std::string deviceHeader()
{
    std::string text = "86 80 0e 10 00 00 00 00 00 00 00 02";
    for (int i = 12; i < 64; ++i) text += " 00";
    return text;
}

using machine::FunctionKind;
using formats::parseMachine;
using pci::Bar;

// A device on the root bus that is valid on its own; cases append a line to break it.
const char* const kDevice = R"([[function]]
at = "02.0"
id = "7e57:0300"
class = 0x020000
)";

struct Malformed {
    const char* name;
    std::string text;
    unsigned line;        // of the first error
    const char* message;  // part of the first error
};

TEST(MachineFile, MalformedFilesAreRejectedWithTheirLine)
{
    const Malformed cases[] = {
        {"syntax", "name = \"x\"\nwindows = = 3\n", 2, "parsing"},
        {"unknown top-level key", "name = \"x\"\nbuses = 3\n", 2, "unknown key 'buses'"},
        {"root bus 0 as a peer", "[[root]]\nbus = 0\n", 2,
         "'bus' of a root bus is 0, outside 1 to 255"},
        {"a peer root twice", "[[root]]\nbus = 0x80\n[[root]]\nbus = 0x80\n", 4,
         "root bus 80 is already described (line 1)"},
        {"peer root window over the first root's",
         "[windows]\nio = { base = 0x1000, limit = 0x7FFF }\nmemory = { base = 0xE0000000, limit "
         "= 0xEFFFFFFF }\n[[root]]\nbus = 0x80\n[root.windows]\nmemory = { base = 0xE8000000, "
         "limit = 0xF7FFFFFF }\n",
         7, "the memory window of root bus 80 (e8000000-f7ffffff) overlaps the memory window of "
            "root bus 00 (e0000000-efffffff)"},
        {"unknown key in a device", std::string(kDevice) + "vendor = 1\n", 5,
         "unknown key 'vendor' in a device"},
        {"wrong type", "[[function]]\nat = 2\nid = \"7e57:0300\"\nclass = 0\n", 2,
         "'at' of a function must be a string, not an integer"},
        {"missing id", "name = \"x\"\n[[function]]\nat = \"02.0\"\nclass = 0x020000\n", 2,
         "needs 'id'"},
        {"missing class", "[[function]]\nat = \"02.0\"\nid = \"7e57:0300\"\n", 1, "needs 'class'"},
        {"bad id", "[[function]]\nat = \"02.0\"\nid = \"7e57-0300\"\nclass = 0\n", 3,
         "not a vendor:device"},
        {"absent vendor", "[[function]]\nat = \"02.0\"\nid = \"ffff:0300\"\nclass = 0\n", 3,
         "vendor ffff"},
        {"device above 31", "[[function]]\nat = \"20.0\"\nid = \"7e57:0300\"\nclass = 0\n", 2,
         "device 20 is out of range"},
        {"function above 7", "[[function]]\nat = \"01.8\"\nid = \"7e57:0300\"\nclass = 0\n", 2,
         "function 8 is out of range"},
        {"at without function", "[[function]]\nat = \"01\"\nid = \"7e57:0300\"\nclass = 0\n", 2,
         "is not a device.function"},
        {"duplicate device.function", std::string(kDevice) + kDevice, 5,
         "function 02.0 is already described (line 1)"},
        {"function 1 without function 0",
         "[[function]]\nat = \"03.1\"\nid = \"7e57:0300\"\nclass = 0\n", 1,
         "device 03 has function 1 but no function 0"},
        {"unknown kind", "[[function]]\nat = \"03.0\"\nkind = \"switch\"\nid = \"7e57:0300\"\n", 3,
         "unknown kind 'switch'"},
        {"class on a bridge that is not a bridge's",
         "[[function]]\nat = \"03.0\"\nkind = \"bridge\"\nid = \"7e57:0300\"\nclass = 0x020000\n",
         5, "a PCI-to-PCI bridge has class 0604xx"},
        {"bridge class on a device",
         "[[function]]\nat = \"03.0\"\nid = \"7e57:0300\"\nclass = 0x060400\n", 4,
         "kind = \"bridge\""},
        {"revision above 255", std::string(kDevice) + "revision = 256\n", 5,
         "'revision' of a function is 256"},
        {"BAR size not a power of two",
         std::string(kDevice) + "bars = [\n  { type = \"io\", size = 32 },\n"
                                "  { type = \"mem32\", size = 48 },\n]\n",
         7, "BAR size 48 is not a power of two"},
        {"BAR size with a bad unit", std::string(kDevice) + "bars = [ { type = \"mem32\", size = \"4Q\" } ]\n",
         5, "'4Q' is not a size"},
        {"BAR type unknown", std::string(kDevice) + "bars = [ { type = \"mem16\", size = 16 } ]\n", 5,
         "unknown BAR type 'mem16'"},
        {"I/O BAR too large", std::string(kDevice) + "bars = [ { type = \"io\", size = \"128K\" } ]\n", 5,
         "a BAR of type io is 4 to 64K, not 128K"},
        {"prefetchable I/O BAR",
         std::string(kDevice) + "bars = [ { type = \"io\", size = 16, prefetchable = true } ]\n", 5,
         "not prefetchable"},
        {"64-bit BAR in the last register",
         std::string(kDevice) + "bars = [ { index = 5, type = \"mem64\", size = \"1M\" } ]\n", 5,
         "BAR 5 is the last one"},
        {"BAR register taken by a 64-bit BAR's upper half",
         std::string(kDevice) + "bars = [\n  { type = \"mem64\", size = \"1M\" },\n"
                                "  { index = 1, type = \"io\", size = 16 },\n]\n",
         7, "BAR register 1 is already taken by the BAR at line 6"},
        {"seventh BAR",
         std::string(kDevice) + "bars = [\n" + std::string(6, ' ') +
             "{ type = \"io\", size = 4 }, { type = \"io\", size = 4 }, { type = \"io\", size = 4 },\n"
             "{ type = \"io\", size = 4 }, { type = \"io\", size = 4 }, { type = \"io\", size = 4 },\n"
             "{ type = \"io\", size = 4 },\n]\n",
         8, "seventh"},
        {"bars as a table", std::string(kDevice) + "bars = { type = \"io\", size = 4 }\n", 5,
         "must be an array of BARs"},
        {"unknown key in a BAR", std::string(kDevice) + "bars = [ { type = \"io\", sise = 4 } ]\n", 5,
         "unknown key 'sise' in a BAR"},
        {"spare buses without slots",
         "[[function]]\nat = \"1e.0\"\nkind = \"bridge\"\nid = \"7e57:0400\"\nspare_buses = 4\n", 5,
         "only a bridge with hot-plug slots"},
        {"reserve not a power of two",
         "[[function]]\nat = \"1e.0\"\nkind = \"bridge\"\nid = \"7e57:0400\"\n"
         "slots = [ { device = 1 } ]\nreserve = { memory = \"3M\" }\n",
         6, "reserved memory of 3M must be a power of two of at least 1M"},
        {"reserve below the window granularity",
         "[[function]]\nat = \"1e.0\"\nkind = \"bridge\"\nid = \"7e57:0400\"\n"
         "slots = [ { device = 1 } ]\nreserve = { io = 256 }\n",
         6, "at least 4K"},
        {"slot device above 31",
         "[[function]]\nat = \"1e.0\"\nkind = \"bridge\"\nid = \"7e57:0400\"\n"
         "slots = [\n  { device = 32 },\n]\n",
         6, "'device' of a slot is 32, outside 0 to 31"},
        {"slot given twice",
         "[[function]]\nat = \"1e.0\"\nkind = \"bridge\"\nid = \"7e57:0400\"\n"
         "slots = [\n  { device = 1 },\n  { device = 1 },\n]\n",
         7, "device 01 is already a hot-plug slot (line 6)"},
        {"label that reads as a path", "slots = [ { device = 4, label = \"1e.0\" } ]\n", 1,
         "could be read as a path"},
        {"label used twice",
         "slots = [\n  { device = 4, label = \"left\" },\n  { device = 5, label = \"left\" },\n]\n",
         3, "slot label 'left' is already used (line 2)"},
        {"error deep behind bridges",
         "[[function]]\nat = \"1e.0\"\nkind = \"bridge\"\nid = \"7e57:0400\"\n"
         "[[function.behind]]\nat = \"00.0\"\nkind = \"bridge\"\nid = \"7e57:0400\"\n"
         "[[function.behind.behind]]\nat = \"00.0\"\nid = \"7e57:0500\"\nclass = 0\ncolour = 1\n",
         13, "unknown key 'colour'"},
        {"window base above limit", "[windows]\nio = { base = 0x2000, limit = 0x1000 }\n"
                                    "memory = { base = 0xF0000000, limit = 0xFEBFFFFF }\n",
         2, "base above its limit"},
        {"I/O window beyond 64K", "[windows]\nio = { base = 0x1000, limit = 0x1FFFF }\n"
                                  "memory = { base = 0xF0000000, limit = 0xFEBFFFFF }\n",
         2, "outside 0 to 65535"},
        {"memory window missing", "[windows]\nio = { base = 0x1000, limit = 0xFFFF }\n", 1,
         "needs 'memory'"},
        {"overlapping windows",
         "[windows]\nio = { base = 0x1000, limit = 0xFFFF }\n"
         "memory = { base = 0xF0000000, limit = 0xFEBFFFFF }\n"
         "prefetchable = { base = 0xE0000000, limit = 0xF0FFFFFF }\n",
         4, "overlaps the memory window"},
        {"card without a name", "[[card]]\n[[card.function]]\nfunction = 0\nid = \"f1a0:1000\"\nclass = 0\n",
         1, "a card needs 'name'"},
        {"card named twice",
         "[[card]]\nname = \"a\"\n[[card.function]]\nfunction = 0\nid = \"f1a0:1000\"\nclass = 0\n"
         "[[card]]\nname = \"a\"\n[[card.function]]\nfunction = 0\nid = \"f1a0:1000\"\nclass = 0\n",
         8, "card 'a' is already in the catalogue (line 2)"},
        {"card function above 7",
         "[[card]]\nname = \"a\"\n[[card.function]]\nfunction = 8\nid = \"f1a0:1000\"\nclass = 0\n", 4,
         "outside 0 to 7"},
        {"card without function 0",
         "[[card]]\nname = \"a\"\n[[card.function]]\nfunction = 1\nid = \"f1a0:1000\"\nclass = 0\n", 1,
         "card 'a' has no function 0"},
        {"card with 'at'",
         "[[card]]\nname = \"a\"\n[[card.function]]\nat = \"00.0\"\nid = \"f1a0:1000\"\nclass = 0\n", 4,
         "unknown key 'at' in a device"},
        {"card with an unknown kind",
         "[[card]]\nname = \"a\"\n[[card.function]]\nfunction = 0\nkind = \"riser\"\nid = \"f1a0:1000\"\n",
         5, "unknown kind 'riser'"},
        {"configuration bytes too short",
         "[[function]]\nat = \"03.0\"\nconfig = \"86 80 00 01\"\n", 3,
         "give at least the 64-byte header"},
        {"configuration row out of place",
         "[[function]]\nat = \"03.0\"\nconfig = \"10: 86 80\"\n", 3,
         "the row at offset 10 follows 0 bytes"},
        {"kind against the configuration bytes",
         "[[function]]\nat = \"03.0\"\nkind = \"bridge\"\nconfig = \"" + deviceHeader() + "\"\n", 3,
         "disagrees with the header type"},
        {"id against the configuration bytes",
         "[[function]]\nat = \"03.0\"\nid = \"7e57:0300\"\nconfig = \"" + deviceHeader() + "\"\n", 3,
         "disagrees with the configuration bytes, which say 8086:100e"},
        {"unknown firmware", "firmware = \"bios\"\n", 1, "firmware is \"configure\" or \"as-found\""},
        {"ROM of an odd size", std::string(kDevice) + "rom = 1024\n", 5,
         "an expansion ROM is a power of two from 2K to 16M, not 1K"},
        {"command mask too wide", std::string(kDevice) + "write_masks = { command = 0x10000 }\n", 5,
         "'command' of write_masks is 65536"},
        {"third BAR on a bridge",
         "[[function]]\nat = \"03.0\"\nkind = \"bridge\"\nid = \"7e57:0300\"\n"
         "bars = [ { index = 2, type = \"io\", size = 16 } ]\n",
         5, "a bridge has two BAR registers"},
        {"label in a card",
         "[[card]]\nname = \"a\"\n[[card.function]]\nfunction = 0\nkind = \"bridge\"\n"
         "id = \"f1a0:1000\"\nslots = [ { device = 1, label = \"inner\" } ]\n",
         7, "a card's slots have none"},
    };
    for (const Malformed& c : cases) {
        auto parsed = parseMachine(c.text, "bad.toml");
        ASSERT_FALSE(parsed.ok()) << c.name;
        ASSERT_FALSE(parsed.errors().empty()) << c.name;
        const std::string& first = parsed.errors().front();
        const std::string prefix = "bad.toml:" + std::to_string(c.line) + ": ";
        EXPECT_EQ(first.rfind(prefix, 0), 0u) << c.name << ": " << first;
        EXPECT_NE(first.find(c.message), std::string::npos) << c.name << ": " << first;
    }
}

TEST(MachineFile, EveryProblemIsReportedNotOnlyTheFirst)
{
    const std::string text = "name = 3\n"
                             "[[function]]\nat = \"40.0\"\nid = \"7e57:0300\"\nclass = 0\n"
                             "[[function]]\nat = \"05.0\"\nid = \"7e57:0300\"\nclass = 0\nfoo = 1\n";
    auto parsed = parseMachine(text, "m.toml");
    ASSERT_FALSE(parsed.ok());
    ASSERT_EQ(parsed.errors().size(), 3u);
    EXPECT_EQ(parsed.errors()[0].rfind("m.toml:1: ", 0), 0u) << parsed.errors()[0];
    EXPECT_EQ(parsed.errors()[1].rfind("m.toml:3: ", 0), 0u) << parsed.errors()[1];
    EXPECT_EQ(parsed.errors()[2].rfind("m.toml:10: ", 0), 0u) << parsed.errors()[2];
}

TEST(MachineFile, UnreadableFileIsOneError)
{
    auto parsed = formats::loadMachine("/nonexistent/machine.toml");
    ASSERT_FALSE(parsed.ok());
    ASSERT_EQ(parsed.errors().size(), 1u);
    EXPECT_EQ(parsed.errors()[0].rfind("/nonexistent/machine.toml: cannot read", 0), 0u);
}

// Inputs on which the TOML library once stopped with an assertion or undefined behaviour: each
// is an ordinary syntax error with its line, in machine and scenario files alike.
TEST(MachineFile, InputsTheTomlLibraryMishandledAreSyntaxErrors)
{
    const Malformed cases[] = {
        {"table header of a table header", "[[[1]]]", 1, "expected a key, saw '['"},
        {"header without a key", "name = \"x\"\n[=", 2, "expected a key, saw '='"},
        {"NUL in a header", std::string("[\0", 2), 1, "expected a key"},
        {"brace closing an array", "a=[1,}", 1, "expected a value, saw '}'"},
        {"Cyrillic letter where a key starts", "\xd0\x85", 1, "expected keys"},
        {"no-break space after a value", "a = 1\nb = 2 \xc2\xa0", 2, "expected"},
    };
    for (const Malformed& c : cases) {
        for (bool scenario : {false, true}) {
            const auto errors = scenario ? formats::parseScenario(c.text, "bad.toml").errors()
                                         : parseMachine(c.text, "bad.toml").errors();
            ASSERT_EQ(errors.size(), 1u) << c.name;
            const std::string prefix = "bad.toml:" + std::to_string(c.line) + ": ";
            EXPECT_EQ(errors[0].rfind(prefix, 0), 0u) << c.name << ": " << errors[0];
            EXPECT_NE(errors[0].find(c.message), std::string::npos) << c.name << ": " << errors[0];
        }
    }
}

// Only a regular file of bounded size is read; anything else is refused at once, as
// "path: message", whether it would block (a FIFO), never end (/dev/zero) or is not there.
TEST(MachineFile, OnlyRegularFilesOfBoundedSizeAreRead)
{
    const std::string dir = ::testing::TempDir() + "hotp_inputs_" + std::to_string(::getpid());
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    const std::string fifo = dir + "/fifo.toml";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string dangling = dir + "/dangling.toml";
    ASSERT_EQ(::symlink((dir + "/nothing").c_str(), dangling.c_str()), 0);
    const std::string large = dir + "/large.toml";
    std::ofstream(large) << std::string(formats::kMaxFileBytes + 1, '#');

    struct Case {
        std::string path;
        const char* message;
    };
    const Case cases[] = {
        {dir, "cannot read: a directory, not a file"},
        {fifo, "cannot read: a FIFO, not a file"},
        {"/dev/zero", "cannot read: a character device, not a file"},
        {dangling, "cannot read: a symbolic link to nothing"},
        {dir + "/missing.toml", "cannot read: No such file or directory"},
        {large, "1048577 bytes; a machine or scenario file is at most 1M"},
    };
    for (const Case& c : cases) {
        for (bool scenario : {false, true}) {
            const auto started = std::chrono::steady_clock::now();
            const auto errors = scenario ? formats::loadScenario(c.path).errors()
                                         : formats::loadMachine(c.path).errors();
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1)) << c.path;
            ASSERT_EQ(errors.size(), 1u) << c.path;
            EXPECT_EQ(errors[0], c.path + ": " + c.message);
        }
    }
    std::filesystem::remove_all(dir);
}

TEST(MachineFile, DescriptionFollowsTheFile)
{
    const char* text = R"(name = "test board"
[windows]
io = { base = 0x2000, limit = 0x7FFF }
memory = { base = 0xE0000000, limit = 0xE7FFFFFF }

[[function]]
at = "04.0"
id = "7e57:0a0b"
revision = 3
class = 0x010601
bars = [
    { type = "mem64", size = "1G", prefetchable = true },
    { type = "io16", size = 16 },
    { index = 5, type = "mem32", size = 4096 },
]

[[function]]
at = "04.2"
name = "second function"
id = "7e57:0a0c"
class = 0x070002

[[function]]
at = "00:1c.0"
kind = "bridge"
id = "7e57:0400"
io32 = true
prefetch64 = false
slots = [ { device = 3, label = "front" }, { device = 4 } ]
spare_buses = 2
reserve = { io = "4K", prefetchable = "1G" }

[[function.behind]]
at = "00.0"
kind = "cardbus"
id = "7e57:0700"

[[root]]
bus = 0x80
[root.windows]
memory = { base = 0xD0000000, limit = 0xDFFFFFFF }
[[root.function]]
at = "02.0"
id = "7e57:0300"
class = 0x020000
bars = [ { type = "mem32", size = "4K" } ]

[[card]]
name = "riser"
[[card.function]]
function = 0
kind = "bridge"
id = "f1a0:0001"
[[card.function.behind]]
at = "1f.7"
id = "f1a0:0002"
class = 0xff0000
[[card.function.behind]]
at = "1f.0"
id = "f1a0:0003"
class = 0x020000
)";
    auto parsed = parseMachine(text, "good.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    const machine::MachineDesc& m = parsed.value();
    EXPECT_EQ(m.name, "test board");
    EXPECT_EQ(m.windows.io.base, 0x2000u);
    EXPECT_EQ(m.windows.memory.limit, 0xE7FFFFFFu);
    EXPECT_FALSE(m.windows.prefetchable.open());  // not given: the root has none

    ASSERT_EQ(m.root.functions.size(), 3u);
    const machine::FunctionDesc& storage = m.root.functions[0];
    EXPECT_EQ(storage.device, 4u);
    EXPECT_EQ(storage.vendor, 0x7E57);
    EXPECT_EQ(storage.deviceId, 0x0A0B);
    EXPECT_EQ(storage.revision, 3);
    EXPECT_EQ(storage.baseClass, 0x01);
    EXPECT_EQ(storage.subClass, 0x06);
    EXPECT_EQ(storage.progIf, 0x01);
    EXPECT_EQ(storage.name, "storage controller");  // from the class when not named
    // Register by register: the 64-bit BAR takes 0 and 1, the I/O BAR follows it in 2.
    ASSERT_EQ(storage.bars.size(), 6u);
    EXPECT_EQ(storage.bars[0].kind, Bar::Kind::Memory64);
    EXPECT_EQ(storage.bars[0].size, 1ull << 30);
    EXPECT_TRUE(storage.bars[0].prefetchable);
    EXPECT_EQ(storage.bars[1].kind, Bar::Kind::None);
    EXPECT_EQ(storage.bars[2].kind, Bar::Kind::Io);
    EXPECT_TRUE(storage.bars[2].ioUpperZero);
    EXPECT_EQ(storage.bars[3].kind, Bar::Kind::None);
    EXPECT_EQ(storage.bars[5].kind, Bar::Kind::Memory32);
    EXPECT_EQ(storage.bars[5].size, 4096u);
    EXPECT_EQ(m.root.functions[1].function, 2u);
    EXPECT_EQ(m.root.functions[1].name, "second function");

    const machine::FunctionDesc& bridge = m.root.functions[2];
    EXPECT_EQ(bridge.kind, FunctionKind::Bridge);
    EXPECT_EQ(bridge.device, 0x1Cu);
    EXPECT_TRUE(bridge.io32);
    EXPECT_FALSE(bridge.prefetch64);
    ASSERT_EQ(bridge.secondary.slots.size(), 2u);
    EXPECT_EQ(bridge.secondary.slots[0].label, "front");
    EXPECT_EQ(bridge.secondary.slots[1].device, 4u);
    EXPECT_EQ(bridge.secondary.reserve.buses, 2u);
    EXPECT_EQ(bridge.secondary.reserve.io, 0x1000u);
    EXPECT_EQ(bridge.secondary.reserve.memory, 0u);
    EXPECT_EQ(bridge.secondary.reserve.prefetchable, 1ull << 30);
    ASSERT_EQ(bridge.secondary.functions.size(), 1u);
    EXPECT_EQ(bridge.secondary.functions[0].kind, FunctionKind::CardBus);
    EXPECT_EQ(bridge.line, 23u);

    ASSERT_EQ(m.cards.size(), 1u);
    const machine::CardDesc* riser = m.card("riser");
    ASSERT_NE(riser, nullptr);
    EXPECT_EQ(m.card("nothing"), nullptr);
    ASSERT_EQ(riser->functions.size(), 1u);
    const auto& behind = riser->functions[0].secondary.functions;
    ASSERT_EQ(behind.size(), 2u);
    EXPECT_EQ(behind[0].device, 0x1Fu);
    EXPECT_EQ(behind[0].function, 7u);

    // A peer host bridge: its own bus number, windows and functions; what the writer makes of the
    // machine reads back the same.
    ASSERT_EQ(m.peers.size(), 1u);
    EXPECT_EQ(m.peers[0].number, 0x80u);
    EXPECT_FALSE(m.peers[0].windows.io.open());
    EXPECT_EQ(m.peers[0].windows.memory.base, 0xD0000000u);
    ASSERT_EQ(m.peers[0].bus.functions.size(), 1u);
    EXPECT_EQ(m.peers[0].bus.functions[0].device, 2u);
    machine::MachineDesc peersOnly = m;
    peersOnly.root.functions.clear();
    peersOnly.cards.clear();
    auto again = parseMachine(formats::writeMachineFile(peersOnly, {}), "written.toml");
    ASSERT_TRUE(again.ok()) << again.errors().front();
    ASSERT_EQ(again.value().peers.size(), 1u);
    EXPECT_EQ(again.value().peers[0].number, 0x80u);
    EXPECT_EQ(again.value().peers[0].windows.memory.limit, 0xDFFFFFFFu);
    EXPECT_EQ(again.value().peers[0].bus.functions[0].bars[0].size, 4096u);
}

TEST(MachineFile, WindowsDefaultWhenNotGiven)
{
    auto parsed = parseMachine(kDevice, "small.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    const auto expected = machine::defaultRootWindows();
    EXPECT_EQ(parsed.value().windows.io.base, expected.io.base);
    EXPECT_EQ(parsed.value().windows.prefetchable.limit, expected.prefetchable.limit);
    EXPECT_TRUE(parsed.value().windows.prefetchable.open());
}

TEST(MachineFile, BuiltInMachineHasTheBoardAndCatalogue)
{
    auto parsed = parseMachine(formats::defaultMachineText(), "default.toml");
    ASSERT_TRUE(parsed.ok()) << parsed.errors().front();
    const machine::MachineDesc& m = parsed.value();
    struct Expected {
        unsigned device;
        uint8_t baseClass, subClass;
        FunctionKind kind;
    };
    const Expected board[] = {{0x00, 0x06, 0x00, FunctionKind::Device},
                              {0x01, 0x03, 0x00, FunctionKind::Device},
                              {0x02, 0x02, 0x00, FunctionKind::Device},
                              {0x1E, 0x06, 0x04, FunctionKind::Bridge}};
    ASSERT_EQ(m.root.functions.size(), std::size(board));
    for (size_t i = 0; i < std::size(board); ++i) {
        const auto& f = m.root.functions[i];
        EXPECT_EQ(f.device, board[i].device) << i;
        EXPECT_EQ(f.kind, board[i].kind) << i;
        if (f.kind == FunctionKind::Device) {
            EXPECT_EQ(f.baseClass, board[i].baseClass) << i;
            EXPECT_EQ(f.subClass, board[i].subClass) << i;
        }
    }
    const auto& display = m.root.functions[1].bars;
    ASSERT_GE(display.size(), 2u);
    EXPECT_EQ(display[0].size, 16u << 20);
    EXPECT_TRUE(display[0].prefetchable);
    EXPECT_EQ(display[1].size, 64u << 10);
    const auto& network = m.root.functions[2].bars;
    ASSERT_GE(network.size(), 2u);
    EXPECT_EQ(network[0].kind, Bar::Kind::Io);
    EXPECT_EQ(network[0].size, 32u);
    EXPECT_EQ(network[1].size, 4096u);

    const auto& behind = m.root.functions[3].secondary;
    ASSERT_EQ(behind.functions.size(), 1u);
    EXPECT_EQ(behind.functions[0].baseClass, 0x01);
    ASSERT_EQ(behind.slots.size(), 2u);
    for (const auto& slot : behind.slots) {
        for (const auto& f : behind.functions) EXPECT_NE(f.device, slot.device);  // empty
    }
    EXPECT_GT(behind.reserve.buses, 0u);

    for (const char* name : {"network card", "display card", "bridge card", "nested bridge card",
                             "cardbus card"}) {
        EXPECT_NE(m.card(name), nullptr) << name;
    }
    // The bridge card: a bridge with a two-function device and a 256 MB 64-bit prefetchable BAR
    // behind it.
    const auto& bridgeCard = m.card("bridge card")->functions.at(0);
    ASSERT_EQ(bridgeCard.kind, FunctionKind::Bridge);
    bool multiFunction = false, largeBar = false;
    for (const auto& f : bridgeCard.secondary.functions) {
        multiFunction = multiFunction || f.function != 0;
        for (const auto& bar : f.bars) {
            largeBar = largeBar || (bar.kind == Bar::Kind::Memory64 && bar.prefetchable &&
                                    bar.size == 256u << 20);
        }
    }
    EXPECT_TRUE(multiFunction);
    EXPECT_TRUE(largeBar);
    const auto& nested = m.card("nested bridge card")->functions.at(0);
    ASSERT_EQ(nested.kind, FunctionKind::Bridge);
    ASSERT_FALSE(nested.secondary.functions.empty());
    EXPECT_EQ(nested.secondary.functions[0].kind, FunctionKind::Bridge);
    EXPECT_EQ(m.card("cardbus card")->functions.at(0).kind, FunctionKind::CardBus);
}

}  // namespace
