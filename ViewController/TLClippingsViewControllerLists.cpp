// The clippings panel's lists: the title's menu that chooses the main history
// or a list and makes new lists, the right-click menu that renames or deletes
// the list on show, and the list sheet.
#include "TLClippingsViewController.h"

#include <QIcon>
#include <QPixmap>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLPasteboardManager.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Menu.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Format.h"
#include "platform/store/Context.h"
#include "views/TLListWindowController.h"
#include "views/TLTitleView.h"

namespace {

using desktop::MenuItem;

constexpr int64_t kMainHistoryTag = -1;
constexpr int64_t kNewListTag = -2;
constexpr int kKeyedLists = 9;  // Super+Alt+1 to 9
constexpr int kRightClickMenuWidth = 240;
constexpr QPoint kMenuOrigin{10, 5};  // where the menu's first row comes, in the title

// A blank picture of one pixel's width: it gives each row its height.
QIcon blankImage(int height) {
    QPixmap blank(1, height);
    blank.fill(Qt::transparent);
    return QIcon(blank);
}

QString titleOf(const List& list) { return QString::fromStdString(list.name().value_or("")); }

}  // namespace

std::vector<std::shared_ptr<List>> TLClippingsViewController::fetchLists() {
    std::vector<std::shared_ptr<List>> lists;
    auto main = context();
    if (!main) return lists;
    store::FetchRequest request(List::kEntityName);
    request.sortDescriptors = {{"name", true}};
    auto found = main->fetch(request);
    if (!found) return lists;
    lists.reserve(found.value().size());
    for (auto& object : found.value())
        if (auto list = std::dynamic_pointer_cast<List>(object)) lists.push_back(std::move(list));
    return lists;
}

void TLClippingsViewController::showTitleMenu() {
    auto menu = std::make_shared<desktop::Menu>("Lists");
    menu->setMinimumWidth(std::max(0, width() - 20));
    const QIcon blank = blankImage(24);
    auto action = [this](MenuItem& sender) { switchToList(sender); };
    constexpr uint64_t keyMask = MenuItem::kControlKeyMask | MenuItem::kAlternateKeyMask;

    auto history = std::make_shared<MenuItem>("Tavlo", action, "0");
    history->setKeyEquivalentModifierMask(keyMask);
    history->setTag(kMainHistoryTag);
    history->setImage(blank);
    history->setState(list_ ? MenuItem::State::Off : MenuItem::State::On);
    menu->addItem(history);
    menu->addItem(MenuItem::separatorItem());

    const auto lists = fetchLists();
    for (size_t i = 0; i < lists.size(); ++i) {
        const auto& list = lists[i];
        auto item = std::make_shared<MenuItem>(list->name().value_or(""), action,
                                               i < kKeyedLists ? std::to_string(i + 1) : std::string());
        item->setKeyEquivalentModifierMask(keyMask);
        item->setTag(int64_t(i));
        item->setRepresentedObject(list);
        item->setImage(blank);
        item->setState(list == list_ ? MenuItem::State::On : MenuItem::State::Off);
        menu->addItem(item);
    }
    if (!lists.empty()) menu->addItem(MenuItem::separatorItem());
    auto newList = std::make_shared<MenuItem>("New List...", action, "N");
    newList->setTag(kNewListTag);
    newList->setImage(blank);
    menu->addItem(newList);

    titleMenu_ = menu;  // kept while it shows
    menu->popUp(titleView_->mapToGlobal(kMenuOrigin));
}

void TLClippingsViewController::switchToList(desktop::MenuItem& sender) {
    if (sender.tag() == kNewListTag) {
        createNewList();
        return;
    }
    const auto* list = std::any_cast<std::shared_ptr<List>>(&sender.representedObject());
    selectList(list ? *list : nullptr);
}

void TLClippingsViewController::selectList(std::shared_ptr<List> list) {
    if (isSearching_) cancelSearchWithAnimation(false);
    titleView_->setTitle(list ? titleOf(*list) : QStringLiteral("Tavlo"));
    showTitleIcon(bool(list));
    list_ = std::move(list);
    fetchClippings();
}

// A list's name goes with the list icon; the main history's title stands alone,
// so the icon never outlives the list it marked.
void TLClippingsViewController::showTitleIcon(bool list) {
    titleView_->setIcon(list ? panelImage(QStringLiteral("icon-list"), TLTitleView::kIconSize * 2) : QImage());
}

void TLClippingsViewController::createNewList() { beginListSheet(nullptr); }

void TLClippingsViewController::renameList() {
    if (list_) beginListSheet(list_);
}

void TLClippingsViewController::beginListSheet(std::shared_ptr<List> list) {
    if (listWindowController_) return;  // one sheet at a time
    const bool renaming = bool(list);
    listWindowController_ = std::make_shared<TLListWindowController>(context(), std::move(list), configuration_.saveContext);
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    listWindowController_->beginSheetModalForWindow(this, [alive, renaming] {
        auto self = alive.lock();
        if (!self) return;
        TLClippingsViewController& panel = **self;
        panel.listWindowController_.reset();
        if (!renaming || !panel.list_) return;
        // A list deleted elsewhere while its sheet showed has left the store.
        if (panel.list_->isDeleted() || !panel.list_->managedObjectContext()) panel.showMainHistory();
        else panel.titleView_->setTitle(titleOf(*panel.list_));
    });
}

void TLClippingsViewController::showTitleRightClickMenu() {
    if (!list_) return;
    auto menu = std::make_shared<desktop::Menu>("Lists");
    menu->setMinimumWidth(kRightClickMenuWidth);
    const QIcon blank = blankImage(20);
    auto rename = std::make_shared<MenuItem>("Rename List", [this](MenuItem&) { renameList(); });
    auto remove = std::make_shared<MenuItem>("Delete List", [this](MenuItem&) { deleteList(); });
    for (const auto& item : {rename, remove}) {
        item->setImage(blank);
        menu->addItem(item);
    }
    titleMenu_ = menu;
    menu->popUp(titleView_->mapToGlobal(kMenuOrigin));
}

void TLClippingsViewController::deleteList() {
    if (!list_ || deleteListAlert_) return;
    std::shared_ptr<List> list = list_;
    // The clippings and the list go in one save; the trim follows it.
    auto remove = [this, list] {
        auto manager = pasteboardManager();
        if (!manager) return;
        if (manager->deleteClippings(list->clippings(), list)) manager->trimClipboardHistory();
    };
    const size_t count = list->clippings().size();
    if (count == 0) {
        remove();
        showMainHistory();
        return;
    }
    deleteListAlert_ = std::make_unique<desktop::Alert>();
    deleteListAlert_->setMessageText("Delete List");
    deleteListAlert_->setInformativeText(foundation::format("%@ clipping%@ stored in %@ will also be deleted.",
                                                            int64_t(count), count > 1 ? "s" : "",
                                                            list->name().value_or("")));
    deleteListAlert_->addButtonWithTitle("Delete");
    deleteListAlert_->addButtonWithTitle("Cancel");
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    deleteListAlert_->beginSheetModalForWindow(this, [alive, remove](int response) {
        auto self = alive.lock();
        if (!self) return;
        TLClippingsViewController& panel = **self;
        // The alert is still in its own call: it goes once that returns.
        std::shared_ptr<desktop::Alert> done(panel.deleteListAlert_.release());
        dispatch::Queue::main()->async([done] {});
        if (response != desktop::Alert::kFirstButtonReturn) return;
        remove();
        panel.showMainHistory();
    });
}

void TLClippingsViewController::showMainHistory() {
    titleView_->setTitle(QStringLiteral("Tavlo"));
    showTitleIcon(false);
    list_.reset();
    fetchClippings();
}
