#include <gtest/gtest.h>

#include "kit/NSStringGTMNSStringHTMLAdditions.h"

using namespace NSStringGTMNSStringHTMLAdditions;

TEST(HTMLUnescapingTest, EdgeCases) {
    struct Row {
        const char* name;
        std::u16string in;
        std::u16string out;
    };
    const Row rows[] = {
        {"no ampersand", u"plain", u"plain"},
        {"one pass from the back", u"&amp;lt;", u"&lt;"},
        {"decimal", u"&#65;", u"A"},
        {"hexadecimal", u"&#x41;", u"A"},
        {"upper-case X", u"&#X41;", u"A"},
        {"zero stays", u"&#0;", u"&#0;"},
        {"65535 stays", u"&#65535;", u"&#65535;"},
        {"beyond 16 bits stays", u"&#x1F600;", u"&#x1F600;"},
        {"surrogate stays", u"&#xD800;", u"&#xD800;"},
        {"decimal surrogate stays", u"&#56320;", u"&#56320;"},
        {"partly numeric stays", u"&#65a;", u"&#65a;"},
        {"empty hex stays", u"&#x;", u"&#x;"},
        {"case-sensitive", u"&AMP;", u"&AMP;"},
        {"longer than 10 stays", u"&thisislong;", u"&thisislong;"},
        {"ten is fine", u"&#x000041;", u"A"},
        {"eleven stays", u"&#x0000041;", u"&#x0000041;"},
        {"ampersand then semicolon", u"&;", u"&;"},
        {"named", u"&lt;b&gt; &copy; &apos;&euro;", u"<b> \u00A9 '\u20AC"},
        {"no semicolon before the next ampersand", u"&amp &lt;", u"&amp <"},
        {"entity-like text ends at the next ampersand", u"a&b&gt;c", u"a&b>c"},
        {"lone ampersand", u"a & b", u"a & b"},
        {"trailing ampersand", u"x&", u"x&"},
        {"mixed", u"Tom &amp; Jerry&#8217;s &quot;Show&quot;", u"Tom & Jerry\u2019s \"Show\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(gtm_stringByUnescapingFromHTML(row.in), row.out);
    }
    EXPECT_EQ(gtm_stringByUnescapingFromHTML(std::string("Caf&eacute; &#x2713;")), "Caf\xC3\xA9 \xE2\x9C\x93");
}

TEST(HTMLUnescapingTest, NeverProducesInvalidUTF16) {
    std::u16string input;
    for (uint32_t v = 0xD7F0; v < 0xE010; ++v) input += u"&#" + std::u16string(u"x") + [&] {
        std::u16string hex;
        for (int shift = 12; shift >= 0; shift -= 4) hex += u"0123456789ABCDEF"[(v >> shift) & 15];
        return hex;
    }() + u";";
    std::u16string out = gtm_stringByUnescapingFromHTML(input);
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] >= 0xD800 && out[i] <= 0xDBFF) {
            ASSERT_TRUE(i + 1 < out.size() && out[i + 1] >= 0xDC00 && out[i + 1] <= 0xDFFF);
            ++i;
        } else {
            ASSERT_FALSE(out[i] >= 0xDC00 && out[i] <= 0xDFFF);
        }
    }
}

TEST(HTMLUnescapingTest, LargeInputsAreHandledInOnePass) {
    // 1 MiB of entities: a quadratic replacement would take minutes here.
    std::u16string input;
    for (size_t i = 0; i < (1u << 20) / 5; ++i) input += u"&amp;";
    std::u16string out = gtm_stringByUnescapingFromHTML(input);
    EXPECT_EQ(out, std::u16string((1u << 20) / 5, u'&'));
    std::u16string ampersands(1u << 20, u'&');
    EXPECT_EQ(gtm_stringByUnescapingFromHTML(ampersands), ampersands);
}

TEST(HTMLEscapingTest, TablesAndRoundTrips) {
    size_t fullSize = 0, basicSize = 0;
    const HTMLEntity* full = fullEntityTable(&fullSize);
    const HTMLEntity* basic = basicEntityTable(&basicSize);
    EXPECT_EQ(fullSize, 253u);
    EXPECT_EQ(basicSize, 33u);
    EXPECT_EQ(std::u16string(full[0].text), u"&quot;");
    EXPECT_EQ(std::u16string(full[fullSize - 1].text), u"&diams;");
    EXPECT_EQ(full[fullSize - 1].unit, 9830);
    EXPECT_EQ(basic[basicSize - 1].unit, 8364);
    for (size_t i = 0; i < fullSize; ++i) {
        SCOPED_TRACE(i);
        std::u16string c(1, full[i].unit);
        EXPECT_EQ(gtm_stringByEscapingForAsciiHTML(c), full[i].text);
        EXPECT_EQ(gtm_stringByUnescapingFromHTML(gtm_stringByEscapingForAsciiHTML(c)), c);
        if (i > 0) {
            EXPECT_LT(full[i - 1].unit, full[i].unit);
        }
    }
    EXPECT_EQ(gtm_stringByEscapingForHTML(u"<a href=\"x\">Tom & Jerry\u2019s \u00E9</a>"),
              u"&lt;a href=&quot;x&quot;&gt;Tom &amp; Jerry&rsquo;s \u00E9&lt;/a&gt;");
    EXPECT_EQ(gtm_stringByEscapingForAsciiHTML(u"\u00E9\u4E2D"), u"&eacute;&#20013;");
    EXPECT_EQ(gtm_stringByEscapingForAsciiHTML(u"\U0001F600"), u"&#128512;");
    EXPECT_EQ(gtm_stringByEscapingForHTML(u""), u"");
    EXPECT_EQ(gtm_stringByEscapingForHTML(std::string("a<b")), "a&lt;b");
}
