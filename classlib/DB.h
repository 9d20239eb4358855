// TDataSet: the dataset base class of the framework, declared whole. Its virtual
// operations are the protocol a concrete dataset implements (the engine's table and
// query components, and test datasets): record buffers and bookmarks, cursor and
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
// - The state (State, SetTempState/RestoreState) and the flags a derived dataset reads.
// A destructor cannot call the hooks of a derived class that is already gone: a
// derived dataset closes itself in its own destructor; this one only frees what it owns.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "classlib/Classes.h"
#include "classlib/DBCommon.h"
#include "classlib/DBDefs.h"
#include "classlib/DBFields.h"
#include "classlib/DBParams.h"
#include "classlib/Variant.h"

namespace classlib {

class TDataSource;  // data sources and links come with the dataset's state machine
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

    // ---- editing (the table component adds its key buffers to both) ----
    virtual void Post();
    virtual void Cancel();

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

    // ---- data sources and events ----
    virtual TDataSource* GetDataSource();
    // Info carries the field of deFieldChange and deRecordChange (or nil).
    virtual void DataEvent(TDataEvent Event, intptr_t Info);
    static intptr_t FieldInfo(TField* Field) { return reinterpret_cast<intptr_t>(Field); }

    // ---- provider support ----
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

    // ---- helpers for derived datasets ----
    void SetState(TDataSetState Value);
    TDataSetState SetTempState(TDataSetState Value);  // returns the state to restore
    void RestoreState(TDataSetState Value);
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

    TDataSetState FState = dsInactive;
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

}  // namespace classlib
