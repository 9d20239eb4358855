// A table's constraint manager: it owns the table's constraint definitions, checks a
// record against them before an engine stores an insert or an update, binds each
// constraint to the index or field it names, names the constraints declared without a
// name, and adds or removes the unique and primary-key constraints indexes imply.
//
// Rules kept here:
// - Constraints are examined in definition order and the first violation ends a check;
//   with Raise cleared a violation only answers false, while a field or index that
//   cannot be found still raises (the definitions themselves are broken).
// - A bound is a value of its own type: a CHECK compares it with the field's value
//   under both types, so a bound never reads more bytes than the field holds; a text
//   bound on a field that is not text is read as the field's type first (as text "9"
//   would lie above 10). The message shows the bound as it was written.
// - Bindings follow renames: a renamed field renames every NOT NULL and CHECK target
//   and every UNIQUE or PRIMARY column of that name, so the stored definitions resolve
//   again on the next load.
// - Names are at most 255 characters; a generated name that exists gets a random
//   numeric suffix drawn from the engine's generator until it is unique.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>

#include "classlib/SysUtils.h"

#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQDefinitions.h"

namespace orq {

class TORQStream;
class TORQTableData;

class TORQBaseConstraintManager {
public:
    explicit TORQBaseConstraintManager(TORQTableData* TableData) : TableData(TableData) {}
    virtual ~TORQBaseConstraintManager() = default;
    TORQBaseConstraintManager(const TORQBaseConstraintManager&) = delete;
    TORQBaseConstraintManager& operator=(const TORQBaseConstraintManager&) = delete;

    void LoadFromStream(TORQStream& Stream) { ConstraintDefs.LoadFromStream(Stream); }
    void SaveToStream(TORQStream& Stream) const { ConstraintDefs.SaveToStream(Stream); }

    // Checks Record (a memory record of the table) against every constraint. IsInsert,
    // RecordID and OldRecord feed the duplicate test of unique and primary keys.
    // Violations: 30330 and 30026 (Null), 30319 and 30320 (duplicate), 30029 and 30030
    // (CHECK bounds), 30036 (a kind the engine cannot check). Lookups: 30329 (a key
    // column's field id), 30024 (NOT NULL target id), 30028 (CHECK target id).
    bool CheckRecord(int32_t SessionID, uint8_t* Record, bool Raise, const TORQRecordID& RecordID, bool IsInsert,
                     const uint8_t* OldRecord);
    // Binds Def to the table: 30325/30331 (primary key), 30326/30332 (unique), 30027
    // (NOT NULL, CHECK), 30037 (other kinds).
    void ResolveConstraint(TORQConstraintDef& Def);
    void ResolveAllConstraints();
    // "$C_NotNull$table$field" or "$C_Check$table$field", plus a random number below
    // 65535 while that name exists; 30038 for other kinds without a name.
    void NameUnnamedConstraints();
    // The unique or primary-key constraint IndexDef implies, if any, with the database's
    // next object id, this table's name, resolved.
    void AddIndexConstraint(const TORQIndexDef& IndexDef);
    // Deletes the first unique or primary-key constraint bound to that index.
    void RemoveIndexConstraint(int32_t IndexID);
    // Every reference to field OldName (ignoring case) now names NewName.
    void RenameField(const std::string& OldName, const std::string& NewName);

    TORQConstraintDefs ConstraintDefs;
    TORQTableData* TableData;  // the owner

private:
    bool Violation(bool Raise, int32_t Code, std::string_view Format, std::initializer_list<classlib::FormatArg> Args);
    bool CheckBounds(const TORQConstraintDefCheck& Def, const TORQFieldDef& Field, const uint8_t* Record, bool Raise);
};

}  // namespace orq

// The record bitmap of filtered cursors lives beside the constraints.
#include "engine/storage/ORQRecordBitmap.h"
