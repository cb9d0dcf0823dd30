// The bus filter: creation by the add-device routine, PnP dispatch, start, removal and its trace.
#include "bus_fixture.hpp"

#include <optional>

namespace hotp::test {
namespace {

using BusFilter = BusFilterTest;

PCM_RESOURCE_LIST someResources()
{
    static uint64_t storage[8];
    return reinterpret_cast<PCM_RESOURCE_LIST>(storage);
}

TEST_F(BusFilter, AddDeviceJoinsTheTopOfTheStackWithAFreshRecord)
{
    PDEVICE_OBJECT device = lower->createDevice();
    device->Flags |= DO_POWER_PAGABLE | DO_BUFFERED_IO;
    device->AlignmentRequirement = 3;
    device->StackSize = 4;
    pdo = device;
    auto* add = driver.object->DriverExtension->AddDevice;
    ASSERT_EQ(add(driver.object, pdo), STATUS_SUCCESS);
    filter = pdo->AttachedDevice;
    ASSERT_NE(filter, nullptr);
    bus = static_cast<HOTP_BUS_EXTENSION*>(filter->DeviceExtension);

    EXPECT_EQ(filter->DriverObject, driver.object);
    EXPECT_EQ(filter->DeviceType, FILE_DEVICE_BUS_EXTENDER);
    EXPECT_EQ(filter->Characteristics, 0u);
    EXPECT_EQ(filter->Flags & DO_DEVICE_INITIALIZING, 0u);
    // Nothing is copied from below beyond what attachment itself sets.
    EXPECT_EQ(filter->Flags & (DO_POWER_PAGABLE | DO_BUFFERED_IO | DO_DIRECT_IO), 0u);
    EXPECT_EQ(filter->StackSize, 5);
    EXPECT_EQ(filter->AlignmentRequirement, 3u);

    EXPECT_EQ(bus->Signature, HOTP_BUS_SIGNATURE);
    EXPECT_EQ(bus->LowerDeviceObject, pdo);
    EXPECT_EQ(bus->Self, filter);
    EXPECT_EQ(bus->Pdo, pdo);
    EXPECT_EQ(bus->ChildListHead, nullptr);
    EXPECT_EQ(bus->ChildDeviceCount, 0);
    removeBusFilter();
}

// On a stack that already holds another device (a child filter over a bridge), the bus filter
// lands on top and remembers the physical device object and the device it attached to.
TEST_F(BusFilter, AddDeviceAttachesAboveWhatTheStackAlreadyHolds)
{
    pdo = lower->createDevice();
    PDEVICE_OBJECT middle = nullptr;
    ASSERT_EQ(IoCreateDevice(lower->driverObject(), 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0,
                             FALSE, &middle),
              STATUS_SUCCESS);
    ASSERT_EQ(IoAttachDeviceToDeviceStack(middle, pdo), pdo);
    middle->Flags &= ~DO_DEVICE_INITIALIZING;

    ASSERT_EQ(driver.object->DriverExtension->AddDevice(driver.object, pdo), STATUS_SUCCESS);
    filter = middle->AttachedDevice;
    ASSERT_NE(filter, nullptr);
    bus = static_cast<HOTP_BUS_EXTENSION*>(filter->DeviceExtension);
    EXPECT_EQ(bus->Pdo, pdo);
    EXPECT_EQ(bus->LowerDeviceObject, middle);
    EXPECT_EQ(filter->StackSize, 3);

    bus->ChildDeviceCount = 0;
    IoDetachDevice(middle);
    IoDeleteDevice(filter);
    IoDetachDevice(pdo);
    IoDeleteDevice(middle);
}

TEST_F(BusFilter, AddDeviceTracesAtLevelFour)
{
    setLevels(4, 0);
    addBusFilter();
    ASSERT_EQ(kernel.debugOutput().size(), 2u);
    EXPECT_EQ(kernel.debugOutput()[0], "HotpAddDevice() begins with DriverObject = " +
                                           hex(driver.object, 8) + " and PDO = " + hex(pdo, 8) +
                                           " \n");
    EXPECT_EQ(kernel.debugOutput()[1], "HotpAddDevice - BusFilter " + hex(filter) +
                                           " attached to PDO " + hex(pdo) + " (Immediate " +
                                           hex(pdo) + ")\n");
    EXPECT_TRUE(kernel.breakpoints().empty());
    removeBusFilter();
}

struct AddFailure {
    nt::FaultPoint fault;
    NTSTATUS expected;
    const char* line;  // start of the level-1 line
};

// Each failure of the add-device routine returns its status, prints its level-1 line even at
// print level 1, and leaves no device object of the driver behind.
TEST_F(BusFilter, AddDeviceFailuresLeaveNothingBehind)
{
    const AddFailure cases[] = {
        {nt::FaultPoint::CreateDevice, STATUS_INSUFFICIENT_RESOURCES,
         "HotpAddDevice: IoCreateDevice failed c000009a\n"},
        {nt::FaultPoint::AttachDevice, STATUS_INSUFFICIENT_RESOURCES,
         "HotpAddDevice: IoAttachDeviceToDeviceStack from "},
    };
    pdo = lower->createDevice();
    for (const auto& c : cases) {
        setLevels(1, 1);
        kernel.clearDebugOutput();
        kernel.faults().failNth(c.fault, 1);
        EXPECT_EQ(driver.object->DriverExtension->AddDevice(driver.object, pdo), c.expected);
        EXPECT_TRUE(kernel.faults().fired());
        kernel.faults().clear();
        ASSERT_EQ(kernel.debugOutput().size(), 1u);
        EXPECT_EQ(kernel.debugOutput()[0].rfind(c.line, 0), 0u) << kernel.debugOutput()[0];
        EXPECT_EQ(kernel.breakpoints().size(), 1u);
        EXPECT_TRUE(kernel.liveDevices(driver.object).empty());
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
    }
    // The attachment line names the deleted filter and the target.
    EXPECT_NE(kernel.debugOutput()[0].find(" to " + hex(pdo, 8) + " failed\n"), std::string::npos);
}

// The requests the bus filter watches go down with its completion routine, the record (or none)
// as context and the routine's invoke flags, and come back with the bus driver's status: a start
// only when it carries resources, a resource query and a bus relations query on success only (a
// failed relations query completes without the routine's first line).
TEST_F(BusFilter, WatchedRequestsGoDownWithTheirCompletion)
{
    addBusFilter();
    setLevels(4, 0);
    constexpr UCHAR kAlways = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    const struct {
        const char* name;
        UCHAR minor;
        bool resources;       // a start carrying its assigned resources
        const char* routine;  // the completion routine; none when not watched
        bool withRecord;      // the bus record as context
        UCHAR control;
        std::optional<size_t> lines[2];  // trace lines after success and after failure
    } cases[] = {
        {"bare start", IRP_MN_START_DEVICE, false, nullptr, false, 0, {}},
        {"start with resources", IRP_MN_START_DEVICE, true, "HotpNullCompletion", false, kAlways, {}},
        {"resource query", IRP_MN_QUERY_RESOURCES, false, "HotpNullCompletion", true,
         SL_INVOKE_ON_SUCCESS, {}},
        {"bus relations", IRP_MN_QUERY_DEVICE_RELATIONS, false, "HotpAttachDeviceRelations", true,
         SL_INVOKE_ON_SUCCESS, {2u, 1u}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_INSUFFICIENT_RESOURCES}) {
            lower->script(IRP_MJ_PNP, c.minor, {answer});
            kernel.clearDebugOutput();
            auto sent = sendRequest(kernel, pdo, IRP_MJ_PNP, c.minor, [&](PIO_STACK_LOCATION s) {
                if (c.resources) s->Parameters.StartDevice.AllocatedResources = someResources();
                if (c.minor == IRP_MN_QUERY_DEVICE_RELATIONS) {
                    s->Parameters.QueryDeviceRelations.Type = BusRelations;
                }
            });
            EXPECT_EQ(sent.returned, answer);
            EXPECT_EQ(sent.irp->IoStatus.Status, answer);
            const auto& seen = lastReceived().stack;
            EXPECT_EQ(seen.CompletionRoutine,
                      c.routine != nullptr ? routine<IO_COMPLETION_ROUTINE>(c.routine) : nullptr);
            if (c.routine != nullptr) {
                EXPECT_EQ(seen.Context, c.withRecord ? static_cast<PVOID>(bus) : nullptr);
                EXPECT_EQ(seen.Control, c.control);
            }
            if (c.resources) {
                EXPECT_EQ(seen.Parameters.StartDevice.AllocatedResources, someResources());
            }
            if (const auto& lines = c.lines[NT_SUCCESS(answer) ? 0 : 1]) {
                EXPECT_EQ(kernel.debugOutput().size(), *lines);
            }
            IoFreeIrp(sent.irp);
        }
    }
    removeBusFilter();
}

// When the bus driver pends a watched request and completes it later, the completion routine
// carries the pending mark up so the I/O manager sees a consistent request.
TEST_F(BusFilter, PendedStartAndResourceQueryCompleteLater)
{
    addBusFilter();
    lower->setDefault({STATUS_SUCCESS, 0, true});
    auto start = sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_START_DEVICE, [](PIO_STACK_LOCATION s) {
        s->Parameters.StartDevice.AllocatedResources = someResources();
    });
    auto query = sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES);
    EXPECT_EQ(start.returned, STATUS_PENDING);
    EXPECT_EQ(query.returned, STATUS_PENDING);
    EXPECT_FALSE(kernel.isCompleted(start.irp));
    kernel.drain();
    EXPECT_TRUE(kernel.isCompleted(start.irp));
    EXPECT_TRUE(kernel.isCompleted(query.irp));
    EXPECT_TRUE(start.irp->PendingReturned);
    IoFreeIrp(start.irp);
    IoFreeIrp(query.irp);
    lower->setDefault({});
    removeBusFilter();
}

// Relations queries of every type, requirement filtering and the rest of the PnP minors go down
// with the stack location as the sender filled it, and their status comes back unchanged.
TEST_F(BusFilter, OtherRequestsPassUntouched)
{
    addBusFilter();
    struct Case {
        UCHAR minor;
        DEVICE_RELATION_TYPE relations;
    };
    const Case cases[] = {
        {IRP_MN_QUERY_DEVICE_RELATIONS, EjectionRelations},
        {IRP_MN_QUERY_DEVICE_RELATIONS, RemovalRelations},
        {IRP_MN_QUERY_DEVICE_RELATIONS, TargetDeviceRelation},
        {IRP_MN_FILTER_RESOURCE_REQUIREMENTS, BusRelations},
        {IRP_MN_QUERY_CAPABILITIES, BusRelations},
        {IRP_MN_QUERY_ID, BusRelations},
        {IRP_MN_STOP_DEVICE, BusRelations},
        {IRP_MN_CANCEL_STOP_DEVICE, BusRelations},
        {IRP_MN_SURPRISE_REMOVAL, BusRelations},
    };
    for (const auto& c : cases) {
        lower->script(IRP_MJ_PNP, c.minor, {STATUS_SUCCESS, 0x1234});
        auto sent = sendRequest(kernel, pdo, IRP_MJ_PNP, c.minor, [&](PIO_STACK_LOCATION s) {
            s->Parameters.QueryDeviceRelations.Type = c.relations;
        });
        EXPECT_EQ(sent.returned, STATUS_SUCCESS);
        EXPECT_EQ(sent.irp->IoStatus.Information, 0x1234u);
        const auto& seen = lastReceived().stack;
        EXPECT_EQ(seen.MinorFunction, c.minor);
        EXPECT_EQ(seen.Parameters.QueryDeviceRelations.Type, c.relations);
        EXPECT_EQ(seen.CompletionRoutine, nullptr) << int(c.minor);
        IoFreeIrp(sent.irp);
    }
    removeBusFilter();
}

// A bus filter never vetoes: whatever the lower drivers answer a query-remove or query-stop with
// is what the PnP manager gets.
TEST_F(BusFilter, QueryRemoveAndStopAreAnsweredBelow)
{
    addBusFilter();
    for (UCHAR minor : {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE}) {
        for (NTSTATUS answer : {STATUS_SUCCESS, STATUS_DEVICE_BUSY, STATUS_UNSUCCESSFUL}) {
            lower->script(IRP_MJ_PNP, minor, {answer});
            auto sent = sendRequest(kernel, pdo, IRP_MJ_PNP, minor);
            EXPECT_EQ(sent.returned, answer);
            EXPECT_EQ(sent.irp->IoStatus.Status, answer);
            IoFreeIrp(sent.irp);
        }
    }
    removeBusFilter();
}

// With an empty child list the bus filter detaches and deletes itself before the request
// reaches the bus driver, which still receives it.
TEST_F(BusFilter, RemovalWithNoChildrenLeavesBeforeTheRequestGoesDown)
{
    addBusFilter();
    setLevels(4, 0);
    kernel.clearDebugOutput();
    PDEVICE_OBJECT removed = filter;
    bool sawRemoval = false;
    lower->onRequest = [&](PIRP, PIO_STACK_LOCATION s) {
        if (s->MinorFunction != IRP_MN_REMOVE_DEVICE) return;
        sawRemoval = true;
        EXPECT_EQ(pdo->AttachedDevice, nullptr);
        EXPECT_FALSE(kernel.isLiveDevice(removed));
    };
    auto sent = sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(sawRemoval);
    EXPECT_EQ(sent.returned, STATUS_SUCCESS);
    const std::vector<std::string> expected = {
        "HotpBusDispatchPnp: DevObj 0x" + hex(removed) + " IRP 0x2\n",
        "HotpBusDispatchPnp - BusFilter " + hex(removed) + " detached from PDO " + hex(pdo) +
            " (Immediate " + hex(pdo) + ")\n",
    };
    EXPECT_EQ(kernel.debugOutput(), expected);
    IoFreeIrp(sent.irp);
}

// While children are listed, removal passes down and the bus filter stays attached with its list.
TEST_F(BusFilter, RemovalWithChildrenKeepsTheFilter)
{
    addBusFilter();
    setLevels(4, 0);
    bus->ChildDeviceCount = 2;
    kernel.clearDebugOutput();
    auto sent = sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
    // A device object that outlives its removal is a fault the verifier reports at the removal.
    expectViolations({"removal without detach and delete"});
    EXPECT_EQ(sent.returned, STATUS_SUCCESS);
    EXPECT_EQ(lastReceived().stack.MinorFunction, IRP_MN_REMOVE_DEVICE);
    EXPECT_TRUE(kernel.isLiveDevice(filter));
    EXPECT_EQ(pdo->AttachedDevice, filter);
    EXPECT_EQ(bus->ChildDeviceCount, 2);
    EXPECT_EQ(kernel.debugOutput().size(), 1u);
    IoFreeIrp(sent.irp);
    removeBusFilter();
}

struct TraceCase {
    ULONG print;
    ULONG brk;
    size_t lines;
    size_t breaks;
};

// One request of each traced kind at several level pairs: the entry line prints from level 3,
// the second line of a resource query, a requirements filter and a removal from level 4; breaks
// follow the break level alone.
TEST_F(BusFilter, TraceLinesFollowPrintAndBreakLevelsIndependently)
{
    const TraceCase cases[] = {
        {0, 0, 0, 0}, {3, 0, 3, 0}, {4, 0, 6, 0}, {0, 3, 0, 3}, {0, 4, 0, 6}, {3, 4, 3, 6},
        {2, 2, 0, 0},
    };
    for (const auto& c : cases) {
        addBusFilter();
        setLevels(c.print, c.brk);
        kernel.clearDebugOutput();
        for (UCHAR minor : {IRP_MN_QUERY_RESOURCES, IRP_MN_FILTER_RESOURCE_REQUIREMENTS}) {
            IoFreeIrp(sendRequest(kernel, pdo, IRP_MJ_PNP, minor).irp);
        }
        PDEVICE_OBJECT removed = filter;
        removeBusFilter();
        EXPECT_EQ(kernel.debugOutput().size(), c.lines) << c.print << "/" << c.brk;
        EXPECT_EQ(kernel.breakpoints().size(), c.breaks) << c.print << "/" << c.brk;
        if (c.print == 4) {
            const std::vector<std::string> expected = {
                "HotpBusDispatchPnp: DevObj 0x" + hex(removed) + " IRP 0xa\n",
                "HotpBusDispatchPnp: IRP_MN_QUERY_RESOURCES to " + hex(removed, 8) + "\n",
                "HotpBusDispatchPnp: DevObj 0x" + hex(removed) + " IRP 0xd\n",
                "HotpBusDispatchPnp: IRP_MN_FILTER_RESOURCE_REQUIREMENTS to " + hex(removed, 8) +
                    "\n",
                "HotpBusDispatchPnp: DevObj 0x" + hex(removed) + " IRP 0x2\n",
                "HotpBusDispatchPnp - BusFilter " + hex(removed) + " detached from PDO " +
                    hex(pdo) + " (Immediate " + hex(pdo) + ")\n",
            };
            EXPECT_EQ(kernel.debugOutput(), expected);
        }
        lower.emplace(kernel);
    }
}

TEST_F(BusFilter, RelationsQueryEntryLineEndsInTheMinorCode)
{
    addBusFilter();
    setLevels(3, 0);
    kernel.clearDebugOutput();
    IoFreeIrp(sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS).irp);
    ASSERT_EQ(kernel.debugOutput().size(), 1u);
    EXPECT_EQ(kernel.debugOutput()[0], "HotpBusDispatchPnp: DevObj 0x" + hex(filter) + " IRP 0x7\n");
    removeBusFilter();
}

}  // namespace
}  // namespace hotp::test
