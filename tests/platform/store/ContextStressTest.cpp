// Main-thread inserts interleaved with private child contexts that insert,
// save into the main context and fetch through it, while the root writes each
// main-context save on its own queue, as the application's stack does.
// TAVLO_STRESS_ITERATIONS scales it (default 2000 main-thread inserts). Run it
// by hand under ThreadSanitizer as well:
//   cmake -S . -B build-tsan -G Ninja -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
//   cmake --build build-tsan --target store_tests
//   TAVLO_STRESS_ITERATIONS=10000 build-tsan/tests/platform/store/store_tests --gtest_filter='Context*'

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "ContextFixture.h"

using namespace store;

namespace {

int iterations() {
    const char* env = std::getenv("TAVLO_STRESS_ITERATIONS");
    int n = env ? std::atoi(env) : 0;
    return n > 0 ? n : 2000;
}

class ContextStressTest : public storetest::ContextTest {};

TEST_F(ContextStressTest, MainThreadInsertsInterleavedWithChildSaves) {
    makeStack();
    const int mainInserts = iterations();
    const int childInserts = mainInserts / 4;  // per child
    constexpr int kChildren = 2;

    // Every main-context save is written by the root later, on its own queue.
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::atomic<int> rootFailures{0};
    foundation::ObserverRegistration push(center, center.addObserver(Context::kDidSaveNotification, main_.get(),
                                                                     [&](const foundation::Notification&) {
                                                                         auto root = root_;
                                                                         root->performBlock([root, &rootFailures] {
                                                                             if (!root->save().ok()) ++rootFailures;
                                                                         });
                                                                     }));
    // Everything inserted anywhere is reported once by the main context.
    std::atomic<size_t> reportedInserts{0};
    foundation::ObserverRegistration reports(
        center, center.addObserver(Context::kObjectsDidChangeNotification, main_.get(), [&](const foundation::Notification& n) {
            EXPECT_TRUE(foundation::isMainThread());
            if (auto inserted = n.info<Context::Objects>(Context::kInsertedObjectsKey)) reportedInserts += inserted->size();
        }));

    std::atomic<int> childrenDone{0};
    std::atomic<int> childFailures{0};
    std::vector<std::shared_ptr<Context>> children;
    std::vector<std::function<void(int)>> steps(kChildren);
    for (int c = 0; c < kChildren; ++c) {
        auto child = newChild(main_);
        children.push_back(child);
        steps[c] = [&, c, child](int i) {
            const std::string id = "C-child" + std::to_string(c) + "-" + std::to_string(i);
            insertClipping(*child, id, i);
            if (!child->save().ok()) ++childFailures;
            // Finds it again wherever it is by now: in the main context, in the
            // root, or in the file (the sync engine's look-up shape).
            FetchRequest request("Clipping");
            request.predicate = Predicate::withFormat("clippingID == %@", Value(id)).value();
            request.includesPendingChanges = false;
            auto found = child->fetch(request);
            if (!found.ok() || found.value().size() != 1) ++childFailures;
            if (i + 1 < childInserts) child->performBlock([&steps, c, i] { steps[c](i + 1); });
            else ++childrenDone;
        };
        child->performBlock([&steps, c] { steps[c](0); });
    }

    std::vector<std::shared_ptr<ManagedObject>> mine;
    int deleted = 0;
    for (int i = 0; i < mainInserts; ++i) {
        mine.push_back(insertClipping(*main_, "C-main-" + std::to_string(i), i));
        if (i % 7 == 3) mine[static_cast<size_t>(i / 2)]->setValueForKey("urlName", Value("title"));
        if (i % 50 == 49) {
            main_->deleteObject(mine[static_cast<size_t>(i - 10)]);
            ++deleted;
        }
        ASSERT_TRUE(main_->save().ok());
        dispatch::MainQueue::runUntilIdle();  // lets the children's saves in
    }
    ASSERT_TRUE(pumpUntil([&] { return childrenDone == kChildren; }, std::chrono::seconds(120)));
    ASSERT_TRUE(main_->save().ok());  // the children's last saves
    root_->performBlockAndWait([] {});

    EXPECT_EQ(childFailures, 0);
    EXPECT_EQ(rootFailures, 0);
    const size_t total = static_cast<size_t>(mainInserts + kChildren * childInserts);
    EXPECT_EQ(reportedInserts, total);
    EXPECT_EQ(storedClippingIDs().size(), total - static_cast<size_t>(deleted));
}

// Objects held elsewhere (by a finished cloud operation, in a notification)
// may die on another thread just as their context ends: neither side may
// reach the other's freed memory.
TEST_F(ContextStressTest, ObjectsDyingOnAnotherThreadAsTheirContextEnds) {
    makeStack();
    main_->performBlockAndWait([&] {
        for (int i = 0; i < 50; ++i) insertClipping(*main_, "c" + std::to_string(i));
        ASSERT_TRUE(main_->save().ok());
    });
    for (int round = 0; round < 300; ++round) {
        auto child = newChild(main_);
        std::vector<std::shared_ptr<ManagedObject>> held;
        child->performBlockAndWait([&] {
            auto found = child->fetch(FetchRequest("Clipping"));
            ASSERT_TRUE(found.ok());
            held = found.value();
        });
        ASSERT_EQ(held.size(), 50u);
        std::atomic<bool> go{false};
        std::thread other([&] {
            while (!go) std::this_thread::yield();
            held.clear();
        });
        go = true;
        child.reset();
        other.join();
    }
}

}  // namespace
