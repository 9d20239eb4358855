#include "engine/foundation/ORQCompression.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <tuple>

#include "EnglishText.h"
#include "engine/foundation/ORQBZip2.h"
#include "engine/foundation/ORQZlib.h"

using namespace orq;

namespace {

struct TFreeBuf {
    void operator()(uint8_t* p) const { std::free(p); }
};
using TBuf = std::unique_ptr<uint8_t, TFreeBuf>;

const std::string& Text1M() {
    static const std::string s = testtext::EnglishText(1 << 20);
    return s;
}
const std::string& Random1M() {
    static const std::string s = testtext::RandomBytes(1 << 20);
    return s;
}
// Random bytes send the PPM coder down to its root for every byte; a quarter of the
// size keeps its test within seconds under the sanitizers.
const std::string& Random256K() {
    static const std::string s = testtext::RandomBytes(1 << 18);
    return s;
}

// Compress then decompress through the dispatch; returns the bytes restored.
std::string RoundTrip(uint8_t alg, uint8_t mode, const std::string& data, int32_t* compressedSize = nullptr) {
    uint8_t* out = nullptr;
    int32_t outSize = -1;
    const bool ok = CompressBuffer(alg, mode, data.data(), int32_t(data.size()), out, outSize);
    TBuf packed(out);
    EXPECT_TRUE(ok) << "alg " << int(alg) << " mode " << int(mode);
    if (!ok) return {};
    if (compressedSize) *compressedSize = outSize;
    uint8_t* back = nullptr;
    int32_t backSize = int32_t(data.size());
    EXPECT_TRUE(DecompressBuffer(alg, packed.get(), outSize, back, backSize));
    TBuf restored(back);
    return std::string(reinterpret_cast<const char*>(back), size_t(backSize));
}

}  // namespace

TEST(CRC32, MatchesTheReflectedTableWithoutInversion) {
    EXPECT_EQ(CRC32(0, "abc", 3), 0xCA6598D0u);
    EXPECT_EQ(CRC32(0, "123456789", 9), 0x2DFD2D88u);
    // One byte from 0 is the table entry itself.
    const uint8_t one = 1, last = 255, half = 128;
    EXPECT_EQ(CRC32(0, &one, 1), 0x77073096u);
    EXPECT_EQ(CRC32(0, &half, 1), 0xEDB88320u);
    EXPECT_EQ(CRC32(0, &last, 1), 0x2D02EF8Du);
    // Chained calls equal one call; nothing to do keeps the start value.
    EXPECT_EQ(CRC32(CRC32(0, "123", 3), "456789", 6), 0x2DFD2D88u);
    EXPECT_EQ(CRC32(5, nullptr, 10), 5u);
    EXPECT_EQ(CRC32(5, "abc", 0), 5u);
    EXPECT_EQ(CRC32(5, "abc", -1), 5u);
    // Not zlib's CRC-32, which inverts at both ends.
    EXPECT_NE(CRC32(0, "abc", 3), uint32_t(crc32(0, reinterpret_cast<const Bytef*>("abc"), 3)));
}

TEST(CompressionAlgorithmByName, IgnoresCaseAndAnswersZeroForUnknownNames) {
    const std::tuple<const char*, int> cases[] = {{"NONE", 0}, {"zlib", 1}, {"ZLIB", 1}, {"Bzip", 2},
                                                  {"Ppm", 3},  {"PPMD", 0}, {"", 0},     {"gzip", 0}};
    for (const auto& [name, want] : cases) EXPECT_EQ(CompressionAlgorithmByName(name), want) << name;
}

TEST(CompressBuffer, DeclinesNoneEmptyInputAndInvalidModes) {
    const std::string data = "some data to compress";
    const std::tuple<int, int, size_t> cases[] = {
        {0, 0, data.size()},  // algorithm 0 stores plainly
        {1, 6, 0},            // empty input
        {1, 10, data.size()}, {1, 255, data.size()}, {2, 0, data.size()}, {2, 10, data.size()},
        {3, 0, data.size()},  {3, 10, data.size()},  {4, 1, data.size()}, {255, 1, data.size()},
    };
    for (const auto& [alg, mode, size] : cases) {
        uint8_t* out = nullptr;
        int32_t outSize = 77;
        EXPECT_FALSE(CompressBuffer(uint8_t(alg), uint8_t(mode), data.data(), int32_t(size), out, outSize))
            << alg << "/" << mode;
        TBuf guard(out);
        EXPECT_EQ(outSize, 0);
    }
    uint8_t* out = nullptr;
    int32_t outSize = 10;
    EXPECT_FALSE(DecompressBuffer(0, data.data(), int32_t(data.size()), out, outSize));
    EXPECT_FALSE(DecompressBuffer(1, data.data(), 0, out, outSize));
    EXPECT_FALSE(DecompressBuffer(9, data.data(), int32_t(data.size()), out, outSize));
    EXPECT_EQ(out, nullptr);
}

enum class TInput { OneByte, Text1M, Random1M };

class CompressionRoundTrip : public ::testing::TestWithParam<std::tuple<int, int, TInput>> {};

TEST_P(CompressionRoundTrip, RestoresEveryByte) {
    const auto [alg, mode, input] = GetParam();
    static const std::string oneByte = "A";
    const std::string& data = input == TInput::OneByte  ? oneByte
                              : input == TInput::Text1M ? Text1M()
                              : alg == 3                ? Random256K()
                                                        : Random1M();
    EXPECT_TRUE(RoundTrip(uint8_t(alg), uint8_t(mode), data) == data);
}

const auto Inputs = ::testing::Values(TInput::OneByte, TInput::Text1M, TInput::Random1M);
INSTANTIATE_TEST_SUITE_P(Zlib, CompressionRoundTrip,
                         ::testing::Combine(::testing::Values(1), ::testing::Range(0, 10), Inputs));
INSTANTIATE_TEST_SUITE_P(BZip2, CompressionRoundTrip,
                         ::testing::Combine(::testing::Values(2), ::testing::Range(1, 10), Inputs));
INSTANTIATE_TEST_SUITE_P(PPM, CompressionRoundTrip,
                         ::testing::Combine(::testing::Values(3), ::testing::Range(1, 10), Inputs));

TEST(ZlibCompressBuf, WritesTheZlibFormat) {
    const std::string& text = Text1M();
    uint8_t* out = nullptr;
    int32_t outSize = 0;
    ZlibCompressBuf(text.data(), 100000, out, outSize, 6);
    TBuf packed(out);
    ASSERT_GT(outSize, 2);
    EXPECT_EQ(out[0], 0x78);  // zlib header, not raw deflate or gzip
    std::string back(100000, '\0');
    uLongf backSize = uLongf(back.size());
    ASSERT_EQ(uncompress(reinterpret_cast<Bytef*>(back.data()), &backSize, out, uLong(outSize)), Z_OK);
    EXPECT_EQ(back, text.substr(0, 100000));
}

TEST(ZlibCompressBuf, RaisesCompressionErrorForAnInvalidLevel) {
    uint8_t* out = nullptr;
    int32_t outSize = 0;
    EXPECT_THROW(ZlibCompressBuf("abc", 3, out, outSize, 10), ECompressionError);
    EXPECT_EQ(out, nullptr);
    EXPECT_THROW(BZCompressBuf("abc", 3, out, outSize, 0), EBZCompressionError);
    EXPECT_EQ(out, nullptr);
}

// Truncated and altered streams of every algorithm end promptly: a failure, or
// (PPM, which has no checksum) a result that is not the original.
TEST(DecompressBuffer, CorruptAndTruncatedInputsFinish) {
    const std::string text = testtext::EnglishText(200000, 3);
    for (uint8_t alg = 1; alg <= 3; ++alg) {
        uint8_t* out = nullptr;
        int32_t outSize = 0;
        ASSERT_TRUE(CompressBuffer(alg, 5, text.data(), int32_t(text.size()), out, outSize));
        TBuf packed(out);
        const std::string good(reinterpret_cast<const char*>(out), size_t(outSize));
        std::vector<std::string> bad;
        for (int32_t cut : {1, 4, 5, 12, outSize / 2, outSize - 5, outSize - 1}) bad.push_back(good.substr(0, size_t(cut)));
        for (int32_t at : {0, 1, 3, 4, 10, outSize / 3, outSize / 2, outSize - 2}) {
            std::string s = good;
            s[size_t(at)] = char(s[size_t(at)] ^ 0x5A);
            bad.push_back(s);
        }
        for (size_t i = 0; i < bad.size(); ++i) {
            uint8_t* back = nullptr;
            int32_t backSize = int32_t(text.size());
            const bool ok = DecompressBuffer(alg, bad[i].data(), int32_t(bad[i].size()), back, backSize);
            TBuf restored(back);
            if (alg != 3 && i < 7) {
                EXPECT_FALSE(ok) << "alg " << int(alg) << " cut " << i;  // truncated
            }
            if (ok && alg == 3) {
                EXPECT_LE(backSize, int32_t(text.size()));
            }
            if (ok && backSize == int32_t(text.size()) && alg != 3 && i >= 7) {
                // zlib and bzip2 check their own data
                ADD_FAILURE() << "alg " << int(alg) << " accepted altered data " << i;
            }
        }
    }
}

TEST(BZDecompressBuf, TruncatedStreamFailsInsteadOfGrowingForEver) {
    const std::string text = testtext::EnglishText(300000, 5);
    uint8_t* out = nullptr;
    int32_t outSize = 0;
    BZCompressBuf(text.data(), int32_t(text.size()), out, outSize, 9);
    TBuf packed(out);
    uint8_t* back = nullptr;
    int32_t backSize = 0;
    EXPECT_THROW(BZDecompressBuf(out, outSize - 100, 0, back, backSize), EBZDecompressionError);
    EXPECT_EQ(back, nullptr);
    // A size estimate read from a corrupt header is not an allocation size.
    BZDecompressBuf(out, outSize, INT32_MAX, back, backSize);
    TBuf restored(back);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(back), size_t(backSize)), text);
}

// A zlib header with the preset-dictionary bit (0x78 0xBB, then a dictionary id):
// inflate answers "need dictionary" on every call, which must end the loop.
TEST(ZlibDecompressBuf, PresetDictionaryRequestFailsPromptly) {
    const uint8_t data[] = {0x78, 0xBB, 0x00, 0x00, 0x00, 0x01, 0x03, 0x00};
    uint8_t* back = nullptr;
    int32_t backSize = 100;
    EXPECT_FALSE(DecompressBuffer(CompressionZlib, data, int32_t(sizeof data), back, backSize));
    TBuf restored(back);
    EXPECT_EQ(backSize, 0);
}
