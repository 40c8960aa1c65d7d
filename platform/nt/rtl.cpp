// Counted-string and memory helpers of the kernel runtime library.
#include <cstdio>
#include <string>

#include "platform/nt/pool.h"
#include "platform/nt/wformat.h"
#include "wdm.h"

namespace {

constexpr ULONG kStringTag = qk::nt::pool::Tag("Strg");

size_t WideLength(PCWSTR s) {
    size_t n = 0;
    while (s[n] != 0) ++n;
    return n;
}

}  // namespace

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = WideLength(SourceString) * sizeof(WCHAR);
    if (bytes > 0xFFFC) bytes = 0xFFFC;  // the longest counted string with room for the zero
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSZ SourceString) {
    if (SourceString == nullptr) {
        DestinationString->Length = DestinationString->MaximumLength = 0;
        DestinationString->Buffer = nullptr;
        return;
    }
    size_t bytes = std::strlen(SourceString);
    if (bytes > 0xFFFE) bytes = 0xFFFE;
    DestinationString->Length = static_cast<USHORT>(bytes);
    DestinationString->MaximumLength = static_cast<USHORT>(bytes + 1);
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (SourceString == nullptr || SourceString->Buffer == nullptr) {
        DestinationString->Length = 0;
        return;
    }
    USHORT n = SourceString->Length < DestinationString->MaximumLength ? SourceString->Length
                                                                         : DestinationString->MaximumLength;
    n &= ~1;
    std::memmove(DestinationString->Buffer, SourceString->Buffer, n);
    DestinationString->Length = n;
    if (n + sizeof(WCHAR) <= DestinationString->MaximumLength) DestinationString->Buffer[n / 2] = 0;
}

NTSTATUS RtlAppendUnicodeStringToString(PUNICODE_STRING Destination, PCUNICODE_STRING Source) {
    if (Source == nullptr || Source->Length == 0) return STATUS_SUCCESS;
    size_t total = size_t{Destination->Length} + Source->Length;
    if (total > Destination->MaximumLength) return STATUS_BUFFER_TOO_SMALL;
    std::memmove(reinterpret_cast<uint8_t*>(Destination->Buffer) + Destination->Length, Source->Buffer, Source->Length);
    Destination->Length = static_cast<USHORT>(total);
    if (total + sizeof(WCHAR) <= Destination->MaximumLength) Destination->Buffer[total / 2] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source) {
    if (Source == nullptr) return STATUS_SUCCESS;
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, Source);
    return RtlAppendUnicodeStringToString(Destination, &s);
}

WCHAR RtlUpcaseUnicodeChar(WCHAR c) {
    if (c >= u'a' && c <= u'z') return static_cast<WCHAR>(c - 32);
    // Latin-1 supplement and Latin Extended-A, the letters registry names and
    // device names of this package can hold.
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return static_cast<WCHAR>(c - 32);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F && (c & 1) && c != 0x131 && c != 0x138 && c != 0x149 && c != 0x17F) {
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) return c;  // odd/even swapped ranges
        return static_cast<WCHAR>(c - 1);
    }
    if ((c >= 0x13A && c <= 0x148 && !(c & 1)) || (c >= 0x17A && c <= 0x17E && !(c & 1))) {
        return static_cast<WCHAR>(c - 1);
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2) return static_cast<WCHAR>(c - 32);  // Greek
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 32);                // Cyrillic
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 80);
    return c;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    size_t n1 = String1->Length / 2, n2 = String2->Length / 2;
    size_t n = n1 < n2 ? n1 : n2;
    for (size_t i = 0; i < n; ++i) {
        WCHAR a = String1->Buffer[i], b = String2->Buffer[i];
        if (CaseInSensitive) {
            a = RtlUpcaseUnicodeChar(a);
            b = RtlUpcaseUnicodeChar(b);
        }
        if (a != b) return static_cast<LONG>(a) - static_cast<LONG>(b);
    }
    return static_cast<LONG>(n1) - static_cast<LONG>(n2);
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length != String2->Length) return FALSE;
    return RtlCompareUnicodeString(String1, String2, CaseInSensitive) == 0;
}

BOOLEAN RtlPrefixUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    if (String1->Length > String2->Length) return FALSE;
    UNICODE_STRING head{String1->Length, String1->Length, String2->Buffer};
    return RtlCompareUnicodeString(String1, &head, CaseInSensitive) == 0;
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    size_t n = SourceString->Length / 2;
    if (n > 0xFFFE) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PCHAR>(ExAllocatePoolWithTag(PagedPool, n + 1, kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
    } else if (n > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    // The target converts through the system code page; characters outside it become '?'.
    for (size_t i = 0; i < n; ++i) {
        WCHAR c = SourceString->Buffer[i];
        DestinationString->Buffer[i] = c < 0x80 ? static_cast<CHAR>(c) : '?';
    }
    DestinationString->Length = static_cast<USHORT>(n);
    if (n < DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    size_t n = SourceString->Length;
    if (n * 2 > 0xFFFC) return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, (n + 1) * 2, kStringTag));
        if (buffer == nullptr) return STATUS_NO_MEMORY;
        DestinationString->Buffer = buffer;
        DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * 2);
    } else if (n * 2 > DestinationString->MaximumLength) {
        return STATUS_BUFFER_OVERFLOW;
    }
    for (size_t i = 0; i < n; ++i) DestinationString->Buffer[i] = static_cast<uint8_t>(SourceString->Buffer[i]);
    DestinationString->Length = static_cast<USHORT>(n * 2);
    if (n * 2 + 2 <= DestinationString->MaximumLength) DestinationString->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString->Buffer) ExFreePoolWithTag(UnicodeString->Buffer, kStringTag);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = UnicodeString->MaximumLength = 0;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString->Buffer) ExFreePoolWithTag(AnsiString->Buffer, kStringTag);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = AnsiString->MaximumLength = 0;
}

NTSTATUS RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String) {
    if (Base == 0) Base = 10;
    if (Base != 2 && Base != 8 && Base != 10 && Base != 16) return STATUS_INVALID_PARAMETER;
    char digits[40];
    int n = 0;
    do {
        ULONG d = Value % Base;
        digits[n++] = static_cast<char>(d < 10 ? '0' + d : 'A' + d - 10);
        Value /= Base;
    } while (Value != 0);
    if (static_cast<size_t>(n) * 2 > String->MaximumLength) return STATUS_BUFFER_OVERFLOW;
    for (int i = 0; i < n; ++i) String->Buffer[i] = static_cast<WCHAR>(digits[n - 1 - i]);
    String->Length = static_cast<USHORT>(n * 2);
    if (static_cast<size_t>(n) * 2 + 2 <= String->MaximumLength) String->Buffer[n] = 0;
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringToInteger(PCUNICODE_STRING String, ULONG Base, PULONG Value) {
    size_t n = String->Length / 2, i = 0;
    const WCHAR* s = String->Buffer;
    while (i < n && (s[i] == u' ' || s[i] == u'\t')) ++i;
    bool negative = false;
    if (i < n && (s[i] == u'-' || s[i] == u'+')) negative = s[i++] == u'-';
    if (Base == 0) {
        Base = 10;
        if (i + 1 < n && s[i] == u'0') {
            WCHAR p = s[i + 1];
            if (p == u'x') Base = 16, i += 2;
            else if (p == u'o') Base = 8, i += 2;
            else if (p == u'b') Base = 2, i += 2;
        }
    } else if (Base != 2 && Base != 8 && Base != 10 && Base != 16) {
        return STATUS_INVALID_PARAMETER;
    }
    ULONG v = 0;
    for (; i < n; ++i) {
        WCHAR c = s[i];
        ULONG d;
        if (c >= u'0' && c <= u'9') d = c - u'0';
        else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
        else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
        else break;
        if (d >= Base) break;
        v = v * Base + d;
    }
    *Value = negative ? static_cast<ULONG>(0u - v) : v;
    return STATUS_SUCCESS;
}

NTSTATUS RtlStringFromGUID(REFGUID Guid, PUNICODE_STRING GuidString) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", Guid.Data1, Guid.Data2,
                  Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3], Guid.Data4[4], Guid.Data4[5],
                  Guid.Data4[6], Guid.Data4[7]);
    auto* buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, 39 * 2, kStringTag));
    if (buffer == nullptr) return STATUS_NO_MEMORY;
    for (int i = 0; i < 39; ++i) buffer[i] = static_cast<WCHAR>(text[i]);
    GuidString->Buffer = buffer;
    GuidString->Length = 38 * 2;
    GuidString->MaximumLength = 39 * 2;
    return STATUS_SUCCESS;
}

NTSTATUS RtlGUIDFromString(PCUNICODE_STRING GuidString, GUID* Guid) {
    if (GuidString->Length != 38 * 2) return STATUS_INVALID_PARAMETER;
    const WCHAR* s = GuidString->Buffer;
    auto hex = [&](int pos, int digits, uint64_t* out) {
        uint64_t v = 0;
        for (int i = 0; i < digits; ++i) {
            WCHAR c = s[pos + i];
            int d;
            if (c >= u'0' && c <= u'9') d = c - u'0';
            else if (c >= u'a' && c <= u'f') d = c - u'a' + 10;
            else if (c >= u'A' && c <= u'F') d = c - u'A' + 10;
            else return false;
            v = v * 16 + static_cast<uint64_t>(d);
        }
        *out = v;
        return true;
    };
    if (s[0] != u'{' || s[9] != u'-' || s[14] != u'-' || s[19] != u'-' || s[24] != u'-' || s[37] != u'}') {
        return STATUS_INVALID_PARAMETER;
    }
    uint64_t v;
    GUID g{};
    if (!hex(1, 8, &v)) return STATUS_INVALID_PARAMETER;
    g.Data1 = static_cast<uint32_t>(v);
    if (!hex(10, 4, &v)) return STATUS_INVALID_PARAMETER;
    g.Data2 = static_cast<uint16_t>(v);
    if (!hex(15, 4, &v)) return STATUS_INVALID_PARAMETER;
    g.Data3 = static_cast<uint16_t>(v);
    static constexpr int kBytePos[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!hex(kBytePos[i], 2, &v)) return STATUS_INVALID_PARAMETER;
        g.Data4[i] = static_cast<uint8_t>(v);
    }
    *Guid = g;
    return STATUS_SUCCESS;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    auto* a = static_cast<const uint8_t*>(Source1);
    auto* b = static_cast<const uint8_t*>(Source2);
    SIZE_T i = 0;
    while (i < Length && a[i] == b[i]) ++i;
    return i;
}
