#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/UserDefaultsWatch.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"

using foundation::PlistValue;
using foundation::UserDefaults;

namespace {

class UserDefaultsWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatch::UserDefaultsWatch::install();
        suite_ = UserDefaults::suite("watch.test");
    }
    void TearDown() override {
        dispatch::UserDefaultsWatch::uninstall();
        dispatch::MainQueue::runUntilIdle();
    }

    // Replaces the suite's file the way another process's write does: a whole
    // new file renamed over it.
    void replaceFile(const PlistValue::Dictionary& values) {
        auto text = foundation::PropertyList::writeXML(PlistValue(values));
        ASSERT_TRUE(text.ok());
        ASSERT_TRUE(foundation::Data::fromString(text.value()).writeToFile(suite_->filePath(), 0600).ok());
    }

    // Runs the main queue until the key reads the value (or five seconds pass).
    bool pumpUntil(const std::string& key, const std::string& value) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (suite_->stringForKey(key) != value) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    testsupport::TempHome home_;
    std::shared_ptr<UserDefaults> suite_;
};

}  // namespace

TEST_F(UserDefaultsWatchTest, AReplacedFileIsReadOffTheMainThreadAndLaidInOnIt) {
    suite_->setObject(PlistValue("one"), "key");
    ASSERT_TRUE(suite_->synchronize());
    std::vector<std::string> heard;
    auto token = suite_->addObserver("key", [&](const std::string& key) {
        EXPECT_TRUE(dispatch::Queue::main()->isCurrent());
        heard.push_back(suite_->stringForKey(key).value_or("nil"));
    });
    replaceFile({{"key", PlistValue("two")}});
    // A read on the main thread answers what it holds: the file is read elsewhere
    // and laid in only when the main queue runs.
    EXPECT_EQ(suite_->stringForKey("key"), "one");
    ASSERT_TRUE(pumpUntil("key", "two"));
    EXPECT_EQ(heard, std::vector<std::string>{"two"});
    suite_->removeObserver(token);
}

TEST_F(UserDefaultsWatchTest, LocalUnwrittenChangesWinOverAReplacedFile) {
    suite_->setObject(PlistValue("one"), "key");
    ASSERT_TRUE(suite_->synchronize());
    suite_->setObject(PlistValue("mine"), "local");  // not yet written
    replaceFile({{"key", PlistValue("two")}, {"local", PlistValue("theirs")}});
    ASSERT_TRUE(pumpUntil("key", "two"));
    EXPECT_EQ(suite_->stringForKey("local"), "mine");
}

TEST_F(UserDefaultsWatchTest, WithoutTheWatchReadsCheckTheFileAgain) {
    suite_->setObject(PlistValue("one"), "key");
    ASSERT_TRUE(suite_->synchronize());
    dispatch::UserDefaultsWatch::uninstall();
    replaceFile({{"key", PlistValue("two")}});
    EXPECT_EQ(suite_->stringForKey("key"), "two");
}
