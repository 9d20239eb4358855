// TORQBLOBStream: the stream a dataset's BLOB field reads and writes through. It opens
// the field's local BLOB stream through its dataset's cursor, forwards to it, tracks
// whether anything was written, and closes the BLOB when it is closed or freed.
//
// Rules kept here:
// - The local stream belongs to the cursor (its open BLOB list). The cursor may free it
//   first (closing the table, freeing its BLOBs): it then calls Detach, after which the
//   stream reads nothing and ignores writes.
// - Without a local stream (the record is gone, the read lock was not had) reads give
//   0 bytes and writes 0, so a caller's exact write fails.
// - Modified is set by a write of at least one byte and by a size change that took.
//   Only a modified stream marks its field modified and signals the field change when
//   it closes; an exception from that signal goes to the user interface's handler.
// - Close may raise (the BLOB is stored there); the destructor closes without raising,
//   handing a failure to the user interface's handler. It closes this stream's own
//   local stream only: another stream open on the same field stays open.
// - Opened for reading, the stream takes the value whole where the cursor can read it
//   so (the bytes a local stream would give, pending values included) and serves it
//   from its own copy, with no local stream; writes raise 10115 and size changes 10116
//   as a read-only local stream's do. A copy taken stays readable after the cursor let
//   its streams go.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "classlib/Classes.h"
#include "classlib/DBCommon.h"
#include "engine/foundation/ORQStreams.h"

namespace classlib {
class TBlobField;
}

namespace orq {

class TORQDataSet;
class TORQLocalBLOBStream;

// The engine mode of a class library BLOB mode: bmRead 1, bmWrite 0, bmReadWrite 2.
uint8_t BlobStreamEngineMode(classlib::TBlobStreamMode Mode);

class TORQBLOBStream : public TORQStream {
public:
    // A writing mode on a read-only dataset raises 10106 "Dataset is in read only mode".
    // With bmWrite the BLOB is emptied.
    TORQBLOBStream(classlib::TBlobField* Field, classlib::TBlobStreamMode Mode);
    ~TORQBLOBStream() override;

    int64_t Read(void* Buffer, int64_t Count) override;
    int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
    int64_t Size() override;

    // Closes the BLOB through the dataset (once); the field change follows when the
    // stream was modified.
    void Close();
    // The cursor let go of the local stream.
    void Detach();

    TORQLocalBLOBStream* LocalStream() const { return FLocalStream; }
    // A local stream or a whole value was had: the BLOB could be opened.
    bool Opened() const { return FLocalStream != nullptr || FWholeOpened; }
    // Served from a value read whole.
    bool Whole() const { return FWhole; }
    bool BlobModified() const { return FModified; }
    classlib::TBlobField* Field() const { return FField; }
    TORQDataSet* DataSet() const { return FDataSet; }

protected:
    int64_t DoWrite(const void* Buffer, int64_t Count) override;
    void DoSetSize(int64_t NewSize) override;

private:
    TORQLocalBLOBStream* FLocalStream = nullptr;
    bool FWhole = false;
    bool FWholeOpened = false;
    std::string FValue;
    int64_t FPosition = 0;
    bool FModified = false;
    bool FClosed = false;
    classlib::TBlobField* FField = nullptr;
    TORQDataSet* FDataSet = nullptr;
};

// The framework's stream over a TORQBLOBStream it owns: freeing it closes the BLOB.
class TORQBLOBStreamOwner : public classlib::TStream {
public:
    explicit TORQBLOBStreamOwner(std::unique_ptr<TORQBLOBStream> Stream) : FStream(std::move(Stream)) {}
    int64_t Read(void* Buffer, int64_t Count) override { return FStream->Read(Buffer, Count); }
    int64_t Write(const void* Buffer, int64_t Count) override { return FStream->Write(Buffer, Count); }
    int64_t Seek(int64_t Offset, classlib::TSeekOrigin Origin) override;
    int64_t Size() override { return FStream->Size(); }
    void SetSize(int64_t NewSize) override { FStream->SetSize(NewSize); }

    TORQBLOBStream& Stream() const { return *FStream; }

private:
    std::unique_ptr<TORQBLOBStream> FStream;
};

}  // namespace orq
