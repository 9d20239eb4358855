// A table's field manager: the field definitions and the record layout they give, the
// defaults and autoincrement counters applied to new records, the two record forms, and
// the routines that move one field between a record buffer and a caller.
//
// Record buffer (memory form): the null bitmap of ceil(fields / 8) bytes (bit i of the
// bitmap, bit 0 lowest in byte 0, set = field i is Null), then each field's MemorySize
// bytes at its MemoryOffset. The stored form has the same bitmap and each field's
// DataSize bytes at its DataOffset (a BLOB reference is 10 bytes in memory, 6 stored).
//
// Rules kept here:
// - One counter per field, 0 for fields that are not autoincrement fields. A counter
//   never passes the Int64 limit: the step that would raises 20160 like a maximum.
// - Autoincrement state (an Int32 count, then count Int64 values, little-endian) is
//   read only when the count fits the field count and the bytes left; a refused state
//   leaves the counters as they were.
// - Two records compare equal only when their null bitmaps and every field's full
//   MemorySize bytes are equal (a zero byte inside a value ends nothing).
#pragma once

#include <cstdint>
#include <vector>

#include "engine/storage/ORQDefinitions.h"

namespace orq {

class TORQBaseSession;
class TORQStream;
class TORQTableData;

// Copies field FieldNo of Record into Buffer in the dataset layer's value form; false
// when the field is Null. A nil Buffer only tests for Null. 10000 for a field number
// outside FieldDefs; BLOB fields are never copied (true).
bool ReadFieldData(int32_t FieldNo, const TORQFieldDefs& FieldDefs, void* Buffer, const uint8_t* Record);
// The reverse of ReadFieldData (10004 for a bad field number). A nil Buffer, or an
// empty string, makes the field Null and writes nothing else.
void WriteFieldData(int32_t FieldNo, const TORQFieldDefs& FieldDefs, const void* Buffer, uint8_t* Record);
// N bytes of A and B equal; nil A raises 10122, nil B 10123.
bool BuffersEqual(const void* A, const void* B, int64_t N);

class TORQBaseFieldManager {
public:
    explicit TORQBaseFieldManager(TORQTableData* TableData);
    virtual ~TORQBaseFieldManager();
    TORQBaseFieldManager(const TORQBaseFieldManager&) = delete;
    TORQBaseFieldManager& operator=(const TORQBaseFieldManager&) = delete;

    // The next counter value of field FieldNo (30402 no such field, 30403 no counter;
    // 20160 past the maximum without cycling, or past the Int64 limit).
    virtual int64_t GetNextAutoincValue(int32_t FieldNo);
    // Writes every non-BLOB field's default (its expression's value when it has one).
    virtual void ApplyDefaults(uint8_t* Record);
    // A Null autoincrement field gets NextAutoincForSession; a value given above the
    // counter moves the counter and becomes the session's last value.
    virtual void ApplyAutoincValues(TORQBaseSession* Session, uint8_t* Record);
    virtual int64_t NextAutoincForSession(TORQBaseSession* Session, int32_t FieldNo);
    // The session's last value for the field; without one 30012 for a strict session,
    // else the counter (0 for other fields).
    virtual int64_t GetLastAutoincValue(TORQBaseSession* Session, int32_t FieldNo);

    // Definitions, then RebuildLayout and ResetAutoincValues.
    void LoadFromStream(TORQStream& Stream);
    void SaveToStream(TORQStream& Stream) const;
    // BufferSize is the size of the whole buffer; 20164 for a count that is negative,
    // above the field count or above the bytes left.
    void LoadAutoincValues(const uint8_t* Buffer, int32_t& Position, int32_t BufferSize);
    // Needs AutoincValuesSize() bytes at Position.
    void SaveAutoincValues(uint8_t* Buffer, int32_t& Position) const;
    int32_t AutoincValuesSize() const { return 4 + 8 * static_cast<int32_t>(AutoincValues.size()); }
    void RebuildLayout();
    void ResetAutoincValues();

    // Whether any field holds BLOB values (the engines keep a BLOB store only then).
    bool HasBlobFields() const;
    // Field FieldNo's definition; 10000 outside the fields.
    const TORQFieldDef& FieldAt(int32_t FieldNo) const;

    void DiskToMemoryRecord(const uint8_t* Stored, uint8_t* Memory) const;
    void MemoryToDiskRecord(const uint8_t* Memory, uint8_t* Stored) const;
    bool RecordBuffersEqual(const uint8_t* A, const uint8_t* B) const;
    // True when the first BLOB field has a block size above 0, 10421 when it has 0;
    // false without BLOB fields.
    bool CheckBlobBlockSizes() const;

    TORQFieldDefs FieldDefs;
    TORQTableData* TableData;  // the owner
    std::vector<int64_t> AutoincValues;

protected:
    void CheckAutoincField(int32_t FieldNo) const;
};

}  // namespace orq
