#include "decoder/CpuLoad.h"

#include <time.h>

#include <algorithm>
#include <cmath>
#include <thread>

namespace tilo {

namespace {

double Seconds(clockid_t Clock) {
    timespec ts{};
    clock_gettime(Clock, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

double PrevCpu = -1, PrevWall = 0;

}  // namespace

int32_t ProcessCpuPercent() {
    const double cpu = Seconds(CLOCK_PROCESS_CPUTIME_ID), wall = Seconds(CLOCK_MONOTONIC);
    const bool first = PrevCpu < 0;
    const double dCpu = cpu - PrevCpu, dWall = wall - PrevWall;
    PrevCpu = cpu;
    PrevWall = wall;
    if (first || dWall <= 0) return 0;
    const double cpus = std::max(1u, std::thread::hardware_concurrency());
    return static_cast<int32_t>(std::clamp(std::nearbyint(dCpu * 100.0 / dWall / cpus), 0.0, 100.0));
}

}  // namespace tilo
