#include "capture/formats.h"

#include <cstring>
#include <initializer_list>
#include <iterator>
#include <limits>

namespace k0340 {
namespace {

constexpr int64_t k5 = 2000000, k7_5 = 1333333, k10 = 1000000, k15 = 666666, k20 = 500000, k25 = 400000,
                  k30 = 333333;

constexpr FormatRecord Record(uint32_t index, uint32_t width, uint32_t height, std::initializer_list<int64_t> intervals) {
    FormatRecord r{};
    r.formatIndex = index;
    r.width = width;
    r.height = height;
    for (int64_t i : intervals) r.intervals[r.intervalCount++] = i;
    r.stillCount = 1;
    r.stills[0] = {width, height};
    return r;
}

#define ALL_RATES {k5, k10, k15, k20, k25, k30}
#define LOW_RATES {k5, k10, k15}

constexpr FormatRecord kTableA[] = {
    Record(kFormatYuy2, 640, 480, ALL_RATES),   Record(kFormatYuy2, 352, 288, ALL_RATES),
    Record(kFormatYuy2, 320, 240, ALL_RATES),   Record(kFormatYuy2, 176, 144, ALL_RATES),
    Record(kFormatYuy2, 160, 120, ALL_RATES),   Record(kFormatRgb24, 640, 480, ALL_RATES),
    Record(kFormatRgb24, 352, 288, ALL_RATES),  Record(kFormatRgb24, 320, 240, ALL_RATES),
    Record(kFormatRgb24, 176, 144, ALL_RATES),  Record(kFormatRgb24, 160, 120, ALL_RATES),
    Record(kFormatRgb24, 800, 600, ALL_RATES),  Record(kFormatRgb24, 1280, 960, {k5, k7_5}),
    Record(kFormatRgb24, 1600, 1200, {k5}),
};

constexpr FormatRecord kTableB[] = {
    Record(kFormatYuy2, 640, 480, LOW_RATES),   Record(kFormatYuy2, 352, 288, ALL_RATES),
    Record(kFormatYuy2, 320, 240, ALL_RATES),   Record(kFormatYuy2, 176, 144, ALL_RATES),
    Record(kFormatYuy2, 160, 120, ALL_RATES),   Record(kFormatYuy2, 800, 600, LOW_RATES),
    Record(kFormatRgb24, 640, 480, LOW_RATES),  Record(kFormatRgb24, 352, 288, ALL_RATES),
    Record(kFormatRgb24, 320, 240, ALL_RATES),  Record(kFormatRgb24, 176, 144, ALL_RATES),
    Record(kFormatRgb24, 160, 120, ALL_RATES),  Record(kFormatRgb24, 800, 600, LOW_RATES),
};

#undef ALL_RATES
#undef LOW_RATES

constexpr size_t kInfoOffsetInFormat = sizeof(KSDATAFORMAT);                       // 64
constexpr size_t kInfoFixedBytes = offsetof(KS_VIDEOINFOHEADER, bmiHeader);         // 48
constexpr size_t kInfoOffsetInRange = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader);  // 208
constexpr size_t kBitmapOffsetInRange = kInfoOffsetInRange + kInfoFixedBytes;      // 256
static_assert(kBitmapOffsetInRange == 256 && kInfoFixedBytes + kInfoOffsetInFormat == 112);

uint32_t SampleBytes(LONG width, LONG height, USHORT bitCount) {
    int64_t stride = ((int64_t{bitCount} * width + 31) / 32) * 4;
    int64_t lines = height < 0 ? -int64_t{height} : height;
    int64_t bytes = stride * lines;
    return bytes < 0 || bytes > std::numeric_limits<uint32_t>::max() ? 0 : static_cast<uint32_t>(bytes);
}

}  // namespace

const SubFormat kSubFormats[kFormatCount] = {
    {&MEDIASUBTYPE_RGB24, KS_BI_RGB, 24, 0x7F7F7F7F, 0x00000000},
    {&MEDIASUBTYPE_I420, KS_FOURCC('I', '4', '2', '0'), 12, 0x7F7F7F7F, 0x80808080},
    {&MEDIASUBTYPE_YUY2, KS_FOURCC('Y', 'U', 'Y', '2'), 16, 0x7F7F7F7F, 0x80008000},
    {&MEDIASUBTYPE_YV12, KS_FOURCC('Y', 'V', '1', '2'), 12, 0x7F7F7F7F, 0x80008000},
    {&MEDIASUBTYPE_MJPG, KS_FOURCC('M', 'J', 'P', 'G'), 24, 0, 0},
};

FormatTable FormatTableForVariant(int variant) {
    if (variant == 1) return {kTableB, static_cast<uint32_t>(std::size(kTableB))};
    return {kTableA, static_cast<uint32_t>(std::size(kTableA))};
}

void BuildDataRange(const FormatRecord& record, KS_DATARANGE_VIDEO* range) {
    const SubFormat& row = kSubFormats[record.formatIndex];
    int64_t longest = record.intervals[0];
    int64_t shortest = record.intervals[record.intervalCount - 1];
    int64_t pixels = int64_t{record.width} * record.height;
    *range = {};
    range->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
    range->DataRange.SampleSize = static_cast<ULONG>(pixels * row.biBitCount / 8);
    range->DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
    range->DataRange.SubFormat = *row.subtype;
    range->DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    range->bFixedSizeSamples = 1;
    range->bTemporalCompression = 1;
    range->StreamDescriptionFlags = KS_VIDEOSTREAM_CAPTURE;
    range->MemoryAllocationFlags = 0;
    KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
    caps.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
    KS_SIZE size{static_cast<LONG>(record.width), static_cast<LONG>(record.height)};
    caps.InputSize = caps.MinCroppingSize = caps.MaxCroppingSize = caps.MinOutputSize = caps.MaxOutputSize = size;
    caps.CropGranularityX = caps.CropGranularityY = caps.CropAlignX = caps.CropAlignY = 1;
    caps.OutputGranularityX = caps.OutputGranularityY = 1;
    caps.MinFrameInterval = shortest;
    caps.MaxFrameInterval = longest;
    caps.MinBitsPerSecond = static_cast<LONG>(pixels * row.biBitCount * (10000000 / longest));
    caps.MaxBitsPerSecond = static_cast<LONG>(pixels * row.biBitCount * (10000000 / shortest));
    KS_VIDEOINFOHEADER& info = range->VideoInfoHeader;
    info.dwBitRate = static_cast<ULONG>(caps.MaxBitsPerSecond);
    info.AvgTimePerFrame = shortest;
    info.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
    info.bmiHeader.biWidth = static_cast<LONG>(record.width);
    info.bmiHeader.biHeight = static_cast<LONG>(record.height);
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = row.biBitCount;
    info.bmiHeader.biCompression = row.biCompression;
    info.bmiHeader.biSizeImage = static_cast<ULONG>(pixels * row.biBitCount / 8);
}

int FormatIndexFor(ULONG biCompression, USHORT biBitCount) {
    for (int i = 0; i < static_cast<int>(kFormatCount); ++i) {
        if (kSubFormats[i].biCompression == biCompression && kSubFormats[i].biBitCount == biBitCount) return i;
    }
    return -1;
}

uint32_t PictureSize(const FormatRecord& record) {
    return static_cast<uint32_t>(uint64_t{record.width} * record.height * kSubFormats[record.formatIndex].biBitCount / 8);
}

const FormatRecord* FindRecord(const FormatTable& table, uint32_t formatIndex, LONG width, LONG height) {
    for (uint32_t i = 0; i < table.count; ++i) {
        const FormatRecord& r = table.records[i];
        if (r.formatIndex == formatIndex && static_cast<LONG>(r.width) == width && static_cast<LONG>(r.height) == height) {
            return &r;
        }
    }
    return nullptr;
}

// The video-info header of a connection format, when the format is big enough
// to hold its fixed part and its bitmap header says how big it is.
static bool VideoInfo(const KSDATAFORMAT* format, size_t formatBytes, KS_VIDEOINFOHEADER* info) {
    if (formatBytes < kInfoOffsetInFormat + sizeof(KS_VIDEOINFOHEADER) || format->FormatSize > formatBytes) return false;
    std::memcpy(info, reinterpret_cast<const uint8_t*>(format) + kInfoOffsetInFormat, sizeof *info);
    return true;
}

NTSTATUS MatchFormat(const FormatTable& table, const KSDATAFORMAT* format, size_t formatBytes, StreamFormat* stream,
                     const FormatRecord** record) {
    KS_VIDEOINFOHEADER info;
    if (format == nullptr || !VideoInfo(format, formatBytes, &info)) return STATUS_NO_MATCH;
    int index = FormatIndexFor(info.bmiHeader.biCompression, info.bmiHeader.biBitCount);
    if (index < 0) return STATUS_NO_MATCH;
    const FormatRecord* r = FindRecord(table, static_cast<uint32_t>(index), info.bmiHeader.biWidth,
                                       info.bmiHeader.biHeight);
    if (r == nullptr) return STATUS_NO_MATCH;
    // The picture fills the sample: a format that claims a smaller image than
    // its size and bit count hold would have the conversion write past it.
    uint32_t picture = PictureSize(*r);
    if (info.bmiHeader.biSizeImage != 0 && info.bmiHeader.biSizeImage < picture) return STATUS_NO_MATCH;
    stream->width = r->width;
    stream->height = r->height;
    stream->formatIndex = static_cast<uint32_t>(index);
    stream->sizeImage = picture;
    stream->interval100ns = info.AvgTimePerFrame;
    if (record) *record = r;
    return STATUS_SUCCESS;
}

NTSTATUS CheckDataFormat(const FormatTable& table, const KSDATAFORMAT* format, size_t formatBytes,
                         const KS_DATARANGE_VIDEO* matchedRange) {
    if (format == nullptr || formatBytes < sizeof(KSDATAFORMAT) ||
        !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO) || format->FormatSize <= 151 ||
        format->FormatSize > formatBytes) {
        return STATUS_NO_MATCH;
    }
    KS_VIDEOINFOHEADER info;
    std::memcpy(&info, reinterpret_cast<const uint8_t*>(format) + kInfoOffsetInFormat, sizeof info);
    // biSize + 112 must fit the format; computed wide so a huge biSize cannot wrap.
    if (uint64_t{info.bmiHeader.biSize} + kInfoOffsetInFormat + kInfoFixedBytes > format->FormatSize) {
        return STATUS_INVALID_PARAMETER;
    }
    const KS_BITMAPINFOHEADER& ours = matchedRange->VideoInfoHeader.bmiHeader;
    if (info.bmiHeader.biWidth != ours.biWidth || info.bmiHeader.biHeight != ours.biHeight ||
        info.bmiHeader.biCompression != ours.biCompression || info.bmiHeader.biBitCount != ours.biBitCount) {
        return STATUS_NO_MATCH;
    }
    int index = FormatIndexFor(info.bmiHeader.biCompression, info.bmiHeader.biBitCount);
    const FormatRecord* record =
        index < 0 ? nullptr
                  : FindRecord(table, static_cast<uint32_t>(index), info.bmiHeader.biWidth, info.bmiHeader.biHeight);
    if (record == nullptr) return STATUS_NO_MATCH;
    if (info.bmiHeader.biSizeImage != 0 && info.bmiHeader.biSizeImage < PictureSize(*record)) return STATUS_NO_MATCH;
    return STATUS_SUCCESS;
}

NTSTATUS IntersectRange(const KSDATARANGE* callerRange, size_t callerBytes, const KS_DATARANGE_VIDEO* ourRange,
                        void* data, ULONG dataBytes, ULONG* dataSize) {
    if (callerRange == nullptr || callerBytes < sizeof(KS_DATARANGE_VIDEO) ||
        callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO) || callerRange->FormatSize > callerBytes ||
        !IsEqualGUID(callerRange->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
        return STATUS_NO_MATCH;
    }
    KS_DATARANGE_VIDEO caller;
    std::memcpy(&caller, callerRange, sizeof caller);
    if (caller.bFixedSizeSamples != ourRange->bFixedSizeSamples ||
        caller.bTemporalCompression != ourRange->bTemporalCompression ||
        caller.StreamDescriptionFlags != ourRange->StreamDescriptionFlags ||
        caller.MemoryAllocationFlags != ourRange->MemoryAllocationFlags ||
        std::memcmp(&caller.ConfigCaps, &ourRange->ConfigCaps, sizeof caller.ConfigCaps) != 0) {
        return STATUS_NO_MATCH;
    }
    uint64_t biSize = caller.VideoInfoHeader.bmiHeader.biSize;
    // The caller's bitmap header starts 256 bytes into its range and must lie inside it.
    if (biSize < sizeof(KS_BITMAPINFOHEADER) || biSize + kBitmapOffsetInRange > callerRange->FormatSize) {
        return STATUS_NO_MATCH;
    }
    ULONG size = static_cast<ULONG>(biSize + kInfoOffsetInFormat + kInfoFixedBytes);
    *dataSize = size;
    if (dataBytes == 0) return STATUS_BUFFER_OVERFLOW;
    if (dataBytes < size || data == nullptr) return STATUS_BUFFER_TOO_SMALL;
    const KS_BITMAPINFOHEADER& bitmap = caller.VideoInfoHeader.bmiHeader;
    uint32_t sample = SampleBytes(bitmap.biWidth, bitmap.biHeight, bitmap.biBitCount);
    KSDATAFORMAT header;
    std::memcpy(&header, &ourRange->DataRange, sizeof header);
    header.FormatSize = size;
    header.SampleSize = sample;
    auto* out = static_cast<uint8_t*>(data);
    std::memcpy(out, &header, sizeof header);
    std::memcpy(out + kInfoOffsetInFormat, reinterpret_cast<const uint8_t*>(callerRange) + kInfoOffsetInRange,
                kInfoFixedBytes + biSize);
    KS_VIDEOINFOHEADER info;
    std::memcpy(&info, out + kInfoOffsetInFormat, sizeof info);
    info.bmiHeader.biSizeImage = sample;
    std::memcpy(out + kInfoOffsetInFormat, &info, sizeof info);
    return STATUS_SUCCESS;
}

}  // namespace k0340
