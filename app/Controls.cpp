#include "app/Controls.h"

#include <QButtonGroup>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMouseEvent>
#include <QRadioButton>
#include <QScrollBar>
#include <QStyle>
#include <QTableView>
#include <QVBoxLayout>

namespace tilo {

namespace {

QString Q8(const std::string& Text) { return QString::fromLatin1(Text.data(), static_cast<qsizetype>(Text.size())); }
std::string S8(const QString& Text) { return Text.toLatin1().toStdString(); }

}  // namespace

// ---- TStringGrid ----

TStringGrid::TStringGrid(QWidget* Parent) : QTableWidget(Parent), FFrozen(new QTableView(this)) {
    // Row 0 stays in the model but is shown as the header, so that it stays in view.
    horizontalHeader()->setMinimumSectionSize(1);
    horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
    horizontalHeader()->setHighlightSections(false);
    verticalHeader()->hide();
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setWordWrap(false);
    // By pixels, so that what passes beneath the fixed columns is exactly what they hide.
    setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);

    FFrozen->setModel(model());
    FFrozen->setSelectionModel(selectionModel());
    FFrozen->setFocusPolicy(Qt::NoFocus);
    FFrozen->setFrameShape(QFrame::NoFrame);
    FFrozen->verticalHeader()->hide();
    FFrozen->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    FFrozen->horizontalHeader()->setHighlightSections(false);
    FFrozen->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FFrozen->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    FFrozen->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FFrozen->setSelectionBehavior(QAbstractItemView::SelectRows);
    FFrozen->setSelectionMode(QAbstractItemView::SingleSelection);
    FFrozen->setWordWrap(false);
    FFrozen->setFont(font());
    viewport()->stackUnder(FFrozen);
    connect(verticalScrollBar(), &QAbstractSlider::valueChanged, FFrozen->verticalScrollBar(),
            &QAbstractSlider::setValue);
    connect(FFrozen->verticalScrollBar(), &QAbstractSlider::valueChanged, verticalScrollBar(),
            &QAbstractSlider::setValue);
    connect(horizontalHeader(), &QHeaderView::sectionResized, this, [this] { SyncFrozen(); });
    connect(verticalHeader(), &QHeaderView::sectionResized, this,
            [this](int Row, int, int Size) { FFrozen->setRowHeight(Row, Size); });
    for (auto signal : {&QAbstractItemModel::columnsInserted, &QAbstractItemModel::columnsRemoved,
                        &QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(model(), signal, this, [this] { SyncFrozen(); });

    setColumnCount(5);
    setRowCount(5);
    HideHeaderRow();
}

void TStringGrid::HideHeaderRow() {
    if (rowCount() == 0) return;
    setRowHidden(0, true);
    FFrozen->setRowHidden(0, true);
}

int32_t TStringGrid::FixedWidth() const {
    int32_t width = 0;
    for (int32_t c = 0; c < std::min(FFixedCols, columnCount()); ++c) width += columnWidth(c);
    return width;
}

void TStringGrid::SyncFrozen() {
    for (int32_t c = 0; c < columnCount(); ++c) {
        FFrozen->setColumnHidden(c, c >= FFixedCols);
        if (c < FFixedCols) FFrozen->setColumnWidth(c, columnWidth(c));
    }
    for (int32_t r = 0; r < rowCount(); ++r) {
        FFrozen->setRowHidden(r, isRowHidden(r));
        FFrozen->setRowHeight(r, rowHeight(r));
    }
    const int32_t width = FixedWidth();
    FFrozen->setVisible(width > 0);
    const QRect port = viewport()->geometry();
    const int32_t header = horizontalHeader()->isVisible() ? horizontalHeader()->height() : 0;
    FFrozen->setGeometry(port.left(), port.top() - header, std::min(width, port.width()), port.height() + header);
    FFrozen->verticalScrollBar()->setValue(verticalScrollBar()->value());
}

void TStringGrid::resizeEvent(QResizeEvent* Event) {
    QTableWidget::resizeEvent(Event);
    SyncFrozen();
}

void TStringGrid::updateGeometries() {
    QTableWidget::updateGeometries();
    SyncFrozen();
}

void TStringGrid::scrollTo(const QModelIndex& Index, ScrollHint Hint) {
    // A fixed column is always in view: only its row needs scrolling to.
    const int32_t left = horizontalScrollBar()->value();
    QTableWidget::scrollTo(Index, Hint);
    if (Index.column() < FFixedCols) {
        horizontalScrollBar()->setValue(left);
        return;
    }
    const int32_t hidden = FixedWidth() - visualRect(Index).left();
    if (hidden > 0) horizontalScrollBar()->setValue(horizontalScrollBar()->value() - hidden);
}

void TStringGrid::SetColCount(int32_t Value) {
    const int32_t old = columnCount();
    setColumnCount(std::max(Value, 0));
    for (int32_t c = old; c < Value; ++c)
        for (int32_t r = 0; r < rowCount(); ++r) StyleCell(c, r);
}

void TStringGrid::SetRowCount(int32_t Value) {
    const int32_t old = rowCount();
    setRowCount(std::max(Value, 0));
    HideHeaderRow();
    for (int32_t r = old; r < Value; ++r)
        for (int32_t c = 0; c < columnCount(); ++c) StyleCell(c, r);
}

void TStringGrid::SetFixedCols(int32_t Value) {
    FFixedCols = Value;
    for (int32_t r = 0; r < rowCount(); ++r)
        for (int32_t c = 0; c < columnCount(); ++c) StyleCell(c, r);
    SyncFrozen();
}

void TStringGrid::StyleCell(int32_t Col, int32_t Row) {
    QTableWidgetItem* cell = item(Row, Col);
    if (!cell) {
        cell = new QTableWidgetItem;
        setItem(Row, Col, cell);
    }
    const bool fixed = Row < FixedRows() || Col < FFixedCols;
    cell->setFlags(fixed ? Qt::ItemIsEnabled : (Qt::ItemIsEnabled | Qt::ItemIsSelectable));
    cell->setBackground(fixed ? palette().button() : palette().base());
}

std::string TStringGrid::Cells(int32_t Col, int32_t Row) const {
    const QTableWidgetItem* cell = item(Row, Col);
    return cell ? S8(cell->text()) : std::string();
}

void TStringGrid::SetCells(int32_t Col, int32_t Row, const std::string& Text) {
    if (Col < 0 || Row < 0 || Col >= columnCount() || Row >= rowCount()) return;
    StyleCell(Col, Row);
    item(Row, Col)->setText(Q8(Text));
    if (Row == 0) {
        if (!horizontalHeaderItem(Col)) setHorizontalHeaderItem(Col, new QTableWidgetItem);
        horizontalHeaderItem(Col)->setText(Q8(Text));
    }
}

void TStringGrid::ClearCells() {
    for (int32_t r = 0; r < rowCount(); ++r)
        for (int32_t c = 0; c < columnCount(); ++c) SetCells(c, r, std::string());
}

void TStringGrid::DeleteColumn(int32_t Col) {
    if (Col >= 0 && Col < columnCount()) removeColumn(Col);
}

void TStringGrid::DeleteRow(int32_t Row) {
    if (Row >= 0 && Row < rowCount()) removeRow(Row);
    if (Row == 0 && rowCount() > 0) {
        HideHeaderRow();
        for (int32_t c = 0; c < columnCount(); ++c) SetCells(c, 0, Cells(c, 0));
    }
}

int32_t TStringGrid::TextWidth(const std::string& Text) const {
    // The view draws a cell's text inside a margin on either side.
    const int32_t margin = style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, this) + 1;
    return QFontMetrics(font()).horizontalAdvance(Q8(Text)) + 2 * margin;
}

int32_t TStringGrid::TopRow() const { return rowAt(0); }

void TStringGrid::SetTopRow(int32_t Row) {
    if (Row < 0 || Row >= rowCount()) return;
    StyleCell(0, Row);
    scrollToItem(item(Row, 0), QAbstractItemView::PositionAtTop);
}

void TStringGrid::SetLeftCol(int32_t Col) {
    if (Col < 0 || Col >= columnCount()) return;
    // Column Col just right of the fixed ones (as far as the scroll range allows).
    horizontalScrollBar()->setValue(Col < FFixedCols ? 0 : horizontalHeader()->sectionPosition(Col) - FixedWidth());
}

void TStringGrid::SelectRow(int32_t Row) {
    if (Row < 0 || Row >= rowCount()) return;
    setCurrentCell(Row, std::min(FFixedCols, columnCount() - 1), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

// ---- TRadioGroup ----

TRadioGroup::TRadioGroup(const QString& Caption, const std::vector<std::string>& Items, QWidget* Parent)
    : QGroupBox(Caption, Parent) {
    auto* layout = new QVBoxLayout(this);
    auto* group = new QButtonGroup(this);
    for (const std::string& text : Items) {
        auto* button = new QRadioButton(Q8(text), this);
        layout->addWidget(button);
        group->addButton(button);
        FButtons.push_back(button);
        connect(button, &QRadioButton::clicked, this, [this] {
            if (OnClick) OnClick();
        });
    }
}

int32_t TRadioGroup::ItemIndex() const {
    for (std::size_t i = 0; i < FButtons.size(); ++i)
        if (FButtons[i]->isChecked()) return static_cast<int32_t>(i);
    return -1;
}

void TRadioGroup::SetItemIndex(int32_t Index) {
    if (Index >= 0 && Index < static_cast<int32_t>(FButtons.size())) FButtons[static_cast<std::size_t>(Index)]->setChecked(true);
}

std::string TRadioGroup::ItemText() const {
    const int32_t i = ItemIndex();
    return i < 0 ? std::string() : S8(FButtons[static_cast<std::size_t>(i)]->text());
}

// ---- click reporters ----

void TClickLabel::mousePressEvent(QMouseEvent* Event) {
    QLabel::mousePressEvent(Event);
    if (Event->button() == Qt::LeftButton && OnClick) OnClick();
}

std::string TClickStatusBar::SimpleText() const { return S8(currentMessage()); }
void TClickStatusBar::SetSimpleText(const std::string& Text) { showMessage(Q8(Text)); }

void TClickStatusBar::mousePressEvent(QMouseEvent* Event) {
    QStatusBar::mousePressEvent(Event);
    if (Event->button() == Qt::LeftButton && OnClick) OnClick();
}

void TTickerEdit::mouseDoubleClickEvent(QMouseEvent* Event) {
    QLineEdit::mouseDoubleClickEvent(Event);
    if (OnDblClick) OnDblClick();
}

}  // namespace tilo
