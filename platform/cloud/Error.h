#pragma once
// A failure of the cloud database, numbered as callers expect the codes:
// what the caller can do follows from the code (retry after retryAfter,
// fetch and save again on 14, split on 27, reset on 26 or 21). A partial
// failure (2) carries one error per failed item; a changed server record (14)
// carries the server's version. A value type.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "RecordID.h"
#include "platform/foundation/Error.h"

namespace cloud {

class Record;

struct Error {
    static constexpr const char* kDomain = "CloudErrorDomain";
    enum Code : int64_t {
        kPartialFailure = 2,
        kNetworkUnavailable = 3,
        kNetworkFailure = 4,
        kServiceUnavailable = 6,
        kRequestRateLimited = 7,
        kNotAuthenticated = 9,
        kUnknownItem = 11,
        kInvalidArguments = 12,
        kServerRecordChanged = 14,
        kAssetFileNotFound = 16,
        kAssetFileModified = 17,
        kIncompatibleVersion = 18,
        kChangeTokenExpired = 21,
        kBatchRequestFailed = 22,
        kZoneBusy = 23,
        kQuotaExceeded = 25,
        kZoneNotFound = 26,
        kLimitExceeded = 27,
    };

    int64_t code = 0;
    std::string description;
    // Seconds to wait before trying again, for 6, 7 and 23.
    std::optional<double> retryAfter;
    // For 2: the error of every failed save or deletion.
    std::map<RecordID, std::shared_ptr<const Error>> partialErrors;
    // For 14: the server's current version.
    std::shared_ptr<const Record> serverRecord;

    Error() = default;
    Error(int64_t c, std::string d) : code(c), description(std::move(d)) {}

    // Domain "CloudErrorDomain", the code, the description and, when set,
    // "CKErrorRetryAfterKey" as text.
    foundation::Error toFoundationError() const;
    // "error CODE: description", as the tool prints it.
    std::string line() const;
};

}  // namespace cloud
