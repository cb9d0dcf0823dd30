// The configuration space of every function software can reach, in the text format that
// `lspci -xxx` prints, so that `lspci -F FILE -vv` from pciutils decodes it:
//
//   00:1e.0 Class 0604: Device 7e57:0400
//   00: 57 7e 00 04 07 00 00 00 00 00 04 06 08 40 01 00
//   10: ...                                   (16 lines of 16 bytes)
//
// with a blank line after each function. Buses are walked from the root through the bridges'
// current secondary bus numbers, and every byte is read with ordinary configuration reads, so
// the dump shows what software sees (a bridge whose bus numbers are not set hides its bus).
#pragma once

#include <pci/hardware.hpp>

#include <ostream>

namespace formats {

void writeLspciDump(std::ostream& out, pci::Hierarchy& hw);

}  // namespace formats
