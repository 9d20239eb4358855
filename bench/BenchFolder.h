// Where a benchmark keeps its files: a folder of its own per run below TILO_BENCH_DIR
// (default: the current folder), emptied first and removed when the program ends.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

struct TBenchDirs {
    std::vector<std::filesystem::path> Dirs;
    ~TBenchDirs() {
        std::error_code ignored;
        for (const std::filesystem::path& d : Dirs) std::filesystem::remove_all(d, ignored);
    }
};

inline TBenchDirs& BenchDirs() {
    static TBenchDirs dirs;
    return dirs;
}

inline std::filesystem::path FreshBenchDir(const std::string& Name) {
    const char* where = std::getenv("TILO_BENCH_DIR");
    std::filesystem::path dir = std::filesystem::path(where != nullptr ? where : ".") /
                                ("orq-bench-" + Name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    BenchDirs().Dirs.push_back(dir);
    return dir;
}
