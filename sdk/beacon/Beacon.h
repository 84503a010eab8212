#pragma once
// The common entry of the kits: with() validates and starts the kits once per
// process, and the one Beacon instance keeps the values every kit shares (API
// key, install identifier, first-install flag, execution and instance
// identifiers, advertising token, debug flag, settings).
//
// Any thread. debug is atomic; the strings and the configuration are guarded
// and handed out as copies; settings are an immutable snapshot, so kits may
// read while the download replaces them.
//
// Configuration faults raise BCNException (see BCNException.h): a missing or
// malformed Info.plist "Beacon" dictionary or "APIKey" from the first read of
// beaconConfig (which the first APIKey read performs), and an object that is no
// kit from with(). Start-up catches it and goes on without kits.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Bundle.h"
#include "platform/foundation/PlistValue.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "sdk/beacon/BCNApplicationIdentiferModel.h"
#include "sdk/beacon/BCNKit.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/BCNSettingsOnboardingManager.h"

class Beacon {
public:
    static constexpr const char* kClassName = "Beacon";
    static constexpr const char* kSDKIdentifier = "org.beacon.sdk.mac";
    static constexpr const char* kSDKDisplayVersion = "1.6.3";
    static constexpr const char* kSDKBuildVersion = "42";
    static constexpr const char* kInstallIDKey = "com.blackbox.iuuid";

    // Where an instance takes its configuration, store and kit classes from.
    struct Environment {
        std::shared_ptr<foundation::Bundle> bundle;  // the main bundle when null
        std::shared_ptr<BBXUserDefaults> store;      // the standard store when null
        BCNKitRegistry* registry = nullptr;          // the shared registry when null
    };

    // The one instance, made on first call.
    static std::shared_ptr<Beacon> sharedSDK();
    // Starts the kits with the shared instance, the first time only; every call
    // answers the shared instance. Raises BCNException (see above).
    static std::shared_ptr<Beacon> with(const std::vector<BCNKitReference>& kits);

    // An instance of its own (tests): reads or makes the install identifier.
    explicit Beacon(Environment environment);
    Beacon(const Beacon&) = delete;
    Beacon& operator=(const Beacon&) = delete;

    // The start body: runs on the first call for this instance, and is spent
    // on entry, so a raise or a nested call leaves later calls doing nothing.
    void startKits(const std::vector<BCNKitReference>& kits);

    static std::vector<const BCNKitClass*> convertToKitClassesIfNeeded(const std::vector<BCNKitReference>& kits);
    // Raises for a class that is neither a kit nor a legacy kit.
    static void validateFABKitConformance(const std::vector<const BCNKitClass*>& classes);
    std::vector<const BCNKitClass*> kitClassesByAddingVerifyIfFound(std::vector<const BCNKitClass*> classes) const;
    std::vector<const BCNKitClass*> kitClassesByAddingTallyIfFound(std::vector<const BCNKitClass*> classes) const;
    static void initializeKit(const BCNKitClass* kitClass);

    // The kit's entry of "Kits" ("KitName" equal to its class name): the
    // obfuscated values with the plain "KitInfo" values over them. Nullopt
    // without an entry; entries and values of the wrong type are passed over.
    // Raises "InvalidObfuscatedData" for damaged obfuscated values.
    std::optional<foundation::PlistValue::Dictionary> configurationDictionaryForKitClass(const BCNKitClass& kitClass);
    std::optional<foundation::PlistValue::Dictionary> configurationDictionaryForKit(const BCNKitInstance& kit);

    bool debug() const { return debug_.load(); }
    void setDebug(bool debug) { debug_.store(debug); }

    std::vector<const BCNKitClass*> kitClasses() const;
    void setKitClasses(std::vector<const BCNKitClass*> classes);

    // Validated from Info.plist on first read, then held. Raises.
    foundation::PlistValue::Dictionary beaconConfig();
    void setBeaconConfig(foundation::PlistValue::Dictionary config);

    std::shared_ptr<BCNSettingsOnboardingManager> settingsAndOnboardingManager() const;
    void setSettingsAndOnboardingManager(std::shared_ptr<BCNSettingsOnboardingManager> manager);
    // Null when the running executable cannot be read.
    const std::shared_ptr<const BCNApplicationIdentiferModel>& applicationIdentifierModel() const { return model_; }

    // The key set here, else Info.plist's (held once found); nullopt logs a
    // line at each call. Raises through beaconConfig.
    std::optional<std::string> APIKey();
    void setAPIKey(std::optional<std::string> key);

    const std::string& installID() const { return installID_; }
    bool isFirstInstall() const { return isFirstInstall_; }
    // 32 lower-case hex digits, new in every run.
    const std::string& executionIdentifier() const { return executionIdentifier_; }

    std::optional<std::string> advertisingToken() const;
    void setAdvertisingToken(std::optional<std::string> token);

    // The cached settings document; null when there is none.
    std::shared_ptr<const foundation::PlistValue::Dictionary> settings() const;
    std::optional<std::string> instanceIdentifier() const;

    void onboardAppAndDownloadSettings();
    std::map<std::string, std::string> kitVersionsByKitBundleIdentifier() const;

    std::optional<std::string> readInstallationUUID();
    std::string generateInstallationUUID();
    // The "Beacon" dictionary of an Info.plist; raises when it is unfit.
    foundation::PlistValue::Dictionary validBeaconConfigFromInfoPlist(const foundation::PlistValue& infoPlist) const;

private:
    std::shared_ptr<foundation::Bundle> bundle_;
    std::shared_ptr<BBXUserDefaults> store_;
    BCNKitRegistry* registry_;

    std::atomic<bool> debug_{false};
    std::atomic<bool> startBodySpent_{false};

    std::string installID_;
    bool isFirstInstall_ = false;
    std::string executionIdentifier_;
    std::shared_ptr<const BCNApplicationIdentiferModel> model_;

    mutable std::mutex mutex_;  // guards everything below
    std::vector<const BCNKitClass*> kitClasses_;
    std::optional<foundation::PlistValue::Dictionary> beaconConfig_;
    std::shared_ptr<BCNSettingsOnboardingManager> manager_;
    std::optional<std::string> APIKey_;
    std::optional<std::string> advertisingToken_;
};
