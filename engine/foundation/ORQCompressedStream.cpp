// TORQCompressedBLOBStream and its block-header table. Sizes read from disk
// (descriptor and headers) are checked before they size a buffer, divide or steer
// a loop: a corrupt value fails with an error, never with a huge allocation.
#include "engine/foundation/ORQCompressedStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"

namespace orq {

namespace {

void Put32(uint8_t* d, uint32_t v) {
    for (int i = 0; i < 4; ++i) d[i] = uint8_t(v >> (8 * i));
}
void Put64(uint8_t* d, uint64_t v) {
    for (int i = 0; i < 8; ++i) d[i] = uint8_t(v >> (8 * i));
}
uint32_t Get32(const uint8_t* s) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | s[i];
    return v;
}
uint64_t Get64(const uint8_t* s) {
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = v << 8 | s[i];
    return v;
}

// A buffer of the engine memory manager, freed on every road out.
class TEngineBuffer {
public:
    explicit TEngineBuffer(int64_t size, bool zeroed = false)
        : FData(static_cast<uint8_t*>(zeroed ? GlobalMemoryManager().AllocMem(size)
                                             : GlobalMemoryManager().GetMem(size))) {}
    ~TEngineBuffer() {
        try {
            GlobalMemoryManager().FreeAndNillMem(FData);
        } catch (...) {
            // A destructor never throws; an overrun here was already a fault of ours.
        }
    }
    TEngineBuffer(const TEngineBuffer&) = delete;
    TEngineBuffer& operator=(const TEngineBuffer&) = delete;
    uint8_t* Data() const { return FData; }

private:
    uint8_t* FData;
};

struct THeapFree {
    void operator()(uint8_t* p) const { std::free(p); }
};

constexpr int32_t HeaderSize = TORQCompressedStreamBlockHeader::ByteSize;

}  // namespace

struct TORQCompressedBLOBStream::TBlock {
    std::unique_ptr<uint8_t, THeapFree> Data;
    int32_t Size = 0;
};

// ---------------------------------------------------------------------------
// Descriptor and header bytes

void TORQBLOBDescriptor::ToBytes(uint8_t* d) const {
    Put32(d, uint32_t(BlockSize));
    Put64(d + 4, uint64_t(BlockCount));
    Put64(d + 12, uint64_t(UncompressedSize));
    Put64(d + 20, uint64_t(StartOffset));
    d[28] = CompressionAlgorithm;
    d[29] = CompressionMode;
    d[30] = Unused[0];
    d[31] = Unused[1];
}

TORQBLOBDescriptor TORQBLOBDescriptor::FromBytes(const uint8_t* s) {
    TORQBLOBDescriptor r;
    r.BlockSize = int32_t(Get32(s));
    r.BlockCount = int64_t(Get64(s + 4));
    r.UncompressedSize = int64_t(Get64(s + 12));
    r.StartOffset = int64_t(Get64(s + 20));
    r.CompressionAlgorithm = s[28];
    r.CompressionMode = s[29];
    r.Unused[0] = s[30];
    r.Unused[1] = s[31];
    return r;
}

void TORQCompressedStreamBlockHeader::ToBytes(uint8_t* d) const {
    Put32(d, uint32_t(CompressedSize));
    Put32(d + 4, uint32_t(UncompressedSize));
    Put32(d + 8, Crc32);
    Put64(d + 12, uint64_t(Distance));
}

TORQCompressedStreamBlockHeader TORQCompressedStreamBlockHeader::FromBytes(const uint8_t* s) {
    TORQCompressedStreamBlockHeader r;
    r.CompressedSize = int32_t(Get32(s));
    r.UncompressedSize = int32_t(Get32(s + 4));
    r.Crc32 = Get32(s + 8);
    r.Distance = int64_t(Get64(s + 12));
    return r;
}

// ---------------------------------------------------------------------------
// Header table

void TORQCompressedStreamBlockHeadersArray::Reallocate(int64_t NewCapacity) {
    FHeaders.resize(size_t(NewCapacity));
    FHeaders.shrink_to_fit();
    FPositions.resize(size_t(NewCapacity));
    FPositions.shrink_to_fit();
    FCapacity = NewCapacity;
}

void TORQCompressedStreamBlockHeadersArray::SetCount(int64_t NewCount) {
    if (NewCount < 0) NewCount = 0;
    if (NewCount == 0) {
        Reallocate(0);
    } else if (NewCount > FCapacity) {
        Reallocate(std::max(NewCount, FCapacity + GrowStep));
        GrowStep = std::min(GrowStep * 2, MaxStep);
    } else if (NewCount < FCount && FCapacity - NewCount > ShrinkStep) {
        Reallocate(NewCount);
        ShrinkStep = std::min(ShrinkStep * 2, MaxStep);
    }
    for (int64_t i = FCount; i < NewCount; ++i) {
        FHeaders[size_t(i)] = {};
        FPositions[size_t(i)] = 0;
    }
    FCount = NewCount;
}

void TORQCompressedStreamBlockHeadersArray::Add(const TORQCompressedStreamBlockHeader& Header, int64_t Position) {
    SetCount(FCount + 1);
    FHeaders[size_t(FCount - 1)] = Header;
    FPositions[size_t(FCount - 1)] = Position;
}

int64_t TORQCompressedStreamBlockHeadersArray::Find(int64_t Position) const {
    if (FCount == 0) return 0;
    const auto end = FPositions.begin() + FCount;
    const auto it = std::upper_bound(FPositions.begin(), end, Position);
    return it == FPositions.begin() ? 0 : int64_t(it - FPositions.begin()) - 1;
}

int32_t DefaultCompressedBlockSize(uint8_t Mode) {
    if (Mode == 0) return 102400;
    if (Mode <= 3) return 524288;
    if (Mode <= 6) return 1048576;
    return 1572864;
}

// ---------------------------------------------------------------------------
// Creation

TORQCompressedBLOBStream::TORQCompressedBLOBStream(TORQStream& BaseStream, const TORQBLOBDescriptor& Descriptor,
                                                   bool IsNew, bool TolerateShortStream)
    : FTolerateShortStream(TolerateShortStream), FBaseStream(BaseStream), FDescriptor(Descriptor) {
    FAlgorithm = FDescriptor.CompressionAlgorithm;
    FMode = FDescriptor.CompressionMode;
    FStartOffset = FDescriptor.StartOffset;
    if (FStartOffset < 0 || FBaseStream.Seek(FStartOffset, soBeginning) != FStartOffset)
        RaiseNativeFmt(10103, SCannotSetStreamPosition,
                       {FStartOffset, FBaseStream.Position(), FBaseStream.Size()});

    if (FAlgorithm == 0) {
        if (IsNew) {
            FUncompressedSize = 0;
            FDescriptor.UncompressedSize = 0;
        } else {
            FUncompressedSize = std::max<int64_t>(FDescriptor.UncompressedSize, 0);
            const int64_t basePos = FBaseStream.Position(), baseSize = FBaseStream.Size();
            if (!FTolerateShortStream && baseSize - basePos < FUncompressedSize)
                RaiseNativeFmt(10081, "Stream size = %d too small. Should be at least = %d",
                               {baseSize, basePos + FUncompressedSize});
        }
        FCompressedSize = FUncompressedSize;
    } else {
        if (IsNew) {
            if (FDescriptor.BlockSize == 0) FDescriptor.BlockSize = DefaultCompressedBlockSize(FMode);
            FDescriptor.BlockCount = 0;
            FDescriptor.UncompressedSize = 0;
        }
        if (FDescriptor.BlockSize <= 0 || FDescriptor.BlockSize > MaxCompressedBlockSize ||
            FDescriptor.BlockCount < 0)
            RaiseNativeFmt(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d",
                           {FAlgorithm, FDescriptor.BlockCount, FDescriptor.BlockSize});
        SetBlockSize(FDescriptor.BlockSize);
        ReadHeaders();
        FDescriptor.UncompressedSize = FUncompressedSize;
    }
    FPosition = 0;
    FBlockNumber = 0;
    UpdateCompressedSize();
}

void TORQCompressedBLOBStream::ReadHeaders() {
    const int64_t basePos = FBaseStream.Position();
    if (basePos != FStartOffset)
        RaiseNativeFmt(10080, SCannotSetStreamPosition, {FStartOffset, basePos, FBaseStream.Size()});
    const int64_t baseSize = FBaseStream.Size();
    for (int64_t b = 0; b < FDescriptor.BlockCount; ++b) {
        const int64_t position = FBaseStream.Position();
        if (baseSize - position < HeaderSize) {
            if (FTolerateShortStream) {
                FDescriptor.BlockCount = b;
                break;
            }
            RaiseNativeFmt(10082, "Stream size = %d too small. Should be at least = %d",
                           {baseSize, position + HeaderSize});
        }
        uint8_t bytes[HeaderSize];
        ReadStreamChecked(bytes, HeaderSize, FBaseStream, 10082);
        const TORQCompressedStreamBlockHeader header = TORQCompressedStreamBlockHeader::FromBytes(bytes);
        // Sizes that would size a buffer or move the next header backwards.
        if (header.CompressedSize < 1 || header.UncompressedSize < 1 || header.UncompressedSize > BlockSize() ||
            header.Distance < int64_t(header.CompressedSize) + HeaderSize)
            RaiseNativeFmt(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d",
                           {FAlgorithm, header.CompressedSize, header.UncompressedSize});
        // A block's data ends inside the base stream: a distance beyond it (or beyond any
        // position) would send the next append there, growing the base stream by the
        // distance. A tolerant open keeps the blocks before it, as for a short header.
        if (header.Distance > baseSize - position) {
            if (FTolerateShortStream) {
                FDescriptor.BlockCount = b;
                break;
            }
            RaiseNativeFmt(10083, SCannotSetStreamPosition,
                           {header.Distance > INT64_MAX - position ? INT64_MAX : position + header.Distance,
                            position + HeaderSize, baseSize});
        }
        FUncompressedSize += header.UncompressedSize;
        FHeaders.Add(header, position);
        const int64_t next = position + header.Distance;
        if (FBaseStream.Seek(next, soBeginning) != next)
            RaiseNativeFmt(10083, SCannotSetStreamPosition, {next, position + HeaderSize, baseSize});
    }
    CheckHeaders();
}

// Every block but the last is full: the block of a byte is its position / BlockSize.
void TORQCompressedBLOBStream::CheckHeaders() {
    for (int64_t b = 0; b + 1 < FHeaders.Count(); ++b) {
        const auto& h = FHeaders.Header(b);
        if (h.UncompressedSize != BlockSize())
            RaiseNativeFmt(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d",
                           {FAlgorithm, h.CompressedSize, h.UncompressedSize});
    }
}

void TORQCompressedBLOBStream::UpdateCompressedSize() {
    if (FAlgorithm != 0) {
        FCompressedSize = 0;
        for (int64_t b = 0; b < FHeaders.Count(); ++b) FCompressedSize += FHeaders.Header(b).CompressedSize;
    } else {
        FCompressedSize = FUncompressedSize;
    }
    if (FAlgorithm == 0 || FUncompressedSize == 0) {
        FCompressedSize = FUncompressedSize;
        FCompressionRatio = 0.0;
    } else {
        FCompressionRatio = (1.0 - double(FCompressedSize) / double(FUncompressedSize)) * 100.0;
    }
}

// ---------------------------------------------------------------------------
// Blocks

TORQCompressedBLOBStream::TBlock TORQCompressedBLOBStream::ReadBlock(int64_t BlockNumber) {
    const TORQCompressedStreamBlockHeader header = FHeaders.Header(BlockNumber);
    const int64_t position = FHeaders.HeaderPosition(BlockNumber) + HeaderSize;
    const int64_t baseSize = FBaseStream.Size();
    // Never allocate for bytes the base stream does not hold.
    if (FBaseStream.Seek(position, soBeginning) != position || baseSize - position < header.CompressedSize)
        RaiseNativeFmt(10086, SCannotReadFromStream,
                       {position, baseSize, header.CompressedSize, std::max<int64_t>(baseSize - position, 0)});
    TBlock block;
    {
        TEngineBuffer packed(header.CompressedSize);
        ReadStreamChecked(packed.Data(), header.CompressedSize, FBaseStream, 10086);
        uint8_t* out = nullptr;
        int32_t outSize = header.UncompressedSize;
        const bool ok = DecompressBuffer(FAlgorithm, packed.Data(), header.CompressedSize, out, outSize);
        block.Data.reset(out);
        block.Size = outSize;
        if (!ok)
            RaiseNativeFmt(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d",
                           {FAlgorithm, header.CompressedSize, outSize});
    }
    if (block.Size != header.UncompressedSize)
        RaiseNativeFmt(10088, "Decompress buffer failed. UncompSize = %d, Header.UncompSize = %d",
                       {block.Size, header.UncompressedSize});
    const uint32_t crc = CRC32(0, block.Data.get(), block.Size);
    if (crc != header.Crc32)
        RaiseNativeFmt(10089, "Decompress buffer failed. CheckSum = %d, Header.Crc32 = %d", {crc, header.Crc32});
    return block;
}

TORQCompressedBLOBStream::TBlock TORQCompressedBLOBStream::CompressBlock(int64_t BlockNumber, const uint8_t* Data,
                                                                         int32_t N) {
    // The table keeps the block's old figures until the block is compressed: a failure
    // leaves it describing what is stored.
    TORQCompressedStreamBlockHeader header = FHeaders.Header(BlockNumber);
    header.UncompressedSize = N;
    header.Crc32 = CRC32(0, Data, N);
    uint8_t* out = nullptr;
    int32_t outSize = 0;
    const bool ok = CompressBuffer(FAlgorithm, FMode, Data, N, out, outSize);
    TBlock packed;
    packed.Data.reset(out);
    packed.Size = outSize;
    if (!ok)
        RaiseNativeFmt(10085, "Compress buffer failed. CompAlg = %d, CompMode = %d, InSize = %d, OutSize = %d",
                       {FAlgorithm, FMode, N, outSize});
    header.CompressedSize = outSize;
    FHeaders.Header(BlockNumber) = header;
    return packed;
}

void TORQCompressedBLOBStream::WriteBlock(int64_t BlockNumber, const uint8_t* Data, int32_t N) {
    const TBlock packed = CompressBlock(BlockNumber, Data, N);
    auto& header = FHeaders.Header(BlockNumber);
    header.Distance = int64_t(header.CompressedSize) + HeaderSize;
    SeekStreamChecked(FBaseStream, 10099, FHeaders.HeaderPosition(BlockNumber));
    uint8_t bytes[HeaderSize];
    header.ToBytes(bytes);
    WriteStreamChecked(bytes, HeaderSize, FBaseStream, 10100);
    WriteStreamChecked(packed.Data.get(), packed.Size, FBaseStream, 10101);
}

// ---------------------------------------------------------------------------
// Stream operations

int64_t TORQCompressedBLOBStream::Read(void* Buffer, int64_t Count) {
    if (FAlgorithm == 0) {
        // The value ends at its size even when the base stream holds more.
        Count = std::min(Count, FUncompressedSize - FPosition);
        if (Count < 1) return 0;
        FBaseStream.Seek(FStartOffset + FPosition, soBeginning);
        const int64_t n = FBaseStream.Read(Buffer, Count);
        FPosition = FBaseStream.Position() - FStartOffset;
        return n;
    }
    if (Count < 1 || FPosition >= FUncompressedSize) return 0;
    auto* dest = static_cast<uint8_t*>(Buffer);
    const int64_t blockSize = BlockSize();
    int64_t done = 0;
    FBlockNumber = int32_t(FPosition / blockSize);
    while (FPosition < FUncompressedSize && done < Count) {
        const TBlock block = ReadBlock(FBlockNumber);
        const int64_t offset = FPosition % blockSize;
        const int64_t chunk = std::min({blockSize - offset, Count - done, FUncompressedSize - FPosition});
        if (chunk <= 0 || offset + chunk > block.Size)
            RaiseNativeFmt(10090, "Cannot read from stream. ReadSize = %d", {chunk});
        std::memcpy(dest + done, block.Data.get() + offset, size_t(chunk));
        FPosition += chunk;
        done += chunk;
        if (done < Count) ++FBlockNumber;
    }
    return done;
}

int64_t TORQCompressedBLOBStream::DoWrite(const void* Buffer, int64_t Count) {
    const auto* src = static_cast<const uint8_t*>(Buffer);
    if (FAlgorithm == 0) {
        if (Count < 1) return 0;
        FBaseStream.Seek(FStartOffset + FPosition, soBeginning);
        const int64_t n = FBaseStream.Write(src, Count);
        FUncompressedSize = FBaseStream.Size() - FStartOffset;
        FPosition = FBaseStream.Position() - FStartOffset;
        FDescriptor.UncompressedSize = FUncompressedSize;
        UpdateCompressedSize();
        return n;
    }
    int64_t written = 0;
    if (Count >= 1 && FPosition >= FUncompressedSize) {
        if (FPosition > FUncompressedSize) {
            // Fill the gap with zeros first.
            const int64_t target = FPosition;
            Seek(0, soBeginning);
            SetSize(target);
            if (Seek(target, soBeginning) != target)
                RaiseNativeFmt(10091, SCannotSetStreamPosition, {target, FPosition, FUncompressedSize});
            if (FUncompressedSize != target)
                RaiseNativeFmt(10092, "Invalid stream size = %d. Should be = %d", {FUncompressedSize, target});
        }
        const int64_t blockSize = BlockSize();
        int64_t b = FHeaders.Count() > 0 ? FHeaders.Count() - 1 : 0;
        const int64_t tail = FPosition % blockSize;
        if (tail > 0) {
            // The last block is partial: it is the only one rewritten.
            const TBlock old = ReadBlock(b);
            TEngineBuffer merged(blockSize);
            std::memcpy(merged.Data(), old.Data.get(), size_t(tail));
            const int64_t k = std::min(Count, blockSize - tail);
            std::memcpy(merged.Data() + tail, src, size_t(k));
            WriteBlock(b, merged.Data(), int32_t(tail + k));
            written += k;
            FPosition += k;
            FUncompressedSize += k;
            ++b;
        }
        if (written < Count) {
            int64_t position;
            if (FHeaders.Count() > 0) {
                const int64_t last = FHeaders.Count() - 1;
                position = FHeaders.HeaderPosition(last) + FHeaders.Header(last).Distance;
                b = FHeaders.Count();
            } else {
                position = FStartOffset;
                b = 0;
            }
            SeekStreamChecked(FBaseStream, 10102, position);
            while (written < Count) {
                const int32_t n = int32_t(std::min(blockSize, Count - written));
                FHeaders.Add({}, FBaseStream.Position());
                try {
                    WriteBlock(b, src + written, n);
                } catch (...) {
                    // The failed block is not part of the value: the table and the
                    // descriptor keep the blocks written so far, so that a later append
                    // or the stored descriptor do not take an empty header for a block.
                    FHeaders.SetCount(b);
                    FDescriptor.BlockCount = FHeaders.Count();
                    FDescriptor.UncompressedSize = FUncompressedSize;
                    UpdateCompressedSize();
                    throw;
                }
                written += n;
                FPosition += n;
                FUncompressedSize += n;
                ++b;
            }
        }
        FDescriptor.BlockCount = FHeaders.Count();
    }
    FDescriptor.UncompressedSize = FUncompressedSize;
    UpdateCompressedSize();
    return written;
}

void TORQCompressedBLOBStream::DoSetSize(int64_t NewSize) {
    if (FAlgorithm == 0) {
        if (NewSize < 0) NewSize = 0;
        FBaseStream.SetSize(FStartOffset + NewSize);
    } else if (NewSize > FUncompressedSize) {
        Extend(NewSize);
    } else if (NewSize < FUncompressedSize) {
        Truncate(NewSize < 0 ? 0 : NewSize);
    }
    FUncompressedSize = std::max<int64_t>(NewSize, 0);
    FDescriptor.UncompressedSize = FUncompressedSize;
    UpdateCompressedSize();
    if (FPosition > FUncompressedSize) FPosition = FUncompressedSize;
}

void TORQCompressedBLOBStream::Extend(int64_t NewSize) {
    FPosition = FUncompressedSize;
    const int64_t extension = NewSize - FUncompressedSize;
    if (extension <= 0)
        RaiseNativeFmt(10098, "Invalid extension size. NewSize = %d, UncompressedSize = %d, ExtensionSize = %d",
                       {NewSize, FUncompressedSize, extension});
    const int64_t blockSize = BlockSize();
    TEngineBuffer zeros(blockSize, true);
    int64_t remaining = extension;
    while (remaining > 0) {
        const int64_t chunk = std::min(blockSize, remaining);
        const int64_t n = Write(zeros.Data(), chunk);
        if (n != chunk)
            RaiseNativeFmt(10097, SCannotWriteToStream, {FPosition, FUncompressedSize, chunk, n});
        remaining -= chunk;
    }
}

void TORQCompressedBLOBStream::Truncate(int64_t NewSize) {
    const int64_t blockSize = BlockSize();
    int64_t kept = NewSize / blockSize;
    const int64_t tail = NewSize % blockSize;
    TBlock packed;
    if (tail > 0) {
        const TBlock block = ReadBlock(kept);
        packed = CompressBlock(kept, block.Data.get(), int32_t(tail));
        ++kept;
    }
    FHeaders.SetCount(kept);
    FDescriptor.BlockCount = kept;
    if (tail > 0) {
        const int64_t b = kept - 1;
        const int64_t cut = FHeaders.HeaderPosition(b);
        FBaseStream.SetSize(cut);
        const int64_t baseSize = FBaseStream.Size();
        if (baseSize != cut) RaiseNativeFmt(10093, "Invalid stream size = %d. Should be = %d", {baseSize, cut});
        SeekStreamChecked(FBaseStream, 10094, baseSize);
        auto& header = FHeaders.Header(b);
        header.Distance = int64_t(header.CompressedSize) + HeaderSize;
        FHeaders.HeaderPosition(b) = FBaseStream.Position();
        uint8_t bytes[HeaderSize];
        header.ToBytes(bytes);
        if (FBaseStream.Write(bytes, HeaderSize) != HeaderSize) RaiseNative(10095, "Error writing to stream");
        if (FBaseStream.Write(packed.Data.get(), packed.Size) < packed.Size)
            RaiseNative(10096, "Error writing to stream");
    }
}

int64_t TORQCompressedBLOBStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    int64_t target = FPosition;
    bool overflow = false;
    switch (Origin) {
    case soBeginning: target = Offset; break;
    case soCurrent: overflow = __builtin_add_overflow(FPosition, Offset, &target); break;
    case soEnd: overflow = __builtin_add_overflow(FUncompressedSize, Offset, &target); break;
    default: break;
    }
    // Below any position is 0; beyond any position (in the base stream, for a plain
    // value) leaves the position as it is.
    if (overflow && Offset < 0) target = 0;
    else if (overflow || (FAlgorithm == 0 && target > INT64_MAX - FStartOffset)) return FPosition;
    if (target <= 0) {
        target = 0;
        FBlockNumber = 0;
    }
    if (FAlgorithm == 0) {
        FBaseStream.Seek(FStartOffset + target, soBeginning);
        FPosition = FBaseStream.Position() - FStartOffset;
    } else {
        FPosition = target;
    }
    return FPosition;
}

}  // namespace orq
