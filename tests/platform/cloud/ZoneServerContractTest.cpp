// The server rules, one typed suite for every back-end: each test opens two
// devices of one account over a fresh store of the back-end the type makes.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "platform/cloud/PostgresSession.h"
#include "platform/cloud/SQLiteSession.h"
#include "platform/cloud/ZoneServer.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

using cloud::Error;
using cloud::FieldValue;
using cloud::Record;
using cloud::RecordID;
using cloud::RecordZoneID;
using cloud::ServerChangeToken;
using cloud::ZoneServer;

// The embedded back-end: a folder and its cloud.sqlite.
struct EmbeddedBackend {
    static std::optional<std::string> unavailable() { return std::nullopt; }
    static cloud::Reply<std::unique_ptr<cloud::SqlSession>> open(const std::filesystem::path& folder,
                                                                 std::function<int64_t()> clock) {
        auto session = cloud::SQLiteSession::open(folder, std::move(clock));
        if (!session) return session.error();
        return std::unique_ptr<cloud::SqlSession>(std::move(session).value());
    }
};

// PostgreSQL: the program's one server, a database for each test's folder.
struct PostgresBackend {
    static std::optional<std::string> unavailable() {
        if (testsupport::PostgresServer::shared()) return std::nullopt;
        return testsupport::PostgresServer::skipReason();
    }
    static cloud::Reply<std::unique_ptr<cloud::SqlSession>> open(const std::filesystem::path& folder,
                                                                 std::function<int64_t()> clock) {
        static std::map<std::string, std::string> databases;
        std::string& connection = databases[folder.string()];
        if (connection.empty()) connection = testsupport::PostgresServer::shared()->databaseForCurrentTest();
        auto session = cloud::PostgresSession::open(connection, std::move(clock));
        if (!session) return session.error();
        return std::unique_ptr<cloud::SqlSession>(std::move(session).value());
    }
};

const RecordZoneID kZone{"Tavlo Zone"};

RecordID rid(const std::string& name) { return {name, kZone}; }

Record makeRecord(const std::string& name, std::map<std::string, FieldValue> fields = {{"text", std::string("a")}}) {
    Record record("Clipping", rid(name));
    for (auto& [key, value] : fields) record.setObject(key, value);
    return record;
}

// A stored version with a key changed, as the caller would send it again.
Record edited(const Record& saved, const std::string& key, std::optional<FieldValue> value) {
    Record record = *Record::withSystemFields(saved.encodeSystemFields());
    record.setObject(key, std::move(value));
    return record;
}

template <class Backend>
class ZoneServerContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto reason = Backend::unavailable()) GTEST_SKIP() << *reason;
        folder_ = home_.dataHome() / "Tavlo" / "Cloud";
        a_ = device("device-a");
        b_ = device("device-b");
        ASSERT_TRUE(a_ && b_);
        ASSERT_TRUE(a_->modifyZones({kZone}, {}).ok());
    }

    std::unique_ptr<ZoneServer> device(const std::string& id, int pageSize = ZoneServer::kDefaultPageSize) {
        auto session = Backend::open(folder_, [this] { return clock_.load(); });
        if (!session) {
            ADD_FAILURE() << session.error().line();
            return nullptr;
        }
        ZoneServer::Options options;
        options.deviceID = id;
        options.cacheFolder = home_.cacheHome() / "Tavlo" / id;
        options.pageSize = pageSize;
        options.assetLimit = 2 << 20;
        auto server = std::make_unique<ZoneServer>(std::move(session).value(), options);
        if (auto opened = server->open("tester"); !opened) {
            ADD_FAILURE() << opened.error().line();
            return nullptr;
        }
        return server;
    }

    Record save(ZoneServer& server, const Record& record) {
        auto reply = server.modifyRecords({record}, {});
        EXPECT_TRUE(reply.ok()) << (reply.ok() ? "" : reply.error().line());
        return reply.ok() && !reply.value().saved.empty() ? reply.value().saved[0] : Record();
    }

    std::optional<Record> fetch(ZoneServer& server, const std::string& name) {
        auto reply = server.fetchRecords({rid(name)}, std::nullopt);
        if (!reply.ok() || !reply.value()[0].record) return std::nullopt;
        return reply.value()[0].record;
    }

    std::filesystem::path writeFile(const std::string& name, const std::string& contents) {
        const auto path = home_.root() / name;
        std::ofstream(path, std::ios::binary) << contents;
        return path;
    }

    testsupport::TempHome home_;
    std::filesystem::path folder_;
    std::atomic<int64_t> clock_{1'700'000'000'000};
    std::unique_ptr<ZoneServer> a_, b_;
    ServerChangeToken expired_;
};

struct BackendNames {
    template <class T>
    static std::string GetName(int) {
        return std::is_same_v<T, EmbeddedBackend> ? "Embedded" : "Postgres";
    }
};

using Backends = ::testing::Types<EmbeddedBackend, PostgresBackend>;
TYPED_TEST_SUITE(ZoneServerContractTest, Backends, BackendNames);

// MARK: Modify

TYPED_TEST(ZoneServerContractTest, ConflictingSavesFailTheWholeModify) {
    const Record first = this->save(*this->a_, makeRecord("C-1"));
    this->save(*this->b_, edited(first, "text", std::string("b's")));  // a's tag is now stale

    struct Row {
        const char* name;
        Record conflicting;
    };
    const Row rows[] = {{"stale tag", edited(first, "text", std::string("a's"))},
                        {"no tag over an existing name", makeRecord("C-1", {{"text", std::string("new")}})}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto reply = this->a_->modifyRecords({row.conflicting, makeRecord("C-2")}, {rid("C-3")});
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().code, Error::kPartialFailure);
        const auto& items = reply.error().partialErrors;
        ASSERT_EQ(items.size(), 3u);
        EXPECT_EQ(items.at(rid("C-1"))->code, Error::kServerRecordChanged);
        ASSERT_TRUE(items.at(rid("C-1"))->serverRecord);
        EXPECT_EQ(std::get<std::string>(*items.at(rid("C-1"))->serverRecord->objectForKey("text")), "b's");
        EXPECT_EQ(items.at(rid("C-2"))->code, Error::kBatchRequestFailed);
        EXPECT_EQ(items.at(rid("C-3"))->code, Error::kBatchRequestFailed);
        EXPECT_FALSE(this->fetch(*this->a_, "C-2"));
    }
}

TYPED_TEST(ZoneServerContractTest, ItemErrors) {
    const Record saved = this->save(*this->a_, makeRecord("C-1"));
    ASSERT_TRUE(this->a_->modifyRecords({}, {rid("C-1")}).ok());
    const std::string big(ZoneServer::kMaxRecordFieldBytes + 1, 'x');
    const auto overLimit = this->writeFile("big.bin", std::string((2 << 20) + 1, 'y'));
    struct Row {
        const char* name;
        Record record;
        int64_t code;
    };
    const Row rows[] = {
        {"tag of a deleted record", edited(saved, "text", std::string("again")), Error::kUnknownItem},
        {"fields over 1 MiB", makeRecord("C-2", {{"text", big}}), Error::kLimitExceeded},
        {"asset over the limit", makeRecord("A-1", {{"data", cloud::Asset{overLimit}}}), Error::kLimitExceeded},
        {"asset file missing", makeRecord("A-2", {{"data", cloud::Asset{this->home_.root() / "none"}}}),
         Error::kAssetFileNotFound},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto reply = this->a_->modifyRecords({row.record, makeRecord("C-9")}, {});
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().code, Error::kPartialFailure);
        EXPECT_EQ(reply.error().partialErrors.at(row.record.recordID())->code, row.code);
        EXPECT_EQ(reply.error().partialErrors.at(rid("C-9"))->code, Error::kBatchRequestFailed);
        EXPECT_FALSE(this->fetch(*this->a_, "C-9"));
    }
}

TYPED_TEST(ZoneServerContractTest, AssetChangedWhileReadIsRefused) {
    auto session = TypeParam::open(this->folder_, {});
    ASSERT_TRUE(session.ok());
    ZoneServer::Options options = this->a_->options();
    options.afterAssetRead = [](const std::filesystem::path& path) { std::ofstream(path, std::ios::app) << "more"; };
    ZoneServer server(std::move(session).value(), options);
    ASSERT_TRUE(server.open("tester").ok());
    const auto file = this->writeFile("growing.bin", "start");
    auto reply = server.modifyRecords({makeRecord("A-1", {{"data", cloud::Asset{file}}})}, {});
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().partialErrors.at(rid("A-1"))->code, Error::kAssetFileModified);
}

TYPED_TEST(ZoneServerContractTest, OperationErrors) {
    std::vector<Record> tooMany;
    for (int i = 0; i < 401; ++i) tooMany.push_back(makeRecord("C-" + std::to_string(i)));
    std::vector<Record> tooLarge;
    for (int i = 0; i < 5; ++i)
        tooLarge.push_back(makeRecord("L-" + std::to_string(i), {{"text", std::string(1000000, 'z')}}));
    Record elsewhere("Clipping", RecordID{"C-1", {"Missing Zone"}});
    struct Row {
        const char* name;
        std::vector<Record> records;
        int64_t code;
    };
    const Row rows[] = {{"401 items", tooMany, Error::kLimitExceeded},
                        {"over 4 MiB in several items", tooLarge, Error::kLimitExceeded},
                        {"zone missing", {elsewhere}, Error::kZoneNotFound}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto reply = this->a_->modifyRecords(row.records, {});
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().code, row.code);
        EXPECT_TRUE(reply.error().partialErrors.empty());
    }
    EXPECT_EQ(this->a_->zones().value().back().records, 0);
}

TYPED_TEST(ZoneServerContractTest, QuotaRefusesSavesButNotDeletions) {
    this->save(*this->a_, makeRecord("C-1"));
    ASSERT_TRUE(this->a_->setQuota(100).ok());
    auto reply = this->a_->modifyRecords({makeRecord("C-2", {{"text", std::string(200, 'q')}})}, {});
    ASSERT_FALSE(reply.ok());
    EXPECT_EQ(reply.error().code, Error::kQuotaExceeded);
    EXPECT_FALSE(this->fetch(*this->a_, "C-2"));
    EXPECT_TRUE(this->a_->modifyRecords({}, {rid("C-1")}).ok());
}

TYPED_TEST(ZoneServerContractTest, DeletingAMissingRecordSucceeds) {
    auto reply = this->a_->modifyRecords({}, {rid("never")});
    ASSERT_TRUE(reply.ok());
    EXPECT_EQ(reply.value().deleted, std::vector<RecordID>{rid("never")});
}

TYPED_TEST(ZoneServerContractTest, NilRemovesAndUnsetKeeps) {
    const Record saved = this->save(*this->a_, makeRecord("C-1", {{"text", std::string("t")}, {"url", std::string("u")}}));
    this->save(*this->a_, edited(saved, "url", std::nullopt));
    auto fetched = this->fetch(*this->b_, "C-1");
    ASSERT_TRUE(fetched);
    EXPECT_EQ(std::get<std::string>(*fetched->objectForKey("text")), "t");
    EXPECT_FALSE(fetched->objectForKey("url"));
    EXPECT_TRUE(fetched->changedKeys().empty());
}

TYPED_TEST(ZoneServerContractTest, DeleteSelfCascadeIsReportedAsDeletions) {
    const cloud::Reference owner{rid("C-1"), cloud::Reference::DeleteSelf};
    // The halves of a split may commit in either order: no target check.
    this->save(*this->a_, makeRecord("C-1.0.public.utf8-plain-text", {{"clipping", owner}}));
    this->save(*this->a_, makeRecord("C-1"));
    this->save(*this->a_, makeRecord("L-1", {{"clipping", cloud::Reference{rid("C-1"), cloud::Reference::None}}}));
    auto start = this->b_->fetchChanges(kZone, std::nullopt, std::nullopt);
    ASSERT_TRUE(start.ok());
    ASSERT_TRUE(this->a_->modifyRecords({}, {rid("C-1")}).ok());
    auto page = this->b_->fetchChanges(kZone, start.value().token, std::nullopt);
    ASSERT_TRUE(page.ok());
    std::set<std::string> deleted;
    for (const auto& deletion : page.value().deleted) deleted.insert(deletion.recordID.recordName);
    EXPECT_EQ(deleted, (std::set<std::string>{"C-1", "C-1.0.public.utf8-plain-text"}));
    EXPECT_TRUE(this->fetch(*this->b_, "L-1"));
}

// MARK: Change feed

TYPED_TEST(ZoneServerContractTest, ChangesComeInPagesWithOwnChangesAndDesiredKeys) {
    auto reader = this->device("device-c", 2);
    for (int i = 0; i < 5; ++i)
        this->save(i % 2 ? *this->a_ : *reader,
                   makeRecord("C-" + std::to_string(i), {{"text", std::string("t")}, {"index", int64_t{i}}}));
    std::optional<ServerChangeToken> token;
    std::vector<std::string> names;
    int pages = 0, moreComing = 0;
    for (bool more = true; more; ++pages) {
        auto page = reader->fetchChanges(kZone, token, std::set<std::string>{"index"});
        ASSERT_TRUE(page.ok());
        for (const Record& record : page.value().changed) {
            names.push_back(record.recordID().recordName);
            EXPECT_FALSE(record.objectForKey("text"));
            EXPECT_TRUE(record.objectForKey("index"));
        }
        more = page.value().moreComing;
        moreComing += more;
        token = page.value().token;
    }
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(moreComing, 2);
    EXPECT_EQ(names, (std::vector<std::string>{"C-0", "C-1", "C-2", "C-3", "C-4"}));
    auto after = reader->fetchChanges(kZone, token, std::nullopt);
    ASSERT_TRUE(after.ok());
    EXPECT_TRUE(after.value().changed.empty());
    EXPECT_FALSE(after.value().moreComing);
}

TYPED_TEST(ZoneServerContractTest, ExpiredTokens) {
    this->save(*this->a_, makeRecord("C-1"));
    auto first = this->a_->fetchChanges(kZone, std::nullopt, std::nullopt);
    ASSERT_TRUE(first.ok());
    const ServerChangeToken token = first.value().token;
    std::string garbage = "not a token at all";
    struct Row {
        const char* name;
        std::function<void()> change;
        ServerChangeToken token;
    };
    auto& self = *this;
    const Row rows[] = {
        {"garbage bytes", [] {}, ServerChangeToken(foundation::Data::fromString(garbage))},
        {"another incarnation",
         [&self] {
             ASSERT_TRUE(self.a_->modifyZones({}, {kZone}).ok());
             ASSERT_TRUE(self.a_->modifyZones({kZone}, {}).ok());
         },
         token},
        {"past the deletion horizon",
         [&self] {
             auto fresh = self.a_->fetchChanges(kZone, std::nullopt, std::nullopt);
             self.save(*self.a_, makeRecord("C-2"));
             ASSERT_TRUE(self.a_->modifyRecords({}, {rid("C-2")}).ok());
             self.clock_ += ZoneServer::kDeletionHorizonMilliseconds + 1000;
             ASSERT_TRUE(self.a_->modifyRecords({}, {rid("C-3")}).ok());  // nothing to delete: no pruning
             self.save(*self.a_, makeRecord("C-4"));
             ASSERT_TRUE(self.a_->modifyRecords({}, {rid("C-4")}).ok());
             self.expired_ = fresh.value().token;
         },
         token},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        row.change();
        const ServerChangeToken& used = this->expired_.data().empty() ? row.token : this->expired_;
        auto reply = this->b_->fetchChanges(kZone, used, std::nullopt);
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().code, Error::kChangeTokenExpired);
    }
    ASSERT_TRUE(this->a_->expireTokens().ok());
    auto latest = this->b_->fetchChanges(kZone, std::nullopt, std::nullopt);
    ASSERT_TRUE(latest.ok());
    ASSERT_TRUE(this->a_->expireTokens().ok());
    EXPECT_EQ(this->b_->fetchChanges(kZone, latest.value().token, std::nullopt).error().code, Error::kChangeTokenExpired);
}

TYPED_TEST(ZoneServerContractTest, DatesIncreaseWhileTheServerClockStepsBack) {
    Record record = this->save(*this->a_, makeRecord("C-1"));
    for (int step = 0; step < 5; ++step) {
        this->clock_ -= 60'000;
        const Record next = this->save(step % 2 ? *this->a_ : *this->b_, edited(record, "index", int64_t{step}));
        EXPECT_GT(*next.modificationDate(), *record.modificationDate());
        record = next;
    }
    // Two saves in one millisecond still get two dates: equal dates would
    // read "already in sync" to the newer-record rule.
    const Record other = this->save(*this->b_, makeRecord("C-2"));
    EXPECT_GT(*other.modificationDate(), *record.modificationDate());
    // Dates are whole milliseconds and compare equal once read back.
    EXPECT_EQ(*this->fetch(*this->b_, "C-2")->modificationDate(), *other.modificationDate());
}

// Numbers are taken under the zone's lock: a fetch that has passed a number
// never misses a commit with a lower one.
TYPED_TEST(ZoneServerContractTest, ConcurrentWritersNeverSlipBehindAReader) {
    auto reader = this->device("device-r");
    std::atomic<bool> done{false};
    std::set<std::string> seen;
    std::thread readerThread([&] {
        std::optional<ServerChangeToken> token;
        for (bool last = false; !last;) {
            last = done.load();
            auto page = reader->fetchChanges(kZone, token, std::set<std::string>{});
            if (!page.ok()) continue;
            for (const Record& record : page.value().changed) seen.insert(record.recordID().recordName);
            token = page.value().token;
            if (page.value().moreComing) last = false;
        }
    });
    auto write = [&](ZoneServer& server, const std::string& prefix) {
        for (int i = 0; i < 60; ++i)
            while (!server.modifyRecords({makeRecord(prefix + std::to_string(i))}, {}).ok()) {
            }
    };
    std::thread first([&] { write(*this->a_, "A-"); });
    std::thread second([&] { write(*this->b_, "B-"); });
    first.join();
    second.join();
    done = true;
    readerThread.join();
    EXPECT_EQ(seen.size(), 120u);
}

// MARK: Stored values

TYPED_TEST(ZoneServerContractTest, UnusualNamesAndUnknownKindsSurvive) {
    const std::string names[] = {"a/b", "..", "../../etc/passwd", std::string(300, 'n')};
    for (const std::string& name : names) {
        SCOPED_TRACE(name.substr(0, 20));
        this->save(*this->a_, makeRecord(name));
        auto fetched = this->fetch(*this->b_, name);
        ASSERT_TRUE(fetched);
        EXPECT_EQ(fetched->recordID().recordName, name);
    }
    // A kind a newer layer wrote is kept through a save of other keys.
    const cloud::UnknownValue newer{42, foundation::Data::fromString("future")};
    const Record saved = this->save(*this->a_, makeRecord("C-9", {{"future", newer}}));
    this->save(*this->b_, edited(saved, "text", std::string("later")));
    auto fetched = this->fetch(*this->a_, "C-9");
    ASSERT_TRUE(fetched);
    EXPECT_EQ(std::get<cloud::UnknownValue>(*fetched->objectForKey("future")), newer);
}

TYPED_TEST(ZoneServerContractTest, NamesThatAreNotTextAreRefusedAlike) {
    const std::string nul("C-a\0b", 5), cut("C-a"), broken("C-\xff\xfe"), replacement("C-\xEF\xBF\xBD");
    struct Row {
        const char* what;
        Record record;
    };
    const Row rows[] = {
        {"a NUL in the name", makeRecord(nul)},
        {"bytes that are not UTF-8", makeRecord(broken)},
        {"a reference to a name with a NUL",
         makeRecord("C-1", {{"list", cloud::Reference{rid(nul), cloud::Reference::None}}})},
        {"a NUL in a field key", makeRecord("C-2", {{std::string("te\0xt", 6), std::string("a")}})},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        auto reply = this->a_->modifyRecords({row.record, makeRecord("C-9")}, {});
        ASSERT_FALSE(reply.ok());
        EXPECT_EQ(reply.error().partialErrors.at(row.record.recordID())->code, Error::kInvalidArguments);
        EXPECT_EQ(reply.error().partialErrors.at(rid("C-9"))->code, Error::kBatchRequestFailed);
    }
    // Nothing was stored under the name cut at its NUL either.
    EXPECT_FALSE(this->fetch(*this->b_, cut));
    EXPECT_FALSE(this->fetch(*this->b_, nul));
    // No record has such a name: deleting one succeeds, fetching one finds nothing.
    ASSERT_TRUE(this->a_->modifyRecords({}, {rid(nul)}).ok());
    auto fetched = this->b_->fetchRecords({rid(nul)}, std::nullopt);
    ASSERT_TRUE(fetched.ok());
    EXPECT_EQ(fetched.value().front().error->code, Error::kUnknownItem);
    // The replacement character itself is text.
    this->save(*this->a_, makeRecord(replacement));
    auto kept = this->fetch(*this->b_, replacement);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->recordID().recordName, replacement);
}

TYPED_TEST(ZoneServerContractTest, AssetsRoundTripAndDamagedChunksDropTheFile) {
    const std::string contents(3 * ZoneServer::kAssetChunkBytes / 2, 'k');
    const auto file = this->writeFile("image.png", contents);
    this->save(*this->a_, makeRecord("A-1", {{"data", cloud::Asset{file}}, {"filename", std::string("../x")}}));
    this->save(*this->a_, makeRecord("A-2", {{"data", cloud::Asset{file}}}));  // the same chunks, shared
    auto fetched = this->fetch(*this->b_, "A-1");
    ASSERT_TRUE(fetched);
    const auto path = std::get<cloud::Asset>(*fetched->objectForKey("data")).fileURL;
    EXPECT_EQ(path.parent_path(), this->b_->options().cacheFolder);
    std::ifstream in(path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), contents);

    testsupport::RecordingSystemLog::Scope log;
    ASSERT_TRUE(this->a_->session().query("UPDATE chunks SET data = ? WHERE size < ?",
                                          {cloud::SqlBlob{"tampered"}, int64_t{ZoneServer::kAssetChunkBytes}})
                    .ok());
    auto damaged = this->fetch(*this->b_, "A-2");
    ASSERT_TRUE(damaged);
    EXPECT_FALSE(damaged->objectForKey("data"));
    EXPECT_EQ(log->messages().size(), 1u);
    ASSERT_TRUE(this->a_->session().query("DELETE FROM chunks", {}).ok());
    auto missing = this->fetch(*this->b_, "A-1");
    ASSERT_TRUE(missing);
    EXPECT_FALSE(missing->objectForKey("data"));
    EXPECT_EQ(std::get<std::string>(*missing->objectForKey("filename")), "../x");
    EXPECT_EQ(log->messages().size(), 2u);
}

TYPED_TEST(ZoneServerContractTest, AStoreOfANewerFormatIsLeftAsItIs) {
    ASSERT_TRUE(this->a_->session().query("UPDATE meta SET value = '2' WHERE key = 'format'", {}).ok());
    auto newer = TypeParam::open(this->folder_, {});
    ASSERT_FALSE(newer.ok());
    EXPECT_EQ(newer.error().code, Error::kIncompatibleVersion);
    auto format = this->a_->session().query("SELECT value FROM meta WHERE key = 'format'", {});
    ASSERT_TRUE(format.ok());
    EXPECT_EQ(cloud::sqlText(format.value().at(0).at(0)), "2");
    // A device that had it open before hears the same at its next open.
    EXPECT_EQ(this->b_->open("tester").error().code, Error::kIncompatibleVersion);
}

// MARK: Pushes

TYPED_TEST(ZoneServerContractTest, PushesGoToOtherSubscribedDevicesOnly) {
    const cloud::Subscription subscription{"Tavlo Zone Subscription", kZone, true, ""};
    ASSERT_TRUE(this->a_->modifySubscriptions({subscription}, {}).ok());
    ASSERT_TRUE(this->b_->modifySubscriptions({subscription}, {}).ok());
    this->save(*this->a_, makeRecord("C-1"));
    EXPECT_FALSE(this->a_->takePush().value());
    EXPECT_TRUE(this->b_->takePush().value());
    EXPECT_FALSE(this->b_->takePush().value());
    for (int i = 0; i < 3; ++i) this->save(*this->a_, makeRecord("C-x" + std::to_string(i)));
    EXPECT_TRUE(this->b_->takePush().value());  // three changes, one push
    EXPECT_FALSE(this->b_->takePush().value());
    EXPECT_EQ(this->b_->fetchSubscriptions().value(), std::vector<cloud::Subscription>{subscription});
    EXPECT_TRUE(this->b_->modifySubscriptions({}, {subscription.subscriptionID}).ok());
    EXPECT_TRUE(this->b_->fetchSubscriptions().value().empty());
    EXPECT_EQ(this->a_->fetchSubscriptions().value().size(), 1u);
}

TYPED_TEST(ZoneServerContractTest, FaultsMatchOperationDeviceAndOccurrence) {
    ZoneServer::Fault fault;
    fault.operation = "modify";
    fault.device = "device-b";
    fault.occurrence = 2;
    fault.code = Error::kZoneBusy;
    fault.retryAfter = 3;
    ASSERT_TRUE(this->a_->addFault(fault).ok());
    EXPECT_TRUE(this->a_->modifyRecords({makeRecord("C-1")}, {}).ok());
    EXPECT_TRUE(this->b_->modifyRecords({makeRecord("C-2")}, {}).ok());
    auto failed = this->b_->modifyRecords({makeRecord("C-3")}, {});
    ASSERT_FALSE(failed.ok());
    EXPECT_EQ(failed.error().code, Error::kZoneBusy);
    EXPECT_EQ(failed.error().retryAfter, 3.0);
    EXPECT_FALSE(this->fetch(*this->a_, "C-3"));
    EXPECT_TRUE(this->b_->modifyRecords({makeRecord("C-3")}, {}).ok());
    EXPECT_EQ(this->a_->faults().value().at(0).hits, 3);
    ASSERT_TRUE(this->a_->clearFaults().ok());
    EXPECT_TRUE(this->a_->faults().value().empty());
}

}  // namespace
