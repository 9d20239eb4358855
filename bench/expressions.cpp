// Filter evaluation per record: the receiver's typical browse filter (FREQ = 518 AND
// NAVAREA = '3' AND IDLETTER = 'A' AND UTCRECEIVED BETWEEN two timestamps) and a LIKE
// on the message text, built by hand, bound to a cursor and evaluated on record buffers
// the way the storage engine's record filter does. Time per iteration is time per record.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "classlib/DateUtils.h"
#include "engine/sql/ORQExprNodes.h"
#include "engine/storage/ORQCursor.h"

namespace {

using namespace orq;

class BenchCursor : public TORQCursor {
public:
    BenchCursor() {
        const struct {
            const char* name;
            uint8_t type;
            int32_t size;
        } columns[] = {{"FREQ", aftInteger, 0},
                       {"NAVAREA", aftVarChar, 2},
                       {"IDLETTER", aftChar, 1},
                       {"UTCRECEIVED", aftDateTime, 0},
                       {"MESSAGE", aftVarChar, 200}};
        for (const auto& c : columns) {
            TORQFieldDef* f = FieldDefs.Add();
            f->Name = c.name;
            f->SetDataType(c.type, c.size);
        }
        FieldDefs.CalculateOffsets();
        CalculateRecordSizes();
        std::mt19937 rng(518);
        const char* areas[] = {"1", "3", "13"};
        const char* texts[] = {"ZCZC OA12 GALE WARNING NR 123 SOUTHERN NORTH SEA NNNN",
                               "ZCZC KA01 NAVIGATIONAL WARNING BUOY UNLIT NNNN",
                               "ZCZC EA44 WEATHER FORECAST WIND WEST 4 TO 5 NNNN"};
        for (int i = 0; i < 1024; ++i) {
            uint8_t* r = AllocRecordBuffer();
            TORQVariant v;
            v.SetAsInteger(rng() % 2 ? 518 : 490);
            SetFieldValue(v, 0, r, true);
            v.Clear(0);
            v.SetAsString(areas[rng() % 3]);
            SetFieldValue(v, 1, r, true);
            v.Clear(0);
            v.SetAsString(rng() % 2 ? "A" : "B");
            SetFieldValue(v, 2, r, true);
            v.Clear(0);
            v.SetAsDateTime(45000.0 + (rng() % 100) * 0.1);
            SetFieldValue(v, 3, r, true);
            v.Clear(0);
            v.SetAsString(texts[rng() % 3]);
            SetFieldValue(v, 4, r, true);
            Records.push_back(r);
        }
        CurrentRecord = Records[0];
    }
    ~BenchCursor() override {
        for (uint8_t*& r : Records) FreeRecordBuffer(r);
    }
    std::vector<uint8_t*> Records;
};

std::unique_ptr<TORQExprNode> Field(BenchCursor& c, const char* name) {
    return std::make_unique<TORQExprNodeField>(&c, "", name);
}

template <typename F>
std::unique_ptr<TORQExprNodeConst> Const(F set) {
    auto n = std::make_unique<TORQExprNodeConst>();
    set(n->Value);
    return n;
}

std::unique_ptr<TORQExprNode> Compare(uint8_t op, std::unique_ptr<TORQExprNode> l, std::unique_ptr<TORQExprNode> r) {
    return std::make_unique<TORQExprNodeComparison>(op, 0, 0, std::move(l), std::move(r), 1);
}

void Run(benchmark::State& state, BenchCursor& c, TORQExprNode& condition) {
    condition.Prepare();
    std::size_t i = 0, passed = 0;
    for (auto _ : state) {
        condition.SetRecordBuffer(c.Records[i & 1023], 0);
        TORQVariant& v = condition.GetValue();
        passed += !v.IsNull() && v.GetAsBoolean();
        ++i;
    }
    benchmark::DoNotOptimize(passed);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_ReceiverFilterPerRecord(benchmark::State& state) {
    BenchCursor c;
    auto root = std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0);
    root->AddChild(Compare(doEqual, Field(c, "FREQ"), Const([](TORQVariant& v) { v.SetAsInteger(518); })));
    root->AddChild(Compare(doEqual, Field(c, "NAVAREA"), Const([](TORQVariant& v) { v.SetAsString("3"); })));
    root->AddChild(Compare(doEqual, Field(c, "IDLETTER"), Const([](TORQVariant& v) { v.SetAsString("A"); })));
    auto range = std::make_unique<TORQExprNodeBoolean>(doAnd, 1, 0);
    range->AddChild(Compare(doGreaterOrEqual, Field(c, "UTCRECEIVED"),
                            Const([](TORQVariant& v) { v.SetAsDateTime(45002.0); })));
    range->AddChild(Compare(doLess, Field(c, "UTCRECEIVED"), Const([](TORQVariant& v) { v.SetAsDateTime(45008.0); })));
    root->AddChild(std::move(range));
    Run(state, c, *root);
}
BENCHMARK(BM_ReceiverFilterPerRecord);

void BM_LikePerRecord(benchmark::State& state) {
    BenchCursor c;
    auto like = std::make_unique<TORQExprNodeBoolean>(doLike, static_cast<uint8_t>(state.range(0)), 0);
    like->AddChild(Field(c, "MESSAGE"));
    like->AddChild(Const([](TORQVariant& v) { v.SetAsString("%GALE WARNING%"); }));
    Run(state, c, *like);
}
BENCHMARK(BM_LikePerRecord)->Arg(0)->Arg(1);

}  // namespace
