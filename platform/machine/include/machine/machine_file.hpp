// Machine files and scenario files: TOML, parsed into MachineDesc and ScenarioDesc. Every
// problem is reported as "file:line: message" with the line of the offending key or table, and
// nothing is returned when there is any. docs/machine-file.md describes both formats; in short:
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
// A scenario file:
//
//   name = "hot add and remove"
//   [[event]]
//   at = "100ms"
//   insert = "network card"
//   slot = "slot 1"                             # a label, or a path: "1e.0/01"
//   [[event]]
//   at = "300ms"
//   power = "D3"
//   device = "slot 1"                           # function 0 of the card in slot 1
//   [[event]]
//   at = "1s"
//   remove = "slot 1"                           # also surprise_remove, sleep = "S3", wake = true
#pragma once

#include <machine/description.hpp>
#include <machine/scenario.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace machine {

// Either a parsed value or the list of what is wrong with the text.
template <class T>
class Parsed {
public:
    Parsed(T value) : v_(std::move(value)) {}
    Parsed(std::vector<std::string> errors) : v_(std::move(errors)) {}

    bool ok() const { return std::holds_alternative<T>(v_); }
    explicit operator bool() const { return ok(); }
    T& value() { return std::get<T>(v_); }
    const T& value() const { return std::get<T>(v_); }
    const std::vector<std::string>& errors() const
    {
        static const std::vector<std::string> none;
        return ok() ? none : std::get<std::vector<std::string>>(v_);
    }

private:
    std::variant<T, std::vector<std::string>> v_;
};

Parsed<MachineDesc> parseMachine(std::string_view text, std::string_view fileName);
Parsed<ScenarioDesc> parseScenario(std::string_view text, std::string_view fileName);

// The largest machine or scenario file read: far beyond any real description, small enough that
// a mistaken path (a log, an image) is refused at once.
constexpr uint64_t kMaxFileBytes = 1 << 20;

// Reads and parses a file; an unreadable file is one error ("file: cannot read: reason"). Only
// a regular file of at most kMaxFileBytes is read: a directory, device, FIFO or dangling link is
// refused without waiting on it.
Parsed<MachineDesc> loadMachine(const std::string& path);
Parsed<ScenarioDesc> loadScenario(const std::string& path);

// The built-in machine and scenario, as the TOML text of their files.
std::string_view defaultMachineText();
std::string_view defaultScenarioText();
// The built-in machine and scenario, parsed (their text always parses).
MachineDesc defaultMachine();
ScenarioDesc defaultScenario();

}  // namespace machine
