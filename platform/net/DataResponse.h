#pragma once
// A response with its whole body, as synchronous sends and data tasks deliver it.

#include <cstdint>
#include <string>
#include <vector>

#include "platform/net/HTTPURLResponse.h"

namespace net {

struct DataResponse {
    HTTPURLResponse response;
    std::vector<uint8_t> data;

    std::string text() const { return std::string(data.begin(), data.end()); }
};

}  // namespace net
