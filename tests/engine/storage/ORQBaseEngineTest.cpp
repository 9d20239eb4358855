// The abstract database and table data, the index manager's definition side, the local
// BLOB stream and the minimal table cursor, over a small in-memory test table.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "IdleIndex.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQBaseEngine.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQMemPageManager.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

// A table of fixed records kept in memory, read in physical order (page 1, slot n).
struct TestTable : TORQTableData {
    TestTable(TORQDatabaseData* Db, std::string Name, std::atomic<int>* Freed = nullptr)
        : TORQTableData(Db), FFreed(Freed) {
        TableName = std::move(Name);
        FieldManager = std::make_unique<TORQBaseFieldManager>(this);
        IndexManager = std::make_unique<TORQBaseIndexManager>(this, nullptr);
        ConstraintManager = std::make_unique<TORQBaseConstraintManager>(this);
    }
    ~TestTable() override {
        if (FFreed != nullptr) ++*FFreed;
    }

    void AddField(const char* Name, uint8_t Type, int32_t Size = 0) {
        TORQFieldDef* f = FieldManager->FieldDefs.Add();
        f->Name = Name;
        f->SetDataType(Type, Size);
        FieldManager->RebuildLayout();
        FieldManager->ResetAutoincValues();
    }
    void AddRecord(int32_t Value) {
        std::vector<uint8_t> r(static_cast<size_t>(FieldManager->FieldDefs.GetMemoryRecordSize()), 0);
        std::memcpy(&r[static_cast<size_t>(FieldManager->FieldDefs.GetItem(0)->MemoryOffset)], &Value, 4);
        Records.push_back(r);
    }

    uint8_t GetRecord(TORQCursor* Cursor, uint8_t Mode) override {
        // The lock must be held: another thread cannot take it now.
        HeldDuringRead = !std::async(std::launch::async, [this] {
                              if (!DatabaseData->LockSection().try_lock()) return false;
                              DatabaseData->LockSection().unlock();
                              return true;
                          }).get();
        const auto n = static_cast<int32_t>(Records.size());
        if (n == 0) return grEOF;
        int32_t slot = Cursor->CurrentRecordID.SlotNo;
        if (Mode == gmNext) {
            slot = Cursor->Bof ? 0 : slot + 1;
            if (Cursor->Eof || slot >= n) return grEOF;
        } else if (Mode == gmPrior) {
            slot = Cursor->Eof ? n - 1 : slot - 1;
            if (Cursor->Bof || slot < 0) return grBOF;
        } else if (Cursor->Bof || Cursor->Eof) {
            return grError;
        }
        std::memcpy(Cursor->CurrentRecord, Records[static_cast<size_t>(slot)].data(),
                    Records[static_cast<size_t>(slot)].size());
        Cursor->CurrentRecordID = {1, static_cast<uint16_t>(slot)};
        Cursor->Bof = Cursor->Eof = 0;
        return grOK;
    }
    void RollbackSession(int32_t SessionID) override { RolledBack.push_back(SessionID); }
    void FreeBlob(uint8_t*, int32_t FieldNo) override { FreedBlobs.push_back(FieldNo); }

    std::vector<std::vector<uint8_t>> Records;
    std::vector<int32_t> RolledBack;
    std::vector<int32_t> FreedBlobs;
    bool HeldDuringRead = false;
    std::atomic<int>* FFreed;
};

struct TestDatabase : TORQDatabaseData {
    explicit TestDatabase(std::atomic<int>* Freed = nullptr) : FFreed(Freed) {}
    ~TestDatabase() override {
        if (FFreed != nullptr) ++*FFreed;
    }
    TORQTableData* CreateTableData(TORQCursor* Cursor) override {
        auto* t = new TestTable(this, Cursor->TableName, TableFreed);
        AddTableData(t);
        ++Created;
        return t;
    }
    int32_t GetNextObjectID() override { return NextID++; }

    int32_t NextID = 100;
    int Created = 0;
    std::atomic<int>* FFreed;
    std::atomic<int>* TableFreed = nullptr;
};

struct Named : TORQCursor {
    explicit Named(const char* Name) { TableName = Name; }
};

struct EngineRuns : ::testing::Test {
    void SetUp() override {
        StopStorageEngine();
        StartStorageEngine();
    }
    void TearDown() override { StopStorageEngine(); }
};

// ---------------------------------------------------------------------------------
// Database data

TEST(TORQDatabaseData, StartsWithItsSettings) {
    TestDatabase db;
    EXPECT_EQ(db.EngineSetting1, 20);
    EXPECT_EQ(db.EngineSetting2, 50);
    EXPECT_EQ(db.EngineValue, 0);
    EXPECT_EQ(db.PageManager, nullptr);
    TORQDatabaseData base;
    Named c("T");
    ExpectNative([&] { base.CreateTableData(&c); }, 30339,
                 "The method 'CreateTableData' not overrided in class 'TORQDatabaseData' - Native error: 30339");
    ExpectNative([&] { base.GetNextObjectID(); }, 30339);
}

TEST(TORQDatabaseData, TableDataIsFoundIgnoringCaseAndMadeOnce) {
    TestDatabase db;
    Named upper("NAVTEXLOG"), lower("navtexlog"), other("Stations");
    EXPECT_EQ(db.FindTableData(&upper), nullptr);
    TORQTableData* t = db.GetTableData(&upper);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(db.FindTableData(&lower), t);
    EXPECT_EQ(db.GetTableData(&lower), t);
    EXPECT_EQ(db.Created, 1);
    EXPECT_EQ(db.FindTableData(&other), nullptr);
    db.GetTableData(&other);
    std::vector<std::string> names;
    db.GetTablesList(names);
    EXPECT_EQ(names, (std::vector<std::string>{"NAVTEXLOG", "Stations"}));
    EXPECT_TRUE(db.TableExists("stations"));
    EXPECT_FALSE(db.TableExists("station"));
}

TEST(TORQDatabaseData, OwnsItsTableData) {
    std::atomic<int> tables{0};
    {
        TestDatabase db;
        db.TableFreed = &tables;
        Named a("A"), b("B");
        TORQTableData* ta = db.GetTableData(&a);
        db.GetTableData(&b);
        EXPECT_TRUE(db.FreeTableData(ta));
        EXPECT_EQ(tables, 1);
        EXPECT_EQ(db.TableDataCount(), 1);
        EXPECT_FALSE(db.FreeTableData(ta)) << "no longer listed";
        // A table data freed by its creator takes itself off the list.
        TORQTableData* tb = db.FindTableData(&b);
        delete tb;
        EXPECT_EQ(db.TableDataCount(), 0);
        db.GetTableData(&a);
    }
    EXPECT_EQ(tables, 3) << "the database frees what it still holds";
}

TEST_F(EngineRuns, FreeIfUnusedGoesThroughTheOwner) {
    std::atomic<int> freed{0};
    auto* listed = new TestDatabase(&freed);
    DatabaseList().Add(listed);
    TORQBaseSession session;
    listed->ConnectSession(&session);
    EXPECT_EQ(session.SessionID, 0);
    EXPECT_FALSE(listed->FreeIfUnused()) << "a session is connected";
    EXPECT_EQ(freed, 0);
    listed->DisconnectSession(&session);
    EXPECT_EQ(listed->SessionCount(), 0);
    EXPECT_TRUE(listed->FreeIfUnused());
    EXPECT_EQ(freed, 1);
    EXPECT_FALSE(DatabaseList().Contains(listed));

    TestDatabase unowned(&freed);
    EXPECT_FALSE(unowned.FreeIfUnused()) << "not listed: left to its creator";
    EXPECT_EQ(freed, 1);
}

TEST(TORQDatabaseData, RollbackReachesEveryTableWithoutAPageManager) {
    TestDatabase db;
    Named a("A"), b("B");
    auto* ta = static_cast<TestTable*>(db.GetTableData(&a));
    auto* tb = static_cast<TestTable*>(db.GetTableData(&b));
    db.Rollback(5);
    EXPECT_EQ(ta->RolledBack, std::vector<int32_t>{5});
    EXPECT_EQ(tb->RolledBack, std::vector<int32_t>{5});
    db.Commit(5, true);  // nothing to commit to: no error
}

TEST(TORQDatabaseData, CommitAndRollbackGoToThePageManager) {
    TestDatabase db;
    TORQMemoryPageManager pages;
    db.PageManager = &pages;
    TORQPage* p = pages.AddNewPage(3, 1);
    const int32_t n = pages.GetPageCount();
    pages.ReleasePage(p);
    db.Rollback(3);
    EXPECT_EQ(pages.GetPageCount(), n - 1) << "the session's new page is given back";
    p = pages.AddNewPage(3, 1);
    pages.ReleasePage(p);
    db.Commit(3, false);
    db.Rollback(3);
    EXPECT_EQ(pages.GetPageCount(), n) << "a committed page stays";
}

// ---------------------------------------------------------------------------------
// Table data

TEST(TORQTableData, CursorsObjectIdsAndRenames) {
    TestDatabase db;
    TestTable t(&db, "T");
    t.AddField("A", aftInteger);
    t.AddField("B", aftVarChar, 4);
    TORQIndexDef* ix = t.IndexManager->IndexDefs.Add();
    ix->Name = "IX";
    ix->Columns.push_back({"b", 0, 0, 20});

    Named c1("T"), c2("T");
    t.AddCursor(&c1);
    t.AddCursor(&c1);
    t.AddCursor(&c2);
    EXPECT_EQ(t.CursorCount(), 2);
    ExpectNative([&] { t.RenameTable("U", nullptr); }, 10150,
                 "Cannot rename table 'T'. Table is open by another dataset - Native error: 10150");
    ExpectNative([&] { t.DeleteTable(nullptr, false); }, 20017,
                 "Cannot delete table 'T'. Table is open by another dataset - Native error: 20017");
    t.DeleteTable(nullptr, true);
    t.RemoveCursor(&c1);
    t.RemoveCursor(&c2);
    t.RemoveCursor(&c2);
    t.RenameTable("U", nullptr);
    EXPECT_EQ(t.TableName, "U");

    ExpectNative([&] { t.RenameField("Q", "R"); }, 30343);
    ExpectNative([&] { t.RenameField("A", "b"); }, 30344);
    t.RenameField("B", "Text");
    EXPECT_EQ(t.FieldManager->FieldDefs.GetItem(1)->Name, "Text");
    EXPECT_EQ(ix->Columns[0].FieldName, "Text") << "index columns follow the field";

    TORQFieldDefs defs;
    defs.Add()->Name = "X";
    defs.Add()->Name = "Y";
    defs.GetItem(0)->SetDataType(aftAutoInc, 0);
    defs.GetItem(1)->SetDataType(aftInteger, 0);
    defs.GetItem(0)->AutoincInitialValue = 9;
    t.SetFieldDefs(defs);
    EXPECT_EQ(t.FieldManager->FieldDefs.GetItem(0)->ObjectID, 100);
    EXPECT_EQ(t.FieldManager->FieldDefs.GetItem(1)->ObjectID, 101);
    EXPECT_EQ(t.FieldManager->FieldDefs.GetItem(1)->MemoryOffset, 5);
    EXPECT_EQ(t.FieldManager->AutoincValues, (std::vector<int64_t>{9, 0}));
    EXPECT_EQ(defs.GetItem(0)->ObjectID, -1) << "the caller's definitions are not touched";

    TORQTableInfo info;
    t.GetTableInfo(info);
    EXPECT_EQ(info.RecordBufferSize, 9);
    EXPECT_EQ(info.FirstFieldOffset, 1);
    TestTable empty(&db, "E");
    ExpectNative([&] { empty.GetTableInfo(info); }, 10131,
                 "Error creating table - no fields were specified - Native error: 10131");
}

TEST(TORQTableData, FreeBlobFieldsChecksTheBlockSizeFirst) {
    TestDatabase db;
    TestTable t(&db, "T");
    t.AddField("A", aftInteger);
    t.AddField("M", aftMemo);
    t.AddField("G", aftGraphic);
    uint8_t record[32] = {};
    t.FreeBlobFields(record);
    EXPECT_EQ(t.FreedBlobs, (std::vector<int32_t>{1, 2}));
    t.FieldManager->FieldDefs.GetItem(1)->BlobBlockSize = 0;
    t.FreedBlobs.clear();
    ExpectNative([&] { t.FreeBlobFields(record); }, 10421);
    EXPECT_TRUE(t.FreedBlobs.empty());
}

// ---------------------------------------------------------------------------------
// Index manager (definition side)

TEST(TORQBaseIndexManager, DefinitionsPageManagersAndOpenIndexes) {
    TORQMemoryPageManager tablePages, tempPages;
    TORQBaseIndexManager m(nullptr, &tempPages);
    m.TablePageManager = &tablePages;
    TORQIndexDefs defs;
    TORQIndexDef* a = defs.Add();
    a->Name = "BYNAME";
    a->ObjectID = 5;
    a->Columns.push_back({"Name", 0, 1, 20});
    TORQIndexDef* b = defs.Add();
    b->Name = "BYFREQ";
    b->ObjectID = 6;
    b->Columns.push_back({"FREQ", 1, 0, 20});
    m.AssignDefs(defs);
    ASSERT_EQ(m.IndexDefs.GetCount(), 2);

    TORQIndexDef temp;
    temp.Temporary = 255;
    EXPECT_EQ(m.GetIndexPageManager(temp), &tempPages);
    EXPECT_EQ(m.GetIndexPageManager(*m.IndexDefs.GetItem(0)), &tablePages);

    TORQFieldDefs fields;
    fields.Add()->Name = "NAME";
    fields.GetItem(0)->SetDataType(aftVarChar, 10);
    fields.Add()->Name = "FREQ";
    fields.GetItem(1)->SetDataType(aftInteger, 0);
    EXPECT_EQ(m.FindIndexForFields({"FREQ"}, {"DESC"}, {""}, fields, 1), 6);
    EXPECT_TRUE(m.HasIndexForFields({"FREQ"}, {"DESC"}, {""}, fields, 1));
    EXPECT_EQ(m.FindIndexForFields({"FREQ"}, {"ASC"}, {""}, fields, 1), -1);

    m.RenameColumn("NAME", "Station");
    EXPECT_EQ(m.IndexDefs.GetItem(0)->Columns[0].FieldName, "Station");
    EXPECT_EQ(m.IndexDefs.GetItem(1)->Columns[0].FieldName, "FREQ");

    TORQMemoryStream s;
    m.SaveToStream(s);
    s.SetPosition(0);
    TORQBaseIndexManager back(nullptr, nullptr);
    back.LoadFromStream(s);
    ASSERT_EQ(back.IndexDefs.GetCount(), 2);
    EXPECT_EQ(back.IndexDefs.GetItem(0)->Columns[0].FieldName, "Station");
    EXPECT_EQ(back.IndexDefs.GetItem(1)->ObjectID, 6);
}

// An index that does nothing but keep its definition.
struct IdleIndex : orq::test::TIdleIndex {
    explicit IdleIndex(TORQBaseIndexManager* M, std::atomic<int>* Freed) : TIdleIndex(M), FFreed(Freed) {}
    ~IdleIndex() override { ++*FFreed; }
    std::atomic<int>* FFreed;
};

TEST(TORQIndex, KeepsItsOwnCopyAndTheManagerClosesIt) {
    std::atomic<int> freed{0};
    {
        TORQBaseIndexManager m(nullptr, nullptr);
        TORQIndexDef def;
        def.Name = "IX";
        def.ObjectID = 3;
        auto index = std::make_unique<IdleIndex>(&m, &freed);
        index->CreateIndex(nullptr, def);
        ASSERT_NE(index->IndexDef, nullptr);
        EXPECT_NE(index->IndexDef.get(), &def);
        TORQIndexDef* own = index->IndexDef.get();
        index->CreateIndex(nullptr, *own);  // its own copy: kept as it is
        EXPECT_EQ(index->IndexDef.get(), own);
        def.Name = "IX2";
        index->OpenIndex(def);
        EXPECT_EQ(index->IndexDef->Name, "IX2");

        m.AddOpenIndex(std::move(index));
        EXPECT_NE(m.FindOpenIndex(3), nullptr);
        EXPECT_EQ(m.FindOpenIndex(4), nullptr);
        m.CloseIndex(4);
        EXPECT_EQ(freed, 0);
        m.CloseIndex(3);
        EXPECT_EQ(freed, 1);
        m.AddOpenIndex(std::make_unique<IdleIndex>(&m, &freed));
    }
    EXPECT_EQ(freed, 2) << "the manager closes what is still open";
}

// ---------------------------------------------------------------------------------
// Local BLOB stream

TORQBLOBDescriptor PlainDescriptor() {
    TORQBLOBDescriptor d;
    d.BlockSize = 4096;
    return d;
}

std::unique_ptr<TORQLocalBLOBStream> MakeBlob(uint8_t Mode, const std::string& Initial = "") {
    auto base = std::make_unique<TORQMemoryStream>();
    TORQBLOBDescriptor d = PlainDescriptor();
    if (!Initial.empty()) {
        base->WriteBuffer(Initial.data(), static_cast<int64_t>(Initial.size()));
        d.UncompressedSize = static_cast<int64_t>(Initial.size());
    }
    auto compressed = std::make_unique<TORQCompressedBLOBStream>(*base, d, Initial.empty(), false);
    return std::make_unique<TORQLocalBLOBStream>(std::move(base), std::move(compressed), 4, Mode, nullptr);
}

TEST(TORQLocalBLOBStream, ModesAndTheModifiedFlag) {
    TORQCursor owner;
    auto base = std::make_unique<TORQMemoryStream>();
    TORQStream* baseSeen = base.get();
    auto compressed = std::make_unique<TORQCompressedBLOBStream>(*base, PlainDescriptor(), true, false);
    TORQLocalBLOBStream w(std::move(base), std::move(compressed), 4, TORQLocalBLOBStream::bmWriteOnly, &owner);
    EXPECT_EQ(w.FieldNo(), 4);
    EXPECT_EQ(w.Owner(), &owner);
    EXPECT_EQ(&w.BaseStream(), baseSeen);
    EXPECT_FALSE(w.Modified());
    w.WriteBuffer("NAVTEX", 6);
    EXPECT_TRUE(w.Modified());
    EXPECT_EQ(w.Size(), 6);
    EXPECT_EQ(w.CompressedStream().Descriptor().UncompressedSize, 6);
    EXPECT_EQ(baseSeen->Size(), 6) << "algorithm 0 stores the bytes as they are";

    auto r = MakeBlob(TORQLocalBLOBStream::bmReadOnly, "HELLO");
    char got[6] = {};
    EXPECT_EQ(r->Read(got, 5), 5);
    EXPECT_STREQ(got, "HELLO");
    ExpectNative([&] { r->Write("X", 1); }, 10115, "Cannot write to read only stream - Native error: 10115");
    ExpectNative([&] { r->SetSize(0); }, 10116, "Cannot write to read only stream - Native error: 10116");
    EXPECT_FALSE(r->Modified());
    EXPECT_EQ(r->Size(), 5);

    auto rw = MakeBlob(TORQLocalBLOBStream::bmReadWrite, "HELLO");
    rw->SetSize(2);
    EXPECT_TRUE(rw->Modified());
    rw->Seek(0, soEnd);
    rw->WriteBuffer("Y", 1);
    std::string all(3, '\0');
    rw->Seek(0, soBeginning);
    rw->ReadBuffer(all.data(), 3);
    EXPECT_EQ(all, "HEY");
}

TEST(TORQLocalBLOBStream, ACursorOwnsItsOpenStreams) {
    // Freed with the cursor: the compressed stream before the base stream it uses
    // (the sanitizers check the order and that nothing leaks).
    auto c = std::make_unique<TORQCursor>();
    for (int i = 0; i < 3; ++i) {
        auto s = MakeBlob(TORQLocalBLOBStream::bmReadWrite, "abc");
        s->WriteBuffer("defg", 4);
        c->BlobStreams.push_back(std::move(s));
    }
    c.reset();
}

// ---------------------------------------------------------------------------------
// Table cursor

TEST(TORQTableCursor, ReadsATestTableInBothDirections) {
    TestDatabase db;
    TestTable t(&db, "LOG");
    t.AddField("N", aftInteger);
    t.AddField("T", aftVarChar, 3);
    for (int32_t v : {10, 20, 30}) t.AddRecord(v);

    TORQTableCursor c;
    c.OpenTable(t);
    c.OpenTable(t);  // already open on it: nothing
    EXPECT_EQ(t.CursorCount(), 1);
    EXPECT_EQ(c.Active, 1);
    EXPECT_EQ(c.TableName, "LOG");
    EXPECT_EQ(c.FieldDefs.GetCount(), 2);
    EXPECT_EQ(c.ProjectedFieldDefs.GetItem(1)->BaseFieldNo, 1);
    EXPECT_EQ(c.RecordSize, 9);
    EXPECT_EQ(c.RecordBufferSize, 16);
    ASSERT_NE(c.CurrentRecord, nullptr);
    EXPECT_EQ(GlobalMemoryManager().GetBlockSize(c.CurrentRecord), 16);

    auto value = [&] {
        TORQVariant v;
        c.GetFieldValue(v, 0, true);
        return v.GetAsInteger();
    };
    std::vector<int32_t> forward, backward;
    c.First();
    while (c.GetRecord(gmNext) == grOK) forward.push_back(value());
    EXPECT_TRUE(t.HeldDuringRead) << "records are read under the table data's lock";
    c.Last();
    while (c.GetRecord(gmPrior) == grOK) backward.push_back(value());
    EXPECT_EQ(forward, (std::vector<int32_t>{10, 20, 30}));
    EXPECT_EQ(backward, (std::vector<int32_t>{30, 20, 10}));
    EXPECT_EQ(c.GetRecord(gmCurrent), grOK);
    EXPECT_EQ(c.CurrentRecordID, (TORQRecordID{1, 0}));

    TestTable other(&db, "OTHER");
    other.AddField("N", aftInteger);
    ExpectNative([&] { c.OpenTable(other); }, 10260);
    EXPECT_EQ(other.CursorCount(), 0);

    c.CloseTable();
    EXPECT_EQ(t.CursorCount(), 0);
    EXPECT_EQ(c.CurrentRecord, nullptr);
    EXPECT_EQ(c.Active, 0);
    ExpectNative([&] { c.GetRecord(gmNext); }, 10260);
    c.CloseTable();  // closed: nothing
}

TEST(TORQTableCursor, InitRecordAndClearRecordBuffer) {
    TestDatabase db;
    TestTable t(&db, "T");
    for (int i = 0; i < 9; ++i) t.AddField(("F" + std::to_string(i)).c_str(), aftSmallInt);
    t.FieldManager->FieldDefs.GetItem(2)->DefaultValue.SetAsSmallInt(5);
    TORQTableCursor c;
    c.OpenTable(t);
    // 9 fields: a 2-byte bitmap, all Null.
    uint8_t* b = c.AllocRecordBuffer();
    std::memset(b, 0xAB, static_cast<size_t>(c.RecordBufferSize));
    c.ClearRecordBuffer(b);
    EXPECT_EQ(b[0], 0xFF);
    EXPECT_EQ(b[1], 0xFF);
    for (int32_t i = 2; i < c.RecordIDBufferSize; ++i) EXPECT_EQ(b[i], 0) << i;
    EXPECT_EQ(b[c.RecordIDBufferSize], 0xAB) << "the flag byte is not the record's";
    c.InitRecord(b, true);
    EXPECT_EQ(b[0], 0xFB);
    EXPECT_EQ(b[c.FieldDefs.GetItem(2)->MemoryOffset], 5);
    c.FreeRecordBuffer(b);
    EXPECT_EQ(b, nullptr);
}

TEST(TORQTableCursor, DestroyingAnOpenCursorUnregistersIt) {
    TestDatabase db;
    TestTable t(&db, "T");
    t.AddField("N", aftInteger);
    {
        TORQTableCursor c;
        c.OpenTable(t);
        EXPECT_TRUE(t.HasCursor(&c));
    }
    EXPECT_EQ(t.CursorCount(), 0);
}

// Counts the table locks asked of it and answers with Grant.
struct LockingCursor : TORQTableCursor {
    bool LockTable(uint8_t LockType, int32_t Tries, uint8_t Flag, int32_t Delay) override {
        Asked.push_back({LockType, Tries, Flag, Delay});
        return Grant;
    }
    bool UnlockTable(uint8_t LockType, uint8_t) override {
        Released.push_back(LockType);
        return Grant;
    }
    struct Ask {
        int32_t type, tries, flag, delay;
        bool operator==(const Ask&) const = default;
    };
    std::vector<Ask> Asked;
    std::vector<int32_t> Released;
    bool Grant = false;
};

TEST(TORQCursor, SessionTableLocksGoThroughTheCursorsLockSlots) {
    TestDatabase db;
    TestTable table(&db, "D");
    table.AddField("N", aftInteger);
    LockingCursor c;
    EXPECT_TRUE(c.LockTableForSession(4, 900, 100)) << "no table data: nothing to lock";
    EXPECT_TRUE(c.UnlockTableForSession(4));
    EXPECT_TRUE(c.Asked.empty());
    c.OpenTable(table);
    EXPECT_FALSE(c.LockTableForSession(4, 900, 100));
    c.Grant = true;
    EXPECT_TRUE(c.UnlockTableForSession(3));
    EXPECT_EQ(c.Asked, (std::vector<LockingCursor::Ask>{{4, 900, 1, 100}}));
    EXPECT_EQ(c.Released, std::vector<int32_t>{3});
}

}  // namespace
