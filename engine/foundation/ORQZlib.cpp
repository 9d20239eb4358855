// zlib bindings. Compression grows its buffer in fixed steps as the library asks
// for room; decompression doubles it up to its bound. The deflate/inflate stream is
// ended on every road out.
#include "engine/foundation/ORQZlib.h"

#include <zlib.h>

#include <cstdlib>

#include "engine/foundation/ORQCompression.h"
#include <new>

namespace orq {

namespace {

voidpf ZAlloc(voidpf, uInt items, uInt size) { return std::calloc(items, size); }
void ZFree(voidpf, voidpf p) { std::free(p); }

size_t RoundUp256(int64_t n) { return size_t((n + 255) / 256 * 256); }

uint8_t* Grow(uint8_t* buf, size_t newSize) {
    auto* p = static_cast<uint8_t*>(std::realloc(buf, newSize));
    if (!p) {
        std::free(buf);
        throw std::bad_alloc();
    }
    return p;
}

}  // namespace

void ZlibCompressBuf(const void* inBuf, int32_t inSize, uint8_t*& outBuf, int32_t& outSize, int32_t level) {
    outBuf = nullptr;
    outSize = 0;
    if (inSize < 0) throw ECompressionError("error");
    size_t capacity = RoundUp256(int64_t(inSize) + inSize / 10 + 12);
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(capacity));
    if (!buf) throw std::bad_alloc();

    z_stream strm{};
    strm.zalloc = ZAlloc;
    strm.zfree = ZFree;
    strm.next_in = static_cast<Bytef*>(const_cast<void*>(inBuf));
    strm.avail_in = uInt(inSize);
    strm.next_out = buf;
    strm.avail_out = uInt(capacity);
    if (deflateInit(&strm, level) < 0) {
        std::free(buf);
        throw ECompressionError("error");
    }
    int rc;
    for (;;) {
        rc = deflate(&strm, Z_FINISH);
        if (rc < 0 || rc == Z_STREAM_END) break;
        if (strm.avail_out == 0) {
            try {
                buf = Grow(buf, capacity + 256);
            } catch (...) {
                deflateEnd(&strm);
                throw;
            }
            strm.next_out = buf + capacity;
            strm.avail_out = 256;
            capacity += 256;
        }
    }
    const int endRc = deflateEnd(&strm);
    if (rc < 0 || endRc < 0) {
        std::free(buf);
        throw ECompressionError("error");
    }
    outSize = int32_t(strm.total_out);
    if (auto* shrunk = static_cast<uint8_t*>(std::realloc(buf, outSize ? size_t(outSize) : 1))) buf = shrunk;
    outBuf = buf;
}

void ZlibDecompressBuf(const void* inBuf, int32_t inSize, int32_t outEstimate, uint8_t*& outBuf,
                       int32_t& outSize) {
    outBuf = nullptr;
    outSize = 0;
    if (inSize <= 0) return;
    const size_t limit = outEstimate > 0 ? size_t(outEstimate) : size_t(INT32_MAX);
    size_t capacity = DecompressFirstCapacity(outEstimate, inSize);
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(capacity));
    if (!buf) throw std::bad_alloc();

    z_stream strm{};
    strm.zalloc = ZAlloc;
    strm.zfree = ZFree;
    strm.next_in = static_cast<Bytef*>(const_cast<void*>(inBuf));
    strm.avail_in = uInt(inSize);
    strm.next_out = buf;
    strm.avail_out = uInt(capacity);
    if (inflateInit(&strm) < 0) {
        std::free(buf);
        return;
    }
    auto fail = [&] {
        inflateEnd(&strm);
        std::free(buf);
    };
    for (;;) {
        int rc = inflate(&strm, Z_NO_FLUSH);
        if (rc == Z_STREAM_END) break;
        // Truncated data ends here too: with no input left inflate reports no progress.
        // Z_NEED_DICT (a preset dictionary we never have) would repeat on every call.
        if (rc != Z_OK) return fail();
        if (strm.avail_out > 0) continue;
        if (capacity == limit) {
            // Full at the bound: the data may still end here, with no byte beyond it.
            uint8_t probe;
            strm.next_out = &probe;
            strm.avail_out = 1;
            rc = inflate(&strm, Z_NO_FLUSH);
            if (rc == Z_STREAM_END && strm.avail_out == 1) break;
            return fail();
        }
        const size_t grown = DecompressNextCapacity(capacity, limit);
        try {
            buf = Grow(buf, grown);
        } catch (...) {
            inflateEnd(&strm);
            throw;
        }
        strm.next_out = buf + capacity;
        strm.avail_out = uInt(grown - capacity);
        capacity = grown;
    }
    if (inflateEnd(&strm) < 0) {
        std::free(buf);
        return;
    }
    outSize = int32_t(strm.total_out);
    if (auto* shrunk = static_cast<uint8_t*>(std::realloc(buf, outSize ? size_t(outSize) : 1))) buf = shrunk;
    outBuf = buf;
}

}  // namespace orq
