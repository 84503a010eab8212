// Saving a capture: what is refused, the duplicate rule, which fields a new
// clipping gets and which asset files it keeps, and what is recorded after.

#include "tests/kit/CaptureFixture.h"

#include <QBuffer>
#include <QImage>

#include <sys/stat.h>

#include <fstream>
#include <latch>

#include "kit/TLWebArchive.h"
#include "platform/foundation/PropertyList.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/support/LockedDatabase.h"
#include "tests/support/RecordingSystemLog.h"

namespace {

using desktop::PasteboardItem;
using pasteboardtest::item;
namespace fs = std::filesystem;
constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
constexpr const char* kURL = foundation::kUTTypeURL;
constexpr const char* kFileURL = foundation::kUTTypeFileURL;

foundation::Data imageData(const char* format, QColor color = QColor(200, 100, 50), QSize size = QSize(8, 8)) {
    QImage image(size, QImage::Format_ARGB32);
    image.fill(color);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return foundation::Data(bytes.constData(), size_t(bytes.size()));
}

PasteboardItem withData(std::vector<std::pair<std::string, foundation::Data>> representations) {
    PasteboardItem out;
    for (auto& [type, data] : representations) out.setData(type, std::move(data));
    return out;
}

class TLPasteboardManagerSaveTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        start();
    }
    // Another program copies items; the next tick captures them.
    std::vector<std::shared_ptr<Clipping>> capture(std::vector<PasteboardItem> items) {
        copy(std::move(items));
        tick();
        return savedClippings();
    }
    std::shared_ptr<Clipping> captureOne(std::vector<PasteboardItem> items) {
        auto saved = capture(std::move(items));
        EXPECT_EQ(saved.size(), 1u);
        return saved.empty() ? nullptr : saved.front();
    }
    fs::path file(const std::string& name, const foundation::Data& data) {
        fs::path path = home_.root() / "files" / name;
        fs::create_directories(path.parent_path());
        EXPECT_TRUE(data.writeToFile(path).ok());
        return path;
    }
    static PasteboardItem fileItem(const fs::path& path) {
        return item({{kFileURL, foundation::URL::fileURL(path).absoluteString()}});
    }
};

TEST_F(TLPasteboardManagerSaveTest, TextBecomesAClippingAndTheCaptureIsRecorded) {
    TLSettings()->setBool(true, TLUserDefaultsClipboardSync);
    auto clipping = captureOne({item({{kText, "hello"}, {"public.url-name", "  Title \n"}})});
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->text(), "hello");
    EXPECT_FALSE(clipping->url());
    EXPECT_EQ(clipping->urlName(), "Title");
    EXPECT_EQ(clipping->clippingID()->size(), 38u);
    EXPECT_TRUE(clipping->addDate() && clipping->tavloDate() && clipping->modifiedDate());
    EXPECT_EQ(clipping->sync(), true);
    EXPECT_EQ(clipping->deviceName(), "OSX");
    EXPECT_EQ(clipping->items(), 1);
    EXPECT_EQ(clipping->tavloStyle(), 1);
    EXPECT_FALSE(clipping->image());
    // Text lives in the clipping; only other representations become files.
    EXPECT_EQ(assetFiles(*clipping), (std::set<std::string>{"0.public.url-name"}));
    EXPECT_TRUE(clipping->assets().empty());
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), memory_->changeCount());
    EXPECT_EQ(TLSettings()->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs),
              std::vector<std::string>{*clipping->clippingID()});
    EXPECT_EQ(TLSettings()->dateForKey(TLUserDefaultsClipboardSyncTavloDate), clipping->tavloDate());
    EXPECT_EQ(notifications_, std::vector<std::vector<std::string>>{{*clipping->clippingID()}});
    EXPECT_EQ(logged("Pasteboard contains unsaved data with supported data types. Adding to Tavlo."), 1u);
}

TEST_F(TLPasteboardManagerSaveTest, LinksAndTextFollowTheURLRules) {
    struct Row {
        const char* name;
        PasteboardItem item;
        std::optional<std::string> text, url;
    };
    const Row rows[] = {
        {"a web link with its own text", item({{kURL, "https://example.org/a"}, {kText, "Example"}}), "Example",
         "https://example.org/a"},
        {"a web link whose text is the link", item({{kURL, "https://example.org/b"}, {kText, "https://example.org/b"}}),
         std::nullopt, "https://example.org/b"},
        {"a mail link and the same text: neither", item({{kURL, "mailto:a@example.org"}, {kText, "mailto:a@example.org"}}),
         std::nullopt, std::nullopt},
        {"a mail link and other text: the text", item({{kURL, "mailto:b@example.org"}, {kText, "write to b"}}),
         "write to b", std::nullopt},
        {"a text that is a web address", item({{kText, "https://example.org/c"}}), std::nullopt, "https://example.org/c"},
        {"a link whose scheme only contains http: the text", item({{kURL, "xhttp://example.org/e"}, {kText, "e"}}), "e",
         std::nullopt},
        {"any scheme with a host", item({{kText, "ftp://files.example.org/d"}}), std::nullopt,
         "ftp://files.example.org/d"},
        {"no host: stays text", item({{kText, "mailto:c@example.org"}}), "mailto:c@example.org", std::nullopt},
        {"words: stay text", item({{kText, "two words"}}), "two words", std::nullopt},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto before = savedClippings().size();
        auto saved = capture({r.item});
        ASSERT_EQ(saved.size(), before + 1);
        EXPECT_EQ(saved.front()->text(), r.text);
        EXPECT_EQ(saved.front()->url(), r.url);
    }
}

TEST_F(TLPasteboardManagerSaveTest, ALongLinkLikeTextStaysText) {
    std::string text = "https://example.org/" + std::string(2000, 'a');
    auto clipping = captureOne({item({{kText, text}})});
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->text(), text);
    EXPECT_FALSE(clipping->url());
}

TEST_F(TLPasteboardManagerSaveTest, RepresentationsBecomeAssetFilesImagesAsPNG) {
    auto clipping = captureOne({withData({{kText, foundation::Data::fromString("caption")},
                                          {foundation::kUTTypeTIFF, imageData("TIFF", QColor(200, 100, 50))},
                                          {foundation::kUTTypeHTML, foundation::Data::fromString("<b>caption</b>")},
                                          {foundation::kUTTypeRTF, foundation::Data::fromString("{\\rtf1 caption}")},
                                          {"dyn.mime.application/x-odd", foundation::Data::fromString("odd")}})});
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->text(), "caption");
    EXPECT_EQ(clipping->image(), foundation::kUTTypePNG);
    EXPECT_EQ(clipping->color(), 0xC86432);
    EXPECT_EQ(assetFiles(*clipping), (std::set<std::string>{"0.public.png", "0.public.html", "0.public.rtf",
                                                            "0.dyn.mime.application%2Fx-odd"}));
    // Images, web archives and rich text are the files the history syncs.
    EXPECT_EQ(assetNames(*clipping), (std::set<std::string>{"0.public.png", "0.public.rtf"}));
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping->clippingID())->filePath();
    QImage stored(QString::fromStdString((folder / "0.public.png").string()), "PNG");
    EXPECT_EQ(stored.size(), QSize(8, 8));
    EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
    for (auto& asset : clipping->assets()) {
        EXPECT_EQ(asset->assetID(), *clipping->clippingID() + "." + *asset->filename());
        EXPECT_EQ(asset->sync(), true);
        EXPECT_EQ(asset->modifiedDate(), clipping->modifiedDate());
    }
}

TEST_F(TLPasteboardManagerSaveTest, LaterItemsWithSupportedTypesAreStoredByPosition) {
    auto clipping = captureOne({item({{"org.example.private", "p"}}),  // no supported type: not chosen
                                item({{kText, "first"}}),
                                withData({{foundation::kUTTypePNG, imageData("PNG")}}),
                                item({{"org.example.other", "x"}}),  // no supported type: left out
                                item({{kText, "fourth"}})});
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->text(), "first");
    EXPECT_EQ(clipping->items(), 3);
    EXPECT_EQ(assetFiles(*clipping), (std::set<std::string>{"1.public.png", "3.public.utf8-plain-text"}));
}

TEST_F(TLPasteboardManagerSaveTest, ImageFilesAreCopiedFifosAndMissingFilesPassedOver) {
    fs::path red = file("red.png", imageData("PNG", QColor(255, 0, 0)));
    fs::path blue = file("blue.jpg", imageData("JPEG", QColor(0, 0, 255)));
    fs::path fifo = home_.root() / "files/pipe.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto clipping = captureOne({fileItem(fifo), fileItem(red), fileItem(home_.root() / "files/missing.gif"),
                                fileItem(blue), item({{kText, "also text"}, {foundation::kConcealedType, ""}})});
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->image(), foundation::kUTTypePNG);
    EXPECT_EQ(clipping->color(), 0xFF0000);
    EXPECT_EQ(clipping->items(), 2);
    EXPECT_FALSE(clipping->text());
    EXPECT_FALSE(clipping->deviceName());
    EXPECT_EQ(assetFiles(*clipping), (std::set<std::string>{"0.public.png", "1.public.jpeg"}));
    EXPECT_EQ(assetNames(*clipping), (std::set<std::string>{"0.public.png", "1.public.jpeg"}));
}

TEST_F(TLPasteboardManagerSaveTest, ImageFilesNoneOfWhichCanBeTakenLeaveNoClipping) {
    fs::path fifo = home_.root() / "fifo.png";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::shared_ptr<Clipping> result = std::make_shared<Clipping>();
    bool done = false;
    copy({fileItem(fifo)});
    manager_->saveContentsOfPasteboard(general_, [&](std::shared_ptr<Clipping> c) {
        result = c;
        done = true;
    });
    dispatch::MainQueue::runUntilIdle();
    EXPECT_TRUE(done);
    EXPECT_EQ(result, nullptr);
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_TRUE(savedClippings().empty());
}

TEST_F(TLPasteboardManagerSaveTest, FilesOtherwiseGiveTheirName) {
    std::vector<PasteboardItem> eleven;
    for (int i = 0; i < 11; ++i) eleven.push_back(fileItem(file("p" + std::to_string(i) + ".png", imageData("PNG"))));
    struct Row {
        const char* name;
        std::vector<PasteboardItem> items;
        const char* text;
    };
    const Row rows[] = {
        {"a document", {fileItem(file("report final.pdf", foundation::Data::fromString("%PDF")))}, "report final.pdf"},
        {"eleven images are not an image clipping", eleven, "p0.png"},
        {"a document beside a concealed marker",
         {fileItem(home_.root() / "notes.txt"), item({{foundation::kConcealedType, ""}})}, "notes.txt"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto before = savedClippings().size();
        auto saved = capture(r.items);
        ASSERT_EQ(saved.size(), before + 1);
        EXPECT_EQ(saved.front()->text(), r.text);
        EXPECT_EQ(saved.front()->items(), 1);
        EXPECT_TRUE(assetFiles(*saved.front()).empty());
    }
}

TEST_F(TLPasteboardManagerSaveTest, ConcealedAndTransientContentIsRefusedUnlessAllowed) {
    const std::string secret = "hunter2-secret";
    struct Row {
        const char* name;
        std::vector<std::string> markers;
        const char* line;
    };
    const Row rows[] = {
        {"concealed", {foundation::kConcealedType}, "Pasteboard contains concealed data types. Skipping."},
        {"concealed and transient: transient", {foundation::kConcealedType, foundation::kTransientType},
         "Pasteboard contains transient data types. Skipping."},
        {"auto-generated", {foundation::kAutoGeneratedType}, "Pasteboard contains transient data types. Skipping."},
        {"a password manager's type", {"com.agilebits.onepassword"},
         "Pasteboard contains transient data types. Skipping."},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        PasteboardItem i = item({{kText, secret}});
        for (auto& m : r.markers) i.setString(m, "");
        size_t before = logged(r.line);
        copy({i});
        tick();
        EXPECT_TRUE(savedClippings().empty());
        EXPECT_EQ(logged(r.line), before + 1);
    }
    for (auto& line : logLines()) EXPECT_EQ(line.find(secret), std::string::npos) << line;
    EXPECT_TRUE(notifications_.empty());

    // The user's explicit save keeps it.
    std::shared_ptr<Clipping> saved;
    manager_->saveContentsOfPasteboard(general_, nullptr, true, [&](std::shared_ptr<Clipping> c) { saved = c; });
    dispatch::MainQueue::runUntilIdle();
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->text(), secret);
}

TEST_F(TLPasteboardManagerSaveTest, EqualTextOrLinkRefreshesTheClippingItHas) {
    auto first = captureOne({item({{kText, "same"}})});
    ASSERT_TRUE(first);
    auto firstDate = *first->tavloDate();
    notifications_.clear();
    foundation::Date::setClock([&] { return firstDate.timeIntervalSince1970() + 60; });
    auto again = capture({item({{kText, "same"}})});
    foundation::Date::setClock(nullptr);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0]->clippingID(), first->clippingID());
    EXPECT_EQ(again[0]->tavloDate(), firstDate.addingTimeInterval(60));
    EXPECT_EQ(again[0]->modifiedDate(), again[0]->tavloDate());
    EXPECT_EQ(again[0]->addDate(), first->addDate());
    EXPECT_TRUE(notifications_.empty());
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), memory_->changeCount());
    EXPECT_EQ(TLSettings()->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs),
              std::vector<std::string>{*first->clippingID()});
    EXPECT_EQ(logged("Duplicate pasteboard item found. Update tavloDate and skip."), 1u);
    // A link whose text matches a clipping's link.
    capture({item({{kURL, "https://example.org/x"}, {kText, "Example"}})});
    EXPECT_EQ(capture({item({{kText, "https://example.org/x"}})}).size(), 2u);
}

TEST_F(TLPasteboardManagerSaveTest, LongTextsAndAllowedDupesAreSavedAgain) {
    struct Row {
        const char* name;
        size_t length;
        bool allowDupes;
        size_t copies;
    };
    const Row rows[] = {
        {"4999 characters are compared", 4999, false, 1},
        {"5000 characters are not", 5000, false, 2},
        {"characters, not bytes", 4999, false, 1},
        {"duplicates allowed", 10, true, 2},
    };
    int n = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        TLSettings()->setBool(r.allowDupes, TLUserDefaultsAllowDupes);
        // Two-byte characters in the third row: the limit counts characters.
        std::string unit = std::string(r.name).rfind("characters, not", 0) == 0 ? "\xC3\xA9" : "a";
        std::string text = std::to_string(n++) + ":";
        for (size_t i = text.size(); i < r.length; ++i) text += unit;
        size_t before = savedClippings().size();
        capture({item({{kText, text}})});
        auto after = capture({item({{kText, text}})});
        EXPECT_EQ(after.size(), before + r.copies);
    }
}

TEST_F(TLPasteboardManagerSaveTest, AWebArchiveAloneGivesItsImages) {
    foundation::PlistValue::Dictionary main{{"WebResourceURL", "https://example.org/page"},
                                            {"WebResourceMIMEType", "text/html"},
                                            {"WebResourceData", foundation::Data::fromString("<p>secret page</p>")}};
    foundation::PlistValue::Array subresources{
        foundation::PlistValue::Dictionary{{"WebResourceURL", "https://example.org/style.css"},
                                           {"WebResourceMIMEType", "text/css"},
                                           {"WebResourceData", foundation::Data::fromString("p{}")}},
        foundation::PlistValue::Dictionary{{"WebResourceURL", "https://example.org/a.png"},
                                           {"WebResourceMIMEType", "image/png"},
                                           {"WebResourceData", imageData("PNG", QColor(0, 255, 0))}},
        foundation::PlistValue::Dictionary{{"WebResourceURL", "https://example.org/b.jpg"},
                                           {"WebResourceMIMEType", "image/jpeg"},
                                           {"WebResourceData", imageData("JPEG")}}};
    auto archive = foundation::PropertyList::writeXML(
        foundation::PlistValue::Dictionary{{"WebMainResource", main}, {"WebSubresources", subresources}});
    ASSERT_TRUE(archive.ok());
    testsupport::RecordingSystemLog::Scope systemLog;
    auto clipping =
        captureOne({withData({{TLWebArchive::kPasteboardType, foundation::Data::fromString(archive.value())},
                              {kText, foundation::Data()}})});
    ASSERT_TRUE(clipping);
    EXPECT_EQ(clipping->url(), "https://example.org/a.png");
    EXPECT_EQ(clipping->image(), foundation::kUTTypePNG);
    EXPECT_EQ(clipping->color(), 0x00FF00);
    EXPECT_EQ(clipping->deviceName(), "OSX");
    EXPECT_EQ(clipping->items(), 2);
    EXPECT_EQ(assetFiles(*clipping), (std::set<std::string>{"0.public.png", "1.public.jpeg"}));
    EXPECT_EQ(assetNames(*clipping), (std::set<std::string>{"0.public.png", "1.public.jpeg"}));
    EXPECT_EQ(logged("Pasteboard has supported types but there is no data in them"), 1u);

    // Beside text, the archive is kept whole and names the page the text came from.
    auto withText = capture({withData({{kText, foundation::Data::fromString("quoted")},
                                       {TLWebArchive::kPasteboardType, foundation::Data::fromString(archive.value())}})});
    ASSERT_EQ(withText.size(), 2u);
    EXPECT_EQ(withText[0]->urlSource(), "https://example.org/page");
    EXPECT_EQ(assetFiles(*withText[0]), (std::set<std::string>{"0.com.apple.webarchive"}));
    EXPECT_EQ(assetNames(*withText[0]), (std::set<std::string>{"0.com.apple.webarchive"}));
    // The page is clipboard content: the logs get its size and address only.
    for (auto& line : logLines()) EXPECT_EQ(line.find("secret page"), std::string::npos) << line;
    EXPECT_EQ(systemLog->count("secret page"), 0u);
    EXPECT_EQ(systemLog->count("https://example.org/page"), 1u);
}

TEST_F(TLPasteboardManagerSaveTest, NothingUsableIsRefused) {
    struct Row {
        const char* name;
        std::vector<PasteboardItem> items;
        const char* line;  // null: nothing logged
    };
    const Row rows[] = {
        {"empty", {}, "Pasteboard contains no data types. Skipping"},
        {"only unsupported types", {item({{"org.example.private", "p"}})},
         "Pasteboard does not contain any supported data types"},
        {"supported types without data", {withData({{kText, foundation::Data()}})},
         "Pasteboard has supported types but there is no data in them"},
        {"a web archive without images",
         {withData({{kText, foundation::Data()}, {TLWebArchive::kPasteboardType, foundation::Data::fromString("x")}})},
         "Pasteboard has supported types but there is no data in them"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        copy(r.items);
        std::optional<std::shared_ptr<Clipping>> result;
        manager_->saveContentsOfPasteboard(general_, [&](std::shared_ptr<Clipping> c) { result = c; });
        dispatch::MainQueue::runUntilIdle();
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, nullptr);
        EXPECT_GE(logged(r.line), 1u);
    }
    EXPECT_TRUE(savedClippings().empty());
}

TEST_F(TLPasteboardManagerSaveTest, AFailedSaveIsLoggedAndTheClippingKeptForTheNextSave) {
    manager_.reset();
    bool fail = true;
    TLPasteboardManager::Configuration configuration;
    const foundation::Error full("NSCocoaErrorDomain", 134030, "The disk is full.");
    configuration.saveContext = [&](store::Context& context) -> foundation::Result<void> {
        if (fail) return full;
        return context.save();
    };
    start(std::move(configuration));
    std::shared_ptr<Clipping> handed;
    copy({item({{kText, "kept"}})});
    manager_->saveContentsOfPasteboard(general_, [&](std::shared_ptr<Clipping> c) { handed = c; });
    dispatch::MainQueue::runUntilIdle();
    ASSERT_TRUE(handed);
    EXPECT_EQ(handed->text(), "kept");
    EXPECT_TRUE(savedClippings().empty());
    EXPECT_EQ(errorsIn(TLLogContextSync),
              std::vector<std::string>{"Error saving new clipping to local store: " + full.description()});
    EXPECT_TRUE(notifications_.empty());
    fail = false;
    capture({item({{kText, "next"}})});
    EXPECT_EQ(savedClippings().size(), 2u);
}

TEST_F(TLPasteboardManagerSaveTest, AStoreThatCannotBeWrittenKeepsTheChangesUntilASaveSucceeds) {
    {
        // Another process in the middle of a write: the store cannot be written.
        testsupport::LockedDatabase lock(home_.dataHome() / "Tavlo" / "datastore",
                                         testsupport::LockedDatabase::Mode::Writer);
        ASSERT_TRUE(lock.locked());
        copy({item({{kText, "while locked"}})});
        tick();
        database_->parentManagedObjectContext()->performBlockAndWait([] {});
        // The main context's save reached the parent; the parent's write failed.
        EXPECT_EQ(errorsIn(TLLogContextGeneral).size(), 1u);
        EXPECT_TRUE(errorsIn(TLLogContextSync).empty());
    }
    capture({item({{kText, "unlocked"}})});
    std::set<std::string> texts;
    for (auto& c : savedClippings()) texts.insert(c->text().value_or(""));
    EXPECT_EQ(texts, (std::set<std::string>{"while locked", "unlocked"}));
    EXPECT_EQ(errorsIn(TLLogContextGeneral).size(), 1u);
}

TEST_F(TLPasteboardManagerSaveTest, ACopyMadeWhileFilesAreWrittenIsCapturedNextAndNotMixedIn) {
    manager_.reset();
    std::latch release(1);
    auto writer = dispatch::Queue::createSerial("test.writer");
    TLPasteboardManager::Configuration configuration;
    configuration.writerQueue = writer;
    start(std::move(configuration));
    writer->async([&] { release.wait(); });  // the writer is busy until the second copy was made

    copy({withData({{kText, foundation::Data::fromString("first")}, {foundation::kUTTypeHTML,
                                                                     foundation::Data::fromString("<i>first</i>")}})});
    tick();
    int64_t firstCount = memory_->changeCount();
    copy({withData({{kText, foundation::Data::fromString("second")}, {foundation::kUTTypeHTML,
                                                                      foundation::Data::fromString("<i>second</i>")}})});
    release.count_down();
    ASSERT_TRUE(runUntil([&] { return savedClippings().size() == 1; }));
    auto first = savedClippings().front();
    EXPECT_EQ(first->text(), "first");
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(first->clippingID())->filePath();
    EXPECT_EQ(foundation::Data::contentsOfFile(folder / "0.public.html").value().toString(), "<i>first</i>");
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), firstCount);

    tick();
    ASSERT_TRUE(runUntil([&] { return savedClippings().size() == 2; }));
    EXPECT_EQ(savedClippings().front()->text(), "second");
}

TEST_F(TLPasteboardManagerSaveTest, ASaveFromAnotherPasteboardLeavesTheClipboardsRecordAlone) {
    capture({item({{kText, "captured"}})});
    const int64_t recorded = TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount);
    copy({item({{kText, "pending"}})});  // on the clipboard, not ticked yet

    // Another pasteboard whose count equals the recorded one is not taken as saved.
    auto otherMemory = std::make_shared<desktop::MemoryPasteboard>(
        recorded, std::vector<PasteboardItem>{item({{kText, "from a drag"}})});
    auto other = std::make_shared<TLMacPasteboard>();
    other->setPasteboard(otherMemory);
    std::shared_ptr<Clipping> saved;
    bool done = false;
    manager_->saveContentsOfPasteboard(other, [&](std::shared_ptr<Clipping> c) {
        saved = std::move(c);
        done = true;
    });
    ASSERT_TRUE(runUntil([&] { return done; }));
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->text(), "from a drag");
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), recorded);

    // The pending copy is still captured at the next tick.
    tick();
    ASSERT_TRUE(runUntil([&] { return savedClippings().size() == 3; }));
    EXPECT_EQ(savedClippings().front()->text(), "pending");
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), memory_->changeCount());
}

}  // namespace
