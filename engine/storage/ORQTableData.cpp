#include "engine/storage/ORQTableData.h"

#include <algorithm>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQPage.h"

namespace orq {

TORQTableData::TORQTableData(TORQDatabaseData* DatabaseData) : DatabaseData(DatabaseData) {}

TORQTableData::~TORQTableData() {
    // The managers go in the order indexes, records, constraints, fields: an index may
    // still read the layout while it closes.
    IndexManager.reset();
    RecordManager.reset();
    ConstraintManager.reset();
    FieldManager.reset();
    if (DatabaseData != nullptr) DatabaseData->RemoveTableData(this);
}

void TORQTableData::Lock() { DatabaseData->Lock(); }

void TORQTableData::Unlock() { DatabaseData->Unlock(); }

void TORQTableData::AssignObjectIDs(TORQMetaObjectDefs& Defs) {
    for (int32_t i = 0; i < Defs.GetCount(); ++i) Defs.Item(i)->ObjectID = DatabaseData->GetNextObjectID();
}

int32_t TORQTableData::CheckFieldsForCreate() const {
    if (FieldManager == nullptr || FieldManager->FieldDefs.GetCount() == 0)
        RaiseNative(10131, "Error creating table - no fields were specified");
    return FieldManager->FieldDefs.GetMemoryRecordSize();
}

bool TORQTableData::HasCursor(const TORQCursor* Cursor) const {
    return std::find(Cursors.begin(), Cursors.end(), Cursor) != Cursors.end();
}

// ---------------------------------------------------------------------------------
// Slots

void TORQTableData::CreateRecordManager() { RaiseNotOverridden("CreateRecordManager", ClassName()); }

void TORQTableData::SetFieldDefs(const TORQFieldDefs& Defs) {
    TORQFieldDefs copy;
    copy.Assign(Defs);
    AssignObjectIDs(copy);
    FieldManager->FieldDefs.Assign(copy);
    FieldManager->RebuildLayout();
    FieldManager->ResetAutoincValues();
}

void TORQTableData::SetIndexDefs(const TORQIndexDefs& Defs) {
    TORQIndexDefs copy;
    copy.Assign(Defs);
    AssignObjectIDs(copy);
    IndexManager->AssignDefs(copy);
}

void TORQTableData::SetConstraintDefs(const TORQConstraintDefs&) {
    RaiseNotOverridden("SetConstraintDefs", ClassName());
}

void TORQTableData::GetTableInfo(TORQTableInfo& Info) {
    Info.RecordBufferSize = CheckFieldsForCreate();
    Info.FirstFieldOffset = FieldManager->FieldDefs.GetNullBitmapSize();
}

void TORQTableData::CommitSessionPages(int32_t SessionID, bool InTransaction) {
    if (!InTransaction && PageManager != nullptr) PageManager->CommitSession(SessionID);
}

void TORQTableData::RollbackSessionPages(int32_t SessionID, bool InTransaction) {
    if (!InTransaction && PageManager != nullptr) PageManager->RollbackSession(SessionID);
}

void TORQTableData::CreateTable(TORQCursor*, const TORQFieldDefs&, const TORQIndexDefs&, const TORQConstraintDefs&) {
    RaiseNotOverridden("CreateTable", ClassName());
}

void TORQTableData::DeleteTable(TORQCursor*, bool Force) {
    if (!Force && !Cursors.empty())
        RaiseNativeFmt(20017, "Cannot delete table '%s'. Table is open by another dataset", {TableName});
}

void TORQTableData::EmptyTable(TORQCursor*) { RaiseNotOverridden("EmptyTable", ClassName()); }

void TORQTableData::RenameTable(const std::string& NewName, TORQCursor*) {
    if (!Cursors.empty())
        RaiseNativeFmt(10150, "Cannot rename table '%s'. Table is open by another dataset", {TableName});
    TableName = NewName;
}

void TORQTableData::AddCursor(TORQCursor* Cursor) {
    if (!HasCursor(Cursor)) Cursors.push_back(Cursor);
}

void TORQTableData::RemoveCursor(TORQCursor* Cursor) { std::erase(Cursors, Cursor); }

void TORQTableData::RenameField(const std::string& OldName, const std::string& NewName) {
    TORQFieldDef* f = FieldManager->FieldDefs.FindByName(OldName);
    if (f == nullptr) RaiseNativeFmt(30343, "Field '%s' not found", {OldName});
    if (FieldManager->FieldDefs.FindByName(NewName) != nullptr)
        RaiseNativeFmt(30344, "Cannot rename field '%s'. Field '%s' already exists", {OldName, NewName});
    const std::string name = FitName(NewName);
    f->Name = name;
    if (IndexManager != nullptr) IndexManager->RenameColumn(OldName, name);
}

int32_t TORQTableData::AddIndex(const TORQIndexDef&, TORQCursor*) { RaiseNotOverridden("AddIndex", ClassName()); }
void TORQTableData::DeleteIndex(int32_t, TORQCursor*) { RaiseNotOverridden("DeleteIndex", ClassName()); }
int64_t TORQTableData::GetMaxRecordNumber(int32_t) { RaiseNotOverridden("GetMaxRecordNumber", ClassName()); }
int64_t TORQTableData::RecordIdToNumber(const TORQRecordID&) { RaiseNotOverridden("RecordIdToNumber", ClassName()); }
TORQRecordID TORQTableData::NumberToRecordId(int64_t) { RaiseNotOverridden("NumberToRecordId", ClassName()); }
void TORQTableData::FreeRecordBlobs(uint8_t*) {}
uint8_t TORQTableData::GetRecord(TORQCursor*, uint8_t) { RaiseNotOverridden("GetRecord", ClassName()); }
bool TORQTableData::FindRecord(TORQCursor*, TORQBaseExpression*) { RaiseNotOverridden("FindRecord", ClassName()); }
bool TORQTableData::FindKey(TORQCursor*, uint8_t) { RaiseNotOverridden("FindKey", ClassName()); }
void TORQTableData::StoreBlobStream(TORQLocalBLOBStream&, int32_t, uint8_t*) {
    RaiseNotOverridden("StoreBlobStream", ClassName());
}
void TORQTableData::FreeBlob(uint8_t*, int32_t) {}

void TORQTableData::FreeBlobFields(uint8_t* Record) {
    if (FieldManager == nullptr || !FieldManager->CheckBlobBlockSizes()) return;
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i)
        if (IsBlobBaseType(defs.GetItem(i)->BaseType)) FreeBlob(Record, i);
}

std::unique_ptr<TORQLocalBLOBStream> TORQTableData::CreateBlobStream(uint8_t*, uint8_t, int32_t, TORQCursor*) {
    RaiseNotOverridden("CreateBlobStream", ClassName());
}
void TORQTableData::ReadBlob(TORQCursor*, int32_t, uint8_t*&, TORQBlobDataHeader&, const uint8_t*) {
    RaiseNotOverridden("ReadBlob", ClassName());
}
void TORQTableData::WriteBlob(TORQCursor*, int32_t, const uint8_t*, const TORQBlobDataHeader&, uint8_t*) {
    RaiseNotOverridden("WriteBlob", ClassName());
}
void TORQTableData::DeleteBlob(uint8_t*&) { RaiseNotOverridden("DeleteBlob", ClassName()); }
bool TORQTableData::InsertRecord(TORQCursor*) { RaiseNotOverridden("InsertRecord", ClassName()); }
bool TORQTableData::DeleteRecord(TORQCursor*) { RaiseNotOverridden("DeleteRecord", ClassName()); }
bool TORQTableData::UpdateRecord(TORQCursor*) { RaiseNotOverridden("UpdateRecord", ClassName()); }
void TORQTableData::SetRecNo(TORQCursor*, int64_t) { RaiseNotOverridden("SetRecNo", ClassName()); }
int64_t TORQTableData::GetRecNo(TORQCursor*) { RaiseNotOverridden("GetRecNo", ClassName()); }
void TORQTableData::SetPhysicalRecNo(TORQCursor*, int64_t) { RaiseNotOverridden("SetPhysicalRecNo", ClassName()); }
int64_t TORQTableData::GetPhysicalRecNo(TORQCursor*) { RaiseNotOverridden("GetPhysicalRecNo", ClassName()); }
int64_t TORQTableData::GetPhysicalRecordCount(TORQCursor*) {
    RaiseNotOverridden("GetPhysicalRecordCount", ClassName());
}
int64_t TORQTableData::GetLastAutoincValue(int32_t, TORQCursor*) { return 0; }
void TORQTableData::RollbackSession(int32_t) {}

}  // namespace orq
