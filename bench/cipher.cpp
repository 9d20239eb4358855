// Page encryption throughput: enciphering and deciphering one 4096-byte page for each
// encryption algorithm id of the engine (cipher class and key hash as the engine
// pairs them). "Page" measures the block work on a keyed cipher; "EnginePage" the
// engine's whole per-page path: a fresh cipher keyed twice from the password.
#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "engine/foundation/ORQCipherAlgorithms.h"

using namespace orq;

namespace {

struct Algorithm {
    const char* name;
    TCipherClass cipher;
    THashClass hash;
};

const Algorithm& AlgorithmOf(int64_t id) {
    static const Algorithm algorithms[8] = {
        {"Rijndael_128", TCipher_Rijndael::Class(), THash_RipeMD128::Class()},
        {"Rijndael_256", TCipher_Rijndael::Class(), THash_RipeMD256::Class()},
        {"DES_Single", TCipher_1DES::Class(), THash_RipeMD128::Class()},
        {"DES_Triple", TCipher_3TDES::Class(), THash_RipeMD128::Class()},
        {"Blowfish", TCipher_Blowfish::Class(), THash_RipeMD256::Class()},
        {"Twofish_128", TCipher_Twofish::Class(), THash_RipeMD128::Class()},
        {"Twofish_256", TCipher_Twofish::Class(), THash_RipeMD256::Class()},
        {"Square", TCipher_Square::Class(), THash_RipeMD128::Class()},
    };
    return algorithms[id];
}

constexpr int PageSize = 4096;

TProtectionRef<TCipher> Keyed(const Algorithm& a) {
    TProtectionRef<TCipher> c = TCipher::Create(a.cipher, "bench password");
    c->SelectHashClass(a.hash);
    c->InitKey("bench password", c->Vector());
    return c;
}

void Page(benchmark::State& state, bool encipher) {
    const Algorithm& a = AlgorithmOf(state.range(0));
    state.SetLabel(a.name);
    TProtectionRef<TCipher> c = Keyed(a);
    std::vector<uint8_t> page(PageSize, 0x42);
    for (auto _ : state) {
        if (encipher)
            c->EncipherBuffer(page.data(), page.data(), PageSize);
        else
            c->DecipherBuffer(page.data(), page.data(), PageSize);
        c->Reset();
        benchmark::DoNotOptimize(page.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * PageSize);
}

void EnginePage(benchmark::State& state, bool encipher) {
    const Algorithm& a = AlgorithmOf(state.range(0));
    state.SetLabel(a.name);
    std::vector<uint8_t> page(PageSize, 0x42);
    for (auto _ : state) {
        TProtectionRef<TCipher> c = Keyed(a);
        if (encipher)
            c->EncipherBuffer(page.data(), page.data(), PageSize);
        else
            c->DecipherBuffer(page.data(), page.data(), PageSize);
        benchmark::DoNotOptimize(page.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * PageSize);
}

void BM_EncipherPage(benchmark::State& s) { Page(s, true); }
void BM_DecipherPage(benchmark::State& s) { Page(s, false); }
void BM_EncipherEnginePage(benchmark::State& s) { EnginePage(s, true); }
void BM_DecipherEnginePage(benchmark::State& s) { EnginePage(s, false); }

}  // namespace

BENCHMARK(BM_EncipherPage)->DenseRange(0, 7);
BENCHMARK(BM_DecipherPage)->DenseRange(0, 7);
BENCHMARK(BM_EncipherEnginePage)->DenseRange(0, 7);
BENCHMARK(BM_DecipherEnginePage)->DenseRange(0, 7);
