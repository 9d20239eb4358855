// Deleting a filtered set record after record, on disk and MEMORY tables: where the
// cursor stands after each delete and what it reads next and prior from there, against
// a brute-force model of accepted and refused records; the deletes that follow a change
// of the table (by another cursor or another process) or of the filter; and that a run
// of deletes in either direction judges each record a bounded number of times.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "DiskTableFixture.h"
#include "FakeExpression.h"
#include "MemTableFixture.h"

using namespace orq;
using orq_test::FakeExpression;

namespace {

// One table and one cursor on it, whatever the engine. Row k of a pattern is the k-th
// record in the cursor's order; 'x' rows are accepted by the filter.
struct TRig {
    TORQTableData* Table = nullptr;
    TORQCursor* Cur = nullptr;
    std::vector<TORQRecordID> Ids;  // by row
    std::function<void()> ResetToBeginning;
};

struct TCase {
    const char* Name;
    const char* Pattern;
    // "first on", "last back", "middle on, then back", "middle back, then on"
    const char* Order;
};

// The rows to delete, in turn, as the order names them.
std::vector<int> DeletionOrder(const std::string& Pattern, const std::string& Order) {
    std::vector<int> matches;
    for (int i = 0; i < static_cast<int>(Pattern.size()); ++i)
        if (Pattern[static_cast<size_t>(i)] == 'x') matches.push_back(i);
    if (Order == "last back") std::reverse(matches.begin(), matches.end());
    const auto mid = matches.begin() + static_cast<long>(matches.size() / 2);
    if (Order == "middle on, then back") {
        std::vector<int> o(mid, matches.end());
        o.insert(o.end(), std::make_reverse_iterator(mid), matches.rend());
        matches = o;
    }
    if (Order == "middle back, then on") {
        // Each delete back from the middle has accepted records on both sides.
        std::vector<int> o(std::make_reverse_iterator(mid), matches.rend());
        o.insert(o.end(), mid, matches.end());
        matches = o;
    }
    return matches;
}

// Deletes every accepted row through the cursor, moving to each as a dataset would (a
// read next or prior from where the delete left it, or straight to it when the cursor
// must look its place up again), and checks each placement and its reads.
void RunDeletes(TRig& R, const std::string& Pattern, const std::string& Order) {
    TORQTableData& t = *R.Table;
    TORQCursor& c = *R.Cur;
    std::vector<bool> alive(Pattern.size(), true);
    auto accepted = [&](int Row) { return alive[static_cast<size_t>(Row)] && Pattern[static_cast<size_t>(Row)] == 'x'; };
    auto nextFrom = [&](int Row) {
        for (int i = Row + 1; i < static_cast<int>(Pattern.size()); ++i)
            if (accepted(i)) return i;
        return -1;
    };
    auto priorFrom = [&](int Row) {
        for (int i = Row - 1; i >= 0; --i)
            if (accepted(i)) return i;
        return -1;
    };
    auto rowOf = [&](const TORQRecordID& Id) {
        const auto it = std::find(R.Ids.begin(), R.Ids.end(), Id);
        return it == R.Ids.end() ? -2 : static_cast<int>(it - R.Ids.begin());
    };
    // The row a read reaches from the cursor's place (-1 when it finds none); the place
    // is kept.
    auto read = [&](uint8_t Mode) {
        uint8_t* at = c.SavePosition();
        const uint8_t r = t.GetRecord(&c, Mode);
        const int row = r == grOK ? rowOf(c.CurrentRecordID) : -1;
        // An empty table answers every read with its end.
        const bool empty = std::find(alive.begin(), alive.end(), true) == alive.end();
        EXPECT_TRUE(r == grOK || r == (Mode == gmNext || empty ? grEOF : grBOF)) << int(r);
        c.RestorePosition(at);
        c.FreePosition(at);
        return row;
    };

    const std::vector<int> order = DeletionOrder(Pattern, Order);
    for (size_t k = 0; k < order.size(); ++k) {
        const int d = order[k];
        SCOPED_TRACE("delete of row " + std::to_string(d));
        // Reach the row as a dataset would from where the last delete left the cursor.
        if (k == 0 || c.Bof != 0) {
            ASSERT_TRUE(t.GotoRecord(&c, R.Ids[static_cast<size_t>(d)]));
        } else if (rowOf(c.CurrentRecordID) != d) {
            const bool forward = d > rowOf(c.CurrentRecordID);
            ASSERT_EQ(t.GetRecord(&c, forward ? gmNext : gmPrior), grOK);
        }
        ASSERT_EQ(rowOf(c.CurrentRecordID), d);
        const int next = nextFrom(d), prior = priorFrom(d);
        ASSERT_TRUE(t.DeleteRecord(&c));
        alive[static_cast<size_t>(d)] = false;
        EXPECT_EQ(c.Eof, 0);
        if (next >= 0 && prior >= 0) {
            // Both neighbours: the cursor looks its place up again.
            EXPECT_EQ(c.Bof, 1);
            int first = -1;
            for (int i = 0; i < static_cast<int>(Pattern.size()) && first < 0; ++i)
                if (accepted(i)) first = i;
            EXPECT_EQ(read(gmNext), first);
            EXPECT_EQ(read(gmPrior), -1);
        } else {
            // The failed probe leaves the cursor on the deleted record's place, and the
            // reads from there go on either side of it, in index order as well.
            EXPECT_EQ(c.Bof, 0);
            EXPECT_EQ(c.CurrentRecordID, R.Ids[static_cast<size_t>(d)]);
            EXPECT_EQ(read(gmNext), next);
            EXPECT_EQ(read(gmPrior), prior);
        }
    }
    // Only the refused rows are left.
    R.ResetToBeginning();
    EXPECT_EQ(t.GetRecord(&c, gmNext), grEOF);
}

const std::vector<TCase> Cases = {
    {"refused runs at the start, middle and end", "....x.x...xx......x.xx...", "first on"},
    {"refused runs, from the middle on and back", "....x.x...xx......x.xx...", "middle on, then back"},
    {"refused runs, from the last back", "....x.x...xx......x.xx...", "last back"},
    {"every record accepted", "xxxxxxx", "first on"},
    {"every record accepted, from the middle", "xxxxxxx", "middle on, then back"},
    {"one record accepted", "......x.....", "first on"},
    {"one record accepted first", "x.......", "last back"},
    {"accepted at both ends only", "x........x", "middle on, then back"},
    {"refused runs, from the middle back and on", "....x.x...xx......x.xx...", "middle back, then on"},
    {"every record accepted, from the middle back", "xxxxxxx", "middle back, then on"},
    {"every record accepted, from the last back", "xxxxxx", "last back"},
};

// Which physical positions the rows take: row k is the k-th record in the cursor's
// order, the table stores them in another order when the cursor follows an index.
std::vector<int> InsertionOrder(size_t Rows, bool Shuffle) {
    std::vector<int> o(Rows);
    std::iota(o.begin(), o.end(), 0);
    if (Shuffle) std::shuffle(o.begin(), o.end(), std::mt19937(7));
    return o;
}

}  // namespace

// ---------------------------------------------------------------------------------
// MEMORY tables

class FilteredDelete : public orq::test::MemTableTest {
protected:
    // The cursor on Index ("" physical) with the filter M = 1 in E.
    static void FilterOnIndex(orq::test::TTestCursor& Cur, TORQMemoryTableData& T, const char* Index,
                              FakeExpression& E) {
        Cur.IndexDefs.Assign(T.IndexManager->IndexDefs);
        Cur.SetIndexName(Index);
        E.Compare("M", scoEqual, 1);
        Cur.SetFilterExpression(&E);
    }
    // K, M and G INTEGER, IK on K, IG on G (three rows to a value); M = 1 is accepted.
    TORQMemoryTableData& MakeRows() {
        TORQFieldDefs fields;
        AddField(fields, "K", aftInteger);
        AddField(fields, "M", aftInteger);
        AddField(fields, "G", aftInteger);
        TORQIndexDefs defs;
        for (const char* name : {"IK", "IG"}) {
            TORQIndexDef* d = defs.Add();
            d->Name = name;
            d->SetColumnCount(1);
            d->GetColumn(0).FieldName = name + 1;
        }
        TORQConstraintDefs none;
        return MakeTable(fields, none, "T" + std::to_string(++FTables), &defs);
    }
    // Row k is the k-th record by K (inserted shuffled) or by G, whose equal keys stand
    // in the order of their record ids: each group is inserted in row order, the groups
    // shuffled.
    static std::vector<TORQRecordID> Fill(TORQTableData& T, const std::string& Pattern, const std::string& Index) {
        orq::test::TTestCursor w(T);
        std::vector<TORQRecordID> ids(Pattern.size());
        std::vector<int> order = InsertionOrder(Pattern.size(), !Index.empty());
        if (Index == "IG") {
            std::vector<int> groups = InsertionOrder((Pattern.size() + 2) / 3, true);
            order.clear();
            for (int member = 0; member < 3; ++member)
                for (int g : groups)
                    if (g * 3 + member < static_cast<int>(Pattern.size())) order.push_back(g * 3 + member);
        }
        for (int row : order) {
            w.Clear();
            w.SetInt(0, row);
            w.SetInt(1, Pattern[static_cast<size_t>(row)] == 'x' ? 1 : 0);
            w.SetInt(2, row / 3);
            EXPECT_TRUE(T.InsertRecord(&w));
            ids[static_cast<size_t>(row)] = w.CurrentRecordID;
        }
        return ids;
    }
    int FTables = 0;
};

TEST_F(FilteredDelete, PlacesAndReadsAfterEachDeleteMatchTheModel) {
    for (const char* index : {"", "IK", "IG"}) {
        for (const TCase& tc : Cases) {
            SCOPED_TRACE(std::string(tc.Name) + (*index ? std::string(", by ") + index : ", physical"));
            TORQMemoryTableData& t = MakeRows();
            TRig r;
            r.Table = &t;
            r.Ids = Fill(t, tc.Pattern, index);
            orq::test::TTestCursor cur(t);
            FakeExpression e;
            FilterOnIndex(cur, t, index, e);
            r.Cur = &cur;
            r.ResetToBeginning = [&] { cur.ResetToBeginning(); };
            RunDeletes(r, tc.Pattern, tc.Order);
            cur.SetFilterExpression(nullptr);
        }
    }
}

TEST_F(FilteredDelete, AChangedFilterOrTableIsProbedAgain) {
    // Rows 2, 4, 5 and 7 accepted.
    TORQMemoryTableData& t = MakeRows();
    const std::vector<TORQRecordID> ids = Fill(t, "..x.xx.x", "");
    orq::test::TTestCursor cur(t);
    FakeExpression e;
    e.Compare("M", scoEqual, 1);
    cur.SetFilterExpression(&e);
    ASSERT_TRUE(t.GotoRecord(&cur, ids[2]));
    ASSERT_TRUE(t.DeleteRecord(&cur));  // nothing accepted before it
    EXPECT_EQ(cur.Bof, 0);
    ASSERT_EQ(t.GetRecord(&cur, gmNext), grOK);
    ASSERT_EQ(cur.CurrentRecordID, ids[4]);

    // Another cursor makes row 1 accepted: row 4 now has a prior neighbour.
    orq::test::TTestCursor w(t);
    ASSERT_TRUE(t.GotoRecord(&w, ids[1]));
    ASSERT_EQ(t.GetRecord(&w, gmCurrent), grOK);
    w.SetInt(1, 1);
    ASSERT_TRUE(t.UpdateRecord(&w));
    ASSERT_TRUE(t.DeleteRecord(&cur));
    EXPECT_EQ(cur.Bof, 1);

    // Row 1 goes (nothing before it); then a filter that accepts every row but row 3:
    // deleting row 5 must find row 0 before it.
    ASSERT_TRUE(t.GotoRecord(&cur, ids[1]));
    ASSERT_TRUE(t.DeleteRecord(&cur));
    EXPECT_EQ(cur.Bof, 0);
    FakeExpression wider;
    wider.Compare("K", 6, 3);
    cur.SetFilterExpression(&wider);
    ASSERT_TRUE(t.GotoRecord(&cur, ids[5]));
    ASSERT_TRUE(t.DeleteRecord(&cur));
    EXPECT_EQ(cur.Bof, 1);
    cur.SetFilterExpression(nullptr);
}

TEST_F(FilteredDelete, WhatFollowsTheLastDeletedIsProbedAgainAfterAChange) {
    // Rows 0, 2 and 4 accepted. Deleting row 4 finds nothing after it; stepping back to
    // row 2 would carry that over, unless something changed in between.
    for (const char* change : {"another cursor accepts row 6", "the filter widens"}) {
        SCOPED_TRACE(change);
        TORQMemoryTableData& t = MakeRows();
        const std::vector<TORQRecordID> ids = Fill(t, "x.x.x...", "");
        orq::test::TTestCursor cur(t);
        FakeExpression e, wider;
        e.Compare("M", scoEqual, 1);
        wider.Compare("K", 6, 3);  // every row but row 3
        cur.SetFilterExpression(&e);
        ASSERT_TRUE(t.GotoRecord(&cur, ids[4]));
        ASSERT_TRUE(t.DeleteRecord(&cur));
        EXPECT_EQ(cur.Bof, 0);
        if (std::string(change) == "the filter widens") {
            cur.SetFilterExpression(&wider);
        } else {
            orq::test::TTestCursor w(t);
            ASSERT_TRUE(t.GotoRecord(&w, ids[6]));
            ASSERT_EQ(t.GetRecord(&w, gmCurrent), grOK);
            w.SetInt(1, 1);
            ASSERT_TRUE(t.UpdateRecord(&w));
        }
        ASSERT_EQ(t.GetRecord(&cur, gmPrior), grOK);
        ASSERT_TRUE(t.GotoRecord(&cur, ids[2]));
        ASSERT_TRUE(t.DeleteRecord(&cur));
        // Row 0 before it and a record after it: the cursor looks its place up again.
        EXPECT_EQ(cur.Bof, 1);
        cur.SetFilterExpression(nullptr);
    }
}

TEST_F(FilteredDelete, DeletingEveryMatchInEitherDirectionJudgesEachRecordBoundedTimes) {
    // One accepted record in four: a delete that walked over the refused records beside
    // it to the far end would judge them again at every delete.
    std::string pattern;
    for (int i = 0; i < 200; ++i) pattern += "x...";
    for (const char* index : {"", "IK", "IG"}) {
        for (const char* order : {"first on", "last back"}) {
            SCOPED_TRACE(std::string(order) + (*index ? std::string(", by ") + index : ", physical"));
            TORQMemoryTableData& t = MakeRows();
            const std::vector<TORQRecordID> ids = Fill(t, pattern, index);
            orq::test::TTestCursor cur(t);
            FakeExpression e;
            FilterOnIndex(cur, t, index, e);
            const std::vector<int> rows = DeletionOrder(pattern, order);
            const bool forward = std::string(order) == "first on";
            for (size_t k = 0; k < rows.size(); ++k) {
                if (k == 0 || cur.Bof != 0)
                    ASSERT_TRUE(t.GotoRecord(&cur, ids[static_cast<size_t>(rows[k])]));
                else if (!(cur.CurrentRecordID == ids[static_cast<size_t>(rows[k])]))
                    ASSERT_EQ(t.GetRecord(&cur, forward ? gmNext : gmPrior), grOK);
                ASSERT_EQ(cur.CurrentRecordID, ids[static_cast<size_t>(rows[k])]);
                ASSERT_TRUE(t.DeleteRecord(&cur));
            }
            EXPECT_LE(e.Evaluations, 4 * static_cast<int>(pattern.size()));
            cur.ResetToBeginning();
            EXPECT_EQ(t.GetRecord(&cur, gmNext), grEOF);
            cur.SetFilterExpression(nullptr);
        }
    }
}

// ---------------------------------------------------------------------------------
// Disk tables

namespace {

using namespace disktable;

// The message log with DIST = 1 for the accepted rows; UTCRECEIVED's minute is the row.
std::vector<TORQRecordID> FillLog(Cursor& W, const std::string& Pattern, bool Shuffle) {
    std::vector<TORQRecordID> ids(Pattern.size());
    for (int row : InsertionOrder(Pattern.size(), Shuffle)) {
        W.FillLog(row, "ZCZC " + std::to_string(row));
        W.SetInt(fDist, Pattern[static_cast<size_t>(row)] == 'x' ? 1 : 0);
        EXPECT_TRUE(W.Append());
        ids[static_cast<size_t>(row)] = W.CurrentRecordID;
        W.Disk->ClearRecordBlobs(W.CurrentRecord);
    }
    return ids;
}

}  // namespace

TEST(FilteredDiskDelete, PlacesAndReadsAfterEachDeleteMatchTheModel) {
    for (const char* index : {"", "IDX_DT"}) {
        for (const TCase& tc : Cases) {
            SCOPED_TRACE(std::string(tc.Name) + (*index ? ", by index" : ", physical"));
            DbFile f;
            Connection conn(f.Name, false);
            CreateLogTable(conn);
            Cursor cur(conn, "NAVTEXLOG");
            TRig r;
            r.Table = cur.Disk;
            r.Ids = FillLog(cur, tc.Pattern, *index != 0);
            cur.SetIndexName(index);
            FakeExpression e;
            e.Compare("DIST", scoEqual, 1);
            cur.SetFilterExpression(&e);
            r.Cur = &cur;
            r.ResetToBeginning = [&] { cur.ResetToBeginning(); };
            RunDeletes(r, tc.Pattern, tc.Order);
            cur.SetFilterExpression(nullptr);
            ExpectConsistent(cur);
        }
    }
}

TEST(FilteredDiskDelete, AnotherProcessesChangeBetweenDeletesIsSeen) {
    DbFile f;
    Connection conn(f.Name, true);
    CreateLogTable(conn);
    Cursor cur(conn, "NAVTEXLOG");
    const std::vector<TORQRecordID> ids = FillLog(cur, "..x.x.xx", false);
    cur.SetIndexName("IDX_DT");
    FakeExpression e;
    e.Compare("DIST", scoEqual, 1);
    cur.SetFilterExpression(&e);
    auto deleteRow = [&](int Row) {
        EXPECT_TRUE(cur.Disk->GotoRecord(&cur, ids[static_cast<size_t>(Row)]));
        EXPECT_TRUE(cur.Disk->DeleteRecord(&cur));
    };
    deleteRow(2);  // nothing accepted before it
    EXPECT_EQ(cur.Bof, 0);

    // Another process accepts row 0: deleting row 4 finds it before.
    auto setDist = [&](int Row, int Dist) {
        return disktest::InChild([&] {
            Connection other(f.Name, true);
            Cursor w(other, "NAVTEXLOG");
            if (!w.Disk->GotoRecord(&w, ids[static_cast<size_t>(Row)]) || w.Disk->GetRecord(&w, gmCurrent) != grOK)
                return 1;
            w.SetInt(fDist, Dist);
            return w.Disk->UpdateRecord(&w) ? 0 : 2;
        });
    };
    ASSERT_EQ(setDist(0, 1), 0);
    deleteRow(4);
    EXPECT_EQ(cur.Bof, 1);

    // And refuses it again: deleting row 6 has no prior neighbour any more.
    ASSERT_EQ(setDist(0, 0), 0);
    deleteRow(6);
    EXPECT_EQ(cur.Bof, 0);
    EXPECT_EQ(cur.CurrentRecordID, ids[6]);
    cur.SetFilterExpression(nullptr);
}
