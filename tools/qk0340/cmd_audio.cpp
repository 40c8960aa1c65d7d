// qk0340 audio: the camera's microphone as an application hears it. Each run
// installs the package into the root when needed, plugs the simulated audio
// devices in, lets Plug and Play build their stacks (the USB audio function
// driver with K0340Aud above it) and then lists them, records through the
// whole stack into a WAV file, or switches the filter's features through its
// control device. The switches persist in the root's registry across runs.
#include <sndfile.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "audiofilter/k0340aud.h"
#include "common/usb_ids.h"
#include "platform/audio/engine.h"
#include "platform/audio/usb_audio.h"
#include "platform/nt/kernel.h"
#include "platform/nt/pnp.h"
#include "platform/usb/usb_bus.h"
#include "sim/camera/camera.h"
#include "sim/microphone/array_codec.h"
#include "sim/microphone/sound_source.h"
#include "sim/microphone/usb_microphone.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/audio_machine.h"
#include "tools/qk0340/command_registry.h"
#include "windows.h"

namespace {

using qk::cli::Failure;

struct AudioArguments {
    std::string root = "./qk0340-root";
    std::string modules;
    bool noCamera = false;
    bool headset = false;
    std::vector<std::string> plug;  // more devices: see kPluggable
    // call
    std::string far;
    std::string source = "scene";
    // record
    int device = 0;
    double seconds = 1;
    unsigned rate = 16000;
    int channels = 2;
    std::string out;
    // features
    std::vector<std::string> switches;
};

std::string Narrow(const std::u16string& s) {
    std::string out;
    for (char16_t c : s) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

std::shared_ptr<qk::sim::SoundSource> MakeSource(const std::string& spec) {
    if (spec == "scene") return std::make_shared<qk::sim::TwoMicrophoneScene>();
    if (spec.rfind("wav:", 0) == 0) {
        try {
            return std::make_shared<qk::sim::WavSource>(spec.substr(4));
        } catch (const std::exception& e) {
            throw Failure(e.what());
        }
    }
    throw Failure("unknown source '" + spec + "'; the sources are scene and wav:FILE");
}

// The other audio devices a run can plug in, each a USB microphone of its
// own identifiers (two microphones, like the camera's).
struct Pluggable {
    const char* name;
    uint16_t vendor, product;
    const char16_t* description;
};
constexpr uint16_t kUnknownMaker = 0xFB10;  // in no table of the filter
constexpr Pluggable kPluggable[] = {
    {"sibling", qk::ids::kCameraVendorId, 0x0341, u"Sibling Microphone"},
    {"d9", qk::ids::kPartnerVendorD, 9, u"Partner Microphone 9"},
    {"d10", qk::ids::kPartnerVendorD, 10, u"Partner Microphone 10"},
    {"usbmic", kUnknownMaker, 0x0001, u"USB Microphone"},
};

// Not a USB microphone: the two-microphone array codec on the
// high-definition audio bus.
constexpr char kCodecName[] = "codec";

std::string PluggableNames() {
    std::string names;
    for (const auto& p : kPluggable) names += std::string(names.empty() ? "" : ", ") + p.name;
    return names + ", " + kCodecName;
}

const Pluggable& PluggableNamed(const std::string& name) {
    for (const auto& p : kPluggable) {
        if (name == p.name) return p;
    }
    throw Failure("unknown device '" + name + "'; --plug takes " + PluggableNames());
}

// The machine with the package installed and the audio devices plugged in.
class AudioRig {
public:
    explicit AudioRig(const AudioArguments& a) : machine_((CheckPlugs(a), a.root), a.modules) {
        if (!a.noCamera) {
            auto source = MakeSource(a.source);
            Plug(std::make_shared<qk::sim::Camera>(qk::sim::CameraConfig{}, nullptr, source));
        }
        if (a.headset) {
            // Partner vendor E's headset: its microphones hear a talker and,
            // through the room, what its loudspeaker plays.
            auto room = std::make_shared<qk::sim::TwoMicrophoneScene>(
                qk::sim::SceneParameters{}, qk::sim::kSceneEcho | qk::sim::kSceneTalker);
            qk::sim::UsbMicrophoneConfig config{
                .vendorId = qk::ids::kPartnerVendorE, .productId = 1, .product = u"USB Headset", .speaker = true};
            Plug(std::make_shared<qk::sim::UsbMicrophone>(config, room));
        }
        for (const auto& name : a.plug) {
            if (name == kCodecName) {
                machine_.Plug(std::make_shared<qk::sim::ArrayCodec>(qk::sim::ArrayCodecConfig{}, MakeSource(a.source)));
                continue;
            }
            const Pluggable& p = PluggableNamed(name);
            qk::sim::UsbMicrophoneConfig config{.vendorId = p.vendor, .productId = p.product, .product = p.description};
            Plug(std::make_shared<qk::sim::UsbMicrophone>(config, MakeSource(a.source)));
        }
    }
private:
    static void CheckPlugs(const AudioArguments& a) {
        for (const auto& name : a.plug) {
            if (name != kCodecName) PluggableNamed(name);  // refused before anything starts
        }
    }
    void Plug(std::shared_ptr<qk::usb::Device> device) { machine_.Plug(std::move(device)); }
    qk::cli::AudioMachine machine_;
};

// ---- The control device ------------------------------------------------------------------------------

class ControlDevice {
public:
    explicit ControlDevice(DWORD flags = 0) {
        handle_ = CreateFileW(reinterpret_cast<LPCWSTR>(k0340aud::kControlUserPath), GENERIC_READ | GENERIC_WRITE, 0,
                              nullptr, OPEN_EXISTING, flags, nullptr);
        if (handle_ == INVALID_HANDLE_VALUE) {
            throw Failure("the audio filter's control device is not there (no device with K0340Aud above it)");
        }
    }
    ~ControlDevice() { CloseHandle(handle_); }
    DWORD Call(uint32_t code, const void* in, DWORD inBytes, void* out, DWORD outBytes) {
        DWORD returned = 0;
        if (!DeviceIoControl(handle_, code, const_cast<void*>(in), inBytes, out, outBytes, &returned, nullptr)) {
            throw Failure("the control device refused request 0x" + Hex(code));
        }
        return returned;
    }
    k0340aud::FeatureRequest Feature(uint32_t feature) {
        k0340aud::FeatureRequest r{};
        r.feature = feature;
        Call(k0340aud::IOCTL_AUDFLT_GET_FEATURE, &r, sizeof r, &r, sizeof r);
        return r;
    }
    HANDLE Handle() const { return handle_; }

private:
    static std::string Hex(uint32_t v) {
        char text[16];
        std::snprintf(text, sizeof text, "%X", v);
        return text;
    }
    HANDLE handle_;
};

struct FeatureName {
    const char* name;
    uint32_t number;
};
constexpr FeatureName kFeatures[] = {
    {"noiseguard", k0340aud::FEATURE_NOISEGUARD},
    {"bfa", k0340aud::FEATURE_BFA},
    {"echoquell", k0340aud::FEATURE_ECHOQUELL},
    {"bfa3", k0340aud::FEATURE_BFA3},
};

void PrintFeatures(ControlDevice& control) {
    for (const auto& f : kFeatures) {
        auto r = control.Feature(f.number);
        std::printf("  %-10s %s%s\n", f.name, r.enabled ? "on" : "off", r.available ? "" : " (not available)");
    }
}

// ---- Commands -------------------------------------------------------------------------------------------

void Devices(const AudioArguments& a) {
    AudioRig rig(a);
    auto filters = qk::audio::AudioFilters();
    if (filters.empty()) throw Failure("no audio device is there");
    for (size_t i = 0; i < filters.size(); ++i) {
        const auto& f = filters[i];
        std::printf("%zu: %s\n", i, Narrow(f.instance).c_str());
        if (f.capture) {
            std::printf("   capture: %lu channel(s), %lu-bit, %lu-%lu Hz\n",
                        static_cast<unsigned long>(f.captureRange.MaximumChannels),
                        static_cast<unsigned long>(f.captureRange.MaximumBitsPerSample),
                        static_cast<unsigned long>(f.captureRange.MinimumSampleFrequency),
                        static_cast<unsigned long>(f.captureRange.MaximumSampleFrequency));
        }
        if (f.render) {
            std::printf("   render:  %lu channel(s), %lu-bit, %lu-%lu Hz\n",
                        static_cast<unsigned long>(f.renderRange.MaximumChannels),
                        static_cast<unsigned long>(f.renderRange.MaximumBitsPerSample),
                        static_cast<unsigned long>(f.renderRange.MinimumSampleFrequency),
                        static_cast<unsigned long>(f.renderRange.MaximumSampleFrequency));
        }
    }
    HANDLE probe = CreateFileW(reinterpret_cast<LPCWSTR>(k0340aud::kControlUserPath), GENERIC_READ, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        std::printf("K0340Aud: not loaded (no device has it above)\n");
        return;
    }
    CloseHandle(probe);
    ControlDevice control;
    uint32_t count = 0;
    control.Call(k0340aud::IOCTL_AUDFLT_GET_DEVICE_COUNT, nullptr, 0, &count, sizeof count);
    std::printf("K0340Aud: %u device(s) filtered\n", count);
    for (uint32_t i = 0; i < count; ++i) {
        uint8_t descriptor[18] = {static_cast<uint8_t>(i)};
        if (control.Call(k0340aud::IOCTL_AUDFLT_GET_DEVICE_DESCRIPTOR, descriptor, 1, descriptor, sizeof descriptor) !=
            sizeof descriptor) {
            std::printf("  filter device %u: not started\n", i);
            continue;
        }
        const uint16_t vendor = uint16_t(descriptor[8] | descriptor[9] << 8);
        const uint16_t product = uint16_t(descriptor[10] | descriptor[11] << 8);
        std::printf("  filter device %u: VID_%04X PID_%04X, profile %s\n", i, vendor, product,
                    k0340aud::ProfileName(k0340aud::ProfileOf(vendor, product)));
    }
    uint32_t codec = 0;
    control.Call(k0340aud::IOCTL_AUDFLT_HAS_ARRAY_CODEC, nullptr, 0, &codec, sizeof codec);
    if (codec != 0) {
        uint32_t installed = 0;
        control.Call(k0340aud::IOCTL_AUDFLT_GET_ARRAY_INSTALLED, nullptr, 0, &installed, sizeof installed);
        std::printf("array codec: present, beam array %s\n", installed ? "installed" : "not installed");
    }
    std::printf("features (all devices):\n");
    PrintFeatures(control);
}

void WriteWav(const std::string& path, const std::vector<int16_t>& pcm, unsigned rate, int channels) {
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = channels;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw Failure("cannot write " + path + ": " + sf_strerror(nullptr));
    const sf_count_t frames = static_cast<sf_count_t>(pcm.size() / static_cast<size_t>(channels));
    const sf_count_t done = sf_writef_short(file, pcm.data(), frames);
    sf_close(file);
    if (done != frames) {
        std::filesystem::remove(path);
        throw Failure("cannot write " + path + ": the disk took only part of it");
    }
}

void Features(const AudioArguments& a) {
    std::vector<std::pair<uint32_t, uint32_t>> wanted;
    for (const auto& s : a.switches) {
        const auto eq = s.find('=');
        const std::string name = s.substr(0, eq), value = eq == std::string::npos ? "" : s.substr(eq + 1);
        auto f = std::find_if(std::begin(kFeatures), std::end(kFeatures), [&](const FeatureName& n) { return name == n.name; });
        if (f == std::end(kFeatures)) throw Failure("unknown feature '" + name + "'; the features are noiseguard, bfa, echoquell, bfa3");
        if (value != "on" && value != "off") throw Failure("'" + s + "': say NAME=on or NAME=off");
        wanted.emplace_back(f->number, value == "on" ? 1u : 0u);
    }
    AudioRig rig(a);
    ControlDevice control;
    for (auto [feature, on] : wanted) {
        k0340aud::FeatureRequest r{};
        r.feature = feature;
        r.enabled = on;
        control.Call(k0340aud::IOCTL_AUDFLT_SET_FEATURE, &r, sizeof r, nullptr, 0);
    }
    PrintFeatures(control);
}

// Opens device `a.device`'s microphone for a recording in the tool's format.
std::unique_ptr<qk::audio::Stream> OpenMicrophone(const AudioArguments& a) {
    auto filters = qk::audio::AudioFilters();
    if (filters.empty()) throw Failure("no audio device is there");
    if (a.device < 0 || static_cast<size_t>(a.device) >= filters.size()) {
        throw Failure("there is no device " + std::to_string(a.device) + " (" + std::to_string(filters.size()) +
                      " audio device(s); see qk0340 audio devices)");
    }
    const auto& filter = filters[static_cast<size_t>(a.device)];
    if (!filter.capture) throw Failure("device " + std::to_string(a.device) + " has no microphone");
    qk::audio::Format format{a.rate, static_cast<USHORT>(a.channels), 16};
    std::unique_ptr<qk::audio::Stream> stream;
    NTSTATUS status = qk::audio::Stream::Open(filter.link, qk::audio::kCapturePin, format, {}, &stream);
    if (status == STATUS_NO_MATCH) {
        throw Failure("the device does not record " + std::to_string(a.rate) + " Hz with " + std::to_string(a.channels) +
                      " channel(s) (refused by the device or by the filter's rules)");
    }
    if (!NT_SUCCESS(status)) throw Failure("cannot open the microphone (status " + std::to_string(status) + ")");
    return stream;
}

void CheckRecordArguments(const AudioArguments& a) {
    if (!(a.seconds > 0) || a.seconds > 3600) throw Failure("--seconds must be positive (at most 3600)");
    if (a.channels < 1 || a.channels > 2) throw Failure("--channels must be 1 or 2");
    if (a.rate < 1000 || a.rate > 192000) throw Failure("--rate must be 1000 to 192000 Hz");
}

// Records on a thread of its own while `watch` runs on the caller's, every
// 100 ms with the time so far, until the recording ends.
void RecordWhile(const AudioArguments& a, const std::function<void(double)>& watch) {
    auto stream = OpenMicrophone(a);
    std::vector<int16_t> pcm;
    std::atomic<bool> done{false};
    NTSTATUS status = STATUS_SUCCESS;
    std::thread recorder([&] {
        status = stream->Record(static_cast<size_t>(a.seconds * a.rate + 0.5), &pcm);
        done = true;
    });
    const auto start = std::chrono::steady_clock::now();
    while (!done) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        watch(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    recorder.join();
    if (!NT_SUCCESS(status)) throw Failure("the recording failed (status " + std::to_string(status) + ")");
}

void Levels(const AudioArguments& a) {
    CheckRecordArguments(a);
    AudioRig rig(a);
    ControlDevice control;
    control.Call(k0340aud::IOCTL_AUDFLT_ENABLE_METERS, nullptr, 0, nullptr, 0);
    RecordWhile(a, [&](double t) {
        uint32_t which = 1;  // the capture meter
        uint32_t peak = 0;
        uint8_t buffer[4];
        std::memcpy(buffer, &which, 4);
        control.Call(k0340aud::IOCTL_AUDFLT_GET_LEVEL, buffer, 4, buffer, 4);
        std::memcpy(&peak, buffer, 4);
        std::printf("%5.1f s  capture peak %d\n", t, static_cast<int32_t>(peak));
    });
}

void Events(const AudioArguments& a) {
    CheckRecordArguments(a);
    AudioRig rig(a);
    ControlDevice control(FILE_FLAG_OVERLAPPED);
    OVERLAPPED ov{};
    ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    uint32_t buffer[2];
    auto post = [&] {
        buffer[0] = k0340aud::kWaitCaptureEvents | k0340aud::kWaitRenderEvents | k0340aud::kWaitDeviceEvents;
        buffer[1] = 0;
        ResetEvent(ov.hEvent);
        if (!DeviceIoControl(control.Handle(), k0340aud::IOCTL_AUDFLT_WAIT_EVENT, buffer, 8, buffer, 8, nullptr, &ov) &&
            GetLastError() != ERROR_IO_PENDING) {
            throw Failure("the control device refused to wait for events");
        }
    };
    auto take = [&](double t) {
        DWORD returned = 0;
        while (WaitForSingleObject(ov.hEvent, 0) == WAIT_OBJECT_0) {
            if (!GetOverlappedResult(control.Handle(), &ov, &returned, FALSE) || returned < 8) break;
            const char* what = "released";
            if (buffer[0] == k0340aud::kEventStream) {
                static const char* kStream[] = {"?", "capture started", "render started", "capture stopped", "render stopped"};
                what = buffer[1] <= 4 ? kStream[buffer[1]] : "stream";
            } else if (buffer[0] == k0340aud::kEventDevices) {
                what = "devices changed";
            }
            std::printf("%5.1f s  %s (%u)\n", t, what, buffer[1]);
            post();
        }
    };
    post();
    RecordWhile(a, take);
    // The stop comes as the recording ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    take(a.seconds);
    CloseHandle(ov.hEvent);
}

void Record(const AudioArguments& a) {
    if (a.out.empty()) throw Failure("-o OUT.wav is needed");
    CheckRecordArguments(a);
    AudioRig rig(a);
    auto stream = OpenMicrophone(a);
    std::vector<int16_t> pcm;
    NTSTATUS status = stream->Record(static_cast<size_t>(a.seconds * a.rate + 0.5), &pcm);
    const auto& stats = stream->Stats();
    if (!NT_SUCCESS(status)) throw Failure("the recording failed (status " + std::to_string(status) + ")");
    if (stats.completed != stats.queued) throw Failure("a read request never came back");
    WriteWav(a.out, pcm, a.rate, a.channels);
    std::printf("recorded %zu frames at %u Hz, %d channel(s) into %s (%llu reads)\n", pcm.size() / size_t(a.channels),
                a.rate, a.channels, a.out.c_str(), static_cast<unsigned long long>(stats.queued));
}

std::vector<int16_t> ReadWav(const std::string& path, SF_INFO* info) {
    *info = SF_INFO{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, info);
    if (file == nullptr) throw Failure("cannot read sound file " + path + ": " + sf_strerror(nullptr));
    if (info->channels < 1 || info->channels > 2 || info->frames <= 0 || info->frames > sf_count_t{48000} * 3600) {
        sf_close(file);
        throw Failure(path + ": a far end is one or two channels of at most an hour");
    }
    std::vector<int16_t> pcm(static_cast<size_t>(info->frames) * static_cast<size_t>(info->channels));
    const sf_count_t got = sf_readf_short(file, pcm.data(), info->frames);
    sf_close(file);
    pcm.resize(static_cast<size_t>(std::max<sf_count_t>(got, 0)) * static_cast<size_t>(info->channels));
    return pcm;
}

void Call(const AudioArguments& a) {
    if (a.out.empty()) throw Failure("-o OUT.wav is needed");
    if (a.far.empty()) throw Failure("--far FAR.wav is needed");
    SF_INFO info;
    std::vector<int16_t> far = ReadWav(a.far, &info);
    const auto rate = static_cast<ULONG>(info.samplerate);
    const auto channels = static_cast<USHORT>(info.channels);
    AudioArguments args = a;
    args.headset = true;
    AudioRig rig(args);
    auto filters = qk::audio::AudioFilters();
    auto speakerDevice = std::find_if(filters.begin(), filters.end(), [](const auto& f) { return f.render && f.capture; });
    if (speakerDevice == filters.end()) throw Failure("no audio device with a loudspeaker is there");
    // The audio engine offers a render format again when the filter refuses
    // it; the filter takes a rate the engine insists on the seventh time.
    std::unique_ptr<qk::audio::Stream> speaker, mic;
    NTSTATUS status = STATUS_NO_MATCH;
    for (int attempt = 0; attempt < 7 && status == STATUS_NO_MATCH; ++attempt) {
        status = qk::audio::Stream::Open(speakerDevice->link, qk::audio::kRenderPin, {rate, channels, 16}, {}, &speaker);
    }
    if (!NT_SUCCESS(status)) throw Failure("the loudspeaker does not play " + std::to_string(rate) + " Hz");
    status = qk::audio::Stream::Open(speakerDevice->link, qk::audio::kCapturePin, {rate, 2, 16}, {}, &mic);
    if (!NT_SUCCESS(status)) {
        throw Failure("the headset's microphones do not record " + std::to_string(rate) +
                      " Hz stereo (with EchoQuell on, only its echo rate)");
    }
    NTSTATUS played = STATUS_SUCCESS;
    std::thread player([&] { played = speaker->Play(far); });
    std::vector<int16_t> pcm;
    status = mic->Record(static_cast<size_t>(info.frames), &pcm);
    player.join();
    if (!NT_SUCCESS(status)) throw Failure("the recording failed (status " + std::to_string(status) + ")");
    if (!NT_SUCCESS(played)) throw Failure("the far end could not be played (status " + std::to_string(played) + ")");
    int32_t delay = -1;
    uint32_t reduction = 0;
    bool cancelling = false;
    {
        ControlDevice control;
        cancelling = control.Feature(k0340aud::FEATURE_ECHOQUELL).enabled != 0;
        control.Call(k0340aud::IOCTL_AUDFLT_GET_ECHO_DELAY, nullptr, 0, &delay, 4);
        control.Call(k0340aud::IOCTL_AUDFLT_GET_ECHO_REDUCTION, nullptr, 0, &reduction, 4);
    }
    speaker.reset();
    mic.reset();
    WriteWav(a.out, pcm, rate, 2);
    std::printf("call at %lu Hz: played %lld frames, recorded %zu into %s\n", static_cast<unsigned long>(rate),
                static_cast<long long>(info.frames), pcm.size() / 2, a.out.c_str());
    if (cancelling && delay >= 0) {
        std::printf("echo canceller: delay %d samples (%.1f ms), echo reduction %u %%\n", delay, delay * 1000.0 / rate,
                    reduction);
    } else {
        std::printf("echo canceller: not running (qk0340 audio features echoquell=on switches it on)\n");
    }
}

void AddAudioCommands(CLI::App& app) {
    auto args = std::make_shared<AudioArguments>();
    auto* audio = app.add_subcommand("audio", "Record from the camera's microphone through the audio filter");
    audio->require_subcommand(1);
    audio->add_option("--root", args->root, "System root (created when missing)");
    audio->add_option("--modules", args->modules, "Folder of the built driver modules (default: beside the tool)");
    audio->add_flag("--no-camera", args->noCamera, "Plug no camera in");
    audio->add_option("--source", args->source, "What the camera's microphones hear: scene, or wav:FILE");
    audio->add_flag("--headset", args->headset, "Also plug a headset with a loudspeaker (partner vendor E)");
    audio->add_option("--plug", args->plug,
                      "Also plug these microphones (repeatable): sibling (another product of the camera's maker), "
                      "d9, d10 (partner vendor D's products 9 and 10), usbmic (a maker the filter does not know), "
                      "codec (a microphone array codec on the high-definition audio bus)");

    auto* devices = audio->add_subcommand("devices", "List the audio devices, their formats and the filter's features");
    devices->callback([args] { Devices(*args); });

    auto* record = audio->add_subcommand("record", "Record through the filter into a WAV file");
    record->add_option("--device", args->device, "Device number (qk0340 audio devices)");
    record->add_option("--seconds", args->seconds, "Length");
    record->add_option("--rate", args->rate, "Sample rate (Hz)");
    record->add_option("--channels", args->channels, "1 or 2");
    record->add_option("-o,--out", args->out, "Output WAV file")->required();
    record->callback([args] { Record(*args); });

    auto* features = audio->add_subcommand("features", "Show the filter's features, or switch them: NAME=on|off ...");
    features->add_option("switches", args->switches, "noiseguard, bfa, echoquell, bfa3 with =on or =off");
    features->callback([args] { Features(*args); });

    auto* levels = audio->add_subcommand("levels", "Record and show the filter's capture meter every 100 ms");
    auto* events = audio->add_subcommand("events", "Record and show the stream events the control device signals");
    for (auto* c : {levels, events}) {
        c->add_option("--device", args->device, "Device number (qk0340 audio devices)");
        c->add_option("--seconds", args->seconds, "Length");
        c->add_option("--rate", args->rate, "Sample rate (Hz)");
        c->add_option("--channels", args->channels, "1 or 2");
    }
    levels->callback([args] { Levels(*args); });

    auto* call = audio->add_subcommand("call", "Play a far end through the headset's loudspeaker while recording its microphones");
    call->add_option("--far", args->far, "The far end (WAV)")->required();
    call->add_option("-o,--out", args->out, "Output WAV file")->required();
    call->callback([args] { Call(*args); });
    events->callback([args] { Events(*args); });
}

QK_CLI_COMMAND(AddAudioCommands);

}  // namespace
