#include <gtest/gtest.h>

#include <regex>

#include "RecordingLogger.h"
#include "logging/TLLog.h"
#include "logging/TLLogFormatter.h"

namespace {

LKLogMessage message(uint64_t flag, int64_t context, std::string text = "text", uint64_t line = 120,
                     std::optional<logging::Timestamp> when = std::nullopt) {
    return LKLogMessage(std::move(text), 31, flag, context, "/src/kit/TLPasteboardManager.cpp",
                        "TLPasteboardManager::checkPasteboard", line, nullptr, 0, when);
}

}  // namespace

TEST(TLLogFormatterTest, WritesTheApplicationLineForItsContextOnly) {
    TLLogFormatter f;
    f.setWhitelist(TLLogContextSync);
    EXPECT_EQ(f.formatLogMessage(message(4, TLLogContextPasteboard)), std::nullopt);

    f.setWhitelist(TLLogContextPasteboard);
    struct Row { uint64_t flag; const char* word; };
    const Row rows[] = {{1, "ERROR"}, {2, "WANRING"}, {4, "INFO"}, {8, "DEBUG"}, {16, "VERBOSE"}, {3, "(null)"}, {0, "(null)"}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.word);
        auto line = f.formatLogMessage(message(r.flag, TLLogContextPasteboard));
        ASSERT_TRUE(line);
        std::regex shape(std::string(R"(^>> .+ \| \[)") + std::regex_replace(r.word, std::regex(R"([()])"), R"(\$&)") +
                         R"(\] \| TLPasteboardManager::checkPasteboard \| Line 120 \| text$)");
        EXPECT_TRUE(std::regex_match(*line, shape)) << *line;
    }
}

TEST(TLLogFormatterTest, TextIsWrittenAsGivenAndTimeHasMinuteResolution) {
    TLLogFormatter f;
    f.setWhitelist(TLLogContextGeneral);
    auto line = f.formatLogMessage(message(4, TLLogContextGeneral, "100% %@ %s %n {x}"));
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->ends_with("| Line 120 | 100% %@ %s %n {x}")) << *line;

    using namespace std::chrono;
    auto minute = system_clock::time_point(floor<minutes>(system_clock::now().time_since_epoch()));
    auto a = f.formatLogMessage(message(4, TLLogContextGeneral, "t", 1, minute + seconds(1)));
    auto b = f.formatLogMessage(message(4, TLLogContextGeneral, "t", 1, minute + seconds(58)));
    auto c = f.formatLogMessage(message(4, TLLogContextGeneral, "t", 1, minute + seconds(61)));
    EXPECT_EQ(*a, *b);
    EXPECT_NE(*a, *c);
}

TEST(TLLogFormatterTest, CompactFunctionNames) {
    struct Row { const char* pretty; const char* name; };
    const Row rows[] = {
        {"void TLPasteboardManager::checkPasteboard()", "TLPasteboardManager::checkPasteboard"},
        {"static std::shared_ptr<TLPasteboardManager> TLPasteboardManager::sharedManager()", "TLPasteboardManager::sharedManager"},
        {"int main(int, char**)", "main"},
        {"TLFoo::bar(int)::<lambda()>", "TLFoo::bar"},
        {"std::map<int, int> ns::f<std::map<int, int> >(int)", "ns::f<std::map<int, int> >"},
    };
    for (const Row& r : rows) EXPECT_EQ(TLCompactFunctionName(r.pretty), r.name) << r.pretty;
}

TEST(TLLogTest, ApplicationCallsReachTheLoggerOfTheirContext) {
    auto sync = std::make_shared<RecordingLogger>();
    auto pasteboard = std::make_shared<RecordingLogger>();
    for (auto [logger, context] : {std::pair{sync, TLLogContextSync}, std::pair{pasteboard, TLLogContextPasteboard}}) {
        auto f = std::make_shared<TLLogFormatter>();
        f->setWhitelist(context);
        logger->setLogFormatter(f);
        LKLog::addLogger(logger);
    }
    TLLogError(TLLogContextSync, "Error saving: %@", std::string("disk full"));
    // An error is written before the call returns.
    ASSERT_EQ(sync->lines().size(), 1u);
    EXPECT_TRUE(sync->lines()[0].find("[ERROR] | TLLogTest_ApplicationCallsReachTheLoggerOfTheirContext_Test::TestBody | Line ") !=
                std::string::npos) << sync->lines()[0];
    EXPECT_TRUE(sync->lines()[0].ends_with("| Error saving: disk full"));
    TLLogWarning(TLLogContextPasteboard, "%d items", 3);
    LKLog::flushLog();
    ASSERT_EQ(pasteboard->lines().size(), 1u);
    EXPECT_TRUE(pasteboard->lines()[0].ends_with("[WANRING] | TLLogTest_ApplicationCallsReachTheLoggerOfTheirContext_Test::TestBody | Line " +
                                                 std::to_string(__LINE__ - 4) + " | 3 items"))
        << pasteboard->lines()[0];
    EXPECT_EQ(sync->lines().size(), 1u);
    LKLog::removeAllLoggers();
    LKLog::flushLog();
}
