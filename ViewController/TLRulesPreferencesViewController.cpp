#include "TLRulesPreferencesViewController.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QIcon>
#include <QLabel>
#include <QStyle>
#include <QTableWidget>
#include <QToolButton>
#include <QVBoxLayout>

#include <algorithm>
#include <set>

#include "kit/List.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/TLLog.h"
#include "platform/desktop/DesktopEntries.h"
#include "platform/desktop/OpenPanel.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "platform/store/FetchRequest.h"
#include "views/TLApplicationCellView.h"

namespace {

namespace fs = std::filesystem;
using foundation::PlistValue;
using Pane = TLRulesPreferencesViewController;

PlistValue::Array storedRules() { return TLSettings()->arrayForKey(TLApplicationRules).value_or(PlistValue::Array{}); }

std::string stringIn(const PlistValue& rule, const char* key) {
    const PlistValue* value = rule.get(key);
    return value ? value->stringValue().value_or("") : std::string();
}

// The icon a desktop entry names: a file, or a name in the icon theme.
QIcon iconFor(const desktop::DesktopEntry* entry, const QStyle* style) {
    QIcon generic = QIcon::fromTheme(QStringLiteral("application-x-executable"),
                                     style->standardIcon(QStyle::SP_FileIcon));
    if (!entry || entry->icon.empty()) return generic;
    QString icon = QString::fromStdString(entry->icon);
    if (fs::path(entry->icon).is_absolute()) {
        std::error_code error;
        return fs::is_regular_file(entry->icon, error) ? QIcon(icon) : generic;
    }
    return QIcon::fromTheme(icon, generic);
}

}  // namespace

TLRulesPreferencesViewController::TLRulesPreferencesViewController(std::shared_ptr<store::Context> context,
                                                                   QWidget* parent)
    : QWidget(parent),
      context_(std::move(context)),
      tableView_(new QTableWidget(this)),
      addButton_(new QToolButton(this)),
      removeButton_(new QToolButton(this)),
      self_(std::make_shared<Pane*>(this)) {
    setObjectName(QStringLiteral("Rules"));
    tableView_->setColumnCount(1);
    tableView_->horizontalHeader()->hide();
    tableView_->horizontalHeader()->setStretchLastSection(true);
    tableView_->verticalHeader()->hide();
    tableView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    tableView_->verticalHeader()->setDefaultSectionSize(kRowHeight);
    tableView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    tableView_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    tableView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    tableView_->setShowGrid(false);
    addButton_->setText(QStringLiteral("+"));
    addButton_->setToolTip(QStringLiteral("Add applications"));
    removeButton_->setText(QStringLiteral("−"));
    removeButton_->setToolTip(QStringLiteral("Remove the selected rules"));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tableView_, 1);
    auto* control = new QHBoxLayout;
    control->setSpacing(0);
    control->addWidget(addButton_);
    control->addWidget(removeButton_);
    control->addStretch(1);
    layout->addLayout(control);

    connect(addButton_, &QToolButton::clicked, this, [this] { controlClicked(0); });
    connect(removeButton_, &QToolButton::clicked, this, [this] { controlClicked(1); });
    connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { selectionDidChange(); });
    viewWillAppear();
}

TLRulesPreferencesViewController::~TLRulesPreferencesViewController() { *self_ = nullptr; }

void TLRulesPreferencesViewController::showEvent(QShowEvent* event) {
    viewWillAppear();
    QWidget::showEvent(event);
}

void TLRulesPreferencesViewController::viewWillAppear() {
    lists_.clear();
    std::shared_ptr<store::Context> context = context_;
    if (!context) context = TLDatabaseManager::sharedManager()->managedObjectContext();
    if (context) {
        store::FetchRequest request(List::kEntityName);
        request.sortDescriptors = {{"name", true}};
        auto found = context->fetch(request);
        if (found) {
            for (const auto& object : found.value())
                if (auto list = std::dynamic_pointer_cast<List>(object)) lists_.push_back(std::move(list));
        } else {
            TLLogError(TLLogContextGeneral, "%@", found.error().description());
        }
    }
    reloadData();
    removeButton_->setEnabled(false);
}

TLApplicationCellView* TLRulesPreferencesViewController::cellAtRow(int row) const {
    return dynamic_cast<TLApplicationCellView*>(tableView_->cellWidget(row, 0));
}

void TLRulesPreferencesViewController::reloadData() {
    const int rows = int(storedRules().size()) + 1;
    tableView_->clearSelection();
    tableView_->setRowCount(0);
    tableView_->setRowCount(rows);
    // The installed applications give the rules' icons.
    const desktop::DesktopEntries entries = rows > 1 ? desktop::DesktopEntries::load() : desktop::DesktopEntries();
    for (int row = 0; row < rows; ++row) {
        auto* cell = new TLApplicationCellView;
        configureCell(*cell, row, entries);
        tableView_->setCellWidget(row, 0, cell);
    }
}

void TLRulesPreferencesViewController::configureCell(TLApplicationCellView& cell, int row,
                                                     const desktop::DesktopEntries& entries) {
    QComboBox* options = cell.optionsButton();
    options->clear();
    options->addItem(QStringLiteral("Do Not Save"));
    options->insertSeparator(1);
    options->addItem(QStringLiteral("Save to Tavlo"));
    options->insertSeparator(3);
    for (const auto& list : lists_)
        options->addItem(QString::fromStdString(foundation::format("Add to %@", list->name().value_or(""))));
    // The item of a list by its identifier; "Save to Tavlo" when no list has it.
    auto itemForList = [this](const std::string& listID) {
        for (size_t i = 0; i < lists_.size(); ++i)
            if (!listID.empty() && lists_[i]->listID().value_or("") == listID) return kFirstListItem + int(i);
        return kSaveItem;
    };
    std::weak_ptr<Pane*> alive = self_;
    const int extent = cell.imageView()->width();
    if (row == 0) {
        auto suite = TLSettings();
        QIcon icon = QIcon::fromTheme(QStringLiteral("tavlo"));
        if (auto path = foundation::Bundle::main()->pathForResource("AppIcon", "png"))
            icon = QIcon(QString::fromStdString(path->string()));
        cell.imageView()->setPixmap(icon.pixmap(extent, extent));
        cell.textField()->setText(QStringLiteral("Default Rule"));
        int64_t option = suite->integerForKey(TLDefaultRuleOption);
        options->setCurrentIndex(option == 1   ? kDoNotSaveItem
                                 : option == 2 ? itemForList(suite->stringForKey(TLDefaultListID).value_or(""))
                                               : kSaveItem);
        cell.setUpdateRule([alive](int index) {
            if (auto self = alive.lock(); self && *self) (*self)->updateDefaultRule(index);
        });
        return;
    }
    const PlistValue::Array rules = storedRules();
    const size_t at = size_t(row - 1);
    if (at >= rules.size()) return;
    const PlistValue& rule = rules[at];
    cell.imageView()->setPixmap(
        iconFor(entries.entryWithID(stringIn(rule, TLAppRuleBundleIdentifier)), style()).pixmap(extent, extent));
    cell.textField()->setText(QString::fromStdString(stringIn(rule, TLAppRuleBundleName)));
    const PlistValue* option = rule.get(TLAppRuleOption);
    int64_t code = option ? option->integerValue() : 0;
    options->setCurrentIndex(code == 1   ? kDoNotSaveItem
                             : code == 2 ? itemForList(stringIn(rule, TLAppRuleListID))
                                         : kSaveItem);
    cell.setUpdateRule([alive, at](int index) {
        if (auto self = alive.lock(); self && *self) (*self)->updateRule(at, index);
    });
}

void TLRulesPreferencesViewController::updateDefaultRule(int index) {
    auto suite = TLSettings();
    if (index == kDoNotSaveItem || index == kSaveItem) {
        suite->setInteger(index == kDoNotSaveItem ? 1 : 0, TLDefaultRuleOption);
        suite->removeObjectForKey(TLDefaultListID);
    } else if (index >= kFirstListItem && size_t(index - kFirstListItem) < lists_.size()) {
        suite->setInteger(2, TLDefaultRuleOption);
        suite->setObject(PlistValue(lists_[size_t(index - kFirstListItem)]->listID().value_or("")), TLDefaultListID);
    } else {
        return;
    }
    suite->synchronize();
}

void TLRulesPreferencesViewController::updateRule(size_t at, int index) {
    auto suite = TLSettings();
    PlistValue::Array rules = storedRules();
    // Another writer may have shortened the rules since the row was made.
    if (at >= rules.size()) return;
    PlistValue rule = rules[at];
    PlistValue::Dictionary* fields = rule.asDictionary();
    if (!fields) return;
    if (index == kDoNotSaveItem || index == kSaveItem) {
        (*fields)[TLAppRuleOption] = PlistValue(int64_t(index == kDoNotSaveItem ? 1 : 0));
        fields->erase(TLAppRuleListID);
    } else if (index >= kFirstListItem && size_t(index - kFirstListItem) < lists_.size()) {
        (*fields)[TLAppRuleOption] = PlistValue(int64_t(2));
        (*fields)[TLAppRuleListID] = PlistValue(lists_[size_t(index - kFirstListItem)]->listID().value_or(""));
    } else {
        return;
    }
    rules[at] = std::move(rule);
    suite->setObject(PlistValue(std::move(rules)), TLApplicationRules);
    suite->synchronize();
}

void TLRulesPreferencesViewController::selectionDidChange() {
    // The default rule cannot go; any rule row selected can.
    bool removable = false;
    for (const QModelIndex& index : tableView_->selectionModel()->selectedRows())
        if (index.row() >= 1) removable = true;
    removeButton_->setEnabled(removable);
}

void TLRulesPreferencesViewController::controlClicked(int segment) {
    if (segment == 1) {
        deleteSelectedRules();
        return;
    }
    // The folders that are there: the first to start in, all in the sidebar.
    auto folders = desktop::DesktopEntries::applicationFolders();
    std::erase_if(folders, [](const fs::path& folder) {
        std::error_code error;
        return !fs::is_directory(folder, error);
    });
    const fs::path start = folders.empty() ? fs::path() : folders.front();
    panel_ = std::make_unique<desktop::OpenPanel>();
    panel_->setCanChooseFiles(true);
    panel_->setCanChooseDirectories(false);
    panel_->setAllowsMultipleSelection(true);
    panel_->setAllowedFilePatterns({"*.desktop"});
    panel_->setDirectoryURL(start);
    panel_->setSidebarURLs(folders);
    panel_->setPrompt("Add");
    panel_->setMessage("Choose the applications to make rules for");
    std::weak_ptr<Pane*> alive = self_;
    panel_->beginSheetModalForWindow(window(), [alive](int response) {
        auto self = alive.lock();
        if (!self || !*self || response != desktop::OpenPanel::kOK) return;
        (*self)->addApplications((*self)->panel_->URLs());
    });
}

void TLRulesPreferencesViewController::addApplications(const std::vector<fs::path>& paths) {
    PlistValue::Array rules = storedRules();
    std::set<std::string> ruled;
    for (const auto& rule : rules) ruled.insert(stringIn(rule, TLAppRuleBundleIdentifier));
    const auto folders = desktop::DesktopEntries::applicationFolders();
    for (const auto& path : paths) {
        std::string id = desktop::DesktopEntries::idForPath(path, folders);
        auto entry = desktop::DesktopEntries::read(path, id);
        if (!entry) {
            TLLogInfo(TLLogContextGeneral, "Not an application: %@", path.string());
            continue;
        }
        if (!ruled.insert(entry->id).second) continue;
        rules.push_back(PlistValue(PlistValue::Dictionary{
            {TLAppRuleBundleName, PlistValue(entry->name.empty() ? entry->id : entry->name)},
            {TLAppRuleBundleIdentifier, PlistValue(entry->id)},
        }));
    }
    std::stable_sort(rules.begin(), rules.end(), [](const PlistValue& a, const PlistValue& b) {
        return QString::compare(QString::fromStdString(stringIn(a, TLAppRuleBundleName)),
                                QString::fromStdString(stringIn(b, TLAppRuleBundleName)), Qt::CaseInsensitive) < 0;
    });
    auto suite = TLSettings();
    suite->setObject(PlistValue(std::move(rules)), TLApplicationRules);
    suite->synchronize();
    reloadData();
    removeButton_->setEnabled(false);
}

void TLRulesPreferencesViewController::deleteSelectedRules() {
    std::vector<int> rows;
    for (const QModelIndex& index : tableView_->selectionModel()->selectedRows()) rows.push_back(index.row());
    tableView_->clearSelection();
    // The default rule is never removed, even when its row was selected too.
    std::erase_if(rows, [](int row) { return row < 1; });
    if (rows.empty()) return;
    std::sort(rows.begin(), rows.end());
    PlistValue::Array rules = storedRules();
    for (auto it = rows.rbegin(); it != rows.rend(); ++it) {
        size_t at = size_t(*it - 1);
        if (at < rules.size()) rules.erase(rules.begin() + std::ptrdiff_t(at));
    }
    auto suite = TLSettings();
    suite->setObject(PlistValue(std::move(rules)), TLApplicationRules);
    suite->synchronize();
    // The rows below a removed one now show other rules: each is made again.
    reloadData();
    removeButton_->setEnabled(false);
}
