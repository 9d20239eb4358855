#include "classlib/DBDefs.h"

#include "classlib/DB.h"

namespace classlib {

namespace {

char UpperAscii(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Field names of an index column list; ',' separates as ';' does.
std::vector<std::string> SplitNames(std::string_view Fields) {
    std::string list(Fields);
    for (char& c : list)
        if (c == ',') c = ';';
    std::vector<std::string> names;
    size_t pos = 0;
    while (pos < list.size()) {
        std::string name = ExtractFieldName(list, pos);
        if (!name.empty()) names.push_back(std::move(name));
    }
    return names;
}

bool Contains(const std::vector<std::string>& Names, std::string_view Name) {
    for (const auto& n : Names)
        if (SameText(n, Name)) return true;
    return false;
}

}  // namespace

bool SameText(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i)
        if (UpperAscii(A[i]) != UpperAscii(B[i])) return false;
    return true;
}

std::string ExtractFieldName(std::string_view Fields, size_t& Pos) {
    if (Pos >= Fields.size()) {
        Pos = Fields.size();
        return {};
    }
    size_t end = Fields.find(';', Pos);
    if (end == std::string_view::npos) end = Fields.size();
    std::string name(TrimBlanks(Fields.substr(Pos, end - Pos)));
    Pos = end < Fields.size() ? end + 1 : end;
    return name;
}

void TDefCollection::Changed() {
    if (FFilling == 0 && FDataSet != nullptr) FDataSet->DefChanged(this);
}

// ---- TFieldDef ----

TFieldDef::TFieldDef(TFieldDefs* ACollection, std::string AName, TFieldType ADataType, int32_t ASize, bool ARequired)
    : FCollection(ACollection), FName(std::move(AName)), FDataType(ADataType), FSize(ASize), FRequired(ARequired) {}

void TFieldDef::SetName(const std::string& Value) {
    if (Value == FName) return;
    FName = Value;
    if (FCollection) FCollection->Changed();
}

void TFieldDef::SetDataType(TFieldType Value) {
    if (Value == FDataType) return;
    FDataType = Value;
    if (FCollection) FCollection->Changed();
}

void TFieldDef::SetSize(int32_t Value) {
    if (Value == FSize) return;
    FSize = Value;
    if (FCollection) FCollection->Changed();
}

void TFieldDef::SetRequired(bool Value) {
    if (Value == FRequired) return;
    FRequired = Value;
    if (FCollection) FCollection->Changed();
}

int32_t TFieldDef::FieldNo() const {
    if (FCollection == nullptr) return 0;
    for (size_t i = 0; i < FCollection->FItems.size(); ++i)
        if (FCollection->FItems[i].get() == this) return static_cast<int32_t>(i) + 1;
    return 0;
}

void TFieldDef::Assign(const TPersistent* Source) {
    if (const auto* src = dynamic_cast<const TFieldDef*>(Source)) {
        FName = src->FName;
        FDataType = src->FDataType;
        FSize = src->FSize;
        FRequired = src->FRequired;
        if (FCollection) FCollection->Changed();
        return;
    }
    TPersistent::Assign(Source);
}

// ---- TFieldDefs ----

TFieldDef* TFieldDefs::Items(int Index) const {
    if (Index < 0 || Index >= Count()) DatabaseErrorFmt("Field definition index %d out of range", {Index}, DataSet());
    return FItems[static_cast<size_t>(Index)].get();
}

TFieldDef* TFieldDefs::Add(const std::string& Name, TFieldType DataType, int32_t Size, bool Required) {
    if (Name.empty()) DatabaseError("Field name missing", DataSet());
    if (IndexOf(Name) >= 0) DatabaseErrorFmt("Duplicate field name '%s'", {Name}, DataSet());
    FItems.push_back(std::make_unique<TFieldDef>(this, Name, DataType, Size, Required));
    Changed();
    return FItems.back().get();
}

int TFieldDefs::IndexOf(std::string_view Name) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (SameText(FItems[i]->Name(), Name)) return static_cast<int>(i);
    return -1;
}

TFieldDef* TFieldDefs::Find(std::string_view Name) const {
    const int i = IndexOf(Name);
    if (i < 0) DatabaseErrorFmt("Field '%s' not found", {Name}, DataSet());
    return FItems[static_cast<size_t>(i)].get();
}

void TFieldDefs::Delete(int Index) {
    Items(Index);
    FItems.erase(FItems.begin() + Index);
    Changed();
}

void TFieldDefs::Clear() {
    if (FItems.empty()) return;
    FItems.clear();
    Changed();
}

void TFieldDefs::Assign(const TPersistent* Source) {
    if (const auto* src = dynamic_cast<const TFieldDefs*>(Source)) {
        if (src == this) return;
        std::vector<std::unique_ptr<TFieldDef>> items;
        for (const auto& d : src->FItems)
            items.push_back(std::make_unique<TFieldDef>(this, d->FName, d->FDataType, d->FSize, d->FRequired));
        FItems = std::move(items);
        Changed();
        return;
    }
    TDefCollection::Assign(Source);
}

void TFieldDefs::Update() {
    if (Updated()) return;
    if (DataSet() != nullptr) {
        TFillScope filling(*this);
        DataSet()->InitFieldDefs();
    }
    SetUpdated(true);
}

// ---- TIndexDef ----

TIndexDef::TIndexDef(TIndexDefs* ACollection, std::string AName, std::string AFields, TIndexOptions AOptions)
    : FCollection(ACollection), FName(std::move(AName)), FFields(std::move(AFields)), FOptions(AOptions) {}

void TIndexDef::Changed() {
    if (FCollection) FCollection->Changed();
}

void TIndexDef::SetName(const std::string& Value) {
    if (Value == FName) return;
    FName = Value;
    Changed();
}

void TIndexDef::SetFields(const std::string& Value) {
    if (Value == FFields) return;
    FFields = Value;
    Changed();
}

void TIndexDef::SetDescFields(const std::string& Value) {
    if (Value == FDescFields) return;
    FDescFields = Value;
    Changed();
}

void TIndexDef::SetCaseInsFields(const std::string& Value) {
    if (Value == FCaseInsFields) return;
    FCaseInsFields = Value;
    Changed();
}

void TIndexDef::SetOptions(TIndexOptions Value) {
    if (Value == FOptions) return;
    FOptions = Value;
    Changed();
}

void TIndexDef::Assign(const TPersistent* Source) {
    if (const auto* src = dynamic_cast<const TIndexDef*>(Source)) {
        FName = src->FName;
        FFields = src->FFields;
        FDescFields = src->FDescFields;
        FCaseInsFields = src->FCaseInsFields;
        FOptions = src->FOptions;
        Changed();
        return;
    }
    TPersistent::Assign(Source);
}

// ---- TIndexDefs ----

TIndexDef* TIndexDefs::Items(int Index) const {
    if (Index < 0 || Index >= Count()) DatabaseErrorFmt("Index definition index %d out of range", {Index}, DataSet());
    return FItems[static_cast<size_t>(Index)].get();
}

TIndexDef* TIndexDefs::Add(const std::string& Name, const std::string& Fields, TIndexOptions Options) {
    if (!Name.empty() && IndexOf(Name) >= 0) DatabaseErrorFmt("Duplicate index name '%s'", {Name}, DataSet());
    FItems.push_back(std::make_unique<TIndexDef>(this, Name, Fields, Options));
    Changed();
    return FItems.back().get();
}

int TIndexDefs::IndexOf(std::string_view Name) const {
    for (size_t i = 0; i < FItems.size(); ++i)
        if (SameText(FItems[i]->Name(), Name)) return static_cast<int>(i);
    return -1;
}

TIndexDef* TIndexDefs::Find(std::string_view Name) const {
    const int i = IndexOf(Name);
    if (i < 0) DatabaseErrorFmt("Index '%s' not found", {Name}, DataSet());
    return FItems[static_cast<size_t>(i)].get();
}

void TIndexDefs::Delete(int Index) {
    Items(Index);
    FItems.erase(FItems.begin() + Index);
    Changed();
}

void TIndexDefs::Clear() {
    if (FItems.empty()) return;
    FItems.clear();
    Changed();
}

void TIndexDefs::Assign(const TPersistent* Source) {
    if (const auto* src = dynamic_cast<const TIndexDefs*>(Source)) {
        if (src == this) return;
        std::vector<std::unique_ptr<TIndexDef>> items;
        for (const auto& d : src->FItems) {
            items.push_back(std::make_unique<TIndexDef>(this, d->FName, d->FFields, d->FOptions));
            items.back()->FDescFields = d->FDescFields;
            items.back()->FCaseInsFields = d->FCaseInsFields;
        }
        FItems = std::move(items);
        Changed();
        return;
    }
    TDefCollection::Assign(Source);
}

void TIndexDefs::Update() {
    if (Updated()) return;
    if (DataSet() != nullptr) {
        TFillScope filling(*this);
        DataSet()->UpdateIndexDefs();
    }
    SetUpdated(true);
}

TIndexDef* TIndexDefs::GetIndexForFields(std::string_view Fields, bool CaseInsensitive) const {
    const std::vector<std::string> wanted = SplitNames(Fields);
    if (wanted.empty()) return nullptr;
    for (int pass = 0; pass < 2; ++pass) {  // exact match first, then a leading part
        for (const auto& d : FItems) {
            if ((d->Options() & (ixExpression | ixDescending)) || !TrimBlanks(d->DescFields()).empty()) continue;
            const std::vector<std::string> cols = SplitNames(d->Fields());
            if (pass == 0 ? cols.size() != wanted.size() : cols.size() <= wanted.size()) continue;
            bool match = true;
            for (size_t i = 0; i < wanted.size() && match; ++i) match = SameText(cols[i], wanted[i]);
            if (!match) continue;
            if (CaseInsensitive && !(d->Options() & ixCaseInsensitive)) {
                const std::vector<std::string> ci = SplitNames(d->CaseInsFields());
                for (const auto& w : wanted)
                    if (!Contains(ci, w)) match = false;
                if (!match) continue;
            }
            return d.get();
        }
    }
    return nullptr;
}

TIndexDef* TIndexDefs::FindIndexForFields(std::string_view Fields) const {
    TIndexDef* d = GetIndexForFields(Fields, false);
    if (d == nullptr) DatabaseErrorFmt("No index for fields '%s'", {Fields}, DataSet());
    return d;
}

}  // namespace classlib
