// A first machine: one bus device owned by a scripted bus driver, with hotpflt installed as a
// filter on its stack. Plays the PnP manager's part for that one device and reports each step.
#pragma once

#include <nt/kernel.hpp>
#include <nt/scripted.hpp>

#include <functional>
#include <string>

namespace hotpsim {

struct Options {
    std::string driverPath;
    ULONG traceLevel = 0;
    ULONG breakLevel = 0;
};

// Plays the scenario and writes its report line by line; returns the process exit code.
int playFirstMachine(const Options& options, const std::function<void(const std::string&)>& out);

}  // namespace hotpsim
