#include "TLGeneralPreferencesViewController.h"

#include "kit/TLPasteScript.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>

#include <algorithm>
#include <system_error>

#include "kit/TLDatabaseManager.h"
#include "kit/TLMirroredSettings.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/LoginItem.h"
#include "platform/desktop/OpenPanel.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "platform/store/FetchRequest.h"
#include "platform/store/Predicate.h"

namespace {

namespace fs = std::filesystem;
using Pane = TLGeneralPreferencesViewController;

constexpr const char* kScriptName = "Paste.scpt";
constexpr int64_t kFileExistsError = 516;
constexpr double kWarningDelay = 0.5;

void post(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }

// The scripts folder, made when it is missing.
fs::path scriptsFolder() {
    fs::path folder = foundation::Paths::applicationScripts();
    (void)foundation::Paths::createDirectory(folder);
    return folder;
}

// Whether two paths name one folder, through links and dots.
bool sameFolder(const fs::path& a, const fs::path& b) {
    std::error_code ea, eb;
    fs::path ca = fs::weakly_canonical(a, ea), cb = fs::weakly_canonical(b, eb);
    if (ea || eb) return false;
    return ca == cb || fs::equivalent(ca, cb, ea);
}

// The items of an action pop-up, in code order.
const char* const kActionTitles[] = {
    "No Action",       "Preview",   "Copy",          "Copy and Paste", "Copy as Plain Text", "Copy as Plain Text and Paste",
    "Copy As… Menu", "Paste As… Menu", "Open URL",
};

}  // namespace

const std::vector<int64_t>& TLGeneralPreferencesViewController::historyLimits() {
    static const std::vector<int64_t> limits{10, 25, 50, 100, 200, 500, 1000, 5000, 10000, 50000, 100000};
    return limits;
}

TLGeneralPreferencesViewController::TLGeneralPreferencesViewController(Environment environment, QWidget* parent)
    : QWidget(parent),
      environment_(std::move(environment)),
      startAtLoginButton_(new QCheckBox(QStringLiteral("Start Tavlo at login"), this)),
      showListClippingsButton_(new QCheckBox(QStringLiteral("Hide clippings that are in lists"), this)),
      allowDupeButton_(new QCheckBox(QStringLiteral("Keep duplicates"), this)),
      pasteNumberedShortcuts_(new QCheckBox(QStringLiteral("Paste with the numbered shortcuts"), this)),
      closeWindowButton_(new QCheckBox(QStringLiteral("Close the window after a copy or paste"), this)),
      historyItemsButton_(new QComboBox(this)),
      historySortButton_(new QComboBox(this)),
      dragAndDropButton_(new QComboBox(this)),
      doubleClickButton_(new QComboBox(this)),
      optionClickButton_(new QComboBox(this)),
      returnKeyButton_(new QComboBox(this)),
      cmdReturnButton_(new QComboBox(this)),
      optReturnButton_(new QComboBox(this)),
      ctrlReturnButton_(new QComboBox(this)),
      installScriptButton_(new QPushButton(QStringLiteral("Install Paste Helper…"), this)),
      self_(std::make_shared<TLGeneralPreferencesViewController*>(this)) {
    setObjectName(QStringLiteral("General"));
    if (!environment_.setLoginItemEnabled)
        environment_.setLoginItemEnabled = [](const std::string& identifier, bool enabled) {
            return desktop::LoginItem::setEnabled(identifier, enabled);
        };
    // Each item's data is its limit.
    for (int64_t limit : historyLimits())
        historyItemsButton_->addItem(QStringLiteral("%L1 clippings").arg(limit), QVariant::fromValue<qlonglong>(limit));
    historySortButton_->addItems({QStringLiteral("Last copied first"), QStringLiteral("Last added first"),
                                  QStringLiteral("First added first")});
    dragAndDropButton_->addItems({QStringLiteral("Keep the window"), QStringLiteral("Hide the window"),
                                  QStringLiteral("Hide the window, then show it again")});
    for (QComboBox* button : {doubleClickButton_, optionClickButton_, returnKeyButton_, cmdReturnButton_,
                              optReturnButton_, ctrlReturnButton_}) {
        // Each item's data is its action code, which is also its place.
        for (int64_t code = 0; code < int64_t(std::size(kActionTitles)); ++code)
            button->addItem(QString::fromUtf8(kActionTitles[code]), QVariant::fromValue<qlonglong>(code));
    }

    auto* form = new QFormLayout(this);
    form->addRow(QString(), startAtLoginButton_);
    form->addRow(QStringLiteral("History size:"), historyItemsButton_);
    form->addRow(QStringLiteral("Order:"), historySortButton_);
    form->addRow(QString(), showListClippingsButton_);
    form->addRow(QString(), allowDupeButton_);
    form->addRow(QStringLiteral("Double-click:"), doubleClickButton_);
    form->addRow(QStringLiteral("Alt-click:"), optionClickButton_);
    form->addRow(QStringLiteral("Return:"), returnKeyButton_);
    form->addRow(QStringLiteral("Ctrl+Return:"), cmdReturnButton_);
    form->addRow(QStringLiteral("Alt+Return:"), optReturnButton_);
    form->addRow(QStringLiteral("Super+Return:"), ctrlReturnButton_);
    form->addRow(QStringLiteral("Dragging out:"), dragAndDropButton_);
    form->addRow(QString(), closeWindowButton_);
    form->addRow(QString(), pasteNumberedShortcuts_);
    auto* scriptRow = new QHBoxLayout;
    scriptRow->addWidget(installScriptButton_);
    scriptRow->addStretch(1);
    form->addRow(QStringLiteral("Paste helper:"), scriptRow);

    auto whenUser = [this](void (Pane::*action)()) {
        return [this, action] {
            if (!loading_) (this->*action)();
        };
    };
    connect(startAtLoginButton_, &QCheckBox::clicked, this, whenUser(&Pane::setStartAtLogin));
    connect(historyItemsButton_, &QComboBox::activated, this, whenUser(&Pane::updateHistoryLimit));
    connect(historySortButton_, &QComboBox::activated, this, whenUser(&Pane::updateHistorySorting));
    connect(showListClippingsButton_, &QCheckBox::clicked, this, whenUser(&Pane::updateHistoryListClippingVisiblility));
    connect(allowDupeButton_, &QCheckBox::clicked, this, whenUser(&Pane::updateAllowsDuplicatesOption));
    connect(pasteNumberedShortcuts_, &QCheckBox::clicked, this, whenUser(&Pane::updatePasteUsingNumberedShortcuts));
    connect(dragAndDropButton_, &QComboBox::activated, this, whenUser(&Pane::updateDragOption));
    connect(doubleClickButton_, &QComboBox::activated, this, whenUser(&Pane::updateDoubleClickOption));
    connect(optionClickButton_, &QComboBox::activated, this, whenUser(&Pane::updateOptionClickOption));
    connect(returnKeyButton_, &QComboBox::activated, this, whenUser(&Pane::updateReturnKeyAction));
    connect(cmdReturnButton_, &QComboBox::activated, this, whenUser(&Pane::updateCommandReturnKeyAction));
    connect(optReturnButton_, &QComboBox::activated, this, whenUser(&Pane::updateOptionReturnKeyAction));
    connect(ctrlReturnButton_, &QComboBox::activated, this, whenUser(&Pane::updateControlReturnKeyAction));
    connect(closeWindowButton_, &QCheckBox::clicked, this, whenUser(&Pane::updateReturnKeyClosesWindow));
    connect(installScriptButton_, &QPushButton::clicked, this, [this] { installScript(); });
    viewWillAppear();
}

TLGeneralPreferencesViewController::~TLGeneralPreferencesViewController() { *self_ = nullptr; }

void TLGeneralPreferencesViewController::showEvent(QShowEvent* event) {
    viewWillAppear();
    QWidget::showEvent(event);
}

std::shared_ptr<store::Context> TLGeneralPreferencesViewController::context() const {
    if (environment_.context) return environment_.context;
    return TLDatabaseManager::sharedManager()->managedObjectContext();
}

void TLGeneralPreferencesViewController::viewWillAppear() {
    auto suite = TLSettings();
    loading_ = true;
    startAtLoginButton_->setChecked(suite->boolForKey(TLUserDefaultsStartAtLogin));
    int64_t limit = suite->integerForKey(TLUserDefaultsClipboardSize);
    if (limit > 0) {
        int index = historyItemsButton_->findData(QVariant::fromValue<qlonglong>(limit));
        if (index >= 0) historyItemsButton_->setCurrentIndex(index);
    }
    historySortButton_->setCurrentIndex(!suite->boolForKey(TLUserDefaultsSortByAddDate) ? 0
                                        : suite->boolForKey(TLUserDefaultsReverseSort) ? 2
                                                                                        : 1);
    showListClippingsButton_->setChecked(suite->boolForKey(TLUserDefaultsHideListItems));
    allowDupeButton_->setChecked(suite->boolForKey(TLUserDefaultsAllowDupes));
    pasteNumberedShortcuts_->setChecked(suite->boolForKey(TLUserDefaultsPasteNumberedShortcuts));
    closeWindowButton_->setChecked(suite->boolForKey(TLUserDefaultsCopyPasteClosesWindow));
    auto select = [&](QComboBox* button, const char* key) {
        int64_t stored = suite->integerForKey(key);
        // A stored value no item has leaves the pop-up as it was.
        if (stored >= 0 && stored < int64_t(std::size(kActionTitles))) button->setCurrentIndex(int(stored));
    };
    int64_t drag = suite->integerForKey(TLUserDefaultsDragAction);
    if (drag >= 0 && drag < dragAndDropButton_->count()) dragAndDropButton_->setCurrentIndex(int(drag));
    select(doubleClickButton_, TLUserDefaultsDoubleClickAction);
    select(optionClickButton_, TLUserDefaultsOptionClickActionKey);
    select(returnKeyButton_, TLUserDefaultsReturnActionKey);
    select(cmdReturnButton_, TLUserDefaultsCommandReturnActionKey);
    select(optReturnButton_, TLUserDefaultsOptionReturnActionKey);
    select(ctrlReturnButton_, TLUserDefaultsControlReturnActionKey);
    loading_ = false;
}

void TLGeneralPreferencesViewController::setStartAtLogin() {
    auto suite = TLSettings();
    bool on = startAtLoginButton_->isChecked();
    auto changed = environment_.setLoginItemEnabled(TLLauncherBundleIdentifier, on);
    if (changed) {
        if (on) TLLogInfo(TLLogContextGeneral, "Start At Login Enabled");
        else TLLogInfo(TLLogContextGeneral, "Don't Start At Login");
        suite->setBool(on, TLUserDefaultsStartAtLogin);
    } else {
        TLLogError(TLLogContextGeneral, "%@", changed.error().description());
        // The entry is as it was, and so is the checkbox: a failed disable
        // leaves the program starting at login.
        startAtLoginButton_->setChecked(!on);
    }
    suite->synchronize();
}

namespace {

// The clippings past the newest `limit`, read one by one: exact whatever the
// dates, for the boundary that counts alone cannot place.
int64_t countPastLimitByRows(store::Context& context, int64_t limit, int64_t& over) {
    store::FetchRequest request("Clipping");
    request.sortDescriptors = {{"tavloDate", false}};
    request.fetchOffset = limit;
    request.propertiesToFetch = {"list"};
    auto rows = context.fetchDictionaries(request);
    if (!rows) {
        TLLogError(TLLogContextPasteboard, "%@", rows.error().description());
        return 0;
    }
    over = int64_t(rows.value().size());
    int64_t outsideLists = 0;
    for (const auto& row : rows.value()) {
        auto list = row.find("list");
        if (list == row.end() || list->second.isNull()) ++outsideLists;
    }
    return outsideLists;
}

// The number of clippings a predicate matches; -1 when the store cannot say.
int64_t countWhere(store::Context& context, const char* format, std::vector<store::Value> arguments = {}) {
    auto predicate = format ? store::Predicate::withFormatArguments(format, std::move(arguments))
                            : foundation::Result<std::shared_ptr<const store::Predicate>>(nullptr);
    if (!predicate) return -1;
    store::FetchRequest request("Clipping");
    request.predicate = predicate.value();
    auto counted = context.count(request);
    if (!counted) {
        TLLogError(TLLogContextPasteboard, "%@", counted.error().description());
        return -1;
    }
    return counted.value();
}

}  // namespace

int64_t TLGeneralPreferencesViewController::clippingsPastLimit(store::Context& context, int64_t limit) {
    int64_t over = 0, outsideLists = 0;
    context.performBlockAndWait([&] {
        // Counted in the store, not row by row: the clipping at the limit
        // gives the date before which every clipping goes.
        const int64_t total = countWhere(context, nullptr);
        if (total < 0) return;
        over = std::max<int64_t>(0, total - limit);
        if (over == 0) return;
        store::FetchRequest request("Clipping");
        // The order of the date's index, which the store then only walks.
        request.sortDescriptors = {{"tavloDate", false}, {"pasteboardIndex", true}};
        request.fetchOffset = limit;
        request.fetchLimit = 1;
        request.propertiesToFetch = {"tavloDate", "list"};
        auto boundary = context.fetchDictionaries(request);
        auto field = [&](const char* key) {
            if (!boundary || boundary.value().size() != 1) return store::Value();
            auto found = boundary.value().front().find(key);
            return found == boundary.value().front().end() ? store::Value() : found->second;
        };
        const store::Value date = field("tavloDate");
        // Clippings of one date are in no set order, so a date at the limit
        // that another clipping shares (or none at all) leaves the store to
        // say which of them stay: then they are read one by one.
        if (date.isNull() || countWhere(context, "tavloDate == %@", {date}) != 1 ||
            countWhere(context, "tavloDate == nil") != 0) {
            outsideLists = countPastLimitByRows(context, limit, over);
            return;
        }
        // Older ones less those in lists: both ranges of the date's index.
        const int64_t older = countWhere(context, "tavloDate < %@", {date});
        const int64_t listed = countWhere(context, "list != nil AND tavloDate < %@", {date});
        if (older < 0 || listed < 0) {
            outsideLists = countPastLimitByRows(context, limit, over);
            return;
        }
        outsideLists = older - listed + (field("list").isNull() ? 1 : 0);
    });
    TLLogInfo(TLLogContextPasteboard, "Tavlo history is %@ over the limit", over);
    return outsideLists;
}

void TLGeneralPreferencesViewController::updateHistoryLimit() {
    const int64_t limit = historyItemsButton_->currentData().toLongLong();
    const int64_t old = TLSettings()->integerForKey(TLUserDefaultsClipboardSize);
    if (limit >= old) return applyHistoryLimit(limit);
    auto context = this->context();
    const int64_t count = context ? clippingsPastLimit(*context, limit) : 0;
    if (count == 0) return applyHistoryLimit(limit);

    auto alert = std::make_unique<desktop::Alert>();
    alert->setAlertStyle(desktop::Alert::Style::Warning);
    alert->setMessageText("Warning");
    alert->setInformativeText(foundation::format("%@ clipping%@ will be deleted", count, count == 1 ? "" : "s"));
    alert->addButtonWithTitle("Delete");
    alert->addButtonWithTitle("Cancel");
    std::weak_ptr<Pane*> alive = self_;
    auto shared = std::make_shared<std::unique_ptr<desktop::Alert>>(std::move(alert));
    dispatch::after(kWarningDelay, dispatch::Queue::main(), [alive, shared, limit, old] {
        auto self = alive.lock();
        if (!self || !*self) return;
        Pane* pane = *self;
        pane->showAlert(std::move(*shared), [alive, limit, old](int response) {
            auto self = alive.lock();
            if (!self || !*self) return;
            if (response == desktop::Alert::kFirstButtonReturn) return (*self)->applyHistoryLimit(limit);
            QComboBox* button = (*self)->historyItemsButton_;
            int index = button->findData(QVariant::fromValue<qlonglong>(old));
            if (index >= 0) button->setCurrentIndex(index);
        });
    });
}

void TLGeneralPreferencesViewController::applyHistoryLimit(int64_t limit) {
    // The suite, its notification (the history is trimmed and the browser
    // reloads) and, while sync is on, the user's other devices.
    TLMirroredSettings::write(TLUserDefaultsClipboardSize, foundation::PlistValue(limit));
}

void TLGeneralPreferencesViewController::updateHistorySorting() {
    auto suite = TLSettings();
    int index = historySortButton_->currentIndex();
    suite->setBool(index != 0, TLUserDefaultsSortByAddDate);
    suite->setBool(index == 2, TLUserDefaultsReverseSort);
    post(TLUserDefaultsClipboardSize);
    suite->synchronize();
}

void TLGeneralPreferencesViewController::updateHistoryListClippingVisiblility() {
    auto suite = TLSettings();
    suite->setBool(showListClippingsButton_->isChecked(), TLUserDefaultsHideListItems);
    post(TLUserDefaultsClipboardSize);
    suite->synchronize();
}

void TLGeneralPreferencesViewController::updateAllowsDuplicatesOption() {
    auto suite = TLSettings();
    suite->setBool(allowDupeButton_->isChecked(), TLUserDefaultsAllowDupes);
    suite->synchronize();
}

void TLGeneralPreferencesViewController::updateDragOption() {
    auto suite = TLSettings();
    suite->setInteger(dragAndDropButton_->currentIndex(), TLUserDefaultsDragAction);
    suite->synchronize();
}

void TLGeneralPreferencesViewController::updateReturnKeyClosesWindow() {
    auto suite = TLSettings();
    suite->setBool(closeWindowButton_->isChecked(), TLUserDefaultsCopyPasteClosesWindow);
    suite->synchronize();
}

bool TLGeneralPreferencesViewController::pasteScriptIsPresent() const {
    std::error_code error;
    return fs::exists(fs::symlink_status(scriptsFolder() / kScriptName, error));
}

void TLGeneralPreferencesViewController::updatePasteUsingNumberedShortcuts() {
    auto suite = TLSettings();
    if (!pasteNumberedShortcuts_->isChecked()) {
        suite->setBool(false, TLUserDefaultsPasteNumberedShortcuts);
        suite->synchronize();
    } else if (pasteScriptIsPresent()) {
        suite->setBool(true, TLUserDefaultsPasteNumberedShortcuts);
        suite->synchronize();
    } else {
        pasteNumberedShortcuts_->setChecked(false);
        showInstallScriptPrompt();
    }
}

void TLGeneralPreferencesViewController::updateActionOption(QComboBox* button, const char* key) {
    auto suite = TLSettings();
    // The code is the item's data: the item added after an installation
    // stands for a code the items before it already have.
    const int64_t code = button->currentData().toLongLong();
    if (needsPasteScript(code) && !pasteScriptIsPresent()) {
        int stored = button->findData(QVariant::fromValue<qlonglong>(suite->integerForKey(key)));
        if (stored >= 0) button->setCurrentIndex(stored);
        showInstallScriptPrompt();
        return;
    }
    suite->setInteger(code, key);
    suite->synchronize();
}

void TLGeneralPreferencesViewController::updateDoubleClickOption() {
    updateActionOption(doubleClickButton_, TLUserDefaultsDoubleClickAction);
}
void TLGeneralPreferencesViewController::updateOptionClickOption() {
    updateActionOption(optionClickButton_, TLUserDefaultsOptionClickActionKey);
}
void TLGeneralPreferencesViewController::updateReturnKeyAction() {
    updateActionOption(returnKeyButton_, TLUserDefaultsReturnActionKey);
}
void TLGeneralPreferencesViewController::updateCommandReturnKeyAction() {
    updateActionOption(cmdReturnButton_, TLUserDefaultsCommandReturnActionKey);
}
void TLGeneralPreferencesViewController::updateOptionReturnKeyAction() {
    updateActionOption(optReturnButton_, TLUserDefaultsOptionReturnActionKey);
}
void TLGeneralPreferencesViewController::updateControlReturnKeyAction() {
    updateActionOption(ctrlReturnButton_, TLUserDefaultsControlReturnActionKey);
}

void TLGeneralPreferencesViewController::showAlert(std::unique_ptr<desktop::Alert> alert,
                                                   std::function<void(int)> completion) {
    // The alert shown before may still be inside its own completion: it goes
    // once that has returned.
    if (alert_) {
        std::shared_ptr<desktop::Alert> previous(alert_.release());
        previous->withdraw();
        dispatch::Queue::main()->async([previous] {});
    }
    alert_ = std::move(alert);
    alert_->beginSheetModalForWindow(window(), std::move(completion));
}

void TLGeneralPreferencesViewController::showInstallScriptPrompt() {
    auto alert = std::make_unique<desktop::Alert>();
    alert->setMessageText("Paste Helper required");
    alert->setInformativeText(
        "Download and install the Paste Helper to paste items directly into the foreground application.");
    // The helper comes with the program: its button installs it.
    alert->addButtonWithTitle("Install Paste Helper");
    std::weak_ptr<Pane*> alive = self_;
    showAlert(std::move(alert), [alive](int response) {
        if (response != desktop::Alert::kFirstButtonReturn) return;
        dispatch::Queue::main()->async([alive] {
            if (auto self = alive.lock(); self && *self) (*self)->installScript();
        });
    });
}

void TLGeneralPreferencesViewController::installScript() { askToInstallScript(); }

void TLGeneralPreferencesViewController::askToInstallScript() {
    const fs::path folder = scriptsFolder();
    panel_ = std::make_unique<desktop::OpenPanel>();
    panel_->setCanChooseFiles(false);
    panel_->setCanChooseDirectories(true);
    panel_->setAllowsMultipleSelection(false);
    panel_->setDirectoryURL(folder);
    panel_->setPrompt("Install Script");
    panel_->setMessage(foundation::format("Please select the folder %@", folder.string()));
    std::weak_ptr<Pane*> alive = self_;
    auto again = [alive] {
        dispatch::Queue::main()->async([alive] {
            if (auto self = alive.lock(); self && *self) (*self)->installScript();
        });
    };
    panel_->beginSheetModalForWindow(window(), [alive, folder, again](int response) {
        auto self = alive.lock();
        if (!self || !*self || response != desktop::OpenPanel::kOK) return;
        Pane* pane = *self;
        const auto& chosen = pane->panel_->URLs();
        if (chosen.empty()) return;
        if (!sameFolder(chosen.front(), folder)) {
            auto alert = std::make_unique<desktop::Alert>();
            alert->setAlertStyle(desktop::Alert::Style::Warning);
            alert->setMessageText("Incorrect script folder");
            alert->setInformativeText(foundation::format("Please select the folder %@", folder.string()));
            pane->showAlert(std::move(alert), [again](int response) {
                if (response == desktop::Alert::kFirstButtonReturn) again();
            });
            return;
        }
        auto installed = pane->environment_.installPasteScript
                             ? pane->environment_.installPasteScript(chosen.front())
                             : TLPasteScript::installPasteScript(chosen.front());
        if (installed) {
            auto alert = std::make_unique<desktop::Alert>();
            alert->setAlertStyle(desktop::Alert::Style::Informational);
            alert->setMessageText("Direct Paste Helper Installed");
            alert->setInformativeText(
                "You can now paste selected items directly into the active application. Select \"Paste in ...\" "
                "from the right click menu, or use the ⌘V shortcut, or set it as a double click action.");
            pane->showAlert(std::move(alert), [](int) {});
            if (!pane->pasteInAppAdded_) {
                // It stands for copy and paste, so a choice of it is stored
                // as that code and shows again after a restart.
                pane->doubleClickButton_->addItem(QStringLiteral("Paste in App"),
                                                  QVariant::fromValue<qlonglong>(CopyAndPaste));
                pane->pasteInAppAdded_ = true;
            }
            return;
        }
        const foundation::Error& error = installed.error();
        if (error.code == kFileExistsError) return;
        TLLogError(TLLogContextGeneral, "%@", error.description());
        auto alert = std::make_unique<desktop::Alert>();
        alert->setAlertStyle(desktop::Alert::Style::Critical);
        alert->setMessageText(error.localizedDescription());
        pane->showAlert(std::move(alert), [again](int) { again(); });
    });
}
