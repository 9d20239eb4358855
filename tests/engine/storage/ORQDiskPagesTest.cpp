// Page input and output of the disk page manager: the page header on disk, change stamps
// and their wrap, short reads after another handle cut the file, failing stamp reads,
// raw regions, map pages, the page count under the header lock, encrypted pages, and the
// commit bracket with its barriers and its faults (failed writes, a process killed inside
// a commit).
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>
#include <zlib.h>

#include <climits>
#include <string>
#include <vector>

#include "DiskPageFixture.h"
#include "GoldenBytes.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using diskpages::AddPage;
using diskpages::Database;
using diskpages::HookScope;
using diskpages::LE32;
using golden::Bytes;
using golden::I32;
using golden::Txt;
using golden::operator+;

namespace {

uint32_t EngineCrc(const uint8_t* p, std::size_t n) {
    return ~static_cast<uint32_t>(crc32(0xFFFFFFFFu, p, static_cast<uInt>(n)));
}

std::string Native(const std::string& Message, int Code) {
    return Message + " - Native error: " + std::to_string(Code);
}

// Counts the file layer's calls of one kind; fails them with Error while armed.
struct CallCounter {
    int Writes = 0;
    int Syncs = 0;
    int Reads = 0;
};

}  // namespace

TEST(DiskPages, ACommittedPageHoldsTheLayoutsHeader) {
    Database db;
    auto m = db.Open();
    const int32_t n = AddPage(*m, 1, 0xA5);
    ASSERT_EQ(n, 2);
    m->CommitSession(1);
    Bytes page = db.PageBytes(n);
    const int32_t stamp = LE32(page, 4);
    // A new page starts at a random stamp from 0 to 1073741822; the write adds one.
    EXPECT_GE(stamp, 1);
    EXPECT_LE(stamp, 1073741823);
    const Bytes expected = Txt("ORQP") + I32(stamp) + Bytes{10, 0} + I32(-1) + I32(0) + Bytes{0, 0, 0, 0} + I32(-1) +
                           I32(-1) + Bytes{0, 0} + Bytes(8, 0) + Bytes(4056, 0xA5);
    EXPECT_EQ(page, expected) << "no CRC, no cipher id, reserved bytes zero";
    EXPECT_EQ(db.StateByte(), 2);
    EXPECT_EQ(db.HeaderI32(38), 1) << "change counter";
    // Another manager reads what was written.
    auto other = db.Open();
    EXPECT_EQ(diskpages::FirstDataByte(*other, 1, n), 0xA5);
}

TEST(DiskPages, StampsRunToTheirLimitThenStartAgainAtZero) {
    struct Case {
        int32_t Before;
        int32_t Written;
    };
    const Case cases[] = {{0, 1},           {2147483643, 2147483644}, {2147483644, 0}, {2147483645, 0},
                          {INT32_MAX, 0},   {-1, 0},                  {INT32_MIN, 0},  {1073741822, 1073741823}};
    Database db;
    auto m = db.Open(false);
    const int32_t n = AddPage(*m, 1, 1);
    m->CommitSession(1);
    for (const Case& c : cases) {
        TORQPage* page = m->GetPage(1, n, true, ptTableRecord);
        page->SetChangeStamp(c.Before);
        m->WritePage(page);
        EXPECT_EQ(page->GetChangeStamp(), c.Written) << c.Before;
        EXPECT_EQ(LE32(db.PageBytes(n), 4), c.Written) << c.Before;
        m->ReleasePage(page);
    }
}

TEST(DiskPages, AShortReadAfterAnotherHandleCutTheFileFails) {
    Database db;
    auto m = db.Open();
    AddPage(*m, 1, 7);
    m->CommitSession(1);  // pages 0 to 5 in the file
    {
        TORQDatabaseFile other;
        other.OpenFile(db.Name, 1, 1);
        other.SetSize(diskpages::Page0 + 5 * 4096 + 2);  // page 5 keeps two bytes
        other.CloseFile();
    }
    TORQPage page(m.get());
    page.PageNo = 5;
    EXPECT_FALSE(m->ReadPage(&page));
    EXPECT_EQ(page.GetChangeStamp(), INT32_MAX) << "marked invalid";
    uint8_t buffer[16];
    EXPECT_EQ(Raised([&] { m->ReadPageRegion(buffer, 5, 16, 0); }).first, 10474);
    EXPECT_EQ(Raised([&] { m->ReadPageChangeCounter(5); }).first, 20197);
    // A page that could not be read is never served, cached or written.
    EXPECT_EQ(Raised([&] { m->GetPage(1, 5, true, ptTableRecord); }).first, 20154);
    EXPECT_EQ(m->SharedList().IndexOf(5), -1);
    int writes = 0;
    HookScope hook([&](TORQFileCall call, const std::string&) {
        writes += call == TORQFileCall::Write;
        return 0;
    });
    m->CommitSession(1);
    EXPECT_EQ(writes, 0);
}

TEST(DiskPages, AFailingStampReadRaisesInsteadOfLookingForeign) {
    Database db;
    auto m = db.Open();
    const int32_t n = AddPage(*m, 1, 7);
    m->CommitSession(1);
    EXPECT_EQ(m->ReadPageChangeCounter(n), LE32(db.PageBytes(n), 4));
    // Outside multi-user mode nothing is read.
    auto single = db.Open(false);
    HookScope hook([](TORQFileCall call, const std::string&) { return call == TORQFileCall::Read ? EIO : 0; });
    const auto [code, message] = Raised([&] { m->ReadPageChangeCounter(n); });
    EXPECT_EQ(code, 20197);
    EXPECT_NE(message.find("Input/output error"), std::string::npos) << message;
    // The page cache's check of a cached page raises the same.
    EXPECT_EQ(Raised([&] { m->GetPage(1, n, true, ptTableRecord); }).first, 20197);
    EXPECT_EQ(single->ReadPageChangeCounter(n), 0);
}

TEST(DiskPages, RegionsOffsetsAndMapPages) {
    Database db;
    auto m = db.Open();
    const int32_t n = AddPage(*m, 1, 0);
    m->CommitSession(1);
    EXPECT_EQ(m->GetPageOffset(0), 380);
    EXPECT_EQ(m->GetPageOffset(3), 380 + 3 * 4096);
    ExpectNative([&] { m->GetPageOffset(-1); }, 10471, Native("Invalid PageNo = -1", 10471));
    uint8_t buffer[200] = {};
    ExpectNative([&] { m->ReadPageRegion(buffer, n, 200, 4000); }, 10476,
                 Native("Error - invalid page offset = 4200, page size = 4096", 10476));
    ExpectNative([&] { m->WritePageRegion(buffer, n, 200, 3897); }, 10477,
                 Native("Error - invalid page offset = 4097, page size = 4096", 10477));
    const Bytes text = Txt("raw bytes");
    m->WritePageRegion(text.data(), n, static_cast<int32_t>(text.size()), 4087);
    const Bytes onDisk = db.PageBytes(n);
    EXPECT_EQ(Bytes(onDisk.end() - 9, onDisk.end()), text);
    uint8_t back[9] = {};
    m->ReadPageRegion(back, n, 9, 4087);
    EXPECT_EQ(Bytes(back, back + 9), text);
    // Map pages never go through the page cache.
    for (int32_t map : {0, 1}) {
        ExpectNative([&] { m->GetPage(1, map, true, AnyPageType); }, 30434,
                     Native("Cannot delete PFS or EAM page. PageNo=" + std::to_string(map), 30434));
        EXPECT_EQ(Raised([&] { m->FreePageForSession(1, map); }).first, 30434);
    }
    // Page byte locks lie inside the page.
    ASSERT_TRUE(m->LockPageByte(n, 10));
    auto other = db.Open();
    EXPECT_TRUE(other->IsPageByteLocked(n, 10));
    EXPECT_TRUE(other->IsPageRegionLocked(n, 5, 6));
    EXPECT_FALSE(other->IsPageRegionLocked(n, 11, 100));
    EXPECT_FALSE(other->LockPageByte(n, 10));
    TORQDatabaseFile probe;
    probe.OpenFile(db.Name, 0, 1);
    EXPECT_TRUE(probe.IsByteLocked(380 + 2 * 4096 + 10));
    EXPECT_TRUE(m->UnlockPageByte(n, 10));
    EXPECT_FALSE(other->IsPageByteLocked(n, 10));
}

TEST(DiskPages, AFreedPageIsStampedOnDiskBeforeItsNumberIsReleased) {
    Database db;
    auto m = db.Open();
    const int32_t first = AddPage(*m, 1, 1);
    AddPage(*m, 1, 2);
    m->CommitSession(1);
    m->FreePageForSession(1, first);
    m->CommitSession(1);
    EXPECT_EQ(LE32(db.PageBytes(first), 4), INT32_MAX);
    EXPECT_EQ(db.PageBytes(0).at(40), 0x0B) << "pages 0, 1 and 3 used";
    EXPECT_EQ(AddPage(*m, 1, 3), first);
    m->RollbackSession(1);
}

TEST(DiskPages, PageCountRetriesTheHeaderLock) {
    Database db;
    auto a = db.Open();
    auto b = db.Open();
    AddPage(*b, 1, 1);
    b->CommitSession(1);
    ASSERT_TRUE(b->LockHeader());
    {
        diskpages::SleepCounter sleeper;
        ExpectNative([&] { a->GetPageCount(); }, 20236, Native("Database is locked", 20236));
        EXPECT_EQ(sleeper.Count, 4500);
    }
    // Freed after a few tries: the count comes back.
    int tries = 0;
    SetEngineSleeper([&](int32_t) {
        if (++tries == 3) b->UnlockHeader();
    });
    EXPECT_EQ(a->GetPageCount(), 6);
    SetEngineSleeper({});
    EXPECT_EQ(tries, 3);
}

TEST(DiskPages, EncryptedPagesCarryTheCrcOfTheirPlainData) {
    Database db({"harbour", 4});
    auto m = db.Open();
    const int32_t n = AddPage(*m, 1, 0x5A);
    m->CommitSession(1);
    const Bytes plain(4056, 0x5A);
    Bytes page = db.PageBytes(n);
    EXPECT_EQ(Bytes(page.begin(), page.begin() + 4), Txt("ORQP"));
    EXPECT_EQ(page.at(8), 10) << "the header stays plain";
    EXPECT_EQ(page.at(20), 4) << "cipher id";
    EXPECT_EQ(static_cast<uint32_t>(LE32(page, 14)), EngineCrc(plain.data(), plain.size()));
    Bytes data(page.begin() + 40, page.end());
    EXPECT_NE(data, plain);
    ASSERT_TRUE(DecryptBuffer(4, data.data(), 4056, "harbour"));
    EXPECT_EQ(data, plain);
    // Map pages stay plain: the PFS page shows pages 0 to 2 used, the EAM page extent 0 open.
    EXPECT_EQ(db.PageBytes(0).at(40), 0x07);
    EXPECT_EQ(db.PageBytes(0).at(20), 0);
    EXPECT_EQ(db.PageBytes(1).at(40), 0x01);
    // The cached copy stayed plain, and a fresh manager deciphers the page.
    EXPECT_EQ(diskpages::FirstDataByte(*m, 1, n), 0x5A);
    EXPECT_EQ(diskpages::FirstDataByte(*db.Open(), 1, n), 0x5A);
}

TEST(DiskPages, ATamperedEncryptedPageIsRefused) {
    struct Case {
        const char* What;
        int64_t Offset;  // within the page
        uint8_t Value;
        std::string Message;
    };
    const Case cases[] = {
        {"a data byte", 100, 0x00, "Decrypt page error. Check CRC failed. PageNo: 2"},
        {"the CRC", 14, 0x00, "Decrypt page error. Check CRC failed. PageNo: 2"},
        {"a cipher id the table lacks", 20, 9, "Decrypt page error. Cannot decipher page. PageNo: 2"},
    };
    for (const Case& c : cases) {
        Database db({"harbour", 0});
        {
            auto m = db.Open();
            AddPage(*m, 1, 0x33);
            m->CommitSession(1);
        }
        Bytes page = db.PageBytes(2);
        disktest::Patch(db.Name, diskpages::Page0 + 2 * 4096 + c.Offset,
                        {static_cast<uint8_t>(page.at(static_cast<std::size_t>(c.Offset)) == c.Value ? c.Value + 1 : c.Value)});
        auto m = db.Open();
        ExpectNative([&] { m->GetPage(1, 2, true, ptTableRecord); }, 30446, Native(c.Message, 30446));
        EXPECT_EQ(m->SharedList().IndexOf(2), -1) << c.What;
    }
}

// A cached copy whose page changed on disk into something unreadable keeps its bytes and
// is refused again at every use, never served garbled.
TEST(DiskPages, ACachedPageWhoseRereadFailsIsNeverServed) {
    Database db({"harbour", 0});
    auto m = db.Open();
    const int32_t n = AddPage(*m, 1, 0x33);
    m->CommitSession(1);
    const int64_t at = diskpages::Page0 + int64_t{n} * 4096;
    const Bytes page = db.PageBytes(n);
    disktest::Patch(db.Name, at + 4, I32(LE32(page, 4) + 1));  // a newer stamp ...
    disktest::Patch(db.Name, at + 100, {static_cast<uint8_t>(page.at(100) ^ 0xFF)});  // ... and a broken page
    for (int attempt = 0; attempt < 2; ++attempt)
        EXPECT_EQ(Raised([&] { m->GetPage(1, n, true, ptTableRecord); }).first, 30446) << attempt;
    const TORQPage* cached = m->SharedList().GetPage(n);
    ASSERT_NE(cached, nullptr);
    EXPECT_EQ(cached->GetData()[0], 0x33);
    EXPECT_EQ(cached->GetChangeStamp(), INT32_MAX);
}

TEST(DiskPages, AFailedEncryptedWriteLeavesTheCachedPagePlain) {
    Database db({"harbour", 6});
    auto m = db.Open();
    const int32_t n = AddPage(*m, 1, 0x5A);
    m->CommitSession(1);
    TORQPage* page = m->GetPage(1, n, true, ptTableRecord);
    const int32_t stamp = page->GetChangeStamp();
    const Bytes before(page->GetBuffer(), page->GetBuffer() + 4096);
    {
        HookScope hook([](TORQFileCall call, const std::string&) { return call == TORQFileCall::Write ? EIO : 0; });
        EXPECT_EQ(Raised([&] { m->WritePage(page); }).first, 10469);
    }
    EXPECT_EQ(Bytes(page->GetBuffer(), page->GetBuffer() + 4096), before) << "plain, stamp unchanged";
    m->WritePage(page);
    EXPECT_EQ(page->GetChangeStamp(), stamp + 1);
    m->ReleasePage(page);
    Bytes data = db.PageBytes(n);
    data.erase(data.begin(), data.begin() + 40);
    ASSERT_TRUE(DecryptBuffer(6, data.data(), 4056, "harbour"));
    EXPECT_EQ(data, Bytes(4056, 0x5A)) << "enciphered once";
}

// What the files hold at each barrier: the journal is synced before the database file
// takes a byte of the commit, and the page is in the database file at its sync; in
// multi-user mode the file says a commit is being applied (state 1) until that is done.
// Without barriers the same writes in the same order.
TEST(DiskCommit, TheJournalIsSyncedBeforeTheFileAndInvalidatedAfter) {
    for (const bool multi : {true, false}) {
        for (const bool barriers : {true, false}) {
            Database db;
            auto m = db.Open(multi);
            m->CommitBarriers = barriers;
            AddPage(*m, 1, 0x11);
            m->CommitSession(1);
            const int32_t n = AddPage(*m, 1, 0xC3);
            std::vector<std::string> calls;
            {
                HookScope hook([&](TORQFileCall call, const std::string& File) {
                    const std::string file = File == db.Name ? "database" : "journal";
                    std::string what;
                    if (call == TORQFileCall::Write) what = "write " + file;
                    if (call == TORQFileCall::Sync)
                        what = "sync " + file + ", state " + std::to_string(db.StateByte()) +
                               (db.PageBytes(n).at(40) == 0xC3 ? ", page" : ", no page");
                    if (!what.empty() && (calls.empty() || calls.back() != what)) calls.push_back(what);
                    return 0;
                });
                m->CommitSession(1);
            }
            std::vector<std::string> expected;
            if (barriers)
                expected = {"write journal", "sync journal, state 2, no page", "write database",
                            std::string("sync database, state 2, page"), "write journal"};
            else
                expected = {"write journal", "write database", "write journal"};
            EXPECT_EQ(calls, expected) << "multi-user " << multi << ", barriers " << barriers;
            EXPECT_EQ(db.StateByte(), 2);
            EXPECT_EQ(db.PageBytes(n).at(40), 0xC3);
            m->CloseDatabaseFile();
            EXPECT_FALSE(std::filesystem::exists(TORQCommitJournal::JournalFileName(db.Name)));
        }
    }
}

TEST(DiskCommit, ACommitOfNothingLeavesTheHeaderAlone) {
    Database db;
    auto m = db.Open();
    AddPage(*m, 1, 1);
    m->CommitSession(1);
    const Bytes before = db.File();
    int calls = 0;
    HookScope hook([&](TORQFileCall, const std::string&) {
        ++calls;
        return 0;
    });
    m->CommitSession(1);
    m->CommitSession(5);
    EXPECT_EQ(calls, 0);
    EXPECT_EQ(db.File(), before);
}

// A write failing inside a commit: before the journal is sealed the file keeps every byte
// it had and the commit raises; after, the commit is done (its journal is on disk) and is
// completed in the file at once, or by the next change when the disk still fails. The
// file never needs repair.
TEST(DiskCommit, AWriteFailingInsideACommitNeverLeavesTheFileNeedingRepair) {
    struct Case {
        const char* What;
        int Answer;  // the hook's answer for a failing write
        bool Journal;  // fails a write of the journal, else of the database after the seal
        bool Again;    // the next writes fail too
    };
    const Case cases[] = {{"journal, EIO", EIO, true, false},
                          {"journal, a short write", -100, true, false},
                          {"database, EIO once", EIO, false, false},
                          {"database, ENOSPC from there on", ENOSPC, false, true},
                          {"database, a short write from there on", -100, false, true}};
    for (const Case& c : cases) {
        Database db;
        auto m = db.Open(false);
        AddPage(*m, 1, 0x11);
        m->CommitSession(1);
        const int32_t counter = db.HeaderI32(38);
        const int32_t n = AddPage(*m, 1, 0x22);
        bool sealed = false;
        int failed = 0;
        HookScope hook([&](TORQFileCall call, const std::string& File) {
            const bool journal = File != db.Name;
            if (call == TORQFileCall::Sync && journal) sealed = true;
            if (call != TORQFileCall::Write || journal != c.Journal || (!c.Journal && !sealed)) return 0;
            if (failed > 0 && !c.Again) return 0;
            ++failed;
            return c.Answer;
        });
        if (c.Journal) {
            EXPECT_EQ(Raised([&] { m->CommitSession(1); }).first, 31480) << c.What;
            EXPECT_NE(db.PageBytes(n).at(40), 0x22) << c.What;
            EXPECT_EQ(db.HeaderI32(38), counter) << c.What;
            SetFileFaultHook(nullptr);
            // Nothing of the failed commit stays behind to be committed later.
            m->CommitSession(1);
            EXPECT_NE(db.PageBytes(n).at(40), 0x22) << c.What;
            EXPECT_EQ(db.HeaderI32(38), counter) << c.What;
        } else {
            m->CommitSession(1);  // done: the journal holds it
            EXPECT_EQ(m->RecoveryPending(), c.Again) << c.What;
            if (c.Again) {
                EXPECT_EQ(db.StateByte(), 2) << c.What;
                EXPECT_NE(Raised([&] { AddPage(*m, 1, 0x33); }).first, 0) << c.What;
                SetFileFaultHook(nullptr);
            }
            AddPage(*m, 1, 0x33);
            m->CommitSession(1);
            EXPECT_EQ(db.PageBytes(n).at(40), 0x22) << c.What;
            EXPECT_EQ(db.HeaderI32(38), counter + 2) << c.What;
        }
        EXPECT_EQ(db.StateByte(), 2) << c.What;
        m->CloseDatabaseFile();
        EXPECT_FALSE(db.NeedsRepair()) << c.What;
    }
}

// A process killed inside its commit after the seal: the next process to change the file
// completes that commit first, and the file never needs repair. A state 1 that no journal
// explains (an older engine's crash, damage) still refuses every change.
TEST(DiskCommit, AProcessKilledInsideItsCommitIsCompletedByTheNext) {
    Database db;
    auto m = db.Open();
    AddPage(*m, 1, 0x11);
    m->CommitSession(1);
    const int child = disktest::InChild([&] {
        auto mine = db.Open();
        AddPage(*mine, 1, 0x44);
        bool sealed = false;
        int writes = 0;
        SetFileFaultHook([&](TORQFileCall call, const std::string& File) {
            if (call == TORQFileCall::Sync && File != db.Name) sealed = true;
            if (sealed && call == TORQFileCall::Write && File == db.Name && ++writes == 3) kill(getpid(), SIGKILL);
            return 0;
        });
        mine->CommitSession(1);
        return 0;
    });
    ASSERT_EQ(child, -1) << "killed";
    EXPECT_EQ(db.StateByte(), 1);
    const int32_t counter = db.HeaderI32(38);
    const int32_t n = AddPage(*m, 1, 0x55);
    m->CommitSession(1);
    EXPECT_EQ(db.PageBytes(n).at(40), 0x55);
    EXPECT_EQ(db.StateByte(), 2);
    EXPECT_EQ(db.HeaderI32(38), counter + 2) << "the dead process's commit, then ours";

    Bytes torn = db.File();
    torn.at(42) = 1;
    disktest::WriteAll(db.Name, torn);
    EXPECT_EQ(Raised([&] { AddPage(*m, 1, 0x66); }).first, 20300);
    EXPECT_EQ(db.File(), torn);
    m->CloseDatabaseFile();
    EXPECT_TRUE(db.NeedsRepair());
}

// A rollback whose page frees fail partway (the map cannot be read for a moment) is finished
// by the next rollback: no page is freed twice, and the pages come back to the next
// allocations.
TEST(DiskPages, ARollbackCutShortByAFailingFreeIsFinishedByTheNext) {
    int cuts = 0;
    for (int failAt = 1; failAt <= 12; ++failAt) {
        SCOPED_TRACE(failAt);
        Database db;
        auto m = db.Open();
        std::vector<int32_t> added;
        for (int i = 0; i < 5; ++i) added.push_back(AddPage(*m, 1, static_cast<uint8_t>(i)));
        bool failed = false;
        {
            int reads = 0;
            diskpages::HookScope hook([&](TORQFileCall call, const std::string&) {
                // Two failures in a row: the file layer retries a single one.
                if (call != TORQFileCall::Read) return 0;
                ++reads;
                return reads == failAt || reads == failAt + 1 ? 5 /* EIO */ : 0;
            });
            try {
                m->RollbackSession(1);
            } catch (const EORQException&) {
                failed = true;
            }
        }
        if (failed) {
            ++cuts;
            m->RollbackSession(1);
        }
        std::vector<int32_t> again;
        for (int i = 0; i < 5; ++i) again.push_back(m->FreeSpaceManager()->AllocatePageNumber());
        std::sort(again.begin(), again.end());
        EXPECT_EQ(again, added) << "every page of the rollback is free once more";
    }
    EXPECT_GE(cuts, 1) << "a free reads the map";
}
