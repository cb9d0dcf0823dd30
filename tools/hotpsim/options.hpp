// What hotpsim checks of its options beyond what the command-line parser checks: values in their
// ranges. Every problem is one line, "hotpsim: --option value: message", and hotpsim exits 2 on
// it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace hotpsim {

// The driver's trace points have levels 1 to 4; 0 silences them.
constexpr unsigned long kMaxTraceLevel = 4;

// Nothing when `value` is a trace level; otherwise why not.
std::optional<std::string> checkTraceLevel(std::string_view option, unsigned long value);

}  // namespace hotpsim
