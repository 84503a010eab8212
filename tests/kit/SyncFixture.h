#pragma once
// The sync engine over a real store in a temporary home and an embedded cloud
// store in a folder of the test, with a second device on the same account
// that writes records as a raw cloud client.

#include <gtest/gtest.h>
#include <openssl/crypto.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLCloudKitSyncManager.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/LKLog.h"
#include "platform/cloud/Container.h"
#include "platform/cloud/ZoneServer.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "tests/logging/RecordingLogger.h"
#include "tests/support/FakeFrontApplication.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TempHome.h"

namespace synctest {

// As in the program: an engine's operation finishing on a worker thread while
// the test program exits must not find OpenSSL already cleaned up.
inline const bool kOpenSSLOutlivesExit = OPENSSL_init_crypto(OPENSSL_INIT_NO_ATEXIT, nullptr) == 1;

namespace fs = std::filesystem;

inline fs::path modelResource() { return fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd"; }

// "C-" and a fixed UUID made from n, so tests can name clippings.
inline std::string clippingName(int n) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "C-00000000-0000-4000-8000-%012d", n);
    return buffer;
}
inline std::string listName(int n) {
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "L-00000000-0000-4000-8000-%012d", n);
    return buffer;
}

// The cloud back-ends a test runs on: the embedded store in the test's
// folder, or a database of its own on the program's one PostgreSQL server.
enum class Backend { Embedded, PostgreSQL };
inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::PostgreSQL ? "PostgreSQL" : "Embedded";
}
inline const auto kBothBackends = ::testing::Values(Backend::Embedded, Backend::PostgreSQL);

// An engine that counts the reconciles it was asked for.
class CountingEngine : public TLCloudKitSyncManager {
public:
    using TLCloudKitSyncManager::TLCloudKitSyncManager;
    void runCloudKitDiagnostics() override { ++diagnostics; }
    std::atomic<int> diagnostics{0};
};

class SyncFixture : public ::testing::Test {
protected:
    static constexpr const char* kThisDevice = "this-device";
    static constexpr const char* kOtherDevice = "other-device";

    void SetUp() override {
        logger_ = std::make_shared<RecordingLogger>();
        logger_->onMessage = [this](const LKLogMessage& message) {
            std::lock_guard lock(mutex_);
            log_.push_back(message.message());
        };
        LKLog::addLogger(logger_);
        auto& center = foundation::NotificationCenter::defaultCenter();
        statusToken_ = center.addObserver(TLShowSyncStatusNotification, nullptr, [this](const foundation::Notification& n) {
            const auto* text = n.valueAs<std::string>();
            if (text && *text == "fetchrecordchangescompletionblock") return;
            std::lock_guard lock(mutex_);
            statuses_.push_back(text ? *text : "nil");
        });

        database_ = std::make_shared<TLDatabaseManager>(
            TLDatabaseManager::Configuration{modelResource(), home_.dataHome() / "Tavlo", 200});
        ASSERT_TRUE(database_->persistentStoreCoordinator()->hasStore());
        context_ = database_->managedObjectContext();
        general_ = std::make_shared<TLMacPasteboard>();
        general_->setPasteboard(std::make_shared<desktop::MemoryPasteboard>());
        TLPasteboardManager::Configuration configuration;
        configuration.generalPasteboard = general_;
        configuration.managedObjectContext = context_;
        configuration.frontApplication = std::make_shared<testsupport::FakeFrontApplication>();
        configuration.writerQueue = dispatch::Queue::main();
        pasteboard_ = std::make_shared<TLPasteboardManager>(std::move(configuration));

        thisContainer_ = container(kThisDevice);
        otherContainer_ = container(kOtherDevice);
        engine_ = std::make_shared<CountingEngine>(thisContainer_, database_, pasteboard_);
    }

    void TearDown() override {
        if (!logger_) return;  // skipped before set-up
        engine_.reset();
        if (dispatch::Clock::isVirtual()) dispatch::Clock::useRealTime();
        foundation::Date::setClock(nullptr);
        dispatch::MainQueue::runUntilIdle();
        foundation::NotificationCenter::defaultCenter().removeObserver(statusToken_);
        LKLog::flushLog();
        LKLog::removeLogger(logger_);
        pasteboard_.reset();
    }

    std::shared_ptr<cloud::Container> container(const std::string& device) {
        cloud::Configuration configuration;
        configuration.account = "tester";
        configuration.folder = home_.root() / "cloud";
        configuration.assetLimit = assetLimit_;
        if (!postgresConnection_.empty()) {
            configuration.backend = cloud::Configuration::kPostgreSQLBackend;
            configuration.connection = postgresConnection_;
        }
        return cloud::Container::make("com.tavlo.Tavlo", configuration, device);
    }
    // Set before SetUp: both devices meet in this PostgreSQL database instead
    // of the embedded store.
    std::string postgresConnection_;
    // Set before SetUp: the largest asset the server takes (0: the layer's).
    int64_t assetLimit_ = 0;
    // Before SetUp: takes a database for the test when it runs on PostgreSQL;
    // answers why it cannot run, or nothing.
    std::optional<std::string> useBackend(Backend backend) {
        if (backend == Backend::Embedded) return std::nullopt;
        auto* server = testsupport::PostgresServer::shared();
        if (!server) return testsupport::PostgresServer::skipReason();
        postgresConnection_ = server->databaseForCurrentTest();
        if (postgresConnection_.empty()) return std::string("no database for the test");
        return std::nullopt;
    }
    std::shared_ptr<cloud::ZoneServer> other() { return otherContainer_->server().value(); }
    std::shared_ptr<cloud::ZoneServer> self() { return thisContainer_->server().value(); }
    cloud::RecordZoneID zone() const { return {TLCloudKitSyncManager::kTavloRecordZoneName}; }

    void makeZone() { ASSERT_TRUE(other()->modifyZones({zone()}, {}).ok()); }
    // The other device saves (and deletes) in one modify.
    std::vector<cloud::Record> otherSaves(const std::vector<cloud::Record>& records,
                                          const std::vector<std::string>& deletions = {}) {
        std::vector<cloud::RecordID> ids;
        for (const auto& name : deletions) ids.push_back({name, zone()});
        auto result = other()->modifyRecords(records, ids);
        EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().line());
        return result.ok() ? result.value().saved : std::vector<cloud::Record>();
    }
    cloud::Record record(const std::string& type, const std::string& name) const {
        return cloud::Record(type, cloud::RecordID{name, zone()});
    }
    cloud::Record clippingRecord(const std::string& name, const std::string& text,
                                 std::optional<std::string> list = std::nullopt) const {
        auto r = record("Clipping", name);
        r.setObject("text", text);
        r.setObject("tavloDate", foundation::Date(1000));
        r.setObject("addDate", foundation::Date(900));
        r.setObject("items", int64_t(1));
        if (list) r.setObject("list", cloud::Reference{cloud::RecordID{*list, zone()}, cloud::Reference::None});
        return r;
    }
    cloud::Record assetRecord(const std::string& clippingID, const std::string& filename, const std::string& bytes) {
        auto r = record("Asset", clippingID + "." + filename);
        r.setObject("clippingID", clippingID);
        r.setObject("filename", filename);
        r.setObject("clipping", cloud::Reference{cloud::RecordID{clippingID, zone()}, cloud::Reference::DeleteSelf});
        const fs::path file = home_.root() / ("upload-" + std::to_string(++files_));
        { std::ofstream(file, std::ios::binary) << bytes; }
        r.setObject("data", cloud::Asset{file});
        return r;
    }

    // Binds the engine and runs one fetch from the token given to its end;
    // answers the completion's flags in order.
    std::vector<bool> fetch(const std::optional<cloud::ServerChangeToken>& token, size_t calls = 1) {
        if (!engine_->managedObjectContext()) engine_->setManagedObjectContext(context_);
        auto flags = std::make_shared<std::vector<bool>>();
        auto lock = std::make_shared<std::mutex>();
        engine_->fetchChangesFromCloudKit(token, [flags, lock](bool success) {
            std::lock_guard held(*lock);
            flags->push_back(success);
        });
        EXPECT_TRUE(runUntil([&] {
            std::lock_guard held(*lock);
            return flags->size() >= calls;
        })) << "completion calls: " << flags->size();
        std::lock_guard held(*lock);
        return *flags;
    }
    std::optional<cloud::ServerChangeToken> storedToken() {
        auto bytes = TLSettings()->dataForKey(TLUserDefaultsCloudKitServerChangeToken);
        if (!bytes) return std::nullopt;
        return cloud::ServerChangeToken::unarchive(*bytes);
    }

    template <class Done>
    bool runUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        dispatch::MainQueue::runUntilIdle();
        return true;
    }

    template <class T>
    std::vector<std::shared_ptr<T>> objects(const char* entity) {
        store::FetchRequest request(entity);
        std::vector<std::shared_ptr<T>> out;
        auto found = context_->fetch(request);
        EXPECT_TRUE(found.ok());
        if (found)
            for (const auto& o : found.value()) out.push_back(std::static_pointer_cast<T>(o));
        return out;
    }
    template <class T>
    std::shared_ptr<T> object(const char* entity, const char* key, const std::string& value) {
        for (const auto& o : objects<T>(entity))
            if (o->valueForKey(key).kind() == store::Value::Kind::String && o->valueForKey(key).string() == value) return o;
        return nullptr;
    }

    std::vector<std::string> statuses() {
        std::lock_guard lock(mutex_);
        return statuses_;
    }
    std::vector<std::string> log() {
        LKLog::flushLog();
        std::lock_guard lock(mutex_);
        return log_;
    }
    size_t logCount(const std::string& needle) {
        size_t n = 0;
        for (const auto& line : log())
            if (line.find(needle) != std::string::npos) ++n;
        return n;
    }

    testsupport::TempHome home_;
    std::shared_ptr<RecordingLogger> logger_;
    std::mutex mutex_;
    std::vector<std::string> log_;
    std::vector<std::string> statuses_;
    uint64_t statusToken_ = 0;
    std::shared_ptr<TLDatabaseManager> database_;
    std::shared_ptr<store::Context> context_;
    std::shared_ptr<TLMacPasteboard> general_;
    std::shared_ptr<TLPasteboardManager> pasteboard_;
    std::shared_ptr<cloud::Container> thisContainer_, otherContainer_;
    std::shared_ptr<CountingEngine> engine_;
    int files_ = 0;
};

}  // namespace synctest
