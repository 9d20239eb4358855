// Rijndael with a 128-bit block: AES-128 and AES-192 for keys of up to 24 bytes
// (zero-filled to 16 or 24), and for 25 to 32 bytes 14 rounds with the engine's own
// key expansion (see InitSchedule). Columns are little-endian words: block byte n is
// row n mod 4 of column n div 4. The schedule holds the encryption round keys at
// word 0 and, at word 60, the decryption keys of the equivalent inverse cipher.
#include <cstring>

#include "engine/foundation/ORQCipherAlgorithms.h"
#include "engine/foundation/ORQCipherUtils.h"

namespace orq {

namespace {

constexpr int DecryptKeys = 60;  // word offset of the decryption round keys (byte 240)

uint8_t XTime(uint8_t x) { return uint8_t((x << 1) ^ ((x & 0x80) ? 0x1B : 0)); }
uint8_t Mul(uint8_t a, uint8_t b) {
    uint8_t r = 0;
    for (; b; b >>= 1, a = XTime(a))
        if (b & 1) r ^= a;
    return r;
}

// S-box (multiplicative inverse then the FIPS-197 affine map), its inverse, and the
// round tables combining SubBytes with a MixColumns column (and the inverses).
struct Tables {
    uint8_t S[256], Si[256];
    uint32_t Te[4][256], Td[4][256];
    Tables() {
        for (int x = 0; x < 256; ++x) {
            uint8_t inv = 0;
            for (int y = 1; y < 256 && x != 0; ++y)
                if (Mul(uint8_t(x), uint8_t(y)) == 1) inv = uint8_t(y);
            uint8_t s = inv;
            for (int k = 1; k <= 4; ++k) s ^= uint8_t((inv << k) | (inv >> (8 - k)));
            s ^= 0x63;
            S[x] = s;
            Si[s] = uint8_t(x);
        }
        for (int x = 0; x < 256; ++x) {
            const uint8_t s = S[x], si = Si[x];
            const uint32_t e = uint32_t(Mul(s, 2)) | (uint32_t(s) << 8) | (uint32_t(s) << 16) |
                               (uint32_t(Mul(s, 3)) << 24);
            const uint32_t d = uint32_t(Mul(si, 14)) | (uint32_t(Mul(si, 9)) << 8) |
                               (uint32_t(Mul(si, 13)) << 16) | (uint32_t(Mul(si, 11)) << 24);
            for (int k = 0; k < 4; ++k) {
                Te[k][x] = RotateLeft32(e, uint8_t(8 * k));
                Td[k][x] = RotateLeft32(d, uint8_t(8 * k));
            }
        }
    }
};

const Tables& T() {
    static const Tables tables;
    return tables;
}

uint32_t SubWord(const Tables& t, uint32_t w) {
    return uint32_t(t.S[w & 0xFF]) | (uint32_t(t.S[(w >> 8) & 0xFF]) << 8) |
           (uint32_t(t.S[(w >> 16) & 0xFF]) << 16) | (uint32_t(t.S[w >> 24]) << 24);
}

uint32_t InvMixColumn(const Tables& t, uint32_t w) {
    return t.Td[0][t.S[w & 0xFF]] ^ t.Td[1][t.S[(w >> 8) & 0xFF]] ^ t.Td[2][t.S[(w >> 16) & 0xFF]] ^
           t.Td[3][t.S[w >> 24]];
}

}  // namespace

TCipher_Rijndael::TCipher_Rijndael(TProtection* chained) : TCipher(chained, 16, 32, 480) {}

TCipherClass TCipher_Rijndael::Class() {
    static const TCipherClassInfo info{"TCipher_Rijndael", 16, 32, 480,
                                       [](TProtection* c) -> TCipher* { return new TCipher_Rijndael(c); }};
    return &info;
}

void TCipher_Rijndael::InitSchedule(const uint8_t* key, int32_t keySize) {
    const Tables& t = T();
    FRounds = keySize <= 16 ? 10 : keySize <= 24 ? 12 : 14;
    const int nk = FRounds - 6;
    uint8_t bytes[32] = {};
    if (keySize > 0) std::memcpy(bytes, key, std::size_t(keySize));
    uint32_t k[8];
    for (int i = 0; i < 8; ++i) k[i] = LoadLE32(bytes + 4 * i);

    uint32_t* w = Schedule();
    const int total = 4 * (FRounds + 1);
    int n = 0;
    for (int i = 0; i < nk; ++i) w[n++] = k[i];
    static constexpr uint8_t rcon[10] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36};
    for (int step = 0; n < total; ++step) {
        k[0] ^= SubWord(t, RotateRight32(k[nk - 1], 8)) ^ rcon[step];
        if (nk < 8) {
            for (int i = 1; i < nk; ++i) k[i] ^= k[i - 1];
        } else {
            // The engine's 14-round expansion: all seven words chained (K4 with K3
            // too), then K4 takes SubWord(K3), then K5..K7 are chained once more.
            for (int i = 1; i < 8; ++i) k[i] ^= k[i - 1];
            k[4] ^= SubWord(t, k[3]);
            for (int i = 5; i < 8; ++i) k[i] ^= k[i - 1];
        }
        for (int i = 0; i < nk && n < total; ++i) w[n++] = k[i];
    }

    uint32_t* d = w + DecryptKeys;
    for (int i = 0; i < total; ++i) d[i] = (i >= 4 && i < 4 * FRounds) ? InvMixColumn(t, w[i]) : w[i];
    SecureFill(bytes, 0, sizeof(bytes));
    SecureFill(k, 0, sizeof(k));
}

void TCipher_Rijndael::EncipherBlock(uint8_t* block) {
    const Tables& t = T();
    const uint32_t* rk = Schedule();
    uint32_t s0 = LoadLE32(block) ^ rk[0], s1 = LoadLE32(block + 4) ^ rk[1];
    uint32_t s2 = LoadLE32(block + 8) ^ rk[2], s3 = LoadLE32(block + 12) ^ rk[3];
    for (int r = 1; r < FRounds; ++r) {
        rk += 4;
        const uint32_t t0 = t.Te[0][s0 & 0xFF] ^ t.Te[1][(s1 >> 8) & 0xFF] ^ t.Te[2][(s2 >> 16) & 0xFF] ^ t.Te[3][s3 >> 24] ^ rk[0];
        const uint32_t t1 = t.Te[0][s1 & 0xFF] ^ t.Te[1][(s2 >> 8) & 0xFF] ^ t.Te[2][(s3 >> 16) & 0xFF] ^ t.Te[3][s0 >> 24] ^ rk[1];
        const uint32_t t2 = t.Te[0][s2 & 0xFF] ^ t.Te[1][(s3 >> 8) & 0xFF] ^ t.Te[2][(s0 >> 16) & 0xFF] ^ t.Te[3][s1 >> 24] ^ rk[2];
        const uint32_t t3 = t.Te[0][s3 & 0xFF] ^ t.Te[1][(s0 >> 8) & 0xFF] ^ t.Te[2][(s1 >> 16) & 0xFF] ^ t.Te[3][s2 >> 24] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk += 4;
    auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return (uint32_t(t.S[a & 0xFF]) | (uint32_t(t.S[(b >> 8) & 0xFF]) << 8) |
                (uint32_t(t.S[(c >> 16) & 0xFF]) << 16) | (uint32_t(t.S[d >> 24]) << 24)) ^ k;
    };
    StoreLE32(block, last(s0, s1, s2, s3, rk[0]));
    StoreLE32(block + 4, last(s1, s2, s3, s0, rk[1]));
    StoreLE32(block + 8, last(s2, s3, s0, s1, rk[2]));
    StoreLE32(block + 12, last(s3, s0, s1, s2, rk[3]));
}

void TCipher_Rijndael::DecipherBlock(uint8_t* block) {
    const Tables& t = T();
    const uint32_t* rk = Schedule() + DecryptKeys + 4 * FRounds;
    uint32_t s0 = LoadLE32(block) ^ rk[0], s1 = LoadLE32(block + 4) ^ rk[1];
    uint32_t s2 = LoadLE32(block + 8) ^ rk[2], s3 = LoadLE32(block + 12) ^ rk[3];
    for (int r = 1; r < FRounds; ++r) {
        rk -= 4;
        const uint32_t t0 = t.Td[0][s0 & 0xFF] ^ t.Td[1][(s3 >> 8) & 0xFF] ^ t.Td[2][(s2 >> 16) & 0xFF] ^ t.Td[3][s1 >> 24] ^ rk[0];
        const uint32_t t1 = t.Td[0][s1 & 0xFF] ^ t.Td[1][(s0 >> 8) & 0xFF] ^ t.Td[2][(s3 >> 16) & 0xFF] ^ t.Td[3][s2 >> 24] ^ rk[1];
        const uint32_t t2 = t.Td[0][s2 & 0xFF] ^ t.Td[1][(s1 >> 8) & 0xFF] ^ t.Td[2][(s0 >> 16) & 0xFF] ^ t.Td[3][s3 >> 24] ^ rk[2];
        const uint32_t t3 = t.Td[0][s3 & 0xFF] ^ t.Td[1][(s2 >> 8) & 0xFF] ^ t.Td[2][(s1 >> 16) & 0xFF] ^ t.Td[3][s0 >> 24] ^ rk[3];
        s0 = t0; s1 = t1; s2 = t2; s3 = t3;
    }
    rk -= 4;
    auto last = [&](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return (uint32_t(t.Si[a & 0xFF]) | (uint32_t(t.Si[(b >> 8) & 0xFF]) << 8) |
                (uint32_t(t.Si[(c >> 16) & 0xFF]) << 16) | (uint32_t(t.Si[d >> 24]) << 24)) ^ k;
    };
    StoreLE32(block, last(s0, s3, s2, s1, rk[0]));
    StoreLE32(block + 4, last(s1, s0, s3, s2, rk[1]));
    StoreLE32(block + 8, last(s2, s1, s0, s3, rk[2]));
    StoreLE32(block + 12, last(s3, s2, s1, s0, rk[3]));
}

}  // namespace orq
