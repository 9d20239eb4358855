#include "engine/storage/ORQTableData.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQBTreeRecordIndex.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQLocalBLOBStream.h"
#include "engine/storage/ORQPage.h"
#include "engine/storage/ORQTableScan.h"

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

int32_t SessionIDOf(const TORQCursor* Cursor) {
    return Cursor != nullptr && Cursor->Session != nullptr ? Cursor->Session->SessionID : -2;
}

bool InTransaction(const TORQCursor* Cursor) { return Cursor != nullptr && Cursor->SessionInTransaction(); }

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

void TORQTableData::SetConstraintDefs(const TORQConstraintDefs& Defs) {
    for (int32_t i = 0; i < Defs.GetCount(); ++i) {
        const uint8_t kind = Defs.GetItem(i)->ConstraintType;
        if (kind == 1 || kind > ctCheck) RaiseNative(30058, "Not implemented yet");
    }
    TORQConstraintDefs copy;
    copy.Assign(Defs);
    AssignObjectIDs(copy);
    for (int32_t i = 0; i < copy.GetCount(); ++i) copy.GetItem(i)->TableName = TableName;
    if (ConstraintManager == nullptr) ConstraintManager = std::make_unique<TORQBaseConstraintManager>(this);
    // Resolved and named on the side, so a refused list leaves the table's as it was.
    TORQBaseConstraintManager fresh(this);
    fresh.ConstraintDefs.Assign(copy);
    fresh.ResolveAllConstraints();
    fresh.NameUnnamedConstraints();
    ConstraintManager->ConstraintDefs.Assign(fresh.ConstraintDefs);
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

void TORQTableData::EmptyTable(TORQCursor* Cursor) {
    if (FieldManager != nullptr) FieldManager->ResetAutoincValues();
    EmptyIndexes(SessionIDOf(Cursor));
}

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
    TORQFieldDef* other = FieldManager->FieldDefs.FindByName(NewName);
    if (other != nullptr && other != f)
        RaiseNativeFmt(30344, "Cannot rename field '%s'. Field '%s' already exists", {OldName, NewName});
    const std::string name = FitName(NewName);
    const std::string old = f->Name;
    f->Name = name;
    if (IndexManager != nullptr) IndexManager->RenameColumn(old, name);
    // Constraints name their fields too; left behind they would not resolve on the
    // next load.
    if (ConstraintManager != nullptr) ConstraintManager->RenameField(old, name);
}

namespace {

// Saves a cursor's position and puts it back on every path.
class TSavedPosition {
public:
    explicit TSavedPosition(TORQCursor* Cursor) : FCursor(Cursor) {
        if (FCursor != nullptr) FBlock = FCursor->SavePosition();
    }
    ~TSavedPosition() {
        if (FCursor == nullptr) return;
        FCursor->RestorePosition(FBlock);
        FCursor->FreePosition(FBlock);
    }
    TSavedPosition(const TSavedPosition&) = delete;
    TSavedPosition& operator=(const TSavedPosition&) = delete;

private:
    TORQCursor* FCursor;
    uint8_t* FBlock = nullptr;
};

}  // namespace

int32_t TORQTableData::AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TSavedPosition position(Cursor);
    TORQIndexDef def;
    def.Assign(IndexDef);
    const int32_t id = IndexManager->AddIndex(Cursor, def);
    if (def.Temporary == 0 && ConstraintManager != nullptr) {
        try {
            ConstraintManager->AddIndexConstraint(def);
        } catch (...) {
            // An index whose constraint cannot stand is not kept either.
            try {
                IndexManager->DropIndex(SessionIDOf(Cursor), id);
            } catch (...) {
            }
            throw;
        }
    }
    return id;
}

void TORQTableData::DeleteIndex(int32_t IndexID, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    const auto* def = static_cast<const TORQIndexDef*>(IndexManager->IndexDefs.FindByID(IndexID));
    if (def == nullptr) RaiseNative(20018, "Index not found");
    if (Cursor != nullptr && def->Temporary == 0 && ConstraintManager != nullptr)
        ConstraintManager->RemoveIndexConstraint(IndexID);
    IndexManager->DropIndex(SessionIDOf(Cursor), IndexID);
}

int64_t TORQTableData::GetMaxRecordNumber(int32_t) { RaiseNotOverridden("GetMaxRecordNumber", ClassName()); }
int64_t TORQTableData::RecordIdToNumber(const TORQRecordID&) { RaiseNotOverridden("RecordIdToNumber", ClassName()); }
TORQRecordID TORQTableData::NumberToRecordId(int64_t) { RaiseNotOverridden("NumberToRecordId", ClassName()); }
void TORQTableData::FreeRecordBlobs(uint8_t*) {}

uint8_t TORQTableData::GetRecord(TORQCursor* Cursor, uint8_t Mode) {
    TORQTableLock lock(*this);
    if (GetPhysicalRecordCount(Cursor) == 0) return grEOF;
    if (!(Cursor->HasLinkedKey() && Mode != gmCurrent && !Cursor->Bof && !Cursor->Eof)) {
        Cursor->KeyBuffer = nullptr;
        const bool placed = Cursor->Bof == 0 && Cursor->Eof == 0;
        const TORQRecordID from = Cursor->CurrentRecordID;
        const uint8_t result = GetRecordInternal(Cursor, Mode);
        if (placed) KeepNeighboursOnStep(Cursor, Mode, from, result);
        return result;
    }
    // Distinct stepping: the record stepped from is held in KeyBuffer, so that the
    // record fetched differs from it in the first LinkedKeyFieldCount key columns.
    struct TKeyHolder {
        TORQCursor* Cursor;
        ~TKeyHolder() {
            Cursor->FreeRecordBuffer(Cursor->KeyBuffer);
            Cursor->KeyBuffer = nullptr;
        }
    } holder{Cursor};
    Cursor->KeyBuffer = Cursor->AllocRecordBuffer();
    TORQGetRecordRequest current;
    current.RecordID = Cursor->CurrentRecordID;
    current.RecordBuffer = Cursor->KeyBuffer;
    current.Result = grError;
    RecordManager->ReadRecord(SessionIDOf(Cursor), current);
    if (current.Result != grOK) return grError;
    return GetRecordInternal(Cursor, Mode);
}

uint8_t TORQTableData::GetRecordInternal(TORQCursor* Cursor, uint8_t Mode) {
    if (Cursor->IsFiltered() && Mode != gmCurrent) return GetFilteredRecord(Cursor, Mode);
    TORQGetRecordRequest request;
    request.Mode = Mode;
    request.IndexID = Cursor->IndexID;
    request.RecordID = Cursor->CurrentRecordID;
    request.RecordBuffer = Cursor->CurrentRecord;
    request.AtBeginning = Cursor->Bof;
    request.AtEnd = Cursor->Eof;
    request.Result = grError;
    ReadRecord(SessionIDOf(Cursor), request, RecordManager->ChangeStamp, &Cursor->IndexPositionCache);
    // A record the filters refuse leaves the position where it was.
    if (request.Result == grOK && Cursor->IsFiltered() && !RecordAccepted(Cursor)) return grError;
    Cursor->CurrentRecordID = request.RecordID;
    Cursor->Bof = request.AtBeginning;
    Cursor->Eof = request.AtEnd;
    if (request.Result == grOK) request.RecordID.ToBytes(Cursor->CurrentRecord + RecordManager->RecordSize);
    return request.Result;
}

void TORQTableData::StoreBlobStream(TORQCursor*, int32_t, TORQLocalBLOBStream&) {
    RaiseNotOverridden("StoreBlobStream", ClassName());
}
void TORQTableData::FreeBlob(uint8_t*, int32_t) {}

void TORQTableData::FreeBlobFields(uint8_t* Record) {
    if (FieldManager == nullptr || !FieldManager->CheckBlobBlockSizes()) return;
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i)
        if (IsBlobBaseType(defs.GetItem(i)->BaseType)) FreeBlob(Record, i);
}

std::unique_ptr<TORQLocalBLOBStream> TORQTableData::CreateBlobStream(TORQCursor*, bool, uint8_t, int32_t) {
    RaiseNotOverridden("CreateBlobStream", ClassName());
}

void TORQTableData::ReadBlobValue(TORQCursor* Cursor, int32_t FieldNo, std::string& Bytes) {
    Bytes.clear();
    std::unique_ptr<TORQLocalBLOBStream> stream = CreateBlobStream(Cursor, false, TORQLocalBLOBStream::bmReadOnly, FieldNo);
    if (!stream) return;
    stream->Seek(0, soBeginning);
    const int64_t size = stream->Size();
    int64_t got = 0;
    if (size > 0) {
        Bytes.resize(static_cast<size_t>(size));
        while (got < size) {
            const int64_t n = stream->Read(Bytes.data() + got, size - got);
            if (n <= 0) break;
            got += n;
        }
        Bytes.resize(static_cast<size_t>(got));
    }
    // Whatever the stream holds beyond the size it gave.
    char chunk[4096];
    for (int64_t n = stream->Read(chunk, sizeof chunk); n > 0; n = stream->Read(chunk, sizeof chunk))
        Bytes.append(chunk, static_cast<size_t>(n));
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

void TORQTableData::SetRecNo(TORQCursor* Cursor, int64_t RecNo) {
    TORQTableLock lock(*this);
    const int64_t count = GetRecordCount(Cursor);
    if (count > 0 && RecNo >= count) RecNo = count;
    Cursor->Bof = 0;
    Cursor->Eof = 0;
    if (Cursor->IsFiltered()) {
        SetFilteredRecNo(Cursor, RecNo);
        return;
    }
    if (Cursor->HasIndex()) {
        TORQRecordID id = Cursor->CurrentRecordID;
        OpenIndex(Cursor->IndexID).GetRecordIdByRecNo(SessionIDOf(Cursor), id, RecNo);
        Cursor->CurrentRecordID = id;
        return;
    }
    SetPhysicalRecNo(Cursor, RecNo);
}

int64_t TORQTableData::GetRecNo(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (Cursor->Bof || Cursor->Eof) return -1;
    if (GetRecordCount(Cursor) == 0) return -1;
    if (Cursor->IsFiltered()) return GetFilteredRecNo(Cursor);
    if (Cursor->HasIndex()) {
        TORQMemoryBlock buffer(RecordManager->RecordSize + TORQRecordID::ByteSize + 1, true);
        TORQGetRecordRequest request;
        request.RecordID = Cursor->CurrentRecordID;
        request.RecordBuffer = static_cast<uint8_t*>(buffer.Data());
        ReadRecord(SessionIDOf(Cursor), request, RecordManager->ChangeStamp, nullptr);
        if (request.Result != grOK) return -1;
        return OpenIndex(Cursor->IndexID).GetRecNo(SessionIDOf(Cursor), Cursor->CurrentRecordID, request.RecordBuffer);
    }
    return GetPhysicalRecNo(Cursor);
}

void TORQTableData::SetPhysicalRecNo(TORQCursor*, int64_t) { RaiseNotOverridden("SetPhysicalRecNo", ClassName()); }
int64_t TORQTableData::GetPhysicalRecNo(TORQCursor*) { RaiseNotOverridden("GetPhysicalRecNo", ClassName()); }
int64_t TORQTableData::GetPhysicalRecordCount(TORQCursor*) {
    RaiseNotOverridden("GetPhysicalRecordCount", ClassName());
}
int64_t TORQTableData::GetLastAutoincValue(int32_t, TORQCursor*) { return 0; }

void TORQTableData::RollbackSession(int32_t SessionID) {
    if (IndexManager == nullptr || RecordManager == nullptr) return;
    // A copy: a rebuild registers its own reading cursor with the table.
    const std::vector<TORQCursor*> cursors = Cursors;
    for (TORQCursor* c : cursors) {
        if (SessionIDOf(c) != SessionID) continue;
        bool rebuilt = false;
        IndexManager->RebuildStaleTemporaryIndexes(c, rebuilt);
    }
}

// ---------------------------------------------------------------------------------
// Record access

uint8_t TORQTableData::ReadStoredRecord(int32_t SessionID, const TORQRecordID& RecordID, uint8_t* Buffer) {
    TORQGetRecordRequest request;
    request.Mode = gmCurrent;
    request.RecordID = RecordID;
    request.RecordBuffer = Buffer;
    request.Result = grError;
    RecordManager->ReadRecord(SessionID, request);
    return request.Result;
}

bool TORQTableData::GotoRecord(TORQCursor* Cursor, const TORQRecordID& RecordID) {
    TORQTableLock lock(*this);
    TORQGetRecordRequest request;
    request.Mode = gmCurrent;
    request.RecordID = RecordID;
    request.RecordBuffer = Cursor->CurrentRecord;
    request.Result = grError;
    ReadRecord(SessionIDOf(Cursor), request, RecordManager->ChangeStamp, &Cursor->IndexPositionCache);
    if (request.Result != grOK) return false;
    Cursor->CurrentRecordID = RecordID;
    Cursor->Bof = 0;
    Cursor->Eof = 0;
    RecordID.ToBytes(Cursor->CurrentRecord + RecordManager->RecordSize);
    return true;
}

int64_t TORQTableData::GetRecordCount(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (Cursor->IsFiltered()) {
        // First the engine's own bracket: the bitmap's stamp is compared with the state
        // the cursor's session sees.
        GetPhysicalRecordCount(Cursor);
        EnsureRecordBitmap(Cursor);
        return Cursor->RecordBitmap->Count();
    }
    return GetPhysicalRecordCount(Cursor);
}

void TORQTableData::ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request, int32_t ChangeStamp,
                               TORQIndexPositionCache* PositionCache) {
    if (RecordManager == nullptr) RaiseNative(10015, "Nil pointer occured");
    if (IndexManager == nullptr) RaiseNative(10016, "Nil pointer occured");
    if (Request.RecordBuffer == nullptr) RaiseNative(10380, "Nil pointer occured");
    if (Request.IndexID != -1 && Request.Mode != gmCurrent)
        IndexManager->NavigateByIndex(SessionID, Request, ChangeStamp, PositionCache);
    else
        RecordManager->ReadRecord(SessionID, Request);
}

bool TORQTableData::HasDuplicateKey(int32_t SessionID, int32_t IndexID, const TORQRecordID&, bool IsInsert,
                                    const uint8_t* OldRecord, const uint8_t* NewRecord) {
    if (RecordManager == nullptr || RecordManager->RecordCount == 0 || IndexManager == nullptr) return false;
    TORQIndex& index = OpenIndex(IndexID);
    if (IsInsert) return !index.IsKeyFree(SessionID, NewRecord);
    return !index.CanUpdateKey(SessionID, OldRecord, NewRecord);
}

int32_t TORQTableData::CreateTemporaryIndex(TORQCursor* Cursor, const std::vector<std::string>& FieldNames,
                                            std::string& IndexName, const std::vector<std::string>& CaseInsensitive,
                                            const std::vector<std::string>& Descending) {
    TORQTableLock lock(*this);
    TSavedPosition position(Cursor);
    const int32_t session = SessionIDOf(Cursor);
    const bool inTransaction = InTransaction(Cursor);
    try {
        bool created = false;
        const int32_t id =
            IndexManager->FindOrCreateTemporaryIndex(Cursor, FieldNames, Descending, CaseInsensitive, created);
        const TORQMetaObjectDef* def = IndexManager->IndexDefs.FindByID(id);
        if (def == nullptr) RaiseNativeFmt(10324, "Cannot find index by ID = %d", {id});
        IndexName = def->Name;
        CommitSessionPages(session, inTransaction);
        return id;
    } catch (...) {
        RollbackSessionPages(session, inTransaction);
        throw;
    }
}

bool TORQTableData::HasIndexForFields(TORQCursor* Cursor, const std::vector<std::string>& FieldNames,
                                      const std::vector<std::string>& CaseInsensitive,
                                      const std::vector<std::string>& Descending) {
    TORQTableLock lock(*this);
    return IndexManager->HasIndexForFields(FieldNames, Descending, CaseInsensitive, FieldManager->FieldDefs,
                                           SessionIDOf(Cursor));
}

bool TORQTableData::LocateRecordInIndex(int32_t SessionID, int32_t IndexID, TORQKeyPath& KeyPath,
                                        const TORQRecordID& RecordID) {
    TORQTableLock lock(*this);
    TORQMemoryBlock buffer(std::max(1, RecordManager->RecordSize), true);
    auto* stored = static_cast<uint8_t*>(buffer.Data());
    if (ReadStoredRecord(SessionID, RecordID, stored) != grOK) return false;
    if (!OpenIndex(IndexID).FindRecordPath(SessionID, RecordID, KeyPath, stored))
        RaiseNative(20253, "Cannot retrieve record for index");
    return true;
}

void TORQTableData::RecordIdAtKeyPath(int32_t SessionID, int32_t IndexID, TORQRecordID& RecordID,
                                      const TORQKeyPath& KeyPath) {
    TORQTableLock lock(*this);
    OpenIndex(IndexID).GetRecordIdAtPath(SessionID, KeyPath, RecordID);
}

int64_t TORQTableData::KeyPathToPosition(int32_t IndexID, const TORQKeyPath& KeyPath) {
    TORQTableLock lock(*this);
    return KeyPath.ToApproxPosition(OpenIndex(IndexID).MaxEntriesPerPage());
}

void TORQTableData::PositionToKeyPath(int32_t IndexID, TORQKeyPath& KeyPath, int64_t Position) {
    TORQTableLock lock(*this);
    KeyPath.FromApproxPosition(Position, OpenIndex(IndexID).MaxEntriesPerPage());
}

void TORQTableData::DropTemporaryIndexes(TORQCursor* Cursor) {
    if (IndexManager == nullptr) return;
    for (int32_t i = IndexManager->IndexDefs.GetCount() - 1; i >= 0; --i) {
        const TORQIndexDef* d = IndexManager->IndexDefs.GetItem(i);
        if (d->Temporary) DeleteIndex(d->ObjectID, Cursor);
    }
}

void TORQTableData::DeleteAllIndexes(TORQCursor* Cursor) {
    if (IndexManager == nullptr) return;
    while (IndexManager->IndexDefs.GetCount() > 0) DeleteIndex(IndexManager->IndexDefs.GetItem(0)->ObjectID, Cursor);
}

void TORQTableData::EmptyIndexes(int32_t SessionID) {
    if (IndexManager != nullptr) IndexManager->EmptyAllIndexes(SessionID);
}

void TORQTableData::InsertIndexKeys(TORQCursor* Cursor) {
    if (IndexManager != nullptr) IndexManager->InsertRecordKeys(Cursor);
}

void TORQTableData::DeleteIndexKeys(TORQCursor* Cursor, const uint8_t* Stored) {
    if (IndexManager != nullptr) IndexManager->DeleteRecordKeys(Cursor, Stored);
}

void TORQTableData::UpdateIndexKeys(TORQCursor* Cursor, bool RemoveOld) {
    if (IndexManager != nullptr) IndexManager->UpdateRecordKeys(Cursor, RemoveOld);
}

TORQIndex& TORQTableData::OpenIndex(int32_t IndexID) const {
    if (IndexManager == nullptr || IndexManager->IndexDefs.FindByID(IndexID) == nullptr)
        RaiseNativeFmt(10324, "Cannot find index by ID = %d", {IndexID});
    return IndexManager->GetIndex(IndexID);
}

void TORQTableData::DeleteAndFree(TORQCursor* Cursor, bool Force) {
    // The database's lock, not the table's: the object is gone when it is released.
    TORQDatabaseData* database = DatabaseData;
    std::lock_guard guard(database->LockSection());
    TORQTableData::DeleteTable(Cursor, Force);
    if (Force && !Cursors.empty()) return;
    database->FreeTableData(this);
}

bool TORQTableData::MayKeepNeighbour(const TORQCursor* Cursor) {
    // A callback may answer differently from one call to the next, and distinct
    // stepping compares with the record stepped from: both are probed every time.
    return Cursor->IsFiltered() && !Cursor->HasLinkedKey() && !Cursor->OnFilterRecord;
}

bool TORQTableData::KnowsNeighbours(const TORQCursor* Cursor) const {
    const TORQKnownNeighbour& k = Cursor->KnownNeighbour;
    return k.Valid && MayKeepNeighbour(Cursor) && RecordManager != nullptr && Cursor->Bof == 0 &&
           Cursor->Eof == 0 && k.Stamp == RecordManager->ChangeStamp && k.SessionID == SessionIDOf(Cursor) &&
           k.IndexID == Cursor->IndexID && k.Filter == Cursor->FilterExpression.get() &&
           k.Condition == Cursor->ConditionExpression && k.RangeStart == Cursor->RangeStartKey &&
           k.RangeEnd == Cursor->RangeEndKey;
}

bool TORQTableData::ProbeInIndex(TORQCursor* Cursor, const uint8_t* Stored, TNeighbours& Neighbours) {
    if (Cursor->IsFiltered() || !Cursor->HasIndex() || Cursor->Bof != 0 || Cursor->Eof != 0 ||
        RecordManager == nullptr || IndexManager == nullptr)
        return false;
    auto* index = dynamic_cast<TORQBTreeRecordIndex*>(&OpenIndex(Cursor->IndexID));
    if (index == nullptr) return false;
    const int32_t session = SessionIDOf(Cursor);
    const TORQRecordID at = Cursor->CurrentRecordID;
    TORQKeyPath own;
    if (index->HoldsPosition(&Cursor->IndexPositionCache, at, RecordManager->ChangeStamp)) {
        own.Assign(Cursor->IndexPositionCache.KeyPath);
    } else {
        TORQMemoryBlock block;
        if (Stored == nullptr) {
            block = TORQMemoryBlock(RecordManager->RecordSize + TORQRecordID::ByteSize + 1, true);
            auto* read = static_cast<uint8_t*>(block.Data());
            if (ReadStoredRecord(session, at, read) != grOK) return false;
            Stored = read;
        }
        if (!index->FindRecordPath(session, at, own, Stored)) return false;
    }
    TORQKeyPath path;
    path.Assign(own);
    Neighbours.NextFound = index->Next(session, path);
    if (Neighbours.NextFound) Neighbours.Next = index->RecordIdAtPath(session, path);
    Neighbours.Reached = Neighbours.NextFound ? Neighbours.Next : at;
    if (Neighbours.NextFound) {
        path.Assign(own);
        Neighbours.PriorFound = index->Prior(session, path);
        Neighbours.Reached = Neighbours.PriorFound ? index->RecordIdAtPath(session, path) : at;
    }
    return true;
}

TORQTableData::TNeighbours TORQTableData::ProbeNeighbours(TORQCursor* Cursor, const uint8_t* Stored) {
    TNeighbours n;
    const TORQRecordID at = Cursor->CurrentRecordID;
    n.Reached = at;
    if (ProbeInIndex(Cursor, Stored, n)) return n;
    const TORQKnownNeighbour kept = Cursor->KnownNeighbour;
    const bool known = KnowsNeighbours(Cursor);
    // The record is the low end of a kept gap: what follows it is known; the high end:
    // what precedes it.
    const bool knowsNext = known && kept.LowFound && !kept.LowIsPlace && kept.Low == at;
    const bool knowsPrior = known && kept.HighFound && kept.High == at;
    uint8_t* buffer = Cursor->CurrentRecord;
    uint8_t* position = Cursor->SavePosition();
    uint8_t* scratch = nullptr;
    const auto restore = [&] {
        Cursor->CurrentRecord = buffer;
        Cursor->RestorePosition(position);
        Cursor->FreePosition(position);
        Cursor->FreeRecordBuffer(scratch);
    };
    try {
        scratch = Cursor->AllocRecordBuffer();
        Cursor->CurrentRecord = scratch;
        if (knowsNext) {
            // What the next probe would answer: a filtered move that finds nothing
            // leaves the position where it was.
            n.NextFound = kept.HighFound;
            n.Next = kept.High;
            n.Reached = kept.HighFound ? kept.High : at;
        } else {
            n.NextFound = GetRecordInternal(Cursor, gmNext) == grOK;
            n.Reached = Cursor->CurrentRecordID;
            n.Next = Cursor->CurrentRecordID;
        }
        if (n.NextFound && knowsPrior) {
            n.PriorFound = kept.LowFound;
            n.Reached = kept.LowFound ? kept.Low : at;
        } else if (n.NextFound) {
            Cursor->RestorePosition(position);
            n.PriorFound = GetRecordInternal(Cursor, gmPrior) == grOK;
            n.Reached = Cursor->CurrentRecordID;
        }
    } catch (...) {
        restore();
        throw;
    }
    restore();
    return n;
}

void TORQTableData::PlaceAfterDelete(TORQCursor* Cursor, const TNeighbours& Neighbours, const uint8_t* Stored) {
    TORQKnownNeighbour& k = Cursor->KnownNeighbour;
    k.PlaceRecord.clear();
    if (Cursor->IsFiltered() && Stored != nullptr && RecordManager != nullptr &&
        !(Neighbours.NextFound && Neighbours.PriorFound)) {
        k.Place = Cursor->CurrentRecordID;
        k.PlaceRecord.assign(Stored, Stored + RecordManager->RecordSize);
    }
    k.Valid = MayKeepNeighbour(Cursor) && RecordManager != nullptr;
    if (k.Valid) {
        // With the record gone its neighbours are adjacent; without a next one, nothing
        // accepted follows its place.
        k.SessionID = SessionIDOf(Cursor);
        k.Stamp = RecordManager->ChangeStamp;
        k.IndexID = Cursor->IndexID;
        k.Filter = Cursor->FilterExpression.get();
        k.Condition = Cursor->ConditionExpression;
        k.RangeStart = Cursor->RangeStartKey;
        k.RangeEnd = Cursor->RangeEndKey;
        k.HighFound = Neighbours.NextFound;
        k.High = Neighbours.NextFound ? Neighbours.Next : TORQRecordID{};
        k.LowFound = !Neighbours.NextFound || Neighbours.PriorFound;
        k.LowIsPlace = !Neighbours.NextFound;
        k.Low = k.LowFound ? Neighbours.Reached : TORQRecordID{};
    }
    Cursor->Eof = 0;
    if (Neighbours.NextFound && Neighbours.PriorFound) {
        // Both neighbours exist: the cursor looks its place up again.
        Cursor->Bof = 1;
    } else {
        Cursor->Bof = 0;
        Cursor->CurrentRecordID = Neighbours.Reached;
    }
}

void TORQTableData::KeepNeighboursOnStep(TORQCursor* Cursor, uint8_t Mode, const TORQRecordID& From,
                                         uint8_t Result) {
    // Stepping back from the deleted record's place passes refused records only: nothing
    // accepted follows the record reached either.
    TORQKnownNeighbour& k = Cursor->KnownNeighbour;
    if (Result != grOK || Mode != gmPrior || !k.Valid || !k.LowIsPlace || !(k.Low == From)) return;
    if (!KnowsNeighbours(Cursor)) return;
    k.Low = Cursor->CurrentRecordID;
    k.LowIsPlace = false;
}

bool TORQTableData::SearchFromGonePlace(TORQCursor* Cursor, bool Forward, bool& Found, TORQRecordID& RecordID) {
    // Only the place this cursor's own delete left it on, whose values it kept; a record
    // another cursor deleted under it stays refused as a position the index cannot place.
    const TORQKnownNeighbour& k = Cursor->KnownNeighbour;
    const int32_t size = RecordManager->RecordSize;
    if (!Cursor->HasIndex() || Cursor->Bof != 0 || Cursor->Eof != 0 || !(k.Place == Cursor->CurrentRecordID) ||
        static_cast<int32_t>(k.PlaceRecord.size()) != size)
        return false;
    const int32_t session = SessionIDOf(Cursor);
    TORQMemoryBlock block(std::max(size + TORQRecordID::ByteSize + 1, Cursor->RecordBufferSize), true);
    auto* scratch = static_cast<uint8_t*>(block.Data());
    if (ReadStoredRecord(session, Cursor->CurrentRecordID, scratch) != grError) return false;
    // The index finds the nearest record by the gone record's kept values, counting the
    // records of an equal key (unlike an unfiltered move), which may be accepted ones: the
    // filters judge them.
    Found = false;
    auto* index = dynamic_cast<TORQBTreeRecordIndex*>(&OpenIndex(Cursor->IndexID));
    if (index == nullptr) return false;
    std::memcpy(scratch, k.PlaceRecord.data(), static_cast<size_t>(size));
    TORQKeyPath path;
    if (!index->FindNearestPath(session, Cursor->CurrentRecordID, scratch, Forward, path)) return true;
    TORQRecordID nearest;
    index->GetRecordIdAtPath(session, path, nearest);
    if (ReadStoredRecord(session, nearest, scratch) != grOK) return true;
    const TORQRecordID from = Cursor->CurrentRecordID;
    uint8_t* buffer = Cursor->CurrentRecord;
    const auto rebind = [&] {
        Cursor->CurrentRecord = buffer;
        Cursor->CurrentRecordID = from;
        for (TORQBaseExpression* e : {Cursor->FilterExpression.get(), Cursor->ConditionExpression})
            if (e != nullptr) e->SetRecordBuffer(buffer, 0);
    };
    try {
        nearest.ToBytes(scratch + size);
        Cursor->CurrentRecord = scratch;
        if (RecordAccepted(Cursor)) {
            Found = true;
            RecordID = nearest;
        } else {
            // On from that record as from any other.
            Cursor->CurrentRecordID = nearest;
            Cursor->CurrentRecord = buffer;
            TORQTableScan scan(*this, Cursor);
            Found = scan.ScanRecords(nullptr, false, Cursor->RecordBitmap.get(), &RecordID, Forward, false, nullptr);
        }
    } catch (...) {
        rebind();
        throw;
    }
    rebind();
    return true;
}

}  // namespace orq
