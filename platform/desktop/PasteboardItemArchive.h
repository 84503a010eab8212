#pragma once
// The private clipboard target that carries this program's whole item list.
// An X11 selection holds one item, so a write of several items travels as one
// archive beside the first item's ordinary MIME types, and reading it back
// gives exactly the items that were written. Any thread.
//
// Layout (integers little-endian): "TLPBITM1", item count (u32); per item its
// representation count (u32); per representation the type's length (u32), the
// type, the data's length (u64), the data.

#include <optional>
#include <vector>

#include "platform/desktop/PasteboardItem.h"
#include "platform/foundation/Data.h"

namespace desktop {

class PasteboardItemArchive {
public:
    static constexpr const char* kMIMEType = "application/x-tavlo-pasteboard-items";
    // A type name longer than this is not one we wrote.
    static constexpr size_t kMaxTypeLength = 1024;

    static foundation::Data encode(const std::vector<PasteboardItem>& items);
    // Nothing for bytes that are not a whole, well-formed archive (whoever
    // offers this target may be anyone).
    static std::optional<std::vector<PasteboardItem>> decode(const foundation::Data& archive);
};

}  // namespace desktop
