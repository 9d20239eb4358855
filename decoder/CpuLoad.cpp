#include "decoder/CpuLoad.h"

#include <sched.h>
#include <time.h>

#include <cmath>

namespace tilo {

namespace {

// The clock's reading in Unit nanoseconds, -1 when it cannot be read.
int64_t Read(clockid_t Clock, int64_t Unit) {
    timespec ts{};
    if (clock_gettime(Clock, &ts) != 0) return -1;
    return (int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec) / Unit;
}

int64_t PrevCpu = -1, PrevTicks = 0;

}  // namespace

int32_t CountProcessors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    const int n = CPU_COUNT(&set);
    return n < 1 ? 1 : n;
}

int32_t CpuLoadPercent(int64_t CpuTime, int64_t Ticks, int32_t Processors) {
    if (Ticks <= 0 || CpuTime < 0) return 0;
    const double percent = std::nearbyint(double(CpuTime) / double(Ticks) / 100.0);
    return static_cast<int32_t>(std::nearbyint(percent / double(Processors < 1 ? 1 : Processors)));
}

int32_t ProcessCpuPercent() {
    const int64_t cpu = Read(CLOCK_PROCESS_CPUTIME_ID, 100), ticks = Read(CLOCK_MONOTONIC, 1000000);
    if (cpu < 0 || ticks < 0) return 0;
    const bool first = PrevCpu < 0;
    const int64_t usedCpu = cpu - PrevCpu, usedTicks = ticks - PrevTicks;
    PrevCpu = cpu;
    PrevTicks = ticks;
    return first ? 0 : CpuLoadPercent(usedCpu, usedTicks, CountProcessors());
}

}  // namespace tilo
