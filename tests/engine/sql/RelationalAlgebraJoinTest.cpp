// The join operator against a nested-loop model: every kind with and without keys,
// with an extra ON condition, NATURAL, the smaller input on either side, over seeded
// random tables with Nulls, duplicate keys, mixed-case and accented text and a BLOB
// column, in MEMORY and on disk; the construction errors; keys of type families that
// sort differently.
#include "RelationalAlgebraFixture.h"

using namespace ratest;

namespace {

const char* const Texts[] = {"abc", "ABC", "\xc3\x84pfel", "\xc3\xa4pfel", "zz", "Zz", "m"};

// K an integer key with Nulls and repeats, S a text key, V a value, B a BLOB (Null or
// up to 5,000 bytes of any value).
TData RandomTable(std::mt19937& Rng, int Count, const std::string& Prefix) {
    TData d;
    d.Columns = {{"K", aftInteger}, {"S", aftVarChar, 20}, {Prefix + "V", aftInteger}, {Prefix + "B", aftBlob}};
    std::uniform_int_distribution<int> key(0, 5), text(0, 7), value(0, 99), size(-1, 5000);
    for (int i = 0; i < Count; ++i) {
        const int k = key(Rng), s = text(Rng), n = size(Rng);
        Cell blob = Null;
        if (n > 0) {
            blob = std::string(static_cast<size_t>(n), '\0');
            for (char& c : *blob) c = static_cast<char>(Rng());
        }
        d.Data.push_back({k == 5 ? Null : Cell(std::to_string(k)), s == 7 ? Null : Cell(Texts[s]),
                          Cell(std::to_string(value(Rng))), blob});
    }
    return d;
}

struct JoinCase {
    const char* Name;
    uint8_t Kind;
    bool Keys;        // join on K (and S when TwoKeys)
    bool TwoKeys;
    bool ExtraOn;     // and L.LV < R.RV
    bool Natural;
};

class JoinModel : public EngineTest, public ::testing::WithParamInterface<TEngineKind> {};

TEST_P(JoinModel, EveryKindGivesTheModelsRows) {
    TEngineEnv env(GetParam());
    const JoinCase cases[] = {
        {"cross", jkCross, false, false, false, false},       {"inner", jkInner, true, false, false, false},
        {"inner2", jkInner, true, true, false, false},        {"innerOn", jkInner, true, false, true, false},
        {"left", jkLeft, true, false, false, false},          {"leftOn", jkLeft, true, false, true, false},
        {"right", jkRight, true, false, false, false},        {"rightOn", jkRight, true, true, true, false},
        {"full", jkFull, true, false, false, false},          {"fullOn", jkFull, true, false, true, false},
        {"full2", jkFull, true, true, false, false},          {"leftNoKeys", jkLeft, false, false, true, false},
        {"fullNoKeys", jkFull, false, false, true, false},    {"innerNoKeysOn", jkInner, false, false, true, false},
        {"natural", jkInner, false, false, false, true},      {"naturalLeft", jkLeft, false, false, false, true},
    };
    std::mt19937 rng(4242);
    for (const auto& [nl, nr] : {std::pair{9, 4}, std::pair{4, 11}, std::pair{0, 5}, std::pair{6, 0}}) {
        const TData l = RandomTable(rng, nl, "L"), r = RandomTable(rng, nr, "R");
        MakeTable(env, "TL", l);
        MakeTable(env, "TR", r);
        for (const JoinCase& c : cases) {
            SCOPED_TRACE(std::string(c.Name) + " " + std::to_string(nl) + "x" + std::to_string(nr));
            TORQFields lk, rk;
            std::vector<std::pair<int, int>> pairs;
            if (c.Keys) {
                lk = Keys({{"TL", "K"}});
                rk = Keys({{"TR", "K"}});
                pairs = {{0, 0}};
                if (c.TwoKeys) {
                    lk.Add(Field("TL", "S"));
                    rk.Add(Field("TR", "S"));
                    pairs.emplace_back(1, 1);
                }
            }
            // Natural joins pair the common names K and S.
            if (c.Natural) pairs = {{0, 0}, {1, 1}};
            Predicate on;
            std::unique_ptr<TORQExpression> onExpr;
            if (c.ExtraOn) {
                onExpr = Condition("TL.LV < TR.RV");
                on = [](const Row& a, const Row& b) { return AsInt(a[2]) < AsInt(b[2]); };
            }
            // An INNER join's ON condition is the join's WHERE; an outer join's stays its own.
            std::unique_ptr<TORQExpression> where;
            if (c.Kind == jkInner && onExpr && c.Keys) where = std::move(onExpr);
            TORQAOJoin join(Base(env, "TL"), std::move(onExpr), c.Keys ? &rk : nullptr, c.Keys ? &lk : nullptr,
                            c.Natural, c.Kind, Base(env, "TR"));
            if (where) join.AddCondition(std::move(where));
            OpenAll(join);
            const uint8_t kind = (c.Kind == jkInner && !c.Keys && !c.ExtraOn && !c.Natural) ? uint8_t{jkCross} : c.Kind;
            EXPECT_EQ(Sorted(Result(join)), Sorted(ModelJoin(l, r, kind, pairs, on)));
            if (kind == jkCross) {
                EXPECT_EQ(Result(join), ModelJoin(l, r, kind, pairs, on)) << "left-major order";
            }
        }
        TORQTable drop;
        drop.SetDatabaseName(env.Name());
        for (const char* n : {"TL", "TR"}) {
            drop.SetTableName(n);
            drop.DeleteTable();
        }
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, JoinModel, ::testing::Values(dstest::ekMemory, dstest::ekDisk),
                         [](const auto& I) { return std::string(dstest::KindName(I.param)); });

class Join : public EngineTest {};

// Names compare ignoring case; the suffixes run _1, _12, not _2.
TEST_F(Join, ColumnsAreBothInputsWithRepeatsRenamed) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"ID", aftInteger}, {"X", aftInteger}}, {{"1", "10"}}});
    MakeTable(env, "B", {{{"ID", aftInteger}}, {{"1"}}});
    MakeTable(env, "C", {{{"id", aftInteger}}, {{"1"}}});
    auto ab = std::make_unique<TORQAOJoin>(Base(env, "A"), nullptr, nullptr, nullptr, false, jkCross, Base(env, "B"));
    TORQAOJoin abc(std::move(ab), nullptr, nullptr, nullptr, false, jkCross, Base(env, "C"));
    OpenAll(abc);
    EXPECT_EQ(Names(abc), (std::vector<std::string>{"ID", "X", "ID_1", "id_12"}));
    EXPECT_EQ(Result(abc), (Rows{{"1", "10", "1", "1"}}));
}

TEST_F(Join, ConstructionErrorsNameTheirFields) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"K", aftInteger}, {"M", aftInteger}}, {}});
    MakeTable(env, "B", {{{"K", aftInteger}}, {}});
    TORQFields one = Keys({{"A", "K"}}), two = Keys({{"A", "K"}, {"A", "M"}}), missing = Keys({{"B", "NOPE"}});
    TORQFields ambiguous = Keys({{"", "K"}}), same = Keys({{"A", "M"}});
    auto make = [&](const TORQFields* r, const TORQFields* l) {
        return [&env, r, l] { TORQAOJoin(Base(env, "A"), nullptr, r, l, false, jkInner, Base(env, "B")); };
    };
    EXPECT_EQ(Raised(make(&one, &two)), "Error - different list lengths. L1 = 2, L2 = 1 - Native error: 10330");
    EXPECT_EQ(Raised(make(&missing, &one)),
              "Invalid field for join operation. Table name = 'B', FieldName = 'NOPE', i = 0, FieldExists = 0 - "
              "Native error: 10332");
    EXPECT_EQ(Raised(make(&one, &ambiguous)),
              "Invalid field for join operation. Table name = '', FieldName = 'K', i = 0, FieldExists = 2 - "
              "Native error: 10331");
    EXPECT_EQ(Raised(make(&same, &one)),
              "Both join fields are from the same table. Field1 = 'K', Field2 = 'M', No1 = 0, No2 = 1. - Native "
              "error: 10334");
}

TEST_F(Join, KeysWhoseTypesSortDifferentlyAreComparedPairByPair) {
    TEngineEnv env(dstest::ekMemory);
    // Sorted as numbers 9 < 10, as texts '10' < '9': a merge would miss one of the pairs.
    MakeTable(env, "N", {{{"K", aftInteger}}, {{"9"}, {"10"}, {"100"}}});
    MakeTable(env, "T", {{{"K", aftVarChar, 10}}, {{"9"}, {"10"}, {"x"}}});
    TORQFields l = Keys({{"N", "K"}}), r = Keys({{"T", "K"}});
    for (uint8_t kind : {jkInner, jkLeft, jkFull}) {
        TORQAOJoin join(Base(env, "N"), nullptr, &r, &l, false, kind, Base(env, "T"));
        OpenAll(join);
        Rows expected = {{"10", "10"}, {"9", "9"}};
        if (kind != jkInner) expected.push_back({"100", Null});
        if (kind == jkFull) expected.push_back({Null, "x"});
        EXPECT_EQ(Sorted(Result(join)), Sorted(expected)) << int(kind);
    }
}

TEST_F(Join, NaturalWithoutCommonNamesIsACrossJoin) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"P", aftInteger}}, {{"1"}, {"2"}}});
    MakeTable(env, "B", {{{"Q", aftInteger}}, {{"3"}, {"4"}}});
    TORQAOJoin join(Base(env, "A"), nullptr, nullptr, nullptr, true, jkInner, Base(env, "B"));
    EXPECT_TRUE(join.IsCross);
    OpenAll(join);
    EXPECT_EQ(Result(join), (Rows{{"1", "3"}, {"1", "4"}, {"2", "3"}, {"2", "4"}}));
}

TEST_F(Join, OuterRowsWhoseOnConditionFailsComeOnceWithTheOtherSideNull) {
    TEngineEnv env(dstest::ekMemory);
    MakeTable(env, "A", {{{"K", aftInteger}, {"V", aftInteger}}, {{"1", "5"}, {Null, "6"}}});
    MakeTable(env, "B", {{{"K", aftInteger}, {"W", aftInteger}}, {{"1", "1"}, {"1", "2"}, {Null, "3"}}});
    TORQFields l = Keys({{"A", "K"}}), r = Keys({{"B", "K"}});
    TORQAOJoin left(Base(env, "A"), Condition("A.V < B.W"), &r, &l, false, jkLeft, Base(env, "B"));
    OpenAll(left);
    EXPECT_EQ(Sorted(Result(left)), Sorted(Rows{{"1", "5", Null, Null}, {Null, "6", Null, Null}}));
    // Both Null keys: each row once, the other side Null.
    TORQAOJoin full(Base(env, "A"), nullptr, &r, &l, false, jkFull, Base(env, "B"));
    OpenAll(full);
    EXPECT_EQ(Sorted(Result(full)), Sorted(Rows{{"1", "5", "1", "1"},
                                                {"1", "5", "1", "2"},
                                                {Null, "6", Null, Null},
                                                {Null, Null, Null, "3"}}));
}

}  // namespace
