#include "engine/storage/ORQTableCursor.h"

#include <algorithm>
#include <cstring>

#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQTableData.h"

namespace orq {

namespace {

// Holds the table data's lock for one scope.
class TTableDataLock {
public:
    explicit TTableDataLock(TORQTableData& TableData) : FTableData(TableData) { FTableData.Lock(); }
    ~TTableDataLock() { FTableData.Unlock(); }
    TTableDataLock(const TTableDataLock&) = delete;
    TTableDataLock& operator=(const TTableDataLock&) = delete;

private:
    TORQTableData& FTableData;
};

}  // namespace

TORQTableCursor::~TORQTableCursor() { Release(); }

void TORQTableCursor::Release() noexcept {
    if (TableData != nullptr) {
        TTableDataLock lock(*TableData);
        TableData->RemoveCursor(this);
    }
    TableData = nullptr;
    DatabaseData = nullptr;
    CurrentRecord = nullptr;
    Active = 0;
}

void TORQTableCursor::OpenTable(TORQTableData& Table) {
    if (Active != 0) {
        if (TableData == &Table) return;
        RaiseNative(10260, "Nil pointer occured");
    }
    TTableDataLock lock(Table);
    Table.AddCursor(this);
    TableData = &Table;
    DatabaseData = Table.DatabaseData;
    try {
        TableName = Table.TableName;
        InitFieldDefs();
        if (Table.IndexManager != nullptr) IndexDefs.Assign(Table.IndexManager->IndexDefs);
        FRecord = TORQMemoryBlock(std::max(FullBufferSize, RecordBufferSize), true);
    } catch (...) {
        Table.RemoveCursor(this);
        TableData = nullptr;
        DatabaseData = nullptr;
        throw;
    }
    CurrentRecord = FRecord.Data();
    CurrentRecordID = {};
    Bof = 1;
    Eof = 0;
    Active = 1;
}

void TORQTableCursor::CloseTable() {
    if (Active == 0) return;
    Release();
    FilterExpression.reset();
    ScanPlan.reset();
    BlobStreams.clear();
    IndexDefs.Clear();
    ConstraintDefs.Clear();
    // Last: an overrun of the record buffer is reported once everything else is done.
    FRecord.Free();
}

void TORQTableCursor::LockTableData() {
    if (TableData == nullptr) RaiseNative(10260, "Nil pointer occured");
    TableData->Lock();
}

void TORQTableCursor::UnlockTableData() {
    if (TableData == nullptr) RaiseNative(10261, "Nil pointer occured");
    TableData->Unlock();
}

void TORQTableCursor::InitFieldDefs() {
    if (TableData == nullptr || TableData->FieldManager == nullptr) RaiseNative(10260, "Nil pointer occured");
    FieldDefs.Assign(TableData->FieldManager->FieldDefs);
    FieldDefs.CalculateOffsets();
    for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) FieldDefs.GetItem(i)->BaseFieldNo = i;
    CalculateRecordSizes();
    if (Projected == 0) {
        ProjectedFieldDefs.Assign(FieldDefs);
        for (int32_t i = 0; i < ProjectedFieldDefs.GetCount(); ++i) ProjectedFieldDefs.GetItem(i)->BaseFieldNo = i;
    }
    if (TableData->ConstraintManager != nullptr)
        ConstraintDefs.Assign(TableData->ConstraintManager->ConstraintDefs);
    else
        ConstraintDefs.Clear();
}

void TORQTableCursor::InitRecord(uint8_t* Buffer, bool ApplyDefaults) {
    const int32_t bitmap = FieldDefs.GetNullBitmapSize();
    std::memset(Buffer, 0xFF, static_cast<size_t>(bitmap));
    std::memset(Buffer + bitmap, 0, static_cast<size_t>(RecordSize - bitmap));
    if (!ApplyDefaults || TableData == nullptr || TableData->FieldManager == nullptr) return;
    TableData->FieldManager->ApplyDefaults(Buffer);
    TableData->FieldManager->ApplyAutoincValues(Session, Buffer);
}

uint8_t TORQTableCursor::GetRecord(uint8_t Mode) {
    if (TableData == nullptr) RaiseNative(10260, "Nil pointer occured");
    TTableDataLock lock(*TableData);
    return TableData->GetRecord(this, Mode);
}

void TORQTableCursor::First() {
    Bof = 1;
    Eof = 0;
}

void TORQTableCursor::Last() {
    Bof = 0;
    Eof = 1;
}

}  // namespace orq
