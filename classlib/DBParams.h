// Parameters of an SQL text: TParam (name, data type, parameter type, value, null and
// bound flags) and the owned list TParams with ParseSQL.
//
// ParseSQL finds each ":name" outside quoted text. The contents of '...' and "..." are
// copied unchanged, so a colon inside quotes is never a parameter; "::" stands for one
// literal colon; a colon not followed by a name character stays as it is. Each
// parameter becomes "?" in the returned text. Parameter names compare ignoring case.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/DBCommon.h"
#include "classlib/Variant.h"

namespace classlib {

class TField;
class TParams;
class TReader;
class TWriter;

class TParam : public TPersistent {
public:
    explicit TParam(TParams* ACollection, std::string AName = {}, TParamType AParamType = ptUnknown);
    std::string ClassName() const override { return "TParam"; }

    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value) { FName = Value; }
    TFieldType DataType() const { return FDataType; }
    void SetDataType(TFieldType Value) { FDataType = Value; }
    TParamType ParamType() const { return FParamType; }
    void SetParamType(TParamType Value) { FParamType = Value; }
    // Set when a value was given; a parameter bound by hand is not filled from a master.
    bool Bound() const { return FBound; }
    void SetBound(bool Value) { FBound = Value; }

    const Variant& Value() const { return FValue; }
    // Binds the value; a parameter of unknown data type takes the value's type.
    void SetValue(const Variant& Value);
    bool IsNull() const { return FValue.IsNull() || FValue.IsEmpty(); }
    // Null value, still bound and of the same data type.
    void Clear();

    // Typed access; each setter also sets the data type. A null value reads as "", 0 or False.
    std::string AsString() const;
    void SetAsString(const std::string& Value);
    int32_t AsInteger() const;
    void SetAsInteger(int32_t Value);
    int64_t AsLargeInt() const;
    void SetAsLargeInt(int64_t Value);
    double AsFloat() const;
    void SetAsFloat(double Value);
    double AsCurrency() const;
    void SetAsCurrency(double Value);
    bool AsBoolean() const;
    void SetAsBoolean(bool Value);
    TDateTime AsDateTime() const;
    void SetAsDateTime(TDateTime Value);
    void SetAsBlob(const std::string& Value);   // the bytes as a string, data type ftBlob
    void SetAsMemo(const std::string& Value);   // data type ftMemo

    // Name, data type and value of the field (Null when the field is null).
    void AssignField(const TField* Field);
    // Data type and value of the field, Value standing for the field's value.
    void AssignFieldValue(const TField* Field, const Variant& Value);
    void Assign(const TPersistent* Source) override;

private:
    void SetTypedValue(TFieldType Type, const Variant& Value);
    TParams* FCollection;
    std::string FName;
    TFieldType FDataType = ftUnknown;
    TParamType FParamType;
    Variant FValue;
    bool FBound = false;
};

class TParams : public TPersistent {
public:
    // Owner names the component in error messages; it may be nil.
    explicit TParams(const TComponent* AOwner = nullptr) : FOwner(AOwner) {}
    std::string ClassName() const override { return "TParams"; }

    int Count() const { return static_cast<int>(FItems.size()); }
    TParam* Items(int Index) const;
    TParam* CreateParam(TFieldType FldType, const std::string& ParamName, TParamType ParamType);
    TParam* FindParam(std::string_view Value) const;
    TParam* ParamByName(std::string_view Value) const;  // raises "Parameter '%s' not found"
    void Clear() { FItems.clear(); }

    // A copy of every parameter of Source, in order.
    void Assign(const TPersistent* Source) override;
    // For each parameter of Value, its data type, value and bound flag go to the
    // parameter of the same name here, if there is one.
    void AssignValues(const TParams& Value);

    // Same parameters in the same order: names, data and parameter types, bound flags and
    // values.
    bool IsEqual(const TParams& Value) const;
    // The list as a collection of a stream's entries (classlib/Streaming.h), and back:
    // reading replaces every parameter.
    void WriteData(TWriter& Writer) const;
    void ReadData(TReader& Reader);

    // The text with every parameter replaced by "?"; with DoCreate, a parameter is
    // added for each name not yet in the list (once per name).
    std::string ParseSQL(std::string_view SQL, bool DoCreate);

private:
    const TComponent* FOwner;
    std::vector<std::unique_ptr<TParam>> FItems;
};

}  // namespace classlib
