// Sequential Huffman-coded scans (ITU-T T.81 Annex F): block decoding, the
// fast 4:2:2 and 4:2:0 paths and the general path, restart intervals, and
// the MCU writers shared with progressive frames.
#include <algorithm>

#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {
namespace {

// The bit reader's buffer and count held in registers while a block is
// decoded (stores into the block could otherwise alias the record's count);
// the slow paths go through the record's reader.
struct HotBits {
    uint64_t buffer;
    int bits;

    void Refill(BitReader& home, Source& s) {
        if (bits >= 32) return;
        if (!home.ended && s.pushed < 0 && s.end - s.at >= 8) {
            uint64_t w;
            std::memcpy(&w, s.at, 8);
            w = __builtin_bswap64(w);
            const uint64_t inverted = ~w;
            if (((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) == 0) {
                const int n = (63 - bits) >> 3;  // 4 to 7 whole bytes
                buffer |= (w & ~(~0ull >> (8 * n))) >> bits;
                bits += 8 * n;
                s.at += n;
                return;
            }
        }
        home.buffer = buffer;
        home.bits = bits;
        FillBitsSlow(home, s);
        buffer = home.buffer;
        bits = home.bits;
    }
    uint32_t Peek(int n) const { return uint32_t(buffer >> (64 - n)); }
    void Drop(int n) {
        buffer <<= n;
        bits -= n;
    }
    int Take(int n) {
        if (n == 0) return 0;
        const int v = int(Peek(n));
        Drop(n);
        return v;
    }
    int Symbol(const HuffmanTable& t, BitReader& home) {
        const uint32_t entry = t.lookahead[Peek(kLookaheadBits)];
        if (entry != 0) {
            Drop(int(entry >> 8));
            return int(entry & 0xFF);
        }
        home.buffer = buffer;
        home.bits = bits;
        const int symbol = DecodeSymbolSlow(home, t);
        buffer = home.buffer;
        bits = home.bits;
        return symbol;
    }
};

// Decodes one block into r.block as dequantised IDCT inputs (natural order),
// multiplying only the non-zero coefficients, and lists their positions in
// `touched` so that they can be cleared again after the transform. Returns
// the number of positions, or -1 for a bad stream.
inline int DecodeBlock(Record& r, Component& c, const int32_t* multipliers, uint8_t* touched) {
    Source& s = r.source;
    int32_t* block = r.block;
    HotBits b{r.bits.buffer, r.bits.bits};
    int count = 0, result = -1;
    b.Refill(r.bits, s);
    {
        // Most differences fit code and value in the lookahead window.
        const int32_t fastDc = c.dcTable->fast[b.Peek(kLookaheadBits)];
        int difference;
        if (fastDc != 0) {
            b.Drop(fastDc & 0xFF);
            difference = fastDc >> 16;
        } else {
            const int size = b.Symbol(*c.dcTable, r.bits);
            if (size < 0 || size > 15) {
                Log(Msg::kHuffmanDecode);
                goto out;
            }
            difference = Extend(b.Take(size), size);
        }
        const int dc = c.dcPredictor + difference;
        if (dc < -1024 || dc > 1023) {
            Log(Msg::kDcRange, dc);
            goto out;
        }
        c.dcPredictor = int16_t(dc);
        block[0] = Dequantise(dc, multipliers[0]);
        touched[count++] = 0;
    }
    {
        const HuffmanTable& ac = *c.acTable;
        for (int k = 1; k < 64;) {
            b.Refill(r.bits, s);
            // Most coefficients, and the end of the block, fit code and
            // value in the lookahead window.
            const int32_t fast = ac.fast[b.Peek(kLookaheadBits)];
            int natural, value;
            if (fast != 0) {
                k += (fast >> 8) & 0xFF;
                b.Drop(fast & 0xFF);
                value = fast >> 16;
            } else {
                const int rs = b.Symbol(ac, r.bits);
                if (rs < 0) {
                    Log(Msg::kHuffmanDecode);
                    goto out;
                }
                const int run = rs >> 4, bits = rs & 15;
                if (bits == 0) {
                    if (run != 15) break;  // end of block
                    k += 16;
                    continue;
                }
                k += run;
                // A coefficient keeps 16 bits, as the record stores it.
                value = int16_t(Extend(b.Take(bits), bits));
            }
            if (k > 63) {
                if (fast != 0 && ((fast >> 8) & 0xFF) == kEndOfBlockRun) break;
                Log(Msg::kAcPosition);
                goto out;
            }
            natural = kZigzagToNatural[k++];
            block[natural] = Dequantise(value, multipliers[natural]);
            touched[count++] = uint8_t(natural);
        }
    }
    result = count;
out:
    r.bits.buffer = b.buffer;
    r.bits.bits = b.bits;
    return result;
}

inline void Reconstruct(Record& r, int ci, const int32_t* inputs, bool acPresent, int blockX, int blockY,
                        IdctFn idct) {
    const Component& c = r.comp[ci];
    const int stride = 8 * c.h;
    uint8_t* out = r.planes[ci] + blockY * 8 * stride + blockX * 8;
    if (acPresent) {
        idct(inputs, out, stride);
    } else {
        FillBlock(out, stride, DcOnlySample(inputs[0]));
    }
}

bool DecodeMcu(Record& r, IdctFn idct) {
    for (int ci = 0; ci < r.nf; ++ci) {
        Component& c = r.comp[ci];
        const int32_t* multipliers = r.multipliers[c.quantId];
        for (int by = 0; by < c.v; ++by) {
            for (int bx = 0; bx < c.h; ++bx) {
                uint8_t touched[64];
                const int count = DecodeBlock(r, c, multipliers, touched);
                if (count < 0) {
                    std::memset(r.block, 0, sizeof r.block);
                    return false;
                }
                Reconstruct(r, ci, r.block, count > 1, bx, by, idct);
                for (int i = 0; i < count; ++i) r.block[touched[i]] = 0;
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
        w.full(dst + row * r.lineStep, y, u, v, width);
    }
}

}  // namespace

void WriteMcu(Record& r, int mcuX, int mcuY) {
    const int mcuWidth = 8 * r.hMax, mcuHeight = 8 * r.vMax;
    const int x0 = mcuX * mcuWidth, y0 = mcuY * mcuHeight;
    const int width = std::min(mcuWidth, r.outWidth - x0), height = std::min(mcuHeight, int(r.height) - y0);
    if (width <= 0 || height <= 0) return;
    const WriterSet& w = *r.writers;
    uint8_t* dst = r.destination + ptrdiff_t(y0) * r.lineStep + ptrdiff_t(x0) * w.bytesPerPixel;
    const bool smooth = r.smoothChroma && w.rgb;
    // Whole 4:2:2 and 4:2:0 MCUs go through the 16-pixel row writers; they
    // give the same bytes as the general writer.
    if (!smooth && width == 16 && r.layout422 && height == 8) {
        for (int row = 0; row < 8; ++row) {
            w.pairs16(dst + row * r.lineStep, r.planes[0] + 16 * row, r.planes[1] + 8 * row, r.planes[2] + 8 * row, 16);
        }
        return;
    }
    if (!smooth && width == 16 && r.layout420 && height == 16) {
        for (int row = 0; row < 16; ++row) {
            const int chroma = 8 * (row >> 1);
            w.pairs16(dst + row * r.lineStep, r.planes[0] + 16 * row, r.planes[1] + chroma, r.planes[2] + chroma, 16);
        }
        return;
    }
    WriteMcuGeneral(r, dst, width, height);
}

void IdctInto(Record& r, int ci, const int16_t* coefficients, int blockX, int blockY) {
    const int32_t* multipliers = r.multipliers[r.comp[ci].quantId];
    int any = 0;
    for (int k = 0; k < 64; ++k) {
        r.block[k] = Dequantise(coefficients[k], multipliers[k]);
        any |= k > 0 ? coefficients[k] : 0;
    }
    Reconstruct(r, ci, r.block, any != 0, blockX, blockY, ChosenIdct());
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
    std::memset(r.block, 0, sizeof r.block);  // blocks clear only what they set
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
