// The video-effects library of the capture driver: face tracking with
// automatic framing, manual digital zoom and picture-in-picture.
//
// A plain functional interface for one host (the driver): the host hands its
// memory hooks to vpeInit, creates one context per camera, sets numbered
// attributes and calls vpeFtk or vpeDigitalZoom once per frame. Every buffer a
// context needs is part of its one allocation, so a frame allocates nothing.
// The library takes no locks: a context is used by one caller at a time; the
// frame-rate estimate, the skin-colour test and the verbose switches are
// library-wide.
//
// Pictures are described by a pointer, a size in pixels and a line pitch in
// bytes, and a buffer is taken to hold exactly what they describe:
//   RGB24  pitch * height bytes, lines of 3 * width bytes (B, G, R);
//   YUY2   pitch * height bytes, lines of 2 * width bytes (Y0, U, Y1, V);
//   I420   luma lines `pitch` apart, then the U and the V plane, each
//          (height / 2) lines of (width / 2) bytes, `pitch / 2` apart.
// Every entry point checks these descriptions before it touches memory, so
// no size it accepts makes it read or write outside the pictures.
#pragma once

#include <cstdint>

#include "imaging/convert/convert.h"

// The interface version the host must ask for.
inline constexpr int VPE_VERSION = 313;

// Result codes (0, 11 and 12 are shared with the conversion routines).
enum : int {
    VPE_SUCCESS = 0,
    VPE_VERSION_MISMATCH = 10,
    VPE_UNKNOWN_MEDIA_TYPE = 11,
    VPE_INVALID_PARAM = 12,       // null context, invalid argument, unknown attribute
    VPE_SIZE_CHANGED = 14,        // source size differs from vpeFtkInit's
    VPE_UNSUPPORTED_WIDTH = 15,   // vpeFtkInit: width not a multiple of 176 or 160
    VPE_ANALYSIS_TOO_LARGE = 16,  // analysis picture larger than 176 x 144
    VPE_ANALYSIS_FAILED = 18,     // destination smaller than the analysis picture, or a bad zoom argument
    VPE_NO_MEMORY = 21,           // context allocation failed
};

// Verbose classes.
enum : uint32_t {
    VPE_VERBOSE_CALLS = 1,     // library calls
    VPE_VERBOSE_TRACKING = 4,  // face tracking, zoom, picture-in-picture
};

// Allocation kinds passed to the memory hook.
enum : int32_t {
    VPE_MEM_SELF_TEST = 0,
    VPE_MEM_OWNER_BUFFER = 10,  // the host hands out a buffer the owner provides
    VPE_MEM_CONTEXT = 100,
};

// Host hooks. The library stores pB and pE for the host and calls neither.
typedef void (*VPE_HOST_HOOK)(void* record);
// Returns a block of `size` bytes in *pointer, or null there.
typedef void (*VPE_MEM_ALLOC)(void** pointer, uint32_t size, int32_t kind, void* owner);
typedef void (*VPE_MEM_FREE)(void* pointer, void* owner);

// Attribute ids.
enum : int32_t {
    VPE_ATTR_VERBOSE_MASK = 100,
    VPE_ATTR_VERBOSE_LEVEL = 101,
    VPE_ATTR_VEL = 200,
    VPE_ATTR_TEST_FREQ = 201,
    VPE_ATTR_SCENE_CHANGE_TH = 202,
    VPE_ATTR_LUMI_EYE_TH = 203,
    VPE_ATTR_RGN_SIZE_TH = 204,
    VPE_ATTR_TEST_MASK = 205,
    VPE_ATTR_X_FREE_ZONE = 206,
    VPE_ATTR_Y_FREE_ZONE = 207,
    VPE_ATTR_W_FREE_ZONE = 208,
    VPE_ATTR_PIX_DIFF_TH = 209,
    VPE_ATTR_STRICT_COL = 210,
    VPE_ATTR_ACTIVE_TRACKING = 211,
    VPE_ATTR_MOVE_TH = 212,
    VPE_ATTR_MAX_BBOX = 213,
    VPE_ATTR_MAX_DOMANT_FR = 214,
    VPE_ATTR_ADAP_PIX_DIFF = 215,
    VPE_ATTR_ARM_LINE_N = 216,
    VPE_ATTR_ARM_LINE_D = 217,
    VPE_ATTR_YCBCR_HI = 218,
    VPE_ATTR_YCBCR_LO = 219,
    VPE_ATTR_PICTURE_FR_FIRST = 220,  // 220-225: the six face-box margin terms
    VPE_ATTR_PICTURE_FR_LAST = 225,
    VPE_ATTR_VIS = 230,
    VPE_ATTR_SKIN_TEST = 231,
    VPE_ATTR_TOP_BOTTOM_FLIP = 232,
    VPE_ATTR_LEFT_RIGHT_FLIP = 233,
    VPE_ATTR_DIG_ZOOM = 234,
    VPE_ATTR_PIP = 235,
    VPE_ATTR_STATIC_TEST = 236,
    VPE_ATTR_RESERVED_240 = 240,
    VPE_ATTR_PAN_STEP = 241,
    VPE_ATTR_TILT_STEP = 242,
    VPE_ATTR_IGNORED_243 = 243,
    VPE_ATTR_GUIDE_X = 250,
    VPE_ATTR_GUIDE_Y0 = 251,
    VPE_ATTR_GUIDE_Y1 = 252,
    VPE_ATTR_RESERVED_260 = 260,
};

// Vis value that draws the analysis overlay into the output.
inline constexpr int32_t VPE_VIS_DRAW_OUTPUT = 888;

// Context flip flags: which media types are stored bottom-up.
enum : int32_t {
    VPE_FLIP_I420 = 1,
    VPE_FLIP_RGB24 = 2,
    VPE_FLIP_YUY2 = 4,
};

// The face-tracking settings, in the order of the settings dump.
struct FtkSettings {
    int32_t Vel;
    int32_t TestFreq;
    uint32_t SceneChangeTh;
    uint32_t LumiEyeTh;  // low 8 bits kept
    int32_t RgnSizeTh;
    uint32_t TestMask;
    int32_t XFreeZone;
    int32_t YFreeZone;
    int32_t WFreeZone;
    int32_t PixDiffTh;
    int32_t StrictCol;
    int32_t ActiveTracking;
    uint32_t MoveTh;
    int32_t MaxBBox;
    int32_t MaxDomantFr;
    int32_t AdapPixDiff;
    int32_t ArmLineN;
    int32_t ArmLineD;
    int32_t YCbCrHi;
    int32_t YCbCrLo;
    int32_t PictureFr[6];
    int32_t Vis;
    int32_t TopBottomFlip;
    int32_t LeftRightFlip;
};

struct VPE_CONTEXT;
typedef VPE_CONTEXT* PVPE_CONTEXT;

// The framing of face tracking: the one shown (16.16 source pixels) and the
// target it moves toward (source pixels).
struct VPE_FRAMING {
    int32_t x, y, width, height;
    int32_t targetX, targetY, targetWidth;
};

// Library lifecycle.
int vpeInit(VPE_HOST_HOOK pB, VPE_HOST_HOOK pE, VPE_MEM_ALLOC memAlloc, VPE_MEM_FREE memFree, int version);
int vpeExit();

// Contexts and attributes.
int vpeCreate(PVPE_CONTEXT* context, int32_t flipFlags, void* owner);
int vpeDestroy(PVPE_CONTEXT context);
int vpeSetAttrib(PVPE_CONTEXT context, int32_t id, int32_t value);
int vpeFtkDefaultSettings(FtkSettings* settings);
int vpeFtkInit(PVPE_CONTEXT context, int width, int height);

// Per frame. vpeFtk writes the tracked framing of src into dst (dst may be
// used as scratch even when it fails); aux, when given, receives the analysis
// overlay as RGB24 of the analysis size without padding. timeStamp is in
// milliseconds and may wrap at 16 bits.
int vpeFtk(PVPE_CONTEXT context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
           int srcWidth, int srcHeight, int srcPitch, uint8_t* aux, int mediaType, uint32_t timeStamp);
// Manual zoom of a box given in tenths of a source pixel (in display terms:
// for a bottom-up media type the box is mirrored). opt is not used.
int vpeDigitalZoom(PVPE_CONTEXT context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
                   int srcWidth, int srcHeight, int srcPitch, int boxX, int boxY, int boxW, int boxH, int mediaType,
                   int opt);

// Reads the framing (for tools and tests).
int vpeGetFraming(PVPE_CONTEXT context, VPE_FRAMING* framing);

// The bilinear zooms of a 16.16 rectangle into the whole destination. The
// rectangle must lie inside the source and be at least two source pixels wide
// and high (four for I420); otherwise they return 18 and write nothing.
int vpeZoomLinRgb24(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                    int srcHeight, int srcPitch, int32_t x, int32_t y, int32_t width, int32_t height);
int vpeZoomLinI420(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                   int srcHeight, int srcPitch, int32_t x, int32_t y, int32_t width, int32_t height);
int ftkZoomYuy2(uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src, int srcWidth,
                int srcHeight, int srcPitch, int32_t x, int32_t y, int32_t width, int32_t height);

// Bevelled borders: two light lines on the top and left, two dark ones on the
// bottom and right. The rectangle must lie inside the picture (the caller's
// duty: these take no picture size); sizes below 2 draw nothing.
int vpeDrawBorderRgb24(uint8_t* picture, int pitch, int x, int y, int width, int height);
int vpeDrawBorderI420(uint8_t* picture, int pitch, int x, int y, int width, int height);
int vpeDrawBorderYuy2(uint8_t* picture, int pitch, int x, int y, int width, int height);
