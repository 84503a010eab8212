#include "sdk/beacon/BCNOnboardingOperation.h"

#include <cmath>

#include "platform/foundation/SystemLog.h"
#include "platform/foundation/URL.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNURLBuilder.h"

BCNOnboardingOperation::BCNOnboardingOperation(std::weak_ptr<BCNOnboardingOperationDelegate> delegate,
                                               bool shouldCreate, std::string APIKey,
                                               std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
                                               std::shared_ptr<const BCNApplicationIdentiferModel> appIdentifierModel,
                                               std::string endpointString,
                                               std::weak_ptr<BCNNetworkClient> networkClient,
                                               std::shared_ptr<foundation::Bundle> bundle)
    : BCNNetworkOperation(std::move(APIKey)),
      delegate_(std::move(delegate)),
      shouldCreate_(shouldCreate),
      kitVersions_(std::move(kitVersionsByKitBundleIdentifier)),
      model_(std::move(appIdentifierModel)),
      endpoint_(std::move(endpointString)),
      networkClient_(std::move(networkClient)),
      bundle_(std::move(bundle)) {}

std::optional<foundation::Error> BCNOnboardingOperation::error() const {
    std::lock_guard lock(mutex_);
    return error_;
}

void BCNOnboardingOperation::encodeFields(BCNMultipartMimeStreamEncoder& encoder) const {
    auto identifier = BCNApplicationGetEscapedBundleIdentifier(bundle_);
    auto instance = model_ ? std::optional<std::string>(model_->instanceIdentifier()) : std::nullopt;
    encoder.addValue(identifier, "app[identifier]");
    encoder.addValue(instance, "app[instance_identifier]");
    encoder.addValue(BCNApplicationGetName(bundle_), "app[name]");
    encoder.addValue(BCNApplicationGetBuildVersion(bundle_), "app[build_version]");
    encoder.addValue(BCNApplicationGetDisplayVersion(bundle_), "app[display_version]");
    encoder.addValue(static_cast<int64_t>(BCNApplicationGetInstallationSource(bundle_)), "app[source]");
    if (model_) {
        encoder.addValue(model_->minimumSDKString(), "app[minimum_sdk_version]");
        encoder.addValue(model_->builtSDKString(), "app[built_sdk_version]");
    }
    for (const auto& [kit, version] : kitVersions_) encoder.addValue(version, "app[build][libraries][" + kit + "]");
    if (model_) {
        for (const auto& [architecture, uuid] : model_->architectureUUIDMap()) {
            encoder.addValue(architecture, "app[slices][][arch]");
            encoder.addValue(uuid, "app[slices][][uuid]");
        }
    }
    const auto& icon = model_ ? model_->icon() : nullptr;
    if (icon && !icon->data().empty() && !icon->dataHash().empty()) {
        encoder.addValue(icon->dataHash(), "app[icon][hash]");
        encoder.addValue(std::string(icon->prerendered() ? "true" : "false"), "app[icon][prerendered]");
        encoder.addValue(static_cast<int64_t>(std::floor(icon->width())), "app[icon][width]");
        encoder.addValue(static_cast<int64_t>(std::floor(icon->height())), "app[icon][height]");
        encoder.addFileData(icon->data(), "icon.png", "image/png", "app[icon][data]");
    }
}

std::string BCNOnboardingOperation::requestURL() const {
    auto builder = BCNURLBuilder::URLWithBase(endpoint_);
    builder.appendComponent("/spi/v1/platforms/");
    builder.escapeAndAppendComponent("mac");
    builder.appendComponent("/apps");
    if (!shouldCreate_) {
        builder.appendComponent("/");
        builder.escapeAndAppendComponent(BCNApplicationGetEscapedBundleIdentifier(bundle_).value_or(""));
    }
    return builder.URLString();
}

void BCNOnboardingOperation::main() {
    auto client = networkClient_.lock();
    net::URLRequest request = mutableRequestWithDefaultHTTPHeadersForURL(requestURL(), timeout_);
    request.setHTTPMethod(shouldCreate_ ? "POST" : "PUT");
    if (auto url = foundation::URL::parse(request.url()); url && url->scheme() == "https")
        request.setAllowedSchemes({"https"});
    // A body the encoder could not write whole is never sent as if it were.
    bool encoded = BCNMultipartMimeStreamEncoder::populateRequest(
        request, [this](BCNMultipartMimeStreamEncoder& encoder) { encodeFields(encoder); });
    if (!client || !encoded) {
        foundation::systemLog("[Beacon] configure failed during onboarding");
        completed(foundation::Error(kErrorDomain, 1, "The application's description could not be sent"));
        return;
    }
    auto self = std::static_pointer_cast<BCNOnboardingOperation>(shared_from_this());
    client->startDataTaskWithRequest(
        request, shouldCreate_ ? kCreateRetryLimit : kUpdateRetryLimit,
        [self](const auto&, const auto&, const std::optional<foundation::Error>& error) { self->completed(error); });
}

void BCNOnboardingOperation::completed(const std::optional<foundation::Error>& error) {
    {
        std::lock_guard lock(mutex_);
        error_ = error;
    }
    if (auto delegate = delegate_.lock()) {
        if (shouldCreate_) delegate->onboardingOperationDidCompleteAppCreationWithError(*this, error);
        else delegate->onboardingOperationDidCompleteAppUpdateWithError(*this, error);
    }
    finish();
}
