// Database maintenance of TORQDatabase: creating and deleting the file, the
// in-use check a rebuild runs before it writes anything, and the replacement of the
// database file by its rebuilt copy.
//
// Rules kept here:
// - Create and delete need a closed database and leave it closed.
// - The replacement is one rename(2) of a synced copy in the same folder: at every moment
//   the database file's name holds either the untouched original or the complete copy.
// - The in-use check opens the file with share mode exclusive: the share markers of every
//   other open (single-user, multi-user or a read-only fallback reader, in this process
//   or another) refuse it, and nothing is written by the probe.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "classlib/DB.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQDatabaseData.h"
#include "engine/storage/ORQDatabaseFile.h"
#include "engine/storage/ORQDiskDatabase.h"
#include "engine/storage/ORQEngineState.h"

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

}  // namespace

void SetReplaceFaultHook(TORQReplaceFaultHook Hook) { ReplaceHook() = std::move(Hook); }

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
    if (::unlink(FDatabaseFileName.c_str()) == 0 || errno == ENOENT) return;
    const int error = errno;
    DatabaseErrorFmt("Cannot delete database file '%s': %s", {FDatabaseFileName, std::string(std::strerror(error))},
                     this);
}

void TORQDatabase::CheckFileNotInUse(const std::string& Operation) const {
    auto inUse = [&] {
        RaiseNativeFmt(31460, "Cannot %s database '%s': the file is in use", {Operation, FDatabaseFileName});
    };
    // A database object of this process names the file (any session name: multi-user
    // objects are one per session).
    const std::string canonical = CanonicalDatabaseFileName(FDatabaseFileName);
    if (DatabaseList().FindIf([&](const TORQDatabaseData& d) {
            return dynamic_cast<const TORQDiskDatabaseData*>(&d) != nullptr && d.DatabaseName == canonical;
        }) != nullptr)
        inUse();
    // Whether the file can be opened at all: a file that is missing or unreadable is the
    // open's to report, not a holder's.
    const int plain = ::open(FDatabaseFileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (plain < 0) return;
    ::close(plain);
    TORQDatabaseFile probe;
    try {
        probe.OpenFile(FDatabaseFileName, 0, 0);
    } catch (const EORQException&) {
        // The file opens, but not with every other open denied: someone holds it.
        inUse();
    }
    try {
        probe.CloseFile();
    } catch (...) {
        // A read-only descriptor that closes with an error has written nothing.
    }
}

}  // namespace orq
