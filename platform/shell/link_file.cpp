#include "platform/shell/link_file.h"

#include <algorithm>
#include <cstring>

namespace qk::shell {
namespace {

constexpr uint32_t kHeaderSize = 0x4C;
// The shell link class, {00021401-0000-0000-C000-000000000046}, as stored.
constexpr uint8_t kLinkClsid[16] = {0x01, 0x14, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00,
                                    0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46};

enum LinkFlags : uint32_t {
    kHasIdList = 0x1,
    kHasLinkInfo = 0x2,
    kHasName = 0x4,
    kHasRelativePath = 0x8,
    kHasWorkingDir = 0x10,
    kHasArguments = 0x20,
    kHasIconLocation = 0x40,
    kIsUnicode = 0x80,
};
constexpr uint32_t kVolumeIdAndLocalBasePath = 0x1;
constexpr uint32_t kCommonNetworkRelativeLink = 0x2;
constexpr uint32_t kDriveFixed = 3;

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

bool Ascii(const std::u16string& s) {
    for (char16_t c : s) {
        if (c >= 0x80) return false;
    }
    return true;
}

void PutAnsiZ(std::vector<uint8_t>& out, const std::u16string& s) {
    // The ANSI form of a path that is not all ASCII is only a stand-in: the
    // Unicode form beside it is the one readers take.
    for (char16_t c : s) out.push_back(c < 0x80 ? static_cast<uint8_t>(c) : '?');
    out.push_back(0);
}

void PutUnicodeZ(std::vector<uint8_t>& out, const std::u16string& s) {
    for (char16_t c : s) Put16(out, c);
    Put16(out, 0);
}

std::vector<uint8_t> LinkInfo(const std::u16string& path) {
    const bool unicode = !Ascii(path);
    const uint32_t headerSize = unicode ? 0x24 : 0x1C;
    std::vector<uint8_t> info(headerSize, 0);
    Set32(info, 4, headerSize);
    Set32(info, 8, kVolumeIdAndLocalBasePath);
    // The volume: a fixed drive with no label.
    Set32(info, 12, static_cast<uint32_t>(info.size()));
    Put32(info, 0x11);  // VolumeIDSize: the four words and the empty label
    Put32(info, kDriveFixed);
    Put32(info, 0x51300340);  // the drive's serial number
    Put32(info, 0x10);        // the label right after the four words
    info.push_back(0);
    Set32(info, 16, static_cast<uint32_t>(info.size()));
    PutAnsiZ(info, path);
    Set32(info, 24, static_cast<uint32_t>(info.size()));
    info.push_back(0);  // no common path suffix
    if (unicode) {
        Set32(info, 28, static_cast<uint32_t>(info.size()));
        PutUnicodeZ(info, path);
        Set32(info, 32, static_cast<uint32_t>(info.size()));
        Put16(info, 0);
    }
    Set32(info, 0, static_cast<uint32_t>(info.size()));
    return info;
}

// Bounds-checked reading of the file's little-endian words and strings.
class Reader {
public:
    Reader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}
    bool Has(size_t at, size_t count) const { return at <= size_ && count <= size_ - at; }
    uint16_t U16(size_t at) const { return static_cast<uint16_t>(bytes_[at] | (bytes_[at + 1] << 8)); }
    uint32_t U32(size_t at) const {
        return static_cast<uint32_t>(bytes_[at]) | (static_cast<uint32_t>(bytes_[at + 1]) << 8) |
               (static_cast<uint32_t>(bytes_[at + 2]) << 16) | (static_cast<uint32_t>(bytes_[at + 3]) << 24);
    }
    const uint8_t* At(size_t at) const { return bytes_ + at; }
    // A NUL-terminated string between `at` and `end`; false when no NUL ends it there.
    bool AnsiZ(size_t at, size_t end, std::u16string* out) const {
        out->clear();
        for (size_t i = at; i < end; ++i) {
            if (bytes_[i] == 0) return true;
            out->push_back(static_cast<char16_t>(bytes_[i]));
        }
        return false;
    }
    bool UnicodeZ(size_t at, size_t end, std::u16string* out) const {
        out->clear();
        for (size_t i = at; i + 1 < end; i += 2) {
            const char16_t c = U16(i);
            if (c == 0) return true;
            out->push_back(c);
        }
        return false;
    }

private:
    const uint8_t* bytes_;
    size_t size_;
};

bool ReadLinkInfo(const Reader& r, size_t at, size_t size, std::u16string* path, std::string* error) {
    const size_t end = at + size;
    if (size < 0x1C) {
        *error = "the link information is shorter than its header";
        return false;
    }
    const uint32_t headerSize = r.U32(at + 4);
    const uint32_t flags = r.U32(at + 8);
    if (headerSize < 0x1C || headerSize > size) {
        *error = "the link information's header does not fit";
        return false;
    }
    auto offset = [&](size_t field, uint32_t* value) {
        *value = r.U32(at + field);
        if (*value != 0 && (*value < 0x1C || *value >= size)) {
            *error = "an offset of the link information points outside it";
            return false;
        }
        return true;
    };
    uint32_t basePath = 0, network = 0, suffix = 0, basePathUnicode = 0, suffixUnicode = 0;
    if (!offset(16, &basePath) || !offset(20, &network) || !offset(24, &suffix)) return false;
    if (headerSize >= 0x24 && (!offset(28, &basePathUnicode) || !offset(32, &suffixUnicode))) return false;
    std::u16string base, rest;
    bool ok = true;
    if (flags & kVolumeIdAndLocalBasePath) {
        if (basePathUnicode) {
            ok = r.UnicodeZ(at + basePathUnicode, end, &base);
        } else if (basePath) {
            ok = r.AnsiZ(at + basePath, end, &base);
        }
    } else if ((flags & kCommonNetworkRelativeLink) && network) {
        // A share: its name ("\\server\share") before the suffix.
        const size_t link = at + network;
        if (!r.Has(link, 0x14) || link + 0x14 > end) {
            *error = "the network part of the link information does not fit";
            return false;
        }
        const uint32_t linkSize = r.U32(link);
        const uint32_t netName = r.U32(link + 8);
        if (linkSize < 0x14 || linkSize > end - link || netName < 0x14 || netName >= linkSize) {
            *error = "the network part of the link information does not hold together";
            return false;
        }
        ok = r.AnsiZ(link + netName, link + linkSize, &base);
        if (ok && !base.empty()) base += u'\\';
    }
    if (ok && suffixUnicode) {
        ok = r.UnicodeZ(at + suffixUnicode, end, &rest);
    } else if (ok && suffix) {
        ok = r.AnsiZ(at + suffix, end, &rest);
    }
    if (!ok) {
        *error = "a path of the link information has no end";
        return false;
    }
    *path = base + rest;
    return true;
}

}  // namespace

std::vector<uint8_t> WriteLink(const LinkData& link) {
    std::vector<uint8_t> out;
    const std::u16string* strings[] = {&link.description, &link.relativePath, &link.workingDirectory, &link.arguments,
                                       &link.iconPath};
    const uint32_t stringFlags[] = {kHasName, kHasRelativePath, kHasWorkingDir, kHasArguments, kHasIconLocation};
    uint32_t flags = kIsUnicode;
    if (!link.path.empty()) flags |= kHasLinkInfo;
    for (int i = 0; i < 5; ++i) {
        if (!strings[i]->empty()) flags |= stringFlags[i];
    }
    Put32(out, kHeaderSize);
    out.insert(out.end(), kLinkClsid, kLinkClsid + 16);
    Put32(out, flags);
    Put32(out, link.fileAttributes);
    for (int i = 0; i < 6; ++i) Put32(out, 0);  // the three file times: unknown
    Put32(out, 0);                              // the target's size: unknown
    Put32(out, static_cast<uint32_t>(link.iconIndex));
    Put32(out, static_cast<uint32_t>(link.showCommand));
    Put16(out, link.hotkey);
    Put16(out, 0);
    Put32(out, 0);
    Put32(out, 0);
    if (flags & kHasLinkInfo) {
        const std::vector<uint8_t> info = LinkInfo(link.path);
        out.insert(out.end(), info.begin(), info.end());
    }
    for (int i = 0; i < 5; ++i) {
        if (!(flags & stringFlags[i])) continue;
        const std::u16string& s = *strings[i];
        const size_t count = std::min<size_t>(s.size(), 0xFFFF);
        Put16(out, static_cast<uint16_t>(count));
        for (size_t c = 0; c < count; ++c) Put16(out, s[c]);
    }
    Put32(out, 0);  // no extra data blocks
    return out;
}

bool ReadLink(const uint8_t* bytes, size_t size, LinkData* link, std::string* error) {
    std::string ignored;
    if (!error) error = &ignored;
    const Reader r(bytes, size);
    if (!r.Has(0, kHeaderSize) || r.U32(0) != kHeaderSize || std::memcmp(r.At(4), kLinkClsid, 16) != 0) {
        *error = "not a shell link: no link header";
        return false;
    }
    LinkData out;
    const uint32_t flags = r.U32(20);
    out.fileAttributes = r.U32(24);
    out.iconIndex = static_cast<int32_t>(r.U32(56));
    out.showCommand = static_cast<int>(r.U32(60));
    out.hotkey = r.U16(64);
    size_t at = kHeaderSize;
    if (flags & kHasIdList) {
        // The shell's item identifiers: we take the target from the link information.
        if (!r.Has(at, 2) || !r.Has(at + 2, r.U16(at))) {
            *error = "the item identifier list does not fit";
            return false;
        }
        at += 2 + r.U16(at);
    }
    if (flags & kHasLinkInfo) {
        if (!r.Has(at, 4)) {
            *error = "the link information is missing";
            return false;
        }
        const uint32_t infoSize = r.U32(at);
        if (!r.Has(at, infoSize)) {
            *error = "the link information does not fit";
            return false;
        }
        if (!ReadLinkInfo(r, at, infoSize, &out.path, error)) return false;
        at += infoSize;
    }
    std::u16string* strings[] = {&out.description, &out.relativePath, &out.workingDirectory, &out.arguments, &out.iconPath};
    const uint32_t stringFlags[] = {kHasName, kHasRelativePath, kHasWorkingDir, kHasArguments, kHasIconLocation};
    const size_t unit = (flags & kIsUnicode) ? 2 : 1;
    for (int i = 0; i < 5; ++i) {
        if (!(flags & stringFlags[i])) continue;
        if (!r.Has(at, 2)) {
            *error = "a string of the link is missing";
            return false;
        }
        const size_t count = r.U16(at);
        at += 2;
        if (!r.Has(at, count * unit)) {
            *error = "a string of the link does not fit";
            return false;
        }
        strings[i]->clear();
        for (size_t c = 0; c < count; ++c) {
            strings[i]->push_back(unit == 2 ? r.U16(at + 2 * c) : static_cast<char16_t>(*r.At(at + c)));
        }
        at += count * unit;
    }
    // Extra data blocks (environment paths, console properties, ...) follow;
    // nothing the link's interfaces give out comes from them.
    *link = std::move(out);
    return true;
}

}  // namespace qk::shell
