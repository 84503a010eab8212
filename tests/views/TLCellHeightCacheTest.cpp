// The row height cache: keys, missing values, deletion against a writing
// thread, the bounded store in the settings file, and a new process.
//
// Under ThreadSanitizer, by hand (the CI build uses Address and Undefined):
//   cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTAVLO_BUILD_BENCH=OFF
//     -DCMAKE_CXX_FLAGS=-fsanitize=thread -DCMAKE_EXE_LINKER_FLAGS=-fsanitize=thread
//   cmake --build build/tsan --target clipping_rows_tests -j3
//   QT_QPA_PLATFORM=offscreen build/tsan/tests/views/clipping_rows_tests --gtest_filter='TLCellHeightCacheTest.*'
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"
#include "views/TLCellHeightCache.h"

namespace {

using foundation::PlistValue;
using Cache = TLCellHeightCache;

class TLCellHeightCacheTest : public ::testing::Test {
protected:
    void SetUp() override { Cache::sharedCache().setCachedHeights(std::nullopt); }
    void TearDown() override { Cache::sharedCache().setCachedHeights(std::nullopt); }
    static std::shared_ptr<foundation::UserDefaults> suite() { return foundation::UserDefaults::applicationGroup(); }

    testsupport::TempHome home_;
};

TEST_F(TLCellHeightCacheTest, WidthKeysAreShortestDecimals) {
    EXPECT_EQ(Cache::widthKey(320), "320");
    EXPECT_EQ(Cache::widthKey(320.0), "320");
    EXPECT_EQ(Cache::widthKey(320.5), "320.5");
    EXPECT_EQ(Cache::widthKey(0.1), "0.1");
}

TEST_F(TLCellHeightCacheTest, HeightsComeBackInSinglePrecisionAtTheirWidthOnly) {
    EXPECT_EQ(Cache::cellHeightForClipping("C-never", 320), 0.0f);
    Cache::setCellHeight(57.3, "C-1", 320);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 320.0), 57.3f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 320.5), 0.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-2", 320), 0.0f);
    // A second and a third width: the current and the previous one stay.
    Cache::setCellHeight(40, "C-1", 400);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 320), 57.3f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 400), 40.0f);
    Cache::setCellHeight(30, "C-1", 500);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 400), 40.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 500), 30.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 320), 0.0f);
    // Bad heights and widths store nothing; a long identifier works as a short one.
    Cache::setCellHeight(-1, "C-3", 320);
    Cache::setCellHeight(std::nan(""), "C-3", 320);
    Cache::setCellHeight(10, "C-3", std::numeric_limits<double>::infinity());
    EXPECT_EQ(Cache::cellHeightForClipping("C-3", 320), 0.0f);
    std::string longID(100, 'L');
    Cache::setCellHeight(12, longID, 320);
    EXPECT_EQ(Cache::cellHeightForClipping(longID, 320), 12.0f);
}

TEST_F(TLCellHeightCacheTest, StoredValuesThatAreNoHeightsReadAsMissing) {
    PlistValue::Dictionary widths{{"320", PlistValue(std::string("57"))},
                                  {"321", PlistValue(std::nan(""))},
                                  {"322", PlistValue(std::numeric_limits<double>::infinity())},
                                  {"323", PlistValue(-4.0)},
                                  {"abc", PlistValue(9.0)},
                                  {"324", PlistValue(int64_t{44})}};
    suite()->setObject(PlistValue(PlistValue::Dictionary{{"C-1", PlistValue(widths)}, {"C-2", PlistValue("x")}}),
                       Cache::kSettingsKey);
    for (double width : {320.0, 321.0, 322.0, 323.0}) EXPECT_EQ(Cache::cellHeightForClipping("C-1", width), 0.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-1", 324), 44.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-2", 320), 0.0f);
}

TEST_F(TLCellHeightCacheTest, ADeletionIsNeverUndoneByALaterWrite) {
    Cache::setCellHeight(50, "C-gone", 320);
    Cache::setCellHeight(60, "C-gone", 400);
    Cache::deleteCellHeightForClipping(std::string("C-gone"));
    Cache::deleteCellHeightForClipping(std::nullopt);
    Cache::setCellHeight(70, "C-other", 320);
    EXPECT_EQ(Cache::cellHeightForClipping("C-gone", 320), 0.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-gone", 400), 0.0f);
    Cache::storeNow();
    Cache::sharedCache().setCachedHeights(std::nullopt);  // read back from the settings
    EXPECT_EQ(Cache::cellHeightForClipping("C-gone", 320), 0.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-other", 320), 70.0f);
}

TEST_F(TLCellHeightCacheTest, AWritingThreadNeverBringsBackWhatTheMainThreadDeleted) {
    constexpr int kClippings = 2000;
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < kClippings; ++i) Cache::setCellHeight(i, "C-w" + std::to_string(i), 320);
        done = true;
    });
    int deleted = 0;
    while (!done) {
        Cache::setCellHeight(1, "C-victim", 320);
        Cache::deleteCellHeightForClipping(std::string("C-victim"));
        EXPECT_EQ(Cache::cellHeightForClipping("C-victim", 320), 0.0f);
        (void)Cache::cellHeightForClipping("C-w" + std::to_string(deleted++ % kClippings), 320);
    }
    writer.join();
    EXPECT_EQ(Cache::cellHeightForClipping("C-victim", 320), 0.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-w1999", 320), 1999.0f);
    EXPECT_EQ(Cache::sharedCache().count(), size_t(kClippings));
}

TEST_F(TLCellHeightCacheTest, PruningDropsWhatTheStoreNoLongerHolds) {
    Cache::setCellHeight(10, "C-kept", 320);
    Cache::setCellHeight(10, "C-dropped", 320);
    Cache::setCellHeight(10, std::string(60, 'k'), 320);
    Cache::pruneToClippingIDs({"C-kept", std::string(60, 'k')});
    EXPECT_EQ(Cache::cellHeightForClipping("C-kept", 320), 10.0f);
    EXPECT_EQ(Cache::cellHeightForClipping(std::string(60, 'k'), 320), 10.0f);
    EXPECT_EQ(Cache::cellHeightForClipping("C-dropped", 320), 0.0f);

    // Or asked about the identifiers it holds, and told which went.
    auto ids = Cache::clippingIDs();
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(ids, (std::vector<std::string>{"C-kept", std::string(60, 'k')}));
    Cache::deleteCellHeightsForClippings({std::string(60, 'k'), "C-unknown"});
    EXPECT_EQ(Cache::clippingIDs(), std::vector<std::string>{"C-kept"});
}

TEST_F(TLCellHeightCacheTest, TheSettingsHearOfChangesAtMostEveryFiveSeconds) {
    dispatch::Clock::useVirtualTime(1000);
    Cache::setCellHeight(10, "C-1", 320);
    EXPECT_TRUE(suite()->objectForKey(Cache::kSettingsKey).isNull());
    dispatch::Clock::advance(4.9);
    EXPECT_TRUE(suite()->objectForKey(Cache::kSettingsKey).isNull());
    dispatch::Clock::advance(0.2);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (suite()->objectForKey(Cache::kSettingsKey).isNull() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    dispatch::Clock::useRealTime();
    auto stored = suite()->dictionaryForKey(Cache::kSettingsKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->at("C-1").get("320")->doubleValue(), 10.0);
}

TEST_F(TLCellHeightCacheTest, AHundredThousandClippingsLeaveASmallSettingsFile) {
    suite()->setInteger(7, "OtherSetting");
    for (int i = 0; i < 100000; ++i) {
        std::string id = "C-" + std::to_string(i) + "-0000-0000-0000-000000000000";
        Cache::setCellHeight(40 + i % 50, id, 320);
        Cache::setCellHeight(41 + i % 50, id, 400.5);
    }
    Cache::storeNow();
    ASSERT_TRUE(suite()->synchronize());
    auto size = std::filesystem::file_size(suite()->filePath());
    EXPECT_LT(size, 2u << 20);
    auto stored = suite()->dictionaryForKey(Cache::kSettingsKey);
    ASSERT_TRUE(stored);
    EXPECT_EQ(stored->size(), Cache::kStoredClippings);
    // The most recently used ones, each with both widths.
    const auto* last = stored->at("C-99999-0000-0000-0000-000000000000").asDictionary();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->size(), 2u);
    EXPECT_EQ(stored->count("C-0-0000-0000-0000-000000000000"), 0u);
    EXPECT_EQ(suite()->integerForKey("OtherSetting"), 7);
}

// A new process finds the heights an earlier one stored: the parent stores and
// synchronises, then runs this disabled test in a child, which reads them.
TEST_F(TLCellHeightCacheTest, ANewProcessFindsTheHeights) {
    Cache::setCellHeight(57.3, "C-kept", 320);
    Cache::storeNow();
    ASSERT_TRUE(suite()->synchronize());
    auto result = testsupport::runCommand(
        {"/proc/self/exe", "--gtest_also_run_disabled_tests",
         "--gtest_filter=TLCellHeightCacheChild.DISABLED_FindsTheStoredHeight"},
        std::chrono::seconds(60));
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_NE(result.output.find("[  PASSED  ] 1 test"), std::string::npos) << result.output;
}

TEST(TLCellHeightCacheChild, DISABLED_FindsTheStoredHeight) {
    EXPECT_EQ(Cache::cellHeightForClipping("C-kept", 320), 57.3f);
}

}  // namespace
