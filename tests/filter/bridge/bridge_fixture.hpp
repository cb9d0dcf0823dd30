// A PCI hierarchy under the real bus driver, with the driver's bus filter on one bridge (the
// target) whose decoding is off. The bridge window sizing is driven through the bus filter, or
// through its routines found by name, and judged by what the hardware saw.
#pragma once

#include <machine_fixture.hpp>
#include <nt/pool_census.hpp>
#include <nt/variable_length.hpp>

#include <bridge/scan_record.h>
#include <pcibus/bus_driver.hpp>

#include <cstring>
#include <ostream>

namespace hotp::test {

using pci::Bar;

// A configuration write as it reached the hardware.
struct ConfigWrite {
    unsigned bus, device, function, offset, length;
    uint32_t value;
    bool operator==(const ConfigWrite&) const = default;
};

inline void PrintTo(const ConfigWrite& w, std::ostream* os)
{
    char text[80];
    std::snprintf(text, sizeof text, "%02x:%02x.%u @%02x/%u=%x", w.bus, w.device, w.function,
                  w.offset, w.length, w.value);
    *os << text;
}

// Primary, secondary and subordinate bus written in one cycle.
inline ConfigWrite busNumbers(unsigned bus, unsigned device, unsigned p, unsigned s, unsigned sub)
{
    return {bus, device, 0, 0x18, 3, p | s << 8 | sub << 16};
}
inline ConfigWrite subordinate(unsigned bus, unsigned device, unsigned value)
{
    return {bus, device, 0, 0x1A, 1, value};
}
// The six all-ones writes that size an ordinary function's BARs.
inline std::vector<ConfigWrite> barSizing(unsigned bus, unsigned device, unsigned fn = 0)
{
    std::vector<ConfigWrite> out;
    for (unsigned offset = 0x10; offset < 0x28; offset += 4) {
        out.push_back({bus, device, fn, offset, 4, 0xFFFFFFFF});
    }
    return out;
}

// The two all-ones writes that size a found bridge's own BARs.
inline std::vector<ConfigWrite> bridgeBars(unsigned bus, unsigned device)
{
    return {{bus, device, 0, 0x10, 4, 0xFFFFFFFF}, {bus, device, 0, 0x14, 4, 0xFFFFFFFF}};
}

struct Descriptor {
    UCHAR type;
    USHORT flags;
    ULONG length;
    UCHAR option = 0;
    ULONG alignment = 0x1000;
};

inline pci::Function* placeBridge(pci::Bus& on, unsigned device, unsigned fn = 0)
{
    on.place(device, fn, pci::Function::bridge(0x1AB0, 0x0400));
    return on.function(device, fn);
}
inline pci::Function* placeDevice(pci::Bus& on, unsigned device, std::vector<Bar> bars,
                                  unsigned fn = 0)
{
    on.place(device, fn, pci::Function::device(0x1AB0, 0x0500, 0x02, 0x00, 0, std::move(bars)));
    return on.function(device, fn);
}

using CaseName = ByName;

constexpr ULONG kListTag = 0x7473694C;  // "List": the lists the test hands in

class BridgeTest : public MachineTest {
protected:
    BridgeTest()
        : enumerator(std::in_place, kernel, u"\\Driver\\root"), pci(std::in_place, kernel, hw)
    {
        hw.onConflict = [this](const std::string& text) { conflicts.push_back(text); };
    }

    void releasePlatform() override
    {
        EXPECT_TRUE(conflicts.empty()) << "bus-number conflicts:\n" << describe(conflicts);
        if (filter != nullptr) {
            IoFreeIrp(sendRequest(kernel, targetPdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE).irp);
        }
        pci.reset();
        enumerator.reset();
    }

    // The target at 00:01.0; bus numbers left 0 are assigned by the bus driver when it finds it.
    pci::Function* placeTarget(uint8_t secondary = 0, uint8_t subordinate = 0)
    {
        pci::Function* target = placeBridge(hw.root(), 1);
        target->write(0x18, 3, static_cast<uint32_t>(secondary << 8 | subordinate << 16));
        return target;
    }

    // A chain of `bridges` bridges from the root bus, at varying device numbers; returns the
    // device path and leaves `end` at the last bus.
    std::vector<unsigned> placeChain(unsigned bridges, pci::Bus*& end)
    {
        std::vector<unsigned> path;
        end = &hw.root();
        for (unsigned k = 0; k < bridges; ++k) {
            path.push_back((7 * k + 2) % 32);
            end = placeBridge(*end, path.back())->secondary();
        }
        return path;
    }

    // The bus driver enumerates its way down `path` (device numbers, function 0), starting each
    // bridge's bus on the way; the bus filter joins the stack of the last function, the target.
    void attach(const std::vector<unsigned>& path = {1})
    {
        PDRIVER_OBJECT busDriver = pci->driverObject();
        PDEVICE_OBJECT busPdo = enumerator->createDevice();
        ASSERT_EQ(busDriver->DriverExtension->AddDevice(busDriver, busPdo), STATUS_SUCCESS);
        for (size_t i = 0; i < path.size(); ++i) {
            PDEVICE_OBJECT next = nullptr;
            for (PDEVICE_OBJECT pdo : enumerate(busPdo)) {
                if (pci->function(pdo)->device == path[i]) next = pdo;
            }
            ASSERT_NE(next, nullptr) << "nothing at step " << i;
            if (i + 1 < path.size()) {
                ASSERT_EQ(busDriver->DriverExtension->AddDevice(busDriver, next), STATUS_SUCCESS);
            }
            busPdo = next;
        }
        targetPdo = busPdo;
        auto* addFilter = driver.object->DriverExtension->AddDevice;
        ASSERT_EQ(addFilter(driver.object, targetPdo), STATUS_SUCCESS);
        filter = targetPdo->AttachedDevice;
        bus = static_cast<HOTP_BUS_EXTENSION*>(filter->DeviceExtension);
        targetBus = pci->function(targetPdo)->parent->number;
        targetSlot = pci->function(targetPdo)->slotNumber();
        hw.clearLog();
        hw.setLogging(true);
    }

    // The scan of the target as the requirements filter makes it; nothing when none is made.
    std::optional<HOTP_SCAN_CONTEXT> scan()
    {
        auto* lookup = routine<decltype(HotpGetRootBusInterface)>("HotpGetRootBusInterface");
        EXPECT_TRUE(lookup(targetPdo));
        HOTP_SCAN_CONTEXT* record = nullptr;
        routine<decltype(HotpScanBridge)>("HotpScanBridge")(bus, static_cast<UCHAR>(targetBus),
                                                            targetSlot, &record);
        if (record == nullptr) return std::nullopt;
        HOTP_SCAN_CONTEXT copy = *record;
        ExFreePool(record);
        return copy;
    }

    std::vector<ConfigWrite> writes() const
    {
        std::vector<ConfigWrite> out;
        for (const pci::Transaction& t : hw.log()) {
            if (t.write) out.push_back({t.bus, t.device, t.function, t.offset, t.length, t.value});
        }
        return out;
    }
    bool touched(unsigned busNumber, unsigned device, unsigned fn) const
    {
        for (const pci::Transaction& t : hw.log()) {
            if (t.bus == busNumber && t.device == device && t.function == fn) return true;
        }
        return false;
    }

    // A requirements list for the target with one alternative list.
    std::vector<uint8_t> listBytes(const std::vector<Descriptor>& descriptors)
    {
        std::vector<uint8_t> bytes(offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List) +
                                   offsetof(IO_RESOURCE_LIST, Descriptors) +
                                   descriptors.size() * sizeof(IO_RESOURCE_DESCRIPTOR));
        auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(bytes.data());
        list->ListSize = static_cast<ULONG>(bytes.size());
        list->InterfaceType = PCIBus;
        list->BusNumber = targetBus;
        list->SlotNumber = targetSlot;
        list->AlternativeLists = 1;
        list->List[0].Version = 1;
        list->List[0].Revision = 1;
        list->List[0].Count = static_cast<ULONG>(descriptors.size());
        for (size_t i = 0; i < descriptors.size(); ++i) {
            IO_RESOURCE_DESCRIPTOR& d = *nt::descriptorAt(&list->List[0], i);
            d.Option = descriptors[i].option;
            d.Type = descriptors[i].type;
            d.ShareDisposition = CmResourceShareDeviceExclusive;
            d.Flags = descriptors[i].flags;
            d.u.Port.Length = descriptors[i].length;
            d.u.Port.Alignment = descriptors[i].alignment;
            d.u.Port.MinimumAddress.QuadPart = 0x1000;
            d.u.Port.MaximumAddress.QuadPart = 0xFFFFFFFF;
        }
        return bytes;
    }

    struct Filtered {
        bool replaced = false;
        std::vector<uint8_t> bytes;  // the list the request carries on

        const IO_RESOURCE_REQUIREMENTS_LIST& list() const
        {
            return *reinterpret_cast<const IO_RESOURCE_REQUIREMENTS_LIST*>(bytes.data());
        }
        std::vector<ULONG> lengths() const
        {
            std::vector<ULONG> out;
            for (ULONG i = 0; i < list().List[0].Count; ++i) {
                out.push_back(nt::descriptorAt(&list().List[0], i)->u.Port.Length);
            }
            return out;
        }
        std::vector<ULONG> alignments() const
        {
            std::vector<ULONG> out;
            for (ULONG i = 0; i < list().List[0].Count; ++i) {
                out.push_back(nt::descriptorAt(&list().List[0], i)->u.Port.Alignment);
            }
            return out;
        }
    };

    // Sends the filter request with the list (in pool of exactly its bytes) down the target's
    // stack, as the PnP manager does; returns the list the request carries afterwards, freed.
    // The tag the driver's pool must carry, as a debugger's !poolused shows it: "HOT ".
    static constexpr ULONG kDriverTag = 'H' | 'O' << 8 | 'T' << 16 | ULONG{' '} << 24;

    Filtered filterRequirements(const std::vector<uint8_t>& bytes)
    {
        const size_t pagedBefore = nt::poolAllocations(kernel, kDriverTag, PagedPool);
        auto* old = static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(
            kernel.allocatePool(PagedPool, bytes.size(), kListTag, false));
        std::memcpy(old, bytes.data(), bytes.size());
        PIRP irp = kernel.allocateIrp(filter->StackSize);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(old);
        PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
        stack->MajorFunction = IRP_MJ_PNP;
        stack->MinorFunction = IRP_MN_FILTER_RESOURCE_REQUIREMENTS;
        stack->Parameters.FilterResourceRequirements.IoResourceRequirementList = old;
        kernel.sendToStack(targetPdo, irp);
        EXPECT_TRUE(kernel.isCompleted(irp));

        Filtered out;
        auto* carried =
            reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(irp->IoStatus.Information);
        out.replaced = carried != old;
        if (out.replaced) {
            EXPECT_EQ(irp->IoStatus.Status, STATUS_SUCCESS);
            EXPECT_EQ(kernel.outstandingPool(kListTag), 0u) << "the list replaced was not freed";
        } else {
            EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        }
        const auto* raw = reinterpret_cast<const uint8_t*>(carried);
        out.bytes.assign(raw, raw + carried->ListSize);
        ExFreePool(carried);
        IoFreeIrp(irp);
        // The driver's pool is paged and tagged "HOT ": a replaced list is a new block of it,
        // and none of it is left over or taken from non-paged pool.
        EXPECT_EQ(kernel.outstandingPool(kDriverTag), 0u);
        if (out.replaced) {
            EXPECT_GT(nt::poolAllocations(kernel, kDriverTag, PagedPool), pagedBefore);
        }
        EXPECT_EQ(nt::poolAllocations(kernel, kDriverTag, NonPagedPool), 0u);
        return out;
    }

    pci::Hierarchy hw;
    std::optional<nt::ScriptedDriver> enumerator;  // the root bus's physical device object
    std::optional<pcibus::PciBusDriver> pci;
    std::vector<std::string> conflicts;
    PDEVICE_OBJECT targetPdo = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    HOTP_BUS_EXTENSION* bus = nullptr;
    unsigned targetBus = 0;
    ULONG targetSlot = 0;

private:
    std::vector<PDEVICE_OBJECT> enumerate(PDEVICE_OBJECT busPdo)
    {
        auto sent = sendRequest(kernel, busPdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                                [](PIO_STACK_LOCATION s) {
                                    s->Parameters.QueryDeviceRelations.Type = BusRelations;
                                });
        std::vector<PDEVICE_OBJECT> found;
        if (auto* list = reinterpret_cast<PDEVICE_RELATIONS>(sent.irp->IoStatus.Information)) {
            for (ULONG i = 0; i < list->Count; ++i) found.push_back(*nt::objectAt(list, i));
            ExFreePool(list);
        }
        IoFreeIrp(sent.irp);
        return found;
    }
};

}  // namespace hotp::test
