// The effects stage of the capture pin: the driver's side of the effects
// library. One state per camera (the library context, the face-tracking
// choices, the manual zoom, pan and tilt), the host hooks the library
// allocates through, the calls at camera start, stream start and per frame,
// and the zoom box the manual controls make.
#include <cstring>

#include "capture/k0340dev.h"

namespace k0340 {
namespace {

constexpr int kLibraryVersion = 313;

// ---- Host hooks --------------------------------------------------------------------------------

void HookBegin(void* record) {
    auto* r = static_cast<EffectsHookRecord*>(record);
    if (r != nullptr && r->block == nullptr) r->block = Allocate(4);
}

void HookEnd(void* record) {
    auto* r = static_cast<EffectsHookRecord*>(record);
    if (r == nullptr) return;
    Free(r->block);
    r->block = nullptr;
}

// `owner` is the effects state the context was created with (null for the
// context itself and the library's self-test).
void HookAllocate(void** pointer, uint32_t size, int32_t kind, void* owner) {
    auto* state = static_cast<EffectsState*>(owner);
    if (kind == VPE_MEM_OWNER_BUFFER) {
        const EffectsHookRecord* r = state ? &state->hooks : nullptr;
        *pointer = r != nullptr && r->preallocated != nullptr && size <= r->preallocatedBytes ? r->preallocated : nullptr;
        return;
    }
    *pointer = Allocate(size);
}

void HookFree(void* pointer, void* owner) {
    auto* state = static_cast<EffectsState*>(owner);
    if (pointer == nullptr || (state != nullptr && pointer == state->hooks.preallocated)) return;
    Free(pointer);
}

int MediaType(ULONG format) {
    switch (format) {
        case kFormatRgb24: return MT_RGB24;
        case kFormatI420: return MT_I420;
        case kFormatYuy2: return MT_YUY2;
        default: return -1;
    }
}

// The line pitch of a picture of `width` pixels (the I420 pitch is the luma's).
int Pitch(ULONG format, ULONG width) {
    switch (format) {
        case kFormatRgb24: return static_cast<int>(width * 3);
        case kFormatI420: return static_cast<int>(width);
        default: return static_cast<int>(width * 2);
    }
}

ULONGLONG PictureBytes(ULONG format, ULONG width, ULONG height) {
    ULONGLONG pixels = ULONGLONG{width} * height;
    switch (format) {
        case kFormatRgb24: return pixels * 3;
        case kFormatI420: return pixels * 3 / 2;
        default: return pixels * 2;
    }
}

int SetAttribute(EffectsState* e, int32_t id, int32_t value) {
    return vpeSetAttrib(e->context, id, value) == VPE_SUCCESS ? 0 : -1;
}

}  // namespace

ZoomBox ManualZoomBox(LONG zoom, LONG pan, LONG tilt, ULONG width, ULONG height) {
    // In tenths of a source pixel: zoom 50 is the whole picture, 100 half its
    // width and height; pan -50 puts the box at the left edge, tilt 50 at the top.
    LONGLONG w = width, h = height;
    LONGLONG boxWidth = (150 - zoom) * w * 5 * 2 / 100;
    LONGLONG boxHeight = (150 - zoom) * h * 5 * 2 / 100;
    LONGLONG x = (10 * w - boxWidth) * (pan + 50) / 100;
    LONGLONG y = (50 - tilt) * (10 * h - boxHeight) / 100;
    return {static_cast<LONG>(x), static_cast<LONG>(y), static_cast<LONG>(boxWidth), static_cast<LONG>(boxHeight)};
}

int EffectsCameraStart(CameraContext* c) {
    auto* e = static_cast<EffectsState*>(Allocate(sizeof(EffectsState)));
    if (e == nullptr) return -1;
    KeInitializeSpinLock(&e->lock);
    e->format = kFormatCount;  // no stream yet
    e->speed = 1;
    e->autoZoom = 1;
    e->zoom = e->rememberedZoom = 50;
    if (vpeInit(HookBegin, HookEnd, HookAllocate, HookFree, kLibraryVersion) != VPE_SUCCESS) {
        Free(e);
        return -1;
    }
    e->hooks.owner = c;
    e->hooks.preallocated = c->workBuffer;
    e->hooks.preallocatedBytes = c->workBufferBytes;
    if (vpeCreate(&e->context, VPE_FLIP_RGB24, e) != VPE_SUCCESS) {
        vpeExit();
        Free(e);
        return -1;
    }
    c->effects = e;
    c->zoomCopy = e->zoom;
    c->trackingCopy = e->trackingMode;
    return 0;
}

VOID EffectsCameraStop(CameraContext* c) {
    EffectsState* e = c->effects;
    if (e == nullptr) return;
    vpeDestroy(e->context);
    HookEnd(&e->hooks);
    c->effects = nullptr;
    Free(e);
    vpeExit();
}

int EffectsStreamStart(CameraContext* c, ULONG width, ULONG height, ULONG format) {
    EffectsState* e = c->effects;
    if (e == nullptr) return -1;
    KIRQL old;
    KeAcquireSpinLock(&e->lock, &old);
    e->width = width;
    e->height = height;
    e->format = format;
    KeReleaseSpinLock(&e->lock, old);
    int result = EffectsApplyTracking(c);
    if (EffectsApplyMirror(c) != 0) result = -1;
    return result;
}

int EffectsApplyTracking(CameraContext* c) {
    EffectsState* e = c->effects;
    if (e == nullptr) return -1;
    KIRQL old;
    KeAcquireSpinLock(&e->lock, &old);
    int result = 0;
    // With no stream (or one the library does not serve) the settings wait for
    // the next stream start.
    if (e->trackingMode != 0 && e->width != 0 && MediaType(e->format) >= 0) {
        static constexpr int32_t kVelocity[] = {20, 50, 200};
        if (vpeFtkInit(e->context, static_cast<int>(e->width), static_cast<int>(e->height)) != VPE_SUCCESS ||
            SetAttribute(e, VPE_ATTR_ACTIVE_TRACKING, e->trackingMode == 1 ? 1 : 0) != 0) {
            result = -1;
        }
        if (result == 0 && e->speed >= 0 && e->speed <= 2 && SetAttribute(e, VPE_ATTR_VEL, kVelocity[e->speed]) != 0) {
            result = -1;
        }
        if (result == 0 && e->pictureInPicture >= 0 && e->pictureInPicture <= 2 &&
            SetAttribute(e, VPE_ATTR_PIP, e->pictureInPicture) != 0) {
            result = -1;
        }
        if (result == 0 && (e->autoZoom == 0 || e->autoZoom == 1) && SetAttribute(e, VPE_ATTR_DIG_ZOOM, e->autoZoom) != 0) {
            result = -1;
        }
    }
    KeReleaseSpinLock(&e->lock, old);
    return result;
}

int EffectsApplyMirror(CameraContext* c) {
    EffectsState* e = c->effects;
    if (e == nullptr) return -1;
    if (MediaType(e->format) < 0) return 0;
    KIRQL old;
    KeAcquireSpinLock(&e->lock, &old);
    int result = SetAttribute(e, VPE_ATTR_TOP_BOTTOM_FLIP, e->mirror ? 1 : 0);
    KeReleaseSpinLock(&e->lock, old);
    return result;
}

BOOLEAN EffectsActive(const CameraContext* c) {
    const EffectsState* e = c->effects;
    return e != nullptr && MediaType(e->format) >= 0 && (e->trackingMode != 0 || e->zoom != 50);
}

int EffectsProcessFrame(CameraContext* c, const EffectsFrame& f) {
    EffectsState* e = c->effects;
    const int mediaType = MediaType(f.format);
    if (e == nullptr || mediaType < 0) {
        return f.sourceWidth == f.outputWidth && f.sourceHeight == f.outputHeight ? 0 : -1;
    }
    const ULONGLONG outputBytes = PictureBytes(f.format, f.outputWidth, f.outputHeight);
    if (PictureBytes(f.format, f.sourceWidth, f.sourceHeight) > f.pictureBytes || outputBytes > f.workBytes ||
        outputBytes > f.sampleBytes) {
        return -1;
    }
    KIRQL old;
    KeAcquireSpinLock(&e->lock, &old);
    // The last effect that runs writes straight into the sample; an earlier
    // one into the work picture. The sample is the destination only when it
    // does not also hold the source.
    const bool tracking = e->trackingMode != 0;
    const bool zoomed = e->zoom != 50;
    const bool resize = f.sourceWidth != f.outputWidth || f.sourceHeight != f.outputHeight;
    const bool sampleFree = f.picture != f.sample;
    UCHAR* current = f.picture;
    ULONG width = f.sourceWidth, height = f.sourceHeight;
    int result = 0;
    bool tracked = false;
    const int outputPitch = Pitch(f.format, f.outputWidth);
    if (tracking) {
        if (f.mirror != e->mirror) {
            e->mirror = f.mirror;
            SetAttribute(e, VPE_ATTR_TOP_BOTTOM_FLIP, e->mirror ? 1 : 0);
        }
        e->secondFlag = f.secondFlag;
        LARGE_INTEGER now;
        KeQuerySystemTime(&now);
        auto stamp = static_cast<uint32_t>((now.QuadPart / 10000) % 65536);
        UCHAR* destination = !zoomed && sampleFree ? f.sample : f.work;
        int r = vpeFtk(e->context, destination, static_cast<int>(f.outputWidth), static_cast<int>(f.outputHeight),
                       outputPitch, current, static_cast<int>(width), static_cast<int>(height), Pitch(f.format, width),
                       nullptr, mediaType, stamp);
        if (r == VPE_SUCCESS) {
            current = destination;
            width = f.outputWidth;
            height = f.outputHeight;
            tracked = true;
        } else {
            result = -1;
        }
    }
    // The manual zoom works on the picture as it now is; a capture larger than
    // the output with no effect that brought it down shows the whole picture.
    if (zoomed || (resize && !tracked)) {
        ZoomBox box = zoomed ? ManualZoomBox(e->zoom, e->pan, e->tilt, width, height)
                             : ZoomBox{0, 0, static_cast<LONG>(width * 10), static_cast<LONG>(height * 10)};
        UCHAR* destination = current != f.sample ? f.sample : f.work;
        int r = vpeDigitalZoom(e->context, destination, static_cast<int>(f.outputWidth), static_cast<int>(f.outputHeight),
                               outputPitch, current, static_cast<int>(width), static_cast<int>(height),
                               Pitch(f.format, width), box.x, box.y, box.width, box.height, mediaType, 0);
        if (r == VPE_SUCCESS) {
            current = destination;
            result = 0;
        } else {
            result = -1;
        }
    }
    KeReleaseSpinLock(&e->lock, old);
    if (result == 0 && current != f.sample) std::memcpy(f.sample, current, static_cast<size_t>(outputBytes));
    return result;
}

}  // namespace k0340
