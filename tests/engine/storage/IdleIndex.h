// An index that answers every question with "nothing": the base for test indexes that
// need one behaviour only (a destructor to count, a fan-out to number key positions by).
#pragma once

#include "engine/storage/ORQIndexManager.h"

namespace orq::test {

struct TIdleIndex : TORQIndex {
    using TORQIndex::TORQIndex;
    void DropIndex(int32_t) override {}
    void EmptyIndex(int32_t) override {}
    void RebuildIndex(TORQCursor*) override {}
    void GetRecord(int32_t, TORQGetRecordRequest&, int32_t, TORQIndexPositionCache*) override {}
    void GetNearestRecord(int32_t, TORQGetRecordRequest&, int32_t, TORQIndexPositionCache*) override {}
    TORQKeyPath* CreateKeyPath() override { return nullptr; }
    void FreeKeyPath(TORQKeyPath*&) override {}
    bool FindRecordPath(int32_t, const TORQRecordID&, TORQKeyPath&, const uint8_t*) override { return false; }
    int32_t ComparePositions(const TORQKeyPath&, const TORQKeyPath&) override { return 0; }
    int64_t GetRecNo(int32_t, const TORQRecordID&, const uint8_t*) override { return -1; }
    void GetRecordIdByRecNo(int32_t, TORQRecordID&, int64_t) override {}
    void RemoveDuplicates(int32_t, TORQRecordBitmap&, int32_t) override {}
    TORQIndexScanPosition* CreateScanPosition() override { return nullptr; }
    void FreeScanPosition(TORQIndexScanPosition*&) override {}
    bool ScanNext(int32_t, bool, TORQIndexScanPosition&, TORQRecordID&, uint8_t*, const TORQScanSearchCondition*,
                  const TORQScanSearchCondition*, bool) override {
        return false;
    }
    int32_t CompareRecordKeys(const uint8_t*, const uint8_t*, int32_t) override { return 0; }
    int32_t CompareConditions(const TORQScanSearchCondition&, const TORQScanSearchCondition&) override { return 0; }
    int64_t EstimateRangeCount(int32_t, const TORQScanSearchCondition*, const TORQScanSearchCondition*,
                               int64_t) override {
        return 0;
    }
    bool IsKeyFree(int32_t, const uint8_t*) override { return true; }
    bool CanUpdateKey(int32_t, const uint8_t*, const uint8_t*) override { return true; }
    void InsertKey(TORQCursor*) override {}
    void DeleteKey(TORQCursor*) override {}
    void UpdateKey(TORQCursor*, bool) override {}
    int32_t MaxEntriesPerPage() override { return EntriesPerPage; }
    void GetRecordIdAtPath(int32_t, const TORQKeyPath&, TORQRecordID&) override {}
    int32_t EntriesPerPage = 1;
};

}  // namespace orq::test
