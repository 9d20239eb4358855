// bzip2 bindings. Compression grows its buffer in fixed steps as the library asks
// for room; decompression doubles it up to its bound. The end call runs on every
// road out. A decompression that stops making progress (data cut short) fails
// instead of waiting for ever.
#include "engine/foundation/ORQBZip2.h"

#include <bzlib.h>

#include <cstdlib>

#include "engine/foundation/ORQCompression.h"
#include <new>

namespace orq {

namespace {

size_t RoundUp256(int64_t n) { return size_t((n + 255) / 256 * 256); }

uint64_t TotalOut(const bz_stream& s) { return uint64_t(s.total_out_hi32) << 32 | s.total_out_lo32; }

[[noreturn]] void RaiseCompress(int rc) {
    throw EBZCompressionError(classlib::Format("error %d", {rc}));
}
[[noreturn]] void RaiseDecompress(int rc) {
    throw EBZDecompressionError(classlib::Format("error %d", {rc}));
}

}  // namespace

void BZCompressBuf(const void* inBuf, int32_t inSize, uint8_t*& outBuf, int32_t& outSize, int32_t blockSize100k) {
    outBuf = nullptr;
    outSize = 0;
    if (inSize < 0) RaiseCompress(BZ_PARAM_ERROR);
    size_t capacity = RoundUp256(int64_t(inSize) + inSize / 10 + 12);
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(capacity));
    if (!buf) throw std::bad_alloc();

    bz_stream strm{};
    int rc = BZ2_bzCompressInit(&strm, blockSize100k, 0, 0);
    if (rc != BZ_OK) {
        std::free(buf);
        RaiseCompress(rc);
    }
    strm.next_in = static_cast<char*>(const_cast<void*>(inBuf));
    strm.avail_in = unsigned(inSize);
    strm.next_out = reinterpret_cast<char*>(buf);
    strm.avail_out = unsigned(capacity);
    for (;;) {
        rc = BZ2_bzCompress(&strm, BZ_FINISH);
        if (rc < 0 || rc == BZ_STREAM_END) break;
        if (strm.avail_out == 0) {
            auto* p = static_cast<uint8_t*>(std::realloc(buf, capacity + 256));
            if (!p) {
                BZ2_bzCompressEnd(&strm);
                std::free(buf);
                throw std::bad_alloc();
            }
            buf = p;
            strm.next_out = reinterpret_cast<char*>(buf + capacity);
            strm.avail_out = 256;
            capacity += 256;
        }
    }
    const int endRc = BZ2_bzCompressEnd(&strm);
    if (rc < 0 || endRc < 0) {
        std::free(buf);
        RaiseCompress(rc < 0 ? rc : endRc);
    }
    outSize = int32_t(TotalOut(strm));
    if (auto* shrunk = static_cast<uint8_t*>(std::realloc(buf, outSize ? size_t(outSize) : 1))) buf = shrunk;
    outBuf = buf;
}

void BZDecompressBuf(const void* inBuf, int32_t inSize, int32_t outEstimate, uint8_t*& outBuf, int32_t& outSize) {
    outBuf = nullptr;
    outSize = 0;
    if (inSize <= 0) RaiseDecompress(BZ_PARAM_ERROR);
    const size_t limit = outEstimate > 0 ? size_t(outEstimate) : size_t(INT32_MAX);
    size_t capacity = DecompressFirstCapacity(outEstimate, inSize);
    uint8_t* buf = static_cast<uint8_t*>(std::malloc(capacity));
    if (!buf) throw std::bad_alloc();

    bz_stream strm{};
    int rc = BZ2_bzDecompressInit(&strm, 0, 0);
    if (rc != BZ_OK) {
        std::free(buf);
        RaiseDecompress(rc);
    }
    strm.next_in = static_cast<char*>(const_cast<void*>(inBuf));
    strm.avail_in = unsigned(inSize);
    strm.next_out = reinterpret_cast<char*>(buf);
    strm.avail_out = unsigned(capacity);
    for (;;) {
        rc = BZ2_bzDecompress(&strm);
        if (rc < 0 || rc == BZ_STREAM_END) break;
        // All input taken and room left over: the data ends before the stream does.
        if (strm.avail_in == 0 && strm.avail_out > 0) {
            rc = BZ_UNEXPECTED_EOF;
            break;
        }
        if (TotalOut(strm) == 0) break;
        if (strm.avail_out > 0) continue;
        if (capacity == limit) {
            // Full at the bound: the data may still end here, with no byte beyond it.
            char probe;
            strm.next_out = &probe;
            strm.avail_out = 1;
            rc = BZ2_bzDecompress(&strm);
            if (rc != BZ_STREAM_END || strm.avail_out != 1) rc = rc < 0 ? rc : BZ_OUTBUFF_FULL;
            break;
        }
        const size_t grown = DecompressNextCapacity(capacity, limit);
        auto* p = static_cast<uint8_t*>(std::realloc(buf, grown));
        if (!p) {
            BZ2_bzDecompressEnd(&strm);
            std::free(buf);
            throw std::bad_alloc();
        }
        buf = p;
        strm.next_out = reinterpret_cast<char*>(buf + capacity);
        strm.avail_out = unsigned(grown - capacity);
        capacity = grown;
    }
    const int endRc = BZ2_bzDecompressEnd(&strm);
    if (rc < 0 || endRc < 0) {
        std::free(buf);
        RaiseDecompress(rc < 0 ? rc : endRc);
    }
    outSize = int32_t(TotalOut(strm));
    if (auto* shrunk = static_cast<uint8_t*>(std::realloc(buf, outSize ? size_t(outSize) : 1))) buf = shrunk;
    outBuf = buf;
}

}  // namespace orq
