// The desktop clipboard between processes, on a real X server: other programs'
// content (xclip, and a helper owner that plays bad owners), our own writes,
// and the bounds on reading.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "kit/TLMacPasteboard.h"
#include "platform/desktop/LogSink.h"
#include "platform/desktop/PasteboardItemArchive.h"
#include "platform/desktop/SystemPasteboard.h"
#include "tests/platform/desktop/PasteboardContract.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/support/RequireDisplay.h"
#include "tests/support/TempHome.h"

extern char** environ;

using desktop::PasteboardItem;
using pasteboardtest::item;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr const char* kText = foundation::kUTTypeUTF8PlainText;

// Runs the event loop for the time given (a real server answers on the wall clock).
void pump(std::chrono::milliseconds time) {
    auto until = Clock::now() + time;
    while (Clock::now() < until) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(5ms);
    }
}

// The X11 clipboard for the pasteboard contract; the other program is xclip.
struct X11Backend {
    std::unique_ptr<desktop::SystemPasteboard> owned = desktop::SystemPasteboard::create();
    desktop::SystemPasteboard& pasteboard = *owned;
    static constexpr bool kForeignWriter = true;
    static constexpr bool kNeedsDisplay = true;
    void foreignWrite(const std::string& text) {
        const int64_t before = pasteboard.changeCount();
        ASSERT_EQ(pasteboardtest::shell("printf '%s' '" + text + "' | xclip -selection clipboard"), 0);
        auto deadline = Clock::now() + 5s;
        while (pasteboard.changeCount() == before && Clock::now() < deadline) pump(10ms);
        pump(200ms);  // a further owner change would arrive meanwhile
    }
    void settle() { pump(300ms); }
};

// The helper owner, running until the test ends or it loses the selection.
class Owner {
public:
    explicit Owner(std::vector<std::string> args) {
        args.insert(args.begin(), TAVLO_CLIPBOARD_TEST_OWNER);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        char line[16] = {};
        ready_ = pid_ && read(fds[0], line, sizeof line - 1) > 0 && std::string(line).rfind("ready", 0) == 0;
        close(fds[0]);
    }
    ~Owner() {
        if (!pid_) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    bool ready() const { return ready_; }

private:
    pid_t pid_ = 0;
    bool ready_ = false;
};

class SystemPasteboardX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(qGuiApp, "needs an X server (DISPLAY is not set)");
        pasteboard_ = desktop::SystemPasteboard::create();
        ASSERT_TRUE(pasteboard_ && pasteboard_->usesX11());
        // The layer's notes, as the program's sink would get them.
        desktop::setLogSink([notes = notes_](const desktop::LogNote& note) {
            std::lock_guard lock(notes->mutex);
            notes->lines.push_back(note.text);
            notes->allPasteboard = notes->allPasteboard && note.topic == desktop::LogTopic::Pasteboard;
        });
    }
    void TearDown() override {
        desktop::setLogSink(nullptr);
        pasteboard_.reset();
    }

    // Waits (for a real server, on the wall clock) until the count moves from
    // before; then lets any further owner change arrive before answering.
    int64_t countAfterChange(int64_t before) {
        auto deadline = Clock::now() + 5s;
        while (pasteboard_->changeCount() == before && Clock::now() < deadline) pump(10ms);
        pump(200ms);
        return pasteboard_->changeCount();
    }
    static void shell(const std::string& command) { ASSERT_EQ(std::system(command.c_str()), 0) << command; }

    // What another program gets from our clipboard for one target (Qt answers
    // from the event loop, so it must run while the other program reads).
    static std::string readByOtherProgram(const std::string& target) {
        QProcess xclip;
        xclip.start("xclip", {"-o", "-selection", "clipboard", "-t", QString::fromStdString(target)});
        auto deadline = Clock::now() + 5s;
        while (xclip.state() != QProcess::NotRunning && Clock::now() < deadline) {
            QCoreApplication::processEvents();
            xclip.waitForFinished(10);
        }
        return xclip.readAllStandardOutput().toStdString();
    }

    std::vector<std::string> logLines() {
        std::lock_guard lock(notes_->mutex);
        EXPECT_TRUE(notes_->allPasteboard);
        return notes_->lines;
    }

    testsupport::TempHome home_;
    std::shared_ptr<desktop::SystemPasteboard> pasteboard_;
    struct Notes {
        std::mutex mutex;
        std::vector<std::string> lines;
        bool allPasteboard = true;
    };
    std::shared_ptr<Notes> notes_ = std::make_shared<Notes>();
};

TEST_F(SystemPasteboardX11Test, ImageFromAnotherProgramReadsAsPNG) {
    QImage image(4, 3, QImage::Format_RGB32);
    image.fill(Qt::red);
    auto file = home_.root() / "red.png";
    ASSERT_TRUE(image.save(QString::fromStdString(file.string()), "PNG"));
    auto bytes = foundation::Data::contentsOfFile(file);
    ASSERT_TRUE(bytes);

    int64_t before = pasteboard_->changeCount();
    shell("xclip -selection clipboard -t image/png -i '" + file.string() + "'");
    EXPECT_EQ(countAfterChange(before), before + 1);
    auto items = pasteboard_->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].types(), std::vector<std::string>{foundation::kUTTypePNG});
    EXPECT_EQ(*items[0].data(foundation::kUTTypePNG), bytes.value());
}

TEST_F(SystemPasteboardX11Test, FileListIsOneItemPerFile) {
    int64_t before = pasteboard_->changeCount();
    shell("printf 'file:///home/a.txt\\r\\nfile:///home/b%%20c.png\\r\\n' | xclip -selection clipboard -t text/uri-list");
    EXPECT_EQ(countAfterChange(before), before + 1);
    EXPECT_EQ(pasteboard_->items(), (std::vector<PasteboardItem>{item({{foundation::kUTTypeFileURL, "file:///home/a.txt"}}),
                                                                 item({{foundation::kUTTypeFileURL, "file:///home/b%20c.png"}})}));
}

// The write itself, its count and another program's change after it are the
// contract's (PasteboardContract.h); here what only the X11 clipboard shows.
TEST_F(SystemPasteboardX11Test, OwnWriteIsSavedForTheKitAndReadByOtherPrograms) {
    pasteboard_->clearContents();
    ASSERT_TRUE(pasteboard_->writeItems(pasteboardtest::threeItems()));
    pump(300ms);  // the echo of Qt taking the selection arrives meanwhile
    // The kit's saved test takes it for this program's own content.
    TLMacPasteboard kit;
    kit.setPasteboard(pasteboard_);
    EXPECT_TRUE(kit.isSaved());
    EXPECT_EQ(kit.numberOfPasteboardItems(), 3u);

    // Other programs get the first item's text, and through the archive all three.
    EXPECT_EQ(readByOtherProgram("UTF8_STRING"), "first");
    auto archive = desktop::PasteboardItemArchive::decode(
        foundation::Data::fromString(readByOtherProgram(desktop::PasteboardItemArchive::kMIMEType)));
    ASSERT_TRUE(archive);
    EXPECT_EQ(*archive, pasteboardtest::threeItems());
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SystemPasteboardX11Test, PasswordManagerHintReadsAsConcealed) {
    int64_t before = pasteboard_->changeCount();
    Owner owner({"--target", "UTF8_STRING=hunter2", "--target", "x-kde-passwordManagerHint=secret"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    auto items = pasteboard_->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].hasType(foundation::kConcealedType));
    EXPECT_EQ(items[0].string(kText), "hunter2");
}

TEST_F(SystemPasteboardX11Test, UnsafeTargetNamesAreLeftOutInOneLogLine) {
    std::string longName(300, 'n');
    int64_t before = pasteboard_->changeCount();
    Owner owner({"--target", "../../x=1", "--target", longName + "=2", "--target", "text/plain=kept"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    EXPECT_EQ(pasteboard_->items(), (std::vector<PasteboardItem>{item({{kText, "kept"}})}));
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("../../x (unsafe name)"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("(300 characters) (unsafe name)"), std::string::npos) << lines[0];
}

TEST_F(SystemPasteboardX11Test, TextAnsweredInAnotherTypeIsRefusedAndSaidSo) {
    int64_t before = pasteboard_->changeCount();
    Owner owner({"--int32", "UTF8_STRING=fake"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    EXPECT_TRUE(pasteboard_->items().empty());
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("UTF8_STRING (answered as INTEGER in 32-bit units)"), std::string::npos) << lines[0];
}

TEST_F(SystemPasteboardX11Test, OwnerThatNeverAnswersCostsNoMoreThanTheTimeout) {
    int64_t before = pasteboard_->changeCount();
    Owner owner({"--stall", "--target", "UTF8_STRING=never"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    auto start = Clock::now();
    EXPECT_TRUE(pasteboard_->items().empty());
    auto took = Clock::now() - start;
    EXPECT_LT(took, desktop::ReadLimits().requestTimeout + 1s);
    EXPECT_TRUE(pasteboard_->items().empty());  // read once per change, not again
    EXPECT_LT(Clock::now() - start, took + 100ms);
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(SystemPasteboardX11Test, QuestionsReadNoMoreThanTheTypeAskedFor) {
    int64_t before = pasteboard_->changeCount();
    // Text that never comes: any read of it would wait the whole request time-out.
    Owner owner({"--silent", "UTF8_STRING=", "--target", "image/png=png bytes", "--target",
                 "text/uri-list=file:///tmp/a.png\r\nfile:///tmp/b.png\r\n"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    auto start = Clock::now();
    EXPECT_EQ(pasteboard_->itemCount(), 1u);  // the list's files are counted once the content is read
    EXPECT_TRUE(pasteboard_->containsType(kText));
    EXPECT_TRUE(pasteboard_->containsType(foundation::kUTTypeFileURL));
    EXPECT_FALSE(pasteboard_->containsType(foundation::kUTTypeURL));
    EXPECT_FALSE(pasteboard_->containsType(TLPasteboard::kClippingMetadataType));
    EXPECT_EQ(pasteboard_->dataForType(foundation::kUTTypePNG), foundation::Data::fromString("png bytes"));
    EXPECT_EQ(pasteboard_->dataForType(foundation::kUTTypeFileURL), foundation::Data::fromString("file:///tmp/a.png"));
    EXPECT_LT(Clock::now() - start, desktop::ReadLimits().requestTimeout);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SystemPasteboardX11Test, StalledOwnerCostsQuestionsTheShortWaitOnce) {
    int64_t before = pasteboard_->changeCount();
    Owner owner({"--stall", "--target", "UTF8_STRING=never"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    auto general = std::make_shared<TLMacPasteboard>();
    general->setPasteboard(pasteboard_);
    auto start = Clock::now();
    EXPECT_EQ(general->numberOfPasteboardItems(), 0u);
    auto first = Clock::now() - start;
    // The short wait, never a whole request's time-out.
    EXPECT_LT(first, desktop::ReadLimits().requestTimeout);
    // Asked once per change: had either question gone to the stalled owner
    // again it would have waited the whole short wait.
    auto again = Clock::now();
    EXPECT_FALSE(general->isSaved());
    EXPECT_FALSE(general->containsDataType(kText));
    EXPECT_LT(Clock::now() - again, desktop::SystemPasteboard::kQuestionWait);
}

TEST_F(SystemPasteboardX11Test, LargeRepresentationComesInParts) {
    int64_t before = pasteboard_->changeCount();
    Owner owner({"--huge", "image/png=3000000"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    auto items = pasteboard_->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].data(foundation::kUTTypePNG)->length(), 3000000u);
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SystemPasteboardX11Test, HugeRepresentationIsRefusedAtTheCap) {
    int64_t before = pasteboard_->changeCount();
    Owner owner({"--huge", "image/png=209715200", "--target", "UTF8_STRING=small"});
    ASSERT_TRUE(owner.ready());
    EXPECT_EQ(countAfterChange(before), before + 1);
    auto start = Clock::now();
    EXPECT_EQ(pasteboard_->items(), (std::vector<PasteboardItem>{item({{kText, "small"}})}));
    EXPECT_LT(Clock::now() - start, 1s);
    auto lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("image/png"), std::string::npos) << lines[0];
}

}  // namespace

namespace pasteboardtest {
INSTANTIATE_TYPED_TEST_SUITE_P(SystemPasteboardX11, PasteboardContractTest, ::testing::Types<X11Backend>);
}  // namespace pasteboardtest
