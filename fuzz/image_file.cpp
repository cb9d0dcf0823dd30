// Kernel images from arbitrary bytes: the loader either refuses the file with an ImageError or
// returns a layout whose every part lies where it says, inside the image as mapped. Nothing is
// mapped or run (that needs the i386 tree); what an accepted layout is used for later (applying
// its relocations, filling its import slots, finding its exports, reading its message table) is
// done on the layout's own copy of the image.
//
// Most mutations would stop at the checksum, so the harness stores the right one in the header
// before parsing, unless the input keeps its own: when the low four bits of the MZ header's own
// checksum word (ignored by the loader) are all set, the checksum check itself is exercised.
#include <nt/image_loader.hpp>
#include <nt/messages.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

[[noreturn]] void broken(const std::string& what)
{
    std::fprintf(stderr, "accepted layout: %s\n", what.c_str());
    std::abort();
}

void inside(const nt::ImageLayout& layout, uint64_t rva, uint64_t length, const char* what)
{
    if (rva > layout.memory.size() || layout.memory.size() - rva < length) {
        broken(std::string(what) + " at " + std::to_string(rva) + " outside the image");
    }
}

void check(nt::ImageLayout& layout)
{
    for (const nt::ImageSection& section : layout.sections) {
        inside(layout, section.rva, section.size, "a section");
    }
    const nt::ImageSection* entry = layout.sectionAt(layout.entryRva);
    if (entry == nullptr || (entry->characteristics & nt::kSectionExecute) == 0) {
        broken("entry point outside executable code");
    }
    // The relocation walk as the mapper does it, on the layout's copy: every word moves.
    std::vector<uint8_t>& memory = layout.memory;
    for (uint32_t rva : layout.relocations) {
        inside(layout, rva, 4, "a relocation");
        uint32_t word;
        std::memcpy(&word, memory.data() + rva, 4);
        word += 0x10000;
        std::memcpy(memory.data() + rva, &word, 4);
    }
    for (const nt::ImageImport& import : layout.imports) {
        inside(layout, import.slotRva, 4, "an import slot");
        if (nt::kernelRoutine(import.module, import.name) == nullptr) broken("an unbound import");
    }
    for (const auto& [name, rva] : layout.exports) inside(layout, rva, 1, "an export");
    for (const nt::ImageResource& resource : layout.resources) {
        if (resource.type != nt::kResourceMessageTable) continue;
        try {
            (void)nt::MessageTable::parse(resource.bytes).find(1);
        } catch (const std::runtime_error&) {
            // A message table not in its format is refused by its reader; the image still loads.
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<uint8_t> bytes(data, data + size);
    const bool ownChecksum = size > 0x12 && (bytes[0x12] & 0x0F) == 0x0F;
    if (!ownChecksum && size >= 0x40) {
        uint32_t pe;
        std::memcpy(&pe, bytes.data() + 0x3C, 4);
        const uint64_t field = uint64_t{pe} + 24 + 64;
        if (field + 4 <= size) {
            const uint32_t sum = nt::imageChecksum(bytes.data(), size);
            std::memcpy(bytes.data() + field, &sum, 4);
        }
    }
    nt::ImageLayout layout;
    try {
        layout = nt::parseImage(bytes.data(), bytes.size());
    } catch (const nt::ImageError& error) {
        if (error.what()[0] == '\0') broken("a refusal without a message");
        return 0;
    }
    check(layout);
    return 0;
}
