// The abstract store of a table's fixed-size records, which every engine implements,
// and the navigation request that reads through it and through the index manager.
//
// Rules kept here:
// - The change stamp grows with every insert, update and delete; record bitmaps and
//   temporary indexes keep a copy and rebuild themselves when it differs.
// - A request's record id is the position going in and the record reached coming out;
//   its result is one of the TORQGetRecordResult values.
#pragma once

#include <cstdint>

#include "engine/storage/ORQCursor.h"

namespace orq {

// Navigation modes.
enum : uint8_t { gmCurrent = 0, gmNext = 1, gmPrior = 2 };
// Results of reading a record.
enum TORQGetRecordResult : uint8_t { grOK = 0, grBOF = 1, grEOF = 2, grError = 3 };

struct TORQGetRecordRequest {
    uint8_t Mode = gmCurrent;
    int32_t IndexID = -1;  // -1: physical order
    TORQRecordID RecordID;
    uint8_t* RecordBuffer = nullptr;
    uint8_t AtBeginning = 0;
    uint8_t AtEnd = 0;
    uint8_t Result = grOK;
};

class TORQBaseRecordManager {
public:
    TORQBaseRecordManager() = default;
    virtual ~TORQBaseRecordManager() = default;
    TORQBaseRecordManager(const TORQBaseRecordManager&) = delete;
    TORQBaseRecordManager& operator=(const TORQBaseRecordManager&) = delete;

    // The seven slots, in order.
    virtual void EmptyRecords(int32_t SessionID) = 0;
    // The write slots answer whether the record was stored, replaced or deleted. A
    // delete may move RecordID to the record that stands in for the deleted one.
    virtual bool InsertRecord(int32_t SessionID, const uint8_t* Record, TORQRecordID& RecordID) = 0;
    virtual bool UpdateRecord(int32_t SessionID, const uint8_t* Record, const TORQRecordID& RecordID) = 0;
    virtual bool DeleteRecord(int32_t SessionID, TORQRecordID& RecordID) = 0;
    // Reads by id (mode 0) or moves next/prior in physical order; sets Request.Result.
    virtual void ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request) = 0;
    // -1, 0 or 1 in record id order.
    virtual int32_t CompareRecordIds(const TORQRecordID& A, const TORQRecordID& B) = 0;
    // Estimated number of records before a position.
    virtual int64_t EstimateRecordsBefore(int32_t SessionID, const TORQRecordID& RecordID) = 0;

    int64_t RecordCount = 0;
    int32_t ChangeStamp = 0;
    int32_t RecordSize = 0;
};

}  // namespace orq
