// TDataSet: the dataset base class of the framework, and the data sources and links
// through which controls, detail datasets and the application watch a dataset. Its
// virtual operations are the protocol a concrete dataset implements (the engine's table
// and query components, and test datasets): record buffers and bookmarks, cursor and
// definition hooks, navigation and editing hooks, record numbers and search, filter
// setters, field data and BLOB streams, events and provider support.
//
// What this class keeps for every dataset:
// - The fields: default fields are made from the field definitions when the dataset
//   opens without fields of its own (CreateFields) and freed when it closes;
//   BindFields gives each data field its 1-based definition number and each field of
//   the calculated area its offset there, the area holding for every such field a
//   has-value byte followed by DataSize bytes.
// - Field data: fields call ReadFieldData / WriteFieldData; the buffer forms of
//   DBFields.h reach the GetFieldData / SetFieldData hooks directly, and the value
//   forms pass through DataConvert on the way.
// - The buffer window: BufferCount record buffers (the most any data link asks for, at
//   least one) plus one scratch buffer, of which the first RecordCount hold records in
//   cursor order and ActiveRecord is the current one. CurrentRecord names the buffer
//   whose record the cursor sits on (-1: unknown); UpdateCursorPos moves the cursor
//   there before any hook that works on the current record.
// - The state machine: every operation runs its before-event, its hook and its
//   after-event in a fixed order (see each operation); a hook that raises leaves the
//   state as it was. Temporary states (SetTempState / RestoreState) hold events back.
// - Data events go to every data source and through them to every data link, unless
//   controls are disabled or a temporary state is set; EnableControls then sends one
//   dataset change (a layout change when the dataset closed or its layout changed).
// A destructor cannot call the hooks of a derived class that is already gone: a
// derived dataset calls Destroying() and Close() in its own destructor; this one only
// frees what it owns and lets its data sources go.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/DBCommon.h"
#include "classlib/DBDefs.h"
#include "classlib/DBFields.h"
#include "classlib/DBParams.h"
#include "classlib/Variant.h"

namespace classlib {

class TDataSource;
class TDataLink;
// A named value a provider puts into its data packets.
struct TPacketAttribute {
    std::string Name;
    Variant Value;
    bool IncludeInDelta = false;
};

class TDataSet;

using TDataSetNotifyEvent = std::function<void(TDataSet* DataSet)>;
using TDataSetErrorEvent = std::function<void(TDataSet* DataSet, EDatabaseError& E, TDataAction& Action)>;
using TFilterRecordEvent = std::function<void(TDataSet* DataSet, bool& Accept)>;

class TDataSet : public TComponent {
public:
    explicit TDataSet(TComponent* AOwner);
    ~TDataSet() override;
    std::string ClassName() const override { return "TDataSet"; }

    // ---- state and structure ----
    TDataSetState State() const { return FState; }
    bool Active() const { return FState != dsInactive && FState != dsOpening; }
    // Open: before-open, OpenCursor (InternalOpen: definitions, fields bound; then the
    // first buffers read), dsBrowse, after-open, after-scroll when not empty. Close: an
    // edit or insert is cancelled first; before-close, dsInactive, CloseCursor (buffers
    // freed, InternalClose), after-close. A failed open closes the cursor again.
    void Open() { SetActive(true); }
    void Close() { SetActive(false); }
    void CheckActive() const;    // "Cannot perform this operation on a closed dataset"
    void CheckInactive() const;  // "Cannot perform this operation on an open dataset"

    TFieldDefs& FieldDefs() { return FFieldDefs; }
    const TFieldDefs& FieldDefs() const { return FFieldDefs; }
    TFields& Fields() { return FFields; }
    const TFields& Fields() const { return FFields; }
    int FieldCount() const { return FFields.Count(); }
    TField* FindField(std::string_view FieldName) const { return FFields.FindField(FieldName); }
    TField* FieldByName(std::string_view FieldName) const { return FFields.FieldByName(FieldName); }
    // The fields were made from the definitions when the dataset opened.
    bool DefaultFields() const { return FDefaultFields; }
    int32_t CalcFieldsSize() const { return FCalcFieldsSize; }
    int32_t BookmarkSize() const { return FBookmarkSize; }
    bool Modified() const { return FModified; }
    bool CanModify() { return GetCanModify(); }

    // Field data as fields see it: NativeFormat passes Buffer to the hooks as it is,
    // otherwise DataConvert turns the value form into the buffer form and back.
    bool ReadFieldData(TField* Field, void* Buffer, bool NativeFormat);
    void WriteFieldData(TField* Field, const void* Buffer, bool NativeFormat);

    // ---- published properties and events ----
    bool AutoCalcFields = true;
    const std::string& Filter() const { return FFilterText; }
    void SetFilter(const std::string& Value) { SetFilterText(Value); }
    bool Filtered() const { return FFiltered; }
    TFilterOptions FilterOptions() const { return FFilterOptions; }
    const TFilterRecordEvent& OnFilterRecord() const { return FOnFilterRecord; }

    TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose, BeforeInsert, AfterInsert,
        BeforeEdit, AfterEdit, BeforePost, AfterPost, BeforeCancel, AfterCancel, BeforeDelete,
        AfterDelete, BeforeScroll, AfterScroll, BeforeRefresh, AfterRefresh, OnCalcFields, OnNewRecord;
    TDataSetErrorEvent OnDeleteError, OnEditError, OnPostError;

    // ---- navigation: each runs CheckBrowseMode, then before-scroll ... after-scroll ----
    // First and Last read the window afresh and send a dataset change; MoveBy sends a
    // dataset scroll whose Info is how far the buffers shifted (negative forward). At an
    // end MoveBy moves nothing and sends nothing; Eof or Bof is set by the move that
    // tried to pass the end.
    void First();
    void Last();
    void Next() { MoveBy(1); }
    void Prior() { MoveBy(-1); }
    int32_t MoveBy(int32_t Distance);  // the distance moved
    bool Eof() const { return FEOF; }
    bool Bof() const { return FBOF; }
    bool IsEmpty() const { return FActiveRecord >= FRecordCount; }
    int32_t RecNo() { return GetRecNo(); }
    int32_t RecordCount() { return GetRecordCount(); }
    // Whether the last FindFirst / FindNext / ... found a record.
    bool Found() const { return FFound; }
    bool FindFirst() { return FindRecord(true, true); }
    bool FindLast() { return FindRecord(true, false); }
    bool FindNext() { return FindRecord(false, true); }
    bool FindPrior() { return FindRecord(false, false); }

    // ---- editing ----
    // CheckBrowseMode, the can-modify check, before-insert, before-scroll, a new buffer
    // (InitRecord) before the active one, InternalInsert, dsInsert, OnNewRecord, a
    // dataset change, after-insert, after-scroll. Append goes to the end first. When a
    // step after before-scroll fails, the new record is dropped and the dataset, its
    // window and its links are as they were before the call.
    void Insert();
    void Append();
    // On an empty dataset Insert; otherwise CheckBrowseMode, the can-modify check,
    // before-edit, UpdateCursorPos, InternalEdit (OnEditError loop), calculated fields,
    // dsEdit, a record change, after-edit. Nothing while editing or inserting already.
    void Edit();
    // UpdateRecord; then, only while still editing or inserting: a check-browse-mode
    // event, before-post, InternalPost (OnPostError loop), dsBrowse, Resync, after-post.
    // The table component adds its key buffers to Post and Cancel.
    virtual void Post();
    // Editing or inserting: a check-browse-mode event, before-cancel (and before-scroll
    // when inserting), InternalCancel, dsBrowse, Resync, after-cancel (after-scroll).
    virtual void Cancel();
    // Cancels an insert; otherwise a check-browse-mode event, before-delete,
    // before-scroll, InternalDelete (OnDeleteError loop), dsBrowse, Resync,
    // after-delete, after-scroll. An empty dataset raises.
    void Delete();
    // CheckBrowseMode, before-refresh, UpdateCursorPos, InternalRefresh, Resync,
    // after-refresh.
    void Refresh();
    // Editing or inserting: UpdateRecord, then Post when modified, else Cancel; set-key:
    // Post. Sends a check-browse-mode event first.
    void CheckBrowseMode();
    // Sends the update-record event (controls and OnUpdateData write their values).
    void UpdateRecord();
    // Append or Insert, the values to the fields in order (Null clears), Post.
    void AppendRecord(const std::vector<Variant>& Values);
    void InsertRecord(const std::vector<Variant>& Values);
    // Assigns Values to the fields in order; needs the editing state.
    void SetFields(const std::vector<Variant>& Values);
    void ClearFields();

    // ---- bookmarks of BookmarkSize bytes ----
    // Empty when there is no current record with a position (empty, or a new record).
    TBookmark GetBookmark();
    // CheckBrowseMode, before-scroll, InternalGotoBookmark, Resync exact and centred,
    // after-scroll. An empty bookmark does nothing.
    void GotoBookmark(const TBookmark& Bookmark);
    void FreeBookmark(TBookmark& Bookmark) { Bookmark.clear(); }
    bool BookmarkAvailable();
    TBookmark Bookmark() { return GetBookmark(); }
    void SetBookmark(const TBookmark& Value) { GotoBookmark(Value); }

    // ---- controls ----
    // Counted; while disabled no data event reaches a data source. The outermost
    // EnableControls sends an update-state when the state changed meanwhile, then one
    // dataset change (a layout change when the dataset closed or its layout changed).
    void DisableControls();
    void EnableControls();
    bool ControlsDisabled() const { return FDisableCount > 0; }

    // ---- the buffer window ----
    // Reads the current record again and the window around it: rmExact raises "Record
    // not found" when it is gone; otherwise the next or prior record takes its place.
    // rmCenter centres it in the window, else it keeps its row. Sends a dataset change.
    virtual void Resync(uint8_t Mode);
    // Moves the cursor to the active record's buffer when it is elsewhere.
    void UpdateCursorPos();
    // Forgets where the cursor is: the next UpdateCursorPos moves it.
    void CursorPosChanged() { FCurrentRecord = -1; }
    int32_t BufferCount() const { return FBufferCount; }

    // ---- field lists and values ----
    // The fields of a ';' separated list of names, in order; a missing one raises.
    std::vector<TField*> GetFieldList(const std::string& FieldNames) const;
    // A single name gives the field's value; a ';' list a Variant array of them [0..n-1].
    Variant FieldValues(const std::string& FieldName) { return GetFieldValues(FieldName); }
    void SetFieldValues(const std::string& FieldName, const Variant& Value) { SetFieldValuesOf(FieldName, Value); }
    virtual Variant GetFieldValues(const std::string& FieldName);
    virtual void SetFieldValuesOf(const std::string& FieldName, const Variant& Value);

    // ---- record numbers and search ----
    virtual int32_t GetRecordCount();   // -1: not known
    virtual int32_t GetRecNo();         // -1: not known
    virtual void SetRecNo(int32_t Value);
    virtual bool FindRecord(bool Restart, bool GoForward);
    virtual bool Locate(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options);
    virtual Variant Lookup(const std::string& KeyFields, const Variant& KeyValues, const std::string& ResultFields);
    virtual bool BookmarkValid(const TBookmark& Bookmark);
    // Both empty 0; only the first empty 1; only the second empty -1.
    virtual int32_t CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2);
    virtual bool GetCurrentRecord(TRecordBuffer Buffer);

    // ---- filter property setters ----
    virtual void SetFiltered(bool Value);
    virtual void SetFilterText(const std::string& Value);
    virtual void SetFilterOptions(TFilterOptions Value);
    virtual void SetOnFilterRecord(const TFilterRecordEvent& Value);

    // ---- BLOBs ----
    // The stream over Field's BLOB in the current record; nil when there is none.
    virtual std::unique_ptr<TStream> CreateBlobStream(TField* Field, TBlobStreamMode Mode);
    virtual void CloseBlob(TField* Field);
    // Field's whole value in the current record, as a stream opened for reading would
    // read it; false when the dataset has no road of its own (a stream is read instead).
    virtual bool GetBlobValue(TField* Field, std::string& Value);

    // ---- data sources and events ----
    // The data source this dataset follows (a detail's master); nil by default.
    virtual TDataSource* GetDataSource();
    TDataSource* DataSource() { return GetDataSource(); }
    // True when DataSource, or a source up its chain of masters, watches this dataset.
    bool IsLinkedTo(TDataSource* DataSource);
    // Info carries the field of deFieldChange and deRecordChange (or nil).
    virtual void DataEvent(TDataEvent Event, intptr_t Info);
    static intptr_t FieldInfo(TField* Field) { return reinterpret_cast<intptr_t>(Field); }

    // ---- provider support ----
    // The update error to report for E, the failure of one record of a delta; Prev is the
    // error of the record before it (or nil). An EUpdateError is passed on as it is;
    // anything else becomes one with E's message, chained to Prev's code.
    virtual std::unique_ptr<EUpdateError> PSGetUpdateException(const Exception& E, const EUpdateError* Prev);
    // Adds the attributes a provider puts into its data packets; none by default.
    virtual void PSGetAttributes(std::vector<TPacketAttribute>& List);
    virtual bool PSIsSQLSupported();
    virtual bool PSIsSQLBased();
    virtual bool PSInTransaction();
    virtual void PSStartTransaction();
    virtual void PSEndTransaction(bool Commit);
    virtual int32_t PSExecuteStatement(const std::string& ASQL, TParams* AParams);
    virtual std::string PSGetQuoteChar();
    virtual void PSReset();
    virtual bool PSUpdateRecord(TUpdateKind UpdateKind, TDataSet* Delta);
    virtual std::string PSGetTableName();
    virtual void PSSetCommandText(const std::string& CommandText);
    virtual std::unique_ptr<TIndexDefs> PSGetIndexDefs(TIndexOptions IndexTypes);
    virtual std::unique_ptr<TIndexDef> PSGetDefaultOrder();
    virtual std::string PSGetKeyFields();
    virtual void PSSetParams(TParams* AParams);
    virtual void PSExecute();
    virtual TParams* PSGetParams();

protected:
    // ---- record buffers and bookmarks ----
    virtual TRecordBuffer AllocRecordBuffer() = 0;
    virtual void FreeRecordBuffer(TRecordBuffer& Buffer) = 0;
    virtual TGetResult GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) = 0;
    virtual int32_t GetRecordSize() = 0;
    // InternalInitRecord, cleared calculated fields, flag bfInserted.
    virtual void InitRecord(TRecordBuffer Buffer);
    virtual void InternalInitRecord(TRecordBuffer Buffer) = 0;
    virtual void GetBookmarkData(const uint8_t* Buffer, void* Data) = 0;
    virtual void SetBookmarkData(TRecordBuffer Buffer, const void* Data) = 0;
    virtual TBookmarkFlag GetBookmarkFlag(const uint8_t* Buffer) = 0;
    virtual void SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) = 0;

    // ---- cursor and definitions ----
    // InfoQuery: only the field definitions are wanted (InternalInitFieldDefs);
    // otherwise InternalOpen.
    virtual void OpenCursor(bool InfoQuery);
    // InternalClose.
    virtual void CloseCursor();
    virtual void SetActive(bool Value);
    virtual bool IsCursorOpen() = 0;
    virtual void InternalOpen() = 0;
    virtual void InternalClose() = 0;
    virtual void InternalInitFieldDefs() = 0;
    // Fills FieldDefs: through the open cursor, or by opening it for the question.
    virtual void InitFieldDefs();
    // Fills the index definitions of a dataset that has them.
    virtual void UpdateIndexDefs();
    // A program changed a definition list.
    virtual void DefChanged(TDefCollection* Sender);

    // ---- navigation ----
    virtual void InternalFirst() = 0;
    virtual void InternalLast() = 0;
    virtual void InternalGotoBookmark(const void* Bookmark) = 0;
    virtual void InternalSetToRecord(TRecordBuffer Buffer) = 0;
    virtual void DoBeforeScroll();
    virtual void DoAfterScroll();

    // ---- editing ----
    virtual void InternalInsert();
    virtual void InternalEdit();
    // CheckRequiredFields.
    virtual void InternalPost();
    virtual void InternalCancel();
    virtual void InternalDelete() = 0;
    virtual void InternalAddRecord(const void* Buffer, bool Append) = 0;
    virtual void InternalRefresh();
    // Reports an exception that a callback of the dataset may not let through.
    virtual void InternalHandleException() = 0;
    virtual void DoOnNewRecord();

    // ---- field data ----
    // Data in the buffer form; false when null. Buffer nil asks only for null.
    virtual bool GetFieldData(TField* Field, void* Buffer);
    // Buffer nil sets null. Implementations call Field->Validate(Buffer) for data
    // fields, store, and signal DataEvent(deFieldChange, Field).
    virtual void SetFieldData(TField* Field, const void* Buffer) = 0;
    // Value form to buffer form (ToNative) and back; see DBFields.h.
    virtual void DataConvert(TField* Field, const void* Source, void* Dest, bool ToNative);
    virtual bool GetIsIndexField(TField* Field);
    virtual bool GetCanModify();
    virtual void ClearCalcFields(TRecordBuffer Buffer);

    // ---- component ----
    void Loaded() override;
    void Notification(TComponent* AComponent, TOperation Operation) override;

    // ---- the buffer window, for derived datasets ----
    TRecordBuffer ActiveBuffer() const { return FBuffers.empty() ? nullptr : FBuffers[static_cast<size_t>(FActiveRecord)]; }
    // The buffer the calculated fields are being computed in (GetCalcFields).
    TRecordBuffer CalcBuffer() const { return FCalcBuffer; }
    // The scratch buffer beyond the window.
    TRecordBuffer TempBuffer() const { return FBuffers.empty() ? nullptr : FBuffers[static_cast<size_t>(FRecordCount)]; }
    TRecordBuffer Buffers(int32_t Index) const { return FBuffers.at(static_cast<size_t>(Index)); }
    int32_t ActiveRecord() const { return FActiveRecord; }
    int32_t CurrentRecord() const { return FCurrentRecord; }
    // How many buffers of the window hold records.
    int32_t WindowCount() const { return FRecordCount; }
    // Read the record after the last buffer (before the first) into the window through
    // the GetRecord hook; false at the end, which leaves the cursor position unknown.
    virtual bool GetNextRecord();
    virtual bool GetPriorRecord();
    // Fill the window after (before) the records it holds; the number read.
    int32_t GetNextRecords();
    int32_t GetPriorRecords();
    void ClearBuffers();
    // One record in the window, active and current.
    void ActivateBuffers();
    // Moves a buffer within the list (the scratch one included); CurrentRecord follows it.
    void MoveBuffer(int32_t CurIndex, int32_t NewIndex);
    void SetCurrentRecord(int32_t Index);
    // Sizes the window to the largest buffer count asked for by a data link (at least 1).
    void UpdateBufferCount();
    void SetBufferCount(int32_t Value);

    // ---- calculated fields and filters, for derived datasets ----
    // In the calc-fields state with Buffer as CalcBuffer: CalculateFields, restored on
    // every path. Nothing when the dataset has no calculated area.
    virtual void GetCalcFields(TRecordBuffer Buffer);
    // Clears the calculated area of Buffer and runs OnCalcFields.
    virtual void CalculateFields(TRecordBuffer Buffer);
    virtual void DoOnCalcFields();
    // Runs OnFilterRecord in the filter state for the record a derived dataset placed in
    // its filter buffer. Accept starts True; an exception from the handler goes to
    // InternalHandleException and the record counts as the handler left Accept. True
    // without a handler.
    bool DoFilterRecord();
    void SetFound(bool Value) { FFound = Value; }

    // ---- state helpers for derived datasets ----
    // Changes the state and sends an update-state event (Modified is cleared).
    void SetState(TDataSetState Value);
    // A temporary state: no event is sent until RestoreState; Modified is kept.
    TDataSetState SetTempState(TDataSetState Value);  // returns the state to restore
    void RestoreState(TDataSetState Value);
    void CheckCanModify();  // "Cannot modify a read-only dataset"
    // Runs Operation (after UpdateCursorPos) until it succeeds; an EDatabaseError goes
    // to ErrorEvent, whose answer fails (re-raises), aborts (EAbort) or retries.
    void CheckOperation(const std::function<void()>& Operation, const TDataSetErrorEvent& ErrorEvent);
    void SetModified(bool Value) { FModified = Value; }
    void SetBookmarkSize(int32_t Value) { FBookmarkSize = Value; }
    // Default fields from FieldDefs, owned by this dataset.
    void CreateFields();
    // Frees the fields this dataset owns; others only leave it.
    void DestroyFields();
    // Binding: definition numbers and calculated-area offsets (see the file comment);
    // a data field without a definition of its name and type raises.
    void BindFields(bool Binding);
    // "Field '%s' must have a value" for the first required data field that is null.
    void CheckRequiredFields();
    // The index definitions of Source whose options meet IndexTypes (all when 0).
    std::unique_ptr<TIndexDefs> SelectIndexDefs(const TIndexDefs& Source, TIndexOptions IndexTypes);

private:
    friend class TField;
    friend class TFieldDefs;
    friend class TIndexDefs;
    friend class TDefCollection;
    friend class TDataSource;
    friend class TDataLink;

    void BeginInsertAppend();
    // Active and ActiveRow: the record that was active and its row in the window.
    void EndInsertAppend(const TBookmark& Active, int32_t ActiveRow);
    // Drops a new record whose set-up failed (InternalInsert, a read, OnNewRecord):
    // back on the record that was active, InternalCancel, browse, and the window read
    // again around it with a dataset-changed notice, so that the dataset, its window and
    // its links are as they were.
    void DropNewRecord(const TBookmark& Active, int32_t ActiveRow);
    void SetBufListSize(int32_t Value);
    void AdjustFirstRecords(int32_t Delta);
    void UpdateCalcFields();
    void AddDataSource(TDataSource* Source);
    void RemoveDataSource(TDataSource* Source);
    void NotifyDataSources(TDataEvent Event, intptr_t Info);

    TDataSetState FState = dsInactive;
    std::vector<TRecordBuffer> FBuffers;  // FBufferCount + 1 while open
    int32_t FBufferCount = 0;
    int32_t FRecordCount = 0;
    int32_t FActiveRecord = 0;
    int32_t FCurrentRecord = -1;
    bool FBOF = true;
    bool FEOF = true;
    bool FFound = false;
    bool FRecordUpdated = false;  // CheckBrowseMode sent the update-record event already
    TRecordBuffer FCalcBuffer = nullptr;
    int32_t FDisableCount = 0;
    int32_t FTempStateCount = 0;
    TDataSetState FDisableState = dsInactive;
    TDataEvent FEnableEvent = deDataSetChange;
    std::vector<TDataSource*> FDataSources;
    TFieldDefs FFieldDefs;
    TFields FFields;
    bool FDefaultFields = false;
    int32_t FCalcFieldsSize = 0;
    int32_t FBookmarkSize = 0;
    bool FModified = false;
    bool FStreamedActive = false;
    std::string FFilterText;
    bool FFiltered = false;
    TFilterOptions FFilterOptions = 0;
    TFilterRecordEvent FOnFilterRecord;
};


using TDataChangeEvent = std::function<void(TDataSource* Sender, TField* Field)>;

// A data source: the one point through which data links watch a dataset. Its State
// follows the dataset's while it is enabled and attached (inactive otherwise); each
// data event reaches every link first and then OnDataChange (field change with the
// field, record, dataset, scroll and layout changes with nil) or OnUpdateData (the
// update-record event, before the dataset posts).
class TDataSource : public TComponent {
public:
    explicit TDataSource(TComponent* AOwner);
    // Lets its dataset and its links go.
    ~TDataSource() override;
    std::string ClassName() const override { return "TDataSource"; }

    TDataSet* DataSet() const { return FDataSet; }
    // "Circular datalinks are not allowed" when ADataSet follows this source already.
    void SetDataSet(TDataSet* ADataSet);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool Value);
    TDataSetState State() const { return FState; }
    // AutoEdit: Edit puts a browsing dataset into the edit state (controls call it).
    bool AutoEdit = true;
    void Edit();
    // True when DataSet, or a master up its chain, follows this source.
    bool IsLinkedTo(TDataSet* ADataSet) const;
    int DataLinkCount() const { return static_cast<int>(FDataLinks.size()); }

    TNotifyEvent OnStateChange;
    TDataChangeEvent OnDataChange;
    TNotifyEvent OnUpdateData;

    // Called by the dataset for every event it sends.
    virtual void DataEvent(TDataEvent Event, intptr_t Info);

protected:
    void Notification(TComponent* AComponent, TOperation Operation) override;

private:
    friend class TDataSet;
    friend class TDataLink;
    void UpdateState();
    void SetState(TDataSetState Value);
    void NotifyDataLinks(TDataEvent Event, intptr_t Info);
    void AddDataLink(TDataLink* Link);
    void RemoveDataLink(TDataLink* Link);

    TDataSet* FDataSet = nullptr;
    bool FEnabled = true;
    TDataSetState FState = dsInactive;
    std::vector<TDataLink*> FDataLinks;
};

// A data link: a control's (or a detail dataset's) view of a data source, owned by
// whoever watches. It sees the dataset through a window of BufferCount records whose
// first row is FirstRecord of the dataset's buffers; ActiveRecord is the active record's
// row in that window. Derived links override the hooks; the defaults pass a scroll
// and a layout change on as a dataset change, and a dataset change as a record change.
class TDataLink : public TPersistent {
public:
    TDataLink() = default;
    ~TDataLink() override;
    std::string ClassName() const override { return "TDataLink"; }
    TDataLink(const TDataLink&) = delete;
    TDataLink& operator=(const TDataLink&) = delete;

    TDataSource* DataSource() const { return FDataSource; }
    void SetDataSource(TDataSource* ADataSource);
    TDataSet* DataSet() const { return FDataSource != nullptr ? FDataSource->DataSet() : nullptr; }
    bool Active() const { return FActive; }
    bool Editing() const { return FEditing; }
    bool ReadOnly = false;
    // At least 1; more widens the dataset's window when this link asks for the most.
    int32_t BufferCount() const { return FBufferCount; }
    void SetBufferCount(int32_t Value);
    // Rows of the window holding records.
    int32_t RecordCount() const;
    // The active record's row; setting it makes another row's record the dataset's
    // active one (to read it), and the caller sets it back.
    int32_t ActiveRecord() const;
    void SetActiveRecord(int32_t Value);
    int32_t FirstRecord() const { return FFirstRecord; }
    bool Bof() const;
    bool Eof() const;
    // Asks the source to edit (AutoEdit); whether this link now edits.
    bool Edit();
    // UpdateData with record changes held back.
    void UpdateRecord();

    virtual void DataEvent(TDataEvent Event, intptr_t Info);

protected:
    virtual void ActiveChanged() {}
    virtual void CheckBrowseMode() {}
    virtual void DataSetChanged() { RecordChanged(nullptr); }
    virtual void DataSetScrolled(int32_t Distance) { (void)Distance; DataSetChanged(); }
    virtual void EditingChanged() {}
    virtual void LayoutChanged() { DataSetChanged(); }
    virtual void RecordChanged(TField* Field) { (void)Field; }
    virtual void UpdateData() {}

private:
    friend class TDataSource;
    friend class TDataSet;
    void UpdateState();
    void SetActive(bool Value);
    void SetEditing(bool Value);
    void UpdateRange();

    TDataSource* FDataSource = nullptr;
    bool FActive = false;
    bool FEditing = false;
    bool FUpdating = false;
    int32_t FBufferCount = 1;
    int32_t FFirstRecord = 0;
};

// A link through which a detail dataset follows its master.
class TDetailDataLink : public TDataLink {
public:
    virtual TDataSet* DetailDataSet() const { return nullptr; }
};

// The link of a detail dataset to its master: FieldNames (';' separated) are resolved to
// the master's fields each time the link becomes active; OnMasterChange is called when
// the master's current record (or one of those fields) changes, OnMasterDisable when
// the master closes or the link has no fields.
class TMasterDataLink : public TDetailDataLink {
public:
    explicit TMasterDataLink(TDataSet* ADataSet) : FDataSet(ADataSet) {}
    TDataSet* DetailDataSet() const override { return FDataSet; }
    const std::string& FieldNames() const { return FFieldNames; }
    void SetFieldNames(const std::string& Value);
    const std::vector<TField*>& Fields() const { return FFields; }
    TNotifyEvent OnMasterChange;
    TNotifyEvent OnMasterDisable;

protected:
    void ActiveChanged() override;
    void CheckBrowseMode() override;
    void LayoutChanged() override { ActiveChanged(); }
    void RecordChanged(TField* Field) override;

private:
    TDataSet* FDataSet;
    std::string FFieldNames;
    std::vector<TField*> FFields;
};

}  // namespace classlib
