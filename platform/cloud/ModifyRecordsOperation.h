#pragma once
// Saves records and deletes record IDs in one atomic request. Only the keys a
// record changed are sent; a record with a change tag saves only over that
// version of the server's record (the one save policy), a record without one
// only where no record of its name exists. On a partial failure (2) the
// per-record block gets each record's own error, 14 with the server record,
// or 22 when another item failed.

#include <functional>
#include <optional>
#include <vector>

#include "DatabaseOperation.h"
#include "Record.h"

namespace cloud {

class ModifyRecordsOperation final : public DatabaseOperation {
public:
    enum SavePolicy : int64_t { kIfServerRecordUnchanged = 0 };
    using PerRecordCompletion =
        std::function<void(const std::optional<Record>& record, const RecordID& recordID, const std::optional<Error>& error)>;
    using Completion = std::function<void(const std::vector<Record>& savedRecords,
                                          const std::vector<RecordID>& deletedRecordIDs, const std::optional<Error>& error)>;

    ModifyRecordsOperation(std::vector<Record> recordsToSave, std::vector<RecordID> recordIDsToDelete)
        : recordsToSave_(std::move(recordsToSave)), recordIDsToDelete_(std::move(recordIDsToDelete)) {}

    const std::vector<Record>& recordsToSave() const { return recordsToSave_; }
    const std::vector<RecordID>& recordIDsToDelete() const { return recordIDsToDelete_; }
    void setSavePolicy(SavePolicy policy) { savePolicy_ = policy; }
    SavePolicy savePolicy() const { return savePolicy_; }
    void setPerRecordCompletionBlock(PerRecordCompletion block) { perRecord_ = std::move(block); }
    void setModifyRecordsCompletionBlock(Completion block) { completion_ = std::move(block); }

protected:
    std::string serialZone() const override;
    void perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                 dispatch::Queue& callbacks) override;

private:
    std::vector<Record> recordsToSave_;
    std::vector<RecordID> recordIDsToDelete_;
    SavePolicy savePolicy_ = kIfServerRecordUnchanged;
    PerRecordCompletion perRecord_;
    Completion completion_;
};

}  // namespace cloud
