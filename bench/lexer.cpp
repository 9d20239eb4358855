// SQL lexing throughput: every statement and every filter text passes through the
// lexer before anything is parsed. A long script of statements with comments, quoted
// and bracketed names, string literals and parameters, and a short filter text lexed
// over and over (the per-lexer cost).
#include <benchmark/benchmark.h>

#include <string>

#include "engine/sql/ORQLexer.h"

namespace {

std::string Script(int statements) {
    std::string s;
    for (int k = 0; k < statements; ++k) {
        const std::string n = std::to_string(k);
        s += "-- statement " + n + "\n";
        s += "SELECT [Station Name], `select`, \"ID\", MSG.TEXT, COUNT(*) AS n /* rows of " + n + " */\n";
        s += "  FROM NAVTEXLOG MSG\n";
        s += "  WHERE MSG.RECEIVED >= :since AND MSG.FREQ = ? AND MSG.STATION LIKE 'N''%' AND MSG.DIST < 1.5e3\n";
        s += "  GROUP BY 1, 2 ORDER BY 2 DESC;\n";
        s += "UPDATE STATIONS SET IDText = 'Station " + n + "', LAT = -12.75 WHERE UNIQUEID = " + n + ";\n";
    }
    return s;
}

void BM_LexScript(benchmark::State& state) {
    const int statements = static_cast<int>(state.range(0));
    const std::string text = Script(statements);
    orq::TORQSQLParams params;
    params.AddParam()->SetAsDouble(46000.5);
    params.Items(0)->Name = "since";
    for (int k = 0; k < statements; ++k) params.AddParam()->SetAsInteger(518000);
    for (auto _ : state) {
        orq::TORQLexer lx(text, &params);
        benchmark::DoNotOptimize(lx.CommandCount());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(text.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LexScript)->Arg(2000);

void BM_LexFilter(benchmark::State& state) {
    const std::string text = "(STATION = 'NAVAREA I' or IDLETTER = 'E') and DIST < 500 and not (SUBJECT in ('A', 'B'))";
    for (auto _ : state) {
        orq::TORQLexer lx(text, nullptr);
        benchmark::DoNotOptimize(lx.CommandCount());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(text.size()) / 1e6, benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_LexFilter);

}  // namespace
