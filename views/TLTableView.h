#pragma once
// The browser's table. A key goes first to the key-event delegate, which may
// take it; otherwise the table handles the keys that move the selection (the
// arrows, Page Up and Down, Home and End, select all) and passes every other
// key up to the views around it, so Qt's own item-view keys are off: its Copy
// (which writes the row's text without the clipping's private type, so capture
// would take it for new content), type-to-select, Space and Return. Then the
// delegate hears of the key. Main queue only.
#include <QTableView>

#include "platform/desktop/KeyEvent.h"

class TLTableView;

class TLTableViewKeyEventDelegate {
public:
    virtual ~TLTableViewKeyEventDelegate() = default;
    // True when the delegate has handled the key: the table does nothing more.
    virtual bool tableViewHandleKeyDownEvent(TLTableView&, const desktop::KeyEvent&) { return false; }
    // Told after the table's own handling.
    virtual void tableViewKeyDown(TLTableView&, const desktop::KeyEvent&) {}
};

class TLTableView : public QTableView {
public:
    explicit TLTableView(QWidget* parent = nullptr);

    // Borrowed: the delegate clears itself before it goes.
    TLTableViewKeyEventDelegate* keyEventDelegate() const { return keyEventDelegate_; }
    void setKeyEventDelegate(TLTableViewKeyEventDelegate* delegate) { keyEventDelegate_ = delegate; }

    // Type-to-select is off.
    void keyboardSearch(const QString&) override {}

protected:
    void keyPressEvent(QKeyEvent* event) override;
    // Home and End go to the first and last row, as in a list (a table's own
    // Home and End stay in the row, which a one-column table makes no move).
    QModelIndex moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) override;

private:
    TLTableViewKeyEventDelegate* keyEventDelegate_ = nullptr;
};
