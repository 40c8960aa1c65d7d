#include "platform/nt/wformat.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "ntdef.h"

namespace qk {

std::string ToUtf8(const char16_t* text, size_t units) {
    std::string out;
    out.reserve(units);
    for (size_t i = 0; i < units; ++i) {
        uint32_t cp = text[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < units && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone surrogate cannot be represented
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

std::string ToUtf8(const std::u16string& text) { return ToUtf8(text.data(), text.size()); }

std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        uint32_t cp;
        size_t extra;
        unsigned char c = s[i];
        if (c < 0x80) {
            cp = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07;
            extra = 3;
        } else {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        bool ok = true;
        for (size_t k = 1; k <= extra; ++k) {
            if (i + k >= n || (s[i + k] & 0xC0) != 0x80) {
                ok = false;
                break;
            }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if (!ok) {
            out += u'\uFFFD';
            ++i;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000 && cp <= 0x10FFFF) {
            cp -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (cp >> 10));
            out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out += u'\uFFFD';
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

namespace {

template <typename Char>
struct Sink;

template <>
struct Sink<char> {
    std::string out;
    void Ascii(const char* s, size_t n) { out.append(s, n); }
    void Narrow(const char* s, size_t n) { out.append(s, n); }
    void Wide(const char16_t* s, size_t n) { out += ToUtf8(s, n); }
};

template <>
struct Sink<char16_t> {
    std::u16string out;
    void Ascii(const char* s, size_t n) {
        for (size_t i = 0; i < n; ++i) out += static_cast<char16_t>(static_cast<unsigned char>(s[i]));
    }
    void Narrow(const char* s, size_t n) { out += ToUtf16(std::string(s, n)); }
    void Wide(const char16_t* s, size_t n) { out.append(s, n); }
};

size_t WideLength(const char16_t* s, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n] != 0) ++n;
    return n;
}

size_t NarrowLength(const char* s, int precision) {
    size_t n = 0;
    while ((precision < 0 || n < static_cast<size_t>(precision)) && s[n] != 0) ++n;
    return n;
}

enum class Size { Default, Short, Char, Long32, Long64, Pointer, LongDouble, WideMod };

template <typename Char>
void Pad(Sink<Char>& sink, size_t have, int width, bool left, bool before) {
    if (width <= 0 || have >= static_cast<size_t>(width) || left == before) return;
    std::string spaces(static_cast<size_t>(width) - have, ' ');
    sink.Ascii(spaces.data(), spaces.size());
}

template <typename Char>
void FormatInto(Sink<Char>& sink, const Char* f, va_list args) {
    constexpr bool kWideFormat = sizeof(Char) == 2;
    while (*f) {
        if (*f != '%') {
            const Char* start = f;
            while (*f && *f != '%') ++f;
            if constexpr (kWideFormat) {
                sink.Wide(start, static_cast<size_t>(f - start));
            } else {
                sink.Narrow(start, static_cast<size_t>(f - start));
            }
            continue;
        }
        const Char* specStart = f++;
        if (*f == '%') {
            sink.Ascii("%", 1);
            ++f;
            continue;
        }
        std::string flags;
        while (*f == '-' || *f == '+' || *f == ' ' || *f == '#' || *f == '0') flags += static_cast<char>(*f++);
        int width = -1;
        if (*f == '*') {
            width = va_arg(args, int);
            if (width < 0) {
                flags += '-';
                width = width == INT32_MIN ? INT32_MAX : -width;
            }
            if (width > 100000) width = 100000;
            ++f;
        } else {
            while (*f >= '0' && *f <= '9') {
                width = (width < 0 ? 0 : width) * 10 + (*f++ - '0');
                if (width > 100000) width = 100000;  // a hostile width must not exhaust memory
            }
        }
        int precision = -1;
        if (*f == '.') {
            ++f;
            precision = 0;
            if (*f == '*') {
                precision = va_arg(args, int);
                if (precision > 100000) precision = 100000;
                if (precision < 0) precision = -1;  // a negative precision means none
                ++f;
            } else {
                while (*f >= '0' && *f <= '9') {
                    precision = precision * 10 + (*f++ - '0');
                    if (precision > 100000) precision = 100000;
                }
            }
        }
        Size size = Size::Default;
        if (*f == 'h') {
            ++f;
            size = Size::Short;
            if (*f == 'h') {
                ++f;
                size = Size::Char;
            }
        } else if (*f == 'l') {
            ++f;
            size = Size::Long32;
            if (*f == 'l') {
                ++f;
                size = Size::Long64;
            }
        } else if (*f == 'w') {
            ++f;
            size = Size::WideMod;
        } else if (*f == 'I') {
            if (f[1] == '6' && f[2] == '4') {
                f += 3;
                size = Size::Long64;
            } else if (f[1] == '3' && f[2] == '2') {
                f += 3;
                size = Size::Long32;
            } else {
                ++f;
                size = Size::Pointer;
            }
        } else if (*f == 'z' || *f == 't' || *f == 'j') {
            ++f;
            size = Size::Pointer;
        } else if (*f == 'L') {
            ++f;
            size = Size::LongDouble;
        }
        Char conv = *f;
        if (conv == 0) {
            // A dangling conversion: show it as it stands.
            if constexpr (kWideFormat) {
                sink.Wide(specStart, static_cast<size_t>(f - specStart));
            } else {
                sink.Narrow(specStart, static_cast<size_t>(f - specStart));
            }
            break;
        }
        ++f;
        bool left = flags.find('-') != std::string::npos;
        char buffer[512];
        std::string spec = "%" + flags;
        if (width >= 0) spec += std::to_string(width);
        if (precision >= 0) spec += "." + std::to_string(precision);

        switch (conv) {
            case 'd':
            case 'i':
            case 'u':
            case 'x':
            case 'X':
            case 'o': {
                bool isSigned = conv == 'd' || conv == 'i';
                std::string s;
                if (size == Size::Long64 || (size == Size::Pointer && sizeof(void*) == 8)) {
                    if (isSigned) {
                        int64_t v = va_arg(args, int64_t);
                        s = spec + "ll" + static_cast<char>(conv);
                        std::string out(static_cast<size_t>(std::snprintf(nullptr, 0, s.c_str(), static_cast<long long>(v))) + 1, '\0');
                        std::snprintf(out.data(), out.size(), s.c_str(), static_cast<long long>(v));
                        sink.Ascii(out.data(), out.size() - 1);
                    } else {
                        uint64_t v = va_arg(args, uint64_t);
                        s = spec + "ll" + static_cast<char>(conv);
                        std::string out(static_cast<size_t>(std::snprintf(nullptr, 0, s.c_str(), static_cast<unsigned long long>(v))) + 1, '\0');
                        std::snprintf(out.data(), out.size(), s.c_str(), static_cast<unsigned long long>(v));
                        sink.Ascii(out.data(), out.size() - 1);
                    }
                } else {
                    int v = va_arg(args, int);
                    if (size == Size::Short) v = isSigned ? static_cast<short>(v) : static_cast<unsigned short>(v);
                    if (size == Size::Char) v = isSigned ? static_cast<signed char>(v) : static_cast<unsigned char>(v);
                    s = spec + static_cast<char>(conv);
                    std::string out(static_cast<size_t>(std::snprintf(nullptr, 0, s.c_str(), v)) + 1, '\0');
                    std::snprintf(out.data(), out.size(), s.c_str(), v);
                    sink.Ascii(out.data(), out.size() - 1);
                }
                break;
            }
            case 'e':
            case 'E':
            case 'f':
            case 'F':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                double v = size == Size::LongDouble ? static_cast<double>(va_arg(args, long double)) : va_arg(args, double);
                std::string s = spec + static_cast<char>(conv);
                std::string out(static_cast<size_t>(std::snprintf(nullptr, 0, s.c_str(), v)) + 1, '\0');
                std::snprintf(out.data(), out.size(), s.c_str(), v);
                sink.Ascii(out.data(), out.size() - 1);
                break;
            }
            case 'p': {
                void* p = va_arg(args, void*);
                int n = std::snprintf(buffer, sizeof buffer, "%0*" PRIXPTR, static_cast<int>(2 * sizeof(void*)),
                                      reinterpret_cast<uintptr_t>(p));
                Pad(sink, static_cast<size_t>(n), width, left, true);
                sink.Ascii(buffer, static_cast<size_t>(n));
                Pad(sink, static_cast<size_t>(n), width, left, false);
                break;
            }
            case 'c':
            case 'C': {
                bool wideChar = (conv == 'C') != kWideFormat;
                if (size == Size::Long32 || size == Size::WideMod) wideChar = true;
                if (size == Size::Short) wideChar = false;
                int v = va_arg(args, int);
                Pad(sink, 1, width, left, true);
                if (wideChar) {
                    char16_t c = static_cast<char16_t>(v);
                    sink.Wide(&c, 1);
                } else {
                    char c = static_cast<char>(v);
                    sink.Narrow(&c, 1);
                }
                Pad(sink, 1, width, left, false);
                break;
            }
            case 's':
            case 'S': {
                bool wideString = (conv == 'S') != kWideFormat;
                if (size == Size::Long32 || size == Size::WideMod) wideString = true;
                if (size == Size::Short) wideString = false;
                const void* p = va_arg(args, const void*);
                if (p == nullptr) {
                    Pad(sink, 6, width, left, true);
                    sink.Ascii("(null)", 6);
                    Pad(sink, 6, width, left, false);
                } else if (wideString) {
                    auto* s = static_cast<const char16_t*>(p);
                    size_t n = WideLength(s, precision);
                    Pad(sink, n, width, left, true);
                    sink.Wide(s, n);
                    Pad(sink, n, width, left, false);
                } else {
                    auto* s = static_cast<const char*>(p);
                    size_t n = NarrowLength(s, precision);
                    Pad(sink, n, width, left, true);
                    sink.Narrow(s, n);
                    Pad(sink, n, width, left, false);
                }
                break;
            }
            case 'Z': {
                const void* p = va_arg(args, const void*);
                if (p == nullptr) {
                    sink.Ascii("(null)", 6);
                } else if (size == Size::WideMod) {
                    auto* u = static_cast<const UNICODE_STRING*>(p);
                    if (u->Buffer == nullptr) {
                        sink.Ascii("(null)", 6);
                    } else {
                        size_t n = u->Length / 2;
                        Pad(sink, n, width, left, true);
                        sink.Wide(u->Buffer, n);
                        Pad(sink, n, width, left, false);
                    }
                } else {
                    auto* a = static_cast<const ANSI_STRING*>(p);
                    if (a->Buffer == nullptr) {
                        sink.Ascii("(null)", 6);
                    } else {
                        Pad(sink, a->Length, width, left, true);
                        sink.Narrow(a->Buffer, a->Length);
                        Pad(sink, a->Length, width, left, false);
                    }
                }
                break;
            }
            case 'n':
                // Writing through an argument is never honoured: it is the classic
                // way a format string from outside turns into a memory write.
                (void)va_arg(args, void*);
                break;
            default:
                if constexpr (kWideFormat) {
                    sink.Wide(specStart, static_cast<size_t>(f - specStart));
                } else {
                    sink.Narrow(specStart, static_cast<size_t>(f - specStart));
                }
                break;
        }
    }
}

}  // namespace

std::string FormatV(const char* format, va_list args) {
    Sink<char> sink;
    if (format == nullptr) return "(null)";
    va_list copy;
    va_copy(copy, args);
    FormatInto(sink, format, copy);
    va_end(copy);
    return std::move(sink.out);
}

std::string Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = FormatV(format, args);
    va_end(args);
    return s;
}

std::u16string FormatWideV(const char16_t* format, va_list args) {
    Sink<char16_t> sink;
    if (format == nullptr) return u"(null)";
    va_list copy;
    va_copy(copy, args);
    FormatInto(sink, format, copy);
    va_end(copy);
    return std::move(sink.out);
}

std::u16string FormatWide(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    std::u16string s = FormatWideV(format, args);
    va_end(args);
    return s;
}

}  // namespace qk
