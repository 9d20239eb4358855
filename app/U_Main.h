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
#include <QMainWindow>

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "app/Controls.h"
#include "app/ServerSocket.h"
#include "decoder/DecoderHost.h"
#include "decoder/NavtexDecoder.h"

class QEvent;
class QGroupBox;
class QPlainTextEdit;
class QPushButton;
class QTabWidget;
class QTimer;

namespace tilo {

class TLed;

// A NAVAREA preference box; Tag is its NAVAREA number.
class TNavareaCheckBox;

class TfrmMain : public QMainWindow, public TDecoderHost {
    Q_OBJECT

public:
    explicit TfrmMain(QWidget* Parent = nullptr);
    ~TfrmMain() override;

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

private:
    int32_t FWheelRest = 0;  // high-resolution wheel delta not yet a whole notch

    void BuildSysLogPage();
    void BuildSchedulePage();
    void BuildFeed();
    std::string UtcTime() const;  // "hh:mm:ss"
};

class TNavareaCheckBox : public QCheckBox {
    Q_OBJECT

public:
    TNavareaCheckBox(int32_t ATag, QWidget* Parent);
    int32_t Tag;
};

}  // namespace tilo
