// Reads beside a write: the main context fetches, counts and fills in faults
// while the root context's save holds the store's connection.

#include <sqlite3.h>

#include <atomic>
#include <thread>

#include "ContextFixture.h"

namespace {

using namespace storetest;
using namespace std::chrono_literals;
using store::Value;

class CoordinatorTest : public ContextTest {};

// The root's save waits for a lock another connection holds (as it writes a
// large clipping for a second); the main thread's reads do not wait with it.
TEST_F(CoordinatorTest, TheMainContextReadsWhileTheRootsWriteWaitsForTheStore) {
    auto coordinator = std::make_shared<store::Coordinator>(tavloModel());
    store::StoreOptions options;
    options.busyTimeoutMs = 60000;
    ASSERT_TRUE(coordinator->addSQLiteStore(storePath(), options).ok());
    root_ = std::make_shared<store::Context>(store::ConcurrencyType::PrivateQueue);
    root_->performBlockAndWait([&] { root_->setPersistentStoreCoordinator(coordinator); });
    main_ = std::make_shared<store::Context>(store::ConcurrencyType::MainQueue);
    main_->setParentContext(root_);
    insertClipping(*main_, "C-1", 1, "first");
    insertClipping(*main_, "C-2", 2, "second");
    ASSERT_TRUE(main_->save().ok());
    bool written = false;
    root_->performBlockAndWait([&] { written = root_->save().ok(); });
    ASSERT_TRUE(written);

    sqlite3* holder = nullptr;
    ASSERT_EQ(sqlite3_open(storePath().c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    // Should a read wait after all, the lock goes after 20 s and the test fails
    // instead of waiting out the write's minute.
    std::atomic<bool> readsDone{false}, releasedByWatchdog{false};
    std::thread watchdog([&] {
        for (auto end = std::chrono::steady_clock::now() + 20s; !readsDone && std::chrono::steady_clock::now() < end;)
            std::this_thread::sleep_for(10ms);
        if (!readsDone) releasedByWatchdog = true;
        sqlite3_exec(holder, "ROLLBACK", nullptr, nullptr, nullptr);
    });

    insertClipping(*main_, "C-3", 3, "third");
    ASSERT_TRUE(main_->save().ok());
    std::atomic<bool> writeEnded{false}, writeOK{false};
    root_->performBlock([&] {
        writeOK = root_->save().ok();
        writeEnded = true;
    });
    EXPECT_TRUE(pumpUntil([&] { return root_->isWritingToStore() || writeEnded; }));

    // A fetch, a count and a fault, each read from the store by a context of its own.
    auto fresh = [this] {
        auto context = std::make_shared<store::Context>(store::ConcurrencyType::MainQueue);
        context->setParentContext(root_);
        return context;
    };
    EXPECT_EQ(fetchIDs(*fresh()), (std::set<std::string>{"C-1", "C-2", "C-3"}));
    store::FetchRequest request("Clipping");
    request.predicate = store::Predicate::withFormat("tavloDate < %@", Value::date(3)).value();
    EXPECT_EQ(fresh()->count(request).valueOr(-1), 2);
    request.returnsObjectsAsFaults = true;
    request.predicate = store::Predicate::withFormat("clippingID == %@", Value("C-1")).value();
    auto faulting = fresh();
    auto faults = faulting->fetch(request);
    ASSERT_TRUE(faults.ok() && faults.value().size() == 1u);
    EXPECT_EQ(faults.value().front()->valueForKey("text").string(), "first");
    readsDone = true;
    EXPECT_FALSE(releasedByWatchdog) << "a read waited for the write";

    ASSERT_TRUE(pumpUntil([&] { return writeEnded.load(); }, 30s));
    watchdog.join();
    sqlite3_close(holder);
    EXPECT_TRUE(writeOK);
    // Once written, a read on either connection sees the new row.
    EXPECT_EQ(storedClippingIDs(), (std::set<std::string>{"C-1", "C-2", "C-3"}));
    EXPECT_EQ(fetchIDs(*fresh()), (std::set<std::string>{"C-1", "C-2", "C-3"}));
}

}  // namespace
