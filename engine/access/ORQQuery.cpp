#include "engine/access/ORQQuery.h"

#include <limits>

#include "classlib/DBCommon.h"
#include "classlib/DBSQLText.h"
#include "classlib/Streaming.h"
#include "engine/access/ORQDatabase.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"

using namespace classlib;

namespace orq {

namespace {

constexpr std::string_view kCutColon = "\"<cut colon>\"";

std::string ReplaceAll(std::string Text, std::string_view From, std::string_view To) {
    std::size_t at = 0;
    while ((at = Text.find(From, at)) != std::string::npos) {
        Text.replace(at, From.size(), To);
        at += To.size();
    }
    return Text;
}

}  // namespace

// ---------------------------------------------------------------------------------
// TORQQueryDataLink

TDataSet* TORQQueryDataLink::DetailDataSet() const { return FQuery; }

void TORQQueryDataLink::ActiveChanged() {
    if (FQuery->Active()) FQuery->RefreshParams();
}

void TORQQueryDataLink::RecordChanged(TField* Field) {
    if (Field == nullptr && FQuery->Active()) FQuery->RefreshParams();
}

void TORQQueryDataLink::CheckBrowseMode() {
    if (FQuery->Active()) FQuery->CheckBrowseMode();
}

// ---------------------------------------------------------------------------------
// Construction and properties

TORQQuery::TORQQuery(TComponent* AOwner) : TORQDataSet(AOwner) {
    FSQL = std::make_unique<TStringList>();
    FSQL->OnChange = [this](TPersistent*) { QueryChanged(); };
    FParams = std::make_unique<TParams>(this);
    FDataLink = std::make_unique<TORQQueryDataLink>(this);
}

TORQQuery::~TORQQuery() {
    FDestroying = true;
    try {
        CloseDataSet();
    } catch (...) {
        // A destructor never raises; the dataset core's destruction closes what is left.
    }
    FSQL->OnChange = nullptr;
    FDataLink->SetDataSource(nullptr);
}

void TORQQuery::SetDataSource(TDataSource* Source) {
    if (Source != nullptr && IsLinkedTo(Source)) DatabaseError("Circular datalinks are not allowed", this);
    FDataLink->SetDataSource(Source);
}

TDataSource* TORQQuery::GetDataSource() { return FDataLink->DataSource(); }

void TORQQuery::SetSQL(const TStrings& Value) {
    if (FSQL->Text() == Value.Text()) return;
    CloseDataSet();
    FSQL->BeginUpdate();
    try {
        FSQL->Assign(&Value);
    } catch (...) {
        FSQL->EndUpdate();
        throw;
    }
    FSQL->EndUpdate();
}

void TORQQuery::SetParams(const TParams& Value) { FParams->AssignValues(Value); }

void TORQQuery::QueryChanged() {
    if (IsLoading()) {
        FText = FParams->ParseSQL(FSQL->Text(), false);
        return;
    }
    CloseDataSet();
    BinaryData.clear();
    if (ParamCheck || IsDesigning()) {
        TParams list(this);
        // A colon standing alone between double quotes is text, not a parameter.
        const std::string copy = ReplaceAll(FSQL->Text(), "\":\"", kCutColon);
        FText = ReplaceAll(list.ParseSQL(copy, true), kCutColon, "\":\"");
        list.AssignValues(*FParams);
        FParams->Clear();
        FParams->Assign(&list);
    } else {
        FText = FSQL->Text();
    }
    DataEvent(dePropertyChange, 0);
}

void TORQQuery::DefineProperties(TFiler& Filer) {
    TORQDataSet::DefineProperties(Filer);
    Filer.DefineBinaryProperty(
        "Data",
        [this](TStream& Stream) {
            std::vector<uint8_t> bytes(static_cast<size_t>(Stream.Size() - Stream.Position()));
            if (!bytes.empty()) Stream.ReadBuffer(bytes.data(), static_cast<int64_t>(bytes.size()));
            BinaryData = std::move(bytes);
        },
        [this](TStream& Stream) {
            if (!BinaryData.empty()) Stream.WriteBuffer(BinaryData.data(), static_cast<int64_t>(BinaryData.size()));
        },
        !BinaryData.empty());
    const auto* ancestor = dynamic_cast<const TORQQuery*>(Filer.Ancestor);
    Filer.DefineProperty(
        "ParamData", [this](TReader& Reader) { FParams->ReadData(Reader); },
        [this](TWriter& Writer) { FParams->WriteData(Writer); },
        ancestor ? !FParams->IsEqual(*ancestor->FParams) : FParams->Count() > 0);
}

// ---------------------------------------------------------------------------------
// Preparing and running

int32_t TORQQuery::RowsAffected() const {
    const int64_t n = FPrepared && FProcessor ? FProcessor->RowsAffected : FRowsAffected;
    if (!FPrepared || !FProcessor) return FRowsAffected;
    if (n > std::numeric_limits<int32_t>::max()) return std::numeric_limits<int32_t>::max();
    if (n < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(n);
}

void TORQQuery::SetPrepared(bool Value) {
    if (Cursor() != nullptr) {
        if (Value) RaiseNative(30141, "Cannot perform this operation on an open dataset");
        DestroyCursor();
    }
    if (Value == FPrepared) return;
    if (Value) {
        FRowsAffected = -1;
        FNoResult = true;
        const std::string text = FSQL->Text();
        if (text.size() < 2) RaiseNative(30142, "No SQL statement available");
        SetDatabaseFlag(dfPrepared, true);
        try {
            auto processor = std::make_unique<TORQLocalSQLProcessor>(this);
            processor->RequestLive = RequestLive;
            processor->InMemory = InMemory();
            processor->SetSQLText(text);
            FProcessor = std::move(processor);
        } catch (...) {
            FProcessor.reset();
            SetDatabaseFlag(dfPrepared, false);
            throw;
        }
    } else {
        if (FNoResult && FProcessor) {
            const int64_t n = FProcessor->RowsAffected;
            FRowsAffected = n > std::numeric_limits<int32_t>::max() ? std::numeric_limits<int32_t>::max()
                                                                      : static_cast<int32_t>(n);
        }
        FProcessor.reset();
    }
    FPrepared = Value;
}

void TORQQuery::UnPrepare() {
    SetPrepared(false);
    TORQDataSet::SetDatabaseFlag(dfPrepared, false);
}

void TORQQuery::CloseDataSet() {
    Close();
    UnPrepare();
}

bool TORQQuery::SetDatabaseFlag(int32_t Flag, bool On) {
    if (!On && FPrepared) {
        const auto bit = static_cast<uint16_t>(1u << (Flag & 15));
        if ((DatabaseFlags() & ~bit) == 0 && (DatabaseFlags() & bit) != 0) SetPrepared(false);
    }
    return TORQDataSet::SetDatabaseFlag(Flag, On);
}

void TORQQuery::ExecSQL() {
    CheckInactive();
    TORQDatabaseFlagScope flag(*this, dfExecSQL);
    ExecuteQuery(false);
}

void TORQQuery::ExecuteQuery(bool OpenResult) {
    if (FSQL->Count() == 0) RaiseNative(20034, "No SQL statement available");
    FExecuting = !OpenResult;
    try {
        SetPrepared(true);
    } catch (...) {
        FExecuting = false;
        throw;
    }
    FExecuting = false;

    TDataSource* source = GetDataSource();
    if (source != nullptr && source->DataSet() != nullptr) {
        TDataSet* master = source->DataSet();
        master->FieldDefs().Update();
        for (int i = 0; i < FParams->Count(); ++i) {
            TParam* p = FParams->Items(i);
            if (p->Bound()) continue;
            p->AssignField(master->FieldByName(p->Name()));
            p->SetBound(false);
            if (p->IsNull()) p->SetDataType(ftInteger);
        }
    }

    TORQSQLParams& target = FProcessor->Params();
    target.Clear();
    for (int i = 0; i < FParams->Count(); ++i) {
        const TParam* p = FParams->Items(i);
        TORQSQLParam* q = target.AddParam();
        q->Name = p->Name();
        if (p->DataType() == ftUnknown) continue;
        const uint8_t base = AdvancedToBaseFieldType(FieldTypeToAdvancedFieldType(p->DataType()));
        if (p->IsNull()) {
            q->Clear(base);
            q->SetNull();
        } else if (p->DataType() == ftTime) {
            q->SetAsDateTime(p->AsDateTime());
        } else if (p->DataType() == ftBlob || p->DataType() == ftGraphic) {
            std::string bytes = p->AsString();
            q->Clear(bdtBlob);
            q->SetData(bytes.data(), static_cast<int32_t>(bytes.size()), bdtBlob, true);
        } else {
            q->SetAsVariant(p->Value());
        }
    }

    TORQCursor* cursor = nullptr;
    if (OpenResult) {
        cursor = FProcessor->ExecuteSQL();
        if (cursor != nullptr) {
            SetCursor(cursor, true);
            SetReadOnly(FProcessor->ReadOnly || (Database() != nullptr && Database()->ReadOnly()));
        }
    } else {
        FProcessor->ExecuteSQLNoResult();
        cursor = FProcessor->Statement() != nullptr ? FProcessor->Statement()->GetResultCursor() : nullptr;
    }
    FNoResult = cursor == nullptr;
}

void TORQQuery::OpenCursor(bool InfoQuery) {
    if (Cursor() == nullptr) {
        if (DatabaseName().empty()) DatabaseError("DatabaseName property is blank", this);
        // The flag stays with the cursor; the core's close clears it.
        const bool set = SetDatabaseFlag(dfCursor, true);
        try {
            CreateCursor();
            if (Cursor() == nullptr) RaiseNative(20001, "Error creating table handle");
        } catch (...) {
            if (set) SetDatabaseFlag(dfCursor, false);
            throw;
        }
    }
    TORQDataSet::OpenCursor(InfoQuery);
}

TORQCursor* TORQQuery::CreateCursor() {
    if (Cursor() != nullptr) return Cursor();
    TORQDatabase* db = Database();
    const bool silent = db != nullptr && db->SilentMode;
    if (db != nullptr) db->SilentMode = true;
    try {
        ExecuteQuery(true);
    } catch (...) {
        if (db != nullptr) db->SilentMode = silent;
        throw;
    }
    if (db != nullptr) db->SilentMode = silent;
    return Cursor();
}

void TORQQuery::InternalRefresh() {
    if (!Active()) return;
    if (ReadOnly()) {
        // A copied result is read again by running the text again.
        Close();
        Open();
        return;
    }
    TORQDataSet::InternalRefresh();
}

void TORQQuery::RefreshParams() {
    DisableControls();
    try {
        TDataSource* source = GetDataSource();
        if (source != nullptr && source->DataSet() != nullptr && source->DataSet()->Active() &&
            source->State() != dsSetKey) {
            Close();
            Open();
        }
    } catch (...) {
        EnableControls();
        throw;
    }
    EnableControls();
}

void TORQQuery::GetDetailLinkFields(std::vector<TField*>& MasterFields, std::vector<TField*>& DetailFields) {
    MasterFields.clear();
    DetailFields.clear();
    TDataSource* source = GetDataSource();
    if (source == nullptr || source->DataSet() == nullptr) return;
    TDataSet* master = source->DataSet();
    for (int i = 0; i < FParams->Count(); ++i) {
        const std::string& name = FParams->Items(i)->Name();
        TField* m = master->FindField(name);
        if (m == nullptr) continue;
        MasterFields.push_back(m);
        if (TField* d = FindField(name)) DetailFields.push_back(d);
    }
}

// ---------------------------------------------------------------------------------
// Provider support

std::unique_ptr<TIndexDef> TORQQuery::PSGetDefaultOrder() {
    std::unique_ptr<TIndexDef> order = TORQDataSet::PSGetDefaultOrder();
    if (order) return order;
    return GetIndexForOrderBy(FSQL->Text(), this);
}

std::string TORQQuery::PSGetTableName() { return GetTableNameFromSQL(FSQL->Text()); }

void TORQQuery::PSSetCommandText(const std::string& CommandText) {
    if (CommandText.empty()) return;
    TStringList text;
    text.SetText(CommandText);
    SetSQL(text);
}

void TORQQuery::PSSetParams(TParams* AParams) {
    if (AParams != nullptr && AParams->Count() > 0) FParams->Assign(AParams);
    Close();
}

}  // namespace orq
