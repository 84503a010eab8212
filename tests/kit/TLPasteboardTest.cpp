#include <gtest/gtest.h>

#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboard.h"
#include "kit/TLPasteboardItem.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"

namespace {

using foundation::Data;
constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
constexpr const char* kMetadata = "com.tavlo.clipping-metadata";

std::shared_ptr<TLPasteboardItem> item(TLPasteboardDictionary dictionary) {
    return std::make_shared<TLPasteboardItem>(dictionary);
}

class TLPasteboardTest : public ::testing::Test {
protected:
    TLPasteboardTest() { pasteboard_.setPasteboard(memory_); }

    // Another program writes the given items: one change.
    void foreignWrite(std::vector<std::shared_ptr<TLPasteboardItem>> items) {
        std::vector<desktop::PasteboardItem> plain;
        for (const auto& i : items) plain.push_back(*i->pasteboardItem());
        memory_->externalWrite(plain);
    }
    static void storeChangeCount(int64_t count) {
        foundation::UserDefaults::applicationGroup()->setInteger(count, TLUserDefaultsPasteboardChangeCount);
    }

    testsupport::TempHome home_;
    std::shared_ptr<desktop::MemoryPasteboard> memory_ = std::make_shared<desktop::MemoryPasteboard>();
    TLMacPasteboard pasteboard_;
};

TEST_F(TLPasteboardTest, PrivateTypeEvenEmptyMeansSaved) {
    foreignWrite({item({{kMetadata, std::string()}})});
    storeChangeCount(0);
    EXPECT_TRUE(pasteboard_.isSaved());
}

TEST_F(TLPasteboardTest, WithoutPrivateTypeSavedWhileTheCountIsTheStoredOne) {
    foreignWrite({item({{kText, "a"}})});
    storeChangeCount(pasteboard_.changeCount());
    EXPECT_TRUE(pasteboard_.isSaved());
    foreignWrite({item({{kText, "b"}})});
    EXPECT_FALSE(pasteboard_.isSaved());
}

TEST_F(TLPasteboardTest, OwnWriteOfThreeItemsIsOneChangeAndSaved) {
    foreignWrite({item({{kText, "before"}})});
    int64_t before = pasteboard_.changeCount();
    pasteboard_.copyPasteboardItems({item({{kText, "1"}, {kMetadata, "C-1"}}), item({{kText, "2"}, {kMetadata, "C-2"}}),
                                     item({{kText, "3"}, {kMetadata, "C-3"}})});
    EXPECT_EQ(pasteboard_.changeCount(), before + 1);
    EXPECT_EQ(pasteboard_.numberOfPasteboardItems(), 3u);
    EXPECT_EQ(pasteboard_.stringForDataTypeAtIndex(kText, 2), "3");
    EXPECT_TRUE(pasteboard_.isSaved());
}

TEST_F(TLPasteboardTest, IndexesPastTheLastItemGiveNothing) {
    foreignWrite({item({{kText, "a"}}), item({{kText, "b"}, {foundation::kUTTypeHTML, "<b>b</b>"}})});
    EXPECT_TRUE(pasteboard_.pasteboardItemAtIndex(1));
    EXPECT_FALSE(pasteboard_.pasteboardItemAtIndex(2));
    EXPECT_EQ(pasteboard_.dataForDataTypeAtIndex(kText, 1), Data::fromString("b"));
    EXPECT_FALSE(pasteboard_.dataForDataTypeAtIndex(kText, 2));
    EXPECT_FALSE(pasteboard_.dataForDataTypeAtIndex(foundation::kUTTypeHTML, 0));
    // Without an index: the first item in order that has the type.
    EXPECT_EQ(pasteboard_.dataForDataType(foundation::kUTTypeHTML), Data::fromString("<b>b</b>"));
    EXPECT_EQ(pasteboard_.stringForDataType(kText), "a");
    EXPECT_TRUE(pasteboard_.containsDataType(foundation::kUTTypeHTML));
    EXPECT_FALSE(pasteboard_.containsDataType(foundation::kUTTypePNG));
    EXPECT_EQ(pasteboard_.types(), (std::vector<std::string>{kText, foundation::kUTTypeHTML}));
    EXPECT_TRUE(pasteboard_.pasteboardItemIDs().empty());
}

TEST_F(TLPasteboardTest, AddItemsKeepsTheEarlierItemsFirst) {
    foreignWrite({item({{kText, "earlier"}})});
    int64_t before = pasteboard_.changeCount();
    pasteboard_.addItems({item({{kText, "added"}}), nullptr});
    EXPECT_EQ(pasteboard_.changeCount(), before + 1);
    auto items = pasteboard_.pasteboardItems();
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]->text(), "earlier");
    EXPECT_EQ(items[1]->text(), "added");
}

TEST_F(TLPasteboardTest, ItemAnswers) {
    auto rtf = item({{foundation::kUTTypeRTF, "{\\rtf1 x}"}});
    EXPECT_FALSE(rtf->hasTypes(pasteboard_.supportedTypes()));
    EXPECT_FALSE(rtf->text());

    // Conformance, not equality: UTF-8 text is plain text and text.
    auto text = item({{kText, "x"}});
    EXPECT_TRUE(text->hasTypes({foundation::kUTTypePlainText}));
    EXPECT_TRUE(text->hasTypes({foundation::kUTTypeText}));
    EXPECT_FALSE(text->hasTypes({}));
    EXPECT_EQ(item({{foundation::kUTTypePlainText, "plain"}})->text(), "plain");

    EXPECT_EQ(item({{foundation::kUTTypeTIFF, "t"}, {foundation::kUTTypePNG, "p"}})->imageType(), foundation::kUTTypeTIFF);
    EXPECT_EQ(item({{foundation::kUTTypePNG, "p"}, {foundation::kUTTypeTIFF, "t"}})->imageType(), foundation::kUTTypePNG);
    EXPECT_FALSE(item({{"public.svg-image", "s"}})->imageType());

    auto link = item({{foundation::kUTTypeURL, *foundation::URL::parse("https://a.org/x?y=1")},
                      {"public.url-name", "A"},
                      {"count", 5}});
    EXPECT_EQ(link->types(), (std::vector<std::string>{foundation::kUTTypeURL, "public.url-name"}));
    EXPECT_EQ(link->stringForType(foundation::kUTTypeURL), "https://a.org/x?y=1");
    EXPECT_EQ(link->url(), foundation::URL::parse("https://a.org/x?y=1"));
    EXPECT_EQ(link->urlName(), "A");
    EXPECT_FALSE(item({{foundation::kUTTypeURL, "not a url"}})->url());
}

// A pasteboard that keeps the base class's support test.
class PlainPasteboard : public TLPasteboard {
public:
    explicit PlainPasteboard(std::vector<std::shared_ptr<TLPasteboardItem>> items) : items_(std::move(items)) {}
    std::vector<std::shared_ptr<TLPasteboardItem>> pasteboardItems() override { return items_; }
    std::vector<std::string> supportedTypes() override { return TLMacPasteboard().supportedTypes(); }

private:
    std::vector<std::shared_ptr<TLPasteboardItem>> items_;
};

TEST_F(TLPasteboardTest, BaseClassSupportTest) {
    struct Row {
        const char* name;
        std::vector<std::shared_ptr<TLPasteboardItem>> items;
        bool supported;
    };
    const Row rows[] = {
        {"text", {item({{kText, "x"}})}, true},
        {"an image", {item({{foundation::kUTTypePNG, "p"}})}, true},
        {"text and a concealed item", {item({{kText, "x"}}), item({{foundation::kConcealedType, ""}})}, false},
        {"text with file URLs", {item({{kText, "x"}, {foundation::kUTTypeFileURL, "file:///a"}})}, false},
        {"rich text only", {item({{foundation::kUTTypeRTF, "r"}})}, false},
        {"nothing", {}, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(PlainPasteboard(r.items).isSupported(), r.supported);
    }
    // The concrete pasteboard supports everything; the base class answers nothing else.
    EXPECT_TRUE(TLMacPasteboard().isSupported());
    PlainPasteboard base({item({{kText, "x"}, {kMetadata, "C-1"}})});
    EXPECT_FALSE(base.isSaved());
    EXPECT_EQ(base.changeCount(), 0);
    EXPECT_FALSE(base.pasteboardItemAtIndex(0));
    EXPECT_FALSE(TLPasteboard::generalPasteboard());
}

TEST_F(TLPasteboardTest, GeneralPasteboardIsOneObject) {
    auto general = TLMacPasteboard::generalPasteboard();
    ASSERT_TRUE(general);
    EXPECT_EQ(general, TLMacPasteboard::generalPasteboard());
    EXPECT_TRUE(general->pasteboard());
}

}  // namespace
