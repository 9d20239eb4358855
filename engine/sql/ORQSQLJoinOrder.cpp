// The operator tree of a FROM list: the order in which its entries are joined.
//
// Each entry of a comma list (a table, a derived table, or an explicit JOIN tree, which
// keeps its own shape) becomes one operator. Conditions of the WHERE that read a single
// entry go down to it first. The entries are then joined left-deep: the first is the
// smallest estimated entry that an equality of the WHERE links to another, and each
// next one is the smallest estimated entry linked to those already joined; a cross
// product is built only when no remaining entry is linked. Equalities between the tree
// so far and the next entry become the join's keys, as in the order of the list.
//
// Rules kept here:
// - The plan changes the order of the joins, never the rows: the root's columns are put
//   back into the order of the FROM list (so a star, the column names made unique and
//   every position read the same as in the unplanned tree).
// - A list whose entries no equality links is built in the order written.
// - Planning reads the operators only (names, the base tables' record counts): it opens,
//   unhides and binds nothing.
#include <algorithm>
#include <atomic>
#include <limits>
#include <numeric>

#include "engine/access/ORQTable.h"
#include "engine/sql/ORQExprNodes.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQRelationalAlgebra.h"
#include "engine/sql/ORQSQLSelect.h"

namespace orq {

namespace {

std::atomic<bool> GPlanned{true};

using TEntries = std::vector<std::unique_ptr<TORQAO>>;

// A rough row count of an entry before anything is opened: a base table's record count,
// a quarter of it under a condition of its own.
double EstimateRows(TORQAO& Op) {
    if (Op.IsBaseTable) {
        TORQTable* t = Op.GetResultTable();
        double n = t != nullptr && t->Active() ? static_cast<double>(t->RecordCount()) : 1000.0;
        if (Op.Condition) n = std::max(1.0, n / 4);
        return n;
    }
    TORQAO* left = Op.LeftInput();
    TORQAO* right = Op.RightInput();
    if (left != nullptr && right != nullptr) {
        const double l = EstimateRows(*left), r = EstimateRows(*right);
        auto* join = dynamic_cast<TORQAOJoin*>(&Op);
        return join != nullptr && join->IsCross ? l * r : std::max(l, r);
    }
    if (left != nullptr) return EstimateRows(*left);
    return 1000.0;
}

// The entry that has the field, -1 when none has it or several do.
int32_t EntryOf(const TEntries& Entries, const TORQExprNodeField& F) {
    int32_t entry = -1;
    for (std::size_t i = 0; i < Entries.size(); ++i) {
        TORQIntegerArray found;
        if (Entries[i]->FindFieldNumbers(F.FieldName, F.TableName, false, true, &found, 0) == 0) continue;
        if (entry >= 0) return -1;
        entry = static_cast<int32_t>(i);
    }
    return entry;
}

// Which entries the WHERE's equalities of two columns link (a symmetric matrix).
std::vector<std::vector<bool>> Links(const TEntries& Entries, TORQExpression* Where) {
    const std::size_t n = Entries.size();
    std::vector<std::vector<bool>> linked(n, std::vector<bool>(n, false));
    TORQExprNode* root = Where != nullptr ? Where->Root() : nullptr;
    if (root == nullptr) return linked;
    auto consider = [&](TORQExprNode* Node) {
        if (Node->Operator != doEqual || Node->ChildCount() != 2 || dynamic_cast<TORQExprNodeComparison*>(Node) == nullptr)
            return;
        auto* a = dynamic_cast<TORQExprNodeField*>(Node->Child(0));
        auto* b = dynamic_cast<TORQExprNodeField*>(Node->Child(1));
        if (a == nullptr || b == nullptr || a->IsOuterReference != 0 || b->IsOuterReference != 0) return;
        const int32_t i = EntryOf(Entries, *a), j = EntryOf(Entries, *b);
        if (i < 0 || j < 0 || i == j) return;
        linked[static_cast<size_t>(i)][static_cast<size_t>(j)] = true;
        linked[static_cast<size_t>(j)][static_cast<size_t>(i)] = true;
    };
    if (root->Operator == doAnd && dynamic_cast<TORQExprNodeBoolean*>(root) != nullptr) {
        for (int32_t k = 0; k < root->ChildCount(); ++k) consider(root->Child(k));
    } else {
        consider(root);
    }
    return linked;
}

// The order in which the entries are joined (indexes into the FROM list).
std::vector<int32_t> PlanOrder(const TEntries& Entries, TORQExpression* Where) {
    const std::size_t n = Entries.size();
    std::vector<int32_t> order(n);
    std::iota(order.begin(), order.end(), 0);
    const std::vector<std::vector<bool>> linked = Links(Entries, Where);
    std::vector<bool> hasLink(n, false);
    bool any = false;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = 0; j < n; ++j)
            if (linked[i][j]) hasLink[i] = any = true;
    if (!any) return order;

    std::vector<double> estimate(n);
    for (std::size_t i = 0; i < n; ++i) estimate[i] = EstimateRows(*Entries[i]);
    std::vector<bool> joined(n, false);
    // The smallest entry among those that pass Test; ties go to the earlier entry.
    auto smallest = [&](auto Test) {
        int32_t best = -1;
        for (std::size_t i = 0; i < n; ++i)
            if (!joined[i] && Test(i) && (best < 0 || estimate[i] < estimate[static_cast<size_t>(best)]))
                best = static_cast<int32_t>(i);
        return best;
    };
    order.clear();
    int32_t next = smallest([&](std::size_t i) { return hasLink[i]; });
    while (next >= 0) {
        joined[static_cast<size_t>(next)] = true;
        order.push_back(next);
        next = smallest([&](std::size_t i) {
            for (int32_t k : order)
                if (linked[i][static_cast<size_t>(k)]) return true;
            return false;
        });
        if (next < 0) next = smallest([](std::size_t) { return true; });
    }
    return order;
}

void MoveItems(std::vector<TORQSelectListItem>& From, TORQFields& To) {
    for (TORQSelectListItem& i : From) To.Add(std::move(i));
    From.clear();
}

// The entry a column of the tree comes from, and its column number there.
std::pair<int32_t, int32_t> ColumnOrigin(const TEntries& Entries, const std::vector<TORQAO*>& Origins, TORQAO& Tree,
                                         int32_t Column) {
    TORQAO* op = &Tree;
    int32_t no = Column;
    for (;;) {
        for (std::size_t e = 0; e < Origins.size(); ++e)
            if (Origins[e] == op) return {static_cast<int32_t>(e), no};
        const TORQFieldLink& c = op->Column(no);
        if (c.SourceOperator == nullptr || c.SourceOperator == op) break;
        op = c.SourceOperator;
        no = c.SourceFieldNo;
    }
    return {static_cast<int32_t>(Entries.size()), Column};
}

}  // namespace

void SetJoinOrderPlanning(bool Planned) { GPlanned = Planned; }
bool JoinOrderPlanning() { return GPlanned; }

std::unique_ptr<TORQAO> TORQSQLSelect::BuildFrom(TBuild& B) {
    TEntries entries;
    for (const std::unique_ptr<TORQTableReference>& r : From) entries.push_back(BuildReference(*r, B));
    if (entries.size() == 1) return std::move(entries[0]);

    std::vector<int32_t> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    if (GPlanned) {
        // Conditions on one entry are that entry's before any join; they also make its
        // estimate smaller.
        if (Where && !Where->IsEmptyCondition())
            for (std::unique_ptr<TORQAO>& e : entries)
                Where->PushDownConditions(e.get(), B.OuterOperator, 0, true, B.OuterCursor);
        order = PlanOrder(entries, Where.get());
    }
    std::vector<TORQAO*> origins;
    for (std::unique_ptr<TORQAO>& e : entries) origins.push_back(e.get());

    std::unique_ptr<TORQAO> tree = std::move(entries[static_cast<size_t>(order[0])]);
    for (std::size_t k = 1; k < order.size(); ++k) {
        std::unique_ptr<TORQAO> next = std::move(entries[static_cast<size_t>(order[k])]);
        std::vector<TORQSelectListItem> a, b;
        const int32_t n = Where ? Where->ExtractJoinFields(tree.get(), next.get(), a, b) : 0;
        TORQFields leftKeys, rightKeys;
        MoveItems(a, leftKeys);
        MoveItems(b, rightKeys);
        tree = std::make_unique<TORQAOJoin>(std::move(tree), nullptr, n > 0 ? &rightKeys : nullptr,
                                            n > 0 ? &leftKeys : nullptr, false, n > 0 ? jkInner : jkCross,
                                            std::move(next));
    }
    if (std::is_sorted(order.begin(), order.end())) return tree;

    // The root's columns back into the order of the list.
    std::vector<std::pair<std::pair<int32_t, int32_t>, int32_t>> keyed;
    for (int32_t i = 0; i < tree->GetColumnCount(); ++i)
        keyed.push_back({ColumnOrigin(entries, origins, *tree, i), i});
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::vector<int32_t> columns;
    for (const auto& k : keyed) columns.push_back(k.second);
    static_cast<TORQAOJoin&>(*tree).ReorderColumns(columns);
    return tree;
}

}  // namespace orq
