// Joins of any width through TORQQuery: every column of every table of a FROM list read
// in every position of a query (against a nested-loop model of the same rows, not the
// engine), the planned join order against the order of the list on seeded queries, long
// chains and stars, and the errors a statement raises while it runs.
#include "RelationalAlgebraFixture.h"

#include <numeric>
#include <set>

#include "engine/access/ORQQuery.h"
#include "engine/sql/ORQSQLSelect.h"

using namespace ratest;
using dstest::ekMemory;

namespace {

std::unique_ptr<TORQQuery> Query(TEngineEnv& Env, const std::string& Text) {
    auto q = std::make_unique<TORQQuery>();
    q->SetDatabaseName(Env.Name());
    q->SQL().SetText(Text);
    return q;
}

Rows RunSql(TEngineEnv& Env, const std::string& Text) {
    auto q = Query(Env, Text);
    q->Open();
    Rows r = Read(*q);
    q->Close();
    return r;
}

std::vector<std::string> FieldNames(TORQQuery& Q) {
    std::vector<std::string> n;
    for (int i = 0; i < Q.Fields().Count(); ++i) n.push_back(Q.Fields()[i]->FieldName());
    return n;
}

// Restores the planned join order when a test ends, whatever happened.
struct TPlanning {
    explicit TPlanning(bool Planned) { SetJoinOrderPlanning(Planned); }
    ~TPlanning() { SetJoinOrderPlanning(true); }
};

// ---------------------------------------------------------------------------------
// Every column in every position, 2 to 8 tables

using Value = std::optional<int64_t>;
using Wide = std::vector<Value>;  // K1, V1, K2, V2, ... of one joined row

// Table Ti(Ki, Vi): keys 1 to 3 (odd i) or 1 to 2 (even i), so a LEFT chain loses
// partners; Vi = 10 i + Ki, Null for key 2 in every third table.
std::vector<std::pair<Value, Value>> ModelTable(int I) {
    std::vector<std::pair<Value, Value>> rows;
    for (int k = 1; k <= (I % 2 ? 3 : 2); ++k) rows.push_back({k, (k == 2 && I % 3 == 0) ? Value() : Value(10 * I + k)});
    return rows;
}

enum TForm { fmComma, fmCross, fmInner, fmLeft };
const char* const FormNames[] = {"comma", "cross", "inner", "left"};

std::vector<Wide> ModelJoin(TForm F, int N) {
    std::vector<Wide> acc;
    for (const auto& [k, v] : ModelTable(1)) acc.push_back({k, v});
    for (int i = 2; i <= N; ++i) {
        std::vector<Wide> next;
        const std::size_t prevKey = static_cast<std::size_t>(2 * (i - 2));
        for (const Wide& w : acc) {
            bool matched = false;
            for (const auto& [k, v] : ModelTable(i)) {
                if (F != fmCross && !(w[prevKey] && k && *w[prevKey] == *k)) continue;
                Wide r = w;
                r.push_back(k);
                r.push_back(v);
                next.push_back(r);
                matched = true;
            }
            if (!matched && F == fmLeft) {
                Wide r = w;
                r.resize(r.size() + 2);
                next.push_back(r);
            }
        }
        acc = next;
    }
    return acc;
}

// The FROM clause and the conditions that link its tables (comma lists only).
std::pair<std::string, std::string> FromClause(TForm F, int N) {
    std::string from = "T1", links;
    for (int i = 2; i <= N; ++i) {
        const std::string t = "T" + std::to_string(i);
        const std::string on = "K" + std::to_string(i) + " = K" + std::to_string(i - 1);
        switch (F) {
            case fmComma:
                from += ", " + t;
                links += (links.empty() ? "" : " AND ") + on;
                break;
            case fmCross: from += " CROSS JOIN " + t; break;
            case fmInner: from += " INNER JOIN " + t + " ON " + on; break;
            case fmLeft: from += " LEFT JOIN " + t + " ON " + on; break;
        }
    }
    return {from, links};
}

Cell Text(Value V) { return V ? Cell(std::to_string(*V)) : Null; }

class WideJoinTest : public EngineTest {};
class WideJoinFormTest : public EngineTest, public ::testing::WithParamInterface<TForm> {};

TEST_P(WideJoinFormTest, EveryColumnOfEveryTableIsReadableInEveryPosition) {
    TEngineEnv env(ekMemory);
    for (int i = 1; i <= 8; ++i) {
        TData d{{{"K" + std::to_string(i), aftInteger}, {"V" + std::to_string(i), aftInteger}}, {}};
        for (const auto& [k, v] : ModelTable(i)) d.Data.push_back({Text(k), Text(v)});
        MakeTable(env, "T" + std::to_string(i), d);
    }
    MakeTable(env, "Q", {{{"W", aftInteger}}, {{"1"}, {"2"}, {"3"}}});
    const TForm form = GetParam();
    {
        for (int n = 2; n <= 8; ++n) {
            const auto [from, links] = FromClause(form, n);
            const std::vector<Wide> joined = ModelJoin(form, n);
            auto where = [&, links = links](const std::string& Condition) {
                if (links.empty()) return Condition.empty() ? std::string() : " WHERE " + Condition;
                return " WHERE " + links + (Condition.empty() ? std::string() : " AND " + Condition);
            };
            for (int col = 0; col < 2 * n; ++col) {
                const std::string c = (col % 2 ? "V" : "K") + std::to_string(col / 2 + 1);
                auto at = [&](const Wide& w) { return w[static_cast<size_t>(col)]; };
                SCOPED_TRACE(std::string(FormNames[form]) + " of " + std::to_string(n) + ", column " + c);

                // Inside an expression of the select list, WHERE on one table and on two,
                // ORDER BY.
                std::vector<int64_t> kept;
                for (const Wide& w : joined)
                    if (at(w) && *at(w) != 12 && *at(w) + *w[0] > 0) kept.push_back(*at(w));
                std::sort(kept.rbegin(), kept.rend());
                Rows want;
                for (int64_t v : kept) want.push_back({std::to_string(v + 1)});
                const std::string q1 = "SELECT " + c + " + 1 FROM " + from + where(c + " + 0 <> 12 AND " + c + " + K1 > 0") +
                                       " ORDER BY " + c + " DESC";
                Rows got;
                ASSERT_NO_THROW(got = RunSql(env, q1)) << q1 << "\n" << Raised([&] { RunSql(env, q1); });
                EXPECT_EQ(Show(got), Show(want)) << q1;

                // GROUP BY, aggregates over an expression, HAVING.
                std::map<Value, std::vector<const Wide*>> groups;
                for (const Wide& w : joined) groups[at(w)].push_back(&w);
                want.clear();
                for (const auto& [key, members] : groups) {
                    Value least, sum;
                    for (const Wide* w : members) {
                        if (at(*w) && (!least || *at(*w) + *(*w)[0] < *least)) least = *at(*w) + *(*w)[0];
                        if (at(*w)) sum = sum.value_or(0) + *at(*w) * 2;
                    }
                    if (least && *least > 2)
                        want.push_back({Text(key), std::to_string(members.size()), Text(sum)});
                }
                const std::string q2 = "SELECT " + c + ", COUNT(*), SUM(" + c + " * 2) FROM " + from + where("") +
                                       " GROUP BY " + c + " HAVING MIN(" + c + " + K1) > 2";
                ASSERT_NO_THROW(got = RunSql(env, q2)) << q2 << "\n" << Raised([&] { RunSql(env, q2); });
                EXPECT_EQ(Show(Sorted(got)), Show(Sorted(want))) << q2;

                int64_t count = 0;
                for (const Wide& w : joined)
                    if (at(w) && *at(w) - 1 >= 1 && *at(w) - 1 <= 3) ++count;
                // A correlated subquery, once with the column's own name and once qualified
                // by its table (read above a join that may already be materialised).
                const std::string table = "T" + std::to_string(col / 2 + 1);
                const std::string q3 =
                    "SELECT COUNT(*) FROM " + from + where("EXISTS (SELECT * FROM Q WHERE W = " + c + " - 1)") +
                    " UNION ALL SELECT COUNT(*) FROM " + from +
                    where("EXISTS (SELECT * FROM T1 X WHERE X.K1 = " + table + "." + c + " - 1)");
                ASSERT_NO_THROW(got = RunSql(env, q3)) << q3 << "\n" << Raised([&] { RunSql(env, q3); });
                EXPECT_EQ(Show(got), Show({{std::to_string(count)}, {std::to_string(count)}})) << q3;
            }
        }
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

INSTANTIATE_TEST_SUITE_P(Forms, WideJoinFormTest, ::testing::Values(fmComma, fmCross, fmInner, fmLeft),
                         [](const ::testing::TestParamInfo<TForm>& I) { return std::string(FormNames[I.param]); });

// ---------------------------------------------------------------------------------
// The planned order against the order of the list

TEST_F(WideJoinTest, PlannedOrderGivesTheRowsAndColumnsOfTheListOrder) {
    TEngineEnv env(ekMemory);
    std::mt19937 random(59);
    const int tables = 12;
    // Ai distinct within a table, so that linked joins stay small; Bi anything.
    for (int i = 1; i <= tables; ++i) {
        std::vector<int> keys = {0, 1, 2, 3, 4};
        std::shuffle(keys.begin(), keys.end(), random);
        TData d{{{"A" + std::to_string(i), aftInteger}, {"B" + std::to_string(i), aftInteger}}, {}};
        for (int r = 0; r < 4; ++r)
            d.Data.push_back({std::to_string(keys[static_cast<size_t>(r)]),
                              random() % 7 == 0 ? Null : Cell(std::to_string(random() % 10))});
        MakeTable(env, "R" + std::to_string(i), d);
    }
    auto pick = [&](int Below) { return static_cast<int>(random() % static_cast<unsigned>(Below)); };
    for (int round = 0; round < 60; ++round) {
        const int n = 3 + pick(10);
        std::vector<int> t(static_cast<size_t>(n));
        std::iota(t.begin(), t.end(), 1);
        std::shuffle(t.begin(), t.end(), random);
        auto name = [](int I) { return "R" + std::to_string(I); };
        auto column = [&](char C, int I) { return name(I) + "." + C + std::to_string(I); };

        // The list's entries: tables, and now and then an outer join of two of them.
        std::vector<std::string> entries;
        std::vector<std::vector<int>> members;
        for (std::size_t i = 0; i < t.size(); ++i) {
            if (i + 1 < t.size() && pick(5) == 0) {
                const char* kind = pick(2) ? " LEFT JOIN " : " RIGHT JOIN ";
                entries.push_back("(" + name(t[i]) + kind + name(t[i + 1]) + " ON " + column('A', t[i + 1]) + " = " +
                                  column('A', t[i]) + ")");
                members.push_back({t[i], t[i + 1]});
                ++i;
            } else {
                entries.push_back(name(t[i]));
                members.push_back({t[i]});
            }
        }
        // Links: most entries to one listed before them (so that the order of the list
        // stays small enough to run), up to two to none before them, a few more between
        // any two entries; single-table conditions here and there.
        std::vector<std::string> conditions;
        auto link = [&](std::size_t X, std::size_t Y) {
            const std::vector<int>& a = members[X];
            const std::vector<int>& b = members[Y];
            conditions.push_back(column('A', a[static_cast<size_t>(pick(static_cast<int>(a.size())))]) + " = " +
                                 column('A', b[static_cast<size_t>(pick(static_cast<int>(b.size())))]));
        };
        int unlinked = 0;
        for (std::size_t k = 1; k < entries.size(); ++k) {
            if (unlinked < 2 && pick(4) == 0) {
                ++unlinked;
                continue;
            }
            link(k, static_cast<size_t>(pick(static_cast<int>(k))));
        }
        for (int extra = pick(3); extra > 0; --extra) {
            const std::size_t x = static_cast<size_t>(pick(static_cast<int>(entries.size())));
            const std::size_t y = static_cast<size_t>(pick(static_cast<int>(entries.size())));
            if (x != y) link(x, y);
        }
        for (int i : t)
            if (pick(4) == 0)
                conditions.push_back(pick(2) ? column('B', i) + " > 2" : column('B', i) + " + " + column('A', i) + " < 9");
        std::shuffle(conditions.begin(), conditions.end(), random);

        std::string text = "SELECT * FROM ";
        for (std::size_t i = 0; i < entries.size(); ++i) text += (i ? ", " : "") + entries[i];
        for (std::size_t i = 0; i < conditions.size(); ++i) text += (i ? " AND " : " WHERE ") + conditions[i];
        SCOPED_TRACE(text);

        Rows planned, listed;
        std::vector<std::string> plannedNames, listedNames;
        for (bool plan : {false, true}) {
            TPlanning planning(plan);
            auto q = Query(env, text);
            ASSERT_NO_THROW(q->Open()) << Raised([&] { Query(env, text)->Open(); });
            (plan ? planned : listed) = Sorted(Read(*q));
            (plan ? plannedNames : listedNames) = FieldNames(*q);
        }
        EXPECT_EQ(Show(planned), Show(listed));
        EXPECT_EQ(plannedNames, listedNames);
    }
    EXPECT_EQ(ResultTablesLeft(), 0);
}

TEST_F(WideJoinTest, ThirtyTablesLinkedInAnyOrderAreJoinedAlongTheLinks) {
    TEngineEnv env(ekMemory);
    const int tables = 30;
    for (int i = 1; i <= tables; ++i) {
        TData d{{{"ID", aftInteger}, {"P", aftInteger}}, {}};
        for (int r = 1; r <= 10; ++r) d.Data.push_back({std::to_string(r), std::to_string(11 - r)});
        MakeTable(env, "C" + std::to_string(i), d);
    }
    std::mt19937 random(30);
    std::vector<int> listed(tables);
    std::iota(listed.begin(), listed.end(), 1);
    std::shuffle(listed.begin(), listed.end(), random);
    std::string from;
    for (int i : listed) from += (from.empty() ? "" : ", ") + ("C" + std::to_string(i));
    auto c = [](int I, const char* F) { return "C" + std::to_string(I) + "." + F; };

    // A chain C1 - C2 - ... - C30, P of one to ID of the next, and a star around C7; the
    // conditions in a shuffled order too. Each ID meets one P, so both give ten rows.
    std::vector<std::string> chain, star;
    for (int i = 1; i < tables; ++i) chain.push_back(c(i, "P") + " = " + c(i + 1, "ID"));
    for (int i = 1; i <= tables; ++i)
        if (i != 7) star.push_back(c(i, "ID") + " = " + c(7, "ID"));
    struct Case {
        std::vector<std::string> Links;
        std::string Select;
        Rows Want;
    };
    // Along the chain ID alternates between r and 11 - r.
    const Case cases[] = {
        {chain, "COUNT(*), SUM(C1.ID + C30.ID)", {{"10", "110"}}},
        {star, "COUNT(*), SUM(C1.ID + C30.P)", {{"10", "110"}}},
    };
    for (Case k : cases) {
        std::shuffle(k.Links.begin(), k.Links.end(), random);
        std::string text = "SELECT " + k.Select + " FROM " + from;
        for (std::size_t i = 0; i < k.Links.size(); ++i) text += (i ? " AND " : " WHERE ") + k.Links[i];
        SCOPED_TRACE(text);
        Rows got;
        ASSERT_NO_THROW(got = RunSql(env, text)) << Raised([&] { RunSql(env, text); });
        EXPECT_EQ(Show(got), Show(k.Want));
    }
}

}  // namespace
