// The sync engine's life under the application delegate, with fake engines and
// the virtual clock, and other devices' settings reaching the settings suite
// through the key-value store.
#include <gtest/gtest.h>

#include <thread>

#include "app/AppDelegate.h"
#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/cloud/MemoryKeyValueStore.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "tests/support/FakeStatusItem.h"
#include "tests/support/TempHome.h"

namespace {

using foundation::PlistValue;
using Store = cloud::UbiquitousKeyValueStore;
using Lines = std::vector<std::string>;

// An engine that records what it is asked, in one log shared by all engines,
// and keeps its completions for the test to run.
class FakeEngine : public TLCloudKitSyncManager {
public:
    FakeEngine(int number, Lines& log) : number_(number), log_(log) {}
    void startCloudKitSync(std::shared_ptr<store::Context> context) override {
        bool stored = AppDelegate::shared() && AppDelegate::shared()->syncManager().get() == this;
        record(std::string("start ") + (context ? "context" : "none") + (stored ? " (stored)" : ""));
    }
    void setManagedObjectContext(std::shared_ptr<store::Context> context) override {
        record(context ? "bind" : "unbind");
    }
    void checkServerForTavloRecordZone(std::function<void(bool)> completion) override {
        record("check");
        zoneCheck = std::move(completion);
    }
    void createTavloRecordZone(const cloud::RecordZoneID& zone, std::function<void(bool)> completion) override {
        record("create " + zone.zoneName);
        zoneCreation = std::move(completion);
    }
    void runCloudKitDiagnostics() override { record("diagnostics"); }
    void fetchChangesFromCloudKitWithCompletion(std::function<void(bool)> completion) override {
        record("fetch");
        completion(false);
    }

    std::function<void(bool)> zoneCheck;
    std::function<void(bool)> zoneCreation;

private:
    void record(const std::string& what) { log_.push_back(std::to_string(number_) + " " + what); }
    int number_;
    Lines& log_;
};

class AppDelegateSyncTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatch::Clock::useVirtualTime();
        Store::setDefaultStore(store_);
        auto& center = foundation::NotificationCenter::defaultCenter();
        for (const char* key : {TLUserDefaultsClipboardSize, TLUserDefaultsCopyTemplates, TLUserDefaultsRecentSearches,
                                TLUserDefaultsSyncEnabled, TLApplicationRules})
            tokens_.push_back(center.addObserver(key, nullptr, [this](const foundation::Notification& n) {
                std::string line = n.name + " " + (n.valueAs<PlistValue>() ? n.valueAs<PlistValue>()->description() : "nil");
                if (!dispatch::Queue::main()->isCurrent()) line += " (off the main thread)";
                posted_.push_back(line);
            }));
    }
    void TearDown() override {
        delegate_.reset();
        for (auto token : tokens_) foundation::NotificationCenter::defaultCenter().removeObserver(token);
        Store::setDefaultStore(nullptr);
        dispatch::Clock::useRealTime();
    }

    static std::shared_ptr<foundation::UserDefaults> suite() { return foundation::UserDefaults::applicationGroup(); }
    // An installation past its first launch, whose table would switch sync off.
    static void setSync(bool on) {
        suite()->setBool(true, TLUserDefaultsInitialized);
        suite()->setBool(on, TLUserDefaultsSyncEnabled);
        suite()->synchronize();
    }

    AppDelegate& launch() {
        AppDelegate::Environment environment;
        environment.makeStatusItem = [](double length) { return std::make_shared<testsupport::FakeStatusItem>(length); };
        environment.pasteboardManager = [] { return nullptr; };
        environment.generalPasteboard = [] { return nullptr; };
        environment.userNotificationCenter = [] { return nullptr; };
        environment.addFileLoggers = [] {};
        environment.managedObjectContext = [this] { return context_; };
        environment.makeSyncManager = [this] {
            auto engine = std::make_shared<FakeEngine>(int(engines_.size()) + 1, log_);
            engines_.push_back(engine);
            return engine;
        };
        delegate_ = std::make_unique<AppDelegate>(std::move(environment));
        delegate_->applicationDidFinishLaunching();
        return *delegate_;
    }
    static void post(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }
    static void drain() { dispatch::MainQueue::runUntilIdle(); }
    FakeEngine* held() { return static_cast<FakeEngine*>(delegate_->syncManager().get()); }

    // The suite as written to its file.
    PlistValue::Dictionary settingsFile() {
        auto data = foundation::Data::contentsOfFile(suite()->filePath());
        if (!data.ok()) return {};
        auto value = foundation::PropertyList::read(data.value().span());
        return value.ok() && value.value().asDictionary() ? *value.value().asDictionary() : PlistValue::Dictionary{};
    }

    testsupport::TempHome home_;
    std::shared_ptr<cloud::MemoryKeyValueStore> store_ = std::make_shared<cloud::MemoryKeyValueStore>();
    std::shared_ptr<store::Context> context_ = std::make_shared<store::Context>(store::ConcurrencyType::MainQueue);
    std::unique_ptr<AppDelegate> delegate_;
    std::vector<std::shared_ptr<FakeEngine>> engines_;
    Lines log_;
    Lines posted_;
    std::vector<foundation::NotificationCenter::Token> tokens_;
};

// MARK: The engine's life

TEST_F(AppDelegateSyncTest, SyncOffAtLaunchMakesNoEngine) {
    launch();
    dispatch::Clock::advance(5);
    EXPECT_TRUE(engines_.empty());
    EXPECT_EQ(delegate_->syncManager(), nullptr);
}

TEST_F(AppDelegateSyncTest, SyncOnAtLaunchStartsOneEngineOneSecondLaterAndStoresItAfterStarting) {
    setSync(true);
    launch();
    dispatch::Clock::advance(0.99);
    EXPECT_TRUE(engines_.empty());
    dispatch::Clock::advance(0.02);
    ASSERT_EQ(engines_.size(), 1u);
    EXPECT_EQ(log_, Lines{"1 start context"});
    EXPECT_EQ(held(), engines_[0].get());
    dispatch::Clock::advance(5);
    EXPECT_EQ(engines_.size(), 1u);
}

TEST_F(AppDelegateSyncTest, APushFetchesThroughTheEngineHeldOnlyWhileSyncIsOn) {
    setSync(true);
    launch();
    delegate_->applicationDidReceiveRemoteNotification({});  // no engine yet
    drain();
    EXPECT_TRUE(log_.empty());
    dispatch::Clock::advance(1.01);
    delegate_->applicationDidReceiveRemoteNotification({});
    drain();
    EXPECT_EQ(log_, (Lines{"1 start context", "1 fetch"}));
    setSync(false);
    delegate_->applicationDidReceiveRemoteNotification({});
    drain();
    EXPECT_EQ(log_.size(), 2u);
}

TEST_F(AppDelegateSyncTest, EnablingStoresANewEngineAtOnceAndFollowsTheZoneCheck) {
    struct Row {
        const char* name;
        std::vector<bool> answers;  // the zone check's, then the creation's
        Lines expected;
    };
    const Row rows[] = {
        {"zone found", {true}, {"1 bind", "1 check", "1 diagnostics"}},
        {"zone created", {false, true}, {"1 bind", "1 check", "1 create Tavlo Zone", "1 diagnostics"}},
        {"creation failed", {false, false}, {"1 bind", "1 check", "1 create Tavlo Zone"}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        engines_.clear();
        log_.clear();
        setSync(true);
        launch();
        post(TLSyncManagerEnableSyncNotification);
        ASSERT_EQ(engines_.size(), 1u);
        EXPECT_EQ(held(), engines_[0].get()) << "stored before any answer";
        engines_[0]->zoneCheck(row.answers[0]);
        drain();
        if (row.answers.size() > 1) {
            ASSERT_TRUE(engines_[0]->zoneCreation);
            engines_[0]->zoneCreation(row.answers[1]);
            drain();
        }
        EXPECT_EQ(log_, row.expected);
        EXPECT_EQ(held(), engines_[0].get()) << "the engine stays, whatever the zone";
        delegate_.reset();
        setSync(false);
    }
}

TEST_F(AppDelegateSyncTest, EnablingWhileTheFlagReadsOffDoesNothing) {
    launch();
    post(TLSyncManagerEnableSyncNotification);
    EXPECT_TRUE(engines_.empty());
}

TEST_F(AppDelegateSyncTest, DisablingDropsAndUnbindsTheEngineOnlyOnceTheFlagIsOff) {
    setSync(true);
    launch();
    post(TLSyncManagerEnableSyncNotification);
    post(TLSyncManagerDidDisableSyncNotification);
    EXPECT_EQ(held(), engines_[0].get()) << "the flag still reads on";
    setSync(false);
    post(TLSyncManagerDidDisableSyncNotification);
    EXPECT_EQ(delegate_->syncManager(), nullptr);
    EXPECT_EQ(log_, (Lines{"1 bind", "1 check", "1 unbind"}));
    EXPECT_EQ(engines_[0].use_count(), 1) << "only the test holds it";
}

TEST_F(AppDelegateSyncTest, ALateCompletionReachesOnlyTheEngineHeldWhenItRuns) {
    setSync(true);
    launch();
    post(TLSyncManagerEnableSyncNotification);
    post(TLSyncManagerEnableSyncNotification);  // replaces the first
    ASSERT_EQ(engines_.size(), 2u);
    EXPECT_EQ(held(), engines_[1].get());
    engines_[0]->zoneCheck(true);
    drain();
    EXPECT_EQ(log_, (Lines{"1 bind", "1 check", "1 unbind", "2 bind", "2 check", "2 diagnostics"}));

    // Dropped altogether: a completion then reaches nobody.
    log_.clear();
    setSync(false);
    post(TLSyncManagerDidDisableSyncNotification);
    engines_[1]->zoneCheck(false);
    drain();
    EXPECT_EQ(log_, Lines{"2 unbind"});
}

TEST_F(AppDelegateSyncTest, AnEngineStartedAtLaunchIsReplacedAndUnboundWhenSyncIsSwitchedOnAgain) {
    setSync(true);
    launch();
    dispatch::Clock::advance(1.01);
    post(TLSyncManagerEnableSyncNotification);
    EXPECT_EQ(log_, (Lines{"1 start context", "1 unbind", "2 bind", "2 check"}));
}

// MARK: Settings from other devices

TEST_F(AppDelegateSyncTest, WithSyncOffAChangeFromTheStoreChangesNothing) {
    launch();
    store_->simulateExternalChange(Store::kServerChange, {{TLUserDefaultsClipboardSize, PlistValue(int64_t(50))}});
    drain();
    EXPECT_EQ(suite()->integerForKey(TLUserDefaultsClipboardSize), 100);
    EXPECT_TRUE(posted_.empty());
}

TEST_F(AppDelegateSyncTest, OnlyServerFirstSyncAndAccountChangesAreMirrored) {
    setSync(true);
    launch();
    struct Row {
        std::optional<int64_t> reason;
        bool mirrored;
    };
    int64_t limit = 10;
    for (Row row : {Row{0, true}, Row{1, true}, Row{2, false}, Row{3, true}, Row{7, false}, Row{std::nullopt, false}}) {
        SCOPED_TRACE(row.reason ? *row.reason : -1);
        posted_.clear();
        ++limit;
        store_->setObject(PlistValue(limit), TLUserDefaultsClipboardSize);
        foundation::Notification change{Store::kDidChangeExternallyNotification, store_.get(), {}, {}};
        if (row.reason) change.userInfo[Store::kChangeReasonKey] = *row.reason;
        change.userInfo[Store::kChangedKeysKey] = std::vector<std::string>{TLUserDefaultsClipboardSize};
        foundation::NotificationCenter::defaultCenter().post(change);
        drain();
        if (row.mirrored) {
            EXPECT_EQ(suite()->integerForKey(TLUserDefaultsClipboardSize), limit);
            EXPECT_EQ(posted_, Lines{std::string(TLUserDefaultsClipboardSize) + " " + std::to_string(limit)});
            EXPECT_EQ(settingsFile()[TLUserDefaultsClipboardSize].asInteger(), limit) << "synchronised";
        } else {
            EXPECT_NE(suite()->integerForKey(TLUserDefaultsClipboardSize), limit);
            EXPECT_TRUE(posted_.empty());
        }
    }
}

TEST_F(AppDelegateSyncTest, AKeyRemovedFromTheStoreLeavesTheSuiteAndItsNotificationCarriesNil) {
    setSync(true);
    launch();
    suite()->setObject(PlistValue(std::vector<std::string>{"old"}), TLUserDefaultsRecentSearches);
    store_->simulateExternalChange(Store::kServerChange, {{TLUserDefaultsRecentSearches, PlistValue()}});
    drain();
    EXPECT_TRUE(suite()->objectForKey(TLUserDefaultsRecentSearches).isNull());
    EXPECT_EQ(posted_, Lines{std::string(TLUserDefaultsRecentSearches) + " nil"});
    EXPECT_EQ(settingsFile().count(TLUserDefaultsRecentSearches), 0u);
}

TEST_F(AppDelegateSyncTest, AChangeAnnouncedOnAWorkerThreadIsAppliedOnTheMainThread) {
    setSync(true);
    launch();
    store_->setObject(PlistValue(int64_t(42)), TLUserDefaultsClipboardSize);
    std::thread worker([this] {
        foundation::Notification change{Store::kDidChangeExternallyNotification, store_.get(), {}, {}};
        change.userInfo[Store::kChangeReasonKey] = int64_t(Store::kServerChange);
        change.userInfo[Store::kChangedKeysKey] = std::vector<std::string>{TLUserDefaultsClipboardSize};
        foundation::NotificationCenter::defaultCenter().post(change);
    });
    worker.join();
    EXPECT_NE(suite()->integerForKey(TLUserDefaultsClipboardSize), 42) << "nothing on the worker";
    drain();
    EXPECT_EQ(suite()->integerForKey(TLUserDefaultsClipboardSize), 42);
    EXPECT_EQ(posted_, Lines{std::string(TLUserDefaultsClipboardSize) + " 42"});
}

TEST_F(AppDelegateSyncTest, KeysTheStoreDoesNotShareAndValuesOfTheWrongTypeChangeNothing) {
    setSync(true);
    launch();
    auto before = suite()->dictionaryRepresentation();
    PlistValue::Dictionary noFormat{{TLUserDefaultsTemplateName, PlistValue("x")}};
    const std::pair<const char*, PlistValue> rows[] = {
        {TLUserDefaultsClipboardSize, PlistValue("50")},
        {TLUserDefaultsClipboardSize, PlistValue(int64_t(-1))},
        {TLUserDefaultsCopyTemplates, PlistValue("{text}")},
        {TLUserDefaultsCopyTemplates, PlistValue(PlistValue::Array{PlistValue(noFormat)})},
        {TLUserDefaultsRecentSearches, PlistValue(PlistValue::Array{PlistValue(int64_t(1))})},
        {TLUserDefaultsSyncEnabled, PlistValue(false)},
        {TLApplicationRules, PlistValue(PlistValue::Array{})},
        {"SomeoneElsesKey", PlistValue("value")},
    };
    for (const auto& [key, value] : rows) {
        SCOPED_TRACE(key);
        store_->simulateExternalChange(Store::kServerChange, {{key, value}});
        drain();
        EXPECT_EQ(suite()->dictionaryRepresentation(), before);
        EXPECT_TRUE(posted_.empty());
    }
}

TEST_F(AppDelegateSyncTest, ChangedKeysAreTakenInOrderWithTheirValues) {
    setSync(true);
    launch();
    PlistValue templates(PlistValue::Array{PlistValue(PlistValue::Dictionary{
        {TLUserDefaultsTemplateName, PlistValue("Plain")}, {TLUserDefaultsTemplateFormat, PlistValue("{text}")}})});
    store_->simulateExternalChange(Store::kAccountChange, {{TLUserDefaultsCopyTemplates, templates},
                                                           {TLUserDefaultsSyncEnabled, PlistValue(false)},
                                                           {TLUserDefaultsClipboardSize, PlistValue(50.0)}});
    drain();
    EXPECT_EQ(suite()->objectForKey(TLUserDefaultsCopyTemplates), templates);
    EXPECT_EQ(suite()->objectForKey(TLUserDefaultsClipboardSize), PlistValue(int64_t(50))) << "stored as an integer";
    EXPECT_TRUE(suite()->boolForKey(TLUserDefaultsSyncEnabled));
    ASSERT_EQ(posted_.size(), 2u);
    EXPECT_EQ(posted_[0].rfind(TLUserDefaultsCopyTemplates, 0), 0u);
    EXPECT_EQ(posted_[1], std::string(TLUserDefaultsClipboardSize) + " 50");
}

}  // namespace
