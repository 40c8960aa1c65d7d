// The capture pin's formats: the output sub-format table, the two format
// tables (camera variant 2 uses table A, variant 1 table B), the data ranges
// built from them, format matching, and the set-data-format and intersection
// checks. Pure functions over the caller's buffers.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ksmedia.h"

namespace k0340 {

// Output format index of the capture pin (the row of kSubFormats).
enum FormatIndex : uint32_t {
    kFormatRgb24 = 0,
    kFormatI420 = 1,
    kFormatYuy2 = 2,
    kFormatYv12 = 3,
    kFormatMjpg = 4,
    kFormatCount = 5,
};

struct SubFormat {
    const GUID* subtype;
    ULONG biCompression;
    USHORT biBitCount;
    ULONG fillGrey;   // paints a grey picture
    ULONG fillBlack;  // paints a black picture
};
extern const SubFormat kSubFormats[kFormatCount];

inline constexpr uint32_t kMaxIntervals = 20;
inline constexpr uint32_t kMaxStills = 10;

struct StillSize {
    uint32_t width;
    uint32_t height;
};

// One offered format.
struct FormatRecord {
    uint32_t formatIndex;
    uint32_t width;
    uint32_t height;
    uint32_t intervalCount;
    int64_t intervals[kMaxIntervals];  // 100 ns units, longest first
    uint32_t stillCount;
    StillSize stills[kMaxStills];
};

struct FormatTable {
    const FormatRecord* records;
    uint32_t count;
};

// Table A for camera variant 2, table B for variant 1.
FormatTable FormatTableForVariant(int variant);

// The data range of one record.
void BuildDataRange(const FormatRecord& record, KS_DATARANGE_VIDEO* range);

// The format index for a bitmap's compression and bit count, or -1.
int FormatIndexFor(ULONG biCompression, USHORT biBitCount);
// The bytes of one picture of the record (width x height x bits / 8).
uint32_t PictureSize(const FormatRecord& record);
// The record of the table with that index and size, or null.
const FormatRecord* FindRecord(const FormatTable& table, uint32_t formatIndex, LONG width, LONG height);

// The stream format the pin keeps once a format has matched.
struct StreamFormat {
    uint32_t width;
    uint32_t height;
    uint32_t formatIndex;
    uint32_t sizeImage;
    int64_t interval100ns;
};

// Matches a connection format (a KSDATAFORMAT followed by a video-info header)
// against the table: STATUS_NO_MATCH, STATUS_INVALID_PARAMETER for a
// malformed header, else success with the stream format and record.
NTSTATUS MatchFormat(const FormatTable& table, const KSDATAFORMAT* format, size_t formatBytes, StreamFormat* stream,
                     const FormatRecord** record);

// The set-data-format check against the matched data range.
NTSTATUS CheckDataFormat(const FormatTable& table, const KSDATAFORMAT* format, size_t formatBytes,
                         const KS_DATARANGE_VIDEO* matchedRange);

// The intersection: the caller's range against one of ours. `data` may be null
// with dataBytes 0 to ask the size (STATUS_BUFFER_OVERFLOW).
NTSTATUS IntersectRange(const KSDATARANGE* callerRange, size_t callerBytes, const KS_DATARANGE_VIDEO* ourRange,
                        void* data, ULONG dataBytes, ULONG* dataSize);

}  // namespace k0340
