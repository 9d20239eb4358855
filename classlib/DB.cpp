#include "classlib/DB.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace classlib {

TDataSet::TDataSet(TComponent* AOwner) : TComponent(AOwner), FFieldDefs(this), FFields(this) {}

TDataSet::~TDataSet() {
    FState = dsInactive;
    // The sources outlive this dataset only as detached ones; their links go inactive.
    const std::vector<TDataSource*> sources = FDataSources;
    FDataSources.clear();
    for (TDataSource* src : sources) {
        src->FDataSet = nullptr;
        src->UpdateState();
    }
    const std::vector<TField*> fields(FFields.begin(), FFields.end());
    for (TField* f : fields) {
        if (f->Owner() == this) {
            delete f;
        } else {
            f->FDataSet = nullptr;
            FFields.Remove(f);
        }
    }
}

void TDataSet::CheckActive() const {
    if (!Active()) DatabaseError("Cannot perform this operation on a closed dataset", this);
}

void TDataSet::CheckInactive() const {
    if (Active()) DatabaseError("Cannot perform this operation on an open dataset", this);
}

// ---- state ----

void TDataSet::SetState(TDataSetState Value) {
    if (FState == Value) return;
    FState = Value;
    FModified = false;
    DataEvent(deUpdateState, 0);
}

TDataSetState TDataSet::SetTempState(TDataSetState Value) {
    const TDataSetState old = FState;
    FState = Value;
    ++FTempStateCount;
    return old;
}

void TDataSet::RestoreState(TDataSetState Value) {
    FState = Value;
    if (FTempStateCount > 0) --FTempStateCount;
}

void TDataSet::SetActive(bool Value) {
    if (IsLoading()) {
        FStreamedActive = Value;
        return;
    }
    if (Value == Active()) return;
    const bool events = !IsDestroying();
    if (Value) {
        if (BeforeOpen) BeforeOpen(this);
        FDefaultFields = FFields.Count() == 0;
        try {
            OpenCursor(false);
        } catch (...) {
            try {
                CloseCursor();
            } catch (...) {
                // The open's failure is the one to report.
            }
            throw;
        }
        SetState(dsBrowse);
        if (AfterOpen) AfterOpen(this);
        if (!IsEmpty()) DoAfterScroll();
    } else {
        // An edit or insert in progress is given up before the dataset closes.
        if (FState == dsEdit || FState == dsInsert) {
            if (events) {
                Cancel();
            } else {
                InternalCancel();
                FState = dsBrowse;
            }
        }
        if (events && BeforeClose) BeforeClose(this);
        SetState(dsInactive);
        CloseCursor();
        if (events && AfterClose) AfterClose(this);
    }
}

void TDataSet::Loaded() {
    TComponent::Loaded();
    if (FStreamedActive) {
        FStreamedActive = false;
        SetActive(true);
    }
}

void TDataSet::Notification(TComponent* AComponent, TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
}

void TDataSet::OpenCursor(bool InfoQuery) {
    if (InfoQuery) {
        InternalInitFieldDefs();
        return;
    }
    InternalOpen();
    UpdateBufferCount();
    FBOF = true;
    FEOF = FRecordCount == 0;
}

void TDataSet::CloseCursor() {
    ClearBuffers();
    SetBufListSize(0);
    FBufferCount = 0;
    InternalClose();
}

void TDataSet::InitFieldDefs() {
    if (IsCursorOpen()) {
        InternalInitFieldDefs();
        return;
    }
    const TDataSetState old = FState;
    FState = dsOpening;
    try {
        OpenCursor(true);
    } catch (...) {
        try {
            CloseCursor();
        } catch (...) {
            // The first failure is the one to report.
        }
        FState = old;
        throw;
    }
    CloseCursor();
    FState = old;
}

void TDataSet::UpdateIndexDefs() {}

void TDataSet::DefChanged(TDefCollection* Sender) { (void)Sender; }

// ---- fields ----

void TDataSet::CreateFields() {
    for (int i = 0; i < FFieldDefs.Count(); ++i) {
        const TFieldDef* def = FFieldDefs.Items(i);
        TField* f = CreateFieldOfType(def->DataType(), this);
        if (f == nullptr)
            DatabaseErrorFmt("Field '%s' is of an unsupported type (%s)", {def->Name(), FieldTypeName(def->DataType())},
                             this);
        try {
            if (def->DataType() != ftGuid) f->SetSize(def->Size());
            f->SetFieldName(def->Name());
            f->SetRequired(def->Required());
            f->SetDataSet(this);
        } catch (...) {
            delete f;
            throw;
        }
    }
}

void TDataSet::DestroyFields() {
    const std::vector<TField*> fields(FFields.begin(), FFields.end());
    for (TField* f : fields) {
        if (f->Owner() == this) {
            delete f;
        } else {
            f->FDataSet = nullptr;
            FFields.Remove(f);
        }
    }
}

namespace {

// Field and definition types that show the same data.
bool CompatibleTypes(TFieldType Field, TFieldType Def) {
    if (Field == Def) return true;
    auto text = [](TFieldType t) { return t == ftString || t == ftFixedChar; };
    return text(Field) && text(Def);
}

}  // namespace

void TDataSet::BindFields(bool Binding) {
    FCalcFieldsSize = 0;
    for (TField* f : FFields) {
        if (!Binding) {
            f->FFieldNo = 0;
            f->FOffset = 0;
            continue;
        }
        if (f->InCalcArea()) {
            f->FFieldNo = -1;
            f->FOffset = FCalcFieldsSize;
            FCalcFieldsSize += f->DataSize() + 1;
            continue;
        }
        const int i = FFieldDefs.IndexOf(f->FieldName());
        if (i < 0) DatabaseErrorFmt("Field '%s' not found", {f->DisplayName()}, this);
        const TFieldDef* def = FFieldDefs.Items(i);
        if (!CompatibleTypes(f->DataType(), def->DataType()))
            DatabaseErrorFmt("Type mismatch for field '%s', expecting: %s actual: %s",
                             {f->DisplayName(), FieldTypeName(f->DataType()), FieldTypeName(def->DataType())}, this);
        f->FFieldNo = i + 1;
    }
}

void TDataSet::CheckRequiredFields() {
    for (TField* f : FFields)
        if (f->Required() && !f->ReadOnly() && f->FieldKind() == fkData && f->IsNull())
            DatabaseErrorFmt("Field '%s' must have a value", {f->DisplayName()}, this);
}

bool TDataSet::ReadFieldData(TField* Field, void* Buffer, bool NativeFormat) {
    if (NativeFormat || Buffer == nullptr) return GetFieldData(Field, Buffer);
    std::vector<uint8_t> native(static_cast<size_t>(std::max<int32_t>(Field->DataSize(), 16)) + 2, 0);
    if (!GetFieldData(Field, native.data())) return false;
    DataConvert(Field, native.data(), Buffer, false);
    return true;
}

void TDataSet::WriteFieldData(TField* Field, const void* Buffer, bool NativeFormat) {
    if (NativeFormat || Buffer == nullptr) {
        SetFieldData(Field, Buffer);
        return;
    }
    std::vector<uint8_t> native(static_cast<size_t>(std::max<int32_t>(Field->DataSize(), 16)) + 2, 0);
    DataConvert(Field, Buffer, native.data(), true);
    SetFieldData(Field, native.data());
}

bool TDataSet::GetFieldData(TField* Field, void* Buffer) {
    (void)Field;
    (void)Buffer;
    return false;
}

// Native buffers are unaligned, in the machine's own byte order.
static void StoreNativeInt32(void* Dest, int32_t V) { std::memcpy(Dest, &V, 4); }
static int32_t LoadNativeInt32(const void* Source) {
    int32_t v;
    std::memcpy(&v, Source, 4);
    return v;
}

void TDataSet::DataConvert(TField* Field, const void* Source, void* Dest, bool ToNative) {
    switch (Field->DataType()) {
        case ftDate: {
            if (ToNative) {
                const double dt = *static_cast<const TDateTime*>(Source);
                const double days = std::trunc(dt) + DateDelta;
                if (!(days >= INT32_MIN && days <= INT32_MAX)) throw EInvalidOp("Invalid floating point operation");
                StoreNativeInt32(Dest, static_cast<int32_t>(days));
            } else {
                *static_cast<TDateTime*>(Dest) = static_cast<double>(LoadNativeInt32(Source)) - DateDelta;
            }
            break;
        }
        case ftTime: {
            if (ToNative) {
                const double dt = *static_cast<const TDateTime*>(Source);
                if (!std::isfinite(dt)) throw EInvalidOp("Invalid floating point operation");
                double ms = std::nearbyint(std::fabs(dt - std::trunc(dt)) * MSecsPerDay);
                if (ms >= MSecsPerDay) ms = 0;  // rounded up to the next midnight
                StoreNativeInt32(Dest, static_cast<int32_t>(ms));
            } else {
                *static_cast<TDateTime*>(Dest) = static_cast<double>(LoadNativeInt32(Source)) / MSecsPerDay;
            }
            break;
        }
        case ftDateTime: {
            if (ToNative) {
                const double v = (*static_cast<const TDateTime*>(Source) + DateDelta) * MSecsPerDay;
                std::memcpy(Dest, &v, 8);
            } else {
                double v;
                std::memcpy(&v, Source, 8);
                *static_cast<TDateTime*>(Dest) = v / MSecsPerDay - DateDelta;
            }
            break;
        }
        case ftWideString: {
            // The first Size characters, then the terminator. The native side is a record
            // buffer, where a wide field may start at an odd offset: copied bytewise.
            const size_t size = static_cast<size_t>(std::max<int32_t>(Field->Size(), 0));
            if (ToNative) {
                const auto& ws = *static_cast<const std::u16string*>(Source);
                const size_t n = std::min(ws.size(), size);
                auto* out = static_cast<unsigned char*>(Dest);
                std::memcpy(out, ws.data(), n * 2);
                const char16_t zero = 0;
                std::memcpy(out + n * 2, &zero, 2);
            } else {
                const auto* in = static_cast<const unsigned char*>(Source);
                std::u16string text;
                for (size_t n = 0; n < size; ++n) {
                    char16_t c;
                    std::memcpy(&c, in + n * 2, 2);
                    if (c == 0) break;
                    text.push_back(c);
                }
                *static_cast<std::u16string*>(Dest) = std::move(text);
            }
            break;
        }
        default:
            std::memcpy(Dest, Source, static_cast<size_t>(std::max<int32_t>(Field->DataSize(), 0)));
            break;
    }
}

bool TDataSet::GetIsIndexField(TField* Field) {
    (void)Field;
    return false;
}

bool TDataSet::GetCanModify() { return true; }

void TDataSet::ClearCalcFields(TRecordBuffer Buffer) { (void)Buffer; }

void TDataSet::InitRecord(TRecordBuffer Buffer) {
    InternalInitRecord(Buffer);
    ClearCalcFields(Buffer);
    SetBookmarkFlag(Buffer, bfInserted);
}

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
    (void)Field;
    (void)Mode;
    return nullptr;
}

void TDataSet::CloseBlob(TField* Field) { (void)Field; }

bool TDataSet::GetBlobValue(TField* Field, std::string& Value) {
    (void)Field;
    (void)Value;
    return false;
}

// ---- events ----

TDataSource* TDataSet::GetDataSource() { return nullptr; }

void TDataSet::DataEvent(TDataEvent Event, intptr_t Info) {
    if (Event == deFieldChange) {
        auto* field = reinterpret_cast<TField*>(Info);
        if (field != nullptr) {
            if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) {
                FModified = true;
                UpdateCalcFields();
            }
            field->Change();
        }
    } else if (Event == dePropertyChange) {
        FFieldDefs.SetUpdated(false);  // a property the definitions depend on changed
    }
    if (FDisableCount == 0 && FTempStateCount == 0) {
        NotifyDataSources(Event, Info);
    } else if ((Event == deUpdateState && FState == dsInactive) || Event == deLayoutChange) {
        FEnableEvent = deLayoutChange;
    }
}

void TDataSet::NotifyDataSources(TDataEvent Event, intptr_t Info) {
    // A handler may detach a source while the event travels: walk a copy and skip the
    // sources that left.
    const std::vector<TDataSource*> sources = FDataSources;
    for (TDataSource* src : sources)
        if (std::find(FDataSources.begin(), FDataSources.end(), src) != FDataSources.end()) src->DataEvent(Event, Info);
}

void TDataSet::DoBeforeScroll() {
    if (BeforeScroll) BeforeScroll(this);
}

void TDataSet::DoAfterScroll() {
    if (AfterScroll) AfterScroll(this);
}

void TDataSet::DoOnNewRecord() {
    if (OnNewRecord) OnNewRecord(this);
}

// ---- record numbers and search: a derived dataset answers them ----

void TDataSet::InternalInsert() {}
void TDataSet::InternalEdit() {}
void TDataSet::InternalPost() { CheckRequiredFields(); }
void TDataSet::InternalCancel() {}
void TDataSet::InternalRefresh() {}

int32_t TDataSet::GetRecordCount() { return -1; }
int32_t TDataSet::GetRecNo() { return -1; }
void TDataSet::SetRecNo(int32_t Value) { (void)Value; }
bool TDataSet::FindRecord(bool Restart, bool GoForward) {
    (void)Restart;
    (void)GoForward;
    return false;
}
bool TDataSet::Locate(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    (void)KeyFields;
    (void)KeyValues;
    (void)Options;
    return false;
}
Variant TDataSet::Lookup(const std::string& KeyFields, const Variant& KeyValues, const std::string& ResultFields) {
    (void)KeyFields;
    (void)KeyValues;
    (void)ResultFields;
    return Variant::Null();
}
bool TDataSet::BookmarkValid(const TBookmark& Bookmark) {
    (void)Bookmark;
    return false;
}
int32_t TDataSet::CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) {
    if (Bookmark1.empty() && Bookmark2.empty()) return 0;
    if (Bookmark1.empty()) return 1;
    if (Bookmark2.empty()) return -1;
    return 0;
}
bool TDataSet::GetCurrentRecord(TRecordBuffer Buffer) {
    (void)Buffer;
    return false;
}

// ---- filters: the base keeps the values; a dataset that filters acts on them ----

void TDataSet::SetFiltered(bool Value) { FFiltered = Value; }
void TDataSet::SetFilterText(const std::string& Value) { FFilterText = Value; }
void TDataSet::SetFilterOptions(TFilterOptions Value) { FFilterOptions = Value; }
void TDataSet::SetOnFilterRecord(const TFilterRecordEvent& Value) { FOnFilterRecord = Value; }

// ---- provider support ----

bool TDataSet::PSIsSQLSupported() { return false; }
bool TDataSet::PSIsSQLBased() { return false; }
bool TDataSet::PSInTransaction() { return false; }
void TDataSet::PSStartTransaction() {}
void TDataSet::PSEndTransaction(bool Commit) { (void)Commit; }
int32_t TDataSet::PSExecuteStatement(const std::string& ASQL, TParams* AParams) {
    (void)ASQL;
    (void)AParams;
    DatabaseError("This dataset does not execute statements", this);
}
std::unique_ptr<EUpdateError> TDataSet::PSGetUpdateException(const Exception& E, const EUpdateError* Prev) {
    if (const auto* update = dynamic_cast<const EUpdateError*>(&E)) return std::make_unique<EUpdateError>(*update);
    const int32_t previous = Prev ? Prev->ErrorCode : 0;
    return std::make_unique<EUpdateError>(E.Message(), "", previous, previous, E.Message());
}

void TDataSet::PSGetAttributes(std::vector<TPacketAttribute>&) {}

std::string TDataSet::PSGetQuoteChar() { return "\""; }
void TDataSet::PSReset() {}
bool TDataSet::PSUpdateRecord(TUpdateKind UpdateKind, TDataSet* Delta) {
    (void)UpdateKind;
    (void)Delta;
    return false;
}
std::string TDataSet::PSGetTableName() { return {}; }
void TDataSet::PSSetCommandText(const std::string& CommandText) { (void)CommandText; }
std::unique_ptr<TIndexDefs> TDataSet::PSGetIndexDefs(TIndexOptions IndexTypes) {
    (void)IndexTypes;
    return nullptr;
}
std::unique_ptr<TIndexDef> TDataSet::PSGetDefaultOrder() { return nullptr; }
std::string TDataSet::PSGetKeyFields() { return {}; }
void TDataSet::PSSetParams(TParams* AParams) { (void)AParams; }
void TDataSet::PSExecute() { DatabaseError("This dataset does not execute commands", this); }
TParams* TDataSet::PSGetParams() { return nullptr; }

std::unique_ptr<TIndexDefs> TDataSet::SelectIndexDefs(const TIndexDefs& Source, TIndexOptions IndexTypes) {
    auto result = std::make_unique<TIndexDefs>(nullptr);
    for (int i = 0; i < Source.Count(); ++i) {
        const TIndexDef* d = Source.Items(i);
        if (IndexTypes != 0 && (d->Options() & IndexTypes) == 0) continue;
        result->Add(d->Name(), d->Fields(), d->Options())->Assign(d);
    }
    return result;
}

}  // namespace classlib
