// The dataset tests' common ground: an engine started per test, a database component
// over MEMORY, TEMP or a disk file in a scratch folder, tables made through a local
// cursor, and a small dataset whose cursor opens a named table the way the table
// component's will.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../storage/DiskTestUtil.h"
#include "../storage/LogSchema.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQDataSet.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQScriptedUserInterface.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQDiskEngine.h"

namespace dstest {

using namespace orq;
using classlib::TDataSetState;

// The native code an action raises, 0 when none, -1 for another class.
inline int32_t NativeCode(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQException& e) {
        return e.NativeError();
    } catch (...) {
        return -1;
    }
    return 0;
}

// The engine result code an action raises, 0 when none, 1 for another class.
inline int32_t EngineCode(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQEngineError& e) {
        return e.ResultCode();
    } catch (...) {
        return 1;
    }
    return 0;
}

inline std::string Raised(const std::function<void()>& F) {
    try {
        F();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

enum TEngineKind { ekMemory, ekTemp, ekDisk };
inline const char* KindName(TEngineKind K) { return K == ekMemory ? "Memory" : K == ekTemp ? "Temp" : "Disk"; }

using logschema::AddField;

inline void AddIndex(TORQIndexDefs& Indexes, const std::string& Name, const std::string& Field, bool Unique) {
    TORQIndexDef* d = Indexes.Add();
    d->Name = Name;
    d->Unique = Unique ? 1 : 0;
    d->Primary = Unique ? 1 : 0;
    d->SetColumnCount(1);
    d->GetColumn(0).FieldName = Field;
}

// The message log's table: its ten fields and the date key.
inline void NavtexLogFields(TORQFieldDefs& F) { logschema::LogFields(F); }

inline void NavtexLogIndexes(TORQIndexDefs& I) { AddIndex(I, "IDX_DT", "UTCRECEIVED", true); }

// A dataset over one table, its cursor opened by table name.
class TTestDataSet : public TORQDataSet {
public:
    explicit TTestDataSet(classlib::TComponent* AOwner = nullptr) : TORQDataSet(AOwner) {}
    std::string ClassName() const override { return "TTestDataSet"; }

    TORQCursor* CreateCursor() override {
        ++CursorsMade;
        TORQDatabase* db = Database();
        if (FailCursor) return nullptr;
        if (db == nullptr || db->Handle() == nullptr) return nullptr;
        auto c = std::make_unique<TORQLocalCursor>();
        c->TableName = TableName;
        c->Session = db->Handle();
        c->InMemory = InMemory() ? 1 : 0;
        c->TemporaryTable = Temporary ? 1 : 0;
        c->OpenTable(nullptr, nullptr, nullptr);
        return c.release();
    }

    TORQLocalCursor& Local() const { return *dynamic_cast<TORQLocalCursor*>(Cursor()); }
    uint8_t* Active() const { return ActiveBuffer(); }
    using classlib::TDataSet::Active;
    using TORQDataSet::GetRecordSize;
    using TORQDataSet::InternalAddRecord;
    using TORQDataSet::AllocRecordBuffer;
    using TORQDataSet::FreeRecordBuffer;
    using TORQDataSet::InternalInitRecord;
    using TORQDataSet::InitRecord;
    using classlib::TDataSet::SetTempState;
    using classlib::TDataSet::RestoreState;

    std::string TableName;
    bool Temporary = false;   // the cursor's temporary-table flag
    bool FailCursor = false;  // CreateCursor answers nil
    int CursorsMade = 0;
};

// One database component over an engine, with its tables made through a cursor.
class TEngineEnv {
public:
    explicit TEngineEnv(TEngineKind Kind, bool MultiUser = false) : Kind(Kind) {
        Db = std::make_unique<TORQDatabase>(nullptr);
        if (Kind == ekDisk) {
            Path = Dir.File("TILO_DB.ORQ");
            TORQLocalSession s;
            s.DatabaseName = "ORQDB";
            s.DatabaseFileName = Path;
            s.MaxConnections = 16;
            s.CreateDatabase();
            Db->SetDatabaseName("ORQDB");
            Db->SetDatabaseFileName(Path);
            Db->MultiUser = MultiUser;
        } else {
            Db->SetDatabaseName(Kind == ekMemory ? "MEMORY" : "TEMP");
        }
        Db->Open();
        // The page manager took its barrier setting at the open.
        if (auto* disk = dynamic_cast<TORQDiskDatabaseData*>(Db->Handle()->DatabaseData)) {
            disk->CommitBarriers = false;
            if (disk->DiskPageManager() != nullptr) disk->DiskPageManager()->CommitBarriers = false;
        }
    }
    ~TEngineEnv() {
        try {
            Db->Close();
        } catch (...) {
        }
    }
    std::string Name() const { return Db->DatabaseName(); }

    void CreateTable(const std::string& Table, const TORQFieldDefs& Fields, const TORQIndexDefs* Indexes = nullptr,
                     const TORQConstraintDefs* Constraints = nullptr) {
        TORQLocalCursor c;
        c.TableName = Table;
        c.Session = Db->Handle();
        const TORQIndexDefs noIndexes;
        const TORQConstraintDefs noConstraints;
        c.CreateTable(Fields, Indexes != nullptr ? *Indexes : noIndexes,
                      Constraints != nullptr ? *Constraints : noConstraints);
    }

    std::unique_ptr<TTestDataSet> Open(const std::string& Table) {
        auto ds = std::make_unique<TTestDataSet>();
        ds->SetDatabaseName(Name());
        ds->TableName = Table;
        ds->Open();
        return ds;
    }

    TEngineKind Kind;
    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TORQDatabase> Db;
};

// Starts the engine for a test and stops it after; the scripted user interface takes
// every handled exception.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override { StartEngine(); }
    void TearDown() override { StopEngine(); }
    TORQScriptedUserInterface UI;
};

}  // namespace dstest
