// The block ciphers against published vectors where the engine follows the standard,
// and proofs of the two places where it deliberately does not.
#include "engine/foundation/ORQCipherAlgorithms.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "CipherTestUtil.h"
#include "engine/foundation/ORQCipherUtils.h"

using namespace orq;
using cipher_test::Hex;
using cipher_test::ToHex;

namespace {

// Mode 0 with an all-zero IV: the first whole block is E(P), the bare block cipher.
std::string EncipherBlock(TCipher& c, const std::vector<uint8_t>& key, const std::vector<uint8_t>& plain) {
    std::vector<uint8_t> iv(std::size_t(c.BlockSize()), 0);
    c.Init(key.data(), int32_t(key.size()), iv.data());
    std::vector<uint8_t> out(plain.size());
    c.EncipherBuffer(plain.data(), out.data(), int32_t(plain.size()));
    // and back
    std::vector<uint8_t> back(plain.size());
    c.Init(key.data(), int32_t(key.size()), iv.data());
    c.DecipherBuffer(out.data(), back.data(), int32_t(out.size()));
    EXPECT_EQ(back, plain) << c.ClassName();
    return ToHex(out);
}

struct RijndaelProbe : TCipher_Rijndael {
    using TCipher_Rijndael::Schedule;
};

struct PublishedTwofish : TCipher_Twofish {
    PublishedTwofish() : TCipher_Twofish(nullptr, true) {}
    using TCipher_Twofish::Schedule;
};
struct EngineTwofish : TCipher_Twofish {
    using TCipher_Twofish::Schedule;
};

}  // namespace

TEST(TCipherAlgorithms, ClassesReportTheirSizes) {
    struct Case { TCipherClass c; int32_t block, key, schedule; } cases[] = {
        {TCipher_Rijndael::Class(), 16, 32, 480}, {TCipher_Blowfish::Class(), 8, 56, 4168},
        {TCipher_1DES::Class(), 8, 8, 256},       {TCipher_3DES::Class(), 8, 24, 768},
        {TCipher_3TDES::Class(), 24, 24, 768},    {TCipher_Twofish::Class(), 16, 32, 4256},
        {TCipher_Square::Class(), 16, 16, 288},
    };
    for (const Case& k : cases) {
        std::unique_ptr<TCipher> c(k.c->New(nullptr));
        EXPECT_EQ(c->BlockSize(), k.block) << k.c->Name;
        EXPECT_EQ(c->MaxKeySize(), k.key) << k.c->Name;
        EXPECT_EQ(c->KeyScheduleSize(), k.schedule) << k.c->Name;
        EXPECT_STREQ(c->ClassName(), k.c->Name);
        EXPECT_EQ(k.c->BlockSize, k.block);
    }
}

TEST(TCipherAlgorithms, RijndaelIsAes128And192) {
    TCipher_Rijndael c;
    const auto plain = Hex("00112233445566778899aabbccddeeff");
    EXPECT_EQ(EncipherBlock(c, Hex("000102030405060708090a0b0c0d0e0f"), plain), "69c4e0d86a7b0430d8cdb78070b4c55a");
    EXPECT_EQ(c.Rounds(), 10);
    EXPECT_EQ(EncipherBlock(c, Hex("000102030405060708090a0b0c0d0e0f1011121314151617"), plain),
              "dda97ca4864cdfe06eaf70a0ec0d7191");
    EXPECT_EQ(c.Rounds(), 12);
    // A 256-bit key runs 14 rounds but not AES-256 (FIPS-197 C.3 gives 8ea2b7ca...).
    const std::string c3 = EncipherBlock(c, Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"), plain);
    EXPECT_EQ(c.Rounds(), 14);
    EXPECT_NE(c3, "8ea2b7ca516745bfeafc49904b496089");
}

TEST(TCipherAlgorithms, RijndaelShortKeysAreZeroFilledAes) {
    const auto plain = Hex("00112233445566778899aabbccddeeff");
    TCipher_Rijndael a, b;
    const auto key17 = Hex("000102030405060708090a0b0c0d0e0f10");
    auto key24 = key17;
    key24.resize(24, 0);
    EXPECT_EQ(EncipherBlock(a, key17, plain), EncipherBlock(b, key24, plain));
    EXPECT_EQ(a.Rounds(), 12);
    const auto key20 = Hex("000102030405060708090a0b0c0d0e0f10111213");
    auto key20z = key20;
    key20z.resize(24, 0);
    EXPECT_EQ(EncipherBlock(a, key20, plain), EncipherBlock(b, key20z, plain));
    // An empty key is the all-zero 128-bit key.
    EXPECT_EQ(EncipherBlock(a, {}, plain), EncipherBlock(b, std::vector<uint8_t>(16, 0), plain));
    EXPECT_EQ(a.Rounds(), 10);
}

// The 14-round expansion equals AES-256 (FIPS-197 A.3) in words 0-11; word 12 is
// w4 xor w11 xor SubWord(w11), where AES has w4 xor SubWord(w11) = a8b09c1a.
TEST(TCipherAlgorithms, RijndaelFourteenRoundScheduleDepartsAtWord12) {
    RijndaelProbe c;
    const auto key = Hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4");
    c.Init(key.data(), 32, nullptr);
    auto word = [&](int i) {
        uint8_t b[4];
        std::memcpy(b, c.Schedule() + i, 4);  // little-endian host: the key bytes in order
        return ToHex(b, 4);
    };
    const char* standard[12] = {"603deb10", "15ca71be", "2b73aef0", "857d7781", "1f352c07", "3b6108d7",
                                "2d9810a3", "0914dff4", "9ba35411", "8e6925af", "a51a8b5f", "2067fcde"};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(word(i), standard[i]) << i;
    EXPECT_EQ(word(12), "88d760c4");  // a8b09c1a xor 2067fcde
    // From word 12 on, every step chains K5..K7 a second time after K4 took
    // SubWord(K3): these words were worked out by hand from that rule.
    const char* engine[11] = {"8ce4b8ca", "a54f7067", "85f0673e", "1526e686", "9b4fc329", "3e554876",
                              "1e32b4a8", "e4c659ae", "fec73508", "418929c9", "7b375236"};
    for (int i = 0; i < 11; ++i) EXPECT_EQ(word(13 + i), engine[i]) << 13 + i;
    EXPECT_EQ(word(59), "c646de5f");
}

// The whole 14-round transformation under the key and plaintext of FIPS-197 C.3:
// the engine's schedule with the standard rounds.
TEST(TCipherAlgorithms, RijndaelFourteenRoundKnownAnswer) {
    TCipher_Rijndael c;
    EXPECT_EQ(EncipherBlock(c, Hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f"),
                            Hex("00112233445566778899aabbccddeeff")),
              "7db8ca4ebc1555cd9b4e8c321b572299");
}

TEST(TCipherAlgorithms, DesKnownAnswers) {
    TCipher_1DES c;
    struct Case { const char* key; const char* plain; const char* cipher; } cases[] = {
        {"133457799BBCDFF1", "0123456789ABCDEF", "85e813540f0ab405"},
        {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},  // SP 800-17 variable text
        {"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
        {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},  // variable key
    };
    for (const auto& k : cases) EXPECT_EQ(EncipherBlock(c, Hex(k.key), Hex(k.plain)), k.cipher) << k.key;
    // The parity bits are ignored.
    EXPECT_EQ(EncipherBlock(c, Hex("12355678 9ABDDEF0"), Hex("0123456789ABCDEF")), "85e813540f0ab405");
}

// A 16-byte key gives K3 = eight zero bytes: E(K3) D(K2) E(K1) of single DES.
TEST(TCipherAlgorithms, TripleDesWithSixteenByteKeyHasZeroThirdKey) {
    const auto key = Hex("0123456789abcdef fedcba9876543210");
    const auto k1 = Hex("0123456789abcdef"), k2 = Hex("fedcba9876543210"), k3 = Hex("0000000000000000");
    const auto plain = Hex("4e6f772069732074");
    struct DesProbe : TCipher_1DES {
        void Enc(const std::vector<uint8_t>& k, uint8_t* b) { Init(k.data(), 8, nullptr); EncipherBlock(b); }
        void Dec(const std::vector<uint8_t>& k, uint8_t* b) { Init(k.data(), 8, nullptr); DecipherBlock(b); }
    } des;
    std::vector<uint8_t> want = plain;
    des.Enc(k1, want.data());
    des.Dec(k2, want.data());
    des.Enc(k3, want.data());
    TCipher_3DES c3;
    EXPECT_EQ(EncipherBlock(c3, key, plain), ToHex(want));

    // 3TDES: three DES blocks per pass, w1 and w2 exchanged between passes.
    std::vector<uint8_t> plain24 = Hex("000102030405060708090a0b0c0d0e0f1011121314151617");
    std::vector<uint8_t> w = plain24;
    auto pass = [&](auto step) {
        for (int b = 0; b < 3; ++b) step(w.data() + 8 * b);
    };
    auto exchange = [&] { std::swap_ranges(w.begin() + 4, w.begin() + 8, w.begin() + 8); };
    pass([&](uint8_t* b) { des.Enc(k1, b); });
    exchange();
    pass([&](uint8_t* b) { des.Dec(k2, b); });
    exchange();
    pass([&](uint8_t* b) { des.Enc(k3, b); });
    TCipher_3TDES t;
    EXPECT_EQ(EncipherBlock(t, key, plain24), ToHex(w));
}

TEST(TCipherAlgorithms, BlowfishPublishedVectors) {
    TCipher_Blowfish c;
    struct Case { const char* key; const char* plain; const char* cipher; } cases[] = {
        {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
        {"FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866fd5b85ecb8a"},
        {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
        {"0123456789ABCDEF", "1111111111111111", "61f9c3802281b096"},
        // variable key length: bytes taken cyclically at their own length
        {"F0", "FEDCBA9876543210", "f9ad597c49db005e"},
        {"F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044b62fa52d080"},
    };
    for (const auto& k : cases) EXPECT_EQ(EncipherBlock(c, Hex(k.key), Hex(k.plain)), k.cipher) << k.key;
}

// With the published odd-subkey formula the known answers pass; the engine's
// formula changes every one of them but leaves the even subkeys alone.
TEST(TCipherAlgorithms, TwofishDiffersFromPublishedOnlyInOddSubkeys) {
    struct Case { const char* key; const char* cipher; } cases[] = {
        {"00000000000000000000000000000000", "9f589f5cf6122c32b6bfec2f2ae8c35a"},
        {"0123456789ABCDEFFEDCBA98765432100011223344556677", "cfd1d2e5a9be9cdf501f13b892bd2248"},
        {"0123456789ABCDEFFEDCBA987654321000112233445566778899AABBCCDDEEFF", "37527be0052334b89f0cfccae87cfa20"},
    };
    const auto zero = Hex("00000000000000000000000000000000");
    for (const auto& k : cases) {
        PublishedTwofish published;
        EngineTwofish engine;
        EXPECT_EQ(EncipherBlock(published, Hex(k.key), zero), k.cipher) << k.key;
        EXPECT_NE(EncipherBlock(engine, Hex(k.key), zero), k.cipher) << k.key;
        for (int i = 0; i < 40; ++i) {
            if (i % 2 == 0)
                EXPECT_EQ(engine.Schedule()[i], published.Schedule()[i]) << i;
            else
                EXPECT_NE(engine.Schedule()[i], published.Schedule()[i]) << i;
        }
        // The published pair is A + B and ROL(A + 2B, 9): recover A and B from it and
        // check the engine's odd word is exactly ROL(A + (B >> 1), 9).
        for (int i = 0; i < 20; ++i) {
            const uint32_t even = published.Schedule()[2 * i];
            const uint32_t b = RotateRight32(published.Schedule()[2 * i + 1], 9) - even;
            const uint32_t a = even - b;
            EXPECT_EQ(engine.Schedule()[2 * i + 1], RotateLeft32(a + (b >> 1), 9)) << k.key << " " << i;
        }
    }
    // A 20-byte key is the 192-bit key with four zero bytes.
    TCipher_Twofish a, b;
    auto key20 = Hex("0123456789ABCDEFFEDCBA987654321000112233");
    auto key24 = key20;
    key24.resize(24, 0);
    EXPECT_EQ(EncipherBlock(a, key20, zero), EncipherBlock(b, key24, zero));
}

TEST(TCipherAlgorithms, SquareReferenceVectors) {
    TCipher_Square c;
    EXPECT_EQ(EncipherBlock(c, Hex("000102030405060708090a0b0c0d0e0f"), Hex("000102030405060708090a0b0c0d0e0f")),
              "7c3491d94994e70f0ec2e7a5ccb5a14f");
    EXPECT_EQ(EncipherBlock(c, Hex("00000000000000000000000000000000"), Hex("00000000000000000000000000000000")),
              "3c00428f8abbc0b84f057cc19c26f8cf");
}
