#include "kit/TLLinkFetcher.h"

#include <QByteArray>
#include <QString>
#include <QStringDecoder>

#include <algorithm>

#include "kit/NSStringGTMNSStringHTMLAdditions.h"
#include "kit/TLImageUtilities.h"
#include "platform/foundation/URL.h"
#include "platform/net/URLConnection.h"

namespace {

constexpr std::string_view kTitleStart = "<title";
constexpr std::string_view kTitleEnd = "</title>";

// Where page bodies arrive: one queue for every page read, so a burst of
// captured links does not make a thread each.
const std::shared_ptr<dispatch::Queue>& pageQueue() {
    static const auto queue = dispatch::Queue::createSerial("com.tavlo.link-fetcher");
    return queue;
}

// Where needle (lower-case ASCII) first occurs in text, ignoring ASCII case:
// pages write "<TITLE>" as often as "<title>".
size_t findIgnoringCase(std::string_view text, std::string_view needle, size_t from = 0) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (needle.size() > text.size()) return std::string_view::npos;
    for (size_t i = from; i + needle.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < needle.size() && lower(text[i + k]) == needle[k]) ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

// The white space a leading "\s*" of a regular expression takes: tab, line
// feed, form feed, carriage return and the Unicode separators.
bool isLeadingSpace(QChar c) {
    if (c == u'\t' || c == u'\n' || c == u'\f' || c == u'\r') return true;
    auto category = c.category();
    return category == QChar::Separator_Space || category == QChar::Separator_Line ||
           category == QChar::Separator_Paragraph;
}

}  // namespace

// Collects a page's body until its title has ended, the cap is reached, or
// the page ends; then reports what it has, once. On the page queue.
class TLLinkFetcher::PageReader : public net::URLConnectionDelegate {
public:
    PageReader(uint64_t cap, std::function<void(std::optional<std::string>)> done) : cap_(cap), done_(std::move(done)) {}

    // The connection keeps its delegate, this reader, until it ends.
    static void start(const net::URLRequest& request, std::shared_ptr<PageReader> reader) {
        net::URLConnection::create(request, std::move(reader), pageQueue())->start();
    }

    void connectionDidReceiveData(net::URLConnection& connection, const foundation::Data& data) override {
        if (finished_) return;
        size_t room = size_t(cap_ - std::min<uint64_t>(cap_, body_.size()));
        size_t take = std::min(room, data.length());
        // Look for the end of the title only in what is new (and the few bytes
        // before it that a split tag may start in), so a long page is scanned once.
        size_t scanFrom = body_.size() > kTitleEnd.size() ? body_.size() - kTitleEnd.size() : 0;
        body_.append(reinterpret_cast<const char*>(data.bytes()), take);
        bool titleEnded = findIgnoringCase(body_, kTitleEnd, scanFrom) != std::string_view::npos;
        if (titleEnded || take < data.length() || body_.size() >= cap_) {
            connection.cancel();
            finish(std::move(body_));
        }
    }
    void connectionDidFinishLoading(net::URLConnection&) override { finish(std::move(body_)); }
    void connectionDidFailWithError(net::URLConnection&, const foundation::Error&) override { finish(std::nullopt); }

private:
    void finish(std::optional<std::string> body) {
        if (finished_) return;
        finished_ = true;
        done_(std::move(body));
    }

    const uint64_t cap_;
    std::function<void(std::optional<std::string>)> done_;
    std::string body_;
    bool finished_ = false;
};

TLLinkFetcher::TLLinkFetcher() : TLLinkFetcher(Limits()) {}

TLLinkFetcher::TLLinkFetcher(Limits limits, std::shared_ptr<dispatch::Queue> completionQueue)
    : limits_(limits), completionQueue_(completionQueue ? std::move(completionQueue) : dispatch::Queue::main()) {}

bool TLLinkFetcher::isFetchableURL(std::string_view url) {
    auto parsed = foundation::URL::parse(url);
    return parsed && (parsed->scheme() == "http" || parsed->scheme() == "https") && !parsed->host().empty();
}

net::URLRequest TLLinkFetcher::request(const std::string& url, uint64_t maxBodyBytes) const {
    net::URLRequest request(url, limits_.timeout);
    request.setResourceTimeout(limits_.timeout);
    request.setAllowedSchemes({"http", "https"});
    request.setMaxRedirects(limits_.maxRedirects);
    request.setMaxBodyBytes(maxBodyBytes);
    return request;
}

void TLLinkFetcher::deliver(std::function<void()> block) const { completionQueue_->async(std::move(block)); }

void TLLinkFetcher::fetchTitle(const std::string& url, TitleCompletion completion) const {
    if (!isFetchableURL(url)) {
        deliver([completion] { completion({}); });
        return;
    }
    // The fetcher may be gone before the answer comes: the work holds copies.
    // No thread waits for a server meanwhile: each answer comes as an event.
    TLLinkFetcher self = *this;
    net::URLRequest head = request(url, 0);  // a HEAD has no body to cap
    head.setHTTPMethod("HEAD");
    net::URLConnection::sendAsynchronousRequest(head, pageQueue(), [self, url, completion](auto answer) {
        // A failed HEAD says nothing about the page: it is read all the same.
        if (answer && answer.value().response.statusCode() == 200 &&
            answer.value().response.expectedContentLength() >= kLargePageBytes) {
            self.deliver([completion] { completion({TitleOutcome::TooLarge, {}}); });
            return;
        }
        // The body is capped by the reader, not the request: a page announcing a
        // huge length may still have its title at the start.
        auto done = [self, completion](std::optional<std::string> body) {
            TitleResult result;
            if (body) {
                if (auto raw = titleInPage(*body)) {
                    if (auto title = cleanedTitle(*raw)) result = {TitleOutcome::Title, std::move(*title)};
                }
            }
            self.deliver([completion, result = std::move(result)] { completion(result); });
        };
        auto reader = std::make_shared<PageReader>(self.limits_.maxPageBytes, std::move(done));
        PageReader::start(self.request(url, 0), std::move(reader));
    });
}

void TLLinkFetcher::downloadImage(const std::string& url, ImageCompletion completion) const {
    if (!isFetchableURL(url)) {
        deliver([completion] { completion(std::nullopt); });
        return;
    }
    TLLinkFetcher self = *this;
    // Telling the image type decodes the bytes: on a global queue, once they are here.
    net::URLConnection::sendAsynchronousRequest(
        request(url, limits_.maxImageBytes), dispatch::Queue::global(), [self, completion](auto answer) {
            std::optional<Image> image;
            if (answer && !answer.value().data.empty()) {
                if (auto type = TLImageUtilities::imageTypeOfData(answer.value().data))
                    image = Image{std::move(answer.value().data), *type};
            }
            self.deliver([completion, image = std::move(image)] { completion(image); });
        });
}

std::optional<std::string> TLLinkFetcher::titleInPage(std::string_view page) {
    size_t start = findIgnoringCase(page, kTitleStart);
    size_t end = findIgnoringCase(page, kTitleEnd);
    // A "</title>" before the first "<title" closes nothing.
    if (start == std::string_view::npos || end == std::string_view::npos || end < start + kTitleStart.size())
        return std::nullopt;
    size_t from = start + kTitleStart.size();
    size_t close = page.substr(from, end - from).find('>');
    if (close != std::string_view::npos) from += close + 1;
    return std::string(page.substr(from, end - from));
}

std::optional<std::string> TLLinkFetcher::cleanedTitle(std::string_view title) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(QByteArrayView(title.data(), qsizetype(title.size())));
    if (decoder.hasError()) return std::nullopt;
    qsizetype first = 0;
    while (first < text.size() && isLeadingSpace(text[first])) ++first;
    std::u16string_view rest(reinterpret_cast<const char16_t*>(text.utf16()) + first, size_t(text.size() - first));
    std::u16string unescaped = NSStringGTMNSStringHTMLAdditions::gtm_stringByUnescapingFromHTML(rest);
    QByteArray utf8 = QString::fromUtf16(unescaped.data(), qsizetype(unescaped.size())).toUtf8();
    return std::string(utf8.constData(), size_t(utf8.size()));
}
