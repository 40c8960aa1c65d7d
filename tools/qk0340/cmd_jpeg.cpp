// qk0340 jpeg decode: runs one frame through the capture driver's JPEG
// decoder, the way the capture pin does, and writes the picture.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "imaging/jpeg/jpeg.h"
#include "tools/qk0340/command_registry.h"

namespace {

struct JpegDecodeArgs {
    std::string input, output;
    int kind = JPG_KIND_RGB24;
    bool smooth = false;
    bool verbose = false;
};

// The decoder's callbacks carry no context: the one frame in flight lives here.
struct Frame {
    std::vector<uint8_t> data;
    std::vector<uint8_t> picture;
    int width = 0, height = 0, bytesPerPixel = 0;
    std::vector<std::string> messages;
    std::string refusal;  // why GetImage refused the frame
};
Frame g_frame;

int GetData(const uint8_t** chunk, uint32_t* length) {
    *chunk = g_frame.data.data();
    *length = uint32_t(g_frame.data.size());
    return 1;
}

// Pictures up to this many pixels a side are decoded; a frame header can
// announce 65535 x 65535 in a few bytes.
constexpr int kMaxSide = 16384;

int GetImage(uint8_t** destination, uint16_t* pitch, int width, int height) {
    const long long line = (long long)width * g_frame.bytesPerPixel;
    if (width > kMaxSide || height > kMaxSide) {
        g_frame.refusal = "the frame is " + std::to_string(width) + "x" + std::to_string(height) +
                          "; pictures up to " + std::to_string(kMaxSide) + " pixels a side are decoded";
        return 0;
    }
    if (line > 0xFFFF) {  // the pitch is a 16-bit byte count
        g_frame.refusal = "a line of " + std::to_string(width) + " pixels in this kind is longer than 65535 bytes";
        return 0;
    }
    g_frame.width = width;
    g_frame.height = height;
    try {
        g_frame.picture.assign(size_t(line) * height, 0);
    } catch (const std::bad_alloc&) {
        g_frame.refusal = "not enough memory for a " + std::to_string(width) + "x" + std::to_string(height) + " picture";
        return 0;
    }
    *destination = g_frame.picture.data();
    *pitch = uint16_t(line);
    return 1;
}

void Collect(const char* message) { g_frame.messages.emplace_back(message); }

std::vector<uint8_t> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw qk::cli::Failure("cannot read " + path);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteFile(const std::string& path, const std::string& header, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    if (!out) throw qk::cli::Failure("cannot write " + path);
    out << header;
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    if (!out.flush()) throw qk::cli::Failure("cannot write " + path);
}

void RunDecode(const JpegDecodeArgs& args) {
    static constexpr int kBytesPerPixel[] = {3, 2, 2, 4, 2};
    g_frame = Frame{};
    g_frame.data = ReadFile(args.input);
    g_frame.bytesPerPixel = kBytesPerPixel[args.kind];
    jpgSetLogSink(Collect);
    jpgInit(JPG_VERSION, nullptr);
    jpgSetOption(JPG_OPT_OUTPUT_KIND, args.kind);
    jpgSetOption(JPG_OPT_SMOOTH_CHROMA, args.smooth ? 1 : 0);
    const int result = jpgDecode(GetImage, GetData);
    jpgSetLogSink(nullptr);
    if (result != JPG_SUCCESS || args.verbose) {
        for (const auto& m : g_frame.messages) {
            std::fputs(m.c_str(), stderr);
            if (m.empty() || m.back() != '\n') std::fputc('\n', stderr);
        }
    }
    if (result != JPG_SUCCESS) {
        const std::string why = g_frame.refusal.empty() ? "" : ": " + g_frame.refusal;
        std::fprintf(stderr, "qk0340: decoding %s failed with result %d%s\n", args.input.c_str(), result, why.c_str());
        qk::cli::SetExitCode(result);
        return;
    }
    if (args.kind == JPG_KIND_RGB24) {
        // PPM holds R, G, B; the decoder writes B, G, R.
        for (size_t i = 0; i + 2 < g_frame.picture.size(); i += 3) std::swap(g_frame.picture[i], g_frame.picture[i + 2]);
        WriteFile(args.output, "P6\n" + std::to_string(g_frame.width) + " " + std::to_string(g_frame.height) + "\n255\n",
                  g_frame.picture);
    } else {
        WriteFile(args.output, "", g_frame.picture);
    }
    std::printf("%dx%d\n", g_frame.width, g_frame.height);
}

void AddJpegCommands(CLI::App& app) {
    auto* jpeg = app.add_subcommand("jpeg", "The capture driver's JPEG frame decoder");
    jpeg->require_subcommand(1);
    auto args = std::make_shared<JpegDecodeArgs>();
    auto* decode = jpeg->add_subcommand("decode", "Decode one frame: PPM for kind 0, raw bytes otherwise");
    decode->add_option("input", args->input, "JPEG frame")->required()->check(CLI::ExistingFile);
    decode->add_option("-o,--output", args->output, "Picture to write")->required();
    decode->add_option("--kind", args->kind,
                       "Output kind: 0 RGB24 (B,G,R), 1 UYVY, 2 RGB 5-6-5, 3 0,R,G,B, 4 YUY2")
        ->check(CLI::Range(0, 4));
    decode->add_flag("--smooth", args->smooth, "Interpolate chroma in RGB output");
    decode->add_flag("-v,--verbose", args->verbose, "Show the decoder's messages");
    decode->callback([args] { RunDecode(*args); });
}

}  // namespace

QK_CLI_COMMAND(AddJpegCommands);
