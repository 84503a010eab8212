// Shortcut tests run on Qt's offscreen platform with a US keymap compiled in
// the process, so labels never depend on the machine's keyboard, and a
// private home for the settings the recorders write.

#include <gtest/gtest.h>

#include <QApplication>

#include "platform/desktop/KeyLabels.h"
#include "platform/desktop/KeyboardLayout.h"
#include "tests/support/TempHome.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    testsupport::TempHome home;  // recorders write to the standard user defaults
    QApplication app(argc, argv);
    desktop::installKeyNameTranslator();
    desktop::KeyboardLayout::setCurrent(desktop::KeyboardLayout::fromNames("us"));
    int result = RUN_ALL_TESTS();
    desktop::KeyboardLayout::setCurrent(nullptr);
    return result;
}
