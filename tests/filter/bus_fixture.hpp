// A bus device of a scripted lower driver with the driver's bus filter on its stack, as the PnP
// manager leaves it after calling the add-device routine.
#pragma once

#include "machine_fixture.hpp"

namespace hotp::test {

class BusFilterTest : public MachineTest {
protected:
    BusFilterTest() : lower(std::in_place, kernel) {}

    void releasePlatform() override { lower.reset(); }

    // Creates the bus device and runs the add-device routine on it.
    void addBusFilter()
    {
        pdo = lower->createDevice();
        auto* add = driver.object->DriverExtension->AddDevice;
        ASSERT_EQ(add(driver.object, pdo), STATUS_SUCCESS);
        filter = pdo->AttachedDevice;
        ASSERT_NE(filter, nullptr);
        bus = static_cast<HOTP_BUS_EXTENSION*>(filter->DeviceExtension);
    }

    // Sends a removal with an empty child list so the bus filter leaves the stack.
    void removeBusFilter()
    {
        bus->ChildDeviceCount = 0;
        bus->ChildListHead = nullptr;
        lower->script(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, {});
        auto sent = sendRequest(kernel, pdo, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
        IoFreeIrp(sent.irp);
        filter = nullptr;
        bus = nullptr;
    }

    // What the lower driver saw of the last request.
    const nt::ReceivedRequest& lastReceived()
    {
        EXPECT_FALSE(lower->received().empty());
        return lower->received().back();
    }

    std::optional<nt::ScriptedDriver> lower;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT filter = nullptr;
    HOTP_BUS_EXTENSION* bus = nullptr;
};

}  // namespace hotp::test
