// Most of a large message log deleted in one transaction: the pages it frees are free in
// the map this process keeps and in the one a fresh open reads, the rows left read back
// whole, and the memory the transaction took (measured with the engine's own counters) is
// given back when it ends, by a rollback as by a commit. TILO_BIG_DELETE_ROWS sets the row
// count (12,000; 300,000 by hand).
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "DiskTableFixture.h"

using namespace disktable;

namespace {

int64_t Rows() {
    const char* e = std::getenv("TILO_BIG_DELETE_ROWS");
    const int64_t n = e != nullptr ? std::atoll(e) : 12000;
    return n < 300 ? 300 : n / 3 * 3;
}

// Texts of 300 to 1,500 bytes, every 40th a large BLOB of three pages and more.
std::string TextOf(int64_t Minute) {
    const size_t size = Minute % 40 == 0 ? 9000 : 300 + static_cast<size_t>(Minute * 7919 % 1200);
    std::string t = "ZCZC " + std::to_string(Minute) + "\n";
    while (t.size() < size) t += static_cast<char>('A' + (t.size() + static_cast<size_t>(Minute)) % 26);
    return t;
}

struct TMap {
    int32_t PageCount = 0;
    int32_t Highest = 0;
    std::set<int32_t> Used;
    bool operator==(const TMap&) const = default;
};

TMap MapOf(Connection& C) {
    TORQDatabaseFreeSpaceManager& map = *C.Db->DiskPageManager()->FreeSpaceManager();
    TMap m{C.Db->DiskPageManager()->GetPageCount(), map.HighestUsedPage(), {}};
    for (int32_t p = 0; p < m.PageCount; ++p)
        if (map.IsPageUsed(p)) m.Used.insert(p);
    return m;
}

int64_t Used() { return GlobalMemoryManager().UsedMemory(); }

// The ids of the oldest Count rows by the date key.
std::vector<TORQRecordID> Oldest(Cursor& Log, int64_t Count) {
    std::vector<TORQRecordID> ids;
    Log.SetIndexName("IDX_DT");
    Log.ResetToBeginning();
    while (static_cast<int64_t>(ids.size()) < Count && Log.Disk->GetRecord(&Log, gmNext) == grOK)
        ids.push_back(Log.CurrentRecordID);
    return ids;
}

void DeleteAll(Cursor& Log, const std::vector<TORQRecordID>& Ids) {
    for (const TORQRecordID& id : Ids) ASSERT_TRUE(Log.Disk->GotoRecord(&Log, id) && Log.Disk->DeleteRecord(&Log));
}

// What the page cache holds once nothing is taken: its clean pages, whole.
int64_t CachedBytes(Connection& C) {
    TORQDiskPageManager& pm = *C.Db->DiskPageManager();
    return int64_t{pm.SharedList().Count()} * pm.PageSize;
}

}  // namespace

TEST(BigDelete, OneTransactionFreesItsPagesAndGivesItsMemoryBack) {
    const int64_t rows = Rows();
    const int64_t kept = rows / 3;
    DbFile f;
    TMap emptyTable, fullTable;
    {
        Connection c(f.Name, false);
        CreateLogTable(c);
        emptyTable = MapOf(c);
        Cursor log(c, "NAVTEXLOG");
        for (int64_t m = 0; m < rows; ++m) {
            if (m % 1000 == 0) c.S.InTransaction = 1;
            log.FillLog(m, TextOf(m));
            ASSERT_TRUE(log.Append());
            if (m % 1000 == 999 || m == rows - 1) {
                c.Db->Commit(c.S.SessionID, false);
                c.S.InTransaction = 0;
            }
        }
        fullTable = MapOf(c);
    }
    const int64_t closed = Used();
    TMap inProcess;
    int64_t peakRise[2] = {0, 0};
    int64_t pageSize = 0;
    // The oldest two thirds: rolled back first, then committed. Per record deleted, the
    // transaction may hold 500 bytes at its height (150 MB for 300,000): the index pages
    // it changes, not the record and BLOB pages it empties.
    for (const bool commit : {false, true}) {
        SCOPED_TRACE(commit ? "commit" : "rollback");
        Connection c(f.Name, false);
        Cursor log(c, "NAVTEXLOG");
        const std::vector<TORQRecordID> oldest = Oldest(log, rows - kept);
        ASSERT_EQ(static_cast<int64_t>(oldest.size()), rows - kept);
        const int64_t open = Used() - CachedBytes(c);
        GlobalMemoryManager().ResetPeakUsedMemory();
        c.S.InTransaction = 1;
        DeleteAll(log, oldest);
        if (commit)
            c.Db->Commit(c.S.SessionID, false);
        else
            c.S.Rollback();
        c.S.InTransaction = 0;
        peakRise[commit ? 1 : 0] = GlobalMemoryManager().PeakUsedMemory() - open;
        pageSize = c.Db->DiskPageManager()->PageSize;
        EXPECT_LE(peakRise[commit ? 1 : 0], static_cast<int64_t>(oldest.size()) * 500 + (4 << 20));
        // Nothing stays behind but clean cached pages.
        EXPECT_LE(Used() - CachedBytes(c) - open, 1 << 20);
        EXPECT_EQ(log.Disk->GetPhysicalRecordCount(&log), commit ? kept : rows);
        if (commit) inProcess = MapOf(c);
    }
    EXPECT_EQ(Used(), closed);
    // Far less than the pages the delete frees were ever held at once.
    const int64_t freedBytes = static_cast<int64_t>(fullTable.Used.size() - inProcess.Used.size()) * pageSize;
    for (const int64_t rise : peakRise) EXPECT_LT(rise, freedBytes / 2) << "of " << freedBytes;

    // What this process's map says after the commit is what a fresh open reads; the rows
    // left are the newest third, whole.
    {
        Connection c(f.Name, false);
        Cursor log(c, "NAVTEXLOG");
        EXPECT_TRUE(MapOf(c) == inProcess);
        // A third of the rows keeps about a third of the pages the rows took.
        EXPECT_LT(inProcess.Used.size() - emptyTable.Used.size(), (fullTable.Used.size() - emptyTable.Used.size()) * 45 / 100);
        ExpectConsistent(log);
        log.SetIndexName("IDX_DT");
        log.ResetToBeginning();
        for (int64_t m = rows - kept; m < rows; ++m) {
            ASSERT_EQ(log.Disk->GetRecord(&log, gmNext), grOK);
            ASSERT_EQ(log.Minute(), m);
            ASSERT_EQ(log.GetText(fText), TextOf(m));
        }
        EXPECT_NE(log.Disk->GetRecord(&log, gmNext), grOK);
        // The rest in one more transaction: the map is back to the empty table's.
        c.S.InTransaction = 1;
        DeleteAll(log, Oldest(log, kept));
        c.Db->Commit(c.S.SessionID, false);
        c.S.InTransaction = 0;
        EXPECT_EQ(MapOf(c).Used.size(), emptyTable.Used.size());
    }
    Connection fresh(f.Name, false);
    EXPECT_EQ(MapOf(fresh).Used.size(), emptyTable.Used.size());
}
