// qk0340 dsp run|eval: one signal-processing stage over a sound file, and the
// evaluation of all stages on the synthetic scenes against SpeexDSP.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "audiofilter/k0340aud.h"
#include "platform/audio/engine.h"
#include "common/usb_ids.h"
#include "sim/camera/camera.h"
#include "sim/microphone/usb_microphone.h"
#include "sim/microphone/sound_source.h"
#include "tools/dsp_eval/espeak_speech.h"
#include "tools/dsp_eval/evaluation.h"
#include "tools/dsp_eval/speech_evaluation.h"
#include "tools/qk0340/audio_machine.h"
#include "windows.h"
#include "tools/dsp_eval/feature_runner.h"
#include "tools/dsp_eval/sound_file.h"
#include "tools/qk0340/command_registry.h"
#include "tools/qk0340/progress.h"

namespace {

struct RunOptions {
    std::string feature, in, ref, out;
    long delay = -1;
};

void Run(const RunOptions& o) {
    qk::dsp::Feature feature;
    if (!qk::dsp::ParseFeature(o.feature, feature))
        throw qk::cli::Failure("unknown feature '" + o.feature + "' (noiseguard, bfa, bfa3, echoquell)");
    qk::dsp::Sound mic, ref, out;
    if (std::string e = qk::dsp::ReadSound(o.in, mic); !e.empty()) throw qk::cli::Failure(o.in + ": " + e);
    if (!o.ref.empty())
        if (std::string e = qk::dsp::ReadSound(o.ref, ref); !e.empty()) throw qk::cli::Failure(o.ref + ": " + e);
    if ((feature == qk::dsp::Feature::kBfa || feature == qk::dsp::Feature::kBfa3) && mic.channels != 2)
        std::fprintf(stderr, "qk0340: note: %s is mono; running NoiseGuard instead\n", o.in.c_str());
    qk::cli::Progress progress("dsp " + o.feature, mic.frames());
    std::string e = qk::dsp::RunFeature(feature, mic, o.ref.empty() ? nullptr : &ref, out,
                                        [&](size_t done, size_t) { progress.Update(done); }, o.delay);
    progress.Finish();
    if (!e.empty()) throw qk::cli::Failure(e);
    if (std::string w = qk::dsp::WriteSound(o.out, out); !w.empty()) throw qk::cli::Failure(w);
    std::printf("%s: %zu frames at %d Hz -> %s (mono)\n", o.feature.c_str(), out.frames(), out.rateHz, o.out.c_str());
}

void Eval(double seconds, bool linearEcho, uint32_t variant) {
    std::vector<int> rates = {8000, 16000, 44100, 48000};
    qk::cli::Progress progress("dsp eval", rates.size() * 4);
    auto rows =
        qk::dsp::Evaluate(rates, seconds, [&](size_t done, size_t) { progress.Update(done); }, !linearEcho, variant);
    progress.Finish();
    std::printf("%-10s %6s  %-58s %9s %9s\n", "stage", "rate", "figure", "ours", "SpeexDSP");
    for (const auto& r : rows) {
        if (std::isnan(r.anchor))
            std::printf("%-10s %6d  %-58s %9.1f %9s\n", r.stage.c_str(), r.rateHz, r.figure.c_str(), r.ours, "-");
        else
            std::printf("%-10s %6d  %-58s %9.1f %9.1f\n", r.stage.c_str(), r.rateHz, r.figure.c_str(), r.ours, r.anchor);
    }
    std::printf("(measured delay: the SpeexDSP column holds the true delay)\n");
}

// ---- Speech scenes through the driver ------------------------------------------------------------

// What the camera's microphones hear: silence until a scene is armed, then
// the scene from the first frame the device asks for after that, then silence.
class ArmedScene : public qk::sim::SoundSource {
public:
    void Arm(const qk::dsp::Sound& stereo) {
        std::lock_guard guard(lock_);
        scene_ = stereo;
        base_ = -1;
    }
    void Capture(int rateHz, int64_t start, std::span<float> interleaved) override {
        std::lock_guard guard(lock_);
        std::fill(interleaved.begin(), interleaved.end(), 0.0f);
        if (scene_.samples.empty() || rateHz != scene_.rateHz) return;
        if (base_ < 0) base_ = start;
        for (size_t i = 0; i < interleaved.size() / 2; ++i) {
            const int64_t at = start - base_ + int64_t(i);
            if (at < 0 || size_t(at) >= scene_.frames()) continue;
            interleaved[2 * i] = scene_.samples[2 * size_t(at)] / 32768.0f;
            interleaved[2 * i + 1] = scene_.samples[2 * size_t(at) + 1] / 32768.0f;
        }
    }
    std::string Describe() const override { return "speech scene"; }

private:
    std::mutex lock_;  // the device's thread renders while the evaluation arms
    qk::dsp::Sound scene_;
    int64_t base_ = -1;
};

// The headset's room: its microphones hear what its loudspeaker played through
// an armed scene's echo paths, from the first frame played after arming.
class EchoRoom : public qk::sim::SoundSource {
public:
    void Arm(const qk::dsp::CallRoom& room) {
        std::lock_guard guard(lock_);
        for (int c = 0; c < 2; ++c) path_[c] = room.echoPath[c];
        played_.clear();
        base_ = -1;
    }
    void Play(int, int64_t start, std::span<const float> interleaved) override {
        std::lock_guard guard(lock_);
        if (base_ < 0) base_ = start;
        if (start < base_) return;
        const size_t at = size_t(start - base_), frames = interleaved.size() / 2;
        if (played_.size() < at + frames) played_.resize(at + frames, 0.0f);
        for (size_t i = 0; i < frames; ++i) played_[at + i] = 0.5f * (interleaved[2 * i] + interleaved[2 * i + 1]);
    }
    void Capture(int, int64_t start, std::span<float> interleaved) override {
        std::lock_guard guard(lock_);
        for (size_t i = 0; i < interleaved.size() / 2; ++i) {
            const int64_t t = start + int64_t(i) - base_;
            for (int c = 0; c < 2; ++c) {
                double acc = 0;
                const auto& h = path_[c];
                for (size_t k = 0; base_ >= 0 && k < h.size() && int64_t(k) <= t; ++k) {
                    const size_t at = size_t(t - int64_t(k));
                    if (at < played_.size() && h[k] != 0.0f) acc += double(h[k]) * played_[at];
                }
                interleaved[2 * i + size_t(c)] = float(acc);
            }
        }
    }
    std::string Describe() const override { return "echo room"; }

private:
    std::mutex lock_;  // the bus renders and plays while the evaluation arms
    std::vector<float> path_[2];
    std::vector<float> played_;  // mono, from frame base_ on
    int64_t base_ = -1;
};

// The camera on a machine of its own, recorded through K0340Aud on a stepped
// clock (far faster than real time; nothing is dropped, which is checked).
class DriverRunner {
public:
    explicit DriverRunner(const std::string& root)
        : machine_(root, {}), scene_(std::make_shared<ArmedScene>()), room_(std::make_shared<EchoRoom>()) {
        machine_.Plug(std::make_shared<qk::sim::Camera>(qk::sim::CameraConfig{}, nullptr, scene_));
        qk::sim::UsbMicrophoneConfig headset{
            .vendorId = qk::ids::kPartnerVendorE, .productId = 1, .product = u"USB Headset", .speaker = true};
        machine_.Plug(std::make_shared<qk::sim::UsbMicrophone>(headset, room_));
        for (const auto& f : qk::audio::AudioFilters()) {
            if (f.instance.find(u"VID_FA57") != std::u16string::npos) link_ = f.link;
            if (f.instance.find(u"VID_FA05") != std::u16string::npos && f.render) headsetLink_ = f.link;
        }
        if (link_.empty() || headsetLink_.empty()) throw qk::cli::Failure("the camera or the headset did not come up");
    }

    // A call on the headset: the far end played while the microphones record.
    std::string Call(const qk::dsp::CallRoom& room, bool cancel, qk::dsp::Sound* out) {
        if (std::string e = Switch(cancel ? qk::dsp::Feature::kEchoQuell : qk::dsp::Feature::kNoiseGuard, true);
            !e.empty()) {
            return e;
        }
        const ULONG rate = ULONG(room.rateHz);
        const size_t frames = room.farEnd.size();
        std::vector<int16_t> far;
        for (float v : room.farEnd) far.insert(far.end(), 2, int16_t(std::clamp(v, -32767.0f, 32767.0f)));
        room_->Arm(room);
        std::unique_ptr<qk::audio::Stream> speaker, mic;
        NTSTATUS status = STATUS_NO_MATCH;
        // As the system's engine does: a refused render format is offered again
        // (with EchoQuell on, the filter takes a new echo rate at the seventh).
        for (int attempt = 0; attempt < 7 && status == STATUS_NO_MATCH; ++attempt) {
            status = qk::audio::Stream::Open(headsetLink_, qk::audio::kRenderPin, {rate, 2, 16}, {}, &speaker);
        }
        if (!NT_SUCCESS(status)) return "the loudspeaker did not open (status " + std::to_string(status) + ")";
        status = qk::audio::Stream::Open(headsetLink_, qk::audio::kCapturePin, {rate, 2, 16}, {}, &mic);
        if (!NT_SUCCESS(status)) return "the headset's microphones did not open (status " + std::to_string(status) + ")";
        auto& kernel = qk::nt::Kernel::Get();
        kernel.TheClock().SetManual();
        std::atomic<bool> played{false};
        NTSTATUS playStatus = STATUS_PENDING;
        std::thread player([&] {
            playStatus = speaker->Play(far, [] { std::this_thread::sleep_for(std::chrono::microseconds(200)); }, 600000);
            played = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        auto step = [&kernel] {
            kernel.Advance(qk::nt::kMillisecond);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        };
        std::vector<int16_t> pcm;
        status = mic->Record(frames, &pcm, step, 600000);
        while (!played) step();
        player.join();
        speaker.reset();
        mic.reset();
        kernel.TheClock().SetRealTime();
        if (!NT_SUCCESS(status)) return "the call's recording failed (status " + std::to_string(status) + ")";
        if (!NT_SUCCESS(playStatus)) return "the far end did not play (status " + std::to_string(playStatus) + ")";
        out->rateHz = int(rate);
        out->channels = 1;
        out->samples.resize(pcm.size() / 2);
        for (size_t i = 0; i < out->samples.size(); ++i) out->samples[i] = pcm[2 * i];
        return {};
    }
    std::string Capture(qk::dsp::Feature feature, const qk::dsp::Sound& mic, qk::dsp::Sound* out) {
        if (std::string e = Switch(feature, false); !e.empty()) return e;
        const uint64_t dropped = qk::audio::ReadCounters().captureBytesDropped;
        scene_->Arm(mic);
        std::unique_ptr<qk::audio::Stream> stream;
        NTSTATUS status =
            qk::audio::Stream::Open(link_, qk::audio::kCapturePin, {ULONG(mic.rateHz), 2, 16}, {}, &stream);
        if (!NT_SUCCESS(status)) return "the capture pin did not open (status " + std::to_string(status) + ")";
        std::vector<int16_t> pcm;
        auto& kernel = qk::nt::Kernel::Get();
        auto step = [&kernel] {
            kernel.Advance(qk::nt::kMillisecond);
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        };
        kernel.TheClock().SetManual();
        status = stream->Record(mic.frames() + size_t(mic.rateHz) / 4, &pcm, step, 600000);
        stream.reset();
        kernel.TheClock().SetRealTime();
        if (!NT_SUCCESS(status)) return "the recording failed (status " + std::to_string(status) + ")";
        if (qk::audio::ReadCounters().captureBytesDropped != dropped) return "the recording lost samples";
        out->rateHz = mic.rateHz;
        out->channels = 1;
        out->samples.resize(pcm.size() / 2);
        for (size_t i = 0; i < out->samples.size(); ++i) out->samples[i] = pcm[2 * i];
        return {};
    }

private:
    // Only `feature` on (with `alone` false, NoiseGuard for EchoQuell's calls: none at all).
    std::string Switch(qk::dsp::Feature feature, bool call) {
        using qk::dsp::Feature;
        HANDLE control = CreateFileW(reinterpret_cast<LPCWSTR>(k0340aud::kControlUserPath), GENERIC_READ | GENERIC_WRITE,
                                     0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (control == INVALID_HANDLE_VALUE) return "the filter's control device is not there";
        const std::pair<uint32_t, bool> wanted[] = {
            {k0340aud::FEATURE_ECHOQUELL, feature == Feature::kEchoQuell},
            {k0340aud::FEATURE_NOISEGUARD, feature == Feature::kNoiseGuard && !call},
            {k0340aud::FEATURE_BFA, feature == Feature::kBfa},
            {k0340aud::FEATURE_BFA3, feature == Feature::kBfa3},
        };
        bool ok = true;
        for (bool on : {false, true}) {  // everything off first: switching one on turns others off
            for (auto [number, wantOn] : wanted) {
                if (wantOn != on) continue;
                k0340aud::FeatureRequest r{};
                r.feature = number;
                r.enabled = on;
                DWORD returned = 0;
                ok &= DeviceIoControl(control, k0340aud::IOCTL_AUDFLT_SET_FEATURE, &r, sizeof r, nullptr, 0, &returned,
                                      nullptr) != FALSE;
            }
        }
        CloseHandle(control);
        return ok ? std::string() : "the filter refused a feature switch";
    }
    qk::cli::AudioMachine machine_;
    std::shared_ptr<ArmedScene> scene_;
    std::shared_ptr<EchoRoom> room_;
    std::u16string link_, headsetLink_;
};

void SpeechEval(double seconds, bool throughDriver, const std::string& root) {
    std::vector<int> rates = {16000, 48000};
    std::unique_ptr<DriverRunner> runner;
    std::filesystem::path temporary;
    if (throughDriver) {
        std::string where = root;
        if (where.empty()) {
            temporary = std::filesystem::temp_directory_path() / ("qk-speech-eval-" + std::to_string(::getpid()));
            where = temporary.string();
        }
        runner = std::make_unique<DriverRunner>(where);
    }
    qk::dsp::DriverCapture capture;
    qk::dsp::DriverCall call;
    if (runner) {
        capture = [&](qk::dsp::Feature f, const qk::dsp::Sound& mic, qk::dsp::Sound* out) {
            return runner->Capture(f, mic, out);
        };
        call = [&](const qk::dsp::CallRoom& room, bool cancel, qk::dsp::Sound* out) { return runner->Call(room, cancel, out); };
    }
    std::string skipped;
    qk::cli::Progress progress("dsp eval --speech", rates.size() * 3 + 1);
    auto rows = qk::dsp::EvaluateSpeech(rates, seconds, capture, call, &skipped,
                                        [&](size_t done, size_t) { progress.Update(done); });
    progress.Finish();
    runner.reset();
    if (!temporary.empty()) std::filesystem::remove_all(temporary);
    if (rows.empty()) {
        std::printf("speech scenes skipped: %s\n", skipped.c_str());
        return;
    }
    if (!skipped.empty()) throw qk::cli::Failure(skipped);
    std::printf("%-10s %6s  %-56s %9s %9s\n", "stage", "rate", "figure (speech scenes)", "stages", "driver");
    for (const auto& r : rows) {
        auto cell = [](double v) {
            char text[32];
            if (std::isnan(v)) return std::string("-");
            std::snprintf(text, sizeof text, "%.1f", v);
            return std::string(text);
        };
        std::printf("%-10s %6d  %-56s %9s %9s\n", r.stage.c_str(), r.rateHz, r.figure.c_str(), cell(r.stages).c_str(),
                    cell(r.driver).c_str());
    }
}

void AddDspCommands(CLI::App& app) {
    CLI::App* dsp = app.add_subcommand("dsp", "microphone signal processing");
    dsp->require_subcommand(1);
    auto run = std::make_shared<RunOptions>();
    CLI::App* r = dsp->add_subcommand("run", "run one stage over a sound file");
    r->add_option("--feature", run->feature, "noiseguard|bfa|bfa3|echoquell")->required();
    r->add_option("--in", run->in, "microphone file (16/32-bit, mono/stereo, 8-48 kHz)")->required();
    r->add_option("--ref", run->ref, "far-end file for echoquell");
    r->add_option("--delay", run->delay, "known echo delay in samples (echoquell)");
    r->add_option("-o,--out", run->out, "output file")->required();
    r->callback([run] { Run(*run); });
    auto seconds = std::make_shared<double>(12.0);
    auto linearEcho = std::make_shared<bool>(false);
    CLI::App* e = dsp->add_subcommand("eval", "evaluate every stage on synthetic scenes against SpeexDSP");
    e->add_option("--seconds", *seconds, "length of the noise scenes (the echo scene converges for at least 20 s)");
    auto variant = std::make_shared<uint32_t>(0);
    e->add_flag("--linear-echo", *linearEcho, "EchoQuell without its residual echo suppression");
    e->add_option("--variant", *variant, "other signals for the same scenes (0: the reference set)")
        ->check(CLI::Range(0u, 1000u));
    auto speech = std::make_shared<bool>(false);
    auto stagesOnly = std::make_shared<bool>(false);
    auto root = std::make_shared<std::string>();
    e->add_flag("--speech", *speech,
                "scenes of espeak-ng speech (a talker, a second talker, noise), through the driver too");
    e->add_flag("--stages-only", *stagesOnly, "with --speech: the stages alone, not through the driver");
    e->add_option("--root", *root, "with --speech: system root for the driver's machine (default: a temporary one)");
    e->callback([seconds, linearEcho, variant, speech, stagesOnly, root] {
        if (*speech) {
            SpeechEval(*seconds, !*stagesOnly, *root);
        } else {
            Eval(*seconds, *linearEcho, *variant);
        }
    });
}

QK_CLI_COMMAND(AddDspCommands);

}  // namespace
