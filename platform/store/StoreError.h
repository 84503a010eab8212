#pragma once
// The store's error values. The codes tell a caller what it can do: a store file
// that is not a database, is corrupt or was written by an incompatible model is
// unusable and may be set aside; a busy, read-only or failing disk is a passing
// condition that must never cost the user the history.

#include <string>

#include "platform/foundation/Error.h"

namespace store {

inline constexpr const char* kErrorDomain = "TavloStoreErrorDomain";

enum class ErrorCode : int64_t {
    NotADatabase = 1,       // the file is not an SQLite database (or not a regular file)
    Corrupt = 2,            // an SQLite database whose structure is damaged
    IncompatibleModel = 3,  // written by a model we cannot migrate from (or a foreign database)
    Busy = 4,               // locked by another connection or process
    IO = 5,                 // the disk failed, is full, or the file could not be opened
    ReadOnly = 6,           // the file or its folder cannot be written
    NoStore = 7,            // the coordinator has no open store
    InvalidModel = 8,       // the model resource is missing or malformed
    InvalidPredicate = 9,   // a predicate format that does not parse or names unknown keys
    InvalidRequest = 10,    // a fetch request naming an unknown entity or sort key
    DeleteDenied = 11,      // a delete rule "deny" found related objects
    Constraint = 12,        // a row conflicts with one already stored
    Internal = 13,          // anything else SQLite reported
};

foundation::Error makeError(ErrorCode code, std::string description);
// Maps an SQLite result code (primary or extended) to our error.
foundation::Error sqliteError(int resultCode, const std::string& message, const std::string& context = {});
bool isStoreError(const foundation::Error& error, ErrorCode code);
// True for the errors after which a store file can never be opened as it is:
// not a database, corrupt, or an incompatible model.
bool isUnusableStoreError(const foundation::Error& error);

}  // namespace store
