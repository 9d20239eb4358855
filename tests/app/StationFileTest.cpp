// The station file: the export against lines written by hand from its layout, export
// and import back, the version check, keyword lists kept or taken, short lines, a
// failing station, refused field texts, and the failure texts for files that cannot be
// read or written. The station table is an in-memory store that, like the data module's,
// refuses LAT and LON texts that are not numbers.
#include "app/StationFile.h"

#include <gtest/gtest.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "QtTestApp.h"
#include "classlib/SysUtils.h"

namespace {

using namespace tilo;

TStationRecord Station(std::initializer_list<std::string> Fields) {
    TStationRecord s;
    std::size_t i = 0;
    for (const std::string& f : Fields) s.Fields[i++] = f;
    return s;
}

const TStationRecord Niton = Station({"1", "518", "E", "GBA", "NITON", "GB", "UNITED KINGDOM", "50.5", "-1.25",
                                      "00:40", "04:40", "08:40", "12:40", "16:40", "20:40", "A,B", "SOLENT"});
const TStationRecord Corsen = Station({"2", "490", "A", "FFC", "CROSS CORSEN", "F", "", "48.5", "-5", "01:20"});

class TMemoryStations : public TStationSource, public TStationStore {
public:
    std::vector<TStationRecord> Table;
    int Cancels = 0, Served = 0;

    // Source.
    bool NextStation(TStationRecord& S) override {
        if (FNext >= Table.size()) return false;
        S = Table[FNext++];
        return true;
    }
    // Store.
    bool LocateStation(const std::string& NavArea, const std::string& Freq, const std::string& IdLetter,
                       const std::string& CallSign) override {
        for (std::size_t i = 0; i < Table.size(); ++i) {
            const TStationRecord& s = Table[i];
            if (s[sfNavArea] == NavArea && s[sfFreq] == Freq && s[sfIdLetter] == IdLetter && s[sfCallSign] == CallSign) {
                FCurrent = i;
                return true;
            }
        }
        return false;
    }
    void EditStation() override { Begin(FCurrent); }
    void AppendStation() override { Begin(Table.size()); }
    void SetField(TStationField F, const std::string& Text) override {
        EXPECT_TRUE(FPending);
        if ((F == sfLat || F == sfLon) && !Text.empty()) {
            double v = 0;
            const auto r = std::from_chars(Text.data(), Text.data() + Text.size(), v);
            if (r.ec != std::errc() || r.ptr != Text.data() + Text.size())
                throw classlib::EConvertError("'" + Text + "' is not a valid floating point value");
        }
        FRecord[F] = Text;
    }
    void PostStation() override {
        ASSERT_TRUE(FPending);
        if (FAt == Table.size()) {
            Table.push_back(FRecord);
        } else {
            Table[FAt] = FRecord;
        }
        FPending = false;
    }
    void CancelStation() override {
        ++Cancels;
        FPending = false;
    }
    void ProcessMessages() override { ++Served; }
    bool Pending() const { return FPending; }

private:
    void Begin(std::size_t At) {
        EXPECT_FALSE(FPending) << "a record is still being edited";
        FAt = At;
        FRecord = At < Table.size() ? Table[At] : TStationRecord{};
        FPending = true;
    }
    std::size_t FNext = 0, FCurrent = 0, FAt = 0;
    TStationRecord FRecord;
    bool FPending = false;
};

std::string ReadBytes(const std::string& Path) {
    std::ifstream in(Path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteBytes(const std::string& Path, const std::string& Bytes) {
    std::ofstream(Path, std::ios::binary) << Bytes;
}

std::string FileIn(const std::string& Folder) { return Folder + "/" + StationFileName; }

const std::string NitonLine =
    "1#518#E#GBA#NITON#GB#UNITED KINGDOM#50.5#-1.25#00:40#04:40#08:40#12:40#16:40#20:40#A,B#SOLENT#";
const std::string CorsenLine = "2#490#A#FFC#CROSS CORSEN#F##48.5#-5#01:20########";

TEST(StationFile, ExportWritesTheVersionLineAndOneLineAStation) {
    const std::string name = FileIn(tilo_test::TempFolder());
    TMemoryStations db;
    db.Table = {Niton, Corsen};
    const TStationFileResult r = WriteStationFile(name, db);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, "station data succesfully exported to: \r" + name);
    EXPECT_EQ(ReadBytes(name), "VERSION5\r\n" + NitonLine + "\r\n" + CorsenLine + "\r\n");
    // Nothing but the file itself is left in the folder.
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(std::filesystem::path(name).parent_path()))
        ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(StationFile, ExportThenImportGivesEveryFieldBack) {
    const std::string name = FileIn(tilo_test::TempFolder());
    TMemoryStations from;
    from.Table = {Niton, Corsen, Station({"3", "518", "Z"})};
    ASSERT_TRUE(WriteStationFile(name, from).Ok);
    TMemoryStations to;
    const TStationFileResult r = ReadStationFile(name, to, false);
    EXPECT_TRUE(r.Ok);
    EXPECT_EQ(r.Text, "station data succesfully imported from: \r" + name);
    ASSERT_EQ(to.Table.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(to.Table[i].Fields, from.Table[i].Fields) << i;
    EXPECT_EQ(to.Served, 3);  // after each appended station
}

TEST(StationFile, ImportOfAnExistingStationKeepsOrTakesItsKeywords) {
    TStationRecord mine = Niton;
    mine[sfLocation] = "OLD NAME";
    mine[sfIdText] = "MY,OWN";
    mine[sfUniqueId] = "LISTS";
    for (const bool importKeywords : {false, true}) {
        SCOPED_TRACE(importKeywords);
        TMemoryStations db;
        db.Table = {mine};
        ImportStationLine(NitonLine, db, importKeywords);
        ImportStationLine(CorsenLine.substr(0, CorsenLine.size() - 2) + "K1,K2#U1#", db, importKeywords);
        ASSERT_EQ(db.Table.size(), 2u);
        EXPECT_EQ(db.Table[0][sfLocation], "NITON");
        EXPECT_EQ(db.Table[0][sfT6], "20:40");
        EXPECT_EQ(db.Table[0][sfIdText], importKeywords ? "A,B" : "MY,OWN");
        EXPECT_EQ(db.Table[0][sfUniqueId], importKeywords ? "SOLENT" : "LISTS");
        // A new station takes the file's lists whatever the choice.
        EXPECT_EQ(db.Table[1][sfIdText], "K1,K2");
        EXPECT_EQ(db.Table[1][sfUniqueId], "U1");
        EXPECT_EQ(db.Served, 1);  // only the append serves events
    }
}

TEST(StationFile, ShortLinesLeaveTheMissingFieldsEmpty) {
    TMemoryStations db;
    TStationRecord old = Station({"4", "518", "B", "XYZ", "PLACE", "CC", "LAND", "10", "20", "01:00", "", "", "", "", "",
                                  "KW", "UID"});
    db.Table = {old};
    ImportStationLine("5#518#C#ABC#SHORT", db, true);  // new, no ending "#"
    ImportStationLine("4#518#B#XYZ#", db, true);        // existing: every later field emptied
    ASSERT_EQ(db.Table.size(), 2u);
    EXPECT_EQ(db.Table[1].Fields, Station({"5", "518", "C", "ABC", "SHORT"}).Fields);
    EXPECT_EQ(db.Table[0].Fields, Station({"4", "518", "B", "XYZ"}).Fields);
}

TEST(StationFile, AFailingStationEndsTheImportAndLeavesNothingHalfSet) {
    const std::string name = FileIn(tilo_test::TempFolder());
    WriteBytes(name, "VERSION5\r\n" + NitonLine + "\r\n" + CorsenLine + "\r\n" +
                         "6#518#D#BAD#NOWHERE#XX##abc#1#\r\n" + "7#518#F#LATE#AFTER#YY##1#1#\r\n");
    TMemoryStations db;
    try {
        ReadStationFile(name, db, false);
        FAIL() << "no exception";
    } catch (const classlib::EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid floating point value");
    }
    ASSERT_EQ(db.Table.size(), 2u);
    EXPECT_EQ(db.Table[1][sfCallSign], "FFC");
    EXPECT_EQ(db.Cancels, 1);
    EXPECT_FALSE(db.Pending());
}

TEST(StationFile, ImportRefusesAnotherVersionOrAMissingFileAndChangesNothing) {
    const std::string folder = tilo_test::TempFolder();
    const std::string name = FileIn(folder);
    const std::string incompatible =
        "Import file not compatible with this version of Tilo!\r You must upgrade to version 5.6 or higher.";
    for (const std::string& bytes : std::vector<std::string>{"VERSION4\r\n" + NitonLine + "\r\n", "", " VERSION5\r\n",
                                     "VERSION5 \r\n" + NitonLine + "\r\n"}) {
        WriteBytes(name, bytes);
        TMemoryStations db;
        db.Table = {Corsen};
        const TStationFileResult r = ReadStationFile(name, db, true);
        EXPECT_FALSE(r.Ok);
        EXPECT_EQ(r.Text, incompatible);
        ASSERT_EQ(db.Table.size(), 1u);
        EXPECT_EQ(db.Table[0].Fields, Corsen.Fields);
    }
    TMemoryStations db;
    const TStationFileResult r = ReadStationFile(folder + "/absent/" + StationFileName, db, true);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Text, "error while opening file\rSystem reports: No such file or directory");
}

TEST(StationFile, ImportSkipsBlankLinesAndReadsAnyLineEnd) {
    const std::string name = FileIn(tilo_test::TempFolder());
    WriteBytes(name, "VERSION5\n" + NitonLine + "\r\n\r\n   \n" + CorsenLine + "\r" + "3#518#Z#" + "\r\n\r\n");
    TMemoryStations db;
    ASSERT_TRUE(ReadStationFile(name, db, true).Ok);
    ASSERT_EQ(db.Table.size(), 3u);
    EXPECT_EQ(db.Table[0].Fields, Niton.Fields);
    EXPECT_EQ(db.Table[1].Fields, Corsen.Fields);
    EXPECT_EQ(db.Table[2].Fields, Station({"3", "518", "Z"}).Fields);
}

TEST(StationFile, ExportRefusesFieldsTheFileCannotCarryAndKeepsThePreviousFile) {
    const std::string folder = tilo_test::TempFolder();
    const std::string name = FileIn(folder);
    WriteBytes(name, "previous\r\n");
    struct TCase {
        TStationField Field;
        std::string Value, Reason;
    };
    const std::vector<TCase> cases = {
        {sfIdText, "A#B", "field IDTEXT holds '#'"},
        {sfLocation, "NI#TON", "field LOCATION holds '#'"},
        {sfCountry, "UNITED\r\nKINGDOM", "field COUNTRY holds a line break"},
        {sfUniqueId, "X\nY", "field UNIQUEID holds a line break"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Reason);
        TMemoryStations db;
        TStationRecord bad = Niton;
        bad[c.Field] = c.Value;
        db.Table = {Corsen, bad};
        const TStationFileResult r = WriteStationFile(name, db);
        EXPECT_FALSE(r.Ok);
        const std::string location = c.Field == sfLocation ? c.Value : "NITON";
        EXPECT_EQ(r.Text, "error while saving export file\rSystem reports: station 518 1E GBA " + location + ",GB: " +
                              c.Reason);
        EXPECT_EQ(ReadBytes(name), "previous\r\n");
    }
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, 1);
}

TEST(StationFile, ExportIntoAFolderThatCannotTakeItReportsTheSystemsReason) {
    const std::string folder = tilo_test::TempFolder();
    TMemoryStations db;
    db.Table = {Niton};
    TStationFileResult r = WriteStationFile(folder + "/absent/" + StationFileName, db);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Text, "error while saving export file\rSystem reports: No such file or directory");
    // A folder standing where the file should be: the rename fails, the temporary goes.
    std::filesystem::create_directory(FileIn(folder));
    std::filesystem::create_directory(FileIn(folder) + "/inside");
    db = TMemoryStations();
    db.Table = {Niton};
    r = WriteStationFile(FileIn(folder), db);
    EXPECT_FALSE(r.Ok);
    EXPECT_EQ(r.Text.rfind("error while saving export file\rSystem reports: ", 0), 0u) << r.Text;
    int entries = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder)) ++entries;
    EXPECT_EQ(entries, 1);
}

}  // namespace
