// The value system's hot paths: key comparison by the fixed collation (8-bit and wide,
// with and without case), LIKE, and number/text conversion.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "classlib/NumConv.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQDateLike.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace {

std::vector<std::string> Keys(size_t n) {
    std::mt19937 rng(1);
    const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJ \xE4\xF6\xFC-";
    std::vector<std::string> v;
    for (size_t k = 0; k < n; ++k) {
        std::string s = "NAVAREA ";
        for (int j = 0; j < 16; ++j) s += alphabet[rng() % (sizeof alphabet - 1)];
        v.push_back(s);
    }
    return v;
}

void BM_CompareAnsiKeys(benchmark::State& state) {
    const auto keys = Keys(1024);
    const bool ic = state.range(0) != 0;
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(orq::CompareValueBuffers(keys[i & 1023].c_str(), keys[(i + 1) & 1023].c_str(),
                                                          orq::bdtVarChar, orq::bdtVarChar, false, false, -1, ic));
        ++i;
    }
}
BENCHMARK(BM_CompareAnsiKeys)->Arg(0)->Arg(1);

void BM_CompareWideKeys(benchmark::State& state) {
    std::vector<std::u16string> keys;
    for (const auto& k : Keys(1024)) keys.push_back(orq::AnsiToWide(k));
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(orq::CompareValueBuffers(keys[i & 1023].c_str(), keys[(i + 1) & 1023].c_str(),
                                                          orq::bdtWideVarChar, orq::bdtWideVarChar, false, false, -1,
                                                          false));
        ++i;
    }
}
BENCHMARK(BM_CompareWideKeys);

void BM_CompareIntegers(benchmark::State& state) {
    int32_t a = 5, b = 7;
    for (auto _ : state) {
        benchmark::DoNotOptimize(orq::CompareValueBuffers(&a, &b, orq::bdtInteger, orq::bdtInteger, false, false, -1, false));
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_CompareIntegers);

void BM_Like(benchmark::State& state) {
    const std::string text = "ZCZC EA01 GALE WARNING WIND SOUTHWEST 8 IMMINENT NNNN";
    for (auto _ : state) benchmark::DoNotOptimize(orq::IsLike(text, "%gale%nnnn", false, 0, true));
}
BENCHMARK(BM_Like);

void BM_IntegerToText(benchmark::State& state) {
    int32_t v = 123456;
    for (auto _ : state) {
        int32_t size;
        void* p = orq::ConvertValue(&v, -1, orq::bdtInteger, size, orq::bdtVarChar);
        orq::GlobalMemoryManager().FreeAndNillMem(p);
        ++v;
    }
}
BENCHMARK(BM_IntegerToText);

void BM_FloatTextRoundTrip(benchmark::State& state) {
    double v = 0.975;
    for (auto _ : state) {
        benchmark::DoNotOptimize(classlib::StrToFloat(classlib::FloatToStr(v)));
        v += 1.0009;
    }
}
BENCHMARK(BM_FloatTextRoundTrip);

}  // namespace
