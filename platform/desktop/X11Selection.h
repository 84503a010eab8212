#pragma once
// A private connection to the X server for one selection (the clipboard). It
// sees every change of the selection's owner through XFixes and reads the
// owner's targets itself, each with a deadline and a size bound, so an owner
// that never answers, or offers hundreds of megabytes, can neither hold the
// caller past the deadline nor fill its memory.
//
// Qt's clipboard reads wait on Qt's own connection with no size bound and
// deliver other X events meanwhile; this connection is separate from Qt's, so
// a read here runs none of Qt's events either.
//
// One thread at a time, each connection: the system pasteboard's is used on
// the main thread, the clipboard reader's under the reader's lock on whichever
// queue reads.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "platform/foundation/Result.h"

namespace desktop {

class X11Selection {
public:
    static constexpr const char* kErrorDomain = "desktop.X11Selection";
    enum ErrorCode : int64_t {
        kNoAnswer = 1,        // the owner did not answer in time (or there is none)
        kRefused = 2,         // the owner cannot give that target
        kTooLarge = 3,        // more bytes than the caller accepts
        kConnectionLost = 4,  // the X server went away
    };
    using Deadline = std::chrono::steady_clock::time_point;

    // The window ids another connection (Qt's) hands out: X gives every client
    // a range of its own, so a window in it was made by that client.
    struct ClientIDs {
        uint32_t base = 0;
        uint32_t mask = 0;
        bool contains(uint32_t id) const { return mask && id && (id & ~mask) == base; }
    };
    static ClientIDs clientIDsOf(void* xcbConnection);

    // Connects to $DISPLAY; nothing without a server or without XFixes.
    static std::unique_ptr<X11Selection> open(const char* selection = "CLIPBOARD");
    ~X11Selection();
    X11Selection(const X11Selection&) = delete;
    X11Selection& operator=(const X11Selection&) = delete;

    // The owners the selection had since the last call, oldest first (0 when it
    // was left without one). Never waits.
    std::vector<uint32_t> takeOwnerChanges();
    // The window that owns the selection now (0 for none). One round trip.
    uint32_t owner();

    // The names of the targets the owner offers, at most maxTargets of them.
    foundation::Result<std::vector<std::string>> targets(Deadline deadline, size_t maxTargets);
    // What an owner answered for a target: its bytes, the type it named them
    // with and their format (8, 16 or 32 bits per unit), for the caller to
    // judge whether the answer fits what it asked for.
    struct Answer {
        foundation::Data data;
        std::string type;
        uint8_t format = 8;
    };
    // A target's bytes. The owner has patience (at most) to answer and to send
    // each further part, and everything must arrive by deadline; more than
    // maxBytes is refused as soon as the owner announces it or sends it.
    foundation::Result<Answer> convert(const std::string& target, size_t maxBytes, std::chrono::milliseconds patience,
                                       Deadline deadline);

private:
    X11Selection();

    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace desktop
