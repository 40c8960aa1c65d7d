// The engine's catalogue: the shipped table, the imported effects under
// HKEY_LOCAL_MACHINE\SOFTWARE\Lumora Tech\KFXE\Imported\<category>\<name>,
// and the effect-file reader. An effect file comes from anywhere; every
// length in it is checked before use.
#include "outside/KfxEngine/catalogue.h"

#include <zip.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "outside/KfxEngine/kfx_engine.h"
#include "windows.h"
#include "winreg.h"

namespace kfx {
namespace {


constexpr size_t kMaxDescriptionBytes = 4096;
constexpr size_t kMaxThumbnailBytes = 1 << 20;
constexpr size_t kMaxNameChars = 64;
const std::u16string kImportedKey = std::u16string(kEngineKey) + u"\\Imported";

std::u16string Widen(std::string_view s) { return std::u16string(s.begin(), s.end()); }

// A category or effect name: printable ASCII without the characters a key
// or file name cannot hold.
bool ValidName(std::string_view s) {
    if (s.empty() || s.size() > kMaxNameChars || s.front() == ' ' || s.back() == ' ' || s.back() == '.') return false;
    return std::all_of(s.begin(), s.end(), [](char c) {
        return c >= 0x20 && c < 0x7F && std::strchr("\\/:*?\"<>|", c) == nullptr;
    });
}

std::u16string ImportedThumbnail(const std::u16string& category, const std::u16string& name) {
    return std::u16string(kEngineFolder) + u"\\Imported\\" + category + u" - " + name + u".png";
}

std::vector<std::u16string> SubkeyNames(HKEY key) {
    std::vector<std::u16string> names;
    for (DWORD i = 0;; ++i) {
        char16_t name[256];
        DWORD chars = 256;
        if (RegEnumKeyExW(key, i, name, &chars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        names.emplace_back(name, chars);
    }
    return names;
}

std::vector<Effect> ImportedEffects() {
    std::vector<Effect> effects;
    HKEY root;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kImportedKey.c_str(), 0, KEY_READ, &root) != ERROR_SUCCESS) return effects;
    for (const std::u16string& category : SubkeyNames(root)) {
        HKEY c;
        if (RegOpenKeyExW(root, category.c_str(), 0, KEY_READ, &c) != ERROR_SUCCESS) continue;
        for (const std::u16string& name : SubkeyNames(c)) {
            HKEY e;
            if (RegOpenKeyExW(c, name.c_str(), 0, KEY_READ, &e) != ERROR_SUCCESS) continue;
            char16_t kind[32] = {};
            DWORD type = 0, bytes = sizeof kind - sizeof(char16_t);
            const bool ok = RegQueryValueExW(e, u"Kind", nullptr, &type, reinterpret_cast<BYTE*>(kind), &bytes) == ERROR_SUCCESS &&
                            type == REG_SZ;
            DWORD hasThumbnail = 0;
            bytes = sizeof hasThumbnail;
            if (RegQueryValueExW(e, u"Thumbnail", nullptr, &type, reinterpret_cast<BYTE*>(&hasThumbnail), &bytes) != ERROR_SUCCESS ||
                type != REG_DWORD) {
                hasThumbnail = 0;
            }
            RegCloseKey(e);
            std::string kindText;
            for (const char16_t* k = kind; *k; ++k) kindText.push_back(static_cast<char>(*k));
            auto effect = ok ? FrameEffectNamed(kindText) : std::nullopt;
            // A record another program damaged is passed over.
            if (effect) effects.push_back({category, name, *effect, hasThumbnail ? ImportedThumbnail(category, name) : u""});
        }
        RegCloseKey(c);
    }
    RegCloseKey(root);
    return effects;
}

// "key=value" lines of the [Effect] section; anything malformed is damage.
bool ParseDescription(std::string_view text, EffectFile* out, int* version, std::string* kind) {
    bool inSection = false, haveCategory = false, haveName = false, haveKind = false;
    *version = 0;
    size_t at = 0;
    if (text.substr(0, 3) == "\xEF\xBB\xBF") at = 3;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == ';') continue;
        if (line.front() == '[') {
            inSection = line == "[Effect]";
            continue;
        }
        if (!inSection) continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) return false;
        const std::string_view key = line.substr(0, equals), value = line.substr(equals + 1);
        if (key == "Category") {
            if (!ValidName(value)) return false;
            out->category = Widen(value);
            haveCategory = true;
        } else if (key == "Name") {
            if (!ValidName(value)) return false;
            out->name = Widen(value);
            haveName = true;
        } else if (key == "Kind") {
            if (value.size() > 32) return false;
            *kind = value;
            haveKind = true;
        } else if (key == "Version") {
            if (value.empty() || value.size() > 4 || !std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                return false;
            }
            *version = std::stoi(std::string(value));
        }
    }
    return haveCategory && haveName && haveKind && *version > 0;
}

// One member of the archive, at most `limit` bytes; false when it is missing
// (`*missing` set) or cannot be read whole.
bool ReadMember(zip_t* archive, const char* name, size_t limit, std::vector<uint8_t>* out, bool* missing) {
    zip_stat_t st;
    zip_stat_init(&st);
    *missing = false;
    if (zip_stat(archive, name, 0, &st) != 0) {
        *missing = true;
        return false;
    }
    if (!(st.valid & ZIP_STAT_SIZE) || st.size > limit) return false;
    std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(zip_fopen(archive, name, 0), zip_fclose);
    if (!file) return false;
    out->resize(st.size);
    zip_int64_t got = out->empty() ? 0 : zip_fread(file.get(), out->data(), out->size());
    return got == static_cast<zip_int64_t>(out->size());
}

bool ReadWholeFile(const std::u16string& path, std::vector<uint8_t>* bytes, HRESULT* error) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ_W, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        *error = HRESULT_FROM_WIN32(GetLastError());
        return false;
    }
    uint8_t chunk[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr) || got == 0) break;
        if (bytes->size() + got > kMaxEffectFileBytes) {
            CloseHandle(file);
            *error = KFX_E_DAMAGED;
            return false;
        }
        bytes->insert(bytes->end(), chunk, chunk + got);
    }
    CloseHandle(file);
    return true;
}

bool WriteWholeFile(const std::u16string& path, const std::vector<uint8_t>& bytes) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok = bytes.empty() || (WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) &&
                                      written == bytes.size());
    CloseHandle(file);
    return ok;
}

}  // namespace

std::vector<Effect> AllEffects() {
    std::vector<Effect> effects;
    for (const ShippedEffect& s : ShippedEffects()) {
        std::u16string file = std::u16string(kEngineFolder) + u"\\Thumbnails\\" + Widen(s.thumbnailFile);
        effects.push_back({s.category, s.name, s.kind, file});
    }
    for (Effect& e : ImportedEffects()) effects.push_back(std::move(e));
    return effects;
}

std::vector<std::u16string> Categories() {
    std::vector<std::u16string> names;
    for (const Effect& e : AllEffects()) {
        if (std::find(names.begin(), names.end(), e.category) == names.end()) names.push_back(e.category);
    }
    return names;
}

std::optional<Effect> FindEffect(const std::u16string& category, const std::u16string& name) {
    for (Effect& e : AllEffects()) {
        if (e.category == category && e.name == name) return std::move(e);
    }
    return std::nullopt;
}

HRESULT ParseEffectFile(std::span<const uint8_t> bytes, EffectFile* out) {
    if (bytes.empty() || bytes.size() > kMaxEffectFileBytes) return KFX_E_DAMAGED;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
    if (source == nullptr) return KFX_E_DAMAGED;
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    zip_error_fini(&error);
    if (archive == nullptr) {
        zip_source_free(source);
        return KFX_E_DAMAGED;
    }
    std::unique_ptr<zip_t, decltype(&zip_discard)> hold(archive, zip_discard);
    std::vector<uint8_t> description;
    bool missing = false;
    if (!ReadMember(archive, "effect.ini", kMaxDescriptionBytes, &description, &missing)) return KFX_E_DAMAGED;
    int version = 0;
    std::string kind;
    const std::string_view text(reinterpret_cast<const char*>(description.data()), description.size());
    if (!ParseDescription(text, out, &version, &kind)) return KFX_E_DAMAGED;
    if (version > kEffectFileVersion) return KFX_E_NEWER_ENGINE;
    auto effect = FrameEffectNamed(kind);
    if (!effect) return KFX_E_NEWER_ENGINE;
    out->kind = *effect;
    out->thumbnailPng.clear();
    if (!ReadMember(archive, "thumbnail.png", kMaxThumbnailBytes, &out->thumbnailPng, &missing) && !missing) return KFX_E_DAMAGED;
    return S_OK;
}

HRESULT ImportEffectFile(const std::u16string& path, Effect* imported) {
    std::vector<uint8_t> bytes;
    HRESULT error = S_OK;
    if (!ReadWholeFile(path, &bytes, &error)) return error;
    EffectFile file;
    HRESULT hr = ParseEffectFile(bytes, &file);
    if (FAILED(hr)) return hr;
    if (FindEffect(file.category, file.name)) return KFX_E_EXISTS;
    const std::u16string thumbnail = ImportedThumbnail(file.category, file.name);
    if (!file.thumbnailPng.empty() && !WriteWholeFile(thumbnail, file.thumbnailPng)) return KFX_E_COPY;
    const std::u16string key = kImportedKey + u"\\" + file.category + u"\\" + file.name;
    HKEY k;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr) != ERROR_SUCCESS) {
        return KFX_E_COPY;
    }
    const std::u16string kind = Widen(FrameEffectName(file.kind));
    const DWORD hasThumbnail = !file.thumbnailPng.empty();
    LSTATUS status = RegSetValueExW(k, u"Thumbnail", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&hasThumbnail), sizeof hasThumbnail);
    // The kind last: a record without it is passed over as unfinished.
    if (status == ERROR_SUCCESS) {
        status = RegSetValueExW(k, u"Kind", 0, REG_SZ, reinterpret_cast<const BYTE*>(kind.c_str()),
                                static_cast<DWORD>((kind.size() + 1) * sizeof(char16_t)));
    }
    RegCloseKey(k);
    if (status != ERROR_SUCCESS) return KFX_E_COPY;
    *imported = {file.category, file.name, file.kind, file.thumbnailPng.empty() ? std::u16string() : thumbnail};
    return S_OK;
}

}  // namespace kfx
