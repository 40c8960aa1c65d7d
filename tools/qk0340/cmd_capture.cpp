// qk0340 capture: the main job. Installs the package into the root when it
// is not there, plugs the simulated camera in, lets Plug and Play load the
// capture driver, opens the capture filter as an application does,
// negotiates the format, streams, and writes the samples (Y4M for the
// uncompressed formats, concatenated JPEG frames for MJPG) with a PNG contact
// sheet beside them.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "platform/nt/wformat.h"
#include "sim/camera/frame_source.h"
#include "tools/install/install.h"
#include "tools/install/machine_session.h"
#include "tools/qk0340/command_registry.h"
#include "tools/qk0340/progress.h"
#include "tools/session/camera_rig.h"
#include "tools/session/capture_output.h"
#include "tools/session/capture_stream.h"
#include "tools/session/stream_stats.h"

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
    int reads = 4;
};

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

std::shared_ptr<qk::sim::FrameSource> SceneFrom(const std::string& scene) {
    if (scene == "synthetic") return std::make_shared<qk::sim::SyntheticScene>();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(scene, ec)) {
        throw Failure("--scene wants 'synthetic' or an image or Y4M file; '" + scene + "' is neither");
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

void RunCapture(const CaptureArguments& a, bool framesGiven) {
    std::optional<PixelFormat> format = ParsePixelFormat(a.format);
    if (!format) throw Failure("--format wants yuy2, rgb24, i420, yv12 or mjpg, not '" + a.format + "'");
    FormatRequest request;
    request.format = *format;
    ParseSize(a.size, &request.width, &request.height);
    if (!std::isfinite(a.fps) || a.fps <= 0 || a.fps > 1000) throw Failure("--fps wants a rate above 0 (frames a second)");
    request.framesPerSecond = a.fps;
    if (framesGiven && a.frames == 0) throw Failure("--frames wants at least one frame");
    if (!framesGiven && (!std::isfinite(a.seconds) || a.seconds <= 0 || a.seconds > 3600)) {
        throw Failure("--seconds wants a time above 0 and at most an hour");
    }
    std::filesystem::path videoPath, sheetPath;
    OutputPaths(a.out, request.format, &videoPath, &sheetPath);

    RigOptions rigOptions;
    rigOptions.camera.variant = a.variant;
    rigOptions.frames = SceneFrom(a.scene);
    rigOptions.moduleFolder = a.modules.empty() ? qk::install::ProgramFolder() : std::filesystem::path(a.modules);
    const std::string sceneText = rigOptions.frames->Describe();

    std::string error;
    auto machine = qk::install::MachineSession::Start(a.root, qk::install::MachineSession::Root::Any, &error);
    if (machine == nullptr) throw Failure(error);
    auto rig = CameraRig::Start(nullptr, rigOptions, &error);
    if (rig == nullptr) throw Failure(error);
    if (rig->InstalledPackage()) {
        std::printf("installed the QK0340 package into %s\n",
                    std::filesystem::absolute(a.root).lexically_normal().c_str());
    }
    std::unique_ptr<qk::ks::client::Filter> filter;
    NTSTATUS status = rig->OpenFilter(&filter);
    if (!NT_SUCCESS(status)) throw Failure("cannot open the capture filter: " + StatusText(status));

    StreamOptions streamOptions;
    streamOptions.queuedReads = a.reads;
    streamOptions.filterLink = rig->FilterLink();
    std::unique_ptr<CaptureStream> stream;
    if (!CaptureStream::Open(*filter, request, streamOptions, &stream, &error)) throw Failure(error);
    const ConnectionFormat& connection = stream->Format();
    const uint64_t target =
        framesGiven ? a.frames
                    : std::max<uint64_t>(1, static_cast<uint64_t>(std::llround(a.seconds * RateOfInterval(connection.interval100ns))));
    std::printf("capturing %llu frames of %s %dx%d at %s fps (AvgTimePerFrame %lld x 100 ns) from the variant %d camera "
                "filming the %s\n",
                static_cast<unsigned long long>(target), Name(connection.format), connection.width,
                std::abs(connection.height), RateText(connection.interval100ns).c_str(),
                static_cast<long long>(connection.interval100ns), a.variant, sceneText.c_str());

    // The output's folder only once the camera has taken the request, so a refusal leaves nothing behind.
    std::error_code ec;
    if (videoPath.has_parent_path()) std::filesystem::create_directories(videoPath.parent_path(), ec);
    if (ec) throw Failure("cannot create the folder of " + videoPath.string() + ": " + ec.message());
    auto writer = VideoWriter::Create(videoPath, connection, &error);
    if (writer == nullptr) throw Failure(error);
    std::ofstream samples;
    if (!a.samples.empty()) {
        samples.open(a.samples, std::ios::trunc);
        if (!samples) throw Failure("cannot create " + a.samples);
        samples << "sample,status,data_used,presentation_time,duration,options_flags,picture_number,drop_count\n";
    }
    ContactSheet sheet(target);
    StreamStats stats(connection.interval100ns);
    uint64_t unwritten = 0;
    std::string firstUnwritten, writeFailure;
    int64_t firstTime = 0;
    bool haveFirstTime = false;
    // A driver that keeps failing frames must not keep the run going forever.
    const uint64_t sampleLimit = target * 2 + 20;
    qk::cli::Progress progress("capture", target);
    bool ran = stream->Run(
        [&](const SampleReport& s) {
            stats.Add(s);
            if (samples.is_open()) {
                samples << s.index << "," << qk::Format("0x%08X", static_cast<unsigned>(s.status)) << "," << s.dataUsed
                        << "," << s.presentationTime << "," << s.duration << "," << qk::Format("0x%X", s.optionsFlags)
                        << "," << s.pictureNumber << "," << s.dropCount << "\n";
            }
            if (s.Delivered()) {
                uint64_t number = stats.Delivered() - 1;
                if (s.TimeValid() && !haveFirstTime) {
                    firstTime = s.presentationTime;
                    haveFirstTime = true;
                }
                std::string why;
                if (!writer->Write(s.data, &why)) {
                    if (unwritten++ == 0) firstUnwritten = why;
                } else if (sheet.Wants(number)) {
                    RgbPicture picture;
                    double at = haveFirstTime ? static_cast<double>(s.presentationTime - firstTime) / 1e7 : 0;
                    if (SampleToRgb(connection, s.data, &picture, &why)) sheet.Add(number, at, picture);
                }
                if (writer->Broken()) {
                    writeFailure = why;
                    return false;
                }
                progress.Update(stats.Delivered());
            }
            return stats.Delivered() < target && stats.Samples() < sampleLimit;
        },
        &error);
    progress.Finish();
    DroppedFrames dropped;
    bool haveDropped = NT_SUCCESS(stream->QueryDroppedFrames(&dropped));
    stream.reset();
    filter.reset();

    std::string closeError;
    bool closed = writer->Close(&closeError);
    std::string sheetText;
    if (sheet.Count() > 0) {
        std::string sheetError;
        sheetText = sheet.Write(sheetPath, &sheetError)
                        ? qk::Format(" and a contact sheet of %zu frames in %s", sheet.Count(), sheetPath.c_str())
                        : "; the contact sheet failed: " + sheetError;
    }

    std::printf("%s\n", stats.Describe().c_str());
    if (haveDropped) {
        std::printf("the driver's dropped-frames property: picture number %lld, drop count %lld, frame size %u bytes\n",
                    static_cast<long long>(dropped.pictureNumber), static_cast<long long>(dropped.dropCount),
                    dropped.averageFrameSize);
    }
    if (unwritten > 0) {
        std::printf("%llu delivered samples held no usable picture and were left out (the first: %s)\n",
                    static_cast<unsigned long long>(unwritten), firstUnwritten.c_str());
    }
    std::printf("wrote %llu frames to %s (%s, %s)%s\n", static_cast<unsigned long long>(writer->Frames()),
                videoPath.c_str(), writer->Kind().c_str(), Megabytes(writer->FileBytes()).c_str(), sheetText.c_str());
    if (!writeFailure.empty()) throw Failure(writeFailure);
    if (!closed) throw Failure(closeError);
    if (!ran) throw Failure("the capture stopped early: " + error);
    if (stats.Delivered() < target) {
        throw Failure(qk::Format("the driver delivered %llu of %llu frames in %llu samples",
                                 static_cast<unsigned long long>(stats.Delivered()),
                                 static_cast<unsigned long long>(target), static_cast<unsigned long long>(stats.Samples())));
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
    capture->add_option("--scene", a->scene, "'synthetic', or an image or Y4M file the camera films")
        ->capture_default_str();
    capture->add_option("-o,--output", a->out, "Output video file (.y4m, or .mjpeg for mjpg); the contact sheet goes beside it")
        ->required();
    capture->add_option("--modules", a->modules, "Folder of the built modules, for the installation (default: the program's own folder)");
    capture->add_option("--samples", a->samples, "Also write every sample's status and stream header fields to this CSV file");
    capture->add_option("--reads", a->reads, "Reads kept queued on the pin")->check(CLI::Range(1, 32))->capture_default_str();
    capture->callback([a, frames] { RunCapture(*a, frames->count() > 0); });
}

}  // namespace

QK_CLI_COMMAND(AddCaptureCommand);
