// BLOBs of MEMORY tables: the block behind each handle, what a replaced, cancelled,
// refused or deleted value leaves behind, and engine memory back at its baseline once a
// table is dropped.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "MemTableFixture.h"
#include "engine/foundation/ORQEndian.h"

namespace orq::test {
namespace {

class MemBlobs : public MemTableTest {
protected:
    // ID INTEGER, DATA BLOB (stored uncompressed).
    TORQMemoryTableData& MakeBlobTable(const std::string& Name = "B") {
        TORQFieldDefs fields;
        AddField(fields, "ID", aftInteger);
        AddField(fields, "DATA", aftBlob);
        TORQConstraintDefs none;
        return MakeTable(fields, none, Name);
    }
    static void Store(TORQTableData& T, TTestCursor& C, const std::string& Text) {
        std::unique_ptr<TORQLocalBLOBStream> s = T.CreateBlobStream(&C, true, TORQLocalBLOBStream::bmWriteOnly, 1);
        if (!Text.empty()) s->Write(Text.data(), static_cast<int64_t>(Text.size()));
        s->SetModified(true);
        T.StoreBlobStream(&C, 1, *s);
    }
    static std::string Read(TORQTableData& T, TTestCursor& C) {
        std::unique_ptr<TORQLocalBLOBStream> s = T.CreateBlobStream(&C, false, TORQLocalBLOBStream::bmReadOnly, 1);
        std::string text(static_cast<size_t>(s->Size()), '\0');
        if (!text.empty()) s->Read(text.data(), static_cast<int64_t>(text.size()));
        return text;
    }
    static uint32_t Handle(const TTestCursor& C) {
        return LoadLE32(C.CurrentRecord + C.FieldDefs.GetItem(1)->MemoryOffset);
    }
    static bool InsertWith(TORQTableData& T, TTestCursor& C, int64_t Id, const std::string& Text) {
        C.Clear();
        C.SetInt(0, Id);
        Store(T, C, Text);
        return T.InsertRecord(&C);
    }
};

TEST_F(MemBlobs, BlockHoldsTheTwelveByteHeaderThenTheStoredBytes) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    ASSERT_TRUE(InsertWith(t, c, 1, "hello"));
    const uint8_t* block = t.BlobHandles().Block(Handle(c));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(GlobalMemoryManager().GetBlockSize(block), 12 + 5);
    EXPECT_EQ(LoadLE64(block + 4), 5u);  // uncompressed size after the block count
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block + 12), 5), "hello");
    EXPECT_FALSE(GetBit(c.CurrentRecord, 1));
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    EXPECT_EQ(Read(t, c), "hello");
    // An empty value is Null and has no block.
    ASSERT_TRUE(InsertWith(t, c, 2, ""));
    EXPECT_TRUE(GetBit(c.CurrentRecord, 1));
    EXPECT_EQ(t.BlobHandles().LiveCount(), 1);
}

TEST_F(MemBlobs, ReplacedValueIsFreedOnlyAfterTheUpdate) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    ASSERT_TRUE(InsertWith(t, c, 1, "first"));
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    const uint32_t old = Handle(c);
    Store(t, c, "second");
    // The stored record still holds its block until the update.
    EXPECT_NE(t.BlobHandles().Block(old), nullptr);
    EXPECT_EQ(t.BlobHandles().LiveCount(), 2);
    Store(t, c, "third");  // a pending value replaced in the buffer goes at once
    EXPECT_EQ(t.BlobHandles().LiveCount(), 2);
    ASSERT_TRUE(t.UpdateRecord(&c));
    EXPECT_EQ(t.BlobHandles().Block(old), nullptr);
    EXPECT_EQ(t.BlobHandles().LiveCount(), 1);
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    EXPECT_EQ(Read(t, c), "third");
}

TEST_F(MemBlobs, CancelledEditKeepsTheStoredValue) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    ASSERT_TRUE(InsertWith(t, c, 1, "kept"));
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    Store(t, c, "dropped");
    t.FreeRecordBlobs(c.CurrentRecord);  // the cancel
    EXPECT_TRUE(GetBit(c.CurrentRecord, 1));
    EXPECT_EQ(t.BlobHandles().LiveCount(), 1);
    // A cancel on an unchanged buffer frees nothing either.
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    t.FreeRecordBlobs(c.CurrentRecord);
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    EXPECT_EQ(Read(t, c), "kept");
    // A cancelled insert frees its value.
    c.Clear();
    Store(t, c, "never stored");
    EXPECT_EQ(t.BlobHandles().LiveCount(), 2);
    t.FreeRecordBlobs(c.CurrentRecord);
    EXPECT_EQ(t.BlobHandles().LiveCount(), 1);
}

TEST_F(MemBlobs, FailedUpdateLeavesBothValuesUsable) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor editor(t), other(t);
    ASSERT_TRUE(InsertWith(t, editor, 1, "one"));
    ASSERT_TRUE(InsertWith(t, editor, 2, "two"));
    ASSERT_TRUE(t.GotoRecord(&editor, {1, 0}));
    Store(t, editor, "edited");
    // Another cursor deletes the record under the edit: the post is refused.
    ASSERT_TRUE(t.GotoRecord(&other, {1, 0}));
    ASSERT_TRUE(t.DeleteRecord(&other));
    EXPECT_FALSE(t.UpdateRecord(&editor));
    // The edit's own value is still readable, then goes with the cancel.
    EXPECT_EQ(Read(t, editor), "edited");
    t.FreeRecordBlobs(editor.CurrentRecord);
    EXPECT_EQ(t.BlobHandles().LiveCount(), 1);
    ASSERT_TRUE(t.GotoRecord(&editor, {0, 0}));
    EXPECT_EQ(Read(t, editor), "one");
}

TEST_F(MemBlobs, DeleteFreesTheRecordsBlocksAfterTheDelete) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t), reader(t);
    ASSERT_TRUE(InsertWith(t, c, 1, "a"));
    ASSERT_TRUE(InsertWith(t, c, 2, "b"));
    ASSERT_TRUE(t.GotoRecord(&reader, {0, 0}));  // a copy of record 0 in another buffer
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    const uint32_t h = Handle(c);
    ASSERT_TRUE(t.DeleteRecord(&c));
    EXPECT_EQ(t.BlobHandles().Block(h), nullptr);
    EXPECT_EQ(t.BlobHandles().LiveCount(), 1);
    EXPECT_TRUE(GetBit(c.CurrentRecord, 1));
    // A stale copy reads as a nil block and a cancel on it frees nothing of others'.
    EXPECT_EQ(NativeCode([&] { t.CreateBlobStream(&reader, false, TORQLocalBLOBStream::bmReadOnly, 1); }), 10112);
    TORQBlobDataHeader header;
    uint8_t* data = nullptr;
    EXPECT_EQ(NativeCode([&] { t.ReadBlob(&reader, 1, data, header, reader.CurrentRecord); }), 10511);
    ASSERT_TRUE(InsertWith(t, c, 3, "c"));
    t.FreeRecordBlobs(reader.CurrentRecord);
    EXPECT_EQ(t.BlobHandles().LiveCount(), 2);
    EXPECT_EQ(NativeCode([&] { t.FreeBlob(reader.CurrentRecord, 1); }), 10118);
}

// A buffer read from one record and posted as another (or over another) must not leave
// two records on one block: deleting either would take the other's value.
TEST_F(MemBlobs, RecordsNeverShareABlock) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    ASSERT_TRUE(InsertWith(t, c, 1, "shared?"));
    ASSERT_TRUE(InsertWith(t, c, 2, "other"));
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    ASSERT_TRUE(t.InsertRecord(&c));  // record 0's buffer as a new record (slot 2)
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    c.CurrentRecordID = {1, 0};
    ASSERT_TRUE(t.UpdateRecord(&c));  // and over record 1
    EXPECT_EQ(t.BlobHandles().LiveCount(), 3);
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    for (int slot : {1, 2}) {
        ASSERT_TRUE(t.GotoRecord(&c, {slot, 0}));
        EXPECT_EQ(Read(t, c), "shared?") << slot;
    }
    EXPECT_EQ(t.BlobHandles().LiveCount(), 2);
}

TEST_F(MemBlobs, EmptyTableFreesEveryBlock) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    for (int i = 0; i < 5; ++i) ASSERT_TRUE(InsertWith(t, c, i, std::string(static_cast<size_t>(i + 1), 'x')));
    ASSERT_TRUE(t.GotoRecord(&c, {2, 0}));
    ASSERT_TRUE(t.DeleteRecord(&c));
    t.EmptyTable(&c);
    EXPECT_EQ(t.BlobHandles().LiveCount(), 0);
    EXPECT_EQ(t.GetPhysicalRecordCount(&c), 0);
}

TEST_F(MemBlobs, ReadBlobAndWriteBlobCarryTheTwentyByteForm) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    ASSERT_TRUE(InsertWith(t, c, 1, "payload"));
    TORQBlobDataHeader header;
    uint8_t* data = nullptr;
    t.ReadBlob(&c, 1, data, header, c.CurrentRecord);
    EXPECT_EQ(header.UncompressedSize, 7);
    EXPECT_EQ(header.StoredSize, 7);
    ASSERT_NE(data, nullptr);
    c.Clear();
    c.SetInt(0, 2);
    t.WriteBlob(&c, 1, data, header, c.CurrentRecord);
    t.DeleteBlob(data);
    EXPECT_EQ(data, nullptr);
    ASSERT_TRUE(t.InsertRecord(&c));
    ASSERT_TRUE(t.GotoRecord(&c, {1, 0}));
    EXPECT_EQ(Read(t, c), "payload");
    // Null reads as a zeroed header and no data; a stored count of 0 writes Null.
    c.SetNull(1);
    t.ReadBlob(&c, 1, data, header, c.CurrentRecord);
    EXPECT_EQ(data, nullptr);
    EXPECT_EQ(header.StoredSize, 0);
    EXPECT_EQ(header.BlockCount, 0);
    t.WriteBlob(&c, 1, nullptr, header, c.CurrentRecord);
    EXPECT_TRUE(GetBit(c.CurrentRecord, 1));
}

// A MEMORY table's BLOB streams never spill to a file, whatever their size.
TEST_F(MemBlobs, LargeValuesStayInMemory) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    const std::string big(3 * 1024 * 1024, 'z');
    ASSERT_TRUE(InsertWith(t, c, 1, big));
    ASSERT_TRUE(t.GotoRecord(&c, {0, 0}));
    std::unique_ptr<TORQLocalBLOBStream> s = t.CreateBlobStream(&c, false, TORQLocalBLOBStream::bmReadWrite, 1);
    auto* base = dynamic_cast<TORQTemporaryStream*>(&s->BaseStream());
    ASSERT_NE(base, nullptr);
    EXPECT_TRUE(base->InMemory());
    EXPECT_EQ(s->Size(), static_cast<int64_t>(big.size()));
    s.reset();
    EXPECT_EQ(Read(t, c), big);
}

TEST_F(MemBlobs, UnmodifiedStreamStoresNothingAndBlockSizeZeroIsRefused) {
    TORQMemoryTableData& t = MakeBlobTable();
    TTestCursor c(t);
    c.Clear();
    {
        std::unique_ptr<TORQLocalBLOBStream> s = t.CreateBlobStream(&c, true, TORQLocalBLOBStream::bmWriteOnly, 1);
        t.StoreBlobStream(&c, 1, *s);
    }
    EXPECT_TRUE(GetBit(c.CurrentRecord, 1));
    EXPECT_EQ(t.BlobHandles().LiveCount(), 0);
    t.FieldManager->FieldDefs.GetItem(1)->BlobBlockSize = 0;
    EXPECT_EQ(NativeCode([&] { t.CreateBlobStream(&c, true, TORQLocalBLOBStream::bmWriteOnly, 1); }), 10420);
    t.FieldManager->FieldDefs.GetItem(1)->BlobBlockSize = DefaultBlobBlockSize;
}

TEST_F(MemBlobs, HandlesWrapPastTheLargestSkippingZeroAndLiveOnes) {
    TORQBlobHandleTable table;
    auto block = [] { return static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(4)); };
    const uint32_t first = table.Add(block());
    EXPECT_EQ(first, 1u);
    table.SetLastHandle(UINT32_MAX - 1);
    EXPECT_EQ(table.Add(block()), UINT32_MAX);
    EXPECT_EQ(table.Add(block()), 2u);  // 0 is none, 1 is live
    EXPECT_TRUE(table.Free(first));
    EXPECT_FALSE(table.Free(first));
    EXPECT_EQ(table.Block(first), nullptr);
    EXPECT_EQ(table.LiveCount(), 2);
}

TEST_F(MemBlobs, EngineMemoryReturnsToBaselineAfterDeleteTable) {
    const int64_t baseline = GlobalMemoryManager().UsedMemory();
    {
        TORQMemoryTableData& t = MakeBlobTable("M");
        TTestCursor c(t);
        for (int i = 0; i < 30; ++i) ASSERT_TRUE(InsertWith(t, c, i, std::string(static_cast<size_t>(100 + i), 'q')));
        ASSERT_TRUE(t.GotoRecord(&c, {3, 0}));
        Store(t, c, "replaced");
        ASSERT_TRUE(t.UpdateRecord(&c));
        ASSERT_TRUE(t.GotoRecord(&c, {4, 0}));
        ASSERT_TRUE(t.DeleteRecord(&c));
        ASSERT_TRUE(t.GotoRecord(&c, {5, 0}));
        Store(t, c, "pending, never posted");
        c.Close();
        t.DeleteTable(nullptr, false);
    }
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), baseline);
    TORQCursor named;
    named.TableName = "M";
    EXPECT_EQ(MemoryDatabase().FindTableData(&named), nullptr);
}

}  // namespace
}  // namespace orq::test
