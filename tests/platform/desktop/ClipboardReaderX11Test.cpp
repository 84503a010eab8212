// Reading the clipboard off the main thread, on a real X server.

#include <gtest/gtest.h>
#include <poll.h>

#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/desktop/ClipboardReader.h"
#include "platform/foundation/TypeIdentifier.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/support/RequireDisplay.h"

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
        TAVLO_SKIP_WITHOUT_DISPLAY(qGuiApp, "needs an X server (DISPLAY is not set)");
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
    FILE* owner = popen(
        (std::string("exec ") + TAVLO_CLIPBOARD_TEST_OWNER + " --stall --say-asked --target UTF8_STRING=slow").c_str(),
        "r");
    ASSERT_TRUE(owner);
    char line[16] = {};
    ASSERT_TRUE(fgets(line, sizeof line, owner));  // "ready"
    auto reading = std::async(std::launch::async, [this] { return reader_->read(); });
    // The new owner comes once the read is waiting on the old one.
    pollfd asked{fileno(owner), POLLIN, 0};
    ASSERT_EQ(poll(&asked, 1, 10000), 1);
    ASSERT_TRUE(fgets(line, sizeof line, owner));
    EXPECT_STREQ(line, "asked\n");
    ASSERT_EQ(shell("printf new | xclip -selection clipboard"), 0);
    EXPECT_TRUE(reading.get().changedDuringRead);
    pclose(owner);
}

// Owners that are slow with some of their targets: what a read keeps, and
// whether it says the owner ran out of time.
TEST_F(ClipboardReaderX11Test, SlowTargetsNeverCostTheText) {
    desktop::ReadLimits limits;
    limits.requestTimeout = 400ms;
    limits.readBudget = 1000ms;
    auto reader = desktop::ClipboardReader::open(limits);
    ASSERT_TRUE(reader);
    struct Row {
        const char* name;
        std::string arguments;
        std::vector<desktop::PasteboardItem> items;
        bool incomplete;
    };
    const std::string text = foundation::kUTTypeUTF8PlainText;
    const Row rows[] = {
        {"two silent formats listed before the text", "--silent text/html= --silent image/png= --target UTF8_STRING=wanted",
         {pasteboardtest::item({{text, "wanted"}})}, true},
        {"a silent text leaves the rest", "--silent UTF8_STRING= --target text/html=rich",
         {pasteboardtest::item({{foundation::kUTTypeHTML, "rich"}})}, true},
        {"a silent owner leaves nothing", "--silent UTF8_STRING=", {}, true},
        // What it marks cannot be told apart from anything else.
        {"a silent password-manager hint leaves nothing",
         "--target UTF8_STRING=hunter2 --silent x-kde-passwordManagerHint=", {}, true},
        {"text answered as INTEGER is no text", "--int32 UTF8_STRING=fake", {}, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FILE* owner = popen((std::string("exec ") + TAVLO_CLIPBOARD_TEST_OWNER + " " + row.arguments).c_str(), "r");
        ASSERT_TRUE(owner);
        char line[16] = {};
        ASSERT_TRUE(fgets(line, sizeof line, owner));
        auto start = std::chrono::steady_clock::now();
        auto content = reader->read();
        EXPECT_LT(std::chrono::steady_clock::now() - start, limits.readBudget + 500ms);
        EXPECT_EQ(content.items, row.items);
        EXPECT_EQ(content.incompleteForTime, row.incomplete);
        ASSERT_EQ(shell("printf next | xclip -selection clipboard"), 0);  // ends the owner
        pclose(owner);
    }
}

}  // namespace
