// The key-value store over each back-end: two devices of one account in this
// process, each with its own copy, and what they are told on the main queue.
#include <gtest/gtest.h>

#include <fstream>

#include "CloudTestSupport.h"
#include "platform/cloud/StoredKeyValueStore.h"
#include "platform/cloud/ZoneServer.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

using cloud::Configuration;
using cloud::StoredKeyValueStore;
using cloud::UbiquitousKeyValueStore;
using foundation::PlistValue;

constexpr const char* kClipboardSize = "TLUserDefaultsClipboardSize";

struct EmbeddedAccount {
    static std::optional<std::string> unavailable() { return std::nullopt; }
    // A fresh account; unreachable: one whose store cannot be opened.
    static Configuration make(const std::filesystem::path& root, const std::string& name, bool unreachable = false) {
        Configuration configuration;
        configuration.account = name;
        if (unreachable) {
            std::ofstream(root / "a-file") << "x";
            configuration.folder = root / "a-file" / "Cloud";
        } else {
            configuration.folder = root / ("cloud-" + name);
        }
        return configuration;
    }
};

struct PostgresAccount {
    static std::optional<std::string> unavailable() {
        if (testsupport::PostgresServer::shared()) return std::nullopt;
        return testsupport::PostgresServer::skipReason();
    }
    static Configuration make(const std::filesystem::path& root, const std::string& name, bool unreachable = false) {
        Configuration configuration;
        configuration.account = name;
        configuration.backend = Configuration::kPostgreSQLBackend;
        configuration.connection = unreachable ? "host=" + (root / "no-server").string() + " dbname=none"
                                               : testsupport::PostgresServer::shared()->databaseForCurrentTest();
        return configuration;
    }
};

struct Heard {
    const void* store = nullptr;
    int64_t reason = -1;
    std::vector<std::string> keys;
    bool onMainThread = false;
    PlistValue clipboardSize;
};

template <class Account>
class StoredKeyValueStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = Account::unavailable()) GTEST_SKIP() << *reason;
        account_ = Account::make(home_.root(), "tester");
        a_ = device("device-a", account_);
        b_ = device("device-b", account_);
        token_ = foundation::NotificationCenter::defaultCenter().addObserver(
            UbiquitousKeyValueStore::kDidChangeExternallyNotification, nullptr,
            [this](const foundation::Notification& n) {
                Heard heard;
                heard.store = n.object;
                if (auto* reason = n.info<int64_t>(UbiquitousKeyValueStore::kChangeReasonKey)) heard.reason = *reason;
                if (auto* keys = n.info<std::vector<std::string>>(UbiquitousKeyValueStore::kChangedKeysKey))
                    heard.keys = *keys;
                heard.onMainThread = dispatch::Queue::main()->isCurrent();
                // Only this test's devices are alive to be read.
                for (const auto* device : {&a_, &b_})
                    if (*device && (*device)->store.get() == n.object)
                        heard.clipboardSize = (*device)->store->objectForKey(kClipboardSize);
                heard_.push_back(heard);
            });
        subscribed_ = true;
    }
    void TearDown() override {
        // Nothing of this test's devices left on the main queue for the next.
        a_.reset();
        b_.reset();
        settle(std::chrono::milliseconds(20));
        if (subscribed_) foundation::NotificationCenter::defaultCenter().removeObserver(token_);
    }

    // A device: its container (swappable, as a change of settings would) and its store.
    struct Device {
        std::shared_ptr<cloud::Container> container;
        std::shared_ptr<StoredKeyValueStore> store;
    };
    std::shared_ptr<Device> device(const std::string& id, const Configuration& configuration) {
        auto made = std::make_shared<Device>();
        made->container = cloud::Container::make("com.tavlo.Tavlo", configuration, id);
        std::weak_ptr<Device> weak = made;
        made->store = StoredKeyValueStore::make(
            [weak] {
                auto self = weak.lock();
                return self ? self->container : nullptr;
            },
            home_.root() / (id + ".plist"));
        return made;
    }
    void use(Device& device, const std::string& id, const Configuration& configuration) {
        device.container = cloud::Container::make("com.tavlo.Tavlo", configuration, id);
    }

    std::vector<Heard> heardBy(const std::shared_ptr<Device>& device) const {
        std::vector<Heard> found;
        for (const Heard& heard : heard_)
            if (heard.store == device->store.get()) found.push_back(heard);
        return found;
    }
    void settle(std::chrono::milliseconds time = std::chrono::milliseconds(300)) {
        cloudtest::runMainUntil([] { return false; }, time);
    }

    testsupport::TempHome home_;
    Configuration account_;
    std::shared_ptr<Device> a_, b_;
    std::vector<Heard> heard_;
    foundation::NotificationCenter::Token token_;
    bool subscribed_ = false;
};

struct AccountNames {
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, EmbeddedAccount> ? "Embedded" : "Postgres";
    }
};

using Accounts = ::testing::Types<EmbeddedAccount, PostgresAccount>;
TYPED_TEST_SUITE(StoredKeyValueStoreTest, Accounts, AccountNames);

TYPED_TEST(StoredKeyValueStoreTest, AWriteReachesTheOtherDeviceOnTheMainQueueAndNotTheWriter) {
    auto& a = this->a_;
    auto& b = this->b_;
    ASSERT_TRUE(b->store->synchronizeNow());  // B meets the account, and watches it
    a->store->setObject(PlistValue(int64_t{50}), kClipboardSize);
    EXPECT_EQ(a->store->objectForKey(kClipboardSize), PlistValue(int64_t{50}));
    ASSERT_TRUE(a->store->synchronizeNow());
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return !this->heardBy(b).empty(); }));
    this->settle();
    auto heard = this->heardBy(b);
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0].reason, UbiquitousKeyValueStore::kServerChange);
    EXPECT_EQ(heard[0].keys, std::vector<std::string>{kClipboardSize});
    EXPECT_TRUE(heard[0].onMainThread);
    EXPECT_EQ(heard[0].clipboardSize, PlistValue(int64_t{50}));
    EXPECT_TRUE(this->heardBy(a).empty());

    // A removal travels the same way; the last write to arrive wins.
    b->store->setObject(PlistValue(int64_t{70}), kClipboardSize);
    ASSERT_TRUE(b->store->synchronizeNow());
    a->store->removeObjectForKey(kClipboardSize);
    ASSERT_TRUE(a->store->synchronizeNow());
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return this->heardBy(b).size() == 2; }));
    EXPECT_TRUE(b->store->objectForKey(kClipboardSize).isNull());
    EXPECT_TRUE(a->store->objectForKey(kClipboardSize).isNull());
}

TYPED_TEST(StoredKeyValueStoreTest, AWritePastTheLimitsWritesNothing) {
    auto& a = this->a_;
    for (size_t i = 0; i < UbiquitousKeyValueStore::kMaxKeys; ++i)
        a->store->setObject(PlistValue(int64_t(i)), "key-" + std::to_string(i));
    ASSERT_TRUE(a->store->synchronizeNow());
    struct Row {
        const char* name;
        std::string key;
        PlistValue value;
    };
    const Row rows[] = {
        {"the 1,025th key", "one-more", PlistValue(int64_t{1})},
        {"a 65-byte key", std::string(65, 'k'), PlistValue(int64_t{1})},
        {"more than 1 MiB", "key-0", PlistValue(std::string(UbiquitousKeyValueStore::kMaxTotalBytes, 'x'))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        this->heard_.clear();
        a->store->setObject(row.value, row.key);
        this->settle(std::chrono::milliseconds(50));
        auto heard = this->heardBy(a);
        ASSERT_EQ(heard.size(), 1u);
        EXPECT_EQ(heard[0].reason, UbiquitousKeyValueStore::kQuotaViolationChange);
        EXPECT_EQ(heard[0].keys, std::vector<std::string>{row.key});
    }
    EXPECT_EQ(a->store->objectForKey("key-0"), PlistValue(int64_t{0}));
    EXPECT_TRUE(a->store->objectForKey("one-more").isNull());
    ASSERT_TRUE(this->b_->store->synchronizeNow());
    EXPECT_EQ(this->b_->store->dictionaryRepresentation().size(), UbiquitousKeyValueStore::kMaxKeys);
    EXPECT_EQ(this->b_->store->objectForKey("key-0"), PlistValue(int64_t{0}));
}

TYPED_TEST(StoredKeyValueStoreTest, MeetingAnAccountAndMovingToAnother) {
    auto& a = this->a_;
    a->store->setObject(PlistValue(int64_t{50}), kClipboardSize);
    a->store->setObject(PlistValue("a"), "TLUserDefaultsRecentSearches");
    ASSERT_TRUE(a->store->synchronizeNow());
    // B's first meeting with an account that holds values.
    ASSERT_TRUE(this->b_->store->synchronizeNow());
    this->settle(std::chrono::milliseconds(50));
    auto first = this->heardBy(this->b_);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].reason, UbiquitousKeyValueStore::kInitialSyncChange);
    EXPECT_EQ(first[0].keys, (std::vector<std::string>{"TLUserDefaultsClipboardSize", "TLUserDefaultsRecentSearches"}));

    const Configuration other = TypeParam::make(this->home_.root(), "other");
    auto c = this->device("device-c", other);
    c->store->setObject(PlistValue(int64_t{9}), "TLUserDefaultsCopyTemplates");
    ASSERT_TRUE(c->store->synchronizeNow());
    this->heard_.clear();
    this->use(*a, "device-a", other);
    ASSERT_TRUE(a->store->synchronizeNow());
    this->settle(std::chrono::milliseconds(50));
    auto moved = this->heardBy(a);
    ASSERT_EQ(moved.size(), 1u);
    EXPECT_EQ(moved[0].reason, UbiquitousKeyValueStore::kAccountChange);
    EXPECT_EQ(moved[0].keys, (std::vector<std::string>{"TLUserDefaultsClipboardSize", "TLUserDefaultsCopyTemplates",
                                                       "TLUserDefaultsRecentSearches"}));
    EXPECT_TRUE(a->store->objectForKey(kClipboardSize).isNull());
    EXPECT_EQ(a->store->objectForKey("TLUserDefaultsCopyTemplates"), PlistValue(int64_t{9}));
}

TYPED_TEST(StoredKeyValueStoreTest, OfflineWritesStayInTheCopyUntilTheNextSynchronize) {
    auto& a = this->a_;
    this->use(*a, "device-a", TypeParam::make(this->home_.root(), "tester", true));
    a->store->setObject(PlistValue(int64_t{50}), kClipboardSize);
    EXPECT_FALSE(a->store->synchronizeNow());
    // The copy answers reads, in this process and the next.
    auto again = StoredKeyValueStore::make([] { return nullptr; }, this->home_.root() / "device-a.plist");
    EXPECT_EQ(again->objectForKey(kClipboardSize), PlistValue(int64_t{50}));

    ASSERT_TRUE(this->b_->store->synchronizeNow());
    this->use(*a, "device-a", this->account_);
    ASSERT_TRUE(a->store->synchronizeNow());
    ASSERT_TRUE(this->b_->store->synchronizeNow());
    EXPECT_EQ(this->b_->store->objectForKey(kClipboardSize), PlistValue(int64_t{50}));
}

TYPED_TEST(StoredKeyValueStoreTest, AStoredValueThatIsNotAPropertyListIsRefused) {
    auto server = this->a_->container->server();
    ASSERT_TRUE(server.ok()) << server.error().line();
    ASSERT_TRUE(server.value()
                    ->putKeyValues({{"broken", std::string("\x01not a plist"), 12, 0},
                                    {kClipboardSize, std::string("<plist><integer>5</integer></plist>"), 35, 0}})
                    .ok());
    testsupport::RecordingSystemLog::Scope log;
    ASSERT_TRUE(this->b_->store->synchronizeNow());
    EXPECT_TRUE(this->b_->store->objectForKey("broken").isNull());
    EXPECT_EQ(this->b_->store->objectForKey(kClipboardSize), PlistValue(int64_t{5}));
    ASSERT_EQ(log->messages().size(), 1u);
    EXPECT_NE(log->messages()[0].find("\"broken\""), std::string::npos);
}

}  // namespace
