#include "engine/access/ORQLocalCursor.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>

#include "classlib/SysUtils.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDiskTable.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQTableData.h"
#include "engine/storage/ORQTableLocks.h"
#include "engine/sql/ORQExpression.h"

namespace orq {

namespace {

constexpr std::string_view SInvalidFieldNo = "Invalid field number - FieldNo = %d, FieldCount = %d";

std::mutex GTuningMutex;
TORQCursorLockTuning GTuning;

// A scratch copy of a record buffer from the engine memory manager.
class TRecordCopy {
public:
    TRecordCopy(const uint8_t* Source, int32_t Size) : FBlock(Size, false), FSize(Size) {
        std::memcpy(FBlock.Data(), Source, static_cast<size_t>(Size));
    }
    void PutBack(uint8_t* Dest) const { std::memcpy(Dest, FBlock.Data(), static_cast<size_t>(FSize)); }
    const uint8_t* Data() const { return static_cast<const uint8_t*>(FBlock.Data()); }

private:
    TORQMemoryBlock FBlock;
    int32_t FSize;
};

// Holds the database's lock for a scope.
class TDatabaseLock {
public:
    explicit TDatabaseLock(TORQDatabaseData& Database) : FDatabase(Database) { FDatabase.Lock(); }
    ~TDatabaseLock() { FDatabase.Unlock(); }
    TDatabaseLock(const TDatabaseLock&) = delete;
    TDatabaseLock& operator=(const TDatabaseLock&) = delete;

private:
    TORQDatabaseData& FDatabase;
};

bool IsWritableMode(uint8_t Mode) { return Mode == TORQLocalBLOBStream::bmWriteOnly || Mode == TORQLocalBLOBStream::bmReadWrite; }

// A table-level change of a disk database that needs repair is refused before it starts:
// its steps write (and lock) before their commit would refuse them.
void CheckDatabaseWritable(TORQDatabaseData& Database) {
    if (auto* disk = dynamic_cast<TORQDiskDatabaseData*>(&Database); disk != nullptr && disk->DiskPageManager() != nullptr)
        disk->DiskPageManager()->CheckFileChangesAllowed();
}

// A disk table left without cursors goes (its database owns it).
void FreeDiskTableIfUnused(TORQTableData* Table) {
    if (auto* disk = dynamic_cast<TORQDiskTableData*>(Table)) disk->FreeIfUnused();
}

// Runs a change of a table; a disk table left without cursors goes after it, whether it
// succeeded or failed (then AfterFailure runs and the failure goes on).
void ChangeThenFreeDiskTable(TORQTableData* Table, const std::function<void()>& Change,
                             const std::function<void()>& AfterFailure = {}) {
    try {
        Change();
    } catch (...) {
        FreeDiskTableIfUnused(Table);
        if (AfterFailure) AfterFailure();
        throw;
    }
    FreeDiskTableIfUnused(Table);
}

}  // namespace

void SetCursorLockTuning(const TORQCursorLockTuning& Tuning) {
    std::lock_guard guard(GTuningMutex);
    GTuning = Tuning;
}

TORQCursorLockTuning CursorLockTuning() {
    std::lock_guard guard(GTuningMutex);
    return GTuning;
}

// Holds the table data's lock for a scope.
class TTableDataGuard {
public:
    explicit TTableDataGuard(TORQCursor& Cursor) : FCursor(Cursor) { FCursor.LockTableData(); }
    ~TTableDataGuard() {
        try {
            FCursor.UnlockTableData();
        } catch (...) {
        }
    }
    TTableDataGuard(const TTableDataGuard&) = delete;
    TTableDataGuard& operator=(const TTableDataGuard&) = delete;

private:
    TORQCursor& FCursor;
};

// Leaves the table data's lock for a scope (a sleep of a retry loop).
class TORQLocalCursor::TUnlocked {
public:
    explicit TUnlocked(TORQLocalCursor& Cursor) : FCursor(Cursor) { FCursor.UnlockTableData(); }
    ~TUnlocked() { FCursor.LockTableData(); }
    TUnlocked(const TUnlocked&) = delete;
    TUnlocked& operator=(const TUnlocked&) = delete;

private:
    TORQLocalCursor& FCursor;
};

TORQLocalCursor::TORQLocalCursor() = default;

TORQLocalCursor::~TORQLocalCursor() {
    try {
        CloseTable();
    } catch (...) {
        // A destructor never raises; the close's checks are CloseTable's to report.
    }
}

// ---------------------------------------------------------------------------------
// Helpers

TORQDiskTableData* TORQLocalCursor::DiskTable() const { return dynamic_cast<TORQDiskTableData*>(TableData); }

bool TORQLocalCursor::UsesLocks() const {
    return Session != nullptr && Session->MultiUser != 0 && DiskTable() != nullptr;
}

int32_t TORQLocalCursor::SessionNo() const { return SessionIDOf(this); }

bool TORQLocalCursor::InSessionTransaction() const { return SessionInTransaction(); }

TORQDatabaseData& TORQLocalCursor::SessionDatabase() {
    if (Session == nullptr || Session->DatabaseData == nullptr) RaiseNative(20151, "Pointer is nil");
    DatabaseData = Session->DatabaseData;
    return *DatabaseData;
}

void TORQLocalCursor::CheckTableData(int32_t Code) const {
    if (TableData == nullptr) RaiseNative(Code, "Nil pointer occured");
}

bool TORQLocalCursor::RetryTableLock(uint8_t Type, int32_t Tries, int32_t Delay, bool RandomSleep) {
    TORQDiskTableData* disk = DiskTable();
    // A writer refused its post lock stays marked pending between its tries, so that new
    // readers let it in; the mark goes when it is granted or gives up.
    struct TPostWait {
        TORQDiskTableData* Disk;
        int32_t Session;
        bool Open;
        ~TPostWait() {
            if (!Open) return;
            try {
                Disk->EndPostWait(Session);
            } catch (...) {
                // A mark that cannot be cleared goes with the handle.
            }
        }
    } wait{disk, SessionNo(), Type == ltPost};
    if (wait.Open) disk->BeginPostWait(SessionNo());
    for (int32_t attempt = 0; attempt < Tries; ++attempt) {
        if (disk->SetTableLock(SessionNo(), Type, 1, 0, 1)) return true;
        if (attempt + 1 == Tries) break;
        TUnlocked unlocked(*this);
        if (RandomSleep)
            EngineSleepRandom(Delay);
        else
            // From a short first wait up to the delay, half to all of it: a lock freed
            // microseconds later is taken at once, and waiters do not run in step.
            EngineSleep(LockRetryWait(Delay, attempt));
    }
    return false;
}

bool TORQLocalCursor::RetryRecordLock(const TORQRecordID& RecordID, int32_t Tries, int32_t Delay) {
    TORQDiskTableData* disk = DiskTable();
    for (int32_t attempt = 0; attempt < Tries; ++attempt) {
        if (disk->LockRecord(SessionNo(), RecordID, 0, 1)) return true;
        if (attempt + 1 == Tries) break;
        TUnlocked unlocked(*this);
        EngineSleepRandom(Delay);
    }
    return false;
}

void TORQLocalCursor::ReleaseEditLocks(bool Quiet) {
    TEditLocks held = FEditLocks;
    FEditLocks = TEditLocks{};
    TORQDiskTableData* disk = DiskTable();
    if (disk == nullptr) return;
    std::exception_ptr failure;
    if (held.Record) {
        try {
            disk->UnlockRecord(SessionNo(), held.RecordID);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    // The transaction's lock ends with the transaction.
    if (held.Table && held.TableType != ltTransaction) {
        try {
            disk->ReleaseTableLock(SessionNo(), held.TableType, 1);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure && !Quiet) std::rethrow_exception(failure);
}

bool TORQLocalCursor::SameRecord(const uint8_t* A, const uint8_t* B) const {
    if (TableData == nullptr || TableData->FieldManager == nullptr) return false;
    // Text bytes after a value's terminator are no part of it: compared on copies with
    // them cleared.
    TRecordCopy a(A, RecordSize), b(B, RecordSize);
    ClearUnusedFieldBytes(const_cast<uint8_t*>(a.Data()));
    ClearUnusedFieldBytes(const_cast<uint8_t*>(b.Data()));
    return TableData->FieldManager->RecordBuffersEqual(a.Data(), b.Data());
}

void TORQLocalCursor::RefreshDefinitions(bool Constraints) {
    if (TableData == nullptr) return;
    if (TableData->IndexManager != nullptr)
        IndexDefs.Assign(TableData->IndexManager->IndexDefs);
    else
        IndexDefs.Clear();
    if (IndexName.empty() || IndexDefs.IndexOfName(IndexName) < 0) {
        if (!IndexName.empty()) SetIndexName("");
    } else {
        IndexID = IndexDefs.GetItem(IndexDefs.IndexOfName(IndexName))->ObjectID;
    }
    if (!Constraints) return;
    if (TableData->ConstraintManager != nullptr)
        ConstraintDefs.Assign(TableData->ConstraintManager->ConstraintDefs);
    else
        ConstraintDefs.Clear();
}

std::vector<std::string> TORQLocalCursor::BaseNames(const std::vector<std::string>& FieldNames) const {
    // The table data knows only the table's own names.
    std::vector<std::string> names;
    names.reserve(FieldNames.size());
    for (const std::string& name : FieldNames) {
        const int32_t p = ProjectedFieldDefs.IndexOfName(name);
        if (p >= 0) {
            const int32_t base = ProjectedFieldDefs.GetItem(p)->BaseFieldNo;
            if (base >= 0 && base < FieldDefs.GetCount()) {
                names.push_back(FieldDefs.GetItem(base)->Name);
                continue;
            }
        }
        names.push_back(name);
    }
    return names;
}

// ---------------------------------------------------------------------------------
// Table level

void TORQLocalCursor::CreateTable(const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                                  const TORQConstraintDefs& Constraints) {
    TORQDatabaseData& database = SessionDatabase();
    TDatabaseLock lock(database);
    CheckDatabaseWritable(database);
    CloseTable();
    if (database.TableExists(TableName)) DeleteTable();
    TORQTableData* table = database.GetTableData(this);
    if (table == nullptr) RaiseNative(20151, "Pointer is nil");
    const bool onDisk = dynamic_cast<TORQDiskTableData*>(table) != nullptr;
    ChangeThenFreeDiskTable(
        table, [&] { table->CreateTable(this, Fields, Indexes, Constraints); },
        [&] {
            // A table of an in-process engine is its object: a failed one must not stay listed.
            if (!onDisk && table->CursorCount() == 0) database.FreeTableData(table);
            CloseTable();
        });
    CloseTable();
}

TORQTableData* TORQLocalCursor::ExistingTableForChange(TORQDatabaseData& Database, int32_t NotFoundCode,
                                                       int32_t NoDataCode, const std::function<void()>& Checks) {
    CheckDatabaseWritable(Database);
    CloseTable();
    if (!Database.TableExists(TableName)) RaiseNativeFmt(NotFoundCode, "Table '%s' not found", {TableName});
    if (Checks) Checks();
    TORQTableData* table = Database.GetTableData(this);
    if (table == nullptr) RaiseNativeFmt(NoDataCode, "Table not found, table name = %s", {TableName});
    return table;
}

void TORQLocalCursor::DeleteTable() {
    TORQDatabaseData& database = SessionDatabase();
    TDatabaseLock lock(database);
    TORQTableData* table = ExistingTableForChange(database, 20132, 10027);
    auto* disk = dynamic_cast<TORQDiskTableData*>(table);
    // The fields' object ids, for the session's named objects (sequence values).
    std::vector<int32_t> ids;
    const auto collect = [&] {
        if (table->FieldManager == nullptr) return;
        const TORQFieldDefs& defs = table->FieldManager->FieldDefs;
        for (int32_t i = 0; i < defs.GetCount(); ++i) ids.push_back(defs.GetItem(i)->ObjectID);
    };
    if (table->FieldManager == nullptr && disk != nullptr) {
        try {
            disk->AddCursor(this);
            collect();
            disk->RemoveCursor(this);
        } catch (...) {
            disk->RemoveCursor(this);
            disk->FreeIfUnused();
            throw;
        }
    } else {
        collect();
    }
    try {
        // A memory or temporary table's object goes with it; a disk one when unused.
        table->DeleteTable(this, false);
    } catch (...) {
        if (disk != nullptr && database.TableExists(TableName)) disk->FreeIfUnused();
        throw;
    }
    for (int32_t id : ids) Session->DeleteNamedObject(id);
    CloseTable();
}

void TORQLocalCursor::EmptyTable() {
    TORQDatabaseData& database = SessionDatabase();
    TDatabaseLock lock(database);
    TORQTableData* table = ExistingTableForChange(database, 20133, 10073);
    ChangeThenFreeDiskTable(table, [&] { table->EmptyTable(this); }, [&] { CloseTable(); });
    CloseTable();
}

void TORQLocalCursor::RenameTable(const std::string& NewName) {
    TORQDatabaseData& database = SessionDatabase();
    TDatabaseLock lock(database);
    TORQTableData* table = ExistingTableForChange(database, 20134, 10151, [&] {
        if (NewName == TableName) RaiseNativeFmt(30452, "Cannot rename table '%s' into itself", {TableName});
        if (!SameName(NewName, TableName) && database.TableExists(NewName))
            RaiseNativeFmt(30451, "Table %s already exists", {NewName});
    });
    // The disk object keeps the old name; the next open finds the table under the new.
    ChangeThenFreeDiskTable(table, [&] { table->RenameTable(NewName, this); });
    CloseTable();
    TableName = NewName;
}

// ---------------------------------------------------------------------------------
// Open and close

void TORQLocalCursor::InitFieldDefs() {
    if (TableData == nullptr || TableData->FieldManager == nullptr) RaiseNative(10260, "Nil pointer occured");
    if (Projected == 0) {
        FieldDefs.Assign(TableData->FieldManager->FieldDefs);
        FieldDefs.CalculateOffsets();
        for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) FieldDefs.GetItem(i)->BaseFieldNo = i;
        ProjectedFieldDefs.Assign(FieldDefs);
        for (int32_t i = 0; i < ProjectedFieldDefs.GetCount(); ++i) ProjectedFieldDefs.GetItem(i)->BaseFieldNo = i;
    }
    CalculateRecordSizes();
    if (TableData->ConstraintManager != nullptr)
        ConstraintDefs.Assign(TableData->ConstraintManager->ConstraintDefs);
    else
        ConstraintDefs.Clear();
}

void TORQLocalCursor::OpenTable(const TORQFieldDefs* Fields, const TORQIndexDefs* Indexes,
                                const TORQConstraintDefs* Constraints) {
    if (Active != 0) return;
    TORQDatabaseData& database = SessionDatabase();
    TDatabaseLock lock(database);
    TORQTableData* table = database.FindTableData(this);
    bool created = false;
    const bool onDisk = dynamic_cast<TORQDiskDatabaseData*>(&database) != nullptr;
    if (table == nullptr) {
        if (!onDisk && DesignTime == 0) RaiseNativeFmt(10028, "Table not found, table name = %s", {TableName});
        table = database.GetTableData(this);
        if (table == nullptr) RaiseNativeFmt(10028, "Table not found, table name = %s", {TableName});
        if (!onDisk) {
            created = true;
            try {
                const TORQFieldDefs noFields;
                const TORQIndexDefs noIndexes;
                const TORQConstraintDefs noConstraints;
                table->CreateTable(this, Fields != nullptr ? *Fields : noFields,
                                   Indexes != nullptr ? *Indexes : noIndexes,
                                   Constraints != nullptr ? *Constraints : noConstraints);
            } catch (...) {
                database.FreeTableData(table);
                throw;
            }
        }
    }
    // The table component's option byte: kept where the table keeps its temporary data.
    if (TableOption != 0) table->TemporaryStorage = TableOption;
    auto* repaired = dynamic_cast<TORQDiskTableData*>(table);
    if (repaired != nullptr && (RepairOption == 0 || repaired->CursorCount() != 0)) repaired = nullptr;
    if (repaired != nullptr) repaired->Repair = RepairOption;
    try {
        table->AddCursor(this);
        if (repaired != nullptr) repaired->Repair = 0;
    } catch (...) {
        if (repaired != nullptr) repaired->Repair = 0;
        if (created)
            table->DeleteTable(nullptr, true);
        else
            FreeDiskTableIfUnused(table);
        throw;
    }
    TableData = table;
    try {
        Bof = 1;
        Eof = 0;
        RefreshDefinitions(false);
        BlobStreams.clear();
        InitFieldDefs();
        CreateRecordBitmap();
    } catch (...) {
        DetachTable();
        throw;
    }
    FEditLocks = TEditLocks{};
    Active = 1;
}

void TORQLocalCursor::AttachTableData(TORQTableData* Table) {
    if (Table == nullptr) RaiseNative(20151, "Pointer is nil");
    TORQDatabaseData& database = *Table->DatabaseData;
    TDatabaseLock lock(database);
    Table->AddCursor(this);
    TableData = Table;
    DatabaseData = &database;
    try {
        Bof = 1;
        Eof = 0;
        RefreshDefinitions(false);
        BlobStreams.clear();
        InitFieldDefs();
        CreateRecordBitmap();
    } catch (...) {
        Table->RemoveCursor(this);
        TableData = nullptr;
        throw;
    }
    FEditLocks = TEditLocks{};
    Active = 1;
}

void TORQLocalCursor::DetachTable() {
    TORQTableData* table = TableData;
    if (table == nullptr) return;
    const bool onDisk = dynamic_cast<TORQDiskTableData*>(table) != nullptr;
    // An unfinished edit's locks would stay until the session disconnects.
    ReleaseEditLocks(true);
    // Written data nobody posted is dropped: stored into a buffer now, it would stay in
    // the BLOB cache of a buffer nobody frees through this table. The cache entries of
    // the table's buffers go with its managers once its last cursor closed.
    try {
        ReleaseStreams(false, false);
    } catch (...) {
        BlobStreams.clear();
    }
    table->RemoveCursor(this);
    TableData = nullptr;
    // A design-time table of the in-process engines lives only while it is shown; a disk
    // table is never dropped by a close, whatever the flags say.
    if (DesignTime != 0 && (InMemory != 0 || TemporaryTable != 0) && !onDisk)
        table->DeleteTable(this, true);
    else if (onDisk)
        static_cast<TORQDiskTableData*>(table)->FreeIfUnused();
}

void TORQLocalCursor::CloseTable() {
    if (TableData != nullptr) {
        TORQDatabaseData& database = *TableData->DatabaseData;
        TDatabaseLock lock(database);
        DetachTable();
    }
    RecordBitmap.reset();
    FilterExpression.reset();
    ScanPlan.reset();
    ProjectedFieldDefs.Clear();
    if (Projected == 0) FieldDefs.Clear();
    IndexDefs.Clear();
    BlobStreams.clear();
    ConstraintDefs.Clear();
    FEditLocks = TEditLocks{};
    Active = 0;
}

void TORQLocalCursor::LockTableData() {
    if (TableData == nullptr) RaiseNative(10260, "Nil pointer occured");
    TableData->Lock();
}

void TORQLocalCursor::UnlockTableData() {
    if (TableData == nullptr) RaiseNative(10261, "Nil pointer occured");
    TableData->Unlock();
}

bool TORQLocalCursor::LockTable(uint8_t LockType, int32_t Tries, uint8_t Flag, int32_t Delay) {
    if (TableData == nullptr) RaiseNative(20221, "Pointer is nil");
    TORQDiskTableData* disk = DiskTable();
    if (disk == nullptr) return true;
    return disk->SetTableLock(SessionNo(), LockType, Flag, Delay, Tries);
}

bool TORQLocalCursor::UnlockTable(uint8_t LockType, uint8_t Flag) {
    if (TableData == nullptr) RaiseNative(20222, "Pointer is nil");
    TORQDiskTableData* disk = DiskTable();
    if (disk == nullptr) return true;
    disk->ReleaseTableLock(SessionNo(), LockType, Flag);
    return true;
}

void TORQLocalCursor::RenameField(const std::string& OldName, const std::string& NewName) {
    CheckTableData(10260);
    TableData->RenameField(OldName, NewName);
    InitFieldDefs();
}

TORQIndexDefs& TORQLocalCursor::GetIndexDefs() {
    RefreshDefinitions(false);
    return TORQCursor::GetIndexDefs();
}

// ---------------------------------------------------------------------------------
// Indexes

void TORQLocalCursor::AddIndex(const TORQIndexDef& IndexDef) {
    CheckTableData(10260);
    RefreshDefinitions(false);
    if (IndexDefs.FindByName(IndexDef.Name) != nullptr)
        RaiseNativeFmt(20022, "Cannot create index '%s'. Index already exists", {IndexDef.Name});
    ChangeIndexes([&] { TableData->AddIndex(IndexDef, this); });
}

void TORQLocalCursor::DeleteIndex(const std::string& Name) {
    CheckTableData(10260);
    RefreshDefinitions(false);
    const TORQIndexDef* def = IndexDefs.FindByName(Name);
    if (def == nullptr) RaiseNativeFmt(20021, "Cannot delete index '%s'. Index not found", {Name});
    const int32_t id = def->ObjectID;
    ChangeIndexes([&] { TableData->DeleteIndex(id, this); });
}

void TORQLocalCursor::ChangeIndexes(const std::function<void()>& Change) {
    CheckDatabaseWritable(*TableData->DatabaseData);
    TTableDataGuard guard(*this);
    try {
        Change();
    } catch (...) {
        RefreshDefinitions(true);
        throw;
    }
    RefreshDefinitions(true);
}

void TORQLocalCursor::DeleteAllIndexes() {
    CheckTableData(10260);
    TTableDataGuard guard(*this);
    TableData->DropTemporaryIndexes(this);
    RefreshDefinitions(true);
}

std::string TORQLocalCursor::CreateTemporaryIndex(const std::vector<std::string>& FieldNames,
                                                  const std::vector<std::string>& Orders,
                                                  const std::vector<std::string>& Cases) {
    CheckTableData(10260);
    TTableDataGuard guard(*this);
    std::string name;
    TableData->CreateTemporaryIndex(this, BaseNames(FieldNames), name, Cases, Orders);
    RefreshDefinitions(false);
    return name;
}

bool TORQLocalCursor::HasIndexForFields(const std::vector<std::string>& FieldNames,
                                        const std::vector<std::string>& Orders,
                                        const std::vector<std::string>& Cases) {
    CheckTableData(10260);
    TTableDataGuard guard(*this);
    return TableData->HasIndexForFields(this, BaseNames(FieldNames), Cases, Orders);
}

void TORQLocalCursor::SetTemporaryIndex(const std::vector<std::string>& FieldNames,
                                        const std::vector<std::string>& Orders,
                                        const std::vector<std::string>& Cases) {
    TTableDataGuard guard(*this);
    const std::string name = CreateTemporaryIndex(FieldNames, Orders, Cases);
    SetIndexName(name);
    KeyFieldCount = static_cast<int32_t>(FieldNames.size());
    ResetRecordBitmap();
}

// ---------------------------------------------------------------------------------
// Records

void TORQLocalCursor::InitRecord(uint8_t* Buffer, bool ApplyDefaults) {
    const int32_t bitmap = FieldDefs.GetNullBitmapSize();
    std::memset(Buffer, 0xFF, static_cast<size_t>(bitmap));
    if (RecordSize > bitmap) std::memset(Buffer + bitmap, 0, static_cast<size_t>(RecordSize - bitmap));
    // Autoincrement values are drawn by the post, under its lock.
    if (ApplyDefaults && TemporaryTable == 0 && TableData != nullptr && TableData->FieldManager != nullptr)
        TableData->FieldManager->ApplyDefaults(Buffer);
}

void TORQLocalCursor::FreeRecordBuffer(uint8_t*& Buffer) {
    if (Buffer == nullptr) return;
    if (TableData != nullptr) TableData->FreeRecordBlobs(Buffer);
    TORQCursor::FreeRecordBuffer(Buffer);
}

int64_t TORQLocalCursor::GetRecordCount() {
    TTableDataGuard guard(*this);
    return TableData->GetRecordCount(this);
}

std::vector<TORQSkippedRecord> TORQLocalCursor::TakeSkippedRecords() {
    std::vector<TORQSkippedRecord> out;
    auto* disk = dynamic_cast<TORQDiskTableData*>(TableData);
    TORQDiskRecordManager* rm = disk != nullptr ? disk->DiskRecordManager() : nullptr;
    if (rm == nullptr) return out;
    TORQTableLock lock(*disk);
    for (TORQSkippedRecord& s : rm->Skipped)
        if (!s.Reported) {
            s.Reported = true;
            out.push_back(s);
        }
    return out;
}

uint8_t TORQLocalCursor::GetRecord(uint8_t Mode) {
    TTableDataGuard guard(*this);
    return TableData->GetRecord(this, Mode);
}

void TORQLocalCursor::SetRecNo(int64_t RecNo) {
    TTableDataGuard guard(*this);
    TableData->SetRecNo(this, RecNo);
}

int64_t TORQLocalCursor::GetRecNo() {
    TTableDataGuard guard(*this);
    return TableData->GetRecNo(this);
}

void TORQLocalCursor::First() {
    Bof = 1;
    Eof = 0;
}

void TORQLocalCursor::Last() {
    Bof = 0;
    Eof = 1;
}

void TORQLocalCursor::BeginInsert() {}

bool TORQLocalCursor::GotoBookmark(const TORQRecordID& Position) {
    TTableDataGuard guard(*this);
    return TableData->GotoRecord(this, Position);
}

int64_t TORQLocalCursor::GetLastAutoincValue(int32_t FieldNo) {
    CheckTableData(10260);
    return TableData->GetLastAutoincValue(FieldNo, this);
}

void TORQLocalCursor::BeginUpdateBatch() {
    if (!InSessionTransaction()) UpdateBatch = 1;
}

void TORQLocalCursor::CommitBatch() {
    if (InSessionTransaction() || UpdateBatch == 0) return;
    TORQDiskTableData* disk = DiskTable();
    UpdateBatch = 0;
    if (disk != nullptr) {
        TTableDataGuard guard(*this);
        disk->CommitSessionPages(SessionNo(), false);
    }
}

void TORQLocalCursor::RollbackBatch() {
    if (InSessionTransaction() || UpdateBatch == 0) return;
    TORQDiskTableData* disk = DiskTable();
    UpdateBatch = 0;
    if (disk != nullptr) {
        TTableDataGuard guard(*this);
        disk->RollbackSessionPages(SessionNo(), false);
    }
}

bool TORQLocalCursor::CheckConstraints(bool Inserting) {
    CheckTableData(10260);
    if (TableData->ConstraintManager == nullptr) return true;
    TTableDataGuard guard(*this);
    return TableData->ConstraintManager->CheckRecord(SessionNo(), CurrentRecord, false, CurrentRecordID, Inserting,
                                                     OldRecord);
}

// ---------------------------------------------------------------------------------
// Edit, post, delete, cancel

void TORQLocalCursor::Edit() {
    TTableDataGuard guard(*this);
    ResultCode = 0;
    if (TemporaryTable != 0) {
        ResultCode = -9;
        return;
    }
    if (!UsesLocks()) return;
    const TORQCursorLockTuning tuning = CursorLockTuning();
    // An edit already under way keeps its locks (an edit lock does not nest).
    if (HoldsEditLocks()) ReleaseEditLocks(false);
    const uint8_t type = InSessionTransaction() ? ltTransaction : ltEdit;
    if (!RetryTableLock(type, tuning.EditTries, tuning.EditDelay, true)) {
        ResultCode = -13;
        return;
    }
    FEditLocks.Table = true;
    FEditLocks.TableType = type;
    const TORQRecordID record = CurrentRecordID;
    try {
        if (!RetryRecordLock(record, tuning.RecordTries, tuning.RecordDelay)) {
            ResultCode = -12;
        } else {
            FEditLocks.Record = true;
            FEditLocks.RecordID = record;
            // The re-read needs the read lock: had by the read itself, a post lock of
            // another session would make it answer "no record", a false -6.
            if (!RetryTableLock(ltRead, tuning.EditTries, tuning.EditDelay, true)) {
                ResultCode = -13;
            } else {
                const int32_t size = std::max(FullBufferSize, RecordBufferSize);
                const TRecordCopy copy(CurrentRecord, size);
                try {
                    if (TableData->GetRecord(this, gmCurrent) != grOK)
                        ResultCode = -6;
                    else if (!SameRecord(CurrentRecord, copy.Data()))
                        ResultCode = -4;
                } catch (...) {
                    copy.PutBack(CurrentRecord);
                    CurrentRecordID = record;
                    DiskTable()->ReleaseTableLock(SessionNo(), ltRead, 1);
                    throw;
                }
                // The caller's buffer stays as it was (its BLOB cache handles included).
                copy.PutBack(CurrentRecord);
                CurrentRecordID = record;
                DiskTable()->ReleaseTableLock(SessionNo(), ltRead, 1);
            }
        }
    } catch (...) {
        ReleaseEditLocks(true);
        throw;
    }
    if (ResultCode != 0) {
        // A transaction's lock taken by this edit goes too: nothing changed under it.
        TEditLocks held = FEditLocks;
        ReleaseEditLocks(false);
        if (held.Table && held.TableType == ltTransaction) DiskTable()->ReleaseTableLock(SessionNo(), ltTransaction, 1);
    }
}

void TORQLocalCursor::PostBody(bool Inserting) {
    try {
        if (Inserting) {
            TORQTableLock lock(*TableData);
            // The counters are the file's now, under the post lock: a value drawn from an
            // older state may be one another process already handed out.
            if (UsesLocks()) DiskTable()->ReadMostUpdatedFile(SessionNo());
            if (TableData->FieldManager != nullptr) TableData->FieldManager->ApplyAutoincValues(Session, CurrentRecord);
        }
        if (TemporaryTable == 0 && TableData->ConstraintManager != nullptr)
            TableData->ConstraintManager->CheckRecord(SessionNo(), CurrentRecord, true, CurrentRecordID, Inserting,
                                                      OldRecord);
    } catch (const classlib::Exception& e) {
        ResultCode = -8;
        ResultText = e.Message();
        return;
    }
    FreeBlobs(true);
    if (Inserting) {
        if (!TableData->InsertRecord(this)) {
            ResultCode = -1;
            return;
        }
        CurrentRecordID.ToBytes(CurrentRecord + RecordSize);
        CurrentRecord[RecordSize + TORQRecordID::ByteSize] = 3;
        ResultCode = 0;
        return;
    }
    CurrentRecordID = TORQRecordID::FromBytes(CurrentRecord + RecordSize);
    const TORQRecordID position = CurrentRecordID;
    const TRecordCopy copy(CurrentRecord, std::max(FullBufferSize, RecordBufferSize));
    try {
        if (TableData->GetRecord(this, gmCurrent) != grOK) {
            ResultCode = -6;
        } else if (OldRecord != nullptr && !SameRecord(CurrentRecord, OldRecord)) {
            ResultCode = -4;
        }
    } catch (...) {
        copy.PutBack(CurrentRecord);
        CurrentRecordID = position;
        throw;
    }
    copy.PutBack(CurrentRecord);
    CurrentRecordID = position;
    if (ResultCode != 0) return;
    ResultCode = TableData->UpdateRecord(this) ? 0 : -2;
}

void TORQLocalCursor::PostRecord(bool Inserting) {
    TTableDataGuard guard(*this);
    ResultCode = 0;
    ResultText.clear();
    if (!UsesLocks()) {
        PostBody(Inserting);
        return;
    }
    const TORQCursorLockTuning tuning = CursorLockTuning();
    const bool inTransaction = InSessionTransaction();
    const uint8_t type = inTransaction ? ltTransaction : ltPost;
    if (!RetryTableLock(type, tuning.PostTries, tuning.PostDelay, false)) {
        ResultCode = -13;
        return;
    }
    const auto after = [&](bool Quiet) {
        std::exception_ptr failure;
        if (!Inserting && ResultCode != -8) {
            try {
                ReleaseEditLocks(Quiet);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        try {
            if (!inTransaction) DiskTable()->ReleaseTableLock(SessionNo(), ltPost, 1);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        if (failure && !Quiet) std::rethrow_exception(failure);
    };
    try {
        PostBody(Inserting);
    } catch (...) {
        after(true);
        throw;
    }
    after(false);
}

void TORQLocalCursor::DeleteBody() {
    if (TemporaryTable != 0) {
        ResultCode = -10;
        return;
    }
    const TORQRecordID position = CurrentRecordID;
    const TRecordCopy copy(CurrentRecord, std::max(FullBufferSize, RecordBufferSize));
    try {
        if (TableData->GetRecord(this, gmCurrent) != grOK)
            ResultCode = -7;
        else if (!SameRecord(CurrentRecord, copy.Data()))
            ResultCode = -5;
    } catch (...) {
        copy.PutBack(CurrentRecord);
        CurrentRecordID = position;
        throw;
    }
    copy.PutBack(CurrentRecord);
    CurrentRecordID = position;
    if (ResultCode != 0) return;
    ResultCode = TableData->DeleteRecord(this) ? 0 : -3;
}

void TORQLocalCursor::DeleteRecord() {
    TTableDataGuard guard(*this);
    ResultCode = 0;
    // The record deleted is the buffer's: its position is the one locked.
    if (CurrentRecord != nullptr && TemporaryTable == 0)
        CurrentRecordID = TORQRecordID::FromBytes(CurrentRecord + RecordSize);
    if (!UsesLocks() || TemporaryTable != 0) {
        DeleteBody();
        return;
    }
    const TORQCursorLockTuning tuning = CursorLockTuning();
    const bool inTransaction = InSessionTransaction();
    const uint8_t type = inTransaction ? ltTransaction : ltPost;
    if (!RetryTableLock(type, tuning.DeleteTries, tuning.DeleteDelay, false)) {
        ResultCode = -13;
        return;
    }
    TORQDiskTableData* disk = DiskTable();
    const TORQRecordID record = CurrentRecordID;
    bool recordLocked = false;
    const auto release = [&](bool Quiet) {
        std::exception_ptr failure;
        if (recordLocked) {
            try {
                disk->UnlockRecord(SessionNo(), record);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        try {
            if (!inTransaction) disk->ReleaseTableLock(SessionNo(), ltPost, 1);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        if (failure && !Quiet) std::rethrow_exception(failure);
    };
    try {
        recordLocked = RetryRecordLock(record, tuning.RecordTries, tuning.RecordDelay);
        if (!recordLocked)
            ResultCode = -12;
        else
            DeleteBody();
    } catch (...) {
        release(true);
        throw;
    }
    // A transaction's lock taken for a delete that could not lock its record goes again.
    if (!recordLocked && inTransaction) {
        release(false);
        disk->ReleaseTableLock(SessionNo(), ltTransaction, 1);
        return;
    }
    release(false);
}

void TORQLocalCursor::CancelRecord(bool WasInsert) {
    TTableDataGuard guard(*this);
    ResultCode = 0;
    std::exception_ptr failure;
    try {
        FreeBlobs(true);
        if (TORQDiskTableData* disk = DiskTable()) disk->ClearRecordBlobs(CurrentRecord);
        if (WasInsert && CurrentRecord != nullptr) TableData->FreeRecordBlobs(CurrentRecord);
    } catch (...) {
        failure = std::current_exception();
    }
    if (!WasInsert) {
        try {
            ReleaseEditLocks(false);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------------
// Filters and searches

void TORQLocalCursor::SetFilter(const std::string& Text, bool CaseInsensitive, bool PartialCompare) {
    auto expression = std::make_unique<TORQExpression>();
    expression->ParseFilter(this, Text, CaseInsensitive, PartialCompare);
    FilterExpression = std::move(expression);
    ResetRecordBitmap();
}

void TORQLocalCursor::CancelFilter() {
    FilterExpression.reset();
    ResetRecordBitmap();
}

bool TORQLocalCursor::Locate(const std::vector<std::string>& FieldNames, const classlib::Variant& Values,
                             uint8_t Options) {
    CheckTableData(10260);
    std::string names;
    for (std::size_t i = 0; i < FieldNames.size(); ++i) {
        if (i > 0) names += ';';
        names += FieldNames[i];
    }
    TORQExpression condition;
    condition.BuildLocateCondition(this, names, Values, (Options & 1) != 0, (Options & 2) != 0);
    TTableDataGuard guard(*this);
    return TableData->FindRecord(this, &condition);
}

bool TORQLocalCursor::FindKey(const std::string& FieldName, uint8_t Operator, const TORQVariant& Value) {
    CheckTableData(10260);
    TORQExpression condition;
    condition.BuildFieldEqualsCondition(this, FieldName, Operator, Value);
    TTableDataGuard guard(*this);
    return TableData->FindRecord(this, &condition);
}

bool TORQLocalCursor::FindKey(const std::string& KeyText, bool Nearest, const classlib::Variant& KeyValues) {
    TORQVariant value;
    if (KeyValues.IsArray())
        value.SetAsVariant(KeyValues.GetElement({KeyValues.ArrayLowBound(1)}));
    else
        value.SetAsVariant(KeyValues);
    return FindKey(KeyText, Nearest ? doGreaterOrEqual : doEqual, value);
}

// ---------------------------------------------------------------------------------
// BLOBs

TORQLocalBLOBStream* TORQLocalCursor::OpenStream(uint8_t Mode, int32_t FieldNo) {
    if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
        RaiseNativeFmt(10110, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    if (Active == 0) RaiseNative(10113, "Nil pointer occured");
    if (IsWritableMode(Mode)) {
        for (const auto& s : BlobStreams)
            if (s->FieldNo() == FieldNo && IsWritableMode(s->Mode()))
                RaiseNativeFmt(10115, "BLOB field already opened. FieldNo = %d, FieldName = %s",
                               {FieldNo, FieldDefs.GetItem(FieldNo)->Name});
    }
    std::unique_ptr<TORQLocalBLOBStream> stream = TableData->CreateBlobStream(this, false, Mode, FieldNo);
    if (!stream) return nullptr;
    BlobStreams.push_back(std::move(stream));
    return BlobStreams.back().get();
}

template <class TOpen>
bool TORQLocalCursor::WithBlobOpen(bool IsInsert, bool IsEdit, bool IsBrowse, TOpen&& Open) {
    if (!UsesLocks()) {
        Open();
        return true;
    }
    const TORQCursorLockTuning tuning = CursorLockTuning();
    TORQDiskTableData* disk = DiskTable();
    // One bracket for the record and its memo: the re-read and the BLOB's pages inside it.
    // A memo opened for a new row reads nothing of the table: a writer filling its row is
    // not held back by other writers' turns (a held post lock still keeps it out).
    if (!disk->BeginReadBracket(SessionNo(), tuning.BlobReadDelay, tuning.BlobReadTries, !IsInsert)) return false;
    struct TEnd {
        TORQDiskTableData* Disk;
        int32_t Session;
        ~TEnd() {
            try {
                Disk->EndReadBracket(Session);
            } catch (...) {
                // A lock that cannot be released stays with the session until it disconnects.
            }
        }
    } end{disk, SessionNo()};
    bool readable = true;
    if (IsBrowse && !IsInsert && !IsEdit && BlobStreams.empty()) {
        // The latest reference: another process may have replaced the value. The
        // buffer's cached values belong to the record it held.
        disk->ClearRecordBlobs(CurrentRecord);
        uint8_t* saved = SavePosition();
        try {
            readable = TableData->GetRecord(this, gmCurrent) == grOK;
        } catch (...) {
            RestorePosition(saved);
            FreePosition(saved);
            throw;
        }
        RestorePosition(saved);
        FreePosition(saved);
    }
    if (readable) Open();
    return readable;
}

TORQLocalBLOBStream* TORQLocalCursor::OpenBlob(bool IsInsert, bool IsEdit, bool IsBrowse, uint8_t Mode,
                                               int32_t FieldNo) {
    TTableDataGuard guard(*this);
    TORQLocalBLOBStream* result = nullptr;
    WithBlobOpen(IsInsert, IsEdit, IsBrowse, [&] { result = OpenStream(Mode, FieldNo); });
    return result;
}

void TORQLocalCursor::ReadValue(int32_t FieldNo, std::string& Bytes) {
    if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
        RaiseNativeFmt(10110, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    if (Active == 0) RaiseNative(10113, "Nil pointer occured");
    try {
        TableData->ReadBlobValue(this, FieldNo, Bytes);
    } catch (...) {
        try {
            if (CurrentRecord != nullptr) ReleaseReadBlob(FieldNo);
        } catch (...) {
        }
        throw;
    }
    // As a read stream's close does.
    if (CurrentRecord != nullptr) ReleaseReadBlob(FieldNo);
}

bool TORQLocalCursor::ReadBlobValue(bool IsInsert, bool IsEdit, bool IsBrowse, int32_t FieldNo, std::string& Bytes,
                                    bool& Opened) {
    Bytes.clear();
    TTableDataGuard guard(*this);
    Opened = WithBlobOpen(IsInsert, IsEdit, IsBrowse, [&] { ReadValue(FieldNo, Bytes); });
    return true;
}

void TORQLocalCursor::CloseStream(std::size_t Index, bool Store) {
    std::unique_ptr<TORQLocalBLOBStream> stream = std::move(BlobStreams[Index]);
    BlobStreams.erase(BlobStreams.begin() + static_cast<std::ptrdiff_t>(Index));
    const int32_t field = stream->FieldNo();
    const bool stored = Store && IsWritableMode(stream->Mode()) && CurrentRecord != nullptr;
    if (stored) TableData->StoreBlobStream(this, field, *stream);
    // An unchanged disk value read into the buffer's cache is let go again. A discarding
    // close (the table's) leaves the buffer alone: its owner may have freed it already.
    if (Store && (!stored || !stream->Modified()) && CurrentRecord != nullptr) ReleaseReadBlob(field);
}

void TORQLocalCursor::ReleaseReadBlob(int32_t FieldNo) {
    TORQDiskTableData* disk = DiskTable();
    if (disk == nullptr || disk->BlobManager == nullptr) return;
    // A value written on this buffer and not posted yet is the post's to store: reading
    // it back must not drop it for the stored one.
    // Without an entry there is no copy to let go (a stale handle reads as none).
    const TORQBlobCacheEntry* entry = disk->BlobManager->GetCacheEntry(CurrentRecord, FieldNo);
    if (entry == nullptr || entry->Modified != 0) return;
    TableData->FreeBlob(CurrentRecord, FieldNo);
}

void TORQLocalCursor::ReleaseStreams(bool OnlyWritable, bool Store) {
    std::exception_ptr failure;
    for (std::size_t i = BlobStreams.size(); i-- > 0;) {
        TORQLocalBLOBStream& s = *BlobStreams[i];
        if (OnlyWritable && !IsWritableMode(s.Mode())) continue;
        if (s.DataSetStream != nullptr) {
            if (OnDetachBlobStream) OnDetachBlobStream(s);
            s.DataSetStream = nullptr;
        }
        try {
            CloseStream(i, Store);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

void TORQLocalCursor::CloseBlob(int32_t FieldNo) {
    if (FieldNo < 0 || FieldNo >= FieldDefs.GetCount())
        RaiseNativeFmt(10118, SInvalidFieldNo, {FieldNo, FieldDefs.GetCount()});
    if (Active == 0) RaiseNative(10119, "Nil pointer occured");
    TTableDataGuard guard(*this);
    std::exception_ptr failure;
    for (std::size_t i = BlobStreams.size(); i-- > 0;) {
        if (BlobStreams[i]->FieldNo() != FieldNo) continue;
        try {
            CloseStream(i, true);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

void TORQLocalCursor::CloseBlobStream(TORQLocalBLOBStream& Stream) {
    if (Active == 0) RaiseNative(10119, "Nil pointer occured");
    TTableDataGuard guard(*this);
    for (std::size_t i = BlobStreams.size(); i-- > 0;)
        if (BlobStreams[i].get() == &Stream) return CloseStream(i, true);
}

void TORQLocalCursor::FreeBlobs(bool OnlyWritable) {
    if (BlobStreams.empty()) return;
    ReleaseStreams(OnlyWritable, true);
}

// ---------------------------------------------------------------------------------
// Copying a field

void TORQLocalCursor::CopyFieldValue(int32_t FieldNo, bool Projected_, TORQCursor& Dest, int32_t DestFieldNo) {
    const TORQFieldDefs& sourceDefs = Projected_ ? ProjectedFieldDefs : FieldDefs;
    if (FieldNo < 0 || FieldNo >= sourceDefs.GetCount())
        RaiseNativeFmt(10501, SInvalidFieldNo, {FieldNo, sourceDefs.GetCount()});
    if (DestFieldNo < 0 || DestFieldNo >= Dest.FieldDefs.GetCount())
        RaiseNativeFmt(10502, SInvalidFieldNo, {DestFieldNo, Dest.FieldDefs.GetCount()});
    if (CurrentRecord == nullptr || Dest.CurrentRecord == nullptr) RaiseNative(20151, "Pointer is nil");
    const int32_t base = Projected_ ? ProjectedFieldDefs.GetItem(FieldNo)->BaseFieldNo : FieldNo;
    const TORQFieldDef& from = *FieldDefs.GetItem(base);
    const TORQFieldDef& to = *Dest.FieldDefs.GetItem(DestFieldNo);
    if (GetBit(CurrentRecord, base)) {
        SetBit(Dest.CurrentRecord, DestFieldNo, true);
        return;
    }
    const bool fromBlob = IsBlobBaseType(from.BaseType);
    const bool toBlob = IsBlobBaseType(to.BaseType);
    if (from.BaseType == to.BaseType && !fromBlob && from.MemorySize == to.MemorySize) {
        std::memcpy(Dest.CurrentRecord + to.MemoryOffset, CurrentRecord + from.MemoryOffset,
                    static_cast<size_t>(from.MemorySize));
        SetBit(Dest.CurrentRecord, DestFieldNo, false);
        return;
    }
    if (fromBlob || toBlob) {
        CheckTableData(10260);
        if (Dest.TableData == nullptr) RaiseNative(10260, "Nil pointer occured");
        TTableDataGuard guard(*this);
        // The stored bytes can move as they are only while both fields store alike;
        // otherwise the value passes uncompressed through a stream on each side.
        if (fromBlob && toBlob && from.BlobCompressionAlgorithm == to.BlobCompressionAlgorithm &&
            from.BlobCompressionMode == to.BlobCompressionMode && from.BlobBlockSize == to.BlobBlockSize) {
            uint8_t* data = nullptr;
            TORQBlobDataHeader header;
            TableData->ReadBlob(this, base, data, header, CurrentRecord);
            try {
                Dest.TableData->WriteBlob(&Dest, DestFieldNo, data, header, Dest.CurrentRecord);
            } catch (...) {
                TableData->DeleteBlob(data);
                ReleaseReadBlob(base);
                throw;
            }
            TableData->DeleteBlob(data);
            ReleaseReadBlob(base);
            return;
        }
        std::string bytes;
        if (fromBlob) {
            std::unique_ptr<TORQLocalBLOBStream> in =
                TableData->CreateBlobStream(this, false, TORQLocalBLOBStream::bmReadOnly, base);
            if (in) {
                bytes.resize(static_cast<size_t>(in->Size()));
                in->Seek(0, soBeginning);
                if (!bytes.empty()) in->ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
            }
            in.reset();
            ReleaseReadBlob(base);
        } else {
            TORQVariant v;
            GetFieldValue(v, base, true);
            bytes = v.GetAsString();
        }
        if (toBlob) {
            std::unique_ptr<TORQLocalBLOBStream> out =
                Dest.TableData->CreateBlobStream(&Dest, true, TORQLocalBLOBStream::bmWriteOnly, DestFieldNo);
            if (!out) RaiseNative(10260, "Nil pointer occured");
            out->Write(bytes.data(), static_cast<int64_t>(bytes.size()));
            if (bytes.empty()) out->SetSize(0);
            Dest.TableData->StoreBlobStream(&Dest, DestFieldNo, *out);
        } else {
            TORQVariant v;
            v.SetAsString(bytes);
            Dest.SetFieldValue(v, DestFieldNo, Dest.CurrentRecord, true);
        }
        return;
    }
    TORQVariant value;
    GetFieldValue(value, base, true);
    Dest.SetFieldValue(value, DestFieldNo, Dest.CurrentRecord, true);
}

}  // namespace orq
