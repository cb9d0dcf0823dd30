// A tar of /sys/bus/pci/devices with copies of /proc/iomem and /proc/ioports beside it, from
// arbitrary bytes. The input is two little-endian 16-bit lengths, then that many bytes of the
// iomem copy and of the ioports copy, then the tar file; a length of 0xFFFF means no copy.
#include "imported.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace {

std::optional<std::string> take(std::string_view& rest, unsigned length)
{
    if (length == 0xFFFF) return std::nullopt;
    const std::string_view part = rest.substr(0, length);
    rest.remove_prefix(part.size());
    return std::string(part);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4) return 0;
    std::string_view rest(reinterpret_cast<const char*>(data) + 4, size - 4);
    const std::optional<std::string> iomem = take(rest, data[0] | data[1] << 8);
    const std::optional<std::string> ioports = take(rest, data[2] | data[3] << 8);
    formats::SnapshotResult read = formats::readSnapshotTar(rest, "pci.tar");
    if (read.snapshot) {
        read.snapshot->iomem = iomem;
        read.snapshot->ioports = ioports;
    }
    fuzzing::checkImport(read, "pci.tar");
    return 0;
}
