#include "decoder/NavtexDecoder.h"

#include "decoder/CodeTables.h"
#include "decoder/UCommon.h"
#include "RecordingHost.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

using namespace tilo;
using tilo::test::EncodeDateTime;
using tilo::test::EncodeText;
using tilo::test::FecBits;
using tilo::test::TRecordingHost;

namespace {

constexpr char Ch(int32_t Code) { return static_cast<char>(Code); }

std::string Codes(const std::vector<std::string>& List) {
    std::string Bits;
    for (const std::string& C : List) Bits += C;
    return Bits;
}

bool HasLogStartingWith(const TRecordingHost& Host, const std::string& Prefix) {
    for (const std::string& L : Host.Log) {
        if (L.rfind(Prefix, 0) == 0) return true;
    }
    return false;
}

class NavtexDecoderTest : public ::testing::Test {
protected:
    TRecordingHost Host;
    TNavtexDecoder Decoder{Host};

    // Hands the bits over the way the block handler does: 126 or more at a time.
    void Feed(const std::string& Bits, size_t Chunk = 130) {
        for (size_t Pos = 0; Pos < Bits.size(); Pos += Chunk) {
            Decoder.ProcessBitString(Bits.substr(Pos, Chunk));
        }
    }
    void Assemble(const std::string& Text) {
        for (char C : Text) Decoder.AssembleMessageChar(C);
    }
    void SyncedWithEmptyHistory() {
        Decoder.FNotSynced = false;
        Host.Broadcasts.clear();
    }
};

// ---- TextGarbageScore ---------------------------------------------------------

TEST(TextGarbageScore, ScoresShareOfBlanksAndCommonLettersHalvesToEven) {
    const auto Mix = [](size_t Good, size_t Bad) { return std::string(Good, 'E') + std::string(Bad, 'B'); };
    struct Case { std::string Text; int32_t Score; } Cases[] = {
        {"SHORT", 40},
        {"AB", 40},
        {"XXXXXZCZCXXXX", 40},
        {"XXXXXNNNNXXXX", 40},
        {"XX=====XXXXXX", 40},
        {"XX+++++XXXXXX", 40},
        {"BCDFGHJKLM", 0},
        {"AEIOR BCDF", 60},
        {Mix(1, 15), 6},     // 6.25
        {Mix(25, 175), 12},  // 12.5 -> 12
        {Mix(27, 173), 14},  // 13.5 -> 14
    };
    for (const Case& C : Cases) EXPECT_EQ(TextGarbageScore(C.Text), C.Score) << C.Text;
}

// ---- Synchronisation ----------------------------------------------------------

TEST_F(NavtexDecoderTest, PhasingSequenceAtGroup3OfPhase5GivesRqSync19) {
    const std::string P1(LettersCode(Ch(174))), P2(LettersCode(Ch(169)));
    const std::string Bits = "0000" + Codes({std::string(LettersCode('E')), std::string(LettersCode('T')),
                                             P2, P1, P2, P1, std::string(LettersCode('A')),
                                             std::string(LettersCode('B'))}) +
                             "111";
    EXPECT_EQ(Decoder.FindSync(Bits), 19);
    ASSERT_FALSE(Host.Log.empty());
    EXPECT_EQ(Host.Log.back(), std::string("RQ-SYNC ET") + Ch(169) + Ch(174) + Ch(169) + Ch(174) + "AB");
}

TEST_F(NavtexDecoderTest, FindSyncRefusesHalfValidOrInconsistentText) {
    // Exactly half of the groups valid is not enough.
    const std::string Half = Codes({std::string(LettersCode('E')), "1111111",
                                    std::string(LettersCode('T')), "1111111"});
    EXPECT_EQ(Decoder.FindSync(Half + "1111111"), -1);
    // All valid, but no character comes back five positions later.
    EXPECT_EQ(Decoder.FindSync(Codes(EncodeText("ABCDEFGHIJKLMNOPQRSTUVWXYZ"))), -1);
    EXPECT_EQ(Decoder.FindSync(std::string(200, '1')), -1);
    EXPECT_EQ(Decoder.FindSync(""), -1);
    EXPECT_TRUE(Host.Log.empty());
}

TEST_F(NavtexDecoderTest, FindSyncShareOfValidGroupsRoundsHalvesToEven) {
    // 200 groups at phase 1: the phasing sequence, then valid and invalid groups
    // taking turns. 101 valid is 50.5 %, which rounds to 50 and is not enough;
    // 102 valid is 51 %.
    const std::string P1(LettersCode(Ch(174))), P2(LettersCode(Ch(169))), E(LettersCode('E'));
    const std::string Junk = "1111111";
    std::string Bits = Codes({P2, P1, P2, P1});
    for (int I = 0; I < 97; ++I) Bits += E + Junk;
    const std::string Half = Bits + Junk + Junk + "0";
    const std::string More = Bits + Junk + E + "0";
    EXPECT_EQ(Decoder.FindSync(Half), -1);
    EXPECT_TRUE(Host.Log.empty());
    EXPECT_EQ(Decoder.FindSync(More), 1);
    EXPECT_TRUE(HasLogStartingWith(Host, "RQ-SYNC "));
}

TEST_F(NavtexDecoderTest, FindSyncOnInterleavedTextStartsAtADxPosition) {
    // DX/RX interleaved text without phasing, shifted by three junk bits.
    std::string Bits = FecBits(EncodeText("THE SEA IS CALM AND THE AIR IS CLEAR"), 0, 0);
    Bits = "101" + Bits.substr(7 * 10);  // start inside the stream
    const int32_t P = Decoder.FindSync(Bits);
    ASSERT_GT(P, 0);
    EXPECT_EQ((P - 4) % 14, 0) << P;
    EXPECT_TRUE(HasLogStartingWith(Host, "Sync on: "));
}

TEST_F(NavtexDecoderTest, FindSyncKeepsTheEarlierPhaseOnATieAndSkipsAGroupEndingTheBits) {
    // Phase 1 reads J P2 P1 P2 P1 and phase 8 reads P2 P1 P2 P1: four valid groups
    // each, so phase 1 stays. The group at bit 36 ends exactly at the last bit and
    // is not taken (a further group needs its start at most 42 - 7).
    const std::string P1(LettersCode(Ch(174))), P2(LettersCode(Ch(169))), J = "1111111";
    EXPECT_EQ(Decoder.FindSync(Codes({J, P2, P1, P2, P1, J})), 8);
    EXPECT_EQ(Host.Log, (std::vector<std::string>{std::string("RQ-SYNC ~") + Ch(169) + Ch(174) + Ch(169) + Ch(174)}));
}

TEST_F(NavtexDecoderTest, FindSyncTakesAPairingAtTheLastPossiblePosition) {
    // Nine characters: position 1 repeats at 6 and 3 at 8, with 5 and 7 different,
    // which the last position of the test (Length - 8) can just see.
    std::vector<std::string> Groups;
    for (char C : std::string("ABCDEAFCG")) Groups.emplace_back(LettersCode(C));
    EXPECT_EQ(Decoder.FindSync(Codes(Groups) + "0"), 1);
    EXPECT_EQ(Host.Log, (std::vector<std::string>{"Sync on: ABCDEAFCG"}));
}

TEST_F(NavtexDecoderTest, UnsyncedBitsWithoutSyncAreDropped) {
    Decoder.ProcessBitString(std::string(140, '1'));
    EXPECT_TRUE(Decoder.FNotSynced);
    EXPECT_TRUE(Decoder.FBitRemainder.empty());
    EXPECT_TRUE(Host.Broadcasts.empty());
    EXPECT_TRUE(Host.Memo.empty());
}

TEST_F(NavtexDecoderTest, GroupLoopLeavesExactlySevenBitsWaiting) {
    SyncedWithEmptyHistory();
    Decoder.ProcessBitString("1110001");
    EXPECT_EQ(Decoder.FBitRemainder, "1110001");
    EXPECT_TRUE(Decoder.FGroupHistory[0].empty());
    Decoder.ProcessBitString("0");
    EXPECT_EQ(Decoder.FGroupHistory[0], "1110001");
    EXPECT_EQ(Decoder.FBitRemainder, "0");
}

TEST_F(NavtexDecoderTest, SyncFillsSlotsFiveToOneAndPairsNewestWithSlotSix) {
    const std::string Bits = FecBits(EncodeText("RAIN AND SNOW\r\n"), 8, 4);
    Decoder.ProcessBitString(Bits.substr(0, 126));
    EXPECT_FALSE(Decoder.FNotSynced);
    ASSERT_FALSE(Host.Broadcasts.empty());
    EXPECT_EQ(Host.Broadcasts.front(), "S#1");
    EXPECT_TRUE(Host.LedStatus[TDecoderLed::LedSync]);
    Feed(Bits.substr(126));
    ASSERT_GE(Host.Memo.size(), 1u);
    EXPECT_EQ(Host.MemoTexts()[0], "RAIN AND SNOW");
    EXPECT_TRUE(HasLogStartingWith(Host, "RQ-SYNC "));
    EXPECT_TRUE(HasLogStartingWith(Host, "End of emission signal...resync."));
    EXPECT_TRUE(Decoder.FNotSynced);
    EXPECT_EQ(Decoder.FLine, "{}");
}

TEST_F(NavtexDecoderTest, EarlySyncWithShortHistoryDecodesWithoutReadingPastSlots) {
    // Phasing right at the end of the buffer: slot 1 gets only the two bits left.
    const std::string P1(LettersCode(Ch(174))), P2(LettersCode(Ch(169)));
    const std::string Bits = Codes({P2, P1, P2, P1}) + "10";
    Decoder.ProcessBitString(Bits);
    EXPECT_FALSE(Decoder.FNotSynced);
    EXPECT_EQ(Decoder.FGroupHistory[4], P2);
    EXPECT_EQ(Decoder.FGroupHistory[0], "10");
    // Five groups later the short slot is the older half of a pair.
    const std::string E(LettersCode('E'));
    Decoder.ProcessBitString(Codes({E, E, E, E, E}) + "1");
    EXPECT_EQ(Decoder.FGroupHistory[5], "10");
    EXPECT_EQ(Decoder.FLine, "EEE");
}

// ---- Error monitoring -----------------------------------------------------------

TEST_F(NavtexDecoderTest, SixUndecodableOfTheLastNineResetAfterTheTenthCharacter) {
    SyncedWithEmptyHistory();
    for (char C : std::string("AB~~~~~~C")) Decoder.MonitorCharErrors(C);
    EXPECT_FALSE(Decoder.FNotSynced);
    Decoder.MonitorCharErrors('D');
    EXPECT_TRUE(Decoder.FNotSynced);
    ASSERT_EQ(Host.Log.size(), 1u);
    EXPECT_EQ(Host.Log[0], "Decoder: too many errors: B~~~~~~CD");
    EXPECT_TRUE(Decoder.LastChars.empty());
    EXPECT_TRUE(Decoder.ScoreWindow.empty());
}

TEST_F(NavtexDecoderTest, FiveUndecodableOfTheLastNineDoNotReset) {
    SyncedWithEmptyHistory();
    for (char C : std::string("A~~~~~BCDE")) Decoder.MonitorCharErrors(C);
    EXPECT_FALSE(Decoder.FNotSynced);
    EXPECT_EQ(Decoder.LastChars, "~~~~~BCDE");
    EXPECT_TRUE(Host.Log.empty());
}

TEST_F(NavtexDecoderTest, EndOfEmissionNeedsPhasingSignal1InSlotsTwoFourAndSix) {
    const std::string P1(LettersCode(Ch(174))), E(LettersCode('E'));
    for (bool InSlotSix : {false, true}) {
        SyncedWithEmptyHistory();
        Host.Log.clear();
        Decoder.DxRxToggle = true;
        // After the next group these become slots 2, 4 and 6.
        Decoder.FGroupHistory = {P1, E, P1, E, InSlotSix ? P1 : E, E};
        Decoder.ProcessCodeGroup(E);
        EXPECT_EQ(Decoder.FNotSynced, InSlotSix);
        EXPECT_EQ(Host.Log, InSlotSix ? std::vector<std::string>{"End of emission signal...resync."}
                                      : std::vector<std::string>{});
    }
}

TEST_F(NavtexDecoderTest, TwentyFiveLettersThatAreNotLanguageResetTheDecoder) {
    SyncedWithEmptyHistory();
    const std::string Garbage = "BCDFGHJKLMNPQSTUVWXYZBCDF";
    for (char C : Garbage) Decoder.MonitorCharErrors(C);
    EXPECT_TRUE(Decoder.FNotSynced);
    ASSERT_EQ(Host.Log.size(), 1u);
    EXPECT_EQ(Host.Log[0], "Decoder: bad sync detected: " + Garbage);

    // Plain language passes, and the window starts again after 25 characters;
    // figures and shifts do not count towards it.
    Host.Log.clear();
    SyncedWithEmptyHistory();
    for (char C : std::string("THE WIND IS WEST 4 OR 5, LATER SW")) Decoder.MonitorCharErrors(C);
    EXPECT_FALSE(Decoder.FNotSynced);
    EXPECT_TRUE(Host.Log.empty());
    EXPECT_EQ(Decoder.ScoreWindow, "ER SW");
}

TEST_F(NavtexDecoderTest, ResetMarksTheLineAndTellsClients) {
    SyncedWithEmptyHistory();
    Assemble("ABC");
    Decoder.FBitBuffer = "0101";
    Decoder.FBitRemainder = "01";
    Decoder.FGroupHistory[3] = "1110001";
    Decoder.ShiftState = 1;
    Decoder.LastChars = "XY";
    Host.Broadcasts.clear();
    Decoder.ResetDecoder();
    EXPECT_EQ(Decoder.FLine, "ABC{}");
    EXPECT_EQ(Host.Broadcasts, (std::vector<std::string>{"T#{", "T#}", "S#0", "T#"}));
    EXPECT_TRUE(Decoder.FNotSynced);
    EXPECT_TRUE(Decoder.FBitBuffer.empty());
    EXPECT_TRUE(Decoder.FBitRemainder.empty());
    EXPECT_TRUE(Decoder.FGroupHistory[3].empty());
    EXPECT_EQ(Decoder.ShiftState, 0);
    EXPECT_EQ(Decoder.LastChars, "XY");
    EXPECT_FALSE(Host.LedStatus[TDecoderLed::LedSync]);
    EXPECT_FALSE(Host.LedFlash[TDecoderLed::LedSync]);
    EXPECT_FALSE(Host.LedStatus[TDecoderLed::LedCharin]);
    EXPECT_FALSE(Host.LedFlash[TDecoderLed::LedCharin]);
}

TEST_F(NavtexDecoderTest, ResyncButtonAndPolaritySwitchReset) {
    SyncedWithEmptyHistory();
    Decoder.sbForceResyncClick();
    EXPECT_TRUE(Decoder.FNotSynced);
    EXPECT_EQ(Host.Log.back(), "Decoder: resync forced by user...");
    for (int32_t Item : {1, 0}) {
        SyncedWithEmptyHistory();
        Host.PolarityItem = Item;
        Decoder.RadioGroup1Click();
        EXPECT_TRUE(Decoder.FNotSynced);
        EXPECT_EQ(Host.Polarities.back(), Item);
        EXPECT_EQ(Host.Log.back(), Item ? "Signal polarity: INVERTED" : "Signal polarity: NORMAL");
    }
}

// ---- Message assembly -----------------------------------------------------------

TEST_F(NavtexDecoderTest, HeaderLinesGiveB1B2AndSerial) {
    struct Case {
        const char* Name;
        std::string Received;
        std::string Shown;
        char B1;
        std::string B2, Serial;
    } Cases[] = {
        {"figures case", "+:+: !-23", "ZCZC FA23", 'F', "A", "23"},
        {"letters case", "ZCZC FA23", "ZCZC FA23", 'F', "A", "23"},
        {"B2 from figures '?', serial from letters", "ZCZC A?JT", "ZCZC AB 5", 'A', "B", " 5"},
        {"serial takes three characters", "ZCZC EB123", "ZCZC EB123", 'E', "B", "123"},
        {"only characters 8 and 9 are mapped", "ZCZC EBJTA", "ZCZC EB 5A", 'E', "B", " 5A"},
        {"text before ZCZC is dropped", "XYZCZC FA23", "ZCZC FA23", 'F', "A", "23"},
        {"header too short for B1", "QQQQQZCZC ", "ZCZC ", '?', "?", "???"},
    };
    for (const Case& C : Cases) {
        Host.Memo.clear();
        Host.Broadcasts.clear();
        Assemble(C.Received + "\r");
        ASSERT_EQ(Host.Memo.size(), 1u) << C.Name;
        EXPECT_EQ(Host.MemoTexts()[0], C.Shown) << C.Name;
        EXPECT_EQ(Decoder.HeaderIdLetter, C.B1) << C.Name;
        EXPECT_EQ(Decoder.HeaderSubject, C.B2) << C.Name;
        EXPECT_EQ(Decoder.HeaderSerial, C.Serial) << C.Name;
        EXPECT_EQ(Host.Broadcasts, (std::vector<std::string>{"M# ", "M#12:34:56> " + C.Shown})) << C.Name;
        EXPECT_EQ(Decoder.LineState, 1) << C.Name;
        EXPECT_TRUE(Decoder.FLine.empty());
    }
}

TEST_F(NavtexDecoderTest, ShortZczcLineIsOrdinary) {
    Assemble("ZCZC FA2\r");
    EXPECT_EQ(Decoder.HeaderIdLetter, '?');
    EXPECT_EQ(Decoder.HeaderSerial, "???");
    EXPECT_EQ(Host.Broadcasts, (std::vector<std::string>{"M#12:34:56> ZCZC FA2"}));
}

TEST_F(NavtexDecoderTest, LinesAreShownWithDateTimeAndMirroredWithTime) {
    Decoder.FSignalQuality = 62.5;
    Assemble("GALE WARNING\r\nX");
    ASSERT_EQ(Host.Memo.size(), 1u);
    EXPECT_EQ(Host.Memo[0], "2026-12-09 12:34:56> GALE WARNING");
    EXPECT_EQ(Host.Broadcasts.back(), "M#12:34:56> GALE WARNING");
    EXPECT_EQ(Decoder.FMessageQuality, 62);  // halves to even
    EXPECT_EQ(Decoder.FLine, "X");           // LF is not part of a line
    EXPECT_FALSE(Host.LedStatus[TDecoderLed::LedCharin]);
    EXPECT_TRUE(Host.LedFlash[TDecoderLed::LedCharin]);
}

TEST_F(NavtexDecoderTest, EndLineHandsTheMessageToTheStoreAndResetsTheHeader) {
    Host.Freq = "490";
    Decoder.FSignalQuality = 80;
    Assemble("ZCZC FA23\r\nRAIN LATER\r\n");
    Host.Clock = EncodeDateTime(2026, 12, 9, 12, 35, 10);
    Assemble(",,,,\r\n");  // NNNN received in figures case
    ASSERT_EQ(Host.Records.size(), 1u);
    const auto& R = Host.Records[0];
    EXPECT_EQ(R.IdLetter, 'F');
    EXPECT_EQ(R.MsgType, "A");
    EXPECT_EQ(R.MsgNumber, "23");
    EXPECT_EQ(R.Freq, 490);
    EXPECT_EQ(R.SigQual, 80);
    EXPECT_DOUBLE_EQ(R.UtcTime, Host.Clock);
    EXPECT_EQ(R.MsgText,
              "2026-12-09 12:34:56> ZCZC FA23\r\n2026-12-09 12:34:56> RAIN LATER\r\n"
              "2026-12-09 12:35:10> NNNN\r\n");
    EXPECT_EQ(Host.Corrections, 1);
    EXPECT_TRUE(Host.Memo.empty());
    EXPECT_EQ(Decoder.HeaderIdLetter, '?');
    EXPECT_EQ(Decoder.HeaderSubject, "?");
    EXPECT_EQ(Decoder.HeaderSerial, "?");
}

TEST_F(NavtexDecoderTest, MinimumLengthKeepsFragmentsOutOfTheStore) {
    Host.MinUNIDLen = true;
    Host.MinUnidLen = 1000;
    Assemble("RAIN\rNNNN\r");
    EXPECT_TRUE(Host.Records.empty());
    ASSERT_EQ(Host.Log.size(), 2u);
    EXPECT_EQ(Host.Log[0], "Database: fragment too short, NOT stored");
    EXPECT_EQ(Host.Log[1], "fragment:2026-12-09 12:34:56> RAIN\r\n2026-12-09 12:34:56> NNNN\r\n");
    EXPECT_TRUE(Host.Memo.empty());

    // A memo text exactly as long as the minimum is stored.
    Host.Log.clear();
    Host.MinUnidLen = 54;  // two lines of 21 + 4 + 2 characters
    Assemble("RAIN\rNNNN\r");
    EXPECT_EQ(Host.Records.size(), 1u);
    Host.Records.clear();
    Host.MinUnidLen = 1000;

    // At a new header only the first line is logged.
    Host.Log.clear();
    Assemble("RAIN\rZCZC FA23\r");
    EXPECT_TRUE(Host.Records.empty());
    EXPECT_EQ(Host.Log, (std::vector<std::string>{"Database: fragment too short, NOT stored"}));
}

TEST_F(NavtexDecoderTest, NewHeaderStoresTheUnfinishedMessageFirst) {
    Assemble("ZCZC FA23\rRAIN\rZCZC GB01\r");
    ASSERT_EQ(Host.Records.size(), 1u);
    EXPECT_EQ(Host.Records[0].IdLetter, 'F');
    EXPECT_EQ(Host.Records[0].MsgNumber, "23");
    EXPECT_EQ(Host.MemoTexts(), (std::vector<std::string>{"ZCZC GB01"}));
    EXPECT_EQ(Decoder.HeaderIdLetter, 'G');
    // An empty memo (20 characters or fewer) is discarded silently.
    Host.Memo.clear();
    Assemble("ZCZC HC02\r");
    EXPECT_EQ(Host.Records.size(), 1u);
    EXPECT_TRUE(Host.Log.empty());
}

TEST_F(NavtexDecoderTest, EightiethCharacterFlushesTheLine) {
    const std::string Long(79, 'A');
    Assemble(Long);
    EXPECT_TRUE(Host.Memo.empty());
    Assemble("ZCZC");  // no header detection in a flushed piece
    ASSERT_EQ(Host.Memo.size(), 1u);
    EXPECT_EQ(Host.MemoTexts()[0], Long + "Z");
    EXPECT_EQ(Decoder.FLine, "CZC");
    EXPECT_EQ(Decoder.HeaderIdLetter, '?');
}

TEST_F(NavtexDecoderTest, ShiftsAndUnshiftOnSpace) {
    Assemble(std::string(1, Ch(181)));
    EXPECT_EQ(Decoder.ShiftState, 1);
    Assemble(" ");
    EXPECT_EQ(Decoder.ShiftState, 1);  // unshift on space is off
    Host.UOS = true;
    Assemble(" ");
    EXPECT_EQ(Decoder.ShiftState, 0);
    Assemble(std::string(1, Ch(181)) + std::string(1, Ch(182)));
    EXPECT_EQ(Decoder.ShiftState, 0);
    EXPECT_EQ(Decoder.FLine, "  ");  // shifts are not printable

    Decoder.cbUOSClick();
    Host.UOS = false;
    Decoder.cbUOSClick();
    EXPECT_EQ(Host.Log, (std::vector<std::string>{"Unshift On Space: ON", "Unshift On Space: OFF"}));
}

TEST_F(NavtexDecoderTest, TickerRawKeepsEverythingNormalMapsLineEnds) {
    for (char C : std::string("A\r\n") + Ch(181)) Decoder.FeedTicker(C, true);
    EXPECT_EQ(Decoder.FTickerBuffer, std::string("A\r\n") + Ch(181));
    EXPECT_TRUE(Host.Broadcasts.empty());
    Decoder.FTickerBuffer.clear();
    for (char C : std::string("A\r\n~") + Ch(181)) Decoder.FeedTicker(C, false);
    EXPECT_EQ(Decoder.FTickerBuffer, "A  ~");
    EXPECT_EQ(Host.Broadcasts, (std::vector<std::string>{"T#A", "T# ", "T# ", "T#~"}));
}

TEST_F(NavtexDecoderTest, ClockTexts) {
    Host.Clock = EncodeDateTime(2026, 12, 10);
    EXPECT_EQ(Decoder.UtcDateTimeStr(), "2026-12-10 00:00:00");
    EXPECT_EQ(Decoder.UtcTimeStr(0), "00:00:00");
    EXPECT_EQ(Decoder.UtcTimeStr(-1), "23:59:59");
    // Half a second past midnight still shows the time once.
    Host.Clock = EncodeDateTime(2026, 12, 10) + 0.5 / 86400;
    EXPECT_EQ(Decoder.UtcDateTimeStr(), "2026-12-10 00:00:00");
    Host.Clock = EncodeDateTime(2000, 2, 29, 23, 59, 59);
    EXPECT_EQ(Decoder.UtcDateTimeStr(), "2000-02-29 23:59:59");
    EXPECT_EQ(Decoder.UtcTimeStr(3), "00:00:02");
}

TEST_F(NavtexDecoderTest, FrequencySwitchAppliesFilterLogsAndRefreshesSchedule) {
    Host.Freq = "490";
    Decoder.rgFreqClick();
    EXPECT_EQ(Host.NavareaApplied, 1);
    EXPECT_EQ(Host.ScheduleRefreshed, 1);
    EXPECT_EQ(Host.Log, (std::vector<std::string>{"RX frequency: 490"}));
}

TEST_F(NavtexDecoderTest, EightBitCharactersPassThroughUnchanged) {
    Decoder.FTickerRaw = true;
    Decoder.FeedTicker(Ch(164), Decoder.FTickerRaw);
    EXPECT_EQ(Decoder.FTickerBuffer, std::string(1, Ch(164)));
    Assemble(std::string("A") + Ch(162) + Ch(128) + "B\r");
    EXPECT_EQ(Host.MemoTexts()[0], "AB");
    EXPECT_TRUE(Host.LedFlash[TDecoderLed::LedCharin]);
}

// ---- Failing store and lexicon --------------------------------------------------

TEST_F(NavtexDecoderTest, FailingStoreIsLoggedAndStateStillResets) {
    Host.OnStore = [] { throw std::runtime_error("disk full"); };
    Assemble("ZCZC FA23\rRAIN\rNNNN\r");
    EXPECT_TRUE(Host.Records.empty());
    EXPECT_EQ(Host.Log, (std::vector<std::string>{"Database: disk full"}));
    EXPECT_TRUE(Host.Memo.empty());
    EXPECT_TRUE(Decoder.FLine.empty());
    EXPECT_EQ(Decoder.HeaderIdLetter, '?');
    EXPECT_EQ(Decoder.LineState, 1);

    // The store recovers: the next message goes through with its own header.
    Host.OnStore = nullptr;
    Assemble("ZCZC GB01\rFOG\rNNNN\r");
    ASSERT_EQ(Host.Records.size(), 1u);
    EXPECT_EQ(Host.Records[0].IdLetter, 'G');
    EXPECT_EQ(Host.Records[0].MsgText.find("NNNN"), Host.Records[0].MsgText.rfind("NNNN"));
}

TEST_F(NavtexDecoderTest, FailingStoreAtANewHeaderStillClearsTheMemo) {
    Host.OnStore = [] { throw 42; };
    Assemble("ZCZC FA23\rRAIN\rZCZC GB01\r");
    EXPECT_EQ(Host.Log, (std::vector<std::string>{"Database: unknown error"}));
    EXPECT_EQ(Host.MemoTexts(), (std::vector<std::string>{"ZCZC GB01"}));
    EXPECT_EQ(Decoder.HeaderIdLetter, 'G');
}

TEST_F(NavtexDecoderTest, FailingLexiconIsLoggedAndTheMessageStillStored) {
    Host.OnCorrect = [] { throw std::runtime_error("lexicon unreadable"); };
    Assemble("ZCZC FA23\rRAIN\rNNNN\r");
    EXPECT_EQ(Host.Log, (std::vector<std::string>{"Database: lexicon unreadable"}));
    ASSERT_EQ(Host.Records.size(), 1u);
    EXPECT_TRUE(Host.Memo.empty());
}

// ---- Whole character stage on built bit streams ---------------------------------

TEST_F(NavtexDecoderTest, MessageWithShiftsDecodesFromFecBits) {
    const std::string Message =
        "ZCZC FA23\r\n"
        "NAVAREA ONE WARNING 123/26\r\n"
        "GALE 8 OR 9 IN AREA SOLE, LATER 7.\r\n"
        "NNNN\r\n\n";
    Feed(FecBits(EncodeText(Message), 10, 5), 126);
    ASSERT_EQ(Host.Records.size(), 1u);
    const auto& R = Host.Records[0];
    EXPECT_EQ(R.IdLetter, 'F');
    EXPECT_EQ(R.MsgType, "A");
    EXPECT_EQ(R.MsgNumber, "23");
    EXPECT_EQ(R.Freq, 518);
    const std::string P = "2026-12-09 12:34:56> ";
    EXPECT_EQ(R.MsgText, P + "ZCZC FA23\r\n" + P + "NAVAREA ONE WARNING 123/26\r\n" + P +
                             "GALE 8 OR 9 IN AREA SOLE, LATER 7.\r\n" + P + "NNNN\r\n");
    EXPECT_EQ(Decoder.FLine, "{}");
    EXPECT_TRUE(Decoder.FNotSynced);
    std::string Ticker = Decoder.FTickerBuffer;
    EXPECT_NE(Ticker.find("NAVAREA ONE WARNING 123/26  GALE 8 OR 9"), std::string::npos) << Ticker;
}

}  // namespace
