// The engine's effects: those it ships, in three categories, and those
// imported from effect files, kept in the registry. An effect file (".vfz")
// is a zip archive holding "effect.ini" (an [Effect] section with Category,
// Name, Kind and Version) and, optionally, "thumbnail.png".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "objbase.h"
#include "outside/KfxEngine/frame_effects.h"

namespace kfx {

struct Effect {
    std::u16string category;
    std::u16string name;
    FrameEffect kind;
    std::u16string thumbnail;  // full path on the machine; empty for none
};

struct ShippedEffect {
    const char16_t* category;
    const char16_t* name;
    FrameEffect kind;
    const char* thumbnailFile;  // below the engine's Thumbnails folder
};
std::span<const ShippedEffect> ShippedEffects();

// Shipped effects first, then the imported ones in the registry's order.
std::vector<Effect> AllEffects();
std::vector<std::u16string> Categories();
std::optional<Effect> FindEffect(const std::u16string& category, const std::u16string& name);

// The newest effect-file version this engine reads.
constexpr int kEffectFileVersion = 1;
constexpr size_t kMaxEffectFileBytes = 4 << 20;

struct EffectFile {
    std::u16string category;
    std::u16string name;
    FrameEffect kind;
    std::vector<uint8_t> thumbnailPng;  // may be empty
};

// S_OK, KFX_E_DAMAGED (not a readable archive, or a malformed description) or
// KFX_E_NEWER_ENGINE (a later version, or a kind this engine lacks).
HRESULT ParseEffectFile(std::span<const uint8_t> bytes, EffectFile* out);

// Reads and parses `path`, stores the thumbnail in the engine's folder and
// the effect in the registry.
HRESULT ImportEffectFile(const std::u16string& path, Effect* imported);

}  // namespace kfx
