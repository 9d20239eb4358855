// Deleting through the table component until nothing is left: every position of a small
// view in physical order, by an ascending or a descending index, under a filter and
// under a range, on the in-memory engine and on a disk file of a single-user and a
// multi-user session, with and without a data link reading ahead; the view empty at the
// end, the records outside it kept, and the table taking appends again.
#include <algorithm>

#include "ORQDataSetTestFixture.h"

#include "classlib/DBFields.h"
#include "engine/access/ORQTable.h"

using namespace dstest;
using namespace classlib;

namespace {

struct TEnvKind {
    TEngineKind Kind;
    bool MultiUser;
    const char* Name;
};

class TableDelete : public EngineTest, public ::testing::WithParamInterface<TEnvKind> {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        Env = std::make_unique<TEngineEnv>(GetParam().Kind, GetParam().MultiUser);
    }
    void TearDown() override {
        Env.reset();
        EngineTest::TearDown();
    }

    // STATIONS with N stored in the order given; IDX_N ascending, IDX_ND descending.
    void CreateStations(const std::vector<int>& Ns) {
        {
            TORQTable t;
            t.SetDatabaseName(Env->Name());
            t.SetTableName("STATIONS");
            TORQAdvFieldDef* f = t.AdvFieldDefs().Add();
            f->Name = "N";
            f->DataType = aftInteger;
            TORQAdvIndexDef* i = t.AdvIndexDefs().Add();
            i->Name = "IDX_N";
            i->Fields = "N";
            i->Options = ixPrimary | ixUnique;
            i = t.AdvIndexDefs().Add();
            i->Name = "IDX_ND";
            i->Fields = "N";
            i->Options = ixDescending;
            t.CreateTable();
        }
        TORQTable t;
        t.SetDatabaseName(Env->Name());
        t.SetTableName("STATIONS");
        t.Open();
        for (int n : Ns) Append(t, n);
    }
    static void Append(TORQTable& T, int N) {
        T.Append();
        T.FieldByName("N")->SetAsInteger(N);
        T.Post();
    }
    static int N(TORQTable& T) { return T.FieldByName("N")->AsInteger(); }
    static std::vector<int> Walk(TORQTable& T) {
        std::vector<int> out;
        for (T.First(); !T.Eof(); T.Next()) out.push_back(N(T));
        return out;
    }

    std::unique_ptr<TEngineEnv> Env;
};

// How the table is looked at; Shown is the view's order of the stored 20, 10, 30 (and
// the 5 and 40 a filter or range hides).
struct TView {
    const char* Name;
    const char* Index;
    const char* Filter;
    bool Range;
    std::vector<int> Shown;
};

const TView kViews[] = {
    {"physical order", "", "", false, {20, 10, 30}},
    {"ascending index", "IDX_N", "", false, {10, 20, 30}},
    {"descending index", "IDX_ND", "", false, {30, 20, 10}},
    {"filter", "", "N >= 10 AND N <= 30", false, {20, 10, 30}},
    {"filter on an index", "IDX_N", "N >= 10 AND N <= 30", false, {10, 20, 30}},
    {"range", "IDX_N", "", true, {10, 20, 30}},
};

TEST_P(TableDelete, EveryPositionDeletesDownToAnEmptyViewThatTakesAppendsAgain) {
    for (const TView& v : kViews)
        for (size_t first = 0; first < 3; ++first)
            for (int linked : {0, 1}) {
                SCOPED_TRACE(std::string(v.Name) + ", deleting position " + std::to_string(first) +
                             (linked ? ", linked" : ""));
                const bool hides = *v.Filter != '\0' || v.Range;
                {
                    TORQTable drop;
                    drop.SetDatabaseName(Env->Name());
                    drop.SetTableName("STATIONS");
                    if (drop.Exists()) drop.DeleteTable();
                }
                CreateStations(hides ? std::vector<int>{20, 5, 10, 40, 30} : std::vector<int>{20, 10, 30});
                TORQTable t;
                t.SetDatabaseName(Env->Name());
                t.SetTableName("STATIONS");
                t.SetIndexName(v.Index);
                t.Open();
                TDataSource source(nullptr);
                TDataLink link;
                if (linked) {
                    source.SetDataSet(&t);
                    link.SetBufferCount(4);
                    link.SetDataSource(&source);
                }
                if (*v.Filter != '\0') {
                    t.SetFilterText(v.Filter);
                    t.SetFiltered(true);
                }
                if (v.Range) t.SetRange({Variant::FromInteger(10)}, {Variant::FromInteger(30)});
                ASSERT_EQ(Walk(t), v.Shown);

                std::vector<int> left = v.Shown;
                t.First();
                t.MoveBy(static_cast<int32_t>(first));
                size_t at = first;
                while (!left.empty()) {
                    ASSERT_EQ(N(t), left[at]);
                    ASSERT_EQ(Raised([&] { t.Delete(); }), "") << "deleting " << left[at];
                    left.erase(left.begin() + static_cast<std::ptrdiff_t>(at));
                    // The record after the deleted one, the one before it at the end.
                    if (at == left.size() && at > 0) --at;
                    if (left.empty()) break;
                    EXPECT_EQ(N(t), left[at]);
                    EXPECT_EQ(t.RecordCount(), static_cast<int32_t>(left.size()));
                    const std::vector<int> walked = Walk(t);
                    EXPECT_EQ(walked, left);
                    t.First();
                    t.MoveBy(static_cast<int32_t>(at));
                }
                EXPECT_TRUE(t.IsEmpty());
                EXPECT_TRUE(t.Bof());
                EXPECT_TRUE(t.Eof());
                EXPECT_EQ(t.RecordCount(), 0);
                EXPECT_EQ(t.State(), dsBrowse);
                EXPECT_NE(Raised([&] { t.Delete(); }).find("empty dataset"), std::string::npos);

                // The view takes an append and shows it; what it hid is still there.
                Append(t, 15);
                EXPECT_EQ(Walk(t), std::vector<int>{15});
                t.SetFiltered(false);
                if (v.Range) t.CancelRange();
                std::vector<int> all = Walk(t);
                std::sort(all.begin(), all.end());
                EXPECT_EQ(all, hides ? (std::vector<int>{5, 15, 40}) : std::vector<int>{15});
                t.Close();
                t.Open();
                EXPECT_EQ(t.RecordCount(), hides ? 3 : 1);
            }
}

INSTANTIATE_TEST_SUITE_P(Engines, TableDelete,
                         ::testing::Values(TEnvKind{ekMemory, false, "Memory"}, TEnvKind{ekDisk, false, "Disk"},
                                           TEnvKind{ekDisk, true, "DiskMultiUser"}),
                         [](const ::testing::TestParamInfo<TEnvKind>& I) { return std::string(I.param.Name); });

}  // namespace
