#include "options.hpp"

namespace hotpsim {

std::optional<std::string> checkTraceLevel(std::string_view option, unsigned long value)
{
    if (value <= kMaxTraceLevel) return std::nullopt;
    return "hotpsim: " + std::string(option) + " " + std::to_string(value) +
           ": out of range; trace levels are 0 (off) to " + std::to_string(kMaxTraceLevel);
}

}  // namespace hotpsim
