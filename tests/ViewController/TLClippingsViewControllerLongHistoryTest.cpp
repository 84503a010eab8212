// The clippings panel over the store of 100,000 clippings that the test run
// generates once (the kit_history_store fixture): the limit shows its rows,
// and scrolling to the end of every row measures only what comes into view.
#include <gtest/gtest.h>

#include <QApplication>
#include <QAbstractButton>
#include <QHeaderView>
#include <QLabel>
#include <QScrollBar>

#include <atomic>
#include <filesystem>

#include "ViewController/TLClippingsViewController.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"
#include "views/TLCellHeightCache.h"

namespace {

namespace fs = std::filesystem;

class ClippingsPanelLongHistoryTest : public ::testing::Test {
protected:
    void SetUp() override {
        const fs::path container = home_.dataHome() / "Tavlo";
        fs::create_directories(container);
        for (const auto& file : fs::directory_iterator(TAVLO_HISTORY_STORE))
            fs::copy_file(file.path(), container / file.path().filename());
        TLCellHeightCache::sharedCache().setCachedHeights(foundation::PlistValue::Dictionary{});
        database_ = std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
            fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", container, 100});
        context_ = database_->managedObjectContext();
        ASSERT_TRUE(context_);
    }
    void TearDown() override {
        if (panel_) panel_->waitForMeasurements();
        dispatch::MainQueue::runUntilIdle();
        panel_.reset();
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
    }
    TLClippingsViewController& makePanel() {
        TLClippingsViewController::Configuration configuration;
        configuration.context = context_;
        configuration.pasteboardClippingIDs = [] { return std::nullopt; };
        panel_ = std::make_unique<TLClippingsViewController>(configuration);
        panel_->setMeasurementObserver([this] { ++measured_; });
        panel_->resize(360, 600);
        panel_->show();
        settle();
        return *panel_;
    }
    void settle() {
        for (int round = 0; round < 4; ++round) {
            QCoreApplication::processEvents();
            panel_->waitForMeasurements();
            dispatch::MainQueue::runUntilIdle();
        }
    }

    testsupport::TempHome home_;
    std::unique_ptr<TLDatabaseManager> database_;
    std::shared_ptr<store::Context> context_;
    std::unique_ptr<TLClippingsViewController> panel_;
    std::atomic<int> measured_{0};
};

TEST_F(ClippingsPanelLongHistoryTest, TheLimitShowsItsRowsAndTheEndMeasuresOnlyWhatShows) {
    auto settings = foundation::UserDefaults::applicationGroup();
    settings->setInteger(100, TLUserDefaultsClipboardSize);
    TLClippingsViewController& panel = makePanel();
    EXPECT_EQ(panel.tableView()->model()->rowCount(), 100);
    EXPECT_EQ(panel.footerLabel()->text(), QStringLiteral("100 clippings"));

    settings->setInteger(100000, TLUserDefaultsClipboardSize);
    panel.fetchClippings();
    settle();
    ASSERT_EQ(panel.tableView()->model()->rowCount(), 100000);
    EXPECT_EQ(panel.footerLabel()->text(), QStringLiteral("100000 clippings"));
    int atTop = measured_.load();
    EXPECT_GT(atTop, 0);
    EXPECT_LT(atTop, 200) << "rows within two screens only";

    QScrollBar* bar = panel.tableView()->verticalScrollBar();
    bar->setValue(bar->maximum());
    settle();
    bar->setValue(bar->maximum());  // heights near the end may have moved it
    settle();
    EXPECT_EQ(panel.tableView()->rowAt(panel.tableView()->viewport()->height() - 1), 99999);
    EXPECT_LT(measured_.load() - atTop, 400);
    EXPECT_EQ(panel.tableView()->rowHeight(99999), panel.heightOfRow(99999));
}

}  // namespace
