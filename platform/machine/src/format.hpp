// How the machine layer prints numbers and sizes, reads a register out of captured
// configuration bytes, and reads the files users give it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace machine::detail {

// The little-endian dword at `at` of configuration bytes (which hold at least at + 4).
inline uint32_t configDword(const std::vector<uint8_t>& bytes, unsigned at)
{
    return uint32_t{bytes[at]} | uint32_t{bytes[at + 1]} << 8 | uint32_t{bytes[at + 2]} << 16 |
           uint32_t{bytes[at + 3]} << 24;
}

// Lower-case hexadecimal, zero-padded to `digits`.
inline std::string hex(uint64_t value, int digits)
{
    char buffer[24];
    std::snprintf(buffer, sizeof buffer, "%0*llx", digits, static_cast<unsigned long long>(value));
    return buffer;
}

// "16M", "64K", "32" (bytes): how messages and reports print a size.
std::string formatSize(uint64_t bytes);

// The bytes of a regular file of at most `cap` bytes; anything else (a directory, a device, a
// FIFO, a dangling link, a file too large) is refused as "path: message" without reading from
// it, so that no path can make the reader wait or read without end. `kind` names what such a
// file is in the message about its size ("a machine or scenario file").
std::optional<std::string> readInputFile(const std::string& path, std::string& error,
                                         uint64_t cap, std::string_view kind);

}  // namespace machine::detail
