// Aggregates over a small row fixture, CAST, CASE and COALESCE, MIMETOBIN, and the
// subquery node run through a scripted statement.
#include <gtest/gtest.h>

#include <functional>

#include "../foundation/ExpectNative.h"
#include "ExprTestUtil.h"
#include "engine/sql/ORQExprNodesExt.h"
#include "engine/sql/ORQLexer.h"
#include "engine/sql/ORQSQLSelect.h"

using namespace orq;
using namespace exprtest;

namespace {

// One column X of the given type; rows are fed one by one.
struct AggregateFixture {
    TestAO ao;
    explicit AggregateFixture(uint8_t type) : ao({{"T", "X", type, 10}}, true) {}

    std::unique_ptr<TORQExprNodeAggregated> Make(uint8_t op, bool distinct = false) {
        std::unique_ptr<TORQExprNodeAggregated> n;
        if (op == doCountStar) n = std::make_unique<TORQExprNodeAggregated>(op);
        else n = std::make_unique<TORQExprNodeAggregated>(op, FieldRef("X"), distinct ? 1 : 0);
        n->BindToOperators(&ao, nullptr, nullptr);
        n->ResetAggregate();
        return n;
    }
    // Rows given by a setter each; a null setter is a Null row.
    void Feed(TORQExprNode& n, const std::vector<std::function<void(TORQVariant&)>>& rows) {
        for (const auto& set : rows) {
            ao.At(0).Clear(0);
            if (set) set(ao.At(0));
            n.AccumulateAggregate();
        }
    }
};

std::function<void(TORQVariant&)> I(int32_t v) {
    return [v](TORQVariant& x) { x.SetAsInteger(v); };
}
std::function<void(TORQVariant&)> S(std::string v) {
    return [v](TORQVariant& x) { x.SetAsString(v); };
}
const std::function<void(TORQVariant&)> N;

}  // namespace

TEST(ExprAggregate, EmptyAndAllNullGroups) {
    for (int rows : {0, 3}) {
        AggregateFixture fx(aftInteger);
        for (uint8_t op : {doSum, doAvg, doMin, doMax, doCount, doCountStar}) {
            auto n = fx.Make(op);
            fx.Feed(*n, std::vector<std::function<void(TORQVariant&)>>(static_cast<std::size_t>(rows), N));
            TORQVariant& v = n->GetValue();
            if (op == doCount || op == doCountStar) {
                ASSERT_FALSE(v.IsNull());
                EXPECT_EQ(v.DataType(), bdtInteger);
                EXPECT_EQ(v.GetAsInteger(), op == doCountStar ? rows : 0) << DataOperatorName(op);
            } else {
                EXPECT_TRUE(v.IsNull()) << DataOperatorName(op) << " over " << rows << " Null rows";
            }
        }
    }
}

TEST(ExprAggregate, ValuesAndTypes) {
    AggregateFixture fx(aftInteger);
    auto avg = fx.Make(doAvg);
    fx.Feed(*avg, {I(1), I(2)});
    EXPECT_EQ(avg->GetValue().DataType(), bdtDouble);
    EXPECT_EQ(avg->GetValue().GetAsDouble(), 1.5);
    EXPECT_EQ(avg->GetValue().GetAsDouble(), 1.5);  // reading again leaves the sum alone
    EXPECT_EQ(avg->GetDataType(), aftDouble);

    // SUM of integers adds up in 64 bits.
    auto sum = fx.Make(doSum);
    fx.Feed(*sum, {I(2147483647), N, I(2147483647), I(2)});
    EXPECT_EQ(sum->GetValue().DataType(), bdtLargeInt);
    EXPECT_EQ(sum->GetValue().GetAsLargeInt(), 4294967296LL);
    EXPECT_EQ(sum->GetDataType(), aftLargeInt);

    AggregateFixture small(aftSmallInt);
    auto sumSmall = small.Make(doSum);
    small.Feed(*sumSmall, {[](TORQVariant& x) { x.SetAsSmallInt(30000); }, [](TORQVariant& x) { x.SetAsSmallInt(30000); }});
    EXPECT_EQ(sumSmall->GetDataType(), aftLargeInt);
    EXPECT_EQ(sumSmall->GetValue().GetAsLargeInt(), 60000);

    AggregateFixture dbl(aftDouble);
    auto sumFloat = dbl.Make(doSum);
    dbl.Feed(*sumFloat, {[](TORQVariant& x) { x.SetAsDouble(0.25); }, [](TORQVariant& x) { x.SetAsDouble(0.5); }});
    EXPECT_EQ(sumFloat->GetDataType(), aftDouble);
    EXPECT_EQ(sumFloat->GetValue().DataType(), bdtDouble);
    EXPECT_EQ(sumFloat->GetValue().GetAsDouble(), 0.75);
    EXPECT_EQ(fx.Make(doCount)->GetDataType(), aftInteger);
    EXPECT_EQ(fx.Make(doMin)->GetDataType(), aftInteger);
}

TEST(ExprAggregate, MinMaxIgnoreCaseAndKeepCopies) {
    AggregateFixture fx(aftVarChar);
    auto mn = fx.Make(doMin);
    fx.Feed(*mn, {S("b"), N, S("A"), S("c")});
    auto mx = fx.Make(doMax);
    fx.Feed(*mx, {S("a"), S("B")});
    // The row's value has been replaced (and its block freed) since: the aggregates
    // hold copies.
    fx.ao.At(0).SetAsString("zzz");
    EXPECT_EQ(Text(mn->GetValue()), "A");
    EXPECT_EQ(Text(mx->GetValue()), "B");
    EXPECT_EQ(mn->GetDataSize(), 10);
    auto sum = fx.Make(doSum);
    fx.Feed(*sum, {N});
    ExpectNative([&] { fx.Feed(*sum, {S("x")}); }, 30132,
                 "Not numeric argument in numeric operator 'SUM' - Native error: 30132");
    auto avg = fx.Make(doAvg);
    ExpectNative([&] { fx.Feed(*avg, {S("x")}); }, 30133,
                 "Not numeric argument in numeric operator 'AVG' - Native error: 30133");
    TORQExprNodeAggregated bad(doAdd, Int(1), 0);
    ExpectNative([&] { bad.AccumulateAggregate(); }, 30134, "Unknown operator: '+' - Native error: 30134");
}

TEST(ExprAggregate, DistinctAccumulatesEachValueOnce) {
    AggregateFixture fx(aftInteger);
    const std::vector<std::function<void(TORQVariant&)>> rows = {I(1), I(1), I(2), N, I(2), I(3)};
    struct Case {
        uint8_t op;
        bool distinct;
        const char* expected;
    } cases[] = {
        {doCount, true, "3"}, {doCount, false, "5"}, {doSum, true, "6"}, {doSum, false, "9"},
        {doAvg, true, "2"},   {doAvg, false, "1.8"}, {doMax, true, "3"},
    };
    for (const Case& c : cases) {
        auto n = fx.Make(c.op, c.distinct);
        fx.Feed(*n, rows);
        EXPECT_EQ(Text(n->GetValue()), c.expected) << DataOperatorName(c.op) << " distinct " << c.distinct;
        // A new group forgets what the last one saw.
        n->ResetAggregate();
        fx.Feed(*n, {I(1)});
        EXPECT_EQ(Text(n->GetValue()), "1") << DataOperatorName(c.op);
    }
    // Distinct text compares exactly: 'a' and 'A' are two values.
    AggregateFixture text(aftVarChar);
    auto n = text.Make(doCount, true);
    text.Feed(*n, {S("a"), S("A"), S("a")});
    EXPECT_EQ(n->GetValue().GetAsInteger(), 2);
}

TEST(ExprAggregate, ProtocolThroughTrees) {
    AggregateFixture fx(aftInteger);
    auto count = std::make_unique<TORQExprNodeAggregated>(doCountStar);
    auto* countPtr = count.get();
    auto sum = std::make_unique<TORQExprNodeAggregated>(doSum, FieldRef("X"), 0);
    // COUNT(*) * 10 + SUM(X): reset and accumulate reach the nested aggregates.
    auto tree = Arith(doAdd, Arith(doMultiply, std::move(count), Int(10)), std::move(sum));
    tree->BindToOperators(&fx.ao, nullptr, nullptr);
    EXPECT_TRUE(tree->ContainsAggregate());
    EXPECT_FALSE(Arith(doAdd, Int(1), Int(2))->ContainsAggregate());
    EXPECT_TRUE(countPtr->IsCountStar());
    tree->ResetAggregate();
    fx.Feed(*tree, {I(4), I(5)});
    EXPECT_EQ(Text(tree->GetValue()), "29");
    tree->ResetAggregate();
    countPtr->SetAggregateCount(7);
    EXPECT_EQ(countPtr->GetValue().GetAsInteger(), 7);

    TestAO plain({{"T", "X", aftInteger, 0}});
    EXPECT_FALSE(fx.Make(doSum)->CanEvaluateOn(&plain, nullptr, 0, nullptr));
    EXPECT_TRUE(fx.Make(doSum)->CanEvaluateOn(&fx.ao, nullptr, 0, nullptr));
    EXPECT_TRUE(fx.Make(doSum)->UsesOnlyFields("NOTHING"));
}

namespace {

TORQExprNodePtr Cast(TORQExprNodePtr operand, uint8_t type, int32_t length = -1) {
    return std::make_unique<TORQExprNodeCast>(std::move(operand), length >= 0 ? Int(length) : nullptr, type);
}

std::unique_ptr<TORQExprNodeConst> Typed(uint8_t baseType) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.Clear(baseType);
    return n;
}

}  // namespace

TEST(ExprCast, ValuesLengthsAndErrors) {
    EXPECT_EQ(Text(Cast(Str("abcdef"), aftVarChar, 3)->GetValue()), "abc");
    EXPECT_EQ(Text(Cast(Str("abc"), aftVarChar, 3)->GetValue()), "abc");
    EXPECT_EQ(Text(Cast(Int(42), aftVarChar)->GetValue()), "42");
    EXPECT_EQ(Cast(Str("42"), aftInteger)->GetValue().GetAsInteger(), 42);
    EXPECT_EQ(Cast(Str("42"), aftInteger)->GetValue().DataType(), bdtInteger);
    auto null = Cast(Null(), aftVarChar);
    EXPECT_TRUE(null->GetValue().IsNull());
    EXPECT_EQ(null->GetValue().DataType(), bdtVarChar);
    // Without a length a text is cut at 4096 characters.
    EXPECT_EQ(Cast(Str(std::string(5000, 'x')), aftVarChar)->GetValue().GetStringLength(), 4096);
    // A cut wide text stays wide.
    auto wide = Cast(Wide(u"\u0391\u0392\u0393"), aftWideVarChar, 2);
    EXPECT_EQ(wide->GetValue().DataType(), bdtWideVarChar);
    EXPECT_EQ(wide->GetValue().GetAsWideString(), u"\u0391\u0392");
    EXPECT_THROW(Cast(Str("abc"), aftInteger)->GetValue(), EORQException);
    EXPECT_EQ(Cast(Int(1), aftDouble)->GetDataType(), aftDouble);
}

TEST(ExprCast, SizeTable) {
    struct Case {
        uint8_t operandAdvanced;
        int32_t size;
    } cases[] = {
        {aftShortInt, 4},  {aftAutoIncShortInt, 4}, {aftSmallInt, 6},  {aftInteger, 11}, {aftAutoInc, 11},
        {aftLargeInt, 20}, {aftByte, 3},            {aftWord, 5},      {aftCardinal, 10}, {aftAutoIncCardinal, 10},
        {aftSingle, 26},   {aftExtended, 26},       {aftBoolean, 5},   {aftCurrency, 21}, {aftDate, 26},
        {aftTimeStamp, 26}, {aftMemo, 4096},        {aftWideMemo, 4096}, {aftGuid, 38},
    };
    TestAO ao({});
    for (const Case& c : cases) {
        ao.Fields = {{"T", "F", c.operandAdvanced, 0}};
        ao.Row.clear();
        ao.Row.push_back(std::make_unique<TORQVariant>());
        auto n = Cast(FieldRef("F"), aftVarChar);
        n->BindToOperators(&ao, nullptr, nullptr);
        EXPECT_EQ(n->GetDataSize(), c.size) << AdvancedFieldTypeName(c.operandAdvanced);
    }
    EXPECT_EQ(Cast(Str("abcde"), aftChar)->GetDataSize(), 5);
    EXPECT_EQ(Cast(Int(1), aftVarChar, 7)->GetDataSize(), 7);
    EXPECT_EQ(Cast(Str("abc"), aftInteger)->GetDataSize(), 0);
    ExpectNative([] { Cast(Typed(0), aftVarChar)->GetDataSize(); }, 30466,
                 "Unsupported data type 'Unknown' - Native error: 30466");
}

namespace {

std::unique_ptr<TORQExprNodeCase> SimpleCase(TORQExprNodePtr operand) {
    return std::make_unique<TORQExprNodeCase>(std::move(operand));
}

std::unique_ptr<TORQExprNodeCase> Coalesce(std::vector<TORQExprNodePtr> args) {
    return std::make_unique<TORQExprNodeCase>(std::move(args));
}

}  // namespace

TEST(ExprCase, SimpleSearchedAndCoalesce) {
    auto a = SimpleCase(Null());
    a->AddWhen(Null());
    a->AddThen(Int(1));
    EXPECT_EQ(Text(a->GetValue()), "1");  // Null equals Null here

    auto b = SimpleCase(Str("a"));
    b->AddWhen(Str("A"));
    b->AddThen(Int(1));
    EXPECT_EQ(Text(b->GetValue()), "1");  // case is ignored

    auto c = SimpleCase(Int(2));
    c->AddWhen(Int(1));
    c->AddThen(Str("one"));
    c->AddWhen(Int(2));
    c->AddThen(Str("two"));
    c->AddWhen(Int(2));
    c->AddThen(Str("again"));
    EXPECT_EQ(Text(c->GetValue()), "two");

    auto d = SimpleCase(Int(3));
    d->AddWhen(Int(1));
    d->AddThen(Str("one"));
    EXPECT_TRUE(d->GetValue().IsNull());
    d->SetElse(Str("other"));
    EXPECT_EQ(Text(d->GetValue()), "other");

    auto s = std::make_unique<TORQExprNodeCase>();
    s->AddWhen(Cmp(doEqual, Int(1), Int(2)));
    s->AddThen(Str("a"));
    s->AddWhen(Cmp(doEqual, Int(1), Int(1)));
    s->AddThen(Str("b"));
    EXPECT_EQ(Text(s->GetValue()), "b");

    // A Null WHEN condition fails.
    auto n = std::make_unique<TORQExprNodeCase>();
    n->AddWhen(NullBool());
    n->AddThen(Int(1));
    ExpectNative([&] { n->GetValue(); }, 30016, "Value is Null - Native error: 30016");
    auto raw = std::make_unique<TORQExprNodeCase>();
    raw->AddWhen(Cmp(doEqual, Null(), Int(1)));  // a raw comparison is false, never Null
    raw->AddThen(Int(1));
    raw->SetElse(Int(2));
    EXPECT_EQ(Text(raw->GetValue()), "2");

    EXPECT_TRUE(Coalesce(List(Null(), Null()))->GetValue().IsNull());
    EXPECT_EQ(Text(Coalesce(List(Null(), Int(2), Int(3)))->GetValue()), "2");
    EXPECT_EQ(Coalesce(List(Null(), Int(2), Dbl(3)))->GetDataType(), aftDouble);
}

TEST(ExprCase, MismatchingBranchesAreCastOnce) {
    auto c = std::make_unique<TORQExprNodeCase>();
    c->AddWhen(Bool(true));
    c->AddThen(Int(12));
    c->SetElse(Str("abc"));
    EXPECT_EQ(c->GetDataType(), aftVarChar);
    EXPECT_EQ(c->GetDataSize(), 11);  // the INTEGER branch as VARCHAR
    EXPECT_NE(dynamic_cast<TORQExprNodeCast*>(c->ThenList[0]), nullptr);
    EXPECT_EQ(c->ElseNode->GetDataType(), aftVarChar);
    EXPECT_EQ(dynamic_cast<TORQExprNodeCast*>(c->ElseNode), nullptr);  // already the type
    const int32_t children = c->ChildCount();
    EXPECT_EQ(c->GetDataSize(), 11);
    EXPECT_EQ(c->ChildCount(), children);
    EXPECT_EQ(dynamic_cast<TORQExprNodeCast*>(c->ThenList[0]->Child(0)), nullptr);  // not wrapped twice
    TORQVariant& v = c->GetValue();
    EXPECT_EQ(v.DataType(), bdtVarChar);
    EXPECT_EQ(Text(v), "12");

    auto co = Coalesce(List(Null(), Int(5), Str("xy")));
    EXPECT_EQ(co->GetDataSize(), 11);
    EXPECT_EQ(co->GetValue().DataType(), bdtVarChar);
}

TEST(ExprBlob, MimeToBinDecodesBase64) {
    // RFC 4648 section 10 vectors.
    struct Case {
        const char* text;
        const char* bytes;
    } cases[] = {{"Zg==", "f"}, {"Zm8=", "fo"}, {"Zm9v", "foo"}, {"Zm9vYg==", "foob"}, {"Zm9vYmFy", "foobar"}};
    for (const Case& c : cases) {
        TORQExprNodeBlob n(Str(c.text));
        EXPECT_EQ(Text(n.GetValue()), c.bytes);
        EXPECT_EQ(n.GetValue().DataType(), bdtVarChar);
    }
    EXPECT_TRUE(TORQExprNodeBlob(Null(bdtVarChar)).GetValue().IsNull());
    EXPECT_EQ(TORQExprNodeBlob(Str("x")).GetDataType(), aftVarChar);
}

// ---------------------------------------------------------------------------------
// Subqueries

namespace {

// A scripted query result: rows of integers (kNullCell for Null).
constexpr int32_t kNullCell = INT32_MIN;

struct Script {
    std::vector<std::vector<int32_t>> rows;
    int32_t columns = 1;
    bool selfContained = true;
    bool failExecute = false;
    int parses = 0, executes = 0, locates = 0, alive = 0;
};

class ScriptedStatement : public TORQSubqueryStatement {
public:
    explicit ScriptedStatement(Script& s) : S(s) { ++S.alive; }
    ~ScriptedStatement() override { --S.alive; }
    void Execute(TORQQuery*, TORQCursor*, TORQAO*) override {
        ++S.executes;
        if (S.failExecute) RaiseNative(12345, "scripted failure");
    }
    int32_t FieldCount() override { return S.columns; }
    int64_t RecordCount() override { return static_cast<int64_t>(S.rows.size()); }
    void GetFirstRowValue(int32_t Index, TORQVariant& Value) override { Cell(0, Index, Value); }
    bool Locate(const TORQVariant& Value) override {
        ++S.locates;
        for (std::size_t r = 0; r < S.rows.size(); ++r) {
            TORQVariant v;
            Cell(r, 0, v);
            if (v.Compare(Value, false, false, false) == cmpEqual) return true;
        }
        return false;
    }
    bool FindKey(uint8_t Operator, const TORQVariant& Value) override {
        for (std::size_t r = 0; r < S.rows.size(); ++r) {
            TORQVariant v;
            Cell(r, 0, v);
            const int32_t code = v.Compare(Value, false, false, false);
            bool ok = false;
            switch (Operator) {
                case doEqual: ok = code == 0; break;
                case doNotEqual: ok = code != 0; break;
                case doGreater: ok = code == 2; break;
                case doLess: ok = code == 1; break;
                case doGreaterOrEqual: ok = code != 1; break;
                case doLessOrEqual: ok = code != 2; break;
            }
            if (ok) return true;
        }
        return false;
    }
    uint8_t FirstFieldType() override { return aftInteger; }
    int32_t FirstFieldSize() override { return 0; }
    bool IsSelfContained() override { return S.selfContained; }

private:
    void Cell(std::size_t row, int32_t column, TORQVariant& v) {
        const int32_t x = S.rows.at(row).at(static_cast<std::size_t>(column));
        v.Clear(0);
        if (x == kNullCell) v.Clear(bdtInteger);
        else v.SetAsInteger(x);
    }
    Script& S;
};

struct SubqueryFixture {
    Script script;
    TORQLexer lexer{"SELECT X FROM T", nullptr};
    SubqueryFixture() {
        lexer.NextCommand();
        SetSubqueryFactory([this](TORQLexer& lx, TORQQuery*, TORQAO*) {
            ++script.parses;
            TToken t;
            while (lx.GetNextToken(t)) {
            }
            return std::make_unique<ScriptedStatement>(script);
        });
    }
    ~SubqueryFixture() { InstallSubqueryFactory(); }
    std::unique_ptr<TORQExprNodeSubquery> Make(bool scalar = true, bool singleRow = false) {
        lexer.SetTokenPosition(0);
        return std::make_unique<TORQExprNodeSubquery>(scalar ? 1 : 0, lexer, nullptr, singleRow ? 1 : 0);
    }
};

}  // namespace

TEST(ExprSubquery, ScalarRowsAndShapes) {
    SubqueryFixture fx;
    fx.script.rows = {{7}, {8}};
    auto n = fx.Make();
    const int32_t endPosition = fx.lexer.GetTokenPosition();
    EXPECT_EQ(n->IsCorrelated, 0);
    EXPECT_EQ(Text(n->GetValue()), "7");
    EXPECT_EQ(Text(n->GetValue()), "7");
    EXPECT_EQ(fx.script.executes, 1);  // uncorrelated: runs once, keeps its result
    EXPECT_EQ(fx.lexer.GetTokenPosition(), endPosition);
    EXPECT_EQ(n->GetDataType(), aftInteger);
    EXPECT_EQ(fx.lexer.GetTokenPosition(), endPosition);  // re-parsing leaves the lexer alone

    fx.script.rows = {};
    auto empty = fx.Make();
    EXPECT_TRUE(empty->GetValue().IsNull());
    auto single = fx.Make(true, true);
    ExpectNative([&] { single->GetValue(); }, 20249,
                 "Subquery must have one row, but it contains 0 rows - Native error: 20249");
    fx.script.rows = {{1}, {2}};
    auto many = fx.Make(true, true);
    ExpectNative([&] { many->GetValue(); }, 20247, "Subquery must have only one row - Native error: 20247");
    fx.script.columns = 2;
    fx.script.rows = {{1, 2}};
    auto wide = fx.Make(true, false);
    ExpectNative([&] { wide->GetValue(); }, 20246,
                 "Subquery must have only one result field, but subquery's FieldCount=2 - Native error: 20246");
    auto row = fx.Make(false, true);
    row->FetchSubqueryRow();
    ASSERT_NE(row->GetSubqueryValue(1), nullptr);
    EXPECT_EQ(Text(*row->GetSubqueryValue(0)), "1");
    EXPECT_EQ(Text(*row->GetSubqueryValue(1)), "2");
    EXPECT_EQ(row->GetSubqueryValue(2), nullptr);
}

TEST(ExprSubquery, InExistsAndQuantifiedComparisons) {
    SubqueryFixture fx;
    fx.script.rows = {{1}, {2}, {kNullCell}};
    auto in = Logic(doIn, List(Int(2), fx.Make(true, false)));
    EXPECT_EQ(Truth(*in), Maybe(true));
    EXPECT_EQ(Truth(*in), Maybe(true));
    EXPECT_EQ(fx.script.locates, 1);  // the last look-up is remembered
    auto notIn = Logic(doNotIn, List(Int(5), fx.Make(true, false)));
    EXPECT_EQ(Truth(*notIn), Maybe(true));
    auto nullIn = Logic(doIn, List(Null(), fx.Make(true, false)));
    EXPECT_EQ(Truth(*nullIn), Maybe(true));  // a locate finds the Null row
    EXPECT_EQ(Truth(*Logic(doExists, List(fx.Make(false, false)))), Maybe(true));

    fx.script.rows = {{1}, {2}};
    auto quantified = [&](uint8_t op, uint8_t quantifier, int32_t x) {
        auto c = std::make_unique<TORQExprNodeComparison>(op, 0, 0, Int(x), fx.Make(true, false), 1, quantifier);
        return Truth(*c);
    };
    EXPECT_EQ(quantified(doGreater, 1, 3), Maybe(true));   // 3 > ALL (1, 2)
    EXPECT_EQ(quantified(doGreater, 1, 2), Maybe(false));
    EXPECT_EQ(quantified(doLessOrEqual, 1, 1), Maybe(true));
    EXPECT_EQ(quantified(doNotEqual, 1, 2), Maybe(false));
    EXPECT_EQ(quantified(doEqual, 2, 2), Maybe(true));     // 2 = ANY (1, 2)
    EXPECT_EQ(quantified(doGreater, 2, 1), Maybe(false));
    EXPECT_EQ(quantified(doGreater, 2, 2), Maybe(true));
    EXPECT_EQ(quantified(doLess, 2, 2), Maybe(false));
    fx.script.rows = {};
    EXPECT_EQ(quantified(doGreater, 1, 0), Maybe(true));   // ALL over nothing
    EXPECT_EQ(quantified(doEqual, 2, 0), Maybe(false));    // ANY over nothing
    EXPECT_EQ(Truth(*Logic(doExists, List(fx.Make(false, false)))), Maybe(false));
}

TEST(ExprSubquery, CorrelatedRunsEveryTimeAndFreesItsStatement) {
    SubqueryFixture fx;
    fx.script.rows = {{4}};
    fx.script.selfContained = false;
    auto n = fx.Make();
    EXPECT_EQ(n->IsCorrelated, 1);
    EXPECT_EQ(Text(n->GetValue()), "4");
    EXPECT_EQ(Text(n->GetValue()), "4");
    EXPECT_EQ(fx.script.executes, 2);
    EXPECT_EQ(fx.script.alive, 0);
    fx.script.failExecute = true;
    ExpectNative([&] { n->GetValue(); }, 12345);
    EXPECT_EQ(fx.script.alive, 0);
    // An uncorrelated one keeps nothing of a failed run either.
    fx.script.selfContained = true;
    auto u = fx.Make();
    ExpectNative([&] { u->GetValue(); }, 12345);
    EXPECT_EQ(fx.script.alive, 0);
    fx.script.failExecute = false;
    EXPECT_EQ(Text(u->GetValue()), "4");
    EXPECT_EQ(fx.script.alive, 1);
}
