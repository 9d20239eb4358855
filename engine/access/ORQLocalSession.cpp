#include "engine/access/ORQLocalSession.h"

#include <filesystem>
#include <mutex>
#include <system_error>

#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQDiskDatabase.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQMemEngine.h"
#include "engine/storage/ORQTempEngine.h"

namespace orq {

namespace {

// The unit's mutex: made on first use, so nothing runs before main.
std::recursive_mutex& UnitMutex() {
    static std::recursive_mutex mutex;
    return mutex;
}

bool IsMemoryData(const TORQDatabaseData& Data) { return dynamic_cast<const TORQMemoryDatabaseData*>(&Data) != nullptr; }
bool IsTemporaryData(const TORQDatabaseData& Data) {
    return dynamic_cast<const TORQTemporaryDatabaseData*>(&Data) != nullptr;
}

}  // namespace

bool IsMemoryDatabaseName(const std::string& Name) { return CompareAnsiText(Name, "MEMORY", true) == 0; }
bool IsTemporaryDatabaseName(const std::string& Name) { return CompareAnsiText(Name, "TEMP", true) == 0; }

std::string CanonicalDatabaseFileName(const std::string& FileName) {
    if (FileName.empty()) return FileName;
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(FileName, ec);
    if (ec) return FileName;
    std::filesystem::path c = std::filesystem::weakly_canonical(p, ec);
    if (ec) return p.lexically_normal().string();
    return c.string();
}

TORQLocalSession::TORQLocalSession() {
    MaxConnections = 500;
    PageSize = 4096;
    PagesPerExtent = 8;
}

TORQLocalSession::~TORQLocalSession() {
    try {
        SetConnected(false);
    } catch (...) {
        // A destructor never throws; the database object has let the session go.
    }
}

bool TORQLocalSession::GetConnected() { return DatabaseData != nullptr; }

TORQDiskDatabaseData* TORQLocalSession::DiskDatabaseData() const {
    return dynamic_cast<TORQDiskDatabaseData*>(DatabaseData);
}

void TORQLocalSession::CheckConnected() const {
    if (DatabaseData == nullptr) RaiseNativeFmt(30964, "Database '%s' is not open", {DatabaseName});
}

bool TORQLocalSession::MatchesDatabaseData(const TORQDatabaseData* Data) const {
    if (Data == nullptr) return false;
    if (IsMemoryDatabaseName(DatabaseName)) return IsMemoryData(*Data);
    if (IsTemporaryDatabaseName(DatabaseName)) return IsTemporaryData(*Data);
    if (dynamic_cast<const TORQDiskDatabaseData*>(Data) == nullptr) return false;
    return Data->DatabaseName == CanonicalDatabaseFileName(DatabaseFileName) &&
           AnsiUpperCase(Data->SessionName) == AnsiUpperCase(SessionName);
}

TORQDatabaseData* TORQLocalSession::FindDatabaseData() {
    std::lock_guard guard(UnitMutex());
    if (IsMemoryDatabaseName(DatabaseName)) return DatabaseList().FindIf(IsMemoryData);
    if (IsTemporaryDatabaseName(DatabaseName)) return DatabaseList().FindIf(IsTemporaryData);
    const std::string file = CanonicalDatabaseFileName(DatabaseFileName);
    const std::string session = AnsiUpperCase(SessionName);
    return DatabaseList().FindIf([&](const TORQDatabaseData& d) {
        return dynamic_cast<const TORQDiskDatabaseData*>(&d) != nullptr && d.DatabaseName == file &&
               AnsiUpperCase(d.SessionName) == session;
    });
}

TORQDiskDatabaseData* TORQLocalSession::CreateDiskDatabaseData() {
    std::lock_guard guard(UnitMutex());
    auto data = std::make_unique<TORQDiskDatabaseData>();
    data->DatabaseName = CanonicalDatabaseFileName(DatabaseFileName);
    data->ReadOnly = ReadOnly;
    data->MaxConnections = MaxConnections;
    data->Password = Password;
    data->PageSize = PageSize;
    data->PagesPerExtent = PagesPerExtent;
    data->SessionName = SessionName;
    TORQDiskDatabaseData* result = data.get();
    DatabaseList().Add(data.release());
    return result;
}

TORQDatabaseData* TORQLocalSession::GetDatabaseData() {
    std::lock_guard guard(UnitMutex());
    TORQDatabaseData* d = FindDatabaseData();
    return d != nullptr ? d : CreateDiskDatabaseData();
}

void TORQLocalSession::FreeIfUnusedDisk(TORQDatabaseData* Data) {
    if (Data == nullptr || dynamic_cast<TORQDiskDatabaseData*>(Data) == nullptr) return;
    // Leaves the engine-wide list and frees itself when no session is connected.
    Data->FreeIfUnused();
}

void TORQLocalSession::SetConnected(bool Value) {
    if (Value == GetConnected()) return;
    std::lock_guard guard(UnitMutex());
    if (!Value) {
        Disconnect();
        return;
    }
    TORQDatabaseData* data = GetDatabaseData();
    try {
        data->ConnectSession(this);
    } catch (...) {
        SessionID = -1;
        FreeIfUnusedDisk(data);
        throw;
    }
    DatabaseData = data;
    ReadOnly = data->ReadOnly;
    auto* disk = dynamic_cast<TORQDiskDatabaseData*>(data);
    if (disk == nullptr) return;
    if (disk->IsEncrypted() && !disk->Password.Password.empty() && Password.Password != disk->Password.Password) {
        Disconnect();
        RaiseNative(20298, "Database password is invalid.");
    }
    Password = disk->Password;
    PageSize = disk->PageSize;
    PagesPerExtent = disk->PagesPerExtent;
    MaxConnections = disk->MaxConnections;
}

void TORQLocalSession::Disconnect() {
    std::lock_guard guard(UnitMutex());
    TORQDatabaseData* data = DatabaseData;
    if (data == nullptr) return;
    try {
        data->DisconnectSession(this);
    } catch (...) {
        // The object has let the session go or keeps it listed; either way this session
        // is no longer connected through it.
        DatabaseData = nullptr;
        SessionID = -1;
        if (data->SessionCount() == 0) FreeIfUnusedDisk(data);
        throw;
    }
    DatabaseData = nullptr;
    SessionID = -1;
    InTransaction = 0;
    FUndoFailure = nullptr;
    FreeIfUnusedDisk(data);
}

bool TORQLocalSession::GetRecoveryMode() {
    TORQDiskDatabaseData* disk = DiskDatabaseData();
    return disk != nullptr && disk->IsOpen() && disk->GetRecoveryMode() != 0;
}

void TORQLocalSession::SetRecoveryMode(bool Value) {
    TORQDiskDatabaseData* disk = DiskDatabaseData();
    if (disk != nullptr && disk->IsOpen()) disk->SetRecoveryMode(Value ? 1 : 0);
}

void TORQLocalSession::CreateDatabase() {
    std::lock_guard guard(UnitMutex());
    if (FindDatabaseData() != nullptr) RaiseNative(20092, "Cannot create database. Database is already open");
    TORQDiskDatabaseData* data = CreateDiskDatabaseData();
    try {
        data->CreateDatabase();
    } catch (...) {
        data->FreeIfUnused();
        throw;
    }
    data->FreeIfUnused();
}

void TORQLocalSession::DropDatabase() {}

void TORQLocalSession::SetDatabaseName(const std::string&) {}

void TORQLocalSession::GetTablesList(std::vector<std::string>& List) {
    CheckConnected();
    DatabaseData->GetTablesList(List);
}

bool TORQLocalSession::TableExists(const std::string& TableName) {
    CheckConnected();
    return DatabaseData->TableExists(TableName);
}

void TORQLocalSession::StartTransaction() {
    InTransaction = 1;
    FUndoFailure = nullptr;
}

void TORQLocalSession::MarkUndoFailed(std::exception_ptr Failure) {
    if (InTransaction == 0 || !Failure) return;
    FUndoFailure = std::move(Failure);
}

void TORQLocalSession::Commit(bool Flush) {
    if (InTransaction == 0) RaiseNative(20229, "Database is not within a transaction. Cannot perform operation");
    CheckConnected();
    if (FUndoFailure) std::rethrow_exception(FUndoFailure);
    DatabaseData->Commit(SessionID, Flush);
    InTransaction = 0;
}

void TORQLocalSession::Rollback() {
    if (InTransaction == 0) RaiseNative(20229, "Database is not within a transaction. Cannot perform operation");
    CheckConnected();
    DatabaseData->Rollback(SessionID);
    InTransaction = 0;
    FUndoFailure = nullptr;
}

void TORQLocalSession::FlushBuffers() {
    CheckConnected();
    DatabaseData->FlushBuffers();
}

void TORQLocalSession::ShrinkDatabaseFile() {
    if (TORQDiskDatabaseData* disk = DiskDatabaseData()) disk->ShrinkDatabaseFile();
}

}  // namespace orq
