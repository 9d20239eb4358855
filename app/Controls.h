// Small Qt stand-ins for the class library's controls that the main window's pages
// use with their own semantics: a string grid addressed by column and row with fixed
// header cells, a radio group with an item index, a label and a status bar that
// report clicks, and a read-only edit that reports double clicks.
//
// TStringGrid keeps the class library's model: row 0 and the first FixedCols columns
// are ordinary cells (ColCount and RowCount count them, and shrinking drops the last
// columns or rows with their text). Row 0 is shown as the header, so that it stays in
// view while the rows scroll; the fixed columns are drawn grey and not selectable.
#pragma once

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QStatusBar>
#include <QTableWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class QRadioButton;
class QTableView;

namespace tilo {

class TStringGrid : public QTableWidget {
    Q_OBJECT

public:
    explicit TStringGrid(QWidget* Parent = nullptr);

    int32_t ColCount() const { return columnCount(); }
    void SetColCount(int32_t Value);
    int32_t RowCount() const { return rowCount(); }
    void SetRowCount(int32_t Value);
    int32_t FixedCols() const { return FFixedCols; }
    void SetFixedCols(int32_t Value);
    int32_t FixedRows() const { return 1; }

    // Cells outside the grid read as empty; writing one is ignored.
    std::string Cells(int32_t Col, int32_t Row) const;
    void SetCells(int32_t Col, int32_t Row, const std::string& Text);
    // Every cell of the grid emptied; counts unchanged.
    void ClearCells();
    // Removes one column or row; later ones move up by one.
    void DeleteColumn(int32_t Col);
    void DeleteRow(int32_t Row);

    int32_t ColWidths(int32_t Col) const { return columnWidth(Col); }
    void SetColWidths(int32_t Col, int32_t Width) { setColumnWidth(Col, Width); }
    // Pixel width a cell needs for Text in the grid's font (the text and the margins
    // the view draws it within).
    int32_t TextWidth(const std::string& Text) const;

    // The first scrollable row and column shown, and the selected row (-1: none).
    int32_t TopRow() const;
    void SetTopRow(int32_t Row);
    void SetLeftCol(int32_t Col);
    int32_t Row() const { return currentRow(); }
    void SelectRow(int32_t Row);
    // Width in pixels of the fixed columns together.
    int32_t FixedWidth() const;

    void scrollTo(const QModelIndex& Index, ScrollHint Hint = EnsureVisible) override;

protected:
    void resizeEvent(QResizeEvent* Event) override;
    void updateGeometries() override;

private:
    int32_t FFixedCols = 1;
    QTableView* FFrozen;  // the fixed columns' view, a child of the grid
    void StyleCell(int32_t Col, int32_t Row);
    void HideHeaderRow();
    void SyncFrozen();
};

// A group of radio buttons with one selected item (ItemIndex, -1 for none).
class TRadioGroup : public QGroupBox {
    Q_OBJECT

public:
    TRadioGroup(const QString& Caption, const std::vector<std::string>& Items, QWidget* Parent = nullptr);

    int32_t ItemIndex() const;
    void SetItemIndex(int32_t Index);
    // The selected item's text, empty when none.
    std::string ItemText() const;
    std::function<void()> OnClick;

private:
    std::vector<QRadioButton*> FButtons;
};

class TClickLabel : public QLabel {
    Q_OBJECT

public:
    using QLabel::QLabel;
    std::function<void()> OnClick;

protected:
    void mousePressEvent(QMouseEvent* Event) override;
};

class TClickStatusBar : public QStatusBar {
    Q_OBJECT

public:
    using QStatusBar::QStatusBar;
    std::function<void()> OnClick;
    // The simple-text panel.
    std::string SimpleText() const;
    void SetSimpleText(const std::string& Text);

protected:
    void mousePressEvent(QMouseEvent* Event) override;
};

class TTickerEdit : public QLineEdit {
    Q_OBJECT

public:
    using QLineEdit::QLineEdit;
    std::function<void()> OnDblClick;

protected:
    void mouseDoubleClickEvent(QMouseEvent* Event) override;
};

}  // namespace tilo
