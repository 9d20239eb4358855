// Running a parsed query: the operator tree of a SELECT block and of a query expression,
// placing conditions on its operators, ORDER BY, locking and opening the tables, the
// read-only decision, INTO, and the statement a subquery node runs.
//
// Rules kept here:
// - Base tables are never copied: a live request over one table gets the table itself
//   (filtered, ordered, projected); without one the result is always a copy, so that
//   editing a result never reaches a base table by accident.
// - Tables are locked only while the root opens; every path out of the open unlocks.
// - A condition part that no operator of the tree takes is an error at the top level
//   (20270, 20244, 30144); in a subquery it stays, and the subquery is then correlated.
// - An INTO table this statement created goes again when the statement fails after
//   making it; a table that existed before is left as the failure left it.
#include <cctype>
#include <string>

#include "classlib/DBCommon.h"
#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQLocalCursor.h"
#include "engine/access/ORQQuery.h"
#include "engine/access/ORQTable.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprNodes.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQRelationalAlgebra.h"
#include "engine/sql/ORQSQLSelect.h"
#include "engine/storage/ORQEngineState.h"

namespace orq {

namespace {

// How often and how long a query waits for its tables' locks.
constexpr int32_t kLockTries = 900;
constexpr int32_t kLockDelay = 100;

bool InMemoryQuery(TORQQuery* Query) { return Query != nullptr && Query->InMemory(); }

TORQDatabase* QueryDatabaseComponent(TORQQuery* Query) { return Query != nullptr ? Query->Database() : nullptr; }

bool IsDecimal(const std::string& Text) {
    if (Text.empty()) return false;
    for (char c : Text)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

std::string Join(const std::vector<std::string>& Names) {
    std::string s;
    for (std::size_t i = 0; i < Names.size(); ++i) {
        if (i > 0) s += ';';
        s += Names[i];
    }
    return s;
}

// The qualifier a reference's columns answer to.
std::string Qualifier(const TORQTableReference& R) {
    if (R.Kind == trkTable && R.Alias.empty()) return R.TableName;
    return R.Alias;
}

TORQSelectListItem NamedField(const std::string& Table, const std::string& Name) {
    TORQSelectListItem i;
    i.TableName = Table;
    i.FieldName = Name;
    return i;
}

void MoveItems(std::vector<TORQSelectListItem>& From, TORQFields& To) {
    for (TORQSelectListItem& i : From) To.Add(std::move(i));
    From.clear();
}

int32_t LastIndexOf(const std::vector<TORQSelectListItem>& Items, bool SelectAll) {
    return SelectAll ? -1 : static_cast<int32_t>(Items.size()) - 1;
}

}  // namespace

// ---------------------------------------------------------------------------------
// TORQSQLCursorCommand

TORQSQLCursorCommand::~TORQSQLCursorCommand() = default;

TORQCursor* TORQSQLCursorCommand::GetResultCursor() {
    TORQTable* t = GetResultTable();
    return t != nullptr ? t->Cursor() : nullptr;
}

TORQTable* TORQSQLCursorCommand::GetResultTable() { return FTree ? FTree->GetResultTable() : nullptr; }

void TORQSQLCursorCommand::ApplyOrderBy(TORQAO& Operator) {
    if (OrderBy.empty()) return;
    std::vector<std::string> names, descending;
    const uint8_t mode = Operator.IsGroupBy() ? 0 : 1;
    for (const TORQSortItem& item : OrderBy) {
        std::string field = item.FieldName;
        if (item.TableName.empty() && IsDecimal(field)) {
            int32_t position = 0;
            try {
                position = std::stoi(field);
            } catch (const std::exception&) {
                position = 0;
            }
            field = Operator.GetOrderColumnDisplayName(position - 1);
        }
        TORQIntegerArray found;
        const int32_t n = Operator.FindFieldNumbers(field, item.TableName, false, false, &found, mode);
        if (n == 0 || found.Count() == 0)
            RaiseNativeFmt(30195, "Column '%s' from ORDER BY clause not found",
                           {item.TableName.empty() ? field : item.TableName + "." + field});
        const std::string name = Operator.Column(found[0]).Name;
        names.push_back(name);
        if (item.Descending) descending.push_back(name);
    }
    Operator.SetOrderBy(Join(names), Join(descending), "");
}

void TORQSQLCursorCommand::Execute(TORQQuery* Query, bool ResultSet, TORQAO* OuterOperator, TORQCursor* OuterCursor,
                                   bool& ReadOnly, bool RequestLive) {
    RowsAffected = 0;
    FTree.reset();
    FTree = BuildOperatorTree(Query, RequestLive, IsSubquery, OuterOperator, OuterCursor);
    TORQAO& root = *FTree;
    const bool into = !IntoTableName.empty();
    const bool intoMemory = IntoInMemory || InMemoryQuery(Query);
    std::string intoDatabase = IntoDatabaseName;
    if (!IntoInMemory && intoDatabase.empty() && Query != nullptr) intoDatabase = Query->DatabaseName();

    // Whether the INTO table is there before anything runs, so that a failure can take
    // away only what this statement made.
    auto intoTable = [&] {
        auto t = std::make_unique<TORQTable>();
        if (Query != nullptr) t->SetSessionName(Query->SessionName());
        if (intoMemory) t->SetInMemory(true);
        else t->SetDatabaseName(intoDatabase);
        t->SetTableName(IntoTableName);
        return t;
    };
    const bool intoExisted = into && intoTable()->Exists();
    auto dropMadeInto = [&] {
        if (!into || intoExisted) return;
        try {
            FTree.reset();
            std::unique_ptr<TORQTable> t = intoTable();
            if (t->Exists()) t->DeleteTable();
        } catch (...) {
            // The failure that brought us here is the one to report.
        }
    };

    try {
        if (into && !root.IsBaseTable) root.SetInto(intoMemory, IntoImmediate, intoDatabase, IntoTableName);

        if (!root.OpenTables()) RaiseNative(20225, "Table is locked");
        for (int32_t tries = 1;; ++tries) {
            if (root.LockTables()) break;
            if (!root.UnlockTables()) RaiseNative(20226, "Cannot unlock table");
            if (tries >= kLockTries) RaiseNative(20225, "Table is locked");
            EngineSleep(kLockDelay);
        }
        try {
            root.Open(ResultSet, OuterOperator, OuterCursor);
        } catch (...) {
            try {
                root.UnlockTables();
            } catch (...) {
            }
            throw;
        }
        if (!root.UnlockTables()) RaiseNative(20227, "Cannot unlock table");

        if (ResultSet) {
            ReadOnly = !(RequestLive && (root.IsBaseTable || into));
            if (TORQCursor* c = GetResultCursor()) c->ReadOnly = ReadOnly ? 1 : 0;
        }

        const bool taken = !root.IsBaseTable && !root.IntoTableName.empty();
        if (into && !taken) {
            TORQTable* result = root.GetResultTable();
            if (result == nullptr) RaiseNative(10308, "Nil pointer occured");
            std::unique_ptr<TORQTable> target = intoTable();
            result->AdvIndexDefs().Clear();
            TORQDatabase* db = QueryDatabaseComponent(Query);
            const bool silent = db != nullptr && db->SilentMode;
            if (db != nullptr) db->SilentMode = true;
            std::string log;
            bool imported = false;
            try {
                imported = target->ImportTable(*result, log);
            } catch (const classlib::Exception& e) {
                log = e.Message();
            }
            if (db != nullptr) db->SilentMode = silent;
            if (!imported)
                RaiseNativeFmt(10403, "Error importing table. Cannot copy data due to error: %s\r\n", {log});
        }
    } catch (...) {
        dropMadeInto();
        throw;
    }
}

// ---------------------------------------------------------------------------------
// TORQSQLSelect

bool TORQSQLSelect::CanBeLive() {
    return !NotLive && (!Where || Where->IsEmptyCondition()) && (!Having || Having->IsEmptyCondition());
}

std::unique_ptr<TORQAO> TORQSQLSelect::BuildReference(TORQTableReference& R, TBuild& B) {
    if (R.Kind == trkTable) {
        R.Database.reset();
        std::unique_ptr<TORQTable> table;
        OpenForeignTable(B.Query, R.DatabaseFileName, R.InMemory, R.Password, R.TableName, R.Database, table);
        table->DeferIndexDefs = true;
        TORQDatabase* db = R.Database ? R.Database.get() : QueryDatabaseComponent(B.Query);
        return std::make_unique<TORQAOTable>(R.TableName, std::move(table), db, R.Alias);
    }
    if (R.Kind == trkDerived) {
        std::unique_ptr<TORQAO> sub =
            R.Subquery->BuildOperatorTree(B.Query, true, B.Subquery, B.OuterOperator, B.OuterCursor);
        NotLive = !R.Subquery->CanBeLive();
        if (!R.Subquery->ConditionsPlaced) ConditionsPlaced = false;
        // A derived table is a stage of its own: its select list is already its table's
        // projection, and the enclosing SELECT sets one of its own.
        if (sub->IsBaseTable) {
            sub = std::make_unique<TORQAOTableExpr>(std::move(sub));
            NotLive = true;
        }
        sub->TableAlias = R.Alias;
        return sub;
    }

    std::unique_ptr<TORQAO> left = BuildReference(*R.Left, B);
    std::unique_ptr<TORQAO> right = BuildReference(*R.Right, B);
    TORQFields leftKeys, rightKeys;
    if (!R.Natural && R.JoinType != jtCross) {
        if (!R.UsingList.empty()) {
            for (const std::string& name : R.UsingList) {
                leftKeys.Add(NamedField(Qualifier(*R.Left), name));
                rightKeys.Add(NamedField(Qualifier(*R.Right), name));
            }
        } else {
            std::vector<TORQSelectListItem> a, b;
            if (R.OnCondition) {
                R.OnCondition->ExtractJoinFields(left.get(), right.get(), a, b);
            } else {
                if (R.Left->OnCondition) R.Left->OnCondition->ExtractJoinFields(left.get(), right.get(), a, b);
                if (R.Right->OnCondition) R.Right->OnCondition->ExtractJoinFields(left.get(), right.get(), a, b);
            }
            if (R.JoinType == jtInner && Where) Where->ExtractJoinFields(left.get(), right.get(), a, b);
            MoveItems(a, leftKeys);
            MoveItems(b, rightKeys);
        }
    }
    std::unique_ptr<TORQExpression> joinCondition;
    const bool outer = R.JoinType == jtLeft || R.JoinType == jtRight || R.JoinType == jtFull;
    if (outer && R.OnCondition && !R.OnCondition->IsEmptyCondition()) joinCondition = std::move(R.OnCondition);
    const bool keys = leftKeys.Count() > 0;
    auto join = std::make_unique<TORQAOJoin>(std::move(left), std::move(joinCondition), keys ? &rightKeys : nullptr,
                                             keys ? &leftKeys : nullptr, R.Natural, R.JoinType, std::move(right));
    if (!outer && R.OnCondition) {
        R.OnCondition->PushDownConditions(join.get(), B.OuterOperator, 0, true, B.OuterCursor);
        if (!R.OnCondition->IsEmptyCondition()) {
            if (!B.Subquery) RaiseNative(20270, "ON condition for JOIN is not applicable");
            ConditionsPlaced = false;
        }
    }
    return join;
}

std::unique_ptr<TORQAO> TORQSQLSelect::BuildOperatorTree(TORQQuery* Query, bool RequestLive, bool Subquery,
                                                         TORQAO* OuterOperator, TORQCursor* OuterCursor) {
    FQuery = Query;
    NotLive = false;
    ConditionsPlaced = true;
    TBuild b{Query, Subquery, OuterOperator, OuterCursor};
    const int32_t last = LastIndexOf(SelectList, SelectAll);

    // 1. The FROM tree.
    std::unique_ptr<TORQAO> root = BuildFrom(b);

    // 2. Grouping: a GROUP BY list, or an aggregate in the select list or in HAVING (a
    //    HAVING that tests an aggregate makes the whole input one group).
    bool grouping = GroupBy.Count() > 0;
    if (!grouping && !SelectAll)
        for (const TORQSelectListItem& item : SelectList)
            if (item.Expression && item.Expression->ContainsAggregate()) grouping = true;
    if (!grouping && Having && Having->ContainsAggregate()) grouping = true;

    // 3. A computing stage for computed columns without aggregates.
    if (grouping || root->IsBaseTable) {
        bool computed = false, namedLikeGroup = false;
        for (const TORQSelectListItem& item : SelectList) {
            if (!(item.IsExpression || item.IsDuplicate) || !item.Expression || item.Expression->ContainsAggregate())
                continue;
            computed = true;
            if (grouping)
                for (const TORQSelectListItem& g : GroupBy.Items)
                    if (!item.Alias.empty() && AnsiUpperCase(item.Alias) == AnsiUpperCase(g.FieldName))
                        namedLikeGroup = true;
        }
        if (computed && !grouping) {
            root = std::make_unique<TORQAOTableExpr>(std::move(root));
        } else if (grouping && namedLikeGroup) {
            root = std::make_unique<TORQAOTableExpr>(std::move(root));
            root->SetSelectList(SelectList, last, false);
        }
    }

    // 4. WHERE into the tree.
    if (Where) Where->PushDownConditions(root.get(), OuterOperator, 0, true, OuterCursor);

    // 5. The grouping operator.
    TORQAO* group = nullptr;
    if (grouping) {
        // An input that is copied needs a column to copy: COUNT(*) over a join reads none.
        if (!root->IsBaseTable && root->GetColumnCount() > 0) {
            bool visible = false;
            for (int32_t i = 0; i < root->GetColumnCount() && !visible; ++i) visible = !root->Column(i).Hidden;
            if (!visible) root->FindFieldNumbers(root->Column(0).Name, "", false, false, nullptr, 1);
        }
        root = std::make_unique<TORQAOGroupBy>(std::move(root), last, SelectList, &GroupBy);
        group = root.get();
    }

    // 6. A computing stage above a set operation.
    if (dynamic_cast<TORQAOUnion*>(root.get()) != nullptr && TORQAOUnion::NeedsComputingStage())
        root = std::make_unique<TORQAOTableExpr>(std::move(root));

    // 7. The select list; a single table without a live request is copied later.
    const bool copyLater = !RequestLive && root->IsBaseTable && TopCount < 0;
    root->SetSelectList(SelectList, last, Distinct && !copyLater);

    // 8. HAVING.
    if (Having && !Having->IsEmptyCondition()) {
        if (grouping) {
            Having->PushDownConditions(root.get(), OuterOperator, 0, false, OuterCursor);
            Having->PushDownConditions(group, OuterOperator, 0, true, OuterCursor);
        }
        // Without grouping a HAVING has nothing to filter: refused rather than dropped.
        if (!Having->IsEmptyCondition()) {
            if (!Subquery || !grouping) RaiseNative(20244, "'Having' condition is not applicable");
            ConditionsPlaced = false;
        }
    }

    // 9. ORDER BY.
    ApplyOrderBy(*root);

    // 10. What is left of WHERE, over the whole tree.
    if (Where && !Where->IsEmptyCondition()) {
        Where->PushDownConditions(root.get(), OuterOperator, 0, true, OuterCursor);
        if (!Where->IsEmptyCondition()) {
            if (!Subquery) RaiseNative(30144, "Search condition is not applicable");
            ConditionsPlaced = false;
        }
    }

    // 11. TOP.
    if (TopCount >= 0) {
        root = std::make_unique<TORQAOSQLTopRowCount>(std::move(root));
        root->SetRowLimit(TopStart, TopCount);
    }

    // 12. The copy of a single table.
    if (copyLater) {
        root = std::make_unique<TORQAOTableExpr>(std::move(root));
        root->SetSelectList(SelectList, last, Distinct);
    }
    return root;
}

// ---------------------------------------------------------------------------------
// TORQSQLUnion

bool TORQQueryExprNode::CanBeLive() const {
    if (Kind == qekSelect) return Select && Select->CanBeLive();
    return Left && Right && Left->CanBeLive() && Right->CanBeLive();
}

bool TORQSQLUnion::CanBeLive() { return Root && Root->CanBeLive(); }

std::unique_ptr<TORQAO> TORQSQLUnion::BuildNode(TORQQueryExprNode& Node, TORQQuery* Query, bool RequestLive,
                                                bool Subquery, TORQAO* OuterOperator, TORQCursor* OuterCursor) {
    if (Node.Kind == qekSelect) {
        std::unique_ptr<TORQAO> tree =
            Node.Select->BuildOperatorTree(Query, RequestLive, Subquery, OuterOperator, OuterCursor);
        if (!Node.Select->ConditionsPlaced) ConditionsPlaced = false;
        return tree;
    }
    std::unique_ptr<TORQAO> left = BuildNode(*Node.Left, Query, true, Subquery, OuterOperator, OuterCursor);
    std::unique_ptr<TORQAO> right = BuildNode(*Node.Right, Query, true, Subquery, OuterOperator, OuterCursor);
    TORQFields by;
    for (const std::string& name : Node.CorrespondingBy) by.Add(NamedField("", name));
    const uint8_t kind = Node.Kind == qekUnion ? ukUnion : Node.Kind == qekIntersect ? ukIntersect : ukExcept;
    return std::make_unique<TORQAOUnion>(std::move(left), by.Count() > 0 ? &by : nullptr, !Node.All,
                                         Node.Corresponding, OuterOperator, OuterCursor, kind, std::move(right));
}

std::unique_ptr<TORQAO> TORQSQLUnion::BuildOperatorTree(TORQQuery* Query, bool RequestLive, bool Subquery,
                                                        TORQAO* OuterOperator, TORQCursor* OuterCursor) {
    FQuery = Query;
    ConditionsPlaced = true;
    std::unique_ptr<TORQAO> root = BuildNode(*Root, Query, RequestLive, Subquery, OuterOperator, OuterCursor);
    if (!OrderBy.empty() && dynamic_cast<TORQAOUnion*>(root.get()) != nullptr)
        root = std::make_unique<TORQAOTableExpr>(std::move(root));
    ApplyOrderBy(*root);
    return root;
}

// ---------------------------------------------------------------------------------
// Subqueries

namespace {

// Failures that say the query reads something its own tables do not have.
bool IsResolutionFailure(int32_t Code) {
    switch (Code) {
        case 10305: case 10331: case 10332: case 20245: case 30115: case 30195: case 30197: case 30327:
            return true;
        default:
            return false;
    }
}

class TORQSQLSubquery : public TORQSubqueryStatement {
public:
    TORQSQLSubquery(TORQLexer& Lexer, TORQQuery* Query, TORQAO* Outer)
        : FLexer(Lexer), FStart(Lexer.GetTokenPosition()), FQuery(Query), FOuter(Outer),
          FUnion(std::make_unique<TORQSQLUnion>(Lexer, Query)) {
        FUnion->IsSubquery = true;
    }

    // A copy of the result always: the result is read, never edited.
    void Execute(TORQQuery* Query, TORQCursor* OuterCursor, TORQAO* OuterOperator) override {
        FUsed = true;
        bool readOnly = true;
        FUnion->Execute(Query, true, OuterOperator, OuterCursor, readOnly, false);
    }
    int32_t FieldCount() override { return Result().Fields().Count(); }
    int64_t RecordCount() override { return Result().RecordCount(); }
    void GetFirstRowValue(int32_t Index, TORQVariant& Value) override {
        TORQTable& t = Result();
        t.First();
        if (t.Eof()) {
            Value.Clear(0);
            return;
        }
        t.GetFieldValue(Value, Index, true);
    }
    bool Locate(const TORQVariant& Value) override { return FindKey(doEqual, Value); }
    bool FindKey(uint8_t Operator, const TORQVariant& Value) override {
        TORQTable& t = Result();
        auto* c = dynamic_cast<TORQLocalCursor*>(t.Cursor());
        if (c == nullptr) RaiseNative(10308, "Nil pointer occured");
        return c->FindKey(FirstBaseFieldName(*c), Operator, Value);
    }
    uint8_t FirstFieldType() override {
        std::unique_ptr<TORQAO> tree = Fresh().BuildOperatorTree(FQuery, false, true, nullptr, nullptr);
        return tree->GetFieldType(FirstColumn(*tree));
    }
    int32_t FirstFieldSize() override {
        std::unique_ptr<TORQAO> tree = Fresh().BuildOperatorTree(FQuery, false, true, nullptr, nullptr);
        return tree->GetFieldSize(FirstColumn(*tree));
    }
    bool IsSelfContained() override {
        TORQSQLUnion& u = Fresh();
        try {
            std::unique_ptr<TORQAO> tree = u.BuildOperatorTree(FQuery, false, true, FOuter, nullptr);
        } catch (const EORQException& e) {
            if (IsResolutionFailure(e.NativeError())) return false;
            throw;
        }
        return u.ConditionsPlaced;
    }

private:
    TORQTable& Result() {
        TORQTable* t = FUnion->GetResultTable();
        if (t == nullptr) RaiseNative(10308, "Nil pointer occured");
        return *t;
    }
    // Building a tree takes the select list's expressions: every question is asked of a
    // statement parsed afresh.
    TORQSQLUnion& Fresh() {
        if (!FUsed) {
            FUsed = true;
            return *FUnion;
        }
        const int32_t saved = FLexer.GetTokenPosition();
        FLexer.SetTokenPosition(FStart);
        try {
            FProbe = std::make_unique<TORQSQLUnion>(FLexer, FQuery);
        } catch (...) {
            FLexer.SetTokenPosition(saved);
            throw;
        }
        FLexer.SetTokenPosition(saved);
        FProbe->IsSubquery = true;
        return *FProbe;
    }
    static int32_t FirstColumn(TORQAO& Tree) {
        if (Tree.GetProjection().Count() > 0) return Tree.GetProjection()[0];
        for (int32_t i = 0; i < Tree.GetColumnCount(); ++i)
            if (!Tree.Column(i).Hidden) return i;
        RaiseNative(20246, "Subquery must have only one result field, but subquery's FieldCount=0");
    }
    static std::string FirstBaseFieldName(TORQCursor& C) {
        if (C.ProjectedFieldDefs.GetCount() > 0) {
            const TORQFieldDef* d = C.ProjectedFieldDefs.GetItem(0);
            if (d->BaseFieldNo >= 0 && d->BaseFieldNo < C.FieldDefs.GetCount())
                return C.FieldDefs.GetItem(d->BaseFieldNo)->Name;
            return d->Name;
        }
        if (C.FieldDefs.GetCount() == 0) RaiseNative(10308, "Nil pointer occured");
        return C.FieldDefs.GetItem(0)->Name;
    }

    TORQLexer& FLexer;
    int32_t FStart;
    TORQQuery* FQuery;
    TORQAO* FOuter;
    std::unique_ptr<TORQSQLUnion> FUnion;
    std::unique_ptr<TORQSQLUnion> FProbe;
    bool FUsed = false;
};

}  // namespace

void InstallSubqueryFactory() {
    SetSubqueryFactory([](TORQLexer& Lexer, TORQQuery* Query, TORQAO* OuterOperator) {
        return std::unique_ptr<TORQSubqueryStatement>(std::make_unique<TORQSQLSubquery>(Lexer, Query, OuterOperator));
    });
}

}  // namespace orq
