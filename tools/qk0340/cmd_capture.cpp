// qk0340 capture: the main job. Installs the package into the root when it
// is not there, plugs the simulated camera in, lets Plug and Play load the
// capture driver, opens the capture filter as an application does, sends the
// controls asked for, negotiates the format, streams, and writes the samples
// (Y4M for the uncompressed formats, concatenated JPEG frames for MJPG) with a
// PNG contact sheet beside them. The scene may come from a pipe and the video
// may go into one; faults injected into the camera and the bus show how the
// driver lives through them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iostream>
#include <vector>

#include "platform/nt/kernel.h"
#include "platform/nt/wformat.h"
#include "sim/camera/frame_source.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "tools/qk0340/progress.h"
#include "tools/session/camera_controls.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_output.h"
#include "tools/session/capture_stream.h"
#include "tools/session/fault_plan.h"
#include "tools/session/stream_stats.h"
#include "tools/session/y4m_pipe_source.h"

namespace {

using qk::cli::Failure;
using namespace qk::session;

struct CaptureArguments {
    std::string root = "./qk0340-root";
    std::string format = "yuy2";
    std::string size = "640x480";
    double fps = 30;
    uint64_t frames = 0;
    double seconds = 5;
    int variant = 2;
    std::string scene = "synthetic";
    std::string out;
    std::string modules;
    std::string samples;
    std::string sheet;
    int reads = 4;
    // Controls, sent before the stream starts.
    std::string track, speed, pip, zoom, pan, tilt, mirror;
    bool privacy = false;
    bool lock = false;
    std::vector<std::string> sets;
    std::string inject;
};

// How the run's length was given.
enum class Length { Frames, Seconds, DefaultSeconds };

void ParseSize(const std::string& text, int* width, int* height) {
    std::istringstream in(text);
    char x = 0;
    long w = 0, h = 0;
    if (!(in >> w >> x >> h) || x != 'x' || !in.eof() || w <= 0 || h <= 0 || w > 16384 || h > 16384) {
        throw Failure("--size wants WIDTHxHEIGHT (such as 640x480), not '" + text + "'");
    }
    *width = static_cast<int>(w);
    *height = static_cast<int>(h);
}

std::shared_ptr<qk::sim::FrameSource> SceneFrom(const std::string& scene, std::shared_ptr<Y4mPipeSource>* pipe) {
    if (scene == "synthetic") return std::make_shared<qk::sim::SyntheticScene>();
    if (scene == "-") {
        if (isatty(STDIN_FILENO)) {
            throw Failure("--scene - films a Y4M stream from standard input, which is a terminal here (pipe one in, "
                          "such as ffmpeg ... -f yuv4mpegpipe - | qk0340 capture --scene - ...)");
        }
        std::string error;
        // Standard input lives as long as the process; the reader thread may outlive the source.
        *pipe = Y4mPipeSource::Open(std::shared_ptr<std::istream>(&std::cin, [](std::istream*) {}), "standard input",
                                    &error);
        if (*pipe == nullptr) throw Failure(error);
        return *pipe;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(scene, ec)) {
        throw Failure("--scene wants 'synthetic', '-' (a Y4M stream on standard input) or an image or Y4M file; '" +
                      scene + "' is neither");
    }
    std::string extension = std::filesystem::path(scene).extension().string();
    std::transform(extension.begin(), extension.end(), extension.begin(), [](unsigned char c) { return std::tolower(c); });
    try {
        if (extension == ".y4m") return std::make_shared<qk::sim::Y4mSource>(scene);
        return std::make_shared<qk::sim::StillImageSource>(scene);
    } catch (const std::exception& e) {
        throw Failure(std::string("cannot use the scene: ") + e.what());
    }
}

// The video file and, beside it, the contact sheet: OUT keeps its extension
// when it has one, else gets the format's.
void OutputPaths(const std::string& out, PixelFormat format, std::filesystem::path* video, std::filesystem::path* sheet) {
    *video = out;
    if (!video->has_extension()) *video += format == PixelFormat::Mjpg ? ".mjpeg" : ".y4m";
    *sheet = video->parent_path() / (video->stem().string() + "-sheet.png");
}

std::string Megabytes(uint64_t bytes) { return qk::Format("%.1f MB", static_cast<double>(bytes) / 1e6); }

// The controls the options name, in the order they are sent: --set as
// given, then the options. Tracking goes before zoom, pan and tilt, which it
// would otherwise take over, and the lock last.
std::vector<ControlAssignment> ControlsAsked(const CaptureArguments& a) {
    std::vector<ControlAssignment> asked;
    std::string error;
    for (const std::string& text : a.sets) {
        ControlAssignment assignment;
        if (!ParseAssignment(text, &assignment, &error)) throw Failure(error);
        asked.push_back(assignment);
    }
    auto option = [&](const char* option, const char* name, const std::string& text) {
        if (text.empty()) return;
        ControlAssignment assignment;
        assignment.control = FindControl(name);
        assignment.text = text;
        if (!ParseControlValue(*assignment.control, text, &assignment.value, &error)) {
            throw Failure(std::string(option) + ": " + error);
        }
        asked.push_back(assignment);
    };
    option("--mirror", "mirror", a.mirror);
    option("--privacy", "privacy", a.privacy ? "1" : "");
    option("--speed", "tracking-speed", a.speed);
    option("--pip", "pip", a.pip);
    option("--track", "tracking-mode", a.track);
    option("--zoom", "zoom", a.zoom);
    option("--pan", "pan", a.pan);
    option("--tilt", "tilt", a.tilt);
    option("--lock", "lock", a.lock ? "enable" : "");
    return asked;
}

// The settings that shape the picture, as the driver holds them now: some
// are stored by the driver and stay from earlier runs.
std::string ControlsInEffect(HANDLE filter) {
    std::string text;
    for (const char* name : {"tracking-mode", "tracking-speed", "pip", "zoom", "pan", "tilt", "mirror", "privacy", "lock"}) {
        const ControlInfo* c = FindControl(name);
        ControlReading r = ReadControl(filter, *c);
        std::string value = r.HasValue() ? ValueText(*c, r.value) : "unreadable (" + StatusText(r.status) + ")";
        if (r.status == STATUS_DEVICE_BUSY) value += " (busy)";
        text += std::string(text.empty() ? "" : ", ") + name + " " + value;
    }
    return text;
}

// Samples of one stream: until its first delivered frame the driver is
// starting up (the pin's first frames, the exposure kick); cancelled or
// empty samples after that are bad frames.
struct PhaseCounts {
    bool started = false;
    uint64_t delivered = 0;
    uint64_t bad = 0;
};

void RunCapture(const CaptureArguments& a, Length length, bool sheetAsked) {
    std::optional<PixelFormat> format = ParsePixelFormat(a.format);
    if (!format) throw Failure("--format wants yuy2, rgb24, i420, yv12 or mjpg, not '" + a.format + "'");
    FormatRequest request;
    request.format = *format;
    ParseSize(a.size, &request.width, &request.height);
    if (!std::isfinite(a.fps) || a.fps <= 0 || a.fps > 1000) throw Failure("--fps wants a rate above 0 (frames a second)");
    request.framesPerSecond = a.fps;
    if (length == Length::Frames && a.frames == 0) throw Failure("--frames wants at least one frame");
    if (length == Length::Seconds && (!std::isfinite(a.seconds) || a.seconds <= 0 || a.seconds > 3600)) {
        throw Failure("--seconds wants a time above 0 and at most an hour");
    }
    const std::vector<ControlAssignment> controls = ControlsAsked(a);
    FaultPlan faults;
    std::string error;
    if (!a.inject.empty() && !ParseFaultPlan(a.inject, &faults, &error)) throw Failure(error);
    const bool toStdout = a.out == "-";
    std::filesystem::path videoPath, sheetPath;
    if (!toStdout) OutputPaths(a.out, request.format, &videoPath, &sheetPath);
    if (sheetAsked) sheetPath = a.sheet;
    const bool wantSheet = !sheetPath.empty();

    // With the video on standard output every message goes to standard
    // error, and so does anything else that would write to standard output.
    FILE* say = stdout;
    int videoDescriptor = -1;
    if (toStdout) {
        std::signal(SIGPIPE, SIG_IGN);  // a reader that goes away is a write error, not the end of the process
        std::fflush(stdout);
        videoDescriptor = dup(STDOUT_FILENO);
        if (videoDescriptor < 0 || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
            throw Failure(std::string("cannot take standard output for the video: ") + std::strerror(errno));
        }
        say = stderr;
    }

    std::shared_ptr<Y4mPipeSource> pipe;
    RigOptions rigOptions;
    rigOptions.camera.variant = a.variant;
    rigOptions.frames = SceneFrom(a.scene, &pipe);
    rigOptions.moduleFolder = a.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(a.modules);
    // Packets are 1 ms bus frames counted from the stream's start.
    rigOptions.camera.faults.loseEveryNthPacket = faults.loseEvery;
    if (faults.stallAt) rigOptions.camera.faults.stallAtPacket = static_cast<uint64_t>(std::llround(*faults.stallAt * 1000));
    const std::string sceneText = rigOptions.frames->Describe();

    // The run's length: a stream on standard input runs until it ends unless
    // told otherwise; faults in the run make the default run outlast them.
    const bool untilInputEnds = pipe != nullptr && length == Length::DefaultSeconds;
    double seconds = a.seconds;
    const double latestInRun = std::max(faults.stallAt.value_or(0), faults.unplugAt.value_or(0));
    if (length == Length::DefaultSeconds && faults.Any()) seconds = std::max(seconds, latestInRun + 2);
    const double nominalSeconds = length == Length::Frames ? static_cast<double>(a.frames) / a.fps : seconds;
    if (!untilInputEnds && latestInRun >= nominalSeconds) {
        throw Failure(qk::Format("--inject: the faults (%s) fall after the end of a %g s run; make the run longer",
                                 faults.Describe().c_str(), nominalSeconds));
    }

    auto machine = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Any, &error);
    if (machine == nullptr) throw Failure(error);
    auto rig = CameraRig::Start(nullptr, rigOptions, &error);
    if (rig == nullptr) throw Failure(error);
    if (rig->InstalledPackage()) {
        std::fprintf(say, "installed the QK0340 package into %s\n",
                     std::filesystem::absolute(a.root).lexically_normal().c_str());
    }
    std::unique_ptr<qk::ks::client::Filter> filter;
    NTSTATUS status = rig->OpenFilter(&filter);
    if (!NT_SUCCESS(status)) throw Failure("cannot open the capture filter: " + StatusText(status));

    // The controls go to the filter as an application sends them, before the
    // stream exists; the first refusal ends the run before it starts. Those
    // sent before it stay as the driver took them, so the message names them.
    std::string sent;
    for (const ControlAssignment& c : controls) {
        SetResult result = WriteControl(filter->Handle(), *c.control, c.value, c.flags);
        if (!result.Applied()) {
            throw Failure(result.Explain() + (sent.empty() ? "" : "; sent before it, and kept by the driver: " + sent));
        }
        std::fprintf(say, "%s\n", result.Explain().c_str());
        sent += std::string(sent.empty() ? "" : ", ") + c.control->name + " " +
                (c.flags == kFlagsAutomatic ? std::string("auto") : ValueText(*c.control, c.value));
    }
    std::fprintf(say, "controls in effect: %s\n", ControlsInEffect(filter->Handle()).c_str());

    // The unplug comes from the streaming thread between samples, at its second of the run.
    qk::nt::Clock& clock = qk::nt::Kernel::Get().TheClock();
    int64_t runStart = 0;
    bool unplugged = false;
    uint64_t delivered = 0, framesBeforeUnplug = 0;
    StreamOptions streamOptions;
    streamOptions.queuedReads = a.reads;
    streamOptions.filterLink = rig->FilterLink();
    streamOptions.onWait = [&] {
        if (!faults.unplugAt || unplugged) return;
        if (clock.Now() - runStart < static_cast<int64_t>(*faults.unplugAt * 1e7)) return;
        unplugged = true;
        framesBeforeUnplug = delivered;
        rig->Unplug();
    };
    std::unique_ptr<CaptureStream> stream;
    if (!CaptureStream::Open(*filter, request, streamOptions, &stream, &error)) throw Failure(error);
    const ConnectionFormat connection = stream->Format();
    const uint64_t target =
        untilInputEnds ? 0
        : length == Length::Frames
            ? a.frames
            : std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(seconds * RateOfInterval(connection.interval100ns))));
    std::fprintf(say, "capturing %s of %s %dx%d at %s fps (AvgTimePerFrame %lld x 100 ns) from the variant %d camera "
                      "filming the %s%s\n",
                 target ? qk::Format("%llu frames", static_cast<unsigned long long>(target)).c_str() : "frames",
                 Name(connection.format), connection.width, std::abs(connection.height),
                 RateText(connection.interval100ns).c_str(), static_cast<long long>(connection.interval100ns), a.variant,
                 sceneText.c_str(), target ? "" : ", until the stream ends");
    if (faults.Any()) std::fprintf(say, "injecting: %s\n", faults.Describe().c_str());

    // The output's folder only once the camera has taken the request, so a refusal leaves nothing behind.
    std::error_code ec;
    std::unique_ptr<VideoWriter> writer;
    if (toStdout) {
        writer = VideoWriter::CreateOnDescriptor(videoDescriptor, "standard output", connection, &error);
    } else {
        if (videoPath.has_parent_path()) std::filesystem::create_directories(videoPath.parent_path(), ec);
        if (ec) throw Failure("cannot create the folder of " + videoPath.string() + ": " + ec.message());
        writer = VideoWriter::Create(videoPath, connection, &error);
    }
    if (writer == nullptr) throw Failure(error);
    std::ofstream samples;
    if (!a.samples.empty()) {
        samples.open(a.samples, std::ios::trunc);
        if (!samples) throw Failure("cannot create " + a.samples);
        samples << "sample,status,data_used,presentation_time,duration,options_flags,picture_number,drop_count\n";
    }
    ContactSheet sheet(target);
    std::vector<uint8_t> lastSample;  // open-ended runs: the last frame, for the sheet
    double lastSeconds = 0;
    uint64_t sampleCount = 0, unwritten = 0;
    std::string firstUnwritten, writeFailure;
    // A driver that keeps failing frames must not keep the run going forever.
    const uint64_t sampleLimit = target ? target * 2 + 20 : 0;
    // A run until the input ends has no length to show progress against.
    std::optional<qk::cli::Progress> progress;
    if (target) progress.emplace("capture", target);
    std::vector<PhaseCounts> phases;
    std::vector<std::unique_ptr<StreamStats>> phaseStats;

    // One stream until the run has its frames, the camera goes, or the input ends.
    auto runStream = [&](CaptureStream& s, std::string* runError) {
        phases.emplace_back();
        phaseStats.push_back(std::make_unique<StreamStats>(connection.interval100ns));
        PhaseCounts& phase = phases.back();
        StreamStats& stats = *phaseStats.back();
        int64_t firstTime = 0;
        bool haveFirstTime = false;
        return s.Run(
            [&](const SampleReport& r) {
                stats.Add(r);
                ++sampleCount;
                if (samples.is_open()) {
                    samples << r.index << "," << qk::Format("0x%08X", static_cast<unsigned>(r.status)) << ","
                            << r.dataUsed << "," << r.presentationTime << "," << r.duration << ","
                            << qk::Format("0x%X", r.optionsFlags) << "," << r.pictureNumber << "," << r.dropCount << "\n";
                }
                const bool filmedAll = pipe != nullptr && pipe->FilmedToTheEnd();
                if (r.Delivered()) {
                    phase.started = true;
                    ++phase.delivered;
                    const uint64_t number = delivered++;
                    if (r.TimeValid() && !haveFirstTime) {
                        firstTime = r.presentationTime;
                        haveFirstTime = true;
                    }
                    const double at = haveFirstTime ? static_cast<double>(r.presentationTime - firstTime) / 1e7 : 0;
                    std::string why;
                    if (!writer->Write(r.data, &why)) {
                        if (unwritten++ == 0) firstUnwritten = why;
                    } else if (wantSheet) {
                        if (sheet.Wants(number)) {
                            RgbPicture picture;
                            if (SampleToRgb(connection, r.data, &picture, &why)) sheet.Add(number, at, picture);
                        } else if (target == 0) {
                            lastSample.assign(r.data.begin(), r.data.end());
                            lastSeconds = at;
                        }
                    }
                    if (writer->Broken()) {
                        writeFailure = why;
                        return false;
                    }
                    if (progress) progress->Update(delivered);
                } else if (phase.started && (r.status == STATUS_CANCELLED || NT_SUCCESS(r.status))) {
                    ++phase.bad;
                }
                if (filmedAll) return false;
                if (target && delivered >= target) return false;
                return sampleLimit == 0 || sampleCount < sampleLimit;
            },
            runError);
    };

    runStart = clock.Now();
    bool ran = runStream(*stream, &error);
    std::string runError = error;
    DroppedFrames dropped;
    bool haveDropped = NT_SUCCESS(stream->QueryDroppedFrames(&dropped));
    stream.reset();
    filter.reset();
    uint64_t framesAfterReplug = 0;
    bool replugged = false;
    if (unplugged) {
        // The camera went because it was pulled out: the run was meant to end (or pause) here.
        ran = true;
        runError.clear();
        if (faults.replugAt && writeFailure.empty()) {
            const int64_t due = runStart + static_cast<int64_t>(*faults.replugAt * 1e7);
            if (clock.Now() < due) {
                LARGE_INTEGER wait;
                wait.QuadPart = -(due - clock.Now());
                KeDelayExecutionThread(KernelMode, FALSE, &wait);
            }
            // A stall the first camera did not reach yet still comes, at its second of the run.
            qk::sim::Faults again = rigOptions.camera.faults;
            again.stallAtPacket.reset();
            const double now = static_cast<double>(clock.Now() - runStart) / 1e7;
            if (faults.stallAt && *faults.stallAt > now && rig->Cameras().front()->Counters().stalls == 0) {
                again.stallAtPacket = static_cast<uint64_t>(std::llround((*faults.stallAt - now) * 1000));
            }
            if (!rig->Replug(again, &error)) throw Failure("plugged the camera back in, but " + error);
            replugged = true;
            std::fprintf(say, "plugged the camera back in at %.1f s; Plug and Play loaded the driver again\n",
                         static_cast<double>(clock.Now() - runStart) / 1e7);
            status = rig->OpenFilter(&filter);
            if (!NT_SUCCESS(status)) throw Failure("cannot open the new capture filter: " + StatusText(status));
            streamOptions.filterLink = rig->FilterLink();
            streamOptions.onWait = nullptr;
            if (!CaptureStream::Open(*filter, request, streamOptions, &stream, &error)) {
                throw Failure("after the replug: " + error);
            }
            const uint64_t before = delivered;
            ran = runStream(*stream, &runError);
            framesAfterReplug = delivered - before;
            haveDropped = NT_SUCCESS(stream->QueryDroppedFrames(&dropped));
            stream.reset();
            filter.reset();
        }
    }
    if (progress) progress->Finish();

    std::string closeError;
    bool closed = writer->Close(&closeError);
    std::string sheetText;
    if (wantSheet && target == 0 && !lastSample.empty() && delivered > 0 && !sheet.Has(delivered - 1)) {
        RgbPicture picture;
        std::string why;
        if (SampleToRgb(connection, lastSample, &picture, &why)) sheet.Add(delivered - 1, lastSeconds, picture);
    }
    if (wantSheet && sheet.Count() > 0) {
        std::string sheetError;
        sheetText = sheet.Write(sheetPath, &sheetError)
                        ? qk::Format(" and a contact sheet of %zu frames in %s", sheet.Count(), sheetPath.c_str())
                        : "; the contact sheet failed: " + sheetError;
    }

    for (size_t i = 0; i < phaseStats.size(); ++i) {
        if (phaseStats.size() > 1) std::fprintf(say, "%s:\n", i == 0 ? "before the unplug" : "after the replug");
        std::fprintf(say, "%s\n", phaseStats[i]->Describe().c_str());
    }
    if (haveDropped) {
        std::fprintf(say, "the driver's dropped-frames property: picture number %lld, drop count %lld, frame size %u bytes\n",
                     static_cast<long long>(dropped.pictureNumber), static_cast<long long>(dropped.dropCount),
                     dropped.averageFrameSize);
    }
    if (faults.Any()) {
        qk::sim::StreamCounters seen;
        for (const auto& camera : rig->Cameras()) {
            qk::sim::StreamCounters c = camera->Counters();
            seen.lostPackets += c.lostPackets;
            seen.stalls += c.stalls;
            seen.resumedAfterStall += c.resumedAfterStall;
        }
        uint64_t bad = 0;
        for (const PhaseCounts& p : phases) bad += p.bad;
        std::fprintf(say, "the camera: %llu packets lost on the wire, %llu stalls of its video endpoint; the driver's "
                          "recoveries (the host came back for video after a stall): %llu\n",
                     static_cast<unsigned long long>(seen.lostPackets), static_cast<unsigned long long>(seen.stalls),
                     static_cast<unsigned long long>(seen.resumedAfterStall));
        std::string line = qk::Format("the driver: %llu bad frames (samples completed cancelled or empty after start-up)",
                                      static_cast<unsigned long long>(bad));
        if (faults.unplugAt) {
            line += unplugged ? qk::Format("; %llu frames before the unplug", static_cast<unsigned long long>(framesBeforeUnplug))
                              : "; the run ended before the unplug";
        }
        if (replugged) line += qk::Format(", %llu after the replug", static_cast<unsigned long long>(framesAfterReplug));
        std::fprintf(say, "%s\n", line.c_str());
    }
    if (unwritten > 0) {
        std::fprintf(say, "%llu delivered samples held no usable picture and were left out (the first: %s)\n",
                     static_cast<unsigned long long>(unwritten), firstUnwritten.c_str());
    }
    std::fprintf(say, "wrote %llu frames to %s (%s, %s)%s\n", static_cast<unsigned long long>(writer->Frames()),
                 toStdout ? "standard output" : videoPath.c_str(), writer->Kind().c_str(),
                 Megabytes(writer->FileBytes()).c_str(), sheetText.c_str());
    if (pipe != nullptr && pipe->Ended()) {
        std::fprintf(say, "the stream on standard input ended after %llu frames\n",
                     static_cast<unsigned long long>(pipe->FramesRead()));
    }
    if (!writeFailure.empty()) {
        throw Failure(toStdout ? "standard output was closed by its reader after " +
                                     std::to_string(writer->Frames()) + " frames (" + writeFailure + ")"
                               : writeFailure);
    }
    if (!closed) throw Failure(closeError);
    if (pipe != nullptr && !pipe->Error().empty()) {
        throw Failure("standard input: " + pipe->Error() + " after " + std::to_string(pipe->FramesRead()) + " frames");
    }
    if (!ran) throw Failure("the capture stopped early: " + runError);
    const bool inputEnded = pipe != nullptr && pipe->FilmedToTheEnd();
    if (target && delivered < target && !inputEnded && !(unplugged && !faults.replugAt)) {
        throw Failure(qk::Format("the driver delivered %llu of %llu frames in %llu samples",
                                 static_cast<unsigned long long>(delivered), static_cast<unsigned long long>(target),
                                 static_cast<unsigned long long>(sampleCount)));
    }
}

void AddCaptureCommand(CLI::App& app) {
    auto a = std::make_shared<CaptureArguments>();
    CLI::App* capture = app.add_subcommand(
        "capture", "Plug the simulated camera in, stream from its capture filter through the driver and write the frames");
    capture->add_option("--root", a->root, "System root folder (the package is installed when missing)")
        ->capture_default_str();
    capture->add_option("--format", a->format, "yuy2, rgb24, i420, yv12 or mjpg")->capture_default_str();
    capture->add_option("--size", a->size, "Picture size WIDTHxHEIGHT")->capture_default_str();
    capture->add_option("--fps", a->fps, "Frames a second")->capture_default_str();
    CLI::Option* frames = capture->add_option("--frames", a->frames, "Frames to capture");
    CLI::Option* seconds = capture->add_option("--seconds", a->seconds, "Seconds to capture (at the negotiated rate)")
                               ->capture_default_str();
    frames->excludes(seconds);
    capture->add_option("--variant", a->variant, "Camera variant")->check(CLI::IsMember({1, 2}))->capture_default_str();
    capture->add_option("--scene", a->scene,
                        "'synthetic', '-' (a Y4M stream on standard input, filmed until it ends), or an image or Y4M file")
        ->capture_default_str();
    capture->add_option("-o,--output", a->out,
                        "Output video file (.y4m, or .mjpeg for mjpg), or '-' for standard output; the contact sheet "
                        "goes beside a file")
        ->required();
    CLI::Option* sheet = capture->add_option("--sheet", a->sheet, "Write the contact sheet here (beside a file by default; with -o -, only when given)");
    capture->add_option("--modules", a->modules, "Folder of the built modules, for the installation (default: the program's own folder)");
    capture->add_option("--samples", a->samples, "Also write every sample's status and stream header fields to this CSV file");
    capture->add_option("--reads", a->reads, "Reads kept queued on the pin")->check(CLI::Range(1, 32))->capture_default_str();
    // Controls: sent to the capture filter before the stream starts; the driver stores most of them.
    capture->add_option("--track", a->track, "Face tracking: 0 off, 1 continuous, 2 still scene");
    capture->add_option("--speed", a->speed, "Face tracking speed: 0 slow, 1 normal, 2 fast");
    capture->add_option("--pip", a->pip, "Picture-in-picture: 0 off, 1 or 2");
    capture->add_option("--zoom", a->zoom, "Digital zoom, 50 (none) to 100");
    capture->add_option("--pan", a->pan, "Digital pan, -50 to 50");
    capture->add_option("--tilt", a->tilt, "Digital tilt, -50 to 50");
    capture->add_option("--mirror", a->mirror, "Mirror: h, v, hv or off");
    capture->add_flag("--privacy", a->privacy, "Turn privacy on: the privacy picture replaces the camera's");
    capture->add_flag("--lock", a->lock, "Enable the parental lock: the stream shows the lock picture");
    capture->add_option("--set", a->sets, "NAME=VALUE for any control (repeatable; see qk0340 props list)");
    capture->add_option("--inject", a->inject,
                        "Faults during the run: lose-every=N,stall-at=S,unplug-at=S,replug-at=S (S in seconds of the run)");
    capture->callback([a, frames, seconds, sheet] {
        Length length = frames->count() > 0 ? Length::Frames : seconds->count() > 0 ? Length::Seconds : Length::DefaultSeconds;
        RunCapture(*a, length, sheet->count() > 0);
    });
}

}  // namespace

QK_CLI_COMMAND(AddCaptureCommand);
