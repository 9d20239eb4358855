#include "engine/foundation/ORQHash.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "CipherTestUtil.h"

using namespace orq;
using cipher_test::ToHex;

namespace {

std::string Digest(THash& h, const std::string& data) {
    h.Start();
    h.Update(data);
    h.Finish();
    return ToHex(h.Digest(), std::size_t(h.DigestSize()));
}

std::string Repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

struct Vector {
    std::string input;
    const char* md4;
    const char* rmd128;
    const char* rmd256;
};

// RFC 1320 and the RIPEMD authors' lists.
const Vector Vectors[] = {
    {"", "31d6cfe0d16ae931b73c59d7e0c089c0", "cdf26213a150dc3ecb610f18f6b38b46",
     "02ba4c4e5f8ecd1877fc52d64d30e37a2d9774fb1e5d026380ae0168e3c5522d"},
    {"a", "bde52cb31de33e46245e05fbdbd6fb24", "86be7afa339d0fc7cfc785e72f578d33",
     "f9333e45d857f5d90a91bab70a1eba0cfb1be4b0783c9acfcd883a9134692925"},
    {"abc", "a448017aaf21d8525fc10ae87aa6729d", "c14a12199c66e4ba84636b0f69144c77",
     "afbd6e228b9d8cbbcef5ca2d03e6dba10ac0bc7dcbe4680e1e42d2e975459b65"},
    {"message digest", "d9130a8164549fe818874806e1c7014b", "9e327b3d6e523062afc1132d7df9d1b8",
     "87e971759a1ce47a514d5c914c392c9018c7c46bc14465554afcdf54a5070c0e"},
    {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9", "fd2aa607f71dc8f510714922b371834e",
     "649d3034751ea216776bf9a18acc81bc7896118a5197968782dd1fd97d8d5133"},
    {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", nullptr,
     "a1aa0689d0fafa2ddc22e88b49133a06",
     "3843045583aac6c8c8d9128573e7a9809afb2a0f34ccc36ea9e72f16f6368e3f"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4",
     "d1e959eb179c911faea4624c60c5c702",
     "5740a408ac16b720b84424ae931cbb1fe363d1d0bf4017f1a89f7ea6de77a0b8"},
    {Repeat("1234567890", 8), "e33b4ddc9c38f2199c3e7b164fcc0536", "3f45ef194732c2dbb2c4a2c769795fa3",
     "06fdcc7a409548aaf91368c06a6275b553e3f099bf0ea4edfd6778df89a890dd"},
    {std::string(1000000, 'a'), "bbce80cc6bb65e5c6745e30d4eeca9a4", "4a7f5723f954eba1216c9d8f6320431f",
     "ac953744e10e31514c150d4d8d7b677342e33399788296e43ae4850ce4f97978"},
};

}  // namespace

TEST(THash, PublishedDigests) {
    THash_MD4 md4;
    THash_RipeMD128 rmd128;
    THash_RipeMD256 rmd256;
    for (const Vector& v : Vectors) {
        SCOPED_TRACE(v.input.substr(0, 20));
        if (v.md4) {
            EXPECT_EQ(Digest(md4, v.input), v.md4);
        }
        EXPECT_EQ(Digest(rmd128, v.input), v.rmd128);
        EXPECT_EQ(Digest(rmd256, v.input), v.rmd256);
    }
}

TEST(THash, DigestSizesAndClasses) {
    EXPECT_EQ(THash().DigestSize(), 0);
    EXPECT_EQ(THash_MD4::Class()->DigestSize, 16);
    EXPECT_EQ(THash_RipeMD128::Class()->DigestSize, 16);
    EXPECT_EQ(THash_RipeMD256::Class()->DigestSize, 32);
    std::unique_ptr<THash> h(THash_RipeMD256::Class()->New());
    EXPECT_STREQ(h->ClassName(), "THash_RipeMD256");
    EXPECT_EQ(h->DigestSize(), 32);
}

// Any split of the input, across the 55/56/64-byte padding boundaries, gives the
// digest of the whole.
TEST(THash, SplitInvariantAcrossPaddingBoundaries) {
    std::string data;
    for (int i = 0; i < 200; ++i) data.push_back(char(i * 7 + 3));
    THash_MD4 md4;
    THash_RipeMD128 rmd128;
    THash_RipeMD256 rmd256;
    for (THash* h : std::initializer_list<THash*>{&md4, &rmd128, &rmd256}) {
        for (std::size_t len : {0u, 1u, 55u, 56u, 57u, 63u, 64u, 65u, 119u, 120u, 128u, 200u}) {
            const std::string whole = Digest(*h, data.substr(0, len));
            for (std::size_t cut : {std::size_t(0), std::size_t(1), len / 2, len > 10 ? std::size_t(10) : len, len}) {
                if (cut > len) continue;
                h->Start();
                h->Update(data.data(), int32_t(cut));
                h->Update(data.data() + cut, int32_t(len - cut));
                h->Finish();
                EXPECT_EQ(ToHex(h->Digest(), std::size_t(h->DigestSize())), whole) << h->ClassName() << " " << len << "/" << cut;
            }
            h->Start();
            for (std::size_t i = 0; i < len; ++i) h->Update(data.data() + i, 1);
            h->Finish();
            EXPECT_EQ(ToHex(h->Digest(), std::size_t(h->DigestSize())), whole) << h->ClassName() << " bytewise " << len;
        }
    }
}

TEST(THash, ZeroOrNegativeCountChangesNothing) {
    THash_RipeMD128 h;
    const std::string want = Digest(h, "abc");
    h.Start();
    h.Update("ab", 2);
    h.Update("x", 0);
    h.Update("x", -5);
    h.Update("c", 1);
    h.Finish();
    EXPECT_EQ(ToHex(h.Digest(), 16), want);
}

TEST(THash, FinishWithoutStartContinuesFromTheFinishedState) {
    THash_RipeMD256 h;
    const std::string first = Digest(h, "abc");
    EXPECT_EQ(Digest(h, "abc"), first);  // a second Start gives a fresh digest
    h.Update("abc");
    h.Finish();
    EXPECT_NE(ToHex(h.Digest(), 32), first);
}

// Action 3 of a coding run absorbs the data: the digest of the bytes is readable after.
TEST(THash, CalculateRunLeavesTheDigest) {
    THash_MD4 h;
    std::string data = "message digest";
    h.ProcessBuffer(data.data(), int32_t(data.size()), actCalculate);
    EXPECT_EQ(ToHex(h.Digest(), 16), "d9130a8164549fe818874806e1c7014b");
    EXPECT_EQ(data, "message digest");
    // Texts are coded in pieces; the calculate run writes nothing back.
    EXPECT_EQ(h.ProcessText(std::string(5000, 'a'), actCalculate, 1), std::string(5000, 'a'));
    THash_MD4 whole;
    EXPECT_EQ(ToHex(h.Digest(), 16), Digest(whole, std::string(5000, 'a')));
}

TEST(THash, EncodeAndDecodeRunsMaskAlike) {
    THash_RipeMD128 h;
    std::string data(100, 'x');
    h.ProcessBuffer(data.data(), 100, actEncode);
    EXPECT_NE(data, std::string(100, 'x'));
    h.ProcessBuffer(data.data(), 100, actDecode);
    EXPECT_EQ(data, std::string(100, 'x'));
}
