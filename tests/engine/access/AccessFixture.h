// The data-access tests' common ground: an engine started for each test, database files in
// a scratch folder (created through the local session), files left needing repair by a
// child killed inside its commit, and the codes and texts of what a step raises.
#pragma once

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../storage/DiskTestUtil.h"
#include "../storage/LogSchema.h"
#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/access/ORQScriptedUserInterface.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"

namespace accesstest {

using namespace orq;

// The native code an EORQException carries, 0 when F raises nothing, -1 for another class.
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

// The message of what F raises, empty when nothing.
inline std::string Raised(const std::function<void()>& F) {
    try {
        F();
    } catch (const std::exception& e) {
        return e.what();
    }
    return {};
}

// Options of a new database file.
struct FileOptions {
    std::string Password;
    uint8_t Cipher = 0;
    int32_t PageSize = 4096;
    int32_t PagesPerExtent = 8;
    int32_t MaxConnections = 500;
};

inline void CreateFile(const std::string& Path, const FileOptions& O = {}) {
    TORQLocalSession s;
    s.DatabaseName = "ORQDB";
    s.DatabaseFileName = Path;
    s.Password = TORQPassword{O.Password, O.Cipher};
    s.PageSize = O.PageSize;
    s.PagesPerExtent = O.PagesPerExtent;
    s.MaxConnections = O.MaxConnections;
    s.CreateDatabase();
}

// The message log's shape, small: a date key with its primary index and a memo.
inline void CreateLogTable(TORQDiskDatabaseData& Db, TORQBaseSession& S, const std::string& Name = "NAVTEXLOG") {
    TORQFieldDefs fields;
    logschema::AddField(fields, "UTCRECEIVED", aftDateTime);
    logschema::AddField(fields, "FREQ", aftInteger);
    logschema::AddField(fields, "MSGTEXT", aftMemo);
    TORQIndexDefs indexes;
    logschema::DateIndex(indexes);
    TORQConstraintDefs none;
    TORQCursor named;
    named.TableName = Name;
    named.Session = &S;
    auto* t = static_cast<TORQDiskTableData*>(Db.GetTableData(&named));
    try {
        t->CreateTable(&named, fields, indexes, none);
    } catch (...) {
        t->FreeIfUnused();
        throw;
    }
    t->FreeIfUnused();
}

// A cursor on one table of a connected session, like an open dataset.
class RowCursor : public TORQCursor {
public:
    RowCursor(TORQLocalSession& S, const std::string& Table) {
        TableName = Table;
        Session = &S;
        DatabaseData = S.DatabaseData;
        auto* t = static_cast<TORQDiskTableData*>(S.DatabaseData->GetTableData(this));
        try {
            t->AddCursor(this);
        } catch (...) {
            t->FreeIfUnused();
            throw;
        }
        Disk = t;
        TableData = t;
        FieldDefs.Assign(t->FieldManager->FieldDefs);
        IndexDefs.Assign(t->IndexManager->IndexDefs);
        CalculateRecordSizes();
        CurrentRecord = AllocRecordBuffer();
        Bof = 1;
        Eof = 0;
    }
    ~RowCursor() override {
        try {
            Disk->ClearRecordBlobs(CurrentRecord);
            Disk->RemoveCursor(this);
            Disk->FreeIfUnused();
        } catch (...) {
        }
        FreeRecordBuffer(CurrentRecord);
    }
    // Appends the row of Minute (date key and frequency).
    bool Append(int64_t Minute) {
        Disk->ClearRecordBlobs(CurrentRecord);
        std::memset(CurrentRecord, 0, static_cast<size_t>(RecordBufferSize));
        for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) SetBit(CurrentRecord, i, true);
        TORQVariant v;
        v.SetAsDateTime(46000.0 + static_cast<double>(Minute) / 1440.0);
        SetFieldValue(v, 0, CurrentRecord, true);
        v.SetAsLargeInt(Minute);
        SetFieldValue(v, 1, CurrentRecord, true);
        return Disk->InsertRecord(this);
    }
    // The frequencies of every row in physical order.
    std::vector<int64_t> Rows() {
        std::vector<int64_t> out;
        Bof = 1;
        Eof = 0;
        while (Disk->GetRecord(this, 1) == 0) {
            TORQVariant v;
            GetFieldValue(v, 1, true);
            out.push_back(v.GetAsLargeInt());
        }
        return out;
    }
    TORQDiskTableData* Disk = nullptr;
};

// A file left in the middle of a commit that no journal explains (written by an engine
// from before the commit journal, or damaged): state 1 in its header and nothing beside
// it. Such a file needs repair.
inline void MakeTornFile(const std::string& Path) {
    std::vector<uint8_t> bytes = disktest::ReadAll(Path);
    ASSERT_GT(bytes.size(), 42u);
    bytes[42] = 1;
    disktest::WriteAll(Path, bytes);
}

// A child appends a row and dies inside the commit, after its journal was sealed and
// while the file is half written: what the next open, or in multi-user mode the next
// process to change the file, completes.
inline void MakeInterruptedCommit(const std::string& Path, bool MultiUser = false) {
    const int rc = disktest::InChild([&] {
        TORQLocalSession s;
        s.DatabaseName = "ORQDB";
        s.DatabaseFileName = Path;
        s.MultiUser = MultiUser ? 1 : 0;
        s.SetConnected(true);
        RowCursor log(s, "NAVTEXLOG");
        bool sealed = false;
        int writes = 0;
        SetFileFaultHook([&](TORQFileCall Call, const std::string& File) {
            if (Call == TORQFileCall::Sync && File != Path) sealed = true;
            if (sealed && Call == TORQFileCall::Write && File == Path && ++writes == 2) kill(getpid(), SIGKILL);
            return 0;
        });
        log.Append(999);
        return 1;  // never reached
    });
    ASSERT_EQ(rc, -1) << "the child dies inside its commit";
}

// A fresh file with the message log table and Rows rows.
inline void CreateLogFile(const std::string& Path, int Rows = 0, const FileOptions& O = {}) {
    CreateFile(Path, O);
    TORQLocalSession s;
    s.DatabaseName = "ORQDB";
    s.DatabaseFileName = Path;
    s.Password = TORQPassword{O.Password, O.Cipher};
    s.SetConnected(true);
    CreateLogTable(*s.DiskDatabaseData(), s);
    RowCursor log(s, "NAVTEXLOG");
    for (int i = 0; i < Rows; ++i) log.Append(i);
}

// The 64-bit float at header offset 18.
inline void SetFileVersion(const std::string& Path, double Version) {
    const uint64_t bits = std::bit_cast<uint64_t>(Version);
    std::vector<uint8_t> b(8);
    for (int i = 0; i < 8; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(bits >> (8 * i));
    disktest::Patch(Path, 18, b);
}

inline std::vector<uint8_t> BytesFrom(const std::string& Path, size_t Offset) {
    std::vector<uint8_t> all = disktest::ReadAll(Path);
    if (all.size() <= Offset) return {};
    return std::vector<uint8_t>(all.begin() + static_cast<std::ptrdiff_t>(Offset), all.end());
}

// The engine started for each test, stopped after it; a scripted user interface installed.
class EngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        StartEngine();
        UI = std::make_unique<TORQScriptedUserInterface>();
    }
    void TearDown() override {
        SetFileFaultHook(nullptr);
        UI.reset();
        StopEngine();
    }
    std::unique_ptr<TORQScriptedUserInterface> UI;
    disktest::TempDir Dir;
};

}  // namespace accesstest
