#pragma once
// Reads one page of a zone's changes after a token (none: from the start),
// this device's own changes included: a block per changed record (its latest
// version, desired keys only), one per deletion, then the completion with the
// token to continue from. moreComing() tells, from the completion on, whether
// another page waits.

#include <functional>
#include <optional>
#include <set>

#include "DatabaseOperation.h"
#include "Record.h"
#include "ServerChangeToken.h"
#include "platform/foundation/Data.h"

namespace cloud {

class FetchRecordChangesOperation final : public DatabaseOperation {
public:
    using RecordChanged = std::function<void(const Record& record)>;
    using RecordDeleted = std::function<void(const RecordID& recordID, const std::string& recordType)>;
    using Completion = std::function<void(const std::optional<ServerChangeToken>& token,
                                          const std::optional<foundation::Data>& clientChangeTokenData,
                                          const std::optional<Error>& error)>;

    FetchRecordChangesOperation(RecordZoneID zoneID, std::optional<ServerChangeToken> previousServerChangeToken)
        : zoneID_(std::move(zoneID)), token_(std::move(previousServerChangeToken)) {}

    const RecordZoneID& recordZoneID() const { return zoneID_; }
    void setDesiredKeys(std::set<std::string> keys) { desiredKeys_ = std::move(keys); }
    void setRecordChangedBlock(RecordChanged block) { changed_ = std::move(block); }
    void setRecordWithIDWasDeletedBlock(RecordDeleted block) { deleted_ = std::move(block); }
    void setFetchRecordChangesCompletionBlock(Completion block) { completion_ = std::move(block); }
    bool moreComing() const { return moreComing_; }

protected:
    void perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                 dispatch::Queue& callbacks) override;

private:
    RecordZoneID zoneID_;
    std::optional<ServerChangeToken> token_;
    std::optional<std::set<std::string>> desiredKeys_;
    RecordChanged changed_;
    RecordDeleted deleted_;
    Completion completion_;
    std::atomic<bool> moreComing_{false};
};

}  // namespace cloud
