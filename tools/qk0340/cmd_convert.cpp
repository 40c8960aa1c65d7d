// qk0340 convert: the driver's pixel-format conversion, resize and flip on
// raw picture files (tightly packed lines).
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <new>
#include <tuple>
#include <string>
#include <vector>

#include "imaging/convert/convert.h"
#include "tools/qk0340/command_registry.h"

namespace {

struct ConvertArgs {
    std::string from, to, size, resize;
    bool flip = false;
    std::string input, output;
};

struct Size {
    int width = 0, height = 0;
};

// WxH, digits only (a side that would overflow is refused, not wrapped).
Size ParseSize(const std::string& text, const char* what) {
    constexpr int kMaxSide = 16384;
    const auto side = [](const std::string& digits, int& out) {
        if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos) {
            return false;
        }
        out = std::stoi(digits);
        return out >= 1 && out <= kMaxSide;
    };
    Size s;
    const size_t x = text.find_first_of("xX");
    if (x == std::string::npos || !side(text.substr(0, x), s.width) || !side(text.substr(x + 1), s.height)) {
        throw qk::cli::Failure(std::string(what) + " must be WxH with sides from 1 to " + std::to_string(kMaxSide) +
                               ", not '" + text + "'");
    }
    return s;
}

int MediaType(const std::string& name) { return name == "rgb24" ? MT_RGB24 : name == "i420" ? MT_I420 : MT_YUY2; }

size_t Bytes(int mediaType, Size s) {
    const size_t w = size_t(s.width), h = size_t(s.height);
    switch (mediaType) {
    case MT_RGB24:
        return w * h * 3;
    case MT_YUY2:
        return w * h * 2;
    default:
        return w * h + 2 * (w / 2) * (h / 2);
    }
}

int Pitch(int mediaType, Size s) { return mediaType == MT_RGB24 ? 3 * s.width : mediaType == MT_YUY2 ? 2 * s.width : s.width; }

void Check(int result, const char* step) {
    if (result != IMG_SUCCESS) {
        throw qk::cli::Failure(std::string(step) + " failed with result " + std::to_string(result), result);
    }
}

void RunConvert(const ConvertArgs& args) {
    const Size size = ParseSize(args.size, "--size");
    const int from = MediaType(args.from), to = MediaType(args.to);
    const Size target = args.resize.empty() ? size : ParseSize(args.resize, "--resize");
    // What the routines would refuse, said in the user's terms first.
    for (const auto& [format, s, what] : {std::tuple{from, size, "--size"}, std::tuple{to, size, "--size"},
                                          std::tuple{to, target, "--resize"}}) {
        if (format == MT_YUY2 && s.width % 2 != 0) {
            throw qk::cli::Failure(std::string("YUY2 pictures need an even width (") + what + " " +
                                   std::to_string(s.width) + "x" + std::to_string(s.height) + ")");
        }
    }
    if (to == MT_I420 && !args.resize.empty() && target.width >= 2 && target.height >= 2 &&
        (size.width < 2 || size.height < 2)) {
        throw qk::cli::Failure("an I420 picture is resized from at least 2x2 pixels, not " + args.size);
    }
    std::ifstream in(args.input, std::ios::binary);
    if (!in) throw qk::cli::Failure("cannot read " + args.input);
    std::vector<uint8_t> picture{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    if (picture.size() != Bytes(from, size)) {
        throw qk::cli::Failure(args.input + " holds " + std::to_string(picture.size()) + " bytes; a " + args.size + " " +
                               args.from + " picture has " + std::to_string(Bytes(from, size)));
    }

    if (from != to) {
        std::vector<uint8_t> out(Bytes(to, size));
        const uint8_t* src = picture.data();
        if (from == MT_YUY2 && to == MT_RGB24) {
            Check(ConvertYuy2ToRgb24(out.data(), Pitch(to, size), src, size.width, size.height), "YUY2 to RGB24");
        } else if (from == MT_YUY2 && to == MT_I420) {
            Check(ConvertYuy2ToI420(out.data(), src, size.width, size.height, Pitch(from, size)), "YUY2 to I420");
        } else if (from == MT_RGB24 && to == MT_I420) {
            Check(ConvertRgb24ToI420(out.data(), src, size.width, size.height, Pitch(from, size)), "RGB24 to I420");
        } else if (from == MT_RGB24 && to == MT_YUY2) {
            Check(ConvertRgb24ToYuy2(out.data(), Pitch(to, size), src, size.width, size.height, Pitch(from, size)),
                  "RGB24 to YUY2");
        } else {
            throw qk::cli::Failure("there is no conversion from " + args.from + " to " + args.to);
        }
        picture.swap(out);
    }

    Size now = size;
    if (!args.resize.empty()) {
        std::vector<uint8_t> out(Bytes(to, target));
        Check(ResizeNearest(out.data(), target.width, target.height, Pitch(to, target), picture.data(), now.width,
                            now.height, Pitch(to, now), to),
              "resize");
        picture.swap(out);
        now = target;
    }
    if (args.flip) {
        std::vector<uint8_t> out(picture.size());
        Check(FlipTopBottom(out.data(), picture.data(), now.width, now.height, Pitch(to, now), to), "flip");
        picture.swap(out);
    }

    std::ofstream out(args.output, std::ios::binary);
    if (!out) throw qk::cli::Failure("cannot write " + args.output);
    out.write(reinterpret_cast<const char*>(picture.data()), std::streamsize(picture.size()));
    if (!out.flush()) throw qk::cli::Failure("cannot write " + args.output);
    std::printf("%dx%d %s, %zu bytes\n", now.width, now.height, args.to.c_str(), picture.size());
}

void AddConvertCommands(CLI::App& app) {
    auto args = std::make_shared<ConvertArgs>();
    auto* convert = app.add_subcommand("convert", "Convert, resize or flip a raw picture as the capture driver does");
    const std::map<std::string, int> formats{{"yuy2", MT_YUY2}, {"rgb24", MT_RGB24}, {"i420", MT_I420}};
    convert->add_option("--from", args->from, "Format of IN: yuy2, rgb24 or i420")->required()->check(CLI::IsMember(formats));
    convert->add_option("--to", args->to, "Format of OUT (default: the same)")->check(CLI::IsMember(formats));
    convert->add_option("--size", args->size, "Size of IN, WxH")->required();
    convert->add_option("--resize", args->resize, "Resize to WxH (nearest neighbour)");
    convert->add_flag("--flip", args->flip, "Reverse the line order");
    convert->add_option("input", args->input, "Raw picture, lines tightly packed")->required()->check(CLI::ExistingFile);
    convert->add_option("output", args->output, "Where to write the result")->required();
    convert->callback([args] {
        ConvertArgs a = *args;
        if (a.to.empty()) a.to = a.from;
        try {
            RunConvert(a);
        } catch (const std::bad_alloc&) {
            throw qk::cli::Failure("not enough memory for pictures of this size");
        }
    });
}

}  // namespace

QK_CLI_COMMAND(AddConvertCommands);
