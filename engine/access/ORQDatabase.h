// TORQDatabase: the component through which a program names and opens one database
// file. It holds the connection settings, makes the local session that carries the
// connection down to the storage engine, and owns the open sequence with its three
// decisions: repairing a file that was not closed properly, converting a file of an old
// format, and the password prompt with retry.
//
// Rules kept here:
// - The open runs inside the session's Lock from the file check to the notification;
//   after any failed open the handle is freed and the component is closed.
// - A file that needs repair and was not repaired in this open (declined, SilentMode,
//   design time, no repair available) opens for reading with ReadOnly True; the disk
//   page manager refuses every commit of such a file with 20300 before a byte is
//   written, whoever tries. That ReadOnly is the open's answer, not the program's
//   request: the next open asks for what the program asked for.
// - The handle is shared-owned: with HandleShared a borrower holds it too, and it is
//   disconnected and freed with its last holder, so an owner closing first never frees
//   a handle a borrower still uses.
// - Close completes when a dataset's close fails: the handle goes, the first failure
//   then passes on. The destructor closes without raising.
// - Guards raise classlib's EDatabaseError, "Name: " first when the component has one.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classlib/Classes.h"
#include "engine/access/ORQSessions.h"

namespace classlib {
class TDataSet;
}

namespace orq {

class TORQLocalSession;
class TORQWaitWindow;

using TORQPasswordEvent = std::function<void(classlib::TPersistent* Sender, bool& Continue)>;
using TORQProgressEvent = std::function<void(classlib::TPersistent* Sender, int32_t PercentDone, bool& Continue)>;
using TORQOnNeedRepairEvent = std::function<void(classlib::TPersistent* Sender, bool& DoRepair)>;

// The steps of ReplaceDatabaseFile a test may fail. The sync of the rebuilt copy goes
// through the database file's own fault hook (TORQFileCall::Sync).
enum class TORQReplaceStep : uint8_t { Rename, SyncFolder };
// Consulted before each step; a positive answer fails it with that error number.
using TORQReplaceFaultHook = std::function<int(TORQReplaceStep Step, const std::string& FileName)>;
void SetReplaceFaultHook(TORQReplaceFaultHook Hook);

// Puts the rebuilt RebuiltFileName (in FileName's folder) in place of FileName: the copy
// is synced, renamed over FileName with rename(2) and the folder synced. Never
// delete-then-rename: a crash between the two would leave no database. A failing sync or
// rename keeps FileName as it was, removes the copy and raises 31461 "Cannot replace
// database file '%s' by its rebuilt copy: %s" with the system's text. A failing folder
// sync comes after the rename, which cannot be taken back: FileName is then the complete,
// synced copy (after a crash the original or the copy), and the same 31461 reports that
// the replacement may not survive one.
void ReplaceDatabaseFile(const std::string& FileName, const std::string& RebuiltFileName);

class TORQDatabase : public classlib::TComponent {
public:
    static constexpr double EngineVersion = 5.18;
    // The version below which a file is of an old format and is converted.
    static constexpr double MinimumFileVersion = 2.99;

    // The session is AOwner when that is a TORQSession, else the "Default" one (20007
    // while the engine is stopped).
    explicit TORQDatabase(classlib::TComponent* AOwner);
    ~TORQDatabase() override;

    std::string ClassName() const override { return "TORQDatabase"; }

    // ---- properties ----
    bool Connected() const { return FHandle != nullptr; }
    void SetConnected(bool Value);
    // Always "5.18 "; writes are ignored.
    std::string CurrentVersion() const;
    void SetCurrentVersion(const std::string&) {}
    const std::string& DatabaseFileName() const { return FDatabaseFileName; }
    void SetDatabaseFileName(const std::string& Value);
    const std::string& DatabaseName() const { return FDatabaseName; }
    void SetDatabaseName(const std::string& Value);
    bool Exclusive = false;
    std::string Password;
    bool ReadOnly() const { return FReadOnly; }
    void SetReadOnly(bool Value) {
        FReadOnly = Value;
        FReadOnlyForRepair = false;
    }
    bool HandleShared = false;
    bool KeepConnection() const { return FKeepConnection; }
    void SetKeepConnection(bool Value);
    int32_t MaxConnections = 500;
    bool MultiUser = false;
    const std::string& SessionName() const { return FSessionName; }
    void SetSessionName(const std::string& Value);
    bool SilentMode = false;
    bool DisableTempFiles = false;

    TORQPasswordEvent OnPassword;
    classlib::TNotifyEvent BeforeRepair;
    TORQProgressEvent OnRepairProgress;
    classlib::TNotifyEvent AfterRepair;
    classlib::TNotifyEvent BeforeCompact;
    TORQProgressEvent OnCompactProgress;
    classlib::TNotifyEvent AfterCompact;
    classlib::TNotifyEvent BeforeChangePassword;
    TORQProgressEvent OnChangePasswordProgress;
    classlib::TNotifyEvent AfterChangePassword;
    TORQOnNeedRepairEvent OnNeedRepair;
    classlib::TNotifyEvent BeforeChangeDatabaseSettings;
    TORQProgressEvent OnChangeDatabaseSettingsProgress;
    classlib::TNotifyEvent AfterChangeDatabaseSettings;

    // ---- fields ----
    // Set by the session for a database it makes on demand: no DatabaseName needed.
    bool OwnedBySession = false;
    // Datasets that opened the database through the session; 0 after Close.
    int32_t OpenRefCount = 0;
    uint8_t EncryptionAlgorithm = 0;
    int32_t PageSize = 4096;
    int32_t PagesPerExtent = 8;
    // Set while the open runs a repair or a conversion.
    bool InRepair = false;
    // Whether the last open ran a repair or conversion, and the text it gave (problems
    // met, the tables' counts, the name an original was kept under): beyond the warning
    // box, for the program's own log.
    bool RepairRanAtOpen = false;
    std::string RepairTextAtOpen;
    // The default progress window of a repair or compact.
    std::unique_ptr<TORQWaitWindow> WaitWindow;

    TORQSession* Session() const { return FSession; }
    TORQLocalSession* Handle() const { return FHandle.get(); }
    const std::shared_ptr<TORQLocalSession>& SharedHandle() const { return FHandle; }
    bool HandleBorrowed() const { return FHandleBorrowed; }

    // ---- operations ----
    void Open();
    void Close();

    // Guards.
    void CheckDatabaseName() const;  // "Database name missing"
    void CheckInactive();            // at design time closes instead
    void CheckClosed() const;        // "Cannot perform this operation on an open database"
    void CheckConnected() const;     // "Cannot perform this operation on a closed database"

    // Looks the session up by SessionName (Activate: 20002 for an unknown name) and moves
    // this database to it; with Activate the session is activated.
    void AttachSession(bool Activate);
    // "Duplicate database name '%s'", or frees an idle database the session made on demand.
    void CheckDuplicateName(const std::string& Name);
    bool TakeSharedHandle();
    void CreateSessionHandle();
    void FreeSessionHandle();

    bool AskPassword();
    void AskRepair(bool& DoRepair);
    void ConfirmConversion(bool& DoConvert);

    // The rebuild the open runs on a file that needs repair or conversion: the file is
    // rebuilt into DatabaseFileName + ".tmp", which replaces it. ErrorText holds the
    // problems met and each table's copied and found counts; on a failed rebuild
    // ("Unknown error" when nothing said why) the file stays as it was.
    virtual void RepairDatabase(std::string& ErrorText);

    bool InTransaction() const;
    // CheckConnected; a second start raises "Database is already within a transaction".
    void StartTransaction();
    // CheckConnected; Flush asks the storage engine to flush its buffers.
    void Commit(bool Flush);
    void Rollback();
    // Connects when closed and closes again afterwards; errors of the read pass through
    // (an unreadable catalog is never "no tables"), only the re-close is guarded.
    void GetTableNames(std::vector<std::string>& List);
    // Connects when closed (and stays connected).
    bool TableExists(const std::string& Name);

    // The datasets opened on this database (the dataset core adds and removes them).
    void AddDataSet(classlib::TDataSet* DataSet);
    void RemoveDataSet(classlib::TDataSet* DataSet);
    // Queries first (scanning again after each), then the others last to first.
    void CloseDataSets();
    classlib::TDataSet* GetDataSet(int32_t Index) const { return FDataSets.at(static_cast<size_t>(Index)); }
    int32_t DataSetCount() const { return static_cast<int32_t>(FDataSets.size()); }

    // ---- maintenance (the database closed before and after) ----
    // The file made empty with this component's page size, pages per extent, password,
    // cipher and connection count. "Cannot create database" when no handle can be made.
    void CreateDatabase();
    // Removes DatabaseFileName. A missing file is no error; an existing one that cannot be
    // removed raises "Cannot delete database file '%s': %s" with the system's text.
    void DeleteDatabase();
    // 31460 "Cannot %s database '%s': the file is in use" (Operation names the rebuild)
    // while any connection holds DatabaseFileName: another process's single-user,
    // multi-user or read-only fallback open, or a database object of this process. A
    // rebuild calls it before writing anything: Linux renames over an open file, and the
    // other holder's writes would go to the orphaned one. A missing file passes.
    void CheckFileNotInUse(const std::string& Operation) const;

    // A setting handed to CopyDatabase as KeepFileSetting takes the source file's own.
    static constexpr int32_t KeepFileSetting = -1;
    // The rebuild into DestFileName, table by table; see ORQDatabaseMaintenance.cpp.
    bool CopyDatabase(const std::string& DestFileName, std::string& ErrorText, bool IsRepair,
                      const std::string& DestPassword, int32_t DestEncryptionAlgorithm, int32_t DestPageSize,
                      int32_t DestPagesPerExtent, int32_t DestMaxConnections, const classlib::TNotifyEvent& BeforeEvent,
                      const TORQProgressEvent& ProgressEvent, const classlib::TNotifyEvent& AfterEvent);
    // The rebuild into DestFileName. An exception passes on and a False copy raises 30456
    // "Operation %s failed: %s" (an empty reason: aborted); either leaves DestFileName as
    // it was before (absent, or the file that stood there). A destination that is this
    // database's file under any name, or that another connection holds, raises 30449
    // "Create database error: '%s'" before anything is written.
    bool CompactDatabaseTo(const std::string& DestFileName);
    // The rebuild into DatabaseFileName + ".tmp", which then replaces the file.
    bool CompactDatabase();
    bool RepairDatabaseTo(const std::string& DestFileName, std::string& ErrorText);
    // Cuts the free pages off the end of the file (open, shrink, close).
    void ShrinkDatabaseFile();
    // The operation ("CompactDatabase", "RepairDatabase") of the rebuild this database
    // runs, empty when none. Meanwhile only the rebuild's own datasets open on it, and no
    // other connection on its file (31462 "Database '%s' is busy: %s is running").
    const std::string& RebuildOperation() const { return FRebuildOperation; }

    // The repair question and conversion notice texts.
    static const char* const RepairQuestion;
    static const char* const ConversionNotice;

protected:
    void Loaded() override;
    void Notification(classlib::TComponent* AComponent, classlib::TOperation Operation) override;

private:
    friend class TORQSession;

    // Steps 4 to 7 of the open, inside the session's Lock.
    void OpenLocked(bool Designing);
    // The repair question or conversion notice and the repair on a yes.
    void HandleNeedsRepair();
    // After an open that may write (single-user, not read-only, no rebuild running): the
    // interim tables of a restructure cut short are resolved, so none stays listed.
    // Never fails the open: what cannot be resolved now waits for the next one.
    void ResolveLeftoverTables();
    // The session dies: close, then move to the default session (or none).
    void SessionDestroyed(TORQSession* Dying);

    // The rebuild into DestFileName, which then replaces ReplaceFileName unless that is
    // empty (the source still held exclusively). A destination that is the source file
    // or that someone holds is refused before anything is written; on any failure the
    // copy is removed when the rebuild made it, and nothing else is.
    bool Rebuild(const std::string& DestFileName, std::string& ErrorText, bool IsRepair,
                 const std::string& DestPassword, int32_t DestEncryptionAlgorithm, int32_t DestPageSize,
                 int32_t DestPagesPerExtent, int32_t DestMaxConnections, const classlib::TNotifyEvent& BeforeEvent,
                 const TORQProgressEvent& ProgressEvent, const classlib::TNotifyEvent& AfterEvent,
                 const std::string& ReplaceFileName);
    // Where a rebuild into DestFileName writes, and the file its copy then replaces: a
    // destination that exists is built beside it and renamed over it only when complete.
    std::pair<std::string, std::string> RebuildTarget(const std::string& DestFileName) const;
    // Why DestFileName cannot take a rebuild of this database; empty when it can.
    std::string DestinationProblem(const std::string& DestFileName) const;
    // CompactDatabaseTo and CompactDatabase.
    bool Compact(const std::string& DestFileName, bool Replace);
    // The settings a rebuild hands on: the component's where the program set them after
    // the last connection, else KeepFileSetting.
    int32_t RebuildSetting(int32_t Value, int32_t AtConnect) const {
        return Value == AtConnect ? KeepFileSetting : Value;
    }
    // 31462 while another database of this process rebuilds this one's file.
    void CheckNoRebuildOfFile() const;

    // The settings as the last connection left them (the defaults before any).
    uint8_t FAlgorithmAtConnect = 0;
    int32_t FPageSizeAtConnect = 4096;
    int32_t FPagesPerExtentAtConnect = 8;
    int32_t FMaxConnectionsAtConnect = 500;
    std::string FRebuildOperation;
    // The datasets the running rebuild opens on this database.
    std::vector<const classlib::TDataSet*> FRebuildDataSets;

    std::string FDatabaseFileName;
    std::string FDatabaseName;
    std::string FSessionName;
    bool FReadOnly = false;
    // ReadOnly was set by an open that left the file needing repair: not handed down to
    // the next open, so a repaired file opens for writing again.
    bool FReadOnlyForRepair = false;
    bool FKeepConnection = true;
    bool FStreamedConnected = false;
    bool FHandleBorrowed = false;
    std::shared_ptr<TORQLocalSession> FHandle;
    TORQSession* FSession = nullptr;
    std::vector<classlib::TDataSet*> FDataSets;
};

}  // namespace orq
