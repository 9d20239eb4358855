// Compression dispatch and CRC32. The dispatch is the one place where library
// failures become a plain False: it swallows every exception of the bindings and
// of the PPM coder.
#include "engine/foundation/ORQCompression.h"

#include <cstdlib>
#include <exception>

#include <zlib.h>

#include "engine/foundation/ORQBZip2.h"
#include "engine/foundation/ORQPPM.h"
#include "engine/foundation/ORQZlib.h"

namespace orq {

namespace {

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
    if (algorithm == CompressionNone || inSize <= 0 || !inBuf || expected <= 0) return false;
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
    return ~uint32_t(crc32(~crc, static_cast<const Bytef*>(buffer), uInt(count)));
}

}  // namespace orq
