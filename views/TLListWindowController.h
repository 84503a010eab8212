#pragma once
// The sheet that names a new list or renames one: a name field, Cancel and
// Save, window-modal on the panel's window and 60 px below its top. Return
// saves; an empty name beeps and the sheet stays. A save that fails shows its
// error as an alert sheet on this sheet and beeps, and the sheet stays.
//
// Nothing the user gives up on is stored later: Cancel, or a failed save of a
// new list, takes the inserted list out of the context again, and Cancel
// after a rename that could not be saved puts the list's stored values back;
// otherwise the context's next save (the next capture's) would store them.
//
// The sheet ends itself when its list is deleted elsewhere (sync), at the
// main context's next save. Main queue only.
#include <QObject>
#include <QDialog>
#include <QPointer>

#include <functional>
#include <memory>

#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"

class List;
class QLabel;
class QLineEdit;
class QPushButton;
namespace desktop {
class Alert;
}
namespace store {
class Context;
}

class TLListWindowController : public QObject {
public:
    using SaveContext = std::function<foundation::Result<void>(store::Context&)>;

    // list: the list to rename; null to make a new one. context: the store's
    // main context, which the sheet edits and saves (through saveContext when
    // given).
    TLListWindowController(std::shared_ptr<store::Context> context, std::shared_ptr<List> list,
                           SaveContext saveContext = {});
    ~TLListWindowController() override;

    // The list being renamed, or the new one once it has been saved.
    const std::shared_ptr<List>& list() const { return list_; }
    QDialog* window() const;
    QLineEdit* textField() const { return textField_; }
    // The error alert on show; null when none.
    desktop::Alert* errorAlert() const { return errorAlert_.get(); }

    // Shows the sheet on the window; ended runs once when the sheet ends
    // (saved, cancelled, or its list deleted elsewhere), after the sheet's own
    // call has returned.
    void beginSheetModalForWindow(QWidget* window, std::function<void()> ended);
    bool isSheetShowing() const;

    void windowDidLoad();
    void save();
    void cancel();
    void managedObjectContextWillSave(const foundation::Notification& notification);

    static int beepCount();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void endSheet();
    // Takes back an unsaved new list, or a rename the store refused.
    void forgetUnsavedEdit();

    std::shared_ptr<store::Context> context_;
    std::shared_ptr<List> list_;
    bool inserted_ = false;  // list_ was made by this sheet and is not stored yet
    SaveContext saveContext_;
    QPointer<QDialog> window_;  // a child of the panel's window, deleted with this
    QLineEdit* textField_ = nullptr;
    QLabel* titleLabel_ = nullptr;
    std::unique_ptr<desktop::Alert> errorAlert_;
    std::function<void()> ended_;
    foundation::ObserverRegistration willSaveObserver_;
    std::shared_ptr<int> lifetime_ = std::make_shared<int>(0);
};
