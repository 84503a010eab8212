#include <gtest/gtest.h>

#include <functional>

#include "logging/LKMultiFormatter.h"

namespace {

// A formatter made of a function, counting its calls.
class FnFormatter : public LKLogFormatter {
public:
    explicit FnFormatter(std::function<std::optional<std::string>(const LKLogMessage&)> fn) : fn_(std::move(fn)) {}
    std::optional<std::string> formatLogMessage(const LKLogMessage& message) override {
        ++calls;
        return fn_(message);
    }
    int calls = 0;

private:
    std::function<std::optional<std::string>(const LKLogMessage&)> fn_;
};

std::shared_ptr<FnFormatter> prefixing(std::string prefix) {
    return std::make_shared<FnFormatter>([prefix](const LKLogMessage& m) { return prefix + m.message(); });
}

std::shared_ptr<FnFormatter> dropping() {
    return std::make_shared<FnFormatter>([](const LKLogMessage&) { return std::nullopt; });
}

LKLogMessage message(std::string text = "x") {
    return LKLogMessage(std::move(text), 31, LKLogFlagWarning, 7, "/src/a.cpp", "f", 3, nullptr, 0);
}

}  // namespace

TEST(LKMultiFormatterTest, EachFormatterGetsTheLineBeforeItWithTheOtherFieldsKept) {
    LKMultiFormatter multi;
    EXPECT_EQ(multi.formatLogMessage(message()), "x") << "an empty chain passes the text";

    std::vector<std::string> seen;
    auto recordContext = std::make_shared<FnFormatter>([&](const LKLogMessage& m) {
        seen.push_back(m.message() + "@" + std::to_string(m.context()) + "/" + std::to_string(m.flag()));
        return m.message() + ":b";
    });
    multi.addFormatter(prefixing("a:"));
    multi.addFormatter(recordContext);
    multi.addFormatter(prefixing("c:"));
    EXPECT_EQ(multi.formatLogMessage(message()), "c:a:x:b");
    EXPECT_EQ(seen, (std::vector<std::string>{"a:x@7/2"}));
}

TEST(LKMultiFormatterTest, AFormatterThatDropsDropsTheMessageAndTheRestAreSkipped) {
    LKMultiFormatter multi;
    auto first = prefixing("a:");
    auto second = dropping();
    auto third = prefixing("c:");
    multi.addFormatter(first);
    multi.addFormatter(second);
    multi.addFormatter(third);
    EXPECT_EQ(multi.formatLogMessage(message()), std::nullopt);
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(second->calls, 1);
    EXPECT_EQ(third->calls, 0);
}

TEST(LKMultiFormatterTest, ListChangesAreSeenByTheNextMessage) {
    LKMultiFormatter multi;
    auto a = prefixing("a:");
    auto b = prefixing("b:");
    multi.addFormatter(a);
    multi.addFormatter(b);
    multi.addFormatter(a);
    EXPECT_TRUE(multi.isFormattingWithFormatter(b));
    EXPECT_EQ(multi.formatters().size(), 3u);
    EXPECT_EQ(multi.formatLogMessage(message()), "a:b:a:x");

    multi.removeFormatter(a);
    EXPECT_FALSE(multi.isFormattingWithFormatter(a)) << "every occurrence goes";
    EXPECT_EQ(multi.formatLogMessage(message()), "b:x");

    multi.removeAllFormatters();
    EXPECT_TRUE(multi.formatters().empty());
    EXPECT_EQ(multi.formatLogMessage(message()), "x");
}

TEST(LKMultiFormatterTest, LogMessageForLineKeepsEveryFieldButTheText) {
    LKMultiFormatter multi;
    auto original = message("old");
    auto copy = multi.logMessageForLine("new", original);
    EXPECT_EQ(copy->message(), "new");
    EXPECT_EQ(original.message(), "old");
    EXPECT_EQ(copy->context(), original.context());
    EXPECT_EQ(copy->flag(), original.flag());
    EXPECT_EQ(copy->fileName(), original.fileName());
    EXPECT_EQ(copy->timestamp(), original.timestamp());
    EXPECT_EQ(copy->threadID(), original.threadID());
    EXPECT_EQ(copy->queueLabel(), original.queueLabel());
}
