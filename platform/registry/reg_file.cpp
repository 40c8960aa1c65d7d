#include "platform/registry/reg_file.h"

#include <cstring>
#include <optional>
#include <string_view>

#include "platform/nt/wformat.h"
#include "platform/registry/hive.h"
#include "platform/registry/names.h"
#include "platform/registry/registry.h"

namespace qk::registry {
namespace {

constexpr std::u16string_view kHeader = u"Windows Registry Editor Version 5.00";
constexpr size_t kHexLineWidth = 76;  // a wrapped hex line stays within 80 columns

// ---- decoding ------------------------------------------------------------------

size_t LineOfUnit(const std::u16string& text, size_t end) {
    size_t line = 1;
    for (size_t i = 0; i < end && i < text.size(); ++i) line += text[i] == u'\n';
    return line;
}

// Strict UTF-8: overlong forms, surrogates and values past U+10FFFF are errors,
// never silently replaced, so that an import stores exactly what was written.
bool DecodeUtf8(std::span<const uint8_t> bytes, std::u16string* text, RegFileError* error) {
    size_t line = 1;
    for (size_t i = 0; i < bytes.size();) {
        uint8_t c = bytes[i];
        uint32_t cp;
        size_t extra;
        uint32_t minimum;
        if (c < 0x80) {
            cp = c, extra = 0, minimum = 0;
        } else if ((c & 0xE0) == 0xC0) {
            cp = c & 0x1F, extra = 1, minimum = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            cp = c & 0x0F, extra = 2, minimum = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            cp = c & 0x07, extra = 3, minimum = 0x10000;
        } else {
            *error = {line, "the text is not valid UTF-8"};
            return false;
        }
        if (i + extra >= bytes.size()) {
            *error = {line, "the text ends inside a UTF-8 character"};
            return false;
        }
        for (size_t k = 1; k <= extra; ++k) {
            if ((bytes[i + k] & 0xC0) != 0x80) {
                *error = {line, "the text is not valid UTF-8"};
                return false;
            }
            cp = cp << 6 | (bytes[i + k] & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            *error = {line, "the text is not valid UTF-8"};
            return false;
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            *text += static_cast<char16_t>(0xD800 + (cp >> 10));
            *text += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
        } else {
            *text += static_cast<char16_t>(cp);
        }
        line += cp == '\n';
        i += extra + 1;
    }
    return true;
}

bool Decode(std::span<const uint8_t> bytes, std::u16string* text, RegFileError* error) {
    text->clear();
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) {
        if (bytes.size() % 2 != 0) {
            *error = {0, "the UTF-16 text ends in the middle of a character"};
            return false;
        }
        text->resize((bytes.size() - 2) / 2);
        for (size_t i = 0; i < text->size(); ++i) {
            (*text)[i] = static_cast<char16_t>(bytes[2 + 2 * i] | bytes[3 + 2 * i] << 8);
        }
    } else if (bytes.size() >= 2 && bytes[0] == 0xFE && bytes[1] == 0xFF) {
        *error = {0, "big-endian UTF-16 text is not supported (use UTF-8 or UTF-16LE)"};
        return false;
    } else {
        if (bytes.size() >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) bytes = bytes.subspan(3);
        if (!DecodeUtf8(bytes, text, error)) return false;
    }
    size_t nul = text->find(u'\0');
    if (nul != std::u16string::npos) {
        *error = {LineOfUnit(*text, nul), "the text holds a NUL character"};
        return false;
    }
    return true;
}

// ---- parsing ---------------------------------------------------------------------

bool IsSpace(char16_t c) { return c == u' ' || c == u'\t'; }

std::u16string_view TrimLeft(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
    return s;
}

std::u16string_view TrimRight(std::u16string_view s) {
    while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigit(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool StartsWith(std::u16string_view s, std::u16string_view prefix) {
    return s.size() >= prefix.size() && NamesEqual(s.substr(0, prefix.size()), prefix);
}

// Reads a quoted string at the start of `s` (which starts with '"'); leaves
// `s` after the closing quote.
bool ReadQuoted(std::u16string_view* s, std::u16string* out, std::string* message) {
    out->clear();
    size_t i = 1;
    while (i < s->size()) {
        char16_t c = (*s)[i];
        if (c == u'"') {
            s->remove_prefix(i + 1);
            return true;
        }
        if (c == u'\\') {
            if (i + 1 >= s->size()) break;
            char16_t e = (*s)[i + 1];
            switch (e) {
                case u'\\': *out += u'\\'; break;
                case u'"': *out += u'"'; break;
                case u'n': *out += u'\n'; break;
                case u'r': *out += u'\r'; break;
                default:
                    *message = "unknown escape '\\" + ToUtf8(std::u16string(1, e)) +
                               "' in a quoted string (write a backslash as \\\\)";
                    return false;
            }
            i += 2;
            continue;
        }
        *out += c;
        ++i;
    }
    *message = "a quoted string has no closing quote";
    return false;
}

bool ParseHexNumber(std::u16string_view digits, size_t maxDigits, uint32_t* value) {
    if (digits.empty() || digits.size() > maxDigits) return false;
    uint32_t v = 0;
    for (char16_t c : digits) {
        int d = HexDigit(c);
        if (d < 0) return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

bool ParseByteList(std::u16string_view list, std::vector<uint8_t>* bytes, std::string* message) {
    bytes->clear();
    list = TrimRight(TrimLeft(list));
    if (list.empty()) return true;
    size_t start = 0;
    while (true) {
        size_t comma = list.find(u',', start);
        std::u16string_view token = TrimRight(TrimLeft(list.substr(start, comma == std::u16string_view::npos
                                                                              ? std::u16string_view::npos
                                                                              : comma - start)));
        uint32_t byte;
        if (token.empty() && comma == std::u16string_view::npos && !bytes->empty()) return true;  // trailing comma
        if (!ParseHexNumber(token, 2, &byte)) {
            *message = "bad byte '" + ToUtf8(std::u16string(token)) + "' in a hex list (two hex digits each)";
            return false;
        }
        if (bytes->size() >= kMaxValueDataBytes) {
            *message = "the value is larger than the registry allows";
            return false;
        }
        bytes->push_back(static_cast<uint8_t>(byte));
        if (comma == std::u16string_view::npos) return true;
        start = comma + 1;
    }
}

std::vector<uint8_t> StringData(std::u16string_view text) {
    std::vector<uint8_t> data((text.size() + 1) * 2, 0);
    if (!text.empty()) std::memcpy(data.data(), text.data(), text.size() * 2);
    return data;
}

class Parser {
public:
    Parser(const std::u16string& text, std::vector<RegOperation>* operations, RegFileError* error)
        : operations_(operations), error_(error) {
        size_t start = 0;
        while (start <= text.size()) {
            size_t end = text.find(u'\n', start);
            if (end == std::u16string::npos) end = text.size();
            std::u16string_view line(text.data() + start, end - start);
            if (!line.empty() && line.back() == u'\r') line.remove_suffix(1);
            lines_.push_back(line);
            start = end + 1;
        }
    }

    bool Run() {
        size_t i = 0;
        // The header comes first; blank lines before it are tolerated.
        while (i < lines_.size() && TrimRight(TrimLeft(lines_[i])).empty()) ++i;
        if (i == lines_.size()) return Fail(0, "the file is empty");
        std::u16string_view header = TrimRight(TrimLeft(lines_[i]));
        if (header == u"REGEDIT4") {
            return Fail(i + 1, "REGEDIT4 files are not supported; export as \"Windows Registry Editor Version 5.00\"");
        }
        if (header != kHeader) return Fail(i + 1, "the first line must be \"Windows Registry Editor Version 5.00\"");
        for (++i; i < lines_.size(); ++i) {
            std::u16string_view line = TrimRight(TrimLeft(lines_[i]));
            if (line.empty() || line.front() == u';') continue;
            bool ok = line.front() == u'[' ? Section(i, line)
                      : line.front() == u'"' || line.front() == u'@'
                          ? Value(&i, line)
                          : Fail(i + 1, "expected a [key] line, a \"name\"= line or a ; comment");
            if (!ok) return false;
        }
        return true;
    }

private:
    bool Fail(size_t line, std::string message) {
        *error_ = {line, std::move(message)};
        return false;
    }

    bool Section(size_t index, std::u16string_view line) {
        if (line.back() != u']') return Fail(index + 1, "a [key] line must end with ']'");
        std::u16string_view path = line.substr(1, line.size() - 2);
        bool deletion = !path.empty() && path.front() == u'-';
        if (deletion) path.remove_prefix(1);
        RootedPath rooted;
        std::string message;
        if (!ParseRootedPath(path, &rooted, &message)) return Fail(index + 1, message);
        RegOperation op;
        op.kind = deletion ? RegOperation::Kind::DeleteKey : RegOperation::Kind::CreateKey;
        op.line = index + 1;
        op.levels = rooted.levels;
        section_ = rooted.levels;
        inSection_ = true;
        sectionDeleted_ = deletion;
        operations_->push_back(std::move(op));
        return true;
    }

    bool Value(size_t* index, std::u16string_view line) {
        const size_t lineNumber = *index + 1;
        if (!inSection_) return Fail(lineNumber, "a value comes before any [key] line");
        if (sectionDeleted_) return Fail(lineNumber, "a value under a [-key] line, which deletes the key");
        RegOperation op;
        op.line = lineNumber;
        op.levels = section_;
        std::u16string_view rest = line;
        std::string message;
        if (rest.front() == u'@') {
            rest.remove_prefix(1);
        } else if (!ReadQuoted(&rest, &op.valueName, &message)) {
            return Fail(lineNumber, message);
        }
        if (!IsValidValueName(op.valueName)) return Fail(lineNumber, "the value name is not valid");
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != u'=') return Fail(lineNumber, "expected '=' after the value name");
        rest = TrimLeft(rest.substr(1));

        if (rest == u"-") {
            op.kind = RegOperation::Kind::DeleteValue;
        } else if (!rest.empty() && rest.front() == u'"') {
            std::u16string text;
            if (!ReadQuoted(&rest, &text, &message)) return Fail(lineNumber, message);
            if (!TrimLeft(rest).empty()) return Fail(lineNumber, "unexpected text after the quoted string");
            if ((text.size() + 1) * 2 > kMaxValueDataBytes) return Fail(lineNumber, "the string is too long");
            op.kind = RegOperation::Kind::SetValue;
            op.type = REG_SZ;
            op.data = StringData(text);
        } else if (StartsWith(rest, u"dword:")) {
            uint32_t number;
            if (!ParseHexNumber(TrimRight(rest.substr(6)), 8, &number)) {
                return Fail(lineNumber, "dword: needs 1 to 8 hex digits");
            }
            op.kind = RegOperation::Kind::SetValue;
            op.type = REG_DWORD;
            op.data.resize(4);
            std::memcpy(op.data.data(), &number, 4);
        } else if (StartsWith(rest, u"hex")) {
            std::u16string_view afterHex = rest.substr(3);
            op.type = REG_BINARY;
            if (!afterHex.empty() && afterHex.front() == u'(') {
                size_t close = afterHex.find(u')');
                if (close == std::u16string_view::npos || !ParseHexNumber(afterHex.substr(1, close - 1), 8, &op.type)) {
                    return Fail(lineNumber, "hex(T): needs a type of 1 to 8 hex digits");
                }
                afterHex.remove_prefix(close + 1);
            }
            if (afterHex.empty() || afterHex.front() != u':') return Fail(lineNumber, "expected ':' after hex");
            // The list may continue over lines ending in a backslash.
            std::u16string list(afterHex.substr(1));
            while (!list.empty() && list.back() == u'\\') {
                list.pop_back();
                if (++*index >= lines_.size()) return Fail(lineNumber, "the file ends inside a continued hex list");
                std::u16string_view next = TrimRight(TrimLeft(lines_[*index]));
                if (next.empty()) return Fail(lineNumber, "a continued hex list is followed by an empty line");
                list += next;
            }
            if (!ParseByteList(list, &op.data, &message)) return Fail(*index + 1, message);
            op.kind = RegOperation::Kind::SetValue;
        } else {
            return Fail(lineNumber, "unknown value format (expected \"text\", dword:, hex:, hex(T): or -)");
        }
        operations_->push_back(std::move(op));
        return true;
    }

    std::vector<std::u16string_view> lines_;
    std::vector<RegOperation>* operations_;
    RegFileError* error_;
    std::vector<std::u16string> section_;
    bool inSection_ = false;
    bool sectionDeleted_ = false;
};

// ---- applying ----------------------------------------------------------------------

std::string Reason(NTSTATUS status) {
    switch (status) {
        case STATUS_ACCESS_DENIED: return "the key does not take changes here";
        case STATUS_CANNOT_DELETE: return "the key cannot be deleted";
        case STATUS_CHILD_MUST_BE_VOLATILE: return "a volatile key can only hold volatile keys";
        case STATUS_OBJECT_NAME_INVALID: return "the name is not valid";
        case STATUS_INSUFFICIENT_RESOURCES: return "the value is too large";
        case STATUS_REGISTRY_IO_FAILED: return "the registry database cannot be written";
        case STATUS_REGISTRY_CORRUPT: return "the registry database is damaged";
        default: return Format("status 0x%08X", static_cast<unsigned>(status));
    }
}

// ---- writing -----------------------------------------------------------------------

std::string Quote(std::u16string_view text) {
    std::u16string escaped = u"\"";
    for (char16_t c : text) {
        switch (c) {
            case u'\\': escaped += u"\\\\"; break;
            case u'"': escaped += u"\\\""; break;
            case u'\n': escaped += u"\\n"; break;
            case u'\r': escaped += u"\\r"; break;
            default: escaped += c;
        }
    }
    escaped += u'"';
    return ToUtf8(escaped);
}

// REG_SZ data that a quoted string gives back exactly: whole characters, one
// terminating NUL and no other, no line breaks, valid UTF-16.
std::optional<std::u16string> PlainString(const std::vector<uint8_t>& data) {
    if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
    std::u16string text(data.size() / 2, u'\0');
    std::memcpy(text.data(), data.data(), data.size());
    if (text.back() != 0) return std::nullopt;
    text.pop_back();
    for (char16_t c : text) {
        if (c == 0 || c == u'\n' || c == u'\r') return std::nullopt;
    }
    for (size_t i = 0; i < text.size(); ++i) {  // unpaired surrogates cannot be written as UTF-8
        char16_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 >= text.size() || text[i + 1] < 0xDC00 || text[i + 1] > 0xDFFF) return std::nullopt;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
    }
    return text;
}

void WriteValue(const ValueRecord& value, std::string* out) {
    std::string line = value.name.empty() ? "@=" : Quote(value.name) + "=";
    if (value.type == REG_SZ) {
        if (auto text = PlainString(value.data)) {
            *out += line + Quote(*text) + "\n";
            return;
        }
    }
    if (value.type == REG_DWORD && value.data.size() == 4) {
        uint32_t number;
        std::memcpy(&number, value.data.data(), 4);
        *out += line + Format("dword:%08x", number) + "\n";
        return;
    }
    line += value.type == REG_BINARY ? std::string("hex:") : Format("hex(%x):", value.type);
    for (size_t i = 0; i < value.data.size(); ++i) {
        line += Format("%02x", value.data[i]);
        if (i + 1 == value.data.size()) break;
        line += ',';
        if (line.size() >= kHexLineWidth) {
            *out += line + "\\\n";
            line = "  ";
        }
    }
    *out += line + "\n";
}

}  // namespace

std::string RegFileError::Text() const {
    return line == 0 ? message : "line " + std::to_string(line) + ": " + message;
}

bool ParseRegText(std::span<const uint8_t> bytes, std::vector<RegOperation>* operations, RegFileError* error) {
    operations->clear();
    std::u16string text;
    if (!Decode(bytes, &text, error)) return false;
    return Parser(text, operations, error).Run();
}

bool ApplyRegOperations(Store& store, const std::vector<RegOperation>& operations, RegFileError* error) {
    Store::Txn txn(store, Store::Txn::Mode::Write);
    auto fail = [&](const RegOperation& op, const std::string& what, NTSTATUS status) {
        *error = {op.line, what + " " + ToUtf8(DisplayPath(op.levels)) + ": " + Reason(status)};
        return false;
    };
    if (!NT_SUCCESS(txn.Status())) {
        *error = {0, Reason(txn.Status())};
        return false;
    }
    KeyRecord section;  // the key of the last [key] line
    for (const auto& op : operations) {
        switch (op.kind) {
            case RegOperation::Kind::CreateKey: {
                NTSTATUS status = txn.GetKey(kRootKeyId, &section);
                for (size_t i = 0; NT_SUCCESS(status) && i < op.levels.size(); ++i) {
                    KeyId parent = section.id;
                    bool created;
                    status = txn.CreateSubKey(parent, op.levels[i], u"", false, &section, &created);
                }
                if (!NT_SUCCESS(status)) return fail(op, "cannot create", status);
                break;
            }
            case RegOperation::Kind::DeleteKey: {
                KeyRecord key;
                NTSTATUS status = txn.Resolve(kRootKeyId, op.levels, &key);
                if (status == STATUS_OBJECT_NAME_NOT_FOUND) break;  // already gone
                if (NT_SUCCESS(status)) status = txn.DeleteTree(key.id, true);
                if (!NT_SUCCESS(status)) return fail(op, "cannot delete", status);
                break;
            }
            case RegOperation::Kind::SetValue: {
                NTSTATUS status = txn.SetValue(section.id, op.valueName, op.type, op.data);
                if (!NT_SUCCESS(status)) return fail(op, "cannot set a value in", status);
                break;
            }
            case RegOperation::Kind::DeleteValue: {
                NTSTATUS status = txn.DeleteValue(section.id, op.valueName);
                if (!NT_SUCCESS(status) && status != STATUS_OBJECT_NAME_NOT_FOUND) {
                    return fail(op, "cannot delete a value in", status);
                }
                break;
            }
        }
    }
    NTSTATUS status = txn.Commit();
    if (!NT_SUCCESS(status)) {
        *error = {0, Reason(status)};
        return false;
    }
    return true;
}

bool WriteRegText(Store& store, const std::vector<std::u16string>& levels, std::u16string_view display,
                  std::string* text, RegFileError* error) {
    Store::Txn txn(store, Store::Txn::Mode::Read);
    KeyRecord start;
    NTSTATUS status = txn.Resolve(kRootKeyId, levels, &start);
    if (status == STATUS_OBJECT_NAME_NOT_FOUND) {
        *error = {0, "the key " + ToUtf8(std::u16string(display)) + " does not exist"};
        return false;
    }
    if (!NT_SUCCESS(status)) {
        *error = {0, Reason(status)};
        return false;
    }
    std::string out = ToUtf8(std::u16string(kHeader)) + "\n\n";
    // Depth first, each key before its subkeys, subkeys in enumeration order.
    struct Pending {
        KeyRecord key;
        std::u16string display;
    };
    std::vector<Pending> stack{{start, std::u16string(display)}};
    while (!stack.empty()) {
        Pending pending = std::move(stack.back());
        stack.pop_back();
        std::vector<ValueRecord> values;
        std::vector<KeyRecord> subKeys;
        status = txn.Values(pending.key.id, &values);
        if (NT_SUCCESS(status)) status = txn.SubKeys(pending.key.id, &subKeys);
        if (!NT_SUCCESS(status)) {
            *error = {0, Reason(status)};
            return false;
        }
        out += "[" + ToUtf8(pending.display) + "]\n";
        for (const auto& value : values) {
            if (!IsValidValueName(value.name)) {
                *error = {0, "a value name in " + ToUtf8(pending.display) + " cannot be written as text"};
                return false;
            }
            WriteValue(value, &out);
        }
        out += "\n";
        for (auto it = subKeys.rbegin(); it != subKeys.rend(); ++it) {
            if (!IsValidKeyName(it->name)) {
                *error = {0, "a subkey name of " + ToUtf8(pending.display) + " cannot be written as text"};
                return false;
            }
            stack.push_back({*it, pending.display + u"\\" + it->name});
        }
    }
    *text = std::move(out);
    return true;
}

bool ExportRegFile(const std::vector<std::u16string>& levels, std::u16string_view display, std::string* text,
                   std::string* error) {
    Store* store = CurrentStore();
    if (store == nullptr) {
        *error = StoreError();
        return false;
    }
    RegFileError failure;
    if (WriteRegText(*store, levels, display, text, &failure)) return true;
    *error = failure.Text();
    return false;
}

bool ImportRegFile(std::span<const uint8_t> bytes, std::string* error) {
    Store* store = CurrentStore();
    if (store == nullptr) {
        *error = StoreError();
        return false;
    }
    std::vector<RegOperation> operations;
    RegFileError failure;
    if (ParseRegText(bytes, &operations, &failure) && ApplyRegOperations(*store, operations, &failure)) return true;
    *error = failure.Text();
    return false;
}

}  // namespace qk::registry
