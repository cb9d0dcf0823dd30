// The platform beneath the filters, without the driver: the PCI bus driver under the PnP
// manager on a small hand-built machine, with a recording upper filter that tests can put on
// any node. Every test ends with the verifier clean, no interface reference held and no two
// bridges claiming one configuration cycle.
#pragma once

#include <gtest/gtest.h>

#include <machine_fixture.hpp>
#include <pcibus/bus_driver.hpp>
#include <nt/variable_length.hpp>
#include <pnp/manager.hpp>

#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace hotp::test {

// An upper filter that passes every request down and records what it saw: the request and the
// IRQL it arrived at. It says its power handling is pageable (DO_POWER_PAGABLE) only when told
// to, and its power routine can be made pageable code, as a wrong driver's would be.
class RecordingFilter {
public:
    struct Seen {
        UCHAR major, minor;
        KIRQL irql;
        POWER_STATE_TYPE powerType;  // set-power requests only
        ULONG powerState;
    };

    explicit RecordingFilter(nt::Kernel& kernel)
        : driver_(kernel.createDriverObject(u"\\Driver\\recorder"))
    {
        for (auto& major : driver_->MajorFunction) major = dispatch;
        driver_->DriverExtension->AddDevice = addDevice;
        current() = this;
    }
    ~RecordingFilter()
    {
        if (current() == this) current() = nullptr;
    }

    PDRIVER_OBJECT driverObject() const { return driver_; }

    std::vector<Seen> seen;
    bool pageablePower = false;
    bool pageableCodeInPower = false;
    // When set, the first descriptors of the requirements it filters get these options and
    // lengths (and alignments), as a filter that raises them.
    std::vector<std::pair<UCHAR, ULONG>> requirements;

private:
    struct Extension {
        PDEVICE_OBJECT lower;
    };

    static RecordingFilter*& current()
    {
        static thread_local RecordingFilter* filter = nullptr;
        return filter;
    }

    static NTSTATUS NTAPI addDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo)
    {
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status = IoCreateDevice(driver, sizeof(Extension), nullptr, FILE_DEVICE_UNKNOWN,
                                         0, FALSE, &device);
        if (!NT_SUCCESS(status)) return status;
        auto* extension = static_cast<Extension*>(device->DeviceExtension);
        extension->lower = IoAttachDeviceToDeviceStack(device, pdo);
        if (current()->pageablePower) device->Flags |= DO_POWER_PAGABLE;
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        return STATUS_SUCCESS;
    }

    static NTSTATUS NTAPI power(PDEVICE_OBJECT device, PIRP irp)
    {
        if (current()->pageableCodeInPower) PAGED_CODE();
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(static_cast<Extension*>(device->DeviceExtension)->lower, irp);
    }

    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        Seen seen{stack->MajorFunction, stack->MinorFunction, KeGetCurrentIrql(), {}, 0};
        if (stack->MajorFunction == IRP_MJ_POWER && stack->MinorFunction == IRP_MN_SET_POWER) {
            seen.powerType = stack->Parameters.Power.Type;
            seen.powerState = stack->Parameters.Power.Type == SystemPowerState
                                  ? static_cast<ULONG>(stack->Parameters.Power.State.SystemState)
                                  : static_cast<ULONG>(stack->Parameters.Power.State.DeviceState);
        }
        current()->seen.push_back(seen);
        if (stack->MajorFunction == IRP_MJ_POWER) return power(device, irp);
        if (stack->MajorFunction == IRP_MJ_PNP &&
            stack->MinorFunction == IRP_MN_FILTER_RESOURCE_REQUIREMENTS) {
            auto* list = stack->Parameters.FilterResourceRequirements.IoResourceRequirementList;
            for (size_t i = 0; i < current()->requirements.size(); ++i) {
                IO_RESOURCE_DESCRIPTOR* d = nt::descriptorAt(nt::firstAlternative(list), i);
                std::tie(d->Option, d->u.Memory.Length) = current()->requirements[i];
                d->u.Memory.Alignment = d->u.Memory.Length;
            }
        }
        PDEVICE_OBJECT lower = static_cast<Extension*>(device->DeviceExtension)->lower;
        const bool remove = stack->MajorFunction == IRP_MJ_PNP &&
                            stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (remove) {
            IoDetachDevice(lower);
            IoDeleteDevice(device);
        }
        return status;
    }

    PDRIVER_OBJECT driver_;
};

class Platform : public ::testing::Test {
protected:
    Platform() : bus(kernel, hw), generic(kernel), recorder(kernel)
    {
        hw.onConflict = [this](const std::string& text) { conflicts.push_back(text); };
    }

    void TearDown() override
    {
        if (manager) manager->shutdown();
        auto leaks = bus.leaks();
        EXPECT_TRUE(leaks.empty()) << describe(leaks);
        manager.reset();
        auto violations = kernel.takeViolations();
        EXPECT_TRUE(violations.empty()) << describe(violations);
        EXPECT_TRUE(conflicts.empty()) << describe(conflicts);
    }

    void boot()
    {
        pnp::DriverSetup setup;
        setup.functionDriver = [this](pnp::DeviceNode& node) -> PDRIVER_OBJECT {
            if (&node == manager->root()) return bus.driverObject();
            pcibus::FunctionNode* f = bus.function(node.pdo);
            return f != nullptr && f->isBridge() ? bus.driverObject() : generic.driverObject();
        };
        setup.upperFilters = [this](pnp::DeviceNode& node) {
            std::vector<PDRIVER_OBJECT> filters;
            if (node.name == recordOn) filters.push_back(recorder.driverObject());
            if (filterEverywhere != nullptr && &node != manager->root()) {
                filters.push_back(filterEverywhere);
            }
            return filters;
        };
        setup.isBus = [this](pnp::DeviceNode& node) {
            pcibus::FunctionNode* f = bus.function(node.pdo);
            return f != nullptr && f->isBridge();
        };
        setup.describe = [this](PDEVICE_OBJECT pdo) {
            pcibus::FunctionNode* f = bus.function(pdo);
            return f != nullptr ? f->location() : std::string("?");
        };
        setup.whyNotStarted = [this](pnp::DeviceNode& node) { return bus.problem(node.pdo); };
        manager = std::make_unique<pnp::Manager>(kernel, setup);
        manager->onEvent = [this](const pnp::Event& e) { events.push_back(e.text); };
        manager->boot({{CmResourceTypePort, 0, 0x1000, 0xF000},
                       {CmResourceTypeMemory, 0, 0xE0000000, 0x10000000},
                       {CmResourceTypeMemory, CM_RESOURCE_MEMORY_PREFETCHABLE, 0xC0000000,
                        0x20000000}});
    }

    // A function's standard bus interface, asked of its physical device object as a filter asks
    // for it; it comes with one reference.
    BUS_INTERFACE_STANDARD busInterface(pnp::DeviceNode& node)
    {
        BUS_INTERFACE_STANDARD iface{};
        PIRP irp = kernel.allocateIrp(node.pdo->StackSize);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION s = irp->Tail.Overlay.CurrentStackLocation - 1;
        s->MajorFunction = IRP_MJ_PNP;
        s->MinorFunction = IRP_MN_QUERY_INTERFACE;
        s->Parameters.QueryInterface.InterfaceType = &GUID_BUS_INTERFACE_STANDARD;
        s->Parameters.QueryInterface.Size = sizeof(BUS_INTERFACE_STANDARD);
        s->Parameters.QueryInterface.Version = 1;
        s->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&iface);
        EXPECT_EQ(IofCallDriver(node.pdo, irp), STATUS_SUCCESS);
        IoFreeIrp(irp);
        return iface;
    }

    pnp::DeviceNode* node(const std::string& location)
    {
        for (pnp::DeviceNode* n : manager->nodes()) {
            if (n->name == location) return n;
        }
        return nullptr;
    }

    nt::Kernel kernel;
    pci::Hierarchy hw;
    pcibus::PciBusDriver bus;
    pcibus::GenericFunctionDriver generic;
    RecordingFilter recorder;
    std::string recordOn;  // the node the recording filter joins
    PDRIVER_OBJECT filterEverywhere = nullptr;  // a filter on every function, when set
    std::unique_ptr<pnp::Manager> manager;
    std::vector<std::string> events;
    std::vector<std::string> conflicts;
};

}  // namespace hotp::test
