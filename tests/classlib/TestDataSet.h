// TTestDataSet: a dataset of one record held in memory, implementing the protocol
// as far as fields and definitions need it. Its "cursor" reports the field and index
// definitions the test puts in Structure and IndexStructure and counts how often it is
// asked. Values are kept per field in the buffer form; BLOBs as strings behind memory
// streams that may be told to take fewer bytes than they are given.
#pragma once

#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "classlib/DB.h"

namespace classlib_test {

using namespace classlib;

class TTestDataSet : public TDataSet {
public:
    struct FieldDesc {
        std::string Name;
        TFieldType Type;
        int32_t Size = 0;
        bool Required = false;
    };
    struct IndexDesc {
        std::string Name, Fields, DescFields, CaseInsFields;
        TIndexOptions Options = 0;
    };

    explicit TTestDataSet(TComponent* AOwner = nullptr) : TDataSet(AOwner), IndexDefs(this) {}
    ~TTestDataSet() override {
        if (FCursorOpen) {
            SetState(dsInactive);
            InternalClose();
        }
    }

    std::vector<FieldDesc> Structure;
    std::vector<IndexDesc> IndexStructure;
    TIndexDefs IndexDefs;
    int InitFieldDefsCalls = 0;
    int UpdateIndexDefsCalls = 0;
    int DefChangedCalls = 0;
    // Makes the cursor fail when asked for its field definitions.
    bool FailFieldDefs = false;
    // Bytes each BLOB stream takes in all; -1: no limit.
    int64_t BlobWriteLimit = -1;

    void Edit() {
        CheckActive();
        SetState(dsEdit);
    }
    void Browse() { SetState(dsBrowse); }
    TDataSetState EnterCalcFields() { return SetTempState(dsCalcFields); }
    using TDataSet::CheckRequiredFields;
    using TDataSet::RestoreState;

    // The native bytes stored for a data field (empty when null).
    std::vector<uint8_t> Stored(const TField* Field) const {
        const auto& v = FValues.at(static_cast<size_t>(Field->FieldNo() - 1));
        return v ? *v : std::vector<uint8_t>();
    }
    const std::string& StoredBlob(const TField* Field) { return FBlobs[Field->FieldNo()]; }

    std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override {
        if (Mode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError("Dataset not in edit or insert mode", this);
        return std::make_unique<TTestBlobStream>(*this, Field, Mode);
    }

protected:
    class TTestBlobStream : public TMemoryStream {
    public:
        TTestBlobStream(TTestDataSet& Owner, TField* Field, TBlobStreamMode Mode)
            : FOwner(Owner), FField(Field), FMode(Mode), FLeft(Owner.BlobWriteLimit) {
            if (Mode != bmWrite) {
                const std::string& s = Owner.FBlobs[Field->FieldNo()];
                TMemoryStream::Write(s.data(), static_cast<int64_t>(s.size()));
                SetPosition(0);
            } else {
                FModified = true;  // truncated
            }
        }
        ~TTestBlobStream() override {
            if (FMode == bmRead || !FModified) return;
            const auto& d = Data();
            FOwner.FBlobs[FField->FieldNo()] = std::string(d.begin(), d.end());
            static_cast<TBlobField*>(FField)->SetModified(true);
            try {
                FOwner.DataEvent(deFieldChange, TDataSet::FieldInfo(FField));
            } catch (...) {
                // A failing OnChange may not escape a destructor.
            }
        }
        int64_t Write(const void* Buffer, int64_t Count) override {
            if (FMode == bmRead) return 0;
            if (FLeft >= 0 && Count > FLeft) Count = FLeft;
            if (FLeft >= 0) FLeft -= Count;
            if (Count > 0) FModified = true;
            return TMemoryStream::Write(Buffer, Count);
        }

    private:
        TTestDataSet& FOwner;
        TField* FField;
        TBlobStreamMode FMode;
        int64_t FLeft;
        bool FModified = false;
    };

    TRecordBuffer AllocRecordBuffer() override { return new uint8_t[8](); }
    void FreeRecordBuffer(TRecordBuffer& Buffer) override {
        delete[] Buffer;
        Buffer = nullptr;
    }
    TGetResult GetRecord(TRecordBuffer, TGetMode GetMode, bool) override { return GetMode == gmCurrent ? grOK : grEOF; }
    int32_t GetRecordSize() override { return 0; }
    void InternalInitRecord(TRecordBuffer) override {}
    void GetBookmarkData(const uint8_t*, void*) override {}
    void SetBookmarkData(TRecordBuffer, const void*) override {}
    TBookmarkFlag GetBookmarkFlag(const uint8_t*) override { return bfCurrent; }
    void SetBookmarkFlag(TRecordBuffer, TBookmarkFlag) override {}

    bool IsCursorOpen() override { return FCursorOpen; }
    void InternalOpen() override {
        FCursorOpen = true;
        SetBookmarkSize(4);
        FieldDefs().SetUpdated(false);
        FieldDefs().Update();
        if (DefaultFields()) CreateFields();
        BindFields(true);
        FValues.assign(static_cast<size_t>(FieldDefs().Count()), std::nullopt);
        FCalc.assign(static_cast<size_t>(CalcFieldsSize()), 0);
        FBlobs.clear();
    }
    void InternalClose() override {
        BindFields(false);
        if (DefaultFields()) DestroyFields();
        FCursorOpen = false;
    }
    void InternalInitFieldDefs() override {
        ++InitFieldDefsCalls;
        if (FailFieldDefs) DatabaseError("definitions unreadable", this);
        FieldDefs().Clear();
        for (const auto& s : Structure) FieldDefs().Add(s.Name, s.Type, s.Size, s.Required);
    }
    void UpdateIndexDefs() override {
        ++UpdateIndexDefsCalls;
        IndexDefs.Clear();
        for (const auto& s : IndexStructure) {
            TIndexDef* d = IndexDefs.Add(s.Name, s.Fields, s.Options);
            d->SetDescFields(s.DescFields);
            d->SetCaseInsFields(s.CaseInsFields);
        }
    }
    void DefChanged(TDefCollection*) override { ++DefChangedCalls; }

    void InternalFirst() override {}
    void InternalLast() override {}
    void InternalGotoBookmark(const void*) override {}
    void InternalSetToRecord(TRecordBuffer) override {}
    void InternalDelete() override {}
    void InternalAddRecord(const void*, bool) override {}
    void InternalHandleException() override {}

    bool GetFieldData(TField* Field, void* Buffer) override {
        if (!Active()) return false;
        if (Field->InCalcArea()) {
            const auto at = static_cast<size_t>(Field->Offset());
            if (FCalc[at] == 0) return false;
            if (Buffer) std::memcpy(Buffer, FCalc.data() + at + 1, static_cast<size_t>(Field->DataSize()));
            return true;
        }
        if (Field->IsBlob()) return !FBlobs[Field->FieldNo()].empty();
        const auto& v = FValues.at(static_cast<size_t>(Field->FieldNo() - 1));
        if (!v) return false;
        if (Buffer) std::memcpy(Buffer, v->data(), v->size());
        return true;
    }

    void SetFieldData(TField* Field, const void* Buffer) override {
        const TDataSetState s = State();
        if (s != dsEdit && s != dsInsert && s != dsCalcFields) DatabaseError("Dataset not in edit or insert mode", this);
        if (Field->InCalcArea()) {
            const auto at = static_cast<size_t>(Field->Offset());
            FCalc[at] = Buffer != nullptr;
            if (Buffer) std::memcpy(FCalc.data() + at + 1, Buffer, static_cast<size_t>(Field->DataSize()));
        } else {
            Field->Validate(Buffer);
            auto& v = FValues.at(static_cast<size_t>(Field->FieldNo() - 1));
            if (Buffer == nullptr)
                v.reset();
            else
                v.emplace(static_cast<const uint8_t*>(Buffer), static_cast<const uint8_t*>(Buffer) + Field->DataSize());
        }
        if (s != dsCalcFields) DataEvent(deFieldChange, FieldInfo(Field));
    }

private:
    bool FCursorOpen = false;
    std::vector<std::optional<std::vector<uint8_t>>> FValues;
    std::vector<uint8_t> FCalc;
    std::map<int32_t, std::string> FBlobs;
};

}  // namespace classlib_test
