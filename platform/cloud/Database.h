#pragma once
// The private database of the configured account: operations, and the plain
// calls for one record, zone or subscription. Any thread; every completion
// runs off the main queue, each operation's blocks in order on a serial queue
// of its own. Modifies of one zone commit in the order they were added.

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "DatabaseOperation.h"
#include "Record.h"
#include "Subscription.h"

namespace dispatch {
class Queue;
}

namespace cloud {

class Container;

class Database {
public:
    explicit Database(std::weak_ptr<Container> container);

    void addOperation(std::shared_ptr<DatabaseOperation> operation);

    void saveRecord(Record record, std::function<void(const std::optional<Record>&, const std::optional<Error>&)> completion);
    void deleteRecordWithID(RecordID recordID,
                            std::function<void(const std::optional<RecordID>&, const std::optional<Error>&)> completion);
    void fetchRecordZoneWithID(RecordZoneID zoneID,
                               std::function<void(const std::optional<RecordZoneID>&, const std::optional<Error>&)> completion);
    // 11 when this device has no subscription of that ID.
    void fetchSubscriptionWithID(std::string subscriptionID,
                                 std::function<void(const std::optional<Subscription>&, const std::optional<Error>&)> completion);
    void fetchAllSubscriptions(std::function<void(const std::vector<Subscription>&, const std::optional<Error>&)> completion);

private:
    // Runs work with the store on a fresh serial queue (off the main queue).
    void run(std::function<void(const Reply<std::shared_ptr<ZoneServer>>&)> work);
    std::shared_ptr<dispatch::Queue> zoneQueue(const std::string& zoneName);

    std::weak_ptr<Container> container_;
    std::mutex mutex_;
    std::map<std::string, std::shared_ptr<dispatch::Queue>> zoneQueues_;
};

}  // namespace cloud
