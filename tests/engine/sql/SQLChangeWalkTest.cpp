// UPDATE and DELETE over an index range and under a filter change exactly the rows a
// model of the table names: a row whose key the update moves, ahead of the walk or
// behind it, into or out of the range, is changed once and never skipped. Every index
// finds the rows afterwards. And the walk does linear work: the candidates the scans
// examine grow with the rows, not with their square.
#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "RelationalAlgebraFixture.h"

#include "engine/access/ORQDatabase.h"
#include "engine/access/ORQQuery.h"
#include "engine/storage/ORQEngineState.h"
#include "engine/storage/ORQRecordPages.h"
#include "engine/storage/ORQTableScan.h"

using namespace ratest;

namespace {

enum TWalkMode { wmMemory, wmDisk, wmDiskInTransaction };

const char* WalkModeName(TWalkMode M) {
    return M == wmMemory ? "Memory" : M == wmDisk ? "Disk" : "DiskInTransaction";
}

struct TRow {
    int A, B, C;
};

class ChangeWalk : public EngineTest {
protected:
    void Start(TWalkMode M) {
        Mode = M;
        SetEngineSleeper([](int32_t) {});
        Env = std::make_unique<TEngineEnv>(M == wmMemory ? dstest::ekMemory : dstest::ekDisk);
    }
    void TearDown() override {
        Env.reset();
        SetEngineSleeper(nullptr);
        EngineTest::TearDown();
    }

    int32_t Exec(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Env->Name());
        q.SQL().SetText(Text);
        q.ExecSQL();
        return q.RowsAffected();
    }
    std::string Dump(const std::string& Text) {
        TORQQuery q;
        q.SetDatabaseName(Env->Name());
        q.SQL().SetText(Text);
        q.Open();
        std::string out;
        for (q.First(); !q.Eof(); q.Next()) {
            for (int i = 0; i < q.FieldCount(); ++i) out += (i > 0 ? "|" : "") + q.Fields()[i]->AsString();
            out += ";";
        }
        return out;
    }
    // T(A primary key, B indexed, C plain): A = 10 i, B = i mod 7, C = 37 i mod 100.
    void MakeTable(int Count) {
        Exec("create table t (a integer not null, b integer, c integer, primary key (a), index (b))");
        for (int first = 0; first < Count; first += 500) {
            std::string values;
            for (int i = first; i < std::min(Count, first + 500); ++i) {
                Model.push_back({10 * i, i % 7, (37 * i) % 100});
                values += (i > first ? ", (" : "(") + std::to_string(10 * i) + ", " + std::to_string(i % 7) + ", " +
                          std::to_string((37 * i) % 100) + ")";
            }
            Exec("insert into t values " + values);
        }
    }
    // The model's rows as the three reads below give them.
    std::string Expected(bool ByB) const {
        std::vector<TRow> rows = Model;
        std::sort(rows.begin(), rows.end(), [&](const TRow& x, const TRow& y) {
            return ByB ? (x.B != y.B ? x.B < y.B : x.A < y.A) : x.A < y.A;
        });
        std::string out;
        for (const TRow& r : rows)
            out += std::to_string(r.A) + "|" + std::to_string(r.B) + "|" + std::to_string(r.C) + ";";
        return out;
    }
    void ExpectTableIsModel() {
        // A sort of every record, a walk of the primary key and one of the B index.
        EXPECT_EQ(Dump("select a, b, c from t order by a"), Expected(false));
        EXPECT_EQ(Dump("select a, b, c from t where a >= 0 order by a"), Expected(false));
        EXPECT_EQ(Dump("select a, b, c from t where b >= 0 order by b, a"), Expected(true));
    }

    TWalkMode Mode = wmMemory;
    std::unique_ptr<TEngineEnv> Env;
    std::vector<TRow> Model;
};

class ChangeWalkModes : public ChangeWalk, public ::testing::WithParamInterface<TWalkMode> {
protected:
    void SetUp() override {
        ChangeWalk::SetUp();
        Start(GetParam());
    }
};

TEST_P(ChangeWalkModes, UpdateAndDeleteChangeExactlyTheModelsRows) {
    MakeTable(400);
    if (Mode == wmDiskInTransaction) Env->Db->StartTransaction();
    struct Case {
        const char* Text;
        std::function<bool(const TRow&)> Where;
        // Empty: the rows are deleted.
        std::function<void(TRow&)> Change;
    };
    const Case cases[] = {
        // Keys moved ahead of a forward walk, staying in the range.
        {"update t set a = a + 5 where a >= 1000 and a < 2000", [](const TRow& r) { return r.A >= 1000 && r.A < 2000; },
         [](TRow& r) { r.A += 5; }},
        // Keys moved behind, which a backward walk would meet again.
        {"update t set a = a - 7 where a >= 3000", [](const TRow& r) { return r.A >= 3000; },
         [](TRow& r) { r.A -= 7; }},
        // Keys moved out of the range and beyond every other key.
        {"update t set a = a + 10000 where a > 2000 and a <= 2500", [](const TRow& r) { return r.A > 2000 && r.A <= 2500; },
         [](TRow& r) { r.A += 10000; }},
        // Keys moved into the range from below it.
        {"update t set a = a + 1502 where a < 400", [](const TRow& r) { return r.A < 400; },
         [](TRow& r) { r.A += 1502; }},
        // An indexed column moved ahead within its range, and one set under a plain filter.
        {"update t set b = b + 1 where b >= 2 and b <= 4", [](const TRow& r) { return r.B >= 2 && r.B <= 4; },
         [](TRow& r) { r.B += 1; }},
        {"update t set c = c + 1, b = 0 where c < 20", [](const TRow& r) { return r.C < 20; },
         [](TRow& r) {
             r.C += 1;
             r.B = 0;
         }},
        {"delete from t where a >= 1200 and a < 1800", [](const TRow& r) { return r.A >= 1200 && r.A < 1800; }, {}},
        {"delete from t where b = 3", [](const TRow& r) { return r.B == 3; }, {}},
        {"delete from t where c > 60 and a < 3000", [](const TRow& r) { return r.C > 60 && r.A < 3000; }, {}},
        {"delete from t where a >= 12000 or b = 6", [](const TRow& r) { return r.A >= 12000 || r.B == 6; }, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        int32_t expected = 0;
        std::vector<TRow> next;
        for (TRow r : Model) {
            if (!c.Where(r)) {
                next.push_back(r);
                continue;
            }
            ++expected;
            if (c.Change) {
                c.Change(r);
                next.push_back(r);
            }
        }
        ASSERT_GT(expected, 0);
        Model = std::move(next);
        EXPECT_EQ(Exec(c.Text), expected);
        ExpectTableIsModel();
    }
    if (Mode == wmDiskInTransaction) {
        Env->Db->Commit(false);
        ExpectTableIsModel();
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ChangeWalkModes, ::testing::Values(wmMemory, wmDisk, wmDiskInTransaction),
                         [](const ::testing::TestParamInfo<TWalkMode>& I) { return WalkModeName(I.param); });

// A DELETE of half the table through an index range used to walk the range again from
// its start after every record; an UPDATE of the same size walks it once.
TEST_P(ChangeWalkModes, ChangesOfManyRowsExamineEachCandidateAFewTimes) {
    constexpr int kRows = 4000;
    MakeTable(kRows);
    if (Mode == wmDiskInTransaction) Env->Db->StartTransaction();
    const auto count = [&](const std::function<bool(const TRow&)>& Where) {
        return static_cast<int32_t>(std::count_if(Model.begin(), Model.end(), Where));
    };
    const auto inRange = [](const TRow& r) { return r.A >= 10000 && r.A < 30000; };
    struct Case {
        const char* Text;
        int32_t Rows;
    };
    const Case cases[] = {
        {"update t set c = c + 1 where a >= 10000 and a < 30000", count(inRange)},
        {"update t set c = c + 1 where b = 2", count([](const TRow& r) { return r.B == 2; })},
        {"delete from t where a >= 10000 and a < 30000", count(inRange)},
        {"delete from t where b = 1", count([&](const TRow& r) { return r.B == 1 && !inRange(r); })},
    };
    const int32_t left = kRows - cases[2].Rows - cases[3].Rows;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        const int64_t before = TORQTableScan::CandidatesExamined();
        EXPECT_EQ(Exec(c.Text), c.Rows);
        // Quadratic work would be about Rows * Rows / 2 candidates.
        EXPECT_LE(TORQTableScan::CandidatesExamined() - before, 4 * kRows);
    }
    if (Mode == wmDiskInTransaction) Env->Db->Commit(false);
    EXPECT_EQ(Dump("select count(*) from t"), std::to_string(left) + ";");
}

// Text keys as long as the indexed prefix hold their values whole: deleting their keys
// reads no more records than deleting number keys does. Keys longer than the prefix
// still compare by the whole value, so values alike in the prefix stay apart.
TEST_P(ChangeWalkModes, TextKeysFillingThePrefixAreComparedInTheIndex) {
    const auto padded = [](std::string Text, std::size_t Size) {
        Text.resize(Size, '.');
        return Text;
    };
    // N: the number key; S: every value exactly 20 characters; L: 24, alike in their
    // first 20. Each with 12 values over the rows.
    Exec("create table n (a integer not null, v integer, primary key (a), index (v))");
    Exec("create table s (a integer not null, v varchar(20), primary key (a), index (v))");
    Exec("create table l (a integer not null, v varchar(24), primary key (a), index (v))");
    constexpr int kRows = 1200, kNames = 12;
    const auto Tail = [&](int I) { return std::string(4, static_cast<char>('A' + I % kNames)); };
    const auto value = [&](const std::string& Table, int I) {
        const std::string k = std::to_string(I % kNames);
        if (Table == "n") return k;
        return "'" + (Table == "s" ? padded("STATION " + k, 20) : padded("STATION", 20) + Tail(I)) + "'";
    };
    for (const std::string table : {"n", "s", "l"})
        for (int first = 0; first < kRows; first += 400) {
            std::string values;
            for (int i = first; i < first + 400; ++i)
                values += (i > first ? ", (" : "(") + std::to_string(i) + ", " + value(table, i) + ")";
            Exec("insert into " + table + " values " + values);
        }
    if (Mode == wmDiskInTransaction) Env->Db->StartTransaction();
    std::map<std::string, int64_t> reads;
    for (const std::string table : {"n", "s", "l"}) {
        int64_t& count = reads[table];
        SetRecordReadFaultHook([&](int32_t, int32_t) { ++count; });
        EXPECT_EQ(Exec("delete from " + table + " where a >= 300 and a < 900"), 600);
        SetRecordReadFaultHook(nullptr);
    }
    // Reading the records to compare would take several reads per key.
    EXPECT_LE(reads["s"], reads["n"] + 60);
    if (Mode == wmDiskInTransaction) Env->Db->Commit(false);
    for (const std::string table : {"n", "s", "l"})
        for (int k = 0; k < kNames; ++k) {
            SCOPED_TRACE(table + " " + std::to_string(k));
            std::string expected;
            for (int i = k; i < kRows; i += kNames)
                if (i < 300 || i >= 900) expected += std::to_string(i) + ";";
            EXPECT_EQ(Dump("select a from " + table + " where v = " + value(table, k) + " order by a"), expected);
        }
    // L's index orders the values by their tails beyond the prefix.
    std::string expected, walked;
    for (int k = 0; k < kNames; ++k)
        for (int i = k; i < kRows; i += kNames)
            if (i < 300 || i >= 900) expected += std::to_string(i) + ";";
    TORQTable l;
    l.SetDatabaseName(Env->Name());
    l.SetTableName("L");
    l.SetIndexFieldNames("V");
    l.Open();
    for (l.First(); !l.Eof(); l.Next()) walked += l.Fields()[0]->AsString() + ";";
    EXPECT_EQ(walked, expected);
}

}  // namespace
