// What a reader of a machine or scenario file returns.
#pragma once

#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace formats {

// Either a parsed value or the list of what is wrong with the text.
template <class T>
class Parsed {
public:
    Parsed(T value) : v_(std::move(value)) {}
    Parsed(std::vector<std::string> errors) : v_(std::move(errors)) {}

    bool ok() const { return std::holds_alternative<T>(v_); }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<T>(v_); }
    const T& value() const { return std::get<T>(v_); }
    const std::vector<std::string>& errors() const
    {
        static const std::vector<std::string> none;
        return ok() ? none : std::get<std::vector<std::string>>(v_);
    }

private:
    std::variant<T, std::vector<std::string>> v_;
};

}  // namespace formats
