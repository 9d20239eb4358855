// The local cursor's tests: local sessions on the three engines (a disk file in a scratch
// folder, single- or multi-user, under a session name of its own; MEMORY; TEMP), a cursor
// that owns its record and old-record buffers the way a dataset does, and the message
// log's table.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../storage/DiskTestUtil.h"
#include "../storage/LogSchema.h"
#include "classlib/Variant.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalEngine.h"
#include "engine/access/ORQMain.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/foundation/ORQVariant.h"
#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQDiskEngine.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQTableLocks.h"

namespace lctest {

using namespace orq;

enum TEngineKind { ekDisk, ekMemory, ekTemp };

inline const char* EngineName(TEngineKind K) { return K == ekDisk ? "Disk" : K == ekMemory ? "Memory" : "Temp"; }

// The native code an action raises, 0 when it raises nothing.
inline int32_t NativeCode(const std::function<void()>& F) {
    try {
        F();
    } catch (const EORQException& e) {
        return e.NativeError();
    }
    return 0;
}

// The engine as a program starts it (storage state, expressions, sessions).
inline void StartTestEngine() { StartEngine(); }
inline void StopTestEngine() { StopEngine(); }

// One connection: a local session. Disk connections under different session names get
// database objects of their own and conflict as two processes do.
class TConnection {
public:
    static std::unique_ptr<TConnection> Disk(const std::string& File, bool MultiUser,
                                             const std::string& SessionName = "S1") {
        auto c = std::unique_ptr<TConnection>(new TConnection);
        c->S.DatabaseName = File;
        c->S.DatabaseFileName = File;
        c->S.MultiUser = MultiUser ? 1 : 0;
        c->S.SessionName = SessionName;
        c->S.SetConnected(true);
        // The tests' commits need no barrier against power loss.
        c->S.DiskDatabaseData()->CommitBarriers = false;
        c->S.DiskDatabaseData()->DiskPageManager()->CommitBarriers = false;
        return c;
    }
    static std::unique_ptr<TConnection> InProcess(const std::string& Name) {
        auto c = std::unique_ptr<TConnection>(new TConnection);
        c->S.DatabaseName = Name;
        c->S.DatabaseFileName = Name;
        c->S.SetConnected(true);
        return c;
    }
    TORQDiskDatabaseData* DiskData() const { return S.DiskDatabaseData(); }

    TORQLocalSession S;

private:
    TConnection() = default;
};

// A database file with MaxConnections connections.
inline std::string CreateDatabaseFile(const disktest::TempDir& Dir, const std::string& Name = "TILO_DB.ORQ",
                                      int32_t Connections = 16) {
    const std::string path = Dir.File(Name);
    TORQDiskDatabaseData creator;
    creator.DatabaseName = path;
    creator.MaxConnections = Connections;
    creator.CommitBarriers = false;
    creator.CreateDatabase();
    return path;
}

// The message log's schema: its field numbers, LogFields and its date key.
using namespace logschema;
inline void LogIndexes(TORQIndexDefs& indexes, bool Unique = true) { DateIndex(indexes, Unique); }

constexpr double DayZero = 46000.0;
inline double MinuteDate(int64_t Minute) { return DayZero + static_cast<double>(Minute) / 1440.0; }

// A cursor as a dataset drives it: it owns the current and old record buffers and sets
// them before each call.
class TCursor : public TORQLocalCursor {
public:
    TCursor(TConnection& C, const std::string& Table, TEngineKind Kind = ekDisk) {
        Session = &C.S;
        TableName = Table;
        InMemory = Kind == ekMemory ? 1 : 0;
        TemporaryTable = 0;
    }
    ~TCursor() override { Close(); }

    void Open() {
        OpenTable(nullptr, nullptr, nullptr);
        AllocBuffers();
    }
    void AllocBuffers() {
        FreeBuffers();
        CurrentRecord = AllocRecordBuffer();
        OldRecord = AllocRecordBuffer();
        InitRecord(CurrentRecord, false);
    }
    void FreeBuffers() {
        if (TableData != nullptr) {
            FreeRecordBuffer(CurrentRecord);
            FreeRecordBuffer(OldRecord);
        } else {
            TORQCursor::FreeRecordBuffer(CurrentRecord);
            TORQCursor::FreeRecordBuffer(OldRecord);
        }
    }
    void Close() {
        try {
            FreeBuffers();
            CloseTable();
        } catch (...) {
        }
    }

    void New() {
        if (auto* d = dynamic_cast<TORQDiskTableData*>(TableData)) d->ClearRecordBlobs(CurrentRecord);
        std::memset(CurrentRecord, 0, static_cast<size_t>(RecordBufferSize));
        InitRecord(CurrentRecord, true);
    }
    void SetNull(int32_t F) { SetBit(CurrentRecord, F, true); }
    void SetInt(int32_t F, int64_t V) {
        TORQVariant v;
        v.SetAsLargeInt(V);
        SetFieldValue(v, F, CurrentRecord, true);
    }
    void SetDouble(int32_t F, double V) {
        TORQVariant v;
        v.SetAsDouble(V);
        SetFieldValue(v, F, CurrentRecord, true);
    }
    void SetDate(int32_t F, double V) {
        TORQVariant v;
        v.SetAsDateTime(V);
        SetFieldValue(v, F, CurrentRecord, true);
    }
    void SetString(int32_t F, const std::string& V) {
        TORQVariant v;
        v.SetAsString(V);
        SetFieldValue(v, F, CurrentRecord, true);
    }
    bool IsNull(int32_t F) const { return GetBit(CurrentRecord, F); }
    int64_t GetInt(int32_t F) const {
        TORQVariant v;
        GetFieldValue(v, F, true);
        return v.IsNull() ? INT64_MIN : v.GetAsLargeInt();
    }
    std::string GetString(int32_t F) const {
        TORQVariant v;
        GetFieldValue(v, F, true);
        return v.IsNull() ? std::string("<null>") : v.GetAsString();
    }
    double GetDate(int32_t F) const {
        TORQVariant v;
        GetFieldValue(v, F, true);
        return v.IsNull() ? -1.0 : v.GetAsDateTime();
    }
    // Writes a BLOB through the cursor's BLOB calls (mode 0: new value).
    void SetText(int32_t F, const std::string& Text, bool IsInsert = true) {
        TORQLocalBLOBStream* s = OpenBlob(IsInsert, !IsInsert, false, TORQLocalBLOBStream::bmWriteOnly, F);
        ASSERT_NE(s, nullptr);
        if (!Text.empty()) s->Write(Text.data(), static_cast<int64_t>(Text.size()));
        CloseBlob(F);
    }
    std::string GetText(int32_t F, bool Browse = true) {
        TORQLocalBLOBStream* s = OpenBlob(false, !Browse, Browse, TORQLocalBLOBStream::bmReadOnly, F);
        if (s == nullptr) return "<nil>";
        std::string out(static_cast<size_t>(s->Size()), '\0');
        s->Seek(0, soBeginning);
        if (!out.empty()) s->ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
        CloseBlob(F);
        return out;
    }
    // A message log row: Minute into the day; Area, Letter, Station, Freq as given.
    void FillLog(int64_t Minute, int32_t Area = 1, const std::string& Letter = "A",
                 const std::string& Station = "UNID", int32_t Freq = 518, int32_t Dist = 0) {
        New();
        SetDate(fUtc, MinuteDate(Minute));
        SetInt(fFreq, Freq);
        SetDouble(fQual, static_cast<double>(Minute % 101));
        SetString(fLetter, Letter);
        SetString(fType, "E");
        SetString(fNumber, std::to_string(Minute % 10000));
        SetInt(fArea, Area);
        SetString(fStation, Station);
        SetInt(fDist, Dist);
    }
    // The minute of the current row's date key, -1 when Null.
    int64_t Minute() const {
        const double d = GetDate(fUtc);
        return d < 0 ? -1 : static_cast<int64_t>((d - DayZero) * 1440.0 + 0.5);
    }
    int32_t Post(bool Inserting = true) {
        PostRecord(Inserting);
        return ResultCode;
    }
    int32_t Append(int64_t Minute) {
        FillLog(Minute);
        return Post(true);
    }
    // The dataset's edit: the old image is the record as read.
    int32_t BeginEdit() {
        std::memcpy(OldRecord, CurrentRecord, static_cast<size_t>(RecordBufferSize));
        Edit();
        return ResultCode;
    }
    void Cancel() {
        CancelRecord(false);
        std::memcpy(CurrentRecord, OldRecord, static_cast<size_t>(RecordBufferSize));
    }
    int32_t Delete() {
        DeleteRecord();
        return ResultCode;
    }
    // Field values (minutes for -1) of every record in the cursor's order, forward.
    std::vector<int64_t> Walk(int32_t F = -1, bool Backward = false) {
        std::vector<int64_t> out;
        if (Backward) {
            Last();
            while (GetRecord(gmPrior) == grOK) out.push_back(F < 0 ? Minute() : GetInt(F));
        } else {
            First();
            while (GetRecord(gmNext) == grOK) out.push_back(F < 0 ? Minute() : GetInt(F));
        }
        return out;
    }
    // Moves to the record of Minute (physical walk); false when absent.
    bool Seek(int64_t M) {
        First();
        while (GetRecord(gmNext) == grOK)
            if (Minute() == M) return true;
        return false;
    }
};

// Creates the message log through a cursor of the connection.
inline void CreateLog(TConnection& C, TEngineKind Kind, const std::string& Name = "NAVTEXLOG", bool Unique = true) {
    TCursor c(C, Name, Kind);
    TORQFieldDefs fields;
    LogFields(fields);
    TORQIndexDefs indexes;
    LogIndexes(indexes, Unique);
    c.CreateTable(fields, indexes, TORQConstraintDefs());
}

// A sleeper and clock that take no time: each sleep advances the clock; OnSleep runs
// inside each sleep.
struct TFakeTime {
    TFakeTime() {
        SetEngineClock([this] { return Now.load(); });
        SetEngineSleeper([this](int32_t Ms) {
            Sleeps.push_back(Ms);
            Now += Ms;
            if (OnSleep) OnSleep(static_cast<int32_t>(Sleeps.size()));
        });
    }
    ~TFakeTime() {
        SetEngineSleeper(nullptr);
        SetEngineClock(nullptr);
    }
    std::atomic<int64_t> Now{1000000};
    std::vector<int32_t> Sleeps;
    std::function<void(int32_t Count)> OnSleep;
};

// A tuning of a few tries (the lock tests count the real defaults).
inline TORQCursorLockTuning ShortTuning() {
    TORQCursorLockTuning t;
    t.EditTries = t.RecordTries = t.PostTries = t.DeleteTries = t.BlobReadTries = 3;
    return t;
}

struct TTuningScope {
    explicit TTuningScope(const TORQCursorLockTuning& T) { SetCursorLockTuning(T); }
    ~TTuningScope() { SetCursorLockTuning(TORQCursorLockTuning()); }
};

}  // namespace lctest
