// Devices of one PostgreSQL account in this process: pushes through the
// process's LISTEN connection, notices from other clients of the database,
// the server stopped in the middle of a modify, and the program run as an
// ordinary user.
#include <gtest/gtest.h>

#include <libpq-fe.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "CloudTestSupport.h"
#include "platform/cloud/PostgresListener.h"
#include "platform/cloud/PushChannel.h"
#include "platform/cloud/ZoneServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/PostgresServer.h"
#include "tests/support/TempHome.h"

namespace {

using cloud::Error;
using cloud::Record;
using testsupport::PostgresServer;

const cloud::RecordZoneID kZone{"Tavlo Zone"};
const cloud::Subscription kSubscription{"Tavlo Zone Subscription", kZone, true, ""};

std::string exec(PGconn* conn, const std::string& sql) {
    PGresult* result = PQexec(conn, sql.c_str());
    std::string answer = PQresultStatus(result) == PGRES_TUPLES_OK && PQntuples(result) > 0
                             ? PQgetvalue(result, 0, 0)
                             : PQresultErrorMessage(result);
    PQclear(result);
    return answer;
}

class PostgresPushTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = PostgresServer::shared();
        if (!server_) GTEST_SKIP() << PostgresServer::skipReason();
        connection_ = server_->databaseForCurrentTest();
        ASSERT_FALSE(connection_.empty());
        a_ = device("device-a");
        b_ = device("device-b");
        ASSERT_TRUE(a_->server().ok()) << a_->server().error().line();
        ASSERT_TRUE(a_->server().value()->modifyZones({kZone}, {}).ok());
        for (auto* container : {&a_, &b_})
            ASSERT_TRUE((*container)->server().value()->modifySubscriptions({kSubscription}, {}).ok());
        bool registered = false;
        b_->pushChannel()->registerForRemoteNotifications([&](const std::string&) { registered = true; },
                                                          [this](auto&) { ++pushes_; });
        a_->pushChannel()->registerForRemoteNotifications({}, [this](auto&) { ++ownPushes_; });
        ASSERT_TRUE(cloudtest::runMainUntil([&] { return registered; }));
        // The registration's own check, and the listener up.
        auto listener = cloud::PostgresListener::forConnection(connection_);
        ASSERT_TRUE(cloudtest::runMainUntil([&] { return listener->isListening(); }));
        cloudtest::runMainUntil([] { return false; }, std::chrono::milliseconds(300));
    }

    void TearDown() override {
        for (auto* container : {&a_, &b_})
            if (*container) (*container)->pushChannel()->unregister();
    }

    std::shared_ptr<cloud::Container> device(const std::string& id) {
        cloud::Configuration configuration;
        configuration.account = "tester";
        configuration.backend = cloud::Configuration::kPostgreSQLBackend;
        configuration.connection = connection_;
        return cloud::Container::make("com.tavlo.Tavlo", configuration, id);
    }

    static std::vector<Record> records(const std::string& prefix, int count) {
        std::vector<Record> list;
        for (int i = 0; i < count; ++i) {
            Record record("Clipping", {prefix + std::to_string(i), kZone});
            record.setObject("text", std::string(1000, 'r'));
            list.push_back(record);
        }
        return list;
    }

    testsupport::TempHome home_;
    PostgresServer* server_ = nullptr;
    std::string connection_;
    std::shared_ptr<cloud::Container> a_, b_;
    std::atomic<int> pushes_{0}, ownPushes_{0};
};

TEST_F(PostgresPushTest, ACommitReachesTheOtherDeviceAndForeignNoticesCostOneCheck) {
    ASSERT_TRUE(a_->server().value()->modifyRecords(records("C-", 3), {}).ok());
    EXPECT_TRUE(cloudtest::runMainUntil([&] { return pushes_ == 1; }, std::chrono::seconds(5)));
    cloudtest::runMainUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(pushes_, 1);
    EXPECT_EQ(ownPushes_, 0);

    // Anyone with access to the database can notify our channel, with any
    // text: a flood in one transaction makes one check and no push.
    const int before = b_->pushChannel()->checkCount();
    PGconn* other = PQconnectdb(connection_.c_str());
    ASSERT_EQ(PQstatus(other), CONNECTION_OK);
    std::string flood = "BEGIN;";
    for (int i = 0; i < 100; ++i) flood += "NOTIFY tavlo_push, 'not yours " + std::to_string(i) + "';";
    flood += "NOTIFY tavlo_push, '" + std::string(7000, 'x') + "'; COMMIT;";
    exec(other, flood);
    PQfinish(other);
    cloudtest::runMainUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(b_->pushChannel()->checkCount() - before, 1);
    EXPECT_EQ(pushes_, 1);
}

TEST_F(PostgresPushTest, AServerStoppedMidModifyLosesItAndTheListenerCatchesUp) {
    // Another client holds the last record's name in an open transaction, so
    // the modify stops there with 399 rows written, until the server goes.
    PGconn* holder = PQconnectdb(connection_.c_str());
    ASSERT_EQ(PQstatus(holder), CONNECTION_OK);
    exec(holder, "BEGIN; INSERT INTO records VALUES ('Tavlo Zone', 'R-399', 'Clipping', 't', 0, 0, 0, 'x', '', 0, 0)");
    std::optional<Error> failure;
    std::thread modify([&] {
        auto reply = a_->server().value()->modifyRecords(records("R-", 400), {});
        if (!reply) failure = reply.error();
    });
    PGconn* watcher = PQconnectdb(connection_.c_str());
    bool waiting = false;
    for (int i = 0; i < 200 && !waiting; ++i) {
        waiting = exec(watcher, "SELECT count(*) FROM pg_stat_activity WHERE application_name = 'tavlo' AND "
                                "wait_event_type = 'Lock'") == "1";
        if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    PQfinish(watcher);
    EXPECT_TRUE(waiting);
    ASSERT_TRUE(server_->stop());
    modify.join();
    PQfinish(holder);
    ASSERT_TRUE(failure);
    EXPECT_EQ(failure->code, Error::kNetworkFailure) << failure->line();
    a_->storeFailed(*failure);
    auto listener = cloud::PostgresListener::forConnection(connection_);
    EXPECT_TRUE(cloudtest::runMainUntil([&] { return !listener->isListening(); }, std::chrono::seconds(5)));

    ASSERT_TRUE(server_->start());
    PGconn* after = PQconnectdb(connection_.c_str());
    EXPECT_EQ(exec(after, "SELECT count(*) FROM records WHERE name LIKE 'R-%'"), "0");
    PQfinish(after);
    ASSERT_TRUE(a_->server().ok());
    ASSERT_TRUE(a_->server().value()->modifyRecords(records("S-", 1), {}).ok());
    EXPECT_TRUE(cloudtest::runMainUntil([&] { return pushes_ == 1; }, std::chrono::seconds(40)));
    EXPECT_TRUE(cloudtest::runMainUntil([&] { return listener->isListening(); }, std::chrono::seconds(40)));
    cloudtest::runMainUntil([] { return false; }, std::chrono::seconds(1));
    EXPECT_EQ(pushes_, 1);
    EXPECT_EQ(ownPushes_, 0);
    EXPECT_GE(listener->connections(), 2);
}

// initdb refuses root, so as root the server runs as the postgres user; as
// an ordinary user it runs as that user. One case shows the second way.
TEST(PostgresAsAnOrdinaryUserTest, AContractCaseRunsUnderNobody) {
    if (::geteuid() != 0) GTEST_SKIP() << "already an ordinary user";
    if (!PostgresServer::shared()) GTEST_SKIP() << PostgresServer::skipReason();
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    const auto result = testsupport::runCommand(
        {"runuser", "-u", "nobody", "--", self, "--gtest_filter=ZoneServerContractTest/Postgres.ConflictingSavesFailTheWholeModify"},
        std::chrono::seconds(90), {{"TMPDIR", "/tmp"}, {"HOME", "/tmp"}});
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("[  PASSED  ] 1 test."), std::string::npos) << result.output;
    EXPECT_EQ(result.output.find("SKIPPED"), std::string::npos) << result.output;
}

}  // namespace
