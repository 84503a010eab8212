#pragma once
// Hears how an application create or update ended. Called on the network
// completion's thread.

#include <optional>

#include "platform/foundation/Error.h"

class BCNOnboardingOperation;

class BCNOnboardingOperationDelegate {
public:
    virtual ~BCNOnboardingOperationDelegate() = default;
    virtual void onboardingOperationDidCompleteAppCreationWithError(BCNOnboardingOperation& operation,
                                                                    const std::optional<foundation::Error>& error) = 0;
    virtual void onboardingOperationDidCompleteAppUpdateWithError(BCNOnboardingOperation& operation,
                                                                  const std::optional<foundation::Error>& error) = 0;
};
