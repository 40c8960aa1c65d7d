// Build step: the engine's thumbnails, one for each shipped effect, made
// from a photograph Debian ships with the effect applied, each written in
// the picture format its file name gives (FreeImage writes them all).
// Usage: qk_kfx_thumbnails PHOTO OUTPUT_FOLDER
#include <FreeImage.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "outside/KfxEngine/catalogue.h"
#include "outside/KfxEngine/frame_effects.h"

namespace {

constexpr int kSide = 96;

// A square cut from the photograph's middle, at kSide pixels; a plain
// gradient when there is no photograph.
FIBITMAP* Square(const char* photo) {
    FIBITMAP* source = nullptr;
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(photo, 0);
    if (format != FIF_UNKNOWN) source = FreeImage_Load(format, photo, 0);
    if (source == nullptr) {
        std::fprintf(stderr, "qk_kfx_thumbnails: %s cannot be read; drawing a gradient\n", photo);
        FIBITMAP* plain = FreeImage_Allocate(kSide, kSide, 24);
        for (int y = 0; y < kSide; ++y) {
            BYTE* row = FreeImage_GetScanLine(plain, y);
            for (int x = 0; x < kSide; ++x) {
                row[3 * x] = static_cast<BYTE>(x * 255 / kSide);
                row[3 * x + 1] = static_cast<BYTE>(y * 255 / kSide);
                row[3 * x + 2] = 128;
            }
        }
        return plain;
    }
    FIBITMAP* colour = FreeImage_ConvertTo24Bits(source);
    FreeImage_Unload(source);
    const int w = static_cast<int>(FreeImage_GetWidth(colour)), h = static_cast<int>(FreeImage_GetHeight(colour));
    const int side = std::min(w, h);
    FIBITMAP* cut = FreeImage_Copy(colour, (w - side) / 2, (h - side) / 2, (w - side) / 2 + side, (h - side) / 2 + side);
    FreeImage_Unload(colour);
    FIBITMAP* small = FreeImage_Rescale(cut, kSide, kSide, FILTER_BILINEAR);
    FreeImage_Unload(cut);
    // Pixels only: the photograph's camera tags mean nothing in a thumbnail.
    FIBITMAP* plain = FreeImage_Allocate(kSide, kSide, 24);
    for (int y = 0; y < kSide; ++y) std::memcpy(FreeImage_GetScanLine(plain, y), FreeImage_GetScanLine(small, y), kSide * 3);
    FreeImage_Unload(small);
    return plain;
}

bool Save(FIBITMAP* picture, const std::filesystem::path& file) {
    const FREE_IMAGE_FORMAT format = FreeImage_GetFIFFromFilename(file.string().c_str());
    if (format == FIF_UNKNOWN) {
        // The engine's own picture format: a header and the raw pixels.
        std::ofstream out(file, std::ios::binary);
        out << "KFP1";
        for (int y = 0; y < kSide; ++y) out.write(reinterpret_cast<const char*>(FreeImage_GetScanLine(picture, y)), kSide * 3);
        return static_cast<bool>(out);
    }
    FIBITMAP* toSave = picture;
    if (format == FIF_GIF) toSave = FreeImage_ColorQuantize(picture, FIQ_WUQUANT);  // GIF holds 256 colours
    const bool ok = toSave != nullptr && FreeImage_Save(format, toSave, file.string().c_str(), 0);
    if (toSave != picture && toSave != nullptr) FreeImage_Unload(toSave);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: qk_kfx_thumbnails PHOTO OUTPUT_FOLDER\n");
        return 2;
    }
    FreeImage_Initialise(FALSE);
    int failures = 0;
    for (const kfx::ShippedEffect& effect : kfx::ShippedEffects()) {
        FIBITMAP* picture = Square(argv[1]);
        kfx::ApplyFrameEffect(effect.kind, FreeImage_GetBits(picture), kSide, kSide, FreeImage_GetPitch(picture));
        std::string relative = effect.thumbnailFile;
        for (char& c : relative) c = c == '\\' ? '/' : c;
        const std::filesystem::path file = std::filesystem::path(argv[2]) / relative;
        std::filesystem::create_directories(file.parent_path());
        if (!Save(picture, file)) {
            std::fprintf(stderr, "qk_kfx_thumbnails: cannot write %s\n", file.string().c_str());
            ++failures;
        }
        FreeImage_Unload(picture);
    }
    FreeImage_DeInitialise();
    return failures == 0 ? 0 : 1;
}
