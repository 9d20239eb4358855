// The dataset framework's own cost per record, on the in-memory test dataset with one
// data link attached: Append and Post of a log-like record, and Next over a table. The
// engine's log workload runs through this layer; these figures are its share.
#include <benchmark/benchmark.h>

#include <string>

#include "classlib/DB.h"
#include "tests/classlib/TestDataSet.h"

namespace {

using namespace classlib;
using classlib_test::TTestDataSet;

// A data set shaped like a message log, watched by one link of Buffers rows.
struct TLogSet {
    explicit TLogSet(int32_t Buffers) {
        ds.Structure = {{"ID", ftInteger}, {"STATION", ftString, 40}, {"FREQ", ftInteger}, {"MSGTEXT", ftString, 250}};
        src.SetDataSet(&ds);
        link.SetBufferCount(Buffers);
        link.SetDataSource(&src);
        Reopen();
    }
    // The default fields are made afresh on each open.
    void Reopen() {
        ds.Close();
        ds.Open();
        id = ds.FieldByName("ID");
        station = ds.FieldByName("STATION");
        freq = ds.FieldByName("FREQ");
        text = ds.FieldByName("MSGTEXT");
    }
    void Add(int32_t N) {
        ds.Append();
        id->SetAsInteger(N);
        station->SetAsString("UNID");
        freq->SetAsInteger(518);
        text->SetAsString("ZCZC FA12 NAVAREA I WARNING 123 NNNN");
        ds.Post();
    }

    TTestDataSet ds;
    TDataSource src{nullptr};
    TDataLink link;
    TField *id, *station, *freq, *text;
};

void BM_AppendPost(benchmark::State& state) {
    TLogSet set(static_cast<int32_t>(state.range(0)));
    int32_t n = 0;
    for (auto _ : state) {
        set.Add(++n);
        if (n % 100000 == 0) {  // keep the table's size bounded
            state.PauseTiming();
            set.ds.Close();
            set.ds.ClearRows();
            set.Reopen();
            state.ResumeTiming();
        }
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendPost)->Arg(1)->Arg(20);

void BM_Next(benchmark::State& state) {
    TLogSet set(static_cast<int32_t>(state.range(0)));
    for (int32_t i = 1; i <= 10000; ++i) set.Add(i);
    set.ds.First();
    for (auto _ : state) {
        set.ds.Next();
        if (set.ds.Eof()) set.ds.First();
        benchmark::DoNotOptimize(set.id->AsInteger());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Next)->Arg(1)->Arg(20);

}  // namespace
