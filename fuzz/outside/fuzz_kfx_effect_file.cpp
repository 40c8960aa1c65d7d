// The video effects engine's effect-file reader on any bytes: an answer,
// never a read past the archive or its members.
#include <cstddef>
#include <cstdint>

#include "outside/KfxEngine/catalogue.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    kfx::EffectFile file;
    const HRESULT hr = kfx::ParseEffectFile({data, size}, &file);
    if (SUCCEEDED(hr) && (file.name.empty() || file.category.empty())) __builtin_trap();
    return 0;
}
