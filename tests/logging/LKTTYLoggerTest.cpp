#include <gtest/gtest.h>

#include <fcntl.h>
#include <regex>
#include <unistd.h>

#include "logging/LKTTYLogger.h"

namespace {

// The read end of a pipe the logger writes into.
class Pipe {
public:
    Pipe() {
        EXPECT_EQ(::pipe2(fds_, O_CLOEXEC), 0);
        ::fcntl(fds_[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe() {
        ::close(fds_[0]);
        ::close(fds_[1]);
    }
    int writeEnd() const { return fds_[1]; }
    std::string take() {
        std::string out;
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fds_[0], buffer, sizeof buffer)) > 0) out.append(buffer, size_t(n));
        return out;
    }

private:
    int fds_[2];
};

class FnFormatter : public LKLogFormatter {
public:
    explicit FnFormatter(std::function<std::optional<std::string>(const LKLogMessage&)> fn) : fn_(std::move(fn)) {}
    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override { return fn_(message); }

private:
    std::function<std::optional<std::string>(const LKLogMessage&)> fn_;
};

const LKTTYColor kRed = LKTTYColor::fromRGB255(252, 57, 31);    // 16-colour entry 9, "1;31m"
const LKTTYColor kGreen = LKTTYColor::fromRGB255(37, 188, 36);  // entry 2, "32m"
const LKTTYColor kBlue = LKTTYColor::fromRGB255(73, 46, 225);   // entry 4, "34m" / "44m"

std::shared_ptr<LKLogMessage> message(std::string text, uint64_t flag = LKLogFlagError, int64_t context = 0,
                                      std::shared_ptr<void> tag = nullptr) {
    return std::make_shared<LKLogMessage>(std::move(text), 31, flag, context, "/src/a.cpp", "f", 1, std::move(tag), 0);
}

class LKTTYLoggerTest : public ::testing::Test {
protected:
    std::shared_ptr<LKTTYLogger> makeLogger(LKTTYColorMode mode = LKTTYColorMode::Terminal16) {
        return std::make_shared<LKTTYLogger>(mode, pipe_.writeEnd());
    }
    // Writes one message once every change made before is in force; answers the bytes.
    std::string write(const std::shared_ptr<LKTTYLogger>& logger, const std::shared_ptr<LKLogMessage>& m) {
        (void)logger->colorsEnabled();  // passes behind earlier changes on both queues
        logger->loggerQueue()->sync([&] { logger->logMessage(m); });
        return pipe_.take();
    }
    Pipe pipe_;
};

}  // namespace

TEST(LKTTYColorTableTest, ModeFollowsTheEnvironment) {
    struct Row { const char* name; const char* xcodeColors; const char* term; LKTTYColorMode mode; };
    const Row rows[] = {
        {"256-colour terminal", nullptr, "xterm-256color", LKTTYColorMode::Terminal256},
        {"colour terminal", nullptr, "xterm-color", LKTTYColorMode::Terminal16},
        {"any letter case", nullptr, "SCREEN-COLOR", LKTTYColorMode::Terminal16},
        {"256 without color", nullptr, "xterm-256", LKTTYColorMode::None},
        {"dumb terminal", nullptr, "dumb", LKTTYColorMode::None},
        {"no TERM", nullptr, nullptr, LKTTYColorMode::None},
        {"RGB console wins", "YES", "xterm-256color", LKTTYColorMode::RGBConsole},
        {"RGB console without TERM", "YES", nullptr, LKTTYColorMode::RGBConsole},
        {"RGB console needs exactly YES", "yes", "dumb", LKTTYColorMode::None},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(LKTTYColorTable::modeForEnvironment(r.xcodeColors, r.term), r.mode);
    }
}

TEST(LKTTYColorTableTest, TablesHoldTheirCodesAndColours) {
    const auto& t16 = LKTTYColorTable::forMode(LKTTYColorMode::Terminal16);
    ASSERT_EQ(t16.size(), 16u);
    EXPECT_EQ(t16.foregroundCodes()[0], "30m");
    EXPECT_EQ(t16.foregroundCodes()[7], "37m");
    EXPECT_EQ(t16.foregroundCodes()[8], "1;30m");
    EXPECT_EQ(t16.backgroundCodes()[15], "1;47m");
    EXPECT_EQ(t16.colors()[1], LKTTYColor::fromRGB255(194, 54, 33));
    EXPECT_EQ(t16.colors()[14], LKTTYColor::fromRGB255(20, 240, 240));

    const auto& t256 = LKTTYColorTable::forMode(LKTTYColorMode::Terminal256);
    ASSERT_EQ(t256.size(), 240u);
    EXPECT_EQ(t256.foregroundCodes()[0], "38;5;16m");
    EXPECT_EQ(t256.backgroundCodes()[239], "48;5;255m");
    struct Measured { int index; int r, g, b; };
    const Measured rows[] = {{16, 47, 49, 49},   {17, 60, 42, 144},   {20, 81, 50, 253},  {21, 88, 51, 255},
                             {46, 27, 254, 30},  {196, 255, 61, 30},  {231, 254, 255, 255},
                             {232, 52, 53, 53},  {255, 240, 242, 242}};
    for (const Measured& m : rows) {
        SCOPED_TRACE(m.index);
        EXPECT_EQ(t256.colors()[size_t(m.index - 16)], LKTTYColor::fromRGB255(m.r, m.g, m.b));
    }

    EXPECT_EQ(LKTTYColorTable::forMode(LKTTYColorMode::None).size(), 0u);
    EXPECT_EQ(LKTTYColorTable::forMode(LKTTYColorMode::RGBConsole).size(), 0u);
}

TEST(LKTTYColorTableTest, NearestColourIsTheClosestEntryAndAnEntryMapsToItself) {
    const auto& t16 = LKTTYColorTable::forMode(LKTTYColorMode::Terminal16);
    // Pure red is nearer (252,57,31) than (194,54,33).
    EXPECT_EQ(t16.codeIndexForColor({1, 0, 0}), 9u);
    EXPECT_EQ(t16.codeIndexForColor({0, 0, 0}), 0u);
    for (auto mode : {LKTTYColorMode::Terminal16, LKTTYColorMode::Terminal256}) {
        const auto& table = LKTTYColorTable::forMode(mode);
        for (size_t i = 0; i < table.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(table.codeIndexForColor(table.colors()[i]), i);
        }
    }
}

TEST(LKTTYColorProfileTest, CodesFollowTheColourMode) {
    struct Row {
        const char* name;
        LKTTYColorMode mode;
        std::optional<LKTTYColor> fg, bg;
        std::string fgCode, bgCode, reset;
    };
    const LKTTYColor pureRed{1, 0, 0}, pureBlue{0, 0, 1};
    const Row rows[] = {
        {"16 colours", LKTTYColorMode::Terminal16, kRed, kBlue, "\033[1;31m", "\033[44m", "\033[0m"},
        {"16, no background", LKTTYColorMode::Terminal16, kGreen, std::nullopt, "\033[32m", "", "\033[0m"},
        {"256 colours", LKTTYColorMode::Terminal256, LKTTYColor::fromRGB255(255, 61, 30),
         LKTTYColor::fromRGB255(88, 51, 255), "\033[38;5;196m", "\033[48;5;21m", "\033[0m"},
        {"RGB console", LKTTYColorMode::RGBConsole, pureRed, pureBlue, "\033[fg255,0,0;", "\033[bg0,0,255;", "\033[;"},
        {"RGB, no foreground", LKTTYColorMode::RGBConsole, std::nullopt, pureBlue, "", "\033[bg0,0,255;", "\033[;"},
        {"no colours", LKTTYColorMode::None, pureRed, pureBlue, "", "", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        LKTTYLoggerColorProfile p(r.fg, r.bg, LKLogFlagError, 5, r.mode);
        EXPECT_EQ(p.foregroundCode(), r.fgCode);
        EXPECT_EQ(p.backgroundCode(), r.bgCode);
        EXPECT_EQ(p.resetCode(), r.reset);
    }

    LKTTYLoggerColorProfile p(LKTTYColor::fromRGB255(194, 54, 33), std::nullopt, LKLogFlagError, 5,
                              LKTTYColorMode::Terminal16);
    EXPECT_EQ(p.foregroundRed(), 194) << "components survive the trip through 0..1";
    EXPECT_NE(p.description().find("mask:1 ctxt:5 fg:194,54,33 bg:0,0,0 fgCode:31m bgCode:(null)>"), std::string::npos)
        << p.description();
}

TEST_F(LKTTYLoggerTest, ProfileForTheMessageContextWinsOverEveryContextAndATagWinsOverBoth) {
    for (bool everyContextFirst : {true, false}) {
        SCOPED_TRACE(everyContextFirst ? "every-context profile listed first" : "listed second");
        auto logger = makeLogger();
        if (everyContextFirst) logger->setForegroundColor(kGreen, std::nullopt, LKLogFlagError);
        logger->setForegroundColor(kRed, std::nullopt, LKLogFlagError, 5);
        if (!everyContextFirst) logger->setForegroundColor(kGreen, std::nullopt, LKLogFlagError);
        auto tag = std::make_shared<int>(1);
        logger->setForegroundColorForTag(kBlue, std::nullopt, tag);
        logger->setColorsEnabled(true);

        EXPECT_EQ(write(logger, message("ctx5", LKLogFlagError, 5)).rfind("\033[1;31m", 0), 0u);
        EXPECT_EQ(write(logger, message("ctx7", LKLogFlagError, 7)).rfind("\033[32m", 0), 0u);
        EXPECT_EQ(write(logger, message("tagged", LKLogFlagError, 5, tag)).rfind("\033[34m", 0), 0u);
        std::string plain = write(logger, message("warning", LKLogFlagWarning, 5));
        EXPECT_EQ(plain.find('\033'), std::string::npos) << "no profile for the flag: no codes";

        logger->clearColorsForTag(tag);
        EXPECT_EQ(write(logger, message("tag cleared", LKLogFlagError, 5, tag)).rfind("\033[1;31m", 0), 0u);
    }
}

TEST_F(LKTTYLoggerTest, ColouredLineEndsWithTheResetCodeAndDisabledColoursWriteNoCodes) {
    auto logger = makeLogger();
    logger->setForegroundColor(kRed, kBlue, LKLogFlagError);
    std::string off = write(logger, message("x"));
    EXPECT_EQ(off.find('\033'), std::string::npos) << "colours are off at start";

    logger->setColorsEnabled(true);
    EXPECT_TRUE(logger->colorsEnabled());
    std::string on = write(logger, message("x"));
    EXPECT_EQ(on.rfind("\033[1;31m\033[44m", 0), 0u);
    EXPECT_TRUE(on.ends_with("x\n\033[0m")) << on;
}

TEST_F(LKTTYLoggerTest, EnablingColoursWithoutProfilesLoadsTheDefaults) {
    auto logger = makeLogger();
    logger->setColorsEnabled(true);
    // (214,57,30) is nearest "31m", (204,121,32) nearest "33m" in the 16-colour table.
    EXPECT_EQ(write(logger, message("e", LKLogFlagError, 42)).rfind("\033[31m", 0), 0u);
    EXPECT_EQ(write(logger, message("w", LKLogFlagWarning, 42)).rfind("\033[33m", 0), 0u);
    EXPECT_EQ(write(logger, message("i", LKLogFlagInfo, 42)).find('\033'), std::string::npos);

    auto withOwn = makeLogger();
    withOwn->setForegroundColor(kGreen, std::nullopt, LKLogFlagInfo);
    withOwn->setColorsEnabled(true);
    EXPECT_EQ(write(withOwn, message("e")).find('\033'), std::string::npos) << "own profiles: no defaults added";
}

TEST_F(LKTTYLoggerTest, ClearingByFlagUsesContextZeroAndLeavesTheEveryContextProfile) {
    auto logger = makeLogger();
    logger->setForegroundColor(kGreen, std::nullopt, LKLogFlagError);
    logger->setForegroundColor(kRed, std::nullopt, LKLogFlagError, 0);
    logger->setColorsEnabled(true);
    EXPECT_EQ(write(logger, message("a", LKLogFlagError, 0)).rfind("\033[1;31m", 0), 0u);

    logger->clearColorsForFlag(LKLogFlagError);
    EXPECT_EQ(write(logger, message("b", LKLogFlagError, 0)).rfind("\033[32m", 0), 0u);

    logger->clearColorsForFlag(LKLogFlagError, LKTTYLoggerEveryContext);
    EXPECT_EQ(write(logger, message("c", LKLogFlagError, 0)).find('\033'), std::string::npos);

    logger->setForegroundColor(kGreen, std::nullopt, LKLogFlagError);
    logger->setForegroundColorForTag(kBlue, std::nullopt, std::make_shared<int>(0));
    logger->clearAllColors();
    EXPECT_EQ(write(logger, message("d")).find('\033'), std::string::npos);
}

TEST_F(LKTTYLoggerTest, LineEndIsAddedOnlyWhenMissing) {
    struct Row {
        const char* name;
        std::function<std::optional<std::string>(const LKLogMessage&)> format;  // none: no formatter
        bool append;
        std::string text;
        std::string expectedLine;  // without the header
        bool header;
    };
    auto upper = [](const LKLogMessage& m) { return "F:" + m.message(); };
    auto same = [](const LKLogMessage& m) { return m.message(); };
    const Row rows[] = {
        {"plain", nullptr, true, "hello", "hello\n", true},
        {"plain with its own line end", nullptr, true, "hello\n", "hello\n", true},
        {"plain, append off", nullptr, false, "hello", "hello\n", true},
        {"formatted", upper, true, "line", "F:line\n", false},
        {"formatted with its own line end", upper, true, "line\n", "F:line\n", false},
        {"formatted, append off", upper, false, "line", "F:line", false},
        {"a formatter that passes the text", same, true, "as is", "as is\n", true},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        auto logger = makeLogger();
        if (r.format) logger->setLogFormatter(std::make_shared<FnFormatter>(r.format));
        logger->setAutomaticallyAppendNewlineForCustomFormatters(r.append);
        std::string out = write(logger, message(r.text));
        ASSERT_TRUE(out.ends_with(r.expectedLine)) << out;
        EXPECT_EQ(out.size() > r.expectedLine.size(), r.header) << out;
    }

    auto dropping = makeLogger();
    dropping->setLogFormatter(std::make_shared<FnFormatter>([](const LKLogMessage&) { return std::nullopt; }));
    EXPECT_EQ(write(dropping, message("gone")), "");
}

TEST_F(LKTTYLoggerTest, PlainLineHasTheTimeTheProcessAndTheThread) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    auto logger = makeLogger();
    auto m = std::make_shared<LKLogMessage>("hello", 31, LKLogFlagInfo, 0, "/src/a.cpp", "f", 1, nullptr, 0,
                                            logging::Timestamp(std::chrono::milliseconds(1714555805042)));
    std::string out = write(logger, m);
    const std::string expected = std::string("2024-05-01 09:30:05:042 ") + program_invocation_short_name + "[" +
                                 std::to_string(::getpid()) + ":" + m->threadID().substr(0, 8) + "] hello\n";
    EXPECT_EQ(out, expected);
}

TEST(LKTTYLoggerSharedTest, NoFurtherLoggerOnceTheSharedOneExists) {
    auto shared = LKTTYLogger::sharedInstance();
    ASSERT_TRUE(shared);
    EXPECT_EQ(LKTTYLogger::sharedInstance(), shared);
    EXPECT_EQ(shared->loggerName(), "logcore.ttyLogger");
    EXPECT_EQ(LKTTYLogger::create(), nullptr);
}
