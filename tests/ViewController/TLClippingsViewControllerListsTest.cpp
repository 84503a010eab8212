// The panel's lists: the title's menus, choosing a list and what capture then
// follows, the list sheet (new, rename, empty names, lists deleted
// elsewhere), deleting a list with its clippings and folders, and a store
// that refuses to save.
#include <QAction>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QTest>

#include <fstream>
#include <regex>

#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "tests/ViewController/ClippingsPanelFixture.h"
#include "tests/support/FakeFrontApplication.h"
#include "views/TLListWindowController.h"
#include "views/TLTitleView.h"

namespace {

using namespace panelTest;
using desktop::MenuItem;

const foundation::Error kDiskFull("NSCocoaErrorDomain", 640, "The disk is full.");

class ClippingsPanelListsTest : public ClippingsPanelTest {
protected:
    void SetUp() override {
        ClippingsPanelTest::SetUp();
        TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
        desktop::Animator::setInstant(true);
        // The pasteboard manager deletes and trims; its saves and the sheet's
        // fail while failing_ is set.
        auto general = std::make_shared<TLMacPasteboard>();
        general->setPasteboard(std::make_shared<desktop::MemoryPasteboard>());
        TLPasteboardManager::Configuration configuration;
        configuration.generalPasteboard = general;
        configuration.managedObjectContext = context_;
        configuration.frontApplication = std::make_shared<testsupport::FakeFrontApplication>();
        configuration.writerQueue = dispatch::Queue::main();
        configuration.saveContext = [this](store::Context& context) { return save(context); };
        manager_ = std::make_shared<TLPasteboardManager>(std::move(configuration));
        panelConfiguration_.pasteboardManager = manager_;
        panelConfiguration_.saveContext = [this](store::Context& context) { return save(context); };
    }
    void TearDown() override {
        while (desktop::Alert::answerShown(1)) dispatch::MainQueue::runUntilIdle();
        if (panel_) drain();
        // The trims run on the parent context's queue.
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
        dispatch::MainQueue::runUntilIdle();
        panel_.reset();
        panelConfiguration_ = {};
        manager_.reset();
        ClippingsPanelTest::TearDown();
        desktop::Animator::setInstant(false);
    }
    // A refused save has begun as a real one does: the delete rules have run.
    foundation::Result<void> save(store::Context& context) {
        ++saves_;
        if (!failing_) return context.save();
        context.processPendingChanges();
        return kDiskFull;
    }

    // The rows of the title menu as shown: titles, "-" for separators.
    std::vector<std::string> menuRows() const {
        std::vector<std::string> out;
        for (const auto& item : panel_->titleMenu()->items()) out.push_back(item->isSeparatorItem() ? "-" : item->title());
        return out;
    }
    std::shared_ptr<MenuItem> menuItem(const std::string& title) const {
        for (const auto& item : panel_->titleMenu()->items())
            if (item->title() == title) return item;
        return nullptr;
    }
    void choose(const std::string& title) {
        panel_->showTitleMenu();
        auto item = menuItem(title);
        ASSERT_TRUE(item) << title;
        panel_->titleMenu()->qMenu()->hide();
        item->performAction();
        drain();
    }
    TLListWindowController& sheet() const {
        EXPECT_TRUE(panel_->listWindowController());
        return *panel_->listWindowController();
    }
    // Types a name into the sheet and presses Return.
    void enterName(const QString& name) {
        sheet().textField()->selectAll();
        QTest::keyClicks(sheet().textField(), name);
        QTest::keyClick(sheet().textField(), Qt::Key_Return);
        drain();
    }
    std::vector<std::string> storedListNames() {
        std::vector<std::string> names;
        store::FetchRequest request(List::kEntityName);
        request.sortDescriptors = {{"name", true}};
        request.includesPendingChanges = false;
        auto found = context_->fetch(request);
        EXPECT_TRUE(found);
        if (found)
            for (const auto& object : found.value()) names.push_back(*std::static_pointer_cast<List>(object)->name());
        return names;
    }
    int64_t storedClippings() {
        store::FetchRequest request(Clipping::kEntityName);
        request.includesPendingChanges = false;
        auto count = context_->count(request);
        return count ? count.value() : -1;
    }
    static fs::path folderWithFile(const Clipping& clipping) {
        fs::path folder = assetFolder(clipping);
        std::ofstream(folder / "0.public.utf8-plain-text") << "x";
        return folder;
    }

    std::shared_ptr<TLPasteboardManager> manager_;
    bool failing_ = false;
    int saves_ = 0;
};

TEST_F(ClippingsPanelListsTest, TheTitleMenuOffersTheHistoryTheListsByNameAndANewList) {
    Panel& panel = makePanel();
    panel.showTitleMenu();
    EXPECT_EQ(menuRows(), (std::vector<std::string>{"Tavlo", "-", "New List..."}));
    EXPECT_EQ(menuItem("Tavlo")->state(), MenuItem::State::On);
    EXPECT_EQ(menuItem("Tavlo")->keyEquivalentLabel(), "Super+Alt+0");
    EXPECT_EQ(menuItem("New List...")->keyEquivalentLabel(), "Ctrl+Shift+N");
    EXPECT_GE(panel.titleMenu()->minimumWidth(), panel.width() - 20);
    panel.titleMenu()->qMenu()->hide();

    for (int i = 10; i >= 1; --i) makeList("List " + std::string(i < 10 ? "0" : "") + std::to_string(i));
    panel.showTitleMenu();
    auto rows = menuRows();
    ASSERT_EQ(rows.size(), 14u);
    EXPECT_EQ(rows[2], "List 01");
    EXPECT_EQ(rows[11], "List 10");
    EXPECT_EQ(std::count(rows.begin(), rows.end(), "-"), 2);
    EXPECT_EQ(menuItem("List 01")->keyEquivalentLabel(), "Super+Alt+1");
    EXPECT_EQ(menuItem("List 09")->keyEquivalentLabel(), "Super+Alt+9");
    EXPECT_EQ(menuItem("List 10")->keyEquivalentLabel(), "") << "the tenth has no key";
    panel.titleMenu()->qMenu()->hide();

    // The right-click menu is for a list on show only.
    auto before = panel.titleMenu();
    panel.showTitleRightClickMenu();
    EXPECT_EQ(panel.titleMenu(), before);
}

TEST_F(ClippingsPanelListsTest, ChoosingAListShowsItAndCaptureFollowsIt) {
    auto work = makeList("Work");
    add("at work", 1, work);
    add("at home", 2);
    Panel& panel = makePanel();
    ASSERT_EQ(shown().size(), 2u);

    choose("Work");
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("Work"));
    EXPECT_FALSE(panel.titleView()->icon().isNull()) << "a list shows with its icon";
    EXPECT_EQ(panel.list(), work);
    EXPECT_EQ(shown().size(), 1u);
    EXPECT_EQ(TLSettings()->stringForKey(TLUserDefaultsSelectedListID), std::optional<std::string>("L-Work"));
    panel.showTitleMenu();
    EXPECT_EQ(menuItem("Work")->state(), MenuItem::State::On);
    EXPECT_EQ(menuItem("Tavlo")->state(), MenuItem::State::Off);
    panel.titleMenu()->qMenu()->hide();

    choose("Tavlo");
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("Tavlo"));
    EXPECT_TRUE(panel.titleView()->icon().isNull());
    EXPECT_FALSE(panel.list());
    EXPECT_EQ(shown().size(), 2u);
    EXPECT_FALSE(TLSettings()->stringForKey(TLUserDefaultsSelectedListID));

    // Choosing a list ends a search.
    panel.toggleSearch();
    choose("Work");
    EXPECT_FALSE(panel.isSearching());
    EXPECT_EQ(shown().size(), 1u);
}

TEST_F(ClippingsPanelListsTest, NamesShowAsWritten) {
    makeList("R&D");
    makeList("Tab\there");
    const std::string longName(300, 'n');
    makeList(longName);
    Panel& panel = makePanel();
    panel.showTitleMenu();
    QList<QAction*> actions = panel.titleMenu()->qMenu()->actions();
    ASSERT_EQ(actions.size(), 7);
    EXPECT_TRUE(actions[2]->text().startsWith(QStringLiteral("R&&D\t")));  // drawn as "R&D"
    EXPECT_TRUE(actions[3]->text().startsWith(QString::fromUtf8("Tab\u2409here\t")));
    EXPECT_TRUE(actions[4]->text().contains(QChar(0x2026))) << "elided";
    panel.titleMenu()->qMenu()->hide();
    choose("R&D");
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("R&D"));
    choose(longName);
    EXPECT_LE(panel.titleView()->drawnTitleWidth(), panel.titleView()->width() - 40);
}

TEST_F(ClippingsPanelListsTest, ANewListIsNamedInTheSheet) {
    Panel& panel = makePanel();
    choose("New List...");
    ASSERT_TRUE(panel.listWindowController());
    QDialog* window = sheet().window();
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->windowModality(), Qt::WindowModal);

    // An empty name beeps once and the sheet stays.
    const int beeps = TLListWindowController::beepCount();
    QTest::keyClick(sheet().textField(), Qt::Key_Return);
    EXPECT_EQ(TLListWindowController::beepCount(), beeps + 1);
    EXPECT_TRUE(window->isVisible());

    enterName(QStringLiteral("Work"));
    EXPECT_FALSE(panel.listWindowController()) << "the sheet ended";
    EXPECT_EQ(storedListNames(), std::vector<std::string>{"Work"});
    auto lists = context_->fetch(store::FetchRequest(List::kEntityName));
    ASSERT_TRUE(lists && lists.value().size() == 1);
    auto list = std::static_pointer_cast<List>(lists.value()[0]);
    EXPECT_TRUE(std::regex_match(*list->listID(), std::regex("^L-[0-9A-F]{8}(-[0-9A-F]{4}){3}-[0-9A-F]{12}$")))
        << *list->listID();
    EXPECT_EQ(list->sync(), std::optional<bool>(true));
    EXPECT_TRUE(list->modifiedDate());
    EXPECT_FALSE(panel.list()) << "the panel stays where it was";
}

TEST_F(ClippingsPanelListsTest, RenamingKeepsTheSyncMarkOfAnUnchangedName) {
    auto list = makeList("Work");
    list->setSync(false);
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    panel.selectList(list);
    panel.renameList();
    EXPECT_EQ(sheet().textField()->text(), QStringLiteral("Work"));
    enterName(QStringLiteral("Work"));
    EXPECT_FALSE(panel.listWindowController());
    EXPECT_EQ(list->sync(), std::optional<bool>(false));

    panel.showTitleRightClickMenu();
    std::vector<std::string> titles;
    for (const auto& item : panel.titleMenu()->items()) titles.push_back(item->title());
    EXPECT_EQ(titles, (std::vector<std::string>{"Rename List", "Delete List"}));
    panel.titleMenu()->qMenu()->hide();
    panel.titleMenu()->itemAtIndex(0)->performAction();
    enterName(QStringLiteral("Projects"));
    EXPECT_EQ(list->sync(), std::optional<bool>(true));
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("Projects"));
    EXPECT_EQ(storedListNames(), std::vector<std::string>{"Projects"});
}

TEST_F(ClippingsPanelListsTest, AListDeletedElsewhereClosesItsRenameSheet) {
    auto list = makeList("Work");
    Panel& panel = makePanel();
    panel.selectList(list);
    panel.renameList();
    ASSERT_TRUE(sheet().isSheetShowing());
    context_->deleteObject(list);  // as another device's deletion arrives
    ASSERT_TRUE(context_->save().ok());
    drain();
    EXPECT_FALSE(panel.listWindowController());
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("Tavlo"));
    EXPECT_FALSE(panel.list());
}

TEST_F(ClippingsPanelListsTest, DeletingAListTakesItsClippingsAndTheirFolders) {
    auto work = makeList("Work");
    auto first = add("first", 1, work);
    auto second = add("second", 2, work);
    auto outside = add("outside", 3);
    const fs::path folders[] = {folderWithFile(*first), folderWithFile(*second), folderWithFile(*outside)};
    Panel& panel = makePanel();
    panel.selectList(work);
    panel.deleteList();
    desktop::Alert* alert = desktop::Alert::attachedSheet(panel.window());
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->messageText(), "Delete List");
    EXPECT_EQ(alert->informativeText(), "2 clippings stored in Work will also be deleted.");
    EXPECT_EQ(alert->buttonTitles(), (std::vector<std::string>{"Delete", "Cancel"}));

    ASSERT_TRUE(desktop::Alert::answerShown(1));  // Cancel
    drain();
    EXPECT_EQ(storedListNames(), std::vector<std::string>{"Work"});
    EXPECT_EQ(panel.list(), work);

    const int savesBefore = saves_;
    panel.deleteList();
    ASSERT_TRUE(desktop::Alert::answerShown(0));  // Delete
    drain();
    EXPECT_EQ(saves_ - savesBefore, 1) << "the clippings and the list in one save";
    EXPECT_TRUE(storedListNames().empty());
    EXPECT_EQ(storedClippings(), 1);
    EXPECT_FALSE(fs::exists(folders[0]));
    EXPECT_FALSE(fs::exists(folders[1]));
    EXPECT_TRUE(fs::exists(folders[2]));
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("Tavlo"));
    EXPECT_FALSE(panel.list());
    EXPECT_FALSE(TLSettings()->stringForKey(TLUserDefaultsSelectedListID));

    // One clipping: the singular. An empty list goes without an alert.
    auto one = makeList("One");
    add("only", 4, one);
    panel.selectList(one);
    panel.deleteList();
    ASSERT_TRUE(desktop::Alert::attachedSheet(panel.window()));
    EXPECT_EQ(desktop::Alert::attachedSheet(panel.window())->informativeText(),
              "1 clipping stored in One will also be deleted.");
    ASSERT_TRUE(desktop::Alert::answerShown(1));
    drain();
    auto empty = makeList("Empty");
    panel.selectList(empty);
    panel.deleteList();
    EXPECT_FALSE(desktop::Alert::attachedSheet(panel.window()));
    EXPECT_EQ(storedListNames(), std::vector<std::string>{"One"});
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("Tavlo"));
}

TEST_F(ClippingsPanelListsTest, ARefusedSaveKeepsTheSheetAndLeavesNothingBehind) {
    auto work = makeList("Work");
    Panel& panel = makePanel();
    failing_ = true;

    // A new list: the error shows on the sheet, with a beep, and the sheet stays.
    panel.createNewList();
    int beeps = TLListWindowController::beepCount();
    enterName(QStringLiteral("Doomed"));
    EXPECT_EQ(TLListWindowController::beepCount(), beeps + 1);
    ASSERT_TRUE(panel.listWindowController());
    EXPECT_TRUE(sheet().isSheetShowing());
    ASSERT_TRUE(sheet().errorAlert());
    EXPECT_EQ(desktop::Alert::attachedSheet(sheet().window()), sheet().errorAlert());
    EXPECT_EQ(sheet().errorAlert()->messageText(), kDiskFull.localizedDescription());
    ASSERT_TRUE(desktop::Alert::answerShown(0));
    drain();
    // Cancel, then the next capture's save: no list is stored.
    sheet().cancel();
    drain();
    EXPECT_FALSE(panel.listWindowController());
    failing_ = false;
    add("the next capture", 0);
    EXPECT_EQ(storedListNames(), std::vector<std::string>{"Work"});

    // A rename: the stored name stays after Cancel and the next save.
    failing_ = true;
    panel.selectList(work);
    panel.renameList();
    beeps = TLListWindowController::beepCount();
    enterName(QStringLiteral("Renamed"));
    EXPECT_EQ(TLListWindowController::beepCount(), beeps + 1);
    EXPECT_TRUE(sheet().isSheetShowing());
    ASSERT_TRUE(desktop::Alert::answerShown(0));
    sheet().cancel();
    drain();
    failing_ = false;
    add("another capture", 0);
    EXPECT_EQ(storedListNames(), std::vector<std::string>{"Work"});
    EXPECT_EQ(panel.titleView()->title(), QStringLiteral("Work"));
}

TEST_F(ClippingsPanelListsTest, ARefusedDeletionKeepsEveryClippingAndFolder) {
    auto work = makeList("Work");
    std::vector<fs::path> folders;
    for (int i = 0; i < 3; ++i) folders.push_back(folderWithFile(*add("kept " + std::to_string(i), i, work)));
    Panel& panel = makePanel();
    panel.selectList(work);
    failing_ = true;
    panel.deleteList();
    ASSERT_TRUE(desktop::Alert::answerShown(0));
    drain();
    for (const auto& folder : folders) EXPECT_TRUE(fs::exists(folder));
    EXPECT_FALSE(panel.list()) << "back to the main history all the same";
    EXPECT_EQ(shown().size(), 3u) << "the clippings still show";
    // The next save that succeeds stores no deletion either.
    failing_ = false;
    add("next", 0);
    EXPECT_EQ(storedClippings(), 4);
    EXPECT_EQ(storedListNames(), std::vector<std::string>{"Work"});
    for (const auto& clipping : work->clippings()) EXPECT_EQ(clipping->list(), work);
}

TEST_F(ClippingsPanelListsTest, AThousandClippingsGoInOneSaveAndAThousandListsShow) {
    auto big = makeList("Big");
    for (int i = 0; i < 1000; ++i) add("member " + std::to_string(i), i, big, false);
    for (int i = 0; i < 999; ++i) {
        auto list = std::static_pointer_cast<List>(context_->insertNewObject(List::kEntityName));
        list->setListID("L-extra-" + std::to_string(i));
        list->setName("Extra " + std::to_string(i));
    }
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    panel.showTitleMenu();
    EXPECT_EQ(panel.titleMenu()->numberOfItems(), 1000 + 4);
    EXPECT_TRUE(panel.titleMenu()->qMenu()->isVisible());
    panel.titleMenu()->qMenu()->hide();

    panel.selectList(big);
    const int savesBefore = saves_;
    panel.deleteList();
    EXPECT_EQ(desktop::Alert::attachedSheet(panel.window())->informativeText(),
              "1000 clippings stored in Big will also be deleted.");
    ASSERT_TRUE(desktop::Alert::answerShown(0));
    drain();
    EXPECT_EQ(saves_ - savesBefore, 1);
    EXPECT_EQ(storedClippings(), 0);
}

}  // namespace
