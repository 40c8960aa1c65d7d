// The decoder's one record and the routines of its files, grouped by file.
// Only the decoder's own files (and its white-box tests) include this.
#pragma once

#include <cstdint>
#include <cstring>

#include "imaging/jpeg/jpeg.h"

namespace qk::jpeg {

// ---------------------------------------------------------------- messages.cpp
// Every diagnostic the decoder can give, in one catalogue.
enum class Msg : int {
    kVersion,             // expected, given
    kNoImage,
    kExpectingFF,         // byte
    kUnsupportedFrame,    // marker code
    kEndOfImage,
    kUnknownToken,        // marker code
    kPrecision,
    kNoComponents,
    kZeroFrequency,
    kNoImageCallback,
    kQuantPrecision,
    kComponentCount,      // Nf
    kFrequencyRange,      // H, V
    kQuantTableId,        // Tq
    kDuplicateComponent,  // identifier
    kEmptyImage,          // width, height
    kSecondFrame,
    kScanBeforeFrame,
    kScanComponent,       // identifier
    kScanShape,           // Ns, Nf
    kScanParameters,      // Ss, Se, Ah, Al
    kHuffmanTableId,      // class, id
    kHuffmanTableMissing, // class, id
    kHuffmanTableLength,
    kHuffmanTableCodes,
    kQuantTableMissing,   // id
    kSegmentLength,       // marker code
    kDestination,         // pitch, width
    kNoMemory,            // bytes
    kFrameTooLarge,       // width, height
    kHuffmanDecode,
    kDcRange,             // value
    kAcPosition,
    kRestartMarker,       // byte, byte
    kNoScans,
    kTruncatedFrame,
    kCount
};
void Log(Msg message, ...);

// ------------------------------------------------------------------ source.cpp
// The input as the caller delivers it: chunks fetched through gpucGetData,
// plus one byte of push-back so that a marker's 0xFF found at the end of a
// chunk can be given back after peeking into the next one.
struct Source {
    const uint8_t* at;
    const uint8_t* end;
    JPG_GET_DATA getData;
    uint64_t delivered;   // running total of bytes delivered
    int pushed;           // -1 or a byte given back
    bool finalDelivered;  // the callback has flagged its last chunk
};

void StartSource(Source& s, JPG_GET_DATA getData);
bool Refill(Source& s);  // at == end; false when no more data

inline int ReadByte(Source& s) {
    if (s.pushed >= 0) {
        const int b = s.pushed;
        s.pushed = -1;
        return b;
    }
    if (s.at == s.end && !Refill(s)) return -1;
    return *s.at++;
}

inline int PeekByte(Source& s) {
    if (s.pushed >= 0) return s.pushed;
    if (s.at == s.end && !Refill(s)) return -1;
    return *s.at;
}

inline void UnreadByte(Source& s, int b) { s.pushed = b; }

int ReadWord(Source& s);              // big-endian; -1 at the end of the data
bool SkipBytes(Source& s, size_t n);  // false when the data ended first

// Entropy-coded data, most significant bit first (ITU-T T.81 F.2.2.5).
// `buffer` is left-aligned: its top `bits` bits are valid and all bits below
// them are zero. When a marker or the end of the data is reached the reader
// stops consuming input and supplies zero bits from then on.
struct BitReader {
    uint64_t buffer;
    int bits;
    bool ended;
};

inline void ResetBits(BitReader& br) { br = BitReader{0, 0, false}; }

void FillBitsSlow(BitReader& br, Source& s);

// Leaves at least 57 bits in the buffer (real or filler).
inline void FillBits(BitReader& br, Source& s) {
    if (br.bits > 56) return;
    if (!br.ended && s.pushed < 0 && s.end - s.at >= 8) {
        uint64_t w;
        std::memcpy(&w, s.at, 8);
        w = __builtin_bswap64(w);
        const uint64_t inverted = ~w;
        // No 0xFF among the eight bytes: no stuffing and no marker to watch.
        if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) == 0) {
            const int n = (64 - br.bits) >> 3;
            const uint64_t top = n == 8 ? w : w & ~(~0ull >> (8 * n));
            br.buffer |= top >> br.bits;
            br.bits += 8 * n;
            s.at += n;
            return;
        }
    }
    FillBitsSlow(br, s);
}

inline uint32_t PeekBits(const BitReader& br, int n) { return uint32_t(br.buffer >> (64 - n)); }
inline void DropBits(BitReader& br, int n) {
    br.buffer <<= n;
    br.bits -= n;
}
// n = 0..16; the caller has filled the buffer.
inline int TakeBits(BitReader& br, int n) {
    if (n == 0) return 0;
    const int v = int(PeekBits(br, n));
    DropBits(br, n);
    return v;
}

// ITU-T T.81 F.2.2.1: a value below 2^(s-1) stands for value - 2^s + 1.
inline int Extend(int v, int s) { return s > 0 && v < (1 << (s - 1)) ? v - (1 << s) + 1 : v; }

// ----------------------------------------------------------------- huffman.cpp
inline constexpr int kLookaheadBits = 10;

struct HuffmanTable {
    bool defined;
    uint8_t counts[17];      // BITS: codes of each length 1-16
    uint8_t values[256];     // HUFFVAL
    int symbolCount;
    int32_t valueOffset[18];  // first code of a length minus the index of its first symbol
    int32_t maxCode[18];      // largest code of a length, -1 for none
    // For every pattern of the window: (length << 8) | symbol, 0 when the
    // code is longer.
    uint16_t lookahead[1 << kLookaheadBits];
    // A whole code and the bits after it in the window: (value << 16) | (run <<
    // 8) | bits used; 0 when the pattern does not hold one. AC tables give a
    // coefficient (its extended value and the zeros before it) or the end of
    // the block (run kEndOfBlockRun, value 0); DC tables a difference (run 0).
    int32_t fast[1 << kLookaheadBits];
};
// Past every position of a block, so that the end of the block leaves the
// coefficient loop through its position check.
inline constexpr int kEndOfBlockRun = 0x7F;

// Builds a table from counts and symbols; false for a code set that
// overflows its lengths (more codes than a length can hold), which leaves
// the table as it was.
bool BuildHuffmanTable(HuffmanTable& t, const uint8_t counts[17], const uint8_t* values, int symbolCount, bool ac);
int DecodeSymbolSlow(BitReader& br, const HuffmanTable& t);
// The bit-by-bit procedure of ITU-T T.81 Figure F.16 over all lengths 1-16,
// the reference the lookahead tables are tested against.
int DecodeSymbolReference(BitReader& br, const HuffmanTable& t);

// A symbol, or -1 when no code of up to 16 bits matches. At least 16 bits
// must be in the buffer.
inline int DecodeSymbol(BitReader& br, const HuffmanTable& t) {
    const uint32_t entry = t.lookahead[PeekBits(br, kLookaheadBits)];
    if (entry != 0) {
        DropBits(br, int(entry >> 8));
        return int(entry & 0xFF);
    }
    return DecodeSymbolSlow(br, t);
}

// --------------------------------------------------------------- tables / idct
extern const uint8_t kZigzagToNatural[64];  // ITU-T T.81 Figure A.6
extern const int32_t kPrescale[64];         // round(64 / (a(u) a(v))), natural order

// The transform takes the dequantised inputs: coefficient times multiplier
// (32-bit, wrapping), natural order. Blocks are decoded straight into them.
using IdctFn = void (*)(const int32_t* inputs, uint8_t* out, int stride);
void IdctReference(const int32_t* inputs, uint8_t* out, int stride);
IdctFn Avx2Idct();    // null when the processor lacks AVX2
IdctFn ChosenIdct();  // chosen once
inline int32_t Dequantise(int coefficient, int32_t multiplier) {
    return int32_t(uint32_t(coefficient) * uint32_t(multiplier));
}
// The sample every position of a block with only a DC input takes.
uint8_t DcOnlySample(int32_t input);
void FillBlock(uint8_t* out, int stride, uint8_t value);

// ----------------------------------------------------------------- writers.cpp
// Row writers of one output kind. Pair writers take one U and V per pixel
// pair (width even); full writers one per pixel (the two-byte YUV kinds use
// the left pixel's).
using RowWriter = void (*)(uint8_t* dst, const uint8_t* y, const uint8_t* u, const uint8_t* v, int width);
struct WriterSet {
    int bytesPerPixel;
    bool rgb;          // chroma smoothing applies
    RowWriter pairs16;  // exactly 16 pixels
    RowWriter pairs;
    RowWriter full;
};
const WriterSet& ReferenceWriters(int kind);
const WriterSet* Avx2Writers(int kind);  // null without AVX2
const WriterSet& ChosenWriters(int kind);

// ---------------------------------------------------------------- the record
struct Component {
    uint8_t id;
    uint8_t h, v;           // sampling factors
    uint8_t blocksPerMcu;   // h * v
    uint8_t quantId;
    int blockCols, blockRows;  // blocks the component really has (ITU-T T.81 A.1.1)
    int stepH88, stepV88;      // (h * 256) / Hmax, (v * 256) / Vmax
    int16_t dcPredictor;
    const HuffmanTable* dcTable;
    const HuffmanTable* acTable;
    bool inScan;
    int16_t* coefficients;   // progressive: whole frame, (mcusPerRow * h) blocks across
    size_t coefficientsPerMcuRow;
};

inline constexpr int kMaxMcuSide = 32;  // 8 * largest sampling factor

struct Record {
    // Output configuration.
    int kind;
    int bytesPerPixel;
    bool fastPath;
    bool smoothChroma;
    int scaleEnable, scaleExact;  // scaled output: accepted, not built
    const WriterSet* writers;
    JPG_PROGRESS progress;
    JPG_LOG_SINK sink;
    JPG_ALLOCATE allocate;
    JPG_RELEASE release;

    Source source;
    BitReader bits;

    // Frame header.
    int frameMarker;  // 0 before the frame header
    int precision;
    uint16_t height, width;
    int outWidth;  // width written (odd widths lose a column in two-byte kinds)
    int nf;
    Component comp[3];
    int hMax, vMax, mcusPerRow, mcuRows;
    bool layout422, layout420;  // Y 2x1 or 2x2 with chroma 1x1
    // Sample positions inside an MCU: component sample column of each pixel
    // column (and row), the next sample for interpolation, and whether the
    // pixel lies between the two.
    uint8_t mapX[3][kMaxMcuSide], nextX[3][kMaxMcuSide], betweenX[3][kMaxMcuSide];
    uint8_t mapY[3][kMaxMcuSide], nextY[3][kMaxMcuSide], betweenY[3][kMaxMcuSide];

    uint8_t quantRaw[3][64];  // as read, zigzag order (16-bit entries saturate)
    int32_t multipliers[3][64];
    bool quantDefined[3];
    HuffmanTable huffman[2][4];  // [class: 0 DC, 1 AC][id]

    uint16_t restartInterval;
    int mcusSinceRestart;
    int ns, ss, se, ah, al;
    int eobRun;
    int scansDone;
    bool endOfImage;  // EOI met at a restart point

    uint8_t* destination;  // where the picture's first line goes
    uint16_t pitch;
    bool bottomUp;
    ptrdiff_t lineStep;  // from one picture line to the next: pitch, or -pitch bottom-up

    // One MCU of samples, each component as a plane of (8h) x (8v).
    alignas(32) uint8_t planes[3][kMaxMcuSide * kMaxMcuSide];
    alignas(32) int32_t block[64];  // dequantised inputs of the block being decoded
};

extern Record g_record;

// ------------------------------------------------------------------ markers.cpp
int DecodeFrame(JPG_GET_IMAGE getImage);

// -------------------------------------------------------------- sequential.cpp
int DecodeSequentialScan();
// Restart handling shared with the progressive scans.
enum class RestartResult { kContinue, kEndOfImage, kError };
RestartResult ProcessRestart(Record& r);
// Writes the MCU held in the planes at MCU position (mcuX, mcuY).
void WriteMcu(Record& r, int mcuX, int mcuY);
void IdctInto(Record& r, int c, const int16_t* coefficients, int blockX, int blockY);

// ------------------------------------------------------------- progressive.cpp
int AllocateCoefficients(Record& r);
void ReleaseCoefficients(Record& r);
int DecodeProgressiveScan();
int OutputProgressiveFrame();

}  // namespace qk::jpeg
