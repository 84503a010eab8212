#include "sdk/blackbox/BBXBetaController.h"

#include "platform/foundation/Format.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNPinnedCertificates.h"
#include "sdk/beacon/BCNSettingsOnboardingManager.h"
#include "sdk/beacon/BCNURLBuilder.h"
#include "sdk/beacon/Beacon.h"
#include "sdk/blackbox/BBXApplication.h"
#include "sdk/blackbox/BBXBetaControllerDelegate.h"
#include "sdk/blackbox/BBXBetaUpdate.h"
#include "sdk/blackbox/BBXRequestHeaders.h"
#include "sdk/blackbox/BBXSettings.h"

namespace {

void debugLog(const std::string& line) {
    if (Beacon::sharedSDK()->debug()) foundation::systemLog(line);
}

}  // namespace

bool BBXBetaController::isBetaSupported() {
    return !BBXApplicationIsAnExtension() &&
           BCNApplicationGetInstallationSource() == BCNInstallationSourceSignedForDistribution;
}

std::shared_ptr<BBXBetaController> BBXBetaController::initWithDelegate(BBXBetaControllerDelegate* delegate,
                                                                       TokenSource tokenSource) {
    // The token is taken once and kept.
    std::optional<std::string> token = tokenSource ? tokenSource() : std::nullopt;
    return std::shared_ptr<BBXBetaController>(new BBXBetaController(delegate, std::move(token)));
}

BBXBetaController::BBXBetaController(BBXBetaControllerDelegate* delegate, std::optional<std::string> betaToken)
    : delegate_(delegate),
      betaToken_(std::move(betaToken)),
      queue_(dispatch::Queue::createSerial(kQueueLabel)),
      networkClient_(BCNNetworkClient::create(nullptr, BCNPinnedCertificates())) {
    // The spelling of this line's prefix is the kit's own.
    if (!networkClient_) debugLog("[Crahlytics:Beta] Failed to configure networking");
}

BBXBetaController::~BBXBetaController() {
    settingsObserver_.reset();
    if (networkClient_) networkClient_->invalidateAndCancel();
}

bool BBXBetaController::start() {
    if (!betaToken_) return false;
    std::weak_ptr<BBXBetaController> weak = weak_from_this();
    auto& center = foundation::NotificationCenter::defaultCenter();
    settingsObserver_ = foundation::ObserverRegistration(
        center, center.addObserver(BCNSettingsAvailableNotification, nullptr, [weak](const foundation::Notification&) {
            if (auto self = weak.lock()) self->beaconSettingsDownloaded();
        }));
    return true;
}

void BBXBetaController::beaconSettingsDownloaded() { checkForUpdate(); }

void BBXBetaController::checkForUpdate() {
    std::weak_ptr<BBXBetaController> weak = weak_from_this();
    maybeGetUpdate([weak](const std::shared_ptr<BBXBetaUpdate>& update, const std::optional<foundation::Error>&) {
        if (auto self = weak.lock()) self->didGetUpdate(update);
    });
}

bool BBXBetaController::shouldGetUpdates() const { return isBetaSupported() && !checksSuspended_.load(); }

void BBXBetaController::maybeGetUpdate(UpdateCompletion completion) {
    std::weak_ptr<BBXBetaController> weak = weak_from_this();
    queue_->async([weak, completion = std::move(completion)] {
        auto self = weak.lock();
        if (!self || !self->shouldGetUpdates() || self->retrying_.load()) return;
        debugLog("[Blackbox:Beta] Loading beta update");
        self->loadUpdate(completion);
    });
}

std::optional<std::string> BBXBetaController::betaUpdateURL() {
    auto settings = delegate_ ? delegate_->settingsForBetaController(*this) : nullptr;
    if (!settings) return std::nullopt;
    BCNURLBuilder builder = BCNURLBuilder::URLWithBase(settings->betaEndpoint());
    builder.appendComponent("/spi/v2/platforms/");
    builder.appendComponent("mac");
    builder.appendComponent("/apps/");
    builder.appendComponent(BCNApplicationGetEscapedBundleIdentifier().value_or(""));
    builder.appendComponent("/beta_update_check");
    builder.appendValue(BCNApplicationGetBuildVersion(), "build_version");
    builder.appendValue(BCNApplicationGetDisplayVersion(), "display_version");
    builder.appendValue(Beacon::sharedSDK()->instanceIdentifier(), "instance");
    builder.appendValue(static_cast<int64_t>(BCNApplicationGetInstallationSource()), "source");
    return builder.URL();
}

std::optional<net::URLRequest> BBXBetaController::betaUpdateRequest() {
    std::optional<std::string> url = betaUpdateURL();
    if (!url) return std::nullopt;
    debugLog(foundation::format("[Blackbox:Beta] Beta Update-Check url string: '%@'", *url));
    net::URLRequest request(*url, kTimeout);
    request.setHTTPMethod("GET");
    request.setCachePolicy(1);  // reload, ignoring local cache data
    BBXSetRequestHeaders(request, delegate_ ? delegate_->APIKeyForBetaController(*this).value_or("") : "");
    request.setValue("X-Blackbox-Beta-Token", betaToken_.value_or(""));
    return request;
}

void BBXBetaController::loadUpdate(UpdateCompletion completion) {
    // On the beta queue.
    std::optional<net::URLRequest> request = betaUpdateRequest();
    if (!request || !networkClient_ || retrying_.exchange(true)) return;
    std::weak_ptr<BBXBetaController> weak = weak_from_this();
    networkClient_->startDataTaskWithRequest(
        *request, kRetryLimit,
        [weak, completion](const std::optional<foundation::Data>& data, const std::optional<net::HTTPURLResponse>&,
                           const std::optional<foundation::Error>& error) {
            auto self = weak.lock();
            if (!self) return;
            std::optional<std::string> bytes;
            if (data) bytes = data->toString();
            self->handleCompletedBetaRequest(bytes, error, completion);
        });
}

void BBXBetaController::handleCompletedBetaRequest(const std::optional<std::string>& data,
                                                   const std::optional<foundation::Error>& error,
                                                   UpdateCompletion completion) {
    if (error || !data || data->empty()) {
        // Still "retrying": no further check runs in this process.
        debugLog(foundation::format("[Blackbox:Beta] Failed to load update '%@'",
                                    error ? error->description() : std::string("no data")));
        return;
    }
    std::weak_ptr<BBXBetaController> weak = weak_from_this();
    queue_->async([weak, data = *data, completion] {
        auto self = weak.lock();
        if (!self) return;
        debugLog("[Blackbox:Beta] Beta update loaded");
        // "retrying" ends before the suspension begins: whoever sees checks
        // suspended then finds this check over. No check runs in between, as
        // checks start on this same queue.
        self->retrying_.store(false);
        self->temporarilySuspendChecks();
        foundation::Error parseError;
        auto update = updateWithData(data, &parseError);
        completion(update, update ? std::nullopt : std::optional<foundation::Error>(parseError));
    });
}

std::shared_ptr<BBXBetaUpdate> BBXBetaController::updateWithData(const std::string& data, foundation::Error* error) {
    auto value = foundation::JSON::read(data);
    if (!value.ok()) {
        debugLog(foundation::format("[Blackbox:Beta] Unable to deserialize beta update data: %@",
                                    value.error().description()));
        if (error) *error = value.error();
        return nullptr;
    }
    auto update = BBXBetaUpdate::betaUpdateWithDictionary(value.value(), error);
    if (!update) debugLog(foundation::format("[Blackbox:Beta] Unable to read beta update data: %@", data));
    return update;
}

void BBXBetaController::temporarilySuspendChecks() {
    auto settings = delegate_ ? delegate_->settingsForBetaController(*this) : nullptr;
    double duration = settings ? settings->betaSuspendDuration() : 3600;
    checksSuspended_.store(true);
    std::weak_ptr<BBXBetaController> weak = weak_from_this();
    dispatch::Queue::main()->async([weak, duration] {
        auto self = weak.lock();
        if (!self) return;
        uint64_t generation = ++self->suspensionGeneration_;
        dispatch::after(duration, dispatch::Queue::main(), [weak, generation] {
            auto self = weak.lock();
            if (self && self->suspensionGeneration_ == generation) self->allowChecks();
        });
    });
}

void BBXBetaController::allowChecks() {
    ++suspensionGeneration_;
    checksSuspended_.store(false);
}

void BBXBetaController::didGetUpdate(const std::shared_ptr<BBXBetaUpdate>& update) {
    if (!update) {
        debugLog("[Blackbox:Beta] Beta update url is invalid");
        return;
    }
    // Kept for the application; no offer is shown.
    std::weak_ptr<BBXBetaController> weak = weak_from_this();
    dispatch::Queue::main()->async([weak, update] {
        if (auto self = weak.lock()) {
            std::lock_guard lock(self->mutex_);
            self->activeUpdate_ = update;
        }
    });
}

std::shared_ptr<BBXBetaUpdate> BBXBetaController::activeUpdate() const {
    std::lock_guard lock(mutex_);
    return activeUpdate_;
}
