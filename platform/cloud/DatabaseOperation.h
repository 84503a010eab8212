#pragma once
// An operation on the private database. Added to a Database, it runs its
// request off the main queue and calls its blocks in order on a serial queue
// of its own (never the main one). Modifies of one zone commit in the order
// they were added. When the operation fails as a whole no per-record block is
// called; the completion block always is, last. A cancelled operation calls
// no further blocks.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "Reply.h"

namespace dispatch {
class Queue;
}

namespace cloud {

class Container;
class ZoneServer;

class DatabaseOperation {
public:
    virtual ~DatabaseOperation() = default;

    // Accepted and kept; every request is served alike.
    void setQualityOfService(int64_t quality) { qualityOfService_ = quality; }
    int64_t qualityOfService() const { return qualityOfService_; }

    void cancel() { cancelled_ = true; }
    bool isCancelled() const { return cancelled_; }
    bool isFinished() const { return finished_; }

protected:
    friend class Database;
    // The zone whose modifies this one must follow; empty when it has none.
    virtual std::string serialZone() const { return {}; }
    // Runs the request with the store (or the error that kept it away) and
    // hands each block to callbacks, in order.
    virtual void perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                         dispatch::Queue& callbacks) = 0;
    // Called on the callbacks queue after the completion block.
    void finish() { finished_ = true; }
    // Removes the files a fetched record's assets were delivered in.
    static void removeDownloadedAssets(const class Record& record);

private:
    int64_t qualityOfService_ = 0;
    std::atomic<bool> cancelled_{false};
    std::atomic<bool> finished_{false};
};

}  // namespace cloud
