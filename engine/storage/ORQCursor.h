// The abstract cursor and session: what the storage layer reads and writes of one open
// view of a table (TORQCursor) and of the unit of connection and transaction that owns
// it (TORQBaseSession), with the session's named objects.
//
// Rules kept here:
// - The 46 virtual operations of TORQCursor keep their order; a slot without a body of
//   its own raises 30339 naming the operation and the class. Only RenameField,
//   GetIndexDefs and FreeRecordBuffer have base code.
// - Record buffers are memory records (ORQDefinitions.h): the null bitmap, the fields
//   at their memory offsets up to RecordSize, then the 6-byte record id and a flag
//   byte; a dataset's calculated fields follow at CalcFieldsOffset.
// - Three buffers are kept apart: KeyBuffer is the table data's stepping scratch,
//   OldRecord the stored record read back before an update, and the search key of key
//   searches is SearchKey (with its size and column count).
// - A field number is checked before anything is read or changed.
// - A session owns its named objects; an object with the identity of one it holds
//   replaces that one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExpressionSeam.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQDefinitions.h"
#include "engine/storage/ORQLocalBLOBStream.h"
#include "engine/storage/ORQRecordBitmap.h"
#include "engine/storage/ORQSecurity.h"

namespace classlib {
class Variant;
class TDataSet;
}  // namespace classlib

namespace orq {

class TORQBaseSession;
class TORQTableData;
class TORQDatabaseData;
class TORQScanPlan;

// Frees a cursor's kept scan plan (ORQTableScan.h).
struct TORQScanPlanDelete {
    void operator()(TORQScanPlan* Plan) const noexcept;
};

// A record's position: page number then slot. Ordered by page (signed), then slot
// (unsigned); 6 bytes in a record buffer and on disk.
struct TORQRecordID {
    static constexpr int32_t ByteSize = 6;

    int32_t PageNo = 0;
    uint16_t SlotNo = 0;

    void ToBytes(uint8_t* Dest) const;
    static TORQRecordID FromBytes(const uint8_t* Source);
    friend bool operator==(const TORQRecordID&, const TORQRecordID&) = default;
};
// -1, 0 or 1 in record id order.
int32_t CompareRecordIDs(const TORQRecordID& A, const TORQRecordID& B);

// Raises 30339 "The method '%s' not overrided in class '%s'".
[[noreturn]] void RaiseNotOverridden(std::string_view Method, std::string_view ClassName);

// ---------------------------------------------------------------------------------
// Session

class TORQSessionNamedObject {
public:
    TORQSessionNamedObject() = default;
    explicit TORQSessionNamedObject(int32_t ObjectID) : ObjectID(ObjectID) {}
    virtual ~TORQSessionNamedObject() = default;
    TORQSessionNamedObject(const TORQSessionNamedObject&) = delete;
    TORQSessionNamedObject& operator=(const TORQSessionNamedObject&) = delete;

    int32_t ObjectID = -1;  // -1: identified by Name
    std::string Name;
};

// The last value a session drew from a sequence (an autoincrement field's object id).
class TORQSessionNamedObjectSequenceValue : public TORQSessionNamedObject {
public:
    TORQSessionNamedObjectSequenceValue(int32_t ObjectID, int64_t LastValue)
        : TORQSessionNamedObject(ObjectID), LastValue(LastValue) {}

    int64_t LastValue = 0;
};

class TORQBaseSession {
public:
    TORQBaseSession();
    virtual ~TORQBaseSession();
    TORQBaseSession(const TORQBaseSession&) = delete;
    TORQBaseSession& operator=(const TORQBaseSession&) = delete;

    // Slots implemented by the data-access layer's session; 30339 here.
    virtual bool GetConnected();
    virtual void SetConnected(bool Value);
    virtual bool GetRecoveryMode();
    virtual void SetRecoveryMode(bool Value);
    virtual void CreateDatabase();
    virtual void DropDatabase();
    virtual void SetDatabaseName(const std::string& Value);
    virtual void GetTablesList(std::vector<std::string>& List);
    virtual bool TableExists(const std::string& TableName);
    // Takes ownership of Obj; the object of the same identity (by Name, ignoring case,
    // when Obj's ObjectID is -1, else by ObjectID) is freed first. nil does nothing.
    virtual void SetNamedObject(TORQSessionNamedObject* Obj);
    virtual TORQSessionNamedObject* FindNamedObjectByName(std::string_view Name);
    virtual TORQSessionNamedObject* FindNamedObjectByID(int32_t ID);
    virtual void DeleteNamedObject(int32_t ID);
    virtual void StartTransaction();
    virtual void Commit(bool Flush);
    virtual void Rollback();
    virtual void FlushBuffers();

    int32_t NamedObjectCount() const { return NamedObjects.Count(); }

    std::string DatabaseName;
    std::string DatabaseFileName;
    int32_t SessionID = -1;
    uint8_t InTransaction = 0;
    uint8_t ReadOnly = 0;
    uint8_t Exclusive = 0;
    TORQSortedStringPtrArray<TORQSessionNamedObject> NamedObjects{true};
    int32_t MaxConnections = 0;
    uint8_t MultiUser = 0;
    std::string SessionName;
    TORQDatabaseData* DatabaseData = nullptr;  // not owned
    int32_t PageSize = 0;
    int32_t PagesPerExtent = 0;
    uint8_t NeedsRepair = 0;
    // Asking for the last value of a sequence this session never drew raises instead
    // of answering the table's counter.
    uint8_t StrictSequences = 0;
    // Set when a statement inside the transaction failed and could not undo its
    // changes: COMMIT is refused with it until ROLLBACK clears it.
    std::string UndoFailure;
    // The database password this session opens with (never stored in the file).
    TORQPassword Password;
};

// Marks the engine as started (one process-wide instance); no state of its own.
class TORQSessionComponentManager {};

// ---------------------------------------------------------------------------------
// Cursor

// What a filtered cursor's deletes learned of its accepted records: no accepted record
// lies between Low and High in the cursor's order (without Low, none before High;
// without High, none after Low). Low is an accepted record, or the place of the record
// the last delete removed (LowIsPlace) until the cursor steps back from there to one.
// It holds only while the table is unchanged since (same change stamp and session) and
// the cursor's order and filters are the ones it was taken under; the table data checks
// all of it before trusting it.
struct TORQKnownNeighbour {
    bool Valid = false;
    int32_t SessionID = -2;
    int32_t Stamp = 0;
    int32_t IndexID = -1;
    const void* Filter = nullptr;
    const void* Condition = nullptr;
    const uint8_t* RangeStart = nullptr;
    const uint8_t* RangeEnd = nullptr;
    bool LowFound = false;
    bool LowIsPlace = false;
    TORQRecordID Low;
    bool HighFound = false;
    TORQRecordID High;
    // The stored values of the record the last delete removed when the cursor was left
    // on its place (empty otherwise): an ordered move from that place starts by them,
    // whatever the cursor's buffer holds by then.
    TORQRecordID Place;
    std::vector<uint8_t> PlaceRecord;
};

class TORQCursor {
public:
    TORQCursor() = default;
    virtual ~TORQCursor();
    TORQCursor(const TORQCursor&) = delete;
    TORQCursor& operator=(const TORQCursor&) = delete;

    // The 46 operations, in slot order.
    virtual void CreateTable(const TORQFieldDefs& Fields, const TORQIndexDefs& Indexes,
                             const TORQConstraintDefs& Constraints);
    virtual void DeleteTable();
    virtual void EmptyTable();
    virtual void RenameTable(const std::string& NewName);
    virtual void InitFieldDefs();
    // The definitions create a missing temporary or in-memory table where allowed; nil
    // is allowed.
    virtual void OpenTable(const TORQFieldDefs* Fields, const TORQIndexDefs* Indexes,
                           const TORQConstraintDefs* Constraints);
    virtual void CloseTable();
    virtual void LockTableData();
    virtual void UnlockTableData();
    virtual bool LockTable(uint8_t LockType, int32_t Tries, uint8_t Flag, int32_t Delay);
    virtual bool UnlockTable(uint8_t LockType, uint8_t Flag);
    // 30345 when OldName is not a field, 30346 when NewName already is one.
    virtual void RenameField(const std::string& OldName, const std::string& NewName);
    virtual TORQIndexDefs& GetIndexDefs();
    virtual void AddIndex(const TORQIndexDef& IndexDef);
    virtual void DeleteIndex(const std::string& IndexName);
    virtual void DeleteAllIndexes();
    virtual std::string CreateTemporaryIndex(const std::vector<std::string>& FieldNames,
                                             const std::vector<std::string>& Orders,
                                             const std::vector<std::string>& Cases);
    virtual bool HasIndexForFields(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                                   const std::vector<std::string>& Cases);
    virtual void CopyFieldValue(int32_t FieldNo, bool Projected, TORQCursor& Dest, int32_t DestFieldNo);
    virtual void InitRecord(uint8_t* Buffer, bool ApplyDefaults);
    // Releases a buffer of AllocRecordBuffer and sets Buffer to nil; nil is left alone.
    virtual void FreeRecordBuffer(uint8_t*& Buffer);
    virtual int64_t GetRecordCount();
    // Mode 0 current, 1 next, 2 prior. 0 a record was read into CurrentRecord (and its
    // id into CurrentRecordID), 1 beginning passed, 2 end passed, 3 none or rejected.
    virtual uint8_t GetRecord(uint8_t Mode);
    virtual void SetRecNo(int64_t RecNo);
    virtual int64_t GetRecNo();
    virtual void First();
    virtual void Last();
    virtual void BeginInsert();
    virtual void Edit();
    virtual void CancelRecord(bool WasInsert);
    virtual void PostRecord(bool Inserting);
    virtual void DeleteRecord();
    virtual void SetTemporaryIndex(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Orders,
                                   const std::vector<std::string>& Cases);
    virtual void SetFilter(const std::string& Text, bool CaseInsensitive, bool PartialCompare);
    virtual void CancelFilter();
    // Options: bit 0 case-insensitive, bit 1 partial key.
    virtual bool Locate(const std::vector<std::string>& FieldNames, const classlib::Variant& Values, uint8_t Options);
    virtual bool GotoBookmark(const TORQRecordID& Position);
    virtual bool FindKey(const std::string& KeyText, bool Nearest, const classlib::Variant& KeyValues);
    // Mode 0 write, 1 read, 2 both; FieldNo counts the base fields. The stream stays
    // the cursor's (its open BLOB list); nil when the BLOB cannot be opened.
    virtual TORQLocalBLOBStream* OpenBlob(bool IsInsert, bool IsEdit, bool IsBrowse, uint8_t Mode, int32_t FieldNo);
    virtual void CloseBlob(int32_t FieldNo);
    // Closes the one stream OpenBlob handed out (storing it as CloseBlob does) and leaves
    // the field's other streams open; a stream no longer listed is ignored.
    virtual void CloseBlobStream(TORQLocalBLOBStream& Stream);
    // The whole value of a BLOB field of the current record, as a read-only stream of
    // OpenBlob would read it, with nothing left open. False when this cursor has no such
    // road (the caller opens a stream); otherwise Opened tells whether the BLOB could be
    // opened at all (OpenBlob's nil), Bytes being empty when not.
    virtual bool ReadBlobValue(bool IsInsert, bool IsEdit, bool IsBrowse, int32_t FieldNo, std::string& Bytes,
                               bool& Opened);
    virtual void FreeBlobs(bool StoreWritten);
    virtual int64_t GetLastAutoincValue(int32_t FieldNo);
    virtual void BeginUpdateBatch();
    virtual void CommitBatch();
    virtual void RollbackBatch();
    virtual bool CheckConstraints(bool Inserting);

    // The class name used in 30339.
    virtual std::string_view ClassName() const { return "TORQCursor"; }

    // IndexName := Name; IndexID := that index's ObjectID in IndexDefs (ignoring
    // case), -1 when none. The record bitmap is reset.
    void SetIndexName(const std::string& Name);

    // Field access. GetFieldData/SetFieldData count in ProjectedFieldDefs (10005 /
    // 10006) and convert to and from the dataset's value forms; GetFieldData answers
    // false for a Null field.
    bool GetFieldData(int32_t FieldNo, void* Buffer, const uint8_t* Record) const;
    void SetFieldData(int32_t FieldNo, const void* Buffer, uint8_t* Record) const;
    // With UseBaseFields FieldNo counts in FieldDefs (20191), else in
    // ProjectedFieldDefs (10317) mapped through BaseFieldNo. Reads CurrentRecord.
    void GetFieldValue(TORQVariant& Value, int32_t FieldNo, bool UseBaseFields) const;
    // Record nil means CurrentRecord. Range errors 20192 (base) and 20193 (projected).
    // A Null Value sets the null bit only; otherwise Value is converted in place to the
    // field's base type and copied (20056 when it does not fit MemorySize).
    void SetFieldValue(TORQVariant& Value, int32_t FieldNo, uint8_t* Record = nullptr, bool UseBaseFields = false) const;
    // Zeroes string bytes no value uses, so equal values give equal bytes.
    void ClearUnusedFieldBytes(uint8_t* Record) const;
    // Whether field FieldNo (base numbering) of Record is Null.
    bool IsFieldNull(const uint8_t* Record, int32_t FieldNo) const;

    // Zeroed blocks of the engine memory manager: full buffer size / RecordIDBufferSize.
    uint8_t* AllocRecordBuffer() const;
    uint8_t* AllocRecordIDBuffer() const;
    // Zeroes RecordIDBufferSize bytes, then InitRecord without defaults.
    void ClearRecordBuffer(uint8_t* Buffer);

    // An 8-byte block: Bof, Eof, the record id's page (i32) and slot (i16).
    uint8_t* SavePosition() const;
    void RestorePosition(const uint8_t* Block);
    void FreePosition(uint8_t*& Block) const;

    // Forgets the record bitmap's contents so the filtered set is rebuilt on the next
    // read (and what the last delete learned of its neighbours and the kept scan plan).
    virtual void ResetRecordBitmap();
    // A new, empty bitmap over TableData (10425 without one) replaces any held.
    void CreateRecordBitmap();
    bool HasActiveRecordBitmap() const { return RecordBitmap != nullptr; }

    // FieldNames and Aliases of equal length (10321), not empty (10322), each name a
    // field (10323); a repeated alias takes _1, _2, ... .
    void SetProjection(const std::vector<std::string>& FieldNames, const std::vector<std::string>& Aliases);

    bool HasIndex() const { return IndexID != -1; }
    bool HasFilter() const { return FilterExpression != nullptr || bool(OnFilterRecord) || ConditionExpression != nullptr; }
    bool HasRange() const { return RangeStartKey != nullptr || RangeEndKey != nullptr; }
    bool HasLinkedKey() const { return LinkedKeyFieldCount > 0; }
    bool IsFiltered() const { return HasFilter() || HasRange() || HasLinkedKey(); }

    // The keys are the caller's buffers, kept until CancelRange or the next SetRange.
    void SetRange(uint8_t* StartKey, uint8_t* EndKey, bool StartExclusive, bool EndExclusive, int32_t StartFieldCount,
                  int32_t EndFieldCount);
    void CancelRange();
    // Expression is the caller's; bound to this cursor when present. The record bitmap
    // is reset.
    void SetFilterExpression(TORQBaseExpression* Expression, TORQAO* Operator = nullptr,
                             TORQCursor* SecondCursor = nullptr);

    // The reset to the beginning: Bof set, Eof cleared.
    void ResetToBeginning() {
        Bof = 1;
        Eof = 0;
    }
    // The session's table locks of the SQL layer (kinds 3, in a transaction, and 4,
    // post) through LockTable/UnlockTable, whose concrete cursors answer true at once
    // for tables not on disk; true without effect when the cursor has no table data.
    bool LockTableForSession(uint8_t LockType, int32_t Tries, int32_t Delay);
    bool UnlockTableForSession(uint8_t LockType);
    bool SessionInTransaction() const { return Session != nullptr && Session->InTransaction != 0; }

    // Fields, in the order the storage and data-access layers use them.
    uint8_t Projected = 0;
    std::string TableName;
    std::string IndexName;
    int32_t IndexID = -1;
    uint8_t ReadOnly = 0;
    uint8_t Exclusive = 0;
    uint8_t InMemory = 0;
    uint8_t TemporaryTable = 0;
    TORQBaseSession* Session = nullptr;  // not owned
    uint8_t Active = 0;
    uint8_t* CurrentRecord = nullptr;  // the caller's buffer
    uint8_t* OldRecord = nullptr;      // the caller's buffer
    uint8_t* KeyBuffer = nullptr;      // the table data's while it steps
    uint8_t* SearchKey = nullptr;      // the caller's buffer
    int32_t SearchKeySize = 0;
    int32_t SearchKeyFieldCount = 0;
    TORQConstraintDefs ConstraintDefs;
    TORQFieldDefs FieldDefs;
    TORQFieldDefs ProjectedFieldDefs;
    TORQIndexDefs IndexDefs;
    std::vector<std::unique_ptr<TORQLocalBLOBStream>> BlobStreams;
    std::unique_ptr<TORQRecordBitmap> RecordBitmap;  // the filtered record set, owned
    TORQIndexPositionCache IndexPositionCache;
    TORQKnownNeighbour KnownNeighbour;  // kept by the table data's deletes
    // The filtered steps' plan, kept by the table scan while what it was chosen under holds.
    std::unique_ptr<TORQScanPlan, TORQScanPlanDelete> ScanPlan;
    uint8_t UpdateBatch = 0;  // a write batch is pending
    uint8_t TableOption = 0;
    int32_t ResultCode = 0;
    std::string ResultText;
    uint8_t DesignTime = 0;
    // Sizes: R = RecordSize; RecordIDBufferSize = R + 6; RecordBufferSize = R + 7
    // (also CalcFieldsOffset); FullBufferSize adds the calculated fields.
    int32_t FullBufferSize = 0;
    int32_t RecordBufferSize = 0;
    int32_t RecordIDBufferSize = 0;
    int32_t RecordSize = 0;
    int32_t FirstFieldOffset = 0;
    int32_t CalcFieldsOffset = 0;
    int32_t CalcFieldsSize = 0;
    std::unique_ptr<TORQBaseExpression> FilterExpression;
    TORQBaseExpression* ConditionExpression = nullptr;  // the caller's
    uint8_t* RangeStartKey = nullptr;
    uint8_t* RangeEndKey = nullptr;
    uint8_t RangeStartExclusive = 0;
    uint8_t RangeEndExclusive = 0;
    int32_t RangeStartFieldCount = 0;
    int32_t RangeEndFieldCount = 0;
    int32_t LinkedKeyFieldCount = 0;
    TORQRecordID CurrentRecordID;
    uint8_t Bof = 0;
    uint8_t Eof = 0;
    // Called per candidate record; the closure carries the dataset it is called for.
    std::function<bool(const uint8_t* Record)> OnFilterRecord;
    classlib::TDataSet* DataSet = nullptr;  // the owning dataset, not owned
    TORQTableData* TableData = nullptr;     // while open
    TORQDatabaseData* DatabaseData = nullptr;

protected:
    // Computes the sizes from FieldDefs (after CalculateOffsets).
    void CalculateRecordSizes();
    // The base definition of projected field FieldNo (already range-checked).
    const TORQFieldDef& BaseFieldOf(int32_t FieldNo, bool UseBaseFields) const;
};

}  // namespace orq
