// TORQTable: the dataset over one stored table. It adds to the dataset core the table's
// name, the choice of its current index (by name or by field names), keys and ranges in
// the framework's key-editing model (state dsSetKey), master-detail linking, the default
// texts of BLOB fields on a new record, and the maintenance operations that create,
// delete, empty, rename, copy and restructure a table and add or drop its indexes
// (ORQTableMaintenance.cpp).
//
// Rules kept here:
// - The cursor is made by BuildCursor; cursors made for definitions or an index
//   operation live only for that call and are freed on every path.
// - A database-use flag set by an operation is cleared by it on every path: 3 create,
//   delete, empty, rename; 4 the field list; 5 index operations and the index list;
//   11 opening in repair mode.
// - Table maintenance refuses inside a transaction of the local session (the operation's
//   own code); EmptyTable is never refused: a disk table is emptied through the
//   transaction's pages (a rollback brings its rows back), a MEMORY table in place.
// - CreateTable replaces a table of that name; Exists answers False on any error.
// - A range handed to the cursor is the pair of applied key buffers: a range equal to
//   the applied one moves nothing. A key's field count of 0 means every index field.
// - A copy, import or restructure whose progress events are unassigned shows the wait
//   window ("Copy Table...", "Import Table...", "Restructure Table..."), unless the
//   database is in SilentMode or the table temporary; its Abort stops the operation.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classlib/DB.h"
#include "engine/access/ORQDataSet.h"
#include "engine/access/ORQDatabase.h"

namespace orq {

class TORQLocalCursor;

using TORQDataSetNotifyEvent = std::function<void(classlib::TDataSet* DataSet)>;

// Codes of "Nil pointer occured" of the table component.
namespace tablenil {
enum : int32_t {
    SetKey = 10286, PostKey = 10288, SetRange = 10296, LinkRanges = 10299, CreateTemporaryIndex = 10311,
    SetTemporaryIndex = 10319, HasIndexForFields = 10514, ImportOpen = 10259
};
}  // namespace tablenil

class TORQTable : public TORQDataSet {
public:
    // Database-use flags of the table's operations.
    enum : int32_t { dfTableOp = 3, dfFieldList = 4, dfIndexOp = 5, dfIndexList = 6, dfRepair = 11 };

    explicit TORQTable(classlib::TComponent* AOwner = nullptr);
    ~TORQTable() override;
    std::string ClassName() const override { return "TORQTable"; }

    // ---- properties ----
    bool StoreDefs = false;
    // The table's own request to keep its data out of temporary files (query results
    // of a database that disables them); the database's setting applies besides.
    bool TableDisableTempFiles = false;
    // The index list is built at its first use (IndexDefs().Update()) rather than at
    // each open: for a statement's own tables, which read the cursor's definitions.
    bool DeferIndexDefs = false;
    // How many index lists the tables of this process built.
    static int64_t IndexDefinitionBuilds();
    const std::string& TableName() const { return FTableName; }
    void SetTableName(const std::string& Value);
    bool Exclusive() const { return FExclusive; }
    void SetExclusive(bool Value);
    bool Temporary() const { return FTemporary; }
    // True makes DatabaseName "TEMP".
    void SetTemporary(bool Value);
    bool RepairMode() const { return FRepairMode; }
    // Whether the database holds a table of this name; False on any error.
    bool Exists();
    std::string IndexName() const { return FIndexByFieldNames ? std::string() : FIndexText; }
    void SetIndexName(const std::string& Value) { SetIndex(Value, false); }
    std::string IndexFieldNames() const { return FIndexByFieldNames ? FIndexText : std::string(); }
    void SetIndexFieldNames(const std::string& Value) { SetIndex(Value, true); }
    std::string MasterFields() const;
    void SetMasterFields(const std::string& Value);
    classlib::TDataSource* MasterSource() { return GetDataSource(); }
    // "Circular datalinks are not allowed" for a source linked back to this table.
    void SetMasterSource(classlib::TDataSource* Source);
    TORQExportToSqlOptions& ExportToSqlOptions() { return FExportToSqlOptions; }
    // The definitions are stored with a form only when StoreDefs is set and the list is
    // not empty.
    bool IsFieldDefsStored() { return StoreDefs && FieldDefs().Count() > 0; }
    bool IsIndexDefsStored() { return StoreDefs && IndexDefs().Count() > 0; }
    void SetIndexDefs(const classlib::TIndexDefs& Value) { IndexDefs().Assign(&Value); }

    TORQDataSetNotifyEvent BeforeCopy, AfterCopy, BeforeImport, AfterImport, BeforeRestructure, AfterRestructure;
    TORQTableProgressEvent OnCopyProgress, OnImportProgress, OnRestructureProgress;
    // Kept for forms that set them; no operation of the table raises them.
    TORQDataSetNotifyEvent BeforeExport, AfterExport, BeforeBatchMove, AfterBatchMove;
    TORQTableProgressEvent OnExportProgress, OnBatchMoveProgress;

    // ---- table operations ----
    // "Missing TableName property" for an empty (trimmed) name.
    void CheckTableName() const;
    std::string CreateTemporaryIndex(const std::vector<std::string>& Fields, const std::vector<std::string>& DescFields,
                                     const std::vector<std::string>& CaseInsFields);
    bool HasIndexForFields(const std::vector<std::string>& Fields, const std::vector<std::string>& DescFields,
                           const std::vector<std::string>& CaseInsFields);
    void SetTemporaryIndex(const std::vector<std::string>& Fields, const std::vector<std::string>& DescFields,
                           const std::vector<std::string>& CaseInsFields);
    // Takes Other's current index and key state into this table's cursor.
    void AssignIndexPosition(TORQTable& Other);
    int64_t GetLastAutoincValue(const std::string& FieldName);

    // ---- keys and ranges ----
    void SetKey() { SetKeyBuffer(kiLookup, true); }
    void EditKey() { SetKeyBuffer(kiLookup, false); }
    void SetRangeStart() { SetKeyBuffer(kiRangeStart, true); }
    void SetRangeEnd() { SetKeyBuffer(kiRangeEnd, true); }
    void EditRangeStart() { SetKeyBuffer(kiRangeStart, false); }
    void EditRangeEnd() { SetKeyBuffer(kiRangeEnd, false); }
    // Whether the range end (start) excludes its key; set while editing that buffer.
    bool KeyExclusive() const;
    void SetKeyExclusive(bool Value);
    // How many index fields the key edited uses (0: all).
    int32_t KeyFieldCount() const;
    void SetKeyFieldCount(int32_t Value);
    void ApplyRange();
    void CancelRange();
    void SetRange(const std::vector<classlib::Variant>& StartValues, const std::vector<classlib::Variant>& EndValues);
    // The lookup key: the first record whose index fields equal it.
    bool GotoKey();
    bool FindKey(const std::vector<classlib::Variant>& KeyValues);
    // The first record in index order at or past the lookup key (past it when the key
    // is exclusive), inside the applied range and filter; the last record when none is.
    void GotoNearest();
    void FindNearest(const std::vector<classlib::Variant>& KeyValues);
    classlib::TField* GetIndexField(int32_t Index);
    void SetIndexField(int32_t Index, classlib::TField* Value);
    int32_t IndexFieldCount() const { return static_cast<int32_t>(IndexFieldNumbers().size()); }

    // ---- maintenance (ORQTableMaintenance.cpp) ----
    void CreateTable();
    void DeleteTable();
    void EmptyTable();
    void RenameTable(const std::string& NewName);
    void RenameField(const std::string& OldName, const std::string& NewName);
    void AddIndex(const std::string& Name, const std::string& Fields, classlib::TIndexOptions Options,
                  const std::string& DescFields = {}, const std::string& CaseInsFields = {});
    void DeleteIndex(const std::string& Name);
    // Copies this table as NewTableName: into its own database (DestDatabaseFileName
    // empty), into "MEMORY", or into another file. True when the copy completed.
    bool CopyTable(const std::string& NewTableName, std::string& ErrorText, bool& Continue,
                   const std::string& DestDatabaseFileName = {}, const std::string& DestPassword = {},
                   bool IgnoreErrors = false, bool Overwrite = false, bool CopyIndexes = true, int32_t FromPct = 0,
                   int32_t ToPct = 100);
    // Opens and closes the table with the cursor's repair mode on, on every path off again:
    // the full repair's read, whose record page index is rebuilt from the pages without a
    // byte of the file written. That index lives while the table's data has a cursor:
    // KeepOpen leaves the table open, and other tables of the same name and database read
    // through it meanwhile.
    void OpenInRepairMode(bool KeepOpen = false);
    // Builds the table anew from RestructureFieldDefs and RestructureIndexDefs and moves
    // the records: old fields go to new ones by object id, else by name, else are
    // dropped. The new structure is filled as "NEW_<N>_{guid}"; once filled, N becomes
    // "OLD_<N>_{guid}", the new table N, and the old one is dropped, so at every moment
    // N or a recognisable leftover holds all the records. False with the reason in
    // ErrorText when it failed; N is then as it was.
    bool RestructureTable(std::string& ErrorText);
    bool RestructureTableSimple();
    // Completes or undoes a restructure of this table's name that was cut short: NEW
    // beside N without OLD: NEW dropped; OLD and NEW without N: NEW becomes N, OLD
    // dropped; OLD beside N: OLD dropped; OLD alone: OLD becomes N. True when it found one.
    bool ResolveRestructureLeftovers();
    // After a failed step of a restructure's swap (N renamed to OldName, NewName renamed
    // to N, OldName dropped): brings the table back under N with one structure, drops the
    // other, and adds which it is to ErrorText. True when N has the new structure.
    bool SettleRestructureSwap(const std::string& N, const std::string& OldName, const std::string& NewName,
                               std::string& ErrorText);
    // Replaces this table by one with Source's structure and records. True when nothing
    // was added to Log.
    bool ImportTable(classlib::TDataSet& Source, std::string& Log, classlib::TIndexDefs* SourceIndexDefs = nullptr);

    // ---- overrides ----
    classlib::TDataSource* GetDataSource() override;
    void DataEvent(classlib::TDataEvent Event, intptr_t Info) override;
    void Post() override;
    void Cancel() override;
    std::string PSGetTableName() override { return FTableName; }
    void PSSetCommandText(const std::string& CommandText) override;
    std::unique_ptr<classlib::TIndexDefs> PSGetIndexDefs(classlib::TIndexOptions IndexTypes) override;
    // A copy of the index the table is ordered by (named, or found for the field names),
    // else of the first primary, else the first unique index whose fields all exist.
    std::unique_ptr<classlib::TIndexDef> PSGetDefaultOrder() override;
    // The framework's key fields; else the fields of the first unique index whose fields
    // all exist; else every field name.
    std::string PSGetKeyFields() override;
    // Parameters become the range (by name, or to the index field of their position);
    // none cancels it. The dataset is reset before the range is applied, as a reset
    // reopens it and would drop the range.
    void PSSetParams(classlib::TParams* AParams) override;

protected:
    TORQCursor* CreateCursor() override;
    void AfterCursorOpened() override;
    void InitFieldDefs() override;
    void UpdateIndexDefs() override;
    void DefChanged(classlib::TDefCollection* Sender) override;
    void DoOnNewRecord() override;
    bool KeepsCursorDesignTime() const override { return true; }

    // A table of this one's database and kind named Name (closed).
    std::unique_ptr<TORQTable> Sibling(const std::string& Name) const;
    // A cursor with this table's settings, its table opened; freed on failure.
    std::unique_ptr<TORQLocalCursor> BuildCursor();
    // A closed exclusive cursor for table-level operations.
    std::unique_ptr<TORQLocalCursor> MaintenanceCursor(bool ForCreate);
    // Raises Code "Cannot perform '%s' operation on a database in transaction".
    void CheckNotInTransaction(int32_t Code, const char* Operation) const;

private:
    void SetIndex(const std::string& Text, bool ByFieldNames);
    std::string GetIndexNameFor(const std::string& Text, bool ByFieldNames);
    void SetKeyBuffer(TKeyIndex Kind, bool Clear);
    void PostKeyBuffer(bool Commit);
    bool SetCursorRange();
    // The index columns a key buffer compares: its count, 0 meaning all.
    int32_t KeyColumns(const TKeyBuffer& Key) const;
    void SetLinkRanges(const std::vector<classlib::TField*>& MasterFields);
    void CheckMasterRange();
    void MasterChanged();
    void MasterDisabled();
    void AssignKeyValues(const std::vector<classlib::Variant>& Values);
    // Whether every name of the ';'-list is a field of the dataset (a definition while
    // no field objects exist).
    bool FieldsExist(const std::string& Names);
    // Runs F under a read lock of the table (900 tries 100 ms apart), or without it.
    void UnderReadLock(const std::function<void()>& F);
    bool DisableTempFiles();
    void PrepareAdvDefaults();
    void CheckAdvFieldDefs();
    void FixIndexedSizes();

    std::string FTableName;
    bool FExclusive = false;
    bool FTemporary = false;
    bool FRepairMode = false;
    std::string FIndexText;
    bool FIndexByFieldNames = false;
    std::unique_ptr<classlib::TMasterDataLink> FMasterLink;
    TORQExportToSqlOptions FExportToSqlOptions;
    // The cursor CreateCursor is making, for the index list's question meanwhile.
    TORQCursor* FBuildingCursor = nullptr;
};

}  // namespace orq
