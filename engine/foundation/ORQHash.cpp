// MD4, RIPEMD-128 and RIPEMD-256 and the shared hash framework; see ORQHash.h.
#include "engine/foundation/ORQHash.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "engine/foundation/ORQCipherUtils.h"

namespace orq {

static_assert(std::endian::native == std::endian::little,
              "the digest is the chaining words in memory order");

namespace {

inline uint32_t Rol(uint32_t x, int s) { return (x << s) | (x >> (32 - s)); }

inline void LoadBlock(const uint8_t* block, uint32_t x[16]) {
    for (int i = 0; i < 16; ++i) x[i] = LoadLE32(block + 4 * i);
}

// RIPEMD-128 and RIPEMD-256: word selection and rotation amounts of the left and
// right lines, four rounds of sixteen steps.
constexpr uint8_t RL[64] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
    7, 4, 13, 1, 10, 6, 15, 3, 12, 0, 9, 5, 2, 14, 11, 8,
    3, 10, 14, 4, 9, 15, 8, 1, 2, 7, 0, 6, 13, 11, 5, 12,
    1, 9, 11, 10, 0, 8, 12, 4, 13, 3, 7, 15, 14, 5, 6, 2};
constexpr uint8_t RR[64] = {
    5, 14, 7, 0, 9, 2, 11, 4, 13, 6, 15, 8, 1, 10, 3, 12,
    6, 11, 3, 7, 0, 13, 5, 10, 14, 15, 8, 12, 4, 9, 1, 2,
    15, 5, 1, 3, 7, 14, 6, 9, 11, 8, 12, 2, 10, 0, 4, 13,
    8, 6, 4, 1, 3, 11, 15, 0, 5, 12, 2, 13, 9, 7, 10, 14};
constexpr uint8_t SL[64] = {
    11, 14, 15, 12, 5, 8, 7, 9, 11, 13, 14, 15, 6, 7, 9, 8,
    7, 6, 8, 13, 11, 9, 7, 15, 7, 12, 15, 9, 11, 7, 13, 12,
    11, 13, 6, 7, 14, 9, 13, 15, 14, 8, 13, 6, 5, 12, 7, 5,
    11, 12, 14, 15, 14, 15, 9, 8, 9, 14, 5, 6, 8, 6, 5, 12};
constexpr uint8_t SR[64] = {
    8, 9, 9, 11, 13, 15, 15, 5, 7, 7, 8, 11, 14, 14, 12, 6,
    9, 13, 15, 7, 12, 8, 9, 11, 7, 7, 12, 7, 6, 15, 13, 11,
    9, 7, 15, 11, 8, 6, 6, 14, 12, 13, 5, 14, 13, 13, 7, 5,
    15, 5, 8, 11, 14, 14, 6, 14, 6, 9, 12, 9, 12, 5, 15, 8};
constexpr uint32_t KL[4] = {0x00000000u, 0x5A827999u, 0x6ED9EBA1u, 0x8F1BBCDCu};
constexpr uint32_t KR[4] = {0x50A28BE6u, 0x5C4DD124u, 0x6D703EF3u, 0x00000000u};

// The four step functions; the left line uses them in order 0..3, the right line
// in reverse.
inline uint32_t RipeF(int round, uint32_t x, uint32_t y, uint32_t z) {
    switch (round) {
        case 0: return x ^ y ^ z;
        case 1: return (x & y) | (~x & z);
        case 2: return (x | ~y) ^ z;
        default: return (x & z) | (y & ~z);
    }
}

struct Line {
    uint32_t a, b, c, d;
    void Step(uint32_t f, uint32_t x, uint32_t k, int s) {
        const uint32_t t = Rol(a + f + x + k, s);
        a = d;
        d = c;
        c = b;
        b = t;
    }
};

// Runs the sixteen steps of one round on both lines.
inline void RipeRound(int round, Line& l, Line& r, const uint32_t x[16]) {
    for (int j = round * 16; j < round * 16 + 16; ++j) {
        l.Step(RipeF(round, l.b, l.c, l.d), x[RL[j]], KL[round], SL[j]);
        r.Step(RipeF(3 - round, r.b, r.c, r.d), x[RR[j]], KR[round], SR[j]);
    }
}

}  // namespace

// The framework.

THash_MD4::~THash_MD4() { SecureFill(FState, 0, sizeof(FState)); }

void THash_MD4::Start() {
    std::memset(FBuffer, 0, sizeof(FBuffer));
    std::memset(FState, 0, sizeof(FState));
    FState[0] = 0x67452301u;
    FState[1] = 0xEFCDAB89u;
    FState[2] = 0x98BADCFEu;
    FState[3] = 0x10325476u;
    FCount = 0;
}

void THash_MD4::Update(const void* data, int32_t count) {
    if (count <= 0 || data == nullptr) return;
    const auto* p = static_cast<const uint8_t*>(data);
    uint32_t n = uint32_t(count);
    const uint32_t i = FCount & 63u;
    FCount += n;
    if (i > 0) {
        if (n < 64 - i) {
            std::memcpy(FBuffer + i, p, n);
            return;
        }
        std::memcpy(FBuffer + i, p, 64 - i);
        CompressBlock(FBuffer);
        p += 64 - i;
        n -= 64 - i;
    }
    while (n >= 64) {
        CompressBlock(p);
        p += 64;
        n -= 64;
    }
    std::memcpy(FBuffer, p, n);
}

void THash_MD4::Finish() {
    uint32_t i = FCount & 63u;
    FBuffer[i++] = 0x80;
    if (i > 56) {
        std::memset(FBuffer + i, 0, 64 - i);
        CompressBlock(FBuffer);
        i = 0;
    }
    std::memset(FBuffer + i, 0, 64 - i);
    StoreLE32(FBuffer + 56, FCount * 8u);  // the high word stays zero
    CompressBlock(FBuffer);
    std::memset(FBuffer, 0, sizeof(FBuffer));
}

void THash_MD4::CompressBlock(const uint8_t* block) {
    uint32_t x[16];
    LoadBlock(block, x);
    uint32_t a = FState[0], b = FState[1], c = FState[2], d = FState[3];
    auto step = [&](uint32_t f, uint32_t w, int s) {
        const uint32_t t = Rol(a + f + w, s);
        a = d;
        d = c;
        c = b;
        b = t;
    };
    static constexpr int s1[4] = {3, 7, 11, 19}, s2[4] = {3, 5, 9, 13}, s3[4] = {3, 9, 11, 15};
    static constexpr uint8_t k2[16] = {0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15};
    static constexpr uint8_t k3[16] = {0, 8, 4, 12, 2, 10, 6, 14, 1, 9, 5, 13, 3, 11, 7, 15};
    for (int j = 0; j < 16; ++j) step((b & c) | (~b & d), x[j], s1[j & 3]);
    for (int j = 0; j < 16; ++j) step((b & c) | (b & d) | (c & d), x[k2[j]] + 0x5A827999u, s2[j & 3]);
    for (int j = 0; j < 16; ++j) step(b ^ c ^ d, x[k3[j]] + 0x6ED9EBA1u, s3[j & 3]);
    FState[0] += a;
    FState[1] += b;
    FState[2] += c;
    FState[3] += d;
}

void THash_RipeMD128::CompressBlock(const uint8_t* block) {
    uint32_t x[16];
    LoadBlock(block, x);
    Line l{FState[0], FState[1], FState[2], FState[3]};
    Line r = l;
    for (int round = 0; round < 4; ++round) RipeRound(round, l, r, x);
    const uint32_t t = FState[1] + l.c + r.d;
    FState[1] = FState[2] + l.d + r.a;
    FState[2] = FState[3] + l.a + r.b;
    FState[3] = FState[0] + l.b + r.c;
    FState[0] = t;
}

void THash_RipeMD256::Start() {
    THash_MD4::Start();
    FState[4] = 0x76543210u;
    FState[5] = 0xFEDCBA98u;
    FState[6] = 0x89ABCDEFu;
    FState[7] = 0x01234567u;
}

void THash_RipeMD256::CompressBlock(const uint8_t* block) {
    uint32_t x[16];
    LoadBlock(block, x);
    Line l{FState[0], FState[1], FState[2], FState[3]};
    Line r{FState[4], FState[5], FState[6], FState[7]};
    // After each round one register changes lines: A, then B, C and D.
    RipeRound(0, l, r, x);
    std::swap(l.a, r.a);
    RipeRound(1, l, r, x);
    std::swap(l.b, r.b);
    RipeRound(2, l, r, x);
    std::swap(l.c, r.c);
    RipeRound(3, l, r, x);
    std::swap(l.d, r.d);
    FState[0] += l.a;
    FState[1] += l.b;
    FState[2] += l.c;
    FState[3] += l.d;
    FState[4] += r.a;
    FState[5] += r.b;
    FState[6] += r.c;
    FState[7] += r.d;
}

// Class references.

THashClass THash_MD4::Class() {
    static const THashClassInfo info{"THash_MD4", 16, []() -> THash* { return new THash_MD4; }};
    return &info;
}
THashClass THash_RipeMD128::Class() {
    static const THashClassInfo info{"THash_RipeMD128", 16, []() -> THash* { return new THash_RipeMD128; }};
    return &info;
}
THashClass THash_RipeMD256::Class() {
    static const THashClassInfo info{"THash_RipeMD256", 32, []() -> THash* { return new THash_RipeMD256; }};
    return &info;
}

// Coding runs.

void THash::BeginCoding(ProtectionAction action) {
    Start();
    if (action == actWipe) SeededScramble(TimeSeed(), Digest(), DigestSize());
    TProtection::BeginCoding(action);
}

void THash::EndCoding(ProtectionAction action) {
    TProtection::EndCoding(action);
    if (action == actCalculate)
        Finish();
    else
        Start();
}

void THash::CodeChunk(void* buffer, int32_t size, ProtectionAction action) {
    if (action != actDecode) TProtection::CodeChunk(buffer, size, action);
    const int32_t n = DigestSize();
    if (ActionEnabled(action) && buffer != nullptr && size > 0 && n > 0) {
        auto* p = static_cast<uint8_t*>(buffer);
        switch (action) {
            case actCalculate:
                Update(buffer, size);
                break;
            case actScramble:
            case actWipe:
                // Each piece is replaced by the digest that continues over it.
                for (int32_t at = 0; at < size; at += n) {
                    const int32_t k = std::min(n, size - at);
                    Update(p + at, k);
                    Finish();
                    std::memcpy(p + at, Digest(), std::size_t(k));
                }
                break;
            case actEncode:
            case actDecode:
                // A mask of digests chained from the current one.
                for (int32_t at = 0; at < size; at += n) {
                    const int32_t k = std::min(n, size - at);
                    Update(Digest(), n);
                    Finish();
                    const uint8_t* d = Digest();
                    for (int32_t i = 0; i < k; ++i) p[at + i] ^= d[i];
                }
                break;
            default:
                break;
        }
    }
    if (action == actDecode) TProtection::CodeChunk(buffer, size, action);
}

}  // namespace orq
