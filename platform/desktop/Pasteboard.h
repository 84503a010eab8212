#pragma once
// A pasteboard: the desktop clipboard, a drag's data, or one held in memory.
// Each back-end says which threads may use it.
//
// The change count rises once whenever the content changes, whoever changed
// it, and starts from the clock, so a count seen in one run of the program is
// never seen again in a later one (the last count this program wrote is kept
// in the settings and compared at the next launch). This process's own write
// is one change: clearContents() raises the count, and the items written
// after it belong to that same change.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/desktop/PasteboardItem.h"
#include "platform/foundation/Result.h"

namespace desktop {

// Bounds on reading another program's content, which may be huge or may never
// come: a representation over a bound, or one that comes too slowly, is left
// out (and logged) instead of being waited for or held at any cost.
struct ReadLimits {
    size_t maxRepresentationBytes = size_t{64} << 20;
    size_t maxTotalBytes = size_t{256} << 20;
    // An owner silent this long on one request gives nothing more for it.
    std::chrono::milliseconds requestTimeout{2000};
    // No read of the whole content takes longer; what is left is skipped.
    std::chrono::milliseconds readBudget{4000};
    // Owners offering more targets than this are read for the first ones only.
    size_t maxTargets = 256;
};

class Pasteboard {
public:
    virtual ~Pasteboard();

    virtual int64_t changeCount() = 0;
    // The items now on the pasteboard, in order, with all their data.
    virtual std::vector<PasteboardItem> items() = 0;
    // Empties the pasteboard and makes this process its writer; answers the
    // new change count.
    virtual int64_t clearContents() = 0;
    // Appends items after those written since clearContents(). When something
    // else changed the pasteboard since then, this clears it first (one change).
    virtual foundation::Result<void> writeItems(const std::vector<PasteboardItem>& items) = 0;

    // The types of all items, each once, in the order they first appear.
    std::vector<std::string> types();

    // Questions a menu asks about the content. A back-end that can answers
    // them without reading the content (SystemPasteboard asks another
    // program for the names of what it offers, and for the one type asked,
    // each with a short bounded wait); by default they look at items().
    // The number of items (0 for an empty pasteboard).
    virtual size_t itemCount();
    // Whether some item has the type.
    virtual bool containsType(const std::string& type);
    // The first item's data that has the type.
    virtual std::optional<foundation::Data> dataForType(const std::string& type);

protected:
    // A start for a change count that no earlier run of the program reached:
    // microseconds since 1970 (a run would need a million changes a second to
    // catch up with the next one's start).
    static int64_t seedChangeCount();
};

}  // namespace desktop
