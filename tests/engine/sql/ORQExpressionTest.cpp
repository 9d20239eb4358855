// TORQExpression's entry points over a cursor's records: the receiver's filter texts
// against a brute-force check, Locate and key conditions, evaluation with Null,
// defaults through the seam, tree surgery on a two-operator double, and the index-scan
// trio with its detached nodes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>
#include <random>

#include <set>

#include "../foundation/ExpectNative.h"
#include "../storage/MemTableFixture.h"
#include "ExprParseUtil.h"
#include "engine/foundation/ORQCollation.h"
#include "engine/foundation/ORQContainers.h"
#include "engine/storage/ORQDefinitions.h"
#include "engine/storage/ORQMemRecordManager.h"

using namespace orq;
using namespace parsetest;

namespace {

// The receiver's message log (the fields its filters read).
std::vector<LayoutCursor::Column> LogLayout() {
    return {{"UTCRECEIVED", aftDateTime, 0}, {"FREQ", aftInteger, 0},  {"IDLETTER", aftVarChar, 1},
            {"NAVAREA", aftSmallInt, 0},     {"STATION", aftVarChar, 75}, {"DIST", aftInteger, 0}};
}
enum { fUtc, fFreq, fLetter, fArea, fStation, fDist };

struct LogRow {
    std::optional<double> utc;
    std::optional<int32_t> freq;
    std::optional<std::string> letter;
    std::optional<int32_t> area;
    std::optional<std::string> station;
    std::optional<int32_t> dist;
};

constexpr double Jan1 = 45292.0;                        // 2024-01-01
constexpr double Jan15 = 45306.0;                       // 2024-01-15
constexpr double Jan31 = 45322.0;                       // 2024-01-31
constexpr double Jan31End = 45322.0 + 86399.0 / 86400;  // 2024-01-31 23:59:59

// Seeded rows with Nulls in every field, edge values among them.
std::vector<LogRow> RandomRows(int count) {
    std::mt19937 rng(29);
    auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const double stamps[] = {Jan1 - 1, Jan1, Jan1 + 0.5, Jan15 - 0.25, Jan15, Jan31End, Jan31End + 0.0001, Jan1 + 40};
    const char* letters[] = {"A", "B", "a"};
    const int32_t areas[] = {0, 3, 1};
    const char* stations[] = {"UNID", "ABC Station", "AB*", "XY"};
    const int32_t dists[] = {100, 499, 500, 900};
    std::vector<LogRow> rows;
    for (int i = 0; i < count; ++i) {
        LogRow r;
        if (pick(8)) r.utc = stamps[pick(8)];
        if (pick(8)) r.freq = pick(2) ? 518 : 490;
        if (pick(8)) r.letter = letters[pick(3)];
        if (pick(8)) r.area = areas[pick(3)];
        if (pick(8)) r.station = stations[pick(4)];
        if (pick(8)) r.dist = dists[pick(4)];
        rows.push_back(r);
    }
    return rows;
}

void Fill(LayoutCursor& c, uint8_t* buffer, const LogRow& r) {
    c.Set(buffer, fUtc, r.utc ? TS(*r.utc) : nullptr);
    c.Set(buffer, fFreq, r.freq ? I(*r.freq) : nullptr);
    c.Set(buffer, fLetter, r.letter ? S(*r.letter) : nullptr);
    c.Set(buffer, fArea, r.area ? I(*r.area) : nullptr);
    c.Set(buffer, fStation, r.station ? S(*r.station) : nullptr);
    c.Set(buffer, fDist, r.dist ? I(*r.dist) : nullptr);
}

// The comparison rules the filters run under: against a number Null is false (raw);
// against a text or a date text Null orders before every value.
bool Eq(const std::optional<int32_t>& v, int32_t x) { return v && *v == x; }
bool Lt(const std::optional<int32_t>& v, int32_t x) { return v && *v < x; }
bool TextEq(const std::optional<std::string>& v, const std::string& x) { return v && *v == x; }
// NAVAREA='3' compares a SMALLINT with a text: Null orders first and is never equal.
bool AreaEq(const std::optional<int32_t>& v, int32_t x) { return v && *v == x; }
bool UtcGe(const std::optional<double>& v, double x) { return v && *v >= x; }
bool UtcLe(const std::optional<double>& v, double x) { return !v || *v <= x; }
bool UtcLt(const std::optional<double>& v, double x) { return !v || *v < x; }
bool NotUnid(const std::optional<std::string>& v) { return !v || *v != "UNID"; }

struct FilterCase {
    std::string text;
    std::function<bool(const LogRow&)> expected;
    bool ci = false;
    bool pc = true;  // the dataset's default
};

std::vector<FilterCase> ReceiverFilters() {
    return {
        // The log filters by letter, NAVAREA and frequency.
        {"IDLETTER = 'A' AND NAVAREA='3'", [](const LogRow& r) { return TextEq(r.letter, "A") && AreaEq(r.area, 3); }},
        {"FREQ=518 AND NAVAREA='3' AND IDLETTER = 'A'",
         [](const LogRow& r) { return Eq(r.freq, 518) && AreaEq(r.area, 3) && TextEq(r.letter, "A"); }},
        {"IDLETTER = 'A'", [](const LogRow& r) { return TextEq(r.letter, "A"); }},
        {"FREQ=518 AND IDLETTER = 'A'", [](const LogRow& r) { return Eq(r.freq, 518) && TextEq(r.letter, "A"); }},
        {"FREQ=518 AND NAVAREA='3'", [](const LogRow& r) { return Eq(r.freq, 518) && AreaEq(r.area, 3); }},
        {"FREQ=518", [](const LogRow& r) { return Eq(r.freq, 518); }},
        {"NAVAREA='3'", [](const LogRow& r) { return AreaEq(r.area, 3); }},
        {"NAVAREA='0'", [](const LogRow& r) { return AreaEq(r.area, 0); }},
        // Station and period, period.
        {"FREQ=518 AND NAVAREA=3 AND IDLETTER='A' AND UTCRECEIVED>='2024-01-01' AND "
         "UTCRECEIVED<='2024-01-31 23:59:59'",
         [](const LogRow& r) {
             return Eq(r.freq, 518) && Eq(r.area, 3) && TextEq(r.letter, "A") && UtcGe(r.utc, Jan1) &&
                    UtcLe(r.utc, Jan31End);
         }},
        {"UTCRECEIVED>='2024-01-01' AND UTCRECEIVED<='2024-01-31 23:59:59'",
         [](const LogRow& r) { return UtcGe(r.utc, Jan1) && UtcLe(r.utc, Jan31End); }},
        // The four deletions.
        {"UTCRECEIVED < '2024-01-15' AND STATION<>'UNID'",
         [](const LogRow& r) { return UtcLt(r.utc, Jan15) && NotUnid(r.station); }},
        {"STATION='UNID'", [](const LogRow& r) { return TextEq(r.station, "UNID"); }},
        {"DIST < 500 AND STATION<>'UNID'", [](const LogRow& r) { return Lt(r.dist, 500) && NotUnid(r.station); }},
        {"UTCRECEIVED < '2024-01-15' AND DIST < 500 AND STATION<>'UNID'",
         [](const LogRow& r) { return UtcLt(r.utc, Jan15) && Lt(r.dist, 500) && NotUnid(r.station); }},
        // Partial compare and case.
        {"STATION='AB*'", [](const LogRow& r) { return r.station && r.station->rfind("AB", 0) == 0; }},
        {"STATION='AB*'", [](const LogRow& r) { return TextEq(r.station, "AB*"); }, false, false},
        {"IDLETTER='a'", [](const LogRow& r) { return TextEq(r.letter, "a"); }},
        {"IDLETTER='a'", [](const LogRow& r) { return r.letter && AnsiUpperCase(*r.letter) == "A"; }, true},
    };
}

}  // namespace

TEST(Expression, ReceiverFiltersSelectWhatBruteForceSelects) {
    LayoutCursor c(LogLayout());
    const std::vector<LogRow> rows = RandomRows(400);
    std::vector<uint8_t*> buffers;
    for (const LogRow& r : rows) {
        buffers.push_back(c.NewBuffer());
        Fill(c, buffers.back(), r);
    }
    for (const FilterCase& f : ReceiverFilters()) {
        SCOPED_TRACE(f.text + (f.ci ? " (ignoring case)" : "") + (f.pc ? "" : " (no partial compare)"));
        TORQExpression e;
        e.ParseFilter(&c, f.text, f.ci, f.pc);
        int selected = 0, expected = 0;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            // Storage's record filter: the candidate's buffer on side 0, then the answer.
            e.SetRecordBuffer(buffers[i], 0);
            const bool got = e.GetBooleanValue();
            const bool want = f.expected(rows[i]);
            EXPECT_EQ(got, want) << "row " << i;
            selected += got;
            expected += want;
        }
        EXPECT_EQ(selected, expected);
        EXPECT_GT(expected, 0);  // every filter selects something of the fixture
        EXPECT_LT(expected, static_cast<int>(rows.size()));
    }
}

TEST(Expression, ReceiverFilterPinsNullAndConversionRules) {
    LayoutCursor c(LogLayout());
    uint8_t* r = c.CurrentRecord;
    Fill(c, r, LogRow{Jan1, 518, "A", 3, std::nullopt, 100});
    auto holds = [&](const char* text) {
        TORQExpression e;
        e.ParseFilter(&c, text, false, true);
        e.SetRecordBuffer(r, 0);
        return e.GetBooleanValue();
    };
    EXPECT_TRUE(holds("STATION<>'UNID'"));          // a Null station is not UNID
    EXPECT_FALSE(holds("STATION='UNID'"));
    EXPECT_TRUE(holds("NAVAREA='3'"));              // text against a SMALLINT
    EXPECT_TRUE(holds("UTCRECEIVED>='2024-01-01'"));  // a date text against a date-time
    EXPECT_FALSE(holds("UTCRECEIVED>'2024-01-01'"));
    EXPECT_TRUE(holds("UTCRECEIVED<='2024-01-01 00:00:00'"));
    EXPECT_FALSE(holds("DIST > 500"));
    // The NULL keyword is an untyped Null compared without raw mode: it orders first.
    EXPECT_TRUE(holds("DIST > NULL"));
    EXPECT_FALSE(holds("DIST = NULL"));
    // Field references bind while the filter is parsed: an unknown name fails there.
    TORQExpression e;
    ExpectNative([&] { e.ParseFilter(&c, "NAVAREA=3 AND NOSUCHFIELD=1", false, true); }, 30115,
                 "Field 'NOSUCHFIELD' not found - Native error: 30115");
    EXPECT_EQ(e.Root(), nullptr);
}

TEST(Expression, GetValueKeepsOrDropsNull) {
    LayoutCursor c(LogLayout());
    Fill(c, c.CurrentRecord, LogRow{});
    TORQExpression e;
    // A raw comparison with a Null field is false, not Null.
    e.ParseFilter(&c, "FREQ = 518", false, false);
    e.SetRecordBuffer(c.CurrentRecord, 0);
    EXPECT_FALSE(e.GetValue(true)->IsNull());
    EXPECT_FALSE(e.GetBooleanValue());
    // A value root that reads Null: kept, or false in place; the buffer is not touched.
    e.ParseFilter(&c, "FREQ", false, false);
    e.SetRecordBuffer(c.CurrentRecord, 0);
    ASSERT_NE(e.GetValue(true), nullptr);
    EXPECT_TRUE(e.GetValue(true)->IsNull());
    EXPECT_EQ(e.GetValue(false)->DataType(), bdtBoolean);
    EXPECT_FALSE(e.GetValue(false)->GetAsBoolean());
    EXPECT_FALSE(e.GetBooleanValue());
    EXPECT_TRUE(c.IsFieldNull(c.CurrentRecord, fFreq));
    EXPECT_TRUE(e.GetValue(true)->IsNull());  // the next evaluation reads Null again

    TORQExpression empty;
    EXPECT_EQ(empty.GetValue(false), nullptr);
    ExpectNative([&] { empty.GetBooleanValue(); }, 30110, "Value is Null - Native error: 30110");
    EXPECT_TRUE(empty.IsEmptyCondition());
    empty.AppendNode(new TORQExprNodeBoolean(doAnd));
    EXPECT_TRUE(empty.IsEmptyCondition());
}

TEST(Expression, LocateAndKeyConditions) {
    LayoutCursor c(LogLayout());
    uint8_t* a = c.NewBuffer();
    uint8_t* b = c.NewBuffer();
    Fill(c, a, LogRow{Jan1 + 0.5, 518, "A", 3, std::nullopt, 100});
    Fill(c, b, LogRow{Jan1, 490, "B", 3, "XY", 100});
    auto finds = [&](TORQExpression& e, uint8_t* record) {
        e.SetRecordBuffer(record, 0);
        return e.GetBooleanValue();
    };

    classlib::Variant pair = classlib::Variant::CreateArray({{0, 1}}, classlib::varVariant);
    pair.PutElement({0}, classlib::Variant::FromInteger(3));
    pair.PutElement({1}, classlib::Variant::FromString("A"));
    TORQExpression e;
    e.BuildLocateCondition(&c, " navarea ;idletter", pair, false, false);
    EXPECT_EQ(Print(e.Root()), "AND(=(NAVAREA,3),=(IDLETTER,'A'))");
    EXPECT_TRUE(finds(e, a));
    EXPECT_FALSE(finds(e, b));
    // Case and partial key reach the comparisons.
    pair.PutElement({1}, classlib::Variant::FromString("a"));
    e.BuildLocateCondition(&c, "NAVAREA;IDLETTER", pair, true, true);
    EXPECT_EQ(Print(e.Root()), "AND(={ip}(NAVAREA,3),={ip}(IDLETTER,'a'))");
    EXPECT_TRUE(finds(e, a));
    // A one-element array is still an AND; array bounds need not start at 0.
    classlib::Variant one = classlib::Variant::CreateArray({{1, 1}}, classlib::varVariant);
    one.PutElement({1}, classlib::Variant::FromInteger(490));
    e.BuildLocateCondition(&c, "FREQ", one, false, false);
    EXPECT_EQ(Print(e.Root()), "AND(=(FREQ,490))");
    EXPECT_TRUE(finds(e, b));

    const classlib::Variant three = classlib::Variant::FromInteger(3);
    ExpectNative([&] { e.BuildLocateCondition(&c, "NAVAREA;IDLETTER", three, false, false); },
                 30112, "Count of FieldNames (2) not equal counts of KeyValues (1) - Native error: 30112");
    ExpectNative([&] { e.BuildLocateCondition(&c, "FREQ;;", pair, false, false); }, 30112,
                 "Count of FieldNames (3) not equal counts of KeyValues (2) - Native error: 30112");

    // Null finds Null and nothing else.
    e.BuildLocateCondition(&c, "STATION", classlib::Variant::Null(), false, false);
    EXPECT_TRUE(finds(e, a));
    EXPECT_FALSE(finds(e, b));
    // A number for a date-time field is a date-time.
    e.BuildLocateCondition(&c, "UTCRECEIVED", classlib::Variant::FromDouble(Jan1 + 0.5), false, false);
    EXPECT_TRUE(finds(e, a));
    EXPECT_FALSE(finds(e, b));
    e.BuildLocateCondition(&c, "UTCRECEIVED", classlib::Variant::FromInteger(static_cast<int32_t>(Jan1)), false, false);
    EXPECT_FALSE(finds(e, a));
    EXPECT_TRUE(finds(e, b));

    // The key condition: one comparison with the given operator, Null as a value.
    TORQVariant v;
    v.SetAsInteger(500);
    e.BuildFieldEqualsCondition(&c, "FREQ", doGreater, v);
    EXPECT_EQ(Print(e.Root()), ">(FREQ,500)");
    EXPECT_TRUE(finds(e, a));
    EXPECT_FALSE(finds(e, b));
    TORQVariant null;
    null.Clear(bdtVarChar);
    e.BuildFieldEqualsCondition(&c, "STATION", doEqual, null);
    EXPECT_TRUE(finds(e, a));
    EXPECT_FALSE(finds(e, b));
}

TEST(Expression, DefaultsThroughTheSeam) {
    TORQExpression e;
    auto isDefault = [&](const char* text) {
        TORQVariant v;
        v.SetAsString(text);
        return e.IsDefaultValueExpression(v);
    };
    EXPECT_TRUE(isDefault("NOW"));
    EXPECT_TRUE(isDefault("1+1"));
    EXPECT_TRUE(isDefault("'abc'"));
    EXPECT_TRUE(isDefault("CURRENT_DATE"));
    EXPECT_FALSE(isDefault("ABC"));  // a field reference
    EXPECT_FALSE(isDefault("5"));    // evaluates to its own text
    EXPECT_FALSE(isDefault("1 2 3"));
    EXPECT_FALSE(isDefault("SQRT(-1)"));  // evaluation fails: a literal
    TORQVariant number;
    number.SetAsInteger(5);
    EXPECT_FALSE(e.IsDefaultValueExpression(number));
    TORQVariant nullText;
    nullText.Clear(bdtVarChar);
    EXPECT_FALSE(e.IsDefaultValueExpression(nullText));

    // Storage judges and parses a field's default through the installed factory.
    InstallExpressionFactory();
    struct Uninstall {
        ~Uninstall() { SetExpressionFactory(nullptr); }
    } uninstall;
    TORQFieldDefs defs;
    TORQFieldDef* sum = defs.Add();
    sum->Name = "N";
    sum->SetDataType(aftInteger, 0);
    sum->DefaultValue.SetAsString("1+1");
    sum->RebuildDefaultExpression();
    ASSERT_NE(sum->DefaultExpression, nullptr);
    EXPECT_EQ(sum->DefaultExpression->GetValue(true)->GetAsInteger(), 2);
    TORQFieldDef* now = defs.Add();
    now->Name = "T";
    now->SetDataType(aftDateTime, 0);
    now->DefaultValue.SetAsString("NOW");
    now->RebuildDefaultExpression();
    ASSERT_NE(now->DefaultExpression, nullptr);
    const double before = LocalNow();
    const double got = now->DefaultExpression->GetValue(true)->GetAsDateTime();
    EXPECT_GE(got, before - 1.0 / 86400);
    EXPECT_LE(got, LocalNow() + 1.0 / 86400);
    TORQFieldDef* literal = defs.Add();
    literal->Name = "S";
    literal->SetDataType(aftVarChar, 10);
    literal->DefaultValue.SetAsString("UNID");
    literal->RebuildDefaultExpression();
    EXPECT_EQ(literal->DefaultExpression, nullptr);
}

namespace {

// An operator of the double: named fields, optional inputs, and the conditions it was
// given.
class PushAO : public exprtest::TestAO {
public:
    using TestAO::TestAO;
    TORQAO* LeftInput() const override { return Left; }
    TORQAO* RightInput() const override { return Right; }
    bool IsOuterJoin() const override { return Outer; }
    void AddCondition(std::unique_ptr<TORQExpression> Condition) override { Taken.push_back(std::move(Condition)); }
    std::string TakenText() const {
        std::string s;
        for (const auto& t : Taken) s += (s.empty() ? "" : " ; ") + Print(t->Root());
        return s;
    }
    TORQAO* Left = nullptr;
    TORQAO* Right = nullptr;
    bool Outer = false;
    std::vector<std::unique_ptr<TORQExpression>> Taken;
};

std::unique_ptr<TORQExpression> Parsed(const std::string& text) {
    auto e = std::make_unique<TORQExpression>();
    e->ParseFilter(nullptr, text, false, false);
    return e;
}

}  // namespace

TEST(Expression, AddConditionAndFlattening) {
    auto a = Parsed("A=1");
    auto bc = Parsed("B=2 AND C=3");
    a->AddCondition(*bc);
    EXPECT_EQ(Print(a->Root()), "AND(={r}(A,1),={r}(B,2),={r}(C,3))");
    EXPECT_EQ(bc->Root(), nullptr);
    // Into an empty expression the other root moves whole.
    TORQExpression empty;
    empty.AddCondition(*a);
    EXPECT_EQ(Print(empty.Root()), "AND(={r}(A,1),={r}(B,2),={r}(C,3))");
    // Nested ANDs built by hand flatten level by level.
    auto inner = std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0, exprtest::FieldRef("X"));
    inner->AddChild(
        std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0, exprtest::FieldRef("Y"), exprtest::FieldRef("Z")));
    auto root = std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0, std::move(inner), exprtest::FieldRef("W"));
    auto e = TORQExpression::CreateWithRoot(std::move(root));
    e->FlattenConjunctions();
    EXPECT_EQ(Print(e->Root()), "AND(W,X,Y,Z)");
}

TEST(Expression, PushDownAndJoinExtractionOnTwoOperators) {
    using F = exprtest::TestAO::Field;
    PushAO left({F{"T1", "A", aftInteger, 0}, F{"T1", "B", aftInteger, 0}});
    PushAO right({F{"T2", "C", aftInteger, 0}});
    PushAO join({F{"T1", "A", aftInteger, 0}, F{"T1", "B", aftInteger, 0}, F{"T2", "C", aftInteger, 0}});
    join.Left = &left;
    join.Right = &right;

    auto e = Parsed("A=1 AND C=2 AND A=C AND B=3");
    e->PushDownConditions(&join, nullptr, 0, true, nullptr);
    EXPECT_EQ(left.TakenText(), "AND(={r}(A,1),={r}(B,3))");
    EXPECT_EQ(right.TakenText(), "={r}(C,2)");
    EXPECT_EQ(join.TakenText(), "={r}(A,C)");
    EXPECT_EQ(e->Root(), nullptr);

    // Below an outer join nothing moves down; what no operator takes stays.
    PushAO outer({F{"T1", "A", aftInteger, 0}, F{"T2", "C", aftInteger, 0}});
    outer.Left = &left;
    outer.Right = &right;
    outer.Outer = true;
    auto f = Parsed("A=1 AND Q=5");
    f->PushDownConditions(&outer, nullptr, 0, true, nullptr);
    EXPECT_EQ(outer.TakenText(), "={r}(A,1)");
    EXPECT_EQ(left.Taken.size(), 1u);
    EXPECT_EQ(Print(f->Root()), "AND(={r}(Q,5))");
    // A single root moves whole.
    auto g = Parsed("B=7");
    g->PushDownConditions(&left, nullptr, 0, false, nullptr);
    EXPECT_EQ(g->Root(), nullptr);
    EXPECT_EQ(left.Taken.size(), 2u);

    // Join keys: first operands to Fields, second to Fields2; the rest stays.
    std::vector<TORQSelectListItem> fields, fields2;
    auto j = Parsed("A=C AND A=1 AND T2.C = T1.B");
    EXPECT_EQ(j->ExtractJoinFields(&left, &right, fields, fields2), 2);
    ASSERT_EQ(fields.size(), 2u);
    EXPECT_EQ(fields[0].FieldName, "A");
    EXPECT_EQ(fields2[0].FieldName, "C");
    EXPECT_EQ(fields[1].TableName + "." + fields[1].FieldName, "T2.C");
    EXPECT_EQ(fields2[1].TableName + "." + fields2[1].FieldName, "T1.B");
    EXPECT_EQ(Print(j->Root()), "AND(={r}(A,1))");
    auto single = Parsed("A = C");
    EXPECT_EQ(single->ExtractJoinFields(&left, &right, fields, fields2), 1);
    EXPECT_EQ(single->Root(), nullptr);
    auto none = Parsed("A < C");
    EXPECT_EQ(none->ExtractJoinFields(&left, &right, fields, fields2), 0);
    EXPECT_NE(none->Root(), nullptr);
}

TEST(Expression, ScanTrioCollectsExtendsAndDetaches) {
    LayoutCursor c(LogLayout());
    TORQIndexDefs defs;
    TORQIndexDef* byArea = defs.Add();
    byArea->ObjectID = 7;
    byArea->SetColumnCount(2);
    byArea->GetColumn(0).FieldName = "NAVAREA";
    byArea->GetColumn(1).FieldName = "FREQ";
    TORQIndexDef* byDist = defs.Add();
    byDist->ObjectID = 9;
    byDist->SetColumnCount(1);
    byDist->GetColumn(0).FieldName = "DIST";

    TORQExpression e;
    e.ParseFilter(&c, "FREQ=518 AND NAVAREA=3 AND STATION<>'UNID' AND DIST IS NULL OR FREQ=1", false, false);
    // OR is not looked into.
    TORQScanSearchConditionArray none;
    e.CollectScanConditions(defs, none, false);
    EXPECT_EQ(none.Count(), 0);

    e.ParseFilter(&c, "FREQ=518 AND NAVAREA=3 AND STATION<>'UNID' AND DIST IS NULL", false, false);
    TORQScanSearchConditionArray conditions;
    e.CollectScanConditions(defs, conditions, false);
    ASSERT_EQ(conditions.Count(), 2);  // NAVAREA on column 0 of 7, DIST IS NULL on 9
    EXPECT_EQ(conditions.Items(0).IndexID, 7);
    EXPECT_EQ(conditions.Items(0).Operator, scoEqual);
    EXPECT_EQ(conditions.Items(1).IndexID, 9);
    int32_t columns = 0;
    EXPECT_EQ(e.FindIndexDef(defs, 7, columns), byArea);
    EXPECT_EQ(columns, 2);
    EXPECT_EQ(e.FindIndexDef(defs, 8, columns), nullptr);

    // The second column after the equality: FREQ=518 extends the NAVAREA condition.
    TORQScanSearchCondition& area = conditions.Items(0);
    EXPECT_TRUE(e.CanUseIndex(area, *byArea));
    EXPECT_EQ(area.FieldCount, 2);
    int32_t key = 0;
    std::memcpy(&key, area.Key + c.FieldDefs.GetItem(fFreq)->MemoryOffset, 4);
    EXPECT_EQ(key, 518);
    EXPECT_FALSE(e.CanUseIndex(area, *byArea));  // every column covered

    // Detaching takes the registered nodes out of the tree without freeing them;
    // appending puts them back.
    ASSERT_EQ(area.Nodes.size(), 2u);
    e.RemoveScanConditionNodes(conditions, 0, 1);
    EXPECT_EQ(Print(e.Root()), "AND(<>(STATION,'UNID'))");
    EXPECT_EQ(e.ParkedNodeCount(), 3);
    for (TORQExprNode* n : area.Nodes) e.AppendNode(n);
    EXPECT_EQ(Print(e.Root()), "AND(<>(STATION,'UNID'),={r}(NAVAREA,3),={r}(FREQ,518))");
    EXPECT_EQ(e.ParkedNodeCount(), 1);
    // A node still parked when the expression goes is freed once, with it (the
    // sanitizers see a leak or a double free).

    // A root that is itself the scanned node leaves the expression empty.
    TORQExpression single;
    single.ParseFilter(&c, "DIST IS NULL", false, false);
    TORQScanSearchConditionArray one;
    single.CollectScanConditions(defs, one, false);
    ASSERT_EQ(one.Count(), 1);
    single.RemoveScanConditionNodes(one, 0, 0);
    EXPECT_EQ(single.Root(), nullptr);
    EXPECT_TRUE(single.IsEmptyCondition());
    single.AppendNode(one.Items(0).Nodes[0]);
    EXPECT_EQ(Print(single.Root()), "ISNULL(DIST)");
}

TEST(Expression, TreeQuestions) {
    auto f = Parsed("T.A");
    EXPECT_TRUE(f->IsField());
    std::string table, field;
    f->GetFieldName(table, field);
    EXPECT_EQ(table + "." + field, "T.A");
    auto c = Parsed("A = 1");
    EXPECT_FALSE(c->IsField());
    EXPECT_TRUE(c->HasFieldOperand());
    ExpectNative([&] { c->GetFieldName(table, field); }, 30198, "Node is not a field - Native error: 30198");
    EXPECT_FALSE(Parsed("1 = 1")->HasFieldOperand());
    EXPECT_TRUE(Parsed("A = 1 AND B = 2")->UsesOnlyFields("A;B"));
    EXPECT_FALSE(Parsed("A = 1 AND B = 2")->UsesOnlyFields("A"));
    TORQExpression empty;
    EXPECT_TRUE(empty.UsesOnlyFields("A"));
    EXPECT_FALSE(empty.ContainsAggregate());
    TORQExpression count;
    TORQLexer lexer("COUNT(*)", nullptr);
    lexer.NextCommand();
    count.ParseValueExpression(nullptr, lexer);
    EXPECT_TRUE(count.ContainsAggregate());
    EXPECT_TRUE(count.IsCountStar());
    EXPECT_EQ(count.GetDataType(), aftInteger);
}

namespace {

using ExpressionOnMemoryTable = orq::test::MemTableTest;

void AddLogFields(TORQFieldDefs& fields) {
    for (const LayoutCursor::Column& col : LogLayout()) {
        TORQFieldDef* f = fields.Add();
        f->Name = col.name;
        f->SetDataType(col.type, col.size);
    }
    TORQFieldDef* id = fields.Add();
    id->Name = "ID";
    id->SetDataType(aftInteger, 0);
}
constexpr int32_t fId = 6;

void Put(TORQCursor& c, int32_t no, const std::function<void(TORQVariant&)>& setter) {
    if (!setter) return;  // the cleared record holds Null
    TORQVariant v;
    setter(v);
    SetBit(c.CurrentRecord, no, false);
    c.SetFieldValue(v, no, c.CurrentRecord, true);
}

}  // namespace

namespace {

// Counts the record reads of a MEMORY table.
class CountingRecords : public TORQMemoryRecordManager {
public:
    using TORQMemoryRecordManager::TORQMemoryRecordManager;
    void ReadRecord(int32_t SessionID, TORQGetRecordRequest& Request) override {
        ++Reads;
        TORQMemoryRecordManager::ReadRecord(SessionID, Request);
    }
    int Reads = 0;
};

struct FactoryInstalled {
    FactoryInstalled() { InstallExpressionFactory(); }
    ~FactoryInstalled() { SetExpressionFactory(nullptr); }
};

void InsertRows(TORQMemoryTableData& t, const std::vector<LogRow>& rows) {
    orq::test::TTestCursor c(t);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        const LogRow& r = rows[i];
        c.Clear();
        Put(c, fUtc, r.utc ? TS(*r.utc) : nullptr);
        Put(c, fFreq, r.freq ? I(*r.freq) : nullptr);
        Put(c, fLetter, r.letter ? S(*r.letter) : nullptr);
        Put(c, fArea, r.area ? I(*r.area) : nullptr);
        Put(c, fStation, r.station ? S(*r.station) : nullptr);
        Put(c, fDist, r.dist ? I(*r.dist) : nullptr);
        Put(c, fId, I(static_cast<int32_t>(i)));
        ASSERT_TRUE(t.InsertRecord(&c));
    }
}

std::set<int64_t> Expected(const std::vector<LogRow>& rows, const std::function<bool(const LogRow&)>& pred) {
    std::set<int64_t> ids;
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (pred(rows[i])) ids.insert(static_cast<int64_t>(i));
    return ids;
}

// The IDs storage's filtered read gives moving forward, then backward; both must agree.
std::set<int64_t> ReadFiltered(TORQTableData& t, orq::test::TTestCursor& c, bool forward) {
    std::set<int64_t> ids;
    if (forward)
        c.ResetToBeginning();
    else
        c.ResetToEnd();
    while (t.GetRecord(&c, forward ? gmNext : gmPrior) == grOK) {
        const bool fresh = ids.insert(c.GetInt(fId)).second;
        EXPECT_TRUE(fresh) << "record " << c.GetInt(fId) << " read twice";
        if (!fresh) break;
    }
    return ids;
}

}  // namespace

TEST_F(ExpressionOnMemoryTable, ReceiverFiltersThroughStorageFilteredRead) {
    FactoryInstalled factory;
    TORQFieldDefs fields;
    AddLogFields(fields);
    TORQConstraintDefs none;
    TORQMemoryTableData& t = MakeTable(fields, none, "NAVTEXLOG");
    const std::vector<LogRow> rows = RandomRows(300);
    InsertRows(t, rows);
    for (const FilterCase& f : ReceiverFilters()) {
        SCOPED_TRACE(f.text + (f.ci ? " (ignoring case)" : "") + (f.pc ? "" : " (no partial compare)"));
        TORQExpression e;
        orq::test::TTestCursor c(t);
        e.ParseFilter(&c, f.text, f.ci, f.pc);
        c.SetFilterExpression(&e);
        const std::set<int64_t> expected = Expected(rows, f.expected);
        EXPECT_EQ(ReadFiltered(t, c, true), expected);
        EXPECT_EQ(ReadFiltered(t, c, false), expected);
        EXPECT_EQ(t.GetRecordCount(&c), static_cast<int64_t>(expected.size()));
        EXPECT_EQ(e.ParkedNodeCount(), 0);
        c.SetFilterExpression(nullptr);
        RecordProperty(f.text + (f.ci ? " [ci]" : "") + (f.pc ? "" : " [no pc]"), static_cast<int>(expected.size()));
    }
    // The Null and conversion rules hold on stored records too: a Null station passes
    // <>'UNID', a text meets a SMALLINT, a date text meets a date-time.
    const struct {
        const char* text;
        std::function<bool(const LogRow&)> expected;
    } pins[] = {{"STATION<>'UNID'", [](const LogRow& r) { return NotUnid(r.station); }},
                {"STATION IS NULL", [](const LogRow& r) { return !r.station; }},
                {"NAVAREA='3'", [](const LogRow& r) { return AreaEq(r.area, 3); }},
                {"UTCRECEIVED>='2024-01-01'", [](const LogRow& r) { return UtcGe(r.utc, Jan1); }}};
    for (const auto& p : pins) {
        SCOPED_TRACE(p.text);
        TORQExpression e;
        orq::test::TTestCursor c(t);
        e.ParseFilter(&c, p.text, false, true);
        c.SetFilterExpression(&e);
        const std::set<int64_t> expected = Expected(rows, p.expected);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(ReadFiltered(t, c, true), expected);
        c.SetFilterExpression(nullptr);
    }
    // A text with leftovers or a second command raises and keeps nothing of the earlier
    // condition: set again as the filter, it passes every record.
    TORQExpression e;
    for (const char* text : {"NAVAREA='3' garbage", "NAVAREA='3'; FREQ=518"}) {
        SCOPED_TRACE(text);
        orq::test::TTestCursor c(t);
        e.ParseFilter(&c, "NAVAREA='3'", false, true);
        c.SetFilterExpression(&e);
        EXPECT_EQ(t.GetRecordCount(&c),
                  static_cast<int64_t>(Expected(rows, [](const LogRow& r) { return AreaEq(r.area, 3); }).size()));
        ExpectNative([&] { e.ParseFilter(&c, text, false, true); }, 20260);
        EXPECT_TRUE(e.IsEmptyCondition());
        c.SetFilterExpression(&e);
        EXPECT_EQ(t.GetRecordCount(&c), static_cast<int64_t>(rows.size()));
        c.SetFilterExpression(nullptr);
    }
}

TEST_F(ExpressionOnMemoryTable, IndexedConditionsReadFewerRecordsAndFallBackToTheScan) {
    FactoryInstalled factory;
    TORQFieldDefs fields;
    AddLogFields(fields);
    TORQConstraintDefs none;
    // The same indexes ascending and descending, and a table without them.
    TORQIndexDefs defs[2];
    for (int descending = 0; descending < 2; ++descending)
        for (const char* column : {"FREQ", "UTCRECEIVED", "STATION", "NAVAREA"}) {
            TORQIndexDef* d = defs[descending].Add();
            d->Name = std::string("I") + column;
            d->SetColumnCount(1);
            d->GetColumn(0).FieldName = column;
            d->GetColumn(0).Descending = static_cast<uint8_t>(descending);
        }
    enum { Ascending, Descending, Plain };
    TORQMemoryTableData* tables[3] = {&MakeTable(fields, none, "ASCENDING", &defs[0]),
                                      &MakeTable(fields, none, "DESCENDING", &defs[1]),
                                      &MakeTable(fields, none, "PLAIN")};
    CountingRecords* counters[3] = {};
    const std::vector<LogRow> rows = RandomRows(600);
    for (int k = 0; k < 3; ++k) {
        auto counting = std::make_unique<CountingRecords>(tables[k]->RecordManager->RecordSize, 1000);
        counters[k] = counting.get();
        tables[k]->RecordManager = std::move(counting);
        InsertRows(*tables[k], rows);
    }

    const struct {
        const char* text;
        std::function<bool(const LogRow&)> expected;
        const char* index;  // the index that serves the condition, or "" for a scan
    } cases[] = {
        {"FREQ=490", [](const LogRow& r) { return Eq(r.freq, 490); }, "IFREQ"},
        {"FREQ=518 AND NAVAREA='3'", [](const LogRow& r) { return Eq(r.freq, 518) && AreaEq(r.area, 3); }, "IFREQ"},
        {"UTCRECEIVED>='2024-01-02' AND UTCRECEIVED<='2024-01-15'",
         [](const LogRow& r) { return UtcGe(r.utc, Jan1 + 1) && UtcLe(r.utc, Jan15); }, "IUTCRECEIVED"},
        {"UTCRECEIVED>'2024-01-31'", [](const LogRow& r) { return r.utc && *r.utc > Jan31; }, "IUTCRECEIVED"},
        // A Null reception time orders first, so the index range below a date holds it.
        {"UTCRECEIVED < '2024-01-01 12:00:00'", [](const LogRow& r) { return UtcLt(r.utc, Jan1 + 0.5); },
         "IUTCRECEIVED"},
        {"NAVAREA='3'", [](const LogRow& r) { return AreaEq(r.area, 3); }, "INAVAREA"},
        {"STATION='UNID' AND DIST < 500", [](const LogRow& r) { return TextEq(r.station, "UNID") && Lt(r.dist, 500); },
         "ISTATION"},
        // Nothing indexed, a negation, a disjunction, a partial compare: the whole table
        // is scanned.
        {"STATION='AB*'", [](const LogRow& r) { return r.station && r.station->rfind("AB", 0) == 0; }, ""},
        {"DIST < 500", [](const LogRow& r) { return Lt(r.dist, 500); }, ""},
        {"FREQ<>518", [](const LogRow& r) { return r.freq && *r.freq != 518; }, ""},
        {"FREQ=490 OR NAVAREA='3'", [](const LogRow& r) { return Eq(r.freq, 490) || AreaEq(r.area, 3); }, ""},
        // A constant an integer key cannot hold exactly (a fraction, beyond the column's
        // range) would look up another key.
        {"FREQ=518.5", [](const LogRow&) { return false; }, ""},
        {"FREQ<518.5", [](const LogRow& r) { return r.freq && *r.freq < 518.5; }, ""},
        {"NAVAREA<100000", [](const LogRow& r) { return r.area.has_value(); }, ""},
        {"NAVAREA>70000", [](const LogRow&) { return false; }, ""},
        {"FREQ>4294967814", [](const LogRow&) { return false; }, ""},
    };
    // Reads of one filtered pass: the count (one sweep) or a step through every match,
    // in physical order or along the cursor's index.
    auto pass = [&](int t, const char* text, const char* order, int forward, const std::set<int64_t>& expected) {
        TORQExpression e;
        orq::test::TTestCursor c(*tables[t]);
        if (*order != 0) {
            c.IndexDefs.Assign(tables[t]->IndexManager->IndexDefs);
            c.SetIndexName(order);
        }
        e.ParseFilter(&c, text, false, true);
        const std::string tree = Print(e.Root());
        c.SetFilterExpression(&e);
        counters[t]->Reads = 0;
        if (forward < 0)
            EXPECT_EQ(tables[t]->GetRecordCount(&c), static_cast<int64_t>(expected.size()));
        else
            EXPECT_EQ(ReadFiltered(*tables[t], c, forward != 0), expected);
        const int reads = counters[t]->Reads;
        // The nodes the index took are back in the tree: none parked, none lost.
        EXPECT_EQ(e.ParkedNodeCount(), 0);
        EXPECT_EQ(Print(e.Root()).size(), tree.size());
        c.SetFilterExpression(nullptr);
        return reads;
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.text);
        const std::set<int64_t> expected = Expected(rows, k.expected);
        const bool served = *k.index != 0;
        const int plainCount = pass(Plain, k.text, "", -1, expected);
        EXPECT_GE(plainCount, static_cast<int>(rows.size()));
        for (int forward : {1, 0}) {
            SCOPED_TRACE(forward ? "forward" : "backward");
            const int plainSteps = pass(Plain, k.text, "", forward, expected);
            for (int t : {Ascending, Descending}) {
                SCOPED_TRACE(t == Ascending ? "ascending keys" : "descending keys");
                const int indexedCount = pass(t, k.text, "", -1, expected);
                if (served)
                    EXPECT_LT(indexedCount, plainCount);
                else
                    EXPECT_EQ(indexedCount, plainCount);
                pass(t, k.text, "", forward, expected);  // the same records in physical order
                if (!served) continue;
                // Along the serving index, fewer records than the scan reads.
                EXPECT_LT(pass(t, k.text, k.index, forward, expected), plainSteps);
            }
        }
    }
}

// A raw comparison is false for a Null operand, while Null keys sort first (last in a
// descending column): a key range made from one must still start above the Nulls, so
// the indexed read, the unindexed read and the record filter give the same records.
TEST_F(ExpressionOnMemoryTable, IndexedReadsAgreeWithTheRecordFilterOnNullKeys) {
    FactoryInstalled factory;
    TORQFieldDefs fields;
    for (const char* name : {"I1", "I2", "ID"}) {
        TORQFieldDef* f = fields.Add();
        f->Name = name;
        f->SetDataType(aftInteger, 0);
    }
    TORQConstraintDefs none;
    struct TIndexed {
        const char* Name;
        std::vector<const char*> Columns;
        bool Descending;
    };
    const TIndexed indexed[] = {{"ASC1", {"I1"}, false},
                                {"DESC1", {"I1"}, true},
                                {"ASC2", {"I1", "I2"}, false},
                                {"DESC2", {"I1", "I2"}, true}};
    std::vector<TORQMemoryTableData*> tables;
    for (const TIndexed& x : indexed) {
        TORQIndexDefs defs;
        TORQIndexDef* d = defs.Add();
        d->Name = std::string("BY_") + x.Name;
        d->SetColumnCount(static_cast<int32_t>(x.Columns.size()));
        for (std::size_t k = 0; k < x.Columns.size(); ++k) {
            d->GetColumn(static_cast<int32_t>(k)).FieldName = x.Columns[k];
            d->GetColumn(static_cast<int32_t>(k)).Descending = x.Descending ? 1 : 0;
        }
        tables.push_back(&MakeTable(fields, none, x.Name, &defs));
    }
    TORQMemoryTableData& plain = MakeTable(fields, none, "PLAIN");
    // 500 rows, I1 in 0..9 and I2 in 0..4, each Null one time in ten.
    std::mt19937 rng(50);
    std::vector<std::pair<std::optional<int32_t>, std::optional<int32_t>>> rows;
    for (int i = 0; i < 500; ++i) {
        std::optional<int32_t> a, b;
        if (rng() % 10 != 0) a = static_cast<int32_t>(rng() % 10);
        if (rng() % 10 != 0) b = static_cast<int32_t>(rng() % 5);
        rows.emplace_back(a, b);
    }
    for (TORQMemoryTableData* t : [&] {
             std::vector<TORQMemoryTableData*> all = tables;
             all.push_back(&plain);
             return all;
         }()) {
        orq::test::TTestCursor c(*t);
        for (std::size_t i = 0; i < rows.size(); ++i) {
            c.Clear();
            if (rows[i].first) c.SetInt(0, *rows[i].first);
            if (rows[i].second) c.SetInt(1, *rows[i].second);
            c.SetInt(2, static_cast<int64_t>(i));
            ASSERT_TRUE(t->InsertRecord(&c));
        }
    }
    // Every operator with the field on either side, raw (a number) and not raw (a text
    // or a Null constant, where Null is the smallest value), alone and with a second
    // column or a bound from the other side.
    std::vector<std::string> texts;
    for (const char* op : {"=", "<>", "<", "<=", ">", ">="}) {
        const std::string o = op;
        const std::string mirrored = o == "<" ? ">" : o == ">" ? "<" : o == "<=" ? ">=" : o == ">=" ? "<=" : o;
        for (const std::string& text : {"I1" + o + "5", "5" + mirrored + "I1", "I1" + o + "'5'",
                                        "'5'" + mirrored + "I1", "I1" + o + "NULL", "I1" + o + "5 AND I2=2",
                                        "I1" + o + "5 AND I1>1"})
            texts.push_back(text);
    }
    for (const char* text : {"I1<5 AND I1<=7", "I1<=0", "I1<0", "I1>=9", "NOT I1<5", "I1<5 AND I2 IS NULL"})
        texts.push_back(text);

    // What the record filter alone accepts: the expression on every record of the table.
    auto filtered = [&](const std::string& text) {
        TORQExpression e;
        orq::test::TTestCursor c(plain);
        e.ParseFilter(&c, text, false, false);
        std::set<int64_t> ids;
        c.ResetToBeginning();
        while (plain.GetRecord(&c, gmNext) == grOK) {
            e.SetRecordBuffer(c.CurrentRecord, 0);
            if (e.GetBooleanValue()) ids.insert(c.GetInt(2));
        }
        return ids;
    };
    // One filtered read: forward, backward or counted, in physical order or along the index.
    auto read = [&](TORQMemoryTableData& t, const std::string& text, bool alongIndex, int mode) {
        TORQExpression e;
        orq::test::TTestCursor c(t);
        if (alongIndex) {
            c.IndexDefs.Assign(t.IndexManager->IndexDefs);
            c.SetIndexName(t.IndexManager->IndexDefs.GetItem(0)->Name);
        }
        e.ParseFilter(&c, text, false, false);
        c.SetFilterExpression(&e);
        std::set<int64_t> ids;
        if (mode < 0) {
            for (int64_t n = t.GetRecordCount(&c); n > 0; --n) ids.insert(-n);
        } else {
            if (mode != 0)
                c.ResetToBeginning();
            else
                c.ResetToEnd();
            while (t.GetRecord(&c, mode != 0 ? gmNext : gmPrior) == grOK)
                if (!ids.insert(c.GetInt(2)).second) break;
        }
        EXPECT_EQ(e.ParkedNodeCount(), 0);
        c.SetFilterExpression(nullptr);
        return ids;
    };
    int failed = 0, runs = 0;
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        const std::set<int64_t> expected = filtered(text);
        EXPECT_EQ(read(plain, text, false, 1), expected) << "unindexed";
        std::set<int64_t> counted;
        for (int64_t n = static_cast<int64_t>(expected.size()); n > 0; --n) counted.insert(-n);
        for (std::size_t k = 0; k < tables.size(); ++k) {
            SCOPED_TRACE(indexed[k].Name);
            for (const bool along : {false, true})
                for (const int mode : {1, 0, -1}) {
                    const std::set<int64_t> got = read(*tables[k], text, along, mode);
                    const std::set<int64_t>& want = mode < 0 ? counted : expected;
                    EXPECT_EQ(got, want) << (along ? "along the index" : "in physical order") << ", "
                                         << (mode < 0 ? "counted" : mode ? "forward" : "backward");
                    ++runs;
                    if (got != want) ++failed;
                }
        }
    }
    std::printf("indexed reads against the record filter: %d of %d wrong over %zu conditions\n", failed, runs,
                texts.size());
}

TEST_F(ExpressionOnMemoryTable, DefaultsAreEvaluatedOnInsert) {
    InstallExpressionFactory();
    struct Uninstall {
        ~Uninstall() { SetExpressionFactory(nullptr); }
    } uninstall;
    TORQFieldDefs fields;
    const struct {
        const char* name;
        uint8_t type;
        int32_t size;
        const char* defaultText;
    } columns[] = {{"ID", aftInteger, 0, nullptr},
                   {"N", aftInteger, 0, "1+1"},
                   {"T", aftDateTime, 0, "NOW"},
                   {"STATION", aftVarChar, 10, "UNID"},
                   {"D", aftInteger, 0, "5"}};
    for (const auto& col : columns) {
        TORQFieldDef* f = fields.Add();
        f->Name = col.name;
        f->SetDataType(col.type, col.size);
        if (col.defaultText != nullptr) {
            f->DefaultValue.SetAsString(col.defaultText);
            f->RebuildDefaultExpression();
        }
    }
    TORQConstraintDefs none;
    TORQMemoryTableData& t = MakeTable(fields, none, "DEFAULTS");
    const TORQFieldDefs& stored = t.FieldManager->FieldDefs;
    EXPECT_NE(stored.GetItem(1)->DefaultExpression, nullptr);
    EXPECT_NE(stored.GetItem(2)->DefaultExpression, nullptr);
    EXPECT_EQ(stored.GetItem(3)->DefaultExpression, nullptr);  // a literal stays literal
    EXPECT_EQ(stored.GetItem(4)->DefaultExpression, nullptr);

    orq::test::TTestCursor c(t);
    c.Clear();
    const double before = LocalNow();
    t.FieldManager->ApplyDefaults(c.CurrentRecord);
    c.SetInt(0, 1);
    SetBit(c.CurrentRecord, 0, false);
    ASSERT_TRUE(t.InsertRecord(&c));
    c.Clear();
    c.ResetToBeginning();
    ASSERT_EQ(t.GetRecord(&c, gmNext), grOK);
    EXPECT_EQ(c.GetInt(0), 1);
    EXPECT_EQ(c.GetInt(1), 2);
    TORQVariant v;
    c.GetFieldValue(v, 2, true);
    ASSERT_FALSE(v.IsNull());
    EXPECT_GE(v.GetAsDateTime(), before - 1.0 / 86400);
    EXPECT_LE(v.GetAsDateTime(), LocalNow() + 1.0 / 86400);
    c.GetFieldValue(v, 3, true);
    EXPECT_EQ(exprtest::Text(v), "UNID");
    EXPECT_EQ(c.GetInt(4), 5);
}

TEST(Expression, BindingAfterTheParse) {
    // Parsed without a cursor, bound later: to a cursor (as the cursor's filter setting
    // does) or to an operator's current row.
    LayoutCursor c(LogLayout());
    Fill(c, c.CurrentRecord, LogRow{Jan1, 518, "A", 3, "XY", 100});
    auto e = Parsed("FREQ = 518 AND STATION <> 'UNID'");
    e->BindFields(&c, nullptr, nullptr);
    e->SetRecordBuffer(c.CurrentRecord, 0);
    EXPECT_TRUE(e->GetBooleanValue());
    uint8_t* other = c.NewBuffer();
    Fill(c, other, LogRow{Jan1, 490, "A", 3, "XY", 100});
    e->SetRecordBuffer(other, 0);
    EXPECT_FALSE(e->GetBooleanValue());

    using F = exprtest::TestAO::Field;
    PushAO op({F{"NAVTEXLOG", "FREQ", aftInteger, 0}, F{"NAVTEXLOG", "STATION", aftVarChar, 75}});
    auto o = Parsed("FREQ = 518 AND STATION <> 'UNID'");
    o->BindToOperators(&op, nullptr, nullptr);
    op.At(0).SetAsInteger(518);
    op.At(1).SetAsString("UNID");
    EXPECT_FALSE(o->GetBooleanValue());
    op.At(1).SetAsString("XY");
    EXPECT_TRUE(o->GetBooleanValue());
    // An empty expression binds to nothing and stays empty.
    TORQExpression empty;
    empty.BindFields(&c, nullptr, nullptr);
    empty.BindToOperators(&op, nullptr, nullptr);
    empty.SetRecordBuffer(c.CurrentRecord, 0);
    EXPECT_TRUE(empty.IsEmptyCondition());
}
