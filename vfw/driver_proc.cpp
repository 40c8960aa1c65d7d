// DriverProc: the Video-for-Windows messages of the capture driver over the
// capture bridge. One state for the process (one camera, one client); the
// client's buffer queue is shared with the streaming thread under its
// critical section, everything else is touched from the client's thread.
#include <atomic>
#include <cstring>
#include <mutex>
#include <vector>

#include "vfw/k0340vfw.h"
#include "vfw/property_frame.h"

namespace k0340vfw {
namespace {

// The channel numbers clients send; a client's VIDEO_IN (4) reaches the
// channel that carries the stream.
enum Channel : DWORD {
    kVideoIn = 1,
    kVideoOut = 2,
    kVideoExternalIn = 4,
    kVideoExternalOut = 8,
};

constexpr DWORD kInstanceTag = 'v' | ('c' << 8) | ('a' << 16) | ('p' << 24);  // "vcap"

struct VfwInstance {
    DWORD tag;
    DWORD channel;
    DWORD openFlags;
    DWORD reserved[2];
};

struct VfwState {
    int openIn = 0, openOut = 0, openExternalIn = 0, openExternalOut = 0, openTotal = 0;
    bool graphConnected = false, graphRunning = false;
    bool sourceDialogPending = false, formatChanging = false, dialogOpen = false;
    BITMAPINFOHEADER header{};
    AM_MEDIA_TYPE mediaType{};
    VIDEOINFOHEADER videoInfo{};
    RECT inDst{}, externalInSrc{}, outSrc{}, outDst{};

    VIDEO_STREAM_INIT_PARMS stream{};
    bool streamInitialised = false;
    std::atomic<bool> streaming{false};
    bool buffersPrepared = false;
    CRITICAL_SECTION queueLock{};  // guards head, tail, skipped and the frame below once buffersPrepared
    LPVIDEOHDR head = nullptr, tail = nullptr;
    DWORD skipped = 0;
    DWORD startTime = 0;
    std::atomic<DWORD> lastFrameTime{0};
    // The last frame, copied only while no client buffers are queued (the
    // single-frame mode): the sample's own memory goes back to the
    // allocator after the callback.
    std::mutex frameLock;  // guards lastFrame and haveFrame
    std::vector<uint8_t> lastFrame;
    bool haveFrame = false;

    Bridge bridge;
    bool loaded = false;
    bool comInitialised = false;
};

VfwState g_state;
constexpr RECT kMaxRect = {0, 0, 640, 480};

void Callback(DWORD message, DWORD_PTR parameter) {
    const auto& s = g_state.stream;
    DriverCallback(s.dwCallback, (s.dwFlags >> 16) & 0xFFFF, reinterpret_cast<HDRVR>(s.hVideo), message, s.dwCallbackInst,
                   parameter, 0);
}

// The queue's critical section exists once buffers were added; before, the
// message thread is the only one touching the queue.
class QueueGuard {
public:
    QueueGuard() : held_(g_state.buffersPrepared) {
        if (held_) EnterCriticalSection(&g_state.queueLock);
    }
    ~QueueGuard() {
        if (held_) LeaveCriticalSection(&g_state.queueLock);
    }

private:
    const bool held_;
};

void ForgetLastFrame() {
    std::lock_guard guard(g_state.frameLock);
    g_state.haveFrame = false;
}

// Frame delivery, on the graph's streaming thread.
HRESULT OnSample(IMediaSample* sample, REFERENCE_TIME*, REFERENCE_TIME*, BOOL) {
    BYTE* data = nullptr;
    if (FAILED(sample->GetPointer(&data)) || data == nullptr) return S_OK;
    LONG length = sample->GetActualDataLength();
    if (length <= 0) return S_OK;
    DWORD now = timeGetTime();
    VfwState& s = g_state;
    if (!s.streaming.load() || !s.buffersPrepared) {
        // Single-frame mode: the frame is kept for DVM_FRAME.
        std::lock_guard guard(s.frameLock);
        s.lastFrame.assign(data, data + length);
        s.haveFrame = true;
        s.lastFrameTime = now;
        return S_OK;
    }
    LPVIDEOHDR header = nullptr;
    DWORD skipped = 0;
    {
        QueueGuard guard;
        header = s.head;
        if (header != nullptr) {
            s.head = reinterpret_cast<LPVIDEOHDR>(header->dwReserved[0]);
            if (s.head == nullptr) s.tail = nullptr;
            header->dwReserved[0] = 0;
            header->dwFlags &= ~VHDR_INQUEUE;
        } else {
            skipped = ++s.skipped;
        }
    }
    if (header == nullptr) {
        Callback(MM_DRVM_ERROR, skipped);
        return S_OK;
    }
    DWORD bytes = static_cast<DWORD>(length) < header->dwBufferLength ? static_cast<DWORD>(length) : header->dwBufferLength;
    std::memcpy(header->lpData, data, bytes);
    header->dwFlags |= VHDR_DONE | VHDR_KEYFRAME;
    header->dwBytesUsed = s.header.biSizeImage < header->dwBufferLength ? s.header.biSizeImage : bytes;
    header->dwTimeCaptured = now - s.startTime;
    s.lastFrameTime = now;
    Callback(MM_DRVM_DATA, reinterpret_cast<DWORD_PTR>(header));
    return S_OK;
}

// ---- Channels --------------------------------------------------------------------------------
int* CounterOf(DWORD channel) {
    switch (channel) {
        case kVideoIn: return &g_state.openIn;
        case kVideoOut: return &g_state.openOut;
        case kVideoExternalIn: return &g_state.openExternalIn;
        case kVideoExternalOut: return &g_state.openExternalOut;
        default: return nullptr;
    }
}

LRESULT Open(LPVIDEO_OPEN_PARMS parms) {
    VfwState& s = g_state;
    // Opened without parameters (configuration): an identifier that names no channel.
    if (parms == nullptr) return 1;
    parms->dwError = DV_ERR_OK;
    if (!s.loaded) {
        parms->dwError = DV_ERR_NOTDETECTED;
        return 0;
    }
    if (!s.graphConnected && s.bridge.capture == nullptr && FindCamera(&s.bridge) != S_OK) {
        parms->dwError = DV_ERR_NOTDETECTED;
        return 0;
    }
    DWORD channel = parms->dwFlags & 0xF;
    int* counter = CounterOf(channel);
    if (counter == nullptr || channel == kVideoExternalOut || *counter > 0) {
        parms->dwError = DV_ERR_ALLOCATED;
        return 0;
    }
    auto* instance = static_cast<VfwInstance*>(LocalAlloc(LPTR, sizeof(VfwInstance)));
    if (instance == nullptr) {
        parms->dwError = DV_ERR_NOMEM;
        return 0;
    }
    instance->tag = kInstanceTag;
    instance->channel = channel;
    instance->openFlags = parms->dwFlags;
    if (!s.graphConnected) {
        HRESULT hr = s.bridge.config != nullptr ? S_OK : PrepareCapturePin(&s.bridge);
        if (SUCCEEDED(hr) && !LoadFormat(&s.bridge, &s.mediaType, &s.videoInfo)) hr = E_OUTOFMEMORY;
        if (FAILED(hr)) {
            LocalFree(instance);
            parms->dwError = hr == E_OUTOFMEMORY ? DV_ERR_NOMEM : DV_ERR_NOTDETECTED;
            return 0;
        }
        s.header = s.videoInfo.bmiHeader;
        ApplyFormat(&s.bridge, &s.mediaType, &s.videoInfo);
        hr = Connect(&s.bridge, OnSample);
        if (FAILED(hr)) {
            TearDownBehindCapture(&s.bridge, true);
            LocalFree(instance);
            parms->dwError = DV_ERR_NOTDETECTED;
            return 0;
        }
        Run(&s.bridge);
        s.graphConnected = true;
        s.graphRunning = true;
    }
    ++*counter;
    ++s.openTotal;
    return reinterpret_cast<LRESULT>(instance);
}

VfwInstance* InstanceOf(DWORD_PTR id) {
    auto* instance = reinterpret_cast<VfwInstance*>(id);
    if (id <= 1 || instance->tag != kInstanceTag) return nullptr;
    return instance;
}

LRESULT Close(DWORD_PTR id) {
    VfwInstance* instance = InstanceOf(id);
    if (instance == nullptr) return 1;
    int* counter = CounterOf(instance->channel);
    if (counter != nullptr && *counter > 0) --*counter;
    if (g_state.openTotal > 0 && --g_state.openTotal == 0) g_state.graphConnected = false;
    instance->tag = 0;
    LocalFree(instance);
    return 1;
}

// ---- Format --------------------------------------------------------------------------------------
// A new format: stop, take everything behind the camera apart, reconnect
// with the format, and run again if it ran. A stopped graph takes the
// format too (between two captures a client changes it with the stream
// stopped, and the next start must stream what the client asked for).
LRESULT SetFormat(const BITMAPINFOHEADER& header) {
    VfwState& s = g_state;
    if (!s.graphConnected || s.sourceDialogPending) {
        s.header = header;  // nothing streams
        return DV_ERR_OK;
    }
    if (std::memcmp(&header, &s.videoInfo.bmiHeader, sizeof header) == 0) {
        // The streaming thread reads the header for every frame it delivers.
        if (!s.graphRunning) s.header = header;
        return DV_ERR_OK;
    }
    const bool wasRunning = s.graphRunning;
    s.formatChanging = true;
    Stop(&s.bridge);
    s.graphRunning = false;
    s.header = header;
    TearDownBehindCapture(&s.bridge, true);
    ForgetLastFrame();
    ReadPinFormat(&s.bridge, &s.mediaType, &s.videoInfo);
    s.videoInfo.bmiHeader = header;
    s.mediaType.subtype = SubtypeOf(header);
    s.mediaType.lSampleSize = header.biSizeImage;
    HRESULT applied = ApplyFormat(&s.bridge, &s.mediaType, &s.videoInfo);
    if (FAILED(applied)) {
        // The old frame rate may not exist at the new size: the camera's own
        // rate for it then.
        s.videoInfo.AvgTimePerFrame = 0;
        applied = ApplyFormat(&s.bridge, &s.mediaType, &s.videoInfo);
    }
    if (FAILED(applied)) {
        // The camera does not offer it: its own format stays.
        ReadPinFormat(&s.bridge, &s.mediaType, &s.videoInfo);
        s.header = s.videoInfo.bmiHeader;
    } else {
        // The driver's exact format (image size) for the new header.
        ReadPinFormat(&s.bridge, &s.mediaType, &s.videoInfo);
        s.header = s.videoInfo.bmiHeader;
    }
    Connect(&s.bridge, OnSample);
    if (wasRunning && SUCCEEDED(Run(&s.bridge))) s.graphRunning = true;
    s.formatChanging = false;
    return FAILED(applied) ? DV_ERR_BADFORMAT : DV_ERR_OK;
}

LRESULT Format(DWORD flags, LPVIDEOCONFIGPARMS parms) {
    if (parms == nullptr) return DV_ERR_PARAM2;
    switch (flags) {
        case VIDEOCONFIGURE_QUERYSIZE:
        case VIDEOCONFIGURE_QUERYSIZE | VIDEOCONFIGURE_GET:
            if (parms->lpdwReturn == nullptr) return DV_ERR_PARAM2;
            *parms->lpdwReturn = sizeof(BITMAPINFOHEADER);
            return DV_ERR_OK;
        case VIDEOCONFIGURE_QUERY | VIDEOCONFIGURE_SET:
        case VIDEOCONFIGURE_QUERY | VIDEOCONFIGURE_GET:
            return DV_ERR_OK;
        case VIDEOCONFIGURE_SET:
        case VIDEOCONFIGURE_SET | VIDEOCONFIGURE_CURRENT: {
            if (parms->dwSize1 < sizeof(BITMAPINFOHEADER) || parms->lpData1 == nullptr) return DV_ERR_SIZEFIELD;
            BITMAPINFOHEADER header;
            std::memcpy(&header, parms->lpData1, sizeof header);
            if (header.biSize != sizeof(BITMAPINFOHEADER)) return DV_ERR_PARAM2;
            if (header.biPlanes != 1) return DV_ERR_BADFORMAT;
            return SetFormat(header);
        }
        case VIDEOCONFIGURE_GET:
        case VIDEOCONFIGURE_GET | VIDEOCONFIGURE_CURRENT: {
            if (parms->dwSize1 < sizeof(BITMAPINFOHEADER) || parms->lpData1 == nullptr) return DV_ERR_SIZEFIELD;
            if (g_state.bridge.config == nullptr) return DV_ERR_NOTSUPPORTED;
            AM_MEDIA_TYPE type{};
            VIDEOINFOHEADER info{};
            if (FAILED(ReadPinFormat(&g_state.bridge, &type, &info))) return DV_ERR_NOTSUPPORTED;
            std::memcpy(parms->lpData1, &info.bmiHeader, sizeof(BITMAPINFOHEADER));
            // The streaming thread reads the header with every frame and
            // every buffer a callback gives back: a running stream's header
            // is the pin's already, and is not written under it.
            if (std::memcmp(&g_state.header, &info.bmiHeader, sizeof info.bmiHeader) != 0) g_state.header = info.bmiHeader;
            return DV_ERR_OK;
        }
        default:
            return DV_ERR_NOTSUPPORTED;
    }
}

// ---- Rectangles ----------------------------------------------------------------------------------
constexpr DWORD kSet = VIDEOCONFIGURE_SET, kSetCurrent = VIDEOCONFIGURE_SET | VIDEOCONFIGURE_CURRENT;
constexpr DWORD kGetCurrent = VIDEOCONFIGURE_GET | VIDEOCONFIGURE_CURRENT, kGetMax = VIDEOCONFIGURE_GET | VIDEOCONFIGURE_MAX;

LRESULT Rectangle(DWORD channel, bool source, LPRECT rect, DWORD flags) {
    if (rect == nullptr) return DV_ERR_PARAM1;
    VfwState& s = g_state;
    if (channel == kVideoIn && !source) {
        if (flags == kSet || flags == kSetCurrent) {
            if (rect->left != 0 || rect->top != 0) return DV_ERR_NOTSUPPORTED;
            s.inDst = *rect;
            return DV_ERR_OK;
        }
        if (flags == kGetCurrent) {
            *rect = s.inDst;
            return DV_ERR_OK;
        }
        if (flags == kGetMax) {
            *rect = kMaxRect;
            return DV_ERR_OK;
        }
    } else if (channel == kVideoOut) {
        if (flags & VIDEOCONFIGURE_SET) {
            (source ? s.outSrc : s.outDst) = *rect;
            return DV_ERR_OK;
        }
    } else if (channel == kVideoExternalIn && source) {
        if (flags == kSet || flags == kSetCurrent) {
            LONG height = s.header.biHeight < 0 ? -s.header.biHeight : s.header.biHeight;
            if (rect->right - rect->left != s.header.biWidth || rect->bottom - rect->top != height) {
                return DV_ERR_NOTSUPPORTED;
            }
            s.externalInSrc = *rect;
            return DV_ERR_OK;
        }
        if (flags == kGetCurrent) {
            *rect = s.externalInSrc;
            return DV_ERR_OK;
        }
        if (flags == kGetMax) {
            *rect = kMaxRect;
            return DV_ERR_OK;
        }
    }
    return DV_ERR_NOTSUPPORTED;
}

// The frames carry the camera's name as the device list shows it.
const char16_t* DialogCaption() {
    const std::u16string& name = g_state.bridge.cameraName;
    return name.empty() ? u"Video Capture" : name.c_str();
}

// The format dialog: the camera's own pages (its controls), on the live
// graph; nothing needs to stop for them.
LRESULT FormatDialog(HWND parent) {
    VfwState& s = g_state;
    if (s.bridge.capture == nullptr) return DV_ERR_NOTSUPPORTED;
    return ShowPropertyPages(s.bridge.capture, DialogCaption(), parent) == S_OK ? DV_ERR_OK : DV_ERR_NOTSUPPORTED;
}

// The source dialog: the capture pin's format pages. The pin cannot change
// its format under a running stream, so the graph stops and everything
// behind the camera is taken apart while the dialog shows, and is built
// again around whatever format the user chose. Whether there is a dialog at
// all is known before anything stops: a refusal leaves capture as it was.
LRESULT SourceDialog(HWND parent) {
    VfwState& s = g_state;
    if (s.bridge.capture == nullptr) return DV_ERR_NOTSUPPORTED;
    IAMStreamConfig* config = VideoOnlyStreamConfig(&s.bridge);
    if (config == nullptr) return DV_ERR_NOTSUPPORTED;
    if (!HasPropertyPages(config)) {
        config->Release();
        return DV_ERR_NOTSUPPORTED;
    }
    if (s.graphRunning) {
        s.sourceDialogPending = true;
        Stop(&s.bridge);
        s.graphRunning = false;
        TearDownBehindCapture(&s.bridge, true);
        ForgetLastFrame();
    }
    s.dialogOpen = true;
    const HRESULT shown = ShowPropertyPages(config, DialogCaption(), parent);
    config->Release();
    AM_MEDIA_TYPE type{};
    VIDEOINFOHEADER info{};
    if (SUCCEEDED(ReadPinFormat(&s.bridge, &type, &info))) {
        s.mediaType = type;
        s.videoInfo = info;
        s.header = info.bmiHeader;
    }
    if (s.sourceDialogPending) {
        Connect(&s.bridge, OnSample);
        if (SUCCEEDED(Run(&s.bridge))) s.graphRunning = true;
        ForgetLastFrame();
        s.sourceDialogPending = false;
    }
    s.dialogOpen = false;
    // A frame that could not be made is no dialog; capture goes on all the same.
    return shown == S_OK ? DV_ERR_OK : DV_ERR_NOTSUPPORTED;
}

LRESULT Dialog(DWORD channel, HWND parent, DWORD flags) {
    const bool query = (flags & VIDEO_DLG_QUERY) != 0;
    switch (channel) {
        case kVideoIn: return query ? DV_ERR_OK : FormatDialog(parent);
        case kVideoExternalIn: return query ? DV_ERR_OK : SourceDialog(parent);
        case kVideoOut: return query ? DV_ERR_NOTSUPPORTED : DV_ERR_OK;
        default: return DV_ERR_NOTSUPPORTED;
    }
}

LRESULT Frame(LPVIDEOHDR header) {
    VfwState& s = g_state;
    if (header == nullptr) return DV_ERR_PARAM1;
    if (!s.dialogOpen && !s.graphRunning && s.graphConnected) {
        if (SUCCEEDED(Run(&s.bridge))) s.graphRunning = true;
    }
    if (header->dwBufferLength < s.header.biSizeImage) return DV_ERR_SIZEFIELD;
    {
        QueueGuard queue;
        if (s.head != nullptr) return DV_ERR_OK;  // streaming buffers are in use
    }
    std::lock_guard guard(s.frameLock);
    if (s.haveFrame) {
        DWORD bytes = header->dwBufferLength < header->dwBytesUsed ? header->dwBufferLength : header->dwBytesUsed;
        if (bytes > s.lastFrame.size()) bytes = static_cast<DWORD>(s.lastFrame.size());
        std::memcpy(header->lpData, s.lastFrame.data(), bytes);
    }
    header->dwBytesUsed = s.header.biSizeImage;
    header->dwTimeCaptured = timeGetTime();
    header->dwUser = 0;
    header->dwFlags |= VHDR_KEYFRAME;
    return DV_ERR_OK;
}

// ---- Streaming ---------------------------------------------------------------------------------
void StopStreaming() {
    g_state.streaming = false;
    if (g_state.graphRunning) {
        Stop(&g_state.bridge);
        g_state.graphRunning = false;
    }
}

LRESULT Stream(UINT message, LPARAM p1, LPARAM p2) {
    VfwState& s = g_state;
    switch (message) {
        case DVM_STREAM_INIT: {
            if (s.streamInitialised || p1 == 0) return 1;
            std::memcpy(&s.stream, reinterpret_cast<void*>(p1), sizeof s.stream);
            s.streamInitialised = true;
            // The queue's lock exists from here on: frames that arrive before
            // the first buffer are counted as skipped under it.
            if (!s.buffersPrepared) {
                InitializeCriticalSection(&s.queueLock);
                s.buffersPrepared = true;
            }
            s.skipped = 0;
            s.head = s.tail = nullptr;
            Callback(MM_DRVM_OPEN, 0);
            return DV_ERR_OK;
        }
        case DVM_STREAM_ADDBUFFER: {
            auto* header = reinterpret_cast<LPVIDEOHDR>(p1);
            if (!s.streamInitialised || header == nullptr) return 1;
            if (!(header->dwFlags & VHDR_PREPARED)) return DV_ERR_UNPREPARED;
            if (header->dwFlags & VHDR_INQUEUE) return 1;
            if (header->dwBufferLength < s.header.biSizeImage) return 1;
            header->dwBytesUsed = 0;
            header->dwFlags &= ~VHDR_DONE;
            QueueGuard guard;
            header->dwReserved[0] = 0;
            header->dwFlags |= VHDR_INQUEUE;
            if (s.tail != nullptr) s.tail->dwReserved[0] = reinterpret_cast<DWORD_PTR>(header);
            else s.head = header;
            s.tail = header;
            return DV_ERR_OK;
        }
        case DVM_STREAM_START:
            if (!s.streamInitialised) return 1;
            s.startTime = timeGetTime();
            s.lastFrameTime = s.startTime;
            s.streaming = true;
            if (!s.graphRunning && s.graphConnected && SUCCEEDED(Run(&s.bridge))) s.graphRunning = true;
            return DV_ERR_OK;
        case DVM_STREAM_STOP:
            if (!s.streamInitialised) return 1;
            StopStreaming();
            return DV_ERR_OK;
        case DVM_STREAM_RESET: {
            if (!s.streamInitialised) return 1;
            StopStreaming();
            // Every queued buffer goes back to the client, marked done.
            LPVIDEOHDR header;
            {
                QueueGuard guard;
                header = s.head;
                s.head = s.tail = nullptr;
            }
            while (header != nullptr) {
                auto* next = reinterpret_cast<LPVIDEOHDR>(header->dwReserved[0]);
                header->dwReserved[0] = 0;
                header->dwFlags = (header->dwFlags & ~VHDR_INQUEUE) | VHDR_DONE;
                Callback(MM_DRVM_DATA, reinterpret_cast<DWORD_PTR>(header));
                header = next;
            }
            return DV_ERR_OK;
        }
        case DVM_STREAM_FINI:
            if (!s.streamInitialised) return 1;
            if (s.head != nullptr) return DV_ERR_STILLPLAYING;
            StopStreaming();
            s.streamInitialised = false;
            if (s.buffersPrepared) {
                s.buffersPrepared = false;
                DeleteCriticalSection(&s.queueLock);
            }
            s.head = s.tail = nullptr;
            Callback(MM_DRVM_CLOSE, 0);
            return DV_ERR_OK;
        case DVM_STREAM_GETERROR: {
            auto* error = reinterpret_cast<DWORD*>(p1);
            auto* count = reinterpret_cast<DWORD*>(p2);
            if (error == nullptr || count == nullptr) return DV_ERR_PARAM1;
            QueueGuard guard;
            *error = s.skipped != 0 ? DV_ERR_NO_BUFFERS : DV_ERR_OK;
            *count = s.skipped;
            s.skipped = 0;
            return DV_ERR_OK;
        }
        case DVM_STREAM_GETPOSITION: {
            auto* time = reinterpret_cast<LPMMTIME>(p1);
            if (p2 != sizeof(MMTIME)) return DV_ERR_NOTSUPPORTED;
            if (time == nullptr) return DV_ERR_PARAM1;
            time->wType = TIME_MS;
            time->u.ms = s.lastFrameTime.load() - s.startTime;
            return DV_ERR_OK;
        }
        default:  // prepare and unprepare are the runtime's
            return DV_ERR_NOTSUPPORTED;
    }
}

LRESULT Load() {
    VfwState& s = g_state;
    if (s.loaded) return 1;
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    s.comInitialised = SUCCEEDED(hr);
    s.openIn = s.openOut = s.openExternalIn = s.openExternalOut = s.openTotal = 0;
    if (FAILED(CreateGraphObjects(&s.bridge))) {
        if (s.comInitialised) CoUninitialize();
        s.comInitialised = false;
        return 0;
    }
    s.loaded = true;
    return 1;
}

LRESULT Free() {
    VfwState& s = g_state;
    if (!s.loaded) return 1;
    ForgetLastFrame();
    if (s.graphRunning) Stop(&s.bridge);
    s.graphRunning = false;
    if (s.bridge.config != nullptr) SaveFormat(s.mediaType, s.videoInfo);
    TearDownBehindCapture(&s.bridge, false);
    ReleaseAll(&s.bridge);
    if (s.buffersPrepared) DeleteCriticalSection(&s.queueLock);
    s.buffersPrepared = false;
    s.streamInitialised = false;
    s.graphConnected = false;
    s.head = s.tail = nullptr;
    {
        std::lock_guard guard(s.frameLock);
        s.lastFrame.clear();
        s.lastFrame.shrink_to_fit();
    }
    if (s.comInitialised) CoUninitialize();
    s.comInitialised = false;
    s.loaded = false;
    return 1;
}

}  // namespace
}  // namespace k0340vfw

extern "C" K0340VFW_EXPORT LRESULT DriverProc(DWORD_PTR dwDriverId, HDRVR, UINT uMsg, LPARAM lParam1, LPARAM lParam2) {
    using namespace k0340vfw;
    switch (uMsg) {
        case DRV_LOAD: return Load();
        case DRV_FREE: return Free();
        case DRV_OPEN: return Open(reinterpret_cast<LPVIDEO_OPEN_PARMS>(lParam2));
        case DRV_CLOSE: return Close(dwDriverId);
        default: break;
    }
    VfwInstance* instance = InstanceOf(dwDriverId);
    DWORD channel = instance != nullptr ? instance->channel : 0;
    switch (uMsg) {
        case DVM_PALETTE: return DV_ERR_NOTSUPPORTED;
        case DVM_FORMAT:
            return Format(static_cast<DWORD>(lParam1), reinterpret_cast<LPVIDEOCONFIGPARMS>(lParam2));
        case DVM_SRC_RECT:
        case DVM_DST_RECT:
            return Rectangle(channel, uMsg == DVM_SRC_RECT, reinterpret_cast<LPRECT>(lParam1),
                             static_cast<DWORD>(lParam2));
        case DVM_DIALOG: return Dialog(channel, reinterpret_cast<HWND>(lParam1), static_cast<DWORD>(lParam2));
        case DVM_GET_CHANNEL_CAPS: return DV_ERR_OK;
        case DVM_FRAME:
            return channel == kVideoExternalIn ? Frame(reinterpret_cast<LPVIDEOHDR>(lParam1)) : DV_ERR_NOTSUPPORTED;
        default: break;
    }
    if (uMsg >= DVM_STREAM_ADDBUFFER && uMsg <= DVM_STREAM_UNPREPAREHEADER) {
        if (channel != kVideoExternalIn) {
            return uMsg == DVM_STREAM_INIT || uMsg == DVM_STREAM_FINI ? DV_ERR_OK : DV_ERR_NOTSUPPORTED;
        }
        return Stream(uMsg, lParam1, lParam2);
    }
    return 1;
}
