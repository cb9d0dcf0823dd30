// A test machine with the driver loaded: a fresh kernel, a fresh copy of the driver image and a
// debugger on it. Every test ends with the verifier clean and nothing leaked.
#pragma once

#include <gtest/gtest.h>

#include <driver_source.hpp>
#include <nt/kernel.hpp>
#include <nt/scripted.hpp>

#include <frame/routines.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace hotp::test {

inline std::string describe(const std::vector<nt::Violation>& violations)
{
    std::string text;
    for (const auto& v : violations) text += "  " + v.rule + ": " + v.detail + "\n";
    return text;
}

inline std::string describe(const std::vector<std::string>& lines)
{
    std::string text;
    for (const auto& line : lines) text += "  " + line + "\n";
    return text;
}

// The 32-bit value the driver's "%lx" and "%08lx" trace points print for a pointer.
inline std::string hex(const void* pointer, int width = 0)
{
    char text[32];
    std::snprintf(text, sizeof text, "%0*x", width,
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
    return text;
}

// Names parameterized cases by their `name` field.
struct ByName {
    template <class Param>
    std::string operator()(const ::testing::TestParamInfo<Param>& param) const
    {
        return param.param.name;
    }
};

class MachineTest : public ::testing::Test {
protected:
    MachineTest()
        : driver(kernel.loadDriver(HOTP_DRIVER_PATH, u"\\Driver\\hotpflt")), debugger(driver)
    {
    }

    void TearDown() override
    {
        releasePlatform();
        auto violations = kernel.takeViolations();
        EXPECT_TRUE(violations.empty()) << "verifier:\n" << describe(violations);
        auto leaks = kernel.leaks();
        EXPECT_TRUE(leaks.empty()) << "leaked:\n" << describe(leaks);
    }

    // Tears down what the platform beneath the driver owns, before the leak check.
    virtual void releasePlatform() {}

    // A routine of the loaded driver image, found by name as a debugger finds it.
    template <typename F>
    F* routine(const char* name)
    {
        F* found = driver.image->get<F>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }

    void setLevels(ULONG print, ULONG brk)
    {
        ASSERT_TRUE(debugger.set("HotpDebugPrintLevel", print));
        ASSERT_TRUE(debugger.set("HotpDebugBreakLevel", brk));
    }

    // Expects exactly these violations (by rule name) and clears them.
    void expectViolations(const std::vector<std::string>& rules)
    {
        auto violations = kernel.takeViolations();
        std::vector<std::string> seen;
        for (const auto& v : violations) seen.push_back(v.rule);
        EXPECT_EQ(seen, rules) << describe(violations);
    }

    nt::Kernel kernel;
    nt::LoadedDriver driver;
    nt::Debugger debugger;
};

// A request as the PnP or power manager builds it: one stack location per device in the stack,
// the first filled by `fill`, sent to the top of the stack. The caller frees it with IoFreeIrp.
struct SentRequest {
    PIRP irp;
    NTSTATUS returned;
};

template <typename Fill>
SentRequest sendRequest(nt::Kernel& kernel, PDEVICE_OBJECT device, UCHAR major, UCHAR minor,
                        Fill fill)
{
    PDEVICE_OBJECT top = device;
    while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
    PIRP irp = kernel.allocateIrp(top->StackSize);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = irp->Tail.Overlay.CurrentStackLocation - 1;
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    fill(stack);
    NTSTATUS returned = kernel.sendToStack(device, irp);
    return SentRequest{irp, returned};
}

inline SentRequest sendRequest(nt::Kernel& kernel, PDEVICE_OBJECT device, UCHAR major,
                               UCHAR minor)
{
    return sendRequest(kernel, device, major, minor, [](PIO_STACK_LOCATION) {});
}

}  // namespace hotp::test
