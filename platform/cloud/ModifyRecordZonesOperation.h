#pragma once
// Saves zones (saving one that exists changes nothing) and deletes zones with
// all their records; a deleted zone comes back with a new incarnation, so
// tokens of the old one answer 21.

#include <functional>
#include <optional>
#include <vector>

#include "DatabaseOperation.h"
#include "RecordZoneID.h"

namespace cloud {

class ModifyRecordZonesOperation final : public DatabaseOperation {
public:
    using Completion = std::function<void(const std::vector<RecordZoneID>& savedZones,
                                          const std::vector<RecordZoneID>& deletedZoneIDs,
                                          const std::optional<Error>& error)>;

    ModifyRecordZonesOperation(std::vector<RecordZoneID> zonesToSave, std::vector<RecordZoneID> zoneIDsToDelete)
        : saves_(std::move(zonesToSave)), deletes_(std::move(zoneIDsToDelete)) {}

    void setModifyRecordZonesCompletionBlock(Completion block) { completion_ = std::move(block); }

protected:
    void perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                 dispatch::Queue& callbacks) override;

private:
    std::vector<RecordZoneID> saves_;
    std::vector<RecordZoneID> deletes_;
    Completion completion_;
};

}  // namespace cloud
