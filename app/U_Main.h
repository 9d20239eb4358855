// TfrmMain: the receiver's main window. It owns its controls, its timers, the feed's
// server socket and the decoder, and is the decoder's host: every line the decoder,
// the sound input and the data module report arrives at SysLog, and every record of
// the TCP feed leaves through BroadcastToClients.
//
// The class is split by concern across files: U_Main.cpp (controls, the decoder's
// host), U_MainSysLog.cpp (system log, ticker, clock, sun and schedule timers, the
// application events), U_MainFeed.cpp (TCP feed), U_MainSchedule.cpp (schedule page
// and NAVAREA preferences). Start-up and the other pages extend this class.
//
// The constructor builds the controls in their design state: timers stopped except
// the sun and schedule timers, the ticker timer left for start-up, the server
// inactive, all NAVAREA boxes checked, "Show Bearings" unchecked, 518 kHz selected.
// All of it runs on the UI thread.
#pragma once

#include <QCheckBox>
#include <QList>
#include <QPointF>
#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "app/ServerSocket.h"
#include "decoder/DecoderHost.h"
#include "decoder/NavtexDecoder.h"
#include "app/Displays.h"
#include "app/ChSpectrum.h"  // ChSpectrum is also a QChartView to its readers
#include "app/ReceptionStatistics.h"

class QChartView;
class QComboBox;
class QDateTimeEdit;
class QEvent;
class QGroupBox;
class QImage;
class QLineEdit;
class QListWidget;
class QSlider;
class QSplitter;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTimer;

namespace tilo {

class TAnalogGauge;
class TAudioPump;
class TDataModule1;
class TDBGrid;
class TDBMemo;
class TDBNavigator;
class TFrmAbout;
class TLed;
class TModem;
class TPaintImage;
class TWaveIn;
class TAudioSource;
class TLexicon;
class IAtlas;

}  // namespace tilo

namespace classlib {
class TDataSet;
class TDataLink;
class TDataSource;
}
namespace orq {
class TORQDatabase;
}

namespace tilo {

// A NAVAREA preference box; Tag is its NAVAREA number.
class TNavareaCheckBox;

// Runs Work on a thread of its own while this thread's event loop goes on turning, with
// Poll (when given) called on this thread every 10 ms; Work's failure is raised here.
// The caller keeps everything else of the program away from what Work touches.
void RunBesideTheLoop(const std::function<void()>& Work, const std::function<void()>& Poll = {});
// Compacts Database (closed) so, with the wait window fed from the compaction's steps
// and its Abort obeyed (U_MainLog.cpp).
void CompactBesideTheLoop(orq::TORQDatabase& Database);

class TfrmMain : public QMainWindow, public TDecoderHost {
    Q_OBJECT

public:
    explicit TfrmMain(QWidget* Parent = nullptr);
    ~TfrmMain() override;

    // ---- the window's size ----
    // Pages taller than their page control scroll, so the window's minimum fits a
    // small laptop screen. WholePagesSize: the least size at which no page scrolls.
    // DefaultSize: the size the window is made with, as it opened on desktop screens
    // before (1220 x 1000), or the whole-pages size when that is larger.
    QSize WholePagesSize() const;
    QSize DefaultSize() const;
    // Sizes the window for the screen area Available (what the panels leave): the
    // default size where it fits with the window's frame, else maximised.
    void FitToScreen(const QRect& Available);

    // ---- controls ----
    QTabWidget* PageControl1;
    QWidget* tsSysLog;        // "System Log"
    QPlainTextEdit* meSysLog;
    QPlainTextEdit* meLog;    // the current message
    TTickerEdit* edtTicker;
    TClickLabel* stUTC;
    QLabel* stSunRise;
    QLabel* stSunSet;
    TClickStatusBar* Sbar;
    TRadioGroup* rgFreq;      // "518", "490"
    QTimer* TSunTimer;        // 5000 ms, enabled
    QTimer* SchedTimer;       // 30000 ms, enabled
    QTimer* TickerTimer;      // 120 ms, enabled by start-up
    TServerSocket* ServSock;  // port 50123, inactive
    QWidget* tsSchedule;      // "NAVTEX Schedule"
    TStringGrid* sgSched;
    QGroupBox* gbNavareas;
    std::vector<TNavareaCheckBox*> NavareaBoxes;  // NAVAREA 1 .. 21, in that order
    QPushButton* sbApplyNavarea;
    QCheckBox* cbShowBearing;
    QPushButton* btnOnAirNow;
    // The two data grids whose wheel turns become arrow keys; the log and station
    // pages set them.
    QWidget* DBLogGrid = nullptr;
    QWidget* DBStationGrd = nullptr;
    TLed* LedSync;
    TLed* LedCharin;
    TLed* ledCanTune;

    TNavtexDecoder Decoder;
    std::set<int32_t> FSelectedNavAreas;
    bool FClockLocal = false;  // stUTC shows local time

    // The UTC clock as a date-time; tests replace it.
    std::function<double()> ClockSource;
    // The receiver's time. While a recording (a file source) plays, the clock runs on its
    // audio: the wall time its first buffer arrived plus the samples delivered since, and
    // the once-a-second work (tracking request, clock, CPU gauge) runs once per second of
    // those samples, so a replay as fast as possible decodes, tracks and stores what one
    // in real time does. Otherwise the wall clock and the 1000 ms timers; after a
    // recording that ran ahead of the wall clock, time goes on from where it ended.
    bool AudioClockRuns() const;
    double WallUtcClock() const;

    // ---- system log, ticker, clock and timers ----
    void SysLog(const std::string& Msg) override;
    void DatabaseMessage(const std::string& Text);
    void StationTextHook(const std::string& Text);
    // Adds one line to the system-log memo as it is (the feed's own lines); a memo that
    // holds more than 5000 lines is emptied first.
    void meSysLogAdd(const std::string& Line);
    int32_t meSysLogLineCount() const;
    std::string meSysLogLine(int32_t Index) const;
    void stUTCClick();
    void SunTimerTimer();
    void SchedTimerTimer() override;
    void SbarClick();
    void TickerTimerTimer();
    void edtTickerDblClick();
    // The application events: the wheel translation (true: consumed) and the
    // exception logger.
    bool AppEvntMessage(QObject* Receiver, QEvent* Event);
    void AppEvntException(const std::string& Sender, const std::exception* E);

    // ---- TCP feed ----
    void BroadcastToClients(const std::string& Text) override;
    void ServSockListen(TServerSocket* Sender);
    void ServSockListenError(TServerSocket* Sender, const std::string& Reason);
    void ServSockClientConnect(TServerSocket* Sender, TClientSocket* Socket);
    void ServSockClientDisconnect(TServerSocket* Sender, TClientSocket* Socket);
    void ServSockClientError(TServerSocket* Sender, TClientSocket* Socket, int32_t& ErrorCode);

    // ---- schedule page and NAVAREA preferences ----
    void ApplyNavareaString(const std::string& Text);
    std::string NavareaString() const;
    void SaveNavareas(const std::string& Text);
    void FillScheduleGrid(TStringGrid& Grid, int32_t Frequency, bool ShowBearings);
    void PutScheduleCell(int32_t Col, const std::string& Text);
    void BuildScheduleGrid(bool ShowBearings);
    void sbApplyNavareaClick() override;
    void cbShowBearingClick();
    void btnOnAirNowClick();

    // ---- the decoder's host ----
    void AddLogRecord(char IdLetter, const std::string& MsgType, double UtcTime, const std::string& MsgNumber,
                      const std::string& MsgText, int32_t Freq, int32_t SigQual) override;
    void CorrectGarbledWords() override;
    void meLogAdd(const std::string& Line) override;
    void meLogClear() override;
    std::string meLogText() const override;
    void SetLedStatus(TDecoderLed Led, bool Status) override;
    void SetLedFlash(TDecoderLed Led, bool Flash) override;
    bool cbUOS() const override;
    bool cbMinUNIDLen() const override;
    int32_t FMinUnidLen() const override;
    std::string rgFreqText() const override;
    int32_t RadioGroup1ItemIndex() const override;
    void SetModemPolarity(uint8_t Polarity) override;
    double UtcClock() const override;
    void SetClockText(const std::string& Text) override;
    bool ClockLocal() const override { return FClockLocal; }

    // ---- the frame, start-up and shutdown (U_MainStartup.cpp) ----
    QTabWidget* PageControl2;   // "Waterfall", "Message"
    QSplitter* splPages;        // PageControl1 over PageControl2
    // The lower pane's height (PageControl2's), kept in the settings between runs.
    int32_t PaneHeight() const;
    void SetPaneHeight(int32_t Pixels);
    QWidget* tsSpectrum;        // PageControl1's pages, in their order
    QWidget* tsMessages;
    QWidget* tsCalibration;
    QWidget* tsOptions;
    QWidget* tsDatabase;
    QWidget* tsStations;
    QWidget* tsEphemeris;
    QWidget* tsReport;
    QWidget* tsStatistics;
    QWidget* tsWaterfall;       // PageControl2's pages
    QWidget* tsMessage;
    QCheckBox* cbUOSBox;        // form name cbUOS ("UoS")
    TRadioGroup* RadioGroup1;   // "SIGNAL POLARITY"
    QPushButton* sbForceResync;
    TAnalogGauge* Gaugelvl;
    TAnalogGauge* ErrGauge;
    TAnalogGauge* GaugeCPU;
    TClickLabel* Image1;        // a click shows the about box
    TSpectrumChart* ChSpectrum; // bottom axis 0 .. rate / 4
    QChartView* chHist;         // bottom axis: one hour of UTC date-times
    TPaintImage* pbWfall;
    QImage* FWaterfallBitmap = nullptr;  // as large as pbWfall, 24 bits, black
    TPaintImage* imScope;
    QLineEdit* edtRXLat;
    QLineEdit* edtRXLon;
    QLineEdit* edtMinUNIDLen;
    QCheckBox* cbMinUNIDLenBox;  // form name cbMinUNIDLen
    QCheckBox* cbConfirmDelete;
    QListWidget* cbAllStations;  // check list of the station lines; unchecked: not logged
    QPlainTextEdit* mePersonalInfo;
    TRadioGroup* rgSampRate;     // "11025", "12000"
    QLabel* lbCorFac;
    QSlider* tbCorFac;
    QListWidget* lbAllStations;
    QDateTimeEdit* DtpEphem;
    QDateTimeEdit* dtpAtlas;     // the map report's date
    TDBGrid* DBLogGridView;      // DBLogGrid above points here
    TDBMemo* DBMemo1;
    TDBNavigator* DBNavigator1;
    QLabel* lblRecCount;
    QComboBox* cbNav;
    QDateTimeEdit* DTPCleanup;
    QComboBox* cbNavStat;
    QDateTimeEdit* DtpStart;
    QDateTimeEdit* DtpEnd;
    TDBGrid* DBStationGridView;  // DBStationGrd above points here
    QTimer* Timer1;              // 1000 ms, running from construction
    QTimer* TrackTimer;          // 1000 ms, running from construction
    QTimer* TimOpenDB;           // 1000 ms, enabled by FormShow, acts once

    bool FIsVistaOrLater = true;
    std::unique_ptr<TModem> FModem;
    std::unique_ptr<TWaveIn> FWaveIn;
    std::unique_ptr<TAudioPump> FAudioWindow;  // runs FWaveIn on the event loop
    TFrmAbout* FrmAbout = nullptr;             // shown by Image1; owned by the program
    // The message store: null until the data module exists. Every call start-up and
    // shutdown make on it goes through the DataModule* members (U_MainData.cpp).
    TDataModule1* DataModule1 = nullptr;
    // The sound input LoadSettingsAndStartAudio opens; tests replace it.
    std::function<std::unique_ptr<TAudioSource>()> AudioSourceFactory;
    // The feed's port: 50123, or TILO_FEED_PORT when set.
    uint16_t FeedPort() const;

    void FormCreate();
    void FormActivate();
    void FormShow();
    void TimOpenDBTimer();
    void LoadSettingsAndStartAudio();
    void WaveInBuffer(const int16_t* Samples, int32_t Count);
    void WaveInLogMessage(const std::string& Text);
    // A failure or warning of the sound input: also on standard error, where a receiver
    // without a screen is watched.
    void WaveInProblem(const std::string& Text);
    // The recording ended: the decoder finishes the line its last samples began.
    void WaveInEnd();
    // The close question and shutdown. Ask false: the steps after the question (a
    // signal, a logout); they run once, a second call answers true and does nothing.
    bool FormCloseQuery(bool Ask = true);
    bool ShutdownDone() const { return FShutdownDone; }
    void ReleaseMapLink();
    void cbNavStatChange();
    void Image1Click();
    void ModemScopeData(const std::vector<double>& RawSound, const std::vector<double>& F1,
                        const std::vector<double>& F2, const std::vector<double>& MarkLP,
                        const std::vector<double>& SpaceLP);
    void ModemPllPhase(double PhErr);
    void SetGaugePosition(TDecoderGauge Gauge, float Position) override;
    void SetGaugeCaption(TDecoderGauge Gauge, const std::string& Caption) override;

    // The data module's seam: each does nothing but report while DataModule1 is null.
    bool DataModuleOpenTables();  // steps 2 to 7 of TimOpenDBTimer; false: none ran
    void DataModuleLoadExclusionList();
    void DataModuleAddLogRecord(char IdLetter, const std::string& MsgType, double UtcTime,
                                const std::string& MsgNumber, const std::string& MsgText, int32_t Freq,
                                int32_t SigQual);
    void DataModuleCloseTables();

    // ---- spectrum, waterfall, scope and tuning (U_MainSpectrum.cpp) ----
    QCheckBox* cbTrackBox;       // form name cbTrack ("ON")
    QSlider* TBSNR;              // calibration offset of the quality gauge, -50 .. 50
    QCheckBox* cbFreezeBox;
    QCheckBox* cbWFallDumpBox;      // "DUMP periodically"
    QSlider* tbwfallspeed;       // 1 .. 60
    TRadioGroup* rgScopeSel;     // "OFF", "RAW", "FIR", "ENV", "BITS"
    TRadioGroup* rgScopeScale;   // "X 1", "X 2", "X 4"
    QCheckBox* cbOneShotBox;
    QPushButton* sbLinLog;       // down: logarithmic axis ("LOG"), up "LIN"
    QPushButton* sbFilRaw;       // down: the block's own spectrum ("RAW"), up "FIL"
    bool FTuningDrag = false;
    TWaterfallState FWaterfall;
    // The local clock as a date-time; tests replace it.
    std::function<double()> LocalClockSource;
    double LocalNow() const;

    void BuildSpectrumPage();
    void BuildWaterfallPage();
    void ChSpectrumBeforeDrawAxes(QPainter& Canvas);
    void ChSpectrumAfterDraw(QPainter& Canvas);
    void ChSpectrumMouseDown(QMouseEvent& Event);
    void ChSpectrumMouseMove(QMouseEvent& Event);
    void ChSpectrumMouseUp(QMouseEvent& Event);
    void DumpWaterfallJpeg();

    int32_t TBSNRPosition() const override;
    void DrawWaterfallLine(const TSpectrum& S, int32_t Centre, int32_t Speed, bool Dump) override;
    void RepaintWaterfall() override;
    bool cbFreeze() const override;
    bool cbWFallDump() const override;
    int32_t tbwfallspeedPosition() const override;
    int32_t tbwfallspeedMax() const override;
    bool SpectrumPageShown() const override;
    bool sbFilRawDown() const override;
    void SetSpectrumSeries(const TSpectrum& S) override;
    void ResetHistoryChart(double AxisMin, double AxisMax) override;
    void AddHistoryPoint(double Time, double Value) override;
    bool cbTrack() const override;
    int32_t rgScopeSelItemIndex() const override;
    void SetScopeSelection(int32_t Index) override;
    int32_t rgScopeScaleItemIndex() const override;
    bool cbOneShot() const override;
    void DrawScope(const std::vector<double>& Trace, int32_t Scale) override;

    // ---- the displays' frame (U_MainSpectrum.cpp) ----
    // The block handler's display values wait here, the latest kept (the waterfall keeps
    // every line, the quality history every point), and are drawn on one frame timer at
    // the screen's pace, only into displays that can be seen: a page not shown or a
    // minimised window costs the copy of the values and nothing else. The decoder is fed
    // every block all the same; what a display shows once drawn is what drawing every
    // block would have shown.
    static constexpr int32_t KFrameMs = 25;
    QTimer* FrameTimer = nullptr;  // single shot, started by the first value waiting
    TWaterfallRing FWaterfallRing;
    // Draws what waits into the displays that are shown.
    void DisplayFrame();
    // The waterfall as drawn so far, in FWaterfallBitmap (newest line on top).
    const QImage& WaterfallBitmap();
    // Whether W can be seen now: shown, on the page shown, the window not minimised.
    bool DisplayShown(const QWidget* W) const;
    // Drawings each display got from the frame: spectrum, waterfall, scope, quality
    // history, the level and quality gauges.
    struct TDisplayDraws {
        int32_t Spectrum = 0, Waterfall = 0, Scope = 0, History = 0, Gauges = 0;
    } DisplayDraws;

    // ---- options, calibration and audio controls (U_MainOptions.cpp) ----
    QCheckBox* cbEnableCalib;    // "Enable Sound Card Calibration"
    QGroupBox* gbCalib;
    QPushButton* btnSaveCorFac;  // "SAVE"
    QPlainTextEdit* Memo1;
    QLabel* Label1;              // "CORRECTION FACTOR"
    QPlainTextEdit* Memo2;
    QPushButton* btnSampRate;    // "CHANGE"
    TAnalogGauge* agPLL;         // "    BIT   PHASE"
    QPushButton* sbAudio;        // "AUDIO INPUT"
    QPushButton* btnSaveOptions;
    QPushButton* SpeedButton4;   // "CHECK ALL"
    QPushButton* SpeedButton5;   // "UNCHECK ALL"
    // The mixer sbAudioClick starts; tests replace it (the default starts it detached).
    std::function<bool(const std::string& Program, const std::vector<std::string>& Arguments)> StartProgram;

    void BuildCalibrationPage();
    void BuildOptionsPage();
    void cbEnableCalibClick();
    void tbCorFacChange();
    void btnSaveCorFacClick();
    void rgSampRateClick();
    void btnSampRateClick();
    void sbAudioClick();
    void btnSaveOptionsClick();
    void SpeedButton4Click();
    void SpeedButton5Click();
    void rgLinLogClick();
    void sbFilRawClick();
    void PageControl1Change();

    // ---- message log views, filters, search and clean-up (U_MainLog.cpp) ----
    TRadioGroup* RgFreqDB;        // "FREQUENCY": "BOTH", "518 KHz", "490 KHz"
    QLineEdit* edtID;             // identification letter, upper case, one character; "*": any
    QLineEdit* edtSrchtext;       // upper case
    TLed* ledFilter;              // flashes while a filter or search narrows the view
    QPushButton* sbFilter;        // "Filter data"
    QPushButton* sbTextSearch;    // "Start message body search"
    QPushButton* sbClear;         // "Clear filter"
    TRadioGroup* rgCleanUp;       // "DELETE RECORDS WHERE  :", none selected
    QLineEdit* edtDist;           // the distance limit in km, "0"
    QCheckBox* cbCompact;         // "Compact database afterwards"
    QPushButton* sbCleanup;       // "EXECUTE"
    // Step 8 of the clean-up on the closed log database: the engine's compaction;
    // tests replace it.
    std::function<void(orq::TORQDatabase& Database)> CompactLogDatabase;

    void BuildLogPages();
    void sbFilterClick();
    void MatchSearchText(classlib::TDataSet* DataSet, bool& Accept);
    void sbTextSearchClick();
    void sbClearClick();
    void DBNavigator1Click();
    void DBLogGridKeyDown(int& Key, Qt::KeyboardModifiers Shift);
    void rgCleanUpClick();
    void sbCleanupClick();
    // "RECORDS: " and the log table's count under its current filter.
    void ShowRecordCount();
    // Keeps the count shown after every change of Source's dataset (store, delete,
    // filter), taken once the change is over.
    void WatchRecordCount(classlib::TDataSource* Source);
    // The data module's bulk work runs: the handlers that move or filter the log do
    // nothing, as their work would interleave with a loop that serves events.
    bool LogWorkRunning() const;
    // The buttons of those handlers, the navigator and the grid, off while bulk work runs.
    void EnableLogWorkControls(bool Enabled);
    // What sbClearClick does once it may run: the view unfiltered, on its last record,
    // the filter controls on their defaults, ledFilter off.
    void ClearLogView();

    // ---- reception reports and statistics (U_MainReports.cpp) ----
    QPlainTextEdit* meResume;     // report lines, fixed pitch
    QPlainTextEdit* meRAW;        // per picked record "---", its line and its text
    TRadioGroup* rgReportFormat;  // "Report Format": "NDBList", "KX-R"
    TRadioGroup* rgHeadFoot;      // "Personal Info": "Do not include", "Include as header", "Include as footer"
    QPushButton* sbSavereport;    // "SAVE REPORT AS..."
    QPushButton* sbClearReport;   // "NEW REPORT"
    QLineEdit* edtRevShift;
    QPushButton* sbReverse;       // "REV"
    QComboBox* cbFreq;            // "518", "490"
    QComboBox* cbNavStations;     // letter + ":" + station text
    TRadioGroup* rgDayMonth;      // "Per Day", "Per Month"
    QCheckBox* cbMsgCount;        // "Plot Message Count"
    QCheckBox* cbSigQual;         // "Plot Signal Quality"
    QPushButton* sbPlotStats;     // "PLOT"
    QChartView* StatChart;        // series 0 the count, series 1 the mean quality
    QPushButton* SpeedButton2;    // "CLOSE"
    TStatistics FStatistics;      // the entries of the last plot

    void BuildReportPages();
    void DBLogGridMouseUp(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y);
    void sbClearReportClick();
    void sbReverseClick();
    void sbSavereportClick();
    void sbPlotStatsClick();
    void PlotDailyStatistics(char IdLetter, int32_t NavArea, int32_t Freq);
    void PlotMonthlyStatistics(char IdLetter, int32_t NavArea, int32_t Freq);
    void SpeedButton2Click();

    // ---- stations page, keyword lists, ephemeris and the lexicon (U_MainStations.cpp) ----
    QLabel* lblCurrentStation;    // the chosen station line; "..." until one is chosen
    TRadioGroup* rgKeyWords;      // "Select Keyword Type": 0 GID, 1 UID
    QListWidget* lbKeyWords;      // one keyword a line
    QLineEdit* edtNewKeyWord;     // upper case
    QPushButton* btnAddNewKeyw;   // "ADD"
    QPushButton* sbConfirmKW;     // "CONFIRM KEYWORD LIST"
    QLabel* stMaxlen;             // "<n> chars used, MAX = 300"
    QCheckBox* cbNoKeyWords;      // "do NOT import Keyword List", checked
    QPushButton* btnExport;       // "EXPORT"
    QPushButton* btnImport;       // "IMPORT"
    QLineEdit* edtLat;            // the chosen station's position, read-only
    QLineEdit* edtLon;
    QChartView* Chart1;           // series 0 receiver daylight, 1 station daylight, 2 transmissions, 3 now
    QLineEdit* edtNoSunLoc;       // "NO SUN ON THIS DATE", shown when the receiver has none
    QLineEdit* edtNoSunDX;        // the same for the station
    // The lexicon in memory, read at the first look-up after WordTable opens and dropped
    // when it closes; the table it was read from.
    std::shared_ptr<TLexicon> FLexicon;
    const void* FLexiconTable = nullptr;

    void BuildStationPages();
    void lbAllStationsClick();
    void rgKeyWordsClick();
    void btnAddNewKeywClick();
    void meKeyWordsDblClick();
    void sbConfirmKWClick();
    void btnExportClick();
    void btnImportClick();
    void DBStationGrdDblClick();
    void DtpEphemChange();
    void DrawEphemeris();

    // ---- the map link (U_MainMapLink.cpp) ----
    QPushButton* btnMapConnect;   // "CONNECT"
    QGroupBox* gbAtlas;           // the report group, hidden until connected
    QPushButton* btnMapReport;    // "REPORT"
    QPushButton* btnMapClear;     // "CLEAR"
    std::shared_ptr<IAtlas> FAtlas;  // empty until CONNECT succeeded

    void BuildMapLinkGroup();
    void btnMapConnectClick();
    void btnMapReportClick();
    void btnMapClearClick();

protected:
    void showEvent(QShowEvent* Event) override;
    void changeEvent(QEvent* Event) override;
    bool eventFilter(QObject* Watched, QEvent* Event) override;
    void closeEvent(QCloseEvent* Event) override;

private:
    bool FActivated = false;
    bool FDatabasesOpened = false;  // TimOpenDBTimer has run
    bool FShutdownDone = false;
    int32_t FMinUnidLenValue = 0;
    bool FAudioClockOn = false;   // a recording sets the time (AudioClockRuns)
    double FAudioClockStart = 0;  // UTC date-time of its first sample
    int64_t FAudioSamples = 0;    // samples it delivered
    int64_t FAudioSinceTick = 0;  // samples since the last once-a-second tick
    double FClockOffset = 0;      // days a replay put the clock ahead of the wall clock
    void AudioSecondTick();
    void EndAudioClock();
    void BuildFrame();
    TAnalogGauge* MakeGauge(const std::string& Name, const std::string& Caption, QWidget* Parent);
    int32_t FWheelRest = 0;  // high-resolution wheel delta not yet a whole notch

    void BuildSysLogPage();
    void BuildSchedulePage();
    void BuildFeed();
    std::string UtcTime() const;  // "hh:mm:ss"

    // The text search: its text as clicked, and whether its own scan runs (the only
    // time MatchSearchText serves events).
    std::string FSearchText;
    bool FSearchScanning = false;
    int64_t FSearchServedAt = 0;  // steady clock, ms
    void PlotStatistics(bool Monthly, char IdLetter, int32_t NavArea, int32_t Freq);

    std::unique_ptr<classlib::TDataLink> FRecordCountLink;
    QTimer* FRecordCountTimer = nullptr;

    // What waits for the next frame (see DisplayFrame).
    struct TGaugeWaiting {
        bool Position = false, Caption = false;
        float PositionValue = 0;
        std::string CaptionText;
    };
    TGaugeWaiting FGaugeWaiting[4];  // Gaugelvl, ErrGauge, GaugeCPU, agPLL
    TSpectrum FSpectrumWaiting;
    bool FSpectrumDirty = false;
    bool FWaterfallDirty = false;
    QList<QPointF> FHistoryWaiting;
    struct TScopeWaiting {
        bool Dirty = false;
        std::vector<double> Trace1, Trace2;
        int32_t Zoom = 1;
    } FScopeWaiting;
    void ScheduleFrame();
    TAnalogGauge* GaugeOf(int32_t Index) const;
    void SetGaugeWaiting(int32_t Index, const float* Position, const std::string* Caption);
    void WatchDisplays();
};

class TNavareaCheckBox : public QCheckBox {
    Q_OBJECT

public:
    TNavareaCheckBox(int32_t ATag, QWidget* Parent);
    int32_t Tag;
};

}  // namespace tilo
