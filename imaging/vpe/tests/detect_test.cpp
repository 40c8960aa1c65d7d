// Detection pieces on hand-made masks and pictures: labelling with merges and
// label reuse, the closing, texture and static-region tests, the motion
// states, margins and the arm line, and the skin tests.
#include "imaging/vpe/skin_model.h"
#include "imaging/vpe/tests/vpe_test_support.h"
#include "imaging/vpe/tools/skin_table_model.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

using testing::VpeTest;

constexpr int kW = 160, kH = 120;

class VpeDetectTest : public VpeTest {
protected:
    void SetUp() override {
        VpeTest::SetUp();
        c = NewContext();
        ASSERT_EQ(vpeFtkInit(c, kW, kH), VPE_SUCCESS);
        std::fill_n(c->skinMask, kW * kH, 0);
    }
    void Fill(int x0, int y0, int x1, int y1, uint8_t v = 255) {  // inclusive
        for (int y = y0; y <= y1; ++y) {
            for (int x = x0; x <= x1; ++x) c->skinMask[y * kW + x] = v;
        }
    }
    VPE_CONTEXT* c = nullptr;
};

TEST(VpeRegionShape, ClosingTestsFollowTheTestMask) {
    FtkSettings s{};
    vpeFtkDefaultSettings(&s);
    const LabelRecord narrow{0, 0, 9, 49, kLabelOpen, 49, 500, 0, 0};
    const LabelRecord wide{0, 0, 59, 49, kLabelOpen, 49, 3000, 0, 0};
    const LabelRecord face{0, 0, 39, 49, kLabelOpen, 49, 1500, 0, 0};
    EXPECT_FALSE(RegionPassesShapeTests(s, narrow));
    EXPECT_FALSE(RegionPassesShapeTests(s, wide));
    EXPECT_TRUE(RegionPassesShapeTests(s, face));
    s.TestMask = 1;  // size only
    EXPECT_TRUE(RegionPassesShapeTests(s, narrow));
    EXPECT_TRUE(RegionPassesShapeTests(s, wide));
    LabelRecord small = face;
    small.count = 256;  // the count must exceed RgnSizeTh
    EXPECT_FALSE(RegionPassesShapeTests(s, small));
    s.TestMask = 0;
    EXPECT_TRUE(RegionPassesShapeTests(s, small));
}

TEST_F(VpeDetectTest, LabellingMergesJoinedArmsAndSkipsTheBorder) {
    c->settings.TestMask = 1;
    c->settings.RgnSizeTh = 0;
    // A U: two arms that meet only at the bottom, then a separate blob, and
    // skin on the outer border that must not be labelled.
    Fill(10, 10, 14, 40);
    Fill(30, 10, 34, 40);
    Fill(10, 41, 34, 45);
    Fill(60, 60, 79, 69);
    Fill(0, 0, kW - 1, 0);
    ftkLabelRegions(*c, kW, kH);
    ASSERT_EQ(c->track.regions.count, 2);
    const Region& u = c->track.regions.entries[0];
    EXPECT_EQ(u.count, 5 * 31 * 2 + 25 * 5);
    EXPECT_EQ((Box{u.x0, u.y0, u.x1, u.y1}).x1, 34);
    EXPECT_EQ(u.y0, 10);
    EXPECT_EQ(u.y1, 45);
    const Region& blob = c->track.regions.entries[1];
    EXPECT_EQ(blob.count, 200);
    EXPECT_EQ(blob.sumX, 10 * (60 + 79) * 20 / 2);
    for (int x = 0; x < kW; ++x) EXPECT_EQ(c->labelMap[x], kNoLabel);
    // Every pixel of the U carries one label after the merge.
    const uint32_t label = c->labelMap[12 * kW + 12];
    EXPECT_EQ(c->labelMap[12 * kW + 32], label);
    EXPECT_EQ(c->labelMap[43 * kW + 20], label);
}

TEST_F(VpeDetectTest, LabelsAreReusedAndTheLargestRegionsListed) {
    c->settings.TestMask = 1;
    c->settings.RgnSizeTh = 0;
    // 13 rows of 12 blobs (156 regions, far more than 88 labels), each row
    // ending before the next starts; the largest blobs come last.
    int blobs = 0;
    for (int row = 0; row < 13; ++row) {
        for (int col = 0; col < 12; ++col, ++blobs) {
            const int size = row == 12 && col >= 7 ? col - 3 : 2;
            Fill(2 + col * 13, 2 + row * 9, 2 + col * 13 + size - 1, 2 + row * 9 + 1);
        }
    }
    ASSERT_GT(blobs, kMaxLabels);
    ftkLabelRegions(*c, kW, kH);
    ASSERT_EQ(c->track.regions.count, c->settings.MaxBBox);
    for (int i = 0; i < c->track.regions.count; ++i) {
        const Region& r = c->track.regions.entries[i];
        EXPECT_EQ(r.y0, 2 + 12 * 9);
        EXPECT_EQ(r.count, 2 * (r.x1 - r.x0 + 1));
        EXPECT_GE(r.x1 - r.x0 + 1, 4);
    }
}

TEST_F(VpeDetectTest, WhenEveryLabelIsOpenNewRegionsStayUnlabelled) {
    c->settings.TestMask = 0;
    // Single pixels on odd columns of one row and on even columns of the next
    // touch only diagonally, so each is a region of its own, and all of them
    // touch the current or the previous row: none of their labels is free.
    for (int x = 1; x + 1 < kW; x += 2) c->skinMask[50 * kW + x] = 255;  // 79 regions
    for (int x = 2; x + 1 < kW; x += 2) c->skinMask[51 * kW + x] = 255;  // 79 more
    ftkLabelRegions(*c, kW, kH);
    EXPECT_EQ(c->track.labelsUsed, kMaxLabels);
    const int labelledInRow51 = kMaxLabels - 79;
    EXPECT_NE(c->labelMap[51 * kW + 2 * labelledInRow51], kNoLabel);
    EXPECT_EQ(c->labelMap[51 * kW + 2 * labelledInRow51 + 2], kNoLabel);
    EXPECT_EQ(c->labelMap[51 * kW + 156], kNoLabel);
}

TEST_F(VpeDetectTest, TextureTestWantsVariedLumaAndADenseRegion) {
    uint8_t* reference = c->luma[c->track.referenceLuma];
    c->track.regions.count = 3;
    // Flat skin.
    Fill(10, 10, 29, 29);
    std::fill_n(reference, kW * kH, 120);
    c->track.regions.entries[0] = Region{0, 10, 10, 29, 29, 400, 0, 0, kCodeKept};
    // Textured skin: a steep ramp (variance well above 256).
    Fill(50, 10, 69, 29);
    for (int y = 10; y <= 29; ++y) {
        for (int x = 50; x <= 69; ++x) reference[y * kW + x] = uint8_t(60 + 6 * (x - 50));
    }
    c->track.regions.entries[1] = Region{1, 50, 10, 69, 29, 400, 0, 0, kCodeKept};
    // Textured but sparse: a diagonal line in a large box.
    for (int k = 0; k < 30; ++k) {
        c->skinMask[(40 + k) * kW + 100 + k] = 255;
        reference[(40 + k) * kW + 100 + k] = uint8_t(k * 8);
    }
    c->track.regions.entries[2] = Region{2, 100, 40, 129, 69, 30, 0, 0, kCodeKept};
    ftkTestTexture(*c, kW, kH);
    EXPECT_EQ(c->track.regions.entries[0].label, kRegionRejected);
    EXPECT_EQ(c->track.regions.entries[1].label, 1);
    EXPECT_EQ(c->track.regions.entries[2].label, kRegionRejected);
    // A box outside the picture fails without reading outside it.
    c->track.regions.count = 1;
    c->track.regions.entries[0] = Region{0, 150, 110, 170, 130, 400, 0, 0, kCodeKept};
    ftkTestTexture(*c, kW, kH);
    EXPECT_EQ(c->track.regions.entries[0].label, kRegionRejected);
}

TEST_F(VpeDetectTest, StaticRegionTestRejectsSkinThatNeverMoved) {
    c->settings.TestMask = 1;
    c->settings.RgnSizeTh = 0;
    vpeSetAttrib(c, VPE_ATTR_VERBOSE_MASK, VPE_VERBOSE_TRACKING);
    vpeSetAttrib(c, VPE_ATTR_VERBOSE_LEVEL, 1);
    auto detectOnce = [&](bool moving) {
        c->track.isMoving = moving;
        ftkLabelRegions(*c, kW, kH);
        ftkTestMoving(*c, kW, kH);
    };
    // A board (static) and a face at its first place.
    Fill(5, 60, 25, 110);
    Fill(70, 20, 100, 60);
    detectOnce(false);  // state 0: the background is taken, nothing is judged
    EXPECT_EQ(c->track.backgroundState, 0);
    detectOnce(true);
    EXPECT_EQ(c->track.backgroundState, 2);
    // The face moves away; the board stays.
    Fill(70, 20, 100, 60, 0);
    Fill(110, 30, 140, 70);
    debug::Clear();
    detectOnce(false);
    EXPECT_EQ(c->track.backgroundState, 1);
    ASSERT_EQ(c->track.regions.count, 2);
    const Region& face = c->track.regions.entries[0];  // raster order: the face starts higher
    const Region& board = c->track.regions.entries[1];
    EXPECT_EQ(board.x0, 5);
    EXPECT_EQ(board.label, kRegionRejected);
    EXPECT_EQ(board.code, kCodeStatic);
    EXPECT_NE(face.label, kRegionRejected);
    EXPECT_TRUE(debug::Contains("rejected idx:1, percent:0\n"));
    EXPECT_TRUE(debug::Contains("moved 0: 100 percent\n"));
    EXPECT_TRUE(debug::Contains("PixMoved:0 , Sum:1071, bboxSize:1071, \n"));
    // No regions at all.
    std::fill_n(c->skinMask, kW * kH, 0);
    debug::Clear();
    detectOnce(false);
    EXPECT_TRUE(debug::Contains("ftkTestMoving: no bbox\n"));
}

TEST(VpeMotionState, FollowsTheStateTable) {
    EXPECT_EQ(NextMotionState(kStill, false), kStill);
    EXPECT_EQ(NextMotionState(kStill, true), kMoving);
    EXPECT_EQ(NextMotionState(kMoving, true), kMoving);
    EXPECT_EQ(NextMotionState(kMoving, false), kJustStopped);
    EXPECT_EQ(NextMotionState(kJustStopped, true), kMoving);
    EXPECT_EQ(NextMotionState(kJustStopped, false), kSettled);
    EXPECT_EQ(NextMotionState(kSettled, true), kStill);
    EXPECT_EQ(NextMotionState(kSettled, false), kStill);
}

TEST_F(VpeDetectTest, MarginsGrowTheFaceBoxAboveTheDisplayedFace) {
    const Region face{0, 40, 30, 80, 90, 2000, 0, 0, kCodeKept};
    Box combined{kW - 1, kH - 1, 0, 0}, raw = combined;
    vpeAddRegion(c, &combined, &raw, face, kW, kH);
    EXPECT_EQ(raw.x0, 40);
    EXPECT_EQ(raw.y1, 90);
    EXPECT_EQ(combined.x0, 30);  // a quarter of the width each side
    EXPECT_EQ(combined.x1, 90);
    EXPECT_EQ(combined.y0, 10);  // a third of the height above and below
    EXPECT_EQ(combined.y1, 110);
    // Unequal margins; bottom-up storage puts the first one at the memory bottom.
    vpeSetAttrib(c, 221, 2);  // above: height / 2
    combined = Box{kW - 1, kH - 1, 0, 0};
    vpeAddRegion(c, &combined, &raw, face, kW, kH);
    EXPECT_EQ(combined.y0, 0);  // 30 - 30, clamped
    EXPECT_EQ(combined.y1, 110);
    c->track.finalFlip = 1;
    combined = Box{kW - 1, kH - 1, 0, 0};
    vpeAddRegion(c, &combined, &raw, face, kW, kH);
    EXPECT_EQ(combined.y0, 10);
    EXPECT_EQ(combined.y1, 120);  // 90 + 30, clamped to the height
    // A zero denominator from the registry gives no margin instead of a crash.
    vpeSetAttrib(c, 225, 0);
    combined = Box{kW - 1, kH - 1, 0, 0};
    vpeAddRegion(c, &combined, &raw, face, kW, kH);
    EXPECT_EQ(combined.x0, 40);
}

// A smoothed analysis picture: flat grey background with a skin-coloured
// block of a luma ramp (texture) at (x0, y0), w x h.
void PaintPicture(uint8_t* picture, int x0, int y0, int w, int h) {
    std::fill_n(picture, kW * kH, 110);
    uint8_t* u = picture + kW * kH;
    uint8_t* v = u + (kW / 2) * (kH / 2);
    std::fill_n(u, 2 * (kW / 2) * (kH / 2), 128);
    for (int y = y0; y < y0 + h; ++y) {
        for (int x = x0; x < x0 + w; ++x) {
            picture[y * kW + x] = uint8_t(100 + (x - x0) * 3);
            u[(y / 2) * (kW / 2) + x / 2] = 100;
            v[(y / 2) * (kW / 2) + x / 2] = 158;
        }
    }
}

TEST_F(VpeDetectTest, RegionsBelowTheArmLineDoNotCount) {
    std::vector<uint8_t> picture(kW * kH * 3 / 2);
    // A face at the top and a hand low in the picture; the reference luma is
    // this picture (settled), so both pass the texture test.
    PaintPicture(picture.data(), 20, 10, 24, 28);
    for (int y = 90; y < 116; ++y) {
        for (int x = 100; x < 124; ++x) {
            picture[y * kW + x] = uint8_t(100 + (x - 100) * 3);
            picture[kW * kH + (y / 2) * (kW / 2) + x / 2] = 100;
            picture[kW * kH + (kW / 2) * (kH / 2) + (y / 2) * (kW / 2) + x / 2] = 158;
        }
    }
    c->staticTest = 0;
    c->track.motionState = kJustStopped;
    std::copy_n(picture.data(), kW * kH, c->previousLuma);  // still
    Box combined{}, raw{};
    ASSERT_EQ(ftkDetect(c, nullptr, picture.data(), kW, kH, &combined, &raw), VPE_SUCCESS);
    EXPECT_EQ(c->track.motionState, kSettled);
    ASSERT_EQ(c->track.regions.count, 2);
    EXPECT_EQ(raw.x0, 20);
    EXPECT_EQ(raw.x1, 43);
    EXPECT_EQ(raw.y1, 37);  // the hand (rows 90-115) is below 120 * 2 / 3
    // Stored bottom-up: the hand is now above the line as displayed, the face below it.
    c->track.finalFlip = 1;
    ASSERT_EQ(ftkDetect(c, nullptr, picture.data(), kW, kH, &combined, &raw), VPE_SUCCESS);
    EXPECT_EQ(raw.x0, 100);
    EXPECT_EQ(raw.y0, 90);
    EXPECT_EQ(ftkDetect(c, nullptr, picture.data(), 176, 145, &combined, &raw), VPE_INVALID_PARAM);
}

TEST_F(VpeDetectTest, BeforeTheFirstSettledSceneOnlyASingleRegionIsFramed) {
    // The reference luma is still the zeroed buffer: every region fails the
    // texture test, so two faces give the whole picture and one face, added
    // as it is, gives its box.
    std::vector<uint8_t> picture(kW * kH * 3 / 2);
    PaintPicture(picture.data(), 20, 10, 24, 28);
    c->staticTest = 0;
    std::copy_n(picture.data(), kW * kH, c->previousLuma);
    Box combined{}, raw{};
    ASSERT_EQ(ftkDetect(c, nullptr, picture.data(), kW, kH, &combined, &raw), VPE_SUCCESS);
    EXPECT_EQ(c->track.motionState, kStill);
    ASSERT_EQ(c->track.regions.count, 1);
    EXPECT_EQ(c->track.regions.entries[0].label, kRegionRejected);
    EXPECT_EQ(raw.x0, 20);
    EXPECT_EQ(combined.x0, 20 - 23 / 4);
    for (int y = 60; y < 88; ++y) {  // a second face
        for (int x = 100; x < 124; ++x) {
            picture[y * kW + x] = uint8_t(100 + (x - 100) * 3);
            picture[kW * kH + (y / 2) * (kW / 2) + x / 2] = 100;
            picture[kW * kH + (kW / 2) * (kH / 2) + (y / 2) * (kW / 2) + x / 2] = 158;
        }
    }
    std::copy_n(picture.data(), kW * kH, c->previousLuma);
    ASSERT_EQ(ftkDetect(c, nullptr, picture.data(), kW, kH, &combined, &raw), VPE_SUCCESS);
    ASSERT_EQ(c->track.regions.count, 2);
    EXPECT_EQ(combined.x0, 0);
    EXPECT_EQ(combined.y0, 0);
    EXPECT_EQ(combined.x1, kW - 1);
    EXPECT_EQ(combined.y1, kH - 1);
}

TEST(VpeSkin, TableHoldsTheFixedRowsAndIsTheGeneratorsOutput) {
    const auto generated = skin_table::BuildTable();
    for (int y = 0; y < 256; ++y) {
        SCOPED_TRACE(y);
        for (int k = 0; k < 2; ++k) {
            const SkinEllipse &a = kSkinTable[y][k], &b = generated[size_t(y)][size_t(k)];
            ASSERT_EQ(std::memcmp(&a, &b, sizeof a), 0) << "run the qk_vpe_skin_table target";
        }
    }
    auto same = [](const SkinEllipse& a, const SkinEllipse& b) { return std::memcmp(&a, &b, sizeof a) == 0; };
    EXPECT_TRUE(same(kSkinTable[30][0], SkinEllipse{729, 100, 25600, 35840, -252, 44, 0, 74, 126, 130, 150}));
    EXPECT_TRUE(same(kSkinTable[128][0], SkinEllipse{1296, 121, 23552, 40960, -221, 127, 0, 61, 123, 140, 180}));
    EXPECT_TRUE(same(kSkinTable[200][1], SkinEllipse{100, 36, 29440, 39168, 252, 44, 0, 106, 124, 147, 159}));
    int primaries = 0, secondaries = 0;
    for (int y = 0; y < 256; ++y) {
        primaries += kSkinTable[y][0].aSquared != 0;
        secondaries += kSkinTable[y][1].aSquared != 0;
    }
    EXPECT_EQ(primaries, 256);
    EXPECT_EQ(secondaries, 110);
}

// The quick box test settles pixels before skin test 1 runs: it must never
// turn away a colour the test accepts, and it should turn away most others.
TEST(VpeSkin, TableBoxesHoldEveryAcceptedColour) {
    int accepted = 0, inBoxes = 0;
    for (int y = 0; y < 256; ++y) {
        for (int cb = 0; cb < 256; ++cb) {
            for (int cr = 0; cr < 256; ++cr) {
                const bool box = InSkinTableBox(y, cb, cr);
                inBoxes += box;
                if (!SkinTestTable(y, cb, cr)) continue;
                ++accepted;
                ASSERT_TRUE(box) << y << " " << cb << " " << cr;
            }
        }
    }
    EXPECT_GT(accepted, 0);
    EXPECT_LT(inBoxes, 256 * 256 * 256 / 20);
}

// Y, U, V of an RGB colour as the camera's conversion makes them.
struct Yuv {
    int y, u, v;
};
Yuv FromRgb(int r, int g, int b) {
    const int y = (19588 * r + 38443 * g + 7503 * b) >> 16;
    return Yuv{y, std::clamp(((b - y) * 37008 >> 16) + 128, 0, 255), std::clamp(((r - y) * 46738 >> 16) + 128, 0, 255)};
}

TEST(VpeSkin, BothTestsTellSkinFromBackgrounds) {
    FtkSettings s{};
    vpeFtkDefaultSettings(&s);
    const int skin[][3] = {{224, 172, 145}, {161, 110, 85}, {141, 85, 36}};
    const int other[][3] = {{128, 128, 128}, {60, 90, 170}, {50, 130, 120}, {80, 140, 70}, {240, 230, 60}, {250, 20, 20}};
    for (const auto& k : skin) {
        const Yuv c = FromRgb(k[0], k[1], k[2]);
        SCOPED_TRACE(std::to_string(c.y) + " " + std::to_string(c.u) + " " + std::to_string(c.v));
        EXPECT_TRUE(SkinTestTable(c.y, c.u, c.v));
        EXPECT_TRUE(SkinTestEllipse(s, c.y, c.u, c.v));
    }
    for (const auto& k : other) {
        const Yuv c = FromRgb(k[0], k[1], k[2]);
        SCOPED_TRACE(std::to_string(c.y) + " " + std::to_string(c.u) + " " + std::to_string(c.v));
        EXPECT_FALSE(SkinTestTable(c.y, c.u, c.v));
        EXPECT_FALSE(SkinTestEllipse(s, c.y, c.u, c.v));
    }
    // The scene's ruddy skin is inside the table's clusters.
    for (const Yuv ruddy : {FromRgb(210, 150, 120), FromRgb(198, 134, 110)}) {
        EXPECT_TRUE(SkinTestTable(ruddy.y, ruddy.u, ruddy.v));
    }
    // Test 1: nothing darker than 30 is skin, even at a row's centre.
    EXPECT_TRUE(SkinTestTable(30, 100, 140));
    EXPECT_FALSE(SkinTestTable(29, 100, 140));
    EXPECT_FALSE(SkinTestTable(128, 124, 160));  // outside the row's box
    // Test 0 moves bright chroma before the ellipse: the same chroma is judged
    // differently inside and outside the luma window.
    int differ = 0;
    for (int u = 80; u < 140; u += 2) {
        for (int v = 120; v < 190; v += 2) differ += SkinTestEllipse(s, 150, u, v) != SkinTestEllipse(s, 220, u, v);
    }
    EXPECT_GT(differ, 0);
    s.StrictCol = 1;  // window 125-188: luma 100 is now transformed
    int strictDiffer = 0;
    FtkSettings loose{};
    vpeFtkDefaultSettings(&loose);
    for (int u = 80; u < 140; u += 2) {
        for (int v = 120; v < 190; v += 2) strictDiffer += SkinTestEllipse(s, 100, u, v) != SkinTestEllipse(loose, 100, u, v);
    }
    EXPECT_GT(strictDiffer, 0);
}

}  // namespace
}  // namespace qk::vpe
