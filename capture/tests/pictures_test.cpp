// The substitute pictures: reading the bitmaps from the drivers folder of a
// machine's system root (our own files, hostile ones, one a real image
// library wrote, and the ones the build draws), and painting a picture or its
// fill into every output format at the camera's sizes and others.
#include <FreeImage.h>
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "capture/formats.h"
#include "capture/k0340dev.h"
#include "imaging/convert/convert.h"
#include "platform/nt/debug.h"
#include "platform/nt/testing/machine_test.h"

namespace k0340 {
namespace {

namespace fs = std::filesystem;

constexpr Substitute kAllSubstitutes[] = {Substitute::HardwarePrivacy, Substitute::ParentalLock,
                                          Substitute::SoftwarePrivacy};

// ---- Bitmaps ---------------------------------------------------------------------------------

void Put16(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

// A 160 x 120 picture, rows bottom-up as a bitmap stores them, in which every
// pixel tells where it is: B the column, G the row in memory, R `tag`.
std::vector<uint8_t> PositionPicture(uint8_t tag = 200) {
    std::vector<uint8_t> raw(kPictureBytes);
    for (size_t row = 0; row < kPictureHeight; ++row) {
        for (size_t column = 0; column < kPictureWidth; ++column) {
            uint8_t* p = &raw[(row * kPictureWidth + column) * 3];
            p[0] = uint8_t(column);
            p[1] = uint8_t(row);
            p[2] = tag;
        }
    }
    return raw;
}

// A well-formed file around `pixels`; tests then spoil one field.
std::vector<uint8_t> BitmapFile(const std::vector<uint8_t>& pixels) {
    std::vector<uint8_t> file(54 + pixels.size(), 0);
    std::memcpy(file.data() + 54, pixels.data(), pixels.size());
    file[0] = 'B';
    file[1] = 'M';
    Put32(file, 2, uint32_t(54 + pixels.size()));
    Put32(file, 10, 54);
    Put32(file, 14, 40);
    Put32(file, 18, kPictureWidth);
    Put32(file, 22, kPictureHeight);
    Put16(file, 26, 1);
    Put16(file, 28, 24);
    Put32(file, 34, kPictureBytes);
    return file;
}

// ---- Reading ---------------------------------------------------------------------------------

class PictureFileTest : public qk::testing::MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        fs::create_directories(Drivers());
    }
    fs::path Drivers() { return Root() / "Windows" / "System32" / "drivers"; }
    fs::path PathOf(Substitute which) {
        std::u16string name = SubstituteFileName(which);
        return Drivers() / std::string(name.begin(), name.end());
    }
    void Write(Substitute which, const std::vector<uint8_t>& bytes) {
        std::ofstream(PathOf(which), std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                             std::streamsize(bytes.size()));
    }
    // Reads into a buffer with guard bytes after it: whatever the file says,
    // nothing lands past the 57 600 bytes of the picture.
    BOOLEAN Read(Substitute which, std::vector<uint8_t>* raw) {
        std::vector<uint8_t> buffer(kPictureBytes + 64, 0xA5);
        BOOLEAN read = ReadSubstitutePicture(which, buffer.data());
        for (size_t i = kPictureBytes; i < buffer.size(); ++i) {
            if (buffer[i] != 0xA5) {
                ADD_FAILURE() << "written past the picture at byte " << i;
                break;
            }
        }
        raw->assign(buffer.begin(), buffer.begin() + kPictureBytes);
        return read;
    }
    bool DebuggerSaid(const std::string& text) {
        for (const auto& m : qk::debug::Messages()) {
            if (m.find(text) != std::string::npos) return true;
        }
        return false;
    }
};

TEST_F(PictureFileTest, EachConditionReadsItsOwnFileAsStored) {
    for (Substitute which : kAllSubstitutes) Write(which, BitmapFile(PositionPicture(uint8_t(10 + int(which)))));
    for (Substitute which : kAllSubstitutes) {
        SCOPED_TRACE(int(which));
        std::vector<uint8_t> raw;
        ASSERT_TRUE(Read(which, &raw));
        EXPECT_EQ(raw, PositionPicture(uint8_t(10 + int(which))));
    }
    EXPECT_EQ(std::u16string(SubstituteFileName(Substitute::HardwarePrivacy)), u"K0340Pv2.bmp");
    EXPECT_EQ(std::u16string(SubstituteFileName(Substitute::ParentalLock)), u"K0340Pc.bmp");
    EXPECT_EQ(std::u16string(SubstituteFileName(Substitute::SoftwarePrivacy)), u"K0340Pvc.bmp");
}

TEST_F(PictureFileTest, WritersFreedomsAreAccepted) {
    const auto pixels = PositionPicture();
    struct Case {
        const char* name;
        void (*change)(std::vector<uint8_t>&);
    } cases[] = {
        {"image size left 0", [](std::vector<uint8_t>& f) { Put32(f, 34, 0); }},
        {"file size wrong", [](std::vector<uint8_t>& f) { Put32(f, 2, 0xFFFFFFFF); }},
        {"resolution given", [](std::vector<uint8_t>& f) { Put32(f, 38, 3780), Put32(f, 42, 3780); }},
        {"two padding bytes after the pixels", [](std::vector<uint8_t>& f) { f.push_back(0), f.push_back(0); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = BitmapFile(pixels);
        c.change(file);
        Write(Substitute::ParentalLock, file);
        std::vector<uint8_t> raw;
        ASSERT_TRUE(Read(Substitute::ParentalLock, &raw));
        EXPECT_EQ(raw, pixels);
    }
}

TEST_F(PictureFileTest, AnythingElseIsRefusedWithTheReason) {
    const auto pixels = PositionPicture();
    struct Case {
        const char* name;
        void (*change)(std::vector<uint8_t>&);
        const char* reason;
    } cases[] = {
        {"empty", [](std::vector<uint8_t>& f) { f.clear(); }, "shorter than its headers"},
        {"half a file header", [](std::vector<uint8_t>& f) { f.resize(7); }, "shorter than its headers"},
        {"no info header", [](std::vector<uint8_t>& f) { f.resize(14); }, "shorter than its headers"},
        {"headers only", [](std::vector<uint8_t>& f) { f.resize(54); }, "shorter than its pixels"},
        {"one pixel byte short", [](std::vector<uint8_t>& f) { f.pop_back(); }, "shorter than its pixels"},
        {"not BM", [](std::vector<uint8_t>& f) { f[1] = 'A'; }, "not a bitmap file"},
        {"palette before the pixels", [](std::vector<uint8_t>& f) { Put32(f, 10, 54 + 1024); },
         "pixels do not follow"},
        {"huge pixel offset", [](std::vector<uint8_t>& f) { Put32(f, 10, 0xFFFFFFFF); }, "pixels do not follow"},
        {"124-byte info header", [](std::vector<uint8_t>& f) { Put32(f, 14, 124); }, "not a 40-byte info header"},
        {"huge info header", [](std::vector<uint8_t>& f) { Put32(f, 14, 0xFFFFFFFF); }, "not a 40-byte info header"},
        {"320 wide", [](std::vector<uint8_t>& f) { Put32(f, 18, 320); }, "not 160 x 120"},
        {"240 high", [](std::vector<uint8_t>& f) { Put32(f, 22, 240); }, "not 160 x 120"},
        {"huge width", [](std::vector<uint8_t>& f) { Put32(f, 18, 0xFFFFFFFF); }, "not 160 x 120"},
        {"most negative height", [](std::vector<uint8_t>& f) { Put32(f, 22, 0x80000000); }, "not 160 x 120"},
        {"top-down", [](std::vector<uint8_t>& f) { Put32(f, 22, uint32_t(-120)); }, "not 160 x 120"},
        {"two planes", [](std::vector<uint8_t>& f) { Put16(f, 26, 2); }, "not 24 bits"},
        {"32 bits", [](std::vector<uint8_t>& f) { Put16(f, 28, 32), f.resize(54 + 160 * 120 * 4, 0x11); },
         "not 24 bits"},
        {"8 bits", [](std::vector<uint8_t>& f) { Put16(f, 28, 8); }, "not 24 bits"},
        {"run-length coded", [](std::vector<uint8_t>& f) { Put32(f, 30, 1); }, "compressed"},
        {"bit fields", [](std::vector<uint8_t>& f) { Put32(f, 30, 3); }, "compressed"},
        {"JPEG inside", [](std::vector<uint8_t>& f) { Put32(f, 30, 4); }, "compressed"},
        {"huge image size", [](std::vector<uint8_t>& f) { Put32(f, 34, 0xFFFFFFFF); }, "image size"},
        {"image size of a padded 32-bit picture", [](std::vector<uint8_t>& f) { Put32(f, 34, 76800); }, "image size"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = BitmapFile(pixels);
        c.change(file);
        Write(Substitute::SoftwarePrivacy, file);
        qk::debug::Clear();
        std::vector<uint8_t> raw;
        EXPECT_FALSE(Read(Substitute::SoftwarePrivacy, &raw));
        EXPECT_TRUE(DebuggerSaid(std::string("K0340Pvc.bmp: ") + c.reason));
    }
}

TEST_F(PictureFileTest, MissingFilesAndWrongCallersGetFalse) {
    std::vector<uint8_t> raw;
    EXPECT_FALSE(Read(Substitute::HardwarePrivacy, &raw));
    EXPECT_TRUE(DebuggerSaid("K0340Pv2.bmp: cannot open"));

    // A folder where the picture should be.
    fs::create_directories(PathOf(Substitute::HardwarePrivacy));
    EXPECT_FALSE(Read(Substitute::HardwarePrivacy, &raw));

    EXPECT_EQ(SubstituteFileName(static_cast<Substitute>(kSubstituteCount)), nullptr);
    EXPECT_FALSE(ReadSubstitutePicture(static_cast<Substitute>(-1), raw.data()));
    Write(Substitute::ParentalLock, BitmapFile(PositionPicture()));
    EXPECT_FALSE(ReadSubstitutePicture(Substitute::ParentalLock, nullptr));

    // File calls are for PASSIVE_LEVEL; a raised caller gets the fill, not a
    // verifier report (the machine test fails on any).
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    BOOLEAN raised = ReadSubstitutePicture(Substitute::ParentalLock, raw.data());
    KeLowerIrql(old);
    EXPECT_FALSE(raised);
    EXPECT_TRUE(Read(Substitute::ParentalLock, &raw));
}

// A real image library's 24-bit bitmap of a real image reads as that library
// holds it; its 32-bit bitmap is refused.
TEST_F(PictureFileTest, BitmapsAnImageLibraryWrote) {
    const char* candidates[] = {"/usr/share/doc/libsndfile1-dev/markdown/libsndfile.jpg",
                                "/usr/share/doc/nodejs/full-white-stripe.jpg"};
    std::string source;
    for (const char* c : candidates) {
        if (fs::exists(c)) {
            source = c;
            break;
        }
    }
    if (source.empty()) GTEST_SKIP() << "no JPEG image shipped by an installed package";
    FIBITMAP* loaded = FreeImage_Load(FIF_JPEG, source.c_str(), 0);
    ASSERT_NE(loaded, nullptr) << source;
    FIBITMAP* scaled = FreeImage_Rescale(loaded, kPictureWidth, kPictureHeight, FILTER_BILINEAR);
    FIBITMAP* picture = FreeImage_ConvertTo24Bits(scaled);
    FIBITMAP* withAlpha = FreeImage_ConvertTo32Bits(scaled);
    FreeImage_Unload(loaded);
    FreeImage_Unload(scaled);
    ASSERT_NE(picture, nullptr);
    ASSERT_NE(withAlpha, nullptr);
    const std::string path = PathOf(Substitute::HardwarePrivacy).string();
    ASSERT_TRUE(FreeImage_Save(FIF_BMP, picture, path.c_str(), BMP_DEFAULT));
    std::vector<uint8_t> expected(kPictureBytes);
    for (unsigned row = 0; row < kPictureHeight; ++row) {
        // FreeImage keeps its lines bottom-up, B, G, R on this byte order.
        std::memcpy(&expected[row * kPictureWidth * 3], FreeImage_GetScanLine(picture, row), kPictureWidth * 3);
    }
    std::vector<uint8_t> raw;
    EXPECT_TRUE(Read(Substitute::HardwarePrivacy, &raw));
    EXPECT_EQ(raw, expected);
    std::set<uint32_t> colours;
    for (size_t i = 0; i < raw.size(); i += 3) colours.insert(raw[i] | raw[i + 1] << 8 | raw[i + 2] << 16);
    EXPECT_GT(colours.size(), 50u) << "the image should not be flat";

    ASSERT_TRUE(FreeImage_Save(FIF_BMP, withAlpha, path.c_str(), BMP_DEFAULT));
    EXPECT_FALSE(Read(Substitute::HardwarePrivacy, &raw));
    FreeImage_Unload(picture);
    FreeImage_Unload(withAlpha);
}

// The pictures the build draws are what the driver reads, each its own.
TEST_F(PictureFileTest, TheShippedPicturesRead) {
    std::vector<std::vector<uint8_t>> pictures;
    for (Substitute which : kAllSubstitutes) {
        std::u16string name = SubstituteFileName(which);
        const fs::path built = fs::path(QK_ARTWORK_DIR) / std::string(name.begin(), name.end());
        SCOPED_TRACE(built.string());
        ASSERT_TRUE(fs::exists(built));
        fs::copy_file(built, PathOf(which));
        std::vector<uint8_t> raw;
        ASSERT_TRUE(Read(which, &raw));
        // Symbol and caption on a background: light and dark parts, many colours.
        size_t light = 0, dark = 0;
        std::set<uint32_t> colours;
        for (size_t i = 0; i < raw.size(); i += 3) {
            const int luma = (114 * raw[i] + 587 * raw[i + 1] + 299 * raw[i + 2]) / 1000;
            light += luma > 150;
            dark += luma < 80;
            colours.insert(raw[i] | raw[i + 1] << 8 | raw[i + 2] << 16);
        }
        EXPECT_GT(light, raw.size() / 3 / 10);
        EXPECT_GT(dark, raw.size() / 3 / 10);
        EXPECT_GT(colours.size(), 100u);
        pictures.push_back(raw);
    }
    for (size_t a = 0; a < pictures.size(); ++a) {
        for (size_t b = a + 1; b < pictures.size(); ++b) {
            size_t differing = 0;
            for (size_t i = 0; i < kPictureBytes; i += 3) {
                differing += std::memcmp(&pictures[a][i], &pictures[b][i], 3) != 0;
            }
            EXPECT_GT(differing, kPictureBytes / 3 / 2) << a << " and " << b << " look alike";
        }
    }
}

// ---- Painting --------------------------------------------------------------------------------

// A buffer with sentinel bytes before and after it, and before any write
// inside it, so that both a stray write and a byte never written show.
class Guarded {
public:
    explicit Guarded(size_t bytes) : bytes_(bytes), storage_(bytes + 2 * kGuard, kSentinel) {}
    UCHAR* data() { return storage_.data() + kGuard; }
    ULONG size() const { return ULONG(bytes_); }
    bool GuardsIntact() const {
        for (size_t i = 0; i < kGuard; ++i) {
            if (storage_[i] != kSentinel || storage_[kGuard + bytes_ + i] != kSentinel) return false;
        }
        return true;
    }
    bool Untouched() const {
        for (uint8_t b : storage_) {
            if (b != kSentinel) return false;
        }
        return true;
    }
    std::vector<uint8_t> Contents() const {
        return {storage_.begin() + kGuard, storage_.begin() + kGuard + std::ptrdiff_t(bytes_)};
    }

private:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kSentinel = 0xEE;
    size_t bytes_;
    std::vector<uint8_t> storage_;
};

size_t PictureSize(ULONG width, ULONG height, ULONG format) {
    return size_t(width) * height * kSubFormats[format].biBitCount / 8;
}

// Paints into guarded buffers of exactly the picture's size and the canvas's.
struct Painted {
    ULONG written;
    std::vector<uint8_t> out;
};
Painted Paint(Substitute which, const std::vector<uint8_t>* raw, ULONG width, ULONG height, ULONG format) {
    Guarded out(PictureSize(width, height, format)), canvas(size_t(width) * height * 3);
    ULONG written = PaintSubstitute(which, raw ? raw->data() : nullptr, width, height, format, canvas.data(),
                                    canvas.size(), out.data(), out.size());
    EXPECT_TRUE(out.GuardsIntact()) << "written outside the sample";
    EXPECT_TRUE(canvas.GuardsIntact()) << "written outside the canvas";
    return {written, out.Contents()};
}

struct Size {
    ULONG width, height;
};
constexpr Size kLargeEnough[] = {{160, 120}, {176, 144}, {320, 240}, {352, 288}, {640, 480}, {800, 600}, {1600, 1200}};

// The memory position of the picture's first pixel in a bottom-up canvas.
Size Offset(ULONG width, ULONG height) { return {(width - kPictureWidth) / 2, (height - kPictureHeight) / 2}; }

TEST(PaintSubstituteTest, Rgb24HasThePictureInTheMiddleOfBlackAsStored) {
    const auto raw = PositionPicture();
    for (Size s : kLargeEnough) {
        SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
        Painted p = Paint(Substitute::ParentalLock, &raw, s.width, s.height, kFormatRgb24);
        ASSERT_EQ(p.written, s.width * s.height * 3);
        const Size at = Offset(s.width, s.height);
        for (size_t y = 0; y < s.height; ++y) {
            for (size_t x = 0; x < s.width; ++x) {
                const uint8_t* pixel = &p.out[(y * s.width + x) * 3];
                const bool inside = x >= at.width && x < at.width + kPictureWidth && y >= at.height &&
                                    y < at.height + kPictureHeight;
                const uint8_t expected[3] = {inside ? uint8_t(x - at.width) : uint8_t(0),
                                             inside ? uint8_t(y - at.height) : uint8_t(0), inside ? uint8_t(200) : uint8_t(0)};
                ASSERT_EQ(std::memcmp(pixel, expected, 3), 0) << "pixel " << x << "," << y;
            }
        }
    }
    // The camera's small sizes: the picture unscaled at (0, 0), and with a
    // border of 8 columns left and right and 12 rows below and above.
    Painted small = Paint(Substitute::ParentalLock, &raw, 160, 120, kFormatRgb24);
    EXPECT_EQ(small.out, raw);
    Painted qcif = Paint(Substitute::ParentalLock, &raw, 176, 144, kFormatRgb24);
    EXPECT_EQ(std::memcmp(&qcif.out[(12 * 176 + 8) * 3], &raw[0], kPictureWidth * 3), 0);
    EXPECT_EQ(std::memcmp(&qcif.out[(131 * 176 + 8) * 3], &raw[119 * kPictureWidth * 3], kPictureWidth * 3), 0);
    EXPECT_EQ(qcif.out[(12 * 176 + 7) * 3 + 2], 0);
    EXPECT_EQ(qcif.out[(12 * 176 + 168) * 3 + 2], 0);
    EXPECT_EQ(qcif.out[(11 * 176 + 8) * 3 + 2], 0);
    EXPECT_EQ(qcif.out[(132 * 176 + 8) * 3 + 2], 0);
}

TEST(PaintSubstituteTest, AnOddMarginLeavesTheExtraLineAboveAndColumnRight) {
    const auto raw = PositionPicture();
    Painted p = Paint(Substitute::SoftwarePrivacy, &raw, 161, 121, kFormatRgb24);
    ASSERT_EQ(p.written, 161u * 121u * 3u);
    EXPECT_EQ(std::memcmp(&p.out[0], &raw[0], kPictureWidth * 3), 0);  // bottom line, from the left
    EXPECT_EQ(p.out[160 * 3 + 2], 0);                                   // the column on the right is black
    for (size_t x = 0; x < 161 * 3; ++x) ASSERT_EQ(p.out[120 * 161 * 3 + x], 0) << x;  // and the top line
}

// Smaller in either direction: the picture is scaled to the whole sample,
// corner to corner, nearest neighbour.
TEST(PaintSubstituteTest, SmallerStreamsGetThePictureScaledToTheWhole) {
    const auto raw = PositionPicture();
    for (Size s : {Size{80, 60}, Size{158, 120}, Size{160, 118}, Size{200, 100}, Size{2, 2}, Size{1, 1}}) {
        SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
        Painted p = Paint(Substitute::HardwarePrivacy, &raw, s.width, s.height, kFormatRgb24);
        ASSERT_EQ(p.written, s.width * s.height * 3);
        // Sample i of n comes from (0.5 + i * (source - 1) / n) of the source, in 16.16.
        auto source = [](size_t i, size_t n, size_t from) { return (32768 + i * (((from << 16) - 65536) / n)) >> 16; };
        for (size_t y = 0; y < s.height; ++y) {
            for (size_t x = 0; x < s.width; ++x) {
                const uint8_t* pixel = &p.out[(y * s.width + x) * 3];
                ASSERT_EQ(pixel[0], source(x, s.width, kPictureWidth)) << x << "," << y;
                ASSERT_EQ(pixel[1], source(y, s.height, kPictureHeight)) << x << "," << y;
                ASSERT_EQ(pixel[2], 200);
            }
        }
        // Every corner of the picture reaches the sample's corner.
        EXPECT_EQ(p.out[0], 0);
        EXPECT_EQ(p.out[1], 0);
    }
}

// The converted formats show exactly the RGB24 picture, turned top-down.
TEST(PaintSubstituteTest, ConvertedFormatsAreTheRgbPictureTopDown) {
    const auto raw = PositionPicture();
    for (Size s : {Size{160, 120}, Size{176, 144}, Size{640, 480}, Size{1600, 1200}, Size{80, 60}, Size{120, 160}}) {
        SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height));
        const int w = int(s.width), h = int(s.height);
        Painted rgb = Paint(Substitute::SoftwarePrivacy, &raw, s.width, s.height, kFormatRgb24);
        std::vector<uint8_t> yuy2(PictureSize(s.width, s.height, kFormatYuy2));
        std::vector<uint8_t> i420(PictureSize(s.width, s.height, kFormatI420));
        ASSERT_EQ(ConvertRgb24ToYuy2(yuy2.data(), w * 2, rgb.out.data(), w, h, w * 3), IMG_SUCCESS);
        ASSERT_EQ(FlipTopBottom(yuy2.data(), yuy2.data(), w, h, w * 2, MT_YUY2), IMG_SUCCESS);
        ASSERT_EQ(ConvertRgb24ToI420(i420.data(), rgb.out.data(), w, h, w * 3), IMG_SUCCESS);
        ASSERT_EQ(FlipTopBottom(i420.data(), i420.data(), w, h, w, MT_I420), IMG_SUCCESS);
        std::vector<uint8_t> yv12 = i420;
        const size_t luma = size_t(w) * h, chroma = luma / 4;
        std::memcpy(&yv12[luma], &i420[luma + chroma], chroma);
        std::memcpy(&yv12[luma + chroma], &i420[luma], chroma);

        Painted p = Paint(Substitute::SoftwarePrivacy, &raw, s.width, s.height, kFormatYuy2);
        EXPECT_EQ(p.written, yuy2.size());
        EXPECT_TRUE(p.out == yuy2) << "YUY2";
        p = Paint(Substitute::SoftwarePrivacy, &raw, s.width, s.height, kFormatI420);
        EXPECT_EQ(p.written, i420.size());
        EXPECT_TRUE(p.out == i420) << "I420";
        p = Paint(Substitute::SoftwarePrivacy, &raw, s.width, s.height, kFormatYv12);
        EXPECT_EQ(p.written, yv12.size());
        EXPECT_TRUE(p.out == yv12) << "YV12";
    }
}

// A red mark in the picture's top-left corner as a person sees it: bottom-up
// RGB24 keeps it in the last lines, the top-down formats in their first.
TEST(PaintSubstituteTest, ThePicturesTopLeftStaysTopLeft) {
    std::vector<uint8_t> raw(kPictureBytes, 0x80);
    for (size_t row = 116; row < 120; ++row) {  // the top four lines of the display
        for (size_t column = 0; column < 4; ++column) {
            uint8_t* p = &raw[(row * kPictureWidth + column) * 3];
            p[0] = 0, p[1] = 0, p[2] = 255;
        }
    }
    // 176 x 144: the picture's top-left is 12 lines down and 8 pixels in.
    Painted rgb = Paint(Substitute::ParentalLock, &raw, 176, 144, kFormatRgb24);
    const uint8_t* corner = &rgb.out[((143 - 12) * 176 + 8) * 3];
    EXPECT_EQ(corner[0], 0);
    EXPECT_EQ(corner[2], 255);

    Painted yuy2 = Paint(Substitute::ParentalLock, &raw, 176, 144, kFormatYuy2);
    const uint8_t* pair = &yuy2.out[(12 * 176 + 8) * 2];
    EXPECT_NEAR(pair[0], 76, 1);  // the luma of pure red
    EXPECT_LT(pair[1], 110);      // little blue
    EXPECT_GT(pair[3], 200);      // much red
    const uint8_t* grey = &yuy2.out[((12 + 119) * 176 + 8) * 2];  // bottom-left of the picture
    EXPECT_NEAR(grey[0], 0x80, 1);
    EXPECT_NEAR(grey[1], 0x80, 1);
    const uint8_t* border = &yuy2.out[(11 * 176 + 8) * 2];  // the line above it
    EXPECT_EQ(border[0], 0);
    EXPECT_EQ(border[1], 0x80);

    Painted i420 = Paint(Substitute::ParentalLock, &raw, 176, 144, kFormatI420);
    EXPECT_NEAR(i420.out[12 * 176 + 8], 76, 1);
    const size_t chromaAt = (12 / 2) * 88 + 8 / 2;
    EXPECT_LT(i420.out[176 * 144 + chromaAt], 110);                 // U
    EXPECT_GT(i420.out[176 * 144 + 88 * 72 + chromaAt], 200);       // V
    Painted yv12 = Paint(Substitute::ParentalLock, &raw, 176, 144, kFormatYv12);
    EXPECT_GT(yv12.out[176 * 144 + chromaAt], 200);                 // V first
    EXPECT_LT(yv12.out[176 * 144 + 88 * 72 + chromaAt], 110);
}

// Without a picture: grey for the lock, black for both kinds of privacy (the
// hardware switch too, so a sample never keeps what the buffer held).
TEST(PaintSubstituteTest, FillsWithoutAPicture) {
    for (Size s : {Size{176, 144}, Size{640, 480}, Size{2, 2}}) {
        for (Substitute which : kAllSubstitutes) {
            for (ULONG format : {kFormatRgb24, kFormatI420, kFormatYuy2, kFormatYv12}) {
                SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " substitute " +
                             std::to_string(int(which)) + " format " + std::to_string(format));
                Painted p = Paint(which, nullptr, s.width, s.height, format);
                ASSERT_EQ(p.written, PictureSize(s.width, s.height, format));
                const size_t luma = size_t(s.width) * s.height;
                for (size_t i = 0; i < p.out.size(); ++i) {
                    uint8_t expected;
                    if (which == Substitute::ParentalLock) {
                        expected = 0x7F;
                    } else if (format == kFormatRgb24) {
                        expected = 0;
                    } else if (format == kFormatYuy2) {
                        expected = i % 2 ? 0x80 : 0;  // 0x80008000 word after word
                    } else {
                        expected = i < luma ? 0 : 0x80;
                    }
                    ASSERT_EQ(p.out[i], expected) << "byte " << i;
                }
            }
        }
    }
    // RGB24 of a size that is no whole number of words still gets every byte.
    Painted odd = Paint(Substitute::ParentalLock, nullptr, 3, 1, kFormatRgb24);
    EXPECT_EQ(odd.written, 9u);
    EXPECT_EQ(odd.out, std::vector<uint8_t>(9, 0x7F));
}

// What cannot be painted returns 0 and writes nothing anywhere.
TEST(PaintSubstituteTest, RefusalsLeaveEverythingUntouched) {
    const auto raw = PositionPicture();
    struct Case {
        const char* name;
        Substitute which;
        bool withPicture;
        ULONG width, height, format;
        long outShort, canvasShort;  // bytes less than needed
        bool nullOut, nullCanvas;
    } cases[] = {
        {"MJPG", Substitute::ParentalLock, true, 176, 144, kFormatMjpg, 0, 0, false, false},
        {"MJPG fill", Substitute::SoftwarePrivacy, false, 176, 144, kFormatMjpg, 0, 0, false, false},
        {"format 5", Substitute::ParentalLock, false, 176, 144, 5, 0, 0, false, false},
        {"format 0xFFFFFFFF", Substitute::ParentalLock, true, 176, 144, 0xFFFFFFFF, 0, 0, false, false},
        {"no width", Substitute::ParentalLock, false, 0, 144, kFormatRgb24, 0, 0, false, false},
        {"no height", Substitute::ParentalLock, true, 176, 0, kFormatYuy2, 0, 0, false, false},
        {"YUY2 odd width", Substitute::ParentalLock, true, 175, 144, kFormatYuy2, 0, 0, false, false},
        {"YUY2 odd width fill", Substitute::ParentalLock, false, 175, 144, kFormatYuy2, 0, 0, false, false},
        {"I420 odd width", Substitute::ParentalLock, true, 175, 144, kFormatI420, 0, 0, false, false},
        {"I420 odd height", Substitute::SoftwarePrivacy, false, 176, 143, kFormatI420, 0, 0, false, false},
        {"YV12 odd height", Substitute::ParentalLock, true, 176, 143, kFormatYv12, 0, 0, false, false},
        {"sample a byte short", Substitute::ParentalLock, true, 176, 144, kFormatRgb24, 1, 0, false, false},
        {"sample a byte short, fill", Substitute::HardwarePrivacy, false, 640, 480, kFormatYuy2, 1, 0, false, false},
        {"no sample", Substitute::ParentalLock, false, 176, 144, kFormatRgb24, 0, 0, true, false},
        {"canvas a byte short", Substitute::ParentalLock, true, 640, 480, kFormatYuy2, 0, 1, false, false},
        {"canvas of the sample's size", Substitute::ParentalLock, true, 640, 480, kFormatI420, 0, 640 * 480 * 3 / 2,
         false, false},
        {"no canvas", Substitute::ParentalLock, true, 176, 144, kFormatI420, 0, 0, false, true},
        {"unknown substitute", static_cast<Substitute>(3), false, 176, 144, kFormatRgb24, 0, 0, false, false},
        {"negative substitute", static_cast<Substitute>(-1), true, 176, 144, kFormatRgb24, 0, 0, false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t outBytes = c.format < kFormatCount ? PictureSize(c.width, c.height, c.format) : 4096;
        Guarded out(outBytes - size_t(c.outShort)), canvas(size_t(c.width) * c.height * 3 - size_t(c.canvasShort));
        EXPECT_EQ(PaintSubstitute(c.which, c.withPicture ? raw.data() : nullptr, c.width, c.height, c.format,
                                  c.nullCanvas ? nullptr : canvas.data(), canvas.size(),
                                  c.nullOut ? nullptr : out.data(), out.size()),
                  0u);
        EXPECT_TRUE(out.Untouched());
        EXPECT_TRUE(canvas.Untouched());
    }
}

// Sizes whose products leave 32 bits, or whose lines leave an int, are
// refused before anything is computed from them.
TEST(PaintSubstituteTest, HugeSizesAreRefused) {
    const auto raw = PositionPicture();
    UCHAR out[64], canvas[64];
    for (Size s : {Size{0x80000000u, 1}, Size{1, 0x80000000u}, Size{65536, 65536}, Size{0xFFFFFFFFu, 0xFFFFFFFFu},
                   Size{0x2AAAAAABu, 2}}) {
        for (ULONG format : {kFormatRgb24, kFormatI420, kFormatYuy2, kFormatYv12}) {
            SCOPED_TRACE(std::to_string(s.width) + "x" + std::to_string(s.height) + " format " + std::to_string(format));
            EXPECT_EQ(PaintSubstitute(Substitute::ParentalLock, raw.data(), s.width, s.height, format, canvas,
                                      0xFFFFFFFFu, out, 0xFFFFFFFFu),
                      0u);
            EXPECT_EQ(PaintSubstitute(Substitute::SoftwarePrivacy, nullptr, s.width, s.height, format, canvas,
                                      0xFFFFFFFFu, out, 0xFFFFFFFFu),
                      0u);
        }
    }
}

// RGB24 and the fills need no canvas; the converted formats do.
TEST(PaintSubstituteTest, OnlyConvertedPicturesUseTheCanvas) {
    const auto raw = PositionPicture();
    Guarded out(640 * 480 * 3);
    EXPECT_EQ(PaintSubstitute(Substitute::ParentalLock, raw.data(), 640, 480, kFormatRgb24, nullptr, 0, out.data(),
                              out.size()),
              640u * 480u * 3u);
    for (ULONG format : {kFormatI420, kFormatYuy2, kFormatYv12}) {
        EXPECT_EQ(PaintSubstitute(Substitute::SoftwarePrivacy, nullptr, 640, 480, format, nullptr, 0, out.data(),
                                  out.size()),
                  PictureSize(640, 480, format));
    }
    EXPECT_TRUE(out.GuardsIntact());
}

}  // namespace
}  // namespace k0340
