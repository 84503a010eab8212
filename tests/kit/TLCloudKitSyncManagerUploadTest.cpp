// The sync engine's upload side and full reconcile, on both back-ends, with a
// second device writing as a raw cloud client.

#include <fstream>

#include "SyncFixture.h"
#include "kit/NSFileManagerExtras.h"
#include "platform/foundation/Error.h"

namespace synctest {
namespace {

class UploadTest : public SyncFixture, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        if (auto reason = useBackend(GetParam())) GTEST_SKIP() << *reason;
        SyncFixture::SetUp();
        makeZone();
        TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
        engine_->setManagedObjectContext(context_);
        // Timers (retries, back-off, the token refresh after a pass) wait
        // for the test to move the clock.
        dispatch::Clock::useVirtualTime(1000);
    }

    // A clipping changed here, marked for upload, with asset files of its own.
    std::shared_ptr<Clipping> addClipping(int n, const std::string& text, int assets = 0) {
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(clippingName(n));
        c->setText(text);
        c->setTavloDate(foundation::Date(1000 + n));
        c->setModifiedDate(foundation::Date::now());
        c->setSync(true);
        for (int i = 0; i < assets; ++i) {
            const std::string filename = std::to_string(i) + ".public.png";
            auto a = std::static_pointer_cast<Asset>(context_->insertNewObject(Asset::kEntityName));
            a->setAssetID(clippingName(n) + "." + filename);
            a->setFilename(filename);
            a->setModifiedDate(foundation::Date::now());
            a->setSync(true);
            a->setClipping(c);
            const fs::path file = NSFileManagerExtras::URLForAssetFile(clippingName(n), filename)->filePath();
            fs::create_directories(file.parent_path());
            std::ofstream(file, std::ios::binary) << "image " << n << "." << i;
        }
        return c;
    }
    // The server's records of the zone by name.
    std::map<std::string, cloud::Record> serverRecords() {
        std::map<std::string, cloud::Record> out;
        auto dump = other()->dump(zone());
        EXPECT_TRUE(dump.ok());
        if (dump)
            for (const auto& stored : dump.value()) out.emplace(stored.record.recordID().recordName, stored.record);
        return out;
    }
    std::optional<std::string> serverText(const std::string& name) {
        auto records = serverRecords();
        auto it = records.find(name);
        if (it == records.end()) return std::nullopt;
        auto text = it->second.objectForKey("text");
        if (!text) return std::string();
        return std::get<std::string>(*text);
    }
    // Until the object holds the system fields of the server's current version.
    bool writtenBack(const std::shared_ptr<Clipping>& clipping) {
        return runUntil([&] {
            auto fields = clipping->recordSystemFields();
            auto stored = fields ? cloud::Record::withSystemFields(*fields) : std::nullopt;
            auto records = serverRecords();
            auto it = records.find(*clipping->clippingID());
            return stored && it != records.end() && stored->recordChangeTag() == it->second.recordChangeTag();
        });
    }
    bool serverHas(size_t count) {
        return runUntil([&] { return serverRecords().size() == count; });
    }
    void addFault(const std::string& operation, int64_t code, double retryAfter = 0, int64_t occurrence = 0) {
        cloud::ZoneServer::Fault fault;
        fault.operation = operation;
        fault.device = kThisDevice;
        fault.code = code;
        fault.retryAfter = retryAfter;
        fault.occurrence = occurrence;
        ASSERT_TRUE(other()->addFault(fault).ok());
    }
    // Records built as another device would, for the modify operation alone.
    std::vector<cloud::Record> records(int count, int first = 0) {
        std::vector<cloud::Record> out;
        for (int i = first; i < first + count; ++i) out.push_back(clippingRecord(clippingName(i), "r" + std::to_string(i)));
        return out;
    }
    // Completions of one call of the modify operation.
    struct Completions {
        std::mutex mutex;
        std::vector<std::optional<cloud::Error>> errors;
        size_t size() {
            std::lock_guard lock(mutex);
            return errors.size();
        }
    };
    std::shared_ptr<Completions> save(std::vector<cloud::Record> recs) {
        auto done = std::make_shared<Completions>();
        engine_->saveRecordsToCloudKit(std::move(recs), {}, context_, [done](bool ended, const std::optional<cloud::Error>& error) {
            EXPECT_TRUE(ended);
            std::lock_guard lock(done->mutex);
            done->errors.push_back(error);
        });
        return done;
    }
    void setPending(const std::vector<std::string>& names) {
        foundation::PlistValue::Array array;
        for (const auto& name : names) array.emplace_back(name);
        TLSettings()->setObject(foundation::PlistValue(std::move(array)), TLUserDefaultsDeleteTransactions);
    }
};

TEST_P(UploadTest, EditsAndDeletionsReachTheServer) {
    addClipping(1, "first", 2);
    addClipping(2, "second");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(serverHas(4)) << serverRecords().size();
    auto first = object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(1));
    ASSERT_TRUE(runUntil([&] { return first->recordSystemFields().has_value() && !first->sync().value_or(true); }));
    // The server's date, not the device's, is written back.
    EXPECT_EQ(first->modifiedDate(), serverRecords().at(clippingName(1)).modificationDate());
    EXPECT_TRUE(TLSettings()->dateForKey(TLUserDefaultsLastSyncDate).has_value());

    // An edit goes up over the stored version.
    first->setText("first, edited");
    first->setModifiedDate(foundation::Date::now());
    first->setSync(true);
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return serverText(clippingName(1)) == "first, edited"; }));

    // Deleting a clipping with two assets lists three names, once each, and
    // the server loses all three.
    setPending({clippingName(1) + ".0.public.png"});
    context_->deleteObject(first);
    ASSERT_TRUE(context_->save().ok());
    auto pending = TLCloudKitSyncManager::pendingDeletions();
    std::sort(pending.begin(), pending.end());
    EXPECT_EQ(pending, (std::vector<std::string>{clippingName(1), clippingName(1) + ".0.public.png",
                                                 clippingName(1) + ".1.public.png"}));
    ASSERT_TRUE(runUntil([&] { return TLCloudKitSyncManager::pendingDeletions().empty(); }));
    ASSERT_TRUE(serverHas(1));
    EXPECT_TRUE(serverRecords().count(clippingName(2)));
}

TEST_P(UploadTest, NothingGoesUpWhileSyncIsOffOrForPlaceholders) {
    TLSettings()->setBool(false, TLUserDefaultsSyncEnabled);
    addClipping(1, "kept here");
    ASSERT_TRUE(context_->save().ok());
    dispatch::MainQueue::runUntilIdle();
    EXPECT_EQ(logCount("Uploading unsynced changes"), 0u);
    EXPECT_TRUE(serverRecords().empty());

    // A placeholder (never dated, never uploaded) leaves no pending deletion.
    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    auto placeholder = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    placeholder->setClippingID(clippingName(2));
    placeholder->setTavloDate(foundation::Date(0));
    placeholder->setSync(false);
    {
        // Saved as an import is.
        TLSettings()->setBool(false, TLUserDefaultsSyncEnabled);
        ASSERT_TRUE(context_->save().ok());
        TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    }
    context_->deleteObject(placeholder);
    ASSERT_TRUE(context_->save().ok());
    EXPECT_TRUE(TLCloudKitSyncManager::pendingDeletions().empty());

    // Nothing to send: NO.
    ASSERT_TRUE(runUntil([&] { return serverHas(1); }));
    std::atomic<int> answers{0};
    engine_->syncDatabaseToCloudKit([&](bool ended, const std::optional<cloud::Error>& error) {
        EXPECT_FALSE(ended);
        EXPECT_FALSE(error.has_value());
        ++answers;
    });
    ASSERT_TRUE(runUntil([&] { return answers == 1; }));
}

TEST_P(UploadTest, LargeBatchesSplitAndOnlyTheLastPartCompletes) {
    struct Case {
        int records;
        std::vector<std::string> operations;  // "Upload N record changes" lines of the operations sent
        int completions;
    };
    int first = 0;
    for (const Case& c : {Case{401, {"200", "201"}, 1}, Case{1000, {"250", "250", "250", "250"}, 1}}) {
        const size_t deletesBefore = logCount("Delete 0 records from CloudKit");
        auto done = save(records(c.records, first));
        first += c.records;
        ASSERT_TRUE(runUntil([&] { return done->size() == 1; }, std::chrono::seconds(40))) << c.records;
        // One operation is made per part that fits.
        EXPECT_EQ(logCount("Delete 0 records from CloudKit") - deletesBefore, c.operations.size()) << c.records;
        for (const auto& part : c.operations)
            EXPECT_GE(logCount("Upload " + part + " record changes to CloudKit"), 1u) << c.records;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(done->size(), 1u);
        EXPECT_FALSE(done->errors.front().has_value());
    }
    EXPECT_EQ(serverRecords().size(), 1401u);
}

TEST_P(UploadTest, PendingDeletionsFillAnOperationThenGoOnTheirOwn) {
    std::vector<std::string> names;
    for (int i = 0; i < 100; ++i) names.push_back(clippingName(5000 + i));
    setPending(names);
    auto done = save(records(350));
    ASSERT_TRUE(runUntil([&] { return done->size() == 1; }));
    ASSERT_TRUE(runUntil([&] { return TLCloudKitSyncManager::pendingDeletions().empty(); }));
    EXPECT_EQ(logCount("Delete 100 records from CloudKit"), 1u);
    EXPECT_EQ(logCount("Delete 50 records from CloudKit"), 1u);
    EXPECT_EQ(serverRecords().size(), 350u);
}

TEST_P(UploadTest, BusyServerResendsAfterItsDelay) {
    int first = 0;
    for (double retryAfter : {12.0, 0.0}) {
        const double delay = retryAfter > 0 ? retryAfter : 30;
        ASSERT_TRUE(other()->clearFaults().ok());
        addFault("modify", cloud::Error::kZoneBusy, retryAfter);
        auto done = save(records(3, first));
        first += 3;
        ASSERT_TRUE(runUntil([&] { return done->size() == 1; }));
        EXPECT_EQ(done->errors.front()->code, cloud::Error::kZoneBusy);
        ASSERT_TRUE(other()->clearFaults().ok());
        dispatch::Clock::advance(delay - 0.1);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(done->size(), 1u) << retryAfter;
        dispatch::Clock::advance(0.2);
        ASSERT_TRUE(runUntil([&] { return done->size() == 2; })) << retryAfter;
        EXPECT_FALSE(done->errors.back().has_value());
    }
    EXPECT_EQ(serverRecords().size(), 6u);
}

TEST_P(UploadTest, ConflictsEndWithTheLocalValuesAndUnknownFieldsSurvive) {
    // Uploaded here; then changed on the server by a device of a newer
    // schema, with a field this one does not know.
    auto clipping = addClipping(1, "mine");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(writtenBack(clipping));
    auto theirs = *cloud::Record::withSystemFields(serverRecords().at(clippingName(1)).encodeSystemFields());
    theirs.setObject("text", std::string("theirs"));
    theirs.setObject("mood", std::string("newer schema"));
    otherSaves({theirs});

    clipping->setText("mine, edited");
    clipping->setModifiedDate(foundation::Date::now());
    clipping->setSync(true);
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return serverText(clippingName(1)) == "mine, edited"; }));
    EXPECT_EQ(std::get<std::string>(*serverRecords().at(clippingName(1)).objectForKey("mood")), "newer schema");
    EXPECT_GE(logCount("Will fetch records and resave"), 1u);

    // Deleted there while edited here: the edit goes up again as a new record.
    ASSERT_TRUE(writtenBack(clipping));
    otherSaves({}, {clippingName(1)});
    clipping->setText("edited after the deletion");
    clipping->setModifiedDate(foundation::Date::now());
    clipping->setSync(true);
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return serverText(clippingName(1)) == "edited after the deletion"; }));

    // System fields that do not decode: a new record, the conflict settled,
    // the local values kept.
    ASSERT_TRUE(writtenBack(clipping));
    clipping->setRecordSystemFields(foundation::Data::fromString("not system fields"));
    clipping->setText("after damage");
    clipping->setModifiedDate(foundation::Date::now());
    clipping->setSync(true);
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return serverText(clippingName(1)) == "after damage"; }));
    EXPECT_EQ(logCount("cannot be read: sending a new record"), 1u);
}

TEST_P(UploadTest, AnEditStampedAheadTakesTheServersDateSoALaterEditElsewhereWins) {
    // The device clock runs an hour ahead and no offset has been measured yet.
    foundation::Date::setClock(
        [] { return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() + 3600; });
    auto clipping = addClipping(1, "stamped an hour ahead");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(writtenBack(clipping));
    const cloud::Record stored = serverRecords().at(clippingName(1));
    EXPECT_EQ(clipping->modifiedDate(), stored.modificationDate());

    // Another device edits it a moment later, by the server's clock.
    auto theirs = *cloud::Record::withSystemFields(stored.encodeSystemFields());
    theirs.setObject("text", std::string("edited elsewhere later"));
    otherSaves({theirs});
    EXPECT_EQ(fetch(std::nullopt), std::vector<bool>{true});
    EXPECT_EQ(clipping->text(), "edited elsewhere later");
    EXPECT_FALSE(clipping->sync().value_or(true));
}

TEST_P(UploadTest, FailedOperationsKeepEditsForLaterAndReconcileAtMostOnce) {
    // The network fails for a while as the user edits.
    addFault("modify", cloud::Error::kNetworkFailure);
    auto a = addClipping(1, "one");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return logCount("Error uploading changes to CloudKit") >= 1; }));
    auto b = addClipping(2, "two");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return logCount("Error uploading changes to CloudKit") >= 2; }));
    // Both edits are marked again; one reconcile for both errors.
    ASSERT_TRUE(runUntil([&] { return a->sync().value_or(false) && b->sync().value_or(false); }));
    EXPECT_EQ(engine_->diagnostics, 1);

    // Healed: the next save sends everything.
    ASSERT_TRUE(other()->clearFaults().ok());
    addClipping(3, "three");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(serverHas(3));
    EXPECT_EQ(serverText(clippingName(1)), "one");
}

TEST_P(UploadTest, AnItemThatAlwaysFailsIsSetAsideAndTheRestGoesUp) {
    // A fresh engine on a device whose server takes assets of 64 bytes at most.
    engine_.reset();
    assetLimit_ = 64;
    thisContainer_ = container(kThisDevice);
    engine_ = std::make_shared<CountingEngine>(thisContainer_, database_, pasteboard_);
    engine_->setManagedObjectContext(context_);

    addClipping(1, "with a large image", 1);
    const fs::path file = NSFileManagerExtras::URLForAssetFile(clippingName(1), "0.public.png")->filePath();
    std::ofstream(file, std::ios::binary) << std::string(1000, 'x');
    addClipping(2, "plain");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return serverRecords().size() == 2; }));
    for (int i = 0; i < 60; ++i) {
        dispatch::Clock::advance(10);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        dispatch::MainQueue::runUntilIdle();
    }
    EXPECT_EQ(logCount("set aside until it changes again"), 1u);
    EXPECT_LT(logCount("Delete 0 records from CloudKit"), 10u);
    auto asset = object<Asset>(Asset::kEntityName, "assetID", clippingName(1) + ".0.public.png");
    EXPECT_TRUE(asset->sync().value_or(false));
    // A later save does not send it again while it is unchanged.
    addClipping(3, "later");
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runUntil([&] { return serverRecords().size() == 3; }));
    EXPECT_EQ(logCount("set aside until it changes again"), 1u);
    EXPECT_EQ(engine_->diagnostics, 0);
}

TEST_P(UploadTest, AnOversizedSingleRecordIsNotSplitForever) {
    addFault("modify", cloud::Error::kLimitExceeded);
    auto done = save(records(1));
    ASSERT_TRUE(runUntil([&] { return done->size() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    dispatch::MainQueue::runUntilIdle();
    EXPECT_EQ(done->size(), 1u);
    EXPECT_EQ(logCount("Split into two operations"), 0u);
    EXPECT_EQ(logCount("set aside until it changes again"), 1u);
}

// Under ThreadSanitizer, by hand:
//   cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVLO_SANITIZE=OFF -DTAVLO_SANITIZE_THREAD=ON
//   cmake --build build/tsan -j3 --target kit_sync_tests
//   build/tsan/tests/kit/kit_sync_tests --gtest_filter='*DeletionsDuringImports*'
TEST_P(UploadTest, DeletionsDuringImportsAllReachTheServer) {
    constexpr int kMine = 20, kTheirs = 60;
    for (int i = 0; i < kMine; ++i) addClipping(i, "mine " + std::to_string(i));
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(serverHas(kMine));
    // From here on only the other device's records arrive.
    std::optional<cloud::ServerChangeToken> token;
    for (bool more = true; more;) {
        auto page = other()->fetchChanges(zone(), token, std::nullopt);
        ASSERT_TRUE(page.ok());
        token = page.value().token;
        more = page.value().moreComing;
    }
    std::vector<cloud::Record> theirs;
    for (int i = 0; i < kTheirs; ++i) theirs.push_back(clippingRecord(clippingName(1000 + i), "theirs"));
    otherSaves(theirs);

    std::atomic<bool> fetched{false};
    engine_->fetchChangesFromCloudKit(token, [&](bool) { fetched = true; });
    for (int i = 0; i < kMine; ++i) {
        auto mine = object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(i));
        ASSERT_TRUE(mine);
        context_->deleteObject(mine);
        ASSERT_TRUE(context_->save().ok());
        dispatch::MainQueue::runUntilIdle();
    }
    ASSERT_TRUE(runUntil([&] { return fetched.load(); }, std::chrono::seconds(30)));
    ASSERT_TRUE(runUntil([&] { return TLCloudKitSyncManager::pendingDeletions().empty(); }, std::chrono::seconds(30)));
    ASSERT_TRUE(runUntil([&] { return serverRecords().size() == size_t{kTheirs}; }, std::chrono::seconds(30)))
        << serverRecords().size();
    EXPECT_EQ(objects<Clipping>(Clipping::kEntityName).size(), size_t{kTheirs});
}

TEST(SyncErrorTitles, CodesOneToTwentyEightHaveTitlesOthersTheirDescription) {
    struct Case {
        std::string domain;
        int64_t code;
        std::string title;
    };
    for (const Case& c : {Case{"CloudErrorDomain", 0, "own text"}, Case{"CloudErrorDomain", 1, "CloudKit Internal Error"},
                          Case{"CloudErrorDomain", 9, "iCloud Not Authenticated"},
                          Case{"CloudErrorDomain", 23, "CloudKit Zone Busy"},
                          Case{"CloudErrorDomain", 26, "CloudKit Zone Not Found"},
                          Case{"CloudErrorDomain", 28, "User Deleted Zone"}, Case{"CloudErrorDomain", 29, "own text"},
                          Case{"NSCocoaErrorDomain", 9, "own text"}}) {
        foundation::Error error(c.domain, c.code, "own text");
        EXPECT_EQ(TLCloudKitSyncManager::errorDescriptionForError(error), c.title) << c.domain << " " << c.code;
    }
}

// MARK: - Reconcile

class ReconcileTest : public UploadTest {
protected:
    // Runs the reconcile until its status line is cleared.
    void reconcile(std::chrono::seconds limit = std::chrono::seconds(30)) {
        const size_t before = statuses().size();
        engine_->TLCloudKitSyncManager::runCloudKitDiagnostics();
        EXPECT_TRUE(runUntil([&] {
            auto s = statuses();
            return s.size() > before && s.back() == "nil";
        }, limit)) << ::testing::PrintToString(statuses());
    }
    std::shared_ptr<Clipping> localClipping(int n, const std::string& text, std::optional<foundation::Date> modified) {
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(clippingName(n));
        c->setText(text);
        c->setModifiedDate(modified);
        c->setSync(false);
        return c;
    }
};

TEST_P(ReconcileTest, EmptyZoneAndStore) {
    reconcile();
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Fetching records", "Checking for changes", "nil"}));
    EXPECT_TRUE(storedToken().has_value());
    EXPECT_TRUE(TLSettings()->dateForKey(TLUserDefaultsLastSyncDate).has_value());
}

TEST_P(ReconcileTest, ComparesByIdentifierAndDate) {
    auto saved = otherSaves({clippingRecord(clippingName(1), "server 1"), clippingRecord(clippingName(2), "server 2"),
                             clippingRecord(clippingName(3), "server 3"), clippingRecord(clippingName(4), "server 4"),
                             clippingRecord(clippingName(5), "server 5"), clippingRecord(clippingName(6), "server 6")});
    ASSERT_EQ(saved.size(), 6u);
    auto date = [&](int n) { return *saved[static_cast<size_t>(n - 1)].modificationDate(); };
    // Nobody saves while the local objects are set up.
    TLSettings()->setBool(false, TLUserDefaultsSyncEnabled);
    localClipping(1, "local newer", date(1).addingTimeInterval(10));
    localClipping(2, "local older", date(2).addingTimeInterval(-10));
    auto equal = localClipping(3, "local equal", date(3));
    equal->setSync(true);
    localClipping(4, "local undated", std::nullopt);
    // Two copies of one identifier: the newer is compared, the other deleted.
    localClipping(5, "copy, older", date(5).addingTimeInterval(-20));
    localClipping(5, "copy, newer", date(5).addingTimeInterval(20));
    localClipping(7, "only here", foundation::Date::now());
    ASSERT_TRUE(context_->save().ok());
    // A record deleted on the server by another device is uploaded again.
    otherSaves({}, {clippingName(6)});
    localClipping(6, "deleted there", date(6));
    ASSERT_TRUE(context_->save().ok());
    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);

    reconcile();
    EXPECT_EQ(statuses(), (std::vector<std::string>{"Fetching records", "Checking for changes", "Syncing from iCloud", "nil"}));
    EXPECT_EQ(serverText(clippingName(1)), "local newer");
    EXPECT_EQ(object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(2))->text(), "server 2");
    EXPECT_EQ(serverText(clippingName(3)), "server 3");
    EXPECT_FALSE(equal->sync().value_or(true));
    EXPECT_TRUE(equal->recordSystemFields().has_value());
    EXPECT_EQ(serverText(clippingName(4)), "server 4");
    EXPECT_EQ(object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(4))->text(), "local undated");
    size_t copies = 0;
    for (const auto& c : objects<Clipping>(Clipping::kEntityName)) copies += c->clippingID() == clippingName(5);
    EXPECT_EQ(copies, 1u);
    EXPECT_EQ(serverText(clippingName(5)), "copy, newer");
    EXPECT_EQ(serverText(clippingName(6)), "deleted there");
    EXPECT_EQ(serverText(clippingName(7)), "only here");
    // The write-back reached the main context and was saved.
    auto uploaded = object<Clipping>(Clipping::kEntityName, "clippingID", clippingName(7));
    ASSERT_TRUE(runUntil([&] { return uploaded->recordSystemFields().has_value(); }));
    EXPECT_FALSE(context_->hasChanges());
}

// Long runs of records, on the embedded store only (PostgreSQL adds time, not paths).
class LongReconcileTest : public ReconcileTest {};

TEST_P(LongReconcileTest, FetchesMissingRecordsInBatches) {
    std::vector<cloud::Record> many;
    for (int i = 0; i < 950; ++i) many.push_back(clippingRecord(clippingName(i), "r" + std::to_string(i)));
    for (size_t at = 0; at < many.size(); at += 400)
        otherSaves(std::vector<cloud::Record>(many.begin() + static_cast<ptrdiff_t>(at),
                                              many.begin() + static_cast<ptrdiff_t>(std::min(many.size(), at + 400))));
    // Generous: an instrumented build on a busy machine is slow with 950.
    reconcile(std::chrono::seconds(240));
    EXPECT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 950u);
    auto lines = log();
    std::vector<std::string> batches;
    for (const auto& line : lines)
        if (line.rfind("Fetch batch of", 0) == 0) batches.push_back(line);
    EXPECT_EQ(batches, (std::vector<std::string>{"Fetch batch of 400 records from CloudKit",
                                                 "Fetch batch of 400 records from CloudKit",
                                                 "Fetch batch of 150 records from CloudKit"}));
}

INSTANTIATE_TEST_SUITE_P(Backends, UploadTest, kBothBackends, backendName);
INSTANTIATE_TEST_SUITE_P(Backends, ReconcileTest, kBothBackends, backendName);
INSTANTIATE_TEST_SUITE_P(Embedded, LongReconcileTest, ::testing::Values(Backend::Embedded), backendName);

}  // namespace
}  // namespace synctest
