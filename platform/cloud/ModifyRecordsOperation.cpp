#include "ModifyRecordsOperation.h"

#include "Container.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"

namespace cloud {

std::string ModifyRecordsOperation::serialZone() const {
    if (!recordsToSave_.empty()) return recordsToSave_.front().recordID().zoneID.zoneName;
    if (!recordIDsToDelete_.empty()) return recordIDsToDelete_.front().zoneID.zoneName;
    return {};
}

void ModifyRecordsOperation::perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                                     dispatch::Queue& callbacks) {
    std::optional<Error> error;
    ZoneServer::ModifyResult result;
    if (!server) {
        error = server.error();
    } else {
        auto reply = server.value()->modifyRecords(recordsToSave_, recordIDsToDelete_);
        if (reply)
            result = std::move(reply).value();
        else
            error = reply.error();
    }
    if (error) container.storeFailed(*error);
    if (perRecord_) {
        if (!error) {
            for (const Record& record : result.saved)
                callbacks.async([this, record] {
                    if (!isCancelled()) perRecord_(record, record.recordID(), std::nullopt);
                });
        } else if (error->code == Error::kPartialFailure) {
            for (const Record& record : recordsToSave_) {
                auto it = error->partialErrors.find(record.recordID());
                if (it == error->partialErrors.end()) continue;
                Error item = *it->second;
                callbacks.async([this, id = record.recordID(), item] {
                    if (!isCancelled()) perRecord_(std::nullopt, id, item);
                });
            }
        }
    }
    callbacks.async([this, result = std::move(result), error] {
        if (completion_ && !isCancelled()) completion_(result.saved, result.deleted, error);
        finish();
    });
}

}  // namespace cloud
