// Reading the files users give and writing the files they ask for.
#include <formats/files.hpp>

#include <pci/registers.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace formats {

namespace {
const char* fileKind(mode_t mode)
{
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// Closes a descriptor on every way out.
struct Descriptor {
    int fd;
    ~Descriptor()
    {
        if (fd >= 0) ::close(fd);
    }
};
}  // namespace

std::optional<std::string> readInputFile(const std::string& path, std::string& error,
                                         uint64_t cap, std::string_view kind)
{
    // Non-blocking, so that opening a FIFO with no writer returns at once and is refused below.
    Descriptor file{::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY)};
    if (file.fd < 0) {
        const int reason = errno;
        struct stat link {};
        if (reason == ENOENT && ::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
            error = path + ": cannot read: a symbolic link to nothing";
        } else {
            error = path + ": cannot read: " + std::strerror(reason);
        }
        return std::nullopt;
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) {
        error = path + ": cannot read: " + std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        error = path + ": cannot read: " + fileKind(info.st_mode) + ", not a file";
        return std::nullopt;
    }
    const std::string limit = pci::formatSize(cap);
    if (static_cast<uint64_t>(info.st_size) > cap) {
        error = path + ": " + std::to_string(info.st_size) + " bytes; " + std::string(kind) +
                " is at most " + limit;
        return std::nullopt;
    }
    // Read to the end, but never past the limit: the file may grow while it is read.
    std::string text;
    char buffer[16384];
    while (true) {
        const ssize_t n = ::read(file.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            error = path + ": cannot read: " + std::strerror(errno);
            return std::nullopt;
        }
        if (n == 0) break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > cap) {
            error = path + ": more than " + limit + "; " + std::string(kind) + " is at most " +
                    limit;
            return std::nullopt;
        }
    }
    return text;
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

}  // namespace formats
