#include "app/DBCtrls.h"

#include <QAction>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QTextCursor>
#include <QToolButton>

#include <cstdio>
#include <typeinfo>

#include "app/Prompts.h"
#include "app/TiloApplication.h"

namespace tilo {

using namespace classlib;

namespace {

QString Latin1(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

void HandleControlException(const QObject* Sender) {
    const std::string sender = Sender ? ClassNameOf(typeid(*Sender)) : std::string();
    const std::exception* e = nullptr;
    std::exception_ptr failure = std::current_exception();
    auto report = [&] {
        TTiloApplication* app = TTiloApplication::Instance();
        try {
            if (app && app->OnException) {
                app->OnException(sender, e);
                return;
            }
        } catch (...) {
            // The logger itself must not let a second failure out of the handler.
        }
        std::fprintf(stderr, "%s\n", ExceptionLine(sender, e).c_str());
    };
    try {
        std::rethrow_exception(failure);
    } catch (const std::exception& E) {
        e = &E;
        report();
    } catch (...) {
        report();
    }
}

bool GuardedAction(const QObject* Sender, const std::function<void()>& Action) {
    try {
        Action();
        return true;
    } catch (...) {
        HandleControlException(Sender);
        return false;
    }
}

// ---- TFieldDataLink ----

void TFieldDataLink::SetFieldName(const std::string& Value) {
    if (FFieldName == Value) return;
    FFieldName = Value;
    Resolve();
    if (OnDataChange) OnDataChange();
}

void TFieldDataLink::Resolve() {
    FField = Active() && !FFieldName.empty() ? DataSet()->FindField(FFieldName) : nullptr;
}

void TFieldDataLink::ActiveChanged() {
    Resolve();
    if (OnActiveChange) OnActiveChange();
    if (OnDataChange) OnDataChange();
}

void TFieldDataLink::LayoutChanged() {
    Resolve();
    if (OnDataChange) OnDataChange();
}

void TFieldDataLink::RecordChanged(TField* Field) {
    if (Field != nullptr && Field != FField) return;
    if (OnDataChange) OnDataChange();
}

void TFieldDataLink::EditingChanged() {
    if (OnEditingChange) OnEditingChange();
}

// ---- TDBMemo ----

TDBMemo::TDBMemo(QWidget* Parent) : QPlainTextEdit(Parent), FDataLink(std::make_unique<TFieldDataLink>()) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    FDataLink->OnDataChange = [this] { LoadMemo(); };
}

TDBMemo::~TDBMemo() {
    FDataLink->OnDataChange = nullptr;
    FDataLink->SetDataSource(nullptr);
}

void TDBMemo::LoadMemo() {
    TField* field = FDataLink->Field();
    TDataSet* ds = FDataLink->DataSet();
    std::string text;
    // A record being filled or edited keeps the text shown, with no read while its
    // fields are set one by one; the post's refresh shows the stored value.
    if (ds != nullptr && (ds->State() == classlib::dsInsert || ds->State() == classlib::dsEdit)) return;
    // One read of the field: a Null or empty value reads as "".
    if (field != nullptr && FDataLink->Active() && ds != nullptr && !ds->IsEmpty()) text = field->AsString();
    QString shown = Latin1(text);
    shown.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    setPlainText(shown);
    moveCursor(QTextCursor::Start);
    verticalScrollBar()->setValue(0);
}

// ---- TDBNavigator ----

class TNavDataLink : public TDataLink {
public:
    explicit TNavDataLink(TDBNavigator& Navigator) : FNavigator(Navigator) {}

protected:
    void ActiveChanged() override { FNavigator.UpdateButtons(); }
    void EditingChanged() override { FNavigator.UpdateButtons(); }
    void DataSetChanged() override { FNavigator.UpdateButtons(); }
    void DataSetScrolled(int32_t) override { FNavigator.UpdateButtons(); }

private:
    TDBNavigator& FNavigator;
};

namespace {

// A glyph of the class library's navigator: bars and triangles.
QIcon Glyph(TNavigateBtn Button) {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0));
    auto left = [&](double x) {
        QPainterPath t;
        t.moveTo(x + 6, 3);
        t.lineTo(x, 8);
        t.lineTo(x + 6, 13);
        t.closeSubpath();
        p.drawPath(t);
    };
    auto right = [&](double x) {
        QPainterPath t;
        t.moveTo(x, 3);
        t.lineTo(x + 6, 8);
        t.lineTo(x, 13);
        t.closeSubpath();
        p.drawPath(t);
    };
    switch (Button) {
        case nbFirst:
            p.drawRect(QRectF(3, 3, 2, 10));
            left(6);
            break;
        case nbPrior: left(5); break;
        case nbNext: right(5); break;
        case nbLast:
            right(4);
            p.drawRect(QRectF(11, 3, 2, 10));
            break;
        case nbDelete: p.drawRect(QRectF(3, 7, 10, 2)); break;
        default: break;
    }
    return QIcon(pm);
}

}  // namespace

TDBNavigator::TDBNavigator(QWidget* Parent) : QToolBar(Parent), FDataLink(std::make_unique<TNavDataLink>(*this)) {
    setIconSize(QSize(16, 16));
    setToolButtonStyle(Qt::ToolButtonIconOnly);
    setMovable(false);
    setFloatable(false);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    struct {
        TNavigateBtn Button;
        const char* Hint;
    } const buttons[] = {{nbFirst, "First record"},
                         {nbPrior, "Prior record"},
                         {nbNext, "Next record"},
                         {nbLast, "Last record"},
                         {nbDelete, "Delete record"}};
    for (const auto& b : buttons) {
        QAction* a = addAction(Glyph(b.Button), QString::fromLatin1(b.Hint));
        a->setToolTip(QString::fromLatin1(b.Hint));
        const TNavigateBtn which = b.Button;
        connect(a, &QAction::triggered, this, [this, which] { GuardedAction(this, [&] { BtnClick(which); }); });
        FActions[which] = a;
    }
    UpdateButtons();
}

TDBNavigator::~TDBNavigator() { FDataLink->SetDataSource(nullptr); }

TDataSource* TDBNavigator::DataSource() const { return FDataLink->DataSource(); }

void TDBNavigator::SetDataSource(TDataSource* Value) {
    FDataLink->SetDataSource(Value);
    UpdateButtons();
}

QAction* TDBNavigator::Action(TNavigateBtn Button) const { return FActions[Button]; }

QToolButton* TDBNavigator::Button(TNavigateBtn Button) const {
    return FActions[Button] ? qobject_cast<QToolButton*>(widgetForAction(FActions[Button])) : nullptr;
}

bool TDBNavigator::ButtonEnabled(TNavigateBtn Button) const { return FActions[Button] && FActions[Button]->isEnabled(); }

void TDBNavigator::UpdateButtons() {
    TDataSet* ds = FDataLink->DataSet();
    const bool active = FDataLink->Active() && ds != nullptr;
    const bool upEnabled = active && !FDataLink->Bof();
    const bool downEnabled = active && !FDataLink->Eof();
    const bool canDelete = active && !ds->IsEmpty() && !FDataLink->ReadOnly && ds->CanModify();
    FActions[nbFirst]->setEnabled(upEnabled);
    FActions[nbPrior]->setEnabled(upEnabled);
    FActions[nbNext]->setEnabled(downEnabled);
    FActions[nbLast]->setEnabled(downEnabled);
    FActions[nbDelete]->setEnabled(canDelete);
}

void TDBNavigator::BtnClick(TNavigateBtn Button) {
    TDataSet* ds = FDataLink->DataSet();
    if (FActions[Button] == nullptr || ds == nullptr || !FDataLink->Active()) return;
    switch (Button) {
        case nbFirst: ds->First(); break;
        case nbPrior: ds->Prior(); break;
        case nbNext: ds->Next(); break;
        case nbLast: ds->Last(); break;
        case nbDelete:
            if (!ConfirmDelete || Prompts().MessageDlg("Delete record?", mtConfirmation, mbOKCancel) != mrCancel)
                ds->Delete();
            break;
        default: break;
    }
    if (OnClick) OnClick(Button);
}

}  // namespace tilo
