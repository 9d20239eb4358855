// The store of finished messages: identification before every post of the log table,
// the do-not-log list, and the queue that keeps each message until it is stored.
#include "app/DataModule.h"

#include <QCoreApplication>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <sstream>

#include "classlib/DB.h"
#include "classlib/NumConv.h"
#include "engine/access/ORQMain.h"

namespace tilo {

using classlib::TDataSet;
using classlib::TDateTime;

namespace {

std::string Text(const TDataSet& T, const char* Field) { return T.FieldByName(Field)->AsString(); }

std::string Serial(const TDataModule1::TQueuedMessage& M) { return std::string(1, M.IdLetter) + M.MsgType + M.MsgNumber; }

// "message " + IDLETTER + MSGTYPE + MSGNUMBER + "/" + NAVAREA + "/" + STATION of the
// record being posted.
std::string RecordHead(const TDataSet& L) {
    return "message " + Text(L, "IDLETTER") + Text(L, "MSGTYPE") + Text(L, "MSGNUMBER") + "/" + Text(L, "NAVAREA") +
           "/" + Text(L, "STATION");
}

// Sets a flag for a scope and puts its previous value back on every path.
class TFlagScope {
public:
    explicit TFlagScope(bool& Flag) : FFlag(Flag), FBefore(Flag) { FFlag = true; }
    ~TFlagScope() { FFlag = FBefore; }
    TFlagScope(const TFlagScope&) = delete;
    TFlagScope& operator=(const TFlagScope&) = delete;

private:
    bool& FFlag;
    bool FBefore;
};

std::string SystemText(int Error) { return std::strerror(Error); }

// Writes Data to Name through a temporary file that is synced and renamed over it, and
// syncs the folder: after a crash the file is the old queue or the new one, whole.
bool WriteFileAtomically(const std::string& Name, const std::string& Data, std::string& Error) {
    const std::string temp = Name + ".tmp";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        Error = SystemText(errno);
        return false;
    }
    size_t done = 0;
    while (done < Data.size()) {
        const ssize_t n = ::write(fd, Data.data() + done, Data.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            Error = SystemText(errno);
            ::close(fd);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd) != 0) {
        Error = SystemText(errno);
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }
    ::close(fd);
    if (::rename(temp.c_str(), Name.c_str()) != 0) {
        Error = SystemText(errno);
        ::unlink(temp.c_str());
        return false;
    }
    const int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

bool ParseInt(const std::string& S, int64_t& V) {
    if (S.empty()) return false;
    size_t i = S[0] == '-' ? 1 : 0;
    if (i == S.size()) return false;
    for (size_t k = i; k < S.size(); ++k)
        if (S[k] < '0' || S[k] > '9') return false;
    return classlib::TryStrToInt64(S, V);
}

std::string Hex16(uint64_t V) {
    static const char Digits[] = "0123456789abcdef";
    std::string out(16, '0');
    for (int i = 15; i >= 0; --i, V >>= 4) out[size_t(i)] = Digits[V & 15];
    return out;
}

// One message of the queue file: "MSG2#" letter "#" subject "#" serial "#" time "#"
// frequency "#" quality "#" length "#" text hash (16 hexadecimal digits) "#" CR LF, the
// text, CR LF. Files of earlier runs hold "MSG#" records without the hash; their
// identity is taken from the text itself. The letter is one character; the fields
// after the serial hold no "#", so they are split from the end.
bool ParseQueuedMessage(const std::string& Data, size_t& Pos, TDataModule1::TQueuedMessage& M, std::string& Why) {
    const size_t eol = Data.find("\r\n", Pos);
    const bool withHash = Data.compare(Pos, 5, "MSG2#") == 0;
    const size_t letter = Pos + (withHash ? 5 : 4);
    if (eol == std::string::npos || (!withHash && Data.compare(Pos, 4, "MSG#") != 0) || eol < letter + 2 ||
        Data[letter + 1] != '#') {
        Why = "no message header at byte " + std::to_string(Pos);
        return false;
    }
    M.IdLetter = Data[letter];
    std::string rest = Data.substr(letter + 2, eol - letter - 2);
    if (rest.empty() || rest.back() != '#') {
        Why = "header not ended by '#' at byte " + std::to_string(Pos);
        return false;
    }
    rest.pop_back();
    std::string textHash;
    if (withHash) {
        const size_t at = rest.rfind('#');
        if (at == std::string::npos || rest.size() - at - 1 != 16) {
            Why = "text hash missing at byte " + std::to_string(Pos);
            return false;
        }
        textHash = rest.substr(at + 1);
        rest.resize(at);
    }
    std::string tail[4];  // length, quality, frequency, time
    for (std::string& t : tail) {
        const size_t hash = rest.rfind('#');
        if (hash == std::string::npos) {
            Why = "header fields missing at byte " + std::to_string(Pos);
            return false;
        }
        t = rest.substr(hash + 1);
        rest.resize(hash);
    }
    const size_t hash = rest.find('#');
    if (hash == std::string::npos) {
        Why = "serial missing at byte " + std::to_string(Pos);
        return false;
    }
    M.MsgType = rest.substr(0, hash);
    M.MsgNumber = rest.substr(hash + 1);
    int64_t length = 0, quality = 0, freq = 0;
    if (!ParseInt(tail[0], length) || length < 0 || !ParseInt(tail[1], quality) || !ParseInt(tail[2], freq) ||
        !classlib::TryStrToDateTime(tail[3], M.UtcTime)) {
        Why = "header values not readable at byte " + std::to_string(Pos);
        return false;
    }
    M.SigQual = static_cast<int32_t>(quality);
    M.Freq = static_cast<int32_t>(freq);
    const size_t text = eol + 2;
    if (Data.size() < text + static_cast<size_t>(length) + 2 ||
        Data.compare(text + static_cast<size_t>(length), 2, "\r\n") != 0) {
        Why = "text of message at byte " + std::to_string(Pos) + " cut short";
        return false;
    }
    M.MsgText = Data.substr(text, static_cast<size_t>(length));
    if (withHash && Hex16(TDataModule1::TextHash(M.MsgText)) != textHash) {
        Why = "text of message at byte " + std::to_string(Pos) + " does not match its hash";
        return false;
    }
    Pos = text + static_cast<size_t>(length) + 2;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------
// The store

bool TDataModule1::CanStoreNow() const {
    return !FStoring && !BulkWorkRunning() && LogTable != nullptr && LogTable->Active() && StationTable->Active() &&
           LogTable->State() == classlib::dsBrowse;
}

void TDataModule1::AddLogRecord(char IdLetter, const std::string& MsgType, classlib::TDateTime UtcTime,
                                const std::string& MsgNumber, const std::string& MsgText, int32_t Freq,
                                int32_t SigQual) {
    TQueuedMessage m;
    m.IdLetter = IdLetter;
    m.MsgType = MsgType;
    m.UtcTime = UtcTime;
    m.MsgNumber = MsgNumber;
    m.MsgText = MsgText;
    m.Freq = Freq;
    m.SigQual = SigQual;
    // A message's lines begin with the reception date-time and "> ": the time of its
    // first line is the reception time.
    if (MsgText.size() > 20) {
        TDateTime t = 0;
        if (classlib::TryStrToDateTime(MsgText.substr(0, MsgText.find('>')), t))
            m.UtcTime = t;
        else
            Report("message " + Serial(m) + ": reception time not readable, stored with the decoder's time");
    }
    if (!FQueueFileRead) ReadQueueFile();
    if (!FQueue.empty() || !CanStoreNow()) {
        Enqueue(m);
        FlushQueue();
        return;
    }
    if (!StoreMessage(m)) Enqueue(m);
}

TDateTime TDataModule1::FirstFreeMillisecond(TDateTime Time) {
    int64_t ms = std::llround(Time * classlib::MSecsPerDay);
    if (!FTimeTable->Active()) FTimeTable->Open();
    while (FTimeTable->FindKey({classlib::Variant::FromDate(static_cast<double>(ms) / classlib::MSecsPerDay)})) ++ms;
    return static_cast<double>(ms) / classlib::MSecsPerDay;
}

bool TDataModule1::StoreMessage(TQueuedMessage& M) {
    TFlagScope storing(FStoring);
    TDataSet& L = *LogTable;
    int32_t recNo = -1;
    try {
        recNo = L.RecNo();
        const TDateTime time = FirstFreeMillisecond(M.UtcTime);
        TFlagScope fresh(FStoringNew);
        FNewText = &M.MsgText;
        FIdentReports.clear();
        L.Append();
        L.FieldByName("UTCRECEIVED")->SetAsDateTime(time);
        L.FieldByName("SIGQUAL")->SetAsFloat(M.SigQual);
        L.FieldByName("FREQ")->SetAsInteger(M.Freq);
        L.FieldByName("IDLETTER")->SetAsString(std::string(1, M.IdLetter));
        L.FieldByName("MSGTYPE")->SetAsString(M.MsgType);
        L.FieldByName("MSGNUMBER")->SetAsString(M.MsgNumber);
        L.FieldByName("STATION")->SetAsString("UNID");
        L.FieldByName("NAVAREA")->SetAsString("0");
        L.FieldByName("MSGTEXT")->SetAsString(M.MsgText);
        L.Post();
        FNewText = nullptr;
    } catch (const std::exception& e) {
        FNewText = nullptr;
        FIdentReports.clear();
        const std::string error = e.what();
        // The insert is undone; a dataset the failure left in another state is opened
        // afresh.
        try {
            if (L.State() == classlib::dsInsert || L.State() == classlib::dsEdit) L.Cancel();
        } catch (...) {
        }
        if (L.State() != classlib::dsBrowse) {
            try {
                L.Close();
                L.Open();
            } catch (...) {
            }
        }
        if (M.ReportedError != error) {
            M.ReportedError = error;
            Report("message " + Serial(M) + " NOT stored, kept for retry: " + error);
        }
        return false;
    }
    std::vector<std::string> reports;
    reports.swap(FIdentReports);
    for (const std::string& r : reports) Report(r);
    try {
        if (recNo > 0) L.SetRecNo(recNo);
    } catch (...) {
        // The message is stored; only the grid's position is lost.
    }
    return true;
}

// ---------------------------------------------------------------------------------
// Identification

void TDataModule1::DsLogUpdateData(classlib::TPersistent* /*Sender*/) {
    TDataSet& L = *LogTable;
    // An edited record's text is read once for the identification, and written again as
    // the last change before the post, so the post stores that text whatever was read.
    std::string text;
    bool rewrite = false;
    if (FNewText == nullptr) {
        try {
            text = Text(L, "MSGTEXT");
            rewrite = true;
        } catch (...) {
        }
    }
    const std::string* before = FEditText;
    FEditText = rewrite ? &text : nullptr;
    StationTable->DisableControls();
    try {
        if (!IdentifyByUniqueId()) IdentifyByIdLetter();
    } catch (...) {
        FEditText = before;
        StationTable->EnableControls();
        throw;
    }
    FEditText = before;
    StationTable->EnableControls();
    if (rewrite && (L.State() == classlib::dsEdit || L.State() == classlib::dsInsert))
        L.FieldByName("MSGTEXT")->SetAsString(text);
}

// A new message's identification is reported once its post is through: a post that
// fails and is retried reports nothing twice and nothing it did not do.
void TDataModule1::IdentReport(const std::string& Text) {
    if (FNewText != nullptr)
        FIdentReports.push_back(Text);
    else
        Report(Text);
}

// The text of the record being posted. A new message's is the one it brought, with no
// read of the memo being filled.
std::string TDataModule1::MessageText() const {
    if (FNewText != nullptr) return *FNewText;
    if (FEditText != nullptr) return *FEditText;
    return Text(*LogTable, "MSGTEXT");
}

bool TDataModule1::ExclusionListHolds(const std::string& Line) const {
    return FExclusionList.Text().find(Line) != std::string::npos;
}

void TDataModule1::IdentifyEnd(const char* StoredTag) {
    TDataSet& L = *LogTable;
    const std::string line = Text(L, "FREQ") + " " + Text(L, "NAVAREA") + Text(L, "IDLETTER") + " " + Text(L, "STATION");
    const std::string head = RecordHead(L);
    if (!ExclusionListHolds(line)) {
        IdentReport(head + " STORED " + StoredTag);
        return;
    }
    if (L.State() == classlib::dsInsert) {
        IdentReport(head + " on exclusion list, DELETED");
        L.Delete();  // an insert is cancelled: nothing is stored
    } else {
        // Only new messages are dropped; an operator's edit is kept.
        IdentReport(head + " on exclusion list, edited record kept");
    }
}

bool TDataModule1::IdentifyByUniqueId() {
    TDataSet& L = *LogTable;
    try {
        std::string navArea, letter, station;
        int32_t dist = -1;
        FindStationByUniqueId(MessageText(), navArea, letter, L.FieldByName("FREQ")->AsInteger(), dist, station);
        if (station == "UNID") return false;
        L.FieldByName("STATION")->SetAsString(station);
        L.FieldByName("IDLETTER")->SetAsString(letter);
        L.FieldByName("NAVAREA")->SetAsString(navArea);
        L.FieldByName("DIST")->SetAsInteger(dist);
    } catch (...) {
        return false;
    }
    IdentifyEnd("(UID)");
    return true;
}

void TDataModule1::IdentifyByIdLetter() {
    TDataSet& L = *LogTable;
    try {
        const std::string letter = Text(L, "IDLETTER");
        if (letter.size() != 1 || letter[0] < 'A' || letter[0] > 'Z') {
            L.FieldByName("STATION")->SetAsString("UNID");
            L.FieldByName("NAVAREA")->SetAsInteger(0);
            L.FieldByName("DIST")->SetAsInteger(0);
            IdentReport(" no valid ID-char for " + letter + Text(L, "MSGTYPE") + Text(L, "MSGNUMBER") + "/" +
                   Text(L, "NAVAREA") + ", message stored. (GID)");
            return;
        }
        const int32_t freq = L.FieldByName("FREQ")->AsInteger();
        std::string station;
        int32_t dist = 0;
        if (L.FieldByName("NAVAREA")->AsInteger() != 0) {
            int32_t bearing = 0;
            FindStationsByArea(Text(L, "NAVAREA"), letter, freq, dist, bearing, station);
        } else {
            std::string navArea;
            FindStationByIdText(letter[0], MessageText(), freq, station, dist, navArea);
            L.FieldByName("NAVAREA")->SetAsString(navArea);
        }
        if (station != "UNID") {
            L.FieldByName("STATION")->SetAsString(station);
            L.FieldByName("DIST")->SetAsInteger(dist);
            if (FOnStationText) FOnStationText(station);
            IdentifyEnd("(GID)");
        } else {
            L.FieldByName("STATION")->SetAsString("UNID");
            L.FieldByName("DIST")->SetAsInteger(0);
            IdentReport("message " + letter + Text(L, "MSGTYPE") + Text(L, "MSGNUMBER") + "/" + Text(L, "STATION") +
                   " stored, station could not be identified. (GID)");
        }
    } catch (...) {
        // The record is posted as far as it was filled.
    }
}

// ---------------------------------------------------------------------------------
// Bulk work and the queue

void TDataModule1::BeginBulkWork(const std::string& Name) { FBulkWork.push_back(Name); }

void TDataModule1::EndBulkWork() {
    if (FBulkWork.empty()) return;
    FBulkWork.pop_back();
    if (FBulkWork.empty()) FlushQueue();
}

void TDataModule1::Enqueue(const TQueuedMessage& Message) {
    if (!FQueueFileRead) ReadQueueFile();
    FQueue.push_back(Message);
    WriteQueueFile();
    UpdateRetryTimer();
}

uint64_t TDataModule1::TextHash(const std::string& Text) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (unsigned char c : Text) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    return h;
}

bool TDataModule1::AlreadyStored(const TQueuedMessage& M) {
    if (!FTimeTable->Active()) FTimeTable->Open();
    const uint64_t hash = TextHash(M.MsgText);
    for (int64_t ms = std::llround(M.UtcTime * classlib::MSecsPerDay);
         FTimeTable->FindKey({classlib::Variant::FromDate(static_cast<double>(ms) / classlib::MSecsPerDay)}); ++ms) {
        const TDataSet& t = *FTimeTable;
        if (Text(t, "MSGTYPE") == M.MsgType && Text(t, "MSGNUMBER") == M.MsgNumber &&
            TextHash(Text(t, "MSGTEXT")) == hash)
            return true;
    }
    return false;
}

void TDataModule1::FlushQueue() {
    if (FFlushing || FStoring) return;
    TFlagScope flushing(FFlushing);
    if (!FQueueFileRead) ReadQueueFile();
    while (!FQueue.empty() && CanStoreNow()) {
        TQueuedMessage& m = FQueue.front();
        bool stored = false;
        try {
            stored = AlreadyStored(m);
        } catch (...) {
            // Not known to be there: the store below decides, as it did before.
        }
        if (stored) {
            Report("message " + Serial(m) + " of " + classlib::FormatDateTime("yyyy-mm-dd hh:nn:ss", m.UtcTime) +
                   " is in the log already, not stored again");
        } else if (!StoreMessage(m)) {
            WriteQueueFile();  // keeps the file as the queue
            break;
        }
        if (OnFlushStep) OnFlushStep("stored");
        FQueue.erase(FQueue.begin());
        WriteQueueFile();
        if (OnFlushStep) OnFlushStep("rewritten");
    }
    UpdateRetryTimer();
}

void TDataModule1::UpdateRetryTimer() {
    if (!FRetryTimer) return;
    if (FQueue.empty()) {
        FRetryTimer->stop();
    } else if (!FRetryTimer->isActive() && QCoreApplication::instance() != nullptr) {
        FRetryTimer->start();
    }
}

void TDataModule1::WriteQueueFile() {
    if (FQueue.empty()) {
        if (::unlink(QueueFileName) != 0 && errno != ENOENT)
            Report(std::string("queue file ") + QueueFileName + " not deleted: " + SystemText(errno));
        return;
    }
    std::string data;
    for (const TQueuedMessage& m : FQueue) {
        data += "MSG2#" + std::string(1, m.IdLetter) + "#" + m.MsgType + "#" + m.MsgNumber + "#" +
                classlib::FormatDateTime("yyyy-mm-dd hh:nn:ss.zzz", m.UtcTime) + "#" + std::to_string(m.Freq) +
                "#" + std::to_string(m.SigQual) + "#" + std::to_string(m.MsgText.size()) + "#" +
                Hex16(TextHash(m.MsgText)) + "#\r\n";
        data += m.MsgText;
        data += "\r\n";
    }
    std::string error;
    if (!WriteFileAtomically(QueueFileName, data, error))
        Report(std::string("queue file ") + QueueFileName + " not written: " + error);
}

void TDataModule1::ReadQueueFile() {
    FQueueFileRead = true;
    std::ifstream in(QueueFileName, std::ios::binary);
    if (!in) return;
    std::ostringstream buffer;
    buffer << in.rdbuf();
    in.close();
    const std::string data = buffer.str();
    std::vector<TQueuedMessage> read;
    std::string why;
    size_t pos = 0;
    bool ok = true;
    while (pos < data.size()) {
        TQueuedMessage m;
        if (!ParseQueuedMessage(data, pos, m, why)) {
            ok = false;
            break;
        }
        read.push_back(std::move(m));
    }
    if (!ok) {
        // Kept for the operator to look at, never deleted.
        std::string bad = std::string(QueueFileName) + ".bad";
        for (int n = 2; ::access(bad.c_str(), F_OK) == 0; ++n) bad = std::string(QueueFileName) + ".bad." + std::to_string(n);
        if (::rename(QueueFileName, bad.c_str()) == 0)
            Report(std::string("queue file ") + QueueFileName + " not readable (" + why + "), renamed " + bad, true);
        else
            Report(std::string("queue file ") + QueueFileName + " not readable (" + why + ") and not renamed: " +
                       SystemText(errno),
                   true);
        return;
    }
    if (read.empty()) return;
    Report(std::to_string(read.size()) + " messages waiting in " + QueueFileName + " from an earlier run", true);
    FQueue.insert(FQueue.begin(), read.begin(), read.end());
}

}  // namespace tilo
