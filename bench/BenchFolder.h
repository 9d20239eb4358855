// Where a benchmark keeps its files: a folder of its own per run below TILO_BENCH_DIR
// (default: the current folder), emptied first and removed when the program ends; and
// files too costly to build every run, kept between runs in TILO_BENCH_CACHE
// (default: /tmp/tilo-bench-cache).
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <functional>
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

// The cached file Name, built by Build (given a path to write) when it is missing. Built
// under a temporary name and renamed when done, so a run cut short never leaves a half
// file that later runs would take.
inline std::filesystem::path CachedBenchFile(const std::string& Name,
                                             const std::function<void(const std::filesystem::path&)>& Build) {
    const char* where = std::getenv("TILO_BENCH_CACHE");
    const std::filesystem::path dir = where != nullptr ? where : "/tmp/tilo-bench-cache";
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / Name;
    if (std::filesystem::exists(file)) return file;
    const std::filesystem::path partial = dir / (Name + ".building-" + std::to_string(::getpid()));
    std::filesystem::remove(partial);
    Build(partial);
    std::filesystem::rename(partial, file);
    return file;
}
