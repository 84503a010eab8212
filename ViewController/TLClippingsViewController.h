#pragma once
// The content of the browser window: a header with the title (the header's
// middle third) and the search, sync and settings buttons; the table of
// clippings; a footer with the clipping count; an empty-state picture when
// the table has nothing to show. Its children carry their outlet names as
// object names ("tableView", "headerView", "titleView", "footerLabel" ...).
//
// The panel keeps a live fetch of the main history (or of one list) over the
// store's main context, and its table model mirrors exactly the rows shown:
// in the main history without a search, the first min(count, limit) fetched
// clippings (every one when the limit is 0 or less). The model changes only
// through the panel's own insert, remove and move calls, made once per change
// batch so that the rows shown equal that prefix after every report.
//
// Row heights live in the table's vertical header. Only rows within two
// screens of the viewport are asked for: an unmeasured row takes a
// placeholder at once and its measurement is queued (one clipping at a time,
// off the main thread, on values read on the main thread), then stored in the
// height cache and applied to the row that clipping is on when it lands. A
// clipping that cannot be measured stores the minimum height, so it is never
// queued again.
//
// Thumbnails of image clippings decode one at a time off the main thread,
// scaled while decoding and within a 64 MiB allocation limit, into a cache of
// at most 64 MiB; a PDF shows its first page.
//
// Searching narrows the fetch to the clippings whose text, link, source or
// page title (and, in the main history, list name) hold the search text,
// ignoring case and diacritics; the header then shows the search field in
// place of the title. The title's menu chooses the main history or a list and
// makes new lists; its right-click menu renames or deletes the list on show
// (TLClippingsViewControllerSearch.cpp and TLClippingsViewControllerLists.cpp).
//
// Main queue only, except where an operation says otherwise.
#include <QCache>
#include <QColor>
#include <QImage>
#include <QLineEdit>
#include <QRect>
#include <QSizeF>
#include <QString>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "kit/FRFetchedResultsController.h"
#include "platform/desktop/Popover.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Result.h"
#include "platform/store/FetchRequest.h"
#include "views/TLClippingsTableView.h"
#include "views/TLTavloWindowController.h"
#include "TLClippingActionTable.h"
#include "platform/desktop/SharingServices.h"

class Clipping;
class List;
class QAbstractButton;
class QGraphicsOpacityEffect;
class QKeyEvent;
class QLabel;
class QMimeData;
class QVariantAnimation;
class TLClippingCellView;
class TLClippingPopoverViewController;
class TLMergeWindowController;
class TLImageView;
class TLListWindowController;
class TLPasteboardManager;
class TLTitleView;
class TLView;
namespace desktop {
class Alert;
class Animation;
class FrontApplication;
class Menu;
class MenuItem;
class UserNotificationCenter;
}  // namespace desktop
namespace dispatch {
class Queue;
}
namespace store {
class Context;
}

class TLClippingsViewController : public QWidget,
                                  public TLTavloWindowContent,
                                  public FRFetchedResultsControllerDelegate,
                                  public TLClippingTableViewMouseEventDelegate,
                                  public TLTableViewKeyEventDelegate {
public:
    struct Configuration {
        // The store's main context; none: TLDatabaseManager's shared one.
        std::shared_ptr<store::Context> context;
        // The clippings on the clipboard now; none: the shared pasteboard manager's.
        std::function<std::optional<std::vector<std::string>>()> pasteboardClippingIDs;
        // Deletes clippings and trims the history, puts new clippings on the
        // clipboard and fetches their titles; none: the shared pasteboard manager.
        std::shared_ptr<TLPasteboardManager> pasteboardManager;
        // How the main context is saved (a repaired clipping, the list sheet);
        // none: its own save. A repair's errors are ignored: it stays among the
        // context's unsaved changes for its next save.
        std::function<foundation::Result<void>(store::Context&)> saveContext;
        // Tells the window a paste goes to; none: the pasteboard manager's.
        std::shared_ptr<desktop::FrontApplication> frontApplication;
        // The keys held now; none: the X server's (for a modifier key's own
        // event, the keys its event says are held after it).
        std::function<Qt::KeyboardModifiers()> keyboardModifiers;
    };

    static constexpr double kSelectNewRowDelay = 0.5;
    static constexpr double kReloadRowDelay = 0.5;
    static constexpr double kResignReloadDelay = 0.3;
    static constexpr double kSyncTurnSeconds = 1.5;
    static constexpr double kPruneDelay = 10;
    // Rows fetched and shown before a long history's whole fetch.
    static constexpr int kFirstScreenRows = 200;
    static constexpr int kHeaderHeight = 44;
    static constexpr int kFooterHeight = 28;
    static constexpr double kTextInset = 52;  // the text width is the panel's less this
    static constexpr double kMeasureBox = 300;
    static constexpr int kMeasuredCharacters = 500;
    static constexpr qsizetype kImageCacheBytes = qsizetype(64) << 20;
    static constexpr int kDecodeLimitMiB = 64;
    static constexpr int kDefaultHistoryLimit = 100;
    static constexpr int kDefaultRowLines = 8;
    static constexpr double kSearchAnimationSeconds = 0.2;

    explicit TLClippingsViewController(Configuration configuration = {}, QWidget* parent = nullptr);
    ~TLClippingsViewController() override;

    // --- What the window asks.
    QWidget* view() override { return this; }
    bool canHideWindow() const override { return true; }
    bool isSearching() const override { return isSearching_; }
    QLineEdit* searchField() const override { return searchField_; }

    // --- State.
    const std::shared_ptr<List>& list() const { return list_; }
    void setList(std::shared_ptr<List> list) { list_ = std::move(list); }
    const std::optional<std::string>& searchString() const { return searchString_; }
    void setSearchString(std::optional<std::string> text) { searchString_ = std::move(text); }
    void setIsSearching(bool searching) { isSearching_ = searching; }
    // Built and fetched on first read after a reset.
    FRFetchedResultsController& clippingsController();
    // Drops the controller; the next read fetches anew.
    void resetClippingsController();
    // The selection in the order its rows were selected.
    const std::vector<std::shared_ptr<Clipping>>& selectedClippings() const { return selectedClippings_; }
    int64_t nextClippingIndex() const { return nextClippingIndex_; }
    void setNextClippingIndex(int64_t index) { nextClippingIndex_ = index; }
    uint64_t flags() const { return flags_; }
    void setFlags(uint64_t flags) { flags_ = flags; }
    bool isDarkMode() const { return isDarkMode_; }
    bool manualUpdate() const { return manualUpdate_; }
    void setManualUpdate(bool manual) { manualUpdate_ = manual; }
    double maxHeight() const { return maxHeight_; }
    void setMaxHeight(double height) { maxHeight_ = height; }
    bool syncing() const { return syncing_; }

    // --- Outlets.
    TLClippingsTableView* tableView() const { return tableView_; }
    TLView* headerView() const { return headerView_; }
    TLView* footerView() const { return footerView_; }
    TLTitleView* titleView() const { return titleView_; }
    QLabel* footerLabel() const { return footerLabel_; }
    QAbstractButton* searchButton() const { return searchButton_; }
    // Made with the first search.
    QAbstractButton* cancelSearchButton() const { return cancelSearchButton_; }
    QAbstractButton* syncButton() const { return syncButton_; }
    QAbstractButton* settingsButton() const { return settingsButton_; }
    TLImageView* emptyStateImageView() const { return emptyStateImageView_; }
    bool isShowingEmptyState() const;

    // --- Actions others give the panel's controls: the settings button, and
    // the sync the sync button asks for (it calls its completion when the
    // sync is over).
    void setSettingsAction(std::function<void()> action);
    void setSyncAction(std::function<void(std::function<void()> completion)> action) { syncAction_ = std::move(action); }

    // --- Set-up, observers, appearance and status.
    void viewWillAppear();
    void windowActivated();
    void windowDidResignKey();
    void updateAppearance();
    void rowHeightChanged();
    // Any thread: the marks are set on the main queue.
    void clipboardUpdated();
    // Any thread: a status text starts the sync button turning, none lets it stop.
    void showStatus(std::optional<std::string> status);
    void startAnimatingSyncButton();
    bool isSyncButtonAnimating() const;
    void syncButtonClicked();
    void syncWithiCloud();
    void syncEnabled();
    void syncDisabled();
    void fetchClippings();
    void updateFooterText();
    void showEmptyState();
    void hideEmptyState();

    // --- Search (TLClippingsViewControllerSearch.cpp).
    // The search button.
    void toggleSearch() { toggleSearchWithAnimation(true); }
    // Shows the search field in the title's place and starts an empty search;
    // while searching, gives the field the keyboard again.
    void toggleSearchWithAnimation(bool animated);
    // Ends the search: the title and the whole history or list come back.
    void cancelSearchWithAnimation(bool animated);
    // The cancel button.
    void cancelSearch() { cancelSearchWithAnimation(true); }
    // The user changed the field's text (typing, pasting, undoing); code that
    // sets the text calls fetchResults() itself.
    void controlTextDidChange();
    // Fetches the clippings holding the field's text, unless that search is on show.
    void fetchResults();
    // The search field's own keys; true when the key was taken.
    bool searchFieldKeyPress(const QKeyEvent& event);
    void showPreferencesWindow();
    // How often the panel has beeped (a key or an action with nothing to act on).
    static int beepCount();

    // --- Lists (TLClippingsViewControllerLists.cpp).
    // The title's menu: the main history, the lists by name, "New List...".
    void showTitleMenu();
    void switchToList(desktop::MenuItem& sender);
    // Shows the list, or the main history for null; capture follows the choice.
    void selectList(std::shared_ptr<List> list);
    void createNewList();
    // The title's right-click menu, with a list on show: rename and delete.
    void showTitleRightClickMenu();
    void renameList();
    void deleteList();
    // The menu shown last from the title (kept while it shows).
    const std::shared_ptr<desktop::Menu>& titleMenu() const { return titleMenu_; }
    // The list sheet on show; null when none.
    TLListWindowController* listWindowController() const { return listWindowController_.get(); }

    // --- Data source and row heights.
    // The rows shown: the fetched count, capped by the history limit in the
    // main history without a search (no cap for a limit of 0 or less).
    int64_t numberOfRows();
    // The clipping shown at the row; null outside the rows.
    std::shared_ptr<Clipping> clippingAtRow(int row) const;
    // Sets the cell's fields for the row.
    void configureCell(TLClippingCellView& cell, int row);
    // The row's height, a whole number; queues the measurement of an
    // unmeasured clipping and answers its placeholder.
    int heightOfRow(int row);
    // Gives the rows within two screens of the viewport their heights.
    void updateVisibleRowHeights();
    // Clippings whose measurement is queued and not yet landed.
    size_t pendingMeasurements() const { return pendingMeasurements_.size(); }
    // Runs inside every measurement, on the measuring queue (for tests).
    void setMeasurementObserver(std::function<void()> observer) { measurementObserver_ = std::move(observer); }

    // --- Preview and merge (TLClippingsViewControllerPreview.cpp).
    static constexpr double kPreviewScrollDelay = 0.5;
    static constexpr int kPreviewAnchorInset = 7;
    static constexpr double kPopoverRoomMargin = 18;
    // The narrowest a popover gets: with no room beside the window it overlaps it.
    static constexpr double kPopoverMinimumMaxWidth = 480;
    struct PopoverPlacement {
        bool onRight = true;  // else on the row's left
        double maxWidth = kPopoverMinimumMaxWidth;
    };
    // Where the detail popover of a window at window goes on screen: the side
    // with more room (the right on a tie), as wide as that room allows.
    static PopoverPlacement popoverPlacement(const QRect& screen, const QRect& window);
    // Opens the detail popover beside the row, after scrolling it into view
    // (half a second later when it had to scroll).
    void previewClippingAtIndex(int row);
    // The first selected clipping's row.
    void previewClipping();
    // The merge sheet for the selection (two or more clippings, each with a
    // text or a link; else a beep).
    void mergeSelectedClippings();
    // The sheet that makes a new text clipping.
    void newTextClipping();
    // Closes the detail popover, if one shows.
    void dismissPresentedPopover();
    desktop::Popover* presentedPopover() const { return presentedPopover_.get(); }
    TLClippingPopoverViewController* presentedPopoverViewController() const { return presentedPopoverViewController_; }
    TLMergeWindowController* mergeWindowController() const { return mergeWindowController_; }

    // --- Copy and paste (TLClippingsViewControllerPaste.cpp).
    static constexpr double kModifierPollInterval = 0.25;
    static constexpr double kPasteDelay = 0.05;
    // The name the paste script's failure is logged under.
    static constexpr const char* kPasteCompletionName = "-[TLClippingsViewController pasteInActiveApp:]_block_invoke";
    // Puts the paste keys into the window the user worked in before ours:
    // waits while Shift, Ctrl, Alt or Super is held (checking every 0.25 s),
    // then 0.05 s more, and runs the paste script once the clipboard holds
    // what was copied before. With retainKey the window steps back while the
    // script runs (TLPanelTemporarilyResignKey) and returns after it
    // (TLPanelRegainKeyWindow), whatever the script did.
    void pasteInActiveApp(bool retainKey);
    // Whether a paste script this program runs is installed.
    static bool pasteScriptIsInstalled();
    // The sheet saying a paste needs the paste script; its first button
    // installs the bundle's. wording: "foreground" or "active" application.
    void showMissingScriptAlert(const std::string& wording = "foreground");
    desktop::Alert* missingScriptAlert() const { return missingScriptAlert_.get(); }

    // The selection onto the clipboard, in the order it was selected. In the
    // whole history its rows move to the top at once (unless the history is
    // sorted by the date clippings were added) and stay selected.
    void copyClipping();
    // The selection into the window before ours; without a paste script, the
    // sheet that offers one.
    void pasteItems();
    // Copies and pastes, unless no window of another application was active
    // before ours (a beep; the clipboard is left alone).
    void pasteItemsRetainingKey(bool retainKey);
    // Opens each selected clipping's link (or source) that has a scheme and a
    // host; a beep when none opened.
    void openURL();
    // The sender's list (its represented object) gains the selection at its
    // end, or loses it when the whole selection is in it already.
    void addToList(desktop::MenuItem& sender);
    // Deletes the selection and selects the row that took the first one's place.
    void deleteClipping();
    static constexpr double kReselectAfterDeleteDelay = 0.01;
    // Deletes the clippings in one save; a failed save shows its error in a
    // sheet and beeps, and nothing is lost.
    void deleteClippings(const std::vector<std::shared_ptr<Clipping>>& clippings);
    desktop::Alert* deleteErrorAlert() const { return deleteErrorAlert_.get(); }
    // Closes the window the panel is in (the window's controller says how).
    void setCloseWindowAction(std::function<void()> action) { closeWindowAction_ = std::move(action); }

    // --- Copy As, Paste As and the lists (TLClippingsViewControllerPaste.cpp).
    // The copy templates that fit the one selected clipping; null unless one
    // clipping is selected and some template fits. Items are tagged 1 when
    // the window closes after them; each represents {format: clipping}.
    using TemplateChoice = std::map<std::string, std::shared_ptr<Clipping>>;
    std::shared_ptr<desktop::Menu> copyAsMenu(bool closesWindow = false);
    std::shared_ptr<desktop::Menu> pasteAsMenu(bool closesWindow = false);
    void copyWithTemplate(desktop::MenuItem& sender);
    void pasteWithTemplate(desktop::MenuItem& sender);
    // Every list by name, on when the selection is wholly in it, mixed when
    // partly; null when there are no lists.
    std::shared_ptr<desktop::Menu> listsMenu();
    static constexpr int kListsMenuMinimumWidth = 120;

    // --- Drag and drop (TLClippingsViewControllerDrag.cpp).
    static constexpr int kMostDraggedRows = 25;
    // The data of a drag of these rows: the clippings as a copy writes them
    // (the private type, their joined text, their images), with the selection
    // made those rows unless they hold it. Null (and a beep) past 25 rows.
    // Tells TLClippingTableViewBeginDraggingNotification.
    std::unique_ptr<QMimeData> writeRowsForDrag(const std::vector<int>& rows);
    // The row a drop at position (the table's viewport) goes before: the row
    // above an edge between two rows, the row count below the last row; -1
    // onto the middle of a row.
    int dropRowAt(const QPoint& position) const;
    // Whether a drop from source before row is taken: only rows of this
    // table, into a list shown whole (not while searching), between rows.
    bool validateDrop(const QObject* source, int row) const;
    // Moves the selection before row r of the list shown (to its end past the
    // last row), numbers the list 0, 1, ... and saves; a failed save beeps and
    // is logged, the rows keep their new order.
    bool acceptDrop(int row);
    // The line between rows where a drag over the table would drop its rows;
    // hidden unless such a drag is over a place that takes it.
    QWidget* dropIndicator() const { return dropIndicator_; }

    // --- Clicks, keys and menus (TLClippingsViewControllerKeys.cpp, TLClippingsViewControllerMenus.cpp).
    // A double-click and an Alt-click on a row, and Return, carry out the
    // action code their setting holds (TLClippingActionTable); Return's
    // setting follows the modifiers held.
    void tableViewRowDoubleClicked(int row);
    void tableViewOptionClickedRow(int row);
    // A key pressed in the table and not taken by it; false when the panel
    // passes it on to the window.
    bool keyDown(const desktop::KeyEvent& key);
    void keyUp();
    // A modifier key pressed or released, with the modifiers held after it:
    // the rows show their shortcuts while exactly one of Ctrl, Alt or Super
    // is held.
    void flagsChanged(Qt::KeyboardModifiers modifiers);
    bool tableViewHandleKeyDownEvent(TLTableView& table, const desktop::KeyEvent& key) override;
    // Move the selected clippings of the list on show one place up or down,
    // as one block, and number the list anew; false when nothing could move.
    bool moveSelectedClippingsIndexUp();
    bool moveSelectedClippingsIndexDown();
    // The sharing services for the selection, at the first selected row.
    void shareSelectedClippings();
    const std::shared_ptr<desktop::Menu>& sharingMenu() const { return sharingMenu_; }
    // The menu a key or click popped up last (Copy As, Paste As, Add to List).
    const std::shared_ptr<desktop::Menu>& poppedUpMenu() const { return poppedUpMenu_; }
    // The rows' right-click menu and the settings button's menu, brought up
    // to date before they open.
    const std::shared_ptr<desktop::Menu>& contextMenu();
    const std::shared_ptr<desktop::Menu>& appMenu();
    void menuWillOpen(desktop::Menu& menu);
    void showAppMenu();
    // The application menu's actions.
    void captureClipboardHistory();
    void saveClipboard();
    void clearClipboard();
    void togglePlainTextMode();
    void toggleAttachToMenuBar();
    void keepWindowAfloat();
    // How the window floats (the window's controller says); none: the setting alone flips.
    void setKeepWindowAfloatAction(std::function<void()> action) { keepWindowAfloatAction_ = std::move(action); }
    void showAbout();
    void quitApplication();
    void showFAQ();
    void contactSupport();
    void rateOnAppStore();
    void getTavloForiOS();
    void visitTavloWebpage();
    void followTavloSocial();
    void followCompanySocial() { followTavloSocial(); }
    // The support mail address built from the bundle's support address; empty without one.
    static std::string supportMailto();
    // The saved check and item count the application menu's states come from.
    struct ClipboardState {
        bool saved = true;
        size_t items = 0;
    };
    void setClipboardStateForMenus(std::function<ClipboardState()> state) { clipboardState_ = std::move(state); }

    // --- Fetch request and change handling.
    std::shared_ptr<const store::Predicate> clippingsControllerPredicate() const;
    store::SortDescriptors clippingsControllerSortDescriptors() const;
    std::shared_ptr<store::FetchRequest> clippingsControllerFetchRequest() const;

    void controllerWillChangeContent(FRFetchedResultsController& controller) override;
    void controller(FRFetchedResultsController& controller, const std::shared_ptr<store::ManagedObject>& object,
                    uint64_t atIndex, FRFetchedResultsChangeType type, uint64_t newIndex) override;
    void controllerDidChangeContent(FRFetchedResultsController& controller) override;
    bool implementsControllerWillChangeContent() const override { return true; }
    bool implementsControllerDidChangeObject() const override { return true; }
    bool implementsControllerDidChangeContent() const override { return true; }

    // --- Selection and scrolling.
    void tableViewSelectionDidChange();
    void scrollViewDidScroll();
    // Told when the table scrolls (the detail popover closes on it).
    void setScrollAction(std::function<void()> action) { scrollAction_ = std::move(action); }
    void tableViewOptionClickedRow(TLClippingsTableView& table, int row) override;
    bool implementsTableViewOptionClickedRow() const override { return true; }

    // --- Thumbnails.
    void loadThumbnailForClipping(const std::shared_ptr<Clipping>& clipping);
    // The cached thumbnail of a clipping; null when none.
    QImage cachedThumbnail(const std::string& clippingID) const;
    // The thumbnail of an image file for a panel of that width: decoded
    // scaled, within the allocation limit; a PDF's first page; null when
    // the file cannot be read. Any thread.
    static QImage thumbnailForFile(const QString& path, double panelWidth);
    // The pixel size of an image file (a PDF's first page in points); empty
    // when it cannot be read. Any thread.
    static QSizeF imageSizeOfFile(const QString& path);
    // Waits until every queued measurement has run (for tests and benchmarks).
    void waitForMeasurements();
    const std::shared_ptr<dispatch::Queue>& previewImageOperationQueue() const { return previewImageOperationQueue_; }

    // --- Hotkey actions (TLClippingsViewControllerHotkeys.cpp): what the
    // global hotkeys' notifications make the panel do, on the main thread, even
    // while its window is hidden or another window is active. While our window
    // is not the active one a desktop notification tells what happened, the
    // one shown before going first. Nothing to act on is a beep.
    // A clipping's text is told up to this many characters.
    static constexpr size_t kNotificationCharacters = 256;
    // Shows the next list by name, and the main history after the last; the
    // list new copies go to stays the one chosen from the title's menu. A
    // running search ends first.
    void nextList();
    // Puts the next clipping on the clipboard: the top row after a new fetch,
    // else the row after the one taken last. Past the rows shown it keeps
    // taking the last one in the history or a search, and beeps in a list.
    void copyNext();
    // copyNext(), then pastes what the clipboard holds into the window before
    // ours (even after a beep).
    void pasteNext();
    // Puts the clipping at a numbered position on the clipboard: 1 to 9 are
    // rows 0 to 8, anything below 1 is row 9. False (a beep) past the rows shown.
    bool copyAtIndex(int64_t position);
    // copyAtIndex(), then the paste when a clipping was taken.
    void pasteAtIndex(int64_t position);
    void copyFirst() {}
    void copyPrev() {}
    // Whether our window is the one with the keyboard.
    bool windowIsKey() const;
    // The desktop's notifications (asked when the first is shown); none: the session's.
    void setUserNotificationCenter(std::function<std::shared_ptr<desktop::UserNotificationCenter>()> center);
    // With no paste script installed, the application-modal alert offering the
    // program's own, which its first button installs; false then (it returns
    // at once, the alert stays). True when a paste can run.
    bool checkPasteHelper();
    // Installs the program's paste script and says how that went.
    void installPasteHelper();
    // The alert of checkPasteHelper() while it shows.
    desktop::Alert* pasteHelperAlert() const;
    // Numbered actions waiting to run: a held key's repeats take the latest
    // position only, so this stays at most 1.
    size_t pendingHotkeyActions() const;
    // Next-list, copy-next and paste-next presses waiting for their turn: each
    // runs in a turn of the event loop of its own, in the order pressed.
    size_t waitingPresses() const;

private:
    struct HotkeyActions;
    // Runs the first waiting press in a turn of its own, then queues the next.
    static void runPressTurn(std::weak_ptr<TLClippingsViewController*> alive, std::weak_ptr<HotkeyActions> actions);
    void observeHotkeys();
    // Selects the row alone, copies it and shows it.
    void takeRow(int row);
    // Shows the alert application-modal, unless one of these shows already.
    void showHotkeyAlert(std::unique_ptr<desktop::Alert> alert, std::function<void(int response)> completion);
    void notifyUser(const std::string& title, const std::string& text, const std::string& imagePath = {});
    std::shared_ptr<HotkeyActions> hotkeyActions_;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class Model;
    class MeasuringThread;
    class Landings;
    struct Batch;

    int64_t historyLimit() const;
    std::shared_ptr<store::Context> context() const;
    std::shared_ptr<TLPasteboardManager> pasteboardManager() const;
    std::shared_ptr<desktop::FrontApplication> frontApplication() const;
    bool modifierKeysHeld() const;
    void runPasteScript(bool retainKey);
    std::shared_ptr<desktop::Menu> templateMenu(bool closesWindow, bool paste);
    // The clippings of the rows shown, in row order.
    const std::vector<std::shared_ptr<Clipping>>& shownRows() const;
    // Moves a shown row; the rows it passes get their heights again.
    void moveRow(int from, int to);
    void selectRows(const std::vector<int>& rows);
    void closeWindow();
    bool tableDropEvent(QEvent* event);
    void showDropIndicator(int row);
    // The panel's pictures, drawn as outlines in white: tinted when shown.
    static QImage panelImage(const QString& name, int size);
    static QColor tintColor(bool dark);
    static void beep();
    void buildViews();
    // Drops the controller, fetches anew and shows its rows.
    void refetchRows();
    // refetchRows() from the first row, with the footer, the empty state and
    // the heights of the rows in view brought up to date.
    void showFetchedRows();
    void makeSearchField();
    void layoutSearchField();
    void updateSearchFieldAppearance();
    // Tab, Down and Return: the table takes the keyboard on the first result.
    void moveFromSearchFieldToTable();
    std::vector<std::shared_ptr<List>> fetchLists();
    void beginListSheet(std::shared_ptr<List> list);
    // Back to the main history after the list on show went.
    void showMainHistory();
    void showTitleIcon(bool list);
    bool fetchFirstScreen();
    void finishFirstFetch();
    void observe(const char* name, std::function<void(const foundation::Notification&)> handler);
    void reloadTable();  // every cell set again, the selection kept
    void applyPasteboardMarks();
    void readPasteboardClippingIDs();
    // Makes the mirror the rows the controller shows now.
    void reconcileRows(const Batch* batch);
    void queueMeasurement(const Clipping& clipping);
    void measurementsLanded();
    // The rows a landed measurement is applied to: the viewport's and three
    // times as many above and below.
    std::pair<int, int> rowsNearViewport() const;
    int rowOfClippingNearViewport(const std::string& clippingID) const;
    void setRowHeight(int row);
    void updateSyncButtonImage();
    void later(double seconds, std::function<void()> block);
    void presentPopover(int row, const QRect& anchor);
    void beginMergeSheet(std::vector<std::shared_ptr<Clipping>> clippings);

    Configuration configuration_;
    std::shared_ptr<List> list_;
    std::optional<std::string> searchString_;
    bool isSearching_ = false;
    std::unique_ptr<FRFetchedResultsController> clippingsController_;
    std::vector<std::shared_ptr<Clipping>> selectedClippings_;
    int64_t nextClippingIndex_ = -1;
    uint64_t flags_ = 0;
    bool isDarkMode_ = false;
    bool manualUpdate_ = false;
    bool hasAppeared_ = false;
    bool firstScreenOnly_ = false;  // the rows are a long history's first screen, its whole fetch to come
    double maxHeight_ = 0;
    bool syncing_ = false;
    std::unique_ptr<MeasuringThread> queue_;
    std::shared_ptr<dispatch::Queue> previewImageOperationQueue_;
    QCache<QString, QImage> imageCache_;
    std::unordered_set<std::string> pendingMeasurements_;
    std::unordered_set<std::string> pendingThumbnails_;
    std::unordered_set<std::string> pasteboardClippingIDs_;
    std::unique_ptr<Batch> batch_;
    bool updatingHeights_ = false;
    std::shared_ptr<Landings> landings_;

    Model* model_ = nullptr;
    TLClippingsTableView* tableView_ = nullptr;
    TLView* headerView_ = nullptr;
    QWidget* dropIndicator_ = nullptr;
    TLView* footerView_ = nullptr;
    TLTitleView* titleView_ = nullptr;
    QLabel* footerLabel_ = nullptr;
    QAbstractButton* searchButton_ = nullptr;
    QAbstractButton* syncButton_ = nullptr;
    QAbstractButton* settingsButton_ = nullptr;
    QLineEdit* searchField_ = nullptr;
    QAbstractButton* cancelSearchButton_ = nullptr;
    QGraphicsOpacityEffect* searchFieldOpacity_ = nullptr;
    QGraphicsOpacityEffect* titleOpacity_ = nullptr;
    std::shared_ptr<desktop::Animation> searchAnimation_;
    std::shared_ptr<desktop::Menu> titleMenu_;
    std::shared_ptr<TLListWindowController> listWindowController_;
    std::unique_ptr<desktop::Alert> deleteListAlert_;
    std::unique_ptr<desktop::Alert> missingScriptAlert_;
    std::unique_ptr<desktop::Alert> deleteErrorAlert_;
    std::function<void()> closeWindowAction_;
    TLImageView* emptyStateImageView_ = nullptr;
    QVariantAnimation* syncAnimation_ = nullptr;

    std::function<void()> settingsAction_;
    std::function<void(std::function<void()>)> syncAction_;
    std::function<void()> scrollAction_;
    std::function<void()> measurementObserver_;
    std::unique_ptr<desktop::Popover> presentedPopover_;
    TLClippingPopoverViewController* presentedPopoverViewController_ = nullptr;
    TLMergeWindowController* mergeWindowController_ = nullptr;
    std::vector<foundation::ObserverRegistration> observers_;
    // Clicks, keys and menus.
    void performClippingAction(TLClippingActionTable::Input input, int row, uint64_t modifierFlags);
    void copyRow(int row);
    void chooseListNumber(int number);
    void selectAdjacentRow(bool next);
    void typeToSearch(const QString& text);
    void refreshRowFlags();
    QPoint rowMenuPoint() const;
    bool moveSelectedClippings(bool up);
    std::vector<desktop::SharingItem> sharingItemsForSelection() const;
    void setUpKeysAndMenus();
    void updateContextMenu(desktop::Menu& menu);
    void updateAppMenu(desktop::Menu& menu);
    void openInfoAddress(const char* key);
    std::shared_ptr<desktop::Menu> sharingMenu_;
    std::shared_ptr<desktop::Menu> poppedUpMenu_;
    std::shared_ptr<desktop::Menu> contextMenu_;
    std::shared_ptr<desktop::Menu> appMenu_;
    std::shared_ptr<desktop::MenuItem> previewMenuItem_, cpItem_, addToListMenuItem_, openURLMenuItem_,
        mergeMenuItem_, directPasteItem_, shareMenuItem_, moreCopyOptionsMenuItem_;
    std::shared_ptr<desktop::MenuItem> floatWindowMenuItem_, recordClipboardItem_, saveClipboardItem_,
        clearClipboardMenuItem_, plainTextMenuItem_, attachMenuItem_;
    std::function<ClipboardState()> clipboardState_;
    std::shared_ptr<desktop::SharingServiceDelegate> sharingDelegate_;
    bool returnPassedOn_ = false;
    std::function<void()> keepWindowAfloatAction_;

    // Work queued elsewhere holds this weakly; it ends with the panel.
    std::shared_ptr<TLClippingsViewController*> self_;
};
