// Pushes and the clipboard between devices: what a push posts, which group
// reaches the clipboard and in which order, what is left alone, the clipboard
// emptied when its clipping went away elsewhere, and the notification as the
// session's notification service receives it.
#include <QCoreApplication>

#include <filesystem>
#include <fstream>

#include "kit/TLClipboardSync.h"
#include "kit/NSDateCloudKit.h"
#include "kit/NSFileManagerExtras.h"
#include "platform/desktop/SessionNotificationCenter.h"
#include "platform/foundation/TypeIdentifier.h"
#include "tests/kit/SyncFixture.h"
#include "tests/support/NotificationRecorder.h"

namespace synctest {
namespace {

using Lines = std::vector<std::string>;

struct GroupMember {
    int name;
    std::string text;
    int64_t pasteboardIndex;
};

class ClipboardSyncTest : public SyncFixture, public ::testing::WithParamInterface<Backend> {
protected:
    void SetUp() override {
        if (auto reason = useBackend(GetParam())) GTEST_SKIP() << *reason;
        SyncFixture::SetUp();
        general_->setPasteboard(memory_);
        recorder_ = testsupport::NotificationRecorder::start();
        ASSERT_NE(recorder_, nullptr) << "no private session bus";
        center_ = std::make_shared<desktop::SessionNotificationCenter>();
        auto suite = TLSettings();
        suite->setBool(true, TLUserDefaultsSyncEnabled);
        suite->setBool(true, TLUserDefaultsClipboardSync);
        suite->setBool(true, TLUserDefaultsShowClipboardSyncPushNotifications);
        suite->setBool(true, TLUserDefaultsShowClipboardContentInNotification);
        TLClipboardSync::Environment environment;
        environment.managedObjectContext = context_;
        environment.pasteboardManager = pasteboard_;
        environment.userNotificationCenter = [this] { return center_; };
        environment.isMainWindowKey = [this] { return windowIsKey_; };
        environment.pushHandled = [this] { ++handled_; };
        sync_ = std::make_shared<TLClipboardSync>(std::move(environment));
        makeZone();
        engine_->setManagedObjectContext(context_);
    }
    void TearDown() override {
        sync_.reset();
        center_.reset();
        recorder_.reset();
        SyncFixture::TearDown();
    }

    // Another device's clipboard write: the clippings share one date.
    void otherCopies(const std::vector<GroupMember>& members, double date, int64_t style = 1,
                     std::optional<std::string> usedTemplate = std::nullopt) {
        std::vector<cloud::Record> records;
        for (const auto& member : members) {
            auto r = clippingRecord(clippingName(member.name), member.text);
            r.setObject("tavloDate", foundation::Date(date));
            r.setObject("tavloStyle", style);
            r.setObject("pasteboardIndex", member.pasteboardIndex);
            if (usedTemplate) r.setObject("tavloTemplate", *usedTemplate);
            records.push_back(r);
        }
        otherSaves(records);
    }
    // One push to its end; answers whether it ended in time.
    bool push() {
        const int before = handled_;
        sync_->didReceiveRemoteNotification(engine_);
        return runUntil([&] { return handled_ > before; });
    }
    std::string clipboard() { return general_->stringForDataType(foundation::kUTTypeUTF8PlainText).value_or("(empty)"); }
    // The recorded notifications once the bus had time to carry them.
    Lines notifications(size_t atLeast) {
        runUntil([&] { QCoreApplication::processEvents(); return recorder_->calls().size() >= atLeast; },
                 std::chrono::seconds(5));
        for (int i = 0; i < 20; ++i) {
            QCoreApplication::processEvents();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        Lines out;
        for (const auto& call : recorder_->calls()) {
            if (call.method != "Notify") continue;
            std::string line = call.title + " | " + call.body;
            if (call.hints.contains("image-path")) line += " | image " + call.hints.value("image-path").toString().toStdString();
            out.push_back(line);
        }
        return out;
    }

    std::shared_ptr<desktop::MemoryPasteboard> memory_ = std::make_shared<desktop::MemoryPasteboard>();
    std::unique_ptr<testsupport::NotificationRecorder> recorder_;
    std::shared_ptr<desktop::SessionNotificationCenter> center_;
    std::shared_ptr<TLClipboardSync> sync_;
    bool windowIsKey_ = false;
    int handled_ = 0;
};

TEST_P(ClipboardSyncTest, APushFetchesAndPostsItsStatusAroundTheFetch) {
    otherCopies({{1, "one", 0}}, 2000);
    ASSERT_TRUE(push());
    EXPECT_EQ(statuses().front(), "Downloading changes");
    EXPECT_EQ(statuses().back(), "nil");
    EXPECT_EQ(clipboard(), "one");
    EXPECT_EQ(logCount("Push Notification Received"), 1u);

    // With no engine yet the status stays; sync off: only the log line.
    const size_t posted = statuses().size();
    sync_->didReceiveRemoteNotification(nullptr);
    runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(statuses().size(), posted + 1);
    EXPECT_EQ(statuses().back(), "Downloading changes");
    TLSettings()->setBool(false, TLUserDefaultsSyncEnabled);
    otherCopies({{2, "two", 0}}, 3000);
    ASSERT_TRUE(push());
    EXPECT_EQ(statuses().size(), posted + 1);
    EXPECT_EQ(clipboard(), "one");
    EXPECT_EQ(logCount("Push Notification Received"), 3u);
}

TEST_P(ClipboardSyncTest, TheNewestGroupGoesOnTheClipboardOnceInItsOrderWithItsFirstTemplate) {
    struct Row {
        const char* what;
        std::vector<GroupMember> members;
        std::optional<std::string> usedTemplate;
        std::string clipboard;
    };
    const std::vector<Row> rows = {
        {"three in order", {{1, "c", 2}, {2, "a", 0}, {3, "b", 1}}, std::nullopt, "a\nb\nc"},
        {"repeated and negative indexes", {{12, "y", 1}, {11, "x", 1}, {13, "w", -4}}, std::nullopt, "w\nx\ny"},
        {"a template", {{21, "text", 0}}, std::string("<{text}>"), "<text>"},
    };
    double date = 5000;
    for (const auto& row : rows) {
        otherCopies(row.members, date, 1, row.usedTemplate);
        ASSERT_TRUE(push()) << row.what;
        EXPECT_EQ(clipboard(), row.clipboard) << row.what;
        EXPECT_EQ(TLSettings()->dateForKey(TLUserDefaultsClipboardSyncTavloDate), foundation::Date(date)) << row.what;
        std::vector<std::string> ids;
        for (auto& member : row.members) ids.push_back(clippingName(member.name));
        auto stored = TLSettings()->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs).value_or(Lines{});
        std::sort(ids.begin(), ids.end());
        std::sort(stored.begin(), stored.end());
        EXPECT_EQ(stored, ids) << row.what;
        EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), general_->changeCount());

        // A second push writes nothing.
        const int64_t count = general_->changeCount();
        ASSERT_TRUE(push());
        EXPECT_EQ(general_->changeCount(), count) << row.what;
        date += 1000;
    }
}

TEST_P(ClipboardSyncTest, AnEditOrACaptureWithClipboardSyncOffIsLeftAlone) {
    otherCopies({{1, "kept", 0}}, 2000);
    ASSERT_TRUE(push());
    const int64_t count = general_->changeCount();
    otherCopies({{2, "not for the clipboard", 0}}, 3000, 0);
    ASSERT_TRUE(push());
    EXPECT_EQ(general_->changeCount(), count);
    EXPECT_EQ(clipboard(), "kept");
    EXPECT_EQ(TLSettings()->dateForKey(TLUserDefaultsClipboardSyncTavloDate), foundation::Date(2000));
}

TEST_P(ClipboardSyncTest, AClippingDeletedElsewhereEmptiesTheClipboardOnlyWhileItStillHoldsIt) {
    for (bool userCopiedMeanwhile : {false, true}) {
        const double date = userCopiedMeanwhile ? 4000 : 2000;
        const int name = userCopiedMeanwhile ? 3 : 1;
        otherCopies({{name, "going", 0}, {name + 1, "staying", 1}}, date);
        ASSERT_TRUE(push());
        ASSERT_EQ(clipboard(), "going\nstaying");
        if (userCopiedMeanwhile)
            memory_->externalWrite({desktop::PasteboardItem({{foundation::kUTTypeUTF8PlainText,
                                                           foundation::Data::fromString("mine")}})});
        otherSaves({}, {clippingName(name)});
        ASSERT_TRUE(push());
        if (userCopiedMeanwhile) {
            EXPECT_EQ(clipboard(), "mine");
        } else {
            EXPECT_EQ(clipboard(), "(empty)");
            EXPECT_EQ(TLSettings()->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs), Lines{});
            EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), general_->changeCount());
            EXPECT_EQ(logCount("Pasteboard clipping has been deleted. Clear clipboard."), 1u);
        }
    }
}

TEST_P(ClipboardSyncTest, TheNotificationShowsTheContentCutAtACharacter) {
    const std::string e = "\xC3\xA9";  // é, two bytes
    std::string multiByte;
    for (int i = 0; i < 501; ++i) multiByte += e;
    std::string expectedMultiByte;
    for (int i = 0; i < 499; ++i) expectedMultiByte += e;
    expectedMultiByte += "...";
    struct Row {
        std::string text;
        std::string shown;
    };
    const std::vector<Row> rows = {
        {std::string(500, 'a'), std::string(500, 'a')},
        {std::string(501, 'b'), std::string(499, 'b') + "..."},
        {multiByte, expectedMultiByte},
        {"\xF0\x9F\x93\x8B" + std::string(500, 'c'), "\xF0\x9F\x93\x8B" + std::string(498, 'c') + "..."},
    };
    double date = 2000;
    int name = 1;
    Lines expected;
    for (const auto& row : rows) {
        otherCopies({{name++, row.text, 0}}, date);
        date += 1000;
        ASSERT_TRUE(push());
        EXPECT_EQ(clipboard(), row.text) << "the clipboard takes the text whole";
        expected.push_back("Tavlo | " + row.shown);
    }
    EXPECT_EQ(notifications(expected.size()), expected);

    // A text of 10 MB (more than a record carries, so it stands in the store
    // as a fetch would leave it): the clipboard whole, the notification cut.
    const std::string tenMegabytes(10 * 1024 * 1024, 'x');
    auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    clipping->setClippingID(clippingName(99));
    clipping->setText(tenMegabytes);
    clipping->setTavloDate(foundation::Date(date));
    clipping->setTavloStyle(1);
    clipping->setPasteboardIndex(0);
    ASSERT_TRUE(context_->save().ok());
    sync_->syncClipboard();
    ASSERT_TRUE(runUntil([&] { return clipboard().size() == tenMegabytes.size(); }));
    const Lines shown = notifications(expected.size() + 1);
    ASSERT_EQ(shown.size(), expected.size() + 1);
    EXPECT_EQ(shown.back(), "Tavlo | " + std::string(499, 'x') + "...");
}

TEST_P(ClipboardSyncTest, ContentOffOrTheWindowActiveChangesTheNotificationNotTheClipboard) {
    // An image clipping: its file is shown only with the content.
    const std::string png = "\x89PNG\r\n\x1a\nnot really";
    auto withImage = [&](int name, double date, bool withFile) {
        auto r = clippingRecord(clippingName(name), "");
        r.setObject("text", std::string());
        r.setObject("image", std::string("public.png"));
        r.setObject("tavloDate", foundation::Date(date));
        r.setObject("tavloStyle", int64_t(1));
        r.setObject("pasteboardIndex", int64_t(0));
        if (withFile) otherSaves({r, assetRecord(clippingName(name), "0.public.png", png)});
        else otherSaves({r});
    };
    withImage(1, 2000, true);
    ASSERT_TRUE(push());
    auto file = NSFileManagerExtras::URLForAssetFile(clippingName(1), "0.public.png");
    ASSERT_TRUE(file);

    TLSettings()->setBool(false, TLUserDefaultsShowClipboardContentInNotification);
    withImage(2, 3000, true);
    ASSERT_TRUE(push());

    // A missing image file: the notification comes without one.
    TLSettings()->setBool(true, TLUserDefaultsShowClipboardContentInNotification);
    withImage(3, 4000, false);
    ASSERT_TRUE(push());

    windowIsKey_ = true;
    otherCopies({{4, "seen in the window", 0}}, 5000);
    ASSERT_TRUE(push());
    EXPECT_EQ(clipboard(), "seen in the window");
    EXPECT_EQ(TLSettings()->dateForKey(TLUserDefaultsClipboardSyncTavloDate), foundation::Date(5000));

    const Lines shown = notifications(3);
    ASSERT_EQ(shown.size(), 3u);
    EXPECT_EQ(shown[0], "Tavlo | Clipboard Synced | image " + file->filePath().string());
    EXPECT_EQ(shown[1], "Tavlo | Clipboard Synced");
    EXPECT_EQ(shown[2], "Tavlo | Clipboard Synced");
}

TEST_P(ClipboardSyncTest, ACopyRefreshedHereIsNeverPutBackByTheNextPush) {
    auto copy = [&](const std::string& text) {
        const size_t before = objects<Clipping>(Clipping::kEntityName).size();
        memory_->externalWrite({desktop::PasteboardItem({{foundation::kUTTypeUTF8PlainText, foundation::Data::fromString(text)}})});
        pasteboard_->checkPasteboard();
        runUntil([&] { return dispatch::MainQueue::runUntilIdle() == 0; });
        return before;
    };
    pasteboard_->setClipboardCapture(true);
    copy("mine, copied twice");
    copy("another");
    ASSERT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 2u);
    copy("mine, copied twice");  // the duplicate's date moves to now
    ASSERT_EQ(objects<Clipping>(Clipping::kEntityName).size(), 2u);
    const int64_t count = general_->changeCount();
    ASSERT_TRUE(push());
    EXPECT_EQ(general_->changeCount(), count) << "the clipboard was written again";
}

TEST_P(ClipboardSyncTest, AClockAnHourAheadOrdersGroupsByServerTimeOnceItsOffsetIsMeasured) {
    auto realNow = [] {
        return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    };
    foundation::Date::setClock([realNow] { return realNow() + 3600; });
    pasteboard_->setClipboardCapture(true);
    auto copyHere = [&](const std::string& text) {
        memory_->externalWrite({desktop::PasteboardItem({{foundation::kUTTypeUTF8PlainText, foundation::Data::fromString(text)}})});
        pasteboard_->checkPasteboard();
        runUntil([&] { return dispatch::MainQueue::runUntilIdle() == 0; });
    };
    struct Row {
        bool measured;
        std::string clipboard;
    };
    int name = 1;
    for (const Row& row : {Row{false, "copied here"}, Row{true, "copied there later"}}) {
        if (row.measured) {
            engine_->startCloudKitSync(nullptr);
            ASSERT_TRUE(runUntil([&] { return TLSettings()->doubleForKey(TLUserDefaultsServerTimeOffset) == -3600; }));
        }
        copyHere("copied here");  // the second time, a duplicate dated anew
        // The other device copies a few seconds later on the server's clock.
        otherCopies({{name++, "copied there later", 0}}, realNow() + 5);
        ASSERT_TRUE(push());
        EXPECT_EQ(clipboard(), row.clipboard) << (row.measured ? "measured" : "not measured");
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, ClipboardSyncTest, kBothBackends, backendName);

}  // namespace
}  // namespace synctest
