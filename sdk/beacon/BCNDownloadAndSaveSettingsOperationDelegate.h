#pragma once
// Hears how a settings download ended: no error when the new document is in
// the cache. Called on the network completion's thread.

#include <optional>

#include "platform/foundation/Error.h"

class BCNDownloadAndSaveSettingsOperation;

class BCNDownloadAndSaveSettingsOperationDelegate {
public:
    virtual ~BCNDownloadAndSaveSettingsOperationDelegate() = default;
    virtual void operationDidDownloadAndSaveSettingsWithError(BCNDownloadAndSaveSettingsOperation& operation,
                                                              const std::optional<foundation::Error>& error) = 0;
};
