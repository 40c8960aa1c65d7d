#include "tools/session/negotiation.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace qk::session {
namespace {

constexpr PixelFormatInfo kFormats[] = {
    {PixelFormat::Rgb24, "RGB24", &MEDIASUBTYPE_RGB24, 24},
    {PixelFormat::I420, "I420", &MEDIASUBTYPE_I420, 12},
    {PixelFormat::Yuy2, "YUY2", &MEDIASUBTYPE_YUY2, 16},
    {PixelFormat::Yv12, "YV12", &MEDIASUBTYPE_YV12, 12},
    {PixelFormat::Mjpg, "MJPG", &MEDIASUBTYPE_MJPG, 24},
};

constexpr size_t kInfoInFormat = sizeof(KSDATAFORMAT);
constexpr size_t kInfoInRange = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);

std::string SizeText(int width, int height) { return std::to_string(width) + "x" + std::to_string(height); }

std::string SpanText(int64_t shortest, int64_t longest) {
    if (shortest == longest) return RateText(shortest) + " fps";
    return RateText(longest) + "-" + RateText(shortest) + " fps";
}

}  // namespace

const PixelFormatInfo& Info(PixelFormat format) { return kFormats[static_cast<int>(format)]; }

const char* Name(PixelFormat format) { return Info(format).name; }

std::optional<PixelFormat> ParsePixelFormat(std::string_view text) {
    for (const auto& f : kFormats) {
        std::string_view name = f.name;
        if (name.size() != text.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i) {
            same = std::toupper(static_cast<unsigned char>(text[i])) == name[i];
        }
        if (same) return f.format;
    }
    return std::nullopt;
}

std::optional<PixelFormat> PixelFormatOfSubtype(const GUID& subtype) {
    for (const auto& f : kFormats) {
        if (IsEqualGUID(*f.subtype, subtype)) return f.format;
    }
    return std::nullopt;
}

int64_t IntervalForRate(double framesPerSecond) {
    if (!std::isfinite(framesPerSecond) || framesPerSecond <= 0) return 0;
    double interval = std::floor(10'000'000.0 / framesPerSecond);
    if (interval < 1) return 0;
    if (interval > 1e15) return 0;
    return static_cast<int64_t>(interval);
}

double RateOfInterval(int64_t interval100ns) { return interval100ns > 0 ? 10'000'000.0 / interval100ns : 0; }

std::string RateText(int64_t interval100ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", RateOfInterval(interval100ns));
    std::string s = text;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

std::vector<OfferedFormat> ReadOffers(const std::vector<Bytes>& ranges) {
    std::vector<OfferedFormat> offers;
    for (size_t i = 0; i < ranges.size(); ++i) {
        const Bytes& bytes = ranges[i];
        if (bytes.size() < sizeof(KS_DATARANGE_VIDEO)) continue;
        KS_DATARANGE_VIDEO range;
        std::memcpy(&range, bytes.data(), sizeof range);
        if (range.DataRange.FormatSize < sizeof range || !IsEqualGUID(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_VIDEO) ||
            !IsEqualGUID(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
            continue;
        }
        std::optional<PixelFormat> format = PixelFormatOfSubtype(range.DataRange.SubFormat);
        const KS_BITMAPINFOHEADER& bitmap = range.VideoInfoHeader.bmiHeader;
        LONG height = bitmap.biHeight == INT32_MIN ? 0 : std::abs(bitmap.biHeight);
        const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range.ConfigCaps;
        if (!format || bitmap.biWidth <= 0 || height <= 0 || caps.MinFrameInterval <= 0 ||
            caps.MaxFrameInterval < caps.MinFrameInterval) {
            continue;
        }
        OfferedFormat offer;
        offer.format = *format;
        offer.width = bitmap.biWidth;
        offer.height = height;
        offer.shortestInterval = caps.MinFrameInterval;
        offer.longestInterval = caps.MaxFrameInterval;
        offer.rangeIndex = i;
        offer.range = bytes;
        offers.push_back(std::move(offer));
    }
    return offers;
}

std::string DescribeOffers(const std::vector<OfferedFormat>& offers) {
    std::string text;
    for (size_t i = 0; i < offers.size();) {
        const OfferedFormat& first = offers[i];
        if (!text.empty()) text += "; ";
        text += std::string(Name(first.format)) + " " + SizeText(first.width, first.height);
        size_t j = i + 1;
        for (; j < offers.size() && offers[j].format == first.format &&
               offers[j].shortestInterval == first.shortestInterval && offers[j].longestInterval == first.longestInterval;
             ++j) {
            text += ", " + SizeText(offers[j].width, offers[j].height);
        }
        text += " at " + SpanText(first.shortestInterval, first.longestInterval);
        i = j;
    }
    return text.empty() ? "nothing this program can read" : text;
}

bool ChooseOffer(const std::vector<OfferedFormat>& offers, const FormatRequest& request, Choice* choice,
                 std::string* error) {
    const std::string wanted = std::string(Name(request.format)) + " " + SizeText(request.width, request.height);
    int64_t interval = IntervalForRate(request.framesPerSecond);
    if (interval == 0) {
        *error = "a frame rate must be a positive number of frames per second";
        return false;
    }
    std::vector<const OfferedFormat*> ofFormat, ofSize;
    for (const auto& offer : offers) {
        if (offer.format != request.format) continue;
        ofFormat.push_back(&offer);
        if (offer.width == request.width && offer.height == request.height) ofSize.push_back(&offer);
    }
    if (ofFormat.empty()) {
        *error = "the camera does not offer " + std::string(Name(request.format)) + "; it offers " + DescribeOffers(offers);
        return false;
    }
    if (ofSize.empty()) {
        std::string sizes;
        for (const auto* offer : ofFormat) sizes += (sizes.empty() ? "" : ", ") + SizeText(offer->width, offer->height);
        *error = "the camera offers " + std::string(Name(request.format)) + " at " + sizes + ", not at " +
                 SizeText(request.width, request.height) + " (all formats: " + DescribeOffers(offers) + ")";
        return false;
    }
    for (const auto* offer : ofSize) {
        if (interval >= offer->shortestInterval && interval <= offer->longestInterval) {
            choice->offer = offer;
            choice->interval100ns = interval;
            return true;
        }
    }
    std::string spans;
    for (const auto* offer : ofSize) {
        spans += (spans.empty() ? "" : ", ") + SpanText(offer->shortestInterval, offer->longestInterval);
    }
    char asked[32];
    std::snprintf(asked, sizeof asked, "%g", request.framesPerSecond);
    *error = "the camera offers " + wanted + " at " + spans + ", not at " + asked + " fps";
    return false;
}

Bytes RangeForIntersection(const Choice& choice) {
    Bytes range = choice.offer->range;
    KS_VIDEOINFOHEADER info;
    std::memcpy(&info, range.data() + kInfoInRange, sizeof info);
    info.AvgTimePerFrame = choice.interval100ns;
    std::memcpy(range.data() + kInfoInRange, &info, sizeof info);
    return range;
}

bool ReadConnectionFormat(const Bytes& format, ConnectionFormat* out, std::string* error) {
    if (format.size() < kInfoInFormat + sizeof(KS_VIDEOINFOHEADER)) {
        *error = "the driver's format is " + std::to_string(format.size()) + " bytes, too short for a video-info format";
        return false;
    }
    KSDATAFORMAT header;
    KS_VIDEOINFOHEADER info;
    std::memcpy(&header, format.data(), sizeof header);
    std::memcpy(&info, format.data() + kInfoInFormat, sizeof info);
    std::optional<PixelFormat> pixel = PixelFormatOfSubtype(header.SubFormat);
    if (!IsEqualGUID(header.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) || !pixel) {
        *error = "the driver's format is not a video-info format of a known subtype";
        return false;
    }
    const KS_BITMAPINFOHEADER& bitmap = info.bmiHeader;
    if (bitmap.biWidth <= 0 || bitmap.biHeight == 0 || bitmap.biHeight == INT32_MIN || bitmap.biWidth > 16384 ||
        std::abs(bitmap.biHeight) > 16384 || bitmap.biSizeImage == 0) {
        *error = "the driver's format has an unusable picture size";
        return false;
    }
    out->format = *pixel;
    out->width = bitmap.biWidth;
    out->height = bitmap.biHeight;
    out->interval100ns = info.AvgTimePerFrame;
    out->sampleBytes = bitmap.biSizeImage;
    return true;
}

}  // namespace qk::session
