// Decompression bombs for tests and benchmarks: zeros in the zlib or bzip2 format,
// fed to the compressor in pieces so that building one stays small in memory. The
// stored block is small; it inflates far past anything a header could claim.
#pragma once

#include <bzlib.h>
#include <zlib.h>

#include <cstdint>
#include <string>

#include "engine/foundation/ORQCompression.h"

namespace testbombs {

// Zeros of the given size (a multiple of 1 MB) compressed with ALG (zlib or bzip2).
inline std::string ZeroBomb(uint8_t alg, int64_t inflated) {
    const std::string zeros(1 << 20, '\0');
    std::string out(1 << 16, '\0'), packed;
    if (alg == orq::CompressionZlib) {
        z_stream z{};
        deflateInit(&z, 9);
        for (int64_t fed = 0; fed <= inflated; fed += int64_t(zeros.size())) {
            const bool last = fed == inflated;
            z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(zeros.data()));
            z.avail_in = last ? 0 : uInt(zeros.size());
            do {
                z.next_out = reinterpret_cast<Bytef*>(out.data());
                z.avail_out = uInt(out.size());
                deflate(&z, last ? Z_FINISH : Z_NO_FLUSH);
                packed.append(out.data(), out.size() - z.avail_out);
            } while (z.avail_out == 0);
        }
        deflateEnd(&z);
    } else {
        bz_stream b{};
        BZ2_bzCompressInit(&b, 9, 0, 0);
        for (int64_t fed = 0; fed <= inflated; fed += int64_t(zeros.size())) {
            const bool last = fed == inflated;
            b.next_in = const_cast<char*>(zeros.data());
            b.avail_in = last ? 0 : unsigned(zeros.size());
            int rc;
            do {
                b.next_out = out.data();
                b.avail_out = unsigned(out.size());
                rc = BZ2_bzCompress(&b, last ? BZ_FINISH : BZ_RUN);
                packed.append(out.data(), out.size() - b.avail_out);
            } while (last ? rc != BZ_STREAM_END : b.avail_in > 0);
        }
        BZ2_bzCompressEnd(&b);
    }
    return packed;
}

}  // namespace testbombs
