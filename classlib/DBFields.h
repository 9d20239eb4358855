// Field objects: one class per field type the engine maps, and TFields, a dataset's
// list of them.
//
// A field keeps no value of its own. Every read and write goes through its dataset's
// field-data operations (TDataSet::ReadFieldData / WriteFieldData and from there the
// GetFieldData / SetFieldData hooks) in the framework's buffer forms:
//   string, fixed char, GUID   zero-terminated 8-bit text, Size + 1 bytes
//   wide string                zero-terminated UTF-16, (Size + 1) x 2 bytes
//   smallint, word, Boolean    Int16, UInt16, UInt16 (0 false, 0xFFFF true)
//   integer, auto-increment    Int32
//   large integer              Int64
//   float, currency, BCD       Double
//   date                       Int32 days, 693594 = 1899-12-30
//   time                       Int32 milliseconds since midnight
//   date-time                  Double milliseconds of (TDateTime + 693594)
//   SQL timestamp              TSQLTimeStamp
//   bytes, var-bytes           Size bytes; UInt16 length then Size bytes
// Date, time, date-time, SQL timestamp and wide-string fields read and write in their
// value form (TDateTime, TSQLTimeStamp, std::u16string) and leave the conversion to the
// dataset's DataConvert hook. BLOB fields read and write through the dataset's
// CreateBlobStream. Text forms use the fixed formats only, never the process locale.
// A null value reads as "", 0, False or 0.0; setting "" on a non-text field clears it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/DBCommon.h"
#include "classlib/Variant.h"

namespace classlib {

class TDataSet;
class TFieldDef;

// The type's name as messages show it ("String", "Integer", ...).
std::string FieldTypeName(TFieldType Type);

using TFieldNotifyEvent = std::function<void(class TField* Sender)>;

class TField : public TComponent {
public:
    explicit TField(TComponent* AOwner);
    // Leaves its dataset's field list.
    ~TField() override;
    std::string ClassName() const override { return "TField"; }

    TDataSet* DataSet() const { return FDataSet; }
    // Joins DataSet's fields (both datasets must be closed); names are unique per dataset.
    void SetDataSet(TDataSet* Value);
    const std::string& FieldName() const { return FFieldName; }
    void SetFieldName(const std::string& Value);
    // 1-based position of a data field's definition; -1 for fields of the calculated
    // area; 0 while unbound.
    int32_t FieldNo() const { return FFieldNo; }
    TFieldKind FieldKind() const { return FFieldKind; }
    void SetFieldKind(TFieldKind Value);
    bool Calculated() const { return FFieldKind == fkCalculated; }
    bool Lookup() const { return FFieldKind == fkLookup; }
    // Kept in the dataset's calculated-fields area rather than in the record.
    bool InCalcArea() const { return FFieldKind != fkData; }
    TFieldType DataType() const { return FDataType; }
    int32_t Size() const { return FSize; }
    virtual void SetSize(int32_t Value);
    // Bytes of the buffer form above.
    virtual int32_t DataSize() const { return 0; }
    // Offset of the has-value byte in the calculated-fields area.
    int32_t Offset() const { return FOffset; }
    const std::string& DisplayLabel() const { return FDisplayLabel; }
    void SetDisplayLabel(const std::string& Value) { FDisplayLabel = Value; }
    const std::string& DisplayName() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
    bool Required() const { return FRequired; }
    void SetRequired(bool Value) { FRequired = Value; }
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value) { FReadOnly = Value; }
    virtual bool IsBlob() const { return false; }
    bool IsIndexField() const;
    bool CanModify() const;

    // Values.
    virtual bool IsNull() const;
    virtual void Clear();
    Variant Value() const { return GetAsVariant(); }
    void SetValue(const Variant& V) { SetAsVariant(V); }
    std::string AsString() const { return GetAsString(); }
    void SetAsString(const std::string& V) { SetAsStringValue(V); }
    std::u16string AsWideString() const { return GetAsWideString(); }
    void SetAsWideString(const std::u16string& V) { SetAsWideStringValue(V); }
    int32_t AsInteger() const { return GetAsInteger(); }
    void SetAsInteger(int32_t V) { SetAsIntegerValue(V); }
    int64_t AsLargeInt() const { return GetAsLargeInt(); }
    void SetAsLargeInt(int64_t V) { SetAsLargeIntValue(V); }
    double AsFloat() const { return GetAsFloat(); }
    void SetAsFloat(double V) { SetAsFloatValue(V); }
    double AsCurrency() const { return GetAsCurrency(); }
    void SetAsCurrency(double V) { SetAsCurrencyValue(V); }
    bool AsBoolean() const { return GetAsBoolean(); }
    void SetAsBoolean(bool V) { SetAsBooleanValue(V); }
    TDateTime AsDateTime() const { return GetAsDateTime(); }
    void SetAsDateTime(TDateTime V) { SetAsDateTimeValue(V); }
    TSQLTimeStamp AsSQLTimeStamp() const { return GetAsSQLTimeStamp(); }
    void SetAsSQLTimeStamp(const TSQLTimeStamp& V) { SetAsSQLTimeStampValue(V); }
    std::string DisplayText() const { return GetAsString(); }

    // Raw access in the buffer forms (NativeFormat) or the value forms. A nil Buffer
    // asks only whether there is a value / sets the value null.
    bool GetData(void* Buffer, bool NativeFormat = true) const;
    void SetData(const void* Buffer, bool NativeFormat = true);
    // Runs OnValidate with Buffer (native form) as the field's value for the duration.
    void Validate(const void* Buffer);
    // Fires OnChange; the dataset calls it when the field's value changed.
    void Change();

    TFieldNotifyEvent OnValidate;
    TFieldNotifyEvent OnChange;

protected:
    void SetDataType(TFieldType Value) { FDataType = Value; }
    [[noreturn]] void AccessError(const char* TypeName) const;
    [[noreturn]] void RangeError(long double Value, long double Min, long double Max) const;
    void CheckDataSet() const;

    virtual Variant GetAsVariant() const;
    virtual void SetAsVariant(const Variant& V);
    virtual std::string GetAsString() const { AccessError("String"); }
    virtual void SetAsStringValue(const std::string&) { AccessError("String"); }
    virtual std::u16string GetAsWideString() const;
    virtual void SetAsWideStringValue(const std::u16string& V);
    virtual int32_t GetAsInteger() const { AccessError("Integer"); }
    virtual void SetAsIntegerValue(int32_t) { AccessError("Integer"); }
    virtual int64_t GetAsLargeInt() const { AccessError("LargeInt"); }
    virtual void SetAsLargeIntValue(int64_t) { AccessError("LargeInt"); }
    virtual double GetAsFloat() const { AccessError("Float"); }
    virtual void SetAsFloatValue(double) { AccessError("Float"); }
    virtual double GetAsCurrency() const;
    virtual void SetAsCurrencyValue(double V) { SetAsFloatValue(V); }
    virtual bool GetAsBoolean() const { AccessError("Boolean"); }
    virtual void SetAsBooleanValue(bool) { AccessError("Boolean"); }
    virtual TDateTime GetAsDateTime() const { AccessError("DateTime"); }
    virtual void SetAsDateTimeValue(TDateTime) { AccessError("DateTime"); }
    virtual TSQLTimeStamp GetAsSQLTimeStamp() const { AccessError("SQLTimeStamp"); }
    virtual void SetAsSQLTimeStampValue(const TSQLTimeStamp&) { AccessError("SQLTimeStamp"); }

private:
    friend class TDataSet;
    friend TField* CreateFieldOfType(TFieldType Type, TComponent* Owner);
    TDataSet* FDataSet = nullptr;
    std::string FFieldName;
    int32_t FFieldNo = 0;
    TFieldKind FFieldKind = fkData;
    TFieldType FDataType = ftUnknown;
    int32_t FSize = 0;
    int32_t FOffset = 0;
    std::string FDisplayLabel;
    bool FRequired = false;
    bool FReadOnly = false;
    // Set while OnValidate runs: reads see the value being validated.
    mutable bool FValidating = false;
    const void* FValueBuffer = nullptr;
};

// ---- text ----

class TStringField : public TField {
public:
    explicit TStringField(TComponent* AOwner);
    std::string ClassName() const override { return "TStringField"; }
    int32_t DataSize() const override { return Size() + 1; }
    // Values longer than Size are cut to Size characters.

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    int32_t GetAsInteger() const override;
    void SetAsIntegerValue(int32_t V) override { SetAsStringValue(IntToStrValue(V)); }
    int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(int64_t V) override { SetAsStringValue(IntToStrValue(V)); }
    double GetAsFloat() const override;
    void SetAsFloatValue(double V) override;
    bool GetAsBoolean() const override;
    void SetAsBooleanValue(bool V) override { SetAsStringValue(V ? "True" : "False"); }
    TDateTime GetAsDateTime() const override;
    void SetAsDateTimeValue(TDateTime V) override;

private:
    static std::string IntToStrValue(int64_t V);
};

class TWideStringField : public TStringField {
public:
    explicit TWideStringField(TComponent* AOwner);
    std::string ClassName() const override { return "TWideStringField"; }
    int32_t DataSize() const override { return (Size() + 1) * 2; }

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    std::u16string GetAsWideString() const override;
    void SetAsWideStringValue(const std::u16string& V) override;
    Variant GetAsVariant() const override;
};

// A GUID as text "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}": its size is always 38.
class TGuidField : public TStringField {
public:
    explicit TGuidField(TComponent* AOwner);
    std::string ClassName() const override { return "TGuidField"; }
    // 0 and 38 give 38; any other size raises.
    void SetSize(int32_t Value) override;
};

// ---- numbers ----

class TNumericField : public TField {
public:
    using TField::TField;
    std::string ClassName() const override { return "TNumericField"; }
};

// Smallint, integer, word and auto-increment fields: the value range is the type's.
class TIntegerField : public TNumericField {
public:
    explicit TIntegerField(TComponent* AOwner);
    std::string ClassName() const override { return "TIntegerField"; }
    int32_t DataSize() const override;

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    int32_t GetAsInteger() const override { return static_cast<int32_t>(GetAsLargeInt()); }
    void SetAsIntegerValue(int32_t V) override { SetAsLargeIntValue(V); }
    int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(int64_t V) override;
    double GetAsFloat() const override { return static_cast<double>(GetAsLargeInt()); }
    void SetAsFloatValue(double V) override;

private:
    bool ReadValue(int64_t& V) const;
};

class TSmallintField : public TIntegerField {
public:
    explicit TSmallintField(TComponent* AOwner);
    std::string ClassName() const override { return "TSmallintField"; }
};

class TWordField : public TIntegerField {
public:
    explicit TWordField(TComponent* AOwner);
    std::string ClassName() const override { return "TWordField"; }
};

class TAutoIncField : public TIntegerField {
public:
    explicit TAutoIncField(TComponent* AOwner);
    std::string ClassName() const override { return "TAutoIncField"; }
};

class TLargeintField : public TNumericField {
public:
    explicit TLargeintField(TComponent* AOwner);
    std::string ClassName() const override { return "TLargeintField"; }
    int32_t DataSize() const override { return 8; }

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    int32_t GetAsInteger() const override;
    void SetAsIntegerValue(int32_t V) override { SetAsLargeIntValue(V); }
    int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(int64_t V) override;
    double GetAsFloat() const override { return static_cast<double>(GetAsLargeInt()); }
    void SetAsFloatValue(double V) override;
};

// Float, currency and BCD fields hold a Double; currency and BCD read back as
// amounts rounded to four decimals.
class TFloatField : public TNumericField {
public:
    explicit TFloatField(TComponent* AOwner);
    std::string ClassName() const override { return "TFloatField"; }
    int32_t DataSize() const override { return 8; }

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    int32_t GetAsInteger() const override;
    void SetAsIntegerValue(int32_t V) override { SetAsFloatValue(V); }
    int64_t GetAsLargeInt() const override;
    void SetAsLargeIntValue(int64_t V) override { SetAsFloatValue(static_cast<double>(V)); }
    double GetAsFloat() const override;
    void SetAsFloatValue(double V) override;
};

class TCurrencyField : public TFloatField {
public:
    explicit TCurrencyField(TComponent* AOwner);
    std::string ClassName() const override { return "TCurrencyField"; }

protected:
    Variant GetAsVariant() const override;
};

class TBCDField : public TFloatField {
public:
    explicit TBCDField(TComponent* AOwner);
    std::string ClassName() const override { return "TBCDField"; }

protected:
    Variant GetAsVariant() const override;
    std::string GetAsString() const override;
};

// ---- Boolean, dates and times ----

class TBooleanField : public TField {
public:
    explicit TBooleanField(TComponent* AOwner);
    std::string ClassName() const override { return "TBooleanField"; }
    int32_t DataSize() const override { return 2; }

protected:
    std::string GetAsString() const override;   // "True", "False", "" when null
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    bool GetAsBoolean() const override;
    void SetAsBooleanValue(bool V) override;
};

// Date, time and date-time fields by DataType; the value form is TDateTime.
class TDateTimeField : public TField {
public:
    explicit TDateTimeField(TComponent* AOwner);
    std::string ClassName() const override { return "TDateTimeField"; }
    int32_t DataSize() const override;

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    double GetAsFloat() const override { return GetAsDateTime(); }
    void SetAsFloatValue(double V) override { SetAsDateTimeValue(V); }
    TDateTime GetAsDateTime() const override;
    void SetAsDateTimeValue(TDateTime V) override;
    TSQLTimeStamp GetAsSQLTimeStamp() const override;
    void SetAsSQLTimeStampValue(const TSQLTimeStamp& V) override;
};

class TDateField : public TDateTimeField {
public:
    explicit TDateField(TComponent* AOwner);
    std::string ClassName() const override { return "TDateField"; }
};

class TTimeField : public TDateTimeField {
public:
    explicit TTimeField(TComponent* AOwner);
    std::string ClassName() const override { return "TTimeField"; }
};

class TSQLTimeStampField : public TField {
public:
    explicit TSQLTimeStampField(TComponent* AOwner);
    std::string ClassName() const override { return "TSQLTimeStampField"; }
    int32_t DataSize() const override { return static_cast<int32_t>(sizeof(TSQLTimeStamp)); }

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    double GetAsFloat() const override { return GetAsDateTime(); }
    void SetAsFloatValue(double V) override { SetAsDateTimeValue(V); }
    TDateTime GetAsDateTime() const override;
    void SetAsDateTimeValue(TDateTime V) override;
    TSQLTimeStamp GetAsSQLTimeStamp() const override;
    void SetAsSQLTimeStampValue(const TSQLTimeStamp& V) override;
};

// ---- bytes ----

// The bytes as a string, or as a Variant array of bytes.
class TBinaryField : public TField {
public:
    using TField::TField;
    std::string ClassName() const override { return "TBinaryField"; }

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& V) override;
};

class TBytesField : public TBinaryField {
public:
    explicit TBytesField(TComponent* AOwner);
    std::string ClassName() const override { return "TBytesField"; }
    int32_t DataSize() const override { return Size(); }
};

class TVarBytesField : public TBinaryField {
public:
    explicit TVarBytesField(TComponent* AOwner);
    std::string ClassName() const override { return "TVarBytesField"; }
    int32_t DataSize() const override { return Size() + 2; }
};

// ---- BLOBs ----

// A BLOB's value lives behind a stream of the dataset (CreateBlobStream); a stream that
// takes fewer bytes than it is given raises EDatabaseError, so no value is cut short
// silently. Modified is set by the dataset's stream when it was written to.
class TBlobField : public TField {
public:
    explicit TBlobField(TComponent* AOwner);
    std::string ClassName() const override { return "TBlobField"; }
    bool IsBlob() const override { return true; }

    bool Modified() const { return FModified; }
    void SetModified(bool Value) { FModified = Value; }
    int64_t BlobSize() const;
    void LoadFromStream(TStream& Stream);  // the whole of Stream from its start
    void SaveToStream(TStream& Stream);    // appended at Stream's position

    bool IsNull() const override;
    void Clear() override;

protected:
    std::string GetAsString() const override;
    void SetAsStringValue(const std::string& V) override;
    Variant GetAsVariant() const override;
    void SetAsVariant(const Variant& V) override;
    std::unique_ptr<TStream> OpenStream(TBlobStreamMode Mode) const;
    void WriteAll(TStream& Blob, const void* Data, int64_t Count) const;

private:
    bool FModified = false;
};

class TMemoField : public TBlobField {
public:
    explicit TMemoField(TComponent* AOwner);
    std::string ClassName() const override { return "TMemoField"; }
};

class TGraphicField : public TBlobField {
public:
    explicit TGraphicField(TComponent* AOwner);
    std::string ClassName() const override { return "TGraphicField"; }
};

// A new field of the class that shows Type (with DataType set to Type), owned by
// Owner; nullptr for a type no field class shows.
TField* CreateFieldOfType(TFieldType Type, TComponent* Owner);

// A dataset's fields in order. The list does not own them: a field belongs to its
// owner component and leaves the list when it dies.
class TFields {
public:
    explicit TFields(TDataSet* ADataSet) : FDataSet(ADataSet) {}
    TFields(const TFields&) = delete;
    TFields& operator=(const TFields&) = delete;

    TDataSet* DataSet() const { return FDataSet; }
    int Count() const { return static_cast<int>(FList.size()); }
    TField* Fields(int Index) const;
    TField* operator[](int Index) const { return Fields(Index); }
    int IndexOf(const TField* Field) const;
    TField* FindField(std::string_view FieldName) const;   // ignoring case; nil when absent
    TField* FieldByName(std::string_view FieldName) const; // raises "Field '%s' not found"
    TField* FieldByNumber(int32_t FieldNo) const;          // nil when absent

    std::vector<TField*>::const_iterator begin() const { return FList.begin(); }
    std::vector<TField*>::const_iterator end() const { return FList.end(); }

private:
    friend class TField;
    friend class TDataSet;
    void Add(TField* Field) { FList.push_back(Field); }
    void Remove(TField* Field);

    TDataSet* FDataSet;
    std::vector<TField*> FList;
};

}  // namespace classlib
