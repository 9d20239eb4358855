#include "engine/access/ORQAdvDefs.h"

#include "classlib/NumConv.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace orq {

using classlib::TFieldDefs;
using classlib::TFieldType;
using classlib::TIndexDefs;

namespace {

// The class library's type of an advanced type: the first row of the SQL type table.
TFieldType DataSetFieldType(uint8_t AdvancedType) {
    const TFieldType type = AdvancedToFieldType(AdvancedType);
    if (type == classlib::ftUnknown)
        RaiseNativeFmt(30289, "Unknown DataType: '%s'", {classlib::IntToStr(AdvancedType)});
    return type;
}

// The names (or entries) of a list separated by ';' or ','.
std::vector<std::string> SplitList(const std::string& List) {
    std::string text = List;
    for (char& c : text)
        if (c == ',') c = ';';
    std::vector<std::string> names;
    std::size_t pos = 0;
    while (pos < text.size()) names.push_back(classlib::ExtractFieldName(text, pos));
    return names;
}

bool SameUpperName(std::string_view A, std::string_view B) { return AnsiUpperCase(A) == AnsiUpperCase(B); }

bool ListHolds(const std::vector<std::string>& Names, std::string_view Name) {
    for (const std::string& n : Names)
        if (SameUpperName(n, Name)) return true;
    return false;
}

std::string JoinNames(const std::vector<std::string>& Names) {
    std::string joined;
    for (std::size_t i = 0; i < Names.size(); ++i) {
        if (i > 0) joined += ';';
        joined += Names[i];
    }
    return joined;
}

}  // namespace

// ---------------------------------------------------------------------------------
// TORQAdvFieldDef / TORQAdvFieldDefs

void TORQAdvFieldDef::Assign(const TORQAdvFieldDef& Source) {
    if (&Source == this) return;
    Name = Source.Name;
    ObjectID = Source.ObjectID;
    DataType = Source.DataType;
    Required = Source.Required;
    Size = Source.Size;
    DefaultValue.Assign(Source.DefaultValue, true);
    MinValue.Assign(Source.MinValue, true);
    MaxValue.Assign(Source.MaxValue, true);
    AutoincIncrement = Source.AutoincIncrement;
    AutoincInitialValue = Source.AutoincInitialValue;
    AutoincMinValue = Source.AutoincMinValue;
    AutoincMaxValue = Source.AutoincMaxValue;
    AutoincCycled = Source.AutoincCycled;
    BlobCompressionAlgorithm = Source.BlobCompressionAlgorithm;
    BlobCompressionMode = Source.BlobCompressionMode;
    BlobBlockSize = Source.BlobBlockSize;
}

TORQAdvFieldDef* TORQAdvFieldDefs::Add() {
    FItems.push_back(std::make_unique<TORQAdvFieldDef>());
    return FItems.back().get();
}

void TORQAdvFieldDefs::Delete(std::string_view Name) {
    for (auto it = FItems.begin(); it != FItems.end(); ++it) {
        if (CompareAnsiText((*it)->Name, Name, true) == 0) {
            FItems.erase(it);
            return;
        }
    }
    RaiseNativeFmt(30349, "Field '%s' not found", {std::string(Name)});
}

TORQAdvFieldDef* TORQAdvFieldDefs::Find(std::string_view Name) const {
    for (const auto& item : FItems)
        if (CompareAnsiText(item->Name, Name, true) == 0) return item.get();
    return nullptr;
}

void TORQAdvFieldDefs::Assign(const TORQAdvFieldDefs& Source) {
    if (&Source == this) return;
    Clear();
    for (const auto& item : Source.FItems) Add()->Assign(*item);
}

// ---------------------------------------------------------------------------------
// TORQAdvIndexDef / TORQAdvIndexDefs

void TORQAdvIndexDef::Assign(const TORQAdvIndexDef& Source) {
    if (&Source == this) return;
    Name = Source.Name;
    Fields = Source.Fields;
    DescFields = Source.DescFields;
    CaseInsFields = Source.CaseInsFields;
    Options = Source.Options;
    MaxIndexedSizes = Source.MaxIndexedSizes;
    Temporary = Source.Temporary;
}

TORQAdvIndexDef* TORQAdvIndexDefs::Add() {
    FItems.push_back(std::make_unique<TORQAdvIndexDef>());
    return FItems.back().get();
}

void TORQAdvIndexDefs::Assign(const TORQAdvIndexDefs& Source, bool SkipTemporary) {
    if (&Source == this) return;
    Clear();
    for (const auto& item : Source.FItems) {
        if (SkipTemporary && (item->Temporary || AnsiUpperCase(item->Name).find("TEMPORARY") != std::string::npos))
            continue;
        Add()->Assign(*item);
    }
}

// ---------------------------------------------------------------------------------
// Field converters

void FieldDefsToEngineFieldDefs(const TFieldDefs& Source, TORQFieldDefs& Dest) {
    Dest.Clear();
    for (int i = 0; i < Source.Count(); ++i) {
        const classlib::TFieldDef* def = Source.Items(i);
        TORQFieldDef* field = Dest.Add();
        field->Name = FitName(def->Name());
        field->SetDataType(FieldTypeToAdvancedFieldType(def->DataType()), def->Size());
    }
}

void AdvFieldDefsToFieldDefs(const TORQAdvFieldDefs& Source, TFieldDefs& Dest) {
    Dest.Clear();
    for (int32_t i = 0; i < Source.Count(); ++i) {
        const TORQAdvFieldDef* def = Source.GetItem(i);
        Dest.Add(def->Name, DataSetFieldType(def->DataType), def->Size, def->Required);
    }
}

void FieldDefsToAdvFieldDefs(const TFieldDefs& Source, TORQAdvFieldDefs& Dest) {
    Dest.Clear();
    for (int i = 0; i < Source.Count(); ++i) {
        const classlib::TFieldDef* def = Source.Items(i);
        TORQAdvFieldDef* field = Dest.Add();
        field->Name = def->Name();
        field->DataType = FieldTypeToAdvancedFieldType(def->DataType());
        field->Size = def->Size();
        field->Required = def->Required();
    }
}

void AdvFieldDefsToEngineDefs(const TORQAdvFieldDefs& AdvFieldDefs, TORQFieldDefs& FieldDefs,
                              const TORQIndexDefs& IndexDefs, bool Temporary, TORQConstraintDefs& ConstraintDefs) {
    FieldDefs.Clear();
    ConstraintDefs.Clear();
    for (int32_t i = 0; i < AdvFieldDefs.Count(); ++i) {
        const TORQAdvFieldDef* def = AdvFieldDefs.GetItem(i);
        TORQFieldDef* field = FieldDefs.Add();
        field->Name = FitName(def->Name);
        field->SetDataType(def->DataType, def->Size);
        field->BlobCompressionAlgorithm = def->BlobCompressionAlgorithm;
        field->BlobCompressionMode = def->BlobCompressionMode;
        field->BlobBlockSize = def->BlobBlockSize > 0 ? def->BlobBlockSize : DefaultBlobBlockSize;
        field->AutoincIncrement = def->AutoincIncrement;
        field->AutoincInitialValue = def->AutoincInitialValue;
        field->AutoincMinValue = def->AutoincMinValue;
        field->AutoincMaxValue = def->AutoincMaxValue;
        field->AutoincCycled = def->AutoincCycled ? 1 : 0;
        field->DefaultValue.Assign(def->DefaultValue, true);
        field->RebuildDefaultExpression();
        if (Temporary) continue;
        // The table layer resolves the field by TargetName and names the constraint.
        if (def->Required) {
            TORQConstraintDefNotNull* notNull = ConstraintDefs.AddNotNull();
            notNull->TargetName = field->Name;
            notNull->TargetID = field->ObjectID;
        }
        if (!def->MinValue.IsNull() || !def->MaxValue.IsNull()) {
            TORQConstraintDefCheck* check = ConstraintDefs.AddCheck();
            check->TargetName = field->Name;
            check->TargetID = field->ObjectID;
            check->MinValue.Assign(def->MinValue, true);
            check->MaxValue.Assign(def->MaxValue, true);
        }
    }
    // Key constraints follow from the indexes, for temporary tables too.
    for (int32_t i = 0; i < IndexDefs.GetCount(); ++i) IndexDefToConstraintDefs(*IndexDefs.GetItem(i), ConstraintDefs);
}

void EngineFieldDefsToFieldDefs(const TORQFieldDefs& FieldDefs, const TORQConstraintDefs& ConstraintDefs,
                                TFieldDefs& Dest) {
    Dest.Clear();
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef* field = FieldDefs.GetItem(i);
        const TFieldType type = DataSetFieldType(field->FieldType);
        const int32_t size = type != classlib::ftGuid && IsSizedAdvancedType(field->FieldType) ? field->Size : 0;
        Dest.Add(field->Name, type, size, false);
    }
    for (int32_t i = 0; i < ConstraintDefs.GetCount(); ++i) {
        const TORQConstraintDef* constraint = ConstraintDefs.GetItem(i);
        if (constraint->ConstraintType != ctNotNull) continue;
        const TORQMetaObjectDef* field = FieldDefs.FindByID(constraint->TargetID);
        if (field == nullptr) continue;
        const int at = Dest.IndexOf(field->Name);
        if (at < 0) continue;
        classlib::TFieldDef* def = Dest.Items(at);
        // An auto-increment field gets its value from the engine, so a dataset must
        // not demand one from the user.
        if (def->DataType() != classlib::ftAutoInc) def->SetRequired(true);
    }
}

void EngineFieldDefsToAdvFieldDefs(const TORQFieldDefs& FieldDefs, const TORQFieldDefs& IdFields,
                                   const TORQConstraintDefs& ConstraintDefs, TORQAdvFieldDefs& Dest) {
    Dest.Clear();
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) {
        const TORQFieldDef* field = FieldDefs.GetItem(i);
        TORQAdvFieldDef* def = Dest.Add();
        def->Name = field->Name;
        def->ObjectID = field->ObjectID;
        def->DataType = field->FieldType;
        def->Size = field->FieldType == aftGuid ? 0 : field->Size;
        def->AutoincIncrement = field->AutoincIncrement;
        def->AutoincInitialValue = field->AutoincInitialValue;
        def->AutoincMinValue = field->AutoincMinValue;
        def->AutoincMaxValue = field->AutoincMaxValue;
        def->AutoincCycled = field->AutoincCycled != 0;
        def->BlobCompressionAlgorithm = ConvertBlobCompressionAlgorithm(field->BlobCompressionAlgorithm);
        def->BlobCompressionMode = field->BlobCompressionMode;
        def->BlobBlockSize = field->BlobBlockSize;
        def->DefaultValue.Assign(field->DefaultValue, true);
    }
    // The definition of a constrained field stands at the field's position in IdFields;
    // a position Dest does not reach is as absent as an unknown id.
    auto target = [&](const TORQConstraintDef& Constraint, int32_t Code) -> TORQAdvFieldDef* {
        const int32_t at = IdFields.IndexOfID(Constraint.TargetID);
        if (at < 0 || at >= Dest.Count()) RaiseNativeFmt(Code, "Field #%d not found", {Constraint.TargetID});
        return Dest.GetItem(at);
    };
    for (int32_t i = 0; i < ConstraintDefs.GetCount(); ++i) {
        const TORQConstraintDef* constraint = ConstraintDefs.GetItem(i);
        switch (constraint->ConstraintType) {
            case ctPrimaryKey:
            case ctUnique:
                break;
            case ctNotNull:
                target(*constraint, 30032)->Required = true;
                break;
            case ctCheck: {
                const auto* check = dynamic_cast<const TORQConstraintDefCheck*>(constraint);
                if (check == nullptr) RaiseNative(30039, "Not implemented yet");
                TORQAdvFieldDef* def = target(*check, 30031);
                def->MinValue.Assign(check->MinValue, true);
                def->MaxValue.Assign(check->MaxValue, true);
                break;
            }
            default:
                RaiseNative(30039, "Not implemented yet");
        }
    }
}

// ---------------------------------------------------------------------------------
// Index converters

void AdvIndexDefsToIndexDefs(const TORQAdvIndexDefs& Source, TIndexDefs& Dest) {
    Dest.Clear();
    for (int32_t i = 0; i < Source.Count(); ++i) {
        const TORQAdvIndexDef* def = Source.GetItem(i);
        classlib::TIndexDef* index = Dest.Add(def->Name, def->Fields, def->Options);
        index->SetDescFields(def->DescFields);
        index->SetCaseInsFields(def->CaseInsFields);
    }
}

void IndexDefsToAdvIndexDefs(const TIndexDefs& Source, TORQAdvIndexDefs& Dest) {
    Dest.Clear();
    for (int i = 0; i < Source.Count(); ++i) {
        const classlib::TIndexDef* index = Source.Items(i);
        TORQAdvIndexDef* def = Dest.Add();
        def->Name = index->Name();
        def->Fields = index->Fields();
        def->DescFields = index->DescFields();
        def->CaseInsFields = index->CaseInsFields();
        def->Options = index->Options();
    }
}

void BuildEngineIndexDef(TORQIndexDef& IndexDef, const std::string& Name, const std::string& Fields,
                         const TFieldDefs& FieldDefs, const std::string& MaxIndexedSizes,
                         const std::string& CaseInsFields, const std::string& DescFields, bool Temporary,
                         classlib::TIndexOptions Options) {
    if (Name.empty()) RaiseNativeFmt(20048, "Invalid index name '%s'", {Name});
    if (Fields.empty()) RaiseNativeFmt(20049, "Cannot find index field '%s'", {Fields});
    IndexDef.Name = FitName(Name);
    IndexDef.Unique = (Options & classlib::ixUnique) ? 1 : 0;
    IndexDef.Primary = (Options & classlib::ixPrimary) ? 1 : 0;
    IndexDef.Temporary = Temporary ? 1 : 0;

    const std::vector<std::string> fields = SplitList(Fields);
    const std::vector<std::string> desc = SplitList(DescFields);
    const std::vector<std::string> caseIns = SplitList(CaseInsFields);
    const std::vector<std::string> sizes = SplitList(MaxIndexedSizes);
    IndexDef.Columns.clear();
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const std::string& name = fields[i];
        if (!FieldDefExists(FieldDefs, name)) RaiseNativeFmt(20050, "Cannot find index field '%s'", {name});
        TORQIndexColumn column;
        column.FieldName = name;
        column.Descending = (desc.empty() ? (Options & classlib::ixDescending) != 0 : ListHolds(desc, name)) ? 1 : 0;
        column.CaseInsensitive =
            (caseIns.empty() ? (Options & classlib::ixCaseInsensitive) != 0 : ListHolds(caseIns, name)) ? 1 : 0;
        // A list shorter than the columns leaves the rest at the default; reading past
        // its end would take sizes that nobody wrote.
        if (i < sizes.size() && !classlib::TryStrToInt(sizes[i], column.MaxIndexedSize))
            RaiseNativeFmt(30904, "Invalid indexed size '%s' in index '%s'", {sizes[i], Name});
        IndexDef.Columns.push_back(std::move(column));
    }
}

void AdvIndexDefsToEngineIndexDefs(const TORQAdvIndexDefs& Source, const TFieldDefs& FieldDefs,
                                   TORQIndexDefs& Dest) {
    Dest.Clear();
    for (int32_t i = 0; i < Source.Count(); ++i) {
        const TORQAdvIndexDef* def = Source.GetItem(i);
        BuildEngineIndexDef(*Dest.Add(), def->Name, def->Fields, FieldDefs, def->MaxIndexedSizes, def->CaseInsFields,
                            def->DescFields, def->Temporary, def->Options);
    }
}

void EngineIndexDefToAdvIndexDef(const TORQIndexDef& IndexDef, TORQAdvIndexDef& Dest) {
    std::vector<std::string> fields, desc, caseIns, sizes;
    for (const TORQIndexColumn& column : IndexDef.Columns) {
        fields.push_back(column.FieldName);
        if (column.Descending) desc.push_back(column.FieldName);
        if (column.CaseInsensitive) caseIns.push_back(column.FieldName);
        sizes.push_back(classlib::IntToStr(column.MaxIndexedSize));
    }
    Dest.Name = IndexDef.Name;
    Dest.Fields = JoinNames(fields);
    Dest.DescFields = JoinNames(desc);
    Dest.CaseInsFields = JoinNames(caseIns);
    Dest.MaxIndexedSizes = JoinNames(sizes);
    Dest.Options = (IndexDef.Unique ? classlib::ixUnique : 0) | (IndexDef.Primary ? classlib::ixPrimary : 0);
    Dest.Temporary = IndexDef.Temporary != 0;
}

void EngineIndexDefsToAdvIndexDefs(const TORQIndexDefs& Source, TORQAdvIndexDefs& Dest) {
    Dest.Clear();
    for (int32_t i = 0; i < Source.GetCount(); ++i) EngineIndexDefToAdvIndexDef(*Source.GetItem(i), *Dest.Add());
}

bool FieldDefExists(const TFieldDefs& FieldDefs, std::string_view Name) {
    const std::string upper = AnsiUpperCase(Name);
    for (int i = 0; i < FieldDefs.Count(); ++i)
        if (AnsiUpperCase(FieldDefs.Items(i)->Name()) == upper) return true;
    return false;
}

}  // namespace orq
