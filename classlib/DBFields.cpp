#include "classlib/DBFields.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "classlib/DB.h"
#include "classlib/NumConv.h"
#include "classlib/VarUtils.h"
#include "classlib/WideStrings.h"

namespace classlib {

namespace {

constexpr const char* kTypeNames[] = {
    "Unknown", "String", "SmallInt", "Integer", "Word", "Boolean", "Float", "Currency", "BCD", "Date",
    "Time", "DateTime", "Bytes", "VarBytes", "AutoInc", "Blob", "Memo", "Graphic", "FmtMemo", "ParadoxOle",
    "DBaseOle", "TypedBinary", "Cursor", "FixedChar", "WideString", "LargeInt", "ADT", "Array", "Reference",
    "DataSet", "OraBlob", "OraClob", "Variant", "Interface", "IDispatch", "Guid", "TimeStamp", "FMTBcd"};

bool IsBlank(std::string_view s) {
    for (char c : s)
        if (c != ' ' && c != '\t') return false;
    return true;
}

double RoundCurrency(double v) { return Variant::FromCurrency(v).AsDouble(); }

// A double rounded to an integer (halves to even) within [Min, Max].
int64_t RoundToInt64(double v) {
    const double r = std::nearbyint(v);
    if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) throw EIntOverflow("Integer overflow");
    return static_cast<int64_t>(r);
}

}  // namespace

std::string FieldTypeName(TFieldType Type) {
    const auto i = static_cast<size_t>(Type);
    return i < std::size(kTypeNames) ? kTypeNames[i] : "Unknown";
}

// ---- TField ----

TField::TField(TComponent* AOwner) : TComponent(AOwner) {}

TField::~TField() {
    if (FDataSet != nullptr) FDataSet->FFields.Remove(this);
}

void TField::SetDataSet(TDataSet* Value) {
    if (Value == FDataSet) return;
    if (FDataSet != nullptr) FDataSet->CheckInactive();
    if (Value != nullptr) {
        Value->CheckInactive();
        if (!FFieldName.empty() && Value->FindField(FFieldName) != nullptr)
            DatabaseErrorFmt("Duplicate field name '%s'", {FFieldName}, Value);
    }
    if (FDataSet != nullptr) FDataSet->FFields.Remove(this);
    FDataSet = Value;
    if (Value != nullptr) Value->FFields.Add(this);
}

void TField::SetFieldName(const std::string& Value) {
    if (Value == FFieldName) return;
    if (FDataSet != nullptr) {
        FDataSet->CheckInactive();
        TField* same = FDataSet->FindField(Value);
        if (same != nullptr && same != this) DatabaseErrorFmt("Duplicate field name '%s'", {Value}, FDataSet);
    }
    FFieldName = Value;
}

void TField::SetFieldKind(TFieldKind Value) {
    if (Value == FFieldKind) return;
    if (FDataSet != nullptr) FDataSet->CheckInactive();
    FFieldKind = Value;
}

void TField::SetSize(int32_t Value) {
    if (FDataSet != nullptr) FDataSet->CheckInactive();
    if (Value < 0) DatabaseErrorFmt("Invalid field size %d for field '%s'", {Value, DisplayName()}, FDataSet);
    FSize = Value;
}

bool TField::IsIndexField() const { return FDataSet != nullptr && FDataSet->GetIsIndexField(const_cast<TField*>(this)); }

bool TField::CanModify() const {
    return !FReadOnly && FDataSet != nullptr && FDataSet->GetCanModify();
}

void TField::CheckDataSet() const {
    if (FDataSet == nullptr) DatabaseErrorFmt("Field '%s' has no dataset", {DisplayName()});
}

void TField::AccessError(const char* TypeName) const {
    DatabaseErrorFmt("Cannot access field '%s' as type %s", {DisplayName(), TypeName}, FDataSet);
}

void TField::RangeError(long double Value, long double Min, long double Max) const {
    DatabaseErrorFmt("%s is not a valid value for field '%s'. The allowed range is %s to %s",
                     {FloatToStr(Value), DisplayName(), FloatToStr(Min), FloatToStr(Max)}, FDataSet);
}

bool TField::GetData(void* Buffer, bool NativeFormat) const {
    CheckDataSet();
    if (FValidating) {
        // Inside OnValidate the field shows the value being validated.
        if (FValueBuffer == nullptr) return false;
        if (Buffer != nullptr) {
            if (NativeFormat)
                std::memcpy(Buffer, FValueBuffer, static_cast<size_t>(DataSize()));
            else
                FDataSet->DataConvert(const_cast<TField*>(this), FValueBuffer, Buffer, false);
        }
        return true;
    }
    return FDataSet->ReadFieldData(const_cast<TField*>(this), Buffer, NativeFormat);
}

void TField::SetData(const void* Buffer, bool NativeFormat) {
    CheckDataSet();
    if (FReadOnly && FFieldKind == fkData && FDataSet->State() != dsSetKey)
        DatabaseErrorFmt("Field '%s' cannot be modified", {DisplayName()}, FDataSet);
    FDataSet->WriteFieldData(this, Buffer, NativeFormat);
}

void TField::Validate(const void* Buffer) {
    if (!OnValidate) return;
    struct Guard {
        const TField& F;
        ~Guard() {
            F.FValidating = false;
            const_cast<TField&>(F).FValueBuffer = nullptr;
        }
    } guard{*this};
    FValidating = true;
    FValueBuffer = Buffer;
    OnValidate(this);
}

void TField::Change() {
    if (OnChange) OnChange(this);
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Clear() { SetData(nullptr); }

Variant TField::GetAsVariant() const { AccessError("Variant"); }

void TField::SetAsVariant(const Variant& V) {
    switch (V.VarType()) {
        case varEmpty: case varNull: Clear(); break;
        case varSmallint: case varInteger: case varShortInt: case varByte: case varWord:
            SetAsIntegerValue(static_cast<int32_t>(V.AsInt64()));
            break;
        case varLongWord: case varInt64: SetAsLargeIntValue(VarToInt64(V)); break;
        case varSingle: case varDouble: SetAsFloatValue(V.AsDouble()); break;
        case varCurrency: SetAsCurrencyValue(V.AsDouble()); break;
        case varDate: SetAsDateTimeValue(V.AsDouble()); break;
        case varBoolean: SetAsBooleanValue(V.AsBoolean()); break;
        case varString: SetAsStringValue(V.AsString()); break;
        case varOleStr: SetAsWideStringValue(V.AsOleStr()); break;
        default: AccessError("Variant");
    }
}

std::u16string TField::GetAsWideString() const { return AnsiToWide(GetAsString()); }
void TField::SetAsWideStringValue(const std::u16string& V) { SetAsStringValue(WideToAnsi(V)); }
double TField::GetAsCurrency() const { return RoundCurrency(GetAsFloat()); }

// ---- TStringField ----

TStringField::TStringField(TComponent* AOwner) : TField(AOwner) {
    SetDataType(ftString);
    SetSize(20);
}

std::string TStringField::IntToStrValue(int64_t V) { return IntToStr(V); }

std::string TStringField::GetAsString() const {
    std::vector<char> buf(static_cast<size_t>(DataSize()) + 1, 0);
    if (!GetData(buf.data())) return {};
    size_t n = 0;
    while (n < static_cast<size_t>(Size()) && buf[n] != 0) ++n;
    return std::string(buf.data(), n);
}

void TStringField::SetAsStringValue(const std::string& V) {
    std::vector<char> buf(static_cast<size_t>(DataSize()), 0);
    const size_t n = std::min(V.size(), static_cast<size_t>(Size()));
    std::memcpy(buf.data(), V.data(), n);
    SetData(buf.data());
}

Variant TStringField::GetAsVariant() const {
    if (IsNull()) return Variant::Null();
    return Variant::FromString(GetAsString());
}

int32_t TStringField::GetAsInteger() const {
    if (IsNull()) return 0;
    return StrToInt(GetAsString());
}

int64_t TStringField::GetAsLargeInt() const {
    if (IsNull()) return 0;
    return StrToInt64(GetAsString());
}

double TStringField::GetAsFloat() const {
    if (IsNull()) return 0;
    return StrToFloat(GetAsString());
}

void TStringField::SetAsFloatValue(double V) { SetAsStringValue(FloatToStr(V)); }

bool TStringField::GetAsBoolean() const {
    const std::string s = GetAsString();
    return !s.empty() && (s[0] == 'T' || s[0] == 't' || s[0] == 'Y' || s[0] == 'y');
}

TDateTime TStringField::GetAsDateTime() const {
    if (IsNull()) return 0;
    return StrToDateTime(GetAsString());
}

void TStringField::SetAsDateTimeValue(TDateTime V) { SetAsStringValue(DateTimeToStr(V)); }

// ---- TWideStringField ----

TWideStringField::TWideStringField(TComponent* AOwner) : TStringField(AOwner) { SetDataType(ftWideString); }

std::u16string TWideStringField::GetAsWideString() const {
    std::u16string ws;
    if (!GetData(&ws, false)) return {};
    return ws;
}

void TWideStringField::SetAsWideStringValue(const std::u16string& V) { SetData(&V, false); }

std::string TWideStringField::GetAsString() const { return WideToAnsi(GetAsWideString()); }

void TWideStringField::SetAsStringValue(const std::string& V) { SetAsWideStringValue(AnsiToWide(V)); }

Variant TWideStringField::GetAsVariant() const {
    if (IsNull()) return Variant::Null();
    return Variant::FromOleStr(GetAsWideString());
}

// ---- TGuidField ----

TGuidField::TGuidField(TComponent* AOwner) : TStringField(AOwner) {
    SetDataType(ftGuid);
    TStringField::SetSize(38);
}

void TGuidField::SetSize(int32_t Value) {
    if (Value != 0 && Value != 38) DatabaseErrorFmt("Invalid field size %d for field '%s'", {Value, DisplayName()}, DataSet());
    TStringField::SetSize(38);
}

// ---- TIntegerField and its kinds ----

TIntegerField::TIntegerField(TComponent* AOwner) : TNumericField(AOwner) { SetDataType(ftInteger); }
TSmallintField::TSmallintField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftSmallint); }
TWordField::TWordField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftWord); }
TAutoIncField::TAutoIncField(TComponent* AOwner) : TIntegerField(AOwner) { SetDataType(ftAutoInc); }

int32_t TIntegerField::DataSize() const { return (DataType() == ftSmallint || DataType() == ftWord) ? 2 : 4; }

bool TIntegerField::ReadValue(int64_t& V) const {
    uint8_t buf[8] = {};
    if (!GetData(buf)) return false;
    switch (DataType()) {
        case ftSmallint: { int16_t x; std::memcpy(&x, buf, 2); V = x; break; }
        case ftWord: { uint16_t x; std::memcpy(&x, buf, 2); V = x; break; }
        default: { int32_t x; std::memcpy(&x, buf, 4); V = x; break; }
    }
    return true;
}

int64_t TIntegerField::GetAsLargeInt() const {
    int64_t v = 0;
    return ReadValue(v) ? v : 0;
}

void TIntegerField::SetAsLargeIntValue(int64_t V) {
    int64_t lo = INT32_MIN, hi = INT32_MAX;
    if (DataType() == ftSmallint) lo = INT16_MIN, hi = INT16_MAX;
    if (DataType() == ftWord) lo = 0, hi = UINT16_MAX;
    if (V < lo || V > hi) RangeError(V, lo, hi);
    uint8_t buf[4] = {};
    if (DataSize() == 2) {
        const auto x = static_cast<uint16_t>(V);
        std::memcpy(buf, &x, 2);
    } else {
        const auto x = static_cast<int32_t>(V);
        std::memcpy(buf, &x, 4);
    }
    SetData(buf);
}

void TIntegerField::SetAsFloatValue(double V) {
    if (!std::isfinite(V) || std::fabs(V) > 4e18) RangeError(V, DataType() == ftWord ? 0 : -2147483648.0L, 2147483647.0L);
    SetAsLargeIntValue(RoundToInt64(V));
}

std::string TIntegerField::GetAsString() const {
    int64_t v;
    return ReadValue(v) ? IntToStr(v) : std::string();
}

void TIntegerField::SetAsStringValue(const std::string& V) {
    if (IsBlank(V)) {
        Clear();
        return;
    }
    SetAsLargeIntValue(StrToInt64(V));
}

Variant TIntegerField::GetAsVariant() const {
    int64_t v;
    if (!ReadValue(v)) return Variant::Null();
    if (DataType() == ftSmallint) return Variant::FromSmallint(static_cast<int16_t>(v));
    return Variant::FromInteger(static_cast<int32_t>(v));
}

// ---- TLargeintField ----

TLargeintField::TLargeintField(TComponent* AOwner) : TNumericField(AOwner) { SetDataType(ftLargeint); }

int64_t TLargeintField::GetAsLargeInt() const {
    int64_t v = 0;
    return GetData(&v) ? v : 0;
}

int32_t TLargeintField::GetAsInteger() const {
    const int64_t v = GetAsLargeInt();
    if (v < INT32_MIN || v > INT32_MAX) throw EIntOverflow("Integer overflow");
    return static_cast<int32_t>(v);
}

void TLargeintField::SetAsLargeIntValue(int64_t V) { SetData(&V); }

void TLargeintField::SetAsFloatValue(double V) {
    if (!std::isfinite(V)) RangeError(V, -9223372036854775807.0L - 1, 9223372036854775807.0L);
    SetAsLargeIntValue(RoundToInt64(V));
}

std::string TLargeintField::GetAsString() const {
    int64_t v = 0;
    return GetData(&v) ? IntToStr(v) : std::string();
}

void TLargeintField::SetAsStringValue(const std::string& V) {
    if (IsBlank(V)) {
        Clear();
        return;
    }
    SetAsLargeIntValue(StrToInt64(V));
}

Variant TLargeintField::GetAsVariant() const {
    int64_t v = 0;
    return GetData(&v) ? Variant::FromInt64(v) : Variant::Null();
}

// ---- TFloatField, TCurrencyField, TBCDField ----

TFloatField::TFloatField(TComponent* AOwner) : TNumericField(AOwner) { SetDataType(ftFloat); }
TCurrencyField::TCurrencyField(TComponent* AOwner) : TFloatField(AOwner) { SetDataType(ftCurrency); }
TBCDField::TBCDField(TComponent* AOwner) : TFloatField(AOwner) { SetDataType(ftBCD); }

double TFloatField::GetAsFloat() const {
    double v = 0;
    return GetData(&v) ? v : 0;
}

void TFloatField::SetAsFloatValue(double V) {
    if (!std::isfinite(V)) DatabaseErrorFmt("'%s' is not a valid value for field '%s'", {FloatToStr(V), DisplayName()}, DataSet());
    SetData(&V);
}

int32_t TFloatField::GetAsInteger() const {
    const int64_t v = RoundToInt64(GetAsFloat());
    if (v < INT32_MIN || v > INT32_MAX) throw EIntOverflow("Integer overflow");
    return static_cast<int32_t>(v);
}

int64_t TFloatField::GetAsLargeInt() const { return RoundToInt64(GetAsFloat()); }

std::string TFloatField::GetAsString() const {
    double v = 0;
    return GetData(&v) ? FloatToStr(v) : std::string();
}

void TFloatField::SetAsStringValue(const std::string& V) {
    if (IsBlank(V)) {
        Clear();
        return;
    }
    SetAsFloatValue(StrToFloat(V));
}

Variant TFloatField::GetAsVariant() const {
    double v = 0;
    return GetData(&v) ? Variant::FromDouble(v) : Variant::Null();
}

Variant TCurrencyField::GetAsVariant() const {
    double v = 0;
    return GetData(&v) ? Variant::FromCurrency(v) : Variant::Null();
}

Variant TBCDField::GetAsVariant() const {
    double v = 0;
    return GetData(&v) ? Variant::FromCurrency(v) : Variant::Null();
}

std::string TBCDField::GetAsString() const {
    double v = 0;
    return GetData(&v) ? CurrToStr(v) : std::string();
}

// ---- TBooleanField ----

TBooleanField::TBooleanField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftBoolean); }

bool TBooleanField::GetAsBoolean() const {
    uint16_t v = 0;
    return GetData(&v) && v != 0;
}

void TBooleanField::SetAsBooleanValue(bool V) {
    const uint16_t w = V ? 0xFFFF : 0;
    SetData(&w);
}

std::string TBooleanField::GetAsString() const {
    uint16_t v = 0;
    if (!GetData(&v)) return {};
    return v != 0 ? "True" : "False";
}

void TBooleanField::SetAsStringValue(const std::string& V) {
    if (IsBlank(V)) {
        Clear();
        return;
    }
    if (SameText(V, "True")) return SetAsBooleanValue(true);
    if (SameText(V, "False")) return SetAsBooleanValue(false);
    DatabaseErrorFmt("'%s' is not a valid boolean value for field '%s'", {V, DisplayName()}, DataSet());
}

Variant TBooleanField::GetAsVariant() const {
    uint16_t v = 0;
    return GetData(&v) ? Variant::FromBoolean(v != 0) : Variant::Null();
}

// ---- TDateTimeField, TDateField, TTimeField ----

TDateTimeField::TDateTimeField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftDateTime); }
TDateField::TDateField(TComponent* AOwner) : TDateTimeField(AOwner) { SetDataType(ftDate); }
TTimeField::TTimeField(TComponent* AOwner) : TDateTimeField(AOwner) { SetDataType(ftTime); }

int32_t TDateTimeField::DataSize() const { return DataType() == ftDateTime ? 8 : 4; }

TDateTime TDateTimeField::GetAsDateTime() const {
    TDateTime v = 0;
    return GetData(&v, false) ? v : 0;
}

void TDateTimeField::SetAsDateTimeValue(TDateTime V) { SetData(&V, false); }

std::string TDateTimeField::GetAsString() const {
    TDateTime v = 0;
    if (!GetData(&v, false)) return {};
    if (DataType() == ftDate) return DateToStr(v);
    if (DataType() == ftTime) return TimeToStr(v);
    return DateTimeToStr(v);
}

void TDateTimeField::SetAsStringValue(const std::string& V) {
    if (IsBlank(V)) {
        Clear();
        return;
    }
    if (DataType() == ftDate)
        SetAsDateTimeValue(StrToDate(V));
    else if (DataType() == ftTime)
        SetAsDateTimeValue(StrToTime(V));
    else
        SetAsDateTimeValue(StrToDateTime(V));
}

Variant TDateTimeField::GetAsVariant() const {
    TDateTime v = 0;
    return GetData(&v, false) ? Variant::FromDate(v) : Variant::Null();
}

TSQLTimeStamp TDateTimeField::GetAsSQLTimeStamp() const {
    TDateTime v = 0;
    return GetData(&v, false) ? DateTimeToSQLTimeStamp(v) : TSQLTimeStamp{};
}

void TDateTimeField::SetAsSQLTimeStampValue(const TSQLTimeStamp& V) { SetAsDateTimeValue(SQLTimeStampToDateTime(V)); }

// ---- TSQLTimeStampField ----

TSQLTimeStampField::TSQLTimeStampField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftTimeStamp); }

TSQLTimeStamp TSQLTimeStampField::GetAsSQLTimeStamp() const {
    TSQLTimeStamp ts;
    return GetData(&ts, false) ? ts : TSQLTimeStamp{};
}

void TSQLTimeStampField::SetAsSQLTimeStampValue(const TSQLTimeStamp& V) {
    SQLTimeStampToDateTime(V);  // refuses a record outside the calendar
    SetData(&V, false);
}

TDateTime TSQLTimeStampField::GetAsDateTime() const {
    TSQLTimeStamp ts;
    return GetData(&ts, false) ? SQLTimeStampToDateTime(ts) : 0;
}

void TSQLTimeStampField::SetAsDateTimeValue(TDateTime V) { SetAsSQLTimeStampValue(DateTimeToSQLTimeStamp(V)); }

std::string TSQLTimeStampField::GetAsString() const {
    TSQLTimeStamp ts;
    return GetData(&ts, false) ? DateTimeToStr(SQLTimeStampToDateTime(ts)) : std::string();
}

void TSQLTimeStampField::SetAsStringValue(const std::string& V) {
    if (IsBlank(V)) {
        Clear();
        return;
    }
    SetAsDateTimeValue(StrToDateTime(V));
}

Variant TSQLTimeStampField::GetAsVariant() const {
    TSQLTimeStamp ts;
    return GetData(&ts, false) ? Variant::FromDate(SQLTimeStampToDateTime(ts)) : Variant::Null();
}

// ---- TBinaryField, TBytesField, TVarBytesField ----

TBytesField::TBytesField(TComponent* AOwner) : TBinaryField(AOwner) {
    SetDataType(ftBytes);
    SetSize(16);
}

TVarBytesField::TVarBytesField(TComponent* AOwner) : TBinaryField(AOwner) {
    SetDataType(ftVarBytes);
    SetSize(16);
}

std::string TBinaryField::GetAsString() const {
    std::vector<char> buf(static_cast<size_t>(DataSize()), 0);
    if (!GetData(buf.data())) return {};
    if (DataType() == ftVarBytes) {
        uint16_t len;
        std::memcpy(&len, buf.data(), 2);
        return std::string(buf.data() + 2, std::min<size_t>(len, static_cast<size_t>(Size())));
    }
    return std::string(buf.data(), buf.size());
}

void TBinaryField::SetAsStringValue(const std::string& V) {
    std::vector<char> buf(static_cast<size_t>(DataSize()), 0);
    const size_t n = std::min(V.size(), static_cast<size_t>(Size()));
    if (DataType() == ftVarBytes) {
        const auto len = static_cast<uint16_t>(n);
        std::memcpy(buf.data(), &len, 2);
        std::memcpy(buf.data() + 2, V.data(), n);
    } else {
        std::memcpy(buf.data(), V.data(), n);
    }
    SetData(buf.data());
}

Variant TBinaryField::GetAsVariant() const {
    if (IsNull()) return Variant::Null();
    const std::string bytes = GetAsString();
    Variant v = Variant::CreateArray({{0, static_cast<int32_t>(bytes.size()) - 1}}, varByte);
    for (size_t i = 0; i < bytes.size(); ++i)
        v.PutElement({static_cast<int32_t>(i)}, Variant::FromByte(static_cast<uint8_t>(bytes[i])));
    return v;
}

void TBinaryField::SetAsVariant(const Variant& V) {
    if (!V.IsArray()) return TField::SetAsVariant(V);
    if (V.ArrayDimCount() != 1) AccessError("Variant");
    std::string bytes;
    for (int32_t i = V.ArrayLowBound(1); i <= V.ArrayHighBound(1); ++i)
        bytes.push_back(static_cast<char>(VarToInt64(V.GetElement({i}))));
    SetAsStringValue(bytes);
}

// ---- TBlobField, TMemoField, TGraphicField ----

TBlobField::TBlobField(TComponent* AOwner) : TField(AOwner) { SetDataType(ftBlob); }
TMemoField::TMemoField(TComponent* AOwner) : TBlobField(AOwner) { SetDataType(ftMemo); }
TGraphicField::TGraphicField(TComponent* AOwner) : TBlobField(AOwner) { SetDataType(ftGraphic); }

std::unique_ptr<TStream> TBlobField::OpenStream(TBlobStreamMode Mode) const {
    CheckDataSet();
    if (Mode != bmRead && ReadOnly()) DatabaseErrorFmt("Field '%s' cannot be modified", {DisplayName()}, DataSet());
    std::unique_ptr<TStream> s = DataSet()->CreateBlobStream(const_cast<TBlobField*>(this), Mode);
    if (!s) DatabaseErrorFmt("Cannot open BLOB field '%s'", {DisplayName()}, DataSet());
    return s;
}

void TBlobField::WriteAll(TStream& Blob, const void* Data, int64_t Count) const {
    const int64_t written = Count > 0 ? Blob.Write(Data, Count) : 0;
    if (written != Count)
        DatabaseErrorFmt("BLOB field '%s' stored %d of %d bytes", {DisplayName(), written, Count}, DataSet());
}

int64_t TBlobField::BlobSize() const { return OpenStream(bmRead)->Size(); }

void TBlobField::LoadFromStream(TStream& Stream) {
    std::unique_ptr<TStream> blob = OpenStream(bmWrite);
    Stream.SetPosition(0);
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        const int64_t n = Stream.Read(buffer.data(), static_cast<int64_t>(buffer.size()));
        if (n <= 0) break;
        WriteAll(*blob, buffer.data(), n);
    }
}

void TBlobField::SaveToStream(TStream& Stream) {
    std::unique_ptr<TStream> blob = OpenStream(bmRead);
    blob->SetPosition(0);
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        const int64_t n = blob->Read(buffer.data(), static_cast<int64_t>(buffer.size()));
        if (n <= 0) break;
        Stream.WriteBuffer(buffer.data(), n);
    }
}

bool TBlobField::IsNull() const {
    // A BLOB written through a stream is null exactly when it is empty.
    if (FModified) return OpenStream(bmRead)->Size() == 0;
    return TField::IsNull();
}

void TBlobField::Clear() { OpenStream(bmWrite); }

std::string TBlobField::GetAsString() const {
    CheckDataSet();
    std::string s;
    if (DataSet()->GetBlobValue(const_cast<TBlobField*>(this), s)) return s;
    std::unique_ptr<TStream> blob = OpenStream(bmRead);
    const int64_t size = blob->Size();
    s.assign(static_cast<size_t>(std::max<int64_t>(size, 0)), '\0');
    blob->SetPosition(0);
    blob->ReadBuffer(s.data(), static_cast<int64_t>(s.size()));
    return s;
}

void TBlobField::SetAsStringValue(const std::string& V) {
    std::unique_ptr<TStream> blob = OpenStream(bmWrite);
    WriteAll(*blob, V.data(), static_cast<int64_t>(V.size()));
}

Variant TBlobField::GetAsVariant() const {
    if (IsNull()) return Variant::Null();
    return Variant::FromString(GetAsString());
}

void TBlobField::SetAsVariant(const Variant& V) {
    if (V.IsNull() || V.IsEmpty()) return Clear();
    if (V.IsArray()) {
        std::string bytes;
        for (int32_t i = V.ArrayLowBound(1); i <= V.ArrayHighBound(1); ++i)
            bytes.push_back(static_cast<char>(VarToInt64(V.GetElement({i}))));
        return SetAsStringValue(bytes);
    }
    SetAsStringValue(VarToStr(V));
}

// ---- field classes by type ----

TField* CreateFieldOfType(TFieldType Type, TComponent* Owner) {
    TField* f = nullptr;
    switch (Type) {
        case ftString: case ftFixedChar: f = new TStringField(Owner); break;
        case ftWideString: f = new TWideStringField(Owner); break;
        case ftGuid: f = new TGuidField(Owner); break;
        case ftSmallint: f = new TSmallintField(Owner); break;
        case ftInteger: f = new TIntegerField(Owner); break;
        case ftWord: f = new TWordField(Owner); break;
        case ftAutoInc: f = new TAutoIncField(Owner); break;
        case ftLargeint: f = new TLargeintField(Owner); break;
        case ftFloat: f = new TFloatField(Owner); break;
        case ftCurrency: f = new TCurrencyField(Owner); break;
        case ftBCD: f = new TBCDField(Owner); break;
        case ftBoolean: f = new TBooleanField(Owner); break;
        case ftDate: f = new TDateField(Owner); break;
        case ftTime: f = new TTimeField(Owner); break;
        case ftDateTime: f = new TDateTimeField(Owner); break;
        case ftTimeStamp: f = new TSQLTimeStampField(Owner); break;
        case ftBytes: f = new TBytesField(Owner); break;
        case ftVarBytes: f = new TVarBytesField(Owner); break;
        case ftMemo: case ftFmtMemo: case ftOraClob: f = new TMemoField(Owner); break;
        case ftGraphic: f = new TGraphicField(Owner); break;
        case ftBlob: case ftParadoxOle: case ftDBaseOle: case ftTypedBinary: case ftOraBlob:
            f = new TBlobField(Owner);
            break;
        default: return nullptr;
    }
    f->SetDataType(Type);
    return f;
}

// ---- TFields ----

TField* TFields::Fields(int Index) const {
    if (Index < 0 || Index >= Count()) DatabaseErrorFmt("Field index %d out of range", {Index}, FDataSet);
    return FList[static_cast<size_t>(Index)];
}

int TFields::IndexOf(const TField* Field) const {
    for (size_t i = 0; i < FList.size(); ++i)
        if (FList[i] == Field) return static_cast<int>(i);
    return -1;
}

TField* TFields::FindField(std::string_view FieldName) const {
    for (TField* f : FList)
        if (SameText(f->FieldName(), FieldName)) return f;
    return nullptr;
}

TField* TFields::FieldByName(std::string_view FieldName) const {
    TField* f = FindField(FieldName);
    if (f == nullptr) DatabaseErrorFmt("Field '%s' not found", {FieldName}, FDataSet);
    return f;
}

TField* TFields::FieldByNumber(int32_t FieldNo) const {
    for (TField* f : FList)
        if (f->FieldNo() == FieldNo) return f;
    return nullptr;
}

void TFields::Remove(TField* Field) { FList.erase(std::remove(FList.begin(), FList.end(), Field), FList.end()); }

}  // namespace classlib
