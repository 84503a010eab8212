// The store manager's contexts: the push of main-context saves to the file, the
// update bracket, its writes while it stays open, the save hooks and the write
// at quit.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTimer>
#include <atomic>
#include <set>
#include <thread>

#include "kit/Clipping.h"
#include "kit/FRFetchedResultsController.h"
#include "kit/List.h"
#include "kit/TLDatabaseManager.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/ThreadIdentity.h"
#include "platform/foundation/UUID.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using store::Context;

class TLDatabaseManagerContextsTest : public ::testing::Test {
protected:
    void SetUp() override {
        // The bracket's timed writes run on a clock only the tests move.
        dispatch::Clock::useVirtualTime();
        container_ = home_.dataHome() / "Tavlo";
        fs::create_directories(container_);
        manager_ = std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
            fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container_, 2000});
        // A suite of this test's own: suites are kept per name for the process.
        defaults_ = foundation::UserDefaults::suite("test." + foundation::UUID::random().string());
        manager_->setStandardUserDefaults(defaults_);
        main_ = manager_->managedObjectContext();
        parent_ = manager_->parentManagedObjectContext();
        ASSERT_TRUE(main_ && parent_);
        ASSERT_EQ(main_->parentContext(), parent_);
        auto& center = foundation::NotificationCenter::defaultCenter();
        parentSaves_ = foundation::ObserverRegistration(
            center, center.addObserver(Context::kDidSaveNotification, parent_.get(),
                                       [this](const foundation::Notification& n) {
                                           auto inserted = n.info<Context::Objects>(Context::kInsertedObjectsKey);
                                           parentSaveSizes_.push_back(inserted ? inserted->size() : 0);
                                       }));
    }
    void TearDown() override {
        waitForParent();
        dispatch::Clock::useRealTime();
    }

    std::shared_ptr<Clipping> insertClipping(Context& context, const std::string& id) {
        auto clipping = std::static_pointer_cast<Clipping>(context.insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(id);
        clipping->setText("text of " + id);
        return clipping;
    }
    // Runs what the parent's queue holds (its queue is serial).
    void waitForParent() {
        if (parent_) parent_->performBlockAndWait([] {});
    }
    bool parentHasChanges() {
        bool changes = false;
        parent_->performBlockAndWait([&] { changes = parent_->hasChanges(); });
        return changes;
    }
    // What a second connection to the file sees.
    std::set<std::string> storedClippingIDs() {
        auto model = TLDatabaseManager::loadModel(fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd");
        auto coordinator = std::make_shared<store::Coordinator>(model.value());
        EXPECT_TRUE(coordinator->addSQLiteStore(container_ / "datastore").ok());
        Context reader(coordinator);
        std::set<std::string> ids;
        auto found = reader.fetch(store::FetchRequest(Clipping::kEntityName));
        EXPECT_TRUE(found.ok());
        if (found.ok())
            for (const auto& o : found.value()) ids.insert(o->valueForKey("clippingID").string());
        return ids;
    }

    testsupport::TempHome home_;
    fs::path container_;
    std::unique_ptr<TLDatabaseManager> manager_;
    std::shared_ptr<foundation::UserDefaults> defaults_;
    std::shared_ptr<Context> main_, parent_;
    foundation::ObserverRegistration parentSaves_;
    std::vector<size_t> parentSaveSizes_;  // inserted objects per parent save
};

TEST_F(TLDatabaseManagerContextsTest, AMainContextSaveReachesTheFileThroughTheParentAfterItReturns) {
    insertClipping(*main_, "C-1");
    ASSERT_TRUE(main_->save().ok());
    waitForParent();
    EXPECT_EQ(storedClippingIDs(), std::set<std::string>{"C-1"});
    EXPECT_EQ(parentSaveSizes_, std::vector<size_t>{1});
}

TEST_F(TLDatabaseManagerContextsTest, TheBracketHoldsSavesInTheParentAndItsFirstEndWritesThemOnce) {
    manager_->beginUpdates();
    manager_->beginUpdates();  // a single flag, not a count
    for (const char* id : {"C-1", "C-2", "C-3"}) {
        insertClipping(*main_, id);
        ASSERT_TRUE(main_->save().ok());
    }
    waitForParent();
    EXPECT_TRUE(parentHasChanges());
    EXPECT_TRUE(storedClippingIDs().empty());

    manager_->endUpdates();
    EXPECT_FALSE(manager_->batchUpdates());
    waitForParent();
    EXPECT_EQ(storedClippingIDs(), (std::set<std::string>{"C-1", "C-2", "C-3"}));
    EXPECT_EQ(parentSaveSizes_, std::vector<size_t>{3});  // one save: one transaction

    manager_->endUpdates();  // nothing left: no save
    waitForParent();
    EXPECT_EQ(parentSaveSizes_.size(), 1u);
}

TEST_F(TLDatabaseManagerContextsTest, ABracketLeftOpenStillWritesEachSaveWithinItsInterval) {
    // A crash or kill while a sync operation holds the bracket open loses
    // only what was saved in the last interval.
    const double interval = TLDatabaseManager::kBracketWriteInterval;
    // The timed write reaches the file through a global queue and the parent's.
    auto storedWithin = [this](const std::set<std::string>& expected) {
        for (int i = 0; i < 100 && storedClippingIDs() != expected; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        return storedClippingIDs() == expected;
    };
    manager_->beginUpdates();
    insertClipping(*main_, "C-1");
    ASSERT_TRUE(main_->save().ok());
    dispatch::Clock::advance(interval * 0.9);
    insertClipping(*main_, "C-2");  // rides on the write already due
    ASSERT_TRUE(main_->save().ok());
    waitForParent();
    EXPECT_TRUE(storedClippingIDs().empty());
    dispatch::Clock::advance(interval * 0.1);
    EXPECT_TRUE(storedWithin({"C-1", "C-2"}));
    EXPECT_TRUE(manager_->batchUpdates());

    // The next save in the same bracket gets a write of its own.
    insertClipping(*main_, "C-3");
    ASSERT_TRUE(main_->save().ok());
    dispatch::Clock::advance(interval);
    EXPECT_TRUE(storedWithin({"C-1", "C-2", "C-3"}));
    manager_->endUpdates();
    waitForParent();
    EXPECT_EQ(parentSaveSizes_, (std::vector<size_t>{2, 1}));  // nothing left for the end
}

TEST_F(TLDatabaseManagerContextsTest, TheWillSaveHookDropsTheKeysOfInsertedUpdatedAndDeletedClippings) {
    auto changed = insertClipping(*main_, "C-changed");
    auto deleted = insertClipping(*main_, "C-deleted");
    auto list = std::static_pointer_cast<List>(main_->insertNewObject(List::kEntityName));
    list->setListID("L-1");
    ASSERT_TRUE(main_->save().ok());
    for (const char* key : {"C-new", "C-changed", "C-deleted", "L-1", "C-other"})
        defaults_->setObject(foundation::PlistValue(true), key);

    insertClipping(*main_, "C-new");
    changed->setText("new text");
    main_->deleteObject(deleted);
    list->setName("Work");  // a list's save removes nothing
    ASSERT_TRUE(main_->save().ok());
    for (const char* key : {"C-new", "C-changed", "C-deleted"}) EXPECT_TRUE(defaults_->objectForKey(key).isNull()) << key;
    for (const char* key : {"L-1", "C-other"}) EXPECT_FALSE(defaults_->objectForKey(key).isNull()) << key;
}

TEST_F(TLDatabaseManagerContextsTest, OnlyTheMainContextsSavesRunTheHooks) {
    defaults_->setObject(foundation::PlistValue(true), "C-child");
    auto child = std::make_shared<Context>(store::ConcurrencyType::PrivateQueue);
    child->performBlockAndWait([&] {
        child->setParentContext(main_);
        insertClipping(*child, "C-child");
        EXPECT_TRUE(child->save().ok());
    });
    waitForParent();
    EXPECT_FALSE(defaults_->objectForKey("C-child").isNull());
    EXPECT_FALSE(parentHasChanges());
    EXPECT_TRUE(main_->hasChanges());

    // The parent's own save pushes nothing further either.
    ASSERT_TRUE(main_->save().ok());
    waitForParent();
    EXPECT_TRUE(defaults_->objectForKey("C-child").isNull());
    EXPECT_EQ(parentSaveSizes_, std::vector<size_t>{1});
}

class RecordingDelegate : public FRFetchedResultsControllerDelegate {
public:
    void controller(FRFetchedResultsController&, const std::shared_ptr<store::ManagedObject>& object, uint64_t,
                    FRFetchedResultsChangeType type, uint64_t newIndex) override {
        if (type == FRFetchedResultsChangeType::Insert) inserted.push_back(object->valueForKey("clippingID").string());
        insertedAt.push_back(newIndex);
        onMainThread = onMainThread && foundation::isMainThread();
    }
    bool implementsControllerDidChangeObject() const override { return true; }
    std::vector<std::string> inserted;
    std::vector<uint64_t> insertedAt;
    bool onMainThread = true;
};

TEST_F(TLDatabaseManagerContextsTest, AChildContextsInsertReachesTheMainContextsControllerOnTheMainThread) {
    insertClipping(*main_, "C-old")->setTavloDate(foundation::Date(100));
    ASSERT_TRUE(main_->save().ok());
    auto request = std::make_shared<store::FetchRequest>(Clipping::kEntityName);
    request->sortDescriptors = {{"tavloDate", false}};
    FRFetchedResultsController controller(main_, request);
    RecordingDelegate delegate;
    controller.setDelegate(&delegate);
    ASSERT_TRUE(controller.performFetch());

    // The sync engine's import shape: a private child of the main context.
    auto import = std::make_shared<Context>(store::ConcurrencyType::PrivateQueue);
    std::atomic<bool> saved{false};
    import->performBlock([&] {
        import->setParentContext(main_);
        insertClipping(*import, "C-imported")->setTavloDate(foundation::Date(200));
        EXPECT_TRUE(import->save().ok());
        saved = true;
    });
    for (int i = 0; i < 100000 && !saved; ++i)
        if (dispatch::MainQueue::runUntilIdle() == 0) std::this_thread::yield();
    ASSERT_TRUE(saved);
    EXPECT_EQ(delegate.inserted, std::vector<std::string>{"C-imported"});
    EXPECT_EQ(delegate.insertedAt, std::vector<uint64_t>{0});
    EXPECT_TRUE(delegate.onMainThread);
    EXPECT_EQ(controller.count(), 2u);
}

TEST_F(TLDatabaseManagerContextsTest, QuittingWithAnOpenBracketWritesWhatItHeld) {
    if (QCoreApplication::instance()) GTEST_SKIP() << "needs its own application";
    manager_->beginUpdates();
    insertClipping(*main_, "C-held");
    ASSERT_TRUE(main_->save().ok());
    waitForParent();
    ASSERT_TRUE(storedClippingIDs().empty());
    {
        int argc = 1;
        char arg0[] = "test";
        char* argv[] = {arg0};
        QCoreApplication application(argc, argv);
        ASSERT_TRUE(manager_->installTerminationHook());
        QTimer::singleShot(0, &application, &QCoreApplication::quit);
        EXPECT_EQ(application.exec(), 0);
    }
    // Written by the time the application's loop has returned.
    EXPECT_EQ(storedClippingIDs(), std::set<std::string>{"C-held"});
    EXPECT_FALSE(manager_->installTerminationHook());  // no application any more
}

TEST_F(TLDatabaseManagerContextsTest, LooksUpClippingsAndListsByIdentifier) {
    insertClipping(*main_, "C-1");
    insertClipping(*main_, "C-2");
    auto list = std::static_pointer_cast<List>(main_->insertNewObject(List::kEntityName));
    list->setListID("L-1");
    ASSERT_TRUE(main_->save().ok());
    auto clippings = manager_->clippingsWithIDs({"C-1", "C-2", "C-missing"});
    EXPECT_EQ(clippings.size(), 2u);
    EXPECT_EQ(clippings.at("C-2")->clippingID(), "C-2");
    EXPECT_EQ(manager_->listsWithIDs({"L-1"}).size(), 1u);
    EXPECT_EQ(manager_->managedObjectWithID("L-1"), list);
    EXPECT_EQ(std::dynamic_pointer_cast<Clipping>(manager_->managedObjectWithID("C-1"))->clippingID(), "C-1");
    EXPECT_EQ(manager_->managedObjectWithID("C-none"), nullptr);
}

TEST_F(TLDatabaseManagerContextsTest, WithoutAModelTheMainContextHasNoStore) {
    TLDatabaseManager missing({container_ / "Missing.momd", container_});
    EXPECT_EQ(missing.parentManagedObjectContext(), nullptr);
    auto context = missing.managedObjectContext();
    ASSERT_TRUE(context);
    EXPECT_EQ(context->parentContext(), nullptr);
    EXPECT_FALSE(context->fetch(store::FetchRequest(Clipping::kEntityName)).ok());
    EXPECT_FALSE(context->save().ok());
}

}  // namespace
