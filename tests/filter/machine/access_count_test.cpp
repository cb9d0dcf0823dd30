// The driver's configuration accesses per operation, counted where it makes them: the bus
// interface of each child (classification and post-programming) and the root accessors (bridge
// window sizing). The counts are what the driver's rules fix for the built-in machine, exactly;
// a change in either direction fails here before it shows as a slower or different machine.
#include <machine_fixture.hpp>
#include <machine_events.hpp>

#include <machine/location.hpp>
#include <machine/machine.hpp>
#include <formats/generator.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace hotp::test {
namespace {

// One access: "R04/2" reads 2 bytes at offset 0x04, "W0d/1" writes 1 byte at 0x0D.
std::string access(bool write, ULONG offset, ULONG length)
{
    char text[16];
    std::snprintf(text, sizeof text, "%c%02x/%u", write ? 'W' : 'R', offset, length);
    return text;
}

// Wraps the bus driver's bus interface and root accessors with counting ones. The PCI bus driver
// hands out its interfaces through one dispatch routine and one root record; both are patched in
// the machine under test only.
struct Counting {
    static inline pcibus::PciBusDriver* busDriver = nullptr;
    static inline PDRIVER_DISPATCH pnp = nullptr;
    static inline PGET_SET_DEVICE_DATA getBusData = nullptr, setBusData = nullptr;
    static inline decltype(PCI_BUS_INTERFACE_STANDARD::ReadConfig) readConfig = nullptr;
    static inline decltype(PCI_BUS_INTERFACE_STANDARD::WriteConfig) writeConfig = nullptr;
    // Child accesses by function location ("01:01.0"); root accesses by kind and length.
    static inline std::map<std::string, std::vector<std::string>> child;
    static inline std::map<std::string, int> root;

    static std::string where(PVOID context)
    {
        return static_cast<pcibus::FunctionNode*>(context)->location();
    }
    static ULONG NTAPI get(PVOID context, ULONG type, PVOID buffer, ULONG offset, ULONG length)
    {
        child[where(context)].push_back(access(false, offset, length));
        return getBusData(context, type, buffer, offset, length);
    }
    static ULONG NTAPI set(PVOID context, ULONG type, PVOID buffer, ULONG offset, ULONG length)
    {
        child[where(context)].push_back(access(true, offset, length));
        return setBusData(context, type, buffer, offset, length);
    }
    static ULONG NTAPI read(PVOID context, ULONG bus, ULONG slot, PVOID buffer, ULONG offset,
                           ULONG length)
    {
        // A subordinate number read back on its own is counted apart.
        ++root[length == 1 && offset == 0x1A ? std::string("R1@1a")
                                             : std::string("R").append(std::to_string(length))];
        return readConfig(context, bus, slot, buffer, offset, length);
    }
    static ULONG NTAPI write(PVOID context, ULONG bus, ULONG slot, PVOID buffer, ULONG offset,
                            ULONG length)
    {
        ++root[std::string("W").append(std::to_string(length))];
        return writeConfig(context, bus, slot, buffer, offset, length);
    }
    // The root accessors, patched once the root bus device exists and before any bridge's
    // requirements reach the driver, which looks them up once and keeps them.
    static void patchRoot()
    {
        if (readConfig != nullptr || busDriver->root() == nullptr) return;
        PCI_BUS_INTERFACE_STANDARD* rootInterface = nullptr;
        std::memcpy(&rootInterface,
                    static_cast<uint8_t*>(busDriver->root()->fdo->DeviceExtension) +
                        pcibus::layout::FdoInterface,
                    sizeof rootInterface);
        readConfig = rootInterface->ReadConfig;
        writeConfig = rootInterface->WriteConfig;
        rootInterface->ReadConfig = read;
        rootInterface->WriteConfig = write;
    }
    // The bus driver's PnP dispatch: a standard bus interface it hands out gets counting calls.
    static NTSTATUS NTAPI dispatch(PDEVICE_OBJECT device, PIRP irp)
    {
        patchRoot();
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        BUS_INTERFACE_STANDARD* bus = nullptr;
        if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE &&
            stack->Parameters.QueryInterface.InterfaceType != nullptr &&
            IsEqualGUID(*stack->Parameters.QueryInterface.InterfaceType,
                        GUID_BUS_INTERFACE_STANDARD)) {
            bus = reinterpret_cast<BUS_INTERFACE_STANDARD*>(
                stack->Parameters.QueryInterface.Interface);
        }
        const NTSTATUS status = pnp(device, irp);  // the request is not touched after this
        if (bus != nullptr && NT_SUCCESS(status) && bus->GetBusData != nullptr) {
            getBusData = bus->GetBusData;
            setBusData = bus->SetBusData;
            bus->GetBusData = get;
            bus->SetBusData = set;
        }
        return status;
    }
};

class Accesses : public ::testing::Test {
protected:
    void SetUp() override { start(formats::defaultMachine()); }

    void start(const machine::MachineDesc& desc)
    {
        machine::MachineOptions options;
        options.driverPath = HOTP_DRIVER_PATH;
        m = std::make_unique<machine::Machine>(desc, options, nullptr);
        PDRIVER_OBJECT pci = m->busDriver().driverObject();
        Counting::busDriver = &m->busDriver();
        Counting::readConfig = nullptr;
        Counting::pnp = pci->MajorFunction[IRP_MJ_PNP];
        pci->MajorFunction[IRP_MJ_PNP] = Counting::dispatch;
        m->boot();
        ASSERT_NE(Counting::readConfig, nullptr);
        Counting::child.clear();
        Counting::root.clear();
    }

    void TearDown() override
    {
        const auto problems = m->shutdown();
        EXPECT_TRUE(problems.empty()) << describe(problems);
        m.reset();
        Counting::pnp = nullptr;
    }

    void play(machine::EventKind kind, const std::string& where, const std::string& card = {},
              unsigned deviceState = 0)
    {
        const machine::Event event = makeEvent(kind, where, card, deviceState);
        Counting::child.clear();
        Counting::root.clear();
        ASSERT_TRUE(m->apply(event));
    }

    std::unique_ptr<machine::Machine> m;
};

using Children = std::map<std::string, std::vector<std::string>>;
using Root = std::map<std::string, int>;

// Classification: command, vendor, device, base class, sub-class; a hot-added ordinary device
// then has its command register written and read back. Post-programming: base class, then
// latency timer and cache line size of a device that is neither a bridge nor a display.
using Accessed = std::vector<std::string>;

Accessed operator+(Accessed a, const Accessed& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const Accessed kClassify = {"R04/2", "R00/2", "R02/2", "R0b/1", "R0a/1"};
const Accessed kEnable = {"W04/2", "R04/2"};
const Accessed kPostProgram = {"R0b/1", "W0d/1", "W0c/1"};

TEST_F(Accesses, HotAddOfOrdinaryCardsClassifiesAndPostProgramsOnce)
{
    struct Case {
        const char* card;
        Children child;
    };
    const Case cases[] = {
        // Hot added and enabled, then post-programmed at start.
        {"network card", {{"01:01.0", kClassify + kEnable + kPostProgram}}},
        // A display controller is neither enabled nor post-programmed beyond its class.
        {"display card", {{"01:01.0", kClassify + Accessed{"R0b/1"}}}},
    };
    for (const Case& c : cases) {
        play(machine::EventKind::Insert, "slot 1", c.card);
        EXPECT_EQ(Counting::child, c.child) << c.card;
        EXPECT_EQ(Counting::root, Root{}) << c.card << ": no bridge, no window sizing";
        play(machine::EventKind::Remove, "slot 1");
        EXPECT_EQ(Counting::child, Children{}) << c.card << ": removal makes no access";
    }
}

TEST_F(Accesses, ReturnToFullPowerPostProgramsAgain)
{
    play(machine::EventKind::Insert, "slot 1", "network card");
    play(machine::EventKind::Power, "slot 1", {}, 3);
    EXPECT_EQ(Counting::child, Children{}) << "going to D3 makes no access";
    play(machine::EventKind::Power, "slot 1", {}, 0);
    EXPECT_EQ(Counting::child, (Children{{"01:01.0", kPostProgram}}));
    EXPECT_EQ(Counting::root, Root{});
}

TEST_F(Accesses, NestedBridgeCardIsSizedByOneScanPerBridge)
{
    play(machine::EventKind::Insert, "slot 1", "nested bridge card");
    // Bridges are classified only; the controller behind them is hot added and enabled.
    EXPECT_EQ(Counting::child, (Children{{"01:01.0", kClassify},
                                         {"02:00.0", kClassify},
                                         {"03:00.0", kClassify + kEnable + kPostProgram}}));
    // Outer bridge (target 01:01.0, buses 2 to 2, path: the hot-plug bridge and the target):
    //   64-byte headers: the target's, the path's two, bus 2 device 0 (the inner bridge), bus 3
    //   device 0 (the controller), then 31 absent devices on bus 3 and 31 on bus 2: 67;
    //   before the inner bridge is given bus 3, the check that no running bridge beside the
    //   path forwards it reads, on bus 0 and on bus 1 (the buses the path bridges sit on), the
    //   identifiers of function 0 of all 32 devices (4 bytes each: 64) and the header type of
    //   each one present (1 byte each: the host bridge, display and network controllers and
    //   hot-plug bridge, the storage controller and the target: 6); the only bridges there are
    //   the path's own, whose bus numbers it does not read; bus 3 lies inside the hot-plug
    //   bridge's range, so no peer root bus can answer on it and it is not probed;
    //   the controller's BARs: one 24-byte write and one 24-byte read;
    //   the inner bridge: its three bus numbers written and cleared (two 3-byte writes);
    //   the target's subordinate number raised to 3 and restored (two 1-byte writes), read back
    //   before it is restored to check that the raise held (one 1-byte read at 0x1A).
    // Inner bridge (target 02:00.0, buses 3 to 3, three bridges on the path): the target's
    //   header, the path's three, bus 3 device 0 and 31 absent devices: 36 64-byte reads; the
    //   controller's BARs again.
    // Found bridges also have their two BARs sized (one 8-byte write and read each); their
    // prefetchable windows, 64-bit capable, show without a probe.
    EXPECT_EQ(Counting::root, (Root{{"R64", 67 + 36}, {"R4", 64}, {"R1", 6}, {"R1@1a", 1},
                                    {"W24", 2}, {"R24", 2}, {"W3", 2}, {"W1", 2}, {"W8", 1},
                                    {"R8", 1}}));
}

// The 31-deep bridge chain hot added on the maximal generated machine: each chain bridge is
// scanned in turn, numbering every bridge still below it. Only the path and target bridges, which
// the bus driver knows, have their raised subordinate numbers read back.
TEST_F(Accesses, BridgeChainOnTheMaximalMachine)
{
    EXPECT_TRUE(m->shutdown().empty());
    m.reset();
    std::string error;
    const auto desc = formats::generateMachine({.width = 8, .depth = 8, .buses = 255}, error);
    ASSERT_TRUE(desc) << error;
    start(*desc);
    play(machine::EventKind::Insert, "slot 1", "bridge chain");
    // Chain bridge k is the target of one scan, which numbers the 31 - k bridges below it, each
    // with a new number that raises the k chain entries of its path and target again (the
    // hot-plug bridge's spare numbers cover them all). Each raised entry is read back before
    // every raise but its first, and once before it is restored: k x (31 - k) reads, 4,960 in
    // all, none of a found bridge. Every number lies inside the hot-plug bridge's range, so no
    // peer root is probed.
    EXPECT_EQ(Counting::root,
              (Root{{"R64", 16430}, {"R4", 176855}, {"R3", 930}, {"R1", 10540}, {"R1@1a", 4960},
                    {"W24", 31}, {"R24", 31}, {"W3", 930}, {"W1", 9920}, {"W8", 465},
                    {"R8", 465}}));
}

}  // namespace
}  // namespace hotp::test
