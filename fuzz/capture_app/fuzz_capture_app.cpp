// The capture command's handling of what a driver gives it: data ranges
// (offers, choice, the range sent back for intersection) and a connection
// format with a sample (preview picture and the Y4M or MJPEG writer).
//
// Input: byte 0 picks the part. Ranges: then a run of (16-bit length, bytes)
// records. Format and sample: then a 16-bit format length, the format, and
// the rest as the sample.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tools/session/capture_output.h"
#include "tools/session/negotiation.h"

using namespace qk::session;

namespace {

size_t Take16(const uint8_t*& data, size_t& size) {
    if (size < 2) return 0;
    size_t n = data[0] | size_t{data[1]} << 8;
    data += 2;
    size -= 2;
    return n;
}

void Ranges(const uint8_t* data, size_t size) {
    std::vector<Bytes> ranges;
    while (size > 0 && ranges.size() < 64) {
        size_t n = std::min(Take16(data, size), size);
        ranges.emplace_back(data, data + n);
        data += n;
        size -= n;
    }
    std::vector<OfferedFormat> offers = ReadOffers(ranges);
    std::string text = DescribeOffers(offers);
    std::vector<FormatRequest> requests = {{PixelFormat::Yuy2, 640, 480, 30}, {PixelFormat::Mjpg, 1, 1, 0.5}};
    for (const auto& o : offers) requests.push_back({o.format, o.width, o.height, RateOfInterval(o.shortestInterval)});
    for (const auto& request : requests) {
        Choice choice;
        std::string error;
        if (ChooseOffer(offers, request, &choice, &error)) {
            Bytes range = RangeForIntersection(choice);
            if (range.size() != choice.offer->range.size()) __builtin_trap();
        }
    }
}

void FormatAndSample(const uint8_t* data, size_t size) {
    size_t n = std::min(Take16(data, size), size);
    Bytes format(data, data + n);
    std::span<const uint8_t> sample(data + n, size - n);
    ConnectionFormat connection;
    std::string error;
    if (!ReadConnectionFormat(format, &connection, &error)) return;
    RgbPicture picture;
    if (SampleToRgb(connection, sample, &picture, &error)) {
        if (picture.rgb.size() != size_t(picture.width) * picture.height * 3) __builtin_trap();
        Shrink(picture, 160);
    }
    auto writer = VideoWriter::Create("/dev/null", connection, &error);
    if (writer) {
        writer->Write(sample, &error);
        writer->Close(&error);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    if (data[0] & 1) {
        FormatAndSample(data + 1, size - 1);
    } else {
        Ranges(data + 1, size - 1);
    }
    return 0;
}
