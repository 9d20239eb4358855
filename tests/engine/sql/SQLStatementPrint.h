// A compact printer of parsed queries for tests: set operations as NAME[ALL,CORR(by)]{left;
// right}, a SELECT as its clauses, plain items as [t.]f, computed ones as (tree) and
// repeated ones as dup(tree), references as [MEMORY ][db:]t[ AS a][ PW 'p'], joins as
// KIND[N]{left; right[ ON cond][ USING(a,b)]}, derived tables in parentheses.
#pragma once

#include <string>
#include <vector>

#include "ExprParseUtil.h"
#include "engine/sql/ORQSQLSelect.h"

namespace sqlprint {

using namespace orq;

inline std::string Join(const std::vector<std::string>& Parts, const char* Separator = ",") {
    std::string s;
    for (size_t i = 0; i < Parts.size(); ++i) s += (i ? Separator : "") + Parts[i];
    return s;
}

std::string Print(const TORQSQLUnion& Query);

inline std::string PrintItem(const TORQSelectListItem& Item) {
    std::string s;
    if (Item.IsExpression) {
        s = std::string(Item.IsDuplicate ? "dup(" : "(") + parsetest::Print(Item.Expression->Root()) + ")";
    } else {
        s = Item.TableName.empty() ? Item.FieldName : Item.TableName + "." + Item.FieldName;
        if (Item.AllFields != (Item.FieldName == "*")) s += "!allfields";
    }
    if (!Item.Alias.empty()) s += " AS " + Item.Alias;
    return s;
}

inline std::string PrintSort(const std::vector<TORQSortItem>& Items) {
    std::vector<std::string> parts;
    for (const TORQSortItem& i : Items)
        parts.push_back((i.TableName.empty() ? "" : i.TableName + ".") + i.FieldName + (i.Descending ? " DESC" : ""));
    return Join(parts);
}

inline std::string PrintReference(const TORQTableReference& R) {
    std::string s;
    if (R.Kind == trkJoin) {
        static const char* names[] = {"CROSS", "INNER", "LEFT", "RIGHT", "FULL"};
        s = std::string(names[R.JoinType]) + (R.Natural ? "N" : "") + "{" + PrintReference(*R.Left) + "; " +
            PrintReference(*R.Right);
        if (R.OnCondition) s += " ON " + parsetest::Print(R.OnCondition->Root());
        if (!R.UsingList.empty()) s += " USING(" + Join(R.UsingList) + ")";
        s += "}";
    } else if (R.Kind == trkDerived) {
        s = "(" + Print(*R.Subquery) + ")";
    } else {
        s = std::string(R.InMemory ? "MEMORY " : "") + (R.DatabaseFileName.empty() ? "" : R.DatabaseFileName + ":") +
            R.TableName;
    }
    if (!R.Alias.empty()) s += " AS " + R.Alias;
    if (!R.Password.empty()) s += " PW '" + R.Password + "'";
    return s;
}

inline std::string PrintInto(const TORQSQLCursorCommand& C) {
    if (C.IntoTableName.empty()) return "";
    return std::string(" INTO ") + (C.IntoInMemory ? "MEMORY " : "") + (C.IntoImmediate ? "IMMEDIATE " : "") +
           (C.IntoDatabaseName.empty() ? "" : C.IntoDatabaseName + ":") + C.IntoTableName;
}

inline std::string PrintSelect(const TORQSQLSelect& S) {
    std::string s = "SELECT";
    if (S.Distinct) s += " DISTINCT";
    if (S.TopCount >= 0) s += " TOP " + std::to_string(S.TopCount) + (S.TopStart >= 0 ? "," + std::to_string(S.TopStart) : "");
    if (S.SelectAll) {
        s += " *";
    } else {
        std::vector<std::string> items;
        for (const TORQSelectListItem& i : S.SelectList) items.push_back(PrintItem(i));
        s += " " + Join(items);
    }
    s += PrintInto(S);
    std::vector<std::string> refs;
    for (const auto& r : S.From) refs.push_back(PrintReference(*r));
    s += " FROM " + Join(refs);
    if (S.Where) s += " WHERE " + parsetest::Print(S.Where->Root());
    if (S.GroupBy.Count() > 0) {
        std::vector<std::string> items;
        for (const TORQSelectListItem& i : S.GroupBy.Items) items.push_back(PrintItem(i));
        s += " GROUP BY " + Join(items);
    }
    if (S.Having) s += " HAVING " + parsetest::Print(S.Having->Root());
    if (!S.OrderBy.empty()) s += " ORDER BY " + PrintSort(S.OrderBy);
    return s;
}

inline std::string PrintNode(const TORQQueryExprNode& N) {
    if (N.Kind == qekSelect) return PrintSelect(*N.Select);
    static const char* names[] = {"", "UNION", "EXCEPT", "INTERSECT"};
    std::string s = names[N.Kind];
    std::vector<std::string> flags;
    if (N.All) flags.push_back("ALL");
    if (N.Corresponding)
        flags.push_back(N.CorrespondingBy.empty() ? "CORR" : "CORR(" + Join(N.CorrespondingBy) + ")");
    if (!flags.empty()) s += "[" + Join(flags) + "]";
    return s + "{" + PrintNode(*N.Left) + "; " + PrintNode(*N.Right) + "}";
}

inline std::string Print(const TORQSQLUnion& Query) {
    std::string s = PrintNode(*Query.Root);
    if (!Query.OrderBy.empty()) s += " / ORDER BY " + PrintSort(Query.OrderBy);
    if (!Query.IntoTableName.empty()) s += " /" + PrintInto(Query);
    return s;
}

}  // namespace sqlprint
