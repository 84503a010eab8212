#include <gtest/gtest.h>
#include <sqlite3.h>

#include <sys/stat.h>

#include <fstream>
#include <optional>
#include <random>

#include "kit/Clipping.h"
#include "kit/TLDatabaseManager.h"
#include "logging/LKLog.h"
#include "platform/store/Context.h"
#include "platform/store/StoreError.h"
#include "tests/logging/RecordingLogger.h"
#include "tests/support/LockedDatabase.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;

fs::path modelResource() { return fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd"; }

class TLDatabaseManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        container_ = home_.dataHome() / "Tavlo";
        fs::create_directories(container_);
        logger_ = std::make_shared<RecordingLogger>();
        LKLog::addLogger(logger_);
    }
    void TearDown() override { LKLog::removeLogger(logger_); }

    fs::path store() const { return container_ / "datastore"; }
    std::unique_ptr<TLDatabaseManager> manager() {
        return std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{modelResource(), container_, 200});
    }
    // Inserts and saves a clipping through the manager's coordinator, then reads
    // it back through a fresh manager.
    void expectUsableStore() {
        {
            auto coordinator = manager()->persistentStoreCoordinator();
            ASSERT_TRUE(coordinator && coordinator->hasStore());
            store::Context context(coordinator);
            auto clipping = std::static_pointer_cast<Clipping>(context.insertNewObject("Clipping"));
            clipping->setClippingID("C-saved");
            ASSERT_TRUE(context.save().ok());
        }
        store::Context context(manager()->persistentStoreCoordinator());
        auto found = context.fetch(store::FetchRequest("Clipping"));
        ASSERT_TRUE(found.ok());
        ASSERT_EQ(found.value().size(), 1u);
        EXPECT_EQ(std::static_pointer_cast<Clipping>(found.value()[0])->clippingID(), "C-saved");
    }
    size_t configurationFailures() {
        size_t n = 0;
        for (const auto& line : logger_->lines()) n += line.rfind("Store Configuration Failure: ", 0) == 0;
        return n;
    }

    testsupport::TempHome home_;
    fs::path container_;
    std::shared_ptr<RecordingLogger> logger_;
};

TEST_F(TLDatabaseManagerTest, MakesTheStoreInTheContainer) {
    auto m = manager();
    EXPECT_EQ(m->databaseURL().filePath(), store());
    auto coordinator = m->persistentStoreCoordinator();
    ASSERT_TRUE(coordinator);
    EXPECT_EQ(coordinator, m->persistentStoreCoordinator());
    EXPECT_EQ(coordinator->storePath(), store());
    EXPECT_EQ(fs::status(store()).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    expectUsableStore();
    EXPECT_EQ(configurationFailures(), 0u);
}

struct BadStore {
    const char* name;
    void (*make)(const fs::path& store);
    bool sqlite;  // a valid SQLite file, whose own write-ahead log SQLite checks
};

const BadStore kBadStores[] = {
    {"random bytes",
     [](const fs::path& p) {
         std::mt19937 random(3);
         std::string bytes(4096, '\0');
         for (char& c : bytes) c = static_cast<char>(random());
         std::ofstream(p, std::ios::binary) << bytes;
     },
     false},
    {"text file", [](const fs::path& p) { std::ofstream(p) << "not a database"; }, false},
    {"foreign database",
     [](const fs::path& p) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "PRAGMA journal_mode=WAL; CREATE TABLE t (x); INSERT INTO t VALUES (1);", nullptr, nullptr,
                      nullptr);
         sqlite3_close(db);
     },
     true},
    {"foreign rollback-journal database",
     [](const fs::path& p) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr);
         sqlite3_close(db);
     },
     true},
    {"foreign database with a live write-ahead log",
     [](const fs::path& p) {
         sqlite3* db = nullptr;
         sqlite3_open(p.c_str(), &db);
         // As a writer killed before its checkpoint leaves it.
         sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
         sqlite3_exec(db, "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE t (x); "
                          "INSERT INTO t VALUES (1);", nullptr, nullptr, nullptr);
         sqlite3_close(db);
     },
     true},
    {"folder", [](const fs::path& p) { fs::create_directories(p / "inside"); }, false},
    {"newer model",
     [](const fs::path& p) {
         std::ifstream in(modelResource() / "Tavlo.json");
         std::string json((std::istreambuf_iterator<char>(in)), {});
         json.replace(json.find("\"version\": 1"), 12, "\"version\": 9");
         auto model = store::Model::fromJSON(json);
         store::Coordinator coordinator(model.value());
         (void)coordinator.addSQLiteStore(p);
     },
     true},
};

std::optional<std::string> bytesOf(const fs::path& file) {
    if (!fs::is_regular_file(file)) return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), {});
}

TEST_F(TLDatabaseManagerTest, AnUnusableStoreIsMovedAsideWithItsCompanionsAndAFreshOneTakesItsPlace) {
    for (const BadStore& bad : kBadStores) {
        SCOPED_TRACE(bad.name);
        fs::remove_all(container_);
        fs::create_directories(container_);
        bad.make(store());
        if (!bad.sqlite) {
            std::ofstream(store().string() + "-wal") << "stale log";
            std::ofstream(store().string() + "-shm") << "stale index";
        }
        // Nothing rewrites the file or its log before they move aside.
        auto original = bytesOf(store()), originalLog = bytesOf(store().string() + "-wal");
        size_t before = configurationFailures();
        expectUsableStore();
        EXPECT_EQ(configurationFailures(), before + 1);
        EXPECT_TRUE(fs::exists(container_ / "datastore.backup"));
        EXPECT_EQ(bytesOf(container_ / "datastore.backup"), original);
        if (originalLog) {
            EXPECT_EQ(bytesOf(container_ / "datastore.backup-wal"), originalLog);
        }
        if (!bad.sqlite) {
            std::ifstream wal(container_ / "datastore.backup-wal");
            EXPECT_EQ(std::string((std::istreambuf_iterator<char>(wal)), {}), "stale log");
            EXPECT_TRUE(fs::exists(container_ / "datastore.backup-shm"));
        }
        std::ifstream wal(store().string() + "-wal");
        EXPECT_EQ(std::string((std::istreambuf_iterator<char>(wal)), {}).find("stale"), std::string::npos);
    }
}

TEST_F(TLDatabaseManagerTest, UnderAWideUmaskTheStoreItsLogAndABackupAreTheUsersAlone) {
    fs::permissions(container_, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                    fs::perms::others_read | fs::perms::others_exec);
    std::ofstream(store()) << "not a database";  // moves aside as a backup
    fs::permissions(store(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                                 fs::perms::others_read);
    mode_t previous = ::umask(022);
    auto m = manager();
    auto coordinator = m->persistentStoreCoordinator();
    ASSERT_TRUE(coordinator && coordinator->hasStore());
    store::Context context(coordinator);
    std::static_pointer_cast<Clipping>(context.insertNewObject("Clipping"))->setClippingID("C-private");
    ASSERT_TRUE(context.save().ok());
    ::umask(previous);
    const auto userOnly = fs::perms::owner_read | fs::perms::owner_write;
    for (const char* name : {"datastore", "datastore-wal", "datastore-shm", "datastore.backup"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(fs::exists(container_ / name));
        EXPECT_EQ(fs::status(container_ / name).permissions() & fs::perms::all, userOnly);
    }
    EXPECT_EQ(fs::status(container_).permissions() & fs::perms::all, fs::perms::owner_all);
}

TEST_F(TLDatabaseManagerTest, AnExistingBackupTakesTheNextFreeNameAndNothingIsDeleted) {
    std::ofstream(container_ / "datastore.backup") << "older backup";
    std::ofstream(container_ / "datastore.backup 2-wal") << "a companion of another backup";
    std::ofstream(store()) << "bad";
    expectUsableStore();
    std::ifstream older(container_ / "datastore.backup");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(older)), {}), "older backup");
    std::ifstream moved(container_ / "datastore.backup 3");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(moved)), {}), "bad");
    EXPECT_TRUE(fs::exists(container_ / "datastore.backup 2-wal"));
}

TEST_F(TLDatabaseManagerTest, AZeroLengthFileIsAnEmptyStore) {
    std::ofstream(store()).flush();
    expectUsableStore();
    EXPECT_FALSE(fs::exists(container_ / "datastore.backup"));
    EXPECT_EQ(configurationFailures(), 0u);
}

TEST_F(TLDatabaseManagerTest, WhenNothingCanBeMovedTheHistoryLivesInMemory) {
    std::ofstream(store()) << "bad";
    std::ofstream(container_ / "datastore.backup").flush();
    for (int n = 2; n <= 1000; ++n) std::ofstream(container_ / ("datastore.backup " + std::to_string(n))).flush();
    auto coordinator = manager()->persistentStoreCoordinator();
    ASSERT_TRUE(coordinator && coordinator->hasStore());
    EXPECT_EQ(coordinator->storePath(), ":memory:");
    store::Context context(coordinator);
    context.insertNewObject("Clipping");
    EXPECT_TRUE(context.save().ok());
    std::ifstream kept(store());
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(kept)), {}), "bad");
}

TEST_F(TLDatabaseManagerTest, AStoreBusyInAnotherProcessIsNeverMovedAside) {
    expectUsableStore();
    std::shared_ptr<store::Coordinator> coordinator;
    {
        testsupport::LockedDatabase lock(store());
        ASSERT_TRUE(lock.locked());
        coordinator = manager()->persistentStoreCoordinator();
    }
    ASSERT_TRUE(coordinator);
    EXPECT_FALSE(coordinator->hasStore());
    EXPECT_EQ(configurationFailures(), 1u);
    EXPECT_FALSE(fs::exists(container_ / "datastore.backup"));
    store::Context context(coordinator);
    context.insertNewObject("Clipping");
    auto saved = context.save();
    ASSERT_FALSE(saved.ok());
    EXPECT_TRUE(store::isStoreError(saved.error(), store::ErrorCode::NoStore));
    // The history is still there for the next start.
    store::Context later(manager()->persistentStoreCoordinator());
    EXPECT_EQ(later.count(store::FetchRequest("Clipping")).value(), 1);
}

TEST_F(TLDatabaseManagerTest, WithoutTheModelThereIsNoCoordinator) {
    TLDatabaseManager m({container_ / "Missing.momd", container_});
    EXPECT_EQ(m.managedObjectModel(), nullptr);
    EXPECT_EQ(m.persistentStoreCoordinator(), nullptr);
    EXPECT_FALSE(fs::exists(store()));
}

}  // namespace
