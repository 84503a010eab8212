#pragma once
// Fetches records by ID: one per-record block each (11 for a record that does
// not exist), then the completion with the records found. Asset fields arrive
// as files in the cache folder, removed when the per-record block returns.

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

#include "DatabaseOperation.h"
#include "Record.h"

namespace cloud {

class FetchRecordsOperation final : public DatabaseOperation {
public:
    using PerRecordCompletion =
        std::function<void(const std::optional<Record>& record, const RecordID& recordID, const std::optional<Error>& error)>;
    using Completion =
        std::function<void(const std::map<RecordID, Record>& recordsByID, const std::optional<Error>& error)>;

    explicit FetchRecordsOperation(std::vector<RecordID> recordIDs) : recordIDs_(std::move(recordIDs)) {}

    // Only these keys are fetched; unset: every key.
    void setDesiredKeys(std::set<std::string> keys) { desiredKeys_ = std::move(keys); }
    void setPerRecordCompletionBlock(PerRecordCompletion block) { perRecord_ = std::move(block); }
    void setFetchRecordsCompletionBlock(Completion block) { completion_ = std::move(block); }

protected:
    void perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                 dispatch::Queue& callbacks) override;

private:
    std::vector<RecordID> recordIDs_;
    std::optional<std::set<std::string>> desiredKeys_;
    PerRecordCompletion perRecord_;
    Completion completion_;
};

}  // namespace cloud
