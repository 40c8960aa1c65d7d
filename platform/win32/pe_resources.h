// The resource section of a module in the Portable Executable format
// (PE/COFF, "The .rsrc Section"): the three-level directory type / name / language
// and the data entries it leads to. A module handed to the loader as a data
// file is only ever read through this class, so every offset in it is
// checked against the bytes actually present: a hostile or truncated module
// is refused with a reason, never read past its end.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qk::win32 {

// A resource type or name: a 16-bit number, or a string (compared without
// regard to case, as the loader does).
struct ResourceKey {
    bool isNumber = true;
    uint16_t number = 0;
    std::u16string text;

    static ResourceKey Number(uint16_t n) { return {true, n, {}}; }
    static ResourceKey Text(std::u16string s) { return {false, 0, std::move(s)}; }
    bool Matches(const ResourceKey& other) const;
};

struct ResourceEntry {
    ResourceKey type;
    ResourceKey name;
    uint16_t language = 0;
    uint32_t codePage = 0;
    std::span<const uint8_t> data;  // points into the image's own bytes
};

class ResourceImage {
public:
    // Parses a whole module file. Returns nothing and sets `error` when the
    // bytes are not a PE module or its resource directory is damaged.
    static std::unique_ptr<ResourceImage> Parse(std::vector<uint8_t> bytes, std::string* error);

    const std::vector<ResourceEntry>& Entries() const { return entries_; }
    // The first entry of `type` and `name` (any language, the lowest first).
    const ResourceEntry* Find(const ResourceKey& type, const ResourceKey& name) const;

private:
    explicit ResourceImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
    std::vector<uint8_t> bytes_;  // the file; entries_ point into it
    std::vector<ResourceEntry> entries_;
    friend class ResourceParser;
};

}  // namespace qk::win32
