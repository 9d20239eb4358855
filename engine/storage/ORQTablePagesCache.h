// TORQDiskTablePagesCacheManager: per session and table, the read and post locks held and
// the table change counter recorded for the current lock period, and per session the
// stack of tables it is working in. The disk page manager trusts a cached page without
// looking at the disk when the page was validated for the session under the same table
// and the same recorded counter.
//
// Rules kept here:
// - A lock period begins with the first read or post lock counted and ends when both
//   counts are back to 0; its end forgets the recorded counter. Counts never go below 0.
// - The first counter recorded in a period stays until the period ends.
// - The current table is the last one pushed; PopTable removes the last occurrence, so a
//   table pushed twice and popped once stays current.
// - A recorded counter is only meaningful with its table id, and only while the table's
//   writers keep it monotonic (emptying a table must advance it, never reset it): pages
//   are stamped with both.
// - Session and table infos are never removed; the manager has no lock of its own and is
//   used under the page cache's critical section.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace orq {

class TORQDTPCTableInfo {
public:
    explicit TORQDTPCTableInfo(int32_t ID) : TableID(ID) {}
    int32_t TableID;
    int32_t ReadLockCount = 0;
    int32_t PostLockCount = 0;
    uint8_t CounterRecorded = 0;
    int32_t Counter = -1;
};

class TORQDTPCSessionInfo {
public:
    // The info of TableID, appended at its first use.
    TORQDTPCTableInfo& Table(int32_t TableID);
    std::vector<std::unique_ptr<TORQDTPCTableInfo>> TableInfos;
    std::vector<int32_t> CurrentTables;
};

class TORQDiskTablePagesCacheManager {
public:
    void IncReadLocks(int32_t SessionID, int32_t TableID);
    void DecReadLocks(int32_t SessionID, int32_t TableID);
    void IncPostLocks(int32_t SessionID, int32_t TableID);
    void DecPostLocks(int32_t SessionID, int32_t TableID);
    bool IsCounterRecorded(int32_t SessionID, int32_t TableID);
    void RecordCounter(int32_t SessionID, int32_t TableID, int32_t Value);
    void PushTable(int32_t SessionID, int32_t TableID);
    void PopTable(int32_t SessionID, int32_t TableID);
    // False when the session works in no table, or its current table holds no lock or has
    // no recorded counter. Counter (and TableID when asked) are those of the current table
    // whenever there is one.
    bool GetCurrentCounter(int32_t SessionID, int32_t& Counter, int32_t* TableID = nullptr);

private:
    // 20186 for a session number below -2.
    TORQDTPCSessionInfo& Session(int32_t SessionID);
    static void EndPeriodIfUnlocked(TORQDTPCTableInfo& Info);

    std::vector<std::unique_ptr<TORQDTPCSessionInfo>> FSessionInfos;  // by session number + 2
};

}  // namespace orq
