#pragma once
// A parsed URL reference (RFC 3986), as links, file locations and requests use
// it. A plain value; any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace foundation {

class URL {
public:
    // A URL reference, absolute or relative; nullopt for text that is not one
    // (white space, stray "%", characters a URL cannot hold).
    static std::optional<URL> parse(std::string_view text);
    // The file URL of an absolute path ("file:///home/a%20b/x.png"); a relative
    // path is taken from the current folder.
    static URL fileURL(const std::filesystem::path& path);
    // Whether text reads as a URL with both a scheme and a host ("https://a.org/x"
    // yes; "a.org", "mailto:x@a.org", "two words" no): the test that makes a
    // copied text a link.
    static bool isWebAddress(std::string_view text);

    const std::string& absoluteString() const { return string_; }
    const std::string& scheme() const { return scheme_; }  // lower case
    const std::string& host() const { return host_; }
    // The path with percent escapes decoded.
    const std::string& path() const { return path_; }
    const std::string& query() const { return query_; }
    const std::string& fragment() const { return fragment_; }
    std::optional<int> port() const { return port_; }

    bool hasSchemeAndHost() const { return !scheme_.empty() && !host_.empty(); }
    bool isFileURL() const { return scheme_ == "file"; }
    std::filesystem::path filePath() const { return path_; }
    // "/a/b.png" gives "b.png"; a trailing "/" is ignored; "/" gives "/".
    std::string lastPathComponent() const;
    // "b.tar.gz" gives "gz"; no extension gives "".
    std::string pathExtension() const;
    URL appendingPathComponent(std::string_view component) const;
    URL deletingLastPathComponent() const;

    std::string description() const { return string_; }
    bool operator==(const URL& other) const { return string_ == other.string_; }

private:
    URL() = default;
    static URL fromParsed(const std::string& text);

    std::string string_;
    std::string scheme_;
    std::string host_;
    std::string path_;
    std::string query_;
    std::string fragment_;
    std::optional<int> port_;
};

}  // namespace foundation
