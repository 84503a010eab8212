#include "TLTableView.h"

#include <QKeyEvent>

namespace {

// The keys the table itself handles; every other one goes to the views around it.
bool movesSelection(const QKeyEvent& event) {
    switch (event.key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_Left:
    case Qt::Key_Right:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End: return true;
    default: return event.matches(QKeySequence::SelectAll);
    }
}

}  // namespace

TLTableView::TLTableView(QWidget* parent) : QTableView(parent) {
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setTabKeyNavigation(false);
}

void TLTableView::keyPressEvent(QKeyEvent* event) {
    desktop::KeyEvent key = desktop::KeyEvent::fromQKeyEvent(*event);
    if (keyEventDelegate_ && keyEventDelegate_->tableViewHandleKeyDownEvent(*this, key)) {
        event->accept();
        return;
    }
    if (movesSelection(*event)) QTableView::keyPressEvent(event);
    else event->ignore();
    if (keyEventDelegate_) keyEventDelegate_->tableViewKeyDown(*this, key);
}

QModelIndex TLTableView::moveCursor(CursorAction action, Qt::KeyboardModifiers modifiers) {
    if (action == MoveHome || action == MoveEnd) modifiers |= Qt::ControlModifier;
    return QTableView::moveCursor(action, modifiers);
}
