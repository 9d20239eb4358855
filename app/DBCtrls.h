// The data-aware memo and navigator, and the field link they and the grid stand on.
//
// - TFieldDataLink watches one field of a data source: the field is resolved by name
//   whenever the link becomes active or the layout changes, and OnDataChange runs for
//   every change of the current record, of the whole window, a scroll, and a record
//   change of that field or of nil (all fields); a change of another field is ignored.
// - TDBMemo shows the text of its field in the current record, read once per such
//   event and never while painting (it paints its own document); empty when detached,
//   closed, on an empty dataset or for Null.
// - TDBNavigator moves through the dataset and deletes; its buttons follow the
//   dataset's position and state through its link alone.
// Exceptions raised by the dataset inside a control's event handler go to the
// application's exception event (HandleControlException), as every handler's do.
#pragma once

#include <QPlainTextEdit>
#include <QToolBar>

#include <array>
#include <functional>
#include <memory>
#include <string>

#include "classlib/DB.h"

class QAction;
class QToolButton;

namespace tilo {

// Hands the exception being handled to the application's exception event with Sender's
// class name (standard error without one). Call it only inside a catch.
void HandleControlException(const QObject* Sender);
// Runs Action; an exception goes to HandleControlException. True when it succeeded.
bool GuardedAction(const QObject* Sender, const std::function<void()>& Action);

class TFieldDataLink : public classlib::TDataLink {
public:
    const std::string& FieldName() const { return FFieldName; }
    void SetFieldName(const std::string& Value);
    classlib::TField* Field() const { return FField; }

    std::function<void()> OnDataChange;
    std::function<void()> OnActiveChange;
    std::function<void()> OnEditingChange;

protected:
    void ActiveChanged() override;
    void LayoutChanged() override;
    void RecordChanged(classlib::TField* Field) override;
    void EditingChanged() override;

private:
    void Resolve();
    std::string FFieldName;
    classlib::TField* FField = nullptr;
};

class TDBMemo : public QPlainTextEdit {
    Q_OBJECT

public:
    explicit TDBMemo(QWidget* Parent = nullptr);
    ~TDBMemo() override;

    classlib::TDataSource* DataSource() const { return FDataLink->DataSource(); }
    void SetDataSource(classlib::TDataSource* Value) { FDataLink->SetDataSource(Value); }
    const std::string& DataField() const { return FDataLink->FieldName(); }
    void SetDataField(const std::string& Value) { FDataLink->SetFieldName(Value); }
    classlib::TField* Field() const { return FDataLink->Field(); }
    TFieldDataLink& DataLink() { return *FDataLink; }

private:
    void LoadMemo();
    std::unique_ptr<TFieldDataLink> FDataLink;
};

// The navigator's buttons in the class library's order; the pages use the first four
// and Delete, so only those are built.
enum TNavigateBtn { nbFirst, nbPrior, nbNext, nbLast, nbInsert, nbDelete, nbEdit, nbPost, nbCancel, nbRefresh };

class TNavDataLink;

class TDBNavigator : public QToolBar {
    Q_OBJECT

public:
    explicit TDBNavigator(QWidget* Parent = nullptr);
    ~TDBNavigator() override;

    classlib::TDataSource* DataSource() const;
    void SetDataSource(classlib::TDataSource* Value);
    // Ask "Delete record?" before deleting; on by default.
    bool ConfirmDelete = true;
    // Runs after each button's action (after a declined delete too), not after one that raised.
    std::function<void(TNavigateBtn Button)> OnClick;

    // The button's action, then OnClick; a button not built does nothing.
    void BtnClick(TNavigateBtn Button);
    // nullptr for a button not built.
    QAction* Action(TNavigateBtn Button) const;
    QToolButton* Button(TNavigateBtn Button) const;
    bool ButtonEnabled(TNavigateBtn Button) const;

private:
    friend class TNavDataLink;
    void UpdateButtons();
    std::unique_ptr<TNavDataLink> FDataLink;
    std::array<QAction*, nbRefresh + 1> FActions{};
};

}  // namespace tilo
