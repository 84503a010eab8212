#pragma once
// Registers the application with the kit service ("app create", a multipart
// POST repeated up to 10 times) or refreshes its description ("app update", a
// PUT repeated once): identifiers, versions, architectures, the kits'
// versions and the icon. Started directly; keeps itself alive until its
// delegate has been told.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "sdk/beacon/BCNApplicationIdentiferModel.h"
#include "sdk/beacon/BCNMultipartMimeStreamEncoder.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/BCNNetworkOperation.h"
#include "sdk/beacon/BCNOnboardingOperationDelegate.h"

class BCNOnboardingOperation : public BCNNetworkOperation {
public:
    static constexpr const char* kErrorDomain = "BCNOnboardingErrorDomain";
    static constexpr unsigned kCreateRetryLimit = 10;
    static constexpr unsigned kUpdateRetryLimit = 1;

    BCNOnboardingOperation(std::weak_ptr<BCNOnboardingOperationDelegate> delegate, bool shouldCreate,
                           std::string APIKey, std::map<std::string, std::string> kitVersionsByKitBundleIdentifier,
                           std::shared_ptr<const BCNApplicationIdentiferModel> appIdentifierModel,
                           std::string endpointString, std::weak_ptr<BCNNetworkClient> networkClient,
                           std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main());

    bool shouldCreate() const { return shouldCreate_; }
    std::optional<foundation::Error> error() const;
    void setRequestTimeout(double seconds) { timeout_ = seconds; }

    // The fields of the application's description, in their order.
    void encodeFields(BCNMultipartMimeStreamEncoder& encoder) const;
    // The create or update address.
    std::string requestURL() const;

    void main() override;

private:
    void completed(const std::optional<foundation::Error>& error);

    std::weak_ptr<BCNOnboardingOperationDelegate> delegate_;
    const bool shouldCreate_;
    const std::map<std::string, std::string> kitVersions_;
    const std::shared_ptr<const BCNApplicationIdentiferModel> model_;
    const std::string endpoint_;
    std::weak_ptr<BCNNetworkClient> networkClient_;
    const std::shared_ptr<foundation::Bundle> bundle_;
    double timeout_ = kDefaultTimeout;
    mutable std::mutex mutex_;
    std::optional<foundation::Error> error_;
};
