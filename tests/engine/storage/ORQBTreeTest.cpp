// The B+ tree over small pages: split and merge boundaries in hand-built fixtures, the
// ordered searches against a model, the integrity check's errors, injected page failures,
// and seeded randomized runs against a std::set model under the strong validator.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <random>
#include <set>
#include <vector>

#include "BTreeTestSupport.h"
#include "GoldenBytes.h"
#include "engine/storage/ORQBTree.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using btreetest::GetI32;
using btreetest::GetU16;
using btreetest::PutI32;
using btreetest::TEntry;
using btreetest::TTestKeyRef;
using btreetest::TTestPageManager;
using btreetest::TTestTree;

namespace {

// 126-byte pages, 12-byte keys: a leaf holds exactly 6 entries of 18 bytes (18 + 6 x 18 =
// 126), an inner page 6 of 16. Underfull: 2 entries or fewer (count x 18 < 108 div 2);
// two leaves merge only when a + b < 6.
struct SixPerLeaf : ::testing::Test {
    TTestPageManager PM{126};
    TTestKeyRef Ref{12};
    TTestTree Tree{PM, Ref};

    static TEntry E(int32_t Key) { return {Key, Key * 10, static_cast<uint16_t>(Key)}; }

    std::vector<uint8_t> Data(int32_t PageNo) {
        TORQPage* p = PM.GetPage(0, PageNo, true, BTreePageType);
        std::vector<uint8_t> bytes(p->GetData(), p->GetData() + p->GetDataSize());
        PM.ReleasePage(p);
        return bytes;
    }
    static int32_t Count(const std::vector<uint8_t>& D) { return GetU16(&D[14]); }
    static int32_t LeafKey(const std::vector<uint8_t>& D, int32_t I) { return GetI32(&D[18 + I * 18]); }
    static int32_t Child(const std::vector<uint8_t>& D, int32_t I) { return GetI32(&D[18 + I * 16 + 12]); }

    void ExpectSound(const std::vector<int32_t>& Keys) {
        const btreetest::TTreeShape shape = btreetest::ValidateTree(PM, Ref, 0, Tree.Root);
        ASSERT_EQ(shape.Error, "");
        std::vector<int32_t> got;
        for (const TEntry& e : shape.Entries) got.push_back(e.Key);
        EXPECT_EQ(got, Keys);
        EXPECT_EQ(PM.PagesInUse(), 0);
    }
};

TEST_F(SixPerLeaf, RootSplitOfSevenKeepsRootNumberAndGivesThreeAndFour) {
    for (int32_t k = 10; k <= 70; k += 10) Tree.Insert(E(k));
    const auto root = Data(Tree.Root);
    ASSERT_EQ(root[0], 1);  // still the root
    ASSERT_EQ(root[1], 0);  // now an inner page
    ASSERT_EQ(Count(root), 2);
    // Entry 0's key is all zero; entry 1's is the right page's first key.
    EXPECT_EQ(golden::Bytes(&root[18], &root[30]), golden::Bytes(12, 0));
    EXPECT_EQ(GetI32(&root[18 + 16]), 40);
    const auto left = Data(Child(root, 0));
    const auto right = Data(Child(root, 1));
    EXPECT_EQ(Count(left), 3);
    EXPECT_EQ(Count(right), 4);
    EXPECT_EQ(LeafKey(left, 0), 10);
    EXPECT_EQ(LeafKey(right, 0), 40);
    EXPECT_EQ(GetI32(&left[6]), Child(root, 1));  // left.Next
    EXPECT_EQ(GetI32(&right[2]), Child(root, 0));  // right.Prev
    EXPECT_EQ(GetI32(&left[2]), -1);
    EXPECT_EQ(GetI32(&right[6]), -1);

    // A key below the right page's first key descends left without comparing entry 0.
    TORQKeyPath path;
    ASSERT_TRUE(Tree.FindKey(true, scEqual, 30, path));
    EXPECT_EQ(path.LevelCount, 2);
    EXPECT_EQ(path.Levels[1].PageNo, Child(root, 0));
    EXPECT_EQ(path.Levels[1].EntryNo, 2);

    // A non-root leaf of 7 splits the same way: 40 50 60 | 70 71 72 73.
    for (int32_t k = 71; k <= 73; ++k) Tree.Insert(E(k));
    const auto root2 = Data(Tree.Root);
    ASSERT_EQ(Count(root2), 3);
    EXPECT_EQ(Count(Data(Child(root2, 1))), 3);
    EXPECT_EQ(Count(Data(Child(root2, 2))), 4);
    EXPECT_EQ(GetI32(&root2[18 + 2 * 16]), 70);
    ExpectSound({10, 20, 30, 40, 50, 60, 70, 71, 72, 73});
}

TEST_F(SixPerLeaf, MergeNeedsStrictlyLessThanAPageThenTheRootCollapses) {
    for (int32_t k = 10; k <= 70; k += 10) Tree.Insert(E(k));  // 10 20 30 | 40 50 60 70
    PM.CommitSession(0);
    const int32_t pages = PM.PageCount;
    ASSERT_TRUE(Tree.Delete(E(10)));  // 2 + 4 entries: (6 x 18) + 18 = 126, not below 126
    PM.CommitSession(0);
    EXPECT_EQ(PM.PageCount, pages);
    EXPECT_EQ(Count(Data(Tree.Root)), 2);
    ExpectSound({20, 30, 40, 50, 60, 70});

    ASSERT_TRUE(Tree.Delete(E(20)));  // 1 + 4 fit: merged, and the root of one child collapses
    PM.CommitSession(0);
    const auto root = Data(Tree.Root);
    EXPECT_EQ(root[0], 1);
    EXPECT_EQ(root[1], 1);  // a leaf again, same page number
    EXPECT_EQ(Count(root), 5);
    EXPECT_EQ(PM.PageCount, 1);  // both children given back
    ExpectSound({30, 40, 50, 60, 70});
}

TEST_F(SixPerLeaf, AnEmptiedPageGoesEvenBesideAFullNeighbour) {
    for (int32_t k = 10; k <= 90; k += 10) Tree.Insert(E(k));  // 10 20 30 | 40 .. 90 (full)
    ASSERT_EQ(Count(Data(Child(Data(Tree.Root), 1))), 6);
    for (int32_t k : {10, 20}) {
        ASSERT_TRUE(Tree.Delete(E(k)));
        EXPECT_EQ(Count(Data(Tree.Root)), 2);  // 2 + 6 and 1 + 6 do not fit
    }
    ASSERT_TRUE(Tree.Delete(E(30)));  // 0 + 6: equal to a page, yet the empty page must go
    PM.CommitSession(0);
    EXPECT_EQ(Data(Tree.Root)[1], 1);
    EXPECT_EQ(PM.PageCount, 1);
    ExpectSound({40, 50, 60, 70, 80, 90});
}

// A hand-built three-level tree whose middle page N1 holds one child P; its entry-0 key
// (never compared) is a stale 40. P's entries merge into the right neighbour Q, under
// another parent: the separator in front of Q's subtree must become P's real first key
// (10), not the stale 40, or the keys 10 and 20 would lie left of their separator and an
// equal search for them would miss.
TEST_F(SixPerLeaf, SeparatorAfterAMergeIsTheRealFirstKey) {
    auto make = [&](bool Leaf, const std::vector<std::pair<int32_t, int32_t>>& Entries) {
        TORQBTreePageHolder page = TORQBTreePage::New(PM, Ref, 0);
        page->SetIsLeaf(Leaf);
        page->SetKeySize(12);
        page->ZeroEntriesFrom(0);
        for (const auto& [key, child] : Entries) {
            uint8_t value[6] = {};
            if (Leaf) {
                const auto v = TTestTree::Value(E(key));
                std::memcpy(value, v.data(), 6);
            } else {
                PutI32(value, child);
            }
            page->Controller().InsertEntryAt(Tree.Key(key).data(), value, page->EntryCount());
        }
        return page;
    };
    auto a = make(true, {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}});  // full: cannot take P
    auto p = make(true, {{10, 0}, {20, 0}, {30, 0}});
    auto q = make(true, {{50, 0}, {60, 0}, {70, 0}});
    auto m0 = make(false, {{0, a->GetPageNo()}});
    auto n1 = make(false, {{40, p->GetPageNo()}});
    auto n2 = make(false, {{0, q->GetPageNo()}});
    a->SetNextPageNo(p->GetPageNo());
    p->SetPrevPageNo(a->GetPageNo());
    p->SetNextPageNo(q->GetPageNo());
    q->SetPrevPageNo(p->GetPageNo());
    m0->SetNextPageNo(n1->GetPageNo());
    n1->SetPrevPageNo(m0->GetPageNo());
    n1->SetNextPageNo(n2->GetPageNo());
    n2->SetPrevPageNo(n1->GetPageNo());
    {
        TORQBTreePageHolder root = Tree.LoadRoot();
        root->SetIsLeaf(false);
        uint8_t child[4];
        for (const auto& [key, no] : std::vector<std::pair<int32_t, int32_t>>{
                 {0, m0->GetPageNo()}, {10, n1->GetPageNo()}, {50, n2->GetPageNo()}}) {
            PutI32(child, no);
            root->Controller().InsertEntryAt(key == 0 ? nullptr : Tree.Key(key).data(), child, root->EntryCount());
        }
    }
    for (auto* h : {&a, &p, &q, &m0, &n1, &n2}) h->reset();
    ExpectSound({1, 2, 3, 4, 5, 6, 10, 20, 30, 50, 60, 70});

    ASSERT_TRUE(Tree.Delete(E(30)));
    ExpectSound({1, 2, 3, 4, 5, 6, 10, 20, 50, 60, 70});
    const auto root = Data(Tree.Root);
    ASSERT_EQ(Count(root), 2);
    EXPECT_EQ(GetI32(&root[18 + 16]), 10);
    for (int32_t k : {10, 20}) {
        TORQKeyPath path;
        ASSERT_TRUE(Tree.FindKey(true, scEqual, k, path)) << k;
        EXPECT_EQ(Tree.EntryAt(path).Key, k);
    }
}

TEST_F(SixPerLeaf, DeleteOfAnAbsentEntryChangesNothing) {
    for (int32_t k = 10; k <= 70; k += 10) Tree.Insert(E(k));
    EXPECT_FALSE(Tree.Delete(E(35)));
    EXPECT_FALSE(Tree.Delete({40, 1, 1}));  // key present, another record id
    ExpectSound({10, 20, 30, 40, 50, 60, 70});
}

TEST_F(SixPerLeaf, EmptyTreeFindsNothing) {
    TORQKeyPath path;
    for (int32_t c = 0; c <= 5; ++c)
        for (bool forward : {true, false}) EXPECT_FALSE(Tree.FindKey(forward, c, 7, path)) << c;
    EXPECT_FALSE(Tree.LoadRoot()->First(0, path));
    EXPECT_FALSE(Tree.LoadRoot()->Last(0, path));
    EXPECT_EQ(PM.PagesInUse(), 0);
}

bool Matches(int32_t Condition, int32_t Key, int32_t Search) {
    switch (Condition) {
        case scEqual: return Key == Search;
        case scLess: return Key < Search;
        case scGreater: return Key > Search;
        case scLessOrEqual: return Key <= Search;
        case scGreaterOrEqual: return Key >= Search;
        default: return true;
    }
}

// Every condition in both directions for every search key around the stored ones: found
// exactly when the model has a match, and then at the model's first (forward) or last
// (backward) matching entry.
void CheckFindKey(TTestTree& Tree, const std::set<TEntry>& Model, const std::vector<int32_t>& Searches) {
    for (int32_t s : Searches) {
        for (int32_t c = 0; c <= 5; ++c) {
            for (bool forward : {true, false}) {
                const TEntry* expected = nullptr;
                if (forward) {
                    for (const TEntry& e : Model)
                        if (Matches(c, e.Key, s)) {
                            expected = &e;
                            break;
                        }
                } else {
                    for (auto it = Model.rbegin(); it != Model.rend(); ++it)
                        if (Matches(c, it->Key, s)) {
                            expected = &*it;
                            break;
                        }
                }
                TORQKeyPath path;
                const bool found = Tree.FindKey(forward, c, s, path);
                ASSERT_EQ(found, expected != nullptr) << "key " << s << " condition " << c << " forward " << forward;
                if (found) {
                    EXPECT_EQ(Tree.EntryAt(path), *expected)
                        << "key " << s << " condition " << c << " forward " << forward;
                }
            }
        }
    }
}

TEST_F(SixPerLeaf, FindKeyEveryConditionBothDirectionsOnTwoLevels) {
    // Runs of equal keys wider than a leaf, so equal keys straddle separators.
    std::set<TEntry> model;
    const int32_t keys[] = {30, 10, 30, 50, 30, 20, 30, 70, 30, 30, 30, 50, 10, 60, 50, 30, 70, 40};
    uint16_t slot = 0;
    for (int32_t k : keys) {
        const TEntry e{k, 100 - k, slot++};
        Tree.Insert(e);
        model.insert(e);
    }
    const btreetest::TTreeShape shape = btreetest::ValidateTree(PM, Ref, 0, Tree.Root);
    ASSERT_EQ(shape.Error, "");
    ASSERT_EQ(shape.Depth, 2);
    std::vector<int32_t> searches;
    for (int32_t s = 5; s <= 75; s += 5) searches.push_back(s);
    CheckFindKey(Tree, model, searches);

    // FindRecord reaches each record among its equal keys, and no record id that is absent.
    for (const TEntry& e : model) {
        TORQKeyPath path;
        const auto key = Tree.Key(e.Key);
        const auto value = TTestTree::Value(e);
        ASSERT_TRUE(Tree.LoadRoot()->FindRecord(0, key.data(), path, value.data())) << e.Key << "/" << e.Slot;
        EXPECT_EQ(Tree.EntryAt(path), e);
        EXPECT_EQ(path.LevelCount, 2);
    }
    TORQKeyPath path;
    const auto absent = TTestTree::Value({30, 70, 999});
    EXPECT_FALSE(Tree.LoadRoot()->FindRecord(0, Tree.Key(30).data(), path, absent.data()));
    EXPECT_EQ(PM.PagesInUse(), 0);
}

TEST_F(SixPerLeaf, PathStepsOverTheLeafChainBothWays) {
    std::vector<int32_t> keys;
    for (int32_t k = 1; k <= 40; ++k) {
        Tree.Insert(E(k * 3 % 41));
        keys.push_back(k * 3 % 41);
    }
    std::sort(keys.begin(), keys.end());
    TORQKeyPath path;
    ASSERT_TRUE(Tree.LoadRoot()->First(0, path));
    std::vector<int32_t> forward{Tree.EntryAt(path).Key};
    while (StepKeyPathNext(PM, Ref, 0, path, 20099, 20100)) forward.push_back(Tree.EntryAt(path).Key);
    EXPECT_EQ(forward, keys);
    const TORQKeyPath atEnd = path;
    EXPECT_FALSE(StepKeyPathNext(PM, Ref, 0, path, 20099, 20100));
    EXPECT_EQ(TORQKeyPath::CompareKeyPaths(path, atEnd), 0);

    path.Clear();
    ASSERT_TRUE(Tree.LoadRoot()->Last(0, path));
    std::vector<int32_t> backward{Tree.EntryAt(path).Key};
    while (StepKeyPathPrior(PM, Ref, 0, path, 20101, 20102)) backward.push_back(Tree.EntryAt(path).Key);
    EXPECT_EQ(std::vector<int32_t>(keys.rbegin(), keys.rend()), backward);

    TORQKeyPath empty;
    ExpectNative([&] { StepKeyPathNext(PM, Ref, 0, empty, 20099, 20100); }, 20099);
    ExpectNative([&] { StepKeyPathPrior(PM, Ref, 0, empty, 20101, 20102); }, 20101);
    EXPECT_EQ(PM.PagesInUse(), 0);
}

TEST(BTreeKeyBound, EntriesFittingFewerThanThreeTimesAreRefusedBeforeAnyChange) {
    // 128-byte pages: a leaf entry of key + 6 must fit three times after the 18-byte header.
    struct Case {
        int32_t KeySize;
        bool Accepted;
    } cases[] = {{30, true}, {31, false}, {60, false}};
    for (const Case& c : cases) {
        TTestPageManager pm(128);
        TTestKeyRef ref(c.KeySize);
        TTestTree tree(pm, ref);
        const auto refused = Raised([&] { tree.Insert({1, 1, 1}); });
        EXPECT_EQ(refused.first, c.Accepted ? 0 : 20060) << c.KeySize;
        EXPECT_EQ(pm.PagesInUse(), 0);
        const auto shape = btreetest::ValidateTree(pm, ref, 0, tree.Root);
        EXPECT_EQ(shape.Error, "");
        EXPECT_EQ(shape.Entries.size(), c.Accepted ? 1u : 0u);
    }
}

TEST_F(SixPerLeaf, InnerOnlyOperationsRefuseLeavesAndEmptyRemovalIsRefused) {
    TORQKeyPath path;
    ExpectNative([&] { Tree.LoadRoot()->InsertSeparator(0, nullptr, path, 5); }, 20020,
                 "Internal index error - Native error: 20020");
    ExpectNative([&] { Tree.LoadRoot()->RemoveChildEntry(0, path, true, nullptr); }, 20024);
    ExpectNative([&] { Tree.LoadRoot()->Controller().RemoveEntryAt(0); }, 20025,
                 "Index error: page is empty - Native error: 20025");
    uint8_t key[12] = {};
    ExpectNative([&] { Tree.LoadRoot()->GetFirstKey(0, key); }, 20025);
    EXPECT_EQ(PM.PagesInUse(), 0);
}

// CheckIntegrity on a two-level tree whose root holds 4 children, each corruption made
// in the session's copy of one page and rolled back after.
TEST_F(SixPerLeaf, CheckIntegrityReportsEachCorruption) {
    for (int32_t k = 10; k <= 130; k += 10) Tree.Insert(E(k));
    PM.CommitSession(0);
    const auto root = Data(Tree.Root);
    ASSERT_EQ(Count(root), 4);
    TORQKeyPath path;
    Tree.LoadRoot()->CheckIntegrity(0, path);  // sound

    auto corrupt = [&](int32_t PageNo, const std::function<void(uint8_t*)>& Change, int32_t Code) {
        TORQPage* p = PM.GetPage(0, PageNo, true, BTreePageType);
        Change(p->GetData());
        p->Modified = 1;
        PM.ReleasePage(p);
        TORQKeyPath check;
        const auto raised = Raised([&] { Tree.LoadRoot()->CheckIntegrity(0, check); });
        EXPECT_EQ(raised.first, Code);
        EXPECT_EQ(PM.PagesInUse(), 0);
        PM.RollbackSession(0);
        return raised.second;
    };
    const int32_t leaf1 = Child(root, 1);
    EXPECT_EQ(corrupt(leaf1, [](uint8_t* d) { PutI32(d + 18, 99); }, 20028),
              "Index integrity error. PageNo=" + std::to_string(leaf1) + " EntryNo=0 - Native error: 20028");
    EXPECT_EQ(corrupt(leaf1, [](uint8_t* d) { PutI32(d + 2, 77); }, 20033),
              "Index integrity error. Invlaid leaf link. PageNo=" + std::to_string(Tree.Root) +
                  " EntryNo=1 - Native error: 20033");
    corrupt(leaf1, [](uint8_t* d) { PutI32(d + 6, 77); }, 20034);
    corrupt(Tree.Root,
            [&](uint8_t* d) {
                d[14] = 1;  // one child, which is the root itself
                PutI32(d + 18 + 12, Tree.Root);
            },
            20032);
    // Separators: key 1 above key 2; key 1 below child 0's last key; key 2 above child 2's first.
    const int32_t sep2 = GetI32(&root[18 + 2 * 16]);
    corrupt(Tree.Root, [&](uint8_t* d) { PutI32(d + 18 + 16, sep2 + 1); }, 20029);
    corrupt(Tree.Root, [&](uint8_t* d) { PutI32(d + 18 + 16, 11); }, 20030);
    corrupt(Tree.Root, [&](uint8_t* d) { PutI32(d + 18 + 2 * 16, sep2 + 1); }, 20031);
    ExpectSound({10, 20, 30, 40, 50, 60, 70, 80, 90, 100, 110, 120, 130});
}

// Every failure point of an insert and a delete in turn: the error leaves no page taken,
// and the session's rollback gives back exactly the committed tree.
TEST(BTreeFaults, InjectedPageFailureMidInsertAndMidDelete) {
    TTestPageManager pm(126);
    TTestKeyRef ref(12);
    TTestTree tree(pm, ref);
    std::set<TEntry> model;
    for (int32_t k = 0; k < 120; ++k) {
        const TEntry e{k * 2, k, 0};
        tree.Insert(e);
        model.insert(e);
    }
    pm.CommitSession(0);
    auto expectModel = [&] {
        const auto shape = btreetest::ValidateTree(pm, ref, 0, tree.Root);
        ASSERT_EQ(shape.Error, "");
        ASSERT_EQ(shape.Entries, std::vector<TEntry>(model.begin(), model.end()));
    };
    int32_t failures = 0, maxDepth = 0;
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
            ASSERT_EQ(pm.PagesInUse(), 0) << "failure at operation " << n;
            pm.RollbackSession(0);
            expectModel();
        }
        Apply();
        expectModel();
        maxDepth = std::max(maxDepth, btreetest::ValidateTree(pm, ref, 0, tree.Root).Depth);
        pm.CommitSession(0);
    };
    // Inserts into one narrow range split leaves and cascade up through the parents.
    for (int32_t k = 0; k < 40; ++k) {
        const TEntry e{101, 1000 + k, 0};
        sweep([&] { tree.Insert(e); }, [&] { model.insert(e); });
    }
    // Deleting a contiguous range merges leaves, repairs separators and shrinks the tree.
    for (int32_t k = 0; k < 120; ++k) {
        const TEntry e{k * 2, k, 0};
        sweep([&] { ASSERT_TRUE(tree.Delete(e)); }, [&] { model.erase(e); });
    }
    EXPECT_GT(failures, 500);
    EXPECT_GE(maxDepth, 3);
}

// Deterministic delete orders over a deep tree, the validator after every step.
TEST(BTreeDeleteOrders, EveryOrderKeepsTheTreeSound) {
    const int32_t n = 300;
    std::vector<std::vector<int32_t>> orders(4);
    for (int32_t k = 0; k < n; ++k) orders[0].push_back(k);
    orders[1].assign(orders[0].rbegin(), orders[0].rend());
    for (int32_t k = 0; k < n / 2; ++k) {  // middle out
        orders[2].push_back(n / 2 + k);
        orders[2].push_back(n / 2 - 1 - k);
    }
    for (int32_t k = 0; k < n; k += 2) orders[3].push_back(k);  // every other, then the rest
    for (int32_t k = 1; k < n; k += 2) orders[3].push_back(k);
    for (const auto& order : orders) {
        TTestPageManager pm(128, 40);  // 88 data bytes: 3 leaf entries, 4 inner ones
        TTestKeyRef ref(12);
        TTestTree tree(pm, ref);
        std::set<TEntry> model;
        for (int32_t k = 0; k < n; ++k) {
            const TEntry e{k / 3, k, static_cast<uint16_t>(k)};  // three records per key
            tree.Insert(e);
            model.insert(e);
        }
        EXPECT_GE(btreetest::ValidateTree(pm, ref, 0, tree.Root).Depth, 5);
        for (int32_t k : order) {
            const TEntry e{k / 3, k, static_cast<uint16_t>(k)};
            ASSERT_TRUE(tree.Delete(e));
            model.erase(e);
            const auto shape = btreetest::ValidateTree(pm, ref, 0, tree.Root);
            ASSERT_EQ(shape.Error, "") << "after deleting " << k;
            ASSERT_EQ(shape.Entries.size(), model.size());
        }
        pm.CommitSession(0);
        EXPECT_EQ(pm.PageCount, 1);
    }
}

// Target: the live entries the run hovers around while growing (a quarter of it while
// shrinking), kept below the page cache's 1000 pages so the run stays quick.
struct RandomCase {
    uint16_t PageSize, HeaderSize;
    int32_t KeySize, Operations, KeyRange, Target;
    uint32_t Seed;
};

class BTreeRandom : public ::testing::TestWithParam<RandomCase> {};

// Mixed inserts and deletes with duplicate keys against a std::set model: growing to a
// target, then shrinking to a quarter of it, then drained. The validator and the model are compared every 500 steps; the
// ordered searches and CheckIntegrity run at the peak.
TEST_P(BTreeRandom, DifferentialAgainstModel) {
    const RandomCase c = GetParam();
    const auto started = std::chrono::steady_clock::now();
    TTestPageManager pm(c.PageSize, c.HeaderSize);
    TTestKeyRef ref(c.KeySize);
    TTestTree tree(pm, ref);
    std::set<TEntry> model;
    std::mt19937 rng(c.Seed);
    int32_t counter = 0, maxDepth = 0, maxPages = 0, absentDeletes = 0;
    auto check = [&] {
        const auto shape = btreetest::ValidateTree(pm, ref, 0, tree.Root);
        ASSERT_EQ(shape.Error, "");
        ASSERT_EQ(shape.Entries, std::vector<TEntry>(model.begin(), model.end()));
        ASSERT_EQ(pm.PagesInUse(), 0);
        maxDepth = std::max(maxDepth, shape.Depth);
        maxPages = std::max(maxPages, shape.Pages);
    };
    for (int32_t step = 0; step < c.Operations; ++step) {
        const int32_t target = step < c.Operations / 2 ? c.Target : c.Target / 4;
        const int percent = static_cast<int32_t>(model.size()) < target ? 65 : 35;
        const bool insert = model.empty() || std::uniform_int_distribution<int>(0, 99)(rng) < percent;
        if (insert) {
            ++counter;
            // Record ids with negative pages and high slots exercise the signed/unsigned order.
            const TEntry e{std::uniform_int_distribution<int32_t>(-c.KeyRange / 2, c.KeyRange / 2)(rng),
                           (counter % 97) - 48, static_cast<uint16_t>(counter * 7919)};
            if (!model.insert(e).second) continue;
            tree.Insert(e);
        } else if (std::uniform_int_distribution<int>(0, 9)(rng) == 0) {
            const TEntry absent{std::uniform_int_distribution<int32_t>(-c.KeyRange, c.KeyRange)(rng), 1000, 1};
            ASSERT_FALSE(tree.Delete(absent));
            ++absentDeletes;
        } else {
            auto it = model.lower_bound({std::uniform_int_distribution<int32_t>(-c.KeyRange, c.KeyRange)(rng), -100, 0});
            if (it == model.end()) it = model.begin();
            ASSERT_TRUE(tree.Delete(*it)) << "step " << step;
            model.erase(it);
        }
        if (step % 500 == 499) {
            pm.CommitSession(0);
            check();
            if (HasFatalFailure()) return;
            // Every allocated page is reachable: nothing freed is lost, nothing kept leaks.
            ASSERT_EQ(pm.PageCount, btreetest::ValidateTree(pm, ref, 0, tree.Root).Pages) << "step " << step;
        }
        if (step == c.Operations / 2) {
            TORQKeyPath path;
            tree.LoadRoot()->CheckIntegrity(0, path);
            std::vector<int32_t> searches;
            for (int32_t i = 0; i < 12; ++i)
                searches.push_back(std::uniform_int_distribution<int32_t>(-c.KeyRange / 2 - 1, c.KeyRange / 2 + 1)(rng));
            CheckFindKey(tree, model, searches);
        }
    }
    while (!model.empty()) {
        ASSERT_TRUE(tree.Delete(*model.begin()));
        model.erase(model.begin());
        if (model.size() % 200 == 0) check();
    }
    check();
    pm.CommitSession(0);
    EXPECT_EQ(pm.PageCount, 1);  // every page but the root given back
    EXPECT_GE(maxDepth, 4);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    std::cout << "[ shape    ] page " << c.PageSize << "/" << c.HeaderSize << " key " << c.KeySize << ": "
              << c.Operations << " operations, max depth " << maxDepth << ", max pages " << maxPages
              << ", absent deletes " << absentDeletes << ", " << ms << " ms\n";
    RecordProperty("MaxDepth", maxDepth);
}

INSTANTIATE_TEST_SUITE_P(Seeded, BTreeRandom,
                         ::testing::Values(RandomCase{128, 0, 12, 80000, 3000, 2200, 1},
                                           RandomCase{128, 40, 12, 60000, 1500, 1000, 2},
                                           RandomCase{192, 40, 8, 60000, 8000, 4000, 3},
                                           RandomCase{112, 40, 12, 60000, 900, 900, 4},
                                           // Seven keys: runs of equal keys span many inner entries.
                                           RandomCase{128, 40, 12, 40000, 6, 1500, 5}),
                         [](const ::testing::TestParamInfo<RandomCase>& Info) {
                             return "Page" + std::to_string(Info.param.PageSize) + "Header" +
                                    std::to_string(Info.param.HeaderSize) + "Key" + std::to_string(Info.param.KeySize) +
                                    (Info.param.KeyRange < 100 ? "FewKeys" : "");
                         });

}  // namespace
