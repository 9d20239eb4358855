// The PPM coder: compression algorithm 3 of the engine. A context-modelling
// compressor (PPMd, variant G: information inheritance, binary-context and
// secondary escape estimation, a sub-allocator of 12-byte units) driving a
// carry-less 32-bit range coder. Its streams are stored in database files, so the
// model's decisions and the coder's bytes are a file format.
//
// Stream: a 32-bit little-endian parameter word (bits 0-3 maximum order - 1, bits
// 4-11 model megabytes - 1, bits 12-15 the variant, 6 for G), then the coder's
// bytes. The end of the data is coded as an escape past the root context.
//
// Every call builds, uses and frees its own model: calls on several threads never
// share state. Neither direction writes past the capacity it is given.
#pragma once

#include <cstdint>

namespace orq {

struct TPPMParams {
    int32_t MaxOrder;
    int32_t MemoryMB;
};

// Order and model memory of mode 1 to 9; {0, 0} for any other mode.
TPPMParams PPMModeParams(uint8_t mode);

// The parameter word a stream of these parameters begins with.
uint32_t PPMParameterWord(int32_t maxOrder, int32_t memoryMB);

// Codes InSize bytes into OutBuf (capacity OutCapacity) and returns the bytes
// written, the parameter word included. 0 when the parameters are invalid, the
// model memory cannot be obtained or the output would not fit.
int32_t PPMCompress(const uint8_t* inBuf, int32_t inSize, uint8_t* outBuf, int32_t outCapacity,
                    int32_t maxOrder, int32_t memoryMB);

// Decodes a stream into OutBuf and returns the bytes decoded. 0 when the stream
// is not variant G, the model memory cannot be obtained, or the stream is corrupt
// in a way that shows (more output than OutCapacity, an impossible coder state).
int32_t PPMDecompress(const uint8_t* inBuf, int32_t inSize, uint8_t* outBuf, int32_t outCapacity);

// As PPMDecompress, into a new heap buffer (std::malloc, the caller frees) that
// grows with the output actually decoded, never beyond OutLimit bytes: a size
// read from disk is a bound, not an allocation. Returns the size, 0 on failure
// (OutBuf then nullptr).
int32_t PPMDecompressAlloc(const uint8_t* inBuf, int32_t inSize, int32_t outLimit, uint8_t*& outBuf);

}  // namespace orq
