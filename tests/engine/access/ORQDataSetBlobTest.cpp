// BLOB fields through the dataset's streams: modes, the modified rule and the field
// change, one writer per field, large values under every compression on each engine,
// and a BLOB that cannot be opened while browsing or editing.
#include "ORQDataSetTestFixture.h"

#include "LocalCursorFixture.h"

using namespace dstest;
using namespace classlib;

namespace {

// A key, a number and four BLOB fields, one per compression algorithm 0-3.
void CreateBlobTable(TEngineEnv& Env, const std::string& Name = "BLOBS") {
    TORQFieldDefs f;
    AddField(f, "UTCRECEIVED", aftDateTime);
    AddField(f, "FREQ", aftInteger);
    for (int a = 0; a < 4; ++a) {
        AddField(f, "B" + std::to_string(a), a == 0 ? aftMemo : aftBlob);
        f.GetItem(2 + a)->BlobCompressionAlgorithm = static_cast<uint8_t>(a);
        f.GetItem(2 + a)->BlobCompressionMode = 1;
    }
    TORQIndexDefs i;
    AddIndex(i, "IDX_DT", "UTCRECEIVED", true);
    Env.CreateTable(Name, f, &i);
}

std::string Pattern(size_t N, int Seed) {
    std::string s(N, '\0');
    uint32_t x = 2463534242u + static_cast<uint32_t>(Seed);
    for (size_t i = 0; i < N; ++i) {
        // Text-like with runs, so that every compressor has work and a result to check.
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        s[i] = static_cast<char>((x % 7 == 0) ? '\n' : 'A' + (x >> 8) % 26);
    }
    return s;
}

void AppendKey(TTestDataSet& Ds, int M) {
    Ds.Append();
    Ds.FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(M));
    Ds.FieldByName("FREQ")->SetAsInteger(M);
}

class Blobs : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(Blobs, LargeValuesUnderEveryCompressionReadBackByteForByte) {
    TEngineEnv env(GetParam());
    CreateBlobTable(env);
    auto ds = env.Open("BLOBS");
    const size_t size = 300 * 1024;
    AppendKey(*ds, 1);
    for (int a = 0; a < 4; ++a) ds->FieldByName("B" + std::to_string(a))->SetAsString(Pattern(size / 3, a));
    ds->Post();
    // TEMP tables take no updates: their value is the inserted one.
    const bool edits = GetParam() != ekTemp;
    if (edits) {
        ds->Edit();
        for (int a = 0; a < 4; ++a) ds->FieldByName("B" + std::to_string(a))->SetAsString(Pattern(size, 10 + a));
        ds->Post();
    }
    if (GetParam() == ekDisk) {
        ds->Close();
        ds->Open();
    }
    ds->First();
    for (int a = 0; a < 4; ++a) {
        SCOPED_TRACE(a);
        const std::string expected = edits ? Pattern(size, 10 + a) : Pattern(size / 3, a);
        const std::string got = ds->FieldByName("B" + std::to_string(a))->AsString();
        EXPECT_EQ(got.size(), expected.size());
        EXPECT_TRUE(got == expected);
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Blobs, ::testing::Values(ekMemory, ekTemp, ekDisk),
                         [](const auto& I) { return KindName(I.param); });

// A value set on a pending record and read back before the post is the value posted:
// reading it (as text or through a stream) keeps the pending value, small or spanning
// pages, in an insert and in an edit, in a memo and in a BLOB.
TEST_P(Blobs, AValueReadBackBeforeThePostIsTheValuePosted) {
    TEngineEnv env(GetParam());
    CreateBlobTable(env);
    auto ds = env.Open("BLOBS");
    struct Case {
        bool Edit;
        const char* Field;
        bool ThroughStream;
        size_t Size;
    };
    std::vector<Case> cases;
    for (bool edit : {false, true})
        for (const char* field : {"B0", "B1"})
            for (bool stream : {false, true})
                for (size_t size : {size_t{20}, size_t{100000}}) cases.push_back({edit, field, stream, size});
    int key = 0;
    for (const Case& c : cases) {
        // TEMP tables take no updates.
        if (c.Edit && GetParam() == ekTemp) continue;
        SCOPED_TRACE(std::string(c.Edit ? "edit " : "insert ") + c.Field + (c.ThroughStream ? " stream " : " text ") +
                     std::to_string(c.Size));
        ++key;
        const std::string old = Pattern(c.Size / 2 + 3, key), set = Pattern(c.Size, 100 + key);
        AppendKey(*ds, key);
        if (c.Edit) {
            ds->FieldByName(c.Field)->SetAsString(old);
            ds->Post();
            ds->Edit();
        }
        TField* field = ds->FieldByName(c.Field);
        field->SetAsString(set);
        std::string read;
        if (c.ThroughStream) {
            auto s = ds->CreateBlobStream(field, bmRead);
            read.resize(static_cast<size_t>(s->Size()));
            if (!read.empty()) {
                EXPECT_EQ(s->Read(read.data(), static_cast<int64_t>(read.size())), s->Size());
            }
        } else {
            read = field->AsString();
        }
        EXPECT_TRUE(read == set) << read.size();
        ds->Post();
        EXPECT_TRUE(field->AsString() == set);
        if (GetParam() == ekDisk) {
            ds->Close();
            ds->Open();
        }
        ASSERT_TRUE(ds->Locate("FREQ", Variant::FromInteger(key), 0));
        EXPECT_TRUE(ds->FieldByName(c.Field)->AsString() == set) << "as stored";
    }
}

// TEMP tables take no updates, so the edit's streams run on the two others.
class BlobModes : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(BlobModes, ModesTheModifiedRuleAndOneWriterPerField) {
    TEngineEnv env(GetParam());
    CreateBlobTable(env);
    auto ds = env.Open("BLOBS");
    AppendKey(*ds, 1);
    ds->FieldByName("B0")->SetAsString("kept text");
    ds->Post();
    auto* field = dynamic_cast<TBlobField*>(ds->FieldByName("B0"));
    int changes = 0;
    field->OnChange = [&](TField*) { ++changes; };

    // A writing stream needs an edit.
    EXPECT_EQ(NativeCode([&] { ds->CreateBlobStream(field, bmWrite); }), 10111);
    EXPECT_EQ(NativeCode([&] { ds->CreateBlobStream(field, bmReadWrite); }), 10111);
    EXPECT_EQ(ds->CreateBlobStream(field, bmRead)->Size(), 9);

    ds->Edit();
    field->SetModified(false);
    {
        // Opened for reading and writing but not written: nothing changes.
        auto s = ds->CreateBlobStream(field, bmReadWrite);
        EXPECT_EQ(s->Size(), 9) << "bmReadWrite keeps the value";
        char c[4];
        EXPECT_EQ(s->Read(c, 4), 4);
        EXPECT_EQ(NativeCode([&] { ds->CreateBlobStream(field, bmReadWrite); }), 10115);
    }
    EXPECT_FALSE(field->Modified());
    EXPECT_EQ(changes, 0);
    {
        auto s = ds->CreateBlobStream(field, bmWrite);
        EXPECT_EQ(s->Size(), 0) << "bmWrite empties the value";
        s->Write("new", 3);
    }
    EXPECT_TRUE(field->Modified());
    EXPECT_EQ(changes, 1);
    {
        // A size change that took counts as a write.
        auto s = ds->CreateBlobStream(field, bmReadWrite);
        s->SetSize(2);
    }
    EXPECT_EQ(changes, 2);
    ds->Post();
    EXPECT_EQ(field->AsString(), "ne");
    // The stream itself refuses writes on a read-only dataset.
    ds->Close();
    ds->SetReadOnly(true);
    ds->Open();
    field = dynamic_cast<TBlobField*>(ds->FieldByName("B0"));
    EXPECT_EQ(NativeCode([&] { TORQBLOBStream s(field, bmWrite); }), 10106);
    EXPECT_EQ(ds->FieldByName("B0")->AsString(), "ne");
    // An empty dataset has no record to open a BLOB of: it reads nothing, after one
    // refresh, and the cursor is never asked for a BLOB of no record.
    CreateBlobTable(env, "EMPTY");
    auto empty = env.Open("EMPTY");
    int refreshes = 0;
    empty->BeforeRefresh = [&](TDataSet*) { ++refreshes; };
    EXPECT_EQ(empty->FieldByName("B1")->AsString(), "");
    EXPECT_EQ(refreshes, 1);
}

INSTANTIATE_TEST_SUITE_P(Engines, BlobModes, ::testing::Values(ekMemory, ekDisk),
                         [](const auto& I) { return KindName(I.param); });

// ---------------------------------------------------------------------------------
// A BLOB that cannot be opened

class BlobConflicts : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(ekDisk, true);
        CreateBlobTable(*Env);
        Ds = Env->Open("BLOBS");
        for (int m = 1; m <= 3; ++m) {
            AppendKey(*Ds, m);
            Ds->FieldByName("B0")->SetAsString("text " + std::to_string(m));
            Ds->Post();
        }
    }
    void TearDown() override {
        Ds.reset();
        Env.reset();
        EngineTest::TearDown();
    }
    int Child(const std::function<int(lctest::TCursor&)>& Action) {
        const std::string path = Env->Path;
        return disktest::InChild([path, Action] {
            auto c = lctest::TConnection::Disk(path, true, "CHILD");
            lctest::TCursor cursor(*c, "BLOBS");
            cursor.Open();
            return Action(cursor);
        });
    }
    lctest::TFakeTime Time;
    lctest::TTuningScope Tuning{lctest::ShortTuning()};
    std::unique_ptr<TEngineEnv> Env;
    std::unique_ptr<TTestDataSet> Ds;
};

TEST_F(BlobConflicts, ARecordAnotherProcessDeletedRefreshesOnceAndReadsNothing) {
    ASSERT_TRUE(Ds->Locate("FREQ", Variant::FromInteger(2), 0));
    ASSERT_EQ(Child([](lctest::TCursor& C) { return C.Seek(2) && C.Delete() == 0 ? 0 : 1; }), 0);
    int refreshes = 0;
    Ds->BeforeRefresh = [&](TDataSet*) { ++refreshes; };
    auto s = Ds->CreateBlobStream(Ds->FieldByName("B0"), bmRead);
    EXPECT_EQ(refreshes, 1);
    EXPECT_EQ(s->Size(), 0);
    char c;
    EXPECT_EQ(s->Read(&c, 1), 0);
    s.reset();
    EXPECT_EQ(Ds->RecordCount(), 2);
    EXPECT_EQ(Ds->FieldByName("FREQ")->AsInteger(), 3) << "the refresh moved on to the next record";
}

TEST_F(BlobConflicts, InAnEditAStreamThatCannotOpenLeavesTheEditAndAWriteRaises) {
    ASSERT_TRUE(Ds->Locate("FREQ", Variant::FromInteger(2), 0));
    Ds->Edit();
    Ds->FieldByName("FREQ")->SetAsInteger(20);
    const std::string path = Env->Path;
    // The other side's post lock keeps the read lock of the BLOB's open away.
    auto hold = std::make_unique<disktest::HoldingChild>([path] {
        auto* c = lctest::TConnection::Disk(path, true, "CHILD").release();
        auto* cursor = new lctest::TCursor(*c, "BLOBS");
        cursor->Open();
        auto* d = dynamic_cast<TORQDiskTableData*>(cursor->TableData);
        return d->SetTableLock(cursor->Session->SessionID, ltPost, 1, 0, 1) ? 0 : 1;
    });
    ASSERT_EQ(hold->SetupResult, 0);
    int refreshes = 0;
    Ds->BeforeRefresh = [&](TDataSet*) { ++refreshes; };
    EXPECT_THROW(Ds->FieldByName("B0")->SetAsString("lost?"), EDatabaseError);
    EXPECT_EQ(refreshes, 0);
    EXPECT_EQ(Ds->State(), dsEdit);
    EXPECT_EQ(Ds->FieldByName("FREQ")->AsInteger(), 20);
    hold.reset();
    Ds->FieldByName("B0")->SetAsString("stored");
    Ds->Post();
    ASSERT_TRUE(Ds->Locate("FREQ", Variant::FromInteger(20), 0));
    EXPECT_EQ(Ds->FieldByName("B0")->AsString(), "stored");
}

}  // namespace

// ---------------------------------------------------------------------------------
// Two roads to a value: whole, and through a local stream

// A disk database component of its own, plain or enciphered, single- or multi-user.
struct TDiskDb {
    TDiskDb(const std::string& Password, bool MultiUser) {
        Path = Dir.File("TILO_DB.ORQ");
        Db = std::make_unique<TORQDatabase>(nullptr);
        Db->SetDatabaseName("ORQDB");
        Db->SetDatabaseFileName(Path);
        Db->Password = Password;
        Db->EncryptionAlgorithm = Password.empty() ? 0 : 3;
        Db->MultiUser = MultiUser;
        Db->CreateDatabase();
        Db->Open();
        if (auto* disk = dynamic_cast<TORQDiskDatabaseData*>(Db->Handle()->DatabaseData)) {
            disk->CommitBarriers = false;
            if (disk->DiskPageManager() != nullptr) disk->DiskPageManager()->CommitBarriers = false;
        }
    }
    ~TDiskDb() {
        try {
            Db->Close();
        } catch (...) {
        }
    }
    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TORQDatabase> Db;
};

// Everything a stream opened for reading gives, from a position the reads leave alone.
std::string ReadWhole(TStream& S) {
    std::string got;
    char chunk[777];
    S.SetPosition(0);
    for (int64_t n = S.Read(chunk, sizeof chunk); n > 0; n = S.Read(chunk, sizeof chunk))
        got.append(chunk, static_cast<size_t>(n));
    return got;
}

// A memo or BLOB read through the dataset is the value written, whichever road it takes:
// AsString and a stream opened for reading take it whole (from the cached page for a plain
// value on a shared page, by the value's stream for a compressed, a large or a pending
// one); a stream opened for reading and writing in an edit reads it through a local
// stream. Value kinds: long and short in turn, every byte value, about a page and past it,
// a value of many pages, an empty one (Null) and a single byte; in a stored (B0) and a
// compressed (B1) field. Plain and enciphered files, single- and multi-user, rows
// committed and rows still on the session's pages, and a value set on the edited record
// and not yet posted.
TEST_F(EngineTest, AMemoReadsTheSameWholeAndThroughAStream) {
    std::string binary;
    for (int i = 0; i < 600; ++i) binary.push_back(static_cast<char>((i * 37) & 0xFF));
    const std::vector<std::string> values = {Pattern(2500, 1) + "END", "XY", binary, std::string(3000, 'a'),
                                             std::string(5000, 'b'), Pattern(70000, 2), "", "Q"};
    struct Setting {
        const char* Password;
        bool MultiUser, Committed;
    };
    for (const Setting& set : {Setting{"", false, true}, Setting{"", false, false}, Setting{"navtex", false, true},
                               Setting{"navtex", false, false}, Setting{"", true, true}}) {
        SCOPED_TRACE(std::string(*set.Password ? "enciphered" : "plain") + (set.MultiUser ? " multi-user" : "") +
                     (set.Committed ? " committed" : " in a transaction"));
        TDiskDb disk(set.Password, set.MultiUser);
        {
            TORQFieldDefs f;
            AddField(f, "UTCRECEIVED", aftDateTime);
            AddField(f, "FREQ", aftInteger);
            AddField(f, "B0", aftMemo);
            AddField(f, "B1", aftBlob);
            f.GetItem(3)->BlobCompressionAlgorithm = 1;
            f.GetItem(3)->BlobCompressionMode = 1;
            TORQIndexDefs i;
            AddIndex(i, "IDX_DT", "UTCRECEIVED", true);
            TORQLocalCursor c;
            c.TableName = "BLOBS";
            c.Session = disk.Db->Handle();
            c.CreateTable(f, i, TORQConstraintDefs{});
        }
        auto ds = std::make_unique<TTestDataSet>();
        ds->SetDatabaseName("ORQDB");
        ds->TableName = "BLOBS";
        ds->Open();
        if (!set.Committed) disk.Db->StartTransaction();
        for (size_t k = 0; k < values.size(); ++k) {
            AppendKey(*ds, static_cast<int>(k));
            ds->FieldByName("B0")->SetAsString(values[k]);
            ds->FieldByName("B1")->SetAsString(values[k]);
            ds->Post();
        }
        ds->Close();
        ds->Open();
        auto check = [&](const std::string& Want, const char* What) {
            for (const char* name : {"B0", "B1"}) {
                SCOPED_TRACE(std::string(What) + " " + name + " of " + std::to_string(Want.size()) + " bytes");
                TField* field = ds->FieldByName(name);
                EXPECT_TRUE(field->AsString() == Want);
                EXPECT_EQ(field->IsNull(), Want.empty());
                {
                    auto s = ds->CreateBlobStream(field, bmRead);
                    EXPECT_EQ(s->Size(), static_cast<int64_t>(Want.size()));
                    EXPECT_TRUE(ReadWhole(*s) == Want);
                    EXPECT_EQ(NativeCode([&] { s->Write("x", 1); }), 10115);
                }
                if (ds->State() == dsEdit) {
                    auto s = ds->CreateBlobStream(field, bmReadWrite);
                    ASSERT_FALSE(dynamic_cast<TORQBLOBStreamOwner&>(*s).Stream().Whole());
                    EXPECT_TRUE(ReadWhole(*s) == Want) << "through a local stream";
                }
                TORQVariant v;
                ds->GetFieldValue(v, name[1] == '0' ? 2 : 3, false);
                EXPECT_EQ(v.IsNull(), Want.empty());
                if (!Want.empty()) {
                    EXPECT_TRUE(std::string(reinterpret_cast<const char*>(v.Data()), static_cast<size_t>(v.DataSize())) ==
                                Want) << "for the SQL layer";
                }
            }
        };
        // Long after short and short after long: nothing of one value shows in the next.
        ds->First();
        for (size_t k = 0; k < values.size(); ++k, ds->Next()) {
            ASSERT_EQ(ds->FieldByName("FREQ")->AsInteger(), static_cast<int>(k));
            check(values[k], "browsing");
            ds->Edit();
            check(values[k], "edited, as stored");
            const std::string pending = values[(k + 3) % values.size()];
            ds->FieldByName("B0")->SetAsString(pending);
            ds->FieldByName("B1")->SetAsString(pending);
            ds->FieldByName("FREQ")->SetAsInteger(static_cast<int>(k));
            check(pending, "edited, set and not posted");
            ds->Cancel();
            check(values[k], "cancelled");
        }
        if (!set.Committed) disk.Db->Rollback();
    }
}

// Closing one stream of a field leaves the field's other streams open: a value read while
// a stream of the same field is open (a field-change handler, a bound control) neither
// ends a reader's stream nor stores a writer's half-written value and lets the rest go.
// (Memory and disk only: TEMP tables take no updates.)
TEST_P(BlobModes, ClosingOneStreamOfAFieldLeavesItsOtherStreamsOpen) {
    TEngineEnv env(GetParam());
    CreateBlobTable(env);
    auto ds = env.Open("BLOBS");
    const std::string old = Pattern(3000, 1), head = Pattern(20, 2), tail = Pattern(100000, 3);
    AppendKey(*ds, 1);
    for (const char* name : {"B0", "B1"}) ds->FieldByName(name)->SetAsString(old);
    ds->Post();
    for (const char* name : {"B0", "B1"}) {
        SCOPED_TRACE(name);
        TField* field = ds->FieldByName(name);
        {
            // Readers: the first still reads its value after the others closed.
            auto first = ds->CreateBlobStream(field, bmRead);
            EXPECT_TRUE(field->AsString() == old);
            { auto second = ds->CreateBlobStream(field, bmRead); }
            EXPECT_TRUE(ReadWhole(*first) == old);
        }
        ds->Edit();
        {
            auto reader = ds->CreateBlobStream(field, bmRead);
            // A writer holding the field: a read in between sees the value it started from
            // and leaves the writer writing.
            auto writer = ds->CreateBlobStream(field, bmWrite);
            writer->WriteBuffer(head.data(), static_cast<int64_t>(head.size()));
            EXPECT_TRUE(field->AsString() == old);
            EXPECT_TRUE(ReadWhole(*ds->CreateBlobStream(field, bmRead)) == old);
            writer->WriteBuffer(tail.data(), static_cast<int64_t>(tail.size()));
            EXPECT_EQ(writer->Size(), static_cast<int64_t>(head.size() + tail.size()));
            writer.reset();
            EXPECT_TRUE(field->AsString() == head + tail) << "the written value once its stream closed";
            EXPECT_TRUE(ReadWhole(*reader) == old) << "an open reader keeps the value it opened";
        }
        ds->Post();
        EXPECT_TRUE(field->AsString() == head + tail);
        if (GetParam() == ekDisk) {
            ds->Close();
            ds->Open();
            field = ds->FieldByName(name);
        }
        EXPECT_TRUE(field->AsString() == head + tail) << "as stored";
        ds->Edit();
        field->SetAsString(old);
        ds->Post();
    }
}
