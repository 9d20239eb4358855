// TDataModule1: the receiver's message store. It holds the two databases (the log and
// station file "TILO_DB.ORQ", the lexicon "LEX.ORQ"), the three tables over them and
// their data sources, stores every finished message with the transmitting station
// identified before the post, keeps the do-not-log list, and offers the station
// look-ups, keyword lists, log filters and bulk deletions the pages use.
//
// Split by concern: DataModule.cpp (components, provisioning of a fresh install,
// station look-ups, keywords), DataModuleStore.cpp (the store, identification, the
// queue of messages not yet stored), DataModuleLog.cpp (log filters and deletions).
//
// Rules kept here:
// - The components are made inside the component loading bracket; both databases are
//   stored as connected and open at its end. Before that a missing database file, or a
//   table missing from an existing one, is created with the schema and filled from the
//   default data; an existing file or table is never replaced or changed.
// - Nothing received is lost: a message that cannot be stored now (bulk work running,
//   a table closed, the log table not browsing, an earlier message waiting, or a failed
//   post) is queued in order and written through to "TILO_QUEUE.TXT" in the application
//   folder, then stored at the next chance. The queue file survives the module.
// - Each message is stored once, whatever is killed when: a queue record carries the
//   message's identity (reception time, letter, subject, serial, a hash of its text),
//   and the flush drops a queued message the log already holds, as it does after a
//   run that stored it and died before it could rewrite the queue file.
// - A bulk deletion deletes only records that meet its condition: it stops as soon as
//   the log table's filter is no longer its own.
// - Every station walk disables the station table's controls and puts its current
//   record back on every path.
// One thread, the UI's.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classlib/Classes.h"
#include "classlib/DBCommon.h"
#include "classlib/DateUtils.h"
#include "classlib/Variant.h"

class QListWidget;
class QTimer;

namespace classlib {
class TDataSource;
class TDataSet;
}  // namespace classlib

namespace orq {
class TORQDatabase;
class TORQTable;
}  // namespace orq

namespace tilo {

using TDataModuleTextEvent = std::function<void(const std::string& Text)>;

// The report callback. Reports made before one is installed are dropped, except those
// marked held (what provisioning and the queue file's reading found), which installing
// a callback delivers in order.
class TDataModuleReportHook {
public:
    TDataModuleReportHook& operator=(TDataModuleTextEvent Event);
    TDataModuleReportHook& operator=(std::nullptr_t) { return *this = TDataModuleTextEvent(); }
    explicit operator bool() const { return static_cast<bool>(FEvent); }
    void operator()(const std::string& Text, bool Held = false);
    const std::vector<std::string>& HeldReports() const { return FHeld; }

private:
    TDataModuleTextEvent FEvent;
    std::vector<std::string> FHeld;
};

class TDataModule1 : public classlib::TComponent {
public:
    inline static constexpr const char* LogDatabaseFile = "TILO_DB.ORQ";
    inline static constexpr const char* LexiconDatabaseFile = "LEX.ORQ";
    inline static constexpr const char* QueueFileName = "TILO_QUEUE.TXT";
    inline static constexpr const char* LexiconFileName = "lexicon.txt";
    // How often a waiting queue is tried again, in milliseconds.
    inline static constexpr int32_t QueueRetryInterval = 10000;
    // Where provisioning looks for the default station file and lexicon; empty: the
    // folder of the running program.
    static std::string DefaultDataFolder;

    // Creates the components, provisions and opens both databases (raising what the
    // open raises) and sets DataModule1 and the station helpers' DSStations.
    explicit TDataModule1(classlib::TComponent* AOwner = nullptr);
    ~TDataModule1() override;
    std::string ClassName() const override { return "TDataModule1"; }

    // ---- components ----
    orq::TORQDatabase* ORQDB = nullptr;
    orq::TORQDatabase* LEXDB = nullptr;
    orq::TORQTable* LogTable = nullptr;
    orq::TORQTable* StationTable = nullptr;
    orq::TORQTable* WordTable = nullptr;
    classlib::TDataSource* DsLog = nullptr;
    classlib::TDataSource* DSStations = nullptr;
    classlib::TDataSource* DSWords = nullptr;

    // ---- fields ----
    // The do-not-log list, one station line per item.
    classlib::TStringList FExclusionList;
    TDataModuleReportHook FOnMessage;
    // Called with the station text after an identification by letter.
    TDataModuleTextEvent FOnStationText;
    // Serves the user interface's events in the loops that walk the log or the station
    // table; by default the Qt event loop's, when there is one. Tests replace it.
    std::function<void()> ProcessMessages;

    void DataModuleCreate();

    // ---- the store (DataModuleStore.cpp) ----
    void AddLogRecord(char IdLetter, const std::string& MsgType, classlib::TDateTime UtcTime,
                      const std::string& MsgNumber, const std::string& MsgText, int32_t Freq, int32_t SigQual);
    // DsLog's OnUpdateData: identification before every post of LogTable.
    void DsLogUpdateData(classlib::TPersistent* Sender);
    // True when the record being posted was identified by a unique keyword (and then
    // stored or dropped).
    bool IdentifyByUniqueId();
    void IdentifyByIdLetter();

    // Work that walks the log or station table while serving events: messages arriving
    // meanwhile wait in the queue and are stored at the outermost EndBulkWork. Counted.
    void BeginBulkWork(const std::string& Name);
    void EndBulkWork();
    bool BulkWorkRunning() const { return !FBulkWork.empty(); }
    // Reads the queue file when not yet read, then stores what waits, in order, as far
    // as it can now.
    void FlushQueue();
    int32_t QueuedCount() const { return static_cast<int32_t>(FQueue.size()); }
    // Called by FlushQueue after each message is stored ("stored") and after the queue
    // file no longer holds it ("rewritten"); tests kill the process there.
    std::function<void(const char* Step)> OnFlushStep;
    // The 64-bit FNV-1a hash of a message's text: the queue record's identity of it.
    static uint64_t TextHash(const std::string& Text);
    // The timer that tries a waiting queue again every QueueRetryInterval; running
    // exactly while the queue is not empty (and there is an application).
    QTimer* RetryTimer() const { return FRetryTimer.get(); }

    // ---- station look-ups (DataModule.cpp) ----
    void FindStationsByArea(const std::string& NavArea, const std::string& IdLetter, int32_t Freq, int32_t& Dist,
                            int32_t& Bearing, std::string& Station);
    void FindStationByUniqueId(const std::string& MsgText, std::string& NavArea, std::string& IdLetter, int32_t Freq,
                               int32_t& Dist, std::string& Station);
    void FindStationByIdText(char IdLetter, const std::string& MsgText, int32_t Freq, std::string& Station,
                             int32_t& Dist, std::string& NavArea);
    static bool KeywordsInText(const std::string& Keywords, const std::string& Text);
    void GetStationPosition(const std::string& Text, double& Lat, double& Lon);

    // ---- keyword lists ----
    void GetIdKeywords(const std::string& Freq, const std::string& IdLetter, const std::string& NavArea,
                       const std::string& CallSign, classlib::TStrings& List);
    void GetUniqueKeywords(const std::string& Freq, const std::string& IdLetter, const std::string& NavArea,
                           const std::string& CallSign, classlib::TStrings& List);
    void SetIdKeywords(const std::string& Freq, const std::string& NavArea, const std::string& IdLetter,
                       const std::string& CallSign, const std::string& Keywords);
    void SetUniqueKeywords(const std::string& Freq, const std::string& NavArea, const std::string& IdLetter,
                           const std::string& CallSign, const std::string& Keywords);
    static void JoinKeywords(const classlib::TStrings& List, std::string& Text);
    bool LocateStation(const std::string& Freq, const std::string& IdLetter, const std::string& NavArea,
                       const std::string& CallSign);
    static void FormatStationLine(const std::string& Freq, const std::string& NavArea, const std::string& IdLetter,
                                  const std::string& CallSign, const std::string& Location,
                                  const std::string& CountryCode, std::string& Line);
    // FExclusionList := the texts of List's unchecked items.
    void LoadExclusionList(QListWidget& List);

    // ---- log filters and deletions (DataModuleLog.cpp) ----
    // The log's indexes beside IDX_DT that the filters read: a field the filters fix,
    // then the reception time, so that a range on the fixed value shows its records in
    // IDX_DT's order.
    struct TLogViewIndex {
        const char* Name;
        const char* Fields;
    };
    static constexpr TLogViewIndex LogViewIndexes[] = {
        {"IDX_LETTER", "IDLETTER;UTCRECEIVED"}, {"IDX_AREA", "NAVAREA;UTCRECEIVED"}, {"IDX_FREQ", "FREQ;UTCRECEIVED"}};
    // The filters narrow the log with a range on one of them and then filter within it by
    // their whole condition; ResetLogView puts the log back on IDX_DT without a range,
    // as every other reader of the log expects it.
    void ResetLogView();
    void SetLogFilter(int32_t Freq, const std::string& NavArea, const std::string& IdLetter);
    void SetLogFilterStationPeriod(char IdLetter, int32_t NavArea, classlib::TDateTime From, classlib::TDateTime To,
                                   int32_t Freq);
    void SetLogFilterPeriod(classlib::TDateTime From, classlib::TDateTime To);
    int32_t DeleteIdentifiedBefore(classlib::TDateTime Date);
    int32_t DeleteUnidentified();
    int32_t DeleteCloserThan(const std::string& Distance);
    int32_t DeleteIdentifiedBeforeCloserThan(const std::string& Distance, classlib::TDateTime Date);

    // The date-time text of the fixed formats in filters: "yyyy-MM-dd", then a blank and
    // "hh:mm:ss" unless the time is midnight.
    static std::string FilterDateText(classlib::TDateTime Value);
    // Value in single quotes, a quote inside doubled.
    static std::string QuotedText(const std::string& Value);

    struct TQueuedMessage {
        char IdLetter = '?';
        std::string MsgType;
        classlib::TDateTime UtcTime = 0;
        std::string MsgNumber;
        std::string MsgText;
        int32_t Freq = 0;
        int32_t SigQual = 0;
        // The failure already reported for this message (reported once per error).
        std::string ReportedError;
    };

private:
    // DataModule.cpp
    void CreateComponents();
    void Provision();
    void ProvisionDatabase(const std::string& DatabaseName, const std::string& FileName, bool IsLog);
    // What the open of Db did beyond opening: a repair's outcome, or a file left needing
    // repair (open for reading only: the log's messages wait in the queue).
    void ReportOpen(orq::TORQDatabase& Db, bool IsLog);
    bool FindStationByKey(const std::string& Freq, const std::string& NavArea, const std::string& IdLetter,
                          const std::string& CallSign);
    void GetKeywords(const char* Field, const std::string& Freq, const std::string& IdLetter,
                     const std::string& NavArea, const std::string& CallSign, classlib::TStrings& List);
    void SetKeywords(const char* Field, const std::string& Freq, const std::string& NavArea,
                     const std::string& IdLetter, const std::string& CallSign, const std::string& Keywords);
    void Report(const std::string& Text, bool Held = false) { FOnMessage(Text, Held); }
    void DoProcessMessages();

    // DataModuleStore.cpp
    bool CanStoreNow() const;
    // Appends and posts one message; false (reported, the insert undone) when it failed.
    bool StoreMessage(TQueuedMessage& Message);
    // The log holds this message already: a record from its reception time on (the
    // store moves a time to the next free millisecond) with its subject, serial and
    // text. The letter is left out: identification by a unique keyword replaces it.
    bool AlreadyStored(const TQueuedMessage& Message);
    classlib::TDateTime FirstFreeMillisecond(classlib::TDateTime Time);
    void Enqueue(const TQueuedMessage& Message);
    void WriteQueueFile();
    void ReadQueueFile();
    void UpdateRetryTimer();
    // The exclusion test and the report after an identification.
    void IdentifyEnd(const char* StoredTag);
    bool ExclusionListHolds(const std::string& Line) const;
    std::string MessageText() const;
    void IdentReport(const std::string& Text);

    // DataModuleLog.cpp
    enum class TDeletion { IdentifiedBefore, Unidentified, CloserThan, IdentifiedBeforeCloserThan };
    // The log on view index Name, in the range of its first field equal to Value; false
    // (nothing changed) when the table lacks the index.
    bool NarrowLogView(const char* Name, const classlib::Variant& Value);
    int32_t RunDeletion(TDeletion Kind, const std::string& Filter, classlib::TDateTime Date, int32_t Distance);
    bool RecordMeets(TDeletion Kind, classlib::TDateTime Date, int32_t Distance);

    std::vector<std::string> FBulkWork;
    std::vector<TQueuedMessage> FQueue;
    bool FQueueFileRead = false;
    bool FStoring = false;       // a store runs: post events are its own
    bool FStoringNew = false;    // the post running is a new message's
    bool FFlushing = false;
    const std::string* FNewText = nullptr;  // the text of the new message being posted
    std::vector<std::string> FIdentReports;   // its identification's reports
    const std::string* FEditText = nullptr;  // an edited record's text, read once
    std::unique_ptr<orq::TORQTable> FTimeTable;  // NAVTEXLOG by IDX_DT, never filtered or shown
    std::unique_ptr<QTimer> FRetryTimer;
};

// The data module; set by its constructor, cleared by its destructor.
extern TDataModule1* DataModule1;

// The station text of the record a look-up stands on: CALLSIGN + " " + LOCATION + "," +
// COUNTRYCODE.
std::string StationText(classlib::TDataSet& Stations);

}  // namespace tilo
