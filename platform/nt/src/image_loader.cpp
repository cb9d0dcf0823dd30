// The kernel's image loader (nt/image_loader.hpp): checks a PE32 i386 driver image, maps it with
// its sections' protections at an address the kernel chose, applies its base relocations, binds
// its imports by name to the stand-in's routines and hands out its entry point, exports and
// resources. Every import goes through a small thunk that tells the verifier where the call came
// from, so that pageable code calling the kernel at raised IRQL is caught.
#include <nt/image_loader.hpp>

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <set>

namespace nt {

namespace {

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kOptionalMagicPe32 = 0x010B;
constexpr uint16_t kSubsystemNative = 1;
constexpr uint16_t kFileExecutable = 0x0002;
constexpr uint16_t kFileRelocsStripped = 0x0001;
constexpr size_t kPage = 0x1000;
constexpr uint32_t kLargestImage = 64u << 20;
constexpr uint32_t kMostSections = 96;
constexpr uint32_t kMostImports = 4096;
constexpr uint32_t kMostExports = 65536;

enum Directory : uint32_t { Export = 0, Import = 1, Resource = 2, Relocation = 5 };

std::string hex(uint64_t value, int width = 0)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%0*llx", width, static_cast<unsigned long long>(value));
    return text;
}

std::string quoted(const std::string& name) { return "'" + name + "'"; }

std::string lower(std::string text)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

template <typename T>
T take(const uint8_t* at)
{
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Bounds-checked reads of the file's bytes.
struct FileView {
    const uint8_t* data;
    size_t size;

    void need(uint64_t offset, uint64_t length, const std::string& what) const
    {
        if (offset > size || size - offset < length) {
            throw ImageError("truncated: " + what + " ends at " + hex(offset + length) +
                             ", the file has " + hex(size) + " bytes");
        }
    }
    template <typename T>
    T read(uint64_t offset, const std::string& what) const
    {
        need(offset, sizeof(T), what);
        return take<T>(data + offset);
    }
};

// Bounds-checked reads of the image as mapped, by RVA.
struct MemoryView {
    const std::vector<uint8_t>& memory;

    void need(uint64_t rva, uint64_t length, const std::string& what) const
    {
        if (rva > memory.size() || memory.size() - rva < length) {
            throw ImageError(what + " at " + hex(rva) + " lies outside the image");
        }
    }
    template <typename T>
    T read(uint64_t rva, const std::string& what) const
    {
        need(rva, sizeof(T), what);
        return take<T>(memory.data() + rva);
    }
    std::string string(uint64_t rva, const std::string& what) const
    {
        need(rva, 1, what);
        const auto* begin = reinterpret_cast<const char*>(memory.data() + rva);
        const size_t room = std::min<size_t>(memory.size() - static_cast<size_t>(rva), 512);
        const size_t length = strnlen(begin, room);
        if (length == room) throw ImageError(what + " at " + hex(rva) + " is not terminated");
        return std::string(begin, length);
    }
};

struct DirectoryEntry {
    uint32_t rva = 0;
    uint32_t size = 0;
};

bool isKernelModule(const std::string& module)
{
    const std::string name = lower(module);
    return name == "ntoskrnl.exe" || name == "hal.dll";
}

void parseRelocations(const MemoryView& image, DirectoryEntry dir, ImageLayout& layout)
{
    image.need(dir.rva, dir.size, "the relocation directory");
    uint32_t at = 0;
    while (at + 8 <= dir.size) {
        const uint32_t page = image.read<uint32_t>(dir.rva + at, "a relocation block");
        const uint32_t blockSize = image.read<uint32_t>(dir.rva + at + 4, "a relocation block");
        if (blockSize < 8 || blockSize > dir.size - at || blockSize % 2 != 0) {
            throw ImageError("relocation block at " + hex(dir.rva + at) + " has a size of " +
                             hex(blockSize));
        }
        for (uint32_t e = 8; e + 2 <= blockSize; e += 2) {
            const uint16_t entry = image.read<uint16_t>(dir.rva + at + e, "a relocation");
            const unsigned type = entry >> 12;
            const uint64_t target = uint64_t{page} + (entry & 0x0FFF);
            if (type == 0) continue;  // padding
            if (type != 3) {
                throw ImageError("relocation of type " + std::to_string(type) + " at " +
                                 hex(target) + ", not one an i386 image uses");
            }
            image.need(target, 4, "a relocated address");
            layout.relocations.push_back(static_cast<uint32_t>(target));
        }
        at += blockSize;
    }
}

void parseImports(const MemoryView& image, DirectoryEntry dir, ImageLayout& layout)
{
    std::vector<std::string> unknown;
    for (uint32_t d = 0;; ++d) {
        const uint64_t at = uint64_t{dir.rva} + 20ull * d;
        const uint32_t lookup = image.read<uint32_t>(at, "an import descriptor");
        const uint32_t nameRva = image.read<uint32_t>(at + 12, "an import descriptor");
        const uint32_t slots = image.read<uint32_t>(at + 16, "an import descriptor");
        if (nameRva == 0 && slots == 0) break;
        const std::string module = image.string(nameRva, "an imported module's name");
        if (!isKernelModule(module)) {
            throw ImageError("imports from " + quoted(module) +
                             ", which is not a module of the kernel (ntoskrnl.exe, hal.dll)");
        }
        const uint32_t names = lookup != 0 ? lookup : slots;
        for (uint32_t i = 0;; ++i) {
            if (layout.imports.size() >= kMostImports) throw ImageError("too many imports");
            const uint32_t entry = image.read<uint32_t>(names + 4ull * i, "an import entry");
            if (entry == 0) break;
            if ((entry & 0x80000000u) != 0) {
                throw ImageError("imports ordinal " + std::to_string(entry & 0xFFFF) + " from " +
                                 quoted(module) + "; the kernel binds imports by name");
            }
            const std::string name = image.string(uint64_t{entry} + 2, "an imported name");
            const uint64_t slot = uint64_t{slots} + 4ull * i;
            image.need(slot, 4, "an import address slot");
            if (kernelRoutine(module, name) == nullptr) unknown.push_back(quoted(name));
            layout.imports.push_back(ImageImport{module, name, static_cast<uint32_t>(slot)});
        }
    }
    if (!unknown.empty()) {
        std::string list;
        for (const auto& name : unknown) list += (list.empty() ? "" : ", ") + name;
        throw ImageError("imports " + list + ", which the kernel does not export");
    }
}

void parseExports(const MemoryView& image, DirectoryEntry dir, ImageLayout& layout)
{
    const uint32_t functions = image.read<uint32_t>(dir.rva + 20ull, "the export directory");
    const uint32_t count = image.read<uint32_t>(dir.rva + 24ull, "the export directory");
    const uint32_t addresses = image.read<uint32_t>(dir.rva + 28ull, "the export directory");
    const uint32_t names = image.read<uint32_t>(dir.rva + 32ull, "the export directory");
    const uint32_t ordinals = image.read<uint32_t>(dir.rva + 36ull, "the export directory");
    if (count > kMostExports || functions > kMostExports) throw ImageError("too many exports");
    for (uint32_t i = 0; i < count; ++i) {
        const std::string name =
            image.string(image.read<uint32_t>(names + 4ull * i, "an export name"), "an export name");
        const uint16_t ordinal = image.read<uint16_t>(ordinals + 2ull * i, "an export ordinal");
        if (ordinal >= functions) {
            throw ImageError("export " + quoted(name) + " has ordinal " + std::to_string(ordinal) +
                             " of " + std::to_string(functions));
        }
        const uint32_t rva = image.read<uint32_t>(addresses + 4ull * ordinal, "an export address");
        if (rva >= dir.rva && rva - dir.rva < dir.size) continue;  // forwarded elsewhere
        image.need(rva, 1, "export " + quoted(name));
        layout.exports[name] = rva;
    }
}

// The resource tree: type, then name, then language, then the data entry. Named entries (the
// driver uses numbered ones only) are passed over. A tree is a tree: a directory reached a second
// time (several entries sharing one) is refused, as are resources that together hold more bytes
// than the image, so that a few hundred bytes of directories cannot make the loader walk or copy
// without end.
void parseResources(const MemoryView& image, DirectoryEntry dir, ImageLayout& layout)
{
    image.need(dir.rva, dir.size, "the resource directory");
    std::set<uint32_t> reached;
    uint64_t bytes = 0;
    auto entries = [&](uint32_t offset, auto&& visit) {
        if (offset > dir.size || dir.size - offset < 16) {
            throw ImageError("resource directory at " + hex(dir.rva + uint64_t{offset}) +
                             " lies outside the resource section");
        }
        const uint32_t at = dir.rva + offset;
        if (!reached.insert(offset).second) {
            throw ImageError("resource directory at " + hex(at) + " is reached twice");
        }
        const uint32_t count = uint32_t{image.read<uint16_t>(at + 12ull, "a resource directory")} +
                               image.read<uint16_t>(at + 14ull, "a resource directory");
        if (count > (dir.size - offset - 16) / 8) {
            throw ImageError("resource directory at " + hex(at) + " has more entries than fit");
        }
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t id = image.read<uint32_t>(at + 16ull + 8ull * i, "a resource entry");
            const uint32_t target = image.read<uint32_t>(at + 20ull + 8ull * i, "a resource entry");
            if ((id & 0x80000000u) != 0) continue;
            visit(id, target);
        }
    };
    auto subdirectory = [&](uint32_t target) {
        if ((target & 0x80000000u) == 0) {
            throw ImageError("resource tree at " + hex(dir.rva) + " ends before its third level");
        }
        return target & 0x7FFFFFFFu;
    };
    entries(0, [&](uint32_t type, uint32_t typeTarget) {
        entries(subdirectory(typeTarget), [&](uint32_t id, uint32_t idTarget) {
            entries(subdirectory(idTarget), [&](uint32_t language, uint32_t dataTarget) {
                if ((dataTarget & 0x80000000u) != 0 || dataTarget > dir.size ||
                    dir.size - dataTarget < 16) {
                    throw ImageError("resource " + std::to_string(type) + "/" +
                                     std::to_string(id) + " has no data entry");
                }
                const uint32_t rva = image.read<uint32_t>(dir.rva + uint64_t{dataTarget},
                                                          "a resource data entry");
                const uint32_t size = image.read<uint32_t>(dir.rva + uint64_t{dataTarget} + 4,
                                                           "a resource data entry");
                image.need(rva, size, "resource " + std::to_string(type) + "/" + std::to_string(id));
                bytes += size;
                if (bytes > image.memory.size()) {
                    throw ImageError("resources of more bytes than the image's " +
                                     hex(image.memory.size()));
                }
                ImageResource resource{type, id, language, {}};
                resource.bytes.assign(image.memory.begin() + rva,
                                      image.memory.begin() + rva + size);
                layout.resources.push_back(std::move(resource));
            });
        });
    });
}

[[maybe_unused]] int protectionOf(uint32_t characteristics)
{
    int protection = PROT_NONE;
    if ((characteristics & kSectionRead) != 0) protection |= PROT_READ;
    if ((characteristics & kSectionWrite) != 0) protection |= PROT_WRITE;
    if ((characteristics & kSectionExecute) != 0) protection |= PROT_EXEC;
    return protection;
}

size_t pageRound(size_t n) { return (n + kPage - 1) & ~(kPage - 1); }

}  // namespace

const ImageSection* ImageLayout::sectionAt(uint32_t rva) const
{
    for (const ImageSection& s : sections) {
        if (rva >= s.rva && rva - s.rva < s.size) return &s;
    }
    return nullptr;
}

const ImageResource* ImageLayout::resource(uint32_t type, uint32_t id) const
{
    for (const ImageResource& r : resources) {
        if (r.type == type && r.id == id) return &r;
    }
    return nullptr;
}

uint32_t imageChecksum(const uint8_t* data, size_t size)
{
    // The checksum field: 64 bytes into the optional header, behind the PE signature and the
    // 20-byte file header.
    uint64_t field = UINT64_MAX;
    if (size >= 64) field = uint64_t{take<uint32_t>(data + 0x3C)} + 24 + 64;
    uint64_t sum = 0;
    for (size_t i = 0; i < size; i += 2) {
        if (i >= field && i < field + 4) continue;
        uint32_t word = data[i];
        if (i + 1 < size) word |= uint32_t{data[i + 1]} << 8;
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint32_t>(sum + size);
}

ImageLayout parseImage(const uint8_t* data, size_t size)
{
    const FileView file{data, size};
    if (size < 2 || data[0] != 'M' || data[1] != 'Z') {
        throw ImageError("no MZ signature: not an executable image");
    }
    const uint32_t pe = file.read<uint32_t>(0x3C, "the MZ header");
    file.need(pe, 24, "the PE header");
    if (std::memcmp(data + pe, "PE\0\0", 4) != 0) {
        throw ImageError("no PE signature at " + hex(pe) + ": not an NT image");
    }
    const uint16_t machine = take<uint16_t>(data + pe + 4);
    const uint16_t sectionCount = take<uint16_t>(data + pe + 6);
    const uint16_t optionalSize = take<uint16_t>(data + pe + 20);
    const uint16_t characteristics = take<uint16_t>(data + pe + 22);
    if (machine != kMachineI386) {
        throw ImageError("machine type " + hex(machine, 4) + ", not i386 (0x014c)");
    }
    if ((characteristics & kFileExecutable) == 0) {
        throw ImageError("not marked as an executable image");
    }
    const uint64_t opt = uint64_t{pe} + 24;
    file.need(opt, optionalSize, "the optional header");
    if (optionalSize < 96 || file.read<uint16_t>(opt, "the optional header") != kOptionalMagicPe32) {
        throw ImageError("optional header is not a PE32 one");
    }
    ImageLayout layout;
    layout.entryRva = file.read<uint32_t>(opt + 16, "the optional header");
    layout.imageBase = file.read<uint32_t>(opt + 28, "the optional header");
    const uint32_t sectionAlignment = file.read<uint32_t>(opt + 32, "the optional header");
    const uint32_t imageSize = file.read<uint32_t>(opt + 56, "the optional header");
    const uint32_t headersSize = file.read<uint32_t>(opt + 60, "the optional header");
    layout.checksum = file.read<uint32_t>(opt + 64, "the optional header");
    const uint16_t subsystem = file.read<uint16_t>(opt + 68, "the optional header");
    const uint32_t directoryCount =
        std::min<uint32_t>(file.read<uint32_t>(opt + 92, "the optional header"),
                           (optionalSize - 96) / 8);
    if (subsystem != kSubsystemNative) {
        throw ImageError("subsystem " + std::to_string(subsystem) + ", not native (1)");
    }
    if (sectionAlignment < kPage || sectionAlignment % kPage != 0) {
        throw ImageError("section alignment " + hex(sectionAlignment) +
                         " is not a multiple of the page size");
    }
    if (imageSize > kLargestImage || imageSize < headersSize || headersSize == 0) {
        throw ImageError("image size " + hex(imageSize) + " with headers of " + hex(headersSize));
    }
    if (layout.imageBase % 0x10000 != 0) {
        throw ImageError("image base " + hex(layout.imageBase) + " is not 64 KiB aligned");
    }
    file.need(0, headersSize, "the headers");

    // Sections: in address order, page-aligned, inside the image and (their file bytes) inside
    // the file.
    if (sectionCount == 0 || sectionCount > kMostSections) {
        throw ImageError(std::to_string(sectionCount) + " sections");
    }
    const uint64_t table = opt + optionalSize;
    file.need(table, 40ull * sectionCount, "the section table");
    uint64_t previousEnd = pageRound(headersSize);
    struct Raw {
        uint32_t offset, size;
    };
    std::vector<Raw> raw;
    for (uint16_t i = 0; i < sectionCount; ++i) {
        const uint8_t* s = data + table + 40ull * i;
        ImageSection section;
        section.name.assign(reinterpret_cast<const char*>(s), strnlen(reinterpret_cast<const char*>(s), 8));
        const uint32_t virtualSize = take<uint32_t>(s + 8);
        section.rva = take<uint32_t>(s + 12);
        const uint32_t rawSize = take<uint32_t>(s + 16);
        const uint32_t rawOffset = take<uint32_t>(s + 20);
        section.characteristics = take<uint32_t>(s + 36);
        section.size = virtualSize != 0 ? virtualSize : rawSize;
        if (section.rva % sectionAlignment != 0 || section.rva < previousEnd) {
            throw ImageError("section " + quoted(section.name) + " at " + hex(section.rva) +
                             " is not page-aligned after the one before it");
        }
        if (uint64_t{section.rva} + section.size > imageSize) {
            throw ImageError("section " + quoted(section.name) + " ends past the image size " +
                             hex(imageSize));
        }
        if (rawSize != 0) {
            file.need(rawOffset, rawSize, "section " + quoted(section.name));
        }
        previousEnd = uint64_t{section.rva} + section.size;
        raw.push_back(Raw{rawOffset, std::min(rawSize, section.size)});
        layout.sections.push_back(std::move(section));
    }

    // A symbol table the header announces must be whole: a file cut short there has lost its
    // end, whatever the sections still hold.
    const uint32_t symbols = take<uint32_t>(data + pe + 8 + 4);
    if (symbols != 0) {
        const uint64_t strings = symbols + 18ull * take<uint32_t>(data + pe + 8 + 8);
        file.need(strings, 4, "the symbol table");
        file.need(strings, file.read<uint32_t>(strings, "the symbol table"), "the symbol table");
    }
    const uint32_t sum = imageChecksum(data, size);
    if (layout.checksum != sum) {
        throw ImageError("checksum " + hex(layout.checksum, 8) + " in the header, but the file sums to " +
                         hex(sum, 8));
    }

    const ImageSection* entry = layout.sectionAt(layout.entryRva);
    if (entry == nullptr || (entry->characteristics & kSectionExecute) == 0) {
        throw ImageError("entry point " + hex(layout.entryRva) + " is not in an executable section");
    }

    layout.memory.assign(imageSize, 0);
    std::memcpy(layout.memory.data(), data, headersSize);
    for (size_t i = 0; i < layout.sections.size(); ++i) {
        std::memcpy(layout.memory.data() + layout.sections[i].rva, data + raw[i].offset, raw[i].size);
    }

    const MemoryView image{layout.memory};
    auto directory = [&](uint32_t index) {
        DirectoryEntry d;
        if (index < directoryCount) {
            d.rva = file.read<uint32_t>(opt + 96 + 8ull * index, "a data directory");
            d.size = file.read<uint32_t>(opt + 100 + 8ull * index, "a data directory");
        }
        return d;
    };
    if (DirectoryEntry d = directory(Relocation); d.rva != 0) parseRelocations(image, d, layout);
    if ((characteristics & kFileRelocsStripped) != 0) {
        throw ImageError("no base relocations: the image can only run at " + hex(layout.imageBase));
    }
    if (DirectoryEntry d = directory(Import); d.rva != 0) parseImports(image, d, layout);
    if (DirectoryEntry d = directory(Export); d.rva != 0) parseExports(image, d, layout);
    if (DirectoryEntry d = directory(Resource); d.rva != 0) parseResources(image, d, layout);
    return layout;
}

// --- the routines imports bind to ---------------------------------------------------------------

namespace {

struct Routine {
    const char* module;
    const char* name;
    void* address;
};

NT_IMAGE_CALLABLE void* kernelMemcpy(void* to, const void* from, size_t size)
{
    return std::memcpy(to, from, size);
}

NT_IMAGE_CALLABLE void* kernelMemmove(void* to, const void* from, size_t size)
{
    return std::memmove(to, from, size);
}

NT_IMAGE_CALLABLE void* kernelMemset(void* to, int value, size_t size)
{
    return std::memset(to, value, size);
}

template <typename F>
void* address(F* routine)
{
    return reinterpret_cast<void*>(routine);
}

const Routine kRoutines[] = {
#define NT_KERNEL_ROUTINE(module, name, routine, who) {module, #name, address(routine)},
#include <nt/kernel_routines.inc>
#undef NT_KERNEL_ROUTINE
};

}  // namespace

void* kernelRoutine(const std::string& module, const std::string& name)
{
    const std::string wanted = lower(module);
    for (const Routine& r : kRoutines) {
        if (wanted == r.module && name == r.name) return r.address;
    }
    return nullptr;
}

// --- mapping ------------------------------------------------------------------------------------

// One per import: the routine's name for the verifier's finding. The image's call lands in the
// thunk's code, which reports its return address to called() and jumps on to the routine with
// the stack and registers as the image left them.
struct KernelImage::Thunk {
    std::string what;
    __attribute__((force_align_arg_pointer, used)) static void called(const Thunk* thunk,
                                                                      uintptr_t returnAddress)
    {
        if (Kernel::hasCurrent()) {
            Kernel::current().checkPageable(reinterpret_cast<const void*>(returnAddress),
                                            thunk->what.c_str());
        }
    }
};

namespace {
[[maybe_unused]] constexpr size_t kThunkSize = 32;
}

std::unique_ptr<KernelImage> KernelImage::load(const std::vector<uint8_t>& bytes,
                                               const std::string& name, Kernel& kernel)
{
    ImageLayout layout = parseImage(bytes.data(), bytes.size());
#if !defined(__i386__)
    (void)name;
    (void)kernel;
    throw ImageError("an i386 kernel image runs only in the i386 host build");
#else
    std::unique_ptr<KernelImage> image(new KernelImage());
    image->name_ = name;
    const size_t size = layout.memory.size();
    void* mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED) throw ImageError("cannot map " + hex(size) + " bytes");
    image->base_ = static_cast<uint8_t*>(mapped);
    image->mappedSize_ = size;
    uint8_t* base = image->base_;
    std::memcpy(base, layout.memory.data(), size);

    // Base relocations: every absolute address moves by the distance from the preferred base.
    const uint32_t delta = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(base)) - layout.imageBase;
    for (uint32_t rva : layout.relocations) {
        const uint32_t moved = take<uint32_t>(base + rva) + delta;
        std::memcpy(base + rva, &moved, 4);
    }

    // Imports: each slot gets its thunk.
    image->thunksSize_ = pageRound(std::max<size_t>(1, layout.imports.size()) * kThunkSize);
    void* thunks = mmap(nullptr, image->thunksSize_, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (thunks == MAP_FAILED) throw ImageError("cannot map the import thunks");
    image->thunks_ = static_cast<uint8_t*>(thunks);
    for (size_t i = 0; i < layout.imports.size(); ++i) {
        const ImageImport& import = layout.imports[i];
        auto record = std::make_unique<Thunk>();
        record->what = "called " + import.name;
        uint8_t* code = image->thunks_ + i * kThunkSize;
        const auto target = reinterpret_cast<uint32_t>(kernelRoutine(import.module, import.name));
        const auto recordAddress = reinterpret_cast<uint32_t>(record.get());
        const auto check = reinterpret_cast<uint32_t>(&Thunk::called);
        const auto next = reinterpret_cast<uint32_t>(code) + 26;
        uint8_t* p = code;
        auto put = [&p](std::initializer_list<uint8_t> b) { for (uint8_t x : b) *p++ = x; };
        auto put32 = [&p](uint32_t v) { std::memcpy(p, &v, 4); p += 4; };
        std::memset(code, 0xCC, kThunkSize);
        put({0x60});                    // pushad
        put({0xFF, 0x74, 0x24, 0x20});  // push dword [esp+32]: the caller's return address
        put({0x68}); put32(recordAddress);  // push the thunk's record
        put({0xB8}); put32(check);      // mov eax, called
        put({0xFF, 0xD0});              // call eax
        put({0x83, 0xC4, 0x08});        // add esp, 8
        put({0x61});                    // popad
        put({0xE9}); put32(target - next);  // jmp the routine
        const auto slot = reinterpret_cast<uint32_t>(code);
        std::memcpy(base + import.slotRva, &slot, 4);
        image->thunkRecords_.push_back(std::move(record));
    }
    if (mprotect(image->thunks_, image->thunksSize_, PROT_READ | PROT_EXEC) != 0) {
        throw ImageError("cannot protect the import thunks");
    }

    // Protections: the headers read-only, each section as it asks, gaps inaccessible.
    if (mprotect(base, size, PROT_NONE) != 0 ||
        mprotect(base, layout.sections.front().rva, PROT_READ) != 0) {
        throw ImageError("cannot protect the image");
    }
    for (const ImageSection& section : layout.sections) {
        if (section.size == 0) continue;
        if (mprotect(base + section.rva, pageRound(section.size),
                     protectionOf(section.characteristics)) != 0) {
            throw ImageError("cannot protect section " + quoted(section.name));
        }
        if (section.pageable()) {
            kernel.addPageableCode(base + section.rva, section.size, name + " " + section.name);
        }
    }
    image->discarded_.assign(layout.sections.size(), false);
    layout.memory.clear();
    layout.memory.shrink_to_fit();
    image->layout_ = std::move(layout);
    return image;
#endif
}

KernelImage::~KernelImage()
{
    if (base_ != nullptr) munmap(base_, mappedSize_);
    if (thunks_ != nullptr) munmap(thunks_, thunksSize_);
}

void* KernelImage::symbol(const std::string& name) const
{
    auto it = layout_.exports.find(name);
    return it == layout_.exports.end() ? nullptr : base_ + it->second;
}

void* KernelImage::entryPoint() const { return base_ + layout_.entryRva; }

std::optional<std::vector<uint8_t>> KernelImage::resource(uint16_t type, uint16_t id) const
{
    const ImageResource* found = layout_.resource(type, id);
    if (found == nullptr) return std::nullopt;
    return found->bytes;
}

// Discardable sections (INIT code, the relocations) lose their pages once the entry routine has
// returned, as the kernel frees them: a later touch faults.
void KernelImage::entryReturned()
{
    for (size_t i = 0; i < layout_.sections.size(); ++i) {
        const ImageSection& section = layout_.sections[i];
        if (!section.discardable() || discarded_[i] || section.size == 0) continue;
        uint8_t* at = base_ + section.rva;
        mprotect(at, pageRound(section.size), PROT_NONE);
        madvise(at, pageRound(section.size), MADV_DONTNEED);
        discarded_[i] = true;
    }
}

// The sections the image may write and not run: its data, import table included.
std::optional<size_t> KernelImage::offsetOf(const void* address) const
{
    const auto* at = static_cast<const uint8_t*>(address);
    if (base_ == nullptr || at < base_ || at >= base_ + mappedSize_) return std::nullopt;
    return static_cast<size_t>(at - base_);
}

std::vector<std::pair<uint8_t*, size_t>> KernelImage::writableData() const
{
    std::vector<std::pair<uint8_t*, size_t>> out;
    for (size_t i = 0; i < layout_.sections.size(); ++i) {
        const ImageSection& section = layout_.sections[i];
        if ((section.characteristics & kSectionWrite) == 0 ||
            (section.characteristics & kSectionExecute) != 0 || discarded_[i]) {
            continue;
        }
        out.emplace_back(base_ + section.rva, section.size);
    }
    return out;
}

bool KernelImage::isMapped(const ImageSection& section) const
{
    for (size_t i = 0; i < layout_.sections.size(); ++i) {
        if (&layout_.sections[i] == &section) return !discarded_[i];
    }
    return false;
}

}  // namespace nt
