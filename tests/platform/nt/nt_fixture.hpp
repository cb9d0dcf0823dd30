// A bare kernel for the stand-in's own contract tests: test drivers whose routines are written
// here, a scripted driver at the bottom of each stack, and a teardown that takes the stacks down
// and then requires a clean verifier and no leak.
#pragma once

#include <gtest/gtest.h>

#include <machine_fixture.hpp>
#include <nt/kernel.hpp>
#include <nt/scripted.hpp>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace nt_test {

constexpr ULONG tagOf(const char (&text)[5])
{
    return ULONG{static_cast<UCHAR>(text[0])} | ULONG{static_cast<UCHAR>(text[1])} << 8 |
           ULONG{static_cast<UCHAR>(text[2])} << 16 | ULONG{static_cast<UCHAR>(text[3])} << 24;
}
constexpr ULONG kTag = tagOf("Hotp");

// The device extension of every test device.
struct TestExtension {
    PDEVICE_OBJECT lower;  // where the device passes requests
    PDEVICE_OBJECT other;  // a device deleted before the test's request is sent
};

inline TestExtension* ext(PDEVICE_OBJECT device)
{
    return static_cast<TestExtension*>(device->DeviceExtension);
}

// What a completion routine saw when it ran.
struct Seen {
    PVOID context;
    PDEVICE_OBJECT device;
    bool pendingReturned;
};

// State the routines under test share with the test body, reset for every test.
struct Scratch {
    UCHAR invoke = SL_INVOKE_ON_SUCCESS | SL_INVOKE_ON_ERROR | SL_INVOKE_ON_CANCEL;
    PIO_COMPLETION_ROUTINE completion = nullptr;
    std::vector<Seen> seen;
    PVOID paged = nullptr;             // paged pool handed to a routine to free
    PVOID extra = nullptr;             // pool a routine allocated and left to the test
    PDEVICE_OBJECT spare = nullptr;    // a device a routine may delete
    PDEVICE_OBJECT created = nullptr;  // a device a routine created
    PIO_ERROR_LOG_PACKET entry = nullptr;
};
inline Scratch g;

inline NTSTATUS finish(PIRP Irp, NTSTATUS Status)
{
    Irp->IoStatus.Status = Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return Status;
}

inline NTSTATUS NTAPI PassDown(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext(DeviceObject)->lower, Irp);
}

// Records its call and, below the top, carries the pending flag up as a routine of a driver that
// returns the lower driver's status must.
inline NTSTATUS NTAPI Record(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context)
{
    g.seen.push_back(Seen{Context, DeviceObject, Irp->PendingReturned != 0});
    if (DeviceObject != nullptr && Irp->PendingReturned) IoMarkIrpPending(Irp);
    return STATUS_SUCCESS;
}

using hotp::test::describe;

inline bool mentions(const std::vector<std::string>& lines, const std::string& text)
{
    for (const auto& line : lines) {
        if (line.find(text) != std::string::npos) return true;
    }
    return false;
}

class NtContract : public ::testing::Test {
protected:
    NtContract()
    {
        g = Scratch{};
        scripted.emplace(kernel);
    }

    void TearDown() override
    {
        // Take the test's stacks down from the top, as removal does, before the leak check.
        for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
            PDEVICE_OBJECT device = *it;
            if (!kernel.isLiveDevice(device)) continue;
            if (PDEVICE_OBJECT below = device->DeviceObjectExtension->AttachedTo) {
                IoDetachDevice(below);
            }
            IoDeleteDevice(device);
        }
        for (PIRP irp : requests_) IoFreeIrp(irp);
        scripted.reset();
        auto violations = kernel.takeViolations();
        EXPECT_TRUE(violations.empty()) << "verifier:\n" << describe(violations);
        auto leaks = kernel.leaks();
        EXPECT_TRUE(leaks.empty()) << "leaked:\n" << describe(leaks);
    }

    // A device of a test driver whose every major runs `routine`, attached above `below` if given.
    PDEVICE_OBJECT filter(PDRIVER_DISPATCH routine, PDEVICE_OBJECT below)
    {
        PDRIVER_OBJECT driver = kernel.createDriverObject(u"\\Driver\\Test");
        for (auto& major : driver->MajorFunction) major = routine;
        PDEVICE_OBJECT device =
            kernel.createDevice(driver, sizeof(TestExtension), FILE_DEVICE_UNKNOWN, 0, false);
        if (below != nullptr) ext(device)->lower = IoAttachDeviceToDeviceStack(device, below);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        devices_.push_back(device);
        return device;
    }

    // A request as the PnP manager builds it, sent to the top of the device's stack and freed at
    // teardown. `prepare` may set the owner's completion routine or flags first.
    PIRP send(PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
              const std::function<void(PIRP)>& prepare = {})
    {
        PDEVICE_OBJECT top = device;
        while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
        PIRP irp = kernel.allocateIrp(top->StackSize);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION first = IoGetNextIrpStackLocation(irp);
        first->MajorFunction = major;
        first->MinorFunction = minor;
        if (prepare) prepare(irp);
        requests_.push_back(irp);
        returned = kernel.sendToStack(device, irp);
        return irp;
    }

    // Expects exactly these violations, in order, and clears them.
    void expectRules(const std::vector<std::string>& rules, const char* detail = nullptr)
    {
        auto violations = kernel.takeViolations();
        std::vector<std::string> seen;
        for (const auto& v : violations) seen.push_back(v.rule);
        EXPECT_EQ(seen, rules) << describe(violations);
        if (detail != nullptr && !violations.empty()) {
            EXPECT_NE(violations.front().detail.find(detail), std::string::npos)
                << violations.front().detail;
        }
    }

    nt::Kernel kernel;
    std::optional<nt::ScriptedDriver> scripted;
    NTSTATUS returned = STATUS_SUCCESS;  // what the last send returned
    std::vector<PDEVICE_OBJECT> devices_;
    std::vector<PIRP> requests_;
};

}  // namespace nt_test
