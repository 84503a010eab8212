#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "sdk/beacon/BCNLocaleIdentifier.h"

namespace {

// Sets the three variables for one case and puts the old values back.
class LocaleVariables {
public:
    LocaleVariables(const char* all, const char* messages, const char* lang) {
        const char* values[] = {all, messages, lang};
        for (int i = 0; i < 3; ++i) {
            if (const char* old = std::getenv(kNames[i])) saved_[i] = old;
            if (values[i]) ::setenv(kNames[i], values[i], 1);
            else ::unsetenv(kNames[i]);
        }
    }
    ~LocaleVariables() {
        for (int i = 0; i < 3; ++i) {
            if (saved_[i]) ::setenv(kNames[i], saved_[i]->c_str(), 1);
            else ::unsetenv(kNames[i]);
        }
    }

private:
    static constexpr const char* kNames[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    std::optional<std::string> saved_[3];
};

}  // namespace

TEST(BCNLocaleIdentifierTest, FirstSetVariableWithoutCodesetOrModifier) {
    struct Case {
        const char* all;
        const char* messages;
        const char* lang;
        const char* expected;
    };
    const Case cases[] = {
        {nullptr, nullptr, nullptr, "en_US_POSIX"},
        {"", "", "", "en_US_POSIX"},
        {"C", "de_DE.UTF-8", nullptr, "en_US_POSIX"},
        {"POSIX", nullptr, nullptr, "en_US_POSIX"},
        {"C.UTF-8", nullptr, nullptr, "en_US_POSIX"},
        {"fr_FR.UTF-8", "de_DE", "en_GB", "fr_FR"},
        {"", "de_DE.ISO-8859-1@euro", "en_GB", "de_DE"},
        {nullptr, nullptr, "pt_BR.UTF-8", "pt_BR"},
        {nullptr, nullptr, "sr_RS@latin", "sr_RS"},
    };
    for (const auto& c : cases) {
        LocaleVariables variables(c.all, c.messages, c.lang);
        EXPECT_EQ(BCNLocaleIdentifier(), c.expected) << (c.all ? c.all : "-") << " " << (c.lang ? c.lang : "-");
    }
}
