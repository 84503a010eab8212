#include <gtest/gtest.h>

#include "platform/desktop/PasteboardItemArchive.h"
#include "platform/desktop/PasteboardTypeMap.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"

using desktop::ClipboardTarget;
using desktop::PasteboardItem;
using desktop::PasteboardItemArchive;
using desktop::PasteboardTypeMap;
using foundation::Data;
using pasteboardtest::item;
using Names = std::vector<std::string>;

namespace {

constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
constexpr const char* kFile = foundation::kUTTypeFileURL;

TEST(PasteboardTypeMapTest, PlansToReadEachContentOnce) {
    struct Row {
        const char* name;
        Names offered;
        Names fetch;
    };
    const std::string longName(300, 'a');
    const Row rows[] = {
        {"xclip text", {"TARGETS", "UTF8_STRING"}, {"UTF8_STRING"}},
        {"GTK text: one of its five names",
         {"TIMESTAMP", "TARGETS", "MULTIPLE", "SAVE_TARGETS", "UTF8_STRING", "COMPOUND_TEXT", "TEXT", "STRING",
          "text/plain;charset=utf-8", "text/plain"},
         {"UTF8_STRING"}},
        {"Latin-1 only", {"TARGETS", "STRING"}, {"STRING"}},
        {"Qt image: converted extras left", {"image/png", "image/bmp", "image/ppm", "image/x-xbitmap", "image/jpeg", "application/x-qt-image"},
         {"image/png", "image/bmp", "image/jpeg"}},
        {"icon under two names", {"image/x-icon", "image/vnd.microsoft.icon"}, {"image/x-icon"}},
        {"files: URI list, not GNOME's copy of it", {"x-special/gnome-copied-files", "text/uri-list", "UTF8_STRING"},
         {"text/uri-list", "UTF8_STRING"}},
        {"GNOME's list alone", {"x-special/gnome-copied-files"}, {"x-special/gnome-copied-files"}},
        {"our archive stands for everything", {"text/plain", PasteboardItemArchive::kMIMEType, "image/png"},
         {PasteboardItemArchive::kMIMEType}},
        {"markers and private X atoms", {"_QT_SELECTION", "org.nspasteboard.TransientType", "x-kde-passwordManagerHint", "text/html"},
         {"org.nspasteboard.TransientType", "x-kde-passwordManagerHint", "text/html"}},
        {"unsafe names refused", {"../../x", longName, "a\x01" "b", "a/./b", "text/plain"}, {"text/plain"}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(PasteboardTypeMap::planRead(r.offered).fetch, r.fetch);
    }
    EXPECT_EQ(PasteboardTypeMap::planRead({"../../x", longName, "ok/type"}).refused, (Names{"../../x", longName}));
}

TEST(PasteboardTypeMapTest, NamesTheTargetsOneTypeNeeds) {
    struct Row {
        const char* name;
        Names offered;
        const char* type;
        Names targets;
        bool direct;
    };
    const char* metadata = "com.tavlo.clipping-metadata";
    const std::string metadataTarget = foundation::TypeIdentifier::preferredMIMEType(metadata);
    const Row rows[] = {
        {"text under its best name", {"TARGETS", "STRING", "UTF8_STRING", "image/png"}, kText, {"UTF8_STRING"}, true},
        {"Latin-1 text", {"STRING"}, kText, {"STRING"}, true},
        {"an image", {"UTF8_STRING", "image/png"}, foundation::kUTTypePNG, {"image/png"}, true},
        {"not offered", {"UTF8_STRING"}, foundation::kUTTypePNG, {}, false},
        {"a file is in the list's content", {"text/uri-list", "UTF8_STRING"}, kFile, {"text/uri-list"}, false},
        {"a link too", {"text/x-moz-url", "text/uri-list"}, foundation::kUTTypeURL, {"text/x-moz-url", "text/uri-list"}, false},
        {"the hint says whether it is secret", {"x-kde-passwordManagerHint"}, foundation::kConcealedType,
         {"x-kde-passwordManagerHint"}, false},
        {"our marker beside our archive", {PasteboardItemArchive::kMIMEType, metadataTarget, "text/plain"}, metadata,
         {metadataTarget}, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        bool direct = !r.direct;
        EXPECT_EQ(PasteboardTypeMap::targetsForType(r.offered, r.type, &direct), r.targets);
        EXPECT_EQ(direct, r.direct);
    }
}

TEST(PasteboardTypeMapTest, TargetsBecomeItems) {
    struct Row {
        const char* name;
        std::vector<ClipboardTarget> fetched;
        std::vector<PasteboardItem> items;
    };
    auto t = [](const char* name, std::string value) { return ClipboardTarget{name, Data::fromString(value)}; };
    // "https://a.org\nA page" as a browser writes it: UTF-16 with a byte-order mark.
    std::string mozURL("\xFF\xFE", 2);
    for (char ch : std::string("https://a.org\nA page")) mozURL += std::string{ch, '\0'};
    const Row rows[] = {
        {"text", {t("UTF8_STRING", "hello")}, {item({{kText, "hello"}})}},
        {"Latin-1 text", {t("STRING", "caf\xE9")}, {item({{kText, "caf\xC3\xA9"}})}},
        {"three files: one item each",
         {t("text/uri-list", "file:///a.png\r\n# comment\r\nfile:///b%20c.txt\r\nfile:///d\r\n"), t("UTF8_STRING", "a.png")},
         {item({{kText, "a.png"}, {kFile, "file:///a.png"}}), item({{kFile, "file:///b%20c.txt"}}), item({{kFile, "file:///d"}})}},
        {"GNOME's copied files", {t("x-special/gnome-copied-files", "copy\nfile:///a\nfile:///b")},
         {item({{kFile, "file:///a"}}), item({{kFile, "file:///b"}})}},
        {"a link in the list", {t("text/uri-list", "https://a.org/\r\n")}, {item({{foundation::kUTTypeURL, "https://a.org/"}})}},
        {"password manager's secret", {t("UTF8_STRING", "pw"), t("x-kde-passwordManagerHint", "secret")},
         {item({{kText, "pw"}, {foundation::kConcealedType, "secret"}})}},
        {"hint that is no secret", {t("UTF8_STRING", "pw"), t("x-kde-passwordManagerHint", "accepted")}, {item({{kText, "pw"}})}},
        {"browser link", {t("text/x-moz-url", mozURL)},
         {item({{foundation::kUTTypeURL, "https://a.org"}, {foundation::kUTTypeURLName, "A page"}})}},
        {"marker type as it stands", {t("UTF8_STRING", "x"), t("org.nspasteboard.TransientType", "")},
         {item({{kText, "x"}, {foundation::kTransientType, ""}})}},
        {"our private type", {t("application/x-tavlo-clipping-metadata", "C-1")}, {item({{"com.tavlo.clipping-metadata", "C-1"}})}},
        {"unknown MIME type kept by name", {t("application/x-thing", "z")}, {item({{"dyn.mime.application/x-thing", "z"}})}},
        {"nothing", {}, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(PasteboardTypeMap::itemsFromTargets(r.fetched), r.items);
    }
}

TEST(PasteboardTypeMapTest, OurItemsCrossTheClipboardExactly) {
    auto targets = PasteboardTypeMap::targetsForItems(pasteboardtest::threeItems());
    Names names;
    for (const auto& target : targets) names.push_back(target.name);
    EXPECT_EQ(names, (Names{"text/plain", "text/plain;charset=utf-8", "application/x-tavlo-clipping-metadata",
                            "text/uri-list", "x-special/gnome-copied-files", PasteboardItemArchive::kMIMEType}));

    // Read as any owner's targets would be: the archive gives the three items back.
    std::vector<std::string> skipped;
    auto fetch = [&](const std::string& name) -> std::optional<Data> {
        for (const auto& target : targets) {
            if (target.name == name) return target.data;
        }
        return std::nullopt;
    };
    EXPECT_EQ(PasteboardTypeMap::readItems(names, fetch, skipped), pasteboardtest::threeItems());

    // Without the archive (a program that copied only the ordinary targets) the
    // first item's text and every item's file remain.
    Names ordinary(names.begin(), names.end() - 1);
    auto items = PasteboardTypeMap::readItems(ordinary, fetch, skipped);
    EXPECT_EQ(items, (std::vector<PasteboardItem>{item(
                         {{kText, "first"}, {"com.tavlo.clipping-metadata", "C-1"}, {kFile, "file:///tmp/x%20y.txt"}})}));
    EXPECT_TRUE(skipped.empty());
}

TEST(PasteboardTypeMapTest, ConcealedItemOffersThePasswordManagerHint) {
    auto targets = PasteboardTypeMap::targetsForItems({item({{kText, "pw"}, {foundation::kConcealedType, ""}})});
    ASSERT_GE(targets.size(), 3u);
    EXPECT_EQ(targets[2].name, "x-kde-passwordManagerHint");
    EXPECT_EQ(targets[2].data.toString(), "secret");
}

TEST(PasteboardTypeMapTest, MalformedArchiveFallsBackToTheOtherTargets) {
    Names offered{"UTF8_STRING", PasteboardItemArchive::kMIMEType};
    std::vector<std::string> skipped;
    auto fetch = [](const std::string& name) -> std::optional<Data> {
        return Data::fromString(name == "UTF8_STRING" ? "plain" : "TLPBITM1\xff\xff\xff\xff");
    };
    auto items = PasteboardTypeMap::readItems(offered, fetch, skipped);
    EXPECT_EQ(items, (std::vector<PasteboardItem>{item({{kText, "plain"}})}));
    EXPECT_EQ(skipped, (Names{std::string(PasteboardItemArchive::kMIMEType) + " (malformed)"}));
}

TEST(PasteboardTypeMapTest, ReadsWhatAClippingNeedsMostFirstAndKeepsTheOwnersOrder) {
    Names offered{"application/x-other", "text/uri-list", "image/png", "text/html", "text/x-moz-url", "UTF8_STRING",
                  "x-kde-passwordManagerHint"};
    Names asked;
    std::vector<std::string> skipped;
    auto fetch = [&](const std::string& name) -> std::optional<Data> {
        asked.push_back(name);
        if (name == "x-kde-passwordManagerHint") return Data::fromString("other");
        if (name == "text/uri-list") return Data::fromString("file:///tmp/a\r\n");
        return Data::fromString(name);
    };
    auto items = PasteboardTypeMap::readItems(offered, fetch, skipped);
    EXPECT_EQ(asked, (Names{"x-kde-passwordManagerHint", "UTF8_STRING", "text/x-moz-url", "text/html", "image/png",
                            "text/uri-list", "application/x-other"}));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].types(), (Names{"dyn.mime.application/x-other", foundation::kUTTypePNG, foundation::kUTTypeHTML,
                                       foundation::kUTTypeURL, kText, kFile}));
}

TEST(PasteboardTypeMapTest, TextIsReadByOneRule) {
    struct Row {
        const char* name;
        std::string bytes;
        std::string text;
    };
    const Row rows[] = {
        {"plain", "same words", "same words"},
        {"a C string's terminator", std::string("same words\0", 11), "same words"},
        {"several", std::string("same words\0\0\0", 13), "same words"},
        {"only NULs", std::string("\0\0", 2), ""},
        {"a NUL inside", std::string("a\0b", 3), "a\uFFFDb"},
        {"multi-byte kept", "caf\u00E9 \u20AC \U0001F600", "caf\u00E9 \u20AC \U0001F600"},
        {"Latin-1 byte", "caf\xE9", "caf\uFFFD"},
        {"cut sequence at the end", "ab\xE2\x82", "ab\uFFFD\uFFFD"},
        {"overlong slash", "\xC0\xAF", "\uFFFD\uFFFD"},
        {"surrogate", "\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},
        {"past U+10FFFF", "\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(PasteboardTypeMap::cleanedText(Data::fromString(r.bytes)).toString(), r.text);
        std::vector<std::string> skipped;
        auto items = PasteboardTypeMap::readItems({"text/plain;charset=utf-8"}, [&](const std::string&) {
            return std::optional<Data>(Data::fromString(r.bytes));
        }, skipped);
        if (r.text.empty()) continue;
        ASSERT_EQ(items.size(), 1u);
        EXPECT_EQ(items[0].string(kText), r.text);
    }
}

TEST(PasteboardTypeMapTest, RepliesMustFitTheTargetAskedFor) {
    struct Row {
        const char* target;
        const char* type;
        int format;
        size_t length;
        bool fits;
    };
    const Row rows[] = {
        {"UTF8_STRING", "UTF8_STRING", 8, 4, true},
        {"text/plain;charset=utf-8", "text/plain;charset=utf-8", 8, 4, true},
        {"text/plain", "UTF8_STRING", 8, 4, true},
        {"UTF8_STRING", "TEXT", 8, 4, true},
        {"UTF8_STRING", "INTEGER", 32, 4, false},
        {"UTF8_STRING", "INTEGER", 8, 4, false},
        {"UTF8_STRING", "UTF8_STRING", 16, 4, false},
        {"UTF8_STRING", "image/png", 8, 4, false},
        {"STRING", "ATOM", 32, 4, false},
        {"image/png", "image/png", 8, 4, true},
        {"image/png", "image/png", 32, 4, false},
        {"UTF8_STRING", "None", 8, 0, true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.target) + " as " + r.type);
        EXPECT_EQ(PasteboardTypeMap::replyFits(r.target, r.type, r.format, r.length), r.fits);
    }
}

TEST(PasteboardTypeMapTest, LogShowsHostileNamesHarmlessly) {
    EXPECT_EQ(PasteboardTypeMap::describeTarget("a\nb"), "a\\x0ab");
    EXPECT_EQ(PasteboardTypeMap::describeTarget(std::string(300, 'a')), std::string(80, 'a') + "... (300 characters)");
}

TEST(PasteboardItemArchiveTest, RefusesWhatItCouldNotHaveWritten) {
    Data good = PasteboardItemArchive::encode(pasteboardtest::threeItems());
    EXPECT_EQ(PasteboardItemArchive::decode(good), pasteboardtest::threeItems());

    auto cut = [&](size_t length) { return Data(good.bytes(), length); };
    Data trailing = good;
    trailing.append("x", 1);
    struct Row {
        const char* name;
        Data bytes;
    };
    const Row rows[] = {
        {"empty", Data()},
        {"other magic", Data::fromString("TLPBITM2\0\0\0\0")},
        {"cut short", cut(good.length() - 1)},
        {"cut in a count", cut(10)},
        {"trailing bytes", trailing},
        {"a billion items claimed", Data::fromString(std::string("TLPBITM1\0\0\0\x40", 12))},
        {"empty type", Data::fromString(std::string("TLPBITM1\1\0\0\0\1\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 28))},
        {"data longer than the archive", Data::fromString(std::string("TLPBITM1\1\0\0\0\1\0\0\0\1\0\0\0x\xff\xff\xff\xff\xff\xff\xff\xff", 29))},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_FALSE(PasteboardItemArchive::decode(r.bytes));
    }
    EXPECT_EQ(PasteboardItemArchive::decode(PasteboardItemArchive::encode({})), std::vector<PasteboardItem>{});
}

}  // namespace
