// Hostile data and checksums: how long a decompression bomb takes to be refused and
// how much memory it takes on the way, per algorithm, and the engine's CRC32
// throughput. The bomb is a block of zeros compressed far beyond the size its
// header claims (64 KB): the stored form is small, its output huge. Counters:
// peak_MB = peak resident set of the child that decompresses, above what it
// inherited; out_bytes = the size that came back (-1 refused).
#include <benchmark/benchmark.h>

#include <bzlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/foundation/ORQCompression.h"
#include "tests/engine/foundation/CompressionBombs.h"
#include "tests/engine/foundation/EnglishText.h"

namespace {

constexpr int32_t ClaimedSize = 65536;

// Resident set of this process now, in KB.
long CurrentRssKB() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Zeros of the given size, compressed once per algorithm. zlib and bzip2 are fed
// in pieces, so that building the bomb does not raise the peak being measured.
const std::string& Bomb(uint8_t alg, int64_t inflated) {
    static std::string cache[4];
    std::string& s = cache[alg];
    if (!s.empty()) return s;
    if (alg == orq::CompressionZlib || alg == orq::CompressionBZip) {
        s = testbombs::ZeroBomb(alg, inflated);
    } else {
        const std::string all(size_t(inflated), '\0');
        uint8_t* packed = nullptr;
        int32_t packedSize = 0;
        if (orq::CompressBuffer(alg, 1, all.data(), int32_t(all.size()), packed, packedSize))
            s.assign(reinterpret_cast<const char*>(packed), size_t(packedSize));
        std::free(packed);
    }
    return s;
}

// Arguments: algorithm, inflated size in MB.
void DecompressionBomb(benchmark::State& state) {
    const auto alg = uint8_t(state.range(0));
    const std::string& packed = Bomb(alg, state.range(1) << 20);
    if (packed.empty()) {
        state.SkipWithError("could not build the bomb");
        return;
    }
    // Each decompression runs in a child, so that its peak is its own.
    int32_t lastSize = 0;
    double peakMB = 0;
    for (auto _ : state) {
        int fds[2];
        if (pipe(fds) != 0) break;
        const long base = CurrentRssKB();
        const pid_t pid = fork();
        if (pid == 0) {
            uint8_t* out = nullptr;
            int32_t outSize = ClaimedSize;
            if (!orq::DecompressBuffer(alg, packed.data(), int32_t(packed.size()), out, outSize)) outSize = -1;
            if (write(fds[1], &outSize, sizeof outSize) != sizeof outSize) _exit(1);
            _exit(0);
        }
        close(fds[1]);
        if (read(fds[0], &lastSize, sizeof lastSize) != sizeof lastSize) lastSize = -2;
        close(fds[0]);
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        peakMB = double(usage.ru_maxrss - base) / 1024.0;
    }
    state.counters["stored_bytes"] = double(packed.size());
    state.counters["out_bytes"] = double(lastSize);  // -1: refused
    state.counters["peak_MB"] = peakMB;
}

void CRC32Throughput(benchmark::State& state) {
    const std::string data = testtext::RandomBytes(size_t(state.range(0)));
    uint32_t crc = 0;
    for (auto _ : state) {
        crc = orq::CRC32(0, data.data(), int32_t(data.size()));
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

}  // namespace

// 1 GB of zeros for zlib (about 1 MB stored) and bzip2 (about 1 KB stored); the
// PPM coder's model makes 64 MB enough to show its bound.
BENCHMARK(DecompressionBomb)
    ->ArgNames({"alg", "MB"})
    ->Args({1, 1024})
    ->Args({2, 1024})
    ->Args({3, 64})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(CRC32Throughput)->Arg(4096)->Arg(1 << 20);
