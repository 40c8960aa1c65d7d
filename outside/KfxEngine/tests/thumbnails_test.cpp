// The thumbnails the build drew for the shipped effects, read back by
// FreeImage as the console's video effects panel reads them. (FreeImage
// brings its own bitmap structures: this file includes no window headers.)
#include <gtest/gtest.h>
#include <FreeImage.h>

#include <filesystem>
#include <string>

#include "outside/KfxEngine/catalogue.h"

namespace {

using namespace kfx;

TEST(Thumbnails, EachShippedEffectHasAPictureInTheFormatItsNameGives) {
    FreeImage_Initialise(FALSE);
    for (const ShippedEffect& e : ShippedEffects()) {
        std::string relative = e.thumbnailFile;
        for (char& c : relative) c = c == '\\' ? '/' : c;
        const std::string file = std::string(QK_KFX_THUMBNAILS) + "/" + relative;
        SCOPED_TRACE(file);
        ASSERT_TRUE(std::filesystem::exists(file));
        const FREE_IMAGE_FORMAT byName = FreeImage_GetFIFFromFilename(file.c_str());
        if (byName == FIF_UNKNOWN) continue;  // the engine's own picture format
        const FREE_IMAGE_FORMAT byContents = FreeImage_GetFileType(file.c_str(), 0);
        // The portable-anymap family shares one reader, which names them all alike.
        const bool anymap = byName >= FIF_PBM && byName <= FIF_PPMRAW && byContents >= FIF_PBM && byContents <= FIF_PPMRAW;
        EXPECT_TRUE(byContents == byName || anymap) << "the contents match the extension: " << byContents;
        FIBITMAP* picture = FreeImage_Load(byContents, file.c_str(), 0);
        ASSERT_NE(picture, nullptr);
        EXPECT_EQ(FreeImage_GetWidth(picture), 96u);
        FreeImage_Unload(picture);
    }
    FreeImage_DeInitialise();
}

}  // namespace
