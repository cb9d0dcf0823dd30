// Loading a driver image. Each load maps its own copy of the image file, as the kernel's loader
// maps a fresh image, so a machine never inherits another machine's driver globals. A file that
// starts with the MZ signature is a kernel image and goes to the image loader; anything else is a
// host module, opened by the dynamic linker.
#include <nt/image_loader.hpp>
#include <nt/kernel.hpp>

#include <dlfcn.h>
#include <link.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace nt {

namespace {

class HostModule final : public DriverImage {
public:
    explicit HostModule(const std::string& path)
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
    ~HostModule() override { dlclose(handle_); }

    void* symbol(const std::string& name) const override { return dlsym(handle_, name.c_str()); }
    void* entryPoint() const override { return symbol("DriverEntry"); }

    // The module's writable load segments.
    std::vector<std::pair<uint8_t*, size_t>> writableData() const override
    {
        Search search{};
        Dl_info info{};
        if (dladdr(entryPoint(), &info) == 0 || info.dli_fbase == nullptr) return {};
        search.base = reinterpret_cast<uintptr_t>(info.dli_fbase);
        dl_iterate_phdr(&HostModule::findSegments, &search);
        return search.out;
    }

private:
    struct Search {
        uintptr_t base;
        std::vector<std::pair<uint8_t*, size_t>> out;
    };
    static int findSegments(dl_phdr_info* info, size_t, void* data)
    {
        auto* search = static_cast<Search*>(data);
        if (info->dlpi_addr != search->base) return 0;
        for (int i = 0; i < info->dlpi_phnum; ++i) {
            const auto& header = info->dlpi_phdr[i];
            if (header.p_type != PT_LOAD || (header.p_flags & PF_W) == 0) continue;
            search->out.emplace_back(reinterpret_cast<uint8_t*>(info->dlpi_addr + header.p_vaddr),
                                     header.p_memsz);
        }
        return 1;
    }

    void* handle_ = nullptr;
};

}  // namespace

std::unique_ptr<DriverImage> DriverImage::open(const std::string& path, Kernel& kernel)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot load driver image " + path + ": cannot read it");
    char signature[2] = {};
    file.read(signature, 2);
    if (file.gcount() != 2 || signature[0] != 'M' || signature[1] != 'Z') {
        return std::make_unique<HostModule>(path);
    }
    file.seekg(0);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                               std::istreambuf_iterator<char>()};
    const std::string name = std::filesystem::path(path).filename().string();
    try {
        return KernelImage::load(bytes, name, kernel);
    } catch (const ImageError& error) {
        throw ImageError("cannot load driver image " + path + ": " + error.what());
    }
}

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
