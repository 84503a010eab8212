// Capture end to end on a real X server: other programs copy with xclip (or
// the test owner, for targets xclip cannot offer), the application's tick
// timer drives the manager, and the clippings are read back from the store
// file.

#include "tests/kit/CaptureX11Fixture.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>

#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "kit/NSTimerBlocks.h"
#include "logging/TLLogFiles.h"
#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/SystemPasteboard.h"
#include "platform/store/Database.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/support/RequireDisplay.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

using pasteboardtest::shell;

class CaptureX11Test : public capturetest::CaptureX11Fixture {
protected:
    void SetUp() override {
        CaptureX11Fixture::SetUp();
        if (setUpFailed()) return;
        startOnSystemClipboard("test.capture.assets");
    }
    std::shared_ptr<Clipping> savedWithText(const std::string& text) {
        for (auto& c : savedClippings())
            if (c->text() == text) return c;
        return nullptr;
    }
};

TEST_F(CaptureX11Test, CopiedTextIsSaved) {
    ASSERT_EQ(shell("printf hello | xclip -selection clipboard"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("hello") != nullptr; }, 10s));
    EXPECT_EQ(savedClippings().size(), 1u);
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), general_->changeCount());
}

TEST_F(CaptureX11Test, CopyingTheSameTextAgainRefreshesTheOneClipping) {
    ASSERT_EQ(shell("printf hello | xclip -selection clipboard"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("hello") != nullptr; }, 2s));
    auto first = *savedWithText("hello")->tavloDate();
    ASSERT_EQ(shell("printf other | xclip -selection clipboard"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("other") != nullptr; }, 2s));
    ASSERT_EQ(shell("printf hello | xclip -selection clipboard"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return savedClippings().front()->text() == "hello"; }, 2s));
    auto saved = savedClippings();
    EXPECT_EQ(saved.size(), 2u);
    EXPECT_GT(*saved.front()->tavloDate(), first);
}

TEST_F(CaptureX11Test, ACopiedImageIsSavedWithItsPNGFile) {
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(QColor(10, 20, 200));
    fs::path png = home_.root() / "copied.png";
    ASSERT_TRUE(image.save(QString::fromStdString(png.string()), "PNG"));
    ASSERT_EQ(shell("xclip -selection clipboard -t image/png -i '" + png.string() + "'"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return !savedClippings().empty(); }, 2s));
    auto clipping = savedClippings().front();
    EXPECT_EQ(clipping->image(), foundation::kUTTypePNG);
    EXPECT_EQ(clipping->color(), 0x0A14C8);
    EXPECT_EQ(assetNames(*clipping), std::set<std::string>{"0.public.png"});
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping->clippingID())->filePath();
    EXPECT_EQ(foundation::Data::contentsOfFile(folder / "0.public.png").value(),
              foundation::Data::contentsOfFile(png).value());
}

TEST_F(CaptureX11Test, ConcealedContentIsNeverStoredNorLogged) {
    auto loggers = TLLogFiles::addFileLoggers();
    const std::string secret = "correct-horse-battery";
    std::string command = std::string("exec ") + TAVLO_CLIPBOARD_TEST_OWNER + " --target UTF8_STRING=" + secret +
                          " --target x-kde-passwordManagerHint=secret";
    FILE* owner = popen(command.c_str(), "r");
    ASSERT_TRUE(owner);
    char line[16] = {};
    ASSERT_TRUE(fgets(line, sizeof line, owner));
    ASSERT_EQ(std::string(line).rfind("ready", 0), 0u);
    runEventsFor(1s);
    // Taking the clipboard back ends the owner.
    ASSERT_EQ(shell("printf after | xclip -selection clipboard"), 0);
    pclose(owner);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("after") != nullptr; }, 2s));
    EXPECT_EQ(savedClippings().size(), 1u);

    LKLog::flushLog();
    for (auto& logger : loggers) LKLog::removeLogger(logger);
    std::string everything;
    for (auto& entry : fs::recursive_directory_iterator(home_.dataHome() / "Logs")) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path());
        everything += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    EXPECT_NE(everything.find("Pasteboard contains concealed data types. Skipping."), std::string::npos);
    EXPECT_EQ(everything.find(secret), std::string::npos);
    // Nor anything of the store or its assets.
    for (auto& entry : fs::recursive_directory_iterator(home_.dataHome() / "Tavlo")) {
        if (!entry.is_regular_file()) continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes.find(secret), std::string::npos) << entry.path();
    }
}

// Starts the tests' clipboard owner with the arguments; ends when another program copies.
struct TestOwner {
    explicit TestOwner(const std::string& arguments)
        : pipe(popen((std::string("exec ") + TAVLO_CLIPBOARD_TEST_OWNER + " " + arguments).c_str(), "r")) {
        char line[16] = {};
        ready = pipe && fgets(line, sizeof line, pipe) && std::string(line).rfind("ready", 0) == 0;
    }
    ~TestOwner() {
        if (pipe) pclose(pipe);
    }
    FILE* pipe;
    bool ready = false;
};

TEST_F(CaptureX11Test, FormatsThatNeverAnswerDoNotCostTheText) {
    TestOwner owner("--silent text/html= --silent image/png= --target UTF8_STRING=after-slow-formats");
    ASSERT_TRUE(owner.ready);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("after-slow-formats") != nullptr; }, 10s));
    ASSERT_EQ(shell("printf done | xclip -selection clipboard"), 0);
}

TEST_F(CaptureX11Test, AnOwnerSilentAtFirstIsReadAgainAtTheNextTick) {
    TestOwner owner("--ignore-first 1 --target UTF8_STRING=answered-late");
    ASSERT_TRUE(owner.ready);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("answered-late") != nullptr; }, 10s));
    EXPECT_EQ(savedClippings().size(), 1u);
    ASSERT_EQ(shell("printf done | xclip -selection clipboard"), 0);
}

TEST_F(CaptureX11Test, TextWithATrailingNULIsTheSameClipping) {
    fs::path file = home_.root() / "terminated.txt";
    {
        std::ofstream out(file, std::ios::binary);
        out << std::string("same words\0", 11);
    }
    {
        TestOwner owner("--target-file UTF8_STRING=" + file.string());
        ASSERT_TRUE(owner.ready);
        ASSERT_TRUE(runEventsUntil([&] { return savedWithText("same words") != nullptr; }, 5s));
        ASSERT_EQ(shell("printf 'same words' | xclip -selection clipboard"), 0);
    }
    runEventsFor(500ms);
    ASSERT_EQ(shell("printf end | xclip -selection clipboard"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("end") != nullptr; }, 5s));
    EXPECT_EQ(savedClippings().size(), 2u);
}

// A text of tens of megabytes, sent in parts as large selections are, is
// stored whole, and a short text copied after it is captured once it is saved.
TEST_F(CaptureX11Test, ASixtyMebibyteTextIsStoredWholeAndAShortTextAfterItIsCaptured) {
    // Lines of words with two-byte letters, so a cut or a repair would show.
    std::string text(size_t{60} << 20, ' ');
    char word[32];
    for (size_t at = 0, n = 0; at < text.size(); ++n) {
        int length = std::snprintf(word, sizeof word, "caf\u00E9 %zu%c", n, n % 12 ? ' ' : '\n');
        size_t count = std::min(static_cast<size_t>(length), text.size() - at);
        if (count < static_cast<size_t>(length)) break;  // no letter cut in two at the end
        std::memcpy(text.data() + at, word, count);
        at += count;
    }
    fs::path file = home_.root() / "large.txt";
    std::ofstream(file, std::ios::binary) << text;
    // What the store holds once its write-ahead log is folded in.
    auto storeSize = [this] {
        auto path = database_->databaseURL().filePath();
        auto db = store::Database::open(path.string(), 5000);
        EXPECT_TRUE(db && db.value()->exec("PRAGMA wal_checkpoint(TRUNCATE)"));
        return fs::file_size(path);
    };
    const auto sizeBefore = storeSize();
    auto stored = [&] {
        // Counted, not fetched: each fetch would load the whole text again.
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
        auto fresh = std::make_shared<store::Context>(database_->persistentStoreCoordinator());
        return fresh->count(store::FetchRequest(Clipping::kEntityName)).valueOr(0);
    };
    {
        TestOwner owner("--target-file UTF8_STRING=" + file.string());
        ASSERT_TRUE(owner.ready);
        ASSERT_TRUE(runEventsUntil([&] { return stored() == 1; }, 30s));
        ASSERT_EQ(shell("printf after-large | xclip -selection clipboard"), 0);
    }
    ASSERT_TRUE(runEventsUntil([&] { return stored() == 2; }, 30s));
    auto saved = savedClippings();
    ASSERT_EQ(saved.size(), 2u);
    EXPECT_EQ(saved.front()->text(), "after-large");
    auto large = saved.back()->sharedText();
    ASSERT_TRUE(large);
    EXPECT_EQ(large->size(), text.size());
    EXPECT_TRUE(*large == text);  // not EXPECT_EQ: a failure would print both texts
    // The text once, and a search index that covers only its beginning.
    EXPECT_LE(static_cast<double>(storeSize() - sizeBefore), 1.3 * static_cast<double>(text.size()));
}

TEST_F(CaptureX11Test, AnOfferedFifoDoesNotHoldCapture) {
    fs::path fifo = home_.root() / "pipe.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    ASSERT_EQ(shell("printf 'file://" + fifo.string() + "\\r\\n' | xclip -selection clipboard -t text/uri-list"), 0);
    runEventsFor(1s);
    ASSERT_EQ(shell("printf later | xclip -selection clipboard"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return savedWithText("later") != nullptr; }, 2s));
    EXPECT_EQ(savedClippings().size(), 1u);
}

}  // namespace
