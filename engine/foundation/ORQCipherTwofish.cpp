// Twofish: 16 rounds, the published q0/q1 permutations, MDS matrix (0x169) and RS
// matrix (0x14D), whitening and one-bit rotations; block and key words are
// little-endian. The key is zero-filled to 32 bytes and its length raised to 16, 24
// or 32. The odd subkeys are the engine's own: K(2i+1) := ROL(A + (B >> 1), 9)
// (published: ROL(A + 2B, 9)); everything else is the published algorithm.
// Schedule: K0..K39, then four 256-word tables (key-dependent S-box of one byte
// position combined with its MDS column), so that g is the XOR of four entries.
#include <cstring>

#include "engine/foundation/ORQCipherAlgorithms.h"
#include "engine/foundation/ORQCipherUtils.h"

namespace orq {

namespace {

constexpr int SubkeyWords = 40;

uint8_t GfMul(uint8_t a, uint8_t b, uint16_t poly) {
    uint16_t x = a;
    uint8_t r = 0;
    for (; b; b >>= 1) {
        if (b & 1) r ^= uint8_t(x);
        x <<= 1;
        if (x & 0x100) x ^= poly;
    }
    return r;
}

// q0 and q1 from their four 4-bit tables each.
struct QTables {
    uint8_t q[2][256];
    QTables() {
        static constexpr uint8_t t[2][4][16] = {
            {{0x8, 0x1, 0x7, 0xD, 0x6, 0xF, 0x3, 0x2, 0x0, 0xB, 0x5, 0x9, 0xE, 0xC, 0xA, 0x4},
             {0xE, 0xC, 0xB, 0x8, 0x1, 0x2, 0x3, 0x5, 0xF, 0x4, 0xA, 0x6, 0x7, 0x0, 0x9, 0xD},
             {0xB, 0xA, 0x5, 0xE, 0x6, 0xD, 0x9, 0x0, 0xC, 0x8, 0xF, 0x3, 0x2, 0x4, 0x7, 0x1},
             {0xD, 0x7, 0xF, 0x4, 0x1, 0x2, 0x6, 0xE, 0x9, 0xB, 0x3, 0x0, 0x8, 0x5, 0xC, 0xA}},
            {{0x2, 0x8, 0xB, 0xD, 0xF, 0x7, 0x6, 0xE, 0x3, 0x1, 0x9, 0x4, 0x0, 0xA, 0xC, 0x5},
             {0x1, 0xE, 0x2, 0xB, 0x4, 0xC, 0x3, 0x7, 0x6, 0xD, 0xA, 0x5, 0xF, 0x9, 0x0, 0x8},
             {0x4, 0xC, 0x7, 0x5, 0x1, 0x6, 0x9, 0xA, 0x0, 0xE, 0xD, 0x8, 0x2, 0xB, 0x3, 0xF},
             {0xB, 0x9, 0x5, 0x1, 0xC, 0x3, 0xD, 0xE, 0x6, 0x4, 0x7, 0xF, 0x2, 0x0, 0x8, 0xA}}};
        auto ror4 = [](uint8_t x) { return uint8_t(((x >> 1) | (x << 3)) & 15); };
        for (int n = 0; n < 2; ++n)
            for (int x = 0; x < 256; ++x) {
                uint8_t a = uint8_t(x >> 4), b = uint8_t(x & 15);
                for (int stage = 0; stage < 2; ++stage) {
                    const uint8_t a1 = a ^ b;
                    const uint8_t b1 = uint8_t(a ^ ror4(b) ^ ((8 * a) & 15));
                    a = t[n][2 * stage][a1];
                    b = t[n][2 * stage + 1][b1];
                }
                q[n][x] = uint8_t((b << 4) | a);
            }
    }
};

const QTables& Q() {
    static const QTables tables;
    return tables;
}

constexpr uint8_t MDS[4][4] = {
    {0x01, 0xEF, 0x5B, 0x5B}, {0x5B, 0xEF, 0xEF, 0x01}, {0xEF, 0x5B, 0x01, 0xEF}, {0xEF, 0x01, 0xEF, 0x5B}};
constexpr uint8_t RS[4][8] = {{0x01, 0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E},
                              {0xA4, 0x56, 0x82, 0xF3, 0x1E, 0xC6, 0x68, 0xE5},
                              {0x02, 0xA1, 0xFC, 0xC1, 0x47, 0xAE, 0x3D, 0x19},
                              {0xA4, 0x55, 0x87, 0x5A, 0x58, 0xDB, 0x9E, 0x03}};

// MDS column Position times Y, as a little-endian word, for every Y: key setup builds
// 1024 table entries twice per page, so the field products are looked up.
struct MdsTables {
    uint32_t column[4][256];
    MdsTables() {
        for (int p = 0; p < 4; ++p)
            for (int y = 0; y < 256; ++y) {
                uint32_t z = 0;
                for (int i = 0; i < 4; ++i) z |= uint32_t(GfMul(MDS[i][p], uint8_t(y), 0x169)) << (8 * i);
                column[p][y] = z;
            }
    }
};

inline uint32_t MdsColumn(int position, uint8_t y) {
    static const MdsTables tables;
    return tables.column[position][y];
}

// The q-permutation chain of byte position Position of h, with key words L[0..k-1].
uint8_t HByte(int position, uint8_t y, const uint32_t* l, int k) {
    const auto& q = Q().q;
    auto kb = [&](int word) { return uint8_t(l[word] >> (8 * position)); };
    static constexpr int first[4] = {1, 0, 0, 1};   // q before the key word L3 (k = 4)
    static constexpr int second[4] = {1, 1, 0, 0};  // before L2 (k >= 3)
    static constexpr int third[4] = {0, 1, 0, 1};   // before L1
    static constexpr int fourth[4] = {0, 0, 1, 1};  // before L0
    static constexpr int last[4] = {1, 0, 1, 0};    // after L0
    if (k == 4) y = q[first[position]][y] ^ kb(3);
    if (k >= 3) y = q[second[position]][y] ^ kb(2);
    y = q[third[position]][y] ^ kb(1);
    y = q[fourth[position]][y] ^ kb(0);
    return q[last[position]][y];
}

uint32_t H(uint32_t x, const uint32_t* l, int k) {
    uint32_t z = 0;
    for (int p = 0; p < 4; ++p) z ^= MdsColumn(p, HByte(p, uint8_t(x >> (8 * p)), l, k));
    return z;
}

}  // namespace

TCipher_Twofish::TCipher_Twofish(TProtection* chained) : TCipher_Twofish(chained, false) {}
TCipher_Twofish::TCipher_Twofish(TProtection* chained, bool publishedOddSubkeys)
    : TCipher(chained, 16, 32, 4256), FPublishedOddSubkeys(publishedOddSubkeys) {}

TCipherClass TCipher_Twofish::Class() {
    static const TCipherClassInfo info{"TCipher_Twofish", 16, 32, 4256,
                                       [](TProtection* c) -> TCipher* { return new TCipher_Twofish(c); }};
    return &info;
}

void TCipher_Twofish::InitSchedule(const uint8_t* key, int32_t keySize) {
    uint8_t bytes[32] = {};
    if (keySize > 0) std::memcpy(bytes, key, std::size_t(keySize));
    const int length = keySize <= 16 ? 16 : keySize <= 24 ? 24 : 32;
    const int k = length / 8;
    uint32_t me[4] = {}, mo[4] = {}, s[4] = {};
    for (int i = 0; i < k; ++i) {
        me[i] = LoadLE32(bytes + 8 * i);
        mo[i] = LoadLE32(bytes + 8 * i + 4);
        // S by the RS code, kept in reverse order: S(k-1) first.
        uint32_t si = 0;
        for (int r = 0; r < 4; ++r) {
            uint8_t v = 0;
            for (int c = 0; c < 8; ++c) v ^= GfMul(RS[r][c], bytes[8 * i + c], 0x14D);
            si |= uint32_t(v) << (8 * r);
        }
        s[k - 1 - i] = si;
    }

    uint32_t* w = Schedule();
    constexpr uint32_t rho = 0x01010101u;
    for (uint32_t i = 0; i < 20; ++i) {
        const uint32_t a = H(2 * i * rho, me, k);
        const uint32_t b = RotateLeft32(H((2 * i + 1) * rho, mo, k), 8);
        w[2 * i] = a + b;
        w[2 * i + 1] = RotateLeft32(FPublishedOddSubkeys ? a + 2 * b : a + (b >> 1), 9);
    }
    uint32_t* tables = w + SubkeyWords;
    for (int p = 0; p < 4; ++p)
        for (int x = 0; x < 256; ++x) tables[256 * p + x] = MdsColumn(p, HByte(p, uint8_t(x), s, k));

    SecureFill(bytes, 0, sizeof(bytes));
    SecureFill(me, 0, sizeof(me));
    SecureFill(mo, 0, sizeof(mo));
    SecureFill(s, 0, sizeof(s));
}

uint32_t TCipher_Twofish::G(uint32_t x) const {
    const uint32_t* t = Schedule() + SubkeyWords;
    return t[x & 0xFF] ^ t[256 + ((x >> 8) & 0xFF)] ^ t[512 + ((x >> 16) & 0xFF)] ^ t[768 + (x >> 24)];
}

void TCipher_Twofish::EncipherBlock(uint8_t* block) {
    const uint32_t* k = Schedule();
    uint32_t r0 = LoadLE32(block) ^ k[0], r1 = LoadLE32(block + 4) ^ k[1];
    uint32_t r2 = LoadLE32(block + 8) ^ k[2], r3 = LoadLE32(block + 12) ^ k[3];
    for (int round = 0; round < 16; ++round) {
        const uint32_t t0 = G(r0), t1 = G(RotateLeft32(r1, 8));
        r2 = RotateRight32(r2 ^ (t0 + t1 + k[2 * round + 8]), 1);
        r3 = RotateLeft32(r3, 1) ^ (t0 + 2 * t1 + k[2 * round + 9]);
        std::swap(r0, r2);
        std::swap(r1, r3);
    }
    // The last exchange is undone by the output order.
    StoreLE32(block, r2 ^ k[4]);
    StoreLE32(block + 4, r3 ^ k[5]);
    StoreLE32(block + 8, r0 ^ k[6]);
    StoreLE32(block + 12, r1 ^ k[7]);
}

void TCipher_Twofish::DecipherBlock(uint8_t* block) {
    const uint32_t* k = Schedule();
    uint32_t r0 = LoadLE32(block) ^ k[4], r1 = LoadLE32(block + 4) ^ k[5];
    uint32_t r2 = LoadLE32(block + 8) ^ k[6], r3 = LoadLE32(block + 12) ^ k[7];
    for (int round = 15; round >= 0; --round) {
        const uint32_t t0 = G(r0), t1 = G(RotateLeft32(r1, 8));
        r2 = RotateLeft32(r2, 1) ^ (t0 + t1 + k[2 * round + 8]);
        r3 = RotateRight32(r3 ^ (t0 + 2 * t1 + k[2 * round + 9]), 1);
        if (round > 0) {
            std::swap(r0, r2);
            std::swap(r1, r3);
        }
    }
    StoreLE32(block, r0 ^ k[0]);
    StoreLE32(block + 4, r1 ^ k[1]);
    StoreLE32(block + 8, r2 ^ k[2]);
    StoreLE32(block + 12, r3 ^ k[3]);
}

}  // namespace orq
