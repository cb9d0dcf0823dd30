// The shipped kernel image against the host-compiled module on whole machines: the same machine
// and scenario played once with each must show the same requests, trace lines, breakpoints,
// events, configuration and bus-number writes, final tree and verifier verdict. Object addresses
// may differ between the two runs, consistently: one address of one run always stands for one
// address of the other. Configuration and bus-number writes must match to the byte.
#include <cycle_text.hpp>
#include <machine_fixture.hpp>
#include <scenarios.hpp>

#include <gtest/gtest-spi.h>

#include <machine/machine.hpp>
#include <views/views.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <cctype>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace hotp::test {
namespace {

using OutKind = machine::Output::Kind;

struct Line {
    OutKind kind;
    std::string text;
};

struct Case {
    const char* what;
    std::string_view scenario;  // empty: the built-in one
    ULONG traceLevel;
    ULONG breakLevel;
    bool pendAll;
    std::function<void(machine::Machine&)> afterBoot;
};

// One run: everything the machine showed, then its final tree and its verifier verdict.
std::vector<Line> play(const Case& c, const std::string& driver)
{
    machine::MachineOptions options;
    options.driverPath = driver;
    options.traceLevel = c.traceLevel;
    options.breakLevel = c.breakLevel;
    options.pendAll = c.pendAll;
    std::vector<Line> lines;
    auto scenario = c.scenario.empty() ? formats::Parsed<machine::ScenarioDesc>(formats::defaultScenario())
                                       : formats::parseScenario(c.scenario, "scenario.toml");
    EXPECT_TRUE(scenario.ok());
    if (!scenario.ok()) return lines;
    machine::Machine m(formats::defaultMachine(), options,
                       [&](const machine::Output& o) { lines.push_back(Line{o.kind, textOf(o)}); });
    m.boot();
    if (c.afterBoot) c.afterBoot(m);
    for (const machine::Event& event : scenario.value().events) m.apply(event);
    for (const std::string& text : hotpsim::treeView(m)) lines.push_back(Line{OutKind::Note, text});
    for (const std::string& text : m.shutdown()) lines.push_back(Line{OutKind::Problem, text});
    return lines;
}

std::vector<std::string> words(const std::string& text)
{
    std::vector<std::string> out;
    std::string word;
    for (char c : text) {
        if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
            word += c;
        } else {
            if (!word.empty()) out.push_back(word);
            out.push_back(std::string(1, c));
            word.clear();
        }
    }
    if (!word.empty()) out.push_back(word);
    return out;
}

std::string digitsOf(const std::string& word)
{
    return word.rfind("0x", 0) == 0 ? word.substr(2) : word;
}

bool addressLike(const std::string& word)
{
    const std::string digits = digitsOf(word);
    if (digits.size() != 8) return false;
    for (char c : digits) {
        if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
    }
    return true;
}

// The two runs line by line; where they differ only in addresses, each address of one run must
// always pair with the same address of the other.
void expectSameRun(const std::vector<Line>& module, const std::vector<Line>& image)
{
    ASSERT_EQ(module.size(), image.size()) << "the runs differ in length";
    std::map<std::string, std::string> forward, backward;
    for (size_t i = 0; i < module.size(); ++i) {
        const Line& a = module[i];
        const Line& b = image[i];
        ASSERT_EQ(machine::outputKindName(a.kind), std::string(machine::outputKindName(b.kind)))
            << "line " << i << ": " << a.text << " | " << b.text;
        if (a.kind == OutKind::Config || a.kind == OutKind::BusNumbers) {
            ASSERT_EQ(a.text, b.text) << "line " << i;
            continue;
        }
        const auto wa = words(a.text);
        const auto wb = words(b.text);
        ASSERT_EQ(wa.size(), wb.size()) << "line " << i << ": " << a.text << " | " << b.text;
        for (size_t w = 0; w < wa.size(); ++w) {
            if (wa[w] == wb[w] && !addressLike(wa[w])) continue;
            ASSERT_TRUE(addressLike(wa[w]) && addressLike(wb[w]))
                << "line " << i << ": " << a.text << " | " << b.text;
            const std::string da = digitsOf(wa[w]);
            const std::string db = digitsOf(wb[w]);
            auto f = forward.emplace(da, db).first;
            auto r = backward.emplace(db, da).first;
            ASSERT_TRUE(f->second == db && r->second == da)
                << "line " << i << ": address " << wa[w] << " and " << wb[w]
                << " do not stand for each other throughout: " << a.text << " | " << b.text;
        }
    }
}

TEST(ImageAgainstModule, SameMachinesSameOutput)
{
    auto failOnce = [](nt::FaultPoint point, uint64_t n) {
        return [point, n](machine::Machine& m) { m.kernel().faults().failNth(point, n); };
    };
    const std::vector<Case> cases = {
        {"built-in scenario, trace level 4", {}, 4, 0, false, {}},
        {"built-in scenario, silent", {}, 0, 0, false, {}},
        {"built-in scenario, breakpoints", {}, 1, 2, false, {}},
        {"every kind of event", kEveryEventScenario, 4, 0, false, {}},
        {"pend-all", {}, 4, 0, true, {}},
        {"pend-all, every kind of event", kEveryEventScenario, 1, 0, true, {}},
        {"fault: device creation", kEveryEventScenario, 4, 0, false, failOnce(nt::FaultPoint::CreateDevice, 1)},
        {"fault: attach", kEveryEventScenario, 4, 0, false, failOnce(nt::FaultPoint::AttachDevice, 2)},
        {"fault: pool", kEveryEventScenario, 4, 0, false, failOnce(nt::FaultPoint::AllocatePool, 1)},
        {"fault: request", {}, 4, 0, false, failOnce(nt::FaultPoint::BuildRequest, 1)},
        {"fault: interface", {}, 4, 0, false, failOnce(nt::FaultPoint::QueryInterface, 1)},
        {"fault: event entry", {}, 4, 0, false, failOnce(nt::FaultPoint::AllocateErrorLogEntry, 1)},
        {"fault: short transfer", {}, 4, 0, false, failOnce(nt::FaultPoint::ShortConfigTransfer, 3)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const auto module = play(c, HOTP_DRIVER_PATH);
        const auto image = play(c, HOTP_IMAGE_PATH);
        ASSERT_FALSE(module.empty());
        expectSameRun(module, image);
    }
}

// The comparison itself: a changed configuration write, an extra trace line, or two objects of
// one run standing for one object of the other are differences.
TEST(ImageAgainstModule, ComparisonSeesDifferences)
{
    const std::vector<Line> base = {
        {OutKind::Trace, "HotpAddDevice - BusFilter 5838e200 attached to PDO 5838ae30"},
        {OutKind::Config, "write 02:01.0 offset 0x10 (4) = 0x80000000"},
        {OutKind::Trace, "DevObj 0x5838e200"},
    };
    struct Variant {
        const char* what;
        std::vector<Line> lines;
        bool same;
    };
    const std::vector<Variant> variants = {
        {"other addresses, consistently",
         {{OutKind::Trace, "HotpAddDevice - BusFilter 58041000 attached to PDO 58042000"},
          {OutKind::Config, "write 02:01.0 offset 0x10 (4) = 0x80000000"},
          {OutKind::Trace, "DevObj 0x58041000"}},
         true},
        {"a configuration value",
         {base[0], {OutKind::Config, "write 02:01.0 offset 0x10 (4) = 0x90000000"}, base[2]}, false},
        {"an object swapped",
         {{OutKind::Trace, "HotpAddDevice - BusFilter 58041000 attached to PDO 58042000"},
          base[1], {OutKind::Trace, "DevObj 0x58042000"}},
         false},
        {"a word", {base[0], base[1], {OutKind::Trace, "DevObj 0x5838e200 again"}}, false},
        {"an object swapped where the other stayed",
         {base[0], base[1], {OutKind::Trace, "DevObj 0x5838ae30"}}, false},
        {"a line more", {base[0], base[1], base[2], base[2]}, false},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        ::testing::TestPartResultArray results;
        {
            ::testing::ScopedFakeTestPartResultReporter reporter(
                ::testing::ScopedFakeTestPartResultReporter::INTERCEPT_ONLY_CURRENT_THREAD, &results);
            expectSameRun(base, v.lines);
        }
        EXPECT_EQ(results.size() == 0, v.same);
    }
}

}  // namespace
}  // namespace hotp::test
