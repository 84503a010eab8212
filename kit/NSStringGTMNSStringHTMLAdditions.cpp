#include "NSStringGTMNSStringHTMLAdditions.h"

#include <QString>
#include <algorithm>
#include <unordered_map>

namespace NSStringGTMNSStringHTMLAdditions {

namespace {

using Entity = HTMLEntity;

// Written from the HTML 4.01 entity sets (lat1, symbol, special) plus "&apos;".
const Entity kFullTable[] = {
    {u"&quot;", 34}, {u"&amp;", 38}, {u"&apos;", 39}, {u"&lt;", 60}, {u"&gt;", 62}, {u"&nbsp;", 160},
    {u"&iexcl;", 161}, {u"&cent;", 162}, {u"&pound;", 163}, {u"&curren;", 164}, {u"&yen;", 165},
    {u"&brvbar;", 166}, {u"&sect;", 167}, {u"&uml;", 168}, {u"&copy;", 169}, {u"&ordf;", 170},
    {u"&laquo;", 171}, {u"&not;", 172}, {u"&shy;", 173}, {u"&reg;", 174}, {u"&macr;", 175}, {u"&deg;", 176},
    {u"&plusmn;", 177}, {u"&sup2;", 178}, {u"&sup3;", 179}, {u"&acute;", 180}, {u"&micro;", 181},
    {u"&para;", 182}, {u"&middot;", 183}, {u"&cedil;", 184}, {u"&sup1;", 185}, {u"&ordm;", 186},
    {u"&raquo;", 187}, {u"&frac14;", 188}, {u"&frac12;", 189}, {u"&frac34;", 190}, {u"&iquest;", 191},
    {u"&Agrave;", 192}, {u"&Aacute;", 193}, {u"&Acirc;", 194}, {u"&Atilde;", 195}, {u"&Auml;", 196},
    {u"&Aring;", 197}, {u"&AElig;", 198}, {u"&Ccedil;", 199}, {u"&Egrave;", 200}, {u"&Eacute;", 201},
    {u"&Ecirc;", 202}, {u"&Euml;", 203}, {u"&Igrave;", 204}, {u"&Iacute;", 205}, {u"&Icirc;", 206},
    {u"&Iuml;", 207}, {u"&ETH;", 208}, {u"&Ntilde;", 209}, {u"&Ograve;", 210}, {u"&Oacute;", 211},
    {u"&Ocirc;", 212}, {u"&Otilde;", 213}, {u"&Ouml;", 214}, {u"&times;", 215}, {u"&Oslash;", 216},
    {u"&Ugrave;", 217}, {u"&Uacute;", 218}, {u"&Ucirc;", 219}, {u"&Uuml;", 220}, {u"&Yacute;", 221},
    {u"&THORN;", 222}, {u"&szlig;", 223}, {u"&agrave;", 224}, {u"&aacute;", 225}, {u"&acirc;", 226},
    {u"&atilde;", 227}, {u"&auml;", 228}, {u"&aring;", 229}, {u"&aelig;", 230}, {u"&ccedil;", 231},
    {u"&egrave;", 232}, {u"&eacute;", 233}, {u"&ecirc;", 234}, {u"&euml;", 235}, {u"&igrave;", 236},
    {u"&iacute;", 237}, {u"&icirc;", 238}, {u"&iuml;", 239}, {u"&eth;", 240}, {u"&ntilde;", 241},
    {u"&ograve;", 242}, {u"&oacute;", 243}, {u"&ocirc;", 244}, {u"&otilde;", 245}, {u"&ouml;", 246},
    {u"&divide;", 247}, {u"&oslash;", 248}, {u"&ugrave;", 249}, {u"&uacute;", 250}, {u"&ucirc;", 251},
    {u"&uuml;", 252}, {u"&yacute;", 253}, {u"&thorn;", 254}, {u"&yuml;", 255}, {u"&OElig;", 338},
    {u"&oelig;", 339}, {u"&Scaron;", 352}, {u"&scaron;", 353}, {u"&Yuml;", 376}, {u"&fnof;", 402},
    {u"&circ;", 710}, {u"&tilde;", 732}, {u"&Alpha;", 913}, {u"&Beta;", 914}, {u"&Gamma;", 915},
    {u"&Delta;", 916}, {u"&Epsilon;", 917}, {u"&Zeta;", 918}, {u"&Eta;", 919}, {u"&Theta;", 920},
    {u"&Iota;", 921}, {u"&Kappa;", 922}, {u"&Lambda;", 923}, {u"&Mu;", 924}, {u"&Nu;", 925}, {u"&Xi;", 926},
    {u"&Omicron;", 927}, {u"&Pi;", 928}, {u"&Rho;", 929}, {u"&Sigma;", 931}, {u"&Tau;", 932},
    {u"&Upsilon;", 933}, {u"&Phi;", 934}, {u"&Chi;", 935}, {u"&Psi;", 936}, {u"&Omega;", 937},
    {u"&alpha;", 945}, {u"&beta;", 946}, {u"&gamma;", 947}, {u"&delta;", 948}, {u"&epsilon;", 949},
    {u"&zeta;", 950}, {u"&eta;", 951}, {u"&theta;", 952}, {u"&iota;", 953}, {u"&kappa;", 954},
    {u"&lambda;", 955}, {u"&mu;", 956}, {u"&nu;", 957}, {u"&xi;", 958}, {u"&omicron;", 959}, {u"&pi;", 960},
    {u"&rho;", 961}, {u"&sigmaf;", 962}, {u"&sigma;", 963}, {u"&tau;", 964}, {u"&upsilon;", 965},
    {u"&phi;", 966}, {u"&chi;", 967}, {u"&psi;", 968}, {u"&omega;", 969}, {u"&thetasym;", 977},
    {u"&upsih;", 978}, {u"&piv;", 982}, {u"&ensp;", 8194}, {u"&emsp;", 8195}, {u"&thinsp;", 8201},
    {u"&zwnj;", 8204}, {u"&zwj;", 8205}, {u"&lrm;", 8206}, {u"&rlm;", 8207}, {u"&ndash;", 8211},
    {u"&mdash;", 8212}, {u"&lsquo;", 8216}, {u"&rsquo;", 8217}, {u"&sbquo;", 8218}, {u"&ldquo;", 8220},
    {u"&rdquo;", 8221}, {u"&bdquo;", 8222}, {u"&dagger;", 8224}, {u"&Dagger;", 8225}, {u"&bull;", 8226},
    {u"&hellip;", 8230}, {u"&permil;", 8240}, {u"&prime;", 8242}, {u"&Prime;", 8243}, {u"&lsaquo;", 8249},
    {u"&rsaquo;", 8250}, {u"&oline;", 8254}, {u"&frasl;", 8260}, {u"&euro;", 8364}, {u"&image;", 8465},
    {u"&weierp;", 8472}, {u"&real;", 8476}, {u"&trade;", 8482}, {u"&alefsym;", 8501}, {u"&larr;", 8592},
    {u"&uarr;", 8593}, {u"&rarr;", 8594}, {u"&darr;", 8595}, {u"&harr;", 8596}, {u"&crarr;", 8629},
    {u"&lArr;", 8656}, {u"&uArr;", 8657}, {u"&rArr;", 8658}, {u"&dArr;", 8659}, {u"&hArr;", 8660},
    {u"&forall;", 8704}, {u"&part;", 8706}, {u"&exist;", 8707}, {u"&empty;", 8709}, {u"&nabla;", 8711},
    {u"&isin;", 8712}, {u"&notin;", 8713}, {u"&ni;", 8715}, {u"&prod;", 8719}, {u"&sum;", 8721},
    {u"&minus;", 8722}, {u"&lowast;", 8727}, {u"&radic;", 8730}, {u"&prop;", 8733}, {u"&infin;", 8734},
    {u"&ang;", 8736}, {u"&and;", 8743}, {u"&or;", 8744}, {u"&cap;", 8745}, {u"&cup;", 8746}, {u"&int;", 8747},
    {u"&there4;", 8756}, {u"&sim;", 8764}, {u"&cong;", 8773}, {u"&asymp;", 8776}, {u"&ne;", 8800},
    {u"&equiv;", 8801}, {u"&le;", 8804}, {u"&ge;", 8805}, {u"&sub;", 8834}, {u"&sup;", 8835},
    {u"&nsub;", 8836}, {u"&sube;", 8838}, {u"&supe;", 8839}, {u"&oplus;", 8853}, {u"&otimes;", 8855},
    {u"&perp;", 8869}, {u"&sdot;", 8901}, {u"&lceil;", 8968}, {u"&rceil;", 8969}, {u"&lfloor;", 8970},
    {u"&rfloor;", 8971}, {u"&lang;", 9001}, {u"&rang;", 9002}, {u"&loz;", 9674}, {u"&spades;", 9824},
    {u"&clubs;", 9827}, {u"&hearts;", 9829}, {u"&diams;", 9830},
};

const Entity kBasicTable[] = {
    {u"&quot;", 34}, {u"&amp;", 38}, {u"&apos;", 39}, {u"&lt;", 60}, {u"&gt;", 62}, {u"&OElig;", 338},
    {u"&oelig;", 339}, {u"&Scaron;", 352}, {u"&scaron;", 353}, {u"&Yuml;", 376}, {u"&circ;", 710},
    {u"&tilde;", 732}, {u"&ensp;", 8194}, {u"&emsp;", 8195}, {u"&thinsp;", 8201}, {u"&zwnj;", 8204},
    {u"&zwj;", 8205}, {u"&lrm;", 8206}, {u"&rlm;", 8207}, {u"&ndash;", 8211}, {u"&mdash;", 8212},
    {u"&lsquo;", 8216}, {u"&rsquo;", 8217}, {u"&sbquo;", 8218}, {u"&ldquo;", 8220}, {u"&rdquo;", 8221},
    {u"&bdquo;", 8222}, {u"&dagger;", 8224}, {u"&Dagger;", 8225}, {u"&permil;", 8240}, {u"&lsaquo;", 8249},
    {u"&rsaquo;", 8250}, {u"&euro;", 8364},
};

constexpr size_t kMinCandidate = 4;
constexpr size_t kMaxCandidate = 10;

const std::unordered_map<std::u16string_view, char16_t>& namedEntities() {
    static const auto* map = [] {
        auto* m = new std::unordered_map<std::u16string_view, char16_t>();
        for (const Entity& e : kFullTable) m->emplace(e.text, e.unit);
        return m;
    }();
    return *map;
}

bool isHexDigit(char16_t c) {
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

int digitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    return c - u'A' + 10;
}

// The character a candidate "&...;" stands for, or 0 when it stays as it is.
char16_t decode(std::u16string_view candidate) {
    if (candidate[1] != u'#') {
        auto it = namedEntities().find(candidate);
        return it == namedEntities().end() ? 0 : it->second;
    }
    const bool hex = candidate[2] == u'x' || candidate[2] == u'X';
    std::u16string_view digits = candidate.substr(hex ? 3 : 2, candidate.size() - (hex ? 4 : 3));
    if (digits.empty()) return 0;
    uint32_t value = 0;
    for (char16_t c : digits) {
        if (hex ? !isHexDigit(c) : !(c >= u'0' && c <= u'9')) return 0;
        value = value * (hex ? 16 : 10) + static_cast<uint32_t>(digitValue(c));  // at most 7 digits: no overflow
    }
    if (value < 1 || value > 65534 || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    return static_cast<char16_t>(value);
}

std::u16string toUTF16(std::string_view utf8) {
    QString text = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
    return std::u16string(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
}

std::string toUTF8(const std::u16string& utf16) {
    QString text = QString::fromUtf16(utf16.data(), static_cast<qsizetype>(utf16.size()));
    return text.toStdString();
}

}  // namespace

const HTMLEntity* fullEntityTable(size_t* size) {
    if (size) *size = std::size(kFullTable);
    return kFullTable;
}

const HTMLEntity* basicEntityTable(size_t* size) {
    if (size) *size = std::size(kBasicTable);
    return kBasicTable;
}

std::u16string gtm_stringByUnescapingFromHTML(std::u16string_view text) {
    size_t amp = text.find(u'&');
    if (amp == std::u16string_view::npos) return std::u16string(text);
    // Walking the ampersands from the last to the first and replacing in place
    // never lets a replacement form a new candidate with text before it, and a
    // candidate never reaches past the next ampersand. So each ampersand's fate
    // depends on the original text alone, and one forward pass over the
    // stretches between ampersands gives the same result without the quadratic
    // cost of replacing inside the string.
    std::u16string out;
    out.reserve(text.size());
    out.append(text.substr(0, amp));
    while (amp != std::u16string_view::npos) {
        size_t next = text.find(u'&', amp + 1);
        size_t stretchEnd = next == std::u16string_view::npos ? text.size() : next;
        auto semicolon = std::find(text.begin() + amp + 1, text.begin() + stretchEnd, u';');
        size_t resumeAt = amp;
        if (semicolon != text.begin() + stretchEnd) {
            size_t length = static_cast<size_t>(semicolon - text.begin()) - amp + 1;
            if (length >= kMinCandidate && length <= kMaxCandidate) {
                if (char16_t c = decode(text.substr(amp, length))) {
                    out += c;
                    resumeAt = amp + length;
                }
            }
        }
        out.append(text.substr(resumeAt, stretchEnd - resumeAt));
        amp = next;
    }
    return out;
}

std::string gtm_stringByUnescapingFromHTML(std::string_view utf8) {
    if (utf8.find('&') == std::string_view::npos) return std::string(utf8);
    return toUTF8(gtm_stringByUnescapingFromHTML(toUTF16(utf8)));
}

std::u16string gtm_stringByEscapingHTMLUsingTable(std::u16string_view text, const HTMLEntity* table, size_t size,
                                                  bool escapingUnicode) {
    if (text.empty()) return std::u16string(text);
    std::u16string out;
    out.reserve(text.size() + text.size() / 8);
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t unit = text[i];
        const Entity* found = std::lower_bound(table, table + size, unit,
                                               [](const Entity& e, char16_t u) { return e.unit < u; });
        if (found != table + size && found->unit == unit) {
            out += found->text;
        } else if (escapingUnicode && unit >= 128) {
            uint32_t codePoint = unit;
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
                codePoint = 0x10000 + ((unit - 0xD800u) << 10) + (text[i + 1] - 0xDC00u);
                ++i;
            }
            std::string number = "&#" + std::to_string(codePoint) + ";";
            out.append(number.begin(), number.end());
        } else {
            out += unit;
        }
    }
    return out;
}

std::u16string gtm_stringByEscapingForHTML(std::u16string_view text) {
    return gtm_stringByEscapingHTMLUsingTable(text, kBasicTable, std::size(kBasicTable), false);
}

std::string gtm_stringByEscapingForHTML(std::string_view utf8) {
    return toUTF8(gtm_stringByEscapingForHTML(toUTF16(utf8)));
}

std::u16string gtm_stringByEscapingForAsciiHTML(std::u16string_view text) {
    return gtm_stringByEscapingHTMLUsingTable(text, kFullTable, std::size(kFullTable), true);
}

std::string gtm_stringByEscapingForAsciiHTML(std::string_view utf8) {
    return toUTF8(gtm_stringByEscapingForAsciiHTML(toUTF16(utf8)));
}

}  // namespace NSStringGTMNSStringHTMLAdditions
