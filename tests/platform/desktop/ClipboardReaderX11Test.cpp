// Reading the clipboard off the main thread, on a real X server.

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/desktop/ClipboardReader.h"
#include "platform/foundation/TypeIdentifier.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"

namespace {

using namespace std::chrono_literals;

using pasteboardtest::shell;

// xclip answers from a process it forks, which may take the selection only after
// the shell returned: wait until the clipboard holds the text.
bool waitForClipboardText(const std::string& text) {
    for (int i = 0; i < 100; ++i) {
        if (shell("test \"$(xclip -o -selection clipboard)\" = '" + text + "'") == 0) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

class ClipboardReaderX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        if (!qGuiApp) GTEST_SKIP() << "needs an X server (DISPLAY is not set)";
        reader_ = desktop::ClipboardReader::open();
        ASSERT_TRUE(reader_);
    }
    std::unique_ptr<desktop::ClipboardReader> reader_;
};

TEST_F(ClipboardReaderX11Test, ReadsAnotherProgramsContentOnAnyThread) {
    ASSERT_EQ(shell("printf 'read elsewhere' | xclip -selection clipboard"), 0);
    ASSERT_TRUE(waitForClipboardText("read elsewhere"));
    auto content = std::async(std::launch::async, [this] { return reader_->read(); }).get();
    EXPECT_FALSE(content.changedDuringRead);
    EXPECT_EQ(content.items,
              std::vector<desktop::PasteboardItem>{pasteboardtest::item({{foundation::kUTTypeUTF8PlainText, "read elsewhere"}})});
}

TEST_F(ClipboardReaderX11Test, ANewOwnerDuringTheReadIsTold) {
    // An owner that never answers keeps the read waiting while another program copies.
    FILE* owner = popen((std::string("exec ") + TAVLO_CLIPBOARD_TEST_OWNER + " --stall --target UTF8_STRING=slow").c_str(), "r");
    ASSERT_TRUE(owner);
    char line[16] = {};
    ASSERT_TRUE(fgets(line, sizeof line, owner));
    auto reading = std::async(std::launch::async, [this] { return reader_->read(); });
    std::this_thread::sleep_for(300ms);
    ASSERT_EQ(shell("printf new | xclip -selection clipboard"), 0);
    EXPECT_TRUE(reading.get().changedDuringRead);
    pclose(owner);
}

}  // namespace
