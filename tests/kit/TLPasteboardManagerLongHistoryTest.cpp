// Capture over a long history: the store of 100,000 clippings that the test
// run generates once (the kit_history_store fixture), with the limit at
// 100,000, so every capture trims one clipping.

#include "tests/kit/CaptureFixture.h"

#include <map>
#include <mutex>

#include "tests/platform/desktop/PasteboardTestSupport.h"

namespace {

using pasteboardtest::item;
namespace fs = std::filesystem;
constexpr int64_t kHistory = 100000;

class TLPasteboardManagerLongHistoryTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        const fs::path container = home_.dataHome() / "Tavlo";
        fs::create_directories(container);
        for (const auto& file : fs::directory_iterator(TAVLO_HISTORY_STORE))
            fs::copy_file(file.path(), container / file.path().filename());
        TLSettings()->setInteger(kHistory, TLUserDefaultsClipboardSize);
        CaptureFixture::SetUp();
    }

    // Waits for the parent context's writes, then for what they handed to the main queue.
    void settle() {
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
        dispatch::MainQueue::runUntilIdle();
    }
    // How many clippings the store file holds that match the predicate.
    int64_t stored(const std::string& format = "clippingID != NULL", std::vector<store::Value> arguments = {}) {
        store::Context fresh(database_->persistentStoreCoordinator());
        store::FetchRequest request(Clipping::kEntityName);
        request.predicate = store::Predicate::withFormatArguments(format, arguments).value();
        return fresh.count(request).valueOr(-1);
    }
};

TEST_F(TLPasteboardManagerLongHistoryTest, ACaptureAtTheLimitTrimsWhereTheStoreIsWritten) {
    // Which thread logged each line: the trim's count, fetch and sort must not
    // be the main thread's.
    std::mutex mutex;
    std::map<std::string, std::string> threads;
    auto recorder = std::make_shared<RecordingLogger>();
    recorder->onMessage = [&](const LKLogMessage& message) {
        std::lock_guard lock(mutex);
        threads[message.message()] = message.threadID();
    };
    LKLog::addLogger(recorder);
    start();
    settle();
    ASSERT_EQ(stored(), kHistory);

    copy({item({{foundation::kUTTypeUTF8PlainText, "a text at the limit"}})});
    tick();
    settle();
    LKLog::flushLog();
    LKLog::removeLogger(recorder);

    std::lock_guard lock(mutex);
    const std::string onMain = threads["Trim Tavlo history to limit 100000"];
    ASSERT_FALSE(onMain.empty());
    ASSERT_TRUE(threads.count("Tavlo history is 1 over the limit"));
    EXPECT_NE(threads["Tavlo history is 1 over the limit"], onMain);
    EXPECT_EQ(stored(), kHistory);
    EXPECT_EQ(stored("text == %@", {store::Value("a text at the limit")}), 1);
    EXPECT_EQ(stored("clippingID == %@", {store::Value("C-00000000-0000-0000-0000-000000000000")}), 0);  // the oldest, in no list
    EXPECT_EQ(stored("clippingID == %@", {store::Value("C-00000000-0000-0000-0000-000000000001")}), 1);
}

}  // namespace
