// TORQCompressedBLOBStream: a BLOB value's stored form, presented as a seekable
// stream of its uncompressed bytes.
//
// Stored form (part of the database file format), from the descriptor's start
// offset in the base stream:
// - algorithm 0: the value's bytes, nothing else;
// - algorithm 1 to 3: per block, a 20-byte header (compressed size i32,
//   uncompressed size i32, CRC32 i32, distance to the next header i64 =
//   compressed size + 20) and the block's compressed bytes.
// Every block but the last holds exactly BlockSize uncompressed bytes, so byte p
// lies in block p / BlockSize. Writes only append (and rewrite the last block);
// SetSize extends with zeros or truncates. Every block read is checked against its
// header's size and CRC32. Nothing is cached between calls.
//
// After any failure the table, the descriptor and the size describe what the base
// stream holds: a block enters the table once it is stored; a rewrite of the last
// block that fails puts the old bytes back (or, when it cannot, the value ends before
// that block); a failed truncation keeps the blocks the base stream still holds
// whole. Reads never look outside the table.
//
// The descriptor (32 bytes, kept by the owner) is copied in and kept current:
// the owner stores Descriptor() back after changes. The base stream is not owned
// and its position is the stream's to move.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/foundation/ORQStreams.h"

namespace orq {

struct TORQBLOBDescriptor {
    static constexpr int32_t ByteSize = 32;

    int32_t BlockSize = 0;
    int64_t BlockCount = 0;
    int64_t UncompressedSize = 0;
    int64_t StartOffset = 0;
    uint8_t CompressionAlgorithm = 0;
    uint8_t CompressionMode = 0;
    uint8_t Unused[2] = {0, 0};  // not the stream's: carried through unchanged

    void ToBytes(uint8_t* Dest) const;
    static TORQBLOBDescriptor FromBytes(const uint8_t* Source);
};

struct TORQCompressedStreamBlockHeader {
    static constexpr int32_t ByteSize = 20;

    int32_t CompressedSize = 0;
    int32_t UncompressedSize = 0;
    uint32_t Crc32 = 0;
    int64_t Distance = 0;

    void ToBytes(uint8_t* Dest) const;
    static TORQCompressedStreamBlockHeader FromBytes(const uint8_t* Source);
};

// The in-memory table of a value's block headers and their base-stream positions.
class TORQCompressedStreamBlockHeadersArray {
public:
    int64_t GrowStep = 10;
    int64_t ShrinkStep = 10;
    int64_t MaxStep = 10000;

    int64_t Count() const { return FCount; }
    int64_t Capacity() const { return FCapacity; }
    // Grows the capacity by at least the grow step (which doubles up to MaxStep);
    // a count far enough below the capacity gives the memory back; 0 frees all.
    void SetCount(int64_t NewCount);
    void Add(const TORQCompressedStreamBlockHeader& Header, int64_t Position);
    // The last entry whose position is not above Position; 0 when empty.
    int64_t Find(int64_t Position) const;

    TORQCompressedStreamBlockHeader& Header(int64_t Index) { return FHeaders[size_t(Index)]; }
    int64_t& HeaderPosition(int64_t Index) { return FPositions[size_t(Index)]; }

private:
    void Reallocate(int64_t NewCapacity);

    int64_t FCapacity = 0;
    std::vector<TORQCompressedStreamBlockHeader> FHeaders;
    std::vector<int64_t> FPositions;
    int64_t FCount = 0;
};

// Block size of a new compressed value created with block size 0.
int32_t DefaultCompressedBlockSize(uint8_t Mode);

// Largest block size accepted: a descriptor read from disk sizes buffers with it.
inline constexpr int32_t MaxCompressedBlockSize = 16 * 1024 * 1024;

class TORQCompressedBLOBStream : public TORQStream {
public:
    // Codes: 10103 start offset not reachable; 10081 (algorithm 0) and 10082
    // (headers) base stream too short unless TolerateShortStream; 10080/10083
    // header positions not reachable; 10087 a descriptor or header whose sizes
    // cannot be right.
    TORQCompressedBLOBStream(TORQStream& BaseStream, const TORQBLOBDescriptor& Descriptor, bool IsNew,
                             bool TolerateShortStream);
    ~TORQCompressedBLOBStream() override = default;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override { return FUncompressedSize; }

    const TORQBLOBDescriptor& Descriptor() const { return FDescriptor; }
    int64_t CompressedSize() const { return FCompressedSize; }
    // Percent saved: (1 - compressed / uncompressed) * 100; 0 for algorithm 0 or empty.
    double CompressionRatio() const { return FCompressionRatio; }
    int64_t GetBaseStreamSize() { return FBaseStream.Size(); }
    TORQCompressedStreamBlockHeadersArray& Headers() { return FHeaders; }

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override;
    void DoSetSize(int64_t NewSize) override;

private:
    struct TBlock;  // a decompressed block (heap buffer)

    void ReadHeaders();
    void CheckHeaders();
    void UpdateCompressedSize();
    void KeepBlocks(int64_t N);
    void KeepStoredBlocks();
    // Decompressed and checked; a block outside the table raises 10086. Packed, when
    // given, receives the stored compressed bytes.
    TBlock ReadBlock(int64_t BlockNumber, TBlock* Packed = nullptr);
    // Fills Header's sizes, CRC32 and distance for N bytes of Data; returns the
    // compressed bytes. The table is not touched.
    TBlock CompressBlock(const uint8_t* Data, int32_t N, TORQCompressedStreamBlockHeader& Header);
    void StoreBlock(int64_t Position, const TORQCompressedStreamBlockHeader& Header, const TBlock& Packed);
    bool StoredAs(int64_t Position, const TORQCompressedStreamBlockHeader& Header, const TBlock& Packed);
    void RecoverBlock(int64_t B, const TBlock& OldPacked);
    void Extend(int64_t NewSize);
    void Truncate(int64_t NewSize);

    bool FTolerateShortStream;
    TORQCompressedStreamBlockHeadersArray FHeaders;
    int64_t FUncompressedSize = 0;
    int64_t FCompressedSize = 0;
    int64_t FStartOffset = 0;
    int32_t FBlockNumber = 0;
    int64_t FPosition = 0;
    uint8_t FMode = 0;
    uint8_t FAlgorithm = 0;
    double FCompressionRatio = 0.0;
    TORQStream& FBaseStream;
    TORQBLOBDescriptor FDescriptor;
};

}  // namespace orq
