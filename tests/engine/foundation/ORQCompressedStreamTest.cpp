#include "engine/foundation/ORQCompressedStream.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "EnglishText.h"
#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQExcept.h"

using namespace orq;

namespace {

std::string Bytes(TORQMemoryStream& s, int64_t from, int64_t count) {
    return std::string(reinterpret_cast<const char*>(s.Memory()) + from, size_t(count));
}

TORQCompressedStreamBlockHeader HeaderAt(TORQMemoryStream& base, int64_t position) {
    return TORQCompressedStreamBlockHeader::FromBytes(base.Memory() + position);
}

int32_t CodeOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EORQException& e) {
        return e.NativeError();
    }
    return 0;
}

TORQBLOBDescriptor NewDescriptor(uint8_t alg, uint8_t mode, int32_t blockSize, int64_t start = 0) {
    TORQBLOBDescriptor d;
    d.CompressionAlgorithm = alg;
    d.CompressionMode = mode;
    d.BlockSize = blockSize;
    d.StartOffset = start;
    return d;
}

std::string ReadAll(TORQStream& s) {
    std::string out(size_t(s.Size()), '\0');
    s.Seek(0, soBeginning);
    EXPECT_EQ(s.Read(out.data(), int64_t(out.size())), int64_t(out.size()));
    return out;
}

// A compressed value of 250000 bytes at block size 102400 behind a 7-byte prefix
// of the base stream; parameter: the algorithm.
class CompressedBLOB : public ::testing::TestWithParam<int> {
protected:
    void SetUp() override {
        Data = testtext::EnglishText(400000, 77);
        Base.Write("prefix!", 7);
        Stream = std::make_unique<TORQCompressedBLOBStream>(Base, NewDescriptor(Alg(), 1, 102400, 7), true, false);
        ASSERT_EQ(Stream->Write(Data.data(), 250000), 250000);
    }
    uint8_t Alg() const { return uint8_t(GetParam()); }
    // The stored value, read through a fresh stream over the stored descriptor.
    std::string Reopened() {
        TORQCompressedBLOBStream again(Base, Stream->Descriptor(), false, false);
        return ReadAll(again);
    }
    std::vector<int32_t> BlockSizes() {
        std::vector<int32_t> sizes;
        for (int64_t b = 0; b < Stream->Headers().Count(); ++b) {
            const int64_t pos = Stream->Headers().HeaderPosition(b);
            const auto h = HeaderAt(Base, pos);
            EXPECT_EQ(h.Distance, int64_t(h.CompressedSize) + 20);
            if (b + 1 < Stream->Headers().Count()) {
                EXPECT_EQ(Stream->Headers().HeaderPosition(b + 1), pos + h.Distance);
            }
            sizes.push_back(h.UncompressedSize);
        }
        return sizes;
    }

    std::string Data;
    TORQMemoryStream Base;
    std::unique_ptr<TORQCompressedBLOBStream> Stream;
};

TEST_P(CompressedBLOB, WritesFullBlocksAndAPartialLastOne) {
    EXPECT_EQ(BlockSizes(), (std::vector<int32_t>{102400, 102400, 45200}));
    EXPECT_EQ(Stream->Descriptor().BlockCount, 3);
    EXPECT_EQ(Stream->Descriptor().UncompressedSize, 250000);
    EXPECT_EQ(Stream->Size(), 250000);
    EXPECT_LT(Stream->CompressedSize(), 250000);
    EXPECT_DOUBLE_EQ(Stream->CompressionRatio(), (1.0 - double(Stream->CompressedSize()) / 250000.0) * 100.0);
    EXPECT_EQ(Bytes(Base, 0, 7), "prefix!");
    EXPECT_EQ(Reopened(), Data.substr(0, 250000));
}

TEST_P(CompressedBLOB, AppendRewritesOnlyTheLastBlock) {
    const std::string firstTwo = Bytes(Base, 7, Stream->Headers().HeaderPosition(2) - 7);
    ASSERT_EQ(Stream->Seek(0, soEnd), 250000);
    ASSERT_EQ(Stream->Write(Data.data() + 250000, 100), 100);
    EXPECT_EQ(BlockSizes(), (std::vector<int32_t>{102400, 102400, 45300}));
    EXPECT_EQ(Bytes(Base, 7, int64_t(firstTwo.size())), firstTwo);
    ASSERT_EQ(Stream->Write(Data.data() + 250100, 60000), 60000);
    EXPECT_EQ(BlockSizes(), (std::vector<int32_t>{102400, 102400, 102400, 2900}));
    EXPECT_EQ(Stream->Descriptor().BlockCount, 4);
    EXPECT_EQ(Stream->Descriptor().UncompressedSize, 310100);
    EXPECT_EQ(Reopened(), Data.substr(0, 310100));
}

TEST_P(CompressedBLOB, WritesBelowTheEndAreRefused) {
    Stream->Seek(1000, soBeginning);
    EXPECT_EQ(Stream->Write("x", 1), 0);
    EXPECT_EQ(Stream->Size(), 250000);
    EXPECT_EQ(Reopened(), Data.substr(0, 250000));
}

TEST_P(CompressedBLOB, ReadsAnywhereAcrossBlocks) {
    for (int64_t from : {int64_t(0), int64_t(102399), int64_t(150000), int64_t(204799), int64_t(249990)}) {
        std::string got(70000, '\0');
        EXPECT_EQ(Stream->Seek(from, soBeginning), from);
        const int64_t n = Stream->Read(got.data(), 70000);
        EXPECT_EQ(n, std::min<int64_t>(70000, 250000 - from));
        EXPECT_EQ(got.substr(0, size_t(n)), Data.substr(size_t(from), size_t(n)));
        EXPECT_EQ(Stream->Position(), from + n);
    }
    Stream->Seek(260000, soBeginning);
    char c;
    EXPECT_EQ(Stream->Read(&c, 1), 0);
    EXPECT_EQ(Stream->Seek(-5, soBeginning), 0);
}

TEST_P(CompressedBLOB, WritingBeyondTheEndFillsTheGapWithZeros) {
    ASSERT_EQ(Stream->Seek(300000, soBeginning), 300000);
    ASSERT_EQ(Stream->Write("0123456789", 10), 10);
    EXPECT_EQ(Stream->Size(), 300010);
    EXPECT_EQ(Stream->Descriptor().UncompressedSize, 300010);
    const std::string all = Reopened();
    EXPECT_EQ(all.substr(0, 250000), Data.substr(0, 250000));
    EXPECT_EQ(all.substr(250000, 50000), std::string(50000, '\0'));
    EXPECT_EQ(all.substr(300000), "0123456789");
}

TEST_P(CompressedBLOB, TruncatesAtABlockBoundaryWithoutCuttingTheBase) {
    const int64_t baseSize = Base.Size();
    Stream->SetSize(204800);
    EXPECT_EQ(Stream->Descriptor().BlockCount, 2);
    EXPECT_EQ(Stream->Headers().Count(), 2);
    EXPECT_EQ(Base.Size(), baseSize);
    EXPECT_EQ(Reopened(), Data.substr(0, 204800));
}

TEST_P(CompressedBLOB, TruncatesInsideABlockAndCutsTheBaseBehindIt) {
    Stream->Seek(0, soEnd);
    Stream->SetSize(150000);
    EXPECT_EQ(Stream->Position(), 150000);
    EXPECT_EQ(BlockSizes(), (std::vector<int32_t>{102400, 47600}));
    const int64_t second = Stream->Headers().HeaderPosition(1);
    EXPECT_EQ(Base.Size(), second + 20 + HeaderAt(Base, second).CompressedSize);
    EXPECT_EQ(Reopened(), Data.substr(0, 150000));
    // Appending after a truncation continues the value.
    ASSERT_EQ(Stream->Write(Data.data() + 150000, 100000), 100000);
    EXPECT_EQ(Reopened(), Data.substr(0, 250000));
}

TEST_P(CompressedBLOB, ExtendsWithZeros) {
    Stream->SetSize(260000);
    EXPECT_EQ(Stream->Size(), 260000);
    EXPECT_EQ(BlockSizes(), (std::vector<int32_t>{102400, 102400, 55200}));
    EXPECT_EQ(Reopened(), Data.substr(0, 250000) + std::string(10000, '\0'));
}

TEST_P(CompressedBLOB, AlteredStoredBytesFailTheRead) {
    const int64_t second = Stream->Headers().HeaderPosition(1);
    Base.Memory()[second + 20 + HeaderAt(Base, second).CompressedSize / 2] ^= 0x24;
    TORQCompressedBLOBStream again(Base, Stream->Descriptor(), false, false);
    std::string head(1000, '\0');
    EXPECT_EQ(again.Read(head.data(), 1000), 1000);  // block 0 is intact
    again.Seek(110000, soBeginning);
    const int32_t code = CodeOf([&] { again.Read(head.data(), 1000); });
    EXPECT_TRUE(code == 10089 || code == 10087 || code == 10088) << code;
}

INSTANTIATE_TEST_SUITE_P(Algorithms, CompressedBLOB, ::testing::Values(1, 2, 3),
                         [](const auto& info) { return std::string(info.param == 1 ? "Zlib" : info.param == 2 ? "BZip2" : "PPM"); });

}  // namespace

TEST(CompressedBLOBStream, DescriptorAndFirstHeaderBytes) {
    const std::string data = testtext::EnglishText(150000, 5);
    TORQMemoryStream base;
    base.Write("xyz", 3);
    TORQBLOBDescriptor d = NewDescriptor(1, 6, 102400, 3);
    d.Unused[0] = 0xAB;
    TORQCompressedBLOBStream s(base, d, true, false);
    ASSERT_EQ(s.Write(data.data(), int64_t(data.size())), int64_t(data.size()));
    uint8_t bytes[32];
    s.Descriptor().ToBytes(bytes);
    const uint8_t want[32] = {0x00, 0x90, 0x01, 0x00,                          // block size 102400
                              0x02, 0, 0, 0, 0, 0, 0, 0,                       // block count 2
                              0xF0, 0x49, 0x02, 0x00, 0, 0, 0, 0,              // size 150000
                              0x03, 0, 0, 0, 0, 0, 0, 0,                       // start offset 3
                              0x01, 0x06, 0xAB, 0x00};                         // zlib, level 6, untouched
    EXPECT_EQ(std::memcmp(bytes, want, 32), 0);
    EXPECT_EQ(TORQBLOBDescriptor::FromBytes(want).StartOffset, 3);

    // First header at the start offset, then the zlib data of block 0.
    const uint8_t* h = base.Memory() + 3;
    uint8_t* packed = nullptr;
    int32_t packedSize = 0;
    ASSERT_TRUE(CompressBuffer(1, 6, data.data(), 102400, packed, packedSize));
    uint8_t wantHeader[20];
    for (int i = 0; i < 4; ++i) wantHeader[i] = uint8_t(uint32_t(packedSize) >> (8 * i));
    for (int i = 0; i < 4; ++i) wantHeader[4 + i] = uint8_t(uint32_t(102400) >> (8 * i));
    const uint32_t crc = CRC32(0, data.data(), 102400);
    for (int i = 0; i < 4; ++i) wantHeader[8 + i] = uint8_t(crc >> (8 * i));
    const uint64_t distance = uint64_t(packedSize) + 20;
    for (int i = 0; i < 8; ++i) wantHeader[12 + i] = uint8_t(distance >> (8 * i));
    EXPECT_EQ(std::memcmp(h, wantHeader, 20), 0);
    EXPECT_EQ(std::memcmp(h + 20, packed, size_t(packedSize)), 0);
    std::free(packed);
}

TEST(CompressedBLOBStream, DefaultBlockSizesByMode) {
    const std::pair<int, int32_t> cases[] = {{0, 102400},  {1, 524288},  {3, 524288},  {4, 1048576},
                                             {6, 1048576}, {7, 1572864}, {9, 1572864}, {255, 1572864}};
    for (const auto& [mode, want] : cases) EXPECT_EQ(DefaultCompressedBlockSize(uint8_t(mode)), want) << mode;
    TORQMemoryStream base;
    TORQCompressedBLOBStream s(base, NewDescriptor(1, 5, 0), true, false);
    EXPECT_EQ(s.BlockSize(), 1048576);
    EXPECT_EQ(s.Descriptor().BlockSize, 1048576);
}

TEST(CompressedBLOBStream, PlainValueOverAShortBaseNeedsTolerance) {
    TORQMemoryStream base;
    base.Write("ab", 2);
    base.Write(std::string(900, 'p').data(), 900);
    TORQBLOBDescriptor d = NewDescriptor(0, 0, 0, 2);
    d.UncompressedSize = 1000;
    EXPECT_EQ(CodeOf([&] { TORQCompressedBLOBStream s(base, d, false, false); }), 10081);
    TORQCompressedBLOBStream s(base, d, false, true);
    EXPECT_EQ(s.Size(), 1000);
    std::string got(1000, '\0');
    EXPECT_EQ(s.Read(got.data(), 1000), 900);
}

TEST(CompressedBLOBStream, PlainReadsStopAtTheValuesSize) {
    TORQMemoryStream base;
    base.Write("0123456789", 10);
    TORQBLOBDescriptor d = NewDescriptor(0, 0, 0, 2);
    d.UncompressedSize = 5;
    TORQCompressedBLOBStream s(base, d, false, false);
    char got[10] = {};
    EXPECT_EQ(s.Read(got, 10), 5);
    EXPECT_EQ(std::string(got, 5), "23456");
    EXPECT_EQ(s.Read(got, 10), 0);
    s.Seek(3, soBeginning);
    EXPECT_EQ(s.Write("xyz", 3), 3);
    EXPECT_EQ(s.Size(), 6);  // the end of the write, not the base's trailing bytes
    EXPECT_EQ(std::string(reinterpret_cast<char*>(base.Memory()), 10), "01234xyz89");
    s.SetSize(4);
    EXPECT_EQ(base.Size(), 6);
}

TEST(CompressedBLOBStream, ShortHeadersNeedToleranceAndKeepTheCompleteBlocks) {
    const std::string data = testtext::EnglishText(250000, 9);
    TORQMemoryStream base;
    TORQCompressedBLOBStream s(base, NewDescriptor(1, 1, 102400), true, false);
    s.Write(data.data(), int64_t(data.size()));
    const TORQBLOBDescriptor d = s.Descriptor();
    base.SetSize(s.Headers().HeaderPosition(2) + 10);  // the third header is cut
    EXPECT_EQ(CodeOf([&] { TORQCompressedBLOBStream t(base, d, false, false); }), 10082);
    TORQCompressedBLOBStream t(base, d, false, true);
    EXPECT_EQ(t.Descriptor().BlockCount, 2);
    EXPECT_EQ(t.Size(), 204800);
    EXPECT_EQ(ReadAll(t), data.substr(0, 204800));
}

// Sizes, distances and counts read from disk must not steer allocations or loops.
TEST(CompressedBLOBStream, CorruptDescriptorsAndHeadersRaiseCorruption) {
    const std::string data = testtext::EnglishText(250000, 13);
    TORQMemoryStream base;
    TORQCompressedBLOBStream s(base, NewDescriptor(2, 1, 102400), true, false);
    s.Write(data.data(), int64_t(data.size()));
    const TORQBLOBDescriptor good = s.Descriptor();
    const std::vector<uint8_t> stored(base.Memory(), base.Memory() + base.Size());
    auto open = [&](const TORQBLOBDescriptor& d, bool tolerate) {
        return CodeOf([&] {
            TORQCompressedBLOBStream t(base, d, false, tolerate);
            std::string all(size_t(t.Size()), '\0');
            t.Read(all.data(), t.Size());
        });
    };
    auto patchHeader = [&](int64_t block, int offset, uint64_t value, int width) {
        std::memcpy(base.Memory(), stored.data(), stored.size());
        const int64_t at = s.Headers().HeaderPosition(block) + offset;
        for (int i = 0; i < width; ++i) base.Memory()[at + i] = uint8_t(value >> (8 * i));
    };

    TORQBLOBDescriptor d = good;
    d.BlockSize = 0;
    EXPECT_EQ(open(d, false), 10087);
    d = good;
    d.BlockSize = 0x7FFFFFFF;
    EXPECT_EQ(open(d, false), 10087);
    d = good;
    d.BlockCount = -1;
    EXPECT_EQ(open(d, false), 10087);
    d = good;
    d.BlockCount = int64_t(1) << 40;  // runs out of base stream, promptly
    EXPECT_EQ(open(d, false), 10082);

    patchHeader(1, 0, 0x7FFFFFF0, 4);  // compressed size far beyond the base stream
    EXPECT_EQ(open(good, false), 10087);
    patchHeader(1, 4, 0x7FFFFFF0, 4);  // uncompressed size beyond the block size
    EXPECT_EQ(open(good, false), 10087);
    patchHeader(0, 4, 1000, 4);  // a short block that is not the last
    EXPECT_EQ(open(good, false), 10087);
    patchHeader(1, 12, 0, 8);  // distance 0: the next header would be this one again
    EXPECT_EQ(open(good, false), 10087);
    patchHeader(2, 8, 12345, 4);  // wrong CRC
    EXPECT_EQ(open(good, false), 10089);
    patchHeader(2, 0, 100, 4);  // compressed size too small for the data (distance keeps the walk)
    const int32_t code = open(good, false);
    EXPECT_TRUE(code == 10087 || code == 10088) << code;
    std::memcpy(base.Memory(), stored.data(), stored.size());
    EXPECT_EQ(open(good, false), 0);
}

TEST(CompressedBLOBStreamBlockHeadersArray, GrowsShrinksAndFinds) {
    TORQCompressedStreamBlockHeadersArray a;
    EXPECT_EQ(a.Find(100), 0);
    for (int i = 0; i < 25; ++i) a.Add({}, 1000 + 100 * i);
    EXPECT_EQ(a.Count(), 25);
    EXPECT_EQ(a.Capacity(), 30);  // 10, then 10 + 20
    EXPECT_EQ(a.GrowStep, 40);
    EXPECT_EQ(a.Find(999), 0);
    EXPECT_EQ(a.Find(1000), 0);
    EXPECT_EQ(a.Find(1250), 2);
    EXPECT_EQ(a.Find(99999), 24);
    a.SetCount(5);
    EXPECT_EQ(a.Capacity(), 5);
    EXPECT_EQ(a.ShrinkStep, 20);
    EXPECT_EQ(a.HeaderPosition(4), 1400);
    a.SetCount(0);
    EXPECT_EQ(a.Capacity(), 0);
}

// A distance that points past the base stream (or past any position) would place the
// next append there; it is refused on open, or cut off by a tolerant open.
TEST(CompressedBLOBStream, DistancesBeyondTheBaseStreamAreRefused) {
    const std::string data = testtext::EnglishText(204800, 21);
    TORQMemoryStream base;
    TORQCompressedBLOBStream s(base, NewDescriptor(1, 1, 102400), true, false);
    s.Write(data.data(), int64_t(data.size()));
    const TORQBLOBDescriptor d = s.Descriptor();
    const int64_t last = s.Headers().HeaderPosition(1);
    const std::vector<uint8_t> stored(base.Memory(), base.Memory() + base.Size());
    for (uint64_t distance : {uint64_t(1) << 40, uint64_t(INT64_MAX)}) {
        std::memcpy(base.Memory(), stored.data(), stored.size());
        for (int i = 0; i < 8; ++i) base.Memory()[last + 12 + i] = uint8_t(distance >> (8 * i));
        EXPECT_EQ(CodeOf([&] { TORQCompressedBLOBStream t(base, d, false, false); }), 10083) << distance;
        TORQCompressedBLOBStream t(base, d, false, true);
        EXPECT_EQ(t.Descriptor().BlockCount, 1);
        EXPECT_EQ(t.Size(), 102400);
        t.Seek(0, soEnd);
        ASSERT_EQ(t.Write("tail", 4), 4);
        EXPECT_EQ(t.Headers().HeaderPosition(1), last);  // over the dropped block
        EXPECT_EQ(base.Size(), int64_t(stored.size()));
    }
}

TEST(CompressedBLOBStream, SeeksBeyondAnyPositionLeaveThePosition) {
    TORQMemoryStream base;
    base.Write("0123456789", 10);
    TORQBLOBDescriptor plain = NewDescriptor(0, 0, 0, 2);
    plain.UncompressedSize = 8;
    TORQCompressedBLOBStream p(base, plain, false, false);
    EXPECT_EQ(p.Seek(3, soBeginning), 3);
    EXPECT_EQ(p.Seek(INT64_MAX, soBeginning), 3);
    EXPECT_EQ(p.Seek(INT64_MAX, soCurrent), 3);
    EXPECT_EQ(p.Seek(INT64_MIN, soCurrent), 0);

    const std::string data = testtext::EnglishText(1000, 2);
    TORQMemoryStream zbase;
    TORQCompressedBLOBStream z(zbase, NewDescriptor(1, 1, 4096), true, false);
    z.Write(data.data(), 1000);
    EXPECT_EQ(z.Seek(10, soBeginning), 10);
    EXPECT_EQ(z.Seek(INT64_MAX, soCurrent), 10);
    EXPECT_EQ(z.Seek(INT64_MAX, soEnd), 10);
    EXPECT_EQ(z.Seek(INT64_MIN, soEnd), 0);
}

// A block that cannot be compressed leaves the table and the descriptor describing
// the blocks that are stored.
TEST(CompressedBLOBStream, FailedCompressionLeavesTheStoredBlocks) {
    TORQMemoryStream empty;
    TORQCompressedBLOBStream bad(empty, NewDescriptor(7, 1, 1000), true, false);
    EXPECT_EQ(CodeOf([&] { bad.Write("abc", 3); }), 10085);
    EXPECT_EQ(bad.Headers().Count(), 0);
    EXPECT_EQ(bad.Descriptor().BlockCount, 0);
    EXPECT_EQ(bad.Size(), 0);

    const std::string data = testtext::EnglishText(3000, 4);
    TORQMemoryStream base;
    TORQCompressedBLOBStream s(base, NewDescriptor(1, 1, 1000), true, false);
    ASSERT_EQ(s.Write(data.data(), 2000), 2000);
    TORQBLOBDescriptor d = s.Descriptor();
    d.CompressionAlgorithm = 7;
    TORQCompressedBLOBStream t(base, d, false, false);
    t.Seek(0, soEnd);
    EXPECT_EQ(CodeOf([&] { t.Write(data.data() + 2000, 1000); }), 10085);
    EXPECT_EQ(t.Headers().Count(), 2);
    EXPECT_EQ(t.Descriptor().BlockCount, 2);
    EXPECT_EQ(t.Descriptor().UncompressedSize, 2000);
    EXPECT_EQ(t.Size(), 2000);
}

// Storage stores a BLOB only when its stream says it was modified.
TEST(CompressedBLOBStream, ModifiedFlagFollowsAppendsAndSizeChangesOnly) {
    const std::string data = testtext::EnglishText(5000, 8);
    TORQMemoryStream base;
    TORQCompressedBLOBStream s(base, NewDescriptor(1, 1, 1024), true, false);
    EXPECT_FALSE(s.Modified());
    ASSERT_EQ(s.Write(data.data(), 3000), 3000);
    EXPECT_TRUE(s.Modified());
    s.SetModified(false);
    s.Seek(10, soBeginning);
    EXPECT_EQ(s.Write("x", 1), 0);  // below the end: refused, nothing changed
    char c;
    s.Read(&c, 1);
    EXPECT_FALSE(s.Modified());
    s.Seek(4000, soBeginning);  // a write beyond the end fills the gap first
    ASSERT_EQ(s.Write("y", 1), 1);
    EXPECT_TRUE(s.Modified());
    for (int64_t size : {int64_t(2000), int64_t(2500), int64_t(0)}) {
        s.SetModified(false);
        s.SetSize(size);
        EXPECT_TRUE(s.Modified()) << size;
        EXPECT_EQ(s.Size(), size);
    }
}
