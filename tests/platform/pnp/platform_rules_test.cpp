// The rules the platform beneath the kernel enforces for the drivers above it: the bus driver's
// standard interface, held by reference, and the PnP manager's requirement that every request it
// sends comes back. Each wrong use by a test driver is caught; the right use passes unremarked.
#include <gtest/gtest.h>

#include "platform_fixture.hpp"

#include <functional>

namespace {

using pci::Function;

// A filter on every function of the root bus that strands or answers the start request.
struct StartFilter {
    static inline bool strand = false;
    static inline PIRP stranded = nullptr;

    struct Extension {
        PDEVICE_OBJECT lower;
    };

    static NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
    {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status =
            IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE,
                           &device);
        if (!NT_SUCCESS(status)) return status;
        static_cast<Extension*>(device->DeviceExtension)->lower =
            IoAttachDeviceToDeviceStack(device, pdo);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        PDEVICE_OBJECT lower = static_cast<Extension*>(device->DeviceExtension)->lower;
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->MajorFunction == IRP_MJ_POWER) {
            PoStartNextPowerIrp(irp);
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(lower, irp);
        }
        if (strand && stack->MinorFunction == IRP_MN_START_DEVICE) {
            IoMarkIrpPending(irp);
            stranded = irp;
            return STATUS_PENDING;
        }
        const bool remove = stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (remove) {
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    }
};

// The shared platform with one network controller at 03.0 and, when asked, the start filter on
// every function.
class PlatformRules : public hotp::test::Platform {
protected:
    PlatformRules()
    {
        StartFilter::strand = false;
        StartFilter::stranded = nullptr;
        filterDriver = kernel.createDriverObject(u"\\Driver\\StartFilter");
        for (auto& major : filterDriver->MajorFunction) major = StartFilter::dispatch;
        filterDriver->DriverExtension->AddDevice = StartFilter::addDevice;
        hw.root().place(3, 0, Function::device(0x1AB0, 0x0003, 0x02, 0x00, 0, {}));
    }

    void boot(bool withFilter)
    {
        if (withFilter) filterEverywhere = filterDriver;
        Platform::boot();
    }

    // The first function's standard bus interface, with its one reference.
    BUS_INTERFACE_STANDARD busInterface()
    {
        return Platform::busInterface(*manager->root()->children.front());
    }

    void expectRules(const std::vector<std::string>& rules)
    {
        auto violations = kernel.takeViolations();
        std::vector<std::string> seen;
        for (const auto& v : violations) seen.push_back(v.rule);
        EXPECT_EQ(seen, rules) << hotp::test::describe(violations);
    }

    PDRIVER_OBJECT filterDriver = nullptr;
};

struct InterfaceUse {
    const char* name;
    std::function<void(BUS_INTERFACE_STANDARD&)> use;
    std::vector<std::string> rules;
    // Used again once the function has been pulled out and its bus enumerated without it.
    std::function<void(BUS_INTERFACE_STANDARD&)> afterRemoval = nullptr;
};

void PrintTo(const InterfaceUse& u, std::ostream* os) { *os << u.name; }

void read(BUS_INTERFACE_STANDARD& i)
{
    ULONG ids = 0;
    i.GetBusData(i.Context, PCI_WHICHSPACE_CONFIG, &ids, 0, sizeof ids);
}
void write(BUS_INTERFACE_STANDARD& i)
{
    UCHAR latency = 0x40;
    i.SetBusData(i.Context, PCI_WHICHSPACE_CONFIG, &latency, 0x0D, 1);
}
void release(BUS_INTERFACE_STANDARD& i) { i.InterfaceDereference(i.Context); }

const InterfaceUse kInterfaceUses[] = {
    {"UsedThenReleased", [](auto& i) { read(i), write(i), release(i); }, {}},
    {"ReferencedTwiceReleasedTwice",
     [](auto& i) { i.InterfaceReference(i.Context), release(i), read(i), release(i); }, {}},
    {"ReleasedTwice", [](auto& i) { release(i), release(i); }, {"interface released too often"}},
    {"ReadAfterRelease", [](auto& i) { release(i), read(i); },
     {"bus interface used after it was dereferenced"}},
    {"WrittenAfterRelease", [](auto& i) { release(i), write(i); },
     {"bus interface used after it was dereferenced"}},
    {"ReadAfterReleaseAndRemoval", release, {"bus interface used after it was dereferenced"}, read},
    {"ReleasedAgainAfterRemoval", release, {"interface released too often"}, release},
};

class BusInterfaceRules : public PlatformRules,
                          public ::testing::WithParamInterface<InterfaceUse> {};

TEST_P(BusInterfaceRules, CatchesTheWrongUse)
{
    boot(false);
    BUS_INTERFACE_STANDARD iface = busInterface();
    ASSERT_NE(iface.GetBusData, nullptr);
    GetParam().use(iface);
    if (GetParam().afterRemoval) {
        hw.root().remove(3);
        manager->enumerate(*manager->root());
        GetParam().afterRemoval(iface);
    }
    expectRules(GetParam().rules);
}

INSTANTIATE_TEST_SUITE_P(Rules, BusInterfaceRules, ::testing::ValuesIn(kInterfaceUses),
                         hotp::test::ByName());

// A filter that never completes the start it was sent is reported by the PnP manager, and the
// device does not start; a filter that passes it on is not.
class StartRules : public PlatformRules, public ::testing::WithParamInterface<bool> {};

TEST_P(StartRules, RequestNeverCompletedIsCaught)
{
    const bool strand = GetParam();
    StartFilter::strand = strand;
    boot(true);
    pnp::DeviceNode* node = manager->root()->children.front().get();
    EXPECT_EQ(node->state == pnp::DeviceNode::State::Started, !strand) << node->problem;
    expectRules(strand ? std::vector<std::string>{"request never completed"}
                       : std::vector<std::string>{});
    // The stranded start is finished late, so that the stack can be taken down.
    if (StartFilter::stranded != nullptr) {
        StartFilter::strand = false;
        IoCompleteRequest(StartFilter::stranded, IO_NO_INCREMENT);
        StartFilter::stranded = nullptr;
    }
}

INSTANTIATE_TEST_SUITE_P(Filter, StartRules, ::testing::Bool(),
                         [](const auto& param) {
                             return std::string(param.param ? "Strands" : "Passes");
                         });

}  // namespace
