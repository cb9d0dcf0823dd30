// hotpsim: boots a simulated machine with the hotpflt driver loaded and shows what it did.
#include "first_machine.hpp"

#include <CLI/CLI.hpp>

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv)
{
    CLI::App app{"hotpsim - runs the hotpflt PCI hot-plug filter driver on a simulated machine"};
    hotpsim::Options options;
    options.driverPath = HOTP_DRIVER_PATH;
    if (const char* fromEnvironment = std::getenv("HOTP_DRIVER")) options.driverPath = fromEnvironment;
    app.add_option("--trace-level", options.traceLevel,
                   "set HotpDebugPrintLevel, as a kernel debugger would (0-4)")
        ->check(CLI::Range(0u, 0xFFFFFFFFu));
    app.add_option("--break-level", options.breakLevel,
                   "set HotpDebugBreakLevel; breakpoints are recorded, not stopped at")
        ->check(CLI::Range(0u, 0xFFFFFFFFu));
    app.add_option("--driver", options.driverPath, "driver module to load")
        ->check(CLI::ExistingFile);
    CLI11_PARSE(app, argc, argv);

    try {
        return hotpsim::playFirstMachine(options, [](const std::string& line) {
            std::cout << line << '\n';
        });
    } catch (const std::exception& error) {
        std::cerr << "hotpsim: " << error.what() << '\n';
        return 2;
    }
}
