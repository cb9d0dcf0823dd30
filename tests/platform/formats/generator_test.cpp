// Generated machines: the shape asked for is the machine firmware finds.
#include <gtest/gtest.h>

#include <machine/firmware.hpp>
#include <formats/generator.hpp>

#include <algorithm>

namespace {

using formats::MachineShape;

// Deepest bridge nesting below a bus, and the functions that are not bridges.
void measure(const machine::BusDesc& bus, unsigned level, unsigned& depth, unsigned& functions)
{
    for (const auto& f : bus.functions) {
        if (f.isBridge()) {
            depth = std::max(depth, level + 1);
            measure(f.secondary, level + 1, depth, functions);
        } else {
            ++functions;
        }
    }
}

TEST(Generator, FirmwareFindsTheShapeAskedFor)
{
    struct Case {
        const char* shape;
        unsigned functions;  // ordinary functions, the host bridge not counted
        unsigned depth;      // deepest bridge nesting, the hot-plug bridge included
    };
    const Case cases[] = {
        {"width=0,depth=1,buses=34", 0, 1},           // host bridge and hot-plug bridge alone
        {"width=3,depth=2,buses=40", 7 * 3, 2},       // two bridges, two behind each
        {"width=8,depth=4,buses=255", 222 * 8, 4},    // every number from 00 to fe
        {"buses=255,width=36,depth=4", 222 * 36, 4},  // five devices of functions per bus
        {"width=1,depth=31,buses=65", 32, 31},        // a chain of 31 bridges
    };
    for (const Case& c : cases) {
        std::string error;
        auto shape = formats::parseShape(c.shape, error);
        ASSERT_TRUE(shape) << c.shape << ": " << error;
        auto desc = formats::generateMachine(*shape, error);
        ASSERT_TRUE(desc) << c.shape << ": " << error;
        unsigned depth = 0, functions = 0;
        measure(desc->root, 0, depth, functions);
        EXPECT_EQ(functions - 1, c.functions) << c.shape;
        EXPECT_EQ(formats::generatedFunctions(*shape), c.functions) << c.shape;
        EXPECT_EQ(depth, c.depth) << c.shape;

        pci::Hierarchy hw;
        machine::populate(hw, *desc);
        const machine::FirmwareReport report = machine::runFirmware(hw, desc->windows);
        EXPECT_TRUE(report.problems.empty()) << c.shape << ": " << report.problems.front();
        EXPECT_EQ(report.lastBus, shape->buses - 1) << c.shape;
        // The hot-plug bridge comes last and keeps the spare numbers for its slots.
        ASSERT_TRUE(report.functions.back().bridge) << c.shape;
        EXPECT_EQ(report.functions.back().bridge->spareBuses, formats::GeneratedSpareBuses);
        EXPECT_NE(desc->card("bridge chain"), nullptr);
        EXPECT_NE(desc->card("nested bridge card"), nullptr);
    }
}

TEST(Generator, TheChainCardNestsAsDeepAsTheDriverScans)
{
    std::string error;
    auto desc = formats::generateMachine({}, error);
    ASSERT_TRUE(desc) << error;
    const machine::CardDesc* chain = desc->card("bridge chain");
    ASSERT_NE(chain, nullptr);
    machine::BusDesc top;
    top.functions = chain->functions;
    unsigned depth = 0, functions = 0;
    measure(top, 0, depth, functions);
    EXPECT_EQ(depth, formats::BridgeChainDepth);
    EXPECT_EQ(functions, 1u);
}

TEST(Generator, ShapesThatCannotBeBuiltAreRefused)
{
    struct Case {
        const char* shape;
        const char* error;  // a part of the message
    };
    const Case cases[] = {
        {"width=4,depth=2,buses=33", "buses must be 34 to 255"},
        {"buses=256", "buses must be 34 to 255"},
        {"width=241", "does not fit on the root bus"},
        {"width=4,depth=0,buses=40", "depth 0 leaves no room"},
        {"width=8,depth=1,buses=255", "do not fit within depth 1"},
        {"width=200,depth=2,buses=255", "do not fit within depth 2"},
        {"width=4,height=2", "expected width=N, depth=N or buses=N"},
        {"width=4,width=5", "'width' is given twice"},
        {"depth=x", "not a number"},
        {"depth=", "not a number"},
        {"buses=100001", "not a number"},
        {"width", "expected width=N"},
    };
    for (const Case& c : cases) {
        std::string error;
        auto shape = formats::parseShape(c.shape, error);
        if (shape) {
            EXPECT_FALSE(formats::generateMachine(*shape, error)) << c.shape;
        }
        EXPECT_NE(error.find(c.error), std::string::npos) << c.shape << ": " << error;
    }
}

}  // namespace
