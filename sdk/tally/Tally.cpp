#include "sdk/tally/Tally.h"

#include "platform/foundation/Paths.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNKitRegistry.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/tally/BBXAnalyticsController.h"
#include "sdk/tally/BBXTallyAddToCartEvent.h"
#include "sdk/tally/BBXTallyContentViewEvent.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "sdk/tally/BBXTallyInviteEvent.h"
#include "sdk/tally/BBXTallyLevelEndEvent.h"
#include "sdk/tally/BBXTallyLevelStartEvent.h"
#include "sdk/tally/BBXTallyLoginEvent.h"
#include "sdk/tally/BBXTallyPurchaseEvent.h"
#include "sdk/tally/BBXTallyRateEvent.h"
#include "sdk/tally/BBXTallySearchEvent.h"
#include "sdk/tally/BBXTallyShareEvent.h"
#include "sdk/tally/BBXTallySignUpEvent.h"
#include "sdk/tally/BBXTallyStartCheckoutEvent.h"

std::shared_ptr<Tally> Tally::sharedInstance() {
    // Never destroyed: its controller writes until the process ends, and at exit
    // the notification centre and queues it uses may already be gone.
    static const auto* shared = new std::shared_ptr<Tally>(std::make_shared<Tally>());
    return *shared;
}

const BCNKitClass* Tally::registerKitClass(BCNKitRegistry& registry) {
    return registry.registerKitClass(BCNKitClass::conforming(kClassName, kBundleIdentifier, kKitDisplayVersion,
                                                             kKitBuildVersion, [&registry] { initializeIfNeeded(registry); }));
}

void Tally::initializeIfNeeded(BCNKitRegistry& registry) {
    const BCNKitClass* blackbox = registry.classNamed("Blackbox");
    if (blackbox && blackbox->isBCNKit()) {
        if (blackbox->initializeIfNeeded) blackbox->initializeIfNeeded();
        return;
    }
    sharedInstance()->startWithBetaToken(std::nullopt);
}

std::filesystem::path Tally::analyticsRootDirectory() {
    auto identifier = BCNApplicationGetEscapedBundleIdentifier().value_or("");
    return foundation::Paths::caches() / "com.blackbox.data" / identifier / "analytics";
}

void Tally::startWithBetaToken(const std::optional<std::string>& betaToken) {
    std::call_once(started_, [&] {
        if (!BBXAnalyticsController::supported()) return;
        auto controller = BBXAnalyticsController::initWithSessionIdentifier(Beacon::sharedSDK()->executionIdentifier(),
                                                                            analyticsRootDirectory(), betaToken,
                                                                            BBXAnalyticsController::Environment{});
        {
            std::lock_guard lock(mutex_);
            analyticsController_ = controller;
        }
        if (!controller) return;
        controller->logAppInstalled();
        controller->logAppLaunched();
    });
}

std::shared_ptr<BBXAnalyticsController> Tally::analyticsController() const {
    std::lock_guard lock(mutex_);
    return analyticsController_;
}

void Tally::logPreviousSessionCrashedOnDate(const std::optional<foundation::Date>& date) {
    if (auto controller = sharedInstance()->analyticsController()) controller->logPreviousSessionCrashedOnDate(date);
}

void Tally::logCustomEventWithName(const std::optional<std::string>& name, const std::optional<Dictionary>& customAttributes) {
    auto event = BBXTallyCustomEvent::initWithName(name, customAttributes);
    if (auto controller = sharedInstance()->analyticsController()) controller->logCustomEvent(event);
}

void Tally::logPredefinedEvent(const std::shared_ptr<BBXTallyPredefinedEvent>& event) {
    if (auto controller = sharedInstance()->analyticsController()) controller->logPredefinedEvent(event);
}

void Tally::logSignUpWithMethod(const Text& method, std::optional<bool> success, const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallySignUpEvent>(method, success, attributes));
}

void Tally::logLoginWithMethod(const Text& method, std::optional<bool> success, const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyLoginEvent>(method, success, attributes));
}

void Tally::logShareWithMethod(const Text& method, const Text& contentName, const Text& contentType,
                               const Text& contentId, const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyShareEvent>(method, contentName, contentType, contentId, attributes));
}

void Tally::logInviteWithMethod(const Text& method, const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyInviteEvent>(method, attributes));
}

void Tally::logPurchaseWithPrice(const Price& price, const Text& currency, std::optional<bool> success,
                                 const Text& itemName, const Text& itemType, const Text& itemId,
                                 const Attributes& attributes) {
    // The event takes the item's identifier before its type.
    logPredefinedEvent(
        std::make_shared<BBXTallyPurchaseEvent>(price, currency, success, itemName, itemId, itemType, attributes));
}

void Tally::logLevelStart(const Text& levelName, const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyLevelStartEvent>(levelName, attributes));
}

void Tally::logLevelEnd(const Text& levelName, const Number& score, std::optional<bool> success,
                        const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyLevelEndEvent>(levelName, score, success, attributes));
}

void Tally::logAddToCartWithPrice(const Price& price, const Text& currency, const Text& itemName, const Text& itemType,
                                  const Text& itemId, const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyAddToCartEvent>(price, currency, itemName, itemType, itemId, attributes));
}

void Tally::logStartCheckoutWithPrice(const Price& price, const Text& currency, const Number& itemCount,
                                      const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyStartCheckoutEvent>(price, currency, itemCount, attributes));
}

void Tally::logRating(const Number& rating, const Text& contentName, const Text& contentType, const Text& contentId,
                      const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyRateEvent>(rating, contentName, contentType, contentId, attributes));
}

void Tally::logContentViewWithName(const Text& contentName, const Text& contentType, const Text& contentId,
                                   const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallyContentViewEvent>(contentName, contentType, contentId, attributes));
}

void Tally::logSearchWithQuery(const Text& query, const Attributes& attributes) {
    logPredefinedEvent(std::make_shared<BBXTallySearchEvent>(query, attributes));
}
