// Writing a machine as the text of a machine file, and configuration bytes as machine files hold
// them.
#pragma once

#include <formats/model.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace formats {

// A machine as the text of a machine file, which parses back into the same machine.
std::string writeMachineFile(const MachineDesc& machine, const std::vector<std::string>& notes);

// Configuration bytes as machine files write them: whitespace-separated hexadecimal bytes,
// optionally in lines that start with their offset ("00: 86 80 ..."), as lspci -x prints.
bool parseConfigBytes(std::string_view text, std::vector<uint8_t>& bytes, std::string& error);
std::string formatConfigBytes(const std::vector<uint8_t>& bytes, std::string_view indent);

}  // namespace formats
