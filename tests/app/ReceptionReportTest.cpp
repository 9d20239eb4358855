// Reception reports from field texts: the pieces of STATION and UTCRECEIVED, both line
// formats, the signal grade's rounding, the file against golden files written by hand
// (tests/data/reports), the proposed name and the name check.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "app/ReceptionReport.h"
#include "classlib/DateUtils.h"

using namespace tilo;

namespace {

std::string ReadFile(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    EXPECT_TRUE(in.good()) << Path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string Golden(const std::string& Name) { return ReadFile(std::string(TILO_TESTDATA_DIR) + "/reports/" + Name); }

// The three records of the golden files: an identified one, one received at midnight
// whose station text is longer than its column, and an unidentified one.
const TReportRecord Niton{"2026-03-14 06:05:09", "518", "49", "A", "B", "1", "GBR12 NITON,G", "250"};
const TReportRecord Midnight{"2026-03-15 00:00:00", "490", "100", "S", "A", "12", "NMC SAN FRANCISCO,USA", "8734"};
const TReportRecord Unid{"2026-03-15 13:45:30", "518", "50", "Q", "Z", "0", "UNID", "0"};
const char* const Texts[] = {"ZCZC AB12\r\nGALE WARNING\r\nNNNN", "ZCZC SA01\r\nNAV WARNING 01\r\nNNNN",
                             "ZCZC QZ99\r\nQRU\r\nNNNN"};

TReportInput Input(TReportFormat Format, TPersonalInfoPlace Place, const std::string& Personal) {
    TReportInput in;
    in.Format = Format;
    in.PersonalInfoPlace = Place;
    in.LocalDateTime = "2026-03-16 10:20:30";
    in.PersonalInfo = MemoLines(Personal);
    int i = 0;
    for (const TReportRecord* r : {&Niton, &Midnight, &Unid}) {
        const std::string line = ReportLine(Format, *r);
        in.Resume.push_back(line);
        in.Raw.push_back("---");
        in.Raw.push_back(line);
        for (const std::string& l : MemoLines(Texts[i++])) in.Raw.push_back(l);
    }
    return in;
}

const char* const Personal = "JOHN OPERATOR\nRX: SDR, LW ANTENNA\nLOCATOR JO22\n";

}  // namespace

TEST(ReportPieces, StationAndTimeTexts) {
    struct Case {
        std::string station, call, location, country;
    } cases[] = {
        {"GBR12 NITON,G", "GBR12 ", "NITON", "G"},
        {"NMC SAN FRANCISCO,USA", "NMC   ", "SAN FRANCISCO", "USA"},
        {"LONGCALL1 X,Y", "LONGCALL1", "X", "Y"},  // a longer call sign is not cut
        {"UNID", "UNID  ", "UNID", "UNID"},
        {"ABC NOWHERE", "ABC   ", "NOWHERE", "ABC NOWHERE"},
        {"A1 ONE,X/B2 TWO,Y", "A1    ", "ONE", "X/B2 TWO,Y"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CallsignPart(c.station), c.call) << c.station;
        EXPECT_EQ(LocationPart(c.station), c.location) << c.station;
        EXPECT_EQ(CountryCodePart(c.station), c.country) << c.station;
    }
    EXPECT_EQ(DatePart("2026-03-14 06:05:09"), "2026-03-14");
    EXPECT_EQ(TimePart("2026-03-14 06:05:09"), "06:05");
    // Midnight keeps its time, so the line keeps its columns.
    const classlib::TDateTime midnight = classlib::EncodeDate(2026, 3, 15);
    EXPECT_EQ(ReportDateTimeText(midnight), "2026-03-15 00:00:00");
    EXPECT_EQ(ReportDateTimeText(midnight + classlib::EncodeTime(23, 59, 59, 0)), "2026-03-15 23:59:59");
}

TEST(ReportPieces, SignalGradeRoundsHalvesToEven) {
    struct Case {
        const char* sigQual;
        int32_t s;
    } cases[] = {{"0", 0},  {"9", 0},  {"10", 1}, {"29", 2}, {"49", 2}, {"50", 3},
                 {"69", 4}, {"89", 4}, {"90", 5}, {"100", 5}};
    for (const Case& c : cases) EXPECT_EQ(SignalGrade(c.sigQual), c.s) << c.sigQual;
}

TEST(ReportLines, BothFormats) {
    const std::string ndb = NdbListLine(Niton);
    // After the date and time: a blank, 518, a blank, $01A, a blank; the distance last.
    EXPECT_EQ(ndb.substr(13, 10), " 518 $01A ");
    EXPECT_EQ(ndb.substr(ndb.size() - 3), "250");
    EXPECT_EQ(ndb, "20260314 0605 518 $01A GBR12 NITON,G       250");
    EXPECT_EQ(NdbListLine(Midnight), "20260315 0000 490 $12S NMC SAN FRANCISCO,USA 8734");
    EXPECT_EQ(NdbListLine(Unid), "20260315 1345 518 $00Q UNID                0");
    EXPECT_EQ(KxrLine(Niton), "518 06:05 2026-03-14 GBR12  G NITON                MET Warning          2");
    EXPECT_EQ(KxrLine(Midnight), "490 00:00 2026-03-15 NMC    USA SAN FRANCISCO        NAV Warning          5");
    EXPECT_EQ(KxrLine(Unid), "518 13:45 2026-03-15 UNID   UNID UNID                 No Message On Hand   3");
    EXPECT_EQ(ReportColumnHeader(rfNdbList).size(), ReportDashLine(rfNdbList).size());
    EXPECT_EQ(ReportDashLine(rfNdbList), std::string(53, '-'));
    EXPECT_EQ(ReportDashLine(rfKxr), std::string(75, '-'));
}

TEST(ReportFile, MatchesTheGoldenFiles) {
    struct Case {
        const char* file;
        TReportFormat format;
        TPersonalInfoPlace place;
        std::string personal;
    } cases[] = {
        {"NDB-HEADER.TXT", rfNdbList, piHeader, Personal},
        {"KXR-FOOTER.TXT", rfKxr, piFooter, Personal},
        {"NDB-PLAIN.TXT", rfNdbList, piHeader, "JOHN OPERATOR"},  // one line: never added
        {"NDB-PLAIN.TXT", rfNdbList, piFooter, "JOHN OPERATOR\n"},
        {"NDB-PLAIN.TXT", rfNdbList, piHeader, ""},
        {"KXR-PLAIN.TXT", rfKxr, piNone, Personal},  // "Do not include"
    };
    for (const Case& c : cases) EXPECT_EQ(BuildReport(Input(c.format, c.place, c.personal)), Golden(c.file)) << c.file;
}

TEST(ReportFile, MemoLinesCountAsAMemoDoes) {
    EXPECT_EQ(MemoLines(""), std::vector<std::string>{});
    EXPECT_EQ(MemoLines("A"), std::vector<std::string>{"A"});
    EXPECT_EQ(MemoLines("A\r\n"), std::vector<std::string>{"A"});
    EXPECT_EQ(MemoLines("A\r\nB\nC\rD"), (std::vector<std::string>{"A", "B", "C", "D"}));
    EXPECT_EQ(MemoLines("A\n\nB"), (std::vector<std::string>{"A", "", "B"}));
    EXPECT_EQ(MemoLines("\n"), std::vector<std::string>{""});
}

TEST(ReportFile, ProposedNameAndTheNameCheck) {
    EXPECT_EQ(ReportFileNameProposal(rfNdbList, "2026-03-16 10:20:30"), "NDB20260316 102030.TXT");
    EXPECT_EQ(ReportFileNameProposal(rfKxr, "2026-03-16 00:00:00"), "KXR20260316 000000.TXT");
    for (const char* bad : {"", ".", "..", "../Tilo.ini", "a/b", "/tmp/x"})
        EXPECT_EQ(CheckReportFileName(bad), "invalid file name") << bad;
    for (const char* good : {"NDB20260316 102030.TXT", "report", "..x", "a b.txt"})
        EXPECT_EQ(CheckReportFileName(good), "") << good;
}
