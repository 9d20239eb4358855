// A MEMORY table and minimal cursors over it for the storage tests: the engine is
// started, the table made through the memory database, and each cursor registers with
// the table like an open dataset and owns one record buffer.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQMemEngine.h"

namespace orq::test {

class TTestCursor : public TORQCursor {
public:
    explicit TTestCursor(TORQTableData& Table, bool Register = true) {
        TableName = Table.TableName;
        TableData = &Table;
        DatabaseData = Table.DatabaseData;
        FieldDefs.Assign(Table.FieldManager->FieldDefs);
        CalculateRecordSizes();
        CurrentRecord = AllocRecordBuffer();
        if (Register) Open();
    }
    ~TTestCursor() override {
        Close();
        FreeRecordBuffer(CurrentRecord);
    }
    void Open() {
        TableData->AddCursor(this);
        FRegistered = true;
    }
    void Close() {
        if (FRegistered && TableData != nullptr) TableData->RemoveCursor(this);
        FRegistered = false;
    }
    void ResetToBeginning() {
        Bof = 1;
        Eof = 0;
    }
    void ResetToEnd() {
        Bof = 0;
        Eof = 1;
    }
    // Fresh record: zeroed, every field Null.
    void Clear() {
        std::memset(CurrentRecord, 0, static_cast<size_t>(RecordBufferSize));
        for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) SetBit(CurrentRecord, i, true);
    }
    void SetInt(int32_t FieldNo, int64_t V) {
        TORQVariant v;
        v.SetAsLargeInt(V);
        SetFieldValue(v, FieldNo, CurrentRecord, true);
    }
    void SetNull(int32_t FieldNo) { SetBit(CurrentRecord, FieldNo, true); }
    int64_t GetInt(int32_t FieldNo) const {
        TORQVariant v;
        GetFieldValue(v, FieldNo, true);
        return v.IsNull() ? INT64_MIN : v.GetAsLargeInt();
    }
    bool Insert(int64_t Id) {
        Clear();
        SetInt(0, Id);
        return TableData->InsertRecord(this);
    }

private:
    bool FRegistered = false;
};

inline int32_t NativeCode(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQException& e) {
        return e.NativeError();
    }
    return 0;
}

class MemTableTest : public ::testing::Test {
protected:
    void SetUp() override { StartStorageEngine(); }
    void TearDown() override {
        // Tables a test left behind go with the engine.
        StopStorageEngine();
    }

    static void AddField(TORQFieldDefs& Fields, const std::string& Name, uint8_t Type, int32_t Size = 0) {
        TORQFieldDef* f = Fields.Add();
        f->Name = Name;
        f->SetDataType(Type, Size);
    }

    // A table named Name through the memory database's own road.
    TORQMemoryTableData& MakeTable(const TORQFieldDefs& Fields, const TORQConstraintDefs& Constraints,
                                   const std::string& Name = "T", const TORQIndexDefs* Indexes = nullptr) {
        TORQCursor named;
        named.TableName = Name;
        auto* t = static_cast<TORQMemoryTableData*>(MemoryDatabase().CreateTableData(&named));
        TORQIndexDefs none;
        t->CreateTable(nullptr, Fields, Indexes != nullptr ? *Indexes : none, Constraints);
        return *t;
    }
    // ID INTEGER only.
    TORQMemoryTableData& MakeIdTable(const std::string& Name = "T") {
        TORQFieldDefs fields;
        AddField(fields, "ID", aftInteger);
        TORQConstraintDefs none;
        return MakeTable(fields, none, Name);
    }
};

}  // namespace orq::test
