// The log filters and bulk deletions: the filter texts, every filter's and deletion's
// records against brute force over a seeded log with Nulls, the distance check, and
// deletions that stop rather than widen when the filter changes under them.
#include "DataModuleKit.h"

#include <cmath>
#include <optional>
#include <set>

#include "ScriptedPrompts.h"
#include "engine/access/ORQDatabase.h"

using namespace tilo_test;
using classlib::EncodeDate;
using classlib::EncodeTime;
using classlib::TDateTime;

namespace {

struct TSeed {
    int Minute;
    int32_t Freq;
    std::optional<std::string> Letter;
    std::optional<int> NavArea;
    std::optional<std::string> Station;
    std::optional<int> Dist;
};

TDateTime Base() { return EncodeDate(2026, 1, 1); }
TDateTime At(int Minute) { return Base() + Minute / 1440.0; }

class DataModuleLog : public DataModuleFixture {
protected:
    void Seed(int Count) {
        Make();
        classlib::TDataSet& L = *Module->LogTable;
        Module->DsLog->OnUpdateData = nullptr;  // the records as seeded, unidentified
        Module->ORQDB->StartTransaction();
        for (int i = 0; i < Count; ++i) {
            TSeed s{i, i % 3 ? 518 : 490, {}, {}, {}, {}};
            if (i % 17) s.Letter = std::string(1, char('A' + i % 4));
            if (i % 13) s.NavArea = i % 19 == 0 ? 0 : 1 + i % 5;
            if (i % 7) s.Station = i % 5 == 0 ? "UNID" : "ST" + std::to_string(i % 9) + " PLACE,CC";
            if (i % 11) s.Dist = (i * 37) % 3000 - 20;
            L.Append();
            L.FieldByName("UTCRECEIVED")->SetAsDateTime(At(i));
            L.FieldByName("FREQ")->SetAsInteger(s.Freq);
            if (s.Letter) L.FieldByName("IDLETTER")->SetAsString(*s.Letter);
            if (s.NavArea) L.FieldByName("NAVAREA")->SetAsInteger(*s.NavArea);
            if (s.Station) L.FieldByName("STATION")->SetAsString(*s.Station);
            if (s.Dist) L.FieldByName("DIST")->SetAsInteger(*s.Dist);
            L.Post();
            Seeds.push_back(s);
        }
        Module->ORQDB->Commit(true);
        Module->DsLog->OnUpdateData = [this](classlib::TPersistent* S) { Module->DsLogUpdateData(S); };
    }
    // The minutes of the records the table shows (under its filter).
    std::vector<int> Shown() {
        std::vector<int> m;
        classlib::TDataSet& L = *Module->LogTable;
        for (L.First(); !L.Eof(); L.Next())
            m.push_back(static_cast<int>(std::lround((L.FieldByName("UTCRECEIVED")->AsDateTime() - Base()) * 1440)));
        return m;
    }
    template <typename F>
    std::vector<int> Brute(F&& Meets) {
        std::vector<int> m;
        for (const TSeed& s : Seeds)
            if (Meets(s)) m.push_back(s.Minute);
        return m;
    }
    std::vector<TSeed> Seeds;
};

TEST_F(DataModuleLog, FilterTextsQuoteTheirValuesAndLeaveMidnightOut) {
    Make();
    classlib::TDataSet& L = *Module->LogTable;
    struct Case {
        int32_t Freq;
        const char* NavArea;
        const char* Letter;
        const char* Filter;
    };
    const Case cases[] = {
        {-1, "3", "K", "IDLETTER = 'K' AND NAVAREA='3'"},
        {518, "3", "K", "FREQ=518 AND NAVAREA='3' AND IDLETTER = 'K'"},
        {-1, "*", "K", "IDLETTER = 'K'"},
        {490, "*", "K", "FREQ=490 AND IDLETTER = 'K'"},
        {518, "UNID", "*", "FREQ=518 AND NAVAREA='0'"},
        {518, "*", "*", "FREQ=518"},
        {-1, "UNID", "*", "NAVAREA='0'"},
        {-1, "*", "'", "IDLETTER = ''''"},
    };
    for (const Case& c : cases) {
        Module->SetLogFilter(c.Freq, c.NavArea, c.Letter);
        EXPECT_EQ(L.Filter(), c.Filter);
        EXPECT_TRUE(L.Filtered());
    }
    Module->SetLogFilter(-1, "*", "*");
    EXPECT_FALSE(L.Filtered());
    const TDateTime day = EncodeDate(2026, 5, 6);
    Module->SetLogFilterStationPeriod('K', 7, day, day + EncodeTime(23, 59, 59, 0), 518);
    EXPECT_EQ(L.Filter(), "FREQ=518 AND NAVAREA=7 AND IDLETTER='K' AND UTCRECEIVED>='2026-05-06' AND "
                          "UTCRECEIVED<='2026-05-06 23:59:59'");
    Module->SetLogFilterPeriod(day + EncodeTime(0, 0, 1, 0), day + 1);
    EXPECT_EQ(L.Filter(), "UTCRECEIVED>='2026-05-06 00:00:01' AND UTCRECEIVED<='2026-05-07'");
    EXPECT_TRUE(L.Filtered());
}

TEST_F(DataModuleLog, FiltersAndDeletionsTakeExactlyTheirRecordsWithTheEnginesNullRules) {
    Seed(2000);
    classlib::TDataSet& L = *Module->LogTable;
    auto is = [](const std::optional<std::string>& V, const char* W) { return V && *V == W; };
    Module->SetLogFilter(518, "3", "C");
    EXPECT_EQ(Shown(), Brute([&](const TSeed& s) { return s.Freq == 518 && s.NavArea == 3 && is(s.Letter, "C"); }));
    Module->SetLogFilter(-1, "UNID", "*");
    EXPECT_EQ(Shown(), Brute([&](const TSeed& s) { return s.NavArea == 0; }));
    Module->SetLogFilter(490, "*", "*");
    EXPECT_EQ(Shown(), Brute([&](const TSeed& s) { return s.Freq == 490; }));
    Module->SetLogFilterStationPeriod('B', 2, At(100), At(900), 518);
    EXPECT_EQ(Shown(), Brute([&](const TSeed& s) {
                  return s.Freq == 518 && s.NavArea == 2 && is(s.Letter, "B") && s.Minute >= 100 && s.Minute <= 900;
              }));
    Module->SetLogFilterPeriod(At(1440), At(1500));
    EXPECT_EQ(Shown(), Brute([&](const TSeed& s) { return s.Minute >= 1440 && s.Minute <= 1500; }));
    // A deletion works on the whole log whatever view the filter controls left.
    Module->SetLogFilter(-1, "*", "C");

    // Deletions in turn; after each the records left are those no deletion so far took.
    std::set<int> gone;
    auto left = [&] { return Brute([&](const TSeed& s) { return !gone.count(s.Minute); }); };
    // The engine's Null rules: a Null STATION is not 'UNID'; a Null distance is below nothing.
    auto identified = [](const TSeed& s) { return !s.Station || *s.Station != "UNID"; };
    auto take = [&](auto&& Meets) {
        int n = 0;
        for (const TSeed& s : Seeds)
            if (!gone.count(s.Minute) && Meets(s)) {
                gone.insert(s.Minute);
                ++n;
            }
        return n;
    };
    int expected = take([&](const TSeed& s) { return s.Minute < 300 && identified(s); });
    // Seconds past the minute are cut: the filter's text is the date to the second.
    EXPECT_EQ(Module->DeleteIdentifiedBefore(At(300) + EncodeTime(0, 0, 0, 700)), expected);
    EXPECT_FALSE(L.Filtered());
    EXPECT_EQ(Shown(), left());
    expected = take([&](const TSeed& s) { return s.Dist && *s.Dist < 5 && identified(s); });
    std::string during;
    OnProcess = [&] { during = L.Filter(); };
    EXPECT_EQ(Module->DeleteCloserThan("+05"), expected);
    EXPECT_EQ(during, "DIST < 5 AND STATION<>'UNID'");
    EXPECT_EQ(Shown(), left());
    expected = take([&](const TSeed& s) { return s.Minute < 1200 && s.Dist && *s.Dist < 900 && identified(s); });
    EXPECT_EQ(Module->DeleteIdentifiedBeforeCloserThan("900", At(1200)), expected);
    EXPECT_EQ(Shown(), left());
    expected = take([&](const TSeed& s) { return is(s.Station, "UNID"); });
    EXPECT_EQ(Module->DeleteUnidentified(), expected);
    EXPECT_EQ(Shown(), left());
    EXPECT_GT(left().size(), 500u);
    EXPECT_EQ(Module->DeleteUnidentified(), 0);
}

// Every combination of the page's filters, each read through one of the log's view
// indexes: the rows in reception order, their count and the position in the view as a
// scan of the whole log gives them; clearing the filter shows the whole log again in
// IDX_DT's order.
TEST_F(DataModuleLog, EveryFilterCombinationShowsItsRowsInReceptionOrderWithTheirCount) {
    Seed(1200);
    orq::TORQTable& L = *Module->LogTable;
    auto is = [](const std::optional<std::string>& V, const char* W) { return V && *V == W; };
    struct Case {
        int32_t Freq;
        const char* NavArea;
        const char* Letter;
        const char* Index;
    };
    const Case cases[] = {
        {-1, "*", "B", "IDX_LETTER"},   {-1, "4", "*", "IDX_AREA"},     {518, "*", "*", "IDX_FREQ"},
        {518, "2", "*", "IDX_AREA"},    {490, "*", "D", "IDX_LETTER"},  {-1, "UNID", "A", "IDX_LETTER"},
        {490, "3", "C", "IDX_LETTER"},  {-1, "*", "c", "IDX_LETTER"},   {-1, "03", "*", "IDX_DT"},
        {490, "03", "*", "IDX_FREQ"},   {-1, "UNID", "*", "IDX_AREA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.Freq) + " " + c.NavArea + " " + c.Letter);
        const int area = std::string(c.NavArea) == "UNID" ? 0 : std::atoi(c.NavArea);
        const std::vector<int> want = Brute([&](const TSeed& s) {
            return (c.Freq == -1 || s.Freq == c.Freq) && (std::string(c.NavArea) == "*" || s.NavArea == area) &&
                   (std::string(c.Letter) == "*" || is(s.Letter, c.Letter));
        });
        Module->SetLogFilter(c.Freq, c.NavArea, c.Letter);
        EXPECT_EQ(L.IndexName(), c.Index);
        // The view stands on its newest record, the last of the count.
        ASSERT_FALSE(want.empty() && std::string(c.Letter) != "c");
        EXPECT_EQ(L.RecordCount(), static_cast<int32_t>(want.size()));
        if (!want.empty()) {
            EXPECT_EQ(L.RecNo(), static_cast<int32_t>(want.size()));
            EXPECT_EQ(std::lround((L.FieldByName("UTCRECEIVED")->AsDateTime() - Base()) * 1440), want.back());
        }
        EXPECT_EQ(Shown(), want);
    }
    Module->SetLogFilter(-1, "*", "*");
    EXPECT_EQ(L.IndexName(), "IDX_DT");
    EXPECT_EQ(L.RecordCount(), 1200);
    EXPECT_EQ(Shown(), Brute([](const TSeed&) { return true; }));
}

TEST_F(DataModuleLog, ADistanceThatIsNoDecimalIntegerDeletesNothing) {
    Seed(50);
    TScriptedPrompts prompts;
    for (const char* bad : {"5 OR 1=1", "0x10", "", " 5", "5 ", "$10", "--5", "+", "99999999999"}) {
        SCOPED_TRACE(bad);
        EXPECT_EQ(Module->DeleteCloserThan(bad), 0);
        EXPECT_EQ(Module->DeleteIdentifiedBeforeCloserThan(bad, At(100)), 0);
    }
    ASSERT_EQ(prompts.Log.size(), 18u);
    EXPECT_EQ(prompts.Log[0].Kind, "ShowMessage");
    EXPECT_EQ(prompts.Log[0].Text, "Distance NOT a valid number!");
    EXPECT_EQ(prompts.Log[1].Text, "Distance NOT a valid number, operation cancelled.");
    EXPECT_EQ(LogCount(), 50);
}

TEST_F(DataModuleLog, ADeletionStopsWhenItsFilterChangesAndMessagesMeanwhileWait) {
    for (int how = 0; how < 3; ++how) {
        SCOPED_TRACE(how);
        Seeds.clear();
        Reports.clear();
        Seed(200);
        AddStation({1, 518, "S", "STA1", "ALPHA", "AA", 0, 45, "ALPHA", ""});
        classlib::TDataSet& L = *Module->LogTable;
        int deletes = 0;
        OnProcess = [&] {
            if (++deletes != 3) return;
            Module->AddLogRecord('S', "A", At(5000), "77", "ZCZC ALPHA", 518, 1);
            EXPECT_EQ(Module->QueuedCount(), 1);
            if (how == 0) L.SetFilterText("");
            if (how == 1) L.SetOnFilterRecord([](classlib::TDataSet*, bool& Accept) { Accept = true; });
            if (how == 2) L.SetFilterText("FREQ=518");
        };
        EXPECT_EQ(Module->DeleteUnidentified(), 3);
        EXPECT_NE(std::find(Reports.begin(), Reports.end(), "deletion stopped after 3 records: the log filter changed"),
                  Reports.end());
        EXPECT_EQ(Reports.back(), "message SA77/1/STA1 ALPHA,AA STORED (GID)") << "stored after the deletion";
        EXPECT_FALSE(L.Filtered());
        L.SetOnFilterRecord(nullptr);
        // Gone: the first three unidentified; every other record stays, the new one too.
        std::vector<int> unid = Brute([](const TSeed& s) { return s.Station && *s.Station == "UNID"; });
        std::set<int> first3(unid.begin(), unid.begin() + 3);
        std::vector<int> want = Brute([&](const TSeed& s) { return !first3.count(s.Minute); });
        want.push_back(5000);
        EXPECT_EQ(Shown(), want);
        EXPECT_EQ(Module->QueuedCount(), 0);
        OnProcess = nullptr;
        Module.reset();
        ASSERT_EQ(::unlink("TILO_DB.ORQ"), 0);
    }
}

}  // namespace
