#include "classlib/DBParams.h"

#include "classlib/Streaming.h"

#include "classlib/DBDefs.h"
#include "classlib/DBFields.h"
#include "classlib/VarUtils.h"

namespace classlib {

namespace {

TFieldType TypeOfVariant(TVarType t, TFieldType current) {
    switch (t) {
        case varSmallint: return ftSmallint;
        case varInteger: case varShortInt: case varByte: return ftInteger;
        case varWord: return ftWord;
        case varLongWord: case varInt64: return ftLargeint;
        case varSingle: case varDouble: return ftFloat;
        case varCurrency: return ftCurrency;
        case varDate: return ftDateTime;
        case varBoolean: return ftBoolean;
        case varString: return ftString;
        case varOleStr: return ftWideString;
        default: return current;
    }
}

bool IsNameChar(char c) {
    const auto b = static_cast<unsigned char>(c);
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '$' ||
           c == '#' || c == '@' || b >= 0x80;
}

}  // namespace

// ---- TParam ----

TParam::TParam(TParams* ACollection, std::string AName, TParamType AParamType)
    : FCollection(ACollection), FName(std::move(AName)), FParamType(AParamType) {}

void TParam::SetValue(const Variant& Value) {
    if (FDataType == ftUnknown) FDataType = TypeOfVariant(Value.VarType(), FDataType);
    FValue = Value;
    FBound = !Value.IsEmpty();
}

void TParam::Clear() {
    FValue = Variant::Null();
    FBound = true;
}

std::string TParam::AsString() const { return IsNull() ? std::string() : VarToStr(FValue); }
int32_t TParam::AsInteger() const {
    const int64_t v = AsLargeInt();
    if (v < INT32_MIN || v > INT32_MAX) throw EIntOverflow("Integer overflow");
    return static_cast<int32_t>(v);
}
int64_t TParam::AsLargeInt() const { return IsNull() ? 0 : VarToInt64(FValue); }
double TParam::AsFloat() const { return IsNull() ? 0 : VarToDouble(FValue); }
double TParam::AsCurrency() const { return IsNull() ? 0 : Variant::FromCurrency(VarToDouble(FValue)).AsDouble(); }
bool TParam::AsBoolean() const { return IsNull() ? false : VarToBoolean(FValue); }
TDateTime TParam::AsDateTime() const { return IsNull() ? 0 : VarToDateTime(FValue); }

void TParam::SetAsString(const std::string& Value) { SetTypedValue(ftString, Variant::FromString(Value)); }
void TParam::SetAsInteger(int32_t Value) { SetTypedValue(ftInteger, Variant::FromInteger(Value)); }
void TParam::SetAsLargeInt(int64_t Value) { SetTypedValue(ftLargeint, Variant::FromInt64(Value)); }
void TParam::SetAsFloat(double Value) { SetTypedValue(ftFloat, Variant::FromDouble(Value)); }
void TParam::SetAsCurrency(double Value) { SetTypedValue(ftCurrency, Variant::FromCurrency(Value)); }
void TParam::SetAsBoolean(bool Value) { SetTypedValue(ftBoolean, Variant::FromBoolean(Value)); }
void TParam::SetAsDateTime(TDateTime Value) { SetTypedValue(ftDateTime, Variant::FromDate(Value)); }
void TParam::SetAsBlob(const std::string& Value) { SetTypedValue(ftBlob, Variant::FromString(Value)); }
void TParam::SetAsMemo(const std::string& Value) { SetTypedValue(ftMemo, Variant::FromString(Value)); }

void TParam::SetTypedValue(TFieldType Type, const Variant& Value) {
    FDataType = Type;
    SetValue(Value);
}

void TParam::AssignField(const TField* Field) {
    if (Field == nullptr) return;
    AssignFieldValue(Field, Field->Value());
    FName = Field->FieldName();
}

void TParam::AssignFieldValue(const TField* Field, const Variant& Value) {
    if (Field == nullptr) return;
    FDataType = Field->DataType();
    FValue = Value.IsEmpty() ? Variant::Null() : Value;
    FBound = true;
}

void TParam::Assign(const TPersistent* Source) {
    if (const auto* src = dynamic_cast<const TParam*>(Source)) {
        FName = src->FName;
        FDataType = src->FDataType;
        FParamType = src->FParamType;
        FValue = src->FValue;
        FBound = src->FBound;
        return;
    }
    TPersistent::Assign(Source);
}

// ---- TParams ----

TParam* TParams::Items(int Index) const {
    if (Index < 0 || Index >= Count()) DatabaseErrorFmt("Parameter index %d out of range", {Index}, FOwner);
    return FItems[static_cast<size_t>(Index)].get();
}

TParam* TParams::CreateParam(TFieldType FldType, const std::string& ParamName, TParamType ParamType) {
    FItems.push_back(std::make_unique<TParam>(this, ParamName, ParamType));
    FItems.back()->SetDataType(FldType);
    return FItems.back().get();
}

TParam* TParams::FindParam(std::string_view Value) const {
    for (const auto& p : FItems)
        if (SameText(p->Name(), Value)) return p.get();
    return nullptr;
}

TParam* TParams::ParamByName(std::string_view Value) const {
    TParam* p = FindParam(Value);
    if (p == nullptr) DatabaseErrorFmt("Parameter '%s' not found", {Value}, FOwner);
    return p;
}

void TParams::Assign(const TPersistent* Source) {
    if (const auto* src = dynamic_cast<const TParams*>(Source)) {
        if (src == this) return;
        std::vector<std::unique_ptr<TParam>> items;
        for (const auto& p : src->FItems) {
            items.push_back(std::make_unique<TParam>(this));
            items.back()->Assign(p.get());
        }
        FItems = std::move(items);
        return;
    }
    TPersistent::Assign(Source);
}

void TParams::AssignValues(const TParams& Value) {
    for (const auto& src : Value.FItems) {
        TParam* p = FindParam(src->Name());
        if (p == nullptr || p == src.get()) continue;
        p->SetDataType(src->DataType());
        p->SetValue(src->Value());
        p->SetBound(src->Bound());
    }
}

bool TParams::IsEqual(const TParams& Value) const {
    if (FItems.size() != Value.FItems.size()) return false;
    for (size_t i = 0; i < FItems.size(); ++i) {
        const TParam& a = *FItems[i];
        const TParam& b = *Value.FItems[i];
        if (a.Name() != b.Name() || a.DataType() != b.DataType() || a.ParamType() != b.ParamType() ||
            a.Bound() != b.Bound() || !(a.Value() == b.Value()))
            return false;
    }
    return true;
}

void TParams::WriteData(TWriter& Writer) const {
    Writer.WriteCollectionBegin();
    for (const auto& p : FItems) {
        Writer.WriteItem([&p](TWriter& W) {
            W.WriteName("Name");
            W.WriteString(p->Name());
            W.WriteName("DataType");
            W.WriteInteger(static_cast<int64_t>(p->DataType()));
            W.WriteName("ParamType");
            W.WriteInteger(static_cast<int64_t>(p->ParamType()));
            W.WriteName("Bound");
            W.WriteBoolean(p->Bound());
            if (!p->Value().IsEmpty()) {
                W.WriteName("Value");
                W.WriteVariant(p->Value());
            }
        });
    }
    Writer.WriteCollectionEnd();
}

void TParams::ReadData(TReader& Reader) {
    Reader.ReadCollectionBegin();
    std::vector<std::unique_ptr<TParam>> items;
    while (!Reader.EndOfList()) {
        auto p = std::make_unique<TParam>(this);
        bool bound = false;
        for (std::string name = Reader.ReadName(); !name.empty(); name = Reader.ReadName()) {
            if (name == "Name") {
                p->SetName(Reader.ReadString());
            } else if (name == "DataType") {
                const int64_t t = Reader.ReadInteger();
                if (t < 0 || t > static_cast<int64_t>(ftFMTBcd)) throw EReadError("Invalid property value");
                p->SetDataType(static_cast<TFieldType>(t));
            } else if (name == "ParamType") {
                const int64_t t = Reader.ReadInteger();
                if (t < 0 || t > static_cast<int64_t>(ptResult)) throw EReadError("Invalid property value");
                p->SetParamType(static_cast<TParamType>(t));
            } else if (name == "Bound") {
                bound = Reader.ReadBoolean();
            } else if (name == "Value") {
                const TFieldType type = p->DataType();
                p->SetValue(Reader.ReadVariant());
                p->SetDataType(type);
            } else {
                throw EReadError("Error reading TParam." + name + ": Property " + name + " does not exist");
            }
        }
        p->SetBound(bound);
        items.push_back(std::move(p));
    }
    FItems = std::move(items);
}

std::string TParams::ParseSQL(std::string_view SQL, bool DoCreate) {
    std::string out;
    out.reserve(SQL.size());
    size_t i = 0;
    while (i < SQL.size()) {
        const char c = SQL[i];
        if (c == '\'' || c == '"') {
            // Quoted text goes out unchanged up to its closing quote (or the end).
            const size_t close = SQL.find(c, i + 1);
            const size_t end = close == std::string_view::npos ? SQL.size() : close + 1;
            out.append(SQL.substr(i, end - i));
            i = end;
        } else if (c == ':' && i + 1 < SQL.size() && SQL[i + 1] == ':') {
            out.push_back(':');
            i += 2;
        } else if (c == ':' && i + 1 < SQL.size() && IsNameChar(SQL[i + 1])) {
            size_t end = i + 1;
            while (end < SQL.size() && IsNameChar(SQL[end])) ++end;
            const std::string name(SQL.substr(i + 1, end - i - 1));
            if (DoCreate && FindParam(name) == nullptr) CreateParam(ftUnknown, name, ptUnknown);
            out.push_back('?');
            i = end;
        } else {
            out.push_back(c);
            ++i;
        }
    }
    return out;
}

}  // namespace classlib
