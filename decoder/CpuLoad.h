// CPU use of this process for the CPU gauge, and the processors it may run on. Keeps
// the previous sample as unit state: each call measures the interval since the one
// before.
#pragma once

#include <cstdint>

namespace tilo {

// Processors in the calling process's affinity set, at least 1.
int32_t CountProcessors();

// The gauge's percent from CpuTime (100-ns units of processor time) used over Ticks
// milliseconds: the whole process's percent rounded, then that divided by Processors
// and rounded again (halves to even both times); 0 when no tick passed.
int32_t CpuLoadPercent(int64_t CpuTime, int64_t Ticks, int32_t Processors);

// Percent of the processors of the affinity set used by this process since the
// previous call (0 on the first call).
int32_t ProcessCpuPercent();

}  // namespace tilo
