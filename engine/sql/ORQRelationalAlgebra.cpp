// The operator base: columns, look-up, projection, reading values, materialisation into
// a temporary result table, ORDER BY, DISTINCT, the row window; the base-table
// operator, the derived table and TOP.
#include "engine/sql/ORQRelationalAlgebra.h"

#include <algorithm>
#include <functional>

#include "classlib/DBCommon.h"
#include "engine/access/ORQDataSet.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/foundation/ORQTypesRoutines.h"
#include "engine/storage/ORQDefinitions.h"
#include "engine/sql/ORQExpression.h"

namespace orq {

namespace {

const char* const SInvalidFieldNo = "Invalid field number - FieldNo = %d, FieldCount = %d";
const char* const SHiddenField =
    "Cannot access hidden field: table name = %s, field name = %s, display name = %s, FieldNo = %d";

bool SameText(const std::string& A, const std::string& B) { return AnsiUpperCase(A) == AnsiUpperCase(B); }

std::string JoinNames(const std::vector<std::string>& Names) {
    std::string s;
    for (std::size_t i = 0; i < Names.size(); ++i) {
        if (i > 0) s += ';';
        s += Names[i];
    }
    return s;
}

// A column name as the result table stores it (names are cut to the longest a field
// definition holds), so that names are told apart the way the table will tell them.
std::string Fitted(const std::string& Name) {
    return Name.size() > static_cast<std::size_t>(MaxNameLength) ? Name.substr(0, MaxNameLength) : Name;
}

// Candidate + Suffix within the longest name: the candidate gives way at its end.
std::string WithSuffix(const std::string& Candidate, const std::string& Suffix) {
    const std::size_t room = static_cast<std::size_t>(MaxNameLength) - Suffix.size();
    return (Candidate.size() > room ? Candidate.substr(0, room) : Candidate) + Suffix;
}

bool Contains(const std::vector<std::string>& List, const std::string& Name) {
    return std::find(List.begin(), List.end(), Name) != List.end();
}

// The descending and the case-insensitive names of ORDER BY lists.
void OrderOptionLists(const TORQOrderLists& L, std::vector<std::string>& Desc, std::vector<std::string>& Cases) {
    for (int32_t i = 0; i < L.Count(); ++i) {
        if (L.Directions[static_cast<size_t>(i)] == "DESC") Desc.push_back(L.Fields[static_cast<size_t>(i)]);
        if (L.Cases[static_cast<size_t>(i)] == "NO_CASE") Cases.push_back(L.Fields[static_cast<size_t>(i)]);
    }
}

}  // namespace

// ---------------------------------------------------------------------------------
// Select-list items and column links

TORQSelectListItem::TORQSelectListItem() = default;
TORQSelectListItem::~TORQSelectListItem() = default;
TORQSelectListItem::TORQSelectListItem(TORQSelectListItem&&) noexcept = default;
TORQSelectListItem& TORQSelectListItem::operator=(TORQSelectListItem&&) noexcept = default;
TORQSelectListItem::TORQSelectListItem(const TORQSelectListItem& Other)
    : TableName(Other.TableName), FieldName(Other.FieldName), Alias(Other.Alias), IsExpression(Other.IsExpression),
      AllFields(Other.AllFields), IsDuplicate(Other.IsDuplicate) {}
TORQSelectListItem& TORQSelectListItem::operator=(const TORQSelectListItem& Other) {
    if (this == &Other) return *this;
    TableName = Other.TableName;
    FieldName = Other.FieldName;
    Alias = Other.Alias;
    IsExpression = Other.IsExpression;
    AllFields = Other.AllFields;
    IsDuplicate = Other.IsDuplicate;
    Expression.reset();
    return *this;
}

TORQFieldLink::TORQFieldLink() = default;
TORQFieldLink::~TORQFieldLink() = default;
TORQFieldLink::TORQFieldLink(TORQFieldLink&&) noexcept = default;
TORQFieldLink& TORQFieldLink::operator=(TORQFieldLink&&) noexcept = default;

// ---------------------------------------------------------------------------------
// Construction and destruction

TORQAO::TORQAO() = default;

TORQAO::TORQAO(std::unique_ptr<TORQAO> LeftInput, std::unique_ptr<TORQAO> RightInput, const std::string& ATableName,
               const std::string& ATableAlias)
    : TableName(ATableName), TableAlias(ATableAlias), Left(std::move(LeftInput)), Right(std::move(RightInput)) {
    ResultTable = std::make_unique<TORQTable>();
    ResultTable->DeferIndexDefs = true;
    std::string session;
    if (Right && Right->ResultTable && !Right->ResultTable->SessionName().empty())
        session = Right->ResultTable->SessionName();
    else if (Left && Left->ResultTable && !Left->ResultTable->SessionName().empty())
        session = Left->ResultTable->SessionName();
    if (!session.empty()) ResultTable->SetSessionName(session);
    DisableTempFiles = (Left && Left->DisableTempFiles) || (Right && Right->DisableTempFiles);
}

TORQAO::~TORQAO() {
    if (IsBaseTable && TablesLocked && ResultTable && ResultTable->Active() && ResultTable->Cursor() != nullptr) {
        try {
            ResultTable->Cursor()->UnlockTable(1, 1);
        } catch (...) {
        }
    }
    Columns.clear();
    if (ResultTable) {
        try {
            ResultTable->Close();
        } catch (...) {
        }
        if (OwnsTemporaryResult) {
            try {
                ResultTable->DeleteTable();
            } catch (...) {
                // A result table that cannot be dropped goes with the process's TEMP database.
            }
        }
        ResultTable.reset();
    }
    Right.reset();
    Left.reset();
    Condition.reset();
}

// ---------------------------------------------------------------------------------
// What expression nodes call

int32_t TORQAO::FindField(const std::string& FieldName, const std::string& ATableName, uint8_t LookupFlag,
                          int32_t& FieldNo, TORQAOFieldDesc& Desc) {
    TORQIntegerArray found;
    const int32_t n = FindFieldNumbers(FieldName, ATableName, false, false, &found, LookupFlag);
    if (n > 0 && found.Count() > 0) {
        FieldNo = found[0];
        CarryColumn(FieldNo);
        const TORQFieldLink& c = Columns[static_cast<size_t>(FieldNo)];
        Desc.Name = c.Name;
        Desc.DataType = c.DataType;
        Desc.BaseType = AdvancedToBaseFieldType(c.DataType);
        Desc.Size = c.Size;
        Desc.Extra = c.Precision;
    }
    return n;
}

TORQVariant& TORQAO::GetCurrentFieldValue(int32_t FieldNo) {
    // Checked before the slots grow: a wild number must not allocate them.
    if (FieldNo < 0 || FieldNo >= GetColumnCount()) RaiseNativeFmt(10307, SInvalidFieldNo, {FieldNo, GetColumnCount()});
    while (CurrentValues.size() <= static_cast<size_t>(FieldNo)) CurrentValues.push_back(std::make_unique<TORQVariant>());
    TORQVariant& v = *CurrentValues[static_cast<size_t>(FieldNo)];
    GetFieldValue(v, FieldNo, true);
    return v;
}

void TORQAO::AddCondition(std::unique_ptr<TORQExpression> ACondition) {
    if (!ACondition) return;
    if (!Condition) {
        Condition = std::move(ACondition);
        return;
    }
    Condition->AddCondition(*ACondition);
}

// ---------------------------------------------------------------------------------
// Reading

int64_t TORQAO::PipelinedRecordCount() { return Materialised ? ResultTable->RecordCount() : 0; }

void TORQAO::First() {
    if (Materialised) ResultTable->First();
    else PipelinedFirst();
}

void TORQAO::Next() {
    if (Materialised) ResultTable->Next();
    else PipelinedNext();
}

bool TORQAO::Eof() { return Materialised ? ResultTable->Eof() : PipelinedEof(); }

int64_t TORQAO::RecordCount() { return Materialised ? ResultTable->RecordCount() : PipelinedRecordCount(); }

std::string TORQAO::Bookmark() {
    const classlib::TBookmark b = ResultTable->GetBookmark();
    return std::string(b.begin(), b.end());
}

void TORQAO::GotoBookmark(const std::string& Mark) {
    ResultTable->GotoBookmark(classlib::TBookmark(Mark.begin(), Mark.end()));
}

// ---------------------------------------------------------------------------------
// Names

void TORQAO::MakeResultFieldNamesUnique() {
    const int32_t n = GetColumnCount();
    for (int32_t i = 0; i < n; ++i) {
        std::string name = GetFieldName(i, false);
        if (name.empty()) name = MakeUniqueName("Expr");
        Columns[static_cast<size_t>(i)].Name = Fitted(name);
    }
    auto unique = [&](int32_t i) {
        std::string candidate = Columns[static_cast<size_t>(i)].Name;
        int32_t k = 1;
        for (;;) {
            bool taken = false;
            const std::string upper = AnsiUpperCase(candidate);
            for (int32_t j = 0; j < i && !taken; ++j) taken = AnsiUpperCase(Columns[static_cast<size_t>(j)].Name) == upper;
            if (!taken) break;
            // X, X_1, X_12, X_123 ...; a name at the longest gives way at its end.
            candidate = WithSuffix(candidate, (k == 1) ? std::string("_1") : std::to_string(k));
            ++k;
        }
        Columns[static_cast<size_t>(i)].Name = candidate;
    };
    for (int32_t i = 0; i < n; ++i)
        if (Columns[static_cast<size_t>(i)].Hidden) unique(i);
    for (int32_t i = 1; i < n; ++i) unique(i);
}

std::string TORQAO::GetFieldName(int32_t FieldNo, bool OwnName) {
    if (FieldNo < 0 || FieldNo >= GetColumnCount()) RaiseNativeFmt(10306, SInvalidFieldNo, {FieldNo, GetColumnCount()});
    const TORQFieldLink& c = Columns[static_cast<size_t>(FieldNo)];
    if (c.SourceDataSet != nullptr) {
        if (c.SourceDataSet == ResultTable.get() && !IsBaseTable) return c.Name;
        TORQCursor* cursor = c.SourceDataSet->Cursor();
        if (cursor == nullptr) return c.Name;
        const TORQFieldDefs& defs = c.SourceProjected ? cursor->ProjectedFieldDefs : cursor->FieldDefs;
        if (c.SourceFieldNo >= 0 && c.SourceFieldNo < defs.GetCount()) return defs.GetItem(c.SourceFieldNo)->Name;
        return c.Name;
    }
    if (OwnName || c.SourceOperator == nullptr || c.SourceOperator == this) return c.Name;
    return c.SourceOperator->GetFieldName(c.SourceFieldNo, false);
}

std::string TORQAO::GetOrderColumnDisplayName(int32_t N) {
    const int32_t length = Projection.Count() > 0 ? Projection.Count() : GetColumnCount();
    if (N < 0 || N >= length) RaiseNativeFmt(20243, "Invalid field number in ORDER BY clause: %d", {N + 1});
    return Columns[static_cast<size_t>(GetProjectedColumn(N))].DisplayName;
}

int32_t TORQAO::GetProjectedColumn(int32_t N) const { return Projection.Count() > 0 ? Projection[N] : N; }

std::string TORQAO::GetColumnName(int32_t N) {
    if (N < 0 || N >= GetColumnCount()) RaiseNativeFmt(10376, SInvalidFieldNo, {N, GetColumnCount()});
    return Columns[static_cast<size_t>(N)].Name;
}
uint8_t TORQAO::GetFieldType(int32_t N) {
    if (N < 0 || N >= GetColumnCount()) RaiseNativeFmt(10376, SInvalidFieldNo, {N, GetColumnCount()});
    return Columns[static_cast<size_t>(N)].DataType;
}
int32_t TORQAO::GetFieldSize(int32_t N) {
    if (N < 0 || N >= GetColumnCount()) RaiseNativeFmt(10377, SInvalidFieldNo, {N, GetColumnCount()});
    return Columns[static_cast<size_t>(N)].Size;
}
int32_t TORQAO::GetFieldPrecision(int32_t N) {
    if (N < 0 || N >= GetColumnCount()) RaiseNativeFmt(10378, SInvalidFieldNo, {N, GetColumnCount()});
    return Columns[static_cast<size_t>(N)].Precision;
}

bool TORQAO::FindFieldByName(const std::string& Text, int32_t& FieldNo) {
    const std::string upper = AnsiUpperCase(Text);
    for (int32_t i = 0; i < GetColumnCount(); ++i) {
        const TORQFieldLink& c = Columns[static_cast<size_t>(i)];
        if (AnsiUpperCase(c.Name) == upper || (!c.DisplayName.empty() && AnsiUpperCase(c.DisplayName) == upper)) {
            FieldNo = i;
            return true;
        }
    }
    return false;
}

void TORQAO::CarryColumn(int32_t N) {
    if (N < 0 || N >= GetColumnCount()) return;
    const TORQFieldLink& c = Columns[static_cast<size_t>(N)];
    if (c.SourceDataSet != nullptr || c.IsComputed || c.SourceOperator == nullptr || c.SourceOperator == this) return;
    if (c.SourceOperator != Left.get() && c.SourceOperator != Right.get()) return;
    c.SourceOperator->RevealColumn(c.SourceFieldNo);
}

void TORQAO::RevealColumn(int32_t N) {
    // A grouping's hidden columns are its input's, not part of a group's row.
    if (N < 0 || N >= GetColumnCount() || IsBaseTable || Materialised || IsGroupBy()) return;
    Columns[static_cast<size_t>(N)].Hidden = false;
    CarryColumn(N);
}

std::string TORQAO::UniqueColumnName(const std::string& Wanted) const {
    const std::string base = Fitted(Wanted);
    auto taken = [&](const std::string& Candidate) {
        const std::string upper = AnsiUpperCase(Candidate);
        for (const TORQFieldLink& c : Columns)
            if (AnsiUpperCase(Fitted(c.Name)) == upper) return true;
        return false;
    };
    if (!taken(base)) return base;
    for (int32_t k = 1;; ++k) {
        const std::string candidate = WithSuffix(base, "_" + std::to_string(k));
        if (!taken(candidate)) return candidate;
    }
}

[[noreturn]] void TORQAO::RaiseHidden(int32_t Code, int32_t FieldNo) {
    const TORQFieldLink& c = Columns[static_cast<size_t>(FieldNo)];
    RaiseNativeFmt(Code, SHiddenField, {TableName, c.Name, c.DisplayName, FieldNo});
}

// ---------------------------------------------------------------------------------
// Values

void TORQAO::GetFieldValue(TORQVariant& Value, int32_t FieldNo, bool AllowHidden, bool Flag) {
    // A row's value replaces the whole of Value (type, Null flag and bytes) and reuses its
    // room; only a value that is not there makes it a Null without a type.
    auto none = [&Value] {
        Value.Clear(0);
        Value.SetNull();
    };
    if (FieldNo < 0 || FieldNo >= GetColumnCount()) {
        none();
        RaiseNativeFmt(10307, SInvalidFieldNo, {FieldNo, GetColumnCount()});
    }
    TORQFieldLink& c = Columns[static_cast<size_t>(FieldNo)];
    if (c.SourceDataSet == nullptr && c.SourceOperator == nullptr) {
        none();
        RaiseNativeFmt(10309, "Invalid field link: table name = %s, FieldNo = %d", {TableName, FieldNo});
    }
    if (c.Hidden && !AllowHidden) {
        none();
        RaiseHidden(10310, FieldNo);
    }
    if (c.IsComputed && c.Expression) {
        none();
        TORQVariant* v = c.Expression->GetValue(true);
        if (v != nullptr) Value.Assign(*v, true);
        return;
    }
    if (c.SourceDataSet == nullptr) {
        if ((LeftIsNull && ColumnFromLeft(c)) || (RightIsNull && ColumnFromRight(c)) || c.SourceOperator == this) {
            none();
            return;
        }
        c.SourceOperator->GetFieldValue(Value, c.SourceFieldNo, AllowHidden, Flag);
        return;
    }
    TORQDataSet* ds = c.SourceDataSet;
    if (ds->Bof() && ds->Eof()) {
        none();
        return;
    }
    try {
        ds->GetFieldValue(Value, c.SourceFieldNo, c.SourceProjected);
    } catch (...) {
        none();
        throw;
    }
}

bool TORQAO::FindBaseField(int32_t N, TORQDataSet*& DataSet, int32_t& FieldNo, bool& Projected) {
    TORQFieldLink& c = Columns[static_cast<size_t>(N)];
    if (c.IsComputed) return false;
    if (c.SourceDataSet != nullptr) {
        if (c.SourceDataSet->Bof() && c.SourceDataSet->Eof()) return false;
        DataSet = c.SourceDataSet;
        FieldNo = c.SourceFieldNo;
        Projected = c.SourceProjected;
        return true;
    }
    if (c.SourceOperator == nullptr || c.SourceOperator == this) return false;
    if ((LeftIsNull && ColumnFromLeft(c)) || (RightIsNull && ColumnFromRight(c))) return false;
    return c.SourceOperator->FindBaseField(c.SourceFieldNo, DataSet, FieldNo, Projected);
}

void TORQAO::CopyFieldToResult(int32_t N, int32_t M) {
    TORQFieldLink& c = Columns[static_cast<size_t>(N)];
    if (!c.Hidden && !c.IsComputed) {
        TORQDataSet* ds = nullptr;
        int32_t no = -1;
        bool projected = false;
        if (FindBaseField(N, ds, no, projected)) {
            ds->CopyFieldValue(no, projected, ResultTable.get(), M);
            return;
        }
    }
    GetFieldValue(ScratchValue, N, true);
    if (!ScratchValue.IsNull()) ResultTable->SetFieldValue(ScratchValue, M, false);
    ScratchValue.Clear(0);
}

// ---------------------------------------------------------------------------------
// Configuration

void TORQAO::SetInto(bool InMemory, bool Direct, const std::string& DatabaseName, const std::string& ATableName) {
    IntoInMemory = InMemory;
    IntoDirect = Direct;
    IntoDatabaseName = DatabaseName;
    IntoTableName = ATableName;
}

void TORQAO::SetRowLimit(int64_t Start, int64_t Count) {
    if (IsDistinct) return;
    if (OrderBy && OrderBy->Count() > 0) return;
    RowLimit = Count < 0 ? -1 : Count;
    StartRow = Start < 0 ? 1 : Start;
}

void TORQAO::SetOrderBy(const std::string& Fields, const std::string& DescFields, const std::string& NoCaseFields) {
    OrderBy = std::make_unique<TORQOrderLists>();
    std::vector<std::string> names, desc, nocase;
    SplitFieldNames(names, Fields);
    SplitFieldNames(desc, DescFields);
    SplitFieldNames(nocase, NoCaseFields);
    for (const std::string& n : names) {
        OrderBy->Fields.push_back(n);
        OrderBy->Directions.push_back(Contains(desc, n) ? "DESC" : "ASC");
        OrderBy->Cases.push_back(Contains(nocase, n) ? "NO_CASE" : "CASE");
    }
    if (IsDistinct) SetDistinct(DistinctFields);
}

void TORQAO::SetDistinct(const std::string& FieldList) {
    std::vector<std::string> names;
    SplitFieldNames(names, FieldList);
    IsDistinct = !names.empty();
    DistinctFields = FieldList;
    DistinctCount = static_cast<int32_t>(names.size());
    DistinctColumns.assign(names.size(), 0);
    for (std::size_t k = 0; k < names.size(); ++k)
        for (int32_t i = 0; i < GetColumnCount(); ++i)
            if (AnsiUpperCase(Columns[static_cast<size_t>(i)].Name) == names[k]) {
                DistinctColumns[k] = i;
                break;
            }
    if (Condition || dynamic_cast<TORQAOJoin*>(this) == nullptr) return;
    for (TORQAO* input : {Left.get(), Right.get()}) {
        if (input == nullptr || input->IsBaseTable) continue;
        std::vector<std::string> linked;
        for (const TORQFieldLink& c : Columns) {
            if (c.SourceOperator != input || c.SourceFieldNo < 0 || c.SourceFieldNo >= input->GetColumnCount()) continue;
            const TORQFieldLink& ic = input->Columns[static_cast<size_t>(c.SourceFieldNo)];
            if (!ic.Hidden) linked.push_back(ic.Name);
        }
        input->SetDistinct(JoinNames(linked));
    }
}

bool TORQAO::TakeOrderIndex(TORQOrderLists& /*Lists*/) { return false; }

// ---------------------------------------------------------------------------------
// Projection and look-up

void TORQAO::SetSelectList(std::vector<TORQSelectListItem>& Items, int32_t LastIndex, bool Distinct) {
    if (LastIndex < 0) {
        FindFieldNumbers("*", "", false, false, &Projection, 1);
    }
    for (int32_t i = 0; i <= LastIndex && i < static_cast<int32_t>(Items.size()); ++i) {
        TORQSelectListItem& item = Items[static_cast<size_t>(i)];
        const std::string fieldText = item.AllFields ? std::string("*") : item.FieldName;
        if (item.IsExpression && item.Expression && (!item.Expression->ContainsAggregate() || IsGroupBy())) {
            TORQFieldLink c;
            c.Expression = std::move(item.Expression);
            c.Expression->BindToOperators(this, nullptr, nullptr);
            // The alias is what the query shows; the column's own name must differ from
            // every other column's, as the result table's fields must.
            c.DisplayName = !item.Alias.empty() ? item.Alias : MakeUniqueName("Expr");
            c.Name = UniqueColumnName(c.DisplayName);
            c.DataType = c.Expression->GetDataType();
            c.Size = c.Expression->GetDataSize();
            c.Precision = c.Expression->GetDataExtra();
            c.SourceOperator = this;
            c.IsComputed = true;
            c.IsAggregate = c.Expression->ContainsAggregate();
            HasComputedColumns = true;
            Columns.push_back(std::move(c));
            Projection.Append(GetColumnCount() - 1);
            if (!IsGroupBy()) {
                item.IsExpression = false;
                item.FieldName = Columns.back().Name;
            }
            continue;
        }
        if (fieldText.empty()) continue;
        const int32_t before = Projection.Count();
        const int32_t n = FindFieldNumbers(fieldText, item.TableName, false, false, &Projection, 1);
        if (n == 0) RaiseNativeFmt(10305, "Cannot find field %s", {fieldText});
        if (n > 1 && fieldText != "*") {
            for (int32_t k = 1; k < n && Projection.Count() > before + 1; ++k) Projection.Delete(Projection.Count() - 1);
        }
        if (n == 1 || (n > 1 && fieldText != "*")) {
            TORQFieldLink& last = Columns[static_cast<size_t>(Projection[Projection.Count() - 1])];
            if (!item.Alias.empty()) last.DisplayName = item.Alias;
            else if (fieldText != "*") last.DisplayName = fieldText;
        }
    }
    for (int32_t k = 0; k < Projection.Count(); ++k) {
        TORQFieldLink& c = Columns[static_cast<size_t>(Projection[k])];
        if (c.DisplayName.empty()) c.DisplayName = c.Name;
    }
    if (Distinct) {
        std::vector<std::string> names;
        for (int32_t k = 0; k < Projection.Count(); ++k) names.push_back(Columns[static_cast<size_t>(Projection[k])].Name);
        DistinctFields = JoinNames(names);
        SetDistinct(DistinctFields);
    }
    ProjectionSet = true;
}

namespace {

bool TableMatches(const TORQAO& Op, const std::string& Qualifier) {
    if (Qualifier.empty()) return true;
    // A table with an alias answers by its alias only.
    if (!Op.TableAlias.empty()) return SameText(Qualifier, Op.TableAlias);
    return SameText(Qualifier, Op.TableName);
}

}  // namespace

int32_t TORQAO::FindFieldNumbers(const std::string& FieldName, const std::string& ATableName, bool SkipHidden,
                                 bool KeepHidden, TORQIntegerArray* ResultArray, uint8_t Mode) {
    if (IsBaseTable && !TableMatches(*this, ATableName)) return 0;
    const bool unhide = !KeepHidden && Mode != 0;
    int32_t matches = 0;
    auto take = [&](int32_t i, bool mayUnhide) {
        if (ResultArray != nullptr) ResultArray->Append(i);
        ++matches;
        if (unhide && mayUnhide) Columns[static_cast<size_t>(i)].Hidden = false;
    };
    auto linked = [&](TORQAO* input, const TORQIntegerArray& found, int32_t i) {
        const TORQFieldLink& c = Columns[static_cast<size_t>(i)];
        return c.SourceOperator == input && c.SourceDataSet == nullptr && !c.IsComputed && found.Contains(c.SourceFieldNo);
    };
    if (FieldName == "*" && StarInColumnOrder) {
        // Columns put back into the order of the FROM list: a star follows them.
        TORQIntegerArray left, right;
        if (Left) Left->FindFieldNumbers(FieldName, ATableName, SkipHidden, KeepHidden, &left, Mode);
        if (Right) Right->FindFieldNumbers(FieldName, ATableName, SkipHidden, KeepHidden, &right, Mode);
        for (int32_t i = 0; i < GetColumnCount(); ++i) {
            const TORQFieldLink& c = Columns[static_cast<size_t>(i)];
            const bool own = c.IsComputed && c.SourceOperator == this && SameText(ATableName, TableName);
            if (own || (Left && linked(Left.get(), left, i)) || (Right && linked(Right.get(), right, i)))
                take(i, !IsGroupBy());
        }
        return matches;
    }
    if (FieldName == "*") {
        TORQIntegerArray left;
        if (Left) Left->FindFieldNumbers(FieldName, ATableName, SkipHidden, KeepHidden, &left, Mode);
        for (int32_t i = 0; i < GetColumnCount(); ++i) {
            const TORQFieldLink& c = Columns[static_cast<size_t>(i)];
            const bool own = c.IsComputed && c.SourceOperator == this && SameText(ATableName, TableName);
            if (IsBaseTable || own || (Left && linked(Left.get(), left, i))) take(i, !IsGroupBy());
        }
        if (Right) {
            TORQIntegerArray right;
            Right->FindFieldNumbers(FieldName, ATableName, SkipHidden, KeepHidden, &right, Mode);
            for (int32_t i = 0; i < GetColumnCount(); ++i)
                if (linked(Right.get(), right, i)) take(i, !IsGroupBy());
        }
        return matches;
    }
    for (TORQAO* input : {Left.get(), Right.get()}) {
        if (input == nullptr) continue;
        TORQIntegerArray found;
        input->FindFieldNumbers(FieldName, ATableName, SkipHidden, KeepHidden, &found, Mode);
        if (found.Count() == 0) continue;
        for (int32_t i = 0; i < GetColumnCount(); ++i) {
            if (!linked(input, found, i)) continue;
            if (SkipHidden && Columns[static_cast<size_t>(i)].Hidden) continue;
            take(i, true);
        }
    }
    const std::string upper = AnsiUpperCase(FieldName);
    for (int32_t i = 0; i < GetColumnCount(); ++i) {
        TORQFieldLink& c = Columns[static_cast<size_t>(i)];
        // A materialised join keeps where each column came from: t.x finds it by that.
        const bool byOrigin = !ATableName.empty() && !IsBaseTable && c.SourceDataSet == ResultTable.get() &&
                              SameText(ATableName, c.OriginQualifier) && AnsiUpperCase(c.OriginName) == upper;
        if (!byOrigin && !ATableName.empty() &&
            !(IsBaseTable ? TableMatches(*this, ATableName)
                          : (SameText(ATableName, TableName) || SameText(ATableName, TableAlias))))
            continue;
        if (SkipHidden && c.Hidden) continue;
        if (!byOrigin && AnsiUpperCase(c.Name) != upper &&
            (c.DisplayName.empty() || AnsiUpperCase(c.DisplayName) != upper))
            continue;
        if (ResultArray != nullptr && !ResultArray->Contains(i)) {
            ResultArray->Append(i);
            ++matches;
        }
        if (unhide) c.Hidden = false;
        break;
    }
    return matches;
}

// ---------------------------------------------------------------------------------
// The tree's base tables

bool TORQAO::OpenTables() {
    bool ok = true;
    if (IsBaseTable) {
        try {
            ResultTable->Open();
        } catch (...) {
            try {
                ResultTable->Close();
            } catch (...) {
            }
            return false;
        }
        return true;
    }
    if (Left) ok = Left->OpenTables();
    if (ok && Right) ok = Right->OpenTables();
    return ok;
}

bool TORQAO::LockTables() {
    if (IsBaseTable) {
        if (ResultTable->Active() && ResultTable->Cursor() != nullptr)
            TablesLocked = ResultTable->Cursor()->LockTable(1, 2, 1, 20);
        return TablesLocked;
    }
    bool ok = true;
    if (Left) ok = Left->LockTables();
    if (ok && Right) {
        ok = Right->LockTables();
        // A refused tree holds nothing: the left input's locks go again.
        if (!ok && Left) Left->UnlockTables();
    }
    return ok;
}

bool TORQAO::UnlockTables() {
    if (IsBaseTable) {
        if (!TablesLocked) return true;
        const bool released = ResultTable->Cursor() != nullptr && ResultTable->Cursor()->UnlockTable(1, 1);
        TablesLocked = !released;
        return released;
    }
    bool ok = true;
    if (Left) ok = Left->UnlockTables();
    if (ok && Right) ok = Right->UnlockTables();
    return ok;
}

// ---------------------------------------------------------------------------------
// Opening and materialising

void TORQAO::Open(bool AIsResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor) {
    if (Opened) return;
    IsResultSet = AIsResultSet;
    if (!IsBaseTable && Condition) Condition->BindToOperators(this, OuterOperator, OuterCursor);
    // An input that is copied needs a column to copy even when nothing above reads one
    // (COUNT(*), a constant select list): its rows are what counts.
    for (TORQAO* input : {Left.get(), Right.get()}) {
        if (input == nullptr || input->IsBaseTable || input->Materialised || input->GetColumnCount() == 0) continue;
        bool visible = false;
        for (const TORQFieldLink& c : input->Columns) visible = visible || !c.Hidden;
        if (!visible) input->RevealColumn(0);
    }
    if (Left) Left->Open(false, OuterOperator, OuterCursor);
    if (Right) Right->Open(false, OuterOperator, OuterCursor);
    PrepareInputs();
    if (RowLimit > 0 && OrderBy && OrderBy->Count() > 0 && Left) {
        Left->ResultTable->SetIndexName(
            Left->ResultTable->CreateTemporaryIndex(OrderBy->Fields, OrderBy->Directions, OrderBy->Cases));
    }
    if (Left || Right) Materialise();
    if (OrderBy) ApplyOrderBy(true);
    Opened = true;
}

void TORQAO::Materialise() {
    if (Materialised) return;
    std::vector<std::string> fieldNames, displayNames;
    PrepareResultTable(fieldNames, displayNames);
    FillResultTable();
    FinishMaterialise(fieldNames, displayNames);
}

void TORQAO::PrepareResultTable(std::vector<std::string>& FieldNames, std::vector<std::string>& DisplayNames) {
    TORQTable& t = *ResultTable;
    t.FieldDefs().Clear();
    t.IndexDefs().Clear();
    t.AdvFieldDefs().Clear();
    t.AdvIndexDefs().Clear();
    const bool projected = Projection.Count() > 0;
    auto addField = [&](const TORQFieldLink& c, bool demoteAll) {
        TORQAdvFieldDef* d = t.AdvFieldDefs().Add();
        d->Name = c.Name;
        uint8_t type = c.DataType;
        if (demoteAll && IsAutoincAdvancedType(type)) type = BaseToAdvancedFieldType(AdvancedToBaseFieldType(type));
        else if (!demoteAll && type == aftAutoInc) type = aftInteger;
        d->DataType = type;
        d->Size = c.Size;
        d->BlobCompressionAlgorithm = c.BlobCompressionAlgorithm;
        d->BlobCompressionMode = c.BlobCompressionMode;
        if (c.BlobBlockSize > 0) d->BlobBlockSize = c.BlobBlockSize;
    };
    if (projected) {
        if (!(IsResultSet && IntoDirect)) {
            IntoTableName.clear();
            IntoDatabaseName.clear();
        }
        for (int32_t k = 0; k < Projection.Count(); ++k) {
            const int32_t i = Projection[k];
            const TORQFieldLink& c = Columns[static_cast<size_t>(i)];
            if (c.Hidden) RaiseHidden(10312, i);
            if (!c.DisplayName.empty()) {
                FieldNames.push_back(c.Name);
                DisplayNames.push_back(c.DisplayName);
            }
        }
        for (const TORQFieldLink& c : Columns)
            if (!c.Hidden) addField(c, false);
    } else {
        for (const TORQFieldLink& c : Columns) {
            if (c.Hidden) continue;
            addField(c, true);
            FieldNames.push_back(c.Name);
            DisplayNames.emplace_back();
        }
    }
    if (RowLimit >= 0 && OrderBy && OrderBy->Count() > 0) t.SetIndexName(CreateOrderIndex(true));
    if (!IntoTableName.empty()) {
        t.SetDatabaseName(IntoDatabaseName);
        t.SetTableName(IntoTableName);
        t.SetInMemory(IntoInMemory);
    } else {
        t.SetInMemory(false);
        t.SetTemporary(true);
        t.TableDisableTempFiles = DisableTempFiles;
        do {
            t.SetTableName(MakeUniqueName("TEMPORARY_TABLE_"));
        } while (t.Exists());
    }
    if (IsDistinct) {
        TORQAdvIndexDef* d = t.AdvIndexDefs().Add();
        d->Name = MakeUniqueName("TEMPORARY_INDEX_");
        d->Fields = DistinctFields;
        d->Options = classlib::ixUnique;
    }
    t.CreateTable();
    OwnsTemporaryResult = IntoTableName.empty();
    t.Open();
}

void TORQAO::FillResultTable() {
    TORQTable& t = *ResultTable;
    std::vector<TORQVariant> previous(IsDistinct ? static_cast<size_t>(DistinctCount) : 0);
    TORQVariant current;
    int64_t j = 0;
    int64_t filled = 0;
    struct TReset {
        int64_t& Limit;
        ~TReset() {
            if (Limit >= 0) Limit = -1;
        }
    } reset{RowLimit};
    First();
    while (!Eof()) {
        ++j;
        if (RowLimit >= 0 && filled >= RowLimit) break;
        if (StartRow >= 0 && j < StartRow) {
            Next();
            continue;
        }
        if (Condition && !Condition->GetBooleanValue()) {
            Next();
            continue;
        }
        if (IsDistinct) {
            bool same = true;
            for (int32_t k = 0; k < DistinctCount; ++k) {
                GetFieldValue(current, DistinctColumns[static_cast<size_t>(k)], true);
                TORQVariant& p = previous[static_cast<size_t>(k)];
                if (same && p.Compare(current, false, false, false) != 0) same = false;
                p.Assign(current, true);
            }
            if (same && filled > 0) {
                Next();
                continue;
            }
        }
        t.Append();
        try {
            int32_t m = 0;
            for (int32_t i = 0; i < GetColumnCount(); ++i) {
                if (Columns[static_cast<size_t>(i)].Hidden) continue;
                CopyFieldToResult(i, m++);
            }
            if (IsDistinct) {
                t.Cursor()->CurrentRecord = t.GetActiveRecordBuffer();
                if (t.Cursor()->CheckConstraints(true)) {
                    t.Post();
                    ++filled;
                } else {
                    t.Cancel();
                }
            } else {
                t.Post();
                ++filled;
            }
        } catch (...) {
            if (t.State() == classlib::dsInsert) t.Cancel();
            throw;
        }
        Next();
    }
}

void TORQAO::MapOrderDisplayNames(const std::vector<std::string>& FieldNames,
                                  const std::vector<std::string>& DisplayNames) {
    if (!OrderBy) return;
    for (std::string& f : OrderBy->Fields) {
        for (const TORQFieldLink& c : Columns) {
            if (c.DisplayName.empty() || !SameText(f, c.DisplayName)) continue;
            bool isFieldName = false;
            for (const std::string& n : FieldNames) isFieldName = isFieldName || SameText(n, c.DisplayName);
            if (isFieldName) continue;
            f = AnsiUpperCase(c.Name);
            break;
        }
    }
    (void)DisplayNames;
}

void TORQAO::FinishMaterialise(std::vector<std::string>& FieldNames, std::vector<std::string>& DisplayNames) {
    TORQTable& t = *ResultTable;
    const bool orderDefined = RowLimit >= 0 || !t.IndexName().empty();
    if (OrderBy && OrderBy->Count() > 0 && !IsDistinct && !orderDefined) {
        MapOrderDisplayNames(FieldNames, DisplayNames);
        const std::string name = CreateOrderIndex(false);
        t.SetIndexName(name);
    }
    t.SetProjection(FieldNames, DisplayNames);
    std::vector<int32_t> relink;
    const bool projected = Projection.Count() > 0 && IsResultSet;
    if (projected) {
        for (int32_t k = 0; k < Projection.Count(); ++k) {
            if (Columns[static_cast<size_t>(Projection[k])].Hidden) RaiseHidden(10314, Projection[k]);
            relink.push_back(Projection[k]);
        }
    } else {
        for (int32_t i = 0; i < GetColumnCount(); ++i)
            if (!Columns[static_cast<size_t>(i)].Hidden) relink.push_back(i);
    }
    std::vector<bool> linked(Columns.size(), false);
    int32_t position = 0;
    for (int32_t i : relink) {
        TORQFieldLink& c = Columns[static_cast<size_t>(i)];
        c.SourceDataSet = ResultTable.get();
        c.SourceFieldNo = position++;
        c.SourceProjected = projected;
        c.SourceOperator = nullptr;
        c.IsComputed = false;
        c.IsAggregate = false;
        c.Expression.reset();
        linked[static_cast<size_t>(i)] = true;
    }
    // The inputs go: a column left unlinked reads as an invalid link, never a freed input.
    for (std::size_t i = 0; i < Columns.size(); ++i) {
        if (linked[i]) continue;
        Columns[i].SourceOperator = nullptr;
        Columns[i].SourceDataSet = nullptr;
        Columns[i].IsComputed = false;
        Columns[i].Expression.reset();
    }
    Materialised = true;
    ReleaseAfterMaterialise();
    Condition.reset();
    Left.reset();
    Right.reset();
}

std::string TORQAO::CreateOrderIndex(bool AsDefinition) {
    std::vector<std::string> desc, cases;
    OrderOptionLists(*OrderBy, desc, cases);
    const std::string name = MakeUniqueName("TEMPORARY_INDEX_");
    if (AsDefinition) {
        TORQAdvIndexDef* d = ResultTable->AdvIndexDefs().Add();
        d->Name = name;
        d->Fields = JoinNames(OrderBy->Fields);
        d->DescFields = JoinNames(desc);
        d->CaseInsFields = JoinNames(cases);
    } else {
        ResultTable->AddIndex(name, JoinNames(OrderBy->Fields), 0, JoinNames(desc), JoinNames(cases));
    }
    return name;
}

void TORQAO::ApplyOrderBy(bool FreeLists) {
    if (!ResultTable) RaiseNative(10308, "Nil pointer occured");
    struct TFree {
        TORQAO& Op;
        bool On;
        ~TFree() {
            if (On) Op.OrderBy.reset();
        }
    } release{*this, FreeLists};
    if (OrderBy && OrderBy->Count() > 0 && ResultTable->IndexName().empty()) {
        ResultTable->SetIndexName(ResultTable->CreateTemporaryIndex(OrderBy->Fields, OrderBy->Directions, OrderBy->Cases));
    }
}

// ---------------------------------------------------------------------------------
// Base-table operator

TORQAOTable::TORQAOTable(const std::string& ATableName, std::unique_ptr<TORQTable> Table, TORQDatabase* Database,
                         const std::string& ATableAlias)
    : TORQAO(nullptr, nullptr, ATableName, ATableAlias) {
    ResultTable = std::move(Table);
    DisableTempFiles = Database != nullptr && Database->DisableTempFiles;
    IsBaseTable = true;
    Materialised = true;
    try {
        ResultTable->Open();
    } catch (const classlib::Exception& e) {
        RaiseNativeFmt(10303, "Error on opening table \"%s\" (InMemory = %d) in SQL query: %s",
                       {ATableName, ResultTable->InMemory() ? 1 : 0, e.Message()});
    }
    const TORQAdvFieldDefs& defs = ResultTable->AdvFieldDefs();
    for (int32_t i = 0; i < defs.Count(); ++i) {
        const TORQAdvFieldDef& d = *defs.GetItem(i);
        TORQFieldLink c;
        c.Name = d.Name;
        c.DataType = d.DataType;
        c.Size = d.Size;
        c.BlobCompressionAlgorithm = d.BlobCompressionAlgorithm;
        c.BlobCompressionMode = d.BlobCompressionMode;
        c.BlobBlockSize = d.BlobBlockSize;
        c.SourceDataSet = ResultTable.get();
        c.SourceFieldNo = i;
        c.Hidden = true;
        c.OriginQualifier = ATableAlias.empty() ? ATableName : ATableAlias;
        c.OriginName = d.Name;
        Columns.push_back(std::move(c));
    }
}

void TORQAOTable::Open(bool AIsResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor) {
    if (Opened) return;
    if (OrderBy && OrderBy->Count() > 0) ApplyOrderBy(!IsDistinct);
    if (IsDistinct) {
        std::vector<std::string> fields, directions, cases;
        if (OrderBy) {
            fields = OrderBy->Fields;
            directions = OrderBy->Directions;
            cases = OrderBy->Cases;
        }
        std::vector<std::string> distinct;
        SplitFieldNames(distinct, DistinctFields);
        for (const std::string& f : distinct) {
            if (Contains(fields, f)) continue;
            fields.push_back(f);
            directions.emplace_back("ASC");
            cases.emplace_back("CASE");
        }
        ResultTable->SetTemporaryIndex(fields, directions, cases);
        OrderBy.reset();
    }
    if (Condition) ResultTable->SetFilterExpression(Condition.get(), OuterOperator, OuterCursor);
    TORQAO::Open(AIsResultSet, OuterOperator, OuterCursor);
}

void TORQAOTable::SetSelectList(std::vector<TORQSelectListItem>& Items, int32_t LastIndex, bool Distinct) {
    if (LastIndex < 0) {
        TORQAO::SetSelectList(Items, LastIndex, Distinct);
        return;
    }
    for (int32_t i = 0; i <= LastIndex && i < static_cast<int32_t>(Items.size()); ++i) {
        const TORQSelectListItem& item = Items[static_cast<size_t>(i)];
        if (!TableMatches(*this, item.TableName))
            RaiseNativeFmt(30327, "Invalid table name in reference. Table name = %s, table alias = %s, tname = %s",
                           {TableName, TableAlias, AnsiUpperCase(item.TableName)});
    }
    for (int32_t i = 0; i <= LastIndex && i < static_cast<int32_t>(Items.size()); ++i)
        if (Items[static_cast<size_t>(i)].AllFields || Items[static_cast<size_t>(i)].FieldName == "*") return;
    std::vector<bool> computed;
    for (int32_t i = 0; i <= LastIndex && i < static_cast<int32_t>(Items.size()); ++i)
        computed.push_back(Items[static_cast<size_t>(i)].IsExpression);
    TORQAO::SetSelectList(Items, LastIndex, Distinct);
    std::vector<std::string> fields, aliases;
    for (int32_t k = 0; k < Projection.Count(); ++k) {
        const TORQFieldLink& c = Columns[static_cast<size_t>(Projection[k])];
        if (c.IsComputed) continue;  // computed over the cursor's row, not one of its fields
        fields.push_back(c.Name);
        aliases.push_back(c.DisplayName);
    }
    if (!HasComputedColumns) ResultTable->SetProjection(fields, aliases);
}

bool TORQAOTable::TakeOrderIndex(TORQOrderLists& Lists) {
    if (!ResultTable) RaiseNative(10513, "Nil pointer occured");
    if (!OrderBy || OrderBy->Count() == 0 || !ResultTable->IndexName().empty()) return false;
    if (ResultTable->HasIndexForFields(OrderBy->Fields, OrderBy->Directions, OrderBy->Cases)) return false;
    Lists = std::move(*OrderBy);
    OrderBy.reset();
    return true;
}

// ---------------------------------------------------------------------------------
// Derived table and TOP

void TORQAO::AddLeftInputColumn(int32_t N, bool SkipHidden) {
    const TORQFieldLink& ic = Left->Columns[static_cast<size_t>(N)];
    const bool inputProjected = Left->Projection.Count() > 0;
    if (SkipHidden && ic.Hidden && inputProjected) return;
    TORQFieldLink c;
    c.SourceOperator = Left.get();
    c.SourceFieldNo = N;
    c.Hidden = ic.Hidden;
    c.Name = (inputProjected && !ic.DisplayName.empty()) ? ic.DisplayName : ic.Name;
    c.DataType = ic.DataType;
    c.Size = ic.Size;
    c.Precision = ic.Precision;
    c.BlobCompressionAlgorithm = ic.BlobCompressionAlgorithm;
    c.BlobCompressionMode = ic.BlobCompressionMode;
    c.BlobBlockSize = ic.BlobBlockSize;
    Columns.push_back(std::move(c));
}

namespace {

void AddInputColumns(TORQAO& Op, const std::function<void(int32_t)>& Add) {
    const TORQAO& input = *Op.Left;
    if (input.Projection.Count() > 0)
        for (int32_t k = 0; k < input.Projection.Count(); ++k) Add(input.Projection[k]);
    else
        for (int32_t i = 0; i < input.GetColumnCount(); ++i) Add(i);
}

}  // namespace

TORQAOTableExpr::TORQAOTableExpr(std::unique_ptr<TORQAO> Input) : TORQAO(std::move(Input), nullptr, "", "") {
    Materialised = false;
    AddInputColumns(*this, [this](int32_t n) { AddLeftInputColumn(n, true); });
}

void TORQAOTableExpr::PipelinedFirst() { Left->First(); }
void TORQAOTableExpr::PipelinedNext() { Left->Next(); }
bool TORQAOTableExpr::PipelinedEof() { return Left->Eof(); }
int64_t TORQAOTableExpr::PipelinedRecordCount() { return Left->RecordCount(); }

void TORQAOTableExpr::SetRowLimit(int64_t Start, int64_t Count) {
    TORQAO::SetRowLimit(Start, Count);
    if (RowLimit < 0) return;
    Left->SetRowLimit(Start, Count);
    // An input that materialises applies the start row; this stage keeps only the
    // count. A base table applies no window, so the start row stays here.
    if (!Left->IsBaseTable && Left->RowLimit >= 0) StartRow = -1;
}

void TORQAOTableExpr::Open(bool AIsResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor) {
    if (Opened) return;
    if (Left && Left->IsBaseTable) {
        TORQOrderLists lists;
        if (Left->TakeOrderIndex(lists)) OrderBy = std::make_unique<TORQOrderLists>(std::move(lists));
    }
    if (OrderBy && Left) {
        bool added = false;
        for (std::string& f : OrderBy->Fields) {
            int32_t here = -1, there = -1;
            if (FindFieldByName(f, here)) continue;
            if (!Left->FindFieldByName(f, there)) continue;
            const TORQFieldLink& ic = Left->Columns[static_cast<size_t>(there)];
            if (!ic.DisplayName.empty()) f = AnsiUpperCase(ic.DisplayName);
        }
        for (std::string& f : OrderBy->Fields) {
            int32_t here = -1, there = -1;
            if (FindFieldByName(f, here)) continue;
            if (!Left->FindFieldByName(f, there)) continue;
            if (!added && Projection.Count() == 0) {
                // The extra columns sort but are not shown.
                for (int32_t i = 0; i < GetColumnCount(); ++i)
                    if (!Columns[static_cast<size_t>(i)].Hidden) Projection.Append(i);
            }
            added = true;
            Left->Columns[static_cast<size_t>(there)].Hidden = false;
            AddLeftInputColumn(there, false);
            Columns.back().Hidden = false;
        }
    }
    TORQAO::Open(AIsResultSet, OuterOperator, OuterCursor);
}

TORQAOSQLTopRowCount::TORQAOSQLTopRowCount(std::unique_ptr<TORQAO> Input)
    : TORQAO(std::move(Input), nullptr, "", "") {
    Materialised = false;
    AddInputColumns(*this, [this](int32_t n) { AddLeftInputColumn(n, true); });
}

void TORQAOSQLTopRowCount::PipelinedFirst() { Left->First(); }
void TORQAOSQLTopRowCount::PipelinedNext() { Left->Next(); }
bool TORQAOSQLTopRowCount::PipelinedEof() { return Left->Eof(); }
int64_t TORQAOSQLTopRowCount::PipelinedRecordCount() { return Left->RecordCount(); }

void TORQAOSQLTopRowCount::SetRowLimit(int64_t Start, int64_t Count) {
    TORQAO::SetRowLimit(Start, Count);
    // The window is applied once, here, over the input's rows as they come out (after
    // its conditions). The input only learns how many rows the window reaches, so that
    // it can stop early; it skips nothing itself.
    if (RowLimit < 0) return;
    const int64_t skipped = StartRow > 1 ? StartRow - 1 : 0;
    if (RowLimit <= INT64_MAX - skipped) Left->SetRowLimit(1, skipped + RowLimit);
}

}  // namespace orq
