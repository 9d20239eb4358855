#include "engine/storage/ORQConstraints.h"

#include <algorithm>
#include <initializer_list>
#include <string>
#include <string_view>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQConvert.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

namespace {

const TORQFieldDefs& FieldDefsOf(const TORQTableData* TableData) { return TableData->FieldManager->FieldDefs; }

// The field whose object id is ID, or nil.
const TORQFieldDef* FieldByID(const TORQTableData* TableData, int32_t ID) {
    return static_cast<const TORQFieldDef*>(FieldDefsOf(TableData).FindByID(ID));
}

bool FieldIsNull(const TORQFieldDefs& Defs, const TORQFieldDef& Field, const uint8_t* Record) {
    return GetBit(Record, Defs.IndexOfID(Field.ObjectID));
}

// The bound as its message shows it.
std::string BoundText(const TORQVariant& Bound) { return Bound.GetAsString(); }

}  // namespace

bool TORQBaseConstraintManager::Violation(bool Raise, int32_t Code, std::string_view Format,
                                          std::initializer_list<classlib::FormatArg> Args) {
    if (Raise) RaiseNativeFmt(Code, Format, Args);
    return false;
}

bool TORQBaseConstraintManager::CheckBounds(const TORQConstraintDefCheck& Def, const TORQFieldDef& Field,
                                            const uint8_t* Record, bool Raise) {
    const uint8_t* value = Record + Field.MemoryOffset;
    // The bound keeps its own type; the comparison works in the type both convert to,
    // so a 4-byte field is never read as an 8-byte bound.
    // A text bound on a field of another kind is read as that kind first: compared as
    // text, "9" would lie above 10.
    auto compare = [&](const TORQVariant& Bound) {
        if (IsStringBaseType(Bound.DataType()) && !IsStringBaseType(Field.BaseType)) {
            TORQVariant typed;
            typed.Assign(Bound, true);
            typed.CastTo(Field.BaseType);
            return CompareValueBuffers(typed.Data(), value, typed.DataType(), Field.BaseType, false, false, -1, false);
        }
        return CompareValueBuffers(Bound.Data(), value, Bound.DataType(), Field.BaseType, false, false, -1, false);
    };
    if (!Def.MinValue.IsNull() && compare(Def.MinValue) == cmpGreater)
        return Violation(Raise, 30029, "Constraint '%s' violated. Value in field '%s' cannot be lower than '%s'",
                         {Def.Name, Field.Name, BoundText(Def.MinValue)});
    if (!Def.MaxValue.IsNull() && compare(Def.MaxValue) == cmpLess)
        return Violation(Raise, 30030, "Constraint '%s' violated. Value in field '%s' cannot be greater than '%s'",
                         {Def.Name, Field.Name, BoundText(Def.MaxValue)});
    return true;
}

bool TORQBaseConstraintManager::CheckRecord(int32_t SessionID, uint8_t* Record, bool Raise,
                                            const TORQRecordID& RecordID, bool IsInsert, const uint8_t* OldRecord) {
    const TORQFieldDefs& fields = FieldDefsOf(TableData);
    for (int32_t i = 0; i < ConstraintDefs.GetCount(); ++i) {
        TORQConstraintDef* c = ConstraintDefs.GetItem(i);
        switch (c->ConstraintType) {
            case ctPrimaryKey:
            case ctUnique: {
                auto* u = static_cast<TORQConstraintDefUnique*>(c);
                if (c->ConstraintType == ctPrimaryKey) {
                    std::string names;
                    bool allNull = true;
                    for (const TORQConstraintColumn& col : u->Columns) {
                        if (!names.empty()) names += ',';
                        names += col.FieldName;
                    }
                    for (const TORQConstraintColumn& col : u->Columns) {
                        const TORQFieldDef* f = FieldByID(TableData, col.FieldID);
                        if (f == nullptr)
                            RaiseNativeFmt(30329, "Constraint '%s': no field with id %d for column '%s'",
                                           {c->Name, col.FieldID, col.FieldName});
                        if (!FieldIsNull(fields, *f, Record)) {
                            allNull = false;
                            break;
                        }
                    }
                    if (allNull)
                        return Violation(
                            Raise, 30330,
                            "Constraint '%s' violated. Value in field '%s' cannot be null", {c->Name, names});
                }
                if (TableData->HasDuplicateKey(SessionID, c->TargetID, RecordID, IsInsert, OldRecord, Record)) {
                    if (c->ConstraintType == ctPrimaryKey)
                        return Violation(Raise, 30319,
                                         "Primary Key constraint '%s' violated. Duplicate found.", {c->Name});
                    return Violation(Raise, 30320,
                                     "Constraint unique '%s' violated. Duplicate found.", {c->Name});
                }
                break;
            }
            case ctNotNull: {
                const TORQFieldDef* f = FieldByID(TableData, c->TargetID);
                if (f == nullptr) RaiseNativeFmt(30024, "Field #%d not found", {c->TargetID});
                if (FieldIsNull(fields, *f, Record))
                    return Violation(Raise, 30026, "Constraint '%s' violated. Value in field '%s' cannot be null",
                                     {c->Name, f->Name});
                break;
            }
            case ctCheck: {
                const TORQFieldDef* f = FieldByID(TableData, c->TargetID);
                if (f == nullptr)
                    RaiseNativeFmt(30028, "Constraint '%s': no field with id %d for field '%s'",
                                   {c->Name, c->TargetID, c->TargetName});
                if (FieldIsNull(fields, *f, Record)) break;
                if (!CheckBounds(*static_cast<TORQConstraintDefCheck*>(c), *f, Record, Raise)) return false;
                break;
            }
            default:
                return Violation(Raise, 30036, "Not implemented yet", {});
        }
    }
    return true;
}

void TORQBaseConstraintManager::ResolveConstraint(TORQConstraintDef& Def) {
    const TORQFieldDefs& fields = FieldDefsOf(TableData);
    switch (Def.ConstraintType) {
        case ctPrimaryKey:
        case ctUnique: {
            const bool primary = Def.ConstraintType == ctPrimaryKey;
            const TORQIndexDef* index = TableData->IndexManager != nullptr
                                            ? TableData->IndexManager->IndexDefs.FindByName(Def.TargetName)
                                            : nullptr;
            if (index == nullptr) RaiseNativeFmt(primary ? 30325 : 30326, "Index '%s' not found", {Def.TargetName});
            Def.TargetID = index->ObjectID;
            for (TORQConstraintColumn& col : static_cast<TORQConstraintDefUnique&>(Def).Columns) {
                const TORQFieldDef* f = fields.FindByName(col.FieldName);
                if (f == nullptr) RaiseNativeFmt(primary ? 30331 : 30332, "Field '%s' not found", {col.FieldName});
                col.FieldID = f->ObjectID;
            }
            break;
        }
        case ctNotNull:
        case ctCheck: {
            const TORQFieldDef* f = fields.FindByName(Def.TargetName);
            if (f == nullptr) RaiseNativeFmt(30027, "Field '%s' not found", {Def.TargetName});
            Def.TargetID = f->ObjectID;
            break;
        }
        default:
            RaiseNative(30037, "Not implemented yet");
    }
}

void TORQBaseConstraintManager::ResolveAllConstraints() {
    for (int32_t i = 0; i < ConstraintDefs.GetCount(); ++i) ResolveConstraint(*ConstraintDefs.GetItem(i));
}

void TORQBaseConstraintManager::NameUnnamedConstraints() {
    for (int32_t i = 0; i < ConstraintDefs.GetCount(); ++i) {
        TORQConstraintDef* c = ConstraintDefs.GetItem(i);
        if (!c->Name.empty()) continue;
        std::string base = "$";
        if (c->ConstraintType == ctNotNull)
            base += "C_NotNull";
        else if (c->ConstraintType == ctCheck)
            base += "C_Check";
        else
            RaiseNative(30038, "Not implemented yet");
        base += "$" + TableData->TableName + "$" + c->TargetName;
        // The suffix is kept inside the 255 characters, so cutting never merges two names.
        base = FitName(base);
        std::string name = base;
        while (ConstraintDefs.IndexOfName(name) >= 0) {
            const std::string suffix = std::to_string(EngineRandom(65535));
            name = base.substr(0, std::min(base.size(), static_cast<size_t>(MaxNameLength) - suffix.size())) + suffix;
        }
        c->Name = name;
    }
}

void TORQBaseConstraintManager::AddIndexConstraint(const TORQIndexDef& IndexDef) {
    TORQConstraintDefUnique* c = IndexDefToConstraintDefs(IndexDef, ConstraintDefs);
    if (c == nullptr) return;
    try {
        c->ObjectID = TableData->DatabaseData->GetNextObjectID();
        c->TableName = TableData->TableName;
        ResolveConstraint(*c);
    } catch (...) {
        ConstraintDefs.Delete(ConstraintDefs.GetCount() - 1);
        throw;
    }
}

void TORQBaseConstraintManager::RemoveIndexConstraint(int32_t IndexID) {
    for (int32_t i = 0; i < ConstraintDefs.GetCount(); ++i) {
        const TORQConstraintDef* c = ConstraintDefs.GetItem(i);
        if ((c->ConstraintType == ctPrimaryKey || c->ConstraintType == ctUnique) && c->TargetID == IndexID) {
            ConstraintDefs.Delete(i);
            return;
        }
    }
}

void TORQBaseConstraintManager::RenameField(const std::string& OldName, const std::string& NewName) {
    for (int32_t i = 0; i < ConstraintDefs.GetCount(); ++i) {
        TORQConstraintDef* c = ConstraintDefs.GetItem(i);
        if (c->ConstraintType == ctNotNull || c->ConstraintType == ctCheck) {
            if (SameName(c->TargetName, OldName)) c->TargetName = NewName;
        } else if (c->ConstraintType == ctPrimaryKey || c->ConstraintType == ctUnique) {
            for (TORQConstraintColumn& col : static_cast<TORQConstraintDefUnique*>(c)->Columns)
                if (SameName(col.FieldName, OldName)) col.FieldName = NewName;
        }
    }
}

}  // namespace orq
