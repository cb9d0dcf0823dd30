// Reading the files users give and writing the files they ask for: a file is read only when it
// is a regular file within its cap, and a file written is checked to have reached the disk.
#pragma once

#include <cstdint>
#include <functional>
#include <ostream>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

// The largest machine or scenario file read: far beyond any real description, small enough that
// a mistaken path (a log, an image) is refused at once.
constexpr uint64_t kMaxFileBytes = 1 << 20;


// The bytes of a regular file of at most `cap` bytes; anything else (a directory, a device, a
// FIFO, a dangling link, a file too large) is refused as "path: message" without reading from
// it, so that no path can make the reader wait or read without end. `kind` names what such a
// file is in the message about its size ("a machine or scenario file").
std::optional<std::string> readInputFile(const std::string& path, std::string& error,
                                         uint64_t cap, std::string_view kind);

// Writes a file through `write` and checks it reached the file (after closing it, so that a full
// disk or a device that refuses data is caught); nothing on success, else "path: message".
std::optional<std::string> writeOutputFile(const std::string& path,
                                           const std::function<void(std::ostream&)>& write);

}  // namespace formats
