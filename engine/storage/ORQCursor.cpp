#include "engine/storage/ORQCursor.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQFieldManager.h"

namespace orq {

namespace {
constexpr std::string_view SInvalidFieldNo = "Invalid field number - FieldNo = %d, FieldCount = %d";
}  // namespace

void TORQRecordID::ToBytes(uint8_t* Dest) const {
    StoreLE32(Dest, static_cast<uint32_t>(PageNo));
    StoreLE16(Dest + 4, SlotNo);
}

TORQRecordID TORQRecordID::FromBytes(const uint8_t* Source) {
    return TORQRecordID{static_cast<int32_t>(LoadLE32(Source)), LoadLE16(Source + 4)};
}

int32_t CompareRecordIDs(const TORQRecordID& A, const TORQRecordID& B) {
    if (A.PageNo != B.PageNo) return A.PageNo < B.PageNo ? -1 : 1;
    if (A.SlotNo != B.SlotNo) return A.SlotNo < B.SlotNo ? -1 : 1;
    return 0;
}

void RaiseNotOverridden(std::string_view Method, std::string_view ClassName) {
    RaiseNativeFmt(30339, "The method '%s' not overrided in class '%s'", {Method, ClassName});
}

// ---------------------------------------------------------------------------------
// TORQBaseSession

TORQBaseSession::TORQBaseSession() = default;
TORQBaseSession::~TORQBaseSession() = default;

namespace {
constexpr std::string_view SSession = "TORQBaseSession";
}  // namespace

bool TORQBaseSession::GetConnected() { RaiseNotOverridden("GetConnected", SSession); }
void TORQBaseSession::SetConnected(bool) { RaiseNotOverridden("SetConnected", SSession); }
bool TORQBaseSession::GetRecoveryMode() { RaiseNotOverridden("GetRecoveryMode", SSession); }
void TORQBaseSession::SetRecoveryMode(bool) { RaiseNotOverridden("SetRecoveryMode", SSession); }
void TORQBaseSession::CreateDatabase() { RaiseNotOverridden("CreateDatabase", SSession); }
void TORQBaseSession::DropDatabase() { RaiseNotOverridden("DropDatabase", SSession); }
void TORQBaseSession::SetDatabaseName(const std::string&) { RaiseNotOverridden("SetDatabaseName", SSession); }
void TORQBaseSession::GetTablesList(std::vector<std::string>&) { RaiseNotOverridden("GetTablesList", SSession); }
bool TORQBaseSession::TableExists(const std::string&) { RaiseNotOverridden("TableExists", SSession); }
void TORQBaseSession::StartTransaction() { RaiseNotOverridden("StartTransaction", SSession); }
void TORQBaseSession::Commit(bool) { RaiseNotOverridden("Commit", SSession); }
void TORQBaseSession::Rollback() { RaiseNotOverridden("Rollback", SSession); }
void TORQBaseSession::FlushBuffers() { RaiseNotOverridden("FlushBuffers", SSession); }

void TORQBaseSession::SetNamedObject(TORQSessionNamedObject* Obj) {
    if (Obj == nullptr) return;
    for (int32_t i = 0; i < NamedObjects.Count(); ++i) {
        TORQSessionNamedObject* old = NamedObjects[i];
        const bool same = Obj->ObjectID == -1 ? SameName(old->Name, Obj->Name) : old->ObjectID == Obj->ObjectID;
        if (!same) continue;
        if (old == Obj) return;  // already held
        NamedObjects.Delete(i);
        break;
    }
    NamedObjects.Add(Obj);
}

TORQSessionNamedObject* TORQBaseSession::FindNamedObjectByName(std::string_view Name) {
    for (int32_t i = 0; i < NamedObjects.Count(); ++i)
        if (SameName(NamedObjects[i]->Name, Name)) return NamedObjects[i];
    return nullptr;
}

TORQSessionNamedObject* TORQBaseSession::FindNamedObjectByID(int32_t ID) {
    for (int32_t i = 0; i < NamedObjects.Count(); ++i)
        if (NamedObjects[i]->ObjectID == ID) return NamedObjects[i];
    return nullptr;
}

void TORQBaseSession::DeleteNamedObject(int32_t ID) {
    for (int32_t i = 0; i < NamedObjects.Count(); ++i)
        if (NamedObjects[i]->ObjectID == ID) {
            NamedObjects.Delete(i);
            return;
        }
}

// ---------------------------------------------------------------------------------
// TORQCursor: the slots without base code

TORQCursor::~TORQCursor() = default;

void TORQCursor::CreateTable(const TORQFieldDefs&, const TORQIndexDefs&, const TORQConstraintDefs&) {
    RaiseNotOverridden("CreateTable", ClassName());
}
void TORQCursor::DeleteTable() { RaiseNotOverridden("DeleteTable", ClassName()); }
void TORQCursor::EmptyTable() { RaiseNotOverridden("EmptyTable", ClassName()); }
void TORQCursor::RenameTable(const std::string&) { RaiseNotOverridden("RenameTable", ClassName()); }
void TORQCursor::InitFieldDefs() { RaiseNotOverridden("InitFieldDefs", ClassName()); }
void TORQCursor::OpenTable(const TORQFieldDefs*, const TORQIndexDefs*, const TORQConstraintDefs*) {
    RaiseNotOverridden("OpenTable", ClassName());
}
void TORQCursor::CloseTable() { RaiseNotOverridden("CloseTable", ClassName()); }
void TORQCursor::LockTableData() { RaiseNotOverridden("LockTableData", ClassName()); }
void TORQCursor::UnlockTableData() { RaiseNotOverridden("UnlockTableData", ClassName()); }
bool TORQCursor::LockTable(uint8_t, int32_t, uint8_t, int32_t) { RaiseNotOverridden("LockTable", ClassName()); }
bool TORQCursor::UnlockTable(uint8_t, uint8_t) { RaiseNotOverridden("UnlockTable", ClassName()); }
void TORQCursor::AddIndex(const TORQIndexDef&) { RaiseNotOverridden("AddIndex", ClassName()); }
void TORQCursor::DeleteIndex(const std::string&) { RaiseNotOverridden("DeleteIndex", ClassName()); }
void TORQCursor::DeleteAllIndexes() { RaiseNotOverridden("DeleteAllIndexes", ClassName()); }
std::string TORQCursor::CreateTemporaryIndex(const std::vector<std::string>&, const std::vector<std::string>&,
                                             const std::vector<std::string>&) {
    RaiseNotOverridden("CreateTemporaryIndex", ClassName());
}
bool TORQCursor::HasIndexForFields(const std::vector<std::string>&, const std::vector<std::string>&,
                                   const std::vector<std::string>&) {
    RaiseNotOverridden("HasIndexForFields", ClassName());
}
void TORQCursor::CopyFieldValue(int32_t, bool, TORQCursor&, int32_t) {
    RaiseNotOverridden("CopyFieldValue", ClassName());
}
void TORQCursor::InitRecord(uint8_t*, bool) { RaiseNotOverridden("InitRecord", ClassName()); }
int64_t TORQCursor::GetRecordCount() { RaiseNotOverridden("GetRecordCount", ClassName()); }
uint8_t TORQCursor::GetRecord(uint8_t) { RaiseNotOverridden("GetRecord", ClassName()); }
void TORQCursor::SetRecNo(int64_t) { RaiseNotOverridden("SetRecNo", ClassName()); }
int64_t TORQCursor::GetRecNo() { RaiseNotOverridden("GetRecNo", ClassName()); }
void TORQCursor::First() { RaiseNotOverridden("First", ClassName()); }
void TORQCursor::Last() { RaiseNotOverridden("Last", ClassName()); }
void TORQCursor::BeginInsert() { RaiseNotOverridden("BeginInsert", ClassName()); }
void TORQCursor::Edit() { RaiseNotOverridden("Edit", ClassName()); }
void TORQCursor::CancelRecord(bool) { RaiseNotOverridden("CancelRecord", ClassName()); }
void TORQCursor::PostRecord(bool) { RaiseNotOverridden("PostRecord", ClassName()); }
void TORQCursor::DeleteRecord() { RaiseNotOverridden("DeleteRecord", ClassName()); }
void TORQCursor::SetTemporaryIndex(const std::vector<std::string>&, const std::vector<std::string>&,
                                   const std::vector<std::string>&) {
    RaiseNotOverridden("SetTemporaryIndex", ClassName());
}
void TORQCursor::SetFilter(const std::string&, bool, bool) { RaiseNotOverridden("SetFilter", ClassName()); }
void TORQCursor::CancelFilter() { RaiseNotOverridden("CancelFilter", ClassName()); }
bool TORQCursor::Locate(const std::vector<std::string>&, const classlib::Variant&, uint8_t) {
    RaiseNotOverridden("Locate", ClassName());
}
bool TORQCursor::GotoBookmark(const TORQRecordID&) { RaiseNotOverridden("GotoBookmark", ClassName()); }
bool TORQCursor::FindKey(const std::string&, bool, const classlib::Variant&) {
    RaiseNotOverridden("FindKey", ClassName());
}
TORQLocalBLOBStream* TORQCursor::OpenBlob(bool, bool, bool, uint8_t, int32_t) {
    RaiseNotOverridden("OpenBlob", ClassName());
}
void TORQCursor::CloseBlob(int32_t) { RaiseNotOverridden("CloseBlob", ClassName()); }
void TORQCursor::CloseBlobStream(TORQLocalBLOBStream&) { RaiseNotOverridden("CloseBlobStream", ClassName()); }
bool TORQCursor::ReadBlobValue(bool, bool, bool, int32_t, std::string& Bytes, bool& Opened) {
    Bytes.clear();
    Opened = false;
    return false;
}
void TORQCursor::FreeBlobs(bool) { RaiseNotOverridden("FreeBlobs", ClassName()); }
int64_t TORQCursor::GetLastAutoincValue(int32_t) { RaiseNotOverridden("GetLastAutoincValue", ClassName()); }
void TORQCursor::BeginUpdateBatch() { RaiseNotOverridden("BeginUpdateBatch", ClassName()); }
void TORQCursor::CommitBatch() { RaiseNotOverridden("CommitBatch", ClassName()); }
void TORQCursor::RollbackBatch() { RaiseNotOverridden("RollbackBatch", ClassName()); }
bool TORQCursor::CheckConstraints(bool) { RaiseNotOverridden("CheckConstraints", ClassName()); }

// ---------------------------------------------------------------------------------
// TORQCursor: base code

void TORQCursor::RenameField(const std::string& OldName, const std::string& NewName) {
    TORQFieldDef* f = FieldDefs.FindByName(OldName);
    if (f == nullptr) RaiseNativeFmt(30345, "Field '%s' not found", {OldName});
    if (FieldDefs.FindByName(NewName) != nullptr)
        RaiseNativeFmt(30346, "Cannot rename field '%s'. Field '%s' already exists", {OldName, NewName});
    f->Name = FitName(NewName);
}

TORQIndexDefs& TORQCursor::GetIndexDefs() { return IndexDefs; }

void TORQCursor::FreeRecordBuffer(uint8_t*& Buffer) { GlobalMemoryManager().FreeAndNillMem(Buffer); }

void TORQCursor::SetIndexName(const std::string& Name) {
    IndexName = Name;
    const int32_t i = IndexDefs.IndexOfName(Name);
    IndexID = i < 0 ? -1 : IndexDefs.GetItem(i)->ObjectID;
    // The filtered set is numbered in the index's order.
    ResetRecordBitmap();
}

bool TORQCursor::GetFieldData(int32_t FieldNo, void* Buffer, const uint8_t* Record) const {
    if (FieldNo < 0 || FieldNo >= ProjectedFieldDefs.GetCount())
        RaiseNativeFmt(10005, SInvalidFieldNo, {FieldNo, ProjectedFieldDefs.GetCount()});
    return ReadFieldData(ProjectedFieldDefs.GetItem(FieldNo)->BaseFieldNo, FieldDefs, Buffer, Record);
}

void TORQCursor::SetFieldData(int32_t FieldNo, const void* Buffer, uint8_t* Record) const {
    if (FieldNo < 0 || FieldNo >= ProjectedFieldDefs.GetCount())
        RaiseNativeFmt(10006, SInvalidFieldNo, {FieldNo, ProjectedFieldDefs.GetCount()});
    WriteFieldData(ProjectedFieldDefs.GetItem(FieldNo)->BaseFieldNo, FieldDefs, Buffer, Record);
}

const TORQFieldDef& TORQCursor::BaseFieldOf(int32_t FieldNo, bool UseBaseFields) const {
    const int32_t base = UseBaseFields ? FieldNo : ProjectedFieldDefs.GetItem(FieldNo)->BaseFieldNo;
    if (base < 0 || base >= FieldDefs.GetCount())
        RaiseNativeFmt(20191, SInvalidFieldNo, {base, FieldDefs.GetCount()});
    return *FieldDefs.GetItem(base);
}

bool TORQCursor::IsFieldNull(const uint8_t* Record, int32_t FieldNo) const { return GetBit(Record, FieldNo); }

void TORQCursor::GetFieldValue(TORQVariant& Value, int32_t FieldNo, bool UseBaseFields) const {
    if (UseBaseFields) {
        if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
            RaiseNativeFmt(20191, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    } else if (FieldNo < 0 || FieldNo >= ProjectedFieldDefs.GetCount()) {
        RaiseNativeFmt(10317, SInvalidFieldNo, {FieldNo, ProjectedFieldDefs.GetCount()});
    }
    const int32_t base = UseBaseFields ? FieldNo : ProjectedFieldDefs.GetItem(FieldNo)->BaseFieldNo;
    const TORQFieldDef& f = BaseFieldOf(FieldNo, UseBaseFields);
    if (CurrentRecord == nullptr) RaiseNative(20151, "Pointer is nil");
    if (GetBit(CurrentRecord, base)) {
        Value.Clear(f.BaseType);
        Value.SetNull();
        return;
    }
    uint8_t* data = CurrentRecord + f.MemoryOffset;
    int32_t size = f.MemorySize;
    // A text value ends at its terminator: the bytes after it are no part of it.
    if (f.BaseType == bdtFixedChar || f.BaseType == bdtVarChar) {
        const void* end = std::memchr(data, 0, static_cast<size_t>(size));
        if (end != nullptr) size = static_cast<int32_t>(static_cast<const uint8_t*>(end) - data) + 1;
    } else if (f.BaseType == bdtFixedWideChar || f.BaseType == bdtWideVarChar) {
        for (int32_t i = 0; i + 1 < size; i += 2)
            if (data[i] == 0 && data[i + 1] == 0) {
                size = i + 2;
                break;
            }
    }
    Value.SetData(data, size, f.BaseType, true);
}

void TORQCursor::SetFieldValue(TORQVariant& Value, int32_t FieldNo, uint8_t* Record, bool UseBaseFields) const {
    if (Record == nullptr) Record = CurrentRecord;
    if (UseBaseFields) {
        if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
            RaiseNativeFmt(20192, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    } else if (FieldNo < 0 || FieldNo >= ProjectedFieldDefs.GetCount()) {
        RaiseNativeFmt(20193, SInvalidFieldNo, {FieldNo, ProjectedFieldDefs.GetCount()});
    }
    if (Record == nullptr) RaiseNative(20151, "Pointer is nil");
    const int32_t base = UseBaseFields ? FieldNo : ProjectedFieldDefs.GetItem(FieldNo)->BaseFieldNo;
    const TORQFieldDef& f = BaseFieldOf(FieldNo, UseBaseFields);
    if (Value.IsNull()) {
        SetBit(Record, base, true);
        return;
    }
    Value.CastTo(f.BaseType);
    if (Value.DataSize() > f.MemorySize) RaiseNative(20056, "Buffer size exceeded");
    uint8_t* dest = Record + f.MemoryOffset;
    if (!Value.CopyToBuffer(dest, f.MemorySize)) {
        // An empty text: its terminator is the whole value.
        dest[0] = 0;
        if (IsWideStringBaseType(f.BaseType) && f.MemorySize > 1) dest[1] = 0;
    }
    SetBit(Record, base, false);
}

void TORQCursor::ClearUnusedFieldBytes(uint8_t* Record) const {
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef& f = *FieldDefs.GetItem(i);
        if (f.BaseType < bdtFixedChar || f.BaseType > bdtWideVarChar) continue;
        uint8_t* data = Record + f.MemoryOffset;
        const auto size = static_cast<size_t>(f.MemorySize);
        if (GetBit(Record, i)) {
            std::memset(data, 0, size);
        } else if (f.BaseType == bdtFixedChar || f.BaseType == bdtVarChar) {
            const void* end = std::memchr(data, 0, size);
            if (end != nullptr) {
                const size_t used = static_cast<size_t>(static_cast<const uint8_t*>(end) - data) + 1;
                std::memset(data + used, 0, size - used);
            }
        } else {
            for (size_t j = 0; j + 1 < size; j += 2)
                if (data[j] == 0 && data[j + 1] == 0) {
                    std::memset(data + j + 2, 0, size - j - 2);
                    break;
                }
        }
    }
}

void TORQCursor::CalculateRecordSizes() {
    RecordSize = FieldDefs.GetMemoryRecordSize();
    FirstFieldOffset = FieldDefs.GetCount() == 0 ? 0 : FieldDefs.GetNullBitmapSize();
    RecordIDBufferSize = RecordSize + TORQRecordID::ByteSize;
    RecordBufferSize = RecordSize + TORQRecordID::ByteSize + 1;
    CalcFieldsOffset = RecordBufferSize;
    FullBufferSize = RecordBufferSize + CalcFieldsSize;
}

uint8_t* TORQCursor::AllocRecordBuffer() const {
    return static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(std::max(FullBufferSize, RecordBufferSize)));
}

uint8_t* TORQCursor::AllocRecordIDBuffer() const {
    return static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(RecordIDBufferSize));
}

void TORQCursor::ClearRecordBuffer(uint8_t* Buffer) {
    std::memset(Buffer, 0, static_cast<size_t>(RecordIDBufferSize));
    InitRecord(Buffer, false);
}

uint8_t* TORQCursor::SavePosition() const {
    auto* block = static_cast<uint8_t*>(GlobalMemoryManager().AllocMem(8));
    block[0] = Bof;
    block[1] = Eof;
    CurrentRecordID.ToBytes(block + 2);
    return block;
}

void TORQCursor::RestorePosition(const uint8_t* Block) {
    Bof = Block[0];
    Eof = Block[1];
    CurrentRecordID = TORQRecordID::FromBytes(Block + 2);
}

void TORQCursor::FreePosition(uint8_t*& Block) const { GlobalMemoryManager().FreeAndNillMem(Block); }

void TORQCursor::ResetRecordBitmap() {
    KnownNeighbour.Valid = false;
    ScanPlan.reset();
    if (RecordBitmap != nullptr) RecordBitmap->Reset();
}

void TORQCursor::CreateRecordBitmap() { RecordBitmap = std::make_unique<TORQRecordBitmap>(TableData); }

void TORQCursor::SetProjection(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Aliases) {
    if (FieldNames.size() != Aliases.size())
        RaiseNativeFmt(10321, "Error - different list lengths. L1 = %d, L2 = %d", {FieldNames.size(), Aliases.size()});
    if (FieldNames.empty()) RaiseNative(10322, "No fields were specified while setting projection");
    // Every name is found before the projection changes.
    std::vector<int32_t> positions;
    for (const std::string& name : FieldNames) {
        const int32_t p = FieldDefs.IndexOfName(name);
        if (p < 0) RaiseNativeFmt(10323, "Cannot find field %s", {name});
        positions.push_back(p);
    }
    ProjectedFieldDefs.Clear();
    const auto attempts = static_cast<int32_t>(FieldNames.size()) + 1;
    for (size_t i = 0; i < positions.size(); ++i) {
        TORQFieldDef* f = ProjectedFieldDefs.Add();
        f->Assign(*FieldDefs.GetItem(positions[i]));
        f->BaseFieldNo = positions[i];
        if (Aliases[i].empty()) continue;
        f->Name.clear();
        // Names are told apart as they are kept (cut to the longest name): a suffix makes
        // room for itself at the alias's end.
        std::string name = FitName(Aliases[i]);
        for (int32_t n = 1; n <= attempts && ProjectedFieldDefs.IndexOfName(name) >= 0; ++n) {
            const std::string suffix = "_" + std::to_string(n);
            name = FitName(Aliases[i]).substr(0, static_cast<std::size_t>(MaxNameLength) - suffix.size()) + suffix;
        }
        f->Name = name;
    }
    Projected = 1;
}

void TORQCursor::SetRange(uint8_t* StartKey, uint8_t* EndKey, bool StartExclusive, bool EndExclusive,
                          int32_t StartFieldCount, int32_t EndFieldCount) {
    RangeStartKey = StartKey;
    RangeEndKey = EndKey;
    RangeStartExclusive = StartExclusive ? 1 : 0;
    RangeEndExclusive = EndExclusive ? 1 : 0;
    RangeStartFieldCount = StartFieldCount;
    RangeEndFieldCount = EndFieldCount;
    ResetRecordBitmap();
}

void TORQCursor::CancelRange() {
    RangeStartKey = nullptr;
    RangeEndKey = nullptr;
    RangeStartExclusive = 0;
    RangeEndExclusive = 0;
    RangeStartFieldCount = 0;
    RangeEndFieldCount = 0;
    ResetRecordBitmap();
}

void TORQCursor::SetFilterExpression(TORQBaseExpression* Expression, TORQAO* Operator, TORQCursor* SecondCursor) {
    ConditionExpression = Expression;
    if (Expression != nullptr) Expression->BindFields(this, Operator, SecondCursor);
    ResetRecordBitmap();
}

bool TORQCursor::LockTableForSession(uint8_t LockType, int32_t Tries, int32_t Delay) {
    if (TableData == nullptr) return true;
    return LockTable(LockType, Tries, 1, Delay);
}

bool TORQCursor::UnlockTableForSession(uint8_t LockType) {
    if (TableData == nullptr) return true;
    return UnlockTable(LockType, 1);
}

}  // namespace orq
