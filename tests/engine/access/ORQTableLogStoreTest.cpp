// The receiver's message log store over a disk NAVTEXLOG: a record appended and posted
// through a data source whose update handler identifies the station from a filtered walk
// of STATIONS or gives the record up, then the clean-up loop that deletes a filtered set.
#include <cmath>
#include <set>

#include "ORQDataSetTestFixture.h"

#include "LocalCursorFixture.h"
#include "classlib/DBFields.h"
#include "engine/access/ORQTable.h"

using namespace dstest;
using namespace classlib;

namespace {

class LogStore : public EngineTest {};

TEST_F(LogStore, PostsIdentifiedRecordsDropsGivenUpOnesAndCleansUpExactlyTheFilteredSet) {
    TEngineEnv env(ekDisk);
    {
        TORQTable s;
        s.SetDatabaseName(env.Name());
        s.SetTableName("STATIONS");
        for (auto [n, t, z] : {std::tuple{"FREQ", aftInteger, 0}, {"IDLETTER", aftVarChar, 1},
                              {"NAVAREA", aftSmallInt, 0}, {"LOCATION", aftVarChar, 50}, {"DIST", aftInteger, 0}}) {
            TORQAdvFieldDef* d = s.AdvFieldDefs().Add();
            d->Name = n;
            d->DataType = t;
            d->Size = z;
        }
        TORQAdvIndexDef* i = s.AdvIndexDefs().Add();
        i->Name = "IDX_NAVLOC";
        i->Fields = "NAVAREA;IDLETTER;LOCATION";
        s.CreateTable();
        s.Open();
        for (int k = 0; k < 26; ++k) {
            s.Append();
            s.FieldByName("FREQ")->SetAsInteger(k % 2 ? 490 : 518);
            s.FieldByName("IDLETTER")->SetAsString(std::string(1, static_cast<char>('A' + k)));
            s.FieldByName("NAVAREA")->SetAsInteger(k % 4 + 1);
            s.FieldByName("LOCATION")->SetAsString("L" + std::to_string(k));
            s.FieldByName("DIST")->SetAsInteger(k * 40);
            s.Post();
        }
    }
    {
        TORQTable l;
        l.SetDatabaseName(env.Name());
        l.SetTableName("NAVTEXLOG");
        for (auto [n, t, z] : {std::tuple{"UTCRECEIVED", aftDateTime, 0}, {"FREQ", aftInteger, 0},
                              {"IDLETTER", aftVarChar, 1}, {"NAVAREA", aftSmallInt, 0}, {"STATION", aftVarChar, 75},
                              {"MSGTEXT", aftMemo, 0}, {"DIST", aftInteger, 0}}) {
            TORQAdvFieldDef* d = l.AdvFieldDefs().Add();
            d->Name = n;
            d->DataType = t;
            d->Size = z;
        }
        TORQAdvIndexDef* i = l.AdvIndexDefs().Add();
        i->Name = "IDX_DT";
        i->Fields = "UTCRECEIVED";
        i->Options = ixPrimary | ixUnique;
        l.CreateTable();
    }
    TORQTable stations, log;
    stations.SetDatabaseName(env.Name());
    stations.SetTableName("STATIONS");
    stations.Open();
    log.SetDatabaseName(env.Name());
    log.SetTableName("NAVTEXLOG");
    log.SetIndexName("IDX_DT");
    log.Open();
    TDataSource source(nullptr);
    source.SetDataSet(&log);
    int afterPosts = 0;
    log.AfterPost = [&](TDataSet*) { ++afterPosts; };
    source.OnUpdateData = [&](TPersistent*) {
        const std::string id = log.FieldByName("IDLETTER")->AsString();
        if (id == "Z") {
            log.Delete();  // the record is given up
            return;
        }
        stations.SetFilterText("FREQ = " + std::to_string(log.FieldByName("FREQ")->AsInteger()) + " AND IDLETTER = '" +
                               id + "'");
        stations.SetFiltered(true);
        for (stations.First(); !stations.Eof(); stations.Next()) {
            log.FieldByName("STATION")->SetAsString(stations.FieldByName("LOCATION")->AsString());
            log.FieldByName("NAVAREA")->SetAsInteger(stations.FieldByName("NAVAREA")->AsInteger());
            log.FieldByName("DIST")->SetAsInteger(stations.FieldByName("DIST")->AsInteger());
        }
        stations.SetFiltered(false);
    };
    struct Row {
        int M, Freq, Dist;
        std::string Station;
    };
    std::vector<Row> stored;
    for (int m = 0; m < 120; ++m) {
        const int k = (m * 7) % 26;
        log.Append();
        log.FieldByName("UTCRECEIVED")->SetAsDateTime(lctest::MinuteDate(m));
        log.FieldByName("FREQ")->SetAsInteger(k % 2 ? 490 : 518);
        log.FieldByName("IDLETTER")->SetAsString(std::string(1, static_cast<char>('A' + k)));
        log.FieldByName("MSGTEXT")->SetAsString("MESSAGE " + std::to_string(m));
        log.Post();
        if (k != 25) stored.push_back({m, k % 2 ? 490 : 518, k * 40, "L" + std::to_string(k)});
    }
    EXPECT_EQ(afterPosts, static_cast<int>(stored.size()));
    ASSERT_EQ(log.RecordCount(), static_cast<int>(stored.size()));
    size_t at = 0;
    for (log.First(); !log.Eof(); log.Next(), ++at) {
        ASSERT_LT(at, stored.size());
        EXPECT_EQ(log.FieldByName("STATION")->AsString(), stored[at].Station);
        EXPECT_EQ(log.FieldByName("DIST")->AsInteger(), stored[at].Dist);
        EXPECT_EQ(log.FieldByName("MSGTEXT")->AsString(), "MESSAGE " + std::to_string(stored[at].M));
    }
    // The clean-up loop: filter, First, Delete until empty.
    log.SetFilterText("FREQ = 490 AND DIST > 300");
    log.SetFiltered(true);
    log.First();
    while (!log.IsEmpty()) log.Delete();
    log.SetFiltered(false);
    std::vector<int> left, want;
    for (log.First(); !log.Eof(); log.Next())
        left.push_back(static_cast<int>(std::lround((log.FieldByName("UTCRECEIVED")->AsDateTime() - lctest::DayZero) * 1440)));
    for (const Row& r : stored)
        if (!(r.Freq == 490 && r.Dist > 300)) want.push_back(r.M);
    EXPECT_EQ(left, want);
}

}  // namespace
