// Square: 8 rounds over a 4x4 byte state whose row i is block bytes 4i..4i+3
// (little-endian word i). A round is theta(pi(gamma(x))) xor key, the last one
// without theta. gamma is the S-box (inverse in GF(2^8) mod 0x1F5, then an affine
// map), pi the transposition, theta multiplies each row by c(x) = 2 + x + x^2 + 3x^3
// mod x^4 + 1. The schedule keeps the 9 encryption round keys, 0 to 7 already
// diffused, then the 9 decryption keys (undiffused 8 down to 1, diffused 0).
#include <cstring>

#include "engine/foundation/ORQCipherAlgorithms.h"
#include "engine/foundation/ORQCipherUtils.h"

namespace orq {

namespace {

constexpr int DecryptKeys = 36;  // word offset of the decryption round keys

uint8_t GfMul(uint8_t a, uint8_t b) {
    uint16_t x = a;
    uint8_t r = 0;
    for (; b; b >>= 1) {
        if (b & 1) r ^= uint8_t(x);
        x <<= 1;
        if (x & 0x100) x ^= 0x1F5;
    }
    return r;
}

// S-box, its inverse, and round tables: Te[j][x] is the row word that byte x at
// column j of a row contributes after gamma and theta (Td: inverse gamma and theta).
struct Tables {
    uint8_t S[256], Si[256];
    uint32_t Te[4][256], Td[4][256];
    Tables() {
        // The affine map of the S-box, as the images of the eight bits.
        static constexpr uint8_t columns[8] = {0x7F, 0xDA, 0xBC, 0x78, 0xF0, 0x60, 0xC0, 0x80};
        for (int x = 0; x < 256; ++x) {
            uint8_t inv = 0;
            for (int y = 1; y < 256 && x != 0; ++y)
                if (GfMul(uint8_t(x), uint8_t(y)) == 1) inv = uint8_t(y);
            uint8_t s = 0xB1;
            for (int bit = 0; bit < 8; ++bit)
                if (inv & (1 << bit)) s ^= columns[bit];
            S[x] = s;
            Si[s] = uint8_t(x);
        }
        static constexpr uint8_t c[4] = {2, 1, 1, 3};     // theta
        static constexpr uint8_t d[4] = {14, 9, 13, 11};  // its inverse
        for (int j = 0; j < 4; ++j)
            for (int x = 0; x < 256; ++x) {
                uint32_t e = 0, f = 0;
                for (int out = 0; out < 4; ++out) {
                    e |= uint32_t(GfMul(c[(out - j + 4) & 3], S[x])) << (8 * out);
                    f |= uint32_t(GfMul(d[(out - j + 4) & 3], Si[x])) << (8 * out);
                }
                Te[j][x] = e;
                Td[j][x] = f;
            }
    }
};

const Tables& T() {
    static const Tables tables;
    return tables;
}

// theta on one row word: b_j = sum over k of c_(j-k) a_k.
uint32_t Theta(uint32_t row) {
    static constexpr uint8_t c[4] = {2, 1, 1, 3};
    uint32_t out = 0;
    for (int j = 0; j < 4; ++j) {
        uint8_t b = 0;
        for (int k = 0; k < 4; ++k) b ^= GfMul(c[(j - k + 4) & 3], uint8_t(row >> (8 * k)));
        out |= uint32_t(b) << (8 * j);
    }
    return out;
}

inline uint8_t Byte(uint32_t w, int j) { return uint8_t(w >> (8 * j)); }

}  // namespace

TCipher_Square::TCipher_Square(TProtection* chained) : TCipher(chained, 16, 16, 288) {}

TCipherClass TCipher_Square::Class() {
    static const TCipherClassInfo info{"TCipher_Square", 16, 16, 288,
                                       [](TProtection* c) -> TCipher* { return new TCipher_Square(c); }};
    return &info;
}

void TCipher_Square::InitSchedule(const uint8_t* key, int32_t keySize) {
    uint8_t bytes[16] = {};
    if (keySize > 0) std::memcpy(bytes, key, std::size_t(keySize));
    uint32_t* e = Schedule();
    uint32_t* d = e + DecryptKeys;
    uint32_t plain[9][4];
    for (int i = 0; i < 4; ++i) plain[0][i] = LoadLE32(bytes + 4 * i);
    for (int t = 1; t <= 8; ++t) {
        plain[t][0] = plain[t - 1][0] ^ RotateRight32(plain[t - 1][3], 8) ^ (1u << (t - 1));
        for (int i = 1; i < 4; ++i) plain[t][i] = plain[t - 1][i] ^ plain[t][i - 1];
    }
    for (int t = 0; t <= 8; ++t)
        for (int i = 0; i < 4; ++i) {
            e[4 * t + i] = t < 8 ? Theta(plain[t][i]) : plain[t][i];
            d[4 * (8 - t) + i] = t > 0 ? plain[t][i] : Theta(plain[0][i]);
        }
    SecureFill(bytes, 0, sizeof(bytes));
    SecureFill(plain, 0, sizeof(plain));
}

void TCipher_Square::EncipherBlock(uint8_t* block) {
    const Tables& t = T();
    const uint32_t* k = Schedule();
    uint32_t a[4], b[4];
    for (int i = 0; i < 4; ++i) a[i] = LoadLE32(block + 4 * i) ^ k[i];
    // Row i of pi(gamma(a)) holds byte i of every row of a.
    for (int r = 1; r < 8; ++r) {
        k += 4;
        for (int i = 0; i < 4; ++i)
            b[i] = t.Te[0][Byte(a[0], i)] ^ t.Te[1][Byte(a[1], i)] ^ t.Te[2][Byte(a[2], i)] ^
                   t.Te[3][Byte(a[3], i)] ^ k[i];
        std::memcpy(a, b, sizeof(a));
    }
    k += 4;
    for (int i = 0; i < 4; ++i) {
        const uint32_t w = uint32_t(t.S[Byte(a[0], i)]) | (uint32_t(t.S[Byte(a[1], i)]) << 8) |
                           (uint32_t(t.S[Byte(a[2], i)]) << 16) | (uint32_t(t.S[Byte(a[3], i)]) << 24);
        StoreLE32(block + 4 * i, w ^ k[i]);
    }
}

void TCipher_Square::DecipherBlock(uint8_t* block) {
    const Tables& t = T();
    const uint32_t* k = Schedule() + DecryptKeys;
    uint32_t a[4], b[4];
    for (int i = 0; i < 4; ++i) a[i] = LoadLE32(block + 4 * i) ^ k[i];
    for (int r = 1; r < 8; ++r) {
        k += 4;
        for (int i = 0; i < 4; ++i)
            b[i] = t.Td[0][Byte(a[0], i)] ^ t.Td[1][Byte(a[1], i)] ^ t.Td[2][Byte(a[2], i)] ^
                   t.Td[3][Byte(a[3], i)] ^ k[i];
        std::memcpy(a, b, sizeof(a));
    }
    k += 4;
    for (int i = 0; i < 4; ++i) {
        const uint32_t w = uint32_t(t.Si[Byte(a[0], i)]) | (uint32_t(t.Si[Byte(a[1], i)]) << 8) |
                           (uint32_t(t.Si[Byte(a[2], i)]) << 16) | (uint32_t(t.Si[Byte(a[3], i)]) << 24);
        StoreLE32(block + 4 * i, w ^ k[i]);
    }
}

}  // namespace orq
