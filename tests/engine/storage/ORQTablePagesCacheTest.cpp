// The table pages cache: lock periods and recorded counters, the current-table stack, and
// the page validity the disk page manager builds on it, across two processes.
#include <gtest/gtest.h>

#include <string>

#include "DiskPageFixture.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using diskpages::AddPage;
using diskpages::Database;
using diskpages::FirstDataByte;
using diskpages::HookScope;

namespace {

// (ok, counter, table) of the session's current table.
std::string Current(TORQDiskTablePagesCacheManager& C, int32_t Session) {
    int32_t counter = 0;
    int32_t table = -99;
    const bool ok = C.GetCurrentCounter(Session, counter, &table);
    return std::string(ok ? "ok " : "no ") + std::to_string(counter) + " @" + std::to_string(table);
}

}  // namespace

TEST(TablePagesCache, LockPeriodsKeepTheirFirstCounter) {
    TORQDiskTablePagesCacheManager c;
    EXPECT_EQ(Current(c, 3), "no 0 @-99") << "a session that never pushed a table";
    c.PushTable(3, 7);
    EXPECT_EQ(Current(c, 3), "no -1 @7") << "no lock, nothing recorded";
    c.IncReadLocks(3, 7);
    EXPECT_EQ(Current(c, 3), "no -1 @7") << "locked, nothing recorded";
    c.RecordCounter(3, 7, 5);
    c.RecordCounter(3, 7, 9);
    EXPECT_TRUE(c.IsCounterRecorded(3, 7));
    EXPECT_EQ(Current(c, 3), "ok 5 @7") << "the first value of the period stays";
    c.IncPostLocks(3, 7);
    c.DecReadLocks(3, 7);
    EXPECT_EQ(Current(c, 3), "ok 5 @7") << "the post lock keeps the period open";
    c.DecPostLocks(3, 7);
    EXPECT_FALSE(c.IsCounterRecorded(3, 7));
    EXPECT_EQ(Current(c, 3), "no -1 @7");
    // Releases never counted leave the counts at 0: one lock opens the next period.
    c.DecReadLocks(3, 7);
    c.DecPostLocks(3, 7);
    c.IncReadLocks(3, 7);
    c.RecordCounter(3, 7, 6);
    EXPECT_EQ(Current(c, 3), "ok 6 @7");
    // A counter recorded outside any lock is forgotten by a release all the same.
    c.RecordCounter(3, 8, 4);
    EXPECT_TRUE(c.IsCounterRecorded(3, 8));
    c.DecPostLocks(3, 8);
    EXPECT_FALSE(c.IsCounterRecorded(3, 8));
    // Sessions are apart; the system session -2 is one of them; below it there are none.
    EXPECT_EQ(Current(c, -2), "no 0 @-99");
    EXPECT_FALSE(c.IsCounterRecorded(4, 7));
    EXPECT_EQ(Raised([&] { c.PushTable(-3, 1); }).first, 20186);
}

TEST(TablePagesCache, TheCurrentTableIsTheLastOnePushed) {
    TORQDiskTablePagesCacheManager c;
    for (int32_t table : {1, 2}) {
        c.IncReadLocks(0, table);
        c.RecordCounter(0, table, table * 10);
    }
    c.PushTable(0, 1);
    c.PushTable(0, 1);
    c.PopTable(0, 1);
    EXPECT_EQ(Current(c, 0), "ok 10 @1") << "pushed twice, popped once";
    c.PushTable(0, 2);
    c.PushTable(0, 1);
    EXPECT_EQ(Current(c, 0), "ok 10 @1");
    c.PopTable(0, 1);
    EXPECT_EQ(Current(c, 0), "ok 20 @2") << "the pop leaves the use that came last";
    c.PopTable(0, 2);
    c.PopTable(0, 9);  // never pushed: nothing happens
    EXPECT_EQ(Current(c, 0), "ok 10 @1");
    c.PopTable(0, 1);
    EXPECT_EQ(Current(c, 0), "no 0 @-99");
}

// Process B keeps a page cached; process A changes it. B trusts its copy, without looking
// at the disk, for as long as its lock period on the table lasts, and sees A's change in
// its next period, whose recorded counter differs.
TEST(TablePagesCache, ACachedPageIsTrustedWithinALockPeriodAndCheckedAtTheNext) {
    constexpr int32_t Table = 12;
    Database db;
    auto b = db.Open();
    TORQDiskTablePagesCacheManager& cache = b->TablePagesCache();
    const int32_t n = AddPage(*b, 1, 0x10);
    b->CommitSession(1);
    auto beginPeriod = [&](int32_t Counter) {
        cache.IncReadLocks(1, Table);
        cache.RecordCounter(1, Table, Counter);
        cache.PushTable(1, Table);
    };
    auto endPeriod = [&] {
        cache.PopTable(1, Table);
        cache.DecReadLocks(1, Table);
    };
    int reads = 0;
    HookScope hook([&](TORQFileCall call, const std::string&) {
        reads += call == TORQFileCall::Read;
        return 0;
    });

    beginPeriod(1);
    EXPECT_EQ(FirstDataByte(*b, 1, n), 0x10);
    EXPECT_EQ(reads, 1) << "validated once by its stamp on disk";
    ASSERT_EQ(disktest::InChild([&] {
                  auto a = db.Open();
                  diskpages::ChangePage(*a, 1, n, 0x20);
                  a->CommitSession(1);
                  return 0;
              }),
              0);
    reads = 0;
    EXPECT_EQ(FirstDataByte(*b, 1, n), 0x10) << "trusted within the period";
    EXPECT_EQ(reads, 0);
    endPeriod();

    beginPeriod(2);
    EXPECT_EQ(FirstDataByte(*b, 1, n), 0x20) << "checked in the next period";
    EXPECT_GE(reads, 2) << "its stamp, then the page";
    reads = 0;
    EXPECT_EQ(FirstDataByte(*b, 1, n), 0x20);
    EXPECT_EQ(reads, 0);
    endPeriod();

    // Outside a lock period every use looks at the stamp on disk.
    EXPECT_EQ(FirstDataByte(*b, 1, n), 0x20);
    EXPECT_EQ(reads, 1);
}

// A page validated under one table's counter is not current for another table whose
// counter happens to hold the same value.
TEST(TablePagesCache, PageStampsAreKeyedByTableAndCounter) {
    Database db;
    auto m = db.Open();
    TORQDiskTablePagesCacheManager& cache = m->TablePagesCache();
    const int32_t n = AddPage(*m, 1, 0x10);
    m->CommitSession(1);
    for (int32_t table : {1, 2}) {
        cache.IncReadLocks(1, table);
        cache.RecordCounter(1, table, 5);
    }
    cache.PushTable(1, 1);
    TORQPage* page = m->GetPage(1, n, true, ptTableRecord);
    m->ReleasePage(page);
    EXPECT_TRUE(m->IsPageCurrent(1, page));
    EXPECT_FALSE(m->IsPageCurrent(2, page)) << "another session";
    cache.PushTable(1, 2);
    EXPECT_FALSE(m->IsPageCurrent(1, page)) << "same counter, other table";
    cache.PopTable(1, 2);
    EXPECT_TRUE(m->IsPageCurrent(1, page));
    // A new period with another counter no longer trusts it.
    cache.DecReadLocks(1, 1);
    cache.IncReadLocks(1, 1);
    cache.RecordCounter(1, 1, 6);
    EXPECT_FALSE(m->IsPageCurrent(1, page));
    // Single-user: every cached page is current.
    auto single = db.Open(false);
    TORQPage other(single.get());
    EXPECT_TRUE(single->IsPageCurrent(1, &other));
}
