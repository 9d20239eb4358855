// The system directory and the table catalog: their bytes in the file, name rules (case,
// 255-byte names, duplicates), deleting and renaming, the errors, and a reload that sees a
// table another process added.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "DiskPageFixture.h"
#include "engine/storage/ORQCatalog.h"
#include "foundation/ExpectNative.h"

using namespace orq;
using diskpages::Database;
using diskpages::LE32;

namespace {

template <typename F>
void ExpectError(F&& Call, int32_t Code, const std::string& Text) {
    ExpectNative(Call, Code, Text + " - Native error: " + std::to_string(Code));
}

// Content bytes of a one-page transacted file: from data offset 10 of its page.
std::vector<uint8_t> Content(const Database& Db, int32_t PageNo, std::size_t Count) {
    const std::vector<uint8_t> page = Db.PageBytes(PageNo);
    return std::vector<uint8_t>(page.begin() + 50, page.begin() + 50 + static_cast<std::ptrdiff_t>(Count));
}

// A database whose page 2 holds the directory and page 3 an empty catalog, committed.
struct CatalogDb {
    CatalogDb() {
        auto m = Db.Open(true);
        TORQSystemDirectory dir(*m);
        dir.CreateDirectory();
        TORQTableListFile catalog(*m);
        First = catalog.CreateCatalog();
        dir.AddEntry(DirectoryTableList, First);
        dir.SaveDirectory();
        m->CommitSession(-2);
    }
    Database Db;
    int32_t First = -1;
};

std::vector<std::string> Names(TORQTableListFile& C) {
    std::vector<std::string> list{"stale"};
    C.GetTablesList(list);
    return list;
}

}  // namespace

TEST(Catalog, DirectoryEntriesReachPageTwoAsPackedFiveByteRecords) {
    Database db;
    {
        auto m = db.Open(false);
        TORQSystemDirectory dir(*m);
        dir.CreateDirectory();
        dir.AddEntry(DirectoryActiveSessions, 3);
        dir.AddEntry(DirectoryTableList, 4);
        dir.SaveDirectory();
        m->CommitSession(-2);
        m->CloseDatabaseFile();
    }
    EXPECT_EQ(db.PageBytes(2).at(8), ptFileSystemDirectory);
    EXPECT_EQ(LE32(db.PageBytes(2), 41), 10) << "stored count";
    EXPECT_EQ(Content(db, 2, 10), (std::vector<uint8_t>{2, 3, 0, 0, 0, 1, 4, 0, 0, 0}));
    auto m = db.Open(false);
    TORQSystemDirectory dir(*m);
    dir.LoadDirectory();
    EXPECT_EQ(dir.FindEntry(DirectoryTableList), 4);
    EXPECT_EQ(dir.FindEntry(DirectoryActiveSessions), 3);
    EXPECT_EQ(dir.FindEntry(7), -1);
}

TEST(Catalog, DirectoryAnywhereButPageTwoIsRefused) {
    Database db;
    auto m = db.Open(false);
    diskpages::AddPage(*m, 1, 0);  // takes page 2
    TORQSystemDirectory dir(*m);
    ExpectError([&] { dir.CreateDirectory(); }, 30392,
                "Error Creating SystemDirectory. SystemDirectoryPageNo=3. Real PageNo=2.");
    m->RollbackSession(1);
    m->RollbackSession(-2);
}

TEST(Catalog, EntriesAreLaidOutAndNamedAsTheRulesSay) {
    CatalogDb c;
    auto m = c.Db.Open(true);
    TORQTableListFile catalog(*m);
    catalog.OpenCatalog(c.First);
    ExpectError([&] { catalog.OpenCatalog(c.First); }, 30393, "Table list file already opened.");
    EXPECT_EQ(Names(catalog), std::vector<std::string>{});

    const std::string long300(300, 'x');
    const std::string long255(255, 'x');
    catalog.AddTable("Log", 11, 101, 102, 103);
    ExpectError([&] { catalog.AddTable("LOG", 12, 0, 0, 0); }, 30395, "Cannot create table. Table 'LOG' already exists");
    catalog.AddTable(long300, 13, 201, 202, 203);
    // Another name that shares the first 255 bytes is the same table.
    ExpectNative([&] { catalog.AddTable(long255 + "yyy", 14, 0, 0, 0); }, 30395);
    catalog.AddTable("Stations", 15, 301, 302, 303);
    catalog.SaveCatalog();
    m->CommitSession(-2);

    const std::vector<uint8_t> bytes = Content(c.Db, c.First, 3 * 272);
    EXPECT_EQ(LE32(c.Db.PageBytes(c.First), 41), 3 * 272);
    std::vector<uint8_t> first(272, 0);
    first[0] = 3;
    first[1] = 'L', first[2] = 'o', first[3] = 'g';
    for (auto [at, v] : {std::pair{256, 11}, {260, 103}, {264, 102}, {268, 101}})
        for (int s = 0; s < 4; ++s) first[static_cast<std::size_t>(at + s)] = static_cast<uint8_t>(v >> (8 * s));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 272), first);
    EXPECT_EQ(bytes.at(272), 255) << "a 300-byte name keeps 255";
    EXPECT_EQ(bytes.at(272 + 255), 'x');
    EXPECT_EQ(LE32(bytes, 272 + 256), 13);

    TORQTableListFile reader(*m);
    reader.OpenCatalog(c.First);
    EXPECT_EQ(Names(reader), (std::vector<std::string>{"Log", long255, "Stations"}));
    int32_t id = 0, meta = 0, state = 0, locks = 0;
    reader.GetTable(long300, id, meta, state, locks);
    EXPECT_EQ((std::vector<int32_t>{id, meta, state, locks}), (std::vector<int32_t>{13, 203, 202, 201}));
    EXPECT_TRUE(reader.TableExists("LOG"));
    EXPECT_FALSE(reader.TableExists("Lo"));

    reader.RenameTable("log", "LOG");  // its own name in other letters
    ExpectError([&] { reader.RenameTable("LOG", "stations"); }, 30395,
                "Cannot create table. Table 'stations' already exists");
    reader.RenameTable("Stations", std::string(260, 'S'));
    reader.DeleteTable("LOG");
    EXPECT_EQ(reader.Entries().size(), 2u);
    EXPECT_EQ(reader.Entries()[0].Name, long255);
    EXPECT_EQ(reader.Entries()[1].Name, std::string(255, 'S'));
    EXPECT_EQ(reader.Entries()[1].TableID, 15);
    ExpectError([&] { reader.GetTable("Log", id, meta, state, locks); }, 30396, "Table 'Log' not exists.");
    ExpectError([&] { reader.DeleteTable("Log"); }, 30405, "Table 'Log' not exists.");
    ExpectError([&] { reader.RenameTable("Log", "X"); }, 30397, "Table 'Log' not exists.");
    reader.SaveCatalog();
    m->CommitSession(-2);
    catalog.LoadCatalog();
    EXPECT_EQ(catalog.Entries().size(), 2u);
    EXPECT_EQ(LE32(c.Db.PageBytes(c.First), 41), 2 * 272) << "the file shrinks with the catalog";
}

TEST(Catalog, AReloadSeesATableAnotherProcessAdded) {
    CatalogDb c;
    auto m = c.Db.Open(true);
    TORQTableListFile catalog(*m);
    catalog.OpenCatalog(c.First);
    catalog.LoadCatalog();
    catalog.AddTable("Parent", 1, 1, 1, 1);
    catalog.SaveCatalog();
    m->CommitSession(-2);
    const int rc = disktest::InChild([&] {
        auto own = c.Db.Open(true);
        TORQTableListFile other(*own);
        other.OpenCatalog(c.First);
        other.LoadCatalog();
        // Enough tables to grow the file past the page count the parent knows.
        for (int i = 0; i < 100; ++i) other.AddTable("Child" + std::to_string(i), 2, 2, 2, 2);
        other.SaveCatalog();
        own->CommitSession(-2);
        own->CloseDatabaseFile();
        return 0;
    });
    ASSERT_EQ(rc, 0);
    std::vector<std::string> list;
    catalog.GetTablesList(list);
    ASSERT_EQ(list.size(), 101u);
    EXPECT_EQ(list.front(), "Parent");
    EXPECT_EQ(list.back(), "Child99");
}
