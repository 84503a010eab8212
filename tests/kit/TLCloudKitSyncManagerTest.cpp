// The sync engine's set-up, record format and download side against an
// embedded cloud store shared with a second device.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <set>

#include "SyncFixture.h"
#include "kit/NSFileManagerExtras.h"
#include "platform/cloud/ByteCodec.h"
#include "platform/store/Predicate.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PostgresServer.h"

namespace synctest {
namespace {

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class LaunchPassTest : public SyncFixture, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        if (auto reason = useBackend(GetParam())) GTEST_SKIP() << *reason;
        SyncFixture::SetUp();
    }
    // Starts the launch pass and waits until its status line is cleared.
    void launch() {
        engine_->startCloudKitSync(context_);
        EXPECT_TRUE(runUntil([&] {
            auto s = statuses();
            return !s.empty() && s.back() == "nil";
        })) << ::testing::PrintToString(statuses());
    }
    void addFault(const std::string& operation, int64_t code) {
        cloud::ZoneServer::Fault fault;
        fault.operation = operation;
        fault.device = kThisDevice;
        fault.code = code;
        ASSERT_TRUE(other()->addFault(fault).ok());
    }
    bool zoneExists() { return other()->fetchZone(zone()).ok(); }
};

TEST_P(LaunchPassTest, TokenStoredDownloadsThenUploads) {
    makeZone();
    auto page = other()->fetchChanges(zone(), std::nullopt, std::nullopt);
    ASSERT_TRUE(page.ok());
    TLSettings()->setObject(page.value().token.archive(), TLUserDefaultsCloudKitServerChangeToken);
    otherSaves({clippingRecord(clippingName(1), "from the other device")});
    launch();
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Connecting to iCloud", "Downloading changes from iCloud",
                                                    "Syncing changes to iCloud", "nil"}));
    EXPECT_TRUE(object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(1)));
    EXPECT_TRUE(TLSettings()->dateForKey(TLUserDefaultsLastSyncDate).has_value());
}

TEST_P(LaunchPassTest, NoTokenZoneFoundSubscribesAndFetchesEverything) {
    makeZone();
    otherSaves({clippingRecord(clippingName(1), "one")});
    launch();
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Connecting to iCloud", "Looking for record zone",
                                                    "Downloading changes from iCloud", "Syncing changes to iCloud", "nil"}));
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsSyncEnabled));
    EXPECT_TRUE(storedToken().has_value());
    EXPECT_TRUE(object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(1)));
}

TEST_P(LaunchPassTest, NoTokenNoZoneCreatesZoneAndSubscription) {
    launch();
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Connecting to iCloud", "Looking for record zone",
                                                    "Creating record zone", "Syncing changes to iCloud", "nil"}));
    EXPECT_TRUE(zoneExists());
    ASSERT_TRUE(runUntil([&] {
        auto subscriptions = self()->fetchSubscriptions();
        return subscriptions.ok() && !subscriptions.value().empty();
    }));
    auto subscriptions = self()->fetchSubscriptions().value();
    EXPECT_EQ(subscriptions.at(0).subscriptionID, "Tavlo Zone Subscription");
    EXPECT_EQ(subscriptions.at(0).zoneID.zoneName, "Tavlo Zone");
    EXPECT_TRUE(TLSettings()->dateForKey(TLUserDefaultsLastSyncDate).has_value());
}

TEST_P(LaunchPassTest, FailedCreationSwitchesSyncOffAndClearsTheErrorLater) {
    addFault("modify-zones", cloud::Error::kQuotaExceeded);
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::atomic<int> errors{0};
    auto token = center.addObserver(TLSyncManagerEnableSyncErrorNotification, nullptr,
                                    [&](const foundation::Notification&) { ++errors; });
    dispatch::Clock::useVirtualTime(1000);
    engine_->startCloudKitSync(context_);
    ASSERT_TRUE(runUntil([&] {
        auto s = statuses();
        return !s.empty() && s.back() == "Error connecting to iCloud: Sync disabled.";
    })) << ::testing::PrintToString(statuses());
    EXPECT_FALSE(TLSettings()->boolForKey(TLUserDefaultsSyncEnabled));
    dispatch::Clock::advance(4.9);
    EXPECT_EQ(statuses().back(), "Error connecting to iCloud: Sync disabled.");
    dispatch::Clock::advance(0.2);
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Connecting to iCloud", "Looking for record zone",
                                                    "Creating record zone",
                                                    "Error connecting to iCloud: Sync disabled.", "nil"}));
    EXPECT_TRUE(runUntil([&] { return errors > 0; }));
    center.removeObserver(token);
}

TEST_P(LaunchPassTest, FailedLookUpEndsThePassWithSyncOn) {
    // A look-up that fails for another reason than a missing zone says
    // nothing about the zone: nothing is created and sync stays on.
    makeZone();
    addFault("fetch-zone", cloud::Error::kNetworkFailure);
    launch();
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Connecting to iCloud", "Looking for record zone", "nil"}));
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsSyncEnabled));
    EXPECT_FALSE(TLSettings()->dateForKey(TLUserDefaultsLastSyncDate).has_value());
    EXPECT_EQ(logCount("Creating Tavlo Record Zone"), 0u);
}

TEST_P(LaunchPassTest, ServerClockOffsetIsRoundedAndKeptOnFailure) {
    struct Case {
        double deviceBehind;  // server minus device clock
        double stored;
    };
    for (const Case c : {Case{90.4, 90}, Case{-2.6, -3}}) {
        foundation::Date::setClock([behind = c.deviceBehind] {
            return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() - behind;
        });
        TLSettings()->removeObjectForKey(TLUserDefaultsServerTimeOffset);
        const size_t before = logCount("Server/client date offset");
        engine_->startCloudKitSync(nullptr);
        ASSERT_TRUE(runUntil([&] { return logCount("Server/client date offset") > before; }));
        // The line is written as the value is stored: give the store a moment.
        runUntil([&] { return TLSettings()->doubleForKey(TLUserDefaultsServerTimeOffset) == c.stored; },
                 std::chrono::seconds(3));
        EXPECT_EQ(TLSettings()->doubleForKey(TLUserDefaultsServerTimeOffset), c.stored) << c.deviceBehind;
    }
    // The measuring record does not stay on the server.
    EXPECT_TRUE(runUntil([&] {
        auto dump = other()->dump({cloud::kDefaultZoneName});
        return dump.ok() && dump.value().empty();
    }));

    addFault("modify", cloud::Error::kNetworkFailure);
    engine_->startCloudKitSync(nullptr);
    ASSERT_TRUE(runUntil([&] { return logCount("error 4") > 0; })) << ::testing::PrintToString(log());
    EXPECT_EQ(TLSettings()->doubleForKey(TLUserDefaultsServerTimeOffset), -3);
}

TEST_P(LaunchPassTest, MarkingShowsInTheMainContextsLoadedObjects) {
    makeZone();
    auto fresh = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    fresh->setClippingID(clippingName(1));
    fresh->setText("never uploaded");
    fresh->setSync(false);
    auto empty = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    empty->setClippingID(clippingName(2));
    empty->setRecordSystemFields(foundation::Data());
    empty->setSync(false);
    auto uploaded = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    uploaded->setClippingID(clippingName(3));
    uploaded->setRecordSystemFields(record("Clipping", clippingName(3)).encodeSystemFields());
    uploaded->setSync(false);
    ASSERT_TRUE(context_->save().ok());
    database_->parentManagedObjectContext()->performBlockAndWait([] {});
    // Loaded in the main context before the launch pass.
    EXPECT_FALSE(fresh->sync().value_or(true));

    launch();
    // The pass's upload picks objects up by the flag their main-context copy
    // reads: the two marked ones went up, the one uploaded before did not.
    EXPECT_EQ(logCount("Clipping objects to be uploaded"), 1u);
    ASSERT_TRUE(runUntil([&] {
        auto dump = other()->dump(zone());
        return dump.ok() && dump.value().size() == 2;
    }));
    std::set<std::string> names;
    const auto dump = other()->dump(zone());
    for (const auto& stored : dump.value()) names.insert(stored.record.recordID().recordName);
    EXPECT_EQ(names, (std::set<std::string>{clippingName(1), clippingName(2)}));
    EXPECT_FALSE(uploaded->sync().value_or(true));
}

TEST_P(LaunchPassTest, ObjectsEditedSinceTheirUploadAreMarkedAgain) {
    // Both were uploaded; one was edited afterwards and its upload never
    // answered (the flag was cleared when its record was built).
    makeZone();
    auto saved = otherSaves({clippingRecord(clippingName(1), "server edited"), clippingRecord(clippingName(2), "server same")});
    ASSERT_EQ(saved.size(), 2u);
    TLSettings()->setBool(false, TLUserDefaultsSyncEnabled);
    std::vector<std::shared_ptr<Clipping>> local;
    for (const auto& [index, text, later] : {std::tuple{0, "edited here", 5.0}, std::tuple{1, "server same", 0.0}}) {
        const auto& version = saved[static_cast<size_t>(index)];
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(version.recordID().recordName);
        c->setText(std::string(text));
        c->setRecordSystemFields(version.encodeSystemFields());
        c->setModifiedDate(version.modificationDate()->addingTimeInterval(later));
        c->setSync(false);
        local.push_back(c);
    }
    ASSERT_TRUE(context_->save().ok());
    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    TLSettings()->setObject(other()->fetchChanges(zone(), std::nullopt, std::nullopt).value().token.archive(),
                          TLUserDefaultsCloudKitServerChangeToken);

    launch();
    EXPECT_EQ(logCount("1 Clipping objects changed since their upload"), 1u);
    auto text = [&](int n) {
        auto dump = other()->dump(zone());
        for (const auto& stored : dump.value())
            if (stored.record.recordID().recordName == clippingName(n))
                return std::get<std::string>(*stored.record.objectForKey("text"));
        return std::string();
    };
    ASSERT_TRUE(runUntil([&] { return text(1) == "edited here"; })) << text(1);
    EXPECT_EQ(text(2), "server same");
    EXPECT_EQ(logCount("Update Clipping record with ID " + clippingName(2)), 0u);
    ASSERT_TRUE(runUntil([&] { return !local[0]->sync().value_or(true); }));
    EXPECT_FALSE(local[1]->sync().value_or(true));
}

// MARK: - Change fetch and apply

class FetchTest : public SyncFixture, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        if (auto reason = useBackend(GetParam())) GTEST_SKIP() << *reason;
        SyncFixture::SetUp();
        makeZone();
    }
};

TEST_P(FetchTest, AppliesRecordsInAnyOrderWithPlaceholders) {
    const std::string c1 = clippingName(1), c2 = clippingName(2), l1 = listName(1);
    // The asset and a clipping naming a list arrive before their clipping and list.
    otherSaves({assetRecord(c1, "0.public.png", "PNG BYTES")});
    const auto listed = otherSaves({clippingRecord(c2, "in a list", l1)});
    ASSERT_EQ(listed.size(), 1u);
    auto first = fetch(std::nullopt);
    EXPECT_EQ(first, std::vector<bool>{true});

    auto placeholder = object<Clipping>(Clipping::kEntityName, "clippingID", c1);
    ASSERT_TRUE(placeholder);
    EXPECT_EQ(placeholder->tavloDate(), foundation::Date(0));
    EXPECT_FALSE(placeholder->sync().value_or(true));
    EXPECT_FALSE(placeholder->modifiedDate().has_value());
    auto placeholderList = object<List>(List::kEntityName, "listID", l1);
    ASSERT_TRUE(placeholderList);
    EXPECT_EQ(placeholderList->name(), std::string());
    EXPECT_EQ(placeholderList->modifiedDate(), foundation::Date(0));
    auto asset = object<Asset>(Asset::kEntityName, "assetID", c1 + ".0.public.png");
    ASSERT_TRUE(asset);
    EXPECT_EQ(asset->clipping(), placeholder);
    EXPECT_EQ(contents(NSFileManagerExtras::URLForAssetFile(c1, "0.public.png")->filePath()), "PNG BYTES");
    const auto token = storedToken();
    ASSERT_TRUE(token);

    // The real records fill the placeholders; a clipping record without
    // "list" takes the clipping out of its list.
    auto list = record("List", l1);
    list.setObject("name", std::string("Work"));
    // A change of the stored version: its system fields name it.
    auto unlisted = *cloud::Record::withSystemFields(listed[0].encodeSystemFields());
    unlisted.setObject("text", std::string("no list now"));
    unlisted.setObject("list", std::nullopt);
    otherSaves({clippingRecord(c1, "the image's clipping"), list, unlisted});
    EXPECT_EQ(fetch(token), std::vector<bool>{true});
    EXPECT_EQ(placeholder->text(), "the image's clipping");
    EXPECT_EQ(placeholder->tavloDate(), foundation::Date(1000));
    EXPECT_TRUE(placeholder->modifiedDate().has_value());
    EXPECT_EQ(placeholderList->name(), "Work");
    auto moved = object<Clipping>(Clipping::kEntityName, "clippingID", c2);
    EXPECT_EQ(moved->list(), nullptr);
    EXPECT_EQ(moved->text(), "no list now");
}

TEST_P(FetchTest, NewerRecordRuleAndSyncFlag) {
    const std::string c1 = clippingName(1), c2 = clippingName(2);
    auto saved = otherSaves({clippingRecord(c1, "server one"), clippingRecord(c2, "server two")});
    ASSERT_EQ(saved.size(), 2u);
    const foundation::Date serverDate = *saved[0].modificationDate();
    // c1: local date equal to the record's; c2: edited here after it.
    for (auto [name, date, text] : {std::tuple{c1, serverDate, "local one"},
                                    std::tuple{c2, serverDate.addingTimeInterval(60), "local two"}}) {
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(name);
        c->setModifiedDate(date);
        c->setText(std::string(text));
        c->setSync(true);
    }
    ASSERT_TRUE(context_->save().ok());
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});

    auto equal = object<Clipping>(Clipping::kEntityName, "clippingID", c1);
    EXPECT_EQ(equal->text(), "local one");
    EXPECT_FALSE(equal->sync().value_or(true));
    EXPECT_TRUE(equal->recordSystemFields().has_value());
    // The later local edit keeps its values and stays marked, so it still goes up.
    auto later = object<Clipping>(Clipping::kEntityName, "clippingID", c2);
    EXPECT_EQ(later->text(), "local two");
    EXPECT_TRUE(later->sync().value_or(false));
    auto fields = cloud::Record::withSystemFields(*later->recordSystemFields());
    ASSERT_TRUE(fields);
    EXPECT_EQ(fields->recordChangeTag(), saved[1].recordChangeTag());
}

TEST_P(FetchTest, TavloDateFallsBackToSaveDateThenServerTime) {
    auto withSaveDate = record("Clipping", clippingName(1));
    withSaveDate.setObject("saveDate", foundation::Date(4242));
    auto withNeither = record("Clipping", clippingName(2));
    TLSettings()->setDouble(100, TLUserDefaultsServerTimeOffset);
    const foundation::Date before = foundation::Date::now().addingTimeInterval(100);
    auto saved = otherSaves({withSaveDate, withNeither});
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    EXPECT_EQ(object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(1))->tavloDate(), foundation::Date(4242));
    auto serverTimed = object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(2));
    ASSERT_TRUE(serverTimed->tavloDate());
    EXPECT_GE(*serverTimed->tavloDate(), before);
    // No "addDate": the record's creation date.
    EXPECT_EQ(serverTimed->addDate(), saved[1].creationDate());
}

// Long runs of records, on the embedded store only (PostgreSQL adds time, not paths).
class LongFetchTest : public FetchTest {};

TEST_P(LongFetchTest, MoreComingContinuesAndCompletesOnce) {
    std::vector<cloud::Record> many;
    for (int i = 0; i < 250; ++i) many.push_back(clippingRecord(clippingName(i), "text " + std::to_string(i)));
    otherSaves(many);
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    // Give a second completion time to show up, should there be one.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    dispatch::MainQueue::runUntilIdle();
    EXPECT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 250u);
    EXPECT_EQ(logCount("More record changes coming"), 1u);
}

TEST_P(FetchTest, ExpiredTokenFetchesEverythingAgain) {
    otherSaves({clippingRecord(clippingName(1), "one")});
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    const auto token = storedToken();
    ASSERT_TRUE(other()->expireTokens().ok());
    otherSaves({clippingRecord(clippingName(2), "two")});
    EXPECT_EQ(fetch(token, 2), (std::vector<bool>{false, true}));
    EXPECT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 2u);
    EXPECT_NE(storedToken(), token);
}

TEST_P(FetchTest, UndecodableStoredTokenIsAFullFetch) {
    otherSaves({clippingRecord(clippingName(1), "one")});
    TLSettings()->setObject(foundation::Data::fromString("not a token"), TLUserDefaultsCloudKitServerChangeToken);
    engine_->setManagedObjectContext(context_);
    std::atomic<int> done{0};
    engine_->fetchChangesFromCloudKitWithCompletion([&](bool success) { done += success ? 1 : 100; });
    ASSERT_TRUE(runUntil([&] { return done > 0; }));
    EXPECT_EQ(done, 1);
    EXPECT_EQ(logCount("Stored CloudKit change token cannot be read"), 1u);
    EXPECT_TRUE(object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(1)));
}

TEST(SyncRetryDelay, RoundsUpWithinOneSecondAndOneHour) {
    struct Case {
        std::optional<double> retryAfter;
        double delay;
    };
    for (const Case c : {Case{5.0, 5}, Case{std::nullopt, 30}, Case{0.4, 1}, Case{0.0, 1}, Case{2.1, 3},
                         Case{-7.0, 1}, Case{86400.0, 3600}}) {
        cloud::Error error(cloud::Error::kZoneBusy, "busy");
        error.retryAfter = c.retryAfter;
        EXPECT_EQ(TLCloudKitSyncManager::retryDelay(error), c.delay) << c.retryAfter.value_or(-1);
    }
}

TEST_P(FetchTest, BusyServerRetriesAfterItsDelayOnVirtualTime) {
    otherSaves({clippingRecord(clippingName(1), "one")});
    struct Case {
        double retryAfter;  // 0: none given
        double delay;
    };
    for (const Case c : {Case{5, 5}, Case{0, 30}, Case{0.4, 1}}) {
        ASSERT_TRUE(other()->clearFaults().ok());
        cloud::ZoneServer::Fault fault;
        fault.operation = "fetch-changes";
        fault.device = kThisDevice;
        fault.code = cloud::Error::kZoneBusy;
        fault.retryAfter = c.retryAfter;
        ASSERT_TRUE(other()->addFault(fault).ok());
        dispatch::Clock::useVirtualTime(1000);
        const size_t fetchesBefore = logCount("Fetching all records from CloudKit");
        const size_t savesBefore = logCount("All record changes have been saved");
        auto flags = fetch(std::nullopt);
        EXPECT_EQ(flags, std::vector<bool>{false}) << c.retryAfter;
        ASSERT_TRUE(other()->clearFaults().ok());
        dispatch::Clock::advance(c.delay - 0.05);
        EXPECT_EQ(logCount("Fetching all records from CloudKit"), fetchesBefore + 1) << c.retryAfter;
        dispatch::Clock::advance(0.1);
        EXPECT_TRUE(runUntil([&] { return logCount("Fetching all records from CloudKit") == fetchesBefore + 2; }))
            << c.retryAfter;
        // The retried fetch ends before the next case adds its fault.
        EXPECT_TRUE(runUntil([&] { return logCount("All record changes have been saved") > savesBefore; }));
        dispatch::Clock::useRealTime();
    }
}

TEST_P(FetchTest, DeletedRecordNamesDeleteByTheirForm) {
    const std::string c1 = clippingName(1), c2 = clippingName(2), l1 = listName(1);
    const std::string f1 = "F-" + listName(2).substr(2);
    auto list = record("List", l1);
    list.setObject("name", std::string("A"));
    auto otherList = record("List", f1);
    otherList.setObject("name", std::string("B"));
    otherSaves({clippingRecord(c1, "one", l1), clippingRecord(c2, "two"), list, otherList,
                assetRecord(c1, "0.public.png", "one's image"), assetRecord(c2, "0.public.png", "two's image"),
                assetRecord(c2, "1.public.png", "two's second")});
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    const auto token = storedToken();
    const fs::path c1Folder = NSFileManagerExtras::URLForClippingAssetsWithID(c1)->filePath();
    const fs::path c2Image = NSFileManagerExtras::URLForAssetFile(c2, "0.public.png")->filePath();
    const fs::path c2Second = NSFileManagerExtras::URLForAssetFile(c2, "1.public.png")->filePath();
    ASSERT_TRUE(fs::exists(c1Folder) && fs::exists(c2Image));

    otherSaves({}, {c1, c2 + ".0.public.png", l1, f1});
    EXPECT_EQ(fetch(token), std::vector<bool>{true});
    ASSERT_TRUE(runUntil([&] { return !object<List>(List::kEntityName, "listID", f1); }));
    EXPECT_FALSE(object<List>(List::kEntityName, "listID", l1));
    EXPECT_FALSE(object<Clipping>(Clipping::kEntityName, "clippingID", c1));
    EXPECT_FALSE(fs::exists(c1Folder));
    EXPECT_TRUE(object<Clipping>(Clipping::kEntityName, "clippingID", c2));
    EXPECT_FALSE(object<Asset>(Asset::kEntityName, "assetID", c2 + ".0.public.png"));
    EXPECT_FALSE(fs::exists(c2Image));
    EXPECT_TRUE(fs::exists(c2Second));
    EXPECT_TRUE(object<Asset>(Asset::kEntityName, "assetID", c2 + ".1.public.png"));
}

TEST_P(FetchTest, DeletedZoneEmptiesTheHistoryAndStartsOver) {
    otherSaves({clippingRecord(clippingName(1), "one"), assetRecord(clippingName(1), "0.public.png", "x")});
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    const auto token = storedToken();
    ASSERT_TRUE(fs::exists(NSFileManagerExtras::localAssetsDirectory().filePath()));
    ASSERT_TRUE(other()->modifyZones({}, {zone()}).ok());

    EXPECT_EQ(fetch(token), std::vector<bool>{false});
    ASSERT_TRUE(runUntil([&] { return engine_->diagnostics > 0; }));
    EXPECT_TRUE(objects<Clipping>(Clipping::kEntityName).empty());
    EXPECT_TRUE(objects<Asset>(Asset::kEntityName).empty());
    EXPECT_FALSE(fs::exists(NSFileManagerExtras::localAssetsDirectory().filePath()));
    EXPECT_TRUE(other()->fetchZone(zone()).ok());
    EXPECT_TRUE(TLSettings()->boolForKey(TLUserDefaultsSyncEnabled));
    EXPECT_FALSE(storedToken().has_value());
}

TEST_P(FetchTest, TokenRefreshAppliesOtherDevicesChanges) {
    otherSaves({clippingRecord(clippingName(1), "one")});
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    const auto before = storedToken();
    otherSaves({clippingRecord(clippingName(2), "changed meanwhile")});
    engine_->setShouldGetUpdatedToken(true);
    engine_->getLatestServerChangeToken();
    EXPECT_FALSE(engine_->shouldGetUpdatedToken());
    ASSERT_TRUE(runUntil([&] { return storedToken() != before; }));
    EXPECT_TRUE(object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(2)));
    // Without the request nothing is fetched.
    const size_t refreshes = logCount("Fetching latest server change token");
    engine_->getLatestServerChangeToken();
    EXPECT_EQ(logCount("Fetching latest server change token"), refreshes);
}

TEST_P(FetchTest, MalformedRecordsAreSkippedOrReadAsAbsent) {
    const fs::path sentinel = home_.dataHome() / "Tavlo" / "sentinel";
    { std::ofstream(sentinel) << "keep me"; }
    const std::string good = clippingName(1);
    std::vector<cloud::Record> records;
    records.push_back(assetRecord("../../x", "0.public.png", "escape"));
    records.push_back(assetRecord(good, "a/../../b", "escape"));
    records.push_back(assetRecord(good, "../sentinel", "escape"));
    // Refused by the server (names are text), so it never reaches the engine.
    const cloud::Record nulName = clippingRecord(std::string("C-nul\0name", 10), "nul");
    auto refused = other()->modifyRecords({nulName}, {});
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().partialErrors.at(nulName.recordID())->code, cloud::Error::kInvalidArguments);
    records.push_back(clippingRecord("C-" + std::string(298, 'A'), "long"));
    auto badIndex = clippingRecord(clippingName(2), "index as text");
    badIndex.setObject("index", std::string("3"));
    auto badList = clippingRecord(clippingName(3), "list as text");
    badList.setObject("list", std::string("L-1"));
    auto unknownKind = clippingRecord(clippingName(4), "unknown kind");
    unknownKind.setObject("color", cloud::UnknownValue{99, foundation::Data::fromString("?")});
    auto tag = record("Tag", "T-1");
    tag.setObject("name", std::string("newer schema"));
    for (auto& r : {badIndex, badList, unknownKind, tag}) records.push_back(r);
    // Each record in a modify of its own, so one the server refuses leaves the rest.
    for (const auto& r : records) (void)other()->modifyRecords({r}, {});

    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    EXPECT_EQ(contents(sentinel), "keep me");
    EXPECT_FALSE(fs::exists(home_.dataHome() / "x"));
    EXPECT_FALSE(fs::exists(home_.dataHome() / "Tavlo" / "b"));
    EXPECT_TRUE(objects<Asset>(Asset::kEntityName).empty());
    EXPECT_EQ(logCount("Skipping Asset record"), 3u);
    EXPECT_EQ(logCount("Skipping Clipping record with unusable ID"), 1u);
    EXPECT_EQ(logCount("Skipping record of unknown type"), 1u);
    auto indexed = object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(2));
    ASSERT_TRUE(indexed);
    EXPECT_FALSE(indexed->index().has_value());
    EXPECT_EQ(logCount("Ignoring field \"index\""), 1u);
    auto listed = object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(3));
    ASSERT_TRUE(listed);
    EXPECT_EQ(listed->list(), nullptr);
    EXPECT_EQ(logCount("Ignoring field \"list\""), 1u);
    auto coloured = object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(4));
    ASSERT_TRUE(coloured);
    EXPECT_FALSE(coloured->color().has_value());
    EXPECT_EQ(logCount("Ignoring field \"color\""), 1u);
    EXPECT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 3u);
}

TEST_P(FetchTest, MissingOrDamagedAssetChunksLeaveTheAssetWithoutItsFile) {
    const std::string c1 = clippingName(1), c2 = clippingName(2);
    otherSaves({clippingRecord(c1, "damaged"), assetRecord(c1, "0.public.png", "DAMAGED BYTES"),
                clippingRecord(c2, "missing"), assetRecord(c2, "0.public.png", "MISSING BYTES"),
                assetRecord(c2, "1.public.tiff", "GOOD BYTES")});
    // Files this small are one chunk each, named by the hash of the whole.
    ASSERT_TRUE(other()->session().query("UPDATE chunks SET data = ? WHERE hash = ?",
                                         {cloud::SqlBlob{"tampered"}, cloud::ByteCodec::sha256Hex("DAMAGED BYTES")})
                    .ok());
    ASSERT_TRUE(
        other()->session().query("DELETE FROM chunks WHERE hash = ?", {cloud::ByteCodec::sha256Hex("MISSING BYTES")}).ok());

    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    EXPECT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 2u);
    EXPECT_EQ(objects<Asset>(Asset::kEntityName).size(), 3u);
    for (const auto& [clipping, file] : {std::pair{c1, "0.public.png"}, std::pair{c2, "0.public.png"}}) {
        auto asset = object<Asset>(Asset::kEntityName, "assetID", clipping + "." + file);
        ASSERT_TRUE(asset) << clipping;
        EXPECT_EQ(asset->clipping(), object<Clipping>(Clipping::kEntityName, "clippingID", clipping));
        EXPECT_FALSE(fs::exists(NSFileManagerExtras::URLForAssetFile(clipping, file)->filePath())) << clipping;
    }
    EXPECT_EQ(contents(NSFileManagerExtras::URLForAssetFile(c2, "1.public.tiff")->filePath()), "GOOD BYTES");
    EXPECT_EQ(logCount("came without its file"), 2u);
}

// MARK: - Record format

TEST_P(FetchTest, RecordsBuiltFromObjects) {
    const std::string c1 = clippingName(1);
    auto list = std::static_pointer_cast<List>(context_->insertNewObject(List::kEntityName));
    list->setListID(listName(1));
    list->setName("Work");
    auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    clipping->setClippingID(c1);
    clipping->setText("hello");
    clipping->setIndex(2);
    clipping->setList(list);
    auto asset = std::static_pointer_cast<Asset>(context_->insertNewObject(Asset::kEntityName));
    asset->setAssetID(c1 + ".0.public.png");
    asset->setFilename("0.public.png");
    asset->setClipping(clipping);

    auto listRecord = engine_->newRecordForList(*list);
    EXPECT_EQ(listRecord.recordType(), "List");
    EXPECT_EQ(listRecord.recordID().recordName, listName(1));
    EXPECT_EQ(listRecord.recordID().zoneID.zoneName, "Tavlo Zone");
    EXPECT_EQ(std::get<std::string>(*listRecord.objectForKey("name")), "Work");

    auto clippingRec = engine_->newRecordForClipping(*clipping);
    EXPECT_EQ(std::get<std::string>(*clippingRec.objectForKey("text")), "hello");
    EXPECT_EQ(std::get<int64_t>(*clippingRec.objectForKey("index")), 2);
    auto reference = std::get<cloud::Reference>(*clippingRec.objectForKey("list"));
    EXPECT_EQ(reference.recordID.recordName, listName(1));
    EXPECT_EQ(reference.action, cloud::Reference::None);
    EXPECT_TRUE(clippingRec.changedKeys().count("url"));  // nil is sent as a removal
    EXPECT_FALSE(clippingRec.objectForKey("url").has_value());
    clipping->setList(nullptr);
    engine_->updatedRecordForClipping(clippingRec, *clipping);
    EXPECT_FALSE(clippingRec.objectForKey("list").has_value());

    // Without its file the asset record has no "data"; with it, the file.
    auto assetRec = engine_->newRecordForAsset(*asset);
    EXPECT_FALSE(assetRec.objectForKey("data").has_value());
    EXPECT_EQ(std::get<std::string>(*assetRec.objectForKey("clippingID")), c1);
    EXPECT_EQ(std::get<cloud::Reference>(*assetRec.objectForKey("clipping")).action, cloud::Reference::DeleteSelf);
    const auto file = NSFileManagerExtras::URLForAssetFile(c1, "0.public.png")->filePath();
    fs::create_directories(file.parent_path());
    { std::ofstream(file) << "png"; }
    assetRec = engine_->newRecordForAsset(*asset);
    EXPECT_EQ(std::get<cloud::Asset>(*assetRec.objectForKey("data")).fileURL, file);
    EXPECT_TRUE(assetRec.recordChangeTag().empty());
}

TEST_P(FetchTest, DroppedEngineClosesItsBracketAndRunsNoMore) {
    otherSaves({clippingRecord(clippingName(1), "one")});
    engine_->setManagedObjectContext(context_);
    std::atomic<int> calls{0};
    cloud::ZoneServer::Fault fault;
    fault.operation = "fetch-changes";
    fault.device = kThisDevice;
    fault.code = cloud::Error::kZoneBusy;
    fault.retryAfter = 5;
    ASSERT_TRUE(other()->addFault(fault).ok());
    dispatch::Clock::useVirtualTime(1000);
    engine_->fetchChangesFromCloudKit(std::nullopt, [&](bool) { ++calls; });
    ASSERT_TRUE(runUntil([&] { return calls == 1; }));
    ASSERT_TRUE(other()->clearFaults().ok());
    // Dropped while its next fetch is under way (a retry waits too).
    std::atomic<int> laterCalls{0};
    engine_->fetchChangesFromCloudKit(std::nullopt, [&](bool) { ++laterCalls; });
    engine_.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    dispatch::MainQueue::runUntilIdle();
    EXPECT_FALSE(database_->batchUpdates());
    dispatch::Clock::advance(10);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    dispatch::MainQueue::runUntilIdle();
    // The first fetch's retry never ran: it would have answered again.
    EXPECT_EQ(calls, 1);
    EXPECT_LE(laterCalls, 1);
}

// MARK: - A whole pass

TEST_P(LaunchPassTest, LaunchPassAppliesEverythingAndSubscribes) {
    const std::string c1 = clippingName(1), l1 = listName(1);
    makeZone();
    auto list = record("List", l1);
    list.setObject("name", std::string("Work"));
    otherSaves({assetRecord(c1, "0.public.png", "PNG BYTES")});
    otherSaves({clippingRecord(c1, "listed", l1), list});
    launch();
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Connecting to iCloud", "Looking for record zone",
                                                    "Downloading changes from iCloud", "Syncing changes to iCloud", "nil"}));
    auto clipping = object<Clipping>(Clipping::kEntityName, "clippingID", c1);
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->text(), "listed");
    ASSERT_TRUE(clipping->list());
    EXPECT_EQ(clipping->list()->name(), "Work");
    EXPECT_EQ(contents(NSFileManagerExtras::URLForAssetFile(c1, "0.public.png")->filePath()), "PNG BYTES");
    const auto token = storedToken();
    ASSERT_TRUE(token);
    ASSERT_TRUE(runUntil([&] {
        auto subscriptions = self()->fetchSubscriptions();
        return subscriptions.ok() && subscriptions.value().size() == 1;
    }));

    // A deletion by another device, through the stored token.
    otherSaves({}, {c1});
    EXPECT_EQ(fetch(token), std::vector<bool>{true});
    ASSERT_TRUE(runUntil([&] { return !object<Clipping>(Clipping::kEntityName, "clippingID", c1); }));
    EXPECT_FALSE(fs::exists(NSFileManagerExtras::URLForClippingAssetsWithID(c1)->filePath()));
}

// MARK: - A device in a process of its own

// The device program reaches the embedded store through the settings the tool writes.
class DeviceProcessTest : public SyncFixture {
protected:
    void SetUp() override {
        SyncFixture::SetUp();
        makeZone();
        const fs::path device = home_.root() / "device";
        env_ = {{"HOME", device.string()},
                {"XDG_DATA_HOME", (device / "data").string()},
                {"XDG_CONFIG_HOME", (device / "config").string()},
                {"XDG_CACHE_HOME", (device / "cache").string()}};
        // The device's account: the test's embedded cloud store.
        auto use = testsupport::runCommand(
            {TAVLO_CLOUD_TOOL, "use", "embedded", (home_.root() / "cloud").string(), "--account", "tester"},
            std::chrono::seconds(20), env_);
        ASSERT_EQ(use.status, 0) << use.output;
    }

    // The device process's own home and folders.
    std::map<std::string, std::string> env_;
};

TEST_F(DeviceProcessTest, LaunchesFetchesAndDumps) {
    const std::string c1 = clippingName(1);
    otherSaves({clippingRecord(c1, "from afar"), assetRecord(c1, "0.public.png", "image bytes")});
    const auto& env = env_;

    auto process = testsupport::ChildProcess::start(
        {"/bin/sh", "-c", std::string("printf 'sync on\\nstart\\nidle\\ndump\\nquit\\n' | '") + TAVLO_SYNC_DEVICE + "'"},
        env);
    ASSERT_TRUE(process);
    std::vector<std::string> lines;
    while (auto line = process->readLine(std::chrono::seconds(20))) lines.push_back(*line);
    EXPECT_EQ(process->wait(std::chrono::seconds(10)), 0);
    ASSERT_GE(lines.size(), 6u) << ::testing::PrintToString(lines);
    EXPECT_EQ(lines[0], "ok");
    EXPECT_EQ(lines[1], "ok");
    EXPECT_EQ(lines[2], "idle");
    std::string clippingLine, assetLine;
    for (const auto& line : lines) {
        if (line.find("\"type\":\"Clipping\"") != std::string::npos) clippingLine = line;
        if (line.find("\"type\":\"Asset\"") != std::string::npos) assetLine = line;
    }
    EXPECT_NE(clippingLine.find("\"id\":\"" + c1 + "\""), std::string::npos) << clippingLine;
    EXPECT_NE(clippingLine.find("\"text\":\"from afar\""), std::string::npos) << clippingLine;
    EXPECT_NE(clippingLine.find("\"sync\":false"), std::string::npos) << clippingLine;
    EXPECT_NE(assetLine.find("\"sha256\":\"" + cloud::ByteCodec::sha256Hex("image bytes") + "\""), std::string::npos)
        << assetLine;

    // The launch pass subscribed this device to the zone.
    auto status = testsupport::runCommand({TAVLO_CLOUD_TOOL, "status"}, std::chrono::seconds(20), env);
    EXPECT_NE(status.output.find("zone Tavlo Zone"), std::string::npos) << status.output;
    EXPECT_NE(status.output.find("subscription Tavlo Zone Subscription on zone Tavlo Zone"), std::string::npos)
        << status.output;
}

TEST_F(DeviceProcessTest, AFailedDeletionStaysPendingUntilAReconcileSendsIt) {
    const auto& env = env_;

    // Commands go through a named pipe, one at a time, each after the last one's answer.
    const fs::path commands = home_.root() / "commands";
    ASSERT_EQ(::mkfifo(commands.c_str(), 0600), 0);
    auto process = testsupport::ChildProcess::start(
        {"/bin/sh", "-c", "exec '" + std::string(TAVLO_SYNC_DEVICE) + "' < '" + commands.string() + "'"}, env);
    ASSERT_TRUE(process);
    const int pipe = ::open(commands.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    // The lines of the answer, the last being "ok", "idle" or an error.
    auto run = [&](const std::string& command) {
        const std::string line = command + "\n";
        EXPECT_EQ(::write(pipe, line.data(), line.size()), static_cast<ssize_t>(line.size()));
        std::vector<std::string> lines;
        while (auto answer = process->readLine(std::chrono::seconds(60))) {
            lines.push_back(*answer);
            if (*answer == "ok" || *answer == "idle" || answer->rfind("error", 0) == 0) break;
        }
        return lines;
    };
    const std::vector<std::string> ok{"ok"}, idle{"idle"};
    for (const char* command : {"sync on", "start"}) ASSERT_EQ(run(command), ok) << command;
    ASSERT_EQ(run("idle"), idle);
    for (const char* command : {"copy first", "copy second"}) ASSERT_EQ(run(command), ok) << command;
    ASSERT_EQ(run("idle"), idle);
    std::string first;
    for (const auto& line : run("dump"))
        if (line.find("\"text\":\"first\"") != std::string::npos) {
            const auto at = line.find("\"id\":\"") + 6;
            first = line.substr(at, line.find('"', at) - at);
        }
    ASSERT_FALSE(first.empty());
    auto onServer = [&](const std::string& name) {
        auto dump = other()->dump(zone());
        if (!dump) return false;
        for (const auto& stored : dump.value())
            if (stored.record.recordID().recordName == name) return true;
        return false;
    };
    ASSERT_TRUE(onServer(first));

    // The server fails every operation that names the clipping.
    cloud::ZoneServer::Fault fault;
    fault.operation = "modify";
    fault.record = first;
    fault.code = cloud::Error::kNetworkFailure;
    ASSERT_TRUE(other()->addFault(fault).ok());
    ASSERT_EQ(run("delete first"), ok);
    ASSERT_EQ(run("idle"), idle);
    EXPECT_EQ(run("pending"), (std::vector<std::string>{"[\"" + first + "\"]", "ok"}));
    EXPECT_TRUE(onServer(first));

    // Healed: a reconcile sends the deletion and does not fetch the clipping back.
    ASSERT_TRUE(other()->clearFaults().ok());
    ASSERT_EQ(run("reconcile"), ok);
    ASSERT_EQ(run("idle"), idle);
    EXPECT_EQ(run("pending"), (std::vector<std::string>{"[]", "ok"}));
    EXPECT_FALSE(onServer(first));
    for (const auto& line : run("dump")) EXPECT_EQ(line.find("\"text\":\"first\""), std::string::npos) << line;
    run("quit");
    ::close(pipe);
    EXPECT_EQ(process->wait(std::chrono::seconds(20)), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, LaunchPassTest, kBothBackends, backendName);
INSTANTIATE_TEST_SUITE_P(Backends, FetchTest, kBothBackends, backendName);
INSTANTIATE_TEST_SUITE_P(Embedded, LongFetchTest, ::testing::Values(Backend::Embedded), backendName);

}  // namespace
}  // namespace synctest
