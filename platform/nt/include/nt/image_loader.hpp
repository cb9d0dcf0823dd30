// The kernel's image loader: a PE32 i386 driver image of the native subsystem, read from its file
// bytes, checked as the kernel checks a driver before it loads it (machine, subsystem, checksum,
// every section inside the file, relocations, imports of routines the kernel exports), then mapped
// with each section's protection, relocated to where it landed and bound to the stand-in's
// routines. Parsing and mapping are separate: parseImage() reads bytes and throws ImageError
// naming what is wrong, without mapping or running anything; KernelImage::load() maps what
// parseImage() accepted (i386 host build only).
#pragma once

#include <nt/kernel.hpp>

#include <cstdint>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace nt {

// An image the loader refuses; what() names what is wrong.
class ImageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;
constexpr uint32_t kSectionDiscardable = 0x02000000;

constexpr uint16_t kResourceMessageTable = 11;
constexpr uint16_t kResourceVersion = 16;

struct ImageSection {
    std::string name;
    uint32_t rva = 0;
    uint32_t size = 0;  // bytes in memory: the larger of the virtual and raw sizes
    uint32_t characteristics = 0;
    bool pageable() const { return name.rfind("PAGE", 0) == 0; }
    bool discardable() const { return (characteristics & kSectionDiscardable) != 0; }
};

struct ImageImport {
    std::string module;  // as the image names it, e.g. "ntoskrnl.exe"
    std::string name;
    uint32_t slotRva = 0;  // the import address table slot the loader fills
};

struct ImageResource {
    uint32_t type = 0;
    uint32_t id = 0;
    uint32_t language = 0;
    std::vector<uint8_t> bytes;
};

// An image as its headers describe it, laid out as it is mapped (`memory`, SizeOfImage bytes with
// every section at its RVA), relocations not yet applied and imports not yet bound.
struct ImageLayout {
    uint32_t imageBase = 0;
    uint32_t entryRva = 0;
    uint32_t checksum = 0;
    std::vector<uint8_t> memory;
    std::vector<ImageSection> sections;
    std::vector<ImageImport> imports;
    std::vector<uint32_t> relocations;  // RVAs of 32-bit words that hold an address
    std::map<std::string, uint32_t> exports;
    std::vector<ImageResource> resources;

    const ImageSection* sectionAt(uint32_t rva) const;
    const ImageResource* resource(uint32_t type, uint32_t id) const;
};

// The image checksum: the file's 16-bit words summed with end-around carry, the checksum field
// counted as zero, plus the file's length.
uint32_t imageChecksum(const uint8_t* data, size_t size);

// Reads and checks an image; throws ImageError naming the first thing the kernel would refuse.
// Imports are checked against the routines the kernel exports (kernelRoutine).
ImageLayout parseImage(const uint8_t* data, size_t size);

// The stand-in's routine that a kernel import binds to, called with the kernel's own calling
// convention for it; nullptr when the kernel does not export it. Modules match without regard
// to case.
void* kernelRoutine(const std::string& module, const std::string& name);

// A kernel image mapped into this process and bound to the stand-in.
class KernelImage final : public DriverImage {
public:
    // Maps a parsed image; `name` names it in the verifier's findings. Nothing stays mapped when
    // it throws. The pageable sections are registered with `kernel`.
    static std::unique_ptr<KernelImage> load(const std::vector<uint8_t>& bytes,
                                             const std::string& name, Kernel& kernel);
    ~KernelImage() override;

    void* symbol(const std::string& name) const override;
    void* entryPoint() const override;
    std::optional<std::vector<uint8_t>> resource(uint16_t type, uint16_t id) const override;
    void entryReturned() override;
    std::vector<std::pair<uint8_t*, size_t>> writableData() const override;
    std::optional<size_t> offsetOf(const void* address) const override;

    uint8_t* base() const { return base_; }
    uint32_t preferredBase() const { return layout_.imageBase; }
    const ImageLayout& layout() const { return layout_; }
    // True while the section still has its pages (a discardable one loses them after the entry).
    bool isMapped(const ImageSection& section) const;

private:
    KernelImage() = default;
    struct Thunk;
    ImageLayout layout_;
    std::string name_;
    uint8_t* base_ = nullptr;
    size_t mappedSize_ = 0;
    uint8_t* thunks_ = nullptr;
    size_t thunksSize_ = 0;
    std::vector<std::unique_ptr<Thunk>> thunkRecords_;
    std::vector<bool> discarded_;
};

}  // namespace nt
