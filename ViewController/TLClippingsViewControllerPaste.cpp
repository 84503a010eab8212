// The clippings panel's copy and paste: the selection onto the clipboard and
// to the top of the history, and the paste into the window the user worked in
// before ours, through the paste script.
#include "TLClippingsViewController.h"

#include <QGuiApplication>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSDateCloudKit.h"
#include "kit/TLPasteScript.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/MenuItem.h"
#include "platform/desktop/Workspace.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"

namespace {

std::shared_ptr<foundation::UserDefaults> settings() { return foundation::UserDefaults::applicationGroup(); }

bool nonEmptyText(const std::optional<std::string>& s) { return s && !s->empty(); }

}  // namespace

std::shared_ptr<desktop::FrontApplication> TLClippingsViewController::frontApplication() const {
    if (configuration_.frontApplication) return configuration_.frontApplication;
    auto manager = pasteboardManager();
    return manager ? manager->frontApplication() : nullptr;
}

bool TLClippingsViewController::modifierKeysHeld() const {
    Qt::KeyboardModifiers held = configuration_.keyboardModifiers ? configuration_.keyboardModifiers()
                                                                  : QGuiApplication::queryKeyboardModifiers();
    // Caps Lock and Num Lock stay on for hours: they never hold a paste back.
    return held & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
}

bool TLClippingsViewController::pasteScriptIsInstalled() { return TLPasteScript::installedScript().has_value(); }

void TLClippingsViewController::showMissingScriptAlert(const std::string& wording) {
    if (missingScriptAlert_) return;
    missingScriptAlert_ = std::make_unique<desktop::Alert>();
    missingScriptAlert_->setMessageText("Paste Helper required");
    missingScriptAlert_->setInformativeText("Download and install the Paste Helper to paste items directly into the " +
                                            wording + " application.");
    missingScriptAlert_->addButtonWithTitle("Download Paste Helper");
    missingScriptAlert_->addButtonWithTitle("Cancel");
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    missingScriptAlert_->beginSheetModalForWindow(this, [alive](int response) {
        auto self = alive.lock();
        if (!self) return;
        // The alert is still in its own call: it goes once that returns.
        std::shared_ptr<desktop::Alert> done((*self)->missingScriptAlert_.release());
        dispatch::Queue::main()->async([done] {});
        if (response != desktop::Alert::kFirstButtonReturn) return;
        // The helper comes with the program: installing it is copying it
        // into the scripts folder.
        auto folder = foundation::Paths::applicationScripts();
        (void)foundation::Paths::createDirectory(folder);
        if (auto installed = TLPasteScript::installPasteScript(folder); !installed) {
            TLLogError(TLLogContextGeneral, "%@", installed.error().description());
            beep();
        }
    });
}

void TLClippingsViewController::pasteInActiveApp(bool retainKey) {
    if (modifierKeysHeld()) {
        // The paste keys would mix with the keys still held.
        later(kModifierPollInterval, [this, retainKey] { pasteInActiveApp(retainKey); });
        return;
    }
    later(kPasteDelay, [this, retainKey] { runPasteScript(retainKey); });
}

void TLClippingsViewController::runPasteScript(bool retainKey) {
    auto script = TLPasteScript::installedScript();
    if (!script) return;
    auto front = frontApplication();
    auto run = [front, script = *script, retainKey] {
        auto& center = foundation::NotificationCenter::defaultCenter();
        if (retainKey) center.post(TLPanelTemporarilyResignKey);
        // Our window has the keyboard: the keys go to the window before it.
        if (front && !front->activateLastForeignWindow())
            TLLogWarning(TLLogContextGeneral, "The window to paste into did not become active");
        TLPasteScript::run(script, [retainKey](std::optional<foundation::Error> error) {
            if (error) TLLogError(TLLogContextGeneral, "%s AppleScript task error = %@", kPasteCompletionName,
                                  error->description());
            if (retainKey) foundation::NotificationCenter::defaultCenter().post(TLPanelRegainKeyWindow);
        });
    };
    // The keys paste what the clipboard holds: the copies asked for first
    // are written before the script runs.
    if (auto manager = pasteboardManager()) manager->afterPendingCopies(std::move(run));
    else run();
}

// --- Copying

void TLClippingsViewController::closeWindow() {
    if (closeWindowAction_) closeWindowAction_();
    else if (QWidget* top = window(); top && top != this) top->close();
}

void TLClippingsViewController::copyClipping() {
    const std::vector<std::shared_ptr<Clipping>> copied = selectedClippings_;
    nextClippingIndex_ = tableView_->selectedRow() + 1;
    auto manager = pasteboardManager();
    if (list_) {
        if (manager) manager->copyClippingsToGeneralPasteboard(copied);
    } else {
        manualUpdate_ = true;
        // Where each row stands once the ones copied before it went to the top.
        std::vector<int> positions;
        for (const auto& clipping : copied) {
            auto at = std::find(shownRows().begin(), shownRows().end(), clipping);
            if (at != shownRows().end()) positions.push_back(int(at - shownRows().begin()));
        }
        for (size_t i = 0; i < positions.size(); ++i)
            for (size_t j = 0; j < i; ++j)
                if (positions[i] < positions[j]) positions[i] += 1;
        if (manager) manager->copyClippingsToGeneralPasteboard(copied);
        if (!settings()->boolForKey(TLUserDefaultsSortByAddDate) && !positions.empty()) {
            for (size_t k = 0; k < positions.size(); ++k) moveRow(positions[k], int(k));
            nextClippingIndex_ = positions.back() + 1;
            std::vector<int> top(positions.size());
            for (size_t k = 0; k < top.size(); ++k) top[k] = int(k);
            selectRows(top);
        }
        manualUpdate_ = false;
    }
    // The shortcut marks go with the keys that showed them.
    flags_ = 0;
    reloadTable();
}

void TLClippingsViewController::pasteItems() {
    if (!pasteScriptIsInstalled()) {
        showMissingScriptAlert("foreground");
        return;
    }
    pasteItemsRetainingKey(true);
}

void TLClippingsViewController::pasteItemsRetainingKey(bool retainKey) {
    // Our own window is active while the panel is used: without a window of
    // another application before it there is nothing to paste into.
    auto front = frontApplication();
    if (!front || !front->lastForeignApplication()) {
        beep();
        return;
    }
    copyClipping();
    pasteInActiveApp(retainKey);
}

void TLClippingsViewController::openURL() {
    bool opened = false;
    for (const auto& clipping : selectedClippings_) {
        std::string address = clipping->url().value_or("");
        if (address.empty()) address = clipping->urlSource().value_or("");
        if (address.empty()) continue;
        if (!foundation::URL::isWebAddress(address)) {
            TLLogWarning(TLLogContextGeneral, "Not opened, no scheme and host: %@", address);
            continue;
        }
        if (desktop::Workspace::current()->openURL(address)) opened = true;
    }
    if (!opened) beep();
}

void TLClippingsViewController::addToList(desktop::MenuItem& sender) {
    const auto* chosen = std::any_cast<std::shared_ptr<List>>(&sender.representedObject());
    auto main = context();
    if (!chosen || !*chosen || !main) return;
    const std::shared_ptr<List>& list = *chosen;
    // The list's clippings numbered 0, 1, ... first: the new ones go after them.
    store::FetchRequest request(Clipping::kEntityName);
    auto predicate = store::Predicate::withFormatArguments("list == %@", {store::Value(list)});
    if (predicate) request.predicate = predicate.value();
    request.sortDescriptors = {{"index", true}};
    auto found = main->fetch(request);
    int64_t n = 0;
    if (found) {
        for (const auto& object : found.value()) {
            auto clipping = std::dynamic_pointer_cast<Clipping>(object);
            if (!clipping) continue;
            if (clipping->index() != n) {
                clipping->setIndex(n);
                clipping->setSync(true);
                clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
            }
            ++n;
        }
    }
    auto inList = [&](const Clipping& clipping) {
        auto current = clipping.list();
        return current && current->listID() == list->listID();
    };
    const bool allIn = std::all_of(selectedClippings_.begin(), selectedClippings_.end(),
                                   [&](const std::shared_ptr<Clipping>& c) { return inList(*c); });
    for (const auto& clipping : selectedClippings_) {
        if (allIn) {
            clipping->setList(nullptr);
            clipping->setIndex(0);
        } else if (!inList(*clipping)) {
            clipping->setList(list);
            clipping->setIndex(n++);
        } else {
            continue;
        }
        clipping->setSync(true);
        clipping->setModifiedDate(NSDateCloudKit::currentServerDate());
    }
    if (!main->hasChanges()) return;
    auto saved = configuration_.saveContext ? configuration_.saveContext(*main) : main->save();
    if (!saved) TLLogError(TLLogContextGeneral, "%@", saved.error().description());
}

// --- Deleting

void TLClippingsViewController::deleteClipping() {
    std::vector<int> rows;
    for (const auto& index : tableView_->selectionModel()->selectedRows()) rows.push_back(index.row());
    const int first = rows.empty() ? -1 : *std::min_element(rows.begin(), rows.end());
    deleteClippings(selectedClippings_);
    if (first < 0) return;
    later(kReselectAfterDeleteDelay, [this, first] {
        if (first < int(shownRows().size())) selectRows({first});
    });
}

void TLClippingsViewController::deleteClippings(const std::vector<std::shared_ptr<Clipping>>& clippings) {
    auto manager = pasteboardManager();
    if (clippings.empty() || !manager) return;
    foundation::Error failure;
    if (manager->deleteClippings(clippings, nullptr, &failure)) return;
    if (failure.domain.empty()) return;  // nothing of them was stored
    // The clippings are back in the store: their rows come back too.
    fetchClippings();
    beep();
    if (deleteErrorAlert_) return;
    deleteErrorAlert_ = std::make_unique<desktop::Alert>();
    deleteErrorAlert_->setMessageText(failure.localizedDescription());
    deleteErrorAlert_->addButtonWithTitle("OK");
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    deleteErrorAlert_->beginSheetModalForWindow(this, [alive](int) {
        auto self = alive.lock();
        if (!self) return;
        std::shared_ptr<desktop::Alert> done((*self)->deleteErrorAlert_.release());
        dispatch::Queue::main()->async([done] {});
    });
}

// --- Copy As, Paste As and the lists

std::shared_ptr<desktop::Menu> TLClippingsViewController::copyAsMenu(bool closesWindow) {
    return templateMenu(closesWindow, false);
}

std::shared_ptr<desktop::Menu> TLClippingsViewController::pasteAsMenu(bool closesWindow) {
    return templateMenu(closesWindow, true);
}

std::shared_ptr<desktop::Menu> TLClippingsViewController::templateMenu(bool closesWindow, bool paste) {
    if (selectedClippings_.size() != 1) return nullptr;
    const std::shared_ptr<Clipping>& clipping = selectedClippings_.front();
    const bool hasTitle = nonEmptyText(clipping->urlName());
    const bool hasText = nonEmptyText(clipping->text());
    const bool hasURL = nonEmptyText(clipping->url()) || nonEmptyText(clipping->urlSource());
    const foundation::PlistValue stored = settings()->objectForKey(TLUserDefaultsCopyTemplates);
    const auto* templates = stored.asArray();
    if (!templates) return nullptr;
    std::shared_ptr<desktop::Menu> menu;
    for (const auto& entry : *templates) {
        const auto* format = entry.get(TLUserDefaultsTemplateFormat);
        const auto* name = entry.get(TLUserDefaultsTemplateName);
        if (!format || !format->asString()) continue;  // a damaged entry offers nothing
        const std::string& f = *format->asString();
        auto uses = [&](const char* token) { return f.find(token) != std::string::npos; };
        if ((uses("{title}") && !hasTitle) || (uses("{text}") && !hasText) || (uses("{url}") && !hasURL)) continue;
        if (!menu) menu = std::make_shared<desktop::Menu>(paste ? "Paste As" : "Copy As");
        auto item = std::make_shared<desktop::MenuItem>(
            name && name->asString() ? *name->asString() : f, [this, paste](desktop::MenuItem& sender) {
                if (paste) pasteWithTemplate(sender);
                else copyWithTemplate(sender);
            });
        item->setTag(closesWindow ? 1 : 0);
        item->setRepresentedObject(TemplateChoice{{f, clipping}});
        menu->addItem(item);
    }
    return menu;
}

void TLClippingsViewController::copyWithTemplate(desktop::MenuItem& sender) {
    const auto* choice = std::any_cast<TemplateChoice>(&sender.representedObject());
    if (choice && !choice->empty())
        if (auto manager = pasteboardManager())
            manager->copyClippings({choice->begin()->second}, choice->begin()->first, manager->generalPasteboard(),
                                   false);
    if (sender.tag() == 1) closeWindow();
}

void TLClippingsViewController::pasteWithTemplate(desktop::MenuItem& sender) {
    const int64_t tag = sender.tag();
    sender.setTag(0);  // the window closes below, after the script check
    copyWithTemplate(sender);
    sender.setTag(tag);
    if (!pasteScriptIsInstalled()) {
        showMissingScriptAlert("foreground");
        return;
    }
    if (tag == 1) {
        closeWindow();
        pasteInActiveApp(false);
    } else {
        pasteInActiveApp(true);
    }
}

std::shared_ptr<desktop::Menu> TLClippingsViewController::listsMenu() {
    // The lists the selection is in, and whether some of it is in none.
    std::vector<std::string> collected;
    bool someUnlisted = false;
    for (const auto& clipping : selectedClippings_) {
        auto list = clipping->list();
        if (!list) {
            someUnlisted = true;
            continue;
        }
        std::string id = list->listID().value_or("");
        if (std::find(collected.begin(), collected.end(), id) == collected.end()) collected.push_back(id);
    }
    const auto lists = fetchLists();
    if (lists.empty()) return nullptr;
    auto menu = std::make_shared<desktop::Menu>("Add to List");
    menu->setMinimumWidth(kListsMenuMinimumWidth);
    for (const auto& list : lists) {
        auto item = std::make_shared<desktop::MenuItem>(list->name().value_or(""),
                                                        [this](desktop::MenuItem& sender) { addToList(sender); });
        item->setRepresentedObject(list);
        const std::string id = list->listID().value_or("");
        if (std::find(collected.begin(), collected.end(), id) != collected.end())
            item->setState(collected.size() == 1 && !someUnlisted ? desktop::MenuItem::State::On
                                                                  : desktop::MenuItem::State::Mixed);
        menu->addItem(item);
    }
    return menu;
}
