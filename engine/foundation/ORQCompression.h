// Compression dispatch and the engine's CRC32. All compression of BLOB blocks and
// internal files goes through CompressBuffer / DecompressBuffer, by a one-byte
// algorithm number and a one-byte mode:
//   0 "NONE"  stored plainly (the dispatch declines it)
//   1 "ZLIB"  mode = deflate level 0..9
//   2 "BZIP"  mode = bzip2 block size in 100 000 bytes, 1..9
//   3 "PPM"   mode = PPM model size 1..9 (order and memory, see ORQPPM.h)
// The dispatch never raises: every failure is False, and the caller raises its own
// error with the algorithm, mode and sizes. Buffers it hands out come from
// std::malloc and are freed by the caller with std::free (also after a failure,
// when OutBuf is not nullptr).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace orq {

enum : uint8_t {
    CompressionNone = 0,
    CompressionZlib = 1,
    CompressionBZip = 2,
    CompressionPPM = 3,
};

// The number of Name (any case), 0 for a name outside the table.
uint8_t CompressionAlgorithmByName(std::string_view name);

bool CompressBuffer(uint8_t algorithm, uint8_t mode, const void* inBuf, int32_t inSize, uint8_t*& outBuf,
                    int32_t& outSize);

// OutSize: the expected uncompressed size on entry, the actual size on return. The
// expected size is a bound: output beyond it fails the call at once (False), and so
// does an expected size below 1. It is read from disk, so it is never trusted as an
// allocation size: the output buffer starts at most at DecompressMaxFirstBuffer and
// doubles up to the bound. A shorter result is not a failure here: callers compare
// it with what they expect.
bool DecompressBuffer(uint8_t algorithm, const void* inBuf, int32_t inSize, uint8_t*& outBuf, int32_t& outSize);

// The largest default BLOB block: no decompression starts with a larger buffer.
inline constexpr int32_t DecompressMaxFirstBuffer = 1572864;

// The first output buffer of the zlib and bzip2 bindings: the estimate up to
// DecompressMaxFirstBuffer; without one, the input size rounded up to 256 bytes.
inline size_t DecompressFirstCapacity(int32_t estimate, int32_t inSize) {
    if (estimate > 0) return size_t(estimate < DecompressMaxFirstBuffer ? estimate : DecompressMaxFirstBuffer);
    return (size_t(inSize > 0 ? inSize : 1) + 255) / 256 * 256;
}

// The capacity after Capacity filled up: doubled, never beyond Limit.
inline size_t DecompressNextCapacity(size_t capacity, size_t limit) {
    return capacity > limit / 2 ? limit : capacity * 2;
}

// The reflected CRC-32 of polynomial 0xEDB88320 with no initial or final inversion:
// callers start from 0 ("abc" gives 0xCA6598D0). Crc comes back unchanged for a null
// buffer or a count below 1. Computed by zlib's crc32, which inverts at both ends:
// the engine's value from Crc is the complement of zlib's from the complement of Crc.
uint32_t CRC32(uint32_t crc, const void* buffer, int32_t count);

}  // namespace orq
