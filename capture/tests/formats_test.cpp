// Format tables, data ranges and the format checks the pin answers clients with.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "capture/formats.h"

namespace k0340 {
namespace {

KS_DATARANGE_VIDEO RangeOf(int variant, uint32_t formatIndex, uint32_t width, uint32_t height) {
    FormatTable table = FormatTableForVariant(variant);
    const FormatRecord* r = FindRecord(table, formatIndex, static_cast<LONG>(width), static_cast<LONG>(height));
    EXPECT_NE(r, nullptr);
    KS_DATARANGE_VIDEO range;
    BuildDataRange(*r, &range);
    return range;
}

// The format a client makes from a range: the intersection's answer.
std::vector<uint8_t> FormatFrom(const KS_DATARANGE_VIDEO& range) {
    ULONG size = 0;
    EXPECT_EQ(IntersectRange(&range.DataRange, sizeof range, &range, nullptr, 0, &size), STATUS_BUFFER_OVERFLOW);
    std::vector<uint8_t> format(size);
    EXPECT_EQ(IntersectRange(&range.DataRange, sizeof range, &range, format.data(), size, &size), STATUS_SUCCESS);
    return format;
}

TEST(Formats, TablesHoldTheirRecordsInOrder) {
    FormatTable a = FormatTableForVariant(2), b = FormatTableForVariant(1);
    ASSERT_EQ(a.count, 13u);
    ASSERT_EQ(b.count, 12u);
    EXPECT_EQ(a.records[0].formatIndex, kFormatYuy2);
    EXPECT_EQ(a.records[10].width, 800u);
    EXPECT_EQ(a.records[11].intervalCount, 2u);
    EXPECT_EQ(a.records[11].intervals[1], 1333333);
    EXPECT_EQ(a.records[12].width, 1600u);
    EXPECT_EQ(a.records[12].intervalCount, 1u);
    EXPECT_EQ(b.records[0].intervalCount, 3u);  // 640x480 at 5, 10 and 15 only
    EXPECT_EQ(b.records[5].width, 800u);
    EXPECT_EQ(b.records[6].formatIndex, kFormatRgb24);
    for (uint32_t i = 0; i < a.count; ++i) {
        EXPECT_EQ(a.records[i].stillCount, 1u);
        EXPECT_EQ(a.records[i].stills[0].width, a.records[i].width);
        // Longest interval first.
        for (uint32_t k = 1; k < a.records[i].intervalCount; ++k) EXPECT_GT(a.records[i].intervals[k - 1], a.records[i].intervals[k]);
    }
}

TEST(Formats, DataRangeCarriesTheRecordsNumbers) {
    KS_DATARANGE_VIDEO r = RangeOf(2, kFormatRgb24, 640, 480);
    EXPECT_EQ(r.DataRange.FormatSize, 296u);
    EXPECT_TRUE(IsEqualGUID(r.DataRange.SubFormat, MEDIASUBTYPE_RGB24));
    EXPECT_TRUE(IsEqualGUID(r.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO));
    EXPECT_EQ(r.StreamDescriptionFlags, static_cast<ULONG>(KS_VIDEOSTREAM_CAPTURE));
    EXPECT_EQ(r.ConfigCaps.MinFrameInterval, 333333);
    EXPECT_EQ(r.ConfigCaps.MaxFrameInterval, 2000000);
    EXPECT_EQ(r.ConfigCaps.MinBitsPerSecond, 640 * 480 * 24 * 5);
    EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, 640 * 480 * 24 * 30);
    EXPECT_EQ(r.VideoInfoHeader.dwBitRate, static_cast<ULONG>(r.ConfigCaps.MaxBitsPerSecond));
    EXPECT_EQ(r.VideoInfoHeader.AvgTimePerFrame, 333333);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biSizeImage, 640u * 480 * 3);
    EXPECT_EQ(r.VideoInfoHeader.bmiHeader.biCompression, 0u);
    KS_DATARANGE_VIDEO y = RangeOf(2, kFormatYuy2, 160, 120);
    EXPECT_EQ(y.VideoInfoHeader.bmiHeader.biCompression, KS_FOURCC('Y', 'U', 'Y', '2'));
    EXPECT_EQ(y.VideoInfoHeader.bmiHeader.biBitCount, 16);
}

TEST(Formats, IntersectionAnswersWithTheCallersHeader) {
    KS_DATARANGE_VIDEO r = RangeOf(2, kFormatYuy2, 320, 240);
    auto format = FormatFrom(r);
    ASSERT_EQ(format.size(), 152u);  // biSize + 112
    auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    EXPECT_EQ(f->DataFormat.FormatSize, 152u);
    EXPECT_EQ(f->DataFormat.SampleSize, 320u * 240 * 2);
    EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biSizeImage, 320u * 240 * 2);
    EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biWidth, 320);
    ULONG size = 0;
    uint8_t shortBuffer[100];
    EXPECT_EQ(IntersectRange(&r.DataRange, sizeof r, &r, shortBuffer, sizeof shortBuffer, &size), STATUS_BUFFER_TOO_SMALL);

    struct Case {
        const char* what;
        void (*spoil)(KS_DATARANGE_VIDEO&);
    } cases[] = {
        {"other specifier", [](KS_DATARANGE_VIDEO& c) { c.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE; }},
        {"short range", [](KS_DATARANGE_VIDEO& c) { c.DataRange.FormatSize = 200; }},
        {"other flags", [](KS_DATARANGE_VIDEO& c) { c.bTemporalCompression = 0; }},
        {"other caps", [](KS_DATARANGE_VIDEO& c) { c.ConfigCaps.MaxOutputSize.cx = 1; }},
        {"bitmap header past the range", [](KS_DATARANGE_VIDEO& c) { c.VideoInfoHeader.bmiHeader.biSize = 41; }},
        {"huge biSize", [](KS_DATARANGE_VIDEO& c) { c.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        KS_DATARANGE_VIDEO caller = r;
        c.spoil(caller);
        uint8_t out[400];
        EXPECT_EQ(IntersectRange(&caller.DataRange, sizeof caller, &r, out, sizeof out, &size), STATUS_NO_MATCH);
    }
}

TEST(Formats, SetDataFormatRefusesWithTheRightStatus) {
    FormatTable table = FormatTableForVariant(2);
    KS_DATARANGE_VIDEO r = RangeOf(2, kFormatYuy2, 320, 240);
    auto good = FormatFrom(r);
    auto check = [&](const std::vector<uint8_t>& f) {
        return CheckDataFormat(table, reinterpret_cast<const KSDATAFORMAT*>(f.data()), f.size(), &r);
    };
    EXPECT_EQ(check(good), STATUS_SUCCESS);
    auto small = good;
    reinterpret_cast<KSDATAFORMAT*>(small.data())->FormatSize = 151;
    EXPECT_EQ(check(small), STATUS_NO_MATCH);
    auto overflow = good;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(overflow.data())->VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0;
    EXPECT_EQ(check(overflow), STATUS_INVALID_PARAMETER);  // biSize + 112 would wrap
    auto bigHeader = good;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(bigHeader.data())->VideoInfoHeader.bmiHeader.biSize = 41;
    EXPECT_EQ(check(bigHeader), STATUS_INVALID_PARAMETER);
    auto wide = good;
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(wide.data())->VideoInfoHeader.bmiHeader.biWidth = 322;
    EXPECT_EQ(check(wide), STATUS_NO_MATCH);
    auto i420 = good;
    auto* v = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(i420.data());
    v->VideoInfoHeader.bmiHeader.biCompression = KS_FOURCC('I', '4', '2', '0');
    v->VideoInfoHeader.bmiHeader.biBitCount = 12;
    EXPECT_EQ(check(i420), STATUS_NO_MATCH);  // not a format of the table
    EXPECT_EQ(CheckDataFormat(table, reinterpret_cast<const KSDATAFORMAT*>(good.data()), 100, &r), STATUS_NO_MATCH);
}

TEST(Formats, MatchingFindsTheRecordAndKeepsTheRate) {
    FormatTable table = FormatTableForVariant(1);
    KS_DATARANGE_VIDEO r = RangeOf(1, kFormatRgb24, 800, 600);
    auto format = FormatFrom(r);
    reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.AvgTimePerFrame = 1000000;
    StreamFormat stream;
    const FormatRecord* record = nullptr;
    ASSERT_EQ(MatchFormat(table, reinterpret_cast<const KSDATAFORMAT*>(format.data()), format.size(), &stream, &record),
              STATUS_SUCCESS);
    EXPECT_EQ(stream.width, 800u);
    EXPECT_EQ(stream.formatIndex, kFormatRgb24);
    EXPECT_EQ(stream.interval100ns, 1000000);
    EXPECT_EQ(stream.sizeImage, 800u * 600 * 3);
    // 1280x960 exists only in table A.
    KS_DATARANGE_VIDEO big = RangeOf(2, kFormatRgb24, 1280, 960);
    auto bigFormat = FormatFrom(big);
    EXPECT_EQ(MatchFormat(table, reinterpret_cast<const KSDATAFORMAT*>(bigFormat.data()), bigFormat.size(), &stream, &record),
              STATUS_NO_MATCH);
    EXPECT_EQ(MatchFormat(table, reinterpret_cast<const KSDATAFORMAT*>(bigFormat.data()), 60, &stream, &record),
              STATUS_NO_MATCH);
}

TEST(Formats, TheSampleHoldsTheWholePictureWhateverTheCallerClaims) {
    FormatTable table = FormatTableForVariant(2);
    KS_DATARANGE_VIDEO r = RangeOf(2, kFormatYuy2, 640, 480);
    auto format = FormatFrom(r);
    auto* v = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
    auto match = [&](StreamFormat* stream) {
        return MatchFormat(table, reinterpret_cast<const KSDATAFORMAT*>(format.data()), format.size(), stream, nullptr);
    };
    auto check = [&] {
        return CheckDataFormat(table, reinterpret_cast<const KSDATAFORMAT*>(format.data()), format.size(), &r);
    };
    StreamFormat stream{};
    // A smaller image than the picture: the conversion would write past the sample.
    v->VideoInfoHeader.bmiHeader.biSizeImage = 4096;
    EXPECT_EQ(match(&stream), STATUS_NO_MATCH);
    EXPECT_EQ(check(), STATUS_NO_MATCH);
    // Zero (allowed for bitmaps) and larger claims take the picture's own size.
    for (ULONG claimed : {0u, 640u * 480 * 2, 640u * 480 * 4}) {
        v->VideoInfoHeader.bmiHeader.biSizeImage = claimed;
        ASSERT_EQ(match(&stream), STATUS_SUCCESS) << claimed;
        EXPECT_EQ(stream.sizeImage, 640u * 480 * 2);
        EXPECT_EQ(check(), STATUS_SUCCESS);
    }
}

}  // namespace
}  // namespace k0340
