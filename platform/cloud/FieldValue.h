#pragma once
// The value of one record field. Besides the plain kinds: a reference to
// another record (with what the server does when that record goes), an asset
// (a file whose bytes travel with the record), and a value of a kind that a
// newer layer wrote, which is kept and handed on as it came.

#include <cstdint>
#include <filesystem>
#include <string>
#include <variant>

#include "RecordID.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"

namespace cloud {

struct Reference {
    enum Action : int64_t { None = 0, DeleteSelf = 1 };
    RecordID recordID;
    Action action = None;
    bool operator==(const Reference&) const = default;
};

// A file: read when an operation sends it, a file in the cache folder while
// a fetched record is handed over.
struct Asset {
    std::filesystem::path fileURL;
    bool operator==(const Asset&) const = default;
};

struct UnknownValue {
    uint8_t kind = 0;
    foundation::Data bytes;
    bool operator==(const UnknownValue&) const = default;
};

using FieldValue = std::variant<std::string, int64_t, double, foundation::Date, foundation::Data, Reference, Asset,
                                UnknownValue>;

}  // namespace cloud
