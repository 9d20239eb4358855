// DES (FIPS 46-3) and the two triple-DES classes built on it. Blocks and keys are
// read most significant bit first (bit 1 is the top bit of byte 0); the parity bits
// are ignored and a key with wrong parity is accepted. A round key is held as two
// words of four bytes, each byte one 6-bit group; the round function XORs eight
// tables that combine each S-box with the P permutation.
#include <cstring>

#include "engine/foundation/ORQCipherAlgorithms.h"
#include "engine/foundation/ORQCipherUtils.h"

namespace orq {

namespace {

constexpr uint8_t IP[64] = {58, 50, 42, 34, 26, 18, 10, 2, 60, 52, 44, 36, 28, 20, 12, 4,
                            62, 54, 46, 38, 30, 22, 14, 6, 64, 56, 48, 40, 32, 24, 16, 8,
                            57, 49, 41, 33, 25, 17, 9,  1, 59, 51, 43, 35, 27, 19, 11, 3,
                            61, 53, 45, 37, 29, 21, 13, 5, 63, 55, 47, 39, 31, 23, 15, 7};
constexpr uint8_t FP[64] = {40, 8, 48, 16, 56, 24, 64, 32, 39, 7, 47, 15, 55, 23, 63, 31,
                            38, 6, 46, 14, 54, 22, 62, 30, 37, 5, 45, 13, 53, 21, 61, 29,
                            36, 4, 44, 12, 52, 20, 60, 28, 35, 3, 43, 11, 51, 19, 59, 27,
                            34, 2, 42, 10, 50, 18, 58, 26, 33, 1, 41, 9,  49, 17, 57, 25};
constexpr uint8_t P[32] = {16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
                           2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25};
constexpr uint8_t PC1[56] = {57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18,
                             10, 2,  59, 51, 43, 35, 27, 19, 11, 3,  60, 52, 44, 36,
                             63, 55, 47, 39, 31, 23, 15, 7,  62, 54, 46, 38, 30, 22,
                             14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4};
constexpr uint8_t PC2[48] = {14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10,
                             23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
                             41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48,
                             44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32};
// Cumulative left rotations of C and D before each round.
constexpr uint8_t Rotations[16] = {1, 2, 4, 6, 8, 10, 12, 14, 15, 17, 19, 21, 23, 25, 27, 28};
constexpr uint8_t SBox[8][64] = {
    {14, 4, 13, 1, 2, 15, 11, 8, 3, 10, 6, 12, 5, 9, 0, 7, 0, 15, 7, 4, 14, 2, 13, 1, 10, 6, 12, 11, 9, 5, 3, 8,
     4, 1, 14, 8, 13, 6, 2, 11, 15, 12, 9, 7, 3, 10, 5, 0, 15, 12, 8, 2, 4, 9, 1, 7, 5, 11, 3, 14, 10, 0, 6, 13},
    {15, 1, 8, 14, 6, 11, 3, 4, 9, 7, 2, 13, 12, 0, 5, 10, 3, 13, 4, 7, 15, 2, 8, 14, 12, 0, 1, 10, 6, 9, 11, 5,
     0, 14, 7, 11, 10, 4, 13, 1, 5, 8, 12, 6, 9, 3, 2, 15, 13, 8, 10, 1, 3, 15, 4, 2, 11, 6, 7, 12, 0, 5, 14, 9},
    {10, 0, 9, 14, 6, 3, 15, 5, 1, 13, 12, 7, 11, 4, 2, 8, 13, 7, 0, 9, 3, 4, 6, 10, 2, 8, 5, 14, 12, 11, 15, 1,
     13, 6, 4, 9, 8, 15, 3, 0, 11, 1, 2, 12, 5, 10, 14, 7, 1, 10, 13, 0, 6, 9, 8, 7, 4, 15, 14, 3, 11, 5, 2, 12},
    {7, 13, 14, 3, 0, 6, 9, 10, 1, 2, 8, 5, 11, 12, 4, 15, 13, 8, 11, 5, 6, 15, 0, 3, 4, 7, 2, 12, 1, 10, 14, 9,
     10, 6, 9, 0, 12, 11, 7, 13, 15, 1, 3, 14, 5, 2, 8, 4, 3, 15, 0, 6, 10, 1, 13, 8, 9, 4, 5, 11, 12, 7, 2, 14},
    {2, 12, 4, 1, 7, 10, 11, 6, 8, 5, 3, 15, 13, 0, 14, 9, 14, 11, 2, 12, 4, 7, 13, 1, 5, 0, 15, 10, 3, 9, 8, 6,
     4, 2, 1, 11, 10, 13, 7, 8, 15, 9, 12, 5, 6, 3, 0, 14, 11, 8, 12, 7, 1, 14, 2, 13, 6, 15, 0, 9, 10, 4, 5, 3},
    {12, 1, 10, 15, 9, 2, 6, 8, 0, 13, 3, 4, 14, 7, 5, 11, 10, 15, 4, 2, 7, 12, 9, 5, 6, 1, 13, 14, 0, 11, 3, 8,
     9, 14, 15, 5, 2, 8, 12, 3, 7, 0, 4, 10, 1, 13, 11, 6, 4, 3, 2, 12, 9, 5, 15, 10, 11, 14, 1, 7, 6, 0, 8, 13},
    {4, 11, 2, 14, 15, 0, 8, 13, 3, 12, 9, 7, 5, 10, 6, 1, 13, 0, 11, 7, 4, 9, 1, 10, 14, 3, 5, 12, 2, 15, 8, 6,
     1, 4, 11, 13, 12, 3, 7, 14, 10, 15, 6, 8, 0, 5, 9, 2, 6, 11, 13, 8, 1, 4, 10, 7, 9, 5, 0, 15, 14, 2, 3, 12},
    {13, 2, 8, 4, 6, 15, 11, 1, 10, 9, 3, 14, 5, 0, 12, 7, 1, 15, 13, 8, 10, 3, 7, 4, 12, 5, 6, 11, 0, 14, 9, 2,
     7, 11, 4, 1, 9, 12, 14, 2, 0, 6, 10, 13, 15, 3, 5, 8, 2, 1, 14, 7, 4, 10, 8, 13, 15, 12, 9, 0, 3, 5, 6, 11}};

// Bit n (1 = most significant) of a Width-bit value.
inline uint64_t Bit(uint64_t v, int n, int width) { return (v >> (width - n)) & 1u; }

// A 64-bit permutation applied as eight byte lookups.
struct Permutation64 {
    uint64_t byByte[8][256];
    explicit Permutation64(const uint8_t (&table)[64]) {
        for (int b = 0; b < 8; ++b)
            for (int v = 0; v < 256; ++v) {
                const uint64_t in = uint64_t(v) << (56 - 8 * b);
                uint64_t out = 0;
                for (int o = 1; o <= 64; ++o) out |= Bit(in, table[o - 1], 64) << (64 - o);
                byByte[b][v] = out;
            }
    }
    uint64_t operator()(uint64_t x) const {
        uint64_t out = 0;
        for (int b = 0; b < 8; ++b) out |= byByte[b][(x >> (56 - 8 * b)) & 0xFF];
        return out;
    }
};

struct Tables {
    Permutation64 ip{IP}, fp{FP};
    uint32_t sp[8][64];  // S-box j then P, for every 6-bit input
    Tables() {
        for (int j = 0; j < 8; ++j)
            for (int v = 0; v < 64; ++v) {
                const int row = ((v >> 4) & 2) | (v & 1), col = (v >> 1) & 15;
                const uint32_t s = uint32_t(SBox[j][row * 16 + col]) << (28 - 4 * j);
                uint32_t out = 0;
                for (int o = 1; o <= 32; ++o) out |= uint32_t(Bit(s, P[o - 1], 32)) << (32 - o);
                sp[j][v] = out;
            }
    }
};

const Tables& T() {
    static const Tables tables;
    return tables;
}

inline uint32_t F(const Tables& t, uint32_t r, uint32_t k0, uint32_t k1) {
    // Expansion E: group j is bits 4j..4j+5 of R (1-based, bit 0 meaning bit 32).
    uint32_t f = 0;
    for (int j = 0; j < 4; ++j)
        f ^= t.sp[j][(RotateLeft32(r, uint8_t(4 * j + 5)) ^ (k0 >> (24 - 8 * j))) & 0x3F];
    for (int j = 4; j < 8; ++j)
        f ^= t.sp[j][(RotateLeft32(r, uint8_t(4 * j + 5)) ^ (k1 >> (56 - 8 * j))) & 0x3F];
    return f;
}

}  // namespace

// Single DES.

TCipher_1DES::TCipher_1DES(TProtection* chained) : TCipher_1DES(chained, 8, 8, 256) {}
TCipher_1DES::TCipher_1DES(TProtection* chained, int32_t blockSize, int32_t maxKeySize, int32_t scheduleSize)
    : TCipher(chained, blockSize, maxKeySize, scheduleSize) {}

TCipherClass TCipher_1DES::Class() {
    static const TCipherClassInfo info{"TCipher_1DES", 8, 8, 256,
                                       [](TProtection* c) -> TCipher* { return new TCipher_1DES(c); }};
    return &info;
}

void TCipher_1DES::MakeSchedule(const uint8_t key[8], uint32_t* encrypt, uint32_t* decrypt) {
    uint64_t k = 0;
    for (int i = 0; i < 8; ++i) k = (k << 8) | key[i];
    uint32_t c = 0, d = 0;
    for (int i = 0; i < 28; ++i) {
        c = (c << 1) | uint32_t(Bit(k, PC1[i], 64));
        d = (d << 1) | uint32_t(Bit(k, PC1[28 + i], 64));
    }
    for (int round = 0; round < 16; ++round) {
        const int s = Rotations[round];
        const uint32_t cr = ((c << s) | (c >> (28 - s))) & 0x0FFFFFFFu;
        const uint32_t dr = ((d << s) | (d >> (28 - s))) & 0x0FFFFFFFu;
        const uint64_t cd = (uint64_t(cr) << 28) | dr;
        uint32_t k0 = 0, k1 = 0;
        for (int j = 0; j < 8; ++j) {
            uint32_t group = 0;
            for (int b = 0; b < 6; ++b) group = (group << 1) | uint32_t(Bit(cd, PC2[6 * j + b], 56));
            if (j < 4)
                k0 |= group << (24 - 8 * j);
            else
                k1 |= group << (56 - 8 * j);
        }
        encrypt[2 * round] = k0;
        encrypt[2 * round + 1] = k1;
        if (decrypt != nullptr) {
            decrypt[2 * (15 - round)] = k0;
            decrypt[2 * (15 - round) + 1] = k1;
        }
    }
    k = 0;
}

void TCipher_1DES::DESBlock(uint8_t* block, const uint32_t* schedule) {
    const Tables& t = T();
    const uint64_t x = t.ip((uint64_t(LoadBE32(block)) << 32) | LoadBE32(block + 4));
    uint32_t l = uint32_t(x >> 32), r = uint32_t(x);
    for (int round = 0; round < 16; ++round) {
        const uint32_t next = l ^ F(t, r, schedule[2 * round], schedule[2 * round + 1]);
        l = r;
        r = next;
    }
    const uint64_t y = t.fp((uint64_t(r) << 32) | l);
    StoreBE32(block, uint32_t(y >> 32));
    StoreBE32(block + 4, uint32_t(y));
}

void TCipher_1DES::InitSchedule(const uint8_t* key, int32_t keySize) {
    uint8_t k[8] = {};
    if (keySize > 0) std::memcpy(k, key, std::size_t(keySize));
    MakeSchedule(k, Schedule(), Schedule() + ScheduleWords);
    SecureFill(k, 0, sizeof(k));
}

void TCipher_1DES::EncipherBlock(uint8_t* block) { DESBlock(block, Schedule()); }
void TCipher_1DES::DecipherBlock(uint8_t* block) { DESBlock(block, Schedule() + ScheduleWords); }

// Triple DES, encrypt-decrypt-encrypt.

TCipher_3DES::TCipher_3DES(TProtection* chained) : TCipher_3DES(chained, 8) {}
TCipher_3DES::TCipher_3DES(TProtection* chained, int32_t blockSize)
    : TCipher_1DES(chained, blockSize, 24, 768) {}

TCipherClass TCipher_3DES::Class() {
    static const TCipherClassInfo info{"TCipher_3DES", 8, 24, 768,
                                       [](TProtection* c) -> TCipher* { return new TCipher_3DES(c); }};
    return &info;
}

void TCipher_3DES::InitSchedule(const uint8_t* key, int32_t keySize) {
    uint8_t k[24] = {};  // zero-filled: a 16-byte key has K3 = 0, not K1
    if (keySize > 0) std::memcpy(k, key, std::size_t(keySize));
    uint32_t* s = Schedule();
    constexpr int W = ScheduleWords;
    MakeSchedule(k, s + 0 * W, s + 5 * W);        // E(K1) ... D(K1)
    MakeSchedule(k + 8, s + 4 * W, s + 1 * W);    // E(K2) in slot 5, D(K2) in slot 2
    MakeSchedule(k + 16, s + 2 * W, s + 3 * W);   // E(K3), D(K3)
    SecureFill(k, 0, sizeof(k));
}

void TCipher_3DES::EncipherBlock(uint8_t* block) {
    for (int i = 0; i < 3; ++i) DESBlock(block, Schedule() + i * ScheduleWords);
}
void TCipher_3DES::DecipherBlock(uint8_t* block) {
    for (int i = 3; i < 6; ++i) DESBlock(block, Schedule() + i * ScheduleWords);
}

// Triple DES over 24-byte blocks.

TCipher_3TDES::TCipher_3TDES(TProtection* chained) : TCipher_3DES(chained, 24) {}

TCipherClass TCipher_3TDES::Class() {
    static const TCipherClassInfo info{"TCipher_3TDES", 24, 24, 768,
                                       [](TProtection* c) -> TCipher* { return new TCipher_3TDES(c); }};
    return &info;
}

namespace {

// Exchanges words w1 and w2 (bytes 4-7 and 8-11) of a 24-byte block.
void ExchangeW1W2(uint8_t* block) {
    uint8_t t[4];
    std::memcpy(t, block + 4, 4);
    std::memcpy(block + 4, block + 8, 4);
    std::memcpy(block + 8, t, 4);
}

}  // namespace

void TCipher_3TDES::EncipherBlock(uint8_t* block) {
    for (int pass = 0; pass < 3; ++pass) {
        if (pass > 0) ExchangeW1W2(block);
        for (int b = 0; b < 3; ++b) DESBlock(block + 8 * b, Schedule() + pass * ScheduleWords);
    }
}

void TCipher_3TDES::DecipherBlock(uint8_t* block) {
    for (int pass = 3; pass < 6; ++pass) {
        if (pass > 3) ExchangeW1W2(block);
        for (int b = 0; b < 3; ++b) DESBlock(block + 8 * b, Schedule() + pass * ScheduleWords);
    }
}

}  // namespace orq
