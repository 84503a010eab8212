#pragma once
// The analytics kit's public face: the kit class ("Tally" in the kit
// registry, "org.tally.mac" 1.1.0 build 6), its one start, and the calls that
// turn into events for the analytics controller. Any thread.
//
// The program registers the class (registerKitClass) before Beacon starts the
// kits. Its start makes the controller over
// $XDG_CACHE_HOME/com.blackbox.data/<escaped bundle identifier>/analytics and
// logs "app_installed" (first install only) and "app_launched". Every log call
// before or without a controller builds its event and does nothing more.

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/foundation/Date.h"
#include "platform/foundation/PlistValue.h"
#include "sdk/tally/Decimal.h"

class BBXAnalyticsController;
class BBXTallyPredefinedEvent;
class BCNKitRegistry;
struct BCNKitClass;

class Tally {
public:
    using Dictionary = foundation::PlistValue::Dictionary;

    static constexpr const char* kClassName = "Tally";
    static constexpr const char* kBundleIdentifier = "org.tally.mac";
    static constexpr const char* kKitDisplayVersion = "1.1.0";
    static constexpr const char* kKitBuildVersion = "6";

    static std::shared_ptr<Tally> sharedInstance();
    // Describes the class in the registry (once; later calls answer the first).
    static const BCNKitClass* registerKitClass(BCNKitRegistry& registry);
    // Hands over to "Blackbox" when that kit is registered (it starts this kit
    // itself); otherwise starts without a beta token.
    static void initializeIfNeeded(BCNKitRegistry& registry);

    // The analytics folder of this application.
    static std::filesystem::path analyticsRootDirectory();

    // Runs once per process; later calls, with any token, do nothing.
    void startWithBetaToken(const std::optional<std::string>& betaToken);
    std::shared_ptr<BBXAnalyticsController> analyticsController() const;

    static void logPreviousSessionCrashedOnDate(const std::optional<foundation::Date>& date);
    static void logCustomEventWithName(const std::optional<std::string>& name,
                                       const std::optional<Dictionary>& customAttributes = std::nullopt);
    static void logPredefinedEvent(const std::shared_ptr<BBXTallyPredefinedEvent>& event);

    using Text = std::optional<std::string>;
    using Number = std::optional<foundation::PlistValue>;
    using Price = std::optional<tally::Decimal>;
    using Attributes = std::optional<Dictionary>;
    static void logSignUpWithMethod(const Text& method, std::optional<bool> success, const Attributes& attributes = {});
    static void logLoginWithMethod(const Text& method, std::optional<bool> success, const Attributes& attributes = {});
    static void logShareWithMethod(const Text& method, const Text& contentName, const Text& contentType,
                                   const Text& contentId, const Attributes& attributes = {});
    static void logInviteWithMethod(const Text& method, const Attributes& attributes = {});
    static void logPurchaseWithPrice(const Price& price, const Text& currency, std::optional<bool> success,
                                     const Text& itemName, const Text& itemType, const Text& itemId,
                                     const Attributes& attributes = {});
    static void logLevelStart(const Text& levelName, const Attributes& attributes = {});
    static void logLevelEnd(const Text& levelName, const Number& score, std::optional<bool> success,
                            const Attributes& attributes = {});
    static void logAddToCartWithPrice(const Price& price, const Text& currency, const Text& itemName,
                                      const Text& itemType, const Text& itemId, const Attributes& attributes = {});
    static void logStartCheckoutWithPrice(const Price& price, const Text& currency, const Number& itemCount,
                                          const Attributes& attributes = {});
    static void logRating(const Number& rating, const Text& contentName, const Text& contentType,
                          const Text& contentId, const Attributes& attributes = {});
    static void logContentViewWithName(const Text& contentName, const Text& contentType, const Text& contentId,
                                       const Attributes& attributes = {});
    static void logSearchWithQuery(const Text& query, const Attributes& attributes = {});

private:
    std::once_flag started_;
    mutable std::mutex mutex_;
    std::shared_ptr<BBXAnalyticsController> analyticsController_;
};
