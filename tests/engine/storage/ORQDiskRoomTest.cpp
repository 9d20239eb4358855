// Freed room on a disk table is filled again: the page-with-room summaries of the record
// and BLOB page indexes against a walk of the stored index through a seeded workload with
// rollbacks, and the message log's file after deleting half its rows and appending as
// many again. Small pages make the page indexes several leaves deep with few rows.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "DiskTableFixture.h"

using namespace orq;
using namespace disktable;

namespace {

constexpr int32_t SmallPageSize = 1024;

struct SmallPageDb {
    SmallPageDb() : Name(Dir.File("TILO_DB.ORQ")) {
        TORQDiskDatabaseData creator;
        creator.DatabaseName = Name;
        creator.PageSize = SmallPageSize;
        creator.CommitBarriers = false;
        creator.CreateDatabase();
    }
    disktest::TempDir Dir;
    std::string Name;
};

// Mixed memo sizes: most share BLOB pages, every 23rd spans pages of its own.
std::string TextOf(int64_t Key, uint32_t Salt = 0) {
    const uint32_t h = static_cast<uint32_t>(Key) * 2654435761u + Salt * 40503u;
    const size_t size = Key % 23 == 0 ? 1500 + h % 2000 : 20 + h % 420;
    std::string t = "ZCZC " + std::to_string(Key) + "/" + std::to_string(Salt) + "\n";
    while (t.size() < size) t += static_cast<char>('A' + (t.size() + h) % 26);
    return t;
}

// The index's entries read one by one through the tree.
std::vector<std::pair<int32_t, uint16_t>> Walked(TORQBTreePageIndex& Index, int32_t SessionID) {
    std::vector<std::pair<int32_t, uint16_t>> out;
    TORQKeyPath path;
    for (bool more = Index.First(SessionID, path); more; more = Index.Next(SessionID, path))
        out.emplace_back(Index.GetKey(SessionID, path), Index.GetAmount(SessionID, path));
    return out;
}

int64_t FileSize(const std::string& Name) { return static_cast<int64_t>(std::filesystem::file_size(Name)); }

// Every row of the model reads back with its text, and no other row is there.
void ExpectRows(Cursor& Log, const std::map<int64_t, std::string>& Model) {
    Log.SetIndexName("IDX_DT");
    Log.ResetToBeginning();
    auto it = Model.begin();
    while (Log.Disk->GetRecord(&Log, gmNext) == grOK) {
        ASSERT_NE(it, Model.end());
        ASSERT_EQ(Log.Minute(), it->first);
        ASSERT_EQ(Log.GetText(fText), it->second) << it->first;
        ++it;
    }
    EXPECT_EQ(it, Model.end());
    Log.Disk->ClearRecordBlobs(Log.CurrentRecord);
}

}  // namespace

// Inserts, deletes, updates whose memo grows or shrinks, in transactions committed or
// rolled back: after every step each summary equals the walk of its index.
TEST(DiskRoom, PageWithRoomSummariesFollowTheIndexesThroughCommitsAndRollbacks) {
    SmallPageDb f;
    Connection c(f.Name, false);
    CreateLogTable(c);
    Cursor log(c, "NAVTEXLOG");
    const int32_t session = c.S.SessionID;
    TORQBTreePageIndex& records = log.Disk->DiskRecordManager()->PageIndex();
    TORQBTreePageIndex& blobs = log.Disk->BlobManager->BlobPageIndex();
    std::map<int64_t, std::string> model, committed;
    std::map<int64_t, TORQRecordID> ids, committedIds;
    std::mt19937 rng(35);
    int64_t next = 0;
    int rollbacks = 0;
    for (int step = 0; step < 250; ++step) {
        c.S.InTransaction = 1;
        for (int op = 0; op < 16; ++op) {
            const int kind = static_cast<int>(rng() % 10);
            if (kind < 6 || model.size() < 10) {
                const int64_t key = next++;
                log.FillLog(key, TextOf(key));
                ASSERT_TRUE(log.Append());
                model[key] = TextOf(key);
                ids[key] = log.CurrentRecordID;
            } else {
                auto it = model.begin();
                std::advance(it, static_cast<long>(rng() % model.size()));
                const int64_t key = it->first;
                ASSERT_TRUE(log.Disk->GotoRecord(&log, ids[key]));
                if (kind < 9) {
                    const auto salt = static_cast<uint32_t>(rng() % 1000 + 1);
                    log.SetText(fText, TextOf(key, salt));
                    log.CurrentRecordID = ids[key];
                    ASSERT_TRUE(log.Disk->UpdateRecord(&log));
                    it->second = TextOf(key, salt);
                } else {
                    ASSERT_TRUE(log.Disk->DeleteRecord(&log));
                    ids.erase(key);
                    model.erase(it);
                }
            }
            if (op % 3 != 0) continue;
            ASSERT_EQ(records.RoomSummary(session), Walked(records, session)) << step << "/" << op;
            ASSERT_EQ(blobs.RoomSummary(session), Walked(blobs, session)) << step << "/" << op;
        }
        if (rng() % 4 == 0) {
            c.S.Rollback();
            model = committed;
            ids = committedIds;
            ++rollbacks;
        } else {
            c.Db->Commit(session, false);
            c.S.InTransaction = 0;
            committed = model;
            committedIds = ids;
        }
        ASSERT_EQ(records.RoomSummary(session), Walked(records, session)) << step;
        ASSERT_EQ(blobs.RoomSummary(session), Walked(blobs, session)) << step;
    }
    EXPECT_GT(rollbacks, 5);
    EXPECT_GT(Walked(blobs, session).size(), 2u * 161u) << "the BLOB page index spans three leaves or more";
    ExpectRows(log, model);
    ExpectConsistent(log);
}

// Deleting every other row leaves half-filled record and BLOB pages in every leaf of the
// page indexes; appending as many rows again fills them, so the file grows by at most a
// tenth, and every row reads back.
TEST(DiskRoom, DeleteAndRefillKeepsTheFileWithinATenthOfItsSize) {
    SmallPageDb f;
    constexpr int64_t Rows = 2400;
    constexpr int Batch = 100;
    std::map<int64_t, std::string> model;
    int64_t before = 0;
    {
        Connection c(f.Name, false);
        CreateLogTable(c);
        Cursor log(c, "NAVTEXLOG");
        const int32_t session = c.S.SessionID;
        for (int64_t key = 0; key < Rows; ++key) {
            if (key % Batch == 0) c.S.InTransaction = 1;
            log.FillLog(key, TextOf(key));
            ASSERT_TRUE(log.Append());
            model[key] = TextOf(key);
            if (key % Batch == Batch - 1) {
                c.Db->Commit(session, false);
                c.S.InTransaction = 0;
            }
        }
        ASSERT_GT(Walked(log.Disk->BlobManager->BlobPageIndex(), session).size(), 2u * 161u)
            << "three leaves of BLOB pages or more";
        before = FileSize(f.Name);

        std::vector<TORQRecordID> odd;
        log.SetIndexName("IDX_DT");
        log.ResetToBeginning();
        while (log.Disk->GetRecord(&log, gmNext) == grOK)
            if (log.Minute() % 2 == 1) odd.push_back(log.CurrentRecordID);
        log.Disk->ClearRecordBlobs(log.CurrentRecord);
        for (size_t i = 0; i < odd.size(); ++i) {
            if (i % Batch == 0) c.S.InTransaction = 1;
            ASSERT_TRUE(log.Disk->GotoRecord(&log, odd[i]));
            ASSERT_TRUE(log.Disk->DeleteRecord(&log));
            if (i % Batch == Batch - 1 || i + 1 == odd.size()) {
                c.Db->Commit(session, false);
                c.S.InTransaction = 0;
            }
        }
        for (int64_t key = 1; key < Rows; key += 2) model.erase(key);
        for (int64_t i = 0; i < Rows / 2; ++i) {
            const int64_t key = Rows + i;
            if (i % Batch == 0) c.S.InTransaction = 1;
            log.FillLog(key, TextOf(key));
            ASSERT_TRUE(log.Append());
            model[key] = TextOf(key);
            if (i % Batch == Batch - 1) {
                c.Db->Commit(session, false);
                c.S.InTransaction = 0;
            }
        }
    }
    const int64_t after = FileSize(f.Name);
    EXPECT_LE(static_cast<double>(after), 1.10 * static_cast<double>(before)) << before << " -> " << after;
    Connection c(f.Name, false);
    Cursor log(c, "NAVTEXLOG");
    ExpectRows(log, model);
    ExpectConsistent(log);
}
