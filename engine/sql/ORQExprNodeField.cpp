// The cursor's side of expression nodes: binding field references to a cursor's field
// definitions, reading CLOB values through the table data's BLOB streams, and scan keys
// written through the cursor.
//
// A field reference bound to a cursor reads the cursor's memory records: the null bit of
// its base field number, and the bytes at the field's memory offset. Names in the
// second (projected) list stand for the base field they name.
#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQTableData.h"
#include "engine/sql/ORQExprCursorLink.h"
#include "engine/sql/ORQExprNodes.h"

namespace orq {

namespace {

// The base field number that Name stands for in Cursor, -1 when it has no such field.
int32_t FindCursorField(const TORQCursor& Cursor, const std::string& Name) {
    int32_t no = Cursor.FieldDefs.IndexOfName(Name);
    if (no >= 0) return no;
    const int32_t projected = Cursor.ProjectedFieldDefs.IndexOfName(Name);
    if (projected < 0) return -1;
    no = Cursor.ProjectedFieldDefs.GetItem(projected)->BaseFieldNo;
    return no >= 0 && no < Cursor.FieldDefs.GetCount() ? no : -1;
}

}  // namespace

uint8_t* CursorCurrentBuffer(TORQCursor* Cursor) { return Cursor->CurrentRecord; }

uint8_t* SwapCursorBuffer(TORQCursor* Cursor, uint8_t* Buffer) {
    uint8_t* old = Cursor->CurrentRecord;
    Cursor->CurrentRecord = Buffer;
    return old;
}

bool CursorHasField(TORQCursor* Cursor, const std::string& Name) { return FindCursorField(*Cursor, Name) >= 0; }

void StartScanKey(TORQScanSearchCondition& Condition, TORQCursor* Cursor, const TORQIndexDef& IndexDef) {
    Condition.FreeKey();
    Condition.Key = Cursor->AllocRecordBuffer();
    Condition.KeySize = std::max(Cursor->FullBufferSize, Cursor->RecordBufferSize);
    Condition.KeyIsBorrowed = false;
    Condition.FieldCount = 0;
    Condition.IndexID = IndexDef.ObjectID;
}

void AddScanKeyNull(TORQScanSearchCondition& Condition, TORQCursor* Cursor, int32_t FieldNo) {
    TORQVariant null;
    Cursor->SetFieldValue(null, FieldNo, Condition.Key, true);
    ++Condition.FieldCount;
}

void TORQExprNode::AddScanKeyValue(TORQVariant& KeyValue, TORQCursor* Cursor, TORQScanSearchCondition& Condition,
                                   TORQBaseExpression* Companion, int32_t FieldNo) {
    // The cursor converts in place: a copy keeps the node's own value as it was.
    TORQVariant copy;
    copy.Assign(KeyValue, true);
    Cursor->SetFieldValue(copy, FieldNo, Condition.Key, true);
    ++Condition.FieldCount;
    Condition.Expressions.push_back(Companion);
    Condition.Nodes.push_back(this);
}

bool TORQExprNodeField::BindCursorFieldByName(TORQCursor* Source, const std::string& Name) {
    if (Source == nullptr || Name.empty()) return false;
    const int32_t no = FindCursorField(*Source, Name);
    if (no < 0) return false;
    const TORQFieldDef& def = *Source->FieldDefs.GetItem(no);
    Cursor = Source;
    BoundOperator = nullptr;
    FieldNo = no;
    Offset = def.MemoryOffset;
    DataType = def.FieldType;
    BaseType = def.BaseType;
    Size = def.Size;
    FMemorySize = def.MemorySize;
    FNullBit = no;
    SetRecordBuffer(Source->CurrentRecord, IsOuterReference);
    return true;
}

bool TORQExprNodeField::BindCursorField(TORQCursor* Source) {
    return BindCursorFieldByName(Source, FieldName) || BindCursorFieldByName(Source, ResolvedName);
}

void TORQExprNodeField::BindToCursor(TORQCursor* BindCursor, TORQAO* Operator, TORQCursor* SecondCursor) {
    if (BindCursor == nullptr) RaiseNative(30202, "Value is Null");
    if (Operator != nullptr) BoundOperator = nullptr;
    if (SecondCursor != nullptr) Cursor = nullptr;
    if (IsOuterReference != 0) {
        if (BindCursorField(SecondCursor)) return;
        if (Operator != nullptr) {
            int32_t no = -1;
            TORQAOFieldDesc desc;
            if (Operator->FindField(FieldName, TableName, LookupFlag, no, desc) > 0) {
                BoundOperator = Operator;
                Cursor = nullptr;
                RecordBuffer = nullptr;
                FNullBit = -1;
                FieldNo = no;
                ResolvedName = desc.Name;
                DataType = desc.DataType;
                BaseType = desc.BaseType;
                Size = desc.Size;
                Extra = desc.Extra;
                Offset = 0;
            }
        }
        return;  // an outer reference may stay unbound
    }
    BoundOperator = nullptr;
    Cursor = nullptr;
    if (!BindCursorField(BindCursor)) BindCursorField(SecondCursor);
    if (Cursor == nullptr && BoundOperator == nullptr) RaiseNativeFmt(30115, "Field '%s' not found", {FieldName});
}

void TORQExprNodeField::ReadClobValue() {
    TORQTableData* tableData = Cursor != nullptr ? Cursor->TableData : nullptr;
    if (tableData == nullptr) RaiseNative(30903, "CLOB values are not available: the cursor has no table data");
    // The table data reads the BLOB of the cursor's current buffer: show it this one. The
    // bytes land in the node's own buffer, reused from record to record.
    Value.Clear(0);  // it may refer to the buffer about to be overwritten
    uint8_t* saved = SwapCursorBuffer(Cursor, RecordBuffer);
    try {
        tableData->ReadBlobValue(Cursor, FieldNo, FClobBytes);
    } catch (...) {
        SwapCursorBuffer(Cursor, saved);
        throw;
    }
    SwapCursorBuffer(Cursor, saved);
    const std::string& bytes = FClobBytes;
    if (BaseType == bdtWideClob) {
        // Stored as UTF-16 code units, little-endian.
        std::u16string text(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char16_t>(static_cast<uint8_t>(bytes[2 * i]) |
                                            (static_cast<uint8_t>(bytes[2 * i + 1]) << 8));
        Value.Clear(bdtWideVarChar);
        Value.SetAsWideString(text);
        return;
    }
    // The text up to its first zero byte, as SetAsString would keep it, referred to in
    // place; an empty text is Null.
    const std::size_t length = ::strnlen(bytes.data(), bytes.size());
    Value.Clear(bdtVarChar);
    if (length == 0) return;
    FClobBytes.resize(length);  // the string keeps its terminator after the text
    Value.SetData(FClobBytes.data(), static_cast<int32_t>(length + 1), bdtVarChar, false);
}

}  // namespace orq
