#include "platform/store/TextMatching.h"

#include <QList>
#include <QString>
#include <mutex>
#include <regex>
#include <unordered_map>

namespace store {

namespace {

bool isASCII(std::string_view s) {
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

std::u32string toCodePoints(std::string_view s) {
    QString q = QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
    std::u32string out;
    out.reserve(static_cast<size_t>(q.size()));
    for (char32_t c : q.toUcs4()) out.push_back(c);
    return out;
}

bool likeMatch(const std::u32string& t, size_t ti, const std::u32string& p, size_t pi) {
    // Iterative wildcard match with one backtrack point for "*".
    size_t starP = std::u32string::npos, starT = 0;
    while (ti < t.size()) {
        if (pi < p.size() && p[pi] == U'\\' && pi + 1 < p.size()) {
            if (t[ti] == p[pi + 1]) {
                ++ti;
                pi += 2;
                continue;
            }
        } else if (pi < p.size() && p[pi] == U'*') {
            starP = pi++;
            starT = ti;
            continue;
        } else if (pi < p.size() && (p[pi] == U'?' || p[pi] == t[ti])) {
            ++ti;
            ++pi;
            continue;
        }
        if (starP == std::u32string::npos) return false;
        pi = starP + 1;
        ti = ++starT;
    }
    while (pi < p.size() && p[pi] == U'*') ++pi;
    return pi == p.size();
}

// Compiled expressions are kept: the same pattern is matched against every row.
std::shared_ptr<const std::regex> compiledRegex(std::string_view pattern, bool icase) {
    static std::mutex mutex;
    static std::unordered_map<std::string, std::shared_ptr<const std::regex>> cache;
    std::string key = std::string(icase ? "i" : "s") + std::string(pattern);
    std::lock_guard lock(mutex);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
    std::shared_ptr<const std::regex> re;
    try {
        auto flags = std::regex::ECMAScript | (icase ? std::regex::icase : std::regex::flag_type{});
        re = std::make_shared<const std::regex>(std::string(pattern), flags);
    } catch (const std::regex_error&) {
        re = nullptr;
    }
    if (cache.size() > 256) cache.clear();
    cache.emplace(std::move(key), re);
    return re;
}

}  // namespace

std::string foldText(std::string_view text, TextOptions options) {
    if (!options.caseInsensitive && !options.diacriticInsensitive) return std::string(text);
    if (isASCII(text)) {
        std::string out(text);
        if (options.caseInsensitive)
            for (char& c : out)
                if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    }
    QString q = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (options.diacriticInsensitive) {
        q = q.normalized(QString::NormalizationForm_D);
        QString kept;
        kept.reserve(q.size());
        for (QChar c : q)
            if (c.category() != QChar::Mark_NonSpacing) kept.append(c);
        q = kept;
    }
    if (options.caseInsensitive) q = q.toCaseFolded();
    QByteArray utf8 = q.toUtf8();
    return std::string(utf8.constData(), static_cast<size_t>(utf8.size()));
}

size_t characterCount(std::string_view text) {
    size_t n = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

bool textContains(std::string_view haystack, std::string_view needle, TextOptions options) {
    if (needle.empty()) return false;
    return foldedTextContains(haystack, foldText(needle, options), options);
}

bool textBeginsWith(std::string_view text, std::string_view prefix, TextOptions options) {
    return foldedTextBeginsWith(text, foldText(prefix, options), options);
}

bool textEndsWith(std::string_view text, std::string_view suffix, TextOptions options) {
    return foldedTextEndsWith(text, foldText(suffix, options), options);
}

bool foldedTextContains(std::string_view haystack, std::string_view foldedNeedle, TextOptions options) {
    if (foldedNeedle.empty()) return false;
    return foldText(haystack, options).find(foldedNeedle) != std::string::npos;
}

bool foldedTextBeginsWith(std::string_view text, std::string_view foldedPrefix, TextOptions options) {
    std::string t = foldText(text, options);
    return t.size() >= foldedPrefix.size() && std::string_view(t).substr(0, foldedPrefix.size()) == foldedPrefix;
}

bool foldedTextEndsWith(std::string_view text, std::string_view foldedSuffix, TextOptions options) {
    std::string t = foldText(text, options);
    return t.size() >= foldedSuffix.size() && std::string_view(t).substr(t.size() - foldedSuffix.size()) == foldedSuffix;
}

bool textLike(std::string_view text, std::string_view pattern, TextOptions options) {
    return likeMatch(toCodePoints(foldText(text, options)), 0, toCodePoints(foldText(pattern, options)), 0);
}

bool textMatches(std::string_view text, std::string_view pattern, TextOptions options) {
    auto re = compiledRegex(pattern, options.caseInsensitive);
    if (!re) return false;
    std::string subject = options.diacriticInsensitive ? foldText(text, {false, true}) : std::string(text);
    return std::regex_match(subject, *re);
}

int textCompare(std::string_view a, std::string_view b, TextOptions options) {
    // Without folding the texts compare as they are: no copy of either, which
    // for a text of tens of megabytes is most of an in-memory match's time.
    int c = !options.caseInsensitive && !options.diacriticInsensitive ? a.compare(b)
                                                                      : foldText(a, options).compare(foldText(b, options));
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace store
