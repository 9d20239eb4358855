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

// Raises EBZDecompressionError on corrupt data and on data that ends before the
// stream does (the library's BZ_UNEXPECTED_EOF); OutBuf is then nullptr.
// OutEstimate sizes the first buffer, but never beyond MaxTrustedEstimate.
void BZDecompressBuf(const void* inBuf, int32_t inSize, int32_t outEstimate, uint8_t*& outBuf, int32_t& outSize);

inline constexpr int32_t MaxTrustedEstimate = 16 * 1024 * 1024;

}  // namespace orq
