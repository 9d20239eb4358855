// Whole-buffer bindings of the zlib library (the zlib format: header, deflate data,
// Adler-32). Output buffers come from the run-time heap (std::malloc); the caller
// frees them with std::free. All state is local: the bindings are thread-safe.
#pragma once

#include <cstdint>

#include "classlib/SysUtils.h"

namespace orq {

class EZlibError : public classlib::Exception {
    using classlib::Exception::Exception;
};
class ECompressionError : public EZlibError {
    using EZlibError::EZlibError;
};

// Raises ECompressionError "error" on any negative library result (invalid level
// included); the output buffer is then freed.
void ZlibCompressBuf(const void* inBuf, int32_t inSize, uint8_t*& outBuf, int32_t& outSize, int32_t level);

// Never raises: a negative library result (corrupt or truncated data), a stream that
// asks for a preset dictionary, or output beyond a positive OutEstimate (the bound)
// gives OutBuf nullptr and OutSize 0. Without an estimate (0 or less) the output may
// grow to 2 GB - 1.
void ZlibDecompressBuf(const void* inBuf, int32_t inSize, int32_t outEstimate, uint8_t*& outBuf,
                       int32_t& outSize);

}  // namespace orq
