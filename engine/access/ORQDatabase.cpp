#include "engine/access/ORQDatabase.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "classlib/DB.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/access/ORQUserInterface.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/storage/ORQDiskDatabase.h"
#include "engine/storage/ORQEngineState.h"

namespace orq {

using classlib::DatabaseError;
using classlib::DatabaseErrorFmt;
using classlib::TComponent;

const char* const TORQDatabase::RepairQuestion =
    "Database file was not correctly closed last time. Do you want to repair it?";
const char* const TORQDatabase::ConversionNotice =
    "Database file you are opening is of old format. It will be converted to the current Orquant Database format "
    "now. It is recommended to make a backup of the database before continuing.";

namespace {

bool FileExists(const std::string& Name) {
    if (Name.empty()) return false;
    std::error_code ec;
    return std::filesystem::is_regular_file(Name, ec);
}

// The handle's deleter: the last holder disconnects it. A failure to disconnect has no
// caller left to go to; the storage object frees the session's state all the same.
void FreeHandle(TORQLocalSession* Handle) {
    try {
        Handle->SetConnected(false);
    } catch (...) {
    }
    delete Handle;
}

}  // namespace

TORQDatabase::TORQDatabase(TComponent* AOwner) : TComponent(AOwner) {
    TORQSession* session = dynamic_cast<TORQSession*>(AOwner);
    if (session == nullptr && AOwner != nullptr) {
        // The owner announced this component before it was a database (base constructor):
        // a session of the owner that makes its name automatically takes it here.
        for (int i = 0; i < AOwner->ComponentCount() && session == nullptr; ++i)
            if (auto* s = dynamic_cast<TORQSession*>(AOwner->Components(i)); s != nullptr && s->AutoSessionName())
                session = s;
    }
    if (session == nullptr) session = &DefaultSession();
    FSession = session;
    FSessionName = session->SessionName();
    FreeNotification(session);
    session->AddDatabase(this);
    if (!IsDesignTime() && AOwner != nullptr && AOwner->IsDesigning()) SetDesignTime(true);
}

TORQDatabase::~TORQDatabase() {
    Destroying();
    try {
        Close();
    } catch (...) {
        // A destructor never throws; Close has freed the handle before passing a failure.
    }
    FDataSets.clear();
    if (FSession != nullptr) {
        TORQSession* session = FSession;
        FSession = nullptr;
        RemoveFreeNotification(session);
        session->RemoveDatabase(this);
    }
}

std::string TORQDatabase::CurrentVersion() const { return "5.18 "; }

void TORQDatabase::SetConnected(bool Value) {
    if (IsLoading()) {
        FStreamedConnected = Value;
        return;
    }
    if (Value == Connected()) return;
    if (Value)
        Open();
    else
        Close();
}

void TORQDatabase::Loaded() {
    TComponent::Loaded();
    if (FStreamedConnected)
        Open();
    else
        AttachSession(false);
}

void TORQDatabase::Notification(TComponent* AComponent, classlib::TOperation Operation) {
    TComponent::Notification(AComponent, Operation);
    if (Operation == classlib::TOperation::opRemove && AComponent != nullptr && AComponent == FSession &&
        !FSession->IsDefault())
        SessionDestroyed(FSession);
}

void TORQDatabase::SessionDestroyed(TORQSession* Dying) {
    if (FSession != Dying) return;
    try {
        Close();
    } catch (...) {
        // The session goes whatever its databases report; the handle is freed already.
    }
    FSession = nullptr;
    RemoveFreeNotification(Dying);
    Dying->RemoveDatabase(this);
    FSessionName.clear();
    if (SessionsStarted() && !Dying->IsDefault()) {
        TORQSession* def = SessionList().Default();
        if (def != nullptr && def != Dying) {
            FSession = def;
            FSessionName = def->SessionName();
            FreeNotification(def);
            def->AddDatabase(this);
        }
    }
}

// ---------------------------------------------------------------------------------
// Setters and guards

void TORQDatabase::SetDatabaseName(const std::string& Value) {
    if (IsLoading()) {
        FDatabaseName = Value;
        return;
    }
    if (Value == FDatabaseName) return;
    CheckInactive();
    CheckDuplicateName(Value);
    FDatabaseName = Value;
}

void TORQDatabase::SetDatabaseFileName(const std::string& Value) {
    if (IsLoading()) {
        FDatabaseFileName = Value;
        return;
    }
    if (Value == FDatabaseFileName) return;
    Close();
    FDatabaseFileName = Value;
}

void TORQDatabase::SetSessionName(const std::string& Value) {
    if (IsLoading()) {
        FSessionName = Value;
        return;
    }
    CheckInactive();
    if (Value == FSessionName) return;
    FSessionName = Value;
    if (!IsDestroying()) AttachSession(false);
}

void TORQDatabase::SetKeepConnection(bool Value) {
    if (Value == FKeepConnection) return;
    FKeepConnection = Value;
    if (!Value && OpenRefCount == 0) Close();
}

void TORQDatabase::CheckDatabaseName() const {
    if (FDatabaseName.empty() && !OwnedBySession) DatabaseError("Database name missing", this);
}

void TORQDatabase::CheckInactive() {
    if (!Connected()) return;
    if (IsDesigning())
        Close();
    else
        DatabaseError("Cannot perform this operation on an open database", this);
}

void TORQDatabase::CheckClosed() const {
    if (Connected()) DatabaseError("Cannot perform this operation on an open database", this);
}

void TORQDatabase::CheckConnected() const {
    if (!Connected()) DatabaseError("Cannot perform this operation on a closed database", this);
}

void TORQDatabase::AttachSession(bool Activate) {
    TORQSessionList& list = SessionList();
    TORQSession* found = Activate ? &list.GetSession(FSessionName) : list.FindSession(FSessionName);
    if (found != nullptr && found != FSession) {
        if (FSession != nullptr) {
            RemoveFreeNotification(FSession);
            FSession->RemoveDatabase(this);
        }
        FSession = found;
        FreeNotification(found);
        found->AddDatabase(this);
        try {
            CheckDuplicateName(FDatabaseName);
        } catch (...) {
            FDatabaseName.clear();
            throw;
        }
    }
    if (Activate && FSession != nullptr) FSession->SetActive(true);
}

void TORQDatabase::CheckDuplicateName(const std::string& Name) {
    if (Name.empty() || FSession == nullptr) return;
    TORQSessionLock lock(*FSession);
    TORQDatabase* other = FSession->FindDatabase(Name);
    if (other == nullptr || other == this || (other->HandleShared && HandleShared)) return;
    if (!other->OwnedBySession || other->OpenRefCount != 0) DatabaseErrorFmt("Duplicate database name '%s'", {Name}, this);
    // An idle database the session made on demand gives way.
    delete other;
}

// ---------------------------------------------------------------------------------
// Handle

bool TORQDatabase::TakeSharedHandle() {
    if (FSession == nullptr) return false;
    std::shared_ptr<TORQLocalSession> shared = FSession->FindSharedHandle(FDatabaseName);
    if (!shared) return false;
    FHandle = std::move(shared);
    FHandleBorrowed = true;
    return true;
}

void TORQDatabase::CreateSessionHandle() {
    std::shared_ptr<TORQLocalSession> handle(new TORQLocalSession, FreeHandle);
    handle->DatabaseName = FDatabaseName;
    handle->DatabaseFileName = FDatabaseFileName;
    handle->GetPasswordRecord()->Password = Password;
    handle->GetPasswordRecord()->Algorithm = EncryptionAlgorithm;
    handle->PageSize = PageSize;
    handle->PagesPerExtent = PagesPerExtent;
    handle->MaxConnections = MaxConnections;
    handle->ReadOnly = FReadOnly && !FReadOnlyForRepair ? 1 : 0;
    handle->Exclusive = Exclusive ? 1 : 0;
    handle->MultiUser = MultiUser ? 1 : 0;
    if (MultiUser) handle->SessionName = FSessionName;
    FHandle = std::move(handle);
    FHandleBorrowed = false;
}

void TORQDatabase::FreeSessionHandle() {
    std::shared_ptr<TORQLocalSession> handle = std::move(FHandle);
    FHandle.reset();
    FHandleBorrowed = false;
    if (!handle) return;
    // The last holder disconnects here, so its failure reaches the caller; a handle that
    // borrowers still use is only let go.
    if (handle.use_count() == 1) handle->SetConnected(false);
}

// ---------------------------------------------------------------------------------
// Prompts

bool TORQDatabase::AskPassword() {
    if (OnPassword) {
        bool proceed = false;
        OnPassword(this, proceed);
        return proceed;
    }
    if (SilentMode) return false;
    std::string typed = Password;
    if (!UserInterface().PasswordDialog("", typed)) return false;
    Password = typed;
    return true;
}

void TORQDatabase::AskRepair(bool& DoRepair) {
    if (OnNeedRepair) {
        OnNeedRepair(this, DoRepair);
        return;
    }
    if (InRepair) {
        DoRepair = false;
        return;
    }
    DoRepair = UserInterface().Confirm(RepairQuestion);
}

void TORQDatabase::ConfirmConversion(bool& DoConvert) {
    if (InRepair) {
        DoConvert = false;
        return;
    }
    UserInterface().ShowInformation(ConversionNotice);
    DoConvert = true;
}

// ---------------------------------------------------------------------------------
// Open and close

void TORQDatabase::Open() {
    if (FHandle) return;
    const bool designing = IsDesigning();
    try {
        CheckDatabaseName();
        AttachSession(true);
        if (HandleShared && TakeSharedHandle()) return;
        {
            TORQSessionLock lock(*FSession);
            OpenLocked(designing);
        }
        ResolveLeftoverTables();
    } catch (...) {
        // After any failed open the component is closed.
        if (FHandle) {
            try {
                FreeSessionHandle();
            } catch (...) {
            }
        }
        if (!designing) throw;
        UserInterface().ShowError(ExceptionText(std::current_exception()));
    }
}

void TORQDatabase::OpenLocked(bool Designing) {
    RepairRanAtOpen = false;
    RepairTextAtOpen.clear();
    const bool reserved = IsReservedDatabaseName(FDatabaseName);
    if (!reserved) {
        CheckNoRebuildOfFile();
        if (OwnedBySession) {
            if (!FileExists(FDatabaseFileName))
                DatabaseErrorFmt("Database '%s' is not open and names no file", {FDatabaseName}, this);
        } else if (!FileExists(FDatabaseFileName)) {
            DatabaseErrorFmt("Database file '%s' does not exist", {FDatabaseFileName}, this);
        }
    }
    for (;;) {
        try {
            CreateSessionHandle();
            try {
                FHandle->SetConnected(true);
                if (FHandle->NeedsRepair != 0 && !SilentMode && !IsDesignTime()) HandleNeedsRepair();
            } catch (...) {
                FreeSessionHandle();
                throw;
            }
            break;
        } catch (const EORQException& e) {
            if (e.NativeError() == 30445 && AskPassword()) continue;
            throw;
        }
    }
    if (!Designing) {
        // A file left needing repair opens for reading: its commits are refused anyway.
        const bool asked = FReadOnly && !FReadOnlyForRepair;
        FReadOnly = FHandle->ReadOnly != 0 || FHandle->NeedsRepair != 0;
        FReadOnlyForRepair = FReadOnly && !asked && FHandle->ReadOnly == 0;
    }
    EncryptionAlgorithm = FHandle->GetPasswordRecord()->Algorithm;
    PageSize = FHandle->PageSize;
    PagesPerExtent = FHandle->PagesPerExtent;
    MaxConnections = FHandle->MaxConnections;
    FAlgorithmAtConnect = EncryptionAlgorithm;
    FPageSizeAtConnect = PageSize;
    FPagesPerExtentAtConnect = PagesPerExtent;
    FMaxConnectionsAtConnect = MaxConnections;
    FSession->DBNotification(dbOpen, this);
}

void TORQDatabase::HandleNeedsRepair() {
    TORQDiskDatabaseData* disk = FHandle->DiskDatabaseData();
    if (disk == nullptr || disk->DiskPageManager() == nullptr) return;
    const double version = disk->DiskPageManager()->Version();
    bool yes = false;
    if (!(version >= MinimumFileVersion))
        ConfirmConversion(yes);
    else
        AskRepair(yes);
    if (!yes) return;
    FreeSessionHandle();
    const bool saved = InRepair;
    InRepair = true;
    try {
        std::string errorText;
        RepairDatabase(errorText);
        RepairRanAtOpen = true;
        RepairTextAtOpen = errorText;
        if (!errorText.empty()) UserInterface().ShowWarning(errorText);
    } catch (...) {
        InRepair = saved;
        RaiseNative(20238,
                    "Cannot convert database to the new format. Please contact your system administrator with this "
                    "issue");
    }
    InRepair = saved;
    CreateSessionHandle();
    FHandle->SetConnected(true);
}

void TORQDatabase::Close() {
    if (!FHandle) return;
    if (FSession != nullptr) FSession->DBNotification(dbClose, this);
    std::exception_ptr failure;
    try {
        CloseDataSets();
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        if (FHandleBorrowed) {
            FHandle.reset();
            FHandleBorrowed = false;
        } else {
            FreeSessionHandle();
        }
    } catch (...) {
        if (!failure) failure = std::current_exception();
    }
    FHandle.reset();
    OpenRefCount = 0;
    if (failure) std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------------
// Datasets and catalog

void TORQDatabase::AddDataSet(classlib::TDataSet* DataSet) {
    // A record stored in the source after its table was copied would vanish with the
    // replacement.
    if (!FRebuildOperation.empty() && DataSet != nullptr &&
        std::find(FRebuildDataSets.begin(), FRebuildDataSets.end(), DataSet) == FRebuildDataSets.end())
        RaiseNativeFmt(31462, "Database '%s' is busy: %s is running", {FDatabaseName, FRebuildOperation});
    if (DataSet != nullptr && std::find(FDataSets.begin(), FDataSets.end(), DataSet) == FDataSets.end())
        FDataSets.push_back(DataSet);
}

void TORQDatabase::RemoveDataSet(classlib::TDataSet* DataSet) { std::erase(FDataSets, DataSet); }

void TORQDatabase::CloseDataSets() {
    std::exception_ptr failure;
    auto closeOne = [&](classlib::TDataSet* ds) {
        try {
            ds->Close();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
        // A dataset leaves the list on closing; one that did not is taken out here, so the
        // walk always ends.
        RemoveDataSet(ds);
    };
    for (;;) {
        auto it = std::find_if(FDataSets.begin(), FDataSets.end(), [](classlib::TDataSet* ds) {
            auto* link = dynamic_cast<TORQSessionDataSet*>(ds);
            return link != nullptr && link->IsQuery();
        });
        if (it == FDataSets.end()) break;
        closeOne(*it);
    }
    while (!FDataSets.empty()) closeOne(FDataSets.back());
    if (failure) std::rethrow_exception(failure);
}

bool TORQDatabase::InTransaction() const { return FHandle && FHandle->InTransaction != 0; }

void TORQDatabase::StartTransaction() {
    CheckConnected();
    if (InTransaction()) classlib::DatabaseError("Database is already within a transaction");
    FHandle->StartTransaction();
}

void TORQDatabase::Commit(bool Flush) {
    CheckConnected();
    if (!FHandle->UndoFailure.empty()) RaiseNative(30950, FHandle->UndoFailure);
    FHandle->Commit(Flush);
}

void TORQDatabase::Rollback() {
    CheckConnected();
    FHandle->Rollback();
    FHandle->UndoFailure.clear();
}

void TORQDatabase::GetTableNames(std::vector<std::string>& List) {
    List.clear();
    const bool wasClosed = !Connected();
    if (wasClosed) Open();
    auto reclose = [&] {
        if (!wasClosed) return;
        try {
            Close();
        } catch (...) {
            // The names were read; a failing close of the connection made for them is
            // not this call's result.
        }
    };
    try {
        if (FHandle) FHandle->GetTablesList(List);
    } catch (...) {
        reclose();
        throw;
    }
    reclose();
}

bool TORQDatabase::TableExists(const std::string& Name) {
    if (!Connected()) Open();
    return FHandle ? FHandle->TableExists(Name) : false;
}

}  // namespace orq
