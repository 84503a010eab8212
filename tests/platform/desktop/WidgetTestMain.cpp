// Widget tests of the desktop layer run in one QApplication on Qt's offscreen
// platform, with Qt's key names as the application shows them.

#include <gtest/gtest.h>

#include <QApplication>

#include "platform/desktop/KeyLabels.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    desktop::installKeyNameTranslator();
    return RUN_ALL_TESTS();
}
