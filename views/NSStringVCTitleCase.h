#pragma once
// Title case for headings: every word capitalised except the small words
// ("a", "and", "of", "the", ...) inside the title; words with a capital or a
// full stop after their first letter (iPhone, U.S.A.) are left as written,
// words with "&" (AT&T) are upper-cased, and the first and the last word are
// never a lower-case small word. Characters between words are kept.
// Any thread.

#include <QString>

namespace NSStringVCTitleCase {

QString titlecaseString(const QString& string);

}  // namespace NSStringVCTitleCase
