#pragma once
// Reads what a captured link points at: the title of its web page, or the
// image it names. Any thread; results arrive on the queue given at
// construction (the main queue unless set).
//
// A link is the user's clipboard content, so it may point anywhere: only http
// and https are ever requested, also after a redirect (a file:, ftp: or other
// link, or a redirect to one, fails like an unreachable page). Every request
// has a time limit and a body cap, so a silent or endless server costs a
// bounded wait and bounded memory.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Data.h"
#include "platform/net/URLRequest.h"

class TLLinkFetcher {
public:
    struct Limits {
        // Seconds each request (the HEAD, the page, the image) may take in all,
        // redirects included.
        double timeout = 30;
        // A page is read up to the end of its title, and never past this.
        uint64_t maxPageBytes = uint64_t{2} << 20;
        // An image longer than this is not downloaded at all.
        uint64_t maxImageBytes = uint64_t{32} << 20;
        int maxRedirects = 10;
    };

    // A HEAD that answers 200 with a length this large or larger: the page is
    // not read for its title.
    static constexpr int64_t kLargePageBytes = int64_t{10} << 20;

    enum class TitleOutcome {
        Title,     // the text between the title tags, as the page has it
        NoTitle,   // no page, no body, or no title in what was read
        TooLarge,  // the HEAD announced a large page; nothing was read
    };
    struct TitleResult {
        TitleOutcome outcome = TitleOutcome::NoTitle;
        std::string title;  // with Title only
    };
    using TitleCompletion = std::function<void(TitleResult)>;

    struct Image {
        foundation::Data data;
        std::string type;  // the image type identifier the bytes decode as
    };
    // Nothing when the link gave no data or data no image reader decodes.
    using ImageCompletion = std::function<void(std::optional<Image>)>;

    TLLinkFetcher();
    explicit TLLinkFetcher(Limits limits, std::shared_ptr<dispatch::Queue> completionQueue = nullptr);

    // A HEAD request first; unless it announces a large page, the page itself,
    // read until its "</title>". No thread waits on a server meanwhile.
    void fetchTitle(const std::string& url, TitleCompletion completion) const;
    // The whole of what the link serves, if it is an image.
    void downloadImage(const std::string& url, ImageCompletion completion) const;

    // Whether url is an http or https URL with a host.
    static bool isFetchableURL(std::string_view url);
    // The text between the first "<title" (after its closing ">", when one
    // comes before "</title>") and the first "</title>", the tags in any case;
    // nothing without both.
    static std::optional<std::string> titleInPage(std::string_view page);
    // The title as stored: leading white space removed, entities decoded.
    // Nothing for text that is not UTF-8.
    static std::optional<std::string> cleanedTitle(std::string_view title);

    const Limits& limits() const { return limits_; }

private:
    class PageReader;

    net::URLRequest request(const std::string& url, uint64_t maxBodyBytes) const;
    void deliver(std::function<void()> block) const;

    Limits limits_;
    std::shared_ptr<dispatch::Queue> completionQueue_;
};
