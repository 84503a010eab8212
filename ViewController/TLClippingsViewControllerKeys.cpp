// The clippings panel's clicks and keys: what a double-click, an Alt-click and
// Return do with the action codes of the settings, the numbered rows, typing
// to search, the held-modifier marks of the rows, moving clippings within a
// list and sharing. TLClippingActionTable decides; this file carries it out.
#include "TLClippingsViewController.h"

#include <QCursor>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLineEdit>

#include <algorithm>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSDateCloudKit.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/MenuItem.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "views/NSSharingServicePickerMenu.h"
#include "views/TLClippingCellView.h"

namespace {

using Table = TLClippingActionTable;

std::shared_ptr<foundation::UserDefaults> settings() { return foundation::UserDefaults::applicationGroup(); }

bool isModifierKey(int key) {
    switch (key) {
    case Qt::Key_Control:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_Shift: return true;
    default: return false;
    }
}

// The modifiers held once a modifier key's event is through. X11 reports
// the state from before the event, and the desktop's own query lags behind
// the events (a press read as nothing held, its release as still held), so
// the key's own modifier is added on a press and taken away on a release.
Qt::KeyboardModifiers heldAfter(const QKeyEvent& key) {
    Qt::KeyboardModifiers own;
    switch (key.key()) {
    case Qt::Key_Control: own = Qt::ControlModifier; break;
    case Qt::Key_Alt: own = Qt::AltModifier; break;
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R: own = Qt::MetaModifier; break;
    case Qt::Key_Shift: own = Qt::ShiftModifier; break;
    default: break;
    }
    return key.type() == QEvent::KeyPress ? key.modifiers() | own : key.modifiers() & ~own;
}

// The table's key presses and releases that are not key downs: the modifier
// keys going down and up, and every key going up.
class KeyWatcher : public QObject {
public:
    KeyWatcher(TLClippingsViewController& panel, QObject* table) : QObject(&panel), panel_(panel) {
        table->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress && event->type() != QEvent::KeyRelease) return false;
        auto& key = static_cast<QKeyEvent&>(*event);
        if (isModifierKey(key.key())) panel_.flagsChanged(heldAfter(key));
        else if (event->type() == QEvent::KeyRelease && !key.isAutoRepeat()) panel_.keyUp();
        return false;
    }

private:
    TLClippingsViewController& panel_;
};

// The keys the table moves its selection with.
bool isTableKey(char16_t c) {
    using K = desktop::KeyEvent;
    return (c >= K::kUpArrowFunctionKey && c <= K::kRightArrowFunctionKey) || c == K::kHomeFunctionKey ||
           c == K::kEndFunctionKey || c == K::kPageUpFunctionKey || c == K::kPageDownFunctionKey;
}

}  // namespace

void TLClippingsViewController::setUpKeysAndMenus() {
    tableView_->setKeyEventDelegate(this);
    new KeyWatcher(*this, tableView_);
    QObject::connect(tableView_, &QAbstractItemView::doubleClicked, this,
                     [this](const QModelIndex& index) { tableViewRowDoubleClicked(index.row()); });
    tableView_->setMenu(contextMenu());
    setSettingsAction([this] { showAppMenu(); });
}

// --- Clicks and Return

void TLClippingsViewController::tableViewRowDoubleClicked(int row) {
    performClippingAction(Table::Input::DoubleClick, row, 0);
}

void TLClippingsViewController::tableViewOptionClickedRow(int row) {
    performClippingAction(Table::Input::OptionClick, row, 0);
}

void TLClippingsViewController::performClippingAction(Table::Input input, int row, uint64_t modifierFlags) {
    const bool isReturn = input == Table::Input::Return;
    if (!isReturn) {
        if (row < 0 || row >= int(shownRows().size())) return;
        selectRows({row});
    }
    auto suite = settings();
    const bool closes = suite->boolForKey(TLUserDefaultsCopyPasteClosesWindow);
    const int64_t code = suite->integerForKey(Table::settingsKey(input, modifierFlags));
    const Table::Action action = Table::action(input, code, closes, modifierFlags);
    if (action.needsPasteScript && !pasteScriptIsInstalled()) {
        showMissingScriptAlert("foreground");
        return;
    }
    bool passOn = false;
    auto popUp = [&](std::shared_ptr<desktop::Menu> menu) {
        if (!menu) {
            passOn = isReturn;
            return;
        }
        if (int first = tableView_->selectedRow(); first >= 0) tableView_->scrollTo(tableView_->model()->index(first, 0));
        poppedUpMenu_ = menu;
        menu->popUp(isReturn ? rowMenuPoint() : QCursor::pos());
    };
    switch (action.operation) {
    case Table::Operation::None: break;
    case Table::Operation::PassOn: passOn = true; break;
    case Table::Operation::Preview:
        later(Table::kPreviewDelay, [this, row] { previewClippingAtIndex(row); });
        break;
    case Table::Operation::Copy: copyClipping(); break;
    case Table::Operation::Paste: pasteItemsRetainingKey(!closes); break;
    case Table::Operation::CopyPlainText:
    case Table::Operation::PastePlainText:
        if (auto manager = pasteboardManager())
            manager->copyClippings(selectedClippings_, std::string("{text}"), manager->generalPasteboard(), false);
        if (action.operation == Table::Operation::CopyPlainText) break;
        if (closes) {
            closeWindow();
            pasteInActiveApp(false);
        } else {
            pasteInActiveApp(true);
        }
        break;
    case Table::Operation::CopyAsMenu: popUp(copyAsMenu(closes)); break;
    case Table::Operation::PasteAsMenu: popUp(pasteAsMenu(closes)); break;
    case Table::Operation::OpenURL: openURL(); break;
    }
    if (action.deletesSelectionLater)
        later(Table::kDeleteAfterReturnDelay, [this] { deleteClippings(selectedClippings_); });
    if (action.closesWindow) closeWindow();
    if (passOn && isReturn) returnPassedOn_ = true;
}

QPoint TLClippingsViewController::rowMenuPoint() const {
    const int row = tableView_->selectedRow();
    if (row < 0) return tableView_->viewport()->mapToGlobal(QPoint(0, 0));
    QRect rect = tableView_->visualRect(tableView_->model()->index(row, 0));
    return tableView_->viewport()->mapToGlobal(QPoint(rect.x() + rect.width() - 50, rect.y() + 30));
}

// --- Keys

bool TLClippingsViewController::tableViewHandleKeyDownEvent(TLTableView&, const desktop::KeyEvent& key) {
    if (key.character() == 0) return false;  // a modifier alone: KeyWatcher's
    const Table::KeyCommand move = Table::moveCommandForKey(key);
    if (move.key != Table::Key::PassOn) {
        if (list_ && !isSearching_ &&
            (move.key == Table::Key::MoveUp ? moveSelectedClippingsIndexUp() : moveSelectedClippingsIndexDown()))
            return true;
        beep();
        return false;
    }
    if (isTableKey(key.character())) return false;
    return keyDown(key);
}

bool TLClippingsViewController::keyDown(const desktop::KeyEvent& key) {
    if (flags_ != 0) {
        flags_ = 0;
        later(kResignReloadDelay, [this] { refreshRowFlags(); });
    }
    Table::PanelState state;
    state.searching = isSearching_;
    state.selectedCount = int(selectedClippings_.size());
    state.listShown = list_ != nullptr;
    const Table::KeyCommand command = Table::commandForKey(key, state);
    using Key = Table::Key;
    switch (command.key) {
    case Key::None: return true;
    case Key::PassOn: return false;
    case Key::Beep: beep(); return true;
    case Key::SelectAll: tableView_->selectAll(); return true;
    case Key::Copy: copyClipping(); return true;
    case Key::Find:
        if (isSearching_ && searchField_) searchField_->setFocus(Qt::ShortcutFocusReason);
        else toggleSearch();
        return true;
    case Key::NextRow: selectAdjacentRow(true); return true;
    case Key::PreviousRow: selectAdjacentRow(false); return true;
    case Key::NewTextClipping: newTextClipping(); return true;
    case Key::ListsMenu: showTitleMenu(); return true;
    case Key::ListMenu: showTitleRightClickMenu(); return true;
    case Key::Merge: mergeSelectedClippings(); return true;
    case Key::OpenURL: openURL(); return true;
    case Key::Sync: syncButtonClicked(); return true;
    case Key::Paste: pasteItems(); return true;
    case Key::ToggleAttach: toggleAttachToMenuBar(); return true;
    case Key::CopyAsMenu: {
        auto menu = copyAsMenu(false);
        if (!menu) return false;
        tableView_->scrollTo(tableView_->model()->index(tableView_->selectedRow(), 0));
        poppedUpMenu_ = menu;
        menu->popUp(rowMenuPoint());
        return true;
    }
    case Key::AddToListMenu: {
        auto menu = listsMenu();
        if (!menu) {
            beep();
            return true;
        }
        poppedUpMenu_ = menu;
        menu->popUp(rowMenuPoint());
        return true;
    }
    case Key::NewList: createNewList(); return true;
    case Key::Share: shareSelectedClippings(); return true;
    case Key::Delete: deleteClipping(); return true;
    case Key::Escape:
        if (isSearching_) cancelSearchWithAnimation(false);
        else closeWindow();
        return true;
    case Key::Space: {
        if (presentedPopover_ && presentedPopover_->isShown()) {
            dismissPresentedPopover();
            return true;
        }
        const int row = tableView_->selectedRow();
        if (row < 0 || row >= int(shownRows().size())) return false;
        selectRows({row});
        previewClippingAtIndex(row);
        return true;
    }
    case Key::Return:
        returnPassedOn_ = false;
        performClippingAction(Table::Input::Return, -1, key.modifierFlags());
        return !std::exchange(returnPassedOn_, false);
    case Key::CopyRow: copyRow(command.number); return true;
    case Key::ChooseList: chooseListNumber(command.number); return true;
    case Key::StartSearch:
    case Key::TypeToSearch: typeToSearch(key.characters().trimmed()); return true;
    case Key::MoveUp:
    case Key::MoveDown: return false;  // the table asks for these first
    }
    return false;
}

void TLClippingsViewController::copyRow(int row) {
    if (row < 0 || row >= int(shownRows().size())) return;
    takeRow(row);
    auto suite = settings();
    if (!suite->boolForKey(TLUserDefaultsPasteNumberedShortcuts)) return;
    if (!pasteScriptIsInstalled()) {
        showMissingScriptAlert("foreground");
        return;
    }
    if (suite->boolForKey(TLUserDefaultsCopyPasteClosesWindow)) {
        closeWindow();
        pasteInActiveApp(false);
    } else {
        pasteInActiveApp(true);
    }
}

void TLClippingsViewController::chooseListNumber(int number) {
    if (number == 0) {
        selectList(nullptr);
        return;
    }
    auto lists = fetchLists();
    if (number > int(lists.size())) {
        beep();
        return;
    }
    selectList(lists[size_t(number - 1)]);
}

void TLClippingsViewController::selectAdjacentRow(bool next) {
    std::vector<int> rows;
    for (const auto& index : tableView_->selectionModel()->selectedRows()) rows.push_back(index.row());
    std::sort(rows.begin(), rows.end());
    int row = 0;
    if (!rows.empty()) {
        if (!next && rows.front() == 0) {
            beep();
            return;
        }
        row = next ? rows.back() + 1 : rows.front() - 1;
    }
    if (row >= int(shownRows().size())) {
        beep();
        return;
    }
    selectRows({row});
    tableView_->selectionModel()->setCurrentIndex(tableView_->model()->index(row, 0), QItemSelectionModel::NoUpdate);
    tableView_->scrollTo(tableView_->model()->index(row, 0));
}

void TLClippingsViewController::typeToSearch(const QString& text) {
    if (!isSearching_) {
        toggleSearchWithAnimation(false);
        if (!searchField_) return;
        searchField_->setText(text);
    } else {
        if (!searchField_) return;
        searchField_->setText(searchField_->text() + text);
        searchField_->setFocus(Qt::OtherFocusReason);
        searchField_->end(false);
    }
    // Typing on while searching narrows the results too.
    fetchResults();
}

// --- Held modifiers

void TLClippingsViewController::flagsChanged(Qt::KeyboardModifiers modifiers) {
    if (configuration_.keyboardModifiers) modifiers = configuration_.keyboardModifiers();
    const Qt::KeyboardModifiers held =
        modifiers & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier | Qt::ShiftModifier);
    const uint64_t alone = held == Qt::ControlModifier ? desktop::KeyEvent::kCommandKeyMask
                           : held == Qt::AltModifier   ? desktop::KeyEvent::kAlternateKeyMask
                           : held == Qt::MetaModifier  ? desktop::KeyEvent::kControlKeyMask
                                                       : 0;
    if (alone != 0) {
        flags_ = alone;
        refreshRowFlags();
    } else if (flags_ != 0) {
        flags_ = 0;
        refreshRowFlags();
    }
}

void TLClippingsViewController::keyUp() {
    if (flags_ == 0) return;
    flags_ = 0;
    refreshRowFlags();
}

void TLClippingsViewController::refreshRowFlags() {
    // Only the cells that exist: none is made for this.
    for (int row = 0; row < int(shownRows().size()); ++row)
        if (TLClippingCellView* cell = tableView_->viewAtRow(row, false)) {
            cell->setFlags(flags_);
            cell->setRow(row);
            cell->updateClippingIcon();
        }
}

// --- Moving within a list

bool TLClippingsViewController::moveSelectedClippingsIndexUp() { return moveSelectedClippings(true); }

bool TLClippingsViewController::moveSelectedClippingsIndexDown() { return moveSelectedClippings(false); }

bool TLClippingsViewController::moveSelectedClippings(bool up) {
    if (!list_ || isSearching_) return false;
    std::vector<std::shared_ptr<Clipping>> all;
    for (const auto& object : clippingsController().fetchedObjects())
        if (auto clipping = std::dynamic_pointer_cast<Clipping>(object)) all.push_back(clipping);
    std::vector<std::shared_ptr<Clipping>> moved = selectedClippings_;
    if (moved.empty() || moved.size() >= all.size()) return false;
    std::stable_sort(moved.begin(), moved.end(),
                     [](const auto& a, const auto& b) { return a->index() < b->index(); });
    auto positionOf = [&](const std::shared_ptr<Clipping>& clipping) {
        return int(std::find(all.begin(), all.end(), clipping) - all.begin());
    };
    const int k = int(moved.size());
    int target;
    if (up) {
        target = std::max(0, positionOf(moved.front()) - 1);
    } else {
        int last = std::min(positionOf(moved.back()) + 1, int(all.size()) - 1);
        target = last - k + 1;
    }
    std::erase_if(all, [&](const auto& clipping) { return std::find(moved.begin(), moved.end(), clipping) != moved.end(); });
    target = std::clamp(target, 0, int(all.size()));
    all.insert(all.begin() + target, moved.begin(), moved.end());
    for (size_t i = 0; i < all.size(); ++i)
        if (all[i]->index() != int64_t(i)) {
            all[i]->setIndex(int64_t(i));
            all[i]->setModifiedDate(NSDateCloudKit::currentServerDate());
            all[i]->setSync(true);
        }
    manualUpdate_ = true;
    if (auto main = context(); main && main->hasChanges()) {
        auto saved = configuration_.saveContext ? configuration_.saveContext(*main) : main->save();
        if (!saved) {
            beep();
            TLLogError(TLLogContextGeneral, "%@", saved.error().description());
        }
    }
    manualUpdate_ = false;
    refetchRows();
    std::vector<int> rows;
    for (const auto& clipping : moved) {
        auto at = std::find(shownRows().begin(), shownRows().end(), clipping);
        if (at != shownRows().end()) rows.push_back(int(at - shownRows().begin()));
    }
    if (target < int(shownRows().size())) tableView_->scrollTo(tableView_->model()->index(target, 0));
    selectRows(rows);
    return true;
}

// --- Sharing

std::vector<desktop::SharingItem> TLClippingsViewController::sharingItemsForSelection() const {
    std::vector<desktop::SharingItem> items;
    for (const auto& clipping : selectedClippings_) {
        if (auto image = clipping->image(); image && !image->empty()) {
            if (auto url = clipping->URLForImageAssetAtIndex(0)) {
                QImage picture(QString::fromStdString(url->filePath().string()));
                if (!picture.isNull()) items.push_back(desktop::SharingItem::withImage(picture));
            }
        } else if (auto url = clipping->url(); url && !url->empty()) {
            items.push_back(desktop::SharingItem::withURL(QString::fromStdString(*url)));
        } else if (auto text = clipping->text(); text && !text->empty()) {
            items.push_back(desktop::SharingItem::withText(QString::fromStdString(*text)));
        }
    }
    return items;
}

void TLClippingsViewController::shareSelectedClippings() {
    auto items = sharingItemsForSelection();
    std::shared_ptr<desktop::Menu> menu;
    if (!items.empty())
        menu = NSSharingServicePickerMenu::menuForSharingItems(
            items,
            [items](desktop::MenuItem& sender) {
                const auto* service = std::any_cast<std::shared_ptr<desktop::SharingService>>(&sender.representedObject());
                if (service && *service) (*service)->performWithItems(items);
            },
            sharingDelegate_);
    if (!menu) {
        beep();
        return;
    }
    const int row = tableView_->selectedRow();
    if (row >= 0) tableView_->scrollTo(tableView_->model()->index(row, 0));
    sharingMenu_ = menu;
    QPoint at = tableView_->viewport()->mapToGlobal(QPoint(0, 0));
    if (row >= 0) {
        QRect rect = tableView_->visualRect(tableView_->model()->index(row, 0));
        at = tableView_->viewport()->mapToGlobal(QPoint(rect.x() + rect.width() - 50, rect.y()));
    }
    menu->popUp(at);
}
