// One running instance per session: a second launch hands over to the first,
// waits for one that is starting or quitting, and reports one that is stuck.
// Each test runs on a private session bus (see SessionTestMain.cpp).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "platform/desktop/ApplicationBus.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;
using desktop::ApplicationBus;
using testsupport::ChildProcess;

std::string uniqueIdentifier() { return "com.tavlo.BusTest.p" + std::to_string(getpid()); }

class ApplicationBusTest : public ::testing::Test {
protected:
    std::unique_ptr<ChildProcess> startProbe(std::vector<std::string> extra = {},
                                             std::map<std::string, std::string> env = {}) {
        std::vector<std::string> argv{TAVLO_BUS_OWNER_PROBE, identifier_, home_.cacheHome().string()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return ChildProcess::start(argv, env);
    }

    testsupport::TempHome home_;
    std::string identifier_ = uniqueIdentifier();
};

TEST_F(ApplicationBusTest, ObjectAndInterfaceAreNamedAfterTheIdentifier) {
    EXPECT_EQ(ApplicationBus::objectPathFor("com.tavlo.Tavlo"), "/com/tavlo/Tavlo");
    EXPECT_EQ(ApplicationBus::interfaceFor("com.tavlo.Tavlo"), "com.tavlo.Tavlo.Application");
    EXPECT_EQ(ApplicationBus::objectPathFor("org.example.my-app"), "/org/example/my_app");
}

TEST_F(ApplicationBusTest, ASecondLaunchAsksTheOwnerToReopenAndEnds) {
    auto owner = startProbe();
    ASSERT_TRUE(owner);
    ASSERT_TRUE(owner->waitForLine("published", 10s));

    ApplicationBus::ClaimResult result;
    auto start = std::chrono::steady_clock::now();
    auto bus = ApplicationBus::claim(identifier_, home_.cacheHome().string(), result);
    EXPECT_FALSE(bus);
    EXPECT_EQ(result.claim, ApplicationBus::Claim::Reopened);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(owner->waitForLine("reopen", 5s));
}

TEST_F(ApplicationBusTest, ReopenTakesNoArguments) {
    auto owner = startProbe();
    ASSERT_TRUE(owner && owner->waitForLine("published", 10s));
    QDBusMessage call = QDBusMessage::createMethodCall(
        QString::fromStdString(identifier_), QString::fromStdString(ApplicationBus::objectPathFor(identifier_)),
        QString::fromStdString(ApplicationBus::interfaceFor(identifier_)), QStringLiteral("Reopen"));
    call << QStringLiteral("please");
    QDBusMessage reply = QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
    EXPECT_EQ(reply.errorName().toStdString(), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_FALSE(owner->waitForLine("reopen", 300ms));
}

TEST_F(ApplicationBusTest, TwoLaunchesAtOnceLeaveOne) {
    auto first = startProbe();
    auto second = startProbe();
    ASSERT_TRUE(first && second);
    auto a = first->readLine(10s);
    auto b = second->readLine(10s);
    ASSERT_TRUE(a && b);
    EXPECT_EQ((*a == "owner") + (*b == "owner"), 1) << *a << " / " << *b;
    EXPECT_EQ((*a == "reopened") + (*b == "reopened"), 1) << *a << " / " << *b;
    ChildProcess& ended = *a == "reopened" ? *first : *second;
    ChildProcess& running = *a == "reopened" ? *second : *first;
    EXPECT_EQ(ended.wait(5s), 0);
    EXPECT_TRUE(running.waitForLine("reopen", 5s));
    EXPECT_TRUE(running.running());
}

TEST_F(ApplicationBusTest, ALaunchDuringASlowQuitStartsOnceTheOwnerHasGone) {
    auto owner = startProbe({"--slow-quit", "1500"});
    ASSERT_TRUE(owner && owner->waitForLine("published", 10s));
    auto quitting = std::chrono::steady_clock::now();
    owner->signal(SIGTERM);
    std::this_thread::sleep_for(200ms);  // the owner has withdrawn its object and is writing
    ASSERT_TRUE(owner->running());

    ApplicationBus::ClaimResult result;
    auto bus = ApplicationBus::claim(identifier_, home_.cacheHome().string(), result);
    ASSERT_TRUE(bus);
    EXPECT_EQ(result.claim, ApplicationBus::Claim::Owner);
    EXPECT_TRUE(result.message.empty()) << result.message;  // it waited, it did not take over
    EXPECT_GE(std::chrono::steady_clock::now() - quitting, 1400ms) << "not before the owner's last write";
    EXPECT_EQ(owner->wait(5s), 0);
}

TEST_F(ApplicationBusTest, AnOwnerThatDoesNotAnswerIsReportedWithItsProcess) {
    auto owner = startProbe();
    ASSERT_TRUE(owner && owner->waitForLine("published", 10s));
    owner->signal(SIGSTOP);
    ApplicationBus::ClaimResult result;
    auto bus = ApplicationBus::claim(identifier_, home_.cacheHome().string(), result, 1000ms);
    owner->signal(SIGCONT);
    EXPECT_FALSE(bus);
    EXPECT_EQ(result.claim, ApplicationBus::Claim::OwnerSilent);
    EXPECT_EQ(result.ownerPid, owner->pid());
    EXPECT_NE(result.message.find(std::to_string(owner->pid())), std::string::npos) << result.message;
}

TEST_F(ApplicationBusTest, AnOwnerStuckStartingIsReplacedAfterTheWait) {
    auto owner = startProbe({"--no-publish"});
    ASSERT_TRUE(owner && owner->waitForLine("owner", 10s));
    ApplicationBus::ClaimResult result;
    auto bus = ApplicationBus::claim(identifier_, home_.cacheHome().string(), result, 800ms);
    ASSERT_TRUE(bus);
    EXPECT_EQ(result.claim, ApplicationBus::Claim::Owner);
    auto nameOwner = QDBusConnection::sessionBus().interface()->serviceOwner(QString::fromStdString(identifier_));
    EXPECT_EQ(nameOwner.value(), QDBusConnection::sessionBus().baseService());
}

TEST_F(ApplicationBusTest, WithoutABusALockFileKeepsOneInstance) {
    std::map<std::string, std::string> noBus{{"DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus"}};
    auto owner = startProbe({}, noBus);
    ASSERT_TRUE(owner && owner->waitForLine("owner", 10s));
    auto second = startProbe({"--wait", "300"}, noBus);
    ASSERT_TRUE(second);
    auto line = second->readLine(10s);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "silent " + std::to_string(owner->pid()));
    EXPECT_EQ(second->wait(5s), 1);

    owner->signal(SIGTERM);
    EXPECT_EQ(owner->wait(5s), 0);
    auto third = startProbe({"--wait", "300"}, noBus);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->readLine(10s).value_or(""), "owner");
}

}  // namespace
