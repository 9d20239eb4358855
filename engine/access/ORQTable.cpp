// TORQTable: cursor, definitions, index choice, keys, ranges and master-detail. The
// maintenance operations are in ORQTableMaintenance.cpp.
#include "engine/access/ORQTable.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>

#include "classlib/DBFields.h"
#include "classlib/DBParams.h"
#include "engine/access/ORQBLOBStream.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDiskTable.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQLocalBLOBStream.h"

namespace orq {

using namespace classlib;

namespace {
constexpr const char* SNilPointer = "Nil pointer occured";

std::atomic<int64_t> GIndexDefinitionBuilds{0};

std::string Trimmed(const std::string& S) {
    size_t b = 0, e = S.size();
    while (b < e && std::isspace(static_cast<unsigned char>(S[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(S[e - 1]))) --e;
    return S.substr(b, e - b);
}

}  // namespace

TORQTable::TORQTable(TComponent* AOwner) : TORQDataSet(AOwner) {
    FMasterLink = std::make_unique<TMasterDataLink>(this);
    FMasterLink->OnMasterChange = [this](TPersistent*) { MasterChanged(); };
    FMasterLink->OnMasterDisable = [this](TPersistent*) { MasterDisabled(); };
}

TORQTable::~TORQTable() {
    try {
        Close();
    } catch (...) {
    }
    FMasterLink->SetDataSource(nullptr);
}

// ---------------------------------------------------------------------------------
// Properties

void TORQTable::SetTableName(const std::string& Value) {
    if (IsLoading()) {
        FTableName = Value;
        return;
    }
    if (Value == FTableName) return;
    CheckInactive();
    FTableName = Value;
    DataEvent(dePropertyChange, 0);
}

void TORQTable::SetExclusive(bool Value) {
    CheckInactive();
    FExclusive = Value;
}

void TORQTable::SetTemporary(bool Value) {
    CheckInactive();
    FTemporary = Value;
    if (Value) SetDatabaseName("TEMP");
}

void TORQTable::CheckTableName() const {
    if (Trimmed(FTableName).empty()) DatabaseError("Missing TableName property", this);
}

bool TORQTable::Exists() {
    if (DatabaseName().empty()) return false;
    try {
        TORQDatabaseFlagScope flag(*this, dfTableOp);
        if (Database() == nullptr) return false;
        return Database()->TableExists(FTableName);
    } catch (...) {
        return false;
    }
}

std::string TORQTable::MasterFields() const { return FMasterLink->FieldNames(); }

void TORQTable::SetMasterFields(const std::string& Value) { FMasterLink->SetFieldNames(Value); }

void TORQTable::SetMasterSource(TDataSource* Source) {
    if (Source != nullptr && IsLinkedTo(Source)) DatabaseError("Circular datalinks are not allowed", this);
    FMasterLink->SetDataSource(Source);
}

TDataSource* TORQTable::GetDataSource() { return FMasterLink->DataSource(); }

void TORQTable::DataEvent(TDataEvent Event, intptr_t Info) {
    if (Event == dePropertyChange) IndexDefs().SetUpdated(false);
    TORQDataSet::DataEvent(Event, Info);
}

void TORQTable::DefChanged(TDefCollection* Sender) {
    (void)Sender;
    StoreDefs = true;
}

void TORQTable::PSSetCommandText(const std::string& CommandText) {
    if (!CommandText.empty()) SetTableName(CommandText);
}

std::unique_ptr<TIndexDefs> TORQTable::PSGetIndexDefs(TIndexOptions IndexTypes) {
    IndexDefs().Update();
    return SelectIndexDefs(IndexDefs(), IndexTypes);
}

bool TORQTable::FieldsExist(const std::string& Names) {
    const bool byDefs = Fields().Count() == 0;
    size_t pos = 0;
    while (pos < Names.size()) {
        const std::string name = ExtractFieldName(Names, pos);
        if (name.empty()) continue;
        if (byDefs ? !FieldDefExists(FieldDefs(), name) : FindField(name) == nullptr) return false;
    }
    return true;
}

std::unique_ptr<TIndexDef> TORQTable::PSGetDefaultOrder() {
    IndexDefs().Update();
    const TIndexDef* found = nullptr;
    try {
        if (!IndexName().empty())
            found = IndexDefs().Find(IndexName());
        else if (!IndexFieldNames().empty())
            found = IndexDefs().FindIndexForFields(IndexFieldNames());
        if (found != nullptr && !FieldsExist(found->Fields())) found = nullptr;
    } catch (const std::exception&) {
        found = nullptr;
    }
    for (TIndexOptions option : {TIndexOptions(ixPrimary), TIndexOptions(ixUnique)}) {
        for (int i = 0; found == nullptr && i < IndexDefs().Count(); ++i) {
            const TIndexDef* d = IndexDefs().Items(i);
            if ((d->Options() & option) && FieldsExist(d->Fields())) found = d;
        }
    }
    if (found == nullptr) return nullptr;
    auto copy = std::make_unique<TIndexDef>(nullptr, std::string(), std::string(), 0);
    copy->Assign(found);
    return copy;
}

std::string TORQTable::PSGetKeyFields() {
    std::string result = TORQDataSet::PSGetKeyFields();
    if (!result.empty() || !Exists()) return result;
    IndexDefs().Update();
    for (int i = 0; i < IndexDefs().Count(); ++i) {
        const TIndexDef* d = IndexDefs().Items(i);
        if ((d->Options() & ixUnique) && FieldsExist(d->Fields())) return d->Fields();
    }
    if (Fields().Count() == 0) {
        for (int i = 0; i < FieldDefs().Count(); ++i) result += (i > 0 ? ";" : "") + FieldDefs().Items(i)->Name();
        return result;
    }
    for (int32_t i = 0; i < Fields().Count(); ++i) result += (i > 0 ? ";" : "") + Fields().Fields(i)->FieldName();
    return result;
}

void TORQTable::PSSetParams(TParams* AParams) {
    if (AParams == nullptr || AParams->Count() == 0) {
        if (Active()) CancelRange();
        PSReset();
        return;
    }
    Open();
    PSReset();
    auto assign = [&] {
        for (int i = 0; i < AParams->Count(); ++i) {
            const TParam* p = AParams->Items(i);
            TField* f = p->Name().empty() ? GetIndexField(i) : FieldByName(p->Name());
            f->SetValue(p->Value());
        }
    };
    SetRangeStart();
    assign();
    SetRangeEnd();
    assign();
    ApplyRange();
}

// ---------------------------------------------------------------------------------
// The cursor and the definitions

bool TORQTable::DisableTempFiles() {
    if (InMemory() || TableDisableTempFiles) return true;
    TORQDatabase* db = Database();
    if (db == nullptr) return false;
    if (db->OwnedBySession) return false;  // the table's own flag, never set here
    return db->DisableTempFiles;
}

std::unique_ptr<TORQLocalCursor> TORQTable::BuildCursor() {
    TORQDatabase* db = Database();
    if (db == nullptr || db->Handle() == nullptr) RaiseNative(20001, "Error creating table handle");
    auto c = std::make_unique<TORQLocalCursor>();
    c->Session = db->Handle();
    c->TableName = FTableName;
    c->Exclusive = FExclusive ? 1 : 0;
    c->ReadOnly = (ReadOnly() || db->ReadOnly()) ? 1 : 0;
    c->InMemory = InMemory() ? 1 : 0;
    c->TemporaryTable = FTemporary ? 1 : 0;
    c->TableOption = DisableTempFiles() ? 1 : 0;
    c->DesignTime = orq::IsDesignTime() ? 1 : 0;
    // The full repair's read: the record page index rebuilt from the pages, the file not
    // written.
    c->RepairOption = FRepairMode ? TORQDiskTableData::RepairRead : 0;
    // Data fields without a definition of their name become definitions.
    for (int32_t i = 0; i < Fields().Count(); ++i) {
        TField* f = Fields().Fields(i);
        if (f->FieldKind() != fkData || FieldDefExists(FieldDefs(), f->FieldName())) continue;
        FieldDefs().Add(f->FieldName(), f->DataType(), f->Size(), f->Required());
    }
    const bool mayCreate = FTemporary || InMemory();
    if (mayCreate) {
        if (FieldDefs().Count() == 0) {
            if (AdvFieldDefs().Count() > 0) {
                AdvFieldDefsToFieldDefs(AdvFieldDefs(), FieldDefs());
                AdvFieldDefsToEngineDefs(AdvFieldDefs(), EngineFieldDefs(), EngineIndexDefs(), FTemporary,
                                         EngineConstraintDefs());
            }
        } else {
            FieldDefsToEngineFieldDefs(FieldDefs(), EngineFieldDefs());
        }
        if (IndexDefs().Count() > 0) {
            IndexDefsToAdvIndexDefs(IndexDefs(), AdvIndexDefs());
            AdvIndexDefsToEngineIndexDefs(AdvIndexDefs(), FieldDefs(), EngineIndexDefs());
        }
    }
    c->OpenTable(&EngineFieldDefs(), &EngineIndexDefs(), &EngineConstraintDefs());
    SetReadOnly(c->ReadOnly != 0 || ReadOnly());
    return c;
}

TORQCursor* TORQTable::CreateCursor() {
    CheckTableName();
    IndexDefs().SetUpdated(false);
    std::unique_ptr<TORQLocalCursor> c;
    try {
        c = BuildCursor();
    } catch (const EORQException&) {
        // A restructure cut short may have left the table under its interim name; a
        // file that cannot be changed keeps it there for its repair. A rebuild resolves
        // the leftovers in its copy and never writes its source.
        TORQDatabase* db = Database();
        if (db != nullptr && !db->RebuildOperation().empty()) throw;
        bool resolved = false;
        try {
            resolved = ResolveRestructureLeftovers();
        } catch (...) {
        }
        if (!resolved) throw;
        c = BuildCursor();
    }
    FBuildingCursor = c.get();
    try {
        // Building the index list also builds the field list, which the open builds
        // again from its cursor: a table that defers its index list skips both here.
        if (!DeferIndexDefs) IndexDefs().Update();
        const std::string name = GetIndexNameFor(FIndexText, FIndexByFieldNames);
        if (!name.empty()) c->SetIndexName(name);
    } catch (...) {
        FBuildingCursor = nullptr;
        throw;
    }
    FBuildingCursor = nullptr;
    return c.release();
}

void TORQTable::AfterCursorOpened() { CheckMasterRange(); }

int64_t TORQTable::IndexDefinitionBuilds() { return GIndexDefinitionBuilds; }

void TORQTable::InitFieldDefs() {
    if (Cursor() != nullptr) {
        InternalInitFieldDefs();
        return;
    }
    TORQDatabaseFlagScope flag(*this, dfFieldList);
    CheckTableName();
    // While the dataset's own cursor is being made, it has the table open already: the
    // definitions come from it rather than from a second open of the table.
    std::unique_ptr<TORQLocalCursor> own;
    auto* c = dynamic_cast<TORQLocalCursor*>(FBuildingCursor);
    if (c == nullptr) {
        own = BuildCursor();
        c = own.get();
    }
    c->InitFieldDefs();
    EngineFieldDefs().Assign(c->FieldDefs);
    EngineConstraintDefs().Assign(c->ConstraintDefs);
    FieldDefs().Clear();
    EngineFieldDefsToFieldDefs(c->FieldDefs, c->ConstraintDefs, FieldDefs());
    EngineFieldDefsToAdvFieldDefs(EngineFieldDefs(), EngineFieldDefs(), EngineConstraintDefs(), AdvFieldDefs());
    RestructureFieldDefs().Assign(AdvFieldDefs());
}

void TORQTable::UpdateIndexDefs() {
    ++GIndexDefinitionBuilds;
    TORQDatabaseFlagScope flag(*this, dfIndexList);
    FieldDefs().Update();
    TORQCursor* c = Cursor() != nullptr ? Cursor() : FBuildingCursor;
    std::unique_ptr<TORQLocalCursor> own;
    if (c == nullptr) {
        own = BuildCursor();
        c = own.get();
    }
    EngineIndexDefsToAdvIndexDefs(c->GetIndexDefs(), AdvIndexDefs());
    AdvIndexDefsToIndexDefs(AdvIndexDefs(), IndexDefs());
    RestructureIndexDefs().Assign(AdvIndexDefs(), false);
}

void TORQTable::DoOnNewRecord() {
    if (FMasterLink->Active() && !FMasterLink->Fields().empty()) {
        const std::vector<TField*>& master = FMasterLink->Fields();
        for (size_t i = 0; i < master.size(); ++i) GetIndexField(static_cast<int32_t>(i))->SetValue(master[i]->Value());
    }
    TORQDataSet::DoOnNewRecord();
    TORQCursor* c = Cursor();
    if (c == nullptr) return;
    // Every BLOB and CLOB field with a default gets its text before the program edits.
    for (int32_t i = 0; i < c->FieldDefs.GetCount() && i < Fields().Count(); ++i) {
        const TORQFieldDef& def = *c->FieldDefs.GetItem(i);
        const uint8_t base = AdvancedToBaseFieldType(def.FieldType);
        if (base != 18 && base != 19) continue;
        if (def.DefaultValue.IsNull()) continue;
        std::string text;
        if (def.DefaultExpression != nullptr) {
            try {
                const TORQVariant* v = def.DefaultExpression->GetValue(true);
                text = v != nullptr ? v->GetAsString() : def.DefaultValue.GetAsString();
            } catch (...) {
                text = def.DefaultValue.GetAsString();
            }
        } else {
            text = def.DefaultValue.GetAsString();
        }
        auto* field = dynamic_cast<TBlobField*>(Fields().Fields(i));
        if (field == nullptr) continue;
        std::unique_ptr<TStream> s = CreateBlobStream(field, bmWrite);
        if (s != nullptr && !text.empty()) s->Write(text.data(), static_cast<int32_t>(text.size()));
    }
}

void TORQTable::Post() {
    TORQDataSet::Post();
    if (State() == dsSetKey) PostKeyBuffer(true);
}

void TORQTable::Cancel() {
    TORQDataSet::Cancel();
    if (State() == dsSetKey) PostKeyBuffer(false);
}

// ---------------------------------------------------------------------------------
// The index

std::string TORQTable::GetIndexNameFor(const std::string& Text, bool ByFieldNames) {
    if (Text.empty()) return {};
    IndexDefs().Update();
    if (ByFieldNames) return IndexDefs().FindIndexForFields(Text)->Name();
    return Text;
}

void TORQTable::SetIndex(const std::string& Text, bool ByFieldNames) {
    if (Active()) CheckBrowseMode();
    if ((Text != FIndexText || ByFieldNames != FIndexByFieldNames) && Active()) {
        const std::string name = GetIndexNameFor(Text, ByFieldNames);
        SwitchToIndex(name);
        FIndexText = Text;
        FIndexByFieldNames = ByFieldNames;
        CheckMasterRange();
    }
    FIndexText = Text;
    FIndexByFieldNames = ByFieldNames;
    if (Active()) Resync(0);
}

std::string TORQTable::CreateTemporaryIndex(const std::vector<std::string>& Fields,
                                            const std::vector<std::string>& DescFields,
                                            const std::vector<std::string>& CaseInsFields) {
    if (Cursor() == nullptr) RaiseNative(tablenil::CreateTemporaryIndex, SNilPointer);
    return Cursor()->CreateTemporaryIndex(Fields, DescFields, CaseInsFields);
}

bool TORQTable::HasIndexForFields(const std::vector<std::string>& Fields, const std::vector<std::string>& DescFields,
                                  const std::vector<std::string>& CaseInsFields) {
    if (Cursor() == nullptr) RaiseNative(tablenil::HasIndexForFields, SNilPointer);
    return Cursor()->HasIndexForFields(Fields, DescFields, CaseInsFields);
}

void TORQTable::SetTemporaryIndex(const std::vector<std::string>& Fields, const std::vector<std::string>& DescFields,
                                  const std::vector<std::string>& CaseInsFields) {
    if (Cursor() == nullptr) RaiseNative(tablenil::SetTemporaryIndex, SNilPointer);
    Cursor()->SetTemporaryIndex(Fields, DescFields, CaseInsFields);
    FIndexText = Cursor()->IndexName;
    FIndexByFieldNames = false;
    BuildIndexFieldList();
}

void TORQTable::AssignIndexPosition(TORQTable& Other) {
    if (Cursor() == nullptr || Other.Cursor() == nullptr) RaiseNative(tablenil::SetTemporaryIndex, SNilPointer);
    Cursor()->SetIndexName(Other.Cursor()->IndexName);
    Cursor()->RecordBitmap.reset();
    BuildIndexFieldList();
}

int64_t TORQTable::GetLastAutoincValue(const std::string& FieldName) {
    if (Cursor() == nullptr) RaiseNative(tablenil::SetTemporaryIndex, SNilPointer);
    TField* f = FieldByName(FieldName);
    return Cursor()->GetLastAutoincValue(Fields().IndexOf(f));
}

// ---------------------------------------------------------------------------------
// Keys and ranges

void TORQTable::SetKeyBuffer(TKeyIndex Kind, bool Clear) {
    if (Cursor() == nullptr) RaiseNative(tablenil::SetKey, SNilPointer);
    CheckBrowseMode();
    TKeyBuffer& k = KeyBuffer(Kind);
    TKeyBuffer& save = KeyBuffer(kiSave);
    std::memcpy(save.Record, k.Record, static_cast<size_t>(Cursor()->RecordBufferSize));
    save.Modified = k.Modified;
    save.Exclusive = k.Exclusive;
    save.FieldCount = k.FieldCount;
    if (Clear) {
        Cursor()->ClearRecordBuffer(k.Record);
        k.Modified = false;
        k.Exclusive = false;
        k.FieldCount = 0;
    }
    SetCurrentKeyBuffer(&k);
    SetState(dsSetKey);
    SetModified(k.Modified);
    DataEvent(deDataSetChange, 0);
}

void TORQTable::PostKeyBuffer(bool Commit) {
    if (Cursor() == nullptr) RaiseNative(tablenil::PostKey, SNilPointer);
    DataEvent(deCheckBrowseMode, 0);
    TKeyBuffer* k = CurrentKeyBuffer();
    if (k != nullptr) {
        if (Commit) {
            k->Modified = k->Modified || Modified();
        } else {
            const TKeyBuffer& save = KeyBuffer(kiSave);
            std::memcpy(k->Record, save.Record, static_cast<size_t>(Cursor()->RecordBufferSize));
            k->Modified = save.Modified;
            k->Exclusive = save.Exclusive;
            k->FieldCount = save.FieldCount;
        }
    }
    SetState(dsBrowse);
    SetCurrentKeyBuffer(nullptr);
    DataEvent(deDataSetChange, 0);
}

bool TORQTable::KeyExclusive() const {
    TKeyBuffer* k = CurrentKeyBuffer();
    if (State() != dsSetKey || k == nullptr) DatabaseError("Dataset not in edit or insert mode", this);
    return k->Exclusive;
}

void TORQTable::SetKeyExclusive(bool Value) {
    TKeyBuffer* k = CurrentKeyBuffer();
    if (State() != dsSetKey || k == nullptr) DatabaseError("Dataset not in edit or insert mode", this);
    k->Exclusive = Value;
}

int32_t TORQTable::KeyFieldCount() const {
    TKeyBuffer* k = CurrentKeyBuffer();
    if (State() != dsSetKey || k == nullptr) DatabaseError("Dataset not in edit or insert mode", this);
    return k->FieldCount;
}

void TORQTable::SetKeyFieldCount(int32_t Value) {
    TKeyBuffer* k = CurrentKeyBuffer();
    if (State() != dsSetKey || k == nullptr) DatabaseError("Dataset not in edit or insert mode", this);
    k->FieldCount = Value;
}

TField* TORQTable::GetIndexField(int32_t Index) {
    const std::vector<int32_t>& numbers = IndexFieldNumbers();
    if (Index < 0 || Index >= static_cast<int32_t>(numbers.size())) DatabaseError("Field index out of range", this);
    const int32_t no = numbers[static_cast<size_t>(Index)];
    for (int32_t i = 0; i < Fields().Count(); ++i)
        if (Fields().Fields(i)->FieldNo() == no) return Fields().Fields(i);
    const std::string name = no - 1 < FieldDefs().Count() ? FieldDefs().Items(no - 1)->Name() : std::string();
    DatabaseErrorFmt("Cannot access index field '%s'", {name}, this);
}

void TORQTable::SetIndexField(int32_t Index, TField* Value) { GetIndexField(Index)->SetValue(Value->Value()); }

int32_t TORQTable::KeyColumns(const TKeyBuffer& Key) const {
    return Key.FieldCount > 0 ? std::min<int32_t>(Key.FieldCount, IndexFieldCount()) : IndexFieldCount();
}

bool TORQTable::SetCursorRange() {
    if (Cursor() == nullptr) RaiseNative(tablenil::SetRange, SNilPointer);
    TORQCursor& c = *Cursor();
    TKeyBuffer& start = KeyBuffer(kiRangeStart);
    TKeyBuffer& end = KeyBuffer(kiRangeEnd);
    TKeyBuffer& curStart = KeyBuffer(kiCurRangeStart);
    TKeyBuffer& curEnd = KeyBuffer(kiCurRangeEnd);
    for (TKeyBuffer* k : {&start, &end, &curStart, &curEnd}) c.ClearUnusedFieldBytes(k->Record);
    const size_t r = static_cast<size_t>(c.RecordSize);
    auto same = [r](const TKeyBuffer& A, const TKeyBuffer& B) {
        return A.Modified == B.Modified && A.Exclusive == B.Exclusive && A.FieldCount == B.FieldCount &&
               std::memcmp(A.Record, B.Record, r) == 0;
    };
    if (same(start, curStart) && same(end, curEnd)) return false;
    for (auto [from, to] : {std::pair{&start, &curStart}, std::pair{&end, &curEnd}}) {
        std::memcpy(to->Record, from->Record, r);
        to->Modified = from->Modified;
        to->Exclusive = from->Exclusive;
        to->FieldCount = from->FieldCount;
    }
    c.SetRange(curStart.Modified ? curStart.Record : nullptr, curEnd.Modified ? curEnd.Record : nullptr,
               curStart.Exclusive, curEnd.Exclusive, KeyColumns(curStart), KeyColumns(curEnd));
    return true;
}

void TORQTable::UnderReadLock(const std::function<void()>& F) {
    TORQCursor* c = Cursor();
    const bool locked = c != nullptr && c->LockTable(1, 900, 0, 100);
    try {
        F();
    } catch (...) {
        if (locked) c->UnlockTable(1, 0);
        throw;
    }
    if (locked) c->UnlockTable(1, 0);
}

void TORQTable::ApplyRange() {
    CheckBrowseMode();
    if (SetCursorRange()) UnderReadLock([this] { First(); });
}

void TORQTable::CancelRange() {
    CheckBrowseMode();
    UpdateCursorPos();
    if (ResetRange()) UnderReadLock([this] { Resync(0); });
}

void TORQTable::AssignKeyValues(const std::vector<Variant>& Values) {
    for (size_t i = 0; i < Values.size(); ++i) GetIndexField(static_cast<int32_t>(i))->SetValue(Values[i]);
}

void TORQTable::SetRange(const std::vector<Variant>& StartValues, const std::vector<Variant>& EndValues) {
    SetRangeStart();
    AssignKeyValues(StartValues);
    CurrentKeyBuffer()->FieldCount = static_cast<int32_t>(StartValues.size());
    SetRangeEnd();
    AssignKeyValues(EndValues);
    CurrentKeyBuffer()->FieldCount = static_cast<int32_t>(EndValues.size());
    ApplyRange();
}

bool TORQTable::GotoKey() {
    CheckBrowseMode();
    TKeyBuffer& k = KeyBuffer(kiLookup);
    const int32_t n = k.FieldCount > 0 ? std::min<int32_t>(k.FieldCount, IndexFieldCount()) : IndexFieldCount();
    if (n == 0) return false;
    std::string names;
    Variant values = n > 1 ? Variant::CreateArray({{0, n - 1}}, varVariant) : Variant();
    SetCurrentKeyBuffer(&k);
    const TDataSetState old = SetTempState(dsSetKey);
    try {
        for (int32_t i = 0; i < n; ++i) {
            TField* f = GetIndexField(i);
            if (!names.empty()) names += ";";
            names += f->FieldName();
            if (n > 1)
                values.PutElement({i}, f->Value());
            else
                values = f->Value();
        }
    } catch (...) {
        RestoreState(old);
        SetCurrentKeyBuffer(nullptr);
        throw;
    }
    RestoreState(old);
    SetCurrentKeyBuffer(nullptr);
    return Locate(names, values, 0);
}

bool TORQTable::FindKey(const std::vector<Variant>& KeyValues) {
    SetKey();
    AssignKeyValues(KeyValues);
    CurrentKeyBuffer()->FieldCount = static_cast<int32_t>(KeyValues.size());
    Post();
    return GotoKey();
}

void TORQTable::GotoNearest() {
    if (Cursor() == nullptr) RaiseNative(tablenil::SetKey, SNilPointer);
    CheckBrowseMode();
    TORQCursor& c = *Cursor();
    CursorPosChanged();
    TKeyBuffer& k = KeyBuffer(kiLookup);
    TKeyBuffer& start = KeyBuffer(kiCurRangeStart);
    TKeyBuffer& end = KeyBuffer(kiCurRangeEnd);
    c.ClearUnusedFieldBytes(k.Record);
    // The key becomes the range start for one read; the applied end still bounds it.
    auto restoreRange = [&] {
        if (start.Modified || end.Modified)
            c.SetRange(start.Modified ? start.Record : nullptr, end.Modified ? end.Record : nullptr, start.Exclusive,
                       end.Exclusive, KeyColumns(start), KeyColumns(end));
        else
            c.CancelRange();
    };
    classlib::TGetResult result = classlib::grError;
    uint8_t* scratch = c.AllocRecordBuffer();
    try {
        c.SetRange(k.Record, end.Modified ? end.Record : nullptr, k.Exclusive, end.Exclusive, KeyColumns(k),
                   KeyColumns(end));
        InternalFirst();
        result = GetRecord(scratch, classlib::gmNext, true);
        restoreRange();
        // A key below the applied start: the range's first record is the nearest.
        if (result == classlib::grOK && start.Modified && GetRecord(scratch, classlib::gmCurrent, false) != classlib::grOK) {
            InternalFirst();
            result = GetRecord(scratch, classlib::gmNext, true);
        }
    } catch (...) {
        FreeRecordBuffer(scratch);
        try {
            restoreRange();
        } catch (...) {
        }
        throw;
    }
    FreeRecordBuffer(scratch);
    if (result != classlib::grOK) {
        Last();
        return;
    }
    DoBeforeScroll();
    Resync(rmExact | rmCenter);
    DoAfterScroll();
}

void TORQTable::FindNearest(const std::vector<Variant>& KeyValues) {
    SetKey();
    AssignKeyValues(KeyValues);
    CurrentKeyBuffer()->FieldCount = static_cast<int32_t>(KeyValues.size());
    Post();
    GotoNearest();
}

// ---------------------------------------------------------------------------------
// Master-detail

void TORQTable::SetLinkRanges(const std::vector<TField*>& Master) {
    if (Cursor() == nullptr) RaiseNative(tablenil::LinkRanges, SNilPointer);
    TKeyBuffer& start = KeyBuffer(kiRangeStart);
    TKeyBuffer& end = KeyBuffer(kiRangeEnd);
    SetCurrentKeyBuffer(&start);
    const TDataSetState old = SetTempState(dsSetKey);
    try {
        Cursor()->ClearRecordBuffer(start.Record);
        start.Modified = true;
        start.Exclusive = false;
        for (size_t i = 0; i < Master.size(); ++i) GetIndexField(static_cast<int32_t>(i))->SetValue(Master[i]->Value());
        start.FieldCount = static_cast<int32_t>(Master.size());
    } catch (...) {
        RestoreState(old);
        SetCurrentKeyBuffer(nullptr);
        throw;
    }
    RestoreState(old);
    SetCurrentKeyBuffer(nullptr);
    std::memcpy(end.Record, start.Record, static_cast<size_t>(Cursor()->RecordBufferSize));
    end.Modified = start.Modified;
    end.Exclusive = start.Exclusive;
    end.FieldCount = start.FieldCount;
}

void TORQTable::CheckMasterRange() {
    if (FMasterLink->Active() && !FMasterLink->Fields().empty()) {
        SetLinkRanges(FMasterLink->Fields());
        SetCursorRange();
    }
}

void TORQTable::MasterChanged() {
    if (!Active()) return;
    CheckBrowseMode();
    SetLinkRanges(FMasterLink->Fields());
    ApplyRange();
}

void TORQTable::MasterDisabled() {
    if (Active()) CancelRange();
}

}  // namespace orq
