// Internal files: the chain geometry and header bytes as they reach the file, compressed
// round trips, damaged content, headers and chains, shrinking, the in-place direct file's
// reads, writes and byte-lock probes, and the closed-file errors.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "DiskPageFixture.h"
#include "engine/foundation/ORQCompression.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using diskpages::Database;
using diskpages::LE32;

namespace {

constexpr int64_t Page0 = 380;
constexpr int64_t PageSize = 4096;

int64_t At(int32_t PageNo, int32_t Offset) { return Page0 + PageNo * PageSize + Offset; }

std::vector<uint8_t> Pattern(int32_t Count, bool Compressible) {
    std::vector<uint8_t> v(static_cast<std::size_t>(Count));
    uint32_t x = 12345;
    for (std::size_t i = 0; i < v.size(); ++i) {
        x = x * 1103515245u + 12345u;
        v[i] = Compressible ? static_cast<uint8_t>("NAVTEX "[i % 7]) : static_cast<uint8_t>(x >> 24);
    }
    return v;
}

// A transacted file of type 8 written with Data for session 1 and committed; its first page.
int32_t WriteCommitted(TORQDiskPageManager& M, const std::vector<uint8_t>& Data, uint8_t Algorithm = 0) {
    TORQInternalDBTransactedAccessFile f(M, ptTableMetaData);
    f.CreateFile(1);
    f.WriteFile(1, Data.data(), 6, Algorithm, static_cast<int32_t>(Data.size()));
    M.CommitSession(1);
    return f.FirstPage();
}

std::vector<uint8_t> ReadBack(TORQDiskPageManager& M, int32_t First, int32_t Count) {
    TORQInternalDBTransactedAccessFile f(M, ptTableMetaData);
    f.OpenFile(First);
    std::vector<uint8_t> out(static_cast<std::size_t>(Count));
    f.ReadFile(1, out.data(), true, Count);
    return out;
}

// The message as raised: the text, then the code.
template <typename F>
void ExpectError(F&& Call, int32_t Code, const std::string& Text) {
    ExpectNative(Call, Code, Text + " - Native error: " + std::to_string(Code));
}

}  // namespace

TEST(InternalFiles, TransactedChainAndHeaderReachTheFileAsLaidOut) {
    struct Case {
        int32_t Bytes;
        std::vector<int32_t> Chain;  // a fresh file hands out 2, 3, 4, ...
    };
    const Case cases[] = {{0, {2}}, {500, {2}}, {4046, {2}}, {4047, {2, 3}}, {6000, {2, 3}}, {8102, {2, 3}},
                          {8103, {2, 3, 4}}};
    for (const Case& c : cases) {
        Database db;
        const std::vector<uint8_t> data = Pattern(c.Bytes, false);
        {
            auto m = db.Open(false);
            EXPECT_EQ(WriteCommitted(*m, data), 2);
            m->CloseDatabaseFile();
        }
        const std::vector<uint8_t> file = db.File();
        for (std::size_t i = 0; i < c.Chain.size(); ++i) {
            const int32_t next = i + 1 < c.Chain.size() ? c.Chain[i + 1] : -1;
            EXPECT_EQ(LE32(file, At(c.Chain[i], 10)), next) << c.Bytes << " bytes, chain page " << i;
            EXPECT_EQ(file.at(At(c.Chain[i], 8)), ptTableMetaData);
        }
        EXPECT_EQ(file.at(At(2, 40)), 10) << "header length";
        EXPECT_EQ(LE32(file, At(2, 41)), c.Bytes) << "stored count";
        EXPECT_EQ(LE32(file, At(2, 45)), c.Bytes) << "uncompressed count";
        EXPECT_EQ(file.at(At(2, 49)), 0) << "algorithm";
        if (c.Bytes > 0) {
            EXPECT_EQ(file.at(At(2, 50)), data[0]);
        }
        // Content position U - 10 is data offset 0 of the second page.
        if (c.Bytes > 4046) {
            EXPECT_EQ(file.at(At(3, 40)), data[4046]) << c.Bytes;
        }
        auto m = db.Open(false);
        EXPECT_EQ(ReadBack(*m, 2, c.Bytes), data) << c.Bytes;
    }
}

TEST(InternalFiles, CompressedContentRoundTripsAndReadsAreBoundedByTheUncompressedCount) {
    for (uint8_t algorithm : {uint8_t{CompressionZlib}, uint8_t{CompressionBZip}, uint8_t{CompressionPPM}}) {
        Database db;
        auto m = db.Open(false);
        const std::vector<uint8_t> data = Pattern(20000, true);
        const int32_t first = WriteCommitted(*m, data, algorithm);
        TORQInternalDBTransactedAccessFile f(*m, ptTableMetaData);
        f.OpenFile(first);
        int32_t stored = 0, plain = 0;
        uint8_t alg = 0;
        f.GetSize(1, true, stored, alg, plain);
        EXPECT_EQ(alg, algorithm);
        EXPECT_EQ(plain, 20000);
        EXPECT_LT(stored, 4046) << "compressed text fits the first page";
        EXPECT_EQ(db.PageBytes(first).at(10), 0xFF) << "one page: next is -1";
        EXPECT_EQ(ReadBack(*m, first, 20000), data);
        std::vector<uint8_t> part(100);
        f.ReadFile(1, part.data(), true, 100);
        EXPECT_TRUE(std::equal(part.begin(), part.end(), data.begin()));
        std::vector<uint8_t> more(20001);
        ExpectError([&] { f.ReadFile(1, more.data(), true, 20001); }, 30387,
                     "Cannot Read internal file. FileSize=20000. ReadSize=20001");
    }
}

TEST(InternalFiles, DamagedCompressedContentRaises20189) {
    Database db;
    int32_t first = 0;
    {
        auto m = db.Open(false);
        first = WriteCommitted(*m, Pattern(20000, true), CompressionZlib);
        m->CloseDatabaseFile();
    }
    std::vector<uint8_t> stream = db.PageBytes(first);
    const int32_t stored = LE32(stream, 41);
    std::vector<uint8_t> bad;
    for (int32_t i = 0; i < stored; ++i) bad.push_back(static_cast<uint8_t>(stream.at(50 + i) ^ 0x5A));
    disktest::Patch(db.Name, At(first, 50), bad);
    auto m = db.Open(false);
    std::vector<uint8_t> out(20000);
    TORQInternalDBTransactedAccessFile f(*m, ptTableMetaData);
    f.OpenFile(first);
    ExpectError([&] { f.ReadFile(1, out.data(), true, 20000); }, 20189,
                 "Table file decompression error. Possible table corruption");
}

TEST(InternalFiles, DamagedHeadersAndChainsAreRefusedBeforeLongWalksOrLargeAllocations) {
    struct Case {
        const char* What;
        int32_t Stored;
        int32_t Plain;
        bool Cycle;
        int32_t Code;
    };
    const Case cases[] = {
        {"count beyond what the file holds", 0x7FFFFFF0, 0x7FFFFFF0, false, 30961},
        {"negative count", -5, -5, false, 30961},
        {"plain file whose counts differ", 100, 0x7FFFFFF0, false, 30961},
        {"chain shorter than the count", 9000, 9000, false, 30388},
        {"chain back to its first page", 20000, 20000, true, 30960},
    };
    for (const Case& c : cases) {
        Database db;
        {
            auto m = db.Open(false);
            WriteCommitted(*m, Pattern(6000, false));  // pages 2 -> 3
            m->CloseDatabaseFile();
        }
        std::vector<uint8_t> header;
        for (int32_t v : {c.Stored, c.Plain})
            for (int s = 0; s < 32; s += 8) header.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> s));
        disktest::Patch(db.Name, At(2, 41), header);
        if (c.Cycle) disktest::Patch(db.Name, At(3, 10), {2, 0, 0, 0});
        auto m = db.Open(false);
        TORQInternalDBTransactedAccessFile f(*m, ptTableMetaData);
        f.OpenFile(2);
        const int32_t count = c.Code == 30961 ? 1 : c.Plain;
        std::vector<uint8_t> out(static_cast<std::size_t>(count));
        ExpectNative([&] { f.ReadFile(1, out.data(), true, count); }, c.Code);
        if (c.Cycle) {
            const std::vector<uint8_t> data = Pattern(30000, false);
            ExpectNative([&] { f.WriteFile(1, data.data(), 0, 0, 30000); }, 30960);
            ExpectNative([&] { f.DeleteFile(1); }, 30960);
            m->RollbackSession(1);
        }
    }
}

TEST(InternalFiles, ShrinkingFreesTheCutPagesWithTheCommitAndKeepsThemOnRollback) {
    Database db;
    auto m = db.Open(false);
    const int32_t first = WriteCommitted(*m, Pattern(10000, false));  // pages 2, 3, 4
    TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
    TORQInternalDBTransactedAccessFile f(*m, ptTableMetaData);
    f.OpenFile(first);
    const std::vector<uint8_t> small = Pattern(100, true);
    f.WriteFile(1, small.data(), 0, 0, 100);
    m->RollbackSession(1);
    EXPECT_TRUE(fsm.IsPageUsed(3));
    EXPECT_TRUE(fsm.IsPageUsed(4));
    f.WriteFile(1, small.data(), 0, 0, 100);
    m->CommitSession(1);
    EXPECT_FALSE(fsm.IsPageUsed(3));
    EXPECT_FALSE(fsm.IsPageUsed(4));
    EXPECT_EQ(LE32(db.PageBytes(first), 10), -1);
    EXPECT_EQ(ReadBack(*m, first, 100), small);
    // Growing again takes the freed pages.
    f.WriteFile(1, Pattern(5000, false).data(), 0, 0, 5000);
    m->CommitSession(1);
    EXPECT_EQ(LE32(db.PageBytes(first), 10), 3);
    f.DeleteFile(1);
    m->CommitSession(1);
    EXPECT_FALSE(fsm.IsPageUsed(2));
    EXPECT_FALSE(fsm.IsPageUsed(3));
}

TEST(InternalFiles, DirectFileGeometryAndInPlaceAccess) {
    Database db;
    auto m = db.Open(false);
    TORQInternalDBDirectAccessFile small(*m, ptActiveSessionList);
    small.CreateFile(500);
    TORQInternalDBDirectAccessFile big(*m, ptTableLocks);
    big.CreateFile(6000);
    m->CommitSession(-2);
    EXPECT_EQ(small.Pages(), (std::vector<int32_t>{2}));
    EXPECT_EQ(big.Pages(), (std::vector<int32_t>{3, 4}));
    const std::vector<uint8_t> head = db.PageBytes(3);
    EXPECT_EQ(std::vector<uint8_t>(head.begin() + 40, head.begin() + 50),
              (std::vector<uint8_t>{10, 0x70, 0x17, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(LE32(head, 10), 4);

    TORQInternalDBDirectAccessFile reopened(*m, ptActiveSessionList);
    reopened.OpenFile(2);
    EXPECT_EQ(reopened.GetSize(), 500);
    EXPECT_EQ(reopened.FileSize(), 4046) << "a one-page file offers the whole page";
    TORQInternalDBDirectAccessFile locks(*m, ptTableLocks);
    locks.OpenFile(3);
    EXPECT_EQ(locks.FileSize(), 6000);
    EXPECT_EQ(locks.Pages(), (std::vector<int32_t>{3, 4}));

    // Writes go straight to the file, across the page boundary at position 4046.
    const std::vector<uint8_t> data = Pattern(10, false);
    EXPECT_EQ(locks.DirectWriteBuffer(data.data(), 10, 4041), 10);
    const std::vector<uint8_t> file = db.File();
    EXPECT_TRUE(std::equal(data.begin(), data.begin() + 5, file.begin() + At(3, 4091)));
    EXPECT_TRUE(std::equal(data.begin() + 5, data.end(), file.begin() + At(4, 40)));
    std::vector<uint8_t> back(10);
    EXPECT_EQ(big.DirectReadBuffer(back.data(), 10, 4041), 10);
    EXPECT_EQ(back, data);
    // Reads stop at the end of the chain.
    std::vector<uint8_t> tail(500);
    EXPECT_EQ(reopened.DirectReadBuffer(tail.data(), 500, 4000), 46);

    ExpectError([&] { locks.DirectWriteBuffer(data.data(), 10, 5991); }, 20158,
                 "Cannot write after end of file. FileSize=6000. Position=5991, Count=10");
    ExpectError([&] { locks.DirectReadBuffer(back.data(), 1, 6001); }, 20159,
                 "Seek position bigger then file size. FileSize=6000. Position=6001");
    // The stored size, not the one-page capacity, bounds writes.
    ExpectNative([&] { reopened.DirectWriteBuffer(data.data(), 10, 600); }, 20158);
    TORQInternalDBDirectAccessFile wrongType(*m, ptTableLocks);
    ExpectError([&] { wrongType.OpenFile(2); }, 20155, "Invalid PageType found: 5 but expecting: 7");
    EXPECT_FALSE(wrongType.IsOpen());
}

TEST(InternalFiles, DirectFileByteLocksAndRegionProbesSpanPages) {
    Database db;
    auto m = db.Open(true);
    TORQInternalDBDirectAccessFile f(*m, ptTableLocks);
    f.CreateFile(9000);  // pages 2, 3, 4
    m->CommitSession(-2);
    auto other = db.Open(true);  // a second handle: its locks conflict as another process's
    TORQInternalDBDirectAccessFile g(*other, ptTableLocks);
    g.OpenFile(2);
    ASSERT_EQ(g.Pages(), (std::vector<int32_t>{2, 3, 4}));

    EXPECT_TRUE(f.LockByte(6000));  // page 3, offset 40 + 1964
    EXPECT_FALSE(g.LockByte(6000));
    EXPECT_TRUE(g.IsByteLocked(6000));
    EXPECT_FALSE(g.IsByteLocked(5999));
    struct Probe {
        int32_t Position;
        int32_t Count;
        bool Locked;
    };
    const Probe probes[] = {{6000, 1, true},    {5000, 1000, false}, {5000, 1001, true}, {6001, 2000, false},
                            {0, 9000, true},    {4000, 2500, true},  {0, 0, false},      {100, 4000, false},
                            {4046, 1954, false}, {4046, 1955, true}};
    for (const Probe& p : probes) EXPECT_EQ(g.IsRegionLocked(p.Position, p.Count), p.Locked) << p.Position << "+" << p.Count;
    // A lock on the last page, probed from the first.
    EXPECT_TRUE(f.LockByte(8990));
    EXPECT_TRUE(g.IsRegionLocked(100, 8891));
    EXPECT_TRUE(f.UnlockByte(6000));
    EXPECT_FALSE(g.IsRegionLocked(100, 8890));
    EXPECT_TRUE(f.UnlockByte(8990));
    EXPECT_TRUE(g.LockByte(6000));
    EXPECT_TRUE(g.UnlockByte(6000));

    // The whole-file lock is the first byte of the first page.
    EXPECT_TRUE(f.LockFile());
    EXPECT_FALSE(g.LockFile());
    EXPECT_TRUE(other->IsPageByteLocked(2, 0));
    EXPECT_TRUE(f.UnlockFile());
    EXPECT_TRUE(g.LockFile());
    EXPECT_TRUE(g.UnlockFile());
}

TEST(InternalFiles, OperationsOnAClosedFileNameThemselves) {
    Database db;
    auto m = db.Open(false);
    TORQInternalDBTransactedAccessFile t(*m, ptTableMetaData);
    int32_t a = 0, b = 0;
    uint8_t alg = 0;
    uint8_t buf[4] = {};
    ExpectError([&] { t.GetSize(1, true, a, alg, b); }, 30389,
                 "Cannot perform this operation (GetSize) on closed internal file");
    ExpectError([&] { t.ReadFile(1, buf, true, 1); }, 30389,
                 "Cannot perform this operation (ReadFile) on closed internal file");
    ExpectError([&] { t.WriteFile(1, buf, 0, 0, 1); }, 30389,
                 "Cannot perform this operation (WriteFile) on closed internal file");
    ExpectError([&] { t.SetSize(1, 1, 0, 1); }, 30389,
                 "Cannot perform this operation (SetSize) on closed internal file");
    t.CreateFile(1);
    ExpectError([&] { t.CreateFile(1); }, 30383, "Cannot create Internal file. File already exists. StartPageNo=2");
    m->RollbackSession(1);

    TORQInternalDBDirectAccessFile d(*m, ptTableLocks);
    const std::pair<const char*, std::function<void()>> ops[] = {
        {"GetSize", [&] { d.GetSize(); }},
        {"DirectReadBuffer", [&] { d.DirectReadBuffer(buf, 1, 0); }},
        {"DirectWriteBuffer", [&] { d.DirectWriteBuffer(buf, 1, 0); }},
        {"LockFile", [&] { d.LockFile(); }},
        {"UnlockFile", [&] { d.UnlockFile(); }},
        {"LockByte", [&] { d.LockByte(0); }},
        {"UnlockByte", [&] { d.UnlockByte(0); }},
        {"IsByteLocked", [&] { d.IsByteLocked(0); }},
        {"IsRegionLocked", [&] { d.IsRegionLocked(0, 1); }},
    };
    for (const auto& [name, op] : ops)
        ExpectError(op, 20156, std::string("Cannot perform this operation (") + name + ") on closed internal file");
    d.CreateFile(10);
    ExpectError([&] { d.CreateFile(10); }, 20157, "Cannot create Internal file. File already exists. StartPageNo=2");
    m->RollbackSession(-2);
}
