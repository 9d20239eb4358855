// Where a benchmark keeps its files: a folder of its own per run below TILO_BENCH_DIR
// (default: the current folder), emptied first.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

inline std::filesystem::path FreshBenchDir(const std::string& Name) {
    const char* where = std::getenv("TILO_BENCH_DIR");
    std::filesystem::path dir = std::filesystem::path(where != nullptr ? where : ".") /
                                ("orq-bench-" + Name + "-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}
