// The decoder's fast kernels against their references: IDCT (including the
// DC-only shortcut and wrapping inputs), the Huffman lookahead against the
// bit-by-bit procedure, and the 16-pixel row writers; plus the constant
// tables against their definitions.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "imaging/jpeg/jpeg_private.h"

namespace qk::jpeg {
namespace {

TEST(JpegTables, PrescaleAndZigzagFollowTheirDefinitions) {
    const auto a = [](int k) { return k == 0 ? 1.0 : std::sqrt(2.0) * std::cos(k * M_PI / 16); };
    for (int u = 0; u < 8; ++u) {
        for (int v = 0; v < 8; ++v) EXPECT_EQ(kPrescale[u * 8 + v], std::lround(64 / (a(u) * a(v)))) << u << v;
    }
    EXPECT_EQ(kPrescale[63], 841);
    // Zigzag: a permutation walking the anti-diagonals alternately.
    std::set<int> seen(std::begin(kZigzagToNatural), std::end(kZigzagToNatural));
    EXPECT_EQ(seen.size(), 64u);
    for (int k = 1; k < 64; ++k) {
        const int r0 = kZigzagToNatural[k - 1] / 8, c0 = kZigzagToNatural[k - 1] % 8;
        const int r1 = kZigzagToNatural[k] / 8, c1 = kZigzagToNatural[k] % 8;
        EXPECT_LE(std::abs(r1 - r0), 1);
        EXPECT_LE(std::abs(c1 - c0), 1) << k;
    }
}

TEST(JpegIdct, FastKernelEqualsReference) {
    const IdctFn fast = Avx2Idct();
    if (fast == nullptr) GTEST_SKIP() << "no AVX2";
    std::mt19937 rng(11);
    for (int trial = 0; trial < 4000; ++trial) {
        alignas(32) int16_t coefficients[64] = {};
        int32_t multipliers[64];
        const int spread = trial % 4;
        for (int i = 0; i < 64; ++i) {
            const int q = spread == 3 ? int(rng() % 65536) : 1 + int(rng() % 255);
            multipliers[i] = q * kPrescale[i];
            if (rng() % 3 == 0 || spread >= 2) {
                coefficients[i] = spread == 0 ? int16_t(int(rng() % 41) - 20) : int16_t(rng());
            }
        }
        alignas(32) int32_t inputs[64];
        for (int i = 0; i < 64; ++i) inputs[i] = Dequantise(coefficients[i], multipliers[i]);
        uint8_t a[8 * 12], b[8 * 12];
        std::memset(a, 0x5A, sizeof a);
        std::memset(b, 0x5A, sizeof b);
        IdctReference(inputs, a, 12);
        fast(inputs, b, 12);
        ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << trial;
        for (int row = 0; row < 8; ++row) ASSERT_EQ(b[row * 12 + 9], 0x5A);
    }
}

TEST(JpegIdct, DcOnlyShortcutEqualsTheTransform) {
    for (int dc = -1024; dc <= 1023; dc += 3) {
        for (int q : {1, 2, 16, 99, 255}) {
            int32_t inputs[64] = {Dequantise(dc, q * kPrescale[0])};
            uint8_t out[64];
            IdctReference(inputs, out, 8);
            for (uint8_t sample : out) ASSERT_EQ(sample, DcOnlySample(inputs[0])) << dc << " " << q;
        }
    }
}

// Random complete and incomplete code sets.
HuffmanTable RandomTable(std::mt19937& rng, bool ac) {
    uint8_t counts[17] = {};
    int total = 0, capacity = 1;
    for (int length = 1; length <= 16; ++length) {
        capacity *= 2;
        const int n = std::min<int>(int(rng() % 6), std::min(capacity - 1, 256 - total));
        counts[length] = uint8_t(n);
        total += n;
        capacity -= n;
    }
    uint8_t values[256];
    for (int i = 0; i < total; ++i) values[i] = uint8_t(rng());
    HuffmanTable t;
    EXPECT_TRUE(BuildHuffmanTable(t, counts, values, total, ac));
    return t;
}

TEST(JpegHuffman, LookaheadDecodesAsTheBitByBitProcedure) {
    std::mt19937 rng(5);
    for (int trial = 0; trial < 600; ++trial) {
        const bool ac = trial % 2 == 0;
        const HuffmanTable t = RandomTable(rng, ac);
        for (int word = 0; word < 200; ++word) {
            BitReader a{uint64_t(rng()) << 32 | rng(), 64, true};
            BitReader b = a;
            const int fastSymbol = DecodeSymbol(a, t);
            const int referenceSymbol = DecodeSymbolReference(b, t);
            ASSERT_EQ(fastSymbol, referenceSymbol);
            ASSERT_EQ(a.bits, b.bits);
            // The combined table gives the run (AC) and the extended value
            // of the bits that follow the code, or the end of the block.
            BitReader c{uint64_t(rng()) << 32 | rng(), 64, true};
            const int32_t entry = t.fast[PeekBits(c, kLookaheadBits)];
            BitReader d = c;
            const int symbol = DecodeSymbolReference(d, t);
            const int size = ac ? symbol & 15 : symbol;
            if (entry == 0) {
                // Only what does not fit the window is left to the slow path.
                ASSERT_TRUE(symbol < 0 || (ac && size == 0 && symbol != 0x00) || size > 15 ||
                            c.bits - d.bits + size > kLookaheadBits)
                    << symbol;
                continue;
            }
            ASSERT_GE(symbol, 0);
            if (ac && symbol == 0x00) {
                ASSERT_EQ(entry, kEndOfBlockRun << 8 | (c.bits - d.bits));
                continue;
            }
            ASSERT_EQ(Extend(TakeBits(d, size), size), entry >> 16);
            ASSERT_EQ((entry >> 8) & 0xFF, ac ? symbol >> 4 : 0);
            ASSERT_EQ(entry & 0xFF, c.bits - d.bits);
        }
    }
}

TEST(JpegHuffman, RefusesCodeSetsThatOverflowTheirLengths) {
    uint8_t counts[17] = {0, 2, 1};  // two 1-bit codes leave no room for a 2-bit one
    uint8_t values[3] = {1, 2, 3};
    HuffmanTable t;
    EXPECT_FALSE(BuildHuffmanTable(t, counts, values, 3, false));
    uint8_t full[17] = {0, 1, 1, 1};  // 0, 10, 110: incomplete but valid
    EXPECT_TRUE(BuildHuffmanTable(t, full, values, 3, false));
    BitReader br{0xFFFFull << 48, 64, true};  // 1111...: no code matches
    EXPECT_EQ(DecodeSymbol(br, t), -1);
    // A refused set leaves the table it was to replace.
    EXPECT_FALSE(BuildHuffmanTable(t, counts, values, 3, false));
    BitReader code{0x8000ull << 48, 64, true};  // 10...: the second symbol
    EXPECT_EQ(DecodeSymbol(code, t), 2);
}

TEST(JpegWriters, FastRowWritersEqualReference) {
    std::mt19937 rng(3);
    for (int kind = 0; kind < 5; ++kind) {
        const WriterSet* fast = Avx2Writers(kind);
        if (fast == nullptr) GTEST_SKIP() << "no AVX2";
        const WriterSet& ref = ReferenceWriters(kind);
        for (int trial = 0; trial < 2000; ++trial) {
            uint8_t y[16], u[8], v[8];
            for (auto& b : y) b = uint8_t(rng());
            for (int i = 0; i < 8; ++i) {
                u[i] = uint8_t(trial < 256 ? trial : rng());
                v[i] = uint8_t(trial < 256 ? 255 - trial : rng());
            }
            uint8_t a[80], b[80];
            std::memset(a, 0x33, sizeof a);
            std::memset(b, 0x33, sizeof b);
            ref.pairs16(a, y, u, v, 16);
            fast->pairs16(b, y, u, v, 16);
            ASSERT_EQ(0, std::memcmp(a, b, sizeof a)) << kind;
            ASSERT_EQ(b[16 * ref.bytesPerPixel], 0x33);
        }
    }
}

}  // namespace
}  // namespace qk::jpeg
