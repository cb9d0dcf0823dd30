#include "first_machine.hpp"

#include <cstdio>
#include <optional>
#include <vector>

namespace hotpsim {

namespace {

std::string hex32(uintptr_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(value & 0xFFFFFFFFu));
    return text;
}

std::string pointer(const void* p) { return hex32(reinterpret_cast<uintptr_t>(p)); }

std::string status(NTSTATUS s)
{
    switch (s) {
    case STATUS_SUCCESS: return "STATUS_SUCCESS";
    case STATUS_PENDING: return "STATUS_PENDING";
    case STATUS_NOT_SUPPORTED: return "STATUS_NOT_SUPPORTED";
    case STATUS_INSUFFICIENT_RESOURCES: return "STATUS_INSUFFICIENT_RESOURCES";
    case STATUS_INVALID_DEVICE_REQUEST: return "STATUS_INVALID_DEVICE_REQUEST";
    default: return "0x" + hex32(static_cast<ULONG>(s));
    }
}

std::string minorName(UCHAR major, UCHAR minor)
{
    if (major == IRP_MJ_POWER) {
        switch (minor) {
        case IRP_MN_SET_POWER: return "IRP_MN_SET_POWER";
        case IRP_MN_QUERY_POWER: return "IRP_MN_QUERY_POWER";
        default: return "power minor " + std::to_string(minor);
        }
    }
    switch (minor) {
    case IRP_MN_START_DEVICE: return "IRP_MN_START_DEVICE";
    case IRP_MN_REMOVE_DEVICE: return "IRP_MN_REMOVE_DEVICE";
    case IRP_MN_QUERY_DEVICE_RELATIONS: return "IRP_MN_QUERY_DEVICE_RELATIONS";
    case IRP_MN_QUERY_RESOURCES: return "IRP_MN_QUERY_RESOURCES";
    case IRP_MN_QUERY_REMOVE_DEVICE: return "IRP_MN_QUERY_REMOVE_DEVICE";
    default: return "PnP minor " + std::to_string(minor);
    }
}

class FirstMachine {
public:
    FirstMachine(const Options& options, const std::function<void(const std::string&)>& out)
        : options_(options), out_(out)
    {
        kernel_.onDebugPrint = [this](const std::string& line) {
            std::string text = line;
            if (!text.empty() && text.back() == '\n') text.pop_back();
            out_("    trace   " + text);
        };
        kernel_.onBreakpoint = [this] { out_("    break   DbgBreakPoint (recorded, not stopped)"); };
    }

    int play()
    {
        out_("hotpsim: one bus device with hotpflt installed as a filter on its stack");
        driver_.emplace(kernel_.loadDriver(options_.driverPath, u"\\Driver\\hotpflt"));
        out_("load      \\Driver\\hotpflt from " + options_.driverPath + ": DriverEntry -> " +
             status(driver_->entryStatus));
        nt::Debugger debugger(*driver_);
        debugger.set("HotpDebugPrintLevel", options_.traceLevel);
        debugger.set("HotpDebugBreakLevel", options_.breakLevel);
        out_("debugger  HotpDebugPrintLevel = " + std::to_string(options_.traceLevel) +
             ", HotpDebugBreakLevel = " + std::to_string(options_.breakLevel));

        bus_.emplace(kernel_, u"\\Driver\\pci");
        pdo_ = bus_->createDevice();
        out_("enumerate bus device: physical device object " + pointer(pdo_) +
             " of \\Driver\\pci (a scripted bus driver)");
        bus_->onRequest = [](PIRP irp, PIO_STACK_LOCATION stack) {
            // The bus reports an empty list of children.
            if (stack->MajorFunction == IRP_MJ_PNP &&
                stack->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
                stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
                auto* relations = static_cast<PDEVICE_RELATIONS>(
                    ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 0x20696350));
                relations->Count = 0;
                relations->Objects[0] = nullptr;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            }
        };

        PDRIVER_OBJECT object = driver_->object;
        out_("add       AddDevice(" + pointer(object) + ", " + pointer(pdo_) + ")");
        NTSTATUS added = object->DriverExtension->AddDevice(object, pdo_);
        out_("          -> " + status(added));
        printStack();

        resources_.assign(8, 0);
        send(IRP_MJ_PNP, IRP_MN_START_DEVICE, [this](PIO_STACK_LOCATION s) {
            s->Parameters.StartDevice.AllocatedResources =
                reinterpret_cast<PCM_RESOURCE_LIST>(resources_.data());
        });
        send(IRP_MJ_PNP, IRP_MN_QUERY_RESOURCES, [](PIO_STACK_LOCATION) {});
        send(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS, [](PIO_STACK_LOCATION s) {
            s->Parameters.QueryDeviceRelations.Type = BusRelations;
        });
        for (DEVICE_POWER_STATE state : {PowerDeviceD3, PowerDeviceD0}) {
            send(IRP_MJ_POWER, IRP_MN_SET_POWER, [state](PIO_STACK_LOCATION s) {
                s->Parameters.Power.Type = DevicePowerState;
                s->Parameters.Power.State.DeviceState = state;
            });
        }
        send(IRP_MJ_PNP, IRP_MN_QUERY_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
        send(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, [](PIO_STACK_LOCATION) {});
        printStack();
        return finish();
    }

private:
    template <typename Fill>
    void send(UCHAR major, UCHAR minor, Fill fill)
    {
        PDEVICE_OBJECT top = pdo_;
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
        std::string name = major == IRP_MJ_POWER ? "IRP_MJ_POWER" : "IRP_MJ_PNP";
        out_("request   " + name + " " + minorName(major, minor) + " to " + pointer(top));
        PIRP irp = kernel_.allocateIrp(top->StackSize);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
        stack->MajorFunction = major;
        stack->MinorFunction = minor;
        fill(stack);
        NTSTATUS returned = kernel_.sendToStack(pdo_, irp);
        kernel_.drain();
        std::string line = "          -> " + status(returned);
        if (returned == STATUS_PENDING) line += ", completed " + status(irp->IoStatus.Status);
        out_(line);
        if (major == IRP_MJ_PNP && minor == IRP_MN_QUERY_DEVICE_RELATIONS &&
            irp->IoStatus.Information != 0) {
            auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
            out_("          bus relations: " + std::to_string(relations->Count) + " devices");
            ExFreePool(relations);
        }
        IoFreeIrp(irp);
    }

    void printStack()
    {
        out_("stack     of the bus device, top first:");
        std::vector<PDEVICE_OBJECT> stack;
        for (PDEVICE_OBJECT d = pdo_; d != nullptr; d = d->AttachedDevice) stack.push_back(d);
        for (auto it = stack.rbegin(); it != stack.rend(); ++it) {
            PDEVICE_OBJECT d = *it;
            std::string role = d == pdo_ ? "physical device object" : "filter";
            std::string name = nt::narrow(std::u16string(
                d->DriverObject->DriverName.Buffer,
                d->DriverObject->DriverName.Length / sizeof(WCHAR)));
            out_("          " + pointer(d) + "  " + name + "  " + role + ", stack size " +
                 std::to_string(d->StackSize));
        }
    }

    int finish()
    {
        bus_.reset();
        auto violations = kernel_.takeViolations();
        auto leaks = kernel_.leaks();
        for (const auto& v : violations) out_("verifier  " + v.rule + ": " + v.detail);
        for (const auto& l : leaks) out_("leak      " + l);
        if (violations.empty() && leaks.empty()) {
            out_("verifier  clean: no rule broken, nothing leaked");
            return 0;
        }
        return 1;
    }

    const Options& options_;
    const std::function<void(const std::string&)>& out_;
    nt::Kernel kernel_;
    std::optional<nt::LoadedDriver> driver_;
    std::optional<nt::ScriptedDriver> bus_;
    PDEVICE_OBJECT pdo_ = nullptr;
    std::vector<uint64_t> resources_;
};

}  // namespace

int playFirstMachine(const Options& options, const std::function<void(const std::string&)>& out)
{
    FirstMachine machine(options, out);
    return machine.play();
}

}  // namespace hotpsim
