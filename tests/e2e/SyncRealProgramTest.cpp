// The real programs: two Tavlo processes, each with its own X server (its own
// clipboard), its own session bus (the bus name keeps one instance per
// session) and its own folders, sync switched on in each settings suite
// before launch and the account chosen with tavlo-cloud use, as the README's
// "Sync between computers" says. Copies go in with xclip on A's display; B is
// read from its store ("datastore", read-only), its clipboard (xclip -o on its
// display) and the notifications on its session bus. Once both have quit, each
// device's folders are opened by sync_device, which fetches and dumps, and
// the checker compares them with the zone.

#include <gtest/gtest.h>

#include <signal.h>


#include "kit/TLUserDefaultsKeys.h"
#include "tests/e2e/RealProgram.h"
#include "tests/e2e/NotificationWatch.h"
#include "tests/e2e/SyncE2EFixture.h"

namespace e2e {
namespace {

using foundation::PlistValue;
using testsupport::runCommand;

class SyncRealPrograms : public SyncE2EFixture {
protected:
    void SetUp() override {
        SyncE2EFixture::SetUp();
        if (HasFatalFailure()) return;
        if (runCommand({"sh", "-c", "command -v Xvfb && command -v xclip && command -v sqlite3 && command -v dbus-daemon"},
                       std::chrono::seconds(5))
                .status != 0)
            FAIL() << "the real programs need Xvfb, xclip, sqlite3 and dbus-daemon: run scripts/setup";
        // What a user who switched sync on has in the settings file.
        for (auto* device : {a_.get(), b_.get()})
            ASSERT_TRUE(writeSettings(device->configHome(), "group.com.tavlo.Tavlo",
                                      {{TLUserDefaultsInitialized, PlistValue(true)},
                                       {TLUserDefaultsCaptureClipboard, PlistValue(true)},
                                       {TLUserDefaultsSyncEnabled, PlistValue(true)},
                                       // The window stays hidden: with it in front a synced clipboard is not announced.
                                       {TLUserDefaultsHideWindowOnLaunchKey, PlistValue(true)},
                                       {TLUserDefaultsClipboardSize, PlistValue(int64_t{100})}}));
        realA_ = std::make_unique<RealProgram>(*a_);
        realB_ = std::make_unique<RealProgram>(*b_);
    }
    void TearDown() override {
        realA_.reset();
        realB_.reset();
        SyncE2EFixture::TearDown();
    }
    // Once the programs have quit: each store opened by sync_device, then compared.
    ::testing::AssertionResult convergedAfterQuit(const std::string& scenario) {
        realA_->quit();
        realB_->quit();
        if (auto a = launch(*a_); !a) return a;
        if (auto b = launch(*b_); !b) return b;
        return converged(scenario);
    }
    template <class Done>
    static bool within(std::chrono::seconds limit, Done done) {
        return eventually(done, limit);
    }

    std::unique_ptr<RealProgram> realA_, realB_;
};

TEST_P(SyncRealPrograms, ATextAndAnImageCopiedOnAReachB) {
    ASSERT_TRUE(realA_->start());
    ASSERT_TRUE(realB_->start());
    ASSERT_TRUE(realA_->copyText("copied on A"));
    EXPECT_TRUE(within(std::chrono::seconds(60), [&] {
        return realB_->query("SELECT count(*) FROM Clipping WHERE text = 'copied on A'") == "1\n";
    })) << realB_->log("Sync");
    ASSERT_TRUE(realA_->copyImage(resource("AppIcon.png")));
    EXPECT_TRUE(within(std::chrono::seconds(60), [&] {
        return realB_->query("SELECT count(*) FROM Asset WHERE filename LIKE '%.public.png'") == "1\n";
    })) << realB_->log("Sync");
    EXPECT_TRUE(convergedAfterQuit("a text and an image copied on A, real programs"));
}

TEST_P(SyncRealPrograms, AKilledDuringAnUploadAndRestartedLosesNoCapture) {
    ASSERT_TRUE(realA_->start());
    ASSERT_TRUE(realB_->start());
    auto onB = [&](const std::string& text) {
        return within(std::chrono::seconds(60), [&] {
            return realB_->query("SELECT count(*) FROM Clipping WHERE text = '" + text + "'") == "1\n";
        });
    };
    ASSERT_TRUE(realA_->copyText("before the kill"));
    ASSERT_TRUE(onB("before the kill")) << realB_->log("Sync");
    {
        // The server answers slowly: A's upload stays open while it captures.
        auto hold = account_->holdWrites();
        ASSERT_TRUE(hold);
        ASSERT_TRUE(realA_->copyText("during the upload 1"));
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        ASSERT_TRUE(realA_->copyText("during the upload 2"));
        std::this_thread::sleep_for(std::chrono::milliseconds(3500));
        realA_->kill();
    }
    ASSERT_TRUE(realA_->start());
    for (const char* text : {"during the upload 1", "during the upload 2"}) EXPECT_TRUE(onB(text)) << text << "\n" << realA_->log("Sync");
    EXPECT_TRUE(convergedAfterQuit("A killed during an upload and restarted, real programs"));
}

TEST_P(SyncRealPrograms, TheClipboardFollowsAOnBAsTheSettingsFileSays) {
    ASSERT_TRUE(realA_->start());
    ASSERT_TRUE(realB_->start());
    // B announces on its own session bus, the one started last: the recorder takes its name there.
    auto watch = NotificationWatch::start();
    ASSERT_TRUE(watch) << "no notification service on B's session bus";
    auto notifications = [&](size_t atLeast) { return watch->notified(atLeast); };
    auto clipboardOfBBecomes = [&](const std::string& text) {
        return within(std::chrono::seconds(30), [&] { return realB_->clipboard() == text; });
    };
    auto onB = [&](const std::string& text) {
        return within(std::chrono::seconds(60), [&] {
            return realB_->query("SELECT count(*) FROM Clipping WHERE text = '" + text + "'") == "1\n";
        });
    };
    const std::map<std::string, PlistValue> on = {{TLUserDefaultsClipboardSync, PlistValue(true)},
                                                  {TLUserDefaultsShowClipboardSyncPushNotifications, PlistValue(true)},
                                                  {TLUserDefaultsShowClipboardContentInNotification, PlistValue(false)}};
    ASSERT_TRUE(realA_->set(on));
    ASSERT_TRUE(realB_->set(on));
    std::this_thread::sleep_for(std::chrono::seconds(2));  // the folder watch's turn

    ASSERT_TRUE(realA_->copyText("first synced"));
    EXPECT_TRUE(clipboardOfBBecomes("first synced")) << realB_->log("Sync");
    EXPECT_EQ(notifications(1), std::vector<std::string>{"Notify Tavlo | Clipboard Synced"});

    // With the content shown, the notification carries the text.
    ASSERT_TRUE(realB_->set({{TLUserDefaultsShowClipboardContentInNotification, PlistValue(true)}}));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(realA_->copyText("second synced"));
    EXPECT_TRUE(clipboardOfBBecomes("second synced")) << realB_->log("Sync");
    EXPECT_EQ(notifications(2), (std::vector<std::string>{"Notify Tavlo | Clipboard Synced", "Notify Tavlo | second synced"}));

    // Off on A: the copy reaches B's history, not its clipboard.
    ASSERT_TRUE(realA_->set({{TLUserDefaultsClipboardSync, PlistValue(false)}}));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(realA_->copyText("kept off"));
    EXPECT_TRUE(onB("kept off"));
    EXPECT_EQ(realB_->clipboard(), "second synced");

    // Notifications off on B: the clipboard follows unannounced.
    ASSERT_TRUE(realB_->set({{TLUserDefaultsShowClipboardSyncPushNotifications, PlistValue(false)}}));
    ASSERT_TRUE(realA_->set({{TLUserDefaultsClipboardSync, PlistValue(true)}}));
    std::this_thread::sleep_for(std::chrono::seconds(2));
    ASSERT_TRUE(realA_->copyText("unannounced"));
    EXPECT_TRUE(clipboardOfBBecomes("unannounced")) << realB_->log("Sync");
    EXPECT_EQ(notifications(2).size(), 2u);
    EXPECT_TRUE(convergedAfterQuit("clipboard sync, real programs"));
}

TEST_P(SyncRealPrograms, AClockAnHourAheadIsMeasuredAgainstTheServer) {
    ASSERT_TRUE(realA_->start({{"TAVLO_CLOCK_OFFSET", "3600"}}));
    ASSERT_TRUE(realB_->start());
    // The launch pass measures the server's clock and keeps the difference.
    auto measured = [&](DeviceProcess& device) {
        PlistValue offset;
        EXPECT_TRUE(within(std::chrono::seconds(30), [&] {
            offset = readSetting(device.configHome(), "group.com.tavlo.Tavlo", TLUserDefaultsServerTimeOffset);
            return offset.asReal().has_value();
        })) << device.name() << " stored no offset";
        return offset.asReal().value_or(1e9);
    };
    EXPECT_NEAR(measured(*a_), -3600, 60) << realA_->log("Sync");
    EXPECT_NEAR(measured(*b_), 0, 60) << realB_->log("Sync");
    ASSERT_TRUE(realA_->copyText("from an hour ahead"));
    EXPECT_TRUE(within(std::chrono::seconds(60), [&] {
        return realB_->query("SELECT count(*) FROM Clipping WHERE text = 'from an hour ahead'") == "1\n";
    })) << realB_->log("Sync");
    EXPECT_TRUE(convergedAfterQuit("A's clock an hour ahead, real programs"));
}

INSTANTIATE_TEST_SUITE_P(Backends, SyncRealPrograms, ::testing::Values(Backend::Embedded, Backend::Postgresql),
                         backendName);

}  // namespace
}  // namespace e2e
