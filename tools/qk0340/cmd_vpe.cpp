// qk0340 vpe: the effects library on files.
//   vpe track IN.y4m -o OUT.y4m   face tracking over a video (YUV4MPEG2, 4:2:0)
//   vpe zoom IN.png OUT.png --box x,y,w,h   the manual digital zoom of a picture
//   vpe scene OUT.y4m             the synthetic face scene, to try tracking on
#include <png.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <new>
#include <memory>
#include <sstream>
#include <vector>

#include "imaging/convert/convert.h"
#include "imaging/vpe/vpe.h"
#include "sim/scene/scene.h"
#include "sim/scene/y4m.h"
#include "tools/qk0340/command_registry.h"
#include "tools/qk0340/progress.h"

namespace {

using qk::cli::Failure;

void HostAlloc(void** pointer, uint32_t size, int32_t, void*) {
    *pointer = std::aligned_alloc(64, (size_t(size) + 63) / 64 * 64);
}
void HostFree(void* pointer, void*) { std::free(pointer); }

// The library started and one context, as the capture driver makes them
// (flip flags 2: RGB24 pictures are stored bottom-up).
class Effects {
public:
    explicit Effects(int32_t flipFlags) {
        if (vpeInit(nullptr, nullptr, HostAlloc, HostFree, VPE_VERSION) != VPE_SUCCESS) {
            throw Failure("the effects library did not start");
        }
        if (vpeCreate(&context_, flipFlags, nullptr) != VPE_SUCCESS) throw Failure("no memory for an effects context");
    }
    ~Effects() {
        vpeDestroy(context_);
        vpeExit();
    }
    Effects(const Effects&) = delete;
    Effects& operator=(const Effects&) = delete;
    PVPE_CONTEXT get() const { return context_; }

private:
    PVPE_CONTEXT context_ = nullptr;
};

enum class Format { kYuy2, kRgb24, kI420 };

// WIDTHxHEIGHT with each side from `low` to `high` (and even when asked);
// digits only, so no side can overflow on the way in.
bool ParseSize(const std::string& text, int low, int high, bool even, int& width, int& height) {
    const size_t x = text.find_first_of("xX");
    if (x == std::string::npos || x == 0 || x + 1 == text.size()) return false;
    const auto side = [&](const std::string& digits, int& out) {
        if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        out = std::stoi(digits);
        return out >= low && out <= high && (!even || out % 2 == 0);
    };
    return side(text.substr(0, x), width) && side(text.substr(x + 1), height);
}

int MediaType(Format f) { return f == Format::kYuy2 ? MT_YUY2 : f == Format::kRgb24 ? MT_RGB24 : MT_I420; }
int Pitch(Format f, int width) { return f == Format::kYuy2 ? 2 * width : f == Format::kRgb24 ? 3 * width : width; }
size_t Bytes(Format f, int width, int height) {
    return f == Format::kI420 ? size_t(width) * height * 3 / 2 : size_t(Pitch(f, width)) * height;
}

// I420 to YUY2: each chroma sample serves the two lines of its pair; an odd
// last line takes the pair above's, and a picture of one line, which has no
// chroma planes, comes out grey.
void I420ToYuy2(const uint8_t* i420, int width, int height, uint8_t* yuy2) {
    const uint8_t* u = i420 + size_t(width) * height;
    const uint8_t* v = u + size_t(width / 2) * (height / 2);
    const bool chroma = height >= 2;
    for (int y = 0; y < height; ++y) {
        const uint8_t* luma = i420 + size_t(y) * width;
        const size_t row = chroma ? size_t(std::min(y / 2, height / 2 - 1)) * (width / 2) : 0;
        uint8_t* out = yuy2 + size_t(y) * 2 * width;
        for (int x = 0; x < width / 2; ++x) {
            out[4 * x] = luma[2 * x];
            out[4 * x + 1] = chroma ? u[row + size_t(x)] : 128;
            out[4 * x + 2] = luma[2 * x + 1];
            out[4 * x + 3] = chroma ? v[row + size_t(x)] : 128;
        }
    }
}

// An I420 picture in the chosen format (RGB24 bottom-up, as the driver's).
void FromI420(Format f, const uint8_t* i420, int w, int h, std::vector<uint8_t>& scratch, uint8_t* out) {
    switch (f) {
    case Format::kI420:
        std::copy_n(i420, Bytes(f, w, h), out);
        break;
    case Format::kYuy2:
        I420ToYuy2(i420, w, h, out);
        break;
    case Format::kRgb24:
        scratch.resize(Bytes(Format::kYuy2, w, h) + Bytes(Format::kRgb24, w, h));
        I420ToYuy2(i420, w, h, scratch.data());
        ConvertYuy2ToRgb24(scratch.data() + Bytes(Format::kYuy2, w, h), 3 * w, scratch.data(), w, h);
        FlipTopBottom(out, scratch.data() + Bytes(Format::kYuy2, w, h), w, h, 3 * w, MT_RGB24);
        break;
    }
}

void ToI420(Format f, const uint8_t* picture, int w, int h, std::vector<uint8_t>& scratch, uint8_t* i420) {
    switch (f) {
    case Format::kI420:
        std::copy_n(picture, Bytes(f, w, h), i420);
        break;
    case Format::kYuy2:
        ConvertYuy2ToI420(i420, picture, w, h, 2 * w);
        break;
    case Format::kRgb24:
        scratch.resize(Bytes(Format::kRgb24, w, h));
        FlipTopBottom(scratch.data(), picture, w, h, 3 * w, MT_RGB24);
        ConvertRgb24ToI420(i420, scratch.data(), w, h, 3 * w);
        break;
    }
}

const std::map<std::string, Format> kFormats{{"yuy2", Format::kYuy2}, {"rgb24", Format::kRgb24}, {"i420", Format::kI420}};

struct TrackOptions {
    std::string input, output;
    int mode = 1, speed = 1, pip = 0;
    bool vis = false, csv = false;
    Format format = Format::kYuy2;
};

void Track(const TrackOptions& o) {
    std::ifstream in(o.input, std::ios::binary);
    if (!in) throw Failure("cannot open " + o.input);
    qk::sim::Y4mReader reader(in);
    if (!reader.Open()) throw Failure(o.input + ": " + reader.error());
    const qk::sim::Y4mFormat fmt = reader.format();
    const int w = fmt.width, h = fmt.height;
    std::ofstream out(o.output, std::ios::binary);
    if (!out) throw Failure("cannot write " + o.output);

    Effects effects(VPE_FLIP_RGB24);
    PVPE_CONTEXT c = effects.get();
    switch (vpeFtkInit(c, w, h)) {
    case VPE_SUCCESS: break;
    case VPE_UNSUPPORTED_WIDTH:
        throw Failure("face tracking needs a width that is a multiple of 160 or 176 (this video is " +
                      std::to_string(w) + " wide)");
    default: throw Failure("face tracking cannot start at " + std::to_string(w) + "x" + std::to_string(h));
    }
    static constexpr int32_t kVel[] = {20, 50, 200};
    vpeSetAttrib(c, VPE_ATTR_ACTIVE_TRACKING, o.mode == 1 ? 1 : 0);
    vpeSetAttrib(c, VPE_ATTR_VEL, kVel[o.speed]);
    vpeSetAttrib(c, VPE_ATTR_PIP, o.pip);
    vpeSetAttrib(c, VPE_ATTR_DIG_ZOOM, 1);
    if (o.vis) {
        vpeSetAttrib(c, VPE_ATTR_VIS, VPE_VIS_DRAW_OUTPUT);
        if (o.format == Format::kYuy2) std::fprintf(stderr, "qk0340: note: YUY2 frames carry no analysis overlay\n");
    }

    qk::sim::Y4mWriter writer(out, fmt);
    in.seekg(0, std::ios::end);
    const auto fileBytes = uint64_t(in.tellg());
    in.clear();
    in.seekg(0);
    reader.Open();
    // The first frame is read before the working pictures are made: a
    // header can announce a picture far larger than the data behind it.
    std::vector<uint8_t> frame;
    bool more = reader.Next(frame);
    qk::cli::Progress progress("tracking", fileBytes / (fmt.FrameBytes() + 6));
    std::vector<uint8_t> src, dst, scratch, result;
    if (more) {
        src.resize(Bytes(o.format, w, h));
        dst.resize(src.size());
        result.resize(fmt.FrameBytes());
    }
    if (o.csv) std::printf("frame,x,y,width,height,target_x,target_y,target_width\n");
    uint64_t index = 0, failures = 0;
    const int pitch = Pitch(o.format, w);
    for (; more; more = reader.Next(frame)) {
        FromI420(o.format, frame.data(), w, h, scratch, src.data());
        // Milliseconds from the file's frame rate, 16 bits, as the driver stamps frames.
        const auto stamp = uint32_t(index * 1000 * uint64_t(fmt.rateDenominator) / uint64_t(fmt.rateNumerator)) & 0xFFFF;
        const int rc = vpeFtk(c, dst.data(), w, h, pitch, src.data(), w, h, pitch, nullptr, MediaType(o.format), stamp);
        if (rc == VPE_SUCCESS) {
            ToI420(o.format, dst.data(), w, h, scratch, result.data());
            writer.Write(result.data());
        } else {
            ++failures;  // the frame goes out unprocessed, as the driver would keep it
            writer.Write(frame.data());
        }
        if (o.csv) {
            VPE_FRAMING f{};
            vpeGetFraming(c, &f);
            const bool bottomUp = o.format == Format::kRgb24;
            const double y = bottomUp ? h - (double(f.y) + f.height) / 65536 : f.y / 65536.0;
            std::printf("%llu,%.2f,%.2f,%.2f,%.2f,%d,%d,%d\n", static_cast<unsigned long long>(index), f.x / 65536.0, y,
                        f.width / 65536.0, f.height / 65536.0, f.targetX, f.targetY, f.targetWidth);
        }
        progress.Update(++index);
    }
    progress.Finish();
    if (failures > 0) {
        std::fprintf(stderr, "qk0340: warning: %llu of %llu frames could not be processed and were copied\n",
                     static_cast<unsigned long long>(failures), static_cast<unsigned long long>(index));
    }
    if (!out.flush()) throw Failure("writing " + o.output + " failed");
    if (!reader.error().empty()) {
        throw Failure(o.input + ": " + reader.error() + " after frame " + std::to_string(index) + "; the " +
                      std::to_string(index) + " frames before it were written to " + o.output);
    }
    if (!out.flush()) throw Failure("writing " + o.output + " failed");
    std::fprintf(stderr, "%llu frames written to %s\n", static_cast<unsigned long long>(index), o.output.c_str());
}

struct Picture {
    int width = 0, height = 0;
    std::vector<uint8_t> bgr;  // top-down, 3 bytes per pixel
};

Picture ReadPng(const std::string& path) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&image, path.c_str())) {
        throw Failure(path + ": " + image.message);
    }
    image.format = PNG_FORMAT_BGR;
    if (image.width > uint32_t(qk::sim::kY4mMaxSide) || image.height > uint32_t(qk::sim::kY4mMaxSide)) {
        png_image_free(&image);
        throw Failure(path + ": picture larger than " + std::to_string(qk::sim::kY4mMaxSide) + " pixels a side");
    }
    Picture p{int(image.width), int(image.height), std::vector<uint8_t>(PNG_IMAGE_SIZE(image))};
    if (!png_image_finish_read(&image, nullptr, p.bgr.data(), 0, nullptr)) {
        throw Failure(path + ": " + image.message);
    }
    return p;
}

void WritePng(const std::string& path, const Picture& p) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    image.width = uint32_t(p.width);
    image.height = uint32_t(p.height);
    image.format = PNG_FORMAT_BGR;
    if (!png_image_write_to_file(&image, path.c_str(), 0, p.bgr.data(), 0, nullptr)) {
        throw Failure(path + ": " + image.message);
    }
}

struct ZoomOptions {
    std::string input, output, box, size;
    Format format = Format::kRgb24;
};

// Picture sides the library accepts.
constexpr int kMaxSide = qk::sim::kY4mMaxSide;

void Zoom(const ZoomOptions& o) {
    double bx, by, bw, bh;
    char tail;
    if (std::sscanf(o.box.c_str(), "%lf,%lf,%lf,%lf%c", &bx, &by, &bw, &bh, &tail) != 4) {
        throw Failure("--box wants x,y,width,height in source pixels, e.g. 80,60,480,360");
    }
    const Picture in = ReadPng(o.input);
    int ow = in.width, oh = in.height;
    if (!o.size.empty() && !ParseSize(o.size, 1, kMaxSide, false, ow, oh)) {
        throw Failure("--size wants WIDTHxHEIGHT with sides from 1 to " + std::to_string(kMaxSide) + ", e.g. 640x480");
    }
    if (o.format != Format::kRgb24 && ((in.width | ow) & 1) != 0) {
        throw Failure("YUY2 and I420 need even widths");
    }
    auto tenths = [](double v) { return std::lround(v * 10); };
    if (!std::isfinite(bx + by + bw + bh) || std::abs(bx) > 1e6 || std::abs(by) > 1e6 || std::abs(bw) > 1e6 ||
        std::abs(bh) > 1e6) {
        throw Failure("--box is out of range");
    }
    Effects effects(0);  // the picture is top-down in memory
    std::vector<uint8_t> src(Bytes(o.format, in.width, in.height)), dst(Bytes(o.format, ow, oh)), scratch;
    // Top-down BGR to the chosen format.
    switch (o.format) {
    case Format::kRgb24: src = in.bgr; break;
    case Format::kYuy2: ConvertRgb24ToYuy2(src.data(), 2 * in.width, in.bgr.data(), in.width, in.height, 3 * in.width); break;
    case Format::kI420: ConvertRgb24ToI420(src.data(), in.bgr.data(), in.width, in.height, 3 * in.width); break;
    }
    const int rc = vpeDigitalZoom(effects.get(), dst.data(), ow, oh, Pitch(o.format, ow), src.data(), in.width,
                                  in.height, Pitch(o.format, in.width), int(tenths(bx)), int(tenths(by)),
                                  int(tenths(bw)), int(tenths(bh)), MediaType(o.format), 0);
    if (rc != VPE_SUCCESS) {
        throw Failure("the box must lie inside the " + std::to_string(in.width) + "x" + std::to_string(in.height) +
                      " picture and be at least " + (o.format == Format::kI420 ? "4" : "2") +
                      " pixels wide and high (result " + std::to_string(rc) + ")");
    }
    Picture out{ow, oh, std::vector<uint8_t>(size_t(ow) * oh * 3)};
    switch (o.format) {
    case Format::kRgb24: out.bgr = dst; break;
    case Format::kYuy2: ConvertYuy2ToRgb24(out.bgr.data(), 3 * ow, dst.data(), ow, oh); break;
    case Format::kI420:
        scratch.resize(Bytes(Format::kYuy2, ow, oh));
        I420ToYuy2(dst.data(), ow, oh, scratch.data());
        ConvertYuy2ToRgb24(out.bgr.data(), 3 * ow, scratch.data(), ow, oh);
        break;
    }
    WritePng(o.output, out);
}

struct SceneOptions {
    std::string output, size = "640x480";
    int frames = qk::sim::Scene::kStandardFrames;
    bool distractor = false;
};

// The synthetic scene is for trying tracking: a camera's sizes, not the
// library's limit (a 16384 x 16384 scene would be 190 GB on disk).
constexpr int kMaxSceneSide = 4096;

void MakeScene(const SceneOptions& o) {
    int w, h;
    if (!ParseSize(o.size, 2, kMaxSceneSide, true, w, h)) {
        throw Failure("--size wants even WIDTHxHEIGHT from 2x2 to " + std::to_string(kMaxSceneSide) + "x" +
                      std::to_string(kMaxSceneSide) + ", e.g. 640x480");
    }
    std::ofstream out(o.output, std::ios::binary);
    if (!out) throw Failure("cannot write " + o.output);
    qk::sim::SceneOptions options = qk::sim::Scene::Standard();
    options.distractor = o.distractor;
    const qk::sim::Scene scene(options);
    qk::sim::Y4mWriter writer(out, qk::sim::Y4mFormat{w, h, 30, 1});
    std::vector<uint8_t> frame(size_t(w) * h * 3 / 2);
    qk::cli::Progress progress("rendering", uint64_t(o.frames));
    for (int f = 0; f < o.frames; ++f) {
        scene.Render(f, w, h, qk::sim::PixelFormat::kI420, frame.data(), w);
        writer.Write(frame.data());
        progress.Update(uint64_t(f + 1));
    }
    progress.Finish();
    if (!out.flush()) throw Failure("writing " + o.output + " failed");
}

// A picture the machine cannot hold is a refusal like any other, not a crash.
template <typename Run>
void WithinMemory(const Run& run) {
    try {
        run();
    } catch (const std::bad_alloc&) {
        throw Failure("not enough memory for pictures of this size");
    }
}

void AddVpeCommands(CLI::App& app) {
    auto* vpe = app.add_subcommand("vpe", "The effects library on files: face tracking and digital zoom");
    vpe->require_subcommand(1);

    auto track = std::make_shared<TrackOptions>();
    auto* t = vpe->add_subcommand("track", "Face tracking with automatic framing over a YUV4MPEG2 (4:2:0) video");
    t->add_option("input", track->input, "Input video (.y4m)")->required()->check(CLI::ExistingFile);
    t->add_option("-o,--output", track->output, "Output video (.y4m)")->required();
    t->add_option("--mode", track->mode, "1 follow the face continuously, 2 follow a still scene")
        ->check(CLI::IsMember({1, 2}));
    t->add_option("--speed", track->speed, "Framing speed: 0 slow, 1 normal, 2 fast")->check(CLI::Range(0, 2));
    t->add_option("--pip", track->pip, "Picture-in-picture corner: 0 off, 1-4")->check(CLI::Range(0, 4));
    t->add_flag("--vis", track->vis, "Draw the analysis overlay into the output (RGB24, I420)");
    t->add_option("--format", track->format, "Pixel format the library works in")
        ->transform(CLI::CheckedTransformer(kFormats, CLI::ignore_case));
    t->add_flag("--csv", track->csv, "Print the framing of each frame as CSV on standard output");
    t->callback([track] { WithinMemory([&] { Track(*track); }); });

    auto zoom = std::make_shared<ZoomOptions>();
    auto* z = vpe->add_subcommand("zoom", "The manual digital zoom of a box of a PNG picture");
    z->add_option("input", zoom->input, "Input picture (.png)")->required()->check(CLI::ExistingFile);
    z->add_option("output", zoom->output, "Output picture (.png)")->required();
    z->add_option("--box", zoom->box, "x,y,width,height in source pixels (tenths kept)")->required();
    z->add_option("--size", zoom->size, "Output size WIDTHxHEIGHT (default: the input's)");
    z->add_option("--format", zoom->format, "Pixel format the zoom works in")
        ->transform(CLI::CheckedTransformer(kFormats, CLI::ignore_case));
    z->callback([zoom] { WithinMemory([&] { Zoom(*zoom); }); });

    auto scene = std::make_shared<SceneOptions>();
    auto* s = vpe->add_subcommand("scene", "Write the synthetic face scene (it moves, stops, leaves, returns) as .y4m");
    s->add_option("output", scene->output, "Output video (.y4m)")->required();
    s->add_option("--size", scene->size, "WIDTHxHEIGHT (even)");
    s->add_option("--frames", scene->frames, "Number of frames (30 a second)")->check(CLI::Range(1, 100000));
    s->add_flag("--distractor", scene->distractor, "Add a flat skin-coloured board that never moves");
    s->callback([scene] { WithinMemory([&] { MakeScene(*scene); }); });
}
QK_CLI_COMMAND(AddVpeCommands);

}  // namespace
