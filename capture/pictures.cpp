// The substitute pictures: reading the three 160 x 120 bitmaps from the
// drivers folder and painting one of them, or its fill, into a sample of any
// size and output format.
//
// The bitmaps are plain Windows DIB files: a 14-byte BITMAPFILEHEADER, a
// 40-byte BITMAPINFOHEADER, then the pixels as B, G, R rows from the bottom
// up. 160 x 3 = 480 bytes a row is a multiple of four, so the rows carry no
// padding. A picture is read once at device start and painted many times, so
// the reader is strict: anything but exactly that layout is refused and the
// fill takes over, which never fails a stream.
#include <algorithm>
#include <climits>
#include <cstring>
#include <limits>

#include "capture/k0340dev.h"
#include "imaging/convert/convert.h"

namespace k0340 {
namespace {

constexpr ULONG kFileHeaderBytes = 14;
constexpr ULONG kInfoHeaderBytes = 40;
constexpr ULONG kPixelOffset = kFileHeaderBytes + kInfoHeaderBytes;
constexpr ULONG kPictureLine = kPictureWidth * 3;

// ---- Reading -----------------------------------------------------------------------------------

USHORT Word(const UCHAR* p) { return static_cast<USHORT>(p[0] | p[1] << 8); }
ULONG Dword(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24; }

// Why the headers do not describe a picture we can paint, or null when they do.
// The pixels must follow the headers directly: a palette, a larger info
// header or a gap before them would need a seek the picture never needs.
const char* HeaderFault(const UCHAR (&file)[kFileHeaderBytes], const UCHAR (&info)[kInfoHeaderBytes]) {
    if (file[0] != 'B' || file[1] != 'M') return "not a bitmap file";
    if (Dword(file + 10) != kPixelOffset) return "pixels do not follow the headers";
    if (Dword(info + 0) != kInfoHeaderBytes) return "not a 40-byte info header";
    // biHeight is signed; a negative height is a top-down picture.
    if (Dword(info + 4) != kPictureWidth || Dword(info + 8) != kPictureHeight) return "not 160 x 120 bottom-up";
    if (Word(info + 12) != 1 || Word(info + 14) != 24) return "not 24 bits a pixel";
    if (Dword(info + 16) != 0) return "compressed";
    // Writers may leave biSizeImage 0 for uncompressed pictures.
    const ULONG sizeImage = Dword(info + 20);
    if (sizeImage != 0 && sizeImage != kPictureBytes) return "image size is not 57600 bytes";
    return nullptr;
}

// Reads exactly `length` bytes at the file's position.
BOOLEAN ReadExactly(HANDLE file, PVOID buffer, ULONG length) {
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, buffer, length, nullptr, nullptr);
    return NT_SUCCESS(status) && io.Information == length;
}

// ---- Painting ----------------------------------------------------------------------------------

// The format's picture in bytes, or 0 when the format cannot be painted at
// this size: MJPG and unknown rows, pixel pairs of YUY2 with an odd width,
// 2 x 2 chroma blocks of the planar formats with an odd side, and sizes the
// conversion routines' int sizes and pitches cannot carry.
ULONG PictureBytes(ULONG width, ULONG height, ULONG formatIndex) {
    if (width == 0 || height == 0 || width > INT_MAX / 3 || height > INT_MAX) return 0;
    switch (formatIndex) {
        case kFormatRgb24:
            break;
        case kFormatYuy2:
            if (width % 2 != 0) return 0;
            break;
        case kFormatI420:
        case kFormatYv12:
            if (width % 2 != 0 || height % 2 != 0) return 0;
            break;
        default:
            return 0;
    }
    const unsigned long long bytes =
        static_cast<unsigned long long>(width) * height * kSubFormats[formatIndex].biBitCount / 8;
    return bytes <= std::numeric_limits<ULONG>::max() ? static_cast<ULONG>(bytes) : 0;
}

// A 32-bit fill word repeated over the picture, least significant byte first.
// The filled part is copied onto the rest, doubling each time; it stays a
// whole number of words, so the pattern never shifts.
void FillWords(UCHAR* out, ULONG bytes, ULONG word) {
    const UCHAR pattern[4] = {UCHAR(word), UCHAR(word >> 8), UCHAR(word >> 16), UCHAR(word >> 24)};
    std::memcpy(out, pattern, std::min<size_t>(bytes, 4));
    for (size_t filled = 4; filled < bytes; filled *= 2) {
        std::memcpy(out + filled, out, std::min<size_t>(filled, bytes - filled));
    }
}

void FillPlanarBlack(UCHAR* out, ULONG width, ULONG height) {
    const size_t luma = size_t(width) * height;
    std::memset(out, 0x00, luma);
    std::memset(out + luma, 0x80, luma / 2);
}

// The grey word of the lock's fill is the same byte four times, grey in
// every layout. The black word is a packed-YUY2 pattern (Y 0, chroma 0x80);
// spread over a planar picture it would stripe the luma, so the planar
// formats get their black plane by plane.
void PaintFill(Substitute which, ULONG width, ULONG height, ULONG formatIndex, UCHAR* out, ULONG bytes) {
    const SubFormat& row = kSubFormats[formatIndex];
    if (which == Substitute::ParentalLock) {
        FillWords(out, bytes, row.fillGrey);
    } else if (formatIndex == kFormatI420 || formatIndex == kFormatYv12) {
        FillPlanarBlack(out, width, height);
    } else {
        FillWords(out, bytes, row.fillBlack);
    }
}

// The 160 x 120 picture on a width x height RGB24 picture, both bottom-up:
// in the middle of a black picture when it fits, else scaled to the whole of it.
void FitPicture(const UCHAR* raw, ULONG width, ULONG height, UCHAR* picture) {
    const size_t line = size_t(width) * 3;
    if (width >= kPictureWidth && height >= kPictureHeight) {
        std::memset(picture, 0, line * height);
        const size_t left = (width - kPictureWidth) / 2, bottom = (height - kPictureHeight) / 2;
        for (size_t y = 0; y < kPictureHeight; ++y) {
            std::memcpy(picture + (bottom + y) * line + left * 3, raw + y * kPictureLine, kPictureLine);
        }
        return;
    }
    // The sizes were checked to fit an int pitch, so the resize cannot refuse them.
    ResizeNearest(picture, int(width), int(height), int(line), raw, int(kPictureWidth), int(kPictureHeight),
                  int(kPictureLine), MT_RGB24);
}

// The bottom-up RGB24 canvas to a top-down picture of the output format.
void ConvertCanvas(const UCHAR* canvas, ULONG width, ULONG height, ULONG formatIndex, UCHAR* out) {
    const int w = int(width), h = int(height), line = w * 3;
    if (formatIndex == kFormatYuy2) {
        ConvertRgb24ToYuy2(out, w * 2, canvas, w, h, line);
        FlipTopBottom(out, out, w, h, w * 2, MT_YUY2);
        return;
    }
    ConvertRgb24ToI420(out, canvas, w, h, line);
    FlipTopBottom(out, out, w, h, w, MT_I420);
    if (formatIndex == kFormatYv12) {
        // YV12 is I420 with the V plane before the U plane.
        const size_t luma = size_t(width) * height, chroma = luma / 4;
        std::swap_ranges(out + luma, out + luma + chroma, out + luma + chroma);
    }
}

}  // namespace

PCWSTR SubstituteFileName(Substitute which) {
    switch (which) {
        case Substitute::HardwarePrivacy:
            return u"K0340Pv2.bmp";
        case Substitute::ParentalLock:
            return u"K0340Pc.bmp";
        case Substitute::SoftwarePrivacy:
            return u"K0340Pvc.bmp";
    }
    return nullptr;
}

BOOLEAN ReadSubstitutePicture(Substitute which, UCHAR* raw) {
    PCWSTR name = SubstituteFileName(which);
    if (name == nullptr || raw == nullptr) return FALSE;
    // File calls are for PASSIVE_LEVEL only; a caller at a raised level gets
    // the fill instead of a verifier report.
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) return FALSE;

    WCHAR path[64] = u"\\SystemRoot\\System32\\Drivers\\";
    size_t length = 0;
    while (path[length] != 0) ++length;
    for (size_t i = 0; name[i] != 0 && length + 1 < std::size(path); ++i) path[length++] = name[i];
    path[length] = 0;
    UNICODE_STRING pathString;
    RtlInitUnicodeString(&pathString, path);
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &pathString, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);

    HANDLE file = nullptr;
    IO_STATUS_BLOCK io{};
    NTSTATUS status = ZwCreateFile(&file, GENERIC_READ | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                                   FILE_SHARE_READ, FILE_OPEN, FILE_SYNCHRONOUS_IO_NONALERT | FILE_NON_DIRECTORY_FILE,
                                   nullptr, 0);
    if (!NT_SUCCESS(status)) {
        DbgPrint("K0340Dev: substitute picture %ws: cannot open (%08lx)\n", name, ULONG(status));
        return FALSE;
    }
    UCHAR fileHeader[kFileHeaderBytes];
    UCHAR infoHeader[kInfoHeaderBytes];
    const char* fault = nullptr;
    if (!ReadExactly(file, fileHeader, sizeof fileHeader) || !ReadExactly(file, infoHeader, sizeof infoHeader)) {
        fault = "shorter than its headers";
    } else if ((fault = HeaderFault(fileHeader, infoHeader)) == nullptr && !ReadExactly(file, raw, kPictureBytes)) {
        fault = "shorter than its pixels";
    }
    ZwClose(file);
    if (fault != nullptr) {
        DbgPrint("K0340Dev: substitute picture %ws: %s\n", name, fault);
        return FALSE;
    }
    return TRUE;
}

ULONG PaintSubstitute(Substitute which, const UCHAR* raw, ULONG width, ULONG height, ULONG formatIndex,
                      UCHAR* canvas, ULONG canvasBytes, UCHAR* out, ULONG outBytes) {
    if (SubstituteFileName(which) == nullptr || out == nullptr) return 0;
    const ULONG bytes = PictureBytes(width, height, formatIndex);
    if (bytes == 0 || bytes > outBytes) return 0;
    if (raw == nullptr) {
        // Without its file the hardware switch gets the same black as
        // software privacy: leaving the sample as it was could show the last
        // real picture the application's buffer held.
        PaintFill(which, width, height, formatIndex, out, bytes);
        return bytes;
    }
    if (formatIndex == kFormatRgb24) {
        // Bottom-up like the bitmap and the canvas would be: no conversion,
        // so the sample itself is the canvas.
        FitPicture(raw, width, height, out);
        return bytes;
    }
    const unsigned long long canvasNeeded = static_cast<unsigned long long>(width) * height * 3;
    if (canvas == nullptr || canvasNeeded > canvasBytes) return 0;
    FitPicture(raw, width, height, canvas);
    ConvertCanvas(canvas, width, height, formatIndex, out);
    return bytes;
}

}  // namespace k0340
