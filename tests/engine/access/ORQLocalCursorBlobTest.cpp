// BLOB access through the local cursor: values written in an edit and read back after a
// reopen with every compression, the open modes, a second writer, write-and-cancel rounds
// that must leave nothing behind, and the browse re-read that sees another side's value.
#include <gtest/gtest.h>

#include <filesystem>

#include "LocalCursorFixture.h"

namespace lctest {
namespace {

// Field numbers of the BLOB table: ID, then one memo per compression algorithm.
constexpr int32_t fId = 0;
constexpr int32_t Algorithms = 4;

std::string Text(size_t Size, uint32_t Seed) {
    // Words from a small vocabulary: compressible, never uniform.
    static const char* words[] = {"NAVTEX ", "GALE ", "WARNING ", "SECURITE ", "518 ", "KHZ ", "NNNN\n", "ZCZC "};
    std::string out;
    uint32_t x = Seed;
    while (out.size() < Size) {
        x = x * 1103515245u + 12345u;
        out += words[(x >> 16) % 8];
    }
    out.resize(Size);
    return out;
}

class LocalCursorBlobs : public ::testing::Test {
protected:
    void SetUp() override {
        StartTestEngine();
        Path = CreateDatabaseFile(Dir);
        A = TConnection::Disk(Path, true, "A");
        TORQFieldDefs fields;
        AddField(fields, "ID", aftInteger);
        for (int32_t a = 0; a < Algorithms; ++a) {
            AddField(fields, "TEXT" + std::to_string(a), aftMemo);
            fields.GetItem(a + 1)->BlobCompressionAlgorithm = static_cast<uint8_t>(a);
            fields.GetItem(a + 1)->BlobCompressionMode = 1;
        }
        TCursor c(*A, "BLOBS");
        c.CreateTable(fields, TORQIndexDefs(), TORQConstraintDefs());
        Mine = Open(*A);
        for (int32_t id = 1; id <= 3; ++id) {
            Mine->New();
            Mine->SetInt(fId, id);
            Mine->SetText(1, "first " + std::to_string(id));
            ASSERT_EQ(Mine->Post(true), 0);
        }
    }
    void TearDown() override {
        Mine.reset();
        A.reset();
        StopTestEngine();
    }
    std::unique_ptr<TCursor> Open(TConnection& C) {
        auto c = std::make_unique<TCursor>(C, "BLOBS");
        c->Open();
        return c;
    }
    static bool SeekId(TCursor& C, int64_t Id) {
        C.First();
        while (C.GetRecord(gmNext) == grOK)
            if (C.GetInt(fId) == Id) return true;
        return false;
    }
    TORQDiskBlobManager& Blobs(TCursor& C) { return *dynamic_cast<TORQDiskTableData*>(C.TableData)->BlobManager; }

    TFakeTime Time;
    TTuningScope Tuning{ShortTuning()};
    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TConnection> A;
    std::unique_ptr<TCursor> Mine;
};

TEST_F(LocalCursorBlobs, A300KBValueWrittenInAnEditReadsBackAfterAReopenWithEveryCompression) {
    ASSERT_TRUE(SeekId(*Mine, 2));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    for (int32_t a = 0; a < Algorithms; ++a) Mine->SetText(a + 1, Text(300 * 1024, static_cast<uint32_t>(a)), false);
    ASSERT_EQ(Mine->Post(false), 0);
    EXPECT_TRUE(Mine->BlobStreams.empty());
    Mine.reset();
    A.reset();
    A = TConnection::Disk(Path, true, "A");
    Mine = Open(*A);
    ASSERT_TRUE(SeekId(*Mine, 2));
    for (int32_t a = 0; a < Algorithms; ++a) {
        SCOPED_TRACE(a);
        EXPECT_EQ(Mine->GetText(a + 1), Text(300 * 1024, static_cast<uint32_t>(a)));
    }
    ASSERT_TRUE(SeekId(*Mine, 1));
    EXPECT_EQ(Mine->GetText(1), "first 1");
}

TEST_F(LocalCursorBlobs, ReadWriteModeKeepsTheValueAndASecondWriterIsRefused) {
    ASSERT_TRUE(SeekId(*Mine, 1));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    TORQLocalBLOBStream* s = Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmReadWrite, 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->Size(), 7);
    EXPECT_EQ(NativeCode([&] { Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmReadWrite, 1); }), 10115);
    EXPECT_EQ(NativeCode([&] { Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmWriteOnly, 1); }), 10115);
    // Reading beside the writer is allowed; another field has its own writer.
    EXPECT_NE(Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmReadOnly, 1), nullptr);
    EXPECT_NE(Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmWriteOnly, 2), nullptr);
    s->Seek(0, soEnd);
    s->Write(" and more", 9);
    Mine->CloseBlob(1);
    Mine->CloseBlob(2);
    EXPECT_TRUE(Mine->BlobStreams.empty());
    ASSERT_EQ(Mine->Post(false), 0);
    ASSERT_TRUE(SeekId(*Mine, 1));
    EXPECT_EQ(Mine->GetText(1), "first 1 and more");
    EXPECT_EQ(NativeCode([&] { Mine->OpenBlob(false, false, true, TORQLocalBLOBStream::bmReadOnly, 5); }), 10110);
    EXPECT_EQ(NativeCode([&] { Mine->CloseBlob(-1); }), 10118);
}

TEST_F(LocalCursorBlobs, WriteAndCancelRoundsLeaveNoCacheEntryAndNoGrowth) {
    ASSERT_TRUE(SeekId(*Mine, 3));
    const auto sizeBefore = std::filesystem::file_size(Path);
    for (int round = 0; round < 1000; ++round) {
        ASSERT_EQ(Mine->BeginEdit(), 0);
        Mine->SetText(1, Text(2000, static_cast<uint32_t>(round)), false);
        // One left open for the cancel to free.
        TORQLocalBLOBStream* s = Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmWriteOnly, 2);
        ASSERT_NE(s, nullptr);
        s->Write("pending", 7);
        Mine->Cancel();
        ASSERT_TRUE(Mine->BlobStreams.empty());
    }
    EXPECT_EQ(Blobs(*Mine).CacheEntryCount(), 0);
    EXPECT_EQ(std::filesystem::file_size(Path), sizeBefore);
    EXPECT_EQ(Mine->GetText(1), "first 3");
    EXPECT_EQ(Blobs(*Mine).CacheEntryCount(), 0);
    EXPECT_NO_THROW(Blobs(*Mine).Close());
}

TEST_F(LocalCursorBlobs, FreeBlobsDetachesTheDatasetStreamAndNeverFreesIt) {
    ASSERT_TRUE(SeekId(*Mine, 2));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    int datasetStream = 0;  // stands for the dataset's stream object
    std::vector<TORQLocalBLOBStream*> detached;
    Mine->OnDetachBlobStream = [&](TORQLocalBLOBStream& S) {
        EXPECT_EQ(S.DataSetStream, &datasetStream);
        detached.push_back(&S);
    };
    TORQLocalBLOBStream* w = Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmWriteOnly, 1);
    TORQLocalBLOBStream* r = Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmReadOnly, 2);
    w->DataSetStream = &datasetStream;
    r->DataSetStream = &datasetStream;
    w->Write("written", 7);
    Mine->FreeBlobs(true);  // the writer only, its value stored into the buffer
    EXPECT_EQ(detached, std::vector<TORQLocalBLOBStream*>{w});
    ASSERT_EQ(Mine->BlobStreams.size(), 1u);
    EXPECT_EQ(Mine->BlobStreams[0].get(), r);
    Mine->FreeBlobs(false);
    EXPECT_EQ(detached.size(), 2u);
    EXPECT_TRUE(Mine->BlobStreams.empty());
    ASSERT_EQ(Mine->Post(false), 0);
    ASSERT_TRUE(SeekId(*Mine, 2));
    EXPECT_EQ(Mine->GetText(1), "written");
}

// One stream of a field closes alone: a reader closed beside a writer leaves the writer
// writing, and the writer's close stores what it wrote. A value read whole opens nothing
// and keeps no copy of a stored value, and it is the pending value once one was written.
TEST_F(LocalCursorBlobs, OneStreamClosesAloneAndAWholeReadLeavesNothingOpen) {
    ASSERT_TRUE(SeekId(*Mine, 1));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    const auto whole = [&](int32_t F, bool Browse = false) {
        std::string bytes = "stale";
        bool opened = false;
        EXPECT_TRUE(Mine->ReadBlobValue(false, !Browse, Browse, F, bytes, opened));
        EXPECT_TRUE(opened);
        return bytes;
    };
    TORQLocalBLOBStream* w = Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmReadWrite, 1);
    TORQLocalBLOBStream* r = Mine->OpenBlob(false, true, false, TORQLocalBLOBStream::bmReadOnly, 1);
    ASSERT_NE(w, nullptr);
    ASSERT_NE(r, nullptr);
    w->Seek(0, soEnd);
    w->Write(" and more", 9);
    Mine->CloseBlobStream(*r);
    ASSERT_EQ(Mine->BlobStreams.size(), 1u);
    EXPECT_EQ(Mine->BlobStreams[0].get(), w);
    w->Write(" again", 6);
    EXPECT_EQ(whole(1), "first 1") << "nothing is stored before the writer closes";
    EXPECT_EQ(Mine->BlobStreams.size(), 1u);
    Mine->CloseBlobStream(*w);
    EXPECT_TRUE(Mine->BlobStreams.empty());
    EXPECT_EQ(whole(1), "first 1 and more again");
    EXPECT_EQ(whole(2), "");
    EXPECT_EQ(Blobs(*Mine).CacheEntryCount(), 1) << "the pending value only";
    ASSERT_EQ(Mine->Post(false), 0);
    ASSERT_TRUE(SeekId(*Mine, 1));
    EXPECT_EQ(whole(1, true), "first 1 and more again");
    EXPECT_TRUE(Mine->BlobStreams.empty());
    EXPECT_EQ(Blobs(*Mine).CacheEntryCount(), 0);
    std::string bytes;
    bool opened = false;
    EXPECT_EQ(NativeCode([&] { Mine->ReadBlobValue(false, false, true, 5, bytes, opened); }), 10110);
}

class LocalCursorBlobBrowse : public LocalCursorBlobs, public ::testing::WithParamInterface<bool> {};

TEST_P(LocalCursorBlobBrowse, BrowsingReadsTheValueAnotherSideReplacedAndNilForAGoneRecord) {
    const bool forked = GetParam();
    ASSERT_TRUE(SeekId(*Mine, 2));
    EXPECT_EQ(Mine->GetText(1), "first 2");
    const TORQRecordID at = Mine->CurrentRecordID;
    const std::string path = Path;
    const auto other = [path](const std::function<int(TCursor&)>& Action) {
        auto c = TConnection::Disk(path, true, "B");
        auto cursor = std::make_unique<TCursor>(*c, "BLOBS");
        cursor->Open();
        return Action(*cursor);
    };
    std::string replacement = "replaced by the other side";
    const auto replace = [&replacement](TCursor& c) {
        if (!SeekId(c, 2) || c.BeginEdit() != 0) return 40;
        c.SetText(1, replacement, false);
        return c.Post(false) == 0 ? 0 : 41;
    };
    const auto remove = [](TCursor& c) { return SeekId(c, 2) && c.Delete() == 0 ? 0 : 42; };
    ASSERT_EQ(forked ? disktest::InChild([&] { return other(replace); }) : other(replace), 0);
    // The buffer still holds the old reference: the browse open reads the record again.
    EXPECT_EQ(Mine->GetText(1), "replaced by the other side");
    EXPECT_EQ(Mine->CurrentRecordID, at);
    // So does a value read whole.
    replacement = "replaced again, longer than before";
    ASSERT_EQ(forked ? disktest::InChild([&] { return other(replace); }) : other(replace), 0);
    std::string bytes;
    bool opened = false;
    ASSERT_TRUE(Mine->ReadBlobValue(false, false, true, 1, bytes, opened));
    EXPECT_TRUE(opened);
    EXPECT_EQ(bytes, replacement);
    EXPECT_EQ(Mine->CurrentRecordID, at);
    ASSERT_EQ(forked ? disktest::InChild([&] { return other(remove); }) : other(remove), 0);
    ASSERT_TRUE(Mine->ReadBlobValue(false, false, true, 1, bytes, opened));
    EXPECT_FALSE(opened);
    EXPECT_EQ(bytes, "");
    EXPECT_EQ(Mine->OpenBlob(false, false, true, TORQLocalBLOBStream::bmReadOnly, 1), nullptr);
    EXPECT_TRUE(Mine->BlobStreams.empty());
    EXPECT_EQ(Blobs(*Mine).CacheEntryCount(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sides, LocalCursorBlobBrowse, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& I) { return I.param ? "Forked" : "SameProcess"; });

}  // namespace
}  // namespace lctest
