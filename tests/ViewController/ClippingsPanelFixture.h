#pragma once
// The clippings panel over a store in a temporary home, on Qt's offscreen
// platform with the virtual clock: the fixture the panel's tests share.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLabel>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ViewController/TLClippingsViewController.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "tests/support/TempHome.h"
#include "views/TLCellHeightCache.h"

namespace panelTest {

namespace fs = std::filesystem;
using Panel = TLClippingsViewController;

class ClippingsPanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        dispatch::Clock::useVirtualTime(1000);
        TLCellHeightCache::sharedCache().setCachedHeights(foundation::PlistValue::Dictionary{});
        openStore();
    }
    void TearDown() override {
        if (panel_) drain();
        panel_.reset();
        context_.reset();
        database_.reset();
        dispatch::MainQueue::runUntilIdle();
        dispatch::Clock::useRealTime();
    }

    void openStore() {
        database_ = std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
            fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", home_.dataHome() / "Tavlo", 100});
        context_ = database_->managedObjectContext();
        ASSERT_TRUE(context_);
    }

    // A clipping copied `age` seconds before the clock's now.
    std::shared_ptr<Clipping> add(const std::string& text, double age, const std::shared_ptr<List>& list = nullptr,
                                  bool save = true) {
        auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        if (!text.empty()) clipping->setText(text);
        auto date = foundation::Date(1.7e9 - age);
        clipping->setTavloDate(date);
        clipping->setAddDate(date);
        if (list) clipping->setList(list);
        if (save) {
            EXPECT_TRUE(context_->save().ok());
        }
        return clipping;
    }
    std::shared_ptr<Clipping> addImage(const std::string& type, double age) {
        auto clipping = add("", age, nullptr, false);
        clipping->setImage(type);
        EXPECT_TRUE(context_->save().ok());
        return clipping;
    }
    std::shared_ptr<List> makeList(const std::string& name) {
        auto list = std::static_pointer_cast<List>(context_->insertNewObject(List::kEntityName));
        list->setListID("L-" + name);
        list->setName(name);
        EXPECT_TRUE(context_->save().ok());
        return list;
    }
    static fs::path assetFolder(const Clipping& clipping) {
        auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping.clippingID());
        EXPECT_TRUE(folder);
        fs::create_directories(folder->filePath());
        return folder->filePath();
    }

    Panel& makePanel(int width = 360, int height = 600) {
        // What a test sets in panelConfiguration_ (a pasteboard manager, a save) is kept.
        Panel::Configuration configuration = panelConfiguration_;
        configuration.context = context_;
        configuration.pasteboardClippingIDs = [this] { return pasteboardIDs_; };
        if (saveContext_) configuration.saveContext = saveContext_;
        panel_ = std::make_unique<Panel>(configuration);
        panel_->resize(width, height);
        panel_->show();
        drain();
        return *panel_;
    }
    // A pasteboard manager over a clipboard in memory, writing its copies on
    // the main queue and telling the front application given; the panel made
    // next uses both.
    void useMemoryClipboard(std::shared_ptr<desktop::FrontApplication> front) {
        memory_ = std::make_shared<desktop::MemoryPasteboard>();
        general_ = std::make_shared<TLMacPasteboard>();
        general_->setPasteboard(memory_);
        TLPasteboardManager::Configuration configuration;
        configuration.generalPasteboard = general_;
        configuration.managedObjectContext = context_;
        configuration.frontApplication = front;
        configuration.writerQueue = dispatch::Queue::main();
        manager_ = std::make_shared<TLPasteboardManager>(std::move(configuration));
        panelConfiguration_.pasteboardManager = manager_;
        panelConfiguration_.frontApplication = std::move(front);
    }
    // Runs the measuring and thumbnail queues and what they hand back, until quiet.
    void drain() {
        for (int round = 0; round < 6; ++round) {
            QCoreApplication::processEvents();
            if (panel_) panel_->waitForMeasurements();
            if (panel_) panel_->previewImageOperationQueue()->sync([] {});
            dispatch::MainQueue::runUntilIdle();
        }
    }
    void advance(double seconds) {
        dispatch::Clock::advance(seconds);
        dispatch::MainQueue::runUntilIdle();
    }

    // The clippings the panel shows, by identifier.
    std::vector<std::string> shown() const {
        std::vector<std::string> ids;
        for (int row = 0; row < panel_->tableView()->model()->rowCount(); ++row)
            ids.push_back(panel_->clippingAtRow(row)->clippingID().value_or(""));
        return ids;
    }
    // The first rows the fetch holds, capped as the panel caps them.
    std::vector<std::string> expected() {
        std::vector<std::string> ids;
        auto& controller = panel_->clippingsController();
        int64_t rows = panel_->numberOfRows();
        for (int64_t i = 0; i < rows; ++i)
            ids.push_back(std::static_pointer_cast<Clipping>(controller.objectAtIndex(uint64_t(i)))->clippingID().value_or(""));
        return ids;
    }
    QColor footerColor() const { return panel_->footerLabel()->palette().color(QPalette::WindowText); }

    testsupport::TempHome home_;
    std::unique_ptr<TLDatabaseManager> database_;
    std::shared_ptr<store::Context> context_;
    std::unique_ptr<Panel> panel_;
    std::optional<std::vector<std::string>> pasteboardIDs_;
    Panel::Configuration panelConfiguration_;
    std::function<foundation::Result<void>(store::Context&)> saveContext_;
    std::shared_ptr<desktop::MemoryPasteboard> memory_;
    std::shared_ptr<TLMacPasteboard> general_;
    std::shared_ptr<TLPasteboardManager> manager_;
};

}  // namespace panelTest
