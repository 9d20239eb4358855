#include "engine/access/ORQSessions.h"

#include <algorithm>
#include <atomic>

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQMain.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQSQLDDL.h"
#include "engine/sql/ORQSQLDML.h"
#include "engine/sql/ORQSQLSelect.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQEngineState.h"

namespace orq {

using classlib::DatabaseError;
using classlib::DatabaseErrorFmt;
using classlib::TComponent;

namespace {

// std::mutex and raw pointers have constant initialisers: nothing here runs before main.
constinit std::mutex GEngineMutex;
constinit TORQSessionList* GSessionList = nullptr;
constinit std::atomic<TORQSessionComponentManager*> GCurrentManager{nullptr};

[[noreturn]] void RaiseNotInitialized() { RaiseNative(20007, "Database Engine is not initialized"); }

bool SameText(std::string_view A, std::string_view B) { return CompareAnsiText(A, B, true) == 0; }

}  // namespace

uint8_t ConvertBlobCompressionAlgorithm(uint8_t Code) { return Code >= 1 && Code <= 3 ? Code : 0; }

// ---------------------------------------------------------------------------------
// EORQEngineError

std::string EORQEngineError::CodeText(int32_t ResultCode, const std::string& Text) {
    switch (ResultCode) {
        case -1: return "Error adding record";
        case -2: return "Error updating record";
        case -3: return "Error deleting record";
        case -4: return "Error updating record - record was modified by other process";
        case -5: return "Error deleting record - record was modified by other process";
        case -6: return "Error updating record - record was deleted by other process";
        case -7: return "Error deleting record - record was deleted by other process";
        case -8: return Text;
        case -9: return "Cannot update record in temporary mode";
        case -10: return "Cannot delete record in temporary mode";
        case -11: return "Cannot cancel operation in temporary mode";
        case -12: return "Record is locked";
        case -13: return "Table is locked";
        default: return {};
    }
}

EORQEngineError::EORQEngineError(int32_t ResultCode, const std::string& Text)
    : classlib::EDatabaseError("Orquant Engine Error # " + std::to_string(ResultCode) + " " +
                               CodeText(ResultCode, Text)),
      FResultCode(ResultCode),
      FErrorText(CodeText(ResultCode, Text)) {}

void RaiseEngineResult(int32_t Code, const std::string& Text) {
    if (Code != 0) throw EORQEngineError(Code, Text);
}

void RaiseEngineError(int32_t Code, const std::string& Text) { throw EORQEngineError(Code, Text); }

// ---------------------------------------------------------------------------------
// Engine start and end

void StartEngine() {
    std::lock_guard guard(GEngineMutex);
    if (GSessionList != nullptr) return;
    StartStorageEngine();
    InstallExpressionFactory();
    InstallSubqueryFactory();
    InstallDataStatements();
    InstallDefinitionStatements();
    auto list = std::make_unique<TORQSessionList>();
    GSessionList = list.get();
    try {
        auto* session = new TORQSession(nullptr);  // the list owns the default session
        session->SetSessionName("Default");
    } catch (...) {
        GSessionList = nullptr;
        StopStorageEngine();
        throw;
    }
    list.release();
}

void StopEngine() {
    std::lock_guard guard(GEngineMutex);
    TORQSessionList* list = GSessionList;
    if (list != nullptr) {
        // Sessions leave the list while it is still reachable; then it goes.
        delete list;
        GSessionList = nullptr;
    }
    GCurrentManager = nullptr;
    StopStorageEngine();
}

bool EngineStarted() {
    std::lock_guard guard(GEngineMutex);
    return GSessionList != nullptr;
}

TORQSessionList& SessionList() {
    TORQSessionList* list = GSessionList;
    if (list == nullptr) RaiseNotInitialized();
    return *list;
}

TORQSession& DefaultSession() {
    TORQSession* session = SessionList().Default();
    if (session == nullptr) RaiseNotInitialized();
    return *session;
}

bool SessionsStarted() { return GSessionList != nullptr; }

TORQSessionComponentManager* CurrentSessionComponentManager() { return GCurrentManager; }

// ---------------------------------------------------------------------------------
// TORQSessionList

TORQSessionList::~TORQSessionList() { CloseAll(); }

void TORQSessionList::AddSession(TORQSession* Session) {
    std::lock_guard guard(FMutex);
    if (FSessions.empty() && FDefault == nullptr) {
        FDefault = Session;
        Session->FIsDefault = true;
    }
    FSessions.push_back(Session);
    Session->FListed = true;
}

void TORQSessionList::RemoveSession(TORQSession* Session) {
    std::lock_guard guard(FMutex);
    std::erase(FSessions, Session);
    Session->FListed = false;
}

void TORQSessionList::CloseAll() {
    for (;;) {
        TORQSession* session;
        {
            std::lock_guard guard(FMutex);
            if (FSessions.empty()) break;
            session = FSessions.back();
        }
        if (session == FDefault) {
            delete session;  // its destructor unlists it
        } else {
            // Owned by a component: its owner frees it.
            session->Unlist();
        }
    }
    FDefault = nullptr;
}

TORQSession* TORQSessionList::FindSession(std::string_view Name) const {
    std::lock_guard guard(FMutex);
    if (Name.empty()) return FDefault;
    for (TORQSession* s : FSessions)
        if (SameText(s->SessionName(), Name)) return s;
    return nullptr;
}

TORQSession& TORQSessionList::GetSession(std::string_view Name) const {
    TORQSession* s = FindSession(Name);
    if (s == nullptr) RaiseNativeFmt(20002, "Invalid session name '%s'", {Name});
    return *s;
}

int32_t TORQSessionList::Count() const {
    std::lock_guard guard(FMutex);
    return static_cast<int32_t>(FSessions.size());
}

TORQSession* TORQSessionList::Sessions(int32_t Index) const {
    std::lock_guard guard(FMutex);
    return FSessions.at(static_cast<size_t>(Index));
}

int32_t TORQSessionList::TakeAutoNameBit() {
    std::lock_guard guard(FCriticalSection);
    auto it = std::find(FAutoNameBits.begin(), FAutoNameBits.end(), false);
    const auto n = static_cast<int32_t>(it - FAutoNameBits.begin());
    if (it == FAutoNameBits.end())
        FAutoNameBits.push_back(true);
    else
        *it = true;
    return n;
}

void TORQSessionList::ClearAutoNameBit(int32_t Number) {
    std::lock_guard guard(FCriticalSection);
    if (Number >= 0 && static_cast<size_t>(Number) < FAutoNameBits.size()) FAutoNameBits[static_cast<size_t>(Number)] = false;
}

bool TORQSessionList::AutoNameBit(int32_t Number) const {
    return Number >= 0 && static_cast<size_t>(Number) < FAutoNameBits.size() && FAutoNameBits[static_cast<size_t>(Number)];
}

// ---------------------------------------------------------------------------------
// TORQSession

TORQSession::TORQSession(TComponent* AOwner) : TComponent(AOwner) {
    TORQSessionList& list = SessionList();
    CheckOwnerSessions(AOwner, false);
    list.AddSession(this);
}

TORQSession::~TORQSession() {
    Destroying();
    try {
        SetActive(false);
    } catch (...) {
        // A destructor never throws; the databases are detached below all the same.
    }
    // Databases still listed: the ones it owns go with it, the others move on.
    while (!FDatabases.empty()) {
        TORQDatabase* db = FDatabases.back();
        if (db->Owner() == this)
            delete db;  // removes itself from FDatabases
        else
            db->SessionDestroyed(this);
        if (!FDatabases.empty() && FDatabases.back() == db) FDatabases.pop_back();
    }
    // An automatic-name number stays taken: a destroyed session does not free it.
    if (FListed && SessionsStarted()) SessionList().RemoveSession(this);
}

void TORQSession::Unlist() {
    try {
        SetActive(false);
    } catch (...) {
        // The engine stops: what its databases report on closing has nobody to go to.
    }
    // The databases it does not own can no longer reach a session through it.
    if (GSessionList != nullptr) GSessionList->RemoveSession(this);
    FIsDefault = false;
}

void TORQSession::SetActive(bool Value) {
    if (IsLoading()) {
        FStreamedActive = Value;
        return;
    }
    if (Value != Active()) StartSession(Value);
}

void TORQSession::StartSession(bool Value) {
    if (Value && !SessionsStarted()) RaiseNotInitialized();
    std::recursive_mutex* cs = SessionsStarted() ? &SessionList().CriticalSection() : nullptr;
    std::unique_lock<std::recursive_mutex> held;
    if (cs != nullptr) held = std::unique_lock(*cs);
    if (Value) {
        if (OnStartup) OnStartup(this);
        if (FSessionName.empty()) DatabaseError("Session name missing", this);
        TORQSession* def = SessionList().Default();
        if (def != nullptr && def != this && !def->Active()) def->SetActive(true);
        if (FIsDefault) {
            // 20007 when the storage engine is stopped.
            FManager = &SessionComponentManager();
        } else {
            FOwnManager = std::make_unique<TORQSessionComponentManager>();
            FManager = FOwnManager.get();
        }
        GCurrentManager = FManager;
    } else {
        GCurrentManager = FManager;
        for (int32_t i = DatabaseCount() - 1; i >= 0; --i) {
            if (i >= DatabaseCount()) continue;
            TORQDatabase* db = FDatabases[static_cast<size_t>(i)];
            if (db->OwnedBySession && db->Owner() == this)
                delete db;
            else
                db->Close();
        }
        if (!FIsDefault) {
            FOwnManager.reset();
            TORQSession* def = SessionsStarted() ? SessionList().Default() : nullptr;
            GCurrentManager = def != nullptr ? def->FManager : nullptr;
        } else {
            GCurrentManager = nullptr;
        }
        FManager = nullptr;
    }
}

void TORQSession::Lock() {
    std::recursive_mutex& cs = SessionList().CriticalSection();
    cs.lock();
    try {
        MakeCurrent();
    } catch (...) {
        cs.unlock();
        throw;
    }
}

void TORQSession::Unlock() { SessionList().CriticalSection().unlock(); }

void TORQSession::MakeCurrent() {
    if (Active())
        GCurrentManager = FManager;
    else
        SetActive(true);
}

void TORQSession::AddDatabase(TORQDatabase* Database) {
    {
        std::lock_guard guard(SessionList().CriticalSection());
        FDatabases.push_back(Database);
    }
    DBNotification(dbAdd, Database);
}

void TORQSession::RemoveDatabase(TORQDatabase* Database) {
    {
        std::unique_lock<std::recursive_mutex> held;
        if (SessionsStarted()) held = std::unique_lock(SessionList().CriticalSection());
        std::erase(FDatabases, Database);
    }
    DBNotification(dbRemove, Database);
}

void TORQSession::DBNotification(TORQDatabaseEvent Kind, TORQDatabase* Database) {
    if (OnDBNotify) OnDBNotify(Kind, Database);
}

TORQDatabase* TORQSession::FindDatabase(std::string_view Name) {
    TORQSessionLock lock(*this);
    for (TORQDatabase* db : FDatabases) {
        if (db->DatabaseName().empty() && !db->OwnedBySession) continue;
        if (SameText(db->DatabaseName(), Name)) return db;
    }
    return nullptr;
}

TORQDatabase* TORQSession::FindOwnerDatabase(std::string_view Name, const TComponent* AOwner) {
    TORQSessionLock lock(*this);
    if (AOwner != nullptr)
        for (TORQDatabase* db : FDatabases)
            if (db->Owner() == AOwner && db->HandleShared && SameText(db->DatabaseName(), Name)) return db;
    return FindDatabase(Name);
}

TORQDatabase& TORQSession::OpenDatabase(const std::string& Name, const TComponent* AOwner) {
    TORQSessionLock lock(*this);
    TORQDatabase* db = FindOwnerDatabase(Name, AOwner);
    std::unique_ptr<TORQDatabase> made;
    if (db == nullptr) {
        made = std::make_unique<TORQDatabase>(this);
        made->OwnedBySession = true;
        made->SetDatabaseName(Name);
        made->SetKeepConnection(KeepConnections);
        made->SilentMode = true;
        db = made.get();
    }
    db->Open();
    ++db->OpenRefCount;
    made.release();  // owned by this session as a component from now on
    return *db;
}

void TORQSession::CloseDatabase(TORQDatabase* Database) {
    if (Database == nullptr) return;
    TORQSessionLock lock(*this);
    if (Database->OpenRefCount > 0) --Database->OpenRefCount;
    if (Database->OpenRefCount == 0 && !Database->KeepConnection()) {
        if (!Database->OwnedBySession)
            Database->Close();
        else if (!Database->IsDestroying())
            delete Database;
    }
}

std::shared_ptr<TORQLocalSession> TORQSession::FindSharedHandle(std::string_view Name) {
    TORQSessionLock lock(*this);
    for (TORQDatabase* db : FDatabases)
        if (db->SharedHandle() && db->HandleShared && SameText(db->DatabaseName(), Name)) return db->SharedHandle();
    return nullptr;
}

void TORQSession::CheckInactive() const {
    if (Active()) DatabaseError("Cannot perform this operation on an active session", this);
}

void TORQSession::SetAutoSessionName(bool Value) {
    if (Value == FAutoSessionName) return;
    if (Value) {
        CheckInactive();
        CheckOwnerSessions(Owner(), true);
        FAutoSessionNumber = SessionList().TakeAutoNameBit();
        FAutoSessionName = true;
        try {
            MakeAutoSessionName();
        } catch (...) {
            FAutoSessionName = false;
            SessionList().ClearAutoNameBit(FAutoSessionNumber);
            throw;
        }
        return;
    }
    // The number is kept: turning the name on again takes the lowest clear bit anew.
    if (FAutoSessionNumber >= 0) SessionList().ClearAutoNameBit(FAutoSessionNumber);
    FAutoSessionName = false;
}

void TORQSession::MakeAutoSessionName() {
    FUpdatingName = true;
    try {
        SetSessionName(classlib::Format("%s_%d", {Name(), FAutoSessionNumber + 1}));
    } catch (...) {
        FUpdatingName = false;
        throw;
    }
    FUpdatingName = false;
    UpdateSessionNames();
}

void TORQSession::SetName(const std::string& NewName) {
    TComponent::SetName(NewName);
    if (FAutoSessionName) MakeAutoSessionName();
}

void TORQSession::SetSessionName(const std::string& Value) {
    if (FAutoSessionName && !FUpdatingName)
        DatabaseError("Cannot modify SessionName while AutoSessionName is enabled", this);
    CheckInactive();
    if (!Value.empty()) {
        TORQSession* other = SessionList().FindSession(Value);
        if (other != nullptr && other != this) DatabaseErrorFmt("Duplicate session name '%s'", {Value}, this);
    }
    FSessionName = Value;
}

void TORQSession::CheckOwnerSessions(const TComponent* AOwner, bool Enabling) const {
    if (AOwner == nullptr) return;
    for (int i = 0; i < AOwner->ComponentCount(); ++i) {
        auto* other = dynamic_cast<TORQSession*>(AOwner->Components(i));
        if (other == nullptr || other == this) continue;
        if (Enabling)
            DatabaseError("Cannot enable AutoSessionName property with more than one session on a form or data-module",
                          this);
        if (other->AutoSessionName())
            DatabaseErrorFmt("Cannot add a session to the form or data-module while session '%s' has AutoSessionName enabled",
                             {other->Name()}, this);
    }
}

void TORQSession::UpdateSessionNames() {
    if (Owner() == nullptr) return;
    for (int i = 0; i < Owner()->ComponentCount(); ++i) {
        TComponent* c = Owner()->Components(i);
        if (auto* ds = dynamic_cast<TORQSessionDataSet*>(c)) {
            if (!SameText(ds->GetSessionName(), FSessionName)) ds->SetSessionName(FSessionName);
        } else if (auto* db = dynamic_cast<TORQDatabase*>(c)) {
            if (!SameText(db->SessionName(), FSessionName)) db->SetSessionName(FSessionName);
        }
    }
}

void TORQSession::Loaded() {
    TComponent::Loaded();
    if (FAutoSessionName) UpdateSessionNames();
    if (FStreamedActive) SetActive(true);
}

void TORQSession::Notification(TComponent* AComponent, classlib::TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (!FAutoSessionName || Operation != classlib::TOperation::opInsert || AComponent == this) return;
    // A component is announced from its base constructor, before it is a dataset or a
    // database; TORQDatabase's constructor therefore looks for such a session itself.
    if (auto* ds = dynamic_cast<TORQSessionDataSet*>(AComponent))
        ds->SetSessionName(FSessionName);
    else if (auto* db = dynamic_cast<TORQDatabase*>(AComponent))
        db->SetSessionName(FSessionName);
}

}  // namespace orq
