// TCfgFile's matching and placement rules as one table of (file before, operation,
// value read or file after), its messages and its replace-by-rename save; then the
// settings key table: defaults, rejected values with their messages, the writers' key
// order and the numbered lists.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "QtTestApp.h"
#include "app/CfgFiles.h"
#include "app/Settings.h"

using namespace tilo;

namespace {

void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string Crlf(std::string_view lines) {
    std::string out;
    for (char c : lines) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

}  // namespace

TEST(CfgFile, MatchingAndPlacementRules) {
    using Op = std::function<std::string(TCfgFile&)>;
    struct Case {
        const char* name;
        const char* before;  // nullptr: no file
        Op op;               // a read returns the value; a write returns ""
        const char* read;    // expected value, or nullptr for a write
        const char* after;   // expected file (lines ending "\n" here, CR LF on disk), or nullptr
    };
    const auto freq = [](TCfgFile& f) { return std::to_string(f.ReadInteger("SETTINGS", "FREQ", 1200)); };
    const Case cases[] = {
        {"blanks around the equals sign", "[SETTINGS]\nFREQ = 1000\n", freq, "1000", nullptr},
        {"two lines of one key: the later is read", "[SETTINGS]\nFREQ=1000\nFREQ=1100\n", freq, "1100", nullptr},
        {"section and key in any case", "[settings]\nfreq=900\n", freq, "900", nullptr},
        {"lines read with CR LF", "[SETTINGS]\r\nFREQ=1000\r\n", freq, "1000", nullptr},
        {"a key of another section", "[OPTIONS]\nFREQ=5\n[SETTINGS]\nX=1\n", freq, "1200", nullptr},
        {"the section ends at the next line that begins with [", "[SETTINGS]\n[comment\nFREQ=5\n", freq, "1200",
         nullptr},
        {"not an integer", "[SETTINGS]\nFREQ=12a\n", freq, "1200", nullptr},
        {"missing file", nullptr, freq, "1200", nullptr},
        {"value keeps inner and trailing blanks", "[OPTIONS]\nRX_LAT =  52.5 N \n",
         [](TCfgFile& f) { return f.ReadString("OPTIONS", "RX_LAT", "0"); }, "52.5 N ", nullptr},
        {"a longer key is another key", "[OPTIONS]\nMINLEN_ON=Y\n",
         [](TCfgFile& f) { return f.ReadString("OPTIONS", "MINLEN", "none"); }, "none", nullptr},
        {"MINLEN written after MINLEN_ON", "[OPTIONS]\nMINLEN_ON=Y\nMINLEN=5\n",
         [](TCfgFile& f) { f.WriteInteger("OPTIONS", "MINLEN", 7); return ""; }, nullptr,
         "[OPTIONS]\nMINLEN_ON=Y\nMINLEN=7\n"},
        {"new key before the following section", "[OPTIONS]\nA=1\n[SETTINGS]\nFREQ=1\n",
         [](TCfgFile& f) { f.WriteString("OPTIONS", "B", "2"); return ""; }, nullptr,
         "[OPTIONS]\nA=1\nB=2\n[SETTINGS]\nFREQ=1\n"},
        {"new key before a following header that is the last line", "[OPTIONS]\nA=1\n[SETTINGS]\n",
         [](TCfgFile& f) { f.WriteString("OPTIONS", "B", "2"); return ""; }, nullptr,
         "[OPTIONS]\nA=1\nB=2\n[SETTINGS]\n"},
        {"new key in a section whose header is the last line", "[A]\nX=1\n[OPTIONS]\n",
         [](TCfgFile& f) { f.WriteString("OPTIONS", "B", "2"); return ""; }, nullptr, "[A]\nX=1\n[OPTIONS]\nB=2\n"},
        {"a write replaces the last matching line", "[SETTINGS]\nFREQ=1000\nFREQ = 1100\n",
         [](TCfgFile& f) { f.WriteInteger("SETTINGS", "FREQ", 1300); return std::to_string(f.ReadInteger("SETTINGS", "FREQ", 0)); },
         "1300", "[SETTINGS]\nFREQ=1000\nFREQ=1300\n"},
        {"WriteRaw upper-cases the key", "[OPTIONS]\nnavareas=1\n",
         [](TCfgFile& f) { f.WriteRaw("OPTIONS", "navAreas", "0"); return ""; }, nullptr, "[OPTIONS]\nNAVAREAS=0\n"},
        {"a key in a missing section keeps the caller's letter case", "; Tilo\n\n[A]\nX=1\n",
         [](TCfgFile& f) { f.WriteString("Options", "rx_lat", "5"); return ""; }, nullptr,
         "; Tilo\n\n[A]\nX=1\n[Options]\nRX_LAT=5\n"},
        {"a missing file gets the section", nullptr,
         [](TCfgFile& f) { f.WriteInteger("SETTINGS", "SAMPRATE", 12000); return ""; }, nullptr,
         "[SETTINGS]\nSAMPRATE=12000\n"},
        {"EraseSection of the last section leaves no header", "[A]\nX=1\n[B]\nY=2\n",
         [](TCfgFile& f) { f.EraseSection("b"); return ""; }, nullptr, "[A]\nX=1\n"},
        {"EraseSection of the first section", "[A]\nX=1\n\n[B]\nY=2\n",
         [](TCfgFile& f) { f.EraseSection("A"); return ""; }, nullptr, "[B]\nY=2\n"},
        {"EraseSection of a missing section", "[A]\nX=1\n",
         [](TCfgFile& f) { f.EraseSection("C"); return ""; }, nullptr, "[A]\nX=1\n"},
        {"sections and keys found", "[A]\n[B]\nX=1\nY=2\n[C]\n",
         [](TCfgFile& f) {
             int32_t first = -9, last = -9;
             std::string r;
             for (const char* s : {"A", "b", "C", "D"}) {
                 const bool found = f.FindSection(s, first, last);
                 r += std::string(s) + (found ? ":" + std::to_string(first) + "-" + std::to_string(last) : ":-") + " ";
             }
             return r + std::to_string(f.FindKey("B", "y")) + " " + std::to_string(f.FindKey("B", "Z")) + " " +
                    std::to_string(f.SectionExists("c"));
         },
         "A:1-0 b:2-3 C:5-4 D:- 3 -1 1", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = tilo_test::TempFolder() + "/Tilo.ini";
        if (c.before) WriteFile(path, c.before);
        TCfgFile file(path);
        const std::string value = c.op(file);
        if (c.read) {
            EXPECT_EQ(value, c.read);
        }
        if (c.after) {
            file.Save();
            EXPECT_EQ(ReadFile(path), Crlf(c.after));
        }
    }
}

TEST(CfgFile, ReportsFilesItCannotReadOrWrite) {
    const std::string dir = tilo_test::TempFolder();
    const std::string asFolder = dir + "/Tilo.ini";
    std::filesystem::create_directory(asFolder);
    try {
        TCfgFile file(asFolder);
        ADD_FAILURE() << "read a folder";
    } catch (const ECfgFileError& e) {
        EXPECT_EQ(e.Message(), "TCfgFile - kan niet openen: " + asFolder);
    }

    const std::string noFolder = dir + "/missing/Tilo.ini";
    TCfgFile file(noFolder);
    file.WriteInteger("SETTINGS", "FREQ", 1000);
    try {
        file.Save();
        ADD_FAILURE() << "saved into a missing folder";
    } catch (const ECfgFileError& e) {
        EXPECT_EQ(e.Message(), "TCfgFile - kan niet schrijven: " + noFolder);
    }

    // The rename over a folder fails after the temporary file was written: it is removed.
    const std::string later = dir + "/later.ini";
    TCfgFile blocked(later);
    blocked.WriteInteger("SETTINGS", "FREQ", 1000);
    std::filesystem::create_directory(later);
    EXPECT_THROW(blocked.Save(), ECfgFileError);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);
}

TEST(CfgFile, SaveReplacesTheFileInsteadOfRewritingIt) {
    const std::string dir = tilo_test::TempFolder();
    const std::string path = dir + "/Tilo.ini";
    WriteFile(path, "[SETTINGS]\r\nFREQ=1000\r\n");
    std::filesystem::create_hard_link(path, dir + "/old.ini");
    TCfgFile file(path);
    file.WriteInteger("SETTINGS", "FREQ", 1100);
    file.Save();
    // A write in place would have changed the old file's other name too.
    EXPECT_EQ(ReadFile(dir + "/old.ini"), "[SETTINGS]\r\nFREQ=1000\r\n");
    EXPECT_EQ(ReadFile(path), "[SETTINGS]\r\nFREQ=1100\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()), 2);
}

TEST(Settings, EveryKeyTakesItsDefaultFromAnEmptyFile) {
    const std::string path = tilo_test::TempFolder() + "/Tilo.ini";
    WriteFile(path, "");
    const TSettingsFile s(path);
    EXPECT_EQ(s.RxLat().Value, 0.0);
    EXPECT_EQ(s.RxLat().Message, "");
    EXPECT_EQ(s.RxLon().Value, 0.0);
    EXPECT_EQ(s.RxLon().Message, "");
    EXPECT_EQ(s.Freq(), 1200);
    EXPECT_EQ(s.CorFac().Value, 1.0);
    EXPECT_EQ(s.CorFac().Message, "");
    EXPECT_FALSE(s.ConfirmDelete());
    EXPECT_EQ(s.MinLen(), 0);
    EXPECT_FALSE(s.MinLenOn());
    EXPECT_EQ(s.NavAreas(), "111111111111111111111");
    EXPECT_EQ(s.SampRate().Value, 11025);
    EXPECT_EQ(s.SampRate().Message, "");
    EXPECT_TRUE(s.DoNotLog().empty());
    EXPECT_TRUE(s.UserInfo().empty());
}

TEST(Settings, StoredValuesAndRejectedOnesWithTheirMessages) {
    const std::string path = tilo_test::TempFolder() + "/Tilo.ini";
    WriteFile(path,
              "[OPTIONS]\nRX_LAT=52.25\nRX_LON=-4.5\nCORFAC=1.00012\nCONFIRM_DELETE= Y \nMINLEN=40\nMINLEN_ON=y\n"
              "NAVAREAS=101010101010101010101\n[SETTINGS]\nFREQ=1000\nSAMPRATE=12000\n");
    const TSettingsFile good(path);
    EXPECT_EQ(good.RxLat().Value, 52.25);
    EXPECT_EQ(good.RxLon().Value, -4.5);
    EXPECT_EQ(good.CorFac().Value, 1.00012);
    EXPECT_EQ(good.CorFac().Message, "");
    EXPECT_TRUE(good.ConfirmDelete());  // trimmed
    EXPECT_EQ(good.MinLen(), 40);
    EXPECT_FALSE(good.MinLenOn());      // only "Y"
    EXPECT_EQ(good.NavAreas(), "101010101010101010101");
    EXPECT_EQ(good.Freq(), 1000);
    EXPECT_EQ(good.SampRate().Value, 12000);

    WriteFile(path,
              "[OPTIONS]\nRX_LAT=1,5\nRX_LON=x\nCORFAC=abc\nCONFIRM_DELETE=YES\nMINLEN=ten\nMINLEN_ON= Y\n"
              "NAVAREAS=11111111111111111111\n[SETTINGS]\nFREQ=\nSAMPRATE=11024\n");
    const TSettingsFile bad(path);
    EXPECT_EQ(bad.RxLat().Value, 0.0);
    EXPECT_EQ(bad.RxLat().Message, "iilegal value for RX_LAT in tilo.ini, RX_LAT set to 0!");
    EXPECT_EQ(bad.RxLon().Value, 0.0);
    EXPECT_EQ(bad.RxLon().Message, "iilegal value for RX_LON in tilo.ini, RX_LON set to 0!");
    EXPECT_EQ(bad.CorFac().Value, 1.0);
    EXPECT_EQ(bad.CorFac().Message, "Illegal value for CorFac in Tilo.ini, default 1.000 set!");
    EXPECT_FALSE(bad.ConfirmDelete());
    EXPECT_EQ(bad.MinLen(), 0);
    EXPECT_TRUE(bad.MinLenOn());
    EXPECT_EQ(bad.NavAreas(), "111111111111111111111");  // 20 characters
    EXPECT_EQ(bad.Freq(), 1200);
    EXPECT_EQ(bad.SampRate().Value, 11025);
    EXPECT_EQ(bad.SampRate().Message, "SAMPLE RATE AS FOUND IN TILO.INI NOT ALLOWED, USING DEFAULTS!");

    WriteFile(path, "[SETTINGS]\nSAMPRATE=abc\n");
    // Not an integer: the integer reader's default, which is an allowed rate.
    EXPECT_EQ(TSettingsFile(path).SampRate().Value, 11025);
    EXPECT_EQ(TSettingsFile(path).SampRate().Message, "");
}

TEST(Settings, WritersKeepTheirKeyOrderAndListsRoundTrip) {
    const std::string path = tilo_test::TempFolder() + "/Tilo.ini";
    WriteFile(path, "[DO_NOT_LOG]\n1=old\n2=older\n[USER_INFO]\n0=gone\n");
    TSettingsFile s(path);
    TOptionsSettings o;
    o.RxLat = "52.25";
    o.RxLon = "-4.5";
    o.MinLen = 40;
    o.MinLenOn = true;
    o.ConfirmDelete = false;
    o.DoNotLog = {"518 1A NIT,NOR"};
    o.UserInfo = {"J. Smith", "", "Receiver: R-1000"};
    s.WriteOptions(o);
    s.WriteShutdown(1210, 12000);
    s.WriteCorFac("1.00012");
    s.WriteNavAreas("000000000000000000001");
    s.Save();
    EXPECT_EQ(ReadFile(path), Crlf("[OPTIONS]\nRX_LAT=52.25\nRX_LON=-4.5\nMINLEN=40\nMINLEN_ON=Y\nCONFIRM_DELETE=N\n"
                                   "CORFAC=1.00012\nNAVAREAS=000000000000000000001\n"
                                   "[DO_NOT_LOG]\n1=518 1A NIT,NOR\n[USER_INFO]\n0=J. Smith\n1=\n2=Receiver: R-1000\n"
                                   "[SETTINGS]\nFREQ=1210\nSAMPRATE=12000\n"));
    const TSettingsFile back(path);
    EXPECT_EQ(back.DoNotLog(), o.DoNotLog);
    // An empty memo line in the middle keeps the lines after it.
    EXPECT_EQ(back.UserInfo(), o.UserInfo);
}

TEST(Settings, DoNotLogStopsAtTheFirstEmptyOrMissingKey) {
    const std::string path = tilo_test::TempFolder() + "/Tilo.ini";
    WriteFile(path, "[DO_NOT_LOG]\n1=A\n2=B\n3=\n4=D\n[USER_INFO]\n0=a\n2=c\n");
    const TSettingsFile s(path);
    EXPECT_EQ(s.DoNotLog(), (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(s.UserInfo(), (std::vector<std::string>{"a"}));
}
