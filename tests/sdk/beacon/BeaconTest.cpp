#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <thread>

#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BCNAppIconUtility.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNObfuscator.h"
#include "sdk/beacon/BCNSHA1.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/beacon/ElfImage.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

using foundation::PlistValue;
using testsupport::RecordingSystemLog;

namespace {

// Kits that write down when they start.
struct StartLog {
    std::mutex mutex;
    std::vector<std::string> started;
    void add(const std::string& name) {
        std::lock_guard lock(mutex);
        started.push_back(name);
    }
};

class FakeInstance : public BCNKitInstance {
public:
    FakeInstance(const BCNKitClass* kitClass, StartLog* log, bool legacy) : class_(kitClass), log_(log), legacy_(legacy) {}
    const BCNKitClass* kitClass() const override { return class_; }
    bool answersLegacyKitOperations() const override { return legacy_; }
    void start() override { log_->add(class_->name); }
    std::string bundleIdentifier() const override { return "com.example.legacy"; }
    std::string version() const override { return "2.0"; }

private:
    const BCNKitClass* class_;
    StartLog* log_;
    bool legacy_;
};

const BCNKitClass* registerKit(BCNKitRegistry& registry, const std::string& name, const std::string& identifier,
                               const std::string& version, StartLog& log) {
    BCNKitClass kit;
    kit.name = name;
    kit.conformsToBCNKit = true;
    kit.bundleIdentifier = [identifier] { return identifier; };
    kit.kitDisplayVersion = [version] { return version; };
    kit.initializeIfNeeded = [&log, name] { log.add(name); };
    return registry.registerKitClass(std::move(kit));
}

// A kit class whose shared instance is an instance of it.
const BCNKitClass* registerInstanceKit(BCNKitRegistry& registry, const std::string& name, StartLog& log, bool legacy) {
    auto holder = std::make_shared<std::shared_ptr<BCNKitInstance>>();
    BCNKitClass kit;
    kit.name = name;
    kit.sharedInstance = [holder] { return *holder; };
    const BCNKitClass* registered = registry.registerKitClass(std::move(kit));
    *holder = std::make_shared<FakeInstance>(registered, &log, legacy);
    return registered;
}

BCNKitClass named(const std::string& name) {
    BCNKitClass kit;
    kit.name = name;
    return kit;
}

std::shared_ptr<foundation::Bundle> writeBundle(const std::filesystem::path& folder, const PlistValue& info) {
    std::filesystem::create_directories(folder);
    if (!info.isNull()) std::ofstream(folder / "Info.plist") << foundation::PropertyList::writeXML(info).value();
    return foundation::Bundle::withPath(folder);
}

PlistValue::Dictionary infoWithBeacon(PlistValue beacon) {
    return PlistValue::Dictionary{{"CFBundleIdentifier", "com.tavlo.Tavlo"}, {"Beacon", std::move(beacon)}};
}

std::vector<uint8_t> pngHeader(uint32_t width, uint32_t height) {
    std::vector<uint8_t> bytes = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (uint32_t side : {width, height})
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(static_cast<uint8_t>(side >> shift));
    for (uint8_t rest : {8, 6, 0, 0, 0, 0, 0, 0, 0}) bytes.push_back(rest);  // depth, colour, methods, CRC
    return bytes;
}

class BeaconTest : public ::testing::Test {
protected:
    void SetUp() override {
        blackbox_ = registerKit(registry_, "Blackbox", "org.blackbox.mac", "3.6.0", started_);
        tally_ = registerKit(registry_, "Tally", "org.tally.mac", "1.1.0", started_);
        legacy_ = registerInstanceKit(registry_, "LegacyKit", started_, true);
        notAKit_ = registerInstanceKit(registry_, "NotAKit", started_, false);
        plain_ = registry_.registerKitClass(named("NSObject"));
    }

    std::shared_ptr<Beacon> makeBeacon(const PlistValue& info = infoWithBeacon(PlistValue::Dictionary{
                                           {"APIKey", "key"}, {"Kits", PlistValue::Array{}}})) {
        auto bundle = writeBundle(home_.root() / ("bundle" + std::to_string(++bundles_)), info);
        auto store = std::make_shared<BBXUserDefaults>(storeFolder(), foundation::UserDefaults::suite("standard"));
        return std::make_shared<Beacon>(Beacon::Environment{bundle, store, &registry_});
    }
    std::filesystem::path storeFolder() const { return home_.dataHome() / "com.blackbox" / "com.tavlo.Tavlo"; }

    std::vector<std::string> started() {
        std::lock_guard lock(started_.mutex);
        return started_.started;
    }

    testsupport::TempHome home_;
    RecordingSystemLog::Scope log_;
    BCNKitRegistry registry_;
    StartLog started_;
    const BCNKitClass* blackbox_ = nullptr;
    const BCNKitClass* tally_ = nullptr;
    const BCNKitClass* legacy_ = nullptr;
    const BCNKitClass* notAKit_ = nullptr;
    const BCNKitClass* plain_ = nullptr;
    int bundles_ = 0;
};

}  // namespace

TEST_F(BeaconTest, ABlackboxInstanceStartsBlackboxThenTally) {
    auto beacon = makeBeacon();
    beacon->startKits({std::make_shared<FakeInstance>(blackbox_, &started_, false)});
    EXPECT_EQ(started(), (std::vector<std::string>{"Blackbox", "Tally"}));
    EXPECT_EQ(beacon->kitClasses(), (std::vector<const BCNKitClass*>{blackbox_, tally_}));
    std::map<std::string, std::string> versions{
        {"org.blackbox.mac", "3.6.0"}, {"org.tally.mac", "1.1.0"}, {"org.beacon.sdk.mac", "1.6.3"}};
    EXPECT_EQ(beacon->kitVersionsByKitBundleIdentifier(), versions);
    auto manager = beacon->settingsAndOnboardingManager();
    EXPECT_EQ(manager->APIKey(), "key");
    EXPECT_EQ(manager->kitVersionsByKitBundleIdentifier(), versions);

    // Spent: a second call with other kits changes nothing.
    beacon->startKits({legacy_});
    EXPECT_EQ(started().size(), 2u);
    EXPECT_EQ(beacon->kitClasses().size(), 2u);
}

TEST_F(BeaconTest, InstancesCountAsTheirClassesAndTallyIsNotAddedTwice) {
    auto blackboxInstance = std::make_shared<FakeInstance>(blackbox_, &started_, false);
    EXPECT_EQ(Beacon::convertToKitClassesIfNeeded({blackboxInstance, tally_}),
              (std::vector<const BCNKitClass*>{blackbox_, tally_}));
    auto beacon = makeBeacon();
    beacon->startKits({tally_, blackboxInstance});
    EXPECT_EQ(started(), (std::vector<std::string>{"Tally", "Blackbox"}));
    // Tally alone brings nothing; Verify comes whenever it is registered.
    EXPECT_EQ(beacon->kitClassesByAddingTallyIfFound({tally_}), (std::vector<const BCNKitClass*>{tally_}));
    EXPECT_EQ(beacon->kitClassesByAddingVerifyIfFound({tally_}), (std::vector<const BCNKitClass*>{tally_}));
    const BCNKitClass* verify = registry_.registerKitClass(named("Verify"));
    EXPECT_EQ(beacon->kitClassesByAddingVerifyIfFound({tally_}), (std::vector<const BCNKitClass*>{tally_, verify}));
    EXPECT_EQ(beacon->kitClassesByAddingVerifyIfFound({verify}), (std::vector<const BCNKitClass*>{verify}));
}

TEST_F(BeaconTest, ALegacyKitIsAskedToUpgradeAndStarted) {
    auto beacon = makeBeacon();
    beacon->startKits({legacy_});
    EXPECT_EQ(log_->messages(), (std::vector<std::string>{"[Beacon] Please upgrade to the latest version of \"LegacyKit\""}));
    EXPECT_EQ(started(), (std::vector<std::string>{"LegacyKit"}));
    EXPECT_EQ(beacon->kitVersionsByKitBundleIdentifier().at("com.example.legacy"), "2.0");
}

TEST_F(BeaconTest, WhatIsNoKitRaisesAndSpendsTheBody) {
    struct Case {
        const char* name;
        std::function<const BCNKitClass*()> kit;
        const char* shownName;
    };
    const Case cases[] = {
        {"a plain class", [this] { return plain_; }, "NSObject"},
        {"a shared instance without kit operations", [this] { return notAKit_; }, "NotAKit"},
        {"no class at all", [] { return nullptr; }, "(null)"},
    };
    for (const auto& c : cases) {
        auto beacon = makeBeacon();
        try {
            beacon->startKits({blackbox_, c.kit()});
            ADD_FAILURE() << c.name << ": no raise";
        } catch (const BCNException& exception) {
            EXPECT_EQ(exception.name(), "BCNException");
            EXPECT_EQ(exception.reason(), std::string("[Beacon] It appears that \"") + c.shownName +
                                              "\" is not a valid Beacon Kit. Please make sure you only pass Beacon "
                                              "Kits to [Beacon with:].")
                << c.name;
        }
        EXPECT_NO_THROW(beacon->startKits({blackbox_})) << c.name;
        EXPECT_TRUE(started().empty()) << c.name;
        EXPECT_TRUE(beacon->kitClasses().empty()) << c.name;
    }
}

TEST_F(BeaconTest, InfoPlistConfiguration) {
    const std::string apiKeyText = "[Beacon] Value of Info.plist[Beacon][APIKey] must contain your Beacon API Key.";
    const std::string kitsLine = "[Beacon] [Beacon] Value of Info.plist[Beacon][Kits] should be a NSArray.";
    struct Case {
        const char* name;
        PlistValue info;
        std::string raised;  // empty: valid
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"no Info.plist", PlistValue(), "[Beacon] Cannot find Info.plist.", {}},
        {"no Beacon", PlistValue::Dictionary{{"CFBundleIdentifier", "x"}},
         "[Beacon] Value of Info.plist key \"Beacon\" must be a NSDictionary.", {}},
        {"Beacon an array", infoWithBeacon(PlistValue::Array{}),
         "[Beacon] Value of Info.plist key \"Beacon\" must be a NSDictionary.", {}},
        {"no APIKey", infoWithBeacon(PlistValue::Dictionary{{"Kits", PlistValue::Array{}}}), apiKeyText, {}},
        {"APIKey a number", infoWithBeacon(PlistValue::Dictionary{{"APIKey", 42}, {"Kits", PlistValue::Array{}}}),
         apiKeyText, {}},
        {"Kits absent", infoWithBeacon(PlistValue::Dictionary{{"APIKey", "k"}}), "", {kitsLine}},
        {"Kits a dictionary", infoWithBeacon(PlistValue::Dictionary{{"APIKey", "k"}, {"Kits", PlistValue::Dictionary{}}}),
         "", {kitsLine}},
        {"valid", infoWithBeacon(PlistValue::Dictionary{{"APIKey", "k"}, {"Kits", PlistValue::Array{}}}), "", {}},
    };
    for (const auto& c : cases) {
        auto beacon = makeBeacon(c.info);
        log_->clear();
        try {
            EXPECT_EQ(beacon->APIKey(), "k") << c.name;
            EXPECT_EQ(beacon->configurationDictionaryForKitClass(*blackbox_), std::nullopt) << c.name;
            EXPECT_TRUE(c.raised.empty()) << c.name << ": no raise";
        } catch (const BCNException& exception) {
            EXPECT_EQ(exception.reason(), c.raised) << c.name;
        }
        EXPECT_EQ(log_->messages(), c.lines) << c.name;
    }
}

TEST_F(BeaconTest, ShippedInfoPlistRaisesTheAPIKeyText) {
    auto shipped = foundation::Bundle::withPath(TAVLO_SOURCE_RESOURCES);
    const PlistValue* config = shipped->infoDictionary().get("Beacon");
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->get("Kits") ? config->get("Kits")->asArray()->size() : 99u, 0u);
    auto store = std::make_shared<BBXUserDefaults>(storeFolder(), foundation::UserDefaults::suite("standard"));
    Beacon beacon(Beacon::Environment{shipped, store, &registry_});
    try {
        beacon.startKits({blackbox_});
        ADD_FAILURE() << "no raise";
    } catch (const BCNException& exception) {
        EXPECT_EQ(exception.reason(), "[Beacon] Value of Info.plist[Beacon][APIKey] must contain your Beacon API Key.");
    }
    EXPECT_TRUE(started().empty());
    // Its icon is the one the About window shows.
    ASSERT_TRUE(beacon.applicationIdentifierModel() && beacon.applicationIdentifierModel()->icon());
    EXPECT_GT(beacon.applicationIdentifierModel()->icon()->width(), 0);
}

TEST_F(BeaconTest, WithoutAKeyNothingStarts) {
    auto beacon = makeBeacon();
    beacon->setBeaconConfig(PlistValue::Dictionary{{"Kits", PlistValue::Array{}}});
    beacon->startKits({blackbox_});
    EXPECT_TRUE(started().empty());
    EXPECT_EQ(log_->messages(), (std::vector<std::string>{"[Beacon] Beacon API Key is nil! Beacon won't work unless "
                                                          "there is a valid API Key setup in Info.plist"}));
    EXPECT_EQ(beacon->settingsAndOnboardingManager()->APIKey(), std::nullopt);
    // A key set through the interface wins, and Info.plist is not read for it.
    beacon->setAPIKey("set");
    EXPECT_EQ(beacon->APIKey(), "set");
}

TEST_F(BeaconTest, KitConfigurationSkipsEntriesOfTheWrongType) {
    auto obfuscated = BCNObfuscator::obfuscatedDataFromDictionary({{"a", 1}, {"b", "encoded"}});
    PlistValue kits = PlistValue::Array{
        PlistValue("not a dictionary"),
        PlistValue::Dictionary{{"KitName", 7}},
        PlistValue::Dictionary{{"KitName", "Tally"}, {"KitInfo", "not a dictionary"}},
        PlistValue::Dictionary{
            {"KitName", "Blackbox"}, {"ObfuscatedKitInfo", obfuscated}, {"KitInfo", PlistValue::Dictionary{{"b", "plain"}}}},
        PlistValue::Dictionary{{"KitName", "Blackbox"}, {"KitInfo", PlistValue::Dictionary{{"second", true}}}},
    };
    auto beacon = makeBeacon(infoWithBeacon(PlistValue::Dictionary{{"APIKey", "k"}, {"Kits", kits}}));
    EXPECT_EQ(beacon->configurationDictionaryForKitClass(*blackbox_), (PlistValue::Dictionary{{"a", 1}, {"b", "plain"}}));
    EXPECT_EQ(beacon->configurationDictionaryForKitClass(*tally_), PlistValue::Dictionary{});
    EXPECT_EQ(beacon->configurationDictionaryForKitClass(*legacy_), std::nullopt);
    EXPECT_EQ(beacon->configurationDictionaryForKit(*legacy_->sharedInstance()), std::nullopt);
}

TEST_F(BeaconTest, InstallIdentifierLastsAndExecutionIdentifierIsNewEachRun) {
    auto first = makeBeacon();
    EXPECT_TRUE(first->isFirstInstall());
    EXPECT_TRUE(std::regex_match(first->installID(), std::regex("[0-9A-F]{8}-([0-9A-F]{4}-){3}[0-9A-F]{12}")));
    EXPECT_TRUE(std::regex_match(first->executionIdentifier(), std::regex("[0-9a-f]{32}")));
    auto second = makeBeacon();
    EXPECT_FALSE(second->isFirstInstall());
    EXPECT_EQ(second->installID(), first->installID());
    EXPECT_NE(second->executionIdentifier(), first->executionIdentifier());

    // An identifier an older store left in the standard user defaults is taken over.
    std::filesystem::remove_all(storeFolder());
    foundation::UserDefaults::suite("standard")->setObject("OLD-ID", Beacon::kInstallIDKey);
    auto migrated = makeBeacon();
    EXPECT_FALSE(migrated->isFirstInstall());
    EXPECT_EQ(migrated->installID(), "OLD-ID");
    EXPECT_TRUE(foundation::UserDefaults::suite("standard")->objectForKey(Beacon::kInstallIDKey).isNull());
}

TEST_F(BeaconTest, ModelsComeFromTheRunningProgramAndTheBundle) {
    auto beacon = makeBeacon();
    auto model = beacon->applicationIdentifierModel();
    ASSERT_TRUE(model);
    auto identity = beacon::runningProgramIdentity();
    ASSERT_TRUE(identity && identity->uuidString());
    EXPECT_EQ(model->architectureUUIDMap(), (std::map<std::string, std::string>{{identity->architecture, *identity->uuidString()}}));
    EXPECT_EQ(beacon->instanceIdentifier(), BCNSHA1HexStringFromBytes(identity->uuidString()->data(), 32));
    EXPECT_EQ(model->minimumSDKString(), "0.0.0");
    EXPECT_EQ(model->builtSDKString(), "0.0.0");
    EXPECT_EQ(model->installID(), beacon->installID());
    EXPECT_EQ(model->bundleIdentifier(), "com.tavlo.Tavlo");
    EXPECT_EQ(model->icon(), nullptr);
    EXPECT_EQ(beacon->settingsAndOnboardingManager()->settingsPath(),
              home_.cacheHome() / "org.beacon.sdk.mac.data" / "com.tavlo.Tavlo" / "settings.json");
    EXPECT_EQ(beacon->settings(), nullptr);
}

TEST_F(BeaconTest, TheIconIsThePNGTheInfoPlistNames) {
    struct Case {
        const char* name;
        PlistValue iconFile;
        std::vector<uint8_t> bytes;
        bool icon;
    };
    const Case cases[] = {
        {"named without extension", "AppIcon", pngHeader(512, 256), true},
        {"named with extension", "AppIcon.png", pngHeader(16, 16), true},
        {"no key", PlistValue(), pngHeader(16, 16), false},
        {"not a string", 5, pngHeader(16, 16), false},
        {"not a PNG", "AppIcon", {'G', 'I', 'F', '8', '9', 'a'}, false},
        {"zero width", "AppIcon", pngHeader(0, 16), false},
        {"a path outside", "../AppIcon.png", pngHeader(16, 16), false},
    };
    for (const auto& c : cases) {
        PlistValue info = PlistValue::Dictionary{{"CFBundleIdentifier", "com.tavlo.Tavlo"}};
        if (!c.iconFile.isNull()) info["CFBundleIconFile"] = c.iconFile;
        auto bundle = writeBundle(home_.root() / ("icon" + std::to_string(++bundles_)), info);
        std::ofstream(bundle->resourcePath() / "AppIcon.png", std::ios::binary)
            .write(reinterpret_cast<const char*>(c.bytes.data()), static_cast<std::streamsize>(c.bytes.size()));
        auto icon = BCNAppIconUtility(bundle).applicationIcon();
        ASSERT_EQ(icon != nullptr, c.icon) << c.name;
        if (!icon) continue;
        uint32_t width = c.bytes[19] | c.bytes[18] << 8, height = c.bytes[23] | c.bytes[22] << 8;
        EXPECT_EQ(icon->width(), width) << c.name;
        EXPECT_EQ(icon->height(), height) << c.name;
        EXPECT_TRUE(icon->prerendered());
        EXPECT_EQ(icon->dataHash(), BCNSHA1HexStringFromBytes(c.bytes.data(), c.bytes.size()));
        EXPECT_TRUE(icon->isWithinMaxSurfaceArea());
        EXPECT_EQ(icon->largerThanSize(100, 100), width * height > 10000u);
    }
}

TEST_F(BeaconTest, SharedValuesAreSafeAcrossThreads) {
    auto beacon = makeBeacon();
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop) {
            (void)beacon->debug();
            (void)beacon->advertisingToken();
            (void)beacon->APIKey();
            (void)beacon->settings();
        }
    });
    for (int i = 0; i < 2000; ++i) {
        beacon->setDebug(i % 2 == 0);
        beacon->setAdvertisingToken("token-" + std::to_string(i));
        beacon->setAPIKey(i % 3 ? std::optional<std::string>("key-" + std::to_string(i)) : std::nullopt);
    }
    stop = true;
    reader.join();
    EXPECT_EQ(beacon->advertisingToken(), "token-1999");
}
