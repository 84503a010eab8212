#pragma once
// A zone subscription of this device: any change of the zone made by another
// device sends this device a push. The notification info only says how the
// push is delivered; nobody reads its payload.

#include <string>

#include "RecordZoneID.h"

namespace cloud {

struct Subscription {
    std::string subscriptionID;
    RecordZoneID zoneID;
    bool shouldSendContentAvailable = true;
    std::string alertBody;

    bool operator==(const Subscription&) const = default;
};

}  // namespace cloud
