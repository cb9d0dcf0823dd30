// The kernel's memory: where objects live and what their addresses look like, the quarantine of
// freed objects, the driver's list of devices, and what hot add and removal leave behind.
#include <gtest/gtest.h>
#include <machine_events.hpp>

#include <machine/machine.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <nt/kernel.hpp>

#include <cstdio>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr ULONG kTag = 0x746D654D;  // "Memt"
constexpr uint32_t kArenaEnd = nt::kArenaBase + 0x30000000;

struct Placed {
    const char* kind;
    const void* object;
};

// One object of every kind the kernel hands out, made in a fixed order in a fresh kernel; what
// each printed as, through the debug port's "%p", and where the kernel says it is.
struct Play {
    std::vector<std::string> kinds;
    std::vector<uint32_t> addresses;
    std::vector<std::string> printed;
    std::vector<std::string> leaks;
};

Play playEveryKind()
{
    nt::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\Memory");
    PDEVICE_OBJECT device = kernel.createDevice(driver, 40, FILE_DEVICE_UNKNOWN, 0, false);
    PDEVICE_OBJECT second = kernel.createDevice(driver, 40, FILE_DEVICE_UNKNOWN, 0, false);
    PDEVICE_NODE node = kernel.deviceNode(device);
    PIRP irp = IoAllocateIrp(3, FALSE);
    PVOID pool = ExAllocatePoolWithTag(NonPagedPool, 24, kTag);
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 1000, kTag);
    PVOID entry = IoAllocateErrorLogEntry(device, sizeof(IO_ERROR_LOG_PACKET));
    const std::vector<Placed> placed = {
        {"driver object", driver},     {"device object", device},
        {"device extension", device->DeviceExtension},
        {"second device", second},     {"device node", node},
        {"request", irp},              {"non-paged pool", pool},
        {"paged pool", paged},         {"error-log entry", entry},
    };
    Play play;
    for (const Placed& p : placed) {
        play.kinds.push_back(p.kind);
        play.addresses.push_back(nt::kernelAddress(p.object));
        DbgPrint("%p", p.object);
        play.printed.push_back(kernel.debugOutput().back());
        // The host pointer is real memory the driver can use.
        std::memset(const_cast<void*>(p.object), 0, 4);
    }
    std::memset(entry, 0, sizeof(IO_ERROR_LOG_PACKET));
    IoWriteErrorLogEntry(entry);
    ExFreePool(paged);
    ExFreePool(pool);
    IoFreeIrp(irp);
    IoDeleteDevice(second);
    IoDeleteDevice(device);
    play.leaks = kernel.leaks();
    return play;
}

TEST(KernelAddresses, EveryObjectLooksLikeAnI386KernelAddressAndReplaysIdentically)
{
    const Play first = playEveryKind();
    const Play again = playEveryKind();
    EXPECT_TRUE(first.leaks.empty());
    std::set<uint32_t> distinct;
    for (size_t i = 0; i < first.kinds.size(); ++i) {
        SCOPED_TRACE(first.kinds[i]);
        const uint32_t address = first.addresses[i];
        EXPECT_GE(address, nt::kArenaBase);
        EXPECT_LT(address, kArenaEnd);
        EXPECT_EQ(address % 8, 0u);
        EXPECT_TRUE(distinct.insert(address).second) << "shared by two live objects";
        // "%p" prints the kernel address, eight digits wide, as an i386 kernel does.
        char expected[16];
        std::snprintf(expected, sizeof expected, "%08X", address);
        EXPECT_EQ(first.printed[i], expected);
        EXPECT_EQ(again.addresses[i], address) << "a second run placed it elsewhere";
    }
    // The first object of a process's first kernel sits just past the arena's first header.
    EXPECT_EQ(first.addresses[0], nt::kArenaBase + nt::Arena::kGranule);
}

// Each kind of freed object: how to make and free one of a fixed size, a late use the verifier
// must still see while it is in quarantine, and how many newer frees push it out.
struct QuarantineCase {
    const char* name;
    size_t limit;
    const char* lateRule;
    std::function<void*(nt::Kernel&, PDRIVER_OBJECT)> make;
    std::function<void(void*)> free;
    std::function<void(void*)> lateUse;
};

const QuarantineCase kQuarantineCases[] = {
    {"device object", nt::Kernel::kQuarantinedDevices, "device deleted twice",
     [](nt::Kernel& k, PDRIVER_OBJECT driver) -> void* {
         return k.createDevice(driver, 64, FILE_DEVICE_UNKNOWN, 0, false);
     },
     [](void* p) { IoDeleteDevice(static_cast<PDEVICE_OBJECT>(p)); },
     [](void* p) { IoDeleteDevice(static_cast<PDEVICE_OBJECT>(p)); }},
    {"request", nt::Kernel::kQuarantinedRequests, "request freed twice",
     [](nt::Kernel&, PDRIVER_OBJECT) -> void* { return IoAllocateIrp(4, FALSE); },
     [](void* p) { IoFreeIrp(static_cast<PIRP>(p)); },
     [](void* p) { IoFreeIrp(static_cast<PIRP>(p)); }},
    {"pool block", nt::Kernel::kQuarantinedPoolBlocks, "double free",
     [](nt::Kernel&, PDRIVER_OBJECT) -> void* {
         return ExAllocatePoolWithTag(PagedPool, 48, kTag);
     },
     [](void* p) { ExFreePool(p); },
     [](void* p) { ExFreePool(p); }},
};

TEST(KernelQuarantine, FreedObjectsAreSeenWhileQuarantinedAndReusedOnlyAfter)
{
    for (const QuarantineCase& c : kQuarantineCases) {
        SCOPED_TRACE(c.name);
        nt::Kernel kernel;
        PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\Quarantine");
        void* first = c.make(kernel, driver);
        c.free(first);
        c.lateUse(first);
        auto violations = kernel.takeViolations();
        ASSERT_EQ(violations.size(), 1u);
        EXPECT_EQ(violations[0].rule, c.lateRule);

        // As long as it is in quarantine no new object of its size takes its memory...
        for (size_t i = 0; i < c.limit; ++i) {
            void* other = c.make(kernel, driver);
            ASSERT_NE(other, first) << "reused after only " << i << " newer frees";
            c.free(other);
        }
        // ...and once pushed out it is the first to be reused, so memory stays bounded.
        void* reused = c.make(kernel, driver);
        EXPECT_EQ(reused, first);
        c.free(reused);
        EXPECT_TRUE(kernel.takeViolations().empty());
        EXPECT_TRUE(kernel.leaks().empty());
    }
}

// A physical device object deleted while a filter is still attached above it (the bus driver
// deletes it while handling the removal the filter passed down; the filter detaches after) must
// stay intact however long the quarantine has moved on, until that detach; then it takes its
// turn in quarantine like any other.
TEST(KernelQuarantine, ADeletedDeviceStillAttachedKeepsItsMemoryUntilTheDetach)
{
    nt::Kernel kernel;
    PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\Stack");
    auto make = [&] { return kernel.createDevice(driver, 64, FILE_DEVICE_UNKNOWN, 0, false); };
    auto churn = [&](PDEVICE_OBJECT kept) {
        for (size_t i = 0; i <= nt::Kernel::kQuarantinedDevices; ++i) {
            PDEVICE_OBJECT other = make();
            ASSERT_NE(other, kept) << "memory of a device still in a stack reused";
            IoDeleteDevice(other);
        }
    };
    PDEVICE_OBJECT pdo = make();
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    PDEVICE_OBJECT filter = make();
    ASSERT_EQ(IoAttachDeviceToDeviceStack(filter, pdo), pdo);
    IoDeleteDevice(pdo);
    churn(pdo);
    EXPECT_EQ(pdo->AttachedDevice, filter);
    IoDetachDevice(pdo);
    IoDeleteDevice(filter);
    EXPECT_TRUE(kernel.takeViolations().empty());
    // Once unreferenced, both went through the quarantine and out: only the newest deleted
    // devices are still held.
    churn(nullptr);
    EXPECT_EQ(kernel.memoryUse().devices, nt::Kernel::kQuarantinedDevices);
    EXPECT_TRUE(kernel.takeViolations().empty());
    EXPECT_TRUE(kernel.leaks().empty());
}

// The driver object's list of devices after deleting some of four devices (made in the order
// 0, 1, 2, 3, so listed newest first) in the given order.
struct UnlinkCase {
    const char* name;
    std::vector<int> deleted;
    std::vector<int> listed;
};

TEST(KernelDevices, DeletingUnlinksExactlyThatDeviceFromItsDriversList)
{
    const UnlinkCase cases[] = {
        {"the newest, at the head", {3}, {2, 1, 0}},
        {"the oldest, at the tail", {0}, {3, 2, 1}},
        {"one in the middle", {2}, {3, 1, 0}},
        {"two neighbours", {1, 2}, {3, 0}},
        {"every other", {3, 1}, {2, 0}},
        {"all, oldest first", {0, 1, 2, 3}, {}},
        {"all, newest first", {3, 2, 1, 0}, {}},
    };
    for (const UnlinkCase& c : cases) {
        SCOPED_TRACE(c.name);
        nt::Kernel kernel;
        PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\List");
        PDRIVER_OBJECT other = kernel.createDriverObject(u"\\Driver\\Other");
        PDEVICE_OBJECT devices[4];
        for (PDEVICE_OBJECT& d : devices) {
            d = kernel.createDevice(driver, 8, FILE_DEVICE_UNKNOWN, 0, false);
            // Another driver's devices in between must not disturb the list.
            IoDeleteDevice(kernel.createDevice(other, 8, FILE_DEVICE_UNKNOWN, 0, false));
        }
        for (int i : c.deleted) IoDeleteDevice(devices[i]);
        std::vector<PDEVICE_OBJECT> expected;
        for (int i : c.listed) expected.push_back(devices[i]);
        std::vector<PDEVICE_OBJECT> listed;
        for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr && listed.size() < 8;
             d = d->NextDevice) {
            listed.push_back(d);
        }
        EXPECT_EQ(listed, expected);
        EXPECT_EQ(other->DeviceObject, nullptr);
        for (PDEVICE_OBJECT d : listed) IoDeleteDevice(d);
        EXPECT_EQ(driver->DeviceObject, nullptr);
        EXPECT_TRUE(kernel.takeViolations().empty());
    }
}

// Hot add and removal of a card, over and over: once the quarantines are full, each cycle gives
// back everything it took.
TEST(KernelMemory, HotAddAndRemoveCyclesRetainNothingOnceTheQuarantineIsFull)
{
    machine::MachineOptions options;
    options.driverPath = HOTP_DRIVER_PATH;
    machine::Machine m(formats::defaultMachine(), options, [](const machine::Output&) {});
    m.boot();
    const machine::Event insert =
        hotp::test::makeEvent(machine::EventKind::Insert, "slot 1", "network card");
    const machine::Event remove = hotp::test::makeEvent(machine::EventKind::Remove, "slot 1");
    auto cycles = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_TRUE(m.apply(insert));
            ASSERT_TRUE(m.apply(remove));
        }
    };
    // The pool's quarantine, the last to fill, is full after some 60 cycles.
    cycles(100);
    const nt::Kernel::MemoryUse before = m.kernel().memoryUse();
    cycles(30);
    const nt::Kernel::MemoryUse after = m.kernel().memoryUse();
    EXPECT_EQ(after.arenaFootprint, before.arenaFootprint);
    EXPECT_EQ(after.arenaInUse, before.arenaInUse);
    EXPECT_EQ(after.devices, before.devices);
    EXPECT_EQ(after.requests, before.requests);
    EXPECT_EQ(after.poolBlocks, before.poolBlocks);
    EXPECT_EQ(after.logEntries, before.logEntries);
    EXPECT_TRUE(m.shutdown().empty());
}

}  // namespace
