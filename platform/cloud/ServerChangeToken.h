#pragma once
// Where a zone's change feed was read up to: opaque bytes to the caller, who
// keeps them between launches (archive() and unarchive()). The server reads
// them back with decode(); a token of another store or zone incarnation, or
// bytes it did not make, answer "change token expired". A value type.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"

namespace cloud {

class ServerChangeToken {
public:
    struct Contents {
        std::string storeID;
        std::string zoneName;
        std::string incarnation;
        int64_t changeNumber = 0;
    };

    ServerChangeToken() = default;
    // Any bytes; a server refuses those it did not make.
    explicit ServerChangeToken(foundation::Data bytes) : bytes_(std::move(bytes)) {}
    static ServerChangeToken make(const Contents& contents);

    const foundation::Data& data() const { return bytes_; }
    std::optional<Contents> decode() const;

    // The keeping form; nothing for bytes that archive() did not make.
    foundation::Data archive() const { return bytes_; }
    static std::optional<ServerChangeToken> unarchive(const foundation::Data& bytes);

    bool operator==(const ServerChangeToken&) const = default;

private:
    foundation::Data bytes_;
};

}  // namespace cloud
