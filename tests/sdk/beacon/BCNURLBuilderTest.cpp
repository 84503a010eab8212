// The kits' endpoint addresses: components, escaping and query parameters.
#include <gtest/gtest.h>

#include "sdk/beacon/BCNURLBuilder.h"

namespace {

TEST(BCNURLBuilderTest, QueryParametersTakeQuestionMarkThenAmpersand) {
    auto builder = BCNURLBuilder::URLWithBase("B");
    builder.appendValue(std::optional<std::string>("x"), "a");
    builder.appendValue(std::optional<std::string>("y z"), "b");
    EXPECT_EQ(builder.URLString(), "B?a=x&b=y%20z");
    EXPECT_EQ(builder.queryParams(), 2u);
}

TEST(BCNURLBuilderTest, AMissingValueAddsNothingAndTheNextStillTakesTheQuestionMark) {
    auto builder = BCNURLBuilder::URLWithBase("https://h.test/p?already=1");
    builder.appendValue(std::nullopt, "gone");
    EXPECT_EQ(builder.queryParams(), 0u);
    builder.appendValue(42, "n");
    // The choice rests on the count alone.
    EXPECT_EQ(builder.URLString(), "https://h.test/p?already=1?n=42");
}

TEST(BCNURLBuilderTest, EscapingKeepsTheAddressCharactersAndEscapesTheRest) {
    struct Case {
        std::string text, escaped;
    } cases[] = {
        {"az-AZ_09.!~*'()", "az-AZ_09.!~*'()"},
        {";/?:@&=+$,#", ";/?:@&=+$,#"},
        {"é", "%C3%A9"},
        {"100% sure", "100%25%20sure"},
        {"a\"b<c>{d}|\\^`[]", "a%22b%3Cc%3E%7Bd%7D%7C%5C%5E%60%5B%5D"},
        {std::string("\x01\x7f", 2), "%01%7F"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(BCNURLBuilder::escapeString(c.text), c.escaped) << c.text;
}

TEST(BCNURLBuilderTest, QueryValuesEscapeWhatWouldEndOrChangeTheParameter) {
    auto builder = BCNURLBuilder::URLWithBase("https://h.test/s");
    builder.appendValue(std::optional<std::string>("a&b=c+d#e?f/g"), "q");
    builder.appendValue(std::optional<std::string>("é"), "r");
    EXPECT_EQ(builder.URLString(), "https://h.test/s?q=a%26b%3Dc%2Bd%23e%3Ff/g&r=%C3%A9");
}

TEST(BCNURLBuilderTest, ComponentsAppendUnchangedOrEscaped) {
    auto builder = BCNURLBuilder::URLWithBase("https://h.test");
    builder.appendComponent("/apps/");
    builder.escapeAndAppendComponent("a b/é");
    builder.appendComponent("/settings");
    EXPECT_EQ(builder.URLString(), "https://h.test/apps/a%20b/%C3%A9/settings");
    EXPECT_EQ(builder.URL(), builder.URLString());
}

TEST(BCNURLBuilderTest, TextThatIsNoAddressGivesNone) {
    EXPECT_FALSE(BCNURLBuilder::URLWithBase("not an address").URL());
    EXPECT_FALSE(BCNURLBuilder::URLWithBase("").URL());
}

}  // namespace
