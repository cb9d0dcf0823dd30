// Scenario files from arbitrary bytes: the reader either refuses the text with located messages
// or returns a scenario that is checked against the built-in machine.
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>
#include <machine/scenario.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const machine::MachineDesc board = formats::defaultMachine();
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = formats::parseScenario(text, "fuzz.toml");
    if (!parsed) {
        for (const std::string& error : parsed.errors()) {
            if (error.rfind("fuzz.toml:", 0) != 0) {
                std::fprintf(stderr, "error without its file: %s\n", error.c_str());
                std::abort();
            }
        }
        return 0;
    }
    (void)machine::checkScenario(parsed.value(), board);
    return 0;
}
