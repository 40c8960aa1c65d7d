// Contexts, attributes, the settings and their dump, and the start of
// tracking for a stream.
#include <cstring>
#include <new>
#include <type_traits>

#include "imaging/vpe/fixed_point.h"
#include "imaging/vpe/vpe_internal.h"

static_assert(std::is_trivially_copyable_v<VPE_CONTEXT> && std::is_trivially_default_constructible_v<VPE_CONTEXT>,
              "the context is one block of plain data, zeroed at creation");
static_assert(sizeof(VPE_CONTEXT) < (1u << 31));

namespace qk::vpe {
namespace {

// One settings-dump line per field, in this order. Four fields print
// unsigned.
struct DumpRow {
    const char* label;
    int32_t FtkSettings::*signedField;
    uint32_t FtkSettings::*unsignedField;
};

constexpr DumpRow kDumpRows[] = {
    {"Vel", &FtkSettings::Vel, nullptr},
    {"Test Freq", &FtkSettings::TestFreq, nullptr},
    {"Scene Change Th", nullptr, &FtkSettings::SceneChangeTh},
    {"LumiEye Th", nullptr, &FtkSettings::LumiEyeTh},
    {"Rgn Size Th", &FtkSettings::RgnSizeTh, nullptr},
    {"Test Mask", nullptr, &FtkSettings::TestMask},
    {"XFreeZone", &FtkSettings::XFreeZone, nullptr},
    {"YFreeZone", &FtkSettings::YFreeZone, nullptr},
    {"WFreeZone", &FtkSettings::WFreeZone, nullptr},
    {"PixDiffTh", &FtkSettings::PixDiffTh, nullptr},
    {"StrictCol", &FtkSettings::StrictCol, nullptr},
    {"ActiveTracking", &FtkSettings::ActiveTracking, nullptr},
    {"MoveTh", nullptr, &FtkSettings::MoveTh},
    {"MaxBBox", &FtkSettings::MaxBBox, nullptr},
    {"MaxDomantFr", &FtkSettings::MaxDomantFr, nullptr},
    {"AdapPixDiff", &FtkSettings::AdapPixDiff, nullptr},
    {"ArmLineN", &FtkSettings::ArmLineN, nullptr},
    {"ArmLineD", &FtkSettings::ArmLineD, nullptr},
    {"YCbCrHi", &FtkSettings::YCbCrHi, nullptr},
    {"YCbCrLo", &FtkSettings::YCbCrLo, nullptr},
};
constexpr DumpRow kDumpTail[] = {
    {"Vis", &FtkSettings::Vis, nullptr},
    {"TopBottomFlip", &FtkSettings::TopBottomFlip, nullptr},
    {"LeftRightFlip", &FtkSettings::LeftRightFlip, nullptr},
};
constexpr size_t kDumpLabelWidth = 15;

void PrintDumpRow(const FtkSettings& s, const DumpRow& row) {
    // "  <label padded to 15>: %d\n"
    char format[48] = "  ";
    size_t at = 2;
    for (const char* c = row.label; *c != '\0'; ++c) format[at++] = *c;
    while (at < 2 + kDumpLabelWidth) format[at++] = ' ';
    std::memcpy(format + at, row.signedField ? ": %d\n" : ": %u\n", 6);
    if (row.signedField) {
        DbgPrint(format, s.*row.signedField);
    } else {
        DbgPrint(format, s.*row.unsignedField);
    }
}

// Attributes of the settings record by id (200-225, 230, 232, 233).
int32_t* SettingsField(FtkSettings& s, int32_t id) {
    switch (id) {
    case VPE_ATTR_VEL: return &s.Vel;
    case VPE_ATTR_TEST_FREQ: return &s.TestFreq;
    case VPE_ATTR_RGN_SIZE_TH: return &s.RgnSizeTh;
    case VPE_ATTR_X_FREE_ZONE: return &s.XFreeZone;
    case VPE_ATTR_Y_FREE_ZONE: return &s.YFreeZone;
    case VPE_ATTR_W_FREE_ZONE: return &s.WFreeZone;
    case VPE_ATTR_PIX_DIFF_TH: return &s.PixDiffTh;
    case VPE_ATTR_STRICT_COL: return &s.StrictCol;
    case VPE_ATTR_ACTIVE_TRACKING: return &s.ActiveTracking;
    case VPE_ATTR_MAX_BBOX: return &s.MaxBBox;
    case VPE_ATTR_MAX_DOMANT_FR: return &s.MaxDomantFr;
    case VPE_ATTR_ADAP_PIX_DIFF: return &s.AdapPixDiff;
    case VPE_ATTR_ARM_LINE_N: return &s.ArmLineN;
    case VPE_ATTR_ARM_LINE_D: return &s.ArmLineD;
    case VPE_ATTR_YCBCR_HI: return &s.YCbCrHi;
    case VPE_ATTR_YCBCR_LO: return &s.YCbCrLo;
    case VPE_ATTR_VIS: return &s.Vis;
    case VPE_ATTR_TOP_BOTTOM_FLIP: return &s.TopBottomFlip;
    case VPE_ATTR_LEFT_RIGHT_FLIP: return &s.LeftRightFlip;
    default:
        if (id >= VPE_ATTR_PICTURE_FR_FIRST && id <= VPE_ATTR_PICTURE_FR_LAST) {
            return &s.PictureFr[id - VPE_ATTR_PICTURE_FR_FIRST];
        }
        return nullptr;
    }
}

// Nothing else in this system uses the panorama work area.
void PanoInitOnce(VPE_CONTEXT& context) {
    Trace(VPE_VERBOSE_CALLS, kLevelSummary, "VPE: PanoInitOnce()");
    std::memset(context.panorama, 0, sizeof context.panorama);
}

void ResetTracking(VPE_CONTEXT& c) {
    TrackState& t = c.track;
    t.width = t.height = 0;
    t.factor = 0;
    t.family176 = 0;
    t.analysisWidth = t.analysisHeight = 0;
    t.detectionCounter = 0;
    t.motionState = kStill;
    t.isMoving = 0;
    t.labelsUsed = 0;
    t.regions.count = 0;
    t.overlayActive = 0;
}

}  // namespace

void PrintSettings(const FtkSettings& s) {
    if (!Verbose(VPE_VERBOSE_TRACKING, kLevelSummary)) return;
    DbgPrint("---------Ftk Settings-------\n");
    for (const DumpRow& row : kDumpRows) PrintDumpRow(s, row);
    DbgPrint("  Picture Fr:(%d, %d) (%d, %d) (%d, %d)\n", s.PictureFr[0], s.PictureFr[1], s.PictureFr[2],
             s.PictureFr[3], s.PictureFr[4], s.PictureFr[5]);
    for (const DumpRow& row : kDumpTail) PrintDumpRow(s, row);
}

void UpdateGuideLines(VPE_CONTEXT& c) {
    TrackState& t = c.track;
    const int64_t x = int64_t(t.width) * c.guidePercent[0] / 100;
    t.guideX0 = int32_t(Clamp64(x, INT32_MIN, INT32_MAX));
    t.guideX1 = int32_t(Clamp64(int64_t(t.width) - x, INT32_MIN, INT32_MAX));
    t.guideY0 = int32_t(Clamp64(int64_t(t.height) * c.guidePercent[1] / 100, INT32_MIN, INT32_MAX));
    t.guideY1 = int32_t(Clamp64(int64_t(t.height) * c.guidePercent[2] / 100, INT32_MIN, INT32_MAX));
}

}  // namespace qk::vpe

using namespace qk::vpe;

int vpeFtkDefaultSettings(FtkSettings* settings) {
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "VPE: vpeFtkDefaultSettings\n");
    if (settings == nullptr) return VPE_INVALID_PARAM;
    *settings = FtkSettings{
        .Vel = 50,
        .TestFreq = 5,
        .SceneChangeTh = 300000,
        .LumiEyeTh = 128,
        .RgnSizeTh = 256,
        .TestMask = 7,
        .XFreeZone = 16,
        .YFreeZone = 20,
        .WFreeZone = 8,
        .PixDiffTh = 3,
        .StrictCol = 0,
        .ActiveTracking = 1,
        .MoveTh = 60000,
        .MaxBBox = 5,
        .MaxDomantFr = 10,
        .AdapPixDiff = 1,
        .ArmLineN = 2,
        .ArmLineD = 3,
        .YCbCrHi = 188,
        .YCbCrLo = 30,
        .PictureFr = {1, 3, 1, 3, 1, 4},
        .Vis = 0,
        .TopBottomFlip = 0,
        .LeftRightFlip = 0,
    };
    return VPE_SUCCESS;
}

int vpeCreate(PVPE_CONTEXT* context, int32_t flipFlags, void* owner) {
    if (context == nullptr) return VPE_INVALID_PARAM;
    *context = nullptr;
    const auto memAlloc = TheLibrary().memAlloc.load();
    if (memAlloc == nullptr) {
        DbgPrint("VPE: ERROR VpeMemAlloc is NULL!\n");
        return VPE_NO_MEMORY;
    }
    void* block = nullptr;
    memAlloc(&block, uint32_t(sizeof(VPE_CONTEXT)), VPE_MEM_CONTEXT, nullptr);
    if (block == nullptr) return VPE_NO_MEMORY;
    if (reinterpret_cast<uintptr_t>(block) % alignof(VPE_CONTEXT) != 0) {
        // A hook that hands out misaligned memory cannot hold a context.
        if (auto memFree = TheLibrary().memFree.load()) memFree(block, nullptr);
        return VPE_NO_MEMORY;
    }
    std::memset(block, 0, sizeof(VPE_CONTEXT));
    VPE_CONTEXT* c = new (block) VPE_CONTEXT;
    vpeFtkDefaultSettings(&c->settings);
    c->digZoom = 1;
    c->pip = 1;
    c->staticTest = 1;
    c->reserved240 = 1;
    c->panStep = c->tiltStep = 10;
    c->guidePercent[0] = 45;
    c->guidePercent[1] = 60;
    c->guidePercent[2] = 40;
    c->reserved260 = 0;
    c->track.probation = Probation{.active = 0, .x = 0, .y = 0, .width = 160, .count = 0};
    c->track.backgroundState = 0;
    c->track.currentBackground = 0;
    ResetTracking(*c);
    PanoInitOnce(*c);
    c->flipFlags = flipFlags;
    c->owner = owner;
    *context = c;
    return VPE_SUCCESS;
}

int vpeDestroy(PVPE_CONTEXT context) {
    if (context == nullptr) return VPE_INVALID_PARAM;
    std::memset(context->panorama, 0, sizeof context->panorama);
    const auto memFree = TheLibrary().memFree.load();
    if (memFree == nullptr) {
        DbgPrint("VPE: ERROR VpeMemFree is NULL!\n");
        return VPE_SUCCESS;
    }
    memFree(context, nullptr);
    return VPE_SUCCESS;
}

int vpeSetAttrib(PVPE_CONTEXT context, int32_t id, int32_t value) {
    Trace(VPE_VERBOSE_CALLS, kLevelSummary, "VPE: vpeSetAttrib: ctx:%x, id:%d, val:%d\n", Low32(context), id, value);
    if (context == nullptr) return VPE_INVALID_PARAM;
    FtkSettings& s = context->settings;
    Library& lib = TheLibrary();
    if (int32_t* field = SettingsField(s, id)) {
        *field = value;
        if (id == VPE_ATTR_VIS) PrintSettings(s);
        return VPE_SUCCESS;
    }
    switch (id) {
    case VPE_ATTR_VERBOSE_MASK:
        lib.verboseMask = uint32_t(value);
        DbgPrint("Vpe Version:%d\n", VPE_VERSION);
        DbgPrint("Verbose Mask:%d\n", value);
        return VPE_SUCCESS;
    case VPE_ATTR_VERBOSE_LEVEL:
        lib.verboseLevel = value;
        DbgPrint("Vpe Version:%d\n", VPE_VERSION);
        DbgPrint("Verbose Level:%d\n", value);
        return VPE_SUCCESS;
    case VPE_ATTR_SCENE_CHANGE_TH: s.SceneChangeTh = uint32_t(value); return VPE_SUCCESS;
    case VPE_ATTR_LUMI_EYE_TH: s.LumiEyeTh = uint32_t(value) & 0xFF; return VPE_SUCCESS;
    case VPE_ATTR_TEST_MASK: s.TestMask = uint32_t(value); return VPE_SUCCESS;
    case VPE_ATTR_MOVE_TH: s.MoveTh = uint32_t(value); return VPE_SUCCESS;
    case VPE_ATTR_SKIN_TEST:
        if (value == 0 || value == 1) lib.skinTest = value;
        return VPE_SUCCESS;
    case VPE_ATTR_DIG_ZOOM: context->digZoom = value; return VPE_SUCCESS;
    case VPE_ATTR_PIP: context->pip = value; return VPE_SUCCESS;
    case VPE_ATTR_STATIC_TEST: context->staticTest = value; return VPE_SUCCESS;
    case VPE_ATTR_RESERVED_240: context->reserved240 = value; return VPE_SUCCESS;
    case VPE_ATTR_PAN_STEP: context->panStep = value; return VPE_SUCCESS;
    case VPE_ATTR_TILT_STEP: context->tiltStep = value; return VPE_SUCCESS;
    case VPE_ATTR_IGNORED_243: return VPE_SUCCESS;
    case VPE_ATTR_GUIDE_X:
    case VPE_ATTR_GUIDE_Y0:
    case VPE_ATTR_GUIDE_Y1:
        context->guidePercent[id - VPE_ATTR_GUIDE_X] = value;
        UpdateGuideLines(*context);
        return VPE_SUCCESS;
    case VPE_ATTR_RESERVED_260: context->reserved260 = value; return VPE_SUCCESS;
    default:
        return VPE_INVALID_PARAM;
    }
}

int vpeFtkInit(PVPE_CONTEXT context, int width, int height) {
    Trace(VPE_VERBOSE_TRACKING, kLevelSummary, "VPE: vpeFtkInit W:%d H:%d\n", width, height);
    if (context == nullptr) return VPE_INVALID_PARAM;
    VPE_CONTEXT& c = *context;
    // A failed start leaves the context without a stream, so vpeFtk refuses
    // frames (14) instead of tracking with a geometry it never chose.
    ResetTracking(c);
    if (!SideAccepted(width) || !SideAccepted(height)) return width > kMaxPictureSide ? VPE_UNSUPPORTED_WIDTH
                                                                                    : VPE_INVALID_PARAM;
    int factor;
    bool family176;
    if (width % 176 == 0) {
        factor = width / 176;
        family176 = true;
    } else if (width % 160 == 0) {
        factor = width / 160;
        family176 = false;
    } else {
        return VPE_UNSUPPORTED_WIDTH;
    }
    const int analysisHeight = height / factor;
    if (analysisHeight < 2) return VPE_INVALID_PARAM;

    TrackState& t = c.track;
    t.width = width;
    t.height = height;
    t.factor = factor;
    t.family176 = family176;
    t.analysisWidth = width / factor;
    t.analysisHeight = analysisHeight;
    t.aspectQ16 = int32_t(ToQ16(t.analysisWidth) / t.analysisHeight);
    t.inverseAspectQ16 = int32_t(ToQ16(t.analysisHeight) / t.analysisWidth);
    t.targetX = t.targetY = 0;
    t.targetWidth = width;
    t.currentX = t.currentY = 0;
    t.currentWidth = int32_t(ToQ16(width));
    t.currentHeight = int32_t(ToQ16(height));
    const Box whole{0, 0, t.analysisWidth - 1, t.analysisHeight - 1};
    t.combined = t.rawCombined = whole;
    TheLibrary().fpsEstimate = 20;
    TheLibrary().skinTest = 1;
    UpdateGuideLines(c);
    PrintSettings(c.settings);
    return VPE_SUCCESS;
}

int vpeGetFraming(PVPE_CONTEXT context, VPE_FRAMING* framing) {
    if (context == nullptr || framing == nullptr) return VPE_INVALID_PARAM;
    const TrackState& t = context->track;
    *framing = VPE_FRAMING{t.currentX, t.currentY, t.currentWidth, t.currentHeight, t.targetX, t.targetY, t.targetWidth};
    return VPE_SUCCESS;
}
