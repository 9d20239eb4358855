// CPU use of this process for the CPU gauge. Keeps the previous sample as unit state:
// each call measures the interval since the one before.
#pragma once

#include <cstdint>

namespace tilo {

// Percent of all processors used by this process since the previous call (0 on the
// first call), 0 .. 100.
int32_t ProcessCpuPercent();

}  // namespace tilo
