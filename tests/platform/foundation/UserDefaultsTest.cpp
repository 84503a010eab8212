#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <future>
#include <random>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"

extern char** environ;

using foundation::Data;
using foundation::PlistValue;
using foundation::UserDefaults;

namespace {

constexpr const char* kSuite = "group.test.suite";
constexpr const char* kChildRole = "TAVLO_DEFAULTS_CHILD";
constexpr size_t kPayloadSize = 200000;

// Runs this test program again as a separate process playing a role (see
// UserDefaultsChild.DISABLED_Run); answers its pid.
pid_t spawnChild(const std::string& role) {
    ::setenv(kChildRole, role.c_str(), 1);
    std::string filter = "--gtest_filter=UserDefaultsChild.DISABLED_Run";
    std::string disabled = "--gtest_also_run_disabled_tests";
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, filter.data(), disabled.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    posix_spawn(&pid, exe, &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::unsetenv(kChildRole);
    return pid;
}

int waitChild(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::vector<std::string> words(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

class UserDefaultsTest : public ::testing::Test {
protected:
    testsupport::TempHome home_;
    std::shared_ptr<UserDefaults> open() { return UserDefaults::suite(kSuite); }
};

}  // namespace

// The other process of the cross-process tests, which run it by name; never
// part of a normal run.
TEST(UserDefaultsChild, DISABLED_Run) {
    const char* role = std::getenv(kChildRole);
    ASSERT_TRUE(role) << "runs only as a child of the cross-process tests";
    auto args = words(role);
    auto suite = UserDefaults::suite(kSuite);
    if (args[0] == "write") {
        suite->setObject(args[2], args[1]);
        ASSERT_TRUE(suite->synchronize());
    } else if (args[0] == "expect") {
        ASSERT_EQ(suite->stringForKey(args[1]), args[2]);
    } else if (args[0] == "loop") {
        for (uint64_t i = 0;; ++i) {
            suite->setObject(std::string(kPayloadSize, i % 2 ? 'B' : 'A'), "payload");
            suite->synchronize();
        }
    }
}

TEST_F(UserDefaultsTest, WrittenAndSynchronisedValueIsReadByAFreshProcess) {
    auto suite = open();
    suite->setObject("hello", "TLUserDefaultsSelectedListID");
    ASSERT_TRUE(suite->synchronize());
    EXPECT_EQ(waitChild(spawnChild("expect TLUserDefaultsSelectedListID hello")), 0);

    // And the other way round, picked up without a synchronize() here.
    ASSERT_EQ(waitChild(spawnChild("write TLUserDefaultsClipboardSize 250")), 0);
    EXPECT_EQ(open()->integerForKey("TLUserDefaultsClipboardSize"), 250);
}

TEST_F(UserDefaultsTest, FileIsPrivateXMLInThePreferencesFolder) {
    auto suite = open();
    suite->setBool(true, "TLUserDefaultsPlaySounds");
    ASSERT_TRUE(suite->synchronize());
    EXPECT_EQ(suite->filePath(), home_.configHome() / "Tavlo" / "group.test.suite.plist");
    struct stat st {};
    ASSERT_EQ(::stat(suite->filePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(suite->filePath().parent_path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    auto data = Data::contentsOfFile(suite->filePath());
    EXPECT_NE(data.value().toString().find("<key>TLUserDefaultsPlaySounds</key>"), std::string::npos);
}

TEST_F(UserDefaultsTest, ConcurrentWritersInTwoProcessesKeepEachOthersKeys) {
    auto suite = open();
    suite->setInteger(1, "mine");
    pid_t child = spawnChild("write theirs 2");
    ASSERT_TRUE(suite->synchronize());
    ASSERT_EQ(waitChild(child), 0);
    ASSERT_TRUE(suite->synchronize());
    EXPECT_EQ(suite->integerForKey("mine"), 1);
    EXPECT_EQ(suite->integerForKey("theirs"), 2);
    EXPECT_EQ(waitChild(spawnChild("expect mine 1")), 0);
}

TEST_F(UserDefaultsTest, KillDuringWriteLeavesTheOldOrTheNewFile) {
    std::mt19937 random(7);
    auto file = open()->filePath();
    int checked = 0;
    for (int round = 0; round < 8; ++round) {
        pid_t child = spawnChild("loop");
        // Let it get going, then kill it at some point of a write.
        for (int i = 0; i < 400 && !std::filesystem::exists(file); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        ::kill(child, SIGKILL);
        waitChild(child);
        auto data = Data::contentsOfFile(file);
        if (!data.ok()) continue;
        auto value = foundation::PropertyList::read(data.value().span());
        ASSERT_TRUE(value.ok()) << "torn file after round " << round;
        const std::string* payload = value.value().get("payload")->asString();
        ASSERT_NE(payload, nullptr);
        ASSERT_EQ(payload->size(), kPayloadSize);
        EXPECT_TRUE(*payload == std::string(kPayloadSize, 'A') || *payload == std::string(kPayloadSize, 'B'));
        ++checked;
    }
    EXPECT_GT(checked, 0);
}

// While another process holds the file for its write (a slow disk's flush),
// this process's synchronize waits for it on its own thread: the main
// thread's reads and settings go on meanwhile.
TEST_F(UserDefaultsTest, ASynchronizeWaitingForTheFileHoldsNoReaderOrSetter) {
    auto suite = open();
    suite->setInteger(1, "before");
    ASSERT_TRUE(suite->synchronize());
    suite->setInteger(2, "pending");
    // The other writer: an exclusive lock on the suite's lock file.
    const int other = ::open((suite->filePath().string() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    auto writer = std::async(std::launch::async, [&] { return suite->synchronize(); });
    ASSERT_EQ(writer.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout) << "waits for the file";
    auto reader = std::async(std::launch::async, [&] {
        suite->setInteger(3, "meanwhile");
        return suite->integerForKey("before") + suite->integerForKey("pending");
    });
    const bool answered = reader.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    ::close(other);  // the other writer is done
    ASSERT_TRUE(answered) << "a read and a setting waited for the file";
    EXPECT_EQ(reader.get(), 3);
    EXPECT_TRUE(writer.get());
    ASSERT_TRUE(suite->synchronize());
    EXPECT_EQ(waitChild(spawnChild("expect pending 2")), 0);
    EXPECT_EQ(waitChild(spawnChild("expect meanwhile 3")), 0);
}

// Values set on one thread while another writes the file: whatever the write
// took, the last value of each key reaches the file with the next write.
TEST_F(UserDefaultsTest, ValuesSetDuringAWriteReachTheFileWithTheNext) {
    auto suite = open();
    suite->setObject(std::string(kPayloadSize, 'A'), "payload");  // a write that takes a while
    std::atomic<bool> done = false;
    std::thread writer([&] {
        while (!done) suite->synchronize();
    });
    constexpr int kSets = 3000;
    for (int i = 1; i <= kSets; ++i) suite->setInteger(i, "counter");
    done = true;
    writer.join();
    ASSERT_TRUE(suite->synchronize());
    EXPECT_EQ(waitChild(spawnChild("expect counter " + std::to_string(kSets))), 0);
}

TEST_F(UserDefaultsTest, DamagedFileReadsAsEmptyAndIsRewrittenWhole) {
    auto suite = open();
    std::filesystem::create_directories(suite->filePath().parent_path());
    const std::string damaged[] = {"", "<?xml version=\"1.0\"?><plist><dict><key>a</key><integ",
                                   std::string("bplist00\x01\x02", 10), "<plist><array/></plist>"};
    for (const std::string& bytes : damaged) {
        SCOPED_TRACE(bytes);
        ASSERT_TRUE(Data::fromString(bytes).writeToFile(suite->filePath()).ok());
        EXPECT_TRUE(open()->dictionaryRepresentation().empty());
        EXPECT_EQ(open()->integerForKey("a"), 0);
        open()->setInteger(5, "b");
        ASSERT_TRUE(open()->synchronize());
        auto reread = foundation::PropertyList::read(Data::contentsOfFile(suite->filePath()).value().span());
        ASSERT_TRUE(reread.ok());
        EXPECT_EQ(reread.value(), PlistValue(PlistValue::Dictionary{{"b", PlistValue(5)}}));
        open()->removeObjectForKey("b");
        ASSERT_TRUE(open()->synchronize());
    }
}

TEST_F(UserDefaultsTest, TypedGettersCoerceLikeFoundation) {
    auto suite = open();
    suite->setObject("12", "text");
    suite->setObject(PlistValue::Array{PlistValue("a")}, "array");
    suite->setBool(false, "TLDefaultRuleOption");
    suite->setDouble(-3600.5, "TLUserDefaultsServerTimeOffset");
    EXPECT_EQ(suite->integerForKey("text"), 12);
    EXPECT_EQ(suite->integerForKey("array"), 0);
    EXPECT_EQ(suite->integerForKey("TLDefaultRuleOption"), 0);
    EXPECT_EQ(suite->doubleForKey("TLUserDefaultsServerTimeOffset"), -3600.5);
    EXPECT_EQ(suite->integerForKey("TLUserDefaultsServerTimeOffset"), -3600);
    EXPECT_TRUE(suite->boolForKey("text"));
    EXPECT_EQ(suite->stringForKey("TLUserDefaultsServerTimeOffset"), "-3600.5");
    EXPECT_FALSE(suite->stringForKey("array"));
    EXPECT_EQ(suite->stringArrayForKey("array"), std::vector<std::string>{"a"});
    EXPECT_FALSE(suite->arrayForKey("text"));
    EXPECT_FALSE(suite->boolForKey("absent"));
    EXPECT_TRUE(suite->objectForKey("absent").isNull());
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAreVolatileAndLoseToStoredValues) {
    auto suite = open();
    suite->registerDefaults({{"TLHotkeyNextList", PlistValue(7)}, {"stored", PlistValue(1)}});
    suite->setInteger(2, "stored");
    ASSERT_TRUE(suite->synchronize());
    EXPECT_EQ(open()->integerForKey("TLHotkeyNextList"), 7);
    EXPECT_EQ(open()->integerForKey("stored"), 2);
    auto onDisk = foundation::PropertyList::read(Data::contentsOfFile(suite->filePath()).value().span());
    EXPECT_EQ(onDisk.value().get("TLHotkeyNextList"), nullptr);
    suite->removeObjectForKey("stored");
    EXPECT_EQ(suite->integerForKey("stored"), 1);
}

TEST_F(UserDefaultsTest, ObserversHearLocalAndExternalChanges) {
    auto suite = open();
    std::vector<std::string> heard;
    auto token = suite->addObserver("watched", [&](const std::string& key) {
        heard.push_back(key + "=" + open()->stringForKey(key).value_or("nil"));  // reading inside is safe
    });
    int notified = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto note = center.addObserver(UserDefaults::kDidChangeNotification, suite->notificationObject(),
                                   [&](const foundation::Notification&) { ++notified; });
    open()->setObject("one", "watched");
    open()->setObject("one", "watched");  // no change, no call
    open()->setObject("x", "other");
    ASSERT_TRUE(suite->synchronize());
    // Another process's write is seen at the next read, and observers hear it.
    ASSERT_EQ(waitChild(spawnChild("write watched two")), 0);
    EXPECT_EQ(suite->stringForKey("other"), "x");
    suite->removeObserver(token);
    open()->setObject("three", "watched");
    EXPECT_EQ(heard, (std::vector<std::string>{"watched=one", "watched=two"}));
    EXPECT_EQ(notified, 4);
    center.removeObserver(note);
}

TEST_F(UserDefaultsTest, UnsynchronisedLocalChangesWinOverAnExternalRewrite) {
    auto suite = open();
    suite->setInteger(1, "shared");
    ASSERT_TRUE(suite->synchronize());
    suite->setInteger(10, "shared");  // pending
    ASSERT_EQ(waitChild(spawnChild("write shared 20")), 0);
    ASSERT_EQ(waitChild(spawnChild("write extra 30")), 0);
    EXPECT_EQ(suite->integerForKey("shared"), 10);
    EXPECT_EQ(suite->integerForKey("extra"), 30);
    ASSERT_TRUE(suite->synchronize());
    EXPECT_EQ(waitChild(spawnChild("expect shared 10")), 0);
}

TEST_F(UserDefaultsTest, StandardDefaultsAndTheApplicationGroupSuiteComeFromTheBundle) {
    auto folder = home_.root() / "bundle";
    std::filesystem::create_directories(folder);
    PlistValue::Dictionary info{{"CFBundleIdentifier", PlistValue("org.example.App")}};
    ASSERT_TRUE(Data::fromString(foundation::PropertyList::writeXML(PlistValue(info)).value()).writeToFile(folder / "Info.plist").ok());
    foundation::Bundle::setMainBundlePath(folder);
    EXPECT_EQ(UserDefaults::standard()->filePath().filename(), "org.example.App.plist");
    EXPECT_EQ(UserDefaults::applicationGroup()->suiteName(), "group.org.example.App");
    foundation::Bundle::setMainBundlePath({});
    EXPECT_EQ(UserDefaults::suite("../escape")->filePath().parent_path(), foundation::Paths::preferences());
}
