#pragma once
// One record: its type, ID and fields, the keys set since it was made or
// decoded (only those travel in a save), and the system fields the server
// gives it (creation and modification date, change tag). A key set to no
// value is sent as a removal; a key never set leaves the server's value.
// A value type; any thread, one at a time.

#include <map>
#include <optional>
#include <set>
#include <string>

#include "FieldValue.h"
#include "RecordID.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"

namespace cloud {

class Record {
public:
    Record() = default;
    // A record of the default zone under a fresh UUID name.
    explicit Record(std::string recordType);
    Record(std::string recordType, RecordID recordID);

    const std::string& recordType() const { return recordType_; }
    const RecordID& recordID() const { return recordID_; }

    std::optional<FieldValue> objectForKey(const std::string& key) const;
    // No value removes the key's value when the record is saved.
    void setObject(const std::string& key, std::optional<FieldValue> value);
    const std::map<std::string, FieldValue>& fields() const { return fields_; }
    const std::set<std::string>& changedKeys() const { return changedKeys_; }

    const std::optional<foundation::Date>& creationDate() const { return creationDate_; }
    const std::optional<foundation::Date>& modificationDate() const { return modificationDate_; }
    // Empty for a record the server has not seen.
    const std::string& recordChangeTag() const { return changeTag_; }

    // The ID, type, tag and dates, without fields: what a later save needs to
    // name the version it changes. Versioned, checked and bounded.
    foundation::Data encodeSystemFields() const;
    // A record with those system fields and no fields; nothing for any bytes
    // that encodeSystemFields() did not make.
    static std::optional<Record> withSystemFields(const foundation::Data& bytes);

    // The server's side: the stored version of a record, with no keys changed.
    static Record stored(std::string recordType, RecordID recordID, std::map<std::string, FieldValue> fields,
                         std::string changeTag, foundation::Date created, foundation::Date modified);
    // Whole milliseconds since 1970 as the date every layer compares, so a date
    // written back and read again compares equal.
    static foundation::Date dateFromMilliseconds(int64_t milliseconds);

private:
    std::string recordType_;
    RecordID recordID_;
    std::map<std::string, FieldValue> fields_;
    std::set<std::string> changedKeys_;
    std::optional<foundation::Date> creationDate_;
    std::optional<foundation::Date> modificationDate_;
    std::string changeTag_;
};

}  // namespace cloud
