// Page-number indexes: the stored page bytes, a seeded run against a std::map model over
// the in-memory page store and over small pages (page order both ways, record ordinals,
// counts before a page, the record-count check), room rules at their boundaries, amounts
// that may not wrap, the room search over every leaf, and every missing-root and
// bad-position code.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <random>
#include <vector>

#include "BTreeTestSupport.h"
#include "GoldenBytes.h"
#include "engine/storage/ORQBTree.h"
#include "engine/storage/ORQMemEngine.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using btreetest::TTestPageManager;
using golden::Bytes;
using golden::I32;
using golden::operator+;

namespace {

TEST(PageIndex, StoredPageBytesFollowTheLayout) {
    TTestPageManager pm(128, 40);
    TORQBTreeRecordPageIndex index(pm);
    index.RecordsPerPage = 10;
    index.CreateIndex(0);
    index.AddRecords(0, 0x01020304, 5);
    index.AddRecords(0, -2, 7);
    pm.CommitSession(0);
    const std::vector<uint8_t>& page = pm.Stored(index.RootPageNo());
    EXPECT_EQ(page[8], 12);  // page type TableIndex in the generic header
    EXPECT_EQ(page[9], 0);
    const Bytes expected = Bytes{1, 1} + I32(-1) + I32(-1) + Bytes{1, 0, 4, 0, 2, 0, 0, 0} +  // header
                           I32(-2) + Bytes{7, 0} + I32(0x01020304) + Bytes{5, 0} + Bytes(88 - 30, 0);
    EXPECT_EQ(Bytes(page.begin() + 40, page.end()), expected);
}

struct ManagerCase {
    const char* Name;
    std::function<std::unique_ptr<TORQPageManager>()> Make;
    int32_t Pages;
    int32_t MinDepth;
};

class PageIndexModel : public ::testing::TestWithParam<ManagerCase> {};

TEST_P(PageIndexModel, AgreesWithAMapModel) {
    const ManagerCase& c = GetParam();
    auto pm = c.Make();
    TORQBTreeRecordPageIndex index(*pm);
    index.RecordsPerPage = 50;
    index.CreateIndex(0);
    std::map<int32_t, uint16_t> model;
    std::mt19937 rng(14);
    std::vector<int32_t> numbers;
    for (int32_t i = 0; i < c.Pages; ++i) numbers.push_back(i * 3 - 500);
    std::shuffle(numbers.begin(), numbers.end(), rng);
    for (int32_t no : numbers) {
        const auto count = static_cast<uint16_t>(std::uniform_int_distribution<int>(1, 50)(rng));
        index.AddRecords(0, no, count);
        model[no] = count;
    }
    // Changes of count: a new count, one record less, a page emptied.
    for (int32_t i = 0; i < c.Pages / 3; ++i) {
        auto it = model.begin();
        std::advance(it, std::uniform_int_distribution<int>(0, static_cast<int>(model.size()) - 1)(rng));
        switch (i % 3) {
            case 0:
                index.SetRecordCount(0, it->first, 33);
                it->second = 33;
                break;
            case 1:
                index.SetRecordCount(0, it->first, -1);
                if (--it->second == 0) model.erase(it);
                break;
            default:
                index.SetRecordCount(0, it->first, 0);
                model.erase(it);
        }
    }
    pm->CommitSession(0);
    const auto shape = btreetest::ValidateTree(*pm, index.KeyRef(), 0, index.RootPageNo());
    ASSERT_EQ(shape.Error, "");
    EXPECT_GE(shape.Depth, c.MinDepth);
    ASSERT_EQ(shape.Entries.size(), model.size());
    std::size_t n = 0;
    for (const auto& [no, count] : model) {
        EXPECT_EQ(shape.Entries[n].Key, no);
        EXPECT_EQ(shape.Entries[n].Slot, count);
        ++n;
    }

    // Page order both ways.
    std::vector<int32_t> forward, backward, keys;
    for (const auto& entry : model) keys.push_back(entry.first);
    int32_t page = 0;
    ASSERT_TRUE(index.FirstPage(0, page));
    forward.push_back(page);
    for (int32_t next = 0; index.NextPage(0, page, next); page = next) forward.push_back(next);
    ASSERT_TRUE(index.LastPage(0, page));
    backward.push_back(page);
    for (int32_t prior = 0; index.PriorPage(0, page, prior); page = prior) backward.push_back(prior);
    EXPECT_EQ(forward, keys);
    EXPECT_EQ(backward, std::vector<int32_t>(keys.rbegin(), keys.rend()));

    // Ordinals and counts before a page, from the model's running sums.
    int64_t total = 0;
    std::map<int32_t, int64_t> before;
    for (const auto& [no, count] : model) {
        before[no] = total;
        total += count;
    }
    for (int64_t ordinal = 0; ordinal < total; ordinal += total / 40 + 1) {
        int64_t sum = 0;
        int32_t expectedPage = 0, expectedOrdinal = 0;
        for (const auto& [no, count] : model) {
            if (sum + count > ordinal) {
                expectedPage = no;
                expectedOrdinal = static_cast<int32_t>(ordinal - sum);
                break;
            }
            sum += count;
        }
        int32_t gotPage = 0, gotOrdinal = 0;
        index.FindPageByRecordOrdinal(0, gotPage, gotOrdinal, ordinal);
        EXPECT_EQ(gotPage, expectedPage) << ordinal;
        EXPECT_EQ(gotOrdinal, expectedOrdinal) << ordinal;
    }
    int32_t lastPage = 0, lastOrdinal = 0;
    index.FindPageByRecordOrdinal(0, lastPage, lastOrdinal, total - 1);
    EXPECT_EQ(lastPage, keys.back());
    EXPECT_EQ(lastOrdinal, model.rbegin()->second - 1);
    ExpectNative([&] { index.FindPageByRecordOrdinal(0, lastPage, lastOrdinal, total); }, 20113,
                 "Cannot set RecNo greater than RecordCount - Native error: 20113");
    ExpectNative([&] { index.FindPageByRecordOrdinal(0, lastPage, lastOrdinal, -1); }, 20113);
    for (std::size_t i = 0; i < keys.size(); i += keys.size() / 12) {
        int64_t result = 0;
        index.CountRecordsBefore(0, keys[i], result, 7);
        EXPECT_EQ(result, before[keys[i]] + 7) << keys[i];
    }

    EXPECT_EQ(index.CheckRecordCount(0, total), total);
    ExpectNative([&] { index.CheckRecordCount(0, total + 1); }, 20292,
                 "Invalid table RecordPageIndex or MostUpdated. RecordPageIndex.RecordCount=" + std::to_string(total) +
                     ", MostUpdated.RecordCount=" + std::to_string(total + 1) + " - Native error: 20292");

    const int32_t absent = -499;  // not a multiple of 3 away from -500
    int32_t unused = 0;
    int64_t result = 0;
    ExpectNative([&] { index.NextPage(0, absent, unused); }, 20104);
    ExpectNative([&] { index.PriorPage(0, absent, unused); }, 20105);
    ExpectNative([&] { index.CountRecordsBefore(0, absent, result, 0); }, 20114);
    pm->RollbackSession(0);

    // Dropping the index gives every page back.
    index.DropIndex(0);
    pm->CommitSession(0);
    EXPECT_EQ(pm->PageCount, 0);
    EXPECT_EQ(index.RootPageNo(), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Managers, PageIndexModel,
    ::testing::Values(ManagerCase{"Memory", [] { return std::make_unique<TORQMemoryPageManager>(); }, 3000, 2},
                      ManagerCase{"SmallPages", [] { return std::make_unique<TTestPageManager>(128); }, 3000, 4}),
    [](const ::testing::TestParamInfo<ManagerCase>& Info) { return std::string(Info.param.Name); });

TEST(PageIndex, RoomRulesAtTheirBoundaries) {
    TTestPageManager pm(200, 40);  // data size 160: a BLOB page has room below 158 bytes used
    TORQBTreeRecordPageIndex records(pm);
    records.RecordsPerPage = 10;
    EXPECT_TRUE(records.CanAdd(9, 1000));  // the amount to add is not consulted
    EXPECT_FALSE(records.CanAdd(10, 0));
    TORQBTreeBlobPageIndex blobs(pm);
    EXPECT_TRUE(blobs.CanAdd(150, 7));
    EXPECT_FALSE(blobs.CanAdd(150, 8));

    records.CreateIndex(0);
    records.AddRecords(0, 4, 9);
    records.AddRecords(0, 4, 1);  // 9 < 10: room for more, whatever the amount
    ExpectNative([&] { records.AddRecords(0, 4, 1); }, 20106,
                 "Cannot add data item to page. Page is full - Native error: 20106");
    TORQKeyPath path;
    ASSERT_TRUE(records.FindKey(0, 4, path));
    EXPECT_EQ(records.GetAmount(0, path), 10);  // left unchanged
    records.SetRecordCount(0, 4, -1);
    ASSERT_TRUE(records.FindKey(0, 4, path));
    EXPECT_EQ(records.GetAmount(0, path), 9);
    records.SetRecordCount(0, 4, 0);  // a zero count removes the entry
    int32_t page = 0;
    EXPECT_FALSE(records.FirstPage(0, page));
    ExpectNative([&] { records.AddRecords(0, 5, 70000); }, 20061);  // beyond 16 bits
    ExpectNative([&] { records.SetRecordCount(0, 5, 1); }, 20111);

    blobs.CreateIndex(0);
    EXPECT_EQ(blobs.GetUsedSize(0, 8), -1);
    blobs.AddUsedSize(0, 100, 8);
    blobs.AddUsedSize(0, 57, 8);  // 100 + 57 < 158
    ExpectNative([&] { blobs.AddUsedSize(0, 1, 8); }, 20106);
    EXPECT_EQ(blobs.GetUsedSize(0, 8), 157);
    blobs.RemoveUsedSize(0, 57, 8);
    EXPECT_EQ(blobs.GetUsedSize(0, 8), 100);
    // More than is used would wrap the 16-bit amount: refused, amount kept.
    ExpectNative([&] { blobs.RemoveUsedSize(0, 101, 8); }, 20061);
    EXPECT_EQ(blobs.GetUsedSize(0, 8), 100);
    blobs.RemoveUsedSize(0, 100, 8);  // reaching 0 removes the entry
    EXPECT_EQ(blobs.GetUsedSize(0, 8), -1);
    blobs.AddUsedSize(0, 0, 9);
    ExpectNative([&] { blobs.RemoveUsedSize(0, 1, 9); }, 20112, "Index error: page is empty - Native error: 20112");
    EXPECT_EQ(pm.PagesInUse(), 0);
}

// Every listed page may be offered, not only those of the first and the last leaf: the
// fullest page that still has room, of equal ones the highest number.
TEST(PageIndex, RoomIsOfferedFromEveryLeafFullestPageFirst) {
    TTestPageManager pm(128);  // 18 leaf entries a page
    TORQBTreeRecordPageIndex index(pm);
    index.RecordsPerPage = 10;
    index.CreateIndex(0);
    for (int32_t no = 0; no < 120; ++no) index.AddRecords(0, no, 10);
    ASSERT_GE(btreetest::ValidateTree(pm, index.KeyRef(), 0, index.RootPageNo()).Pages, 8);
    int32_t page = -1;
    EXPECT_FALSE(index.FindPageWithRoom(0, page));
    struct Step {
        int32_t PageNo, Count, Offered;
    } steps[] = {
        {60, 9, 60},    // a middle leaf
        {2, 5, 60},     // the first leaf, emptier
        {117, 9, 117},  // as full as 60: the higher number
        {117, 10, 60},  // full again
        {60, 10, 2},
    };
    for (const Step& k : steps) {
        index.SetRecordCount(0, k.PageNo, k.Count);
        ASSERT_TRUE(index.FindPageWithRoom(0, page)) << k.PageNo;
        EXPECT_EQ(page, k.Offered) << k.PageNo;
    }
    // A change made behind the summary's back (another process's view of the same tree):
    // the stale offer is checked against the tree and the summary built again.
    TORQBTreeRecordPageIndex other(pm);
    other.RecordsPerPage = 10;
    other.SetRootPageNo(index.RootPageNo());
    other.SetRecordCount(0, 2, 10);
    other.SetRecordCount(0, 50, 4);
    ASSERT_TRUE(index.FindPageWithRoom(0, page));
    EXPECT_EQ(page, 50);
    other.SetRecordCount(0, 50, 10);
    EXPECT_FALSE(index.FindPageWithRoom(0, page));

    TORQBTreeBlobPageIndex blobs(pm);
    blobs.CreateIndex(0);
    EXPECT_FALSE(blobs.FindPageWithRoom(0, 1, page));  // an empty tree
    blobs.AddUsedSize(0, 100, 3);
    EXPECT_FALSE(blobs.FindPageWithRoom(0, 26, page));  // 100 + 26 = 128 - 2
    ASSERT_TRUE(blobs.FindPageWithRoom(0, 25, page));
    EXPECT_EQ(page, 3);
    EXPECT_EQ(pm.PagesInUse(), 0);
}

// A page failure at every point of an entry that splits leaves and of a removal that
// merges them: no page stays taken, and the rollback leaves the committed index.
TEST(PageIndex, InjectedFailuresLeaveNothingTakenAndRollBackCleanly) {
    TTestPageManager pm(128);
    TORQBTreeRecordPageIndex index(pm);
    index.RecordsPerPage = 100;
    index.CreateIndex(0);
    std::map<int32_t, uint16_t> model;
    for (int32_t no = 0; no < 200; no += 2) {
        index.AddRecords(0, no, 5);
        model[no] = 5;
    }
    pm.CommitSession(0);
    auto expectModel = [&] {
        const auto shape = btreetest::ValidateTree(pm, index.KeyRef(), 0, index.RootPageNo());
        ASSERT_EQ(shape.Error, "");
        ASSERT_EQ(shape.Entries.size(), model.size());
        std::size_t i = 0;
        for (const auto& [no, count] : model) {
            EXPECT_EQ(shape.Entries[i].Key, no);
            EXPECT_EQ(shape.Entries[i].Slot, count);
            ++i;
        }
    };
    int32_t failures = 0;
    auto sweep = [&](const std::function<void()>& Op, const std::function<void()>& Apply) {
        for (int64_t n = 1;; ++n) {
            ASSERT_LT(n, 500);
            pm.Operations = 0;
            pm.FailAt = n;
            const auto raised = Raised(Op);
            pm.FailAt = 0;
            if (raised.first == 0) break;
            ASSERT_EQ(raised.first, TTestPageManager::InjectedCode) << raised.second;
            ++failures;
            ASSERT_EQ(pm.PagesInUse(), 0);
            pm.RollbackSession(0);
            expectModel();
        }
        Apply();
        expectModel();
        pm.CommitSession(0);
    };
    for (int32_t no = 101; no < 141; no += 2) sweep([&] { index.AddRecords(0, no, 3); }, [&] { model[no] = 3; });
    std::vector<int32_t> present;
    for (const auto& entry : model)
        if (entry.first >= 60 && entry.first < 160) present.push_back(entry.first);
    for (int32_t no : present) sweep([&] { index.SetRecordCount(0, no, 0); }, [&] { model.erase(no); });
    EXPECT_GT(failures, 300);
}

TEST(PageIndex, MissingRootAndBadPositionsRaiseTheirCodes) {
    TTestPageManager pm(128);
    TORQBTreeRecordPageIndex index(pm);
    TORQKeyPath path;
    ExpectNative([&] { index.First(0, path); }, 20115, "Index error: invalid page number - Native error: 20115");
    ExpectNative([&] { index.Last(0, path); }, 20116);
    ExpectNative([&] { index.FindKey(0, 1, path); }, 20117);
    ExpectNative([&] { index.AddRecords(0, 1, 1); }, 20118);
    ExpectNative([&] { index.SetRecordCount(0, 1, 1); }, 20110);
    path.Clear();
    ExpectNative([&] { index.Next(0, path); }, 20099, "Index error: invalid position - Native error: 20099");
    ExpectNative([&] { index.Prior(0, path); }, 20101);
    ExpectNative([&] { index.GetKey(0, path); }, 20103);
    ExpectNative([&] { index.GetAmount(0, path); }, 20107);
    ExpectNative([&] { index.SetAmount(0, path, 1); }, 20108);

    index.CreateIndex(0);
    index.AddRecords(0, 7, 2);
    ASSERT_TRUE(index.First(0, path));
    // A path's entry number outside its page (as an approximate position's 0 digit gives)
    // is refused by whoever reads through it.
    for (int32_t entry : {-1, 1}) {
        TORQKeyPath bad = path;
        bad.Levels[bad.LevelCount - 1].EntryNo = entry;
        ExpectNative([&] { index.GetKey(0, bad); }, 20103);
        ExpectNative([&] { index.GetAmount(0, bad); }, 20107);
        ExpectNative([&] { index.SetAmount(0, bad, 1); }, 20108);
    }
    TORQKeyPath approx;
    approx.FromApproxPosition(4, 3);  // entries 0 and -1, page numbers -1
    EXPECT_NE(Raised([&] { index.GetKey(0, approx); }).first, 0);
    EXPECT_EQ(pm.PagesInUse(), 0);

    // Emptying keeps the root; the tree is empty afterwards.
    for (int32_t no = 0; no < 60; ++no) index.AddRecords(0, no * 2, 1);
    const int32_t root = index.RootPageNo();
    index.EmptyIndex(0);
    pm.CommitSession(0);
    EXPECT_EQ(index.RootPageNo(), root);
    EXPECT_EQ(pm.PageCount, 1);
    int32_t page = 0;
    EXPECT_FALSE(index.FirstPage(0, page));
    EXPECT_EQ(btreetest::ValidateTree(pm, index.KeyRef(), 0, root).Error, "");
}

}  // namespace
