#include "tools/session/capture_output.h"

#include <FreeImage.h>
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include <unistd.h>

#include <cerrno>

#include "platform/nt/wformat.h"

namespace qk::session {
namespace {

// An output buffer over a file descriptor: full writes, EINTR retried; a
// failed write (a reader that went away: EPIPE) fails the stream.
class DescriptorBuffer : public std::streambuf {
public:
    explicit DescriptorBuffer(int descriptor) : descriptor_(descriptor), buffer_(1 << 16) {
        setp(buffer_.data(), buffer_.data() + buffer_.size());
    }
    ~DescriptorBuffer() override {
        sync();
        if (descriptor_ >= 0) ::close(descriptor_);
    }

protected:
    int_type overflow(int_type c) override {
        if (!Drain()) return traits_type::eof();
        if (!traits_type::eq_int_type(c, traits_type::eof())) {
            *pptr() = traits_type::to_char_type(c);
            pbump(1);
        }
        return traits_type::not_eof(c);
    }
    int sync() override { return Drain() ? 0 : -1; }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        // Large frames go straight out rather than through the buffer.
        if (n < static_cast<std::streamsize>(buffer_.size())) return std::streambuf::xsputn(s, n);
        if (!Drain() || !WriteAll(s, static_cast<size_t>(n))) return 0;
        return n;
    }

private:
    bool WriteAll(const char* data, size_t n) {
        while (n > 0) {
            ssize_t done = ::write(descriptor_, data, n);
            if (done < 0 && errno == EINTR) continue;
            if (done <= 0) return false;
            data += done;
            n -= static_cast<size_t>(done);
        }
        return true;
    }
    bool Drain() {
        const size_t n = static_cast<size_t>(pptr() - pbase());
        setp(buffer_.data(), buffer_.data() + buffer_.size());
        return WriteAll(buffer_.data(), n);
    }
    int descriptor_;
    std::vector<char> buffer_;
};

constexpr int kMaxSide = 16384;

uint8_t Clamp(int value) { return static_cast<uint8_t>(std::clamp(value, 0, 255)); }

// BT.601 limited range, 8-bit integer coefficients (ITU-R BT.601 scaled by 256).
void YuvToRgb(int y, int u, int v, uint8_t* rgb) {
    int c = 298 * (y - 16), d = u - 128, e = v - 128;
    rgb[0] = Clamp((c + 409 * e + 128) >> 8);
    rgb[1] = Clamp((c - 100 * d - 208 * e + 128) >> 8);
    rgb[2] = Clamp((c + 516 * d + 128) >> 8);
}

void RgbToYuv(int r, int g, int b, uint8_t* y, uint8_t* u, uint8_t* v) {
    *y = Clamp(((66 * r + 129 * g + 25 * b + 128) >> 8) + 16);
    *u = Clamp(((-38 * r - 74 * g + 112 * b + 128) >> 8) + 128);
    *v = Clamp(((112 * r - 94 * g - 18 * b + 128) >> 8) + 128);
}

uint64_t Rgb24Stride(int width) { return ((24ull * static_cast<uint64_t>(width) + 31) / 32) * 4; }

bool IsJpeg(std::span<const uint8_t> sample) { return sample.size() >= 4 && sample[0] == 0xFF && sample[1] == 0xD8; }

bool SizeUsable(const ConnectionFormat& format, std::string* error);

// The picture size in a JPEG's frame header (ITU-T T.81 B.2.2), found by
// walking the marker segments from SOI; false when there is none inside the data.
bool JpegFrameSize(std::span<const uint8_t> jpeg, int* width, int* height) {
    size_t at = 2;
    while (at + 4 <= jpeg.size()) {
        if (jpeg[at] != 0xFF) return false;
        const uint8_t marker = jpeg[at + 1];
        if (marker == 0xFF) {  // fill byte
            ++at;
            continue;
        }
        const size_t length = size_t{jpeg[at + 2]} << 8 | jpeg[at + 3];
        if (length < 2) return false;
        const bool frameHeader = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frameHeader) {
            if (length < 7 || at + 2 + 7 > jpeg.size()) return false;
            *height = jpeg[at + 5] << 8 | jpeg[at + 6];
            *width = jpeg[at + 7] << 8 | jpeg[at + 8];
            return true;
        }
        if (marker == 0xDA || marker == 0xD9) return false;  // scan or end before any frame header
        at += 2 + length;
    }
    return false;
}

bool DecodeJpeg(const ConnectionFormat& format, std::span<const uint8_t> sample, RgbPicture* picture,
                std::string* error) {
    if (!IsJpeg(sample) || sample.size() > 0xFFFFFFFFu) {
        *error = "the sample is not a JPEG frame (no start-of-image marker)";
        return false;
    }
    // Only a frame of the negotiated size is decoded: a header claiming
    // anything else (a huge one, say) is refused before a byte is allocated.
    if (!SizeUsable(format, error)) return false;
    int width = 0, height = 0;
    if (!JpegFrameSize(sample, &width, &height) || width != format.width || height != std::abs(format.height)) {
        *error = Format("the JPEG frame is not a %dx%d picture", format.width, std::abs(format.height));
        return false;
    }
    FIMEMORY* memory = FreeImage_OpenMemory(const_cast<BYTE*>(sample.data()), static_cast<DWORD>(sample.size()));
    FIBITMAP* bitmap = memory ? FreeImage_LoadFromMemory(FIF_JPEG, memory, 0) : nullptr;
    FIBITMAP* rgb = bitmap ? FreeImage_ConvertTo24Bits(bitmap) : nullptr;
    bool ok = rgb != nullptr;
    if (ok) {
        ok = static_cast<int>(FreeImage_GetWidth(rgb)) == width && static_cast<int>(FreeImage_GetHeight(rgb)) == height;
        if (ok) {
            picture->width = width;
            picture->height = height;
            picture->rgb.resize(size_t(width) * height * 3);
            for (int y = 0; y < height; ++y) {
                const BYTE* line = FreeImage_GetScanLine(rgb, height - 1 - y);  // FreeImage keeps lines bottom-up
                uint8_t* out = &picture->rgb[size_t(y) * width * 3];
                for (int x = 0; x < width; ++x) {
                    out[3 * x] = line[3 * x + FI_RGBA_RED];
                    out[3 * x + 1] = line[3 * x + FI_RGBA_GREEN];
                    out[3 * x + 2] = line[3 * x + FI_RGBA_BLUE];
                }
            }
        }
    }
    if (rgb) FreeImage_Unload(rgb);
    if (bitmap) FreeImage_Unload(bitmap);
    if (memory) FreeImage_CloseMemory(memory);
    if (!ok) *error = "the JPEG frame does not decode";
    return ok;
}

bool SizeUsable(const ConnectionFormat& format, std::string* error) {
    int height = format.height == INT32_MIN ? 0 : std::abs(format.height);
    if (format.width <= 0 || format.width > kMaxSide || height <= 0 || height > kMaxSide) {
        *error = Format("a picture of %dx%d cannot be written", format.width, format.height);
        return false;
    }
    bool chromaPairs = format.format == PixelFormat::Yuy2 || format.format == PixelFormat::I420 ||
                       format.format == PixelFormat::Yv12;
    bool chromaLines = format.format == PixelFormat::I420 || format.format == PixelFormat::Yv12;
    if ((chromaPairs && format.width % 2 != 0) || (chromaLines && height % 2 != 0)) {
        *error = Format("%s needs even picture sides, not %dx%d", Name(format.format), format.width, height);
        return false;
    }
    return true;
}

bool CheckLength(const ConnectionFormat& format, std::span<const uint8_t> sample, std::string* error) {
    uint64_t need = PictureBytes(format.format, format.width, std::abs(format.height));
    if (sample.size() < need) {
        *error = Format("the sample has %zu bytes; a %dx%d %s picture needs %llu", sample.size(), format.width,
                        std::abs(format.height), Name(format.format), static_cast<unsigned long long>(need));
        return false;
    }
    return true;
}

}  // namespace

uint64_t PictureBytes(PixelFormat format, int width, int height) {
    if (width <= 0 || height <= 0) return 0;
    uint64_t w = static_cast<uint64_t>(width), h = static_cast<uint64_t>(height);
    switch (format) {
        case PixelFormat::Rgb24:
            return Rgb24Stride(width) * h;
        case PixelFormat::Yuy2:
            return w * h * 2;
        case PixelFormat::I420:
        case PixelFormat::Yv12:
            return w * h + 2 * (w / 2) * (h / 2);
        case PixelFormat::Mjpg:
            return 0;
    }
    return 0;
}

bool SampleToRgb(const ConnectionFormat& format, std::span<const uint8_t> sample, RgbPicture* picture,
                 std::string* error) {
    if (format.format == PixelFormat::Mjpg) return DecodeJpeg(format, sample, picture, error);
    if (!SizeUsable(format, error) || !CheckLength(format, sample, error)) return false;
    const int width = format.width, height = std::abs(format.height);
    picture->width = width;
    picture->height = height;
    picture->rgb.resize(size_t(width) * height * 3);
    uint8_t* out = picture->rgb.data();
    const uint8_t* in = sample.data();
    switch (format.format) {
        case PixelFormat::Rgb24: {
            const uint64_t stride = Rgb24Stride(width);
            for (int y = 0; y < height; ++y) {
                // A positive biHeight is a bottom-up bitmap (its first line is the picture's last).
                int line = format.height > 0 ? height - 1 - y : y;
                const uint8_t* bgr = in + stride * static_cast<uint64_t>(line);
                for (int x = 0; x < width; ++x, out += 3) {
                    out[0] = bgr[3 * x + 2];
                    out[1] = bgr[3 * x + 1];
                    out[2] = bgr[3 * x];
                }
            }
            break;
        }
        case PixelFormat::Yuy2:
            for (int y = 0; y < height; ++y) {
                const uint8_t* line = in + size_t(y) * width * 2;
                for (int x = 0; x < width; ++x, out += 3) {
                    const uint8_t* pair = line + (x / 2) * 4;
                    YuvToRgb(line[2 * x], pair[1], pair[3], out);
                }
            }
            break;
        case PixelFormat::I420:
        case PixelFormat::Yv12: {
            const size_t lumaBytes = size_t(width) * height, chromaBytes = size_t(width / 2) * (height / 2);
            const uint8_t* first = in + lumaBytes;
            const uint8_t* second = first + chromaBytes;
            const uint8_t* u = format.format == PixelFormat::I420 ? first : second;
            const uint8_t* v = format.format == PixelFormat::I420 ? second : first;
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x, out += 3) {
                    size_t c = size_t(y / 2) * (width / 2) + x / 2;
                    YuvToRgb(in[size_t(y) * width + x], u[c], v[c], out);
                }
            }
            break;
        }
        case PixelFormat::Mjpg:
            break;
    }
    return true;
}

// ---- VideoWriter ---------------------------------------------------------------------------

std::string VideoWriter::Y4mRate(int64_t interval100ns) {
    if (interval100ns <= 0) return "F30:1";
    const double rate = 10'000'000.0 / static_cast<double>(interval100ns);
    // The smallest denominator that states the rate to a part in 10^5
    // (333 333 x 100 ns is 30:1, 666 666 is 15:1, 333 667 is 30000:1001).
    for (int64_t denominator : {1, 2, 3, 4, 5, 6, 8, 10, 1001, 100}) {
        double numerator = std::round(rate * static_cast<double>(denominator));
        if (numerator >= 1 && std::fabs(numerator / static_cast<double>(denominator) - rate) <= rate * 1e-5) {
            return Format("F%lld:%lld", static_cast<long long>(numerator), static_cast<long long>(denominator));
        }
    }
    return Format("F10000000:%lld", static_cast<long long>(interval100ns));
}

std::unique_ptr<VideoWriter> VideoWriter::Create(const std::filesystem::path& path, const ConnectionFormat& format,
                                                 std::string* error) {
    if (format.format != PixelFormat::Mjpg && !SizeUsable(format, error)) return nullptr;
    std::unique_ptr<VideoWriter> writer(new VideoWriter());
    writer->name_ = path.string();
    writer->format_ = format;
    auto file = std::make_unique<std::ofstream>(path, std::ios::binary | std::ios::trunc);
    if (!*file) {
        *error = "cannot create " + path.string() + ": " + std::strerror(errno);
        return nullptr;
    }
    writer->out_ = std::move(file);
    if (!writer->WriteHeader(error)) return nullptr;
    return writer;
}

std::unique_ptr<VideoWriter> VideoWriter::CreateOnDescriptor(int descriptor, const std::string& name,
                                                             const ConnectionFormat& format, std::string* error) {
    if (format.format != PixelFormat::Mjpg && !SizeUsable(format, error)) {
        ::close(descriptor);
        return nullptr;
    }
    std::unique_ptr<VideoWriter> writer(new VideoWriter());
    writer->name_ = name;
    writer->format_ = format;
    writer->descriptorBuffer_ = std::make_unique<DescriptorBuffer>(descriptor);
    writer->out_ = std::make_unique<std::ostream>(writer->descriptorBuffer_.get());
    if (!writer->WriteHeader(error)) return nullptr;
    return writer;
}

// The stream goes before the buffer it writes through.
VideoWriter::~VideoWriter() { out_.reset(); }

bool VideoWriter::WriteHeader(std::string* error) {
    if (format_.format == PixelFormat::Mjpg) return true;
    const char* space = format_.format == PixelFormat::Yuy2 ? "422" : format_.format == PixelFormat::Rgb24 ? "444" : "420jpeg";
    std::string header = Format("YUV4MPEG2 W%d H%d %s Ip A1:1 C%s XCOLORRANGE=LIMITED\n", format_.width,
                                std::abs(format_.height), Y4mRate(format_.interval100ns).c_str(), space);
    out_->write(header.data(), static_cast<std::streamsize>(header.size()));
    bytes_ += header.size();
    if (!*out_) {
        *error = "cannot write " + name_;
        return false;
    }
    return true;
}

std::string VideoWriter::Kind() const {
    switch (format_.format) {
        case PixelFormat::Yuy2:
            return "Y4M 4:2:2 (C422)";
        case PixelFormat::Rgb24:
            return "Y4M 4:4:4 (C444, BT.601)";
        case PixelFormat::I420:
        case PixelFormat::Yv12:
            return "Y4M 4:2:0 (C420jpeg)";
        case PixelFormat::Mjpg:
            return "MJPEG (concatenated JPEG frames)";
    }
    return "";
}

bool VideoWriter::Write(std::span<const uint8_t> sample, std::string* error) {
    if (format_.format == PixelFormat::Mjpg) {
        // A frame without its start-of-image marker would run into its
        // neighbours for every reader that splits the file at SOI.
        if (!IsJpeg(sample)) {
            *error = "the sample is not a JPEG frame (no start-of-image marker)";
            return false;
        }
        out_->write(reinterpret_cast<const char*>(sample.data()), static_cast<std::streamsize>(sample.size()));
        bytes_ += sample.size();
        ++frames_;
        if (!*out_) {
            *error = "cannot write " + name_;
            return false;
        }
        return true;
    }
    if (!CheckLength(format_, sample, error)) return false;
    const int width = format_.width, height = std::abs(format_.height);
    const size_t pixels = size_t(width) * height;
    const uint8_t* in = sample.data();
    switch (format_.format) {
        case PixelFormat::Yuy2: {
            frame_.resize(pixels * 2);
            uint8_t* y = frame_.data();
            uint8_t* u = y + pixels;
            uint8_t* v = u + pixels / 2;
            for (size_t i = 0; i < pixels / 2; ++i, in += 4) {
                y[2 * i] = in[0];
                u[i] = in[1];
                y[2 * i + 1] = in[2];
                v[i] = in[3];
            }
            break;
        }
        case PixelFormat::Rgb24: {
            frame_.resize(pixels * 3);
            uint8_t* y = frame_.data();
            uint8_t* u = y + pixels;
            uint8_t* v = u + pixels;
            const uint64_t stride = Rgb24Stride(width);
            size_t at = 0;
            for (int row = 0; row < height; ++row) {
                int line = format_.height > 0 ? height - 1 - row : row;
                const uint8_t* bgr = in + stride * static_cast<uint64_t>(line);
                for (int x = 0; x < width; ++x, ++at) RgbToYuv(bgr[3 * x + 2], bgr[3 * x + 1], bgr[3 * x], &y[at], &u[at], &v[at]);
            }
            break;
        }
        case PixelFormat::I420:
        case PixelFormat::Yv12: {
            const size_t chroma = size_t(width / 2) * (height / 2);
            frame_.assign(in, in + pixels + 2 * chroma);
            if (format_.format == PixelFormat::Yv12) {
                std::swap_ranges(frame_.begin() + static_cast<std::ptrdiff_t>(pixels),
                                 frame_.begin() + static_cast<std::ptrdiff_t>(pixels + chroma),
                                 frame_.begin() + static_cast<std::ptrdiff_t>(pixels + chroma));
            }
            break;
        }
        case PixelFormat::Mjpg:
            break;
    }
    static constexpr char kFrame[] = "FRAME\n";
    out_->write(kFrame, sizeof kFrame - 1);
    out_->write(reinterpret_cast<const char*>(frame_.data()), static_cast<std::streamsize>(frame_.size()));
    bytes_ += sizeof kFrame - 1 + frame_.size();
    ++frames_;
    if (!*out_) {
        *error = "cannot write " + name_;
        return false;
    }
    return true;
}

bool VideoWriter::Close(std::string* error) {
    out_->flush();
    bool ok = static_cast<bool>(*out_);
    if (auto* file = dynamic_cast<std::ofstream*>(out_.get())) {
        file->close();
        ok = ok && !file->fail();
    }
    // A descriptor is closed with its buffer, which flushed above.
    out_.reset();
    descriptorBuffer_.reset();
    out_ = std::make_unique<std::ostream>(nullptr);  // Broken() from here on
    if (!ok) {
        *error = "cannot finish " + name_;
        return false;
    }
    return true;
}

// ---- Contact sheet ------------------------------------------------------------------------------

RgbPicture Shrink(const RgbPicture& picture, int width) {
    RgbPicture out;
    if (picture.width <= 0 || picture.height <= 0 || width <= 0) return out;
    width = std::min(width, picture.width);
    int height = std::max(1, static_cast<int>(std::lround(static_cast<double>(picture.height) * width / picture.width)));
    out.width = width;
    out.height = height;
    out.rgb.resize(size_t(width) * height * 3);
    for (int y = 0; y < height; ++y) {
        int y0 = static_cast<int>(int64_t{y} * picture.height / height);
        int y1 = std::max(y0 + 1, static_cast<int>(int64_t{y + 1} * picture.height / height));
        for (int x = 0; x < width; ++x) {
            int x0 = static_cast<int>(int64_t{x} * picture.width / width);
            int x1 = std::max(x0 + 1, static_cast<int>(int64_t{x + 1} * picture.width / width));
            uint32_t sum[3] = {0, 0, 0};
            for (int sy = y0; sy < y1; ++sy) {
                const uint8_t* p = &picture.rgb[(size_t(sy) * picture.width + x0) * 3];
                for (int sx = x0; sx < x1; ++sx, p += 3) {
                    sum[0] += p[0];
                    sum[1] += p[1];
                    sum[2] += p[2];
                }
            }
            uint32_t n = static_cast<uint32_t>((y1 - y0) * (x1 - x0));
            uint8_t* o = &out.rgb[(size_t(y) * width + x) * 3];
            for (int c = 0; c < 3; ++c) o[c] = static_cast<uint8_t>((sum[c] + n / 2) / n);
        }
    }
    return out;
}

ContactSheet::ContactSheet(uint64_t expectedFrames, int pictures, int columns, int thumbnailWidth)
    : openEnded_(expectedFrames == 0),
      pictures_(std::max(1, pictures)),
      columns_(std::max(1, columns)),
      thumbnailWidth_(std::max(8, thumbnailWidth)) {
    uint64_t count = std::min<uint64_t>(expectedFrames, static_cast<uint64_t>(pictures_));
    for (uint64_t i = 0; i < count; ++i) {
        wanted_.push_back(count == 1 ? 0 : i * (expectedFrames - 1) / (count - 1));
    }
}

bool ContactSheet::Wants(uint64_t number) const {
    if (openEnded_) return number % stride_ == 0;
    return std::binary_search(wanted_.begin(), wanted_.end(), number);
}

bool ContactSheet::Has(uint64_t number) const {
    return std::any_of(thumbnails_.begin(), thumbnails_.end(), [&](const Thumbnail& t) { return t.number == number; });
}

void ContactSheet::Add(uint64_t number, double seconds, const RgbPicture& picture) {
    thumbnails_.push_back({number, seconds, Shrink(picture, thumbnailWidth_)});
    if (!openEnded_ || thumbnails_.size() <= size_t(2) * pictures_) return;
    // Twice as many as shown: keep every other one and take half as many from here on.
    // The newest stays: it may be the run's last frame, which the sheet always shows.
    stride_ *= 2;
    const uint64_t newest = number;
    std::erase_if(thumbnails_, [&](const Thumbnail& t) { return t.number % stride_ != 0 && t.number != newest; });
}

std::vector<const ContactSheet::Thumbnail*> ContactSheet::Chosen() const {
    std::vector<const Thumbnail*> chosen;
    const size_t n = thumbnails_.size(), count = std::min(n, size_t(pictures_));
    for (size_t i = 0; i < count; ++i) chosen.push_back(&thumbnails_[count == 1 ? 0 : i * (n - 1) / (count - 1)]);
    return chosen;
}

bool ContactSheet::Write(const std::filesystem::path& path, std::string* error) const {
    const std::vector<const Thumbnail*> chosen = Chosen();
    if (chosen.empty()) {
        *error = "no frame to put on the contact sheet";
        return false;
    }
    constexpr int kGap = 6, kLabel = 16;
    int cellWidth = 0, cellHeight = 0;
    for (const Thumbnail* t : chosen) {
        cellWidth = std::max(cellWidth, t->picture.width);
        cellHeight = std::max(cellHeight, t->picture.height);
    }
    const int columns = std::min<int>(columns_, static_cast<int>(chosen.size()));
    const int rows = static_cast<int>((chosen.size() + columns - 1) / columns);
    const int width = kGap + columns * (cellWidth + kGap);
    const int height = kGap + rows * (cellHeight + kLabel + kGap);
    cairo_surface_t* sheet = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    cairo_t* cr = cairo_create(sheet);
    cairo_set_source_rgb(cr, 0.15, 0.15, 0.15);
    cairo_paint(cr);
    cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 11);
    for (size_t i = 0; i < chosen.size(); ++i) {
        const Thumbnail& t = *chosen[i];
        const int left = kGap + static_cast<int>(i % columns) * (cellWidth + kGap);
        const int top = kGap + static_cast<int>(i / columns) * (cellHeight + kLabel + kGap);
        cairo_surface_t* picture = cairo_image_surface_create(CAIRO_FORMAT_RGB24, t.picture.width, t.picture.height);
        cairo_surface_flush(picture);
        uint8_t* data = cairo_image_surface_get_data(picture);
        const int stride = cairo_image_surface_get_stride(picture);
        for (int y = 0; y < t.picture.height; ++y) {
            auto* line = reinterpret_cast<uint32_t*>(data + size_t(y) * stride);
            const uint8_t* rgb = &t.picture.rgb[size_t(y) * t.picture.width * 3];
            for (int x = 0; x < t.picture.width; ++x, rgb += 3) {
                line[x] = (uint32_t{rgb[0]} << 16) | (uint32_t{rgb[1]} << 8) | rgb[2];
            }
        }
        cairo_surface_mark_dirty(picture);
        cairo_set_source_surface(cr, picture, left, top);
        cairo_paint(cr);
        cairo_surface_destroy(picture);
        std::string label = Format("#%llu  %.2f s", static_cast<unsigned long long>(t.number), t.seconds);
        cairo_set_source_rgb(cr, 0.85, 0.85, 0.85);
        cairo_move_to(cr, left + 2, top + t.picture.height + kLabel - 4);
        cairo_show_text(cr, label.c_str());
    }
    cairo_destroy(cr);
    cairo_status_t status = cairo_surface_write_to_png(sheet, path.c_str());
    cairo_surface_destroy(sheet);
    if (status != CAIRO_STATUS_SUCCESS) {
        *error = "cannot write " + path.string() + ": " + cairo_status_to_string(status);
        return false;
    }
    return true;
}

}  // namespace qk::session
