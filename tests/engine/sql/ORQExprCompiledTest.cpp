// The compiled record filter against the expression evaluator: seeded conditions (field
// comparisons with every flag, LIKE with '%', '_' and escapes anywhere, IN lists, IS NULL,
// AND/OR/NOT, parts that do not compile) over seeded records of every field type with
// Nulls, wide and narrow texts and trailing blanks: the same truth, Null included, and the
// same error. Then what the compiled steps must follow between records: a constant's new
// value and a new LIKE pattern, and the dataset filter answering through them.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "ExprTestUtil.h"
#include "engine/foundation/ORQExcept.h"
#include "engine/sql/ORQExprCompiled.h"
#include "engine/sql/ORQExpression.h"

using namespace orq;
using namespace exprtest;

namespace {

struct TAnswer {
    Maybe Truth;
    int32_t Error = 0;
    bool operator==(const TAnswer&) const = default;
};

std::string Show(const TAnswer& A) {
    if (A.Error != 0) return "error " + std::to_string(A.Error);
    return !A.Truth ? "Null" : *A.Truth ? "true" : "false";
}

template <typename F>
TAnswer Answer(F&& Evaluate) {
    TAnswer a;
    try {
        a.Truth = Evaluate();
    } catch (const EORQException& e) {
        a.Error = e.NativeError();
    }
    return a;
}

// Every field type the filters read; the texts short enough for the pools below.
const std::vector<LayoutCursor::Column> Columns = {
    {"SI", aftSmallInt, 0}, {"I", aftInteger, 0},  {"L", aftLargeInt, 0}, {"W", aftWord, 0},
    {"D", aftDouble, 0},    {"CU", aftCurrency, 0}, {"DT", aftDate, 0},    {"TM", aftTime, 0},
    {"TS", aftDateTime, 0}, {"B", aftBoolean, 0},   {"V", aftVarChar, 20}, {"C", aftChar, 4},
    {"WV", aftWideVarChar, 12}};

const int32_t Ints[] = {-5, 0, 3, 30, 490, 518};
const double Reals[] = {-1.25, 0.0, 3.0, 3.5, 518.0};
const double Days[] = {45292.0, 45292.5, 45300.25};
// Case, trailing blanks, digits that read as numbers, the pattern characters as data,
// letters beyond ASCII.
const char* const Texts[] = {"",      "A",  "a",       "AB",  "ab ",  "3",     "03",     "518",   "DOVER",
                             "dover", "%_", "a%b",     "a_b", "A\x01", "\xC4", "\xE4rger", "x  ",  "ST 13 DOVER",
                             "2024-01-01"};
const char* const ShortTexts[] = {"", "A", "a", "AB", "ab ", "3", "%_", "\xC4", "x  "};
const char16_t* const WideTexts[] = {u"", u"A", u"a", u"DOVER", u"\u00C4", u"x y ", u"3", u"\u0100b"};

class TGenerator {
public:
    explicit TGenerator(uint32_t Seed) : FRng(Seed) {}

    int Pick(int N) { return static_cast<int>(FRng() % static_cast<uint32_t>(N)); }
    template <typename T, size_t N>
    const T& From(const T (&A)[N]) {
        return A[static_cast<size_t>(Pick(static_cast<int>(N)))];
    }

    // A record: each field Null one time in five, else a value of its own type.
    void Fill(LayoutCursor& C, uint8_t* Record) {
        std::memset(Record, 0, static_cast<size_t>(C.RecordSize));
        for (int32_t f = 0; f < static_cast<int32_t>(Columns.size()); ++f) {
            if (Pick(5) == 0) {
                C.Set(Record, f, nullptr);
                continue;
            }
            const int32_t i = From(Ints);
            const double r = From(Reals), d = From(Days);
            const std::string s = From(Texts), sh = From(ShortTexts);
            const std::u16string w = From(WideTexts);
            const bool b = Pick(2) == 0;
            std::function<void(TORQVariant&)> set;
            switch (Columns[static_cast<size_t>(f)].type) {
                case aftSmallInt: set = [i](TORQVariant& v) { v.SetAsSmallInt(static_cast<int16_t>(i)); }; break;
                case aftInteger: set = [i](TORQVariant& v) { v.SetAsInteger(i); }; break;
                case aftLargeInt: set = [i](TORQVariant& v) { v.SetAsLargeInt(int64_t{i} * (i > 100 ? 1000000000 : 1)); }; break;
                case aftWord: set = [i](TORQVariant& v) { v.SetAsWord(static_cast<uint16_t>(i < 0 ? -i : i)); }; break;
                case aftDouble: set = [r](TORQVariant& v) { v.SetAsDouble(r); }; break;
                case aftCurrency: set = [r](TORQVariant& v) { v.SetAsCurrency(r); }; break;
                case aftDate: set = [d](TORQVariant& v) { v.SetAsDate(d); }; break;
                case aftTime: set = [d](TORQVariant& v) { v.SetAsTime(d - static_cast<int>(d)); }; break;
                case aftDateTime: set = [d](TORQVariant& v) { v.SetAsDateTime(d); }; break;
                case aftBoolean: set = [b](TORQVariant& v) { v.SetAsBoolean(b); }; break;
                case aftVarChar: set = [s](TORQVariant& v) { v.SetAsString(s); }; break;
                case aftChar: set = [sh](TORQVariant& v) { v.SetAsString(sh); }; break;
                default: set = [w](TORQVariant& v) { v.SetAsWideString(w); }; break;
            }
            C.Set(Record, f, set);
        }
    }

    std::unique_ptr<TORQExprNodeConst> Constant() {
        auto n = std::make_unique<TORQExprNodeConst>();
        switch (Pick(11)) {
            case 0: n->Value.SetAsInteger(From(Ints)); break;
            case 1: n->Value.SetAsLargeInt(From(Ints)); break;
            case 2: n->Value.SetAsSmallInt(static_cast<int16_t>(From(Ints))); break;
            case 3: n->Value.SetAsDouble(From(Reals)); break;
            case 4:
            case 5: n->Value.SetAsString(From(Texts)); break;
            case 6: n->Value.SetAsWideString(From(WideTexts)); break;
            case 7: n->Value.SetAsDateTime(From(Days)); break;
            case 8: n->Value.SetAsBoolean(Pick(2) == 0); break;
            case 9: n->Value.SetAsString(Pick(2) == 0 ? "2024-01-01 12:00:00" : "12:00:00"); break;
            default: {
                const uint8_t types[] = {bdtInteger, bdtVarChar, bdtDouble, bdtTimeStamp, bdtWideVarChar};
                n->Value.Clear(From(types));
                break;
            }
        }
        return n;
    }

    std::unique_ptr<TORQExprNodeField> Field(LayoutCursor& C) {
        return std::make_unique<TORQExprNodeField>(&C, "", Columns[static_cast<size_t>(Pick(static_cast<int>(Columns.size())))].name);
    }

    // Pieces of a pattern: literals of each case, '%' and '_' at any place, an escaped
    // pattern character.
    std::string Pattern(bool Escape) {
        const char* const pieces[] = {"%", "%", "_", "DOVER", "dover", "a", "A", "3", "\xE4", " ", "b"};
        std::string p;
        for (int k = Pick(4) + 1; k > 0; --k) p += From(pieces);
        if (Escape && Pick(2) == 0) p.insert(static_cast<size_t>(Pick(static_cast<int>(p.size()) + 1)), Pick(2) == 0 ? "\\%" : "\\_");
        return p;
    }

    TORQExprNodePtr Leaf(LayoutCursor& C) {
        switch (Pick(8)) {
            case 0:
            case 1:
            case 2: {
                const uint8_t ops[] = {doEqual, doNotEqual, doGreater, doLess, doGreaterOrEqual, doLessOrEqual};
                const uint8_t op = From(ops);
                // Now and then the constant stands on the left: the evaluator's business.
                TORQExprNodePtr a = Field(C), b = Constant();
                if (Pick(8) == 0) std::swap(a, b);
                return std::make_unique<TORQExprNodeComparison>(op, static_cast<uint8_t>(Pick(2)), static_cast<uint8_t>(Pick(2)),
                                                                std::move(a), std::move(b), static_cast<uint8_t>(Pick(2)));
            }
            case 3:
            case 4: {
                const char* const texts[] = {"V", "V", "V", "C", "WV", "I"};
                const bool escape = Pick(4) == 0;
                auto pattern = std::make_unique<TORQExprNodeConst>();
                const std::string text = Pattern(escape);
                switch (Pick(8)) {
                    case 0: pattern->Value.SetAsWideString(std::u16string(text.begin(), text.end())); break;
                    case 1: pattern->Value.Clear(bdtVarChar); break;
                    default: pattern->Value.SetAsString(text); break;
                }
                auto like = std::make_unique<TORQExprNodeBoolean>(Pick(3) == 0 ? doNotLike : doLike,
                                                                  static_cast<uint8_t>(Pick(2)), 0);
                like->AddChild(std::make_unique<TORQExprNodeField>(&C, "", From(texts)));
                like->AddChild(std::move(pattern));
                if (escape) like->EscapeText = "\\";
                return like;
            }
            case 5:
            case 6: {
                auto in = std::make_unique<TORQExprNodeBoolean>(Pick(3) == 0 ? doNotIn : doIn, 1, 0);
                in->AddChild(Field(C));
                for (int k = Pick(4) + 1; k > 0; --k) in->AddChild(Constant());
                return in;
            }
            default: {
                auto isNull = std::make_unique<TORQExprNodeBoolean>(Pick(2) == 0 ? doIsNull : doIsNotNull, 1, 0);
                isNull->AddChild(Field(C));
                return isNull;
            }
        }
    }

    TORQExprNodePtr Condition(LayoutCursor& C, int Depth) {
        if (Depth == 0 || Pick(3) == 0) return Leaf(C);
        switch (Pick(5)) {
            case 0: return Logic(doNot, List(Condition(C, Depth - 1)));
            case 1:
            case 2: return Logic(doOr, List(Condition(C, Depth - 1), Condition(C, Depth - 1)));
            default: {
                std::vector<TORQExprNodePtr> children;
                for (int k = Pick(2) + 2; k > 0; --k) children.push_back(Condition(C, Depth - 1));
                return Logic(doAnd, std::move(children));
            }
        }
    }

private:
    std::mt19937 FRng;
};

}  // namespace

TEST(CompiledFilter, AnswersAsTheEvaluatorOnSeededConditionsAndRecords) {
    LayoutCursor c(Columns);
    TGenerator g(60);
    std::vector<uint8_t*> records;
    for (int r = 0; r < 48; ++r) {
        records.push_back(c.NewBuffer());
        g.Fill(c, records.back());
    }
    int compiled = 0, trueAnswers = 0, nullAnswers = 0, errors = 0;
    for (int k = 0; k < 1500; ++k) {
        // The expression's steps answer its Boolean value (Null as false) with the buffer
        // given through the expression; the same steps, compiled apart, give Nulls too.
        std::unique_ptr<TORQExpression> e = TORQExpression::CreateWithRoot(g.Condition(c, 3));
        TORQExprNode* root = e->Root();
        e->SetRecordBuffer(records.back(), 0);  // prepares: the expression compiles
        std::unique_ptr<TORQCompiledFilter> steps = TORQCompiledFilter::Compile(root);
        if (!steps) continue;
        ++compiled;
        for (size_t r = 0; r < records.size(); ++r) {
            const TAnswer throughExpression = Answer([&]() -> Maybe {
                e->SetRecordBuffer(records[r], 0);
                return e->GetBooleanValue();
            });
            const TAnswer got = Answer([&]() -> Maybe {
                const int32_t t = steps->Truth();
                return t < 0 ? Maybe() : Maybe(t == 1);
            });
            root->SetRecordBuffer(records[r], 0);
            const TAnswer expected = Answer([&] { return Truth(*root); });
            ASSERT_EQ(got, expected) << "condition " << k << " record " << r << ": compiled " << Show(got)
                                     << ", evaluator " << Show(expected);
            const TAnswer asBoolean{expected.Error != 0 ? Maybe() : Maybe(expected.Truth.value_or(false)), expected.Error};
            ASSERT_EQ(throughExpression, asBoolean) << "condition " << k << " record " << r << " through the expression";
            trueAnswers += expected.Truth.value_or(false) ? 1 : 0;
            nullAnswers += expected.Error == 0 && !expected.Truth ? 1 : 0;
            errors += expected.Error != 0 ? 1 : 0;
        }
    }
    // The seeds reach every kind of answer, and most conditions compile.
    EXPECT_GT(compiled, 1000);
    EXPECT_GT(trueAnswers, 1000);
    EXPECT_GT(nullAnswers, 1000);
    EXPECT_GT(errors, 0);
}

TEST(CompiledFilter, FollowsConstantsThatChangeBetweenRecords) {
    LayoutCursor c({{"I", aftInteger, 0}, {"TS", aftDateTime, 0}, {"V", aftVarChar, 20}});
    uint8_t* rec = c.CurrentRecord;
    c.Set(rec, 0, [](TORQVariant& v) { v.SetAsInteger(518); });
    c.Set(rec, 1, [](TORQVariant& v) { v.SetAsDateTime(45292.5); });  // 2024-01-01 12:00
    c.Set(rec, 2, [](TORQVariant& v) { v.SetAsString("ST 13 DOVER"); });
    auto like = std::make_unique<TORQExprNodeBoolean>(doLike, 0, 0);
    like->AddChild(std::make_unique<TORQExprNodeField>(&c, "", "V"));
    like->AddChild(Str("%DOVER"));
    auto* pattern = static_cast<TORQExprNodeConst*>(like->Child(1));
    auto root = Logic(doAnd, List(Cmp(doEqual, std::make_unique<TORQExprNodeField>(&c, "", "I"), Int(518)),
                                  Cmp(doGreater, std::make_unique<TORQExprNodeField>(&c, "", "TS"), Str("2024-01-01")),
                                  std::move(like)));
    auto* number = static_cast<TORQExprNodeConst*>(root->Child(0)->Child(1));
    auto* date = static_cast<TORQExprNodeConst*>(root->Child(1)->Child(1));
    root->Prepare();
    root->SetRecordBuffer(rec, 0);
    auto steps = TORQCompiledFilter::Compile(root.get());
    ASSERT_TRUE(steps);
    EXPECT_EQ(steps->Truth(), 1);
    number->Value.SetAsInteger(490);
    EXPECT_EQ(steps->Truth(), 0);
    number->Value.SetAsInteger(518);
    date->Value.SetAsString("2024-01-02");  // converted again
    EXPECT_EQ(steps->Truth(), 0);
    date->Value.SetAsString("2024-01-01 11:59:59");
    EXPECT_EQ(steps->Truth(), 1);
    pattern->Value.SetAsString("ST_1%");  // prepared again
    EXPECT_EQ(steps->Truth(), 1);
    pattern->Value.SetAsString("%DOVER_");
    EXPECT_EQ(steps->Truth(), 0);
    // A constant of another type than at compilation is the node's to compare.
    number->Value.SetAsString("518");
    pattern->Value.SetAsString("%DOVER%");
    EXPECT_EQ(steps->Truth(), 1);
}

// The dataset filter and a WHERE answer through the expression: its steps, rebuilt after
// the tree changes.
TEST(CompiledFilter, TheExpressionAnswersThroughItsSteps) {
    LayoutCursor c({{"STATION", aftVarChar, 20}, {"FREQ", aftInteger, 0}, {"NAVAREA", aftVarChar, 2}});
    struct TRow {
        const char* Station;
        int32_t Freq;
        const char* Area;  // nil: Null
        bool Expected;
    };
    const TRow rows[] = {{"NITON DOVER", 518, "1", true},  {"niton dover", 518, "1", false},
                         {"DOVER", 490, "1", false},       {"DOVER", 518, nullptr, false},
                         {"CULLERCOATS", 518, "1", false}, {"DOVER ", 518, "13", true}};
    TORQExpression e;
    e.ParseFilter(&c, "STATION LIKE '%DOVER%' AND FREQ IN (518, 4209) AND NOT (NAVAREA IS NULL)", false, false);
    for (const TRow& row : rows) {
        uint8_t* rec = c.CurrentRecord;
        std::memset(rec, 0, static_cast<size_t>(c.RecordSize));
        c.Set(rec, 0, [&](TORQVariant& v) { v.SetAsString(row.Station); });
        c.Set(rec, 1, [&](TORQVariant& v) { v.SetAsInteger(row.Freq); });
        c.Set(rec, 2, row.Area ? std::function<void(TORQVariant&)>([&](TORQVariant& v) { v.SetAsString(row.Area); })
                               : nullptr);
        e.SetRecordBuffer(rec, 0);
        EXPECT_EQ(e.GetBooleanValue(), row.Expected) << row.Station << " " << row.Freq;
    }
    // A Null condition filters the record out.
    TORQExpression n;
    n.ParseFilter(&c, "NAVAREA IN ('1', '2')", false, false);
    n.SetRecordBuffer(c.CurrentRecord, 0);  // the last row: NAVAREA 13
    EXPECT_FALSE(n.GetBooleanValue());
    c.Set(c.CurrentRecord, 2, nullptr);
    EXPECT_FALSE(n.GetBooleanValue());
    c.Set(c.CurrentRecord, 2, [](TORQVariant& v) { v.SetAsString("2"); });
    EXPECT_TRUE(n.GetBooleanValue());
}
