// Reading TOML tables field by field, collecting every problem as "file:line: message" instead
// of stopping at the first. Only the machine and scenario parsers include this (and toml++).
#pragma once

#include <formats/model.hpp>

#include <toml++/toml.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace formats::detail {

class Reader {
public:
    explicit Reader(std::string_view fileName) : file_(fileName) {}

    std::vector<std::string>& errors() { return errors_; }
    const std::string& file() const { return file_; }

    static unsigned line(const toml::node& node)
    {
        const auto l = node.source().begin.line;
        return l == 0 ? 1u : static_cast<unsigned>(l);
    }
    void error(unsigned lineNumber, const std::string& message);
    void error(const toml::node& node, const std::string& message) { error(line(node), message); }

    // Reports every key of `table` that is not in `keys`; `what` names the table in messages.
    void onlyKeys(const toml::table& table, std::initializer_list<std::string_view> keys,
                  std::string_view what);

    // Each getter returns nothing when the key is absent (an error if `required`) or has the
    // wrong type or value (always an error).
    std::optional<std::string> string(const toml::table& table, std::string_view key,
                                      std::string_view what, bool required = false);
    std::optional<int64_t> integer(const toml::table& table, std::string_view key,
                                   std::string_view what, int64_t min, int64_t max,
                                   bool required = false);
    std::optional<bool> boolean(const toml::table& table, std::string_view key,
                                std::string_view what);
    // A byte count: an integer, or a string such as "64K", "16M", "1G".
    std::optional<uint64_t> size(const toml::table& table, std::string_view key,
                                 std::string_view what, bool required = false);
    const toml::table* table(const toml::table& table, std::string_view key,
                             std::string_view what, bool required = false);
    // An array whose every element is a table ([[key]] or key = [{...}, ...]).
    std::vector<const toml::table*> tables(const toml::table& table, std::string_view key,
                                           std::string_view what);

    static unsigned keyLine(const toml::table& table, std::string_view key);

private:
    const toml::node* find(const toml::table& table, std::string_view key, std::string_view what,
                           bool required);
    void wrongType(const toml::node& node, std::string_view key, std::string_view what,
                   std::string_view expected);

    std::string file_;
    std::vector<std::string> errors_;
};

// A toml++ syntax error as "file:line: message".
std::vector<std::string> parseFailure(const toml::parse_error& error, std::string_view fileName);

// "vvvv:dddd" as vendor and device.
bool parseId(std::string_view text, uint16_t& vendor, uint16_t& device);
// "64K", "16M", "2G", "4096"; nothing on a malformed size or overflow.
std::optional<uint64_t> parseSize(std::string_view text);
bool isPowerOfTwo(uint64_t value);

}  // namespace formats::detail
