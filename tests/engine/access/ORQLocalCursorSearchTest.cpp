// Filters, Locate and FindKey on a seeded message log with Nulls in every field, on each
// engine (the disk table multi-user), each result checked against a brute-force pass over
// the rows the test wrote.
#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>

#include "LocalCursorFixture.h"

namespace lctest {
namespace {

struct TRow {
    int32_t Id = 0;
    std::optional<int64_t> Minute;
    std::optional<int32_t> Freq;
    std::optional<std::string> Letter;
    std::optional<int32_t> Area;
    std::optional<std::string> Station;
    std::optional<int32_t> Dist;
};

// Row i of the model: each field Null on its own period.
TRow ModelRow(int32_t i) {
    TRow r;
    r.Id = i;
    if (i % 23 != 0) r.Minute = i * 5;
    if (i % 7 != 0) r.Freq = i % 2 != 0 ? 490 : 518;
    if (i % 13 != 0) r.Letter = std::string(1, static_cast<char>('A' + i % 4));
    if (i % 11 != 0) r.Area = i % 5;
    if (i % 17 != 0) r.Station = i % 3 == 0 ? std::string("UNID") : "STATION " + std::to_string(i);
    if (i % 19 != 0) r.Dist = (i % 40) * 25;
    return r;
}

constexpr int32_t ModelRows = 120;

class LocalCursorSearch : public ::testing::TestWithParam<TEngineKind> {
protected:
    void SetUp() override {
        StartTestEngine();
        if (GetParam() == ekDisk) {
            Path = CreateDatabaseFile(Dir);
            Conn = TConnection::Disk(Path, true, "A");
        } else {
            Conn = TConnection::InProcess(GetParam() == ekMemory ? "MEMORY" : "TEMP");
        }
        CreateLog(*Conn, GetParam(), "NAVTEXLOG", false);
        C = std::make_unique<TCursor>(*Conn, "NAVTEXLOG", GetParam());
        C->Open();
        for (int32_t i = 0; i < ModelRows; ++i) {
            const TRow r = ModelRow(i);
            Rows.push_back(r);
            C->New();
            if (r.Minute) C->SetDate(fUtc, MinuteDate(*r.Minute));
            if (r.Freq) C->SetInt(fFreq, *r.Freq);
            if (r.Letter) C->SetString(fLetter, *r.Letter);
            if (r.Area) C->SetInt(fArea, *r.Area);
            if (r.Station) C->SetString(fStation, *r.Station);
            if (r.Dist) C->SetInt(fDist, *r.Dist);
            C->SetString(fNumber, std::to_string(i));
            ASSERT_EQ(C->Post(true), 0);
        }
    }
    void TearDown() override {
        C.reset();
        Conn.reset();
        StopTestEngine();
    }
    int32_t Id() const { return std::stoi(C->GetString(fNumber)); }
    std::vector<int32_t> WalkIds(bool Backward = false) {
        std::vector<int32_t> out;
        if (Backward) {
            C->Last();
            while (C->GetRecord(gmPrior) == grOK) out.push_back(Id());
            std::reverse(out.begin(), out.end());
        } else {
            C->First();
            while (C->GetRecord(gmNext) == grOK) out.push_back(Id());
        }
        return out;
    }
    std::vector<int32_t> Matching(const std::function<bool(const TRow&)>& P) const {
        std::vector<int32_t> out;
        for (const TRow& r : Rows)
            if (P(r)) out.push_back(r.Id);
        return out;
    }
    static std::vector<int32_t> Sorted(std::vector<int32_t> V) {
        std::sort(V.begin(), V.end());
        return V;
    }

    disktest::TempDir Dir;
    std::string Path;
    std::unique_ptr<TConnection> Conn;
    std::unique_ptr<TCursor> C;
    std::vector<TRow> Rows;
};

template <typename T>
bool Is(const std::optional<T>& V, const T& X) {
    return V && *V == X;
}

TEST_P(LocalCursorSearch, TheMessageLogFiltersGiveTheBruteForceRowsBothWays) {
    // 01:00 and 05:00 of the model's day are minutes 60 and 300; 03:00 is 180. A field
    // compared with a quoted constant orders Null before every value (so a Null date is
    // before 03:00 and a Null STATION is not 'UNID'); against a number Null never passes.
    const auto in = [](const TRow& r) { return r.Minute && *r.Minute >= 60 && *r.Minute <= 300; };
    const auto before = [](const TRow& r) { return !r.Minute || *r.Minute < 180; };
    const auto named = [](const TRow& r) { return !r.Station || *r.Station != "UNID"; };
    const auto near = [](const TRow& r) { return r.Dist && *r.Dist < 500; };
    struct TCase {
        std::string Text;
        std::function<bool(const TRow&)> Brute;
    } cases[] = {
        {"IDLETTER = 'B' AND NAVAREA='3'", [](const TRow& r) { return Is(r.Letter, std::string("B")) && Is(r.Area, 3); }},
        {"FREQ=490 AND NAVAREA='3' AND IDLETTER = 'B'",
         [](const TRow& r) { return Is(r.Freq, 490) && Is(r.Area, 3) && Is(r.Letter, std::string("B")); }},
        {"IDLETTER = 'C'", [](const TRow& r) { return Is(r.Letter, std::string("C")); }},
        {"FREQ=518 AND IDLETTER = 'C'", [](const TRow& r) { return Is(r.Freq, 518) && Is(r.Letter, std::string("C")); }},
        {"FREQ=518 AND NAVAREA='0'", [](const TRow& r) { return Is(r.Freq, 518) && Is(r.Area, 0); }},
        {"FREQ=490", [](const TRow& r) { return Is(r.Freq, 490); }},
        {"NAVAREA='4'", [](const TRow& r) { return Is(r.Area, 4); }},
        {"FREQ=490 AND NAVAREA=1 AND IDLETTER='B' AND UTCRECEIVED>='2025-12-09 01:00:00' AND "
         "UTCRECEIVED<='2025-12-09 05:00:00'",
         [&](const TRow& r) { return Is(r.Freq, 490) && Is(r.Area, 1) && Is(r.Letter, std::string("B")) && in(r); }},
        {"UTCRECEIVED>='2025-12-09 01:00:00' AND UTCRECEIVED<='2025-12-09 05:00:00'", in},
        {"UTCRECEIVED < '2025-12-09 03:00:00' AND STATION<>'UNID'", [&](const TRow& r) { return before(r) && named(r); }},
        {"STATION='UNID'", [](const TRow& r) { return Is(r.Station, std::string("UNID")); }},
        {"STATION<>'UNID'", named},
        {"UTCRECEIVED < '2025-12-09 03:00:00'", before},
        {"UTCRECEIVED < '2025-12-09 03:00:00' AND NAVAREA=1", [&](const TRow& r) { return before(r) && Is(r.Area, 1); }},
        {"NAVAREA=1 AND DIST>=100", [&](const TRow& r) { return Is(r.Area, 1) && r.Dist && *r.Dist >= 100; }},
        {"DIST < 500 AND STATION<>'UNID'", [&](const TRow& r) { return near(r) && named(r); }},
        {"UTCRECEIVED < '2025-12-09 03:00:00' AND DIST < 500 AND STATION<>'UNID'",
         [&](const TRow& r) { return before(r) && near(r) && named(r); }},
    };
    for (const TCase& k : cases) {
        SCOPED_TRACE(k.Text);
        C->SetFilter(k.Text, false, false);
        const std::vector<int32_t> expected = Matching(k.Brute);
        ASSERT_FALSE(expected.empty());
        const std::vector<int32_t> forward = WalkIds();
        EXPECT_EQ(Sorted(forward), expected);
        EXPECT_EQ(WalkIds(true), forward);
        EXPECT_EQ(C->GetRecordCount(), static_cast<int64_t>(expected.size()));
        // In the index's order too.
        C->SetIndexName("IDX_DT");
        EXPECT_EQ(Sorted(WalkIds()), expected);
        C->SetIndexName("");
    }
    // A text with something after its condition is refused and the filter stays.
    C->SetFilter("NAVAREA=3", false, false);
    const int64_t count = C->GetRecordCount();
    EXPECT_EQ(count, static_cast<int64_t>(Matching([](const TRow& r) { return Is(r.Area, 3); }).size()));
    EXPECT_EQ(NativeCode([&] { C->SetFilter("NAVAREA=3 garbage", false, false); }), 20260);
    EXPECT_EQ(C->GetRecordCount(), count);
    EXPECT_NE(NativeCode([&] { C->SetFilter("", false, false); }), 0);
    EXPECT_EQ(C->GetRecordCount(), count);
    C->CancelFilter();
    EXPECT_EQ(C->GetRecordCount(), ModelRows);
}

TEST_P(LocalCursorSearch, LocateFindsTheFirstMatchInTheCursorsOrder) {
    const auto locate = [&](std::vector<std::string> Names, const classlib::Variant& V, uint8_t Options) {
        return C->Locate(Names, V, Options) ? Id() : -1;
    };
    using classlib::Variant;
    // One name, exact, then ignoring case, then partial.
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("STATION 23"), 0), 23);
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("station 23"), 0), -1);
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("station 23"), 1), 23);
    const std::vector<int32_t> partial =
        Matching([](const TRow& r) { return r.Station && r.Station->rfind("STATION 5", 0) == 0; });
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("STATION 5"), 2), partial.front());
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("station 5"), 3), partial.front());
    // Two names: the values in an array.
    Variant two = Variant::CreateArray({{0, 1}}, classlib::varVariant);
    two.PutElement({0}, Variant::FromString("C"));
    two.PutElement({1}, Variant::FromInteger(2));
    const std::vector<int32_t> both =
        Matching([](const TRow& r) { return Is(r.Letter, std::string("C")) && Is(r.Area, 2); });
    ASSERT_FALSE(both.empty());
    EXPECT_EQ(locate({"IDLETTER", "NAVAREA"}, two, 0), both.front());
    EXPECT_EQ(NativeCode([&] { C->Locate({"IDLETTER", "NAVAREA"}, Variant::FromString("C"), 0); }), 30112);
    // Null finds Null; a number finds a date.
    EXPECT_EQ(locate({"FREQ"}, Variant::Null(), 0), 0);
    EXPECT_EQ(locate({"UTCRECEIVED"}, Variant::FromDouble(MinuteDate(37 * 5)), 0), 37);
    EXPECT_EQ(locate({"UTCRECEIVED"}, Variant::FromDate(MinuteDate(38 * 5)), 0), 38);
    // The same record with an index.
    C->SetIndexName("IDX_DT");
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("STATION 23"), 0), 23);
    C->SetIndexName("");
    // Not found: the position stays.
    ASSERT_EQ(locate({"STATION"}, Variant::FromString("STATION 40"), 0), 40);
    const TORQRecordID at = C->CurrentRecordID;
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("NOWHERE"), 0), -1);
    EXPECT_EQ(C->CurrentRecordID, at);
    ASSERT_EQ(C->GetRecord(gmCurrent), grOK);
    EXPECT_EQ(Id(), 40);
    // On a filtered cursor only the visible records are found.
    C->SetFilter("FREQ=490", false, false);
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("STATION 40"), 0), -1);
    EXPECT_EQ(locate({"STATION"}, Variant::FromString("STATION 41"), 0), 41);
}

// Null below every value and equal to Null, as the key conditions compare.
int Compare(const std::optional<int32_t>& A, const std::optional<int32_t>& B) {
    if (!A || !B) return A ? 1 : B ? -1 : 0;
    return *A < *B ? -1 : *A > *B ? 1 : 0;
}

bool Holds(uint8_t Operator, int C) {
    switch (Operator) {
        case doEqual: return C == 0;
        case doNotEqual: return C != 0;
        case doGreater: return C > 0;
        case doLess: return C < 0;
        case doGreaterOrEqual: return C >= 0;
        default: return C <= 0;
    }
}

TEST_P(LocalCursorSearch, FindKeyOperatorsOverNullsAndDuplicatesMatchBruteForce) {
    // In the order of a temporary index on DIST: the first record found is the first in
    // that order that holds the comparison.
    C->SetTemporaryIndex({"DIST"}, {"ASC"}, {"CASE"});
    const std::vector<int32_t> order = WalkIds();
    std::map<int32_t, TRow> byId;
    for (const TRow& r : Rows) byId[r.Id] = r;
    const std::vector<std::optional<int32_t>> values = {std::nullopt, 0, 25, 500, 512, 975, 2000, -5};
    for (uint8_t op = doEqual; op <= doLessOrEqual; ++op) {
        for (const std::optional<int32_t>& v : values) {
            SCOPED_TRACE(testing::Message() << "op " << int(op) << " value " << (v ? std::to_string(*v) : "Null"));
            TORQVariant key;
            if (v)
                key.SetAsInteger(*v);
            else
                key.SetNull();
            int32_t expected = -1;
            for (int32_t id : order)
                if (Holds(op, Compare(byId[id].Dist, v))) {
                    expected = id;
                    break;
                }
            const bool found = C->FindKey("DIST", op, key);
            EXPECT_EQ(found, expected >= 0);
            if (found) {
                EXPECT_EQ(Id(), expected);
            }
        }
    }
    // The slot: Nearest false is equality, true the first at or above.
    EXPECT_TRUE(C->FindKey("DIST", false, classlib::Variant::FromInteger(500)));
    EXPECT_EQ(byId[Id()].Dist, 500);
    EXPECT_FALSE(C->FindKey("DIST", false, classlib::Variant::FromInteger(510)));
    EXPECT_TRUE(C->FindKey("DIST", true, classlib::Variant::FromInteger(510)));
    EXPECT_EQ(byId[Id()].Dist, 525);
}

INSTANTIATE_TEST_SUITE_P(Engines, LocalCursorSearch, ::testing::Values(ekDisk, ekMemory, ekTemp),
                         [](const ::testing::TestParamInfo<TEngineKind>& I) { return EngineName(I.param); });

}  // namespace
}  // namespace lctest
