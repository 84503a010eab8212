#pragma once
// The name of a record zone in the user's private database, with its owner.

#include <string>

namespace cloud {

// The zone every account has, without a change feed.
inline constexpr const char* kDefaultZoneName = "_defaultZone";

struct RecordZoneID {
    // The owner every zone of the signed-in account has.
    static constexpr const char* kCurrentUserOwnerName = "__defaultOwner__";

    std::string zoneName;
    std::string ownerName = kCurrentUserOwnerName;

    bool operator==(const RecordZoneID&) const = default;
};

}  // namespace cloud
