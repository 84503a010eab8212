#include <gtest/gtest.h>

#include "logging/LKContextBlacklistFilterLogFormatter.h"
#include "logging/LKContextWhitelistFilterLogFormatter.h"
#include "logging/LKLogMessage.h"

namespace {

LKLogMessage message(int64_t context) {
    return LKLogMessage("text " + std::to_string(context), 31, LKLogFlagInfo, context, "/src/a.cpp", "f", 1,
                        nullptr, 0);
}

struct Row {
    const char* name;
    std::vector<int64_t> listed;
    int64_t context;
    bool passesWhitelist;
    bool passesBlacklist;
};
const Row kRows[] = {
    {"empty lists", {}, 5, false, true},
    {"listed", {5, 101}, 5, true, false},
    {"not listed", {5, 101}, 102, false, true},
    {"context 0", {0}, 0, true, false},
    {"negative context", {-3}, -3, true, false},
};

}  // namespace

TEST(LKContextFilterLogFormatterTest, WhitelistPassesOnlyListedAndBlacklistDropsOnlyListed) {
    for (const Row& r : kRows) {
        SCOPED_TRACE(r.name);
        LKContextWhitelistFilterLogFormatter white;
        LKContextBlacklistFilterLogFormatter black;
        for (int64_t c : r.listed) {
            white.addToWhitelist(c);
            black.addToBlacklist(c);
        }
        const std::string text = "text " + std::to_string(r.context);
        EXPECT_EQ(white.formatLogMessage(message(r.context)),
                  r.passesWhitelist ? std::optional<std::string>(text) : std::nullopt);
        EXPECT_EQ(black.formatLogMessage(message(r.context)),
                  r.passesBlacklist ? std::optional<std::string>(text) : std::nullopt);
    }
}

TEST(LKContextFilterLogFormatterTest, ListsChangeAndReportTheirMembers) {
    LKContextWhitelistFilterLogFormatter white;
    white.addToWhitelist(104);
    white.addToWhitelist(101);
    white.addToWhitelist(101);
    EXPECT_EQ(white.whitelist(), (std::vector<int64_t>{101, 104}));
    EXPECT_TRUE(white.isOnWhitelist(104));
    white.removeFromWhitelist(104);
    white.removeFromWhitelist(999);
    EXPECT_FALSE(white.isOnWhitelist(104));
    EXPECT_EQ(white.formatLogMessage(message(104)), std::nullopt);

    LKContextBlacklistFilterLogFormatter black;
    black.addToBlacklist(102);
    EXPECT_EQ(black.blacklist(), (std::vector<int64_t>{102}));
    EXPECT_EQ(black.formatLogMessage(message(102)), std::nullopt);
    black.removeFromBlacklist(102);
    EXPECT_FALSE(black.isOnBlacklist(102));
    EXPECT_EQ(black.formatLogMessage(message(102)), "text 102");
}
