// TDBGrid: the data-aware grid, a QTableView over the window of a data link.
//
// - The view shows the link's window, never a row per record: its rows are the
//   records the dataset holds in its buffers for this link (BufferCount = the whole
//   rows the view shows, renewed on resize), and a scroll bar of its own stands for
//   the dataset's position (RecNo - 1 of RecordCount; three positions, first, middle
//   and last by Bof/Eof, when RecNo is unknown or an OnFilterRecord filter would make
//   every count a scan). So a long table costs what a short one does, and reading a
//   row never moves the dataset.
// - TDBGridModel keeps the text of the window's rows and is renewed only from link
//   events (which rows each event converts: see TDBGrid's hooks). Painting reads that
//   text only, never the dataset: a handler that serves events inside a filter scan
//   may repaint the grid while the dataset's buffers are not what the window shows.
//   A scroll of the window moves the shown pixels, as a view scrolls its contents, and
//   paints only the new rows and the rows the highlight leaves and takes.
// - RecordCount is asked once per dataset change, activation or layout change, RecNo
//   once per such event or scroll; under an OnFilterRecord filter neither is asked.
// - Editing needs the grid and the column writable, a field that can be modified, a
//   data source with AutoEdit and RowSelect off: the first change of the cell editor
//   puts the dataset into dsEdit through the link; Enter or leaving the row writes the
//   text through UpdateData (the field's SetAsString) and posts; Esc cancels. The grid
//   never inserts or appends from the keyboard.
// - An exception the dataset raises in a handler of the grid goes to the application's
//   exception event; the dataset stays as the failed operation left it.
#pragma once

#include <QAbstractTableModel>
#include <QLineEdit>
#include <QPointer>
#include <QTableView>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "classlib/DB.h"

class QScrollBar;

namespace tilo {

class TDBGrid;

struct TColumn {
    std::string FieldName;
    std::string Title;  // empty: the field's DisplayName
    bool ReadOnly = false;
    int32_t Width = 0;  // pixels; 0: the default width
    classlib::TField* Field() const { return FField; }

private:
    friend class TDBGrid;
    classlib::TField* FField = nullptr;  // bound at activation and layout changes
};

// The grid's columns; a change binds them again and resets the view.
class TDBGridColumns {
public:
    explicit TDBGridColumns(TDBGrid& Grid) : FGrid(Grid) {}
    TColumn& Add(const std::string& FieldName, const std::string& Title = "", int32_t Width = 0,
                 bool ReadOnly = false);
    void Clear();
    int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
    TColumn& Items(int32_t Index) { return FItems.at(static_cast<size_t>(Index)); }
    const TColumn& Items(int32_t Index) const { return FItems.at(static_cast<size_t>(Index)); }
    TColumn& operator[](int32_t Index) { return Items(Index); }
    // After changing items in place.
    void Changed();

private:
    friend class TDBGrid;
    TDBGrid& FGrid;
    std::vector<TColumn> FItems;
};

// The texts of the window's rows and the active row's mark; nothing here reads the dataset.
class TDBGridModel : public QAbstractTableModel {
    Q_OBJECT

public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& Parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& Parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& Index, int Role = Qt::DisplayRole) const override;
    QVariant headerData(int Section, Qt::Orientation Orientation, int Role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex& Index) const override;

    const QString& Text(int Row, int Column) const { return FRows.at(size_t(Row)).at(size_t(Column)); }
    // Rows converted from the dataset since the model was made.
    int64_t RowsConverted() const { return FRowsConverted; }
    int ActiveRow() const { return FActive; }

private:
    friend class TDBGrid;
    std::vector<std::vector<QString>> FRows;
    QStringList FTitles;
    int FActive = -1;
    QString FMark;  // of the active row: ">" browsing, "I" editing, "*" inserting
    int64_t FRowsConverted = 0;
};

// The grid's link: every hook goes to the grid.
class TGridDataLink : public classlib::TDataLink {
public:
    explicit TGridDataLink(TDBGrid& Grid) : FGrid(Grid) {}

protected:
    void ActiveChanged() override;
    void LayoutChanged() override;
    void DataSetChanged() override;
    void DataSetScrolled(int32_t Distance) override;
    void RecordChanged(classlib::TField* Field) override;
    void EditingChanged() override;
    void UpdateData() override;
    void CheckBrowseMode() override;

private:
    TDBGrid& FGrid;
};

class TDBGridEditor;

class TDBGrid : public QTableView {
    Q_OBJECT

public:
    explicit TDBGrid(QWidget* Parent = nullptr);
    ~TDBGrid() override;

    classlib::TDataSource* DataSource() const { return FDataLink->DataSource(); }
    // nullptr detaches: the grid empties and reads nothing until attached again.
    void SetDataSource(classlib::TDataSource* Value);
    TDBGridColumns& Columns() { return FColumns; }
    // Either refuses editing; the active row is the selection in both cases.
    bool ReadOnly = false;
    bool RowSelect = false;
    // The current column (0-based among the shown columns).
    int32_t SelectedIndex() const { return FSelectedIndex; }
    void SetSelectedIndex(int32_t Value);
    classlib::TField* SelectedField() const;
    void SetHint(const std::string& Value);

    // Runs before the grid handles a key; a Key set to 0 is swallowed.
    std::function<void(int& Key, Qt::KeyboardModifiers Shift)> OnKeyDown;
    std::function<void(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X, int Y)> OnMouseUp;
    std::function<void()> OnDblClick;

    TDBGridModel& Model() { return *FModel; }
    TGridDataLink& DataLink() { return *FDataLink; }
    QScrollBar* DataScrollBar() const { return FScrollBar; }
    // Rows the view shows whole (the link's BufferCount).
    int32_t VisibleRows() const;
    // Whether the cell editor may open on Column of the active row.
    bool CanEditColumn(int32_t Column) const;
    bool EditorOpen() const { return FEditor != nullptr; }
    QLineEdit* Editor() const { return FEditor; }
    // Opens the editor on the current cell when editing is allowed.
    bool ShowEditor();

protected:
    void keyPressEvent(QKeyEvent* Event) override;
    void mousePressEvent(QMouseEvent* Event) override;
    void mouseReleaseEvent(QMouseEvent* Event) override;
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
    void mouseMoveEvent(QMouseEvent* Event) override;
    void wheelEvent(QWheelEvent* Event) override;
    void resizeEvent(QResizeEvent* Event) override;
    void updateGeometries() override;
    bool edit(const QModelIndex& Index, EditTrigger Trigger, QEvent* Event) override;
    void keyboardSearch(const QString&) override {}
    void closeEditor(QWidget* Editor, QAbstractItemDelegate::EndEditHint Hint) override;

private:
    friend class TGridDataLink;
    friend class TDBGridColumns;
    friend class TDBGridEditor;

    // ---- link hooks ----
    // ActiveChanged, LayoutChanged: a model reset, columns bound again, every row read.
    // DataSetChanged: every row converted again, rows added or removed at the end only.
    // DataSetScrolled(D): the texts shift by D rows and only the D new rows are read
    //   (0: the selection moves alone). RecordChanged(F): the active row, only F's cells
    //   when F is given. EditingChanged: the active row's mark; leaving the edit state
    //   drops the editor. UpdateData: the editor's text into its field. CheckBrowseMode:
    //   an open editor's text is taken before the dataset leaves its edit state.
    void LinkActiveChanged();
    void LinkDataSetChanged();
    void LinkDataSetScrolled(int32_t Distance);
    void LinkRecordChanged(classlib::TField* Field);
    void LinkEditingChanged();
    void LinkUpdateData();
    void LinkCheckBrowseMode();

    // ---- the model's text ----
    void ResetModel();  // columns bound again, every row converted
    void ConvertWindow();  // every row converted; rows added or removed at the end only
    std::vector<QString> ConvertRow(int32_t Row);
    QString CellText(classlib::TField* Field) const;
    void UpdateActiveRow();  // mark, current index and selection
    void UpdateMark();
    void UpdateScrollBar(bool AskRecordCount);
    void UpdateBufferCount();
    void ApplyColumnWidths();

    // ---- moving and editing ----
    void MoveBy(int32_t Distance);
    void ScrollBarAction(int Action);
    void ScrollBarReleased();
    void EditorTextChanged();
    bool EditorKey(QKeyEvent* Event);  // Enter and Esc inside the editor
    void CaptureEditor();   // the editor's text becomes the pending text
    void HideEditor();      // closes it without taking its text
    bool PostEdit();
    void CancelEdit();
    bool Guarded(const std::function<void()>& Action);

    std::unique_ptr<TGridDataLink> FDataLink;
    TDBGridModel* FModel;
    TDBGridEditor* FDelegate;
    QScrollBar* FScrollBar;
    TDBGridColumns FColumns;
    std::vector<classlib::TField*> FFields;  // per shown column; nullptr: missing field
    int32_t FSelectedIndex = 0;
    int32_t FRecordCount = 0;     // as asked at the last dataset change
    bool FThreePositions = true;
    int FScrollPosition = 0;
    int FWheelRest = 0;
    bool FInGeometry = false;
    QPointer<QLineEdit> FEditor;
    bool FPending = false;        // an editor's text waits for UpdateData
    int32_t FPendingColumn = -1;
    QString FPendingText;
};

}  // namespace tilo
