// Loading a driver image. Each load maps its own copy of the image file, as the kernel's loader
// maps a fresh image, so a machine never inherits another machine's driver globals.
#include <nt/kernel.hpp>

#include <dlfcn.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <stdexcept>

namespace nt {

DriverImage::DriverImage(const std::string& path)
{
    static std::atomic<unsigned> serial{0};
    namespace fs = std::filesystem;
    fs::path copy = fs::temp_directory_path() /
                    ("hotp-image-" + std::to_string(getpid()) + "-" +
                     std::to_string(serial++) + "-" + fs::path(path).filename().string());
    fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
    handle_ = dlopen(copy.c_str(), RTLD_NOW | RTLD_LOCAL);
    std::error_code ignored;
    fs::remove(copy, ignored);
    if (handle_ == nullptr) {
        const char* error = dlerror();
        throw std::runtime_error("cannot load driver image " + path + ": " +
                                 (error != nullptr ? error : "unknown error"));
    }
}

DriverImage::~DriverImage()
{
    if (handle_ != nullptr) dlclose(handle_);
}

void* DriverImage::symbol(const std::string& name) const { return dlsym(handle_, name.c_str()); }

bool Debugger::set(const std::string& symbol, ULONG value) const
{
    auto* variable = driver_.image->get<volatile ULONG>(symbol);
    if (variable == nullptr) return false;
    *variable = value;
    return true;
}

std::optional<ULONG> Debugger::get(const std::string& symbol) const
{
    auto* variable = driver_.image->get<volatile ULONG>(symbol);
    if (variable == nullptr) return std::nullopt;
    return *variable;
}

}  // namespace nt
