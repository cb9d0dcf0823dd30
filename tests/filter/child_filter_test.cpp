// Child filters: attachment on bus relations, classification and programming through the bus
// interface, child dispatch and removal.
#include "child_fixture.hpp"

#include <algorithm>

namespace hotp::test {
namespace {

using Attach = ChildFilterTest;

TEST_F(Attach, ThreeNewDevicesBecomeThreeRecordsInListOrder)
{
    std::vector<PDEVICE_OBJECT> three = {newChild(2, 0, 0), newChild(3, 0, 3), newChild(6, 4, 0)};
    three[1]->StackSize = 3;
    three[2]->Flags |= DO_POWER_PAGABLE;
    EXPECT_EQ(queryRelations(three), STATUS_SUCCESS);
    auto records = listedRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(bus->ChildDeviceCount, 3);
    for (size_t i = 0; i < 3; ++i) {
        PDEVICE_OBJECT filterDevice = three[i]->AttachedDevice;
        ASSERT_NE(filterDevice, nullptr);
        EXPECT_EQ(records[i]->Pdo, three[i]);
        EXPECT_EQ(records[i]->Signature, HOTP_CHILD_SIGNATURE);
        EXPECT_EQ(records[i]->BusExtension, bus);
        EXPECT_EQ(records[i]->LowerDeviceObject, three[i]);
        EXPECT_EQ(records[i]->DeviceKind, 0u);
        EXPECT_EQ(filterDevice->StackSize, three[i]->StackSize + 1);
        EXPECT_EQ(filterDevice->Flags & DO_DEVICE_INITIALIZING, 0u);
        EXPECT_EQ((filterDevice->Flags & DO_POWER_PAGABLE) != 0, i == 2);
        EXPECT_EQ(fakes[three[i]].references, 1);
    }
}

// Every query lists all devices again: each repeat costs a creation, an interface query and a
// release, and only the new device is appended.
TEST_F(Attach, RepeatedQueriesAppendOnlyNewDevices)
{
    std::vector<PDEVICE_OBJECT> listed = {newChild(2, 0, 0), newChild(2, 0, 0), newChild(2, 0, 0)};
    queryRelations(listed);
    listed.push_back(newChild(1, 6, 0));
    const uint64_t createdBefore = kernel.faults().uses(nt::FaultPoint::CreateDevice);
    queryRelations(listed);
    EXPECT_EQ(kernel.faults().uses(nt::FaultPoint::CreateDevice) - createdBefore, 4u);
    EXPECT_EQ(bus->ChildDeviceCount, 4);
    ASSERT_EQ(listedRecords().size(), 4u);
    EXPECT_EQ(listedRecords()[3]->Pdo, listed[3]);
    for (PDEVICE_OBJECT child : listed) EXPECT_EQ(fakes[child].references, 1);
}

struct DuplicateCase {
    ULONG kind;
    const char* line;  // the one level-4 line a repeat prints, or nullptr
};

TEST_F(Attach, ARepeatPrintsTheLineOfTheExistingKindOnly)
{
    const DuplicateCase cases[] = {
        {0, nullptr},
        {HOTP_KIND_BOOT, "HotpAttachDeviceRelations - Boot time PDO (ignore)\n"},
        {HOTP_KIND_HOT_ADDED | HOTP_KIND_ENABLED,
         "HotpAttachDeviceRelations - HotAdd PDO already filtered (ignore)\n"},
        {HOTP_KIND_PCI_PCI, "HotpAttachDeviceRelations - PCI/PCI PDO already filtered (ignore)\n"},
        {HOTP_KIND_HOST_PCI, "HotpAttachDeviceRelations - Host/PCI PDO already filtered (ignore)\n"},
    };
    PDEVICE_OBJECT child = newChild(2, 0, 0);
    queryRelations({child});
    for (const auto& c : cases) {
        recordOf(child)->DeviceKind = c.kind;
        setLevels(4, 0);
        kernel.clearDebugOutput();
        queryRelations({child});
        std::vector<std::string> repeats;
        for (const auto& line : kernel.debugOutput()) {
            if (line.find("(ignore)") != std::string::npos) repeats.push_back(line);
        }
        if (c.line == nullptr) {
            EXPECT_TRUE(repeats.empty());
        } else {
            EXPECT_EQ(repeats, std::vector<std::string>{c.line});
        }
        EXPECT_EQ(bus->ChildDeviceCount, 1);
    }
}

TEST_F(Attach, NullListAndEmptyListChangeNothing)
{
    setLevels(4, 0);
    kernel.clearDebugOutput();
    EXPECT_EQ(queryRelations({}, true), STATUS_SUCCESS);
    EXPECT_EQ(kernel.debugOutput().size(), 2u);  // dispatch entry and completion entry
    kernel.clearDebugOutput();
    EXPECT_EQ(queryRelations({}), STATUS_SUCCESS);
    ASSERT_EQ(kernel.debugOutput().size(), 3u);
    EXPECT_EQ(kernel.debugOutput()[2], "HotpAttachDeviceRelations - Relations Count = 0 \n");
    EXPECT_EQ(bus->ChildDeviceCount, 0);
}

// A device that does not answer the interface query gets no filter and does not stop the
// others; a pended answer is waited for.
TEST_F(Attach, InterfaceRefusedOrPended)
{
    PDEVICE_OBJECT refused = newChild(2, 0, 0);
    PDEVICE_OBJECT served = newChild(2, 0, 0);
    lower->script(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, {STATUS_NOT_SUPPORTED});
    refuseInterface = true;
    setLevels(1, 1);
    kernel.clearDebugOutput();
    queryRelations({refused});
    EXPECT_EQ(bus->ChildDeviceCount, 0);
    EXPECT_TRUE(kernel.debugOutput().empty());
    EXPECT_TRUE(kernel.breakpoints().empty());

    refuseInterface = false;
    lower->script(IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, {STATUS_SUCCESS, 0, true});
    queryRelations({refused, served});
    EXPECT_EQ(bus->ChildDeviceCount, 2);
    EXPECT_EQ(fakes[served].references, 1);
}

// The interface query goes to the physical device object itself, not to the top of its stack.
TEST_F(Attach, InterfaceQueryReachesThePhysicalDeviceObject)
{
    PDEVICE_OBJECT child = newChild(2, 0, 0);
    queryRelations({child});
    lower->clearReceived();
    PDEVICE_OBJECT other = newChild(2, 0, 0);
    queryRelations({child, other});
    std::vector<PDEVICE_OBJECT> asked;
    for (const auto& r : lower->received()) {
        if (r.stack.MinorFunction == IRP_MN_QUERY_INTERFACE) {
            asked.push_back(r.device);
            EXPECT_EQ(r.stack.Parameters.QueryInterface.Version, 1);
            EXPECT_EQ(r.stack.Parameters.QueryInterface.Size, sizeof(BUS_INTERFACE_STANDARD));
            EXPECT_TRUE(IsEqualGUID(*r.stack.Parameters.QueryInterface.InterfaceType,
                                    GUID_BUS_INTERFACE_STANDARD));
        }
    }
    EXPECT_EQ(asked, (std::vector<PDEVICE_OBJECT>{child, other}));
}

// Each failure point of attachment leaves no device, no pool and no interface reference behind,
// and the request keeps its status; the next query attaches.
TEST_F(Attach, EveryFailurePathLeavesNothingBehind)
{
    const nt::FaultPoint points[] = {nt::FaultPoint::CreateDevice, nt::FaultPoint::BuildRequest,
                                     nt::FaultPoint::AttachDevice,
                                     nt::FaultPoint::AllocateErrorLogEntry};
    setLevels(1, 0);
    for (nt::FaultPoint point : points) {
        PDEVICE_OBJECT child = newChild(2, 0, 0);
        const LONG before = bus->ChildDeviceCount;
        kernel.faults().failNth(point, 1);
        EXPECT_EQ(queryRelations({child}), STATUS_SUCCESS);
        EXPECT_TRUE(kernel.faults().fired()) << nt::faultPointName(point);
        kernel.faults().clear();
        const bool attached = point == nt::FaultPoint::AllocateErrorLogEntry;
        EXPECT_EQ(bus->ChildDeviceCount, before + (attached ? 1 : 0)) << nt::faultPointName(point);
        EXPECT_EQ(fakes[child].references, attached ? 1 : 0) << nt::faultPointName(point);
        EXPECT_EQ(child->AttachedDevice != nullptr, attached);
        EXPECT_EQ(kernel.liveDevices(driver.object).size(),
                  static_cast<size_t>(1 + bus->ChildDeviceCount));
        queryRelations({child});
        EXPECT_EQ(fakes[child].references, 1);
    }
}

// The attach event: 66 bytes through the bus filter's device object, written only while tracing
// is on, the insertion string the pointer value blank-padded to 8 lower-case digits.
TEST_F(Attach, AttachEventBytes)
{
    PDEVICE_OBJECT quiet = newChild(2, 0, 0);
    queryRelations({quiet});
    EXPECT_TRUE(kernel.errorLog().empty());
    setLevels(1, 0);
    PDEVICE_OBJECT child = newChild(2, 0, 0);
    queryRelations({quiet, child});
    ASSERT_EQ(kernel.errorLog().size(), 1u);
    const nt::ErrorLogEntry& entry = kernel.errorLog()[0];
    EXPECT_EQ(entry.ioObject, filter);
    ASSERT_EQ(entry.bytes.size(), 66u);
    std::vector<uint8_t> expected(66, 0);
    expected[4] = 1;     // NumberOfStrings
    expected[6] = 0x28;  // StringOffset
    expected[12] = 0x03;
    expected[13] = 0x04;
    expected[15] = 0x40;  // ErrorCode 0x40000403
    char text[16];
    std::snprintf(text, sizeof text, "%8x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(child)));
    for (int i = 0; i < 8; ++i) expected[40 + 2 * i] = static_cast<uint8_t>(text[i]);
    EXPECT_EQ(entry.bytes, expected);
    EXPECT_EQ(nt::narrow(entry.driverName), "\\Driver\\hotpflt");
}

TEST_F(Attach, TraceLinesOfAnAppend)
{
    PDEVICE_OBJECT first = newChild(2, 0, 0);
    PDEVICE_OBJECT second = newChild(2, 0, 0);
    PDEVICE_OBJECT third = newChild(2, 0, 0);
    queryRelations({first, second});
    setLevels(4, 0);
    kernel.clearDebugOutput();
    queryRelations({third});
    HOTP_CHILD_EXTENSION* a = recordOf(first);
    HOTP_CHILD_EXTENSION* b = recordOf(second);
    HOTP_CHILD_EXTENSION* c = recordOf(third);
    PDEVICE_OBJECT f = third->AttachedDevice;
    const auto& out = kernel.debugOutput();
    ASSERT_EQ(out.size(), 7u);
    EXPECT_EQ(out[0], "HotpBusDispatchPnp: DevObj 0x" + hex(filter) + " IRP 0x7\n");
    const std::string begins = "HotpAttachDeviceRelations() begins with DeviceObject = " +
                               hex(filter, 8) + ", irp = ";
    EXPECT_EQ(out[1].rfind(begins, 0), 0u) << out[1];
    EXPECT_NE(out[1].find(" and Extension = " + hex(bus, 8) + " \n"), std::string::npos);
    EXPECT_EQ(out[2], "HotpAttachDeviceRelations - Relations Count = 1 \n");
    EXPECT_EQ(out[3], "HotpAttachDeviceRelations - ChildDeviceFilter " + hex(f) + " attached to PDO " +
                          hex(third) + " (Immediate " + hex(third) + ")\n");
    EXPECT_EQ(out[4], "HotpAttachDeviceRelations - TrackExtension = " + hex(a) + " (at the beginning) \n");
    EXPECT_EQ(out[5], "HotpAttachDeviceRelations - TrackExtension = " + hex(b) + " in next child \n");
    EXPECT_EQ(out[6], "HotpAttachDeviceRelations - TrackExtension = " + hex(b) +
                          " and its childdevice = " + hex(c) + "\n");
}

using Removal = ChildFilterTest;

// Removing the head, a middle and the tail record keeps the others in order with the count one
// lower each time; the interface is released and the filter deleted before the request goes on.
TEST_F(Removal, HeadMiddleAndTail)
{
    std::vector<PDEVICE_OBJECT> four = {newChild(2, 0, 0), newChild(2, 0, 0), newChild(2, 0, 0),
                                        newChild(2, 0, 0)};
    queryRelations(four);
    for (const char* which : {"head", "middle", "tail"}) {
        std::vector<PDEVICE_OBJECT> before;
        for (auto* r : listedRecords()) before.push_back(r->Pdo);
        const std::string w = which;
        PDEVICE_OBJECT gone = w == "head" ? before.front() : w == "tail" ? before.back() : before[1];
        PDEVICE_OBJECT filterDevice = gone->AttachedDevice;
        IoFreeIrp(sendRequest(kernel, gone, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).irp);
        EXPECT_FALSE(kernel.isLiveDevice(filterDevice));
        EXPECT_EQ(fakes[gone].references, 0);
        before.erase(std::find(before.begin(), before.end(), gone));
        std::vector<PDEVICE_OBJECT> after;
        for (auto* r : listedRecords()) after.push_back(r->Pdo);
        EXPECT_EQ(after, before);
        EXPECT_EQ(bus->ChildDeviceCount, static_cast<LONG>(after.size()));
        EXPECT_EQ(lastReceived().stack.MinorFunction, IRP_MN_REMOVE_DEVICE);
    }
}

TEST_F(Removal, CountZeroAndMissingRecord)
{
    std::vector<PDEVICE_OBJECT> two = {newChild(2, 0, 0), newChild(2, 0, 0)};
    queryRelations(two);
    setLevels(2, 0);
    // A record missing from a non-empty list: the level-2 line, and the count still drops.
    HOTP_CHILD_EXTENSION* second = recordOf(two[1]);
    recordOf(two[0])->NextChild = nullptr;
    kernel.clearDebugOutput();
    IoFreeIrp(sendRequest(kernel, two[1], IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).irp);
    (void)second;
    EXPECT_EQ(kernel.debugOutput(),
              std::vector<std::string>{
                  "HotpChildDeviceDispatchPnp - device to be removed not found in list \n"});
    EXPECT_EQ(bus->ChildDeviceCount, 1);
    // With the count at zero no list is walked, but the filter still goes.
    bus->ChildDeviceCount = 0;
    kernel.clearDebugOutput();
    PDEVICE_OBJECT filterDevice = two[0]->AttachedDevice;
    IoFreeIrp(sendRequest(kernel, two[0], IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).irp);
    EXPECT_TRUE(kernel.debugOutput().empty());
    EXPECT_FALSE(kernel.isLiveDevice(filterDevice));
    EXPECT_EQ(bus->ChildDeviceCount, 0);
    EXPECT_EQ(fakes[two[0]].references, 0);
    bus->ChildListHead = nullptr;
}

}  // namespace
}  // namespace hotp::test
