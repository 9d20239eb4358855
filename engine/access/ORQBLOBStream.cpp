#include "engine/access/ORQBLOBStream.h"

#include <algorithm>
#include <cstring>
#include <exception>

#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQDataSet.h"
#include "engine/access/ORQUserInterface.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQLocalBLOBStream.h"

namespace orq {

uint8_t BlobStreamEngineMode(classlib::TBlobStreamMode Mode) {
    switch (Mode) {
        case classlib::bmRead: return TORQLocalBLOBStream::bmReadOnly;
        case classlib::bmWrite: return TORQLocalBLOBStream::bmWriteOnly;
        default: return TORQLocalBLOBStream::bmReadWrite;
    }
}

TORQBLOBStream::TORQBLOBStream(classlib::TBlobField* Field, classlib::TBlobStreamMode Mode) {
    auto* dataSet = dynamic_cast<TORQDataSet*>(Field->DataSet());
    if (dataSet == nullptr) RaiseNative(10108, "Nil pointer occured");
    if (Mode != classlib::bmRead && dataSet->ReadOnly()) RaiseNative(10106, "Dataset is in read only mode");
    // The field of that name in its dataset: a field object may stand for another one.
    auto* field = dynamic_cast<classlib::TBlobField*>(dataSet->FieldByName(Field->FieldName()));
    if (field == nullptr) field = Field;
    if (Mode == classlib::bmRead && dataSet->ReadBlobValue(field, FValue, FWholeOpened)) {
        FWhole = true;
        if (!FWholeOpened) return;
        FField = field;
        FDataSet = dataSet;
        return;
    }
    FLocalStream = dataSet->OpenBlob(field, Mode);
    if (FLocalStream == nullptr) return;
    SetBlockSize(FLocalStream->BlockSize());
    FLocalStream->DataSetStream = this;
    FField = field;
    FDataSet = dataSet;
    // An empty value to write into, the position being 0 here.
    if (Mode == classlib::bmWrite) FLocalStream->SetSize(FLocalStream->Position());
}

TORQBLOBStream::~TORQBLOBStream() {
    try {
        Close();
    } catch (...) {
        UserInterface().HandleException(std::current_exception());
    }
}

void TORQBLOBStream::Close() {
    if (FClosed) return;
    FClosed = true;
    if (FDataSet == nullptr) return;
    if (FLocalStream != nullptr) {
        FLocalStream->DataSetStream = nullptr;
        TORQLocalBLOBStream* local = FLocalStream;
        FLocalStream = nullptr;
        FDataSet->CloseBlobStream(FField, *local);
    }
    if (!FModified) return;
    FField->SetModified(true);
    try {
        FDataSet->DataEvent(classlib::deFieldChange, classlib::TDataSet::FieldInfo(FField));
    } catch (...) {
        UserInterface().HandleException(std::current_exception());
    }
}

void TORQBLOBStream::Detach() {
    if (FLocalStream == nullptr) return;
    FLocalStream->DataSetStream = nullptr;
    FLocalStream = nullptr;
}

int64_t TORQBLOBStream::Read(void* Buffer, int64_t Count) {
    if (FWhole) {
        const auto size = static_cast<int64_t>(FValue.size());
        if (Count <= 0 || FPosition >= size) return 0;
        const int64_t n = std::min(Count, size - FPosition);
        std::memcpy(Buffer, FValue.data() + FPosition, static_cast<size_t>(n));
        FPosition += n;
        return n;
    }
    return FLocalStream != nullptr ? FLocalStream->Read(Buffer, Count) : 0;
}

int64_t TORQBLOBStream::Seek(int64_t Offset, TSeekOrigin Origin) {
    if (FWhole) {
        if (!FWholeOpened) return 0;
        // As the value's own stream: below the start is the start, a target past any
        // position leaves the position, one past the end is kept and reads nothing.
        int64_t target = FPosition;
        bool overflow = false;
        switch (Origin) {
            case soBeginning: target = Offset; break;
            case soCurrent: overflow = __builtin_add_overflow(FPosition, Offset, &target); break;
            case soEnd: overflow = __builtin_add_overflow(static_cast<int64_t>(FValue.size()), Offset, &target); break;
            default: break;
        }
        if (overflow && Offset < 0) target = 0;
        else if (overflow) return FPosition;
        FPosition = std::max<int64_t>(target, 0);
        return FPosition;
    }
    return FLocalStream != nullptr ? FLocalStream->Seek(Offset, Origin) : 0;
}

int64_t TORQBLOBStream::Size() {
    if (FWhole) return static_cast<int64_t>(FValue.size());
    return FLocalStream != nullptr ? FLocalStream->Size() : 0;
}

int64_t TORQBLOBStream::DoWrite(const void* Buffer, int64_t Count) {
    if (FWhole && FWholeOpened) RaiseNative(10115, "Cannot write to read only stream");
    if (FLocalStream == nullptr) return 0;
    const int64_t written = FLocalStream->Write(Buffer, Count);
    if (written > 0) FModified = true;
    return written;
}

void TORQBLOBStream::DoSetSize(int64_t NewSize) {
    if (FWhole && FWholeOpened) RaiseNative(10116, "Cannot write to read only stream");
    if (FLocalStream == nullptr) return;
    FLocalStream->SetSize(NewSize);
    if (FLocalStream->Size() == NewSize) FModified = true;
}

int64_t TORQBLOBStreamOwner::Seek(int64_t Offset, classlib::TSeekOrigin Origin) {
    return FStream->Seek(Offset, static_cast<TSeekOrigin>(Origin));
}

}  // namespace orq
