// Private to the effects library: the context, the library-wide state, the
// verbose switches and the routines of each file.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "imaging/vpe/limits.h"
#include "imaging/vpe/vpe.h"
#include "imaging/vpe/zoom.h"
#include "wdm.h"

namespace qk::vpe {

// Analysis-pixel box, inclusive corners.
struct Box {
    int32_t x0, y0, x1, y1;
};

enum LabelState : int32_t {
    kLabelUnused = 0,
    kLabelMerged = 1,
    kLabelOpen = 2,
};

struct LabelRecord {
    int32_t x0, y0, x1, y1;
    int32_t state;
    int32_t lastRow;
    int32_t count;
    int32_t sumX, sumY;
};

inline constexpr int32_t kRegionRejected = -1;

struct Region {
    int32_t label;  // kRegionRejected once a test rejects it
    int32_t x0, y0, x1, y1;
    int32_t count, sumX, sumY;
    int32_t code;  // overlay colour of its box
};

struct RegionList {
    Region entries[kMaxRegions];
    int32_t count;
};

// Motion state of the scene, updated at each detection.
enum MotionState : int32_t {
    kStill = 0,
    kMoving = 1,
    kJustStopped = 2,
    kSettled = 3,  // the reference luma is taken at this detection
};

// Overlay colour codes (the overlay painter maps them to colours).
enum OverlayCode : uint8_t {
    kCodeNone = 0,
    kCodeShapeRejected = 100,  // red: failed the closing tests
    kCodeDropped = 196,        // cyan: pushed out of a full region list
    kCodeStatic = 197,         // magenta: rejected by the static-region test
    kCodeRawBox = 198,         // grey
    kCodeFlat = 199,           // blue: rejected by the texture test
    kCodeKept = 200,           // green
};

struct Probation {
    int32_t active;
    int32_t x, y, width;
    int32_t count;
};

// Tracking state, reset by vpeFtkInit (probation and the background state
// only by vpeCreate).
struct TrackState {
    int32_t width, height;  // source size of the stream; 0 until a successful vpeFtkInit
    int32_t factor;         // u: source pixels per analysis pixel
    int32_t family176;      // the 176 x 144 family
    int32_t analysisWidth, analysisHeight;
    int32_t aspectQ16, inverseAspectQ16;
    int32_t targetX, targetY, targetWidth;                         // source pixels
    int32_t currentX, currentY, currentWidth, currentHeight;       // 16.16 source pixels
    int32_t detectionCounter;
    int32_t motionState;
    int32_t isMoving;
    Probation probation;
    Box combined, rawCombined;  // of the last detection, analysis pixels
    int32_t backgroundState;
    int32_t currentBackground;  // which background mask is current (0, 1)
    int32_t referenceLuma;      // which luma buffer holds the reference (0, 1)
    int32_t labelsUsed;
    LabelRecord labels[kMaxLabels];
    RegionList regions;
    int32_t overlayActive;  // for the frame being processed
    int32_t finalFlip;      // iFinalTbFlip of the frame: stored bottom-up as displayed
    int32_t guideX0, guideX1, guideY0, guideY1;  // source pixels
};


}  // namespace qk::vpe

// One camera's context: a single allocation of the memory hook, kind 100.
struct VPE_CONTEXT {
    FtkSettings settings;
    qk::vpe::TrackState track;
    int32_t flipFlags;
    void* owner;
    int32_t digZoom;
    int32_t pip;
    int32_t staticTest;
    int32_t reserved240;
    int32_t panStep, tiltStep;
    int32_t guidePercent[3];  // attributes 250, 251, 252
    int32_t reserved260;
    uint8_t panorama[16];     // reset by PanoInitOnce; nothing else uses it

    // Analysis buffers, all for the largest analysis picture.
    uint8_t analysis[qk::vpe::kMaxAnalysisI420];  // reduced picture, I420
    uint8_t smoothed[qk::vpe::kMaxAnalysisI420];  // its time-smoothed copy
    uint8_t skinMask[qk::vpe::kMaxAnalysisPixels];
    uint8_t luma[2][qk::vpe::kMaxAnalysisPixels];  // current and reference, exchanged when settled
    uint8_t previousLuma[qk::vpe::kMaxAnalysisPixels];
    uint8_t difference[qk::vpe::kMaxAnalysisPixels];
    uint32_t labelMap[qk::vpe::kMaxAnalysisPixels];
    uint8_t background[2][qk::vpe::kMaxAnalysisPixels];
    uint8_t overlayCodes[qk::vpe::kMaxAnalysisPixels];
    uint8_t overlayPicture[qk::vpe::kMaxAnalysisPixels];
    uint8_t overlayRgb[3 * qk::vpe::kMaxAnalysisPixels];
    uint8_t overlayI420[qk::vpe::kMaxAnalysisI420];
    qk::vpe::ZoomWorkspace zoom;
};

namespace qk::vpe {

// Library-wide state. Atomics (relaxed) rather than locks: two cameras may
// run frames at once and share the frame-rate estimate, as intended, without
// a data race.
struct Library {
    std::atomic<VPE_HOST_HOOK> hostBegin{nullptr};
    std::atomic<VPE_HOST_HOOK> hostEnd{nullptr};
    std::atomic<VPE_MEM_ALLOC> memAlloc{nullptr};
    std::atomic<VPE_MEM_FREE> memFree{nullptr};
    std::atomic<uint32_t> verboseMask{0};
    std::atomic<int32_t> verboseLevel{0};
    std::atomic<int32_t> skinTest{1};
    std::atomic<uint32_t> fpsBase{0};
    std::atomic<int32_t> fpsBaseSet{0};
    std::atomic<int32_t> fpsCounter{0};
    std::atomic<int32_t> fpsEstimate{20};
};
Library& TheLibrary();

// A message of class c and level l prints when (mask & c) != 0 and l is at
// least the verbose level.
inline bool Verbose(uint32_t messageClass, int32_t level) {
    const Library& lib = TheLibrary();
    return (lib.verboseMask.load(std::memory_order_relaxed) & messageClass) != 0 &&
           level >= lib.verboseLevel.load(std::memory_order_relaxed);
}

template <typename... Args>
inline void Trace(uint32_t messageClass, int32_t level, const char* format, Args... args) {
    if (Verbose(messageClass, level)) DbgPrint(format, args...);
}

// The target prints pointers with %x: their low 32 bits.
inline ULONG Low32(const void* p) { return ULONG(reinterpret_cast<uintptr_t>(p)); }

inline constexpr int32_t kLevelSummary = 0;  // per frame
inline constexpr int32_t kLevelDetail = 1;   // detection details

// context.cpp
void PrintSettings(const FtkSettings& settings);
void UpdateGuideLines(VPE_CONTEXT& context);

// frame.cpp
int32_t UpdateFrameRate(uint32_t timeStamp);
bool FinalTopBottomFlip(const VPE_CONTEXT& context, int mediaType);

// track.cpp
int ftkTrack(VPE_CONTEXT* context, uint8_t* aux, const uint8_t* picture, int width, int height, int32_t fps);
// Whether ftkTrack runs a detection on the next frame (else it does not read
// the picture).
bool DetectsNextFrame(const VPE_CONTEXT& context);

// detect.cpp
int ftkDetect(VPE_CONTEXT* context, uint8_t* aux, const uint8_t* picture, int width, int height, Box* combined,
              Box* rawCombined);
void vpeAddRegion(VPE_CONTEXT* context, Box* combined, Box* rawCombined, const Region& region, int width,
                  int height);
int32_t NextMotionState(int32_t state, bool moving);

// label.cpp
void ftkLabelRegions(VPE_CONTEXT& context, int width, int height);
bool RegionPassesShapeTests(const FtkSettings& settings, const LabelRecord& label);

// region_tests.cpp
void ftkTestTexture(VPE_CONTEXT& context, int width, int height);
void ftkTestMoving(VPE_CONTEXT& context, int width, int height);

// skin.cpp
bool SkinTestEllipse(const FtkSettings& settings, int y, int cb, int cr);
bool SkinTestTable(int y, int cb, int cr);
// Per luma, the box around the chroma boxes of skin test 1's records (empty
// below luma 30 and where no record applies): outside it the test is false,
// which settles most pixels of a picture without calling it.
struct ChromaBox {
    int32_t cbMin, cbMax, crMin, crMax;
};
extern const std::array<ChromaBox, 256> kSkinTableBoxes;
inline bool InSkinTableBox(int y, int cb, int cr) {
    const ChromaBox& b = kSkinTableBoxes[size_t(y & 255)];
    return cb >= b.cbMin && cb <= b.cbMax && cr >= b.crMin && cr <= b.crMax;
}

// overlay.cpp
void DrawOverlay(VPE_CONTEXT& context, int width, int height);
void PaintRegion(VPE_CONTEXT& context, int width, const Region& region, uint8_t code);

// zoom_entry.cpp: the manual zoom of a rectangle, and the tracking forms
// that zoom the current framing.
template <typename Workspace>
int ManualZoom(int mediaType, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
               int srcWidth, int srcHeight, int srcPitch, const RectQ16& rect, Workspace& workspace);
int ftkZoomLin(VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
               int srcWidth, int srcHeight, int srcPitch);
int ftkZoomLinI420(VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch,
                   const uint8_t* src, int srcWidth, int srcHeight, int srcPitch);
int ftkZoomYuy2Tracking(VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch,
                        const uint8_t* src, int srcWidth, int srcHeight, int srcPitch);
RectQ16 FramingInside(const VPE_CONTEXT& context, int srcWidth, int srcHeight, int minSide);

// pip.cpp
int ftkPip(const VPE_CONTEXT* context, uint8_t* dst, int dstWidth, int dstHeight, int dstPitch, const uint8_t* src,
           int srcWidth, int srcHeight, int srcPitch, int mediaType, int32_t flipFlags);

}  // namespace qk::vpe
