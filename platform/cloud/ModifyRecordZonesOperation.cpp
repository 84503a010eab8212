#include "ModifyRecordZonesOperation.h"

#include "Container.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"

namespace cloud {

void ModifyRecordZonesOperation::perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                                         dispatch::Queue& callbacks) {
    std::optional<Error> error;
    if (!server) {
        error = server.error();
    } else if (auto reply = server.value()->modifyZones(saves_, deletes_); !reply) {
        error = reply.error();
    }
    if (error) container.storeFailed(*error);
    callbacks.async([this, error] {
        if (completion_ && !isCancelled())
            completion_(error ? std::vector<RecordZoneID>() : saves_, error ? std::vector<RecordZoneID>() : deletes_,
                        error);
        finish();
    });
}

}  // namespace cloud
