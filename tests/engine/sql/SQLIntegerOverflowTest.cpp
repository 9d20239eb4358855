// Integer arithmetic in SQL never wraps: at every integer width, +, -, *, /, unary minus,
// ABS and CAST give the exact result or raise 30930 "Integer overflow"; SUM refuses a
// total beyond LARGEINT while AVG (a floating mean) gives it; statements raise only
// engine exceptions with native codes.
#include "RelationalAlgebraFixture.h"

#include <variant>

#include "engine/access/ORQQuery.h"

using namespace ratest;
using dstest::ekMemory;

namespace {

using Int = __int128;

std::string Decimal(Int V) {
    if (V == 0) return "0";
    const bool negative = V < 0;
    std::string s;
    for (; V != 0; V /= 10) s.insert(s.begin(), static_cast<char>('0' + static_cast<int>(negative ? -(V % 10) : V % 10)));
    return negative ? "-" + s : s;
}

struct TWidth {
    const char* Name;
    Int Low, High;
};

const TWidth Widths[] = {
    {"SHORTINT", INT8_MIN, INT8_MAX},   {"SMALLINT", INT16_MIN, INT16_MAX}, {"INTEGER", INT32_MIN, INT32_MAX},
    {"LARGEINT", INT64_MIN, INT64_MAX}, {"BYTE", 0, UINT8_MAX},         {"WORD", 0, UINT16_MAX},
    {"CARDINAL", 0, UINT32_MAX},
};

// A literal of any 64-bit value (the smallest one is not a literal of its own).
std::string Literal(Int V) { return V == INT64_MIN ? "(-9223372036854775807 - 1)" : Decimal(V); }

std::string Typed(Int V, const TWidth& W) { return "CAST(" + Literal(V) + " AS " + W.Name + ")"; }

class IntegerOverflowTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(ekMemory);
        MakeTable(*Env, "ONE", {{{"N", aftInteger}}, {{"1"}}});
    }
    void TearDown() override {
        Env.reset();
        EngineTest::TearDown();
    }
    // The one value of Expression, or the native code it raised (-1 for another class).
    std::variant<std::string, int32_t> Evaluate(const std::string& Expression) {
        auto q = std::make_unique<TORQQuery>();
        q->SetDatabaseName(Env->Name());
        q->SQL().SetText("SELECT " + Expression + " FROM ONE");
        try {
            q->Open();
        } catch (const EORQException& e) {
            return e.NativeError();
        } catch (...) {
            return -1;
        }
        return q->Fields()[0]->AsString();
    }
    std::unique_ptr<TEngineEnv> Env;
};

TEST_F(IntegerOverflowTest, EveryWidthAndOperatorGivesTheExactResultOrRaisesOverflow) {
    for (const TWidth& w : Widths) {
        struct Case {
            std::string Text;
            Int Exact;
            bool MustOverflow;  // a CAST of a value its type cannot hold
        };
        const bool isSigned = w.Low < 0;
        std::vector<Case> cases = {
            {Typed(w.High, w) + " + " + Typed(1, w), w.High + 1, false},
            {Typed(w.High, w) + " + " + Typed(0, w), w.High, false},
            {Typed(w.Low, w) + " - " + Typed(1, w), w.Low - 1, false},
            {Typed(w.Low, w) + " - " + Typed(0, w), w.Low, false},
            {Typed(w.High, w) + " * " + Typed(2, w), w.High * 2, false},
            {Typed(w.High, w) + " * " + Typed(1, w), w.High, false},
            {"-" + Typed(isSigned ? w.Low : 1, w), isSigned ? -w.Low : -1, false},
            {"-" + Typed(isSigned ? w.High : 0, w), isSigned ? -w.High : 0, false},
            {"ABS(" + Typed(w.Low, w) + ")", w.Low < 0 ? -w.Low : w.Low, false},
        };
        if (isSigned) cases.push_back({Typed(w.Low, w) + " / " + Typed(-1, w), -w.Low, false});
        if (w.High < INT64_MAX) cases.push_back({"CAST(" + Literal(w.High + 1) + " AS " + w.Name + ")", w.High + 1, true});
        if (w.Low > INT64_MIN) cases.push_back({"CAST(" + Literal(w.Low - 1) + " AS " + w.Name + ")", w.Low - 1, true});
        for (const Case& c : cases) {
            SCOPED_TRACE(c.Text);
            const auto got = Evaluate(c.Text);
            if (const auto* code = std::get_if<int32_t>(&got)) {
                EXPECT_EQ(*code, 30930);
                EXPECT_TRUE(c.Exact < w.Low || c.Exact > w.High) << "refused a result that fits the operands' type";
            } else {
                EXPECT_FALSE(c.MustOverflow) << "gave " << std::get<std::string>(got);
                EXPECT_EQ(std::get<std::string>(got), Decimal(c.Exact));
            }
        }
        // Within the operands' own type the checks are the type's: same-type operations
        // whose exact result leaves it refuse, at the limits they do not.
        if (std::string(w.Name) == "INTEGER" || std::string(w.Name) == "LARGEINT") {
            EXPECT_EQ(std::get<int32_t>(Evaluate(Typed(w.High, w) + " + " + Typed(1, w))), 30930);
            EXPECT_EQ(std::get<int32_t>(Evaluate(Typed(w.Low, w) + " - " + Typed(1, w))), 30930);
            EXPECT_EQ(std::get<int32_t>(Evaluate(Typed(w.High, w) + " * " + Typed(2, w))), 30930);
            EXPECT_EQ(std::get<int32_t>(Evaluate("-" + Typed(w.Low, w))), 30930);
            EXPECT_EQ(std::get<int32_t>(Evaluate("ABS(" + Typed(w.Low, w) + ")")), 30930);
        }
    }
}

TEST_F(IntegerOverflowTest, SumRefusesATotalBeyondLargeintAndAverageGivesIt) {
    MakeTable(*Env, "BIG", {{{"V", aftLargeInt}}, {{"1"}, {"9223372036854775807"}}});
    auto run = [&](const std::string& Text) {
        auto q = std::make_unique<TORQQuery>();
        q->SetDatabaseName(Env->Name());
        q->SQL().SetText(Text);
        q->Open();
        return q->Fields()[0]->AsFloat();
    };
    EXPECT_EQ(NativeCode([&] { run("SELECT SUM(V) FROM BIG"); }), 30930);
    EXPECT_DOUBLE_EQ(run("SELECT AVG(V) FROM BIG"), 4611686018427387904.0);
    EXPECT_DOUBLE_EQ(run("SELECT SUM(V) FROM BIG WHERE V > 1"), 9223372036854775807.0);
}

}  // namespace
