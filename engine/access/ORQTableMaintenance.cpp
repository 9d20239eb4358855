// TORQTable's maintenance: create, delete, empty and rename a table, rename a field, add
// and drop indexes, copy a table, and open it in repair mode. Each works through a
// short-lived exclusive cursor, or the table's open one, and clears the database flag
// it set on every path.
#include <algorithm>
#include <cctype>
#include <filesystem>

#include "classlib/DBFields.h"
#include "classlib/SysUtils.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQLocalSession.h"
#include "engine/access/ORQTable.h"
#include "engine/access/ORQUserInterface.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQExpressionSeam.h"
#include "engine/foundation/ORQTypesRoutines.h"

namespace orq {

using namespace classlib;

namespace {

std::string Upper(std::string S) {
    for (char& c : S) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return S;
}

// The SQL name of a base type: its first row in the type table.
std::string BaseTypeSQLName(uint8_t Base) {
    for (const TSQLFieldType& t : SQLFieldTypes)
        if (t.BaseDataType == Base) return t.Name;
    return "Unknown";
}

bool IsGuidAdvanced(uint8_t T) { return T == 36; }

}  // namespace

// The progress of one copy, import or restructure: the program's three events, and for
// each one unassigned the default wait window (unless the database is silent or the
// table temporary). The window is stopped on every path.
class TORQTableProgress {
public:
    TORQTableProgress(TORQTable& Table, const TORQDataSetNotifyEvent& Before, const TORQTableProgressEvent& Progress,
                      const TORQDataSetNotifyEvent& After, const char* Text, bool PumpAtStart)
        : FTable(Table), FBefore(Before), FProgress(Progress), FAfter(After), FText(Text), FPumpAtStart(PumpAtStart) {}
    ~TORQTableProgress() { StopWindow(); }
    TORQTableProgress(const TORQTableProgress&) = delete;
    TORQTableProgress& operator=(const TORQTableProgress&) = delete;

    void Before() {
        FBeforeDone = true;
        if (FBefore) {
            FBefore(&FTable);
            return;
        }
        TORQDatabase* db = FTable.Database();
        if ((db != nullptr && db->SilentMode) || FTable.Temporary()) return;
        FWindow = UserInterface().CreateWaitWindow();
        FWindow->SetPosition(0);
        FWindow->StartWait(FText);
        if (FPumpAtStart) UserInterface().ProcessMessages();
    }
    void Step(int32_t Percent, bool& Continue) {
        if (FProgress) {
            FProgress(&FTable, Percent, Continue);
            return;
        }
        if (FWindow == nullptr) return;
        FWindow->SetPosition(Percent);
        UserInterface().ProcessMessages();
        if (FWindow->Aborted()) Continue = false;
    }
    // Runs once, and only after Before.
    void After() {
        if (!FBeforeDone || FAfterDone) return;
        FAfterDone = true;
        StopWindow();
        if (FAfter) FAfter(&FTable);
    }
    TORQTableProgressEvent Event() {
        return [this](classlib::TDataSet*, int32_t P, bool& C) { Step(P, C); };
    }

private:
    void StopWindow() {
        if (FWindow == nullptr) return;
        try {
            FWindow->StopWait();
        } catch (...) {
        }
        FWindow.reset();
    }

    TORQTable& FTable;
    const TORQDataSetNotifyEvent& FBefore;
    const TORQTableProgressEvent& FProgress;
    const TORQDataSetNotifyEvent& FAfter;
    const char* FText;
    bool FPumpAtStart;
    bool FBeforeDone = false;
    bool FAfterDone = false;
    std::unique_ptr<TORQWaitWindow> FWindow;
};

std::unique_ptr<TORQLocalCursor> TORQTable::MaintenanceCursor(bool ForCreate) {
    TORQDatabase* db = Database();
    if (db == nullptr || db->Handle() == nullptr) RaiseNative(20001, "Error creating table handle");
    auto c = std::make_unique<TORQLocalCursor>();
    c->Session = db->Handle();
    c->TableName = TableName();
    c->InMemory = InMemory() ? 1 : 0;
    c->TemporaryTable = Temporary() ? 1 : 0;
    c->ReadOnly = 0;
    c->Exclusive = 1;
    if (ForCreate) c->TableOption = DisableTempFiles() ? 1 : 0;
    return c;
}

void TORQTable::CheckNotInTransaction(int32_t Code, const char* Operation) const {
    TORQDatabase* db = Database();
    if (db != nullptr && db->Handle() != nullptr && db->Handle()->InTransaction != 0)
        RaiseNativeFmt(Code, "Cannot perform '%s' operation on a database in transaction", {std::string(Operation)});
}

// ---------------------------------------------------------------------------------
// Create

void TORQTable::PrepareAdvDefaults() {
    for (int32_t i = 0; i < AdvFieldDefs().Count(); ++i) {
        TORQAdvFieldDef& d = *AdvFieldDefs().GetItem(i);
        const uint8_t base = AdvancedToBaseFieldType(d.DataType);
        if (!d.DefaultValue.IsNull()) {
            if (d.DefaultValue.GetAsString().empty()) {
                d.DefaultValue.SetNull(base);
            } else {
                bool expression = false;
                try {
                    expression = IsDefaultValueExpression(d.DefaultValue);
                } catch (...) {
                    expression = false;
                }
                // A BLOB's default stays text: the new record writes it through a stream.
                if (!expression && !IsBlobBaseType(base)) d.DefaultValue.CastTo(base);
            }
        }
        for (TORQVariant* bound : {&d.MinValue, &d.MaxValue}) {
            if (bound->IsNull())
                bound->SetDataType(base);
            else if (bound->GetAsString().empty())
                bound->SetNull(base);
            else
                bound->CastTo(base);
        }
        if (d.Size != 0 && !(base >= 1 && base <= 4) && base != 23 && base != 24) d.Size = 0;
        if (IsGuidAdvanced(d.DataType)) d.Size = 38;
    }
}

void TORQTable::CheckAdvFieldDefs() {
    for (int32_t i = 0; i < AdvFieldDefs().Count(); ++i) {
        const TORQAdvFieldDef& d = *AdvFieldDefs().GetItem(i);
        if (d.Name.empty())
            RaiseNativeFmt(30499, "Missing field name. FieldNo=%d, table '%s'", {i, TableName()});
        const bool sized = (d.DataType >= 1 && d.DataType <= 4) || IsGuidAdvanced(d.DataType) || d.DataType == 29 ||
                           d.DataType == 30;
        if (sized && d.Size <= 0)
            RaiseNativeFmt(30453, "Cannot create table '%s' with field: %s %s(%d)",
                           {TableName(), d.Name, BaseTypeSQLName(AdvancedToBaseFieldType(d.DataType)), d.Size});
        if (d.DataType >= 31 && d.DataType <= 35 && d.BlobCompressionAlgorithm != 0 &&
            (d.BlobCompressionMode == 0 || d.BlobCompressionMode > 9))
            RaiseNativeFmt(20257,
                           "Invalid BlobCompressionMode (must be in 1..9 range) for blob field '%s'. Cannot create "
                           "table '%s'",
                           {d.Name, TableName()});
    }
}

void TORQTable::FixIndexedSizes() {
    for (int32_t i = 0; i < AdvIndexDefs().Count(); ++i) {
        TORQAdvIndexDef& a = *AdvIndexDefs().GetItem(i);
        TORQIndexDef e;
        BuildEngineIndexDef(e, a.Name, a.Fields, FieldDefs(), a.MaxIndexedSizes, a.CaseInsFields, a.DescFields,
                            a.Temporary, a.Options);
        std::string sizes;
        for (int32_t k = 0; k < e.GetColumnCount(); ++k) {
            TORQIndexColumn& col = e.GetColumn(k);
            const TORQAdvFieldDef* f = AdvFieldDefs().Find(col.FieldName);
            const bool keeps = col.MaxIndexedSize > 0 && (f == nullptr || IsSizedAdvancedType(f->DataType));
            if (!keeps) col.MaxIndexedSize = DefaultMaxIndexedSize;
            if (k > 0) sizes += ";";
            sizes += std::to_string(col.MaxIndexedSize);
        }
        a.MaxIndexedSizes = sizes;
    }
}

void TORQTable::CreateTable() {
    CheckInactive();
    CheckTableName();
    TORQDatabaseFlagScope flag(*this, dfTableOp);
    std::unique_ptr<TORQLocalCursor> c = MaintenanceCursor(true);
    for (int32_t i = 0; i < Fields().Count(); ++i) {
        TField* f = Fields().Fields(i);
        if (f->FieldKind() != fkData || FieldDefExists(FieldDefs(), f->FieldName())) continue;
        FieldDefs().Add(f->FieldName(), f->DataType(), f->Size(), f->Required());
    }
    if (AdvFieldDefs().Count() == 0) {
        for (int32_t i = 0; i < FieldDefs().Count(); ++i)
            if (FieldDefs().Items(i)->DataType() == ftGuid) FieldDefs().Items(i)->SetSize(38);
        FieldDefsToAdvFieldDefs(FieldDefs(), AdvFieldDefs());
        CheckAdvFieldDefs();
    } else {
        PrepareAdvDefaults();
        CheckAdvFieldDefs();
        AdvFieldDefsToFieldDefs(AdvFieldDefs(), FieldDefs());
    }
    if (AdvIndexDefs().Count() == 0)
        IndexDefsToAdvIndexDefs(IndexDefs(), AdvIndexDefs());
    else
        AdvIndexDefsToIndexDefs(AdvIndexDefs(), IndexDefs());
    FixIndexedSizes();
    AdvIndexDefsToEngineIndexDefs(AdvIndexDefs(), FieldDefs(), EngineIndexDefs());
    AdvFieldDefsToEngineDefs(AdvFieldDefs(), EngineFieldDefs(), EngineIndexDefs(), Temporary(),
                             EngineConstraintDefs());
    CheckNotInTransaction(20182, "CreateTable");
    c->CreateTable(EngineFieldDefs(), EngineIndexDefs(), EngineConstraintDefs());
}

void TORQTable::DeleteTable() {
    if (Active()) Close();
    CheckTableName();
    TORQDatabaseFlagScope flag(*this, dfTableOp);
    std::unique_ptr<TORQLocalCursor> c = MaintenanceCursor(false);
    CheckNotInTransaction(20183, "DeleteTable");
    c->DeleteTable();
}

void TORQTable::EmptyTable() {
    CheckInactive();
    TORQDatabaseFlagScope flag(*this, dfTableOp);
    std::unique_ptr<TORQLocalCursor> c = MaintenanceCursor(false);
    c->EmptyTable();
}

void TORQTable::RenameTable(const std::string& NewName) {
    CheckInactive();
    CheckTableName();
    {
        TORQDatabaseFlagScope flag(*this, dfTableOp);
        std::unique_ptr<TORQLocalCursor> c = MaintenanceCursor(false);
        CheckNotInTransaction(20181, "RenameTable");
        c->RenameTable(NewName);
    }
    SetTableName(NewName);
}

void TORQTable::RenameField(const std::string& OldName, const std::string& NewName) {
    CheckInactive();
    const bool exclusive = Exclusive();
    SetExclusive(true);
    try {
        Open();
        CheckNotInTransaction(20179, "RenameField");
        Cursor()->RenameField(OldName, NewName);
    } catch (...) {
        try {
            Close();
        } catch (...) {
        }
        SetExclusive(exclusive);
        throw;
    }
    Close();
    SetExclusive(exclusive);
}

// ---------------------------------------------------------------------------------
// Indexes

void TORQTable::AddIndex(const std::string& Name, const std::string& Fields_, TIndexOptions Options,
                         const std::string& DescFields, const std::string& CaseInsFields) {
    FieldDefs().Update();
    TORQDatabaseFlagScope flag(*this, dfIndexOp);
    std::unique_ptr<TORQLocalCursor> own;
    TORQCursor* c = Cursor();
    if (c != nullptr) {
        CheckBrowseMode();
        CursorPosChanged();
    } else {
        own = BuildCursor();
        c = own.get();
    }
    if (Name.empty()) RaiseNativeFmt(20046, "Invalid index name '%s'", {Name});
    if (Fields_.empty()) RaiseNativeFmt(20047, "Cannot find index field '%s'", {Fields_});
    CheckNotInTransaction(20175, "AddIndex");
    TORQIndexDef def;
    BuildEngineIndexDef(def, Name, Fields_, FieldDefs(), std::string(), CaseInsFields, DescFields, false, Options);
    c->InitFieldDefs();
    if (!c->LockTable(6, 50, 0, 100))
        RaiseNativeFmt(20228, "Cannot access table '%s' in exclusive mode. Table is open by another user",
                       {TableName()});
    try {
        c->AddIndex(def);
    } catch (...) {
        try {
            c->UnlockTable(6, 0);
        } catch (...) {
        }
        IndexDefs().SetUpdated(false);
        throw;
    }
    c->UnlockTable(6, 0);
    IndexDefs().SetUpdated(false);
}

void TORQTable::DeleteIndex(const std::string& Name) {
    TORQDatabaseFlagScope flag(*this, dfIndexOp);
    std::unique_ptr<TORQLocalCursor> own;
    TORQCursor* c = Cursor();
    if (c != nullptr) {
        CheckBrowseMode();
    } else {
        own = BuildCursor();
        c = own.get();
    }
    CheckNotInTransaction(20177, "DeleteIndex");
    c->InitFieldDefs();
    c->DeleteIndex(Name);
    IndexDefs().SetUpdated(false);
}

// ---------------------------------------------------------------------------------
// Copy

bool TORQTable::CopyTable(const std::string& NewTableName, std::string& ErrorText, bool& Continue,
                          const std::string& DestDatabaseFileName, const std::string& DestPassword,
                          bool IgnoreErrors, bool Overwrite, bool CopyIndexes, int32_t FromPct, int32_t ToPct) {
    const bool wasOpen = Active();
    TBookmark bookmark;
    if (wasOpen) bookmark = GetBookmark();
    Close();
    Open();
    bool result = false;
    std::unique_ptr<TORQDatabase> madeDb;
    std::string destFile;
    std::string destDbName;
    TORQTableProgress progress(*this, BeforeCopy, OnCopyProgress, AfterCopy, "Copy Table...", true);
    auto finish = [&]() {
        progress.After();
        try {
            if (wasOpen) {
                if (!bookmark.empty() && BookmarkValid(bookmark)) GotoBookmark(bookmark);
            } else {
                Close();
            }
        } catch (...) {
        }
        if (madeDb != nullptr) {
            try {
                madeDb->Close();
            } catch (...) {
            }
            madeDb.reset();
        }
    };
    auto fail = [&](int32_t Code, const std::string& Text) -> bool {
        if (!IgnoreErrors) RaiseNative(Code, Text);
        ErrorText += Text;
        return false;
    };
    try {
        TORQDatabase* own = Database();
        const std::string upperDest = Upper(DestDatabaseFileName);
        bool self = false;
        if (DestDatabaseFileName.empty()) {
            destDbName = DatabaseName();
            destFile = own != nullptr ? own->DatabaseFileName() : std::string();
            self = true;
        } else if (upperDest == "MEMORY") {
            destDbName = "MEMORY";
            destFile = "MEMORY";
            self = InMemory() || Upper(DatabaseName()) == "MEMORY";
        } else {
            destFile = DestDatabaseFileName;
            // The same file by canonical path is this table's own database.
            std::error_code ec;
            const std::string ownFile = own != nullptr ? own->DatabaseFileName() : std::string();
            if (!ownFile.empty() && !InMemory() && !Temporary()) {
                const auto a = std::filesystem::weakly_canonical(ownFile, ec);
                std::error_code ec2;
                const auto b = std::filesystem::weakly_canonical(DestDatabaseFileName, ec2);
                self = !ec && !ec2 && a == b;
            }
            if (!self) {
                madeDb = std::make_unique<TORQDatabase>(nullptr);
                madeDb->SetDatabaseName(MakeUniqueName("TempDb"));
                madeDb->SetDatabaseFileName(DestDatabaseFileName);
                madeDb->Password = DestPassword;
                try {
                    madeDb->Open();
                } catch (const std::exception& e) {
                    if (!IgnoreErrors) throw;
                    ErrorText += e.what();
                    finish();
                    return false;
                }
                destDbName = madeDb->DatabaseName();
            } else {
                destDbName = DatabaseName();
            }
        }
        if (self && Upper(NewTableName) == Upper(TableName())) {
            const bool r = fail(30447, "Cannot copy table '" + destFile + "." + TableName() + "' into it self");
            finish();
            return r;
        }
        for (int32_t i = 0; i < FieldDefs().Count(); ++i) {
            const std::string& name = FieldDefs().Items(i)->Name();
            if (FindField(name) == nullptr)
                RaiseNativeFmt(20297, "Cannot copy table \"%s\". Field object for field \"%s\" is not created.",
                               {TableName(), name});
        }
        progress.Before();
        TORQTable dest(nullptr);
        dest.SetDatabaseName(destDbName);
        if (self && DestDatabaseFileName.empty()) {
            dest.SetInMemory(InMemory());
            dest.FTemporary = Temporary();
        }
        dest.SetTableName(NewTableName);
        dest.AdvFieldDefs().Assign(RestructureFieldDefs());
        if (CopyIndexes) dest.AdvIndexDefs().Assign(RestructureIndexDefs(), true);
        if (dest.Exists()) {
            if (Overwrite) {
                dest.DeleteTable();
            } else {
                const bool memory = destDbName == "MEMORY";
                const bool r = fail(memory ? 10515 : 30448,
                                    "Table '" + destFile + "." + NewTableName + "' already exists");
                finish();
                return r;
            }
        }
        try {
            dest.CreateTable();
        } catch (const std::exception& e) {
            const bool r = fail(30450, "Create table '" + destFile + "." + NewTableName + "' error: '" + e.what() + "'");
            finish();
            return r;
        }
        dest.Open();
        std::string log;
        CopyTableData(this, *this, dest, ToPct, FromPct, progress.Event(), false, IgnoreErrors, Continue, log,
                      !IgnoreErrors);
        ErrorText += log;
        dest.Close();
        result = true;
    } catch (...) {
        finish();
        throw;
    }
    finish();
    return result;
}

void TORQTable::OpenInRepairMode(bool KeepOpen) {
    TORQDatabaseFlagScope flag(*this, dfRepair);
    FRepairMode = true;
    try {
        Open();
        if (!KeepOpen) Close();
    } catch (...) {
        FRepairMode = false;
        try {
            Close();
        } catch (...) {
        }
        throw;
    }
    FRepairMode = false;
}

// ---------------------------------------------------------------------------------
// Restructure

std::unique_ptr<TORQTable> TORQTable::Sibling(const std::string& Name) const {
    auto t = std::make_unique<TORQTable>(nullptr);
    t->SetSessionName(SessionName());
    t->SetDatabaseName(DatabaseName());
    t->SetInMemory(InMemory());
    t->FTemporary = FTemporary;
    t->SetTableName(Name);
    return t;
}

namespace {

// Whether Name is Prefix followed by a GUID in braces (what MakeUniqueName appends).
bool IsLeftoverName(const std::string& Name, const std::string& Prefix) {
    const std::string u = Upper(Name);
    return u.size() == Prefix.size() + 38 && u.compare(0, Prefix.size(), Prefix) == 0 && u[Prefix.size()] == '{' &&
           u.back() == '}';
}

}  // namespace

bool TORQTable::ResolveRestructureLeftovers() {
    const std::string n = TableName();
    std::vector<std::string> names;
    {
        TORQDatabaseFlagScope flag(*this, dfTableOp);
        if (Database() == nullptr) return false;
        Database()->GetTableNames(names);
    }
    const std::string un = Upper(n);
    bool hasN = false;
    std::vector<std::string> olds, news;
    for (const std::string& name : names) {
        if (Upper(name) == un) hasN = true;
        if (IsLeftoverName(name, "OLD_" + un + "_")) olds.push_back(name);
        if (IsLeftoverName(name, "NEW_" + un + "_")) news.push_back(name);
    }
    if (olds.empty() && news.empty()) return false;
    if (!hasN) {
        // The copy was finished when the old table was renamed away: the new one is N.
        if (!news.empty() && !olds.empty()) {
            Sibling(news.front())->RenameTable(n);
            news.erase(news.begin());
        } else if (!olds.empty()) {
            Sibling(olds.front())->RenameTable(n);
            olds.erase(olds.begin());
        }
    }
    for (const std::string& name : news) Sibling(name)->DeleteTable();
    for (const std::string& name : olds) Sibling(name)->DeleteTable();
    return true;
}

bool TORQTable::RestructureTable(std::string& ErrorText) {
    CheckInactive();
    CheckTableName();
    const std::string n = TableName();
    {
        TORQDatabaseFlagScope flag(*this, dfTableOp);
        CheckNotInTransaction(20181, "RenameTable");
    }
    ResolveRestructureLeftovers();
    // Index definitions never read would make the new table without its indexes.
    if (!IndexDefs().Updated()) IndexDefs().Update();
    bool go = true;
    std::unique_ptr<TORQTable> fresh = Sibling(MakeUniqueName("NEW_" + n + "_"));
    fresh->AdvFieldDefs().Assign(RestructureFieldDefs());
    fresh->AdvIndexDefs().Assign(RestructureIndexDefs(), false);
    try {
        fresh->CreateTable();
    } catch (const EORQException& e) {
        if (e.NativeError() == 20182)
            RaiseNativeFmt(20180, "Cannot perform '%s' operation on a database in transaction",
                           {std::string("RestructureTable")});
        ErrorText += Format("Error restructuring table. Cannot create table due to error: %s\r\n", {e.what()});
        return false;
    } catch (const std::exception& e) {
        ErrorText += Format("Error restructuring table. Cannot create table due to error: %s\r\n", {e.what()});
        return false;
    }
    bool copied = false;
    const bool filtered = Filtered();
    std::string log;
    TORQTableProgress progress(*this, BeforeRestructure, OnRestructureProgress, AfterRestructure,
                               "Restructure Table...", false);
    try {
        fresh->Open();
        TORQAdvFieldDefs target;
        target.Assign(RestructureFieldDefs());
        Open();
        RestructureFieldDefs().Assign(target);
        progress.Before();
        SetFiltered(false);
        copied = CopyTableData(this, *this, *fresh, 99, 0, progress.Event(), true, false, go, log, true);
        SetFiltered(filtered);
        progress.After();
    } catch (const std::exception& e) {
        ErrorText += log;
        ErrorText += Format("Error restructuring table. Cannot copy data due to error: %s\r\n", {e.what()});
        copied = false;
        try {
            SetFiltered(filtered);
        } catch (...) {
        }
        try {
            progress.After();
        } catch (...) {
        }
    }
    if (!copied && log.size() > 0 && ErrorText.find(log) == std::string::npos) ErrorText += log;
    try {
        fresh->Close();
    } catch (...) {
    }
    Close();
    if (!copied) {
        // N was never touched: the new table goes.
        try {
            fresh->DeleteTable();
        } catch (...) {
        }
        return false;
    }
    // N -> OLD, NEW -> N, OLD dropped; a cut here leaves states the next restructure
    // or open resolves.
    const std::string oldName = MakeUniqueName("OLD_" + n + "_");
    FTableName = n;
    RenameTable(oldName);
    FTableName = n;
    try {
        fresh->RenameTable(n);
    } catch (...) {
        // N as it was, when the file lets it; else the next open finishes the swap.
        try {
            Sibling(oldName)->RenameTable(n);
        } catch (...) {
        }
        FTableName = n;
        throw;
    }
    // The swap is done and reported so: an old copy that cannot go now is a leftover that
    // the next restructure or open drops.
    try {
        Sibling(oldName)->DeleteTable();
    } catch (const std::exception& e) {
        ErrorText += Format("Error restructuring table. Cannot delete table due to error: %s\r\n", {e.what()});
    }
    FieldDefs().Clear();
    IndexDefs().Clear();
    IndexDefs().SetUpdated(false);
    AdvFieldDefs().Clear();
    AdvIndexDefs().Clear();
    return true;
}

bool TORQTable::RestructureTableSimple() {
    std::string ignored;
    return RestructureTable(ignored);
}

// ---------------------------------------------------------------------------------
// Import

bool TORQTable::ImportTable(TDataSet& Source, std::string& Log, TIndexDefs* SourceIndexDefs) {
    SetFiltered(false);
    const std::string before = Log;
    CheckInactive();
    IndexDefs().Clear();
    AdvIndexDefs().Clear();
    FieldDefs().Clear();
    AdvFieldDefs().Clear();
    if (auto* engine = dynamic_cast<TORQDataSet*>(&Source)) {
        engine->FieldDefs().Update();
        engine->IndexDefs().Update();
        const TORQCursor* cursor = engine->Cursor();
        if (cursor != nullptr && cursor->Projected != 0) {
            // A projected source (a query's result) shows some of its stored fields, in
            // its own order and under its own names: those are what it holds for its
            // reader. Its indexes name the stored layout and stay behind.
            const TORQAdvFieldDefs& stored = engine->AdvFieldDefs();
            for (int32_t i = 0; i < cursor->ProjectedFieldDefs.GetCount(); ++i) {
                const TORQFieldDef& shown = *cursor->ProjectedFieldDefs.GetItem(i);
                if (shown.BaseFieldNo < 0 || shown.BaseFieldNo >= stored.Count())
                    RaiseNativeFmt(10323, "Cannot find field %s", {shown.Name});
                TORQAdvFieldDef* d = AdvFieldDefs().Add();
                d->Assign(*stored.GetItem(shown.BaseFieldNo));
                d->Name = shown.Name;
            }
        } else {
            AdvFieldDefs().Assign(engine->AdvFieldDefs());
            AdvIndexDefs().Assign(engine->AdvIndexDefs(), true);
        }
    } else {
        Source.FieldDefs().Update();
        FieldDefs().Assign(&Source.FieldDefs());
        if (SourceIndexDefs != nullptr) {
            for (int i = 0; i < SourceIndexDefs->Count(); ++i) {
                const TIndexDef* d = SourceIndexDefs->Items(i);
                if (d->Fields().empty()) {
                    Log += Format("Cannot import index '%s'. Index type is not supported, index skipped", {d->Name()});
                    continue;
                }
                TIndexDef* c = IndexDefs().Add(d->Name(), d->Fields(), d->Options());
                c->SetDescFields(d->DescFields());
            }
        }
        for (int i = 0; i < IndexDefs().Count(); ++i)
            if (IndexDefs().Items(i)->Name().empty()) {
                IndexDefs().Items(i)->SetName("idxPrimaryKey");
                break;
            }
    }
    try {
        CreateTable();
    } catch (const std::exception& e) {
        Log += Format("Error importing table. Cannot create table due to error: %s\r\n", {e.what()});
        return false;
    }
    Open();
    if (Cursor() == nullptr) RaiseNative(tablenil::ImportOpen, "Nil pointer occured");
    bool go = true;
    std::string copyLog;
    TORQTableProgress progress(*this, BeforeImport, OnImportProgress, AfterImport, "Import Table...", false);
    TORQCursor* locked = Cursor();
    locked->LockTableData();
    auto unlock = [&] {
        try {
            locked->UnlockTableData();
        } catch (...) {
        }
    };
    try {
        progress.Before();
        CopyTableData(this, Source, *this, 100, 0, progress.Event(), false, true, go, copyLog);
        if (!copyLog.empty())
            Log += Format("Error importing table. Cannot copy data due to error: %s\r\n", {copyLog});
        progress.After();
    } catch (...) {
        try {
            progress.After();
        } catch (...) {
        }
        unlock();
        Close();
        throw;
    }
    unlock();
    Close();
    return Log == before;
}

}  // namespace orq
