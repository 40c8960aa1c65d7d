// Reading the resource directory of a PE module. The layouts are those of the
// PE/COFF format: the MS-DOS stub's e_lfanew at 0x3C, the "PE\0\0"
// signature, the COFF file header, the optional header (PE32 or PE32+) whose
// third data directory locates the resources, the section table that maps
// relative virtual addresses to file offsets, and the resource directory
// tables (16 bytes, then 8-byte entries; high bits mark strings and
// subdirectories).
#include "platform/win32/pe_resources.h"

#include <algorithm>
#include <cstring>

namespace qk::win32 {

namespace {

constexpr uint32_t kHighBit = 0x80000000u;
// More resources than any real module holds; a directory claiming more is
// treated as damaged rather than walked for minutes.
constexpr size_t kMaxEntries = 65536;

char16_t Upcase(char16_t c) { return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c; }

struct Section {
    uint32_t virtualAddress;
    uint32_t virtualSize;
    uint32_t rawSize;
    uint32_t rawOffset;
};

}  // namespace

bool ResourceKey::Matches(const ResourceKey& other) const {
    if (isNumber != other.isNumber) return false;
    if (isNumber) return number == other.number;
    if (text.size() != other.text.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (Upcase(text[i]) != Upcase(other.text[i])) return false;
    }
    return true;
}

class ResourceParser {
public:
    ResourceParser(ResourceImage& image, std::string* error) : image_(image), bytes_(image.bytes_), error_(error) {}

    bool Run() {
        if (bytes_.size() < 0x40 || bytes_[0] != 'M' || bytes_[1] != 'Z') return Fail("not a module (no MZ header)");
        const uint32_t pe = Read32(0x3C);
        if (!Has(pe, 24) || std::memcmp(&bytes_[pe], "PE\0\0", 4) != 0) return Fail("no PE signature");
        const uint32_t coff = pe + 4;
        const uint16_t sectionCount = Read16(coff + 2);
        const uint16_t optionalSize = Read16(coff + 16);
        const uint32_t optional = coff + 20;
        if (!Has(optional, optionalSize) || optionalSize < 2) return Fail("truncated optional header");
        const uint16_t magic = Read16(optional);
        uint32_t countOffset = 0;
        if (magic == 0x10B) {
            countOffset = 92;
        } else if (magic == 0x20B) {
            countOffset = 108;
        } else {
            return Fail("unknown optional header magic");
        }
        if (optionalSize < countOffset + 4) return Fail("truncated optional header");
        const uint32_t directoryCount = Read32(optional + countOffset);
        const uint32_t directories = optional + countOffset + 4;
        const uint32_t kResourceDirectory = 2;
        uint32_t resourceRva = 0;
        uint32_t resourceSize = 0;
        if (directoryCount > kResourceDirectory && optionalSize >= countOffset + 4 + 8 * (kResourceDirectory + 1)) {
            resourceRva = Read32(directories + 8 * kResourceDirectory);
            resourceSize = Read32(directories + 8 * kResourceDirectory + 4);
        }
        const uint32_t sectionTable = optional + optionalSize;
        if (!Has(sectionTable, uint64_t{sectionCount} * 40)) return Fail("truncated section table");
        for (uint32_t i = 0; i < sectionCount; ++i) {
            const uint32_t s = sectionTable + 40 * i;
            sections_.push_back({Read32(s + 12), Read32(s + 8), Read32(s + 16), Read32(s + 20)});
        }
        if (resourceRva == 0 || resourceSize == 0) return true;  // a module without resources
        uint32_t base = 0;
        if (!Map(resourceRva, 16, &base)) return Fail("resource directory outside the file");
        rootOffset_ = base;
        return Walk(base, 0, {}, {});
    }

private:
    bool Fail(const char* why) {
        if (error_) *error_ = why;
        return false;
    }
    bool Has(uint64_t offset, uint64_t size) const { return offset <= bytes_.size() && size <= bytes_.size() - offset; }
    uint16_t Read16(uint32_t at) const { return static_cast<uint16_t>(bytes_[at] | bytes_[at + 1] << 8); }
    uint32_t Read32(uint32_t at) const {
        return uint32_t{bytes_[at]} | uint32_t{bytes_[at + 1]} << 8 | uint32_t{bytes_[at + 2]} << 16 |
               uint32_t{bytes_[at + 3]} << 24;
    }

    // File offset of `size` bytes at relative virtual address `rva`, all
    // within one section's raw data.
    bool Map(uint32_t rva, uint32_t size, uint32_t* offset) const {
        for (const Section& s : sections_) {
            // Only bytes present in the file count: what lies beyond a
            // section's raw data would be zero-filled memory on the target.
            if (rva >= s.virtualAddress && uint64_t{rva} - s.virtualAddress + size <= s.rawSize) {
                const uint64_t at = uint64_t{s.rawOffset} + (rva - s.virtualAddress);
                if (!Has(at, size)) return false;
                *offset = static_cast<uint32_t>(at);
                return true;
            }
        }
        return false;
    }

    // An entry's name: a number, or (high bit) a counted string at an offset
    // from the start of the resource section.
    bool Key(uint32_t word, ResourceKey* key) {
        if (!(word & kHighBit)) {
            *key = ResourceKey::Number(static_cast<uint16_t>(word));
            return true;
        }
        const uint64_t at = uint64_t{rootOffset_} + (word & ~kHighBit);
        if (!Has(at, 2)) return Fail("resource name outside the file");
        const uint16_t length = Read16(static_cast<uint32_t>(at));
        if (!Has(at + 2, uint64_t{length} * 2)) return Fail("resource name runs past the file");
        std::u16string text(length, u'\0');
        for (uint16_t i = 0; i < length; ++i) text[i] = static_cast<char16_t>(Read16(static_cast<uint32_t>(at + 2 + 2 * i)));
        *key = ResourceKey::Text(std::move(text));
        return true;
    }

    // Levels: 0 type, 1 name, 2 language. Deeper directories do not exist in
    // a sound module, which also ends any cycle of subdirectory offsets.
    bool Walk(uint32_t directory, int level, ResourceKey type, ResourceKey name) {
        if (!Has(directory, 16)) return Fail("resource directory outside the file");
        const uint32_t count = uint32_t{Read16(directory + 12)} + Read16(directory + 14);
        if (!Has(directory + 16, uint64_t{count} * 8)) return Fail("resource directory entries run past the file");
        for (uint32_t i = 0; i < count; ++i) {
            const uint32_t entry = directory + 16 + 8 * i;
            ResourceKey key;
            if (!Key(Read32(entry), &key)) return false;
            const uint32_t target = Read32(entry + 4);
            const uint64_t at = uint64_t{rootOffset_} + (target & ~kHighBit);
            if (at > UINT32_MAX) return Fail("resource offset out of range");
            if (target & kHighBit) {
                if (level >= 2) return Fail("resource directory nested too deep");
                if (!Walk(static_cast<uint32_t>(at), level + 1, level == 0 ? key : type, level == 1 ? key : name)) return false;
                continue;
            }
            if (level != 2) return Fail("resource data entry above the language level");
            if (!Has(at, 16)) return Fail("resource data entry outside the file");
            const uint32_t dataRva = Read32(static_cast<uint32_t>(at));
            const uint32_t dataSize = Read32(static_cast<uint32_t>(at) + 4);
            uint32_t dataOffset = 0;
            if (!Map(dataRva, dataSize, &dataOffset)) return Fail("resource data outside the file");
            if (image_.entries_.size() >= kMaxEntries) return Fail("too many resources");
            ResourceEntry e;
            e.type = type;
            e.name = name;
            e.language = key.isNumber ? key.number : 0;
            e.codePage = Read32(static_cast<uint32_t>(at) + 8);
            e.data = std::span<const uint8_t>(bytes_.data() + dataOffset, dataSize);
            image_.entries_.push_back(std::move(e));
        }
        return true;
    }

    ResourceImage& image_;
    const std::vector<uint8_t>& bytes_;
    std::string* error_;
    std::vector<Section> sections_;
    uint32_t rootOffset_ = 0;
};

std::unique_ptr<ResourceImage> ResourceImage::Parse(std::vector<uint8_t> bytes, std::string* error) {
    std::unique_ptr<ResourceImage> image(new ResourceImage(std::move(bytes)));
    ResourceParser parser(*image, error);
    if (!parser.Run()) return nullptr;
    return image;
}

const ResourceEntry* ResourceImage::Find(const ResourceKey& type, const ResourceKey& name) const {
    // The machine's user interface language is English (United States): a
    // neutral entry first, then that language, then the lowest one there is.
    auto rank = [](uint16_t language) -> uint32_t {
        if (language == 0) return 0;
        if (language == 0x0409) return 1;
        return 2u + language;
    };
    const ResourceEntry* best = nullptr;
    for (const ResourceEntry& e : entries_) {
        if (e.type.Matches(type) && e.name.Matches(name) && (!best || rank(e.language) < rank(best->language))) best = &e;
    }
    return best;
}

}  // namespace qk::win32
