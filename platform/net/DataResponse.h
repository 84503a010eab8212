#pragma once
// A response with its whole body, as synchronous sends and data tasks deliver it.

#include <string>

#include "platform/foundation/Data.h"
#include "platform/net/HTTPURLResponse.h"

namespace net {

struct DataResponse {
    HTTPURLResponse response;
    foundation::Data data;

    std::string text() const { return data.toString(); }
};

}  // namespace net
