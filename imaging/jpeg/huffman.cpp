// Huffman tables of DHT segments: canonical codes (ITU-T T.81 Annex C), the
// per-length decode limits (Figure F.16) and the lookahead tables built from
// them.
#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {
namespace {

// The T.81 procedure on a code of `length` bits: the symbol's index, or -1.
int IndexOf(const HuffmanTable& t, uint32_t code, int length) {
    if (t.maxCode[length] < 0 || int32_t(code) > t.maxCode[length]) return -1;
    const int32_t index = int32_t(code) - t.valueOffset[length];
    return index >= 0 && index < t.symbolCount ? int(index) : -1;
}

}  // namespace

bool BuildHuffmanTable(HuffmanTable& t, const uint8_t counts[17], const uint8_t* values, int symbolCount, bool ac) {
    int32_t valueOffset[18] = {}, maxCode[18];
    int32_t code = 0, index = 0;
    for (int length = 1; length <= 16; ++length) {
        const int n = counts[length];
        maxCode[length] = -1;
        if (n > 0) {
            // Codes of one length are consecutive; a set that runs past
            // 2^length cannot be decoded and is refused.
            if (code + n > (int32_t(1) << length)) return false;
            valueOffset[length] = code - index;
            code += n;
            index += n;
            maxCode[length] = code - 1;
        }
        code <<= 1;
    }
    maxCode[0] = maxCode[17] = -1;
    // Built in place (the record's table): a copy would take a kernel
    // stack's worth of bytes.
    std::memset(&t, 0, sizeof t);
    std::memcpy(t.counts, counts, 17);
    std::memcpy(t.values, values, size_t(symbolCount));
    t.symbolCount = symbolCount;
    std::memcpy(t.valueOffset, valueOffset, sizeof valueOffset);
    std::memcpy(t.maxCode, maxCode, sizeof maxCode);

    for (uint32_t pattern = 0; pattern < (1u << kLookaheadBits); ++pattern) {
        for (int length = 1; length <= kLookaheadBits; ++length) {
            const int i = IndexOf(t, pattern >> (kLookaheadBits - length), length);
            if (i < 0) continue;
            const int symbol = t.values[i];
            t.lookahead[pattern] = uint16_t((length << 8) | symbol);
            // A DC symbol is the size of the difference that follows; sizes
            // above 15 are errors the slow path reports.
            const int size = ac ? symbol & 15 : symbol, run = ac ? symbol >> 4 : 0;
            if (ac && symbol == 0x00) {
                t.fast[pattern] = int32_t(uint32_t(kEndOfBlockRun) << 8 | uint32_t(length));
            } else if ((ac ? size != 0 : size <= 15) && length + size <= kLookaheadBits) {
                const int bits = int(pattern >> (kLookaheadBits - length - size)) & ((1 << size) - 1);
                const int value = Extend(bits, size);
                t.fast[pattern] = int32_t(uint32_t(value) << 16 | uint32_t(run) << 8 | uint32_t(length + size));
            }
            break;
        }
    }
    t.defined = true;
    return true;
}

int DecodeSymbolSlow(BitReader& br, const HuffmanTable& t) {
    for (int length = kLookaheadBits + 1; length <= 16; ++length) {
        const int i = IndexOf(t, PeekBits(br, length), length);
        if (i >= 0) {
            DropBits(br, length);
            return t.values[i];
        }
    }
    return -1;
}

int DecodeSymbolReference(BitReader& br, const HuffmanTable& t) {
    for (int length = 1; length <= 16; ++length) {
        const int i = IndexOf(t, PeekBits(br, length), length);
        if (i >= 0) {
            DropBits(br, length);
            return t.values[i];
        }
    }
    return -1;
}

}  // namespace qk::jpeg
