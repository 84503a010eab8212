// What follows the capture of a link or a text: the page title and the remote
// image, fetched from a server on 127.0.0.1; the wait for the sync engine; the
// plain-text rewrite of the clipboard.

#include "tests/kit/CaptureFixture.h"

#include "kit/Asset.h"
#include "platform/dispatch/Clock.h"
#include "platform/foundation/Format.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/kit/TestImages.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/RecordingSystemLog.h"

namespace {

using pasteboardtest::item;
using testsupport::RecordedRequest;
using testsupport::Reply;
namespace fs = std::filesystem;
constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
constexpr const char* kURL = foundation::kUTTypeURL;

Reply page(const std::string& html) { return Reply::text(html, 200, "text/html; charset=utf-8"); }

class TLPasteboardManagerFollowUpsTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        ASSERT_TRUE(server_.start());
        TLLinkFetcher::Limits limits;
        limits.timeout = 5;
        TLPasteboardManager::Configuration configuration;
        configuration.linkFetcher = std::make_shared<TLLinkFetcher>(limits);
        start(std::move(configuration));
    }
    void TearDown() override {
        dispatch::Clock::useRealTime();
        CaptureFixture::TearDown();
    }

    std::shared_ptr<Clipping> link(std::optional<std::string> url, std::optional<std::string> urlName = std::nullopt) {
        auto c = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        c->setClippingID(Clipping::makeClippingID());
        c->setUrl(url);
        c->setUrlName(urlName);
        c->setSync(false);
        EXPECT_TRUE(context_->save().ok());
        return c;
    }
    // Fetches the clipping's title and waits for the completion.
    bool fetchTitle(const std::shared_ptr<Clipping>& clipping) {
        bool done = false;
        manager_->fetchPageTitleForClipping(clipping, [&] { done = true; });
        return runUntil([&] { return done; }, std::chrono::seconds(15));
    }
    std::string id(const Clipping& c) { return c.clippingID().value_or(""); }

    testsupport::LoopbackServer server_;
    testsupport::RecordingSystemLog::Scope systemLog_;
};

TEST_F(TLPasteboardManagerFollowUpsTest, ACapturedLinkGetsItsPageTitle) {
    server_.route("/page", page("<html><head><title>\n   Fish &amp; Chips</title>"));
    copy({item({{kURL, server_.url("/page")}})});
    tick();
    ASSERT_TRUE(runUntil([&] {
        auto saved = savedClippings();
        return saved.size() == 1 && saved[0]->urlName();
    }, std::chrono::seconds(15)));
    auto saved = savedClippings().front();
    EXPECT_EQ(saved->urlName(), "Fish & Chips");
    EXPECT_EQ(saved->sync(), true);
    EXPECT_EQ(logged(foundation::format("Saving web page title for clipping with ID %@", id(*saved))), 1u);
    std::vector<std::string> methods;
    for (const RecordedRequest& r : server_.requests()) methods.push_back(r.method);
    EXPECT_EQ(methods, (std::vector<std::string>{"HEAD", "GET"}));
}

TEST_F(TLPasteboardManagerFollowUpsTest, WhatAFetchStoresAsTheTitle) {
    server_.route("/titled", page("<title>  A &lt;B&gt; &#67;</title>"));
    server_.route("/untitled", page("<p>no title here</p>"));
    server_.route("/self", [this](const RecordedRequest&) { return page("<title>" + server_.url("/self") + "</title>"); });
    server_.route("/old", page("<title>Old name</title>"));
    server_.route("/away", Reply::redirect("file:///etc/hostname"));
    struct Row {
        const char* name;
        std::optional<std::string> url, urlSource, urlName;
        std::string expected;
        const char* line;
    };
    const Row rows[] = {
        {"a title", server_.url("/titled"), {}, {}, "A <B> C", "Saving web page title for clipping with ID %@"},
        {"from the source link", {}, server_.url("/titled"), {}, "A <B> C", "Saving web page title for clipping with ID %@"},
        {"no title", server_.url("/untitled"), {}, {}, "", "Web page title not available for clipping with ID %@"},
        {"no title keeps a name", server_.url("/untitled"), {}, "Kept", "Kept",
         "Web page title not available for clipping with ID %@"},
        {"the title is the link", server_.url("/self"), {}, {}, "", "Web page title same as URL for clipping with ID %@"},
        {"the title is the name", server_.url("/old"), {}, "Old name", "", "Web page title same as URL for clipping with ID %@"},
        {"a redirect to a file", server_.url("/away"), {}, {}, "", "Web page title not available for clipping with ID %@"},
        {"another scheme", "ftp://127.0.0.1/x", {}, {}, "", "Web page title not available for clipping with ID %@"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto c = link(row.url, row.urlName);
        c->setUrlSource(row.urlSource);
        ASSERT_TRUE(context_->save().ok());
        ASSERT_TRUE(fetchTitle(c));
        EXPECT_EQ(c->urlName(), row.expected);
        EXPECT_FALSE(context_->hasChanges());  // saved
        EXPECT_EQ(logged(foundation::format(row.line, id(*c))), 1u);
    }
}

TEST_F(TLPasteboardManagerFollowUpsTest, ALargePageIsNotReadAndTheClippingStaysAsItWas) {
    server_.route("/large", [](const RecordedRequest& r) {
        Reply reply = page("<title>Large</title>");
        if (r.method == "HEAD") reply.headers.emplace_back("Content-Length", std::to_string(10 << 20));
        return reply;
    });
    auto c = link(server_.url("/large"));
    bool completed = false;
    manager_->fetchPageTitleForClipping(c, [&] { completed = true; });
    ASSERT_TRUE(server_.waitForRequests(1, 10));
    runUntil([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_FALSE(completed);
    EXPECT_FALSE(c->urlName());
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(server_.requestCount(), 1u);
}

TEST_F(TLPasteboardManagerFollowUpsTest, AClippingDeletedWhileItsPageLoadsStaysDeleted) {
    Reply slow = page("<title>Too late</title>");
    slow.delayBeforeHeaders = 0.3;
    server_.route("/slow", slow);
    auto c = link(server_.url("/slow"));
    const std::string clippingID = id(*c);
    bool completed = false;
    manager_->fetchPageTitleForClipping(c, [&] { completed = true; });
    manager_->deleteClipping(c);
    ASSERT_TRUE(runUntil([&] { return completed; }, std::chrono::seconds(15)));
    EXPECT_TRUE(savedClippings().empty());
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(logged(foundation::format("Saving web page title for clipping with ID %@", clippingID)), 0u);
    EXPECT_FALSE(fs::exists(NSFileManagerExtras::URLForClippingAssetsWithID(clippingID)->filePath()));
}

TEST_F(TLPasteboardManagerFollowUpsTest, ARemoteImageBecomesTheClippingsFirstItem) {
    const std::string png = kittest::pngBytes();
    server_.route("/image.gif", Reply::text(png, 200, "image/gif"));
    server_.route("/page.gif", page("<title>not an image</title>"));
    auto c = link(server_.url("/image.gif"));
    auto notImage = link(server_.url("/page.gif"));
    manager_->downloadRemoteClippingImage(c);
    manager_->downloadRemoteClippingImage(notImage);
    ASSERT_TRUE(runUntil([&] { return c->image().has_value(); }, std::chrono::seconds(15)));
    EXPECT_EQ(c->image(), foundation::kUTTypePNG);
    auto file = NSFileManagerExtras::URLForAssetFile(c->clippingID(), "0.public.png");
    EXPECT_EQ(foundation::Data::contentsOfFile(file->filePath()).value().toString(), png);
    ASSERT_EQ(c->assets().size(), 1u);
    EXPECT_EQ(c->assets()[0]->assetID(), id(*c) + ".0.public.png");
    EXPECT_EQ(c->assets()[0]->filename(), "0.public.png");
    EXPECT_EQ(c->sync(), true);
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(logged(foundation::format("Image data downloaded to %@", *file)), 1u);
    EXPECT_TRUE(systemLog_->contains("Download Remote Clipping Image: " + server_.url("/image.gif")));
    // Data that is no image changes nothing.
    ASSERT_TRUE(server_.waitForRequests(2, 10));
    runUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_FALSE(notImage->image());
    EXPECT_TRUE(notImage->assets().empty());
}

TEST_F(TLPasteboardManagerFollowUpsTest, WithSyncOnTheTitleWaitsForTheRecord) {
    server_.route("/page", page("<title>Later</title>"));
    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    dispatch::Clock::useVirtualTime();
    copy({item({{kURL, server_.url("/page")}})});
    tick();
    auto saved = savedClippings();
    ASSERT_EQ(saved.size(), 1u);
    auto c = std::static_pointer_cast<Clipping>(context_->objectWithID(saved[0]->objectID()));
    dispatch::Clock::advance(1);
    EXPECT_EQ(server_.requestCount(), 0u);
    EXPECT_EQ(systemLog_->count("Check if record is saved"), 4u);

    c->setRecordSystemFields(foundation::Data::fromString("record"));  // the sync engine stored the record
    dispatch::Clock::advance(0.25);
    ASSERT_TRUE(runUntil([&] { return c->urlName().has_value(); }, std::chrono::seconds(15)));
    EXPECT_EQ(c->urlName(), "Later");
    dispatch::Clock::advance(1);
    EXPECT_EQ(systemLog_->count("Check if record is saved"), 5u);  // the wait ended
}

TEST_F(TLPasteboardManagerFollowUpsTest, WithSyncOnTheWaitForTheRecordEndsAfterTwoMinutes) {
    server_.route("/page", page("<title>Offline</title>"));
    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    dispatch::Clock::useVirtualTime();
    copy({item({{kURL, server_.url("/page")}})});
    tick();
    auto saved = savedClippings();
    ASSERT_EQ(saved.size(), 1u);
    auto c = std::static_pointer_cast<Clipping>(context_->objectWithID(saved[0]->objectID()));
    dispatch::Clock::advance(119.5);
    EXPECT_EQ(server_.requestCount(), 0u);
    dispatch::Clock::advance(0.75);
    ASSERT_TRUE(runUntil([&] { return c->urlName().has_value(); }, std::chrono::seconds(15)));
    EXPECT_EQ(c->urlName(), "Offline");
    const std::string gaveUp = "No sync record for clipping with ID " + id(*c) + " after 120 seconds; following up without it";
    auto lines = logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), gaveUp), 1);
    const size_t checks = systemLog_->count("Check if record is saved");
    const size_t requests = server_.requestCount();
    EXPECT_LE(checks, 481u);
    dispatch::Clock::advance(10);
    EXPECT_EQ(systemLog_->count("Check if record is saved"), checks);  // the wait ended
    EXPECT_EQ(server_.requestCount(), requests);
}

TEST_F(TLPasteboardManagerFollowUpsTest, TheWaitEndsWhenSyncGoesOffOrTheClippingGoes) {
    server_.route("/page", page("<title>Now</title>"));
    TLSettings()->setBool(true, TLUserDefaultsSyncEnabled);
    dispatch::Clock::useVirtualTime();
    copy({item({{kURL, server_.url("/page")}})});
    tick();
    copy({item({{kURL, server_.url("/page?second")}})});
    tick();
    auto saved = savedClippings();
    ASSERT_EQ(saved.size(), 2u);
    if (saved[0]->url() == server_.url("/page")) std::swap(saved[0], saved[1]);
    auto first = std::static_pointer_cast<Clipping>(context_->objectWithID(saved[1]->objectID()));
    auto second = std::static_pointer_cast<Clipping>(context_->objectWithID(saved[0]->objectID()));
    manager_->deleteClipping(second);
    dispatch::Clock::advance(0.25);
    // Each wait looked once; the deleted clipping's wait ended there.
    const size_t checks = systemLog_->count("Check if record is saved");
    EXPECT_EQ(checks, 2u);

    TLSettings()->setBool(false, TLUserDefaultsSyncEnabled);
    dispatch::Clock::advance(0.25);
    ASSERT_TRUE(runUntil([&] { return first->urlName().has_value(); }, std::chrono::seconds(15)));
    EXPECT_EQ(first->urlName(), "Now");
    dispatch::Clock::advance(1);
    EXPECT_EQ(systemLog_->count("Check if record is saved"), checks + 1);
    EXPECT_EQ(server_.requestCount(), 2u);  // one page, once
}

TEST_F(TLPasteboardManagerFollowUpsTest, PlainTextModeLeavesOnlyTheTextOnTheClipboard) {
    TLSettings()->setBool(true, TLUserDefaultsPlainTextMode);
    dispatch::Clock::useVirtualTime();
    copy({item({{foundation::kUTTypeRTF, "{\\rtf1 bold}"}, {kText, "bold"}})});
    tick();
    ASSERT_EQ(savedClippings().size(), 1u);
    EXPECT_TRUE(memory_->items().at(0).hasType(foundation::kUTTypeRTF));
    dispatch::Clock::advance(0.5);
    auto items = memory_->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].types(), (std::vector<std::string>{kText, TLPasteboard::kClippingMetadataType}));
    EXPECT_EQ(items[0].string(kText), "bold");
    tick();
    EXPECT_EQ(savedClippings().size(), 1u);  // the rewrite is not captured
}

TEST_F(TLPasteboardManagerFollowUpsTest, ThePlainTextRewriteNeverReplacesANewerCopy) {
    TLSettings()->setBool(true, TLUserDefaultsPlainTextMode);
    dispatch::Clock::useVirtualTime();
    copy({item({{foundation::kUTTypeRTF, "{\\rtf1 old}"}, {kText, "old"}})});
    tick();
    dispatch::Clock::advance(0.2);
    copy({item({{kText, "newer"}})});
    dispatch::Clock::advance(0.3);
    auto items = memory_->items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].string(kText), "newer");
    tick();
    EXPECT_EQ(savedClippings().size(), 2u);
}

}  // namespace
