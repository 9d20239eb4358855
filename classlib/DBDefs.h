// Field and index definitions: what a dataset's structure is, apart from the field
// objects that show its values.
//
// Each list belongs to a dataset (or to nobody, for a free-standing copy) and keeps an
// up-to-date flag. Update asks the dataset to fill the list only while the flag is
// clear (field definitions through the dataset's InitFieldDefs, index definitions
// through its UpdateIndexDefs), then sets it. A change a program makes to a list or to
// one of its definitions is reported to the dataset (DefChanged); the dataset's own
// filling inside Update is not a change. Names compare ignoring case.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/DBCommon.h"

namespace classlib {

class TDataSet;

// Case-insensitive comparison of names (ASCII letters).
bool SameText(std::string_view A, std::string_view B);

// The next name of a ';'-separated list from Pos (0-based), blanks trimmed; Pos moves
// past the separator. Callers loop while Pos < Fields.size().
std::string ExtractFieldName(std::string_view Fields, size_t& Pos);

class TDefCollection : public TPersistent {
public:
    explicit TDefCollection(TDataSet* ADataSet) : FDataSet(ADataSet) {}
    TDataSet* DataSet() const { return FDataSet; }

    bool Updated() const { return FUpdated; }
    void SetUpdated(bool Value) { FUpdated = Value; }
    // Fills the list through the dataset unless it is up to date.
    virtual void Update() = 0;

    // Reports a change to the dataset unless the dataset itself is filling the list.
    void Changed();

protected:
    // Brackets the dataset's filling of the list.
    struct TFillScope {
        explicit TFillScope(TDefCollection& C) : Owner(C) { ++Owner.FFilling; }
        ~TFillScope() { --Owner.FFilling; }
        TDefCollection& Owner;
    };

private:
    TDataSet* FDataSet;
    bool FUpdated = false;
    int FFilling = 0;
};

class TFieldDefs;

class TFieldDef : public TPersistent {
public:
    TFieldDef(TFieldDefs* ACollection, std::string AName, TFieldType ADataType, int32_t ASize, bool ARequired);
    std::string ClassName() const override { return "TFieldDef"; }

    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value);
    TFieldType DataType() const { return FDataType; }
    void SetDataType(TFieldType Value);
    int32_t Size() const { return FSize; }
    void SetSize(int32_t Value);
    bool Required() const { return FRequired; }
    void SetRequired(bool Value);
    // 1-based position in the list.
    int32_t FieldNo() const;

    void Assign(const TPersistent* Source) override;

private:
    friend class TFieldDefs;
    TFieldDefs* FCollection;
    std::string FName;
    TFieldType FDataType;
    int32_t FSize;
    bool FRequired;
};

class TFieldDefs : public TDefCollection {
public:
    explicit TFieldDefs(TDataSet* ADataSet) : TDefCollection(ADataSet) {}
    std::string ClassName() const override { return "TFieldDefs"; }

    int Count() const { return static_cast<int>(FItems.size()); }
    TFieldDef* Items(int Index) const;
    // An empty or duplicate name raises EDatabaseError.
    TFieldDef* Add(const std::string& Name, TFieldType DataType, int32_t Size = 0, bool Required = false);
    int IndexOf(std::string_view Name) const;
    TFieldDef* Find(std::string_view Name) const;  // raises "Field '%s' not found"
    void Delete(int Index);
    void Clear();
    void Assign(const TPersistent* Source) override;
    void Update() override;

private:
    friend class TFieldDef;
    std::vector<std::unique_ptr<TFieldDef>> FItems;
};

class TIndexDefs;

class TIndexDef : public TPersistent {
public:
    TIndexDef(TIndexDefs* ACollection, std::string AName, std::string AFields, TIndexOptions AOptions);
    std::string ClassName() const override { return "TIndexDef"; }

    const std::string& Name() const { return FName; }
    void SetName(const std::string& Value);
    // ';'-separated field names (the expression text for an expression index).
    const std::string& Fields() const { return FFields; }
    void SetFields(const std::string& Value);
    const std::string& DescFields() const { return FDescFields; }
    void SetDescFields(const std::string& Value);
    const std::string& CaseInsFields() const { return FCaseInsFields; }
    void SetCaseInsFields(const std::string& Value);
    TIndexOptions Options() const { return FOptions; }
    void SetOptions(TIndexOptions Value);
    // The expression of an expression index, else empty.
    std::string Expression() const { return (FOptions & ixExpression) ? FFields : std::string(); }

    void Assign(const TPersistent* Source) override;

private:
    friend class TIndexDefs;
    void Changed();
    TIndexDefs* FCollection;
    std::string FName, FFields, FDescFields, FCaseInsFields;
    TIndexOptions FOptions;
};

class TIndexDefs : public TDefCollection {
public:
    explicit TIndexDefs(TDataSet* ADataSet) : TDefCollection(ADataSet) {}
    std::string ClassName() const override { return "TIndexDefs"; }

    int Count() const { return static_cast<int>(FItems.size()); }
    TIndexDef* Items(int Index) const;
    TIndexDef* Add(const std::string& Name, const std::string& Fields, TIndexOptions Options);
    int IndexOf(std::string_view Name) const;
    TIndexDef* Find(std::string_view Name) const;  // raises "Index '%s' not found"
    void Delete(int Index);
    void Clear();
    void Assign(const TPersistent* Source) override;
    void Update() override;

    // The index that orders by Fields ascending: one whose fields are exactly Fields,
    // else one that starts with them. Expression and descending indexes do not count;
    // with CaseInsensitive only an index comparing those fields without case does.
    TIndexDef* GetIndexForFields(std::string_view Fields, bool CaseInsensitive) const;
    // As GetIndexForFields(Fields, false), raising when no index covers the fields.
    TIndexDef* FindIndexForFields(std::string_view Fields) const;

private:
    friend class TIndexDef;
    std::vector<std::unique_ptr<TIndexDef>> FItems;
};

}  // namespace classlib
