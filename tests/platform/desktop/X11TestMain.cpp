// The X11 pasteboard tests run against a real X server. Each test program
// starts a private Xvfb of its own when it can: the clipboard is one per
// server, and CTest runs test programs side by side under one display. Without
// DISPLAY (no X session at all) every test skips.

#include <gtest/gtest.h>

#include <QGuiApplication>
#ifdef TAVLO_X11_TEST_WIDGETS
#include <QApplication>
#endif

#include <cstdlib>
#include <memory>

#include "tests/support/PrivateServers.h"

namespace {

// Programs that test widgets on the server define TAVLO_X11_TEST_WIDGETS.
#ifdef TAVLO_X11_TEST_WIDGETS
using TestApplication = QApplication;
#else
using TestApplication = QGuiApplication;
#endif

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<testsupport::PrivateXServer> server;
    std::unique_ptr<TestApplication> app;
    if (!::testing::GTEST_FLAG(list_tests) && std::getenv("DISPLAY")) {
        server = testsupport::PrivateXServer::start();  // else the session's own display
        ::setenv("QT_QPA_PLATFORM", "xcb", 1);
        app = std::make_unique<TestApplication>(argc, argv);
    }
    int result = RUN_ALL_TESTS();
    app.reset();
    server.reset();
    return result;
}
