// Scripting the running program as a script or a person does: the Scripting
// interface called over the session bus, and tavlo-script from a shell. One
// Tavlo serves the whole suite (each start costs seconds); tests that need
// Tavlo stopped run before it starts.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QStringList>
#include <QVariantMap>

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <thread>

#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"
#include "tests/support/RequireDisplay.h"

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::runCommand;

const char* const kScripting = "com.tavlo.Tavlo.Scripting";

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(50ms);
    }
    return condition();
}

testsupport::CommandResult script(const std::vector<std::string>& words) {
    std::string line = "\"$0\"";
    for (size_t i = 0; i < words.size(); ++i) line += " \"$" + std::to_string(i + 1) + "\"";
    std::vector<std::string> command{"sh", "-c", line + " 2>&1", TAVLO_SCRIPT};
    command.insert(command.end(), words.begin(), words.end());
    return runCommand(command, 30s);
}

class ScriptingProgramTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!std::getenv("DISPLAY")) return;
        if (!QCoreApplication::instance()) {
            static int argc = 1;
            static char name[] = "app_program_tests";
            static char* argv[] = {name, nullptr};
            application_ = new QCoreApplication(argc, argv);
        }
        home_ = new testsupport::TempHome;
        // Nobody owns the name yet: the client says so and starts nothing.
        auto stopped = script({"save", "never saved"});
        notRunningStatus_ = stopped.status;
        notRunningOutput_ = stopped.output;
        tavlo_ = ChildProcess::start({TAVLO_PROGRAM}).release();
        waitUntil([] { return runCommand({"gdbus", "introspect", "-e", "-d", "com.tavlo.Tavlo", "-o",
                                          "/com/tavlo/Tavlo"}, 5s).status == 0; },
                  30s);
    }
    static void TearDownTestSuite() {
        if (tavlo_) {
            tavlo_->signal(SIGTERM);
            tavlo_->wait(15s);
            delete tavlo_;
            tavlo_ = nullptr;
        }
        delete home_;
        home_ = nullptr;
    }
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(std::getenv("DISPLAY"), "needs an X server");
        ASSERT_TRUE(tavlo_ && tavlo_->running());
    }

    static QDBusMessage call(const char* member, const QVariantMap& arguments) {
        QDBusMessage message = QDBusMessage::createMethodCall(QStringLiteral("com.tavlo.Tavlo"),
                                                              QStringLiteral("/com/tavlo/Tavlo"),
                                                              QString::fromLatin1(kScripting), QString::fromLatin1(member));
        message << arguments;
        return QDBusConnection::sessionBus().call(message, QDBus::Block, 60000);
    }
    static void expectDone(const QDBusMessage& reply) {
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorName().toStdString() << ": "
                                                            << reply.errorMessage().toStdString();
        EXPECT_TRUE(reply.arguments().isEmpty());
    }
    static std::string query(const std::string& sql) {
        return runCommand({"sqlite3", (home_->dataHome() / "Tavlo/datastore").string(), sql}, 30s).output;
    }
    static std::string count(const std::string& where) {
        return query("SELECT count(*) FROM Clipping WHERE " + where);
    }
    static bool waitForQuery(const std::string& sql, const std::string& expected) {
        return waitUntil([&] { return query(sql) == expected; }, 20s);
    }
    static std::string clipboard() {
        // runCommand reads whole lines: the text gets one to end with.
        std::string text = runCommand({"sh", "-c", "xclip -selection clipboard -o 2>/dev/null; echo"}, 5s).output;
        if (!text.empty()) text.pop_back();
        return text;
    }
    static void putOnClipboard(const std::string& text) {
        ASSERT_EQ(runCommand({"sh", "-c", "printf '%s' \"$0\" | xclip -selection clipboard >/dev/null 2>&1", text},
                             10s).status,
                  0);
        ASSERT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE text = '" + text + "'", "1\n"));
    }

    static inline QCoreApplication* application_ = nullptr;
    static inline testsupport::TempHome* home_ = nullptr;
    static inline ChildProcess* tavlo_ = nullptr;
    static inline int notRunningStatus_ = -1;
    static inline std::string notRunningOutput_;
};

TEST_F(ScriptingProgramTest, SaveStoresLinksAndTextsAndPutsThemOnTheClipboard) {
    expectDone(call("Save", {{"", QStringLiteral("https://a.example/x")}}));
    ASSERT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE url = 'https://a.example/x'", "1\n"));
    EXPECT_EQ(query("SELECT text IS NULL, deviceName, sync FROM Clipping WHERE url = 'https://a.example/x'"),
              "1|OSX|1\n");
    std::string id = query("SELECT clippingID FROM Clipping WHERE url = 'https://a.example/x'");
    EXPECT_TRUE(std::regex_match(id, std::regex("C-[0-9A-F-]{36}\n"))) << id;
    EXPECT_TRUE(waitUntil([] { return clipboard() == "https://a.example/x"; }, 10s)) << clipboard();

    expectDone(call("Save", {{"", QStringLiteral("no host")}}));
    ASSERT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE text = 'no host' AND url IS NULL", "1\n"));

    std::string big(10 * 1024 * 1024, 'b');
    big.back() = 'e';
    expectDone(call("Save", {{"", QString::fromStdString(big)}}));
    EXPECT_TRUE(waitForQuery("SELECT length(text), substr(text, -1) FROM Clipping WHERE text LIKE 'bbbb%'",
                             std::to_string(big.size()) + "|e\n"));
}

TEST_F(ScriptingProgramTest, ListsAreFoundIgnoringCaseAndNamesMatchOnlyThemselves) {
    const std::vector<std::pair<QString, QString>> saves{
        {"in work", "work"}, {"in WORK", "WORK"},   {"in äpfel", "äpfel"}, {"in Äpfel", "Äpfel"},
        {"in axb", "axb"},   {"in a_b", "a_b"},     {"in 50x", "50x"},     {"in 50%", "50%"},
        {"in star", "star"}, {"in *", "*"},          {"in quote", "it's \"q\""}, {"in quote 2", "it's \"q\""},
    };
    for (const auto& [text, list] : saves) expectDone(call("Save", {{"", text}, {"in", list}}));
    ASSERT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE text = 'in quote 2'", "1\n"));
    EXPECT_EQ(query("SELECT name, sync FROM List ORDER BY name"),
              "*|1\n50%|1\n50x|1\na_b|1\naxb|1\nit's \"q\"|1\nstar|1\nwork|1\näpfel|1\n");
    auto listOf = [](const std::string& text) {
        return query("SELECT List.name FROM Clipping JOIN List ON Clipping.list = List.pk WHERE text = '" + text + "'");
    };
    EXPECT_EQ(listOf("in WORK"), "work\n");
    EXPECT_EQ(listOf("in Äpfel"), "äpfel\n");
    EXPECT_EQ(listOf("in a_b"), "a_b\n");
    EXPECT_EQ(listOf("in 50%"), "50%\n");
    EXPECT_EQ(listOf("in *"), "*\n");
    EXPECT_EQ(listOf("in quote 2"), "it's \"q\"\n");
}

TEST_F(ScriptingProgramTest, MissingAndWrongArgumentsAreRefusedAndSaveNothing) {
    std::string before = query("SELECT count(*) FROM Clipping");
    struct Case {
        const char* member;
        QVariantMap arguments;
        const char* error;
        const char* message;  // nullptr: any
    };
    const std::vector<Case> cases{
        {"Save", {}, "com.tavlo.Tavlo.Scripting.ParameterError",
         "Parameter Error: A Parameter is expected for the verb 'save'."},
        {"Copy", {}, "com.tavlo.Tavlo.Scripting.ParameterError",
         "Parameter Error: A Parameter is expected for the verb 'copy'."},
        {"Save", {{"in", QStringLiteral("L")}}, "com.tavlo.Tavlo.Scripting.ParameterError",
         "Parameter Error: A Parameter is expected for the verb 'save'."},
        {"Save", {{"", QStringList{"a", "b"}}}, "org.freedesktop.DBus.Error.InvalidArgs", nullptr},
        {"Save", {{"", QByteArray("bytes")}}, "org.freedesktop.DBus.Error.InvalidArgs", nullptr},
        {"Save", {{"", 12}}, "org.freedesktop.DBus.Error.InvalidArgs", nullptr},
        {"Save", {{"", QStringLiteral("x")}, {"in", 3}}, "org.freedesktop.DBus.Error.InvalidArgs", nullptr},
        {"Copy", {{"", 1.5}}, "org.freedesktop.DBus.Error.InvalidArgs", nullptr},
        {"Copy", {{"", true}}, "org.freedesktop.DBus.Error.InvalidArgs", nullptr},
    };
    for (const auto& c : cases) {
        QDBusMessage reply = call(c.member, c.arguments);
        SCOPED_TRACE(std::string(c.member) + " " + std::to_string(c.arguments.size()));
        EXPECT_EQ(reply.type(), QDBusMessage::ErrorMessage);
        EXPECT_EQ(reply.errorName().toStdString(), c.error);
        if (c.message) {
            EXPECT_EQ(reply.errorMessage().toStdString(), c.message);
        } else {
            EXPECT_NE(reply.errorMessage().toStdString().find('"'), std::string::npos) << "names the key";
        }
    }
    // Still answering, and nothing of the above was saved.
    expectDone(call("Save", {{"", QStringLiteral("after the refusals")}}));
    ASSERT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE text = 'after the refusals'", "1\n"));
    EXPECT_EQ(query("SELECT count(*) - 1 FROM Clipping"), before);
    EXPECT_EQ(query("SELECT count(*) FROM List WHERE name = 'L'"), "0\n");
}

TEST_F(ScriptingProgramTest, CopyTakesAPositionInTheHistoryOrAList) {
    for (int i = 0; i < 14; ++i) expectDone(call("Save", {{"", QString("history %1").arg(i)}}));
    expectDone(call("Save", {{"", QStringLiteral("only one")}, {"in", QStringLiteral("Single")}}));
    ASSERT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE text = 'only one'", "1\n"));

    auto atPosition = [](int position) {
        std::string text = query("SELECT coalesce(text, url) FROM Clipping ORDER BY tavloDate DESC LIMIT 1 OFFSET " +
                                 std::to_string(position));
        if (!text.empty()) text.pop_back();
        return text;
    };
    std::string twelfth = atPosition(12);
    expectDone(call("Copy", {{"", QStringLiteral("12abc")}}));
    EXPECT_TRUE(waitUntil([&] { return clipboard() == twelfth; }, 10s)) << clipboard() << " for " << twelfth;
    // A copied clipping moves to the top of the history.
    EXPECT_TRUE(waitUntil([&] { return atPosition(0) == twelfth; }, 10s));

    std::string second = atPosition(1);
    expectDone(call("Copy", {{"", 1}}));
    EXPECT_TRUE(waitUntil([&] { return clipboard() == second; }, 10s)) << clipboard() << " for " << second;

    expectDone(call("Copy", {{"", 0}, {"in", QStringLiteral("single")}}));
    EXPECT_TRUE(waitUntil([] { return clipboard() == "only one"; }, 10s)) << clipboard();

    putOnClipboard("sentinel");
    const std::vector<QVariantMap> nothing{
        {{"", -1}},
        {{"", QStringLiteral("-1")}},
        {{"", 100000}},
        {{"", qlonglong(1) << 31}},
        {{"", 1}, {"in", QStringLiteral("single")}},
        {{"", 0}, {"in", QStringLiteral("no such list")}},
    };
    for (const auto& arguments : nothing) expectDone(call("Copy", arguments));
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(clipboard(), "sentinel");
}

TEST_F(ScriptingProgramTest, SaveClipboardSavesConcealedContentOnlyWhenAsked) {
    auto owner = ChildProcess::start({TAVLO_CLIPBOARD_TEST_OWNER, "--target", "UTF8_STRING=concealed secret",
                                      "--target", "x-kde-passwordManagerHint=secret"});
    ASSERT_TRUE(owner && owner->waitForLine("ready", 10s));
    std::this_thread::sleep_for(700ms);  // several ticks: capture leaves it alone
    EXPECT_EQ(count("text = 'concealed secret'"), "0\n");
    expectDone(call("SaveClipboard", {{"in", QString()}}));
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(count("text = 'concealed secret'"), "0\n");
    expectDone(call("SaveClipboard", {}));
    EXPECT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE text = 'concealed secret'", "1\n"));
}

TEST_F(ScriptingProgramTest, TheClientSavesIntoAListAndReportsErrors) {
    EXPECT_EQ(notRunningStatus_, 3);
    EXPECT_EQ(notRunningOutput_, "Tavlo is not running\n");

    auto saved = script({"save", "https://example.org", "--in", "Work"});
    EXPECT_EQ(saved.status, 0) << saved.output;
    // "Work" is the list "work" when an earlier test made that one.
    EXPECT_TRUE(waitForQuery("SELECT lower(List.name) FROM Clipping JOIN List ON Clipping.list = List.pk "
                             "WHERE url = 'https://example.org'",
                             "work\n"));

    auto missing = script({"save"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.output, "Parameter Error: A Parameter is expected for the verb 'save'.\n");
    auto usage = script({"paste"});
    EXPECT_EQ(usage.status, 2);
}

TEST_F(ScriptingProgramTest, AThousandSavesEndAsAThousandClippings) {
    std::string before = query("SELECT count(*) FROM Clipping");
    for (int i = 0; i < 1000; ++i) {
        QDBusMessage reply = call("Save", {{"", QString("flood %1").arg(i)}});
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << i << reply.errorMessage().toStdString();
    }
    EXPECT_TRUE(waitForQuery("SELECT count(*) FROM Clipping WHERE text LIKE 'flood %'", "1000\n"));
}

}  // namespace
