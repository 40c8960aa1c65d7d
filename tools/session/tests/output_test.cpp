// The capture outputs read back: Y4M files plane by plane (and through the
// scene room's reader for 4:2:0), the MJPEG file frame by frame through a
// reference decoder, and the contact sheet's PNG pixel by pixel.
#include <cairo.h>
#include <gtest/gtest.h>
#include <turbojpeg.h>

#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "sim/scene/y4m.h"
#include "tools/session/capture_output.h"

namespace qk::session {
namespace {

class OutputTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() /
               ("qk-output-" + std::to_string(getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    static Bytes Random(size_t n, uint32_t seed) {
        std::mt19937 random(seed);
        Bytes b(n);
        for (auto& v : b) v = static_cast<uint8_t>(random());
        return b;
    }
    static std::string Slurp(const std::filesystem::path& path) {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The header line and the frames of a Y4M file whose frames are `frameBytes` long.
    static bool ReadY4m(const std::filesystem::path& path, size_t frameBytes, std::string* header, std::vector<Bytes>* frames) {
        std::string all = Slurp(path);
        size_t end = all.find('\n');
        if (end == std::string::npos) return false;
        *header = all.substr(0, end);
        frames->clear();
        for (size_t at = end + 1; at < all.size();) {
            if (all.compare(at, 6, "FRAME\n") != 0 || at + 6 + frameBytes > all.size()) return false;
            frames->emplace_back(all.begin() + static_cast<std::ptrdiff_t>(at + 6),
                                 all.begin() + static_cast<std::ptrdiff_t>(at + 6 + frameBytes));
            at += 6 + frameBytes;
        }
        return true;
    }
    static ConnectionFormat FormatOf(PixelFormat format, int width, int height, int64_t interval = 333333) {
        ConnectionFormat f;
        f.format = format;
        f.width = width;
        f.height = height;
        f.interval100ns = interval;
        f.sampleBytes = static_cast<uint32_t>(PictureBytes(format, width, std::abs(height)));
        return f;
    }
    std::filesystem::path dir_;
};

TEST_F(OutputTest, Y4mRates) {
    EXPECT_EQ(VideoWriter::Y4mRate(333333), "F30:1");
    EXPECT_EQ(VideoWriter::Y4mRate(666666), "F15:1");
    EXPECT_EQ(VideoWriter::Y4mRate(1333333), "F15:2");
    EXPECT_EQ(VideoWriter::Y4mRate(2000000), "F5:1");
    EXPECT_EQ(VideoWriter::Y4mRate(400000), "F25:1");
    EXPECT_EQ(VideoWriter::Y4mRate(333667), "F30000:1001");
    EXPECT_EQ(VideoWriter::Y4mRate(0), "F30:1");
}

TEST_F(OutputTest, Yuy2IsSplitIntoC422Planes) {
    const int w = 6, h = 2;
    auto path = dir_ / "yuy2.y4m";
    std::string error;
    auto writer = VideoWriter::Create(path, FormatOf(PixelFormat::Yuy2, w, h), &error);
    ASSERT_TRUE(writer) << error;
    Bytes first = Random(w * h * 2, 1), second = Random(w * h * 2, 2);
    ASSERT_TRUE(writer->Write(first, &error)) << error;
    ASSERT_TRUE(writer->Write(second, &error)) << error;
    ASSERT_TRUE(writer->Close(&error)) << error;
    EXPECT_EQ(writer->Frames(), 2u);
    EXPECT_EQ(writer->FileBytes(), std::filesystem::file_size(path));
    std::string header;
    std::vector<Bytes> frames;
    ASSERT_TRUE(ReadY4m(path, w * h * 2, &header, &frames));
    EXPECT_EQ(header, "YUV4MPEG2 W6 H2 F30:1 Ip A1:1 C422 XCOLORRANGE=LIMITED");
    ASSERT_EQ(frames.size(), 2u);
    for (int f = 0; f < 2; ++f) {
        const Bytes& in = f == 0 ? first : second;
        const Bytes& out = frames[f];
        for (int i = 0; i < w * h; ++i) EXPECT_EQ(out[i], in[2 * i]) << "Y " << i;
        for (int i = 0; i < w * h / 2; ++i) {
            EXPECT_EQ(out[w * h + i], in[4 * i + 1]) << "U " << i;
            EXPECT_EQ(out[w * h + w * h / 2 + i], in[4 * i + 3]) << "V " << i;
        }
    }
}

// RGB24 samples are bottom-up bitmaps (B, G, R) with lines padded to four
// bytes; the Y4M picture starts with the top line.
TEST_F(OutputTest, Rgb24BecomesC444TopLineFirst) {
    struct Case {
        const char* name;
        int height;  // biHeight: positive bottom-up, negative top-down
    };
    for (const Case& c : {Case{"bottom-up", 2}, Case{"top-down", -2}}) {
        SCOPED_TRACE(c.name);
        const int w = 3;  // 9 bytes a line, padded to 12
        Bytes sample(24, 0xEE);
        auto put = [&](int memoryLine, int x, uint8_t r, uint8_t g, uint8_t b) {
            uint8_t* p = &sample[memoryLine * 12 + x * 3];
            p[0] = b;
            p[1] = g;
            p[2] = r;
        };
        int top = c.height > 0 ? 1 : 0, bottom = 1 - top;
        put(top, 0, 255, 0, 0);
        put(top, 1, 255, 255, 255);
        put(top, 2, 0, 0, 0);
        put(bottom, 0, 0, 255, 0);
        put(bottom, 1, 0, 0, 255);
        put(bottom, 2, 128, 128, 128);
        auto path = dir_ / (std::string(c.name) + ".y4m");
        std::string error;
        auto writer = VideoWriter::Create(path, FormatOf(PixelFormat::Rgb24, w, c.height), &error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(writer->Write(sample, &error)) << error;
        ASSERT_TRUE(writer->Close(&error));
        std::string header;
        std::vector<Bytes> frames;
        ASSERT_TRUE(ReadY4m(path, w * 2 * 3, &header, &frames));
        EXPECT_NE(header.find("W3 H2"), std::string::npos) << header;
        EXPECT_NE(header.find("C444"), std::string::npos) << header;
        ASSERT_EQ(frames.size(), 1u);
        const Bytes& f = frames[0];
        // BT.601 limited range: red, white, black / green, blue, grey.
        const uint8_t y[6] = {82, 235, 16, 145, 41, 126};
        const uint8_t u[6] = {90, 128, 128, 54, 240, 128};
        const uint8_t v[6] = {240, 128, 128, 34, 110, 128};
        for (int i = 0; i < 6; ++i) {
            EXPECT_NEAR(f[i], y[i], 1) << "Y " << i;
            EXPECT_NEAR(f[6 + i], u[i], 1) << "U " << i;
            EXPECT_NEAR(f[12 + i], v[i], 1) << "V " << i;
        }
        // The preview agrees on which line is on top.
        RgbPicture picture;
        ASSERT_TRUE(SampleToRgb(FormatOf(PixelFormat::Rgb24, w, c.height), sample, &picture, &error)) << error;
        EXPECT_EQ(picture.rgb[0], 255);
        EXPECT_EQ(picture.rgb[1], 0);
        EXPECT_EQ(picture.rgb[9 + 3 + 1], 0);  // bottom line, second pixel: blue
        EXPECT_EQ(picture.rgb[9 + 3 + 2], 255);
    }
}

// 4:2:0 output reads back through the scene room's own Y4M reader.
TEST_F(OutputTest, I420AndYv12ReadBackAsI420) {
    const int w = 8, h = 4;
    const size_t luma = w * h, chroma = (w / 2) * (h / 2);
    Bytes sample = Random(luma + 2 * chroma, 5);
    for (PixelFormat format : {PixelFormat::I420, PixelFormat::Yv12}) {
        SCOPED_TRACE(Name(format));
        auto path = dir_ / (std::string(Name(format)) + ".y4m");
        std::string error;
        auto writer = VideoWriter::Create(path, FormatOf(format, w, h, 666666), &error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(writer->Write(sample, &error)) << error;
        ASSERT_TRUE(writer->Close(&error));
        std::ifstream in(path, std::ios::binary);
        sim::Y4mReader reader(in);
        ASSERT_TRUE(reader.Open()) << reader.error();
        EXPECT_EQ(reader.format().width, w);
        EXPECT_EQ(reader.format().height, h);
        EXPECT_EQ(reader.format().rateNumerator, 15);
        EXPECT_EQ(reader.format().rateDenominator, 1);
        Bytes frame;
        ASSERT_TRUE(reader.Next(frame)) << reader.error();
        EXPECT_FALSE(reader.Next(frame));
        Bytes expected = sample;
        if (format == PixelFormat::Yv12) {
            // YV12 carries V before U.
            std::copy(sample.begin() + luma + chroma, sample.end(), expected.begin() + luma);
            std::copy(sample.begin() + luma, sample.begin() + luma + chroma, expected.begin() + luma + chroma);
        }
        EXPECT_EQ(Bytes(frame.begin(), frame.begin() + luma + 2 * chroma), expected);
    }
}

TEST_F(OutputTest, SamplesThatHoldNoPictureAreRefusedAndNothingIsWritten) {
    std::string error;
    EXPECT_FALSE(VideoWriter::Create(dir_ / "odd.y4m", FormatOf(PixelFormat::Yuy2, 5, 4), &error));
    EXPECT_NE(error.find("even"), std::string::npos) << error;
    EXPECT_FALSE(VideoWriter::Create(dir_ / "odd420.y4m", FormatOf(PixelFormat::I420, 4, 3), &error));
    EXPECT_FALSE(VideoWriter::Create(dir_ / "huge.y4m", FormatOf(PixelFormat::Rgb24, 100000, 2), &error));
    EXPECT_FALSE(VideoWriter::Create(dir_ / "no" / "such" / "folder.y4m", FormatOf(PixelFormat::Yuy2, 4, 4), &error));

    auto path = dir_ / "short.y4m";
    auto writer = VideoWriter::Create(path, FormatOf(PixelFormat::Yuy2, 4, 4), &error);
    ASSERT_TRUE(writer);
    uint64_t before = writer->FileBytes();
    EXPECT_FALSE(writer->Write(Bytes(31), &error));
    EXPECT_NE(error.find("needs 32"), std::string::npos) << error;
    EXPECT_FALSE(writer->Write({}, &error));
    EXPECT_EQ(writer->Frames(), 0u);
    EXPECT_EQ(writer->FileBytes(), before);
    // A longer sample (the driver's buffer may be larger) gives one picture.
    EXPECT_TRUE(writer->Write(Bytes(40, 0x80), &error));
    ASSERT_TRUE(writer->Close(&error));
    EXPECT_EQ(std::filesystem::file_size(path), before + 6 + 32);

    RgbPicture picture;
    EXPECT_FALSE(SampleToRgb(FormatOf(PixelFormat::Rgb24, 3, 2), Bytes(23), &picture, &error));
    EXPECT_FALSE(SampleToRgb(FormatOf(PixelFormat::Mjpg, 640, 480), Bytes(100, 0xFF), &picture, &error));
    Bytes truncated = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    EXPECT_FALSE(SampleToRgb(FormatOf(PixelFormat::Mjpg, 640, 480), truncated, &picture, &error));
}

TEST_F(OutputTest, YuvPreviewColours) {
    // Y0 U Y1 V: white and black, then red and blue.
    Bytes sample = {235, 128, 16, 128, 82, 90, 82, 240};
    RgbPicture picture;
    std::string error;
    ASSERT_TRUE(SampleToRgb(FormatOf(PixelFormat::Yuy2, 4, 1), sample, &picture, &error)) << error;
    const int expected[4][3] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {255, 0, 0}};
    for (int x = 0; x < 4; ++x) {
        for (int c = 0; c < 3; ++c) EXPECT_NEAR(picture.rgb[x * 3 + c], expected[x][c], 2) << x << "," << c;
    }
}

Bytes EncodeJpeg(int width, int height, uint8_t r, uint8_t g, uint8_t b) {
    Bytes rgb(size_t(width) * height * 3);
    for (size_t i = 0; i < rgb.size(); i += 3) {
        rgb[i] = r;
        rgb[i + 1] = g;
        rgb[i + 2] = b;
    }
    tjhandle h = tjInitCompress();
    unsigned char* out = nullptr;
    unsigned long size = 0;
    tjCompress2(h, rgb.data(), width, 0, height, TJPF_RGB, &out, &size, TJSAMP_422, 90, 0);
    Bytes jpeg(out, out + size);
    tjFree(out);
    tjDestroy(h);
    return jpeg;
}

TEST_F(OutputTest, MjpegFileIsTheFramesInOrder) {
    Bytes red = EncodeJpeg(64, 48, 220, 30, 30), blue = EncodeJpeg(64, 48, 20, 40, 200);
    auto path = dir_ / "frames.mjpeg";
    std::string error;
    auto writer = VideoWriter::Create(path, FormatOf(PixelFormat::Mjpg, 64, 48), &error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->Write(red, &error));
    EXPECT_FALSE(writer->Write(Bytes(50, 0), &error));  // no start-of-image marker
    ASSERT_TRUE(writer->Write(blue, &error));
    ASSERT_TRUE(writer->Close(&error));
    EXPECT_EQ(writer->Frames(), 2u);
    std::string file = Slurp(path);
    ASSERT_EQ(file.size(), red.size() + blue.size());
    // Each frame decodes on its own through the reference decoder.
    tjhandle h = tjInitDecompress();
    size_t at = 0;
    for (const Bytes* frame : {&red, &blue}) {
        Bytes part(file.begin() + static_cast<std::ptrdiff_t>(at),
                   file.begin() + static_cast<std::ptrdiff_t>(at + frame->size()));
        EXPECT_EQ(part, *frame);
        Bytes pixels(64 * 48 * 3);
        ASSERT_EQ(tjDecompress2(h, part.data(), part.size(), pixels.data(), 64, 0, 48, TJPF_RGB, 0), 0);
        // The preview's decoder agrees with the reference.
        RgbPicture picture;
        ASSERT_TRUE(SampleToRgb(FormatOf(PixelFormat::Mjpg, 64, 48), part, &picture, &error)) << error;
        ASSERT_EQ(picture.width, 64);
        ASSERT_EQ(picture.height, 48);
        for (size_t i = 0; i < pixels.size(); i += 97) EXPECT_NEAR(picture.rgb[i], pixels[i], 3) << i;
        at += frame->size();
    }
    tjDestroy(h);
    // A frame is decoded for the sheet only at the negotiated size: its
    // header is read first, so a hostile size allocates nothing.
    RgbPicture picture;
    EXPECT_FALSE(SampleToRgb(FormatOf(PixelFormat::Mjpg, 32, 24), red, &picture, &error));
    EXPECT_NE(error.find("not a 32x24 picture"), std::string::npos) << error;
    Bytes huge = red;
    for (size_t i = 2; i + 8 < huge.size(); ++i) {
        if (huge[i] == 0xFF && huge[i + 1] == 0xC0) {
            huge[i + 5] = huge[i + 6] = huge[i + 7] = huge[i + 8] = 0xFF;  // 65535 x 65535
            break;
        }
    }
    EXPECT_FALSE(SampleToRgb(FormatOf(PixelFormat::Mjpg, 64, 48), huge, &picture, &error));
    Bytes headerOnly(red.begin(), red.begin() + 20);
    EXPECT_FALSE(SampleToRgb(FormatOf(PixelFormat::Mjpg, 64, 48), headerOnly, &picture, &error));
}

// Into a pipe the writer puts the same bytes as into a file, frames larger
// than its buffer included; a reader that goes away fails the next write
// instead of ending the process.
TEST_F(OutputTest, DescriptorGetsTheFilesBytesAndAClosedReaderIsAWriteError) {
    struct Case {
        PixelFormat format;
        int width, height;
    };
    const Case cases[] = {{PixelFormat::Yuy2, 640, 480}, {PixelFormat::Rgb24, 6, -4}, {PixelFormat::I420, 8, 4}};
    for (const auto& c : cases) {
        SCOPED_TRACE(Name(c.format));
        const ConnectionFormat format = FormatOf(c.format, c.width, c.height);
        const Bytes a = Random(format.sampleBytes, 1), b = Random(format.sampleBytes, 2);
        std::string error;
        auto file = VideoWriter::Create(dir_ / "file.y4m", format, &error);
        ASSERT_TRUE(file) << error;
        ASSERT_TRUE(file->Write(a, &error) && file->Write(b, &error)) << error;
        ASSERT_TRUE(file->Close(&error)) << error;

        const std::string path = (dir_ / "through-pipe.y4m").string();
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        // The reading end drains into a file on its own thread, as a player would.
        std::thread reader([&, in = ends[0]] {
            std::ofstream out(path, std::ios::binary);
            char buffer[8192];
            for (ssize_t n; (n = read(in, buffer, sizeof buffer)) > 0;) out.write(buffer, n);
            close(in);
        });
        auto piped = VideoWriter::CreateOnDescriptor(ends[1], "the pipe", format, &error);
        ASSERT_TRUE(piped) << error;
        EXPECT_TRUE(piped->Write(a, &error)) << error;
        EXPECT_TRUE(piped->Write(b, &error)) << error;
        EXPECT_TRUE(piped->Close(&error)) << error;
        EXPECT_TRUE(piped->Broken());  // closed: nothing more goes out
        reader.join();
        EXPECT_EQ(Slurp(path), Slurp(dir_ / "file.y4m"));
        EXPECT_EQ(piped->FileBytes(), Slurp(path).size());
    }

    std::signal(SIGPIPE, SIG_IGN);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    std::string error;
    const ConnectionFormat format = FormatOf(PixelFormat::Yuy2, 640, 480);
    auto piped = VideoWriter::CreateOnDescriptor(ends[1], "the pipe", format, &error);
    ASSERT_TRUE(piped) << error;  // the header waits in the buffer
    EXPECT_FALSE(piped->Write(Random(format.sampleBytes, 3), &error));
    EXPECT_TRUE(piped->Broken());
    EXPECT_EQ(error, "cannot write the pipe");
    EXPECT_FALSE(piped->Close(&error));
    EXPECT_EQ(error, "cannot finish the pipe");
}

TEST_F(OutputTest, ShrinkAveragesBoxes) {
    RgbPicture p{4, 2, Bytes(4 * 2 * 3)};
    for (int x = 0; x < 4; ++x) {
        for (int y = 0; y < 2; ++y) p.rgb[(y * 4 + x) * 3] = static_cast<uint8_t>(x < 2 ? 10 * (y + 1) : 100);
    }
    RgbPicture s = Shrink(p, 2);
    ASSERT_EQ(s.width, 2);
    ASSERT_EQ(s.height, 1);
    EXPECT_EQ(s.rgb[0], 15);
    EXPECT_EQ(s.rgb[3], 100);
    EXPECT_EQ(Shrink(p, 10).width, 4);  // never enlarged
}

TEST_F(OutputTest, ContactSheetSpreadsFramesAndShowsThem) {
    ContactSheet sheet(30, 12, 4, 160);
    std::vector<uint64_t> kept;
    for (uint64_t n = 0; n < 30; ++n) {
        if (sheet.Wants(n)) kept.push_back(n);
    }
    ASSERT_EQ(kept.size(), 12u);
    EXPECT_EQ(kept.front(), 0u);
    EXPECT_EQ(kept.back(), 29u);
    for (size_t i = 0; i < kept.size(); ++i) {
        RgbPicture p{320, 240, Bytes(320 * 240 * 3)};
        for (size_t j = 0; j < p.rgb.size(); j += 3) {
            p.rgb[j] = static_cast<uint8_t>(20 * i);
            p.rgb[j + 1] = 100;
            p.rgb[j + 2] = static_cast<uint8_t>(250 - 20 * i);
        }
        sheet.Add(kept[i], kept[i] / 30.0, p);
    }
    auto path = dir_ / "sheet.png";
    std::string error;
    ASSERT_TRUE(sheet.Write(path, &error)) << error;
    cairo_surface_t* png = cairo_image_surface_create_from_png(path.c_str());
    ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(png), 6 + 4 * (160 + 6));
    EXPECT_EQ(cairo_image_surface_get_height(png), 6 + 3 * (120 + 16 + 6));
    const uint8_t* data = cairo_image_surface_get_data(png);
    const int stride = cairo_image_surface_get_stride(png);
    for (size_t i = 0; i < kept.size(); ++i) {
        int x = 6 + static_cast<int>(i % 4) * 166 + 80, y = 6 + static_cast<int>(i / 4) * 142 + 60;
        uint32_t pixel = *reinterpret_cast<const uint32_t*>(data + size_t(y) * stride + size_t(x) * 4);
        EXPECT_EQ((pixel >> 16) & 0xFF, 20 * i) << i;
        EXPECT_EQ((pixel >> 8) & 0xFF, 100u) << i;
        EXPECT_EQ(pixel & 0xFF, 250 - 20 * i) << i;
    }
    cairo_surface_destroy(png);

    ContactSheet few(3);
    EXPECT_TRUE(few.Wants(0) && few.Wants(1) && few.Wants(2));
    EXPECT_FALSE(few.Wants(3));
    ContactSheet none(1);
    EXPECT_FALSE(none.Write(dir_ / "none.png", &error));
    EXPECT_NE(error.find("no frame"), std::string::npos);
}

// A run of unknown length (a stream that goes until its input ends): the
// sheet thins what it keeps as frames come, never holds more than twice the
// pictures it shows, and shows the first and the last frame with the rest
// spread between them.
TEST_F(OutputTest, OpenEndedSheetThinsAsFramesComeAndEndsOnTheLastFrame) {
    for (uint64_t frames : {1u, 5u, 12u, 13u, 100u, 1000u, 4097u}) {
        SCOPED_TRACE(frames);
        ContactSheet sheet(0, 12, 4, 16);
        RgbPicture p{32, 24, Bytes(32 * 24 * 3, 0x40)};
        uint64_t asked = 0;
        for (uint64_t n = 0; n < frames; ++n) {
            if (!sheet.Wants(n)) continue;
            ++asked;
            sheet.Add(n, 0, p);
        }
        // As the run ends, the caller adds the last frame when the sheet passed it over.
        if (!sheet.Has(frames - 1)) sheet.Add(frames - 1, 0, p);
        EXPECT_TRUE(sheet.Has(0));
        EXPECT_TRUE(sheet.Has(frames - 1));
        EXPECT_EQ(sheet.Count(), std::min<uint64_t>(frames, 12));
        // The pictures asked for stay few: the stride doubles whenever the sheet is full.
        EXPECT_LE(asked, 24u + 12u * 9u);
        std::string error;
        ASSERT_TRUE(sheet.Write(dir_ / "open.png", &error)) << error;
        cairo_surface_t* png = cairo_image_surface_create_from_png((dir_ / "open.png").c_str());
        ASSERT_EQ(cairo_surface_status(png), CAIRO_STATUS_SUCCESS);
        const int shown = static_cast<int>(std::min<uint64_t>(frames, 12));
        const int rows = (shown + 3) / 4;
        EXPECT_EQ(cairo_image_surface_get_height(png), 6 + rows * (12 + 16 + 6));
        cairo_surface_destroy(png);
    }
}

}  // namespace
}  // namespace qk::session
