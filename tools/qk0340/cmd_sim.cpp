// qk0340 sim: the simulated camera on its own.
//   sim describe   the camera's descriptors, field by field
//   sim stream     a stream of isochronous payloads and the frames reassembled from it
//   sim sound      the two-microphone scene as the camera's microphone delivers it
#include <FreeImage.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

#include "sim/camera/camera.h"
#include "sim/camera/describe.h"
#include "sim/camera/payload_reader.h"
#include "sim/microphone/microphone.h"
#include "tools/qk0340/command_registry.h"
#include "tools/qk0340/progress.h"

namespace {

using qk::cli::Failure;
using qk::usb::Handshake;
using qk::usb::SetupPacket;

struct CameraOptions {
    int variant = 2;
    bool noMicrophone = false;
    bool speaker = false;
    bool noExtensionUnit = false;
};

void AddCameraOptions(CLI::App* command, CameraOptions& o) {
    command->add_option("--variant", o.variant, "camera variant (1 or 2)")->check(CLI::IsMember({1, 2}));
    command->add_flag("--no-microphone", o.noMicrophone, "without the microphone function");
    command->add_flag("--speaker", o.speaker, "with a loudspeaker render path");
    command->add_flag("--no-extension-unit", o.noExtensionUnit, "without the extension unit");
}

qk::sim::CameraConfig ConfigFrom(const CameraOptions& o) {
    qk::sim::CameraConfig config;
    config.variant = o.variant;
    config.microphone = !o.noMicrophone;
    config.speaker = o.speaker;
    config.extensionUnit = !o.noExtensionUnit;
    return config;
}

void Describe(const CameraOptions& o) {
    qk::sim::Camera camera(ConfigFrom(o));
    qk::usb::DescriptorSet set = camera.Descriptors();
    std::fputs(qk::sim::DescribeDevice(set.device, set.configuration, set.strings).c_str(), stdout);
}

// ---- stream ------------------------------------------------------------------------------------------------------

struct StreamOptions {
    CameraOptions camera;
    std::string format = "mjpeg";
    std::string size = "640x480";
    double fps = 30;
    double seconds = 2;
    std::string out;
    std::string source = "scene";
    int alternate = 0;
    uint32_t loseEvery = 0;
    bool subsampling420 = false;
    int restartInterval = 0;
    bool tablesOnce = false;
    int quality = 85;
};

// Sends a standard or class request and insists that the camera takes it.
void Request(qk::sim::Camera& camera, SetupPacket setup, std::vector<uint8_t>& data, uint32_t frame, const char* what) {
    qk::usb::ControlResult r = camera.Control(setup, data, frame);
    if (r.handshake != Handshake::Ack) throw Failure(std::string("the camera refused ") + what);
}

void WritePicture(const std::filesystem::path& path, const qk::sim::ReassembledFrame& frame, bool mjpeg, int width,
                  int height) {
    if (mjpeg) {
        std::ofstream out(path.string() + ".jpg", std::ios::binary);
        out.write(reinterpret_cast<const char*>(frame.data.data()), static_cast<std::streamsize>(frame.data.size()));
        if (!out) throw Failure("cannot write " + path.string() + ".jpg");
        return;
    }
    if (frame.data.size() != size_t(width) * height * 2) return;  // incomplete: kept in the payload stream only
    FIBITMAP* bitmap = FreeImage_Allocate(width, height, 24);
    for (int y = 0; y < height; ++y) {
        BYTE* line = FreeImage_GetScanLine(bitmap, height - 1 - y);
        const uint8_t* in = &frame.data[size_t(y) * width * 2];
        for (int x = 0; x < width; ++x) {
            // BT.601 limited range back to RGB.
            int luma = in[2 * x], u = in[(2 * x & ~3) + 1] - 128, v = in[(2 * x & ~3) + 3] - 128;
            double c = 1.164 * (luma - 16);
            auto clamp = [](double value) { return static_cast<BYTE>(std::clamp(std::lround(value), 0L, 255L)); };
            line[3 * x + FI_RGBA_RED] = clamp(c + 1.596 * v);
            line[3 * x + FI_RGBA_GREEN] = clamp(c - 0.392 * u - 0.813 * v);
            line[3 * x + FI_RGBA_BLUE] = clamp(c + 2.017 * u);
        }
    }
    bool saved = FreeImage_Save(FIF_PNG, bitmap, (path.string() + ".png").c_str(), 0);
    FreeImage_Unload(bitmap);
    if (!saved) throw Failure("cannot write " + path.string() + ".png");
}

void Stream(const StreamOptions& o) {
    int width = 0, height = 0;
    char x = 0;
    std::istringstream size(o.size);
    if (!(size >> width >> x >> height) || x != 'x' || width <= 0 || height <= 0) {
        throw Failure("--size wants WIDTHxHEIGHT, not '" + o.size + "'");
    }
    if (o.fps <= 0 || o.seconds <= 0 || o.seconds > 3600) throw Failure("--fps and --seconds must be positive (at most an hour)");
    qk::sim::CameraConfig config = ConfigFrom(o.camera);
    config.mjpeg.subsampling420 = o.subsampling420;
    config.mjpeg.restartInterval = o.restartInterval;
    config.mjpeg.omitHuffmanTablesAfterFirst = o.tablesOnce;
    config.mjpeg.quality = std::clamp(o.quality, 1, 100);
    config.faults.loseEveryNthPacket = o.loseEvery;
    std::shared_ptr<qk::sim::FrameSource> source;
    try {
        source = qk::sim::MakeFrameSource(o.source);
    } catch (const std::exception& e) {
        throw Failure(e.what());
    }
    qk::sim::Camera camera(config, source);
    bool mjpeg = o.format == "mjpeg";
    const qk::sim::StreamingFormat* format = nullptr;
    for (const auto& f : camera.Formats()) {
        if (f.format == (mjpeg ? qk::sim::VideoFormat::Mjpeg : qk::sim::VideoFormat::Yuy2)) format = &f;
    }
    if (format == nullptr) throw Failure("the camera has no " + o.format + " format");
    const qk::sim::StreamingFrame* frame = nullptr;
    std::string offered;
    for (const auto& f : format->frames) {
        offered += " " + std::to_string(f.width) + "x" + std::to_string(f.height);
        if (f.width == width && f.height == height) frame = &f;
    }
    if (frame == nullptr) throw Failure("the camera offers no " + o.format + " " + o.size + "; it has" + offered);

    std::filesystem::path dir(o.out);
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) throw Failure("cannot create " + o.out + ": " + ec.message());
    std::ofstream payloads(dir / "payloads.bin", std::ios::binary);
    std::ofstream index(dir / "frames.csv");
    if (!payloads || !index) throw Failure("cannot write into " + o.out);

    // As a host does: reset, address, configuration, probe, commit, bandwidth.
    uint32_t busFrame = 1000;
    camera.Reset(busFrame);
    std::vector<uint8_t> none;
    Request(camera, {0x00, 0x05, 1, 0, 0}, none, busFrame, "its address");
    Request(camera, {0x00, 0x09, 1, 0, 0}, none, busFrame, "its configuration");
    qk::sim::ProbeCommit probe;
    probe.bmHint = 1;
    probe.bFormatIndex = format->index;
    probe.bFrameIndex = frame->index;
    probe.dwFrameInterval = static_cast<uint32_t>(std::lround(10'000'000.0 / o.fps));
    std::vector<uint8_t> block(34);
    probe.Write(block);
    Request(camera, {0x21, 0x01, 0x0100, 1, 34}, block, busFrame, "the probe");
    Request(camera, {0xA1, 0x81, 0x0100, 1, 34}, block, busFrame, "reading back the probe");
    probe = qk::sim::ProbeCommit::Read(block);
    Request(camera, {0x21, 0x01, 0x0200, 1, 34}, block, busFrame, "the commit");
    int alternate = o.alternate;
    if (alternate == 0) {
        // The smallest alternate setting that carries what the camera asked for.
        alternate = qk::sim::kStreamingAlternates.back().number;
        for (const auto& a : qk::sim::kStreamingAlternates) {
            if (a.bytesPerFrame >= probe.dwMaxPayloadTransferSize) {
                alternate = a.number;
                break;
            }
        }
    }
    if (alternate < 1 || alternate > 7) throw Failure("--alternate must be 1 to 7");
    uint32_t packetBytes = qk::sim::kStreamingAlternates[alternate - 1].bytesPerFrame;
    Request(camera, {0x01, 0x0B, static_cast<uint16_t>(alternate), 1, 0}, none, busFrame, "the alternate setting");
    std::printf("streaming %s %dx%d at %.3g fps (%u x 100 ns), alternate setting %d (%u bytes a frame)\n",
                o.format.c_str(), width, height, 10'000'000.0 / probe.dwFrameInterval, probe.dwFrameInterval,
                alternate, packetBytes);

    qk::sim::PayloadReader reader;
    index << "frame,frame_id,presentation_time,bytes,end_of_frame,damaged,first_bus_frame\n";
    uint64_t total = static_cast<uint64_t>(o.seconds * 1000);
    std::vector<uint8_t> packet(packetBytes);
    uint64_t written = 0, damaged = 0, bytes = 0;
    qk::cli::Progress progress("stream", total);
    auto drain = [&]() {
        for (const auto& f : reader.TakeFrames()) {
            index << written << "," << int(f.frameId) << "," << f.presentationTime << "," << f.data.size() << ","
                  << f.endOfFrame << "," << f.damaged << "," << f.firstBusFrame << "\n";
            char name[32];
            std::snprintf(name, sizeof name, "frame_%05llu", static_cast<unsigned long long>(written));
            WritePicture(dir / name, f, mjpeg, width, height);
            damaged += f.damaged ? 1 : 0;
            ++written;
        }
    };
    for (uint64_t i = 0; i < total; ++i) {
        ++busFrame;
        qk::usb::IsoResult r = camera.IsochronousIn(qk::sim::kVideoEndpoint, busFrame, packet);
        // Payload stream records: bus frame, length (-1 for a lost packet), bytes.
        int32_t length = r.status == qk::usb::IsoResult::Status::Ok ? static_cast<int32_t>(r.length) : -1;
        payloads.write(reinterpret_cast<const char*>(&busFrame), 4);
        payloads.write(reinterpret_cast<const char*>(&length), 4);
        if (length > 0) payloads.write(reinterpret_cast<const char*>(packet.data()), length);
        if (length >= 0) {
            reader.Packet(std::span<const uint8_t>(packet.data(), r.length), busFrame);
            bytes += r.length;
        } else {
            reader.LostPacket(busFrame);
        }
        drain();
        progress.Update(i + 1);
    }
    reader.Flush();
    drain();
    progress.Finish();
    if (!payloads || !index) throw Failure("writing into " + o.out + " failed");
    std::printf("%llu packets (%llu bytes) in %s/payloads.bin; %llu frames reassembled (%llu damaged)\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(bytes), o.out.c_str(),
                static_cast<unsigned long long>(written), static_cast<unsigned long long>(damaged));
}

// ---- sound ---------------------------------------------------------------------------------------------------------

struct SoundOptions {
    double seconds = 5;
    int rate = 16000;
    std::string out;
    std::string source = "scene";
    std::string stems;
    std::string farEnd;
};

void WriteWav(const std::string& path, int rate, const std::vector<int16_t>& interleaved) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw Failure("cannot write " + path + ": " + sf_strerror(nullptr));
    sf_count_t frames = static_cast<sf_count_t>(interleaved.size() / 2);
    sf_count_t done = sf_writef_short(file, interleaved.data(), frames);
    sf_close(file);
    if (done != frames) throw Failure("writing " + path + " failed");
}

std::vector<int16_t> ToPcm(const std::vector<float>& samples) {
    std::vector<int16_t> pcm(samples.size());
    for (size_t i = 0; i < samples.size(); ++i) {
        pcm[i] = static_cast<int16_t>(std::lround(std::clamp(samples[i] * 32767.0, -32768.0, 32767.0)));
    }
    return pcm;
}

void Sound(const SoundOptions& o) {
    if (o.seconds <= 0 || o.seconds > 3600) throw Failure("--seconds must be positive (at most an hour)");
    std::shared_ptr<qk::sim::SoundSource> source;
    std::shared_ptr<qk::sim::TwoMicrophoneScene> scene;
    if (o.source == "scene") {
        source = scene = std::make_shared<qk::sim::TwoMicrophoneScene>();
    } else if (o.source.rfind("wav:", 0) == 0) {
        try {
            source = std::make_shared<qk::sim::WavSource>(o.source.substr(4));
        } catch (const std::exception& e) {
            throw Failure(e.what());
        }
    } else {
        throw Failure("unknown sound source '" + o.source + "' (scene or wav:PATH)");
    }
    qk::sim::MicrophoneOptions options;
    const auto& rates = options.ratesHz;
    if (std::find(rates.begin(), rates.end(), static_cast<uint32_t>(o.rate)) == rates.end()) {
        std::string offered;
        for (uint32_t r : rates) offered += " " + std::to_string(r);
        throw Failure("the microphone offers no " + std::to_string(o.rate) + " Hz; it has" + offered);
    }
    std::shared_ptr<qk::sim::WavSource> farEnd;
    if (!o.farEnd.empty()) {
        if (!scene) throw Failure("--far-end needs the synthetic scene (its echo path)");
        try {
            farEnd = std::make_shared<qk::sim::WavSource>(o.farEnd);
        } catch (const std::exception& e) {
            throw Failure(e.what());
        }
    }
    if (!o.stems.empty() && !scene) throw Failure("--stems needs the synthetic scene");
    // The microphone function as the host drives it: rate, alternate setting, one packet a millisecond.
    qk::sim::MicrophoneFunction microphone(options, source);
    microphone.Attach(0);
    std::vector<uint8_t> rate = {static_cast<uint8_t>(o.rate), static_cast<uint8_t>(o.rate >> 8),
                                 static_cast<uint8_t>(o.rate >> 16)};
    microphone.Request({0x22, 0x01, 0x0100, options.captureEndpoint, 3}, rate);
    microphone.SetInterface(options.captureInterface, 1, 0);
    auto frames = static_cast<uint32_t>(o.seconds * 1000);
    const std::pair<qk::sim::SceneComponent, const char*> parts[] = {{qk::sim::kSceneTalker, "talker"},
                                                                     {qk::sim::kSceneNoise, "noise"},
                                                                     {qk::sim::kSceneDiffuse, "diffuse"},
                                                                     {qk::sim::kSceneEcho, "echo"}};
    std::vector<int16_t> pcm;
    std::vector<std::vector<float>> stems(4);
    std::vector<uint8_t> packet(192);
    std::vector<float> block;
    qk::cli::Progress progress("sound", frames);
    for (uint32_t f = 0; f < frames; ++f) {
        int64_t first = int64_t{f} * o.rate / 1000;
        int64_t count = int64_t{f + 1} * o.rate / 1000 - first;
        block.assign(static_cast<size_t>(count) * 2, 0.0f);
        // What the far end says goes out of the loudspeaker before the microphones hear its echo.
        if (farEnd) {
            farEnd->Capture(o.rate, first, block);
            scene->Play(o.rate, first, block);
        }
        qk::usb::IsoResult r = microphone.CaptureIn(f, packet);
        for (uint32_t i = 0; i + 1 < r.length; i += 2) pcm.push_back(static_cast<int16_t>(packet[i] | packet[i + 1] << 8));
        if (!o.stems.empty()) {
            for (size_t p = 0; p < 4; ++p) {
                scene->CaptureComponent(parts[p].first, o.rate, first, block);
                stems[p].insert(stems[p].end(), block.begin(), block.end());
            }
        }
        progress.Update(f + 1);
    }
    progress.Finish();
    WriteWav(o.out, o.rate, pcm);
    std::printf("%zu stereo frames at %d Hz from the %s in %s\n", pcm.size() / 2, o.rate, source->Describe().c_str(),
                o.out.c_str());
    if (o.stems.empty()) return;
    std::error_code ec;
    std::filesystem::create_directories(o.stems, ec);
    if (ec) throw Failure("cannot create " + o.stems + ": " + ec.message());
    for (size_t p = 0; p < 4; ++p) {
        std::string path = (std::filesystem::path(o.stems) / (std::string(parts[p].second) + ".wav")).string();
        WriteWav(path, o.rate, ToPcm(stems[p]));
        std::printf("  %s\n", path.c_str());
    }
}

void AddSimCommands(CLI::App& app) {
    auto* sim = app.add_subcommand("sim", "the simulated QK0340 camera on its own");
    sim->require_subcommand(1);

    static CameraOptions describe;
    auto* d = sim->add_subcommand("describe", "print the camera's descriptors");
    AddCameraOptions(d, describe);
    d->callback([] { Describe(describe); });

    static StreamOptions stream;
    auto* s = sim->add_subcommand("stream", "write a stream of payloads and the frames reassembled from it");
    AddCameraOptions(s, stream.camera);
    s->add_option("--format", stream.format, "yuy2 or mjpeg")->check(CLI::IsMember({"yuy2", "mjpeg"}));
    s->add_option("--size", stream.size, "frame size, WIDTHxHEIGHT");
    s->add_option("--fps", stream.fps, "frames a second");
    s->add_option("--seconds", stream.seconds, "length of the stream");
    s->add_option("--out", stream.out, "folder for payloads.bin, frames.csv and the frames")->required();
    s->add_option("--source", stream.source, "scene, image:PATH or y4m:PATH");
    s->add_option("--alternate", stream.alternate, "alternate setting 1-7 (default: what the camera asks for)");
    s->add_option("--lose-every", stream.loseEvery, "lose every Nth packet on the wire");
    s->add_flag("--420", stream.subsampling420, "MJPEG in 4:2:0 instead of 4:2:2");
    s->add_option("--restart-interval", stream.restartInterval, "MJPEG restart interval in MCUs");
    s->add_flag("--tables-once", stream.tablesOnce, "Huffman tables in the first MJPEG frame only");
    s->add_option("--quality", stream.quality, "MJPEG quality (1-100)");
    s->callback([] { Stream(stream); });

    static SoundOptions sound;
    auto* a = sim->add_subcommand("sound", "write what the camera's two microphones deliver");
    a->add_option("--seconds", sound.seconds, "length");
    a->add_option("--rate", sound.rate, "sampling rate in Hz");
    a->add_option("--out", sound.out, "WAV file to write")->required();
    a->add_option("--source", sound.source, "scene or wav:PATH");
    a->add_option("--stems", sound.stems, "folder for the scene's parts, each on its own");
    a->add_option("--far-end", sound.farEnd, "WAV file the loudspeaker plays (its echo reaches the microphones)");
    a->callback([] { Sound(sound); });
}

QK_CLI_COMMAND(AddSimCommands);

}  // namespace
