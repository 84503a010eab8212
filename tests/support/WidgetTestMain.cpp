// Widget tests run in one QApplication on Qt's offscreen platform, so windows
// are real widgets that nothing maps to a screen.
#include <gtest/gtest.h>

#include <QApplication>

#include <cstdlib>
#include <memory>

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    std::unique_ptr<QApplication> application;
    if (!::testing::GTEST_FLAG(list_tests)) {
        application = std::make_unique<QApplication>(argc, argv);
        QApplication::setQuitOnLastWindowClosed(false);
    }
    return RUN_ALL_TESTS();
}
