// Machine files from arbitrary bytes: the reader either refuses the text with located messages or
// returns a description that builds into hardware which the firmware pass configures.
#include <machine/description.hpp>
#include <machine/firmware.hpp>
#include <formats/machine_file.hpp>
#include <formats/scenario_file.hpp>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto parsed = formats::parseMachine(text, "fuzz.toml");
    if (!parsed) {
        for (const std::string& error : parsed.errors()) {
            if (error.rfind("fuzz.toml:", 0) != 0) {
                std::fprintf(stderr, "error without its file: %s\n", error.c_str());
                std::abort();
            }
        }
        return 0;
    }
    const machine::MachineDesc& desc = parsed.value();
    pci::Hierarchy hw;
    machine::populate(hw, desc);
    const machine::FirmwareReport report = machine::runFirmware(hw, desc.windows);
    (void)report.lines();
    for (const machine::CardDesc& card : desc.cards) (void)machine::buildCard(card);
    return 0;
}
