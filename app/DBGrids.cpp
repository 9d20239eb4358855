#include "app/DBGrids.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMouseEvent>
#include <QScrollBar>
#include <QStyledItemDelegate>
#include <QWheelEvent>

#include <algorithm>
#include <cstdlib>

#include "app/DBCtrls.h"

namespace tilo {

using namespace classlib;

namespace {

QString Latin1(const std::string& s) { return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size())); }

}  // namespace

// ---- TDBGridColumns ----

TColumn& TDBGridColumns::Add(const std::string& FieldName, const std::string& Title, int32_t Width, bool ReadOnly) {
    TColumn c;
    c.FieldName = FieldName;
    c.Title = Title;
    c.Width = Width;
    c.ReadOnly = ReadOnly;
    FItems.push_back(c);
    Changed();
    return FItems.back();
}

void TDBGridColumns::Clear() {
    FItems.clear();
    Changed();
}

void TDBGridColumns::Changed() { FGrid.ResetModel(); }

// ---- TDBGridModel ----

int TDBGridModel::rowCount(const QModelIndex& Parent) const {
    return Parent.isValid() ? 0 : static_cast<int>(FRows.size());
}

int TDBGridModel::columnCount(const QModelIndex& Parent) const { return Parent.isValid() ? 0 : FTitles.size(); }

QVariant TDBGridModel::data(const QModelIndex& Index, int Role) const {
    if (!Index.isValid() || (Role != Qt::DisplayRole && Role != Qt::EditRole)) return {};
    const auto r = static_cast<size_t>(Index.row()), c = static_cast<size_t>(Index.column());
    if (r >= FRows.size() || c >= FRows[r].size()) return {};
    return FRows[r][c];
}

QVariant TDBGridModel::headerData(int Section, Qt::Orientation Orientation, int Role) const {
    if (Orientation == Qt::Horizontal) {
        if (Role == Qt::DisplayRole && Section >= 0 && Section < FTitles.size()) return FTitles[Section];
        return {};
    }
    if (Role == Qt::DisplayRole) return Section == FActive ? FMark : QString();
    if (Role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
    return {};
}

Qt::ItemFlags TDBGridModel::flags(const QModelIndex& Index) const {
    if (!Index.isValid()) return Qt::NoItemFlags;
    // Whether a cell may really be edited is the grid's question (TDBGrid::edit).
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsEditable;
}

// ---- TGridDataLink ----

void TGridDataLink::ActiveChanged() { FGrid.LinkActiveChanged(); }
void TGridDataLink::LayoutChanged() { FGrid.LinkActiveChanged(); }
void TGridDataLink::DataSetChanged() { FGrid.LinkDataSetChanged(); }
void TGridDataLink::DataSetScrolled(int32_t Distance) { FGrid.LinkDataSetScrolled(Distance); }
void TGridDataLink::RecordChanged(TField* Field) { FGrid.LinkRecordChanged(Field); }
void TGridDataLink::EditingChanged() { FGrid.LinkEditingChanged(); }
void TGridDataLink::UpdateData() { FGrid.LinkUpdateData(); }
void TGridDataLink::CheckBrowseMode() { FGrid.LinkCheckBrowseMode(); }

// ---- the cell editor ----

// A line edit over the active row's cell. Enter and Esc are the grid's; the arrows
// that move records go to the grid too.
class TDBGridEditor : public QStyledItemDelegate {
public:
    explicit TDBGridEditor(TDBGrid& Grid) : QStyledItemDelegate(&Grid), FGrid(Grid) {}

    QWidget* createEditor(QWidget* Parent, const QStyleOptionViewItem&, const QModelIndex& Index) const override {
        auto* e = new QLineEdit(Parent);
        e->setFrame(false);
        const auto c = static_cast<size_t>(Index.column());
        if (c < FGrid.FFields.size() && FGrid.FFields[c] != nullptr) {
            const TField* f = FGrid.FFields[c];
            if ((f->DataType() == ftString || f->DataType() == ftFixedChar || f->DataType() == ftWideString) &&
                f->Size() > 0)
                e->setMaxLength(f->Size());
        }
        QObject::connect(e, &QLineEdit::textEdited, &FGrid, [g = &FGrid] { g->EditorTextChanged(); });
        FGrid.FEditor = e;
        FEditorColumn = Index.column();
        return e;
    }

    void setEditorData(QWidget* Editor, const QModelIndex& Index) const override {
        auto* e = qobject_cast<QLineEdit*>(Editor);
        if (e == nullptr || e->isModified()) return;  // a renewed row never overwrites typing
        e->setText(Index.data(Qt::EditRole).toString());
        e->selectAll();
    }

    void setModelData(QWidget* Editor, QAbstractItemModel*, const QModelIndex&) const override {
        if (Editor == FGrid.FEditor) FGrid.CaptureEditor();
    }

    bool eventFilter(QObject* Object, QEvent* Event) override {
        if (Event->type() == QEvent::KeyPress && Object == FGrid.FEditor && FGrid.EditorKey(static_cast<QKeyEvent*>(Event)))
            return true;
        return QStyledItemDelegate::eventFilter(Object, Event);
    }

    int EditorColumn() const { return FEditorColumn; }

private:
    TDBGrid& FGrid;
    mutable int FEditorColumn = -1;
};

// ---- TDBGrid ----

TDBGrid::TDBGrid(QWidget* Parent)
    : QTableView(Parent),
      FDataLink(std::make_unique<TGridDataLink>(*this)),
      FModel(new TDBGridModel(this)),
      FDelegate(new TDBGridEditor(*this)),
      FScrollBar(new QScrollBar(Qt::Vertical, this)),
      FColumns(*this) {
    setModel(FModel);
    setItemDelegate(FDelegate);
    setFocusPolicy(Qt::StrongFocus);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::AnyKeyPressed | QAbstractItemView::EditKeyPressed);
    setAutoScroll(false);
    setTabKeyNavigation(false);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollMode(QAbstractItemView::ScrollPerItem);
    setWordWrap(false);
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 6);
    verticalHeader()->setFixedWidth(14);
    // A fixed title row: the rows shown (the window) do not change when columns come.
    horizontalHeader()->setFixedHeight(fontMetrics().height() + 8);
    horizontalHeader()->setSectionsMovable(false);
    horizontalHeader()->setHighlightSections(false);
    // A header click would select a column or a row behind the dataset's back.
    horizontalHeader()->setSectionsClickable(false);
    verticalHeader()->setSectionsClickable(false);
    setCornerButtonEnabled(false);
    FScrollBar->setTracking(false);
    FScrollBar->setFocusPolicy(Qt::NoFocus);
    FScrollBar->setRange(0, 0);
    FScrollBar->setEnabled(false);
    connect(FScrollBar, &QScrollBar::actionTriggered, this, [this](int Action) { ScrollBarAction(Action); });
    connect(FScrollBar, &QScrollBar::sliderReleased, this, [this] { ScrollBarReleased(); });
}

TDBGrid::~TDBGrid() {
    // The link's hooks call into this grid: leave the source while the grid still stands.
    FDataLink->SetDataSource(nullptr);
}

void TDBGrid::SetDataSource(TDataSource* Value) {
    if (Value == FDataLink->DataSource()) return;
    HideEditor();
    FDataLink->SetBufferCount(VisibleRows());
    // Leaving an active source resets through ActiveChanged; an inactive one left nothing shown.
    FDataLink->SetDataSource(Value);
}

void TDBGrid::SetHint(const std::string& Value) { setToolTip(Latin1(Value)); }

TField* TDBGrid::SelectedField() const {
    return FSelectedIndex >= 0 && static_cast<size_t>(FSelectedIndex) < FFields.size()
               ? FFields[static_cast<size_t>(FSelectedIndex)]
               : nullptr;
}

void TDBGrid::SetSelectedIndex(int32_t Value) {
    const int32_t columns = FModel->columnCount();
    Value = std::clamp(Value, 0, std::max(columns - 1, 0));
    if (Value == FSelectedIndex) return;
    if (FEditor) {
        // The text typed into the cell left behind goes to its field now.
        CaptureEditor();
        HideEditor();
    }
    if (FPending && FDataLink->Editing()) {
        TField* field = FPendingColumn >= 0 && static_cast<size_t>(FPendingColumn) < FFields.size()
                            ? FFields[static_cast<size_t>(FPendingColumn)]
                            : nullptr;
        if (Guarded([&] { FDataLink->UpdateRecord(); }) && field != nullptr) LinkRecordChanged(field);
    }
    FSelectedIndex = Value;
    UpdateActiveRow();
}

int32_t TDBGrid::VisibleRows() const {
    const int rowHeight = std::max(verticalHeader()->defaultSectionSize(), 1);
    return std::max(viewport()->height() / rowHeight, 1);
}

bool TDBGrid::CanEditColumn(int32_t Column) const {
    if (ReadOnly || RowSelect || !FDataLink->Active() || FDataLink->ReadOnly) return false;
    const TDataSource* src = FDataLink->DataSource();
    if (src == nullptr || !src->AutoEdit) return false;
    if (Column < 0 || static_cast<size_t>(Column) >= FFields.size() || FFields[static_cast<size_t>(Column)] == nullptr)
        return false;
    if (FColumns.Count() > 0 && FColumns.Items(Column).ReadOnly) return false;
    return FFields[static_cast<size_t>(Column)]->CanModify();
}

bool TDBGrid::ShowEditor() { return edit(currentIndex(), EditKeyPressed, nullptr); }

bool TDBGrid::edit(const QModelIndex& Index, EditTrigger Trigger, QEvent* Event) {
    if (!Index.isValid() || Index.row() != FModel->FActive || !CanEditColumn(Index.column())) return false;
    return QTableView::edit(Index, Trigger, Event);
}

void TDBGrid::closeEditor(QWidget* Editor, QAbstractItemDelegate::EndEditHint) {
    // The grid moves itself: no hint may move the current cell.
    if (Editor == FEditor) FEditor = nullptr;
    QTableView::closeEditor(Editor, QAbstractItemDelegate::NoHint);
}

bool TDBGrid::Guarded(const std::function<void()>& Action) { return GuardedAction(this, Action); }

// ---- link hooks ----

void TDBGrid::LinkActiveChanged() { ResetModel(); }

void TDBGrid::LinkDataSetChanged() {
    UpdateBufferCount();
    ConvertWindow();
    UpdateActiveRow();
    UpdateScrollBar(true);
}

void TDBGrid::LinkDataSetScrolled(int32_t Distance) {
    const int32_t n = FDataLink->RecordCount();
    const int32_t old = static_cast<int32_t>(FModel->FRows.size());
    if (FEditor && Distance != 0) HideEditor();
    if (n != old || std::abs(Distance) >= n) {
        ConvertWindow();
    } else if (Distance != 0) {
        auto& rows = FModel->FRows;
        if (Distance > 0) {
            rows.erase(rows.begin(), rows.begin() + Distance);
            for (int32_t r = n - Distance; r < n; ++r) rows.push_back(ConvertRow(r));
        } else {
            const int32_t d = -Distance;
            rows.erase(rows.end() - d, rows.end());
            std::vector<std::vector<QString>> fresh;
            for (int32_t r = 0; r < d; ++r) fresh.push_back(ConvertRow(r));
            rows.insert(rows.begin(), fresh.begin(), fresh.end());
        }
        const int lastColumn = std::max(FModel->columnCount() - 1, 0);
        if (isVisible() && FModel->FActive >= 0) {
            // The shown rows move as pixels, the way a view scrolls its contents: only
            // the new rows, and the row the old highlight moved to, are painted again.
            const int32_t d = Distance;
            viewport()->scroll(0, -d * verticalHeader()->defaultSectionSize());
            if (d > 0)
                emit FModel->dataChanged(FModel->index(n - d, 0), FModel->index(n - 1, lastColumn));
            else
                emit FModel->dataChanged(FModel->index(0, 0), FModel->index(-d - 1, lastColumn));
            for (const int32_t row : {FModel->FActive - d, FDataLink->ActiveRecord()})
                if (row >= 0 && row < n) emit FModel->dataChanged(FModel->index(row, 0), FModel->index(row, lastColumn));
        } else {
            emit FModel->dataChanged(FModel->index(0, 0), FModel->index(n - 1, lastColumn));
        }
    }
    UpdateActiveRow();
    UpdateScrollBar(false);
}

void TDBGrid::LinkRecordChanged(TField* Field) {
    const int32_t r = FDataLink->ActiveRecord();
    if (r < 0 || r >= static_cast<int32_t>(FModel->FRows.size())) {
        ConvertWindow();
        UpdateActiveRow();
        return;
    }
    auto& row = FModel->FRows[static_cast<size_t>(r)];
    if (Field == nullptr) {
        row = ConvertRow(r);
        emit FModel->dataChanged(FModel->index(r, 0), FModel->index(r, std::max(FModel->columnCount() - 1, 0)));
        return;
    }
    bool renewed = false;
    for (size_t c = 0; c < FFields.size(); ++c) {
        if (FFields[c] != Field) continue;
        row[c] = CellText(Field);
        renewed = true;
        emit FModel->dataChanged(FModel->index(r, int(c)), FModel->index(r, int(c)));
    }
    if (renewed) ++FModel->FRowsConverted;
}

void TDBGrid::LinkEditingChanged() {
    if (!FDataLink->Editing()) {
        FPending = false;
        HideEditor();
    }
    UpdateMark();
}

void TDBGrid::LinkUpdateData() {
    if (FEditor) CaptureEditor();
    if (!FPending) return;
    TField* field = FPendingColumn >= 0 && static_cast<size_t>(FPendingColumn) < FFields.size()
                        ? FFields[static_cast<size_t>(FPendingColumn)]
                        : nullptr;
    // A text the field refuses raises here and stays pending: the dataset keeps editing.
    if (field != nullptr) field->SetAsString(FPendingText.toLatin1().toStdString());
    FPending = false;
}

void TDBGrid::LinkCheckBrowseMode() {
    if (!FDataLink->Editing() || !FEditor) return;
    CaptureEditor();
    HideEditor();
}

// ---- the model's text ----

QString TDBGrid::CellText(TField* Field) const {
    if (Field == nullptr) return {};
    if (Field->IsBlob()) {
        // Shown by kind, never read: the memo below the grid shows the text.
        switch (Field->DataType()) {
            case ftMemo:
            case ftFmtMemo: return QStringLiteral("(MEMO)");
            case ftGraphic: return QStringLiteral("(GRAPHIC)");
            default: return QStringLiteral("(BLOB)");
        }
    }
    return Latin1(Field->DisplayText());
}

std::vector<QString> TDBGrid::ConvertRow(int32_t Row) {
    const int32_t old = FDataLink->ActiveRecord();
    FDataLink->SetActiveRecord(Row);
    struct Back {
        TGridDataLink& Link;
        int32_t Row;
        ~Back() { Link.SetActiveRecord(Row); }
    } back{*FDataLink, old};
    std::vector<QString> texts;
    texts.reserve(FFields.size());
    for (TField* f : FFields) texts.push_back(CellText(f));
    ++FModel->FRowsConverted;
    return texts;
}

void TDBGrid::ResetModel() {
    HideEditor();
    FPending = false;
    FModel->beginResetModel();
    FModel->FRows.clear();
    FModel->FTitles.clear();
    FModel->FActive = -1;
    FFields.clear();
    TDataSet* ds = FDataLink->Active() ? FDataLink->DataSet() : nullptr;
    if (FColumns.Count() == 0) {
        if (ds != nullptr)
            for (TField* f : ds->Fields()) {
                FFields.push_back(f);
                FModel->FTitles.push_back(Latin1(f->DisplayName()));
            }
    } else {
        for (TColumn& c : FColumns.FItems) {
            c.FField = ds != nullptr ? ds->FindField(c.FieldName) : nullptr;
            FFields.push_back(c.FField);
            const std::string& title =
                !c.Title.empty() ? c.Title : (c.FField != nullptr ? c.FField->DisplayName() : c.FieldName);
            FModel->FTitles.push_back(Latin1(title));
        }
    }
    if (ds != nullptr) {
        const int32_t n = FDataLink->RecordCount();
        for (int32_t r = 0; r < n; ++r) FModel->FRows.push_back(ConvertRow(r));
    }
    FModel->endResetModel();
    FSelectedIndex = std::clamp(FSelectedIndex, 0, std::max(FModel->columnCount() - 1, 0));
    ApplyColumnWidths();
    UpdateActiveRow();
    UpdateScrollBar(true);
}

void TDBGrid::ConvertWindow() {
    if (!FDataLink->Active()) return;
    const int32_t n = FDataLink->RecordCount();
    std::vector<std::vector<QString>> fresh;
    fresh.reserve(static_cast<size_t>(n));
    for (int32_t r = 0; r < n; ++r) fresh.push_back(ConvertRow(r));
    auto& rows = FModel->FRows;
    const int32_t old = static_cast<int32_t>(rows.size());
    if (n < old) {
        FModel->beginRemoveRows(QModelIndex(), n, old - 1);
        rows.resize(static_cast<size_t>(n));
        FModel->endRemoveRows();
    }
    const int32_t common = std::min(n, old);
    for (int32_t r = 0; r < common; ++r) rows[static_cast<size_t>(r)] = std::move(fresh[static_cast<size_t>(r)]);
    if (common > 0)
        emit FModel->dataChanged(FModel->index(0, 0), FModel->index(common - 1, std::max(FModel->columnCount() - 1, 0)));
    if (n > old) {
        FModel->beginInsertRows(QModelIndex(), old, n - 1);
        for (int32_t r = old; r < n; ++r) rows.push_back(std::move(fresh[static_cast<size_t>(r)]));
        FModel->endInsertRows();
    }
}

void TDBGrid::UpdateMark() {
    TDataSet* ds = FDataLink->DataSet();
    QString mark;
    if (FDataLink->Active() && ds != nullptr)
        mark = ds->State() == dsEdit ? QStringLiteral("I") : ds->State() == dsInsert ? QStringLiteral("*") : QStringLiteral(">");
    if (mark == FModel->FMark) return;
    FModel->FMark = mark;
    if (FModel->FActive >= 0) emit FModel->headerDataChanged(Qt::Vertical, FModel->FActive, FModel->FActive);
}

void TDBGrid::UpdateActiveRow() {
    const int32_t rows = static_cast<int32_t>(FModel->FRows.size());
    int32_t active = FDataLink->Active() ? FDataLink->ActiveRecord() : -1;
    if (active >= rows) active = -1;
    const int32_t before = FModel->FActive;
    FModel->FActive = active;
    UpdateMark();
    if (before != active) {
        if (before >= 0 && before < rows) emit FModel->headerDataChanged(Qt::Vertical, before, before);
        if (active >= 0) emit FModel->headerDataChanged(Qt::Vertical, active, active);
    }
    if (active < 0 || FModel->columnCount() == 0) {
        HideEditor();
        selectionModel()->clear();
        return;
    }
    const QModelIndex at = FModel->index(active, std::clamp(FSelectedIndex, 0, FModel->columnCount() - 1));
    if (FEditor && currentIndex() != at) HideEditor();
    if (currentIndex() != at) selectionModel()->setCurrentIndex(at, QItemSelectionModel::NoUpdate);
    const QItemSelection row(FModel->index(active, 0), FModel->index(active, FModel->columnCount() - 1));
    if (selectionModel()->selection() != row) selectionModel()->select(row, QItemSelectionModel::ClearAndSelect);
}

void TDBGrid::UpdateScrollBar(bool AskRecordCount) {
    TDataSet* ds = FDataLink->Active() ? FDataLink->DataSet() : nullptr;
    if (ds == nullptr) {
        FThreePositions = true;
        FScrollPosition = 0;
        FRecordCount = 0;
        FScrollBar->setRange(0, 0);
        FScrollBar->setEnabled(false);
        return;
    }
    // Under a record filter every count or number would run the filter over the table.
    const bool scan = ds->Filtered() && static_cast<bool>(ds->OnFilterRecord());
    if (AskRecordCount && !scan) FRecordCount = ds->RecordCount();
    const int32_t recNo = scan ? -1 : ds->RecNo();
    FThreePositions = scan || recNo < 1 || FRecordCount < 1;
    if (FThreePositions) {
        FScrollBar->setRange(0, 2);
        FScrollBar->setPageStep(1);
        FScrollPosition = ds->Bof() ? 0 : ds->Eof() ? 2 : 1;
    } else {
        FScrollBar->setRange(0, FRecordCount - 1);
        FScrollBar->setPageStep(std::max(FDataLink->BufferCount(), 1));
        FScrollPosition = std::min(recNo, FRecordCount) - 1;
    }
    FScrollBar->setSingleStep(1);
    FScrollBar->setEnabled(true);
    FScrollBar->setValue(FScrollPosition);
}

void TDBGrid::UpdateBufferCount() {
    TDataSet* ds = FDataLink->DataSet();
    // Never resize the window while the dataset is busy (controls disabled, a temporary
    // state): the next dataset change takes the new size.
    if (ds != nullptr && FDataLink->Active() &&
        (ds->ControlsDisabled() || !(ds->State() == dsBrowse || ds->State() == dsEdit || ds->State() == dsInsert)))
        return;
    const int32_t rows = VisibleRows();
    if (rows == FDataLink->BufferCount()) return;
    FDataLink->SetBufferCount(rows);
}

void TDBGrid::ApplyColumnWidths() {
    for (int32_t c = 0; c < FColumns.Count() && c < FModel->columnCount(); ++c)
        if (FColumns.Items(c).Width > 0) setColumnWidth(c, FColumns.Items(c).Width);
}

// ---- geometry ----

void TDBGrid::updateGeometries() {
    if (FInGeometry) return;
    FInGeometry = true;
    QTableView::updateGeometries();
    // The dataset's scroll bar stands where the view's own would.
    const int width = FScrollBar->sizeHint().width();
    const QMargins m = viewportMargins();
    setViewportMargins(m.left(), m.top(), width, m.bottom());
    const QRect vg = viewport()->geometry();
    const int top = horizontalHeader()->isHidden() ? 0 : horizontalHeader()->height();
    if (!horizontalHeader()->isHidden()) horizontalHeader()->setGeometry(vg.left(), vg.top() - top, vg.width(), top);
    FScrollBar->setGeometry(vg.right() + 1, vg.top() - top, width, vg.height() + top);
    FInGeometry = false;
}

void TDBGrid::resizeEvent(QResizeEvent* Event) {
    QTableView::resizeEvent(Event);
    const int32_t before = FDataLink->BufferCount();
    UpdateBufferCount();
    if (FDataLink->BufferCount() != before && FDataLink->Active()) {
        // The window changed without an event of the dataset.
        ConvertWindow();
        UpdateActiveRow();
        UpdateScrollBar(false);
    }
}

// ---- moving ----

void TDBGrid::MoveBy(int32_t Distance) {
    TDataSet* ds = FDataLink->DataSet();
    if (ds == nullptr || !FDataLink->Active() || Distance == 0) return;
    Guarded([&] { ds->MoveBy(Distance); });
}

void TDBGrid::ScrollBarAction(int Action) {
    TDataSet* ds = FDataLink->Active() ? FDataLink->DataSet() : nullptr;
    if (ds != nullptr) {
        switch (Action) {
            case QAbstractSlider::SliderSingleStepAdd: MoveBy(1); break;
            case QAbstractSlider::SliderSingleStepSub: MoveBy(-1); break;
            case QAbstractSlider::SliderPageStepAdd: MoveBy(FDataLink->BufferCount()); break;
            case QAbstractSlider::SliderPageStepSub: MoveBy(-FDataLink->BufferCount()); break;
            case QAbstractSlider::SliderToMinimum: Guarded([&] { ds->First(); }); break;
            case QAbstractSlider::SliderToMaximum: Guarded([&] { ds->Last(); }); break;
            default: return;  // the thumb moves alone until it is released
        }
    }
    FScrollBar->setSliderPosition(FScrollPosition);
}

void TDBGrid::ScrollBarReleased() {
    TDataSet* ds = FDataLink->Active() ? FDataLink->DataSet() : nullptr;
    const int at = FScrollBar->sliderPosition();
    if (ds != nullptr) {
        Guarded([&] {
            if (at <= FScrollBar->minimum())
                ds->First();
            else if (at >= FScrollBar->maximum())
                ds->Last();
            else if (!FThreePositions)
                ds->SetRecNo(at + 1);
        });
    }
    FScrollBar->setSliderPosition(FScrollPosition);
}

// ---- keys and mouse ----

void TDBGrid::keyPressEvent(QKeyEvent* Event) {
    int key = Event->key();
    const Qt::KeyboardModifiers shift = Event->modifiers();
    if (OnKeyDown) {
        if (!Guarded([&] { OnKeyDown(key, shift); })) return;
        if (key == 0) {
            Event->accept();
            return;
        }
    }
    TDataSet* ds = FDataLink->Active() ? FDataLink->DataSet() : nullptr;
    if (ds == nullptr) {
        Event->ignore();
        return;
    }
    const bool ctrl = shift & Qt::ControlModifier;
    const int32_t page = FDataLink->BufferCount();
    switch (key) {
        case Qt::Key_Up: MoveBy(-1); break;
        case Qt::Key_Down: MoveBy(1); break;  // never appends at the end
        case Qt::Key_PageUp: MoveBy(-page); break;
        case Qt::Key_PageDown: MoveBy(page); break;
        case Qt::Key_Home:
            if (ctrl)
                Guarded([&] { ds->First(); });
            else
                SetSelectedIndex(0);
            break;
        case Qt::Key_End:
            if (ctrl)
                Guarded([&] { ds->Last(); });
            else
                SetSelectedIndex(FModel->columnCount() - 1);
            break;
        case Qt::Key_Left: SetSelectedIndex(FSelectedIndex - 1); break;
        case Qt::Key_Right: SetSelectedIndex(FSelectedIndex + 1); break;
        case Qt::Key_F2: ShowEditor(); break;
        case Qt::Key_Return:
        case Qt::Key_Enter: PostEdit(); break;
        case Qt::Key_Escape: CancelEdit(); break;
        default: {
            const QString text = Event->text();
            const bool typed = !text.isEmpty() && text.at(0).isPrint() &&
                               !(shift & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
            if (!typed || !edit(currentIndex(), AnyKeyPressed, Event)) Event->ignore();
            return;
        }
    }
    Event->accept();
}

void TDBGrid::mousePressEvent(QMouseEvent* Event) {
    if (!hasFocus()) setFocus(Qt::MouseFocusReason);
    const QModelIndex at = indexAt(Event->position().toPoint());
    if (!at.isValid() || !FDataLink->Active()) return;
    const int32_t distance = at.row() - FDataLink->ActiveRecord();
    if (distance != 0) MoveBy(distance);
    SetSelectedIndex(at.column());
}

void TDBGrid::mouseReleaseEvent(QMouseEvent* Event) {
    if (!OnMouseUp) return;
    const QPoint p = Event->position().toPoint();
    Guarded([&] { OnMouseUp(Event->button(), Event->modifiers(), p.x(), p.y()); });
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent*) {
    if (OnDblClick) Guarded([&] { OnDblClick(); });
}

void TDBGrid::mouseMoveEvent(QMouseEvent*) {
    // Dragging selects nothing: the selection is the active record.
}

void TDBGrid::wheelEvent(QWheelEvent* Event) {
    const int delta = Event->angleDelta().y();
    if ((delta > 0) != (FWheelRest > 0) && FWheelRest != 0) FWheelRest = 0;
    FWheelRest += delta;
    const int notches = FWheelRest / 120;
    FWheelRest -= notches * 120;
    if (notches != 0) MoveBy(-notches);
    Event->accept();
}

// ---- editing ----

void TDBGrid::EditorTextChanged() {
    if (!CanEditColumn(FDelegate->EditorColumn())) {
        HideEditor();  // the grid became read-only while the editor stood open
        return;
    }
    if (FDataLink->Editing()) return;
    // The first change puts the dataset into dsEdit; a refusal closes the editor.
    Guarded([&] { FDataLink->Edit(); });
    if (!FDataLink->Editing()) HideEditor();
}

bool TDBGrid::EditorKey(QKeyEvent* Event) {
    switch (Event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
            CaptureEditor();
            PostEdit();
            return true;
        case Qt::Key_Escape: CancelEdit(); return true;
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown: keyPressEvent(Event); return true;
        default: return false;
    }
}

void TDBGrid::CaptureEditor() {
    if (!FEditor || !FEditor->isModified()) return;
    FPending = true;
    FPendingColumn = FDelegate->EditorColumn();
    FPendingText = FEditor->text();
    const int32_t r = FModel->FActive;
    if (r >= 0 && static_cast<size_t>(r) < FModel->FRows.size() && FPendingColumn >= 0 &&
        static_cast<size_t>(FPendingColumn) < FModel->FRows[static_cast<size_t>(r)].size()) {
        FModel->FRows[static_cast<size_t>(r)][static_cast<size_t>(FPendingColumn)] = FPendingText;
        emit FModel->dataChanged(FModel->index(r, FPendingColumn), FModel->index(r, FPendingColumn));
    }
}

void TDBGrid::HideEditor() {
    if (!FEditor) return;
    QLineEdit* e = FEditor;
    FEditor = nullptr;
    QTableView::closeEditor(e, QAbstractItemDelegate::NoHint);
}

bool TDBGrid::PostEdit() {
    TDataSet* ds = FDataLink->DataSet();
    if (ds == nullptr || !FDataLink->Editing()) {
        HideEditor();
        return true;
    }
    if (!Guarded([&] { ds->Post(); })) return false;
    HideEditor();
    return true;
}

void TDBGrid::CancelEdit() {
    HideEditor();
    FPending = false;
    TDataSet* ds = FDataLink->DataSet();
    if (ds != nullptr && FDataLink->Editing()) Guarded([&] { ds->Cancel(); });
}

}  // namespace tilo
