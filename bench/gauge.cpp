// The gauge's needle redraw for one Position change (copy the face, draw the needle,
// anti-alias), at the default size 225 x 180 and each anti-aliasing level (0 = aaNone ..
// 3 = aaQuadral): a jump between 40 and 100 of 140, and a step of one unit. The receiver
// moves its gauges on every audio block of 1024 samples (92.9 ms at 11025 samples per
// second): all display work of one block together may take 5 % of that.
#include "app/components/AnalogGauge.h"

#include <QApplication>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "bench_gauge";
    static char* argv[] = {name, nullptr};
    if (!std::getenv("QT_QPA_PLATFORM")) setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(argc, argv);
    return app;
}

void BM_NeedleRedraw(benchmark::State& state) {
    App();
    tilo::TAnalogGauge gauge;
    gauge.SetAntiAliased(static_cast<tilo::TAntialiased>(state.range(0)));
    float position = 40;
    for (auto _ : state) {
        position = position == 40 ? 100 : 40;
        gauge.SetPosition(position);
        benchmark::DoNotOptimize(gauge.ShownImage().constBits());
    }
    state.SetLabel(state.range(0) == 0 ? "aaNone" : state.range(0) == 1 ? "aaBiline"
                                                  : state.range(0) == 2 ? "aaTriline" : "aaQuadral");
}

// A small move, as a level gauge makes from one block to the next.
void BM_NeedleStep(benchmark::State& state) {
    App();
    tilo::TAnalogGauge gauge;
    gauge.SetAntiAliased(static_cast<tilo::TAntialiased>(state.range(0)));
    float position = 60, step = 1;
    for (auto _ : state) {
        if (position >= 80 || position <= 60) step = -step;
        position += step;
        gauge.SetPosition(position);
        benchmark::DoNotOptimize(gauge.ShownImage().constBits());
    }
}

BENCHMARK(BM_NeedleRedraw)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NeedleStep)->DenseRange(0, 3)->Unit(benchmark::kMillisecond);

}  // namespace
