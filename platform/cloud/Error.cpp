#include "Error.h"

#include "platform/foundation/Format.h"

namespace cloud {

foundation::Error Error::toFoundationError() const {
    foundation::Error error(kDomain, code, description);
    if (retryAfter) error.userInfo["CKErrorRetryAfterKey"] = foundation::format("%@", *retryAfter);
    return error;
}

std::string Error::line() const { return "error " + std::to_string(code) + ": " + description; }

}  // namespace cloud
