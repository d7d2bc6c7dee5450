// LZNT1 decoding on streams assembled by hand: stored and compressed chunks,
// the position-dependent token split, overlapping copies, the output limit
// and malformed input, which must give 0 without touching memory outside
// the two buffers.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "recovery/Lznt1.h"

using namespace resurgo;

namespace {

using Bytes = std::vector<std::uint8_t>;

// One element of a compressed chunk: a literal byte, or a copy of `length`
// bytes from `displacement` bytes back.
struct Op {
    bool literal;
    std::uint8_t byte;
    std::size_t displacement;
    std::size_t length;
};
Op lit(std::uint8_t b) { return Op{true, b, 0, 0}; }
Op copy(std::size_t displacement, std::size_t length) { return Op{false, 0, displacement, length}; }
std::vector<Op> lits(const std::string& s) {
    std::vector<Op> ops;
    for (char c : s) ops.push_back(lit(static_cast<std::uint8_t>(c)));
    return ops;
}
std::vector<Op> operator+(std::vector<Op> a, const std::vector<Op>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Offset bits of a token at chunk position pos: 4 up to position 16, then
// one more each time the position passes a power of two.
unsigned offsetBits(std::size_t pos) {
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < pos) ++bits;
    return bits;
}

std::uint16_t token(std::size_t pos, std::size_t displacement, std::size_t length) {
    const unsigned lengthBits = 16 - offsetBits(pos);
    return static_cast<std::uint16_t>(((displacement - 1) << lengthBits) | (length - 3));
}

void putHeader(Bytes& out, std::size_t dataLength, bool compressed) {
    const std::uint16_t h = static_cast<std::uint16_t>((compressed ? 0xB000 : 0x3000) | (dataLength - 1));
    out.push_back(static_cast<std::uint8_t>(h));
    out.push_back(static_cast<std::uint8_t>(h >> 8));
}

// A compressed chunk: flag bytes each followed by up to eight tokens.
Bytes chunk(const std::vector<Op>& ops) {
    Bytes data;
    std::size_t pos = 0;
    for (std::size_t i = 0; i < ops.size(); i += 8) {
        std::size_t flagAt = data.size();
        data.push_back(0);
        for (std::size_t k = i; k < ops.size() && k < i + 8; ++k) {
            const Op& op = ops[k];
            if (op.literal) {
                data.push_back(op.byte);
                ++pos;
            } else {
                data[flagAt] = static_cast<std::uint8_t>(data[flagAt] | (1u << (k - i)));
                std::uint16_t t = token(pos, op.displacement, op.length);
                data.push_back(static_cast<std::uint8_t>(t));
                data.push_back(static_cast<std::uint8_t>(t >> 8));
                pos += op.length;
            }
        }
    }
    Bytes out;
    putHeader(out, data.size(), true);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

Bytes storedChunk(const Bytes& data, std::size_t sizeField) {
    Bytes out;
    putHeader(out, sizeField, false);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// What the ops mean, byte by byte.
Bytes expand(const std::vector<Op>& ops) {
    Bytes out;
    for (const Op& op : ops) {
        if (op.literal) {
            out.push_back(op.byte);
        } else {
            for (std::size_t k = 0; k < op.length; ++k) out.push_back(out[out.size() - op.displacement]);
        }
    }
    return out;
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

constexpr std::size_t kGuard = 64;
constexpr std::uint8_t kGuardByte = 0xCC;

// Decodes into a buffer of outLimit bytes followed by guard bytes, checks
// the guard and returns the count with the produced bytes.
std::uint32_t decode(const Bytes& in, std::size_t outLimit, Bytes* produced = nullptr) {
    Bytes out(outLimit + kGuard, kGuardByte);
    std::uint32_t n = Lznt1::decompress(out.data(), outLimit, in.data(), in.size());
    for (std::size_t i = outLimit; i < out.size(); ++i) {
        EXPECT_EQ(out[i], kGuardByte) << "written past the output limit at " << i;
    }
    if (produced) produced->assign(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
    return n;
}

const std::size_t kUnit = 16 * 4096;

TEST(Lznt1, EmptyStreams) {
    EXPECT_EQ(decode(Bytes{0, 0, 0xFF, 0xFF}, kUnit), 0u);  // a zero header ends the stream
    EXPECT_EQ(decode(Bytes{}, kUnit), 0u);
    Bytes one = chunk(lits("x"));
    EXPECT_EQ(decode(one, 0), 0u);
}

TEST(Lznt1, StoredChunks) {
    Bytes plain(4096);
    for (std::size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<std::uint8_t>(i * 13 + 1);
    Bytes out;
    EXPECT_EQ(decode(join({storedChunk(plain, 4096), Bytes{0, 0}}), kUnit, &out), 4096u);
    EXPECT_EQ(out, plain);

    // Two stored chunks fill 8 KiB; a limit of one chunk stops after it.
    Bytes two = join({storedChunk(plain, 4096), storedChunk(plain, 4096)});
    EXPECT_EQ(decode(two, kUnit, &out), 8192u);
    EXPECT_EQ(Bytes(out.begin() + 4096, out.end()), plain);
    EXPECT_EQ(decode(two, 4096), 4096u);

    // The output of a stored chunk is 4096 bytes whatever its size field says.
    Bytes shortData(10, 0x77);
    EXPECT_EQ(decode(storedChunk(shortData, 10), kUnit, &out), 4096u);
    EXPECT_EQ(Bytes(out.begin(), out.begin() + 10), shortData);
}

TEST(Lznt1, LiteralsAndMalformedFirstToken) {
    Bytes out;
    Bytes eight = chunk(lits("ABCDEFGH"));
    ASSERT_EQ(eight[2], 0x00);  // flag byte: eight literals
    EXPECT_EQ(decode(eight, kUnit, &out), 8u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ABCDEFGH");

    // Flag 0x01: the chunk starts with a back-reference.
    Bytes bad = {0x03, 0xB0, 0x01, 0x00, 0x00, 'a'};
    EXPECT_EQ(decode(bad, kUnit), 0u);
}

TEST(Lznt1, TokenSplitTable) {
    std::size_t d = 0, l = 0;
    Lznt1::splitToken(0x7012, 16, d, l);
    EXPECT_EQ(d, 8u);
    EXPECT_EQ(l, 21u);
    Lznt1::splitToken(0x7012, 17, d, l);
    EXPECT_EQ(d, 15u);
    EXPECT_EQ(l, 21u);
    // Boundaries of the table: (position, length bits).
    const std::pair<std::size_t, unsigned> rows[] = {{1, 12},   {16, 12},  {17, 11},  {32, 11},  {33, 10},
                                                     {64, 10},  {65, 9},   {128, 9},  {129, 8},  {256, 8},
                                                     {257, 7},  {512, 7},  {513, 6},  {1024, 6}, {1025, 5},
                                                     {2048, 5}, {2049, 4}, {4095, 4}, {4096, 4}};
    for (const auto& row : rows) {
        Lznt1::splitToken(0xFFFF, row.first, d, l);
        EXPECT_EQ(l, (std::size_t{1} << row.second) + 2) << row.first;
        EXPECT_EQ(d, (std::size_t{0xFFFF} >> row.second) + 1) << row.first;
    }
}

TEST(Lznt1, BackReferencesAtTheSplitBoundary) {
    Bytes out;
    const std::string sixteen = "0123456789abcdef";
    std::vector<Op> at16 = lits(sixteen) + std::vector<Op>{copy(8, 21)};
    Bytes s16 = chunk(at16);
    // The token as stored is the one from the table's example.
    ASSERT_EQ(s16[s16.size() - 2] | (s16[s16.size() - 1] << 8), 0x7012);
    EXPECT_EQ(decode(s16, kUnit, &out), 37u);
    EXPECT_EQ(out, expand(at16));

    std::vector<Op> at17 = lits(sixteen + "g") + std::vector<Op>{copy(15, 21)};
    Bytes s17 = chunk(at17);
    ASSERT_EQ(s17[s17.size() - 2] | (s17[s17.size() - 1] << 8), 0x7012);
    EXPECT_EQ(decode(s17, kUnit, &out), 38u);
    EXPECT_EQ(out, expand(at17));
}

TEST(Lznt1, OverlappingCopyRepeatsThePattern) {
    Bytes out;
    EXPECT_EQ(decode(chunk({lit('x'), copy(1, 10)}), kUnit, &out), 11u);
    EXPECT_EQ(out, Bytes(11, 'x'));
    EXPECT_EQ(decode(chunk(lits("ab") + std::vector<Op>{copy(2, 7)}), kUnit, &out), 9u);
    EXPECT_EQ(std::string(out.begin(), out.end()), "ababababa");
}

TEST(Lznt1, OutputLimitStopsExactly) {
    std::vector<Op> ops = lits("0123456789abcdef") + std::vector<Op>{copy(8, 21)};
    const Bytes full = expand(ops);
    for (std::size_t limit : {1u, 10u, 16u, 17u, 20u, 36u, 37u}) {
        Bytes out;
        EXPECT_EQ(decode(chunk(ops), limit, &out), limit);
        EXPECT_EQ(out, Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(limit))) << limit;
    }
}

TEST(Lznt1, MalformedInputGivesZero) {
    // Displacement before the start of the output: 'a' then a copy 2 back.
    EXPECT_EQ(decode(chunk({lit('a'), copy(2, 3)}), kUnit), 0u);
    // A chunk whose size runs past the input.
    Bytes truncated = chunk(lits("abcdefghijklmnop"));
    truncated.resize(truncated.size() - 5);
    EXPECT_EQ(decode(truncated, kUnit), 0u);
    // A token cut after its first byte.
    Bytes cutToken = {0x02, 0xB0, 0x02, 'a', 0x01};
    EXPECT_EQ(decode(cutToken, kUnit), 0u);
    // A chunk producing more than 4096 bytes.
    EXPECT_EQ(decode(chunk({lit(0), copy(1, 4095)}), kUnit), 4096u);
    EXPECT_EQ(decode(chunk({lit(0), copy(1, 4095), lit(1)}), kUnit), 0u);
    // Every chunk starts afresh: the second may not refer into the first.
    EXPECT_EQ(decode(join({chunk(lits("abcd")), chunk({copy(4, 4)})}), kUnit), 0u);
    // A stored chunk whose bytes are not all there.
    EXPECT_EQ(decode(storedChunk(Bytes(100, 1), 4096), kUnit), 0u);
}

TEST(Lznt1, HandBuiltStreamsRoundTrip) {
    // Zeros, a short period, text, and several chunks in a row; the next
    // chunk's output follows this one's directly, also after a short chunk.
    std::vector<std::vector<std::vector<Op>>> streams;
    streams.push_back({{lit(0), copy(1, 4095)}});
    streams.push_back({lits("abc") + std::vector<Op>{copy(3, 4093)}});
    streams.push_back({lits("The quick brown fox ") + std::vector<Op>{copy(20, 40)} + lits("jumps over ") +
                           std::vector<Op>{copy(31, 15), copy(71, 60)},
                       lits("second chunk, ") + std::vector<Op>{copy(7, 6)}});

    // A pseudo-random chunk of literals and copies at every kind of
    // position, each copy as long as its position's split allows at most.
    std::vector<Op> mixed;
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u, (seed >> 16) & 0x7FFF; };
    std::size_t pos = 0;
    while (pos < 4000) {
        if (pos == 0 || next() % 3 == 0) {
            mixed.push_back(lit(static_cast<std::uint8_t>(next())));
            ++pos;
            continue;
        }
        const unsigned ob = offsetBits(pos);
        std::size_t maxDisp = std::min<std::size_t>(pos, std::size_t{1} << ob);
        std::size_t maxLen = std::min<std::size_t>((std::size_t{1} << (16 - ob)) + 2, 4096 - pos);
        if (maxLen < 3) break;
        std::size_t len = 3 + next() % (maxLen - 2);
        mixed.push_back(copy(1 + next() % maxDisp, len));
        pos += len;
    }
    streams.push_back({mixed, mixed});

    for (std::size_t s = 0; s < streams.size(); ++s) {
        Bytes in, want;
        for (const auto& ops : streams[s]) {
            Bytes c = chunk(ops), e = expand(ops);
            in.insert(in.end(), c.begin(), c.end());
            want.insert(want.end(), e.begin(), e.end());
        }
        Bytes out;
        EXPECT_EQ(decode(join({in, Bytes{0, 0}}), kUnit, &out), want.size()) << "stream " << s;
        EXPECT_EQ(out, want) << "stream " << s;
        // Without the closing zero header the input's end ends the stream.
        EXPECT_EQ(decode(in, kUnit), want.size()) << "stream " << s;
    }
}

} // namespace
