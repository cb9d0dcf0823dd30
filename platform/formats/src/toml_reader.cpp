#include "toml_reader.hpp"

#include <cctype>
#include <cerrno>
#include <cstring>


namespace formats::detail {

namespace {
const char* typeName(toml::node_type type)
{
    switch (type) {
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a floating-point number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::date:
    case toml::node_type::time:
    case toml::node_type::date_time: return "a date or time";
    default: return "nothing";
    }
}
}  // namespace

void Reader::error(unsigned lineNumber, const std::string& message)
{
    errors_.push_back(file_ + ":" + std::to_string(lineNumber) + ": " + message);
}

unsigned Reader::keyLine(const toml::table& table, std::string_view key)
{
    for (auto&& [k, node] : table) {
        if (k.str() == key) {
            const auto l = k.source().begin.line;
            return l != 0 ? static_cast<unsigned>(l) : line(node);
        }
    }
    return line(table);
}

void Reader::onlyKeys(const toml::table& table, std::initializer_list<std::string_view> keys,
                      std::string_view what)
{
    for (auto&& [key, node] : table) {
        bool known = false;
        for (std::string_view k : keys) known = known || k == key.str();
        if (known) continue;
        std::string expected;
        for (std::string_view k : keys) {
            if (!expected.empty()) expected += ", ";
            expected += k;
        }
        const auto l = key.source().begin.line;
        error(l != 0 ? static_cast<unsigned>(l) : line(node),
              "unknown key '" + std::string(key.str()) + "' in " + std::string(what) +
                  " (expected " + expected + ")");
    }
}

const toml::node* Reader::find(const toml::table& table, std::string_view key,
                               std::string_view what, bool required)
{
    const toml::node* node = table.get(key);
    if (node == nullptr && required) {
        error(line(table), std::string(what) + " needs '" + std::string(key) + "'");
    }
    return node;
}

void Reader::wrongType(const toml::node& node, std::string_view key, std::string_view what,
                       std::string_view expected)
{
    error(node, std::string("'").append(key) + "' of " + std::string(what) + " must be " +
                    std::string(expected) + ", not " + typeName(node.type()));
}

std::optional<std::string> Reader::string(const toml::table& table, std::string_view key,
                                          std::string_view what, bool required)
{
    const toml::node* node = find(table, key, what, required);
    if (node == nullptr) return std::nullopt;
    if (!node->is_string()) {
        wrongType(*node, key, what, "a string");
        return std::nullopt;
    }
    return node->as_string()->get();
}

std::optional<int64_t> Reader::integer(const toml::table& table, std::string_view key,
                                       std::string_view what, int64_t min, int64_t max,
                                       bool required)
{
    const toml::node* node = find(table, key, what, required);
    if (node == nullptr) return std::nullopt;
    if (!node->is_integer()) {
        wrongType(*node, key, what, "an integer");
        return std::nullopt;
    }
    const int64_t value = node->as_integer()->get();
    if (value < min || value > max) {
        error(*node, std::string("'").append(key) + "' of " + std::string(what) + " is " +
                         std::to_string(value) + ", outside " + std::to_string(min) + " to " +
                         std::to_string(max));
        return std::nullopt;
    }
    return value;
}

std::optional<bool> Reader::boolean(const toml::table& table, std::string_view key,
                                    std::string_view what)
{
    const toml::node* node = find(table, key, what, false);
    if (node == nullptr) return std::nullopt;
    if (!node->is_boolean()) {
        wrongType(*node, key, what, "true or false");
        return std::nullopt;
    }
    return node->as_boolean()->get();
}

std::optional<uint64_t> Reader::size(const toml::table& table, std::string_view key,
                                     std::string_view what, bool required)
{
    const toml::node* node = find(table, key, what, required);
    if (node == nullptr) return std::nullopt;
    if (node->is_integer()) {
        const int64_t value = node->as_integer()->get();
        if (value < 0) {
            error(*node, std::string("'").append(key) + "' of " + std::string(what) +
                             " cannot be negative");
            return std::nullopt;
        }
        return static_cast<uint64_t>(value);
    }
    if (node->is_string()) {
        const std::string& text = node->as_string()->get();
        if (auto value = parseSize(text)) return value;
        error(*node, "'" + text + "' is not a size (a number of bytes, or a number followed by "
                                  "K, M or G)");
        return std::nullopt;
    }
    wrongType(*node, key, what, "a size (\"64K\", \"16M\" or a number of bytes)");
    return std::nullopt;
}

const toml::table* Reader::table(const toml::table& table, std::string_view key,
                                 std::string_view what, bool required)
{
    const toml::node* node = find(table, key, what, required);
    if (node == nullptr) return nullptr;
    if (!node->is_table()) {
        wrongType(*node, key, what, "a table");
        return nullptr;
    }
    return node->as_table();
}

std::vector<const toml::table*> Reader::tables(const toml::table& table, std::string_view key,
                                               std::string_view what)
{
    std::vector<const toml::table*> out;
    const toml::node* node = find(table, key, what, false);
    if (node == nullptr) return out;
    if (!node->is_array()) {
        wrongType(*node, key, what, "an array of tables");
        return out;
    }
    for (const toml::node& element : *node->as_array()) {
        if (!element.is_table()) {
            error(element, std::string("'").append(key) + "' of " + std::string(what) +
                               " must hold tables, not " + typeName(element.type()));
            continue;
        }
        out.push_back(element.as_table());
    }
    return out;
}

std::vector<std::string> parseFailure(const toml::parse_error& e, std::string_view fileName)
{
    const auto line = e.source().begin.line;
    return {std::string(fileName) + ":" + std::to_string(line == 0 ? 1 : line) + ": " +
            std::string(e.description())};
}

bool parseId(std::string_view text, uint16_t& vendor, uint16_t& device)
{
    if (text.size() != 9 || text[4] != ':') return false;
    auto hex = [](std::string_view part, uint16_t& out) {
        unsigned value = 0;
        for (char c : part) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
            value = value * 16 + static_cast<unsigned>(std::isdigit(static_cast<unsigned char>(c))
                                                           ? c - '0'
                                                           : std::tolower(c) - 'a' + 10);
        }
        out = static_cast<uint16_t>(value);
        return true;
    };
    return hex(text.substr(0, 4), vendor) && hex(text.substr(5, 4), device);
}

std::optional<uint64_t> parseSize(std::string_view text)
{
    uint64_t value = 0;
    size_t i = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const uint64_t digit = static_cast<uint64_t>(text[i] - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    if (i == 0) return std::nullopt;
    std::string_view unit = text.substr(i);
    unsigned shift = 0;
    if (unit == "" || unit == "B") {
        shift = 0;
    } else if (unit == "K" || unit == "KB") {
        shift = 10;
    } else if (unit == "M" || unit == "MB") {
        shift = 20;
    } else if (unit == "G" || unit == "GB") {
        shift = 30;
    } else {
        return std::nullopt;
    }
    if (shift != 0 && value > (UINT64_MAX >> shift)) return std::nullopt;
    return value << shift;
}

bool isPowerOfTwo(uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace formats::detail
