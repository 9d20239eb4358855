// The cost of one commit: one changed 4096-byte page committed, beside SQLite doing the
// same (one 4000-byte row rewritten and committed, journal DELETE, synchronous FULL) in
// the same run. The engine's commit goes through its journal: with barriers, two
// fdatasync calls (the journal's, then the database file's); without, none. Single-user
// and multi-user opens. The database lives in a folder of the current directory, so run it
// from a disk-backed folder (TILO_BENCH_DIR overrides) for figures that mean anything.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/storage/ORQDiskEngine.h"

namespace {

std::filesystem::path Folder(const char* Kind) {
    const char* where = std::getenv("TILO_BENCH_DIR");
    const std::filesystem::path dir = std::filesystem::path(where != nullptr ? where : ".") /
                                      (std::string("orq-bench-") + Kind + "-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    return dir;
}

// Args: barriers (1 on), multi-user (1).
void Commit(benchmark::State& State) {
    const std::filesystem::path dir = Folder("commit");
    const std::string name = (dir / "commit.orq").string();
    {
        orq::TORQDiskPageManager m;
        m.CreateDatabaseFile(name, {}, 8, 4096);
        m.CloseDatabaseFile();
    }
    {
        orq::TORQDiskPageManager m;
        bool multi = State.range(1) != 0;
        bool readOnly = false;
        m.OpenDatabaseFile(name, {}, multi, false, readOnly);
        m.CommitBarriers = State.range(0) != 0;
        orq::TORQPage* page = m.AddNewPage(1, orq::ptTableRecord);
        const int32_t number = page->PageNo;
        m.ReleasePage(page);
        m.CommitSession(1);
        uint8_t fill = 0;
        for (auto _ : State) {
            page = m.GetPage(1, number, true, orq::ptTableRecord);
            std::memset(page->GetData(), ++fill, static_cast<std::size_t>(page->GetDataSize()));
            page->Modified = 1;
            m.ReleasePage(page);
            m.CommitSession(1);
        }
        m.CloseDatabaseFile();
    }
    std::filesystem::remove_all(dir);
}

void Exec(sqlite3* Db, const char* Sql) {
    if (sqlite3_exec(Db, Sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
}

void Sqlite(benchmark::State& State) {
    const std::filesystem::path dir = Folder("commit-sqlite");
    sqlite3* db = nullptr;
    sqlite3_open((dir / "commit.sqlite").string().c_str(), &db);
    Exec(db, "PRAGMA journal_mode=DELETE; PRAGMA synchronous=FULL");
    Exec(db, "CREATE TABLE t (k INTEGER PRIMARY KEY, v BLOB)");
    std::vector<uint8_t> value(4000, 0);
    sqlite3_stmt* put = nullptr;
    sqlite3_prepare_v2(db, "INSERT OR REPLACE INTO t VALUES (1, ?)", -1, &put, nullptr);
    uint8_t fill = 0;
    for (auto _ : State) {
        std::memset(value.data(), ++fill, value.size());
        sqlite3_bind_blob(put, 1, value.data(), static_cast<int>(value.size()), SQLITE_STATIC);
        if (sqlite3_step(put) != SQLITE_DONE) std::abort();
        sqlite3_reset(put);
    }
    sqlite3_finalize(put);
    sqlite3_close(db);
    std::filesystem::remove_all(dir);
}

}  // namespace

BENCHMARK(Sqlite)->Unit(benchmark::kMicrosecond);
BENCHMARK(Commit)->ArgNames({"barriers", "multi"})->Args({1, 0})->Args({1, 1})->Args({0, 0})->Unit(benchmark::kMicrosecond);
