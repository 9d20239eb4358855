// The cursor's lock waits with the default tries and delays, counted through a sleeper
// that advances a fake clock. Inside every sleep a second thread must get the table data's
// (the database's) lock: a loop that slept holding it would block the thread that could
// release the lock waited for.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "LocalCursorFixture.h"

namespace lctest {
namespace {

class LocalCursorLockLoops : public ::testing::Test {
protected:
    void SetUp() override {
        SetCursorLockTuning(TORQCursorLockTuning());
        StartTestEngine();
        Path = CreateDatabaseFile(Dir);
        A = TConnection::Disk(Path, true, "A");
        B = TConnection::Disk(Path, true, "B");
        CreateLog(*A, ekDisk);
        Mine = std::make_unique<TCursor>(*A, "NAVTEXLOG");
        Mine->Open();
        for (int64_t m = 0; m < 5; ++m) ASSERT_EQ(Mine->Append(m), 0);
        Theirs = std::make_unique<TCursor>(*B, "NAVTEXLOG");
        Theirs->Open();
        Time.OnSleep = [this](int32_t) {
            std::thread other([this] {
                std::recursive_mutex& m = A->DiskData()->LockSection();
                if (m.try_lock()) {
                    ++LockedInSleep;
                    m.unlock();
                }
            });
            other.join();
        };
    }
    void TearDown() override {
        Time.OnSleep = nullptr;
        Theirs.reset();
        Mine.reset();
        B.reset();
        A.reset();
        StopTestEngine();
    }
    void ExpectSleeps(size_t Count, int32_t Low, int32_t High) {
        EXPECT_EQ(Time.Sleeps.size(), Count);
        EXPECT_EQ(LockedInSleep, static_cast<int32_t>(Time.Sleeps.size()));
        for (int32_t ms : Time.Sleeps) {
            ASSERT_GE(ms, Low);
            ASSERT_LE(ms, High);
        }
    }
    // The post's and delete's waits: 1, 1, 2, 2, 4, ... ms up to the delay, half to all of it.
    void ExpectGrowingSleeps(size_t Count, int32_t Delay) {
        ASSERT_EQ(Time.Sleeps.size(), Count);
        EXPECT_EQ(LockedInSleep, static_cast<int32_t>(Count));
        EXPECT_EQ(Time.Sleeps[0], 1);
        for (size_t i = 0; i < Count; ++i) {
            const int32_t grown = std::min<int32_t>(Delay, int32_t{1} << std::min<size_t>(i / 2, 20));
            ASSERT_GE(Time.Sleeps[i], std::max(grown / 2, 1)) << i;
            ASSERT_LE(Time.Sleeps[i], grown) << i;
        }
    }
    void ResetCounts() {
        Time.Sleeps.clear();
        LockedInSleep = 0;
    }

    TFakeTime Time;
    int32_t LockedInSleep = 0;
    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TConnection> A, B;
    std::unique_ptr<TCursor> Mine, Theirs;
};

TEST_F(LocalCursorLockLoops, ABlockedPostTries2250TimesUpTo40msApartAndADelete900TimesUpTo100msApart) {
    ASSERT_TRUE(Mine->Seek(2));
    ASSERT_TRUE(Theirs->LockTable(ltPost, 1, 1, 0));
    ResetCounts();
    EXPECT_EQ(Mine->Delete(), -13);
    ExpectGrowingSleeps(899, 100);

    ResetCounts();
    const int64_t start = Time.Now;
    Mine->FillLog(50);
    EXPECT_EQ(Mine->Post(true), -13);
    ExpectGrowingSleeps(2249, 40);
    EXPECT_GE(Time.Now - start, 2249 * 20);
    EXPECT_LE(Time.Now - start, 2249 * 40);
    Theirs->UnlockTable(ltPost, 1);
    ResetCounts();
    EXPECT_EQ(Mine->Post(true), 0);
    EXPECT_TRUE(Time.Sleeps.empty());
}

TEST_F(LocalCursorLockLoops, AnEditsTableLockTries900AndItsRecordLock15TimesWithRandomSleeps) {
    B->S.StartTransaction();
    ASSERT_TRUE(Theirs->Seek(1));
    ASSERT_EQ(Theirs->BeginEdit(), 0);
    Theirs->SetInt(fDist, 1);
    ASSERT_EQ(Theirs->Post(false), 0);  // the transaction's lock stays
    ASSERT_TRUE(Mine->Seek(3));
    ResetCounts();
    EXPECT_EQ(Mine->BeginEdit(), -13);
    ExpectSleeps(899, 50, 99);
    B->S.Commit(true);

    ASSERT_TRUE(Theirs->Seek(3));
    ASSERT_EQ(Theirs->BeginEdit(), 0);
    ResetCounts();
    EXPECT_EQ(Mine->BeginEdit(), -12);
    ExpectSleeps(14, 50, 99);
    Theirs->Cancel();
}

TEST_F(LocalCursorLockLoops, ALockReleasedByAnotherThreadDuringTheWaitTurnsTheEditInto0) {
    ASSERT_TRUE(Theirs->Seek(4));
    ASSERT_EQ(Theirs->BeginEdit(), 0);
    ASSERT_TRUE(Mine->Seek(4));
    ResetCounts();
    Time.OnSleep = [this](int32_t Count) {
        if (Count != 5) return;
        std::thread other([this] { Theirs->Cancel(); });
        other.join();
    };
    EXPECT_EQ(Mine->BeginEdit(), 0);
    EXPECT_EQ(Time.Sleeps.size(), 5u);
    Mine->SetInt(fDist, 44);
    EXPECT_EQ(Mine->Post(false), 0);
}

}  // namespace
}  // namespace lctest
