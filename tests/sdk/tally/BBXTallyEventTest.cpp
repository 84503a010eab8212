#include "sdk/tally/BBXTallyEvent.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/foundation/Date.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "sdk/tally/BBXTallyLevelEndEvent.h"
#include "sdk/tally/BBXTallyLoginEvent.h"
#include "sdk/tally/BBXTallyPurchaseEvent.h"
#include "sdk/tally/BBXTallyRateEvent.h"
#include "sdk/tally/BBXTallyStartCheckoutEvent.h"
#include "sdk/tally/UTF16.h"
#include "tests/support/RecordingSystemLog.h"

using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;
using testsupport::RecordingSystemLog;

namespace {

constexpr const char* kTooMany = "[Blackbox:Tally] Maximum number of Event attributes exceeded. Ignoring attribute";
constexpr const char* kWrongType = "[Blackbox:Tally] Event attribute values must be of type NSString or NSNumber. Ignoring entry";
constexpr const char* kTooLong = "[Blackbox:Tally] Maximum length for an Event attributes exceeded. Truncating to 100 characters.";

bool validUTF8(const std::string& text) {
    // Valid text measures the same when every byte is decoded strictly.
    std::string copy;
    for (size_t i = 0; i < text.size();) {
        auto c = static_cast<uint8_t>(text[i]);
        size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        if (n == 0 || i + n > text.size()) return false;
        for (size_t k = 1; k < n; ++k)
            if ((static_cast<uint8_t>(text[i + k]) & 0xC0) != 0x80) return false;
        i += n;
    }
    return true;
}

}  // namespace

TEST(UTF16Test, CountsCutsAndHashesInUnits) {
    const std::string emoji = "\xF0\x9F\x98\x80";  // U+1F600, two units
    EXPECT_EQ(tally::utf16Length("abc"), 3u);
    EXPECT_EQ(tally::utf16Length("\xC3\xA9" + emoji), 3u);
    EXPECT_EQ(tally::utf16Length("a\xFF" "b"), 3u);  // a stray byte is one unit
    EXPECT_EQ(tally::utf16Prefix("a" + emoji, 2), "a");
    EXPECT_EQ(tally::utf16Prefix("a" + emoji, 3), "a" + emoji);
    EXPECT_EQ(tally::javaHashCode("abc"), 96354u);
    EXPECT_EQ(tally::javaHashCode(""), 0u);
    EXPECT_EQ(tally::javaHashCode(emoji), (31u * 0xD83D + 0xDE00));
}

TEST(BBXTallyEventTest, KeepsTwentyOneAttributesInKeyOrderAndLogsTheRest) {
    RecordingSystemLog::Scope log;
    Dictionary attributes;
    for (int i = 0; i < 25; ++i) attributes[std::string(1, static_cast<char>('a' + i))] = i;
    auto event = BBXTallyCustomEvent::initWithName("e", attributes);
    ASSERT_TRUE(event);
    EXPECT_EQ(event->customAttributes().size(), 21u);
    EXPECT_TRUE(event->customAttributes().count("u"));
    EXPECT_FALSE(event->customAttributes().count("v"));
    EXPECT_EQ(log->count(kTooMany), 4u);
}

TEST(BBXTallyEventTest, AttributeRules) {
    const std::string emoji = "\xF0\x9F\x98\x80";
    const std::string long150(150, 'x');
    const std::string emojiAcross = std::string(99, 'y') + emoji + "zz";  // the pair is units 100 and 101
    struct Case {
        const char* what;
        std::string key;
        PlistValue value;
        std::optional<std::string> keptKey;  // nullopt: refused
        std::optional<PlistValue> keptValue;
        const char* message;
    };
    const Case cases[] = {
        {"text", "k", "v", "k", PlistValue("v"), nullptr},
        {"long value", "k", long150, "k", PlistValue(std::string(100, 'x')), kTooLong},
        {"long key", long150, "v", std::string(100, 'x'), PlistValue("v"), kTooLong},
        {"pair across the cut", "k", emojiAcross, "k", PlistValue(std::string(99, 'y')), kTooLong},
        {"real", "k", 3.5, "k", PlistValue(3.5), nullptr},
        {"integer", "k", int64_t{7}, "k", PlistValue(int64_t{7}), nullptr},
        {"boolean", "k", true, "k", PlistValue(true), nullptr},
        {"date", "k", foundation::Date(1), std::nullopt, std::nullopt, kWrongType},
        {"array", "k", PlistValue::Array{1}, std::nullopt, std::nullopt, kWrongType},
        {"null", "k", PlistValue(), std::nullopt, std::nullopt, kWrongType},
        {"NaN", "k", std::nan(""), std::nullopt, std::nullopt, kWrongType},
        {"infinity", "k", -std::numeric_limits<double>::infinity(), std::nullopt, std::nullopt, kWrongType},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        RecordingSystemLog::Scope log;
        Dictionary target;
        BBXTallyEvent::addAttribute(&c.value, &c.key, target);
        if (c.keptKey) {
            ASSERT_EQ(target.size(), 1u);
            EXPECT_EQ(target.begin()->first, *c.keptKey);
            EXPECT_EQ(target.begin()->second, *c.keptValue);
            if (auto text = target.begin()->second.asString()) {
                EXPECT_TRUE(validUTF8(*text));
            }
        } else {
            EXPECT_TRUE(target.empty());
        }
        EXPECT_EQ(log->messages().size(), c.message ? 1u : 0u);
        if (c.message) {
            EXPECT_TRUE(log->contains(c.message));
        }
    }
    // A missing value or key adds nothing and says nothing.
    RecordingSystemLog::Scope log;
    Dictionary target;
    const PlistValue value("v");
    const std::string key("k");
    BBXTallyEvent::addAttribute(nullptr, &key, target);
    BBXTallyEvent::addAttribute(&value, nullptr, target);
    EXPECT_TRUE(target.empty());
    EXPECT_TRUE(log->messages().empty());
}

TEST(BBXTallyEventTest, CustomEventsAreMadeByName) {
    RecordingSystemLog::Scope log;
    EXPECT_FALSE(BBXTallyCustomEvent::initWithName(std::nullopt));
    auto event = BBXTallyCustomEvent::initWithName(std::string(150, 'n'));
    ASSERT_TRUE(event);
    EXPECT_EQ(event->key(), "custom");
    EXPECT_EQ(event->metadata(), (Dictionary{{"custom_type", std::string(100, 'n')}}));
    EXPECT_EQ(event->payloadDictionary(),
              (Dictionary{{"custom_type", std::string(100, 'n')},
                          {"predefined_attributes", Dictionary{}},
                          {"custom_attributes", Dictionary{}}}));
    EXPECT_EQ(BBXTallyCustomEvent::initWithName("n", Dictionary{{"a", 1}})->description(),
              "BBXTallyCustomEvent { {\n    a = 1;\n} }");
}

TEST(BBXTallyEventTest, PredefinedConversions) {
    auto micros = [](const char* price) {
        return BBXTallyPurchaseEvent(tally::Decimal::fromString(price), std::nullopt, std::nullopt, std::nullopt,
                                     std::nullopt, std::nullopt)
            .predefinedAttributes();
    };
    EXPECT_EQ(micros("2.5"), (Dictionary{{"item_price", int64_t{2500000}}}));
    EXPECT_EQ(micros("19.99"), (Dictionary{{"item_price", int64_t{19990000}}}));
    EXPECT_EQ(micros("0.0000005"), (Dictionary{{"item_price", 0.5}}));
    EXPECT_TRUE(BBXTallyPurchaseEvent(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt)
                    .predefinedAttributes()
                    .empty());

    auto success = [](std::optional<bool> value) {
        return BBXTallyLoginEvent(std::nullopt, value).predefinedAttributes();
    };
    EXPECT_EQ(success(true), (Dictionary{{"success", "true"}}));
    EXPECT_EQ(success(false), (Dictionary{{"success", "false"}}));
    EXPECT_TRUE(success(std::nullopt).empty());

    const struct {
        PlistValue number;
        std::optional<PlistValue> integer;
    } integers[] = {
        {4.7, PlistValue(int64_t{4})},  {-2.9, PlistValue(int64_t{-2})}, {int64_t{3}, PlistValue(int64_t{3})},
        {std::nan(""), std::nullopt},   {1e30, std::nullopt},            {"4", std::nullopt},
    };
    for (const auto& c : integers) {
        SCOPED_TRACE(c.number.description());
        auto rating = BBXTallyRateEvent(c.number, std::nullopt, std::nullopt, std::nullopt).predefinedAttributes();
        if (c.integer) EXPECT_EQ(rating, (Dictionary{{"rating", *c.integer}}));
        else EXPECT_TRUE(rating.empty());
    }
    EXPECT_EQ(BBXTallyStartCheckoutEvent(std::nullopt, "EUR", PlistValue(2.9)).predefinedAttributes(),
              (Dictionary{{"currency", "EUR"}, {"item_count", int64_t{2}}}));
    EXPECT_EQ(BBXTallyLevelEndEvent("one", PlistValue(12.5), true).predefinedAttributes(),
              (Dictionary{{"level_name", "one"}, {"score", 12.5}, {"success", "true"}}));
}

TEST(BBXTallyEventTest, LoginPayload) {
    BBXTallyLoginEvent login(std::nullopt, true);
    EXPECT_EQ(login.key(), "predefined");
    EXPECT_EQ(login.payloadDictionary(), (Dictionary{{"predefined_type", "login"},
                                                     {"predefined_attributes", Dictionary{{"success", "true"}}},
                                                     {"custom_attributes", Dictionary{}}}));
    EXPECT_EQ(login.description(), "BBXTallyLoginEvent { {\n    success = true;\n} customAttributes={\n}}");
}

TEST(DecimalTest, ReadsDecimalTextExactly) {
    const struct {
        const char* text;
        std::optional<std::string> value;
    } cases[] = {
        {"19.99", "19.99"}, {"-2.50", "-2.5"}, {".5", "0.5"}, {"1e3", "1000"}, {"0.001", "0.001"},
        {"", std::nullopt}, {"1.2.3", std::nullopt}, {" 1", std::nullopt}, {"1e", std::nullopt}, {"abc", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        auto decimal = tally::Decimal::fromString(c.text);
        ASSERT_EQ(decimal.has_value(), c.value.has_value());
        if (decimal) {
            EXPECT_EQ(decimal->stringValue(), *c.value);
        }
    }
}
