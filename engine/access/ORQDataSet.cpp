#include "engine/access/ORQDataSet.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <exception>
#include <mutex>

#include "classlib/DBFields.h"
#include "classlib/SysUtils.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQCopyFieldValue.h"
#include "engine/access/ORQTable.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/access/ORQUserInterface.h"
#include "engine/foundation/ORQEndian.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQLocalBLOBStream.h"

namespace orq {

using namespace classlib;

namespace {

constexpr const char* SNilPointer = "Nil pointer occured";

bool SameTextAscii(std::string_view A, std::string_view B) {
    if (A.size() != B.size()) return false;
    for (size_t i = 0; i < A.size(); ++i) {
        const auto a = static_cast<unsigned char>(A[i]), b = static_cast<unsigned char>(B[i]);
        if ((a >= 'a' && a <= 'z' ? a - 32 : a) != (b >= 'a' && b <= 'z' ? b - 32 : b)) return false;
    }
    return true;
}

std::vector<std::string> SplitNames(const std::string& Names) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t p = Names.find(';', start);
        std::string name = Names.substr(start, p == std::string::npos ? std::string::npos : p - start);
        const auto b = name.find_first_not_of(' ');
        const auto e = name.find_last_not_of(' ');
        if (b != std::string::npos) out.push_back(name.substr(b, e - b + 1));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return out;
}

// The wide-string cells of calculated fields: a 4-byte slot in a record buffer holds a
// 1-based index here. A cell remembers the buffer it was made for.
struct TWideCell {
    std::u16string Value;
    const uint8_t* Owner = nullptr;
};

class TWideCellTable {
public:
    std::mutex Mutex;
    std::vector<TWideCell> Cells;   // index + 1 is the handle
    std::vector<uint32_t> Free;     // handles of unused cells
    int32_t Live = 0;
};

TWideCellTable& WideCells() {
    static TWideCellTable table;
    return table;
}

// Releases every cell Owner holds.
void FreeOwnedCells(const uint8_t* Owner) {
    TWideCellTable& t = WideCells();
    std::lock_guard lock(t.Mutex);
    for (size_t i = 0; i < t.Cells.size(); ++i) {
        if (t.Cells[i].Owner != Owner) continue;
        t.Cells[i].Owner = nullptr;
        t.Cells[i].Value.clear();
        t.Free.push_back(static_cast<uint32_t>(i + 1));
        --t.Live;
    }
}

// A zeroed scratch of N bytes: on the stack for the sizes most fields have.
class TScratch {
public:
    explicit TScratch(int32_t N) : FSize(static_cast<size_t>(std::max(N, 0))) {
        if (FSize > sizeof(FLocal)) FHeap.assign(FSize, 0);
        else std::memset(FLocal, 0, FSize);
    }
    uint8_t* data() { return FSize > sizeof(FLocal) ? FHeap.data() : FLocal; }

private:
    size_t FSize;
    uint8_t FLocal[256];
    std::vector<uint8_t> FHeap;
};

// The saved position of a cursor, put back on every path.
class TPositionKeeper {
public:
    explicit TPositionKeeper(TORQCursor& Cursor)
        : FCursor(Cursor), FRecord(Cursor.CurrentRecord), FBlock(Cursor.SavePosition()) {}
    ~TPositionKeeper() {
        FCursor.RestorePosition(FBlock);
        FCursor.FreePosition(FBlock);
        FCursor.CurrentRecord = FRecord;
    }
    TPositionKeeper(const TPositionKeeper&) = delete;
    TPositionKeeper& operator=(const TPositionKeeper&) = delete;

private:
    TORQCursor& FCursor;
    uint8_t* FRecord;
    uint8_t* FBlock;
};

}  // namespace

int32_t WideStringCellCount() {
    TWideCellTable& t = WideCells();
    std::lock_guard lock(t.Mutex);
    return t.Live;
}

// ---------------------------------------------------------------------------------
// TORQExportToSqlOptions

void TORQExportToSqlOptions::Assign(const TPersistent* Source) {
    if (const auto* o = dynamic_cast<const TORQExportToSqlOptions*>(Source)) {
        Structure = o->Structure;
        AddDropTable = o->AddDropTable;
        BlobSettings = o->BlobSettings;
        Data = o->Data;
        FieldNamesInInserts = o->FieldNamesInInserts;
        return;
    }
    TPersistent::Assign(Source);
}

// ---------------------------------------------------------------------------------
// Construction and properties

TORQDataSet::TORQDataSet(TComponent* AOwner) : TDataSet(AOwner) {
    if (AOwner != nullptr && AOwner->IsDesigning()) SetDesignTime(true);
}

TORQDataSet::~TORQDataSet() {
    Destroying();
    try {
        Close();
    } catch (...) {
        UserInterface().HandleException(std::current_exception());
    }
    try {
        DestroyCursor();
        for (int32_t f = 0; f < 16; ++f)
            if ((FDatabaseFlags & (1u << f)) != 0) SetDatabaseFlag(f, false);
    } catch (...) {
        UserInterface().HandleException(std::current_exception());
    }
}

void TORQDataSet::SetDatabaseName(const std::string& Value) {
    if (IsLoading()) {
        FDatabaseName = Value;
        FInMemory = SameTextAscii(Value, "MEMORY");
        return;
    }
    if (Value == FDatabaseName) return;
    CheckInactive();
    if (FDatabase != nullptr) DatabaseError("Cannot perform this operation on an open database", this);
    FDatabaseName = Value;
    FInMemory = SameTextAscii(Value, "MEMORY");
    DataEvent(dePropertyChange, 0);
}

void TORQDataSet::SetSessionName(const std::string& Value) {
    CheckInactive();
    FSessionName = Value;
    DataEvent(dePropertyChange, 0);
}

void TORQDataSet::SetInMemory(bool Value) {
    CheckInactive();
    FInMemory = Value;
    if (Value) SetDatabaseName("MEMORY");
}

TORQCursor& TORQDataSet::CheckCursor(int32_t Code) const {
    if (FCursor == nullptr) RaiseNative(Code, SNilPointer);
    return *FCursor;
}

void TORQDataSet::SetCursor(TORQCursor* Cursor, bool Shared) {
    CheckInactive();
    DestroyCursor();
    FCursor = Cursor;
    FSharedCursor = Shared;
    if (!Shared) FOwnedCursor.reset(Cursor);
}

void TORQDataSet::PointCursorAt(uint8_t* Buffer) {
    FCursor->CurrentRecord = Buffer;
    if (Buffer != nullptr) FCursor->CurrentRecordID = TORQRecordID::FromBytes(Buffer + R());
}

// ---------------------------------------------------------------------------------
// The database

void TORQDataSet::ReconcileDatabase() {
    // A database opened under "Default" before its named session existed moves there.
    if (FSessionName.empty() || FDatabaseName.empty()) return;
    TORQSession* named = SessionList().FindSession(FSessionName);
    if (named == nullptr || named->IsDefault()) return;
    if (named->FindOwnerDatabase(FDatabaseName, Owner()) != nullptr) return;
    TORQDatabase* db = DefaultSession().FindOwnerDatabase(FDatabaseName, Owner());
    if (db != nullptr && !db->Connected()) db->SetSessionName(FSessionName);
}

bool TORQDataSet::SetDatabaseFlag(int32_t Flag, bool On) {
    const auto bit = static_cast<uint16_t>(1u << (Flag & 15));
    const bool set = (FDatabaseFlags & bit) != 0;
    if (On == set) return false;
    if (On) {
        if (FDatabaseFlags == 0) {
            ReconcileDatabase();
            TORQDatabase* db = OpenDatabase();
            try {
                if (db != nullptr) db->AddDataSet(this);
            } catch (...) {
                CloseDatabase(db);
                throw;
            }
            FDatabase = db;
        }
        FDatabaseFlags |= bit;
        return true;
    }
    FDatabaseFlags &= static_cast<uint16_t>(~bit);
    if (FDatabaseFlags == 0) ReleaseDatabase();
    return true;
}

void TORQDataSet::ReleaseDatabase() {
    TORQDatabase* db = FDatabase;
    FDatabase = nullptr;
    if (db == nullptr) return;
    TORQSession* session = db->Session();
    if (session == nullptr) {
        db->RemoveDataSet(this);
        return;
    }
    TORQSessionLock lock(*session);
    db->RemoveDataSet(this);
    CloseDatabase(db);
}

TORQDatabase* TORQDataSet::OpenDatabase() {
    return &SessionList().GetSession(FSessionName).OpenDatabase(FDatabaseName, Owner());
}

void TORQDataSet::CloseDatabase(TORQDatabase* Database) {
    if (Database == nullptr) return;
    if (Database->Session() != nullptr) Database->Session()->CloseDatabase(Database);
}

// ---------------------------------------------------------------------------------
// Cursor lifetime

TORQCursor* TORQDataSet::CreateCursor() { return nullptr; }

void TORQDataSet::DestroyCursor() {
    if (FCursor == nullptr) return;
    FCursor->Projected = 0;
    FCursor->DataSet = nullptr;
    if (auto* local = dynamic_cast<TORQLocalCursor*>(FCursor)) local->OnDetachBlobStream = nullptr;
    FCursor->OnFilterRecord = nullptr;
    TORQCursor* cursor = FCursor;
    FCursor = nullptr;
    if (!FSharedCursor) {
        if (FOwnedCursor.get() == cursor) FOwnedCursor.reset();
    }
    FSharedCursor = false;
}

void TORQDataSet::AfterCursorOpened() {}

void TORQDataSet::CloseDataSet() { Close(); }

void TORQDataSet::OpenCursor(bool InfoQuery) {
    if (FDatabaseName.empty()) DatabaseError("DatabaseName property is blank", this);
    SetDatabaseFlag(dfCursor, true);
    if (FCursor == nullptr) {
        TORQCursor* c = CreateCursor();
        if (c == nullptr) RaiseNative(20001, "Error creating table handle");
        FCursor = c;
        FSharedCursor = false;
        FOwnedCursor.reset(c);
        if (!FProjectionFields.empty()) {
            c->InitFieldDefs();
            c->SetProjection(FProjectionFields, FProjectionAliases);
        }
    }
    TDataSet::OpenCursor(InfoQuery);
}

void TORQDataSet::CloseCursor() {
    TDataSet::CloseCursor();
    DestroyCursor();
    SetDatabaseFlag(dfCursor, false);
}

void TORQDataSet::SetActive(bool Value) {
    // The framework cancels an edit or insert before it closes: the cursor's record
    // lock goes with that cancel.
    TDataSet::SetActive(Value);
}

void TORQDataSet::InternalInitFieldDefs() {
    FieldDefs().Clear();
    if (FCursor == nullptr) return;
    if (!KeepsCursorDesignTime()) FCursor->DesignTime = IsDesignTime() ? 1 : 0;
    FCursor->InitFieldDefs();
    FEngineFieldDefs.Assign(FCursor->FieldDefs);
    FEngineConstraintDefs.Assign(FCursor->ConstraintDefs);
    EngineFieldDefsToFieldDefs(FCursor->ProjectedFieldDefs, FCursor->ConstraintDefs, FieldDefs());
    EngineFieldDefsToAdvFieldDefs(FEngineFieldDefs, FEngineFieldDefs, FEngineConstraintDefs, FAdvFieldDefs);
    FRestructureFieldDefs.Assign(FAdvFieldDefs);
}

void TORQDataSet::InternalOpen() {
    if (FCursor == nullptr) return;
    SetBookmarkSize(7);
    FieldDefs().SetUpdated(false);
    FieldDefs().Update();
    BuildIndexFieldList();
    FreeOldRecord();
    for (int i = 0; i < FieldDefs().Count(); ++i)
        if (FieldDefs().Items(i)->DataType() == ftGuid) FieldDefs().Items(i)->SetSize(38);
    if (DefaultFields()) CreateFields();
    BindFields(true);
    FCursor->DataSet = this;
    FCursor->CalcFieldsSize = CalcFieldsSize();
    FCursor->CalcFieldsOffset = FCursor->RecordBufferSize;
    FCursor->FullBufferSize = FCursor->RecordBufferSize + CalcFieldsSize();
    if (auto* local = dynamic_cast<TORQLocalCursor*>(FCursor)) {
        local->OnDetachBlobStream = [](TORQLocalBLOBStream& Stream) {
            if (Stream.DataSetStream != nullptr) static_cast<TORQBLOBStream*>(Stream.DataSetStream)->Detach();
        };
    }
    if (Filtered())
        ApplyFilter();
    else
        CancelFilter();
    try {
        for (TKeyBuffer& k : FKeyBuffers) {
            k = TKeyBuffer{};
            k.Record = FCursor->AllocRecordBuffer();
            FCursor->ClearRecordBuffer(k.Record);
        }
    } catch (...) {
        FreeKeyBuffers();
        throw;
    }
    ResetRange();
    AfterCursorOpened();
}

void TORQDataSet::InternalClose() {
    if (FCursor != nullptr) {
        FreeOldRecord();
        FreeKeyBuffers();
    }
    BindFields(false);
    if (DefaultFields()) DestroyFields();
    FEngineFieldDefs.Clear();
    FEngineIndexDefs.Clear();
    FEngineConstraintDefs.Clear();
    FAdvFieldDefs.Clear();
    FAdvIndexDefs.Clear();
    FIndexFields.clear();
    FIndexFieldsSize = 0;
}

void TORQDataSet::FreeOldRecord() {
    if (FOldRecord == nullptr) return;
    if (FCursor != nullptr) {
        if (FCursor->OldRecord == FOldRecord) FCursor->OldRecord = nullptr;
        // The image is a byte copy: the BLOB cache handles in it are the active buffer's.
        TORQCursor* c = FCursor;
        c->TORQCursor::FreeRecordBuffer(FOldRecord);
    }
    FOldRecord = nullptr;
}

void TORQDataSet::FreeKeyBuffers() {
    for (TKeyBuffer& k : FKeyBuffers) {
        if (k.Record != nullptr && FCursor != nullptr) FCursor->FreeRecordBuffer(k.Record);
        k = TKeyBuffer{};
    }
    FCurrentKey = nullptr;
}

void TORQDataSet::InternalHandleException() { UserInterface().HandleException(std::current_exception()); }

// ---------------------------------------------------------------------------------
// Record buffers and bookmarks

TRecordBuffer TORQDataSet::AllocRecordBuffer() { return CheckCursor(nilcode::AllocRecordBuffer).AllocRecordBuffer(); }

void TORQDataSet::FreeRecordBuffer(TRecordBuffer& Buffer) {
    if (Buffer == nullptr) return;
    TORQCursor& c = CheckCursor(nilcode::FreeRecordBuffer);
    FreeBufferCells(Buffer);
    c.FreeRecordBuffer(Buffer);
    Buffer = nullptr;
}

int32_t TORQDataSet::GetRecordSize() { return CheckCursor(nilcode::GetRecordSize).RecordSize; }

void TORQDataSet::InitRecord(TRecordBuffer Buffer) {
    CheckCursor(nilcode::InitRecord);
    TDataSet::InitRecord(Buffer);
    Buffer[R() + 6] = bfInserted;
    TORQRecordID{-1, 0xFFFF}.ToBytes(Buffer + R());
}

void TORQDataSet::InternalInitRecord(TRecordBuffer Buffer) {
    CheckCursor(nilcode::InternalInitRecord).InitRecord(Buffer, true);
}

void TORQDataSet::GetBookmarkData(const uint8_t* Buffer, void* Data) {
    CheckCursor(nilcode::GetBookmarkData);
    std::memcpy(Data, Buffer + R(), TORQRecordID::ByteSize);
}

void TORQDataSet::SetBookmarkData(TRecordBuffer Buffer, const void* Data) {
    CheckCursor(nilcode::SetBookmarkData);
    if (Data != nullptr) std::memcpy(Buffer + R(), Data, TORQRecordID::ByteSize);
}

TBookmarkFlag TORQDataSet::GetBookmarkFlag(const uint8_t* Buffer) {
    CheckCursor(nilcode::GetBookmarkFlag);
    const uint8_t f = Buffer[R() + 6];
    return f == bfBOF || f == bfEOF || f == bfInserted ? static_cast<TBookmarkFlag>(f) : bfCurrent;
}

void TORQDataSet::SetBookmarkFlag(TRecordBuffer Buffer, TBookmarkFlag Value) {
    CheckCursor(nilcode::SetBookmarkFlag);
    Buffer[R() + 6] = static_cast<uint8_t>(Value);
}

void TORQDataSet::ClearCalcFields(TRecordBuffer Buffer) {
    CheckCursor(nilcode::ClearCalcFields);
    if (CalcFieldsSize() <= 0) return;
    FreeBufferCells(Buffer);
    std::memset(Buffer + R() + 7, 0, static_cast<size_t>(CalcFieldsSize()));
}

void TORQDataSet::FreeBufferCells(uint8_t* Buffer) {
    if (CalcFieldsSize() <= 0) return;
    for (TField* f : Fields())
        if (f->InCalcArea() && f->DataType() == ftWideString) {
            FreeOwnedCells(Buffer);
            return;
        }
}

int32_t TORQDataSet::WideStringCells(const uint8_t* Buffer) const {
    TWideCellTable& t = WideCells();
    std::lock_guard lock(t.Mutex);
    return static_cast<int32_t>(std::count_if(t.Cells.begin(), t.Cells.end(),
                                              [Buffer](const TWideCell& c) { return c.Owner == Buffer; }));
}

void TORQDataSet::SetCalcWideString(uint8_t* Slot, const uint8_t* Buffer, const std::u16string& Value) {
    TWideCellTable& t = WideCells();
    std::lock_guard lock(t.Mutex);
    uint32_t handle = LoadLE32(Slot);
    if (handle == 0 || handle > t.Cells.size() || t.Cells[handle - 1].Owner != Buffer) {
        if (!t.Free.empty()) {
            handle = t.Free.back();
            t.Free.pop_back();
        } else {
            t.Cells.emplace_back();
            handle = static_cast<uint32_t>(t.Cells.size());
        }
        t.Cells[handle - 1].Owner = Buffer;
        ++t.Live;
        StoreLE32(Slot, handle);
    }
    t.Cells[handle - 1].Value = Value;
}

// ---------------------------------------------------------------------------------
// Field data

uint8_t* TORQDataSet::GetActiveRecordBuffer() {
    switch (State()) {
        case dsBrowse: return IsEmpty() ? nullptr : ActiveBuffer();
        case dsEdit:
        case dsInsert: return ActiveBuffer();
        case dsSetKey: return FCurrentKey != nullptr ? FCurrentKey->Record : nullptr;
        case dsCalcFields: return CalcBuffer();
        case dsFilter: return FFilterBuffer;
        case dsNewValue: return FOldRecord;
        default: return nullptr;
    }
}

int32_t TORQDataSet::BaseFieldNo(const TField* Field) const {
    const int32_t no = Field->FieldNo() - 1;
    if (no < 0 || no >= FCursor->ProjectedFieldDefs.GetCount()) return no;
    return FCursor->ProjectedFieldDefs.GetItem(no)->BaseFieldNo;
}

bool TORQDataSet::GetFieldData(TField* Field, void* Buffer) {
    if (!Active() && State() != dsOpening) return false;
    uint8_t* rec = GetActiveRecordBuffer();
    if (rec == nullptr) return false;
    TORQCursor& c = CheckCursor(nilcode::GetFieldData);
    if (Field->InCalcArea()) {
        const uint8_t* p = rec + R() + 7 + Field->Offset();
        const bool has = p[0] != 0;
        if (!has || Buffer == nullptr) return has;
        if (Field->DataType() == ftWideString) {
            const uint32_t handle = LoadLE32(p + 1);
            std::u16string value;
            {
                TWideCellTable& t = WideCells();
                std::lock_guard lock(t.Mutex);
                if (handle >= 1 && handle <= t.Cells.size()) value = t.Cells[handle - 1].Value;
            }
            const size_t n = std::min(value.size(), static_cast<size_t>(std::max(Field->Size(), 0)));
            auto* out = static_cast<char16_t*>(Buffer);
            std::memcpy(out, value.data(), n * 2);
            out[n] = 0;
        } else {
            std::memcpy(Buffer, p + 1, static_cast<size_t>(Field->DataSize()));
        }
        return true;
    }
    const int32_t no = Field->FieldNo() - 1;
    if (no < 0 || no >= c.ProjectedFieldDefs.GetCount())
        RaiseNativeFmt(10005, "Invalid field number - FieldNo = %d, FieldCount = %d",
                       {no, c.ProjectedFieldDefs.GetCount()});
    const TORQFieldDef& def = *c.ProjectedFieldDefs.GetItem(no);
    if (Buffer == nullptr || IsBlobAdvancedType(def.FieldType)) return c.GetFieldData(no, nullptr, rec);
    // The engine form is read into a scratch of its own size: the caller's buffer has
    // the framework's size.
    TScratch native(std::max(def.MemorySize, Field->DataSize()) + 8);
    if (!c.GetFieldData(no, native.data(), rec)) return false;
    switch (Field->DataType()) {
        case ftDate: {
            const TDateTime dt = DaysToDateTime(static_cast<int32_t>(LoadLE32(native.data())));
            const int32_t days = static_cast<int32_t>(std::trunc(dt)) + DayNumberDelta;
            std::memcpy(Buffer, &days, 4);
            break;
        }
        case ftTime: {
            const TDateTime dt = MillisecondsToTime(static_cast<int32_t>(LoadLE32(native.data())));
            const auto ms = static_cast<int32_t>(std::nearbyint((dt - std::trunc(dt)) * MillisecondsPerDay));
            std::memcpy(Buffer, &ms, 4);
            break;
        }
        case ftDateTime: {
            const TORQTimeStamp ts{static_cast<int32_t>(LoadLE32(native.data())),
                                   static_cast<int32_t>(LoadLE32(native.data() + 4))};
            const double ms = (TimeStampToDateTime(ts) + DayNumberDelta) * MillisecondsPerDay;
            std::memcpy(Buffer, &ms, 8);
            break;
        }
        default:
            std::memcpy(Buffer, native.data(), static_cast<size_t>(std::max(Field->DataSize(), 0)));
    }
    return true;
}

void TORQDataSet::SetFieldData(TField* Field, const void* Buffer) {
    const TDataSetState st = State();
    if (st != dsEdit && st != dsInsert && st != dsSetKey && st != dsCalcFields && st != dsFilter &&
        st != dsNewValue && st != dsInternalCalc)
        RaiseNative(10007, "Dataset not in edit or insert mode");
    if (st == dsSetKey && (Field->InCalcArea() || (!FIndexFields.empty() && !GetIsIndexField(Field))))
        RaiseNativeFmt(20019, "Field %s is not in the current index", {Field->DisplayName()});
    TORQCursor& c = CheckCursor(nilcode::SetFieldData);
    uint8_t* rec = GetActiveRecordBuffer();
    if (rec == nullptr) RaiseNative(nilcode::SetFieldData, SNilPointer);
    if (Field->InCalcArea()) {
        uint8_t* p = rec + R() + 7 + Field->Offset();
        p[0] = Buffer != nullptr ? 1 : 0;
        if (Buffer != nullptr) {
            if (Field->DataType() == ftWideString) {
                const auto* in = static_cast<const char16_t*>(Buffer);
                size_t n = 0;
                const auto size = static_cast<size_t>(std::max(Field->Size(), 0));
                while (n < size && in[n] != 0) ++n;
                SetCalcWideString(p + 1, rec, std::u16string(in, n));
            } else {
                std::memcpy(p + 1, Buffer, static_cast<size_t>(Field->DataSize()));
            }
        }
    } else {
        Field->Validate(Buffer);
        const int32_t no = Field->FieldNo() - 1;
        if (no < 0 || no >= c.ProjectedFieldDefs.GetCount())
            RaiseNativeFmt(10006, "Invalid field number - FieldNo = %d, FieldCount = %d",
                           {no, c.ProjectedFieldDefs.GetCount()});
        if (Buffer == nullptr) {
            c.SetFieldData(no, nullptr, rec);
        } else {
            const TORQFieldDef& def = *c.ProjectedFieldDefs.GetItem(no);
            // Converted in a copy of the engine form's size: the caller's buffer is
            // never written and never read past its own size.
            TScratch native(std::max(def.MemorySize, Field->DataSize()) + 8);
            switch (Field->DataType()) {
                case ftDate: {
                    int32_t days;
                    std::memcpy(&days, Buffer, 4);
                    const TDateTime dt = static_cast<double>(days) - DayNumberDelta;
                    StoreLE32(native.data(), static_cast<uint32_t>(DateTimeToDays(dt)));
                    break;
                }
                case ftTime: {
                    int32_t ms;
                    std::memcpy(&ms, Buffer, 4);
                    StoreLE32(native.data(), static_cast<uint32_t>(TimeToMilliseconds(
                                                 static_cast<double>(ms) / MillisecondsPerDay)));
                    break;
                }
                case ftDateTime: {
                    double ms;
                    std::memcpy(&ms, Buffer, 8);
                    const TORQTimeStamp ts = DateTimeToTimeStamp(ms / MillisecondsPerDay - DayNumberDelta);
                    StoreLE32(native.data(), static_cast<uint32_t>(ts.Days));
                    StoreLE32(native.data() + 4, static_cast<uint32_t>(ts.Milliseconds));
                    break;
                }
                default:
                    std::memcpy(native.data(), Buffer, static_cast<size_t>(std::max(Field->DataSize(), 0)));
            }
            c.SetFieldData(no, native.data(), rec);
        }
    }
    if (st != dsCalcFields && st != dsFilter && st != dsNewValue) DataEvent(deFieldChange, FieldInfo(Field));
}

void TORQDataSet::DataConvert(TField* Field, const void* Source, void* Dest, bool ToNative) {
    // Wide strings convert as the framework does (the first Size characters, then the terminator).
    switch (Field->DataType()) {
        case ftTimeStamp: {
            auto* bytes = static_cast<uint8_t*>(Dest);
            if (ToNative) {
                const TORQTimeStamp ts =
                    DateTimeToTimeStamp(SQLTimeStampToDateTime(*static_cast<const TSQLTimeStamp*>(Source)));
                StoreLE32(bytes, static_cast<uint32_t>(ts.Days));
                StoreLE32(bytes + 4, static_cast<uint32_t>(ts.Milliseconds));
            } else {
                const auto* in = static_cast<const uint8_t*>(Source);
                const TORQTimeStamp ts{static_cast<int32_t>(LoadLE32(in)), static_cast<int32_t>(LoadLE32(in + 4))};
                *static_cast<TSQLTimeStamp*>(Dest) = DateTimeToSQLTimeStamp(TimeStampToDateTime(ts));
            }
            break;
        }
        default: TDataSet::DataConvert(Field, Source, Dest, ToNative);
    }
}

bool TORQDataSet::GetIsIndexField(TField* Field) {
    return std::find(FIndexFields.begin(), FIndexFields.end(), Field->FieldNo()) != FIndexFields.end();
}

bool TORQDataSet::GetCanModify() { return TDataSet::GetCanModify() && !FReadOnly; }

// ---------------------------------------------------------------------------------
// Reading records

TGetResult TORQDataSet::GetRecord(TRecordBuffer Buffer, TGetMode GetMode, bool DoCheck) {
    TORQCursor& c = CheckCursor(nilcode::GetRecord);
    c.CurrentRecord = Buffer;
    const uint8_t r = c.GetRecord(static_cast<uint8_t>(GetMode));
    switch (r) {
        case 0:
            c.CurrentRecordID.ToBytes(Buffer + R());
            Buffer[R() + 6] = bfCurrent;
            GetCalcFields(Buffer);
            return classlib::grOK;
        case 1: return classlib::grBOF;
        case 2: return classlib::grEOF;
        default:
            if (DoCheck) RaiseNative(10026, "Cannot retrieve record");
            return classlib::grError;
    }
}

bool TORQDataSet::GetCurrentRecord(TRecordBuffer Buffer) {
    if (FCursor == nullptr || IsEmpty() || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) return false;
    UpdateCursorPos();
    FCursor->CurrentRecord = Buffer;
    if (FCursor->GetRecord(0) != 0) return false;
    FCursor->CurrentRecordID.ToBytes(Buffer + R());
    Buffer[R() + 6] = bfCurrent;
    return true;
}

int32_t TORQDataSet::GetRecordCount() {
    if (!Active()) return 0;
    return static_cast<int32_t>(CheckCursor(nilcode::GetRecordCount).GetRecordCount());
}

int32_t TORQDataSet::GetRecNo() {
    if (State() == dsInsert) return -1;
    uint8_t* b = State() == dsCalcFields ? CalcBuffer() : GetActiveRecordBuffer();
    if (b == nullptr) return -1;
    TORQCursor& c = CheckCursor(nilcode::GetRecNo);
    TPositionKeeper keep(c);
    c.CurrentRecordID = TORQRecordID::FromBytes(b + R());
    c.Bof = 0;
    c.Eof = 0;
    return static_cast<int32_t>(c.GetRecNo());
}

void TORQDataSet::SetRecNo(int32_t Value) {
    TORQCursor& c = CheckCursor(nilcode::SetRecNo);
    // A pending edit is posted first, as every other move does.
    CheckBrowseMode();
    DoBeforeScroll();
    c.SetRecNo(Value);
    Resync(rmCenter);
    DoAfterScroll();
}

void TORQDataSet::InternalFirst() { CheckCursor(nilcode::InternalFirst).First(); }
void TORQDataSet::InternalLast() { CheckCursor(nilcode::InternalLast).Last(); }

void TORQDataSet::InternalGotoBookmark(const void* Bookmark) {
    TORQCursor& c = CheckCursor(nilcode::InternalGotoBookmark);
    c.CurrentRecordID = TORQRecordID::FromBytes(static_cast<const uint8_t*>(Bookmark));
    c.Bof = 0;
    c.Eof = 0;
}

void TORQDataSet::InternalSetToRecord(TRecordBuffer Buffer) {
    CheckCursor(nilcode::InternalSetToRecord);
    InternalGotoBookmark(Buffer + R());
}

bool TORQDataSet::BookmarkValid(const TBookmark& Bookmark) {
    if (Bookmark.empty() || FCursor == nullptr) return false;
    CursorPosChanged();
    TPositionKeeper keep(*FCursor);
    uint8_t* scratch = FCursor->AllocRecordBuffer();
    bool valid = false;
    try {
        FCursor->CurrentRecord = scratch;
        FCursor->CurrentRecordID = TORQRecordID::FromBytes(Bookmark.data());
        FCursor->Bof = 0;
        FCursor->Eof = 0;
        valid = FCursor->GetRecord(0) == 0;
    } catch (...) {
        FreeRecordBuffer(scratch);
        throw;
    }
    FreeRecordBuffer(scratch);
    return valid;
}

int32_t TORQDataSet::CompareBookmarks(const TBookmark& Bookmark1, const TBookmark& Bookmark2) {
    if (Bookmark1.empty() && Bookmark2.empty()) return 0;
    if (Bookmark1.empty()) return 1;
    if (Bookmark2.empty()) return -1;
    TORQCursor& c = CheckCursor(nilcode::CompareBookmarks);
    CursorPosChanged();
    auto recNo = [&](const TBookmark& B) -> int64_t {
        TPositionKeeper keep(c);
        uint8_t* scratch = c.AllocRecordBuffer();
        int64_t n = -1;
        try {
            c.CurrentRecord = scratch;
            c.CurrentRecordID = TORQRecordID::FromBytes(B.data());
            c.Bof = 0;
            c.Eof = 0;
            if (c.GetRecord(0) == 0) n = c.GetRecNo();
        } catch (...) {
            FreeRecordBuffer(scratch);
            throw;
        }
        FreeRecordBuffer(scratch);
        return n;
    };
    const int64_t a = recNo(Bookmark1), b = recNo(Bookmark2);
    return a == b ? 0 : (a > b ? 1 : -1);
}

// ---------------------------------------------------------------------------------
// Editing

void TORQDataSet::InternalInsert() {
    TORQCursor& c = CheckCursor(nilcode::InternalInsert);
    if (!FReadOnly) c.BeginInsert();
}

void TORQDataSet::InternalEdit() {
    if (FReadOnly) return;
    TORQCursor& c = CheckCursor(nilcode::InternalEdit);
    uint8_t* active = ActiveBuffer();
    if (active == nullptr || IsEmpty()) RaiseNative(10067, SNilPointer);
    FreeOldRecord();
    FOldRecord = c.AllocRecordBuffer();
    std::memcpy(FOldRecord, active, static_cast<size_t>(c.RecordBufferSize));
    try {
        PointCursorAt(active);
        c.Edit();
        RaiseEngineResult(c.ResultCode, c.ResultText);
    } catch (...) {
        FreeOldRecord();
        throw;
    }
}

void TORQDataSet::InternalPost() {
    TDataSet::InternalPost();
    if (!Active()) RaiseNative(10029, "Dataset is not opened");
    if (State() != dsEdit && State() != dsInsert) RaiseNative(10030, "Dataset is not in insert or edit mode");
    if (FReadOnly) RaiseNative(10032, "Dataset is in read only mode");
    TORQCursor& c = CheckCursor(nilcode::InternalPost);
    const bool inserting = State() == dsInsert;
    uint8_t* buffer = GetActiveRecordBuffer();
    PointCursorAt(buffer);
    c.OldRecord = inserting ? nullptr : FOldRecord;
    try {
        c.PostRecord(inserting);
    } catch (...) {
        c.OldRecord = nullptr;
        throw;
    }
    c.OldRecord = nullptr;
    if (c.ResultCode == 0 && inserting && buffer != nullptr) c.CurrentRecordID.ToBytes(buffer + R());
    if (!inserting && c.ResultCode == 0) FreeOldRecord();
    RaiseEngineResult(c.ResultCode, c.ResultText);
}

void TORQDataSet::InternalCancel() {
    TORQCursor& c = CheckCursor(nilcode::InternalCancel);
    FreeOldRecord();
    uint8_t* buffer = GetActiveRecordBuffer();
    PointCursorAt(buffer);
    c.CancelRecord(State() == dsInsert);
    RaiseEngineResult(c.ResultCode, c.ResultText);
}

void TORQDataSet::InternalDelete() {
    if (!Active()) RaiseNative(10068, "Dataset is not opened");
    if (FReadOnly) RaiseNative(10069, "Dataset is in read only mode");
    TORQCursor& c = CheckCursor(nilcode::InternalDelete);
    uint8_t* active = GetActiveRecordBuffer();
    if (active == nullptr) RaiseNative(10071, SNilPointer);
    // The framework reads the window again from the cursor's position, and a deleted
    // record's position has no next one: the record after it (before it, at the end)
    // is found first and becomes the position once the delete succeeded. The search
    // leaves the position as it was: a step that met the end or the beginning sets
    // the cursor's flag, and the delete's re-read of the record would then find none.
    const TORQRecordID target = TORQRecordID::FromBytes(active + R());
    TORQRecordID neighbour;
    bool found = false;
    uint8_t* scratch = c.AllocRecordBuffer();
    try {
        TPositionKeeper keep(c);
        c.CurrentRecord = scratch;
        for (uint8_t mode : {uint8_t{1}, uint8_t{2}}) {
            c.CurrentRecordID = target;
            c.Bof = 0;
            c.Eof = 0;
            if (c.GetRecord(mode) == 0) {
                neighbour = c.CurrentRecordID;
                found = true;
                break;
            }
        }
    } catch (...) {
        FreeRecordBuffer(scratch);
        throw;
    }
    FreeRecordBuffer(scratch);
    PointCursorAt(active);
    c.DeleteRecord();
    if (c.ResultCode == 0 && found) {
        c.CurrentRecordID = neighbour;
        c.Bof = 0;
        c.Eof = 0;
    }
    RaiseEngineResult(c.ResultCode, c.ResultText);
}

void TORQDataSet::InternalAddRecord(const void* Buffer, bool Append) {
    (void)Append;
    if (!Active()) RaiseNative(10075, "Dataset is not opened");
    if (State() != dsInsert) RaiseNative(10076, "Dataset is not in insert or edit mode");
    if (FReadOnly) RaiseNative(10077, "Dataset is in read only mode");
    TORQCursor& c = CheckCursor(nilcode::InternalAddRecord);
    c.CurrentRecord = static_cast<uint8_t*>(const_cast<void*>(Buffer));
    c.OldRecord = nullptr;
    c.PostRecord(true);
    if (c.ResultCode == -1) DatabaseError("Error adding record", this);
    // A violated constraint or a lock time-out must not pass as a success.
    RaiseEngineResult(c.ResultCode, c.ResultText);
}

void TORQDataSet::InternalRefresh() {
    TORQCursor& c = CheckCursor(nilcode::InternalRefresh);
    if (Active() && OnFilterRecord()) c.ResetRecordBitmap();
}

// ---------------------------------------------------------------------------------
// Filters

bool TORQDataSet::FilterCallback(const uint8_t* Record) {
    if (!Filtered() || !OnFilterRecord()) return true;
    uint8_t* saved = FFilterBuffer;
    FFilterBuffer = const_cast<uint8_t*>(Record);
    // The candidate's position travels at R, so a BLOB read in the handler is its own.
    if (Record == FCursor->CurrentRecord) FCursor->CurrentRecordID.ToBytes(FFilterBuffer + R());
    bool accept = true;
    try {
        accept = DoFilterRecord();
    } catch (...) {
        FFilterBuffer = saved;
        throw;
    }
    FFilterBuffer = saved;
    return accept;
}

void TORQDataSet::ApplyFilter() {
    TORQCursor& c = CheckCursor(nilcode::ApplyFilter);
    if (!Filter().empty())
        c.SetFilter(Filter(), (FilterOptions() & foCaseInsensitive) != 0, (FilterOptions() & foNoPartialCompare) == 0);
    else
        c.CancelFilter();
    if (OnFilterRecord())
        c.OnFilterRecord = [this](const uint8_t* Record) { return FilterCallback(Record); };
    else
        c.OnFilterRecord = nullptr;
    c.ResetRecordBitmap();
}

void TORQDataSet::CancelFilter() {
    TORQCursor& c = CheckCursor(nilcode::CancelFilter);
    c.CancelFilter();
    c.OnFilterRecord = nullptr;
    c.ResetRecordBitmap();
}

void TORQDataSet::SetFiltered(bool Value) {
    if (!Active()) {
        TDataSet::SetFiltered(Value);
        return;
    }
    CheckCursor(nilcode::SetFiltered);
    CheckBrowseMode();
    if (Value != Filtered()) {
        if (Value)
            ApplyFilter();
        else
            CancelFilter();
        TDataSet::SetFiltered(Value);
    }
    First();
}

void TORQDataSet::SetFilterText(const std::string& Value) {
    if (!Active()) {
        TDataSet::SetFilterText(Value);
        return;
    }
    CheckCursor(nilcode::SetFilterText);
    CheckBrowseMode();
    const std::string old = Filter();
    TDataSet::SetFilterText(Value);
    if (!Filtered()) return;
    try {
        ApplyFilter();
    } catch (...) {
        // A text that does not parse leaves the filter there was, text included.
        TDataSet::SetFilterText(old);
        throw;
    }
    First();
}

void TORQDataSet::SetFilterOptions(TFilterOptions Value) {
    if (!Active()) {
        TDataSet::SetFilterOptions(Value);
        return;
    }
    CheckCursor(nilcode::SetFilterText);
    CheckBrowseMode();
    const TFilterOptions old = FilterOptions();
    TDataSet::SetFilterOptions(Value);
    if (!Filtered()) return;
    try {
        ApplyFilter();
    } catch (...) {
        TDataSet::SetFilterOptions(old);
        throw;
    }
    First();
}

void TORQDataSet::SetOnFilterRecord(const TFilterRecordEvent& Value) {
    if (!Active()) {
        TDataSet::SetOnFilterRecord(Value);
        return;
    }
    CheckCursor(nilcode::SetOnFilterRecord);
    CheckBrowseMode();
    const bool had = bool(OnFilterRecord());
    TDataSet::SetOnFilterRecord(Value);
    if (had != bool(Value)) {
        if (Filtered())
            ApplyFilter();
        else
            CancelFilter();
    } else if (Filtered() && Value) {
        // Another handler: the filtered set the cursor keeps is the old handler's.
        CheckCursor(nilcode::SetOnFilterRecord).ResetRecordBitmap();
    }
    if (Filtered()) First();
}

bool TORQDataSet::FindRecord(bool Restart, bool GoForward) {
    TORQCursor& c = CheckCursor(nilcode::FindRecord);
    CheckBrowseMode();
    DoBeforeScroll();
    SetFound(false);
    UpdateCursorPos();
    CursorPosChanged();
    const bool searchOnly = !Filtered();
    if (searchOnly) ApplyFilter();
    TGetResult result = classlib::grError;
    uint8_t* scratch = nullptr;
    try {
        scratch = c.AllocRecordBuffer();
        if (GoForward) {
            if (Restart) InternalFirst();
            result = GetRecord(scratch, classlib::gmNext, true);
        } else {
            if (Restart) InternalLast();
            result = GetRecord(scratch, classlib::gmPrior, true);
        }
    } catch (...) {
        FreeRecordBuffer(scratch);
        if (searchOnly) CancelFilter();
        throw;
    }
    FreeRecordBuffer(scratch);
    if (searchOnly) CancelFilter();
    if (result == classlib::grOK) {
        Resync(rmExact | rmCenter);
        SetFound(true);
        DoAfterScroll();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------------
// Locate and Lookup

bool TORQDataSet::LocateRecord(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    TORQCursor& c = CheckCursor(nilcode::LocateRecord);
    if (!Active()) RaiseNative(nilcode::LocateRecord, "Cannot perform LOCATE on a closed dataset");
    CheckBrowseMode();
    CursorPosChanged();
    uint8_t* savedFilter = FFilterBuffer;
    FFilterBuffer = TempBuffer();
    const TDataSetState old = SetTempState(dsFilter);
    bool found = false;
    try {
        c.CurrentRecord = FFilterBuffer;
        uint8_t options = 0;
        if (Options & loCaseInsensitive) options |= 1;
        if (Options & loPartialKey) options |= 2;
        found = c.Locate(SplitNames(KeyFields), KeyValues, options);
        if (found) c.CurrentRecordID.ToBytes(FFilterBuffer + R());
    } catch (...) {
        RestoreState(old);
        FFilterBuffer = savedFilter;
        throw;
    }
    RestoreState(old);
    FFilterBuffer = savedFilter;
    return found;
}

bool TORQDataSet::Locate(const std::string& KeyFields, const Variant& KeyValues, TLocateOptions Options) {
    if (FCursor == nullptr) RaiseNative(nilcode::LocateRecord, "Cannot perform LOCATE on a closed dataset");
    DoBeforeScroll();
    const bool found = LocateRecord(KeyFields, KeyValues, Options);
    SetFound(found);
    if (found) {
        Resync(rmExact | rmCenter);
        DoAfterScroll();
    }
    return found;
}

Variant TORQDataSet::Lookup(const std::string& KeyFields, const Variant& KeyValues, const std::string& ResultFields) {
    if (FCursor == nullptr) RaiseNative(nilcode::LocateRecord, "Cannot perform LOCATE on a closed dataset");
    if (!LocateRecord(KeyFields, KeyValues, 0)) return Variant::Null();
    uint8_t* buffer = TempBuffer();
    GetRecord(buffer, classlib::gmCurrent, false);
    // The located record's calculated fields, then its values, read from its buffer.
    uint8_t* savedFilter = FFilterBuffer;
    FFilterBuffer = buffer;
    const TDataSetState old = SetTempState(dsFilter);
    Variant result;
    try {
        result = GetFieldValues(ResultFields);
    } catch (...) {
        RestoreState(old);
        FFilterBuffer = savedFilter;
        throw;
    }
    RestoreState(old);
    FFilterBuffer = savedFilter;
    return result;
}

// ---------------------------------------------------------------------------------
// Index helpers

void TORQDataSet::BuildIndexFieldList() {
    TORQCursor& c = CheckCursor(nilcode::BuildIndexFieldList);
    FIndexFields.clear();
    FIndexFieldsSize = 0;
    if (c.IndexName.empty()) return;
    const TORQIndexDef* index = c.GetIndexDefs().FindByName(c.IndexName);
    if (index == nullptr) RaiseNativeFmt(10325, "Cannot find index %s", {c.IndexName});
    for (int32_t i = 0; i < index->GetColumnCount(); ++i) {
        const int32_t p = c.ProjectedFieldDefs.IndexOfName(index->GetColumn(i).FieldName);
        if (p < 0) continue;
        FIndexFields.push_back(p + 1);
        FIndexFieldsSize += c.ProjectedFieldDefs.GetItem(p)->MemorySize;
    }
}

void TORQDataSet::SwitchToIndex(const std::string& IndexName) {
    TORQCursor& c = CheckCursor(nilcode::SwitchToIndex);
    ResetRange();
    UpdateCursorPos();
    c.SetIndexName(IndexName);
    BuildIndexFieldList();
}

bool TORQDataSet::ResetRange() {
    TORQCursor& c = CheckCursor(nilcode::ResetRange);
    TKeyBuffer& start = KeyBuffer(kiCurRangeStart);
    TKeyBuffer& end = KeyBuffer(kiCurRangeEnd);
    if (!start.Modified && !end.Modified) {
        c.CancelRange();
        return false;
    }
    for (TKeyBuffer* k : {&start, &end}) {
        if (k->Record != nullptr) c.ClearRecordBuffer(k->Record);
        k->Modified = false;
        k->Exclusive = false;
        k->FieldCount = 0;
    }
    c.CancelRange();
    return true;
}

// ---------------------------------------------------------------------------------
// What the SQL layer and the table component use

void TORQDataSet::GetFieldValue(TORQVariant& Value, int32_t FieldNo, bool Projected) {
    TORQCursor& c = CheckCursor(nilcode::GetFieldValue);
    c.CurrentRecord = GetActiveRecordBuffer();
    const TORQFieldDefs& defs = Projected ? c.ProjectedFieldDefs : c.FieldDefs;
    if (FieldNo >= 0 && FieldNo < defs.GetCount() && IsBlobAdvancedType(defs.GetItem(FieldNo)->FieldType)) {
        // The dataset field the number stands for: a projected number maps through its
        // base definition.
        const int32_t base = Projected ? defs.GetItem(FieldNo)->BaseFieldNo : FieldNo;
        classlib::TBlobField* field = nullptr;
        for (TField* f : Fields())
            if (!f->InCalcArea() && BaseFieldNo(f) == base) field = dynamic_cast<classlib::TBlobField*>(f);
        Value.Clear(defs.GetItem(FieldNo)->BaseType);
        if (field == nullptr) return;
        TORQBLOBStream stream(field, bmRead);
        const int64_t size = stream.Size();
        if (size <= 0) return;
        std::vector<uint8_t> data(static_cast<size_t>(size));
        stream.SetPosition(0);
        stream.ReadBuffer(data.data(), size);
        Value.SetData(data.data(), static_cast<int32_t>(size), defs.GetItem(FieldNo)->BaseType, true);
        return;
    }
    c.GetFieldValue(Value, FieldNo, !Projected);
}

void TORQDataSet::SetFieldValue(TORQVariant& Value, int32_t FieldNo, bool Projected) {
    TORQCursor& c = CheckCursor(nilcode::SetFieldValue);
    uint8_t* rec = GetActiveRecordBuffer();
    c.CurrentRecord = rec;
    const TORQFieldDefs& defs = Projected ? c.ProjectedFieldDefs : c.FieldDefs;
    const bool blob =
        FieldNo >= 0 && FieldNo < defs.GetCount() && IsBlobAdvancedType(defs.GetItem(FieldNo)->FieldType);
    if (!blob || Value.IsNull()) {
        c.SetFieldValue(Value, FieldNo, rec, !Projected);
        return;
    }
    const int32_t base = Projected ? defs.GetItem(FieldNo)->BaseFieldNo : FieldNo;
    for (TField* f : Fields())
        if (!f->InCalcArea() && BaseFieldNo(f) == base)
            if (auto* field = dynamic_cast<classlib::TBlobField*>(f)) {
                TORQBLOBStream stream(field, bmWrite);
                if (Value.DataSize() > 0) stream.WriteBuffer(Value.Data(), Value.DataSize());
                stream.Close();
                return;
            }
}

void TORQDataSet::CopyFieldValue(int32_t FieldNo, bool Projected, TORQDataSet* Dest, int32_t DestFieldNo) {
    TORQCursor& c = CheckCursor(nilcode::CopyFieldValue);
    if (Dest == nullptr) RaiseNative(nilcode::CopyFieldValueDest, SNilPointer);
    if (Dest->FCursor == nullptr) RaiseNative(nilcode::CopyFieldValueDestCursor, SNilPointer);
    c.CurrentRecord = GetActiveRecordBuffer();
    Dest->FCursor->CurrentRecord = Dest->GetActiveRecordBuffer();
    c.CopyFieldValue(FieldNo, Projected, *Dest->FCursor, DestFieldNo);
}

void TORQDataSet::SetFilterExpression(TORQBaseExpression* Expression, TORQAO* Operator, TORQCursor* SecondCursor) {
    CheckCursor(nilcode::SetFilterExpression).SetFilterExpression(Expression, Operator, SecondCursor);
}

void TORQDataSet::SetProjection(const std::vector<std::string>& Fields, const std::vector<std::string>& Aliases) {
    TORQCursor& c = CheckCursor(nilcode::SetProjection);
    c.SetProjection(Fields, Aliases);
    FProjectionFields = Fields;
    FProjectionAliases = Aliases;
    if (!Active()) return;
    // The fields are rebuilt by a close and an open; the open that fails falls back to
    // the whole table.
    Close();
    try {
        Open();
    } catch (...) {
        FProjectionFields.clear();
        FProjectionAliases.clear();
        try {
            Close();
        } catch (...) {
        }
        Open();
        throw;
    }
    if (FCursor != nullptr && FDatabase != nullptr && FDatabase->Handle() != nullptr)
        FCursor->Session = FDatabase->Handle();
}

bool TORQDataSet::HasRecords() {
    TORQCursor& c = CheckCursor(nilcode::HasRecords);
    if (auto* local = dynamic_cast<TORQLocalCursor*>(&c)) return local->KeyFieldCount > 0;
    return c.LinkedKeyFieldCount > 0;
}

// ---------------------------------------------------------------------------------
// BLOBs

TORQLocalBLOBStream* TORQDataSet::OpenBlob(TBlobField* Field, TBlobStreamMode Mode) {
    if (Mode != bmRead && State() != dsEdit && State() != dsInsert)
        RaiseNative(10111, "Dataset not in edit or insert mode");
    TORQCursor& c = CheckCursor(nilcode::Blob);
    uint8_t* buffer = GetActiveRecordBuffer();
    if (buffer == nullptr) return nullptr;
    TPositionKeeper keep(c);
    PointCursorAt(buffer);
    return c.OpenBlob(State() == dsInsert, State() == dsEdit, State() == dsBrowse, BlobStreamEngineMode(Mode),
                      BaseFieldNo(Field));
}

void TORQDataSet::CloseBlob(TField* Field) {
    TORQCursor& c = CheckCursor(nilcode::Blob);
    uint8_t* saved = c.CurrentRecord;
    c.CurrentRecord = GetActiveRecordBuffer();
    try {
        c.CloseBlob(BaseFieldNo(Field));
    } catch (...) {
        c.CurrentRecord = saved;
        throw;
    }
    c.CurrentRecord = saved;
}

void TORQDataSet::CloseBlobStream(TField* Field, TORQLocalBLOBStream& Stream) {
    TORQCursor& c = CheckCursor(nilcode::Blob);
    (void)Field;
    uint8_t* saved = c.CurrentRecord;
    c.CurrentRecord = GetActiveRecordBuffer();
    try {
        c.CloseBlobStream(Stream);
    } catch (...) {
        c.CurrentRecord = saved;
        throw;
    }
    c.CurrentRecord = saved;
}

bool TORQDataSet::ReadBlobValue(TBlobField* Field, std::string& Bytes, bool& Opened) {
    Bytes.clear();
    Opened = false;
    TORQCursor& c = CheckCursor(nilcode::Blob);
    uint8_t* buffer = GetActiveRecordBuffer();
    if (buffer == nullptr) return true;
    TPositionKeeper keep(c);
    PointCursorAt(buffer);
    return c.ReadBlobValue(State() == dsInsert, State() == dsEdit, State() == dsBrowse, BaseFieldNo(Field), Bytes,
                           Opened);
}

void TORQDataSet::RefreshUnopenedBlob() {
    // A BLOB that cannot be opened while browsing: the record may be gone, so the
    // window is read again once. In an edit a refresh would post it, so nothing.
    if (FRefreshGuard || State() != dsBrowse) return;
    FRefreshGuard = true;
    try {
        Refresh();
    } catch (...) {
        FRefreshGuard = false;
        throw;
    }
    FRefreshGuard = false;
}

std::unique_ptr<TStream> TORQDataSet::CreateBlobStream(TField* Field, TBlobStreamMode Mode) {
    if (Mode != bmRead && FReadOnly) RaiseNative(10107, "Dataset is in read only mode");
    auto* blob = dynamic_cast<TBlobField*>(Field);
    if (blob == nullptr) DatabaseErrorFmt("Field '%s' is not a BLOB field", {Field->DisplayName()}, this);
    auto stream = std::make_unique<TORQBLOBStream>(blob, Mode);
    if (!stream->Opened()) RefreshUnopenedBlob();
    return std::make_unique<TORQBLOBStreamOwner>(std::move(stream));
}

bool TORQDataSet::GetBlobValue(TField* Field, std::string& Value) {
    Value.clear();
    auto* blob = dynamic_cast<TBlobField*>(Field);
    if (blob == nullptr) DatabaseErrorFmt("Field '%s' is not a BLOB field", {Field->DisplayName()}, this);
    if (blob->DataSet() != this) return false;
    // The field of that name in this dataset, as the stream takes it: the field itself
    // when it is one of the dataset's.
    TBlobField* field = blob;
    if (Fields().IndexOf(blob) < 0) {
        field = dynamic_cast<TBlobField*>(FieldByName(blob->FieldName()));
        if (field == nullptr) field = blob;
    }
    bool opened = false;
    if (!ReadBlobValue(field, Value, opened)) return false;
    if (!opened) RefreshUnopenedBlob();
    return true;
}

// ---------------------------------------------------------------------------------
// Provider support

void TORQDataSet::PSReset() {
    TDataSet::PSReset();
    if (Active()) {
        Close();
        Open();
    }
}

bool TORQDataSet::PSUpdateRecord(TUpdateKind UpdateKind, TDataSet* Delta) {
    if (!OnUpdateRecord) return false;
    TUpdateAction action = uaFail;
    OnUpdateRecord(Delta, UpdateKind, action);
    return action == uaApplied;
}

void TORQDataSet::PSStartTransaction() {
    const bool set = SetDatabaseFlag(dfProvider, true);
    try {
        if (FDatabase == nullptr) DatabaseError("Cannot perform this operation on a closed database", this);
        FDatabase->StartTransaction();
    } catch (...) {
        if (set) SetDatabaseFlag(dfProvider, false);
        throw;
    }
}

void TORQDataSet::PSEndTransaction(bool Commit) {
    try {
        if (FDatabase != nullptr) {
            if (Commit)
                FDatabase->Commit(true);
            else
                FDatabase->Rollback();
        }
    } catch (...) {
        SetDatabaseFlag(dfProvider, false);
        throw;
    }
    SetDatabaseFlag(dfProvider, false);
}

int32_t TORQDataSet::PSExecuteStatement(const std::string& ASQL, TParams* AParams) {
    const bool set = SetDatabaseFlag(dfProvider, true);
    int32_t rows = 0;
    try {
        TORQQuery query(nullptr);
        query.SetSessionName(FSessionName);
        query.SetDatabaseName(FDatabaseName);
        if (FInMemory) query.SetInMemory(true);
        TStringList text;
        text.SetText(ASQL);
        query.SetSQL(text);
        if (AParams != nullptr) query.Params().Assign(AParams);
        query.ExecSQL();
        rows = query.RowsAffected();
    } catch (...) {
        if (set) SetDatabaseFlag(dfProvider, false);
        throw;
    }
    if (set) SetDatabaseFlag(dfProvider, false);
    return rows;
}

bool TORQDataSet::PSInTransaction() { return FCursor != nullptr && FCursor->SessionInTransaction(); }

}  // namespace orq

namespace orq {

// ---------------------------------------------------------------------------------
// Copying records between datasets

std::vector<TORQDataSet::TCopyFieldPair> TORQDataSet::CopyFieldPairs(classlib::TDataSet& Source,
                                                                     classlib::TDataSet& Dest, bool MapByFieldIds) {
    using namespace classlib;
    auto* sourceDs = dynamic_cast<TORQDataSet*>(&Source);
    auto* destDs = dynamic_cast<TORQDataSet*>(&Dest);
    const bool byIds = MapByFieldIds && sourceDs != nullptr && destDs != nullptr;
    const int32_t defCount = Source.FieldDefs().Count();
    const bool byPosition = Source.Fields().Count() == defCount;
    // The same for every record: found once by name (or object id) rather than once per
    // record and field.
    std::vector<TCopyFieldPair> pairs(static_cast<std::size_t>(std::max(defCount, 0)));
    for (int32_t i = 0; i < defCount; ++i) {
        TCopyFieldPair& p = pairs[static_cast<std::size_t>(i)];
        p.DefName = Source.FieldDefs().Items(i)->Name();
        p.From = byPosition ? Source.Fields().Fields(i) : Source.FindField(p.DefName);
        if (p.From == nullptr) continue;
        if (byIds) {
            const int32_t at = sourceDs->Fields().IndexOf(p.From);
            if (at >= 0 && at < sourceDs->AdvFieldDefs().Count()) {
                const int32_t id = sourceDs->AdvFieldDefs().GetItem(at)->ObjectID;
                TORQAdvFieldDefs& target = sourceDs->RestructureFieldDefs();
                for (int32_t k = 0; k < target.Count(); ++k)
                    if (target.GetItem(k)->ObjectID == id && id != -1) {
                        if (k < Dest.Fields().Count()) p.To = Dest.Fields().Fields(k);
                        break;
                    }
            }
            if (p.To == nullptr) p.To = Dest.FindField(p.From->FieldName());
        } else {
            p.To = Dest.FindField(p.From->FieldName());
        }
    }
    return pairs;
}

bool TORQDataSet::CopyTableData(classlib::TDataSet* NameTable, classlib::TDataSet& Source, classlib::TDataSet& Dest,
                                int32_t ProgressMax, int32_t ProgressMin, const TORQTableProgressEvent& OnProgress,
                                bool MapByFieldIds, bool IgnoreErrors, bool& Continue, std::string& Log,
                                bool Batched) {
    using namespace classlib;
    bool result = true;
    std::string tableName = "unknown";
    if (auto* table = dynamic_cast<TORQTable*>(NameTable)) tableName = table->TableName();
    Source.CheckBrowseMode();
    int64_t counter = 1;
    const int64_t count = Source.RecordCount();
    const int64_t span = static_cast<int64_t>(ProgressMax) - ProgressMin;
    const int64_t step = span == 0 ? 1 : count / span + 1;
    const int64_t every = std::max<int64_t>(1, std::min<int64_t>(step, 30));
    auto* sourceDs = dynamic_cast<TORQDataSet*>(&Source);
    auto* destDs = dynamic_cast<TORQDataSet*>(&Dest);
    TORQCursor* batch = Batched && destDs != nullptr ? destDs->Cursor() : nullptr;
    Source.DisableControls();
    TBookmark bookmark = Source.GetBookmark();
    auto restore = [&]() {
        try {
            if (!bookmark.empty() && Source.BookmarkValid(bookmark)) Source.GotoBookmark(bookmark);
        } catch (...) {
        }
        Source.FreeBookmark(bookmark);
        Source.EnableControls();
    };
    try {
        if (batch != nullptr) batch->BeginUpdateBatch();
        auto* sourceCursor = sourceDs != nullptr ? dynamic_cast<TORQLocalCursor*>(sourceDs->Cursor()) : nullptr;
        // The records the source's repair read went past.
        auto noteSkipped = [&]() {
            if (sourceCursor == nullptr) return;
            for (const TORQSkippedRecord& s : sourceCursor->TakeSkippedRecords())
                Log += classlib::Format("table '%s': the record at page %d, slot %d could not be read: %s\r\n",
                                        {tableName, s.PageNo, s.SlotNo, s.Reason});
        };
        Source.First();
        noteSkipped();
        const int32_t defCount = Source.FieldDefs().Count();
        const std::vector<TCopyFieldPair> pairs = CopyFieldPairs(Source, Dest, MapByFieldIds);
        while (!Source.Eof()) {
            Dest.Insert();
            for (int32_t i = 0; i < defCount; ++i) {
                const TCopyFieldPair& p = pairs[static_cast<std::size_t>(i)];
                TField* from = p.From;
                if (from == nullptr) {
                    const std::string text = classlib::Format(
                        "Error copying table \"%s\". Field '%s' has a data type that is not supported\r\n",
                        {tableName, p.DefName});
                    Log += text;
                    if (!IgnoreErrors) RaiseNative(10499, text);
                    result = false;
                    continue;
                }
                TField* to = p.To;
                if (to == nullptr) continue;
                try {
                    orq::CopyFieldValue(*from, *to);
                } catch (const std::exception& e) {
                    Log += classlib::Format("Error copying table \"%s\". Record #%d, field '%s' was copied with Null value "
                                      "due to error: %s\r\n",
                                      {tableName, counter, from->FieldName(), std::string(e.what())});
                    to->Clear();
                    if (!IgnoreErrors) throw;
                    result = false;
                }
            }
            try {
                Dest.Post();
            } catch (const std::exception& e) {
                Log += classlib::Format("Error copying table \"%s\". Record #%d was not imported due to error: %s\r\n",
                                  {tableName, counter, std::string(e.what())});
                Log += "\r\n";
                Dest.Cancel();
                if (!IgnoreErrors) throw;
                result = false;
            }
            ++counter;
            if (batch != nullptr && (counter - 1) % 1000 == 0) {
                batch->CommitBatch();
                batch->BeginUpdateBatch();
            }
            Source.Next();
            noteSkipped();
            if ((counter - 2) % every == 0 && OnProgress) {
                const int32_t pos =
                    ProgressMin + (count > 0 ? static_cast<int32_t>(std::nearbyint(static_cast<double>(counter - 1) *
                                                                                 static_cast<double>(span) /
                                                                                 static_cast<double>(count)))
                                             : 0);
                OnProgress(&Source, pos, Continue);
                if (!Continue) {
                    Log += "Terminated by User.\r\n";
                    result = false;
                    break;
                }
            }
        }
        if (batch != nullptr) batch->CommitBatch();
    } catch (...) {
        if (batch != nullptr) {
            try {
                batch->RollbackBatch();
            } catch (...) {
            }
        }
        restore();
        throw;
    }
    restore();
    return result;
}

}  // namespace orq
