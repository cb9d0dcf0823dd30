// The driver's entry, dispatch table, pass-through and routing by record kind.
#include "bus_fixture.hpp"

#include <bridge/scan_record.h>

#include <functional>

namespace hotp::test {
namespace {

class FrameTest : public BusFilterTest {
protected:
    // A child-kind filter made by hand over a fresh device of the lower driver: the record's
    // first word is `signature`, its lower device whatever attachment returned.
    void addChildRecord(ULONG signature)
    {
        childPdo = lower->createDevice();
        ASSERT_EQ(IoCreateDevice(driver.object, sizeof(HOTP_CHILD_EXTENSION), nullptr,
                                 FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &child),
                  STATUS_SUCCESS);
        auto* record = static_cast<HOTP_CHILD_EXTENSION*>(child->DeviceExtension);
        record->Signature = signature;
        record->Pdo = childPdo;
        record->LowerDeviceObject = IoAttachDeviceToDeviceStack(child, childPdo);
        child->Flags &= ~DO_DEVICE_INITIALIZING;
    }

    void removeChildRecord()
    {
        IoDetachDevice(childPdo);
        IoDeleteDevice(child);
    }

    PDEVICE_OBJECT childPdo = nullptr;
    PDEVICE_OBJECT child = nullptr;
};

TEST_F(FrameTest, DriverEntryFillsTheTableAndLeavesTheRestToThePlatform)
{
    PDRIVER_OBJECT object = driver.object;
    EXPECT_EQ(driver.entryStatus, STATUS_SUCCESS);
    auto* passThrough = routine<DRIVER_DISPATCH>("HotpDispatchPassThrough");
    const UCHAR passed[] = {IRP_MJ_CREATE,         IRP_MJ_CLOSE,    IRP_MJ_READ,
                            IRP_MJ_WRITE,          IRP_MJ_FLUSH_BUFFERS,
                            IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_SHUTDOWN, IRP_MJ_CLEANUP,
                            IRP_MJ_SYSTEM_CONTROL};
    for (UCHAR major : passed) EXPECT_EQ(object->MajorFunction[major], passThrough) << int(major);
    EXPECT_EQ(object->MajorFunction[IRP_MJ_DEVICE_CONTROL],
              routine<DRIVER_DISPATCH>("HotpDispatchDeviceControl"));
    EXPECT_EQ(object->MajorFunction[IRP_MJ_POWER], routine<DRIVER_DISPATCH>("HotpDispatchPower"));
    EXPECT_EQ(object->MajorFunction[IRP_MJ_PNP], routine<DRIVER_DISPATCH>("HotpDispatchPnp"));
    EXPECT_EQ(object->DriverExtension->AddDevice, routine<DRIVER_ADD_DEVICE>("HotpAddDevice"));
    EXPECT_EQ(object->DriverUnload, nullptr);
    // The two trace levels start at zero.
    EXPECT_EQ(debugger.get("HotpDebugPrintLevel"), 0u);
    EXPECT_EQ(debugger.get("HotpDebugBreakLevel"), 0u);
}

TEST_F(FrameTest, EveryMachineLoadsItsOwnCopyOfTheDriver)
{
    setLevels(4, 0);
    nt::LoadedDriver second = kernel.loadDriver(HOTP_DRIVER_PATH, u"\\Driver\\hotpflt2");
    EXPECT_EQ(nt::Debugger(second).get("HotpDebugPrintLevel"), 0u);
    EXPECT_EQ(debugger.get("HotpDebugPrintLevel"), 4u);
}

// Pass-through majors reach the lower device with the very stack location the sender filled,
// from either kind of filter, and the lower driver's status comes back unchanged.
TEST_F(FrameTest, PassThroughKeepsTheStackLocationForBothKinds)
{
    addBusFilter();
    addChildRecord(HOTP_CHILD_SIGNATURE);
    const UCHAR majors[] = {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_WRITE, IRP_MJ_DEVICE_CONTROL,
                            IRP_MJ_SYSTEM_CONTROL};
    lower->setDefault({static_cast<NTSTATUS>(0xC0000185), 0, false});
    for (PDEVICE_OBJECT device : {pdo, childPdo}) {
        for (UCHAR major : majors) {
            int marker = 0;
            auto sent = sendRequest(kernel, device, major, 0x5A, [&](PIO_STACK_LOCATION s) {
                s->Flags = 0x3;
                s->Parameters.Others.Argument1 = &marker;
                s->Parameters.Others.Argument4 = &major;
            });
            EXPECT_EQ(sent.returned, static_cast<NTSTATUS>(0xC0000185));
            const auto& seen = lastReceived();
            EXPECT_EQ(seen.device, device);
            EXPECT_EQ(seen.stack.MajorFunction, major);
            EXPECT_EQ(seen.stack.MinorFunction, 0x5A);
            EXPECT_EQ(seen.stack.Flags, 0x3);
            EXPECT_EQ(seen.stack.Parameters.Others.Argument1, &marker);
            EXPECT_EQ(seen.stack.Parameters.Others.Argument4, &major);
            EXPECT_EQ(seen.stack.CompletionRoutine, nullptr);
            IoFreeIrp(sent.irp);
        }
    }
    removeChildRecord();
    removeBusFilter();
}

TEST_F(FrameTest, MajorsOutsideTheTableAreRefusedByThePlatform)
{
    addBusFilter();
    for (UCHAR major : {IRP_MJ_QUERY_INFORMATION, IRP_MJ_SET_INFORMATION, IRP_MJ_CREATE_NAMED_PIPE}) {
        lower->clearReceived();
        auto sent = sendRequest(kernel, pdo, major, 0);
        EXPECT_EQ(sent.returned, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(sent.irp->IoStatus.Status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_TRUE(lower->received().empty());
        IoFreeIrp(sent.irp);
    }
    removeBusFilter();
}

// A record whose first word is not the bus signature is served as a child: its PnP requests take
// the child path whatever the first word holds.
TEST_F(FrameTest, AnyFirstWordOtherThanTheBusSignatureRoutesToTheChild)
{
    lower->script(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, {});
    for (ULONG signature : {HOTP_CHILD_SIGNATURE, 0u, 0x12345678u, HOTP_BUS_SIGNATURE + 1}) {
        addChildRecord(signature);
        setLevels(3, 0);
        kernel.clearDebugOutput();
        auto sent = sendRequest(kernel, childPdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
        EXPECT_EQ(sent.returned, STATUS_SUCCESS);
        EXPECT_EQ(lastReceived().stack.CompletionRoutine, nullptr) << std::hex << signature;
        EXPECT_EQ(kernel.debugOutput(),
                  std::vector<std::string>{"HotpChildDeviceDispatchPnp: DevObj 0x" + hex(child) +
                                           " (013000) IRP 0x9\n"});
        IoFreeIrp(sent.irp);
        removeChildRecord();
    }
}

// A routine handed a record of the other kind stops the checked build where the record arrived,
// before anything is read through the wrong layout: dispatch routines, the bridge sizing entry
// points and completion routines, whose record comes as their context.
TEST_F(FrameTest, ARecordOfTheWrongKindStopsTheCheckedBuild)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    addBusFilter();
    addChildRecord(HOTP_CHILD_SIGNATURE);
    auto* childRecord = static_cast<HOTP_CHILD_EXTENSION*>(child->DeviceExtension);
    auto* asBus = reinterpret_cast<HOTP_BUS_EXTENSION*>(childRecord);
    auto* asChild = reinterpret_cast<HOTP_CHILD_EXTENSION*>(bus);
    PIRP irp = IoAllocateIrp(8, FALSE);
    // The driver's routine of that name, as a debugger finds it.
#define HOTP_ROUTINE(name) routine<decltype(name)>(#name)
    const struct {
        const char* routine;
        std::function<void()> call;
        const char* expected;
    } cases[] = {
        {"bus PnP", [&] { HOTP_ROUTINE(HotpBusDispatchPnp)(child, irp, asBus); }, "a bus record"},
        {"bus power", [&] { HOTP_ROUTINE(HotpBusDispatchPower)(child, irp, asBus); }, "a bus record"},
        {"requirements", [&] { HOTP_ROUTINE(HotpFilterResourceRequirements)(child, irp, asBus); },
         "a bus record"},
        {"relations", [&] { HOTP_ROUTINE(HotpAttachDeviceRelations)(child, irp, childRecord); },
         "a bus record"},
        {"child PnP", [&] { HOTP_ROUTINE(HotpChildDeviceDispatchPnp)(filter, irp, asChild); },
         "a child record"},
        {"child power", [&] { HOTP_ROUTINE(HotpChildDeviceDispatchPower)(filter, irp, asChild); },
         "a child record"},
        {"resources", [&] { HOTP_ROUTINE(HotpQueryChildResources)(filter, irp, bus); }, "a child record"},
        {"D0", [&] { HOTP_ROUTINE(HotpPowerUpCompletion)(filter, irp, bus); }, "a child record"},
        {"classification", [&] { HOTP_ROUTINE(HotpProgramPCI)(asChild); }, "a child record"},
    };
#undef HOTP_ROUTINE
    for (const auto& c : cases) {
        SCOPED_TRACE(c.routine);
        EXPECT_DEATH(c.call(), std::string("Assertion failed: ") + c.expected);
    }
    IoFreeIrp(irp);
    removeChildRecord();
    removeBusFilter();
}

TEST_F(FrameTest, PowerRequestsPassDownFromBothKinds)
{
    addBusFilter();
    addChildRecord(HOTP_CHILD_SIGNATURE);
    lower->setDefault({STATUS_SUCCESS, 0, false, DISPATCH_LEVEL});
    for (PDEVICE_OBJECT device : {pdo, childPdo}) {
        for (UCHAR minor : {IRP_MN_QUERY_POWER, IRP_MN_SET_POWER, IRP_MN_WAIT_WAKE}) {
            auto sent = sendRequest(kernel, device, IRP_MJ_POWER, minor, [](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = DevicePowerState;
                s->Parameters.Power.State.DeviceState = PowerDeviceD3;
            });
            EXPECT_EQ(sent.returned, STATUS_SUCCESS);
            EXPECT_EQ(lastReceived().stack.MinorFunction, minor);
            EXPECT_EQ(lastReceived().stack.Parameters.Power.State.DeviceState, PowerDeviceD3);
            EXPECT_EQ(lastReceived().stack.CompletionRoutine, nullptr);
            IoFreeIrp(sent.irp);
        }
    }
    removeChildRecord();
    removeBusFilter();
}

// Power dispatch is resident: it may run at dispatch level, where pageable code may not.
TEST_F(FrameTest, PowerRunsAtDispatchLevelAndPnpDoesNot)
{
    addBusFilter();
    kernel.setIrql(DISPATCH_LEVEL);
    auto power = sendRequest(kernel, pdo, IRP_MJ_POWER, IRP_MN_QUERY_POWER);
    expectViolations({});
    auto pnp = sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES);
    kernel.setIrql(PASSIVE_LEVEL);
    // The router, the bus dispatch routine and its pass-down helper are all pageable.
    expectViolations({"pageable code at raised IRQL", "pageable code at raised IRQL",
                      "pageable code at raised IRQL"});
    IoFreeIrp(power.irp);
    IoFreeIrp(pnp.irp);
    removeBusFilter();
}

}  // namespace
}  // namespace hotp::test
