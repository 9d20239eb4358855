// The operator tests' common ground: small engine tables made and filled through the
// table component (MEMORY or a disk file), operator trees over them, conditions parsed
// with no query, the rows of a result table as text, and a nested-loop model of the
// same rows under the SQL layer's Null rules.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "../access/ORQDataSetTestFixture.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQTable.h"
#include "engine/sql/ORQExpression.h"
#include "engine/sql/ORQLexer.h"
#include "engine/sql/ORQRelationalAlgebra.h"

namespace ratest {

using namespace orq;
using dstest::EngineTest;
using dstest::NativeCode;
using dstest::Raised;
using dstest::TEngineEnv;
using dstest::TEngineKind;

using Cell = std::optional<std::string>;
using Row = std::vector<Cell>;
using Rows = std::vector<Row>;

inline const Cell Null = std::nullopt;

struct TColumn {
    std::string Name;
    uint8_t Type;
    int32_t Size = 0;
};

struct TData {
    std::vector<TColumn> Columns;
    Rows Data;
};

// Creates Name in the environment's database with Data's columns and rows.
inline void MakeTable(TEngineEnv& Env, const std::string& Name, const TData& D) {
    TORQTable t;
    t.SetDatabaseName(Env.Name());
    t.SetTableName(Name);
    for (const TColumn& c : D.Columns) {
        TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
        f->Name = c.Name;
        f->DataType = c.Type;
        f->Size = c.Size;
    }
    t.CreateTable();
    t.Open();
    for (const Row& r : D.Data) {
        t.Append();
        for (std::size_t i = 0; i < r.size(); ++i)
            if (r[i]) t.Fields()[static_cast<int>(i)]->SetAsString(*r[i]);
        t.Post();
    }
    t.Close();
}

inline std::unique_ptr<TORQAOTable> Base(TEngineEnv& Env, const std::string& Name, const std::string& Alias = "") {
    auto t = std::make_unique<TORQTable>();
    t->SetDatabaseName(Env.Name());
    t->SetTableName(Name);
    return std::make_unique<TORQAOTable>(Name, std::move(t), Env.Db.get(), Alias);
}

// A search condition parsed over a lexer of its own, with no query.
inline std::unique_ptr<TORQExpression> Condition(const std::string& Text) {
    TORQLexer lexer(Text, nullptr);
    lexer.NextCommand();
    auto e = std::make_unique<TORQExpression>();
    e->ParseSearchCondition(nullptr, lexer);
    return e;
}

inline std::unique_ptr<TORQExpression> Value(const std::string& Text) {
    TORQLexer lexer(Text, nullptr);
    lexer.NextCommand();
    auto e = std::make_unique<TORQExpression>();
    e->ParseValueExpression(nullptr, lexer);
    return e;
}

inline TORQSelectListItem Field(const std::string& Table, const std::string& Name, const std::string& Alias = "") {
    TORQSelectListItem i;
    i.TableName = Table;
    i.FieldName = Name;
    i.Alias = Alias;
    i.AllFields = Name == "*";
    return i;
}

inline TORQSelectListItem Computed(const std::string& Text, const std::string& Alias = "") {
    TORQSelectListItem i;
    i.IsExpression = true;
    i.Expression = Value(Text);
    i.Alias = Alias;
    return i;
}

inline TORQFields Keys(std::initializer_list<std::pair<std::string, std::string>> Items) {
    TORQFields f;
    for (const auto& [t, n] : Items) f.Add(Field(t, n));
    return f;
}

// Every column of the root visible and projected, then opened as the result set.
inline void OpenAll(TORQAO& Root) {
    std::vector<TORQSelectListItem> none;
    Root.SetSelectList(none, -1, false);
    Root.Open(true);
}

inline void OpenWith(TORQAO& Root, std::vector<TORQSelectListItem>& Items, bool Distinct = false) {
    Root.SetSelectList(Items, static_cast<int32_t>(Items.size()) - 1, Distinct);
    Root.Open(true);
}

// The rows of a dataset in its order, each field's text or Null.
inline Rows Read(classlib::TDataSet& T) {
    Rows out;
    for (T.First(); !T.Eof(); T.Next()) {
        Row r;
        for (int i = 0; i < T.Fields().Count(); ++i) {
            classlib::TField* f = T.Fields()[i];
            r.push_back(f->IsNull() ? Null : Cell(f->AsString()));
        }
        out.push_back(r);
    }
    return out;
}

inline Rows Result(TORQAO& Root) { return Read(*Root.GetResultTable()); }

inline Rows Sorted(Rows R) {
    std::sort(R.begin(), R.end());
    return R;
}

inline std::string Show(const Rows& R) {
    std::string s;
    for (const Row& r : R) {
        s += "(";
        for (std::size_t i = 0; i < r.size(); ++i) s += (i ? "," : "") + (r[i] ? *r[i] : std::string("NULL"));
        s += ")\n";
    }
    return s;
}

// The field names the result dataset shows.
inline std::vector<std::string> Names(TORQAO& Root) {
    std::vector<std::string> n;
    for (int i = 0; i < Root.GetResultTable()->Fields().Count(); ++i)
        n.push_back(Root.GetResultTable()->Fields()[i]->FieldName());
    return n;
}

// How many tables of the TEMP database are result tables.
inline int ResultTablesLeft() {
    TORQDatabase temp(nullptr);
    temp.SetDatabaseName("TEMP");
    temp.Open();
    std::vector<std::string> names;
    temp.GetTableNames(names);
    int n = 0;
    for (const std::string& s : names)
        if (s.rfind("TEMPORARY_TABLE_", 0) == 0) ++n;
    temp.Close();
    return n;
}

inline Row Concat(const Row& A, const Row& B) {
    Row r = A;
    r.insert(r.end(), B.begin(), B.end());
    return r;
}

inline Row Nulls(std::size_t N) { return Row(N, Null); }

// Null never equals anything in a join key.
inline bool KeysEqual(const Row& L, const Row& R, const std::vector<std::pair<int, int>>& Pairs) {
    for (const auto& [a, b] : Pairs)
        if (!L[static_cast<size_t>(a)] || !R[static_cast<size_t>(b)] || *L[static_cast<size_t>(a)] != *R[static_cast<size_t>(b)])
            return false;
    return true;
}

using Predicate = std::function<bool(const Row&, const Row&)>;

// The join of two row lists by brute force: kind 0 CROSS ... 4 FULL.
inline Rows ModelJoin(const TData& L, const TData& R, uint8_t Kind, const std::vector<std::pair<int, int>>& Pairs,
                      const Predicate& On) {
    Rows out;
    std::vector<bool> rightMatched(R.Data.size(), false);
    for (const Row& l : L.Data) {
        bool matched = false;
        for (std::size_t j = 0; j < R.Data.size(); ++j) {
            const Row& r = R.Data[j];
            const bool ok = Kind == 0 || (KeysEqual(l, r, Pairs) && (!On || On(l, r)));
            if (!ok) continue;
            matched = true;
            rightMatched[j] = true;
            out.push_back(Concat(l, r));
        }
        if (!matched && (Kind == 2 || Kind == 4)) out.push_back(Concat(l, Nulls(R.Columns.size())));
    }
    if (Kind == 3 || Kind == 4)
        for (std::size_t j = 0; j < R.Data.size(); ++j)
            if (!rightMatched[j]) out.push_back(Concat(Nulls(L.Columns.size()), R.Data[j]));
    return out;
}

inline int AsInt(const Cell& C) { return std::stoi(*C); }

}  // namespace ratest
