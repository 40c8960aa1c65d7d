// Choosing a video format the way an application does: read the capture
// pin's data ranges, pick the one that names the wanted subtype and size,
// check the wanted rate against the range's frame intervals, and build the
// range to hand to the pin's intersection handler with AvgTimePerFrame set to
// that rate. Pure functions over the ranges' bytes; nothing here talks to a
// driver.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ksmedia.h"

namespace qk::session {

using Bytes = std::vector<uint8_t>;

// The video subtypes a capture pin may offer, in the order of the pin's
// output format index.
enum class PixelFormat { Rgb24, I420, Yuy2, Yv12, Mjpg };

struct PixelFormatInfo {
    PixelFormat format;
    const char* name;  // "YUY2", as formats are named on the command line (any letter case)
    const GUID* subtype;
    int bitsPerPixel;  // biBitCount
};
const PixelFormatInfo& Info(PixelFormat format);
const char* Name(PixelFormat format);
std::optional<PixelFormat> ParsePixelFormat(std::string_view text);
std::optional<PixelFormat> PixelFormatOfSubtype(const GUID& subtype);

// 100 ns frame interval <-> frames per second. The interval for a rate is
// truncated, as the formats' own intervals are (15 fps is 666 666).
int64_t IntervalForRate(double framesPerSecond);
double RateOfInterval(int64_t interval100ns);
// "30", "7.5", "29.97": at most two decimals, no trailing zeros.
std::string RateText(int64_t interval100ns);

// One video-info data range of the pin.
struct OfferedFormat {
    PixelFormat format = PixelFormat::Yuy2;
    int width = 0;
    int height = 0;
    int64_t shortestInterval = 0;  // MinFrameInterval: the fastest rate
    int64_t longestInterval = 0;   // MaxFrameInterval: the slowest rate
    size_t rangeIndex = 0;         // position among the pin's ranges
    Bytes range;                   // the range as the pin gave it
};

// The ranges a client can use: KS_DATARANGE_VIDEO ranges with the video-info
// specifier and a subtype above, with a positive size and a sane interval
// span. Anything else (short, other specifiers, unknown subtypes) is passed
// over, as an application passes over formats it does not know.
std::vector<OfferedFormat> ReadOffers(const std::vector<Bytes>& ranges);

// "YUY2 640x480, 352x288 at 5-30 fps; RGB24 1280x960 at 5-7.5 fps": every
// offer, grouped by format and rate span, in the pin's order.
std::string DescribeOffers(const std::vector<OfferedFormat>& offers);

struct FormatRequest {
    PixelFormat format = PixelFormat::Yuy2;
    int width = 640;
    int height = 480;
    double framesPerSecond = 30;
};

struct Choice {
    const OfferedFormat* offer = nullptr;
    int64_t interval100ns = 0;  // the AvgTimePerFrame to ask for
};

// The offer for a request; false with a message that says what is offered
// instead (the formats; for a known format its sizes; for a size its rates).
bool ChooseOffer(const std::vector<OfferedFormat>& offers, const FormatRequest& request, Choice* choice,
                 std::string* error);

// The chosen range with its VIDEOINFOHEADER's AvgTimePerFrame set: what the
// client sends to the intersection handler (the range's flags and config caps
// stay as the pin gave them, so the handler recognises its own range).
Bytes RangeForIntersection(const Choice& choice);

// The connection format the intersection gave back (a KSDATAFORMAT followed
// by a VIDEOINFOHEADER).
struct ConnectionFormat {
    PixelFormat format = PixelFormat::Yuy2;
    int width = 0;
    int height = 0;  // biHeight as given (positive: bottom-up for RGB)
    int64_t interval100ns = 0;
    uint32_t sampleBytes = 0;  // biSizeImage
};
bool ReadConnectionFormat(const Bytes& format, ConnectionFormat* out, std::string* error);

}  // namespace qk::session
