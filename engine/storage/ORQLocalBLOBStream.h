// TORQLocalBLOBStream: one BLOB value of one record, as the engines hand it out
// (CreateBlobStream) and the cursor keeps it in its open BLOB list.
//
// Rules kept here:
// - The stream owns its compressed BLOB stream and that stream's base stream. The base
//   stream is declared first, so it is destroyed after the compressed stream that
//   reads and writes it.
// - Mode 0 writes, 1 only reads, 2 does both. In mode 1 a write raises 10115 and a
//   size change 10116, and nothing reaches the compressed stream.
// - The modified flag is the base class's: cleared at creation, set by every write and
//   size change that passes. Storage stores nothing while it is clear.
#pragma once

#include <cstdint>
#include <memory>

#include "engine/foundation/ORQCompressedStream.h"
#include "engine/foundation/ORQStreams.h"

namespace orq {

class TORQCursor;

class TORQLocalBLOBStream : public TORQStream {
public:
    enum : uint8_t { bmWriteOnly = 0, bmReadOnly = 1, bmReadWrite = 2 };

    // BaseStream is the stream CompressedStream works on; both are owned from now on.
    // Block size follows the base stream's.
    TORQLocalBLOBStream(std::unique_ptr<TORQStream> BaseStream,
                        std::unique_ptr<TORQCompressedBLOBStream> CompressedStream, int32_t FieldNo, uint8_t Mode,
                        TORQCursor* Owner);
    ~TORQLocalBLOBStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;

    TORQCompressedBLOBStream& CompressedStream() const { return *FCompressedStream; }
    TORQStream& BaseStream() const { return *FBaseStream; }
    int32_t FieldNo() const { return FFieldNo; }
    uint8_t Mode() const { return FMode; }
    TORQCursor* Owner() const { return FOwner; }

    // The data-access layer's stream that wraps this one, or nil; not owned.
    void* DataSetStream = nullptr;

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override;
    void DoSetSize(int64_t NewSize) override;

private:
    std::unique_ptr<TORQStream> FBaseStream;
    std::unique_ptr<TORQCompressedBLOBStream> FCompressedStream;
    int32_t FFieldNo;
    uint8_t FMode;
    TORQCursor* FOwner;
};

}  // namespace orq
