// Scenario files: TOML, parsed into ScenarioDesc, every problem reported as "file:line: message"
// (docs/machine-file.md). In short:
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

#include <formats/files.hpp>
#include <formats/model.hpp>
#include <formats/parsed.hpp>

#include <string>
#include <string_view>

namespace formats {

Parsed<ScenarioDesc> parseScenario(std::string_view text, std::string_view fileName);
// Reads and parses a file of at most kMaxFileBytes; an unreadable file is one error.
Parsed<ScenarioDesc> loadScenario(const std::string& path);

// The built-in scenario, as the TOML text of its file and parsed (its text always parses).
std::string_view defaultScenarioText();
ScenarioDesc defaultScenario();

}  // namespace formats
