// The window's correction of garbled words before a message is stored: the lines of the
// current message rewritten in place with their candidates bracketed, one system-log
// line per correction, the lexicon read from the word table once and dropped when the
// table closes; and the whole chain on synthesised messages decoded at low SNR.
#include "StationPagesKit.h"

#include <QPlainTextEdit>

#include <map>
#include <set>

#include "app/Lexicon.h"
#include "decoder/uModem.h"
#include "platform/AudioSource.h"
#include "tools/navtex-synth/NavtexSynth.h"

namespace {

using namespace tilo;
using tilo_test::StationPagesFixture;
using TLines = std::vector<std::string>;

// The window as the decoder's host, keeping what the correction saw and what reached
// the store.
class TRecordingMain : public TfrmMain {
public:
    void CorrectGarbledWords() override {
        Decoded.push_back(meLogText());
        TfrmMain::CorrectGarbledWords();
    }
    void AddLogRecord(char, const std::string&, double, const std::string&, const std::string& MsgText, int32_t,
                      int32_t) override {
        Stored.push_back(MsgText);
    }
    std::vector<std::string> Decoded, Stored;
};

// A sound input that never opens: the test hands blocks to the demodulator itself.
class TNoInput : public TAudioSource {
public:
    int32_t DeviceCount() override { return 0; }
    TAudioError QueryFormat(int32_t) override { return {19, "no input in this test"}; }
    TAudioError Open(int32_t, int32_t) override { return {19, "no input in this test"}; }
    TAudioError Start() override { return {}; }
    TAudioError Reset() override { return {}; }
    TAudioError Close() override { return {}; }
    std::vector<pollfd> PollDescriptors() override { return {}; }
    int64_t Read(int16_t*, std::size_t, TAudioError&) override { return 0; }
    std::string Name() const override { return "none"; }
};

// The word table's words, first to last.
class TTableWords : public TWordSource {
public:
    explicit TTableWords(classlib::TDataSet& T) : FT(T) {}
    void ForEachWord(const std::function<void(const std::string&)>& Visit) override {
        for (FT.First(); !FT.Eof(); FT.Next()) Visit(FT.FieldByName("WORDS")->AsString());
    }

private:
    classlib::TDataSet& FT;
};

class LexiconCorrection : public StationPagesFixture {
protected:
    void SetUp() override {
        StationPagesFixture::SetUp();
        MakeWindow = [] { return std::make_unique<TRecordingMain>(); };
    }
    TRecordingMain& Main() { return static_cast<TRecordingMain&>(*W); }
    void AddWords(const std::vector<std::string>& Words) {
        classlib::TDataSet& t = *Module->WordTable;
        for (const std::string& w : Words) {
            t.Append();
            t.FieldByName("WORDS")->SetAsString(w);
            t.Post();
        }
    }
    void SetMessage(const TLines& Lines) {
        W->meLogClear();
        for (const std::string& l : Lines) W->meLogAdd(l);
    }
    // The system log's correction lines, without their time stamps.
    TLines Corrections() const {
        TLines v;
        for (const std::string& l : SysLogLines())
            if (const auto at = l.find(" corrected to "); at != std::string::npos) {
                const auto start = l.rfind(' ', at - 1);
                v.push_back(l.substr(start == std::string::npos ? 0 : start + 1));
            }
        return v;
    }
};

TEST_F(LexiconCorrection, CandidatesOfTheMessageAreBracketedInPlaceAndLogged) {
    Make({});
    AddWords({"ABCDE", "ABXDE", "ABCDF", "AECDE", "ABCD", "FGHIJKLMNOPQ", "KLMNO"});
    SetMessage({"2024-06-21 12:00:00> ZCZC EA01", "AB~DE, A~~~E ~ AB~D.", "ABCD~FGHIJKLMNOPQ~ST", "NNNN"});
    W->CorrectGarbledWords();
    // AB~DE: same length, A, B, D, E in place; A~~~E: three of five undecoded; a lone '~'
    // and the four-letter AB~D are no candidates; of the 20-character word only the
    // piece of 12 is looked up, and found as it stands.
    EXPECT_EQ(W->meLogText(),
              "2024-06-21 12:00:00> ZCZC EA01\r\n[ABCDE|ABXDE], A~~~E ~ AB~D.\r\nABCD~[FGHIJKLMNOPQ]~ST\r\nNNNN\r\n");
    EXPECT_EQ(Corrections(), (TLines{"AB~DE corrected to ABCDE|ABXDE", "FGHIJKLMNOPQ corrected to FGHIJKLMNOPQ"}));

    // A message without '~' is left as it is.
    SetMessage({"2024-06-21 12:00:00> ZCZC EA02", "ABCDE ABXDE"});
    W->CorrectGarbledWords();
    EXPECT_EQ(W->meLogText(), "2024-06-21 12:00:00> ZCZC EA02\r\nABCDE ABXDE\r\n");
    EXPECT_EQ(Corrections().size(), 2u);
}

TEST_F(LexiconCorrection, TheLexiconIsReadOnceAndDroppedWhenItsTableCloses) {
    Make({});
    AddWords({"ABCDE"});
    SetMessage({"AB~DE"});
    W->CorrectGarbledWords();
    EXPECT_EQ(W->meLogText(), "[ABCDE]\r\n");
    AddWords({"ABXDE"});  // not seen: the words in memory stand until the table closes
    SetMessage({"AB~DE"});
    W->CorrectGarbledWords();
    EXPECT_EQ(W->meLogText(), "[ABCDE]\r\n");
    Module->WordTable->Close();
    Module->WordTable->Open();
    SetMessage({"AB~DE"});
    W->CorrectGarbledWords();
    EXPECT_EQ(W->meLogText(), "[ABCDE|ABXDE]\r\n");
    Module->WordTable->Close();
    SetMessage({"AB~DE"});
    W->CorrectGarbledWords();  // a closed table: nothing to look up in
    EXPECT_EQ(W->meLogText(), "AB~DE\r\n");
}

// ---- the chain on synthesised messages ----

struct TSynthCase {
    uint32_t Seed;
    double SnrDb;
    const char* Header;
    const char* Text;
};

class LexiconChain : public LexiconCorrection {
protected:
    void Start() {
        ::setenv("TILO_FEED_PORT", "0", 1);
        W->AudioSourceFactory = [] { return std::make_unique<TNoInput>(); };
        W->LoadSettingsAndStartAudio();
    }
    void Feed(const std::vector<int16_t>& Samples) {
        const std::size_t perSecond = std::size_t(SampleRate) / ModemBlockSize;
        std::size_t block = 0;
        for (std::size_t at = 0; at + ModemBlockSize <= Samples.size(); at += ModemBlockSize) {
            W->FModem->ProcessBlock(std::span<const int16_t>(Samples.data() + at, ModemBlockSize));
            if (++block % perSecond == 0) W->Decoder.TrackTimerTimer();
        }
    }
    void TearDown() override {
        LexiconCorrection::TearDown();
        ::unsetenv("TILO_FEED_PORT");
    }
    static std::vector<int16_t> Audio(const TSynthCase& C) {
        TSynthOptions o;
        o.Centre = 1200;  // the demodulator's default centre
        o.SnrDb = C.SnrDb;
        o.Seed = C.Seed;
        o.PhasingSeconds = 3.0;
        return SynthesiseNavtex({C.Text, C.Header}, o);
    }
};

const char* const SentText = "GALE WARNING FORCE EIGHT EXPECTED THROUGHOUT SOUTHWESTERN APPROACHES\n"
                             "NAVIGATIONAL HAZARD DERELICT CONTAINER REPORTED DRIFTING SOUTHEASTWARDS\n"
                             "MARINERS ADVISED MAINTAIN VIGILANT LOOKOUT PARTICULARLY NIGHTTIME";

TLines WordsOf(const std::string& Text) {
    TLines words;
    std::string w;
    for (std::size_t i = 0; i <= Text.size(); ++i) {
        if (i < Text.size() && ((Text[i] >= 'A' && Text[i] <= 'Z') || Text[i] == '~')) {
            w += Text[i];
        } else if (!w.empty()) {
            words.push_back(w);
            w.clear();
        }
    }
    return words;
}

TEST_F(LexiconChain, GarbledWordsOfDecodedMessagesAreCorrectedBeforeTheyAreStored) {
    Make({});
    // The lexicon: the words sent and, for each, two of equal length that differ from it
    // in its first or its last letter.
    const TLines sent = WordsOf(SentText);
    std::set<std::string> lexicon(sent.begin(), sent.end());
    for (const std::string& w : sent) {
        std::string first = w, last = w;
        first[0] = first[0] == 'Z' ? 'A' : char(first[0] + 1);
        last.back() = last.back() == 'Z' ? 'A' : char(last.back() + 1);
        lexicon.insert(first);
        lexicon.insert(last);
    }
    AddWords(TLines(lexicon.begin(), lexicon.end()));
    Start();
    // Seeds and SNR (in the audio band) at which the chain leaves whole characters
    // undecoded in these messages, and no character decoded wrongly.
    const TSynthCase cases[] = {{21, -9, "EA01", SentText}, {24, -9, "EA02", SentText},
                                {29, -9, "EA03", SentText}, {35, -9, "EA04", SentText}};
    for (const TSynthCase& c : cases) {
        Feed(Audio(c));
        Feed(std::vector<int16_t>(11025 * 2, 0));
    }
    ASSERT_EQ(Main().Decoded.size(), std::size(cases));
    ASSERT_EQ(Main().Stored.size(), std::size(cases));

    TTableWords scan(*Module->WordTable);
    TLines expectedLog;
    int candidates = 0;
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const std::string& decoded = Main().Decoded[i];
        std::string expected = decoded;
        for (const std::string& c : GarbledCandidates(decoded)) {
            ++candidates;
            const std::string matches = LookupLexicon(c, scan);  // the table scan
            std::string word;
            for (const std::string& w : sent)
                if (WildcardMatch(w, c)) word = w;
            ASSERT_FALSE(word.empty()) << c << " is no garbling of a word sent";
            EXPECT_NE(("|" + matches + "|").find("|" + word + "|"), std::string::npos) << c << ": " << matches;
            if (matches.empty()) continue;
            expected.replace(expected.find(c), c.size(), "[" + matches + "]");
            expectedLog.push_back(c + " corrected to " + matches);
        }
        // Exactly the reported replacements: every other character reaches the store as
        // it was decoded.
        EXPECT_EQ(Main().Stored[i], expected);
        for (const std::string& w : WordsOf(decoded)) {
            if (w.find('~') != std::string::npos) continue;
            EXPECT_NE(Main().Stored[i].find(w), std::string::npos) << w;
        }
    }
    EXPECT_GE(candidates, 3);
    EXPECT_EQ(Corrections(), expectedLog);
}

}  // namespace
