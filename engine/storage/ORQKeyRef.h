// Key references: what a B-tree knows about its keys. A key reference gives the byte
// sizes of a stored key, a full key and a leaf entry's value, and orders two keys; the
// tree never looks inside a key itself.
//
// - TORQBTreeKeyRef: the abstract base (sizes, the column records, key blocks from the
//   engine memory manager).
// - TORQPageKeyRef: the key of the page-number indexes: one column, a 4-byte signed page
//   number (little-endian), leaf values of 2 bytes.
// - CompareValues: the order of leaf values; a 6-byte value is a record id (Int32 page
//   number, signed, then UInt16 slot, unsigned), any other size compares bytewise.
//
// - TORQRecordKeyRef: keys built from an index definition's columns over a table's
//   memory record buffers. Each column is a null byte (1 = null) and the first bytes of
//   the field's value; a column declared shorter than the field keeps a prefix plus two
//   spare bytes (0 in a built key), and a tie on such a prefix is settled, when asked,
//   by the full values read from the records.
//
// CompareKeys answers the sign of key1 minus key2; value2 is key2's entry value, value1
// the searching side's record id or nil.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orq {

struct TORQKeyColumn {
    int32_t KeyOffset = 0;
    int32_t FullOffset = 0;
    int32_t RecordOffset = 0;
    int32_t FieldNo = 0;
    int32_t StoredLength = 0;
    int32_t FullLength = 0;
    int32_t Spare = 0;
    uint8_t DataType = 0;
    uint8_t Descending = 0;
    uint8_t CaseInsensitive = 0;
};

class TORQBTreeKeyRef {
public:
    TORQBTreeKeyRef() = default;
    virtual ~TORQBTreeKeyRef() = default;
    TORQBTreeKeyRef(const TORQBTreeKeyRef&) = delete;
    TORQBTreeKeyRef& operator=(const TORQBTreeKeyRef&) = delete;

    // Resizes the columns; new column records are zero.
    virtual void SetColumnCount(int32_t Count);
    virtual int CompareKeys(const uint8_t* Key1, const uint8_t* Key2, const uint8_t* Value2, const uint8_t* Value1,
                            int32_t SessionID, bool FullCompare) = 0;
    virtual int CompareFullKeys(const uint8_t* FullKey1, const uint8_t* FullKey2) = 0;

    int32_t ColumnCount() const { return static_cast<int32_t>(Columns.size()); }
    // Zeroed blocks of KeySize / FullKeySize bytes from the engine memory manager.
    uint8_t* AllocKey() const;
    uint8_t* AllocFullKey() const;
    // Frees the block and clears the variable; nil is left alone.
    static void FreeKey(uint8_t*& Key);

    int32_t KeySize = 0;
    int32_t FullKeySize = 0;
    uint16_t ValueSize = 0;
    int32_t ActiveColumnCount = 0;
    std::vector<TORQKeyColumn> Columns;
};

// A zeroed block of engine memory (a key or a value), freed on every path out of its scope.
class TORQKeyBuffer {
public:
    explicit TORQKeyBuffer(int32_t Size);
    ~TORQKeyBuffer();
    TORQKeyBuffer(const TORQKeyBuffer&) = delete;
    TORQKeyBuffer& operator=(const TORQKeyBuffer&) = delete;
    uint8_t* Get() const { return FKey; }

private:
    uint8_t* FKey;
};

int CompareValues(const uint8_t* Value1, const uint8_t* Value2, int32_t Size);

class TORQPageKeyRef : public TORQBTreeKeyRef {
public:
    TORQPageKeyRef();
    // The first four bytes of each key as signed Int32; the rest and the values are ignored.
    int CompareKeys(const uint8_t* Key1, const uint8_t* Key2, const uint8_t* Value2, const uint8_t* Value1,
                    int32_t SessionID, bool FullCompare) override;
    int CompareFullKeys(const uint8_t* FullKey1, const uint8_t* FullKey2) override;
};

class TORQTableData;
class TORQIndexDef;
struct TORQRecordID;

class TORQRecordKeyRef : public TORQBTreeKeyRef {
public:
    TORQRecordKeyRef() = default;

    // Also resizes the partial lengths, all -1.
    void SetColumnCount(int32_t Count) override;
    // 20044/20045 without field manager or field definitions, 20043 for an unknown
    // field, 20295 for a BLOB field.
    void BuildFromIndexDef(const TORQIndexDef& IndexDef, TORQTableData* TableData);
    // Every column, whatever the active count; remembers Record as the current record.
    void BuildKey(const uint8_t* Record, uint8_t* Key);
    void BuildFullKey(const uint8_t* Record, uint8_t* FullKey);
    // Reads the record through the table's record manager (20170 when it cannot).
    void LoadRecordFullKey(const TORQRecordID& RecordID, uint8_t* FullKey, int32_t SessionID);
    // With Partial, the character length of each non-null string value; else -1.
    void SetPartialLengths(const uint8_t* Record, bool Partial);
    int CompareKeys(const uint8_t* Key1, const uint8_t* Key2, const uint8_t* Value2, const uint8_t* Value1,
                    int32_t SessionID, bool FullCompare) override;
    int CompareFullKeys(const uint8_t* FullKey1, const uint8_t* FullKey2) override;

    const uint8_t* CurrentRecord = nullptr;
    TORQTableData* TableData = nullptr;
    std::vector<int32_t> PartialLengths;
};

}  // namespace orq
