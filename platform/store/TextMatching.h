#pragma once
// Case- and diacritic-insensitive string matching, shared by the in-memory
// predicate evaluation, the SQL functions the store registers and the folded
// copies kept in the search index, so that every path gives the same answer.
// Strings are UTF-8. Any thread.

#include <string>
#include <string_view>

namespace store {

struct TextOptions {
    bool caseInsensitive = false;
    bool diacriticInsensitive = false;
    int bits() const { return (caseInsensitive ? 1 : 0) | (diacriticInsensitive ? 2 : 0); }
    static TextOptions fromBits(int bits) { return {(bits & 1) != 0, (bits & 2) != 0}; }
};

// Diacritic folding decomposes (NFD) and drops non-spacing marks; case folding
// applies Unicode case folding. ASCII text takes a fast path.
std::string foldText(std::string_view text, TextOptions options);
// Number of Unicode characters (UTF-8 sequences).
size_t characterCount(std::string_view text);

// Substring test; an empty needle is never contained.
bool textContains(std::string_view haystack, std::string_view needle, TextOptions options);
bool textBeginsWith(std::string_view text, std::string_view prefix, TextOptions options);
bool textEndsWith(std::string_view text, std::string_view suffix, TextOptions options);
// The same three with the second string already folded with the same options,
// so that a needle compared with many texts is folded once.
bool foldedTextContains(std::string_view haystack, std::string_view foldedNeedle, TextOptions options);
bool foldedTextBeginsWith(std::string_view text, std::string_view foldedPrefix, TextOptions options);
bool foldedTextEndsWith(std::string_view text, std::string_view foldedSuffix, TextOptions options);
// "*" matches any run of characters, "?" one character, "\" escapes the next.
bool textLike(std::string_view text, std::string_view pattern, TextOptions options);
// The whole text must match the (ECMAScript) regular expression; a malformed
// expression matches nothing.
bool textMatches(std::string_view text, std::string_view pattern, TextOptions options);
// Three-way comparison of the folded texts by bytes.
int textCompare(std::string_view a, std::string_view b, TextOptions options);

}  // namespace store
