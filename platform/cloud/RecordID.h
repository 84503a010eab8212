#pragma once
// A record's name inside one zone of the private database. The name is the
// caller's text, kept byte for byte: it is never made into a path.

#include <compare>
#include <string>

#include "RecordZoneID.h"

namespace cloud {

struct RecordID {
    std::string recordName;
    RecordZoneID zoneID;

    bool operator==(const RecordID&) const = default;
    bool operator<(const RecordID& other) const {
        if (zoneID.zoneName != other.zoneID.zoneName) return zoneID.zoneName < other.zoneID.zoneName;
        return recordName < other.recordName;
    }
};

}  // namespace cloud
