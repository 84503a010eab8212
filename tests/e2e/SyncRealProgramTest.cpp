// The real programs: two Tavlo processes, each with its own X server (its own
// clipboard), its own session bus (the bus name keeps one instance per
// session) and its own folders, sync switched on in each settings suite
// before launch and the account chosen with tavlo-cloud use, as the README's
// "Sync between computers" says. Copies go in with xclip on A's display; B is
// read from its store ("datastore", read-only). Once both have quit, each
// device's folders are opened by sync_device, which fetches and dumps, and
// the checker compares them with the zone.

#include <gtest/gtest.h>

#include <signal.h>

#include "kit/TLUserDefaultsKeys.h"
#include "tests/e2e/SyncE2EFixture.h"
#include "tests/support/PrivateServers.h"

namespace e2e {
namespace {

using foundation::PlistValue;
using testsupport::runCommand;

// One running Tavlo on a device's folders.
class RealProgram {
public:
    explicit RealProgram(DeviceProcess& device) : device_(device) {}
    ~RealProgram() { quit(); }

    ::testing::AssertionResult start() {
        if (!display_) display_ = testsupport::PrivateXServer::start("800x600x24");
        if (!bus_) bus_ = testsupport::PrivateSessionBus::start();
        if (!display_ || !bus_) return ::testing::AssertionFailure() << "no X server or session bus for " << device_.name();
        auto env = device_.environment();
        env["DISPLAY"] = display_->display();
        env["DBUS_SESSION_BUS_ADDRESS"] = bus_->address();
        env["QT_QPA_PLATFORM"] = "xcb";
        program_ = testsupport::ChildProcess::start({TAVLO_PROGRAM}, env);
        if (!program_) return ::testing::AssertionFailure() << device_.name() << ": Tavlo did not start";
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (log("General").find("Application did finish launching") == std::string::npos) {
            if (std::chrono::steady_clock::now() > end || !program_->running())
                return ::testing::AssertionFailure() << device_.name() << ": Tavlo never finished launching\n" << log("General");
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        return ::testing::AssertionSuccess();
    }
    // Ends the program as a user quitting it would (its store written).
    void quit() {
        if (!program_ || !program_->running()) return;
        program_->signal(SIGTERM);
        program_->wait(std::chrono::seconds(20));
    }
    void kill() {
        if (program_) program_->signal(SIGKILL), program_->wait(std::chrono::seconds(10));
    }
    // Another program on this device's display copies text, or a PNG file.
    bool copyText(const std::string& text) const {
        return runCommand({"sh", "-c", "printf '%s' \"$0\" | xclip -display \"$1\" -selection clipboard >/dev/null 2>&1",
                           text, display_->display()},
                          std::chrono::seconds(10))
                   .status == 0;
    }
    bool copyImage(const std::string& file) const {
        return runCommand({"sh", "-c", "xclip -display \"$1\" -selection clipboard -t image/png -i \"$0\" >/dev/null 2>&1",
                           file, display_->display()},
                          std::chrono::seconds(10))
                   .status == 0;
    }
    // A query on the store, opened read-only beside the running program.
    std::string query(const std::string& sql) const {
        return runCommand({"sqlite3", "-readonly", (device_.dataHome() / "Tavlo" / "datastore").string(), sql},
                          std::chrono::seconds(10))
            .output;
    }
    std::string log(const std::string& context) const {
        return runCommand({"sh", "-c", "cat \"$0\"/Logs/Tavlo/\"$1\"/*.log 2>/dev/null", device_.dataHome().string(), context},
                          std::chrono::seconds(5))
            .output;
    }

private:
    DeviceProcess& device_;
    std::unique_ptr<testsupport::PrivateXServer> display_;
    std::unique_ptr<testsupport::PrivateSessionBus> bus_;
    std::unique_ptr<testsupport::ChildProcess> program_;
};

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

INSTANTIATE_TEST_SUITE_P(Backends, SyncRealPrograms, ::testing::Values(Backend::Embedded, Backend::Postgresql),
                         backendName);

}  // namespace
}  // namespace e2e
