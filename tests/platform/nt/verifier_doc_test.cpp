// docs/verifier.md lists the verifier's table: every row, with its event, and nothing else.
#include <nt/verifier.hpp>

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <string>

namespace {

TEST(VerifierDoc, ListsEveryRuleOfTheTableAndNoOther)
{
    std::ifstream doc(HOTP_VERIFIER_DOC);
    ASSERT_TRUE(doc) << HOTP_VERIFIER_DOC;
    std::set<std::string> documented;
    for (std::string line; std::getline(doc, line);) {
        // | `name` | event | what it catches | message |
        if (line.rfind("| `", 0) != 0) continue;
        const size_t nameEnd = line.find("` |", 3);
        const size_t eventEnd = line.find(" |", nameEnd + 3);
        ASSERT_NE(eventEnd, std::string::npos) << line;
        const std::string row = line.substr(3, nameEnd - 3) + " / " +
                                line.substr(nameEnd + 4, eventEnd - nameEnd - 4);
        EXPECT_TRUE(documented.insert(row).second) << "listed twice: " << row;
    }
    std::set<std::string> table;
    for (const nt::VerifierRule& rule : nt::Verifier::rules()) {
        table.insert(std::string(rule.name) + " / " + nt::Verifier::eventName(rule.event));
    }
    for (const std::string& row : table) EXPECT_EQ(documented.count(row), 1u) << "not listed: " << row;
    for (const std::string& row : documented) EXPECT_EQ(table.count(row), 1u) << "no such rule: " << row;
}

}  // namespace
