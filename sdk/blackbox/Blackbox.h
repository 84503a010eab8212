#pragma once
// The crash kit's public face: one shared instance per process, handed to
// Beacon::with at start-up ("Blackbox" in the kit registry, "org.blackbox.mac"
// 3.6.0 build 99). Its start, once per process, makes the crash-reporting
// controller (which sets up the capture core and takes care of earlier
// launches' reports), the beta check where beta is supported, and starts
// the analytics kit. It forwards the application's identity, keys, errors,
// custom exceptions and custom events to the capture core and to Tally, and
// answers its controllers' questions (API key, install identifier, settings,
// what the application's delegate wants). Any thread.
//
// The shared instance is never destroyed: the capture core and the work
// queue use it until the process ends.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/PlistValue.h"
#include "sdk/beacon/BCNKit.h"
#include "sdk/blackbox/BBXBetaControllerDelegate.h"
#include "sdk/blackbox/BBXCrashReportingControllerDelegate.h"
#include "sdk/blackbox/BBXWebView.h"

class BBXBetaController;
class BBXCrashReportingController;
class BBXStackFrame;
class BCNKitRegistry;
class BlackboxDelegate;

class Blackbox : public BCNKitInstance,
                 public BBXCrashReportingControllerDelegate,
                 public BBXBetaControllerDelegate,
                 public BBXScriptMessageHandler,
                 public std::enable_shared_from_this<Blackbox> {
public:
    using Dictionary = foundation::PlistValue::Dictionary;

    static constexpr const char* kClassName = "Blackbox";
    static constexpr const char* kBundleIdentifier = "org.blackbox.mac";
    static constexpr const char* kKitDisplayVersion = "3.6.0";
    static constexpr const char* kKitBuildVersion = "99";
    static constexpr const char* kScriptMessageHandlerName = "blackbox";
    static constexpr const char* kHistoricInstallIDKey = "com.blackbox.iuuid";

    static std::shared_ptr<Blackbox> sharedInstance();
    // Describes the class in the registry (once; later calls answer the first).
    static const BCNKitClass* registerKitClass(BCNKitRegistry& registry);
    // Starts the shared instance (once).
    static void initializeIfNeeded();

    // With Beacon: sets the key (and the delegate when given), then
    // Beacon::with the shared instance. Answers the shared instance.
    static std::shared_ptr<Blackbox> startWithAPIKey(const std::string& apiKey,
                                                     std::shared_ptr<BlackboxDelegate> delegate = nullptr);
    // Deprecated: the delay is not waited for.
    static std::shared_ptr<Blackbox> startWithAPIKeyAfterDelay(const std::string& apiKey, double delay);
    static std::shared_ptr<Blackbox> startWithAPIKeyDelegateAfterDelay(const std::string& apiKey,
                                                                       std::shared_ptr<BlackboxDelegate> delegate,
                                                                       double delay);

    // Identity.
    const BCNKitClass* kitClass() const override;
    std::string bundleIdentifier() const override { return kBundleIdentifier; }
    std::string version() const override { return kKitDisplayVersion; }
    std::optional<Dictionary> kitInfo() const { return std::nullopt; }
    void setKitInfo(const std::optional<Dictionary>&) {}
    std::optional<Dictionary> settingsDictionary() const { return std::nullopt; }

    // Runs its body once per process.
    void start() override;
    bool isBlackboxStarted() const;

    std::shared_ptr<BlackboxDelegate> delegate() const;
    void setDelegate(std::shared_ptr<BlackboxDelegate> delegate);
    bool debugMode() const;
    // Turns Beacon's debug flag on, whatever the argument.
    void setDebugMode(bool debugMode);

    std::optional<std::string> APIKey() const;
    bool isFirstInstall() const;
    // The identifier an older kit kept, else Beacon's.
    std::optional<std::string> installID() const;
    // "com.blackbox.iuuid" of $XDG_DATA_HOME/com.blackbox/BBXUserDefaults.plist.
    static std::optional<std::string> historicInstallID();

    // User identity and keys (the capture core records them on its queue).
    void setUserIdentifier(const std::optional<std::string>& identifier);
    void setUserName(const std::optional<std::string>& name);
    void setUserEmail(const std::optional<std::string>& email);
    void setDevelopmentPlatformName(const std::optional<std::string>& name);
    void setDevelopmentPlatformVersion(const std::optional<std::string>& version);
    // Write-only: log that they are and answer none.
    std::optional<std::string> developmentPlatformName() const;
    std::optional<std::string> developmentPlatformVersion() const;
    void setObjectValue(const foundation::PlistValue& value, const std::optional<std::string>& key);
    void setIntValue(int value, const std::optional<std::string>& key);
    void setBoolValue(bool value, const std::optional<std::string>& key);
    void setFloatValue(float value, const std::optional<std::string>& key);

    void recordError(const foundation::Error& error, const std::optional<Dictionary>& additionalUserInfo = std::nullopt);
    void recordCustomExceptionName(const std::string& name, const std::string& reason,
                                   const std::vector<std::shared_ptr<BBXStackFrame>>& frameArray);

    // Custom analytics events.
    void logEvent(const std::optional<std::string>& name);
    void logEvent(const std::optional<std::string>& name, const std::optional<Dictionary>& attributes);

    // Script errors of a web view's pages become recorded exceptions.
    void monitorErrorsForWKWebViewConfiguration(BBXWebViewConfiguration& configuration);
    void userContentControllerDidReceiveScriptMessage(const BBXScriptMessage& message) override;
    // The user script: the load hook, then the error hook.
    static const char* webViewLoadHook();
    static const char* webViewErrorHook();
    static std::string webViewUserScriptSource();
    // A web-view host's user-script class; none in this program.
    static void setUserScriptClass(BBXUserScriptClass userScriptClass);

    // The test operations: a trap, and the kit's own exception.
    [[noreturn]] void crash();
    [[noreturn]] void throwException();

    std::shared_ptr<BBXCrashReportingController> crashReportingController() const;
    std::shared_ptr<BBXBetaController> betaController() const;

    // The crash-reporting controller's questions.
    std::optional<std::string> APIKeyForCrashReportingController(BBXCrashReportingController&) override;
    std::optional<std::string> installIDForCrashReportingController(BBXCrashReportingController&) override;
    bool isFirstInstallForCrashReportingController(BBXCrashReportingController&) override;
    std::shared_ptr<BBXSettings> settingsForCrashReportingController(BBXCrashReportingController&) override;
    bool shouldInstallCrashCallback() override;
    void detectedCrash() override;
    bool reportingControllerCanUseBackgroundSessions(BBXCrashReportingController&) override;
    bool reportingControllerMustInformDelegateOfReports(BBXCrashReportingController&) override;
    void reportingControllerDidDetectReportForLastExecution(BBXCrashReportingController&,
                                                            const std::shared_ptr<BBXInternalReport>& report,
                                                            std::function<void(bool submit)> completion) override;
    void reportingControllerInternalDidDetectReportForLastExecution(
        BBXCrashReportingController&, const std::shared_ptr<BBXInternalReport>& report) override;
    bool reportingControllerEnsureDeliveryOfUnixSignal(BBXCrashReportingController&, int signal) override;

    // The beta check's questions.
    std::optional<std::string> APIKeyForBetaController(BBXBetaController&) override;
    std::shared_ptr<BBXSettings> settingsForBetaController(BBXBetaController&) override;

    Blackbox() = default;

private:
    void startBody();
    void warnDelegateAboutMethods();
    bool delegateRespondsToLegacyMethods() const;
    std::shared_ptr<BBXSettings> newSettings() const;

    std::once_flag started_;
    mutable std::mutex mutex_;  // guards everything below
    std::shared_ptr<BlackboxDelegate> delegate_;
    // Whether the delegate wanted the crash callback when the kit started;
    // the capture core keeps calling through this instance afterwards.
    BlackboxDelegate* crashCallbackDelegate_ = nullptr;
    std::shared_ptr<BBXCrashReportingController> crashReportingController_;
    std::shared_ptr<BBXBetaController> betaController_;
};
