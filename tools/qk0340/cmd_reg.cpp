// qk0340 reg query|add|delete|export|import: the registry of a system root,
// through the same user-mode calls the package's libraries make.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "platform/nt/wformat.h"
#include "platform/registry/registry.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "winreg.h"

namespace {

using qk::cli::Failure;
using qk::registry::RootedPath;

struct RegArguments {
    std::string root = "./qk0340-root";
    std::string key;
    std::string value;
    bool hasValue = false;
    std::string type;
    std::string data;
    std::string view;
    std::string file;
    bool recursive = false;
};

std::string ErrorText(LONG error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND: return "not found";
        case ERROR_ACCESS_DENIED: return "access denied (hives, their roots and keys directly below a root are fixed)";
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME: return "invalid name";
        case ERROR_CHILD_MUST_BE_VOLATILE: return "a volatile key can only hold volatile keys";
        case ERROR_NO_SYSTEM_RESOURCES: return "the value is larger than the registry allows";
        case ERROR_REGISTRY_IO_FAILED: return "the registry database cannot be read or written";
        case ERROR_REGISTRY_CORRUPT: return "the registry database is damaged";
        default: return "error " + std::to_string(error);
    }
}

std::u16string Utf16(const std::string& text, const char* what) {
    std::u16string wide = qk::ToUtf16(text);
    if (qk::ToUtf8(wide) != text) throw Failure(std::string(what) + " is not valid UTF-8");
    return wide;
}

RootedPath ParseKey(const std::string& text) {
    RootedPath path;
    std::string error;
    if (!qk::registry::ParseRootedPath(Utf16(text, "the key path"), &path, &error)) throw Failure(error);
    return path;
}

REGSAM ViewFlag(const std::string& view) {
    if (view == "32") return KEY_WOW64_32KEY;
    if (view == "64") return KEY_WOW64_64KEY;
    return 0;
}

// An open key, closed when it goes.
class Key {
public:
    Key() = default;
    ~Key() {
        if (key_ != nullptr) RegCloseKey(key_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    HKEY* out() { return &key_; }
    HKEY get() const { return key_; }

private:
    HKEY key_ = nullptr;
};

void OpenExisting(const RootedPath& path, REGSAM access, Key* key) {
    LONG error = RegOpenKeyExW(path.root, path.subKey.c_str(), 0, access, key->out());
    if (error == ERROR_FILE_NOT_FOUND) {
        throw Failure("the key " + qk::ToUtf8(path.rootName) + (path.subKey.empty() ? "" : "\\") +
                      qk::ToUtf8(path.subKey) + " does not exist");
    }
    if (error != ERROR_SUCCESS) throw Failure("cannot open the key: " + ErrorText(error));
}

std::vector<std::u16string> LevelsOf(HKEY key) {
    std::vector<std::u16string> levels;
    LONG error = qk::registry::KeyPathOfHandle(key, &levels);
    if (error != ERROR_SUCCESS) throw Failure("cannot read the key: " + ErrorText(error));
    return levels;
}

std::unique_ptr<qk::install::MachineSession> StartOnInstalledRoot(const std::string& root) {
    std::string error;
    auto session = qk::install::MachineSession::Start(root, qk::install::MachineSession::Root::Installed, &error);
    if (session == nullptr) throw Failure(error);
    return session;
}

// ---- value types and data ------------------------------------------------------

struct TypeName {
    const char* option;  // as --type takes it
    DWORD type;
    const char* shown;   // as query prints it
};

constexpr TypeName kTypes[] = {
    {"none", REG_NONE, "REG_NONE"},
    {"sz", REG_SZ, "REG_SZ"},
    {"expand_sz", REG_EXPAND_SZ, "REG_EXPAND_SZ"},
    {"binary", REG_BINARY, "REG_BINARY"},
    {"dword", REG_DWORD, "REG_DWORD"},
    {nullptr, REG_DWORD_BIG_ENDIAN, "REG_DWORD_BIG_ENDIAN"},
    {nullptr, REG_LINK, "REG_LINK"},
    {"multi_sz", REG_MULTI_SZ, "REG_MULTI_SZ"},
    {nullptr, REG_RESOURCE_LIST, "REG_RESOURCE_LIST"},
    {nullptr, REG_FULL_RESOURCE_DESCRIPTOR, "REG_FULL_RESOURCE_DESCRIPTOR"},
    {nullptr, REG_RESOURCE_REQUIREMENTS_LIST, "REG_RESOURCE_REQUIREMENTS_LIST"},
    {"qword", REG_QWORD, "REG_QWORD"},
};

std::string ShownType(DWORD type) {
    for (const auto& t : kTypes) {
        if (t.type == type) return t.shown;
    }
    return qk::Format("REG_UNKNOWN(0x%X)", type);
}

DWORD ParseType(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (text.rfind("reg_", 0) == 0) text = text.substr(4);
    for (const auto& t : kTypes) {
        if (t.option != nullptr && text == t.option) return t.type;
    }
    throw Failure("unknown value type '" + text + "' (use sz, expand_sz, multi_sz, dword, qword, binary or none)");
}

// Text as one line of UTF-8: control characters escaped as \xNN.
std::string Printable(std::u16string_view text) {
    std::string out;
    size_t run = 0;  // start of the current run of printable characters
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] >= 0x20 && text[i] != 0x7F) continue;
        out += qk::ToUtf8(text.data() + run, i - run);
        if (i < text.size()) out += qk::Format("\\x%02X", text[i]);
        run = i + 1;
    }
    return out;
}

std::u16string Units(const std::vector<uint8_t>& data) {
    std::u16string units(data.size() / 2, u'\0');
    if (!units.empty()) std::memcpy(units.data(), data.data(), units.size() * 2);
    return units;
}

std::string DataText(DWORD type, const std::vector<uint8_t>& data) {
    if (type == REG_SZ || type == REG_EXPAND_SZ) {
        std::u16string text = Units(data);
        return Printable(std::u16string_view(text).substr(0, text.find(u'\0')));
    }
    if (type == REG_MULTI_SZ) {
        std::u16string text = Units(data);
        std::string joined;
        for (size_t start = 0; start < text.size() && text[start] != 0;) {
            size_t end = text.find(u'\0', start);
            if (end == std::u16string::npos) end = text.size();
            if (!joined.empty()) joined += "\\0";
            joined += Printable(std::u16string_view(text).substr(start, end - start));
            start = end + 1;
        }
        return joined;
    }
    if ((type == REG_DWORD || type == REG_DWORD_BIG_ENDIAN) && data.size() == 4) {
        uint32_t number;
        std::memcpy(&number, data.data(), 4);
        if (type == REG_DWORD_BIG_ENDIAN) number = __builtin_bswap32(number);
        return qk::Format("0x%x", number);
    }
    if (type == REG_QWORD && data.size() == 8) {
        uint64_t number;
        std::memcpy(&number, data.data(), 8);
        return qk::Format("0x%llx", static_cast<unsigned long long>(number));
    }
    std::string hex;
    for (uint8_t byte : data) hex += qk::Format("%02X", byte);
    return hex;
}

uint64_t ParseNumber(const std::string& text, uint64_t maximum, const char* typeName) {
    auto fail = [&] {
        throw Failure(std::string("--data for ") + typeName + " must be a number from 0 to " + std::to_string(maximum) +
                      " (decimal or 0x hex), not '" + text + "'");
    };
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    std::string digits = hex ? text.substr(2) : text;
    if (digits.empty()) fail();
    uint64_t value = 0;
    for (char c : digits) {
        int d = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10
                                               : hex && c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                                              : -1;
        uint64_t base = hex ? 16 : 10;
        if (d < 0 || value > (maximum - static_cast<uint64_t>(d)) / base) fail();
        value = value * base + static_cast<uint64_t>(d);
    }
    return value;
}

std::vector<uint8_t> ParseHexBytes(const std::string& text) {
    std::string digits;
    for (char c : text) {
        if (c == ',' || c == ' ' || c == ':') continue;
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            throw Failure("--data for binary must be hex digits (pairs, optionally separated by commas), not '" +
                          text + "'");
        }
        digits += c;
    }
    if (digits.size() % 2 != 0) throw Failure("--data for binary needs whole bytes (an even number of hex digits)");
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < digits.size(); i += 2) {
        bytes.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return bytes;
}

std::vector<uint8_t> WideData(std::u16string text, size_t terminators) {
    text.append(terminators, u'\0');
    std::vector<uint8_t> bytes(text.size() * 2);
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

std::vector<uint8_t> ParseData(DWORD type, const std::string& text) {
    switch (type) {
        case REG_SZ:
        case REG_EXPAND_SZ: return WideData(Utf16(text, "--data"), 1);
        case REG_MULTI_SZ: {
            // Items are separated by a literal \0, as registry tools print them.
            std::u16string joined;
            size_t start = 0;
            while (true) {
                size_t cut = text.find("\\0", start);
                std::string item = text.substr(start, cut == std::string::npos ? std::string::npos : cut - start);
                if (!item.empty()) joined += Utf16(item, "--data") + u'\0';
                if (cut == std::string::npos) break;
                start = cut + 2;
            }
            return WideData(joined, 1);
        }
        case REG_DWORD: {
            uint32_t number = static_cast<uint32_t>(ParseNumber(text, 0xFFFFFFFFull, "dword"));
            std::vector<uint8_t> bytes(4);
            std::memcpy(bytes.data(), &number, 4);
            return bytes;
        }
        case REG_QWORD: {
            uint64_t number = ParseNumber(text, ~uint64_t{0}, "qword");
            std::vector<uint8_t> bytes(8);
            std::memcpy(bytes.data(), &number, 8);
            return bytes;
        }
        default: return ParseHexBytes(text);
    }
}

// ---- query --------------------------------------------------------------------------

void PrintValue(const std::u16string& name, DWORD type, const std::vector<uint8_t>& data) {
    std::printf("    %s    %s    %s\n", name.empty() ? "(Default)" : Printable(name).c_str(), ShownType(type).c_str(),
                DataText(type, data).c_str());
}

void PrintKey(HKEY key, const std::u16string& display, bool recursive) {
    std::printf("%s\n", Printable(display).c_str());
    std::vector<char16_t> name(16384);
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = static_cast<DWORD>(name.size()), type = 0, size = 0;
        LONG error = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, nullptr, &size);
        if (error == ERROR_NO_MORE_ITEMS) break;
        std::vector<uint8_t> data(size);
        if (error == ERROR_SUCCESS) {
            nameLength = static_cast<DWORD>(name.size());
            error = RegEnumValueW(key, i, name.data(), &nameLength, nullptr, &type, data.data(), &size);
            data.resize(size);
        }
        if (error != ERROR_SUCCESS) throw Failure("cannot read a value of " + Printable(display) + ": " + ErrorText(error));
        PrintValue(std::u16string(name.data(), nameLength), type, data);
    }
    std::printf("\n");
    std::vector<std::u16string> subKeys;
    char16_t subKey[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        LONG error = RegEnumKeyExW(key, i, subKey, &length, nullptr, nullptr, nullptr, nullptr);
        if (error == ERROR_NO_MORE_ITEMS) break;
        if (error != ERROR_SUCCESS) throw Failure("cannot list the subkeys of " + Printable(display) + ": " + ErrorText(error));
        subKeys.emplace_back(subKey, length);
    }
    for (const auto& sub : subKeys) {
        std::u16string path = display + u"\\" + sub;
        if (!recursive) {
            std::printf("%s\n", Printable(path).c_str());
            continue;
        }
        Key child;
        LONG error = RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, child.out());
        if (error == ERROR_FILE_NOT_FOUND) continue;  // deleted meanwhile by another process
        if (error != ERROR_SUCCESS) throw Failure("cannot open " + Printable(path) + ": " + ErrorText(error));
        PrintKey(child.get(), path, true);
    }
}

void RunQuery(const RegArguments& a) {
    RootedPath path = ParseKey(a.key);
    auto session = StartOnInstalledRoot(a.root);
    Key key;
    OpenExisting(path, KEY_READ | ViewFlag(a.view), &key);
    std::u16string display = qk::registry::DisplayPath(LevelsOf(key.get()), path.root);
    if (!a.hasValue) {
        PrintKey(key.get(), display, a.recursive);
        return;
    }
    std::u16string name = Utf16(a.value, "the value name");
    DWORD type = 0, size = 0;
    LONG error = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
    std::vector<uint8_t> data(size);
    if (error == ERROR_SUCCESS) error = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, data.data(), &size);
    if (error == ERROR_FILE_NOT_FOUND) {
        throw Failure("the key " + Printable(display) + " has no value named '" + a.value + "'");
    }
    if (error != ERROR_SUCCESS) throw Failure("cannot read the value: " + ErrorText(error));
    data.resize(size);
    std::printf("%s\n", Printable(display).c_str());
    PrintValue(name, type, data);
}

// ---- add, delete ----------------------------------------------------------------------

void RunAdd(const RegArguments& a) {
    RootedPath path = ParseKey(a.key);
    if (!a.hasValue && (!a.type.empty() || !a.data.empty())) throw Failure("--type and --data need --value NAME");
    DWORD type = a.type.empty() ? REG_SZ : ParseType(a.type);
    std::vector<uint8_t> data;
    std::u16string name;
    if (a.hasValue) {
        name = Utf16(a.value, "the value name");
        data = ParseData(type, a.data);
    }
    auto session = StartOnInstalledRoot(a.root);
    Key key;
    LONG error = RegCreateKeyExW(path.root, path.subKey.c_str(), 0, nullptr, 0,
                                 KEY_WRITE | KEY_QUERY_VALUE | ViewFlag(a.view), nullptr, key.out(), nullptr);
    if (error != ERROR_SUCCESS) throw Failure("cannot create the key " + a.key + ": " + ErrorText(error));
    std::string display = Printable(qk::registry::DisplayPath(LevelsOf(key.get()), path.root));
    if (!a.hasValue) {
        std::printf("added %s\n", display.c_str());
        return;
    }
    error = RegSetValueExW(key.get(), name.c_str(), 0, type, data.data(), static_cast<DWORD>(data.size()));
    if (error == ERROR_INVALID_PARAMETER) throw Failure("the value name is not valid");
    if (error != ERROR_SUCCESS) throw Failure("cannot set the value: " + ErrorText(error));
    std::printf("added %s    %s    %s to %s\n", name.empty() ? "(Default)" : Printable(name).c_str(),
                ShownType(type).c_str(), DataText(type, data).c_str(), display.c_str());
}

void RunDelete(const RegArguments& a) {
    RootedPath path = ParseKey(a.key);
    auto session = StartOnInstalledRoot(a.root);
    Key key;
    OpenExisting(path, KEY_READ | KEY_SET_VALUE | ViewFlag(a.view), &key);
    std::vector<std::u16string> levels = LevelsOf(key.get());
    std::u16string display = qk::registry::DisplayPath(levels, path.root);
    if (a.hasValue) {
        LONG error = RegDeleteValueW(key.get(), Utf16(a.value, "the value name").c_str());
        if (error == ERROR_FILE_NOT_FOUND) {
            throw Failure("the key " + Printable(display) + " has no value named '" + a.value + "'");
        }
        if (error != ERROR_SUCCESS) throw Failure("cannot delete the value: " + ErrorText(error));
        std::printf("deleted the value %s of %s\n", a.value.c_str(), Printable(display).c_str());
        return;
    }
    // The key with everything below it, named natively so that the view the
    // key was found in does not apply twice.
    if (levels.size() < 2) throw Failure("refusing to delete the root key " + Printable(display));
    std::u16string below;
    for (size_t i = 1; i < levels.size(); ++i) below += (i > 1 ? u"\\" : u"") + levels[i];
    HKEY hive = levels[0] == u"MACHINE" ? HKEY_LOCAL_MACHINE : HKEY_USERS;
    LONG error = RegDeleteTreeW(hive, below.c_str());
    if (error != ERROR_SUCCESS) throw Failure("cannot delete " + Printable(display) + ": " + ErrorText(error));
    std::printf("deleted %s\n", Printable(display).c_str());
}

// ---- export, import -------------------------------------------------------------------

void RunExport(const RegArguments& a) {
    RootedPath path = ParseKey(a.key);
    auto session = StartOnInstalledRoot(a.root);
    Key key;
    OpenExisting(path, KEY_READ | ViewFlag(a.view), &key);
    std::vector<std::u16string> levels = LevelsOf(key.get());
    std::string text, error;
    if (!qk::registry::ExportRegFile(levels, qk::registry::DisplayPath(levels, path.root), &text, &error)) {
        throw Failure(error);
    }
    if (a.file == "-") {
        std::fwrite(text.data(), 1, text.size(), stdout);
        return;
    }
    std::ofstream out(a.file, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    out.close();
    if (!out) throw Failure("cannot write " + a.file + ": " + std::strerror(errno));
    std::printf("exported %s to %s\n", a.key.c_str(), a.file.c_str());
}

void RunImport(const RegArguments& a) {
    std::string bytes;
    if (a.file == "-") {
        bytes.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(a.file, std::ios::binary);
        if (!in) throw Failure("cannot read " + a.file + ": " + std::strerror(errno));
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    auto session = StartOnInstalledRoot(a.root);
    std::string error;
    if (!qk::registry::ImportRegFile({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()}, &error)) {
        throw Failure(a.file + ": " + error + " (nothing was imported)");
    }
    std::printf("imported %s\n", a.file.c_str());
}

// ---- the commands -------------------------------------------------------------------------

void AddRegCommands(CLI::App& app) {
    CLI::App* reg = app.add_subcommand("reg", "Query and change the registry of a system root");
    reg->require_subcommand(1);
    auto common = [](CLI::App* command, RegArguments& a, bool withView) {
        command->add_option("--root", a.root, "System root folder")->capture_default_str();
        if (withView) {
            command->add_option("--view", a.view, "Registry view of the caller: 32 (Wow6432Node) or 64")
                ->check(CLI::IsMember({"32", "64"}));
        }
    };
    auto keyOption = [](CLI::App* command, RegArguments& a) {
        command->add_option("KEY", a.key, "Key, e.g. HKLM\\Software\\X (also HKCU, HKCR, HKU and the long names)")
            ->required();
    };
    auto valueOption = [](CLI::App* command, RegArguments& a, const char* help) {
        command->add_option("--value", a.value, help)->each([&a](const std::string&) { a.hasValue = true; });
    };

    auto query = std::make_shared<RegArguments>();
    CLI::App* q = reg->add_subcommand("query", "Print a key's values (and subkeys)");
    keyOption(q, *query);
    common(q, *query, true);
    valueOption(q, *query, "Print only this value (empty: the default value)");
    q->add_flag("--recursive,-s", query->recursive, "Print every key below too");
    q->callback([query] { RunQuery(*query); });

    auto add = std::make_shared<RegArguments>();
    CLI::App* ad = reg->add_subcommand("add", "Create a key, or set a value in it");
    keyOption(ad, *add);
    common(ad, *add, true);
    valueOption(ad, *add, "Value to set (empty: the default value)");
    ad->add_option("--type", add->type, "sz, expand_sz, multi_sz, dword, qword, binary or none (default sz)");
    ad->add_option("--data", add->data, "The data: text, a number, hex bytes; multi_sz items separated by \\0");
    ad->callback([add] { RunAdd(*add); });

    auto del = std::make_shared<RegArguments>();
    CLI::App* d = reg->add_subcommand("delete", "Delete a key with everything below it, or one value");
    keyOption(d, *del);
    common(d, *del, true);
    valueOption(d, *del, "Delete only this value");
    d->callback([del] { RunDelete(*del); });

    auto exp = std::make_shared<RegArguments>();
    CLI::App* e = reg->add_subcommand("export", "Write a key and everything below it as a .reg file");
    keyOption(e, *exp);
    e->add_option("FILE", exp->file, "Output file, - for standard output")->required();
    common(e, *exp, true);
    e->callback([exp] { RunExport(*exp); });

    auto imp = std::make_shared<RegArguments>();
    CLI::App* i = reg->add_subcommand("import", "Apply a .reg file (all of it, or nothing when it is malformed)");
    i->add_option("FILE", imp->file, "Input file, - for standard input")->required();
    common(i, *imp, false);
    i->callback([imp] { RunImport(*imp); });
}

}  // namespace

QK_CLI_COMMAND(AddRegCommands);
