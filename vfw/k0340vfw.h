// K0340Vfw's private declarations, grouped by file: the two DirectShow
// filters and their control interface, the capture bridge (the private
// graph that runs the camera's capture filter) and the driver's state.
#pragma once

#include <string>

#include "platform/com/com_runtime.h"
#include "strmif.h"
#include "vfw.h"
#include "windows.h"

// The library's entry points stay visible when it is built as the loadable
// module, whose every other symbol is hidden and bound inside it.
#define K0340VFW_EXPORT __attribute__((visibility("default")))

// ---- sample_grabber.cpp, null_renderer.cpp -------------------------------------------------
DEFINE_GUID(CLSID_VfwSampleGrabber, 0x6DB09BC4, 0x9E27, 0x4AC1, 0xB2, 0xA9, 0x07, 0x44, 0x2E, 0x08, 0xA1, 0x6C);
DEFINE_GUID(CLSID_VfwNullRenderer, 0x808D801D, 0x701E, 0x4520, 0xBD, 0x42, 0x1E, 0xF2, 0x71, 0xE7, 0x32, 0x33);
DEFINE_GUID(IID_ISampleGrabberControl, 0x5E7798F8, 0x8264, 0x42FD, 0x9D, 0x8B, 0x90, 0x3A, 0xE1, 0x20, 0x6F, 0xEF);

// Called for each sample on the streaming thread with the sample's stream
// times (the stream's start added) and whether the type changed since the last.
typedef HRESULT (*SampleCallback)(IMediaSample* sample, REFERENCE_TIME* start, REFERENCE_TIME* end, BOOL typeChanged);

struct ISampleGrabberControl : IUnknown {
    virtual HRESULT SetAcceptedType(const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetConnectedType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT SetSampleCallback(SampleCallback callback) = 0;
    virtual HRESULT SetOwnBuffer(ALLOCATOR_PROPERTIES* properties, void* buffer) = 0;
};

namespace k0340vfw {

// The library's live objects: DllCanUnloadNow answers from them.
qk::com::ObjectCount& LiveObjects();

HRESULT CreateSampleGrabber(REFIID riid, void** ppv);
HRESULT CreateNullRenderer(REFIID riid, void** ppv);

// ---- capture_bridge.cpp ----------------------------------------------------------------------
struct Bridge {
    IGraphBuilder* graph = nullptr;
    ICaptureGraphBuilder2* builder = nullptr;
    IMediaControl* control = nullptr;
    IBaseFilter* capture = nullptr;
    IAMStreamConfig* config = nullptr;
    ISampleGrabberControl* grabber = nullptr;
    IBaseFilter* grabberFilter = nullptr;
    IBaseFilter* nullRenderer = nullptr;
    std::u16string cameraName;  // the name the device list shows, the dialogs' caption
};

HRESULT CreateGraphObjects(Bridge* b);
// The camera's capture filter, found through its hardware ID and its
// description among the video input devices; S_FALSE when there is none.
HRESULT FindCamera(Bridge* b);
HRESULT PrepareCapturePin(Bridge* b);
// The stream configuration of the capture pin that carries video alone; null
// when the camera delivers interleaved streams (or has no capture pin).
IAMStreamConfig* VideoOnlyStreamConfig(Bridge* b);

// The saved format, or the pin's own; false when neither can be had.
bool LoadFormat(Bridge* b, AM_MEDIA_TYPE* type, VIDEOINFOHEADER* info);
HRESULT ApplyFormat(Bridge* b, AM_MEDIA_TYPE* type, VIDEOINFOHEADER* info);
HRESULT ReadPinFormat(Bridge* b, AM_MEDIA_TYPE* type, VIDEOINFOHEADER* info);
HRESULT Connect(Bridge* b, SampleCallback callback);
HRESULT Run(Bridge* b);
HRESULT Stop(Bridge* b);
// Disconnects everything behind the capture filter; removes those filters
// from the graph unless `keep` (a format change or a dialog in progress).
void TearDownBehindCapture(Bridge* b, bool keep);
void SaveFormat(const AM_MEDIA_TYPE& type, const VIDEOINFOHEADER& info);
void ReleaseAll(Bridge* b);
// The media subtype a client's header names (BI_RGB 24 bits, or a FOURCC).
GUID SubtypeOf(const BITMAPINFOHEADER& header);

}  // namespace k0340vfw
