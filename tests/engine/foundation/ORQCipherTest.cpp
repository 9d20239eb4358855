// The cipher framework: keying from a password, the chaining mode with its tail
// rule, the IV the engine gets, wiping and the not-initialised error.
#include "engine/foundation/ORQCipher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "CipherTestUtil.h"
#include "engine/foundation/ORQCipherAlgorithms.h"

using namespace orq;
using cipher_test::ToHex;

namespace {

std::vector<uint8_t> Pattern(std::size_t n) {
    std::vector<uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + 7);
    return v;
}

// The engine's use for one page: create, select the key hash, key with the cipher's
// own chaining block as IV, code in place.
std::vector<uint8_t> EnginePage(TCipherClass cls, THashClass hash, const std::string& password,
                                std::vector<uint8_t> page, bool encipher) {
    TProtectionRef<TCipher> c = TCipher::Create(cls, password);
    c->SelectHashClass(hash);
    c->InitKey(password, c->Vector());
    if (encipher)
        c->EncipherBuffer(page.data(), page.data(), int32_t(page.size()));
    else
        c->DecipherBuffer(page.data(), page.data(), int32_t(page.size()));
    return page;
}

struct ScheduleProbe : TCipher_Blowfish {
    const uint32_t* Words() const { return Schedule(); }
};

struct AesProbe : TCipher_Rijndael {
    using TCipher_Rijndael::EncipherBlock;
};

// The algorithm ids of the engine: cipher class and key hash.
struct EngineAlgorithm {
    TCipherClass cipher;
    THashClass hash;
};
std::vector<EngineAlgorithm> EngineAlgorithms() {
    return {{TCipher_Rijndael::Class(), THash_RipeMD128::Class()}, {TCipher_Rijndael::Class(), THash_RipeMD256::Class()},
            {TCipher_1DES::Class(), THash_RipeMD128::Class()},     {TCipher_3TDES::Class(), THash_RipeMD128::Class()},
            {TCipher_Blowfish::Class(), THash_RipeMD256::Class()}, {TCipher_Twofish::Class(), THash_RipeMD128::Class()},
            {TCipher_Twofish::Class(), THash_RipeMD256::Class()},  {TCipher_Square::Class(), THash_RipeMD128::Class()},
            {TCipher_3DES::Class(), THash_RipeMD256::Class()}};
}

}  // namespace

TEST(TCipher, CodingBeforeInitRaisesCode3) {
    TCipher_Blowfish c;
    uint8_t buf[8] = {};
    try {
        c.EncipherBuffer(buf, buf, 8);
        FAIL() << "no error";
    } catch (const ECipherException& e) {
        EXPECT_EQ(e.ErrorCode(), 3);
        EXPECT_STREQ(e.what(), "TCipher_Blowfish is not initialized call Init() or InitKey() before.");
    }
    EXPECT_THROW(c.DecipherBuffer(buf, buf, 8), ECipherException);
    EXPECT_THROW(c.ProcessBuffer(buf, 8, actEncode), ECipherException);
    // Created with a password: keyed; wiped: not any more.
    auto keyed = TCipher::Create<TCipher_Blowfish>("secret");
    EXPECT_TRUE(keyed->Initialized());
    EXPECT_TRUE(keyed->KeySet());
    keyed->EncipherBuffer(buf, buf, 8);
    keyed->Wipe();
    EXPECT_FALSE(keyed->Initialized());
    EXPECT_FALSE(keyed->KeySet());
    // The key schedule ends as zero bytes, the vectors as 0xFF bytes.
    ScheduleProbe probe;
    probe.InitKey("secret", nullptr);
    probe.EncipherBuffer(buf, buf, 8);
    probe.Wipe();
    const auto* schedule = reinterpret_cast<const uint8_t*>(probe.Words());
    EXPECT_EQ(std::count(schedule, schedule + probe.KeyScheduleSize(), 0), probe.KeyScheduleSize());
    EXPECT_EQ(ToHex(probe.Vector(), 8), std::string(16, 'f'));
    EXPECT_EQ(ToHex(probe.Feedback(), 8), std::string(16, 'f'));
    EXPECT_THROW(keyed->EncipherBuffer(buf, buf, 8), ECipherException);
}

// Every cipher the engine uses gives its page back, at 4096 bytes and at a block
// plus a tail; the output is as long as the input.
TEST(TCipher, EnginePagesRoundTripForEveryAlgorithm) {
    for (const EngineAlgorithm& a : EngineAlgorithms()) {
        for (std::size_t size : {std::size_t(4096), std::size_t(20), std::size_t(3), std::size_t(0)}) {
            const auto plain = Pattern(size);
            const auto enc = EnginePage(a.cipher, a.hash, "pass word", plain, true);
            ASSERT_EQ(enc.size(), size);
            EXPECT_EQ(EnginePage(a.cipher, a.hash, "pass word", enc, false), plain) << a.cipher->Name << " " << size;
            if (size > 0) {
                EXPECT_NE(enc, plain) << a.cipher->Name << " " << size;
                EXPECT_NE(EnginePage(a.cipher, a.hash, "pass wore", enc, false), plain) << a.cipher->Name;
            }
        }
    }
}

// Y := E(P xor F), F := Y xor F for whole blocks; a tail of r bytes is the input
// xor the first r bytes of E(F), and F := F xor E(F).
TEST(TCipher, ChainingAndTailRule) {
    AesProbe c;
    const auto key = Pattern(16);
    std::vector<uint8_t> iv(16, 0x5A);
    c.Init(key.data(), 16, iv.data());
    const auto plain = Pattern(20);
    std::vector<uint8_t> out(20);
    c.EncipherBuffer(plain.data(), out.data(), 20);

    uint8_t f[16], y[16], w[16];
    std::memcpy(f, iv.data(), 16);
    for (int i = 0; i < 16; ++i) y[i] = plain[std::size_t(i)] ^ f[i];
    c.EncipherBlock(y);
    for (int i = 0; i < 16; ++i) f[i] ^= y[i];
    std::memcpy(w, f, 16);
    c.EncipherBlock(w);
    std::vector<uint8_t> want(y, y + 16);
    for (int i = 0; i < 4; ++i) want.push_back(plain[std::size_t(16 + i)] ^ w[i]);
    EXPECT_EQ(ToHex(out), ToHex(want));
    for (int i = 0; i < 16; ++i) f[i] ^= w[i];
    EXPECT_EQ(ToHex(c.Feedback(), 16), ToHex(f, 16));

    // In place gives the same; the feedback carries over until the reset.
    c.Init(key.data(), 16, iv.data());
    std::vector<uint8_t> in = plain;
    c.EncipherBuffer(in.data(), in.data(), 16);
    c.EncipherBuffer(in.data() + 16, in.data() + 16, 4);
    EXPECT_EQ(in, out);
    c.Reset();
    EXPECT_EQ(ToHex(c.Feedback(), 16), ToHex(iv));
}

// The engine passes the cipher's own chaining block as IV: read after the wipe, it
// is all 0xFF. Without an IV, the 0xFF block enciphered with the key is the IV.
TEST(TCipher, IvAfterTheWipeIsAllFF) {
    AesProbe c;
    c.InitKey("pw", c.Vector());
    EXPECT_EQ(ToHex(c.Vector(), 16), std::string(32, 'f'));
    EXPECT_EQ(ToHex(c.Feedback(), 16), std::string(32, 'f'));
    AesProbe d;
    d.InitKey("pw", nullptr);
    uint8_t ff[16];
    std::memset(ff, 0xFF, 16);
    c.EncipherBlock(ff);  // same key as d
    EXPECT_EQ(ToHex(d.Vector(), 16), ToHex(ff, 16));
}

// InitKey hashes the password and keys with the first min(digest, max key) bytes;
// the digest left in the hash object is enciphered, not the key.
TEST(TCipher, InitKeyUsesTheHashDigest) {
    for (THashClass hash : {THash_RipeMD128::Class(), THash_RipeMD256::Class()}) {
        for (TCipherClass cls : {TCipher_Rijndael::Class(), TCipher_1DES::Class(), TCipher_Square::Class()}) {
            std::unique_ptr<TCipher> viaPassword(cls->New(nullptr)), viaKey(cls->New(nullptr));
            std::unique_ptr<THash> h(hash->New());
            h->Start();
            h->Update("Tilo");
            h->Finish();
            const std::vector<uint8_t> digest(h->Digest(), h->Digest() + h->DigestSize());
            viaPassword->SelectHashClass(hash);
            viaPassword->InitKey("Tilo", viaPassword->Vector());
            viaKey->Init(digest.data(), std::min(hash->DigestSize, viaKey->MaxKeySize()), viaKey->Vector());
            // The digest left in the hash object is the whole digest enciphered from
            // the IV; the reset then takes the feedback back to the IV.
            std::vector<uint8_t> hidden = digest;
            viaKey->EncipherBuffer(hidden.data(), hidden.data(), int32_t(hidden.size()));
            viaKey->Reset();
            EXPECT_EQ(ToHex(viaPassword->Hash()->Digest(), std::size_t(hash->DigestSize)), ToHex(hidden));
            auto a = Pattern(40), b = Pattern(40);
            viaPassword->EncipherBuffer(a.data(), a.data(), 40);
            viaKey->EncipherBuffer(b.data(), b.data(), 40);
            EXPECT_EQ(a, b) << cls->Name << " " << hash->Name;
        }
    }
    // Different key hashes give different AES ciphertexts; an empty password keys
    // from the digest of no data.
    const auto page = Pattern(64);
    EXPECT_NE(EnginePage(TCipher_Rijndael::Class(), THash_RipeMD128::Class(), "x", page, true),
              EnginePage(TCipher_Rijndael::Class(), THash_RipeMD256::Class(), "x", page, true));
    TCipher_Rijndael empty;
    empty.InitKey("", nullptr);
    EXPECT_TRUE(empty.Initialized());
}

TEST(TCipher, KeySizeIsClampedWithoutError) {
    const auto key = Pattern(40);
    const auto plain = Pattern(32);
    TCipher_Square a, b;
    a.Init(key.data(), 40, nullptr);
    b.Init(key.data(), 16, nullptr);
    auto x = plain, y = plain;
    a.EncipherBuffer(x.data(), x.data(), 32);
    b.EncipherBuffer(y.data(), y.data(), 32);
    EXPECT_EQ(x, y);
    TCipher_Square z, zz;
    z.Init(key.data(), -3, nullptr);
    const std::vector<uint8_t> zero(16, 0);
    zz.Init(zero.data(), 16, nullptr);
    x = plain;
    y = plain;
    z.EncipherBuffer(x.data(), x.data(), 32);
    zz.EncipherBuffer(y.data(), y.data(), 32);
    EXPECT_EQ(x, y);
}

TEST(TCipher, HashObjectFollowsTheHashClass) {
    auto c = TCipher::Create<TCipher_Rijndael>("pw");
    EXPECT_EQ(c->HashClass(), THash_RipeMD256::Class());
    THash* first = c->Hash();
    EXPECT_EQ(first->RefCount(), 1);
    c->SelectHashClass(THash_RipeMD128::Class());
    EXPECT_FALSE(IsLiveObject<THash>(first));  // released with its class
    THash* second = c->Hash();
    EXPECT_STREQ(second->ClassName(), "THash_RipeMD128");
    c->SelectHashClass(nullptr);  // the default
    EXPECT_EQ(c->HashClass(), THash_RipeMD256::Class());
    THash* third = c->Hash();
    c.Reset();
    EXPECT_FALSE(IsLiveObject<THash>(third));
}

TEST(TCipher, RegistryKnowsRijndael) {
    EXPECT_EQ(FindCipherClass("Rijndael"), TCipher_Rijndael::Class());
    EXPECT_EQ(FindCipherClass("Nothing"), nullptr);
    RegisterCipherClass(TCipher_Square::Class(), "Square");
    EXPECT_EQ(FindCipherClass("Square"), TCipher_Square::Class());
}

// Coding runs: a chain enciphers with the chained object first and deciphers in the
// reverse order; the run resets the feedback at both ends.
TEST(TCipher, ChainedCodingRunsRoundTrip) {
    auto inner = TCipher::Create<TCipher_Blowfish>("inner");
    auto outer = TCipher::Create<TCipher_Twofish>("outer", inner.Get());
    std::vector<uint8_t> data = Pattern(100);
    outer->ProcessBuffer(data.data(), 100, actEncode);
    EXPECT_NE(data, Pattern(100));
    outer->ProcessBuffer(data.data(), 100, actDecode);
    EXPECT_EQ(data, Pattern(100));

    // A disabled action passes the data to the chain untouched by this object.
    outer->SetEnabledActions(uint8_t(AllProtectionActions & ~(1u << actEncode)));
    std::vector<uint8_t> viaChain = Pattern(100), direct = Pattern(100);
    outer->ProcessBuffer(viaChain.data(), 100, actEncode);
    outer->ChainedProtection()->ProcessBuffer(direct.data(), 100, actEncode);
    EXPECT_EQ(viaChain, direct);
}

TEST(TCipher, TextRoundTripThroughBase64) {
    auto c = TCipher::Create<TCipher_Rijndael>("text key");
    const std::string plain = "ZCZC SA01\r\nNAVIGATIONAL WARNING\r\nNNNN";
    const std::string text = c->ProcessText(plain, actEncode, 4196);
    EXPECT_EQ(text.size(), (plain.size() + 2) / 3 * 4);
    EXPECT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(c->ProcessText(text, actDecode, 4196), plain);
    EXPECT_EQ(c->ProcessText(text, actDecode, -1), plain);
}
