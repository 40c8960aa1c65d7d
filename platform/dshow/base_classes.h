// What the platform's DirectShow offers beyond the SDK interfaces: the
// filter graph manager and the memory allocator of "quartz.dll", and a
// renderer that hands every sample to a function, the way applications
// build their own sinks on the SDK's base classes.
#pragma once

#include <functional>
#include <string>

#include "objbase.h"
#include "platform/com/com_runtime.h"
#include "strmif.h"

namespace qk::dshow {

qk::com::ObjectCount& QuartzObjects();

HRESULT CreateMemAllocator(REFIID riid, void** ppv);
// The memory allocator over one buffer of the caller's (`size` bytes, which
// must outlive the allocator's commitment): one sample, properties fixed.
// `name` is the object's name. One reference for the caller.
HRESULT CreateBufferAllocator(const std::u16string& name, BYTE* buffer, LONG size, IMemAllocator** allocator);
HRESULT CreateFilterGraph(REFIID riid, void** ppv);
// The filter mapper (CLSID_FilterMapper2).
HRESULT CreateFilterMapper(REFIID riid, void** ppv);
// The system reference clock on the platform clock (CLSID_SystemClock).
HRESULT CreateSystemClock(REFIID riid, void** ppv);
HRESULT CreateCaptureGraphBuilder(REFIID riid, void** ppv);

// A renderer with one input pin ("In") that accepts types of `majorType`
// (GUID_NULL: any) and calls `onSample` for each sample on the streaming
// thread; a failed result stops the stream. `onConnect` (may be empty) sees
// the connection's type. One reference for the caller.
using SampleFunction = std::function<HRESULT(IMediaSample*)>;
using ConnectFunction = std::function<void(const AM_MEDIA_TYPE&)>;
IBaseFilter* CreateCallbackRenderer(const GUID& majorType, SampleFunction onSample, ConnectFunction onConnect = {});

}  // namespace qk::dshow
