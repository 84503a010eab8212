// The in-memory key-value store: reads and writes, the account's limits with
// their quota-violation change, and other devices' changes announced on the
// main queue whichever thread they come from.
#include <gtest/gtest.h>

#include <thread>

#include "platform/cloud/MemoryKeyValueStore.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"

namespace {

using cloud::MemoryKeyValueStore;
using cloud::UbiquitousKeyValueStore;
using foundation::PlistValue;

struct Heard {
    int64_t reason = -1;
    std::vector<std::string> keys;
    bool onMainThread = false;
    const void* object = nullptr;
};

class UbiquitousKeyValueStoreTest : public ::testing::Test {
protected:
    UbiquitousKeyValueStoreTest() {
        token_ = foundation::NotificationCenter::defaultCenter().addObserver(
            UbiquitousKeyValueStore::kDidChangeExternallyNotification, nullptr,
            [this](const foundation::Notification& n) {
                Heard heard;
                if (auto* reason = n.info<int64_t>(UbiquitousKeyValueStore::kChangeReasonKey)) heard.reason = *reason;
                if (auto* keys = n.info<std::vector<std::string>>(UbiquitousKeyValueStore::kChangedKeysKey))
                    heard.keys = *keys;
                heard.onMainThread = dispatch::Queue::main()->isCurrent();
                heard.object = n.object;
                heard_.push_back(heard);
            });
    }
    ~UbiquitousKeyValueStoreTest() override { foundation::NotificationCenter::defaultCenter().removeObserver(token_); }

    MemoryKeyValueStore store_;
    std::vector<Heard> heard_;
    foundation::NotificationCenter::Token token_;
};

TEST_F(UbiquitousKeyValueStoreTest, WritesAreReadBackAndNeverAnnounced) {
    store_.setObject(PlistValue(int64_t(50)), "limit");
    store_.setObject(PlistValue(std::vector<std::string>{"a", "b"}), "searches");
    EXPECT_EQ(store_.objectForKey("limit").asInteger(), 50);
    EXPECT_EQ(store_.objectForKey("searches").asStringArray(), (std::vector<std::string>{"a", "b"}));
    store_.removeObjectForKey("limit");
    EXPECT_TRUE(store_.objectForKey("limit").isNull());
    EXPECT_EQ(store_.dictionaryRepresentation().size(), 1u);
    EXPECT_TRUE(store_.synchronize());
    EXPECT_EQ(store_.synchronizeCount(), 1);
    dispatch::MainQueue::runUntilIdle();
    EXPECT_TRUE(heard_.empty());
}

TEST_F(UbiquitousKeyValueStoreTest, AWritePastTheLimitsWritesNothingAndIsAnnouncedAsAQuotaViolation) {
    store_.setObject(PlistValue("kept"), "k");
    std::string big(UbiquitousKeyValueStore::kMaxTotalBytes, 'x');
    struct Row {
        std::string key;
        PlistValue value;
    };
    for (const Row& row : {Row{std::string(65, 'k'), PlistValue("v")}, Row{"k", PlistValue(big)}, Row{"big", PlistValue(big)}}) {
        store_.setObject(row.value, row.key);
        EXPECT_EQ(store_.dictionaryRepresentation(), (PlistValue::Dictionary{{"k", PlistValue("kept")}}));
    }
    EXPECT_EQ(store_.objectForKey("k").stringValue(), "kept");
    EXPECT_EQ(store_.refusedWrites(), 3);
    dispatch::MainQueue::runUntilIdle();
    ASSERT_EQ(heard_.size(), 3u);
    EXPECT_EQ(heard_[2].reason, UbiquitousKeyValueStore::kQuotaViolationChange);
    EXPECT_EQ(heard_[2].keys, std::vector<std::string>{"big"});

    MemoryKeyValueStore many;
    for (size_t i = 0; i < UbiquitousKeyValueStore::kMaxKeys; ++i) many.setObject(PlistValue(int64_t(1)), std::to_string(i));
    many.setObject(PlistValue(int64_t(1)), "one more");
    many.setObject(PlistValue(int64_t(2)), "0");  // replacing stays within the limit
    EXPECT_EQ(many.refusedWrites(), 1);
    EXPECT_EQ(many.objectForKey("0").asInteger(), 2);
}

TEST_F(UbiquitousKeyValueStoreTest, AnotherDevicesChangeIsAnnouncedOnTheMainQueueInOrder) {
    store_.setObject(PlistValue("old"), "gone");
    std::thread worker([this] {
        store_.simulateExternalChange(UbiquitousKeyValueStore::kServerChange,
                                      {{"limit", PlistValue(int64_t(50))}, {"gone", PlistValue()}});
    });
    worker.join();
    EXPECT_TRUE(heard_.empty()) << "nothing before the main queue runs";
    EXPECT_EQ(store_.objectForKey("limit").asInteger(), 50);
    EXPECT_TRUE(store_.objectForKey("gone").isNull());
    dispatch::MainQueue::runUntilIdle();
    ASSERT_EQ(heard_.size(), 1u);
    EXPECT_EQ(heard_[0].reason, UbiquitousKeyValueStore::kServerChange);
    EXPECT_EQ(heard_[0].keys, (std::vector<std::string>{"limit", "gone"}));
    EXPECT_TRUE(heard_[0].onMainThread);
    EXPECT_EQ(heard_[0].object, &store_);
}

TEST_F(UbiquitousKeyValueStoreTest, TheDefaultStoreIsOneUntilReplaced) {
    auto first = UbiquitousKeyValueStore::defaultStore();
    EXPECT_EQ(first, UbiquitousKeyValueStore::defaultStore());
    auto mine = std::make_shared<MemoryKeyValueStore>();
    UbiquitousKeyValueStore::setDefaultStore(mine);
    EXPECT_EQ(UbiquitousKeyValueStore::defaultStore(), mine);
    UbiquitousKeyValueStore::setDefaultStore(nullptr);
    EXPECT_NE(UbiquitousKeyValueStore::defaultStore(), mine);
}

}  // namespace
