// Shortcut tests run on Qt's offscreen platform with a US keymap compiled in
// the process, so labels never depend on the machine's keyboard.

#include <gtest/gtest.h>

#include <QApplication>

#include "platform/desktop/KeyLabels.h"
#include "platform/desktop/KeyboardLayout.h"

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QApplication app(argc, argv);
    desktop::installKeyNameTranslator();
    desktop::KeyboardLayout::setCurrent(desktop::KeyboardLayout::fromNames("us"));
    int result = RUN_ALL_TESTS();
    desktop::KeyboardLayout::setCurrent(nullptr);
    return result;
}
