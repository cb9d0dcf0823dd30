// The requirements filter and the hierarchy scan of the bus filter, on arbitrary hierarchies and
// arbitrary requirement lists. The input decides the bridges above the target and everything
// behind it (functions, header kinds, BAR kinds and sizes, bus numbers firmware left or got
// wrong, stray register values), then the list the PnP manager hands down. The driver runs on
// the real bus driver and hardware model with the verifier on; any violation, leak, or a request
// that comes back other than untouched or properly replaced stops the run.
#include <bridge/scan_record.h>
#include <frame/routines.h>
#include <nt/kernel.hpp>
#include <nt/variable_length.hpp>
#include <nt/scripted.hpp>
#include <pci/hardware.hpp>
#include <pcibus/bus_driver.hpp>

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr ULONG kListTag = 0x7473694C;  // "List": the list the PnP manager hands down
constexpr unsigned kMaxFunctions = 16;  // behind the target, over all levels
constexpr unsigned kMaxDepth = 4;

[[noreturn]] void fail(const std::string& what)
{
    std::fprintf(stderr, "%s\n", what.c_str());
    std::abort();
}

class Builder {
public:
    explicit Builder(FuzzedDataProvider& in) : in_(in) {}

    // Functions on `bus`; bridges get a bus of their own, filled the same way one level down.
    void fill(pci::Bus& bus, unsigned depth)
    {
        const unsigned count = in_.ConsumeIntegralInRange<unsigned>(0, 6);
        for (unsigned i = 0; i < count && placed_ < kMaxFunctions && in_.remaining_bytes() > 0;
             ++i) {
            const unsigned device = in_.ConsumeIntegralInRange<unsigned>(0, 31);
            const unsigned fn = in_.ConsumeBool() ? 0 : in_.ConsumeIntegralInRange<unsigned>(1, 7);
            if (bus.function(device, fn) != nullptr) continue;
            const unsigned kind = in_.ConsumeIntegralInRange<unsigned>(0, 9);
            std::unique_ptr<pci::Function> f;
            if (kind < 6 || depth >= kMaxDepth) {
                f = pci::Function::device(0x1AB0, 0x0500, in_.ConsumeIntegral<uint8_t>(),
                                          in_.ConsumeIntegral<uint8_t>(), 0, bars());
            } else if (kind < 9) {
                f = pci::Function::bridge(0x1AB0, 0x0400, in_.ConsumeBool(), in_.ConsumeBool());
            } else {
                f = pci::Function::cardBus(0x1AB0, 0x0700);
            }
            ++placed_;
            pci::Function* placedFunction = f.get();
            bus.place(device, fn, std::move(f));
            if (fn != 0 && bus.function(device, 0) != nullptr && in_.ConsumeBool()) {
                bus.function(device, 0)->setMultiFunction(true);
            }
            if (placedFunction->isBridge()) {
                // Bus numbers as firmware left them: mostly none, sometimes stale or overlapping.
                if (in_.ConsumeIntegralInRange<unsigned>(0, 3) == 0) {
                    placedFunction->write(0x18, 3, in_.ConsumeIntegral<uint32_t>() & 0xFFFFFF);
                }
                if (placedFunction->header() == pci::HeaderKind::Bridge) {
                    fill(*placedFunction->secondary(), depth + 1);
                }
            }
            strayRegisters(*placedFunction);
        }
    }

    // Registers a misbehaving function or firmware left: command, BARs, bus numbers; and, as
    // hard-wired values, identifiers, class code and header type that disagree with the header
    // the function really has.
    void strayRegisters(pci::Function& f)
    {
        const unsigned count = in_.ConsumeIntegralInRange<unsigned>(0, 2);
        static const unsigned offsets[] = {0x04, 0x10, 0x14, 0x18, 0x1A, 0x1C, 0x20, 0x24, 0x0C};
        static const unsigned wired[] = {0x00, 0x08, 0x0E};
        for (unsigned i = 0; i < count; ++i) {
            if (in_.ConsumeIntegralInRange<unsigned>(0, 7) == 0) {
                const unsigned offset = in_.PickValueInArray(wired);
                f.poke(offset, offset == 0x0E ? 1 : 4, in_.ConsumeIntegral<uint32_t>());
                continue;
            }
            const unsigned offset = in_.PickValueInArray(offsets);
            f.write(offset, offset == 0x1A ? 1 : 4, in_.ConsumeIntegral<uint32_t>());
        }
    }

    std::vector<pci::Bar> bars()
    {
        std::vector<pci::Bar> out;
        const unsigned count = in_.ConsumeIntegralInRange<unsigned>(0, 6);
        while (out.size() < count) {
            pci::Bar bar;
            switch (in_.ConsumeIntegralInRange<unsigned>(0, 3)) {
            case 0:
                break;
            case 1:
                bar.kind = pci::Bar::Kind::Io;
                bar.size = uint64_t{1} << in_.ConsumeIntegralInRange<unsigned>(2, 8);
                bar.ioUpperZero = in_.ConsumeBool();
                break;
            case 2:
                bar.kind = pci::Bar::Kind::Memory32;
                bar.size = uint64_t{1} << in_.ConsumeIntegralInRange<unsigned>(4, 31);
                bar.prefetchable = in_.ConsumeBool();
                break;
            default:
                if (out.size() + 2 > 6) continue;
                bar.kind = pci::Bar::Kind::Memory64;
                bar.size = uint64_t{1} << in_.ConsumeIntegralInRange<unsigned>(4, 40);
                bar.prefetchable = in_.ConsumeBool();
                out.push_back(bar);
                out.push_back(pci::Bar{});  // its upper half
                continue;
            }
            out.push_back(bar);
        }
        return out;
    }

private:
    FuzzedDataProvider& in_;
    unsigned placed_ = 0;
};

// A requirements list as the bus driver would hand it down for the target, with arbitrary
// descriptors, and counts that sometimes disagree with the bytes the list really has.
std::vector<uint8_t> requirementList(FuzzedDataProvider& in, unsigned bus, ULONG slot)
{
    constexpr size_t header = offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List);
    constexpr size_t alternativeHeader = offsetof(IO_RESOURCE_LIST, Descriptors);
    std::vector<uint8_t> bytes(header);
    const unsigned alternatives = in.ConsumeIntegralInRange<unsigned>(0, 3);
    static const UCHAR types[] = {CmResourceTypePort,   CmResourceTypeMemory,
                                  CmResourceTypeInterrupt, CmResourceTypeBusNumber,
                                  UCHAR{0x81} /* device private */, CmResourceTypeNull};
    for (unsigned a = 0; a < alternatives; ++a) {
        const unsigned count = in.ConsumeIntegralInRange<unsigned>(0, 8);
        const size_t at = bytes.size();
        bytes.resize(at + alternativeHeader + count * sizeof(IO_RESOURCE_DESCRIPTOR));
        auto* list = reinterpret_cast<PIO_RESOURCE_LIST>(bytes.data() + at);
        list->Version = 1;
        list->Revision = 1;
        list->Count = in.ConsumeIntegralInRange<unsigned>(0, 15) == 0
                          ? in.ConsumeIntegral<ULONG>()
                          : count;
        for (unsigned i = 0; i < count; ++i) {
            IO_RESOURCE_DESCRIPTOR d{};
            d.Option = in.ConsumeIntegralInRange<UCHAR>(0, 3) == 0 ? in.ConsumeIntegral<UCHAR>()
                                                                   : 0;
            d.Type = in.ConsumeBool() ? in.PickValueInArray(types) : in.ConsumeIntegral<UCHAR>();
            d.ShareDisposition = CmResourceShareDeviceExclusive;
            d.Flags = in.ConsumeIntegral<USHORT>();
            d.u.Port.Length = in.ConsumeBool()
                                  ? ULONG{1} << in.ConsumeIntegralInRange<unsigned>(0, 31)
                                  : in.ConsumeIntegral<ULONG>();
            d.u.Port.Alignment = in.ConsumeIntegral<ULONG>();
            d.u.Port.MinimumAddress.QuadPart = in.ConsumeIntegral<int64_t>();
            d.u.Port.MaximumAddress.QuadPart = in.ConsumeIntegral<int64_t>();
            std::memcpy(bytes.data() + at + alternativeHeader + i * sizeof d, &d, sizeof d);
        }
    }
    if (bytes.size() < sizeof(IO_RESOURCE_REQUIREMENTS_LIST)) {
        bytes.resize(sizeof(IO_RESOURCE_REQUIREMENTS_LIST));
    }
    auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(bytes.data());
    list->ListSize = static_cast<ULONG>(bytes.size());
    list->InterfaceType = PCIBus;
    list->BusNumber = bus;
    list->SlotNumber = slot;
    list->AlternativeLists = in.ConsumeIntegralInRange<unsigned>(0, 15) == 0
                                 ? in.ConsumeIntegral<ULONG>()
                                 : alternatives;
    return bytes;
}

PIRP newRequest(nt::Kernel& kernel, PDEVICE_OBJECT device, UCHAR minor)
{
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    PIRP irp = kernel.allocateIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
    stack->MajorFunction = IRP_MJ_PNP;
    stack->MinorFunction = minor;
    return irp;
}

std::vector<PDEVICE_OBJECT> enumerate(nt::Kernel& kernel, PDEVICE_OBJECT busPdo)
{
    PIRP irp = newRequest(kernel, busPdo, IRP_MN_QUERY_DEVICE_RELATIONS);
    (irp->Tail.Overlay.CurrentStackLocation - 1)->Parameters.QueryDeviceRelations.Type =
        BusRelations;
    kernel.sendToStack(busPdo, irp);
    std::vector<PDEVICE_OBJECT> found;
    if (auto* list = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information)) {
        for (ULONG i = 0; i < list->Count; ++i) found.push_back(*nt::objectAt(list, i));
        ExFreePool(list);
    }
    IoFreeIrp(irp);
    return found;
}

void checkClean(nt::Kernel& kernel, const char* when)
{
    std::string problems;
    for (const nt::Violation& v : kernel.takeViolations()) {
        problems += "  verifier: " + v.rule + ": " + v.detail + "\n";
    }
    if (!problems.empty()) fail(std::string("broken rules ") + when + ":\n" + problems);
}

void run(FuzzedDataProvider& in)
{
    nt::Kernel kernel;
    // The driver is linked in: each input gets a fresh kernel and a fresh driver object, and
    // the entry routine runs as the loader runs it.
    PDRIVER_OBJECT driverObject = kernel.createDriverObject(u"\\Driver\\hotpflt");
    static std::u16string registryPath =
        u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\hotpflt";
    UNICODE_STRING registry{static_cast<USHORT>(registryPath.size() * 2),
                            static_cast<USHORT>(registryPath.size() * 2), registryPath.data()};
    if (DriverEntry(driverObject, &registry) != STATUS_SUCCESS) fail("DriverEntry failed");

    pci::Hierarchy hw;
    hw.onConflict = [](const std::string&) {};  // overlapping bus numbers are part of the input
    std::optional<nt::ScriptedDriver> enumerator(std::in_place, kernel, u"\\Driver\\root");
    std::optional<pcibus::PciBusDriver> pci(std::in_place, kernel, hw);

    // The bridges from the root bus down to the target, then the hierarchy behind the target.
    Builder builder(in);
    std::vector<unsigned> path;
    pci::Bus* bus = &hw.root();
    const unsigned above = in.ConsumeIntegralInRange<unsigned>(0, 3);
    pci::Function* target = nullptr;
    for (unsigned k = 0; k <= above; ++k) {
        path.push_back(in.ConsumeIntegralInRange<unsigned>(0, 31));
        bus->place(path.back(), 0, pci::Function::bridge(0x1AB0, 0x0400, in.ConsumeBool(),
                                                          in.ConsumeBool()));
        target = bus->function(path.back(), 0);
        if (in.ConsumeIntegralInRange<unsigned>(0, 3) == 0) {
            target->write(0x18, 3, in.ConsumeIntegral<uint32_t>() & 0xFFFFFF);
        }
        bus = target->secondary();
    }
    builder.fill(*bus, 0);
    if (in.ConsumeIntegralInRange<unsigned>(0, 7) == 0) builder.strayRegisters(*target);

    // The bus driver enumerates its way down the path; the bus filter joins the target's stack.
    PDRIVER_OBJECT busDriver = pci->driverObject();
    PDEVICE_OBJECT busPdo = enumerator->createDevice();
    if (busDriver->DriverExtension->AddDevice(busDriver, busPdo) != STATUS_SUCCESS) {
        fail("the bus driver did not take the root bus");
    }
    PDEVICE_OBJECT targetPdo = nullptr;
    for (size_t i = 0; i < path.size(); ++i) {
        PDEVICE_OBJECT next = nullptr;
        for (PDEVICE_OBJECT pdo : enumerate(kernel, busPdo)) {
            if (pci->function(pdo)->device == path[i] && pci->function(pdo)->function == 0) {
                next = pdo;
            }
        }
        if (next == nullptr) break;  // a path the bus driver cannot reach (bus numbers)
        if (i + 1 < path.size() &&
            busDriver->DriverExtension->AddDevice(busDriver, next) != STATUS_SUCCESS) {
            break;
        }
        busPdo = next;
        if (i + 1 == path.size()) targetPdo = next;
    }

    if (targetPdo != nullptr) {
        auto* addFilter = driverObject->DriverExtension->AddDevice;
        if (addFilter(driverObject, targetPdo) == STATUS_SUCCESS) {
            const unsigned targetBus = pci->function(targetPdo)->parent->number;
            const ULONG targetSlot = pci->function(targetPdo)->slotNumber();
            const std::vector<uint8_t> before = requirementList(in, targetBus, targetSlot);

            // The filter request as the PnP manager sends it, with the list in pool of exactly
            // its bytes.
            auto* old = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(
                kernel.allocatePool(PagedPool, before.size(), kListTag, false));
            std::memcpy(old, before.data(), before.size());
            PIRP irp = newRequest(kernel, targetPdo, IRP_MN_FILTER_RESOURCE_REQUIREMENTS);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(old);
            (irp->Tail.Overlay.CurrentStackLocation - 1)
                ->Parameters.FilterResourceRequirements.IoResourceRequirementList = old;
            kernel.sendToStack(targetPdo, irp);
            if (!kernel.isCompleted(irp)) fail("the filter request was not completed");
            auto* carried =
                reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
            if (carried == old) {
                if (irp->IoStatus.Status != STATUS_NOT_SUPPORTED) {
                    fail("an untouched list came back with a new status");
                }
                if (std::memcmp(carried, before.data(), before.size()) != 0) {
                    fail("the list was changed in place");
                }
            } else {
                if (carried == nullptr) fail("the list was lost");
                if (irp->IoStatus.Status != STATUS_SUCCESS) {
                    fail("a replaced list came back without success");
                }
                if (kernel.outstandingPool(kListTag) != 0) fail("the replaced list was not freed");
                const auto* was =
                    reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(before.data());
                // Each raised window may be followed by the fall-backs the arbiter tries: what
                // fits, then the bus driver's own descriptor, each marked an alternative.
                const ULONG count = was->List[0].Count;
                const ULONG now = carried->List[0].Count;
                if (now < count || now - count > 6 ||
                    carried->ListSize != before.size() +
                                             sizeof(IO_RESOURCE_DESCRIPTOR) *
                                                 (was->AlternativeLists + (now - count))) {
                    fail("the replacement's size does not match its descriptors");
                }
                ULONG j = 0;
                for (ULONG i = 0; i < count; ++i, ++j) {
                    const IO_RESOURCE_DESCRIPTOR* own = nt::descriptorAt(&was->List[0], i);
                    if (j >= now) fail("a descriptor was lost");
                    const IO_RESOURCE_DESCRIPTOR* got = nt::descriptorAt(&carried->List[0], j);
                    if (got->Type != own->Type || got->u.Port.Length < own->u.Port.Length) {
                        fail("a window was made smaller");
                    }
                    if (got->Option == own->Option) continue;
                    if (own->Option != 0 || got->Option != IO_RESOURCE_PREFERRED) {
                        fail("a descriptor's option was changed");
                    }
                    // The bus driver's own window comes back as the last fall-back.
                    IO_RESOURCE_DESCRIPTOR fallback = *own;
                    fallback.Option = IO_RESOURCE_ALTERNATIVE;
                    ULONG k = 1;
                    while (k <= 2 && j + k < now &&
                           std::memcmp(nt::descriptorAt(&carried->List[0], j + k), &fallback,
                                       sizeof fallback) != 0) {
                        ++k;
                    }
                    if (k > 2 || j + k >= now) fail("a raised window lost the bus driver's own");
                    j += k;
                }
                if (j != now) fail("descriptors were added that follow no raised window");
            }
            ExFreePool(carried);
            IoFreeIrp(irp);
            if (kernel.outstandingPool(HOTP_POOL_TAG) != 0) fail("the scan record was not freed");
            checkClean(kernel, "while filtering");

            PIRP remove = newRequest(kernel, targetPdo, IRP_MN_REMOVE_DEVICE);
            kernel.sendToStack(targetPdo, remove);
            IoFreeIrp(remove);
        }
    }
    pci.reset();
    enumerator.reset();
    checkClean(kernel, "at removal");
    const std::vector<std::string> leaks = kernel.leaks();
    if (!leaks.empty()) {
        std::string text;
        for (const std::string& leak : leaks) text += "  " + leak + "\n";
        fail("left behind:\n" + text);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzedDataProvider in(data, size);
    run(in);
    return 0;
}
