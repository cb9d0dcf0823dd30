// The driver a whole-machine test loads. Every machine flow runs against the host-compiled
// module; in the i386 tree ctest registers each flow a second time with HOTP_TEST_DRIVER=image,
// and that run loads the shipped kernel image through the kernel's image loader instead.
#pragma once

#include <cstdlib>
#include <stdexcept>
#include <string>

namespace hotp::test {

enum class DriverSource { HostModule, KernelImage };

inline DriverSource driverSource()
{
    const char* chosen = std::getenv("HOTP_TEST_DRIVER");
    if (chosen == nullptr || std::string(chosen) == "module") return DriverSource::HostModule;
    if (std::string(chosen) == "image") return DriverSource::KernelImage;
    throw std::invalid_argument(std::string("HOTP_TEST_DRIVER=") + chosen +
                                ": expected \"module\" or \"image\"");
}

// The file the machine loads as its driver.
inline std::string driverPath()
{
    return driverSource() == DriverSource::KernelImage ? HOTP_IMAGE_PATH : HOTP_DRIVER_PATH;
}

}  // namespace hotp::test
