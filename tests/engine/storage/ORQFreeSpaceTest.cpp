// The free-space map: the allocation sequence and the map pages' bytes on a new file, the
// growth step, which numbers are map pages, reuse before growth, shrinking by whole steps,
// a shrink at a group boundary on a tiny geometry, and the damaged-map errors.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "DiskPageFixture.h"
#include "GoldenBytes.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using diskpages::Database;
using golden::Bytes;
using golden::I32;
using golden::Txt;
using golden::operator+;

namespace {

// A map page as the layout gives it, change stamp masked to 0.
Bytes MapPage(uint16_t Type, const Bytes& Data, std::size_t PageSize) {
    Bytes page = Txt("ORQP") + I32(0) + Bytes{static_cast<uint8_t>(Type), 0} + I32(-1) + I32(0) + Bytes(4, 0) +
                 I32(-1) + I32(-1) + Bytes(2, 0) + Bytes(8, 0) + Data;
    page.resize(PageSize, 0);
    return page;
}

Bytes Masked(Bytes Page) {
    for (int i = 4; i < 8; ++i) Page.at(i) = 0;
    return Page;
}

}  // namespace

TEST(FreeSpace, ANewFileAllocatesTwoToFiveThenGrowsByAnExtent) {
    Database db;
    auto m = db.Open();
    TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
    std::vector<int32_t> got;
    std::vector<int32_t> counts;
    for (int i = 0; i < 5; ++i) {
        got.push_back(fsm.AllocatePageNumber());
        counts.push_back(db.HeaderI32(30));
    }
    EXPECT_EQ(got, (std::vector<int32_t>{2, 3, 4, 5, 6}));
    EXPECT_EQ(counts, (std::vector<int32_t>{6, 6, 6, 6, 14}));
    EXPECT_EQ(db.HeaderI32(34), 6) << "highest used page in the header";
    EXPECT_EQ(db.File().size(), 380u + 14u * 4096u);
    // PFS page 0: pages 0 to 6 used. EAM page 1: extent 0 has a free page (7), extent 1
    // not computed yet.
    EXPECT_EQ(Masked(db.PageBytes(0)), MapPage(3, Bytes{0x7F}, 4096));
    EXPECT_EQ(Masked(db.PageBytes(1)), MapPage(2, Bytes{0x01}, 4096));
    // A page through the manager gets the next number and a fresh header.
    TORQPage* page = m->AddNewPage(1, ptTableRecord);
    EXPECT_EQ(page->PageNo, 7);
    m->ReleasePage(page);
    m->RollbackSession(1);
}

TEST(FreeSpace, GrowStepIsATenthOfTheFileAtLeastAnExtent) {
    struct Case {
        int32_t Pages;
        uint16_t Extent;
        int32_t Step;
    };
    const Case cases[] = {{0, 8, 6}, {0, 32, 6}, {5, 8, 8}, {89, 8, 8}, {90, 8, 9}, {100, 8, 10}, {1000, 8, 100},
                          {1000, 200, 200}};
    for (const Case& c : cases) {
        TORQDiskPageManager m;
        m.SetHeaderPageCount(c.Pages);
        m.GetHeaderBuffer()[28] = static_cast<uint8_t>(c.Extent);
        m.GetHeaderBuffer()[29] = static_cast<uint8_t>(c.Extent >> 8);
        TORQDatabaseFreeSpaceManager fsm(m);
        EXPECT_EQ(fsm.GetGrowStep(), c.Step) << c.Pages << " pages, extent " << c.Extent;
    }
}

TEST(FreeSpace, MapPagesSitWhereTheGeometryPutsThem) {
    struct Case {
        uint16_t PageSize;
        uint16_t Extent;
        std::vector<int32_t> Map;
        std::vector<int32_t> NotMap;
    };
    // 4096/8: P = 32448, E = 129792 = 4P, so every group's EAM page follows a PFS page.
    // 42/1: P = 16, E = 8: groups alternate between an EAM page of their own and one behind
    // a PFS page.
    const Case cases[] = {
        {4096, 8, {0, 1, 32448, 64896, 129792, 129793}, {2, 32447, 32449, 129791, 129794}},
        {42, 1, {0, 1, 8, 16, 17, 24, 32, 33}, {2, 7, 9, 15, 18, 25, 34}},
    };
    for (const Case& c : cases) {
        TORQDiskPageManager m;
        m.PageSize = c.PageSize;
        m.GetHeaderBuffer()[28] = static_cast<uint8_t>(c.Extent);
        m.GetHeaderBuffer()[29] = 0;
        TORQDatabaseFreeSpaceManager fsm(m);
        for (int32_t p : c.Map) {
            EXPECT_TRUE(fsm.IsMapPage(p)) << c.PageSize << ": " << p;
            ExpectNative([&] { fsm.CheckNotMapPage(p); }, 30434,
                         "Cannot delete PFS or EAM page. PageNo=" + std::to_string(p) + " - Native error: 30434");
        }
        for (int32_t p : c.NotMap) {
            EXPECT_FALSE(fsm.IsMapPage(p)) << c.PageSize << ": " << p;
            EXPECT_NO_THROW(fsm.CheckNotMapPage(p));
        }
    }
}

TEST(FreeSpace, FreedPagesAreReusedBeforeTheFileGrows) {
    Database db;
    auto m = db.Open();
    TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
    for (int i = 0; i < 5; ++i) fsm.AllocatePageNumber();  // 2 .. 6, 14 pages
    fsm.FreePageNumber(3);
    fsm.FreePageNumber(5);
    EXPECT_EQ(db.PageBytes(0).at(40), 0x57) << "bits 0, 1, 2, 4, 6";
    EXPECT_EQ(fsm.AllocatePageNumber(), 3);
    EXPECT_EQ(fsm.AllocatePageNumber(), 5);
    EXPECT_EQ(fsm.AllocatePageNumber(), 7);
    EXPECT_EQ(db.HeaderI32(30), 14);
    // A damaged map is reported and left alone.
    const std::vector<uint8_t> before = db.File();
    fsm.FreePageNumber(4);
    const std::vector<uint8_t> freed = db.File();
    ExpectNative([&] { fsm.FreePageNumber(4); }, 30427, "Page: 4 already free - Native error: 30427");
    EXPECT_EQ(db.File(), freed);
    ExpectNative([&] { fsm.FreePageNumber(14); }, 30430, "Page: 14 cannot be addressed. TotalPageCount=14 - Native error: 30430");
    EXPECT_NE(before, freed);
}

TEST(FreeSpace, FreeingFromTheTopShrinksByWholeGrowthSteps) {
    Database db;
    auto m = db.Open();
    TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
    for (int32_t expected = 2; expected <= 45; ++expected) ASSERT_EQ(fsm.AllocatePageNumber(), expected);
    ASSERT_EQ(db.HeaderI32(30), 46);  // 6, then steps of 8
    // Below 90 pages the step is 8: the file loses 8 pages whenever 8 unused ones end it.
    std::vector<std::pair<int32_t, int32_t>> shrinks;  // (page freed, count after)
    int32_t count = 46;
    for (int32_t p = 45; p >= 20; --p) {
        fsm.FreePageNumber(p);
        if (db.HeaderI32(30) != count) {
            count = db.HeaderI32(30);
            shrinks.emplace_back(p, count);
        }
    }
    EXPECT_EQ(shrinks, (std::vector<std::pair<int32_t, int32_t>>{{38, 38}, {30, 30}, {22, 22}}));
    EXPECT_EQ(db.HeaderI32(34), 19);
    EXPECT_EQ(db.File().size(), 380u + 22u * 4096u);
    EXPECT_EQ(fsm.AllocatePageNumber(), 20);
}

// 41-byte pages and extents of 2: P = E = 8, so group g is PFS page 8g, EAM page 8g + 1
// and six data pages.
TEST(FreeSpace, AShrinkNeverEndsTheFileOnAMapPage) {
    Database db({}, 2, 41);
    auto m = db.Open();
    TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
    for (int32_t expected = 2; expected <= 7; ++expected) ASSERT_EQ(fsm.AllocatePageNumber(), expected);
    EXPECT_EQ(db.HeaderI32(30), 8);
    // The next page skips the map pages of group 1 and the file ends past them.
    EXPECT_EQ(fsm.AllocatePageNumber(), 10);
    EXPECT_EQ(db.HeaderI32(30), 11);
    EXPECT_EQ(Masked(db.PageBytes(8)), MapPage(3, Bytes{0x07}, 41)) << "PFS 8: itself, EAM 9, page 10";
    EXPECT_EQ(Masked(db.PageBytes(9)), MapPage(2, Bytes{0x07}, 41)) << "extent 4 full, extent 5 has a free page";

    // Freeing page 10 leaves 3 unused pages, a step of 2 would cut to 9 pages and end the
    // file on PFS page 8 without its EAM page 9: the file keeps its length instead.
    fsm.FreePageNumber(10);
    EXPECT_EQ(db.HeaderI32(30), 11);
    EXPECT_EQ(db.HeaderI32(34), 7);
    EXPECT_EQ(fsm.AllocatePageNumber(), 10);

    // With 7 freed too, two whole steps cut both map pages of group 1; growing makes them anew.
    fsm.FreePageNumber(10);
    fsm.FreePageNumber(7);
    EXPECT_EQ(db.HeaderI32(30), 7);
    EXPECT_EQ(db.File().size(), 380u + 7u * 41u);
    EXPECT_EQ(fsm.AllocatePageNumber(), 7);
    EXPECT_EQ(db.HeaderI32(30), 11);
    EXPECT_EQ(Masked(db.PageBytes(8)), MapPage(3, Bytes{0x03}, 41));
    EXPECT_EQ(fsm.AllocatePageNumber(), 10);
}

// A commit's pages freed in one operation leave the map, the counts and the file exactly as
// freeing them one by one does (pages spread over several map groups, the top ones cut by
// whole steps), and a number already free among them leaves the file untouched.
TEST(FreeSpace, FreeingManyAtOnceEqualsFreeingEachInTurn) {
    const std::vector<int32_t> freed = {44, 5, 20, 21, 13, 43, 45, 12, 30};
    auto run = [&](bool AtOnce) {
        Database db({}, 2, 41);
        auto m = db.Open();
        TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
        while (fsm.AllocatePageNumber() < 45) {
        }
        if (AtOnce) {
            fsm.FreePageNumbers(freed);
        } else {
            for (const int32_t p : freed) fsm.FreePageNumber(p);
        }
        // The stored file with every page's change stamp masked, then the pages handed out next.
        std::vector<uint8_t> file = db.File();
        for (std::size_t at = 380; at + 41 <= file.size(); at += 41)
            for (std::size_t k = 4; k < 8; ++k) file[at + k] = 0;
        std::vector<int32_t> next;
        for (int i = 0; i < 12; ++i) next.push_back(fsm.AllocatePageNumber());
        return std::make_pair(file, next);
    };
    const auto each = run(false);
    const auto once = run(true);
    EXPECT_EQ(once.first, each.first);
    EXPECT_EQ(once.second, each.second);
    EXPECT_LT(each.first.size(), 380u + 46u * 41u) << "the freed top pages were cut";

    Database db({}, 2, 41);
    auto m = db.Open();
    TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
    while (fsm.AllocatePageNumber() < 30) {
    }
    fsm.FreePageNumber(12);
    const std::vector<uint8_t> before = db.File();
    ExpectNative([&] { fsm.FreePageNumbers({5, 20, 12, 21}); }, 30427, "Page: 12 already free - Native error: 30427");
    EXPECT_EQ(db.File(), before);
    EXPECT_EQ(fsm.AllocatePageNumber(), 12);
}

TEST(FreeSpace, TwoManagersOnOneFileNeverShareAPage) {
    Database db;
    auto a = db.Open();
    auto b = db.Open();
    std::vector<int32_t> got;
    for (int i = 0; i < 6; ++i) {
        got.push_back(a->FreeSpaceManager()->AllocatePageNumber());
        got.push_back(b->FreeSpaceManager()->AllocatePageNumber());
    }
    EXPECT_EQ(got, (std::vector<int32_t>{2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
    const int32_t inChild = disktest::InChild([&] { return db.Open()->FreeSpaceManager()->AllocatePageNumber(); });
    EXPECT_EQ(inChild, 14);
    EXPECT_EQ(a->FreeSpaceManager()->AllocatePageNumber(), 15);
}

TEST(FreeSpace, AllocationWaitsForTheHeaderLockThenGivesUp) {
    Database db;
    auto a = db.Open();
    auto b = db.Open();
    ASSERT_TRUE(b->LockHeader());
    diskpages::SleepCounter sleeper;
    ExpectNative([&] { a->FreeSpaceManager()->AllocatePageNumber(); }, 20231, "Database is locked - Native error: 20231");
    EXPECT_EQ(sleeper.Count, 4500);
    ExpectNative([&] { a->FreeSpaceManager()->FreePageNumber(2); }, 20232, "Database is locked - Native error: 20232");
    EXPECT_EQ(db.HeaderI32(30), 0);
    EXPECT_EQ(a->HeaderLockCount(), 0);
    EXPECT_TRUE(b->UnlockHeader());
}

// A growth whose map pages reached the file but whose header did not leaves its page marked
// used above the header's highest used page; later growth must step over it, not trip on
// it for good. Each write of the growth from the n-th on fails in turn.
TEST(FreeSpace, AGrowthCutShortByAFailedWriteDoesNotBlockLaterAllocations) {
    int cuts = 0;
    for (int failFrom = 1; failFrom <= 6; ++failFrom) {
        SCOPED_TRACE(failFrom);
        Database db;
        auto m = db.Open();
        TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
        for (int i = 0; i < 4; ++i) fsm.AllocatePageNumber();  // 2 to 5: the file is full
        bool failed = false;
        {
            int writes = 0;
            diskpages::HookScope hook([&](TORQFileCall call, const std::string&) {
                return call == TORQFileCall::Write && ++writes >= failFrom ? 5 /* EIO */ : 0;
            });
            try {
                fsm.AllocatePageNumber();
            } catch (const EORQException&) {
                failed = true;
            }
        }
        if (!failed) continue;  // fewer writes than that: nothing to cut
        ++cuts;
        m->RollbackSession(-2);
        const int32_t a = fsm.AllocatePageNumber();
        const int32_t b = fsm.AllocatePageNumber();
        EXPECT_GE(a, 6);
        EXPECT_GT(b, a);
        EXPECT_EQ(db.HeaderI32(34), b) << "highest used page in the header";
    }
    EXPECT_GE(cuts, 2) << "the growth writes the map and then the header";
}

namespace {

// What a run of frees, batch frees, reuses and growths did while the writes from the n-th
// to the n+(Window-1)-th failed (alternately at once and after 36 bytes: a header cut
// between its two counts): each step's outcome, then the pages handed out up to the
// first past the end, next to the pages the file shows free and the file itself.
struct TFaultRun {
    std::vector<std::string> Events;
    std::set<int32_t> Drained;
    std::set<int32_t> FileFree;
    std::vector<uint8_t> File;
    int Failures = 0;
};

// The message names the scratch file: the code is what two runs can share.
std::string NativeCode(const EORQException& E) {
    const std::string text = E.what();
    const std::size_t at = text.rfind("Native error: ");
    return at == std::string::npos ? text : text.substr(at);
}

TFaultRun RunWithFailedWrites(bool MultiUser, int FailAt, int Window) {
    TFaultRun run;
    Database db({}, 2, 41);
    auto m = db.Open(MultiUser);
    EXPECT_EQ(m->SoleWriter(), !MultiUser);
    TORQDatabaseFreeSpaceManager& fsm = *m->FreeSpaceManager();
    std::set<int32_t> held;
    auto take = [&] {
        const int32_t p = fsm.AllocatePageNumber();
        EXPECT_TRUE(held.insert(p).second) << "page " << p << " handed out twice";
        run.Events.push_back("take " + std::to_string(p));
    };
    for (int i = 0; i < 30; ++i) take();
    {
        int writes = 0;
        diskpages::HookScope hook([&](TORQFileCall call, const std::string&) {
            if (call != TORQFileCall::Write || ++writes < FailAt || writes >= FailAt + Window) return 0;
            return FailAt % 2 == 0 ? 5 /* EIO */ : -36;
        });
        auto step = [&](auto&& Change) {
            try {
                Change();
            } catch (const EORQException& e) {
                ++run.Failures;
                run.Events.push_back(std::string("failed ") + NativeCode(e));
                m->RollbackSession(-2);
            }
        };
        // The held pages at these places in number order, no longer held: freed or not, a
        // caller whose free failed never uses them again.
        auto pick = [&](std::vector<int> Places) {
            std::vector<int32_t> pages;
            for (const int at : Places) pages.push_back(*std::next(held.begin(), at));
            for (const int32_t p : pages) held.erase(p);
            return pages;
        };
        for (const int at : {5, 14, 9}) step([&, p = pick({at})] { fsm.FreePageNumber(p.front()); });
        step([&, p = pick({18, 6, 19, 1})] { fsm.FreePageNumbers(p); });
        for (int i = 0; i < 14; ++i) step(take);
        const int n = static_cast<int>(held.size());
        step([&, p = pick({n - 1, n - 2, n - 4})] { fsm.FreePageNumbers(p); });
    }
    try {
        fsm.ReleaseReserved();  // as a commit does: the map then shows what is held
        const int32_t count = fsm.PageCount();
        auto fresh = db.Open(true);
        for (int32_t p = 0; p < fresh->FreeSpaceManager()->PageCount(); ++p) {
            const bool used = fresh->FreeSpaceManager()->IsPageUsed(p);
            if (held.count(p) != 0) EXPECT_TRUE(used) << "page " << p << " is held but free in the file";
            if (!used && !fresh->FreeSpaceManager()->IsMapPage(p)) run.FileFree.insert(p);
        }
        fresh->CloseDatabaseFile();
        for (int32_t p = fsm.AllocatePageNumber(); p < count; p = fsm.AllocatePageNumber()) {
            EXPECT_EQ(held.count(p), 0u) << "page " << p << " handed out twice";
            run.Drained.insert(p);
        }
    } catch (const EORQException& e) {
        run.Events.push_back(std::string("afterwards ") + NativeCode(e));
    }
    run.File = db.File();
    return run;
}

}  // namespace

// A sole writer keeps its map pages and header between operations instead of reading them
// again. Whichever write of the run fails (with the file layer's retry), the manager
// afterwards hands out exactly the pages the file shows free, on a single-user and a shared
// open alike.
TEST(FreeSpace, AfterAFailedWriteTheManagerHandsOutExactlyThePagesTheFileShowsFree) {
    for (const bool multiUser : {false, true}) {
        int failAt = 1;
        for (bool failed = true; failed; ++failAt) {
            SCOPED_TRACE(std::string(multiUser ? "shared" : "single-user") + ", write " + std::to_string(failAt));
            const TFaultRun run = RunWithFailedWrites(multiUser, failAt, 2);
            EXPECT_EQ(run.Drained, run.FileFree);
            failed = run.Failures > 0;
        }
        EXPECT_GT(failAt, multiUser ? 40 : 20) << "the run writes the map and header many times";
    }
}

// Several writes in a row failing (a full disk): the re-store of a failed operation fails
// too, and the file is left as the faults leave it, which may cost room for good. Neither a
// single-user open, which takes the header and the map from what it last read or wrote,
// nor a shared one then hands out a page the file shows used or one it handed out before.
TEST(FreeSpace, UnderRunsOfFailedWritesNoPageTheFileShowsUsedIsHandedOut) {
    int failed = 0;
    for (const bool multiUser : {false, true}) {
        for (const int window : {3, 4, 6}) {
            for (int failAt = 1; failAt <= 64; ++failAt) {
                SCOPED_TRACE(std::string(multiUser ? "shared" : "single-user") + ", writes " + std::to_string(failAt) +
                             " to " + std::to_string(failAt + window - 1));
                const TFaultRun run = RunWithFailedWrites(multiUser, failAt, window);
                for (const int32_t p : run.Drained) EXPECT_EQ(run.FileFree.count(p), 1u) << "page " << p;
                if (run.Failures > 0) ++failed;
            }
        }
    }
    EXPECT_GE(failed, 150);
}
