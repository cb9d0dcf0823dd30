// The PCI configuration header as the driver sees it: every offset it reads or writes, named
// once, and the class codes and register bits it tests. Offsets are bytes from the start of a
// function's configuration space; multi-byte fields are little-endian.
#pragma once

#include "../kernel.h"

// Fields common to every header layout.
constexpr ULONG HOTP_CONFIG_VENDOR_ID = 0x00;        // 16 bits
constexpr ULONG HOTP_CONFIG_DEVICE_ID = 0x02;        // 16 bits
constexpr ULONG HOTP_CONFIG_COMMAND = 0x04;          // 16 bits
constexpr ULONG HOTP_CONFIG_SUB_CLASS = 0x0A;        // 8 bits
constexpr ULONG HOTP_CONFIG_BASE_CLASS = 0x0B;       // 8 bits
constexpr ULONG HOTP_CONFIG_CACHE_LINE_SIZE = 0x0C;  // 8 bits
constexpr ULONG HOTP_CONFIG_LATENCY_TIMER = 0x0D;    // 8 bits
constexpr ULONG HOTP_CONFIG_HEADER_TYPE = 0x0E;      // 8 bits: layout in bits 0-6, bit 7 multi-function
constexpr ULONG HOTP_CONFIG_HEADER_SIZE = 64;        // the predefined header

// An ordinary (type 0) function: six BARs from 0x10.
constexpr ULONG HOTP_CONFIG_BARS = 0x10;
constexpr ULONG HOTP_CONFIG_BAR_BYTES = 24;

// A PCI-to-PCI (type 1) or CardBus (type 2) bridge: primary, secondary and subordinate bus
// numbers, one byte each.
constexpr ULONG HOTP_CONFIG_PRIMARY_BUS = 0x18;
constexpr ULONG HOTP_CONFIG_SECONDARY_BUS = 0x19;
constexpr ULONG HOTP_CONFIG_SUBORDINATE_BUS = 0x1A;
constexpr ULONG HOTP_CONFIG_BUS_NUMBER_BYTES = 3;

// Header type: the layout and the multi-function bit.
constexpr UCHAR HOTP_HEADER_LAYOUT_MASK = 0x7F;
constexpr UCHAR HOTP_HEADER_MULTI_FUNCTION = 0x80;
constexpr UCHAR HOTP_HEADER_ORDINARY = 0;
constexpr UCHAR HOTP_HEADER_PCI_BRIDGE = 1;
constexpr UCHAR HOTP_HEADER_CARDBUS_BRIDGE = 2;

// Class codes tested.
constexpr UCHAR HOTP_CLASS_DISPLAY = 0x03;
constexpr UCHAR HOTP_CLASS_BRIDGE = 0x06;
constexpr UCHAR HOTP_SUBCLASS_HOST_BRIDGE = 0x00;
constexpr UCHAR HOTP_SUBCLASS_PCI_BRIDGE = 0x04;
constexpr UCHAR HOTP_SUBCLASS_CARDBUS_BRIDGE = 0x07;

// Command register bits.
constexpr USHORT HOTP_COMMAND_DECODE = 0x0003;   // I/O space and memory space
constexpr USHORT HOTP_COMMAND_ENABLED = 0x0007;  // I/O space, memory space, bus master

// A 16-bit field of a header read into a byte buffer.
inline USHORT HotpHeaderWord(const UCHAR* Header, ULONG Offset)
{
    return static_cast<USHORT>(Header[Offset] | (Header[Offset + 1] << 8));
}

// True when a header type names a bridge layout that forwards bus numbers.
constexpr bool HotpIsBridgeLayout(UCHAR HeaderType)
{
    const UCHAR Layout = HeaderType & HOTP_HEADER_LAYOUT_MASK;
    return Layout == HOTP_HEADER_PCI_BRIDGE || Layout == HOTP_HEADER_CARDBUS_BRIDGE;
}
