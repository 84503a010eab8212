#pragma once
// HTML entity escaping and unescaping of text, as page titles need it. Works on
// UTF-16 code units; the UTF-8 overloads convert around the same code. Any thread.

#include <cstddef>
#include <string>
#include <string_view>

namespace NSStringGTMNSStringHTMLAdditions {

struct HTMLEntity {
    const char16_t* text;  // "&amp;"
    char16_t unit;
};

// The 252 character entities of HTML 4.01 and "&apos;", by ascending code unit.
const HTMLEntity* fullEntityTable(size_t* size);
// "&quot;", "&amp;", "&apos;", "&lt;", "&gt;" and HTML 4.01's 28 special
// characters, by ascending code unit.
const HTMLEntity* basicEntityTable(size_t* size);

// Replaces entity and character references, each "&...;" of 4 to 10 characters
// once, from the last to the first, so "&amp;lt;" becomes "&lt;". Named
// references match the full table case-sensitively; numeric ones ("&#65;",
// "&#x41;") must be all digits and name a code unit from 1 to 65534 that is not
// a surrogate (a lone surrogate is not text). Runs in time linear in the length.
std::u16string gtm_stringByUnescapingFromHTML(std::u16string_view text);
std::string gtm_stringByUnescapingFromHTML(std::string_view utf8);

// Escapes with the basic table.
std::u16string gtm_stringByEscapingForHTML(std::u16string_view text);
std::string gtm_stringByEscapingForHTML(std::string_view utf8);
// Escapes with the full table, and every other character from 128 up as "&#N;".
std::u16string gtm_stringByEscapingForAsciiHTML(std::u16string_view text);
std::string gtm_stringByEscapingForAsciiHTML(std::string_view utf8);

// Replaces each code unit found in table (sorted by unit) by its entity; with
// escapingUnicode, others from 128 up become "&#N;", N the character's code point
// (a surrogate pair makes one reference, not two unreadable halves).
std::u16string gtm_stringByEscapingHTMLUsingTable(std::u16string_view text, const HTMLEntity* table, size_t size,
                                                  bool escapingUnicode);

}  // namespace NSStringGTMNSStringHTMLAdditions
