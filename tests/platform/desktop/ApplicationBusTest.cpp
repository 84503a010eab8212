// One running instance per session: a second launch hands over to the first,
// waits for one that is starting or quitting, and reports one that is stuck.
// Each test runs on a private session bus (see SessionTestMain.cpp).
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

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

namespace {

class ScriptingBusTest : public ApplicationBusTest {
protected:
    QDBusMessage callEcho(const QVariantList& arguments, const QString& interface) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            QString::fromStdString(identifier_), QString::fromStdString(ApplicationBus::objectPathFor(identifier_)),
            interface, QStringLiteral("Echo"));
        call.setArguments(arguments);
        return QDBusConnection::sessionBus().call(call, QDBus::Block, 5000);
    }
    QDBusMessage callEcho(const QVariantMap& arguments) {
        return callEcho({QVariant::fromValue(arguments)},
                        QString::fromStdString(ApplicationBus::scriptingInterfaceFor(identifier_)));
    }
};

TEST_F(ScriptingBusTest, CommandsRunOnTheMainQueueWithTheirArgumentsChecked) {
    EXPECT_EQ(ApplicationBus::scriptingInterfaceFor("com.tavlo.Tavlo"), "com.tavlo.Tavlo.Scripting");
    EXPECT_EQ(ApplicationBus::scriptErrorNameFor("com.tavlo.Tavlo", -50), "com.tavlo.Tavlo.Scripting.ParameterError");
    auto owner = startProbe();
    ASSERT_TRUE(owner && owner->waitForLine("published", 10s));

    struct Case {
        QVariantMap arguments;
        std::string error;  // empty: done
        std::string line;   // what the command printed, empty: it never ran
    };
    const std::vector<Case> cases{
        {{}, "", "echo main"},
        {{{"", 7}, {"in", QStringLiteral("Work")}}, "", "echo main =7 in=Work"},
        {{{"", QStringLiteral("12abc")}}, "", "echo main =12abc"},
        {{{"", QVariant::fromValue<qulonglong>(~0ULL)}}, "", "echo main =9223372036854775807"},
        {{{"", QVariant::fromValue<uchar>(3)}}, "", "echo main =3"},
        {{{"", 50}}, "." + identifier_ + ".Scripting.ParameterError", "echo main =50"},
        {{{"in", QStringLiteral("Work")}}, "." + identifier_ + ".Scripting.ParameterError", ""},
        {{{"", 1.5}}, "org.freedesktop.DBus.Error.InvalidArgs", ""},
        {{{"", QStringList{"a"}}}, "org.freedesktop.DBus.Error.InvalidArgs", ""},
        {{{"", 1}, {"in", 2}}, "org.freedesktop.DBus.Error.InvalidArgs", ""},
        {{{"", 1}, {"into", QStringLiteral("x")}}, "org.freedesktop.DBus.Error.InvalidArgs", ""},
    };
    for (const auto& c : cases) {
        QDBusMessage reply = callEcho(c.arguments);
        SCOPED_TRACE(c.line + " / " + c.error);
        if (c.error.empty()) {
            EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        } else {
            EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
            std::string name = reply.errorName().toStdString();
            EXPECT_TRUE(c.error[0] == '.' ? name == c.error.substr(1) : name == c.error) << name;
        }
        if (!c.line.empty()) {
            EXPECT_EQ(owner->readLine(5s).value_or(""), c.line);
        }
    }
    // The parameter error carries the verb; InvalidArgs names the key.
    QDBusMessage missing = callEcho({{"in", QStringLiteral("Work")}});
    EXPECT_EQ(missing.errorMessage().toStdString(), "Parameter Error: A Parameter is expected for the verb 'echo'.");
    EXPECT_NE(callEcho({{"", 1}, {"in", 2}}).errorMessage().toStdString().find("\"in\""), std::string::npos);

    // Anything but one a{sv} is refused; Reopen is still there.
    QDBusMessage plain = callEcho({QStringLiteral("7")}, QString::fromStdString(ApplicationBus::scriptingInterfaceFor(identifier_)));
    EXPECT_EQ(plain.errorName().toStdString(), "org.freedesktop.DBus.Error.InvalidArgs");
    EXPECT_EQ(ApplicationBus::reopenOwner(identifier_, 5s).ok(), true);
    EXPECT_TRUE(owner->waitForLine("reopen", 5s));
}

}  // namespace
