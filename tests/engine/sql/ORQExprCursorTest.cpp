// Expression nodes over a storage cursor's record buffers: binding by the cursor's two
// field lists and the outer side, values read in place, the receiver's filter checked
// against a brute-force predicate on random records with Nulls, scan conditions against
// index definitions, and CLOB values read through the table data's BLOB streams.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "../foundation/ExpectNative.h"
#include "ExprTestUtil.h"
#include "engine/foundation/ORQCompressedStream.h"
#include "engine/foundation/ORQMemory.h"
#include "engine/foundation/ORQStreams.h"
#include "engine/sql/ORQExprFunctions.h"
#include "engine/sql/ORQExpression.h"
#include "engine/storage/ORQCursor.h"
#include "engine/storage/ORQTableData.h"

using namespace orq;
using namespace exprtest;

namespace {

using TestCursor = LayoutCursor;

std::function<void(TORQVariant&)> I(int32_t v) {
    return [v](TORQVariant& x) { x.SetAsInteger(v); };
}
std::function<void(TORQVariant&)> S(std::string v) {
    return [v](TORQVariant& x) { x.SetAsString(v); };
}
std::function<void(TORQVariant&)> TS(double v) {
    return [v](TORQVariant& x) { x.SetAsDateTime(v); };
}

// The receiver's message log layout (the fields its filters read).
std::vector<TestCursor::Column> LogColumns() {
    return {{"FREQ", aftInteger, 0}, {"NAVAREA", aftVarChar, 2}, {"IDLETTER", aftChar, 1},
            {"UTCRECEIVED", aftDateTime, 0}, {"MESSAGE", aftVarChar, 40}};
}

std::unique_ptr<TORQExprNodeField> Bound(TestCursor& c, const char* name) {
    return std::make_unique<TORQExprNodeField>(&c, "", name);
}

std::unique_ptr<TORQExprNodeConst> Stamp(double v) {
    auto n = std::make_unique<TORQExprNodeConst>();
    n->Value.SetAsDateTime(v);
    return n;
}

// FREQ = 518 AND NAVAREA = '3' AND IDLETTER = 'A' AND UTCRECEIVED BETWEEN lo AND hi.
TORQExprNodePtr ReceiverFilter(TestCursor& c, double lo, double hi) {
    return Logic(doAnd, List(Cmp(doEqual, Bound(c, "FREQ"), Int(518)), Cmp(doEqual, Bound(c, "NAVAREA"), Str("3")),
                             Cmp(doEqual, Bound(c, "IDLETTER"), Str("A")),
                             Logic(doBetween, List(Bound(c, "UTCRECEIVED"), Stamp(lo), Stamp(hi)))));
}

}  // namespace

TEST(ExprCursor, BindingByFieldListsAndSides) {
    TestCursor c(LogColumns());
    c.Set(c.CurrentRecord, 0, I(518));
    c.Set(c.CurrentRecord, 1, S("3"));
    auto f = Bound(c, "freq");
    EXPECT_EQ(f->Cursor, &c);
    EXPECT_EQ(f->FieldNo, 0);
    EXPECT_EQ(f->GetDataType(), aftInteger);
    EXPECT_EQ(f->RecordBuffer, c.CurrentRecord);
    EXPECT_EQ(f->GetValue().GetAsInteger(), 518);
    EXPECT_EQ(Bound(c, "NAVAREA")->GetDataSize(), 2);

    // The second list: an alias standing for a base field.
    TORQFieldDef* alias = c.ProjectedFieldDefs.Add();
    alias->Name = "AREA";
    alias->BaseFieldNo = 1;
    auto a = Bound(c, "AREA");
    EXPECT_EQ(a->FieldNo, 1);
    EXPECT_EQ(a->GetDataType(), aftVarChar);
    EXPECT_EQ(Text(a->GetValue()), "3");

    ExpectNative([&] { Bound(c, "NOPE"); }, 30115, "Field 'NOPE' not found - Native error: 30115");

    // An outer reference binds to the second cursor and reads the buffer of side 1.
    TestCursor outer({{"LIMIT", aftInteger, 0}});
    outer.Set(outer.CurrentRecord, 0, I(600));
    auto cond = Cmp(doLess, FieldRef("FREQ"), FieldRef("LIMIT"));
    auto* limit = static_cast<TORQExprNodeField*>(cond->Child(1));
    limit->IsOuterReference = 1;
    cond->BindToCursor(&c, nullptr, &outer);
    EXPECT_EQ(limit->Cursor, &outer);
    EXPECT_EQ(Truth(*cond), Maybe(true));
    uint8_t* other = outer.NewBuffer();
    outer.Set(other, 0, I(500));
    cond->SetRecordBuffer(other, 1);
    EXPECT_EQ(Truth(*cond), Maybe(false));
    cond->SetRecordBuffer(c.CurrentRecord, 0);  // side 0 leaves the outer reference alone
    EXPECT_EQ(Truth(*cond), Maybe(false));
    // An outer reference neither side has stays unbound without an error.
    auto lost = FieldRef("GONE");
    lost->IsOuterReference = 1;
    lost->BindToCursor(&c, nullptr, &outer);
    EXPECT_EQ(lost->Cursor, nullptr);
    // A plain reference falls back to the second cursor.
    auto second = FieldRef("LIMIT");
    second->BindToCursor(&c, nullptr, &outer);
    EXPECT_EQ(second->Cursor, &outer);
    // CanEvaluateOn finds a field by name in the cursor as an outer reference.
    auto probe = FieldRef("LIMIT");
    EXPECT_TRUE(probe->CanEvaluateOn(nullptr, nullptr, 0, &outer));
    EXPECT_EQ(probe->IsOuterReference, 1);
}

TEST(ExprCursor, ValuesAreReadInPlace) {
    TestCursor c(LogColumns());
    uint8_t* rec = c.CurrentRecord;
    c.Set(rec, 0, I(518));
    c.Set(rec, 2, S("A"));
    auto f = Bound(c, "FREQ");
    auto cond = Logic(doAnd, List(Cmp(doEqual, std::move(f), Int(518)), Cmp(doEqual, Bound(c, "IDLETTER"), Str("A"))));
    cond->Prepare();
    EXPECT_EQ(Truth(*cond), Maybe(true));
    auto* freq = static_cast<TORQExprNodeField*>(cond->Child(0)->Child(0));
    EXPECT_EQ(freq->GetValue().Data(), rec + c.FieldDefs.GetItem(0)->MemoryOffset);
    EXPECT_TRUE(freq->Value.IsReference());

    // No engine allocation on the evaluation path: with the memory limit at what is in
    // use, any allocation would fail.
    TORQMemoryManager& mm = GlobalMemoryManager();
    const int64_t used = mm.UsedMemory();
    const int64_t limit = mm.MemoryLimit();
    mm.SetMemoryLimit(used);
    bool raised = false;
    Maybe again;
    try {
        const int32_t next = 519;  // the next record's value, written into the same buffer
        std::memcpy(rec + c.FieldDefs.GetItem(0)->MemoryOffset, &next, 4);
        again = Truth(*cond);
    } catch (...) {
        raised = true;
    }
    mm.SetMemoryLimit(limit);
    EXPECT_FALSE(raised);
    EXPECT_EQ(again, Maybe(false));
    EXPECT_EQ(mm.UsedMemory(), used);

    // Setting the null bit makes the field Null, of its own type.
    SetBit(rec, 0, true);
    EXPECT_TRUE(freq->GetValue().IsNull());
    EXPECT_EQ(freq->Value.DataType(), bdtInteger);
    EXPECT_EQ(Truth(*cond), Maybe(false));
}

// A field compared with a constant is answered from the record's bytes; every answer, Null
// and error must be the one the two values' own comparison gives, under every operator and
// flag, and a constant changed between records is the one compared.
TEST(ExprCursor, FieldAgainstConstantAnswersAsTheValuesCompare) {
    TestCursor c({{"SI", aftSmallInt, 0}, {"I", aftInteger, 0}, {"L", aftLargeInt, 0}, {"V", aftVarChar, 6},
                  {"C", aftChar, 2}, {"TS", aftDateTime, 0}, {"D", aftDouble, 0}, {"DT", aftDate, 0}});
    using Setter = std::function<void(TORQVariant&)>;
    const Setter none;
    const std::vector<std::vector<Setter>> values = {
        {I(-5), I(3), I(30), I(518), none},
        {I(518), I(490), I(-1), I(3), none},
        {[](TORQVariant& v) { v.SetAsLargeInt(518); }, [](TORQVariant& v) { v.SetAsLargeInt(1000000000000); },
         [](TORQVariant& v) { v.SetAsLargeInt(-3); }},
        {S("A"), S("a"), S("AB"), S("3"), S("03"), S("\xC4"), S("A\x01"), none},
        {S("A"), S("B "), S("a")},
        {TS(45292.0), TS(45292.5), TS(45300.25), none},
        {[](TORQVariant& v) { v.SetAsDouble(518); }, [](TORQVariant& v) { v.SetAsDouble(3.5); }, none},
        {[](TORQVariant& v) { v.SetAsDate(45292.0); }, [](TORQVariant& v) { v.SetAsDate(45301.0); }}};
    std::vector<uint8_t*> records;
    for (size_t r = 0; r < 8; ++r) {
        uint8_t* rec = c.NewBuffer();
        for (size_t f = 0; f < values.size(); ++f) c.Set(rec, static_cast<int32_t>(f), values[f][r % values[f].size()]);
        records.push_back(rec);
    }
    std::vector<std::function<std::unique_ptr<TORQExprNodeConst>()>> constants = {
        [] { return Int(518); }, [] { return Int(3); }, [] { return Large(-3); }, [] { return Dbl(3.0); },
        [] { return Dbl(518.5); }, [] { return Str("3"); }, [] { return Str("03"); }, [] { return Str("-1"); },
        [] { return Str("A"); }, [] { return Str("a"); }, [] { return Str("AB"); }, [] { return Str("\xE4"); },
        [] { return Str("2024-01-01"); }, [] { return Str("2024-01-01 12:00:00"); }, [] { return Str("abc"); },
        [] { return Stamp(45292.5); }, [] { return Null(bdtInteger); }, [] { return Null(bdtVarChar); },
        [] {
            auto n = std::make_unique<TORQExprNodeConst>();
            n->Value.SetAsSmallInt(30);
            return n;
        }};
    struct Answer {
        Maybe Truth;
        int32_t Error = 0;
        bool operator==(const Answer&) const = default;
    };
    const uint8_t ops[] = {doEqual, doNotEqual, doGreater, doLess, doGreaterOrEqual, doLessOrEqual};
    for (size_t f = 0; f < values.size(); ++f) {
        const std::string name = c.FieldDefs.GetItem(static_cast<int32_t>(f))->Name;
        for (const auto& constant : constants) {
            auto node = std::make_unique<TORQExprNodeComparison>(doEqual, 0, 0, Bound(c, name.c_str()), constant(), 1);
            node->Prepare();
            const TORQVariant& k = node->Child(1)->Value;
            for (uint8_t op : ops)
                for (int flags = 0; flags < 8; ++flags) {
                    node->Operator = op;
                    node->RawCompare = flags & 1;
                    node->IgnoreCase = (flags >> 1) & 1;
                    node->PartialCompare = (flags >> 2) & 1;
                    for (size_t ri = 0; ri < records.size(); ++ri) {
                        uint8_t* rec = records[ri];
                        Answer expected, got;
                        try {
                            TORQVariant v;
                            c.CurrentRecord = rec;
                            c.GetFieldValue(v, static_cast<int32_t>(f), true);
                            const int32_t code = v.Compare(k, flags & 1, (flags >> 1) & 1, (flags >> 2) & 1);
                            switch (op) {
                                case doEqual: expected.Truth = code == cmpEqual; break;
                                case doNotEqual:
                                    expected.Truth = (flags & 1) ? code == cmpLess || code == cmpGreater : code != cmpEqual;
                                    break;
                                case doGreater: expected.Truth = code == cmpGreater; break;
                                case doLess: expected.Truth = code == cmpLess; break;
                                case doGreaterOrEqual: expected.Truth = code == cmpEqual || code == cmpGreater; break;
                                default: expected.Truth = code == cmpEqual || code == cmpLess; break;
                            }
                        } catch (const EORQException& e) {
                            expected.Error = e.NativeError();
                        }
                        try {
                            node->SetRecordBuffer(rec, 0);
                            got.Truth = Truth(*node);
                        } catch (const EORQException& e) {
                            got.Error = e.NativeError();
                        }
                        ASSERT_EQ(got, expected) << name << " " << DataOperatorName(op) << " '" << Text(k)
                                                 << "' flags " << flags << " record "
                                                 << ri;
                    }
                }
        }
    }

    // The constant converted for a date field follows a change of the constant.
    auto after = std::make_unique<TORQExprNodeComparison>(doGreater, 0, 0, Bound(c, "TS"), Str("2024-01-01"), 1);
    after->SetRecordBuffer(records[1], 0);  // 2024-01-01 12:00
    EXPECT_EQ(Truth(*after), Maybe(true));
    static_cast<TORQExprNodeConst*>(after->Child(1))->Value.SetAsString("2024-01-02");
    EXPECT_EQ(Truth(*after), Maybe(false));
    static_cast<TORQExprNodeConst*>(after->Child(1))->Value.SetAsString("2024-01-01 11:59:59");
    EXPECT_EQ(Truth(*after), Maybe(true));
}

// A field reference's text is as long as its characters, not the field's declared
// size: LENGTH gives them, and the value fits a shorter field, through every wrapper.
TEST(ExprCursor, AFieldsTextIsAsLongAsItsCharacters) {
    struct Type {
        const char* sql;  // the field's type as written
        uint8_t type;
        const char* cast;  // CAST target of its own kind
    };
    const Type types[] = {{"CHAR(6)", aftChar, "VARCHAR(20)"},
                          {"VARCHAR(12)", aftVarChar, "VARCHAR(20)"},
                          {"WIDECHAR(6)", aftWideChar, "WIDEVARCHAR(20)"},
                          {"WIDEVARCHAR(12)", aftWideVarChar, "WIDEVARCHAR(20)"}};
    const std::string wrappers[] = {"V1", "V1 || ''", "COALESCE(V1, 'x')", "CASE WHEN 1 = 1 THEN V1 ELSE 'x' END",
                                    "CAST(V1 AS %)", "UPPER(V1)"};
    for (const Type& t : types) {
        const int32_t size = t.type == aftChar || t.type == aftWideChar ? 6 : 12;
        TestCursor c({{"V1", t.type, size}});
        c.Set(c.CurrentRecord, 0, S("ab"));
        // The same kind of field, shorter than the first but long enough for 'ab'.
        TestCursor shorter({{"V2", t.type, 5}});
        for (std::string w : wrappers) {
            if (const size_t at = w.find('%'); at != std::string::npos) w.replace(at, 1, t.cast);
            const std::string where = std::string(t.sql) + ": " + w;
            TORQExpression length;
            length.ParseFilter(&c, "LENGTH(" + w + ")", false, false);
            length.SetRecordBuffer(c.CurrentRecord, 0);
            EXPECT_EQ(length.GetValue(true)->GetAsInteger(), 2) << where;

            TORQExpression value;
            value.ParseFilter(&c, w, false, false);
            value.SetRecordBuffer(c.CurrentRecord, 0);
            TORQVariant v;
            v.Assign(*value.GetValue(true), true);
            try {
                shorter.SetFieldValue(v, 0, shorter.CurrentRecord, true);
                TORQVariant back;
                shorter.GetFieldValue(back, 0, true);
                EXPECT_EQ(Text(back), w == "UPPER(V1)" ? "AB" : "ab") << where;
            } catch (const EORQException& e) {
                ADD_FAILURE() << where << ": " << e.what();
            }
        }
    }
}

// A wide field at an odd offset of the record buffer is read bytewise wherever its text
// is taken: comparison, LIKE, case mapping, conversion.
TEST(ExprCursor, AWideFieldAtAnOddOffset) {
    TestCursor c({{"C", aftChar, 1}, {"WNAME", aftWideVarChar, 10}, {"WFIX", aftWideChar, 4}});
    ASSERT_EQ(c.FieldDefs.GetItem(1)->MemoryOffset % 2, 1) << "the layout must put WNAME at an odd offset";
    c.Set(c.CurrentRecord, 0, S("x"));
    c.Set(c.CurrentRecord, 1, [](TORQVariant& v) { v.SetAsWideString(u"wide\u00E9"); });
    c.Set(c.CurrentRecord, 2, [](TORQVariant& v) { v.SetAsWideString(u"w"); });
    ASSERT_EQ(c.FieldDefs.GetItem(2)->MemoryOffset % 2, 1) << "and WFIX too";
    struct Case {
        const char* filter;
        bool holds;
    };
    const Case cases[] = {
        {"WNAME = 'wide\xE9'", true}, {"WNAME = 'wide'", false}, {"WNAME > 'wid'", true},
        {"WNAME < WFIX", false},      {"WFIX = 'w'", true},      {"WNAME LIKE 'w%'", true},
        {"UPPER(WNAME) = 'WIDE\xC9'", true}, {"LENGTH(WNAME) = 5", true}, {"CAST(WNAME AS VARCHAR(10)) = 'wide\xE9'", true},
        {"WNAME || WFIX = 'wide\xE9w'", true},
    };
    for (const Case& k : cases) {
        TORQExpression e;
        e.ParseFilter(&c, k.filter, false, false);
        e.SetRecordBuffer(c.CurrentRecord, 0);
        EXPECT_EQ(e.GetBooleanValue(), k.holds) << k.filter;
    }
    // A partial compare bounds the wide text by the constant's length.
    TORQExpression partial;
    partial.ParseFilter(&c, "WNAME = 'wi*'", false, true);
    partial.SetRecordBuffer(c.CurrentRecord, 0);
    EXPECT_TRUE(partial.GetBooleanValue());
}

TEST(ExprCursor, ReceiverFilterMatchesBruteForceOnRandomRecords) {
    TestCursor c(LogColumns());
    const double lo = 45000.25, hi = 45003.75;
    auto filter = ReceiverFilter(c, lo, hi);
    auto like = Logic(doLike, List(Bound(c, "MESSAGE"), Str("%GALE%")), 0);
    filter->Prepare();
    std::mt19937 rng(28);
    const int32_t freqs[] = {490, 518, 4209};
    const char* areas[] = {"1", "3", "13"};
    const char* letters[] = {"A", "B", "a"};
    const char* messages[] = {"GALE WARNING", "NIL", "NEAR GALE", "gale", ""};
    int matched = 0;
    for (int i = 0; i < 3000; ++i) {
        uint8_t* rec = c.CurrentRecord;
        std::memset(rec, 0, static_cast<size_t>(c.RecordSize));
        auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
        const bool nulls[5] = {pick(8) == 0, pick(8) == 0, pick(8) == 0, pick(8) == 0, pick(8) == 0};
        const int32_t freq = freqs[pick(3)];
        const std::string area = areas[pick(3)], letter = letters[pick(3)], message = messages[pick(5)];
        const double when = 45000.0 + pick(20) * 0.25;
        c.Set(rec, 0, nulls[0] ? nullptr : I(freq));
        c.Set(rec, 1, nulls[1] ? nullptr : S(area));
        c.Set(rec, 2, nulls[2] ? nullptr : S(letter));
        c.Set(rec, 3, nulls[3] ? nullptr : TS(when));
        c.Set(rec, 4, nulls[4] ? nullptr : S(message));
        const bool expected = !nulls[0] && !nulls[1] && !nulls[2] && !nulls[3] && freq == 518 && area == "3" &&
                              letter == "A" && when >= lo && when <= hi;
        const Maybe got = Truth(*filter);
        EXPECT_EQ(got.value_or(false), expected) << "record " << i;
        // Raw comparisons are never Null; BETWEEN of a Null is, and AND passes it on when
        // nothing else is false.
        const bool othersTrue = !nulls[0] && !nulls[1] && !nulls[2] && freq == 518 && area == "3" && letter == "A";
        EXPECT_EQ(got.has_value(), !(nulls[3] && othersTrue)) << "record " << i;
        matched += expected;
        const bool likeExpected = !nulls[4] && message.find("GALE") != std::string::npos;
        // A Null MESSAGE is matched as empty text.
        EXPECT_EQ(Truth(*like), Maybe(nulls[4] ? false : likeExpected)) << "record " << i;
    }
    EXPECT_GT(matched, 10);
}

TEST(ExprCursor, ScanConditionsMirrorDescendingColumns) {
    TestCursor c(LogColumns());
    TORQIndexDef index;
    index.ObjectID = 42;
    index.SetColumnCount(2);
    index.GetColumn(0).FieldName = "FREQ";
    index.GetColumn(1).FieldName = "NAVAREA";
    struct Case {
        uint8_t op;
        bool fieldLeft;
        bool descending;
        uint8_t scan;
    } cases[] = {
        {doEqual, true, false, scoEqual},          {doGreater, true, false, scoGreater},
        {doLess, true, false, scoLess},            {doGreaterOrEqual, true, false, scoGreaterOrEqual},
        {doLessOrEqual, true, false, scoLessOrEqual}, {doEqual, true, true, scoEqual},
        {doGreater, true, true, scoLess},          {doLess, true, true, scoGreater},
        {doGreaterOrEqual, true, true, scoLessOrEqual}, {doLessOrEqual, true, true, scoGreaterOrEqual},
        // 518 < FREQ is FREQ > 518.
        {doLess, false, false, scoGreater},        {doLess, false, true, scoLess},
        {doGreaterOrEqual, false, false, scoLessOrEqual},
    };
    for (const Case& k : cases) {
        index.GetColumn(0).Descending = k.descending ? 1 : 0;
        auto n = k.fieldLeft ? Cmp(k.op, Bound(c, "FREQ"), Int(518)) : Cmp(k.op, Int(518), Bound(c, "FREQ"));
        ASSERT_TRUE(n->CanServeIndexColumn(0, 0, -1, index));
        TORQScanSearchConditionArray conditions;
        n->BuildScanCondition(conditions, index, nullptr);
        // A raw range that runs to the Null end of the key order is closed there by the
        // column's IS NOT NULL, which stands for no node.
        const bool reachesNulls = k.descending ? k.scan == scoGreater || k.scan == scoGreaterOrEqual
                                               : k.scan == scoLess || k.scan == scoLessOrEqual;
        ASSERT_EQ(conditions.Count(), reachesNulls ? 2 : 1);
        if (reachesNulls) {
            const TORQScanSearchCondition& notNull = conditions.Items(1);
            EXPECT_EQ(notNull.Operator, k.descending ? scoLess : scoGreater);
            EXPECT_EQ(notNull.IndexID, 42);
            EXPECT_EQ(notNull.FieldCount, 1);
            EXPECT_TRUE(GetBit(notNull.Key, 0));
            EXPECT_TRUE(notNull.Nodes.empty());
            EXPECT_EQ(notNull.Expression, nullptr);
        }
        TORQScanSearchCondition& cond = conditions.Items(0);
        EXPECT_EQ(cond.Operator, k.scan) << DataOperatorName(k.op) << " field left " << k.fieldLeft << " desc "
                                         << k.descending;
        EXPECT_EQ(cond.IndexID, 42);
        EXPECT_EQ(cond.FieldCount, 1);
        ASSERT_EQ(cond.Nodes.size(), 1u);
        EXPECT_EQ(cond.Nodes[0], n.get());
        int32_t key;
        std::memcpy(&key, cond.Key + c.FieldDefs.GetItem(0)->MemoryOffset, 4);
        EXPECT_EQ(key, 518);
        EXPECT_FALSE(GetBit(cond.Key, 0));
    }

    // Not raw, Null is the smallest value and the range keeps it; raw against a Null
    // value nothing matches, which no key range says: the record check answers.
    index.GetColumn(0).Descending = 0;
    {
        auto plain = Cmp(doLess, Bound(c, "FREQ"), Int(518), false);
        TORQScanSearchConditionArray conditions;
        plain->BuildScanCondition(conditions, index, nullptr);
        EXPECT_EQ(conditions.Count(), 1);
        auto null = std::make_unique<TORQExprNodeConst>();
        EXPECT_FALSE(Cmp(doGreater, Bound(c, "FREQ"), std::move(null))->CanServeIndexColumn(0, 0, -1, index));
    }

    // The second column extends the condition after an equality.
    auto first = Cmp(doEqual, Bound(c, "FREQ"), Int(518));
    auto second = Cmp(doEqual, Bound(c, "NAVAREA"), Str("3"));
    ASSERT_TRUE(second->CanServeIndexColumn(1, doEqual, -1, index));
    TORQScanSearchConditionArray conditions;
    first->BuildScanCondition(conditions, index, nullptr);
    TORQScanSearchCondition& cond = conditions.Items(0);
    second->FillScanCondition(cond, index, nullptr);
    EXPECT_EQ(cond.FieldCount, 2);
    EXPECT_STREQ(reinterpret_cast<const char*>(cond.Key + c.FieldDefs.GetItem(1)->MemoryOffset), "3");
    // The constant itself is not converted by writing the key.
    auto mixed = Cmp(doEqual, Bound(c, "NAVAREA"), Int(3));
    mixed->FillScanCondition(cond, index, nullptr);
    EXPECT_EQ(static_cast<TORQExprNodeConst*>(mixed->Child(1))->Value.DataType(), bdtInteger);

    // IS NULL keys a Null value; IS NOT NULL scans above (below on a descending column).
    for (bool descending : {false, true}) {
        index.GetColumn(0).Descending = descending ? 1 : 0;
        TORQScanSearchConditionArray nulls;
        Logic(doIsNull, List(Bound(c, "FREQ")))->BuildScanCondition(nulls, index, nullptr);
        Logic(doIsNotNull, List(Bound(c, "FREQ")))->BuildScanCondition(nulls, index, nullptr);
        EXPECT_EQ(nulls.Items(0).Operator, scoEqual);
        EXPECT_TRUE(GetBit(nulls.Items(0).Key, 0));
        EXPECT_EQ(nulls.Items(1).Operator, descending ? scoLess : scoGreater);
    }
    TORQIndexDef empty;
    ExpectNative([&] { Cmp(doEqual, Bound(c, "FREQ"), Int(1))->BuildScanCondition(conditions, empty, nullptr); },
                 20057, "Invalid index for search - Native error: 20057");
    ExpectNative([&] { Logic(doIsNull, List(Bound(c, "FREQ")))->BuildScanCondition(conditions, empty, nullptr); },
                 20255, "Invalid index for search - Native error: 20255");
}

// ---------------------------------------------------------------------------------
// CLOB values

namespace {

struct BlobCounters {
    int opened = 0;
    int alive = 0;
};

// A base stream that counts how many are alive.
class CountedMemoryStream : public TORQMemoryStream {
public:
    explicit CountedMemoryStream(BlobCounters& c) : C(c) { ++C.alive; }
    ~CountedMemoryStream() override { --C.alive; }
    BlobCounters& C;
};

// Table data whose BLOBs hold one fixed content per field.
class BlobTableData : public TORQTableData {
public:
    BlobTableData() : TORQTableData(nullptr) {}
    std::unique_ptr<TORQLocalBLOBStream> CreateBlobStream(TORQCursor* Cursor, bool, uint8_t Mode,
                                                          int32_t FieldNo) override {
        ++Counters.opened;
        SeenRecord = Cursor->CurrentRecord;  // the cursor must show the node's buffer
        auto base = std::make_unique<CountedMemoryStream>(Counters);
        TORQBLOBDescriptor d;
        d.BlockSize = 102400;
        d.CompressionMode = 1;
        TORQBLOBDescriptor stored;
        {
            TORQCompressedBLOBStream writer(*base, d, true, false);
            const std::string& content = Contents.at(static_cast<std::size_t>(FieldNo));
            writer.Write(content.data(), static_cast<int64_t>(content.size()));
            stored = writer.Descriptor();
        }
        auto reader = std::make_unique<TORQCompressedBLOBStream>(*base, stored, false, false);
        return std::make_unique<TORQLocalBLOBStream>(std::move(base), std::move(reader), FieldNo, Mode, Cursor);
    }
    std::vector<std::string> Contents;
    BlobCounters Counters;
    uint8_t* SeenRecord = nullptr;
};

}  // namespace

TEST(ExprCursor, ClobValuesAreReadWholeAndNullOpensNothing) {
    TestCursor c({{"ID", aftInteger, 0}, {"BODY", aftMemo, 0}, {"WBODY", aftWideMemo, 0}});
    BlobTableData data;
    std::string body;
    for (int i = 0; body.size() < 10000; ++i) body += "LINE " + std::to_string(i) + " GALE WARNING\r\n";
    data.Contents = {"", body, std::string("\x91\x03\x92\x03x\0", 6)};
    c.TableData = &data;
    uint8_t* rec = c.NewBuffer();
    uint8_t* shown = c.CurrentRecord;
    auto f = Bound(c, "BODY");
    f->SetRecordBuffer(rec, 0);
    EXPECT_EQ(Text(f->GetValue()), body);
    EXPECT_EQ(data.SeenRecord, rec);    // the table data was shown the node's buffer
    EXPECT_EQ(f->GetValue().DataType(), bdtVarChar);
    EXPECT_EQ(c.CurrentRecord, shown);  // restored after the opening
    EXPECT_EQ(data.Counters.opened, 2);
    EXPECT_EQ(data.Counters.alive, 0);   // closed again
    auto w = Bound(c, "WBODY");
    w->SetRecordBuffer(rec, 0);
    EXPECT_EQ(w->GetValue().GetAsWideString(), u"\u0391\u0392x");
    EXPECT_EQ(w->GetDataType(), aftWideMemo);

    auto like = Logic(doLike, List(Bound(c, "BODY"), Str("%LINE 300 GALE%")));
    like->SetRecordBuffer(rec, 0);
    EXPECT_EQ(Truth(*like), Maybe(true));

    const int opened = data.Counters.opened;
    SetBit(rec, 1, true);
    EXPECT_TRUE(f->GetValue().IsNull());
    EXPECT_EQ(data.Counters.opened, opened);

    // Without table data the CLOB path says so.
    c.TableData = nullptr;
    SetBit(rec, 1, false);
    ExpectNative([&] { f->GetValue(); }, 30903);
    EXPECT_EQ(c.CurrentRecord, shown);
}

// The CLOB buffer serves record after record: a shorter text after a longer one is only
// itself, up to its first zero byte, and an empty one is Null.
TEST(ExprCursor, AClobAfterALongerOneIsOnlyItsOwnText) {
    TestCursor c({{"BODY", aftMemo, 0}});
    BlobTableData data;
    c.TableData = &data;
    auto f = Bound(c, "BODY");
    auto like = Logic(doLike, List(Bound(c, "BODY"), Str("%END")));
    like->SetRecordBuffer(c.CurrentRecord, 0);
    const std::string longer = std::string(5000, 'x') + "END";
    data.Contents = {longer};
    EXPECT_EQ(Text(f->GetValue()), longer);
    EXPECT_EQ(Truth(*like), Maybe(true));
    data.Contents = {"AB"};
    EXPECT_EQ(Text(f->GetValue()), "AB");
    EXPECT_EQ(f->GetValue().DataSize(), 3);
    EXPECT_EQ(Truth(*like), Maybe(false));
    data.Contents = {std::string("CD\0END", 6)};
    EXPECT_EQ(Text(f->GetValue()), "CD");
    EXPECT_EQ(Truth(*like), Maybe(false));
    data.Contents = {""};
    EXPECT_TRUE(f->GetValue().IsNull());
    EXPECT_EQ(data.Counters.alive, 0);
}
