// The kernel's printf rules, used by DbgPrint and by the kernel's swprintf. They differ from the
// C library's: "l" means 32 bits, "I64" 64 bits, "w" and "S" 16-bit characters, "Z" a counted
// string.
#include <nt/kernel.hpp>

#include <cstdio>
#include <cstring>

namespace nt {

std::u16string widen(const std::string& utf8)
{
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        auto c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp = c;
        size_t extra = 0;
        if (c >= 0xF0) { cp = c & 0x07; extra = 3; }
        else if (c >= 0xE0) { cp = c & 0x0F; extra = 2; }
        else if (c >= 0xC0) { cp = c & 0x1F; extra = 1; }
        ++i;
        for (size_t k = 0; k < extra && i < utf8.size(); ++k, ++i) {
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i]) & 0x3F);
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

std::string narrow(const std::u16string& utf16)
{
    std::string out;
    for (size_t i = 0; i < utf16.size(); ++i) {
        uint32_t cp = utf16[i];
        if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < utf16.size()) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[++i] - 0xDC00);
        }
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

namespace {

std::u16string wideString(const WCHAR* s, int maxChars)
{
    std::u16string out;
    if (s == nullptr) return u"(null)";
    for (int i = 0; s[i] != 0 && (maxChars < 0 || i < maxChars); ++i) out += s[i];
    return out;
}

template <typename T>
std::string printfOne(const std::string& spec, T value)
{
    int n = std::snprintf(nullptr, 0, spec.c_str(), value);
    std::string out(static_cast<size_t>(n > 0 ? n : 0), '\0');
    std::snprintf(out.data(), out.size() + 1, spec.c_str(), value);
    return out;
}

}  // namespace

std::string formatNt(const char* format, va_list arguments, bool wideRoutine)
{
    std::string out;
    for (const char* p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            out += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            out += '%';
            continue;
        }
        std::string flags;
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) flags += *p++;
        std::string width;
        if (*p == '*') {
            width = std::to_string(va_arg(arguments, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') width += *p++;
        }
        std::string precision;
        bool hasPrecision = false;
        if (*p == '.') {
            hasPrecision = true;
            ++p;
            if (*p == '*') {
                precision = std::to_string(va_arg(arguments, int));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') precision += *p++;
            }
        }
        enum class Size { Default, Short, Long, Wide, Int64 } size = Size::Default;
        if (*p == 'h') { size = Size::Short; ++p; }
        else if (*p == 'l' && p[1] == 'l') { size = Size::Int64; p += 2; }
        else if (*p == 'l') { size = Size::Long; ++p; }
        else if (*p == 'w') { size = Size::Wide; ++p; }
        else if (std::strncmp(p, "I64", 3) == 0) { size = Size::Int64; p += 3; }
        else if (std::strncmp(p, "I32", 3) == 0) { size = Size::Long; p += 3; }
        else if (*p == 'I') { size = sizeof(void*) == 8 ? Size::Int64 : Size::Long; ++p; }
        if (*p == '\0') break;

        const std::string head = "%" + flags + width + (hasPrecision ? "." + precision : "");
        const char conversion = *p;
        // "h" means 8-bit characters and "l" or "w" 16-bit ones; without either, %s and %c take
        // the routine's own width and %S and %C the other.
        const bool wideText =
            size == Size::Wide || size == Size::Long ||
            (size != Size::Short && ((conversion == 'S' || conversion == 'C') != wideRoutine));
        switch (conversion) {
        case 'd':
        case 'i':
            if (size == Size::Int64) {
                out += printfOne(head + "lld", va_arg(arguments, long long));
            } else if (size == Size::Short) {
                out += printfOne(head + "d", static_cast<short>(va_arg(arguments, int)));
            } else {
                out += printfOne(head + "d", static_cast<int32_t>(va_arg(arguments, int)));
            }
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (size == Size::Int64) {
                out += printfOne(head + "ll" + conversion, va_arg(arguments, unsigned long long));
            } else if (size == Size::Short) {
                out += printfOne(head + conversion,
                                 static_cast<unsigned>(
                                     static_cast<uint16_t>(va_arg(arguments, unsigned))));
            } else {
                out += printfOne(head + conversion,
                                 static_cast<uint32_t>(va_arg(arguments, unsigned)));
            }
            break;
        case 'p':
            // The kernel prints pointers as upper-case hexadecimal, zero-padded to their width:
            // eight digits of the i386 kernel address, on a 64-bit host too.
            out += printfOne("%08X", kernelAddress(va_arg(arguments, void*)));
            break;
        case 'c':
        case 'C': {
            int c = va_arg(arguments, int);
            if (wideText) {
                out += printfOne(head + "s", narrow(std::u16string(1, static_cast<char16_t>(c))).c_str());
            } else {
                out += printfOne(head + "c", c);
            }
            break;
        }
        case 's':
        case 'S': {
            const int maxChars = hasPrecision ? std::atoi(precision.c_str()) : -1;
            if (wideText) {
                auto* s = va_arg(arguments, const WCHAR*);
                std::string text = narrow(wideString(s, maxChars));
                out += printfOne("%" + flags + width + "s", text.c_str());
            } else {
                auto* s = va_arg(arguments, const char*);
                out += printfOne(head + "s", s != nullptr ? s : "(null)");
            }
            break;
        }
        case 'Z': {
            auto* s = va_arg(arguments, const UNICODE_STRING*);
            std::string text = "(null)";
            if (s != nullptr && s->Buffer != nullptr) {
                text = narrow(std::u16string(s->Buffer, s->Length / sizeof(WCHAR)));
            }
            out += printfOne("%" + flags + width + "s", text.c_str());
            break;
        }
        default:
            out += '%';
            out += conversion;
            break;
        }
    }
    return out;
}

// --- the debug port ------------------------------------------------------------------------------

void Kernel::clearDebugOutput()
{
    debugOutput_.clear();
    breakpoints_.clear();
}

void Kernel::debugPrint(std::string text)
{
    if (onDebugPrint) onDebugPrint(text);
    debugOutput_.push_back(std::move(text));
}

void Kernel::breakpoint(const void* caller)
{
    breakpoints_.push_back(Breakpoint{debugOutput_.size(), caller});
    if (onBreakpoint) onBreakpoint();
}

}  // namespace nt

extern "C" NT_IMAGE_CALLABLE ULONG DbgPrint(PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    std::string text = nt::formatNt(Format, arguments);
    va_end(arguments);
    nt::Kernel::current().debugPrint(std::move(text));
    return STATUS_SUCCESS;
}

NT_IMAGE_CALLABLE int swprintf(WCHAR* Buffer, const WCHAR* Format, ...)
{
    std::string format = nt::narrow(std::u16string(Format));
    va_list arguments;
    va_start(arguments, Format);
    std::u16string text = nt::widen(nt::formatNt(format.c_str(), arguments, true));
    va_end(arguments);
    std::memcpy(Buffer, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
    return static_cast<int>(text.size());
}
