#pragma once
// The name of a record zone in the user's private database, with its owner.

#include <string>

namespace cloud {

struct RecordZoneID {
    // The owner every zone of the signed-in account has.
    static constexpr const char* kCurrentUserOwnerName = "__defaultOwner__";

    std::string zoneName;
    std::string ownerName = kCurrentUserOwnerName;

    bool operator==(const RecordZoneID&) const = default;
};

}  // namespace cloud
