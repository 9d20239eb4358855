// The page manager over a small in-test store: private copies until commit, the shared
// clean cache and its capacity, the errors of misuse, pages that fail to read or carry
// the wrong type, the one-entry-per-number rule, and the sorted page list.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <vector>

#include "engine/storage/ORQPage.h"
#include "foundation/ExpectNative.h"

using namespace orq;

namespace {

// Pages live in a map of byte images; reads copy into a page-owned buffer, so every page
// object is a copy and a session's changes reach the store only through WritePage.
class TestPageStore : public TORQPageManager {
public:
    explicit TestPageStore(int64_t available = int64_t{1} << 30, uint16_t header = 40) : TORQPageManager(available) {
        PageSize = 64;
        HeaderSize = header;
        DataSize = static_cast<uint16_t>(PageSize - header);
    }

    void AllocatePage(TORQPage* Page) override {
        int32_t n = NextNumber >= 0 ? NextNumber : static_cast<int32_t>(Store.size());
        NextNumber = -1;
        Page->PageNo = GiveNoNumber ? -1 : n;
        Page->AllocBuffer();
        Store[n] = std::vector<uint8_t>(PageSize, 0);
        ++PageCount;
    }
    void FreePage(int32_t PageNo) override { Freed.push_back(PageNo); }
    bool ReadPage(TORQPage* Page) override {
        ++Reads;
        auto it = Store.find(Page->PageNo);
        if (it == Store.end() || Unreadable.count(Page->PageNo)) return false;
        if (Page->Buffer == nullptr) Page->AllocBuffer();
        std::memcpy(Page->Buffer, it->second.data(), PageSize);
        return true;
    }
    void WritePage(TORQPage* Page) override {
        if (Page->PageNo == FailWriteOf) throw std::runtime_error("write failed");
        Store[Page->PageNo].assign(Page->Buffer, Page->Buffer + PageSize);
        Written.push_back(Page->PageNo);
    }
    bool ReadStoredChangeStamp(TORQPage& Page, int32_t& Stamp) override {
        if (!HasStoredStamp) return false;
        Stamp = StoredStamp;
        (void)Page;
        return true;
    }

    // Puts a page with the given type and first data byte straight into the store.
    void Put(int32_t n, uint16_t type, uint8_t first) {
        std::vector<uint8_t> b(PageSize, 0);
        b[8] = static_cast<uint8_t>(type);
        b[9] = static_cast<uint8_t>(type >> 8);
        b[HeaderSize] = first;
        Store[n] = b;
    }
    uint8_t StoredFirst(int32_t n) { return Store[n][HeaderSize]; }

    std::map<int32_t, std::vector<uint8_t>> Store;
    std::set<int32_t> Unreadable;
    std::vector<int32_t> Freed, Written;
    int32_t NextNumber = -1;
    int32_t FailWriteOf = -2;
    bool GiveNoNumber = false;
    int Reads = 0;
    bool HasStoredStamp = false;
    int32_t StoredStamp = 0;
};

// Takes page n for the session, sets its first data byte and releases it as changed.
void Change(TORQPageManager& m, int32_t session, int32_t n, uint8_t value) {
    TORQPage* p = m.GetPage(session, n, false, AnyPageType);
    p->GetData()[0] = value;
    p->Modified = 1;
    m.ReleasePage(p);
}

uint8_t Look(TORQPageManager& m, int32_t session, int32_t n) {
    TORQPage* p = m.GetPage(session, n, false, AnyPageType);
    uint8_t v = p->GetData()[0];
    m.ReleasePage(p);
    return v;
}

}  // namespace

TEST(PageManager, ChangesStayPrivateUntilCommit) {
    TestPageStore m;
    m.Put(0, 3, 10);
    Change(m, 1, 0, 11);
    EXPECT_EQ(Look(m, 2, 0), 10);  // session 2 reads the stored page
    EXPECT_EQ(Look(m, 1, 0), 11);  // session 1 its own copy
    EXPECT_EQ(m.StoredFirst(0), 10);
    m.CommitSession(1);
    EXPECT_EQ(m.StoredFirst(0), 11);
    EXPECT_EQ(Look(m, 2, 0), 11);
    EXPECT_EQ(m.SharedList().Count(), 1);

    Change(m, 2, 0, 12);
    m.RollbackSession(2);
    EXPECT_EQ(Look(m, 2, 0), 11);
    EXPECT_EQ(m.StoredFirst(0), 11);
}

TEST(PageManager, CommittedPageReplacesTheCopyAnotherSessionReadMeanwhile) {
    for (bool stillTaken : {false, true}) {
        SCOPED_TRACE(stillTaken ? "copy still taken at commit" : "copy released before commit");
        TestPageStore m;
        m.Put(0, 3, 10);
        Change(m, 1, 0, 11);
        TORQPage* stale = m.GetPage(2, 0, false, AnyPageType);  // read from the store: 10
        EXPECT_EQ(stale->GetData()[0], 10);
        if (!stillTaken) m.ReleasePage(stale);
        m.CommitSession(1);
        EXPECT_EQ(m.SharedList().Count(), 1);
        if (stillTaken) m.ReleasePage(stale);  // detached: freed here
        EXPECT_EQ(m.SharedList().Count(), 1);
        // Session 2 now sees the committed bytes, and its next change builds on them.
        TORQPage* p = m.GetPage(2, 0, false, AnyPageType);
        EXPECT_EQ(p->GetData()[0], 11);
        p->GetData()[1] = 1;
        p->Modified = 1;
        m.ReleasePage(p);
        m.CommitSession(2);
        EXPECT_EQ(m.StoredFirst(0), 11);
    }
}

TEST(PageManager, MisuseIsRefused) {
    TestPageStore m;
    m.Put(0, 3, 10);
    EXPECT_EQ(Raised([&] { m.GetPage(-1, 0, false, AnyPageType); }),
              std::make_pair(20186, std::string("Invalid Session ID - Native error: 20186")));

    TORQPage* p = m.GetPage(1, 0, false, AnyPageType);
    EXPECT_EQ(Raised([&] { m.GetPage(2, 0, false, AnyPageType); }),
              std::make_pair(20090, std::string("Page is used by other session - Native error: 20090")));
    EXPECT_EQ(Raised([&] { m.CommitSession(1); }).first, 20152);
    m.ReleasePage(p);
    m.CommitSession(1);  // nothing changed: nothing to write
    EXPECT_TRUE(m.Written.empty());

    TORQPage* fresh = m.AddNewPage(1, 3);
    EXPECT_EQ(Raised([&] { m.RollbackSession(1); }).first, 20088);
    EXPECT_EQ(Raised([&] { m.CommitSession(1); }).first, 20086);
    EXPECT_TRUE(m.Written.empty());
    EXPECT_TRUE(m.Freed.empty());
    m.ReleasePage(fresh);
    fresh->Modified = 0;
    EXPECT_EQ(Raised([&] { m.CommitSession(1); }).first, 20085);
    EXPECT_EQ(Raised([&] { m.RollbackSession(1); }).first, 20087);
    fresh->Modified = 1;
    m.RollbackSession(1);
    EXPECT_EQ(m.Freed, std::vector<int32_t>{1});  // the page it allocated
}

TEST(PageManager, UnreadableOrMistypedPagesAreNeverServedLater) {
    TestPageStore m;
    m.Put(4, 3, 10);
    m.Unreadable.insert(4);
    EXPECT_EQ(Raised([&] { m.GetPage(1, 4, false, 3); }),
              std::make_pair(20154, std::string("Cannot read page 4 - Native error: 20154")));
    EXPECT_EQ(m.SharedList().Count(), 0);
    m.Unreadable.clear();

    EXPECT_EQ(Raised([&] { m.GetPage(1, 4, false, 5); }).second,
              "Invalid page type. Possible data corruption. Expecting type 5, but found 3 - Native error: 20153");
    EXPECT_EQ(m.SharedList().Count(), 0);
    const int reads = m.Reads;
    TORQPage* p = m.GetPage(1, 4, false, 3);  // read again, checked again
    EXPECT_EQ(m.Reads, reads + 1);
    m.ReleasePage(p);
    // A page from the shared list is checked as well; 255 accepts any type.
    EXPECT_EQ(Raised([&] { m.GetPage(1, 4, false, 5); }).first, 20153);
    m.ReleasePage(m.GetPage(1, 4, false, AnyPageType));
    EXPECT_EQ(m.Reads, reads + 1);

    // A headerless engine has no type to check.
    TestPageStore flat(int64_t{1} << 30, 0);
    flat.Put(0, 0, 9);
    flat.Store[0][8] = 7;
    flat.ReleasePage(flat.GetPage(1, 0, false, 5));
}

TEST(PageManager, CapacityBoundsTheSharedCache) {
    struct Case {
        int64_t available;
        int32_t capacity;
    } cases[] = {{65535, 0}, {65536 * 3, 3}, {int64_t{1} << 40, TORQPageManager::MaxCachePages}, {0, 0}};
    for (const Case& c : cases) EXPECT_EQ(TestPageStore(c.available).Capacity(), c.capacity) << c.available;

    TestPageStore none(65535);
    for (int n = 0; n < 3; ++n) none.Put(n, 3, static_cast<uint8_t>(n));
    EXPECT_EQ(Look(none, 1, 1), 1);
    EXPECT_EQ(none.SharedList().Count(), 0);  // evicted on release
    Change(none, 1, 2, 20);
    TORQPage* added = none.AddNewPage(1, 3);
    none.ReleasePage(added);
    none.CommitSession(1);
    EXPECT_EQ(none.SharedList().Count(), 0);  // freed after writing
    EXPECT_EQ(none.StoredFirst(2), 20);

    // Capacity 2: the least recently used unused page leaves; a taken one stays.
    TestPageStore two(65536 * 2);
    for (int n = 0; n < 4; ++n) two.Put(n, 3, static_cast<uint8_t>(n));
    Look(two, 1, 0);
    TORQPage* held = two.GetPage(1, 1, false, AnyPageType);
    Look(two, 1, 2);
    EXPECT_EQ(two.SharedList().IndexOf(0), -1);
    Look(two, 1, 3);
    EXPECT_NE(two.SharedList().IndexOf(1), -1);
    EXPECT_EQ(two.SharedList().IndexOf(2), -1);
    two.ReleasePage(held);
    EXPECT_EQ(two.SharedList().Count(), 2);
}

TEST(PageManager, NewPagesCarryTypeAndStampAndTakeTheirNumberFromTheSharedList) {
    TestPageStore m;
    m.Put(0, 3, 1);
    m.Put(1, 3, 1);
    m.ReleasePage(m.GetPage(1, 0, false, AnyPageType));  // unused shared copy of 0
    TORQPage* other = m.GetPage(2, 1, false, AnyPageType);  // taken shared copy of 1
    m.NextNumber = 0;
    TORQPage* a = m.AddNewPage(1, 0x0102);
    EXPECT_EQ(a->Buffer[8], 0x02);
    EXPECT_EQ(a->Buffer[9], 0x01);
    EXPECT_GE(a->GetChangeStamp(), 0);
    EXPECT_LT(a->GetChangeStamp(), 0x3FFFFFFF);
    EXPECT_EQ(a->UseCount, 1);
    EXPECT_EQ(a->Modified, 1);
    EXPECT_EQ(m.SharedList().IndexOf(0), -1);
    m.NextNumber = 1;
    TORQPage* b = m.AddNewPage(1, 3);
    EXPECT_EQ(m.SharedList().Count(), 0);
    m.ReleasePage(other);  // detached: freed now
    m.ReleasePage(a);
    m.ReleasePage(b);
    EXPECT_EQ(m.PrivateList(1)->Count(), 2);
    m.CommitSession(1);
    EXPECT_EQ(m.Written, (std::vector<int32_t>{0, 1}));

    m.GiveNoNumber = true;
    EXPECT_EQ(Raised([&] { m.AddNewPage(1, 3); }).second, "Invalid page number - Native error: 20064");

    TestPageStore flat(int64_t{1} << 30, 0);
    TORQPage* f = flat.AddNewPage(1, 9);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(f->Buffer[i], 0) << i;
    flat.ReleasePage(f);
    flat.CommitSession(1);
}

TEST(PageManager, CommitFreesReleasedNumbersAndKeepsUnwrittenPagesOnFailure) {
    TestPageStore m;
    for (int n = 0; n < 4; ++n) m.Put(n, 3, 0);
    Change(m, 1, 0, 1);
    Change(m, 1, 2, 1);
    Change(m, 1, 3, 1);
    m.FreePageForSession(1, 3);
    m.FreePageForSession(1, 1);
    m.FailWriteOf = 2;
    EXPECT_THROW(m.CommitSession(1), std::runtime_error);
    EXPECT_EQ(m.Freed, (std::vector<int32_t>{3, 1}));
    EXPECT_EQ(m.Written, std::vector<int32_t>{0});
    ASSERT_EQ(m.PrivateList(1)->Count(), 1);
    EXPECT_EQ(m.PrivateList(1)->Items(0)->PageNo, 2);
    m.FailWriteOf = -2;
    m.CommitSession(1);
    EXPECT_EQ(m.Written, (std::vector<int32_t>{0, 2}));
    EXPECT_EQ(m.Freed.size(), 2u);

    // Rollback gives back what the session allocated; what it freed stays allocated.
    TORQPage* p = m.AddNewPage(5, 3);
    const int32_t n = p->PageNo;
    m.ReleasePage(p);
    m.FreePageForSession(5, 0);
    m.RollbackSession(5);
    EXPECT_EQ(m.Freed.back(), n);
    EXPECT_EQ(m.Freed.size(), 3u);
    m.RollbackSession(77);  // no entry: nothing to do
    m.CommitSession(77);
}

// A store whose record pages (type 10) read the same emptied as freed.
class TestDiscardingStore : public TestPageStore {
public:
    bool MayDiscardFreedPage(const TORQPage& Page) const override { return Page.GetPageType() == 10; }
};

// Pages a session freed leave memory at once, or at their release when taken, unless the
// store keeps their kind; read again they come back with their header and a zero data
// area; the commit writes none of them, and a rollback drops them with the rest.
TEST(PageManager, FreedPrivatePagesLeaveMemoryUntilReadAgain) {
    TestDiscardingStore m;
    for (int n = 0; n < 4; ++n) m.Put(n, 10, 7);
    m.Put(4, 12, 7);
    for (int n : {0, 1, 2, 4}) Change(m, 1, n, 9);
    const int64_t held = GlobalMemoryManager().UsedMemory();
    m.FreePageForSession(1, 0);
    m.FreePageForSession(1, 4);  // a kind the store keeps
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), held - m.PageSize);
    TORQPage* taken = m.GetPage(1, 1, false, AnyPageType);
    m.FreePageForSession(1, 1);
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), held - m.PageSize);
    m.ReleasePage(taken);
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), held - 2 * m.PageSize);

    TORQPage* again = m.GetPage(1, 0, false, 10);
    EXPECT_EQ(again->GetPageType(), 10);
    EXPECT_EQ(again->GetData()[0], 0);
    m.ReleasePage(again);
    EXPECT_EQ(GlobalMemoryManager().UsedMemory(), held - 2 * m.PageSize);

    m.CommitSession(1);
    EXPECT_EQ(m.Written, std::vector<int32_t>{2});
    EXPECT_EQ(m.Freed, (std::vector<int32_t>{0, 4, 1}));
    EXPECT_EQ(m.PrivateList(1)->Count(), 0);
    EXPECT_EQ(m.StoredFirst(0), 7);

    Change(m, 2, 3, 9);
    m.FreePageForSession(2, 3);
    m.RollbackSession(2);
    EXPECT_EQ(m.PrivateList(2)->Count(), 0);
    EXPECT_EQ(Look(m, 2, 3), 7);
    EXPECT_EQ(m.Written, std::vector<int32_t>{2});
}

TEST(PageManager, CloseRefusesUncommittedPagesAndTheDestructorFreesThem) {
    TestPageStore m;
    m.Put(0, 3, 0);
    Change(m, 1, 0, 5);
    EXPECT_EQ(Raised([&] { m.Close(); }).second, "Cannot free non-commited pages - Native error: 20097");
    EXPECT_EQ(m.PrivateList(1)->Count(), 1);
    m.CommitSession(1);
    m.Close();
    EXPECT_EQ(m.SharedList().Count(), 0);
    Change(m, 1, 0, 6);  // left for the destructor, which must not throw
}

TEST(PageManager, RefreshRereadsOnlyPagesChangedInTheFile) {
    TestPageStore m;
    m.Put(0, 3, 1);
    m.ReleasePage(m.GetPage(1, 0, false, AnyPageType));
    m.SharedAccess = 1;
    m.HasStoredStamp = true;
    struct Case {
        int32_t stored;
        int reads;
        int32_t stampAfter;
    } cases[] = {{0, 0, 0}, {INT32_MAX, 0, INT32_MAX}, {77, 1, 0}};
    for (const Case& c : cases) {
        m.StoredStamp = c.stored;
        const int before = m.Reads;
        TORQPage* p = m.GetPage(1, 0, true, AnyPageType);
        EXPECT_EQ(m.Reads - before, c.reads) << c.stored;
        EXPECT_EQ(p->GetChangeStamp(), c.stampAfter) << c.stored;
        p->SetChangeStamp(0);
        m.ReleasePage(p);
    }
}

// ---------------------------------------------------------------------------------

TEST(Page, HeaderAndBuffer) {
    TestPageStore m;
    TORQPage page(&m);
    EXPECT_EQ(Raised([&] { page.Resize(128); }).first, 20038);
    page.AllocBuffer();
    const uint8_t header[32] = {'O', 'R', 'Q', 'P', 0,    0,    0,    0,    0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0, 0,
                                0,   0,   0,   0,   0,    0,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0};
    EXPECT_EQ(std::memcmp(page.Buffer, header, 32), 0);
    for (int i = 32; i < 64; ++i) ASSERT_EQ(page.Buffer[i], 0) << i;
    EXPECT_EQ(page.GetData(), page.Buffer + 40);
    EXPECT_EQ(page.GetDataSize(), 24);

    EXPECT_EQ(Raised([&] { page.Resize(63); }).second, "Invalid page modification - Native error: 20039");
    page.Buffer[63] = 0x5A;
    page.Resize(100);
    EXPECT_EQ(page.Buffer[63], 0x5A);
    EXPECT_EQ(page.Buffer[99], 0);

    uint8_t foreign[64] = {};
    foreign[1] = 7;
    TORQPage borrowed(&m);
    borrowed.Buffer = foreign;
    borrowed.OwnsBuffer = 0;
    borrowed.Resize(80);
    EXPECT_NE(borrowed.Buffer, foreign);
    EXPECT_EQ(borrowed.OwnsBuffer, 1);
    EXPECT_EQ(borrowed.Buffer[1], 7);

    TORQPageController view(&page);
    view.SetPageNo(9);
    view.SetModified(true);
    EXPECT_EQ(page.PageNo, 9);
    EXPECT_EQ(page.Modified, 1);
    EXPECT_EQ(view.GetData(), page.Buffer + 40);
}

TEST(Page, SessionStampsAreKeptPerSessionFromMinusTwo) {
    TestPageStore m;
    TORQPage page(&m);
    int32_t s = 0;
    EXPECT_FALSE(page.GetSessionStamp(-2, s));
    page.SetSessionStamp(-2, 7);
    page.SetSessionStamp(3, 9);
    EXPECT_EQ(page.SessionStamps.size(), 6u);
    EXPECT_TRUE(page.GetSessionStamp(-2, s));
    EXPECT_EQ(s, 7);
    EXPECT_FALSE(page.GetSessionStamp(1, s));
    EXPECT_TRUE(page.GetSessionStamp(3, s));
    EXPECT_EQ(s, 9);
}

// ---------------------------------------------------------------------------------

TEST(SortedPageList, KeepsPagesByNumberAndRefusesWrongDeletes) {
    TestPageStore m;
    std::vector<std::unique_ptr<TORQPage>> pages;
    TORQSortedPageList list;
    EXPECT_EQ(Raised([&] { list.Delete(5); }).second,
              "TSortedPageList.Delete - no elements in array! - Native error: 20165");
    for (int32_t n : {5, 1, 9, 3}) {
        pages.push_back(std::make_unique<TORQPage>(&m));
        pages.back()->PageNo = n;
        list.Add(pages.back().get());
    }
    std::vector<int32_t> order;
    for (int32_t i = 0; i < list.Count(); ++i) order.push_back(list.Items(i)->PageNo);
    EXPECT_EQ(order, (std::vector<int32_t>{1, 3, 5, 9}));
    EXPECT_EQ(list.Find(4), 2);
    EXPECT_EQ(list.Find(10), 4);
    EXPECT_EQ(list.IndexOf(4), -1);
    EXPECT_EQ(list.GetPage(9), pages[2].get());

    // Stamps: 5, 1, 9, 3 were added in that order; touching 5 makes 1 the oldest.
    list.Touch(pages[0].get());
    EXPECT_EQ(list.FindOldest(), pages[1].get());
    EXPECT_EQ(list.FindOlder(), nullptr);
    TORQPage stranger(&m);
    stranger.PageNo = 4;
    EXPECT_EQ(Raised([&] { list.Touch(&stranger); }).first, 20167);

    EXPECT_EQ(Raised([&] { list.Delete(4); }).second,
              "TSortedPageList.Delete - element not found, key = 4, itemCount = 4 - Native error: 20166");
    list.Delete(1);
    list.Delete(9);
    list.Delete(3);
    // One element left: only its own number removes it.
    EXPECT_EQ(Raised([&] { list.Delete(6); }).first, 20166);
    EXPECT_EQ(list.Count(), 1);
    list.Delete(5);
    EXPECT_EQ(list.Count(), 0);
}

// Extract takes the listed numbers out in one pass, in page order; the rest keep their
// order and stamps.
TEST(SortedPageList, ExtractTakesListedPagesAndKeepsTheRest) {
    TestPageStore m;
    std::vector<std::unique_ptr<TORQPage>> pages;
    TORQSortedPageList list;
    for (int32_t n : {9, 5, 1, 3, 7}) {
        pages.push_back(std::make_unique<TORQPage>(&m));
        pages.back()->PageNo = n;
        list.Add(pages.back().get());
    }
    std::vector<int32_t> taken;
    for (TORQPage* p : list.Extract({9, 3, 4, 1})) taken.push_back(p->PageNo);
    EXPECT_EQ(taken, (std::vector<int32_t>{1, 3, 9}));
    std::vector<int32_t> left;
    for (int32_t i = 0; i < list.Count(); ++i) left.push_back(list.Items(i)->PageNo);
    EXPECT_EQ(left, (std::vector<int32_t>{5, 7}));
    EXPECT_EQ(list.GetPage(7), pages[4].get());
    EXPECT_EQ(list.FindOldest(), pages[1].get());  // 5 was added before 7
    EXPECT_TRUE(list.Extract({}).empty());
    EXPECT_EQ(list.Count(), 2);
}

// The shared cache's list against a model (numbers in recency order) over a seeded run of
// adds, touches and deletes: look-ups by number, the slots Items gives, and the walk from
// the oldest page must all agree after every step.
TEST(SharedPageList, KeepsRecencyOrderAndFindsEveryPageAcrossSlotMoves) {
    TestPageStore m;
    TORQSharedPageList list;
    EXPECT_EQ(Raised([&] { list.Delete(5); }).first, 20165);
    std::vector<std::unique_ptr<TORQPage>> pages;
    for (int32_t n = 0; n < 40; ++n) {
        pages.push_back(std::make_unique<TORQPage>(&m));
        pages.back()->PageNo = n * 3;
    }
    std::vector<int32_t> model;  // page numbers, oldest first
    std::mt19937 rng(35);
    for (int step = 0; step < 2000; ++step) {
        TORQPage* page = pages[rng() % pages.size()].get();
        const auto at = std::find(model.begin(), model.end(), page->PageNo);
        const int kind = static_cast<int>(rng() % 3);
        if (at == model.end()) {
            if (kind == 2) {
                EXPECT_EQ(Raised([&] { list.Touch(page); }).first, 20167);
                EXPECT_EQ(Raised([&] { list.Delete(page->PageNo); }).first, list.Count() == 0 ? 20165 : 20166);
            } else {
                list.Add(page);
                model.push_back(page->PageNo);
            }
        } else if (kind == 0) {
            list.Delete(page->PageNo);
            model.erase(at);
        } else {
            list.Touch(page);
            model.erase(at);
            model.push_back(page->PageNo);
        }
        ASSERT_EQ(list.Count(), static_cast<int32_t>(model.size())) << step;
        std::vector<int32_t> walked;
        for (TORQPage* p = list.Oldest(); p != nullptr; p = TORQSharedPageList::Newer(p)) walked.push_back(p->PageNo);
        ASSERT_EQ(walked, model) << step;
        for (const auto& p : pages) {
            const int32_t i = list.IndexOf(p->PageNo);
            const bool listed = std::find(model.begin(), model.end(), p->PageNo) != model.end();
            ASSERT_EQ(list.GetPage(p->PageNo), listed ? p.get() : nullptr) << step;
            ASSERT_EQ(i >= 0, listed) << step;
            if (listed) {
                ASSERT_EQ(list.Items(i), p.get()) << step;
            }
        }
    }
    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(list.Oldest(), nullptr);
}

TEST(SortedPageList, GrowsAndShrinksInDoublingSteps) {
    TORQSortedPageList list;
    EXPECT_EQ(list.Capacity(), 0);
    struct Step {
        int32_t count, capacity;
    } steps[] = {
        {1, 2000},     // grow step 1000 doubled
        {2000, 2000},  // fits
        {2500, 6000},  // grow step 4000
        {5500, 6000},
        {5000, 6000},  // shrinking by no more than the shrink step keeps the arrays
        {100, 100},    // shrink step 1000 < 5900: doubled, and the arrays cut to the count
        {30000, 30000},
        {0, 0},
    };
    for (const Step& s : steps) {
        list.SetCount(s.count);
        EXPECT_EQ(list.Count(), s.count);
        EXPECT_EQ(list.Capacity(), s.capacity) << s.count;
    }
}
