// TTestDataSet: a dataset held in memory that implements the whole dataset protocol, for
// the framework's tests and for every suite that needs a dataset before the engine's
// exist (the receiver's station routines and data-aware views include it as
// "tests/classlib/TestDataSet.h").
//
// - Its "cursor" reports the field and index definitions a test puts in Structure and
//   IndexStructure and counts how often it is asked.
// - Records live in a vector in cursor order and survive Close/Open (a table, not a
//   query). Each has an id that never comes back after a delete: the bookmark (4 bytes).
// - A record buffer is, for each field definition, a has-value byte and the field's
//   buffer form (DBFields.h), then the Int32 id, the bookmark flag byte and the
//   calculated area. BLOBs live beside the record; an edit keeps its BLOB writes apart
//   until the post.
// - Filtering is OnFilterRecord's (the Filter text is kept, not evaluated); FindFirst and
//   its kin apply OnFilterRecord even while Filtered is off.
// - Reads counts the records the GetRecord hook delivered and FieldReads the field
//   values asked for (GetFieldData and BLOB streams opened for reading): what a control
//   costs the dataset.
// - HookLog, when set, receives the name of each editing, cursor and navigation hook as
//   it runs; FailPost / FailEdit / FailDelete make the next hooks of that kind raise.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "classlib/DB.h"
#include "classlib/VarUtils.h"

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
        Destroying();
        Close();
    }
    std::string ClassName() const override { return "TTestDataSet"; }

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
    // The dataset refuses changes (the can-modify check).
    bool ReadOnly = false;
    // The next N post, edit or delete hooks raise EDatabaseError.
    int FailPost = 0, FailEdit = 0, FailDelete = 0;
    std::vector<std::string>* HookLog = nullptr;
    int64_t Reads = 0, FieldReads = 0;
    // Messages of the exceptions handed to InternalHandleException.
    std::vector<std::string> HandledExceptions;
    // The source of the master this dataset follows (GetDataSource).
    TDataSource* MasterSource = nullptr;
    TDataSource* GetDataSource() override { return MasterSource; }

    // Leaves an edit without posting or cancelling (tests of field access only).
    void Browse() { SetState(dsBrowse); }
    TDataSetState EnterCalcFields() { return SetTempState(dsCalcFields); }
    // The key-editing state of the table component, on one key buffer.
    void EditKey() {
        CheckBrowseMode();
        std::memset(FKeyBuffer, 0, FBufferSize);
        SetState(dsSetKey);
        DataEvent(deDataSetChange, 0);
    }
    using TDataSet::ActiveRecord;
    using TDataSet::CheckRequiredFields;
    using TDataSet::RestoreState;
    using TDataSet::WindowCount;

    int RowCount() const { return static_cast<int>(FRows.size()); }
    void ClearRows() {
        CheckInactive();
        FRows.clear();
    }

    // The native bytes of a data field in the current buffer (empty when null).
    std::vector<uint8_t> Stored(const TField* Field) {
        const uint8_t* rec = RecBuf();
        if (rec == nullptr || Field->FieldNo() <= 0) return {};
        const auto i = static_cast<size_t>(Field->FieldNo() - 1);
        const uint8_t* p = rec + FOffsets[i];
        if (p[0] == 0) return {};
        return std::vector<uint8_t>(p + 1, p + 1 + FSizes[i]);
    }
    const std::string& StoredBlob(const TField* Field) { return BlobOf(Field->FieldNo()); }

    void Post() override {
        if (State() == dsSetKey) {
            SetState(dsBrowse);
            DataEvent(deDataSetChange, 0);
            return;
        }
        TDataSet::Post();
    }
    void Cancel() override {
        if (State() == dsSetKey) {
            SetState(dsBrowse);
            DataEvent(deDataSetChange, 0);
            return;
        }
        TDataSet::Cancel();
    }

    std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode) override {
        if (Mode != bmRead && State() != dsEdit && State() != dsInsert) DatabaseError("Dataset not in edit or insert mode", this);
        if (Mode == bmRead) ++FieldReads;
        return std::make_unique<TTestBlobStream>(*this, Field, Mode);
    }

    // ---- record numbers, bookmarks, search ----
    int32_t GetRecordCount() override {
        if (!Active()) return 0;
        int32_t n = 0;
        for (size_t i = 0; i < FRows.size(); ++i) n += Accepted(i) ? 1 : 0;
        return n;
    }
    int32_t GetRecNo() override {
        const uint8_t* rec = State() == dsCalcFields && CalcBuffer() != nullptr ? CalcBuffer() : ActiveBuffer();
        if (!Active() || State() == dsInsert || IsEmpty() || rec == nullptr) return -1;
        const int idx = IndexOf(IdOf(rec));
        if (idx < 0) return -1;
        int32_t n = 0;
        for (int i = 0; i <= idx; ++i) n += Accepted(static_cast<size_t>(i)) ? 1 : 0;
        return n;
    }
    void SetRecNo(int32_t Value) override {
        CheckBrowseMode();
        int32_t n = 0;
        for (size_t i = 0; i < FRows.size(); ++i) {
            if (!Accepted(i) || ++n != Value) continue;
            DoBeforeScroll();
            FPos = static_cast<int>(i);
            Resync(rmCenter);
            DoAfterScroll();
            return;
        }
    }
    bool BookmarkValid(const TBookmark& Bookmark) override {
        if (Bookmark.size() != 4 || !Active()) return false;
        const int idx = IndexOf(LoadId(Bookmark.data()));
        return idx >= 0 && Accepted(static_cast<size_t>(idx));
    }
    int32_t CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) override {
        if (Bookmark1.empty() || Bookmark2.empty()) return TDataSet::CompareBookmarks(Bookmark1, Bookmark2);
        const int a = IndexOf(LoadId(Bookmark1.data()));
        const int b = IndexOf(LoadId(Bookmark2.data()));
        return a == b ? 0 : (a > b ? 1 : -1);
    }
    bool GetCurrentRecord(TRecordBuffer Buffer) override {
        if (IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
        std::memcpy(Buffer, ActiveBuffer(), FBufferSize);
        return true;
    }
    bool FindRecord(bool Restart, bool GoForward) override {
        CheckBrowseMode();
        DoBeforeScroll();
        SetFound(false);
        UpdateCursorPos();
        CursorPosChanged();
        TGetResult r;
        {
            FSearching = true;
            struct Off {
                bool& f;
                ~Off() { f = false; }
            } off{FSearching};
            Hook(GoForward ? "FindNext" : "FindPrior");
            if (Restart) GoForward ? InternalFirst() : InternalLast();
            r = GetRecord(TempBuffer(), GoForward ? gmNext : gmPrior, true);
        }
        if (r == grOK) {
            Resync(rmExact | rmCenter);
            SetFound(true);
            DoAfterScroll();
        }
        return Found();
    }
    bool Locate(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options) override {
        CheckBrowseMode();
        const int idx = Search(KeyFields, KeyValues, Options);
        if (idx < 0) return false;
        DoBeforeScroll();
        FPos = idx;
        Resync(rmExact | rmCenter);
        DoAfterScroll();
        return true;
    }
    Variant Lookup(const std::string& KeyFields, const Variant& KeyValues, const std::string& ResultFields) override {
        CheckBrowseMode();
        const int idx = Search(KeyFields, KeyValues, 0);
        if (idx < 0) return Variant::Null();
        LoadRow(FFilterBuffer, static_cast<size_t>(idx));
        GetCalcFields(FFilterBuffer);
        const TDataSetState old = SetTempState(dsFilter);
        struct Back {
            TTestDataSet* ds;
            TDataSetState s;
            ~Back() { ds->RestoreState(s); }
        } back{this, old};
        return GetFieldValues(ResultFields);
    }

    // ---- filters: OnFilterRecord decides, the window is read afresh ----
    void SetFiltered(bool Value) override {
        if (!Active()) return TDataSet::SetFiltered(Value);
        CheckBrowseMode();
        TDataSet::SetFiltered(Value);
        First();
    }
    void SetFilterText(const std::string& Value) override {
        if (Active()) CheckBrowseMode();
        TDataSet::SetFilterText(Value);
        if (Active() && Filtered()) First();
    }
    void SetFilterOptions(TFilterOptions Value) override {
        if (Active()) CheckBrowseMode();
        TDataSet::SetFilterOptions(Value);
        if (Active() && Filtered()) First();
    }
    void SetOnFilterRecord(const TFilterRecordEvent& Value) override {
        if (!Active()) return TDataSet::SetOnFilterRecord(Value);
        CheckBrowseMode();
        TDataSet::SetOnFilterRecord(Value);
        if (Filtered()) First();
    }

protected:
    class TTestBlobStream : public TMemoryStream {
    public:
        TTestBlobStream(TTestDataSet& Owner, TField* Field, TBlobStreamMode Mode)
            : FOwner(Owner), FField(Field), FMode(Mode), FLeft(Owner.BlobWriteLimit) {
            if (Mode != bmWrite) {
                const std::string& s = Owner.BlobOf(Field->FieldNo());
                TMemoryStream::Write(s.data(), static_cast<int64_t>(s.size()));
                SetPosition(0);
            } else {
                FModified = true;  // truncated
            }
        }
        ~TTestBlobStream() override {
            if (FMode == bmRead || !FModified) return;
            const auto& d = Data();
            FOwner.FEditBlobs[FField->FieldNo()] = std::string(d.begin(), d.end());
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

    // ---- record buffers ----
    TRecordBuffer AllocRecordBuffer() override { return new uint8_t[FBufferSize](); }
    void FreeRecordBuffer(TRecordBuffer& Buffer) override {
        delete[] Buffer;
        Buffer = nullptr;
    }
    int32_t GetRecordSize() override { return static_cast<int32_t>(FRecordSize); }
    void InternalInitRecord(TRecordBuffer Buffer) override { std::memset(Buffer, 0, FRecordSize + 4); }
    void ClearCalcFields(TRecordBuffer Buffer) override {
        std::memset(Buffer + FRecordSize + 5, 0, FBufferSize - FRecordSize - 5);
    }
    void GetBookmarkData(const uint8_t* Buffer, void* Data) override { std::memcpy(Data, Buffer + FRecordSize, 4); }
    void SetBookmarkData(TRecordBuffer Buffer, const void* Data) override {
        if (Data != nullptr) std::memcpy(Buffer + FRecordSize, Data, 4);
    }
    TBookmarkFlag GetBookmarkFlag(const uint8_t* Buffer) override {
        const uint8_t f = Buffer[FRecordSize + 4];
        return f <= bfInserted ? static_cast<TBookmarkFlag>(f) : bfCurrent;
    }
    void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) override { Buffer[FRecordSize + 4] = Value; }

    TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool) override {
        const int n = static_cast<int>(FRows.size());
        switch (GetMode) {
            case gmCurrent:
                if (FPos < 0 || FPos >= n || !Accepted(static_cast<size_t>(FPos))) return grError;
                break;
            case gmNext: {
                int p = std::max(FPos + 1, 0);
                while (p < n && !Accepted(static_cast<size_t>(p))) ++p;
                if (p >= n) {
                    FPos = n;
                    return grEOF;
                }
                FPos = p;
                break;
            }
            case gmPrior: {
                int p = std::min(FPos, n) - 1;
                while (p >= 0 && !Accepted(static_cast<size_t>(p))) --p;
                if (p < 0) {
                    FPos = -1;
                    return grBOF;
                }
                FPos = p;
                break;
            }
        }
        LoadRow(Buffer, static_cast<size_t>(FPos));
        GetCalcFields(Buffer);
        ++Reads;
        return grOK;
    }

    // ---- cursor and definitions ----
    bool IsCursorOpen() override { return FCursorOpen; }
    void InternalOpen() override {
        Hook("InternalOpen");
        FCursorOpen = true;
        SetBookmarkSize(4);
        FieldDefs().SetUpdated(false);
        FieldDefs().Update();
        if (DefaultFields()) CreateFields();
        BindFields(true);
        FOffsets.clear();
        FSizes.clear();
        size_t at = 0;
        for (int i = 0; i < FieldDefs().Count(); ++i) {
            const TFieldDef* def = FieldDefs().Items(i);
            size_t size = 0;
            if (TField* probe = CreateFieldOfType(def->DataType(), nullptr)) {
                if (def->DataType() != ftGuid) probe->SetSize(def->Size());
                size = static_cast<size_t>(std::max<int32_t>(probe->IsBlob() ? 0 : probe->DataSize(), 0));
                delete probe;
            }
            FOffsets.push_back(at);
            FSizes.push_back(size);
            at += 1 + size;
        }
        if (!FRows.empty() && FRows.front().Data.size() != at) FRows.clear();  // another structure
        FRecordSize = at;
        FBufferSize = at + 5 + static_cast<size_t>(CalcFieldsSize());
        FFilterBuffer = AllocRecordBuffer();
        FKeyBuffer = AllocRecordBuffer();
        FEditBlobs.clear();
        FPos = -1;
    }
    void InternalClose() override {
        Hook("InternalClose");
        if (FFilterBuffer != nullptr) FreeRecordBuffer(FFilterBuffer);
        if (FKeyBuffer != nullptr) FreeRecordBuffer(FKeyBuffer);
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

    // ---- navigation ----
    void InternalFirst() override {
        Hook("InternalFirst");
        FPos = -1;
    }
    void InternalLast() override {
        Hook("InternalLast");
        FPos = static_cast<int>(FRows.size());
    }
    void InternalGotoBookmark(const void* Bookmark) override {
        const int idx = IndexOf(LoadId(Bookmark));
        if (idx < 0) DatabaseError("Record not found", this);
        FPos = idx;
    }
    void InternalSetToRecord(TRecordBuffer Buffer) override {
        const int idx = IndexOf(IdOf(Buffer));
        if (idx >= 0) FPos = idx;
    }

    // ---- editing ----
    bool GetCanModify() override { return !ReadOnly; }
    void InternalInsert() override {
        Hook("InternalInsert");
        FEditBlobs.clear();
    }
    void InternalEdit() override {
        Hook("InternalEdit");
        if (FailEdit > 0) {
            --FailEdit;
            DatabaseError("Record is locked", this);
        }
        if (IndexOf(IdOf(ActiveBuffer())) < 0) DatabaseError("Record not found", this);
        FEditBlobs.clear();
    }
    void InternalPost() override {
        Hook("InternalPost");
        if (FailPost > 0) {
            --FailPost;
            DatabaseError("Table is locked", this);
        }
        TDataSet::InternalPost();
        TRecordBuffer rec = ActiveBuffer();
        if (State() == dsInsert) {
            TRow row{FNextId++, std::vector<uint8_t>(rec, rec + FRecordSize), {}};
            row.Blobs.swap(FEditBlobs);
            int at = static_cast<int>(FRows.size());
            if (GetBookmarkFlag(rec) == bfBOF) {
                at = 0;
            } else if (GetBookmarkFlag(rec) != bfEOF) {
                const int before = IndexOf(IdOf(rec));
                if (before >= 0) at = before;
            }
            FRows.insert(FRows.begin() + at, std::move(row));
            FPos = at;
        } else {
            const int idx = IndexOf(IdOf(rec));
            if (idx < 0) DatabaseError("Record not found", this);
            TRow& row = FRows[static_cast<size_t>(idx)];
            row.Data.assign(rec, rec + FRecordSize);
            for (auto& [no, text] : FEditBlobs) row.Blobs[no] = std::move(text);
            FEditBlobs.clear();
            FPos = idx;
        }
    }
    void InternalCancel() override {
        Hook("InternalCancel");
        FEditBlobs.clear();
    }
    void InternalDelete() override {
        Hook("InternalDelete");
        if (FailDelete > 0) {
            --FailDelete;
            DatabaseError("Record is locked", this);
        }
        const int idx = IndexOf(IdOf(ActiveBuffer()));
        if (idx < 0) DatabaseError("Record not found", this);
        FRows.erase(FRows.begin() + idx);
        FPos = idx;  // the next record takes its place
    }
    void InternalAddRecord(const void* Buffer, bool Append) override {
        const auto* rec = static_cast<const uint8_t*>(Buffer);
        const int at = Append ? static_cast<int>(FRows.size()) : std::clamp(FPos, 0, static_cast<int>(FRows.size()));
        FRows.insert(FRows.begin() + at, TRow{FNextId++, std::vector<uint8_t>(rec, rec + FRecordSize), {}});
        FPos = at;
    }
    void InternalRefresh() override { Hook("InternalRefresh"); }
    void InternalHandleException() override {
        try {
            throw;
        } catch (const std::exception& e) {
            HandledExceptions.push_back(e.what());
        } catch (...) {
            HandledExceptions.push_back("unknown exception");
        }
    }

    // ---- field data ----
    bool GetFieldData(TField* Field, void* Buffer) override {
        ++FieldReads;
        const uint8_t* rec = RecBuf();
        if (rec == nullptr) return false;
        if (Field->InCalcArea()) {
            const uint8_t* p = rec + FRecordSize + 5 + Field->Offset();
            if (p[0] == 0) return false;
            if (Buffer) std::memcpy(Buffer, p + 1, static_cast<size_t>(Field->DataSize()));
            return true;
        }
        if (Field->IsBlob()) return !BlobOf(Field->FieldNo()).empty();
        if (Field->FieldNo() <= 0) return false;
        const auto i = static_cast<size_t>(Field->FieldNo() - 1);
        const uint8_t* p = rec + FOffsets[i];
        if (p[0] == 0) return false;
        if (Buffer) std::memcpy(Buffer, p + 1, FSizes[i]);
        return true;
    }

    void SetFieldData(TField* Field, const void* Buffer) override {
        const TDataSetState s = State();
        if (s != dsEdit && s != dsInsert && s != dsSetKey && s != dsCalcFields && s != dsFilter && s != dsNewValue &&
            s != dsInternalCalc)
            DatabaseError("Dataset not in edit or insert mode", this);
        uint8_t* rec = RecBuf();
        if (rec == nullptr) DatabaseError("Dataset not in edit or insert mode", this);
        if (Field->InCalcArea()) {
            uint8_t* p = rec + FRecordSize + 5 + Field->Offset();
            p[0] = Buffer != nullptr;
            if (Buffer) std::memcpy(p + 1, Buffer, static_cast<size_t>(Field->DataSize()));
        } else {
            Field->Validate(Buffer);
            const auto i = static_cast<size_t>(Field->FieldNo() - 1);
            uint8_t* p = rec + FOffsets[i];
            p[0] = Buffer != nullptr;
            if (Buffer)
                std::memcpy(p + 1, Buffer, FSizes[i]);
            else
                std::memset(p + 1, 0, FSizes[i]);
        }
        if (s != dsCalcFields && s != dsFilter && s != dsNewValue) DataEvent(deFieldChange, FieldInfo(Field));
    }

private:
    struct TRow {
        int32_t Id;
        std::vector<uint8_t> Data;
        std::map<int32_t, std::string> Blobs;
    };

    void Hook(const char* Name) {
        if (HookLog != nullptr) HookLog->push_back(Name);
    }
    static int32_t LoadId(const void* P) {
        int32_t id;
        std::memcpy(&id, P, 4);
        return id;
    }
    int32_t IdOf(const uint8_t* Buffer) const { return LoadId(Buffer + FRecordSize); }
    // Looks near the cursor first: walks and appends stay cheap.
    int IndexOf(int32_t Id) const {
        const int n = static_cast<int>(FRows.size());
        for (int p : {FPos, FPos - 1, FPos + 1, n - 1})
            if (p >= 0 && p < n && FRows[static_cast<size_t>(p)].Id == Id) return p;
        for (int p = 0; p < n; ++p)
            if (FRows[static_cast<size_t>(p)].Id == Id) return p;
        return -1;
    }
    void LoadRow(TRecordBuffer Buffer, size_t Index) {
        const TRow& row = FRows[Index];
        std::memcpy(Buffer, row.Data.data(), FRecordSize);
        std::memcpy(Buffer + FRecordSize, &row.Id, 4);
        Buffer[FRecordSize + 4] = bfCurrent;
    }
    // The buffer the current state reads and writes.
    uint8_t* RecBuf() {
        switch (State()) {
            case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
            case dsEdit:
            case dsInsert:
            case dsNewValue: return ActiveBuffer();
            case dsCalcFields: return CalcBuffer() != nullptr ? CalcBuffer() : ActiveBuffer();
            case dsFilter: return FFilterBuffer;
            case dsSetKey: return FKeyBuffer;
            default: return nullptr;
        }
    }
    const std::string& BlobOf(int32_t FieldNo) {
        static const std::string none;
        if (State() == dsEdit || State() == dsInsert) {
            const auto it = FEditBlobs.find(FieldNo);
            if (it != FEditBlobs.end()) return it->second;
            if (State() == dsInsert) return none;
        }
        const uint8_t* rec = RecBuf();
        if (rec == nullptr) return none;
        const int idx = IndexOf(IdOf(rec));
        if (idx < 0) return none;
        const auto& blobs = FRows[static_cast<size_t>(idx)].Blobs;
        const auto it = blobs.find(FieldNo);
        return it == blobs.end() ? none : it->second;
    }
    // Whether the record passes the filter: OnFilterRecord, when filtering or searching.
    bool Accepted(size_t Index) {
        if (!(Filtered() || FSearching) || !OnFilterRecord()) return true;
        LoadRow(FFilterBuffer, Index);
        return DoFilterRecord();
    }
    // The first accepted record whose KeyFields match KeyValues; -1 when none.
    int Search(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
        const std::vector<TField*> fields = GetFieldList(KeyFields);
        for (size_t i = 0; i < FRows.size(); ++i) {
            if (!Accepted(i)) continue;
            LoadRow(FFilterBuffer, i);
            const TDataSetState old = SetTempState(dsFilter);
            bool match = true;
            try {
                for (size_t k = 0; k < fields.size() && match; ++k) {
                    const Variant want = KeyValues.IsArray()
                                             ? KeyValues.GetElement({KeyValues.ArrayLowBound(1) + static_cast<int32_t>(k)})
                                             : KeyValues;
                    match = Matches(fields[k], want, Options);
                }
            } catch (...) {
                RestoreState(old);
                throw;
            }
            RestoreState(old);
            if (match) return static_cast<int>(i);
        }
        return -1;
    }
    static bool Matches(TField* Field, const Variant& Want, TLocateOptions Options) {
        if (Want.IsNull() || Want.IsEmpty()) return Field->IsNull();
        if (Field->IsNull()) return false;
        std::string have = Field->AsString(), want = VarToStr(Want);
        if (Options & loCaseInsensitive) {
            for (auto* s : {&have, &want})
                for (char& c : *s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        if (Options & loPartialKey) return have.compare(0, want.size(), want) == 0;
        return have == want;
    }

    bool FCursorOpen = false;
    bool FSearching = false;
    std::vector<size_t> FOffsets, FSizes;
    size_t FRecordSize = 0;
    size_t FBufferSize = 5;
    std::vector<TRow> FRows;
    int32_t FNextId = 1;
    int FPos = -1;
    std::map<int32_t, std::string> FEditBlobs;
    TRecordBuffer FFilterBuffer = nullptr;
    TRecordBuffer FKeyBuffer = nullptr;
};

}  // namespace classlib_test
