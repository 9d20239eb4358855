// TORQQuery: the dataset whose records are the result of an SQL text. It keeps the text
// and its parameters, hands both to a TORQLocalSQLProcessor when it is prepared, and
// shows the result cursor the processor returns; a text without a result runs through
// ExecSQL. Parameters may come from the current record of a master dataset
// (DataSource), through TORQQueryDataLink, and the query reopens when that record
// changes.
//
// Rules kept here:
// - Unprepared (no processor) -> prepared (the processor holds the text) -> open or
//   executed. Any change of the text closes and unprepares the query; closing
//   unprepares it.
// - The result cursor belongs to the statement that made it; the query shares it and
//   never frees it (it goes with the statement at the next execution or UnPrepare).
// - Database-use flag 1 is held while prepared, flag 2 while ExecSQL runs; clearing the
//   last flag unprepares first, so the processor never outlives the database it uses.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/DB.h"
#include "classlib/DBParams.h"
#include "engine/access/ORQDataSet.h"
#include "engine/sql/ORQSQLProcessor.h"

namespace orq {

class TORQQuery;

// The processor of the local engine (adds nothing of its own).
class TORQLocalSQLProcessor : public TORQSQLProcessor {
public:
    using TORQSQLProcessor::TORQSQLProcessor;
};

class TORQQueryDataLink : public classlib::TDetailDataLink {
public:
    explicit TORQQueryDataLink(TORQQuery* Query) : FQuery(Query) {}
    classlib::TDataSet* DetailDataSet() const override;

protected:
    void ActiveChanged() override;
    void RecordChanged(classlib::TField* Field) override;
    void CheckBrowseMode() override;

private:
    TORQQuery* FQuery;
};

class TORQQuery : public TORQDataSet {
public:
    enum : int32_t { dfPrepared = 1, dfExecSQL = 2 };

    explicit TORQQuery(classlib::TComponent* AOwner = nullptr);
    ~TORQQuery() override;
    std::string ClassName() const override { return "TORQQuery"; }

    // ---- published properties ----
    classlib::TDataSource* DataSource() { return GetDataSource(); }
    // "Circular datalinks are not allowed" for a source linked back to this query.
    void SetDataSource(classlib::TDataSource* Source);
    bool ParamCheck = true;
    bool RequestLive = false;
    classlib::TStrings& SQL() { return *FSQL; }
    // Closes and assigns when the text differs.
    void SetSQL(const classlib::TStrings& Value);
    classlib::TParams& Params() { return *FParams; }
    // The values of Value's parameters go to same-named ones.
    void SetParams(const classlib::TParams& Value);
    classlib::TParam* ParamByName(const std::string& Name) { return FParams->ParamByName(Name); }

    // ---- operations ----
    void ExecSQL();
    // The processor's count while prepared, else the count kept at unprepare (-1 before
    // any run); a total beyond the Int32 range shows as 2147483647.
    int32_t RowsAffected() const;
    void Prepare() { SetPrepared(true); }
    void UnPrepare();
    bool Prepared() const { return FPrepared; }
    void SetPrepared(bool Value);
    // The text as the class library's ParseSQL gave it (parameters as '?').
    const std::string& Text() const { return FText; }
    TORQSQLProcessor* Processor() const { return FProcessor.get(); }
    // The query's parameters that name master fields, and the query fields among them.
    void GetDetailLinkFields(std::vector<classlib::TField*>& MasterFields,
                             std::vector<classlib::TField*>& DetailFields);
    // Reopens with the master's current values (not while the master edits a key).
    void RefreshParams();
    // The form's binary "Data" entry, kept as read.
    std::vector<uint8_t> BinaryData;

    // ---- overrides ----
    // Besides the inherited entries: "Data" (the binary data, when there is any) and
    // "ParamData" (the parameters, when they differ from the ancestor's or, without
    // one, when there is at least one).
    void DefineProperties(classlib::TFiler& Filer) override;
    void CloseDataSet() override;
    bool SetDatabaseFlag(int32_t Flag, bool On) override;
    classlib::TDataSource* GetDataSource() override;
    void PSExecute() override { ExecSQL(); }
    std::unique_ptr<classlib::TIndexDef> PSGetDefaultOrder() override;
    classlib::TParams* PSGetParams() override { return FParams.get(); }
    std::string PSGetTableName() override;
    void PSSetCommandText(const std::string& CommandText) override;
    void PSSetParams(classlib::TParams* AParams) override;

protected:
    TORQCursor* CreateCursor() override;
    void OpenCursor(bool InfoQuery) override;
    void InternalRefresh() override;

private:
    void QueryChanged();
    void ExecuteQuery(bool OpenResult);

    std::unique_ptr<classlib::TStringList> FSQL;
    std::unique_ptr<classlib::TParams> FParams;
    std::unique_ptr<TORQQueryDataLink> FDataLink;
    std::unique_ptr<TORQLocalSQLProcessor> FProcessor;
    bool FPrepared = false;
    std::string FText;
    int32_t FRowsAffected = -1;
    bool FExecuting = false;
    bool FNoResult = true;
    bool FDestroying = false;
};

}  // namespace orq
