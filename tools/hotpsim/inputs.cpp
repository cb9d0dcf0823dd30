#include "inputs.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace hotpsim {

std::optional<std::string> checkTraceLevel(std::string_view option, unsigned long value)
{
    if (value <= kMaxTraceLevel) return std::nullopt;
    return "hotpsim: " + std::string(option) + " " + std::to_string(value) +
           ": out of range; trace levels are 0 (off) to " + std::to_string(kMaxTraceLevel);
}

std::optional<std::string> writeOutputFile(const std::string& path,
                                           const std::function<void(std::ostream&)>& write)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return path + ": cannot write: " + std::strerror(errno);
    write(out);
    // Buffered data reaches the file only when it is flushed: check after closing.
    errno = 0;
    out.close();
    if (!out) {
        return path + ": cannot write: " +
               (errno != 0 ? std::strerror(errno) : "the data did not reach the file");
    }
    return std::nullopt;
}

}  // namespace hotpsim
