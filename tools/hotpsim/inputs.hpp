// What hotpsim checks of its input beyond what the command-line parser checks: option values in
// their ranges, and output files written completely. Every problem is one line, "file: message"
// or "hotpsim: --option value: message", and hotpsim exits 2 on it.
#pragma once

#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace hotpsim {

// The driver's trace points have levels 1 to 4; 0 silences them.
constexpr unsigned long kMaxTraceLevel = 4;

// Nothing when `value` is a trace level; otherwise why not.
std::optional<std::string> checkTraceLevel(std::string_view option, unsigned long value);

// Writes a file through `write` and checks it reached the file (after closing it, so that a full
// disk or a device that refuses data is caught); nothing on success, else "path: message".
std::optional<std::string> writeOutputFile(const std::string& path,
                                           const std::function<void(std::ostream&)>& write);

}  // namespace hotpsim
