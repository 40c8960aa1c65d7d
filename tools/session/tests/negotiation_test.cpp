// Format negotiation against the capture pin's own data ranges: the offers a
// client reads from them, the choice and its refusals, and the range handed
// to the driver's intersection check.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "capture/formats.h"
#include "tools/session/negotiation.h"

namespace qk::session {
namespace {

Bytes RangeBytes(const KS_DATARANGE_VIDEO& range) {
    const auto* p = reinterpret_cast<const uint8_t*>(&range);
    return Bytes(p, p + sizeof range);
}

std::vector<Bytes> TableRanges(int variant) {
    k0340::FormatTable table = k0340::FormatTableForVariant(variant);
    std::vector<Bytes> ranges;
    for (uint32_t i = 0; i < table.count; ++i) {
        KS_DATARANGE_VIDEO range;
        k0340::BuildDataRange(table.records[i], &range);
        ranges.push_back(RangeBytes(range));
    }
    return ranges;
}

TEST(Negotiation, NamesRatesAndIntervals) {
    EXPECT_EQ(ParsePixelFormat("yuy2"), PixelFormat::Yuy2);
    EXPECT_EQ(ParsePixelFormat("RGB24"), PixelFormat::Rgb24);
    EXPECT_EQ(ParsePixelFormat("Mjpg"), PixelFormat::Mjpg);
    EXPECT_EQ(ParsePixelFormat("yv12"), PixelFormat::Yv12);
    EXPECT_FALSE(ParsePixelFormat("yuy"));
    EXPECT_FALSE(ParsePixelFormat(""));
    EXPECT_FALSE(ParsePixelFormat("yuy2 "));
    // Truncated as the formats' own intervals are: a rounded 15 fps (666 667)
    // would be longer than the camera's 15 fps interval.
    EXPECT_EQ(IntervalForRate(30), 333333);
    EXPECT_EQ(IntervalForRate(15), 666666);
    EXPECT_EQ(IntervalForRate(7.5), 1333333);
    EXPECT_EQ(IntervalForRate(5), 2000000);
    EXPECT_EQ(IntervalForRate(0), 0);
    EXPECT_EQ(IntervalForRate(-30), 0);
    EXPECT_EQ(IntervalForRate(NAN), 0);
    EXPECT_EQ(IntervalForRate(INFINITY), 0);
    EXPECT_EQ(IntervalForRate(1e-12), 0);
    EXPECT_EQ(RateText(333333), "30");
    EXPECT_EQ(RateText(1333333), "7.5");
    EXPECT_EQ(RateText(333667), "29.97");
}

TEST(Negotiation, OffersOfBothTables) {
    std::vector<OfferedFormat> a = ReadOffers(TableRanges(2));
    ASSERT_EQ(a.size(), 13u);
    EXPECT_EQ(a[0].format, PixelFormat::Yuy2);
    EXPECT_EQ(a[0].width, 640);
    EXPECT_EQ(a[0].height, 480);
    EXPECT_EQ(a[0].shortestInterval, 333333);
    EXPECT_EQ(a[0].longestInterval, 2000000);
    EXPECT_EQ(a[12].rangeIndex, 12u);
    EXPECT_EQ(DescribeOffers(a),
              "YUY2 640x480, 352x288, 320x240, 176x144, 160x120 at 5-30 fps; "
              "RGB24 640x480, 352x288, 320x240, 176x144, 160x120, 800x600 at 5-30 fps; "
              "RGB24 1280x960 at 5-7.5 fps; RGB24 1600x1200 at 5 fps");
    std::vector<OfferedFormat> b = ReadOffers(TableRanges(1));
    ASSERT_EQ(b.size(), 12u);
    EXPECT_EQ(DescribeOffers(b),
              "YUY2 640x480 at 5-15 fps; YUY2 352x288, 320x240, 176x144, 160x120 at 5-30 fps; "
              "YUY2 800x600 at 5-15 fps; RGB24 640x480 at 5-15 fps; "
              "RGB24 352x288, 320x240, 176x144, 160x120 at 5-30 fps; RGB24 800x600 at 5-15 fps");
    EXPECT_EQ(DescribeOffers({}), "nothing this program can read");
}

TEST(Negotiation, ChoosesOrSaysWhatIsOffered) {
    struct Case {
        const char* name;
        int variant;
        FormatRequest request;
        int64_t interval;        // 0: refused
        const char* mentions[2];  // texts the refusal must hold
    };
    const Case cases[] = {
        {"default", 2, {PixelFormat::Yuy2, 640, 480, 30}, 333333, {}},
        {"15 fps", 2, {PixelFormat::Yuy2, 640, 480, 15}, 666666, {}},
        {"12 fps inside the span", 2, {PixelFormat::Rgb24, 320, 240, 12}, 833333, {}},
        {"7.5 fps", 2, {PixelFormat::Rgb24, 1280, 960, 7.5}, 1333333, {}},
        {"largest", 2, {PixelFormat::Rgb24, 1600, 1200, 5}, 2000000, {}},
        {"800x600 upscaled", 2, {PixelFormat::Rgb24, 800, 600, 30}, 333333, {}},
        {"I420 not offered", 2, {PixelFormat::I420, 640, 480, 30}, 0, {"does not offer I420", "YUY2 640x480"}},
        {"MJPG not offered", 1, {PixelFormat::Mjpg, 640, 480, 30}, 0, {"does not offer MJPG", "RGB24 800x600"}},
        {"odd size", 2, {PixelFormat::Yuy2, 1024, 768, 30}, 0, {"not at 1024x768", "YUY2 at 640x480, 352x288"}},
        {"too fast", 2, {PixelFormat::Yuy2, 640, 480, 60}, 0, {"at 5-30 fps, not at 60 fps", nullptr}},
        {"too slow", 2, {PixelFormat::Yuy2, 640, 480, 4}, 0, {"not at 4 fps", nullptr}},
        {"slow size", 2, {PixelFormat::Rgb24, 1280, 960, 10}, 0, {"RGB24 1280x960 at 5-7.5 fps", nullptr}},
        {"table B", 1, {PixelFormat::Yuy2, 640, 480, 30}, 0, {"5-15 fps", nullptr}},
        {"no rate", 2, {PixelFormat::Yuy2, 640, 480, 0}, 0, {"positive", nullptr}},
        {"nan rate", 2, {PixelFormat::Yuy2, 640, 480, NAN}, 0, {"positive", nullptr}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<OfferedFormat> offers = ReadOffers(TableRanges(c.variant));
        Choice choice;
        std::string error;
        bool ok = ChooseOffer(offers, c.request, &choice, &error);
        if (c.interval == 0) {
            EXPECT_FALSE(ok);
            for (const char* text : c.mentions) {
                if (text) {
                    EXPECT_NE(error.find(text), std::string::npos) << error;
                }
            }
            continue;
        }
        ASSERT_TRUE(ok) << error;
        EXPECT_EQ(choice.interval100ns, c.interval);
        EXPECT_EQ(choice.offer->format, c.request.format);
        EXPECT_EQ(choice.offer->width, c.request.width);
        EXPECT_EQ(choice.offer->height, c.request.height);
    }
}

// The range a client sends must pass the driver's own intersection check,
// and the format it gets back must carry the rate the client asked for.
TEST(Negotiation, IntersectionKeepsTheAskedRate) {
    std::vector<Bytes> ranges = TableRanges(2);
    std::vector<OfferedFormat> offers = ReadOffers(ranges);
    const FormatRequest requests[] = {{PixelFormat::Yuy2, 640, 480, 15},
                                      {PixelFormat::Rgb24, 176, 144, 25},
                                      {PixelFormat::Rgb24, 1280, 960, 7.5}};
    for (const auto& request : requests) {
        SCOPED_TRACE(std::string(Name(request.format)) + " " + std::to_string(request.width));
        Choice choice;
        std::string error;
        ASSERT_TRUE(ChooseOffer(offers, request, &choice, &error)) << error;
        Bytes range = RangeForIntersection(choice);
        ASSERT_EQ(range.size(), sizeof(KS_DATARANGE_VIDEO));
        KS_DATARANGE_VIDEO ours;
        std::memcpy(&ours, ranges[choice.offer->rangeIndex].data(), sizeof ours);
        ULONG size = 0;
        ASSERT_EQ(k0340::IntersectRange(reinterpret_cast<const KSDATARANGE*>(range.data()), range.size(), &ours, nullptr,
                                        0, &size),
                  STATUS_BUFFER_OVERFLOW);
        Bytes format(size, 0xEE);
        ASSERT_EQ(k0340::IntersectRange(reinterpret_cast<const KSDATARANGE*>(range.data()), range.size(), &ours,
                                        format.data(), size, &size),
                  STATUS_SUCCESS);
        ConnectionFormat connection;
        ASSERT_TRUE(ReadConnectionFormat(format, &connection, &error)) << error;
        EXPECT_EQ(connection.format, request.format);
        EXPECT_EQ(connection.width, request.width);
        EXPECT_EQ(connection.height, request.height);
        EXPECT_EQ(connection.interval100ns, IntervalForRate(request.framesPerSecond));
        EXPECT_EQ(connection.sampleBytes, ours.VideoInfoHeader.bmiHeader.biSizeImage);
        // The format the driver's match check accepts at acquire.
        k0340::StreamFormat stream;
        EXPECT_EQ(k0340::MatchFormat(k0340::FormatTableForVariant(2), reinterpret_cast<const KSDATAFORMAT*>(format.data()),
                                     format.size(), &stream, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(stream.interval100ns, connection.interval100ns);
    }
}

TEST(Negotiation, UnusableRangesArePassedOver) {
    std::vector<Bytes> ranges = TableRanges(2);
    auto edit = [&](size_t i, auto change) {
        KS_DATARANGE_VIDEO r;
        std::memcpy(&r, ranges[i].data(), sizeof r);
        change(r);
        ranges[i] = RangeBytes(r);
    };
    edit(0, [](KS_DATARANGE_VIDEO& r) { r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX; });
    edit(1, [](KS_DATARANGE_VIDEO& r) { r.DataRange.SubFormat = KSDATAFORMAT_SUBTYPE_PCM; });
    edit(2, [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biWidth = 0; });
    edit(3, [](KS_DATARANGE_VIDEO& r) { r.ConfigCaps.MaxFrameInterval = r.ConfigCaps.MinFrameInterval - 1; });
    edit(4, [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biHeight = INT32_MIN; });
    edit(5, [](KS_DATARANGE_VIDEO& r) { r.DataRange.FormatSize = 64; });
    edit(6, [](KS_DATARANGE_VIDEO& r) { r.VideoInfoHeader.bmiHeader.biHeight = -352; });  // top-down: still a size
    ranges[7].resize(100);
    std::vector<OfferedFormat> offers = ReadOffers(ranges);
    ASSERT_EQ(offers.size(), 6u);
    EXPECT_EQ(offers[0].rangeIndex, 6u);
    EXPECT_EQ(offers[0].height, 352);

    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Bytes noise(random() % 400);
        for (auto& b : noise) b = static_cast<uint8_t>(random());
        std::vector<OfferedFormat> none = ReadOffers({noise});
        for (const auto& o : none) {
            EXPECT_GT(o.width, 0);
            EXPECT_GT(o.height, 0);
        }
    }
}

TEST(Negotiation, ConnectionFormatsFromTheDriverAreChecked) {
    ConnectionFormat out;
    std::string error;
    EXPECT_FALSE(ReadConnectionFormat(Bytes(100), &out, &error));
    EXPECT_NE(error.find("too short"), std::string::npos);
    KS_DATAFORMAT_VIDEOINFOHEADER f{};
    f.DataFormat.FormatSize = sizeof f;
    f.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    f.DataFormat.SubFormat = MEDIASUBTYPE_YUY2;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    f.VideoInfoHeader.bmiHeader.biWidth = 640;
    f.VideoInfoHeader.bmiHeader.biHeight = 480;
    f.VideoInfoHeader.bmiHeader.biSizeImage = 614400;
    f.VideoInfoHeader.AvgTimePerFrame = 333333;
    auto bytes = [&] { return Bytes(reinterpret_cast<uint8_t*>(&f), reinterpret_cast<uint8_t*>(&f) + sizeof f); };
    ASSERT_TRUE(ReadConnectionFormat(bytes(), &out, &error)) << error;
    EXPECT_EQ(out.sampleBytes, 614400u);
    f.VideoInfoHeader.bmiHeader.biSizeImage = 0;
    EXPECT_FALSE(ReadConnectionFormat(bytes(), &out, &error));
    f.VideoInfoHeader.bmiHeader.biSizeImage = 614400;
    f.VideoInfoHeader.bmiHeader.biWidth = -640;
    EXPECT_FALSE(ReadConnectionFormat(bytes(), &out, &error));
    f.VideoInfoHeader.bmiHeader.biWidth = 640;
    f.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    EXPECT_FALSE(ReadConnectionFormat(bytes(), &out, &error));
}

}  // namespace
}  // namespace qk::session
