#pragma once
// Capture on a real X server: the system clipboard is the general pasteboard,
// read off the main thread as the application reads it, and the application's
// 0.25 s tick drives the manager while the test runs the event loop.

#include <QCoreApplication>
#include <QGuiApplication>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "kit/NSTimerBlocks.h"
#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/SystemPasteboard.h"
#include "tests/kit/CaptureFixture.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/RequireDisplay.h"

namespace capturetest {

class CaptureX11Fixture : public CaptureFixture {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(qGuiApp, "needs an X server (DISPLAY is not set)");
        CaptureFixture::SetUp();
    }
    void TearDown() override {
        if (timer_) timer_->invalidate();
        if (logger_) CaptureFixture::TearDown();
    }
    bool setUpFailed() const { return IsSkipped() || HasFatalFailure(); }

    // Starts the manager on the X11 clipboard with its asset writes on a queue
    // of that label, and the tick; saveContext: how it saves (none: its own save).
    void startOnSystemClipboard(const std::string& assetQueueLabel,
                                std::function<foundation::Result<void>(store::Context&)> saveContext = {}) {
        auto clipboard = std::shared_ptr<desktop::Pasteboard>(desktop::SystemPasteboard::create());
        ASSERT_TRUE(clipboard);
        auto general = std::make_shared<TLMacPasteboard>();
        general->setPasteboard(clipboard);
        TLPasteboardManager::Configuration configuration;
        configuration.generalPasteboard = general;
        configuration.writerQueue = dispatch::Queue::createSerial(assetQueueLabel);
        configuration.frontApplication = desktop::FrontApplication::create();
        configuration.clipboardReader = desktop::ClipboardReader::open();
        configuration.saveContext = std::move(saveContext);
        start(std::move(configuration));
        timer_ = NSTimerBlocks::scheduledTimerWithTimeInterval(
            0.25, [] { foundation::NotificationCenter::defaultCenter().post(TLTimerTickNotification); }, true);
    }

    // Runs the application's event loop until done() holds or the time is up.
    template <class Done>
    bool runEventsUntil(Done done, std::chrono::milliseconds limit) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
            dispatch::MainQueue::runUntilIdle();
        }
        return true;
    }
    void runEventsFor(std::chrono::milliseconds time) {
        runEventsUntil([] { return false; }, time);
    }
    // openbox on the test's X server once it has announced itself; null, with
    // a failure, when it does not come.
    std::unique_ptr<testsupport::ChildProcess> startOpenbox() {
        auto openbox = testsupport::ChildProcess::start({"openbox", "--sm-disable"});
        EXPECT_TRUE(openbox) << "openbox did not start";
        if (!openbox) return nullptr;
        const bool announced = runEventsUntil(
            [] {
                return testsupport::runCommand({"sh", "-c", "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window"},
                                               std::chrono::seconds(5))
                           .status == 0;
            },
            std::chrono::seconds(10));
        EXPECT_TRUE(announced) << "openbox did not announce itself";
        return announced ? std::move(openbox) : nullptr;
    }

    // An xterm whose Ctrl+V inserts the clipboard and which writes what it is
    // given, without line editing, to the file out; it is made the active
    // window. Null, with a failure, when it does not come.
    std::unique_ptr<testsupport::ChildProcess> startPasteTerminal(const std::string& out) {
        auto xterm = testsupport::ChildProcess::start(
            {"xterm", "-xrm", "XTerm*vt100.translations: #override Ctrl<Key>v: insert-selection(CLIPBOARD)", "-e",
             "sh", "-c", "stty -icanon; exec cat > \"$0\"", out});
        EXPECT_TRUE(xterm) << "xterm did not start";
        if (!xterm) return nullptr;
        std::string terminal;
        const bool shown = runEventsUntil(
            [&] {
                terminal = testsupport::runCommand({"xdotool", "search", "--sync", "--onlyvisible", "--class", "XTerm"},
                                                   std::chrono::seconds(5))
                               .output;
                return !terminal.empty();
            },
            std::chrono::seconds(20));
        EXPECT_TRUE(shown) << "xterm's window did not show";
        if (!shown) return nullptr;
        terminal = terminal.substr(0, terminal.find('\n'));
        const bool active =
            testsupport::runCommand({"xdotool", "windowactivate", "--sync", terminal}, std::chrono::seconds(5)).status ==
            0;
        EXPECT_TRUE(active) << "xterm's window could not be made active";
        return active ? std::move(xterm) : nullptr;
    }

    std::shared_ptr<NSTimerBlocks::Timer> timer_;
};

}  // namespace capturetest
