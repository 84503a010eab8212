// Two processes sharing one embedded store, each a device with its own XDG
// folders: this test program runs itself again as the other device
// (CloudProcessesChild, skipped unless the parent asks for it).
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <set>

#include "CloudTestSupport.h"
#include "platform/cloud/Database.h"
#include "platform/cloud/ModifyRecordsOperation.h"
#include "platform/cloud/PushChannel.h"
#include "platform/cloud/ZoneServer.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using cloud::Error;
using cloud::Record;
using cloud::RecordZoneID;

const RecordZoneID kZone{"Tavlo Zone"};
const cloud::Subscription kSubscription{"Tavlo Zone Subscription", kZone, true, ""};
constexpr const char* kRoleVariable = "TAVLO_CLOUD_TEST_ROLE";
constexpr const char* kFolderVariable = "TAVLO_CLOUD_TEST_FOLDER";

std::string self() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

// Starts this program as another device: its own XDG folders under root.
std::unique_ptr<testsupport::ChildProcess> startDevice(const std::filesystem::path& root, const std::string& role,
                                                       const std::filesystem::path& folder) {
    return testsupport::ChildProcess::start(
        {self(), "--gtest_filter=CloudProcessesChild.Run", "--gtest_brief=1"},
        {{kRoleVariable, role},
         {kFolderVariable, folder.string()},
         {"HOME", root.string()},
         {"XDG_DATA_HOME", (root / "data").string()},
         {"XDG_CONFIG_HOME", (root / "config").string()},
         {"XDG_CACHE_HOME", (root / "cache").string()}});
}

// The other device. "writer PREFIX": saves 500 records one by one, retrying
// only 23, then prints "wrote N other-errors M". "listener": subscribes,
// registers, prints "ready" and one "push" line per push until its input's
// parent stops it.
TEST(CloudProcessesChild, Run) {
    const char* role = std::getenv(kRoleVariable);
    if (!role) GTEST_SKIP() << "run by CloudProcessesTest as another device";
    const std::string what = role;
    auto container = cloudtest::container(std::getenv(kFolderVariable), cloud::Configuration::deviceIdentifier());
    auto server = container->server();
    ASSERT_TRUE(server.ok()) << server.error().line();
    if (what.rfind("writer ", 0) == 0) {
        const std::string prefix = what.substr(7);
        int written = 0, otherErrors = 0;
        for (int i = 0; i < 500; ++i) {
            Record record("Clipping", {prefix + std::to_string(i), kZone});
            record.setObject("text", std::string(100, 'w'));
            for (;;) {
                auto reply = server.value()->modifyRecords({record}, {});
                if (reply.ok()) {
                    ++written;
                    break;
                }
                if (reply.error().code != Error::kZoneBusy) {
                    ++otherErrors;
                    break;
                }
            }
        }
        std::printf("wrote %d other-errors %d\n", written, otherErrors);
        std::fflush(stdout);
        return;
    }
    ASSERT_TRUE(server.value()->modifySubscriptions({kSubscription}, {}).ok());
    std::atomic<int> pushes{0};
    bool ready = false;
    container->pushChannel()->registerForRemoteNotifications([&](const std::string&) { ready = true; }, [&](auto&) {
        std::printf("push\n");
        std::fflush(stdout);
        ++pushes;
    });
    cloudtest::runMainUntil([&] { return ready; });
    // The catch-up check runs right after registration, on the channel's
    // queue; "ready" follows it.
    cloudtest::runMainUntil([] { return false; }, std::chrono::milliseconds(300));
    std::printf("ready\n");
    std::fflush(stdout);
    cloudtest::runMainUntil([] { return false; }, std::chrono::seconds(30));
}

class CloudProcessesTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = home_.root() / "shared-cloud";
        parent_ = cloudtest::container(folder_, "device-parent");
        ASSERT_TRUE(parent_->server().ok());
        ASSERT_TRUE(parent_->server().value()->modifyZones({kZone}, {}).ok());
    }

    testsupport::TempHome home_;
    std::filesystem::path folder_;
    std::shared_ptr<cloud::Container> parent_;
};

TEST_F(CloudProcessesTest, TwoWritersAtOnce) {
    auto first = startDevice(home_.root() / "one", "writer A-", folder_);
    auto second = startDevice(home_.root() / "two", "writer B-", folder_);
    ASSERT_TRUE(first && second);
    for (auto* child : {first.get(), second.get()}) {
        bool reported = false;
        while (auto line = child->readLine(std::chrono::seconds(40))) {
            if (line->rfind("wrote", 0) != 0) continue;
            EXPECT_EQ(*line, "wrote 500 other-errors 0");
            reported = true;
            break;
        }
        EXPECT_TRUE(reported);
        EXPECT_EQ(child->wait(std::chrono::seconds(10)), 0);
    }
    auto records = parent_->server().value()->dump(kZone);
    ASSERT_TRUE(records.ok());
    std::set<std::string> tags;
    for (const auto& stored : records.value()) tags.insert(stored.record.recordChangeTag());
    EXPECT_EQ(records.value().size(), 1000u);
    EXPECT_EQ(tags.size(), 1000u);
}

TEST_F(CloudProcessesTest, APushReachesTheOtherProcessOnceEvenAfterItWasStopped) {
    const auto root = home_.root() / "listener";
    auto listener = startDevice(root, "listener", folder_);
    ASSERT_TRUE(listener);
    ASSERT_TRUE(listener->waitForLine("ready", std::chrono::seconds(20)));
    ASSERT_TRUE(parent_->server().value()->modifySubscriptions({kSubscription}, {}).ok());
    std::atomic<int> ownPushes{0};
    parent_->pushChannel()->registerForRemoteNotifications({}, [&](auto&) { ++ownPushes; });

    Record record("Clipping", {"C-1", kZone});
    record.setObject("text", std::string("hello"));
    auto save = std::make_shared<cloud::ModifyRecordsOperation>(std::vector<Record>{record}, std::vector<cloud::RecordID>{});
    parent_->privateCloudDatabase()->addOperation(save);
    EXPECT_EQ(listener->readLine(std::chrono::seconds(5)), "push");
    listener.reset();  // stopped

    for (int i = 0; i < 3; ++i) {
        Record more("Clipping", {"C-more-" + std::to_string(i), kZone});
        ASSERT_TRUE(parent_->server().value()->modifyRecords({more}, {}).ok());
    }
    cloudtest::runMainUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(ownPushes, 0);
    parent_->pushChannel()->unregister();

    auto again = startDevice(root, "listener", folder_);
    ASSERT_TRUE(again);
    std::vector<std::string> lines;
    while (auto line = again->readLine(std::chrono::seconds(20))) {
        if (*line == "ready") break;
        if (*line == "push") lines.push_back(*line);
    }
    EXPECT_EQ(lines.size(), 1u);
}

}  // namespace
