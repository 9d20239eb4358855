// Whole-buffer bindings of the bzip2 library. Output buffers come from the
// run-time heap (std::malloc); the caller frees them with std::free. All state is
// local: the bindings are thread-safe.
#pragma once

#include <cstdint>

#include "classlib/SysUtils.h"

namespace orq {

// "Compression Error %d": the library's internal consistency failure.
class EBZip2Error : public classlib::Exception {
    using classlib::Exception::Exception;
};
// "error %d" with the library's result code.
class EBZCompressionError : public EBZip2Error {
    using EBZip2Error::EBZip2Error;
};
class EBZDecompressionError : public EBZip2Error {
    using EBZip2Error::EBZip2Error;
};

// BlockSize100k 1 to 9; anything else raises EBZCompressionError.
void BZCompressBuf(const void* inBuf, int32_t inSize, uint8_t*& outBuf, int32_t& outSize, int32_t blockSize100k);

// Raises EBZDecompressionError on corrupt data, on data that ends before the stream
// does (the library's BZ_UNEXPECTED_EOF) and on output beyond a positive OutEstimate
// (the bound; BZ_OUTBUFF_FULL); OutBuf is then nullptr. Without an estimate (0 or
// less) the output may grow to 2 GB - 1.
void BZDecompressBuf(const void* inBuf, int32_t inSize, int32_t outEstimate, uint8_t*& outBuf, int32_t& outSize);

}  // namespace orq
