// Compression throughput and ratio of every engine algorithm on 4 MB of
// English-like text and 4 MB of structured binary data (records with counters,
// sampled signal and noise), through the engine's dispatch. zlib and bzip2 run at
// their own defaults (level 6, block size 9) beside their fastest and strongest
// settings. Counters: ratio = compressed / original, bpc = bits per input byte.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/foundation/ORQCompression.h"
#include "tests/engine/foundation/EnglishText.h"

namespace {

constexpr size_t DataSize = 4u << 20;

const std::string& Text() {
    static const std::string s = testtext::EnglishText(DataSize, 2026);
    return s;
}

// 16-byte records: a counter, a slowly varying signal, a noisy measurement and
// a status word, as a receiver's log or a table page would hold them.
const std::string& Binary() {
    static const std::string s = [] {
        testtext::TGenerator rnd(99);
        std::string out(DataSize, '\0');
        for (size_t i = 0, rec = 0; i + 16 <= out.size(); i += 16, ++rec) {
            const uint32_t counter = uint32_t(rec);
            const int16_t signal = int16_t(8000 * std::sin(double(rec) / 50.0));
            const int16_t noisy = int16_t(signal / 4 + int(rnd.Random() % 512) - 256);
            const float level = float(20.0 + 0.01 * double(rnd.Random() % 1000));
            const uint32_t status = (rnd.Random() % 16 == 0) ? rnd.Random() : 0x00010000u;
            std::memcpy(&out[i], &counter, 4);
            std::memcpy(&out[i + 4], &signal, 2);
            std::memcpy(&out[i + 6], &noisy, 2);
            std::memcpy(&out[i + 8], &level, 4);
            std::memcpy(&out[i + 12], &status, 4);
        }
        return out;
    }();
    return s;
}

const std::string& Input(int which) { return which == 0 ? Text() : Binary(); }

void Compress(benchmark::State& state) {
    const auto alg = uint8_t(state.range(0)), mode = uint8_t(state.range(1));
    const std::string& data = Input(int(state.range(2)));
    int32_t outSize = 0;
    for (auto _ : state) {
        uint8_t* out = nullptr;
        if (!orq::CompressBuffer(alg, mode, data.data(), int32_t(data.size()), out, outSize))
            state.SkipWithError("compression failed");
        std::free(out);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
    state.counters["ratio"] = double(outSize) / double(data.size());
    state.counters["bpc"] = 8.0 * double(outSize) / double(data.size());
}

void Decompress(benchmark::State& state) {
    const auto alg = uint8_t(state.range(0)), mode = uint8_t(state.range(1));
    const std::string& data = Input(int(state.range(2)));
    uint8_t* packed = nullptr;
    int32_t packedSize = 0;
    if (!orq::CompressBuffer(alg, mode, data.data(), int32_t(data.size()), packed, packedSize)) {
        std::free(packed);
        state.SkipWithError("compression failed");
        return;
    }
    for (auto _ : state) {
        uint8_t* out = nullptr;
        int32_t outSize = int32_t(data.size());
        if (!orq::DecompressBuffer(alg, packed, packedSize, out, outSize) || outSize != int32_t(data.size()) ||
            std::memcmp(out, data.data(), data.size()) != 0)
            state.SkipWithError("round trip failed");
        std::free(out);
    }
    std::free(packed);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(data.size()));
}

// Arguments: algorithm, mode, input (0 text, 1 binary).
void Settings(benchmark::internal::Benchmark* b) {
    b->ArgNames({"alg", "mode", "binary"})->Unit(benchmark::kMillisecond)->Iterations(2);
    for (int input : {0, 1}) {
        for (int level : {1, 6, 9}) b->Args({1, level, input});  // zlib; 6 is its default
        for (int size : {1, 9}) b->Args({2, size, input});       // bzip2; 9 is its default
        for (int mode = 1; mode <= 9; ++mode) b->Args({3, mode, input});
    }
}

BENCHMARK(Compress)->Apply(Settings);
BENCHMARK(Decompress)->Apply(Settings);

}  // namespace
