// The client side of the cloud layer: account status, operations and their
// blocks' order and queues, the plain calls, and pushes within one process.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "CloudTestSupport.h"
#include "platform/cloud/Database.h"
#include "platform/cloud/FetchRecordChangesOperation.h"
#include "platform/cloud/FetchRecordsOperation.h"
#include "platform/cloud/ModifyRecordZonesOperation.h"
#include "platform/cloud/ModifyRecordsOperation.h"
#include "platform/cloud/ModifySubscriptionsOperation.h"
#include "platform/cloud/PushChannel.h"
#include "platform/cloud/ZoneServer.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"

namespace {

using cloud::Container;
using cloud::Error;
using cloud::Record;
using cloud::RecordID;
using cloud::RecordZoneID;

const RecordZoneID kZone{"Tavlo Zone"};

class DatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = home_.dataHome() / "Tavlo" / "Cloud";
        a_ = cloudtest::container(folder_, "device-a");
        b_ = cloudtest::container(folder_, "device-b");
        ASSERT_TRUE(a_->server().ok());
        ASSERT_TRUE(a_->server().value()->modifyZones({kZone}, {}).ok());
    }

    // Adds the operation and waits until its completion block has run.
    void run(Container& container, std::shared_ptr<cloud::DatabaseOperation> operation) {
        container.privateCloudDatabase()->addOperation(operation);
        ASSERT_TRUE(cloudtest::runMainUntil([&] { return operation->isFinished(); }));
    }

    // The settings name the fixture's store; a container that follows them, as the application's does.
    std::shared_ptr<Container> followedContainer() {
        auto suite = foundation::UserDefaults::suite(cloud::Configuration::kSuiteName);
        suite->setObject(foundation::PlistValue("tester"), cloud::Configuration::kAccountKey);
        suite->setObject(foundation::PlistValue(folder_.string()), cloud::Configuration::kFolderKey);
        suite->synchronize();
        return std::make_shared<Container>("com.tavlo.Tavlo", cloud::Configuration::read(), "device-c", true);
    }

    Record clipping(const std::string& name) {
        Record record("Clipping", {name, kZone});
        record.setObject("text", std::string("t ") + name);
        return record;
    }

    testsupport::TempHome home_;
    std::filesystem::path folder_;
    std::shared_ptr<Container> a_, b_;
};

TEST_F(DatabaseTest, AccountStatus) {
    struct Row {
        const char* name;
        std::shared_ptr<Container> container;
        int64_t status;
    };
    const auto notAStore = home_.root() / "not-a-store";
    std::filesystem::create_directories(notAStore);
    std::ofstream(notAStore / "cloud.sqlite") << std::string(4096, 'x');
    const auto newer = home_.root() / "newer";
    ASSERT_TRUE(cloudtest::container(newer, "device-c")->server().value()->session()
                    .query("UPDATE meta SET value = '2' WHERE key = 'format'", {})
                    .ok());
    ASSERT_TRUE(a_->server().value()->setRestricted(false).ok());
    const Row rows[] = {{"available", a_, Container::kAvailable},
                        {"no account", cloudtest::container(folder_, "device-c", ""), Container::kNoAccount},
                        {"not a store", cloudtest::container(notAStore, "device-c"), Container::kCouldNotDetermine},
                        {"a newer store", cloudtest::container(newer, "device-d"), Container::kCouldNotDetermine}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::atomic<int64_t> status{-1};
        std::optional<Error> error;
        row.container->accountStatus([&](int64_t s, std::optional<Error> e) {
            error = e;
            status = s;
        });
        ASSERT_TRUE(cloudtest::runMainUntil([&] { return status >= 0; }));
        EXPECT_EQ(status, row.status);
        if (row.status == Container::kCouldNotDetermine) {
            ASSERT_TRUE(error);
            const auto& folder = row.container->configuration().folder;
            EXPECT_NE(error->description.find(folder.string()), std::string::npos) << error->line();
            EXPECT_EQ(error->code, folder == newer ? Error::kIncompatibleVersion : Error::kNetworkUnavailable);
        }
    }
    ASSERT_TRUE(a_->server().value()->setRestricted(true).ok());
    EXPECT_EQ(b_->accountStatusNow().first, Container::kRestricted);
}

TEST_F(DatabaseTest, WithoutAnAccountEveryCallAnswers9) {
    auto none = cloudtest::container(folder_, "device-c", "");
    std::optional<Error> error;
    std::atomic<bool> done{false};
    none->privateCloudDatabase()->saveRecord(clipping("C-1"), [&](const std::optional<Record>&, const std::optional<Error>& e) {
        error = e;
        done = true;
    });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return done.load(); }));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, Error::kNotAuthenticated);
}

TEST_F(DatabaseTest, BlocksRunInOrderOffTheMainQueue) {
    const Record kept = a_->server().value()->modifyRecords({clipping("C-0")}, {}).value().saved[0];
    std::mutex mutex;
    std::vector<std::string> calls;
    std::atomic<bool> onMain{false};
    auto note = [&](std::string call) {
        std::lock_guard lock(mutex);
        onMain = onMain || dispatch::Queue::main()->isCurrent();
        calls.push_back(std::move(call));
    };
    // A stale save among good ones: per-record errors, then the completion.
    Record stale = *Record::withSystemFields(kept.encodeSystemFields());
    ASSERT_TRUE(a_->server().value()->modifyRecords({[&] {
                                                         Record r = *Record::withSystemFields(kept.encodeSystemFields());
                                                         r.setObject("text", std::string("newer"));
                                                         return r;
                                                     }()},
                                                    {})
                    .ok());
    stale.setObject("text", std::string("older"));
    auto failing = std::make_shared<cloud::ModifyRecordsOperation>(std::vector<Record>{clipping("C-1"), stale},
                                                                   std::vector<RecordID>{});
    failing->setPerRecordCompletionBlock([&](const std::optional<Record>&, const RecordID& id, const std::optional<Error>& e) {
        note(id.recordName + " " + std::to_string(e ? e->code : 0));
    });
    failing->setModifyRecordsCompletionBlock(
        [&](const std::vector<Record>&, const std::vector<RecordID>&, const std::optional<Error>& e) {
            note("done " + std::to_string(e ? e->code : 0));
        });
    run(*a_, failing);
    EXPECT_EQ(calls, (std::vector<std::string>{"C-1 22", "C-0 14", "done 2"}));
    EXPECT_FALSE(onMain);

    // A failure of the whole operation calls no per-record block.
    calls.clear();
    auto missing = std::make_shared<cloud::ModifyRecordsOperation>(
        std::vector<Record>{Record("Clipping", {"C-9", {"Gone Zone"}})}, std::vector<RecordID>{});
    missing->setPerRecordCompletionBlock([&](auto&, auto&, auto&) { note("record"); });
    missing->setModifyRecordsCompletionBlock([&](auto&, auto&, const std::optional<Error>& e) {
        note("done " + std::to_string(e ? e->code : 0));
    });
    run(*a_, missing);
    EXPECT_EQ(calls, (std::vector<std::string>{"done 26"}));
}

TEST_F(DatabaseTest, ModifiesOfOneZoneCommitInTheOrderAdded) {
    std::vector<std::shared_ptr<cloud::ModifyRecordsOperation>> operations;
    for (int i = 0; i < 20; ++i) {
        operations.push_back(std::make_shared<cloud::ModifyRecordsOperation>(
            std::vector<Record>{clipping("C-" + std::to_string(i))}, std::vector<RecordID>{}));
        a_->privateCloudDatabase()->addOperation(operations.back());
    }
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return operations.back()->isFinished(); }));
    std::vector<std::string> names;
    auto fetch = std::make_shared<cloud::FetchRecordChangesOperation>(kZone, std::nullopt);
    fetch->setRecordChangedBlock([&](const Record& record) { names.push_back(record.recordID().recordName); });
    run(*b_, fetch);
    ASSERT_EQ(names.size(), 20u);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(names[i], "C-" + std::to_string(i));
    EXPECT_FALSE(fetch->moreComing());
}

TEST_F(DatabaseTest, FetchedAssetFilesLastUntilThePerRecordBlockReturns) {
    const auto file = home_.root() / "image.png";
    std::ofstream(file) << "png bytes";
    Record asset("Asset", {"C-1.0.png", kZone});
    asset.setObject("data", cloud::Asset{file});
    ASSERT_TRUE(a_->server().value()->modifyRecords({asset}, {}).ok());
    std::filesystem::path delivered;
    std::string contents;
    auto fetch = std::make_shared<cloud::FetchRecordsOperation>(std::vector<RecordID>{asset.recordID(), {"none", kZone}});
    std::vector<int64_t> codes;
    fetch->setPerRecordCompletionBlock([&](const std::optional<Record>& record, const RecordID&, const std::optional<Error>& e) {
        codes.push_back(e ? e->code : 0);
        if (!record) return;
        delivered = std::get<cloud::Asset>(*record->objectForKey("data")).fileURL;
        std::ifstream in(delivered);
        std::getline(in, contents);
    });
    run(*b_, fetch);
    EXPECT_EQ(codes, (std::vector<int64_t>{0, Error::kUnknownItem}));
    EXPECT_EQ(contents, "png bytes");
    EXPECT_FALSE(std::filesystem::exists(delivered));
}

TEST_F(DatabaseTest, PlainCallsForZonesRecordsAndSubscriptions) {
    auto database = b_->privateCloudDatabase();
    std::atomic<int> done{0};
    std::optional<Error> zoneError, subscriptionError, tickError;
    std::optional<Record> tick;
    database->fetchRecordZoneWithID({"Missing"}, [&](auto&, const std::optional<Error>& e) {
        zoneError = e;
        ++done;
    });
    database->fetchSubscriptionWithID("Tavlo Zone Subscription", [&](auto&, const std::optional<Error>& e) {
        subscriptionError = e;
        ++done;
    });
    database->saveRecord(Record("Tick"),
                         [&](const std::optional<Record>& r, const std::optional<Error>& e) {
                             tick = r;
                             tickError = e;
                             ++done;
                         });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return done == 3; }));
    EXPECT_EQ(zoneError->code, Error::kZoneNotFound);
    EXPECT_EQ(subscriptionError->code, Error::kUnknownItem);
    ASSERT_TRUE(tick) << tickError->line();
    EXPECT_TRUE(tick->modificationDate());

    auto subscribe = std::make_shared<cloud::ModifySubscriptionsOperation>(
        std::vector<cloud::Subscription>{{"Tavlo Zone Subscription", kZone, true, ""}}, std::vector<std::string>{});
    run(*b_, subscribe);
    std::vector<cloud::Subscription> all;
    done = 0;
    database->fetchAllSubscriptions([&](const std::vector<cloud::Subscription>& s, auto&) {
        all = s;
        ++done;
    });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return done == 1; }));
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0].subscriptionID, "Tavlo Zone Subscription");
}

TEST_F(DatabaseTest, APushReachesTheOtherDeviceOnTheMainQueue) {
    const cloud::Subscription subscription{"Tavlo Zone Subscription", kZone, true, ""};
    for (auto* container : {&a_, &b_})
        ASSERT_TRUE((*container)->server().value()->modifySubscriptions({subscription}, {}).ok());
    std::atomic<int> pushesA{0}, pushesB{0};
    std::string token;
    std::atomic<bool> onMain{true};
    a_->pushChannel()->registerForRemoteNotifications({}, [&](auto&) { ++pushesA; });
    b_->pushChannel()->registerForRemoteNotifications([&](const std::string& t) { token = t; }, [&](auto&) {
        onMain = onMain && dispatch::Queue::main()->isCurrent();
        ++pushesB;
    });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return !token.empty(); }));
    EXPECT_EQ(token, "device-b");
    auto save = std::make_shared<cloud::ModifyRecordsOperation>(std::vector<Record>{clipping("C-1")}, std::vector<RecordID>{});
    run(*a_, save);
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return pushesB > 0; }, std::chrono::seconds(5)));
    EXPECT_TRUE(onMain);
    a_->pushChannel()->checkNow();
    b_->pushChannel()->checkNow();
    cloudtest::runMainUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(pushesA, 0);
    EXPECT_EQ(pushesB, 1);
    a_->pushChannel()->unregister();
    b_->pushChannel()->unregister();
}

TEST_F(DatabaseTest, AChangedAccountIsAnnounced) {
    auto followed = followedContainer();
    auto suite = foundation::UserDefaults::suite(cloud::Configuration::kSuiteName);
    std::atomic<int> announced{0};
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        cloud::kAccountDidChangeNotification, followed.get(), [&](const foundation::Notification&) { ++announced; });
    std::atomic<int64_t> status{-1};
    followed->accountStatus([&](int64_t s, std::optional<Error>) { status = s; });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return status >= 0; }));
    EXPECT_EQ(status, Container::kAvailable);
    EXPECT_EQ(announced, 0);

    suite->removeObjectForKey(cloud::Configuration::kAccountKey);
    suite->synchronize();
    status = -1;
    followed->accountStatus([&](int64_t s, std::optional<Error>) { status = s; });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return status >= 0 && announced > 0; }));
    EXPECT_EQ(status, Container::kNoAccount);
    EXPECT_EQ(announced, 1);
    foundation::NotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(DatabaseTest, AfterTheAccountMovesPushesComeFromTheNewStoreWithoutWaitingForThePeriodicCheck) {
    auto followed = followedContainer();
    auto suite = foundation::UserDefaults::suite(cloud::Configuration::kSuiteName);
    std::atomic<int> pushes{0};
    std::atomic<bool> registered{false};
    followed->pushChannel()->registerForRemoteNotifications([&](auto&) { registered = true; }, [&](auto&) { ++pushes; });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return registered.load(); }));

    // Another store, another folder: the periodic check is a minute away.
    const auto moved = folder_.parent_path() / "Moved";
    suite->setObject(foundation::PlistValue(moved.string()), cloud::Configuration::kFolderKey);
    suite->synchronize();
    std::atomic<int64_t> status{-1};
    followed->accountStatus([&](int64_t s, std::optional<Error>) { status = s; });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return status >= 0; }));
    ASSERT_EQ(status, Container::kAvailable);
    auto writer = cloudtest::container(moved, "device-w");
    ASSERT_TRUE(writer->server().value()->modifyZones({kZone}, {}).ok());
    ASSERT_TRUE(followed->server().value()->modifySubscriptions({{"Tavlo Zone Subscription", kZone, true, ""}}, {}).ok());
    cloudtest::runMainUntil([] { return false; }, std::chrono::milliseconds(200));
    ASSERT_TRUE(writer->server().value()->modifyRecords({clipping("C-1")}, {}).ok());
    EXPECT_TRUE(cloudtest::runMainUntil([&] { return pushes > 0; }, std::chrono::seconds(10)));
    followed->pushChannel()->unregister();
}

TEST_F(DatabaseTest, ADroppedPushIsCaughtUpByThePeriodicCheck) {
    cloud::Configuration configuration = b_->configuration();
    configuration.pushCheckInterval = 0.2;
    auto listener = Container::make("com.tavlo.Tavlo", configuration, "device-b");
    ASSERT_TRUE(listener->server().value()->modifySubscriptions({{"Tavlo Zone Subscription", kZone, true, ""}}, {}).ok());
    std::atomic<int> pushes{0};
    std::atomic<bool> registered{false};
    listener->pushChannel()->registerForRemoteNotifications([&](auto&) { registered = true; }, [&](auto&) { ++pushes; });
    ASSERT_TRUE(cloudtest::runMainUntil([&] { return registered.load(); }));
    cloudtest::runMainUntil([] { return false; }, std::chrono::milliseconds(100));  // the catch-up check has run
    cloud::ZoneServer::Fault drop;
    drop.operation = "push";
    ASSERT_TRUE(a_->server().value()->addFault(drop).ok());
    ASSERT_TRUE(a_->server().value()->modifyRecords({clipping("C-1")}, {}).ok());
    EXPECT_TRUE(cloudtest::runMainUntil([&] { return pushes > 0; }, std::chrono::seconds(10)));
    listener->pushChannel()->unregister();
}

}  // namespace
