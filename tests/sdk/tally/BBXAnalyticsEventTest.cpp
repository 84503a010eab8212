#include "sdk/tally/BBXAnalyticsEvent.h"

#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/JSON.h"
#include "sdk/tally/BBXAnalyticsApplicationLifecycleEvent.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "sdk/tally/BBXTallyLoginEvent.h"
#include "tests/support/RecordingSystemLog.h"

using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;
using Lifecycle = BBXAnalyticsApplicationLifecycleEvent;

namespace {

// Splits one line into its fields, checking the framing: the length field
// covers exactly the payload and the line ends right after it.
struct ParsedLine {
    std::string timestamp, key;
    PlistValue payload;
};

ParsedLine parseLine(const std::string& line) {
    ParsedLine parsed;
    size_t tab1 = line.find('\t');
    size_t tab2 = line.find('\t', tab1 + 1);
    size_t tab3 = line.find('\t', tab2 + 1);
    EXPECT_NE(tab3, std::string::npos);
    if (tab3 == std::string::npos) return parsed;
    parsed.timestamp = line.substr(0, tab1);
    parsed.key = line.substr(tab1 + 1, tab2 - tab1 - 1);
    size_t length = std::stoul(line.substr(tab2 + 1, tab3 - tab2 - 1));
    EXPECT_EQ(line.size(), tab3 + 1 + length + 1);
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);
    auto json = foundation::JSON::read(line.substr(tab3 + 1, length));
    EXPECT_TRUE(json.ok());
    if (json.ok()) parsed.payload = json.value();
    return parsed;
}

}  // namespace

TEST(BBXAnalyticsEventTest, PayloadIsTheValuesWithTheEventIdentifier) {
    auto event = BBXAnalyticsEvent::initWithPriority(1, 1700000000000, "app_launched", "E");
    ASSERT_TRUE(event);
    EXPECT_EQ(event->eventData().toString(), "1700000000000\tapp_launched\t15\t{\"eventId\":\"E\"}\n");

    auto login = BBXAnalyticsEvent::initWithTallyEvent(BBXTallyLoginEvent(std::nullopt, true), 7, "E-1");
    ASSERT_TRUE(login);
    EXPECT_EQ(login->priority(), 2u);
    EXPECT_EQ(login->key(), "predefined");
    EXPECT_EQ(login->eventIdentifier(), "E-1");
    EXPECT_FALSE(login->stringPayloadValueDict().count("eventId"));
    ParsedLine line = parseLine(login->eventData().toString());
    EXPECT_EQ(line.payload, PlistValue(Dictionary{{"predefined_type", "login"},
                                                  {"predefined_attributes", Dictionary{{"success", "true"}}},
                                                  {"custom_attributes", Dictionary{}},
                                                  {"eventId", "E-1"}}));
    EXPECT_EQ(event->description(), "BBXAnalyticsEvent {id=E, key=app_launched, stringPayloadValueDict={\n}}");
}

TEST(BBXAnalyticsEventTest, ValuesWithoutJSONFormMakeNoEvent) {
    EXPECT_FALSE(BBXAnalyticsEvent::initWithPriority(2, 1, "custom", "E", Dictionary{{"x", std::nan("")}}));
    EXPECT_FALSE(BBXAnalyticsEvent::initWithPriority(2, 1, "custom", "E", Dictionary{{"x", foundation::Date(1)}}));
}

TEST(BBXAnalyticsEventTest, LifecycleEventsByNotificationName) {
    const struct {
        const char* name;
        bool highPriorityOnBackground;
        const char* key;
        uint64_t priority;
    } cases[] = {
        {Lifecycle::kWillTerminateNotification, false, "app_terminated", 1},
        {Lifecycle::kWillResignActiveNotification, false, "app_became_inactive", 1},
        {Lifecycle::kWillResignActiveNotification, true, "app_became_inactive", 0},
        {Lifecycle::kDidBecomeActiveNotification, false, "app_became_active", 0},
        {"NSApplicationDidHideNotification", false, nullptr, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto event = Lifecycle::initWithApplicationNotificationName(c.name, 5, "E", c.highPriorityOnBackground);
        if (!c.key) {
            EXPECT_FALSE(event);
            continue;
        }
        ASSERT_TRUE(event);
        EXPECT_EQ(event->key(), c.key);
        EXPECT_EQ(event->priority(), c.priority);
        EXPECT_EQ(event->payload()->toString(), "{\"eventId\":\"E\"}");
    }
    EXPECT_EQ(Lifecycle::initApplicationInstalledEvent(1, "E")->priority(), 0u);
    EXPECT_EQ(Lifecycle::initApplicationLaunchedEvent(1, "E")->key(), "app_launched");
    EXPECT_EQ(Lifecycle::initApplicationCrashedEvent(1, "E")->eventData().toString(),
              "1\tapp_crashed\t15\t{\"eventId\":\"E\"}\n");
}

TEST(BBXAnalyticsEventTest, HostileNamesAndValuesKeepOneFramedLine) {
    testsupport::RecordingSystemLog::Scope log;
    const std::string hostile[] = {
        "tab\there", "line\nfeed", std::string("nul\0byte", 8), "quote\"back\\slash", "bad\xFF\xC3utf8\xED\xA0\x80",
        std::string(10 << 20, 'v'),
    };
    for (const auto& text : hostile) {
        SCOPED_TRACE(text.substr(0, 20));
        auto custom = BBXTallyCustomEvent::initWithName(text, Dictionary{{text, text}, {"plain", text}});
        ASSERT_TRUE(custom);
        auto event = BBXAnalyticsEvent::initWithTallyEvent(*custom, 1, "E");
        ASSERT_TRUE(event);
        std::string line = event->eventData().toString();
        EXPECT_LT(line.size(), 2000u);
        ParsedLine parsed = parseLine(line);
        EXPECT_EQ(parsed.key, "custom");
        const auto* attributes = parsed.payload.get("custom_attributes");
        ASSERT_TRUE(attributes && attributes->asDictionary());
        EXPECT_EQ(attributes->asDictionary()->size(), 2u);
    }
}

// The writer makes Tally events' lines without making the events: byte for
// byte the line the event would have.
TEST(BBXAnalyticsEventTest, ALineWrittenFromTheTallyEventIsTheEventsLine) {
    const std::string hostile = std::string("tab\tline\nnul\0quote\"bad\xFF", 23);
    const std::shared_ptr<const BBXTallyEvent> events[] = {
        BBXTallyCustomEvent::initWithName("plain"),
        BBXTallyCustomEvent::initWithName("clipping_copied", Dictionary{{"screen", "preferences"}, {"count", 42},
                                                                         {"ratio", 0.25}, {"first", true},
                                                                         {"eventId", "given"}}),
        BBXTallyCustomEvent::initWithName(hostile, Dictionary{{hostile, hostile}, {"é", -1e300}}),
        std::make_shared<BBXTallyLoginEvent>("password", true, Dictionary{{"a", "b"}}),
        std::make_shared<BBXTallyLoginEvent>(std::nullopt, std::nullopt),
    };
    std::string scratch = "left from before";
    std::string lines = "kept\n";
    std::string expected = lines;
    for (const auto& tally : events) {
        ASSERT_TRUE(tally);
        auto event = BBXAnalyticsEvent::initWithTallyEvent(*tally, 1700000000123, "1B4E28BA-2FA1-41D2-883F-0016D3CCA427");
        ASSERT_TRUE(event);
        event->appendEventData(expected);
        EXPECT_TRUE(BBXAnalyticsEvent::appendTallyEventLine(lines, scratch, *tally, 1700000000123,
                                                            "1B4E28BA-2FA1-41D2-883F-0016D3CCA427"));
        EXPECT_EQ(lines, expected);
    }
}
