// The clippings panel's hotkey actions: the next list, the next clipping and
// the numbered positions onto the clipboard or into the window before ours,
// told through a desktop notification while our window is not the active one.
#include "TLClippingsViewController.h"

#include <QScrollBar>

#include <deque>
#include <filesystem>
#include <mutex>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLInterfaceSound.h"
#include "kit/TLPasteScript.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/UserNotificationCenter.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "views/TLTitleView.h"

struct TLClippingsViewController::HotkeyActions {
    std::function<std::shared_ptr<desktop::UserNotificationCenter>()> makeCenter;
    std::shared_ptr<desktop::UserNotificationCenter> center;
    std::unique_ptr<desktop::Alert> alert;

    // The numbered action waiting for the main thread. A held key repeats it
    // faster than a copy may finish: only the latest position is kept.
    struct Numbered {
        int64_t position = 0;
        bool paste = false;
    };
    mutable std::mutex mutex;
    std::optional<Numbered> pending;

    // The next-list, copy-next and paste-next presses waiting for the main
    // thread, in order. Each press counts (it takes the next row), so none is
    // dropped; each runs in a turn of the event loop of its own, so a flood of
    // them holds the main thread no longer than one take does.
    enum class Press { NextList, CopyNext, PasteNext };
    std::deque<Press> presses;
    bool turnQueued = false;
};

namespace {

// The first characters of text, cut between characters (never inside a
// character's bytes): a clipping may be megabytes long.
std::string notificationText(const std::string& text, size_t characters) {
    size_t end = 0;
    size_t counted = 0;
    while (end < text.size()) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80 && counted++ == characters) break;
        ++end;
    }
    return text.substr(0, end);
}

int64_t positionOf(const foundation::Notification& notification) {
    if (const auto* n = notification.valueAs<int64_t>()) return *n;
    if (const auto* n = notification.valueAs<int>()) return *n;
    return 0;
}

}  // namespace

// Runs the first waiting press, and queues the next one's turn behind what
// the event loop has waiting meanwhile and the copy this one made.
void TLClippingsViewController::runPressTurn(std::weak_ptr<TLClippingsViewController*> alive,
                                             std::weak_ptr<HotkeyActions> actions) {
    dispatch::Queue::main()->async([alive, actions] {
        auto self = alive.lock();
        auto state = actions.lock();
        if (!self || !state) return;
        HotkeyActions::Press press;
        bool more;
        {
            std::lock_guard lock(state->mutex);
            if (state->presses.empty()) {
                state->turnQueued = false;
                return;
            }
            press = state->presses.front();
            state->presses.pop_front();
            more = !state->presses.empty();
            state->turnQueued = more;
        }
        switch (press) {
        case HotkeyActions::Press::NextList: (*self)->nextList(); break;
        case HotkeyActions::Press::CopyNext: (*self)->copyNext(); break;
        case HotkeyActions::Press::PasteNext: (*self)->pasteNext(); break;
        }
        if (!more) return;
        // The next press once this one's copy has landed on the clipboard and
        // in the store, as between presses of a key: a take reads the rows
        // that copy moved.
        if (auto manager = (*self)->pasteboardManager())
            manager->afterPendingCopies([alive, actions] { runPressTurn(alive, actions); });
        else
            runPressTurn(alive, actions);
    });
}

void TLClippingsViewController::observeHotkeys() {
    hotkeyActions_ = std::make_shared<HotkeyActions>();
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    std::weak_ptr<HotkeyActions> actions = hotkeyActions_;
    using Press = HotkeyActions::Press;
    const std::pair<const char*, Press> pressed[] = {{TLHotkeyNextList, Press::NextList},
                                                     {TLHotkeyCopyNextClipping, Press::CopyNext},
                                                     {TLHotkeyPasteNextClippingKey, Press::PasteNext}};
    for (const auto& [name, press] : pressed) {
        auto queue = [alive, actions, press = press](const foundation::Notification&) {
            auto state = actions.lock();
            if (!state) return;
            {
                std::lock_guard lock(state->mutex);
                state->presses.push_back(press);
                if (std::exchange(state->turnQueued, true)) return;  // the queued turn takes it in order
            }
            runPressTurn(alive, actions);
        };
        observers_.emplace_back(center, center.addObserver(name, nullptr, std::move(queue)));
    }

    for (bool paste : {false, true}) {
        auto numbered = [alive, actions, paste](const foundation::Notification& notification) {
            auto state = actions.lock();
            if (!state) return;
            {
                std::lock_guard lock(state->mutex);
                const bool queued = state->pending.has_value();
                state->pending = HotkeyActions::Numbered{positionOf(notification), paste};
                if (queued) return;  // the run queued already takes this one
            }
            dispatch::Queue::main()->async([alive, actions] {
                auto self = alive.lock();
                auto state = actions.lock();
                if (!self || !state) return;
                std::optional<HotkeyActions::Numbered> taken;
                {
                    std::lock_guard lock(state->mutex);
                    taken = std::exchange(state->pending, std::nullopt);
                }
                if (!taken) return;
                if (taken->paste) (*self)->pasteAtIndex(taken->position);
                else (*self)->copyAtIndex(taken->position);
            });
        };
        observers_.emplace_back(
            center, center.addObserver(paste ? TLPasteClippingAtIndexNotification : TLCopyClippingAtIndexNotification,
                                       nullptr, std::move(numbered)));
    }
}

size_t TLClippingsViewController::pendingHotkeyActions() const {
    std::lock_guard lock(hotkeyActions_->mutex);
    return hotkeyActions_->pending ? 1 : 0;
}

size_t TLClippingsViewController::waitingPresses() const {
    std::lock_guard lock(hotkeyActions_->mutex);
    return hotkeyActions_->presses.size();
}

void TLClippingsViewController::setUserNotificationCenter(
    std::function<std::shared_ptr<desktop::UserNotificationCenter>()> center) {
    hotkeyActions_->makeCenter = std::move(center);
    hotkeyActions_->center.reset();
}

bool TLClippingsViewController::windowIsKey() const {
    const QWidget* top = window();
    return top && top->isVisible() && top->isActiveWindow();
}

void TLClippingsViewController::notifyUser(const std::string& title, const std::string& text,
                                           const std::string& imagePath) {
    HotkeyActions& state = *hotkeyActions_;
    if (!state.center)
        state.center = state.makeCenter ? state.makeCenter() : desktop::UserNotificationCenter::makeSessionCenter();
    if (!state.center) return;
    // One of ours at a time: the new one replaces what is shown.
    state.center->removeAllDelivered();
    state.center->deliver(title, text, imagePath);
}

// --- Lists

void TLClippingsViewController::nextList() {
    if (isSearching_) cancelSearchWithAnimation(false);
    const auto lists = fetchLists();
    std::shared_ptr<List> next;
    if (list_) {
        auto at = std::find_if(lists.begin(), lists.end(), [&](const std::shared_ptr<List>& list) {
            return list == list_ || (list->listID() && list->listID() == list_->listID());
        });
        // After the last list (or one gone meanwhile): the main history.
        if (at != lists.end() && ++at != lists.end()) next = *at;
    } else {
        if (lists.empty()) {
            beep();
            return;
        }
        next = lists.front();
    }
    list_ = std::move(next);
    titleView_->setTitle(list_ ? QString::fromStdString(list_->name().value_or("")) : QStringLiteral("Tavlo"));
    showTitleIcon(bool(list_));
    // Not fetchClippings(): that makes the list the one new copies go to.
    showFetchedRows();
    tableView_->verticalScrollBar()->setValue(0);
    if (!windowIsKey()) {
        const int64_t count = numberOfRows();
        notifyUser("List Selected", foundation::format("%@ (%@ clipping%@)", titleView_->title().toStdString(), count,
                                                       count > 1 ? "s" : ""));
    }
    TLInterfaceSound::beep();
}

// --- Copying

void TLClippingsViewController::takeRow(int row) {
    selectRows({row});
    copyClipping();
    // In the history the row went to the top, still selected.
    const int selected = tableView_->selectedRow();
    if (selected >= 0) tableView_->scrollTo(tableView_->model()->index(selected, 0));
}

void TLClippingsViewController::copyNext() {
    // Only the rows shown are rows: the capped history fetches more clippings.
    const int64_t rows = numberOfRows();
    if (rows == 0) {
        beep();
        return;
    }
    int64_t row;
    if (nextClippingIndex_ < 0) row = 0;
    else if (nextClippingIndex_ < rows) row = nextClippingIndex_;
    else if (!list_ || isSearching_) row = rows - 1;
    else {
        beep();
        return;
    }
    takeRow(int(row));
    if (windowIsKey() || selectedClippings_.empty()) return;

    const Clipping& clipping = *selectedClippings_.front();
    std::string text = notificationText(clipping.text().value_or(""), kNotificationCharacters);
    if (text.empty()) {
        const std::string url = clipping.url().value_or("");
        text = url.empty() ? std::string("Clipboard Updated") : foundation::format("🔗 %@", url);
    }
    std::string imagePath;
    if (clipping.image())
        if (auto file = clipping.URLForImageAssetAtIndex(0)) {
            std::error_code error;
            if (std::filesystem::is_regular_file(file->filePath(), error)) imagePath = file->filePath().string();
        }
    notifyUser("Tavlo", text, imagePath);
}

void TLClippingsViewController::pasteNext() {
    copyNext();
    // The keys paste what the clipboard holds, taken just now or not.
    if (checkPasteHelper()) pasteInActiveApp(false);
}

bool TLClippingsViewController::copyAtIndex(int64_t position) {
    const int64_t row = position >= 1 ? position - 1 : 9;
    if (row >= numberOfRows()) {
        beep();
        return false;
    }
    takeRow(int(row));
    return true;
}

void TLClippingsViewController::pasteAtIndex(int64_t position) {
    if (!copyAtIndex(position)) return;
    if (checkPasteHelper()) pasteInActiveApp(false);
}

// --- The paste helper

desktop::Alert* TLClippingsViewController::pasteHelperAlert() const { return hotkeyActions_->alert.get(); }

bool TLClippingsViewController::checkPasteHelper() {
    if (pasteScriptIsInstalled()) return true;
    auto alert = std::make_unique<desktop::Alert>();
    alert->setMessageText("Paste Helper required");
    alert->setInformativeText(
        "Download and install the Paste Helper to paste items directly into the foreground application.");
    // Nothing is downloaded: the program carries its own helper.
    alert->addButtonWithTitle("Download Paste Helper");
    alert->addButtonWithTitle("Cancel");
    showHotkeyAlert(std::move(alert), [this](int response) {
        if (response == desktop::Alert::kFirstButtonReturn) installPasteHelper();
    });
    return false;
}

void TLClippingsViewController::installPasteHelper() {
    auto folder = foundation::Paths::applicationScripts();
    (void)foundation::Paths::createDirectory(folder);
    auto installed = TLPasteScript::installPasteScript(folder);
    auto alert = std::make_unique<desktop::Alert>();
    if (installed) {
        alert->setAlertStyle(desktop::Alert::Style::Informational);
        alert->setMessageText("Direct Paste Helper Installed");
        alert->setInformativeText("You can now paste selected items directly into the active application.");
    } else {
        TLLogError(TLLogContextGeneral, "%@", installed.error().description());
        beep();
        alert->setAlertStyle(desktop::Alert::Style::Critical);
        alert->setMessageText(installed.error().localizedDescription());
    }
    alert->addButtonWithTitle("OK");
    showHotkeyAlert(std::move(alert), [](int) {});
}

void TLClippingsViewController::showHotkeyAlert(std::unique_ptr<desktop::Alert> alert,
                                               std::function<void(int response)> completion) {
    HotkeyActions& state = *hotkeyActions_;
    // One at a time: a key repeated while one asks changes nothing.
    if (state.alert) return;
    state.alert = std::move(alert);
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    // The hotkey's action returns at once; the answer comes later.
    state.alert->beginModal([alive, completion = std::move(completion)](int response) {
        auto self = alive.lock();
        if (!self) return;
        // The alert is still in its own call: it goes once that returns.
        std::shared_ptr<desktop::Alert> done((*self)->hotkeyActions_->alert.release());
        dispatch::Queue::main()->async([done] {});
        completion(response);
    });
}
