// Message tables and the event log's rendering of error-log entries (nt/messages.hpp).
#include <nt/kernel.hpp>
#include <nt/messages.hpp>

#include <cstddef>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace nt {

namespace {

constexpr uint16_t kUnicodeEntry = 0x0001;
constexpr size_t kEntryHeader = 4;  // Length, Flags
constexpr size_t kBlockSize = 12;   // LowId, HighId, OffsetToEntries

template <typename T>
T readAt(const std::vector<uint8_t>& bytes, size_t offset, const char* what)
{
    if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) {
        throw std::runtime_error(std::string("message table: ") + what + " past the end");
    }
    T value;
    std::memcpy(&value, bytes.data() + offset, sizeof(T));
    return value;
}

std::u16string entryText(const uint8_t* text, size_t size, bool unicode)
{
    std::u16string out;
    if (unicode) {
        for (size_t i = 0; i + 1 < size; i += 2) {
            out += static_cast<char16_t>(text[i] | (text[i + 1] << 8));
        }
    } else {
        // Single-byte text; its printable ASCII reads the same in every code page.
        for (size_t i = 0; i < size; ++i) out += static_cast<char16_t>(text[i]);
    }
    while (!out.empty() && out.back() == u'\0') out.pop_back();
    return out;
}

}  // namespace

MessageTable MessageTable::parse(const std::vector<uint8_t>& bytes)
{
    MessageTable table;
    const auto blocks = readAt<uint32_t>(bytes, 0, "block count");
    if (blocks > (bytes.size() - 4) / kBlockSize) {
        throw std::runtime_error("message table: more blocks than the table holds");
    }
    for (uint32_t block = 0; block < blocks; ++block) {
        const size_t at = 4 + block * kBlockSize;
        const auto low = readAt<uint32_t>(bytes, at, "block");
        const auto high = readAt<uint32_t>(bytes, at + 4, "block");
        size_t offset = readAt<uint32_t>(bytes, at + 8, "block");
        if (low > high) throw std::runtime_error("message table: block with low ID above high ID");
        for (uint64_t id = low; id <= high; ++id) {
            const auto length = readAt<uint16_t>(bytes, offset, "entry");
            const auto flags = readAt<uint16_t>(bytes, offset + 2, "entry");
            if (length < kEntryHeader || length > bytes.size() - offset) {
                throw std::runtime_error("message table: entry length outside the table");
            }
            if ((flags & ~kUnicodeEntry) != 0) {
                throw std::runtime_error("message table: unknown entry flags");
            }
            const auto message = static_cast<uint32_t>(id);
            if (table.messages_.count(message) != 0) {
                throw std::runtime_error("message table: ID in more than one block");
            }
            table.messages_[message] = entryText(bytes.data() + offset + kEntryHeader,
                                                 length - kEntryHeader, flags == kUnicodeEntry);
            offset += length;
        }
    }
    return table;
}

MessageTable MessageTable::load(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) throw std::runtime_error("cannot read message table " + path);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(file),
                               std::istreambuf_iterator<char>()};
    return parse(bytes);
}

std::optional<std::u16string> MessageTable::find(uint32_t id) const
{
    auto it = messages_.find(id);
    if (it == messages_.end()) return std::nullopt;
    return it->second;
}

std::u16string eventSourceName(const std::u16string& driverName)
{
    const std::u16string directory = u"\\Driver\\";
    if (driverName.compare(0, directory.size(), directory) == 0) {
        return driverName.substr(directory.size());
    }
    return driverName;
}

std::vector<std::u16string> insertionStrings(const std::vector<uint8_t>& packet)
{
    std::vector<std::u16string> strings;
    if (packet.size() < offsetof(IO_ERROR_LOG_PACKET, DumpData)) return strings;
    const auto count = readAt<USHORT>(packet, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings), "");
    size_t at = readAt<USHORT>(packet, offsetof(IO_ERROR_LOG_PACKET, StringOffset), "");
    for (USHORT i = 0; i < count && at < packet.size(); ++i) {
        std::u16string text;
        for (; at + 1 < packet.size(); at += 2) {
            const auto c = static_cast<char16_t>(packet[at] | (packet[at + 1] << 8));
            if (c == u'\0') break;
            text += c;
        }
        at += 2;  // the terminating NUL
        strings.push_back(std::move(text));
    }
    return strings;
}

std::u16string formatMessage(const std::u16string& text,
                             const std::vector<std::u16string>& arguments)
{
    std::u16string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != u'%' || i + 1 == text.size()) {
            if (text[i] != u'%') out += text[i];
            continue;
        }
        const char16_t next = text[++i];
        if (next >= u'1' && next <= u'9') {
            const size_t start = i - 1;
            size_t number = static_cast<size_t>(next - u'0');
            if (i + 1 < text.size() && text[i + 1] >= u'0' && text[i + 1] <= u'9') {
                number = number * 10 + static_cast<size_t>(text[++i] - u'0');
            }
            if (i + 1 < text.size() && text[i + 1] == u'!') {
                const size_t close = text.find(u'!', i + 2);
                if (close != std::u16string::npos) i = close;
            }
            if (number <= arguments.size()) {
                out += arguments[number - 1];
            } else {
                out += text.substr(start, i + 1 - start);
            }
            continue;
        }
        switch (next) {
        case u'0': return out;
        case u'n': out += u"\r\n"; break;
        case u'r': out += u'\r'; break;
        case u't': out += u'\t'; break;
        default: out += next; break;
        }
    }
    return out;
}

std::optional<std::u16string> renderEvent(const MessageTable& table, const ErrorLogEntry& entry)
{
    if (entry.bytes.size() < offsetof(IO_ERROR_LOG_PACKET, DumpData)) return std::nullopt;
    const auto code = readAt<uint32_t>(entry.bytes, offsetof(IO_ERROR_LOG_PACKET, ErrorCode), "");
    auto text = table.find(code);
    if (!text) return std::nullopt;
    std::vector<std::u16string> arguments{eventSourceName(entry.driverName)};
    for (auto& s : insertionStrings(entry.bytes)) arguments.push_back(std::move(s));
    return formatMessage(*text, arguments);
}

// --- the kernel's event sources ----------------------------------------------------------------

void Kernel::registerEventSource(const std::u16string& source, MessageTable messages)
{
    eventSources_.insert_or_assign(source, std::move(messages));
}

std::optional<std::u16string> Kernel::renderEvent(const ErrorLogEntry& entry) const
{
    auto it = eventSources_.find(eventSourceName(entry.driverName));
    if (it == eventSources_.end()) return std::nullopt;
    return nt::renderEvent(it->second, entry);
}

}  // namespace nt
