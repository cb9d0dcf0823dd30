// What every importer harness checks of a snapshot it read: a snapshot read is either refused
// with messages naming its source, or imported; an imported machine is written as a machine file
// that the machine reader accepts as it stands, and that builds into hardware which the firmware
// pass leaves as found.
#pragma once

#include <formats/machine_file.hpp>
#include <formats/machine_writer.hpp>
#include <formats/snapshot.hpp>
#include <machine/description.hpp>
#include <machine/firmware.hpp>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace fuzzing {

inline void named(const std::vector<std::string>& messages, const std::string& source)
{
    for (const std::string& message : messages) {
        if (message.rfind(source, 0) != 0) {
            std::fprintf(stderr, "message without its source: %s\n", message.c_str());
            std::abort();
        }
    }
}

inline void checkImport(const formats::SnapshotResult& read, const std::string& source)
{
    if (!read.snapshot) {
        if (read.errors.empty()) {
            std::fprintf(stderr, "a snapshot refused without a reason\n");
            std::abort();
        }
        named(read.errors, source);
        return;
    }
    const formats::ImportResult imported = formats::importSnapshot(*read.snapshot);
    if (!imported.machine) {
        if (imported.errors.empty()) {
            std::fprintf(stderr, "an import refused without a reason\n");
            std::abort();
        }
        named(imported.errors, source);
        return;
    }
    const std::string text = formats::writeMachineFile(*imported.machine, imported.notes);
    auto parsed = formats::parseMachine(text, "imported.toml");
    if (!parsed) {
        std::fprintf(stderr, "the imported machine file is refused: %s\n%s\n",
                     parsed.errors().front().c_str(), text.c_str());
        std::abort();
    }
    const machine::MachineDesc& desc = parsed.value();
    pci::Hierarchy hw;
    machine::populate(hw, desc);
    std::vector<machine::FirmwareRoot> roots{{0, desc.windows}};
    for (const machine::PeerRootDesc& peer : desc.peers) roots.push_back({peer.number, peer.windows});
    (void)machine::runFirmware(hw, roots, desc.asFound).lines();
}

}  // namespace fuzzing
