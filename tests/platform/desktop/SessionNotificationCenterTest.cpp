// Notifications through the session's notification service, on the test's
// private bus: replacing the earlier ones, a service that never answers, and
// none at all.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QElapsedTimer>
#include <QTest>

#include <memory>
#include <mutex>

#include "platform/desktop/LogSink.h"
#include "platform/desktop/SessionNotificationCenter.h"
#include "tests/support/NotificationRecorder.h"

namespace {

using Lines = std::vector<std::string>;

class SessionNotificationCenterTest : public ::testing::Test {
protected:
    // The notes the desktop layer hands to the program's log sink.
    void SetUp() override {
        desktop::setLogSink([lines = lines_](const desktop::LogNote& note) {
            std::lock_guard lock(lines->mutex);
            lines->texts.push_back(note.text);
        });
    }
    void TearDown() override { desktop::setLogSink(nullptr); }
    Lines logLines() {
        std::lock_guard lock(lines_->mutex);
        return lines_->texts;
    }

    struct Recorded {
        std::mutex mutex;
        Lines texts;
    };
    std::shared_ptr<Recorded> lines_ = std::make_shared<Recorded>();
};

TEST_F(SessionNotificationCenterTest, RemovingTheDeliveredOnesThenDeliveringLeavesTheNewOneAlone) {
    auto recorder = testsupport::NotificationRecorder::start();
    ASSERT_NE(recorder, nullptr);
    desktop::SessionNotificationCenter center;

    // The first is closed even though its id had not come back yet.
    center.deliver("Tavlo - Paused", "Your clipboard will not be saved automatically");
    center.removeAllDelivered();
    center.deliver("Tavlo - Resumed", "Your clipboard will be saved automatically.");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder->calls().size() >= 3; }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(recorder->lines(), (Lines{"Notify Tavlo - Paused | Your clipboard will not be saved automatically",
                                        "Notify Tavlo - Resumed | Your clipboard will be saved automatically.",
                                        "Close 1"}));

    // Once the id is known the close goes out at once.
    center.removeAllDelivered();
    center.deliver("Tavlo", "Clipboard cleared");
    ASSERT_TRUE(QTest::qWaitFor([&] { return recorder->calls().size() >= 5; }, 5000));
    QTest::qWait(100);
    Lines lines = recorder->lines();
    EXPECT_EQ(Lines(lines.begin() + 3, lines.end()), (Lines{"Close 2", "Notify Tavlo | Clipboard cleared"}));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(SessionNotificationCenterTest, AServiceThatNeverAnswersCostsTheCallerNothingAndLogsOnceAfterTwoSeconds) {
    auto recorder = testsupport::NotificationRecorder::start();
    ASSERT_NE(recorder, nullptr);
    recorder->setAnswers(false);
    desktop::SessionNotificationCenter center;
    QElapsedTimer clock;
    clock.start();
    center.deliver("Tavlo", "Clipboard cleared");
    EXPECT_LT(clock.elapsed(), 500) << "delivery never waits for the service";
    ASSERT_TRUE(QTest::qWaitFor([&] { return !logLines().empty(); }, 5000));
    EXPECT_GE(clock.elapsed(), 1900);
    QTest::qWait(200);
    Lines lines = logLines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("Clipboard cleared"), std::string::npos) << lines[0];
    EXPECT_EQ(recorder->lines(), (Lines{"Notify Tavlo | Clipboard cleared"}));
}

TEST_F(SessionNotificationCenterTest, WithoutAServiceEachDeliveryLeavesOneLine) {
    desktop::SessionNotificationCenter center;
    center.deliver("Tavlo", "Clipboard saved");
    center.removeAllDelivered();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !logLines().empty(); }, 5000));
    QTest::qWait(100);
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(SessionNotificationCenterTest, WithoutABusEachDeliveryLeavesOneLineAtOnce) {
    // A connection that never connected, as when the session has no bus.
    desktop::SessionNotificationCenter center(QDBusConnection(QStringLiteral("never connected")));
    center.deliver("Tavlo", "one");
    center.removeAllDelivered();
    center.deliver("Tavlo", "two");
    Lines lines = logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_NE(lines[1].find("\"Tavlo: two\" not shown: no session bus"), std::string::npos) << lines[1];
}

TEST_F(SessionNotificationCenterTest, TheBodyShowsMarkupLiterally) {
    struct Case {
        const char* text;
        const char* body;
    };
    const Case cases[] = {
        {"<b>x</b> & y", "&lt;b&gt;x&lt;/b&gt; &amp; y"},
        {"&amp;", "&amp;amp;"},
        {"<img src=\"file:///etc/passwd\">", "&lt;img src=\"file:///etc/passwd\"&gt;"},
        {"plain \xE2\x82\xAC", "plain \xE2\x82\xAC"},
    };
    for (const Case& c : cases) EXPECT_EQ(desktop::SessionNotificationCenter::escapedBody(c.text), c.body) << c.text;

    auto recorder = testsupport::NotificationRecorder::start();
    ASSERT_NE(recorder, nullptr);
    desktop::SessionNotificationCenter center;
    center.deliver("Tavlo", "<b>x</b> & y", "/tmp/a picture.png");
    ASSERT_TRUE(QTest::qWaitFor([&] { return !recorder->calls().empty(); }, 5000));
    EXPECT_EQ(recorder->calls()[0].body, "&lt;b&gt;x&lt;/b&gt; &amp; y");
    EXPECT_EQ(recorder->calls()[0].hints.value(QStringLiteral("image-path")).toString(), QStringLiteral("/tmp/a picture.png"));
}

}  // namespace
