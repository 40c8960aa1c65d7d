// Library start, contexts, attributes, verbose switches and the settings dump.
#include <string>

#include "imaging/vpe/tests/vpe_test_support.h"
#include "imaging/vpe/vpe_internal.h"

namespace qk::vpe {
namespace {

using testing::CountingAlloc;
using testing::CountingFree;
using testing::Log;
using testing::VpeTest;

TEST_F(VpeTest, VersionMismatchIsRefusedAndStoresNothing) {
    // Null hooks stored by a good start; a refused start must not replace them.
    ASSERT_EQ(vpeInit(nullptr, nullptr, nullptr, nullptr, VPE_VERSION), VPE_INVALID_PARAM);
    debug::Clear();
    EXPECT_EQ(vpeInit(nullptr, nullptr, CountingAlloc, CountingFree, 312), VPE_VERSION_MISMATCH);
    EXPECT_TRUE(debug::Contains("VPE: Version mismatched, expected 313, but get 312\n"));
    EXPECT_FALSE(debug::Contains("Testing memory allocation"));
    PVPE_CONTEXT c = reinterpret_cast<PVPE_CONTEXT>(1);
    EXPECT_EQ(vpeCreate(&c, 2, nullptr), VPE_NO_MEMORY);
    EXPECT_EQ(c, nullptr);
    EXPECT_TRUE(debug::Contains("VPE: ERROR VpeMemAlloc is NULL!\n"));
}

TEST_F(VpeTest, StartRunsTheMemorySelfTest) {
    debug::Clear();
    ASSERT_EQ(vpeInit(nullptr, nullptr, CountingAlloc, CountingFree, VPE_VERSION), VPE_SUCCESS);
    const auto m = debug::Messages();
    ASSERT_GE(m.size(), 9u);
    EXPECT_EQ(m[0], "VPE: Version 313...");
    EXPECT_EQ(m[1].rfind("VPE: vpeInit, pB:0 pE:0 alloc:", 0), 0u);
    EXPECT_EQ(m[2], "Testing memory allocation ...");
    EXPECT_EQ(m[3].rfind("Ok. returns 0x", 0), 0u);
    EXPECT_EQ(m[4], "Writing 123 to last byte\n");
    EXPECT_EQ(m[5], "Reading back 123\n");
    EXPECT_EQ(m[6].rfind("Freeing memory 0x", 0), 0u);
    EXPECT_EQ(m[7], "Memory test ok\n");
    EXPECT_EQ(m[8], "OK\n");
    EXPECT_EQ(Log().allocations[VPE_MEM_SELF_TEST], 2);  // SetUp's start and this one
    EXPECT_EQ(Log().frees, 2);

    Log().failAllocations = true;
    debug::Clear();
    EXPECT_EQ(vpeInit(nullptr, nullptr, CountingAlloc, CountingFree, VPE_VERSION), VPE_NO_MEMORY);
    EXPECT_TRUE(debug::Contains("Fail. MemAlloc returns null\n"));
    EXPECT_FALSE(debug::Contains("Writing 123"));
    PVPE_CONTEXT c = nullptr;
    EXPECT_EQ(vpeCreate(&c, 2, nullptr), VPE_NO_MEMORY);
    EXPECT_EQ(c, nullptr);

    debug::Clear();
    EXPECT_EQ(vpeInit(nullptr, nullptr, nullptr, CountingFree, VPE_VERSION), VPE_INVALID_PARAM);
    EXPECT_TRUE(debug::Contains("Fail. MemAlloc is null\n"));
}

TEST_F(VpeTest, ContextIsOneAllocationOfKind100) {
    PVPE_CONTEXT c = nullptr;
    int owner = 0;
    ASSERT_EQ(vpeCreate(&c, 2, &owner), VPE_SUCCESS);
    EXPECT_EQ(Log().allocations[VPE_MEM_CONTEXT], 1);
    EXPECT_EQ(Log().lastOwner, nullptr);  // the context itself is allocated with no owner
    EXPECT_EQ(c->owner, &owner);
    EXPECT_EQ(c->flipFlags, 2);
    const int freesBefore = Log().frees;
    EXPECT_EQ(vpeDestroy(c), VPE_SUCCESS);
    EXPECT_EQ(Log().frees, freesBefore + 1);
    EXPECT_EQ(vpeDestroy(nullptr), VPE_INVALID_PARAM);
    EXPECT_EQ(vpeCreate(nullptr, 2, nullptr), VPE_INVALID_PARAM);
}

TEST_F(VpeTest, EveryAttributeOfBothTablesIsAcceptedAndUnknownOnesRefused) {
    PVPE_CONTEXT c = NewContext();
    std::vector<int32_t> known = {100, 101, 231, 234, 235, 236, 240, 241, 242, 243, 250, 251, 252, 260};
    for (int32_t id = 200; id <= 225; ++id) known.push_back(id);
    for (int32_t id = 230; id <= 233; ++id) known.push_back(id);
    for (int32_t id : known) {
        SCOPED_TRACE(id);
        EXPECT_EQ(vpeSetAttrib(c, id, id == 100 || id == 101 ? 0 : 1), VPE_SUCCESS);
    }
    for (int32_t id : {0, 99, 102, 199, 226, 229, 237, 239, 244, 249, 253, 259, 261, -1}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(vpeSetAttrib(c, id, 1), VPE_INVALID_PARAM);
    }
    EXPECT_EQ(vpeSetAttrib(nullptr, 200, 1), VPE_INVALID_PARAM);
}

TEST_F(VpeTest, AttributesLandInTheirFieldsAndIgnoredOnesChangeNothing) {
    PVPE_CONTEXT c = NewContext();
    const VPE_CONTEXT before = *c;
    EXPECT_EQ(vpeSetAttrib(c, 243, 77), VPE_SUCCESS);
    EXPECT_EQ(std::memcmp(&before, c, sizeof before), 0);
    EXPECT_EQ(vpeSetAttrib(c, 237, 1), VPE_INVALID_PARAM);
    EXPECT_EQ(std::memcmp(&before, c, sizeof before), 0);

    EXPECT_EQ(vpeSetAttrib(c, 200, 200), VPE_SUCCESS);
    EXPECT_EQ(vpeSetAttrib(c, 203, 0x1234), VPE_SUCCESS);
    EXPECT_EQ(vpeSetAttrib(c, 223, 9), VPE_SUCCESS);
    EXPECT_EQ(vpeSetAttrib(c, 234, 0), VPE_SUCCESS);
    EXPECT_EQ(vpeSetAttrib(c, 235, 3), VPE_SUCCESS);
    EXPECT_EQ(c->settings.Vel, 200);
    EXPECT_EQ(c->settings.LumiEyeTh, 0x34u);  // low 8 bits
    EXPECT_EQ(c->settings.PictureFr[3], 9);
    EXPECT_EQ(c->digZoom, 0);
    EXPECT_EQ(c->pip, 3);

    // The skin test is library-wide and takes only 0 and 1.
    EXPECT_EQ(vpeSetAttrib(c, 231, 0), VPE_SUCCESS);
    EXPECT_EQ(TheLibrary().skinTest.load(), 0);
    EXPECT_EQ(vpeSetAttrib(c, 231, 5), VPE_SUCCESS);
    EXPECT_EQ(TheLibrary().skinTest.load(), 0);
    ASSERT_EQ(vpeFtkInit(c, 640, 480), VPE_SUCCESS);
    EXPECT_EQ(TheLibrary().skinTest.load(), 1);

    // Guide lines follow the current size.
    EXPECT_EQ(vpeSetAttrib(c, 250, 10), VPE_SUCCESS);
    EXPECT_EQ(c->track.guideX0, 64);
    EXPECT_EQ(c->track.guideX1, 576);
    EXPECT_EQ(c->track.guideY0, 288);
    EXPECT_EQ(c->track.guideY1, 192);
}

TEST_F(VpeTest, DefaultsAreThoseOfTheSettingsTable) {
    PVPE_CONTEXT c = NewContext();
    const FtkSettings& s = c->settings;
    EXPECT_EQ(s.Vel, 50);
    EXPECT_EQ(s.TestFreq, 5);
    EXPECT_EQ(s.SceneChangeTh, 300000u);
    EXPECT_EQ(s.RgnSizeTh, 256);
    EXPECT_EQ(s.TestMask, 7u);
    EXPECT_EQ(s.MoveTh, 60000u);
    EXPECT_EQ(s.MaxBBox, 5);
    EXPECT_EQ(s.YCbCrHi, 188);
    EXPECT_EQ(s.YCbCrLo, 30);
    const int32_t margins[6] = {1, 3, 1, 3, 1, 4};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s.PictureFr[i], margins[i]);
    EXPECT_EQ(c->digZoom, 1);
    EXPECT_EQ(c->pip, 1);
    EXPECT_EQ(c->staticTest, 1);
    EXPECT_EQ(c->track.probation.width, 160);
    EXPECT_EQ(c->track.probation.active, 0);
    EXPECT_EQ(c->guidePercent[0], 45);
    EXPECT_EQ(c->guidePercent[1], 60);
    EXPECT_EQ(c->guidePercent[2], 40);
}

TEST_F(VpeTest, SettingsDumpPrintsEveryFieldPadded) {
    PVPE_CONTEXT c = NewContext();
    vpeSetAttrib(c, VPE_ATTR_VERBOSE_MASK, VPE_VERBOSE_TRACKING);
    debug::Clear();
    ASSERT_EQ(vpeSetAttrib(c, 230, 0), VPE_SUCCESS);
    const std::vector<std::string> expected = {
        "---------Ftk Settings-------\n",
        "  Vel            : 50\n",
        "  Test Freq      : 5\n",
        "  Scene Change Th: 300000\n",
        "  LumiEye Th     : 128\n",
        "  Rgn Size Th    : 256\n",
        "  Test Mask      : 7\n",
        "  XFreeZone      : 16\n",
        "  YFreeZone      : 20\n",
        "  WFreeZone      : 8\n",
        "  PixDiffTh      : 3\n",
        "  StrictCol      : 0\n",
        "  ActiveTracking : 1\n",
        "  MoveTh         : 60000\n",
        "  MaxBBox        : 5\n",
        "  MaxDomantFr    : 10\n",
        "  AdapPixDiff    : 1\n",
        "  ArmLineN       : 2\n",
        "  ArmLineD       : 3\n",
        "  YCbCrHi        : 188\n",
        "  YCbCrLo        : 30\n",
        "  Picture Fr:(1, 3) (1, 3) (1, 4)\n",
        "  Vis            : 0\n",
        "  TopBottomFlip  : 0\n",
        "  LeftRightFlip  : 0\n",
    };
    EXPECT_EQ(debug::Messages(), expected);
    // Unsigned fields print as such.
    vpeSetAttrib(c, 212, -1);
    debug::Clear();
    vpeSetAttrib(c, 230, 0);
    EXPECT_TRUE(debug::Contains("  MoveTh         : 4294967295\n"));
}

TEST_F(VpeTest, VerboseClassAndLevelGateMessages) {
    PVPE_CONTEXT c = NewContext();
    debug::Clear();
    vpeSetAttrib(c, 200, 1);
    EXPECT_FALSE(debug::Contains("vpeSetAttrib"));
    vpeSetAttrib(c, VPE_ATTR_VERBOSE_MASK, VPE_VERBOSE_CALLS);
    EXPECT_TRUE(debug::Contains("Vpe Version:313\n"));
    EXPECT_TRUE(debug::Contains("Verbose Mask:1\n"));
    vpeSetAttrib(c, 200, 7);
    EXPECT_TRUE(debug::Contains("VPE: vpeSetAttrib: ctx:"));
    EXPECT_TRUE(debug::Contains(", id:200, val:7\n"));
    // Class 4 is off: vpeFtkInit says nothing.
    debug::Clear();
    vpeFtkInit(c, 320, 240);
    EXPECT_FALSE(debug::Contains("vpeFtkInit"));
    // A message prints when its level is at least the verbose level.
    EXPECT_TRUE(Verbose(VPE_VERBOSE_CALLS, kLevelSummary));
    vpeSetAttrib(c, VPE_ATTR_VERBOSE_LEVEL, 1);
    EXPECT_FALSE(Verbose(VPE_VERBOSE_CALLS, kLevelSummary));
    EXPECT_TRUE(Verbose(VPE_VERBOSE_CALLS, kLevelDetail));
    EXPECT_FALSE(Verbose(VPE_VERBOSE_TRACKING, kLevelDetail));
    debug::Clear();
    EXPECT_EQ(vpeExit(), VPE_SUCCESS);
    EXPECT_FALSE(debug::Contains("vpeExit"));  // level 0 below level 1
    vpeSetAttrib(c, VPE_ATTR_VERBOSE_LEVEL, 0);
    EXPECT_EQ(vpeExit(), VPE_SUCCESS);
    EXPECT_TRUE(debug::Contains("VPE: vpeExit()\n"));
}

TEST_F(VpeTest, FtkInitChoosesTheAnalysisFamily) {
    PVPE_CONTEXT c = NewContext();
    struct Case {
        int width, height, result, factor, analysisWidth, analysisHeight;
    };
    const Case cases[] = {
        {320, 240, VPE_SUCCESS, 2, 160, 120}, {352, 288, VPE_SUCCESS, 2, 176, 144},
        {640, 480, VPE_SUCCESS, 4, 160, 120}, {176, 144, VPE_SUCCESS, 1, 176, 144},
        {800, 600, VPE_SUCCESS, 5, 160, 120}, {1760, 1440, VPE_SUCCESS, 10, 176, 144},
        {200, 150, VPE_UNSUPPORTED_WIDTH, 0, 0, 0}, {0, 240, VPE_INVALID_PARAM, 0, 0, 0},
        {-160, 120, VPE_INVALID_PARAM, 0, 0, 0}, {160, 1, VPE_INVALID_PARAM, 0, 0, 0},
        {160 * 200, 120, VPE_UNSUPPORTED_WIDTH, 0, 0, 0},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(std::to_string(k.width) + "x" + std::to_string(k.height));
        EXPECT_EQ(vpeFtkInit(c, k.width, k.height), k.result);
        EXPECT_EQ(c->track.factor, k.factor);
        EXPECT_EQ(c->track.analysisWidth, k.analysisWidth);
        EXPECT_EQ(c->track.analysisHeight, k.analysisHeight);
        if (k.result == VPE_SUCCESS) {
            VPE_FRAMING f{};
            ASSERT_EQ(vpeGetFraming(c, &f), VPE_SUCCESS);
            EXPECT_EQ(f.x, 0);
            EXPECT_EQ(f.width, k.width << 16);
            EXPECT_EQ(f.height, k.height << 16);
            EXPECT_EQ(f.targetWidth, k.width);
            EXPECT_EQ(c->track.family176, k.width % 176 == 0);
        }
    }
    EXPECT_EQ(vpeFtkInit(nullptr, 320, 240), VPE_INVALID_PARAM);
}

}  // namespace
}  // namespace qk::vpe
