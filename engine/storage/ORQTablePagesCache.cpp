#include "engine/storage/ORQTablePagesCache.h"

#include "engine/foundation/ORQExcept.h"

namespace orq {

TORQDTPCTableInfo& TORQDTPCSessionInfo::Table(int32_t TableID) {
    for (const auto& t : TableInfos)
        if (t->TableID == TableID) return *t;
    TableInfos.push_back(std::make_unique<TORQDTPCTableInfo>(TableID));
    return *TableInfos.back();
}

TORQDTPCSessionInfo& TORQDiskTablePagesCacheManager::Session(int32_t SessionID) {
    if (SessionID < -2) RaiseNative(20186, "Invalid Session ID");
    const auto index = static_cast<std::size_t>(int64_t{SessionID} + 2);
    if (index >= FSessionInfos.size()) FSessionInfos.resize(index + 1);
    auto& info = FSessionInfos[index];
    if (!info) info = std::make_unique<TORQDTPCSessionInfo>();
    return *info;
}

void TORQDiskTablePagesCacheManager::EndPeriodIfUnlocked(TORQDTPCTableInfo& Info) {
    if (Info.ReadLockCount + Info.PostLockCount != 0) return;
    Info.CounterRecorded = 0;
    Info.Counter = -1;
}

void TORQDiskTablePagesCacheManager::IncReadLocks(int32_t SessionID, int32_t TableID) {
    ++Session(SessionID).Table(TableID).ReadLockCount;
}

void TORQDiskTablePagesCacheManager::DecReadLocks(int32_t SessionID, int32_t TableID) {
    TORQDTPCTableInfo& info = Session(SessionID).Table(TableID);
    if (info.ReadLockCount > 0) --info.ReadLockCount;
    EndPeriodIfUnlocked(info);
}

void TORQDiskTablePagesCacheManager::IncPostLocks(int32_t SessionID, int32_t TableID) {
    ++Session(SessionID).Table(TableID).PostLockCount;
}

void TORQDiskTablePagesCacheManager::DecPostLocks(int32_t SessionID, int32_t TableID) {
    TORQDTPCTableInfo& info = Session(SessionID).Table(TableID);
    if (info.PostLockCount > 0) --info.PostLockCount;
    EndPeriodIfUnlocked(info);
}

bool TORQDiskTablePagesCacheManager::IsCounterRecorded(int32_t SessionID, int32_t TableID) {
    return Session(SessionID).Table(TableID).CounterRecorded != 0;
}

void TORQDiskTablePagesCacheManager::RecordCounter(int32_t SessionID, int32_t TableID, int32_t Value) {
    TORQDTPCTableInfo& info = Session(SessionID).Table(TableID);
    if (info.CounterRecorded != 0) return;
    info.CounterRecorded = 1;
    info.Counter = Value;
}

void TORQDiskTablePagesCacheManager::PushTable(int32_t SessionID, int32_t TableID) {
    Session(SessionID).CurrentTables.push_back(TableID);
}

void TORQDiskTablePagesCacheManager::PopTable(int32_t SessionID, int32_t TableID) {
    // A stack: the table left is the one pushed last, so an outer use of the same table
    // stays current.
    auto& tables = Session(SessionID).CurrentTables;
    for (auto it = tables.end(); it != tables.begin();) {
        --it;
        if (*it == TableID) {
            tables.erase(it);
            return;
        }
    }
}

bool TORQDiskTablePagesCacheManager::GetCurrentCounter(int32_t SessionID, int32_t& Counter, int32_t* TableID) {
    TORQDTPCSessionInfo& session = Session(SessionID);
    if (session.CurrentTables.empty()) return false;
    const int32_t table = session.CurrentTables.back();
    const TORQDTPCTableInfo& info = session.Table(table);
    Counter = info.Counter;
    if (TableID != nullptr) *TableID = table;
    return info.ReadLockCount + info.PostLockCount > 0 && info.CounterRecorded != 0;
}

}  // namespace orq
