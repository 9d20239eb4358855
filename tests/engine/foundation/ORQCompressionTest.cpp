#include "engine/foundation/ORQCompression.h"

#include <bzlib.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "CompressionBombs.h"
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

// The engine's CRC32 equals the plain table loop (polynomial 0xEDB88320, start 0, no
// inversion) on random data, whole and split at every length, and is the complement
// of zlib's started from the complement.
TEST(CRC32, EqualsTheTableLoopOverRandomDataAndEverySplit) {
    uint32_t table[256];
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    auto reference = [&](uint32_t crc, const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFF];
        return crc;
    };
    const std::string data = testtext::RandomBytes(1500, 77);
    const auto* bytes = reinterpret_cast<const uint8_t*>(data.data());
    for (size_t n : {size_t(1), size_t(7), size_t(64), size_t(1000), data.size()}) {
        const uint32_t whole = reference(0, bytes, n);
        EXPECT_EQ(CRC32(0, bytes, int32_t(n)), whole) << n;
        EXPECT_EQ(~uint32_t(crc32(0xFFFFFFFFu, bytes, uInt(n))), whole) << n;
        for (size_t k = 0; k <= n; ++k)
            ASSERT_EQ(CRC32(CRC32(0, bytes, int32_t(k)), bytes + k, int32_t(n - k)), whole) << n << "/" << k;
    }
    EXPECT_EQ(CRC32(0x12345678u, bytes, 100), reference(0x12345678u, bytes, 100));
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

namespace {

using testbombs::ZeroBomb;

// Peak resident set growth in KB of F run in a child (its own peak, reset first).
long ChildPeakGrowthKB(const std::function<bool()>& f, bool& result) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        auto status = [](const char* key) {
            std::ifstream in("/proc/self/status");
            std::string line;
            while (std::getline(in, line))
                if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
            return 0L;
        };
        std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts from now
        const long before = status("VmRSS:");
        long report[2] = {f() ? 1L : 0L, 0};
        report[1] = status("VmHWM:") - before;
        if (write(fds[1], report, sizeof report) != sizeof report) _exit(1);
        _exit(0);
    }
    close(fds[1]);
    long report[2] = {0, -1};
    if (read(fds[0], report, sizeof report) != sizeof report) report[1] = -1;
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result = report[0] != 0;
    return report[1];
}

}  // namespace

// A block whose header claims 100 000 bytes but that inflates to 256 MB fails at
// the claimed size, promptly (the ctest timeout bounds it) and within a few MB,
// for every algorithm.
TEST(DecompressBuffer, BombsFailAtTheExpectedSizeWithBoundedMemory) {
    for (uint8_t alg : {CompressionZlib, CompressionBZip, CompressionPPM}) {
        std::string packed;
        if (alg == CompressionPPM) {
            const std::string zeros(8 << 20, '\0');
            uint8_t* out = nullptr;
            int32_t outSize = 0;
            ASSERT_TRUE(CompressBuffer(alg, 1, zeros.data(), int32_t(zeros.size()), out, outSize));
            TBuf guard(out);
            packed.assign(reinterpret_cast<const char*>(out), size_t(outSize));
        } else {
            packed = ZeroBomb(alg, int64_t(256) << 20);
        }
        ASSERT_LT(packed.size(), 300000u) << int(alg);
        bool ok = true;
        const long growthKB = ChildPeakGrowthKB(
            [&] {
                uint8_t* back = nullptr;
                int32_t backSize = 100000;
                const bool r = DecompressBuffer(alg, packed.data(), int32_t(packed.size()), back, backSize);
                TBuf guard(back);
                return r || back != nullptr || backSize != 0;
            },
            ok);
        EXPECT_FALSE(ok) << int(alg);
        EXPECT_GE(growthKB, 0) << int(alg);
        EXPECT_LT(growthKB, 32 * 1024) << int(alg);
    }
}

// The expected size is the bound: exactly that much succeeds, one byte less fails, a
// larger one returns the shorter size; sizes past the first buffer (1.5 MB) grow to
// fit; no expected size is a failure.
TEST(DecompressBuffer, ExpectedSizeIsTheBound) {
    const std::string text = testtext::EnglishText(3 << 20, 11);
    for (uint8_t alg : {CompressionZlib, CompressionBZip, CompressionPPM}) {
        // The PPM coder keeps its own bound; a small size keeps it quick.
        const std::vector<int32_t> sizes =
            alg == CompressionPPM ? std::vector<int32_t>{1000, 20000} : std::vector<int32_t>{1000, 1572864, 1572865, 3 << 20};
        for (int32_t n : sizes) {
            uint8_t* out = nullptr;
            int32_t outSize = 0;
            ASSERT_TRUE(CompressBuffer(alg, 1, text.data(), n, out, outSize));
            TBuf packed(out);
            struct { int32_t expected; bool ok; int32_t size; } cases[] = {
                {n, true, n}, {n - 1, false, 0}, {n + 1, true, n}, {INT32_MAX, true, n}, {0, false, 0}, {-1, false, 0}};
            for (const auto& c : cases) {
                uint8_t* back = nullptr;
                int32_t backSize = c.expected;
                const bool ok = DecompressBuffer(alg, out, outSize, back, backSize);
                TBuf restored(back);
                EXPECT_EQ(ok, c.ok) << int(alg) << " " << n << " " << c.expected;
                EXPECT_EQ(backSize, c.size) << int(alg) << " " << n << " " << c.expected;
                if (ok) {
                    EXPECT_EQ(std::memcmp(back, text.data(), size_t(n)), 0);
                }
            }
        }
    }
}
