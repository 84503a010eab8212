#include "platform/store/StoreError.h"

#include <sqlite3.h>

namespace store {

foundation::Error makeError(ErrorCode code, std::string description) {
    return foundation::Error(kErrorDomain, static_cast<int64_t>(code), std::move(description));
}

foundation::Error sqliteError(int resultCode, const std::string& message, const std::string& context) {
    ErrorCode code;
    switch (resultCode & 0xff) {
        case SQLITE_NOTADB: code = ErrorCode::NotADatabase; break;
        case SQLITE_CORRUPT: code = ErrorCode::Corrupt; break;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: code = ErrorCode::Busy; break;
        case SQLITE_IOERR:
        case SQLITE_FULL:
        case SQLITE_CANTOPEN:
        case SQLITE_NOMEM: code = ErrorCode::IO; break;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: code = ErrorCode::ReadOnly; break;
        case SQLITE_CONSTRAINT: code = ErrorCode::Constraint; break;
        default: code = ErrorCode::Internal; break;
    }
    std::string text = context.empty() ? message : context + ": " + message;
    foundation::Error error = makeError(code, text);
    error.userInfo["SQLiteErrorCode"] = std::to_string(resultCode);
    return error;
}

bool isStoreError(const foundation::Error& error, ErrorCode code) {
    return error.domain == kErrorDomain && error.code == static_cast<int64_t>(code);
}

bool isUnusableStoreError(const foundation::Error& error) {
    return isStoreError(error, ErrorCode::NotADatabase) || isStoreError(error, ErrorCode::Corrupt) ||
           isStoreError(error, ErrorCode::IncompatibleModel);
}

}  // namespace store
