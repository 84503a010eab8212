#pragma once
// Reads the X11 clipboard's content through a connection of its own, with the
// same bounds as SystemPasteboard's reads, so it can run off the main thread:
// another program's large or slow content then never holds the interface.
// Any thread; reads are serialised (the connection serves one at a time), so
// call read() from a queue that may wait.

#include <memory>
#include <mutex>
#include <vector>

#include "platform/desktop/Pasteboard.h"
#include "platform/desktop/PasteboardItem.h"

namespace desktop {

class X11Selection;

class ClipboardReader {
public:
    struct Content {
        std::vector<PasteboardItem> items;
        // The clipboard changed hands while it was read: the items may mix two
        // contents and are not to be trusted.
        bool changedDuringRead = false;
        // The owner ran out of time before everything it offers was read:
        // without items, the content may yet be read whole at a later try.
        bool incompleteForTime = false;
    };

    // Nothing without an X server at $DISPLAY (or without XFixes).
    static std::unique_ptr<ClipboardReader> open(ReadLimits limits = {});
    ~ClipboardReader();

    // The content the clipboard's owner offers now; empty when it has none.
    Content read();

    // The items the selection's owner offers now, within the limits; what the
    // read leaves out is logged in one line. Each target has its share of the
    // read's time. incompleteForTime, when given, tells whether a target was
    // left for time; when a marker (the password-manager hint) was, nothing
    // is answered, since what it marks could not be told apart.
    static std::vector<PasteboardItem> readItems(X11Selection& selection, const ReadLimits& limits,
                                                 bool* incompleteForTime = nullptr);

private:
    ClipboardReader(std::unique_ptr<X11Selection> selection, ReadLimits limits);

    std::mutex mutex_;
    std::unique_ptr<X11Selection> selection_;
    ReadLimits limits_;
};

}  // namespace desktop
