// Hand-written little-endian builders for golden bytes in storage tests. They stay
// independent of the engine's own store helpers, so an expected layout never comes
// from the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace golden {

using Bytes = std::vector<uint8_t>;

inline Bytes I32(int32_t v) {
    const auto u = static_cast<uint32_t>(v);
    return {static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8), static_cast<uint8_t>(u >> 16),
            static_cast<uint8_t>(u >> 24)};
}
inline Bytes I64(int64_t v) {
    Bytes b = I32(static_cast<int32_t>(v));
    Bytes h = I32(static_cast<int32_t>(static_cast<uint64_t>(v) >> 32));
    b.insert(b.end(), h.begin(), h.end());
    return b;
}
inline Bytes Txt(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace golden
