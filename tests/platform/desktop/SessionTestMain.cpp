// Tests of the application's place in a desktop session (its bus name, the
// tray, starting other programs) run in a session of their own: a private
// session bus and a private Xvfb, so that side-by-side test programs never
// meet on a bus name or a tray. Without DISPLAY (no X at all) the X tests skip.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

#include "tests/support/PrivateServers.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<testsupport::PrivateSessionBus> bus;
    std::unique_ptr<testsupport::PrivateXServer> server;
    std::unique_ptr<QApplication> app;
    if (!::testing::GTEST_FLAG(list_tests)) {
        bus = testsupport::PrivateSessionBus::start();
        if (std::getenv("DISPLAY")) {
            server = testsupport::PrivateXServer::start("1024x768x24");
            ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        }
        app = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    int result = RUN_ALL_TESTS();
    app.reset();
    server.reset();
    bus.reset();
    return result;
}
