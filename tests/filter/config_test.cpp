// Configuration programming of a child: classification, enabling of hot-added devices, latency
// timer and cache line size, through the child's bus interface.
#include "child_fixture.hpp"

#include <algorithm>
#include <string>

namespace hotp::test {
namespace {

class Programming : public ChildFilterTest {
protected:
    HOTP_CHILD_EXTENSION* attach(uint8_t baseClass, uint8_t subClass, uint16_t command)
    {
        PDEVICE_OBJECT child = newChild(baseClass, subClass, command);
        queryRelations(children);
        return recordOf(child);
    }
    FakeFunction& fake(HOTP_CHILD_EXTENSION* record) { return fakes[record->Pdo]; }

    decltype(&HotpProgramPCI) program = routine<decltype(HotpProgramPCI)>("HotpProgramPCI");
    decltype(&HotpPostProgramPCI) post = routine<decltype(HotpPostProgramPCI)>("HotpPostProgramPCI");
};

struct ClassCase {
    uint8_t baseClass, subClass;
    uint16_t command;
    ULONG kind;
    bool commandWritten;
    bool postWrites;  // latency timer and cache line size written afterwards
};

TEST_F(Programming, ClassificationTable)
{
    const ClassCase cases[] = {
        {0x06, 0x04, 0x0000, HOTP_KIND_PCI_PCI, false, false},
        {0x06, 0x04, 0x0007, HOTP_KIND_PCI_PCI, false, false},
        {0x06, 0x00, 0x0000, HOTP_KIND_HOST_PCI, false, false},
        {0x06, 0x00, 0x0006, HOTP_KIND_HOST_PCI, false, false},
        {0x06, 0x07, 0x0000, HOTP_KIND_HOT_ADDED, false, false},  // CardBus bridge
        {0x03, 0x00, 0x0000, HOTP_KIND_HOT_ADDED, false, false},
        {0x03, 0x00, 0x0003, HOTP_KIND_BOOT, false, false},
        {0x02, 0x00, 0x0002, HOTP_KIND_BOOT, false, true},
        {0x02, 0x00, 0x0001, HOTP_KIND_BOOT, false, true},
        {0x02, 0x00, 0x0004, HOTP_KIND_HOT_ADDED | HOTP_KIND_ENABLED, true, true},  // master only
        {0x01, 0x06, 0x0000, HOTP_KIND_HOT_ADDED | HOTP_KIND_ENABLED, true, true},
    };
    for (const auto& c : cases) {
        HOTP_CHILD_EXTENSION* record = attach(c.baseClass, c.subClass, c.command);
        FakeFunction& f = fake(record);
        EXPECT_EQ(program(record), STATUS_SUCCESS);
        EXPECT_EQ(record->DeviceKind, c.kind) << int(c.baseClass) << "/" << int(c.subClass);
        EXPECT_EQ(record->VendorId, 0x1AB0);
        EXPECT_EQ(record->DeviceId, f.get16(0x02));
        EXPECT_EQ(f.get16(0x04), c.commandWritten ? 0x03FF : c.command);
        EXPECT_LE(f.getCalls, 7);
        f.writes.clear();
        EXPECT_EQ(post(record), STATUS_SUCCESS);
        if (c.postWrites) {
            EXPECT_EQ(f.writes, (std::vector<std::pair<ULONG, ULONG>>{{0x0D, 1}, {0x0C, 1}}));
            EXPECT_EQ(f.config[0x0D], 0x90);
            EXPECT_EQ(f.config[0x0C], 8);
        } else {
            EXPECT_TRUE(f.writes.empty());
        }
    }
}

// Short transfers: at the first read classification stops with nothing printed; at the command
// write or read-back the device ends unclassified after the hot-add line.
TEST_F(Programming, ShortTransfersLeaveTheDeviceUnclassified)
{
    setLevels(4, 0);
    HOTP_CHILD_EXTENSION* record = attach(0x02, 0x00, 0x0000);
    FakeFunction& f = fake(record);
    f.shortAnswers = {1};
    kernel.clearDebugOutput();
    EXPECT_EQ(program(record), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(record->DeviceKind, 0u);
    EXPECT_TRUE(kernel.debugOutput().empty());

    // Read-back too short: the device was written but stays unclassified.
    f.shortAnswers = {2, 2, 2, 1, 1, 2, 1};
    EXPECT_EQ(program(record), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(record->DeviceKind, 0u);
    EXPECT_EQ(f.get16(0x04), 0x03FF);
    EXPECT_EQ(kernel.debugOutput().back(), "HotpProgramPCI - hot added device\n");

    // Latency timer write fails: no cache line size write follows.
    f.shortAnswers = {1, 0};
    f.writes.clear();
    EXPECT_EQ(post(record), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(f.writes.size(), 1u);
}

// A class read that comes back short is made once more. Short twice, the device is left
// unclassified whatever the class bytes hold, the failure is returned, nothing is written, and a
// warning names the device. Transfers of classification: command, vendor, device, base class,
// sub-class (each class read followed by its second try where the first came back short).
struct ClassReadCase {
    const char* what;
    uint8_t baseClass, subClass;
    std::deque<ULONG> answers;
    ULONG kind;  // 0: left unclassified
};

TEST_F(Programming, AClassReadIsTriedTwiceBeforeTheDeviceIsLeftUnclassified)
{
    const ClassReadCase cases[] = {
        {"bridge, base class short twice", 0x06, 0x04, {2, 2, 2, 0, 0}, 0},
        {"bridge, sub-class short twice", 0x06, 0x04, {2, 2, 2, 1, 0, 0}, 0},
        {"host bridge, sub-class short twice", 0x06, 0x00, {2, 2, 2, 1, 0, 0}, 0},
        {"network controller, base class short twice", 0x02, 0x00, {2, 2, 2, 0, 0}, 0},
        {"network controller, sub-class short twice", 0x02, 0x00, {2, 2, 2, 1, 0, 0}, 0},
        {"bridge, base class short once", 0x06, 0x04, {2, 2, 2, 0}, HOTP_KIND_PCI_PCI},
        {"bridge, sub-class short once", 0x06, 0x04, {2, 2, 2, 1, 0}, HOTP_KIND_PCI_PCI},
        {"network controller, each class read short once", 0x02, 0x00, {2, 2, 2, 0, 1, 0},
         HOTP_KIND_HOT_ADDED | HOTP_KIND_ENABLED},
    };
    setLevels(4, 0);
    const auto unreadable = [&] {
        const auto& lines = kernel.debugOutput();
        return std::count_if(lines.begin(), lines.end(), [](const std::string& l) {
            return l.find("unreadable") != std::string::npos;
        });
    };
    for (const ClassReadCase& c : cases) {
        SCOPED_TRACE(c.what);
        HOTP_CHILD_EXTENSION* record = attach(c.baseClass, c.subClass, 0x0000);
        FakeFunction& f = fake(record);
        f.shortAnswers = c.answers;
        kernel.clearDebugOutput();
        EXPECT_EQ(program(record), c.kind == 0 ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS);
        EXPECT_EQ(record->DeviceKind, c.kind);
        if (c.kind != 0) {
            EXPECT_EQ(unreadable(), 0);
            continue;
        }
        char expected[160];
        std::snprintf(expected, sizeof expected,
                      "HotpProgramPCI - class code of PDO %08x (VendorId 1ab0, DeviceId %x) "
                      "unreadable, device left unclassified\n",
                      static_cast<unsigned>(reinterpret_cast<uintptr_t>(record->Pdo)),
                      static_cast<unsigned>(f.get16(0x02)));
        const auto& lines = kernel.debugOutput();
        EXPECT_EQ(unreadable(), 1);
        EXPECT_NE(std::find(lines.begin(), lines.end(), std::string(expected)), lines.end());
        EXPECT_TRUE(f.writes.empty());
        EXPECT_EQ(f.get16(0x04), 0x0000);
        // The next classification reads the class whole and classifies the device.
        EXPECT_EQ(program(record), STATUS_SUCCESS);
        EXPECT_NE(record->DeviceKind, 0u);
    }
}

// Post-programming whose base-class read comes back short writes nothing and returns the failure.
TEST_F(Programming, AFailedBaseClassReadStopsPostProgramming)
{
    for (uint8_t baseClass : {uint8_t{0x02}, uint8_t{0x03}}) {
        HOTP_CHILD_EXTENSION* record = attach(baseClass, 0x00, 0x0002);
        FakeFunction& f = fake(record);
        f.shortAnswers = {0};
        EXPECT_EQ(post(record), STATUS_UNSUCCESSFUL) << int(baseClass);
        EXPECT_TRUE(f.writes.empty()) << int(baseClass);
    }
}

TEST_F(Programming, BusRecordsGetNoTransfer)
{
    auto* access = routine<decltype(HotpGetSetDeviceBusData)>("HotpGetSetDeviceBusData");
    setLevels(4, 0);
    kernel.clearDebugOutput();
    uint32_t buffer = 0xCAFEF00D;
    EXPECT_EQ(access(reinterpret_cast<HOTP_COMMON_HEADER*>(bus), TRUE, &buffer, 0, 4), STATUS_SUCCESS);
    EXPECT_EQ(buffer, 0xCAFEF00Du);
    EXPECT_EQ(kernel.debugOutput(),
              std::vector<std::string>{"HotpGetSetDeviceBusData - we don't get/set bus data for Bus\n"});
}

TEST_F(Programming, PostProgrammingBeforeClassificationPrintsZeroIds)
{
    HOTP_CHILD_EXTENSION* record = attach(0x02, 0x00, 0x0000);
    setLevels(4, 0);
    kernel.clearDebugOutput();
    EXPECT_EQ(post(record), STATUS_SUCCESS);
    ASSERT_EQ(kernel.debugOutput().size(), 2u);
    EXPECT_EQ(kernel.debugOutput()[0],
              "HotpPostProgramPCI - LatencyTimer(90) set for (VendorId 0, DeviceId 0)\n");
    EXPECT_EQ(kernel.debugOutput()[1],
              "HotpPostProgramPCI - CacheLineSize(8) set for (VendorId 0, DeviceId 0)\n");
}

// Child dispatch: a successful resource query classifies once; an error does not; a bridge gets
// one bus filter above its child filter; a start and a return to D0 program the device.
TEST_F(Programming, DispatchClassifiesOnceAndProgramsAtStartAndD0)
{
    HOTP_CHILD_EXTENSION* nic = attach(0x02, 0x00, 0x0000);
    FakeFunction& f = fake(nic);
    PDEVICE_OBJECT nicPdo = nic->Pdo;
    lower->script(IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, {STATUS_INSUFFICIENT_RESOURCES});
    IoFreeIrp(sendRequest(kernel, nicPdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).irp);
    EXPECT_EQ(nic->DeviceKind, 0u);
    lower->script(IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, {STATUS_SUCCESS});
    IoFreeIrp(sendRequest(kernel, nicPdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).irp);
    EXPECT_EQ(nic->DeviceKind, HOTP_KIND_HOT_ADDED | HOTP_KIND_ENABLED);
    const int calls = f.getCalls + f.setCalls;
    IoFreeIrp(sendRequest(kernel, nicPdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).irp);
    EXPECT_EQ(f.getCalls + f.setCalls, calls);

    f.config[0x0D] = 0;
    IoFreeIrp(sendRequest(kernel, nicPdo, IRP_MJ_PNP, IRP_MN_START_DEVICE).irp);
    EXPECT_EQ(f.config[0x0D], 0x90);
    for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
        f.config[0x0D] = 0;
        IoFreeIrp(sendRequest(kernel, nicPdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION s) {
                      s->Parameters.Power.Type = DevicePowerState;
                      s->Parameters.Power.State.DeviceState = state;
                  }).irp);
        EXPECT_EQ(f.config[0x0D], state == PowerDeviceD0 ? 0x90 : 0);
    }
    // A failed write at D0 still completes the power request with success.
    f.shortAnswers = {1, 0};
    auto power = sendRequest(kernel, nicPdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = PowerDeviceD0;
    });
    EXPECT_EQ(power.irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(power.irp);

    HOTP_CHILD_EXTENSION* bridge = attach(0x06, 0x04, 0x0000);
    PDEVICE_OBJECT bridgePdo = bridge->Pdo;
    PDEVICE_OBJECT childFilter = bridgePdo->AttachedDevice;
    IoFreeIrp(sendRequest(kernel, bridgePdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).irp);
    IoFreeIrp(sendRequest(kernel, bridgePdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).irp);
    ASSERT_NE(childFilter->AttachedDevice, nullptr);
    EXPECT_EQ(childFilter->AttachedDevice->AttachedDevice, nullptr);
    auto* bridgeBus = static_cast<HOTP_BUS_EXTENSION*>(childFilter->AttachedDevice->DeviceExtension);
    EXPECT_EQ(bridgeBus->Signature, HOTP_BUS_SIGNATURE);
    EXPECT_EQ(bridgeBus->Pdo, bridgePdo);
    EXPECT_EQ(bridgeBus->LowerDeviceObject, childFilter);
    // Removal of the bridge: its bus filter goes first (no children), then its child filter.
    IoFreeIrp(sendRequest(kernel, bridgePdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).irp);
}

TEST_F(Programming, FailedBusFilterForABridgeIsNotRetried)
{
    HOTP_CHILD_EXTENSION* bridge = attach(0x06, 0x04, 0x0000);
    lower->script(IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, {});
    setLevels(2, 0);
    kernel.clearDebugOutput();
    kernel.faults().failNth(nt::FaultPoint::CreateDevice, 1);
    auto sent = sendRequest(kernel, bridge->Pdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES);
    EXPECT_EQ(sent.irp->IoStatus.Status, STATUS_SUCCESS);
    IoFreeIrp(sent.irp);
    kernel.faults().clear();
    EXPECT_EQ(kernel.debugOutput().back(), "HotpQueryChildResources - AddDevice failed for P2P\n");
    IoFreeIrp(sendRequest(kernel, bridge->Pdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES).irp);
    EXPECT_EQ(bridge->Pdo->AttachedDevice->AttachedDevice, nullptr);
}

// Completion routines may run at dispatch level: only resident code runs there.
TEST_F(Programming, StartCompletedAtDispatchLevelRunsOnlyResidentCode)
{
    HOTP_CHILD_EXTENSION* nic = attach(0x02, 0x00, 0x0002);
    lower->script(IRP_MJ_PNP, IRP_MN_START_DEVICE, {STATUS_SUCCESS, 0, false, DISPATCH_LEVEL});
    lower->script(IRP_MJ_POWER, IRP_MN_SET_POWER, {STATUS_SUCCESS, 0, true, DISPATCH_LEVEL});
    IoFreeIrp(sendRequest(kernel, nic->Pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE).irp);
    auto power = sendRequest(kernel, nic->Pdo, IRP_MJ_POWER, IRP_MN_SET_POWER, [](PIO_STACK_LOCATION s) {
        s->Parameters.Power.Type = DevicePowerState;
        s->Parameters.Power.State.DeviceState = PowerDeviceD0;
    });
    EXPECT_EQ(power.returned, STATUS_PENDING);
    kernel.drain();
    EXPECT_TRUE(kernel.isCompleted(power.irp));
    IoFreeIrp(power.irp);
    EXPECT_EQ(fake(nic).config[0x0D], 0x90);
    expectViolations({});
}

}  // namespace
}  // namespace hotp::test
