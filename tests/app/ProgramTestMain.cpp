// The program itself, started as a person starts it, in a session of its own:
// a private session bus (the bus name keeps one instance per session) and a
// private Xvfb (the clipboard and the windows). Without DISPLAY (no X at all)
// every test skips.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <cstdlib>
#include <memory>

#include "tests/support/PrivateServers.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<testsupport::PrivateSessionBus> bus;
    std::unique_ptr<testsupport::PrivateXServer> server;
    if (!::testing::GTEST_FLAG(list_tests) && std::getenv("DISPLAY")) {
        bus = testsupport::PrivateSessionBus::start();
        server = testsupport::PrivateXServer::start("1024x768x24");
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    } else {
        ::unsetenv("DISPLAY");
    }
    // Tests that serve the program on the bus answer calls through this loop.
    std::unique_ptr<QCoreApplication> application;
    if (!::testing::GTEST_FLAG(list_tests)) application = std::make_unique<QCoreApplication>(argc, argv);
    return RUN_ALL_TESTS();
}
