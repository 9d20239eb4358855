// Disk tables for the storage tests: a scratch database file, sessions connected to it in
// either mode, and a minimal cursor that opens a table through the database like a dataset
// and owns one record buffer. The message log's table serves as the common schema.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "DiskTestUtil.h"
#include "LogSchema.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQLocalBLOBStream.h"

namespace disktable {

using namespace orq;

// The message log's schema: its field numbers, LogFields and DateIndex.
using namespace logschema;

class Session : public TORQBaseSession {
public:
    explicit Session(bool Multi) { MultiUser = Multi ? 1 : 0; }
    void Rollback() override {
        if (DatabaseData != nullptr) DatabaseData->Rollback(SessionID);
        InTransaction = 0;
    }
};

// One connection: the database object with one session.
struct Connection {
    Connection(const std::string& Name, bool Multi, const TORQPassword& Password = {})
        : Db(std::make_unique<TORQDiskDatabaseData>()), S(Multi) {
        Db->DatabaseName = Name;
        Db->Password = Password;
        Db->CommitBarriers = false;
        S.DatabaseData = Db.get();
        Db->ConnectSession(&S);
    }
    ~Connection() {
        try {
            Db->DisconnectSession(&S);
        } catch (...) {
        }
    }
    std::unique_ptr<TORQDiskDatabaseData> Db;
    Session S;
};

class Cursor : public TORQCursor {
public:
    // On: another session of the connection's database, else the connection's own.
    Cursor(Connection& C, const std::string& Table, bool Exclusive = false, uint8_t Repair = 0,
           TORQBaseSession* On = nullptr)
        : FConnection(C) {
        TableName = Table;
        this->Exclusive = Exclusive ? 1 : 0;
        Session = On != nullptr ? On : &C.S;
        DatabaseData = C.Db.get();
        auto* t = static_cast<TORQDiskTableData*>(C.Db->GetTableData(this));
        t->Repair = Repair;
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
        ResetToBeginning();
    }
    ~Cursor() override {
        try {
            Disk->ClearRecordBlobs(CurrentRecord);
            Disk->RemoveCursor(this);
            Disk->FreeIfUnused();
        } catch (...) {
        }
        FreeRecordBuffer(CurrentRecord);
    }
    void Clear() {
        Disk->ClearRecordBlobs(CurrentRecord);
        std::memset(CurrentRecord, 0, static_cast<size_t>(RecordBufferSize));
        for (int32_t i = 0; i < FieldDefs.GetCount(); ++i) SetBit(CurrentRecord, i, true);
    }
    void SetInt(int32_t FieldNo, int64_t V) {
        TORQVariant v;
        v.SetAsLargeInt(V);
        SetFieldValue(v, FieldNo, CurrentRecord, true);
    }
    void SetString(int32_t FieldNo, const std::string& V) {
        TORQVariant v;
        v.SetAsString(V);
        SetFieldValue(v, FieldNo, CurrentRecord, true);
    }
    void SetDouble(int32_t FieldNo, double V) {
        TORQVariant v;
        v.SetAsDouble(V);
        SetFieldValue(v, FieldNo, CurrentRecord, true);
    }
    int64_t GetInt(int32_t FieldNo) const {
        TORQVariant v;
        GetFieldValue(v, FieldNo, true);
        return v.IsNull() ? INT64_MIN : v.GetAsLargeInt();
    }
    std::string GetString(int32_t FieldNo) const {
        TORQVariant v;
        GetFieldValue(v, FieldNo, true);
        return v.IsNull() ? std::string() : v.GetAsString();
    }
    double GetDouble(int32_t FieldNo) const {
        TORQVariant v;
        GetFieldValue(v, FieldNo, true);
        return v.IsNull() ? -1.0 : v.GetAsDouble();
    }
    void SetText(int32_t FieldNo, const std::string& Text) {
        std::unique_ptr<TORQLocalBLOBStream> s = Disk->CreateBlobStream(this, true, TORQLocalBLOBStream::bmWriteOnly, FieldNo);
        if (!Text.empty()) s->Write(Text.data(), static_cast<int64_t>(Text.size()));
        Disk->StoreBlobStream(this, FieldNo, *s);
    }
    std::string GetText(int32_t FieldNo) {
        std::unique_ptr<TORQLocalBLOBStream> s = Disk->CreateBlobStream(this, false, TORQLocalBLOBStream::bmReadOnly, FieldNo);
        std::string out(static_cast<size_t>(s->Size()), '\0');
        if (!out.empty()) s->Read(out.data(), static_cast<int64_t>(out.size()));
        return out;
    }
    // A message log row whose date key is Minute minutes into one day.
    void FillLog(int64_t Minute, const std::string& Text) {
        Clear();
        TORQVariant v;
        v.SetAsDateTime(46000.0 + static_cast<double>(Minute) / 1440.0);
        SetFieldValue(v, fUtc, CurrentRecord, true);
        SetInt(fFreq, Minute % 2 == 0 ? 518 : 490);
        SetDouble(fQual, static_cast<double>(Minute % 101));
        SetString(fLetter, std::string(1, static_cast<char>('A' + Minute % 26)));
        SetString(fType, "E");
        SetString(fNumber, std::to_string(Minute % 10000));
        SetInt(fArea, Minute % 21);
        SetString(fStation, "STATION " + std::to_string(Minute));
        SetInt(fDist, Minute * 3);
        SetText(fText, Text);
    }
    // The minute of the current row's date key.
    int64_t Minute() const {
        TORQVariant v;
        GetFieldValue(v, fUtc, true);
        return static_cast<int64_t>((v.GetAsDateTime() - 46000.0) * 1440.0 + 0.5);
    }
    void ResetToBeginning() {
        Bof = 1;
        Eof = 0;
    }
    void ResetToEnd() {
        Bof = 0;
        Eof = 1;
    }
    bool Append() { return Disk->InsertRecord(this); }
    // The values of Field in the order of Index ("" physical), forward.
    std::vector<int64_t> Walk(const std::string& Index, int32_t Field = -1) {
        SetIndexName(Index);
        ResetToBeginning();
        std::vector<int64_t> out;
        while (Disk->GetRecord(this, gmNext) == grOK) out.push_back(Field < 0 ? Minute() : GetInt(Field));
        return out;
    }

    TORQDiskTableData* Disk = nullptr;

private:
    Connection& FConnection;
};

inline void CreateLogTable(Connection& C, const std::string& Name = "NAVTEXLOG") {
    TORQFieldDefs fields;
    LogFields(fields);
    TORQIndexDefs indexes;
    DateIndex(indexes);
    TORQConstraintDefs none;
    TORQCursor named;
    named.TableName = Name;
    named.Session = &C.S;
    auto* t = static_cast<TORQDiskTableData*>(C.Db->GetTableData(&named));
    t->CreateTable(&named, fields, indexes, none);
    t->FreeIfUnused();
}

// A further session of a connection's database, connected for its lifetime.
struct ExtraSession {
    explicit ExtraSession(Connection& C) : Owner(C), S(C.S.MultiUser != 0) {
        S.DatabaseData = C.Db.get();
        C.Db->ConnectSession(&S);
    }
    ~ExtraSession() {
        try {
            Owner.Db->DisconnectSession(&S);
        } catch (...) {
        }
    }
    Connection& Owner;
    Session S;
};

// A fresh database file in a scratch folder.
struct DbFile {
    explicit DbFile(int32_t Connections = 16) : Name(Dir.File("TILO_DB.ORQ")) {
        TORQDiskDatabaseData creator;
        creator.DatabaseName = Name;
        creator.MaxConnections = Connections;
        creator.CommitBarriers = false;
        creator.CreateDatabase();
    }
    disktest::TempDir Dir;
    std::string Name;
};

// Index order and physical order hold the same rows, and the record count says so too.
// Field -1: the date key's minute.
inline void ExpectConsistent(Cursor& C, const std::string& Index = "IDX_DT", int32_t Field = -1) {
    C.Disk->CheckRecordCount(C.Session->SessionID);
    std::vector<int64_t> byIndex = C.Walk(Index, Field);
    std::vector<int64_t> physical = C.Walk("", Field);
    EXPECT_TRUE(std::is_sorted(byIndex.begin(), byIndex.end()));
    std::sort(physical.begin(), physical.end());
    EXPECT_EQ(byIndex, physical);
    EXPECT_EQ(static_cast<int64_t>(physical.size()), C.Disk->GetPhysicalRecordCount(&C));
}

// A table for processes appending at once: ID (autoincrement, unique index BY_ID), PROC
// and SEQ integers, and a MSGTEXT memo when asked for.
inline void CreateCounterTable(Connection& C, const std::string& Name, bool WithText) {
    orq::TORQFieldDefs fields;
    AddField(fields, "ID", orq::aftAutoIncInteger);
    AddField(fields, "PROC", orq::aftInteger);
    AddField(fields, "SEQ", orq::aftInteger);
    if (WithText) AddField(fields, "MSGTEXT", orq::aftMemo);
    orq::TORQIndexDefs indexes;
    orq::TORQIndexDef* d = indexes.Add();
    d->Name = "BY_ID";
    d->Unique = 1;
    d->SetColumnCount(1);
    d->GetColumn(0).FieldName = "ID";
    orq::TORQConstraintDefs none;
    orq::TORQCursor named;
    named.TableName = Name;
    named.Session = &C.S;
    auto* t = static_cast<orq::TORQDiskTableData*>(C.Db->GetTableData(&named));
    t->CreateTable(&named, fields, indexes, none);
    t->FreeIfUnused();
}

// Forks a writer that appends the message log's rows From, From + 1, ... to the file, each
// committed on its own, and writes each committed minute to WriteFd; it runs until it is
// killed (exit 2 on an engine error, 3 on a refused append, 4 when the pipe is gone).
inline pid_t ForkLogWriter(const std::string& Name, int64_t From, int WriteFd,
                           const std::function<std::string(int64_t)>& Text) {
    std::fflush(nullptr);
    const pid_t pid = fork();
    if (pid != 0) return pid;
    try {
        Connection c(Name, false);
        Cursor log(c, "NAVTEXLOG");
        for (int64_t m = From;; ++m) {
            log.FillLog(m, Text(m));
            if (!log.Append()) _exit(3);
            if (write(WriteFd, &m, sizeof m) != sizeof m) _exit(4);
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "writer: %s\n", e.what());
    } catch (...) {
    }
    _exit(2);
}

}  // namespace disktable
