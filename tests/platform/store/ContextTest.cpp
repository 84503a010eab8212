#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include <sqlite3.h>

#include "ContextFixture.h"
#include "platform/store/StoreError.h"

using namespace store;
using storetest::ContextTest;
using storetest::NotificationLog;
using Keys = std::vector<std::string>;
using Labels = std::vector<std::string>;

namespace {

TEST_F(ContextTest, ObjectsDidChangeReportsEachEventOnceWithTheKeysItChanged) {
    Context context(openCoordinator());
    NotificationLog log(Context::kObjectsDidChangeNotification, &context);
    auto a = insertClipping(context, "C-a");
    auto b = insertClipping(context, "C-b");
    auto gone = insertClipping(context, "C-gone");
    context.deleteObject(gone);  // inserted and deleted within one event: never seen
    context.processPendingChanges();
    ASSERT_EQ(log.count(), 1u);
    EXPECT_EQ(log.last().inserted, (Labels{"Clipping C-a", "Clipping C-b"}));
    EXPECT_TRUE(log.last().updated.empty());
    EXPECT_TRUE(log.last().deleted.empty());

    context.processPendingChanges();  // nothing new: nothing posted
    EXPECT_EQ(log.count(), 1u);

    ASSERT_TRUE(context.save().ok());
    a->setValueForKey("text", Value("changed"));
    a->setValueForKey("pasteboardIndex", Value(3));
    context.processPendingChanges();
    EXPECT_EQ(log.last().updated, Labels{"Clipping C-a"});
    EXPECT_EQ(log.last().keys["Clipping C-a"], (Keys{"pasteboardIndex", "text"}));

    // A later event of the same unsaved object reports only its own keys.
    a->setValueForKey("urlName", Value("title"));
    context.deleteObject(b);
    context.processPendingChanges();
    EXPECT_EQ(log.last().keys["Clipping C-a"], Keys{"urlName"});
    EXPECT_EQ(log.last().deleted, Labels{"Clipping C-b"});
    EXPECT_EQ(log.count(), 3u);
}

TEST_F(ContextTest, WillSaveSeesCascadedDeletionsAndDidSaveCarriesWhatWasWritten) {
    Context context(openCoordinator());
    auto clipping = insertClipping(context, "C-1");
    auto asset = context.insertNewObject("Asset");
    asset->setValueForKey("assetID", Value("C-1.0"));
    asset->setValueForKey("clipping", Value(clipping->objectID()));
    auto list = context.insertNewObject("List");
    list->setValueForKey("listID", Value("L-1"));
    ASSERT_TRUE(context.save().ok());

    NotificationLog didSave(Context::kDidSaveNotification, &context);
    Labels deletedAtWillSave;
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration willSave(
        center, center.addObserver(Context::kWillSaveNotification, &context, [&](const foundation::Notification&) {
            for (const auto& o : context.deletedObjects()) deletedAtWillSave.push_back(storetest::label(*o));
        }));
    context.deleteObject(clipping);
    list->setValueForKey("name", Value("Work"));
    auto added = insertClipping(context, "C-2");
    ASSERT_TRUE(context.save().ok());

    EXPECT_EQ(deletedAtWillSave, (Labels{"Clipping C-1", "Asset C-1.0"}));
    ASSERT_EQ(didSave.count(), 1u);
    const auto saved = didSave.last();
    EXPECT_EQ(saved.inserted, Labels{"Clipping C-2"});
    EXPECT_EQ(saved.updated, Labels{"List L-1"});
    EXPECT_EQ(saved.keys.at("List L-1"), Keys{"name"});
    EXPECT_EQ(saved.deleted, (Labels{"Clipping C-1", "Asset C-1.0"}));
    EXPECT_FALSE(context.hasChanges());

    ASSERT_TRUE(context.save().ok());  // nothing to save: no notifications
    EXPECT_EQ(didSave.count(), 1u);
}

TEST_F(ContextTest, AChildsSaveReachesItsParentsObserversButNotTheFile) {
    makeStack();
    auto child = newChild(main_);
    NotificationLog mainChanges(Context::kObjectsDidChangeNotification, main_.get());
    NotificationLog childSaved(Context::kDidSaveNotification, child.get());
    std::atomic<bool> saved{false};
    child->performBlock([&] {
        insertClipping(*child, "C-child");
        EXPECT_TRUE(child->save().ok());
        saved = true;
    });
    // The child waits for the main queue to take its changes.
    ASSERT_TRUE(pumpUntil([&] { return saved.load(); }));
    ASSERT_EQ(mainChanges.count(), 1u);
    EXPECT_EQ(mainChanges.last().inserted, Labels{"Clipping C-child"});
    EXPECT_TRUE(mainChanges.last().onMainThread);
    EXPECT_EQ(childSaved.last().inserted, Labels{"Clipping C-child"});
    EXPECT_FALSE(childSaved.last().onMainThread);
    EXPECT_TRUE(main_->hasChanges());
    EXPECT_TRUE(storedClippingIDs().empty());

    // The main context's save reaches the root; only the root's writes the file.
    ASSERT_TRUE(main_->save().ok());
    EXPECT_TRUE(storedClippingIDs().empty());
    bool rootSaved = false;
    root_->performBlockAndWait([&] { rootSaved = root_->hasChanges() && root_->save().ok(); });
    EXPECT_TRUE(rootSaved);
    EXPECT_EQ(storedClippingIDs(), std::set<std::string>{"C-child"});
}

TEST_F(ContextTest, ARootSaveWritesEverythingInOneTransaction) {
    makeStack();
    for (int i = 0; i < 3; ++i) {
        insertClipping(*main_, "C-" + std::to_string(i));
        ASSERT_TRUE(main_->save().ok());
    }
    // A reader sees none of it, then all of it: the root commits once.
    EXPECT_TRUE(storedClippingIDs().empty());
    foundation::Result<void> written;
    root_->performBlockAndWait([&] { written = root_->save(); });
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(storedClippingIDs(), (std::set<std::string>{"C-0", "C-1", "C-2"}));
}

TEST_F(ContextTest, ChildrenSeeTheirAncestorsUnsavedChanges) {
    {
        Context seed(openCoordinator());
        insertClipping(seed, "C-stored", 1, "apple");
        insertClipping(seed, "C-changed", 2, "pear");
        insertClipping(seed, "C-deleted", 3, "plum");
        ASSERT_TRUE(seed.save().ok());
    }
    makeStack();
    // The main context's changes, saved into the root but not to the file.
    insertClipping(*main_, "C-new", 4, "apple pie");
    auto all = main_->fetch(FetchRequest("Clipping"));
    ASSERT_TRUE(all.ok());
    for (const auto& o : all.value()) {
        const std::string id = o->valueForKey("clippingID").string();
        if (id == "C-changed") o->setValueForKey("text", Value("apple tart"));
        if (id == "C-deleted") main_->deleteObject(o);
    }
    ASSERT_TRUE(main_->save().ok());
    auto child = newChild(main_);
    auto grandchild = newChild(child);
    struct Row {
        const char* name;
        const char* format;
        const char* argument;
        std::set<std::string> ids;
    };
    const Row rows[] = {
        {"every object", "", "", {"C-stored", "C-changed", "C-new"}},
        {"by the changed values", "text CONTAINS[cd] %@", "APPLE", {"C-stored", "C-changed", "C-new"}},
        {"not by the old values", "text == %@", "pear", {}},
        {"the deleted object is gone", "clippingID == %@", "C-deleted", {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::set<std::string> ids;
        grandchild->performBlockAndWait([&] { ids = fetchIDs(*grandchild, row.format, Value(row.argument)); });
        EXPECT_EQ(ids, row.ids);
    }
    // A fault reads the ancestors' values too.
    std::string text;
    grandchild->performBlockAndWait([&] {
        FetchRequest request("Clipping");
        request.predicate = Predicate::withFormat("clippingID == %@", Value("C-changed")).value();
        auto found = grandchild->fetch(request);
        ASSERT_TRUE(found.ok() && found.value().size() == 1);
        grandchild->refreshObject(found.value()[0], false);
        text = found.value()[0]->valueForKey("text").string();
    });
    EXPECT_EQ(text, "apple tart");
}

TEST_F(ContextTest, MergingADidSaveRefreshesAndReportsTheSavedObjects) {
    makeStack();
    insertClipping(*main_, "C-1", 1, "old");
    insertClipping(*main_, "C-2", 2, "doomed");
    ASSERT_TRUE(main_->save().ok());
    auto sibling = newChild(root_);
    NotificationLog siblingChanges(Context::kObjectsDidChangeNotification, sibling.get());
    std::shared_ptr<ManagedObject> seen;
    Context::Objects registered;  // only objects registered in the sibling can leave it
    sibling->performBlockAndWait([&] {
        auto found = sibling->fetch(FetchRequest("Clipping"));
        ASSERT_TRUE(found.ok());
        registered = found.value();
        for (const auto& o : found.value())
            if (o->valueForKey("clippingID").string() == "C-1") seen = o;
        EXPECT_EQ(seen->valueForKey("text").string(), "old");
    });

    foundation::Notification didSave;
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration observer(center, center.addObserver(Context::kDidSaveNotification, main_.get(),
                                                                         [&](const foundation::Notification& n) { didSave = n; }));
    auto objects = main_->fetch(FetchRequest("Clipping")).value();
    for (const auto& o : objects) {
        if (o->valueForKey("clippingID").string() == "C-1") o->setValueForKey("text", Value("new"));
        else main_->deleteObject(o);
    }
    insertClipping(*main_, "C-3");
    ASSERT_TRUE(main_->save().ok());

    sibling->performBlockAndWait([&] { sibling->mergeChangesFromContextDidSaveNotification(didSave); });
    ASSERT_EQ(siblingChanges.count(), 1u);
    auto posted = siblingChanges.last();
    EXPECT_EQ(posted.inserted, Labels{"Clipping C-3"});
    EXPECT_EQ(posted.updated, Labels{"Clipping C-1"});
    EXPECT_EQ(posted.keys["Clipping C-1"], Keys{"text"});
    EXPECT_EQ(posted.deleted.size(), 1u);
    std::string text;
    sibling->performBlockAndWait([&] { text = seen->valueForKey("text").string(); });
    EXPECT_EQ(text, "new");
}

TEST_F(ContextTest, AMainContextUsedDirectlyReportsOncePerTurnOfTheMainQueue) {
    makeStack();
    NotificationLog changes(Context::kObjectsDidChangeNotification, main_.get());
    insertClipping(*main_, "C-1");
    insertClipping(*main_, "C-2");
    EXPECT_EQ(changes.count(), 0u);
    dispatch::MainQueue::runUntilIdle();
    ASSERT_EQ(changes.count(), 1u);
    EXPECT_EQ(changes.last().inserted, (Labels{"Clipping C-1", "Clipping C-2"}));
}

TEST_F(ContextTest, PerformBlockAndWaitNestsAndRunsMainContextWorkOnTheMainThread) {
    makeStack();
    auto child = newChild(main_);
    bool mainOnMain = false, inner = false;
    // From the main thread, an idle private queue runs the block in place; the
    // main context's work inside it still runs at once on this thread.
    child->performBlockAndWait([&] {
        child->performBlockAndWait([&] { inner = true; });
        insertClipping(*child, "C-1");
        EXPECT_TRUE(child->save().ok());
        main_->performBlockAndWait([&] { mainOnMain = foundation::isMainThread(); });
    });
    EXPECT_TRUE(inner);
    EXPECT_TRUE(mainOnMain);
    EXPECT_EQ(fetchIDs(*main_), std::set<std::string>{"C-1"});
}

TEST_F(ContextTest, AContextWithoutAStoreFailsFetchesAndSaves) {
    Context orphan(ConcurrencyType::Confinement);
    EXPECT_EQ(orphan.insertNewObject("Clipping"), nullptr);
    auto fetched = orphan.fetch(FetchRequest("Clipping"));
    ASSERT_FALSE(fetched.ok());
    EXPECT_TRUE(isStoreError(fetched.error(), ErrorCode::NoStore));
    EXPECT_FALSE(orphan.save().ok());
}

// The main context's save while the root is writing an earlier one to the
// store: it returns without waiting for the write (another connection holds
// the file's write lock, so the write cannot end meanwhile), and what it handed
// over, a new clipping and a new text for the one being written, is written
// by the root's next save whether the first write succeeds or fails.
TEST_F(ContextTest, AMainSaveDuringTheRootsWriteReturnsAtOnceAndItsChangesAreWrittenNext) {
    struct Case {
        const char* name;
        int busyTimeoutMs;
        bool firstWriteSucceeds;
    };
    for (const Case& c : {Case{"the write succeeds", 60000, true}, Case{"the write fails", 200, false}}) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove_all(storePath().parent_path() / "case");
        std::filesystem::create_directories(storePath().parent_path() / "case");
        const std::filesystem::path path = storePath().parent_path() / "case" / "datastore";
        auto coordinator = std::make_shared<Coordinator>(storetest::tavloModel());
        StoreOptions options;
        options.busyTimeoutMs = c.busyTimeoutMs;
        ASSERT_TRUE(coordinator->addSQLiteStore(path, options).ok());
        auto root = std::make_shared<Context>(ConcurrencyType::PrivateQueue);
        root->performBlockAndWait([&] { root->setPersistentStoreCoordinator(coordinator); });
        auto mainContext = std::make_shared<Context>(ConcurrencyType::MainQueue);
        mainContext->setParentContext(root);

        auto first = insertClipping(*mainContext, "C-1", 0, "first");
        ASSERT_TRUE(mainContext->save().ok());
        sqlite3* holder = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        std::atomic<bool> firstWriteEnded{false}, firstWriteOK{false};
        root->performBlock([&] {
            firstWriteOK = root->save().ok();
            firstWriteEnded = true;
        });
        ASSERT_TRUE(pumpUntil([&] { return root->isWritingToStore() || firstWriteEnded; }));

        insertClipping(*mainContext, "C-2");
        first->setValueForKey("text", Value("second"));
        EXPECT_TRUE(mainContext->save().ok());
        const auto release = [holder] {
            sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
            sqlite3_close(holder);
        };
        // Held by the other connection until released: the write goes on after
        // it, or gives up while it is held.
        if (c.firstWriteSucceeds) {
            EXPECT_FALSE(firstWriteEnded);
            release();
        }
        ASSERT_TRUE(pumpUntil([&] { return firstWriteEnded.load(); }, std::chrono::seconds(30)));
        if (!c.firstWriteSucceeds) release();
        EXPECT_EQ(firstWriteOK.load(), c.firstWriteSucceeds);

        auto stored = [&] {
            Context reader(coordinator);
            std::map<std::string, std::string> texts;
            auto found = reader.fetch(FetchRequest("Clipping"));
            EXPECT_TRUE(found.ok());
            if (found.ok())
                for (const auto& o : found.value()) texts[o->valueForKey("clippingID").string()] = o->valueForKey("text").string();
            return texts;
        };
        using Texts = std::map<std::string, std::string>;
        EXPECT_EQ(stored(), c.firstWriteSucceeds ? (Texts{{"C-1", "first"}}) : Texts{});
        bool pending = false, written = false;
        root->performBlockAndWait([&] {
            pending = root->hasChanges();
            written = root->save().ok();
        });
        EXPECT_TRUE(pending);
        EXPECT_TRUE(written);
        EXPECT_EQ(stored(), (Texts{{"C-1", "second"}, {"C-2", "text"}}));
        root->performBlockAndWait([&] { EXPECT_FALSE(root->hasChanges()); });
    }
}

}  // namespace
