// The main window's frame, its start-up and its shutdown.
//
// The frame: PageControl1's eleven pages and PageControl2's two, in their fixed order,
// the gauges and the decoder's controls under the ticker, and every control start-up
// reads or writes, in its design state; the pages' own handlers and the rest of their
// controls come with those pages. The forms' pages scroll where their page control is
// lower than they are, so the window fits a small laptop screen.
//
// Start-up runs in four steps: the constructor (FormCreate), the first activation
// (FormActivate), the first show (FormShow, which arms TimOpenDB) and TimOpenDB's one
// tick (the databases, then LoadSettingsAndStartAudio). Timer1 and TrackTimer tick
// from construction on, before any of the settings are read, so everything they reach
// is valid from the constructor. TimOpenDB acts once per run: Qt shows a restored
// window again. The demodulator is made with its defaults before the settings are
// read, so a settings file that fails half-way still leaves a working receiver.
#include "app/FrameText.h"
#include "app/StationListBox.h"
#include "app/U_Main.h"

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QDir>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QSplitter>
#include <QScrollBar>
#include <QSlider>
#include <QStyle>
#include <QTabWidget>
#include <QTextDocument>
#include <QTimer>
#include <QValueAxis>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "app/AudioPump.h"
#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/MesUtilD4.h"
#include "app/PaintImage.h"
#include "app/ChSpectrum.h"
#include "app/Prompts.h"
#include "app/Settings.h"
#include "app/UCommon.h"
#include "app/components/AnalogGauge.h"
#include "app/uAbout.h"
#include "classlib/Classes.h"
#include "classlib/DateUtils.h"
#include "classlib/NumConv.h"
#include "decoder/UCommon.h"
#include "decoder/UWavein4.h"
#include "decoder/uModem.h"
#include "platform/AudioSource.h"

namespace tilo {

namespace {


QWidget* NewPage(QTabWidget* Pages, const char* Name, const char* Title) {
    auto* page = new QWidget(Pages);
    page->setObjectName(Name);
    Pages->addTab(page, Title);
    return page;
}


QDateTimeEdit* NewDatePicker(const char* Name, QWidget* Parent) {
    auto* d = Named(new QDateTimeEdit(Parent), Name);
    d->setDisplayFormat("yyyy-MM-dd");
    d->setCalendarPopup(true);
    d->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);  // a date's width, not the page's
    return d;
}

QValueAxis* BottomAxis(QChartView* Chart) {
    const auto axes = Chart->chart()->axes(Qt::Horizontal);
    return axes.isEmpty() ? nullptr : qobject_cast<QValueAxis*>(axes.first());
}

QDateTime Now() { return QDateTime::currentDateTime(); }

// A page's content in a scroll area: the content keeps its whole width and at least a
// strip of its height, and otherwise follows the page as it did unscrolled.
class TPageScroll final : public QScrollArea {
public:
    explicit TPageScroll(QWidget* Parent) : QScrollArea(Parent) {
        setWidgetResizable(true);
        setFrameShape(QFrame::NoFrame);
    }
    QSize minimumSizeHint() const override {
        const QSize content = widget() ? widget()->minimumSizeHint() : QSize(0, 0);
        return {content.width() + verticalScrollBar()->sizeHint().width(), std::min(content.height(), KStrip)};
    }
    QSize sizeHint() const override {
        const QSize content = widget() ? widget()->sizeHint().expandedTo(widget()->minimumSizeHint()) : QSize(0, 0);
        return {content.width() + verticalScrollBar()->sizeHint().width(), content.height()};
    }

private:
    // The least of a page shown: as high as the waterfall and the gauges.
    static constexpr int KStrip = 120;
};

// Moves Page's layout, with every control in it, into a scroll area that fills Page.
void ScrollPage(QWidget* Page) {
    const auto controls = Page->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
    auto* content = new QWidget;
    content->setLayout(Page->layout());  // takes the layout from the page, its controls with it
    for (QWidget* w : controls)
        if (w->parentWidget() == Page && !w->isWindow()) {  // placed outside the layout
            const bool hidden = w->isHidden();
            w->setParent(content);
            w->setHidden(hidden);
        }
    auto* scroll = new TPageScroll(Page);
    scroll->setWidget(content);
    auto* l = new QVBoxLayout(Page);
    l->setContentsMargins(0, 0, 0, 0);
    l->addWidget(scroll);
}

// A data grid column as wide as its title and its widest expected text need.
int32_t ColumnWidth(const TDBGrid& Grid, const char* Title, const char* Widest) {
    const QStyle* st = Grid.style();
    const int header = QFontMetrics(Grid.horizontalHeader()->font()).horizontalAdvance(QString::fromLatin1(Title)) +
                       2 * st->pixelMetric(QStyle::PM_HeaderMargin, nullptr, &Grid) + 4;
    const int cell = Grid.fontMetrics().horizontalAdvance(QString::fromLatin1(Widest)) +
                     2 * (st->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &Grid) + 1) + 4;
    return std::max(header, cell);
}

int32_t ItemNumber(const std::string& Text, int32_t Default) {
    int32_t v = 0;
    return classlib::TryStrToInt(Text, v) ? v : Default;
}

}  // namespace

// ---- the frame ----

TAnalogGauge* TfrmMain::MakeGauge(const std::string& Name, const std::string& Caption, QWidget* Parent) {
    auto* g = new TAnalogGauge(Parent);
    g->setObjectName(Q8(Name));
    g->SetCaption(Caption);
    // The dial at two thirds of its design size (225 x 180): the smallest at which its
    // scale numbers stay apart.
    g->setFixedSize(150, 120);
    return g;
}

void TfrmMain::BuildFrame() {
    setObjectName("frmMain");
    auto* central = centralWidget();
    auto* layout = static_cast<QVBoxLayout*>(central->layout());
    auto* top = static_cast<QHBoxLayout*>(layout->itemAt(0)->layout());

    // Under the ticker: the gauges, the decoder's own controls and the picture.
    auto* decoderBox = new QWidget(central);
    auto* dl = new QHBoxLayout(decoderBox);
    dl->setContentsMargins(0, 0, 0, 0);
    cbUOSBox = Named(new QCheckBox("UoS", decoderBox), "cbUOS");
    connect(cbUOSBox, &QCheckBox::clicked, this, [this] { Decoder.cbUOSClick(); });
    RadioGroup1 = Named(new TRadioGroup("SIGNAL POLARITY", {"Normal  (USB)", "Inverted (LSB)"}, decoderBox),
                        "RadioGroup1");
    RadioGroup1->SetItemIndex(0);
    RadioGroup1->OnClick = [this] { Decoder.RadioGroup1Click(); };
    sbForceResync = Named(new QPushButton("Resync", decoderBox), "sbForceResync");
    connect(sbForceResync, &QPushButton::clicked, this, [this] { Decoder.sbForceResyncClick(); });
    dl->addWidget(cbUOSBox);
    dl->addWidget(RadioGroup1);
    dl->addWidget(sbForceResync);

    // The gauges' row also holds the frequency and the decoder's controls, which are
    // lower than the dials: the ticker's row stays one line high.
    auto* gauges = new QHBoxLayout;
    Gaugelvl = MakeGauge("Gaugelvl", "0 %", central);
    ErrGauge = MakeGauge("ErrGauge", "ERRORS", central);
    GaugeCPU = MakeGauge("GaugeCPU", "    0 %", central);
    gauges->addWidget(Gaugelvl);
    gauges->addWidget(ErrGauge);
    gauges->addWidget(GaugeCPU);
    top->removeWidget(rgFreq);
    gauges->addWidget(rgFreq, 0, Qt::AlignVCenter);
    gauges->addWidget(decoderBox, 0, Qt::AlignVCenter);
    gauges->addStretch(1);
    Image1 = Named(new TClickLabel(central), "Image1");
    Image1->setPixmap(QPixmap::fromImage(TiloPicture(80)));
    Image1->setToolTip("About Tilo");
    Image1->OnClick = [this] { Image1Click(); };
    gauges->addWidget(Image1);
    layout->insertLayout(1, gauges);

    // PageControl1 holds "System Log" and "NAVTEX Schedule" already; the rest go round them.
    PageControl1->setObjectName("PageControl1");
    tsSpectrum = new QWidget(PageControl1);
    tsSpectrum->setObjectName("tsSpectrum");
    PageControl1->insertTab(0, tsSpectrum, "Spectrum");
    tsMessages = new QWidget(PageControl1);
    tsMessages->setObjectName("tsMessages");
    PageControl1->insertTab(1, tsMessages, "Messages");
    tsCalibration = NewPage(PageControl1, "tsCalibration", "Calibration");
    tsOptions = NewPage(PageControl1, "tsOptions", "Options");
    tsDatabase = NewPage(PageControl1, "tsDatabase", "Database");
    tsStations = NewPage(PageControl1, "tsStations", "Stations");
    tsEphemeris = NewPage(PageControl1, "tsEphemeris", "Ephemeris");
    tsReport = NewPage(PageControl1, "tsReport", "Report");
    tsStatistics = NewPage(PageControl1, "tsStatistics", "Reception Statistics");

    // Spectrum: the spectrum chart and the quality history (U_MainSpectrum.cpp).
    BuildSpectrumPage();
    // Messages: the log grid, the selected message, the navigator and the filters.
    {
        auto* l = new QVBoxLayout(tsMessages);
        DBLogGridView = Named(new TDBGrid(tsMessages), "DBLogGrid");
        TDBGridColumns& c = DBLogGridView->Columns();
        const TDBGrid& g = *DBLogGridView;
        c.Add("UTCRECEIVED", "", ColumnWidth(g, "UTCRECEIVED", "2026-12-31 23:59:59"), true);
        c.Add("FREQ", "", ColumnWidth(g, "FREQ", "518"), true);
        c.Add("SIGQUAL", "SQ", ColumnWidth(g, "SQ", "100"), true);
        c.Add("IDLETTER", "B1", ColumnWidth(g, "B1", "W"));
        c.Add("MSGTYPE", "B2", ColumnWidth(g, "B2", "W"), true);
        c.Add("MSGNUMBER", "", ColumnWidth(g, "MSGNUMBER", "00"), true);
        c.Add("NAVAREA", "", ColumnWidth(g, "NAVAREA", "21"));
        c.Add("STATION", "", ColumnWidth(g, "STATION", "NETHERLANDS COASTGUARD,NL"), true);
        c.Add("DIST", "DIST (Km)", ColumnWidth(g, "DIST (Km)", "20000"), true);
        DBLogGridView->SetHint("Shift-Click on leftmost column = copy to  Reception Report");
        DBLogGrid = DBLogGridView;
        DBMemo1 = Named(new TDBMemo(tsMessages), "DBMemo1");
        DBMemo1->SetDataField("MSGTEXT");
        DBMemo1->setReadOnly(true);
        DBNavigator1 = Named(new TDBNavigator(tsMessages), "DBNavigator1");
        lblRecCount = Named(new QLabel("RECORDS: ", tsMessages), "lblRecCount");
        cbNav = Named(new QComboBox(tsMessages), "cbNav");
        auto* bar = new QHBoxLayout;
        bar->addWidget(DBNavigator1);
        bar->addWidget(lblRecCount);
        bar->addWidget(new QLabel("NAVAREA:", tsMessages));
        bar->addWidget(cbNav);
        bar->addStretch(1);
        l->addWidget(DBLogGridView, 2);
        l->addLayout(bar);
        l->addWidget(DBMemo1, 1);
        // On a low screen the grid keeps three whole records in view and the memo three
        // lines of the message: the memo gives way first.
        const QHeaderView* header = DBLogGridView->horizontalHeader();
        DBLogGridView->setMinimumHeight(std::max(header->sizeHint().height(), header->minimumHeight()) +
                                        3 * DBLogGridView->verticalHeader()->defaultSectionSize() +
                                        2 * DBLogGridView->frameWidth());
        DBMemo1->setMinimumHeight(3 * DBMemo1->fontMetrics().lineSpacing() +
                                  2 * int(DBMemo1->document()->documentMargin()) + 2 * DBMemo1->frameWidth());
    }
    // Calibration and Options (U_MainOptions.cpp).
    BuildCalibrationPage();
    BuildOptionsPage();
    // Database: the clean-up date.
    {
        auto* l = new QVBoxLayout(tsDatabase);
        DTPCleanup = NewDatePicker("DTPCleanup", tsDatabase);
        DTPCleanup->hide();
        l->addWidget(DTPCleanup);
        l->addStretch(1);
    }
    // Stations: every station line.
    {
        auto* l = new QVBoxLayout(tsStations);
        lbAllStations = Named(new TStationListBox(tsStations), "lbAllStations");
        l->addWidget(lbAllStations);
    }
    // Ephemeris: the station grid and its date.
    {
        auto* l = new QVBoxLayout(tsEphemeris);
        DBStationGridView = Named(new TDBGrid(tsEphemeris), "DBStationGrd");
        DBStationGridView->ReadOnly = true;
        DBStationGridView->RowSelect = true;
        TDBGridColumns& c = DBStationGridView->Columns();
        const TDBGrid& g = *DBStationGridView;
        const char* const fields[][2] = {{"NAVAREA", "21"},  {"IDLETTER", "W"},
                                         {"FREQ", "518"},    {"CALLSIGN", "WWWWWW"},
                                         {"LOCATION", "NETHERLANDS COASTGUARD"}, {"COUNTRYCODE", "WW"}};
        for (const auto& f : fields) c.Add(f[0], "", ColumnWidth(g, f[0], f[1]));
        DBStationGridView->SetHint("Double-click to select station");
        DBStationGrd = DBStationGridView;
        DtpEphem = NewDatePicker("DtpEphem", tsEphemeris);
        l->addWidget(DtpEphem);
        l->addWidget(DBStationGridView, 1);
    }
    // Reception Statistics: NAVAREA and period, and the map report's date.
    {
        auto* l = new QHBoxLayout(tsStatistics);
        cbNavStat = Named(new QComboBox(tsStatistics), "cbNavStat");
        connect(cbNavStat, &QComboBox::activated, this, [this] { cbNavStatChange(); });
        DtpStart = NewDatePicker("DtpStart", tsStatistics);
        DtpEnd = NewDatePicker("DtpEnd", tsStatistics);
        dtpAtlas = NewDatePicker("dtpAtlas", tsStatistics);
        l->addWidget(new QLabel("NAVAREA:", tsStatistics));
        l->addWidget(cbNavStat);
        l->addWidget(DtpStart);
        l->addWidget(DtpEnd);
        l->addWidget(new QLabel("Map:", tsStatistics));
        l->addWidget(dtpAtlas);
        l->addStretch(1);
    }
    // The log views and clean-up, the report and the statistics (U_MainLog.cpp,
    // U_MainReports.cpp) add their controls to these pages.
    BuildLogPages();
    BuildReportPages();
    BuildStationPages();
    BuildMapLinkGroup();

    // PageControl2: the waterfall and the current message.
    PageControl2 = Named(new QTabWidget(central), "PageControl2");
    tsWaterfall = NewPage(PageControl2, "tsWaterfall", "Waterfall");
    tsMessage = NewPage(PageControl2, "tsMessage", "Message");
    BuildWaterfallPage();  // U_MainSpectrum.cpp
    {
        auto* m = new QVBoxLayout(tsMessage);
        meLog->setParent(tsMessage);
        meLog->setObjectName("meLog");
        meLog->show();
        m->addWidget(meLog);
    }
    // The two page controls share the column in a splitter whose handle the user moves;
    // the lower one starts at a third of it and keeps what the settings give it.
    layout->removeWidget(PageControl1);
    splPages = Named(new QSplitter(Qt::Vertical, central), "splPages");
    splPages->setChildrenCollapsible(false);
    splPages->addWidget(PageControl1);
    splPages->addWidget(PageControl2);
    splPages->setStretchFactor(0, 2);
    splPages->setStretchFactor(1, 1);
    layout->addWidget(splPages, 1);

    // The pages of groups and forms scroll when their page control is lower than they
    // are; the pages that are one view (log, grid, charts, memo) shrink with it.
    for (QWidget* page : {tsCalibration, tsOptions, tsDatabase, tsStations, tsEphemeris, tsReport, tsStatistics,
                          tsWaterfall})
        ScrollPage(page);

    // The decoder's one-second ticks run from the first moment of the loop; while a
    // recording plays, its audio ticks them instead (AudioSecondTick).
    Timer1 = Named(new QTimer(this), "Timer1");
    Timer1->setInterval(1000);
    connect(Timer1, &QTimer::timeout, this, [this] {
        if (AudioClockRuns()) return;
        // A recording that stopped without its end (a read error): the wall clock
        // takes over from its time.
        if (FAudioClockOn) EndAudioClock();
        Decoder.Timer1Timer();
    });
    Timer1->start();
    TrackTimer = Named(new QTimer(this), "TrackTimer");
    TrackTimer->setInterval(1000);
    connect(TrackTimer, &QTimer::timeout, this, [this] {
        if (!AudioClockRuns()) Decoder.TrackTimerTimer();
    });
    TrackTimer->start();
    TimOpenDB = Named(new QTimer(this), "TimOpenDB");
    TimOpenDB->setInterval(1000);
    connect(TimOpenDB, &QTimer::timeout, this, [this] { TimOpenDBTimer(); });

    // The same defaults LoadSettingsAndStartAudio starts from, for the ticks before it.
    Decoder.FSpectrum.assign(256, {});
    Decoder.FAvgSpectrum.assign(256, {});

    WatchDisplays();
    FormCreate();
}

// ---- the window's size ----

QSize TfrmMain::WholePagesSize() const {
    // The two page controls share the column's height: each needs what its tallest page
    // needs whole beyond what the minimum gives it.
    QSize size = minimumSizeHint();
    for (const QTabWidget* pages : {PageControl1, PageControl2}) {
        int least = 0;
        int whole = 0;
        for (int i = 0; i < pages->count(); ++i) {
            const QWidget* page = pages->widget(i);
            least = std::max(least, page->minimumSizeHint().height());
            const auto* scroll = page->findChild<const QScrollArea*>(QString(), Qt::FindDirectChildrenOnly);
            whole = std::max(whole, scroll && scroll->widget() ? scroll->widget()->minimumSizeHint().height()
                                                               : page->minimumSizeHint().height());
        }
        size.rheight() += std::max(0, whole - least);
    }
    return size;
}

QSize TfrmMain::DefaultSize() const { return QSize(1220, 1000).expandedTo(WholePagesSize()); }

void TfrmMain::FitToScreen(const QRect& Available) {
    const QSize whole = DefaultSize();
    // The title bar and the borders the window manager adds, which the window's own
    // size leaves out.
    const int title = style()->pixelMetric(QStyle::PM_TitleBarHeight);
    const QSize room = Available.size() - QSize(8, title + 8);
    if (whole.width() <= room.width() && whole.height() <= room.height()) {
        resize(whole);
        return;
    }
    resize(room.expandedTo(minimumSizeHint()));
    move(Available.topLeft());
    setWindowState(windowState() | Qt::WindowMaximized);
}

// ---- the splitter ----

int32_t TfrmMain::PaneHeight() const { return splPages->sizes().value(1); }

void TfrmMain::SetPaneHeight(int32_t Pixels) {
    const QList<int> sizes = splPages->sizes();
    const int total = sizes.value(0) + sizes.value(1);
    if (total <= 0) return;
    // The splitter holds each side to its minimum itself.
    splPages->setSizes({std::max(0, total - Pixels), Pixels});
}

// ---- creation, activation, show ----

void TfrmMain::FormCreate() {
    setWindowTitle("Tilo 5.6 Tilomark");
    PageControl1->setCurrentIndex(0);
    PageControl2->setCurrentIndex(1);
    SysLog("startup...");
    const QSize size = pbWfall->size();
    FWaterfallBitmap = new QImage(size, QImage::Format_RGB888);
    FWaterfallBitmap->fill(Qt::black);
    FWaterfallRing.Reset(size);
    pbWfall->Picture = FWaterfallBitmap->convertToFormat(QImage::Format_RGB32);
    TOSVersion v;
    GetWindowsVersion(v);
    FIsVistaOrLater = v.Major > 5;
    SysLog("OS version: " + std::to_string(v.Major) + "." + std::to_string(v.Minor) + " build " +
           std::to_string(v.Build) + ", " + v.Name);
    SysLog("CPU's detected: " + std::to_string(CountProcessors()));
}

void TfrmMain::FormActivate() {
    if (FActivated) return;
    FActivated = true;
    QImage scope(imScope->size(), QImage::Format_RGB32);  // as the frames draw it
    QPainter p(&scope);
    p.setPen(QColor(0, 128, 0));
    p.setBrush(QColor(0, 22, 0));
    p.drawRect(0, 0, scope.width() - 1, scope.height() - 1);
    p.end();
    imScope->Picture = scope;
    imScope->update();
}

void TfrmMain::FormShow() {
    if (!FDatabasesOpened) TimOpenDB->start();
}

void TfrmMain::showEvent(QShowEvent* Event) {
    QMainWindow::showEvent(Event);
    FormShow();
}

void TfrmMain::changeEvent(QEvent* Event) {
    QMainWindow::changeEvent(Event);
    if (Event->type() == QEvent::ActivationChange && isActiveWindow()) FormActivate();
    if (Event->type() == QEvent::WindowStateChange && FrameTimer) ScheduleFrame();
}

// ---- the delayed database opening ----

void TfrmMain::TimOpenDBTimer() {
    TimOpenDB->stop();
    if (FDatabasesOpened) return;
    FDatabasesOpened = true;
    SysLog("opening databases...");
    DataModuleOpenTables();
    LoadSettingsAndStartAudio();
    edtTicker->clear();
}

uint16_t TfrmMain::FeedPort() const {
    const char* v = std::getenv("TILO_FEED_PORT");
    if (v && *v) {
        char* end = nullptr;
        const long port = std::strtol(v, &end, 10);
        // 0: any free port, for tests running side by side.
        if (*end == '\0' && port >= 0 && port < 65536) return static_cast<uint16_t>(port);
    }
    return 50123;
}

// ---- the main initialisation ----

void TfrmMain::LoadSettingsAndStartAudio() {
    SetSampleRate(11025);
    Decoder.FBitBuffer.clear();
    Decoder.FBitRemainder.clear();
    Decoder.FLine.clear();
    Decoder.LastChars.clear();
    Decoder.ScoreWindow.clear();
    Decoder.FNotSynced = true;
    Decoder.ShiftState = 0;
    Decoder.FMessageQuality = -1;
    Decoder.FSpectrum.assign(256, {});
    Decoder.FAvgSpectrum.assign(256, {});

    // The demodulator first, with its defaults and its events: the settings only retune it.
    if (!FModem) {
        FModem = std::make_unique<TModem>();
        FModem->OnDataReady = [this](const std::string& Bits, double Faze, const TNvector& Re, const TNvector& Im,
                                     const std::vector<int32_t>& PllBits) {
            Decoder.ModemBlockDone(Bits, Faze, Re, Im, PllBits);
        };
        FModem->OnDiagOutput = [this](const TArrDbl& Raw, const TArrDbl& F1, const TArrDbl& F2,
                                      const TNvector& Mark, const TNvector& Space) {
            ModemScopeData(Raw, F1, F2, Mark, Space);
        };
        FModem->OnPLLOutput = [this](double PhErr) { ModemPllPhase(PhErr); };
        Decoder.FModem = FModem.get();
    }
    Decoder.FAfcCentre = FModem->FCenter;
    Decoder.FAfcLow = FModem->FCenter - 250;
    Decoder.FAfcHigh = FModem->FCenter + 250;

    int32_t rate = 11025;
    try {
        const std::string path = SettingsPath();
        SysLog("path: " + path);
        if (const std::string setAside = SetAsideUnreadableSettings(path); !setAside.empty()) {
            SysLog(setAside);
            std::fprintf(stderr, "tilo: %s\n", setAside.c_str());
        }
        TSettingsFile ini(path);
        FSelectedNavAreas.clear();
        const auto lat = ini.RxLat();
        if (!lat.Message.empty()) SysLog(lat.Message);
        const auto lon = ini.RxLon();
        if (!lon.Message.empty()) SysLog(lon.Message);
        RxLat = lat.Value;
        RxLon = lon.Value;
        const int32_t freq = ini.Freq();
        const auto corFac = ini.CorFac();
        edtRXLat->setText(Q8(classlib::FloatToStr(RxLat)));
        edtRXLon->setText(Q8(classlib::FloatToStr(RxLon)));
        cbConfirmDelete->setChecked(ini.ConfirmDelete());
        FMinUnidLenValue = ini.MinLen();
        edtMinUNIDLen->setText(QString::number(FMinUnidLenValue));
        cbMinUNIDLenBox->setChecked(ini.MinLenOn());
        ApplyNavareaString(ini.NavAreas());
        sbApplyNavareaClick();
        DBNavigator1->ConfirmDelete = cbConfirmDelete->isChecked();
        if (const int32_t pane = ini.PaneHeight(); pane > 0) SetPaneHeight(pane);
        const auto samp = ini.SampRate();
        if (!samp.Message.empty()) Prompts().ShowMessage(samp.Message);
        rate = samp.Value;
        rgSampRate->SetItemIndex(rate == 12000 ? 1 : 0);
        SetSampleRate(rate);
        if (QValueAxis* x = BottomAxis(ChSpectrum)) x->setMax(std::round(rate / 4.0));

        // The rate may have changed since the modem was made: SetFreq and SetBaud
        // design its filters and bit clock for the rate in force.
        FModem->SetFreq(freq, FModem->Shift);
        if (corFac.Message.empty()) {
            FModem->SetBaud(100 * corFac.Value);
        } else {
            FModem->SetBaud(FModem->Baud());
            SysLog(corFac.Message);
        }
        char text[32];
        std::snprintf(text, sizeof text, "%.4f", corFac.Value);
        lbCorFac->setText(text);
        tbCorFac->setValue(static_cast<int>(std::lround((corFac.Value - 1) * 100000)));
        SysLog("modem FCenter/Shift set to: " + std::to_string(FModem->FCenter) + "/" +
               std::to_string(FModem->Shift));
        Decoder.FAfcCentre = freq;

        classlib::TStringList lines;
        FillStationList(lines);
        cbAllStations->clear();
        lbAllStations->clear();
        for (int i = 0; i < lines.Count(); ++i) {
            auto* item = new QListWidgetItem(Q8(lines.Get(i)), cbAllStations);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
            item->setCheckState(Qt::Checked);
            lbAllStations->addItem(Q8(lines.Get(i)));
        }
        for (const std::string& line : ini.DoNotLog())
            for (int i = 0; i < cbAllStations->count(); ++i)
                if (S8(cbAllStations->item(i)->text()) == line) cbAllStations->item(i)->setCheckState(Qt::Unchecked);
        DataModuleLoadExclusionList();

        mePersonalInfo->clear();
        for (const std::string& line : ini.UserInfo()) mePersonalInfo->appendPlainText(Q8(line));
    } catch (...) {
        SysLog("error while reading Tilo.ini : " + std::string(std::strerror(errno)));
    }

    Decoder.BlockCounter = 0;
    Decoder.AfcPrevious = 0;
    Decoder.FAfcLow = FModem->FCenter - 250;
    Decoder.FAfcHigh = FModem->FCenter + 250;

    auto onBuffer = [this](const int16_t* Samples, int32_t Count) { WaveInBuffer(Samples, Count); };
    auto onLog = [this](const std::string& Text) { WaveInLogMessage(Text); };
    FAudioWindow.reset();
    FWaveIn.reset();
    std::unique_ptr<TAudioSource> source = AudioSourceFactory ? AudioSourceFactory() : CreateAudioSource();
    FWaveIn = std::make_unique<TWaveIn>(std::move(source), onBuffer, 8, 2048, onLog);
    FWaveIn->OnProblem = [this](const std::string& Text) { WaveInProblem(Text); };
    FWaveIn->OnEnd = [this] { WaveInEnd(); };
    if (!FWaveIn->Ready()) WaveInProblem(FWaveIn->LastMessage());
    FAudioWindow = std::make_unique<TAudioPump>(*FWaveIn);
    SysLog("audio settings: PCM, " + std::to_string(SampleRate) + "Hz, 16bit, " + "1024" + " samples/block");
    if (FWaveIn->Open(-1, SampleRate)) {
        SysLog("audio format supported, starting input.");
        FWaveIn->Start();
    }
    FAudioWindow->Rearm();

    cbNav->clear();
    cbNav->addItems({"*", "UNID"});
    cbNavStat->clear();
    for (int n = 1; n <= 21; ++n) {
        cbNav->addItem(QString::number(n));
        cbNavStat->addItem(QString::number(n));
    }
    cbNavStat->setCurrentIndex(0);
    cbNavStatChange();
    cbNav->setCurrentIndex(0);

    const QDateTime now = Now();
    for (QDateTimeEdit* d : {DtpStart, DtpEnd, dtpAtlas, DtpEphem}) d->setDateTime(now);
    DTPCleanup->setDateTime(now.addDays(-365));

    ChSpectrum->setEnabled(true);
    ErrGauge->SetScale(0);  // refused: the gauge only redraws

    const std::string folder = ApplicationFolder();
    for (const char* name : {"LOG", "DUMPS"}) {
        const QString dir = Q8(folder + name);
        if (!QDir(dir).exists() && !QDir().mkpath(dir))
            Prompts().ShowMessage(std::string("!! cannot create directory ") + name + "\\");
    }

    SunTimerTimer();
    std::srand(static_cast<unsigned>(std::time(nullptr)));
    ServSock->SetPort(FeedPort());
    ServSock->SetActive(true);
    SchedTimerTimer();
    TickerTimer->start();

    if (QValueAxis* x = BottomAxis(chHist)) {
        const double utc = UtcClock();
        x->setRange(utc, utc + 1.0 / 24);
    }
    Decoder.ResetDecoder();
}

// ---- capture ----

void TfrmMain::WaveInBuffer(const int16_t* Samples, int32_t Count) {
    if (!FWaveIn || !FWaveIn->Recording() || !FModem) return;
    FWaveIn->AddNextBuffer();
    if (!FAudioClockOn && FWaveIn->Finite()) {
        // The recording's time starts now; tracking requests follow its seconds from
        // here, whatever the wall-clock timers asked before.
        FAudioClockStart = UtcClock();
        FAudioSamples = 0;
        FAudioSinceTick = 0;
        FAudioClockOn = true;
        Decoder.FAfcRequest = false;
    }
    std::vector<int16_t> block(ModemBlockSize, 0);
    std::copy_n(Samples, std::min<std::size_t>(ModemBlockSize, static_cast<std::size_t>(Count)), block.begin());
    FModem->ProcessBlock(block);
    if (FAudioClockOn) {
        FAudioSamples += Count;
        FAudioSinceTick += Count;
        if (FAudioSinceTick >= SampleRate) {
            FAudioSinceTick -= SampleRate;
            AudioSecondTick();
        }
    }
}

void TfrmMain::AudioSecondTick() {
    // In the order the chain of navtex-decode runs them.
    Decoder.TrackTimerTimer();
    Decoder.Timer1Timer();
}

void TfrmMain::WaveInEnd() {
    // As in the block handler: a failing character stage is reported, the rest goes on.
    try {
        Decoder.FlushBits();
    } catch (const std::exception& e) {
        DecodingFailure(std::string("Decoder error: ") + e.what());
    } catch (...) {
        DecodingFailure("Decoder error");
    }
    EndAudioClock();
}

void TfrmMain::EndAudioClock() {
    // Back to the wall clock and its timers, never back in time: what comes after the
    // recording is later than what it stored.
    const double ended = UtcClock();
    FAudioClockOn = false;
    FClockOffset = std::max(0.0, ended - WallUtcClock());
}

void TfrmMain::WaveInLogMessage(const std::string& Text) { SysLog(Text); }

void TfrmMain::WaveInProblem(const std::string& Text) {
    // One line per problem: the reader's texts carry the old line breaks.
    std::string line;
    bool broken = false;  // after a line break, whose blanks go with it
    for (char c : Text) {
        if (c == '\r' || c == '\n') {
            if (!line.empty() && line.back() != ' ') line += ' ';
            broken = true;
        } else if (!(broken && c == ' ')) {
            line += c;
            broken = false;
        }
    }
    std::fprintf(stderr, "tilo: %s\n", line.c_str());
    std::fflush(stderr);
}

// ---- the stubs the pages take over ----

void TfrmMain::Image1Click() {
    if (FrmAbout) FrmAbout->ShowOver(this);
}

// ---- shutdown ----

bool TfrmMain::FormCloseQuery(bool Ask) {
    if (FShutdownDone) return true;
    if (Ask && Prompts().MessageDlg("Quit Tilo ?", mtConfirmation, mbYes | mbCancel) != mrYes) return false;
    // A signal served while the question was open has shut down already.
    if (FShutdownDone) return true;
    FShutdownDone = true;
    if (FAudioClockOn && !AudioClockRuns()) EndAudioClock();
    try {
        if (meLog->document()->blockCount() > 2 && !meLog->document()->isEmpty())
            AddLogRecord('?', "?", UtcClock(), "0", meLogText(), ItemNumber(rgFreq->ItemText(), 518),
                         Decoder.FMessageQuality);
    } catch (...) {
    }
    try {
        DataModuleCloseTables();
    } catch (...) {
    }
    try {
        disconnect(Timer1, nullptr, this, nullptr);
        disconnect(TrackTimer, nullptr, this, nullptr);
        Timer1->stop();
        TrackTimer->stop();
        ReleaseMapLink();
        if (FWaveIn) FWaveIn->Stop();
        FAudioWindow.reset();
        FWaveIn.reset();
        TSettingsFile ini(SettingsPath());
        ini.WriteShutdown(static_cast<int32_t>(std::lround((Decoder.FAfcLow + Decoder.FAfcHigh) / 2.0)), SampleRate);
        ini.WritePaneHeight(PaneHeight());
        ini.Save();
    } catch (...) {
    }
    return true;
}

void TfrmMain::closeEvent(QCloseEvent* Event) {
    if (FormCloseQuery(true)) Event->accept();
    else Event->ignore();
}

}  // namespace tilo
