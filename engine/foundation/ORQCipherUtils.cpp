// Utilities of the cipher library; see ORQCipherUtils.h.
#include "engine/foundation/ORQCipherUtils.h"

#include <chrono>
#include <cstring>
#include <ctime>

namespace orq {

void SwapBytes32Buffer(const uint32_t* source, uint32_t* dest, int32_t count) {
    for (int32_t i = count - 1; i >= 0; --i) dest[i] = SwapBytes32(source[i]);
}

int32_t CompareBytes(const void* p1, const void* p2, int32_t size) {
    const auto* a = static_cast<const uint8_t*>(p1);
    const auto* b = static_cast<const uint8_t*>(p2);
    for (int32_t i = 0; i < size; ++i)
        if (a[i] != b[i]) return int32_t(a[i]) - int32_t(b[i]);
    return 0;
}

uint32_t SeededScramble(uint32_t seed, void* buffer, int32_t size) {
    if (buffer == nullptr || size <= 0) return seed;
    auto* p = static_cast<uint8_t*>(buffer);
    for (int32_t i = 0; i < size; ++i) {
        seed = (seed & 0xFFFFFF00u) | ((seed ^ p[i]) & 0xFFu);
        seed = seed * 134775813u + 1u;
        p[i] = uint8_t(seed >> 24);
    }
    return seed;
}

uint32_t TimeSeed() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const auto ms = duration_cast<milliseconds>(now.time_since_epoch()).count();
    const uint32_t msOfDay = uint32_t(ms % 86400000);  // UTC: the epoch starts at midnight
    const uint64_t counter = uint64_t(steady_clock::now().time_since_epoch().count());
    return msOfDay ^ uint32_t(counter) ^ uint32_t(counter >> 32);
}

const uint8_t* DefaultTestVector() {
    static const uint8_t vector[40] = {
        0x30, 0x44, 0xED, 0x6E, 0x45, 0xA4, 0x96, 0xF5, 0xF6, 0x35, 0xA2, 0xEB, 0x3D, 0x1A,
        0x5D, 0xD6, 0xCB, 0x1D, 0x09, 0x82, 0x2D, 0xBD, 0xF5, 0x60, 0xC2, 0xB8, 0x58, 0xA1,
        0x91, 0xF9, 0x81, 0xB1, 0, 0, 0, 0, 0, 0, 0, 0};
    return vector;
}

void SecureFill(void* p, uint8_t value, std::size_t size) {
    volatile uint8_t* v = static_cast<volatile uint8_t*>(p);
    for (std::size_t i = 0; i < size; ++i) v[i] = value;
}

}  // namespace orq
