// The clippings panel's two menus: the rows' right-click menu and the
// application menu of the settings button, each brought up to date just
// before it opens, and the application menu's actions.
#include "TLClippingsViewController.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCoreApplication>

#include "hotkeys/HKShortcutView.h"
#include "kit/Clipping.h"
#include "kit/TLPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/MenuItem.h"
#include "platform/desktop/Workspace.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "views/NSSharingServicePickerMenu.h"

namespace {

using desktop::Menu;
using desktop::MenuItem;

std::shared_ptr<foundation::UserDefaults> settings() { return foundation::UserDefaults::applicationGroup(); }

bool nonEmpty(const std::optional<std::string>& s) { return s && !s->empty(); }

MenuItem::State stateFor(bool on) { return on ? MenuItem::State::On : MenuItem::State::Off; }

// The link addresses the bundle's Info.plist carries; a missing or empty one
// leaves its row out.
constexpr const char* kSupportEmailKey = "TLSupportEmail";
constexpr const char* kAppStoreAddressKey = "TLAppStoreURL";
constexpr const char* kMobileAppStoreAddressKey = "TLMobileAppStoreURL";
constexpr const char* kWebsiteAddressKey = "TLWebsiteURL";
constexpr const char* kWebsiteNameKey = "TLWebsiteName";
constexpr const char* kSocialPageAddressKey = "TLSocialPageURL";
constexpr const char* kSocialPageNameKey = "TLSocialPageName";

std::string infoString(const char* key) {
    const auto& value = foundation::Bundle::main()->objectForInfoDictionaryKey(key);
    const std::string* text = value.asString();
    return text ? *text : std::string();
}

// Inserts the item at index unless the menu holds it; an index before the
// first row is the first row.
void insertIfAbsent(Menu& menu, const std::shared_ptr<MenuItem>& item, int index) {
    if (menu.indexOfItem(*item) >= 0) return;
    menu.insertItem(item, std::clamp(index, 0, menu.numberOfItems()));
}

void removeIfPresent(Menu& menu, const std::shared_ptr<MenuItem>& item) {
    if (!item) return;
    if (int index = menu.indexOfItem(*item); index >= 0) menu.removeItemAtIndex(index);
}

}  // namespace

// --- The rows' menu

const std::shared_ptr<desktop::Menu>& TLClippingsViewController::contextMenu() {
    if (contextMenu_) return contextMenu_;
    contextMenu_ = std::make_shared<Menu>("Clipping");
    auto make = [this](const char* title, void (TLClippingsViewController::*action)(), const char* key = "") {
        auto item = std::make_shared<MenuItem>(title, [this, action](MenuItem&) { (this->*action)(); }, key);
        contextMenu_->addItem(item);
        return item;
    };
    cpItem_ = make("Copy", &TLClippingsViewController::copyClipping, "c");
    contextMenu_->addItem(MenuItem::separatorItem());
    previewMenuItem_ = make("Preview", &TLClippingsViewController::previewClipping, " ");
    previewMenuItem_->setKeyEquivalentModifierMask(0);
    addToListMenuItem_ = std::make_shared<MenuItem>("Add to List");
    contextMenu_->addItem(addToListMenuItem_);
    contextMenu_->addItem(MenuItem::separatorItem());
    make("Delete", &TLClippingsViewController::deleteClipping);
    contextMenu_->setAboutToShow([this](Menu& menu) { menuWillOpen(menu); });
    return contextMenu_;
}

void TLClippingsViewController::menuWillOpen(desktop::Menu& menu) {
    if (contextMenu_ && &menu == contextMenu_.get()) updateContextMenu(menu);
    else if (appMenu_ && &menu == appMenu_.get()) updateAppMenu(menu);
}

void TLClippingsViewController::updateContextMenu(desktop::Menu& menu) {
    auto previewIndex = [&] { return menu.indexOfItem(*previewMenuItem_); };
    auto copyIndex = [&] { return menu.indexOfItem(*cpItem_); };
    const auto& selection = selectedClippings_;
    // 1, 2: open the link of one clipping, or merge several.
    if (selection.size() == 1) {
        const auto& clipping = selection.front();
        if (nonEmpty(clipping->url()) || nonEmpty(clipping->urlSource())) {
            if (!openURLMenuItem_)
                openURLMenuItem_ = std::make_shared<MenuItem>("Open in Browser", [this](MenuItem&) { openURL(); }, "o");
            insertIfAbsent(menu, openURLMenuItem_, previewIndex() - 1);
        } else {
            removeIfPresent(menu, openURLMenuItem_);
        }
        previewMenuItem_->setEnabled(true);
        removeIfPresent(menu, mergeMenuItem_);
    } else {
        previewMenuItem_->setEnabled(false);
        const bool mergeable = std::all_of(selection.begin(), selection.end(), [](const auto& clipping) {
            return nonEmpty(clipping->text()) || nonEmpty(clipping->url());
        });
        if (mergeable) {
            if (!mergeMenuItem_)
                mergeMenuItem_ = std::make_shared<MenuItem>(
                    "Merge Clippings", [this](MenuItem&) { mergeSelectedClippings(); }, "m");
            insertIfAbsent(menu, mergeMenuItem_, previewIndex() - 1);
        } else {
            removeIfPresent(menu, mergeMenuItem_);
        }
    }
    // 3: the sharing services, made anew.
    removeIfPresent(menu, shareMenuItem_);
    shareMenuItem_.reset();
    auto items = sharingItemsForSelection();
    if (!items.empty())
        if (auto services = NSSharingServicePickerMenu::menuForSharingItems(
                items,
                [items](MenuItem& sender) {
                    const auto* service =
                        std::any_cast<std::shared_ptr<desktop::SharingService>>(&sender.representedObject());
                    if (service && *service) (*service)->performWithItems(items);
                },
                sharingDelegate_)) {
            shareMenuItem_ = std::make_shared<MenuItem>("Share");
            shareMenuItem_->setSubmenu(services);
            menu.insertItem(shareMenuItem_, std::clamp(previewIndex() + 1, 0, menu.numberOfItems()));
        }
    // 4: the paste into the window the user worked in before ours.
    if (!directPasteItem_)
        directPasteItem_ = std::make_shared<MenuItem>("Paste in App", [this](MenuItem&) { pasteItems(); }, "v");
    auto front = frontApplication();
    auto foreign = front ? front->lastForeignApplication() : std::nullopt;
    if (!foreign) {
        removeIfPresent(menu, directPasteItem_);
    } else {
        const std::string& name = foreign->bundleName.empty() ? foreign->bundleIdentifier : foreign->bundleName;
        directPasteItem_->setTitle("Paste in " + name);
        insertIfAbsent(menu, directPasteItem_, copyIndex() + 1);
    }
    // 5: Copy As, made anew, right below the copy item.
    removeIfPresent(menu, moreCopyOptionsMenuItem_);
    moreCopyOptionsMenuItem_.reset();
    if (auto copyAs = copyAsMenu()) {
        moreCopyOptionsMenuItem_ = std::make_shared<MenuItem>("Copy As ...");
        moreCopyOptionsMenuItem_->setSubmenu(copyAs);
        menu.insertItem(moreCopyOptionsMenuItem_, copyIndex() + 1);
    }
    // 6: the lists.
    auto lists = listsMenu();
    addToListMenuItem_->setSubmenu(lists);
    addToListMenuItem_->setEnabled(lists != nullptr);
}

// --- The application menu

const std::shared_ptr<desktop::Menu>& TLClippingsViewController::appMenu() {
    if (appMenu_) return appMenu_;
    appMenu_ = std::make_shared<Menu>("Tavlo");
    auto add = [](Menu& menu, const std::string& title, std::function<void()> action, const char* key = "",
                  uint64_t mask = MenuItem::kCommandKeyMask) {
        auto item = std::make_shared<MenuItem>(title, [action](MenuItem&) { action(); }, key);
        item->setKeyEquivalentModifierMask(mask);
        menu.addItem(item);
        return item;
    };
    Menu& menu = *appMenu_;
    recordClipboardItem_ = add(menu, "Save Clipboard Automatically", [this] { captureClipboardHistory(); });
    saveClipboardItem_ = add(menu, "Save Current Clipboard", [this] { saveClipboard(); });
    clearClipboardMenuItem_ = add(menu, "Clear Clipboard", [this] { clearClipboard(); });
    plainTextMenuItem_ = add(menu, "Plain Text Mode", [this] { togglePlainTextMode(); });
    menu.addItem(MenuItem::separatorItem());
    add(menu, "New Text Clipping", [this] { newTextClipping(); }, "n");
    menu.addItem(MenuItem::separatorItem());
    attachMenuItem_ = add(menu, "Attach to Tray Icon", [this] { toggleAttachToMenuBar(); }, "w",
                          MenuItem::kCommandKeyMask | MenuItem::kAlternateKeyMask);
    floatWindowMenuItem_ = add(menu, "Float Window", [this] { keepWindowAfloat(); }, "W",
                               MenuItem::kCommandKeyMask | MenuItem::kShiftKeyMask);
    add(menu, "Sync Now", [this] { syncWithiCloud(); }, "s");
    menu.addItem(MenuItem::separatorItem());
    add(menu, "Preferences...", [this] { showPreferencesWindow(); }, ",");
    add(menu, "About Tavlo", [this] { showAbout(); });
    auto help = std::make_shared<Menu>("Help");
    if (foundation::Bundle::main()->pathForResource("README", "md")) add(*help, "Help/FAQ", [this] { showFAQ(); });
    if (!supportMailto().empty()) add(*help, "Contact Support", [this] { contactSupport(); });
    if (!infoString(kAppStoreAddressKey).empty()) add(*help, "Rate Tavlo", [this] { rateOnAppStore(); });
    if (!infoString(kMobileAppStoreAddressKey).empty())
        add(*help, "Get Tavlo for iOS", [this] { getTavloForiOS(); });
    if (!infoString(kWebsiteAddressKey).empty())
        add(*help, "Visit " + infoString(kWebsiteNameKey), [this] { visitTavloWebpage(); });
    if (!infoString(kSocialPageAddressKey).empty())
        add(*help, "Follow Tavlo on " + infoString(kSocialPageNameKey), [this] { followTavloSocial(); });
    if (help->numberOfItems() > 0) {
        auto item = std::make_shared<MenuItem>("Help");
        item->setSubmenu(help);
        menu.addItem(item);
    }
    menu.addItem(MenuItem::separatorItem());
    add(menu, "Quit Tavlo", [this] { quitApplication(); }, "q");
    appMenu_->setAboutToShow([this](Menu& shown) { menuWillOpen(shown); });
    return appMenu_;
}

void TLClippingsViewController::updateAppMenu(desktop::Menu&) {
    auto suite = settings();
    floatWindowMenuItem_->setState(stateFor(suite->boolForKey(TLUserDefaultsFloatWindow)));
    // The hotkeys stored for these items give their key equivalents.
    HKShortcutView::setKeyEquivalentOfMenuItem(*recordClipboardItem_, TLHotkeyToggleClipboardRecorder);
    HKShortcutView::setKeyEquivalentOfMenuItem(*saveClipboardItem_, TLHotkeySaveClipboard);
    HKShortcutView::setKeyEquivalentOfMenuItem(*clearClipboardMenuItem_, TLHotkeyClearClipboardKey);
    HKShortcutView::setKeyEquivalentOfMenuItem(*plainTextMenuItem_, TLHotkeyTogglePlainText);
    auto manager = pasteboardManager();
    recordClipboardItem_->setState(stateFor(manager && !manager->isPaused()));
    // Answered from the change count and the offered types: another
    // program's content is never read for these.
    ClipboardState clipboard;
    if (clipboardState_) clipboard = clipboardState_();
    else if (auto pasteboard = manager ? manager->generalPasteboard() : nullptr)
        clipboard = {pasteboard->isSaved(), pasteboard->numberOfPasteboardItems()};
    saveClipboardItem_->setEnabled(!clipboard.saved && clipboard.items > 0);
    clearClipboardMenuItem_->setEnabled(clipboard.items > 0);
    plainTextMenuItem_->setState(stateFor(suite->boolForKey(TLUserDefaultsPlainTextMode)));
    if (suite->boolForKey(TLUserDefaultsShowsMenuBarIcon)) {
        attachMenuItem_->setEnabled(true);
        attachMenuItem_->setState(stateFor(!suite->boolForKey(TLUserDefaultsWindowIsDetached)));
    } else {
        attachMenuItem_->setState(MenuItem::State::Off);
        attachMenuItem_->setEnabled(false);
    }
}

void TLClippingsViewController::showAppMenu() {
    auto& menu = appMenu();
    QPoint at = settingsButton_ ? settingsButton_->mapToGlobal(QPoint(0, 0)) : mapToGlobal(QPoint(0, 0));
    menu->popUp(at);
}

// --- The application menu's actions

void TLClippingsViewController::captureClipboardHistory() {
    foundation::NotificationCenter::defaultCenter().post(TLHotkeyToggleClipboardRecorder);
}

void TLClippingsViewController::saveClipboard() {
    auto manager = pasteboardManager();
    auto pasteboard = manager ? manager->generalPasteboard() : nullptr;
    if (!pasteboard || pasteboard->isSaved()) {
        beep();
        return;
    }
    manager->saveContentsOfPasteboard(pasteboard, list_, true);
}

void TLClippingsViewController::clearClipboard() {
    auto manager = pasteboardManager();
    auto pasteboard = manager ? manager->generalPasteboard() : nullptr;
    if (!pasteboard) return;
    pasteboard->copyPasteboardItems({});
    const int64_t count = pasteboard->changeCount();
    auto suite = settings();
    suite->setInteger(count, TLUserDefaultsPasteboardChangeCount);
    suite->setObject(foundation::PlistValue(foundation::PlistValue::Array{}), TLUserDefaultsPasteboardClippingIDs);
    suite->synchronize();
    // Capture must not take the emptied clipboard for new content.
    manager->setPasteboardChangeCount(count);
    readPasteboardClippingIDs();
    applyPasteboardMarks();
    reloadTable();
}

void TLClippingsViewController::togglePlainTextMode() {
    auto suite = settings();
    const bool on = !suite->boolForKey(TLUserDefaultsPlainTextMode);
    suite->setBool(on, TLUserDefaultsPlainTextMode);
    suite->synchronize();
    if (plainTextMenuItem_) plainTextMenuItem_->setState(stateFor(on));
}

void TLClippingsViewController::toggleAttachToMenuBar() {
    auto suite = settings();
    if (!suite->boolForKey(TLUserDefaultsShowsMenuBarIcon)) {
        beep();
        return;
    }
    QWidget* focus = QApplication::focusWidget();
    foundation::NotificationCenter::defaultCenter().post(TLDetachWindowNotification);
    if (focus) focus->setFocus(Qt::OtherFocusReason);
    if (attachMenuItem_) attachMenuItem_->setState(stateFor(!settings()->boolForKey(TLUserDefaultsWindowIsDetached)));
}

void TLClippingsViewController::keepWindowAfloat() {
    if (keepWindowAfloatAction_) {
        keepWindowAfloatAction_();
        return;
    }
    auto suite = settings();
    suite->setBool(!suite->boolForKey(TLUserDefaultsFloatWindow), TLUserDefaultsFloatWindow);
    suite->synchronize();
}

void TLClippingsViewController::showAbout() { foundation::NotificationCenter::defaultCenter().post(TLShowAboutWindow); }

void TLClippingsViewController::quitApplication() { QCoreApplication::quit(); }

void TLClippingsViewController::showFAQ() {
    // The help page is the README the bundle carries.
    if (auto readme = foundation::Bundle::main()->pathForResource("README", "md"))
        desktop::Workspace::current()->openFile(*readme);
    else
        beep();
}

std::string TLClippingsViewController::supportMailto() {
    std::string address = infoString(kSupportEmailKey);
    if (address.empty()) return {};
    std::string mailto = "mailto:" + address + "?Subject=&body=";
    std::string escaped;
    for (char c : mailto) escaped += c == ' ' ? std::string("%20") : std::string(1, c);
    return escaped;
}

void TLClippingsViewController::contactSupport() {
    std::string mailto = supportMailto();
    if (mailto.empty() || !desktop::Workspace::current()->openURL(mailto)) beep();
}

void TLClippingsViewController::openInfoAddress(const char* key) {
    std::string address = infoString(key);
    if (address.empty() || !desktop::Workspace::current()->openURL(address)) beep();
}

void TLClippingsViewController::rateOnAppStore() { openInfoAddress(kAppStoreAddressKey); }

void TLClippingsViewController::getTavloForiOS() { openInfoAddress(kMobileAppStoreAddressKey); }

void TLClippingsViewController::visitTavloWebpage() { openInfoAddress(kWebsiteAddressKey); }

void TLClippingsViewController::followTavloSocial() { openInfoAddress(kSocialPageAddressKey); }
