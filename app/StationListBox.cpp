#include "app/StationListBox.h"

#include <QApplication>
#include <QHeaderView>
#include <QPainter>
#include <QScrollBar>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

namespace tilo {

std::array<QString, 5> StationLineFields(const QString& Line) {
    std::array<QString, 5> f;
    QString rest = Line;
    for (int i = 0; i < 3; ++i) {  // blank-separated, as the line is made: a call sign may be empty
        const qsizetype at = rest.indexOf(' ');
        f[size_t(i)] = at < 0 ? rest : rest.left(at);
        rest = at < 0 ? QString() : rest.mid(at + 1);
    }
    const qsizetype comma = rest.lastIndexOf(',');
    f[3] = comma < 0 ? rest : rest.left(comma);
    f[4] = comma < 0 ? QString() : rest.mid(comma + 1);
    return f;
}

namespace {

const char* const Titles[5] = {"KHz", "AREA", "CALL", "STATION", "COUNTRY"};
// The widest content each column is made for, in characters ("0" for figures).
const char* const Widest[5] = {"0000", "00X", "XXXXXX", "XXXXXXXXXXXXXXXXXXXXXXXX", "XX"};
constexpr int32_t KPad = 6;  // a cell's text keeps 3 pixels off each side

class TStationLineDelegate final : public QStyledItemDelegate {
public:
    explicit TStationLineDelegate(TStationListBox* List) : QStyledItemDelegate(List), FList(List) {}

    void paint(QPainter* Painter, const QStyleOptionViewItem& Option, const QModelIndex& Index) const override {
        QStyleOptionViewItem o(Option);
        initStyleOption(&o, Index);
        const std::array<QString, 5> fields = StationLineFields(o.text);
        o.text.clear();  // background, selection and check box as the style draws them
        const QWidget* w = o.widget;
        (w ? w->style() : QApplication::style())->drawControl(QStyle::CE_ItemViewItem, &o, Painter, w);
        Painter->save();
        Painter->setFont(o.font);
        Painter->setPen(o.palette.color(o.state & QStyle::State_Selected ? QPalette::HighlightedText : QPalette::Text));
        const QHeaderView* h = FList->Header();
        for (int i = 0; i < 5; ++i) {
            const QRect r(h->sectionViewportPosition(i) + KPad / 2, o.rect.top(), h->sectionSize(i) - KPad,
                          o.rect.height());
            Painter->drawText(r, Qt::AlignLeft | Qt::AlignVCenter, fields[size_t(i)]);
        }
        Painter->restore();
    }

private:
    TStationListBox* FList;
};

}  // namespace

TStationListBox::TStationListBox(QWidget* Parent) : QListWidget(Parent) {
    auto* model = new QStandardItemModel(0, 5, this);
    for (int i = 0; i < 5; ++i) model->setHorizontalHeaderItem(i, new QStandardItem(QString::fromLatin1(Titles[i])));
    FHeader = new QHeaderView(Qt::Horizontal, this);
    FHeader->setModel(model);
    FHeader->setSectionsClickable(false);
    FHeader->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    FHeader->setStretchLastSection(true);
    const QFontMetrics header(FHeader->font()), rows(font());
    const int margin = 2 * style()->pixelMetric(QStyle::PM_HeaderMargin, nullptr, FHeader);
    for (int i = 0; i < 5; ++i)
        FHeader->resizeSection(i, std::max(header.horizontalAdvance(QString::fromLatin1(Titles[i])) + margin,
                                           rows.horizontalAdvance(QString::fromLatin1(Widest[i])) + KPad));
    setItemDelegate(new TStationLineDelegate(this));
    setViewportMargins(0, FHeader->sizeHint().height(), 0, 0);
    connect(this->model(), &QAbstractItemModel::rowsInserted, this, [this] { PlaceHeader(); });
    connect(this->model(), &QAbstractItemModel::modelReset, this, [this] { PlaceHeader(); });
}

TStationListBox::~TStationListBox() { disconnect(model(), nullptr, this, nullptr); }

int32_t TStationListBox::Indent() const {
    if (count() == 0 || !item(0)->data(Qt::CheckStateRole).isValid()) return 0;
    QStyleOptionViewItem o;
    initViewItemOption(&o);
    o.features |= QStyleOptionViewItem::HasCheckIndicator | QStyleOptionViewItem::HasDisplay;
    o.rect = QRect(0, 0, viewport()->width(), sizeHintForRow(0));
    return style()->subElementRect(QStyle::SE_ItemViewItemText, &o, this).left();
}

void TStationListBox::PlaceHeader() {
    // The header's height is known once it is polished: the rows start below it.
    const int h = FHeader->sizeHint().height();
    if (viewportMargins().top() != h) setViewportMargins(0, h, 0, 0);
    const QRect v = viewport()->geometry();
    FHeader->setGeometry(v.left(), v.top() - h, v.width(), h);
    FHeader->setOffset(horizontalScrollBar()->value() - Indent());
    viewport()->update();
}

void TStationListBox::resizeEvent(QResizeEvent* Event) {
    QListWidget::resizeEvent(Event);
    PlaceHeader();
}

void TStationListBox::scrollContentsBy(int Dx, int Dy) {
    QListWidget::scrollContentsBy(Dx, Dy);
    PlaceHeader();
}

}  // namespace tilo
