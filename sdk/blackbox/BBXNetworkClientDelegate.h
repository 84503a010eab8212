#pragma once
// What the crash kit's upload client asks and tells its owner: whether
// background sessions may be used (asked once, at creation), and how each
// upload of a packaged report ended (no error on success). Upload outcomes
// arrive on the client's work queue, or on the thread of a synchronous upload.

#include <optional>
#include <string>

#include "platform/foundation/Error.h"

class BBXNetworkClient;

class BBXNetworkClientDelegate {
public:
    virtual ~BBXNetworkClientDelegate() = default;
    virtual bool networkClientCanUseBackgroundSessions(BBXNetworkClient& client) = 0;
    virtual void networkClientDidFinishUploadWithPath(BBXNetworkClient& client, const std::string& path,
                                                      const std::optional<foundation::Error>& error) = 0;
};
