#include "engine/foundation/ORQPPM.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "EnglishText.h"
#include "engine/foundation/ORQCompression.h"

using namespace orq;

namespace {

std::vector<uint8_t> Compress(const std::string& data, uint8_t mode) {
    const TPPMParams p = PPMModeParams(mode);
    std::vector<uint8_t> out(data.size() + data.size() / 20 + 50);
    const int32_t n = PPMCompress(reinterpret_cast<const uint8_t*>(data.data()), int32_t(data.size()), out.data(),
                                  int32_t(out.size()), p.MaxOrder, p.MemoryMB);
    out.resize(size_t(n));
    return out;
}

std::string Decompress(const std::vector<uint8_t>& packed, size_t capacity) {
    std::string out(capacity, '\0');
    const int32_t n = PPMDecompress(packed.data(), int32_t(packed.size()), reinterpret_cast<uint8_t*>(out.data()),
                                    int32_t(out.size()));
    out.resize(size_t(n));
    return out;
}

uint32_t Word(const std::vector<uint8_t>& s) { return s[0] | s[1] << 8 | s[2] << 16 | uint32_t(s[3]) << 24; }

}  // namespace

TEST(PPMCompress, ModesWriteTheirParameterWords) {
    const uint32_t want[10] = {0, 0x6011, 0x6022, 0x6063, 0x60F4, 0x6156, 0x6187, 0x6279, 0x663C, 0x663F};
    const TPPMParams params[10] = {{0, 0}, {2, 2}, {3, 3}, {4, 7}, {5, 16}, {7, 22}, {8, 25}, {10, 40}, {13, 100}, {16, 100}};
    for (uint8_t mode = 1; mode <= 9; ++mode) {
        EXPECT_EQ(PPMModeParams(mode).MaxOrder, params[mode].MaxOrder);
        EXPECT_EQ(PPMModeParams(mode).MemoryMB, params[mode].MemoryMB);
        const auto packed = Compress("parameter word", mode);
        ASSERT_GE(packed.size(), 8u);
        EXPECT_EQ(Word(packed), want[mode]) << int(mode);
    }
    EXPECT_EQ(PPMModeParams(0).MaxOrder, 0);
    EXPECT_EQ(PPMModeParams(10).MaxOrder, 0);
}

TEST(PPMCompress, EmptyInputIsTheWordTheEndSymbolAndTheFlush) {
    const auto packed = Compress("", 5);
    ASSERT_GE(packed.size(), 8u);
    EXPECT_EQ(Word(packed), 0x6156u);
    EXPECT_LE(packed.size(), 12u);
    EXPECT_EQ(Decompress(packed, 16), "");
}

TEST(PPMDecompress, RefusesOtherVariants) {
    auto packed = Compress("variant G only", 4);
    ASSERT_FALSE(packed.empty());
    EXPECT_EQ(Decompress(packed, 64), "variant G only");
    for (uint8_t variant : {0, 5, 7, 8, 15}) {
        auto other = packed;
        other[1] = uint8_t((other[1] & 0x0F) | variant << 4);
        EXPECT_EQ(Decompress(other, 64), "") << int(variant);
    }
    EXPECT_EQ(PPMDecompress(packed.data(), 3, reinterpret_cast<uint8_t*>(packed.data()), 0), 0);
}

// Mode 1 has a 2 MB model: several megabytes of varied text restart it several
// times, and the decoder must restart at the same bytes.
TEST(PPMCompress, SurvivesModelRestarts) {
    std::string text;
    for (uint64_t seed = 11; text.size() < (3u << 20); ++seed) text += testtext::EnglishText(300000, seed) + testtext::RandomBytes(60000, seed);
    const auto packed = Compress(text, 1);
    ASSERT_FALSE(packed.empty());
    EXPECT_LT(packed.size(), text.size());
    EXPECT_EQ(Decompress(packed, text.size()), text);
}

TEST(PPMCompress, NeverWritesBeyondItsCapacity) {
    const std::string noise = testtext::RandomBytes(20000);
    for (size_t capacity : {size_t(3), size_t(4), size_t(100), size_t(19000)}) {
        std::vector<uint8_t> out(capacity);  // exact size: a write past it is caught by the sanitizer
        EXPECT_EQ(PPMCompress(reinterpret_cast<const uint8_t*>(noise.data()), int32_t(noise.size()), out.data(),
                              int32_t(out.size()), 5, 22),
                  0);
    }
}

TEST(PPMDecompress, StopsAtItsCapacity) {
    const std::string text = testtext::EnglishText(50000);
    const auto packed = Compress(text, 6);
    EXPECT_EQ(Decompress(packed, text.size() - 1), "");  // more data than room: a failure
    EXPECT_EQ(Decompress(packed, text.size()), text);
    uint8_t* out = nullptr;
    EXPECT_EQ(PPMDecompressAlloc(packed.data(), int32_t(packed.size()), int32_t(text.size()) - 1, out), 0);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(PPMDecompressAlloc(packed.data(), int32_t(packed.size()), INT32_MAX, out), int32_t(text.size()));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), text.size()), text);
    std::free(out);
}

TEST(PPMCompress, ThreadsShareNoState) {
    const std::string a = testtext::EnglishText(300000, 21), b = testtext::EnglishText(300000, 22);
    const auto wantA = Compress(a, 6), wantB = Compress(b, 6);
    std::vector<uint8_t> gotA, gotB;
    std::thread t1([&] { gotA = Compress(a, 6); });
    std::thread t2([&] { gotB = Compress(b, 6); });
    t1.join();
    t2.join();
    EXPECT_EQ(gotA, wantA);
    EXPECT_EQ(gotB, wantB);
}

// The point of the PPM coder: clearly smaller than bzip2 on text at its larger orders.
TEST(PPMCompress, BeatsBZip2OnEnglishText) {
    const std::string text = testtext::EnglishText(1 << 20, 31);
    uint8_t* bz = nullptr;
    int32_t bzSize = 0;
    ASSERT_TRUE(CompressBuffer(2, 9, text.data(), int32_t(text.size()), bz, bzSize));
    std::free(bz);
    for (uint8_t mode : {5, 7, 9}) {
        const auto packed = Compress(text, mode);
        EXPECT_LT(double(packed.size()), 0.9 * bzSize) << int(mode);
    }
}

namespace {

std::string FixtureFile(const std::string& name) {
    std::ifstream in(std::string(TILO_SOURCE_DIR) + "/tests/engine/foundation/fixtures/" + name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

// Streams stored by this coder, one per mode, kept as files: every later build must
// read them back and write the same bytes again, or stored values become unreadable.
TEST(PPMStoredStreams, EveryModeReadsAndWritesItsFixture) {
    const std::string input = FixtureFile("ppm_input.txt");
    ASSERT_EQ(input.size(), 731u);
    for (uint8_t mode = 1; mode <= 9; ++mode) {
        const std::string stored = FixtureFile("ppm_mode" + std::to_string(mode) + ".bin");
        ASSERT_GT(stored.size(), 4u) << int(mode);
        const std::vector<uint8_t> packed(stored.begin(), stored.end());
        EXPECT_EQ(Word(packed), PPMParameterWord(PPMModeParams(mode).MaxOrder, PPMModeParams(mode).MemoryMB));
        EXPECT_TRUE(Decompress(packed, input.size()) == input) << int(mode);
        EXPECT_TRUE(Compress(input, mode) == packed) << int(mode);
    }
}
