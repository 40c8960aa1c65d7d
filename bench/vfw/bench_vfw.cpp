// Processor time per frame of the two application paths to the camera
// against the direct kernel-streaming read of the same stream, in the same
// run: the DirectShow graph (proxy -> renderer) and the Video-for-Windows
// driver (proxy -> grabber -> null renderer, copied into the client's
// buffer). The target is at most one frame copy more than the direct read,
// and its reference is a direct reader that copies each frame it reads into
// the next of 8 client-sized buffers it wrote before: the direct read plus
// one real copy of a frame the camera has just filled. A synthetic copy of
// one frame (hot, and cold from memory another thread just wrote) is shown
// beside it. The last lines give each figure's range over the runs.
//
// Each path streams 640x480 YUY2 at 30 fps from a simulated camera that
// sends a photograph uncompressed. A path's figure is the processor time per
// frame of the thread that handles its frames (the direct reader's own
// thread; the proxy's streaming thread, which on the two application paths
// runs the whole chain down to the application's callback), read on that
// thread at every frame once the stream has settled, plus the application's
// thread from its start call to its stop call. Starting and stopping a
// stream are no per-frame work on any path. The kernel's threads, which
// complete the same reads on every path, are shown beside it.
//
// The machine's speed drifts over seconds (other tenants, caches), which a
// path measured once after another would be charged for: each run measures
// every path in several short rounds, in an order that turns from round to
// round, and pools their frames. The median frame is compared (see Cost for
// why not the mean, which is shown beside it). One run before the first is
// discarded; it pays for the process's first touches of memory and code.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "capture/k0340dev_entry.h"
#include "platform/dshow/base_classes.h"
#include "platform/dshow/dshow_servers.h"
#include "platform/ks/client.h"
#include "platform/ks/clock.h"
#include "platform/nt/io_manager.h"
#include "platform/nt/kernel.h"
#include "platform/nt/machine.h"
#include "platform/nt/pnp.h"
#include "platform/nt/processor_time.h"
#include "platform/usb/host_controller.h"
#include "platform/usb/usb_bus.h"
#include "sim/camera/camera.h"
#include "sim/camera/frame_source.h"
#include "tools/install/install.h"
#include "vfw.h"
#include "vfw/builtin.h"

namespace {

constexpr int kRounds = 6;          // rounds of every path in a run
constexpr int kFramesPerRound = 50;  // frames measured a round, a path
constexpr int kSettle = 4;            // frames let pass before the measurement
constexpr int kWidth = 640, kHeight = 480;
constexpr DWORD kFrameBytes = kWidth * kHeight * 2;
constexpr const char* kPhoto = "/usr/share/matplotlib/mpl-data/sample_data/grace_hopper.jpg";

// Processor time of the thread that handles a path's frames, read on that
// thread at each frame from the `kSettle`th on, for `kFramesPerRound` frames.
// A reading that finds several new frames shares its time among them.
struct Steady {
    int64_t fromNs = -1, toNs = -1, lastNs = -1;
    int fromFrame = 0, toFrame = 0, lastFrame = 0;
    std::vector<double> perFrameUs;
    Steady() { perFrameUs.reserve(kFramesPerRound + 8); }
    void Saw(int frames) {
        if (toNs >= 0 || frames == lastFrame) return;
        const int64_t now = qk::nt::CurrentThreadProcessorNs();
        if (fromNs < 0) {
            if (frames < kSettle) return;
            fromNs = lastNs = now;
            fromFrame = lastFrame = frames;
            return;
        }
        const double each = static_cast<double>(now - lastNs) / 1000.0 / (frames - lastFrame);
        for (int i = lastFrame; i < frames; ++i) perFrameUs.push_back(each);
        lastNs = now;
        lastFrame = frames;
        if (frames >= kSettle + kFramesPerRound) {
            toNs = now;
            toFrame = frames;
        }
    }
    bool Done() const { return toNs >= 0; }
};

// The application's thread, from its stream start call's return to its stop
// call, and the kernel's threads (completing the same reads on every path).
struct Window {
    int64_t app = 0;
    int64_t appEnd = 0;
    int64_t kernel = KernelNs();
    void Started() { app = qk::nt::CurrentThreadProcessorNs(); }
    void Stopping() { appEnd = qk::nt::CurrentThreadProcessorNs(); }
    static int64_t KernelNs() {
        auto t = qk::nt::Kernel::Get().ProcessorTimes();
        return t.dpcNs + t.workersNs;
    }
};
// Sums over the rounds of a run. The processor clock of this machine also
// runs while the host has taken the processor from a thread (time it does not
// report as stolen): a frame during which that happened counts milliseconds,
// and a few such frames move the mean by more than a frame copy. The figure
// compared is therefore the median of the frames' times; the mean is shown
// beside it.
struct Cost {
    int64_t handlingNs = 0, appNs = 0, kernelNs = 0;
    int frames = 0, appFrames = 0;
    bool complete = true;
    std::vector<double> perFrameUs;
    double MeanUs() const { return frames ? static_cast<double>(handlingNs) / 1000.0 / frames : 0; }
    double MedianUs() const {
        if (perFrameUs.empty()) return 0;
        std::vector<double> sorted = perFrameUs;
        auto middle = sorted.begin() + static_cast<ptrdiff_t>(sorted.size() / 2);
        std::nth_element(sorted.begin(), middle, sorted.end());
        return *middle;
    }
    double AppUs() const { return appFrames ? static_cast<double>(appNs) / 1000.0 / appFrames : 0; }
    double KernelUs() const { return appFrames ? static_cast<double>(kernelNs) / 1000.0 / appFrames : 0; }
    double LayerUs() const { return MedianUs() + AppUs(); }
    double LayerMeanUs() const { return MeanUs() + AppUs(); }
    void Add(const Cost& round) {
        handlingNs += round.handlingNs;
        appNs += round.appNs;
        kernelNs += round.kernelNs;
        frames += round.frames;
        appFrames += round.appFrames;
        complete = complete && round.complete;
        perFrameUs.insert(perFrameUs.end(), round.perFrameUs.begin(), round.perFrameUs.end());
    }
};
Cost Charge(const Window& w, const Steady& steady, int frames) {
    Cost c;
    c.complete = steady.Done();
    if (c.complete) {
        c.handlingNs = steady.toNs - steady.fromNs;
        c.frames = steady.toFrame - steady.fromFrame;
        c.perFrameUs = steady.perFrameUs;
    }
    c.appNs = w.appEnd - w.app;
    c.kernelNs = Window::KernelNs() - w.kernel;
    c.appFrames = frames;
    return c;
}

// Frames seen. A client that acts on every frame (the direct reader and the
// Video-for-Windows client, which give each buffer back) is woken for each;
// a DirectShow application only waits for the end of the capture, so with a
// target set only reaching it wakes the waiter.
struct Counter {
    std::mutex lock;
    std::condition_variable changed;
    int frames = 0;
    int target = 0;  // 0: wake the waiter on every frame
    Steady steady;   // marked by the thread that adds, when it handles the frames
    void Add(bool mark = true) {
        bool wake;
        {
            std::lock_guard guard(lock);
            ++frames;
            if (mark) steady.Saw(frames);
            wake = target == 0 || frames == target;
        }
        if (wake) changed.notify_all();
    }
    bool Wait(int n) {
        std::unique_lock guard(lock);
        target = n;
        return changed.wait_for(guard, std::chrono::seconds(30), [&] { return frames >= n; });
    }
};

std::u16string Link() {
    auto links = qk::nt::pnp::Interfaces(KSCATEGORY_CAPTURE);
    return links.empty() ? std::u16string() : links[0].symbolicLink;
}

// With `copies`, the reader copies each completed frame into the next of
// `copies` buffers of its own before it queues the read again: the direct
// read plus exactly one frame copy, of a frame the camera has just filled,
// on the thread that would hand it on.
Cost Direct(int copies = 0) {
    std::unique_ptr<qk::ks::client::Filter> filter;
    if (!NT_SUCCESS(qk::ks::client::Filter::Open(Link(), &filter))) return {};
    std::vector<qk::ks::client::Bytes> ranges;
    filter->DataRanges(0, &ranges);
    qk::ks::client::Bytes format;
    for (auto& r : ranges) {
        auto* v = reinterpret_cast<const KS_DATARANGE_VIDEO*>(r.data());
        if (v->DataRange.SubFormat == MEDIASUBTYPE_YUY2 && v->VideoInfoHeader.bmiHeader.biWidth == kWidth &&
            NT_SUCCESS(filter->Intersect(0, r, &format))) {
            break;
        }
    }
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.AvgTimePerFrame = 333333;
    std::unique_ptr<qk::ks::client::Pin> pin;
    if (!NT_SUCCESS(filter->CreatePin(0, format, &pin))) return {};
    HANDLE clock = qk::ks::CreateClock();
    pin->SetClock(clock);
    // The reader's memory is made before its window, as the other clients' is.
    std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(kFrameBytes));
    std::vector<std::vector<uint8_t>> copied(copies, std::vector<uint8_t>(kFrameBytes, 2));
    size_t nextCopy = 0;
    Window w;
    pin->SetState(KSSTATE_RUN);
    w.Started();
    Counter counter;
    std::mutex lock;
    std::vector<int> returned;
    std::atomic<int> failed{0};
    // A read that fails (a frame the camera could not deliver whole) is
    // queued again like any other, so four reads stay queued; only frames
    // count.
    std::function<void(int)> queue = [&](int slot) {
        pin->QueueRead(buffers[slot].data(), kFrameBytes, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO),
                       [&, slot](const qk::ks::client::Pin::Sample& s) {
                           {
                               std::lock_guard guard(lock);
                               returned.push_back(slot);
                           }
                           if (s.status == STATUS_SUCCESS) {
                               counter.Add(false);  // the reader's own thread marks
                           } else {
                               ++failed;
                               counter.changed.notify_all();
                           }
                       });
    };
    for (int i = 0; i < 4; ++i) queue(i);
    int seen = 0;
    Steady steady;
    auto lastProgress = std::chrono::steady_clock::now();
    while (!steady.Done()) {
        std::vector<int> slots;
        {
            std::unique_lock guard(counter.lock);
            counter.changed.wait_for(guard, std::chrono::milliseconds(50));
            if (counter.frames != seen) lastProgress = std::chrono::steady_clock::now();
            seen = counter.frames;
        }
        {
            std::lock_guard guard(lock);
            slots.swap(returned);
        }
        for (int slot : slots) {
            if (!copied.empty()) std::memcpy(copied[nextCopy++ % copied.size()].data(), buffers[slot].data(), kFrameBytes);
        }
        // Reading the processor clock is a system call, and on this machine
        // every return from the kernel empties the address-translation cache
        // (page-table isolation without process-context identifiers): the
        // work after a reading pays for refilling it. The reader reads where
        // the Video-for-Windows client does, the frame handed on and its
        // buffer not yet queued again, so that both pay alike.
        steady.Saw(seen);
        for (int slot : slots) queue(slot);
        if (std::chrono::steady_clock::now() - lastProgress > std::chrono::seconds(10)) {
            std::printf("     (the direct reader got no frame for 10 s, %d reads failed: run not comparable)\n", failed.load());
            break;
        }
    }
    w.Stopping();
    pin->SetState(KSSTATE_STOP);
    pin->WaitIdle();
    Cost cost = Charge(w, steady, counter.frames);
    cost.appNs = 0;  // the application's thread is the handling thread: counted once
    pin.reset();
    ZwClose(clock);
    return cost;
}

Cost DirectShow() {
    ICreateDevEnum* devices = nullptr;
    CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                     reinterpret_cast<void**>(&devices));
    IEnumMoniker* list = nullptr;
    devices->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, &list, 0);
    devices->Release();
    IMoniker* moniker = nullptr;
    list->Next(1, &moniker, nullptr);
    list->Release();
    IBaseFilter* camera = nullptr;
    moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&camera));
    moniker->Release();
    IGraphBuilder* graph = nullptr;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, reinterpret_cast<void**>(&graph));
    IMediaControl* control = nullptr;
    graph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&control));
    Counter counter;
    volatile uint8_t sink = 0;
    IBaseFilter* renderer = qk::dshow::CreateCallbackRenderer(MEDIATYPE_Video, [&](IMediaSample* s) {
        BYTE* data = nullptr;
        s->GetPointer(&data);
        sink = sink + data[0];  // the application looks at the frame where it lies
        counter.Add();
        return S_OK;
    });
    graph->AddFilter(camera, u"Capture");
    graph->AddFilter(renderer, u"Sink");
    IEnumPins* pins = nullptr;
    camera->EnumPins(&pins);
    IPin* out = nullptr;
    pins->Next(1, &out, nullptr);
    pins->Release();
    IPin* in = nullptr;
    renderer->FindPin(u"In", &in);
    IAMStreamConfig* config = nullptr;
    out->QueryInterface(IID_IAMStreamConfig, reinterpret_cast<void**>(&config));
    AM_MEDIA_TYPE* type = nullptr;
    config->GetFormat(&type);  // 640x480 YUY2 at 30 fps, the first range
    config->SetFormat(type);
    DeleteMediaType(type);
    config->Release();
    graph->Connect(out, in);
    Window w;
    control->Run();
    w.Started();
    counter.Wait(kSettle + kFramesPerRound);
    w.Stopping();
    control->Stop();
    Cost us = Charge(w, counter.steady, counter.frames);
    for (IUnknown* p : std::initializer_list<IUnknown*>{in, out, renderer, camera, control, graph}) p->Release();
    return us;
}

// The Video-for-Windows client does what a capture application does: it
// looks at each frame in its callback, on the driver's thread, and gives the
// buffer straight back from there (DVM_STREAM_ADDBUFFER); its own thread
// sleeps until the capture ends, as the DirectShow application's does.
constexpr int kVfwBuffers = 8;
Counter* g_vfwCounter = nullptr;
volatile uint8_t g_vfwSink = 0;
std::atomic<bool> g_vfwCapturing{false};
std::atomic<int> g_vfwSkipped{0};
void VfwCallback(HDRVR, UINT message, DWORD_PTR instance, DWORD_PTR p1, DWORD_PTR) {
    if (message == MM_DRVM_ERROR) ++g_vfwSkipped;  // a frame with no buffer: the client was too slow
    if (message != MM_DRVM_DATA) return;
    auto* header = reinterpret_cast<LPVIDEOHDR>(p1);
    g_vfwSink = g_vfwSink + header->lpData[0];
    // A reset hands the queued buffers back too; those stay with the client.
    if (!g_vfwCapturing.load()) return;
    g_vfwCounter->Add();
    SendDriverMessage(reinterpret_cast<HDRVR>(instance), DVM_STREAM_ADDBUFFER, reinterpret_cast<LPARAM>(header),
                      sizeof(VIDEOHDR));
}

Cost VideoForWindows() {
    VIDEO_OPEN_PARMS parms{};
    parms.dwSize = sizeof parms;
    parms.dwFlags = VIDEO_IN;
    HDRVR driver = OpenDriver(u"K0340Vfw.dll", nullptr, reinterpret_cast<LPARAM>(&parms));
    if (driver == nullptr) return {};
    Counter counter;
    g_vfwCounter = &counter;
    std::vector<std::vector<uint8_t>> buffers(kVfwBuffers, std::vector<uint8_t>(kFrameBytes));
    std::vector<VIDEOHDR> headers(kVfwBuffers);
    VIDEO_STREAM_INIT_PARMS init{};
    init.dwCallback = reinterpret_cast<DWORD_PTR>(VfwCallback);
    init.dwCallbackInst = reinterpret_cast<DWORD_PTR>(driver);
    init.dwFlags = CALLBACK_FUNCTION;
    SendDriverMessage(driver, DVM_STREAM_INIT, reinterpret_cast<LPARAM>(&init), sizeof init);
    for (int i = 0; i < kVfwBuffers; ++i) {
        headers[i] = VIDEOHDR{buffers[i].data(), kFrameBytes, 0, 0, 0, VHDR_PREPARED, {}};
        SendDriverMessage(driver, DVM_STREAM_ADDBUFFER, reinterpret_cast<LPARAM>(&headers[i]), sizeof(VIDEOHDR));
    }
    g_vfwCapturing = true;
    Window w;
    SendDriverMessage(driver, DVM_STREAM_START, 0, 0);
    w.Started();
    counter.Wait(kSettle + kFramesPerRound);
    w.Stopping();
    g_vfwCapturing = false;
    SendDriverMessage(driver, DVM_STREAM_STOP, 0, 0);
    Cost us = Charge(w, counter.steady, counter.frames);
    SendDriverMessage(driver, DVM_STREAM_RESET, 0, 0);
    SendDriverMessage(driver, DVM_STREAM_FINI, 0, 0);
    CloseDriver(driver, 0, 0);
    g_vfwCounter = nullptr;
    return us;
}

// One frame copy, the reference. `Hot` copies one frame again and again
// (source and destination stay in the cache). `Cold` copies as the driver
// does: each source was just written by another thread (the kernel's, which
// completes the reads), each destination is one of the client's buffers
// written a round of buffers ago.
struct FrameCopies {
    double hotUs = 0, coldUs = 0;
};
FrameCopies FrameCopy() {
    FrameCopies out;
    {
        std::vector<uint8_t> a(kFrameBytes, 1), b(kFrameBytes);
        constexpr int kRounds = 2000;
        int64_t start = qk::nt::CurrentThreadProcessorNs();
        for (int i = 0; i < kRounds; ++i) {
            a[i % kFrameBytes] = static_cast<uint8_t>(i);
            std::memcpy(b.data(), a.data(), kFrameBytes);
        }
        volatile uint8_t keep = b[kFrameBytes / 2];
        (void)keep;
        out.hotUs = static_cast<double>(qk::nt::CurrentThreadProcessorNs() - start) / 1000.0 / kRounds;
    }
    {
        constexpr int kSources = 4, kDestinations = 8, kRounds = 200;
        std::vector<std::vector<uint8_t>> sources(kSources, std::vector<uint8_t>(kFrameBytes, 1));
        std::vector<std::vector<uint8_t>> destinations(kDestinations, std::vector<uint8_t>(kFrameBytes, 2));
        int64_t copyNs = 0;
        for (int i = 0; i < kRounds; ++i) {
            auto& source = sources[i % kSources];
            std::thread([&source, i] { std::memset(source.data(), i, source.size()); }).join();
            int64_t start = qk::nt::CurrentThreadProcessorNs();
            std::memcpy(destinations[i % kDestinations].data(), source.data(), kFrameBytes);
            copyNs += qk::nt::CurrentThreadProcessorNs() - start;
        }
        out.coldUs = static_cast<double>(copyNs) / 1000.0 / kRounds;
    }
    return out;
}

struct Range {
    double low = 1e300, high = -1e300;
};
struct Ranges {
    Range direct, directCopy, dshow, vfw, realCopy, coldCopy, vfwOver, dshowOver, vfwCopies, dshowCopies;
    int vfwMet = 0, dshowMet = 0;
    double vfwOverSum = 0, dshowOverSum = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    // A second argument names the one path to run alone (direct, copy,
    // directshow, vfw), for a profiler; the comparison needs them all.
    const std::string only = argc > 2 ? argv[2] : "";
    auto runs_path = [&](const char* name) { return only.empty() || only == name; };
    auto root = std::filesystem::temp_directory_path() / ("qk-bench-vfw-" + std::to_string(::getpid()));
    std::filesystem::remove_all(root);
    {
        qk::Machine machine(root);
        qk::nt::Boot(machine);
        qk::install::Options options;
        qk::install::Result result;
        std::string error;
        qk::install::Install(options, &result, &error);
        qk::nt::io::RegisterStaticDriver(u"K0340Dev.sys", K0340DevDriverEntry);
        qk::usb::WriteInstallationEntries();
        qk::usb::StartHostController();
        // Uncompressed frames only: the driver's decoding, which every path
        // pays alike and whose spread is larger than a frame copy, stays out.
        qk::sim::CameraConfig config;
        config.formats = {qk::sim::FormatSpec{qk::sim::VideoFormat::Yuy2, {{kWidth, kHeight, {333333}}}}};
        // The camera sends a photograph and keeps no copies of what it sent:
        // rendering the synthetic scene and keeping 64 frames moves some
        // 40 MB through the caches a second on the kernel's threads, which
        // the measured threads would pay for in their own copies.
        config.keptFrames = 0;
        std::shared_ptr<qk::sim::FrameSource> picture;
        try {
            picture = std::make_shared<qk::sim::StillImageSource>(kPhoto);
        } catch (const std::exception& e) {
            std::printf("(%s: the synthetic scene instead)\n", e.what());
        }
        auto camera = std::make_shared<qk::sim::Camera>(config, picture);
        int port = qk::usb::Plug(camera);
        qk::nt::pnp::WaitIdle();
        qk::nt::Kernel::Get().FlushWork();
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        qk::dshow::InstallSystemServers();
        k0340vfw::RegisterBuiltin();

        std::printf("processor time per 640x480 YUY2 frame (us), %d rounds of %d frames a path in each run\n", kRounds,
                    kFramesPerRound);
        std::printf("median over frames of the thread handling them, plus the application's thread; kernel = the same reads'\n"
                    "completion\n");
        std::printf("run  direct  direct+copy  directshow  vfw    copy:hot cold   dshow-direct  vfw-direct  vfw-(direct+copy)\n");
        Ranges ranges;
        enum Path { kDirect, kCopy, kDirectShow, kVfw, kPaths };
        const char* names[kPaths] = {"direct", "copy", "directshow", "vfw"};
        for (int run = 0; run <= runs; ++run) {
            Cost costs[kPaths];
            for (int round = 0; round < kRounds; ++round) {
                for (int i = 0; i < kPaths; ++i) {
                    const int path = (i + round + run) % kPaths;
                    if (!runs_path(names[path])) continue;
                    switch (path) {
                        case kDirect: costs[path].Add(Direct()); break;
                        case kCopy: costs[path].Add(Direct(kVfwBuffers)); break;
                        case kDirectShow: costs[path].Add(DirectShow()); break;
                        case kVfw: costs[path].Add(VideoForWindows()); break;
                    }
                }
            }
            if (run == 0) {
                std::printf("  0  (warm-up, discarded)\n");
                g_vfwSkipped = 0;
                continue;
            }
            const Cost& direct = costs[kDirect];
            const Cost& directCopy = costs[kCopy];
            const Cost& dshow = costs[kDirectShow];
            const Cost& vfw = costs[kVfw];
            FrameCopies copy = only.empty() ? FrameCopy() : FrameCopies{};
            // The target, at most one frame copy over the direct read, against
            // the reader that copies each frame it reads into client-sized
            // memory it has written before: the direct read plus one real copy
            // of a frame the camera has just filled, in this run. The cold
            // copy alone is shown beside it; it understates that copy.
            const double dshowOver = dshow.LayerUs() - directCopy.LayerUs();
            const double vfwOver = vfw.LayerUs() - directCopy.LayerUs();
            const double realCopy = directCopy.LayerUs() - direct.LayerUs();
            // Each path's cost over the direct read, counted in copies of a
            // filled frame: the target allows one.
            const double vfwCopies = realCopy > 0 ? (vfw.LayerUs() - direct.LayerUs()) / realCopy : 0;
            const double dshowCopies = realCopy > 0 ? (dshow.LayerUs() - direct.LayerUs()) / realCopy : 0;
            std::printf("%3d  %6.1f  %11.1f  %10.1f  %5.1f  %8.1f %5.1f  %12.1f  %10.1f  %17.1f  directshow %s, vfw %s "
                        "(copy of a filled frame %.1f; over the direct read in copies: directshow %.2f, vfw %.2f)\n",
                        run, direct.LayerUs(), directCopy.LayerUs(), dshow.LayerUs(), vfw.LayerUs(), copy.hotUs, copy.coldUs,
                        dshow.LayerUs() - direct.LayerUs(), vfw.LayerUs() - direct.LayerUs(), vfwOver,
                        dshowOver <= 0 ? "met" : "MISSED", vfwOver <= 0 ? "met" : "MISSED", realCopy, dshowCopies, vfwCopies);
            auto widen = [](Range& r, double v) {
                r.low = std::min(r.low, v);
                r.high = std::max(r.high, v);
            };
            widen(ranges.direct, direct.LayerUs());
            widen(ranges.directCopy, directCopy.LayerUs());
            widen(ranges.dshow, dshow.LayerUs());
            widen(ranges.vfw, vfw.LayerUs());
            widen(ranges.realCopy, realCopy);
            widen(ranges.coldCopy, copy.coldUs);
            widen(ranges.vfwOver, vfwOver);
            widen(ranges.dshowOver, dshowOver);
            widen(ranges.vfwCopies, vfwCopies);
            widen(ranges.dshowCopies, dshowCopies);
            ranges.vfwOverSum += vfwOver;
            ranges.dshowOverSum += dshowOver;
            ranges.vfwMet += vfwOver <= 0;
            ranges.dshowMet += dshowOver <= 0;
            std::printf("     means: direct %.1f  direct+copy %.1f  directshow %.1f  vfw %.1f (vfw-(direct+copy) %.1f);  kernel: "
                        "direct %.0f  direct+copy %.0f  directshow %.0f  vfw %.0f;  application thread: directshow %.1f  vfw %.1f\n",
                        direct.LayerMeanUs(), directCopy.LayerMeanUs(), dshow.LayerMeanUs(), vfw.LayerMeanUs(),
                        vfw.LayerMeanUs() - directCopy.LayerMeanUs(), direct.KernelUs(), directCopy.KernelUs(), dshow.KernelUs(),
                        vfw.KernelUs(), dshow.AppUs(), vfw.AppUs());
            for (int path = 0; path < kPaths; ++path) {
                if (runs_path(names[path]) && !costs[path].complete) {
                    std::printf("     (the %s path did not reach its last measured frame: run not comparable)\n", names[path]);
                }
            }
            if (g_vfwSkipped.exchange(0) != 0) std::printf("     (the Video-for-Windows client lost frames: run not comparable)\n");
            std::fflush(stdout);
        }
        auto show = [](const Range& r) {
            char text[48];
            std::snprintf(text, sizeof text, "%.1f..%.1f", r.low, r.high);
            return std::string(text);
        };
        std::printf("ranges over %d runs: direct %s, direct+copy %s, directshow %s, vfw %s, copy of a filled frame %s, cold "
                    "copy %s\n",
                    runs, show(ranges.direct).c_str(), show(ranges.directCopy).c_str(), show(ranges.dshow).c_str(),
                    show(ranges.vfw).c_str(), show(ranges.realCopy).c_str(), show(ranges.coldCopy).c_str());
        std::printf("over direct+copy: directshow %s (met in %d of %d, %.1f on average), vfw %s (met in %d of %d, %.1f on "
                    "average)\n",
                    show(ranges.dshowOver).c_str(), ranges.dshowMet, runs, ranges.dshowOverSum / runs, show(ranges.vfwOver).c_str(),
                    ranges.vfwMet, runs, ranges.vfwOverSum / runs);
        auto showRatio = [](const Range& r) {
            char text[48];
            std::snprintf(text, sizeof text, "%.2f..%.2f", r.low, r.high);
            return std::string(text);
        };
        std::printf("over the direct read in copies of a filled frame: directshow %s, vfw %s\n", showRatio(ranges.dshowCopies).c_str(),
                    showRatio(ranges.vfwCopies).c_str());
        CoUninitialize();
        qk::usb::Unplug(port);
        qk::nt::pnp::WaitIdle();
    }
    std::filesystem::remove_all(root);
    return 0;
}
