#include "FetchRecordChangesOperation.h"

#include "Container.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"

namespace cloud {

void FetchRecordChangesOperation::perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                                          dispatch::Queue& callbacks) {
    std::optional<Error> error;
    ZoneServer::ChangePage page;
    if (!server) {
        error = server.error();
    } else {
        auto reply = server.value()->fetchChanges(zoneID_, token_, desiredKeys_);
        if (reply)
            page = std::move(reply).value();
        else
            error = reply.error();
    }
    if (error) container.storeFailed(*error);
    for (Record& record : page.changed)
        callbacks.async([this, record = std::move(record)] {
            if (changed_ && !isCancelled()) changed_(record);
            removeDownloadedAssets(record);
        });
    for (ZoneServer::Deletion& deletion : page.deleted)
        callbacks.async([this, deletion = std::move(deletion)] {
            if (deleted_ && !isCancelled()) deleted_(deletion.recordID, deletion.recordType);
        });
    callbacks.async([this, error, token = error ? std::optional<ServerChangeToken>() : page.token,
                     more = page.moreComing] {
        moreComing_ = more;
        if (completion_ && !isCancelled()) completion_(token, std::nullopt, error);
        finish();
    });
}

}  // namespace cloud
