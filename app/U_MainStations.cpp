// The "Stations" page (the keyword list editor and the station file's export and
// import), the "Ephemeris" page (daylight at the receiver and at a chosen station with
// the station's transmission times) and the correction of garbled words against the
// lexicon before the decoder stores a message.
//
// Rules kept here:
// - The keyword editor changes nothing in the station table until CONFIRM; a keyword
//   holds neither "," (the list's separator) nor "#" (the station file's).
// - Export and import hold the data module's bulk work, so that messages arriving while
//   they serve events wait in its queue; neither starts while other bulk work runs, as
//   their walks would interleave. The import reads the file with the station table
//   unfiltered; a station that fails to post is cancelled, the list and schedule are
//   refilled with what was imported, and the failure goes on to the exception event.
// - The lexicon is held in memory (FLexicon) from the first look-up after the word
//   table opens until it closes; only a message holding '~' looks anything up.
#include "app/FrameText.h"
#include "app/U_Main.h"

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QDateTimeEdit>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScatterSeries>
#include <QValueAxis>

#include <cmath>
#include <exception>

#include "app/DBCtrls.h"
#include "app/DBGrids.h"
#include "app/DataModule.h"
#include "app/Lexicon.h"
#include "app/MesUtilD4.h"
#include "app/Prompts.h"
#include "app/StationFile.h"
#include "app/UCommon.h"
#include "classlib/DB.h"
#include "classlib/DBFields.h"
#include "classlib/DateUtils.h"
#include "classlib/NumConv.h"
#include "engine/access/ORQMain.h"

namespace tilo {

namespace {

constexpr int32_t MaxKeywordList = 300;  // the width of IDTEXT and UNIQUEID

struct TStationKey {
    std::string Freq, NavArea, IdLetter, CallSign;
};

// The key of a station line: FREQ, then NAVAREA immediately followed by IDLETTER, then
// CALLSIGN, separated by blanks.
TStationKey ParseStationLine(std::string Line) {
    TStationKey k;
    std::string area;
    SplitToken(Line, ' ', k.Freq);
    SplitToken(Line, ' ', area);
    SplitToken(Line, ' ', k.CallSign);
    if (!area.empty()) {
        k.IdLetter = area.substr(area.size() - 1);
        k.NavArea = area.substr(0, area.size() - 1);
    }
    return k;
}

std::string Trimmed(const std::string& Text) {
    std::size_t b = 0, e = Text.size();
    while (b < e && static_cast<unsigned char>(Text[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(Text[e - 1]) <= ' ') --e;
    return Text.substr(b, e - b);
}

classlib::TStringList ListLines(const QListWidget& List) {
    classlib::TStringList lines;
    for (int i = 0; i < List.count(); ++i) lines.Add(S8(List.item(i)->text()));
    return lines;
}

std::string JoinedKeywords(const QListWidget& List) {
    std::string text;
    TDataModule1::JoinKeywords(ListLines(List), text);
    return text;
}

void UpdateCounter(QLabel& Counter, const QListWidget& List) {
    Counter.setText(Q8(std::to_string(JoinedKeywords(List).size()) + " chars used, MAX = " +
                       std::to_string(MaxKeywordList)));
}

QLineEdit* UpperCaseEdit(const char* Name, QWidget* Parent) {
    auto* e = Named(new QLineEdit(Parent), Name);
    QObject::connect(e, &QLineEdit::textEdited, e, [e](const QString& Typed) {
        const QString upper = Typed.toUpper();
        if (upper == Typed) return;
        const int at = e->cursorPosition();
        e->setText(upper);
        e->setCursorPosition(at);
    });
    return e;
}

QLineEdit* Notice(const char* Name, QWidget* Parent) {
    auto* e = Named(new QLineEdit("NO SUN ON THIS DATE", Parent), Name);
    e->setReadOnly(true);
    e->hide();
    return e;
}

classlib::TDateTime PickerDate(const QDateTimeEdit& Picker) {
    const QDate d = Picker.date();
    return classlib::EncodeDate(uint16_t(d.year()), uint16_t(d.month()), uint16_t(d.day()));
}

double Frac(double X) { return X - std::floor(X); }

// The bulk work of one station operation; its end is the data module's to report.
class TStationWork {
public:
    TStationWork(TDataModule1& Module, const std::string& Name) : FModule(Module) { FModule.BeginBulkWork(Name); }
    ~TStationWork() {
        try {
            FModule.EndBulkWork();
        } catch (...) {
            // A queued message that cannot be stored now stays queued; the work ended.
        }
    }
    TStationWork(const TStationWork&) = delete;
    TStationWork& operator=(const TStationWork&) = delete;

private:
    TDataModule1& FModule;
};

// The station table from its first record to its last, unfiltered, serving events
// after each record.
class TTableStationSource : public TStationSource {
public:
    explicit TTableStationSource(TDataModule1& Module) : FModule(Module), FTable(*Module.StationTable) {
        FTable.SetFiltered(false);
        FTable.DisableControls();
    }
    ~TTableStationSource() override { FTable.EnableControls(); }
    bool NextStation(TStationRecord& Station) override {
        if (!FStarted) {
            FStarted = true;
            FTable.First();
        } else {
            if (FModule.ProcessMessages) FModule.ProcessMessages();
            FTable.Next();
        }
        if (FTable.Eof()) return false;
        for (int32_t f = 0; f < StationFieldCount; ++f)
            Station.Fields[f] = FTable.FieldByName(StationFieldNames[f])->AsString();
        return true;
    }

private:
    TDataModule1& FModule;
    classlib::TDataSet& FTable;
    bool FStarted = false;
};

// The import's steps on the station table through the data module.
class TTableStationStore : public TStationStore {
public:
    explicit TTableStationStore(TDataModule1& Module) : FModule(Module), FTable(*Module.StationTable) {}
    bool LocateStation(const std::string& NavArea, const std::string& Freq, const std::string& IdLetter,
                       const std::string& CallSign) override {
        return FModule.LocateStation(Freq, IdLetter, NavArea, CallSign);
    }
    void EditStation() override { FTable.Edit(); }
    void AppendStation() override { FTable.Append(); }
    void SetField(TStationField Field, const std::string& Text) override {
        FTable.FieldByName(StationFieldNames[Field])->SetAsString(Text);
    }
    void PostStation() override { FTable.Post(); }
    void CancelStation() override { FTable.Cancel(); }
    void ProcessMessages() override {
        if (FModule.ProcessMessages) FModule.ProcessMessages();
    }

private:
    TDataModule1& FModule;
    classlib::TDataSet& FTable;
};

// The word table from its first record to its last.
class TTableWordSource : public TWordSource {
public:
    explicit TTableWordSource(classlib::TDataSet& Table) : FTable(Table) {}
    void ForEachWord(const std::function<void(const std::string& Word)>& Visit) override {
        FTable.DisableControls();
        struct TEnable {
            classlib::TDataSet& T;
            ~TEnable() { T.EnableControls(); }
        } enable{FTable};
        const classlib::TField* words = FTable.FieldByName("WORDS");
        for (FTable.First(); !FTable.Eof(); FTable.Next()) Visit(words->AsString());
    }

private:
    classlib::TDataSet& FTable;
};

QScatterSeries* EphemerisSeries(QChartView& Chart, int Index) {
    const auto s = Chart.chart()->series();
    return Index < s.size() ? qobject_cast<QScatterSeries*>(s[Index]) : nullptr;
}

// The points (t, Value) for t = 0, 0.1, .. 23.9 hours that lie in daylight between Rise
// and Set (fractions of a day).
QList<QPointF> Daylight(double Rise, double Set, double Value) {
    QList<QPointF> points;
    const double rise = Rise * 24, set = Set * 24;
    for (int k = 0; k < 240; ++k) {
        const double t = k / 10.0;
        const bool day = set > rise ? (rise <= t && t <= set) : (t >= rise || t <= set);
        if (day) points.append(QPointF(t, Value));
    }
    return points;
}

// Daylight at Lat, Lon on Date into Series at Value, or the notice when the sun does
// not rise. The times are moved from local solar time to UTC by the longitude and
// brought back into 0 .. 1 of a day.
void DrawDaylight(QScatterSeries* Series, QLineEdit& Notice, classlib::TDateTime Date, double Lat, double Lon,
                  double Value) {
    double rise = 0, set = 0, length = 0;
    SunRiseSet(true, rise, set, Date, Lat, length);
    // 24 - (24 / pi) x pi leaves rounding dust where the day has no sun.
    if (std::fabs(length) < 1e-9) {
        Notice.show();
        return;
    }
    Notice.hide();
    const double shift = Lon / 15 / 24;
    if (Series) Series->replace(Daylight(Frac(rise - shift), Frac(set - shift), Value));
}

}  // namespace

// ---- the pages ----

void TfrmMain::BuildStationPages() {
    // Stations: the station list beside the keyword editor and the file's buttons.
    auto* page = static_cast<QBoxLayout*>(tsStations->layout());
    page->removeWidget(lbAllStations);
    lbAllStations->setToolTip("Click to Select");
    auto* row = new QHBoxLayout;
    row->addWidget(lbAllStations, 3);
    auto* editor = Named(new QGroupBox("Keyword List Editor", tsStations), "gbKeywords");
    auto* el = new QVBoxLayout(editor);
    lblCurrentStation = Named(new QLabel("...", editor), "lblCurrentStation");
    rgKeyWords = Named(new TRadioGroup("Select Keyword Type",
                                       {"Show Geographical Keywords (GID)", "Show Unique Keywords (UID)"}, editor),
                       "rgKeyWords");
    rgKeyWords->SetItemIndex(0);
    lbKeyWords = Named(new QListWidget(editor), "lbKeyWords");
    lbKeyWords->setToolTip("Double-Click to Delete...");
    edtNewKeyWord = UpperCaseEdit("edtNewKeyWord", editor);
    btnAddNewKeyw = Named(new QPushButton("ADD", editor), "btnAddNewKeyw");
    sbConfirmKW = Named(new QPushButton("CONFIRM KEYWORD LIST", editor), "sbConfirmKW");
    stMaxlen = Named(new QLabel(editor), "stMaxlen");
    UpdateCounter(*stMaxlen, *lbKeyWords);
    auto* add = new QHBoxLayout;
    add->addWidget(edtNewKeyWord, 1);
    add->addWidget(btnAddNewKeyw);
    el->addWidget(lblCurrentStation);
    el->addWidget(rgKeyWords);
    el->addWidget(lbKeyWords, 1);
    el->addLayout(add);
    el->addWidget(stMaxlen);
    el->addWidget(sbConfirmKW);
    row->addWidget(editor, 2);
    page->addLayout(row, 1);

    auto* file = Named(new QGroupBox("Station Import/Export", tsStations), "gbStationFile");
    auto* fl = new QVBoxLayout(file);
    btnExport = Named(new QPushButton("EXPORT", file), "btnExport");
    btnImport = Named(new QPushButton("IMPORT", file), "btnImport");
    cbNoKeyWords = Named(new QCheckBox("do NOT import Keyword List", file), "cbNoKeyWords");
    cbNoKeyWords->setChecked(true);
    fl->addWidget(btnExport);
    fl->addWidget(btnImport);
    fl->addWidget(cbNoKeyWords);
    fl->addStretch(1);
    row->addWidget(file);

    // The list follows clicks and the arrow keys alike.
    connect(lbAllStations, &QListWidget::currentRowChanged, this,
            [this] { GuardedAction(lbAllStations, [this] { lbAllStationsClick(); }); });
    connect(lbAllStations, &QListWidget::itemClicked, this,
            [this] { GuardedAction(lbAllStations, [this] { lbAllStationsClick(); }); });
    rgKeyWords->OnClick = [this] { GuardedAction(rgKeyWords, [this] { rgKeyWordsClick(); }); };
    connect(lbKeyWords, &QListWidget::itemDoubleClicked, this,
            [this] { GuardedAction(lbKeyWords, [this] { meKeyWordsDblClick(); }); });
    connect(btnAddNewKeyw, &QPushButton::clicked, this,
            [this] { GuardedAction(btnAddNewKeyw, [this] { btnAddNewKeywClick(); }); });
    connect(sbConfirmKW, &QPushButton::clicked, this,
            [this] { GuardedAction(sbConfirmKW, [this] { sbConfirmKWClick(); }); });
    connect(btnExport, &QPushButton::clicked, this, [this] { GuardedAction(btnExport, [this] { btnExportClick(); }); });
    connect(btnImport, &QPushButton::clicked, this, [this] { GuardedAction(btnImport, [this] { btnImportClick(); }); });

    // Ephemeris: the position of the chosen station and the chart beside the grid.
    auto* eph = static_cast<QBoxLayout*>(tsEphemeris->layout());
    auto* pos = new QHBoxLayout;
    edtLat = Named(new QLineEdit(tsEphemeris), "edtLat");
    edtLon = Named(new QLineEdit(tsEphemeris), "edtLon");
    for (QLineEdit* e : {edtLat, edtLon}) {
        e->setReadOnly(true);
        FitEditToText(*e, "-000.0000000");
    }
    edtNoSunLoc = Notice("edtNoSunLoc", tsEphemeris);
    edtNoSunDX = Notice("edtNoSunDX", tsEphemeris);
    pos->addWidget(new QLabel("LAT:", tsEphemeris));
    pos->addWidget(edtLat);
    pos->addWidget(new QLabel("LON:", tsEphemeris));
    pos->addWidget(edtLon);
    pos->addWidget(edtNoSunLoc);
    pos->addWidget(edtNoSunDX);
    pos->addStretch(1);
    eph->insertLayout(1, pos);

    auto* chart = new QChart;
    const char* names[] = {"Receiver daylight", "Station daylight", "Transmissions", "Now (UTC)"};
    const QColor colours[] = {QColor(230, 180, 0), QColor(0, 150, 230), QColor(200, 0, 0), QColor(0, 0, 0)};
    auto* x = new QValueAxis(chart);
    x->setRange(0, 24);
    x->setTickCount(13);
    x->setLabelFormat("%d");
    auto* y = new QValueAxis(chart);
    y->setRange(-2, 2);
    y->setLabelsVisible(false);
    chart->addAxis(x, Qt::AlignBottom);
    chart->addAxis(y, Qt::AlignLeft);
    for (int i = 0; i < 4; ++i) {
        auto* s = new QScatterSeries(chart);
        s->setName(names[i]);
        s->setColor(colours[i]);
        s->setBorderColor(colours[i]);
        s->setMarkerSize(i < 2 ? 6 : 8);
        chart->addSeries(s);
        s->attachAxis(x);
        s->attachAxis(y);
    }
    chart->legend()->setAlignment(Qt::AlignRight);
    Chart1 = Named(new QChartView(chart, tsEphemeris), "Chart1");
    Chart1->setMinimumHeight(180);
    eph->addWidget(Chart1, 1);

    DBStationGridView->OnDblClick = [this] { DBStationGrdDblClick(); };
    // Setting the date in code (start-up) also lands here: its failure must stay here.
    connect(DtpEphem, &QDateTimeEdit::dateChanged, this, [this] { GuardedAction(DtpEphem, [this] { DtpEphemChange(); }); });
}

// ---- the keyword editor ----

void TfrmMain::lbAllStationsClick() {
    const QListWidgetItem* item = lbAllStations->currentItem();
    if (!item) return;
    lblCurrentStation->setText(item->text());
    const TStationKey k = ParseStationLine(S8(item->text()));
    lbKeyWords->clear();
    if (DataModule1) {
        classlib::TStringList list;
        if (rgKeyWords->ItemIndex() == 1)
            DataModule1->GetUniqueKeywords(k.Freq, k.IdLetter, k.NavArea, k.CallSign, list);
        else
            DataModule1->GetIdKeywords(k.Freq, k.IdLetter, k.NavArea, k.CallSign, list);
        for (int i = 0; i < list.Count(); ++i) lbKeyWords->addItem(Q8(list[i]));
    }
    UpdateCounter(*stMaxlen, *lbKeyWords);
}

void TfrmMain::rgKeyWordsClick() {
    lbKeyWords->clear();
    if (lbAllStations->currentRow() >= 0) lbAllStationsClick();
}

void TfrmMain::btnAddNewKeywClick() {
    const std::string text = S8(edtNewKeyWord->text());
    if (Trimmed(text).empty()) {
        Prompts().ShowMessage("Blank keywords not allowed");
        return;
    }
    std::string listText;
    for (int i = 0; i < lbKeyWords->count(); ++i) listText += S8(lbKeyWords->item(i)->text()) + "\r\n";
    if (listText.find(text) != std::string::npos) {
        Prompts().ShowMessage("keyword already present in list!");
        return;
    }
    if (text.find(',') != std::string::npos) {
        Prompts().ShowMessage("comma not allowed in keywords!");
        return;
    }
    // The station file separates its fields by "#" and cannot carry one.
    if (text.find('#') != std::string::npos) {
        Prompts().ShowMessage("'#' not allowed in keywords!");
        return;
    }
    if (JoinedKeywords(*lbKeyWords).size() + text.size() + 1 > std::size_t(MaxKeywordList)) {
        Prompts().ShowMessage("Cannot Add, MAX list length = " + std::to_string(MaxKeywordList) + "!");
        UpdateCounter(*stMaxlen, *lbKeyWords);
        return;
    }
    lbKeyWords->addItem(Q8(text));
    edtNewKeyWord->clear();
    UpdateCounter(*stMaxlen, *lbKeyWords);
}

void TfrmMain::meKeyWordsDblClick() {
    const int row = lbKeyWords->currentRow();
    if (row < 0) return;
    const std::string keyword = S8(lbKeyWords->item(row)->text());
    if (Prompts().MessageDlg("Delete \"" + keyword + "\" ?", mtConfirmation, mbOK | mbCancel) != mrOk) return;
    delete lbKeyWords->takeItem(row);
    UpdateCounter(*stMaxlen, *lbKeyWords);
}

void TfrmMain::sbConfirmKWClick() {
    if (lblCurrentStation->text() == "...") {
        Prompts().ShowMessage("No station selected.");
        return;
    }
    if (!DataModule1) return;
    const TStationKey k = ParseStationLine(S8(lblCurrentStation->text()));
    const std::string keywords = JoinedKeywords(*lbKeyWords);
    if (rgKeyWords->ItemIndex() == 1)
        DataModule1->SetUniqueKeywords(k.Freq, k.NavArea, k.IdLetter, k.CallSign, keywords);
    else
        DataModule1->SetIdKeywords(k.Freq, k.NavArea, k.IdLetter, k.CallSign, keywords);
}

// ---- the station file ----

void TfrmMain::btnExportClick() {
    if (!DataModule1 || LogWorkRunning()) return;
    TStationFileResult result;
    {
        TStationWork work(*DataModule1, "station export");
        TTableStationSource source(*DataModule1);
        result = WriteStationFile(ApplicationFolder() + StationFileName, source);
    }
    Prompts().ShowMessage(result.Text);
}

void TfrmMain::btnImportClick() {
    if (!DataModule1 || LogWorkRunning()) return;
    TDataModule1& dm = *DataModule1;
    TStationFileResult result;
    std::exception_ptr failure;
    {
        TStationWork work(dm, "station import");
        try {
            dm.StationTable->SetFiltered(false);
            TTableStationStore store(dm);
            result = ReadStationFile(ApplicationFolder() + StationFileName, store, !cbNoKeyWords->isChecked());
        } catch (...) {
            failure = std::current_exception();
        }
        // Step 4 also after a failing station: what was imported before it stands.
        if (result.Ok || failure) {
            try {
                classlib::TStringList lines;
                FillStationList(lines);
                lbAllStations->clear();
                for (int i = 0; i < lines.Count(); ++i) lbAllStations->addItem(Q8(lines[i]));
                BuildScheduleGrid(cbShowBearing->isChecked());
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
        }
    }
    if (failure) std::rethrow_exception(failure);
    Prompts().ShowMessage(result.Text);
}

// ---- the ephemeris ----

void TfrmMain::DtpEphemChange() { DBStationGrdDblClick(); }

void TfrmMain::DBStationGrdDblClick() {
    if (!DataModule1) return;
    classlib::TDataSet& t = *DataModule1->StationTable;
    if (!t.Active() || t.IsEmpty()) return;
    const auto text = [&](const char* Name) { return t.FieldByName(Name)->AsString(); };
    edtLat->setText(Q8(text("LAT")));
    edtLon->setText(Q8(text("LON")));
    int32_t distance = -1;
    try {
        distance = GreatCircleDistance(DegToRad(RxLat), DegToRad(RxLon), DegToRad(t.FieldByName("LAT")->AsFloat()),
                                       DegToRad(t.FieldByName("LON")->AsFloat()));
    } catch (...) {
        // As the data module's: a distance that cannot be computed is -1.
    }
    // A station without a call sign is named by its location alone.
    const std::string callsign = text("CALLSIGN");
    Chart1->chart()->setTitle(Q8("Ephemeris comparison for " + (callsign.empty() ? "" : callsign + ", ") +
                                 text("LOCATION") + " (" + std::to_string(distance) + " Km) on " +
                                 classlib::DateToStr(PickerDate(*DtpEphem))));

    QList<QPointF> times;
    for (const char* field : {"T1", "T2", "T3", "T4", "T5", "T6"}) {
        classlib::TDateTime v = 0;
        if (!classlib::TryStrToTime(text(field) + ":00", v)) continue;
        const double h = Frac(v) * 24;
        times << QPointF(h, 1) << QPointF(h + 0.15, 1) << QPointF(h, -1) << QPointF(h + 0.15, -1);
    }
    if (QScatterSeries* s = EphemerisSeries(*Chart1, 2)) s->replace(times);
    const double now = Frac(UtcClock()) * 24;
    if (QScatterSeries* s = EphemerisSeries(*Chart1, 3)) s->replace({QPointF(now, 1), QPointF(now, -1)});
    DrawEphemeris();
}

void TfrmMain::DrawEphemeris() {
    for (int i = 0; i < 2; ++i)
        if (QScatterSeries* s = EphemerisSeries(*Chart1, i)) s->clear();
    const classlib::TDateTime date = PickerDate(*DtpEphem);
    DrawDaylight(EphemerisSeries(*Chart1, 0), *edtNoSunLoc, date, RxLat, RxLon, 1);
    double lat = 0, lon = 0;
    (void)classlib::TryStrToFloat(S8(edtLat->text()), lat);
    (void)classlib::TryStrToFloat(S8(edtLon->text()), lon);
    DrawDaylight(EphemerisSeries(*Chart1, 1), *edtNoSunDX, date, lat, lon, -1);
}

// ---- the lexicon ----

void TfrmMain::CorrectGarbledWords() {
    orq::TORQTable* words = DataModule1 ? DataModule1->WordTable : nullptr;
    if (!words || !words->Active()) {
        if (FLexicon) FLexicon->Drop();
        return;
    }
    if (!FLexicon) FLexicon = std::make_shared<TLexicon>();
    if (FLexiconTable != words) {
        // Dropped when the table closes; the hook outlives neither the window's lexicon
        // (it holds it weakly) nor any handler the table had.
        FLexicon->Drop();
        const std::weak_ptr<TLexicon> lexicon = FLexicon;
        auto before = words->AfterClose;
        words->AfterClose = [lexicon, before](classlib::TDataSet* D) {
            if (const auto l = lexicon.lock()) l->Drop();
            if (before) before(D);
        };
        FLexiconTable = words;
    }
    std::string text = meLogText();
    if (text.find('~') == std::string::npos) return;
    TTableWordSource source(*words);
    const std::vector<TGarbledCorrection> made =
        CorrectGarbledText(text, [&](const std::string& Candidate) { return FLexicon->Lookup(Candidate, source); });
    if (made.empty()) return;
    // meLogText ends every line with CR LF; the memo takes the lines back.
    if (text.size() >= 2 && text.compare(text.size() - 2, 2, "\r\n") == 0) text.resize(text.size() - 2);
    std::string lines;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        lines += text[i];
    }
    meLog->setPlainText(Q8(lines));
    for (const TGarbledCorrection& c : made) SysLog(c.LogLine());
}

}  // namespace tilo
