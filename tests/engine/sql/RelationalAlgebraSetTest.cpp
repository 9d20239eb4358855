// UNION, INTERSECT and EXCEPT against a model over seeded random tables with Nulls,
// repeats, mixed-case and accented text, in MEMORY and on disk: with and without ALL,
// CORRESPONDING and CORRESPONDING BY; the pairing errors; BLOB pairs; pairs of type
// families that sort differently.
#include <set>

#include "RelationalAlgebraFixture.h"

using namespace ratest;

namespace {

const char* const Texts[] = {"abc", "ABC", "\xc3\x84pfel", "\xc3\xa4pfel", "zz", "m"};

// K and S, or (with Corresponding) the same two under other case and order, and Z.
TData RandomTable(std::mt19937& Rng, int Count, bool Reordered) {
    TData d;
    if (Reordered) d.Columns = {{"s", aftVarChar, 20}, {"Z", aftInteger}, {"k", aftInteger}};
    else d.Columns = {{"K", aftInteger}, {"S", aftVarChar, 20}};
    std::uniform_int_distribution<int> key(0, 3), text(0, 6);
    for (int i = 0; i < Count; ++i) {
        const int k = key(Rng), s = text(Rng);
        const Cell kc = k == 3 ? Null : Cell(std::to_string(k));
        const Cell sc = s == 6 ? Null : Cell(Texts[s]);
        if (Reordered) d.Data.push_back({sc, Cell(std::to_string(i)), kc});
        else d.Data.push_back({kc, sc});
    }
    return d;
}

Rows Distinct(const Rows& R) {
    std::set<Row> seen;
    Rows out;
    for (const Row& r : R)
        if (seen.insert(r).second) out.push_back(r);
    return out;
}

// Null equals Null here: set operations compare rows, not conditions.
Rows ModelSet(const Rows& L, const Rows& R, uint8_t Kind, bool DistinctRows) {
    Rows out;
    if (Kind == ukUnion) {
        out = L;
        out.insert(out.end(), R.begin(), R.end());
    } else {
        for (const Row& l : L) {
            const bool inRight = std::find(R.begin(), R.end(), l) != R.end();
            if (inRight == (Kind == ukIntersect)) out.push_back(l);
        }
    }
    return DistinctRows ? Distinct(out) : out;
}

// Column C of every row, in the order given.
Rows Project(const Rows& R, const std::vector<int>& C) {
    Rows out;
    for (const Row& r : R) {
        Row p;
        for (int c : C) p.push_back(r[static_cast<size_t>(c)]);
        out.push_back(p);
    }
    return out;
}

class SetModel : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(SetModel, EveryOperationGivesTheModelsRows) {
    TEngineEnv env(GetParam());
    std::mt19937 rng(777);
    for (const auto& [nl, nr] : {std::pair{10, 7}, std::pair{5, 12}, std::pair{0, 4}, std::pair{6, 0}}) {
        const TData l = RandomTable(rng, nl, false), r = RandomTable(rng, nr, false);
        const TData c = RandomTable(rng, nr, true);
        MakeTable(env, "L", l);
        MakeTable(env, "R", r);
        MakeTable(env, "C", c);
        for (uint8_t kind : {ukUnion, ukIntersect, ukExcept}) {
            for (bool distinct : {false, true}) {
                // 0 by position, 1 CORRESPONDING, 2 CORRESPONDING BY (S).
                for (int pairing = 0; pairing < 3; ++pairing) {
                    SCOPED_TRACE(std::to_string(kind) + (distinct ? " distinct " : " all ") + std::to_string(pairing) +
                                 " " + std::to_string(nl) + "x" + std::to_string(nr));
                    TORQFields by = Keys({{"", "s"}});
                    TORQAOUnion u(Base(env, "L"), pairing == 2 ? &by : nullptr, distinct, pairing > 0, nullptr, nullptr,
                                  kind, Base(env, pairing == 0 ? "R" : "C"));
                    OpenAll(u);
                    Rows left = l.Data, right = r.Data;
                    std::vector<std::string> names = {"K", "S"};
                    if (pairing == 1) right = Project(c.Data, {2, 0});
                    if (pairing == 2) {
                        left = Project(l.Data, {1});
                        right = Project(c.Data, {0});
                        names = {"S"};
                    }
                    const Rows expected = ModelSet(left, right, kind, distinct);
                    EXPECT_EQ(Names(u), names);
                    if (kind == ukUnion && !distinct) EXPECT_EQ(Result(u), expected) << "left rows, then right rows";
                    else EXPECT_EQ(Sorted(Result(u)), Sorted(expected));
                }
            }
        }
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, SetModel, ::testing::Values(dstest::ekMemory, dstest::ekDisk),
                         [](const auto& I) { return std::string(dstest::KindName(I.param)); });

class SetOperations : public EngineTest {};

TEST_F(SetOperations, PairingErrorsGiveTheirCounts) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"K", aftInteger}, {"S", aftVarChar, 5}}, {{"1", "a"}}});
    MakeTable(env, "B", {{{"K", aftInteger}, {"S", aftVarChar, 5}, {"T", aftInteger}}, {{"1", "a", "2"}}});
    MakeTable(env, "X", {{{"Q", aftBlob}}, {{"q"}}});
    TORQFields empty;
    auto make = [&](const char* Right, const TORQFields* By, bool Corresponding, uint8_t Kind) {
        return [&env, Right, By, Corresponding, Kind] {
            TORQAOUnion u(Base(env, "A"), By, true, Corresponding, nullptr, nullptr, Kind, Base(env, Right));
            OpenAll(u);
        };
    };
    // Without CORRESPONDING the visible column counts must agree: no column is dropped.
    EXPECT_EQ(Raised(make("B", nullptr, false, ukUnion)),
              "Error - different list lengths. L1 = 2, L2 = 3 - Native error: 10338");
    EXPECT_EQ(Raised(make("B", &empty, true, ukUnion)), "Empty field list, item count = 0 - Native error: 10337");
    EXPECT_EQ(Raised(make("X", nullptr, true, ukUnion)), "Empty field list, item count = 0 - Native error: 10339");
    EXPECT_EQ(Raised(make("A", nullptr, false, 3)), "Invalid union type = 3 - Native error: 10336");
    // With CORRESPONDING the common names pair.
    {
        TORQAOUnion u(Base(env, "A"), nullptr, false, true, nullptr, nullptr, ukUnion, Base(env, "B"));
        OpenAll(u);
        EXPECT_EQ(Result(u), (Rows{{"1", "a"}, {"1", "a"}}));
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

// INTERSECT and EXCEPT pair only comparable columns; UNION ALL keeps a BLOB pair and
// its bytes; sorting a BLOB column for a distinct UNION fails with the index's error,
// which reaches the caller with nothing left behind.
TEST_F(SetOperations, BlobColumnsArePairedOnlyWhereNothingCompares) {
    TEngineEnv env(dstest::ekMemory);
    std::string big(70000, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 131 + 7) % 256);
    MakeTable(env, "A", {{{"K", aftInteger}, {"B", aftBlob}}, {{"1", big}, {"2", "x"}}});
    MakeTable(env, "B", {{{"K", aftInteger}, {"C", aftVarChar, 10}}, {{"2", "y"}, {"3", "z"}}});
    MakeTable(env, "C", {{{"K", aftInteger}, {"B", aftBlob}}, {{"5", ""}, {"6", Null}}});
    {
        TORQAOUnion u(Base(env, "A"), nullptr, true, false, nullptr, nullptr, ukIntersect, Base(env, "B"));
        OpenAll(u);
        EXPECT_EQ(Names(u), (std::vector<std::string>{"K"}));
        EXPECT_EQ(Result(u), (Rows{{"2"}}));
    }
    {
        TORQAOUnion u(Base(env, "A"), nullptr, false, false, nullptr, nullptr, ukExcept, Base(env, "B"));
        OpenAll(u);
        EXPECT_EQ(Result(u), (Rows{{"1"}}));
    }
    {
        TORQAOUnion u(Base(env, "A"), nullptr, false, false, nullptr, nullptr, ukUnion, Base(env, "C"));
        OpenAll(u);
        const Rows r = Result(u);
        ASSERT_EQ(r.size(), 4u);
        EXPECT_EQ(r[0][1], Cell(big));
        EXPECT_EQ(r[1][1], Cell("x"));
        EXPECT_EQ(r[3][1], Null);
    }
    const int32_t code = NativeCode([&] {
        TORQAOUnion u(Base(env, "A"), nullptr, true, false, nullptr, nullptr, ukUnion, Base(env, "C"));
        OpenAll(u);
    });
    EXPECT_EQ(code, 20295);
    EXPECT_EQ(ResultTablesLeft(), 0);
}

// Numbers sort as numbers, texts as texts: merged, '10' and 10 would never meet.
TEST_F(SetOperations, PairsWhoseTypesSortDifferentlyAreTestedRowByRow) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "N", {{{"K", aftInteger}}, {{"9"}, {"10"}, {"100"}, {"10"}}});
    MakeTable(env, "T", {{{"K", aftVarChar, 10}}, {{"10"}, {"9"}, {"x"}}});
    struct Case {
        uint8_t Kind;
        bool Distinct;
        Rows Expected;
    } cases[] = {
        {ukIntersect, false, {{"10"}, {"10"}, {"9"}}},
        {ukIntersect, true, {{"10"}, {"9"}}},
        {ukExcept, false, {{"100"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Kind) + std::to_string(c.Distinct));
        TORQAOUnion u(Base(env, "N"), nullptr, c.Distinct, false, nullptr, nullptr, c.Kind, Base(env, "T"));
        OpenAll(u);
        EXPECT_EQ(Sorted(Result(u)), Sorted(c.Expected));
    }
}

}  // namespace

namespace {

// Values no common type compares: the operator names both columns and the cause.
TEST_F(SetOperations, ComparisonFailuresNameBothColumns) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"K", aftBoolean}}, {{"True"}}});
    MakeTable(env, "B", {{{"K", aftDate}}, {{"2020-01-02"}}});
    const std::string intersect = Raised([&] {
        TORQAOUnion u(Base(env, "A"), nullptr, false, false, nullptr, nullptr, ukIntersect, Base(env, "B"));
        OpenAll(u);
    });
    EXPECT_EQ(intersect.rfind("Cannot compare values for fields: K, K. Error: ", 0), 0u) << intersect;
    EXPECT_NE(intersect.find("Native error: 10335"), std::string::npos) << intersect;
    TORQFields l = Keys({{"A", "K"}}), r = Keys({{"B", "K"}});
    const std::string join = Raised([&] {
        TORQAOJoin j(Base(env, "A"), nullptr, &r, &l, false, jkInner, Base(env, "B"));
        OpenAll(j);
    });
    EXPECT_EQ(join.rfind("Cannot compare values for fields: K, K_1. Error: ", 0), 0u) << join;
    EXPECT_NE(join.find("Native error: 10328"), std::string::npos) << join;
    EXPECT_EQ(ResultTablesLeft(), 0);
}

}  // namespace

namespace {

// Sorting, grouping, de-duplicating or merging on a BLOB column fails with the index's
// error; it reaches the caller and no result table stays behind.
TEST_F(SetOperations, ABlobColumnThatMustBeSortedFailsClearly) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"K", aftInteger}, {"B", aftBlob}}, {{"1", "x"}, {"2", "y"}}});
    MakeTable(env, "C", {{{"J", aftInteger}, {"D", aftBlob}}, {{"1", "x"}}});
    const std::vector<std::pair<const char*, std::function<void()>>> cases = {
        {"group", [&] {
             std::vector<TORQSelectListItem> items;
             items.push_back(Field("", "B"));
             TORQFields by = Keys({{"", "B"}});
             TORQAOGroupBy group(Base(env, "A"), 0, items, &by);
             group.SetSelectList(items, 0, false);
             group.Open(true);
         }},
        {"order", [&] {
             TORQAOTableExpr derived(Base(env, "A"));
             derived.SetOrderBy("B", "", "");
             OpenAll(derived);
         }},
        {"distinct", [&] {
             TORQAOTableExpr derived(Base(env, "A"));
             std::vector<TORQSelectListItem> items;
             items.push_back(Field("", "B"));
             OpenWith(derived, items, true);
         }},
        {"join", [&] {
             TORQFields l = Keys({{"", "B"}}), r = Keys({{"", "D"}});
             TORQAOJoin join(Base(env, "A"), nullptr, &r, &l, false, jkInner, Base(env, "C"));
             OpenAll(join);
         }},
    };
    for (const auto& [name, run] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(NativeCode(run), 20295);
        EXPECT_EQ(ResultTablesLeft(), 0);
    }
}

}  // namespace
