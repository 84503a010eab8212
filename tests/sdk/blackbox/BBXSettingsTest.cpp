// The crash kit's settings: where each configuration value comes from, the
// downloaded values and their defaults, and the prompt texts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/foundation/JSON.h"
#include "platform/foundation/PropertyList.h"
#include "sdk/blackbox/BBXSettings.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

namespace {

using foundation::PlistValue;
using Dictionary = PlistValue::Dictionary;

class BBXSettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        ::unsetenv("BlackboxSubmitReports");
        ::unsetenv("BlackboxReportsEndpoint");
    }

    std::shared_ptr<foundation::Bundle> bundle(const Dictionary& blackbox = {}) {
        auto folder = home_.root() / "App.app";
        std::filesystem::create_directories(folder / "Contents");
        PlistValue info = Dictionary{{"CFBundleIdentifier", "org.example.app"}};
        if (!blackbox.empty()) info["Blackbox"] = blackbox;
        std::ofstream(folder / "Contents/Info.plist") << foundation::PropertyList::writeXML(info).value();
        return foundation::Bundle::withPath(folder);
    }

    static std::shared_ptr<const Dictionary> downloaded(const std::string& json) {
        auto read = foundation::JSON::read(json);
        if (!read.ok() || !read.value().asDictionary()) return nullptr;
        return std::make_shared<const Dictionary>(*read.value().asDictionary());
    }

    testsupport::TempHome home_;
    testsupport::RecordingSystemLog::Scope log_;
};

TEST_F(BBXSettingsTest, WithoutSettingsOrConfigurationEveryValueIsItsDefault) {
    for (auto dictionary : {std::shared_ptr<const Dictionary>(), downloaded(R"({"features": {}})")}) {
        BBXSettings settings(dictionary, bundle());
        EXPECT_EQ(settings.reportsEndpoint(), "https://reports.invalid");
        EXPECT_EQ(settings.betaEndpoint(), "https://beta.invalid");
        EXPECT_TRUE(settings.shouldPackageReports());
        EXPECT_TRUE(settings.shouldSubmitReports());
        EXPECT_TRUE(settings.canProcessUrgentReports());
        EXPECT_TRUE(settings.crashReportingEnabled());
        EXPECT_TRUE(settings.errorReportingEnabled());
        EXPECT_TRUE(settings.customExceptionsEnabled());
        EXPECT_FALSE(settings.userPromptEnabled());
        // No "session" dictionary.
        EXPECT_EQ(settings.logBufferSize(), 65536u);
        EXPECT_EQ(settings.errorLogBufferSize(), 65536u);
        EXPECT_EQ(settings.maxCustomExceptions(), 16u);
        EXPECT_EQ(settings.maxCustomKeys(), 16u);
        EXPECT_EQ(settings.betaSuspendDuration(), 3600);
    }
    EXPECT_TRUE(log_->messages().empty());
}

TEST_F(BBXSettingsTest, DownloadedValuesAreReadFromTheirGroups) {
    BBXSettings settings(downloaded(R"({
        "features": {"collect_reports": false, "collect_logged_exceptions": 0, "prompt_enabled": true},
        "session": {"log_buffer_size": 300, "max_custom_exception_events": 4, "max_custom_key_value_pairs": 64},
        "beta": {"update_suspend_duration": 60}})"),
                         bundle());
    EXPECT_FALSE(settings.crashReportingEnabled());
    EXPECT_FALSE(settings.errorReportingEnabled());
    EXPECT_FALSE(settings.customExceptionsEnabled());
    EXPECT_TRUE(settings.userPromptEnabled());
    EXPECT_EQ(settings.logBufferSize(), 300u);
    EXPECT_EQ(settings.errorLogBufferSize(), 300u);
    EXPECT_EQ(settings.maxCustomExceptions(), 4u);
    EXPECT_EQ(settings.maxCustomKeys(), 64u);
    EXPECT_EQ(settings.betaSuspendDuration(), 60);
}

TEST_F(BBXSettingsTest, TheEnvironmentOverridesInfoPlistWhichOverridesTheDefault) {
    auto app = bundle({{"SubmitReports", false}, {"ReportsEndpoint", "https://reports.example"}});
    BBXSettings settings(nullptr, app);

    // Found in Info.plist: taken without a word.
    EXPECT_FALSE(settings.shouldSubmitReports());
    EXPECT_EQ(settings.reportsEndpoint(), "https://reports.example");
    EXPECT_TRUE(log_->messages().empty());

    ::setenv("BlackboxSubmitReports", "0", 1);
    ::setenv("BlackboxReportsEndpoint", "https://127.0.0.1:9", 1);
    BBXSettings overridden(nullptr, bundle());
    EXPECT_FALSE(overridden.shouldSubmitReports());
    EXPECT_EQ(overridden.reportsEndpoint(), "https://127.0.0.1:9");
    EXPECT_EQ(log_->count("[Blackbox:Crash] override: 'SubmitReports' => '0'"), 1u);
    EXPECT_EQ(log_->count("[Blackbox:Crash] override: 'ReportsEndpoint' => 'https://127.0.0.1:9'"), 1u);

    ::setenv("BlackboxSubmitReports", "YES", 1);
    EXPECT_TRUE(BBXSettings(nullptr, app).shouldSubmitReports());
    EXPECT_TRUE(BBXSettings(nullptr, app).valueForConfigurationKey("NoSuchKey").isNull());
}

TEST_F(BBXSettingsTest, PromptTextsComeFromTheSettingsElseTheDefaults) {
    BBXSettings defaults(nullptr, bundle());
    EXPECT_EQ(defaults.interactivePromptTitle(), "Send Crash Report?");
    EXPECT_EQ(defaults.interactivePromptMessage(),
              "Looks like we crashed! Please help us fix the problem by sending a crash report.");
    EXPECT_EQ(defaults.interactivePromptCancelTitle(), "Don't Send");
    EXPECT_EQ(defaults.interactivePromptSendTitle(), "Send");
    EXPECT_EQ(defaults.interactivePromptAlwaysSendTitle(), "Always Send");

    BBXSettings custom(downloaded(R"({"prompt": {"title": "T", "message": "M", "cancel_button_title": "No",
                                                  "send_button_title": "Yes", "always_send_button_title": null}})"),
                       bundle());
    EXPECT_EQ(custom.interactivePromptTitle(), "T");
    EXPECT_EQ(custom.interactivePromptMessage(), "M");
    EXPECT_EQ(custom.interactivePromptCancelTitle(), "No");
    EXPECT_EQ(custom.interactivePromptSendTitle(), "Yes");
    // There, and no text: the alert has no such button.
    EXPECT_EQ(custom.interactivePromptAlwaysSendTitle(), std::nullopt);
}

}  // namespace
