#include <gtest/gtest.h>

#include <fstream>

#include "sdk/beacon/BCNSettings.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

using foundation::PlistValue;
using testsupport::RecordingSystemLog;

namespace {

class BCNSettingsTest : public ::testing::Test {
protected:
    std::filesystem::path path() const { return home_.cacheHome() / "settings.json"; }
    void write(const std::string& text) const { std::ofstream(path()) << text; }

    testsupport::TempHome home_;
    RecordingSystemLog::Scope log_;
};

}  // namespace

TEST_F(BCNSettingsTest, ReadsTheCachedDocumentOnceAndAgainAfterClearing) {
    BCNSettings settings(path());
    EXPECT_EQ(settings.settingsDictionary(), nullptr);  // no file: nothing held, tried again
    write(R"({"app": {"status": "new", "update_required": true}, "other": [1]})");
    auto first = settings.settingsDictionary();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->at("other"), PlistValue(PlistValue::Array{PlistValue(1)}));
    EXPECT_EQ(settings.appStatus(), "new");
    EXPECT_TRUE(settings.appNeedsOnboarding());
    EXPECT_TRUE(settings.appUpdateRequired());

    write(R"({"app": {"status": "activated"}})");
    EXPECT_EQ(settings.settingsDictionary(), first);  // held
    settings.clearSettingsDictionary();
    EXPECT_EQ(settings.appStatus(), "activated");
    EXPECT_EQ(first->at("other"), PlistValue(PlistValue::Array{PlistValue(1)}));  // an earlier reader's copy stays
    EXPECT_EQ(settings.appPlatform(), "mac");
    EXPECT_TRUE(log_->messages().empty());
}

TEST_F(BCNSettingsTest, CorruptDocumentsAreDeletedWithOneLine) {
    const char* cases[] = {"{\"app\": ", "not json", "[{\"app\": {}}]", "\"text\"", "42", "null", ""};
    for (const char* text : cases) {
        write(text);
        log_->clear();
        BCNSettings settings(path());
        EXPECT_EQ(settings.settingsDictionary(), nullptr) << text;
        EXPECT_FALSE(std::filesystem::exists(path())) << text;
        ASSERT_EQ(log_->messages().size(), 1u) << text;
        EXPECT_EQ(log_->messages()[0].rfind("[Beacon] Could not load settings with error: ", 0), 0u) << text;
    }
}

TEST_F(BCNSettingsTest, WrongShapesReadAsAbsent) {
    struct Case {
        const char* text;
        bool hasApp;
        std::optional<std::string> status;
        bool updateRequired;
    };
    const Case cases[] = {
        {R"({"app": null})", false, std::nullopt, false},
        {R"({"app": "string"})", false, std::nullopt, false},
        {R"({"app": 12})", false, std::nullopt, false},
        {R"({"app": []})", false, std::nullopt, false},
        {R"({"app": {"status": 3}})", true, std::nullopt, false},
        {R"({"app": {"status": null, "update_required": null}})", true, std::nullopt, false},
        {R"({"app": {"status": ["new"], "update_required": "true"}})", true, std::nullopt, false},
        {R"({"app": {"status": "new", "update_required": 1}})", true, "new", true},
        {R"({"app": {"update_required": false}})", true, std::nullopt, false},
        {R"({})", false, std::nullopt, false},
    };
    for (const auto& c : cases) {
        write(c.text);
        BCNSettings settings(path());
        EXPECT_NE(settings.settingsDictionary(), nullptr) << c.text;
        EXPECT_EQ(settings.appSettings().has_value(), c.hasApp) << c.text;
        EXPECT_EQ(settings.appStatus(), c.status) << c.text;
        EXPECT_EQ(settings.appNeedsOnboarding(), c.status == "new") << c.text;
        EXPECT_EQ(settings.appUpdateRequired(), c.updateRequired) << c.text;
        EXPECT_TRUE(std::filesystem::exists(path())) << c.text;
    }
    EXPECT_TRUE(log_->messages().empty());
}
