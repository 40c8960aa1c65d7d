// Input chunks and the entropy-coded byte stream.
#include <algorithm>

#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {

void StartSource(Source& s, JPG_GET_DATA getData) { s = Source{nullptr, nullptr, getData, 0, -1, false}; }

bool Refill(Source& s) {
    if (s.finalDelivered || s.getData == nullptr) {
        s.finalDelivered = true;
        return false;
    }
    const uint8_t* chunk = nullptr;
    uint32_t length = 0;
    s.finalDelivered = s.getData(&chunk, &length) != 0;
    // An empty chunk ends the input: waiting for more could spin forever.
    if (chunk == nullptr || length == 0) {
        s.finalDelivered = true;
        return false;
    }
    s.at = chunk;
    s.end = chunk + length;
    s.delivered += length;
    return true;
}

int ReadWord(Source& s) {
    const int hi = ReadByte(s);
    const int lo = ReadByte(s);
    return hi < 0 || lo < 0 ? -1 : (hi << 8) | lo;
}

bool SkipBytes(Source& s, size_t n) {
    if (n > 0 && s.pushed >= 0) {
        s.pushed = -1;
        --n;
    }
    while (n > 0) {
        if (s.at == s.end && !Refill(s)) return false;
        const size_t here = std::min(n, size_t(s.end - s.at));
        s.at += here;
        n -= here;
    }
    return true;
}

void FillBitsSlow(BitReader& br, Source& s) {
    while (br.bits <= 56) {
        if (br.ended) {
            // Zero filler: the bits below the valid ones are already zero.
            br.bits = 64;
            return;
        }
        int b = ReadByte(s);
        if (b < 0) {
            br.ended = true;
            continue;
        }
        if (b == 0xFF) {
            const int next = PeekByte(s);
            if (next == 0x00) {
                ReadByte(s);  // a stuffed 0xFF
            } else {
                // A marker (or 0xFF fill before one, or the end): it stays unread.
                UnreadByte(s, 0xFF);
                br.ended = true;
                continue;
            }
        }
        br.buffer |= uint64_t(b) << (56 - br.bits);
        br.bits += 8;
    }
}

}  // namespace qk::jpeg
