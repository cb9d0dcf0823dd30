// The kernel's services around the I/O manager: pool and the leak report, the error log, the
// debug port's format rules, the kernel's swprintf and fault injection.
#include "nt_fixture.hpp"

#include <algorithm>
#include <cstring>

namespace nt_test {
namespace {

constexpr NTSTATUS kLogCode = static_cast<NTSTATUS>(0xC0040001);

// Logs an error, then changes the entry it no longer owns.
NTSTATUS NTAPI LogsAndPatches(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(DeviceObject, sizeof(IO_ERROR_LOG_PACKET)));
    std::memset(entry, 0, sizeof(*entry));
    entry->ErrorCode = kLogCode;
    entry->UniqueErrorValue = 7;
    IoWriteErrorLogEntry(entry);
    entry->UniqueErrorValue = 8;
    g.entry = entry;
    return finish(Irp, STATUS_SUCCESS);
}

TEST_F(NtContract, PoolIsUninitialisedAndLeaksAreReportedByTag)
{
    auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 24, kTag));
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 8, kTag);
    PVOID other = ExAllocatePoolWithTag(PagedPool, 5, tagOf("Xtra"));
    ASSERT_TRUE(block != nullptr && paged != nullptr && other != nullptr);
    // Pool is never zeroed: a driver that reads what it did not write sees no zeros.
    EXPECT_TRUE(std::none_of(block, block + 24, [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(kernel.outstandingPool(kTag), 32u);

    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(kernel.createDriverObject(u"\\Driver\\Leaky"), 0, nullptr,
                             FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
    PIRP irp = IoAllocateIrp(2, FALSE);
    PVOID entry = IoAllocateErrorLogEntry(device, sizeof(IO_ERROR_LOG_PACKET));
    const auto leaks = kernel.leaks();
    EXPECT_EQ(leaks.size(), 5u) << describe(leaks);
    EXPECT_TRUE(mentions(leaks, "pool tag 'Hotp': 32 bytes never freed")) << describe(leaks);
    EXPECT_TRUE(mentions(leaks, "pool tag 'Xtra': 5 bytes never freed")) << describe(leaks);
    EXPECT_TRUE(mentions(leaks, "of \\Driver\\Leaky never deleted")) << describe(leaks);
    EXPECT_TRUE(mentions(leaks, "request ")) << describe(leaks);
    EXPECT_TRUE(mentions(leaks, "error-log entry allocated and never written"));

    // An entry allocated for a device names the device's driver even when the device is
    // deleted before the entry is written.
    IoDeleteDevice(device);
    std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
    IoWriteErrorLogEntry(entry);
    ASSERT_FALSE(kernel.errorLog().empty());
    EXPECT_EQ(kernel.errorLog().back().driverName, u"\\Driver\\Leaky");
    IoFreeIrp(irp);
    ExFreePool(block);
    ExFreePool(paged);
    ExFreePool(other);
    EXPECT_EQ(kernel.outstandingPool(kTag), 0u);
}

TEST_F(NtContract, ErrorLogKeepsEntriesAsWritten)
{
    PDEVICE_OBJECT top = filter(LogsAndPatches, scripted->createDevice());
    send(top, IRP_MJ_DEVICE_CONTROL, 0);
    ASSERT_EQ(kernel.errorLog().size(), 1u);
    const nt::ErrorLogEntry& logged = kernel.errorLog()[0];
    EXPECT_EQ(logged.ioObject, top);
    EXPECT_EQ(logged.driverName, u"\\Driver\\Test");
    ASSERT_EQ(logged.bytes.size(), sizeof(IO_ERROR_LOG_PACKET));
    IO_ERROR_LOG_PACKET asWritten;
    std::memcpy(&asWritten, logged.bytes.data(), sizeof(asWritten));
    EXPECT_EQ(asWritten.ErrorCode, kLogCode);
    EXPECT_EQ(asWritten.UniqueErrorValue, 7u);

    // The routine changed the entry after writing it, which the teardown report names.
    EXPECT_TRUE(mentions(kernel.leaks(), "error-log entry changed after it was written"));
    g.entry->UniqueErrorValue = 7;

    // An entry over the maximum size is refused.
    EXPECT_EQ(IoAllocateErrorLogEntry(top, static_cast<UCHAR>(ERROR_LOG_MAXIMUM_SIZE + 1)),
              nullptr);
}

TEST_F(NtContract, DebugPrintFollowsTheKernelsFormatRules)
{
    WCHAR text[] = u"PCIxyz";
    UNICODE_STRING name{6, sizeof(text), text};  // counted: three characters, no terminator
    const LONG minusOne = -1;
    DbgPrint("%lx|%08lx|%x|%8x|", 0xDEADBEEFu, 0x1234u, 0xABCu, 0x1234u);
    DbgPrint("%ws|%wZ|%I64x|%d|%s|%c|%%", u"wide", &name, 0x123456789ABCDEF0ull, -42, "narrow",
             'c');
    DbgPrint("%ld|%lx|%u|%hx|%-4d|%ls|%S|%hs|%ws", minusOne, minusOne, 0xFFFFFFFFu, 0x12345u, 7,
             u"ls", u"S", "hs", static_cast<PCWSTR>(nullptr));
    DbgBreakPoint();
    const std::vector<std::string> expected = {
        "deadbeef|00001234|abc|    1234|",
        "wide|PCI|123456789abcdef0|-42|narrow|c|%",
        "-1|ffffffff|4294967295|2345|7   |ls|S|hs|(null)",
    };
    EXPECT_EQ(kernel.debugOutput(), expected);
    ASSERT_EQ(kernel.breakpoints().size(), 1u);
    EXPECT_EQ(kernel.breakpoints()[0].afterLine, 3u);
}

TEST_F(NtContract, KernelSwprintfWritesSixteenBitText)
{
    WCHAR buffer[64];
    EXPECT_EQ(swprintf(buffer, u"%8x", 0x1234u), 8);
    EXPECT_EQ(std::u16string(buffer), u"    1234");
    // In the wide routine %s and %c take 16-bit characters; %S and %hs take 8-bit ones.
    EXPECT_EQ(swprintf(buffer, u"%s|%S|%hs|%ws|%c|%04lx", u"Slot", "narrow", "hs", u"ws", u'W',
                       0xBu),
              24);
    EXPECT_EQ(std::u16string(buffer), u"Slot|narrow|hs|ws|W|000b");
}

TEST_F(NtContract, FaultInjectionFailsTheNthUseOnceOrFromThenOn)
{
    PDEVICE_OBJECT pdo = scripted->createDevice();
    PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\Test");
    // One use of each call that can fail, undoing itself; true when the call succeeded.
    auto use = [&](nt::FaultPoint point) -> bool {
        switch (point) {
        case nt::FaultPoint::AllocatePool: {
            PVOID block = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
            if (block != nullptr) ExFreePool(block);
            return block != nullptr;
        }
        case nt::FaultPoint::CreateDevice: {
            PDEVICE_OBJECT device = nullptr;
            NTSTATUS status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                                              &device);
            if (NT_SUCCESS(status)) IoDeleteDevice(device);
            EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES);
            return NT_SUCCESS(status);
        }
        case nt::FaultPoint::AttachDevice: {
            PDEVICE_OBJECT device = kernel.createDevice(driver, 0, FILE_DEVICE_UNKNOWN, 0, false);
            PDEVICE_OBJECT below = IoAttachDeviceToDeviceStack(device, pdo);
            if (below != nullptr) IoDetachDevice(below);
            IoDeleteDevice(device);
            return below != nullptr;
        }
        case nt::FaultPoint::BuildRequest: {
            KEVENT done;
            IO_STATUS_BLOCK status;
            PIRP irp = IoBuildSynchronousFsdRequest(IRP_MJ_FLUSH_BUFFERS, pdo, nullptr, 0,
                                                    nullptr, &done, &status);
            if (irp != nullptr) IoFreeIrp(irp);
            return irp != nullptr;
        }
        case nt::FaultPoint::AllocateErrorLogEntry: {
            PVOID entry = IoAllocateErrorLogEntry(pdo, sizeof(IO_ERROR_LOG_PACKET));
            if (entry != nullptr) {
                std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
                IoWriteErrorLogEntry(entry);
            }
            return entry != nullptr;
        }
        default:
            ADD_FAILURE();
            return false;
        }
    };
    for (nt::FaultPoint point : {nt::FaultPoint::AllocatePool, nt::FaultPoint::CreateDevice,
                                 nt::FaultPoint::AttachDevice, nt::FaultPoint::BuildRequest,
                                 nt::FaultPoint::AllocateErrorLogEntry}) {
        for (bool persistent : {false, true}) {
            SCOPED_TRACE(std::string(nt::faultPointName(point)) +
                         (persistent ? " from then on" : " once"));
            // Uses before arming do not count towards N.
            EXPECT_TRUE(use(point));
            kernel.faults().failNth(point, 2, persistent);
            EXPECT_FALSE(kernel.faults().fired());
            std::string pattern;
            for (int i = 0; i < 4; ++i) pattern += use(point) ? '+' : '-';
            EXPECT_EQ(pattern, persistent ? "+---" : "+-++");
            EXPECT_TRUE(kernel.faults().fired());
            kernel.faults().clear();
            EXPECT_FALSE(kernel.faults().fired());
            EXPECT_TRUE(use(point));
        }
    }
}

// An aimed fault counts only the uses at its place: the function, the direction of a
// configuration transfer, a transfer covering one byte, one request.
TEST(FaultAim, OnlyMatchingUsesCountTowardsTheNth)
{
    auto transfer = [](unsigned bus, unsigned device, bool write, unsigned offset, unsigned length) {
        nt::FaultSite site;
        site.bus = bus;
        site.device = device;
        site.function = 0;
        site.write = write;
        site.offset = offset;
        site.length = length;
        return site;
    };
    nt::FaultSite start;
    start.bus = 1;
    start.device = 2;
    start.function = 0;
    start.major = IRP_MJ_PNP;
    start.minor = IRP_MN_START_DEVICE;
    const nt::FaultSite uses[] = {
        transfer(1, 2, false, 0x08, 4),  // covers 0x0b
        transfer(1, 3, false, 0x08, 4),  // another device
        transfer(1, 2, true, 0x08, 4),   // a write
        transfer(1, 2, false, 0x00, 4),  // does not cover 0x0b
        start,                           // a request, not a transfer
        transfer(1, 2, false, 0x0b, 1),
        transfer(1, 2, false, 0x0a, 2),
    };
    struct Case {
        const char* name;
        nt::FaultAim aim;
        uint64_t nth;
        bool persistent;
        const char* pattern;  // '-' where the use fails
    };
    nt::FaultAim readOfB;
    readOfB.bus = 1;
    readOfB.device = 2;
    readOfB.write = false;
    readOfB.offset = 0x0b;
    nt::FaultAim device2;
    device2.bus = 1;
    device2.device = 2;
    nt::FaultAim startOnly;
    startOnly.minor = IRP_MN_START_DEVICE;
    const Case cases[] = {
        {"unaimed", {}, 2, false, "+-+++++"},
        {"unaimed from then on", {}, 2, true, "+------"},
        {"read covering 0x0b, first", readOfB, 1, false, "-++++++"},
        {"read covering 0x0b, second", readOfB, 2, false, "+++++-+"},
        {"read covering 0x0b, from the second on", readOfB, 2, true, "+++++--"},
        {"anything of device 2, third", device2, 3, false, "+++-+++"},
        {"a start request", startOnly, 1, true, "++++-++"},
    };
    for (const Case& c : cases) {
        nt::FaultInjector faults;
        faults.failNth(nt::FaultPoint::ShortConfigTransfer, c.nth, c.persistent, c.aim);
        std::string pattern;
        for (const nt::FaultSite& site : uses) {
            pattern += faults.shouldFail(nt::FaultPoint::ShortConfigTransfer, site) ? '-' : '+';
        }
        EXPECT_EQ(pattern, c.pattern) << c.name;
        EXPECT_EQ(faults.failures(), static_cast<uint64_t>(std::count(pattern.begin(), pattern.end(), '-')))
            << c.name;
    }
}

}  // namespace
}  // namespace nt_test
