#include "NSStringVCTitleCase.h"

#include <array>
#include <string_view>

namespace NSStringVCTitleCase {

namespace {

constexpr std::array<std::u16string_view, 19> kSmallWords = {
    u"a", u"an", u"and", u"as", u"at", u"but", u"by", u"en", u"for", u"if",
    u"in", u"of", u"on", u"or", u"the", u"to", u"v", u"via", u"vs",
};
constexpr qsizetype kLongestSmallWord = 3;

// Upper-case and lower-case letters (title-case ones count as upper case);
// letters without case, as in scripts without capitals, start no word.
bool isLetter(QChar c) {
    switch (c.category()) {
    case QChar::Letter_Uppercase:
    case QChar::Letter_Titlecase:
    case QChar::Letter_Lowercase: return true;
    default: return false;
    }
}

bool isUpperCase(QChar c) {
    return c.category() == QChar::Letter_Uppercase || c.category() == QChar::Letter_Titlecase;
}

bool isWordCharacter(QChar c) {
    return isLetter(c) || c == u'.' || c == u'&' || c == u'\'' || c == u'\u2019';
}

bool isSmallWord(const QString& lowered) {
    if (lowered.size() > kLongestSmallWord) return false;
    std::u16string_view view(reinterpret_cast<const char16_t*>(lowered.utf16()), static_cast<size_t>(lowered.size()));
    for (std::u16string_view small : kSmallWords) {
        if (small == view) return true;
    }
    return false;
}

// The word's first character upper-cased, the rest lower-cased.
QString capitalized(QStringView word) {
    QString out;
    out.reserve(word.size());
    out += word.first(1).toString().toUpper();
    out += word.sliced(1).toString().toLower();
    return out;
}

bool hasInnerCapital(QStringView word) {
    for (qsizetype i = 1; i < word.size(); ++i) {
        if (isUpperCase(word[i]) || word[i] == u'.') return true;
    }
    return false;
}

bool isAscii(QStringView word) {
    for (QChar c : word) {
        if (c.unicode() >= 0x80) return false;
    }
    return true;
}

// Appends the word with its first letter upper-cased and the rest lower-cased
// (or all lower- or upper-cased), without a string of its own for the
// common ASCII word.
enum class Casing { Lower, Upper, Capitalized };
void appendCased(QString& out, QStringView word, Casing casing) {
    if (!isAscii(word)) {
        switch (casing) {
        case Casing::Lower: out += word.toString().toLower(); return;
        case Casing::Upper: out += word.toString().toUpper(); return;
        case Casing::Capitalized: out += capitalized(word); return;
        }
    }
    for (qsizetype i = 0; i < word.size(); ++i) {
        char16_t c = word[i].unicode();
        bool upper = casing == Casing::Upper || (casing == Casing::Capitalized && i == 0);
        if (upper && c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - 32);
        else if (!upper && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
        out += QChar(c);
    }
}

bool isSmallWord(QStringView word) {
    return word.size() <= kLongestSmallWord && isSmallWord(word.toString().toLower());
}

}  // namespace

QString titlecaseString(const QString& string) {
    QString out;
    out.reserve(string.size());
    const qsizetype length = string.size();
    qsizetype position = 0;
    bool firstWord = true;
    qsizetype lastWordStart = -1;  // in out
    QStringView lastWord;          // in string
    while (position < length) {
        qsizetype start = position;
        while (start < length && !isLetter(string[start])) ++start;
        out += QStringView(string).sliced(position, start - position);
        if (start == length) break;
        qsizetype end = start + 1;
        while (end < length && isWordCharacter(string[end])) ++end;
        // Trailing marks belong to the text between words ("end." is the word "end").
        while (end > start + 1 && !isLetter(string[end - 1])) --end;
        QStringView word = QStringView(string).sliced(start, end - start);

        lastWordStart = out.size();
        lastWord = word;
        if (hasInnerCapital(word)) out += word;
        else if (word.contains(u'&')) appendCased(out, word, Casing::Upper);
        else if (!firstWord && isSmallWord(word)) appendCased(out, word, Casing::Lower);
        else appendCased(out, word, Casing::Capitalized);
        firstWord = false;
        position = end;
    }
    if (lastWordStart >= 0 && isSmallWord(lastWord)) {
        // Small words are ASCII: the cased word kept its length.
        out.replace(lastWordStart, lastWord.size(), capitalized(lastWord));
    }
    return out;
}

}  // namespace NSStringVCTitleCase
