// qk0340 dshow: a DirectShow application at the command line, the way one
// lists and uses cameras on the platform. It plugs the simulated camera into
// the root's machine (unless told not to), finds cameras with the system
// device enumerator, and works through the proxy filter's interfaces only:
// IAMStreamConfig for formats, IAMVideoProcAmp and IAMCameraControl for
// controls. What the driver stores stays in the root's registry.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "platform/com/com_runtime.h"
#include "platform/dshow/dshow_servers.h"
#include "strmif.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "platform/dshow/base_classes.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_output.h"
#include "tools/session/negotiation.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

using qk::cli::Failure;

struct DshowArguments {
    std::string root = "./qk0340-root";
    int variant = 2;
    std::string modules;
    bool noCamera = false;
    std::string camera;
    std::vector<std::string> assignments;
    std::string format = "YUY2";
    std::string size = "640x480";
    double fps = 30;
    int frames = 30;
    std::string output;
    int unplugAfter = -1;  // for the tests: pull the camera out after this many frames
};

std::string Utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::string HresultText(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// Releases a COM interface at the end of its scope.
template <class T>
class Ref {
public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    ~Ref() {
        if (p_ != nullptr) p_->Release();
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    T** Out() { return &p_; }
    void** OutVoid() { return reinterpret_cast<void**>(&p_); }
    T* operator->() const { return p_; }
    T* Get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

struct Device {
    std::string name;
    std::string path;
    IMoniker* moniker;  // one reference, released by the session
};

// The machine with the camera plugged in and COM initialised, for one command.
class Session {
public:
    explicit Session(const DshowArguments& a) {
        std::string error;
        machine_ = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Any, &error);
        if (machine_ == nullptr) throw Failure(error);
        if (!a.noCamera) {
            qk::session::RigOptions options;
            options.camera.variant = a.variant;
            options.moduleFolder =
                a.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(a.modules);
            rig_ = qk::session::CameraRig::Start(nullptr, options, &error);
            if (rig_ == nullptr) throw Failure(error);
        }
        if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) throw Failure("COM cannot be initialised");
        HRESULT hr = qk::dshow::InstallSystemServers();
        if (FAILED(hr)) throw Failure("the system's DirectShow classes cannot be registered: " + HresultText(hr));
        Enumerate();
    }
    // Pulls the camera out now (surprise removal).
    void Unplug() {
        if (rig_) rig_->Unplug();
    }
    // Every interface goes before the camera leaves, as an application
    // lets go before the device goes.
    ~Session() {
        for (auto& d : devices_) d.moniker->Release();
        devices_.clear();
        CoFreeUnusedLibraries();
        CoUninitialize();
        if (rig_) rig_->Unplug();
    }

    const std::vector<Device>& Devices() const { return devices_; }

    // A camera by index in the list or by the beginning of its name.
    const Device& Find(const std::string& which) const {
        if (devices_.empty()) throw Failure("no camera: the video input category is empty");
        if (!which.empty() && which.find_first_not_of("0123456789") == std::string::npos) {
            size_t index = std::strtoul(which.c_str(), nullptr, 10);
            if (index < devices_.size()) return devices_[index];
            throw Failure("no camera " + which + ": there " +
                          (devices_.size() == 1 ? std::string("is 1 camera") : std::to_string(devices_.size()) + " cameras") +
                          " (0 to " + std::to_string(devices_.size() - 1) + ")");
        }
        for (const auto& d : devices_) {
            if (d.name.size() >= which.size() && strncasecmp(d.name.c_str(), which.c_str(), which.size()) == 0) return d;
        }
        throw Failure("no camera is called '" + which + "'; the cameras are: " + Names());
    }

    // The proxy filter of a camera.
    IBaseFilter* Bind(const Device& d) const {
        IBaseFilter* filter = nullptr;
        HRESULT hr = d.moniker->BindToObject(nullptr, nullptr, IID_IBaseFilter, reinterpret_cast<void**>(&filter));
        if (FAILED(hr)) throw Failure("cannot open " + d.name + ": " + HresultText(hr));
        return filter;
    }

private:
    std::string Names() const {
        std::string names;
        for (const auto& d : devices_) names += (names.empty() ? "" : ", ") + d.name;
        return names;
    }

    void Enumerate() {
        Ref<ICreateDevEnum> system;
        HRESULT hr = CoCreateInstance(CLSID_SystemDeviceEnum, nullptr, CLSCTX_INPROC_SERVER, IID_ICreateDevEnum,
                                      system.OutVoid());
        if (FAILED(hr)) throw Failure("the system device enumerator is missing: " + HresultText(hr));
        Ref<IEnumMoniker> list;
        if (system->CreateClassEnumerator(CLSID_VideoInputDeviceCategory, list.Out(), 0) != S_OK) return;
        IMoniker* moniker = nullptr;
        while (list->Next(1, &moniker, nullptr) == S_OK) {
            Device d{"", "", moniker};
            Ref<IPropertyBag> bag;
            if (SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IID_IPropertyBag, bag.OutVoid()))) {
                d.name = ReadText(bag.Get(), u"FriendlyName");
                d.path = ReadText(bag.Get(), u"DevicePath");
            }
            devices_.push_back(d);
        }
    }

    static std::string ReadText(IPropertyBag* bag, const char16_t* name) {
        VARIANT v;
        VariantInit(&v);
        std::string text;
        if (SUCCEEDED(bag->Read(name, &v, nullptr)) && v.vt == VT_BSTR) {
            text = Utf8(std::u16string(v.bstrVal, SysStringLen(v.bstrVal)));
        }
        VariantClear(&v);
        return text;
    }

    std::unique_ptr<qk::install::MachineSession> machine_;
    std::unique_ptr<qk::session::CameraRig> rig_;
    std::vector<Device> devices_;
};

IPin* CapturePin(IBaseFilter* filter) {
    Ref<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.Out()))) throw Failure("the filter lists no pins");
    IPin* pin = nullptr;
    while (pins->Next(1, &pin, nullptr) == S_OK) {
        Ref<IKsPropertySet> properties;
        GUID category = GUID_NULL;
        DWORD returned = 0;
        if (SUCCEEDED(pin->QueryInterface(IID_IKsPropertySet, properties.OutVoid())) &&
            SUCCEEDED(properties->Get(AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY, nullptr, 0, &category,
                                      sizeof category, &returned)) &&
            category == PIN_CATEGORY_CAPTURE) {
            return pin;
        }
        pin->Release();
    }
    throw Failure("the camera has no capture pin");
}

std::string SubtypeName(const GUID& subtype) {
    if (subtype == MEDIASUBTYPE_RGB24) return "RGB24";
    if (subtype == MEDIASUBTYPE_I420) return "I420";
    if (subtype == MEDIASUBTYPE_YUY2) return "YUY2";
    if (subtype == MEDIASUBTYPE_YV12) return "YV12";
    if (subtype == MEDIASUBTYPE_MJPG) return "MJPG";
    return qk::com::GuidText(subtype);
}

std::string Fps(LONGLONG interval100ns) {
    if (interval100ns <= 0) return "?";
    char text[32];
    std::snprintf(text, sizeof text, "%.4g", 1e7 / static_cast<double>(interval100ns));
    return text;
}

std::string FormatText(const AM_MEDIA_TYPE& type) {
    if (type.formattype != FORMAT_VideoInfo || type.cbFormat < sizeof(VIDEOINFOHEADER)) {
        return SubtypeName(type.subtype) + " (no picture format)";
    }
    auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type.pbFormat);
    return SubtypeName(type.subtype) + " " + std::to_string(info->bmiHeader.biWidth) + "x" +
           std::to_string(info->bmiHeader.biHeight) + " at " + Fps(info->AvgTimePerFrame) + " fps, " +
           std::to_string(info->bmiHeader.biSizeImage) + " bytes a frame";
}

void Devices(const DshowArguments& a) {
    Session session(a);
    if (session.Devices().empty()) {
        std::printf("no video input devices\n");
        return;
    }
    for (size_t i = 0; i < session.Devices().size(); ++i) {
        const auto& d = session.Devices()[i];
        std::printf("%zu  %s\n   %s\n", i, d.name.c_str(), d.path.c_str());
    }
}

void Formats(const DshowArguments& a) {
    Session session(a);
    const Device& device = session.Find(a.camera);
    Ref<IBaseFilter> filter(session.Bind(device));
    Ref<IPin> pin(CapturePin(filter.Get()));
    Ref<IAMStreamConfig> config;
    if (FAILED(pin->QueryInterface(IID_IAMStreamConfig, config.OutVoid()))) throw Failure("no IAMStreamConfig");
    int count = 0, size = 0;
    HRESULT hr = config->GetNumberOfCapabilities(&count, &size);
    if (FAILED(hr)) throw Failure("cannot count the formats: " + HresultText(hr));
    if (size != static_cast<int>(sizeof(VIDEO_STREAM_CONFIG_CAPS))) throw Failure("unexpected capability size");
    std::printf("%s: %d formats\n", device.name.c_str(), count);
    std::printf("  #  FORMAT  SIZE        FPS          BYTES/FRAME  SIZES (MIN..MAX, STEP)\n");
    for (int i = 0; i < count; ++i) {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps;
        hr = config->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps));
        if (hr != S_OK) throw Failure("cannot read format " + std::to_string(i) + ": " + HresultText(hr));
        auto* info = reinterpret_cast<const VIDEOINFOHEADER*>(type->pbFormat);
        std::string sizeText = std::to_string(info->bmiHeader.biWidth) + "x" + std::to_string(info->bmiHeader.biHeight);
        std::string fps = Fps(caps.MaxFrameInterval) + " to " + Fps(caps.MinFrameInterval);
        std::printf("%3d  %-6s  %-10s  %-11s  %11lu  %ldx%ld..%ldx%ld, %dx%d\n", i, SubtypeName(type->subtype).c_str(),
                    sizeText.c_str(), fps.c_str(), static_cast<unsigned long>(type->lSampleSize),
                    static_cast<long>(caps.MinOutputSize.cx), static_cast<long>(caps.MinOutputSize.cy),
                    static_cast<long>(caps.MaxOutputSize.cx), static_cast<long>(caps.MaxOutputSize.cy),
                    caps.OutputGranularityX, caps.OutputGranularityY);
        DeleteMediaType(type);
    }
    AM_MEDIA_TYPE* current = nullptr;
    if (SUCCEEDED(config->GetFormat(&current))) {
        std::printf("current: %s\n", FormatText(*current).c_str());
        DeleteMediaType(current);
    }
}

// ---- Controls ---------------------------------------------------------------------------------
enum class Family { ProcAmp, Camera };
struct ControlName {
    const char* name;
    Family family;
    LONG property;
};
constexpr ControlName kControls[] = {
    {"brightness", Family::ProcAmp, VideoProcAmp_Brightness},
    {"contrast", Family::ProcAmp, VideoProcAmp_Contrast},
    {"hue", Family::ProcAmp, VideoProcAmp_Hue},
    {"saturation", Family::ProcAmp, VideoProcAmp_Saturation},
    {"sharpness", Family::ProcAmp, VideoProcAmp_Sharpness},
    {"gamma", Family::ProcAmp, VideoProcAmp_Gamma},
    {"color-enable", Family::ProcAmp, VideoProcAmp_ColorEnable},
    {"white-balance", Family::ProcAmp, VideoProcAmp_WhiteBalance},
    {"backlight-compensation", Family::ProcAmp, VideoProcAmp_BacklightCompensation},
    {"gain", Family::ProcAmp, VideoProcAmp_Gain},
    {"pan", Family::Camera, CameraControl_Pan},
    {"tilt", Family::Camera, CameraControl_Tilt},
    {"roll", Family::Camera, CameraControl_Roll},
    {"zoom", Family::Camera, CameraControl_Zoom},
    {"exposure", Family::Camera, CameraControl_Exposure},
    {"iris", Family::Camera, CameraControl_Iris},
    {"focus", Family::Camera, CameraControl_Focus},
};

// Both control interfaces have the same methods; one view over either.
struct Controls {
    Ref<IAMVideoProcAmp> procAmp;
    Ref<IAMCameraControl> camera;

    explicit Controls(IBaseFilter* filter) {
        if (FAILED(filter->QueryInterface(IID_IAMVideoProcAmp, procAmp.OutVoid())) ||
            FAILED(filter->QueryInterface(IID_IAMCameraControl, camera.OutVoid()))) {
            throw Failure("the camera's filter has no VideoProcAmp or CameraControl");
        }
    }
    HRESULT GetRange(const ControlName& c, LONG* mn, LONG* mx, LONG* step, LONG* def, LONG* caps) {
        return c.family == Family::ProcAmp ? procAmp->GetRange(c.property, mn, mx, step, def, caps)
                                           : camera->GetRange(c.property, mn, mx, step, def, caps);
    }
    HRESULT Get(const ControlName& c, LONG* value, LONG* flags) {
        return c.family == Family::ProcAmp ? procAmp->Get(c.property, value, flags)
                                           : camera->Get(c.property, value, flags);
    }
    HRESULT Set(const ControlName& c, LONG value, LONG flags) {
        return c.family == Family::ProcAmp ? procAmp->Set(c.property, value, flags)
                                           : camera->Set(c.property, value, flags);
    }
};

std::string FlagsText(LONG flags) { return (flags & 1) ? "auto" : "manual"; }
std::string CapsText(LONG caps) {
    if ((caps & 3) == 3) return "auto or manual";
    return (caps & 1) ? "auto only" : "manual only";
}

void ListControls(const DshowArguments& a) {
    Session session(a);
    const Device& device = session.Find(a.camera);
    Ref<IBaseFilter> filter(session.Bind(device));
    Controls controls(filter.Get());
    std::printf("%s\n", device.name.c_str());
    std::printf("CONTROL                 INTERFACE        CURRENT            RANGE\n");
    std::string missing;
    for (const auto& c : kControls) {
        LONG mn, mx, step, def, caps;
        HRESULT hr = controls.GetRange(c, &mn, &mx, &step, &def, &caps);
        const char* family = c.family == Family::ProcAmp ? "VideoProcAmp" : "CameraControl";
        if (FAILED(hr)) {
            missing += (missing.empty() ? "" : ", ") + std::string(c.name);
            continue;
        }
        LONG value = 0, flags = 0;
        std::string current;
        hr = controls.Get(c, &value, &flags);
        current = SUCCEEDED(hr) ? std::to_string(value) + ", " + FlagsText(flags) : "failed: " + HresultText(hr);
        std::printf("%-23s %-13s/%-2ld %-18s %ld to %ld in steps of %ld, default %ld, %s\n", c.name, family,
                    static_cast<long>(c.property), current.c_str(), static_cast<long>(mn), static_cast<long>(mx),
                    static_cast<long>(step), static_cast<long>(def), CapsText(caps).c_str());
    }
    if (!missing.empty()) std::printf("not offered by this camera: %s\n", missing.c_str());
}

const ControlName& ControlNamed(const std::string& name) {
    for (const auto& c : kControls) {
        if (strcasecmp(c.name, name.c_str()) == 0) return c;
    }
    std::string names;
    for (const auto& c : kControls) names += (names.empty() ? "" : ", ") + std::string(c.name);
    throw Failure("no control is called '" + name + "'; the controls are " + names);
}

struct Assignment {
    const ControlName* control;
    bool automatic;
    LONG value;
};

// NAME=VALUE with VALUE a number or "auto"; checked before the machine starts.
std::vector<Assignment> ParseAssignments(const std::vector<std::string>& texts) {
    std::vector<Assignment> out;
    for (const auto& text : texts) {
        size_t eq = text.find('=');
        if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
            throw Failure("'" + text + "' is no NAME=VALUE (such as brightness=10 or exposure=auto)");
        }
        Assignment a{&ControlNamed(text.substr(0, eq)), false, 0};
        std::string value = text.substr(eq + 1);
        if (strcasecmp(value.c_str(), "auto") == 0) {
            a.automatic = true;
        } else {
            char* end = nullptr;
            long number = std::strtol(value.c_str(), &end, 10);
            if (end == value.c_str() || *end != '\0' || number < INT32_MIN || number > INT32_MAX) {
                throw Failure(std::string(a.control->name) + " wants a number or auto, not '" + value + "'");
            }
            a.value = static_cast<LONG>(number);
        }
        out.push_back(a);
    }
    return out;
}

void SetControls(const DshowArguments& a) {
    auto assignments = ParseAssignments(a.assignments);
    Session session(a);
    const Device& device = session.Find(a.camera);
    Ref<IBaseFilter> filter(session.Bind(device));
    Controls controls(filter.Get());
    for (const auto& s : assignments) {
        LONG mn, mx, step, def, caps;
        HRESULT hr = controls.GetRange(*s.control, &mn, &mx, &step, &def, &caps);
        if (FAILED(hr)) throw Failure(std::string(s.control->name) + " is not offered by this camera");
        LONG value = s.value, flags = 2;
        if (s.automatic) {
            if (!(caps & 1)) throw Failure(std::string(s.control->name) + " has no automatic mode");
            flags = 1;
            LONG ignored;
            controls.Get(*s.control, &value, &ignored);
        } else if (value < mn || value > mx) {
            throw Failure(std::string(s.control->name) + " goes from " + std::to_string(mn) + " to " +
                          std::to_string(mx) + ", not " + std::to_string(value));
        }
        hr = controls.Set(*s.control, value, flags);
        if (FAILED(hr)) throw Failure("the camera refused " + std::string(s.control->name) + ": " + HresultText(hr));
        LONG now = 0, nowFlags = 0;
        hr = controls.Get(*s.control, &now, &nowFlags);
        if (FAILED(hr)) throw Failure("cannot read " + std::string(s.control->name) + " back: " + HresultText(hr));
        std::printf("%s now: %ld, %s\n", s.control->name, static_cast<long>(now), FlagsText(nowFlags).c_str());
    }
}

// ---- Capture ----------------------------------------------------------------------------------
// What the renderer hands over: samples queued for the writer on the
// application's thread, so a slow disk never holds up the streaming thread
// longer than a copy.
struct Frames {
    std::mutex lock;
    std::condition_variable arrived;
    std::vector<std::vector<uint8_t>> queue;
    int taken = 0;
    int wanted = 0;
};

void Capture(const DshowArguments& a) {
    auto pixel = qk::session::ParsePixelFormat(a.format);
    if (!pixel) throw Failure("no format is called '" + a.format + "'; the formats are RGB24, I420, YUY2, YV12, MJPG");
    int width = 0, height = 0;
    char extra = 0;
    if (std::sscanf(a.size.c_str(), "%dx%d%c", &width, &height, &extra) != 2 || width <= 0 || height <= 0) {
        throw Failure("'" + a.size + "' is no size WxH (such as 640x480)");
    }
    if (a.fps <= 0 || a.fps > 1000) throw Failure("--fps wants a rate above 0");
    if (a.frames <= 0) throw Failure("--frames wants at least 1");
    if (a.output.empty()) throw Failure("-o OUT.y4m is needed");

    Session session(a);
    const Device& device = session.Find(a.camera);
    Ref<IBaseFilter> camera(session.Bind(device));
    Ref<IPin> pin(CapturePin(camera.Get()));
    Ref<IAMStreamConfig> config;
    if (FAILED(pin->QueryInterface(IID_IAMStreamConfig, config.OutVoid()))) throw Failure("no IAMStreamConfig");

    // The capability of that format and size; the rate is the caller's.
    const GUID& subtype = *qk::session::Info(*pixel).subtype;
    int count = 0, capsSize = 0;
    config->GetNumberOfCapabilities(&count, &capsSize);
    AM_MEDIA_TYPE* chosen = nullptr;
    std::string offered;
    for (int i = 0; i < count && chosen == nullptr; ++i) {
        AM_MEDIA_TYPE* type = nullptr;
        VIDEO_STREAM_CONFIG_CAPS caps;
        if (config->GetStreamCaps(i, &type, reinterpret_cast<BYTE*>(&caps)) != S_OK) continue;
        auto* info = reinterpret_cast<VIDEOINFOHEADER*>(type->pbFormat);
        if (type->subtype == subtype && info->bmiHeader.biWidth == width && info->bmiHeader.biHeight == height) {
            info->AvgTimePerFrame = static_cast<REFERENCE_TIME>(1e7 / a.fps + 0.5);
            if (info->AvgTimePerFrame < caps.MinFrameInterval || info->AvgTimePerFrame > caps.MaxFrameInterval) {
                std::string range = Fps(caps.MaxFrameInterval) + " to " + Fps(caps.MinFrameInterval);
                DeleteMediaType(type);
                throw Failure(a.format + " " + a.size + " runs at " + range + " fps, not " + Fps(static_cast<LONGLONG>(1e7 / a.fps)));
            }
            chosen = type;
        } else {
            offered += (offered.empty() ? "" : ", ") + SubtypeName(type->subtype) + " " +
                       std::to_string(info->bmiHeader.biWidth) + "x" + std::to_string(info->bmiHeader.biHeight);
            DeleteMediaType(type);
        }
    }
    if (chosen == nullptr) throw Failure("the camera does not offer " + a.format + " " + a.size + "; it offers " + offered);
    HRESULT hr = config->SetFormat(chosen);
    qk::session::ConnectionFormat format;
    format.format = *pixel;
    format.width = width;
    format.height = height;
    format.interval100ns = reinterpret_cast<VIDEOINFOHEADER*>(chosen->pbFormat)->AvgTimePerFrame;
    DeleteMediaType(chosen);
    if (FAILED(hr)) throw Failure("the camera refused the format: " + HresultText(hr));
    AM_MEDIA_TYPE* current = nullptr;
    if (FAILED(config->GetFormat(&current))) throw Failure("cannot read the format back");
    format.sampleBytes = current->lSampleSize;
    DeleteMediaType(current);

    // The graph: camera -> our renderer.
    Ref<IGraphBuilder> graph;
    hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder, graph.OutVoid());
    if (FAILED(hr)) throw Failure("no filter graph: " + HresultText(hr));
    Ref<IMediaControl> control;
    Ref<IMediaEvent> events;
    graph->QueryInterface(IID_IMediaControl, control.OutVoid());
    graph->QueryInterface(IID_IMediaEvent, events.OutVoid());
    auto frames = std::make_shared<Frames>();
    frames->wanted = a.frames;
    Ref<IBaseFilter> sink(qk::dshow::CreateCallbackRenderer(MEDIATYPE_Video, [frames](IMediaSample* sample) {
        BYTE* data = nullptr;
        sample->GetPointer(&data);
        LONG length = sample->GetActualDataLength();
        {
            std::lock_guard guard(frames->lock);
            if (frames->taken >= frames->wanted) return S_FALSE;  // enough: no more, please
            frames->queue.emplace_back(data, data + length);
            ++frames->taken;
        }
        frames->arrived.notify_all();
        return S_OK;
    }));
    if (FAILED(graph->AddFilter(camera.Get(), u"Capture")) || FAILED(graph->AddFilter(sink.Get(), u"Writer"))) {
        throw Failure("cannot build the graph");
    }
    Ref<IPin> input;
    sink->FindPin(u"In", input.Out());
    hr = graph->Connect(pin.Get(), input.Get());
    if (FAILED(hr)) throw Failure("cannot connect the camera: " + HresultText(hr));

    std::string error;
    auto writer = qk::session::VideoWriter::Create(a.output, format, &error);
    if (writer == nullptr) throw Failure(error);
    hr = control->Run();
    if (FAILED(hr)) throw Failure("the graph does not run: " + HresultText(hr));

    int written = 0;
    std::string failure;
    while (written < a.frames && failure.empty()) {
        std::vector<std::vector<uint8_t>> batch;
        {
            std::unique_lock guard(frames->lock);
            frames->arrived.wait_for(guard, std::chrono::milliseconds(100), [&] { return !frames->queue.empty(); });
            batch.swap(frames->queue);
        }
        for (auto& sample : batch) {
            if (written >= a.frames) break;
            if (!writer->Write(sample, &error)) {
                failure = error;
                break;
            }
            ++written;
            if (written == a.unplugAfter) session.Unplug();
        }
        LONG code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        while (failure.empty() && events->GetEvent(&code, &p1, &p2, 0) == S_OK) {
            if (code == EC_DEVICE_LOST) failure = "the camera was unplugged after " + std::to_string(written) + " frames";
            if (code == EC_ERRORABORT) failure = "the stream failed: " + HresultText(static_cast<HRESULT>(p1));
        }
    }
    control->Stop();
    graph->RemoveFilter(sink.Get());
    graph->RemoveFilter(camera.Get());
    bool closed = writer->Close(&error);
    if (!failure.empty()) throw Failure(failure + "; " + a.output + " holds the " + std::to_string(written) + " frames before");
    if (!closed) throw Failure(error);
    std::printf("%s: %d frames of %s %dx%d at %s fps through DirectShow into %s (%s)\n", device.name.c_str(), written,
                SubtypeName(subtype).c_str(), width, height, Fps(format.interval100ns).c_str(), a.output.c_str(),
                writer->Kind().c_str());
}

void AddDshowCommand(CLI::App& app) {
    auto a = std::make_shared<DshowArguments>();
    CLI::App* dshow = app.add_subcommand(
        "dshow", "A DirectShow application: list cameras, their formats and controls, change controls "
                 "(plugs the simulated camera in for the run)");
    dshow->add_option("--root", a->root, "System root folder (the package is installed when missing)")
        ->capture_default_str();
    dshow->add_option("--variant", a->variant, "Camera variant")->check(CLI::IsMember({1, 2}))->capture_default_str();
    dshow->add_option("--modules", a->modules,
                      "Folder of the built modules, for the installation (default: the program's own folder)");
    dshow->add_flag("--no-camera", a->noCamera, "Do not plug the simulated camera in");
    dshow->require_subcommand(1);
    dshow->fallthrough();

    dshow->add_subcommand("devices", "The video input devices: index, friendly name, device path")
        ->callback([a] { Devices(*a); });
    CLI::App* formats = dshow->add_subcommand("formats", "Every capability of the camera's IAMStreamConfig");
    formats->add_option("camera", a->camera, "CAMERA: index or the beginning of its name")->required();
    formats->callback([a] { Formats(*a); });
    CLI::App* list = dshow->add_subcommand("controls", "Every VideoProcAmp and CameraControl range and value");
    list->add_option("camera", a->camera, "CAMERA: index or the beginning of its name")->required();
    list->callback([a] { ListControls(*a); });
    CLI::App* set = dshow->add_subcommand("set", "Change controls: NAME=VALUE, VALUE a number or auto");
    set->add_option("camera", a->camera, "CAMERA: index or the beginning of its name")->required();
    set->add_option("assignments", a->assignments, "NAME=VALUE ...")->required();
    set->callback([a] { SetControls(*a); });
    CLI::App* capture = dshow->add_subcommand("capture", "Stream through a filter graph into a Y4M file");
    capture->add_option("camera", a->camera, "CAMERA: index or the beginning of its name")->required();
    capture->add_option("--format", a->format, "RGB24, I420, YUY2, YV12 or MJPG")->capture_default_str();
    capture->add_option("--size", a->size, "WxH")->capture_default_str();
    capture->add_option("--fps", a->fps, "Frames a second")->capture_default_str();
    capture->add_option("--frames", a->frames, "How many frames")->capture_default_str();
    capture->add_option("-o,--output", a->output, "OUT.y4m")->required();
    capture->add_option("--unplug-after", a->unplugAfter, "Pull the camera out after this many frames (fault test)");
    capture->callback([a] { Capture(*a); });
}

}  // namespace

QK_CLI_COMMAND(AddDshowCommand);
