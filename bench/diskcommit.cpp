// The cost of the commit barriers: one changed 4096-byte page committed, with the three
// fdatasync calls (after the state-1 header, after the pages, after the state-2 header)
// and without them. The database lives in a folder of the current directory, so run it
// from a disk-backed folder (TILO_BENCH_DIR overrides) for figures that mean anything.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "engine/storage/ORQDiskEngine.h"

namespace {

void Commit(benchmark::State& State) {
    const char* where = std::getenv("TILO_BENCH_DIR");
    const std::filesystem::path dir =
        std::filesystem::path(where != nullptr ? where : ".") / ("orq-bench-commit-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string name = (dir / "commit.orq").string();
    {
        orq::TORQDiskPageManager m;
        m.CreateDatabaseFile(name, {}, 8, 4096);
        m.CloseDatabaseFile();
    }
    {
        orq::TORQDiskPageManager m;
        bool multi = true;
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

}  // namespace

BENCHMARK(Commit)->ArgName("barriers")->Arg(1)->Arg(0)->Unit(benchmark::kMicrosecond);
