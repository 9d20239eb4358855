#include "engine/storage/ORQDiskDatabase.h"

#include <algorithm>
#include <exception>
#include <functional>
#include <mutex>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQDiskTable.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQSecurity.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

namespace {

constexpr int32_t SessionSystem = -2;

}  // namespace

TORQDiskDatabaseData::TTablesLock::~TTablesLock() {
    try {
        FDatabase.UnlockAllTables();
    } catch (...) {
        // Leaving after another failure, which is the one the caller sees; otherwise the byte
        // goes with the file's handle at the latest.
    }
}

TORQDiskDatabaseData::TORQDiskDatabaseData() {
    MaxConnections = 500;
    PageSize = 4096;
    PagesPerExtent = 8;
}

TORQDiskDatabaseData::~TORQDiskDatabaseData() {
    try {
        Close();
    } catch (...) {
        // A destructor never throws; the file's handle goes with the page manager.
    }
}

void TORQDiskDatabaseData::CheckOpen() const {
    if (!FPageManager) RaiseNativeFmt(30964, "Database '%s' is not open", {DatabaseName});
}

void TORQDiskDatabaseData::CheckWritable() const {
    CheckOpen();
    if (ReadOnly != 0)
        RaiseNativeFmt(30962, "Cannot write to database '%s': it is open read-only (another process holds it)",
                       {DatabaseName});
}

bool TORQDiskDatabaseData::Open(TORQBaseSession* Session, bool Exclusive) {
    auto manager = std::make_unique<TORQDiskPageManager>();
    manager->CommitBarriers = CommitBarriers;
    bool multiUser = Session->MultiUser != 0;
    bool readOnly = ReadOnly != 0;
    const bool needsRepair = manager->OpenDatabaseFile(DatabaseName, Password, multiUser, Exclusive, readOnly);
    FPageManager = std::move(manager);
    PageManager = FPageManager.get();
    EngineValue = multiUser ? 1 : 0;
    ReadOnly = readOnly ? 1 : 0;
    try {
        Password = FPageManager->GetPassword();
        PageSize = FPageManager->PageSize;
        PagesPerExtent = FPageManager->PagesPerExtent();
        FDirectory = std::make_unique<TORQSystemDirectory>(*FPageManager);
        FDirectory->LoadDirectory();
        const int32_t sessionsPage = FDirectory->FindEntry(DirectoryActiveSessions);
        const int32_t catalogPage = FDirectory->FindEntry(DirectoryTableList);
        if (sessionsPage < 0 || catalogPage < 0)
            RaiseNativeFmt(30965, "Database '%s' is damaged: its system directory lacks the %s", {DatabaseName,
                           std::string_view(sessionsPage < 0 ? "sessions file" : "table catalog")});
        FSessionsFile = std::make_unique<TORQActiveSessionsFile>(FPageManager.get());
        FSessionsFile->OpenSessionsFile(sessionsPage);
        MaxConnections = FSessionsFile->ConnectionCount();
        FCatalog = std::make_unique<TORQTableListFile>(*FPageManager);
        FCatalog->OpenCatalog(catalogPage);
        FCatalog->LoadCatalog();
        if (multiUser) FLockManager = std::make_unique<TORQDatabaseTableLockManager>(MaxConnections, FPageManager.get());
    } catch (...) {
        Close();
        throw;
    }
    FNeedsRepair = needsRepair ? 1 : 0;
    return needsRepair;
}

void TORQDiskDatabaseData::Close() {
    std::lock_guard guard(LockSection());
    // Table data objects point at the page manager: none may outlive it.
    while (TableDataCount() > 0) FreeTableData(TableDataAt(TableDataCount() - 1));
    FParked.clear();
    FLockManager.reset();
    FCatalog.reset();
    if (FSessionsFile) {
        try {
            FSessionsFile->CloseSessionsFile();
        } catch (...) {
            // Its bytes go with the file's handle below.
        }
        FSessionsFile.reset();
    }
    FDirectory.reset();
    FSingleUserLockTaken = 0;
    FTablesLockCount = 0;
    PageManager = nullptr;
    if (!FPageManager) return;
    std::unique_ptr<TORQDiskPageManager> manager = std::move(FPageManager);
    manager->CloseDatabaseFile();
}

void TORQDiskDatabaseData::ParkTable(int32_t TableID, TParkedTable&& State) {
    std::lock_guard guard(LockSection());
    FParked[TableID] = std::move(State);
}

bool TORQDiskDatabaseData::UnparkTable(int32_t TableID, TParkedTable& State) {
    std::lock_guard guard(LockSection());
    auto it = FParked.find(TableID);
    if (it == FParked.end()) return false;
    State = std::move(it->second);
    FParked.erase(it);
    return true;
}

int32_t TORQDiskDatabaseData::FreeSingleUserNumber() const {
    for (int32_t n = 0;; ++n)
        if (std::none_of(Sessions.begin(), Sessions.end(), [n](const TORQBaseSession* s) { return s->SessionID == n; }))
            return n;
}

void TORQDiskDatabaseData::ReleaseSessionNumber(int32_t Number, bool LastSession) {
    if (IsMultiUser()) {
        FSessionsFile->DisconnectSession(Number);
    } else if (FSingleUserLockTaken != 0 && LastSession) {
        FSessionsFile->UnlockAllSessions();
        FSingleUserLockTaken = 0;
    }
}

void TORQDiskDatabaseData::ConnectSession(TORQBaseSession* Session) {
    std::lock_guard guard(LockSection());
    if (std::find(Sessions.begin(), Sessions.end(), Session) != Sessions.end()) return;
    const bool opened = !FPageManager;
    if (opened) {
        Open(Session, Session->Exclusive != 0);
        Session->MultiUser = EngineValue != 0 ? 1 : 0;
    }
    int32_t claimed = -1;
    try {
        if ((Session->MultiUser != 0) != IsMultiUser())
            RaiseNative(20235, "Cannot open database in multi-user and signle-user mode at the same time");
        int32_t number = 0;
        if (IsMultiUser()) {
            number = FSessionsFile->ConnectSession();
            claimed = number;
        } else {
            number = FreeSingleUserNumber();
            if (FSingleUserLockTaken == 0) {
                if (FSessionsFile->LockAllSessions()) {
                    FSingleUserLockTaken = 1;
                } else if (ReadOnly == 0) {
                    // Another process has the file: read-only from now on, enforced by a
                    // handle that cannot write. Only the first session can get here.
                    ReadOnly = 1;
                    const bool exclusive = FPageManager->Exclusive();
                    Close();
                    Open(Session, exclusive);
                }
            }
        }
        Session->NeedsRepair = FNeedsRepair;
        Session->SessionID = number;
        Sessions.push_back(Session);
    } catch (...) {
        try {
            if (claimed >= 0) FSessionsFile->DisconnectSession(claimed);
        } catch (...) {
            // The byte goes with the file's handle when the file closes below.
        }
        if (Sessions.empty()) Close();
        throw;
    }
}

void TORQDiskDatabaseData::DisconnectSession(TORQBaseSession* Session) {
    std::lock_guard guard(LockSection());
    if (std::find(Sessions.begin(), Sessions.end(), Session) == Sessions.end()) return;
    // The session leaves the list whatever fails on the way: its owner frees it after this
    // call, and a listed session would be read again by the next connect.
    std::exception_ptr failure;
    if (Session->InTransaction != 0) {
        try {
            Session->Rollback();
        } catch (...) {
            failure = std::current_exception();
        }
        // Whatever the session's own rollback did: its pages and transaction locks go.
        try {
            Rollback(Session->SessionID);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        Session->InTransaction = 0;
    }
    try {
        ReleaseSessionNumber(Session->SessionID, Sessions.size() == 1);
    } catch (...) {
        if (!IsDesignTime() && !failure) failure = std::current_exception();
    }
    std::erase(Sessions, Session);
    if (Sessions.empty()) {
        try {
            Close();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
}

void TORQDiskDatabaseData::GetTablesList(std::vector<std::string>& List) {
    std::lock_guard guard(LockSection());
    CheckOpen();
    TTablesLock tables(*this);
    FCatalog->GetTablesList(List);
}

void TORQDiskDatabaseData::CreateDatabase() {
    std::lock_guard guard(LockSection());
    if (FPageManager) RaiseNativeFmt(10461, "Error - database file %s is in use.", {DatabaseName});
    // A sessions file without bytes could never be connected to in multi-user mode.
    if (MaxConnections < 1)
        RaiseNativeFmt(30967, "Cannot create database '%s': the number of allowed connections must be at least 1, not %d",
                       {DatabaseName, MaxConnections});
    TORQDiskPageManager manager;
    manager.CommitBarriers = CommitBarriers;
    manager.CreateDatabaseFile(DatabaseName, Password, static_cast<uint16_t>(PagesPerExtent),
                               static_cast<uint16_t>(PageSize));
    try {
        TORQSystemDirectory directory(manager);
        TORQActiveSessionsFile sessions(&manager);
        TORQTableListFile catalog(manager);
        directory.CreateDirectory();
        directory.AddEntry(DirectoryActiveSessions, sessions.CreateSessionsFile(MaxConnections));
        directory.AddEntry(DirectoryTableList, catalog.CreateCatalog());
        directory.SaveDirectory();
        manager.CommitSession(SessionSystem);
    } catch (...) {
        manager.CloseDatabaseFile();
        throw;
    }
    manager.CloseDatabaseFile();
}

TORQTableData* TORQDiskDatabaseData::CreateTableData(TORQCursor* Cursor) {
    std::lock_guard guard(LockSection());
    CheckOpen();
    auto table = std::make_unique<TORQDiskTableData>(this);
    if (Cursor != nullptr) table->TableName = Cursor->TableName;
    TORQDiskTableData* result = table.get();
    AddTableData(table.release());
    return result;
}

int32_t TORQDiskDatabaseData::GetNextObjectID() {
    std::lock_guard guard(LockSection());
    CheckOpen();
    return FPageManager->GetNextObjectID();
}

void TORQDiskDatabaseData::Commit(int32_t SessionID, bool Flush) {
    std::lock_guard guard(LockSection());
    CheckWritable();
    // A change that failed midway left part of itself in the session's pages.
    for (int32_t i = 0; i < TableDataCount(); ++i)
        if (auto* t = dynamic_cast<TORQDiskTableData*>(TableDataAt(i)); t != nullptr && t->HasFailedChange(SessionID))
            RaiseNativeFmt(31020,
                           "Cannot commit changes of table '%s': an earlier change failed and must be rolled back",
                           {t->TableName});
    if (FLockManager && !FLockManager->LockTablesForCommit(SessionID))
        RaiseNative(20233, "Cannot commit changes. Locks of modified tables failed");
    const uint64_t commits = CommitWriteCount();
    try {
        TORQDatabaseData::Commit(SessionID, Flush);
    } catch (...) {
        // A commit that began writing took part of the session's pages with it: the rest
        // alone must never be committed.
        if (CommitWriteCount() != commits)
            for (int32_t i = 0; i < TableDataCount(); ++i)
                if (auto* t = dynamic_cast<TORQDiskTableData*>(TableDataAt(i)))
                    t->RefuseCommitUntilRollback(SessionID);
        throw;
    }
    for (int32_t i = 0; i < TableDataCount(); ++i)
        if (auto* t = dynamic_cast<TORQDiskTableData*>(TableDataAt(i))) t->SessionCommitted(SessionID);
    // With barriers on, the commit synced the file already.
    if (Flush && !CommitBarriers) FPageManager->DatabaseFile().FlushFileBuffers();
    if (FLockManager) FLockManager->UnlockTransactionTables(SessionID);
}

void TORQDiskDatabaseData::Rollback(int32_t SessionID) {
    std::lock_guard guard(LockSection());
    if (FLockManager) FLockManager->UnlockTransactionTables(SessionID);
    TORQDatabaseData::Rollback(SessionID);
}

void TORQDiskDatabaseData::FlushBuffers() {
    if (FPageManager) FPageManager->DatabaseFile().FlushFileBuffers();
}

bool TORQDiskDatabaseData::IsEncrypted() {
    std::lock_guard guard(LockSection());
    return FPageManager && FPageManager->IsEncrypted();
}

uint8_t TORQDiskDatabaseData::GetRecoveryMode() {
    std::lock_guard guard(LockSection());
    CheckOpen();
    return FPageManager->FreeSpaceManager()->RecoveryMode;
}

void TORQDiskDatabaseData::SetRecoveryMode(uint8_t Value) {
    std::lock_guard guard(LockSection());
    CheckOpen();
    FPageManager->FreeSpaceManager()->RecoveryMode = Value;
}

void TORQDiskDatabaseData::ShrinkDatabaseFile() {
    std::lock_guard guard(LockSection());
    CheckWritable();
    FPageManager->ShrinkFile();
}

void TORQDiskDatabaseData::LockAllTables() {
    std::lock_guard guard(LockSection());
    CheckOpen();
    if (FTablesLockCount > 0) {
        ++FTablesLockCount;
        return;
    }
    TORQDiskPageManager* manager = FPageManager.get();
    if (!RetryWithSleep(TORQDiskPageManager::LockTries, TORQDiskPageManager::LockDelay,
                        [manager] { return manager->LockTables(); }))
        RaiseNative(20210, "Database tables are locked");
    FTablesLockCount = 1;
}

void TORQDiskDatabaseData::UnlockAllTables() {
    std::lock_guard guard(LockSection());
    if (FTablesLockCount > 1) {
        --FTablesLockCount;
        return;
    }
    if (FTablesLockCount == 0 || !FPageManager || !FPageManager->UnlockTables())
        RaiseNative(20211, "Cannot unlock database tables");
    FTablesLockCount = 0;
}

void TORQDiskDatabaseData::ChangeCatalog(const std::function<void()>& Change) {
    FCatalog->LoadCatalog();
    try {
        Change();
        FCatalog->SaveCatalog();
        FPageManager->CommitSession(SessionSystem);
    } catch (...) {
        // Nothing half-saved stays for the next look-up: the system session's pages go and
        // the catalog is read again as the file has it.
        try {
            FPageManager->RollbackSession(SessionSystem);
            FCatalog->LoadCatalog();
        } catch (...) {
            // The first failure is the one the caller sees; the next change reloads.
        }
        throw;
    }
}

void TORQDiskDatabaseData::AddTable(int32_t TableID, std::string_view Name, int32_t LocksPage, int32_t StatePage,
                                    int32_t MetaDataPage) {
    std::lock_guard guard(LockSection());
    if (!FCatalog) RaiseNative(30966, "Pointer is nil");
    CheckWritable();
    TTablesLock tables(*this);
    ChangeCatalog([&] { FCatalog->AddTable(Name, TableID, LocksPage, StatePage, MetaDataPage); });
}

void TORQDiskDatabaseData::FindTable(std::string_view Name, int32_t& TableID, int32_t& LocksPage, int32_t& StatePage,
                                     int32_t& MetaDataPage) {
    std::lock_guard guard(LockSection());
    if (!FCatalog) RaiseNative(20129, "Pointer is nil");
    TTablesLock tables(*this);
    FCatalog->LoadCatalog();
    FCatalog->GetTable(Name, TableID, MetaDataPage, StatePage, LocksPage);
}

void TORQDiskDatabaseData::DeleteTable(std::string_view Name) {
    std::lock_guard guard(LockSection());
    if (!FCatalog) RaiseNative(20130, "Pointer is nil");
    CheckWritable();
    TTablesLock tables(*this);
    ChangeCatalog([&] { FCatalog->DeleteTable(Name); });
}

void TORQDiskDatabaseData::RenameTable(std::string_view OldName, std::string_view NewName) {
    std::lock_guard guard(LockSection());
    if (!FCatalog) RaiseNative(20131, "Pointer is nil");
    CheckWritable();
    TTablesLock tables(*this);
    ChangeCatalog([&] { FCatalog->RenameTable(OldName, NewName); });
}

}  // namespace orq
