// Message tables and the event log's rendering of error-log entries.
//
// A message table is the RT_MESSAGETABLE resource of an image, in the platform's binary format
// (MESSAGE_RESOURCE_DATA): a count of blocks; per block the lowest and highest message ID and the
// offset of its entries; per ID one entry of a 16-bit length (header included), 16-bit flags
// (1: UTF-16 text, 0: text in the table's code page) and the text, NUL-padded to the length.
// The event log files a driver's entries under its event source, whose registered message file
// gives their texts; it fills %1 with the name of the writer and %2 onward with the entry's
// insertion strings.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace nt {

struct ErrorLogEntry;

class MessageTable {
public:
    // Throws std::runtime_error on a table that is not in the format above.
    static MessageTable parse(const std::vector<uint8_t>& bytes);
    static MessageTable load(const std::string& path);

    // The text stored under an ID, line ends included, terminating NULs removed.
    std::optional<std::u16string> find(uint32_t id) const;
    const std::map<uint32_t, std::u16string>& messages() const { return messages_; }

private:
    std::map<uint32_t, std::u16string> messages_;
};

// The event source a driver's entries are filed under: its object name without "\Driver\".
std::u16string eventSourceName(const std::u16string& driverName);

// The insertion strings of an IO_ERROR_LOG_PACKET as written: NumberOfStrings NUL-terminated
// UTF-16 strings from StringOffset. A string running off the end of the entry is cut there.
std::vector<std::u16string> insertionStrings(const std::vector<uint8_t>& packet);

// Expands a message text as the event viewer does: %1 to %99 are arguments (one that was not
// supplied stays as written, and a "!format!" after it is ignored, every argument being a
// string), %n a line break (CR LF), %r a carriage return, %t a tab, %0 ends the text; any other
// character after % stands for itself.
std::u16string formatMessage(const std::u16string& text,
                             const std::vector<std::u16string>& arguments);

// An entry as the event viewer shows it: the text of its ErrorCode with %1 the entry's event
// source and %2 onward its insertion strings; nullopt when the table has no such message.
std::optional<std::u16string> renderEvent(const MessageTable& table, const ErrorLogEntry& entry);

}  // namespace nt
