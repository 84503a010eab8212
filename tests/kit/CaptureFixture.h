#pragma once
// A pasteboard manager over a store in a temporary home, for the capture
// tests: the general pasteboard, the writer queue and the front application
// are the test's to choose (by default an in-memory pasteboard, the main
// queue and a fake), and the store's files are read back as they are on disk.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <thread>

#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "logging/LKLog.h"
#include "logging/TLLog.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "tests/logging/RecordingLogger.h"
#include "tests/support/FakeFrontApplication.h"
#include "tests/support/TempHome.h"

namespace capturetest {

namespace fs = std::filesystem;

inline fs::path modelResource() { return fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd"; }

class CaptureFixture : public ::testing::Test {
protected:
    void SetUp() override {
        TLSettings()->setBool(true, TLUserDefaultsCaptureClipboard);
        database_ = std::make_unique<TLDatabaseManager>(
            TLDatabaseManager::Configuration{modelResource(), home_.dataHome() / "Tavlo", 100});
        auto coordinator = database_->persistentStoreCoordinator();
        ASSERT_TRUE(coordinator && coordinator->hasStore());
        context_ = database_->managedObjectContext();
        logger_ = std::make_shared<RecordingLogger>();
        logger_->onMessage = [this](const LKLogMessage& message) {
            std::lock_guard lock(errorsMutex_);
            if (message.flag() == LKLogFlagError) errors_.emplace_back(message.context(), message.message());
        };
        LKLog::addLogger(logger_);
        notificationToken_ = foundation::NotificationCenter::defaultCenter().addObserver(
            TLClipboardDidUpdateNotification, nullptr, [this](const foundation::Notification& n) {
                auto ids = n.valueAs<std::vector<std::string>>();
                notifications_.push_back(ids ? *ids : std::vector<std::string>{});
            });
    }
    void TearDown() override {
        manager_.reset();
        foundation::NotificationCenter::defaultCenter().removeObserver(notificationToken_);
        LKLog::flushLog();
        LKLog::removeLogger(logger_);
    }

    // The manager over the test's pasteboard (an in-memory one unless set).
    TLPasteboardManager& start(TLPasteboardManager::Configuration configuration = {}) {
        if (!configuration.generalPasteboard) {
            general_ = std::make_shared<TLMacPasteboard>();
            general_->setPasteboard(memory_);
            configuration.generalPasteboard = general_;
        }
        general_ = configuration.generalPasteboard;
        configuration.managedObjectContext = context_;
        if (!configuration.frontApplication) configuration.frontApplication = front_;
        if (!configuration.writerQueue) configuration.writerQueue = dispatch::Queue::main();
        manager_ = std::make_shared<TLPasteboardManager>(std::move(configuration));
        return *manager_;
    }

    // Another program replaces the in-memory clipboard's content.
    void copy(std::vector<desktop::PasteboardItem> items) { memory_->externalWrite(std::move(items)); }
    // One tick of the application's timer, and the work it queued on the main queue.
    void tick() {
        foundation::NotificationCenter::defaultCenter().post(TLTimerTickNotification);
        dispatch::MainQueue::runUntilIdle();
    }
    // Runs the main queue until done() holds (work on other queues may feed it).
    template <class Done>
    bool runUntil(Done done, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // The clippings as the store file holds them (what was saved), newest first.
    std::vector<std::shared_ptr<Clipping>> savedClippings() {
        // The main context's saves reach the file on the parent's queue.
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
        // A context of its own: it sees only what reached the store.
        auto fresh = std::make_shared<store::Context>(database_->persistentStoreCoordinator());
        store::FetchRequest request(Clipping::kEntityName);
        request.sortDescriptors = {{"tavloDate", false}};
        request.returnsObjectsAsFaults = false;
        auto found = fresh->fetch(request);
        std::vector<std::shared_ptr<Clipping>> out;
        if (found)
            for (auto& o : found.value()) out.push_back(std::static_pointer_cast<Clipping>(o));
        keep_.push_back(std::move(fresh));
        return out;
    }
    std::shared_ptr<List> makeList(const std::string& listID, const std::string& name) {
        auto list = std::static_pointer_cast<List>(context_->insertNewObject(List::kEntityName));
        list->setListID(listID);
        list->setName(name);
        EXPECT_TRUE(context_->save().ok());
        return list;
    }
    // The names of the files in the clipping's asset folder.
    static std::set<std::string> assetFiles(const Clipping& clipping) {
        std::set<std::string> out;
        auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping.clippingID());
        std::error_code ec;
        if (folder)
            for (fs::directory_iterator it(folder->filePath(), ec), end; !ec && it != end; it.increment(ec))
                out.insert(it->path().filename().string());
        return out;
    }
    static std::set<std::string> assetNames(const Clipping& clipping) {
        std::set<std::string> out;
        for (auto& asset : clipping.assets()) out.insert(asset->filename().value_or(""));
        return out;
    }
    std::vector<std::string> logLines() {
        LKLog::flushLog();
        return logger_->lines();
    }
    // The error lines logged in a context.
    std::vector<std::string> errorsIn(int64_t context) {
        LKLog::flushLog();
        std::lock_guard lock(errorsMutex_);
        std::vector<std::string> out;
        for (auto& [c, text] : errors_)
            if (c == context) out.push_back(text);
        return out;
    }
    size_t logged(const std::string& line) {
        auto lines = logLines();
        return size_t(std::count(lines.begin(), lines.end(), line));
    }

    testsupport::TempHome home_;
    std::unique_ptr<TLDatabaseManager> database_;
    std::shared_ptr<store::Context> context_;
    std::shared_ptr<desktop::MemoryPasteboard> memory_ = std::make_shared<desktop::MemoryPasteboard>();
    std::shared_ptr<TLPasteboard> general_;
    std::shared_ptr<testsupport::FakeFrontApplication> front_ = std::make_shared<testsupport::FakeFrontApplication>();
    std::shared_ptr<RecordingLogger> logger_;
    std::shared_ptr<TLPasteboardManager> manager_;
    std::vector<std::vector<std::string>> notifications_;
    std::mutex errorsMutex_;
    std::vector<std::pair<int64_t, std::string>> errors_;
    foundation::NotificationCenter::Token notificationToken_ = 0;
    std::vector<std::shared_ptr<store::Context>> keep_;  // the contexts of clippings handed out
};

}  // namespace capturetest
