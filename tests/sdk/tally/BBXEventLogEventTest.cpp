#include "sdk/tally/BBXEventLogEvent.h"

#include <gtest/gtest.h>

using foundation::Data;

TEST(BBXEventLogEventTest, LineBytes) {
    BBXEventLogEvent withPayload(1, 1700000000000, "app_launched", Data::fromString("{\"eventId\":\"E\"}"));
    EXPECT_EQ(withPayload.eventData().toString(), "1700000000000\tapp_launched\t15\t{\"eventId\":\"E\"}\n");

    BBXEventLogEvent withoutPayload(0, 1700000000000, "app_launched");
    EXPECT_EQ(withoutPayload.eventData().toString(), "1700000000000\tapp_launched\n");

    // The key in UTF-8; the length counts payload bytes, not characters.
    BBXEventLogEvent nonASCII(2, 5, "\xC3\xA9v\xC3\xA9nement", Data::fromString("\"\xE2\x82\xAC\""));
    EXPECT_EQ(nonASCII.eventData().toString(), "5\t\xC3\xA9v\xC3\xA9nement\t5\t\"\xE2\x82\xAC\"\n");
}

TEST(BBXEventLogEventTest, EqualityAndHash) {
    const BBXEventLogEvent base(1, 10, "k", Data::fromString("p"));
    EXPECT_TRUE(base.isEqual(BBXEventLogEvent(1, 10, "k", Data::fromString("p"))));
    EXPECT_EQ(base.hash(), BBXEventLogEvent(1, 10, "k", Data::fromString("p")).hash());
    EXPECT_TRUE(BBXEventLogEvent(1, 10, "k").isEqual(BBXEventLogEvent(1, 10, "k")));
    for (const BBXEventLogEvent& other :
         {BBXEventLogEvent(2, 10, "k", Data::fromString("p")), BBXEventLogEvent(1, 11, "k", Data::fromString("p")),
          BBXEventLogEvent(1, 10, "j", Data::fromString("p")), BBXEventLogEvent(1, 10, "k", Data::fromString("q")),
          BBXEventLogEvent(1, 10, "k")}) {
        EXPECT_FALSE(base.isEqual(other)) << other.eventData().toString();
        EXPECT_FALSE(other == base);
    }
}
