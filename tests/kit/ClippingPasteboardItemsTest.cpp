// Stored clippings rebuilt as pasteboard items from their fields and asset files.

#include <gtest/gtest.h>

#include <filesystem>

#include "kit/Clipping.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLPasteboardItem.h"
#include "platform/foundation/Paths.h"
#include "platform/store/Context.h"
#include "tests/support/TempHome.h"

namespace {

namespace fs = std::filesystem;
using foundation::Data;
constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
constexpr const char* kMetadata = "com.tavlo.clipping-metadata";

class ClippingPasteboardItemsTest : public ::testing::Test {
protected:
    std::shared_ptr<Clipping> clipping(std::optional<int64_t> items = std::nullopt) {
        auto c = std::static_pointer_cast<Clipping>(context_.insertNewObject(Clipping::kEntityName));
        c->setClippingID(Clipping::makeClippingID());
        c->setItems(items);
        return c;
    }
    // An asset file as capture names it.
    static void writeAsset(const Clipping& c, int64_t index, const std::string& type, const std::string& contents) {
        auto name = NSFileManagerExtras::assetFileName(index, type);
        ASSERT_TRUE(name);
        auto url = NSFileManagerExtras::URLForAssetFile(c.clippingID(), *name);
        ASSERT_TRUE(url);
        fs::create_directories(url->filePath().parent_path());
        ASSERT_TRUE(Data::fromString(contents).writeToFile(url->filePath()));
    }
    static std::string fileContents(const std::string& fileURL) {
        auto data = Data::contentsOfFile(foundation::URL::parse(fileURL)->filePath());
        return data ? data.value().toString() : "<missing>";
    }
    static std::vector<std::string> filesUnder(const fs::path& root) {
        std::vector<std::string> out;
        for (const auto& entry : fs::recursive_directory_iterator(root)) {
            if (entry.is_regular_file()) out.push_back(fs::relative(entry.path(), root).string());
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    testsupport::TempHome home_;
    std::shared_ptr<store::Coordinator> coordinator_ =
        TLDatabaseManager({fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", home_.root() / "container"})
            .persistentStoreCoordinator();
    store::Context context_{coordinator_};
};

TEST_F(ClippingPasteboardItemsTest, ItemCountZeroOrNilIsOne) {
    for (std::optional<int64_t> items : {std::optional<int64_t>(), std::optional<int64_t>(0)}) {
        auto c = clipping(items);
        EXPECT_TRUE(c->pasteboardItemAtIndex(0));
        EXPECT_FALSE(c->pasteboardItemAtIndex(1));
        EXPECT_FALSE(c->pasteboardItemAtIndex(-1));
        EXPECT_EQ(c->pasteboardItems().size(), 1u);
    }
}

TEST_F(ClippingPasteboardItemsTest, TextAndLinkClippingsWithoutFiles) {
    auto text = clipping();
    text->setText("hello");
    auto item = text->pasteboardItemAtIndex(0);
    EXPECT_EQ(item->types(), (std::vector<std::string>{kText, kMetadata}));
    EXPECT_EQ(item->text(), "hello");
    EXPECT_EQ(item->stringForType(kMetadata), text->clippingID());

    auto link = clipping();
    link->setUrl("https://a.org/page");
    item = link->pasteboardItemAtIndex(0);
    EXPECT_EQ(item->stringForType(foundation::kUTTypeURL), "https://a.org/page");
    EXPECT_EQ(item->text(), "https://a.org/page");

    // A missing asset folder leaves further items with the identifier alone.
    auto two = clipping(2);
    EXPECT_EQ(two->pasteboardItemAtIndex(1)->types(), std::vector<std::string>{kMetadata});
}

TEST_F(ClippingPasteboardItemsTest, FilesOfTheSameTypeReplaceTheFieldEntries) {
    auto c = clipping();
    c->setText("field text");
    writeAsset(*c, 0, kText, "file text");
    writeAsset(*c, 0, foundation::kUTTypeRTF, "{\\rtf1 x}");
    auto item = c->pasteboardItemAtIndex(0);
    EXPECT_EQ(item->text(), "file text");
    EXPECT_EQ(item->stringForType(foundation::kUTTypeRTF), "{\\rtf1 x}");
}

TEST_F(ClippingPasteboardItemsTest, ImageOfItemZeroGetsATemporaryCopy) {
    auto named = clipping();
    named->setImage(foundation::kUTTypePNG);
    named->setUrl("https://a.org/pics/cat.png");
    writeAsset(*named, 0, foundation::kUTTypePNG, "cat pixels");
    auto item = named->pasteboardItemAtIndex(0);
    EXPECT_EQ(item->dataForType(foundation::kUTTypePNG), Data::fromString("cat pixels"));
    auto copy = item->stringForType(foundation::kUTTypeFileURL);
    ASSERT_TRUE(copy);
    EXPECT_EQ(*copy, foundation::URL::fileURL(foundation::Paths::temporaryDirectory() / *named->clippingID() / "cat.png")
                         .absoluteString());
    EXPECT_EQ(fileContents(*copy), "cat pixels");

    auto unnamed = clipping();
    unnamed->setImage(foundation::kUTTypePNG);
    writeAsset(*unnamed, 0, foundation::kUTTypePNG, "png");
    copy = unnamed->pasteboardItemAtIndex(0)->stringForType(foundation::kUTTypeFileURL);
    ASSERT_TRUE(copy);
    EXPECT_EQ(foundation::URL::parse(*copy)->lastPathComponent(), *unnamed->clippingID() + ".png");
}

TEST_F(ClippingPasteboardItemsTest, ClippingsWhoseLinksShareAFileNameKeepTheirOwnCopies) {
    std::vector<std::string> copies;
    for (const char* pixels : {"first image", "second image"}) {
        auto c = clipping();
        c->setImage(foundation::kUTTypePNG);
        c->setUrl("https://a.org/image.png");
        writeAsset(*c, 0, foundation::kUTTypePNG, pixels);
        copies.push_back(*c->pasteboardItemAtIndex(0)->stringForType(foundation::kUTTypeFileURL));
    }
    EXPECT_NE(copies[0], copies[1]);
    EXPECT_EQ(fileContents(copies[0]), "first image");
    EXPECT_EQ(fileContents(copies[1]), "second image");
}

TEST_F(ClippingPasteboardItemsTest, LaterItemsReadOnlyTheirOwnFilesWithWholeTypes) {
    auto c = clipping(11);
    writeAsset(*c, 1, foundation::kUTTypeJPEG, "one");
    writeAsset(*c, 10, foundation::kUTTypePNG, "ten");
    writeAsset(*c, 10, "dyn.mime.image/x-thing", "thing");
    auto item = c->pasteboardItemAtIndex(10);
    EXPECT_EQ(item->dataForType(foundation::kUTTypePNG), Data::fromString("ten"));
    EXPECT_EQ(item->dataForType("dyn.mime.image/x-thing"), Data::fromString("thing"));
    EXPECT_FALSE(item->dataForType(foundation::kUTTypeJPEG));
    auto copy = item->stringForType(foundation::kUTTypeFileURL);
    ASSERT_TRUE(copy);
    EXPECT_EQ(item->stringForType("com.apple.finder.node"), copy);
    EXPECT_EQ(foundation::URL::parse(*copy)->lastPathComponent(), "10." + *c->clippingID() + ".png");
    EXPECT_EQ(fileContents(*copy), "ten");
    EXPECT_EQ(c->pasteboardItems().size(), 11u);
}

TEST_F(ClippingPasteboardItemsTest, ImagesAreCountedAndFoundByItem) {
    auto c = clipping(2);
    writeAsset(*c, 0, kText, "t");
    writeAsset(*c, 0, foundation::kUTTypeWebArchive, "w");
    writeAsset(*c, 0, foundation::kUTTypePNG, "p");
    writeAsset(*c, 1, foundation::kUTTypeJPEG, "j");
    EXPECT_EQ(c->numberOfImages(), 2);
    auto url = c->URLForImageAssetAtIndex(1);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->lastPathComponent(), "1.public.jpeg");
    EXPECT_FALSE(c->URLForImageAssetAtIndex(5));
    EXPECT_EQ(clipping()->numberOfImages(), 0);
}

TEST_F(ClippingPasteboardItemsTest, NamesFromOutsideNeverLeaveTheClippingsFolders) {
    auto c = clipping();
    c->setImage(foundation::kUTTypePNG);
    c->setUrl("https://a.org/a/..");
    writeAsset(*c, 0, foundation::kUTTypePNG, "p");
    auto copy = c->pasteboardItemAtIndex(0)->stringForType(foundation::kUTTypeFileURL);
    ASSERT_TRUE(copy);
    EXPECT_EQ(foundation::URL::parse(*copy)->lastPathComponent(), *c->clippingID() + ".png");

    // An identifier that is no clipping identifier names no folder at all.
    auto forged = clipping();
    forged->setClippingID("C-../../..");
    forged->setImage(foundation::kUTTypePNG);
    EXPECT_EQ(forged->pasteboardItemAtIndex(0)->types(), std::vector<std::string>{kMetadata});

    const std::string id = *c->clippingID();
    EXPECT_EQ(filesUnder(home_.root() / "data"), std::vector<std::string>{"Tavlo/assets/" + id + "/0.public.png"});
    EXPECT_EQ(filesUnder(foundation::Paths::temporaryDirectory()), std::vector<std::string>{id + "/" + id + ".png"});
}

}  // namespace
