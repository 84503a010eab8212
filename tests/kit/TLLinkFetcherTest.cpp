// Page titles and images of captured links, read from a server on 127.0.0.1.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>

#include "kit/TLLinkFetcher.h"
#include "platform/dispatch/Queue.h"
#include "tests/kit/TestImages.h"
#include "tests/support/LoopbackServer.h"
#include "tests/support/TempHome.h"

namespace {

using testsupport::LoopbackServer;
using testsupport::RecordedRequest;
using testsupport::Reply;
using Outcome = TLLinkFetcher::TitleOutcome;

constexpr auto kWait = std::chrono::seconds(20);

double seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Resident memory of this process, in bytes.
uint64_t residentBytes() {
    std::ifstream statm("/proc/self/statm");
    uint64_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * 4096;
}

class TLLinkFetcherTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server_.start()); }

    TLLinkFetcher::TitleResult title(const std::string& url, TLLinkFetcher::Limits limits = {}) {
        std::promise<TLLinkFetcher::TitleResult> answer;
        TLLinkFetcher(limits, queue_).fetchTitle(url, [&](TLLinkFetcher::TitleResult r) { answer.set_value(r); });
        auto future = answer.get_future();
        EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
        return future.get();
    }
    std::optional<TLLinkFetcher::Image> image(const std::string& url, TLLinkFetcher::Limits limits = {}) {
        std::promise<std::optional<TLLinkFetcher::Image>> answer;
        TLLinkFetcher(limits, queue_).downloadImage(url, [&](std::optional<TLLinkFetcher::Image> i) { answer.set_value(i); });
        auto future = answer.get_future();
        EXPECT_EQ(future.wait_for(kWait), std::future_status::ready);
        return future.get();
    }
    std::vector<std::string> methods() {
        std::vector<std::string> out;
        for (const RecordedRequest& r : server_.requests()) out.push_back(r.method + " " + r.path);
        return out;
    }

    testsupport::TempHome home_;
    LoopbackServer server_;
    std::shared_ptr<dispatch::Queue> queue_ = dispatch::Queue::createSerial("test.link-fetcher");
};

TEST(TLLinkFetcherPageTest, TitleBetweenTheTagsCleaned) {
    struct Row {
        const char* name;
        std::string page;
        std::optional<std::string> title;
    };
    const Row rows[] = {
        {"plain", "<html><head><title>Hello</title></head>", "Hello"},
        {"attributes", "<title lang=\"en\">Hello</title>", "Hello"},
        {"leading blanks and entities", "<title> \n\t A &amp; B &lt;3&gt;  </title>", "A & B <3>  "},
        {"numeric references", "<title>&#65;&#x42;</title>", "AB"},
        {"an escaped blank stays", "<title>&#32;x</title>", " x"},
        {"non-breaking space leads", "<title>\xC2\xA0\xE2\x80\x83" "Caf\xC3\xA9</title>", "Caf\xC3\xA9"},
        {"empty", "<title></title>", ""},
        {"no end", "<title>Hello", std::nullopt},
        {"no start", "Hello</title>", std::nullopt},
        {"end before start", "</title><title>Hello", std::nullopt},
        {"tags in any case", "<TITLE>Hello</Title>", "Hello"},
        {"first title wins", "<title>One</title><title>Two</title>", "One"},
        {"not UTF-8", "<title>caf\xE9</title>", std::nullopt},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::optional<std::string> title;
        if (auto raw = TLLinkFetcher::titleInPage(row.page)) title = TLLinkFetcher::cleanedTitle(*raw);
        EXPECT_EQ(title, row.title);
    }
}

TEST(TLLinkFetcherPageTest, OnlyHttpAndHttpsLinksAreFetchable) {
    EXPECT_TRUE(TLLinkFetcher::isFetchableURL("http://a.org/x"));
    EXPECT_TRUE(TLLinkFetcher::isFetchableURL("HTTPS://a.org"));
    for (const char* url : {"file:///etc/passwd", "ftp://a.org/x", "gopher://a.org", "dict://127.0.0.1:11211/",
                            "mailto:x@a.org", "http:///nohost", "a.org/x", ""})
        EXPECT_FALSE(TLLinkFetcher::isFetchableURL(url)) << url;
}

TEST_F(TLLinkFetcherTest, AsksForTheHeadThenReadsThePage) {
    server_.route("/page", Reply::text("<html><title>  Caf&eacute; &amp; Bar</title></html>", 200, "text/html"));
    auto result = title(server_.url("/page"));
    EXPECT_EQ(result.outcome, Outcome::Title);
    EXPECT_EQ(result.title, "Caf\xC3\xA9 & Bar");
    EXPECT_EQ(methods(), (std::vector<std::string>{"HEAD /page", "GET /page"}));
}

TEST_F(TLLinkFetcherTest, FollowsRedirectsBetweenWebPages) {
    server_.route("/old", Reply::redirect(server_.url("/new")));
    server_.route("/new", Reply::text("<title>Moved</title>"));
    auto result = title(server_.url("/old"));
    EXPECT_EQ(result.outcome, Outcome::Title);
    EXPECT_EQ(result.title, "Moved");
}

TEST_F(TLLinkFetcherTest, ARedirectToAnotherSchemeIsRefused) {
    for (const char* target : {"file:///etc/hostname", "ftp://127.0.0.1/x", "gopher://127.0.0.1/"}) {
        SCOPED_TRACE(target);
        server_.route("/away", Reply::redirect(target));
        auto result = title(server_.url("/away"));
        EXPECT_EQ(result.outcome, Outcome::NoTitle);
        EXPECT_FALSE(image(server_.url("/away")));
    }
}

TEST_F(TLLinkFetcherTest, OtherSchemesAreNeverRequested) {
    std::ofstream(home_.root() / "page.html") << "<title>Local file</title>";
    const std::string file = "file://" + (home_.root() / "page.html").string();
    EXPECT_EQ(title(file).outcome, Outcome::NoTitle);
    EXPECT_FALSE(image(file));
    EXPECT_EQ(title("ftp://127.0.0.1:" + std::to_string(server_.port()) + "/x").outcome, Outcome::NoTitle);
    EXPECT_EQ(server_.requestCount(), 0u);
}

TEST_F(TLLinkFetcherTest, AHeadAnnouncingALargePageStopsTheFetch) {
    server_.route("/large", [](const RecordedRequest& r) {
        Reply reply = Reply::text(r.method == "HEAD" ? "" : "<title>Large</title>");
        if (r.method == "HEAD") reply.headers.emplace_back("Content-Length", std::to_string(TLLinkFetcher::kLargePageBytes));
        return reply;
    });
    EXPECT_EQ(title(server_.url("/large")).outcome, Outcome::TooLarge);
    EXPECT_EQ(methods(), (std::vector<std::string>{"HEAD /large"}));
}

TEST_F(TLLinkFetcherTest, ALargeLengthWithAnotherStatusOrJustBelowIsRead) {
    for (auto [status, length] : {std::pair{203, TLLinkFetcher::kLargePageBytes}, {200, TLLinkFetcher::kLargePageBytes - 1}}) {
        server_.route("/p", [status, length](const RecordedRequest& r) {
            Reply reply = Reply::text("<title>Read</title>", status);
            if (r.method == "HEAD") reply.headers.emplace_back("Content-Length", std::to_string(length));
            return reply;
        });
        EXPECT_EQ(title(server_.url("/p")).outcome, Outcome::Title);
    }
}

TEST_F(TLLinkFetcherTest, AHugeAnnouncedBodyIsReadOnlyToTheEndOfTheTitle) {
    // The server announces a gigabyte and sends a few bytes, then waits: the
    // reader must stop at "</title>" rather than wait for the rest.
    server_.route("/huge", [](const RecordedRequest& r) {
        Reply reply = Reply::text(r.method == "HEAD" ? "" : "<html><title>Start</title>");
        reply.headers.emplace_back("Content-Length", "1000000000");
        if (r.method == "HEAD") reply.status = 405;
        return reply;
    });
    double start = seconds();
    auto result = title(server_.url("/huge"));
    EXPECT_EQ(result.outcome, Outcome::Title);
    EXPECT_EQ(result.title, "Start");
    EXPECT_LT(seconds() - start, 10.0);
}

TEST_F(TLLinkFetcherTest, AnEndlessBodyIsCutAtTheCap) {
    server_.route("/endless", [](const RecordedRequest& r) {
        Reply reply = Reply::pattern(uint64_t{1} << 40);
        if (r.method == "HEAD") reply.status = 405;
        return reply;
    });
    TLLinkFetcher::Limits limits;
    limits.maxPageBytes = 1 << 20;
    uint64_t before = residentBytes();
    double start = seconds();
    EXPECT_EQ(title(server_.url("/endless"), limits).outcome, Outcome::NoTitle);
    EXPECT_LT(seconds() - start, 10.0);  // well before the time limit
    EXPECT_LT(residentBytes(), before + (uint64_t{24} << 20));
}

TEST_F(TLLinkFetcherTest, ASilentServerMeetsTheTimeLimit) {
    Reply silent;
    silent.neverAnswer = true;
    server_.route("/silent", silent);
    TLLinkFetcher::Limits limits;
    limits.timeout = 0.5;
    double start = seconds();
    EXPECT_EQ(title(server_.url("/silent"), limits).outcome, Outcome::NoTitle);
    EXPECT_FALSE(image(server_.url("/silent"), limits));
    // The HEAD, the page and the image each wait once.
    EXPECT_LT(seconds() - start, 6.0);
}

TEST_F(TLLinkFetcherTest, FetchesHeldBySilentServersLeaveAnotherOneFree) {
    Reply silent;
    silent.neverAnswer = true;
    std::vector<std::unique_ptr<LoopbackServer>> silentServers;
    auto pending = std::make_shared<std::atomic<int>>(0);
    for (int i = 0; i < 8; ++i) {
        silentServers.push_back(std::make_unique<LoopbackServer>());
        ASSERT_TRUE(silentServers.back()->start());
        silentServers.back()->route("/", silent);
        ++*pending;
        TLLinkFetcher({}, queue_).fetchTitle(silentServers.back()->url("/"), [pending](auto) { --*pending; });
    }
    server_.route("/page", Reply::text("<title>Ninth</title>", 200, "text/html"));
    TLLinkFetcher::TitleResult ninth = title(server_.url("/page"));
    EXPECT_EQ(ninth.title, "Ninth");
    EXPECT_EQ(pending->load(), 8);  // still held
}

TEST_F(TLLinkFetcherTest, ImagesAreDownloadedWithTheirType) {
    const std::string png = kittest::pngBytes();
    server_.route("/a.png", Reply::text(png, 200, "image/png"));
    server_.route("/page", Reply::text("<title>Not an image</title>", 200, "text/html"));
    auto downloaded = image(server_.url("/a.png"));
    ASSERT_TRUE(downloaded);
    EXPECT_EQ(downloaded->type, "public.png");
    EXPECT_EQ(downloaded->data.toString(), png);
    EXPECT_FALSE(image(server_.url("/page")));
    EXPECT_FALSE(image(server_.url("/missing")));  // a 404 page is no image either
}

TEST_F(TLLinkFetcherTest, AnImageOverTheCapIsNotDownloaded) {
    server_.route("/big.png", Reply::text(kittest::pngBytes() + std::string(4096, '\0'), 200, "image/png"));
    TLLinkFetcher::Limits limits;
    limits.maxImageBytes = 1024;
    EXPECT_FALSE(image(server_.url("/big.png"), limits));
}

}  // namespace
