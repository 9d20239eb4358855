// The cursor's side of expression nodes: binding field references to a cursor's field
// definitions, reading CLOB values through the table data's BLOB streams, and writing
// scan key values through the cursor.
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprCursorLink.h"
#include "engine/sql/ORQExprNodes.h"

namespace orq {

namespace {

[[noreturn]] void NoCursor() { RaiseNative(30901, "Cursor binding is not available"); }

}  // namespace

uint8_t* CursorCurrentBuffer(TORQCursor*) { NoCursor(); }
uint8_t* SwapCursorBuffer(TORQCursor*, uint8_t*) { NoCursor(); }
bool CursorHasField(TORQCursor*, const std::string&) { NoCursor(); }
void StartScanKey(TORQScanSearchCondition&, TORQCursor*, const TORQIndexDef&) { NoCursor(); }

void TORQExprNodeField::BindToCursor(TORQCursor* BindCursor, TORQAO*, TORQCursor*) {
    if (BindCursor == nullptr) RaiseNative(30202, "Value is Null");
    NoCursor();
}

bool TORQExprNodeField::BindCursorField(TORQCursor*) { NoCursor(); }
bool TORQExprNodeField::BindCursorFieldByName(TORQCursor*, const std::string&) { NoCursor(); }
void TORQExprNodeField::ReadClobValue() { NoCursor(); }

void TORQExprNode::AddScanKeyValue(TORQVariant&, TORQCursor*, TORQScanSearchCondition&, TORQBaseExpression*, int32_t) {
    NoCursor();
}

}  // namespace orq
