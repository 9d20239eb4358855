// What expression nodes need of a storage cursor beyond the field references' own
// binding: its current record buffer (switched while a subquery shows it the outer row),
// whether it has a field of a name, and a fresh key record for an index scan condition.
#pragma once

#include <cstdint>
#include <string>

namespace orq {

class TORQCursor;
class TORQIndexDef;
class TORQScanSearchCondition;

uint8_t* CursorCurrentBuffer(TORQCursor* Cursor);
// Makes Buffer the cursor's current record buffer and hands back the one it replaced.
uint8_t* SwapCursorBuffer(TORQCursor* Cursor, uint8_t* Buffer);
// Whether Name is among the cursor's field definitions or its second list.
bool CursorHasField(TORQCursor* Cursor, const std::string& Name);
// Gives Condition a new key record of the cursor's record size (owned by the condition),
// no key columns yet, and the index's identity.
void StartScanKey(TORQScanSearchCondition& Condition, TORQCursor* Cursor, const TORQIndexDef& IndexDef);
// Adds a Null key column for field FieldNo that no expression node stands for.
void AddScanKeyNull(TORQScanSearchCondition& Condition, TORQCursor* Cursor, int32_t FieldNo);

}  // namespace orq
