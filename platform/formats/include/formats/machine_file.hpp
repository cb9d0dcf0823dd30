// Machine files: TOML, parsed into MachineDesc. Every
// problem is reported as "file:line: message" with the line of the offending key or table, and
// nothing is returned when there is any. docs/machine-file.md describes the format (and scenario files); in short:
//
//   name = "small machine"
//
//   [windows]                                   # what the host bridge forwards to bus 0
//   io           = { base = 0x1000, limit = 0xFFFF }
//   memory       = { base = 0xF0000000, limit = 0xFEBFFFFF }
//   prefetchable = { base = 0x80000000, limit = 0xEFFFFFFF }
//
//   [[function]]                                # on the root bus
//   at    = "02.0"                              # device.function, hexadecimal device
//   name  = "network controller"
//   id    = "7e57:0300"                         # vendor:device
//   class = 0x020000                            # base class, sub-class, programming interface
//   bars  = [ { type = "io", size = 32 }, { type = "mem32", size = "4K" } ]
//
//   [[function]]
//   at   = "1e.0"
//   kind = "bridge"                             # "device" (default), "bridge" or "cardbus"
//   id   = "7e57:0400"
//   slots = [ { device = 1, label = "slot 1" } ] # hot-plug slots on the bus behind
//   spare_buses = 8                             # bus numbers firmware leaves for them
//   reserve = { io = "8K", memory = "64M", prefetchable = "512M" }
//
//   [[function.behind]]                         # on the bus behind the bridge above
//   at = "00.0"
//   id = "7e57:0500"
//   class = 0x010601
//   bars = [ { index = 5, type = "mem32", size = "8K" } ]
//
//   [[card]]                                    # the catalogue of cards for hot plug
//   name = "network card"
//   [[card.function]]
//   function = 0
//   id = "f1a0:1000"
//   class = 0x020000
//   bars = [ { type = "io", size = 64 }, { type = "mem64", size = "128K", prefetchable = true } ]
//
#pragma once

#include <formats/files.hpp>
#include <formats/model.hpp>
#include <formats/parsed.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

Parsed<MachineDesc> parseMachine(std::string_view text, std::string_view fileName);

// Reads and parses a file; an unreadable file is one error ("file: cannot read: reason"). Only
// a regular file of at most kMaxFileBytes is read (readInputFile).
Parsed<MachineDesc> loadMachine(const std::string& path);

// The built-in machine, as the TOML text of its file.
std::string_view defaultMachineText();
// The built-in machine, parsed (its text always parses).
MachineDesc defaultMachine();

}  // namespace formats
