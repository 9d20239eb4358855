// Database maintenance of TORQDatabase: creating and deleting the file, the rebuild
// into a fresh file table by table that compacting, repairing and converting share, the
// in-use check a rebuild runs before it writes anything, and the replacement of the
// database file by its rebuilt copy.
//
// Rules kept here:
// - Create, delete and the rebuilds need a closed database and leave it closed.
// - A rebuild writes nothing into its source: it holds the file exclusively from its first
//   read until the replacement is in place (the rename runs before the source closes),
//   reads a repair's tables through page indexes rebuilt in private pages, and resolves
//   the leftovers of a restructure cut short in what it copies. Meanwhile the database
//   takes no dataset but the rebuild's own and its file no other connection of this
//   process (31462).
// - The replacement is one rename(2) of a synced copy in the same folder: at every moment
//   the database file's name holds either the untouched original or the complete copy.
//   A rebuild that fails leaves no copy behind; a killed one's is replaced by the next.
// - Nothing is removed that the rebuild did not make. A destination is compared with the
//   source by identity (device and inode), never by name, and one that is the source or
//   that any connection holds is refused before anything is written. A destination that
//   exists is built beside it and renamed over it only when complete.
// - A repair never destroys the only copy of data: unless every table came over whole
//   (each record, each value, as many records as its state says it held), the original
//   stays beside the file as "<file>.damaged-<UTC time>", named in the repair's text. A
//   table whose definitions cannot be read makes the repair answer False: the file stays.
// - The copy commits without barriers: nothing of it counts until the one sync before
//   the rename.
// - The rebuild keeps the source's page size, pages per extent, cipher and connection
//   count unless the program set them after the component's last connection: the repair
//   inside an open runs before the open learns the file's settings.
// - The in-use check opens the file with share mode exclusive: the share markers of every
//   other open (single-user, multi-user or a read-only fallback reader, in this process
//   or another) refuse it, and nothing is written by the probe.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

#include "classlib/DB.h"
#include "classlib/SysUtils.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/access/ORQTable.h"
#include "engine/access/ORQUserInterface.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQCommitJournal.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQDiskDatabase.h"
#include "engine/storage/ORQDiskTable.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQFieldManager.h"

namespace orq {

using classlib::DatabaseError;
using classlib::DatabaseErrorFmt;

namespace {

TORQReplaceFaultHook& ReplaceHook() {
    static TORQReplaceFaultHook hook;
    return hook;
}

int InjectedFault(TORQReplaceStep Step, const std::string& FileName) {
    const TORQReplaceFaultHook& hook = ReplaceHook();
    return hook ? hook(Step, FileName) : 0;
}

[[noreturn]] void RaiseReplaceFailed(const std::string& FileName, const std::string& Reason) {
    RaiseNativeFmt(31461, "Cannot replace database file '%s' by its rebuilt copy: %s", {FileName, Reason});
}

std::string FolderOf(const std::string& FileName) {
    const std::filesystem::path parent = std::filesystem::path(FileName).parent_path();
    return parent.empty() ? std::string(".") : parent.string();
}

// fsync of the folder so the rename itself is durable; 0 or the error number.
int SyncFolder(const std::string& FileName) {
    if (const int injected = InjectedFault(TORQReplaceStep::SyncFolder, FileName); injected > 0) return injected;
    const int fd = ::open(FolderOf(FileName).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    const int rc = ::fsync(fd);
    const int error = rc == 0 ? 0 : errno;
    ::close(fd);
    return error;
}

void RemoveQuietly(const std::string& FileName) {
    std::error_code ec;
    std::filesystem::remove(FileName, ec);
}

// A file's identity (device and inode), when it exists: names differ by spelling, links
// and folders, the identity does not.
std::optional<std::pair<dev_t, ino_t>> FileIdentity(const std::string& FileName) {
    struct stat st {};
    if (FileName.empty() || ::stat(FileName.c_str(), &st) != 0) return std::nullopt;
    return std::pair{st.st_dev, st.st_ino};
}

// Whether any connection holds FileName: a database object of this process (any session
// name: multi-user objects are one per session), or any open that an exclusive open is
// refused by (single-user, multi-user or read-only fallback, here or in another process).
// A file that cannot be opened at all is nobody's.
bool FileHeld(const std::string& FileName) {
    const std::string canonical = CanonicalDatabaseFileName(FileName);
    if (DatabaseList().FindIf([&](const TORQDatabaseData& d) {
            return dynamic_cast<const TORQDiskDatabaseData*>(&d) != nullptr && d.DatabaseName == canonical;
        }) != nullptr)
        return true;
    const int plain = ::open(FileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (plain < 0) return false;
    ::close(plain);
    TORQDatabaseFile probe;
    try {
        probe.OpenFile(FileName, 0, 0);
    } catch (const EORQException&) {
        return true;
    }
    try {
        probe.CloseFile();
    } catch (...) {
        // A read-only descriptor that closes with an error has written nothing.
    }
    return false;
}

std::string Upper(std::string S) {
    for (char& c : S) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return S;
}

// The files this process is rebuilding (canonical names) and the database running each.
std::mutex& RebuildsMutex() {
    static std::mutex m;
    return m;
}
std::map<std::string, const TORQDatabase*>& Rebuilds() {
    static std::map<std::string, const TORQDatabase*> m;
    return m;
}

// The leftover kind ("OLD" or "NEW") and the table name of a restructure's interim name
// "<kind>_<name>_{guid}"; empty kind for any other name.
std::pair<std::string, std::string> LeftoverOf(const std::string& Name) {
    const size_t guid = 38;
    if (Name.size() <= 4 + 1 + guid || Name[Name.size() - guid - 1] != '_' || Name[Name.size() - guid] != '{' ||
        Name.back() != '}')
        return {};
    const std::string kind = Upper(Name.substr(0, 4));
    if (kind != "OLD_" && kind != "NEW_") return {};
    return {kind.substr(0, 3), Name.substr(4, Name.size() - 4 - guid - 1)};
}

// What the rebuild copies, as (source table, name in the copy): every table under its
// name; where a restructure was cut short, the table that holds the records (a NEW table
// beside its OLD one without the table itself, else an OLD one alone) under the table's
// name, and no interim table.
std::vector<std::pair<std::string, std::string>> CopyPlan(const std::vector<std::string>& Names) {
    std::vector<std::pair<std::string, std::string>> plan;
    struct TLeft {
        std::string Name, Old, New;
    };
    std::map<std::string, TLeft> left;
    std::vector<std::string> plain;
    for (const std::string& name : Names) {
        const auto [kind, base] = LeftoverOf(name);
        if (kind.empty()) {
            plain.push_back(name);
            continue;
        }
        TLeft& l = left[Upper(base)];
        l.Name = base;
        (kind == "OLD" ? l.Old : l.New) = name;
    }
    for (const std::string& name : plain) {
        plan.emplace_back(name, name);
        left.erase(Upper(name));
    }
    for (const auto& [key, l] : left) {
        if (!l.New.empty() && !l.Old.empty())
            plan.emplace_back(l.New, l.Name);
        else if (!l.Old.empty())
            plan.emplace_back(l.Old, l.Name);
    }
    return plan;
}

}  // namespace

void TORQDatabase::CheckNoRebuildOfFile() const {
    if (FDatabaseFileName.empty()) return;
    const std::string canonical = CanonicalDatabaseFileName(FDatabaseFileName);
    std::string operation;
    {
        std::lock_guard guard(RebuildsMutex());
        auto it = Rebuilds().find(canonical);
        if (it == Rebuilds().end() || it->second == this) return;
        operation = it->second->RebuildOperation();
    }
    RaiseNativeFmt(31462, "Database '%s' is busy: %s is running", {FDatabaseFileName, operation});
}

namespace {

// The rebuild's marks on its database for its duration: the operation, the file in the
// process's list, the rebuild's own datasets; all cleared on every path.
class TRebuildMark {
public:
    TRebuildMark(TORQDatabase& Database, std::string& Operation, std::vector<const classlib::TDataSet*>& Own,
                 const std::string& Name)
        : FOperation(Operation), FOwn(Own),
          FFile(CanonicalDatabaseFileName(Database.DatabaseFileName())) {
        {
            std::lock_guard guard(RebuildsMutex());
            if (!Rebuilds().emplace(FFile, &Database).second) FFile.clear();
        }
        FOperation = Name;
    }
    ~TRebuildMark() {
        FOperation.clear();
        FOwn.clear();
        if (FFile.empty()) return;
        std::lock_guard guard(RebuildsMutex());
        Rebuilds().erase(FFile);
    }
    TRebuildMark(const TRebuildMark&) = delete;
    TRebuildMark& operator=(const TRebuildMark&) = delete;

private:
    std::string& FOperation;
    std::vector<const classlib::TDataSet*>& FOwn;
    std::string FFile;
};

// A dataset of the rebuild, admitted while it lives.
class TOwnDataSet {
public:
    TOwnDataSet(std::vector<const classlib::TDataSet*>& Own, const classlib::TDataSet* DataSet)
        : FOwn(Own), FDataSet(DataSet) {
        FOwn.push_back(DataSet);
    }
    ~TOwnDataSet() { std::erase(FOwn, FDataSet); }
    TOwnDataSet(const TOwnDataSet&) = delete;
    TOwnDataSet& operator=(const TOwnDataSet&) = delete;

private:
    std::vector<const classlib::TDataSet*>& FOwn;
    const classlib::TDataSet* FDataSet;
};

std::unique_ptr<TORQTable> TableOf(const std::string& SessionName, const std::string& DatabaseName,
                                   const std::string& TableName) {
    auto t = std::make_unique<TORQTable>(nullptr);
    t->SetSessionName(SessionName);
    t->SetDatabaseName(DatabaseName);
    t->SetTableName(TableName);
    return t;
}

// The copy's autoincrement counters go on where the source's stood: the copy raised
// them only to the values its records hold, and a counter that fell back would hand out
// the numbers of deleted records again. Both tables open.
void CarryAutoincCounters(TORQTable& Source, TORQTable& Copy) {
    auto* from = dynamic_cast<TORQLocalCursor*>(Source.Cursor());
    auto* to = dynamic_cast<TORQLocalCursor*>(Copy.Cursor());
    if (from == nullptr || to == nullptr || from->TableData == nullptr || to->TableData == nullptr) return;
    TORQBaseFieldManager* fm = from->TableData->FieldManager.get();
    TORQBaseFieldManager* tm = to->TableData->FieldManager.get();
    auto* disk = dynamic_cast<TORQDiskTableData*>(to->TableData);
    if (fm == nullptr || tm == nullptr || disk == nullptr) return;
    bool changed = false;
    for (int32_t i = 0; i < tm->FieldDefs.GetCount() && i < static_cast<int32_t>(tm->AutoincValues.size()); ++i)
        for (int32_t j = 0; j < fm->FieldDefs.GetCount() && j < static_cast<int32_t>(fm->AutoincValues.size()); ++j) {
            if (fm->FieldDefs.GetItem(j)->Name != tm->FieldDefs.GetItem(i)->Name) continue;
            int64_t& counter = tm->AutoincValues[static_cast<size_t>(i)];
            const int64_t stood = fm->AutoincValues[static_cast<size_t>(j)];
            if (stood > counter) {
                counter = stood;
                changed = true;
            }
        }
    if (!changed) return;
    const int32_t session = to->Session->SessionID;
    TORQTableLock lock(*disk);
    disk->SaveState(session);
    disk->CommitSessionPages(session, false);
}

// The record count the stored state of a table open for a repair read gave; -1 unknown.
int64_t StoredRecordCount(TORQTable& View) {
    auto* cursor = dynamic_cast<TORQLocalCursor*>(View.Cursor());
    auto* disk = cursor != nullptr ? dynamic_cast<TORQDiskTableData*>(cursor->TableData) : nullptr;
    return disk != nullptr ? disk->RepairStoredRecordCount : -1;
}

// A second name for FileName's bytes, "<file>.damaged-<UTC time>", made before a repair
// renames its copy over FileName: a hard link where the file system has them, else a
// synced copy. Raises 31464 when neither can be made: the file is then not replaced.
std::string KeepOriginal(const std::string& FileName) {
    const std::time_t now = std::time(nullptr);
    std::tm utc {};
    ::gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &utc);
    std::string reason = "no free name";
    for (int n = 0; n < 100; ++n) {
        const std::string name = FileName + ".damaged-" + stamp + (n == 0 ? "" : "-" + std::to_string(n));
        if (::link(FileName.c_str(), name.c_str()) == 0) return name;
        if (errno == EEXIST) continue;
        reason = std::strerror(errno);
        // No hard links on this file system: a copy, synced before the original goes.
        std::error_code ec;
        if (std::filesystem::copy_file(FileName, name, ec)) {
            const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
            const bool synced = fd >= 0 && ::fsync(fd) == 0;
            if (fd >= 0) ::close(fd);
            if (synced) return name;
            reason = "the copy cannot be synced";
            RemoveQuietly(name);
        } else if (ec != std::errc::file_exists) {
            reason = ec.message();
        } else {
            continue;
        }
        break;
    }
    RaiseNativeFmt(31464, "Cannot keep the original of database file '%s': %s", {FileName, reason});
}

void CloseQuietly(TORQDatabase& Database) {
    try {
        Database.Close();
    } catch (...) {
        // Close frees the handle before it passes a failure on; nothing was written.
    }
}

}  // namespace

void SetReplaceFaultHook(TORQReplaceFaultHook Hook) { ReplaceHook() = std::move(Hook); }

void TORQDatabase::ResolveLeftoverTables() {
    if (!FHandle || FReadOnly || MultiUser || !FRebuildOperation.empty() || FHandle->DiskDatabaseData() == nullptr)
        return;
    try {
        std::vector<std::string> names;
        FHandle->GetTablesList(names);
        std::map<std::string, std::string> bases;
        for (const std::string& name : names)
            if (const auto [kind, base] = LeftoverOf(name); !kind.empty()) bases.emplace(Upper(base), base);
        for (const auto& [key, base] : bases) {
            try {
                TableOf(FSessionName, FDatabaseName, base)->ResolveRestructureLeftovers();
            } catch (...) {
                // Left for the next open; the table's own open resolves a missing one.
            }
        }
    } catch (...) {
        // An unreadable catalog is the table opens' to report.
    }
}

void ReplaceDatabaseFile(const std::string& FileName, const std::string& RebuiltFileName) {
    // The copy's last write precedes this sync; an exclusive open also proves that no
    // handle still writes into it.
    try {
        TORQDatabaseFile copy;
        copy.OpenFile(RebuiltFileName, 1, 0);
        try {
            copy.FlushFileBuffers();
        } catch (...) {
            try {
                copy.CloseFile();
            } catch (...) {
            }
            throw;
        }
        copy.CloseFile();
    } catch (const EORQException& e) {
        RemoveQuietly(RebuiltFileName);
        RaiseReplaceFailed(FileName, e.what());
    }
    // The journals belong to the files they were written for: the copy was read through
    // the source's, and neither may later be applied to the file that takes the name.
    RemoveQuietly(TORQCommitJournal::JournalFileName(RebuiltFileName));
    RemoveQuietly(TORQCommitJournal::JournalFileName(FileName));
    int error = InjectedFault(TORQReplaceStep::Rename, FileName);
    if (error == 0 && std::rename(RebuiltFileName.c_str(), FileName.c_str()) != 0) error = errno;
    if (error != 0) {
        RemoveQuietly(RebuiltFileName);
        RaiseReplaceFailed(FileName, std::strerror(error));
    }
    if (const int synced = SyncFolder(FileName); synced != 0) RaiseReplaceFailed(FileName, std::strerror(synced));
}

void TORQDatabase::CreateDatabase() {
    CheckDatabaseName();
    AttachSession(true);
    CheckClosed();
    TORQSessionLock lock(*FSession);
    CreateSessionHandle();
    if (!FHandle) DatabaseError("Cannot create database", this);
    try {
        FHandle->CreateDatabase();
    } catch (...) {
        try {
            FreeSessionHandle();
        } catch (...) {
        }
        FHandle.reset();
        throw;
    }
    FreeSessionHandle();
}

void TORQDatabase::DeleteDatabase() {
    CheckDatabaseName();
    AttachSession(true);
    CheckClosed();
    // The journal goes with the file: left, it could be applied to a new file of the name.
    if (::unlink(FDatabaseFileName.c_str()) == 0 || errno == ENOENT) {
        RemoveQuietly(TORQCommitJournal::JournalFileName(FDatabaseFileName));
        return;
    }
    const int error = errno;
    DatabaseErrorFmt("Cannot delete database file '%s': %s", {FDatabaseFileName, std::string(std::strerror(error))},
                     this);
}

void TORQDatabase::CheckFileNotInUse(const std::string& Operation) const {
    // A file that is missing or unreadable is the open's to report, not a holder's.
    if (FileHeld(FDatabaseFileName))
        RaiseNativeFmt(31460, "Cannot %s database '%s': the file is in use", {Operation, FDatabaseFileName});
}

std::string TORQDatabase::DestinationProblem(const std::string& DestFileName) const {
    const auto dest = FileIdentity(DestFileName);
    if (!dest) return {};
    if (dest == FileIdentity(FDatabaseFileName))
        return classlib::Format("destination %s is the database file itself", {DestFileName});
    if (FileHeld(DestFileName)) return classlib::Format("destination %s is in use", {DestFileName});
    return {};
}

std::pair<std::string, std::string> TORQDatabase::RebuildTarget(const std::string& DestFileName) const {
    if (!FileIdentity(DestFileName)) return {DestFileName, std::string()};
    return {DestFileName + MakeUniqueName(".") + ".tmp", DestFileName};
}


// ---------------------------------------------------------------------------------
// The rebuild

bool TORQDatabase::CopyDatabase(const std::string& DestFileName, std::string& ErrorText, bool IsRepair,
                                const std::string& DestPassword, int32_t DestEncryptionAlgorithm, int32_t DestPageSize,
                                int32_t DestPagesPerExtent, int32_t DestMaxConnections,
                                const classlib::TNotifyEvent& BeforeEvent, const TORQProgressEvent& ProgressEvent,
                                const classlib::TNotifyEvent& AfterEvent) {
    const auto [build, replace] = RebuildTarget(DestFileName);
    return Rebuild(build, ErrorText, IsRepair, DestPassword, DestEncryptionAlgorithm, DestPageSize,
                   DestPagesPerExtent, DestMaxConnections, BeforeEvent, ProgressEvent, AfterEvent, replace);
}

bool TORQDatabase::Rebuild(const std::string& DestFileName, std::string& ErrorText, bool IsRepair,
                           const std::string& DestPassword, int32_t DestEncryptionAlgorithm, int32_t DestPageSize,
                           int32_t DestPagesPerExtent, int32_t DestMaxConnections,
                           const classlib::TNotifyEvent& BeforeEvent, const TORQProgressEvent& ProgressEvent,
                           const classlib::TNotifyEvent& AfterEvent, const std::string& ReplaceFileName) {
    CheckDatabaseName();
    AttachSession(true);
    CheckClosed();
    bool result = false;
    // The caller's destination; a rebuild of the file in place writes its own copy.
    if (ReplaceFileName != FDatabaseFileName || DestFileName != FDatabaseFileName + ".tmp") {
        const std::string problem = DestinationProblem(ReplaceFileName.empty() ? DestFileName : ReplaceFileName);
        if (!problem.empty()) {
            ErrorText = classlib::Format("Create database error: '%s'", {problem});
            if (!IsRepair) RaiseNative(30449, ErrorText);
            return false;
        }
    }
    if (BeforeEvent) BeforeEvent(this);
    ErrorText.clear();
    const bool savedExclusive = Exclusive;
    const bool savedSilent = SilentMode;
    std::unique_ptr<TORQDatabase> dest;
    std::exception_ptr failure;
    // Set once the copy's file is made: it is then the rebuild's own to remove.
    bool madeCopy = false;
    {
        TRebuildMark mark(*this, FRebuildOperation, FRebuildDataSets, IsRepair ? "RepairDatabase" : "CompactDatabase");
        try {
            // The source, held exclusively from its first read to the replacement.
            Exclusive = true;
            SilentMode = true;
            try {
                Open();
            } catch (...) {
                SilentMode = savedSilent;
                throw;
            }
            SilentMode = savedSilent;
            if (FHandle) FHandle->SetRecoveryMode(true);
            TORQLocalSession& source = *FHandle;
            auto setting = [](int32_t Given, int32_t OfFile) { return Given == KeepFileSetting ? OfFile : Given; };

            // The copy. A killed rebuild's leftover of our own name goes first.
            if (!ReplaceFileName.empty()) RemoveQuietly(DestFileName);
            dest = std::make_unique<TORQDatabase>(nullptr);
            dest->SetSessionName(FSessionName);
            dest->SetDatabaseName(MakeUniqueName("TempDatabase"));
            dest->SetDatabaseFileName(DestFileName);
            dest->Password = DestPassword;
            dest->EncryptionAlgorithm =
                static_cast<uint8_t>(setting(DestEncryptionAlgorithm, source.GetPasswordRecord()->Algorithm));
            dest->PageSize = setting(DestPageSize, source.PageSize);
            dest->PagesPerExtent = setting(DestPagesPerExtent, source.PagesPerExtent);
            dest->MaxConnections = setting(DestMaxConnections, source.MaxConnections);
            dest->SilentMode = true;
            bool created = false;
            try {
                madeCopy = true;
                dest->CreateDatabase();
                dest->Open();
                created = true;
            } catch (const std::exception& e) {
                ErrorText = classlib::Format("Create database error: '%s'", {std::string(e.what())});
                if (!IsRepair) RaiseNative(30449, ErrorText);
            }
            if (created) {
                if (TORQDiskDatabaseData* disk = dest->Handle()->DiskDatabaseData()) {
                    disk->CommitBarriers = false;
                    if (disk->DiskPageManager() != nullptr) disk->DiskPageManager()->CommitBarriers = false;
                }
                std::vector<std::string> names;
                bool listed = true;
                try {
                    GetTableNames(names);
                } catch (const std::exception& e) {
                    // Never an empty database in the place of the file.
                    if (!IsRepair) throw;
                    ErrorText += e.what();
                    listed = false;
                }
                bool go = listed;
                // Whether the repair copied every record and value of every table.
                bool whole = true;
                // A table whose definitions cannot be read: the file must not be replaced.
                bool lost = false;
                const auto plan = CopyPlan(names);
                const int32_t n = static_cast<int32_t>(plan.size());
                for (int32_t i = 0; go && i < n; ++i) {
                    const auto& [from, as] = plan[static_cast<size_t>(i)];
                    std::string problem;
                    try {
                        std::unique_ptr<TORQTable> table = TableOf(FSessionName, FDatabaseName, from);
                        TOwnDataSet ownTable(FRebuildDataSets, table.get());
                        std::unique_ptr<TORQTable> view;
                        std::optional<TOwnDataSet> ownView;
                        if (IsRepair) {
                            // The rebuilt page index lives while this table stays open.
                            view = TableOf(FSessionName, FDatabaseName, from);
                            ownView.emplace(FRebuildDataSets, view.get());
                            view->OpenInRepairMode(true);
                        }
                        table->Open();
                        const int64_t found = table->RecordCount();
                        table->Close();
                        const int64_t held = IsRepair ? StoredRecordCount(*view) : found;
                        table->OnCopyProgress = [&](classlib::TDataSet*, int32_t Percent, bool& Continue) {
                            if (ProgressEvent) ProgressEvent(this, Percent, Continue);
                        };
                        table->BeforeCopy = [](classlib::TDataSet*) {};
                        table->AfterCopy = [](classlib::TDataSet*) {};
                        std::string copyText;
                        table->CopyTable(as, copyText, go, DestFileName, DestPassword, IsRepair, false, true,
                                         i * 100 / n, (i + 1) * 100 / n);
                        if (!go) break;
                        std::unique_ptr<TORQTable> copy = TableOf(FSessionName, dest->DatabaseName(), as);
                        copy->Open();
                        const int64_t copied = copy->RecordCount();
                        table->Open();
                        CarryAutoincCounters(*table, *copy);
                        table->Close();
                        copy->Close();
                        if (IsRepair) {
                            ErrorText += copyText;
                            ErrorText += classlib::Format("Table '%s': %d of %d records copied\r\n",
                                                          {as, copied, found});
                            if (held > found)
                                ErrorText += classlib::Format(
                                    "Table '%s': %d records on pages that could not be read were not copied\r\n",
                                    {as, held - found});
                            // A state that cannot be read leaves unknown what the table held.
                            if (!copyText.empty() || copied < found || held != found) whole = false;
                        } else if (copied != found) {
                            problem = classlib::Format("the copy holds %d of its %d records", {copied, found});
                        }
                    } catch (const EORQException& e) {
                        problem = e.what();
                        // Nothing of such a table could be told apart in the copy.
                        if (IsRepair && e.NativeError() == 31465) lost = true;
                    } catch (const std::exception& e) {
                        problem = e.what();
                    }
                    if (problem.empty()) continue;
                    whole = false;
                    const std::string text =
                        classlib::Format("Problem occured while copying table '%s': '%s'", {as, problem});
                    ErrorText += text;
                    if (!IsRepair) RaiseNative(20199, text);
                    ErrorText += "\r\n";
                    if (lost) break;
                }
                if (FHandle) FHandle->SetRecoveryMode(false);
                if (go && ProgressEvent) ProgressEvent(this, 100, go);
                if (lost) {
                    ErrorText += "The database file is left as it was.\r\n";
                } else if (go) {
                    dest->Close();
                    dest->ShrinkDatabaseFile();
                    result = IsRepair || ErrorText.empty();
                } else if (!IsRepair) {
                    // The operator's abort gives no reason.
                    ErrorText.clear();
                }
                if (result && !ReplaceFileName.empty()) {
                    // The only copy of what the repair could not carry over stays.
                    if (IsRepair && !whole && ReplaceFileName == FDatabaseFileName)
                        ErrorText += classlib::Format("The original file is kept as '%s'.\r\n",
                                                      {KeepOriginal(ReplaceFileName)});
                    ReplaceDatabaseFile(ReplaceFileName, DestFileName);
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }
        try {
            if (FHandle) FHandle->SetRecoveryMode(false);
        } catch (...) {
        }
        // The source was only read: a failing close has nothing of the rebuild to lose.
        CloseQuietly(*this);
        if (dest) {
            CloseQuietly(*dest);
            dest.reset();
        }
        if (madeCopy && (failure || !result)) RemoveQuietly(DestFileName);
        Exclusive = savedExclusive;
        SilentMode = savedSilent;
    }
    if (AfterEvent) {
        try {
            AfterEvent(this);
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    }
    if (failure) std::rethrow_exception(failure);
    return result;
}

namespace {

// The default progress of a rebuild whose events are unassigned: the wait window. A
// repair's shows at once and serves the program's events from its start; a compact's
// shows itself on its timer.
struct TRebuildEvents {
    classlib::TNotifyEvent Before, After;
    TORQProgressEvent Progress;
};

TRebuildEvents RebuildEvents(TORQDatabase& Db, bool Repair, const classlib::TNotifyEvent& Before,
                             const TORQProgressEvent& Progress, const classlib::TNotifyEvent& After) {
    TRebuildEvents e{Before, After, Progress};
    if (Db.SilentMode) return e;
    TORQDatabase* db = &Db;
    if (!e.Before)
        e.Before = [db, Repair](classlib::TPersistent*) {
            db->WaitWindow = UserInterface().CreateWaitWindow();
            db->WaitWindow->SetPosition(0);
            db->WaitWindow->StartWait(Repair ? "Repairing Database..." : "Compacting Database...");
            if (Repair) {
                db->WaitWindow->MakeVisible();
                UserInterface().ProcessMessages();
            }
        };
    if (!e.Progress)
        e.Progress = [db, Repair](classlib::TPersistent*, int32_t Percent, bool& Continue) {
            if (!db->WaitWindow) return;
            if (Repair) db->WaitWindow->MakeVisible();
            db->WaitWindow->SetPosition(Percent);
            UserInterface().ProcessMessages();
            if (db->WaitWindow && db->WaitWindow->Aborted()) Continue = false;
        };
    if (!e.After)
        e.After = [db](classlib::TPersistent*) {
            if (!db->WaitWindow) return;
            std::unique_ptr<TORQWaitWindow> window = std::move(db->WaitWindow);
            window->StopWait();
        };
    return e;
}

}  // namespace

bool TORQDatabase::Compact(const std::string& DestFileName, bool Replace) {
    CheckDatabaseName();
    AttachSession(true);
    CheckInactive();
    CheckFileNotInUse("compact");
    const auto [build, replace] = Replace ? std::pair{DestFileName, FDatabaseFileName} : RebuildTarget(DestFileName);
    const TRebuildEvents events = RebuildEvents(*this, false, BeforeCompact, OnCompactProgress, AfterCompact);
    std::string errorText;
    const bool done = Rebuild(build, errorText, false, Password, RebuildSetting(EncryptionAlgorithm, FAlgorithmAtConnect),
                              RebuildSetting(PageSize, FPageSizeAtConnect),
                              RebuildSetting(PagesPerExtent, FPagesPerExtentAtConnect),
                              RebuildSetting(MaxConnections, FMaxConnectionsAtConnect), events.Before, events.Progress,
                              events.After, replace);
    if (!done) RaiseNativeFmt(30456, "Operation %s failed: %s", {std::string("CompactDatabase"), errorText});
    return true;
}

bool TORQDatabase::CompactDatabaseTo(const std::string& DestFileName) { return Compact(DestFileName, false); }

bool TORQDatabase::CompactDatabase() { return Compact(FDatabaseFileName + ".tmp", true); }

bool TORQDatabase::RepairDatabaseTo(const std::string& DestFileName, std::string& ErrorText) {
    CheckDatabaseName();
    AttachSession(true);
    CheckClosed();
    CheckFileNotInUse("repair");
    const auto [build, replace] = RebuildTarget(DestFileName);
    const TRebuildEvents events = RebuildEvents(*this, true, BeforeRepair, OnRepairProgress, AfterRepair);
    return Rebuild(build, ErrorText, true, Password, RebuildSetting(EncryptionAlgorithm, FAlgorithmAtConnect),
                   RebuildSetting(PageSize, FPageSizeAtConnect),
                   RebuildSetting(PagesPerExtent, FPagesPerExtentAtConnect),
                   RebuildSetting(MaxConnections, FMaxConnectionsAtConnect), events.Before, events.Progress,
                   events.After, replace);
}

void TORQDatabase::RepairDatabase(std::string& ErrorText) {
    ErrorText.clear();
    CheckDatabaseName();
    AttachSession(true);
    CheckClosed();
    CheckFileNotInUse("repair");
    const TRebuildEvents events = RebuildEvents(*this, true, BeforeRepair, OnRepairProgress, AfterRepair);
    const bool done =
        Rebuild(FDatabaseFileName + ".tmp", ErrorText, true, Password,
                RebuildSetting(EncryptionAlgorithm, FAlgorithmAtConnect), RebuildSetting(PageSize, FPageSizeAtConnect),
                RebuildSetting(PagesPerExtent, FPagesPerExtentAtConnect),
                RebuildSetting(MaxConnections, FMaxConnectionsAtConnect), events.Before, events.Progress, events.After,
                FDatabaseFileName);
    if (!done && ErrorText.empty()) ErrorText = "Unknown error";
}

void TORQDatabase::ShrinkDatabaseFile() {
    CheckDatabaseName();
    AttachSession(true);
    CheckClosed();
    Open();
    try {
        FHandle->ShrinkDatabaseFile();
    } catch (...) {
        CloseQuietly(*this);
        throw;
    }
    Close();
}

}  // namespace orq
