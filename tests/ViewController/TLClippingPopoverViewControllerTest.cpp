// The detail popover, its items and the merge sheet over a store in a
// temporary home, on Qt's offscreen platform with one 1920 × 1080 screen: the
// popover's sizes and placement, the items each clipping gives, the text
// transforms and links, editing with its close guard, saves that fail, the
// item copied to the clipboard, bad images and texts, merging and new
// clippings (a link's title from a loopback server).
#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QMovie>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QToolButton>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "ViewController/TLClippingItemViewController.h"
#include "ViewController/TLClippingPopoverViewController.h"
#include "ViewController/TLClippingsViewController.h"
#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLLinkFetcher.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Popover.h"
#include "platform/desktop/SharingServices.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "platform/store/FetchRequest.h"
#include "platform/store/Predicate.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/RecordingWorkspace.h"
#include "tests/support/TempHome.h"
#include "views/TLMergeWindowController.h"

namespace {

namespace fs = std::filesystem;
using Item = TLClippingItemViewController;
using Popover = TLClippingPopoverViewController;
using Panel = TLClippingsViewController;

void writeFile(const fs::path& path, const std::string& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << bytes;
}

std::string png(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

uint32_t crc32(const std::string& bytes) {
    uint32_t crc = 0xFFFFFFFF;
    for (unsigned char c : bytes) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320 & (0 - (crc & 1)));
    }
    return ~crc;
}

std::string bigEndian(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

// A PNG whose header claims 60,000 × 60,000 pixels and holds none.
std::string hugePNGHeader() {
    std::string ihdr = "IHDR" + bigEndian(60000) + bigEndian(60000) + std::string("\x08\x06\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + bigEndian(13) + ihdr + bigEndian(crc32(ihdr));
}

// An animated GIF of frames 1 × 1 pixel frames, 10 ms each.
std::string animatedGIF(int frames) {
    std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff", 19);
    gif += std::string("\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    for (int i = 0; i < frames; ++i) {
        gif += std::string("\x21\xf9\x04\x00\x01\x00\x00\x00", 8);
        gif += std::string("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10);
        gif += std::string(i % 2 ? "\x02\x02\x44\x01\x00" : "\x02\x02\x4c\x01\x00", 5);
    }
    return gif + ";";
}

foundation::Result<void> failingSave(store::Context&) {
    return foundation::Error("TestDomain", 1, "the disk is full");
}

class PreviewTest : public ::testing::Test {
protected:
    void SetUp() override {
        database_ = std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
            fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", home_.dataHome() / "Tavlo", 100});
        context_ = database_->managedObjectContext();
        ASSERT_TRUE(context_);
        anchor_.setGeometry(700, 300, 200, 100);
        anchor_.show();
    }
    void TearDown() override {
        popover_.reset();
        controller_ = nullptr;
        QCoreApplication::processEvents();
        settle();
    }

    static void settle() {
        for (int round = 0; round < 4; ++round) {
            QCoreApplication::processEvents();
            dispatch::MainQueue::runUntilIdle();
        }
    }
    static bool runUntil(const std::function<bool()>& done, double seconds = 20) {
        auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (!done()) {
            if (std::chrono::steady_clock::now() > end) return false;
            settle();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    std::shared_ptr<Clipping> add(std::optional<std::string> text, std::optional<std::string> url = std::nullopt) {
        auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText(text);
        clipping->setUrl(url);
        clipping->setTavloDate(foundation::Date(1.7e9 + double(++added_)));
        EXPECT_TRUE(context_->save().ok());
        return clipping;
    }
    static fs::path folder(const Clipping& clipping) {
        return NSFileManagerExtras::URLForClippingAssetsWithID(clipping.clippingID())->filePath();
    }
    // An asset file of the clipping with its Asset row.
    void addAsset(const std::shared_ptr<Clipping>& clipping, const std::string& name, const std::string& bytes) {
        writeFile(folder(*clipping) / name, bytes);
        auto asset = std::static_pointer_cast<Asset>(context_->insertNewObject(Asset::kEntityName));
        asset->setAssetID(Asset::makeAssetID(*clipping->clippingID(), name));
        asset->setFilename(name);
        asset->setClipping(clipping);
        ASSERT_TRUE(context_->save().ok());
    }

    // The clipping's popover, shown beside the anchor.
    Popover& show(const std::shared_ptr<Clipping>& clipping, double maxWidth = 800,
                  std::function<foundation::Result<void>(store::Context&)> save = nullptr) {
        popover_ = std::make_unique<desktop::Popover>();
        auto* controller = new Popover;
        controller->setMaxWidth(maxWidth);
        controller->setClipping(clipping);
        if (save) controller->setSaveContext(std::move(save));
        controller->setPopover(popover_.get());
        controller->viewDidLoad();
        popover_->setContentView(controller);
        popover_->setContentSize(controller->preferredContentSize());
        popover_->setShouldClose([controller](desktop::Popover& p) { return controller->popoverShouldClose(p); });
        popover_->setDidShow([controller](desktop::Popover& p) { controller->popoverDidShow(p); });
        popover_->showRelativeToRect(anchor_.rect(), &anchor_, desktop::Popover::Edge::MaxX);
        controller_ = controller;
        settle();
        return *controller;
    }
    std::vector<QString> headers() const {
        std::vector<QString> texts;
        for (auto* item : controller_->stackViewControllers()) texts.push_back(item->headerTextField()->text());
        return texts;
    }
    Item& onlyItem() const {
        EXPECT_EQ(controller_->stackViewControllers().size(), 1u);
        return *controller_->stackViewControllers().front();
    }
    static void type(Item& item, const QString& text) {
        item.edit();
        item.textView()->selectAll();
        QTest::keyClicks(item.textView(), text);
    }
    static bool alertShows(const QString& message) {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (!top->isVisible()) continue;
            for (auto* label : top->findChildren<QLabel*>())
                if (label->isVisible() && label->text() == message) return true;
        }
        return false;
    }
    int64_t clippingCount() {
        store::FetchRequest all(Clipping::kEntityName);
        return context_->count(all).value();
    }

    testsupport::TempHome home_;
    std::unique_ptr<TLDatabaseManager> database_;
    std::shared_ptr<store::Context> context_;
    QWidget anchor_;
    std::unique_ptr<desktop::Popover> popover_;
    Popover* controller_ = nullptr;
    int added_ = 0;
};

// --- Sizes and placement.

TEST(PopoverGeometry, WidthsHeightsHeaderOffsetsAndPlacement) {
    struct WidthCase { std::vector<QSize> images; double maxWidth; double width; };
    for (const auto& c : std::vector<WidthCase>{{{{900, 10}, {600, 10}}, 800, 600},
                                                {{{600, 10}, {900, 10}}, 800, 800},
                                                {{{300, 10}}, 800, 480},
                                                {{}, 800, 480}}) {
        EXPECT_EQ(Popover::popoverWidth(c.images, c.maxWidth), c.width);
    }
    struct HeightCase { QSize image; double width; int height; };
    for (const auto& c : std::vector<HeightCase>{{{1000, 500}, 800, 448}, {{100, 50}, 800, 150}, {{480, 300}, 480, 348}}) {
        EXPECT_EQ(Popover::imageItemHeight(c.image, c.width), c.height) << c.image.width() << "x" << c.image.height();
    }
    struct OffsetCase { int visibleTop, itemTop, itemHeight, offset; };
    for (const auto& c : std::vector<OffsetCase>{{0, 0, 400, 0}, {100, 0, 400, 100}, {390, 0, 400, 352},
                                                 {100, 200, 400, 0}, {250, 200, 400, 50}}) {
        EXPECT_EQ(Popover::headerOffset(c.visibleTop, c.itemTop, c.itemHeight), c.offset);
    }
    EXPECT_EQ(Popover::charactersText(3), QStringLiteral("3 characters"));
    EXPECT_EQ(Popover::charactersText(1), QStringLiteral("1 character"));

    const QRect screen(0, 0, 1920, 1080);
    auto nearRight = Panel::popoverPlacement(screen, QRect(1500, 100, 400, 600));
    EXPECT_FALSE(nearRight.onRight);
    EXPECT_EQ(nearRight.maxWidth, 1500 - 18);
    auto nearLeft = Panel::popoverPlacement(screen, QRect(20, 100, 400, 600));
    EXPECT_TRUE(nearLeft.onRight);
    EXPECT_EQ(nearLeft.maxWidth, 1920 - 420 - 18);
    auto maximised = Panel::popoverPlacement(screen, screen);
    EXPECT_GE(maximised.maxWidth, 480);
}

TEST(ItemTransforms, WhitespaceCaseAndLinks) {
    struct Case { QString in, out; };
    for (const auto& c : std::vector<Case>{{"a  b\t\tc", "a b c"},
                                           {"line one   \n  line two", "line one \nline two"},
                                           {"  \n\nfirst\n\n\nlast  \n", "first\n\n\nlast"},
                                           {"x \t \n y", "x \ny"}}) {
        EXPECT_EQ(Item::removeExtraWhitespace(c.in), c.out) << c.in.toStdString();
    }
    EXPECT_EQ(Item::removeLeadingWhitespace(QStringLiteral("no lead  ")), QStringLiteral("no lead  "));
    EXPECT_EQ(Item::removeLeadingWhitespace(QString::fromUtf8("\u00A0\u2003 \n x")), QStringLiteral("x"));
    EXPECT_EQ(Item::removeTrailingWhitespace(QStringLiteral(" a b \t\n")), QStringLiteral(" a b"));
    EXPECT_EQ(Item::capitalizedString(QStringLiteral("hello wORLD\tdon't")), QStringLiteral("Hello World\tDon't"));

    const QString text = QStringLiteral("see https://example.com/a_(b). and (http://a.org/x), mailto:x@a.org, bare, "
                                        "ftp://files.example.net/f.txt");
    std::vector<QString> found;
    for (auto link : Item::detectLinks(text)) found.push_back(text.mid(link.start, link.length));
    EXPECT_EQ(found, (std::vector<QString>{"https://example.com/a_(b)", "http://a.org/x", "ftp://files.example.net/f.txt"}));
    QString late = QString(Item::kLinkDetectionLength - 5, u'x') + QStringLiteral(" https://late.example.com/");
    EXPECT_TRUE(Item::detectLinks(late).empty()) << "past the detected length";
}

// --- Items.

TEST_F(PreviewTest, ItemsAndHeadersForEachKindOfClipping) {
    show(add("abc"));
    EXPECT_EQ(headers(), std::vector<QString>{"3 characters"});
    show(add("a"));
    EXPECT_EQ(headers(), std::vector<QString>{"1 character"});
    show(add("https://example.com/", "https://example.com/"));
    EXPECT_EQ(headers(), std::vector<QString>{"20 characters"});
    EXPECT_TRUE(onlyItem().itemURL());

    auto titled = add("text", "https://example.com/");
    titled->setUrlName("Example");
    titled->setUrlSource("https://source.example.com/");
    show(titled);
    EXPECT_EQ(headers(), (std::vector<QString>{"Example", "Example"}));

    auto withImages = add("a text with a picture of it");
    addAsset(withImages, "1.public.png", png(100, 50));
    show(withImages);
    EXPECT_EQ(headers(), std::vector<QString>{"27 characters"}) << "a text shows no image items";
}

TEST_F(PreviewTest, ImageItemsAreSizedFromTheirFilesAndBadFilesGiveNone) {
    auto image = add(std::nullopt);
    image->setImage("public.png");
    addAsset(image, "0.public.png", png(1000, 500));
    addAsset(image, "1.public.png", "");                   // empty
    addAsset(image, "2.public.jpeg", hugePNGHeader());      // a header claiming 60,000 x 60,000
    addAsset(image, "3.public.png", png(100, 50));
    writeFile(folder(*image) / "4.public.tiff", "not an image at all");
    Popover& popover = show(image, 800);
    EXPECT_EQ(headers(), (std::vector<QString>{QString::fromUtf8("PNG - 1000 \u00D7 500"),
                                               QString::fromUtf8("PNG - 100 \u00D7 50")}));
    ASSERT_EQ(popover.stackViewControllers().size(), 2u);
    EXPECT_EQ(popover.stackViewControllers()[0]->height(), 448);
    EXPECT_EQ(popover.stackViewControllers()[1]->height(), 150);
    EXPECT_EQ(popover.stackViewControllers()[0]->width(), 800);
    EXPECT_EQ(popover.preferredContentSize(), QSize(800, 598));
    EXPECT_LE(popover.stackViewControllers()[0]->itemImage().width(), 800) << "decoded at the size shown";

    auto missing = add(std::nullopt);
    missing->setImage("public.png");
    Popover& empty = show(missing);
    EXPECT_TRUE(empty.stackViewControllers().empty());
    EXPECT_EQ(empty.preferredContentSize(), QSize(480, 150));
}

TEST_F(PreviewTest, TheHeightStaysWithinTheScreenAndHeadersStayPinned) {
    std::string lines;
    for (int i = 0; i < 400; ++i) lines += "line " + std::to_string(i) + "\n";
    Popover& tall = show(add(lines));
    EXPECT_EQ(tall.preferredContentSize().height(), 1080 - 40);

    auto image = add(std::nullopt);
    image->setImage("public.png");
    for (int i = 0; i < 3; ++i) addAsset(image, std::to_string(i) + ".public.png", png(480, 600));
    Popover& images = show(image);
    ASSERT_EQ(images.stackViewControllers().size(), 3u);
    images.scrollView()->verticalScrollBar()->setValue(700);
    settle();
    // Item 0 spans 0-648, item 1 648-1296: item 1's header sits 52 below its top.
    EXPECT_EQ(images.stackViewControllers()[0]->headerViewTopConstraint(), 600);
    EXPECT_EQ(images.stackViewControllers()[1]->headerViewTopConstraint(), 52);
    EXPECT_EQ(images.stackViewControllers()[2]->headerViewTopConstraint(), 0);
}

TEST_F(PreviewTest, MarkupShowsLiterallyAndLinksAreMarked) {
    const QString html = QStringLiteral("<img src=\"file:///etc/passwd\"><b>bold</b> https://example.com/page");
    show(add(html.toStdString()));
    QTextEdit* view = onlyItem().textView();
    EXPECT_EQ(view->toPlainText(), html);
    bool anyImage = false, anyBold = false;
    QString anchor;
    for (QTextBlock block = view->document()->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            anyImage |= it.fragment().charFormat().isImageFormat();
            anyBold |= it.fragment().charFormat().fontWeight() > QFont::Normal;
            if (it.fragment().charFormat().isAnchor()) anchor = it.fragment().charFormat().anchorHref();
        }
    }
    EXPECT_FALSE(anyImage);
    EXPECT_FALSE(anyBold);
    EXPECT_EQ(anchor, QStringLiteral("https://example.com/page"));
}

TEST_F(PreviewTest, ALongTextOpensInPiecesAndAnimatedImagesPlayUncached) {
    std::string big;
    while (big.size() < 10u << 20) big += "A line of a long text, long enough to wrap twice in the popover. https://x.org\n";
    {
        // The first piece goes in alone: it is laid out again once the view
        // has its width, which would hold the opening for all that is in.
        Item unshown;
        unshown.setItemText(QString::fromStdString(big));
        unshown.viewDidLoad();
        EXPECT_EQ(unshown.textView()->document()->characterCount() - 1, Item::kFillPieceLength);
    }
    show(add(big));
    Item& item = onlyItem();
    EXPECT_TRUE(item.isFilling()) << "the rest comes from the event loop";
    ASSERT_TRUE(runUntil([&] { return !item.isFilling(); }, 120));
    EXPECT_EQ(item.textView()->toPlainText().size(), qsizetype(big.size()));
    EXPECT_FALSE(item.isEditing());

    auto gif = add(std::nullopt);
    gif->setImage("com.compuserve.gif");
    addAsset(gif, "0.com.compuserve.gif", animatedGIF(5000));
    show(gif);
    QMovie* movie = onlyItem().movie();
    ASSERT_NE(movie, nullptr);
    EXPECT_EQ(movie->cacheMode(), QMovie::CacheNone);
    EXPECT_EQ(movie->state(), QMovie::Running);
    const int first = movie->currentFrameNumber();
    ASSERT_TRUE(runUntil([&] { return movie->currentFrameNumber() > first + 3; }));
}

// --- Options and transforms.

TEST_F(PreviewTest, TheOptionsMenuWaitsForAShownPopoverAndTransformsStartFromTheStoredText) {
    Item item;
    item.setItemText(QStringLiteral("  Stored Text  "));
    item.viewDidLoad();
    EXPECT_EQ(item.optionsMenu(), nullptr) << "no popover has shown yet";

    show(add("  Stored Text  "));
    Item& shown = onlyItem();
    auto menu = shown.optionsMenu();
    ASSERT_TRUE(menu);
    std::vector<std::string> titles;
    for (const auto& entry : menu->items()) titles.push_back(entry->title());
    EXPECT_EQ(titles, (std::vector<std::string>{"Edit", "Transform Text", "Copy", "Share"}));
    std::vector<std::string> transforms;
    for (const auto& entry : menu->itemAtIndex(1)->submenu()->items()) transforms.push_back(entry->title());
    EXPECT_EQ(transforms, (std::vector<std::string>{"Convert to Upper Case", "Convert to Lower Case", "Title Case",
                                                    "Capitalize Words", "Remove Leading Whitespace",
                                                    "Remove Trailing Whitespace", "Remove Extra Whitespace"}));

    type(shown, QStringLiteral("typed"));
    menu->itemAtIndex(1)->submenu()->itemAtIndex(0)->performAction();
    EXPECT_EQ(shown.textView()->toPlainText(), QStringLiteral("  STORED TEXT  "));
    EXPECT_TRUE(shown.isEditing());
    EXPECT_EQ(controller_->editingItemViewController(), &shown);
    shown.cancelChanges();
    EXPECT_EQ(shown.textView()->toPlainText(), QStringLiteral("  Stored Text  "));
    EXPECT_FALSE(controller_->isEditing());
}

TEST_F(PreviewTest, TheShareMenuHandsTheItemToTheDesktop) {
    testsupport::RecordingWorkspace::Scope workspace;
    show(add("words to share"));
    auto menu = onlyItem().optionsMenu();
    ASSERT_TRUE(menu);
    std::shared_ptr<desktop::Menu> share;
    for (const auto& entry : menu->items())
        if (entry->title() == "Share") share = entry->submenu();
    ASSERT_TRUE(share);
    std::vector<std::string> services;
    for (const auto& entry : share->items()) services.push_back(entry->title());
    EXPECT_EQ(services, (std::vector<std::string>{desktop::SharingServices::kEmail, desktop::SharingServices::kSaveToFile,
                                                  desktop::SharingServices::kOpenWithDefaultApplication}));

    // Opened as a private copy of the text.
    share->itemAtIndex(2)->performAction();
    settle();
    ASSERT_EQ(workspace->files.size(), 1u);
    const fs::path copy = workspace->files[0];
    std::ifstream file(copy);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>()), "words to share");
    EXPECT_EQ(fs::status(copy).permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);

    // The mail takes the text as its body.
    share->itemAtIndex(0)->performAction();
    settle();
    ASSERT_EQ(workspace->urls.size(), 1u);
    EXPECT_EQ(workspace->urls[0], "mailto:?body=words%20to%20share");
}

// --- Saving.

TEST_F(PreviewTest, ATextSaveReplacesEveryOtherFormOnlyOnceStored) {
    for (bool fails : {true, false}) {
        auto clipping = add("old text");
        clipping->setImage("public.png");
        clipping->setColor(0xff0000);
        clipping->setItems(3);
        addAsset(clipping, "0.public.png", png(10, 10));
        addAsset(clipping, "0.public.rtf", "{\\rtf1 old}");
        show(clipping, 800, fails ? failingSave : std::function<foundation::Result<void>(store::Context&)>());
        Item& item = onlyItem();
        type(item, QStringLiteral("new text"));
        QTest::keyClick(item.textView(), Qt::Key_S, Qt::ControlModifier | Qt::AltModifier);
        settle();
        EXPECT_TRUE(item.isEditing()) << "Ctrl+Alt+S is the text view's";
        const QString typed = item.textView()->toPlainText();
        QTest::keyClick(item.textView(), Qt::Key_S, Qt::ControlModifier);
        settle();
        if (fails) {
            EXPECT_TRUE(item.isEditing());
            EXPECT_EQ(item.textView()->toPlainText(), typed);
            EXPECT_EQ(clipping->text(), "old text");
            EXPECT_EQ(clipping->image(), "public.png");
            EXPECT_EQ(clipping->items(), 3);
            EXPECT_EQ(clipping->assets().size(), 2u);
            EXPECT_TRUE(fs::exists(folder(*clipping) / "0.public.png"));
            EXPECT_FALSE(context_->hasChanges());
        } else {
            EXPECT_FALSE(item.isEditing());
            EXPECT_EQ(clipping->text(), typed.toStdString());
            EXPECT_TRUE(typed.startsWith(QStringLiteral("new text")));
            EXPECT_EQ(clipping->image(), std::nullopt);
            EXPECT_EQ(clipping->color(), std::nullopt);
            EXPECT_EQ(clipping->items(), 1);
            EXPECT_EQ(clipping->sync(), true);
            EXPECT_TRUE(clipping->assets().empty());
            EXPECT_FALSE(fs::exists(folder(*clipping)));
        }
    }
}

TEST_F(PreviewTest, ALinkSaveNeedsASchemeAndAHost) {
    auto clipping = add(std::nullopt, "https://example.com/");
    show(clipping);
    Item& item = onlyItem();
    type(item, QStringLiteral("bare"));
    item.saveChanges();
    settle();
    EXPECT_TRUE(alertShows(QStringLiteral("Not a valid URL.")));
    EXPECT_TRUE(item.isEditing());
    desktop::Alert::answerShown(0);
    type(item, QStringLiteral("https://example.org/new"));
    item.saveChanges();
    settle();
    EXPECT_FALSE(item.isEditing());
    EXPECT_EQ(clipping->url(), "https://example.org/new");
}

TEST_F(PreviewTest, TheCloseGuardKeepsAnEditUntilSavedOrDiscarded) {
    QWidget outside;
    outside.setGeometry(10, 10, 100, 100);
    outside.show();
    enum Answer { Discard, Save, SaveEmpty };
    for (Answer answer : {Discard, Save, SaveEmpty}) {
        auto clipping = add("kept");
        show(clipping);
        Item& item = onlyItem();
        type(item, answer == SaveEmpty ? QString() : QStringLiteral("changed"));
        if (answer == SaveEmpty) {
            item.edit();
            item.textView()->selectAll();
            QTest::keyClick(item.textView(), Qt::Key_Backspace);
        }
        ASSERT_TRUE(controller_->isEditing());
        QTest::mouseClick(&outside, Qt::LeftButton);
        settle();
        EXPECT_TRUE(popover_->isShown()) << "a click outside leaves the edit up";
        ASSERT_NE(controller_->closeGuardAlert(), nullptr);
        EXPECT_TRUE(controller_->closeGuardAlert()->isShowing());
        EXPECT_EQ(controller_->closeGuardAlert()->messageText(), "Changes have not been saved.");
        EXPECT_EQ(controller_->closeGuardAlert()->buttonTitles(), (std::vector<std::string>{"Save", "Discard"}));
        desktop::Alert::answerShown(answer == Discard ? 1 : 0);
        settle();
        switch (answer) {
        case Discard:
            EXPECT_FALSE(popover_->isShown());
            EXPECT_EQ(clipping->text(), "kept");
            break;
        case Save:
            EXPECT_FALSE(popover_->isShown());
            EXPECT_EQ(clipping->text(), "changed");
            break;
        case SaveEmpty:
            EXPECT_TRUE(popover_->isShown()) << "a refused save keeps the edit";
            EXPECT_TRUE(item.isEditing());
            EXPECT_TRUE(alertShows(QStringLiteral("Text cannot be empty.")));
            desktop::Alert::answerShown(0);
            EXPECT_EQ(clipping->text(), "kept");
            break;
        }
        popover_->close();
    }
}

TEST_F(PreviewTest, SpaceClosesThePopover) {
    show(add("abc"));
    ASSERT_TRUE(popover_->isShown());
    QTest::keyClick(controller_, Qt::Key_Space);
    EXPECT_FALSE(popover_->isShown());
}

TEST_F(PreviewTest, CopyingAnImageItemPutsItsFileAndTheClippingOnTheClipboard) {
    auto image = add(std::nullopt);
    image->setImage("public.png");
    const std::string bytes = png(64, 32);
    addAsset(image, "0.public.png", bytes);
    show(image);
    // The copy is the popover's own: no change count is kept and no notice goes out.
    const foundation::PlistValue countBefore = TLSettings()->objectForKey(TLUserDefaultsPasteboardChangeCount);
    int notices = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration observer(
        center, center.addObserver(TLClipboardDidUpdateNotification, nullptr,
                                   [&](const foundation::Notification&) { ++notices; }));
    onlyItem().copyItem();
    settle();
    EXPECT_EQ(TLSettings()->objectForKey(TLUserDefaultsPasteboardChangeCount), countBefore);
    EXPECT_EQ(notices, 0);
    auto pasteboard = TLMacPasteboard::generalPasteboard();
    auto data = pasteboard->dataForDataType("public.png");
    ASSERT_TRUE(data);
    EXPECT_EQ(data->toString(), bytes);
    EXPECT_EQ(pasteboard->stringForDataType(TLPasteboard::kClippingMetadataType), image->clippingID());
    EXPECT_EQ(image->pasteboardIndex(), 0);
    EXPECT_EQ(image->sync(), true);
}

// --- Merging and new clippings.

class MergeTest : public PreviewTest {
protected:
    TLMergeWindowController& sheet(std::vector<std::shared_ptr<Clipping>> clippings,
                                   std::function<foundation::Result<void>(store::Context&)> save = nullptr) {
        TLMergeWindowController::Configuration configuration;
        configuration.context = context_;
        configuration.pasteboardManager = manager();
        configuration.saveContext = std::move(save);
        sheet_ = std::make_unique<TLMergeWindowController>(configuration);
        sheet_->setSelectedClippings(std::move(clippings));
        sheet_->setCompletionBlock([this] { ++completions_; });
        sheet_->beginSheetForWindow(&anchor_, [this] { ++ended_; });
        return *sheet_;
    }
    std::shared_ptr<TLPasteboardManager> manager() {
        if (!manager_) {
            TLLinkFetcher::Limits limits;
            limits.timeout = 10;
            TLPasteboardManager::Configuration configuration;
            configuration.generalPasteboard = TLMacPasteboard::generalPasteboard();
            configuration.managedObjectContext = context_;
            configuration.linkFetcher = std::make_shared<TLLinkFetcher>(limits);
            manager_ = std::make_shared<TLPasteboardManager>(configuration);
            manager_->setClipboardCapture(false);
        }
        return manager_;
    }
    std::shared_ptr<Clipping> clippingWith(const std::string& field, const std::string& value) {
        store::FetchRequest request(Clipping::kEntityName);
        request.predicate = store::Predicate::withFormat(field + " == %@", value).value();
        auto found = context_->fetch(request);
        return found && !found.value().empty() ? std::static_pointer_cast<Clipping>(found.value().front()) : nullptr;
    }

    std::unique_ptr<TLMergeWindowController> sheet_;
    std::shared_ptr<TLPasteboardManager> manager_;
    int completions_ = 0;
    int ended_ = 0;
};

TEST_F(MergeTest, MergingWritesTheJoinedTextIntoTheFirstInOneSave) {
    for (bool fails : {true, false}) {
        auto link = add(std::nullopt, "https://example.com/page");
        link->setUrlName("Example Page");
        link->setColor(0x00ff00);
        link->setItems(2);
        addAsset(link, "0.public.png", png(8, 8));
        auto text = add("some text");
        text->setUrlSource("https://source.example.com/");
        addAsset(text, "0.public.rtf", "{\\rtf1 some text}");
        const int64_t before = clippingCount();
        const int beeps = TLMergeWindowController::beepCount();
        auto& merge = sheet({link, text}, fails ? failingSave : std::function<foundation::Result<void>(store::Context&)>());
        const QString expected = QStringLiteral("Example Page\n\nhttps://example.com/page\n\n\nsome text\n\n"
                                                "https://source.example.com/");
        EXPECT_EQ(merge.textView()->toPlainText(), expected);
        EXPECT_EQ(merge.mergeButton()->text(), QStringLiteral("Merge"));
        QTest::keyClick(merge.textView(), Qt::Key_M, Qt::ControlModifier);
        settle();
        if (fails) {
            EXPECT_EQ(clippingCount(), before);
            EXPECT_EQ(link->url(), "https://example.com/page");
            EXPECT_EQ(link->assets().size(), 1u);
            EXPECT_TRUE(fs::exists(folder(*link) / "0.public.png"));
            EXPECT_TRUE(fs::exists(folder(*text) / "0.public.rtf"));
            EXPECT_EQ(ended_, 0) << "the sheet stays up";
            EXPECT_EQ(TLMergeWindowController::beepCount(), beeps + 1);
            ended_ = 0;
            continue;
        }
        EXPECT_EQ(clippingCount(), before - 1);
        EXPECT_EQ(link->text(), expected.toStdString());
        EXPECT_EQ(link->url(), std::nullopt);
        EXPECT_EQ(link->image(), std::nullopt);
        EXPECT_EQ(link->urlSource(), std::nullopt);
        EXPECT_EQ(link->urlName(), "");
        EXPECT_EQ(link->color(), std::nullopt);
        EXPECT_EQ(link->items(), 1);
        EXPECT_TRUE(link->assets().empty());
        EXPECT_FALSE(fs::exists(folder(*link)));
        EXPECT_FALSE(fs::exists(folder(*text)));
        EXPECT_EQ(text->managedObjectContext(), nullptr);
        EXPECT_EQ(completions_, 1);
        EXPECT_EQ(ended_, 1);
    }
}

TEST_F(MergeTest, CtrlSMergesAsCtrlMDoes) {
    auto first = add("first");
    auto second = add("second");
    const int64_t before = clippingCount();
    auto& merge = sheet({first, second});
    const QString joined = merge.textView()->toPlainText();
    ASSERT_TRUE(joined.contains(QStringLiteral("first")) && joined.contains(QStringLiteral("second")));
    QTest::keyClick(merge.textView(), Qt::Key_S, Qt::ControlModifier);
    settle();
    EXPECT_EQ(clippingCount(), before - 1);
    EXPECT_EQ(first->text(), joined.toStdString());
    EXPECT_EQ(second->managedObjectContext(), nullptr);
    EXPECT_EQ(completions_, 1);
    EXPECT_EQ(ended_, 1);
}

TEST_F(MergeTest, AnEmptyTextIsRefusedAndTheButtonFollowsTheText) {
    auto& merge = sheet({});
    EXPECT_EQ(merge.mergeButton()->text(), QStringLiteral("Save"));
    EXPECT_FALSE(merge.mergeButton()->isEnabled());
    const int64_t before = clippingCount();
    for (Qt::Key key : {Qt::Key_S, Qt::Key_M}) {
        const int beeps = TLMergeWindowController::beepCount();
        QTest::keyClick(merge.textView(), key, Qt::ControlModifier);
        EXPECT_EQ(TLMergeWindowController::beepCount(), beeps + 1) << key;
        EXPECT_EQ(clippingCount(), before) << key;
        EXPECT_EQ(ended_, 0) << key;
    }
    QTest::keyClicks(merge.textView(), QStringLiteral("x"));
    EXPECT_TRUE(merge.mergeButton()->isEnabled());
    QTest::keyClick(merge.textView(), Qt::Key_Backspace);
    EXPECT_FALSE(merge.mergeButton()->isEnabled());
    QTest::keyClick(&merge, Qt::Key_Escape);
    EXPECT_EQ(completions_, 1) << "Escape runs the completion";
    EXPECT_EQ(ended_, 1);
}

TEST_F(MergeTest, NewClippingsBecomeLinksOrTexts) {
    testsupport::LoopbackServer server;
    ASSERT_TRUE(server.start());
    server.route("/x", testsupport::Reply::text("<html><head><title>The X Page</title></head></html>", 200,
                                                "text/html; charset=utf-8"));
    const std::string address = server.url("/x");

    auto& link = sheet({});
    QTest::keyClicks(link.textView(), QString::fromStdString(address));
    QTest::mouseClick(link.mergeButton(), Qt::LeftButton);
    EXPECT_EQ(completions_, 0) << "Save runs no completion";
    EXPECT_EQ(ended_, 1);
    ASSERT_TRUE(runUntil([&] {
        auto made = clippingWith("url", address);
        return made && made->urlName() == "The X Page";
    }));
    auto made = clippingWith("url", address);
    EXPECT_EQ(made->text(), std::nullopt);
    EXPECT_EQ(made->deviceName(), "OSX");
    EXPECT_TRUE(made->clippingID()->starts_with("C-"));

    ended_ = 0;
    auto& text = sheet({});
    QTest::keyClicks(text.textView(), QStringLiteral("two words"));
    QTest::mouseClick(text.mergeButton(), Qt::LeftButton);
    EXPECT_EQ(ended_, 1);
    auto words = clippingWith("text", "two words");
    ASSERT_TRUE(words);
    EXPECT_EQ(words->url(), std::nullopt);
    EXPECT_EQ(words->sync(), true);
}

// --- The panel.

TEST_F(MergeTest, ThePanelPreviewsRowsClosesOnScrollAndOpensSheets) {
    for (int i = 0; i < 40; ++i) add("row " + std::to_string(i));
    Panel::Configuration configuration;
    configuration.context = context_;
    configuration.pasteboardClippingIDs = [] { return std::vector<std::string>{}; };
    configuration.pasteboardManager = manager();
    Panel panel(configuration);
    panel.setGeometry(1500, 100, 360, 600);
    panel.show();
    settle();
    panel.waitForMeasurements();
    settle();

    panel.previewClippingAtIndex(0);
    settle();
    ASSERT_NE(panel.presentedPopover(), nullptr);
    EXPECT_TRUE(panel.presentedPopover()->isShown());
    EXPECT_EQ(panel.presentedPopover()->shownEdge(), desktop::Popover::Edge::MinX) << "more room on the left";
    EXPECT_EQ(panel.presentedPopoverViewController()->maxWidth(), 1500 - 18);

    panel.tableView()->verticalScrollBar()->setValue(panel.tableView()->verticalScrollBar()->maximum());
    settle();
    EXPECT_EQ(panel.presentedPopover(), nullptr) << "scrolling closes the popover";

    panel.tableView()->selectRow(0);
    panel.mergeSelectedClippings();
    EXPECT_EQ(panel.mergeWindowController(), nullptr) << "one clipping is no merge";
    panel.tableView()->selectionModel()->select(panel.tableView()->model()->index(1, 0),
                                                QItemSelectionModel::Select | QItemSelectionModel::Rows);
    settle();
    ASSERT_EQ(panel.selectedClippings().size(), 2u);
    panel.mergeSelectedClippings();
    ASSERT_NE(panel.mergeWindowController(), nullptr);
    EXPECT_TRUE(panel.mergeWindowController()->isVisible());
    panel.mergeWindowController()->cancelMerge();
    settle();
    EXPECT_EQ(panel.mergeWindowController(), nullptr);
}

}  // namespace
