#include "sdk/beacon/Beacon.h"

#include <algorithm>
#include <cctype>

#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNObfuscator.h"
#include "sdk/beacon/BCNUUID.h"

using foundation::PlistValue;

namespace {

void logLine(const std::string& line) { foundation::systemLog(line); }

[[noreturn]] void raise(const std::string& reason) { throw BCNException(BCNException::kName, reason); }

std::string nameOf(const BCNKitClass* kitClass) { return kitClass ? kitClass->name : "(null)"; }

bool contains(const std::vector<const BCNKitClass*>& classes, const BCNKitClass* kitClass) {
    return std::find(classes.begin(), classes.end(), kitClass) != classes.end();
}

// The "%@" text of the version map, as a dictionary prints.
std::string describe(const std::map<std::string, std::string>& versions) {
    PlistValue::Dictionary dictionary;
    for (const auto& [identifier, version] : versions) dictionary[identifier] = version;
    return PlistValue(dictionary).description();
}

}  // namespace

std::shared_ptr<Beacon> Beacon::sharedSDK() {
    static const std::shared_ptr<Beacon> shared = std::make_shared<Beacon>(Environment{});
    return shared;
}

std::shared_ptr<Beacon> Beacon::with(const std::vector<BCNKitReference>& kits) {
    auto shared = sharedSDK();
    shared->startKits(kits);
    return shared;
}

Beacon::Beacon(Environment environment)
    : bundle_(environment.bundle ? std::move(environment.bundle) : foundation::Bundle::main()),
      store_(environment.store ? std::move(environment.store) : BBXUserDefaults::standardUserDefaults()),
      registry_(environment.registry ? environment.registry : &BCNKitRegistry::shared()) {
    auto installID = readInstallationUUID();
    if (!installID) {
        isFirstInstall_ = true;
        installID = generateInstallationUUID();
    }
    installID_ = *installID;
    std::string execution = BCNCreateUUIDString();
    execution.erase(std::remove(execution.begin(), execution.end(), '-'), execution.end());
    std::transform(execution.begin(), execution.end(), execution.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    executionIdentifier_ = execution;
    model_ = BCNApplicationIdentiferModel::initWithInstallID(installID_, bundle_);
    manager_ = std::make_shared<BCNSettingsOnboardingManager>(model_, bundle_);
}

std::optional<std::string> Beacon::readInstallationUUID() {
    PlistValue value = store_->objectForKeyByMigratingFromNSUserDefaults(kInstallIDKey);
    // Anything but text in the key's place is no identifier of ours.
    if (const std::string* text = value.asString(); text && !text->empty()) return *text;
    return std::nullopt;
}

std::string Beacon::generateInstallationUUID() {
    std::string identifier = BCNCreateUUIDString();
    store_->setObject(identifier, kInstallIDKey);
    store_->synchronize();
    return identifier;
}

void Beacon::startKits(const std::vector<BCNKitReference>& kits) {
    if (startBodySpent_.exchange(true)) return;
    if (!APIKey()) return;
    auto classes = convertToKitClassesIfNeeded(kits);
    validateFABKitConformance(classes);
    classes = kitClassesByAddingVerifyIfFound(std::move(classes));
    classes = kitClassesByAddingTallyIfFound(std::move(classes));
    setKitClasses(classes);
    for (const BCNKitClass* kitClass : classes) initializeKit(kitClass);
    onboardAppAndDownloadSettings();
}

std::vector<const BCNKitClass*> Beacon::convertToKitClassesIfNeeded(const std::vector<BCNKitReference>& kits) {
    std::vector<const BCNKitClass*> classes;
    for (const auto& kit : kits) {
        if (const auto* kitClass = std::get_if<const BCNKitClass*>(&kit)) classes.push_back(*kitClass);
        else classes.push_back(std::get<std::shared_ptr<BCNKitInstance>>(kit)
                                   ? std::get<std::shared_ptr<BCNKitInstance>>(kit)->kitClass()
                                   : nullptr);
    }
    return classes;
}

void Beacon::validateFABKitConformance(const std::vector<const BCNKitClass*>& classes) {
    for (const BCNKitClass* kitClass : classes) {
        if (kitClass && kitClass->isBCNKit()) continue;
        if (kitClass && kitClass->sharedInstance) {
            logLine(foundation::format("[%@] Please upgrade to the latest version of \"%@\"", kClassName, kitClass->name));
            auto instance = kitClass->sharedInstance();
            if (instance && instance->answersLegacyKitOperations()) continue;
        }
        raise(foundation::format("[%@] It appears that \"%@\" is not a valid Beacon Kit. Please make sure you only "
                                 "pass Beacon Kits to [Beacon with:].",
                                 kClassName, nameOf(kitClass)));
    }
}

std::vector<const BCNKitClass*> Beacon::kitClassesByAddingVerifyIfFound(std::vector<const BCNKitClass*> classes) const {
    const BCNKitClass* verify = registry_->classNamed("Verify");
    if (verify && !contains(classes, verify)) classes.push_back(verify);
    return classes;
}

std::vector<const BCNKitClass*> Beacon::kitClassesByAddingTallyIfFound(std::vector<const BCNKitClass*> classes) const {
    const BCNKitClass* blackbox = registry_->classNamed("Blackbox");
    const BCNKitClass* tally = registry_->classNamed("Tally");
    if (blackbox && tally && contains(classes, blackbox) && tally->isBCNKit() && !contains(classes, tally))
        classes.push_back(tally);
    return classes;
}

void Beacon::initializeKit(const BCNKitClass* kitClass) {
    if (!kitClass) return;
    if (kitClass->isBCNKit()) {
        if (kitClass->initializeIfNeeded) kitClass->initializeIfNeeded();
    } else if (kitClass->sharedInstance) {
        if (auto instance = kitClass->sharedInstance()) instance->start();
    }
}

std::optional<PlistValue::Dictionary> Beacon::configurationDictionaryForKitClass(const BCNKitClass& kitClass) {
    PlistValue::Dictionary config = beaconConfig();
    auto kits = config.find("Kits");
    if (kits == config.end() || !kits->second.asArray()) return std::nullopt;
    for (const auto& entry : *kits->second.asArray()) {
        const PlistValue* name = entry.get("KitName");  // null for an entry that is no dictionary
        if (!name || !name->asString() || *name->asString() != kitClass.name) continue;
        PlistValue::Dictionary result;
        const PlistValue* obfuscated = entry.get("ObfuscatedKitInfo");
        if (obfuscated && obfuscated->asData()) result = BCNObfuscator::dictionaryWithObfuscatedData(*obfuscated->asData());
        const PlistValue* info = entry.get("KitInfo");
        if (info && info->asDictionary())
            for (const auto& [key, value] : *info->asDictionary()) result[key] = value;
        return result;
    }
    return std::nullopt;
}

std::optional<PlistValue::Dictionary> Beacon::configurationDictionaryForKit(const BCNKitInstance& kit) {
    const BCNKitClass* kitClass = kit.kitClass();
    if (!kitClass) return std::nullopt;
    return configurationDictionaryForKitClass(*kitClass);
}

std::vector<const BCNKitClass*> Beacon::kitClasses() const {
    std::lock_guard lock(mutex_);
    return kitClasses_;
}

void Beacon::setKitClasses(std::vector<const BCNKitClass*> classes) {
    std::lock_guard lock(mutex_);
    kitClasses_ = std::move(classes);
}

PlistValue::Dictionary Beacon::beaconConfig() {
    std::lock_guard lock(mutex_);
    if (!beaconConfig_) beaconConfig_ = validBeaconConfigFromInfoPlist(bundle_->infoDictionary());
    return *beaconConfig_;
}

void Beacon::setBeaconConfig(PlistValue::Dictionary config) {
    std::lock_guard lock(mutex_);
    beaconConfig_ = std::move(config);
}

PlistValue::Dictionary Beacon::validBeaconConfigFromInfoPlist(const PlistValue& infoPlist) const {
    const auto* info = infoPlist.asDictionary();
    if (!info || info->empty()) raise(foundation::format("[%@] Cannot find Info.plist.", kClassName));
    const PlistValue* config = infoPlist.get("Beacon");
    if (!config || !config->asDictionary())
        raise(foundation::format("[%@] Value of Info.plist key \"%@\" must be a NSDictionary.", kClassName, "Beacon"));
    const PlistValue* kits = config->get("Kits");
    if (!kits || !kits->asArray())
        logLine(foundation::format("[Beacon] [%@] Value of Info.plist[%@][%@] should be a NSArray.", kClassName,
                                   kClassName, "Kits"));
    const PlistValue* key = config->get("APIKey");
    if (!key || !key->asString())
        raise(foundation::format("[%@] Value of Info.plist[%@][%@] must contain your %@ API Key.", kClassName,
                                 kClassName, "APIKey", kClassName));
    return *config->asDictionary();
}

std::shared_ptr<BCNSettingsOnboardingManager> Beacon::settingsAndOnboardingManager() const {
    std::lock_guard lock(mutex_);
    return manager_;
}

void Beacon::setSettingsAndOnboardingManager(std::shared_ptr<BCNSettingsOnboardingManager> manager) {
    std::lock_guard lock(mutex_);
    manager_ = std::move(manager);
}

std::optional<std::string> Beacon::APIKey() {
    {
        std::lock_guard lock(mutex_);
        if (APIKey_) return APIKey_;
    }
    PlistValue::Dictionary config = beaconConfig();
    auto key = config.find("APIKey");
    if (key != config.end() && key->second.asString()) {
        std::lock_guard lock(mutex_);
        if (!APIKey_) APIKey_ = *key->second.asString();
        return APIKey_;
    }
    logLine("[Beacon] Beacon API Key is nil! Beacon won't work unless there is a valid API Key setup in Info.plist");
    return std::nullopt;
}

void Beacon::setAPIKey(std::optional<std::string> key) {
    std::lock_guard lock(mutex_);
    APIKey_ = std::move(key);
}

std::optional<std::string> Beacon::advertisingToken() const {
    std::lock_guard lock(mutex_);
    return advertisingToken_;
}

void Beacon::setAdvertisingToken(std::optional<std::string> token) {
    std::lock_guard lock(mutex_);
    advertisingToken_ = std::move(token);
}

std::shared_ptr<const PlistValue::Dictionary> Beacon::settings() const {
    auto manager = settingsAndOnboardingManager();
    return manager ? manager->settingsModel()->settingsDictionary() : nullptr;
}

std::optional<std::string> Beacon::instanceIdentifier() const {
    if (!model_) return std::nullopt;
    return model_->instanceIdentifier();
}

void Beacon::onboardAppAndDownloadSettings() {
    auto manager = settingsAndOnboardingManager();
    auto key = APIKey();
    if (manager && key) manager->beginSettingsAndOnboardingOperationsWithAPIKey(*key, kitVersionsByKitBundleIdentifier());
}

std::map<std::string, std::string> Beacon::kitVersionsByKitBundleIdentifier() const {
    std::map<std::string, std::string> versions;
    for (const BCNKitClass* kitClass : kitClasses()) {
        if (!kitClass) continue;
        if (kitClass->isBCNKit()) {
            versions[kitClass->bundleIdentifier()] = kitClass->kitDisplayVersion();
        } else if (kitClass->sharedInstance) {
            if (auto instance = kitClass->sharedInstance()) versions[instance->bundleIdentifier()] = instance->version();
        }
    }
    versions[kSDKIdentifier] = kSDKDisplayVersion;
    if (debug()) logLine(foundation::format("[Beacon] Initialized with kit versions: %@", describe(versions)));
    return versions;
}
