#include "engine/storage/ORQLocalBLOBStream.h"

#include <utility>

#include "engine/foundation/ORQExcept.h"

namespace orq {

TORQLocalBLOBStream::TORQLocalBLOBStream(std::unique_ptr<TORQStream> BaseStream,
                                         std::unique_ptr<TORQCompressedBLOBStream> CompressedStream, int32_t FieldNo,
                                         uint8_t Mode, TORQCursor* Owner)
    : FBaseStream(std::move(BaseStream)),
      FCompressedStream(std::move(CompressedStream)),
      FFieldNo(FieldNo),
      FMode(Mode),
      FOwner(Owner) {
    if (FBaseStream) SetBlockSize(FBaseStream->BlockSize());
}

// The compressed stream goes first (declaration order, reversed): it must not outlive
// the base stream it refers to.
TORQLocalBLOBStream::~TORQLocalBLOBStream() = default;

int64_t TORQLocalBLOBStream::Read(void* Buffer, int64_t Count) { return FCompressedStream->Read(Buffer, Count); }

int64_t TORQLocalBLOBStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    return FCompressedStream->Seek(Offset, Origin);
}

int64_t TORQLocalBLOBStream::Size() { return FCompressedStream->Size(); }

int64_t TORQLocalBLOBStream::DoWrite(const void* Buffer, int64_t Count) {
    if (FMode == bmReadOnly) RaiseNative(10115, "Cannot write to read only stream");
    return FCompressedStream->Write(Buffer, Count);
}

void TORQLocalBLOBStream::DoSetSize(int64_t NewSize) {
    if (FMode == bmReadOnly) RaiseNative(10116, "Cannot write to read only stream");
    FCompressedStream->SetSize(NewSize);
}

}  // namespace orq
