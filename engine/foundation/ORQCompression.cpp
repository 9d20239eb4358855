// Compression dispatch and CRC32. The dispatch is the one place where library
// failures become a plain False: it swallows every exception of the bindings and
// of the PPM coder.
#include "engine/foundation/ORQCompression.h"

#include <array>
#include <cstdlib>
#include <exception>

#include "engine/foundation/ORQBZip2.h"
#include "engine/foundation/ORQPPM.h"
#include "engine/foundation/ORQZlib.h"

namespace orq {

namespace {

constexpr std::array<uint32_t, 256> CrcTable = [] {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}();

constexpr std::string_view AlgorithmNames[] = {"NONE", "ZLIB", "BZIP", "PPM"};

}  // namespace

uint8_t CompressionAlgorithmByName(std::string_view name) {
    // The names are ASCII, so the case mapping of any code page agrees on them.
    for (uint8_t i = 0; i < 4; ++i) {
        const std::string_view n = AlgorithmNames[i];
        if (n.size() != name.size()) continue;
        bool equal = true;
        for (size_t k = 0; k < n.size() && equal; ++k) {
            char c = name[k];
            if (c >= 'a' && c <= 'z') c = char(c - 'a' + 'A');
            equal = c == n[k];
        }
        if (equal) return i;
    }
    return 0;
}

bool CompressBuffer(uint8_t algorithm, uint8_t mode, const void* inBuf, int32_t inSize, uint8_t*& outBuf,
                    int32_t& outSize) {
    outBuf = nullptr;
    outSize = 0;
    if (algorithm == CompressionNone || inSize <= 0 || !inBuf) return false;
    try {
        switch (algorithm) {
        case CompressionZlib:
            ZlibCompressBuf(inBuf, inSize, outBuf, outSize, mode);
            break;
        case CompressionBZip:
            BZCompressBuf(inBuf, inSize, outBuf, outSize, mode);
            break;
        case CompressionPPM: {
            const TPPMParams params = PPMModeParams(mode);
            if (params.MaxOrder == 0) return false;
            const int64_t capacity = int64_t(inSize) + inSize / 20 + 50;
            if (capacity > INT32_MAX) return false;
            outBuf = static_cast<uint8_t*>(std::calloc(size_t(capacity), 1));
            if (!outBuf) return false;
            outSize = PPMCompress(static_cast<const uint8_t*>(inBuf), inSize, outBuf, int32_t(capacity),
                                  params.MaxOrder, params.MemoryMB);
            break;
        }
        default:
            return false;
        }
    } catch (...) {
        // The dispatch's contract: failures are False, never exceptions.
        return false;
    }
    return outSize > 0;
}

bool DecompressBuffer(uint8_t algorithm, const void* inBuf, int32_t inSize, uint8_t*& outBuf, int32_t& outSize) {
    const int32_t expected = outSize;
    outBuf = nullptr;
    outSize = 0;
    if (algorithm == CompressionNone || inSize <= 0 || !inBuf) return false;
    try {
        switch (algorithm) {
        case CompressionZlib:
            ZlibDecompressBuf(inBuf, inSize, expected, outBuf, outSize);
            break;
        case CompressionBZip:
            BZDecompressBuf(inBuf, inSize, expected, outBuf, outSize);
            break;
        case CompressionPPM:
            outSize = PPMDecompressAlloc(static_cast<const uint8_t*>(inBuf), inSize, expected, outBuf);
            break;
        default:
            return false;
        }
    } catch (...) {
        // The dispatch's contract: failures are False, never exceptions.
        return false;
    }
    return outSize > 0;
}

uint32_t CRC32(uint32_t crc, const void* buffer, int32_t count) {
    if (!buffer || count <= 0) return crc;
    const auto* p = static_cast<const uint8_t*>(buffer);
    for (int32_t i = 0; i < count; ++i) crc = (crc >> 8) ^ CrcTable[(crc ^ p[i]) & 0xFF];
    return crc;
}

}  // namespace orq
