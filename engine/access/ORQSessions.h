// Sessions and the engine's process-wide state of the data-access layer: the session list
// with the critical section that serialises every database open and close, the "Default"
// session, the session components that group TORQDatabase components under a name, and
// EORQEngineError, through which the dataset layer reports the cursor's record-level
// result codes.
//
// Rules kept here:
// - Nothing is made by a static initialiser: StartEngine (ORQMain.h) makes the session
//   list and the default session, StopEngine frees them. While stopped, SessionList and
//   DefaultSession raise 20007.
// - The session list owns the default session only. Every other session belongs to its
//   owner component: StopEngine deactivates and unlists it, its owner frees it.
// - The process-wide critical section (a recursive mutex owned by the session list) spans
//   every session activation and deactivation, automatic-name numbering, and database
//   look-up, open and removal. Lock leaves it again when the activation fails.
// - Session and database names are compared ignoring case with the engine's collation,
//   never the process locale.
// - A session that dies detaches the databases it does not own (they fall back to the
//   default session, or to none while the default session itself dies), so no database
//   ever follows a pointer to a dead session.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/DBCommon.h"

namespace orq {

class TORQDatabase;
class TORQLocalSession;
class TORQSession;
class TORQSessionComponentManager;

// The BLOB compression code of an engine field as an advanced definition holds it:
// 1 (ZLIB), 2 (BZIP) and 3 (PPM) stay, anything else is 0 (none).
uint8_t ConvertBlobCompressionAlgorithm(uint8_t Code);

// ---------------------------------------------------------------------------------
// Engine errors of the dataset layer

// Message: "Orquant Engine Error # ", the code in decimal, a blank and the text. Codes -1
// to -13 have fixed texts, except -8, which carries the raiser's; any other code has an
// empty text.
class EORQEngineError : public classlib::EDatabaseError {
public:
    EORQEngineError(int32_t ResultCode, const std::string& Text);
    int32_t ResultCode() const noexcept { return FResultCode; }
    const std::string& ErrorText() const noexcept { return FErrorText; }

    // The text of a result code (Text for -8 only).
    static std::string CodeText(int32_t ResultCode, const std::string& Text);

private:
    int32_t FResultCode;
    std::string FErrorText;
};

// Nothing for 0, else EORQEngineError.
void RaiseEngineResult(int32_t Code, const std::string& Text);
[[noreturn]] void RaiseEngineError(int32_t Code, const std::string& Text);

// ---------------------------------------------------------------------------------
// What a session needs of an engine dataset (the dataset core implements it)

// A dataset of the engine takes its session by name; the session hands its name to the
// datasets of its owner when its name is made automatically.
class TORQSessionDataSet {
public:
    virtual ~TORQSessionDataSet() = default;
    virtual std::string GetSessionName() const = 0;
    virtual void SetSessionName(const std::string& Value) = 0;
    // A query's close comes before the other datasets' (a query may read their tables).
    virtual bool IsQuery() const { return false; }
};

// ---------------------------------------------------------------------------------
// Session list

class TORQSessionList {
public:
    TORQSessionList() = default;
    // CloseAll.
    ~TORQSessionList();
    TORQSessionList(const TORQSessionList&) = delete;
    TORQSessionList& operator=(const TORQSessionList&) = delete;

    // Appends Session; the first session ever added becomes the default one.
    void AddSession(TORQSession* Session);
    void RemoveSession(TORQSession* Session);
    // Frees the default session; every other one is deactivated and unlisted for its owner
    // to free. Last first.
    void CloseAll();
    // An empty name gives the default session; else the first session whose SessionName
    // equals Name ignoring case, or nil.
    TORQSession* FindSession(std::string_view Name) const;
    // FindSession, else 20002 "Invalid session name '%s'".
    TORQSession& GetSession(std::string_view Name) const;
    int32_t Count() const;
    TORQSession* Sessions(int32_t Index) const;
    TORQSession* Default() const { return FDefault; }

    // The process-wide critical section.
    std::recursive_mutex& CriticalSection() { return FCriticalSection; }
    // The lowest clear automatic-name bit, now set; ClearAutoNameBit frees one.
    int32_t TakeAutoNameBit();
    void ClearAutoNameBit(int32_t Number);
    bool AutoNameBit(int32_t Number) const;

private:
    mutable std::mutex FMutex;  // the sessions list's own lock
    std::vector<TORQSession*> FSessions;
    TORQSession* FDefault = nullptr;
    std::vector<bool> FAutoNameBits;  // under the critical section
    std::recursive_mutex FCriticalSection;
};

// 20007 "Database Engine is not initialized" while the engine is stopped.
TORQSessionList& SessionList();
TORQSession& DefaultSession();
// Whether StartEngine made the session list.
bool SessionsStarted();

// The session component manager of the current session (nil while none is current).
TORQSessionComponentManager* CurrentSessionComponentManager();

// ---------------------------------------------------------------------------------
// Session

// Kinds of the database notification.
enum TORQDatabaseEvent : int32_t { dbOpen = 0, dbClose = 1, dbAdd = 2, dbRemove = 3 };
using TORQDatabaseNotifyEvent = std::function<void(TORQDatabaseEvent Kind, TORQDatabase* Database)>;

class TORQSession : public classlib::TComponent {
public:
    // 20007 while the engine is stopped; the owner's other sessions are checked
    // (CheckOwnerSessions with Enabling false).
    explicit TORQSession(classlib::TComponent* AOwner);
    ~TORQSession() override;

    std::string ClassName() const override { return "TORQSession"; }

    bool Active() const { return FManager != nullptr; }
    void SetActive(bool Value);
    bool AutoSessionName() const { return FAutoSessionName; }
    void SetAutoSessionName(bool Value);
    bool KeepConnections = true;
    const std::string& SessionName() const { return FSessionName; }
    void SetSessionName(const std::string& Value);
    bool IsSessionNameStored() const { return !FAutoSessionName; }
    classlib::TNotifyEvent OnStartup;
    // Not published; unassigned unless a program sets it.
    TORQDatabaseNotifyEvent OnDBNotify;

    void SetName(const std::string& NewName) override;

    bool IsDefault() const { return FIsDefault; }
    int32_t AutoSessionNumber() const { return FAutoSessionNumber; }
    TORQSessionComponentManager* Manager() const { return FManager; }

    // The process-wide critical section, then MakeCurrent (left again when that raises).
    void Lock();
    void Unlock();
    // An active session makes its manager current; an inactive one is activated.
    void MakeCurrent();

    int32_t DatabaseCount() const { return static_cast<int32_t>(FDatabases.size()); }
    TORQDatabase* Databases(int32_t Index) const { return FDatabases.at(static_cast<size_t>(Index)); }
    // Notify kind 2 / 3.
    void AddDatabase(TORQDatabase* Database);
    void RemoveDatabase(TORQDatabase* Database);
    void DBNotification(TORQDatabaseEvent Kind, TORQDatabase* Database);

    // Under Lock: the first database whose DatabaseName equals Name ignoring case; one with
    // an empty name only when the session owns it.
    TORQDatabase* FindDatabase(std::string_view Name);
    // Under Lock: with Owner, first a database of that owner with HandleShared and the
    // name; then FindDatabase.
    TORQDatabase* FindOwnerDatabase(std::string_view Name, const classlib::TComponent* Owner);
    // Finds the database or makes one owned by the session (SilentMode, KeepConnection of
    // KeepConnections), opens it and counts the open; a database made here is freed
    // again when the open fails.
    TORQDatabase& OpenDatabase(const std::string& Name, const classlib::TComponent* Owner = nullptr);
    // Counts the close down; at 0 without KeepConnection the database is closed, or freed
    // when the session made it.
    void CloseDatabase(TORQDatabase* Database);
    // The handle of the first database with a handle, the name and HandleShared.
    std::shared_ptr<TORQLocalSession> FindSharedHandle(std::string_view Name);

    // "Cannot perform this operation on an active session".
    void CheckInactive() const;
    // The owner's components that are engine datasets or databases take this session's
    // name when theirs differs.
    void UpdateSessionNames();

protected:
    void Loaded() override;
    void Notification(classlib::TComponent* AComponent, classlib::TOperation Operation) override;

private:
    friend class TORQSessionList;
    friend class TORQDatabase;

    void StartSession(bool Value);
    void MakeAutoSessionName();
    void CheckOwnerSessions(const classlib::TComponent* AOwner, bool Enabling) const;
    // The session list is gone (StopEngine): deactivated and unlisted.
    void Unlist();

    TORQSessionComponentManager* FManager = nullptr;
    std::unique_ptr<TORQSessionComponentManager> FOwnManager;  // non-default sessions
    std::vector<TORQDatabase*> FDatabases;
    bool FStreamedActive = false;
    bool FIsDefault = false;
    bool FUpdatingName = false;
    bool FAutoSessionName = false;
    bool FListed = false;
    int32_t FAutoSessionNumber = -1;
    std::string FSessionName;
};

// Holds a session's Lock for a scope.
class TORQSessionLock {
public:
    explicit TORQSessionLock(TORQSession& Session) : FSession(Session) { FSession.Lock(); }
    ~TORQSessionLock() { FSession.Unlock(); }
    TORQSessionLock(const TORQSessionLock&) = delete;
    TORQSessionLock& operator=(const TORQSessionLock&) = delete;

private:
    TORQSession& FSession;
};

}  // namespace orq
