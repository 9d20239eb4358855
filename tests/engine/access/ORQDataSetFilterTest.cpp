// Filters, the record-filter event, FindNext, Locate and Lookup of the dataset against a
// brute-force pass over a seeded message log with Nulls in every field.
#include "ORQDataSetTestFixture.h"

#include <cmath>
#include <optional>

#include "classlib/DateUtils.h"
#include "classlib/VarUtils.h"

using namespace dstest;
using namespace classlib;

namespace {

constexpr int kRecords = 2000;
const TDateTime kStart = EncodeDate(2024, 1, 1);

struct LogRow {
    int Minute;  // UTCRECEIVED = kStart + Minute minutes
    std::optional<int32_t> Freq;
    std::optional<int> Area;
    std::optional<std::string> Letter;
    std::optional<std::string> Station;
    std::optional<int32_t> Dist;
    std::optional<std::string> Text;
};

LogRow SeedRow(int I) {
    LogRow r;
    r.Minute = I * 5;
    if (I % 7 != 0) r.Freq = I % 3 == 0 ? 490 : 518;
    if (I % 11 != 0) r.Area = I % 4;
    if (I % 13 != 0) r.Letter = std::string(1, "BSKLS"[I % 5]);
    if (I % 17 != 0) r.Station = I % 6 == 0 ? "UNID" : "ST" + std::to_string(I % 9);
    if (I % 19 != 0) r.Dist = (I * 37) % 1000;
    if (I % 23 != 0) r.Text = "ZCZC MSG " + std::to_string(I) + (I % 10 == 0 ? " GALE WARNING" : " NIL") + "\r\nNNNN";
    return r;
}

TDateTime RowTime(int Minute) { return kStart + Minute / 1440.0; }

void AppendRow(TTestDataSet& Ds, const LogRow& R) {
    Ds.Append();
    Ds.FieldByName("UTCRECEIVED")->SetAsDateTime(RowTime(R.Minute));
    if (R.Freq) Ds.FieldByName("FREQ")->SetAsInteger(*R.Freq);
    if (R.Area) Ds.FieldByName("NAVAREA")->SetAsInteger(*R.Area);
    if (R.Letter) Ds.FieldByName("IDLETTER")->SetAsString(*R.Letter);
    if (R.Station) Ds.FieldByName("STATION")->SetAsString(*R.Station);
    if (R.Dist) Ds.FieldByName("DIST")->SetAsInteger(*R.Dist);
    if (R.Text) Ds.FieldByName("MSGTEXT")->SetAsString(*R.Text);
    Ds.Post();
}

int RowMinute(TTestDataSet& Ds) {
    return static_cast<int>(std::lround((Ds.FieldByName("UTCRECEIVED")->AsDateTime() - kStart) * 1440.0));
}

// Minutes of the records the dataset shows, walked forward or backward.
std::vector<int> Walk(TTestDataSet& Ds, bool Forward) {
    std::vector<int> out;
    if (Forward) {
        for (Ds.First(); !Ds.Eof(); Ds.Next()) out.push_back(RowMinute(Ds));
    } else {
        for (Ds.Last(); !Ds.Bof(); Ds.Prior()) out.push_back(RowMinute(Ds));
        std::reverse(out.begin(), out.end());
    }
    return out;
}

// The log, seeded once per suite on a disk file; single-user and multi-user.
class LogFilters : public ::testing::TestWithParam<bool> {
protected:
    static void SetUpTestSuite() {
        for (int i = 0; i < kRecords; ++i) Rows.push_back(SeedRow(i));
    }
    void SetUp() override {
        StartEngine();
        Env = std::make_unique<TEngineEnv>(ekDisk, GetParam());
        TORQFieldDefs f;
        NavtexLogFields(f);
        TORQIndexDefs i;
        NavtexLogIndexes(i);
        Env->CreateTable("NAVTEXLOG", f, &i);
        Ds = Env->Open("NAVTEXLOG");
    }
    void TearDown() override {
        Ds.reset();
        Env.reset();
        StopEngine();
    }
    // One write batch: the rows reach the file together.
    void Seed() {
        Ds->Cursor()->BeginUpdateBatch();
        for (const LogRow& r : Rows) AppendRow(*Ds, r);
        Ds->Cursor()->CommitBatch();
    }
    std::vector<int> Brute(const std::function<bool(const LogRow&)>& Accept) const {
        std::vector<int> out;
        for (const LogRow& r : Rows)
            if (Accept(r)) out.push_back(r.Minute);
        return out;
    }

    static std::vector<LogRow> Rows;
    TORQScriptedUserInterface UI;
    std::unique_ptr<TEngineEnv> Env;
    std::unique_ptr<TTestDataSet> Ds;
};
std::vector<LogRow> LogFilters::Rows;


// A field compared with a quoted constant orders Null before every value (so Null is
// not 'UNID'); against a number Null never passes. The cursor's filters compare so.
template <class T>
bool Is(const std::optional<T>& V, const T& X) {
    return V && *V == X;
}
template <class T>
bool IsNot(const std::optional<T>& V, const T& X) {
    return !V || *V != X;
}

TEST_P(LogFilters, FilterTextsOfTheLogGiveTheBruteForceRecordsBothWays) {
    Seed();
    ASSERT_EQ(Ds->RecordCount(), kRecords);
    const std::string from = "'2024-01-02'", to = "'2024-01-05 12:00:00'";
    const int fromMin = 1440, toMin = 4 * 1440 + 720;
    const std::string s = "'S'", one = "'1'";
    struct Case {
        std::string Text;
        std::function<bool(const LogRow&)> Accept;
    };
    const std::string S = "S", UNID = "UNID";
    const std::vector<Case> cases = {
        {"IDLETTER = " + s + " AND NAVAREA=" + one, [&](const LogRow& r) { return Is(r.Letter, S) && Is(r.Area, 1); }},
        {"FREQ=518 AND NAVAREA=" + one + " AND IDLETTER = " + s,
         [&](const LogRow& r) { return Is(r.Freq, 518) && Is(r.Area, 1) && Is(r.Letter, S); }},
        {"IDLETTER = " + s, [&](const LogRow& r) { return Is(r.Letter, S); }},
        {"FREQ=518 AND IDLETTER = " + s, [&](const LogRow& r) { return Is(r.Freq, 518) && Is(r.Letter, S); }},
        {"FREQ=490 AND NAVAREA=" + one, [&](const LogRow& r) { return Is(r.Freq, 490) && Is(r.Area, 1); }},
        {"FREQ=518", [&](const LogRow& r) { return Is(r.Freq, 518); }},
        {"NAVAREA='0'", [&](const LogRow& r) { return Is(r.Area, 0); }},
        {"FREQ=518 AND NAVAREA=1 AND IDLETTER=" + s + " AND UTCRECEIVED>=" + from + " AND UTCRECEIVED<=" + to,
         [&](const LogRow& r) {
             return Is(r.Freq, 518) && Is(r.Area, 1) && Is(r.Letter, S) && r.Minute >= fromMin && r.Minute <= toMin;
         }},
        {"UTCRECEIVED>=" + from + " AND UTCRECEIVED<=" + to,
         [&](const LogRow& r) { return r.Minute >= fromMin && r.Minute <= toMin; }},
        {"UTCRECEIVED < " + from + " AND STATION<>'UNID'",
         [&](const LogRow& r) { return r.Minute < fromMin && IsNot(r.Station, UNID); }},
        {"STATION='UNID'", [&](const LogRow& r) { return Is(r.Station, UNID); }},
        {"DIST < 500 AND STATION<>'UNID'", [&](const LogRow& r) { return r.Dist && *r.Dist < 500 && IsNot(r.Station, UNID); }},
        {"UTCRECEIVED < " + from + " AND DIST < 500 AND STATION<>'UNID'",
         [&](const LogRow& r) { return r.Minute < fromMin && r.Dist && *r.Dist < 500 && IsNot(r.Station, UNID); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Text);
        Ds->SetFiltered(false);
        Ds->SetFilter(c.Text);
        Ds->SetFiltered(true);
        const std::vector<int> expected = Brute(c.Accept);
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(Ds->RecordCount(), static_cast<int32_t>(expected.size()));
        EXPECT_EQ(Walk(*Ds, true), expected);
        EXPECT_EQ(Walk(*Ds, false), expected);
    }
    // A text that does not parse leaves the filter there was, text and records.
    const int32_t count = Ds->RecordCount();
    const std::string text = Ds->Filter();
    EXPECT_NE(NativeCode([&] { Ds->SetFilter("NAVAREA=3 garbage"); }), 0);
    EXPECT_EQ(Ds->Filter(), text);
    EXPECT_EQ(Ds->RecordCount(), count);
    Ds->SetFiltered(false);
    EXPECT_EQ(Ds->RecordCount(), kRecords);
}

TEST_P(LogFilters, FindNextRecordEventTextSearchAndLocate) {
    Seed();
    // FindNext with filtering off honours the text and leaves filtering off.
    Ds->SetFilter("STATION='UNID'");
    ASSERT_FALSE(Ds->Filtered());
    const std::vector<int> unid = Brute([](const LogRow& r) { return r.Station && *r.Station == "UNID"; });
    Ds->First();
    ASSERT_TRUE(Ds->FindFirst());
    EXPECT_EQ(RowMinute(*Ds), unid[0]);
    ASSERT_TRUE(Ds->FindNext());
    EXPECT_EQ(RowMinute(*Ds), unid[1]);
    EXPECT_FALSE(Ds->Filtered());
    EXPECT_EQ(Ds->RecordCount(), kRecords);
    Ds->Next();
    EXPECT_EQ(RowMinute(*Ds), unid[1] + 5) << "the next record of all, not of the filter";
    ASSERT_TRUE(Ds->FindLast());
    EXPECT_EQ(RowMinute(*Ds), unid.back());

    // The record event set on an open filtered dataset takes effect at once and moves
    // to the first accepted record.
    Ds->SetFilter("");
    Ds->SetFiltered(true);
    Ds->Last();
    Ds->SetOnFilterRecord([&](TDataSet* D, bool& Accept) {
        Accept = D->FieldByName("DIST")->AsInteger() > 900;
    });
    const std::vector<int> far = Brute([](const LogRow& r) { return r.Dist && *r.Dist > 900; });
    EXPECT_EQ(RowMinute(*Ds), far[0]);
    EXPECT_EQ(Walk(*Ds, true), far);
    EXPECT_EQ(Ds->RecordCount(), static_cast<int32_t>(far.size()));

    // The text search of the log views: a substring of MSGTEXT, the BLOB read from the
    // candidate record.
    const std::string needle = "GALE WARNING";
    Ds->SetOnFilterRecord([&](TDataSet* D, bool& Accept) {
        Accept = D->FieldByName("MSGTEXT")->AsString().find(needle) != std::string::npos;
    });
    const std::vector<int> gale =
        Brute([&](const LogRow& r) { return r.Text && r.Text->find(needle) != std::string::npos; });
    EXPECT_EQ(Walk(*Ds, true), gale);
    EXPECT_EQ(Walk(*Ds, false), gale);

    // A handler that raises reaches the user interface; the walk goes on and the record
    // counts as the handler left Accept.
    int calls = 0;
    Ds->SetOnFilterRecord([&](TDataSet* D, bool& Accept) {
        ++calls;
        Accept = RowMinute(*static_cast<TTestDataSet*>(D)) % 50 == 0;
        if (RowMinute(*static_cast<TTestDataSet*>(D)) % 100 == 0) throw std::runtime_error("handler failed");
    });
    const size_t before = UI.Log.size();
    const std::vector<int> every50 = Brute([](const LogRow& r) { return r.Minute % 50 == 0; });
    EXPECT_EQ(Walk(*Ds, true), every50);
    EXPECT_GT(UI.Log.size(), before);
    EXPECT_GT(calls, kRecords / 2);
    Ds->SetOnFilterRecord(nullptr);
    EXPECT_EQ(Ds->RecordCount(), kRecords);
    Ds->SetFiltered(false);

    // Locate: "S" finds the first "S" letter; partial and case-insensitive only with both
    // options; four values over the station key.
    const int firstS = Brute([](const LogRow& r) { return r.Letter && *r.Letter == "S"; })[0];
    Ds->Last();
    ASSERT_TRUE(Ds->Locate("IDLETTER", Variant::FromString("S"), 0));
    EXPECT_EQ(RowMinute(*Ds), firstS);
    Ds->First();
    EXPECT_FALSE(Ds->Locate("STATION", Variant::FromString("st"), 0));
    EXPECT_FALSE(Ds->Locate("STATION", Variant::FromString("st"), loPartialKey));
    EXPECT_FALSE(Ds->Locate("STATION", Variant::FromString("st"), loCaseInsensitive));
    ASSERT_TRUE(Ds->Locate("STATION", Variant::FromString("st"), loPartialKey | loCaseInsensitive));
    const int firstSt = Brute([](const LogRow& r) { return r.Station && r.Station->rfind("ST", 0) == 0; })[0];
    EXPECT_EQ(RowMinute(*Ds), firstSt);
    const LogRow& target = Rows[1234];
    ASSERT_TRUE(target.Area && target.Freq && target.Letter && target.Station);
    Variant key = Variant::CreateArray({{0, 3}}, varVariant);
    key.PutElement({0}, Variant::FromInteger(*target.Area));
    key.PutElement({1}, Variant::FromInteger(*target.Freq));
    key.PutElement({2}, Variant::FromString(*target.Letter));
    key.PutElement({3}, Variant::FromString(*target.Station));
    ASSERT_TRUE(Ds->Locate("NAVAREA;FREQ;IDLETTER;STATION", key, 0));
    const int firstMatch = Brute([&](const LogRow& r) {
        return r.Area == target.Area && r.Freq == target.Freq && r.Letter == target.Letter && r.Station == target.Station;
    })[0];
    EXPECT_EQ(RowMinute(*Ds), firstMatch);
    // Lookup answers the value and leaves the dataset browsing where it was.
    const int here = RowMinute(*Ds);
    const Variant dist = Ds->Lookup("UTCRECEIVED", Variant::FromDate(RowTime(Rows[20].Minute)), "DIST");
    EXPECT_EQ(Ds->State(), dsBrowse);
    EXPECT_EQ(RowMinute(*Ds), here);
    ASSERT_TRUE(Rows[20].Dist);
    EXPECT_EQ(VarToInt64(dist), *Rows[20].Dist);
    EXPECT_TRUE(Ds->Lookup("STATION", Variant::FromString("NOWHERE"), "DIST").IsNull());
    Ds->Close();
    EXPECT_EQ(NativeCode([&] { Ds->Locate("IDLETTER", Variant::FromString("S"), 0); }), 10271);
}

INSTANTIATE_TEST_SUITE_P(Users, LogFilters, ::testing::Values(false, true),
                         [](const auto& I) { return I.param ? "MultiUser" : "SingleUser"; });

}  // namespace
