// Little-endian field access to byte buffers of any alignment: the one way the
// engine reads and writes the integers of its stored formats (descriptors, block
// headers, pages, stream records). Each helper moves exactly its width, byte by
// byte, so the result never depends on the host's byte order or alignment.
#pragma once

#include <cstdint>

namespace orq {

inline uint16_t LoadLE16(const uint8_t* p) { return uint16_t(p[0] | (p[1] << 8)); }

inline void StoreLE16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}

inline uint32_t LoadLE32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

inline void StoreLE32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

inline uint64_t LoadLE64(const uint8_t* p) { return uint64_t(LoadLE32(p)) | (uint64_t(LoadLE32(p + 4)) << 32); }

inline void StoreLE64(uint8_t* p, uint64_t v) {
    StoreLE32(p, uint32_t(v));
    StoreLE32(p + 4, uint32_t(v >> 32));
}

}  // namespace orq
