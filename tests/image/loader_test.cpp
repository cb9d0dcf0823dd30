// The kernel's image loader on the built kernel image: what it refuses (each fault planted in a
// copy of the image), and in the i386 tree the image as mapped: relocated, protected section by
// section, its exports and resources found, its discardable sections dropped after the entry,
// its pageable code watched at raised IRQL, and the stack realigned at calls into the kernel.
#include <gtest/gtest.h>

#include <nt/image_loader.hpp>
#include <nt/kernel.hpp>
#include <nt/messages.hpp>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>
#include <set>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes readImage()
{
    std::ifstream file(HOTP_IMAGE_PATH, std::ios::binary);
    EXPECT_TRUE(file) << HOTP_IMAGE_PATH << " is missing: `make image` builds it";
    return Bytes{std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

uint32_t get32(const Bytes& b, size_t at)
{
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}
void set32(Bytes& b, size_t at, uint32_t v) { std::memcpy(b.data() + at, &v, 4); }
void set16(Bytes& b, size_t at, uint16_t v) { std::memcpy(b.data() + at, &v, 2); }

size_t peOffset(const Bytes& b) { return get32(b, 0x3C); }
size_t optionalHeader(const Bytes& b) { return peOffset(b) + 24; }

void fixChecksum(Bytes& b) { set32(b, optionalHeader(b) + 64, nt::imageChecksum(b.data(), b.size())); }

// The file offset of a section's raw data, from the section table.
size_t rawDataOf(const Bytes& b, const std::string& name)
{
    const size_t pe = peOffset(b);
    const size_t count = b[pe + 6] | b[pe + 7] << 8;
    const size_t table = optionalHeader(b) + (b[pe + 20] | b[pe + 21] << 8);
    for (size_t i = 0; i < count; ++i) {
        const size_t at = table + 40 * i;
        if (std::strncmp(reinterpret_cast<const char*>(b.data() + at), name.c_str(), 8) == 0) {
            return get32(b, at + 20);
        }
    }
    ADD_FAILURE() << "no section " << name;
    return 0;
}

// Where a name stands in the import section.
size_t find(const Bytes& b, const std::string& text)
{
    const auto from = b.begin() + static_cast<long>(rawDataOf(b, ".idata"));
    auto it = std::search(from, b.end(), text.begin(), text.end());
    EXPECT_NE(it, b.end()) << text;
    return static_cast<size_t>(it - b.begin());
}

std::string refusal(const Bytes& b)
{
    try {
        nt::parseImage(b.data(), b.size());
    } catch (const nt::ImageError& error) {
        return error.what();
    }
    return "(accepted)";
}

TEST(ImageLoader, AcceptsTheBuiltImage)
{
    const Bytes image = readImage();
    const nt::ImageLayout layout = nt::parseImage(image.data(), image.size());
    const auto bound = std::count_if(layout.imports.begin(), layout.imports.end(),
                                     [](const nt::ImageImport& i) { return i.name == "IofCallDriver"; });
    EXPECT_EQ(bound, 1);
    EXPECT_FALSE(layout.relocations.empty());
    EXPECT_EQ(layout.exports.count("HotpDebugPrintLevel"), 1u);
    EXPECT_EQ(layout.exports.count("HotpDebugBreakLevel"), 1u);
    EXPECT_NE(layout.resource(nt::kResourceMessageTable, 1), nullptr);
    EXPECT_NE(layout.resource(nt::kResourceVersion, 1), nullptr);
}

// Each fault planted in a copy of the image is refused with a message that names it. Faults
// other than the checksum's own get a correct checksum, so it is the fault that is refused.
TEST(ImageLoader, RefusesWhatTheKernelWouldRefuse)
{
    struct Case {
        const char* what;
        std::function<void(Bytes&)> plant;
        bool fixSum;
        const char* message;
    };
    const std::vector<Case> cases = {
        {"wrong machine", [](Bytes& b) { set16(b, peOffset(b) + 4, 0x8664); }, true,
         "machine type 0x8664, not i386"},
        {"not native", [](Bytes& b) { set16(b, optionalHeader(b) + 68, 2); }, true,
         "subsystem 2, not native"},
        {"bad checksum", [](Bytes& b) { b[rawDataOf(b, ".text") + 16] ^= 0x55; }, false,
         "checksum"},
        {"no checksum", [](Bytes& b) { set32(b, optionalHeader(b) + 64, 0); }, false,
         "checksum 0x00000000 in the header"},
        {"import renamed", [](Bytes& b) { b[find(b, "IoCreateDevice") + 13] = 'X'; }, true,
         "imports 'IoCreateDevicX', which the kernel does not export"},
        {"unknown module", [](Bytes& b) { b[find(b, "ntoskrnl.exe") + 9] = 'd'; }, true,
         "imports from 'ntoskrnl.dxe', which is not a module of the kernel"},
        {"truncated in the sections", [](Bytes& b) { b.resize(b.size() / 2); }, false,
         "truncated: section"},
        {"truncated in the headers", [](Bytes& b) { b.resize(0x100); }, false, "truncated"},
        {"truncated in the symbols", [](Bytes& b) { b.resize(b.size() - 100); }, false,
         "truncated: the symbol table"},
        {"no MZ", [](Bytes& b) { b[0] = 'Z'; }, false, "no MZ signature"},
        {"no PE signature", [](Bytes& b) { b[peOffset(b)] = 'X'; }, false, "no PE signature"},
        {"header offset past the end", [](Bytes& b) { set32(b, 0x3C, 0x7FFFFFF0); }, false,
         "truncated: the PE header"},
        {"relocation of another kind",
         [](Bytes& b) { set16(b, rawDataOf(b, ".reloc") + 8, 0xA000); }, true,
         "relocation of type 10"},
        {"relocation block overruns",
         [](Bytes& b) { set32(b, rawDataOf(b, ".reloc") + 4, 0x7FFFFFF0); }, true,
         "relocation block"},
        {"relocations stripped", [](Bytes& b) { b[peOffset(b) + 22] |= 0x01; }, true,
         "no base relocations"},
        {"entry outside code", [](Bytes& b) { set32(b, optionalHeader(b) + 16, 0x10); }, true,
         "entry point 0x10 is not in an executable section"},
        {"section past the image",
         [](Bytes& b) { set32(b, optionalHeader(b) + 56, 0x3000); }, true,
         "ends past the image size"},
        {"resource directory loops",
         [](Bytes& b) { set32(b, rawDataOf(b, ".rsrc") + 20, 0x80000000u); }, true,
         "resource"},
        {"resource types share a directory",
         [](Bytes& b) { set32(b, rawDataOf(b, ".rsrc") + 28, get32(b, rawDataOf(b, ".rsrc") + 20)); },
         true, "is reached twice"},
    };
    const Bytes image = readImage();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes copy = image;
        c.plant(copy);
        if (c.fixSum) fixChecksum(copy);
        const std::string message = refusal(copy);
        EXPECT_NE(message.find(c.message), std::string::npos) << message;
    }
}

// Every prefix of the image is refused, none read past its end (the sanitizers watch the
// x86-64 tree's run).
TEST(ImageLoader, RefusesEveryTruncation)
{
    const Bytes image = readImage();
    for (size_t size = 0; size < image.size(); size += 61) {
        Bytes copy(image.begin(), image.begin() + static_cast<long>(size));
        EXPECT_NE(refusal(copy), "(accepted)") << size;
    }
}

#if defined(__i386__)

// The permissions /proc/self/maps shows for an address, "r-xp" and the like.
std::string permissions(const void* address)
{
    std::ifstream maps("/proc/self/maps");
    std::string line;
    const auto at = reinterpret_cast<uintptr_t>(address);
    while (std::getline(maps, line)) {
        std::istringstream in(line);
        uintptr_t begin = 0, end = 0;
        char dash = 0;
        std::string perms;
        in >> std::hex >> begin >> dash >> end >> perms;
        if (at >= begin && at < end) return perms;
    }
    return "unmapped";
}

class MappedImage : public ::testing::Test {
protected:
    MappedImage() : bytes(readImage()), image(nt::KernelImage::load(bytes, "hotpflt.sys", kernel)) {}

    const nt::ImageSection& section(const std::string& name) const
    {
        for (const auto& s : image->layout().sections) {
            if (s.name == name) return s;
        }
        throw std::runtime_error("no section " + name);
    }

    nt::Kernel kernel;
    Bytes bytes;
    std::unique_ptr<nt::KernelImage> image;
};

// Loaded away from its preferred base, every relocated word moved by exactly the distance.
TEST_F(MappedImage, RelocatedToWhereItLanded)
{
    const auto base = reinterpret_cast<uintptr_t>(image->base());
    ASSERT_NE(base, image->preferredBase());
    const uint32_t delta = static_cast<uint32_t>(base) - image->preferredBase();
    const nt::ImageLayout original = nt::parseImage(bytes.data(), bytes.size());
    for (uint32_t rva : image->layout().relocations) {
        const nt::ImageSection* s = original.sectionAt(rva);
        ASSERT_NE(s, nullptr);
        if ((s->characteristics & nt::kSectionRead) == 0 || s->discardable()) continue;
        uint32_t mapped, stored;
        std::memcpy(&mapped, image->base() + rva, 4);
        std::memcpy(&stored, original.memory.data() + rva, 4);
        EXPECT_EQ(mapped, stored + delta) << "relocation at " << rva;
    }
}

TEST_F(MappedImage, EachSectionHasItsOwnProtection)
{
    const std::vector<std::pair<std::string, std::string>> expected = {
        {".text", "r-xp"}, {"PAGE", "r-xp"}, {".rdata", "r--p"}, {".bss", "rw-p"},
        {".edata", "r--p"}, {".idata", "rw-p"}, {".rsrc", "rw-p"}, {".reloc", "r--p"},
    };
    EXPECT_EQ(permissions(image->base()), "r--p") << "headers";
    std::set<uint8_t*> writable;
    for (const auto& [name, perms] : expected) {
        EXPECT_EQ(permissions(image->base() + section(name).rva), perms) << name;
        if (perms == "rw-p") writable.insert(image->base() + section(name).rva);
    }
    // Where the image's globals are watched for races: its writable sections.
    std::set<uint8_t*> data;
    for (const auto& [at, size] : image->writableData()) data.insert(at);
    EXPECT_EQ(data, writable);
    // The discardable relocations go once the entry routine has returned; the rest stays.
    image->entryReturned();
    EXPECT_EQ(permissions(image->base() + section(".reloc").rva), "---p");
    EXPECT_FALSE(image->isMapped(section(".reloc")));
    EXPECT_EQ(permissions(image->base() + section("PAGE").rva), "r-xp");
}

TEST_F(MappedImage, DiscardedSectionFaultsWhenTouched)
{
    image->entryReturned();
    const volatile uint8_t* reloc = image->base() + section(".reloc").rva;
    EXPECT_DEATH((void)*reloc, "");
}

TEST_F(MappedImage, ExportsAndResourcesComeFromTheImage)
{
    auto* print = image->get<ULONG>("HotpDebugPrintLevel");
    ASSERT_NE(print, nullptr);
    EXPECT_EQ(*print, 0u);
    EXPECT_EQ(image->layout().sectionAt(static_cast<uint32_t>(
                  reinterpret_cast<uint8_t*>(print) - image->base()))->name, ".bss");
    EXPECT_EQ(image->symbol("HotpAddDevice"), nullptr) << "only exports are found by name";

    auto table = image->resource(nt::kResourceMessageTable, 1);
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(nt::MessageTable::parse(*table).messages(),
              nt::MessageTable::load(HOTP_MESSAGE_FILE).messages());
    auto version = image->resource(nt::kResourceVersion, 1);
    ASSERT_TRUE(version.has_value());
    const std::u16string key = u"VS_VERSION_INFO";
    EXPECT_EQ(std::memcmp(version->data() + 6, key.data(), key.size() * 2), 0);
}

// Every import slot leads, through its thunk, to the stand-in's routine of that name.
TEST_F(MappedImage, ImportsBoundByName)
{
    for (const nt::ImageImport& import : image->layout().imports) {
        uint32_t slot;
        std::memcpy(&slot, image->base() + import.slotRva, 4);
        const auto* thunk = reinterpret_cast<const uint8_t*>(slot);
        ASSERT_EQ(thunk[21], 0xE9) << import.name;  // the jump on to the routine
        int32_t rel;
        std::memcpy(&rel, thunk + 22, 4);
        EXPECT_EQ(reinterpret_cast<const void*>(slot + 26 + static_cast<uint32_t>(rel)),
                  nt::kernelRoutine(import.module, import.name))
            << import.name;
    }
}

// --- pageable code at raised IRQL ---------------------------------------------------------------

// The bus's own device completes what reaches it.
NTSTATUS NTAPI completeAsIs(PDEVICE_OBJECT, PIRP irp)
{
    const NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The image's own pageable routines, run at raised IRQL: its AddDevice calls the kernel from PAGE
// (caught at the import thunk) and its PnP dispatch routine is entered (caught at the call).
TEST(LoadedImage, PageableCodeAtRaisedIrqlIsAViolation)
{
    nt::Kernel kernel;
    nt::LoadedDriver driver = kernel.loadDriver(HOTP_IMAGE_PATH, u"\\Driver\\hotpflt");
    ASSERT_EQ(driver.entryStatus, STATUS_SUCCESS);
    ASSERT_TRUE(kernel.violations().empty());
    PDRIVER_OBJECT bus = kernel.createDriverObject(u"\\Driver\\bus");
    PDEVICE_OBJECT pdo = kernel.createDevice(bus, 0, FILE_DEVICE_BUS_EXTENDER, 0, false, false);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;

    auto rules = [&] {
        std::vector<std::string> seen;
        for (const auto& v : kernel.takeViolations()) {
            if (v.rule == "pageable code at raised IRQL") seen.push_back(v.detail);
        }
        return seen;
    };
    // At passive level nothing is found.
    ASSERT_EQ(driver.object->DriverExtension->AddDevice(driver.object, pdo), STATUS_SUCCESS);
    EXPECT_TRUE(rules().empty());
    ASSERT_NE(pdo->AttachedDevice, nullptr);

    kernel.setIrql(DISPATCH_LEVEL);
    PIRP irp = kernel.allocateIrp(pdo->AttachedDevice->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = IRP_MN_QUERY_PNP_DEVICE_STATE;
    bus->MajorFunction[IRP_MJ_PNP] = completeAsIs;
    kernel.sendToStack(pdo, irp);
    const auto found = rules();
    kernel.setIrql(PASSIVE_LEVEL);
    ASSERT_FALSE(found.empty());
    EXPECT_EQ(found.front().rfind("hotpflt.sys PAGE+0x", 0), 0u) << found.front();
    EXPECT_NE(found.front().find("dispatch routine at IRQL 2"), std::string::npos) << found.front();
    bool calledKernel = false;
    for (const auto& detail : found) {
        calledKernel = calledKernel || detail.find(" called Io") != std::string::npos;
    }
    EXPECT_TRUE(calledKernel) << "no call into the kernel from PAGE was caught";
    kernel.drain();
    IoFreeIrp(irp);
}

// --- the stack at calls from the image into the kernel ------------------------------------------

// Calls a fastcall routine with ECX and EDX set and the stack pointer `skew` bytes below a
// 16-byte boundary at the call, as code that keeps only 4-byte alignment may.
extern "C" uint32_t hotpCallSkewed(void* routine, void* first, void* second, uint32_t skew);
asm(R"(
    .text
    .globl hotpCallSkewed
    .type hotpCallSkewed, @function
hotpCallSkewed:
    push %ebp
    mov %esp, %ebp
    push %ebx
    mov 8(%ebp), %eax
    mov 12(%ebp), %ecx
    mov 16(%ebp), %edx
    mov 20(%ebp), %ebx
    and $-16, %esp
    sub %ebx, %esp
    call *%eax
    lea -4(%ebp), %esp
    pop %ebx
    pop %ebp
    ret
)");

uintptr_t g_frameSeen = 0;

// A host-built dispatch routine: its frame tells how the stack was aligned when it was called.
__attribute__((noinline)) NTSTATUS NTAPI recordFrame(PDEVICE_OBJECT, PIRP irp)
{
    g_frameSeen = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

TEST(ImageCalls, KernelRealignsTheStackOfItsCallers)
{
    nt::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\probe");
    driver->MajorFunction[IRP_MJ_PNP] = recordFrame;
    PDEVICE_OBJECT device = kernel.createDevice(driver, 0, FILE_DEVICE_UNKNOWN, 0, false, false);
    for (uint32_t skew : {0u, 4u, 8u, 12u}) {
        SCOPED_TRACE("stack " + std::to_string(skew) + " bytes off");
        PIRP irp = kernel.allocateIrp(device->StackSize);
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_QUERY_PNP_DEVICE_STATE;
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        g_frameSeen = 0;
        hotpCallSkewed(reinterpret_cast<void*>(&IofCallDriver), device, irp, skew);
        // Called with a 16-byte aligned stack, the routine's frame pointer is 8 past a boundary:
        // the return address and the saved frame pointer lie below the caller's aligned stack.
        EXPECT_EQ(g_frameSeen % 16, 8u);
        IoFreeIrp(irp);
    }
    kernel.deleteDevice(device);
    EXPECT_TRUE(kernel.violations().empty());
}

#endif  // __i386__

}  // namespace
