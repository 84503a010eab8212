#include "Database.h"

#include "Container.h"
#include "ModifyRecordsOperation.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"

namespace cloud {

namespace {

Error containerGone() { return Error(Error::kNetworkUnavailable, "The cloud container is gone"); }

}  // namespace

Database::Database(std::weak_ptr<Container> container) : container_(std::move(container)) {}

std::shared_ptr<dispatch::Queue> Database::zoneQueue(const std::string& zoneName) {
    std::lock_guard lock(mutex_);
    auto& queue = zoneQueues_[zoneName];
    if (!queue) queue = dispatch::Queue::createSerial("com.tavlo.cloud.zone");
    return queue;
}

void Database::addOperation(std::shared_ptr<DatabaseOperation> operation) {
    const std::string zone = operation->serialZone();
    auto callbacks = dispatch::Queue::createSerial("com.tavlo.cloud.operation");
    auto work = zone.empty() ? callbacks : zoneQueue(zone);
    work->async([operation, callbacks, container = container_] {
        auto owner = container.lock();
        if (!owner) {
            // Nothing to serve it: the operation still ends, with an error.
            auto stand = Container::make({}, {}, {});
            operation->perform(Reply<std::shared_ptr<ZoneServer>>(containerGone()), *stand, *callbacks);
        } else {
            operation->perform(owner->server(), *owner, *callbacks);
        }
        // Keeps the operation until its last block has run.
        callbacks->async([operation] {});
    });
}

void Database::run(std::function<void(const Reply<std::shared_ptr<ZoneServer>>&)> work) {
    dispatch::Queue::createSerial("com.tavlo.cloud.request")->async([work = std::move(work), container = container_] {
        auto owner = container.lock();
        if (!owner) return work(containerGone());
        auto server = owner->server();
        work(server);
    });
}

void Database::saveRecord(Record record,
                          std::function<void(const std::optional<Record>&, const std::optional<Error>&)> completion) {
    auto operation = std::make_shared<ModifyRecordsOperation>(std::vector<Record>{std::move(record)}, std::vector<RecordID>{});
    operation->setModifyRecordsCompletionBlock(
        [completion](const std::vector<Record>& saved, const std::vector<RecordID>&, const std::optional<Error>& error) {
            if (!completion) return;
            // One record: its own error is the answer.
            if (error && error->code == Error::kPartialFailure && !error->partialErrors.empty())
                return completion(std::nullopt, *error->partialErrors.begin()->second);
            completion(saved.empty() ? std::nullopt : std::optional<Record>(saved.front()), error);
        });
    addOperation(operation);
}

void Database::deleteRecordWithID(
    RecordID recordID, std::function<void(const std::optional<RecordID>&, const std::optional<Error>&)> completion) {
    auto operation = std::make_shared<ModifyRecordsOperation>(std::vector<Record>{}, std::vector<RecordID>{recordID});
    operation->setModifyRecordsCompletionBlock(
        [completion](const std::vector<Record>&, const std::vector<RecordID>& deleted, const std::optional<Error>& error) {
            if (completion) completion(deleted.empty() ? std::nullopt : std::optional<RecordID>(deleted.front()), error);
        });
    addOperation(operation);
}

void Database::fetchRecordZoneWithID(
    RecordZoneID zoneID, std::function<void(const std::optional<RecordZoneID>&, const std::optional<Error>&)> completion) {
    auto container = container_;
    run([zoneID, completion, container](const Reply<std::shared_ptr<ZoneServer>>& server) {
        if (!server) return completion(std::nullopt, server.error());
        auto reply = server.value()->fetchZone(zoneID);
        if (!reply) {
            if (auto owner = container.lock()) owner->storeFailed(reply.error());
            return completion(std::nullopt, reply.error());
        }
        completion(reply.value(), std::nullopt);
    });
}

void Database::fetchSubscriptionWithID(
    std::string subscriptionID,
    std::function<void(const std::optional<Subscription>&, const std::optional<Error>&)> completion) {
    run([subscriptionID, completion](const Reply<std::shared_ptr<ZoneServer>>& server) {
        if (!server) return completion(std::nullopt, server.error());
        auto reply = server.value()->fetchSubscriptions();
        if (!reply) return completion(std::nullopt, reply.error());
        for (const Subscription& subscription : reply.value())
            if (subscription.subscriptionID == subscriptionID) return completion(subscription, std::nullopt);
        completion(std::nullopt, Error(Error::kUnknownItem, "No subscription \"" + subscriptionID + "\""));
    });
}

void Database::fetchAllSubscriptions(
    std::function<void(const std::vector<Subscription>&, const std::optional<Error>&)> completion) {
    run([completion](const Reply<std::shared_ptr<ZoneServer>>& server) {
        if (!server) return completion({}, server.error());
        auto reply = server.value()->fetchSubscriptions();
        if (!reply) return completion({}, reply.error());
        completion(reply.value(), std::nullopt);
    });
}

}  // namespace cloud
