#include "engine/storage/ORQDiskTable.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <optional>

#include "engine/foundation/ORQCompressedStream.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQConst.h"
#include "engine/storage/ORQLocalBLOBStream.h"
#include "engine/storage/ORQTempEngine.h"
#include "engine/storage/ORQRecordBitmap.h"

namespace orq {

using TTablesLock = TORQDiskDatabaseData::TTablesLock;

// The multi-user bracket of one operation: the table lock, the session's view of the
// state, the table as the session's current one. Nested brackets of a session only count.
// The state is read again only when the database's change counter moved since it was
// read for this session (every commit raises it) or the loaded state changed here since:
// one read of the header's counter and state byte otherwise.
class TORQDiskTableData::TBracket {
public:
    // Code 0: a lock that cannot be had answers Locked() instead of raising.
    TBracket(TORQDiskTableData& Table, int32_t SessionID, uint8_t LockType, int32_t Code,
             int32_t Delay = ReadLockDelay, int32_t Tries = ReadLockTries, bool WaitsTurn = true)
        : FTable(Table), FSession(SessionID), FLockType(LockType) {
        if (FSession < 0) return;
        if (!FTable.IsMultiUser()) {
            // Another session of this process worked last: this one's view of the state.
            if (FTable.FStateSession != FSession && FTable.StateFile != nullptr)
                FTable.ReadMostUpdatedFile(FSession);
            return;
        }
        auto depth = FTable.FBracketDepth.find(FSession);
        if (depth != FTable.FBracketDepth.end() && depth->second > 0) {
            ++depth->second;
            FState = sNested;
            return;
        }
        if (!FTable.TakeTableLock(FSession, FLockType, 1, Delay, Tries, WaitsTurn)) {
            FState = sLocked;
            if (Code != 0) RaiseNative(Code, "Table is locked");
            return;
        }
        TORQDiskTablePagesCacheManager& cache = FTable.DiskPageManager()->TablePagesCache();
        try {
            // A commit another process left half-applied is finished before this one reads.
            const int64_t counter = FTable.DiskPageManager()->CheckInterruptedCommitCounter();
            if (FTable.FStateSession == FSession && cache.IsCounterRecorded(FSession, FTable.TableID)) {
                // Within one lock period only this process can have changed the table, and
                // the loaded state already is this session's view of it.
            } else if (FTable.FStateSession == FSession && counter >= 0 && counter == FTable.FStateCommitCounter &&
                       FTable.StateFile != nullptr) {
                // Nothing committed since the loaded state was read: the pages validated
                // under its counter are still current.
                cache.RecordCounter(FSession, FTable.TableID, FTable.TableCounter);
            } else {
                FTable.FStateCommitCounter = -1;
                FTable.ReadMostUpdatedFile(FSession);
                if (FTable.FStateSession == FSession) FTable.FStateCommitCounter = counter;
            }
            cache.PushTable(FSession, FTable.TableID);
        } catch (...) {
            FTable.ReleaseTableLock(FSession, FLockType, 1);
            throw;
        }
        FTable.FBracketDepth[FSession] = 1;
        FState = sHeld;
    }
    ~TBracket() {
        if (FState == sNested) {
            --FTable.FBracketDepth[FSession];
            return;
        }
        if (FState != sHeld) return;
        FTable.FBracketDepth.erase(FSession);
        try {
            FTable.DiskPageManager()->TablePagesCache().PopTable(FSession, FTable.TableID);
            FTable.ReleaseTableLock(FSession, FLockType, 1);
        } catch (...) {
            // A lock that cannot be released stays with the session until it disconnects.
        }
    }
    TBracket(const TBracket&) = delete;
    TBracket& operator=(const TBracket&) = delete;

    bool Locked() const { return FState == sLocked; }

private:
    enum { sNone, sNested, sLocked, sHeld };
    TORQDiskTableData& FTable;
    int32_t FSession;
    uint8_t FLockType;
    int FState = sNone;
};

namespace {

// A cursor without a session stands for the engine's own work (session -2).
class TSystemCursor : public TORQCursor {
public:
    explicit TSystemCursor(const std::string& Name) { TableName = Name; }
};

// The lock type taken by a cursor's open.
uint8_t OpenLockType(const TORQCursor* Cursor) { return Cursor->Exclusive != 0 ? ltExclusive : ltOpen; }

std::atomic<int64_t> KeptOpenReuseCount{0};
std::atomic<int64_t> DefinitionLoadCount{0};

}  // namespace

TORQDiskTableData::TORQDiskTableData(TORQDiskDatabaseData* Database) : TORQTableData(Database), FDatabase(Database) {
    PageManager = Database->DiskPageManager();
}

TORQDiskTableData::~TORQDiskTableData() { FreeManagers(); }

int64_t TORQDiskTableData::KeptOpenReuses() { return KeptOpenReuseCount.load(); }
int64_t TORQDiskTableData::DefinitionLoads() { return DefinitionLoadCount.load(); }

TORQDiskPageManager* TORQDiskTableData::DiskPageManager() const {
    TORQDiskPageManager* pm = FDatabase->DiskPageManager();
    if (pm == nullptr) RaiseNative(20176, "Pointer is nil");
    return pm;
}

bool TORQDiskTableData::IsMultiUser() const { return FDatabase->TableLockManager() != nullptr; }

bool TORQDiskTableData::HasBlobFields() const {
    return FieldManager != nullptr && FieldManager->HasBlobFields();
}

int32_t TORQDiskTableData::MaxStateSize() const {
    const int32_t fields = FieldManager != nullptr ? FieldManager->FieldDefs.GetCount() : 0;
    return (fields * 8 + 8) * 4;
}

uint8_t TORQDiskTableData::WriteLockType(TORQCursor* Cursor) const {
    // Outside a transaction the change is committed at once: writers of other processes
    // wait for it. Inside one, the commit takes the post lock.
    return InTransaction(Cursor) ? ltRead : ltPost;
}

void TORQDiskTableData::FreeManagers() noexcept {
    // Brackets a caller left open give their locks back while the files are still there.
    FOpenBrackets.clear();
    if (FRepairReadSession != -3) {
        try {
            if (TORQDiskPageManager* pm = DiskPageManager()) pm->DropPrivatePages(FRepairReadSession);
        } catch (...) {
            // A taken page stays in the session's list; it can never reach the file.
        }
        FRepairReadSession = -3;
    }
    // The BLOB manager and the indexes read the record and field managers while they go.
    BlobManager.reset();
    IndexManager.reset();
    RecordManager.reset();
    ConstraintManager.reset();
    FieldManager.reset();
    TemporaryPageManager.reset();
    TableLocksFile.reset();
    MetadataFile.reset();
    StateFile.reset();
    TableCounter = -1;
    FStateSession = -3;
    FStateCommitCounter = -1;
    FBracketDepth.clear();
    FKeptOpen = false;
    FLoadedMetadata.clear();
}

bool TORQDiskTableData::MayKeepOpen(const TORQCursor* Cursor) const {
    if (RecordManager == nullptr || FieldManager == nullptr || IndexManager == nullptr || StateFile == nullptr ||
        MetadataFile == nullptr || TableLocksFile == nullptr || FLoadedMetadata.empty())
        return false;
    if (MaintenanceInProgress != 0 || Cursor->Exclusive != 0 || OpenedExclusively != 0 || Repair != 0 ||
        FRepairReadSession != -3 || !FFailedSessions.empty())
        return false;
    // A temporary index belongs to the cursors that made it.
    for (int32_t i = 0; i < IndexManager->IndexDefs.GetCount(); ++i)
        if (IndexManager->IndexDefs.GetItem(i)->Temporary != 0) return false;
    return true;
}

bool TORQDiskTableData::DefinitionsUnchanged(int32_t SessionID) {
    // A sole writer's definitions change only through this object, whose save drops
    // what was loaded (nothing is kept then), or under another catalog entry.
    if (DiskPageManager()->SoleWriter()) return true;
    const int32_t size = MetadataFile->GetUncompressedSize(SessionID);
    if (size <= 0 || static_cast<size_t>(size) != FLoadedMetadata.size()) return false;
    TORQMemoryBlock buffer(size, true);
    MetadataFile->ReadFile(SessionID, buffer.Data(), true, size);
    return std::memcmp(buffer.Data(), FLoadedMetadata.data(), FLoadedMetadata.size()) == 0;
}

bool TORQDiskTableData::ReopenKept(TORQCursor* Cursor) {
    if (!FKeptOpen) return false;
    FKeptOpen = false;
    bool taken = false;
    if (MaintenanceInProgress == 0 && Cursor->Exclusive == 0 && Repair == 0 && FRepairReadSession == -3 &&
        Cursor->InMemory == FOpenedTemporary && RecordManager != nullptr && StateFile != nullptr &&
        MetadataFile != nullptr && TableLocksFile != nullptr) {
        try {
            int32_t id = -1, locksPage = -1, statePage = -1, metaPage = -1;
            FDatabase->FindTable(TableName, id, locksPage, statePage, metaPage);
            const int32_t session = SessionIDOf(Cursor);
            if (id == TableID && locksPage == FLocksPage && statePage == StateFile->FirstPage() &&
                metaPage == MetadataFile->FirstPage() && DefinitionsUnchanged(session)) {
                ReadMostUpdatedFile(session);
                // A change since (another process's, or one rolled back) may have moved
                // pages the summaries describe.
                if (RecordManager->ChangeStamp != FKeptStamp) {
                    DiskRecordManager()->PageIndex().InvalidateSummary();
                    if (BlobManager != nullptr) BlobManager->BlobPageIndex().InvalidateSummary();
                }
                taken = true;
            }
        } catch (...) {
            // The open from the file below meets the same failure and reports it.
            taken = false;
        }
    }
    if (!taken) {
        FreeManagers();
        return false;
    }
    TemporaryStorage = Cursor->InMemory;
    ++KeptOpenReuseCount;
    return true;
}

void TORQDiskTableData::ParkRoomSummaries() noexcept {
    // A failed change leaves the pages in a state the summaries cannot tell. A session's
    // uncommitted changes are in them, and in its stamp: only its own view matches again.
    if (RecordManager == nullptr || FRepairReadSession != -3 || !FFailedSessions.empty()) return;
    try {
        TORQDiskDatabaseData::TParkedTable parked;
        parked.StoredStamp = static_cast<int32_t>(static_cast<uint32_t>(RecordManager->ChangeStamp) - FStampOffset);
        DiskRecordManager()->PageIndex().TakeSummary(parked.RecordRoom);
        if (BlobManager != nullptr) BlobManager->BlobPageIndex().TakeSummary(parked.BlobRoom);
        if (parked.RecordRoom.Valid || parked.BlobRoom.Valid) FDatabase->ParkTable(TableID, std::move(parked));
    } catch (...) {
        // Nothing parked: the next open builds the summaries again.
    }
}

void TORQDiskTableData::UnparkRoomSummaries(bool Adopt) {
    TORQDiskDatabaseData::TParkedTable parked;
    if (!FDatabase->UnparkTable(TableID, parked) || !Adopt) return;
    if (parked.StoredStamp != static_cast<int32_t>(static_cast<uint32_t>(RecordManager->ChangeStamp) - FStampOffset))
        return;
    DiskRecordManager()->PageIndex().AdoptSummary(std::move(parked.RecordRoom));
    if (BlobManager != nullptr) BlobManager->BlobPageIndex().AdoptSummary(std::move(parked.BlobRoom));
}

// ---------------------------------------------------------------------------------
// Managers

void TORQDiskTableData::CreateRecordManager() {
    BlobManager.reset();
    RecordManager = std::make_unique<TORQDiskRecordManager>(*DiskPageManager(), TableID, *FieldManager);
    SetupRecordManager();
}

void TORQDiskTableData::SetupRecordManager() {
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    DiskRecordManager()->SetRecordLayout(defs.GetMemoryRecordSize(), defs.GetRecordDataSize(), defs.GetCount());
}

void TORQDiskTableData::SetFieldDefs(const TORQFieldDefs& Defs) {
    FieldManager = std::make_unique<TORQBaseFieldManager>(this);
    TORQTableData::SetFieldDefs(Defs);
}

void TORQDiskTableData::SetIndexDefs(const TORQIndexDefs& Defs) {
    IndexManager.reset();
    TemporaryPageManager = std::make_unique<TORQTemporaryPageManager>(TemporaryStorage != 0);
    IndexManager = std::make_unique<TORQBaseIndexManager>(this, TemporaryPageManager.get());
    IndexManager->TablePageManager = DiskPageManager();
    TORQTableData::SetIndexDefs(Defs);
}

void TORQDiskTableData::SetConstraintDefs(const TORQConstraintDefs& Defs) {
    for (int32_t i = 0; i < Defs.GetCount(); ++i) {
        const uint8_t kind = Defs.GetItem(i)->ConstraintType;
        if (kind == 1 || kind > ctCheck) RaiseNative(30040, "Not implemented yet");
    }
    TORQTableData::SetConstraintDefs(Defs);
}

void TORQDiskTableData::CommitSessionPages(int32_t SessionID, bool InTransaction) {
    if (!InTransaction && HasFailedChange(SessionID))
        RaiseNativeFmt(31020, "Cannot commit changes of table '%s': an earlier change failed and must be rolled back",
                       {TableName});
    TORQTableData::CommitSessionPages(SessionID, InTransaction);
    if (TemporaryPageManager != nullptr) TemporaryPageManager->CommitSession(SessionID);
    if (!InTransaction) SessionCommitted(SessionID);
}

void TORQDiskTableData::SessionCommitted(int32_t SessionID) {
    if (FPendingSession == SessionID) FPendingSession = -1;
    // A view of another session loaded now predates the commit.
    if (FStateSession != SessionID) FStateSession = -3;
}

void TORQDiskTableData::BeginChange(TORQCursor* Cursor) {
    // The loaded state is about to differ from the stored one until the change commits.
    FStateCommitCounter = -1;
    const int32_t session = SessionIDOf(Cursor);
    if (IsMultiUser() || session < 0) return;
    if (FPendingSession >= 0 && FPendingSession != session) RaiseNative(31022, "Table is locked");
    if (InTransaction(Cursor) || (Cursor != nullptr && Cursor->UpdateBatch != 0)) FPendingSession = session;
}

void TORQDiskTableData::NoteStamp() {
    if (RecordManager == nullptr) return;
    const int32_t stamp = RecordManager->ChangeStamp;
    // Compared as a wrapping counter.
    if (!FStampNoted || static_cast<int32_t>(static_cast<uint32_t>(stamp) - static_cast<uint32_t>(FHighestStamp)) > 0)
        FHighestStamp = stamp;
    FStampNoted = true;
}

void TORQDiskTableData::RaiseStampAfterRollback() {
    if (RecordManager == nullptr || !FStampNoted) return;
    const auto stamp = static_cast<uint32_t>(RecordManager->ChangeStamp);
    const auto highest = static_cast<uint32_t>(FHighestStamp);
    if (static_cast<int32_t>(stamp - highest) > 0) return;
    const uint32_t raise = highest - stamp + 1u;
    FStampOffset += raise;
    RecordManager->ChangeStamp = static_cast<int32_t>(stamp + raise);
    TableCounter = RecordManager->ChangeStamp;
    NoteStamp();
}

void TORQDiskTableData::RollbackSessionPages(int32_t SessionID, bool InTransaction) {
    TORQTableData::RollbackSessionPages(SessionID, InTransaction);
    if (TemporaryPageManager != nullptr) TemporaryPageManager->RollbackSession(SessionID);
    if (InTransaction) return;
    FFailedSessions.erase(SessionID);
    if (FPendingSession == SessionID) FPendingSession = -1;
    // The counters follow the pages back to what was committed.
    NoteStamp();
    if (StateFile != nullptr) {
        ReadMostUpdatedFile(SessionID);
        RaiseStampAfterRollback();
    }
}

// ---------------------------------------------------------------------------------
// State and metadata

void TORQDiskTableData::ReadMostUpdatedFile(int32_t SessionID) {
    // The repair read's view is the rebuilt one, from its open to its last cursor: the
    // stored state (a multi-user bracket reloads it) would put the stored index back.
    if (FRepairReadSession != -3) return;
    if (StateFile == nullptr || FieldManager == nullptr || RecordManager == nullptr)
        RaiseNative(20176, "Pointer is nil");
    TORQDiskTablePagesCacheManager& cache = DiskPageManager()->TablePagesCache();
    const bool validate = !cache.IsCounterRecorded(SessionID, TableID);
    int32_t stored = 0, uncompressed = 0;
    uint8_t algorithm = 0;
    StateFile->GetSize(SessionID, validate, stored, algorithm, uncompressed);
    // The file says how much to read: it must be a state this table can have.
    if (algorithm != 0 || stored != uncompressed || uncompressed < 12 || uncompressed > MaxStateSize())
        RaiseNative(20164, "Invalid table header data");
    TORQMemoryBlock buffer(uncompressed, true);
    auto* bytes = static_cast<uint8_t*>(buffer.Data());
    StateFile->ReadFile(SessionID, bytes, validate, uncompressed);
    int32_t position = 0;
    // Loaded aside first: a refused state leaves the counters as they were.
    const std::vector<int64_t> autoinc = FieldManager->AutoincValues;
    try {
        FieldManager->LoadAutoincValues(bytes, position, uncompressed);
        DiskRecordManager()->LoadState(bytes, position, uncompressed);
    } catch (...) {
        FieldManager->AutoincValues = autoinc;
        throw;
    }
    RecordManager->ChangeStamp =
        static_cast<int32_t>(static_cast<uint32_t>(RecordManager->ChangeStamp) + FStampOffset);
    NoteStamp();
    TableCounter = RecordManager->ChangeStamp;
    FStateSession = SessionID;
    if (auto held = FPeriodLocks.find(SessionID); held != FPeriodLocks.end() && held->second > 0)
        cache.RecordCounter(SessionID, TableID, TableCounter);
}

void TORQDiskTableData::SaveState(int32_t SessionID) {
    if (StateFile == nullptr) RaiseNative(20176, "Pointer is nil");
    FStateCommitCounter = -1;
    const int32_t size = MaxStateSize();
    if (FieldManager->AutoincValuesSize() + 8 > size) RaiseNative(20164, "Invalid table header data");
    TORQMemoryBlock buffer(size, true);
    auto* bytes = static_cast<uint8_t*>(buffer.Data());
    int32_t position = 0;
    FieldManager->SaveAutoincValues(bytes, position);
    const int32_t stampAt = position;
    DiskRecordManager()->SaveState(bytes, position);
    StoreLE32(bytes + stampAt, static_cast<uint32_t>(RecordManager->ChangeStamp) - FStampOffset);
    if (position > size) RaiseNative(20164, "Invalid table header data");
    StateFile->WriteFile(SessionID, bytes, 0, 0, position);
    NoteStamp();
    TableCounter = RecordManager->ChangeStamp;
    FStateSession = SessionID;
}

void TORQDiskTableData::LoadMetadata(int32_t SessionID) {
    if (MetadataFile == nullptr) RaiseNative(20176, "Pointer is nil");
    const int32_t size = MetadataFile->GetUncompressedSize(SessionID);
    TORQMemoryStream stream;
    if (size > 0) {
        stream.SetSize(size);
        MetadataFile->ReadFile(SessionID, stream.Memory(), true, size);
    }
    ++DefinitionLoadCount;
    FLoadedMetadata.clear();
    stream.Seek(0, soBeginning);
    FieldManager->LoadFromStream(stream);
    IndexManager->LoadFromStream(stream);
    ConstraintManager->LoadFromStream(stream);
    DiskRecordManager()->LoadIndexRoot(stream);
    BlobManager->LoadIndexRoot(stream);
    const auto* bytes = static_cast<const uint8_t*>(stream.Memory());
    if (size > 0) FLoadedMetadata.assign(bytes, bytes + size);
}

void TORQDiskTableData::SaveMetadata(int32_t SessionID) {
    if (MetadataFile == nullptr) RaiseNative(20176, "Pointer is nil");
    // What the file holds may now differ from the last load, whether this write lands or
    // not: a kept open reads the definitions again.
    FLoadedMetadata.clear();
    TORQMemoryStream stream;
    FieldManager->SaveToStream(stream);
    // Temporary indexes live in this process's own page store: other processes and later
    // opens never see them.
    TORQIndexDefs kept;
    for (int32_t i = 0; i < IndexManager->IndexDefs.GetCount(); ++i) {
        const TORQIndexDef* d = IndexManager->IndexDefs.GetItem(i);
        if (d->Temporary == 0) kept.Add()->Assign(*d);
    }
    kept.SaveToStream(stream);
    ConstraintManager->SaveToStream(stream);
    DiskRecordManager()->SaveIndexRoot(stream);
    BlobManager->SaveIndexRoot(stream);
    MetadataFile->WriteFile(SessionID, stream.Memory(), 1, 1, static_cast<int32_t>(stream.Size()));
}

// ---------------------------------------------------------------------------------
// Table lifecycle

void TORQDiskTableData::CreateTable(TORQCursor* Cursor, const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                                    const TORQConstraintDefs& Constraints) {
    TORQTableLock lock(*this);
    if (Fields.GetCount() == 0) RaiseNative(20128, "Error creating table - no fields were specified");
    if (FKeptOpen && Cursors.empty()) FreeManagers();
    if (Cursor != nullptr) {
        if (!Cursor->TableName.empty()) TableName = Cursor->TableName;
        TemporaryStorage = Cursor->InMemory;
    }
    TORQDiskPageManager* pm = DiskPageManager();
    TableID = FDatabase->GetNextObjectID();
    TTablesLock tables(*FDatabase);
    try {
        const int32_t sessions = FDatabase->SessionsFile() != nullptr && FDatabase->SessionsFile()->ConnectionCount() > 0
                                     ? FDatabase->SessionsFile()->ConnectionCount()
                                     : FDatabase->MaxConnections;
        TableLocksFile = std::make_unique<TORQTableLocksFile>(pm);
        const int32_t locksPage = TableLocksFile->CreateLocksFile(sessions);
        MetadataFile = std::make_unique<TORQInternalDBTransactedAccessFile>(*pm, ptTableMetaData);
        MetadataFile->CreateFile(-2);
        StateFile = std::make_unique<TORQInternalDBTransactedAccessFile>(*pm, ptTableMostUpdated);
        StateFile->CreateFile(-2);
        SetFieldDefs(Fields);
        SetIndexDefs(Indexes);
        SetConstraintDefs(Constraints);
        CreateRecordManager();
        BlobManager = std::make_unique<TORQDiskBlobManager>(*pm, *FieldManager, *RecordManager);
        SaveState(-2);
        DiskRecordManager()->ResetIndex();
        if (HasBlobFields()) BlobManager->ResetIndex();
        IndexManager->BuildAllIndexes(nullptr);
        SaveMetadata(-2);
        FDatabase->AddTable(TableID, TableName, locksPage, StateFile->FirstPage(), MetadataFile->FirstPage());
        FreeManagers();
        pm->CommitSession(-2);
    } catch (...) {
        try {
            pm->RollbackSession(-2);
        } catch (...) {
        }
        FreeManagers();
        throw;
    }
}

void TORQDiskTableData::OpenTableFiles(TORQCursor* Cursor) {
    TORQDiskPageManager* pm = DiskPageManager();
    const int32_t session = SessionIDOf(Cursor);
    TemporaryStorage = Cursor->InMemory;
    int32_t locksPage = -1, statePage = -1, metaPage = -1;
    FDatabase->FindTable(TableName, TableID, locksPage, statePage, metaPage);
    FLocksPage = locksPage;
    FOpenedTemporary = TemporaryStorage;
    try {
        TableLocksFile = std::make_unique<TORQTableLocksFile>(pm);
        try {
            TableLocksFile->OpenLocksFile(locksPage);
        } catch (const EORQException&) {
            // A repair read holds the database for itself, so no table lock guards
            // anything: a damaged lock file must not keep it from the records.
            if (Repair != RepairRead) throw;
        }
        MetadataFile = std::make_unique<TORQInternalDBTransactedAccessFile>(*pm, ptTableMetaData);
        MetadataFile->OpenFile(metaPage);
        StateFile = std::make_unique<TORQInternalDBTransactedAccessFile>(*pm, ptTableMostUpdated);
        StateFile->OpenFile(statePage);
        FieldManager = std::make_unique<TORQBaseFieldManager>(this);
        TemporaryPageManager = std::make_unique<TORQTemporaryPageManager>(TemporaryStorage != 0);
        IndexManager = std::make_unique<TORQBaseIndexManager>(this, TemporaryPageManager.get());
        IndexManager->TablePageManager = pm;
        ConstraintManager = std::make_unique<TORQBaseConstraintManager>(this);
        RecordManager = std::make_unique<TORQDiskRecordManager>(*pm, TableID, *FieldManager);
        BlobManager = std::make_unique<TORQDiskBlobManager>(*pm, *FieldManager, *RecordManager);
        if (Repair == RepairRead) {
            // A repair copies what it can of a damaged table, but nothing without its
            // definitions: it must tell the two apart.
            try {
                LoadMetadata(session);
            } catch (const std::exception& e) {
                RaiseNativeFmt(31465, "The definitions of table '%s' cannot be read: %s", {TableName, e.what()});
            }
        } else {
            LoadMetadata(session);
        }
        SetupRecordManager();
        if (Repair == RepairRead) {
            UnparkRoomSummaries(false);
            OpenForRepairRead(session);
        } else if (Repair != 0) {
            UnparkRoomSummaries(false);
            OpenWithRepair(session);
        } else {
            ReadMostUpdatedFile(session);
            UnparkRoomSummaries(true);
        }
    } catch (...) {
        FreeManagers();
        throw;
    }
}

void TORQDiskTableData::OpenWithRepair(int32_t SessionID) {
    try {
        ReadMostUpdatedFile(SessionID);
        DiskRecordManager()->CheckRecordCount(SessionID);
        return;
    } catch (const EORQException&) {
        // Rebuilt below from the record pages themselves.
    }
    TORQDiskRecordManager* rm = DiskRecordManager();
    if (rm->StoredRecordSize() >= DiskPageManager()->DataSize)
        RaiseNativeFmt(10512, "Cannot repair page index for large table. Table name: \"%s\"", {TableName});
    // The engine's own writes: the session's uncommitted work is not committed with them.
    rm->RebuildPageIndex(-2);
    SaveMetadata(-2);
    SaveState(-2);
    DiskPageManager()->CommitSession(-2);
}

void TORQDiskTableData::OpenForRepairRead(int32_t SessionID) {
    TORQDiskRecordManager* rm = DiskRecordManager();
    RepairStoredRecordCount = -1;
    try {
        // The counters and roots the state holds, when it can be read; the page index is
        // rebuilt whatever it says.
        ReadMostUpdatedFile(SessionID);
        RepairStoredRecordCount = rm->RecordCount;
    } catch (const EORQException&) {
    }
    TORQDiskPageManager* pm = DiskPageManager();
    if (rm->StoredRecordSize() >= pm->DataSize)
        RaiseNativeFmt(10512, "Cannot repair page index for large table. Table name: \"%s\"", {TableName});
    pm->PrivateAllocation = 1;
    try {
        rm->RebuildPageIndex(SessionID);
    } catch (...) {
        pm->PrivateAllocation = 0;
        try {
            pm->DropPrivatePages(SessionID);
        } catch (...) {
        }
        throw;
    }
    pm->PrivateAllocation = 0;
    rm->SkipUnreadable = true;
    FRepairReadSession = SessionID;
    // This session's view is the rebuilt one: a bracket must not load the stored state
    // over it.
    FStateSession = SessionID;
}

void TORQDiskTableData::AddCursor(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    std::optional<TTablesLock> tables;
    if (MaintenanceInProgress == 0) tables.emplace(*FDatabase);
    if (HasCursor(Cursor)) return;
    // The rebuilt index lives in the reading session's own pages: no other session can
    // read through it.
    if (FRepairReadSession != -3 && SessionIDOf(Cursor) != FRepairReadSession)
        RaiseNativeFmt(20209, "Cannot open table '%s'. Table is locked", {TableName});
    if (!Cursors.empty() && Cursor->Exclusive != 0 && OpenedExclusively == 0)
        RaiseNativeFmt(20242, "Cannot access table '%s' in exclusive mode. Table is open by another cursors",
                       {TableName});
    const bool first = Cursors.empty();
    if (first) {
        if (!ReopenKept(Cursor)) OpenTableFiles(Cursor);
        OpenedExclusively = Cursor->Exclusive;
    }
    Cursors.push_back(Cursor);
    const uint8_t type = OpenLockType(Cursor);
    const int32_t session = SessionIDOf(Cursor);
    bool locked = true;
    try {
        locked = session < 0 || SetTableLock(session, type, 1, OpenLockDelay, OpenLockTries);
    } catch (...) {
        locked = false;
    }
    if (!locked) {
        std::erase(Cursors, Cursor);
        if (first) {
            FreeManagers();
            OpenedExclusively = 0;
        }
        if (type == ltExclusive)
            RaiseNativeFmt(20208, "Cannot access table '%s' in exclusive mode. Table is open by another user",
                           {TableName});
        RaiseNativeFmt(20209, "Cannot open table '%s'. Table is locked", {TableName});
    }
    if (session >= 0) FOpenLocks[Cursor] = type;
}

void TORQDiskTableData::RemoveCursor(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    auto held = FOpenLocks.find(Cursor);
    if (held != FOpenLocks.end()) {
        if (HasCursor(Cursor) && TableLocksFile != nullptr) {
            try {
                ReleaseTableLock(SessionIDOf(Cursor), held->second, 1);
            } catch (...) {
                // The byte is the session's until it disconnects.
            }
        }
        FOpenLocks.erase(held);
    }
    const bool last = HasCursor(Cursor) && Cursors.size() == 1;
    TORQTableData::RemoveCursor(Cursor);
    if (!Cursors.empty()) return;
    if (last && MayKeepOpen(Cursor)) {
        FKeptOpen = true;
        FKeptStamp = RecordManager->ChangeStamp;
    } else if (!FKeptOpen) {
        ParkRoomSummaries();
        FreeManagers();
    }
    OpenedExclusively = 0;
}

bool TORQDiskTableData::FreeIfUnused() {
    // A failed change still to be rolled back keeps its mark here.
    if (!Cursors.empty() || FKeptOpen || !FFailedSessions.empty() || FPendingSession >= 0) return false;
    TORQDatabaseData* database = DatabaseData;
    std::lock_guard guard(database->LockSection());
    return database->FreeTableData(this);
}

void TORQDiskTableData::DeleteTable(TORQCursor* Cursor, bool Force) {
    TORQDatabaseData* database = DatabaseData;
    std::lock_guard guard(database->LockSection());
    TORQTableData::DeleteTable(Cursor, Force);
    TORQDiskPageManager* pm = DiskPageManager();
    TTablesLock tables(*FDatabase);
    TSystemCursor system(TableName);
    TORQCursor* c = Cursor != nullptr ? Cursor : &system;
    const uint8_t exclusive = c->Exclusive;
    c->Exclusive = 1;
    MaintenanceInProgress = 1;
    try {
        AddCursor(c);
    } catch (...) {
        c->Exclusive = exclusive;
        MaintenanceInProgress = 0;
        throw;
    }
    std::exception_ptr failure;
    try {
        DeleteAllIndexes(nullptr);
        BlobManager->DropBlobs(-2);
        DiskRecordManager()->DropRecords(-2);
        TableLocksFile->DeleteLocksFile();
        MetadataFile->DeleteFile(-2);
        StateFile->DeleteFile(-2);
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        RemoveCursor(c);
    } catch (...) {
    }
    c->Exclusive = exclusive;
    MaintenanceInProgress = 0;
    // The catalog entry goes whatever happened to the pages: at worst they stay unused.
    try {
        FDatabase->DeleteTable(TableName);
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    try {
        pm->CommitSession(-2);
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    if (failure) std::rethrow_exception(failure);
    if (Cursors.empty()) database->FreeTableData(this);
}

void TORQDiskTableData::EmptyTable(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TSystemCursor system(TableName);
    TORQCursor* c = Cursor != nullptr ? Cursor : &system;
    const uint8_t exclusive = c->Exclusive;
    const bool added = !HasCursor(c);
    c->Exclusive = 1;
    try {
        if (added) AddCursor(c);
    } catch (...) {
        c->Exclusive = exclusive;
        throw;
    }
    const int32_t session = SessionIDOf(c);
    try {
        if (!IsMultiUser() && session >= 0 && FStateSession != session) ReadMostUpdatedFile(session);
        BeginChange(c);
    } catch (...) {
        try {
            if (added) RemoveCursor(c);
        } catch (...) {
        }
        c->Exclusive = exclusive;
        throw;
    }
    std::exception_ptr failure;
    try {
        TORQTableData::EmptyTable(c);
        BlobManager->EmptyBlobs(session);
        RecordManager->EmptyRecords(session);
        SaveState(session);
        CommitSessionPages(session, InTransaction(c));
    } catch (...) {
        failure = std::current_exception();
        FailChange(c);
    }
    try {
        if (added) RemoveCursor(c);
    } catch (...) {
    }
    c->Exclusive = exclusive;
    if (failure) std::rethrow_exception(failure);
}

void TORQDiskTableData::RenameTable(const std::string& NewName, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TTablesLock tables(*FDatabase);
    TSystemCursor system(TableName);
    TORQCursor* c = Cursor != nullptr ? Cursor : &system;
    if (HasCursor(c) || !Cursors.empty())
        RaiseNativeFmt(10150, "Cannot rename table '%s'. Table is open by another dataset", {TableName});
    const uint8_t exclusive = c->Exclusive;
    c->Exclusive = 1;
    MaintenanceInProgress = 1;
    try {
        // Opening exclusively proves that no other process has the table open.
        AddCursor(c);
        RemoveCursor(c);
    } catch (...) {
        c->Exclusive = exclusive;
        MaintenanceInProgress = 0;
        throw;
    }
    c->Exclusive = exclusive;
    MaintenanceInProgress = 0;
    FDatabase->RenameTable(TableName, NewName);
    DiskPageManager()->CommitSession(-2);
}

void TORQDiskTableData::RenameField(const std::string& OldName, const std::string& NewName) {
    TORQTableLock lock(*this);
    TORQTableData::RenameField(OldName, NewName);
    try {
        SaveMetadata(-2);
        DiskPageManager()->CommitSession(-2);
    } catch (...) {
        try {
            DiskPageManager()->RollbackSession(-2);
        } catch (...) {
        }
        throw;
    }
}

int32_t TORQDiskTableData::AddIndex(const TORQIndexDef& IndexDef, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    const int32_t session = SessionIDOf(Cursor);
    const bool inTransaction = InTransaction(Cursor);
    // A temporary index lives in this process's own page store.
    if (IndexDef.Temporary == 0) BeginChange(Cursor);
    int32_t id = -1;
    try {
        id = TORQTableData::AddIndex(IndexDef, Cursor);
        SaveMetadata(session);
    } catch (...) {
        try {
            RollbackSessionPages(session, inTransaction);
        } catch (...) {
        }
        throw;
    }
    CommitSessionPages(session, inTransaction);
    return id;
}

void TORQDiskTableData::DeleteIndex(int32_t IndexID, TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    const auto* def = static_cast<const TORQIndexDef*>(IndexManager->IndexDefs.FindByID(IndexID));
    const bool temporary = def != nullptr && def->Temporary != 0;
    if (!temporary && Cursor != nullptr && MaintenanceInProgress == 0) BeginChange(Cursor);
    TORQTableData::DeleteIndex(IndexID, Cursor);
    if (Cursor == nullptr || MaintenanceInProgress != 0) return;
    const int32_t session = SessionIDOf(Cursor);
    if (!temporary) SaveMetadata(session);
    CommitSessionPages(session, InTransaction(Cursor));
}

// ---------------------------------------------------------------------------------
// Record numbers

int64_t TORQDiskTableData::GetMaxRecordNumber(int32_t SessionID) {
    TORQDiskRecordManager* rm = DiskRecordManager();
    if (rm == nullptr) RaiseNative(20135, "Nil pointer occured");
    int32_t last = -1;
    if (rm->PageIndex().RootPageNo() == -1 || !rm->PageIndex().LastPage(SessionID, last)) return 1;
    return (static_cast<int64_t>(last) + 1) * rm->RecordsPerPage();
}

int64_t TORQDiskTableData::RecordIdToNumber(const TORQRecordID& RecordID) {
    const int32_t perPage = DiskRecordManager() != nullptr ? DiskRecordManager()->RecordsPerPage() : 0;
    return static_cast<int64_t>(RecordID.PageNo) * perPage + RecordID.SlotNo;
}

TORQRecordID TORQDiskTableData::NumberToRecordId(int64_t Number) {
    const int32_t perPage = DiskRecordManager() != nullptr ? DiskRecordManager()->RecordsPerPage() : 0;
    if (perPage <= 0) return TORQRecordID{};
    return TORQRecordID{static_cast<int32_t>(Number / perPage), static_cast<uint16_t>(Number % perPage)};
}

// ---------------------------------------------------------------------------------
// Reads

void TORQDiskTableData::CheckStaleTemporaryIndexes(TORQCursor* Cursor) {
    if (IndexManager == nullptr || Cursor == nullptr) return;
    bool rebuilt = false;
    IndexManager->RebuildStaleTemporaryIndexes(Cursor, rebuilt);
    if (rebuilt && TemporaryPageManager != nullptr) TemporaryPageManager->CommitSession(SessionIDOf(Cursor));
}

uint8_t TORQDiskTableData::GetRecord(TORQCursor* Cursor, uint8_t Mode) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 0);
    if (bracket.Locked()) return grError;
    if (IsMultiUser()) CheckStaleTemporaryIndexes(Cursor);
    // Copies of stored values read for the record the buffer held would stay behind once
    // their handles are overwritten: they go when another record took their place.
    std::vector<uint32_t> read;
    if (BlobManager != nullptr && HasBlobFields()) BlobManager->ReadEntryHandles(Cursor->CurrentRecord, read);
    if (read.empty()) return TORQTableData::GetRecord(Cursor, Mode);
    struct TRelease {
        TORQDiskBlobManager& Blobs;
        const uint8_t* Record;
        const std::vector<uint32_t>& Read;
        ~TRelease() {
            try {
                Blobs.DropReadEntries(Record, Read);
            } catch (...) {
                // A copy not released costs memory only, never a value.
            }
        }
    } release{*BlobManager, Cursor->CurrentRecord, read};
    return TORQTableData::GetRecord(Cursor, Mode);
}

bool TORQDiskTableData::FindRecord(TORQCursor* Cursor, TORQBaseExpression* Condition) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 20214);
    return TORQTableData::FindRecord(Cursor, Condition);
}

bool TORQDiskTableData::FindKey(TORQCursor* Cursor, uint8_t Operator) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 20215);
    return TORQTableData::FindKey(Cursor, Operator);
}

void TORQDiskTableData::SetRecNo(TORQCursor* Cursor, int64_t RecNo) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 20216);
    TORQTableData::SetRecNo(Cursor, RecNo);
}

int64_t TORQDiskTableData::GetRecNo(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 20217);
    return TORQTableData::GetRecNo(Cursor);
}

void TORQDiskTableData::SetPhysicalRecNo(TORQCursor* Cursor, int64_t RecNo) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 20219);
    TORQDiskRecordManager* rm = DiskRecordManager();
    if (rm == nullptr) RaiseNative(20135, "Nil pointer occured");
    TORQRecordID id = Cursor->CurrentRecordID;
    rm->GetRecordIDByRecNo(SessionIDOf(Cursor), RecNo, id);
    Cursor->CurrentRecordID = id;
}

int64_t TORQDiskTableData::GetPhysicalRecNo(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 20220);
    TORQDiskRecordManager* rm = DiskRecordManager();
    if (rm == nullptr) RaiseNative(20135, "Nil pointer occured");
    int64_t recNo = -1;
    rm->GetRecNoByRecordID(SessionIDOf(Cursor), Cursor->CurrentRecordID, recNo);
    return recNo;
}

int64_t TORQDiskTableData::GetPhysicalRecordCount(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionIDOf(Cursor), ltRead, 20218);
    if (RecordManager == nullptr) RaiseNative(20135, "Nil pointer occured");
    return RecordManager->RecordCount;
}

int64_t TORQDiskTableData::GetLastAutoincValue(int32_t FieldNo, TORQCursor* Cursor) {
    if (FieldManager == nullptr) RaiseNative(20176, "Pointer is nil");
    return FieldManager->GetLastAutoincValue(Cursor != nullptr ? Cursor->Session : nullptr, FieldNo);
}

void TORQDiskTableData::RollbackSession(int32_t SessionID) {
    FFailedSessions.erase(SessionID);
    if (FPendingSession == SessionID) FPendingSession = -1;
    // Kept managers may hold what the session's transaction did (an index added, a root
    // moved): the next open reads the file again.
    if (FKeptOpen && Cursors.empty()) FreeManagers();
    if (StateFile == nullptr) return;
    // The session's private pages are gone: the state is the committed one again.
    NoteStamp();
    ReadMostUpdatedFile(SessionID);
    RaiseStampAfterRollback();
    if (TemporaryPageManager != nullptr) TemporaryPageManager->RollbackSession(SessionID);
    TORQTableData::RollbackSession(SessionID);
    if (TemporaryPageManager != nullptr) TemporaryPageManager->CommitSession(SessionID);
}

void TORQDiskTableData::CheckRecordCount(int32_t SessionID) {
    TORQTableLock lock(*this);
    TBracket bracket(*this, SessionID, ltRead, 20218);
    if (DiskRecordManager() == nullptr) RaiseNative(20135, "Nil pointer occured");
    DiskRecordManager()->CheckRecordCount(SessionID);
}

// ---------------------------------------------------------------------------------
// Locks

bool TORQDiskTableData::SetTableLock(int32_t SessionID, uint8_t Type, uint8_t Mode, int32_t DelayMs, int32_t Tries) {
    return TakeTableLock(SessionID, Type, Mode, DelayMs, Tries, true);
}

bool TORQDiskTableData::TakeTableLock(int32_t SessionID, uint8_t Type, uint8_t Mode, int32_t DelayMs, int32_t Tries,
                                      bool WaitsTurn) {
    TORQDatabaseTableLockManager* manager = FDatabase->TableLockManager();
    if (manager == nullptr) return true;
    if (TableLocksFile == nullptr) RaiseNativeFmt(31021, "Table '%s' is not open", {TableName});
    if (FRepairReadSession != -3 && !TableLocksFile->IsOpen()) return true;
    if (!manager->SetTableLock(SessionID, Type, Mode, false, DelayMs, Tries, *TableLocksFile, WaitsTurn)) return false;
    TORQDiskTablePagesCacheManager& cache = DiskPageManager()->TablePagesCache();
    if (Type == ltRead) cache.IncReadLocks(SessionID, TableID);
    if (Type == ltPost) cache.IncPostLocks(SessionID, TableID);
    if (Type == ltRead || Type == ltPost) ++FPeriodLocks[SessionID];
    return true;
}

void TORQDiskTableData::ReleaseTableLock(int32_t SessionID, uint8_t Type, uint8_t) {
    TORQDatabaseTableLockManager* manager = FDatabase->TableLockManager();
    if (manager == nullptr) return;
    if (TableLocksFile == nullptr) RaiseNativeFmt(31021, "Table '%s' is not open", {TableName});
    if (FRepairReadSession != -3 && !TableLocksFile->IsOpen()) return;
    // The period ends in the cache even when the manager cannot let go of the byte.
    TORQDiskTablePagesCacheManager& cache = DiskPageManager()->TablePagesCache();
    if (Type == ltRead) cache.DecReadLocks(SessionID, TableID);
    if (Type == ltPost) cache.DecPostLocks(SessionID, TableID);
    if (auto held = FPeriodLocks.find(SessionID); (Type == ltRead || Type == ltPost) && held != FPeriodLocks.end()) {
        if (--held->second <= 0) FPeriodLocks.erase(held);
    }
    manager->ReleaseTableLock(SessionID, Type, false, true, *TableLocksFile);
}

bool TORQDiskTableData::BeginReadBracket(int32_t SessionID, int32_t DelayMs, int32_t Tries, bool WaitsTurn) {
    TORQTableLock lock(*this);
    auto bracket = std::make_unique<TBracket>(*this, SessionID, ltRead, 0, DelayMs, Tries, WaitsTurn);
    if (bracket->Locked()) return false;
    FOpenBrackets[SessionID].push_back(std::move(bracket));
    return true;
}

void TORQDiskTableData::EndReadBracket(int32_t SessionID) {
    TORQTableLock lock(*this);
    auto open = FOpenBrackets.find(SessionID);
    if (open == FOpenBrackets.end() || open->second.empty()) return;
    std::unique_ptr<TBracket> bracket = std::move(open->second.back());
    open->second.pop_back();
    if (open->second.empty()) FOpenBrackets.erase(open);
}

void TORQDiskTableData::BeginPostWait(int32_t SessionID) {
    TORQDatabaseTableLockManager* manager = FDatabase->TableLockManager();
    if (manager == nullptr || TableLocksFile == nullptr || !TableLocksFile->IsOpen()) return;
    manager->BeginPostWait(SessionID, *TableLocksFile);
}

void TORQDiskTableData::EndPostWait(int32_t SessionID) {
    TORQDatabaseTableLockManager* manager = FDatabase->TableLockManager();
    if (manager == nullptr || TableLocksFile == nullptr || !TableLocksFile->IsOpen()) return;
    manager->EndPostWait(SessionID, *TableLocksFile);
}

bool TORQDiskTableData::LockRecord(int32_t SessionID, const TORQRecordID& RecordID, int32_t DelayMs, int32_t Tries) {
    TORQDatabaseTableLockManager* manager = FDatabase->TableLockManager();
    if (manager == nullptr) return true;
    if (TableLocksFile == nullptr) RaiseNativeFmt(31021, "Table '%s' is not open", {TableName});
    return manager->LockRecord(SessionID, *TableLocksFile, DelayMs, Tries, RecordID);
}

bool TORQDiskTableData::UnlockRecord(int32_t SessionID, const TORQRecordID& RecordID) {
    TORQDatabaseTableLockManager* manager = FDatabase->TableLockManager();
    if (manager == nullptr) return true;
    if (TableLocksFile == nullptr) RaiseNativeFmt(31021, "Table '%s' is not open", {TableName});
    return manager->UnlockRecord(SessionID, *TableLocksFile, RecordID);
}

// ---------------------------------------------------------------------------------
// BLOBs

void TORQDiskTableData::ClearRecordBlobs(uint8_t* Record) {
    if (Record == nullptr || BlobManager == nullptr || !HasBlobFields()) return;
    const TORQFieldDefs& defs = FieldManager->FieldDefs;
    for (int32_t i = 0; i < defs.GetCount(); ++i)
        if (IsBlobBaseType(defs.GetItem(i)->BaseType)) BlobManager->ReleaseBlobCache(Record, i, true);
}

void TORQDiskTableData::FreeRecordBlobs(uint8_t* Record) {
    TORQTableLock lock(*this);
    if (Record != nullptr) FreeBlobFields(Record);
}

void TORQDiskTableData::FreeBlob(uint8_t* Record, int32_t FieldNo) {
    TORQTableLock lock(*this);
    if (BlobManager == nullptr || Record == nullptr) return;
    BlobManager->ReleaseBlobCache(Record, FieldNo, true);
}

void TORQDiskTableData::StoreBlobStream(TORQCursor* Cursor, int32_t FieldNo, TORQLocalBLOBStream& Stream) {
    TORQTableLock lock(*this);
    if (BlobManager == nullptr) RaiseNative(20176, "Pointer is nil");
    if (Cursor->CurrentRecord == nullptr) RaiseNative(10018, "Nil pointer occured");
    if (!Stream.Modified()) return;
    BlobManager->WriteBlobFromStream(Cursor->CurrentRecord, FieldNo, Stream);
}

std::unique_ptr<TORQLocalBLOBStream> TORQDiskTableData::CreateBlobStream(TORQCursor* Cursor, bool Truncate,
                                                                         uint8_t Mode, int32_t FieldNo) {
    TORQTableLock lock(*this);
    if (BlobManager == nullptr || FieldManager == nullptr) RaiseNative(20176, "Pointer is nil");
    const TORQFieldDef& f = FieldManager->FieldAt(FieldNo);
    if (f.BlobBlockSize == 0) RaiseNative(20149, "Stream block size = 0 is not allowed");
    const bool load = !Truncate && Mode != TORQLocalBLOBStream::bmWriteOnly;
    auto base = std::make_unique<TORQTemporaryStream>(TemporaryStorage != 0);
    TORQBLOBDescriptor descriptor;
    descriptor.BlockSize = f.BlobBlockSize;
    descriptor.CompressionAlgorithm = f.BlobCompressionAlgorithm;
    descriptor.CompressionMode = f.BlobCompressionMode;
    uint8_t* record = Cursor != nullptr ? Cursor->CurrentRecord : nullptr;
    const bool isNew = !load || record == nullptr || GetBit(record, FieldNo);
    std::unique_ptr<TORQCompressedBLOBStream> compressed;
    if (isNew) {
        compressed = std::make_unique<TORQCompressedBLOBStream>(*base, descriptor, true, false);
    } else {
        try {
            BlobManager->ReadBlob(SessionIDOf(Cursor), record, *base, descriptor, FieldNo);
            base->Seek(0, soBeginning);
            if (descriptor.UncompressedSize < 0 || descriptor.BlockCount < 0)
                RaiseNative(20248, "Invalid blob field size");
            compressed = std::make_unique<TORQCompressedBLOBStream>(*base, descriptor, false, false);
        } catch (...) {
            try {
                BlobManager->ReleaseBlobCache(record, FieldNo, true);
            } catch (...) {
            }
            throw;
        }
    }
    return std::make_unique<TORQLocalBLOBStream>(std::move(base), std::move(compressed), FieldNo, Mode, Cursor);
}

void TORQDiskTableData::ReadBlobValue(TORQCursor* Cursor, int32_t FieldNo, std::string& Bytes) {
    TORQTableLock lock(*this);
    if (BlobManager == nullptr || FieldManager == nullptr) RaiseNative(20176, "Pointer is nil");
    uint8_t* record = Cursor != nullptr ? Cursor->CurrentRecord : nullptr;
    if (record != nullptr && BlobManager->ReadSharedValue(SessionIDOf(Cursor), record, FieldNo, Bytes)) return;
    TORQTableData::ReadBlobValue(Cursor, FieldNo, Bytes);
}

void TORQDiskTableData::ReadBlob(TORQCursor* Cursor, int32_t FieldNo, uint8_t*& Data, TORQBlobDataHeader& Header,
                                 const uint8_t* Record) {
    TORQTableLock lock(*this);
    if (BlobManager == nullptr) RaiseNative(20176, "Pointer is nil");
    Data = nullptr;
    Header = TORQBlobDataHeader{};
    // The cache entry is attached to the buffer: its handle bytes are the manager's.
    auto* record = const_cast<uint8_t*>(Record != nullptr ? Record : Cursor->CurrentRecord);
    const uint8_t* bytes = nullptr;
    BlobManager->GetBlobData(SessionIDOf(Cursor), record, bytes, Header, FieldNo);
    if (bytes != nullptr && Header.StoredSize > 0) {
        Data = static_cast<uint8_t*>(GlobalMemoryManager().GetMem(Header.StoredSize));
        std::memcpy(Data, bytes, static_cast<size_t>(Header.StoredSize));
    }
}

void TORQDiskTableData::WriteBlob(TORQCursor* Cursor, int32_t FieldNo, const uint8_t* Data,
                                  const TORQBlobDataHeader& Header, uint8_t* Record) {
    TORQTableLock lock(*this);
    if (BlobManager == nullptr) RaiseNative(20176, "Pointer is nil");
    if (Record == nullptr && Cursor != nullptr) Record = Cursor->CurrentRecord;
    if (Record == nullptr) RaiseNative(10018, "Nil pointer occured");
    BlobManager->SetBlobData(Record, Data, Header, FieldNo);
}

void TORQDiskTableData::DeleteBlob(uint8_t*& Data) { GlobalMemoryManager().FreeAndNillMem(Data); }

// ---------------------------------------------------------------------------------
// Changes

void TORQDiskTableData::FailChange(TORQCursor* Cursor) noexcept {
    FStateCommitCounter = -1;
    const int32_t session = SessionIDOf(Cursor);
    if (InTransaction(Cursor) || (Cursor != nullptr && Cursor->UpdateBatch != 0)) {
        // The session's pages hold other work that is not ours to drop: its commit is
        // refused until it rolls back.
        FFailedSessions.insert(session);
        return;
    }
    try {
        RollbackSessionPages(session, false);
    } catch (...) {
        // What cannot be undone must not be committed either.
        FFailedSessions.insert(session);
    }
}

void TORQDiskTableData::RecoverFailedChange(TORQCursor* Cursor) {
    const int32_t session = SessionIDOf(Cursor);
    if (!HasFailedChange(session) || InTransaction(Cursor) || (Cursor != nullptr && Cursor->UpdateBatch != 0)) return;
    // Outside a transaction and a batch the session keeps no work of its own between
    // changes: what a failed cleanup left is dropped now, and the mark stays until the
    // committed state could be read again.
    RollbackSessionPages(session, false);
}

bool TORQDiskTableData::InsertRecord(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(20135, "Nil pointer occured");
    if (Cursor->CurrentRecord == nullptr) RaiseNative(20136, "Nil pointer occured");
    DiskPageManager()->CheckWritable();
    const int32_t session = SessionIDOf(Cursor);
    TBracket bracket(*this, session, WriteLockType(Cursor), 31022);
    BeginChange(Cursor);
    RecoverFailedChange(Cursor);
    try {
        if (IsMultiUser()) CheckStaleTemporaryIndexes(Cursor);
        BlobManager->FlushBlobs(session, Cursor->CurrentRecord, nullptr);
        TORQRecordID id;
        if (!RecordManager->InsertRecord(session, Cursor->CurrentRecord, id)) {
            FailChange(Cursor);
            return false;
        }
        Cursor->CurrentRecordID = id;
        id.ToBytes(Cursor->CurrentRecord + RecordManager->RecordSize);
        if (Cursor->HasActiveRecordBitmap()) Cursor->ResetRecordBitmap();
        InsertIndexKeys(Cursor);
        Cursor->Bof = 0;
        Cursor->Eof = 0;
        SaveState(session);
        if (Cursor->UpdateBatch == 0) CommitSessionPages(session, InTransaction(Cursor));
    } catch (...) {
        FailChange(Cursor);
        throw;
    }
    return true;
}

bool TORQDiskTableData::UpdateRecord(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(20138, "Nil pointer occured");
    if (Cursor->CurrentRecord == nullptr) RaiseNative(20139, "Nil pointer occured");
    DiskPageManager()->CheckWritable();
    const int32_t session = SessionIDOf(Cursor);
    TBracket bracket(*this, session, WriteLockType(Cursor), 31022);
    BeginChange(Cursor);
    RecoverFailedChange(Cursor);
    // The stored record, read by its id: its keys and BLOB values are what the update
    // replaces. A cursor without an OldRecord buffer lends a scratch one.
    TORQMemoryBlock scratch;
    uint8_t* const ownOld = Cursor->OldRecord;
    if (ownOld == nullptr) {
        scratch = TORQMemoryBlock(std::max(RecordManager->RecordSize + TORQRecordID::ByteSize + 1,
                                           Cursor->RecordBufferSize),
                                  true);
        Cursor->OldRecord = static_cast<uint8_t*>(scratch.Data());
    }
    bool ok = false;
    try {
        if (IsMultiUser()) CheckStaleTemporaryIndexes(Cursor);
        if (ReadStoredRecord(session, Cursor->CurrentRecordID, Cursor->OldRecord) == grOK) {
            UpdateIndexKeys(Cursor, true);
            BlobManager->FlushBlobs(session, Cursor->CurrentRecord, Cursor->OldRecord);
            ok = RecordManager->UpdateRecord(session, Cursor->CurrentRecord, Cursor->CurrentRecordID);
            if (ok) {
                UpdateIndexKeys(Cursor, false);
                if (Cursor->HasActiveRecordBitmap()) Cursor->ResetRecordBitmap();
                SaveState(session);
                if (Cursor->UpdateBatch == 0) CommitSessionPages(session, InTransaction(Cursor));
            } else {
                FailChange(Cursor);
            }
        }
    } catch (...) {
        Cursor->OldRecord = ownOld;
        FailChange(Cursor);
        throw;
    }
    Cursor->OldRecord = ownOld;
    return ok;
}

bool TORQDiskTableData::DeleteRecord(TORQCursor* Cursor) {
    TORQTableLock lock(*this);
    if (RecordManager == nullptr) RaiseNative(20137, "Nil pointer occured");
    DiskPageManager()->CheckWritable();
    const int32_t session = SessionIDOf(Cursor);
    TBracket bracket(*this, session, WriteLockType(Cursor), 31022);
    BeginChange(Cursor);
    RecoverFailedChange(Cursor);
    const TORQRecordID id = Cursor->CurrentRecordID;
    TORQMemoryBlock stored(RecordManager->RecordSize + TORQRecordID::ByteSize + 1, true);
    auto* storedRecord = static_cast<uint8_t*>(stored.Data());
    TNeighbours neighbours;
    int32_t stamp = 0;
    try {
        if (IsMultiUser()) CheckStaleTemporaryIndexes(Cursor);
        if (ReadStoredRecord(session, id, storedRecord) != grOK) return false;
        neighbours = ProbeNeighbours(Cursor, storedRecord);
        stamp = RecordManager->ChangeStamp;
        if (Cursor->CurrentRecord != nullptr) FreeBlobFields(Cursor->CurrentRecord);
        BlobManager->FreeBlobs(session, Cursor->CurrentRecord, storedRecord);
        DeleteIndexKeys(Cursor, storedRecord);
        TORQRecordID deleted = id;
        if (!RecordManager->DeleteRecord(session, deleted)) {
            FailChange(Cursor);
            return false;
        }
        SaveState(session);
        if (Cursor->UpdateBatch == 0) CommitSessionPages(session, InTransaction(Cursor));
    } catch (...) {
        FailChange(Cursor);
        throw;
    }
    // The other records' membership is unchanged: the cursor's set loses this one only,
    // so a walk over the set goes on without examining the table again.
    KeepRecordBitmap(Cursor, id, true, stamp);
    PlaceAfterDelete(Cursor, neighbours, storedRecord);
    return true;
}

}  // namespace orq
