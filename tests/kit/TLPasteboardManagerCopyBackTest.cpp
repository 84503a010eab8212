// Copy-back: clippings put on a pasteboard as stored, through a template or
// several at once, and what a write to the general pasteboard records.

#include "tests/kit/CaptureFixture.h"

#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "tests/kit/TestImages.h"

namespace {

namespace fs = std::filesystem;
constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
constexpr const char* kMetadata = TLPasteboard::kClippingMetadataType;
const foundation::Date kOld(1000);

std::string counterKey() {
    std::optional<std::string> version;
    if (auto* value = foundation::Bundle::main()->infoDictionary().get("CFBundleVersion")) version = value->stringValue();
    return foundation::format("TavloToClipboard-%@", version);
}

class TLPasteboardManagerCopyBackTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        start();
        notifications_.clear();
    }

    std::shared_ptr<Clipping> clipping(std::optional<std::string> text, std::optional<std::string> url = std::nullopt) {
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(Clipping::makeClippingID());
        c->setText(text);
        c->setUrl(url);
        c->setTavloDate(kOld);
        c->setModifiedDate(kOld);
        c->setSync(false);
        EXPECT_TRUE(context_->save().ok());
        return c;
    }
    static void writeAsset(const Clipping& c, int64_t index, const std::string& type, const std::string& contents) {
        auto url = NSFileManagerExtras::URLForAssetFile(c.clippingID(), *NSFileManagerExtras::assetFileName(index, type));
        fs::create_directories(url->filePath().parent_path());
        ASSERT_TRUE(foundation::Data::fromString(contents).writeToFile(url->filePath()));
    }
    // The clipboard once the copy's files were read and its items written.
    std::vector<desktop::PasteboardItem> written() {
        dispatch::MainQueue::runUntilIdle();
        return memory_->items();
    }
};

TEST(TLPasteboardManagerTemplateTest, FillsEachPlaceholderOfTheTemplateOnce) {
    testsupport::TempHome home;
    auto coordinator = TLDatabaseManager({capturetest::modelResource(), home.dataHome() / "Tavlo"}).persistentStoreCoordinator();
    store::Context context(coordinator);
    struct Row {
        const char* name;
        std::string format;
        std::optional<std::string> text, urlName, url, urlSource;
        std::string expected;
    };
    const Row rows[] = {
        {"title and source link", "{title}: {url}", {}, {}, {}, "https://src.org/p", ": https://src.org/p"},
        {"the link wins over the source", "{url}", {}, {}, "https://a.org", "https://src.org", "https://a.org"},
        {"HTML link", "<a href=\"{url}\">{title}</a>", {}, "A & B", "https://a.org", {}, "<a href=\"https://a.org\">A & B</a>"},
        {"Markdown link", "[{title}]({url})", {}, "Page", "https://a.org", {}, "[Page](https://a.org)"},
        {"quote", "\"{text}\"\n\n- {title} ({url})", "words", "Page", "https://a.org", {}, "\"words\"\n\n- Page (https://a.org)"},
        {"every occurrence", "{text}{text}", "ab", {}, {}, {}, "abab"},
        {"a text holding placeholders stays as it is", "{text}", "see {url} and {title}", "T", "https://a.org", {},
         "see {url} and {title}"},
        {"a title holding a placeholder stays as it is", "{title} {text}", "x", "{text}", {}, {}, "{text} x"},
        {"missing values are empty", "[{text}|{title}|{url}]", {}, {}, {}, {}, "[||]"},
        {"no placeholders", "plain {Text} {url", "x", {}, {}, {}, "plain {Text} {url"},
        {"braces around a placeholder", "{{text}}", "x", {}, {}, {}, "{x}"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto c = std::static_pointer_cast<Clipping>(context.insertNewObject(Clipping::kEntityName));
        c->setText(row.text);
        c->setUrlName(row.urlName);
        c->setUrl(row.url);
        c->setUrlSource(row.urlSource);
        EXPECT_EQ(TLPasteboardManager::stringByFillingTemplate(row.format, *c), row.expected);
    }
}

TEST_F(TLPasteboardManagerCopyBackTest, OneClippingGoesBackAsStoredOrAsPlainText) {
    auto rich = clipping("bold {url}");
    rich->setItems(1);
    writeAsset(*rich, 0, foundation::kUTTypeRTF, "{\\rtf1 bold}");
    manager_->copyClippingToGeneralPasteboard(rich);
    auto items = written();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_TRUE(items[0].hasType(foundation::kUTTypeRTF));
    EXPECT_EQ(items[0].string(kMetadata), rich->clippingID());

    // Plain-text mode: the text alone, with its "{url}" untouched.
    TLSettings()->setBool(true, TLUserDefaultsPlainTextMode);
    manager_->copyClippingToGeneralPasteboard(rich);
    items = written();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].types(), (std::vector<std::string>{kText, kMetadata}));
    EXPECT_EQ(items[0].string(kText), "bold {url}");
    EXPECT_EQ(rich->tavloTemplate(), "{text}");
}

TEST_F(TLPasteboardManagerCopyBackTest, ATemplateWritesOneTextItem) {
    auto link = clipping(std::nullopt);
    link->setUrlSource("https://src.org/page");
    manager_->copyClippings({link}, std::string("{title}: {url}"), general_, false);
    auto items = written();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].string(kText), ": https://src.org/page");
    EXPECT_EQ(items[0].string(kMetadata), link->clippingID());
    EXPECT_EQ(link->tavloTemplate(), "{title}: {url}");
}

TEST_F(TLPasteboardManagerCopyBackTest, SeveralTextsJoinInOneItem) {
    auto a = clipping("first");
    auto link = clipping(std::nullopt, "https://a.org/");
    auto empty = clipping(std::nullopt);
    auto b = clipping("second");
    manager_->copyClippings({a, link, empty, b}, std::string("{title}"), general_, false);
    auto items = written();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].string(kText), "first\nhttps://a.org/\nsecond");
    EXPECT_EQ(items[0].string(kMetadata), "");
    EXPECT_EQ(TLSettings()->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs),
              (std::vector<std::string>{*a->clippingID(), *link->clippingID(), *empty->clippingID(), *b->clippingID()}));
    // The template is recorded, not applied.
    EXPECT_EQ(b->tavloTemplate(), "{title}");
    EXPECT_EQ(b->pasteboardIndex(), 3);
}

TEST_F(TLPasteboardManagerCopyBackTest, ImagesOfSeveralClippingsBecomeItemsWithFileLinks) {
    auto text = clipping("caption");
    auto one = clipping(std::nullopt);
    one->setImage(foundation::kUTTypePNG);
    writeAsset(*one, 0, foundation::kUTTypePNG, kittest::pngBytes(Qt::red));
    auto two = clipping(std::nullopt);
    two->setImage(foundation::kUTTypePNG);
    writeAsset(*two, 0, foundation::kUTTypePNG, kittest::pngBytes(Qt::green));
    writeAsset(*two, 1, foundation::kUTTypePNG, kittest::pngBytes(Qt::blue));
    writeAsset(*two, 2, foundation::kUTTypePNG, "not an image");  // skipped

    manager_->copyClippingsToGeneralPasteboard({text, one, two});
    auto items = written();
    ASSERT_EQ(items.size(), 3u);
    const fs::path temporary = foundation::Paths::temporaryDirectory();
    const std::pair<std::shared_ptr<Clipping>, int> sources[] = {{one, 0}, {two, 0}, {two, 1}};
    for (size_t i = 0; i < items.size(); ++i) {
        SCOPED_TRACE(i);
        const auto& [source, index] = sources[i];
        EXPECT_EQ(items[i].string(kMetadata), source->clippingID());
        ASSERT_TRUE(items[i].data(foundation::kUTTypePNG));
        fs::path copy = temporary / (std::to_string(index) + "." + *source->clippingID() + ".png");
        EXPECT_EQ(items[i].string(foundation::kUTTypeFileURL), foundation::URL::fileURL(copy).absoluteString());
        EXPECT_EQ(foundation::Data::contentsOfFile(copy).value(), *items[i].data(foundation::kUTTypePNG));
        EXPECT_EQ(items[i].hasType(kText), i == 0);
    }
    EXPECT_EQ(items[0].string(kText), "caption");
}

TEST_F(TLPasteboardManagerCopyBackTest, WhatEachKindOfCopyRecords) {
    struct Row {
        const char* name;
        bool general;
        bool remotely;
    };
    const Row rows[] = {{"local copy", true, false}, {"remote copy", true, true}, {"drag", false, false}};
    auto drag = std::make_shared<TLMacPasteboard>();
    drag->setPasteboard(std::make_shared<desktop::MemoryPasteboard>());
    TLSettings()->setBool(true, TLUserDefaultsClipboardSync);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto c = clipping("text");
        TLSettings()->removeObjectForKey(TLUserDefaultsPasteboardChangeCount);
        TLSettings()->removeObjectForKey(TLUserDefaultsPasteboardClippingIDs);
        TLSettings()->removeObjectForKey(TLUserDefaultsClipboardSyncTavloDate);
        const int64_t counter = TLSettings()->integerForKey(counterKey());
        notifications_.clear();
        auto before = foundation::Date::now();

        manager_->copyClippings({c}, row.general ? general_ : std::shared_ptr<TLPasteboard>(drag), row.remotely);

        if (row.general) written();
        EXPECT_EQ((row.general ? memory_ : drag->pasteboard())->items().at(0).string(kText), "text");
        if (row.general) {
            EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), memory_->changeCount());
            EXPECT_EQ(TLSettings()->stringArrayForKey(TLUserDefaultsPasteboardClippingIDs),
                      std::vector<std::string>{*c->clippingID()});
            EXPECT_EQ(TLSettings()->integerForKey(counterKey()), counter + 1);
            EXPECT_EQ(notifications_, std::vector<std::vector<std::string>>{{*c->clippingID()}});
            EXPECT_TRUE(general_->isSaved());
        } else {
            EXPECT_TRUE(TLSettings()->objectForKey(TLUserDefaultsPasteboardChangeCount).isNull());
            EXPECT_EQ(TLSettings()->integerForKey(counterKey()), counter);
            EXPECT_TRUE(notifications_.empty());
        }
        const bool moved = row.general && !row.remotely;
        if (moved) {
            EXPECT_GE(c->tavloDate()->timeIntervalSince1970(), before.timeIntervalSince1970());
            EXPECT_GE(c->modifiedDate()->timeIntervalSince1970(), before.timeIntervalSince1970());
            EXPECT_EQ(c->tavloStyle(), 1);
            EXPECT_EQ(c->sync(), true);
            EXPECT_EQ(c->pasteboardIndex(), 0);
            EXPECT_EQ(TLSettings()->dateForKey(TLUserDefaultsClipboardSyncTavloDate), c->tavloDate());
            EXPECT_FALSE(context_->hasChanges());  // saved
        } else {
            EXPECT_EQ(c->tavloDate(), kOld);
            EXPECT_EQ(c->modifiedDate(), kOld);
            EXPECT_EQ(c->sync(), false);
            EXPECT_FALSE(c->pasteboardIndex());
            EXPECT_TRUE(TLSettings()->objectForKey(TLUserDefaultsClipboardSyncTavloDate).isNull());
        }
    }
}

TEST_F(TLPasteboardManagerCopyBackTest, TheClipboardIsWrittenOnceTheFilesWereReadOffTheMainThread) {
    manager_.reset();
    TLPasteboardManager::Configuration configuration;
    configuration.writerQueue = dispatch::Queue::createSerial("test.copy-back");
    start(std::move(configuration));
    auto c = clipping(std::nullopt);
    c->setImage(foundation::kUTTypePNG);
    writeAsset(*c, 0, foundation::kUTTypePNG, kittest::pngBytes(Qt::red));
    const int64_t before = memory_->changeCount();
    manager_->copyClippingToGeneralPasteboard(c);
    EXPECT_EQ(memory_->changeCount(), before);  // written on the main queue, after the read
    ASSERT_TRUE(runUntil([&] { return !memory_->items().empty(); }));
    EXPECT_TRUE(memory_->items()[0].data(foundation::kUTTypePNG));
    EXPECT_EQ(TLSettings()->integerForKey(TLUserDefaultsPasteboardChangeCount), memory_->changeCount());
}

TEST_F(TLPasteboardManagerCopyBackTest, TheProgramsOwnCopyIsNotCapturedAgain) {
    auto c = clipping("mine");
    manager_->copyClippingToGeneralPasteboard(c);
    written();
    tick();
    EXPECT_EQ(savedClippings().size(), 1u);
}

}  // namespace
