// Edit, post, delete and cancel on a multi-user disk table against another side that
// changes, deletes or locks records: a second session of this process under another
// session name (its own database object, conflicting as another process does), or a
// forked process. Every case ends with the other side taking every lock at once, which
// fails while this cursor keeps any lock it took.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>

#include "LocalCursorFixture.h"

namespace lctest {
namespace {

constexpr int64_t Rows = 10;

class LocalCursorEdit : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        StartTestEngine();
        Path = CreateDatabaseFile(Dir);
        A = TConnection::Disk(Path, true, "A");
        CreateLog(*A, ekDisk);
        Mine = std::make_unique<TCursor>(*A, "NAVTEXLOG");
        Mine->Open();
        for (int64_t m = 0; m < Rows; ++m) ASSERT_EQ(Mine->Append(m), 0);
        if (!Forked()) {
            B = TConnection::Disk(Path, true, "B");
            Theirs = std::make_unique<TCursor>(*B, "NAVTEXLOG");
            Theirs->Open();
        }
    }
    void TearDown() override {
        Theirs.reset();
        Mine.reset();
        B.reset();
        A.reset();
        StopTestEngine();
    }
    bool Forked() const { return GetParam(); }

    // Runs Action on the other side's cursor and leaves what it holds held until the
    // returned object goes (Undo then runs for the session of this process).
    struct THold {
        std::unique_ptr<disktest::HoldingChild> Child;
        std::function<void()> Undo;
        int Result = 0;
        ~THold() {
            if (Undo) Undo();
        }
    };
    std::unique_ptr<THold> Hold(const std::function<int(TCursor&, TConnection&)>& Action,
                                const std::function<void(TCursor&, TConnection&)>& Undo) {
        auto h = std::make_unique<THold>();
        if (!Forked()) {
            h->Result = Action(*Theirs, *B);
            h->Undo = [this, Undo] { Undo(*Theirs, *B); };
            return h;
        }
        const std::string path = Path;
        h->Child = std::make_unique<disktest::HoldingChild>([path, Action] {
            // Kept until the child ends: the locks go with the process.
            auto* c = TConnection::Disk(path, true, "B").release();
            auto* cursor = new TCursor(*c, "NAVTEXLOG");
            cursor->Open();
            return Action(*cursor, *c);
        });
        h->Result = h->Child->SetupResult;
        return h;
    }
    // Runs Action on the other side and lets go of everything.
    int Do(const std::function<int(TCursor&)>& Action) {
        if (!Forked()) return Action(*Theirs);
        const std::string path = Path;
        return disktest::InChild([path, Action] {
            auto c = TConnection::Disk(path, true, "B");
            TCursor cursor(*c, "NAVTEXLOG");
            cursor.Open();
            return Action(cursor);
        });
    }
    // 0 when the other side gets the record lock on Minute's record and the post,
    // strict transaction and edit table locks, one after the other, all held at once.
    int OtherTakesEveryLock(int64_t Minute) {
        return Do([Minute](TCursor& c) {
            if (!c.Seek(Minute)) return 10;
            auto* d = dynamic_cast<TORQDiskTableData*>(c.TableData);
            const int32_t s = c.Session->SessionID;
            const TORQRecordID id = c.CurrentRecordID;
            int rc = 0;
            if (!d->LockRecord(s, id, 0, 1)) return 11;
            if (!d->SetTableLock(s, ltPost, 1, 0, 1)) rc = 12;
            if (rc == 0 && !d->SetTableLock(s, ltTransaction, 0, 0, 1)) rc = 13;
            if (rc == 0 && !d->SetTableLock(s, ltEdit, 1, 0, 1)) rc = 14;
            if (rc == 0) d->ReleaseTableLock(s, ltEdit, 1);
            if (rc == 0 || rc == 14) d->ReleaseTableLock(s, ltTransaction, 1);
            if (rc == 0 || rc >= 13) d->ReleaseTableLock(s, ltPost, 1);
            d->UnlockRecord(s, id);
            return rc;
        });
    }

    TFakeTime Time;
    TTuningScope Tuning{ShortTuning()};
    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TConnection> A, B;
    std::unique_ptr<TCursor> Mine, Theirs;
};

// The other side changes (Freq) or deletes a record this cursor has read.
TEST_P(LocalCursorEdit, ChangesAndDeletesOfTheOtherSideGiveTheirCodes) {
    struct TCase {
        const char* Name;
        bool OtherDeletes;
        bool MineDeletes;
        int32_t Expected;
    } cases[] = {
        {"edit after a change", false, false, -4},
        {"edit after a delete", true, false, -6},
        {"delete after a change", false, true, -5},
        {"delete after a delete", true, true, -7},
    };
    int64_t minute = 1;
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Name);
        ASSERT_TRUE(Mine->Seek(minute));
        const int rc = Do([&](TCursor& c) {
            if (!c.Seek(minute)) return 20;
            if (k.OtherDeletes) {
                return c.Delete() == 0 ? 0 : 21;
            }
            if (c.BeginEdit() != 0) return 22;
            c.SetInt(fFreq, 490);
            return c.Post(false) == 0 ? 0 : 23;
        });
        ASSERT_EQ(rc, 0);
        const int32_t got = k.MineDeletes ? Mine->Delete() : Mine->BeginEdit();
        EXPECT_EQ(got, k.Expected);
        // The buffer is the record as this cursor read it.
        EXPECT_EQ(Mine->Minute(), minute);
        EXPECT_EQ(Mine->GetInt(fFreq), 518);
        if (!k.OtherDeletes) {
            EXPECT_EQ(OtherTakesEveryLock(minute), 0);
        }
        ++minute;
    }
}

TEST_P(LocalCursorEdit, TheOthersRecordLockGivesMinus12AndLetsGoOfTheTableLock) {
    auto held = Hold([](TCursor& c, TConnection&) { return c.Seek(3) && c.BeginEdit() == 0 ? 0 : 30; },
                     [](TCursor& c, TConnection&) { c.Cancel(); });
    ASSERT_EQ(held->Result, 0);
    ASSERT_TRUE(Mine->Seek(3));
    EXPECT_EQ(Mine->BeginEdit(), -12);
    EXPECT_FALSE(Mine->HoldsEditLocks());
    EXPECT_EQ(Mine->Delete(), -12);
    // Another record of the table is free.
    ASSERT_TRUE(Mine->Seek(4));
    EXPECT_EQ(Mine->BeginEdit(), 0);
    Mine->Cancel();
    held.reset();
    ASSERT_TRUE(Mine->Seek(3));
    EXPECT_EQ(Mine->BeginEdit(), 0);
    Mine->SetInt(fDist, 99);
    EXPECT_EQ(Mine->Post(false), 0);
    EXPECT_EQ(OtherTakesEveryLock(3), 0);
}

TEST_P(LocalCursorEdit, TheOthersTransactionBlocksEditAndItsPostLockThePostAndDelete) {
    {
        auto held = Hold(
            [](TCursor& c, TConnection& conn) {
                conn.S.StartTransaction();
                if (!c.Seek(5) || c.BeginEdit() != 0) return 31;
                c.SetInt(fDist, 5);
                return c.Post(false) == 0 ? 0 : 32;
            },
            [](TCursor&, TConnection& conn) { conn.S.Commit(true); });
        ASSERT_EQ(held->Result, 0);
        ASSERT_TRUE(Mine->Seek(6));
        EXPECT_EQ(Mine->BeginEdit(), -13);
        EXPECT_FALSE(Mine->HoldsEditLocks());
    }
    ASSERT_TRUE(Mine->Seek(6));
    EXPECT_EQ(Mine->BeginEdit(), 0);
    Mine->Cancel();
    const int64_t count = Mine->GetRecordCount();
    const auto postLock = [](TCursor& c, TConnection&) { return c.LockTable(ltPost, 1, 1, 0) ? 0 : 33; };
    const auto postUnlock = [](TCursor& c, TConnection&) { c.UnlockTable(ltPost, 1); };
    {
        ASSERT_TRUE(Mine->Seek(7));
        auto held = Hold(postLock, postUnlock);
        ASSERT_EQ(held->Result, 0);
        EXPECT_EQ(Mine->Delete(), -13);
        // The edit's re-read cannot have its read lock: the table is locked, the record
        // is not gone.
        EXPECT_EQ(Mine->BeginEdit(), -13);
        EXPECT_FALSE(Mine->HoldsEditLocks());
        Mine->FillLog(100);
        EXPECT_EQ(Mine->Post(true), -13);
    }
    EXPECT_EQ(Mine->GetRecordCount(), count);
    {
        // An edit under way meets the post lock at its post and keeps its own locks.
        ASSERT_TRUE(Mine->Seek(8));
        EXPECT_EQ(Mine->BeginEdit(), 0);
        auto held = Hold(postLock, postUnlock);
        ASSERT_EQ(held->Result, 0);
        Mine->SetInt(fDist, 8);
        EXPECT_EQ(Mine->Post(false), -13);
        EXPECT_TRUE(Mine->HoldsEditLocks());
        Mine->Cancel();
        EXPECT_FALSE(Mine->HoldsEditLocks());
    }
    EXPECT_EQ(OtherTakesEveryLock(7), 0);
    EXPECT_EQ(OtherTakesEveryLock(8), 0);
}

TEST_P(LocalCursorEdit, APostThatRaisesLetsGoOfEveryLock) {
    for (int kind = 0; kind < 2; ++kind) {
        ASSERT_TRUE(Mine->Seek(2));
        ASSERT_EQ(Mine->BeginEdit(), 0);
        Mine->SetInt(fDist, 1);
        // The post's re-read meets a failure of its own (not a -8).
        Mine->OnFilterRecord = [kind](const uint8_t*) -> bool {
            if (kind == 0) throw std::bad_alloc();
            throw std::runtime_error("filter failed");
        };
        if (kind == 0)
            EXPECT_THROW(Mine->PostRecord(false), std::bad_alloc);
        else
            EXPECT_THROW(Mine->PostRecord(false), std::runtime_error);
        Mine->OnFilterRecord = nullptr;
        EXPECT_FALSE(Mine->HoldsEditLocks());
        EXPECT_EQ(OtherTakesEveryLock(2), 0);
        Mine->Cancel();  // nothing left to release: no error
    }
}

TEST_P(LocalCursorEdit, CloseTableLetsGoOfAnUnfinishedEdit) {
    ASSERT_TRUE(Mine->Seek(9));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    EXPECT_NE(OtherTakesEveryLock(9), 0);
    Mine->Close();
    EXPECT_EQ(OtherTakesEveryLock(9), 0);
}

TEST_P(LocalCursorEdit, TheDeleteLocksTheRecordOfItsBufferNotTheCursorsPosition) {
    auto held = Hold([](TCursor& c, TConnection&) { return c.Seek(3) && c.BeginEdit() == 0 ? 0 : 34; },
                     [](TCursor& c, TConnection&) { c.Cancel(); });
    ASSERT_EQ(held->Result, 0);
    ASSERT_TRUE(Mine->Seek(4));
    const TORQRecordID elsewhere = Mine->CurrentRecordID;
    ASSERT_TRUE(Mine->Seek(3));
    // The caller's position names another record than the buffer it deletes.
    Mine->CurrentRecordID = elsewhere;
    EXPECT_EQ(Mine->Delete(), -12);
    held.reset();
    Mine->CurrentRecordID = elsewhere;
    EXPECT_EQ(Mine->Delete(), 0);
    EXPECT_FALSE(Mine->Seek(3));
    EXPECT_TRUE(Mine->Seek(4));
    EXPECT_EQ(OtherTakesEveryLock(4), 0);
}

TEST_P(LocalCursorEdit, CancelReleasesTheRecordEditLockedOnceWhereverThePositionMoved) {
    ASSERT_TRUE(Mine->Seek(6));
    const TORQRecordID six = Mine->CurrentRecordID;
    ASSERT_TRUE(Mine->Seek(5));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    EXPECT_NE(OtherTakesEveryLock(5), 0);
    Mine->CurrentRecordID = six;
    Mine->CancelRecord(false);
    EXPECT_EQ(OtherTakesEveryLock(5), 0);
    // Nothing left to release: a second cancel passes.
    EXPECT_NO_THROW(Mine->CancelRecord(false));
}

TEST_P(LocalCursorEdit, InATransactionTheEditLockStaysWithTheTransaction) {
    A->S.StartTransaction();
    ASSERT_TRUE(Mine->Seek(2));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    Mine->SetInt(fDist, 22);
    ASSERT_EQ(Mine->Post(false), 0);
    EXPECT_FALSE(Mine->HoldsEditLocks());
    // The other side's edit code, negated (exit statuses are not negative).
    const auto otherEdit = [](TCursor& c) {
        if (!c.Seek(7)) return 50;
        const int32_t code = c.BeginEdit();
        c.Cancel();
        return -code;
    };
    EXPECT_EQ(Do(otherEdit), 13);
    A->S.Commit(true);
    EXPECT_EQ(Do(otherEdit), 0);
    ASSERT_TRUE(Mine->Seek(2));
    EXPECT_EQ(Mine->GetInt(fDist), 22);
}

TEST_P(LocalCursorEdit, ADeleteComparesValuesNotTextTailsOrBlobCacheHandles) {
    ASSERT_TRUE(Mine->Seek(1));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    Mine->SetText(fText, "the message of minute 1", false);
    ASSERT_EQ(Mine->Post(false), 0);
    ASSERT_TRUE(Mine->Seek(1));
    // Bytes after the station's terminator, and a BLOB value cached for this buffer.
    const TORQFieldDef& station = *Mine->FieldDefs.GetItem(fStation);
    uint8_t* tail = Mine->CurrentRecord + station.MemoryOffset + Mine->GetString(fStation).size() + 1;
    std::memset(tail, 'Z', 8);
    uint8_t* data = nullptr;
    TORQBlobDataHeader header;
    Mine->TableData->ReadBlob(Mine.get(), fText, data, header, Mine->CurrentRecord);
    EXPECT_GT(header.StoredSize, 0);
    Mine->TableData->DeleteBlob(data);
    EXPECT_EQ(Mine->Delete(), 0);
    EXPECT_FALSE(Mine->Seek(1));
}

INSTANTIATE_TEST_SUITE_P(Sides, LocalCursorEdit, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& I) { return I.param ? "Forked" : "SameProcess"; });

// ---------------------------------------------------------------------------------

class LocalCursorChecks : public ::testing::Test {
protected:
    void SetUp() override {
        StartTestEngine();
        Path = CreateDatabaseFile(Dir);
        A = TConnection::Disk(Path, true, "A");
        TORQFieldDefs fields;
        LogFields(fields);
        TORQIndexDefs indexes;
        LogIndexes(indexes);
        TORQConstraintDefs constraints;
        constraints.AddNotNull()->TargetName = "STATION";
        IndexDefToConstraintDefs(*indexes.GetItem(0), constraints);
        TCursor c(*A, "NAVTEXLOG");
        c.CreateTable(fields, indexes, constraints);
        Mine = std::make_unique<TCursor>(*A, "NAVTEXLOG");
        Mine->Open();
    }
    void TearDown() override {
        Mine.reset();
        A.reset();
        StopTestEngine();
    }
    TFakeTime Time;
    TTuningScope Tuning{ShortTuning()};
    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TConnection> A;
    std::unique_ptr<TCursor> Mine;
};

TEST_F(LocalCursorChecks, AViolationGivesMinus8WithItsTextAndTheEditKeepsItsLocks) {
    ASSERT_EQ(Mine->Append(1), 0);
    // Insert: NOT NULL, then the primary key.
    Mine->FillLog(2);
    Mine->SetNull(fStation);
    EXPECT_EQ(Mine->Post(true), -8);
    EXPECT_NE(Mine->ResultText.find("STATION"), std::string::npos) << Mine->ResultText;
    EXPECT_NE(Mine->ResultText.find("Native error: 30"), std::string::npos) << Mine->ResultText;
    Mine->FillLog(1);
    EXPECT_EQ(Mine->Post(true), -8);
    EXPECT_NE(Mine->ResultText.find("Native error: 303"), std::string::npos) << Mine->ResultText;
    EXPECT_EQ(Mine->GetRecordCount(), 1);
    // Update: the edit stays, locks and all, for the caller to mend or cancel.
    ASSERT_TRUE(Mine->Seek(1));
    ASSERT_EQ(Mine->BeginEdit(), 0);
    Mine->SetNull(fStation);
    EXPECT_FALSE(Mine->CheckConstraints(false));
    EXPECT_EQ(Mine->Post(false), -8);
    EXPECT_TRUE(Mine->HoldsEditLocks());
    Mine->SetString(fStation, "MENDED");
    EXPECT_TRUE(Mine->CheckConstraints(false));
    EXPECT_EQ(Mine->Post(false), 0);
    EXPECT_FALSE(Mine->HoldsEditLocks());
    EXPECT_TRUE(Mine->Seek(1));
    EXPECT_EQ(Mine->GetString(fStation), "MENDED");
}

TEST(LocalCursorTemporary, EditAndDeleteAreRefusedAndCancelPasses) {
    StartTestEngine();
    {
        auto temp = TConnection::InProcess("TEMP");
        CreateLog(*temp, ekTemp, "RESULT");
        TCursor c(*temp, "RESULT", ekTemp);
        c.TemporaryTable = 1;
        c.Open();
        ASSERT_EQ(c.Append(1), 0);
        ASSERT_TRUE(c.Seek(1));
        EXPECT_EQ(c.BeginEdit(), -9);
        EXPECT_EQ(c.Delete(), -10);
        c.CancelRecord(false);
        EXPECT_EQ(c.ResultCode, 0);
        EXPECT_EQ(c.GetRecordCount(), 1);
    }
    StopTestEngine();
}

}  // namespace
}  // namespace lctest
