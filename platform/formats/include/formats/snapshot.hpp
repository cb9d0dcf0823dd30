// Snapshots of a real machine's PCI devices, turned into machine files.
//
// A snapshot is what Linux shows of its PCI functions: a copy of /sys/bus/pci/devices (a
// directory, or a tar file made with `tar cf pci.tar /sys/bus/pci/devices/*/config
// /sys/bus/pci/devices/*/resource`), holding at any depth a folder "DDDD:BB:DD.F" per function
// with its binary `config` and its `resource` text; or the output of `lspci -xxx` alone, where
// BAR sizes can only be guessed from the alignment of the assigned addresses.
//
// The machine made from a snapshot boots as found: firmware leaves every function as the
// snapshot shows it (bus numbers, BARs, windows, command registers), so the operating system
// finds what the real one found.
#pragma once

#include <formats/model.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

// A region as verbose lspci output decodes it ("Region 2: Memory at f7e00000 (64-bit,
// prefetchable) [size=16M]", "Expansion ROM at 28000000 [disabled] [size=64K]"): what the
// kernel knew of a BAR, which the bytes alone cannot tell.
struct SnapshotRegion {
    int index = -1;           // BAR register 0 to 5, 6 for the ROM; -1 when lspci -v named none
    bool io = false;
    std::optional<uint64_t> address;  // none when "<unassigned>" or "<ignored>"
    std::optional<uint64_t> size;     // from "[size=...]"
    bool disabled = false;            // "[disabled]": decoding of it is off
    bool isVirtual = false;           // "[virtual]": the kernel's, not in the register
};

// One function of a snapshot.
struct SnapshotFunction {
    unsigned domain = 0, bus = 0, device = 0, function = 0;
    std::vector<uint8_t> config;  // 64 to 4096 bytes as read
    std::optional<std::string> resource;  // sysfs `resource` text; none from lspci output
    std::vector<SnapshotRegion> regions;  // from verbose lspci output; empty otherwise
    std::string source;  // where it came from, for messages ("pci.tar: .../config")
    // Why its bytes cannot be trusted, or empty: lspci output whose rows of bytes skip an
    // offset or end short ("the row at offset 80 is missing"). The import leaves it out.
    std::string incomplete;
};

struct Snapshot {
    std::string source;                     // the file or directory read
    std::vector<SnapshotFunction> functions;  // in bus, device, function order
    // Copies of /proc/iomem and /proc/ioports found beside it: what each root bus forwards.
    std::optional<std::string> iomem, ioports;
};

// Reads a snapshot from a directory, a tar file or lspci output. On failure, the errors name
// the file and what is wrong with it ("pci.tar: 0000:00:1c.0/config: 64 bytes ..."). Copies of
// /proc/iomem and /proc/ioports are read from beside it: "SNAPSHOT.iomem" and
// "SNAPSHOT.ioports", else "iomem" and "ioports" in the same folder (in the folder itself for a
// directory snapshot).
struct SnapshotResult {
    std::optional<Snapshot> snapshot;
    std::vector<std::string> errors;
};
SnapshotResult readSnapshot(const std::string& path);
// The same from text already read (lspci output) or bytes (a tar file), for tests and fuzzing.
SnapshotResult readSnapshotTar(std::string_view bytes, const std::string& name);
SnapshotResult readSnapshotLspci(std::string_view text, const std::string& name);

// The machine a snapshot describes, booting as found. Errors say why no faithful machine can
// be made (a bus no bridge leads to, a BAR whose size is unknown, ...).
struct ImportResult {
    std::optional<MachineDesc> machine;
    std::vector<std::string> errors;
    std::vector<std::string> notes;  // guesses made, functions left out, with reasons
};
ImportResult importSnapshot(const Snapshot& snapshot);

// A function as Linux names it: "DDDD:BB:DD.F", or "BB:DD.F" in domain 0000. Every digit is
// hexadecimal (the function a single digit 0 to 7); nothing else is accepted.
struct Bdf {
    unsigned domain = 0, bus = 0, device = 0, function = 0;
    bool withDomain = false;
};
std::optional<Bdf> parseBdf(std::string_view text);

}  // namespace formats
