// TORQCompressedBLOBStream and its block-header table. Sizes read from disk
// (descriptor and headers) are checked before they size a buffer, divide or steer
// a loop: a corrupt value fails with an error, never with a huge allocation.
#include "engine/foundation/ORQCompressedStream.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "engine/foundation/ORQCompression.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"

namespace orq {

namespace {

// A + B for message arguments made of values read from disk: never wraps.
int64_t SaturatedAdd(int64_t a, int64_t b) {
    int64_t r;
    if (!__builtin_add_overflow(a, b, &r)) return r;
    return b > 0 ? INT64_MAX : INT64_MIN;
}

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
    StoreLE32(d, uint32_t(BlockSize));
    StoreLE64(d + 4, uint64_t(BlockCount));
    StoreLE64(d + 12, uint64_t(UncompressedSize));
    StoreLE64(d + 20, uint64_t(StartOffset));
    d[28] = CompressionAlgorithm;
    d[29] = CompressionMode;
    d[30] = Unused[0];
    d[31] = Unused[1];
}

TORQBLOBDescriptor TORQBLOBDescriptor::FromBytes(const uint8_t* s) {
    TORQBLOBDescriptor r;
    r.BlockSize = int32_t(LoadLE32(s));
    r.BlockCount = int64_t(LoadLE64(s + 4));
    r.UncompressedSize = int64_t(LoadLE64(s + 12));
    r.StartOffset = int64_t(LoadLE64(s + 20));
    r.CompressionAlgorithm = s[28];
    r.CompressionMode = s[29];
    r.Unused[0] = s[30];
    r.Unused[1] = s[31];
    return r;
}

void TORQCompressedStreamBlockHeader::ToBytes(uint8_t* d) const {
    StoreLE32(d, uint32_t(CompressedSize));
    StoreLE32(d + 4, uint32_t(UncompressedSize));
    StoreLE32(d + 8, Crc32);
    StoreLE64(d + 12, uint64_t(Distance));
}

TORQCompressedStreamBlockHeader TORQCompressedStreamBlockHeader::FromBytes(const uint8_t* s) {
    TORQCompressedStreamBlockHeader r;
    r.CompressedSize = int32_t(LoadLE32(s));
    r.UncompressedSize = int32_t(LoadLE32(s + 4));
    r.Crc32 = LoadLE32(s + 8);
    r.Distance = int64_t(LoadLE64(s + 12));
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
    // An existing value starts inside its base stream: an offset beyond it is corrupt,
    // and taking it would send the next append there.
    if (FStartOffset < 0 || (!IsNew && FStartOffset > FBaseStream.Size()) ||
        FBaseStream.Seek(FStartOffset, soBeginning) != FStartOffset)
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
                               {baseSize, SaturatedAdd(basePos, FUncompressedSize)});
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
                           {baseSize, SaturatedAdd(position, HeaderSize)});
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
                           {SaturatedAdd(position, header.Distance), position + HeaderSize, baseSize});
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

// The table keeps the first N blocks (and the descriptor and the sizes follow it).
void TORQCompressedBLOBStream::KeepBlocks(int64_t N) {
    FHeaders.SetCount(N);
    FUncompressedSize = 0;
    for (int64_t b = 0; b < N; ++b) FUncompressedSize += FHeaders.Header(b).UncompressedSize;
    FDescriptor.BlockCount = N;
    FDescriptor.UncompressedSize = FUncompressedSize;
    UpdateCompressedSize();
}

// After a base stream changed its size against our will: keep the blocks that still
// lie whole inside it.
void TORQCompressedBLOBStream::KeepStoredBlocks() {
    int64_t baseSize = 0;
    try {
        baseSize = FBaseStream.Size();
    } catch (...) {
        // Unknown size: nothing can be trusted.
    }
    int64_t n = 0;
    while (n < FHeaders.Count() && FHeaders.HeaderPosition(n) <= baseSize - FHeaders.Header(n).Distance) ++n;
    KeepBlocks(n);
}

// ---------------------------------------------------------------------------
// Blocks

TORQCompressedBLOBStream::TBlock TORQCompressedBLOBStream::ReadBlock(int64_t BlockNumber, TBlock* Packed) {
    // A block outside the table would index past it.
    if (BlockNumber < 0 || BlockNumber >= FHeaders.Count())
        RaiseNativeFmt(10086, SCannotReadFromStream, {FPosition, FBaseStream.Size(), BlockSize(), 0});
    const TORQCompressedStreamBlockHeader header = FHeaders.Header(BlockNumber);
    const int64_t position = SaturatedAdd(FHeaders.HeaderPosition(BlockNumber), HeaderSize);
    const int64_t baseSize = FBaseStream.Size();
    // Never allocate for bytes the base stream does not hold.
    if (FBaseStream.Seek(position, soBeginning) != position || baseSize - position < header.CompressedSize)
        RaiseNativeFmt(10086, SCannotReadFromStream,
                       {position, baseSize, header.CompressedSize, std::max<int64_t>(baseSize - position, 0)});
    TBlock block;
    {
        TORQMemoryBlock packed(header.CompressedSize);
        ReadStreamChecked(packed.Data(), header.CompressedSize, FBaseStream, 10086);
        uint8_t* out = nullptr;
        int32_t outSize = header.UncompressedSize;
        const bool ok = DecompressBuffer(FAlgorithm, packed.Data(), header.CompressedSize, out, outSize);
        block.Data.reset(out);
        block.Size = outSize;
        if (!ok)
            RaiseNativeFmt(10087, "Decompress buffer failed. CompAlg = %d, InSize = %d, OutSize = %d",
                           {FAlgorithm, header.CompressedSize, outSize});
        if (Packed) {
            Packed->Data.reset(static_cast<uint8_t*>(std::malloc(size_t(header.CompressedSize))));
            if (!Packed->Data) throw std::bad_alloc();
            std::memcpy(Packed->Data.get(), packed.Data(), size_t(header.CompressedSize));
            Packed->Size = header.CompressedSize;
        }
    }
    if (block.Size != header.UncompressedSize)
        RaiseNativeFmt(10088, "Decompress buffer failed. UncompSize = %d, Header.UncompSize = %d",
                       {block.Size, header.UncompressedSize});
    const uint32_t crc = CRC32(0, block.Data.get(), block.Size);
    if (crc != header.Crc32)
        RaiseNativeFmt(10089, "Decompress buffer failed. CheckSum = %d, Header.Crc32 = %d", {crc, header.Crc32});
    return block;
}

TORQCompressedBLOBStream::TBlock TORQCompressedBLOBStream::CompressBlock(const uint8_t* Data, int32_t N,
                                                                         TORQCompressedStreamBlockHeader& Header) {
    uint8_t* out = nullptr;
    int32_t outSize = 0;
    const bool ok = CompressBuffer(FAlgorithm, FMode, Data, N, out, outSize);
    TBlock packed;
    packed.Data.reset(out);
    packed.Size = outSize;
    if (!ok)
        RaiseNativeFmt(10085, "Compress buffer failed. CompAlg = %d, CompMode = %d, InSize = %d, OutSize = %d",
                       {FAlgorithm, FMode, N, outSize});
    Header.UncompressedSize = N;
    Header.Crc32 = CRC32(0, Data, N);
    Header.CompressedSize = outSize;
    Header.Distance = int64_t(outSize) + HeaderSize;
    return packed;
}

void TORQCompressedBLOBStream::StoreBlock(int64_t Position, const TORQCompressedStreamBlockHeader& Header,
                                          const TBlock& Packed) {
    SeekStreamChecked(FBaseStream, 10099, Position);
    uint8_t bytes[HeaderSize];
    Header.ToBytes(bytes);
    WriteStreamChecked(bytes, HeaderSize, FBaseStream, 10100);
    WriteStreamChecked(Packed.Data.get(), Packed.Size, FBaseStream, 10101);
}

// Whether the base stream holds Header and Packed at Position, byte for byte.
bool TORQCompressedBLOBStream::StoredAs(int64_t Position, const TORQCompressedStreamBlockHeader& Header,
                                        const TBlock& Packed) {
    try {
        uint8_t want[HeaderSize], got[HeaderSize];
        Header.ToBytes(want);
        if (FBaseStream.Seek(Position, soBeginning) != Position || FBaseStream.Read(got, HeaderSize) != HeaderSize ||
            std::memcmp(want, got, HeaderSize) != 0)
            return false;
        std::unique_ptr<uint8_t, THeapFree> data(static_cast<uint8_t*>(std::malloc(size_t(Packed.Size))));
        return data && FBaseStream.Read(data.get(), Packed.Size) == Packed.Size &&
               std::memcmp(data.get(), Packed.Data.get(), size_t(Packed.Size)) == 0;
    } catch (...) {
        return false;
    }
}

// The last block B was being rewritten in place and the write failed. The table still
// holds its old header; the stored bytes may be old, new or a mix. Put the old bytes
// back when they are not there; when that fails too the block is lost, and the value
// ends before it, so that the object, the descriptor and the stored bytes agree.
void TORQCompressedBLOBStream::RecoverBlock(int64_t B, const TBlock& OldPacked) {
    const int64_t position = FHeaders.HeaderPosition(B);
    const TORQCompressedStreamBlockHeader old = FHeaders.Header(B);
    if (StoredAs(position, old, OldPacked)) return;
    try {
        StoreBlock(position, old, OldPacked);
    } catch (...) {
        // Checked below.
    }
    if (!StoredAs(position, old, OldPacked)) KeepBlocks(B);
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
    int64_t b = FPosition / blockSize;
    while (FPosition < FUncompressedSize && done < Count) {
        FBlockNumber = int32_t(b);
        const TBlock block = ReadBlock(b);
        const int64_t offset = FPosition % blockSize;
        const int64_t chunk = std::min({blockSize - offset, Count - done, FUncompressedSize - FPosition});
        if (chunk <= 0 || offset + chunk > block.Size)
            RaiseNativeFmt(10090, "Cannot read from stream. ReadSize = %d", {chunk});
        std::memcpy(dest + done, block.Data.get() + offset, size_t(chunk));
        FPosition += chunk;
        done += chunk;
        if (done < Count) ++b;
    }
    return done;
}

int64_t TORQCompressedBLOBStream::DoWrite(const void* Buffer, int64_t Count) {
    const auto* src = static_cast<const uint8_t*>(Buffer);
    if (FAlgorithm == 0) {
        if (Count < 1) return 0;
        FBaseStream.Seek(FStartOffset + FPosition, soBeginning);
        const int64_t n = FBaseStream.Write(src, Count);
        // The value grows to the end of the write; bytes of the base stream behind the
        // value (another value's, or free space) are not part of it.
        FPosition = FBaseStream.Position() - FStartOffset;
        FUncompressedSize = std::max(FUncompressedSize, FPosition);
        FDescriptor.UncompressedSize = FUncompressedSize;
        UpdateCompressedSize();
        return n;
    }
    int64_t written = 0;
    if (Count >= 1 && FPosition >= FUncompressedSize) {
        if (FPosition > FUncompressedSize) {
            // Fill the gap with zeros first.
            const int64_t target = FPosition;
            try {
                Seek(0, soBeginning);
                SetSize(target);
            } catch (...) {
                FPosition = target;  // the caller's position, whatever part of the gap was filled
                throw;
            }
            if (Seek(target, soBeginning) != target)
                RaiseNativeFmt(10091, SCannotSetStreamPosition, {target, FPosition, FUncompressedSize});
            if (FUncompressedSize != target)
                RaiseNativeFmt(10092, "Invalid stream size = %d. Should be = %d", {FUncompressedSize, target});
        }
        const int64_t blockSize = BlockSize();
        const int64_t tail = FPosition % blockSize;
        if (tail > 0) {
            // The last block is partial: it is the only one rewritten. The table keeps its
            // old header until the new one is stored.
            const int64_t b = FHeaders.Count() - 1;
            TBlock oldPacked;
            const TBlock old = ReadBlock(b, &oldPacked);
            TORQMemoryBlock merged(blockSize);
            std::memcpy(merged.Data(), old.Data.get(), size_t(tail));
            const int64_t k = std::min(Count, blockSize - tail);
            std::memcpy(merged.Data() + tail, src, size_t(k));
            TORQCompressedStreamBlockHeader header = FHeaders.Header(b);
            const TBlock packed = CompressBlock(merged.Data(), int32_t(tail + k), header);
            try {
                StoreBlock(FHeaders.HeaderPosition(b), header, packed);
            } catch (...) {
                RecoverBlock(b, oldPacked);
                throw;
            }
            FHeaders.Header(b) = header;
            written += k;
            FPosition += k;
            FUncompressedSize += k;
        }
        if (written < Count) {
            // New blocks go behind the last one; each enters the table once it is stored,
            // so a failure leaves the table with the blocks written so far.
            int64_t position = FStartOffset;
            if (FHeaders.Count() > 0) {
                const int64_t last = FHeaders.Count() - 1;
                position = FHeaders.HeaderPosition(last) + FHeaders.Header(last).Distance;
            }
            SeekStreamChecked(FBaseStream, 10102, position);
            while (written < Count) {
                const int32_t n = int32_t(std::min(blockSize, Count - written));
                TORQCompressedStreamBlockHeader header;
                const TBlock packed = CompressBlock(src + written, n, header);
                try {
                    StoreBlock(position, header, packed);
                } catch (...) {
                    FDescriptor.BlockCount = FHeaders.Count();
                    FDescriptor.UncompressedSize = FUncompressedSize;
                    UpdateCompressedSize();
                    throw;
                }
                FHeaders.Add(header, position);
                position += header.Distance;
                written += n;
                FPosition += n;
                FUncompressedSize += n;
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
    TORQMemoryBlock zeros(blockSize, true);
    int64_t remaining = extension;
    while (remaining > 0) {
        const int64_t chunk = std::min(blockSize, remaining);
        const int64_t n = Write(zeros.Data(), chunk);
        if (n != chunk)
            RaiseNativeFmt(10097, SCannotWriteToStream, {FPosition, FUncompressedSize, chunk, n});
        remaining -= chunk;
    }
}

// The table, the descriptor and the size follow each step that changed the stored
// bytes: a failure before the cut leaves the value whole, one after it leaves the
// blocks before the cut.
void TORQCompressedBLOBStream::Truncate(int64_t NewSize) {
    const int64_t blockSize = BlockSize();
    const int64_t kept = NewSize / blockSize;
    const int64_t tail = NewSize % blockSize;
    if (tail == 0) {
        // The base stream keeps the bytes behind the last kept block; appends overwrite them.
        KeepBlocks(kept);
        return;
    }
    TBlock packed;
    TORQCompressedStreamBlockHeader header;
    {
        const TBlock block = ReadBlock(kept);
        header = FHeaders.Header(kept);
        packed = CompressBlock(block.Data.get(), int32_t(tail), header);
    }
    const int64_t cut = FHeaders.HeaderPosition(kept);
    try {
        FBaseStream.SetSize(cut);
    } catch (...) {
        KeepStoredBlocks();
        throw;
    }
    const int64_t baseSize = FBaseStream.Size();
    if (baseSize != cut) {
        KeepStoredBlocks();
        RaiseNativeFmt(10093, "Invalid stream size = %d. Should be = %d", {baseSize, cut});
    }
    KeepBlocks(kept);
    SeekStreamChecked(FBaseStream, 10094, baseSize);
    uint8_t bytes[HeaderSize];
    header.ToBytes(bytes);
    if (FBaseStream.Write(bytes, HeaderSize) != HeaderSize) RaiseNative(10095, "Error writing to stream");
    if (FBaseStream.Write(packed.Data.get(), packed.Size) < packed.Size) RaiseNative(10096, "Error writing to stream");
    FHeaders.Add(header, cut);
    KeepBlocks(kept + 1);
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
