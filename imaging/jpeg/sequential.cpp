// Sequential Huffman-coded scans (ITU-T T.81 Annex F): block decoding, the
// fast 4:2:2 and 4:2:0 paths and the general path, restart intervals, and
// the MCU writers shared with progressive frames.
#include <algorithm>

#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {
namespace {

// Decodes one block's coefficients into r.block (natural order). `acPresent`
// tells whether any AC coefficient is non-zero.
inline bool DecodeBlock(Record& r, Component& c, bool& acPresent) {
    BitReader& br = r.bits;
    Source& s = r.source;
    int16_t* block = r.block;
    std::memset(block, 0, sizeof r.block);
    FillBits(br, s);
    const int size = DecodeSymbol(br, *c.dcTable);
    if (size < 0 || size > 15) {
        Log(Msg::kHuffmanDecode);
        return false;
    }
    const int dc = c.dcPredictor + Extend(TakeBits(br, size), size);
    if (dc < -1024 || dc > 1023) {
        Log(Msg::kDcRange, dc);
        return false;
    }
    c.dcPredictor = int16_t(dc);
    block[0] = int16_t(dc);

    acPresent = false;
    const HuffmanTable& ac = *c.acTable;
    for (int k = 1; k < 64;) {
        if (br.bits < 32) FillBits(br, s);
        // Most coefficients fit code and value in the lookahead window.
        const int32_t fast = ac.fastAc[PeekBits(br, kLookaheadBits)];
        if (fast != 0) {
            k += (fast >> 8) & 0xFF;
            DropBits(br, fast & 0xFF);
            if (k > 63) {
                Log(Msg::kAcPosition);
                return false;
            }
            block[kZigzagToNatural[k++]] = int16_t(fast >> 16);
            acPresent = true;
            continue;
        }
        const int rs = DecodeSymbol(br, ac);
        if (rs < 0) {
            Log(Msg::kHuffmanDecode);
            return false;
        }
        const int run = rs >> 4, bits = rs & 15;
        if (bits == 0) {
            if (run != 15) break;  // end of block
            k += 16;
            continue;
        }
        k += run;
        if (k > 63) {
            Log(Msg::kAcPosition);
            return false;
        }
        block[kZigzagToNatural[k++]] = int16_t(Extend(TakeBits(br, bits), bits));
        acPresent = true;
    }
    return true;
}

inline void Reconstruct(Record& r, int ci, const int16_t* coefficients, bool acPresent, int blockX, int blockY,
                        IdctFn idct) {
    const Component& c = r.comp[ci];
    const int stride = 8 * c.h;
    uint8_t* out = r.planes[ci] + blockY * 8 * stride + blockX * 8;
    const int32_t* multipliers = r.multipliers[c.quantId];
    if (acPresent) {
        idct(coefficients, multipliers, out, stride);
    } else {
        FillBlock(out, stride, DcOnlySample(coefficients[0], multipliers[0]));
    }
}

bool DecodeMcu(Record& r, IdctFn idct) {
    for (int ci = 0; ci < r.nf; ++ci) {
        Component& c = r.comp[ci];
        for (int by = 0; by < c.v; ++by) {
            for (int bx = 0; bx < c.h; ++bx) {
                bool acPresent;
                if (!DecodeBlock(r, c, acPresent)) return false;
                Reconstruct(r, ci, r.block, acPresent, bx, by, idct);
            }
        }
    }
    return true;
}

// One row of a component's samples for the visible pixels of an MCU row,
// nearest sample or, when smoothing, interpolated within the MCU.
void GatherRow(const Record& r, int ci, int row, int width, bool smooth, uint8_t* out) {
    const Component& c = r.comp[ci];
    const int stride = 8 * c.h;
    const uint8_t* line = r.planes[ci] + r.mapY[ci][row] * stride;
    if (!smooth) {
        for (int x = 0; x < width; ++x) out[x] = line[r.mapX[ci][x]];
        return;
    }
    const uint8_t* below = r.planes[ci] + r.nextY[ci][row] * stride;
    const bool vertical = r.betweenY[ci][row] != 0;
    for (int x = 0; x < width; ++x) {
        const int a = r.mapX[ci][x], b = r.nextX[ci][x];
        const bool horizontal = r.betweenX[ci][x] != 0;
        if (horizontal && vertical) {
            out[x] = uint8_t((line[a] + line[b] + below[a] + below[b] + 2) >> 2);
        } else if (horizontal) {
            out[x] = uint8_t((line[a] + line[b] + 1) >> 1);
        } else if (vertical) {
            out[x] = uint8_t((line[a] + below[a] + 1) >> 1);
        } else {
            out[x] = line[a];
        }
    }
}

void WriteMcuGeneral(Record& r, uint8_t* dst, int width, int height) {
    const WriterSet& w = *r.writers;
    const bool smooth = r.smoothChroma && w.rgb;
    uint8_t y[kMaxMcuSide], u[kMaxMcuSide], v[kMaxMcuSide];
    if (r.nf == 1) {
        // Grey: neutral chroma, so every kind writes Y (or R = G = B = Y).
        std::memset(u, 128, sizeof u);
        std::memset(v, 128, sizeof v);
    }
    for (int row = 0; row < height; ++row) {
        GatherRow(r, 0, row, width, false, y);
        if (r.nf == 3) {
            GatherRow(r, 1, row, width, smooth, u);
            GatherRow(r, 2, row, width, smooth, v);
        }
        w.full(dst + row * r.pitch, y, u, v, width);
    }
}

}  // namespace

void WriteMcu(Record& r, int mcuX, int mcuY) {
    const int mcuWidth = 8 * r.hMax, mcuHeight = 8 * r.vMax;
    const int x0 = mcuX * mcuWidth, y0 = mcuY * mcuHeight;
    const int width = std::min(mcuWidth, r.outWidth - x0), height = std::min(mcuHeight, int(r.height) - y0);
    if (width <= 0 || height <= 0) return;
    const WriterSet& w = *r.writers;
    uint8_t* dst = r.destination + size_t(y0) * r.pitch + size_t(x0) * w.bytesPerPixel;
    const bool smooth = r.smoothChroma && w.rgb;
    // Whole 4:2:2 and 4:2:0 MCUs go through the 16-pixel row writers; they
    // give the same bytes as the general writer.
    if (!smooth && width == 16 && r.layout422 && height == 8) {
        for (int row = 0; row < 8; ++row) {
            w.pairs16(dst + row * r.pitch, r.planes[0] + 16 * row, r.planes[1] + 8 * row, r.planes[2] + 8 * row, 16);
        }
        return;
    }
    if (!smooth && width == 16 && r.layout420 && height == 16) {
        for (int row = 0; row < 16; ++row) {
            const int chroma = 8 * (row >> 1);
            w.pairs16(dst + row * r.pitch, r.planes[0] + 16 * row, r.planes[1] + chroma, r.planes[2] + chroma, 16);
        }
        return;
    }
    WriteMcuGeneral(r, dst, width, height);
}

void IdctInto(Record& r, int ci, const int16_t* coefficients, int blockX, int blockY) {
    int16_t any = 0;
    for (int k = 1; k < 64; ++k) any = int16_t(any | coefficients[k]);
    Reconstruct(r, ci, coefficients, any != 0, blockX, blockY, ChosenIdct());
}

RestartResult ProcessRestart(Record& r) {
    ResetBits(r.bits);  // the rest of the byte is padding
    const int first = ReadByte(r.source);
    int second = ReadByte(r.source);
    while (first == 0xFF && second == 0xFF) second = ReadByte(r.source);  // fill bytes (ITU-T T.81 B.1.1.2)
    if (first != 0xFF || second < 0xD0 || second > 0xD9) {
        Log(Msg::kRestartMarker, first, second);
        return RestartResult::kError;
    }
    if (second == 0xD9) return RestartResult::kEndOfImage;
    // The restart number is not checked for sequence: a lost interval
    // still leaves the next one decodable.
    for (auto& c : r.comp) c.dcPredictor = 0;
    r.mcusSinceRestart = 0;
    return RestartResult::kContinue;
}

int DecodeSequentialScan() {
    Record& r = g_record;
    for (auto& c : r.comp) c.dcPredictor = 0;
    r.mcusSinceRestart = 0;
    ResetBits(r.bits);
    const IdctFn idct = ChosenIdct();
    const bool fast = r.fastPath && ((r.layout422 && r.width % 16 == 0 && r.height % 8 == 0) ||
                                     (r.layout420 && r.width % 16 == 0 && r.height % 16 == 0));
    const JPG_PROGRESS progress = fast ? nullptr : r.progress;
    if (progress != nullptr) progress(0, r.mcuRows);

    int result = JPG_SUCCESS;
    const long long lastMcu = (long long)r.mcusPerRow * r.mcuRows - 1;
    long long index = 0;
    for (int mcuY = 0; mcuY < r.mcuRows; ++mcuY) {
        if (progress != nullptr && !progress(1, int(100LL * mcuY / r.mcuRows))) break;
        for (int mcuX = 0; mcuX < r.mcusPerRow; ++mcuX, ++index) {
            if (!DecodeMcu(r, idct)) {
                result = JPG_ERR_DATA;
                goto done;
            }
            WriteMcu(r, mcuX, mcuY);
            // No restart marker follows the last MCU: the frame's EOI does.
            if (r.restartInterval != 0 && ++r.mcusSinceRestart == r.restartInterval && index != lastMcu) {
                const RestartResult next = ProcessRestart(r);
                if (next == RestartResult::kError) {
                    result = JPG_ERR_DATA;
                    goto done;
                }
                if (next == RestartResult::kEndOfImage) goto done;
            }
        }
    }
done:
    if (progress != nullptr) progress(2, 100);
    ResetBits(r.bits);
    return result;
}

}  // namespace qk::jpeg
