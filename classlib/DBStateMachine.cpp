// TDataSet's state machine: the buffer window, navigation, editing with its error
// loops, bookmarks, disabled controls, calculated fields, the filter-record step and
// field lists. The order of hooks and events in each operation is the contract derived
// datasets and data links rely on; DB.h lists it per operation.
#include <algorithm>
#include <cstring>

#include "classlib/DB.h"

namespace classlib {

namespace {

// Restores a temporary state on every path out of a scope.
class TTempState {
public:
    TTempState(TDataSet* DataSet, TDataSetState State, TDataSetState (TDataSet::*Set)(TDataSetState),
               void (TDataSet::*Restore)(TDataSetState))
        : FDataSet(DataSet), FRestore(Restore), FOld((DataSet->*Set)(State)) {}
    ~TTempState() { (FDataSet->*FRestore)(FOld); }
    TTempState(const TTempState&) = delete;
    TTempState& operator=(const TTempState&) = delete;

private:
    TDataSet* FDataSet;
    void (TDataSet::*FRestore)(TDataSetState);
    TDataSetState FOld;
};

std::vector<std::string> SplitFieldNames(const std::string& Names) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos <= Names.size()) {
        size_t end = Names.find(';', pos);
        if (end == std::string::npos) end = Names.size();
        std::string name = Names.substr(pos, end - pos);
        const size_t b = name.find_first_not_of(' ');
        const size_t e = name.find_last_not_of(' ');
        name = b == std::string::npos ? std::string() : name.substr(b, e - b + 1);
        if (!name.empty()) out.push_back(std::move(name));
        pos = end + 1;
    }
    return out;
}

}  // namespace

// ---- the buffer window ----

void TDataSet::SetBufListSize(int32_t Value) {
    const auto want = static_cast<size_t>(std::max(Value, 0));
    while (FBuffers.size() > want) {
        TRecordBuffer b = FBuffers.back();
        FBuffers.pop_back();
        FreeRecordBuffer(b);
    }
    while (FBuffers.size() < want) {
        FBuffers.push_back(nullptr);
        FBuffers.back() = AllocRecordBuffer();
    }
}

void TDataSet::ClearBuffers() {
    FRecordCount = 0;
    FActiveRecord = 0;
    FCurrentRecord = -1;
    FBOF = true;
    FEOF = true;
}

void TDataSet::ActivateBuffers() {
    FRecordCount = 1;
    FActiveRecord = 0;
    FCurrentRecord = 0;
    FBOF = false;
    FEOF = false;
}

void TDataSet::MoveBuffer(int32_t CurIndex, int32_t NewIndex) {
    if (CurIndex == NewIndex) return;
    TRecordBuffer b = FBuffers.at(static_cast<size_t>(CurIndex));
    FBuffers.erase(FBuffers.begin() + CurIndex);
    FBuffers.insert(FBuffers.begin() + NewIndex, b);
    if (FCurrentRecord < 0) return;
    if (FCurrentRecord == CurIndex) {
        FCurrentRecord = NewIndex;
    } else if (CurIndex < NewIndex) {
        if (FCurrentRecord > CurIndex && FCurrentRecord <= NewIndex) --FCurrentRecord;
    } else if (FCurrentRecord >= NewIndex && FCurrentRecord < CurIndex) {
        ++FCurrentRecord;
    }
    if (FCurrentRecord >= FRecordCount) FCurrentRecord = -1;  // pushed out of the window
}

void TDataSet::SetCurrentRecord(int32_t Index) {
    if (FCurrentRecord == Index) return;
    TRecordBuffer b = FBuffers.at(static_cast<size_t>(Index));
    switch (GetBookmarkFlag(b)) {
        case bfCurrent:
        case bfInserted: InternalSetToRecord(b); break;
        case bfBOF: InternalFirst(); break;
        case bfEOF: InternalLast(); break;
    }
    FCurrentRecord = Index;
}

void TDataSet::UpdateCursorPos() {
    if (FRecordCount > 0) SetCurrentRecord(FActiveRecord);
}

bool TDataSet::GetNextRecord() {
    if (FRecordCount > 0) SetCurrentRecord(FRecordCount - 1);
    if (GetRecord(FBuffers[static_cast<size_t>(FRecordCount)], gmNext, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0)
        ActivateBuffers();
    else if (FRecordCount < FBufferCount)
        ++FRecordCount;
    else
        MoveBuffer(0, FRecordCount);
    FCurrentRecord = FRecordCount - 1;
    return true;
}

bool TDataSet::GetPriorRecord() {
    if (FRecordCount > 0) SetCurrentRecord(0);
    if (GetRecord(FBuffers[static_cast<size_t>(FRecordCount)], gmPrior, true) != grOK) {
        CursorPosChanged();
        return false;
    }
    if (FRecordCount == 0) {
        ActivateBuffers();
    } else {
        MoveBuffer(FRecordCount, 0);
        if (FRecordCount < FBufferCount) {
            ++FRecordCount;
            ++FActiveRecord;
        }
    }
    FCurrentRecord = 0;
    return true;
}

int32_t TDataSet::GetNextRecords() {
    int32_t n = 0;
    while (FRecordCount < FBufferCount && GetNextRecord()) ++n;
    return n;
}

int32_t TDataSet::GetPriorRecords() {
    int32_t n = 0;
    while (FRecordCount < FBufferCount && GetPriorRecord()) ++n;
    return n;
}

void TDataSet::AdjustFirstRecords(int32_t Delta) {
    if (Delta == 0) return;
    for (TDataSource* src : FDataSources)
        for (TDataLink* link : src->FDataLinks)
            if (link->FActive) link->FFirstRecord += Delta;
}

void TDataSet::UpdateBufferCount() {
    if (!IsCursorOpen()) return;
    int32_t most = 1;
    for (TDataSource* src : FDataSources)
        for (TDataLink* link : src->FDataLinks) most = std::max(most, link->FBufferCount);
    SetBufferCount(most);
}

void TDataSet::SetBufferCount(int32_t Value) {
    constexpr int32_t MaxBufferCount = 1024;
    Value = std::clamp(Value, 1, MaxBufferCount);
    if (Value == FBufferCount) return;
    if (Value < FBufferCount && FRecordCount > Value) {
        // Keep the active record inside the smaller window: drop rows before it first.
        const int32_t drop = std::max(FActiveRecord - Value + 1, 0);
        for (int32_t i = 0; i < drop; ++i) MoveBuffer(0, FRecordCount - 1);
        FActiveRecord -= drop;
        FRecordCount = Value;
        CursorPosChanged();
        AdjustFirstRecords(-drop);
    }
    SetBufListSize(Value + 1);
    FBufferCount = Value;
    GetNextRecords();
    AdjustFirstRecords(GetPriorRecords());
}

void TDataSet::Resync(uint8_t Mode) {
    CheckActive();
    TRecordBuffer scratch = FBuffers[static_cast<size_t>(FRecordCount)];
    if (Mode & rmExact) {
        CursorPosChanged();
        if (GetRecord(scratch, gmCurrent, true) != grOK) DatabaseError("Record not found", this);
    } else if (GetRecord(scratch, gmCurrent, false) != grOK && GetRecord(scratch, gmNext, false) != grOK &&
               GetRecord(scratch, gmPrior, false) != grOK) {
        ClearBuffers();
        DataEvent(deDataSetChange, 0);
        return;
    }
    int32_t count = (Mode & rmCenter) ? (FBufferCount - 1) / 2 : FActiveRecord;
    MoveBuffer(FRecordCount, 0);
    ActivateBuffers();
    try {
        while (count > 0 && GetPriorRecord()) --count;
        GetNextRecords();
        GetPriorRecords();
    } catch (...) {
        // The window changed all the same: the links must hear of it.
        try {
            DataEvent(deDataSetChange, 0);
        } catch (...) {
            // The read's failure is the one to report.
        }
        throw;
    }
    DataEvent(deDataSetChange, 0);
}

// ---- navigation ----

void TDataSet::First() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalFirst();
        GetNextRecord();
        GetNextRecords();
    } catch (...) {
        FBOF = true;
        DataEvent(deDataSetChange, 0);
        throw;
    }
    FBOF = true;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
}

void TDataSet::Last() {
    CheckBrowseMode();
    DoBeforeScroll();
    ClearBuffers();
    try {
        InternalLast();
        GetPriorRecord();
        GetPriorRecords();
    } catch (...) {
        FEOF = true;
        DataEvent(deDataSetChange, 0);
        throw;
    }
    FEOF = true;
    DataEvent(deDataSetChange, 0);
    DoAfterScroll();
}

int32_t TDataSet::MoveBy(int32_t Distance) {
    CheckBrowseMode();
    int32_t result = 0;
    if (!((Distance > 0 && !FEOF) || (Distance < 0 && !FBOF))) return 0;
    DoBeforeScroll();
    FBOF = false;
    FEOF = false;
    int32_t scroll = 0;
    try {
        while (Distance > 0) {
            if (FActiveRecord < FRecordCount - 1) {
                ++FActiveRecord;
            } else {
                const int32_t shift = FRecordCount < FBufferCount ? 0 : 1;
                if (!GetNextRecord()) {
                    FEOF = true;
                    break;
                }
                scroll -= shift;
                FActiveRecord = FRecordCount - 1;
            }
            --Distance;
            ++result;
        }
        while (Distance < 0) {
            if (FActiveRecord > 0) {
                --FActiveRecord;
            } else {
                const int32_t shift = FRecordCount < FBufferCount ? 0 : 1;
                if (!GetPriorRecord()) {
                    FBOF = true;
                    break;
                }
                scroll += shift;
                FActiveRecord = 0;
            }
            ++Distance;
            --result;
        }
    } catch (...) {
        DataEvent(deDataSetScroll, scroll);
        throw;
    }
    DataEvent(deDataSetScroll, scroll);
    DoAfterScroll();
    return result;
}

// ---- editing ----

void TDataSet::CheckCanModify() {
    if (!CanModify()) DatabaseError("Cannot modify a read-only dataset", this);
}

void TDataSet::CheckBrowseMode() {
    CheckActive();
    DataEvent(deCheckBrowseMode, 0);
    switch (FState) {
        case dsEdit:
        case dsInsert:
            UpdateRecord();
            if (FModified) {
                // Post need not send the update-record event again.
                FRecordUpdated = true;
                try {
                    Post();
                } catch (...) {
                    FRecordUpdated = false;
                    throw;
                }
                FRecordUpdated = false;
            } else {
                Cancel();
            }
            break;
        case dsSetKey: Post(); break;
        default: break;
    }
}

void TDataSet::UpdateRecord() {
    if (FState != dsEdit && FState != dsInsert && FState != dsSetKey)
        DatabaseError("Dataset not in edit or insert mode", this);
    DataEvent(deUpdateRecord, 0);
}

void TDataSet::CheckOperation(const std::function<void()>& Operation, const TDataSetErrorEvent& ErrorEvent) {
    for (;;) {
        try {
            UpdateCursorPos();
            Operation();
            return;
        } catch (EDatabaseError& E) {
            TDataAction action = daFail;
            if (ErrorEvent) ErrorEvent(this, E, action);
            if (action == daFail) throw;
            if (action == daAbort) Abort();
        }
    }
}

void TDataSet::BeginInsertAppend() {
    CheckBrowseMode();
    CheckCanModify();
    if (BeforeInsert) BeforeInsert(this);
    DoBeforeScroll();
}

void TDataSet::DropNewRecord(const TBookmark& Active, int32_t ActiveRow) {
    // The failure that brought us here is the one to report: one of these steps may
    // fail too, and the window is read afresh all the same.
    try {
        if (Active.empty()) {
            UpdateCursorPos();
        } else {
            InternalGotoBookmark(Active.data());
            CursorPosChanged();
        }
    } catch (...) {
    }
    try {
        InternalCancel();
    } catch (...) {
    }
    SetState(dsBrowse);
    FActiveRecord = ActiveRow;
    try {
        Resync(0);
    } catch (...) {
    }
}

void TDataSet::EndInsertAppend(const TBookmark& Active, int32_t ActiveRow) {
    SetState(dsInsert);
    try {
        DoOnNewRecord();
    } catch (...) {
        DropNewRecord(Active, ActiveRow);
        throw;
    }
    FModified = false;
    DataEvent(deDataSetChange, 0);
    if (AfterInsert) AfterInsert(this);
    DoAfterScroll();
}

void TDataSet::Insert() {
    BeginInsertAppend();
    const TBookmark old = GetBookmark();
    const int32_t oldRow = FActiveRecord;
    try {
        MoveBuffer(FRecordCount, FActiveRecord);
        TRecordBuffer b = ActiveBuffer();
        InitRecord(b);
        if (FRecordCount == 0)
            SetBookmarkFlag(b, bfBOF);
        else if (!old.empty())
            SetBookmarkData(b, old.data());
        if (FRecordCount < FBufferCount) ++FRecordCount;
        InternalInsert();
    } catch (...) {
        DropNewRecord(old, oldRow);
        throw;
    }
    EndInsertAppend(old, oldRow);
}

void TDataSet::Append() {
    BeginInsertAppend();
    const TBookmark old = GetBookmark();
    const int32_t oldRow = FActiveRecord;
    try {
        ClearBuffers();
        TRecordBuffer b = FBuffers[0];
        InitRecord(b);
        SetBookmarkFlag(b, bfEOF);
        FRecordCount = 1;
        FBOF = false;
        GetPriorRecords();
        InternalInsert();
    } catch (...) {
        DropNewRecord(old, oldRow);
        throw;
    }
    EndInsertAppend(old, oldRow);
}

void TDataSet::Edit() {
    if (FState == dsEdit || FState == dsInsert) return;
    if (FRecordCount == 0) {
        Insert();
        return;
    }
    CheckBrowseMode();
    CheckCanModify();
    if (BeforeEdit) BeforeEdit(this);
    // The engine's cursor locks and re-reads the record it sits on: put it there first.
    CheckOperation([this] { InternalEdit(); }, OnEditError);
    GetCalcFields(ActiveBuffer());
    SetState(dsEdit);
    DataEvent(deRecordChange, 0);
    if (AfterEdit) AfterEdit(this);
}

void TDataSet::Post() {
    if (!FRecordUpdated) UpdateRecord();
    FRecordUpdated = false;
    if (FState != dsEdit && FState != dsInsert) return;  // the update step gave the record up
    DataEvent(deCheckBrowseMode, 0);
    if (BeforePost) BeforePost(this);
    CheckOperation([this] { InternalPost(); }, OnPostError);
    SetState(dsBrowse);
    Resync(0);
    if (AfterPost) AfterPost(this);
}

void TDataSet::Cancel() {
    if (FState != dsEdit && FState != dsInsert) return;
    DataEvent(deCheckBrowseMode, 0);
    if (BeforeCancel) BeforeCancel(this);
    const bool scrolls = FState == dsInsert;
    if (scrolls) DoBeforeScroll();
    UpdateCursorPos();
    InternalCancel();
    SetState(dsBrowse);
    Resync(0);
    if (AfterCancel) AfterCancel(this);
    if (scrolls) DoAfterScroll();
}

void TDataSet::Delete() {
    CheckActive();
    if (FState == dsInsert || FState == dsSetKey) {
        Cancel();
        return;
    }
    if (FRecordCount == 0) DatabaseError("Cannot perform this operation on an empty dataset", this);
    DataEvent(deCheckBrowseMode, 0);
    if (BeforeDelete) BeforeDelete(this);
    DoBeforeScroll();
    CheckOperation([this] { InternalDelete(); }, OnDeleteError);
    SetState(dsBrowse);
    Resync(0);
    if (AfterDelete) AfterDelete(this);
    DoAfterScroll();
}

void TDataSet::Refresh() {
    CheckBrowseMode();
    if (BeforeRefresh) BeforeRefresh(this);
    UpdateCursorPos();
    InternalRefresh();
    Resync(0);
    if (AfterRefresh) AfterRefresh(this);
}

void TDataSet::SetFields(const std::vector<Variant>& Values) {
    if (FState != dsEdit && FState != dsInsert && FState != dsSetKey)
        DatabaseError("Dataset not in edit or insert mode", this);
    const size_t n = std::min(Values.size(), static_cast<size_t>(FFields.Count()));
    for (size_t i = 0; i < n; ++i) {
        TField* f = FFields[static_cast<int>(i)];
        if (Values[i].IsNull() || Values[i].IsEmpty())
            f->Clear();
        else
            f->SetValue(Values[i]);
    }
}

void TDataSet::ClearFields() {
    if (FState != dsEdit && FState != dsInsert && FState != dsSetKey)
        DatabaseError("Dataset not in edit or insert mode", this);
    for (TField* f : FFields)
        if (f->FieldKind() == fkData) f->Clear();
}

void TDataSet::AppendRecord(const std::vector<Variant>& Values) {
    Append();
    try {
        SetFields(Values);
        Post();
    } catch (...) {
        Cancel();
        throw;
    }
}

void TDataSet::InsertRecord(const std::vector<Variant>& Values) {
    Insert();
    try {
        SetFields(Values);
        Post();
    } catch (...) {
        Cancel();
        throw;
    }
}

// ---- bookmarks ----

bool TDataSet::BookmarkAvailable() {
    return (FState == dsBrowse || FState == dsEdit || FState == dsInsert) && !IsEmpty() &&
           GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

TBookmark TDataSet::GetBookmark() {
    if (!BookmarkAvailable() || FBookmarkSize <= 0) return {};
    TBookmark b(static_cast<size_t>(FBookmarkSize));
    GetBookmarkData(ActiveBuffer(), b.data());
    return b;
}

void TDataSet::GotoBookmark(const TBookmark& Bookmark) {
    if (Bookmark.empty()) return;
    CheckBrowseMode();
    DoBeforeScroll();
    InternalGotoBookmark(Bookmark.data());
    Resync(rmExact | rmCenter);
    DoAfterScroll();
}

// ---- controls ----

void TDataSet::DisableControls() {
    if (FDisableCount == 0) {
        FDisableState = FState;
        FEnableEvent = deDataSetChange;
    }
    ++FDisableCount;
}

void TDataSet::EnableControls() {
    if (FDisableCount == 0) return;
    if (--FDisableCount > 0) return;
    if (FDisableState != FState) DataEvent(deUpdateState, 0);
    if (FDisableState != dsInactive && FState != dsInactive) DataEvent(FEnableEvent, 0);
}

// ---- calculated fields and filters ----

void TDataSet::UpdateCalcFields() {
    if (FState == dsSetKey || FState == dsCalcFields || FState == dsFilter || !AutoCalcFields) return;
    if (FState != dsEdit && FState != dsInsert) return;
    GetCalcFields(ActiveBuffer());
}

void TDataSet::GetCalcFields(TRecordBuffer Buffer) {
    if (FCalcFieldsSize <= 0 || Buffer == nullptr) return;
    const TRecordBuffer oldCalc = FCalcBuffer;
    TTempState temp(this, dsCalcFields, &TDataSet::SetTempState, &TDataSet::RestoreState);
    struct Back {
        TDataSet* ds;
        TRecordBuffer b;
        ~Back() { ds->FCalcBuffer = b; }
    } back{this, oldCalc};
    CalculateFields(Buffer);
}

void TDataSet::CalculateFields(TRecordBuffer Buffer) {
    FCalcBuffer = Buffer;
    ClearCalcFields(Buffer);
    DoOnCalcFields();
}

void TDataSet::DoOnCalcFields() {
    if (OnCalcFields) OnCalcFields(this);
}

bool TDataSet::DoFilterRecord() {
    if (!FOnFilterRecord) return true;
    bool accept = true;
    TTempState temp(this, dsFilter, &TDataSet::SetTempState, &TDataSet::RestoreState);
    try {
        FOnFilterRecord(this, accept);
    } catch (...) {
        try {
            InternalHandleException();
        } catch (...) {
            // A hook that raises itself must not end the walk over the records.
        }
    }
    return accept;
}

// ---- field lists and values ----

std::vector<TField*> TDataSet::GetFieldList(const std::string& FieldNames) const {
    std::vector<TField*> out;
    for (const std::string& name : SplitFieldNames(FieldNames)) out.push_back(FieldByName(name));
    return out;
}

Variant TDataSet::GetFieldValues(const std::string& FieldName) {
    if (FieldName.find(';') == std::string::npos) return FieldByName(FieldName)->Value();
    const std::vector<TField*> fields = GetFieldList(FieldName);
    Variant v = Variant::CreateArray({{0, static_cast<int32_t>(fields.size()) - 1}}, varVariant);
    for (size_t i = 0; i < fields.size(); ++i) v.PutElement({static_cast<int32_t>(i)}, fields[i]->Value());
    return v;
}

void TDataSet::SetFieldValuesOf(const std::string& FieldName, const Variant& Value) {
    if (FieldName.find(';') == std::string::npos) {
        FieldByName(FieldName)->SetValue(Value);
        return;
    }
    const std::vector<TField*> fields = GetFieldList(FieldName);
    if (!Value.IsArray()) DatabaseError("Field values of a field list need an array of values", this);
    const int32_t low = Value.ArrayLowBound(1);
    for (size_t i = 0; i < fields.size(); ++i) {
        const int32_t at = low + static_cast<int32_t>(i);
        if (at > Value.ArrayHighBound(1)) break;
        fields[i]->SetValue(Value.GetElement({at}));
    }
}

// ---- data sources ----

bool TDataSet::IsLinkedTo(TDataSource* DataSource) {
    while (DataSource != nullptr) {
        TDataSet* ds = DataSource->DataSet();
        if (ds == nullptr) break;
        if (ds == this) return true;
        DataSource = ds->GetDataSource();
    }
    return false;
}

void TDataSet::AddDataSource(TDataSource* Source) {
    FDataSources.push_back(Source);
    Source->FDataSet = this;
    UpdateBufferCount();
    Source->UpdateState();
}

void TDataSet::RemoveDataSource(TDataSource* Source) {
    Source->FDataSet = nullptr;
    FDataSources.erase(std::remove(FDataSources.begin(), FDataSources.end(), Source), FDataSources.end());
    Source->UpdateState();
    UpdateBufferCount();
}

}  // namespace classlib
