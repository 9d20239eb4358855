// TORQDataSet: the engine's dataset, from which the table and query components derive.
// It owns one cursor and maps the framework's record-buffer protocol onto it: the record
// buffer layout, bookmarks, field data with the date and time conversions, calculated
// fields, navigation, editing with the cursor's result codes, filters, Locate and the
// binding to a database through its session.
//
// Record buffer (R = the cursor's RecordSize):
//   0 .. R-1   the engine record (null bitmap, then the fields)
//   R          Int32 page of the record's position, R + 4 its Int16 slot
//   R + 6      bookmark flag: 0 current, 1 beginning, 2 end, 3 inserted
//   R + 7 ...  the calculated fields, each a has-value byte then its value; a wide string
//              is a 4-byte index into the wide-string cell table
// A fresh record has position -1/-1 and flag 3. A bookmark is the 6-byte position.
//
// Rules kept here:
// - Before every record call the cursor's CurrentRecord points at the buffer concerned
//   and its position is that buffer's; calls that only borrow the cursor (OpenBlob,
//   GetRecNo, BookmarkValid) put the cursor's buffer and position back.
// - Record-level results raise through RaiseEngineResult; the state stays as it was, so
//   a failed post can be retried or cancelled.
// - The database is attached while any database-use flag is set; a flag is cleared only
//   by the call that set it, so a nested use never releases the database under an
//   outer one.
// - A wide-string cell belongs to the buffer it was made for: set again it is reused,
//   cleared or freed with its buffer it goes back to the table.
// - A missing cursor raises "Nil pointer occured" with a code of its own per operation.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classlib/DB.h"
#include "engine/access/ORQAdvDefs.h"
#include "engine/access/ORQBLOBStream.h"
#include "engine/access/ORQSessions.h"
#include "engine/storage/ORQCursor.h"

namespace orq {

class TORQDatabase;
class TORQDataSet;
class TORQLocalBLOBStream;
class TORQBaseExpression;

// Codes of "Nil pointer occured" by operation (operations that answer a default without a
// cursor, such as IsCursorOpen, GetCurrentRecord or BookmarkValid, raise nothing).
namespace nilcode {
enum : int32_t {
    GetRecordCount = 10034, GetRecNo = 10035, SetRecNo = 10036, FindRecord = 10037, InitRecord = 10038,
    InternalInsert = 10039, InternalRefresh = 10040, GetRecord = 10041, InternalFirst = 10042,
    InternalLast = 10043, CompareBookmarks = 10044, InternalGotoBookmark = 10045, InternalSetToRecord = 10046,
    AllocRecordBuffer = 10047, InternalPost = 10048, FreeRecordBuffer = 10049, GetBookmarkData = 10050,
    GetBookmarkFlag = 10051, GetRecordSize = 10052, InternalInitRecord = 10053, SetBookmarkFlag = 10054,
    SetBookmarkData = 10055, SetFieldData = 10056, GetFieldData = 10057, ClearCalcFields = 10058,
    SwitchToIndex = 10059, BuildIndexFieldList = 10060, ResetRange = 10061, InternalEdit = 10065,
    InternalCancel = 10066, InternalDelete = 10070, InternalAddRecord = 10078, Blob = 10108, SetFilterText = 10266, SetFiltered = 10267, ApplyFilter = 10269,
    CancelFilter = 10270, LocateRecord = 10271, SetOnFilterRecord = 10275, SetFilterExpression = 10300,
    GetFieldValue = 10315, SetFieldValue = 10316, SetProjection = 10320, HasRecords = 10326,
    CopyFieldValue = 10500, CopyFieldValueDest = 10503, CopyFieldValueDestCursor = 10504
};
}  // namespace nilcode

// How many wide-string cells are in use process-wide (the cell table's live count).
int32_t WideStringCellCount();

// The options of a table's export as an SQL script.
class TORQExportToSqlOptions : public classlib::TPersistent {
public:
    std::string ClassName() const override { return "TORQExportToSqlOptions"; }
    void Assign(const classlib::TPersistent* Source) override;

    bool Structure = true;
    bool AddDropTable = true;
    int32_t BlobSettings = 0;
    bool Data = false;
    bool FieldNamesInInserts = false;
};

using TORQTableProgressEvent = std::function<void(classlib::TDataSet* DataSet, int32_t PercentDone, bool& Continue)>;

using TORQUpdateRecordEvent =
    std::function<void(classlib::TDataSet* DataSet, classlib::TUpdateKind UpdateKind, classlib::TUpdateAction& Action)>;

class TORQDataSet : public classlib::TDataSet, public TORQSessionDataSet {
public:
    // Database-use flags.
    enum : int32_t { dfCursor = 0, dfProvider = 10 };
    // The six key buffers.
    enum TKeyIndex : int32_t { kiLookup, kiRangeStart, kiRangeEnd, kiCurRangeStart, kiCurRangeEnd, kiSave };
    struct TKeyBuffer {
        uint8_t* Record = nullptr;  // a full record buffer, position included
        bool Modified = false;
        bool Exclusive = false;
        int32_t FieldCount = 0;
    };

    explicit TORQDataSet(classlib::TComponent* AOwner);
    // Closes without raising.
    ~TORQDataSet() override;
    std::string ClassName() const override { return "TORQDataSet"; }

    // ---- published properties ----
    std::string CurrentVersion() const { return "5.18 "; }
    const std::string& DatabaseName() const { return FDatabaseName; }
    void SetDatabaseName(const std::string& Value);
    std::string GetSessionName() const override { return FSessionName; }
    void SetSessionName(const std::string& Value) override;
    const std::string& SessionName() const { return FSessionName; }
    bool InMemory() const { return FInMemory; }
    void SetInMemory(bool Value);
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value) { FReadOnly = Value; }
    TORQUpdateRecordEvent OnUpdateRecord;

    // Copies every record of Source into Dest, fields matched by position (Source with as
    // many fields as definitions) or name; with MapByFieldIds a source field goes to the
    // Dest field at the position of the source's RestructureFieldDefs entry of its field
    // id. Failures are logged in Log; without IgnoreErrors they pass on. Progress runs
    // from ProgressMin to ProgressMax; OnProgress can stop the copy. Source's bookmark and
    // controls are restored on every path. NameTable names the table in the lines.
    // Batched (a bulk copy that stops at its first failure): Dest's posts go into its
    // cursor's update batch, committed every 1,000 records and at the end, and rolled
    // back with the rest on a failure; otherwise each record commits alone.
    static bool CopyTableData(classlib::TDataSet* NameTable, classlib::TDataSet& Source, classlib::TDataSet& Dest,
                              int32_t ProgressMax, int32_t ProgressMin, const TORQTableProgressEvent& OnProgress,
                              bool MapByFieldIds, bool IgnoreErrors, bool& Continue, std::string& Log,
                              bool Batched = false);
    // CopyTableData's work at the storage level (TORQTableCopy: record and BLOB pages
    // filled in turn, keys placed as each record is) when it can give the same table:
    // both datasets engine tables over single-user disk tables, Source unfiltered, no
    // record failure to skip (IgnoreErrors off), and every field pair copied as stored.
    // Otherwise CopyTableData itself. The result, Log lines, progress and Continue as
    // CopyTableData's; progress comes at least every 100 ms of work.
    static bool CopyTableRecords(classlib::TDataSet* NameTable, classlib::TDataSet& Source, classlib::TDataSet& Dest,
                                 int32_t ProgressMax, int32_t ProgressMin, const TORQTableProgressEvent& OnProgress,
                                 bool MapByFieldIds, bool IgnoreErrors, bool& Continue, std::string& Log,
                                 bool Batched = false);
    // Which Source field goes to which Dest field, per field definition of Source (From
    // nil: Source has no field object for it; To nil: Dest has no field for it).
    struct TCopyFieldPair {
        std::string DefName;
        classlib::TField* From = nullptr;
        classlib::TField* To = nullptr;
    };
    static std::vector<TCopyFieldPair> CopyFieldPairs(classlib::TDataSet& Source, classlib::TDataSet& Dest,
                                                      bool MapByFieldIds);

    // ---- the engine side ----
    TORQCursor* Cursor() const { return FCursor; }
    TORQDatabase* Database() const { return FDatabase; }
    uint16_t DatabaseFlags() const { return FDatabaseFlags; }
    // A cursor made beforehand: owned from now on, or, Shared, another object's.
    void SetCursor(TORQCursor* Cursor, bool Shared);
    // Closes the dataset; the query component closes its statement too.
    virtual void CloseDataSet();
    // Sets or clears one of the 16 database-use flags; true when this call changed it.
    // The first flag set attaches the database, the last one cleared releases it.
    virtual bool SetDatabaseFlag(int32_t Flag, bool On);
    // The cursor of the table or query; nil here.
    virtual TORQCursor* CreateCursor();
    // Frees the cursor unless it is shared; the projection flag is cleared first.
    virtual void DestroyCursor();
    virtual void AfterCursorOpened();
    virtual TORQDatabase* OpenDatabase();
    virtual void CloseDatabase(TORQDatabase* Database);
    // The buffer the current state works on.
    virtual uint8_t* GetActiveRecordBuffer();

    // ---- index helpers ----
    virtual void SwitchToIndex(const std::string& IndexName);
    virtual void BuildIndexFieldList();
    virtual bool ResetRange();
    const std::vector<int32_t>& IndexFieldNumbers() const { return FIndexFields; }
    int32_t IndexFieldsSize() const { return FIndexFieldsSize; }
    TKeyBuffer& KeyBuffer(TKeyIndex Index) { return FKeyBuffers[static_cast<size_t>(Index)]; }
    // The key buffer dsSetKey edits (nil outside it).
    TKeyBuffer* CurrentKeyBuffer() const { return FCurrentKey; }
    void SetCurrentKeyBuffer(TKeyBuffer* Buffer) { FCurrentKey = Buffer; }

    // ---- definitions ----
    TORQFieldDefs& EngineFieldDefs() { return FEngineFieldDefs; }
    TORQIndexDefs& EngineIndexDefs() { return FEngineIndexDefs; }
    TORQConstraintDefs& EngineConstraintDefs() { return FEngineConstraintDefs; }
    TORQAdvFieldDefs& AdvFieldDefs() { return FAdvFieldDefs; }
    TORQAdvIndexDefs& AdvIndexDefs() { return FAdvIndexDefs; }
    TORQAdvFieldDefs& RestructureFieldDefs() { return FRestructureFieldDefs; }
    TORQAdvIndexDefs& RestructureIndexDefs() { return FRestructureIndexDefs; }
    classlib::TIndexDefs& IndexDefs() { return FIndexDefs; }

    // ---- what the SQL layer and the table component use ----
    // FieldNo is 0-based; Projected counts in the cursor's projected fields.
    void GetFieldValue(TORQVariant& Value, int32_t FieldNo, bool Projected);
    void SetFieldValue(TORQVariant& Value, int32_t FieldNo, bool Projected);
    void CopyFieldValue(int32_t FieldNo, bool Projected, TORQDataSet* Dest, int32_t DestFieldNo);
    void SetFilterExpression(TORQBaseExpression* Expression, TORQAO* Operator = nullptr,
                             TORQCursor* SecondCursor = nullptr);
    // Kept across closing and opening the dataset. When the open fails the projection is
    // dropped, the dataset opened again without it, and the failure re-raised.
    void SetProjection(const std::vector<std::string>& Fields, const std::vector<std::string>& Aliases);
    bool HasProjection() const { return !FProjectionFields.empty(); }
    bool HasRecords();
    // How many wide-string cells Buffer holds.
    int32_t WideStringCells(const uint8_t* Buffer) const;

    // ---- BLOBs ----
    // The cursor's local stream over Field of the active buffer; nil when it cannot be
    // opened. 10111 for a writing mode outside dsEdit and dsInsert.
    TORQLocalBLOBStream* OpenBlob(classlib::TBlobField* Field, classlib::TBlobStreamMode Mode);
    std::unique_ptr<classlib::TStream> CreateBlobStream(classlib::TField* Field, classlib::TBlobStreamMode Mode) override;
    // Closes every stream the cursor has open on Field.
    void CloseBlob(classlib::TField* Field) override;
    // Closes one stream OpenBlob handed out, the field's others staying open.
    void CloseBlobStream(classlib::TField* Field, TORQLocalBLOBStream& Stream);
    // Field's whole value in the active buffer, as a stream OpenBlob opens for reading
    // would read it, with nothing left open; false when the cursor has no such road.
    // Opened false (Bytes empty) where OpenBlob would answer nil.
    bool ReadBlobValue(classlib::TBlobField* Field, std::string& Bytes, bool& Opened);
    // AsString of a BLOB field without a stream: CreateBlobStream's checks and its one
    // refresh of a BLOB that cannot be opened while browsing.
    bool GetBlobValue(classlib::TField* Field, std::string& Value) override;

    // ---- overrides of the framework's public protocol ----
    bool PSIsSQLSupported() override { return true; }
    void PSReset() override;
    bool PSUpdateRecord(classlib::TUpdateKind UpdateKind, classlib::TDataSet* Delta) override;
    void PSStartTransaction() override;
    void PSEndTransaction(bool Commit) override;
    // Runs ASQL through a query of this dataset's database; the rows affected.
    int32_t PSExecuteStatement(const std::string& ASQL, classlib::TParams* AParams) override;
    std::string PSGetQuoteChar() override { return "`"; }
    bool PSInTransaction() override;
    bool PSIsSQLBased() override { return true; }
    int32_t GetRecordCount() override;
    int32_t GetRecNo() override;
    void SetRecNo(int32_t Value) override;
    bool FindRecord(bool Restart, bool GoForward) override;
    bool Locate(const std::string& KeyFields, const classlib::Variant& KeyValues,
                classlib::TLocateOptions Options) override;
    classlib::Variant Lookup(const std::string& KeyFields, const classlib::Variant& KeyValues,
                             const std::string& ResultFields) override;
    bool BookmarkValid(const classlib::TBookmark& Bookmark) override;
    int32_t CompareBookmarks(const classlib::TBookmark& Bookmark1, const classlib::TBookmark& Bookmark2) override;
    bool GetCurrentRecord(classlib::TRecordBuffer Buffer) override;
    void SetFiltered(bool Value) override;
    void SetFilterText(const std::string& Value) override;
    void SetFilterOptions(classlib::TFilterOptions Value) override;
    void SetOnFilterRecord(const classlib::TFilterRecordEvent& Value) override;

    // Part of the framework's protection that engine callers need.
    void ApplyFilter();
    void CancelFilter();
    bool LocateRecord(const std::string& KeyFields, const classlib::Variant& KeyValues,
                      classlib::TLocateOptions Options);

protected:
    // ---- record buffers and bookmarks ----
    classlib::TRecordBuffer AllocRecordBuffer() override;
    void FreeRecordBuffer(classlib::TRecordBuffer& Buffer) override;
    classlib::TGetResult GetRecord(classlib::TRecordBuffer Buffer, classlib::TGetMode GetMode, bool DoCheck) override;
    int32_t GetRecordSize() override;
    void InitRecord(classlib::TRecordBuffer Buffer) override;
    void InternalInitRecord(classlib::TRecordBuffer Buffer) override;
    void GetBookmarkData(const uint8_t* Buffer, void* Data) override;
    void SetBookmarkData(classlib::TRecordBuffer Buffer, const void* Data) override;
    classlib::TBookmarkFlag GetBookmarkFlag(const uint8_t* Buffer) override;
    void SetBookmarkFlag(classlib::TRecordBuffer Buffer, classlib::TBookmarkFlag Value) override;

    // ---- cursor and definitions ----
    void OpenCursor(bool InfoQuery) override;
    void CloseCursor() override;
    void SetActive(bool Value) override;
    bool IsCursorOpen() override { return FCursor != nullptr; }
    void InternalOpen() override;
    void InternalClose() override;
    void InternalInitFieldDefs() override;
    // The table component keeps its own design-time flag on the cursor.
    virtual bool KeepsCursorDesignTime() const { return false; }

    // ---- navigation and editing ----
    void InternalFirst() override;
    void InternalLast() override;
    void InternalGotoBookmark(const void* Bookmark) override;
    void InternalSetToRecord(classlib::TRecordBuffer Buffer) override;
    void InternalInsert() override;
    void InternalEdit() override;
    void InternalPost() override;
    void InternalCancel() override;
    void InternalDelete() override;
    void InternalAddRecord(const void* Buffer, bool Append) override;
    void InternalRefresh() override;
    void InternalHandleException() override;

    // ---- field data ----
    bool GetFieldData(classlib::TField* Field, void* Buffer) override;
    void SetFieldData(classlib::TField* Field, const void* Buffer) override;
    void DataConvert(classlib::TField* Field, const void* Source, void* Dest, bool ToNative) override;
    bool GetIsIndexField(classlib::TField* Field) override;
    bool GetCanModify() override;
    void ClearCalcFields(classlib::TRecordBuffer Buffer) override;

    // The refresh CreateBlobStream runs at most once at a time.
    bool FRefreshGuard = false;
    // The one refresh after a BLOB could not be opened while browsing.
    void RefreshUnopenedBlob();

private:
    TORQCursor& CheckCursor(int32_t Code) const;
    int32_t R() const { return FCursor->RecordSize; }
    // Points the cursor at Buffer and at Buffer's position.
    void PointCursorAt(uint8_t* Buffer);
    void FreeOldRecord();
    void FreeKeyBuffers();
    bool FilterCallback(const uint8_t* Record);
    void ReleaseDatabase();
    void ReconcileDatabase();
    // The cursor's base field number of a dataset field (1-based FieldNo).
    int32_t BaseFieldNo(const classlib::TField* Field) const;
    void SetCalcWideString(uint8_t* Slot, const uint8_t* Buffer, const std::u16string& Value);
    void FreeBufferCells(uint8_t* Buffer);
    void OpenWithProjection();

    std::string FDatabaseName;
    std::string FSessionName;
    bool FInMemory = false;
    bool FReadOnly = false;
    uint16_t FDatabaseFlags = 0;
    TORQDatabase* FDatabase = nullptr;
    TORQCursor* FCursor = nullptr;
    std::unique_ptr<TORQCursor> FOwnedCursor;
    bool FSharedCursor = false;
    uint8_t* FOldRecord = nullptr;
    uint8_t* FFilterBuffer = nullptr;
    std::array<TKeyBuffer, 6> FKeyBuffers{};
    TKeyBuffer* FCurrentKey = nullptr;
    std::vector<int32_t> FIndexFields;
    int32_t FIndexFieldsSize = 0;
    classlib::TIndexDefs FIndexDefs{this};
    TORQFieldDefs FEngineFieldDefs;
    TORQIndexDefs FEngineIndexDefs;
    TORQConstraintDefs FEngineConstraintDefs;
    TORQAdvFieldDefs FAdvFieldDefs;
    TORQAdvIndexDefs FAdvIndexDefs;
    TORQAdvFieldDefs FRestructureFieldDefs;
    TORQAdvIndexDefs FRestructureIndexDefs;
    std::vector<std::string> FProjectionFields;
    std::vector<std::string> FProjectionAliases;
};

// Sets a database-use flag for a scope and clears it on every path, but only when this
// scope's call set it (an outer one keeps its flag).
class TORQDatabaseFlagScope {
public:
    TORQDatabaseFlagScope(TORQDataSet& DataSet, int32_t Flag) : FDataSet(DataSet), FFlag(Flag) {
        FSet = FDataSet.SetDatabaseFlag(Flag, true);
    }
    ~TORQDatabaseFlagScope() {
        if (!FSet) return;
        try {
            FDataSet.SetDatabaseFlag(FFlag, false);
        } catch (...) {
            // A destructor never raises; the flag's release failing leaves the database in use.
        }
    }
    TORQDatabaseFlagScope(const TORQDatabaseFlagScope&) = delete;
    TORQDatabaseFlagScope& operator=(const TORQDatabaseFlagScope&) = delete;

private:
    TORQDataSet& FDataSet;
    int32_t FFlag;
    bool FSet = false;
};

}  // namespace orq
