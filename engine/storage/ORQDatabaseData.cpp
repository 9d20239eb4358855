#include "engine/storage/ORQDatabaseData.h"

#include <algorithm>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQDefinitions.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQPage.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

TORQDatabaseData::TORQDatabaseData() = default;

TORQDatabaseData::~TORQDatabaseData() {
    // Each table data is taken off the list before it is freed, so its own destructor
    // finds nothing to remove.
    while (!FTableData.empty()) {
        TORQTableData* t = FTableData.back();
        FTableData.pop_back();
        delete t;
    }
    RemoveFromDatabaseList(this);
}

void TORQDatabaseData::ConnectSession(TORQBaseSession* Session) {
    std::lock_guard guard(FLock);
    if (std::find(Sessions.begin(), Sessions.end(), Session) == Sessions.end()) Sessions.push_back(Session);
    Session->SessionID = 0;
}

void TORQDatabaseData::DisconnectSession(TORQBaseSession* Session) {
    std::lock_guard guard(FLock);
    std::erase(Sessions, Session);
}

bool TORQDatabaseData::FreeIfUnused() {
    {
        std::lock_guard guard(FLock);
        if (!Sessions.empty()) return false;
    }
    if (!StorageEngineStarted()) return false;
    return DatabaseList().Free(this);
}

void TORQDatabaseData::GetTablesList(std::vector<std::string>& List) {
    std::lock_guard guard(FLock);
    for (TORQTableData* t : FTableData) List.push_back(t->TableName);
}

void TORQDatabaseData::CreateDatabase() {}

TORQTableData* TORQDatabaseData::CreateTableData(TORQCursor*) { RaiseNotOverridden("CreateTableData", ClassName()); }

TORQTableData* TORQDatabaseData::FindTableData(TORQCursor* Cursor) {
    std::lock_guard guard(FLock);
    for (TORQTableData* t : FTableData)
        if (SameName(t->TableName, Cursor->TableName)) return t;
    return nullptr;
}

TORQTableData* TORQDatabaseData::GetTableData(TORQCursor* Cursor) {
    std::lock_guard guard(FLock);
    if (TORQTableData* t = FindTableData(Cursor)) return t;
    return CreateTableData(Cursor);
}

int32_t TORQDatabaseData::GetNextObjectID() { RaiseNotOverridden("GetNextObjectID", ClassName()); }

void TORQDatabaseData::Commit(int32_t SessionID, bool /*Flush*/) {
    std::lock_guard guard(FLock);
    if (PageManager != nullptr) PageManager->CommitSession(SessionID);
}

void TORQDatabaseData::Rollback(int32_t SessionID) {
    std::lock_guard guard(FLock);
    if (PageManager != nullptr) PageManager->RollbackSession(SessionID);
    for (TORQTableData* t : FTableData) t->RollbackSession(SessionID);
}

void TORQDatabaseData::FlushBuffers() {}

bool TORQDatabaseData::TableExists(std::string_view Name) {
    std::lock_guard guard(FLock);
    std::vector<std::string> names;
    GetTablesList(names);
    return std::any_of(names.begin(), names.end(), [Name](const std::string& n) { return SameName(n, Name); });
}

void TORQDatabaseData::AddTableData(TORQTableData* TableData) {
    std::lock_guard guard(FLock);
    if (std::find(FTableData.begin(), FTableData.end(), TableData) == FTableData.end()) FTableData.push_back(TableData);
}

bool TORQDatabaseData::RemoveTableData(TORQTableData* TableData) {
    std::lock_guard guard(FLock);
    auto it = std::find(FTableData.begin(), FTableData.end(), TableData);
    if (it == FTableData.end()) return false;
    FTableData.erase(it);
    return true;
}

bool TORQDatabaseData::FreeTableData(TORQTableData* TableData) {
    if (!RemoveTableData(TableData)) return false;
    delete TableData;
    return true;
}

int32_t TORQDatabaseData::TableDataCount() {
    std::lock_guard guard(FLock);
    return static_cast<int32_t>(FTableData.size());
}

TORQTableData* TORQDatabaseData::TableDataAt(int32_t Index) {
    std::lock_guard guard(FLock);
    return FTableData.at(static_cast<size_t>(Index));
}

void TORQDatabaseData::DeleteAllTables(int32_t NilCode) {
    std::lock_guard guard(FLock);
    while (TableDataCount() > 0) {
        TORQTableData* t = TableDataAt(0);
        if (t == nullptr) {
            RemoveTableData(nullptr);
            RaiseNative(NilCode, "Nil pointer occured");
        }
        t->DeleteTable(nullptr, false);
    }
}

void TORQDatabaseData::CommitTablePages(int32_t SessionID) {
    std::lock_guard guard(FLock);
    for (int32_t i = 0; i < TableDataCount(); ++i)
        if (TORQTableData* t = TableDataAt(i); t != nullptr && t->PageManager != nullptr)
            t->PageManager->CommitSession(SessionID);
}

int32_t TORQDatabaseData::SessionCount() {
    std::lock_guard guard(FLock);
    return static_cast<int32_t>(Sessions.size());
}

}  // namespace orq
