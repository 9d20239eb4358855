// Small routines the cipher library stands on: 32-bit rotations and byte swaps,
// unsigned byte comparison, the seeded scrambler with its clock seed, and the
// library's fixed test block. All arithmetic is on unsigned 32-bit values, so the
// wrapping the scrambler relies on is well defined.
#pragma once

#include <cstdint>
#include "engine/foundation/ORQEndian.h"

namespace orq {

inline uint32_t RotateLeft32(uint32_t value, uint8_t shift) {
    shift &= 31;
    return shift == 0 ? value : (value << shift) | (value >> (32 - shift));
}
inline uint32_t RotateRight32(uint32_t value, uint8_t shift) {
    shift &= 31;
    return shift == 0 ? value : (value >> shift) | (value << (32 - shift));
}
inline uint32_t SwapBytes32(uint32_t value) {
    return (value >> 24) | ((value >> 8) & 0xFF00u) | ((value << 8) & 0xFF0000u) | (value << 24);
}

// Dest[i] := SwapBytes32(Source[i]) from the last word down; Source may be Dest.
void SwapBytes32Buffer(const uint32_t* source, uint32_t* dest, int32_t count);

// 0 when the Size bytes are equal (or Size <= 0); otherwise P1[i] - P2[i] at the
// first differing position, bytes taken as 0..255.
int32_t CompareBytes(const void* p1, const void* p2, int32_t size);

// Scrambles Buffer in place, each output byte depending on the seed and on every
// earlier input byte; returns the final seed (Seed itself for no buffer or Size <= 0).
uint32_t SeededScramble(uint32_t seed, void* buffer, int32_t size);

// A seed from the UTC time of day in milliseconds and a high-resolution counter.
uint32_t TimeSeed();

// The library's fixed 40-byte test block (32 pattern bytes, then 8 zero bytes).
const uint8_t* DefaultTestVector();

// Big-endian word access to byte buffers of any alignment (the little-endian forms
// are in ORQEndian.h).
inline uint32_t LoadBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}
inline void StoreBE32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24); p[1] = uint8_t(v >> 16); p[2] = uint8_t(v >> 8); p[3] = uint8_t(v);
}

// Fills memory in a way the optimiser may not drop: used to wipe key material.
void SecureFill(void* p, uint8_t value, std::size_t size);

}  // namespace orq
