#include "FetchRecordsOperation.h"

#include "Container.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"

namespace cloud {

void FetchRecordsOperation::perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                                    dispatch::Queue& callbacks) {
    std::optional<Error> error;
    std::vector<ZoneServer::FetchedRecord> fetched;
    if (!server) {
        error = server.error();
    } else {
        auto reply = server.value()->fetchRecords(recordIDs_, desiredKeys_);
        if (reply)
            fetched = std::move(reply).value();
        else
            error = reply.error();
    }
    if (error) container.storeFailed(*error);
    auto found = std::make_shared<std::map<RecordID, Record>>();
    Error partial(Error::kPartialFailure, "Failed to fetch some records");
    for (ZoneServer::FetchedRecord& item : fetched) {
        if (item.error) partial.partialErrors[item.recordID] = std::make_shared<Error>(*item.error);
        callbacks.async([this, item = std::move(item), found] {
            if (perRecord_ && !isCancelled()) perRecord_(item.record, item.recordID, item.error);
            if (item.record) {
                removeDownloadedAssets(*item.record);
                Record kept = *item.record;
                found->emplace(item.recordID, std::move(kept));
            }
        });
    }
    if (!error && !partial.partialErrors.empty()) error = partial;
    callbacks.async([this, found, error] {
        if (completion_ && !isCancelled()) completion_(*found, error);
        finish();
    });
}

}  // namespace cloud
