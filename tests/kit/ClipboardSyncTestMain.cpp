// The push handling's tests run with a private session bus, whose
// notification service a test starts, and a QCoreApplication whose event loop
// carries the D-Bus calls.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <memory>

#include "tests/support/PrivateServers.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    std::unique_ptr<testsupport::PrivateSessionBus> bus;
    std::unique_ptr<QCoreApplication> application;
    if (!::testing::GTEST_FLAG(list_tests)) {
        bus = testsupport::PrivateSessionBus::start();
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    int result = RUN_ALL_TESTS();
    application.reset();
    bus.reset();
    return result;
}
